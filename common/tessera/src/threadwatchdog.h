// threadwatchdog: detects threads that stop making progress.
//
// A thread that wants to be watched creates a CThreadWatchdog (name, timeout,
// behaviour) and calls Tick regularly. The process-wide manager,
// s_ThreadWatchdogManager, runs one monitor thread ("ThreadWatchdog") that
// wakes every 2 seconds and reports every watchdog whose last tick is older
// than its timeout, once: minidump and abort, abort, a non-fatal assertion or
// a log line. Under a debugger, aborts and assertions become log lines unless
// ORRERY_ENABLE_THREAD_WATCHDOGS is set; ORRERY_DISABLE_THREAD_WATCHDOGS keeps
// the monitor from starting at all (watchdogs still register).
//
// Reports name the watchdog, the process-wide execution phase string and the
// thread's detail string (what it is doing now), e.g.
//   name "Dashboard Main", phase "startup", detail "Process VR events."
//     => "Dashboard Main startup in Process VR events."
//   name "Worker", no phase, no detail          => "Worker"
//   name "Worker", phase "", detail "Reading"   => "Worker in Reading"
//
// Thread safety: Tick and the detail string are written by the watched thread
// without a lock (atomics) and read by the monitor under the registry mutex.
// Behaviour changes (SetTimeoutBehavior, SleepWithWatchdogDisabled) and the
// monitor's decision to report, which disarms the watchdog, are serialised
// per watchdog, so a report never undoes a later re-arm and a watchdog that
// ticked on its way out of SleepWithWatchdogDisabled is not reported.
// Watchdogs may be created on any thread; a watchdog belongs to the thread
// that created it and should be destroyed there: the static functions act on
// the calling thread's current watchdog (tl_pWatchdog). A thread's watchdogs
// nest: destroying the current one makes the previous one current again.
// Destroying one on another thread is reported as a non-fatal assertion and
// still takes it out of its creator's chain, so that the creator never
// reaches a destroyed watchdog (as long as it is not using it meanwhile).
// Reports run on the monitor thread while it holds the registry mutex, so
// code that runs inside a report (log subscribers, the assert subscription)
// must not create, destroy or clean up watchdogs.
// Ownership: a watchdog owns its Status_s; the manager only lists it. Detail
// and phase strings are not copied: callers pass texts that outlive their use
// (string literals in practice).
// Failure: a small timeout is reported as a non-fatal assertion; aborting
// behaviours end the process with abort() on the monitor thread. Their log
// lines get 5 seconds (a hang inside the log writer must not keep the process
// alive); the minidump is written in full however long it takes.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CThreadWatchdog {
public:
    enum EWatchdogTimeoutBehavior : int32_t {
        WatchdogTimeout_MinidumpAndAbort = 0,
        WatchdogTimeout_Abort = 1,
        WatchdogTimeout_Assert = 2,
        WatchdogTimeout_Log = 3,
        // Also the state after a report and during SleepWithWatchdogDisabled;
        // larger values behave alike.
        WatchdogTimeout_None = 4,
    };

    // The record the manager lists. Written by the watched thread, read by the
    // monitor.
    struct Status_s {
        std::string m_sName;
        pthread_t m_hThread = 0;  // the creating thread
        std::atomic<uint64_t> m_unLastTick{0};
        std::atomic<EWatchdogTimeoutBehavior> m_eBehavior{WatchdogTimeout_None};
        std::atomic<uint64_t> m_unTimeoutTicks{0};
        std::atomic<const char*> m_pchDetail{nullptr};
        // Serialises behaviour changes with the monitor's claim of a report;
        // Tick never takes it.
        std::mutex m_behaviorMutex;
    };

    // Registers with the manager (starting the monitor on first use) and
    // becomes the calling thread's current watchdog. A timeout of 0.1 s or
    // less (or NaN) raises a non-fatal assertion; a negative or NaN timeout
    // counts as already expired.
    CThreadWatchdog(const char* pchName, float flTimeoutSeconds,
                    EWatchdogTimeoutBehavior eBehavior);
    ~CThreadWatchdog();
    CThreadWatchdog(const CThreadWatchdog&) = delete;
    CThreadWatchdog& operator=(const CThreadWatchdog&) = delete;

    // Last tick := now, then a full fence. No lock.
    void Tick();

    // The static functions act on the calling thread's current watchdog;
    // setters do nothing when it has none.
    static void TickParent();
    static void SetDetailString(const char* pchDetail);
    static const char* GetDetailString();                       // null without a watchdog
    static void SetExecutionPhaseString(const char* pchPhase);  // process-wide, not copied
    static void SetTimeoutBehavior(EWatchdogTimeoutBehavior eBehavior);
    static EWatchdogTimeoutBehavior GetTimeoutBehavior();  // None without a watchdog
    static void SetTimeoutDurationSeconds(float flSeconds);
    static void SetTimeoutDurationTicks(unsigned long ulTicks);
    static unsigned long GetTimeoutDurationInTicks();  // 0 without a watchdog

    // Sleeps with the calling thread's watchdog disarmed, then ticks it and
    // restores its behaviour (also when the sleep is left by an exception).
    static void SleepWithWatchdogDisabled(unsigned int nMilliseconds);

    static void InitWatchdogs();
    static void CleanupWatchdogs();

    Status_s* GetStatus() const { return m_pStatus.get(); }

