// The single-instance guard across real processes: holders are forked
// children that keep their guard in a static object, as a program does, so a
// normal exit releases and removes the lock and SIGKILL does not.
#include "singleappinstance.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/ptrace.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "held_child.h"
#include "pathtools.h"
#include "test_support.h"
#include "threadtools.h"

namespace {

using halyard_test::HeldChild;
using halyard_test::RunInChild;

std::string UniqueName(const char* pchWhat) {
    static int s_nCounter = 0;
    return std::string("halyard-test-guard-") + std::to_string(getpid()) + "-" + pchWhat + "-" +
           std::to_string(++s_nCounter);
}

// The lock's semaphore id, -1 when there is none.
int LockId(const std::string& sLockName) {
    return semget(static_cast<key_t>(tessera::crc32(0, sLockName.data(), sLockName.size())), 0, 0);
}

// A holder process: its guard is a static, destroyed by exit(). Like a
// program that forks a helper, it has had a child that left through exit()
// (and so ran the inherited guard's destructor) before it reports ready.
HeldChild* StartHolder(const std::string& sName) {
    return new HeldChild([sName] {
        static CSingleAppInstance s_guard(sName.c_str(), false);
        fflush(nullptr);
        pid_t pidHelper = fork();
        if (pidHelper == 0) {
            exit(0);
        }
        int nStatus = 0;
        waitpid(pidHelper, &nStatus, 0);
        return s_guard.CheckForOtherRunningInstances(false) ? 1 : 0;
    });
}

// 0: this child is the only instance; 3: another instance runs.
int ProbeInChild(const std::string& sName) {
    auto result = RunInChild([&] {
        CSingleAppInstance guard(sName.c_str(), false);
        return guard.CheckForOtherRunningInstances(false) ? 3 : 0;
    });
    return result.exitCode;
}

TEST(SingleAppInstance, SecondProcessSeesTheFirstUntilItExits) {
    const std::string sName = UniqueName("exit");
    const std::string sLock = "/Global\\" + sName;
    std::unique_ptr<HeldChild> first(StartHolder(sName));
    ASSERT_EQ(first->SetupResult(), 0);

    // Machine-wide and held: shared by all users, value 0.
    int nId = LockId(sLock);
    ASSERT_GE(nId, 0);
    struct semid_ds ds;
    ASSERT_EQ(semctl(nId, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666);
    EXPECT_EQ(semctl(nId, 0, GETVAL), 0);

    EXPECT_EQ(ProbeInChild(sName), 3);
    {
        halyard_test::ScopedEnv user("USER", "someone-else");
        EXPECT_EQ(ProbeInChild(sName), 3);  // not per user
    }
    // The name already carrying the prefix names the same lock.
    EXPECT_EQ(ProbeInChild("Global\\" + sName), 3);

    int nStatus = first->ExitNormally();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    EXPECT_EQ(LockId(sLock), -1);  // released and removed at exit

    std::unique_ptr<HeldChild> third(StartHolder(sName));
    EXPECT_EQ(third->SetupResult(), 0);
    EXPECT_EQ(ProbeInChild(sName), 3);
    third->ExitNormally();
    EXPECT_EQ(LockId(sLock), -1);
}

TEST(SingleAppInstance, LettingGoLeavesNoMomentWhenTheLockIsFreeButAboutToGo) {
    // Follows a holder letting go of its guard one system call at a time,
    // reading the lock's value at every stop: had it been free at some point
    // and been removed afterwards, a newcomer could have taken a lock that
    // vanished under it (and a third instance would then start too).
    const std::string sName = UniqueName("window");
    auto result = RunInChild([&] {
        int rgnReady[2];
        int rgnGo[2];
        if (pipe(rgnReady) != 0 || pipe(rgnGo) != 0) {
            return 10;
        }
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            // Ends with the guard's destructor and _exit: a leak check at
            // exit (sanitizers) would itself need to trace this process.
            auto* pGuard = new CSingleAppInstance(sName.c_str(), false);
            char ch = pGuard->CheckForOtherRunningInstances(false) ? 1 : 0;
            if (write(rgnReady[1], &ch, 1) != 1 || read(rgnGo[0], &ch, 1) != 1) {
                _exit(2);
            }
            delete pGuard;
            _exit(0);
        }
        char chReady = 1;
        if (read(rgnReady[0], &chReady, 1) != 1 || chReady != 0) {
            return 11;
        }
        int nId = LockId("/Global\\" + sName);
        int nStatus = 0;
        if (ptrace(PTRACE_SEIZE, pid, 0, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0 ||
            ptrace(PTRACE_INTERRUPT, pid, 0, 0) != 0 || waitpid(pid, &nStatus, 0) != pid) {
            printf("cannot trace the holder: %s\n", strerror(errno));
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return 77;
        }
        if (write(rgnGo[1], "x", 1) != 1) {
            return 12;
        }
        bool bSeenFree = false;
        int nSignal = 0;
        while (ptrace(PTRACE_SYSCALL, pid, 0, nSignal) == 0 && waitpid(pid, &nStatus, 0) == pid &&
               WIFSTOPPED(nStatus)) {
            nSignal = 0;
            if (WSTOPSIG(nStatus) == (SIGTRAP | 0x80)) {
                bSeenFree = bSeenFree || semctl(nId, 0, GETVAL) == 1;
            } else if ((nStatus >> 16) == 0) {
                nSignal = WSTOPSIG(nStatus);  // a signal for the holder: pass it on
            }
        }
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
            return 13;
        }
        bool bRemoved = semctl(nId, 0, GETVAL) < 0;
        return bSeenFree && bRemoved ? 1 : 0;
    });
    if (result.exitCode == 77) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << "1: the lock was free and then removed; " << result.strStdout;
    EXPECT_EQ(LockId("/Global\\" + sName), -1);
}

TEST(SingleAppInstance, KilledHolderIsRecovered) {
    const std::string sName = UniqueName("kill");
    std::unique_ptr<HeldChild> first(StartHolder(sName));
    ASSERT_EQ(first->SetupResult(), 0);
    EXPECT_EQ(ProbeInChild(sName), 3);
    first->Kill(SIGKILL);
    EXPECT_GE(LockId("/Global\\" + sName), 0);  // left behind, still taken

    std::unique_ptr<HeldChild> third(StartHolder(sName));
    EXPECT_EQ(third->SetupResult(), 0);
    third->ExitNormally();
    EXPECT_EQ(LockId("/Global\\" + sName), -1);
}

TEST(SingleAppInstance, ExitIfRunningEndsTheSecondWithStatusZero) {
    const std::string sName = UniqueName("leave");
    std::unique_ptr<HeldChild> first(StartHolder(sName));
    ASSERT_EQ(first->SetupResult(), 0);

    auto constructed = RunInChild([&] {
        CSingleAppInstance guard(sName.c_str(), true);
        printf("returned\n");
        return 42;
    });
    EXPECT_TRUE(constructed.bExited);
    EXPECT_EQ(constructed.exitCode, 0);
    EXPECT_EQ(constructed.strStdout, "");

    auto checked = RunInChild([&] {
        CSingleAppInstance guard(sName.c_str(), false);
        guard.CheckForOtherRunningInstances(true);
        printf("returned\n");
        return 42;
    });
    EXPECT_EQ(checked.exitCode, 0);
    EXPECT_EQ(checked.strStdout, "");

    // The leavers did not disturb the holder's lock.
    EXPECT_EQ(ProbeInChild(sName), 3);
    first->ExitNormally();
    // Alone, exit-if-running returns normally.
    auto alone = RunInChild([&] {
        CSingleAppInstance guard(sName.c_str(), true);
        return guard.CheckForOtherRunningInstances(true) ? 1 : 42;
    });
    EXPECT_EQ(alone.exitCode, 42);
}

TEST(SingleAppInstance, UnusableNamesGuardNothing) {
    std::string sLong(260, 'x');
    std::string sLongest(259, 'y');
    for (const char* pchName : {static_cast<const char*>(nullptr), "", sLong.c_str()}) {
        CSingleAppInstance first(pchName, true);
        CSingleAppInstance second(pchName, true);
        EXPECT_FALSE(first.CheckForOtherRunningInstances(false));
        EXPECT_FALSE(second.CheckForOtherRunningInstances(true));
    }
    EXPECT_EQ(LockId("/Global\\"), -1);
    EXPECT_EQ(LockId("/Global\\" + sLong), -1);
    {
        CSingleAppInstance longest(sLongest.c_str(), false);
        EXPECT_FALSE(longest.CheckForOtherRunningInstances(false));
        // The lock name is cut to 260 bytes.
        EXPECT_GE(LockId(("/Global\\" + sLongest).substr(0, 260)), 0);
        EXPECT_EQ(ProbeInChild(sLongest), 3);
    }
    EXPECT_EQ(LockId(("/Global\\" + sLongest).substr(0, 260)), -1);
}

TEST(SingleAppInstance, LockThatCannotBeCreatedIsReportedAndRunsUnguarded) {
    // A private IPC namespace that allows no semaphore sets at all.
    auto result = RunInChild([] {
        FILE* pLimits = nullptr;
        if (unshare(CLONE_NEWIPC) != 0 || !(pLimits = fopen("/proc/sys/kernel/sem", "w")) ||
            fprintf(pLimits, "250 32000 32 0\n") < 0 || fclose(pLimits) != 0) {
            printf("cannot make an IPC namespace without semaphores\n");
            return 77;
        }
        CSingleAppInstance guard("halyard", true);  // must not leave
        return guard.CheckForOtherRunningInstances(false) ? 1 : 0;
    });
    if (result.exitCode == 77) {
        GTEST_SKIP() << result.strStdout << " (needs root)";
    }
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr,
              "CSingleAppInstance: cannot create the single-instance lock '/Global\\halyard' (No "
              "space left on device); running without it\n");
}

}  // namespace
