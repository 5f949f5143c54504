#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <regex>
#include <thread>

#include "systemtime.h"
#include "test_support.h"

namespace {

using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::WaitFor;

double MonotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Scoped time zone: sets TZ and re-reads it; restores and re-reads afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* pchTz) : m_env(std::in_place, "TZ", pchTz) { tzset(); }
    ~ScopedTimeZone() {
        m_env.reset();
        tzset();
    }

private:
    std::optional<ScopedEnv> m_env;
};

TEST(SystemTime, ClockStartsAtBaseAndMeasuresFromIt) {
    InitSystemBaseTimeTicks(0);
    EXPECT_TRUE(systemTimeInitialized);
    EXPECT_EQ(systemTicksPerSecond, 1000000000u);
    EXPECT_DOUBLE_EQ(systemSecondsPerTick, 1e-9);
    EXPECT_EQ(systemTicksToNanosecondNum, 1u);
    EXPECT_EQ(systemTicksToNanosecondDenum, 1u);
    double now = GetSystemTime();
    EXPECT_GE(now, 0.0);
    EXPECT_LT(now, 5.0);

    uint64_t base = GetSystemTimeInTicks() - 5000000000ull;
    InitSystemBaseTimeTicks(base);
    EXPECT_EQ(GetSystemBaseTicks(), base);
    EXPECT_GE(GetSystemTime(), 5.0);
    EXPECT_LT(GetSystemTime(), 65.0);

    EXPECT_DOUBLE_EQ(GetSystemTimeFromTicks(base - 1000000000ull), -1.0);
    EXPECT_DOUBLE_EQ(GetSystemTimeFromTicks(base + 2500000000ull), 2.5);
    EXPECT_EQ(GetSystemTicksFromTime(2.0), base + 2000000000ull);
    EXPECT_EQ(GetSystemTicksFromTime(-1.0), base - 1000000000ull);
    InitSystemBaseTimeTicks(0);
}

TEST(SystemTime, Conversions) {
    InitSystemBaseTimeTicks(0);
    EXPECT_DOUBLE_EQ(SystemTicksToSeconds(1500000000ull), 1.5);
    EXPECT_EQ(SecondsToSystemTicks(1.5), 1500000000);
    EXPECT_EQ(SecondsToSystemTicks(-0.5), -500000000);
    EXPECT_EQ(SecondsToSystemTicks(1e-10), 0);  // truncated toward zero
    // Out of the signed range: saturated, never wrapped to the other sign.
    EXPECT_EQ(SecondsToSystemTicks(1e30), INT64_MAX);
    EXPECT_EQ(SecondsToSystemTicks(HUGE_VAL), INT64_MAX);
    EXPECT_EQ(SecondsToSystemTicks(-1e30), INT64_MIN);
    EXPECT_EQ(SecondsToSystemTicks(NAN), 0);
    EXPECT_EQ(GetSystemTicksFromTime(NAN), GetSystemBaseTicks());
    EXPECT_EQ(GetSystemTicksFromTime(1e30), GetSystemBaseTicks() + uint64_t{INT64_MAX});
    EXPECT_EQ(GetSystemTimeFrequency(), 1000000000u);
    EXPECT_EQ(NanosecondsFromSystemTicks(123456789ull), 123456789ull);
    EXPECT_EQ(SystemTicksFromNanoseconds(987654321ull), 987654321ull);

    EXPECT_EQ(MillisecondsFromNanoseconds(0), 0u);
    EXPECT_EQ(MillisecondsFromNanoseconds(1999999), 1u);
    EXPECT_EQ(MillisecondsFromNanoseconds(4294967295999999ull), 4294967295u);
    EXPECT_EQ(MillisecondsFromNanoseconds(4294967296000000ull), 4294967295u);
    EXPECT_EQ(MillisecondsFromNanoseconds(UINT64_MAX), 4294967295u);
}

TEST(SystemTime, LazyInitialisationRules) {
    // Decided once per process, so observed in a fresh process.
    auto result = halyard_test::RunInFreshProcess([] {
        if (systemTimeInitialized || GetSystemBaseTicks() != 0)
            return 1;
        if (GetSystemTimeInTicks() == 0)
            return 2;
        if (NanosecondsFromSystemTicks(5) != 0 || SystemTicksFromNanoseconds(5) != 0)
            return 3;
        if (systemTimeInitialized)
            return 4;  // none of those initialise
        double t = GetSystemTime();
        if (!systemTimeInitialized || t < 0.0 || t > 5.0)
            return 5;
        return 0;
    });
    EXPECT_TRUE(result.bExited);
    EXPECT_EQ(result.exitCode, 0);
}

