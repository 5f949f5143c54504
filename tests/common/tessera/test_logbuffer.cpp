#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driverlog.h"
#include "ivrdriverlog.h"
#include "logbuffer.h"
#include "logregistry.h"
#include "systemtime.h"
#include "test_support.h"
#include "thread_state.h"
#include "vrassert.h"

namespace {

std::vector<std::string> Texts(CLogBuffer& buffer) {
    std::vector<std::string> vecTexts;
    for (const auto& message : buffer.CopyLogBuffer()) {
        vecTexts.push_back(message.sText);
    }
    return vecTexts;
}

TEST(LogBuffer, KeepsWholeMessagesWithinTheExcessRule) {
    CLogBuffer buffer;
    buffer.SetBufferLimit(20);
    Log("1234567a");  // 9 characters with the newline: costs 10
    Log("1234567b");
    EXPECT_EQ(Texts(buffer).size(), 2u);
    Log("1234567c");  // excess 10: exactly the oldest goes
    EXPECT_EQ(Texts(buffer), (std::vector<std::string>{"1234567b\n", "1234567c\n"}));

    CLogBuffer second;
    second.SetBufferLimit(20);
    Log("abc");                               // costs 5
    Log("%s", std::string(28, 'x').c_str());  // costs 30: excess 15 drops only the 5
    EXPECT_EQ(Texts(second), (std::vector<std::string>{std::string(28, 'x') + "\n"}));
    Log("%s", std::string(13, 'y').c_str());  // costs 15: excess 25 < 30, nothing dropped
    EXPECT_EQ(Texts(second).size(), 2u);
    Log("%s", std::string(13, 'z').c_str());  // excess 40: the 30 goes, then 15 > 10 stays
    EXPECT_EQ(Texts(second),
              (std::vector<std::string>{std::string(13, 'y') + "\n", std::string(13, 'z') + "\n"}));

    // Lowering the limit trims at once.
    second.SetBufferLimit(15);
    EXPECT_EQ(Texts(second), (std::vector<std::string>{std::string(13, 'z') + "\n"}));
}

// Thousands of messages of changing sizes through a small budget: what is
// kept, copied and dumped is always exactly the newest messages that the
// excess rule keeps, in order, however the stored texts have come to lie.
TEST(LogBuffer, KeepsExactlyTheNewestMessagesThroughManyTrims) {
    CLogBuffer buffer;
    buffer.SetBufferLimit(1000);
    std::deque<std::string> expected;
    uint64_t unHeld = 0;
    for (int i = 0; i < 5000; ++i) {
        // 1 to 600 characters: now and then one larger than the rest held.
        std::string sText =
            std::to_string(i) + std::string(static_cast<size_t>(i * 37 % 600), 'a' + i % 26);
        Log("%s", sText.c_str());
        expected.push_back(sText + "\n");
        unHeld += expected.back().size() + 1;
        uint64_t unExcess = unHeld > 1000 ? unHeld - 1000 : 0;
        while (!expected.empty() && expected.front().size() + 1 <= unExcess) {
            unExcess -= expected.front().size() + 1;
            unHeld -= expected.front().size() + 1;
            expected.pop_front();
        }
        if (i % 97 == 0 || i > 4990) {
            ASSERT_EQ(Texts(buffer), std::vector<std::string>(expected.begin(), expected.end()))
                << "after message " << i;
            std::string sNewest;
            char rchDest[2048];
            unsigned long unWritten = buffer.DumpLogBufferToBuffer(rchDest, sizeof(rchDest));
            for (auto it = expected.rbegin();
                 it != expected.rend() && sNewest.size() + it->size() < sizeof(rchDest) - 1; ++it) {
                sNewest.insert(0, *it);
            }
            ASSERT_EQ(std::string(rchDest, unWritten), sNewest) << "after message " << i;
        }
    }
}

TEST(LogBuffer, LevelFilterAndRecordFields) {
    CLogBuffer buffer;
    uint32_t before = static_cast<uint32_t>(
        static_cast<uint64_t>(SystemTicksToSeconds(GetSystemTimeInTicks()) * 1000.0));
    Log(LogLevel_Detail, "detail dropped");
    Log(LogLevel_Warning, "warning kept");
    buffer.SetLevelFilter(LogLevel_Detail);
    Log(LogLevel_Detail, "detail kept");
    buffer.SetLevelFilter(static_cast<ELogLevel>(-1));  // stored unclamped: drops everything
    Log(LogLevel_Fatal, "fatal dropped");
    uint32_t after = static_cast<uint32_t>(
        static_cast<uint64_t>(SystemTicksToSeconds(GetSystemTimeInTicks()) * 1000.0));

    auto messages = buffer.CopyLogBuffer();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].sText, "warning kept\n");
    EXPECT_EQ(messages[0].eLevel, LogLevel_Warning);
    EXPECT_EQ(messages[1].eLevel, LogLevel_Detail);
    EXPECT_LE(messages[0].unTimestampMs - before, after - before);
    EXPECT_LE(messages[1].unTimestampMs - before, after - before);
}

