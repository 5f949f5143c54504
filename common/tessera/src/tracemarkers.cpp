#include "tracemarkers.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "pathtools.h"
#include "systemtime.h"
#include "threadtools.h"

namespace {

const char* const k_rgpchMarkerPaths[] = {
    "/sys/kernel/debug/tracing/trace_marker",
    "/sys/kernel/tracing/trace_marker",
};
constexpr double k_flRetrySeconds = 5.0;

// The marker file, opened on demand. The fast path (already open, or a recent
// failed attempt) reads the two values without the lock.
int GetTraceMarkerFd() {
    static std::atomic<int> s_nTraceFileFD{-1};
    static std::atomic<double> s_flLastAttemptTime{0.0};
    int nFd = s_nTraceFileFD.load(std::memory_order_acquire);
    if (nFd >= 0) {
        return nFd;
    }
    if (GetSystemTime() - s_flLastAttemptTime.load(std::memory_order_relaxed) < k_flRetrySeconds) {
        return -1;
    }
    static CThreadMutex s_TraceMarkerMutex;
    std::lock_guard<CThreadMutex> lock(s_TraceMarkerMutex);
    double flNow = GetSystemTime();
    nFd = s_nTraceFileFD.load(std::memory_order_acquire);
    if (nFd >= 0 ||
        flNow - s_flLastAttemptTime.load(std::memory_order_relaxed) < k_flRetrySeconds) {
        return nFd;
    }
    s_flLastAttemptTime.store(flNow, std::memory_order_relaxed);
    for (const char* pchPath : k_rgpchMarkerPaths) {
        nFd = open(pchPath, O_WRONLY | O_CLOEXEC);
        if (nFd >= 0) {
            break;
        }
    }
    s_nTraceFileFD.store(nFd, std::memory_order_release);
    return nFd;
}

// This process's id for the markers without a system call for each: a frame
// writes several. Asked again in a child made by fork.
std::atomic<pid_t> s_pidForMarkers{0};

void ForgetPidForMarkers() {
    s_pidForMarkers.store(0, std::memory_order_relaxed);
}

pid_t PidForMarkers() {
    static const bool s_bForkHandled = pthread_atfork(nullptr, nullptr, ForgetPidForMarkers) == 0;
    pid_t pid = s_pidForMarkers.load(std::memory_order_relaxed);
    if (pid == 0 || !s_bForkHandled) {
        pid = getpid();
        s_pidForMarkers.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

bool EventWriteString(const char* pchText, EVRTraceEvent) {
    int nFd = GetTraceMarkerFd();
    if (nFd < 0 || !pchText) {
        return false;
    }
    return Path_WriteToDescriptor(nFd, pchText, strlen(pchText));
}

void EventWriteStringF(const char* pchFormat, ...) {
    char rchBuffer[k_nMaxTraceMarkerLength + 1];
    va_list args;
    va_start(args, pchFormat);
    vsnprintf(rchBuffer, sizeof(rchBuffer), pchFormat, args);
    va_end(args);
    EventWriteString(rchBuffer, k_EVRTraceEvent_Default);
}

void EventWriteStringBeginEnd(bool bBegin, const char* pchContext, const char* pchLocation,
                              const char* pchName, uint64_t ulEventId) {
    // Without a tracer (the usual case) the line would be dropped anyway:
    // not formatting it spares every frame's scopes a printf.
    if (GetTraceMarkerFd() < 0) {
        return;
    }
    char rchBuffer[k_nMaxTraceMarkerLength + 1];
    snprintf(rchBuffer, sizeof(rchBuffer), "[%s] %s=%lu tgid=%d file=%s %s",
             pchContext ? pchContext : "", bBegin ? "begin_ctx" : "end_ctx",
             static_cast<unsigned long>(ulEventId), static_cast<int>(PidForMarkers()),
             pchLocation ? pchLocation : "", pchName ? pchName : "");
    EventWriteString(rchBuffer, k_EVRTraceEvent_Default);
}

void EventWriteStringBegin(const char* pchContext, const char* pchLocation, const char* pchName,
                           uint64_t ulEventId) {
    EventWriteStringBeginEnd(true, pchContext, pchLocation, pchName, ulEventId);
}

void EventWriteStringEnd(const char* pchContext, const char* pchLocation, const char* pchName,
                         uint64_t ulEventId) {
    EventWriteStringBeginEnd(false, pchContext, pchLocation, pchName, ulEventId);
}

uint64_t GetNextEventId() {
    static std::atomic<uint64_t> ulMessageCounter{1};
    return ulMessageCounter.fetch_add(1);
}

const char* ALBasename(const char* pchPath) {
    if (!pchPath) {
        return pchPath;
    }
    int nSeparators = 0;
    for (size_t i = strlen(pchPath); i-- > 1;) {
        if (pchPath[i] == '/' || pchPath[i] == '\\') {
            if (++nSeparators == 3) {
                return pchPath + i + 1;
            }
        }
    }
    return pchPath;
}

bool VrInitGpuProfiling() {
    return true;
}

CScopedEventDuration::CScopedEventDuration(const char* pchContext, const char* pchLocation,
                                           const char* pchFormat, ...)
    : m_pchContext(nullptr), m_pchLocation(nullptr), m_ulEventId(0) {
    m_rchName[0] = '\0';
    if (!pchFormat) {
        return;
    }
    if (std::strchr(pchFormat, '%') == nullptr) {
        // A plain name (the frame's markers): what vsnprintf would make of
        // it, without parsing it as a format every frame.
        const size_t cch = strnlen(pchFormat, sizeof(m_rchName) - 1);
        std::memcpy(m_rchName, pchFormat, cch);
        m_rchName[cch] = '\0';
    } else {
        va_list args;
        va_start(args, pchFormat);
        vsnprintf(m_rchName, sizeof(m_rchName), pchFormat, args);
        va_end(args);
    }
    m_pchContext = pchContext;
    m_pchLocation = pchLocation;
    m_ulEventId = GetNextEventId();
    EventWriteStringBeginEnd(true, m_pchContext, m_pchLocation, m_rchName, m_ulEventId);
}

CScopedEventDuration::~CScopedEventDuration() {
    if (m_ulEventId != 0) {
        EventWriteStringBeginEnd(false, m_pchContext, m_pchLocation, m_rchName, m_ulEventId);
    }
}
