// Events, full mutexes and counting semaphores (anonymous and named), and the
// spin and reader-writer locks.
#include <sched.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "threadtools.h"

namespace {

// Infinite waits are cut into slices: manual-reset waiters poll every 10 ms,
// since a signal wakes only one waiter. A slice running out never ends an
// infinite wait.
constexpr uint32_t k_nManualResetSliceMs = 10;
constexpr uint32_t k_nAutoResetSliceMs = 0xFFFFFFFFu;

// Deadlines are taken on the monotonic clock (the condition variables are
// made for it), so that setting the wall clock neither ends a wait early nor
// makes it longer.
struct timespec DeadlineAfter(uint32_t nMilliseconds) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(nMilliseconds / 1000);
    ts.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

inline void CpuPause() {
    __builtin_ia32_pause();
}

// Waits of the lock-free reader-writer lock: 1000 pauses, then 20000 yields,
// then 1 ms naps for as long as it takes.
class CSpinBackoff {
public:
    void Pause() {
        ++m_nAttempts;
        if (m_nAttempts <= 1000) {
            CpuPause();
        } else if (m_nAttempts <= 21000) {
            sched_yield();
        } else {
            usleep(1000);
        }
    }

private:
    unsigned m_nAttempts = 0;
};

}  // namespace

// ---- CThreadSyncObject ------------------------------------------------------------------

CThreadSyncObject::CThreadSyncObject() = default;

CThreadSyncObject::~CThreadSyncObject() {
    if (m_pszSemName) {
        if (m_nSemId >= 0 && m_bCreatedSemaphore && BIsSemaphoreOrphaned(m_nSemId, getpid())) {
            DestroySemaphoreInternal(m_nSemId);
        }
        delete[] m_pszSemName;
    } else if (m_bInitalized) {
        pthread_cond_destroy(&m_Condition);
        pthread_mutex_destroy(&m_Mutex);
    }
}

bool CThreadSyncObject::CreateAnonymousSyncObjectInternal(bool bInitiallySet, bool bManualReset) {
    pthread_mutex_init(&m_Mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_Condition, &attr);
    pthread_condattr_destroy(&attr);
    m_bManualReset = bManualReset;
    m_cSet.exchange(bInitiallySet ? 1 : 0);
    m_bWakeForEvent = false;
    m_bInitalized = true;
    return true;
}

bool CThreadSyncObject::CreateNamedSyncObjectInternal(const char* pszName, bool bGlobal,
                                                      int nInitialValue, bool bManualReset) {
    m_pszSemName = new char[k_cchMaxName];
    snprintf(m_pszSemName, k_cchMaxName, "%s", pszName);
    m_bManualReset = bManualReset;
    m_nSemId = CreateSemaphoreInternal(m_pszSemName, bGlobal, nInitialValue, &m_bCreatedSemaphore);
    m_bInitalized = m_nSemId >= 0;
    return m_bInitalized;
}

void CThreadSyncObject::SignalAnonymous() {
    pthread_mutex_lock(&m_Mutex);
    m_cSet.exchange(1);
    m_bWakeForEvent = true;
    // A manual-reset object stays signalled, so every waiter may go.
    if (m_bManualReset) {
        pthread_cond_broadcast(&m_Condition);
    } else {
        pthread_cond_signal(&m_Condition);
    }
    pthread_mutex_unlock(&m_Mutex);
}

void CThreadSyncObject::ResetAnonymous() {
    pthread_mutex_lock(&m_Mutex);
    m_cSet.exchange(0);
    m_bWakeForEvent = false;
    pthread_mutex_unlock(&m_Mutex);
}

bool CThreadSyncObject::EnsureSemaphorePosted() {
    // Empties at most one unit, then adds one: the value ends at its old value
    // when that was positive, else at 1.
    TryTakeSemaphoreUnit(m_nSemId);
    return ReleaseSemaphoreInternal(m_nSemId, 1);
}

bool CThreadSyncObject::EnsureSemaphoreClear() {
    while (TryTakeSemaphoreUnit(m_nSemId)) {
    }
    return errno == EAGAIN || errno == ERANGE;
}

bool CThreadSyncObject::Wait(uint32_t nMilliseconds) {
    if (!m_bInitalized) {
        return false;
    }
    if (!m_pszSemName) {
        return WaitAnonymous(nMilliseconds);
    }
    if (!AcquireSemaphoreInternal(m_nSemId, nMilliseconds)) {
        return false;
    }
    if (m_bManualReset) {
        ReleaseSemaphoreInternal(m_nSemId, 1);  // stays signalled
    }
    return true;
}

bool CThreadSyncObject::WaitAnonymous(uint32_t nMilliseconds) {
    pthread_mutex_lock(&m_Mutex);
    bool bSuccess = false;
    if (m_cSet.load() > 0) {
        bSuccess = true;
    } else if (nMilliseconds != 0 && !m_bWakeForEvent) {
        bSuccess = WaitForSignalLocked(nMilliseconds);
    }
    if (bSuccess) {
        m_bWakeForEvent = false;
        if (!m_bManualReset) {
            m_cSet.exchange(0);
        }
    }
    pthread_mutex_unlock(&m_Mutex);
    return bSuccess;
}

