// Thread ids and names, sleeps, interlocked operations, thread-local slots,
// the anonymous sync objects, the spin and reader-writer locks, CThread and
// simple threads, all with real threads.
#include "threadtools.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "log_recorder.h"
#include "test_support.h"
#include "vrassert.h"

namespace {

// Added to the wall clock as this process reads it, to stand for a step of
// the system clock, which a test must not set for the whole machine.
std::atomic<int64_t> s_nWallClockShiftSeconds{0};

}  // namespace

// The code under test reads the clock through this definition rather than the
// C library's; the kernel's timed waits keep using the real clock.
extern "C" int clock_gettime(clockid_t clock, struct timespec* pTime) {
    long nResult = syscall(SYS_clock_gettime, clock, pTime);
    if (nResult == 0 && clock == CLOCK_REALTIME) {
        pTime->tv_sec += s_nWallClockShiftSeconds.load();
    }
    return static_cast<int>(nResult);
}

namespace {

using halyard_test::LogRecorder;
using halyard_test::RunInChild;
using halyard_test::WaitFor;

using Clock = std::chrono::steady_clock;

int KernelTid() {
    return static_cast<int>(syscall(SYS_gettid));
}

std::string OsThreadName(int tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string sName;
    std::getline(file, sName);
    return sName;
}

long ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ThreadIds, KernelIdsMainThreadAndNames) {
    EXPECT_EQ(ThreadGetCurrentId(), KernelTid());
    EXPECT_EQ(ThreadGetCurrentRunningRef(), KernelTid());
    EXPECT_TRUE(pthread_equal(ThreadGetCurrentHandle(), pthread_self()));
    // The id recorded during static initialisation is this (the main) thread's.
    EXPECT_EQ(g_ThreadMainThreadID, getpid());
    EXPECT_TRUE(ThreadInMainThread());

    int nOtherId = 0;
    bool bOtherInMain = true;
    std::string sOsName;
    std::thread other([&] {
        nOtherId = ThreadGetCurrentId();
        bOtherInMain = ThreadInMainThread();
        EXPECT_EQ(nOtherId, KernelTid());
        ThreadSetDebugName("abcdefghijklmnopqrst");  // 20 characters
        sOsName = OsThreadName(KernelTid());
        ThreadSetDebugName(nullptr);
        EXPECT_EQ(OsThreadName(KernelTid()), sOsName);
    });
    other.join();
    EXPECT_NE(nOtherId, ThreadGetCurrentId());
    EXPECT_FALSE(bOtherInMain);
    EXPECT_EQ(sOsName, "abcdefghijklmno");
}

TEST(ThreadIds, ForkAfterCachingIsCaught) {
    ThreadGetCurrentId();  // cache this thread's id
    auto result = RunInChild([] {
        std::string sMessage;
        bool bFatal = false;
        CAssertCallback callback;
        callback.Initialize(
            [&](const char* pchMessage, const char*, unsigned, bool bIsFatal, void*, bool*) {
                sMessage = pchMessage;
                bFatal = bIsFatal;
            },
            nullptr);
        VerifyTidIntegrity();
        std::string sExpected = "VerifyTidIntegrity failed for thread " +
                                std::to_string(KernelTid()) +
                                ". Most likely this process was forked after calling "
                                "ThreadGetCurrentId.";
        if (sMessage != sExpected || !bFatal) {
            printf("got '%s'\n", sMessage.c_str());
            return 1;
        }
        // A fresh declaration moves the main thread; uncached ids are exact.
        g_bNoCacheThreadIds = true;
        if (ThreadGetCurrentId() != KernelTid()) {
            return 2;
        }
        DeclareCurrentThreadIsMainThread();
        return ThreadInMainThread() && g_ThreadMainThreadID == getpid() ? 0 : 3;
    });
    EXPECT_TRUE(result.bExited) << result.strStderr;
    EXPECT_EQ(result.exitCode, 0) << result.strStdout;
}

