// lattice-sim as a program: its command line, its configuration checks, its
// journal, and how it answers malformed protocol traffic.
#include <grp.h>
#include <json/json.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "protocol.h"
#include "sim_fixture.h"
#include "socketio.h"
#include "wire.h"

namespace {

using halyard_test::LatticeSimPath;
using halyard_test::RunProcess;
using halyard_test::SplitLines;
using halyard_test::WriteFile;
namespace proto = lattice_proto;

class LatticeSimTest : public halyard_test::SimTest {
protected:
    halyard_test::ChildResult Sim(const std::vector<std::string>& args) {
        std::vector<std::string> full = {LatticeSimPath()};
        full.insert(full.end(), args.begin(), args.end());
        return RunProcess(full);
    }

    // A greeted raw connection.
    int Connect(proto::EClientRole eRole = proto::Role_Lattice) {
        std::string strError;
        int fd = proto::ConnectSocket(m_sim.Socket(), &strError);
        EXPECT_GE(fd, 0) << strError;
        EXPECT_TRUE(proto::ClientHello(fd, eRole, &strError)) << strError;
        return fd;
    }

    proto::Frame Request(int fd, uint16_t usOp, const std::string& payload) {
        proto::Frame reply;
        EXPECT_TRUE(proto::RoundTrip(fd, usOp, payload, reply));
        return reply;
    }

    bool Pings(int fd) {
        proto::Frame reply;
        return proto::RoundTrip(fd, proto::Op_Ping, "", reply) &&
               reply.usStatus == proto::Status_Ok;
    }
};

TEST_F(LatticeSimTest, EveryCommandAndVerbHasHelp) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--help"}, {"serve", "--help"}, {"ctl", "--help"}}) {
        auto result = Sim(args);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.strStdout.rfind("usage: lattice-sim", 0), 0u) << result.strStdout;
    }
    for (const char* pchVerb :
         {"event", "console-open", "console-close", "screenshot", "quit", "reconnect", "host",
          "setting", "stall", "journal", "console", "wait", "shutdown", "ping"}) {
        // Help needs no simulator.
        auto result = Sim({"ctl", pchVerb, "--help"});
        EXPECT_EQ(result.exitCode, 0) << pchVerb;
        EXPECT_EQ(result.strStdout.rfind(std::string("usage: lattice-sim ctl ") + pchVerb, 0), 0u)
            << result.strStdout;
    }
    auto version = Sim({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.strStdout, "lattice-sim " HALYARD_VERSION "\n");
}

// Every misuse a person can make of the command line: nothing on standard
// output, one line on standard error per problem, each naming the command and
// what is wrong, and the status (2: the command line or configuration, 1: a
// socket that cannot be served on). Never a hang, never the help text.
TEST_F(LatticeSimTest, MisuseIsReportedInOneLine) {
    WriteFile(TempPath("bad.json"), R"({"bogus": 1, "journal_limit": 0})");
    WriteFile(TempPath("file"), "");
    struct Case {
        std::vector<std::string> args;
        int nStatus;
        std::string sMessage;
        size_t nLines = 1;
    };
    const Case cases[] = {
        {{}, 2, "lattice-sim: no command given"},
        {{"--bogus"}, 2, "lattice-sim: unknown option '--bogus'"},
        {{"frobnicate"}, 2, "lattice-sim: unknown command 'frobnicate'"},
        {{"--version", "x"}, 2, "lattice-sim: unexpected argument 'x'"},
        {{"serve", "--bogus"}, 2, "lattice-sim serve: unknown option '--bogus'"},
        {{"serve", "extra"}, 2, "lattice-sim serve: unexpected argument 'extra'"},
        {{"serve", "--config"}, 2, "lattice-sim serve: --config needs a value"},
        {{"serve", "--socket", ""}, 2, "lattice-sim serve: --socket needs a value"},
        {{"serve", "--config", TempPath("bad.json"), "--socket", TempPath("bad.sock")},
         2,
         "lattice-sim serve: bad configuration: ",
         2},
        {{"serve", "--socket", TempPath("file/sim.sock")}, 1, "Not a directory"},
        {{"serve", "--socket", TempPath(std::string(120, 's'))}, 1, "longer than 107 bytes"},
        {{"ctl"}, 2, "lattice-sim ctl: no verb given"},
        {{"ctl", "--socket"}, 2, "lattice-sim ctl: --socket needs a value"},
        {{"ctl", "--bogus", "ping"}, 2, "lattice-sim ctl: unknown option '--bogus'"},
        {{"ctl", "frobnicate"}, 2, "lattice-sim ctl: unknown verb 'frobnicate'"},
        {{"ctl", "--socket", TempPath("none.sock"), "ping"},
         2,
         "lattice-sim ctl: cannot reach the simulator: "},
    };
    for (const Case& c : cases) {
        auto result = Sim(c.args);
        std::string sWhat = c.args.empty() ? "(no arguments)" : c.args.back();
        EXPECT_FALSE(result.bTimedOut) << sWhat;
        EXPECT_EQ(result.exitCode, c.nStatus) << sWhat << "\n" << result.strStderr;
        EXPECT_EQ(result.strStdout, "") << sWhat;
        std::vector<std::string> lines = SplitLines(result.strStderr);
        EXPECT_EQ(lines.size(), c.nLines) << result.strStderr;
        for (const std::string& sLine : lines) {
            EXPECT_EQ(sLine.rfind("lattice-sim", 0), 0u) << sLine;
            EXPECT_NE(sLine.find(c.sMessage), std::string::npos) << sLine;
        }
    }
}