TEST(LogBuffer, DumpToBufferTakesNewestWholeMessagesOlderFirst) {
    CLogBuffer buffer;
    char rchDest[64];
    EXPECT_EQ(buffer.DumpLogBufferToBuffer(rchDest, sizeof(rchDest)), 0u);  // empty buffer

    Log("one");    // "one\n"   4
    Log("two");    // "two\n"   4
    Log("three");  // "three\n" 6
    memset(rchDest, '#', sizeof(rchDest));
    EXPECT_EQ(buffer.DumpLogBufferToBuffer(rchDest, 1), 0u);
    EXPECT_EQ(rchDest[0], '#');
    // Budget 6: the newest (6) is not shorter than it, so nothing at all.
    EXPECT_EQ(buffer.DumpLogBufferToBuffer(rchDest, 7), 0u);
    EXPECT_EQ(rchDest[0], '#');
    // Budget 11: 6 < 11 and 4 < 5, then 4 < 1 fails: the two newest.
    EXPECT_EQ(buffer.DumpLogBufferToBuffer(rchDest, 12), 10u);
    EXPECT_STREQ(rchDest, "two\nthree\n");
    EXPECT_EQ(rchDest[11], '#');
    EXPECT_EQ(buffer.DumpLogBufferToBuffer(rchDest, sizeof(rchDest)), 14u);
    EXPECT_STREQ(rchDest, "one\ntwo\nthree\n");
}

TEST(LogBuffer, ZeroLimitAssertsOnceAndEmpties) {
    std::vector<std::string> lines;
    CLogCallback recorder;
    recorder.Initialize([&](ELogLevel, const char* pchText, void*) { lines.push_back(pchText); },
                        nullptr);
    CLogBuffer buffer;
    Log("held");
    buffer.SetBufferLimit(0);
    EXPECT_TRUE(buffer.CopyLogBuffer().empty());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("ASSERT: \"m_nMaxLogBufferingSize > 0\" at ", 0), 0u) << lines[1];
    // An assert subscription that logs sends its line back to the buffer
    // while the report is under way: that line does not report again.
    int nAsserts = 0;
    CAssertCallback logging;
    logging.Initialize(
        [&](const char*, const char*, unsigned, bool, void*, bool*) {
            ++nAsserts;
            Log("from the assert subscription");
        },
        nullptr);
    Log("next");  // asserts again and stays empty
    EXPECT_EQ(nAsserts, 1);
    EXPECT_TRUE(buffer.CopyLogBuffer().empty());
}

TEST(LogBuffer, ProcessWideInstance) {
    CLogBuffer* pBuffer = CLogBuffer::GetInstance();
    ASSERT_NE(pBuffer, nullptr);
    EXPECT_EQ(pBuffer, CLogBuffer::GetInstance());
    Log("reaches the process-wide buffer");
    auto messages = pBuffer->CopyLogBuffer();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().sText, "reaches the process-wide buffer\n");
}