TEST(ThreadSleep, SleepsAtLeastTheTimeAndZeroYields) {
    auto start = Clock::now();
    ThreadSleep(30);
    EXPECT_GE(ElapsedMs(start), 30);
    start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        ThreadSleep(0);
        ThreadYield();
    }
    // A thousand 1 ms sleeps could not finish this fast on any machine.
    EXPECT_LT(ElapsedMs(start), 1000);

    // Even a zero-length sleep blocks the thread, which the kernel counts as
    // a voluntary switch; a yield leaves the thread runnable and never does.
    auto voluntarySwitches = [] {
        struct rusage usage = {};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_nvcsw;
    };
    long nBefore = voluntarySwitches();
    for (int i = 0; i < 200; ++i) {
        ThreadSleep(0);
    }
    EXPECT_LT(voluntarySwitches() - nBefore, 20);
    nBefore = voluntarySwitches();
    ThreadSleep(1);
    EXPECT_GE(voluntarySwitches() - nBefore, 1);  // the counter does count sleeps
}

TEST(ThreadSpin, SpinWaitAndOneTimeInit) {
    volatile int nValue = 0;
    std::thread setter([&] {
        ThreadSleep(5);
        __atomic_store_n(&nValue, 7, __ATOMIC_RELEASE);
    });
    EXPECT_EQ(ThreadSpinWaitForValue(&nValue, 7), 7);
    setter.join();

    volatile int nFlag = 0;
    int nPayload = 0;  // written by the winner before it opens the gate
    std::atomic<int> nWinners{0};
    std::atomic<int> nSawPayload{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            if (ThreadImplOneTimeInit(&nFlag)) {
                ++nWinners;
                ThreadSleep(10);
                nPayload = 42;
                __atomic_store_n(&nFlag, 1, __ATOMIC_RELEASE);
            }
            if (nPayload == 42) {
                ++nSawPayload;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(nWinners.load(), 1);
    EXPECT_EQ(nSawPayload.load(), 4);
    EXPECT_FALSE(ThreadImplOneTimeInit(&nFlag));
}

TEST(Interlocked, ResultsAndAtomicityUnderContention) {
    int32_t n = 5;
    EXPECT_EQ(ThreadInterlockedIncrement(&n), 6);
    EXPECT_EQ(ThreadInterlockedDecrement(&n), 5);
    EXPECT_EQ(ThreadInterlockedExchange(&n, 9), 5);
    EXPECT_EQ(ThreadInterlockedExchangeAdd(&n, 3), 9);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(ThreadInterlockedCompareExchange(&n, 1, 99), 12);  // no store
    EXPECT_EQ(n, 12);
    EXPECT_EQ(ThreadInterlockedCompareExchange(&n, 1, 12), 12);
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(ThreadInterlockedAssignIf(&n, 2, 0));
    EXPECT_TRUE(ThreadInterlockedAssignIf(&n, 2, 1));
    EXPECT_EQ(n, 2);

    int64_t n64 = int64_t(1) << 40;
    EXPECT_EQ(ThreadInterlockedIncrement64(&n64), (int64_t(1) << 40) + 1);
    EXPECT_EQ(ThreadInterlockedDecrement64(&n64), int64_t(1) << 40);
    EXPECT_EQ(ThreadInterlockedExchangeAdd64(&n64, 1), int64_t(1) << 40);
    EXPECT_EQ(ThreadInterlockedExchange64(&n64, -1), (int64_t(1) << 40) + 1);
    EXPECT_EQ(ThreadInterlockedCompareExchange64(&n64, 3, -1), -1);
    EXPECT_TRUE(ThreadInterlockedAssignIf64(&n64, 4, 3));
    EXPECT_FALSE(ThreadInterlockedAssignIf64(&n64, 5, 3));
    EXPECT_EQ(n64, 4);

    int a = 0, b = 0;
    void* p = &a;
    EXPECT_EQ(ThreadInterlockedExchangePointer(&p, &b), &a);
    EXPECT_EQ(ThreadInterlockedCompareExchangePointer(&p, &a, &a), &b);  // no store
    EXPECT_TRUE(ThreadInterlockedAssignPointerIf(&p, &a, &b));
    EXPECT_EQ(p, &a);
    int* pTyped = &a;
    EXPECT_EQ(ThreadInterlockedExchangePointer(&pTyped, &b), &a);
    EXPECT_FALSE(ThreadInterlockedAssignPointerIf(&pTyped, &a, &a));

    int32_t nCounter = 0;
    int64_t nCounter64 = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ThreadInterlockedIncrement(&nCounter);
                ThreadInterlockedExchangeAdd64(&nCounter64, 2);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(nCounter, 80000);
    EXPECT_EQ(nCounter64, 160000);
}

TEST(ThreadLocal, EachThreadSeesItsOwnValue) {
    CThreadLocalInt<int> tlInt;
    CThreadLocalPtr<int> tlPtr;
    int nMine = 1;
    tlInt = 11;
    tlPtr = &nMine;
    int nOtherInitial = -1;
    int* pOtherInitial = &nMine;
    std::thread other([&] {
        nOtherInitial = tlInt;
        pOtherInitial = tlPtr;
        tlInt = 22;
        ++tlInt;
        EXPECT_EQ(tlInt.Get(), 23);
    });
    other.join();
    EXPECT_EQ(nOtherInitial, 0);
    EXPECT_EQ(pOtherInitial, nullptr);
    EXPECT_EQ(tlInt.Get(), 11);
    EXPECT_EQ(tlPtr.Get(), &nMine);
}

TEST(ThreadLocal, OutOfKeysIsLoggedAndTouchesNoOtherSlot) {
    // Uses up the process's keys, so it runs in a child.
    auto result = RunInChild([] {
        LogRecorder recorder;
        std::vector<pthread_key_t> vecKeys;
        pthread_key_t key;
        while (pthread_key_create(&key, nullptr) == 0) {
            vecKeys.push_back(key);
        }
        if (vecKeys.empty()) {
            return 1;
        }
        // Another slot's key is what the memory of the new slot holds.
        const pthread_key_t victim = vecKeys.back();
        int nVictimValue = 5;
        pthread_setspecific(victim, &nVictimValue);
        alignas(CThreadLocalInt<int>) unsigned char rgStorage[sizeof(CThreadLocalInt<int>)];
        for (size_t i = 0; i + sizeof(victim) <= sizeof(rgStorage); i += sizeof(victim)) {
            memcpy(rgStorage + i, &victim, sizeof(victim));
        }
        auto* pSlot = new (rgStorage) CThreadLocalInt<int>;
        if (recorder.Count("Out of thread local storage!\n") != 1) {
            return 2;
        }
        if (pSlot->Get() != 0) {
            return 3;
        }
        *pSlot = 9;
        if (pthread_getspecific(victim) != &nVictimValue) {
            return 4;
        }
        pSlot->~CThreadLocalInt<int>();
        // The other slot's key still exists.
        return pthread_setspecific(victim, &nVictimValue) == 0 ? 0 : 5;
    });
    EXPECT_TRUE(result.bExited) << result.strStderr;
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

TEST(ThreadMutex, RecursiveAndExclusive) {
    CThreadMutex mutex;
    mutex.Lock();
    mutex.Lock();
    bool bOtherGot = true;
    std::thread([&] { bOtherGot = mutex.TryLock(); }).join();
    EXPECT_FALSE(bOtherGot);
    mutex.Unlock();
    std::thread([&] { bOtherGot = mutex.TryLock(); }).join();
    EXPECT_FALSE(bOtherGot);  // still held once
    mutex.Unlock();
    std::thread([&] {
        bOtherGot = mutex.TryLock();
        if (bOtherGot) {
            mutex.Unlock();
        }
    }).join();
    EXPECT_TRUE(bOtherGot);

    int nCounter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                std::lock_guard<CThreadMutex> lock(mutex);
                ++nCounter;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(nCounter, 20000);
}

TEST(ThreadEvent, AutoAndManualResetStates) {
    CThreadEvent autoEvent;
    EXPECT_FALSE(!autoEvent);
    EXPECT_FALSE(autoEvent.IsNamed());
    EXPECT_FALSE(autoEvent.Check());
    EXPECT_TRUE(autoEvent.Set());
    EXPECT_TRUE(autoEvent.Check());
    EXPECT_FALSE(autoEvent.Check());  // consumed by the successful wait
    autoEvent.Set();
    autoEvent.Reset();
    EXPECT_FALSE(autoEvent.Wait(0));

    CThreadEvent manualEvent(true);
    manualEvent.Set();
    EXPECT_TRUE(manualEvent.Wait(0));
    EXPECT_TRUE(manualEvent.Wait(10));
    EXPECT_TRUE(manualEvent.Wait());
    manualEvent.Reset();
    EXPECT_FALSE(manualEvent.Check());

    auto start = Clock::now();
    EXPECT_FALSE(autoEvent.Wait(50));
    EXPECT_GE(ElapsedMs(start), 45);
}

TEST(ThreadEvent, SetWakesWaitersOnOtherThreads) {
    // Auto-reset: each Set lets exactly one infinite waiter through.
    CThreadEvent autoEvent;
    std::atomic<int> nWoken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (autoEvent.Wait()) {
                ++nWoken;
            }
        });
    }
    for (int i = 1; i <= 3; ++i) {
        autoEvent.Set();
        EXPECT_TRUE(WaitFor([&] { return nWoken.load() >= i; }));
    }
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(nWoken.load(), 3);
    EXPECT_FALSE(autoEvent.Check());

    // Manual-reset: one Set releases every waiter, finite or infinite timeout.
    CThreadEvent manualEvent(true);
    std::atomic<int> nReleased{0};
    std::atomic<int> nWaiting{0};
    waiters.clear();
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            ++nWaiting;
            if (manualEvent.Wait(i % 2 ? TT_INFINITE : 60000)) {
                ++nReleased;
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return nWaiting.load() == 4; }));
    ThreadSleep(20);  // let them block (the result does not depend on it)
    auto start = Clock::now();
    manualEvent.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(nReleased.load(), 4);
    EXPECT_LT(ElapsedMs(start), 30000);
    EXPECT_TRUE(manualEvent.Check());
}

