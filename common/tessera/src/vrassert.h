// vrassert: the process-wide assert registry and the assertion macros.
//
// A failed assertion becomes one Error log line ("ASSERT: \"<message>\" at
// <file>:<line>.") through the log registry, then a call of every assert
// subscription in registration order, on the failing thread and under the
// registry's recursive mutex. A subscription may ask for a debugger break; the
// break happens after the mutex is released. Non-fatal assertions return to
// the call site.
//
// Thread safety: any thread may assert; subscriptions may be added and removed
// from any thread, including from inside a callable (see callbacklist.h).
// Ownership: the registry never owns a CAssertCallback.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

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

// Counts 1..16 variadic arguments for AssertMsgImpl's argCount.
#define TESSERA_VA_NARGS(...) \
    TESSERA_VA_NARGS_(__VA_ARGS__, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TESSERA_VA_NARGS_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, \
                          N, ...)                                                                \
    N

#define TESSERA_ASSERT_IMPL(bFatal, cond, ...)                                                 \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            CAssert::GetInstance()->AssertMsgImpl(__FILE__, __LINE__, bFatal,                  \
                                                  TESSERA_VA_NARGS(__VA_ARGS__), __VA_ARGS__); \
        }                                                                                      \
    } while (0)

// TESSERA_ASSERT(cond): the message is the text of the condition.
#define TESSERA_ASSERT(cond) TESSERA_ASSERT_IMPL(false, cond, #cond)
// TESSERA_ASSERT_MSG(cond, text) or TESSERA_ASSERT_MSG(cond, format, args...).
#define TESSERA_ASSERT_MSG(cond, ...) TESSERA_ASSERT_IMPL(false, cond, __VA_ARGS__)
// Fatal: the installed assert subscription ends the process.
#define TESSERA_ASSERT_FATAL(cond, ...) TESSERA_ASSERT_IMPL(true, cond, __VA_ARGS__)
