// Thread priorities through the run-time loaded SDL2 library and the direct
// scheduler fallback. SDL is loaded once per process, so every case runs in a
// child process; the child prints what it logged and the parent checks it.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>

#include "log_recorder.h"
#include "mount_namespace.h"
#include "sdldynamic.h"
#include "test_support.h"
#include "threadtools.h"

namespace {

using halyard_test::k_nChildSkip;
using halyard_test::LogRecorder;
using halyard_test::RunInChild;
using ::testing::HasSubstr;
using ::testing::Not;

std::string Hex(pthread_t hThread) {
    char rch[32];
    snprintf(rch, sizeof(rch), "%p", reinterpret_cast<void*>(hThread));
    return rch;
}

// Prints the recorded lines as "<level>|<text>" so the parent can match them.
void PrintLog(LogRecorder& recorder) {
    for (const auto& line : recorder.Lines()) {
        printf("%d|%s", static_cast<int>(line.level), line.text.c_str());
    }
}

int ThreadNice() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

int Policy() {
    return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

std::string SdlLibraryPath() {
    for (const char* pchDir :
         {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib", "/usr/lib64"}) {
        std::string sPath = std::string(pchDir) + "/libSDL2-2.0.so.0";
        char rchReal[PATH_MAX];
        if (realpath(sPath.c_str(), rchReal)) {
            return rchReal;
        }
    }
    return "";
}

TEST(ThreadPriority, OutOfRangeIsRefusedAndLogged) {
    LogRecorder recorder;
    int nPolicyBefore = Policy();
    EXPECT_FALSE(ThreadSetPriority(0, 16));
    EXPECT_FALSE(ThreadSetPriority(pthread_self(), -16));
    std::string sSelf = Hex(pthread_self());
    EXPECT_TRUE(recorder.Has("Failed to set thread " + sSelf + " priority: invalid priority 16\n",
                             LogLevel_Error));
    EXPECT_TRUE(recorder.Has("Failed to set thread " + sSelf + " priority: invalid priority -16\n",
                             LogLevel_Error));
    EXPECT_EQ(recorder.Lines().size(), 2u);
    EXPECT_EQ(Policy(), nPolicyBefore);
}

TEST(ThreadPriority, ThroughSDLAndForForeignThreads) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "raising a thread to real-time priority needs root";
    }
    if (SdlLibraryPath().empty()) {
        GTEST_SKIP() << "libSDL2-2.0.so.0 is not installed (scripts/setup-deps.sh installs it)";
    }
    auto result = RunInChild([] {
        LogRecorder recorder;
        printf("SELF %s\n", Hex(pthread_self()).c_str());
        bool bHigh = ThreadSetPriority(0, 5);
        // SDL raises a thread through its nice value (or a real-time policy).
        printf("HIGH %d raised %d reset-on-fork %d\n", bHigh,
               ThreadNice() < 0 || Policy() == SCHED_RR,
               (sched_getscheduler(0) & SCHED_RESET_ON_FORK) != 0);
        bool bNormal = ThreadSetPriority(0, 0);
        printf("NORMAL %d policy %d nice %d\n", bNormal, Policy(), ThreadNice());

        // Another thread's priority is set directly, not through SDL.
        std::atomic<bool> bStop{false};
        std::thread other([&] {
            while (!bStop) {
                ThreadSleep(1);
            }
        });
        printf("OTHER %s\n", Hex(other.native_handle()).c_str());
        bool bForeign = ThreadSetPriority(other.native_handle(), 3);
        printf("FOREIGN %d priority %d\n", bForeign, ThreadGetPriority(other.native_handle()));
        bStop = true;
        other.join();
        PrintLog(recorder);
        return 0;
    });
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    const std::string& out = result.strStdout;
    std::string sSelf = out.substr(5, out.find('\n') - 5);
    size_t nOther = out.find("OTHER ");
    std::string sOther = out.substr(nOther + 6, out.find('\n', nOther) - nOther - 6);
    EXPECT_THAT(out, HasSubstr("HIGH 1 raised 1 reset-on-fork 1\n"));
    EXPECT_THAT(out, HasSubstr("NORMAL 1 policy " + std::to_string(SCHED_OTHER) + " nice 0\n"));
    EXPECT_THAT(out, HasSubstr("FOREIGN 1 priority " +
                               std::to_string(sched_get_priority_max(SCHED_RR)) + "\n"));
    EXPECT_THAT(out, HasSubstr("3|Set thread " + sSelf + " priority to: 5\n"));
    EXPECT_THAT(out, HasSubstr("3|Set thread " + sSelf + " priority to: 0\n"));
    EXPECT_THAT(out, HasSubstr("1|Failed to set thread priority: foreign thread unsupported\n"));
    EXPECT_THAT(out, HasSubstr("3|Set thread " + sOther + " priority to: 3\n"));
    EXPECT_THAT(out, Not(HasSubstr("failed to load dynamic SDL")));
    EXPECT_THAT(out, Not(HasSubstr("set failed")));
}

TEST(ThreadPriority, WithoutSDLFallsBackToTheScheduler) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "hiding the library in a private mount namespace needs root";
    }
    std::string sLibrary = SdlLibraryPath();
    auto result = RunInChild([&] {
        std::string sError = halyard_test::EnterPrivateMountNamespace();
        if (sError.empty() && !sLibrary.empty()) {
            sError = halyard_test::BindMount("/dev/null", sLibrary);
        }
        if (!sError.empty()) {
            printf("%s\n", sError.c_str());
            return k_nChildSkip;
        }
        LogRecorder recorder;
        printf("SELF %s\n", Hex(pthread_self()).c_str());
        bool bSet = ThreadSetPriority(0, 3);
        printf("SET %d policy %d\n", bSet, Policy());
        printf("LAPTOP %d\n", IsOnLaptop());
        bool bAgain = ThreadSetPriority(0, -2);
        printf("AGAIN %d\n", bAgain);
        PrintLog(recorder);
        return 0;
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    const std::string& out = result.strStdout;
    std::string sSelf = out.substr(5, out.find('\n') - 5);
    EXPECT_THAT(out, HasSubstr("SET 1 policy " + std::to_string(SCHED_RR) + "\n"));
    EXPECT_THAT(out, HasSubstr("LAPTOP 0\n"));
    EXPECT_THAT(out, HasSubstr("AGAIN 1\n"));
    EXPECT_THAT(out, HasSubstr("1|Error: failed to load dynamic SDL\n"));
    EXPECT_EQ(out.find("failed to load dynamic SDL"), out.rfind("failed to load dynamic SDL"));
    EXPECT_THAT(out, HasSubstr("1|Failed to set thread " + sSelf +
                               " priority: set failed for 3: -1: Unknown error\n"));
    EXPECT_THAT(out, HasSubstr("3|Set thread " + sSelf + " priority to: 3\n"));
    EXPECT_THAT(out, HasSubstr("1|Failed to set thread " + sSelf +
                               " priority: set failed for -2: -1: Unknown error\n"));
    EXPECT_THAT(out, HasSubstr("3|Set thread " + sSelf + " priority to: -2\n"));
}

TEST(ThreadPriority, RefusedBySDLAndSchedulerWhenUnprivileged) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to drop to an unprivileged user";
    }
    if (SdlLibraryPath().empty()) {
        GTEST_SKIP() << "libSDL2-2.0.so.0 is not installed";
    }
    auto result = RunInChild([] {
        struct rlimit noRealtime = {0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &noRealtime) != 0 || setgid(65534) != 0 ||
            setuid(65534) != 0) {
            printf("cannot drop privileges\n");
            return k_nChildSkip;
        }
        LogRecorder recorder;
        printf("SELF %s\n", Hex(pthread_self()).c_str());
        bool bSet = ThreadSetPriority(0, 5);
        printf("SET %d policy %d\n", bSet, Policy());
        PrintLog(recorder);
        return 0;
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    const std::string& out = result.strStdout;
    std::string sSelf = out.substr(5, out.find('\n') - 5);
    EXPECT_THAT(out, HasSubstr("SET 0 policy " + std::to_string(SCHED_OTHER) + "\n"));
    // SDL's own error text follows its result.
    EXPECT_THAT(out,
                HasSubstr("1|Failed to set thread " + sSelf + " priority: set failed for 5: -1: "));
    EXPECT_THAT(out, Not(HasSubstr("Unknown error")));
    EXPECT_THAT(out, HasSubstr("1|Failed to set thread priority: setschedparam failed 5: " +
                               std::to_string(EPERM) + "\n"));
    EXPECT_THAT(out,
                HasSubstr("1|Failed to set thread " + sSelf + " priority: invalid priority 5\n"));
}

TEST(ThreadPriority, LaptopQueryMatchesThePowerSupplies) {
    if (SdlLibraryPath().empty()) {
        GTEST_SKIP() << "libSDL2-2.0.so.0 is not installed";
    }
    // A laptop is a machine with a battery among its power supplies.
    bool bBattery = false;
    if (DIR* pDir = opendir("/sys/class/power_supply")) {
        while (struct dirent* pEntry = readdir(pDir)) {
            std::string sType = halyard_test::ReadFile(std::string("/sys/class/power_supply/") +
                                                       pEntry->d_name + "/type");
            bBattery = bBattery || sType.rfind("Battery", 0) == 0;
        }
        closedir(pDir);
    }
    auto result = RunInChild([] {
        LogRecorder recorder;
        bool bLaptop = IsOnLaptop();
        return (bLaptop ? 1 : 0) + (recorder.Lines().empty() ? 0 : 10);
    });
    EXPECT_EQ(result.exitCode, bBattery ? 1 : 0);
}

}  // namespace
