#include "threadwatchdog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "logregistry.h"
#include "platformtools.h"
#include "systemtime.h"
#include "threadtools.h"
#include "vrassert.h"
#include "vrcrash.h"

thread_local CThreadWatchdog* tl_pWatchdog = nullptr;
CThreadWatchdogManager s_ThreadWatchdogManager;

namespace {

constexpr size_t k_cchDescription = 1024;
constexpr size_t k_cchAbortComment = 1024;
constexpr int k_nMonitorPriority = -15;
// How long an aborting report may spend in the log writer before the process
// is ended without its last line.
constexpr unsigned int k_unAbortGraceMilliseconds = 5000;

bool IsEnvironmentVariableSet(const char* pchName) {
    const char* pchValue = getenv(pchName);
    return pchValue && *pchValue;
}

// Negative and NaN timeouts count as already expired; absurdly long ones are
// capped rather than overflowing the tick conversion.
uint64_t TimeoutTicksFromSeconds(float flSeconds) {
    double dflSeconds = static_cast<double>(flSeconds);
    if (!(dflSeconds > 0.0)) {
        return 0;
    }
    constexpr double k_dflMaxSeconds = 1.0e9;  // about 31 years
    return static_cast<uint64_t>(SecondsToSystemTicks(std::min(dflSeconds, k_dflMaxSeconds)));
}

// A sequentially consistent store: the store and a full fence in one
// instruction (xchg on x86-64).
void StoreTickNow(CThreadWatchdog::Status_s* pStatus, uint64_t unNow) {
    pStatus->m_unLastTick.store(unNow, std::memory_order_seq_cst);
}

// last tick + timeout < now, without overflow. A tick taken after `now` was
// read is never late.
bool HasTimedOut(uint64_t unLastTick, uint64_t unTimeout, uint64_t unNow) {
    return unLastTick < unNow && unNow - unLastTick > unTimeout;
}

// Decides whether a watchdog is reported and, if so, disarms it in the same
// step, against the owner's behaviour changes: an owner that re-arms it later
// keeps its setting, one that left SleepWithWatchdogDisabled has ticked first
// and is not late, and one that enters that sleep now finds it disarmed by
// this report and so leaves it disarmed.
bool ClaimTimeout(CThreadWatchdog::Status_s* pStatus, uint64_t unNow,
                  CThreadWatchdog::EWatchdogTimeoutBehavior* peBehavior, uint64_t* punSinceTick) {
    if (!HasTimedOut(pStatus->m_unLastTick.load(), pStatus->m_unTimeoutTicks.load(), unNow)) {
        return false;  // the usual case, without the lock
    }
    std::lock_guard<std::mutex> lock(pStatus->m_behaviorMutex);
    uint64_t unLastTick = pStatus->m_unLastTick.load();
    if (!HasTimedOut(unLastTick, pStatus->m_unTimeoutTicks.load(), unNow)) {
        return false;
    }
    CThreadWatchdog::EWatchdogTimeoutBehavior eBehavior = pStatus->m_eBehavior.load();
    if (eBehavior < CThreadWatchdog::WatchdogTimeout_MinidumpAndAbort ||
        eBehavior >= CThreadWatchdog::WatchdogTimeout_None) {
        return false;
    }
    pStatus->m_eBehavior.store(CThreadWatchdog::WatchdogTimeout_None);
    *peBehavior = eBehavior;
    *punSinceTick = unNow - unLastTick;
    return true;
}

// "<name>[ <phase>][ in <detail>]", cut to 1023 characters.
void BuildDescription(char* pchOut, size_t cchOut, const CThreadWatchdog::Status_s* pStatus,
                      const char* pchPhase) {
    const char* pchDetail = pStatus->m_pchDetail.load(std::memory_order_relaxed);
    bool bPhase = pchPhase && *pchPhase;
    snprintf(pchOut, cchOut, "%s%s%s%s%s", pStatus->m_sName.c_str(), bPhase ? " " : "",
             bPhase ? pchPhase : "", pchDetail ? " in " : "", pchDetail ? pchDetail : "");
}

// The report's lines go through the log writer. When the hang being reported
// is inside the writer (a listener or a file that does not return), they never
// get written, and the monitor would hang with it instead of ending the
// process. The fallback ends the process a grace period after it is armed;
// it is paused while the minidump is written, so that a slow dump is written
// in full rather than cut short.
class CAbortFallback {
public:
    // Starts the grace period afresh.
    void Arm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deadline = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(k_unAbortGraceMilliseconds);
        if (!m_bStarted) {
            m_bStarted = true;
            std::thread([this] { Run(); }).detach();
        }
        m_changed.notify_all();
    }
    // Stops the countdown until the next Arm.
    void Pause() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deadline.reset();
        m_changed.notify_all();
    }

