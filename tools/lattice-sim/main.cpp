// lattice-sim: simulator of the VR runtime and the desktop host client, and
// its control CLI. `lattice-sim --help` explains the commands;
// docs/lattice-sim.md documents every verb and the configuration file.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "parsing.h"
#include "server.h"
#include "socketio.h"
#include "state.h"
#include "verbs.h"
#include "web_console.h"
#include "wire.h"

#ifndef HALYARD_VERSION
#error "HALYARD_VERSION must hold the project version"
#endif

namespace {

using namespace lattice_sim;

CServer* g_pServer = nullptr;

void OnStopSignal(int) {
    if (g_pServer) {
        g_pServer->RequestStop();
    }
}

bool IsHelp(const std::string& strArg) {
    return strArg == "--help" || strArg == "-h";
}

// Misuse is one line on standard error, naming where help is, and status 2.
// strCommand: "serve", "ctl" or empty for the program itself.
int UsageError(const std::string& strCommand, const std::string& strWhy) {
    std::string strProgram = strCommand.empty() ? "lattice-sim" : "lattice-sim " + strCommand;
    std::fprintf(stderr, "%s: %s (%s --help)\n", strProgram.c_str(), strWhy.c_str(),
                 strProgram.c_str());
    return 2;
}

std::string UnexpectedArgument(const std::string& strArg) {
    return (strArg.size() > 1 && strArg[0] == '-' ? "unknown option '" : "unexpected argument '") +
           strArg + "'";
}

std::vector<std::string> SplitLines(const std::string& strText) {
    std::vector<std::string> lines;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strText.size();
        }
        lines.push_back(strText.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return lines;
}

int Serve(const std::vector<std::string>& args) {
    std::string strConfig, strSocket;
    std::optional<int> httpPort;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            std::fputs(ServeHelp().c_str(), stdout);
            return 0;
        }
        if (args[i] == "--config" || args[i] == "--socket") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                return UsageError("serve", args[i] + " needs a value");
            }
            std::string& strValue = args[i] == "--config" ? strConfig : strSocket;
            strValue = args[++i];
            continue;
        }
        if (args[i] == "--http") {
            uint64_t ulPort = 0;
            if (i + 1 >= args.size() || !ParseU64(args[i + 1], ulPort) || ulPort > 65535) {
                return UsageError("serve", "--http needs a port (0..65535)");
            }
            httpPort = static_cast<int>(ulPort);
            ++i;
            continue;
        }
        return UsageError("serve", UnexpectedArgument(args[i]));
    }
    SimConfig config;
    if (!strConfig.empty()) {
        std::string strErrors;
        if (!LoadConfig(strConfig, config, &strErrors)) {
            // One line per problem, each saying what it is about.
            for (const std::string& strLine : SplitLines(strErrors)) {
                std::fprintf(stderr, "lattice-sim serve: bad configuration: %s\n", strLine.c_str());
            }
            return 2;
        }
    }
    std::string strSocketPath = lattice_proto::ResolveSocketPath(strSocket.c_str());
    CSimState state(config, strSocketPath);
    std::string strError;
    if (!state.CreateSharedPage(&strError)) {
        std::fprintf(stderr, "lattice-sim serve: %s\n", strError.c_str());
        return 1;
    }
    CServer server(state, strSocketPath);
    if (!server.Listen(&strError)) {
        std::fprintf(stderr, "lattice-sim serve: %s\n", strError.c_str());
        return 1;
    }
    CWebConsole console(state);
    if (httpPort && !console.Listen(*httpPort, &strError)) {
        std::fprintf(stderr, "lattice-sim serve: %s\n", strError.c_str());
        return 1;
    }
    g_pServer = &server;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf("lattice-sim: serving on %s\n", strSocketPath.c_str());
    if (httpPort) {
        console.Start();
        std::printf("lattice-sim: console page on http://127.0.0.1:%d/\n", console.Port());
    }
    std::fflush(stdout);
    server.Run();
    console.Stop();
    std::printf("lattice-sim: stopped\n");
    std::fflush(nullptr);
    // Connection threads are detached; leave without running destructors
    // under any that have not finished yet.
    std::_Exit(0);
}

int Ctl(const std::vector<std::string>& args) {
    std::string strSocket;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            std::fputs(CtlHelp().c_str(), stdout);
            return 0;
        }
        if (args[i] == "--socket") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                return UsageError("ctl", "--socket needs a value");
            }
            strSocket = args[++i];
            continue;
        }
        if (args[i].size() > 1 && args[i][0] == '-') {
            return UsageError("ctl", "unknown option '" + args[i] + "'");
        }
        break;
    }
    if (i >= args.size()) {
        return UsageError("ctl", "no verb given");
    }
    std::vector<std::string> argv(args.begin() + static_cast<long>(i), args.end());
    const VerbInfo* pVerb = FindVerb(argv[0]);
    if (!pVerb) {
        return UsageError("ctl", "unknown verb '" + argv[0] + "'");
    }
    for (size_t j = 1; j < argv.size(); ++j) {
        if (IsHelp(argv[j])) {
            std::fputs(VerbHelp(*pVerb).c_str(), stdout);
            return 0;
        }
    }
    std::string strPath = lattice_proto::ResolveSocketPath(strSocket.c_str());
    std::string strError;
    int fd = ConnectToSimulator(strPath, &strError);
    if (fd < 0) {
        std::fprintf(stderr, "lattice-sim ctl: cannot reach the simulator: %s\n", strError.c_str());
        return 2;
    }
    lattice_proto::CWireWriter request;
    request.StrList(argv);
    lattice_proto::Frame reply;
    auto deadline = lattice_proto::CDeadline::InMs(CtlReplyTimeoutMs(argv));
    lattice_proto::ERecv eRecv =
        lattice_proto::Request(fd, lattice_proto::Op_C_Control, request.Buffer(), reply, deadline);
    if (eRecv != lattice_proto::Recv_Ok) {
        std::fprintf(stderr, "lattice-sim ctl: %s\n",
                     eRecv == lattice_proto::Recv_TimedOut
                         ? ("the simulator did not answer within " + deadline.Describe()).c_str()
                         : "the simulator closed the connection");
        close(fd);
        return 2;
    }
    close(fd);
    if (reply.usStatus != lattice_proto::Status_Ok) {
        std::fprintf(stderr, "lattice-sim ctl: refused: %s\n", reply.payload.c_str());
        return 2;
    }
    lattice_proto::CWireReader reader(reply.payload);
    int32_t nExit = reader.I32();
    std::string strOut = reader.Str();
    std::string strErr = reader.Str();
    if (!reader.Complete()) {
        std::fprintf(stderr, "lattice-sim ctl: malformed answer\n");
        return 2;
    }
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    std::fwrite(strErr.data(), 1, strErr.size(), stderr);
    return nExit;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return UsageError("", "no command given: serve or ctl");
    }
    if (IsHelp(args[0])) {
        std::fputs(MainHelp().c_str(), stdout);
        return 0;
    }
    if (args[0] == "--version") {
        if (args.size() > 1) {
            return UsageError("", UnexpectedArgument(args[1]));
        }
        std::printf("lattice-sim %s\n", HALYARD_VERSION);
        return 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "serve") {
        return Serve(rest);
    }
    if (args[0] == "ctl") {
        return Ctl(rest);
    }
    if (args[0].size() > 1 && args[0][0] == '-') {
        return UsageError("", "unknown option '" + args[0] + "'");
    }
    return UsageError("", "unknown command '" + args[0] + "'");
}
