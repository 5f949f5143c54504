#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driverlog.h"
#include "ivrdriverlog.h"
#include "log_recorder.h"
#include "logbuffer.h"
#include "test_support.h"
#include "thread_state.h"
#include "threadwatchdog.h"
#include "vrlog.h"
#include "watchdog_support.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::SplitLines;
using halyard_test::WriteFile;

const char* const k_pchStamp =
    R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d{2} \d{4} \d{2}:\d{2}:\d{2}\.\d{6})";

bool MatchesLine(const std::string& sLine, const std::string& sLevel, const std::string& sText) {
    return std::regex_match(sLine, std::regex(std::string("^") + k_pchStamp + " \\[" + sLevel +
                                              "\\] - " + sText + "$"));
}

struct Received {
    unsigned long ulHandle;
    std::string sName;
    ELogLevel eLevel;
    std::string sText;
};

class RecordingListener : public ILogListener {
public:
    void LogMessage(unsigned long ulHandle, const char* pchName, unsigned int, ELogLevel eLevel,
                    const char* pchText) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecReceived.push_back({ulHandle, pchName, eLevel, pchText});
    }
    std::vector<Received> Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecReceived;
    }

private:
    std::mutex m_mutex;
    std::vector<Received> m_vecReceived;
};

class VRLogTest : public halyard_test::TempDirTest {
protected:
    // A writer on the process-wide registry, closed at the end of the test.
    struct Writer {
        CVRLog log{true};
        ~Writer() { log.CloseLog(); }
    };
    std::string LogPath(const std::string& sName) { return TempPath(sName + ".txt"); }
};

TEST_F(VRLogTest, LinesAreStampedFilteredAndNamed) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "plain", false, 0));
    EXPECT_TRUE(writer.log.IsOpen());
    EXPECT_EQ(writer.log.GetLogName(), "plain");
    EXPECT_EQ(writer.log.GetLogFilePath(), LogPath("plain"));
    EXPECT_EQ(writer.log.GetPreviousLogFilePath(), TempPath("plain.previous.txt"));

    Log("through the registry");
    Log(LogLevel_Detail, "detail is above the default maximum");
    writer.log.Log(LogLevel_Error, "direct %d", 7);
    writer.log.Log(LogLevel_Warning, "already ended\n");
    writer.log.Log(static_cast<ELogLevel>(-1), "odd level");
    writer.log.Log(LogLevel_Fatal, "%s", "");

    auto lines = SplitLines(ReadFile(LogPath("plain")));
    ASSERT_EQ(lines.size(), 5u) << ReadFile(LogPath("plain"));
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "through the registry")) << lines[0];
    EXPECT_TRUE(MatchesLine(lines[1], "Error", "direct 7")) << lines[1];
    EXPECT_TRUE(MatchesLine(lines[2], "Warning", "already ended")) << lines[2];
    EXPECT_TRUE(MatchesLine(lines[3], "<unknown>", "odd level")) << lines[3];
    EXPECT_TRUE(MatchesLine(lines[4], "Fatal", "")) << lines[4];
    EXPECT_TRUE(writer.log.WillLog(LogLevel_Info));
    EXPECT_FALSE(writer.log.WillLog(LogLevel_Detail));
}

TEST_F(VRLogTest, NameRulesAndLongLines) {
    Writer named;
    ASSERT_TRUE(named.log.InitLog(TempDir().c_str(), "tool", true, 0));
    EXPECT_EQ(named.log.GetLogName(), "tool_test_vrlog");
    Writer unnamed;
    ASSERT_TRUE(unnamed.log.InitLog(TempPath("sub/dir").c_str(), nullptr, true, 0));
    EXPECT_EQ(unnamed.log.GetLogFilePath(), TempPath("sub/dir/test_vrlog.txt"));
    EXPECT_TRUE(named.log.InitLog("/ignored", "other", false, 0));  // already open: unchanged
    EXPECT_EQ(named.log.GetLogName(), "tool_test_vrlog");

    named.log.Log("%s", std::string(5000, 'x').c_str());
    std::string sContent = ReadFile(TempPath("tool_test_vrlog.txt"));
    ASSERT_EQ(sContent.size(), 4095u);
    EXPECT_EQ(sContent.back(), '\n');
    EXPECT_EQ(sContent[4093], 'x');

    // A conversion that fails (a wide character the C locale cannot encode)
    // keeps the text before it; none of the rest of the buffer reaches the file.
    ASSERT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
    named.log.Log("abc%lsdef", L"\u00e9");
    named.log.LogIncremental("frag");
    named.log.LogIncremental("-%ls-", L"\u00e9");
    named.log.Log("end");
    sContent = ReadFile(TempPath("tool_test_vrlog.txt"));
    EXPECT_EQ(sContent.find('\0'), std::string::npos);
    auto lines = SplitLines(sContent.substr(4095));
    ASSERT_EQ(lines.size(), 3u) << sContent.substr(4095);
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "abc")) << lines[0];
    EXPECT_TRUE(MatchesLine(lines[1], "Info", "frag-")) << lines[1];
    EXPECT_TRUE(MatchesLine(lines[2], "Info", "end")) << lines[2];
}