private:
    void Run() {
        ThreadSetDebugName("WatchdogAbort");
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            if (!m_deadline) {
                m_changed.wait(lock);
            } else if (std::chrono::steady_clock::now() >= *m_deadline) {
                abort();
            } else {
                m_changed.wait_until(lock, *m_deadline);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    bool m_bStarted = false;
};

// Never destroyed: its thread may still wait on it while the process exits.
CAbortFallback& AbortFallback() {
    static CAbortFallback* s_pFallback = new CAbortFallback;
    return *s_pFallback;
}

// The dump's comment, and its "truncated" line, under the fallback; the dump
// itself without it.
void WriteAbortMinidump(const char* pchDescription, double dflSeconds) {
    char rchComment[k_cchAbortComment];
    int nLength = snprintf(rchComment, sizeof(rchComment),
                           "AbortMessage({ Thread Watchdog Abort - %s /+/ %f second timeout })",
                           pchDescription, dflSeconds);
    if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof(rchComment)) {
        Log(LogLevel_Error, "Minidump comment truncated");
    }
    AbortFallback().Pause();
    VRWriteMiniDump(rchComment, true);
    AbortFallback().Arm();
}

}  // namespace

// ---- CThreadWatchdog ---------------------------------------------------------------

namespace {

// Guards the threads' watchdog chains where another thread reaches into one:
// a watchdog destroyed away from its creator, and a creator that ends. Never
// destroyed, so that threads ending during process exit can still take it.
std::mutex& ChainMutex() {
    static std::mutex* s_pMutex = new std::mutex;
    return *s_pMutex;
}

}  // namespace

// When a thread ends, its tl_pWatchdog goes away with it; watchdogs it leaves
// alive forget it, so that destroying them later touches nothing of that
// thread. The main thread's lives on through static destruction.
struct CThreadWatchdog::CThreadExit {
    bool m_bUsed = false;
    ~CThreadExit() {
        if (getpid() == static_cast<pid_t>(syscall(SYS_gettid))) {
            return;
        }
        std::lock_guard<std::mutex> lock(ChainMutex());
        for (CThreadWatchdog* p = tl_pWatchdog; p; p = p->m_pPrevious) {
            p->m_ppThreadCurrent = nullptr;
        }
        tl_pWatchdog = nullptr;
    }
};

thread_local CThreadWatchdog::CThreadExit CThreadWatchdog::tl_threadExit;

void CThreadWatchdog::UnlinkFrom(CThreadWatchdog** ppHead) {
    if (*ppHead == this) {
        *ppHead = m_pPrevious;
        return;
    }
    for (CThreadWatchdog* pNewer = *ppHead; pNewer; pNewer = pNewer->m_pPrevious) {
        if (pNewer->m_pPrevious == this) {
            pNewer->m_pPrevious = m_pPrevious;
            return;
        }
    }
}

