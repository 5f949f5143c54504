// Thread watchdogs: real watched threads that hang, the real monitor thread
// reporting them, and the fatal and debugger paths in child processes.
// Timeouts are short (0.5 s); the monitor's 2-second cadence is what it is,
// so every wait is a condition wait with a generous deadline.
#include "threadwatchdog.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dump_files.h"
#include "fake_debugger.h"
#include "log_recorder.h"
#include "logbuffer.h"
#include "systemtime.h"
#include "test_support.h"
#include "threadtools.h"
#include "vrcrash.h"
#include "vrlog.h"
#include "watchdog_support.h"

namespace {

using halyard_test::CWatchedThread;
using halyard_test::k_nChildSkip;
using halyard_test::LogRecorder;
using halyard_test::MonitorThreadExists;
using halyard_test::ReadDumps;
using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::WaitFor;
using halyard_test::WithEnv;
using W = CThreadWatchdog;

const std::string k_sReport = "Failed Watchdog timeout in thread ";

std::vector<std::string> LinesStartingWith(LogRecorder& recorder, const std::string& sPrefix) {
    std::vector<std::string> vecLines;
    for (const auto& line : recorder.Lines()) {
        if (line.text.compare(0, sPrefix.size(), sPrefix) == 0) {
            vecLines.push_back(line.text);
        }
    }
    return vecLines;
}

bool WaitForLine(LogRecorder& recorder, const std::string& sPrefix) {
    return WaitFor([&] { return recorder.Count(sPrefix) > 0; });
}

// The seconds of "... after <seconds> seconds...", or -1.
double ReportedSeconds(const std::string& sLine) {
    std::smatch match;
    static const std::regex k_re(" after ([0-9]+\\.[0-9]{6}) seconds");
    return std::regex_search(sLine, match, k_re) ? std::stod(match[1]) : -1.0;
}

// Every log line of a child process, echoed to its standard error.
class CStderrLog {
public:
    CStderrLog() {
        m_callback.Initialize(
            [](ELogLevel, const char* pchText, void*) {
                fputs(pchText, stderr);
                fflush(stderr);
            },
            nullptr);
    }

private:
    CLogCallback m_callback;
};

class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { m_pchPhase = s_ThreadWatchdogManager.GetExecutionPhaseString(); }
    void TearDown() override {
        W::SetExecutionPhaseString(m_pchPhase);
        W::CleanupWatchdogs();
    }

private:
    const char* m_pchPhase = nullptr;
};

TEST_F(WatchdogTest, StaticFunctionsActOnTheThreadsNewestWatchdog) {
    EXPECT_EQ(W::GetDetailString(), nullptr);
    EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_None);
    EXPECT_EQ(W::GetTimeoutDurationInTicks(), 0u);
    W::SetDetailString("ignored");
    W::SetTimeoutBehavior(W::WatchdogTimeout_Abort);
    W::SetTimeoutDurationTicks(5);
    W::TickParent();
    W::SleepWithWatchdogDisabled(0);
    EXPECT_EQ(W::GetDetailString(), nullptr);
    EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_None);

    auto pOuter = std::make_unique<W>("Outer", 60.0f, W::WatchdogTimeout_Log);
    EXPECT_EQ(tl_pWatchdog, pOuter.get());
    EXPECT_EQ(W::GetTimeoutDurationInTicks(),
              static_cast<unsigned long>(SecondsToSystemTicks(60.0)));
    W::SetDetailString("outer work");
    W::SetTimeoutDurationSeconds(30.0f);
    EXPECT_EQ(W::GetTimeoutDurationInTicks(),
              static_cast<unsigned long>(SecondsToSystemTicks(30.0)));
    W::SetTimeoutDurationTicks(1234);
    EXPECT_EQ(W::GetTimeoutDurationInTicks(), 1234u);
    W::SetTimeoutDurationSeconds(60.0f);

    // Another thread has none of its own.
    std::thread([] {
        EXPECT_EQ(W::GetDetailString(), nullptr);
        EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_None);
    }).join();

    {
        W inner("Inner", 60.0f, W::WatchdogTimeout_Assert);
        EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_Assert);
        EXPECT_EQ(W::GetDetailString(), nullptr);
    }
    // The inner one is gone: the outer one is current again.
    EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_Log);
    EXPECT_STREQ(W::GetDetailString(), "outer work");

    // Destroyed out of order: the newer watchdog stays current.
    auto pNewer = std::make_unique<W>("Newer", 60.0f, W::WatchdogTimeout_Assert);
    pOuter.reset();
    EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_Assert);
    uint64_t unBefore = pNewer->GetStatus()->m_unLastTick.load();
    W::TickParent();
    EXPECT_GE(pNewer->GetStatus()->m_unLastTick.load(), unBefore);
    pNewer.reset();
    EXPECT_EQ(tl_pWatchdog, nullptr);
    EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_None);
}