TEST_F(VRLogTest, IncrementalFragmentsShareALine) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "inc", false, 0));
    writer.log.LogIncremental("a");
    writer.log.LogIncremental("b");
    writer.log.Log("c");
    writer.log.LogIncremental(LogLevel_Warning, "d");
    writer.log.LogIncremental("e\n");
    // The last write was a fragment, so "f" continues the line; closed
    // after it, the file still ends with a newline.
    writer.log.LogIncremental("f");
    writer.log.CloseLog();
    std::string sContent = ReadFile(LogPath("inc"));
    auto lines = SplitLines(sContent);
    ASSERT_EQ(lines.size(), 4u) << sContent;
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "ab")) << lines[0];
    EXPECT_TRUE(MatchesLine(lines[1], "Info", "c")) << lines[1];
    EXPECT_TRUE(MatchesLine(lines[2], "Warning", "de")) << lines[2];
    EXPECT_EQ(lines[3], "f");
    EXPECT_EQ(sContent.back(), '\n');
}

TEST_F(VRLogTest, MaximumLevelIsClampedAndAnnounced) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "lvl", false, 0));
    writer.log.SetMaxLogLevel(static_cast<ELogLevel>(7));
    EXPECT_EQ(writer.log.GetMaxLogLevel(), LogLevel_Detail);
    writer.log.SetMaxLogLevel(LogLevel_Info);  // silent
    writer.log.SetMaxLogLevel(static_cast<ELogLevel>(-3));
    EXPECT_EQ(writer.log.GetMaxLogLevel(), LogLevel_Fatal);
    writer.log.SetMaxLogLevel(LogLevel_Error);  // Info line, but the maximum is Fatal now
    EXPECT_EQ(writer.log.GetMaxLogLevel(), LogLevel_Error);
    auto lines = SplitLines(ReadFile(LogPath("lvl")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "Log Level Set to 4")) << lines[0];
    EXPECT_TRUE(MatchesLine(lines[1], "Info", "Log Level Set to 0")) << lines[1];
}

void SetModificationTime(const std::string& sPath, time_t t) {
    struct timeval times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(sPath.c_str(), times), 0);
}

TEST_F(VRLogTest, StartupRotationDoublesForRecentLogs) {
    const std::string sOld(200000, 'o');
    // Written long ago: over 131072, so it moves to the previous file.
    WriteFile(LogPath("old"), sOld);
    WriteFile(TempPath("old.previous.txt"), "older");
    SetModificationTime(LogPath("old"), time(nullptr) - 900);
    {
        Writer writer;
        ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "old", false, 131072));
        writer.log.Log("fresh");
    }
    EXPECT_EQ(ReadFile(TempPath("old.previous.txt")), sOld);
    EXPECT_EQ(SplitLines(ReadFile(LogPath("old"))).size(), 1u);

    // Written recently: the threshold doubles to 262144 and the file stays.
    // (Well inside the 900 s, so that a slow start of the writer cannot push
    // the file's age over the limit.)
    WriteFile(LogPath("recent"), sOld);
    SetModificationTime(LogPath("recent"), time(nullptr) - 600);
    {
        Writer writer;
        ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "recent", false, 131072));
    }
    EXPECT_FALSE(halyard_test::ReadFile(TempPath("recent.previous.txt")).size() > 0);
    EXPECT_EQ(ReadFile(LogPath("recent")).size(), sOld.size());

    // A modification time in the future does not double it.
    WriteFile(LogPath("future"), sOld);
    SetModificationTime(LogPath("future"), time(nullptr) + 3600);
    {
        Writer writer;
        ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "future", false, 131072));
    }
    EXPECT_EQ(ReadFile(TempPath("future.previous.txt")), sOld);
}

TEST_F(VRLogTest, RotatesAfterTenMebibytesWithTheCrossingLineInTheOldFile) {
    // Pre-fill the file 100 bytes short of the limit; no start-up rotation.
    const uint64_t unStart = CVRLog::k_unRotateSize - 100;
    WriteFile(LogPath("big"), std::string(unStart - 1, 'p') + "\n");
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "big", false, 0));
    writer.log.Log("%s", std::string(60, 'a').c_str());  // ~100 bytes with the prefix: crosses
    writer.log.Log("next");
    std::string sPrevious = ReadFile(TempPath("big.previous.txt"));
    ASSERT_GT(sPrevious.size(), CVRLog::k_unRotateSize);
    auto previousLines = SplitLines(sPrevious);
    EXPECT_TRUE(MatchesLine(previousLines.back(), "Info", std::string(60, 'a')));
    auto current = SplitLines(ReadFile(LogPath("big")));
    ASSERT_EQ(current.size(), 1u);
    EXPECT_TRUE(MatchesLine(current[0], "Info", "next"));
}

