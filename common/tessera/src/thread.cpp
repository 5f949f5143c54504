// CThread: a thread owned by an object, with start-up handshake, join with
// timeout and names.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "threadtools.h"
#include "vrlog.h"

namespace {

// The CThread running on each thread (null on threads that are not CThreads).
CThreadLocalBase g_pCurThread;

constexpr unsigned k_nMinStackBytes = 1024 * 1024;
constexpr uint32_t k_nStartTimeoutMs = 60000;
constexpr unsigned k_nJoinPollMs = 50;
constexpr time_t k_nTerminateJoinSeconds = 10;

// What Start and the thread share during the handshake. Either side may be
// the last one out, so it is reference counted.
struct StartShared {
    CThreadEvent event{false};
    bool bInitSuccess = false;
};

}  // namespace

CThread::CThread() {
    m_szName[0] = '\0';
}

CThread::~CThread() {
    if (!m_hThread) {
        return;
    }
    // Give a thread that is finishing a moment (50 x 20 ms) before joining it.
    for (int i = 0; i < 50 && m_nExitCode.load() == INT_MIN; ++i) {
        ThreadSleep(20);
    }
    if (!pthread_equal(m_hThread, pthread_self())) {
        pthread_join(m_hThread, nullptr);
    } else {
        pthread_detach(m_hThread);
    }
    m_hThread = 0;
}

const char* CThread::GetName() {
    if (m_szName[0] != '\0') {
        return m_szName;
    }
    // Kept apart from m_szName so that an unnamed thread stays unnamed.
    snprintf(m_szDefaultName, sizeof(m_szDefaultName), "Thread(0x%p/0x%p/0x%x)",
             static_cast<void*>(this), reinterpret_cast<void*>(m_hThread),
             static_cast<unsigned>(GetThreadId()));
    return m_szDefaultName;
}

void CThread::SetName(const char* pchName) {
    snprintf(m_szName, sizeof(m_szName), "%s", pchName ? pchName : "");
    if (m_hThread && m_szName[0]) {
        char rchOsName[16];
        snprintf(rchOsName, sizeof(rchOsName), "%.15s", m_szName);
        pthread_setname_np(m_hThread, rchOsName);
    }
}

unsigned CThread::ThreadProc(void* pv) {
    ThreadInit_t init = *static_cast<ThreadInit_t*>(pv);
    delete static_cast<ThreadInit_t*>(pv);
    CThread* pThread = init.pThread;

    if (pThread->m_szName[0]) {
        ThreadSetDebugName(pThread->m_szName);
    }
    pThread->m_threadId.store(ThreadGetCurrentId(), std::memory_order_release);
    char chStackMarker = 0;
    pThread->m_pStackBase = &chStackMarker;
    g_pCurThread.Set(pThread);
    pThread->m_nExitCode.store(INT_MIN);

    bool bInitSuccess = pThread->Init();
    *init.pfInitSuccess = bInitSuccess;
    init.pInitCompleteEvent->Set();
    init.pKeepAlive.reset();

    if (bInitSuccess) {
        try {
            pThread->m_nExitCode.store(pThread->Run());
            pThread->OnExit();
        } catch (int nStopCode) {
            // Stop() already stored the code and ran the exit hook.
            (void)nStopCode;
        }
    }
    g_pCurThread.Set(nullptr);
    return static_cast<unsigned>(pThread->m_nExitCode.load());
}

namespace {

void* PthreadEntry(void* pv) {
    auto* pStart = static_cast<std::pair<CThread::ThreadProc_t, void*>*>(pv);
    auto start = *pStart;
    delete pStart;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(start.first(start.second)));
}

}  // namespace

bool CThread::Start(unsigned nBytesStack) {
    if (IsAlive()) {
        return true;
    }
    if (m_hThread) {
        // A previous run ended without a Join: collect it before starting anew.
        pthread_join(m_hThread, nullptr);
        m_hThread = 0;
    }
    auto pShared = std::make_shared<StartShared>();
    auto* pInit = new ThreadInit_t{this, &pShared->event, &pShared->bInitSuccess, pShared};
    auto* pStart = new std::pair<ThreadProc_t, void*>(GetThreadProc(), pInit);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr,
                              nBytesStack > k_nMinStackBytes ? nBytesStack : k_nMinStackBytes);
    m_nExitCode.store(INT_MIN);
    int nError = pthread_create(&m_hThread, &attr, PthreadEntry, pStart);
    pthread_attr_destroy(&attr);
    if (nError != 0) {
        delete pStart;
        delete pInit;
        m_hThread = 0;
        m_nExitCode.store(0);
        return false;
    }

    if (!WaitForCreateComplete(&pShared->event)) {
        Log(LogLevel_Error, "Thread failed to initialize 1\n");
        pthread_detach(m_hThread);
        m_hThread = 0;
        m_threadId.store(0);
        return false;
    }
    if (!pShared->bInitSuccess) {
        Log(LogLevel_Error, "Thread failed to initialize 2\n");
        pthread_join(m_hThread, nullptr);
        m_hThread = 0;
        m_threadId.store(0);
        return false;
    }
    return true;
}

bool CThread::Join(unsigned nMillisecondsTimeout) {
    if (!m_hThread) {
        return true;
    }
    if (nMillisecondsTimeout != TT_INFINITE) {
        unsigned nRemaining = nMillisecondsTimeout;
        while (IsThreadRunning()) {
            if (nRemaining <= k_nJoinPollMs) {
                ThreadSleep(nRemaining);
                return false;
            }
            ThreadSleep(k_nJoinPollMs);
            nRemaining -= k_nJoinPollMs;
        }
    }
    int nError = pthread_join(m_hThread, nullptr);
    m_hThread = 0;
    m_threadId.store(0);
    return nError == 0;
}

void CThread::Stop(int nExitCode) {
    if (GetCurrentCThread() != this || !IsAlive()) {
        return;
    }
    m_nExitCode.store(nExitCode);
    OnExit();
    g_pCurThread.Set(nullptr);
    throw nExitCode;
}

void CThread::Terminate(int nExitCode) {
    if (!m_hThread) {
        return;
    }
    // Cancellation ends this thread only (a kill signal would end the whole
    // process). The thread goes at its next cancellation point; wait for that
    // so the object may be destroyed afterwards, but never hang the caller on a
    // thread that does not reach one.
    pthread_cancel(m_hThread);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += k_nTerminateJoinSeconds;
    if (pthread_timedjoin_np(m_hThread, nullptr, &deadline) != 0) {
        pthread_detach(m_hThread);
    }
    m_nExitCode.store(nExitCode);
    m_hThread = 0;
    m_threadId.store(0);
}

bool CThread::IsThreadRunning() {
    return m_hThread && m_nExitCode.load() == INT_MIN && pthread_kill(m_hThread, 0) == 0;
}

bool CThread::IsAlive() {
    return m_hThread && IsThreadRunning();
}

int CThread::GetPriority() const {
    return m_hThread ? ThreadGetPriority(m_hThread) : 0;
}

bool CThread::SetPriority(int nPriority) {
    return m_hThread && ThreadSetPriority(m_hThread, nPriority);
}

CThread* CThread::GetCurrentCThread() {
    return static_cast<CThread*>(g_pCurThread.Get());
}

void CThread::Yield() {
    ThreadYield();
}

void CThread::Sleep(unsigned nMilliseconds) {
    ThreadSleep(nMilliseconds);
}

bool CThread::WaitForCreateComplete(CThreadEvent* pEvent) {
    return pEvent && pEvent->Wait(k_nStartTimeoutMs);
}
