#include "vrassert.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "envvars.h"
#include "logregistry.h"
#include "platformtools.h"
#include "vrcrash.h"

std::atomic<CAssert*> CAssert::m_pInstance{nullptr};
std::mutex CAssert::m_mutex;

CAssert* CAssert::GetInstance() {
    CAssert* pInstance = m_pInstance.load(std::memory_order_acquire);
    if (pInstance) {
        return pInstance;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    pInstance = m_pInstance.load(std::memory_order_relaxed);
    if (!pInstance) {
        pInstance = new CAssert();  // lives until process exit by design
        m_pInstance.store(pInstance, std::memory_order_release);
    }
    return pInstance;
}

bool CAssert::AddCallback(CAssertCallback* pCallback) {
    if (!pCallback) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(m_recursiveMutex);
    return m_callbacks.Add(pCallback);
}

void CAssert::RemoveCallback(CAssertCallback* pCallback) {
    if (!pCallback) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_recursiveMutex);
    m_callbacks.Remove(pCallback);
}

namespace {

void TriggerDebugBreak() {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#else
    raise(SIGTRAP);
#endif
}

}  // namespace

void CAssert::AssertMsgImpl(const char* pchFile, unsigned int unLine, bool bFatal,
                            unsigned int argCount, ...) {
    char rchMessage[k_unMaxMessageSize];
    memset(rchMessage, 0, sizeof(rchMessage));

    va_list args;
    va_start(args, argCount);
    if (argCount == 0) {
        snprintf(rchMessage, sizeof(rchMessage), "%s", "<unknown>");
    } else if (argCount == 1) {
        const char* pchText = va_arg(args, const char*);
        snprintf(rchMessage, sizeof(rchMessage), "%s", pchText ? pchText : "");
    } else {
        const char* pchFormat = va_arg(args, const char*);
        if (pchFormat) {
            vsnprintf(rchMessage, sizeof(rchMessage), pchFormat, args);
        }
    }
    va_end(args);

    const char* pchFileText = pchFile ? pchFile : "";
    Log(LogLevel_Error, "ASSERT: \"%s\" at %s:%d.\n", rchMessage, pchFileText,
        static_cast<int>(unLine));

    if (CLog::BIsDeliveringOnThisThread()) {
        // Raised by a log subscriber (or under the log writer): the assert
        // registry's lock nests outside the log registry's, so taking it here
        // could deadlock against a thread whose assert subscription logs. The
        // subscriptions run once the delivery has let go of its lock.
        CLog::RunOutsideDelivery(
            [this, sMessage = std::string(rchMessage), sFile = std::string(pchFileText), unLine,
             bFatal] { DeliverAndBreak(sMessage.c_str(), sFile.c_str(), unLine, bFatal); });
        return;
    }
    DeliverAndBreak(rchMessage, pchFileText, unLine, bFatal);
}

void CAssert::DeliverAndBreak(const char* pchMessage, const char* pchFile, unsigned int unLine,
                              bool bFatal) {
    if (Deliver(pchMessage, pchFile, unLine, bFatal)) {
        TriggerDebugBreak();
    }
}

bool CAssert::Deliver(const char* pchMessage, const char* pchFile, unsigned int unLine,
                      bool bFatal) {
    bool bBreakRequest = false;
    std::lock_guard<std::recursive_mutex> lock(m_recursiveMutex);
    m_callbacks.ForEach([&](CAssertCallback* pCallback) {
        pCallback->m_callable(pchMessage, pchFile, unLine, bFatal, pCallback->m_pContext,
                              &bBreakRequest);
    });
    return bBreakRequest;
}

CAssertCallback::~CAssertCallback() {
    if (m_pAssert) {
        m_pAssert->RemoveCallback(this);
    }
}

bool CAssertCallback::Initialize(Callable_t callable, void* pContext) {
    m_pAssert = CAssert::GetInstance();
    if (!m_pAssert || !callable) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(m_pAssert->m_recursiveMutex);
    m_callable = std::move(callable);
    m_pContext = pContext;
    return m_pAssert->AddCallback(this);
}

// ---- the process's assert subscription ----------------------------------------------

std::map<AssertLookup_t, bool> s_mapDumpedAsserts;
std::unique_ptr<CAssertCallback> g_pAssertCallback;

namespace {

// Constant-initialised, so the runtime layer may install its handler from a
// static initialiser of its own.
std::atomic<AssertProfilerCaptureFn_t> s_pfnProfilerCapture{nullptr};

// The size of the assertion minidump comment buffer.
constexpr size_t k_cchAssertComment = 8213;

bool BAssertMinidumpsDisabled() {
    static const bool bMinidumpDisabled = [] {
        const char* pchValue = getenv("ORRERY_DISABLE_ASSERT_MINIDUMP");
        return strtol(pchValue ? pchValue : "", nullptr, 10) == 1;
    }();
    return bMinidumpDisabled;
}

// True the first time a location is seen.
bool BFirstFailureAt(const char* pchFile, unsigned int unLine) {
    bool& bHandled = s_mapDumpedAsserts[AssertLookup_t{pchFile ? pchFile : "", unLine}];
    if (bHandled) {
        return false;
    }
    bHandled = true;
    return true;
}

}  // namespace

void SetAssertProfilerCaptureHandler(AssertProfilerCaptureFn_t pfnHandler) {
    s_pfnProfilerCapture.store(pfnHandler);
}

void AssertCallbackImplementation(const char* pchMessage, const char* pchFile, unsigned int unLine,
                                  bool bFatal, void* /*pContext*/, bool* pbBreakRequest) {
    if (GetEnvironmentVariableAsBool("ORRERY_FRAMESCOPE_ON_ASSERT", false)) {
        if (AssertProfilerCaptureFn_t pfnCapture = s_pfnProfilerCapture.load()) {
            pfnCapture();
        }
    }

    bool bMinidumpDisabled = BAssertMinidumpsDisabled();
    if (BFirstFailureAt(pchFile, unLine) && !bMinidumpDisabled) {
        char rchComment[k_cchAssertComment];
        snprintf(rchComment, sizeof(rchComment), "Assert( %s ) %s(%d)\n",
                 pchMessage ? pchMessage : "", pchFile ? pchFile : "", static_cast<int>(unLine));
        VRWriteMiniDumpIfSetup(rchComment, bFatal);
    }

    // The registry breaks only into a debugger that is there to take it: a
    // break without one would end the process with SIGTRAP.
    if (pbBreakRequest) {
        *pbBreakRequest = Plat_IsInDebugSession();
    }

    if (bFatal) {
        Log(LogLevel_Error, "Aborting due to fatal assertion failure.");
        abort();
    }
}

void InitAssertCallback() {
    if (g_pAssertCallback) {
        return;
    }
    g_pAssertCallback = std::make_unique<CAssertCallback>();
    g_pAssertCallback->Initialize(&AssertCallbackImplementation, nullptr);
}

void CleanupAssertCallback() {
    std::unique_ptr<CAssertCallback> pCallback = std::move(g_pAssertCallback);
    pCallback.reset();
}
