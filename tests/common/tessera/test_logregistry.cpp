#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logregistry.h"

namespace {

struct Delivered {
    ELogLevel level;
    std::string text;
};

// Records every line delivered to it while alive.
class Recorder {
public:
    explicit Recorder(CLog* pLog = nullptr) : m_callback(pLog) {
        EXPECT_TRUE(m_callback.Initialize(
            [this](ELogLevel level, const char* pchText, void* pContext) {
                EXPECT_EQ(pContext, this);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_vecLines.push_back({level, pchText});
            },
            this));
    }
    std::vector<Delivered> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLines;
    }
    CLogCallback& Callback() { return m_callback; }

private:
    std::mutex m_mutex;
    std::vector<Delivered> m_vecLines;
    CLogCallback m_callback;
};

TEST(LogRegistry, LevelNames) {
    EXPECT_STREQ(GetLogLevelName(LogLevel_Fatal), "Fatal");
    EXPECT_STREQ(GetLogLevelName(LogLevel_Error), "Error");
    EXPECT_STREQ(GetLogLevelName(LogLevel_Warning), "Warning");
    EXPECT_STREQ(GetLogLevelName(LogLevel_Info), "Info");
    EXPECT_STREQ(GetLogLevelName(LogLevel_Detail), "Detail");
    EXPECT_STREQ(GetLogLevelName(static_cast<ELogLevel>(5)), "<unknown>");
    EXPECT_STREQ(GetLogLevelName(static_cast<ELogLevel>(-1)), "<unknown>");
}

TEST(LogRegistry, FormatsOneLineEndingInExactlyOneNewline) {
    Recorder recorder;
    Log("x");
    Log(LogLevel_Warning, "already\n");
    Log(LogLevel_Error, "%s", "");
    Log(LogLevel_Detail, "%d-%s", 42, "y");
    Log(LogLevel_Info, "two\n\n");

    std::string strLong(5000, 'a');
    Log(LogLevel_Info, "%s", strLong.c_str());
    std::string strExact(4094, 'b');
    Log(LogLevel_Info, "%s", strExact.c_str());
    std::string strExactWithNewline(4094, 'c');
    strExactWithNewline += '\n';
    Log(LogLevel_Info, "%s", strExactWithNewline.c_str());

    auto lines = recorder.Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].level, LogLevel_Info);
    EXPECT_EQ(lines[0].text, "x\n");
    EXPECT_EQ(lines[1].level, LogLevel_Warning);
    EXPECT_EQ(lines[1].text, "already\n");
    EXPECT_EQ(lines[2].text, "\n");
    EXPECT_EQ(lines[3].level, LogLevel_Detail);
    EXPECT_EQ(lines[3].text, "42-y\n");
    EXPECT_EQ(lines[4].text, "two\n\n");
    EXPECT_EQ(lines[5].text, std::string(4094, 'a') + "\n");
    EXPECT_EQ(lines[6].text, strExact + "\n");
    // 4095 characters: cut to 4094, whose last is 'c', so a newline is added.
    EXPECT_EQ(lines[7].text, std::string(4094, 'c') + "\n");

    // A conversion that fails (a wide character the C locale cannot encode)
    // keeps the text formatted before it and still ends the line.
    ASSERT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
    Log(LogLevel_Info, "abc%lsdef", L"\u00e9");
    lines = recorder.Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[8].text, "abc\n");
}

TEST(LogRegistry, NoLevelFilteringInTheRegistry) {
    Recorder recorder;
    Log(static_cast<ELogLevel>(17), "odd level");
    auto lines = recorder.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, static_cast<ELogLevel>(17));
}

TEST(LogRegistry, RegistrationOrderDuplicatesAndRemoval) {
    std::vector<std::string> calls;
    CLogCallback first, second;
    ASSERT_TRUE(first.Initialize([&](ELogLevel, const char*, void*) { calls.push_back("first"); },
                                 nullptr));
    ASSERT_TRUE(second.Initialize([&](ELogLevel, const char*, void*) { calls.push_back("second"); },
                                  nullptr));
    // A second registration of the same subscription is called twice per line.
    ASSERT_TRUE(CLog::GetInstance()->AddCallback(&first));
    Log("one");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "first"}));

    // One removal takes out every entry of the subscription.
    calls.clear();
    CLog::GetInstance()->RemoveCallback(&first);
    Log("two");
    EXPECT_EQ(calls, (std::vector<std::string>{"second"}));

    EXPECT_FALSE(CLog::GetInstance()->AddCallback(nullptr));
    CLog::GetInstance()->RemoveCallback(nullptr);  // harmless
}

TEST(LogRegistry, EmptyCallableRegistersNothing) {
    Recorder witness;
    {
        CLogCallback empty;
        EXPECT_FALSE(empty.Initialize(nullptr, nullptr));
        EXPECT_EQ(empty.GetLog(), CLog::GetInstance());
        Log("while empty exists");
    }
    Log("after empty destroyed");
    EXPECT_EQ(witness.Lines().size(), 2u);
}