std::atomic<int> g_nSignals{0};
void CountSignal(int) {
    ++g_nSignals;
}

// Interrupts `sleeper` with SIGUSR1 (installed without SA_RESTART) until done.
class SignalPelter {
public:
    explicit SignalPelter(pthread_t sleeper) {
        struct sigaction action = {};
        action.sa_handler = CountSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &m_old);
        m_thread = std::thread([this, sleeper] {
            while (!m_bDone) {
                pthread_kill(sleeper, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));  // pacing only
            }
        });
    }
    ~SignalPelter() {
        m_bDone = true;
        m_thread.join();
        sigaction(SIGUSR1, &m_old, nullptr);
    }

private:
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
    struct sigaction m_old;
};

TEST(SystemTimeThreaded, SleepsSurviveSignals) {
    g_nSignals = 0;
    double start = MonotonicSeconds();
    int nResult;
    {
        SignalPelter pelter(pthread_self());
        nResult = SystemTimeSleep(1500);
    }
    double slept = MonotonicSeconds() - start;
    EXPECT_EQ(nResult, 0);
    EXPECT_GE(slept, 1.5);
    EXPECT_GT(g_nSignals.load(), 0);

    InitSystemBaseTimeTicks(0);
    g_nSignals = 0;
    double target = GetSystemTime() + 0.6;
    {
        SignalPelter pelter(pthread_self());
        SystemTimeSleepUntil(target);
    }
    EXPECT_GE(GetSystemTime(), target);
    EXPECT_GT(g_nSignals.load(), 0);
}

TEST(SystemTime, SleepUntilThePastReturnsAtOnce) {
    InitSystemBaseTimeTicks(0);
    double start = MonotonicSeconds();
    SystemTimeSleepUntil(GetSystemTime() - 100.0);
    SystemTimeSleepUntil(-1e6);  // before tick 0 of the raw clock
    SystemTimeSleepUntil(-1e12);
    EXPECT_LT(MonotonicSeconds() - start, 10.0);  // a wrongly computed wait would be huge
    EXPECT_EQ(SystemTimeSleep(0), 0);
}