// 'S' while the thread sleeps in the kernel, as a waiting thread does.
char ThreadState(int tid) {
    std::string sStat = halyard_test::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t unClose = sStat.rfind(')');
    return unClose != std::string::npos && sStat.size() > unClose + 2 ? sStat[unClose + 2] : '?';
}

TEST(ThreadEvent, WaitsOutlastAStepOfTheWallClock) {
    CThreadEvent autoEvent;
    CThreadEvent manualEvent(true);
    CThreadRWLock lock;
    struct Row {
        const char* pchName;
        std::function<bool()> wait;
        std::function<void()> release;
    };
    const Row rows[] = {
        {"auto-reset, infinite", [&] { return autoEvent.Wait(TT_INFINITE); },
         [&] { autoEvent.Set(); }},
        {"manual-reset, infinite", [&] { return manualEvent.Wait(TT_INFINITE); },
         [&] { manualEvent.Set(); }},
        {"auto-reset, 60 s", [&] { return autoEvent.Wait(60000); }, [&] { autoEvent.Set(); }},
        {"writer behind a reader",
         [&] {
             lock.LockForWrite();
             lock.UnlockWrite();
             return true;
         },
         [&] { lock.UnlockRead(); }},
    };
    lock.LockForRead();
    for (const Row& row : rows) {
        autoEvent.Reset();
        manualEvent.Reset();
        std::atomic<int> nTid{0};
        std::atomic<int> nResult{-1};
        // The wall clock read 50 days early: every deadline the wait takes
        // from it has passed by the time it waits, even the longest slice of
        // an infinite wait (49.7 days), as after a step forward.
        s_nWallClockShiftSeconds = -50 * 86400;
        std::thread waiter([&] {
            nTid = KernelTid();
            nResult = row.wait() ? 1 : 0;
        });
        bool bAsleep = WaitFor([&] {
            return nResult.load() != -1 || (nTid.load() != 0 && ThreadState(nTid.load()) == 'S');
        });
        bool bReturnedEarly = nResult.load() != -1;
        row.release();
        waiter.join();
        s_nWallClockShiftSeconds = 0;
        EXPECT_TRUE(bAsleep && !bReturnedEarly)
            << row.pchName << (bReturnedEarly ? ": returned before it was released" : ": spun");
        EXPECT_EQ(nResult.load(), 1) << row.pchName;
    }
}

