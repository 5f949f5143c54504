// Thread ids, names, sleeps, priorities, simple threads, the recursive mutex
// and thread-local slots.
#include "threadtools.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "sdldynamic.h"
#include "vrassert.h"
#include "vrlog.h"

bool g_bNoCacheThreadIds = false;
bool force_pid = false;
int force_pid_val = 0;

namespace {

thread_local ThreadId_t tl_nThreadId = 0;
thread_local bool tl_bSchedulerInitialised = false;

// Serialises ThreadSetPriority; sInitMutex guards the per-thread scheduler
// preparation inside it.
CThreadMutex g_mutex;
CThreadMutex sInitMutex;

ThreadId_t KernelThreadId() {
    return static_cast<ThreadId_t>(syscall(SYS_gettid));
}

inline void CpuPause() {
    __builtin_ia32_pause();
}

constexpr int k_nSpinPassesPerNap = 512;
constexpr useconds_t k_usSpinNap = 500;

}  // namespace

int g_ThreadMainThreadID = InitMainThread();

ThreadId_t ThreadGetCurrentId() {
    if (g_bNoCacheThreadIds) {
        return KernelThreadId();
    }
    if (tl_nThreadId == 0) {
        tl_nThreadId = KernelThreadId();
    }
    return tl_nThreadId;
}

void VerifyTidIntegrity() {
    ThreadId_t nKernelId = KernelThreadId();
    TESSERA_ASSERT_FATAL(nKernelId == ThreadGetCurrentId(),
                         "VerifyTidIntegrity failed for thread %d. Most likely this process was "
                         "forked after calling ThreadGetCurrentId.",
                         nKernelId);
}

ThreadId_t ThreadGetCurrentRunningRef() {
    return ThreadGetCurrentId();
}
ThreadId_t InitMainThread() {
    return ThreadGetCurrentId();
}
void DeclareCurrentThreadIsMainThread() {
    g_ThreadMainThreadID = ThreadGetCurrentId();
}
bool ThreadInMainThread() {
    return ThreadGetCurrentId() == g_ThreadMainThreadID;
}
ThreadHandle_t ThreadGetCurrentHandle() {
    return pthread_self();
}

void ThreadSetDebugName(const char* pchName) {
    if (!pchName) {
        return;
    }
    char rchName[16];  // the kernel keeps 15 bytes and the terminator
    strncpy(rchName, pchName, sizeof(rchName) - 1);
    rchName[sizeof(rchName) - 1] = '\0';
    pthread_setname_np(pthread_self(), rchName);
}

