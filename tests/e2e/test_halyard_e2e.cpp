// End to end: the real halyard process against a real lattice-sim, each test
// in a private directory with its own HOME, XDG_CONFIG_HOME, TEMP, socket,
// path registry and log directory, and in a private IPC namespace where the
// machine allows it. Assertions are on the exit status, the simulator's
// journal and console, and the files the process writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "halyard_process.h"
#include "mount_namespace.h"
#include "namedsemaphore.h"
#include "pathtools.h"
#include "sim_fixture.h"

#ifndef HALYARD_PATH
#error "HALYARD_PATH must name the halyard executable"
#endif
#ifndef HALYARD_VERSION
#error "HALYARD_VERSION must hold the project version"
#endif

namespace {

using halyard_test::CHalyardProcess;
using halyard_test::ReadFile;
using halyard_test::SplitLines;
using halyard_test::WaitFor;
using halyard_test::WriteFile;
using HalyardE2ETest = halyard_test::HalyardTest;

TEST_F(HalyardE2ETest, StartsRunsAndQuitsCleanly) {
    WriteFile(TempPath("runtime/bin/version.txt"), "4711\n");
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3,
                               "startOverlayAppsFromDashboard": true}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(halyard.Wait(), 0) << ReadFile(TempPath("halyard.out"));

    std::string sLog = LogText();
    EXPECT_NE(sLog.find("startup with PID="), std::string::npos) << sLog;
    EXPECT_TRUE(std::regex_search(
        sLog, std::regex(R"(\[Info\] - halyard \(v2\.14\.5 \(4711\)\) starting up)")))
        << sLog;
    EXPECT_FALSE(m_sim.JournalLines("StartOverlayApplications").empty());
    EXPECT_FALSE(m_sim.JournalLines("SetDashboardProcessMode").empty());
    EXPECT_FALSE(m_sim.JournalLines("VR_ShutdownInternal").empty());
}