CThreadWatchdog::CThreadWatchdog(const char* pchName, float flTimeoutSeconds,
                                 EWatchdogTimeoutBehavior eBehavior)
    : m_pStatus(std::make_unique<Status_s>()) {
    m_pStatus->m_sName = pchName ? pchName : "";
    m_pStatus->m_eBehavior.store(eBehavior, std::memory_order_relaxed);
    m_pStatus->m_unTimeoutTicks.store(TimeoutTicksFromSeconds(flTimeoutSeconds),
                                      std::memory_order_relaxed);
    StoreTickNow(m_pStatus.get(), GetSystemTimeInTicks());
    m_pStatus->m_hThread = pthread_self();

    TESSERA_ASSERT_MSG(static_cast<double>(flTimeoutSeconds) > 0.1,
                       "Thread watchdog with a small timout %f. Timeouts should usually be "
                       "multiple seconds.",
                       static_cast<double>(flTimeoutSeconds));
    VerifyTidIntegrity();
    s_ThreadWatchdogManager.Register(m_pStatus.get());

    tl_threadExit.m_bUsed = true;  // constructed now, so it outlives this watchdog
    std::lock_guard<std::mutex> lock(ChainMutex());
    m_pPrevious = tl_pWatchdog;
    m_ppThreadCurrent = &tl_pWatchdog;
    tl_pWatchdog = this;
}

CThreadWatchdog::~CThreadWatchdog() {
    s_ThreadWatchdogManager.Unregister(m_pStatus.get());
    bool bForeign = false;
    {
        // Out of the creator's chain wherever it stands, so that neither its
        // current pointer nor a newer watchdog's link dangles.
        std::lock_guard<std::mutex> lock(ChainMutex());
        bForeign = !pthread_equal(m_pStatus->m_hThread, pthread_self());
        if (m_ppThreadCurrent) {
            UnlinkFrom(m_ppThreadCurrent);
        }
    }
    TESSERA_ASSERT_MSG(!bForeign,
                       "Thread watchdog %s destroyed on a thread other than the one that "
                       "created it",
                       m_pStatus->m_sName.c_str());
}

void CThreadWatchdog::Tick() {
    StoreTickNow(m_pStatus.get(), GetSystemTimeInTicks());
}

void CThreadWatchdog::TickParent() {
    if (tl_pWatchdog) {
        tl_pWatchdog->Tick();
    }
}

void CThreadWatchdog::SetDetailString(const char* pchDetail) {
    if (tl_pWatchdog) {
        tl_pWatchdog->m_pStatus->m_pchDetail.store(pchDetail, std::memory_order_relaxed);
    }
}

const char* CThreadWatchdog::GetDetailString() {
    return tl_pWatchdog ? tl_pWatchdog->m_pStatus->m_pchDetail.load(std::memory_order_relaxed)
                        : nullptr;
}

void CThreadWatchdog::SetExecutionPhaseString(const char* pchPhase) {
    s_ThreadWatchdogManager.SetExecutionPhaseString(pchPhase);
}

void CThreadWatchdog::SetTimeoutBehavior(EWatchdogTimeoutBehavior eBehavior) {
    if (tl_pWatchdog) {
        std::lock_guard<std::mutex> lock(tl_pWatchdog->m_pStatus->m_behaviorMutex);
        tl_pWatchdog->m_pStatus->m_eBehavior.store(eBehavior);
    }
}

CThreadWatchdog::EWatchdogTimeoutBehavior CThreadWatchdog::GetTimeoutBehavior() {
    return tl_pWatchdog ? tl_pWatchdog->m_pStatus->m_eBehavior.load(std::memory_order_relaxed)
                        : WatchdogTimeout_None;
}

void CThreadWatchdog::SetTimeoutDurationSeconds(float flSeconds) {
    if (tl_pWatchdog) {
        tl_pWatchdog->m_pStatus->m_unTimeoutTicks.store(TimeoutTicksFromSeconds(flSeconds),
                                                        std::memory_order_relaxed);
    }
}

void CThreadWatchdog::SetTimeoutDurationTicks(unsigned long ulTicks) {
    if (tl_pWatchdog) {
        tl_pWatchdog->m_pStatus->m_unTimeoutTicks.store(ulTicks, std::memory_order_relaxed);
    }
}

unsigned long CThreadWatchdog::GetTimeoutDurationInTicks() {
    return tl_pWatchdog ? tl_pWatchdog->m_pStatus->m_unTimeoutTicks.load(std::memory_order_relaxed)
                        : 0;
}