void ThreadSleep(unsigned int nMilliseconds) {
    if (nMilliseconds == 0) {
        sched_yield();
        return;
    }
    // usleep takes 32 bits of microseconds; longer sleeps go through nanosleep.
    if (nMilliseconds < 4000000u) {
        usleep(static_cast<useconds_t>(nMilliseconds) * 1000u);
        return;
    }
    struct timespec ts = {static_cast<time_t>(nMilliseconds / 1000),
                          static_cast<long>(nMilliseconds % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

void ThreadYield() {
    sched_yield();
}

int ThreadSpinWaitForValue(const volatile int* pnValue, int nValue) {
    for (unsigned nPass = 1;; ++nPass) {
        int nRead = __atomic_load_n(pnValue, __ATOMIC_ACQUIRE);
        if (nRead == nValue) {
            return nRead;
        }
        CpuPause();
        if (nPass % k_nSpinPassesPerNap == 0) {
            usleep(k_usSpinNap);
        }
    }
}

bool ThreadImplOneTimeInit(volatile int* pFlag) {
    int nExpected = 0;
    if (__atomic_compare_exchange_n(pFlag, &nExpected, -1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
        return true;
    }
    ThreadSpinWaitForValue(pFlag, 1);
    return false;
}

// ---- priorities ---------------------------------------------------------------------

namespace {

// Lets the process use real-time scheduling: the real-time CPU limit goes up
// to its hard limit and children start with normal scheduling again.
bool InitSchedulerForThread() {
    std::lock_guard<CThreadMutex> lock(sInitMutex);
    if (tl_bSchedulerInitialised) {
        return true;
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        Log(LogLevel_Info, "Failed to init scheduler: failed to get rlimit\n");
        return false;
    }
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
        Log(LogLevel_Info, "Failed to init scheduler: failed to set rlimit\n");
        return false;
    }
    int nPolicy = sched_getscheduler(0);
    struct sched_param param;
    int nResult = nPolicy < 0 ? nPolicy : sched_getparam(0, &param);
    if (nResult == 0) {
        nResult = sched_setscheduler(0, nPolicy | SCHED_RESET_ON_FORK, &param);
    }
    if (nResult != 0) {
        Log(LogLevel_Error, "Failed to init scheduler: failed to get sched params %d\n", nResult);
        return false;
    }
    tl_bSchedulerInitialised = true;
    return true;
}

int SDLPriorityLevel(int nPriority) {
    if (nPriority > 0) {
        return k_ESDLThreadPriorityHigh;
    }
    return nPriority < 0 ? k_ESDLThreadPriorityLow : k_ESDLThreadPriorityNormal;
}

void* HandleForLog(ThreadHandle_t hThread) {
    return reinterpret_cast<void*>(hThread);
}

bool SetPriorityWithSDL(ThreadHandle_t hThread, int nPriority) {
    CSDLDynamic& sdl = SDLDynamic();
    int nResult =
        sdl.SDL_SetThreadPriority ? sdl.SDL_SetThreadPriority(SDLPriorityLevel(nPriority)) : -1;
    if (nResult == 0) {
        return true;
    }
    Log(LogLevel_Error, "Failed to set thread %p priority: set failed for %d: %d: %s\n",
        HandleForLog(hThread), nPriority, nResult,
        sdl.SDL_GetError ? sdl.SDL_GetError() : "Unknown error");
    return false;
}

bool SetPriorityDirectly(ThreadHandle_t hThread, int nPriority) {
    struct sched_param param = {};
    int nPolicy = SCHED_OTHER;
    if (nPriority > 0) {
        nPolicy = SCHED_RR;
        param.sched_priority = sched_get_priority_max(SCHED_RR);
    } else if (nPriority < 0) {
        param.sched_priority = sched_get_priority_min(SCHED_OTHER);
    }
    int nError = pthread_setschedparam(hThread, nPolicy, &param);
    if (nError == 0) {
        Log(LogLevel_Info, "Set thread %p priority to: %d\n", HandleForLog(hThread), nPriority);
        return true;
    }
    Log(LogLevel_Error, "Failed to set thread priority: setschedparam failed %d: %d\n", nPriority,
        nError);
    Log(LogLevel_Error, "Failed to set thread %p priority: invalid priority %d\n",
        HandleForLog(hThread), nPriority);
    return false;
}

}  // namespace

bool ThreadSetPriority(ThreadHandle_t hThread, int nPriority) {
    if (!hThread) {
        hThread = pthread_self();
    }
    if (nPriority < -15 || nPriority > 15) {
        Log(LogLevel_Error, "Failed to set thread %p priority: invalid priority %d\n",
            HandleForLog(hThread), nPriority);
        return false;
    }
    g_mutex.Lock();
    if (!InitSchedulerForThread()) {
        Log(LogLevel_Error, "Failed to set thread priority: scheduler init failed\n");
    } else if (!pthread_equal(hThread, pthread_self())) {
        Log(LogLevel_Error, "Failed to set thread priority: foreign thread unsupported\n");
    } else if (SetPriorityWithSDL(hThread, nPriority)) {
        g_mutex.Unlock();
        Log(LogLevel_Info, "Set thread %p priority to: %d\n", HandleForLog(hThread), nPriority);
        return true;
    }
    g_mutex.Unlock();
    return SetPriorityDirectly(hThread, nPriority);
}

int ThreadGetPriority(ThreadHandle_t hThread) {
    int nPolicy = 0;
    struct sched_param param = {};
    if (pthread_getschedparam(hThread ? hThread : pthread_self(), &nPolicy, &param) != 0) {
        return 0;
    }
    return param.sched_priority;
}

bool ThreadSetAffinity(pid_t pid, uint64_t unMask, int* pnError) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int nCpu = 0; nCpu < 64; ++nCpu) {
        if (unMask & (uint64_t(1) << nCpu)) {
            CPU_SET(nCpu, &set);
        }
    }
    int nResult = sched_setaffinity(pid, sizeof(set), &set);
    if (pnError) {
        *pnError = nResult == 0 ? 0 : errno;
    }
    return nResult == 0;
}

void ThreadTerminate(ThreadHandle_t hThread) {
    pthread_cancel(hThread);
}

// ---- simple threads ------------------------------------------------------------------

namespace {

struct SimpleThreadStart {
    ThreadFunc_t pfn;
    void* pParam;
    ThreadId_t* pnThreadId;
};

void* SimpleThreadTrampoline(void* pv) {
    SimpleThreadStart start = *static_cast<SimpleThreadStart*>(pv);
    delete static_cast<SimpleThreadStart*>(pv);
    if (start.pnThreadId) {
        __atomic_store_n(start.pnThreadId, ThreadGetCurrentId(), __ATOMIC_RELEASE);
    }
    return reinterpret_cast<void*>(static_cast<uintptr_t>(start.pfn(start.pParam)));
}

constexpr int k_nThreadIdPolls = 99999;
constexpr useconds_t k_usThreadIdPollInterval = 100;

}  // namespace

ThreadHandle_t CreateSimpleThread(ThreadFunc_t pfn, void* pParam, ThreadId_t* pnThreadId) {
    if (pnThreadId) {
        __atomic_store_n(pnThreadId, 0, __ATOMIC_RELEASE);
    }
    auto* pStart = new SimpleThreadStart{pfn, pParam, pnThreadId};
    pthread_t hThread;
    if (pthread_create(&hThread, nullptr, SimpleThreadTrampoline, pStart) != 0) {
        delete pStart;
        return 0;
    }
    if (!pnThreadId) {
        return hThread;
    }
    for (int i = 0; i < k_nThreadIdPolls; ++i) {
        if (__atomic_load_n(pnThreadId, __ATOMIC_ACQUIRE) != 0) {
            return hThread;
        }
        usleep(k_usThreadIdPollInterval);
    }
    return 0;
}

bool ReleaseThreadHandle(ThreadHandle_t) {
    return true;
}

// ---- recursive mutex, thread-local slots ------------------------------------------------

CThreadMutex::CThreadMutex() {
    pthread_mutexattr_init(&m_Attr);
    pthread_mutexattr_settype(&m_Attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_Mutex, &m_Attr);
}

CThreadMutex::~CThreadMutex() {
    pthread_mutex_destroy(&m_Mutex);
    pthread_mutexattr_destroy(&m_Attr);
}

namespace {

// Never a key the system hands out (those are below PTHREAD_KEYS_MAX). A slot
// whose key could not be created holds this, so that it never reads, writes
// or deletes some other slot's key that happens to share the leftover value.
constexpr pthread_key_t k_invalidThreadLocalKey = PTHREAD_KEYS_MAX;

}  // namespace

CThreadLocalBase::CThreadLocalBase() {
    if (pthread_key_create(&m_index, nullptr) != 0) {
        m_index = k_invalidThreadLocalKey;
        Log("Out of thread local storage!\n");
    }
}

CThreadLocalBase::~CThreadLocalBase() {
    if (m_index != k_invalidThreadLocalKey) {
        pthread_key_delete(m_index);
    }
}

void* CThreadLocalBase::Get() const {
    return m_index == k_invalidThreadLocalKey ? nullptr : pthread_getspecific(m_index);
}

void CThreadLocalBase::Set(void* pValue) {
    if (m_index != k_invalidThreadLocalKey) {
        pthread_setspecific(m_index, pValue);
    }
}