TEST_F(HalyardE2ETest, SecondInstanceLeavesAtOnceWithoutLogging) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"startOverlayAppsFromDashboard": false}}})"));
    CHalyardProcess first;
    ASSERT_TRUE(Launch(first));
    ASSERT_TRUE(WaitRunning(first));

    CHalyardProcess second;
    ASSERT_TRUE(Launch(second, "second.out"));
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(ReadFile(TempPath("second.out")), "");
    EXPECT_EQ(m_sim.JournalLines("VR_InitInternal2").size(), 1u);

    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(first.Wait(), 0);
    // Only the first instance wrote to the log: one banner, one start-up line.
    std::string sLog = LogText();
    auto count = [&](const std::string& sNeedle) {
        size_t n = 0;
        for (size_t pos = sLog.find(sNeedle); pos != std::string::npos;
             pos = sLog.find(sNeedle, pos + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("startup with PID="), 1u) << sLog;
    EXPECT_EQ(count(") starting up"), 1u) << sLog;
    // The setting answered false: the overlay applications are not started.
    EXPECT_TRUE(m_sim.JournalLines("StartOverlayApplications").empty());
}

// The command line: --version and --help answer on standard output, anything
// else is refused with one line on standard error and status 2. Either way
// the process leaves before it starts up: no log, no runtime connection.
TEST_F(HalyardE2ETest, CommandLineIsAnsweredBeforeStartUp) {
    struct Case {
        std::vector<std::string> vecArgs;
        int nStatus;
        std::string sStdout;  // a prefix
        std::string sStderr;  // exact
    };
    const Case cases[] = {
        {{"--version"}, 0, "halyard " HALYARD_VERSION "\n", ""},
        {{"--help"}, 0, "usage: halyard [--version | --help]\n", ""},
        {{"-h"}, 0, "usage: halyard [--version | --help]\n", ""},
        {{"--bogus"}, 2, "", "halyard: unknown option '--bogus' (halyard --help)\n"},
        {{"-v"}, 2, "", "halyard: unknown option '-v' (halyard --help)\n"},
        {{"start"}, 2, "", "halyard: unexpected argument 'start' (halyard --help)\n"},
        {{"--version", "now"}, 2, "", "halyard: unexpected argument 'now' (halyard --help)\n"},
        {{"--help", "--version"},
         2,
         "",
         "halyard: unexpected argument '--version' (halyard --help)\n"},
    };
    ASSERT_TRUE(StartSim());
    halyard_test::ChildOptions options;
    for (const auto& [sName, sValue] : Environment()) {
        options.env[sName] = sValue;
    }
    for (const Case& c : cases) {
        std::vector<std::string> vecCommand = {HALYARD_PATH};
        vecCommand.insert(vecCommand.end(), c.vecArgs.begin(), c.vecArgs.end());
        halyard_test::ChildResult result = halyard_test::RunProcess(vecCommand, options);
        EXPECT_TRUE(result.bExited) << c.vecArgs[0];
        EXPECT_EQ(result.exitCode, c.nStatus) << c.vecArgs[0];
        EXPECT_EQ(result.strStdout.rfind(c.sStdout, 0), 0u) << result.strStdout;
        EXPECT_EQ(result.strStdout.empty(), c.sStdout.empty()) << result.strStdout;
        EXPECT_EQ(result.strStderr, c.sStderr);
    }
    EXPECT_FALSE(Path_Exists(TempPath("logs/halyard.txt")));
    EXPECT_TRUE(m_sim.JournalLines("VR_InitInternal2").empty()) << m_sim.Journal();
}

// halyard --version, --help and a refused argument never take the
// machine-wide single-instance lock, not even for a moment: a halyard started
// by the runtime meanwhile would find it held and leave. Each is held in its
// write to a full pipe while the test looks for the lock's semaphore.
TEST_F(HalyardE2ETest, CommandLineLeavesTheSingleInstanceLockAlone) {
    if (!m_bPrivateIpc) {
        GTEST_SKIP() << "needs a private IPC namespace (root), where no other halyard's lock is";
    }
    const key_t key = SemaphoreKeyFromName("/Global\\halyard", true);
    for (const char* pchArg : {"--version", "--help", "--bogus"}) {
        int rgfdPipe[2];
        ASSERT_EQ(pipe(rgfdPipe), 0);
        fcntl(rgfdPipe[1], F_SETFL, O_NONBLOCK);
        const std::string sFill(4096, 'x');
        while (write(rgfdPipe[1], sFill.data(), sFill.size()) > 0) {
        }
        fcntl(rgfdPipe[1], F_SETFL, 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(rgfdPipe[1], STDOUT_FILENO);
            dup2(rgfdPipe[1], STDERR_FILENO);
            execl(HALYARD_PATH, HALYARD_PATH, pchArg, static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        close(rgfdPipe[1]);
        // System call 1: write.
        bool bBlocked = WaitFor([&] {
            return ReadFile("/proc/" + std::to_string(pid) + "/syscall").rfind("1 ", 0) == 0;
        });
        EXPECT_TRUE(bBlocked) << pchArg;
        EXPECT_EQ(semget(key, 0, 0), -1) << pchArg << ": the lock exists";
        char rchBuffer[4096];
        while (read(rgfdPipe[0], rchBuffer, sizeof(rchBuffer)) > 0) {
        }
        close(rgfdPipe[0]);
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus)) << pchArg;
    }
}

// Without a path registry there is no log directory: the failed logging
// set-up is reported as an assertion and the process runs on.
TEST_F(HalyardE2ETest, FailedLoggingSetUpIsAssertedAndStartUpGoesOn) {
    BDeleteFileIfExists(TempPath("home/.config/lattice/latticepaths.vrpath").c_str());
    ASSERT_TRUE(StartSim());
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(halyard.Wait(), 0);
    // The assertion's one minidump names the message and the location.
    std::string sDumps = DumpText();
    EXPECT_NE(sDumps.find("Assert( Failed to set up logging. ) halyard_main(587)"),
              std::string::npos)
        << sDumps << ReadFile(TempPath("halyard.out"));
}

TEST_F(HalyardE2ETest, MissingVersionFileAndUnservedSystemInterface) {
    ASSERT_TRUE(StartSim(R"({"withhold_interfaces": ["IVRSystem_023"]})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    EXPECT_EQ(halyard.Wait(), 254);
    std::string sLog = LogText();
    EXPECT_NE(sLog.find("[Warning] - Unable to read version file."), std::string::npos) << sLog;
    EXPECT_NE(sLog.find("[Info] - halyard (v) starting up"), std::string::npos) << sLog;
    EXPECT_NE(sLog.find("[Error] - VR_Init failed with LatticeInitError_InterfaceVersionNotServed"),
              std::string::npos)
        << sLog;
    EXPECT_FALSE(m_sim.JournalLines("VR_ShutdownInternal").empty());
    m_sim.Stop();

    // The version is valid but the runtime hands out no system interface:
    // the init error is still 0, and there is no disconnect on this path.
    BDeleteFileIfExists(TempPath("logs/halyard.txt").c_str());
    ASSERT_TRUE(StartSim(R"({"refuse_interfaces": ["IVRSystem_023"]})"));
    CHalyardProcess noSystem;
    ASSERT_TRUE(Launch(noSystem));
    EXPECT_EQ(noSystem.Wait(), 254);
    sLog = LogText();
    EXPECT_NE(sLog.find("[Error] - VR_Init failed with LatticeInitError_None"), std::string::npos)
        << sLog;
    EXPECT_EQ(m_sim.JournalLines(R"("version":"IVRCompositor_029")").size(), 0u);
    EXPECT_TRUE(m_sim.JournalLines("VR_ShutdownInternal").empty());
}

TEST_F(HalyardE2ETest, InitErrorAndMissingInterfacesEndStartUp) {
    ASSERT_TRUE(StartSim(R"({"init_error": 108})"));
    CHalyardProcess failing;
    ASSERT_TRUE(Launch(failing));
    EXPECT_EQ(failing.Wait(), 254);
    EXPECT_NE(LogText().find("VR_Init failed with LatticeInitError_HeadsetNotFound"),
              std::string::npos);
    m_sim.Stop();

    // Interfaces are tried in the order compositor, overlay, settings: with
    // several missing only the first is named, in the one error line.
    struct Case {
        const char* pchWithheld;
        const char* pchLine;
    };
    for (const Case& c :
         {Case{R"("IVRCompositor_029", "IVROverlay_028", "IVRSettings_003")", "(compositor)"},
          Case{R"("IVRSettings_003", "IVROverlay_028")", "(overlay)"},
          Case{R"("IVRSettings_003")", "(settings)"}}) {
        BDeleteFileIfExists(TempPath("logs/halyard.txt").c_str());
        ASSERT_TRUE(StartSim(std::string(R"({"withhold_interfaces": [)") + c.pchWithheld + "]}"));
        CHalyardProcess halyard;
        ASSERT_TRUE(Launch(halyard));
        EXPECT_EQ(halyard.Wait(), 253) << c.pchWithheld;
        std::string sLog = LogText();
        EXPECT_NE(
            sLog.find(std::string("[Error] - Unable to initialize necessary Lattice interface ") +
                      c.pchLine),
            std::string::npos)
            << sLog;
        EXPECT_EQ(sLog.find("Lattice interface ("), sLog.rfind("Lattice interface (")) << sLog;
        EXPECT_EQ(sLog.find("[Error]"), sLog.rfind("[Error]")) << sLog;
        // These paths leave without disconnecting.
        EXPECT_TRUE(m_sim.JournalLines("VR_ShutdownInternal").empty()) << c.pchWithheld;
        m_sim.Stop();
    }

    BDeleteFileIfExists(TempPath("logs/halyard.txt").c_str());
    ASSERT_TRUE(StartSim(R"({"hmd_property_container": 0, "withhold_interfaces": ["IVRMailbox_002"],
                          "settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess noContainer;
    ASSERT_TRUE(Launch(noContainer));
    EXPECT_EQ(noContainer.Wait(), 253);
    std::string sLog = LogText();
    EXPECT_NE(sLog.find("[Warning] - Unable to initialize necessary Lattice interface (mailbox)"),
              std::string::npos)
        << sLog;
    EXPECT_NE(sLog.find("[Error] - Unable to get hmd property container"), std::string::npos);
    EXPECT_TRUE(m_sim.JournalLines("VR_ShutdownInternal").empty());
}

TEST_F(HalyardE2ETest, ScreenshotRoadAndEventsBehindTheQuit) {
    ASSERT_TRUE(StartSim(R"({"settings": {"userinterface": {"screenshots": true,
                                                          "screenshotType": 2}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"screenshot"}), 0);
    ASSERT_TRUE(m_sim.WaitJournal("AddScreenshotPair"));
    auto requests = m_sim.JournalLines("RequestScreenshotFiles");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(TempPath("tmp") + "/Screenshot_"), std::string::npos);
    auto library =
        SplitLines(halyard_test::RunProcess({"ls", TempPath("quill-screenshots")}).strStdout);
    EXPECT_EQ(library.size(), 2u);

    std::smatch match;
    ASSERT_TRUE(std::regex_search(requests[0], match, std::regex(R"("handle":(\d+))")));
    uint64_t ulFirstHandle = std::stoull(match[1]);

    // One drain with trigger, taken, quit and more behind the quit: both
    // screenshot handlers run, and the events behind the quit are still
    // handled. The submitted event's handle is the low 32 bits at offset 12.
    EXPECT_EQ(Ctl({"stall", "5000"}), 0);  // holds the next poll while the rest queue up
    EXPECT_EQ(Ctl({"screenshot"}), 0);
    EXPECT_EQ(Ctl({"event", "521"}), 0);
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(Ctl({"event", "523", std::to_string((7ull << 32) | ulFirstHandle)}), 0);
    EXPECT_EQ(Ctl({"console-open", "9"}), 0);
    EXPECT_EQ(halyard.Wait(), 0);
    EXPECT_EQ(m_sim.JournalLines(R"("events":[516,521,700,523,420],"stalled_ms":5000)").size(), 1u)
        << m_sim.Journal();
    EXPECT_EQ(m_sim.JournalLines("RequestScreenshotFiles").size(), 2u);
    // The first pair again (event 523) and the second (event 521).
    EXPECT_EQ(m_sim.JournalLines("AddScreenshotPair").size(), 3u) << m_sim.Journal();
    EXPECT_EQ(m_sim
                  .JournalLines("GetScreenshotType\",\"args\":{\"handle\":" +
                                std::to_string(ulFirstHandle) + "}")
                  .size(),
              2u)
        << m_sim.Journal();
    EXPECT_FALSE(SplitLines(m_sim.Ctl({"console"}).strStdout).empty());
}

// Against a simulator without configuration, whose settings are a runtime's
// defaults: the log is kept at the Info level and screenshots work.
TEST_F(HalyardE2ETest, ConsolesSeeHistoryAndTheConnectionLossEndsTheProcess) {
    ASSERT_TRUE(StartSim());
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"console-open", "5000000000"}), 0);
    ASSERT_TRUE(WaitFor([&] {
        return m_sim.Ctl({"console"}).strStdout.find("5000000000\thalyard (v") != std::string::npos;
    }));

    // A new runtime connection token: the system interface is fetched again.
    size_t unFetches = m_sim.JournalLines("\"IVRSystem_023\"").size();
    EXPECT_EQ(Ctl({"reconnect"}), 0);
    EXPECT_EQ(Ctl({"event", "12345"}), 0);
    ASSERT_TRUE(
        WaitFor([&] { return m_sim.JournalLines("\"IVRSystem_023\"").size() > unFetches; }));

    // By default the overlay applications are not started.
    EXPECT_TRUE(m_sim.JournalLines("StartOverlayApplications").empty());
    EXPECT_EQ(Ctl({"screenshot"}), 0);
    EXPECT_TRUE(m_sim.WaitJournal("AddScreenshotPair"));
    std::string sLog = LogText();
    EXPECT_NE(sLog.find("[Info] - [Quill] Quill INIT."), std::string::npos) << sLog;
    EXPECT_EQ(sLog.find("Log Level Set"), std::string::npos) << sLog;

    // The simulator goes away: the quit event ends the process cleanly.
    m_sim.Kill();
    EXPECT_EQ(halyard.Wait(), 0);
}