private:
    struct CThreadExit;
    static thread_local CThreadExit tl_threadExit;
    // Takes this watchdog out of the chain whose head is *ppHead.
    void UnlinkFrom(CThreadWatchdog** ppHead);

    std::unique_ptr<Status_s> m_pStatus;
    // The thread's current watchdog when this one was created.
    CThreadWatchdog* m_pPrevious = nullptr;
    // The creating thread's tl_pWatchdog; null once that thread has ended.
    CThreadWatchdog** m_ppThreadCurrent = nullptr;
};

// The calling thread's current watchdog, null when it has none.
extern thread_local CThreadWatchdog* tl_pWatchdog;

class CThreadWatchdogManager {
public:
    CThreadWatchdogManager();
    // Stops the monitor (CleanupWatchdogs) and forgets the list.
    ~CThreadWatchdogManager();
    CThreadWatchdogManager(const CThreadWatchdogManager&) = delete;
    CThreadWatchdogManager& operator=(const CThreadWatchdogManager&) = delete;

    // Starts the monitor unless it runs or ORRERY_DISABLE_THREAD_WATCHDOGS is
    // set to a non-empty value (read on every call).
    void InitWatchdogs();
    // Stops and joins the monitor, then logs a warning for every watchdog
    // still registered (they stay registered).
    void CleanupWatchdogs();
    // InitWatchdogs, then appends the record.
    void Register(CThreadWatchdog::Status_s* pStatus);
    // Removes the first entry equal to the record; unknown records are ignored.
    void Unregister(CThreadWatchdog::Status_s* pStatus);
    // One monitor pass: reports every timed-out watchdog (see the .cpp).
    void EvaluateWatchdogs();
    // The force flag, or else no debugger attached.
    bool ShouldWatchdog();

    void SetExecutionPhaseString(const char* pchPhase) { m_pchExecutionPhase.store(pchPhase); }
    const char* GetExecutionPhaseString() const { return m_pchExecutionPhase.load(); }
    bool IsMonitorRunning();

    // The monitor's cadence. A gap of more than twice this between two passes
    // means the process was stopped or the monitor starved.
    static constexpr double k_dflEvaluationIntervalSeconds = 2.0;

private:
    void MonitorThread();
    // unSinceTick: the ticks from the last tick to this pass; eBehavior: the
    // behaviour the watchdog had when the report was claimed.
    void ReportTimeout(CThreadWatchdog::Status_s* pStatus,
                       CThreadWatchdog::EWatchdogTimeoutBehavior eBehavior, uint64_t unSinceTick);

    std::recursive_mutex m_registryMutex;
    std::vector<CThreadWatchdog::Status_s*> m_vecWatchdogs;
    // Guards the monitor's start and stop, so that a restart never races a
    // join. Taken before the registry mutex.
    std::mutex m_lifecycleMutex;
    std::unique_ptr<std::thread> m_pMonitorThread;
    std::atomic<bool> m_bStopRequest{false};
    std::mutex m_waitMutex;
    std::condition_variable m_waitCondition;
    std::atomic<bool> m_bForce{false};
    std::atomic<const char*> m_pchExecutionPhase{"startup"};
    uint64_t m_unLastEvaluationTicks = 0;
    uint64_t m_unMaxEvaluationGapTicks = 0;
};

extern CThreadWatchdogManager s_ThreadWatchdogManager;

// Sets the calling thread's detail string for a scope and restores the
// previous one on every way out.
class CWatchdogDetailScope {
public:
    explicit CWatchdogDetailScope(const char* pchDetail)
        : m_pchPrevious(CThreadWatchdog::GetDetailString()) {
        CThreadWatchdog::SetDetailString(pchDetail);
    }
    ~CWatchdogDetailScope() { CThreadWatchdog::SetDetailString(m_pchPrevious); }
    CWatchdogDetailScope(const CWatchdogDetailScope&) = delete;
    CWatchdogDetailScope& operator=(const CWatchdogDetailScope&) = delete;

private:
    const char* m_pchPrevious;
};