TEST(SystemTime, NextLocalTime) {
    ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    struct tm local = {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 7;
    local.tm_hour = 13;
    local.tm_min = 2;
    local.tm_sec = 3;
    local.tm_isdst = -1;
    time_t t = mktime(&local);

    EXPECT_EQ(GetGMUnixTimeAtNextLocalTime(t, 13, 2, 3), t);  // exactly at it
    EXPECT_EQ(GetGMUnixTimeAtNextLocalTime(t, 13, 2, 2), t - 1 + 86400);
    EXPECT_EQ(GetGMUnixTimeAtNextLocalTime(t + 1, 13, 2, 3), t + 86400);
    EXPECT_EQ(GetGMUnixTimeAtNextLocalTime(t, 14, 0, 0), t + 3477);
    EXPECT_EQ(GetGMUnixTimeAtNextLocalTime(t, 0, 0, 0), t - (13 * 3600 + 2 * 60 + 3) + 86400);
}

// A change of TZ shows in the very next time string, without anyone calling
// tzset (the formatting re-reads the zone itself).
TEST(SystemTime, TimeStringsFollowTimeZoneChangesAtOnce) {
    ScopedTimeZone restore("UTC0");
    auto expected = [](time_t t) {
        struct tm utc = {};
        gmtime_r(&t, &utc);
        char rch[64];
        strftime(rch, sizeof(rch), "%a %b %d %H:%M:%S %Y", &utc);
        return std::string(rch);
    };
    bool bChecked = false;
    for (int nAttempt = 0; nAttempt < 20 && !bChecked; ++nAttempt) {
        time_t tBefore = time(nullptr);
        setenv("TZ", "UTC0", 1);
        std::string sUtc = GetVRLogTimeString(false);
        setenv("TZ", "JST-9", 1);
        std::string sTokyo = GetVRLogTimeString(false);
        unsetenv("TZ");
        setenv("TZ", "UTC0", 1);
        std::string sUtcAgain = GetVRLogTimeString(false);
        if (time(nullptr) != tBefore) {
            continue;  // a second boundary fell in between: try again
        }
        EXPECT_EQ(sUtc, expected(tBefore));
        EXPECT_EQ(sTokyo, expected(tBefore + 9 * 3600));
        EXPECT_EQ(sUtcAgain, sUtc);
        bChecked = true;
    }
    EXPECT_TRUE(bChecked);
}

TEST(SystemTime, TimeStringsStillWorkAtExit) {
    // A static object made before the first time string is destroyed after
    // everything the time functions keep for themselves; its destructor, like
    // a log line written at exit, still gets a proper string (here after a
    // change of the time zone, which makes the time functions update what
    // they keep).
    auto result = halyard_test::RunInFreshProcess([] {
        setenv("TZ", ("<" + std::string(20, 'A') + ">0").c_str(), 1);
        struct LateUser {
            ~LateUser() {
                setenv("TZ", ("<" + std::string(50, 'B') + ">0").c_str(), 1);
                printf("%s\n", GetVRLogTimeString(false).c_str());
                fflush(stdout);
            }
        };
        static LateUser s_user;
        GetVRLogTimeString(false);
        return 0;
    });
    EXPECT_TRUE(result.bExited) << "signal " << result.termSignal << ": " << result.strStderr;
    EXPECT_EQ(result.exitCode, 0);
    // The last line, after the test program's own output.
    EXPECT_TRUE(
        std::regex_search(result.strStdout, std::regex("\n[A-Z][a-z]{2} [A-Z][a-z]{2} \\d{2} "
                                                       "\\d{2}:\\d{2}:\\d{2} \\d{4}\n$")))
        << result.strStdout;
}

TEST(SystemTime, DateStrings) {
    ScopedTimeZone zone("UTC0");
    const time_t t = 1710000000;  // 2024-03-09 16:00:00 UTC
    EXPECT_EQ(UnixTimeToDateString(t), "2024-03-09");
    EXPECT_EQ(UnixTimeToDateAndTimeString(t), "2024-03-09 04:00:00 PM");
    EXPECT_EQ(UnixTimeToDateAndTimeString(t - 16 * 3600 + 3907), "2024-03-09 01:05:07 AM");

    const std::regex precise(
        R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d{2} \d{4} \d{2}:\d{2}:\d{2}\.\d{6}$)");
    const std::regex plain(
        R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} \d{4}$)");
    for (int i = 0; i < 200; ++i) {
        std::string strPrecise = GetVRLogTimeString(true);
        ASSERT_TRUE(std::regex_match(strPrecise, precise)) << strPrecise;
    }
    std::string strPlain = GetVRLogTimeString(false);
    EXPECT_TRUE(std::regex_match(strPlain, plain)) << strPlain;
    std::string strFile = GetFilenameTimeString();
    EXPECT_TRUE(std::regex_match(strFile, std::regex(R"(^\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}$)")))
        << strFile;

    double realtime = GetClockRealtime();
    EXPECT_NEAR(realtime, static_cast<double>(GetGMUnixTime()), 2.0);
}

TEST(SystemTime, Stopwatch) {
    InitSystemBaseTimeTicks(0);
    CStopwatch watch;
    EXPECT_FALSE(watch.IsRunning());
    EXPECT_EQ(watch.GetElapsedSeconds(), 0.0f);
    EXPECT_EQ(watch.GetElapsedMs(), 0);

    watch.Start();
    double firstStart = GetSystemTime();
    ASSERT_TRUE(WaitFor([&] { return GetSystemTime() > firstStart + 0.05; }));
    watch.Start();  // keeps the first start
    watch.Stop();
    float afterStop = watch.GetElapsedSeconds();
    EXPECT_GE(afterStop, 0.045f);
    ASSERT_TRUE(WaitFor([&] { return GetSystemTime() > firstStart + 0.15; }));
    watch.Stop();  // keeps the first stop
    EXPECT_EQ(watch.GetElapsedSeconds(), afterStop);
    EXPECT_EQ(watch.GetElapsedMs(), static_cast<int64_t>(afterStop * 1000.0f));

    // A second run accumulates.
    watch.Start();
    double secondStart = GetSystemTime();
    ASSERT_TRUE(WaitFor([&] { return GetSystemTime() > secondStart + 0.05; }));
    EXPECT_GT(watch.GetElapsedSeconds(), afterStop);
    watch.Stop();
    EXPECT_GE(watch.GetElapsedSeconds(), afterStop + 0.045f);

    watch.Reset();
    EXPECT_FALSE(watch.IsRunning());
    EXPECT_EQ(watch.GetElapsedMs(), 0);
}

}  // namespace