TEST_F(WatchdogTest, SmallTimeoutsRaiseAnAssertionAndConstructionContinues) {
    LogRecorder recorder;
    const std::string sAssert = "ASSERT: \"Thread watchdog with a small timout ";
    {
        W tiny("Tiny", 0.05f, W::WatchdogTimeout_None);
        EXPECT_EQ(W::GetTimeoutBehavior(), W::WatchdogTimeout_None);  // still registered
    }
    auto vecLines = LinesStartingWith(recorder, sAssert);
    ASSERT_EQ(vecLines.size(), 1u);
    EXPECT_EQ(vecLines[0].substr(0, vecLines[0].find(" at ")),
              sAssert + "0.050000. Timeouts should usually be multiple seconds.\"");
    EXPECT_NE(vecLines[0].find("threadwatchdog.cpp:"), std::string::npos) << vecLines[0];

    { W half("Half", 0.5f, W::WatchdogTimeout_None); }
    // 0.1f widened to double is slightly above 0.1.
    { W tenth("Tenth", 0.1f, W::WatchdogTimeout_None); }
    EXPECT_EQ(recorder.Count(sAssert), 1u);

    { W nan("NaN", std::nanf(""), W::WatchdogTimeout_None); }
    { W negative("Negative", -1.0f, W::WatchdogTimeout_None); }
    EXPECT_EQ(recorder.Count(sAssert), 3u);
}

TEST_F(WatchdogTest, HungThreadIsReportedOnceWithPhaseAndDetail) {
    LogRecorder recorder;
    W::SetExecutionPhaseString("startup");
    const std::string sPrefix = k_sReport + "Dashboard Main startup in Process VR events. after ";
    CWatchedThread hung("Dashboard Main", 0.5f, W::WatchdogTimeout_Log, "Process VR events.");
    // Ticks every 20 ms; unticked it would be reported by the witness's pass.
    CWatchedThread ticking("Ticking", 3.0f, W::WatchdogTimeout_Log, nullptr, true);

    ASSERT_TRUE(WaitForLine(recorder, sPrefix)) << recorder.All();
    auto vecLines = LinesStartingWith(recorder, sPrefix);
    EXPECT_TRUE(std::regex_match(vecLines[0], std::regex(".* after [0-9]+\\.[0-9]{6} seconds\n")))
        << vecLines[0];
    EXPECT_GT(ReportedSeconds(vecLines[0]), 0.5);
    // Passes come every 2 s, and one that comes more than 4 s after the last
    // restarts every clock instead of reporting: however loaded the machine,
    // a report is never more than 4 s past the timeout.
    EXPECT_LE(ReportedSeconds(vecLines[0]), 0.5 + 4.0 + 0.001);
    EXPECT_EQ(hung.Status()->m_eBehavior.load(), W::WatchdogTimeout_None);

    // A witness created now is reported on a later pass; by then the hung
    // watchdog has been looked at again and stayed quiet.
    W witness("Witness", 0.5f, W::WatchdogTimeout_Log);
    ASSERT_TRUE(WaitForLine(recorder, k_sReport + "Witness startup after "));
    EXPECT_EQ(recorder.Count(sPrefix), 1u);
    EXPECT_EQ(recorder.Count(k_sReport + "Ticking"), 0u) << recorder.All();
    EXPECT_TRUE(MonitorThreadExists());
}

TEST_F(WatchdogTest, DescriptionsWithoutPhaseOrDetailAndOverlongNames) {
    LogRecorder recorder;
    W::SetExecutionPhaseString("");
    std::string sLongName(2000, 'x');
    CWatchedThread bare("Bare", 0.5f, W::WatchdogTimeout_Log);
    CWatchedThread reading("Empty", 0.5f, W::WatchdogTimeout_Log, "Reading");
    CWatchedThread emptyDetail("EmptyDetail", 0.5f, W::WatchdogTimeout_Log, "");
    CWatchedThread longName(sLongName, 0.5f, W::WatchdogTimeout_Log);

    ASSERT_TRUE(WaitFor([&] { return recorder.Count(k_sReport) >= 4; })) << recorder.All();
    EXPECT_EQ(recorder.Count(k_sReport + "Bare after "), 1u);
    EXPECT_EQ(recorder.Count(k_sReport + "Empty in Reading after "), 1u);
    EXPECT_EQ(recorder.Count(k_sReport + "EmptyDetail in  after "), 1u);
    // The description is cut to 1023 characters.
    EXPECT_EQ(recorder.Count(k_sReport + std::string(1023, 'x') + " after "), 1u);

    W::SetExecutionPhaseString(nullptr);
    W nullPhase("NullPhase", 0.5f, W::WatchdogTimeout_Log);
    EXPECT_TRUE(WaitForLine(recorder, k_sReport + "NullPhase after ")) << recorder.All();
}