TEST(ThreadFullMutex, AnonymousExcludesAndStartsOwnedWhenAsked) {
    CThreadFullMutex owned(true);
    EXPECT_TRUE(owned.IsCreator());
    EXPECT_FALSE(owned.Wait(0));
    EXPECT_TRUE(owned.Release());
    EXPECT_TRUE(owned.Wait(0));
    EXPECT_FALSE(owned.Wait(0));
    owned.Release();

    CThreadFullMutex mutex;
    int nCounter = 0;
    int nInside = 0;
    bool bOverlap = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_TRUE(mutex.Lock());
                if (++nInside != 1) {
                    bOverlap = true;
                }
                ++nCounter;
                --nInside;
                mutex.Release();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(nCounter, 6000);
    EXPECT_FALSE(bOverlap);
}

TEST(ThreadSpinLock, RecursiveOwnershipAndExclusion) {
    CThreadSpinLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(lock.GetOwnerId(), ThreadGetCurrentId());
    bool bOther = true;
    std::thread([&] { bOther = lock.TryLock(); }).join();
    EXPECT_FALSE(bOther);
    lock.Unlock();
    EXPECT_EQ(lock.GetOwnerId(), ThreadGetCurrentId());
    lock.Unlock();
    EXPECT_EQ(lock.GetOwnerId(), 0);

    long nCounter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                lock.Lock();
                ++nCounter;
                lock.Unlock();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(nCounter, 20000);
}