// Delete, rename and reopen failures during rotation are not reported. A
// previous file that cannot be replaced leaves the log where it is; a log
// that cannot be reopened leaves the writer on the old file, and every later
// line tries the reopen again.
TEST_F(VRLogTest, RotationFailuresAreSilentAndAFailedReopenIsRetried) {
    const std::string sFill = std::string(CVRLog::k_unRotateSize - 101, 'p') + "\n";
    WriteFile(LogPath("stuck"), sFill);
    ASSERT_EQ(mkdir(TempPath("stuck.previous.txt").c_str(), 0755), 0);
    WriteFile(TempPath("stuck.previous.txt/keep"), "k");
    std::string sGoneDir = TempPath("gone");
    ASSERT_EQ(mkdir(sGoneDir.c_str(), 0755), 0);
    WriteFile(sGoneDir + "/gone.txt", sFill);

    auto result = RunInChild([&] {
        halyard_test::LogRecorder recorder;
        CVRLog stuck(true);
        if (!stuck.InitLog(TempDir().c_str(), "stuck", false, 0))
            return 1;
        stuck.Log("%s", std::string(60, 'a').c_str());  // crosses: the rotation fails
        stuck.Log("still here");
        if (!stuck.IsOpen())
            return 2;
        stuck.CloseLog();

        CVRLog gone(true);
        if (!gone.InitLog(sGoneDir.c_str(), "gone", false, 0))
            return 3;
        // The directory disappears under the open file: the rotation can
        // neither rename nor reopen it.
        if (unlink((sGoneDir + "/gone.txt").c_str()) != 0 || rmdir(sGoneDir.c_str()) != 0)
            return 4;
        gone.Log("%s", std::string(60, 'b').c_str());
        gone.Log("into the old file while the directory is gone");
        if (!gone.IsOpen())
            return 5;
        // Once the file can be opened again, the next line goes to it.
        if (mkdir(sGoneDir.c_str(), 0755) != 0)
            return 6;
        gone.Log("reopened");
        Log("through the registry");
        gone.CloseLog();
        // Nothing was said about any of it but the line logged here.
        for (const auto& line : recorder.Lines()) {
            if (line.text != "through the registry\n")
                return 7;
        }
        return 0;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
    EXPECT_EQ(result.strStderr, "");

    std::string sStuck = ReadFile(LogPath("stuck"));
    ASSERT_GT(sStuck.size(), sFill.size());
    auto stuckLines = SplitLines(sStuck.substr(sFill.size()));
    ASSERT_EQ(stuckLines.size(), 2u) << sStuck.substr(sFill.size());
    EXPECT_TRUE(MatchesLine(stuckLines[0], "Info", std::string(60, 'a'))) << stuckLines[0];
    EXPECT_TRUE(MatchesLine(stuckLines[1], "Info", "still here")) << stuckLines[1];
    EXPECT_EQ(ReadFile(TempPath("stuck.previous.txt/keep")), "k");

    auto goneLines = SplitLines(ReadFile(sGoneDir + "/gone.txt"));
    ASSERT_EQ(goneLines.size(), 2u);
    EXPECT_TRUE(MatchesLine(goneLines[0], "Info", "reopened")) << goneLines[0];
    EXPECT_TRUE(MatchesLine(goneLines[1], "Info", "through the registry")) << goneLines[1];
    EXPECT_FALSE(halyard_test::ReadFile(sGoneDir + "/gone.previous.txt").size() > 0);
}

TEST_F(VRLogTest, ListenersGetEachLineOnceInOrder) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "listen", false, 0));
    // Ahead of the recorder: it leaves during the first line, which the
    // recorder must get all the same.
    struct Leaver : ILogListener {
        CVRLog* pLog = nullptr;
        int nCalls = 0;
        void LogMessage(unsigned long, const char*, unsigned int, ELogLevel, const char*) override {
            ++nCalls;
            pLog->RemoveLogListener(this);
        }
    } leaver;
    leaver.pLog = &writer.log;
    writer.log.AddLogListener(&leaver);
    RecordingListener listener;
    writer.log.AddLogListener(&listener);
    writer.log.AddLogListener(&listener);  // no duplicate
    writer.log.AddLogListener(nullptr);    // ignored
    Log(LogLevel_Warning, "one");
    EXPECT_EQ(leaver.nCalls, 1);
    writer.log.LogIncremental("frag");
    writer.log.LogIncremental("ment");
    writer.log.RemoveLogListener(&listener);
    Log("two");

    auto received = listener.Get();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].ulHandle, 0u);
    EXPECT_EQ(received[0].sName, "listen");
    EXPECT_EQ(received[0].eLevel, LogLevel_Warning);
    EXPECT_TRUE(
        MatchesLine(received[0].sText.substr(0, received[0].sText.size() - 1), "Warning", "one"));
    EXPECT_EQ(received[0].sText.back(), '\n');
    EXPECT_TRUE(std::regex_match(received[1].sText,
                                 std::regex(std::string(k_pchStamp) + R"( \[Info\] - frag)")));
    EXPECT_EQ(received[2].sText, "ment");  // a continuation is only the fragment
    auto lines = SplitLines(ReadFile(LogPath("listen")));
    EXPECT_EQ(lines.size(), 3u);
}

