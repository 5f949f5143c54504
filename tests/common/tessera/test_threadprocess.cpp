// Process functions of the thread tools with real child processes. Cases that
// install the process-wide child reaper or change the process's own priority
// run inside a child process (RunInChild).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "threadtools.h"
#include "vrassert.h"

namespace {

using halyard_test::RunInChild;
using halyard_test::TempDirTest;
using halyard_test::WaitFor;

using Clock = std::chrono::steady_clock;

// Children of this process that have ended but were not reaped.
int ZombieChildren() {
    int anPairs[4096][2];
    unsigned unCount = ThreadGetProcessListInfo(4096, anPairs);
    int nZombies = 0;
    for (unsigned i = 0; i < unCount && i < 4096; ++i) {
        if (anPairs[i][1] != getpid()) {
            continue;
        }
        std::string sStat =
            halyard_test::ReadFile("/proc/" + std::to_string(anPairs[i][0]) + "/stat");
        size_t nClose = sStat.rfind(')');
        if (nClose != std::string::npos && sStat.size() > nClose + 2 && sStat[nClose + 2] == 'Z') {
            ++nZombies;
        }
    }
    return nZombies;
}

TEST(ThreadProcess, IdsAndOverrides) {
    EXPECT_EQ(ThreadGetCurrentProcessId(), getpid());
    EXPECT_EQ(ThreadGetCurrentProcessHandle(), getpid());
    EXPECT_EQ(ThreadGetProcessParentID(), getppid());
    EXPECT_TRUE(ThreadOverrideCurrentProcessId(4242));
    EXPECT_EQ(ThreadGetCurrentProcessId(), 4242);
    EXPECT_TRUE(ThreadOverrideCurrentProcessId(0));
    EXPECT_EQ(ThreadGetCurrentProcessId(), getpid());
    EXPECT_EQ(ThreadOpenProcess(123), 123);
    EXPECT_FALSE(ThreadCloseProcess(0));
}

TEST(ThreadProcess, LivenessTerminationAndExitCodes) {
    EXPECT_FALSE(ThreadIsProcessActive(0));
    EXPECT_TRUE(ThreadIsProcessActive(getpid()));
    EXPECT_TRUE(ThreadIsProcessActive(1));  // exists even where we may not signal it

    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    int nStatus = -5;
    EXPECT_FALSE(ThreadGetProcessExitCode(pid, &nStatus));  // still running
    EXPECT_TRUE(ThreadTerminateProcessCode(pid));
    ASSERT_TRUE(WaitFor([&] { return ThreadGetProcessExitCode(pid, &nStatus); }));
    EXPECT_EQ(nStatus, -1);  // ended by a signal
    EXPECT_FALSE(ThreadIsProcessActive(pid));
    EXPECT_TRUE(ThreadWaitForProcessExit(pid, 0));

    pid = fork();
    if (pid == 0) {
        _exit(7);
    }
    ASSERT_TRUE(WaitFor([&] { return ThreadGetProcessExitCode(pid, &nStatus); }));
    EXPECT_EQ(nStatus, 7);
    EXPECT_EQ(ZombieChildren(), 0);
}

TEST(ThreadProcess, WaitForExitPollsUntilGoneOrTimeout) {
    // The shell launcher's reaper collects the children, so they really go.
    auto result = RunInChild([] {
        int pidShort = ThreadShellExecute("true", "", nullptr);
        if (pidShort <= 0 || !ThreadWaitForProcessExit(pidShort, 30000)) {
            return 1;
        }
        pid_t pidLong = fork();
        if (pidLong == 0) {
            pause();
            _exit(0);
        }
        auto start = Clock::now();
        if (ThreadWaitForProcessExit(pidLong, 120)) {
            return 2;
        }
        if (Clock::now() - start < std::chrono::milliseconds(100)) {
            return 3;
        }
        kill(pidLong, SIGKILL);
        if (!ThreadWaitForProcessExit(pidLong, 30000)) {
            return 4;
        }
        return ZombieChildren() == 0 ? 0 : 6;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

class ThreadShellExecuteTest : public TempDirTest {};

TEST_F(ThreadShellExecuteTest, RunsInTheDirectoryAndReapsChildren) {
    std::string sDir = TempDir();
    std::string sFile = TempPath("file");
    halyard_test::WriteFile(sFile, "x");
    auto result = RunInChild([&] {
        if (ThreadShellExecute("echo", "x", (sDir + "/missing").c_str()) != 0 ||
            ThreadShellExecute("echo", "x", sFile.c_str()) != 0) {
            return 1;
        }
        int pid = ThreadShellExecute("echo", "\"$PWD\" > out.txt", sDir.c_str());
        if (pid <= 0) {
            return 2;
        }
        if (!WaitFor([&] { return halyard_test::ReadFile(sDir + "/out.txt") == sDir + "\n"; })) {
            return 3;
        }
        // The reaper collects it: it disappears instead of lingering as a zombie.
        if (!WaitFor([&] { return kill(pid, 0) != 0 && errno == ESRCH; })) {
            return 4;
        }
        // "touch <dir>///...///abc" of 2047 bytes runs; one byte more would
        // be cut to "...ab" and touch another file: it does not run at all.
        for (size_t unLength : {2047u, 2048u}) {
            std::string sPath = sDir + std::string(unLength - 9 - sDir.size(), '/') + "abc";
            std::string sCut = sDir + "/ab";
            if (ThreadShellExecute("touch", sPath.c_str(), nullptr) <= 0) {
                if (unLength == 2048) {
                    continue;
                }
                return 6;
            }
            if (!WaitFor([&] {
                    return access((sDir + "/abc").c_str(), F_OK) == 0 ||
                           access(sCut.c_str(), F_OK) == 0;
                }) ||
                unLength == 2048) {
                printf("%zu bytes ran as '%s'\n", unLength,
                       access(sCut.c_str(), F_OK) == 0 ? "touch .../ab" : "touch .../abc");
                return 7;
            }
            unlink((sDir + "/abc").c_str());
        }
        return ZombieChildren() == 0 ? 0 : 5;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

TEST(ThreadProcess, ReaperHoldsDeferReapingUntilTheLastOneEnds) {
    auto result = RunInChild([] {
        if (ThreadShellExecute("true", "", nullptr) <= 0) {
            return 1;
        }
        auto bIsZombie = [](pid_t pid) {
            std::string sStat = halyard_test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
            size_t nClose = sStat.rfind(')');
            return nClose != std::string::npos && sStat.size() > nClose + 2 &&
                   sStat[nClose + 2] == 'Z';
        };
        pid_t pid = 0;
        {
            auto pOuter = std::make_unique<CChildReaperHold>();
            {
                CChildReaperHold inner;
                pid = fork();
                if (pid == 0) {
                    _exit(0);
                }
                // Held: its SIGCHLD comes and goes, and it stays a zombie.
                if (!WaitFor([&] { return bIsZombie(pid); })) {
                    return 2;
                }
            }
            usleep(20000);
            if (!bIsZombie(pid)) {
                return 3;  // the outer hold still keeps the reaper away
            }
            // The holder may collect the status itself meanwhile.
            pid_t pidOwn = fork();
            if (pidOwn == 0) {
                _exit(5);
            }
            int nStatus = 0;
            if (waitpid(pidOwn, &nStatus, 0) != pidOwn || WEXITSTATUS(nStatus) != 5) {
                return 4;
            }
        }
        // The last hold's end reaped what finished in the meantime.
        if (kill(pid, 0) == 0 || errno != ESRCH) {
            return 5;
        }
        return ZombieChildren() == 0 ? 0 : 6;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

TEST(ThreadProcess, CreateSimpleProcessPassesOnTheExitCode) {
    int pid = 0;
    ASSERT_EQ(CreateSimpleProcess("exit 3", nullptr, &pid), 0);
    ASSERT_GT(pid, 0);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 3);

    // The shell ended by a signal: the child reports -1.
    ASSERT_EQ(CreateSimpleProcess("kill -9 $$", nullptr, &pid), 0);
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 255);
    EXPECT_EQ(ZombieChildren(), 0);
}

TEST(ThreadProcess, ProcessListHasParentLinks) {
    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    static int s_anPairs[8192][2];
    unsigned unCount = ThreadGetProcessListInfo(8192, s_anPairs);
    ASSERT_NE(unCount, static_cast<unsigned>(-1));
    bool bSelf = false;
    bool bChild = false;
    for (unsigned i = 0; i < unCount && i < 8192; ++i) {
        bSelf = bSelf || (s_anPairs[i][0] == getpid() && s_anPairs[i][1] == getppid());
        bChild = bChild || (s_anPairs[i][0] == pid && s_anPairs[i][1] == getpid());
    }
    EXPECT_TRUE(bSelf);
    EXPECT_TRUE(bChild);
    // With no room the count is still reported; nothing is written.
    int anOne[1][2] = {{-7, -7}};
    EXPECT_GE(ThreadGetProcessListInfo(0, anOne), 2u);
    EXPECT_EQ(anOne[0][0], -7);
    EXPECT_GE(ThreadGetProcessListInfo(1, anOne), 2u);
    EXPECT_GT(anOne[0][0], 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(ThreadProcess, PriorityClassesAndAffinity) {
    auto result = RunInChild([] {
        int nFailures = 0;
        std::string sMessage;
        CAssertCallback callback;
        callback.Initialize(
            [&](const char* pchMessage, const char*, unsigned, bool bFatal, void*, bool*) {
                sMessage = pchMessage;
                nFailures += bFatal ? 100 : 0;
            },
            nullptr);
        // Lowering is always allowed; raising needs root.
        int nHighest = geteuid() == 0 ? 4 : 2;
        for (int nClass = nHighest; nClass >= 0; --nClass) {
            if (!ThreadSetProcessPriority(0, nClass) || ThreadGetProcessPriority(0) != nClass) {
                printf("class %d gave %d\n", nClass, ThreadGetProcessPriority(0));
                ++nFailures;
            }
        }
        // Every nice value at the edges of the classes, in rising order (only
        // root may lower the nice value again).
        struct NiceClass {
            int nNice;
            int nClass;
        };
        for (NiceClass row : {NiceClass{-20, 4}, NiceClass{-11, 4}, NiceClass{-10, 3},
                              NiceClass{-1, 3}, NiceClass{0, 2}, NiceClass{7, 2}, NiceClass{8, 1},
                              NiceClass{14, 1}, NiceClass{15, 0}, NiceClass{19, 0}}) {
            if (geteuid() != 0 && row.nNice < getpriority(PRIO_PROCESS, 0)) {
                continue;
            }
            if (setpriority(PRIO_PROCESS, 0, row.nNice) != 0 ||
                ThreadGetProcessPriority(0) != row.nClass) {
                printf("nice %d gave class %d\n", row.nNice, ThreadGetProcessPriority(0));
                ++nFailures;
            }
        }
        if (ThreadSetProcessPriority(0, 5) || sMessage != "Unknown priority class!\n") {
            printf("class 5: '%s'\n", sMessage.c_str());
            ++nFailures;
        }
        if (ThreadGetProcessPriority(0x7ffffff0) != 2) {  // no such process
            ++nFailures;
        }
        int nError = -1;
        if (!ThreadSetAffinity(0, 1, &nError) || nError != 0) {
            ++nFailures;
        }
        cpu_set_t set;
        sched_getaffinity(0, sizeof(set), &set);
        if (CPU_COUNT(&set) != 1 || !CPU_ISSET(0, &set)) {
            ++nFailures;
        }
        if (ThreadSetAffinity(0, 0, &nError) || nError != EINVAL) {
            ++nFailures;
        }
        return nFailures;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

}  // namespace
