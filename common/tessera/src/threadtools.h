// threadtools: threads, synchronisation objects and process helpers.
//
// Offers thread ids, names, sleeps and priorities; the recursive in-process
// mutex CThreadMutex; events, full mutexes and counting semaphores that work
// inside the process (anonymous) or across processes (named, backed by System V
// semaphores, see namedsemaphore.h); thread-local slots; interlocked
// operations; spin and reader-writer locks; the CThread class; and process
// functions (ids, priorities, liveness, shell launches, the /proc list).
//
// Thread safety: every free function may be called from any thread. A sync
// object may be waited on and signalled from any thread (anonymous ones guard
// themselves with their own mutex, named ones rely on the kernel); creating and
// destroying one is the owner's business. CThread's control functions (Start,
// Join, SetName, ...) belong to the thread that owns the object; Stop and the
// static helpers act on the calling thread.
//
// Ownership: sync objects own their semaphore id and name; a named semaphore
// this object created is removed by its destructor once no process uses it.
// Named objects take units without undo, so a crashed holder leaves its unit
// taken until a later creation finds the set orphaned and recreates it.
//
// Waits: anonymous objects time their waits on the monotonic clock, so setting
// the wall clock neither shortens nor lengthens one; an infinite wait
// (TT_INFINITE) ends only when the object is signalled.
//
// Failure: creation failures leave objects invalid (operator! is true) and log
// nothing; waits report timeouts and errors as false. ThreadSetPriority logs
// every failure. Process functions report through their results.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>

#include "namedsemaphore.h"

typedef pthread_t ThreadHandle_t;
typedef int ThreadId_t;

// Wait forever (all 32 bits set).
constexpr uint32_t TT_INFINITE = 0xFFFFFFFFu;

// ---- process-wide state -------------------------------------------------------

extern int g_ThreadMainThreadID;
extern bool g_bNoCacheThreadIds;
extern bool force_pid;
extern int force_pid_val;

// ---- thread ids, names, sleeping ------------------------------------------------

// The kernel thread id (gettid), cached per thread unless g_bNoCacheThreadIds.
ThreadId_t ThreadGetCurrentId();
// A fatal assertion when the cached id is not the kernel's (a fork after
// caching).
void VerifyTidIntegrity();
ThreadId_t ThreadGetCurrentRunningRef();
ThreadId_t InitMainThread();
void DeclareCurrentThreadIsMainThread();
bool ThreadInMainThread();
ThreadHandle_t ThreadGetCurrentHandle();

// The first 15 bytes become the calling thread's OS name; null does nothing.
void ThreadSetDebugName(const char* pchName);

// 0 yields the processor; otherwise sleeps ms milliseconds.
void ThreadSleep(unsigned int nMilliseconds);
void ThreadYield();

// Spins (pause; 500 us nap every 512 passes) until *pnValue == nValue.
int ThreadSpinWaitForValue(const volatile int* pnValue, int nValue);

// One-time gate: the caller that swaps *pFlag from 0 to -1 gets true and must
// set it to 1 when done; everyone else waits for 1 and gets false.
bool ThreadImplOneTimeInit(volatile int* pFlag);

// ---- priorities, affinity, simple threads ----------------------------------------

// priority -15..15 (0 normal, positive higher); null thread = calling thread.
bool ThreadSetPriority(ThreadHandle_t hThread, int nPriority);
int ThreadGetPriority(ThreadHandle_t hThread = 0);
// Bit i of the mask = CPU i. errno lands in *pnError when given.
bool ThreadSetAffinity(pid_t pid, uint64_t unMask, int* pnError = nullptr);
void ThreadTerminate(ThreadHandle_t hThread);

typedef unsigned (*ThreadFunc_t)(void* pParam);
// Starts a joinable thread running pfn(pParam). With pnThreadId the new
// thread's id is stored there first and the call waits (up to ~10 s) for it,
// answering 0 when it never arrives.
ThreadHandle_t CreateSimpleThread(ThreadFunc_t pfn, void* pParam, ThreadId_t* pnThreadId = nullptr);
bool ReleaseThreadHandle(ThreadHandle_t hThread);

