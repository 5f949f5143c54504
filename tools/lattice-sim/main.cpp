// lattice-sim: simulator of the VR runtime and the desktop host client, and
// its control CLI. `lattice-sim --help` explains the commands;
// docs/lattice-sim.md documents every verb and the configuration file.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "server.h"
#include "socketio.h"
#include "state.h"
#include "verbs.h"
#include "wire.h"

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

int Serve(const std::vector<std::string>& args) {
    std::string strConfig, strSocket;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            std::fputs(ServeHelp().c_str(), stdout);
            return 0;
        }
        if ((args[i] == "--config" || args[i] == "--socket") && i + 1 < args.size()) {
            (args[i] == "--config" ? strConfig : strSocket) = args[i + 1];
            ++i;
            continue;
        }
        std::fprintf(stderr, "lattice-sim serve: unexpected argument '%s'\n%s", args[i].c_str(),
                     ServeHelp().c_str());
        return 2;
    }
    SimConfig config;
    if (!strConfig.empty()) {
        std::string strErrors;
        if (!LoadConfig(strConfig, config, &strErrors)) {
            std::fprintf(stderr, "lattice-sim serve: bad configuration:\n%s", strErrors.c_str());
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
    g_pServer = &server;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::printf("lattice-sim: serving on %s\n", strSocketPath.c_str());
    std::fflush(stdout);
    server.Run();
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
        if (args[i] == "--socket" && i + 1 < args.size()) {
            strSocket = args[++i];
            continue;
        }
        break;
    }
    if (i >= args.size()) {
        std::fprintf(stderr, "lattice-sim ctl: no verb given\n%s", CtlHelp().c_str());
        return 2;
    }
    std::vector<std::string> argv(args.begin() + static_cast<long>(i), args.end());
    const VerbInfo* pVerb = FindVerb(argv[0]);
    if (!pVerb) {
        std::fprintf(stderr, "lattice-sim ctl: unknown verb '%s'\n%s", argv[0].c_str(),
                     CtlHelp().c_str());
        return 2;
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
    if (args.empty() || IsHelp(args[0])) {
        std::fputs(MainHelp().c_str(), args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "serve") {
        return Serve(rest);
    }
    if (args[0] == "ctl") {
        return Ctl(rest);
    }
    std::fprintf(stderr, "lattice-sim: unknown command '%s'\n%s", args[0].c_str(),
                 MainHelp().c_str());
    return 2;
}