// After a token change the system interface is fetched again. When that
// fails because the runtime has gone meanwhile, no event can arrive any more,
// the quit event included: the process says so once and shuts down.
TEST_F(HalyardE2ETest, SystemInterfaceLostAfterATokenChangeEndsTheProcess) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    ASSERT_TRUE(halyard.StopBetweenFrames());
    EXPECT_EQ(Ctl({"reconnect"}), 0);
    m_sim.Stop();
    halyard.Continue();
    EXPECT_EQ(halyard.Wait(30000), 0);
    std::string sLog = LogText();
    const std::string sLost = "[Error] - Lost the Lattice system interface; shutting down.";
    EXPECT_NE(sLog.find(sLost), std::string::npos) << sLog;
    EXPECT_EQ(sLog.find(sLost), sLog.rfind(sLost)) << sLog;
}

// Events of types the dashboard does not handle are consumed and ignored,
// and each still ticks the main watchdog: a drain of two such events, each
// behind a 10-second poll, lasts longer than the watchdog's 15 seconds
// without ending the process.
TEST_F(HalyardE2ETest, UnknownEventsAreConsumedAndTickTheWatchdog) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"stall", "10000", "--polls", "2"}), 0);
    EXPECT_EQ(Ctl({"event", "12345"}), 0);
    EXPECT_EQ(Ctl({"event", "65535", "0xFFFFFFFFFFFFFFFF"}), 0);
    ASSERT_TRUE(m_sim.WaitJournal(R"("events":[],"stalled_ms":10000)", 60000)) << m_sim.Journal();
    // Both came in the first stalled poll; the second stalled poll ran
    // within the same drain, before the second event was handed out.
    EXPECT_EQ(m_sim.JournalLines(R"("events":[12345,65535],"stalled_ms":10000)").size(), 1u)
        << m_sim.Journal();
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(halyard.Wait(), 0) << LogText();
    EXPECT_EQ(LogText().find("Watchdog timeout"), std::string::npos) << LogText();
}

