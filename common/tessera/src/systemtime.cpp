#include "systemtime.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

bool systemTimeInitialized = false;
uint64_t systemBaseTicks = 0;
uint64_t systemTicksPerSecond = 0;
double systemSecondsPerTick = 0.0;
uint64_t systemTicksToNanosecondNum = 0;
uint64_t systemTicksToNanosecondDenum = 0;

namespace {

constexpr uint64_t k_unNanosecondsPerSecond = 1000000000ull;

// (signed 64-bit)(ticks per second x seconds), truncated toward zero. A product
// outside the signed range saturates and NaN gives 0: a plain cast would be
// undefined there, and on x86 turns a far-future time into a huge negative one.
int64_t TicksFromSeconds(double seconds) {
    const double ticks = static_cast<double>(systemTicksPerSecond) * seconds;
    if (std::isnan(ticks)) {
        return 0;
    }
    // 2^63 is exact as a double; INT64_MAX itself is not.
    if (ticks >= 9223372036854775808.0) {
        return INT64_MAX;
    }
    if (ticks <= -9223372036854775808.0) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(ticks);
}

void EnsureInitialized() {
    if (!systemTimeInitialized) {
        InitSystemBaseTimeTicks(0);
    }
}

// Sleeps for the timespec, resuming with the remaining time after each signal.
int SleepRestartingOnSignal(struct timespec request) {
    struct timespec remaining = {0, 0};
    while (true) {
        errno = 0;
        int nResult = nanosleep(&request, &remaining);
        if (nResult == 0 || errno != EINTR) {
            return nResult;
        }
        request = remaining;
    }
}

// localtime_r does not re-read the time zone by itself; localtime's semantics
// do, but tzset costs a stat of the zone file on every call, once per log line.
// Re-read it when TZ changes and otherwise at most once a second, so that a
// change of the system's zone still shows within a second.
//
// The cache is never destroyed: time strings are still made at exit (log
// lines written by other static objects' destructors, threads still logging).
struct TimeZoneCache {
    std::mutex mutex;
    bool bRead = false;
    bool bHadTZ = false;
    std::string sTZ;
    time_t tLastRead = 0;
};

void RefreshTimeZone() {
    static TimeZoneCache& s_cache = *new TimeZoneCache;

    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    std::lock_guard<std::mutex> lock(s_cache.mutex);
    const char* pchTZ = getenv("TZ");
    bool bChanged = !s_cache.bRead || s_cache.bHadTZ != (pchTZ != nullptr) ||
                    (pchTZ && s_cache.sTZ != pchTZ) || now.tv_sec != s_cache.tLastRead;
    if (!bChanged) {
        return;
    }
    tzset();
    s_cache.bRead = true;
    s_cache.bHadTZ = pchTZ != nullptr;
    s_cache.sTZ = pchTZ ? pchTZ : "";
    s_cache.tLastRead = now.tv_sec;
}

struct tm LocalTime(time_t t) {
    RefreshTimeZone();
    struct tm local = {};
    localtime_r(&t, &local);
    return local;
}

std::string FormatLocalTime(time_t t, const char* pchFormat) {
    char rchBuffer[128];
    struct tm local = LocalTime(t);
    size_t unLength = strftime(rchBuffer, sizeof(rchBuffer), pchFormat, &local);
    return std::string(rchBuffer, unLength);
}

// The date and time of day of the last second a thread stamped, and the TZ it
// was formatted under. Trivially destructible: lines are stamped until the
// very end of the process, after thread-local destructors have run.
constexpr size_t k_unCachedTZCapacity = 64;
struct LogTimeCache {
    bool bValid;
    time_t tSecond;
    bool bHadTZ;
    char rchTZ[k_unCachedTZCapacity];
    size_t unLength;
    char rchText[128];
};
thread_local LogTimeCache tl_logTime = {};

bool BLogTimeCacheHolds(const LogTimeCache& cache, time_t tSecond, const char* pchTZ) {
    return cache.bValid && cache.tSecond == tSecond && cache.bHadTZ == (pchTZ != nullptr) &&
           (!pchTZ || strcmp(cache.rchTZ, pchTZ) == 0);
}

void FillLogTimeCache(LogTimeCache& cache, time_t tSecond, const char* pchTZ) {
    struct tm local = LocalTime(tSecond);
    cache.unLength = strftime(cache.rchText, sizeof(cache.rchText), "%a %b %d %Y %H:%M:%S", &local);
    size_t unTZ = pchTZ ? strlen(pchTZ) : 0;
    // A TZ too long to keep is compared by formatting anew every time.
    cache.bValid = unTZ < sizeof(cache.rchTZ);
    cache.tSecond = tSecond;
    cache.bHadTZ = pchTZ != nullptr;
    if (pchTZ && cache.bValid) {
        memcpy(cache.rchTZ, pchTZ, unTZ + 1);
    }
}

}  // namespace