TEST_F(WatchdogTest, AssertBehaviourRaisesANonFatalAssertion) {
    LogRecorder recorder;
    W::SetExecutionPhaseString("Shutdown.");
    CWatchedThread hung("Asserting", 0.5f, W::WatchdogTimeout_Assert, "Joining");
    const std::string sAssert =
        "ASSERT: \"Thread watchdog timed out Asserting Shutdown. in Joining\"";
    ASSERT_TRUE(WaitForLine(recorder, sAssert)) << recorder.All();
    auto vecLines = LinesStartingWith(recorder, sAssert);
    EXPECT_TRUE(
        std::regex_match(vecLines[0], std::regex(".* at .*threadwatchdog\\.cpp:[0-9]+\\.\n")))
        << vecLines[0];
    EXPECT_EQ(recorder.Count(k_sReport), 0u);
    EXPECT_EQ(hung.Status()->m_eBehavior.load(), W::WatchdogTimeout_None);
}

TEST_F(WatchdogTest, SleepWithWatchdogDisabledSuppressesTheReportAndRearms) {
    LogRecorder recorder;
    W::SetExecutionPhaseString("");
    std::mutex mutex;
    std::condition_variable changed;
    W::Status_s* pStatus = nullptr;
    bool bSleeping = false;
    bool bAwake = false;
    bool bStop = false;
    uint64_t unBeforeReturn = 0;
    W::EWatchdogTimeoutBehavior eAfter = W::WatchdogTimeout_None;
    size_t nReportsWhileAsleep = 0;

    std::thread sleeper([&] {
        W watchdog("Sleeper", 0.5f, W::WatchdogTimeout_Log);
        {
            std::lock_guard<std::mutex> lock(mutex);
            pStatus = watchdog.GetStatus();
            bSleeping = true;
        }
        changed.notify_all();
        W::SleepWithWatchdogDisabled(5000);
        std::unique_lock<std::mutex> lock(mutex);
        unBeforeReturn = GetSystemTimeInTicks();
        eAfter = W::GetTimeoutBehavior();
        nReportsWhileAsleep = recorder.Count(k_sReport + "Sleeper");
        bAwake = true;
        changed.notify_all();
        changed.wait(lock, [&] { return bStop; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return bSleeping; });
    }
    // The witness's report proves that a pass ran while the sleeper was overdue.
    W witness("Witness", 0.5f, W::WatchdogTimeout_Log);
    ASSERT_TRUE(WaitForLine(recorder, k_sReport + "Witness after "));
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!bAwake) {
            EXPECT_EQ(pStatus->m_eBehavior.load(), W::WatchdogTimeout_None);
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return bAwake; }));
        EXPECT_EQ(nReportsWhileAsleep, 0u);
        EXPECT_EQ(eAfter, W::WatchdogTimeout_Log);
        // Ticked on the way out of the sleep.
        EXPECT_LE(pStatus->m_unLastTick.load(), unBeforeReturn);
        // (Without that tick it would be the 5-second sleep older.)
        EXPECT_GT(pStatus->m_unLastTick.load(),
                  unBeforeReturn - static_cast<uint64_t>(SecondsToSystemTicks(3.0)));
    }
    // Re-armed: now that it no longer ticks, it is reported.
    EXPECT_TRUE(WaitForLine(recorder, k_sReport + "Sleeper after ")) << recorder.All();
    {
        std::lock_guard<std::mutex> lock(mutex);
        bStop = true;
    }
    changed.notify_all();
    sleeper.join();
}

// While a report is being made (held inside its log line), the owner re-arms
// its watchdog or sleeps with it disabled: the report disarms the watchdog
// once, before the owner acts, and never afterwards behind the owner's back.
TEST_F(WatchdogTest, AReportNeverUndoesWhatTheOwnerDidMeanwhile) {
    W::SetExecutionPhaseString("");
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> vecEntered;  // report lines held so far
    size_t nReleased = 0;
    CLogCallback gate;
    gate.Initialize(
        [&](ELogLevel, const char* pchText, void*) {
            if (strncmp(pchText, (k_sReport + "Racing").c_str(), k_sReport.size() + 6) != 0) {
                return;
            }
            std::unique_lock<std::mutex> lock(mutex);
            vecEntered.push_back(pchText);
            changed.notify_all();
            size_t nMine = vecEntered.size();
            changed.wait_for(lock, std::chrono::seconds(60), [&] { return nReleased >= nMine; });
        },
        nullptr);

    struct Case {
        const char* pchName;
        std::function<void()> whileReported;  // on the owner's thread
        W::EWatchdogTimeoutBehavior eAfter;
    };
    const Case rgCases[] = {
        // (A long timeout, so that no later pass reports it again.)
        {"RacingRearm",
         [] {
             W::SetTimeoutDurationSeconds(600.0f);
             W::SetTimeoutBehavior(W::WatchdogTimeout_Assert);
         },
         W::WatchdogTimeout_Assert},
        // The report came first: the sleep keeps the watchdog disarmed.
        {"RacingSleep", [] { W::SleepWithWatchdogDisabled(10); }, W::WatchdogTimeout_None},
    };
    halyard_test::COwnerThread rgOwners[2];
    std::unique_ptr<W> rgpWatchdogs[2];
    for (size_t i = 0; i < 2; ++i) {
        rgOwners[i].Run([&] {
            rgpWatchdogs[i] = std::make_unique<W>(rgCases[i].pchName, 0.5f, W::WatchdogTimeout_Log);
        });
    }
    // One pass finds both late and reports them in order, each held in turn.
    W::EWatchdogTimeoutBehavior rgeSeenByOwner[2] = {};
    for (size_t i = 0; i < 2; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60),
                                         [&] { return vecEntered.size() > i; }));
            EXPECT_EQ(vecEntered[i].rfind(k_sReport + rgCases[i].pchName + " after ", 0), 0u)
                << vecEntered[i];
        }
        rgOwners[i].Run([&] {
            rgCases[i].whileReported();
            rgeSeenByOwner[i] = W::GetTimeoutBehavior();
        });
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++nReleased;
        }
        changed.notify_all();
    }
    W::CleanupWatchdogs();  // joins the monitor: its pass is over
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(rgCases[i].pchName);
        EXPECT_EQ(rgeSeenByOwner[i], rgCases[i].eAfter);
        EXPECT_EQ(rgpWatchdogs[i]->GetStatus()->m_eBehavior.load(), rgCases[i].eAfter);
        rgOwners[i].Run([&] { rgpWatchdogs[i].reset(); });
    }
}