void CThreadWatchdog::SleepWithWatchdogDisabled(unsigned int nMilliseconds) {
    // Both steps under the behaviour lock, so that a report is either claimed
    // before the sleep (and the watchdog stays disarmed by it) or not at all.
    class CRearm {
    public:
        explicit CRearm(CThreadWatchdog* pWatchdog) : m_pWatchdog(pWatchdog) {
            if (m_pWatchdog) {
                Status_s* pStatus = m_pWatchdog->m_pStatus.get();
                std::lock_guard<std::mutex> lock(pStatus->m_behaviorMutex);
                m_eBehavior = pStatus->m_eBehavior.exchange(WatchdogTimeout_None);
            }
        }
        ~CRearm() {
            if (m_pWatchdog) {
                Status_s* pStatus = m_pWatchdog->m_pStatus.get();
                std::lock_guard<std::mutex> lock(pStatus->m_behaviorMutex);
                m_pWatchdog->Tick();
                pStatus->m_eBehavior.store(m_eBehavior);
            }
        }

    private:
        CThreadWatchdog* m_pWatchdog;
        EWatchdogTimeoutBehavior m_eBehavior = WatchdogTimeout_None;
    };
    CRearm rearm(tl_pWatchdog);
    ThreadSleep(nMilliseconds);
}

void CThreadWatchdog::InitWatchdogs() {
    s_ThreadWatchdogManager.InitWatchdogs();
}

void CThreadWatchdog::CleanupWatchdogs() {
    s_ThreadWatchdogManager.CleanupWatchdogs();
}

// ---- CThreadWatchdogManager ----------------------------------------------------------

CThreadWatchdogManager::CThreadWatchdogManager() = default;

CThreadWatchdogManager::~CThreadWatchdogManager() {
    CleanupWatchdogs();
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    m_vecWatchdogs.clear();
}

void CThreadWatchdogManager::InitWatchdogs() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    if (m_pMonitorThread) {
        return;
    }
    if (IsEnvironmentVariableSet("ORRERY_DISABLE_THREAD_WATCHDOGS")) {
        return;
    }
    m_bForce.store(IsEnvironmentVariableSet("ORRERY_ENABLE_THREAD_WATCHDOGS"));
    m_unLastEvaluationTicks = GetSystemTimeInTicks();
    m_unMaxEvaluationGapTicks =
        2 * static_cast<uint64_t>(SecondsToSystemTicks(k_dflEvaluationIntervalSeconds));
    // Computes and caches the answer now, on a thread that is not the monitor.
    BIsCrashReportingDisabled();
    m_bStopRequest.store(false);
    m_pMonitorThread = std::make_unique<std::thread>([this] { MonitorThread(); });
}

void CThreadWatchdogManager::CleanupWatchdogs() {
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
        {
            // Set under the wait mutex so that the monitor cannot miss it
            // between its test and its wait.
            std::lock_guard<std::mutex> wait(m_waitMutex);
            m_bStopRequest.store(true);
        }
        m_waitCondition.notify_one();
        if (m_pMonitorThread) {
            m_pMonitorThread->join();
            m_pMonitorThread.reset();
        }
    }
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    for (const CThreadWatchdog::Status_s* pStatus : m_vecWatchdogs) {
        const char* pchDetail = pStatus->m_pchDetail.load(std::memory_order_relaxed);
        Log("Warning: Watchdog %s not properly cleaned up%s%s\n", pStatus->m_sName.c_str(),
            pchDetail ? ", last executing in " : "", pchDetail ? pchDetail : "");
    }
}

void CThreadWatchdogManager::Register(CThreadWatchdog::Status_s* pStatus) {
    InitWatchdogs();
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    m_vecWatchdogs.push_back(pStatus);
}

void CThreadWatchdogManager::Unregister(CThreadWatchdog::Status_s* pStatus) {
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    auto it = std::find(m_vecWatchdogs.begin(), m_vecWatchdogs.end(), pStatus);
    if (it != m_vecWatchdogs.end()) {
        m_vecWatchdogs.erase(it);
    }
}

bool CThreadWatchdogManager::ShouldWatchdog() {
    return m_bForce.load() || !Plat_IsInDebugSession();
}

bool CThreadWatchdogManager::IsMonitorRunning() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    return m_pMonitorThread != nullptr;
}

