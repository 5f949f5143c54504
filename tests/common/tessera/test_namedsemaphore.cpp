// Named (cross-process) events, mutexes and semaphores over real System V
// semaphores, with real processes as the other users.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "held_child.h"
#include "log_recorder.h"
#include "pathtools.h"
#include "test_support.h"
#include "threadtools.h"

namespace {

using halyard_test::HeldChild;
using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::WaitFor;

using Clock = std::chrono::steady_clock;

// A name no other test or process uses.
std::string UniqueName(const char* pchWhat) {
    static int s_nCounter = 0;
    return std::string("halyard-test-") + std::to_string(getpid()) + "-" + pchWhat + "-" +
           std::to_string(++s_nCounter);
}

uint32_t Crc(const std::string& s, uint32_t unStart = 0) {
    return tessera::crc32(unStart, s.data(), s.size());
}

int IdForKey(uint32_t unKey) {
    return semget(static_cast<key_t>(unKey), 0, 0);
}

struct SemState {
    int nMode = -1;
    int nValue = -1;
};

SemState StateOf(int nSemId) {
    SemState state;
    struct semid_ds ds;
    if (semctl(nSemId, 0, IPC_STAT, &ds) == 0) {
        state.nMode = ds.sem_perm.mode & 0777;
    }
    state.nValue = semctl(nSemId, 0, GETVAL);
    return state;
}

long ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(NamedSemaphore, KeysPermissionsAndRemoval) {
    const std::string sName = UniqueName("keys");
    uint32_t unGlobalKey = Crc(sName);
    uint32_t unAliceKey = Crc("alice", unGlobalKey);
    uint32_t unBobKey = Crc("bob", unGlobalKey);
    EXPECT_EQ(SemaphoreKeyFromName(sName.c_str(), true), static_cast<key_t>(unGlobalKey));
    EXPECT_EQ(SemaphoreKeyFromName("", true), -1);  // would be the private key
    EXPECT_EQ(SemaphoreKeyFromName(nullptr, true), -1);
    {
        ScopedEnv user("USER", "alice");
        CThreadFullMutex alice(false, sName.c_str(), false);
        ASSERT_FALSE(!alice);
        EXPECT_TRUE(alice.IsNamed());
        EXPECT_TRUE(alice.IsCreator());
        EXPECT_EQ(IdForKey(unAliceKey), alice.GetSemaphoreId());
        EXPECT_EQ(StateOf(alice.GetSemaphoreId()).nMode, 0600);
        EXPECT_EQ(StateOf(alice.GetSemaphoreId()).nValue, 1);

        ScopedEnv other("USER", "bob");
        CThreadFullMutex bob(false, sName.c_str(), false);
        ASSERT_FALSE(!bob);
        EXPECT_TRUE(bob.IsCreator());
        EXPECT_NE(bob.GetSemaphoreId(), alice.GetSemaphoreId());
        EXPECT_EQ(IdForKey(unBobKey), bob.GetSemaphoreId());

        // Global objects ignore the user; a drive prefix is dropped.
        CThreadFullMutex globalBob(true, sName.c_str(), true);
        ScopedEnv third("USER", "carol");
        std::string sWithDrive = "c:" + sName;
        CThreadFullMutex globalCarol(false, sWithDrive.c_str(), true);
        EXPECT_TRUE(globalBob.IsCreator());
        EXPECT_FALSE(globalCarol.IsCreator());
        EXPECT_EQ(globalBob.GetSemaphoreId(), globalCarol.GetSemaphoreId());
        EXPECT_EQ(IdForKey(unGlobalKey), globalBob.GetSemaphoreId());
        EXPECT_EQ(StateOf(globalBob.GetSemaphoreId()).nMode, 0666);
        EXPECT_EQ(StateOf(globalBob.GetSemaphoreId()).nValue, 0);  // initially owned
        EXPECT_FALSE(globalCarol.Wait(0));
        EXPECT_TRUE(globalBob.Release());
        EXPECT_TRUE(globalCarol.Wait(0));
        globalCarol.Release();
    }
    // The creators removed their sets when they went.
    EXPECT_EQ(IdForKey(unAliceKey), -1);
    EXPECT_EQ(IdForKey(unBobKey), -1);
    EXPECT_EQ(IdForKey(unGlobalKey), -1);
    {
        ScopedEnv user("USER", std::nullopt);
        CThreadFullMutex unnamedUser(false, sName.c_str(), false);
        EXPECT_EQ(IdForKey(unGlobalKey), unnamedUser.GetSemaphoreId());
        ScopedEnv empty("USER", "");
        EXPECT_EQ(SemaphoreKeyFromName(sName.c_str(), false), static_cast<key_t>(unGlobalKey));
    }
    CThreadFullMutex refused(false, "", true);
    EXPECT_TRUE(!refused);
    EXPECT_FALSE(refused.Wait(0));
    EXPECT_FALSE(refused.Release());
}

TEST(NamedSemaphore, MutexIsSharedWithOtherProcesses) {
    const std::string sName = UniqueName("mutex");
    CThreadFullMutex mine(false, sName.c_str(), true);
    ASSERT_FALSE(!mine);
    ASSERT_TRUE(mine.Wait(0));

    auto held = RunInChild([&] {
        CThreadFullMutex theirs(false, sName.c_str(), true);
        if (!theirs || theirs.IsCreator()) {
            return 1;
        }
        auto start = Clock::now();
        if (theirs.Wait(0) || ElapsedMs(start) > 200) {
            return 2;  // a zero timeout is one attempt, not a wait
        }
        start = Clock::now();
        if (theirs.Wait(100) || ElapsedMs(start) < 90) {
            return 3;
        }
        return 0;
    });
    EXPECT_EQ(held.exitCode, 0) << held.strStderr;

    ASSERT_TRUE(mine.Release());
    auto freed = RunInChild([&] {
        CThreadFullMutex theirs(false, sName.c_str(), true);
        if (!theirs.Wait(0)) {
            return 1;
        }
        theirs.Release();
        return 0;  // not the creator: leaves the set alone
    });
    EXPECT_EQ(freed.exitCode, 0) << freed.strStderr;
    EXPECT_EQ(StateOf(mine.GetSemaphoreId()).nValue, 1);
    EXPECT_TRUE(mine.Wait(0));
    mine.Release();
}

TEST(NamedSemaphore, HolderKilledWithSigkillIsRecovered) {
    const std::string sName = UniqueName("orphan");
    key_t key = SemaphoreKeyFromName(sName.c_str(), false);
    HeldChild holder([&] {
        CThreadFullMutex* pMutex = new CThreadFullMutex(false, sName.c_str(), false);
        return pMutex->Wait(0) ? 0 : 1;  // held, never released
    });
    ASSERT_EQ(holder.SetupResult(), 0);
    int nHeldId = semget(key, 0, 0);
    ASSERT_GE(nHeldId, 0);
    EXPECT_EQ(StateOf(nHeldId).nValue, 0);
    {
        // While the holder lives the mutex is simply taken.
        CThreadFullMutex waiting(false, sName.c_str(), false);
        EXPECT_FALSE(waiting.IsCreator());
        EXPECT_FALSE(waiting.Wait(0));
    }
    holder.Kill(SIGKILL);

    CThreadFullMutex after(false, sName.c_str(), false);
    ASSERT_FALSE(!after);
    EXPECT_TRUE(after.IsCreator());  // the orphan was removed and made anew
    EXPECT_TRUE(after.Wait(0));
    after.Release();
}

TEST(NamedSemaphore, OpenerDoesNotWaitForeverOnAnUntouchedFreeMutex) {
    // The creator makes the mutex free and never waits on it; a second
    // process must still get in.
    const std::string sName = UniqueName("untouched");
    HeldChild creator([&] {
        auto* pMutex = new CThreadFullMutex(false, sName.c_str(), false);
        return pMutex->IsCreator() ? 0 : 1;
    });
    ASSERT_EQ(creator.SetupResult(), 0);
    halyard_test::ChildOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    auto result = RunInChild(
        [&] {
            CThreadFullMutex second(false, sName.c_str(), false);
            if (!second || second.IsCreator()) {
                return 1;
            }
            return second.Wait(0) ? 0 : 2;
        },
        options);
    EXPECT_FALSE(result.bTimedOut);
    EXPECT_EQ(result.exitCode, 0);
    creator.Kill(SIGKILL);
    // Clean up the set the killed creator left (it is an orphan now).
    EXPECT_EQ(OpenSemaphoreInternal(sName.c_str(), false), -1);
}

TEST(NamedSemaphore, EventsAcrossProcesses) {
    const std::string sName = UniqueName("event");
    CThreadEvent autoEvent(sName.c_str(), false, false);
    ASSERT_FALSE(!autoEvent);
    EXPECT_FALSE(autoEvent.IsManualReset());
    EXPECT_FALSE(autoEvent.Check());
    EXPECT_TRUE(autoEvent.Set());
    EXPECT_TRUE(autoEvent.Set());  // setting twice leaves one unit
    EXPECT_EQ(StateOf(autoEvent.GetSemaphoreId()).nValue, 1);
    EXPECT_TRUE(autoEvent.Check());
    EXPECT_FALSE(autoEvent.Check());

    const std::string sManual = UniqueName("manual");
    CThreadEvent manual(sManual.c_str(), false, true);
    auto setter = RunInChild([&] {
        CThreadEvent theirs(sManual.c_str(), false, true);
        return theirs.GetSemaphoreId() >= 0 && theirs.Set() ? 0 : 1;
    });
    EXPECT_EQ(setter.exitCode, 0);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // stays set
    EXPECT_EQ(StateOf(manual.GetSemaphoreId()).nValue, 1);
    EXPECT_TRUE(manual.Reset());
    EXPECT_FALSE(manual.Check());
    EXPECT_EQ(StateOf(manual.GetSemaphoreId()).nValue, 0);

    // The same name asked for in the other mode uses the existing event.
    CThreadEvent other(sManual.c_str(), false, false);
    ASSERT_FALSE(!other);
    EXPECT_TRUE(other.IsManualReset());
    EXPECT_EQ(other.GetSemaphoreId(), manual.GetSemaphoreId());
    EXPECT_EQ(semget(SemaphoreKeyFromName(("/e" + sManual).c_str(), false), 0, 0), -1);
}

TEST(NamedSemaphore, InfiniteWaitIsWokenByAnotherProcess) {
    const std::string sName = UniqueName("wake");
    CThreadEvent event(sName.c_str(), true, false);
    std::atomic<bool> bWoken{false};
    std::thread waiter([&] { bWoken = event.Wait(); });
    // The waiter shows up in the kernel's count of processes waiting.
    ASSERT_TRUE(WaitFor([&] { return semctl(event.GetSemaphoreId(), 0, GETNCNT) == 1; }));
    auto result = RunInChild([&] {
        CThreadEvent theirs(sName.c_str(), true, false);
        return theirs.Set() ? 0 : 1;
    });
    EXPECT_EQ(result.exitCode, 0);
    waiter.join();
    EXPECT_TRUE(bWoken.load());
}

TEST(NamedSemaphore, CountingSemaphore) {
    CThreadSemaphore invalid(1, 0);
    EXPECT_TRUE(!invalid);
    EXPECT_FALSE(invalid.Wait(0));
    EXPECT_FALSE(invalid.Release());

    auto* pSemaphore = new CThreadSemaphore(2, 5);
    ASSERT_FALSE(!*pSemaphore);
    int nId = pSemaphore->GetSemaphoreId();
    struct semid_ds ds;
    ASSERT_EQ(semctl(nId, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_perm.__key, IPC_PRIVATE);  // no other process can find it
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0600);
    EXPECT_TRUE(pSemaphore->Wait(0));
    EXPECT_TRUE(pSemaphore->Wait(0));
    EXPECT_FALSE(pSemaphore->Wait(0));
    EXPECT_TRUE(pSemaphore->Release(3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(pSemaphore->Wait(10));
    }
    EXPECT_FALSE(pSemaphore->Wait(0));
    delete pSemaphore;
    EXPECT_NE(semctl(nId, 0, IPC_STAT, &ds), 0);  // removed
}

TEST(NamedSemaphore, CountingSemaphoresOfProcessesWithTheSameAddressAreSeparate) {
    // Without address randomisation (under a debugger, say) every run of a
    // program puts its objects at the same addresses. In a private IPC
    // namespace: the address must lead to nobody else's semaphore.
    auto result = RunInChild([] {
        if (unshare(CLONE_NEWIPC) != 0) {
            printf("unshare(CLONE_NEWIPC): %s\n", strerror(errno));
            return 77;
        }
        alignas(CThreadSemaphore) static unsigned char s_rgStorage[sizeof(CThreadSemaphore)];
        auto* pMine = new (s_rgStorage) CThreadSemaphore(0, 1);
        pid_t pid = fork();
        if (pid == 0) {
            // Another program's semaphore at the very same address.
            auto* pTheirs = new (s_rgStorage) CThreadSemaphore(0, 1);
            _exit(pTheirs->Release(1) ? 0 : 1);
        }
        int nStatus = 0;
        if (waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
            return 2;
        }
        bool bShared = pMine->Wait(0);
        pMine->~CThreadSemaphore();
        return bShared ? 1 : 0;
    });
    if (result.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private IPC namespace: " << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << "1: the other process's release reached this semaphore";
}

TEST(NamedSemaphore, OrphanThatCannotBeRemovedEndsTheAttempt) {
    // Root's instance crashed and left its global set; another user may open
    // it (mode 0666) but not remove it. In a private IPC namespace.
    halyard_test::ChildOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    auto result = RunInChild(
        [] {
            if (unshare(CLONE_NEWIPC) != 0) {
                printf("unshare(CLONE_NEWIPC): %s\n", strerror(errno));
                return 77;
            }
            const char* pchName = "/Global\\halyard";
            int nLeft = semget(SemaphoreKeyFromName(pchName, true), 1, IPC_CREAT | IPC_EXCL | 0666);
            if (nLeft < 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                printf("cannot leave a set as root for another user\n");
                return 77;
            }
            halyard_test::LogRecorder recorder;
            CThreadFullMutex mutex(false, pchName, true);
            std::string sExpected =
                "Failed to create semaphore '/Global\\halyard': its orphaned "
                "semaphore (id " +
                std::to_string(nLeft) + ") cannot be removed: Operation not permitted\n";
            if (!mutex && errno == EPERM && recorder.Has(sExpected, LogLevel_Error)) {
                return 0;
            }
            printf("%s", recorder.All().c_str());
            return 1;
        },
        options);
    if (result.exitCode == 77) {
        GTEST_SKIP() << "needs root: " << result.strStdout;
    }
    EXPECT_FALSE(result.bTimedOut) << "creation spun on the orphan";
    EXPECT_EQ(result.exitCode, 0) << result.strStdout;
}

TEST(NamedSemaphore, CreationSweepsOrphansWhenTheMachineIsOutOfSets) {
    // Runs in a private IPC namespace with room for three sets, so the sweep
    // never touches anybody else's semaphores.
    auto result = RunInChild([] {
        if (unshare(CLONE_NEWIPC) != 0) {
            printf("unshare(CLONE_NEWIPC): %s\n", strerror(errno));
            return 77;
        }
        FILE* pLimits = fopen("/proc/sys/kernel/sem", "w");
        if (!pLimits || fprintf(pLimits, "250 32000 32 3\n") < 0 || fclose(pLimits) != 0) {
            printf("cannot set the semaphore limits\n");
            return 77;
        }
        // Two orphans: their holders end without cleaning up.
        for (const char* pchName : {"orphan-a", "orphan-b"}) {
            pid_t pid = fork();
            if (pid == 0) {
                CThreadFullMutex* pMutex = new CThreadFullMutex(false, pchName, true);
                _exit(pMutex->Wait(0) ? 0 : 1);
            }
            int nStatus = 0;
            waitpid(pid, &nStatus, 0);
            if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
                return 1;
            }
        }
        CThreadFullMutex live(false, "live", true);
        if (!live.Wait(0)) {
            return 2;
        }
        if (semget(SemaphoreKeyFromName("extra", true), 1, IPC_CREAT | IPC_EXCL | 0600) >= 0 ||
            errno != ENOSPC) {
            return 3;  // the namespace is not full as planned
        }
        CThreadFullMutex fresh(false, "fresh", true);
        if (!fresh || !fresh.IsCreator() || !fresh.Wait(0)) {
            return 4;
        }
        if (OpenSemaphoreInternal("orphan-a", true) != -1 ||
            semget(SemaphoreKeyFromName("orphan-b", true), 0, 0) != -1) {
            return 5;
        }
        struct semid_ds ds;
        return semctl(live.GetSemaphoreId(), 0, IPC_STAT, &ds) == 0 ? 0 : 6;
    });
    if (result.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private IPC namespace: " << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

}  // namespace