// A watchdog destroyed on another thread than its creator is reported, and its
// creator's chain no longer leads to it.
TEST_F(WatchdogTest, AWatchdogDestroyedElsewhereIsReportedAndNeverDangles) {
    LogRecorder recorder;
    const std::string sAssert =
        "ASSERT: \"Thread watchdog Handed destroyed on a thread other than the one that created "
        "it\"";
    enum class EKept { None, Older, Newer };
    struct {
        const char* pchName;
        EKept eKept;  // a watchdog of the creator's own, made before or after
        bool bCreatorEnds;
    } const rgCases[] = {
        {"alone", EKept::None, false},
        {"newest of two", EKept::Older, false},
        {"oldest of two", EKept::Newer, false},
        {"creator has ended", EKept::None, true},
    };
    for (const auto& test : rgCases) {
        SCOPED_TRACE(test.pchName);
        size_t nReports = recorder.Count(sAssert);
        halyard_test::COwnerThread creator;
        std::unique_ptr<W> pKept;
        std::unique_ptr<W> pHanded;
        creator.Run([&] {
            if (test.eKept == EKept::Older) {
                pKept = std::make_unique<W>("Kept", 60.0f, W::WatchdogTimeout_Log);
            }
            pHanded = std::make_unique<W>("Handed", 60.0f, W::WatchdogTimeout_Log);
            if (test.eKept == EKept::Newer) {
                pKept = std::make_unique<W>("Kept", 60.0f, W::WatchdogTimeout_Log);
            }
        });
        if (test.bCreatorEnds) {
            creator.Stop();
        }
        pHanded.reset();
        EXPECT_EQ(recorder.Count(sAssert), nReports + 1);
        if (test.bCreatorEnds) {
            continue;
        }
        creator.Run([&] {
            ASSERT_EQ(tl_pWatchdog, pKept.get());  // not the destroyed one
            W::SetDetailString("still here");
            W::TickParent();
            pKept.reset();
            EXPECT_EQ(tl_pWatchdog, nullptr);
            EXPECT_EQ(W::GetDetailString(), nullptr);
        });
    }
}

TEST_F(WatchdogTest, CleanupWarnsAboutLiveWatchdogsAndAllowsARestart) {
    LogRecorder recorder;
    auto pQuiet = std::make_unique<W>("Quiet", 60.0f, W::WatchdogTimeout_Log);
    auto pBusy = std::make_unique<W>("Busy", 60.0f, W::WatchdogTimeout_Log);
    W::SetDetailString("Loading");
    ASSERT_TRUE(s_ThreadWatchdogManager.IsMonitorRunning());
    EXPECT_TRUE(WaitFor([] { return MonitorThreadExists(); }));

    W::CleanupWatchdogs();
    EXPECT_FALSE(s_ThreadWatchdogManager.IsMonitorRunning());
    EXPECT_FALSE(MonitorThreadExists());
    EXPECT_TRUE(recorder.Has("Warning: Watchdog Quiet not properly cleaned up\n", LogLevel_Info));
    EXPECT_TRUE(
        recorder.Has("Warning: Watchdog Busy not properly cleaned up, last executing in Loading\n",
                     LogLevel_Info));

    // Unknown records and second removals are ignored.
    W::Status_s stranger;
    s_ThreadWatchdogManager.Unregister(&stranger);
    s_ThreadWatchdogManager.Unregister(pQuiet->GetStatus());
    s_ThreadWatchdogManager.Unregister(pQuiet->GetStatus());
    pQuiet.reset();

    // A new registration starts a new monitor.
    W again("Again", 60.0f, W::WatchdogTimeout_Log);
    EXPECT_TRUE(s_ThreadWatchdogManager.IsMonitorRunning());
    EXPECT_TRUE(WaitFor([] { return MonitorThreadExists(); }));
    pBusy.reset();
    size_t nWarnings = recorder.Count("Warning: Watchdog");
    W::CleanupWatchdogs();
    EXPECT_EQ(recorder.Count("Warning: Watchdog"), nWarnings + 1);
    EXPECT_TRUE(recorder.Has("Warning: Watchdog Again not properly cleaned up\n", LogLevel_Info));
}