void CThreadWatchdogManager::MonitorThread() {
    ThreadSetPriority(0, k_nMonitorPriority);
    ThreadSetDebugName("ThreadWatchdog");
    if (m_bStopRequest.load()) {
        return;
    }
    const auto interval = std::chrono::nanoseconds(
        static_cast<int64_t>(k_dflEvaluationIntervalSeconds * 1000000000.0));
    while (true) {
        EvaluateWatchdogs();
        std::unique_lock<std::mutex> wait(m_waitMutex);
        m_waitCondition.wait_until(wait, std::chrono::steady_clock::now() + interval,
                                   [this] { return m_bStopRequest.load(); });
        if (m_bStopRequest.load()) {
            return;
        }
    }
}

void CThreadWatchdogManager::EvaluateWatchdogs() {
    std::lock_guard<std::recursive_mutex> lock(m_registryMutex);
    uint64_t unNow = GetSystemTimeInTicks();
    uint64_t unGap = unNow - m_unLastEvaluationTicks;
    m_unLastEvaluationTicks = unNow;
    if (unGap > m_unMaxEvaluationGapTicks) {
        // The process was stopped or the monitor starved: nobody could tick,
        // so this pass proves nothing. Start every watchdog afresh.
        for (CThreadWatchdog::Status_s* pStatus : m_vecWatchdogs) {
            StoreTickNow(pStatus, unNow);
        }
        return;
    }
    // By index: a report may log or assert, and code run from there may
    // (against the rules) register watchdogs.
    for (size_t i = 0; i < m_vecWatchdogs.size(); ++i) {
        CThreadWatchdog::Status_s* pStatus = m_vecWatchdogs[i];
        CThreadWatchdog::EWatchdogTimeoutBehavior eBehavior;
        uint64_t unSinceTick = 0;
        if (ClaimTimeout(pStatus, unNow, &eBehavior, &unSinceTick)) {
            ReportTimeout(pStatus, eBehavior, unSinceTick);
        }
    }
}

void CThreadWatchdogManager::ReportTimeout(CThreadWatchdog::Status_s* pStatus,
                                           CThreadWatchdog::EWatchdogTimeoutBehavior eBehavior,
                                           uint64_t unSinceTick) {
    float flSeconds = static_cast<float>(SystemTicksToSeconds(unSinceTick));
    double dflSeconds = static_cast<double>(flSeconds);
    char rchDescription[k_cchDescription];
    BuildDescription(rchDescription, sizeof(rchDescription), pStatus, GetExecutionPhaseString());

    switch (eBehavior) {
        case CThreadWatchdog::WatchdogTimeout_MinidumpAndAbort:
            if (!ShouldWatchdog()) {
                Log("Failed Watchdog timeout in thread %s after %f seconds. Skipping abort because "
                    "we're in the debugger.\n",
                    rchDescription, dflSeconds);
                break;
            }
            AbortFallback().Arm();
            WriteAbortMinidump(rchDescription, dflSeconds);
            Log("Failed Watchdog timeout in thread %s after %f seconds. Aborting.\n",
                rchDescription, dflSeconds);
            abort();
        case CThreadWatchdog::WatchdogTimeout_Abort:
            if (!ShouldWatchdog()) {
                Log("Failed Watchdog timeout in thread %s after %f seconds. Skipping abort because "
                    "we're in the debugger.\n",
                    rchDescription, dflSeconds);
                break;
            }
            AbortFallback().Arm();
            Log("Failed Watchdog timeout in thread %s after %f seconds. Terminating.\n",
                rchDescription, dflSeconds);
            abort();
        case CThreadWatchdog::WatchdogTimeout_Assert:
            if (!ShouldWatchdog()) {
                Log("Failed Watchdog timeout in thread %s after %f seconds. Skipping assert "
                    "because we're in the debugger.\n",
                    rchDescription, dflSeconds);
                break;
            }
            CAssert::GetInstance()->AssertMsgImpl(__FILE__, __LINE__, false, 2,
                                                  "Thread watchdog timed out %s", rchDescription);
            break;
        default:  // WatchdogTimeout_Log: reported whether or not a debugger is attached
            Log("Failed Watchdog timeout in thread %s after %f seconds\n", rchDescription,
                dflSeconds);
            break;
    }
}
