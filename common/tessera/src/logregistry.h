// logregistry: the process-wide log registry (CLog) and the Log() entry points.
//
// Every log line of the process enters through Log()/LogDirect(). The registry
// (CLog) formats the line once and hands it, on the calling thread and under its
// recursive mutex, to each subscription (CLogCallback) in registration order.
// The registry writes nothing itself; subscribers decide where lines go and
// filter by level themselves.
//
// Thread safety: every function here may be called from any thread. A
// subscriber may log from inside its callable (the nested line is delivered
// before the outer delivery continues) and may add or remove subscriptions from
// inside it: a subscription removed during a delivery is not called afterwards,
// one added during a delivery is first called for the next line.
// Lock order: the assert registry's lock, then a log registry's, then the log
// writer's or the log buffer's. Work that would take an outer lock from inside
// a delivery (raising an assertion, say) goes through RunOutsideDelivery.
//
// Ownership: the registry never owns a CLogCallback; the subscriber owns it and
// destroying it unsubscribes. The process-wide registry lives until exit.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "callbacklist.h"

// Log severity: lower is more severe. Filters keep a line when
// level <= configured maximum.
enum ELogLevel : int {
    LogLevel_Fatal = 0,
    LogLevel_Error = 1,
    LogLevel_Warning = 2,
    LogLevel_Info = 3,
    LogLevel_Detail = 4,
};

// "Fatal", "Error", "Warning", "Info", "Detail"; "<unknown>" for any other value.
const char* GetLogLevelName(ELogLevel level);

class CLogCallback;

class CLog {
public:
    CLog() = default;
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // The process-wide registry, created on first use and never destroyed.
    static CLog* GetInstance();

    // false for null; otherwise appends (duplicates allowed) and returns true.
    bool AddCallback(CLogCallback* pCallback);
    // Removes every entry equal to pCallback; null does nothing.
    void RemoveCallback(CLogCallback* pCallback);

    // Formats one line (cut to 4094 characters, always ending in '\n') and
    // delivers it to every subscription.
    void Log(ELogLevel level, const char* pchFormat, va_list args);
    void Log(ELogLevel level, const char* pchFormat, ...) __attribute__((format(printf, 3, 4)));

    // Longest text delivered before its newline.
    static constexpr int k_nMaxLineLength = 4094;

    // Holds the registry's lock for a scope and counts as a delivery on the
    // calling thread. Code that writes on the registry's behalf without a line
    // coming through it (the log writer's direct lines) takes it first, so that
    // its own locks always nest inside the registry's.
    class CDeliveryLock {
    public:
        explicit CDeliveryLock(CLog& log);
        ~CDeliveryLock();
        CDeliveryLock(const CDeliveryLock&) = delete;
        CDeliveryLock& operator=(const CDeliveryLock&) = delete;

    private:
        CLog& m_log;
    };

    // Whether the calling thread holds the lock of any log registry.
    static bool BIsDeliveringOnThisThread();
    // Runs fn at once, or, when the calling thread is inside a delivery, as
    // soon as its outermost delivery has ended and released its lock.
    static void RunOutsideDelivery(std::function<void()> fn);

    static std::atomic<CLog*> s_pInstance;
    static std::mutex s_mutex;

private:
    friend class CLogCallback;
    void Deliver(ELogLevel level, const char* pchText);
    static void RunDeferred();

    std::recursive_mutex m_mutex;
    tessera::CCallbackList<CLogCallback> m_callbacks;
};

class CLogCallback {
public:
    using Callable_t = std::function<void(ELogLevel, const char*, void*)>;

    // A subscription may be created already bound to a registry (for example a
    // private one); Initialize then keeps that registry.
    explicit CLogCallback(CLog* pLog = nullptr) : m_pLog(pLog) {}
    ~CLogCallback();
    CLogCallback(const CLogCallback&) = delete;
    CLogCallback& operator=(const CLogCallback&) = delete;

    // Binds to CLog::GetInstance() unless already bound, stores the callable
    // and context and registers. false (nothing registered) for an empty callable.
    bool Initialize(Callable_t callable, void* pContext);

    CLog* GetLog() const { return m_pLog; }

private:
    friend class CLog;
    Callable_t m_callable;
    void* m_pContext = nullptr;
    CLog* m_pLog = nullptr;
};

// The entry points used throughout the system. The level-less form logs at
// LogLevel_Info.
void Log(ELogLevel level, const char* pchFormat, ...) __attribute__((format(printf, 2, 3)));
void Log(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));
void LogHelper(ELogLevel level, const char* pchFormat, va_list args);
void LogDirect(ELogLevel level, const char* pchFormat, va_list args);
