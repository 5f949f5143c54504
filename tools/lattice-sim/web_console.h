// web_console: the simulator's console page, served over HTTP on the loopback
// interface only (`serve --http PORT`). Every page that opens the line stream
// (/events, server-sent events) is one web console: CSimState queues the
// console-opened event for a fresh id, and the stream carries that id, then
// each line the runtime library shows for it or for every console. The stream
// ends when the page goes or its connection is lost (a keep-alive comment
// every second finds a dead peer); then the console-closed event is queued.
//
// Requests whose Host header names anything but this loopback address are
// refused, so that a web site cannot read the log through a name that
// resolves to 127.0.0.1. At most k_cMaxPages pages stream at once.
//
// Thread safety: Listen and Start on one thread, then Stop from that thread;
// the server runs the requests on threads of its own.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "state.h"

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace lattice_sim {

class CWebConsole {
public:
    static constexpr int k_cMaxPages = 16;

    explicit CWebConsole(CSimState& state);
    ~CWebConsole();
    CWebConsole(const CWebConsole&) = delete;
    CWebConsole& operator=(const CWebConsole&) = delete;

    // Binds 127.0.0.1:nPort (0: a free port); false with a reason.
    bool Listen(int nPort, std::string* pstrError);
    int Port() const { return m_nPort; }
    // Serves on a thread of its own until Stop().
    void Start();
    // Ends every page's stream and the server.
    void Stop();

private:
    void Route();
    void StreamLines(httplib::Response& res);
    bool HostAllowed(const std::string& strHost) const;

    CSimState& m_state;
    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thread;
    int m_nPort = -1;
    std::atomic<bool> m_bStopping{false};
    std::atomic<int> m_cPages{0};
};

// The page and its script and style, as served.
const char* ConsolePageHtml();
const char* ConsolePageScript();
const char* ConsolePageStyle();

}  // namespace lattice_sim