// ctl gives up on a simulator that does not answer (stopped) after its
// connection deadline.
TEST_F(LatticeSimTest, CtlWithoutAnsweringSimulatorFails) {
    ASSERT_TRUE(StartSim());
    ASSERT_EQ(kill(m_sim.Pid(), SIGSTOP), 0);
    auto result = m_sim.Ctl({"ping"});
    kill(m_sim.Pid(), SIGCONT);
    EXPECT_FALSE(result.bTimedOut);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.strStderr, "lattice-sim ctl: cannot reach the simulator: " + m_sim.Socket() +
                                    ": no answer to the hello within 10 s\n");
}

TEST_F(LatticeSimTest, BadConfigurationsAreRejectedWithReasons) {
    struct Case {
        std::string strConfig;
        const char* pchMessage;
    };
    const Case cases[] = {
        {"{not json", "not valid JSON"},
        {R"({"bogus": 1})", "configuration.bogus: unknown member"},
        {R"({"init_error": 42})", "init_error: must be 0 or one of the init errors 100..110"},
        {R"({"interfaces": "IVRSystem_023"})", "interfaces: must be an array of strings"},
        {R"({"host": {"running": "yes"}})", "host.running: must be true or false"},
        {R"({"host": {"app_id": 4294967296}})", "host.app_id: must fit 32 bits"},
        {R"({"screenshots": {"outcome": "maybe"}})", "screenshots.outcome: must be"},
        {R"({"settings": {"orrery": {"loglevel": [1]}}})", "settings.orrery.loglevel"},
        {R"({"journal_limit": 0})", "journal_limit: must be at least 1"},
        {"[1, 2]", "configuration: must be a JSON object"},
        {std::string(1000, '[') + std::string(1000, ']'),
         "not valid JSON: nested more than 64 levels deep"},
    };
    for (const Case& c : cases) {
        WriteFile(TempPath("bad.json"), c.strConfig);
        auto result =
            Sim({"serve", "--config", TempPath("bad.json"), "--socket", TempPath("bad.sock")});
        EXPECT_EQ(result.exitCode, 2) << c.strConfig;
        EXPECT_NE(result.strStderr.find(c.pchMessage), std::string::npos) << result.strStderr;
    }
    // Files that are not configurations at all are refused without reading
    // them to the end (or waiting for a writer).
    ASSERT_EQ(mkfifo(TempPath("fifo.json").c_str(), 0600), 0);
    WriteFile(TempPath("huge.json"), "{}" + std::string(1024 * 1024, ' '));
    const std::pair<std::string, std::string> files[] = {
        {TempPath("fifo.json"), "cannot be read: not a regular file"},
        {TempPath(""), "cannot be read: not a regular file"},
        {"/dev/zero", "cannot be read: not a regular file"},
        {TempPath("huge.json"), "larger than 1048576 bytes"},
    };
    for (const auto& [strFile, strMessage] : files) {
        halyard_test::ChildOptions options;
        options.timeout = std::chrono::milliseconds(20000);
        auto result = RunProcess(
            {LatticeSimPath(), "serve", "--config", strFile, "--socket", TempPath("bad.sock")},
            options);
        EXPECT_EQ(result.exitCode, 2) << strFile;
        EXPECT_EQ(result.strStderr,
                  "lattice-sim serve: bad configuration: " + strFile + ": " + strMessage + "\n");
    }
    auto result = Sim({"serve", "--config", TempPath("missing.json")});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.strStderr.find("cannot be read"), std::string::npos);
}