TEST(WatchdogEnvironment, DisableVariablePreventsTheMonitorButNotRegistration) {
    for (const char* pchValue : {"0", "1", "no"}) {
        auto result = RunInChild(
            [] {
                W first("Registered", 0.5f, W::WatchdogTimeout_Log);
                if (W::GetTimeoutBehavior() != W::WatchdogTimeout_Log) {
                    return 1;
                }
                if (s_ThreadWatchdogManager.IsMonitorRunning() || MonitorThreadExists()) {
                    return 2;
                }
                // Read again at every start: once it is gone, the monitor runs
                // and the first watchdog is evaluated too.
                LogRecorder recorder;
                unsetenv("ORRERY_DISABLE_THREAD_WATCHDOGS");
                W::InitWatchdogs();
                if (!WaitFor([] { return MonitorThreadExists(); })) {
                    return 3;
                }
                if (!WaitForLine(recorder, k_sReport + "Registered startup after ")) {
                    return 4;
                }
                return 0;
            },
            WithEnv({{"ORRERY_DISABLE_THREAD_WATCHDOGS", pchValue}}));
        EXPECT_EQ(result.exitCode, 0) << pchValue << result.strStderr;
    }
    auto result = RunInChild(
        [] {
            W watchdog("Registered", 60.0f, W::WatchdogTimeout_Log);
            return s_ThreadWatchdogManager.IsMonitorRunning() && WaitFor(MonitorThreadExists) ? 0
                                                                                              : 1;
        },
        WithEnv({{"ORRERY_DISABLE_THREAD_WATCHDOGS", ""}}));
    EXPECT_EQ(result.exitCode, 0) << "an empty value does not disable";
}

// The child's report and dumps; the test directory receives the dumps.
class WatchdogAbortTest : public halyard_test::TempDirTest {};

TEST_F(WatchdogAbortTest, MinidumpAndAbortWritesTheDumpThenAborts) {
    std::string sDumps = TempPath("dumps");
    auto result = RunInChild(
        [] {
            CStderrLog echo;
            CLogBuffer::GetInstance();
            VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"9.8.7", 42}; }, {});
            Log("Last line before the hang");
            CWatchedThread hung("Stuck", 0.5f, W::WatchdogTimeout_MinidumpAndAbort,
                                "Waiting on the disk");
            ThreadSleep(60000);  // the monitor ends the process long before
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    EXPECT_EQ(result.termSignal, SIGABRT) << result.strStderr;
    const std::string sLine = k_sReport + "Stuck startup in Waiting on the disk after ";
    size_t nAt = result.strStderr.find(sLine);
    ASSERT_NE(nAt, std::string::npos) << result.strStderr;
    std::string sReport = result.strStderr.substr(nAt, result.strStderr.find('\n', nAt) - nAt);
    EXPECT_TRUE(std::regex_match(sReport, std::regex(".* after [0-9.]+ seconds\\. Aborting\\.")))
        << sReport;
    std::string sSeconds = sReport.substr(sLine.size(), sReport.find(" seconds") - sLine.size());

    auto vecDumps = ReadDumps(sDumps);
    ASSERT_EQ(vecDumps.size(), 2u) << result.strStderr;  // requested, then the SIGABRT crash
    EXPECT_EQ(vecDumps[0].sReason.rfind("requested", 0), 0u) << vecDumps[0].sText;
    // The message, then the buffered log lines from the oldest that fit.
    const std::string sHead =
        "<non-buildbot build>\nAbortMessage({ Thread Watchdog Abort - Stuck startup in Waiting "
        "on the disk /+/ " +
        sSeconds + " second timeout })\nLast line before the hang\n";
    EXPECT_EQ(vecDumps[0].sComment.substr(0, sHead.size()), sHead) << vecDumps[0].sText;
    EXPECT_EQ(vecDumps[0].Line("version"), "9.8.7");
    EXPECT_EQ(vecDumps[0].Line("app id"), "42");
    EXPECT_EQ(vecDumps[1].sReason, "signal 6 (SIGABRT)");
}

// Holds the first open of a file in a directory, as an on-access scanner or a
// slow network file system would, and lets every later one through at once:
// what the dump writer opens there is slow for real. The hold ends after its
// time or when the process that opened is gone. The events are served by a
// process of its own, so that the test process forks its children while it
// has no other thread. Needs CAP_SYS_ADMIN.
class CSlowFirstOpen {
public:
    explicit CSlowFirstOpen(const std::string& sDir) {
        m_fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
        if (m_fd >= 0 && fanotify_mark(m_fd, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                       AT_FDCWD, sDir.c_str()) != 0) {
            close(m_fd);
            m_fd = -1;
        }
        if (m_fd < 0) {
            m_sError = strerror(errno);
        }
    }
    ~CSlowFirstOpen() { Stop(); }
    const std::string& Error() const { return m_sError; }
    bool IsAvailable() const { return m_fd >= 0; }