// ---- synchronisation objects -------------------------------------------------------

class CThreadSyncObject {
public:
    CThreadSyncObject(const CThreadSyncObject&) = delete;
    CThreadSyncObject& operator=(const CThreadSyncObject&) = delete;
    virtual ~CThreadSyncObject();

    bool operator!() const { return !m_bInitalized; }

    // true when the object was signalled within nMilliseconds.
    bool Wait(uint32_t nMilliseconds = TT_INFINITE);

    bool IsNamed() const { return m_pszSemName != nullptr; }
    // The System V id of a named object, -1 otherwise.
    int GetSemaphoreId() const { return m_nSemId; }

    static constexpr size_t k_cchMaxName = 261;

protected:
    CThreadSyncObject();

    bool CreateAnonymousSyncObjectInternal(bool bInitiallySet, bool bManualReset);
    // nInitialValue is the semaphore's value when this call creates it.
    bool CreateNamedSyncObjectInternal(const char* pszName, bool bGlobal, int nInitialValue,
                                       bool bManualReset);
    void SignalAnonymous();
    void ResetAnonymous();
    bool EnsureSemaphorePosted();
    bool EnsureSemaphoreClear();

    char* m_pszSemName = nullptr;
    int m_nSemId = -1;
    bool m_bCreatedSemaphore = false;
    pthread_mutex_t m_Mutex;
    pthread_cond_t m_Condition;
    bool m_bInitalized = false;
    std::atomic<int> m_cSet{0};
    bool m_bManualReset = false;
    bool m_bWakeForEvent = false;

private:
    bool WaitAnonymous(uint32_t nMilliseconds);
    // With m_Mutex held: waits for a signal; an infinite wait only ends with one.
    bool WaitForSignalLocked(uint32_t nMilliseconds);
};

class CThreadEvent : public CThreadSyncObject {
public:
    explicit CThreadEvent(bool bManualReset = false);
    // Named (cross-process) event "/e[m]<name>". When the same name exists in
    // the other reset mode, that object and its mode are used instead.
    CThreadEvent(const char* pchName, bool bGlobal, bool bManualReset = false);

    bool Set();
    bool Reset();
    bool Check() { return Wait(0); }
    bool IsManualReset() const { return m_bManualReset; }
};

class CThreadFullMutex : public CThreadSyncObject {
public:
    // Null name: in-process. A name (after an optional drive prefix such as
    // "c:", cut to 260 bytes) makes it a machine object, per user unless global.
    explicit CThreadFullMutex(bool bEstablishInitialOwnership = false,
                              const char* pchName = nullptr, bool bGlobal = false);

    bool Lock(uint32_t nMilliseconds = TT_INFINITE) { return Wait(nMilliseconds); }
    bool Release();
    bool IsCreator() const { return IsNamed() ? m_bCreatedSemaphore : true; }
};

// A counting semaphore private to this process and the children it forks
// (a System V semaphore that no key reaches), removed by its destructor in
// the process that made it.
class CThreadSemaphore : public CThreadSyncObject {
public:
    // nMaxValue 0 gives an invalid object.
    CThreadSemaphore(int32_t nInitialValue, int32_t nMaxValue);
    ~CThreadSemaphore() override;
    bool Release(int32_t nReleaseCount = 1);

private:
    pid_t m_pidCreator = 0;
};

// Recursive in-process mutex; each Lock needs its Unlock. The lower-case
// aliases let std::lock_guard / std::unique_lock hold it.
class CThreadMutex {
public:
    CThreadMutex();
    ~CThreadMutex();
    CThreadMutex(const CThreadMutex&) = delete;
    CThreadMutex& operator=(const CThreadMutex&) = delete;