// The main loop's two phases as kernel trace events: the process runs in a
// private mount namespace whose marker file is a plain file of the test
// (needs root). Markers start 5 s into the process's system time.
TEST_F(HalyardE2ETest, MainLoopPhasesAreTraceEvents) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting over the marker paths needs root";
    }
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("trace").c_str()));
    WriteFile(TempPath("trace/trace_marker"), "");
    ASSERT_TRUE(StartSim());
    CHalyardProcess halyard;
    ASSERT_TRUE(halyard.Start(Environment(), TempPath("halyard.out"), [this] {
        bool bOk = halyard_test::EnterPrivateMountNamespace().empty() &&
                   halyard_test::MountTmpfs("/sys/kernel/debug").empty() &&
                   mkdir("/sys/kernel/debug/tracing", 0755) == 0 &&
                   halyard_test::BindMount(TempPath("trace"), "/sys/kernel/debug/tracing").empty();
        return bOk ? 0 : halyard_test::k_nChildSkip;
    }));
    bool bMarked = WaitFor([&] {
        return ReadFile(TempPath("trace/trace_marker")).find("ProcessVREvents") !=
               std::string::npos;
    });
    if (!bMarked) {
        std::optional<int> status = halyard.WaitStatus(0);
        if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == halyard_test::k_nChildSkip) {
            GTEST_SKIP() << "no private mount namespace here";
        }
        FAIL() << "no main loop markers; halyard "
               << (status ? "ended with wait status " + std::to_string(*status) : "still runs")
               << "\n"
               << ReadFile(TempPath("halyard.out")) << "\nmarkers:\n"
               << ReadFile(TempPath("trace/trace_marker")) << "\nlog:\n"
               << LogText();
    }
    EXPECT_EQ(Ctl({"quit"}), 0);
    ASSERT_EQ(halyard.Wait(), 0);

    // The RealMain events alternate: the host-client frame, then the drain,
    // each a begin and an end line of its own id.
    std::string sMarkers = ReadFile(TempPath("trace/trace_marker"));
    std::regex marker(R"(\[RealMain\] (begin|end)_ctx=(\d+) tgid=(\d+) file=(\S+) (\w+))");
    std::vector<std::string> events;
    std::string sOpenId;
    for (auto it = std::sregex_iterator(sMarkers.begin(), sMarkers.end(), marker);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        // Markers start to be written mid-process: an event whose begin came
        // too early shows only its end.
        if (events.empty() && m[1] == "end") {
            continue;
        }
        if (m[1] == "begin") {
            EXPECT_TRUE(sOpenId.empty());
            sOpenId = m[2];
        } else {
            EXPECT_EQ(m[2].str(), sOpenId);
            sOpenId.clear();
        }
        events.push_back(m[1].str() + " " + m[4].str() + " " + m[5].str());
    }
    ASSERT_GE(events.size(), 4u) << sMarkers;
    const char* const rgpchCycle[] = {
        "begin halyard_main.cpp:816 RunQuillFrame", "end halyard_main.cpp:816 RunQuillFrame",
        "begin halyard_main.cpp:823 ProcessVREvents", "end halyard_main.cpp:823 ProcessVREvents"};
    size_t unStart = events[0] == rgpchCycle[0] ? 0 : 2;  // may begin with either phase
    for (size_t i = unStart; i < events.size(); ++i) {
        ASSERT_EQ(events[i], rgpchCycle[(i - unStart) % 4]) << i << "\n" << sMarkers;
    }
    EXPECT_EQ(events.back(), rgpchCycle[3]);
}

// A main loop stuck for longer than 15 seconds (here: in an event poll the
// runtime does not answer) is reported by the watchdog, which writes a dump
// and ends the process.
TEST_F(HalyardE2ETest, HungMainLoopIsEndedByItsWatchdogWithADump) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    EXPECT_EQ(Ctl({"stall", "90000"}), 0);
    std::optional<int> status = halyard.WaitStatus(80000);
    ASSERT_TRUE(status.has_value()) << "the watchdog did not end the hung process";
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGABRT);

    std::string sLog = LogText();
    EXPECT_NE(sLog.find("Failed Watchdog timeout in thread Dashboard Main"), std::string::npos)
        << sLog;
    EXPECT_NE(sLog.find("Process VR events."), std::string::npos) << sLog;
    std::string sDumps = DumpText();
    EXPECT_NE(sDumps.find("Thread Watchdog Abort - Dashboard Main"), std::string::npos) << sDumps;
    m_sim.Stop();
}

}  // namespace