    void Start(std::chrono::milliseconds hold) {
        int rgnStop[2];
        int rgnHeld[2];
        if (pipe2(rgnStop, O_CLOEXEC) != 0 || pipe2(rgnHeld, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipes";
            return;
        }
        fflush(nullptr);
        m_pidServer = fork();
        if (m_pidServer == 0) {
            close(rgnStop[1]);
            close(rgnHeld[0]);
            long nHeld = Serve(hold, rgnStop[0]);
            _exit(write(rgnHeld[1], &nHeld, sizeof(nHeld)) == sizeof(nHeld) ? 0 : 1);
        }
        close(rgnStop[0]);
        close(rgnHeld[1]);
        close(m_fd);  // the server's copy keeps the events coming
        m_fd = -1;
        m_fdStop = rgnStop[1];
        m_fdHeld = rgnHeld[0];
    }
    // Ends the service; returns how long the first open was held.
    std::chrono::milliseconds Stop() {
        if (m_fdStop >= 0) {
            close(m_fdStop);  // the server's stop signal
            m_fdStop = -1;
            long nHeld = 0;
            if (read(m_fdHeld, &nHeld, sizeof(nHeld)) == sizeof(nHeld)) {
                m_held = std::chrono::milliseconds(nHeld);
            }
            close(m_fdHeld);
            waitpid(m_pidServer, nullptr, 0);
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        return m_held;
    }

private:
    static bool IsGone(pid_t pid) {
        std::string sStat = halyard_test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        size_t nEnd = sStat.rfind(')');
        return nEnd == std::string::npos || nEnd + 2 >= sStat.size() || sStat[nEnd + 2] == 'Z';
    }
    void Allow(int fdEvent) {
        struct fanotify_response response = {fdEvent, FAN_ALLOW};
        if (write(m_fd, &response, sizeof(response)) != sizeof(response)) {
            // The opener is gone; nothing waits for the answer.
        }
        close(fdEvent);
    }
    // Until fdStop reads its end; returns the milliseconds the first open was held.
    long Serve(std::chrono::milliseconds hold, int fdStop) {
        int fdHeld = -1;
        pid_t pidHeld = 0;
        auto start = std::chrono::steady_clock::now();
        bool bHeldOne = false;
        long nHeld = 0;
        while (true) {
            struct pollfd rgPollers[2] = {{m_fd, POLLIN, 0}, {fdStop, POLLIN, 0}};
            if (poll(rgPollers, 2, 50) > 0 && rgPollers[1].revents) {
                break;
            }
            if (rgPollers[0].revents & POLLIN) {
                alignas(fanotify_event_metadata) char rchBuffer[4096];
                ssize_t nRead = read(m_fd, rchBuffer, sizeof(rchBuffer));
                auto* pEvent = reinterpret_cast<fanotify_event_metadata*>(rchBuffer);
                for (; nRead > 0 && FAN_EVENT_OK(pEvent, nRead);
                     pEvent = FAN_EVENT_NEXT(pEvent, nRead)) {
                    if (pEvent->fd < 0) {
                        continue;
                    }
                    if (!bHeldOne && (pEvent->mask & FAN_OPEN_PERM)) {
                        bHeldOne = true;
                        fdHeld = pEvent->fd;
                        pidHeld = pEvent->pid;
                        start = std::chrono::steady_clock::now();
                    } else {
                        Allow(pEvent->fd);
                    }
                }
            }
            auto now = std::chrono::steady_clock::now();
            if (fdHeld >= 0 && (now - start >= hold || IsGone(pidHeld))) {
                nHeld = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
                Allow(fdHeld);
                fdHeld = -1;
            }
        }
        if (fdHeld >= 0) {
            Allow(fdHeld);
        }
        return nHeld;
    }

    int m_fd = -1;
    std::string m_sError;
    pid_t m_pidServer = -1;
    int m_fdStop = -1;
    int m_fdHeld = -1;
    std::chrono::milliseconds m_held{0};
};

// The dump takes longer than the grace the report's log lines get: it is
// still written in full, and the process aborts after it.
TEST_F(WatchdogAbortTest, ASlowMinidumpIsWrittenInFullBeforeTheAbort) {
    std::string sDumps = TempPath("dumps");
    ASSERT_EQ(mkdir(sDumps.c_str(), 0700), 0);
    CSlowFirstOpen slow(sDumps);
    if (!slow.IsAvailable()) {
        GTEST_SKIP() << "no fanotify permission events here (" << slow.Error()
                     << "), so the dump writer cannot be slowed down";
    }
    constexpr std::chrono::milliseconds k_hold(6500);  // the grace is 5 s
    slow.Start(k_hold);
    auto result = RunInChild(
        [] {
            CStderrLog echo;
            VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"1", 1}; }, {});
            CWatchedThread hung("Slow", 0.5f, W::WatchdogTimeout_MinidumpAndAbort);
            ThreadSleep(60000);
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    std::chrono::milliseconds held = slow.Stop();
    EXPECT_EQ(result.termSignal, SIGABRT) << result.strStderr;
    EXPECT_GE(held.count(), k_hold.count()) << "the dump was cut short";
    EXPECT_TRUE(std::regex_search(result.strStderr,
                                  std::regex(k_sReport + "Slow startup after [0-9.]+ seconds\\. "
                                                         "Aborting\\.\n")))
        << result.strStderr;
    auto vecDumps = ReadDumps(sDumps);
    ASSERT_GE(vecDumps.size(), 1u);
    EXPECT_EQ(vecDumps[0].sReason.rfind("requested", 0), 0u) << vecDumps[0].sText;
    EXPECT_EQ(
        vecDumps[0].sComment.rfind(
            "<non-buildbot build>\nAbortMessage({ Thread Watchdog Abort - Slow startup /+/ ", 0),
        0u)
        << vecDumps[0].sText;
    EXPECT_NE(vecDumps[0].sText.find("end of dump\n"), std::string::npos) << vecDumps[0].sText;
}

TEST_F(WatchdogAbortTest, OverlongAbortCommentIsTruncatedAndReported) {
    std::string sDumps = TempPath("dumps");
    auto result = RunInChild(
        [] {
            CStderrLog echo;
            VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"1", 1}; }, {});
            CWatchedThread hung(std::string(1100, 'n'), 0.5f, W::WatchdogTimeout_MinidumpAndAbort);
            ThreadSleep(60000);
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    EXPECT_EQ(result.termSignal, SIGABRT);
    EXPECT_NE(result.strStderr.find("Minidump comment truncated\n"), std::string::npos)
        << result.strStderr;
    auto vecDumps = ReadDumps(sDumps);
    ASSERT_GE(vecDumps.size(), 1u);
    std::string sExpected = "<non-buildbot build>\nAbortMessage({ Thread Watchdog Abort - ";
    sExpected += std::string(1023 - sExpected.size() + 21, 'n') + "\n";
    EXPECT_EQ(vecDumps[0].sComment, sExpected);
}