// A direct line takes the log registry's lock before the writer's, as a line
// that comes through the registry does: a listener that logs during a direct
// line does not deadlock against a registry line on another thread.
TEST_F(VRLogTest, AListenerThatLogsDuringADirectLineDoesNotDeadlock) {
    halyard_test::ChildOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    auto result = RunInChild(
        [&] {
            CVRLog writer(true);
            if (!writer.InitLog(TempDir().c_str(), "order", false, 0))
                return 1;
            struct Echo : ILogListener {
                std::atomic<bool> bInListener{false};
                std::atomic<pid_t> otherTid{0};
                void LogMessage(unsigned long, const char*, unsigned int, ELogLevel,
                                const char* pchText) override {
                    if (!strstr(pchText, "] - direct line"))
                        return;
                    bInListener = true;
                    // Until the registry line on the other thread waits for a lock.
                    halyard_test::WaitFor(
                        [&] { return otherTid != 0 && halyard_test::BIsBlocked(otherTid); });
                    ::Log("echo of the direct line");
                }
            } echo;
            writer.AddLogListener(&echo);
            std::thread other([&] {
                halyard_test::WaitFor([&] { return echo.bInListener.load(); });
                echo.otherTid = halyard_test::CurrentThreadId();
                Log("registry line");
            });
            writer.Log("direct line");
            other.join();
            writer.RemoveLogListener(&echo);
            return SplitLines(ReadFile(LogPath("order"))).size() == 3 ? 0 : 2;
        },
        options);
    EXPECT_FALSE(result.bTimedOut) << "deadlocked";
    EXPECT_EQ(result.exitCode, 0) << "signal " << result.termSignal << "\n" << result.strStderr;
}

// Rotation swaps the new file in without a moment in which the writer looks
// closed: a direct line on another thread (which checks for an open file
// before it takes the writer's lock) is never dropped, and IsOpen never
// answers false.
TEST_F(VRLogTest, RotationOnAnotherThreadDropsNoDirectLine) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "rot", false, 0));
    struct Counter : ILogListener {
        std::atomic<int> nSmall{0};
        void LogMessage(unsigned long, const char*, unsigned int, ELogLevel,
                        const char* pchText) override {
            nSmall += strstr(pchText, "small line") != nullptr;
        }
    } counter;
    writer.log.AddLogListener(&counter);

    std::atomic<bool> bDone{false};
    std::atomic<int> nClosedSeen{0};
    std::atomic<int> nSmallWritten{0};
    std::thread watcher([&] {
        while (!bDone) {
            nClosedSeen += !writer.log.IsOpen();
        }
    });
    std::thread smallWriter([&] {
        while (!bDone) {
            writer.log.Log("small line %d", nSmallWritten.load());
            ++nSmallWritten;
        }
    });
    // Five rotations' worth of long lines.
    const std::string sLong(4000, 'L');
    for (uint64_t unWritten = 0; unWritten < 5 * CVRLog::k_unRotateSize + 10000;
         unWritten += sLong.size()) {
        writer.log.Log("%s", sLong.c_str());
    }
    bDone = true;
    watcher.join();
    smallWriter.join();
    writer.log.RemoveLogListener(&counter);

    EXPECT_EQ(nClosedSeen.load(), 0);
    EXPECT_EQ(counter.nSmall.load(), nSmallWritten.load());
    EXPECT_GT(nSmallWritten.load(), 0);
    EXPECT_GT(ReadFile(TempPath("rot.previous.txt")).size(), CVRLog::k_unRotateSize / 2);
}

