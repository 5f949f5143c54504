#include "verbs.h"

namespace lattice_sim {

const std::vector<VerbInfo>& Verbs() {
    static const std::vector<VerbInfo> s_verbs = {
        {"event", "TYPE [DATA] [--count N] [--hex BYTES] [--device N]",
         "Queues a runtime event of the given type. DATA (decimal or 0x hex) is an unsigned "
         "64-bit value stored little-endian at the start of the event data (offset 12 of the "
         "record); --hex gives up to 48 raw data bytes instead. --count queues N copies; "
         "--device sets the device index (default 4294967295)."},
        {"console-open", "ID",
         "Opens web console ID (unsigned 64-bit): queues event 420 carrying the id."},
        {"console-close", "ID", "Closes web console ID: queues event 421 carrying the id."},
        {"screenshot", "", "Presses the screenshot button combination: queues event 516."},
        {"quit", "", "Asks the clients to quit: queues event 700."},
        {"reconnect", "",
         "Remakes the runtime connection: the init token changes (clients see the new value "
         "from VR_GetInitToken at once). Prints the new token."},
        {"host", "up|down|notice-shutdown|persona NAME|callback ID [HEX]|init-result N|user-id ID",
         "Drives the desktop host client. up / down: it starts or exits (down ends every host "
         "session). notice-shutdown: queues the shutdown notice (callback 704) for every "
         "initialised host session. persona NAME: renames the current user and queues the "
         "persona change (callback 304) for that user. callback ID [HEX]: queues any callback "
         "with the given payload bytes. init-result N: the result later initialisations answer "
         "while the host client runs (0 accepts). user-id ID: the current user's 64-bit id from "
         "now on (decimal or 0x hex)."},
        {"setting", "SECTION KEY VALUE",
         "Sets a runtime setting. VALUE is read as JSON when it is a JSON literal (true, "
         "false, 3, 2.5, \"text\"), else as a plain string."},
        {"stall", "MS [--polls N]",
         "The next event poll reaching the simulator answers only after MS milliseconds; "
         "with --polls, each of the next N polls does (1..1000, default 1)."},
        {"journal", "[--since SEQ]",
         "Prints the journal: one JSON object per call that reached the simulator, oldest "
         "first; --since prints only entries with a larger seq."},
        {"console", "[--json]",
         "Prints the lines shown in web consoles, oldest first, one per line as "
         "HANDLE<TAB>TEXT (handle 0: every open console). --json prints one object per line "
         "with handle, log, time_ms, level and text."},
        {"wait", "SUBSTRING [--timeout-ms N] [--since SEQ]",
         "Waits until a journal entry contains SUBSTRING and prints it; exits 1 after the "
         "timeout (default 30000 ms)."},
        {"shutdown", "",
         "Ends the simulator. Connected clients see their connection lost (the runtime "
         "library then delivers event 700)."},
        {"ping", "", "Answers \"pong\" when the simulator is up."},
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

std::string MainHelp() {
    return "usage: lattice-sim serve [--config FILE] [--socket PATH]\n"
           "       lattice-sim ctl [--socket PATH] VERB [ARGS...]\n"
           "\n"
           "Simulates the VR runtime and the desktop host client behind the stand-in client\n"
           "libraries, over a Unix socket: LATTICE_SIM_SOCKET, else\n"
           "$XDG_RUNTIME_DIR/lattice-sim.sock, else /tmp/lattice-sim-<uid>.sock.\n"
           "\n"
           "  serve   run the simulator (see lattice-sim serve --help)\n"
           "  ctl     drive and inspect a running simulator (see lattice-sim ctl --help)\n";
}

std::string ServeHelp() {
    return "usage: lattice-sim serve [--config FILE] [--socket PATH]\n"
           "\n"
           "Runs the simulator in the foreground until `ctl shutdown`, SIGTERM or SIGINT.\n"
           "  --config FILE   initial state (JSON; README.md lists the members)\n"
           "  --socket PATH   socket to listen on (default: as for the client libraries)\n"
           "Exit status: 0 after a clean stop, 1 when the socket is taken or cannot be\n"
           "created, 2 for bad arguments or a bad configuration.\n";
}

std::string CtlHelp() {
    std::string strHelp =
        "usage: lattice-sim ctl [--socket PATH] VERB [ARGS...]\n"
        "       lattice-sim ctl VERB --help\n"
        "\n"
        "Exit status: 0 on success, 1 when the verb failed (or wait timed out),\n"
        "2 for bad arguments or an unreachable simulator.\n"
        "\nVerbs:\n";
    for (const VerbInfo& verb : Verbs()) {
        strHelp += "  " + std::string(verb.pchName);
        if (*verb.pchUsage) {
            strHelp += " " + std::string(verb.pchUsage);
        }
        strHelp += "\n";
    }
    return strHelp;
}

std::string VerbHelp(const VerbInfo& verb) {
    std::string strHelp = "usage: lattice-sim ctl " + std::string(verb.pchName);
    if (*verb.pchUsage) {
        strHelp += " " + std::string(verb.pchUsage);
    }
    strHelp += "\n\n";
    // Wrap the paragraph at 78 columns.
    std::string strText = verb.pchHelp;
    size_t nLineStart = strHelp.size();
    size_t nPos = 0;
    while (nPos < strText.size()) {
        size_t nNext = strText.find(' ', nPos);
        std::string strWord =
            strText.substr(nPos, nNext == std::string::npos ? std::string::npos : nNext - nPos);
        if (strHelp.size() - nLineStart + strWord.size() + 1 > 78 && strHelp.size() > nLineStart) {
            strHelp += "\n";
            nLineStart = strHelp.size();
        } else if (strHelp.size() > nLineStart) {
            strHelp += " ";
        }
        strHelp += strWord;
        if (nNext == std::string::npos) {
            break;
        }
        nPos = nNext + 1;
    }
    strHelp += "\n";
    return strHelp;
}

}  // namespace lattice_sim