TEST_F(LatticeSimTest, OneSimulatorPerSocketAndStaleSocketsAreTakenOver) {
    ASSERT_TRUE(StartSim());
    auto second = Sim({"serve", "--socket", m_sim.Socket()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.strStderr.find("another simulator is already serving"), std::string::npos);
    EXPECT_EQ(m_sim.Ctl({"ping"}).strStdout, "pong\n");

    // SIGTERM stops it cleanly and removes the socket.
    kill(m_sim.Pid(), SIGTERM);
    int nStatus = 0;
    ASSERT_TRUE(halyard_test::WaitFor(
        [&] { return waitpid(m_sim.Pid(), &nStatus, WNOHANG) == m_sim.Pid(); }));
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    EXPECT_NE(access(m_sim.Socket().c_str(), F_OK), 0);
    m_sim.Kill();  // forget the reaped pid

    // A socket file nobody listens on is left over from a crash.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, TempPath("sim.sock").c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
    ASSERT_TRUE(StartSim());
    EXPECT_EQ(m_sim.Ctl({"ping"}).strStdout, "pong\n");

    // Anything else at the path is not the simulator's to remove.
    WriteFile(TempPath("notes.txt"), "keep me\n");
    auto onFile = Sim({"serve", "--socket", TempPath("notes.txt")});
    EXPECT_EQ(onFile.exitCode, 1);
    EXPECT_EQ(onFile.strStderr, "lattice-sim serve: " + TempPath("notes.txt") +
                                    " exists and is not a socket; it is left alone\n");
    EXPECT_EQ(halyard_test::ReadFile(TempPath("notes.txt")), "keep me\n");
}

TEST_F(LatticeSimTest, JournalHoldsOneJsonObjectPerCall) {
    ASSERT_TRUE(StartSim());
    int fd = Connect();
    proto::CWireWriter version;
    version.Str("IVRSystem_023");
    Request(fd, proto::Op_L_IsVersionValid, version.Buffer());
    Request(fd, proto::Op_Q_IsRunning, "");
    close(fd);
    std::vector<std::string> lines = SplitLines(m_sim.Journal());
    ASSERT_EQ(lines.size(), 2u);
    std::unique_ptr<Json::CharReader> pReader(Json::CharReaderBuilder().newCharReader());
    std::vector<Json::Value> entries;
    for (const std::string& strLine : lines) {
        Json::Value entry;
        std::string strErrors;
        ASSERT_TRUE(
            pReader->parse(strLine.data(), strLine.data() + strLine.size(), &entry, &strErrors))
            << strLine;
        entries.push_back(entry);
    }
    EXPECT_EQ(entries[0]["seq"].asUInt(), 1u);
    EXPECT_EQ(entries[1]["seq"].asUInt(), 2u);
    EXPECT_EQ(entries[0]["pid"].asInt(), getpid());
    EXPECT_EQ(entries[0]["api"].asString(), "lattice");
    EXPECT_EQ(entries[0]["call"].asString(), "VR_IsInterfaceVersionValid");
    EXPECT_EQ(entries[0]["args"]["version"].asString(), "IVRSystem_023");
    EXPECT_TRUE(entries[0]["result"]["valid"].asBool());
    EXPECT_EQ(entries[1]["api"].asString(), "quill");
    EXPECT_TRUE(entries[1]["result"]["running"].asBool());
    EXPECT_EQ(m_sim.Ctl({"journal", "--since", "1"}).strStdout, lines[1] + "\n");
}

TEST_F(LatticeSimTest, WaitReturnsWhenTheEntryArrivesOrTimesOut) {
    ASSERT_TRUE(StartSim());
    halyard_test::ChildResult waited;
    std::thread waiter([&] {
        waited = m_sim.Ctl({"wait", "IVRSystem_777", "--timeout-ms", "30000"});
    });
    // The waiter may start before or after the call: both must succeed.
    int fd = Connect();
    proto::CWireWriter version;
    version.Str("IVRSystem_777");
    Request(fd, proto::Op_L_IsVersionValid, version.Buffer());
    close(fd);
    waiter.join();
    EXPECT_EQ(waited.exitCode, 0) << waited.strStderr;
    EXPECT_NE(waited.strStdout.find("IVRSystem_777"), std::string::npos);

    auto timedOut = m_sim.Ctl({"wait", "never-there", "--timeout-ms", "50"});
    EXPECT_EQ(timedOut.exitCode, 1);
    EXPECT_NE(timedOut.strStderr.find("no journal entry contains 'never-there'"),
              std::string::npos);
}

TEST_F(LatticeSimTest, VerbArgumentsAreChecked) {
    ASSERT_TRUE(StartSim());
    for (std::vector<std::string> args : {std::vector<std::string>{"event"},
                                          {"event", "abc"},
                                          {"event", "1", "--count", "0"},
                                          {"event", "1", "--hex", "zz"},
                                          {"event", "1", std::string(100, '0'), "x"},
                                          {"console-open"},
                                          {"console-open", "-1"},
                                          {"stall", "soon"},
                                          {"stall", "10", "--polls", "0"},
                                          {"stall", "10", "--polls"},
                                          {"host", "sideways"},
                                          {"host", "init-result", "one"},
                                          {"host", "init-result", "99999999999"},
                                          {"host", "user-id", "-1"},
                                          {"host", "user-id"},
                                          {"setting", "a"},
                                          {"journal", "--since"},
                                          {"quit", "now"},
                                          {"wait"},
                                          {"console", "--xml"}}) {
        auto result = m_sim.Ctl(args);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_EQ(SplitLines(result.strStderr).size(), 1u) << result.strStderr;
    }
    EXPECT_EQ(m_sim.Ctl({"ping"}).exitCode, 0);
}

TEST_F(LatticeSimTest, MalformedTrafficIsAnsweredWithErrors) {
    ASSERT_TRUE(StartSim());
    std::string strError;

    // A first frame that is not a hello.
    int fd = proto::ConnectSocket(m_sim.Socket(), &strError);
    proto::Frame reply;
    ASSERT_TRUE(proto::RoundTrip(fd, proto::Op_Ping, "", reply));
    EXPECT_EQ(reply.usStatus, proto::Status_NotHello);
    close(fd);

    // A hello of another protocol version.
    fd = proto::ConnectSocket(m_sim.Socket(), &strError);
    proto::CWireWriter hello;
    hello.U32(proto::k_unHelloMagic);
    hello.U16(proto::k_usProtocolVersion + 1);
    hello.U8(proto::Role_Lattice);
    hello.U32(1);
    ASSERT_TRUE(proto::RoundTrip(fd, proto::Op_Hello, hello.Buffer(), reply));
    EXPECT_EQ(reply.usStatus, proto::Status_VersionMismatch);
    close(fd);

    // Garbage instead of a frame.
    fd = proto::ConnectSocket(m_sim.Socket(), &strError);
    const char rgchGarbage[] = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, rgchGarbage, sizeof(rgchGarbage), MSG_NOSIGNAL),
              ssize_t(sizeof(rgchGarbage)));
    // Its first four bytes announce far more than a hello may hold.
    ASSERT_EQ(proto::RecvFrame(fd, reply), proto::Recv_Ok);
    EXPECT_EQ(reply.usStatus, proto::Status_TooLarge);
    EXPECT_NE(proto::RecvFrame(fd, reply), proto::Recv_Ok);  // closed, the rest unread
    close(fd);

    fd = Connect();
    // Unknown operation; truncated and oversized fields; counts beyond the payload.
    EXPECT_EQ(Request(fd, 999, "").usStatus, proto::Status_UnknownOp);
    EXPECT_EQ(Request(fd, proto::Op_L_SettingGet, "abc").usStatus, proto::Status_BadRequest);
    proto::CWireWriter longString;
    longString.U32(0xFFFFFFF0u);
    EXPECT_EQ(Request(fd, proto::Op_L_IsVersionValid, longString.Buffer()).usStatus,
              proto::Status_BadRequest);
    proto::CWireWriter reads;
    reads.U64(1);
    reads.U32(1000000000u);
    EXPECT_EQ(Request(fd, proto::Op_L_PathsRead, reads.Buffer()).usStatus,
              proto::Status_BadRequest);
    proto::CWireWriter writes;
    writes.U64(1);
    writes.U32(3000000000u);
    EXPECT_EQ(Request(fd, proto::Op_L_PathsWrite, writes.Buffer()).usStatus,
              proto::Status_BadRequest);
    proto::CWireWriter control;
    control.U32(0x7FFFFFFF);
    EXPECT_EQ(Request(fd, proto::Op_C_Control, control.Buffer()).usStatus,
              proto::Status_BadRequest);
    proto::CWireWriter extra;
    extra.Str("IVRSystem_023");
    extra.U8(0);  // one byte too many
    EXPECT_EQ(Request(fd, proto::Op_L_IsVersionValid, extra.Buffer()).usStatus,
              proto::Status_BadRequest);
    EXPECT_EQ(Request(fd, proto::Op_Q_RunCallbacks, "").usStatus, proto::Status_BadRequest);
    // JSON nested beyond the parser's depth limit is refused, not followed.
    const std::string strDeep = std::string(5000, '[') + std::string(5000, ']');
    proto::CWireWriter deepInit;
    deepInit.I32(2);
    deepInit.Bool(true);
    deepInit.Str(strDeep);
    deepInit.Str("halyard");
    proto::Frame deepReply = Request(fd, proto::Op_L_Init, deepInit.Buffer());
    EXPECT_EQ(deepReply.usStatus, proto::Status_Ok);
    EXPECT_EQ(proto::CWireReader(deepReply.payload).I32(), 107);  // invalid start-up info
    EXPECT_EQ(m_sim.Ctl({"setting", "s", "k", strDeep}).exitCode, 0);
    proto::CWireWriter noSession;
    noSession.U64(12345);
    EXPECT_EQ(Request(fd, proto::Op_Q_RunCallbacks, noSession.Buffer()).usStatus,
              proto::Status_Failed);
    EXPECT_TRUE(Pings(fd));

    // A header announcing more than the protocol allows ends that connection only.
    char rgchHeader[12] = {};
    uint32_t cub = 0x7FFFFFFF;
    std::memcpy(rgchHeader, &cub, 4);
    rgchHeader[4] = proto::Op_Ping;
    ASSERT_EQ(send(fd, rgchHeader, sizeof(rgchHeader), MSG_NOSIGNAL), 12);
    ASSERT_EQ(proto::RecvFrame(fd, reply), proto::Recv_Ok);
    EXPECT_EQ(reply.usStatus, proto::Status_TooLarge);
    EXPECT_EQ(proto::RecvFrame(fd, reply), proto::Recv_Closed);
    close(fd);

    // A client that disappears in the middle of a frame.
    fd = Connect();
    ASSERT_EQ(send(fd, rgchHeader, 6, MSG_NOSIGNAL), 6);
    close(fd);

    fd = Connect();
    EXPECT_TRUE(Pings(fd));
    close(fd);
    EXPECT_EQ(m_sim.Ctl({"ping"}).strStdout, "pong\n");
    EXPECT_GE(m_sim.JournalLines("\"error\":\"malformed request\"").size(), 6u);
}

