// Watchdogs under load: several threads create, nest, tick, disarm and destroy
// watchdogs while the real monitor evaluates and reports them, and while the
// monitor itself is stopped and started again. Every report names a live
// watchdog with its own name and detail text, and the process survives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_recorder.h"
#include "test_support.h"
#include "threadwatchdog.h"

namespace {

using halyard_test::LogRecorder;
using halyard_test::WaitFor;
using W = CThreadWatchdog;

constexpr int k_nThreads = 4;
const std::string k_sReport = "Failed Watchdog timeout in thread ";

// One thread's round: an outer watchdog that is sometimes left late long
// enough to be reported, an inner one created and destroyed inside it, and a
// sleep with the watchdog disabled.
void ChurnRound(int nThread, unsigned nRound) {
    std::string sOuter = "Churn" + std::to_string(nThread);
    W outer(sOuter.c_str(), 0.25f, W::WatchdogTimeout_Log);
    W::SetDetailString("outer work");
    {
        std::string sInner = "Inner" + std::to_string(nThread);
        W inner(sInner.c_str(), 5.0f, W::WatchdogTimeout_Assert);
        W::SetDetailString("inner work");
        inner.Tick();
    }
    W::TickParent();  // the outer watchdog again: the inner one is gone
    if (nRound % 3 == 0) {
        W::SleepWithWatchdogDisabled(30);
    }
    // Late now and then: the monitor (every 2 s) sees some of these.
    std::this_thread::sleep_for(std::chrono::milliseconds(nRound % 4 == 0 ? 400 : 5));
}

TEST(WatchdogStress, WatchdogsComeAndGoOnSeveralThreadsWhileTheMonitorRuns) {
    LogRecorder recorder;
    W::InitWatchdogs();
    std::atomic<bool> bStop{false};
    std::atomic<unsigned> unRounds{0};
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < k_nThreads; ++t) {
        vecThreads.emplace_back([&, t] {
            for (unsigned n = 0; !bStop.load(); ++n) {
                ChurnRound(t, n);
                unRounds.fetch_add(1);
            }
        });
    }
    auto reports = [&] { return recorder.Count(k_sReport); };
    // Reports come while the churn goes on; the monitor is stopped and
    // started again twice meanwhile.
    EXPECT_TRUE(WaitFor([&] { return reports() >= 3; }, std::chrono::seconds(90)));
    for (int i = 0; i < 2; ++i) {
        W::CleanupWatchdogs();
        W::InitWatchdogs();
    }
    size_t unBefore = reports();
    EXPECT_TRUE(WaitFor([&] { return reports() >= unBefore + 3; }, std::chrono::seconds(90)));
    bStop.store(true);
    // Threads stuck in a watchdog call cannot be joined: a failure, not a hang.
    std::atomic<int> nJoined{0};
    std::thread joiner([&] {
        for (std::thread& thread : vecThreads) {
            thread.join();
            nJoined.fetch_add(1);
        }
    });
    if (!WaitFor([&] { return nJoined.load() == k_nThreads; }, std::chrono::minutes(2))) {
        fprintf(stderr, "watchdog churn threads deadlocked\n");
        std::abort();
    }
    joiner.join();
    size_t unLinesBeforeCleanup = recorder.Lines().size();
    W::CleanupWatchdogs();
    EXPECT_GT(unRounds.load(), 100u);

    // Each report names a churned watchdog, the phase and its own detail text.
    std::set<std::string> setNames;
    for (int t = 0; t < k_nThreads; ++t) {
        setNames.insert("Churn" + std::to_string(t) + " startup in outer work after ");
    }
    std::vector<halyard_test::LoggedLine> vecLines = recorder.Lines();
    for (size_t i = 0; i < vecLines.size(); ++i) {
        const std::string& sText = vecLines[i].text;
        if (sText.rfind(k_sReport, 0) == 0) {
            std::string sRest = sText.substr(k_sReport.size());
            size_t unAfter = sRest.find(" after ");
            ASSERT_NE(unAfter, std::string::npos) << sText;
            EXPECT_EQ(setNames.count(sRest.substr(0, unAfter + 7)), 1u) << sText;
        }
        // Every churned watchdog was unregistered when it went: the last
        // cleanup finds none left.
        if (i >= unLinesBeforeCleanup) {
            EXPECT_EQ(sText.find("not properly cleaned up"), std::string::npos) << sText;
        }
    }
}

}  // namespace
