#include "verbs.h"

#include <unistd.h>

#include <cstring>

#include "parsing.h"
#include "peer_trust.h"
#include "socketio.h"
#include "state.h"

namespace lattice_sim {

namespace codes = lattice_proto::codes;

namespace {

constexpr bool k_bNoArguments = true;

CtlResult UsageError(const std::string& strWhy) {
    CtlResult out;
    out.nExit = 2;
    out.strErr = "lattice-sim ctl: " + strWhy + "\n";
    return out;
}

// The usage text a verb answers to bad arguments; the option parser's own
// complaint when it has one.
CtlResult UsageError(const ParsedArgs& parsed, const char* pchUsage) {
    return UsageError(parsed.strError.empty() ? std::string(pchUsage) : parsed.strError);
}

}  // namespace

const std::vector<VerbInfo>& Verbs() {
    static const std::vector<VerbInfo> s_verbs = {
        {"event", "TYPE [DATA] [--count N] [--hex BYTES] [--device N]",
         "Queues a runtime event of the given type. DATA (decimal or 0x hex) is an unsigned "
         "64-bit value stored little-endian at the start of the event data (offset 12 of the "
         "record); --hex gives up to 48 raw data bytes instead. --count queues N copies; "
         "--device sets the device index (default 4294967295).",
         &CSimState::VerbEvent},
        {"console-open", "ID",
         "Opens web console ID (unsigned 64-bit): queues event 420 carrying the id.",
         &CSimState::VerbConsoleOpen},
        {"console-close", "ID", "Closes web console ID: queues event 421 carrying the id.",
         &CSimState::VerbConsoleClose},
        {"screenshot", "", "Presses the screenshot button combination: queues event 516.",
         &CSimState::VerbScreenshot, k_bNoArguments},
        {"quit", "", "Asks the clients to quit: queues event 700.", &CSimState::VerbQuit,
         k_bNoArguments},
        {"reconnect", "",
         "Remakes the runtime connection: the init token changes (clients see the new value "
         "from VR_GetInitToken at once). Prints the new token.",
         &CSimState::VerbReconnect, k_bNoArguments},
        {"host", "up|down|notice-shutdown|persona NAME|callback ID [HEX]|init-result N|user-id ID",
         "Drives the desktop host client. up / down: it starts or exits (down ends every host "
         "session). notice-shutdown: queues the shutdown notice (callback 704) for every "
         "initialised host session. persona NAME: renames the current user and queues the "
         "persona change (callback 304) for that user. callback ID [HEX]: queues any callback "
         "with the given payload bytes. init-result N: the result later initialisations answer "
         "while the host client runs (0 accepts). user-id ID: the current user's 64-bit id from "
         "now on (decimal or 0x hex).",
         &CSimState::VerbHost},
        {"setting", "SECTION KEY VALUE",
         "Sets a runtime setting. VALUE is read as JSON when it is a JSON literal (true, "
         "false, 3, 2.5, \"text\"), else as a plain string.",
         &CSimState::VerbSetting},
        {"stall", "MS [--polls N]",
         "The next event poll reaching the simulator answers only after MS milliseconds; "
         "with --polls, each of the next N polls does (1..1000, default 1).",
         &CSimState::VerbStall},
        {"journal", "[--since SEQ]",
         "Prints the journal: one JSON object per call that reached the simulator, oldest "
         "first; --since prints only entries with a larger seq.",
         &CSimState::VerbJournal},
        {"console", "[--json]",
         "Prints the lines shown in web consoles, oldest first, one per line as "
         "HANDLE<TAB>TEXT (handle 0: every open console). --json prints one object per line "
         "with handle, log, time_ms, level and text.",
         &CSimState::VerbConsole},
        {"wait", "SUBSTRING [--timeout-ms N] [--since SEQ]",
         "Waits until a journal entry contains SUBSTRING and prints it; exits 1 after the "
         "timeout (default 30000 ms).",
         &CSimState::VerbWait},
        {"shutdown", "",
         "Ends the simulator. Connected clients see their connection lost (the runtime "
         "library then delivers event 700).",
         &CSimState::VerbShutdown, k_bNoArguments},
        {"ping", "", "Answers \"pong\" when the simulator is up.", &CSimState::VerbPing},
    };
    return s_verbs;
}

const VerbInfo* FindVerb(const std::string& strName) {
    for (const VerbInfo& verb : Verbs()) {
        if (strName == verb.pchName) {
            return &verb;
        }
    }
    return nullptr;
}

CtlResult CSimState::RunVerb(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return UsageError("no verb given");
    }
    const VerbInfo* pVerb = FindVerb(argv[0]);
    if (!pVerb) {
        return UsageError("unknown verb '" + argv[0] + "'");
    }
    Args args(argv.begin() + 1, argv.end());
    if (pVerb->bNoArguments && !args.empty()) {
        return UsageError(argv[0] + " takes no arguments");
    }
    return (this->*pVerb->pfnRun)(args);
}