TEST_F(VRLogTest, ReplayOfTheBufferHappensOutsideTheWriterLock) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "replay", false, 0));
    CLogBuffer::GetInstance();  // buffers from its creation on
    Log(LogLevel_Error, "buffered for replay");

    struct LockProbe : ILogListener {
        std::vector<std::string> vecTexts;
        bool bLockFree = true;
        void LogMessage(unsigned long ulHandle, const char*, unsigned int, ELogLevel,
                        const char* pchText) override {
            EXPECT_EQ(ulHandle, 42u);
            vecTexts.push_back(pchText);
            bool bGot = std::async(std::launch::async, [] {
                            if (!g_LoggingMutex.try_lock())
                                return false;
                            g_LoggingMutex.unlock();
                            return true;
                        }).get();
            bLockFree = bLockFree && bGot;
        }
    } probe;
    writer.log.DumpLogBufferToListener(&probe, 42);
    writer.log.DumpLogBufferToListener(nullptr, 1);
    ASSERT_FALSE(probe.vecTexts.empty());
    EXPECT_EQ(probe.vecTexts.back(), "buffered for replay\n");  // no time stamp prefix
    EXPECT_TRUE(probe.bLockFree);
}

TEST_F(VRLogTest, WritingNamesLogDirectAsTheWatchdogDetail) {
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "detail", false, 0));
    struct DetailProbe : ILogListener {
        std::vector<std::string> vecDetails;
        void LogMessage(unsigned long, const char*, unsigned int, ELogLevel, const char*) override {
            const char* pchDetail = CThreadWatchdog::GetDetailString();
            vecDetails.push_back(pchDetail ? pchDetail : "(null)");
        }
    } probe;
    writer.log.AddLogListener(&probe);
    {
        CThreadWatchdog watchdog("Logger", 60.0f, CThreadWatchdog::WatchdogTimeout_Log);
        CThreadWatchdog::SetDetailString("outer work");
        Log("through the registry");
        writer.log.Log("direct");
        writer.log.Log(LogLevel_Detail, "filtered out");
        EXPECT_STREQ(CThreadWatchdog::GetDetailString(), "outer work");
        writer.log.RemoveLogListener(&probe);
        writer.log.CloseLog();
        writer.log.Log("while closed");
        EXPECT_STREQ(CThreadWatchdog::GetDetailString(), "outer work");
    }
    CThreadWatchdog::CleanupWatchdogs();
    EXPECT_EQ(probe.vecDetails, (std::vector<std::string>{"LogDirect", "LogDirect"}));
}

// A thread stuck inside the writer is reported by the real watchdog monitor
// as hanging in LogDirect. Here it is stuck in the driver log sink that takes
// the lines of a closed writer, where it holds no lock, so the report can be
// logged. (A thread stuck under the writer's locks, in a listener say, holds
// the log registry's lock too: nothing can be logged until it returns.)
TEST_F(VRLogTest, AThreadHungInTheWriterIsReportedInLogDirect) {
    halyard_test::LogRecorder recorder;
    CVRLog writer(true);  // never opened: its lines go to the driver log sink
    const std::string sReport = "Failed Watchdog timeout in thread Writer startup in LogDirect";
    struct BlockingSink : vr::IVRDriverLog {
        std::thread::id blockedThread;
        halyard_test::LogRecorder* pRecorder = nullptr;
        std::string sReport;
        bool bSawReport = false;
        void Log(const char*) override {
            if (std::this_thread::get_id() == blockedThread && !bSawReport) {
                bSawReport =
                    halyard_test::WaitFor([this] { return pRecorder->Count(sReport) > 0; });
            }
        }
    } blocker;
    blocker.pRecorder = &recorder;
    blocker.sReport = sReport;
    ASSERT_TRUE(InitDriverLog(&blocker));
    CThreadWatchdog::SetExecutionPhaseString("startup");
    std::promise<void> go;
    std::thread writerThread([&, started = go.get_future()]() mutable {
        started.wait();
        CThreadWatchdog watchdog("Writer", 0.5f, CThreadWatchdog::WatchdogTimeout_Log);
        // The monitor logs once as it starts; let it get past that first.
        EXPECT_TRUE(halyard_test::WaitFor(halyard_test::MonitorThreadExists));
        writer.Log("about to hang");
        EXPECT_EQ(CThreadWatchdog::GetDetailString(), nullptr);
    });
    blocker.blockedThread = writerThread.get_id();
    go.set_value();
    writerThread.join();
    CleanupDriverLog();
    CThreadWatchdog::CleanupWatchdogs();
    EXPECT_TRUE(blocker.bSawReport) << recorder.All();
}