// Shared checks for both reader-writer locks: readers share, a writer is
// alone, and data written under the write lock is seen whole by readers.
template <typename TLock, typename FLockWrite>
void CheckReaderWriterLock(TLock& lock, FLockWrite lockForWrite) {
    // Two readers inside at the same time: the first waits, inside, for the second.
    std::atomic<int> nReadersInside{0};
    std::atomic<bool> bBothInside{false};
    std::thread r1([&] {
        lock.LockForRead();
        ++nReadersInside;
        bBothInside = WaitFor([&] { return nReadersInside.load() == 2; });
        lock.UnlockRead();
    });
    std::thread r2([&] {
        lock.LockForRead();
        ++nReadersInside;
        WaitFor([&] { return bBothInside.load(); }, std::chrono::milliseconds(30000));
        lock.UnlockRead();
    });
    r1.join();
    r2.join();
    EXPECT_TRUE(bBothInside.load());

    // A writer waits for a reader; a reader waits for a writer.
    std::atomic<bool> bWriterIn{false};
    lock.LockForRead();
    std::thread writer([&] {
        lockForWrite();
        bWriterIn = true;
        lock.UnlockWrite();
    });
    ThreadSleep(30);
    EXPECT_FALSE(bWriterIn.load());
    lock.UnlockRead();
    writer.join();
    EXPECT_TRUE(bWriterIn.load());

    int rgnPair[2] = {0, 0};
    bool bTorn = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                lockForWrite();
                ++rgnPair[0];
                ++rgnPair[1];
                lock.UnlockWrite();
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                lock.LockForRead();
                if (rgnPair[0] != rgnPair[1]) {
                    bTorn = true;
                }
                lock.UnlockRead();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(bTorn);
    EXPECT_EQ(rgnPair[0], 4000);
}

TEST(ThreadRWLock, ReadersShareWritersExclude) {
    CThreadRWLock lock;
    CheckReaderWriterLock(lock, [&] { lock.LockForWrite(); });
}

TEST(ThreadSpinRWLock, ReadersShareWritersExclude) {
    CThreadSpinRWLock lock;
    lock.SpinLockForWrite(ThreadGetCurrentId());
    EXPECT_EQ(lock.GetWriterId(), ThreadGetCurrentId());
    EXPECT_FALSE(lock.TryLockForRead());
    lock.UnlockWrite();
    EXPECT_TRUE(lock.TryLockForRead());
    EXPECT_TRUE(lock.TryLockForRead());
    EXPECT_EQ(lock.GetReaderCount(), 2);
    EXPECT_FALSE(lock.TryLockForWrite());
    lock.UnlockRead();
    lock.UnlockRead();
    EXPECT_EQ(lock.GetReaderCount(), 0);
    CheckReaderWriterLock(lock, [&] { lock.SpinLockForWrite(ThreadGetCurrentId()); });
}

// ---- CThread ----------------------------------------------------------------------

class CTestThread : public CThread {
public:
    std::atomic<bool> bInitResult{true};
    std::atomic<bool> bRelease{false};
    std::atomic<bool> bExitHookRan{false};
    std::atomic<bool> bStopInside{false};
    std::atomic<int> nSeenId{0};
    std::atomic<CThread*> pSeenCurrent{nullptr};
    std::string sOsName;

protected:
    bool Init() override { return bInitResult.load(); }
    int Run() override {
        nSeenId = ThreadGetCurrentId();
        pSeenCurrent = GetCurrentCThread();
        sOsName = OsThreadName(KernelTid());
        while (!bRelease.load()) {
            ThreadSleep(1);
        }
        if (bStopInside.load()) {
            Stop(77);
        }
        return 5;
    }
    void OnExit() override { bExitHookRan = true; }
};

