// lattice-sim as a program: its command line, its configuration checks, its
// journal, and how it answers malformed protocol traffic.
#include <json/json.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

TEST_F(LatticeSimTest, BadConfigurationsAreRejectedWithReasons) {
    struct Case {
        const char* pchConfig;
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
    };
    for (const Case& c : cases) {
        WriteFile(TempPath("bad.json"), c.pchConfig);
        auto result =
            Sim({"serve", "--config", TempPath("bad.json"), "--socket", TempPath("bad.sock")});
        EXPECT_EQ(result.exitCode, 2) << c.pchConfig;
        EXPECT_NE(result.strStderr.find(c.pchMessage), std::string::npos) << result.strStderr;
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
    EXPECT_NE(proto::RecvFrame(fd, reply), proto::Recv_Ok);  // closed or refused
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

}  // namespace