    void Lock() { pthread_mutex_lock(&m_Mutex); }
    void Unlock() { pthread_mutex_unlock(&m_Mutex); }
    bool TryLock() { return pthread_mutex_trylock(&m_Mutex) == 0; }

    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    pthread_mutex_t m_Mutex;
    pthread_mutexattr_t m_Attr;
};

// ---- thread-local slots ---------------------------------------------------------------

class CThreadLocalBase {
public:
    CThreadLocalBase();
    ~CThreadLocalBase();
    CThreadLocalBase(const CThreadLocalBase&) = delete;
    CThreadLocalBase& operator=(const CThreadLocalBase&) = delete;

    void* Get() const;
    void Set(void* pValue);

private:
    pthread_key_t m_index;
};

template <typename T>
class CThreadLocalPtr : private CThreadLocalBase {
public:
    T* Get() const { return static_cast<T*>(CThreadLocalBase::Get()); }
    void Set(T* pValue) { CThreadLocalBase::Set(pValue); }
    operator T*() const { return Get(); }
    T* operator->() const { return Get(); }
    T* operator=(T* pValue) {
        Set(pValue);
        return pValue;
    }
};

template <typename T = int>
class CThreadLocalInt : private CThreadLocalBase {
public:
    T Get() const { return static_cast<T>(reinterpret_cast<intptr_t>(CThreadLocalBase::Get())); }
    void Set(T value) {
        CThreadLocalBase::Set(reinterpret_cast<void*>(static_cast<intptr_t>(value)));
    }
    operator T() const { return Get(); }
    T operator=(T value) {
        Set(value);
        return value;
    }
    T operator++() {
        T value = Get() + 1;
        Set(value);
        return value;
    }
    T operator--() {
        T value = Get() - 1;
        Set(value);
        return value;
    }
};

// ---- interlocked operations (full barriers) ------------------------------------------------