// The process-wide buffer is published before it subscribes, and subscribes
// outside its own lock: a first GetInstance inside a log delivery does not
// wait for a creation that itself waits for that delivery's lock.
TEST(LogBufferThreaded, CreationDoesNotDeadlockAgainstADeliveryAskingForIt) {
    halyard_test::ChildOptions options;
    options.timeout = std::chrono::milliseconds(20000);
    auto result = halyard_test::RunInFreshProcess(
        [] {
            std::atomic<pid_t> creatorTid{0};
            std::atomic<bool> bInDelivery{false};
            CLogCallback gate;
            gate.Initialize(
                [&](ELogLevel, const char* pchText, void*) {
                    if (std::string(pchText) != "hold\n") {
                        return;
                    }
                    bInDelivery = true;
                    halyard_test::WaitFor(
                        [&] { return creatorTid != 0 && halyard_test::BIsBlocked(creatorTid); });
                    CLogBuffer::GetInstance();
                },
                nullptr);
            std::thread holder([] { Log("hold"); });
            halyard_test::WaitFor([&] { return bInDelivery.load(); });
            std::thread creator([&] {
                creatorTid = halyard_test::CurrentThreadId();
                CLogBuffer::GetInstance();
            });
            holder.join();
            creator.join();
            Log("after creation");
            auto messages = CLogBuffer::GetInstance()->CopyLogBuffer();
            return !messages.empty() && messages.back().sText == "after creation\n" ? 0 : 1;
        },
        options);
    EXPECT_FALSE(result.bTimedOut) << "deadlocked";
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

TEST(LogBufferThreaded, ConcurrentWritersAndReadersStayConsistent) {
    CLogBuffer buffer;
    buffer.SetBufferLimit(4096);
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        char rchDest[1024];
        while (!bDone) {
            unsigned long unWritten = buffer.DumpLogBufferToBuffer(rchDest, sizeof(rchDest));
            ASSERT_LT(unWritten, sizeof(rchDest));
            if (unWritten > 0) {
                ASSERT_EQ(rchDest[unWritten - 1], '\n');  // never a split message
            }
            for (const auto& message : buffer.CopyLogBuffer()) {
                ASSERT_EQ(message.sText.rfind("msg ", 0), 0u);
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                Log("msg %d %d", t, i);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    bDone = true;
    reader.join();
    uint64_t unBytes = 0;
    for (const auto& message : buffer.CopyLogBuffer()) {
        unBytes += message.sText.size() + 1;
    }
    EXPECT_LE(unBytes, 4096u + 32u);
    EXPECT_GT(unBytes, 4096u - 32u);
}

TEST(LogBufferThreaded, DestructionWaitsForADeliveryInProgress) {
    // A subscriber ahead of the buffer holds a delivery (and with it the
    // registry's lock) until the buffer's destruction is under way.
    std::atomic<bool> bInGate{false};
    std::atomic<bool> bRelease{false};
    CLogCallback gate;
    ASSERT_TRUE(gate.Initialize(
        [&](ELogLevel, const char* pchText, void*) {
            if (std::string(pchText) == "gated\n") {
                bInGate = true;
                halyard_test::WaitFor([&] { return bRelease.load(); });
            }
        },
        nullptr));
    auto pBuffer = std::make_unique<CLogBuffer>();
    for (int i = 0; i < 8; ++i) {
        Log("held %d", i);
    }

    std::thread logger([] { Log("gated"); });
    ASSERT_TRUE(halyard_test::WaitFor([&] { return bInGate.load(); }));
    std::atomic<pid_t> destroyerTid{0};
    std::thread destroyer([&] {
        destroyerTid = halyard_test::CurrentThreadId();
        pBuffer.reset();
    });
    // The destroyer blocks on the registry's lock; the held delivery then
    // reaches the buffer, which must still be whole.
    EXPECT_TRUE(halyard_test::WaitFor([&] {
        return destroyerTid.load() != 0 && halyard_test::ThreadState(destroyerTid) == 'S';
    }));
    bRelease = true;
    logger.join();
    destroyer.join();
    EXPECT_EQ(pBuffer, nullptr);
}

class RecordingSink : public vr::IVRDriverLog {
public:
    void Log(const char* pchText) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecTexts.push_back(pchText);
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecTexts;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_vecTexts;
};

TEST(DriverLog, BridgeForwardsRegistryLinesAndDirectTexts) {
    RecordingSink first, second;
    EXPECT_FALSE(IsDriverLogActive());
    DriverLog("dropped while inactive");
    EXPECT_FALSE(InitDriverLog(nullptr));  // no sink: nothing started
    EXPECT_FALSE(IsDriverLogActive());

    ASSERT_TRUE(InitDriverLog(&first));
    EXPECT_TRUE(IsDriverLogActive());
    EXPECT_FALSE(InitDriverLog(&second));  // refused; the first sink stays

    std::vector<std::string> registryLines;
    CLogCallback recorder;
    recorder.Initialize(
        [&](ELogLevel, const char* pchText, void*) { registryLines.push_back(pchText); }, nullptr);

    Log(LogLevel_Detail, "through the registry %d", 1);
    DriverLog("direct %s", "format");
    DriverLogString("direct %d string");
    std::string strLong(2000, 'L');
    DriverLog("%s", strLong.c_str());
    DebugDriverLog("nothing %d", 2);

    CleanupDriverLog();
    EXPECT_FALSE(IsDriverLogActive());
    Log("after cleanup");

    EXPECT_EQ(first.Texts(),
              (std::vector<std::string>{"through the registry 1\n", "direct format",
                                        "direct %d string", std::string(1023, 'L')}));
    EXPECT_TRUE(second.Texts().empty());
    // Direct texts bypass the registry.
    EXPECT_EQ(registryLines,
              (std::vector<std::string>{"through the registry 1\n", "after cleanup\n"}));

    // The bridge can be started again.
    ASSERT_TRUE(InitDriverLog(&second));
    Log("again");
    CleanupDriverLog();
    EXPECT_EQ(second.Texts(), (std::vector<std::string>{"again\n"}));
}

}  // namespace