void InitSystemBaseTimeTicks(uint64_t base) {
    systemTicksPerSecond = k_unNanosecondsPerSecond;
    systemSecondsPerTick = 1e-9;
    systemTicksToNanosecondNum = 1;
    systemTicksToNanosecondDenum = 1;
    systemBaseTicks = base != 0 ? base : GetSystemTimeInTicks();
    systemTimeInitialized = true;
}

uint64_t GetSystemBaseTicks() {
    return systemBaseTicks;
}

uint64_t GetSystemTimeInTicks() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<uint64_t>(now.tv_sec) * k_unNanosecondsPerSecond +
           static_cast<uint64_t>(now.tv_nsec);
}

double GetSystemTime() {
    EnsureInitialized();
    return static_cast<double>(GetSystemTimeInTicks() - systemBaseTicks) * systemSecondsPerTick;
}

double GetSystemTimeFromTicks(uint64_t ticks) {
    EnsureInitialized();
    return static_cast<double>(static_cast<int64_t>(ticks - systemBaseTicks)) *
           systemSecondsPerTick;
}

double SystemTicksToSeconds(uint64_t ticks) {
    EnsureInitialized();
    return static_cast<double>(ticks) * systemSecondsPerTick;
}

uint64_t GetSystemTicksFromTime(double seconds) {
    EnsureInitialized();
    return systemBaseTicks + static_cast<uint64_t>(TicksFromSeconds(seconds));
}

int64_t SecondsToSystemTicks(double seconds) {
    EnsureInitialized();
    return TicksFromSeconds(seconds);
}

uint64_t GetSystemTimeFrequency() {
    EnsureInitialized();
    return systemTicksPerSecond;
}

uint64_t NanosecondsFromSystemTicks(uint64_t ticks) {
    if (systemTicksToNanosecondDenum == 0) {
        return 0;
    }
    return ticks * systemTicksToNanosecondNum / systemTicksToNanosecondDenum;
}

uint64_t SystemTicksFromNanoseconds(uint64_t ns) {
    if (systemTicksToNanosecondNum == 0) {
        return 0;
    }
    return ns * systemTicksToNanosecondDenum / systemTicksToNanosecondNum;
}

uint32_t MillisecondsFromNanoseconds(uint64_t ns) {
    if (ns > 4294967295999999ull) {
        return 4294967295u;
    }
    return static_cast<uint32_t>(ns / 1000000ull);
}

int SystemTimeSleep(uint32_t ms) {
    struct timespec request;
    request.tv_sec = ms / 1000;
    request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return SleepRestartingOnSignal(request);
}

void SystemTimeSleepUntil(double seconds) {
    // A time before tick 0 would wrap to a huge absolute tick count and sleep
    // for ever; it is simply in the past.
    const int64_t delta = SecondsToSystemTicks(seconds);
    if (delta < 0 && static_cast<uint64_t>(-(delta + 1)) >= systemBaseTicks) {
        return;
    }
    uint64_t target = GetSystemTicksFromTime(seconds);
    uint64_t now = GetSystemTimeInTicks();
    if (now >= target) {
        return;
    }
    uint64_t remaining = target - now;
    struct timespec request;
    request.tv_sec = static_cast<time_t>(remaining / k_unNanosecondsPerSecond);
    request.tv_nsec = static_cast<long>(remaining % k_unNanosecondsPerSecond);
    SleepRestartingOnSignal(request);
}