// --- peers the simulator must survive ------------------------------------------

namespace hostile {

// Resident memory of a process in KiB, from /proc.
long ResidentKb(pid_t pid) {
    std::string strStatus = halyard_test::ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t nPos = strStatus.find("VmRSS:");
    return nPos == std::string::npos ? -1 : std::atol(strStatus.c_str() + nPos + 6);
}

// User and system CPU time of a process in clock ticks, from /proc.
long CpuTicks(pid_t pid) {
    std::string strStat = halyard_test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t nPos = strStat.rfind(')');
    if (nPos == std::string::npos) {
        return -1;
    }
    // Fields after the command: state is the 3rd; utime and stime the 14th and 15th.
    std::vector<std::string> vecFields;
    std::string strField;
    for (char ch : strStat.substr(nPos + 2)) {
        if (ch == ' ') {
            vecFields.push_back(strField);
            strField.clear();
        } else {
            strField += ch;
        }
    }
    return vecFields.size() < 13
               ? -1
               : std::atol(vecFields[11].c_str()) + std::atol(vecFields[12].c_str());
}

int Connect(const std::string& strSocket) {
    std::string strError;
    int fd = proto::ConnectSocket(strSocket, &strError);
    EXPECT_GE(fd, 0) << strError;
    return fd;
}

// A header announcing cub payload bytes.
void SendHeader(int fd, uint32_t cub, uint16_t usOp) {
    char rgchHeader[proto::k_cubFrameHeader] = {};
    std::memcpy(rgchHeader, &cub, 4);
    std::memcpy(rgchHeader + 4, &usOp, 2);
    ASSERT_EQ(send(fd, rgchHeader, sizeof(rgchHeader), MSG_NOSIGNAL), ssize_t(sizeof(rgchHeader)));
}

// The answer to a hello (or whatever the server says first), within 10 s.
proto::EHello Greeting(int fd, std::string* pstrError) {
    return proto::ClientGreeting(fd, proto::Role_Lattice, proto::CDeadline::InMs(10000), pstrError);
}

void CloseAll(std::vector<int>& vecFds) {
    for (int fd : vecFds) {
        close(fd);
    }
    vecFds.clear();
}

// Announced payloads cost the simulator nothing until they arrive, and
// before the hello only a hello-sized frame is read at all.
void AnnouncedButUnsentPayloads(halyard_test::CSimProcess& sim) {
    long nBaseKb = ResidentKb(sim.Pid());
    std::vector<int> vecFds;
    for (int i = 0; i < 10; ++i) {
        int fd = Connect(sim.Socket());
        SendHeader(fd, proto::k_cubMaxPayload - 1, proto::Op_Hello);
        proto::Frame reply;
        proto::RecvLimits limits;
        limits.deadline = proto::CDeadline::InMs(10000);
        ASSERT_EQ(proto::RecvFrame(fd, reply, nullptr, limits), proto::Recv_Ok);
        EXPECT_EQ(reply.usStatus, proto::Status_TooLarge);
        EXPECT_NE(reply.payload.find("before the hello"), std::string::npos) << reply.payload;
        EXPECT_EQ(proto::RecvFrame(fd, reply, nullptr, limits), proto::Recv_Closed);
        close(fd);
    }
    for (int i = 0; i < 10; ++i) {
        int fd = Connect(sim.Socket());
        std::string strError;
        ASSERT_EQ(Greeting(fd, &strError), proto::Hello_Ok) << strError;
        SendHeader(fd, 60u * 1024 * 1024, proto::Op_Ping);
        std::string strSome(4096, 'x');
        ASSERT_EQ(send(fd, strSome.data(), strSome.size(), MSG_NOSIGNAL), 4096);
        vecFds.push_back(fd);
    }
    // Once the simulator has read everything sent, it has made room for
    // whatever it makes room for.
    for (int fd : vecFds) {
        EXPECT_TRUE(halyard_test::WaitFor([fd] {
            int cubUnread = -1;
            return ioctl(fd, SIOCOUTQ, &cubUnread) == 0 && cubUnread == 0;
        }));
    }
    long nGrowthKb = ResidentKb(sim.Pid()) - nBaseKb;
    EXPECT_LT(nGrowthKb, 64 * 1024) << "KiB resident after 10 unsent 60 MiB payloads";
    CloseAll(vecFds);
}

// Connections beyond the limit are refused with the reason; a freed place is
// taken again.
void ConnectionsBeyondTheLimit(halyard_test::CSimProcess& sim) {
    std::vector<int> vecFds;
    for (size_t i = 0; i < proto::k_cMaxConnections; ++i) {
        int fd = Connect(sim.Socket());
        std::string strError;
        ASSERT_EQ(Greeting(fd, &strError), proto::Hello_Ok) << i << ": " << strError;
        vecFds.push_back(fd);
    }
    int fd = Connect(sim.Socket());
    std::string strError;
    EXPECT_EQ(Greeting(fd, &strError), proto::Hello_Refused) << strError;
    const std::string strLimit =
        std::to_string(proto::k_cMaxConnections) + " connections are open, the most served at once";
    EXPECT_EQ(strError, "refused: connection refused: " + strLimit);
    close(fd);
    EXPECT_NE(sim.ServeOutput().find("lattice-sim: refused a connection from pid " +
                                     std::to_string(getpid()) + ": " + strLimit),
              std::string::npos)
        << sim.ServeOutput();
    close(vecFds.back());
    vecFds.pop_back();
    EXPECT_TRUE(halyard_test::WaitFor([&] { return sim.Ctl({"ping"}).exitCode == 0; }));
    CloseAll(vecFds);
}

// A connection no thread can be started for is refused; the simulator lives on.
void NoThreadForAConnection(halyard_test::CSimProcess& sim) {
    int fd = Connect(sim.Socket());
    std::string strError;
    EXPECT_EQ(Greeting(fd, &strError), proto::Hello_Refused) << strError;
    EXPECT_EQ(strError, "refused: connection refused: the simulator cannot start a thread for it");
    close(fd);
    EXPECT_NE(sim.ServeOutput().find("no thread can be started for it"), std::string::npos)
        << sim.ServeOutput();
    EXPECT_EQ(sim.StopWithSignal(SIGTERM), 0) << sim.ServeOutput();
}

// Out of descriptors, accept waits instead of spinning, and resumes once
// descriptors are free again.
void OutOfDescriptors(halyard_test::CSimProcess& sim) {
    // Connections until one is neither answered nor accepted: the simulator
    // says it cannot accept, and that one's hello waits in its queue.
    auto OutOfDescriptorsSaid = [&] {
        return sim.ServeOutput().find("cannot accept a connection: Too many open files") !=
               std::string::npos;
    };
    std::vector<int> vecFds;
    int fdPending = -1;
    while (fdPending < 0 && vecFds.size() < 64) {
        int fd = Connect(sim.Socket());
        proto::CWireWriter hello;
        hello.U32(proto::k_unHelloMagic);
        hello.U16(proto::k_usProtocolVersion);
        hello.U8(proto::Role_Lattice);
        hello.U32(static_cast<uint32_t>(getpid()));
        ASSERT_TRUE(proto::SendFrame(fd, proto::Op_Hello, proto::Status_Ok, hello.Buffer()));
        pollfd reply = {fd, POLLIN, 0};
        ASSERT_TRUE(halyard_test::WaitFor(
            [&] { return poll(&reply, 1, 0) > 0 || OutOfDescriptorsSaid(); }));
        if (poll(&reply, 1, 0) == 0) {
            fdPending = fd;
            break;
        }
        proto::Frame answer;
        ASSERT_EQ(proto::RecvFrame(fd, answer), proto::Recv_Ok);
        ASSERT_EQ(answer.usStatus, proto::Status_Ok);
        vecFds.push_back(fd);
    }
    ASSERT_GE(fdPending, 0) << "the simulator never ran out of descriptors";
    // An observation window: a loop that spins burns most of it.
    long nTicksBefore = CpuTicks(sim.Pid());
    auto start = std::chrono::steady_clock::now();
    halyard_test::WaitFor([&] {
        return std::chrono::steady_clock::now() - start > std::chrono::seconds(2) ||
               CpuTicks(sim.Pid()) - nTicksBefore > 50;
    });
    long nTicks = CpuTicks(sim.Pid()) - nTicksBefore;
    EXPECT_LT(nTicks, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks spent waiting for descriptors";
    CloseAll(vecFds);
    proto::Frame reply;
    proto::RecvLimits limits;
    limits.deadline = proto::CDeadline::InMs(30000);
    ASSERT_EQ(proto::RecvFrame(fdPending, reply, nullptr, limits), proto::Recv_Ok);
    EXPECT_EQ(reply.usStatus, proto::Status_Ok);
    close(fdPending);
    EXPECT_NE(sim.ServeOutput().find("lattice-sim: accepting connections again"),
              std::string::npos);
}

void SocketIsPrivate(halyard_test::CSimProcess& sim) {
    struct stat st {};
    ASSERT_EQ(stat(sim.Socket().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << (st.st_mode & 07777);
}

// A process of another user that reaches the socket anyway (here: the test
// opens it up) is refused without a journal entry.
void AnotherUsersClient(halyard_test::CSimProcess& sim) {
    std::string strDir = sim.Socket().substr(0, sim.Socket().rfind('/'));
    ASSERT_EQ(chmod(strDir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(strDir.substr(0, strDir.rfind('/')).c_str(), 0755), 0);
    ASSERT_EQ(chmod(sim.Socket().c_str(), 0666), 0);
    std::string strSocket = sim.Socket();
    auto result = halyard_test::RunInChild([strSocket] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            return 10;
        }
        std::string strError;
        int fd = proto::ConnectSocket(strSocket, &strError);
        if (fd < 0) {
            std::printf("%s", strError.c_str());
            return 11;
        }
        proto::EHello eHello = Greeting(fd, &strError);
        std::printf("%s", strError.c_str());
        return static_cast<int>(eHello);
    });
    EXPECT_EQ(result.exitCode, proto::Hello_Refused) << result.strStdout;
    EXPECT_EQ(result.strStdout,
              "refused: connection refused: this simulator serves only its own user and root");
    EXPECT_NE(sim.ServeOutput().find("lattice-sim: refused a connection: it runs as uid 65534"),
              std::string::npos)
        << sim.ServeOutput();
    EXPECT_EQ(sim.Journal(), "");
}

// Every clone that would start a thread fails with EAGAIN; other system calls
// (and fork) work. Installed in the simulator's child before it is executed.
void ForbidThreads() {
    constexpr uint32_t k_unCloneThread = CLONE_THREAD;
    sock_filter rgFilter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, k_unCloneThread, 0, 2),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof(rgFilter) / sizeof(rgFilter[0])),
                          rgFilter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(126);
    }
}