// --- runtime events -------------------------------------------------------------

CtlResult CSimState::VerbEvent(const Args& args) {
    ParsedArgs parsed = ParseArgs(args, {"--count", "--hex", "--device"}, {});
    uint64_t ulType = 0, ulData = 0, ulCount = 1, ulDevice = 0xFFFFFFFFu;
    std::string hexBytes;
    bool bOk = parsed.strError.empty() && !parsed.positional.empty() &&
               parsed.positional.size() <= 2 && ParseU64(parsed.positional[0], ulType) &&
               ulType <= 0xFFFFFFFFu;
    if (bOk && parsed.positional.size() == 2) {
        bOk = ParseU64(parsed.positional[1], ulData) && !parsed.Has("--hex");
    }
    if (bOk && parsed.Has("--count")) {
        bOk = ParseU64(parsed.options["--count"], ulCount) && ulCount >= 1 && ulCount <= 1000000;
    }
    if (bOk && parsed.Has("--device")) {
        bOk = ParseU64(parsed.options["--device"], ulDevice) && ulDevice <= 0xFFFFFFFFu;
    }
    if (bOk && parsed.Has("--hex")) {
        bOk = ParseHex(parsed.options["--hex"], hexBytes) && hexBytes.size() <= 48;
    }
    if (!bOk) {
        return UsageError(parsed,
                          "usage: event TYPE [DATA] [--count N (1..1000000)] "
                          "[--hex BYTES (up to 48)] [--device N]");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (uint64_t i = 0; i < ulCount; ++i) {
        QueueEvent(static_cast<uint32_t>(ulType), ulData);
        Event& event = m_events.back();
        event.unDevice = static_cast<uint32_t>(ulDevice);
        if (!hexBytes.empty()) {
            std::memcpy(event.rgubData, hexBytes.data(), hexBytes.size());
        }
    }
    return {};
}

CtlResult CSimState::ConsoleVerb(const std::string& strVerb, const Args& args, bool bOpen) {
    uint64_t ulId = 0;
    if (args.size() != 1 || !ParseU64(args[0], ulId)) {
        return UsageError(strVerb + " needs one console id (unsigned 64-bit)");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bOpen) {
        m_openConsoles.insert(ulId);
    } else {
        m_openConsoles.erase(ulId);
    }
    QueueEvent(bOpen ? codes::k_unEventConsoleOpened : codes::k_unEventConsoleClosed, ulId);
    return {};
}

CtlResult CSimState::VerbConsoleOpen(const Args& args) {
    return ConsoleVerb("console-open", args, true);
}

CtlResult CSimState::VerbConsoleClose(const Args& args) {
    return ConsoleVerb("console-close", args, false);
}

CtlResult CSimState::QueueVerb(uint32_t unEventType) {
    std::lock_guard<std::mutex> lock(m_mutex);
    QueueEvent(unEventType, 0);
    return {};
}

CtlResult CSimState::VerbScreenshot(const Args&) {
    return QueueVerb(codes::k_unEventScreenshotTriggered);
}

CtlResult CSimState::VerbQuit(const Args&) {
    return QueueVerb(codes::k_unEventQuit);
}

CtlResult CSimState::VerbReconnect(const Args&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SetToken(m_unToken + 1 == 0 ? 1 : m_unToken + 1);
    CtlResult out;
    out.strOut = std::to_string(m_unToken) + "\n";
    return out;
}

namespace {

// How long a verb may wait (stall, wait), and how long wait waits by default.
constexpr uint64_t k_ulMaxWaitMs = 3600000;
constexpr uint64_t k_ulDefaultWaitMs = 30000;

// wait's --timeout-ms, k_ulDefaultWaitMs when absent; false when it is not a
// number of at most k_ulMaxWaitMs.
bool ParseWaitTimeout(ParsedArgs& parsed, uint64_t& ulTimeout) {
    ulTimeout = k_ulDefaultWaitMs;
    return !parsed.Has("--timeout-ms") ||
           (ParseU64(parsed.options["--timeout-ms"], ulTimeout) && ulTimeout <= k_ulMaxWaitMs);
}

}  // namespace

CtlResult CSimState::VerbStall(const Args& args) {
    ParsedArgs parsed = ParseArgs(args, {"--polls"}, {});
    uint64_t ulMs = 0, ulPolls = 1;
    bool bOk = parsed.strError.empty() && parsed.positional.size() == 1 &&
               ParseU64(parsed.positional[0], ulMs) && ulMs <= k_ulMaxWaitMs;
    if (bOk && parsed.Has("--polls")) {
        bOk = ParseU64(parsed.options["--polls"], ulPolls) && ulPolls >= 1 && ulPolls <= 1000;
    }
    if (!bOk) {
        return UsageError(
            "stall needs a time in milliseconds (at most 3600000) and optionally --polls N "
            "(1..1000)");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unStallMs = static_cast<uint32_t>(ulMs);
    m_unStallPolls = ulMs > 0 ? static_cast<uint32_t>(ulPolls) : 0;
    SetStallFlag(ulMs > 0);
    return {};
}

// --- the host client ---------------------------------------------------------------

CtlResult CSimState::QueueCallbackForAll(int32_t iCallback, const std::string& payload) {
    for (auto& [ulId, session] : m_hostSessions) {
        session.callbacks.emplace_back(iCallback, payload);
    }
    PublishState();
    CtlResult out;
    out.strOut = "queued for " + std::to_string(m_hostSessions.size()) + " host session(s)\n";
    return out;
}

CtlResult CSimState::VerbHost(const Args& args) {
    CtlResult usage = UsageError(
        "usage: host up|down|notice-shutdown|persona NAME|callback ID [HEX]|init-result N|"
        "user-id ID");
    if (args.empty()) {
        return usage;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    HostConfig& host = m_config.host;
    const std::string& strWhat = args[0];
    uint64_t ulId = 0;
    std::string payload;
    if (strWhat == "up" && args.size() == 1) {
        host.bRunning = true;
        PublishState();
    } else if (strWhat == "down" && args.size() == 1) {
        host.bRunning = false;
        while (!m_hostSessions.empty()) {
            EndHostSession(m_hostSessions.begin());
        }
        PublishState();
    } else if (strWhat == "notice-shutdown" && args.size() == 1) {
        return QueueCallbackForAll(codes::k_iCallbackQuillShutdown, std::string(1, '\0'));
    } else if (strWhat == "persona" && args.size() == 2) {
        host.strUserName = args[1];
        lattice_proto::CWireWriter persona;
        persona.U64(host.ulUserId);
        payload = persona.Buffer() + std::string(4, '\0');
        return QueueCallbackForAll(codes::k_iCallbackPersonaStateChange, payload);
    } else if (strWhat == "init-result" && args.size() == 2) {
        // Decimal, optionally negative: what later initialisations answer.
        if (!ParseI32(args[1], host.nInitResult)) {
            return usage;
        }
    } else if (strWhat == "user-id" && args.size() == 2) {
        if (!ParseU64(args[1], ulId)) {
            return usage;
        }
        host.ulUserId = ulId;
    } else if (strWhat == "callback" && (args.size() == 2 || args.size() == 3)) {
        if (!ParseU64(args[1], ulId) || ulId > 0x7FFFFFFF ||
            (args.size() == 3 && !ParseHex(args[2], payload))) {
            return usage;
        }
        return QueueCallbackForAll(static_cast<int32_t>(ulId), payload);
    } else {
        return usage;
    }
    return {};
}

// --- settings, journal, consoles -------------------------------------------------------

CtlResult CSimState::VerbSetting(const Args& args) {
    if (args.size() != 3 || args[0].empty() || args[1].empty()) {
        return UsageError("usage: setting SECTION KEY VALUE");
    }
    Json::Value value;
    const std::string& strText = args[2];
    if (!ParseJson(strText, value) || !(value.isBool() || value.isNumeric() || value.isString())) {
        value = Json::Value(strText);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config.settings[args[0]][args[1]] = value;
    return {};
}

CtlResult CSimState::VerbJournal(const Args& args) {
    ParsedArgs parsed = ParseArgs(args, {"--since"}, {});
    uint64_t ulSince = 0;
    if (!parsed.strError.empty() || !parsed.positional.empty() ||
        (parsed.Has("--since") && !ParseU64(parsed.options["--since"], ulSince))) {
        return UsageError(parsed, "usage: journal [--since SEQ]");
    }
    CtlResult out;
    out.strOut = m_journal.Dump(ulSince);
    return out;
}

std::string CSimState::WaitInJournal(const std::string& strNeedle, uint64_t ulTimeoutMs,
                                     uint64_t ulSince) {
    // Calls counted on session pages reach the journal only when someone
    // looks: look again every slice while waiting.
    constexpr std::chrono::milliseconds k_sliceForCountedCalls(20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping) {
                return std::string();
            }
            JournalIdleCalls();
        }
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        bool bLast = remaining <= k_sliceForCountedCalls;
        std::string strEntry = m_journal.Wait(
            strNeedle,
            bLast ? std::max(remaining, std::chrono::milliseconds(0)) : k_sliceForCountedCalls,
            ulSince, &ulSince);
        if (!strEntry.empty() || bLast) {
            return strEntry;
        }
    }
}

CtlResult CSimState::VerbWait(const Args& args) {
    ParsedArgs parsed = ParseArgs(args, {"--timeout-ms", "--since"}, {});
    uint64_t ulTimeout = 0, ulSince = 0;
    bool bOk = parsed.strError.empty() && parsed.positional.size() == 1 &&
               !parsed.positional[0].empty() && ParseWaitTimeout(parsed, ulTimeout);
    if (bOk && parsed.Has("--since")) {
        bOk = ParseU64(parsed.options["--since"], ulSince);
    }
    if (!bOk) {
        return UsageError("usage: wait SUBSTRING [--timeout-ms N] [--since SEQ]");
    }
    CtlResult out;
    std::string strEntry = WaitInJournal(parsed.positional[0], ulTimeout, ulSince);
    if (strEntry.empty()) {
        out.nExit = 1;
        out.strErr = "lattice-sim ctl: wait: no journal entry contains '" + parsed.positional[0] +
                     "' after " + std::to_string(ulTimeout) + " ms\n";
        return out;
    }
    out.strOut = strEntry + "\n";
    return out;
}

CtlResult CSimState::VerbConsole(const Args& args) {
    ParsedArgs parsed = ParseArgs(args, {}, {"--json"});
    if (!parsed.strError.empty() || !parsed.positional.empty()) {
        return UsageError("usage: console [--json]");
    }
    bool bJson = parsed.flags.count("--json") > 0;
    CtlResult out;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const ConsoleLine& line : m_consoleLines) {
        if (bJson) {
            out.strOut += ConsoleLineFields(line).Object() + "\n";
            continue;
        }
        std::string strText = line.strText;
        if (!strText.empty() && strText.back() == '\n') {
            strText.pop_back();
        }
        // One line per entry: embedded newlines are shown escaped.
        std::string strShown;
        for (char ch : strText) {
            strShown += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        }
        out.strOut += std::to_string(line.ulHandle) + "\t" + strShown + "\n";
    }
    return out;
}

// --- the simulator itself ---------------------------------------------------------------

CtlResult CSimState::VerbShutdown(const Args&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bShutdownRequested = true;
    return {};
}

CtlResult CSimState::VerbPing(const Args&) {
    CtlResult out;
    out.strOut = "pong\n";
    return out;
}

// --- the ctl side ------------------------------------------------------------------------

uint32_t CtlReplyTimeoutMs(const std::vector<std::string>& argv) {
    uint64_t ulWait = 0;
    if (!argv.empty() && argv[0] == "wait") {
        ParsedArgs parsed =
            ParseArgs({argv.begin() + 1, argv.end()}, {"--timeout-ms", "--since"}, {});
        if (!ParseWaitTimeout(parsed, ulWait)) {
            ulWait = 0;  // refused by the verb at once
        }
    }
    return lattice_proto::k_unReplyTimeoutMs + static_cast<uint32_t>(ulWait);
}

int ConnectToSimulator(const std::string& strPath, std::string* pstrError) {
    auto deadline = lattice_proto::CDeadline::InMs(lattice_proto::k_unConnectTimeoutMs);
    int fd = lattice_proto::ConnectSocket(strPath, pstrError, deadline);
    if (fd < 0) {
        return -1;
    }
    std::string strWhy;
    if (!lattice_proto::PeerIsTrusted(fd, &strWhy)) {
        *pstrError = "refusing the simulator at " + strPath + ": " + strWhy;
        close(fd);
        return -1;
    }
    if (lattice_proto::ClientGreeting(fd, lattice_proto::Role_Control, deadline, pstrError) !=
        lattice_proto::Hello_Ok) {
        *pstrError = strPath + ": " + *pstrError;
        close(fd);
        return -1;
    }
    return fd;
}

// --- help texts -------------------------------------------------------------------------

std::string MainHelp() {
    return "usage: lattice-sim serve [--config FILE] [--socket PATH] [--http PORT]\n"
           "       lattice-sim ctl [--socket PATH] VERB [ARGS...]\n"
           "       lattice-sim --version\n"
           "\n"
           "Simulates the VR runtime and the desktop host client behind the stand-in client\n"
           "libraries, over a Unix socket: LATTICE_SIM_SOCKET, else\n"
           "$XDG_RUNTIME_DIR/lattice-sim.sock, else /tmp/lattice-sim-<uid>.sock.\n"
           "\n"
           "  serve   run the simulator (see lattice-sim serve --help)\n"
           "  ctl     drive and inspect a running simulator (see lattice-sim ctl --help)\n";
}

std::string ServeHelp() {
    return "usage: lattice-sim serve [--config FILE] [--socket PATH] [--http PORT]\n"
           "\n"
           "Runs the simulator in the foreground until `ctl shutdown`, SIGTERM or SIGINT.\n"
           "  --config FILE   initial state (JSON; docs/lattice-sim.md lists them)\n"
           "  --socket PATH   socket to listen on (default: as for the client libraries)\n"
           "  --http PORT     serve the web console page on http://127.0.0.1:PORT/\n"
           "                  (0: a free port, printed at start-up); each open page is a\n"
           "                  web console of its own\n"
           "Exit status: 0 after a clean stop, 1 when the socket is taken or cannot be\n"
           "created, 2 for bad arguments or a bad configuration.\n";
}

namespace {

// "usage: lattice-sim ctl VERB ARGS" or without the arguments.
std::string VerbLine(const VerbInfo& verb) {
    std::string strLine = verb.pchName;
    if (*verb.pchUsage) {
        strLine += " " + std::string(verb.pchUsage);
    }
    return strLine;
}

// Wraps a paragraph at 78 columns.
std::string Wrapped(const std::string& strText) {
    std::string strOut;
    size_t nLineStart = 0;
    size_t nPos = 0;
    while (nPos < strText.size()) {
        size_t nNext = strText.find(' ', nPos);
        std::string strWord =
            strText.substr(nPos, nNext == std::string::npos ? std::string::npos : nNext - nPos);
        if (strOut.size() - nLineStart + strWord.size() + 1 > 78 && strOut.size() > nLineStart) {
            strOut += "\n";
            nLineStart = strOut.size();
        } else if (strOut.size() > nLineStart) {
            strOut += " ";
        }
        strOut += strWord;
        if (nNext == std::string::npos) {
            break;
        }
        nPos = nNext + 1;
    }
    return strOut;
}

}  // namespace

std::string CtlHelp() {
    std::string strHelp =
        "usage: lattice-sim ctl [--socket PATH] VERB [ARGS...]\n"
        "       lattice-sim ctl VERB --help\n"
        "\n"
        "Exit status: 0 on success, 1 when the verb failed (or wait timed out),\n"
        "2 for bad arguments or an unreachable simulator.\n"
        "\nVerbs:\n";
    for (const VerbInfo& verb : Verbs()) {
        strHelp += "  " + VerbLine(verb) + "\n";
    }
    return strHelp;
}

std::string VerbHelp(const VerbInfo& verb) {
    return "usage: lattice-sim ctl " + VerbLine(verb) + "\n\n" + Wrapped(verb.pchHelp) + "\n";
}

}  // namespace lattice_sim
