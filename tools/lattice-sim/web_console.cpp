#include "web_console.h"

#include <httplib.h>

#include <chrono>
#include <mutex>

#include "journal.h"

namespace lattice_sim {

namespace {

// How often an idle stream writes a comment: a page whose connection is
// gone is noticed by the write that fails.
constexpr std::chrono::milliseconds k_keepAlive(1000);

// One server-sent event: its type and one line of JSON data.
std::string SseEvent(const char* pchType, const std::string& strJson) {
    return std::string("event: ") + pchType + "\ndata: " + strJson + "\n\n";
}

std::string LineEvent(const ConsoleLine& line) {
    return SseEvent("line", ConsoleLineFields(line).Object());
}

// What the stream sends next: the lines pending, a note of lines lost before
// them, or a keep-alive comment.
std::string NextChunk(const CConsoleFeed::Batch& batch) {
    std::string strChunk;
    if (batch.cDropped > 0) {
        strChunk += SseEvent("dropped", CJsonFields().UInt("count", batch.cDropped).Object());
    }
    for (const ConsoleLine& line : batch.lines) {
        strChunk += LineEvent(line);
    }
    return strChunk.empty() ? std::string(":\n\n") : strChunk;
}

void SetCommonHeaders(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

}  // namespace

CWebConsole::CWebConsole(CSimState& state)
    : m_state(state), m_pServer(std::make_unique<httplib::Server>()) {
    // Every page holds a thread for its stream; leave some for the rest.
    m_pServer->new_task_queue = [] { return new httplib::ThreadPool(k_cMaxPages + 4); };
    Route();
}

CWebConsole::~CWebConsole() {
    Stop();
}

bool CWebConsole::Listen(int nPort, std::string* pstrError) {
    const char* pchHost = "127.0.0.1";
    bool bBound = false;
    if (nPort == 0) {
        m_nPort = m_pServer->bind_to_any_port(pchHost);
        bBound = m_nPort > 0;
    } else {
        bBound = m_pServer->bind_to_port(pchHost, nPort);
        m_nPort = nPort;
    }
    if (!bBound) {
        *pstrError = std::string("cannot listen on ") + pchHost + ":" + std::to_string(nPort) +
                     " for the console page";
        return false;
    }
    return true;
}

void CWebConsole::Start() {
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
}

void CWebConsole::Stop() {
    if (m_bStopping.exchange(true)) {
        return;
    }
    m_pServer->stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CWebConsole::HostAllowed(const std::string& strHost) const {
    // Browsers leave the default port out of the Host header.
    std::string strPort = m_nPort == 80 ? "" : ":" + std::to_string(m_nPort);
    return strHost == "127.0.0.1" + strPort || strHost == "localhost" + strPort;
}

void CWebConsole::Route() {
    m_pServer->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (HostAllowed(req.get_header_value("Host"))) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 403;
        res.set_content("this console answers on 127.0.0.1 only\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    auto serve = [](const char* pchBody, const char* pchType) {
        return [pchBody, pchType](const httplib::Request&, httplib::Response& res) {
            SetCommonHeaders(res);
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "connect-src 'self'; base-uri 'none'; form-action 'none'; "
                           "frame-ancestors 'none'");
            res.set_content(pchBody, pchType);
        };
    };
    m_pServer->Get("/", serve(ConsolePageHtml(), "text/html; charset=utf-8"));
    m_pServer->Get("/console.js", serve(ConsolePageScript(), "text/javascript; charset=utf-8"));
    m_pServer->Get("/console.css", serve(ConsolePageStyle(), "text/css; charset=utf-8"));
    m_pServer->Get("/events",
                   [this](const httplib::Request&, httplib::Response& res) { StreamLines(res); });
}

// One page's web console: the hello with its id, then its lines as they come.
void CWebConsole::StreamLines(httplib::Response& res) {
    SetCommonHeaders(res);
    if (m_cPages.fetch_add(1) >= k_cMaxPages) {
        m_cPages.fetch_sub(1);
        res.status = 503;
        res.set_content("too many console pages are open\n", "text/plain");
        return;
    }
    std::shared_ptr<CConsoleFeed> feed = m_bStopping ? nullptr : m_state.OpenConsolePage();
    if (!feed) {
        m_cPages.fetch_sub(1);
        res.status = 503;
        res.set_content("the simulator is stopping\n", "text/plain");
        return;
    }
    bool bGreeted = false;
    res.set_chunked_content_provider(
        "text/event-stream",
        [feed, bGreeted](size_t, httplib::DataSink& sink) mutable {
            std::string strChunk;
            if (!bGreeted) {
                bGreeted = true;
                strChunk =
                    SseEvent("hello", CJsonFields().UInt("console", feed->Console()).Object());
            } else {
                CConsoleFeed::Batch batch = feed->Take(k_keepAlive);
                if (batch.bClosed) {
                    sink.done();
                    return true;
                }
                strChunk = NextChunk(batch);
            }
            return sink.write(strChunk.data(), strChunk.size());
        },
        // Runs once the response is over, however it ended (a copied
        // response would run it again).
        [this, feed, pOnce = std::make_shared<std::once_flag>()](bool) {
            std::call_once(*pOnce, [&] {
                m_state.CloseConsolePage(feed->Console());
                m_cPages.fetch_sub(1);
            });
        });
}

}  // namespace lattice_sim