TEST_F(VRLogTest, ClosedWriterDropsLinesAndCanReopen) {
    Writer writer;
    RecordingListener listener;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "closed", false, 0));
    writer.log.AddLogListener(&listener);
    writer.log.CloseLog();
    EXPECT_FALSE(writer.log.IsOpen());
    EXPECT_EQ(writer.log.GetLogDirectory(), "");
    // A listener added while the writer is closed is not called either.
    RecordingListener addedWhileClosed;
    writer.log.AddLogListener(&addedWhileClosed);
    Log("dropped");
    writer.log.Log("dropped too");
    writer.log.LogIncremental("dropped fragment");
    EXPECT_TRUE(listener.Get().empty());
    EXPECT_TRUE(addedWhileClosed.Get().empty());
    EXPECT_EQ(ReadFile(LogPath("closed")), "");

    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "closed", false, 0));
    Log("after reopen");
    auto lines = SplitLines(ReadFile(LogPath("closed")));
    ASSERT_EQ(lines.size(), 1u);
    // The dropped fragment left no line open behind it.
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "after reopen")) << lines[0];
    EXPECT_TRUE(listener.Get().empty());  // closing emptied the listener list
    ASSERT_EQ(addedWhileClosed.Get().size(), 1u);
    writer.log.RemoveLogListener(&addedWhileClosed);
}

