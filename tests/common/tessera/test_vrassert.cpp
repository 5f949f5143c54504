#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logbuffer.h"
#include "logregistry.h"
#include "test_support.h"
#include "vrassert.h"

namespace {

using halyard_test::RunInChild;

struct Report {
    std::string message, file;
    unsigned int line;
    bool fatal;
};

class AssertRecorder {
public:
    AssertRecorder() {
        EXPECT_TRUE(m_callback.Initialize(
            [this](const char* pchMessage, const char* pchFile, unsigned int unLine, bool bFatal,
                   void* pContext, bool* pbBreak) {
                EXPECT_EQ(pContext, this);
                EXPECT_NE(pbBreak, nullptr);
                m_vecReports.push_back({pchMessage, pchFile, unLine, bFatal});
            },
            this));
    }
    std::vector<Report> m_vecReports;

private:
    CAssertCallback m_callback;
};

class LogLines {
public:
    LogLines() {
        m_callback.Initialize(
            [this](ELogLevel level, const char* pchText, void*) {
                m_vecLines.push_back(std::string(GetLogLevelName(level)) + ":" + pchText);
            },
            nullptr);
    }
    std::vector<std::string> m_vecLines;

private:
    CLogCallback m_callback;
};

TEST(AssertRegistry, MessageRulesByArgCount) {
    LogLines log;
    AssertRecorder recorder;
    CAssert* pAssert = CAssert::GetInstance();

    pAssert->AssertMsgImpl("a/b.src", 12, false, 0);
    pAssert->AssertMsgImpl("a/b.src", 13, false, 1, "100%d sure %s");
    pAssert->AssertMsgImpl("c.src", 14, false, 2, "Thread watchdog timed out %s", "Main");
    pAssert->AssertMsgImpl("c.src", 15, false, 3, "%d+%d", 1, 2);

    EXPECT_EQ(log.m_vecLines, (std::vector<std::string>{
                                  "Error:ASSERT: \"<unknown>\" at a/b.src:12.\n",
                                  "Error:ASSERT: \"100%d sure %s\" at a/b.src:13.\n",
                                  "Error:ASSERT: \"Thread watchdog timed out Main\" at c.src:14.\n",
                                  "Error:ASSERT: \"1+2\" at c.src:15.\n",
                              }));
    ASSERT_EQ(recorder.m_vecReports.size(), 4u);
    EXPECT_EQ(recorder.m_vecReports[0].message, "<unknown>");
    EXPECT_EQ(recorder.m_vecReports[1].message, "100%d sure %s");
    EXPECT_EQ(recorder.m_vecReports[2].message, "Thread watchdog timed out Main");
    EXPECT_EQ(recorder.m_vecReports[2].file, "c.src");
    EXPECT_EQ(recorder.m_vecReports[2].line, 14u);
    EXPECT_FALSE(recorder.m_vecReports[2].fatal);
}

TEST(AssertRegistry, LongMessagesAreCutToTheBuffer) {
    AssertRecorder recorder;
    std::string strHuge(20000, 'm');
    CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, strHuge.c_str());
    CAssert::GetInstance()->AssertMsgImpl("f", 2, false, 2, "%s", strHuge.c_str());
    ASSERT_EQ(recorder.m_vecReports.size(), 2u);
    EXPECT_EQ(recorder.m_vecReports[0].message, std::string(8191, 'm'));
    EXPECT_EQ(recorder.m_vecReports[1].message, std::string(8191, 'm'));
}

TEST(AssertRegistry, WithoutSubscriptionsAnAssertionIsOneErrorLine) {
    LogLines log;
    CAssert::GetInstance()->AssertMsgImpl("x.src", 7, false, 1, "cond");
    EXPECT_EQ(log.m_vecLines, (std::vector<std::string>{"Error:ASSERT: \"cond\" at x.src:7.\n"}));
}

TEST(AssertRegistry, MacrosPassFileLineAndArgCount) {
    AssertRecorder recorder;
    int value = 3;
    const int unLine = __LINE__ + 1;
    TESSERA_ASSERT(value == 4);
    TESSERA_ASSERT_MSG(value == 5, "value is %d, expected %d", value, 5);
    TESSERA_ASSERT_MSG(value == 6, "plain %d text");
    TESSERA_ASSERT(value == 3);  // holds: no report
    ASSERT_EQ(recorder.m_vecReports.size(), 3u);
    EXPECT_EQ(recorder.m_vecReports[0].message, "value == 4");
    EXPECT_EQ(recorder.m_vecReports[0].line, static_cast<unsigned>(unLine));
    EXPECT_EQ(recorder.m_vecReports[0].file, __FILE__);
    EXPECT_EQ(recorder.m_vecReports[1].message, "value is 3, expected 5");
    EXPECT_EQ(recorder.m_vecReports[2].message, "plain %d text");
}

TEST(AssertRegistry, EmptyCallableAndDuplicates) {
    LogLines log;
    {
        CAssertCallback empty;
        EXPECT_FALSE(empty.Initialize(nullptr, nullptr));
    }
    int calls = 0;
    CAssertCallback twice;
    ASSERT_TRUE(twice.Initialize(
        [&](const char*, const char*, unsigned, bool, void*, bool*) { ++calls; }, nullptr));
    ASSERT_TRUE(CAssert::GetInstance()->AddCallback(&twice));
    CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, "m");
    EXPECT_EQ(calls, 2);
    CAssert::GetInstance()->RemoveCallback(&twice);
    CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, "m");
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(CAssert::GetInstance()->AddCallback(nullptr));
}