double GetClockRealtime() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(static_cast<uint64_t>(now.tv_sec) * k_unNanosecondsPerSecond +
                               static_cast<uint64_t>(now.tv_nsec)) *
           1e-9;
}

time_t GetGMUnixTime() {
    return time(nullptr);
}

time_t GetGMUnixTimeAtNextLocalTime(time_t t, int hour, int minute, int second) {
    struct tm local = LocalTime(t);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    // tm_isdst stays as localtime gave it for t.
    time_t result = mktime(&local);
    if (result < t) {
        result += 86400;
    }
    return result;
}

std::string UnixTimeToDateString(time_t t) {
    char rchBuffer[20];
    struct tm local = LocalTime(t);
    size_t unLength = strftime(rchBuffer, sizeof(rchBuffer), "%Y-%m-%d", &local);
    return std::string(rchBuffer, unLength);
}

std::string UnixTimeToDateAndTimeString(time_t t) {
    return FormatLocalTime(t, "%Y-%m-%d %I:%M:%S %p");
}

std::string GetVRLogTimeString(bool bWithMicroseconds) {
    if (!bWithMicroseconds) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        return FormatLocalTime(now.tv_sec, "%a %b %d %H:%M:%S %Y");
    }
    char rchBuffer[128];
    size_t unLength = FormatVRLogTimeString(rchBuffer, sizeof(rchBuffer));
    return std::string(rchBuffer, unLength);
}

size_t FormatVRLogTimeString(char* pchBuffer, size_t unSize) {
    if (!pchBuffer || unSize == 0) {
        return 0;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    // A change of TZ shows in the very next stamp, as with localtime.
    const char* pchTZ = getenv("TZ");
    LogTimeCache& cache = tl_logTime;
    if (!BLogTimeCacheHolds(cache, now.tv_sec, pchTZ)) {
        FillLogTimeCache(cache, now.tv_sec, pchTZ);
    }
    // The date and time, '.', and six digits of microseconds.
    char rchStamp[sizeof(cache.rchText) + 8];
    size_t unLength = cache.unLength;
    memcpy(rchStamp, cache.rchText, unLength);
    rchStamp[unLength++] = '.';
    unsigned unMicroseconds = static_cast<unsigned>(now.tv_usec) % 1000000u;
    for (int nDigit = 5; nDigit >= 0; --nDigit) {
        rchStamp[unLength + static_cast<size_t>(nDigit)] =
            static_cast<char>('0' + unMicroseconds % 10);
        unMicroseconds /= 10;
    }
    unLength = std::min(unLength + 6, unSize - 1);
    memcpy(pchBuffer, rchStamp, unLength);
    pchBuffer[unLength] = '\0';
    return unLength;
}

std::string GetFilenameTimeString() {
    return FormatLocalTime(time(nullptr), "%F-%H-%M-%S");
}

void CStopwatch::Reset() {
    m_bRunning = false;
    m_flStart = 0.0f;
    m_flElapsed = 0.0f;
}

void CStopwatch::Start() {
    if (m_bRunning) {
        return;
    }
    m_bRunning = true;
    m_flStart = static_cast<float>(GetSystemTime());
}

void CStopwatch::Stop() {
    if (!m_bRunning) {
        return;
    }
    m_bRunning = false;
    m_flElapsed = m_flElapsed - m_flStart + static_cast<float>(GetSystemTime());
}

float CStopwatch::GetElapsedSeconds() const {
    float flElapsed = m_flElapsed;
    if (m_bRunning) {
        flElapsed += static_cast<float>(GetSystemTime()) - m_flStart;
    }
    return flElapsed;
}

int64_t CStopwatch::GetElapsedMs() const {
    return static_cast<int64_t>(GetElapsedSeconds() * 1000.0f);
}