bool CThreadSyncObject::WaitForSignalLocked(uint32_t nMilliseconds) {
    const bool bInfinite = nMilliseconds == TT_INFINITE;
    const uint32_t nSlice = !bInfinite       ? nMilliseconds
                            : m_bManualReset ? k_nManualResetSliceMs
                                             : k_nAutoResetSliceMs;
    struct timespec deadline = DeadlineAfter(nSlice);
    while (true) {
        int nResult;
        do {
            nResult = pthread_cond_timedwait(&m_Condition, &m_Mutex, &deadline);
        } while (nResult == EINTR);
        // Signalled, and (for an auto-reset object) not yet taken by another
        // waiter woken by the same signal.
        if (m_cSet.load() != 0) {
            return true;
        }
        if (nResult == ETIMEDOUT) {
            if (!bInfinite) {
                return false;
            }
            deadline = DeadlineAfter(nSlice);
        }
    }
}

// ---- events, full mutexes, semaphores -------------------------------------------------

CThreadEvent::CThreadEvent(bool bManualReset) {
    CreateAnonymousSyncObjectInternal(false, bManualReset);
}

CThreadEvent::CThreadEvent(const char* pchName, bool bGlobal, bool bManualReset) {
    char rchName[k_cchMaxName];
    snprintf(rchName, sizeof(rchName), "/e%s%s", bManualReset ? "m" : "", pchName ? pchName : "");
    if (!CreateNamedSyncObjectInternal(rchName, bGlobal, 0, bManualReset) || !m_bCreatedSemaphore) {
        return;
    }
    // Someone made this event in the other reset mode first: use theirs.
    char rchOther[k_cchMaxName];
    snprintf(rchOther, sizeof(rchOther), "/e%s%s", bManualReset ? "" : "m", pchName ? pchName : "");
    int nOtherId = OpenSemaphoreInternal(rchOther, bGlobal);
    if (nOtherId < 0) {
        return;
    }
    DestroySemaphoreInternal(m_nSemId);
    m_nSemId = nOtherId;
    m_bCreatedSemaphore = false;
    m_bManualReset = !bManualReset;
    snprintf(m_pszSemName, k_cchMaxName, "%s", rchOther);
}

bool CThreadEvent::Set() {
    if (!m_bInitalized) {
        return false;
    }
    if (m_pszSemName) {
        return EnsureSemaphorePosted();
    }
    SignalAnonymous();
    return true;
}

bool CThreadEvent::Reset() {
    if (!m_bInitalized) {
        return false;
    }
    if (m_pszSemName) {
        return EnsureSemaphoreClear();
    }
    ResetAnonymous();
    return true;
}

CThreadFullMutex::CThreadFullMutex(bool bEstablishInitialOwnership, const char* pchName,
                                   bool bGlobal) {
    if (!pchName) {
        // Signalled means free.
        CreateAnonymousSyncObjectInternal(!bEstablishInitialOwnership, false);
        return;
    }
    // Names may carry a drive prefix ("c:..."), which means nothing here.
    if (pchName[0] && pchName[1] == ':' &&
        ((pchName[0] >= 'a' && pchName[0] <= 'z') || (pchName[0] >= 'A' && pchName[0] <= 'Z'))) {
        pchName += 2;
    }
    char rchName[k_cchMaxName];
    snprintf(rchName, sizeof(rchName), "%.260s", pchName);
    CreateNamedSyncObjectInternal(rchName, bGlobal, bEstablishInitialOwnership ? 0 : 1, false);
}

bool CThreadFullMutex::Release() {
    if (!m_bInitalized) {
        return false;
    }
    if (m_pszSemName) {
        return ReleaseSemaphoreInternal(m_nSemId, 1);
    }
    SignalAnonymous();
    return true;
}

CThreadSemaphore::CThreadSemaphore(int32_t nInitialValue, int32_t nMaxValue) {
    if (nMaxValue == 0) {
        return;
    }
    // No key: a key made from the address would be shared by every process
    // with an object at that address (all of them, without address
    // randomisation). The address stays as the object's label.
    m_pszSemName = new char[k_cchMaxName];
    snprintf(m_pszSemName, k_cchMaxName, "%p", static_cast<void*>(this));
    m_nSemId = CreatePrivateSemaphoreInternal(nInitialValue);
    m_bCreatedSemaphore = m_nSemId >= 0;
    m_bInitalized = m_nSemId >= 0;
    m_pidCreator = getpid();
}

CThreadSemaphore::~CThreadSemaphore() {
    // Ours alone (a forked child that inherited the object leaves it to us).
    if (m_nSemId >= 0 && getpid() == m_pidCreator) {
        DestroySemaphoreInternal(m_nSemId);
    }
    m_nSemId = -1;
}

bool CThreadSemaphore::Release(int32_t nReleaseCount) {
    return m_bInitalized && ReleaseSemaphoreInternal(m_nSemId, nReleaseCount);
}

// ---- CThreadSpinLock ------------------------------------------------------------------

