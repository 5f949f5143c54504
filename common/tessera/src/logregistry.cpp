#include "logregistry.h"

#include <cstdio>
#include <cstring>

std::atomic<CLog*> CLog::s_pInstance{nullptr};
std::mutex CLog::s_mutex;

namespace {

// Log registry locks held by this thread, over every registry.
thread_local int tl_nDeliveryDepth = 0;
// Set while tl_vecDeferred holds work, so that lines on a thread that never
// deferred anything do not touch (and create) the vector.
thread_local bool tl_bHasDeferred = false;
thread_local std::vector<std::function<void()>> tl_vecDeferred;

}  // namespace

const char* GetLogLevelName(ELogLevel level) {
    switch (level) {
        case LogLevel_Fatal:
            return "Fatal";
        case LogLevel_Error:
            return "Error";
        case LogLevel_Warning:
            return "Warning";
        case LogLevel_Info:
            return "Info";
        case LogLevel_Detail:
            return "Detail";
    }
    return "<unknown>";
}

CLog* CLog::GetInstance() {
    CLog* pInstance = s_pInstance.load(std::memory_order_acquire);
    if (pInstance) {
        return pInstance;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    pInstance = s_pInstance.load(std::memory_order_relaxed);
    if (!pInstance) {
        pInstance = new CLog();  // lives until process exit by design
        s_pInstance.store(pInstance, std::memory_order_release);
    }
    return pInstance;
}

bool CLog::AddCallback(CLogCallback* pCallback) {
    if (!pCallback) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_callbacks.Add(pCallback);
}

void CLog::RemoveCallback(CLogCallback* pCallback) {
    if (!pCallback) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_callbacks.Remove(pCallback);
}

void CLog::Log(ELogLevel level, const char* pchFormat, va_list args) {
    // Two spare bytes beyond the longest text: its newline and the terminator.
    char rchLine[4096];
    rchLine[0] = '\0';
    int nLength = vsnprintf(rchLine, sizeof(rchLine), pchFormat, args);
    if (nLength < 0) {
        // A conversion failed (an unencodable wide string, say): keep what was
        // formatted before it rather than the untouched rest of the buffer,
        // so the line still ends in its newline.
        nLength = static_cast<int>(strnlen(rchLine, k_nMaxLineLength));
    } else if (nLength > k_nMaxLineLength) {
        nLength = k_nMaxLineLength;
    }
    if (nLength == 0 || rchLine[nLength - 1] != '\n') {
        rchLine[nLength] = '\n';
        rchLine[nLength + 1] = '\0';
    } else {
        rchLine[nLength] = '\0';
    }
    Deliver(level, rchLine);
}

void CLog::Log(ELogLevel level, const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    Log(level, pchFormat, args);
    va_end(args);
}

CLog::CDeliveryLock::CDeliveryLock(CLog& log) : m_log(log) {
    m_log.m_mutex.lock();
    ++tl_nDeliveryDepth;
}

CLog::CDeliveryLock::~CDeliveryLock() {
    m_log.m_mutex.unlock();
    if (--tl_nDeliveryDepth == 0 && tl_bHasDeferred) {
        RunDeferred();
    }
}

bool CLog::BIsDeliveringOnThisThread() {
    return tl_nDeliveryDepth > 0;
}

void CLog::RunOutsideDelivery(std::function<void()> fn) {
    if (!fn) {
        return;
    }
    if (tl_nDeliveryDepth == 0) {
        fn();
        return;
    }
    tl_vecDeferred.push_back(std::move(fn));
    tl_bHasDeferred = true;
}

void CLog::RunDeferred() {
    // Taken out first: deferred work runs outside any delivery, so what it
    // defers in turn (it cannot, at depth 0) or logs does not touch this list.
    std::vector<std::function<void()>> vecWork;
    vecWork.swap(tl_vecDeferred);
    tl_bHasDeferred = false;
    for (std::function<void()>& fn : vecWork) {
        fn();
    }
}

void CLog::Deliver(ELogLevel level, const char* pchText) {
    CDeliveryLock lock(*this);
    m_callbacks.ForEach([&](CLogCallback* pCallback) {
        pCallback->m_callable(level, pchText, pCallback->m_pContext);
    });
}

CLogCallback::~CLogCallback() {
    if (m_pLog) {
        m_pLog->RemoveCallback(this);
    }
}

bool CLogCallback::Initialize(Callable_t callable, void* pContext) {
    if (!m_pLog) {
        m_pLog = CLog::GetInstance();
    }
    if (!m_pLog || !callable) {
        return false;
    }
    // Under the registry's lock: a re-initialised subscription may be in the
    // middle of a delivery on another thread.
    std::lock_guard<std::recursive_mutex> lock(m_pLog->m_mutex);
    m_callable = std::move(callable);
    m_pContext = pContext;
    return m_pLog->AddCallback(this);
}

void LogHelper(ELogLevel level, const char* pchFormat, va_list args) {
    if (CLog* pLog = CLog::GetInstance()) {
        pLog->Log(level, pchFormat, args);
    }
}

void LogDirect(ELogLevel level, const char* pchFormat, va_list args) {
    LogHelper(level, pchFormat, args);
}

void Log(ELogLevel level, const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogHelper(level, pchFormat, args);
    va_end(args);
}

void Log(const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogHelper(LogLevel_Info, pchFormat, args);
    va_end(args);
}