// The assert registry's lock nests outside the log registry's. One thread is
// in an assert subscription that logs (and so waits for the log registry);
// another, inside a log delivery, raises an assertion. The assertion reaches
// the subscriptions once the delivery is over, so neither thread waits for
// the other. Each row is one way an assertion comes up inside a delivery.
TEST(AssertRegistryThreaded, AnAssertionInsideALogDeliveryWaitsForItsEnd) {
    struct Row {
        const char* pchName;
        const char* pchRaised;  // the message of the assertion raised in the delivery
        bool bZeroLimitBuffer;  // else a log subscriber asserts
    };
    for (const Row& row : {Row{"log subscriber", "raised in a delivery", false},
                           Row{"buffer with a zero limit", "m_nMaxLogBufferingSize > 0", true}}) {
        halyard_test::ChildOptions options;
        options.timeout = std::chrono::milliseconds(20000);
        auto result = RunInChild(
            [&row] {
                std::atomic<bool> bAssertSide{false};
                std::atomic<bool> bLogSide{false};
                std::mutex mutex;
                std::vector<std::pair<std::string, std::thread::id>> vecAsserts;
                CAssertCallback subscription;
                subscription.Initialize(
                    [&](const char* pchMessage, const char*, unsigned, bool, void*, bool*) {
                        {
                            std::lock_guard<std::mutex> lock(mutex);
                            vecAsserts.emplace_back(pchMessage, std::this_thread::get_id());
                        }
                        if (std::string(pchMessage) == "from the assert side") {
                            bAssertSide = true;
                            halyard_test::WaitFor([&] { return bLogSide.load(); });
                            Log("logged by the assert subscription");
                        }
                    },
                    nullptr);
                CLogCallback gate;
                gate.Initialize(
                    [&](ELogLevel, const char* pchText, void*) {
                        bLogSide = bLogSide || std::string(pchText) == "raise\n";
                    },
                    nullptr);
                CLogCallback raiser;
                std::unique_ptr<CLogBuffer> pBuffer;
                if (row.bZeroLimitBuffer) {
                    pBuffer = std::make_unique<CLogBuffer>();
                    pBuffer->SetBufferLimit(0);  // empty: nothing to report yet
                } else {
                    raiser.Initialize(
                        [](ELogLevel, const char* pchText, void*) {
                            if (std::string(pchText) == "raise\n") {
                                TESSERA_ASSERT_MSG(false, "raised in a delivery");
                            }
                        },
                        nullptr);
                }
                std::thread assertSide([] {
                    CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, "from the assert side");
                });
                halyard_test::WaitFor([&] { return bAssertSide.load(); });
                Log("raise");
                assertSide.join();
                std::lock_guard<std::mutex> lock(mutex);
                for (const auto& [sMessage, thread] : vecAsserts) {
                    if (sMessage == row.pchRaised && thread == std::this_thread::get_id()) {
                        return 0;
                    }
                }
                return 1;
            },
            options);
        EXPECT_FALSE(result.bTimedOut) << row.pchName << ": deadlocked";
        EXPECT_EQ(result.exitCode, 0) << row.pchName << "\n" << result.strStderr;
    }
}

// The break request is honoured with the registry's mutex released: a thread
// that blocks on the registry while the subscription runs gets through before
// the breakpoint traps.
std::atomic<bool> g_bOtherThreadGotLock{false};
std::atomic<int> g_nTrapResult{0};

void OnTrap(int) {
    for (int i = 0; i < 30000 && !g_bOtherThreadGotLock.load(); ++i) {
        usleep(1000);
    }
    g_nTrapResult = g_bOtherThreadGotLock.load() ? 1 : 2;
}

TEST(AssertRegistry, BreakRequestTrapsAfterTheLockIsReleased) {
    auto result = RunInChild([] {
        signal(SIGTRAP, OnTrap);
        std::thread blocker;
        CAssertCallback other;
        CAssertCallback breaker;
        breaker.Initialize(
            [&](const char*, const char*, unsigned, bool, void*, bool* pbBreak) {
                blocker = std::thread([&] {
                    CAssert::GetInstance()->AddCallback(&other);  // waits for the registry
                    g_bOtherThreadGotLock = true;
                });
                *pbBreak = true;
            },
            nullptr);
        CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, "break please");
        blocker.join();
        CAssert::GetInstance()->RemoveCallback(&other);
        return g_nTrapResult.load() == 1 ? 0 : 10 + g_nTrapResult.load();
    });
    ASSERT_TRUE(result.bExited) << "signal " << result.termSignal << "\n" << result.strStderr;
    EXPECT_EQ(result.exitCode, 0);
}

TEST(AssertRegistry, BreakRequestWithoutDebuggerRaisesSigtrap) {
    auto result = RunInChild([] {
        CAssertCallback breaker;
        breaker.Initialize(
            [](const char*, const char*, unsigned, bool, void*, bool* pbBreak) { *pbBreak = true; },
            nullptr);
        CAssert::GetInstance()->AssertMsgImpl("f", 1, false, 1, "trap");
        return 0;
    });
    EXPECT_FALSE(result.bExited);
    EXPECT_EQ(result.termSignal, SIGTRAP);
}

}  // namespace