TEST_F(WatchdogAbortTest, AbortBehaviourTerminatesWithoutADump) {
    std::string sDumps = TempPath("dumps");
    auto result = RunInChild(
        [] {
            CStderrLog echo;
            CWatchedThread hung("Plain", 0.5f, W::WatchdogTimeout_Abort);
            ThreadSleep(60000);
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    EXPECT_EQ(result.termSignal, SIGABRT);
    EXPECT_TRUE(std::regex_search(result.strStderr,
                                  std::regex("Failed Watchdog timeout in thread Plain startup "
                                             "after [0-9.]+ seconds\\. Terminating\\.\n")))
        << result.strStderr;
    EXPECT_TRUE(ReadDumps(sDumps).empty());
}

// The hang is inside the log writer, so the report's own lines cannot be
// written: the dump still names the place and the process still ends.
TEST_F(WatchdogAbortTest, AHangInsideTheLogWriterStillEndsTheProcess) {
    std::string sDumps = TempPath("dumps");
    std::string sLogs = TempPath("logs");
    auto result = RunInChild(
        [&] {
            VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"1", 1}; }, {});
            if (!InitLog(sLogs.c_str(), "hang")) {
                return 2;
            }
            struct Stuck : ILogListener {
                void LogMessage(unsigned long, const char*, unsigned int, ELogLevel,
                                const char* pchText) override {
                    if (strstr(pchText, "never returns")) {
                        ThreadSleep(120000);
                    }
                }
            } stuck;
            GetVRLog()->AddLogListener(&stuck);
            CThreadWatchdog watchdog("Logger", 0.5f, W::WatchdogTimeout_MinidumpAndAbort);
            WaitFor(MonitorThreadExists);
            Log("this line never returns");
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    EXPECT_EQ(result.termSignal, SIGABRT) << result.strStderr;
    auto vecDumps = ReadDumps(sDumps);
    ASSERT_GE(vecDumps.size(), 1u);
    EXPECT_EQ(vecDumps[0].sComment.rfind(
                  "<non-buildbot build>\nAbortMessage({ Thread Watchdog Abort - Logger startup "
                  "in LogDirect /+/ ",
                  0),
              0u)
        << vecDumps[0].sText;
}

TEST_F(WatchdogAbortTest, UnderADebuggerReportsBecomeLogLinesUnlessForced) {
    std::string sStatus = TempPath("status");
    std::string sDumps = TempPath("dumps");
    auto result = RunInChild(
        [&] {
            std::string sError = halyard_test::UseFakeStatusFile(sStatus, true);
            if (!sError.empty()) {
                printf("%s\n", sError.c_str());
                return k_nChildSkip;
            }
            LogRecorder recorder;
            CStderrLog echo;
            if (s_ThreadWatchdogManager.ShouldWatchdog()) {
                return 1;
            }
            CWatchedThread dumping("DumpAbort", 0.5f, W::WatchdogTimeout_MinidumpAndAbort);
            CWatchedThread aborting("JustAbort", 0.5f, W::WatchdogTimeout_Abort);
            CWatchedThread asserting("Asserting", 0.5f, W::WatchdogTimeout_Assert);
            CWatchedThread logging("Logging", 0.5f, W::WatchdogTimeout_Log);
            if (!WaitFor([&] { return recorder.Count(k_sReport) >= 4; })) {
                return 2;
            }
            return recorder.Count("ASSERT") == 0 ? 0 : 3;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}}));
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    for (const char* pchName : {"DumpAbort", "JustAbort"}) {
        EXPECT_TRUE(std::regex_search(
            result.strStderr,
            std::regex(k_sReport + pchName +
                       " startup after [0-9.]+ seconds\\. Skipping abort because we're in "
                       "the debugger\\.\n")))
            << pchName << result.strStderr;
    }
    EXPECT_TRUE(std::regex_search(
        result.strStderr,
        std::regex(k_sReport + "Asserting startup after [0-9.]+ seconds\\. Skipping assert "
                               "because we're in the debugger\\.\n")))
        << result.strStderr;
    EXPECT_TRUE(std::regex_search(
        result.strStderr, std::regex(k_sReport + "Logging startup after [0-9.]+ seconds\n")))
        << result.strStderr;
    EXPECT_TRUE(ReadDumps(sDumps).empty());

    // Forced: the abort happens; crash reporting was off from the start (a
    // debugger), so there is no dump.
    result = RunInChild(
        [&] {
            std::string sError = halyard_test::UseFakeStatusFile(sStatus, true);
            if (!sError.empty()) {
                return k_nChildSkip;
            }
            CStderrLog echo;
            VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"1", 1}; }, {});
            CWatchedThread hung("Forced", 0.5f, W::WatchdogTimeout_MinidumpAndAbort);
            ThreadSleep(60000);
            return 1;
        },
        WithEnv({{"QUILL_DUMP_DIR", sDumps}, {"ORRERY_ENABLE_THREAD_WATCHDOGS", "1"}}));
    EXPECT_EQ(result.termSignal, SIGABRT) << result.strStderr;
    EXPECT_NE(result.strStderr.find(" seconds. Aborting.\n"), std::string::npos)
        << result.strStderr;
    // (A child forked after this process cached "reporting enabled" has the
    // crash handler installed and leaves the SIGABRT dump; never a requested one.)
    for (const auto& dump : ReadDumps(sDumps)) {
        EXPECT_EQ(dump.sReason.find("requested"), std::string::npos) << dump.sText;
    }
}

