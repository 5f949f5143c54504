// Both stand-in libraries against peers that must not be trusted: a runtime
// or host client of another user, one whose shared page could shrink under
// its mapping, one that never answers or stops answering. Each peer is a
// real process on a real socket; each library runs in a child of its own.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lattice_api.h"
#include "protocol.h"
#include "quill_api.h"
#include "sim_fixture.h"
#include "socketio.h"
#include "wire.h"

namespace {

namespace proto = lattice_proto;
using halyard_test::ChildResult;

enum class EPage { Sealed, EmptyUnsealed, Unsealed, Short, BadMagic, PlainFile };
// StopsMidway: answers until a settings read (runtime), an initialisation
// (host client) or a control request comes, then nothing more.
// Refuses: answers every hello with a refusal whose text tries to write
// lines and terminal controls of its own.
enum class EAnswers { All, Nothing, StopsMidway, Refuses };

struct PeerBehaviour {
    EPage ePage = EPage::Sealed;
    bool bOtherUser = false;
    EAnswers eAnswers = EAnswers::All;
    EPage eSessionPage = EPage::Sealed;  // what comes with an initialisation
};

// The descriptor of a shared page (or a host session's page) of the given
// kind, as a peer would pass it.
int MakePage(EPage ePage, const std::string& strDir, bool bSessionPage = false) {
    proto::SharedState shared{};
    shared.unMagic = ePage == EPage::BadMagic ? 0 : proto::k_unSharedMagic;
    shared.unVersion = proto::k_usProtocolVersion;
    shared.unInitToken = 7;
    shared.unHostRunning = 1;
    proto::SessionPage session{};
    session.unMagic = ePage == EPage::BadMagic ? 0 : proto::k_unSessionPageMagic;
    session.unVersion = proto::k_usProtocolVersion;
    const void* pState = bSessionPage ? static_cast<const void*>(&session) : &shared;
    const size_t cbState = bSessionPage ? sizeof(session) : sizeof(shared);
    int fd = -1;
    if (ePage == EPage::PlainFile) {
        fd = open(strDir.c_str(), O_TMPFILE | O_RDWR, 0600);
    } else {
        bool bSeal = ePage == EPage::Sealed || ePage == EPage::Short || ePage == EPage::BadMagic;
        fd = memfd_create("peer-page", bSeal ? MFD_ALLOW_SEALING : 0);
    }
    if (fd < 0) {
        return -1;
    }
    if (ePage == EPage::Short) {
        ssize_t n = write(fd, pState, 8);
        (void)n;
    } else if (ePage != EPage::EmptyUnsealed) {
        ssize_t n = write(fd, pState, cbState);
        (void)n;
    }
    if (ePage == EPage::Sealed || ePage == EPage::Short || ePage == EPage::BadMagic) {
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    }
    return fd;
}

// Answers one connection until it closes, the way the peer is told to.
void ServeConnection(int fd, const PeerBehaviour& peer, const std::string& strDir) {
    proto::Frame frame;
    if (proto::RecvFrame(fd, frame) != proto::Recv_Ok) {
        return;
    }
    if (peer.eAnswers == EAnswers::Refuses) {
        proto::SendFrame(fd, proto::Op_Hello, proto::Status_Failed, "go away\n\x1b[2J");
        return;
    }
    proto::CWireWriter hello;
    hello.U16(proto::k_usProtocolVersion);
    hello.U32(static_cast<uint32_t>(getpid()));
    proto::SendFrame(fd, proto::Op_Hello, proto::Status_Ok, hello.Buffer());
    bool bSilent = false;
    while (proto::RecvFrame(fd, frame) == proto::Recv_Ok) {
        bSilent =
            bSilent || (peer.eAnswers == EAnswers::StopsMidway &&
                        (frame.usOp == proto::Op_L_SettingGet || frame.usOp == proto::Op_Q_Init ||
                         frame.usOp == proto::Op_C_Control));
        if (bSilent || (frame.ubFlags & proto::k_ubFrameFlagOneWay) != 0) {
            continue;  // read, never answered
        }
        proto::CWireWriter answer;
        int fdPage = -1;
        if (frame.usOp == proto::Op_L_Init) {
            answer.I32(0);
            answer.U32(7);
            answer.StrList({vr::IVRSystem_Version, vr::IVRSettings_Version});
            fdPage = MakePage(peer.ePage, strDir);
        } else if (frame.usOp == proto::Op_Q_Attach) {
            answer.Bool(true);
            fdPage = MakePage(peer.ePage, strDir);
        } else if (frame.usOp == proto::Op_L_GetInterface) {
            answer.Bool(true);
        } else if (frame.usOp == proto::Op_Q_Init) {
            answer.I32(0);
            answer.Str("");
            answer.U64(1);
            answer.I32(1);
            fdPage = MakePage(peer.eSessionPage, strDir, true);
        } else {
            answer.U64(0);  // zeros read as "no error, no value"
            answer.U64(0);
        }
        proto::SendFrame(fd, frame.usOp, proto::Status_Ok, answer.Buffer(), fdPage);
        if (fdPage >= 0) {
            close(fdPage);
        }
    }
}

// A process that plays the runtime and the host client on strSocket as peer
// says, until it is killed. Returns its pid once it listens (-1 on failure).
pid_t StartPeer(const std::string& strSocket, const PeerBehaviour& peer) {
    int rgfdReady[2];
    if (pipe(rgfdReady) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(rgfdReady[0]);
        int fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, strSocket.c_str(), sizeof(addr.sun_path) - 1);
        if (bind(fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            _exit(1);
        }
        // The kernel reports the credentials the listener had at listen().
        if (peer.bOtherUser &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        std::string strDir = strSocket.substr(0, strSocket.rfind('/'));
        if (listen(fdListen, 16) != 0 || write(rgfdReady[1], "x", 1) != 1) {
            _exit(3);
        }
        signal(SIGCHLD, SIG_IGN);  // connection processes reap themselves
        std::vector<int> vecHeld;
        while (true) {
            int fd = accept(fdListen, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            if (peer.eAnswers == EAnswers::Nothing) {
                vecHeld.push_back(fd);  // accepted, never read
                continue;
            }
            // One process per connection: the two libraries talk at once.
            if (fork() == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);  // ends with the peer
                ServeConnection(fd, peer, strDir);
                _exit(0);
            }
            close(fd);
        }
    }
    close(rgfdReady[1]);
    char ch = 0;
    bool bReady = pid > 0 && read(rgfdReady[0], &ch, 1) == 1;
    close(rgfdReady[0]);
    if (!bReady && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// What each library must make of the peer.
struct Case {
    const char* pchName;
    PeerBehaviour peer;
    // The start of each library's one line on standard error, with PEER
    // standing for "the runtime" or "the host client" and SOCKET for the
    // socket path; empty: nothing said, the peer is served.
    std::string strReport;
    bool bNeedsRoot = false;
    // The start of what `lattice-sim ctl ping` says on standard error, with
    // SOCKET for the socket path; empty: ctl is not tried.
    std::string strCtlReport{};
    // The start of what `lattice-sim serve` on the same socket says before it
    // exits 1; empty: not tried.
    std::string strServeReport{};
    // The report is the host client library's alone: the runtime is served.
    bool bHostOnly = false;
};

std::vector<Case> Cases() {
    const std::string strUnsealed =
        "refusing PEER at SOCKET: its shared page is not a memfd sealed against shrinking, "
        "growing and new seals";
    return {
        {"a sound peer", {}, ""},
        {"another user's peer",
         {EPage::Sealed, true, EAnswers::All},
         "refusing PEER at SOCKET: it runs as uid 65534 (pid ",
         true,
         "lattice-sim ctl: cannot reach the simulator: refusing the simulator at SOCKET: it runs "
         "as uid 65534 (pid ",
         "lattice-sim serve: SOCKET is served by another user's process: it runs as uid 65534 "
         "(pid "},
        {"an empty unsealed page", {EPage::EmptyUnsealed, false, EAnswers::All}, strUnsealed},
        {"an unsealed page", {EPage::Unsealed, false, EAnswers::All}, strUnsealed},
        {"a plain file for a page", {EPage::PlainFile, false, EAnswers::All}, strUnsealed},
        {"a short sealed page",
         {EPage::Short, false, EAnswers::All},
         "refusing PEER at SOCKET: its shared page is 8 bytes long, shorter than its " +
             std::to_string(sizeof(proto::SharedState)) + " bytes"},
        {"a page without the magic",
         {EPage::BadMagic, false, EAnswers::All},
         "refusing PEER at SOCKET: its shared page does not carry this protocol's magic and "
         "version"},
        // A session page that could shrink would end the process at the
        // next idle RunCallbacks; one without the magic is some other page.
        {"an empty unsealed session page",
         {EPage::Sealed, false, EAnswers::All, EPage::EmptyUnsealed},
         "not counting idle calls on PEER's page at SOCKET: its session page is not a memfd "
         "sealed against shrinking, growing and new seals",
         false,
         "",
         "",
         true},
        {"a session page without the magic",
         {EPage::Sealed, false, EAnswers::All, EPage::BadMagic},
         "not counting idle calls on PEER's page at SOCKET: its session page does not carry "
         "this protocol's magic and version",
         false,
         "",
         "",
         true},
        {"a peer that never answers",
         {EPage::Sealed, false, EAnswers::Nothing},
         "PEER at SOCKET: no answer to the hello within 10 s"},
        {"a peer that refuses with control characters",
         {EPage::Sealed, false, EAnswers::Refuses},
         "PEER at SOCKET: refused: go away\\x0a\\x1b[2J"},
        {"a peer that stops answering",
         {EPage::Sealed, false, EAnswers::StopsMidway},
         "PEER at SOCKET did not answer within 30 s; the connection is taken for lost",
         false,
         "lattice-sim ctl: the simulator did not answer within 30 s\n"},
    };
}

// strReport with its placeholders filled, after the library's name.
std::string ExpectedLine(const Case& c, const char* pchLibrary, const char* pchPeer,
                         const std::string& strSocket) {
    if (c.strReport.empty()) {
        return "";
    }
    std::string strLine = c.strReport;
    strLine.replace(strLine.find("PEER"), 4, pchPeer);
    strLine.replace(strLine.find("SOCKET"), 6, strSocket);
    return std::string(pchLibrary) + ": " + strLine;
}

// The runtime library's side, in a child: 0 when it behaved as the case
// asks, with what it saw on standard output.
int RuntimeSide(const Case& c) {
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    uint32_t unToken =
        VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    std::printf("init: %s, token %u\n", VR_GetVRInitErrorAsSymbol(eError), unToken);
    if (c.peer.eAnswers == EAnswers::StopsMidway) {
        // A call on the live connection gets no answer: the connection counts
        // as lost, and the next poll says quit, once.
        auto* pSystem =
            static_cast<vr::IVRSystem*>(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr));
        auto* pSettings =
            static_cast<vr::IVRSettings*>(VR_GetGenericInterface(vr::IVRSettings_Version, nullptr));
        vr::ESettingsError eSettings = vr::SettingsError_None;
        bool bValue = pSettings && pSettings->GetBool("a", "b", &eSettings);
        vr::LatticeEvent_t event{};
        bool bQuit = pSystem && pSystem->TakeNextEvent(&event, sizeof(event)) &&
                     event.eventType == vr::LatticeEvent_Quit &&
                     !pSystem->TakeNextEvent(&event, sizeof(event));
        std::printf("settings error %d, quit %d\n", eSettings, bQuit);
        return eError == vr::LatticeInitError_None && !bValue &&
                       eSettings == vr::SettingsError_NotConnected && bQuit
                   ? 0
                   : 1;
    }
    if (c.strReport.empty() || c.bHostOnly) {
        return eError == vr::LatticeInitError_None && VR_GetInitToken() == 7 ? 0 : 1;
    }
    return eError == vr::LatticeInitError_RuntimeUnreachable && unToken == 0 ? 0 : 1;
}

int HostSide(const Case& c) {
    bool bRunning = QuillAPI_IsQuillRunning();
    std::printf("running: %d\n", bRunning);
    if (c.peer.eAnswers == EAnswers::StopsMidway) {
        int nInit = QuillInternal_QuillAPI_Init("QuillUtils010\0", nullptr);
        std::printf("init: %d\n", nInit);
        return bRunning && nInit == QuillInit_NoHostClient ? 0 : 1;
    }
    if (c.bHostOnly) {
        // Refused, the page is not used: idle calls travel as messages.
        int nInit = QuillInternal_QuillAPI_Init("QuillUtils010\0", nullptr);
        QuillAPI_RunCallbacks();
        QuillAPI_RunCallbacks();
        std::printf("init: %d\n", nInit);
        return bRunning && nInit == QuillInit_Ok ? 0 : 1;
    }
    return bRunning == c.strReport.empty() ? 0 : 1;
}

std::string WithSocket(std::string strText, const std::string& strSocket) {
    if (size_t nAt = strText.find("SOCKET"); nAt != std::string::npos) {
        strText.replace(nAt, 6, strSocket);
    }
    return strText;
}

void ExpectReport(const ChildResult& result, const std::string& strLine) {
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
    if (strLine.empty()) {
        EXPECT_EQ(result.strStderr, "");
        return;
    }
    // Said once, on one line.
    EXPECT_EQ(result.strStderr.rfind(strLine, 0), 0u) << result.strStderr;
    EXPECT_EQ(halyard_test::SplitLines(result.strStderr).size(), 1u) << result.strStderr;
}

class PeerTrustTest : public halyard_test::TempDirTest {};

TEST_F(PeerTrustTest, UntrustworthyPeersAreUnreachableWithAReason) {
    std::string strSkipped;
    int nCase = 0;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.pchName);
        if (c.bNeedsRoot && geteuid() != 0) {
            strSkipped += std::string(c.pchName) + " (needs root to act as another user); ";
            continue;
        }
        std::string strDir = TempPath("case" + std::to_string(++nCase));
        ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0);
        std::string strSocket = strDir + "/sim.sock";
        pid_t pidPeer = StartPeer(strSocket, c.peer);
        ASSERT_GT(pidPeer, 0);

        // All three run at once; each is started from this thread alone.
        auto options = halyard_test::WithEnv({{"LATTICE_SIM_SOCKET", strSocket}});
        halyard_test::StartedChild rgChildren[] = {
            halyard_test::StartInChild([&] { return RuntimeSide(c); }, options),
            halyard_test::StartInChild([&] { return HostSide(c); }, options),
            c.strCtlReport.empty()
                ? halyard_test::StartedChild()
                : halyard_test::StartProcess(
                      {halyard_test::LatticeSimPath(), "ctl", "--socket", strSocket, "ping"}),
        };
        ChildResult rgResults[3];
        std::thread rgCollectors[3];
        for (int i = 0; i < 3; ++i) {
            rgCollectors[i] =
                std::thread([&, i] { rgResults[i] = halyard_test::CollectChild(rgChildren[i]); });
        }
        for (std::thread& collector : rgCollectors) {
            collector.join();
        }
        const ChildResult& runtime = rgResults[0];
        const ChildResult& host = rgResults[1];
        const ChildResult& ctl = rgResults[2];
        ExpectReport(runtime, c.bHostOnly
                                  ? std::string()
                                  : ExpectedLine(c, "liblattice_api", "the runtime", strSocket));
        ExpectReport(host, ExpectedLine(c, "libquill_api", "the host client", strSocket));
        if (!c.strCtlReport.empty()) {
            EXPECT_EQ(ctl.exitCode, 2);
            EXPECT_EQ(ctl.strStderr.rfind(WithSocket(c.strCtlReport, strSocket), 0), 0u)
                << ctl.strStderr;
        }
        if (!c.strServeReport.empty()) {
            // The simulator neither takes over nor shares another user's socket.
            auto serve = halyard_test::RunProcess(
                {halyard_test::LatticeSimPath(), "serve", "--socket", strSocket});
            EXPECT_EQ(serve.exitCode, 1);
            EXPECT_EQ(serve.strStderr.rfind(WithSocket(c.strServeReport, strSocket), 0), 0u)
                << serve.strStderr;
        }
        kill(pidPeer, SIGKILL);
        waitpid(pidPeer, nullptr, 0);
    }
    if (!strSkipped.empty()) {
        GTEST_SKIP() << "not run: " << strSkipped;
    }
}

}  // namespace