TEST_F(VRLogTest, PrivateRegistryWriterIgnoresProcessWideLines) {
    CVRLog privateWriter(false);
    ASSERT_TRUE(privateWriter.InitLog(TempDir().c_str(), "private", false, 0));
    Log("process-wide");
    privateWriter.Log("direct");
    auto lines = SplitLines(ReadFile(LogPath("private")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(MatchesLine(lines[0], "Info", "direct"));
    privateWriter.CloseLog();
}

// A log path that names no regular file (a directory, or a FIFO that would
// hold the open until a reader came) sends the writer to a timestamped file.
TEST_F(VRLogTest, UnopenableLogFallsBackToATimestampedFile) {
    ASSERT_EQ(mkdir(LogPath("blocked").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(LogPath("piped").c_str(), 0644), 0);
    for (const char* pchName : {"blocked", "piped"}) {
        // Local time 13 hours ahead of UTC, so that the name shows local time
        // (and, most of the day, a different date or half than UTC).
        time_t tBefore = time(nullptr);
        auto result = RunInChild(
            [&] {
                CVRLog writer(true);
                if (!writer.InitLog(TempDir().c_str(), pchName, false, 0))
                    return 1;
                writer.Log("into the fallback");
                printf("%s", writer.GetLogFilePath().c_str());
                return 0;
            },
            halyard_test::WithEnv({{"TZ", "HLY-13"}}));
        time_t tAfter = time(nullptr);
        ASSERT_EQ(result.exitCode, 0) << pchName << ": " << result.strStderr;
        EXPECT_EQ(result.strStderr, "ERROR: Failed to open log file " + LogPath(pchName) +
                                        ", attempting timestamped filename\n");
        // 1:02:03 p.m. on 7 December 2026 would read blocked-2026-12-07-PM_01_02_03.txt.
        std::vector<std::string> vecExpected;
        for (time_t t = tBefore; t <= tAfter; ++t) {
            time_t tLocal = t + 13 * 3600;
            struct tm local = {};
            gmtime_r(&tLocal, &local);
            char rchName[64];
            snprintf(rchName, sizeof(rchName), "/%s-%04d-%02d-%02d-%s_%02d_%02d_%02d.txt", pchName,
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour < 12 ? "AM" : "PM", (local.tm_hour + 11) % 12 + 1, local.tm_min,
                     local.tm_sec);
            vecExpected.push_back(TempDir() + rchName);
        }
        EXPECT_NE(std::find(vecExpected.begin(), vecExpected.end(), result.strStdout),
                  vecExpected.end())
            << result.strStdout << " expected " << vecExpected.front();
        EXPECT_EQ(SplitLines(ReadFile(result.strStdout)).size(), 1u);
    }
}

TEST_F(VRLogTest, BothOpensFailingLeavesTheWriterClosed) {
    // A directory that cannot hold files at all: a path under a regular file.
    WriteFile(TempPath("file"), "x");
    auto result = RunInChild([&] {
        CVRLog writer(true);
        return writer.InitLog(TempPath("file/sub").c_str(), "x", false, 0) ? 1 : 0;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "");  // the directory itself cannot be made: just false

    std::string sDir = TempPath("nofiles");
    ASSERT_EQ(mkdir(sDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((sDir + "/x.txt").c_str(), 0755), 0);
    // Occupy every timestamped name of the next minutes with a directory too.
    time_t now = time(nullptr);
    for (time_t t = now - 5; t < now + 300; ++t) {
        struct tm local = {};
        localtime_r(&t, &local);
        char rchName[128];
        strftime(rchName, sizeof(rchName), "/x-%Y-%m-%d-%p_%I_%M_%S.txt", &local);
        mkdir((sDir + rchName).c_str(), 0755);
    }
    result = RunInChild([&] {
        CVRLog writer(true);
        bool bOpened = writer.InitLog(sDir.c_str(), "x", false, 0);
        return bOpened || writer.IsOpen() ? 1 : 0;
    });
    EXPECT_EQ(result.exitCode, 0);
    auto lines = SplitLines(result.strStderr);
    ASSERT_EQ(lines.size(), 2u) << result.strStderr;
    EXPECT_EQ(lines[0],
              "ERROR: Failed to open log file " + sDir + "/x.txt, attempting timestamped filename");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("FATAL: Failed to open log file " + sDir +
                                                      R"(/x-.*\.txt, failing out!)")))
        << lines[1];
}

// With combined logging on, an InitLog that fails for the process's own file
// leaves nothing open behind it, however often it is retried.
TEST_F(VRLogTest, AFailedInitLogLeaksNoFile) {
    auto result = halyard_test::RunInFreshProcess(
        [&] {
            auto openFiles = [] {
                int nFiles = 0;
                if (DIR* pDir = opendir("/proc/self/fd")) {
                    while (readdir(pDir))
                        ++nFiles;
                    closedir(pDir);
                }
                return nFiles;
            };
            // The name leads into a directory that does not exist: neither the
            // file nor its timestamped fallback can be opened; the combined
            // file beside them could.
            CVRLog writer(true);
            int nBefore = openFiles();
            for (int i = 0; i < 3; ++i) {
                if (writer.InitLog(TempDir().c_str(), "missing/x", false, 0) || writer.IsOpen())
                    return 1;
            }
            return openFiles() == nBefore ? 0 : 2;
        },
        halyard_test::WithEnv({{"VR_COMBINED_LOGGING", "1"}}));
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

TEST_F(VRLogTest, ForcedEchoAndStringDumps) {
    auto result = RunInChild(
        [&] {
            CVRLog writer(true);
            DumpLogStrings(&writer, {"to stdout while closed\n"});
            // Closed: dropped without any output, forced echo or not.
            writer.Log("not echoed while closed");
            writer.InitLog(TempDir().c_str(), "echo", false, 0);
            DumpLogStrings(&writer, {"dumped one\n", "dumped two\n"});
            DumpLogStrings(nullptr, {"nothing\n"});
            return 0;
        },
        halyard_test::WithEnv({{"VR_LOG_DEBUG", "1"}}));
    EXPECT_EQ(result.strStdout, "to stdout while closed\n");
    auto echoed = SplitLines(result.strStderr);
    ASSERT_EQ(echoed.size(), 2u);
    EXPECT_TRUE(MatchesLine(echoed[0], "Info", "dumped one"));
    EXPECT_EQ(SplitLines(ReadFile(LogPath("echo"))), echoed);
}

// Two processes on one combined file, through two rotations by the file's
// real size (whichever process happens to rotate it): every line names its
// process, lines never mix, and each process's lines after the first
// rotation are all in the previous and current files, in order.
TEST_F(VRLogTest, CombinedLogIsSharedByTwoProcessesThroughRotations) {
    // Just short of the rotation size: the first lines rotate it.
    WriteFile(TempPath("vrcombined_log.txt"),
              std::string(CVRLog::k_unRotateSize - 1000, 'p') + "\n");
    // Long lines, so that lines split into several writes would show; two
    // processes together write a little over another rotation's worth.
    constexpr int kLines = 1500;
    const std::string sPadding(3900, 'x');
    halyard_test::ChildOptions options;
    options.env = {{"VR_COMBINED_LOGGING", "1"}};
    const std::string sDir = TempDir();
    // Fresh processes: combined logging is decided once per process, and a
    // forked child would inherit this process's decision.
    auto writeFrom = [&](const char* pchName) {
        return std::async(std::launch::async, [=] {
            return halyard_test::RunProcess(
                {LOG_WRITER_PROBE_PATH, sDir, pchName, std::to_string(kLines),
                 std::to_string(sPadding.size())},
                options);
        });
    };
    auto first = writeFrom("alpha");
    auto second = writeFrom("beta");
    EXPECT_EQ(first.get().exitCode, 0);
    EXPECT_EQ(second.get().exitCode, 0);

    std::string sPrevious = ReadFile(TempPath("vrcombined_log.previous.txt"));
    ASSERT_FALSE(sPrevious.empty());
    EXPECT_NE(sPrevious[0], 'p') << "the file from before the first rotation is gone";
    std::string sCurrent = ReadFile(TempPath("vrcombined_log.txt"));
    EXPECT_LE(sCurrent.size(), CVRLog::k_unRotateSize);
    const std::regex head(std::string("^") + k_pchStamp +
                          R"( \[Info\] - (alpha|beta) - (alpha|beta) line (\d+)$)");
    std::map<std::string, int> next;
    for (const std::string& sLine : SplitLines(sPrevious + sCurrent)) {
        size_t unPadding = sLine.rfind(' ');
        ASSERT_NE(unPadding, std::string::npos) << sLine.substr(0, 200);
        ASSERT_EQ(sLine.substr(unPadding + 1), sPadding) << sLine.substr(0, 200);
        std::smatch match;
        std::string sHead = sLine.substr(0, unPadding);
        ASSERT_TRUE(std::regex_match(sHead, match, head)) << sHead;
        ASSERT_EQ(match[2], match[3]);
        int nLine = std::stoi(match[4]);
        if (next.count(match[2]) != 0) {
            ASSERT_EQ(nLine, next[match[2]]) << "a line of " << match[2] << " is missing";
        }
        next[match[2]] = nLine + 1;
    }
    EXPECT_EQ(next["alpha"], kLines);
    EXPECT_EQ(next["beta"], kLines);
    EXPECT_EQ(SplitLines(ReadFile(LogPath("alpha"))).size(), size_t(kLines));
}

TEST_F(VRLogTest, UnopenableCombinedLogFailsInitButTheOwnFileIsWritten) {
    // Where the combined file goes: a directory, then a FIFO nobody reads
    // (whose open would wait for a reader).
    const std::string sCombined = TempPath("vrcombined_log.txt");
    const std::function<int()> rgfnBlock[] = {[&] { return mkdir(sCombined.c_str(), 0755); },
                                              [&] { return mkfifo(sCombined.c_str(), 0644); }};
    for (const auto& fnBlock : rgfnBlock) {
        rmdir(sCombined.c_str());
        unlink(LogPath("gamma").c_str());
        ASSERT_EQ(fnBlock(), 0);
        halyard_test::ChildOptions options;
        options.env = {{"VR_COMBINED_LOGGING", "1"}};
        auto result =
            halyard_test::RunProcess({LOG_WRITER_PROBE_PATH, TempDir(), "gamma", "3"}, options);
        // 3: InitLog answered false with the writer open (and subscribed).
        EXPECT_EQ(result.exitCode, 3) << result.strStderr;
        auto lines = SplitLines(ReadFile(LogPath("gamma")));
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(MatchesLine(lines[2], "Info", "gamma line 2")) << lines[2];
        EXPECT_FALSE(halyard_test::ReadFile(TempPath("vrcombined_log.previous.txt")).size() > 0);
    }
}

TEST_F(VRLogTest, LogTimerReportsThroughTheRegistry) {
    std::vector<std::string> lines;
    CLogCallback recorder;
    recorder.Initialize([&](ELogLevel, const char* pchText, void*) { lines.push_back(pchText); },
                        nullptr);
    { CLogTimer timer("took %.1f units", 0.0); }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "took 0.0 units\n");
}

TEST_F(VRLogTest, ThreadedWritersNeverInterleaveAndRotationLosesNothingKept) {
    const uint64_t unStart = CVRLog::k_unRotateSize - 200000;
    WriteFile(LogPath("mt"), std::string(unStart - 1, 'p') + "\n");
    Writer writer;
    ASSERT_TRUE(writer.log.InitLog(TempDir().c_str(), "mt", false, 0));
    RecordingListener listener;
    writer.log.AddLogListener(&listener);

    constexpr int kThreads = 4;
    constexpr int kLines = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Log("thread %d line %d %s", t, i, std::string(40, 'z').c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    writer.log.RemoveLogListener(&listener);

    // The file pair holds every line written after the rotation, whole.
    std::vector<std::string> kept = SplitLines(ReadFile(TempPath("mt.previous.txt")));
    auto current = SplitLines(ReadFile(LogPath("mt")));
    kept.insert(kept.end(), current.begin(), current.end());
    std::vector<std::string> fromListener;
    for (const auto& received : listener.Get()) {
        fromListener.push_back(received.sText.substr(0, received.sText.size() - 1));
    }
    ASSERT_EQ(fromListener.size(), size_t(kThreads * kLines));
    // Listeners saw the lines in file order: the kept files end with them.
    std::vector<std::string> keptLines;
    for (const std::string& sLine : kept) {
        if (sLine.find("thread ") != std::string::npos)
            keptLines.push_back(sLine);
    }
    EXPECT_EQ(keptLines, fromListener);
    const std::regex line(std::string("^") + k_pchStamp +
                          R"( \[Info\] - thread \d line \d+ z{40}$)");
    for (const std::string& sLine : keptLines) {
        ASSERT_TRUE(std::regex_match(sLine, line)) << sLine;
    }
}

}  // namespace