inline int32_t ThreadInterlockedIncrement(int32_t volatile* p) {
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline int32_t ThreadInterlockedDecrement(int32_t volatile* p) {
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline int32_t ThreadInterlockedExchange(int32_t volatile* p, int32_t value) {
    return __atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}
inline int32_t ThreadInterlockedExchangeAdd(int32_t volatile* p, int32_t value) {
    return __atomic_fetch_add(p, value, __ATOMIC_SEQ_CST);
}
inline int32_t ThreadInterlockedCompareExchange(int32_t volatile* p, int32_t value,
                                                int32_t comparand) {
    __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline bool ThreadInterlockedAssignIf(int32_t volatile* p, int32_t value, int32_t comparand) {
    return __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

inline void* ThreadInterlockedExchangePointer(void* volatile* p, void* value) {
    return __atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}
inline void* ThreadInterlockedCompareExchangePointer(void* volatile* p, void* value,
                                                     void* comparand) {
    __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline bool ThreadInterlockedAssignPointerIf(void* volatile* p, void* value, void* comparand) {
    return __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}
// Typed forms for T* slots, so callers need no casts.
template <typename T>
T* ThreadInterlockedExchangePointer(T* volatile* p, T* value) {
    return __atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}
template <typename T>
T* ThreadInterlockedCompareExchangePointer(T* volatile* p, T* value, T* comparand) {
    __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
template <typename T>
bool ThreadInterlockedAssignPointerIf(T* volatile* p, T* value, T* comparand) {
    return __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

inline int64_t ThreadInterlockedIncrement64(int64_t volatile* p) {
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline int64_t ThreadInterlockedDecrement64(int64_t volatile* p) {
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline int64_t ThreadInterlockedExchangeAdd64(int64_t volatile* p, int64_t value) {
    return __atomic_fetch_add(p, value, __ATOMIC_SEQ_CST);
}
inline int64_t ThreadInterlockedExchange64(int64_t volatile* p, int64_t value) {
    return __atomic_exchange_n(p, value, __ATOMIC_SEQ_CST);
}
inline int64_t ThreadInterlockedCompareExchange64(int64_t volatile* p, int64_t value,
                                                  int64_t comparand) {
    __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline bool ThreadInterlockedAssignIf64(int64_t volatile* p, int64_t value, int64_t comparand) {
    return __atomic_compare_exchange_n(p, &comparand, value, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// ---- locks for short critical sections -------------------------------------------

// Recursive spin lock keyed by thread id; falls back to a mutex after 1000
// failed attempts so that many contenders do not burn the processor together.
class CThreadSpinLock {
public:
    CThreadSpinLock();
    ~CThreadSpinLock();
    CThreadSpinLock(const CThreadSpinLock&) = delete;
    CThreadSpinLock& operator=(const CThreadSpinLock&) = delete;

    void Lock(ThreadId_t threadId = ThreadGetCurrentId());
    bool TryLock(ThreadId_t threadId = ThreadGetCurrentId());
    void Unlock();
    ThreadId_t GetOwnerId() const { return __atomic_load_n(&m_ownerId, __ATOMIC_ACQUIRE); }

private:
    bool TryClaim(ThreadId_t threadId);

    volatile ThreadId_t m_ownerId = 0;
    int m_nRecursion = 0;
    pthread_mutex_t m_fallback;
};

// Reader-writer lock: any number of readers or one writer; writers queue on
// the write event, readers that meet a writer wait on the read event.
class CThreadRWLock {
public:
    CThreadRWLock();

    void LockForRead();
    void UnlockRead();
    void LockForWrite();
    void UnlockWrite();

private:
    // Called and returns with m_mutex held.
    void WaitForRead();

    CThreadSpinLock m_mutex;
    CThreadEvent m_CanWrite{false};
    CThreadEvent m_CanRead{true};
    int m_nWriters = 0;
    int m_nPendingReaders = 0;
    int m_nActiveReaders = 0;
};

// Lock-free reader-writer lock over one 64-bit word (low half: writer thread
// id, high half: reader count). Waits escalate from pause to sched_yield to
// 1 ms naps.
class CThreadSpinRWLock {
public:
    CThreadSpinRWLock() = default;
    CThreadSpinRWLock(const CThreadSpinRWLock&) = delete;
    CThreadSpinRWLock& operator=(const CThreadSpinRWLock&) = delete;

    void LockForRead();
    bool TryLockForRead();
    void UnlockRead();
    void SpinLockForWrite(ThreadId_t threadId = ThreadGetCurrentId());
    bool TryLockForWrite(ThreadId_t threadId = ThreadGetCurrentId());
    void LockForWrite() { SpinLockForWrite(ThreadGetCurrentId()); }
    void UnlockWrite();

    ThreadId_t GetWriterId() const;
    int GetReaderCount() const;

private:
    volatile uint64_t m_state = 0;
};

// ---- CThread --------------------------------------------------------------------------

class CThread;

// What the thread procedure receives (heap-allocated; the procedure owns it).
// pKeepAlive keeps the start-up event and flag valid even when Start has
// already given up waiting.
struct ThreadInit_t {
    CThread* pThread;
    CThreadEvent* pInitCompleteEvent;
    bool* pfInitSuccess;
    std::shared_ptr<void> pKeepAlive;
};

class CThread {
public:
    typedef unsigned (*ThreadProc_t)(void* pInit);

    CThread();
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    const char* GetName();
    void SetName(const char* pchName);

    // Stack size is at least 1 MiB. Waits for Init() to finish.
    bool Start(unsigned nBytesStack = 0);
    // Waits for the thread to end (TT_INFINITE: as long as it takes).
    bool Join(unsigned nMillisecondsTimeout = TT_INFINITE);
    // Ends the calling thread, which must be this object's running thread.
    void Stop(int nExitCode = 0);
    // Cancels the thread: it ends at its next cancellation point, and the call
    // waits up to 10 s for that before letting go of it.
    void Terminate(int nExitCode = 0);

    bool IsAlive();
    bool BHasValidThreadID() const { return GetThreadId() != 0; }
    ThreadHandle_t GetThreadHandle() const { return m_hThread; }
    ThreadId_t GetThreadId() const { return m_threadId.load(std::memory_order_acquire); }
    int GetResult() const { return m_nExitCode.load(std::memory_order_acquire); }
    int GetPriority() const;
    bool SetPriority(int nPriority);

    void Suspend() {}
    void Resume() {}

    static CThread* GetCurrentCThread();
    static void Yield();
    static void Sleep(unsigned nMilliseconds);
    static bool WaitForCreateComplete(CThreadEvent* pEvent);

    // Standard thread procedure: names the thread, runs Init, signals the
    // start-up event, then Run and the exit hook.
    static unsigned ThreadProc(void* pInit);

protected:
    virtual bool Init() { return true; }
    virtual int Run() = 0;
    virtual void OnExit() {}

public:
    virtual bool IsThreadRunning();
    virtual ThreadProc_t GetThreadProc() { return &CThread::ThreadProc; }

private:
    ThreadHandle_t m_hThread = 0;
    std::atomic<ThreadId_t> m_threadId{0};
    std::atomic<int> m_nExitCode{0};
    char m_szName[32] = {};
    void* m_pStackBase = nullptr;
    char m_szDefaultName[32] = {};
};

// ---- process functions ------------------------------------------------------------

int ThreadGetCurrentProcessId();
bool ThreadOverrideCurrentProcessId(int pid);
int ThreadGetCurrentProcessHandle();
int ThreadOpenProcess(int pid);
bool ThreadCloseProcess(int pid);
// These three take one process: a pid of 0 or below (a process group, or
// every process) is refused with false, and nothing is signalled or reaped.
bool ThreadIsProcessActive(int pid);
bool ThreadTerminateProcessCode(int pid);
bool ThreadGetProcessExitCode(int pid, int* pnStatus);
bool ThreadWaitForProcessExit(int pid, uint32_t nMillisecondsTimeout);
int ThreadGetProcessParentID();
// Classes 0 (idle) .. 4 (real time), mapped to and from nice values.
int ThreadGetProcessPriority(int pid);
bool ThreadSetProcessPriority(int pid, int nPriorityClass);
// Runs "<command> <arguments>" through the shell in a forked child, in
// pchDirectory when given. Returns the child's pid, 0 on failure (also when
// the command text is 2048 bytes or more: it is never run cut short). Finished
// children of the whole process are reaped from then on by a SIGCHLD handler.
int ThreadShellExecute(const char* pchCommand, const char* pchArguments, const char* pchDirectory);
// The SIGCHLD handler: reaps every finished child, except while a
// CChildReaperHold exists (the hold's end reaps what was left meanwhile).
void ReapChildProcesses(int nSignal);

// Keeps the child reaper away while the holder starts a child and waits for
// its status itself (popen/pclose, system): otherwise the reaper, running on
// any thread, can collect that child first and the wait answers -1 (ECHILD)
// instead of the child's status. Holds nest and may overlap across threads;
// the last one to end reaps the children that finished in the meantime.
class CChildReaperHold {
public:
    CChildReaperHold();
    ~CChildReaperHold();
    CChildReaperHold(const CChildReaperHold&) = delete;
    CChildReaperHold& operator=(const CChildReaperHold&) = delete;
};
// Forks and runs pchCommand through the shell; 0 on success, else errno.
int CreateSimpleProcess(const char* pchCommand, void* pUnused, int* pnPid);
// (pid, parent pid) pairs of up to unMaxCount processes; returns how many
// processes exist, or (unsigned)-1 when /proc cannot be read.
unsigned ThreadGetProcessListInfo(unsigned unMaxCount, int (*pPairs)[2]);