// The process is stopped for longer than the 4-second gap: the first pass
// after it continues reports nothing and restarts every watchdog's clock.
TEST(WatchdogGap, AStoppedProcessIsNotReportedOnItsFirstPassBack) {
    halyard_test::ChildOptions options;
    options.timeout = std::chrono::milliseconds(90000);
    auto result = RunInChild(
        [] {
            // A helper process stops us for 6 s once we are watched. Forked
            // before any thread exists.
            int rgnPipe[2];
            if (pipe(rgnPipe) != 0) {
                return 2;
            }
            pid_t pidSelf = getpid();
            pid_t pidHelper = fork();
            if (pidHelper == 0) {
                char ch;
                if (read(rgnPipe[0], &ch, 1) == 1) {
                    kill(pidSelf, SIGSTOP);
                    struct timespec stop = {6, 0};
                    while (nanosleep(&stop, &stop) != 0) {
                    }
                    kill(pidSelf, SIGCONT);
                }
                _exit(0);
            }
            LogRecorder recorder;
            CWatchedThread hung("Stopped", 3.0f, W::WatchdogTimeout_Log);
            if (write(rgnPipe[1], "s", 1) != 1) {
                return 2;
            }
            while (waitpid(pidHelper, nullptr, 0) < 0) {
            }
            uint64_t unResumed = GetSystemTimeInTicks();
            if (!WaitForLine(recorder, k_sReport + "Stopped startup after ")) {
                return 3;
            }
            double dflSinceResume = SystemTicksToSeconds(GetSystemTimeInTicks() - unResumed);
            double dflOverdue = ReportedSeconds(LinesStartingWith(recorder, k_sReport)[0]);
            printf("reported %f s after the resume, %f s after its last tick\n", dflSinceResume,
                   dflOverdue);
            // Without the gap rule it would be reported at once, more than
            // 6 s overdue; with it, its clock restarted at the first pass back.
            return dflSinceResume > 2.5 && dflOverdue < dflSinceResume + 1.0 ? 0 : 4;
        },
        options);
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

}  // namespace