TEST(LogRegistry, DestroyedSubscriptionIsNoLongerCalled) {
    auto pRecorder = std::make_unique<Recorder>();
    Log("seen");
    auto lines = pRecorder->Lines();
    pRecorder.reset();
    Log("not seen");  // would be a use-after-free under asan if still registered
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "seen\n");
}

TEST(LogRegistry, PrivateRegistryKeepsItsBinding) {
    CLog privateLog;
    Recorder privateRecorder(&privateLog);
    Recorder globalRecorder;
    EXPECT_EQ(privateRecorder.Callback().GetLog(), &privateLog);

    privateLog.Log(LogLevel_Error, "private %d", 1);
    Log("global");
    ASSERT_EQ(privateRecorder.Lines().size(), 1u);
    EXPECT_EQ(privateRecorder.Lines()[0].text, "private 1\n");
    ASSERT_EQ(globalRecorder.Lines().size(), 1u);
    EXPECT_EQ(globalRecorder.Lines()[0].text, "global\n");
}

TEST(LogRegistry, SubscriberMayLogFromInsideItsCallable) {
    std::vector<std::string> seen;
    CLogCallback nesting, after;
    ASSERT_TRUE(nesting.Initialize(
        [&](ELogLevel, const char* pchText, void*) {
            seen.push_back(std::string("nesting:") + pchText);
            if (std::string(pchText) == "outer\n") {
                Log("inner");
            }
        },
        nullptr));
    ASSERT_TRUE(after.Initialize([&](ELogLevel, const char* pchText,
                                     void*) { seen.push_back(std::string("after:") + pchText); },
                                 nullptr));
    Log("outer");
    // The nested line reaches every subscriber before the outer delivery goes on.
    EXPECT_EQ(seen, (std::vector<std::string>{"nesting:outer\n", "nesting:inner\n", "after:inner\n",
                                              "after:outer\n"}));
}

TEST(LogRegistry, SubscriptionsChangedDuringDeliveryLeaveItIntact) {
    std::vector<std::string> seen;
    auto pVictim = std::make_unique<CLogCallback>();
    std::unique_ptr<CLogCallback> pLate;
    CLogCallback changer, tail;

    ASSERT_TRUE(changer.Initialize(
        [&](ELogLevel, const char* pchText, void*) {
            seen.push_back(std::string("changer:") + pchText);
            if (pVictim) {
                pVictim.reset();  // unsubscribes a later entry mid-delivery
                pLate = std::make_unique<CLogCallback>();
                EXPECT_TRUE(pLate->Initialize(
                    [&](ELogLevel, const char* pchLine, void*) {
                        seen.push_back(std::string("late:") + pchLine);
                    },
                    nullptr));
            }
        },
        nullptr));
    ASSERT_TRUE(
        pVictim->Initialize([&](ELogLevel, const char* pchText,
                                void*) { seen.push_back(std::string("victim:") + pchText); },
                            nullptr));
    ASSERT_TRUE(tail.Initialize([&](ELogLevel, const char* pchText,
                                    void*) { seen.push_back(std::string("tail:") + pchText); },
                                nullptr));

    Log("first");
    Log("second");
    EXPECT_EQ(seen, (std::vector<std::string>{"changer:first\n", "tail:first\n", "changer:second\n",
                                              "tail:second\n", "late:second\n"}));
}

TEST(LogRegistryThreaded, ConcurrentLoggersDeliverWholeLinesOneAtATime) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 500;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::string> seen;
    CLogCallback checker;
    ASSERT_TRUE(checker.Initialize(
        [&](ELogLevel, const char* pchText, void*) {
            if (inside.fetch_add(1) != 0 && std::string(pchText).rfind("nested", 0) != 0) {
                overlapped = true;
            }
            seen.emplace_back(pchText);
            if (std::string(pchText).rfind("line", 0) == 0 && seen.size() % 50 == 0) {
                Log("nested from callable");
            }
            inside.fetch_sub(1);
        },
        nullptr));

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                Log("line %d %d", t, i);
            }
        });
    }
    // Subscriptions come and go on another thread while lines are delivered.
    std::thread churn([] {
        for (int i = 0; i < 200; ++i) {
            CLogCallback transient;
            transient.Initialize([](ELogLevel, const char*, void*) {}, nullptr);
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    churn.join();

    EXPECT_FALSE(overlapped);
    std::vector<int> nextPerThread(kThreads, 0);
    int nested = 0;
    for (const std::string& strLine : seen) {
        int t = -1, i = -1;
        if (sscanf(strLine.c_str(), "line %d %d", &t, &i) == 2) {
            ASSERT_EQ(strLine, "line " + std::to_string(t) + " " + std::to_string(i) + "\n");
            EXPECT_EQ(i, nextPerThread[t]++) << "lines of one thread arrive in order";
        } else {
            EXPECT_EQ(strLine, "nested from callable\n");
            ++nested;
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(nextPerThread[t], kLinesPerThread);
    }
    EXPECT_GT(nested, 0);
}

}  // namespace
