// Trace markers: against the real kernel tracer (tracefs), and against files
// bind-mounted over the two marker paths in a private mount namespace to
// prove which path wins and when opens are retried. The marker file state is
// decided once per process, so each case runs in a child process.
#include "tracemarkers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mount_namespace.h"
#include "systemtime.h"
#include "test_support.h"

namespace {

using halyard_test::k_nChildSkip;
using halyard_test::ReadFile;
using halyard_test::RunInChild;
using ::testing::HasSubstr;

const char* const k_pchDebugDir = "/sys/kernel/debug/tracing";
const char* const k_pchDebugMarker = "/sys/kernel/debug/tracing/trace_marker";
const char* const k_pchTracingMarker = "/sys/kernel/tracing/trace_marker";

// Moves system time forward by the given seconds (time zero moves back).
void AdvanceSystemTime(double flSeconds) {
    InitSystemBaseTimeTicks(GetSystemBaseTicks() -
                            static_cast<uint64_t>(flSeconds * GetSystemTimeFrequency()));
}

// Gives the child a private view of both marker directories, empty, with the
// named marker files created as plain files. "" or the reason it failed.
std::string FakeMarkerDirectories(bool bDebugFile, bool bTracingFile) {
    std::string sError = halyard_test::EnterPrivateMountNamespace();
    if (sError.empty()) {
        sError = halyard_test::MountTmpfs("/sys/kernel/debug");
    }
    if (sError.empty()) {
        sError = halyard_test::MountTmpfs("/sys/kernel/tracing");
    }
    if (sError.empty() && mkdir(k_pchDebugDir, 0755) != 0) {
        sError = "mkdir " + std::string(k_pchDebugDir);
    }
    if (sError.empty() && bDebugFile) {
        halyard_test::WriteFile(k_pchDebugMarker, "");
    }
    if (sError.empty() && bTracingFile) {
        halyard_test::WriteFile(k_pchTracingMarker, "");
    }
    return sError;
}

// Runs fn in a child that has the fake marker directories; skips the test
// when they cannot be made, fails it when fn returns non-zero.
void RunWithFakeMarkers(bool bDebugFile, bool bTracingFile, const std::function<int()>& fn) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting over the marker paths needs root";
    }
    auto result = RunInChild([&] {
        std::string sError = FakeMarkerDirectories(bDebugFile, bTracingFile);
        if (!sError.empty()) {
            printf("%s\n", sError.c_str());
            return k_nChildSkip;
        }
        return fn();
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

TEST(TraceMarkers, BasenameKeepsThreeComponents) {
    struct Row {
        const char* pchIn;
        const char* pchOut;
    };
    for (const Row& row :
         {Row{"/data/src/a/b/c.txt", "a/b/c.txt"}, Row{"/x/y/z/w.txt", "y/z/w.txt"},
          Row{"a/b", "a/b"}, Row{"/a/b/c", "/a/b/c"}, Row{"a/b/c/d", "b/c/d"},
          Row{"c:\\p\\q\\r\\s.h", "q\\r\\s.h"}, Row{"", ""}, Row{"/", "/"}}) {
        EXPECT_STREQ(ALBasename(row.pchIn), row.pchOut) << row.pchIn;
    }
    const char* pchPath = "/one/two/three/four";
    EXPECT_EQ(ALBasename(pchPath), pchPath + 5);  // a pointer into the same text
    EXPECT_EQ(ALBasename(nullptr), nullptr);
    EXPECT_TRUE(VrInitGpuProfiling());
}

TEST(TraceMarkers, EventIdsStartAtOneAndAreUniqueAcrossThreads) {
    auto result = RunInChild([] {
        if (GetNextEventId() != 1 || GetNextEventId() != 2) {
            return 1;
        }
        std::vector<std::vector<uint64_t>> ids(4);
        std::vector<std::thread> threads;
        for (auto& vec : ids) {
            threads.emplace_back([&vec] {
                for (int i = 0; i < 1000; ++i) {
                    vec.push_back(GetNextEventId());
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        std::set<uint64_t> all;
        for (auto& vec : ids) {
            all.insert(vec.begin(), vec.end());
        }
        return all.size() == 4000 && *all.begin() == 3 && *all.rbegin() == 4002 ? 0 : 2;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST(TraceMarkers, RealKernelTracerShowsMatchingBeginAndEnd) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "writing kernel trace markers needs root";
    }
    auto result = RunInChild([] {
        std::string sError = halyard_test::EnterPrivateMountNamespace();
        if (!sError.empty()) {
            printf("%s\n", sError.c_str());
            return k_nChildSkip;
        }
        if (access(k_pchTracingMarker, F_OK) != 0 &&
            mount("nodev", "/sys/kernel/tracing", "tracefs", 0, nullptr) != 0) {
            printf("cannot mount tracefs on /sys/kernel/tracing: %s\n", strerror(errno));
            return k_nChildSkip;
        }
        if (ReadFile("/sys/kernel/tracing/tracing_on") != "1\n") {
            printf("kernel tracing is switched off (tracing_on is not 1)\n");
            return k_nChildSkip;
        }
        InitSystemBaseTimeTicks(0);
        AdvanceSystemTime(10);  // past the first 5 seconds
        {
            CScopedEventDuration outer("RealMain", "halyard_main.cpp:816", "ProcessVREvents %d", 1);
            CScopedEventDuration inner("RealMain", "halyard_main.cpp:820", "Inner");
        }
        CScopedEventDuration silent("RealMain", "x.cpp:1", nullptr);
        // Print this process's marker lines as the tracer recorded them.
        std::string sTgid = "tgid=" + std::to_string(getpid()) + " ";
        for (const std::string& sLine :
             halyard_test::SplitLines(ReadFile("/sys/kernel/tracing/trace"))) {
            size_t nAt = sLine.find("tracing_mark_write: ");
            if (nAt != std::string::npos && sLine.find(sTgid) != std::string::npos) {
                printf("%s\n", sLine.substr(nAt + 20).c_str());
            }
        }
        printf("PID %d\n", getpid());
        return 0;
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    ASSERT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
    std::vector<std::string> vecLines = halyard_test::SplitLines(result.strStdout);
    ASSERT_EQ(vecLines.size(), 5u) << result.strStdout;
    std::string sPid = vecLines[4].substr(4);
    EXPECT_EQ(vecLines[0], "[RealMain] begin_ctx=1 tgid=" + sPid +
                               " file=halyard_main.cpp:816 ProcessVREvents 1");
    EXPECT_EQ(vecLines[1],
              "[RealMain] begin_ctx=2 tgid=" + sPid + " file=halyard_main.cpp:820 Inner");
    EXPECT_EQ(vecLines[2],
              "[RealMain] end_ctx=2 tgid=" + sPid + " file=halyard_main.cpp:820 Inner");
    EXPECT_EQ(vecLines[3],
              "[RealMain] end_ctx=1 tgid=" + sPid + " file=halyard_main.cpp:816 ProcessVREvents 1");
}

TEST(TraceMarkers, DebugTracingPathIsPreferred) {
    RunWithFakeMarkers(true, true, [] {
        InitSystemBaseTimeTicks(0);
        AdvanceSystemTime(6);
        if (!EventWriteString("first")) {
            return 1;
        }
        EventWriteStringF("%s-%d", "second", 2);
        if (ReadFile(k_pchDebugMarker) != "firstsecond-2" ||
            !ReadFile(k_pchTracingMarker).empty()) {
            printf("debug: '%s'\n", ReadFile(k_pchDebugMarker).c_str());
            return 2;
        }
        return 0;
    });
}

TEST(TraceMarkers, TracingPathIsTheFallback) {
    RunWithFakeMarkers(false, true, [] {
        InitSystemBaseTimeTicks(0);
        AdvanceSystemTime(6);
        EventWriteStringBegin("Ctx", "f.cpp:3", "Name", 9);
        EventWriteStringEnd("Ctx", "f.cpp:3", "Name", 9);
        std::string sPid = std::to_string(getpid());
        std::string sExpected = "[Ctx] begin_ctx=9 tgid=" + sPid + " file=f.cpp:3 Name" +
                                "[Ctx] end_ctx=9 tgid=" + sPid + " file=f.cpp:3 Name";
        return ReadFile(k_pchTracingMarker) == sExpected ? 0 : 1;
    });
}

TEST(TraceMarkers, OpensAreRetriedAtMostEveryFiveSeconds) {
    RunWithFakeMarkers(false, false, [] {
        // No attempt at all during the first 5 seconds of system time.
        InitSystemBaseTimeTicks(0);
        halyard_test::WriteFile(k_pchTracingMarker, "");
        if (EventWriteString("too-early")) {
            return 1;
        }
        AdvanceSystemTime(5.5);
        // Now the attempt happens, finds the tracing file and keeps it.
        unlink(k_pchTracingMarker);
        if (EventWriteString("missing")) {
            return 2;
        }
        // The file appears, but the last attempt was less than 5 s ago.
        halyard_test::WriteFile(k_pchTracingMarker, "");
        AdvanceSystemTime(4.0);
        if (EventWriteString("within-five")) {
            return 3;
        }
        AdvanceSystemTime(1.2);
        if (!EventWriteString("retried")) {
            return 4;
        }
        // Open for good: even without the file's name it keeps writing.
        unlink(k_pchTracingMarker);
        halyard_test::WriteFile(k_pchDebugMarker, "");
        if (!EventWriteString("-still")) {
            return 5;
        }
        return ReadFile(k_pchDebugMarker).empty() ? 0 : 6;
    });
}

TEST(TraceMarkers, ScopedEventsNestTruncateAndStaySilentWithoutFormat) {
    RunWithFakeMarkers(true, false, [] {
        InitSystemBaseTimeTicks(0);
        AdvanceSystemTime(6);
        std::string sLong(600, 'n');
        {
            CScopedEventDuration none("Ctx", "a.cpp:1", nullptr);
            if (none.GetEventId() != 0 || none.GetName()[0] != '\0') {
                return 1;
            }
        }
        if (!ReadFile(k_pchDebugMarker).empty()) {
            return 2;
        }
        uint64_t ulFirst = 0;
        {
            CScopedEventDuration outer("Ctx", "a.cpp:2", "Outer");
            CScopedEventDuration inner("Ctx", "a.cpp:3", "%s", sLong.c_str());
            ulFirst = outer.GetEventId();
            if (inner.GetEventId() != ulFirst + 1 ||
                std::string(inner.GetName()) != sLong.substr(0, 511)) {
                return 3;
            }
        }
        std::string sPid = std::to_string(getpid());
        auto Line = [&](const char* pchKind, uint64_t ulId, const char* pchLoc,
                        const std::string& sName) {
            std::string s = "[Ctx] " + std::string(pchKind) + "=" + std::to_string(ulId) +
                            " tgid=" + sPid + " file=" + pchLoc + " " + sName;
            return s.substr(0, 511);
        };
        std::string sExpected = Line("begin_ctx", ulFirst, "a.cpp:2", "Outer") +
                                Line("begin_ctx", ulFirst + 1, "a.cpp:3", sLong) +
                                Line("end_ctx", ulFirst + 1, "a.cpp:3", sLong) +
                                Line("end_ctx", ulFirst, "a.cpp:2", "Outer");
        if (ReadFile(k_pchDebugMarker) != sExpected) {
            return 4;
        }
        EventWriteStringF("%s", sLong.c_str());
        if (ReadFile(k_pchDebugMarker) != sExpected + sLong.substr(0, 511)) {
            return 5;
        }
        // A name without conversions is taken as it is, truncated the same way.
        CScopedEventDuration plain("Ctx", "a.cpp:4", sLong.c_str());
        CScopedEventDuration percent("Ctx", "a.cpp:5", "100%% %s", "done");
        if (std::string(plain.GetName()) != sLong.substr(0, 511) ||
            std::string(percent.GetName()) != "100% done") {
            return 7;
        }
        // A child made by fork names itself, not the process it came from.
        pid_t pidChild = fork();
        if (pidChild == 0) {
            CScopedEventDuration forked("Ctx", "a.cpp:6", "Forked");
            _exit(0);
        }
        int nStatus = 0;
        if (pidChild < 0 || waitpid(pidChild, &nStatus, 0) != pidChild) {
            return 8;
        }
        std::string sForked = " tgid=" + std::to_string(pidChild) + " file=a.cpp:6 Forked";
        return ReadFile(k_pchDebugMarker).find(sForked) != std::string::npos ? 0 : 9;
    });
}

}  // namespace