TEST(Thread, StartRunJoinAndResult) {
    CTestThread thread;
    EXPECT_TRUE(thread.Join(0));  // not started
    EXPECT_FALSE(thread.IsAlive());
    thread.SetName("worker-with-a-long-name");
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.IsAlive());
    EXPECT_TRUE(thread.BHasValidThreadID());
    EXPECT_EQ(thread.GetResult(), INT_MIN);

    auto start = Clock::now();
    EXPECT_FALSE(thread.Join(120));  // still running
    EXPECT_GE(ElapsedMs(start), 100);
    EXPECT_TRUE(thread.IsAlive());

    thread.bRelease = true;
    EXPECT_TRUE(thread.Join(60000));
    EXPECT_FALSE(thread.IsAlive());
    EXPECT_FALSE(thread.BHasValidThreadID());
    EXPECT_EQ(thread.GetResult(), 5);
    EXPECT_TRUE(thread.bExitHookRan.load());
    EXPECT_EQ(thread.pSeenCurrent.load(), &thread);
    EXPECT_NE(thread.nSeenId.load(), ThreadGetCurrentId());
    EXPECT_STREQ(thread.GetName(), "worker-with-a-long-name");
    EXPECT_EQ(thread.sOsName, "worker-with-a-l");
    EXPECT_EQ(CThread::GetCurrentCThread(), nullptr);
}

TEST(Thread, InitFailureStopAndDefaultName) {
    LogRecorder recorder;
    CTestThread failing;
    failing.bInitResult = false;
    EXPECT_FALSE(failing.Start());
    EXPECT_FALSE(failing.IsAlive());
    EXPECT_EQ(failing.GetThreadHandle(), 0u);
    EXPECT_EQ(recorder.Count("Thread failed to initialize 2\n"), 1u);

    CTestThread stopping;
    stopping.bStopInside = true;
    ASSERT_TRUE(stopping.Start(64 * 1024));
    std::string sDefault = stopping.GetName();
    char rchExpected[32];
    snprintf(rchExpected, sizeof(rchExpected), "Thread(0x%p/0x%p/0x%x)",
             static_cast<void*>(&stopping), reinterpret_cast<void*>(stopping.GetThreadHandle()),
             static_cast<unsigned>(stopping.GetThreadId()));
    EXPECT_EQ(sDefault, rchExpected);
    stopping.bRelease = true;
    EXPECT_TRUE(stopping.Join());
    EXPECT_EQ(stopping.GetResult(), 77);
    EXPECT_TRUE(stopping.bExitHookRan.load());
    // Stop from a thread that is not the object's thread does nothing.
    stopping.Stop(1);
    EXPECT_EQ(stopping.GetResult(), 77);
}

class CBlockedThread : public CThread {
protected:
    int Run() override {
        while (true) {
            ThreadSleep(5);  // a cancellation point
            pthread_testcancel();
        }
    }
};

TEST(Thread, TerminateEndsOnlyThatThread) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on the unwinding that thread cancellation does";
#endif
    auto* pThread = new CBlockedThread;
    ASSERT_TRUE(pThread->Start());
    int nTid = pThread->GetThreadId();
    std::string sTask = "/proc/self/task/" + std::to_string(nTid);
    ASSERT_EQ(access(sTask.c_str(), F_OK), 0);
    pThread->Terminate();
    EXPECT_FALSE(pThread->IsAlive());
    EXPECT_FALSE(pThread->BHasValidThreadID());
    EXPECT_NE(access(sTask.c_str(), F_OK), 0);  // joined: the task is gone
    delete pThread;
}

unsigned SimpleThreadBody(void* pv) {
    static_cast<std::atomic<int>*>(pv)->store(ThreadGetCurrentId());
    return 9;
}

TEST(SimpleThread, StartsReportsItsIdAndCanBeJoined) {
    std::atomic<int> nSeen{0};
    ThreadId_t nId = -1;
    ThreadHandle_t hThread = CreateSimpleThread(SimpleThreadBody, &nSeen, &nId);
    ASSERT_NE(hThread, 0u);
    EXPECT_GT(nId, 0);
    void* pResult = nullptr;
    ASSERT_EQ(pthread_join(hThread, &pResult), 0);
    EXPECT_EQ(nSeen.load(), nId);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pResult), 9u);
    EXPECT_TRUE(ReleaseThreadHandle(hThread));

    hThread = CreateSimpleThread(SimpleThreadBody, &nSeen);
    ASSERT_NE(hThread, 0u);
    pthread_join(hThread, nullptr);
}

}  // namespace
