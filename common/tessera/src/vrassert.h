// vrassert: the process-wide assert registry and the assertion macros.
//
// A failed assertion becomes one Error log line ("ASSERT: \"<message>\" at
// <file>:<line>.") through the log registry, then a call of every assert
// subscription in registration order, on the failing thread and under the
// registry's recursive mutex. A subscription may ask for a debugger break; the
// break happens after the mutex is released. Non-fatal assertions return to
// the call site. An assertion raised inside a log delivery (by a log
// subscriber or listener) logs its line at once but reaches the subscriptions
// only when that delivery has ended: the assert registry's lock is never taken
// inside a log registry's.
//
// The process's own subscription (InitAssertCallback) decides what a failed
// assertion does beyond the log line, in this order:
//   1. with ORRERY_FRAMESCOPE_ON_ASSERT true, ask the compositor for a GPU
//      profiler capture through the handler the runtime layer installs
//      (SetAssertProfilerCaptureHandler; without one nothing is posted);
//   2. on the first failure at a source location (file, line), write one
//      minidump with the comment "Assert( <message> ) <file>(<line>)\n",
//      unless ORRERY_DISABLE_ASSERT_MINIDUMP converts (strtol base 10) to
//      exactly 1 when the first assertion of the process is handled;
//   3. set the registry's break request to whether a debugger is attached
//      (so without one no break happens, whoever asked for it before);
//   4. when fatal, log "Aborting due to fatal assertion failure." and abort().
//
// Thread safety: any thread may assert; subscriptions may be added and removed
// from any thread, including from inside a callable (see callbacklist.h). The
// subscription runs under the registry's mutex, which guards
// s_mapDumpedAsserts. InitAssertCallback and CleanupAssertCallback belong to
// the main thread.
// Ownership: the registry never owns a CAssertCallback; g_pAssertCallback owns
// the process's subscription.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "callbacklist.h"

class CAssertCallback;

class CAssert {
public:
    CAssert() = default;
    CAssert(const CAssert&) = delete;
    CAssert& operator=(const CAssert&) = delete;

    static CAssert* GetInstance();

    bool AddCallback(CAssertCallback* pCallback);
    void RemoveCallback(CAssertCallback* pCallback);

    // argCount counts the variable arguments: 0 → message "<unknown>"; 1 → one
    // plain text taken verbatim; 2 or more → a printf format and its arguments.
    void AssertMsgImpl(const char* pchFile, unsigned int unLine, bool bFatal, unsigned int argCount,
                       ...);

    static constexpr size_t k_unMaxMessageSize = 8192;

    static std::atomic<CAssert*> m_pInstance;
    static std::mutex m_mutex;

private:
    friend class CAssertCallback;
    bool Deliver(const char* pchMessage, const char* pchFile, unsigned int unLine, bool bFatal);
    void DeliverAndBreak(const char* pchMessage, const char* pchFile, unsigned int unLine,
                         bool bFatal);

    std::recursive_mutex m_recursiveMutex;
    tessera::CCallbackList<CAssertCallback> m_callbacks;
};

class CAssertCallback {
public:
    using Callable_t =
        std::function<void(const char* pchMessage, const char* pchFile, unsigned int unLine,
                           bool bFatal, void* pContext, bool* pbBreakRequest)>;

    CAssertCallback() = default;
    ~CAssertCallback();
    CAssertCallback(const CAssertCallback&) = delete;
    CAssertCallback& operator=(const CAssertCallback&) = delete;

    // Always binds to CAssert::GetInstance(); false (nothing registered) for an
    // empty callable.
    bool Initialize(Callable_t callable, void* pContext);

private:
    friend class CAssert;
    Callable_t m_callable;
    void* m_pContext = nullptr;
    CAssert* m_pAssert = nullptr;
};

// ---- the process's assert subscription ----------------------------------------------

// A source location. Ordered by line first, then by file name (byte-wise).
struct AssertLookup_t {
    std::string m_sFile;
    uint32_t m_unLine = 0;

    bool operator<(const AssertLookup_t& other) const {
        if (m_unLine != other.m_unLine) {
            return m_unLine < other.m_unLine;
        }
        return m_sFile < other.m_sFile;
    }
};

// Every location whose first failure has been handled (true). Only grows.
extern std::map<AssertLookup_t, bool> s_mapDumpedAsserts;
// The installed subscription; null until InitAssertCallback.
extern std::unique_ptr<CAssertCallback> g_pAssertCallback;

// Installs AssertCallbackImplementation (null context) unless installed.
void InitAssertCallback();
// Destroys the installed subscription, which unregisters it.
void CleanupAssertCallback();
void AssertCallbackImplementation(const char* pchMessage, const char* pchFile, unsigned int unLine,
                                  bool bFatal, void* pContext, bool* pbBreakRequest);

// How an assertion asks for a GPU profiler capture. tessera cannot reach the
// runtime's interfaces; the runtime layer installs the handler (null removes it).
using AssertProfilerCaptureFn_t = void (*)();
void SetAssertProfilerCaptureHandler(AssertProfilerCaptureFn_t pfnHandler);

// Counts 1..16 variadic arguments for AssertMsgImpl's argCount.
#define TESSERA_VA_NARGS(...) \
    TESSERA_VA_NARGS_(__VA_ARGS__, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TESSERA_VA_NARGS_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, \
                          N, ...)                                                                \
    N

#define TESSERA_ASSERT_AT_IMPL(pchFile, unLine, bFatal, cond, ...)                             \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            CAssert::GetInstance()->AssertMsgImpl(pchFile, unLine, bFatal,                     \
                                                  TESSERA_VA_NARGS(__VA_ARGS__), __VA_ARGS__); \
        }                                                                                      \
    } while (0)
#define TESSERA_ASSERT_IMPL(bFatal, cond, ...) \
    TESSERA_ASSERT_AT_IMPL(__FILE__, __LINE__, bFatal, cond, __VA_ARGS__)

// TESSERA_ASSERT(cond): the message is the text of the condition.
#define TESSERA_ASSERT(cond) TESSERA_ASSERT_IMPL(false, cond, #cond)
// TESSERA_ASSERT_MSG(cond, text) or TESSERA_ASSERT_MSG(cond, format, args...).
#define TESSERA_ASSERT_MSG(cond, ...) TESSERA_ASSERT_IMPL(false, cond, __VA_ARGS__)
// Fatal: the installed assert subscription ends the process.
#define TESSERA_ASSERT_FATAL(cond, ...) TESSERA_ASSERT_IMPL(true, cond, __VA_ARGS__)
// TESSERA_ASSERT_MSG_AT(file, line, cond, text...): TESSERA_ASSERT_MSG reported
// at the given source location instead of the one it stands on, for reports
// that people and tools match on. Such a location is a stable identifier: it
// stays when the code moves.
#define TESSERA_ASSERT_MSG_AT(pchFile, unLine, cond, ...) \
    TESSERA_ASSERT_AT_IMPL(pchFile, unLine, false, cond, __VA_ARGS__)