struct Case {
    const char* pchName;
    std::function<void()> fnLaunch;  // in the simulator's child, before exec
    std::function<void(halyard_test::CSimProcess&)> fnAttack;
    bool bNeedsRoot = false;
};

}  // namespace hostile

// Whoever can connect must not be able to take the simulator down or make it
// serve another user; each case runs against a simulator of its own.
TEST_F(LatticeSimTest, HostileClientsCannotTakeTheSimulatorDown) {
    using namespace hostile;
    const Case cases[] = {
        {"payloads announced but not sent", nullptr, AnnouncedButUnsentPayloads},
        {"connections beyond the limit", nullptr, ConnectionsBeyondTheLimit},
        {"no thread for a connection", ForbidThreads, NoThreadForAConnection},
        {"out of descriptors",
         [] {
             rlimit limit = {16, 16};
             setrlimit(RLIMIT_NOFILE, &limit);
         },
         OutOfDescriptors},
        {"umask 000", [] { umask(0); }, SocketIsPrivate},
        {"another user's client", nullptr, AnotherUsersClient, true},
    };
    std::string strSkipped;
    int nCase = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pchName);
        if (c.bNeedsRoot && geteuid() != 0) {
            strSkipped += std::string(c.pchName) + " (needs root to act as another user); ";
            continue;
        }
        std::string strDir = TempPath("case" + std::to_string(++nCase));
        ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0);
        halyard_test::CSimProcess sim;
        if (c.fnLaunch) {
            sim.SetLaunchHook(c.fnLaunch);
        }
        ASSERT_TRUE(sim.Start(strDir));
        c.fnAttack(sim);
        if (sim.Running()) {
            EXPECT_EQ(sim.Ctl({"ping"}).strStdout, "pong\n") << sim.ServeOutput();
            EXPECT_EQ(sim.Stop(), 0) << sim.ServeOutput();
        }
    }
    if (!strSkipped.empty()) {
        GTEST_SKIP() << "not run: " << strSkipped;
    }
}

}  // namespace