CThreadSpinLock::CThreadSpinLock() {
    pthread_mutex_init(&m_fallback, nullptr);
}

CThreadSpinLock::~CThreadSpinLock() {
    pthread_mutex_destroy(&m_fallback);
}

bool CThreadSpinLock::TryClaim(ThreadId_t threadId) {
    ThreadId_t nExpected = 0;
    return __atomic_compare_exchange_n(&m_ownerId, &nExpected, threadId, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

bool CThreadSpinLock::TryLock(ThreadId_t threadId) {
    if (GetOwnerId() == threadId) {
        ++m_nRecursion;
        return true;
    }
    if (!TryClaim(threadId)) {
        return false;
    }
    m_nRecursion = 1;
    return true;
}

void CThreadSpinLock::Lock(ThreadId_t threadId) {
    if (GetOwnerId() == threadId) {
        ++m_nRecursion;
        return;
    }
    for (int nAttempt = 0; nAttempt < 1000; ++nAttempt) {
        if (TryClaim(threadId)) {
            m_nRecursion = 1;
            return;
        }
        CpuPause();
    }
    // Contended: queue on the mutex so that only one waiter spins at a time.
    pthread_mutex_lock(&m_fallback);
    while (!TryClaim(threadId)) {
        CpuPause();
    }
    pthread_mutex_unlock(&m_fallback);
    m_nRecursion = 1;
}

void CThreadSpinLock::Unlock() {
    if (--m_nRecursion == 0) {
        __atomic_store_n(&m_ownerId, 0, __ATOMIC_RELEASE);
    }
}

// ---- CThreadRWLock -----------------------------------------------------------------------

CThreadRWLock::CThreadRWLock() = default;

void CThreadRWLock::WaitForRead() {
    ++m_nPendingReaders;
    do {
        m_mutex.Unlock();
        m_CanRead.Wait();
        m_mutex.Lock();
    } while (m_nWriters != 0);
    --m_nPendingReaders;
}

void CThreadRWLock::LockForRead() {
    m_mutex.Lock();
    if (m_nWriters != 0) {
        WaitForRead();
    }
    ++m_nActiveReaders;
    m_mutex.Unlock();
}

void CThreadRWLock::UnlockRead() {
    m_mutex.Lock();
    --m_nActiveReaders;
    if (m_nActiveReaders == 0 && m_nWriters != 0) {
        m_CanWrite.Set();
    }
    m_mutex.Unlock();
}

void CThreadRWLock::LockForWrite() {
    m_mutex.Lock();
    const bool bWait = m_nWriters != 0 || m_nActiveReaders != 0;
    ++m_nWriters;
    m_CanRead.Reset();
    m_mutex.Unlock();
    // Proceeding after a failed wait would let two writers (or a writer and
    // readers) in together.
    while (bWait && !m_CanWrite.Wait()) {
    }
}

void CThreadRWLock::UnlockWrite() {
    m_mutex.Lock();
    --m_nWriters;
    if (m_nWriters != 0) {
        m_CanWrite.Set();
    } else if (m_nPendingReaders != 0) {
        m_CanRead.Set();
    }
    m_mutex.Unlock();
}

// ---- CThreadSpinRWLock ---------------------------------------------------------------------

namespace {

constexpr uint64_t k_unWriterMask = 0xFFFFFFFFull;
constexpr uint64_t k_unOneReader = 1ull << 32;

}  // namespace

ThreadId_t CThreadSpinRWLock::GetWriterId() const {
    return static_cast<ThreadId_t>(__atomic_load_n(&m_state, __ATOMIC_ACQUIRE) & k_unWriterMask);
}

int CThreadSpinRWLock::GetReaderCount() const {
    return static_cast<int>(__atomic_load_n(&m_state, __ATOMIC_ACQUIRE) >> 32);
}

bool CThreadSpinRWLock::TryLockForRead() {
    uint64_t unOld = __atomic_load_n(&m_state, __ATOMIC_RELAXED);
    if (unOld & k_unWriterMask) {
        return false;
    }
    return __atomic_compare_exchange_n(&m_state, &unOld, unOld + k_unOneReader, false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void CThreadSpinRWLock::LockForRead() {
    CSpinBackoff backoff;
    while (!TryLockForRead()) {
        backoff.Pause();
    }
}

void CThreadSpinRWLock::UnlockRead() {
    __atomic_fetch_sub(&m_state, k_unOneReader, __ATOMIC_RELEASE);
}

bool CThreadSpinRWLock::TryLockForWrite(ThreadId_t threadId) {
    uint64_t unExpected = 0;
    return __atomic_compare_exchange_n(&m_state, &unExpected,
                                       static_cast<uint64_t>(static_cast<uint32_t>(threadId)),
                                       false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void CThreadSpinRWLock::SpinLockForWrite(ThreadId_t threadId) {
    CSpinBackoff backoff;
    while (!TryLockForWrite(threadId)) {
        backoff.Pause();
    }
}

void CThreadSpinRWLock::UnlockWrite() {
    __atomic_store_n(&m_state, 0, __ATOMIC_RELEASE);
}
