// systemtime: the process-wide monotonic tick clock, tick/second/nanosecond
// conversions, sleeps that survive signals, wall-clock and local-time strings,
// and a small stopwatch.
//
// A tick is one nanosecond of CLOCK_MONOTONIC_RAW. System time is seconds (a
// double) since the tick count fixed by InitSystemBaseTimeTicks. The main thread
// initialises the clock once before other threads start; afterwards every
// function is safe on any thread. The conversion functions initialise the clock
// on first use as a fallback (unguarded: only for use before the main thread's
// explicit call). CStopwatch is not shared between threads.
//
// Local-time strings use the process's time zone (localtime). Examples:
//   UnixTimeToDateString(t)          => "2024-03-09"
//   UnixTimeToDateAndTimeString(t)   => "2024-03-09 01:05:07 PM"
//   GetVRLogTimeString(true)         => "Sat Mar 09 2024 13:05:07.004211"
//   GetVRLogTimeString(false)        => "Sat Mar 09 13:05:07 2024"
//   GetFilenameTimeString()          => "2024-03-09-13-05-07"
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

extern bool systemTimeInitialized;
extern uint64_t systemBaseTicks;
extern uint64_t systemTicksPerSecond;
extern double systemSecondsPerTick;
extern uint64_t systemTicksToNanosecondNum;
extern uint64_t systemTicksToNanosecondDenum;

// Time zero is `base`, or the current tick count when base is 0. May be called
// again to reset time zero.
void InitSystemBaseTimeTicks(uint64_t base);
uint64_t GetSystemBaseTicks();
uint64_t GetSystemTimeInTicks();  // absolute, not relative to time zero

double GetSystemTime();                         // seconds since time zero
double GetSystemTimeFromTicks(uint64_t ticks);  // negative before time zero
double SystemTicksToSeconds(uint64_t ticks);    // a duration
// Seconds become ticks truncated toward zero; a count beyond the signed 64-bit
// range saturates, NaN counts as 0.
uint64_t GetSystemTicksFromTime(double seconds);  // absolute ticks of a system time
int64_t SecondsToSystemTicks(double seconds);     // a duration, truncated
uint64_t GetSystemTimeFrequency();

// Before the clock is initialised both answer 0.
uint64_t NanosecondsFromSystemTicks(uint64_t ticks);
uint64_t SystemTicksFromNanoseconds(uint64_t ns);
// ns / 1000000, saturating at 4294967295.
uint32_t MillisecondsFromNanoseconds(uint64_t ns);

// Both sleep the full time even when signals interrupt them. SystemTimeSleep
// returns the last nanosleep result (0 when the whole time was slept).
int SystemTimeSleep(uint32_t ms);
void SystemTimeSleepUntil(double seconds);

double GetClockRealtime();  // wall-clock seconds since the Unix epoch
time_t GetGMUnixTime();     // time(NULL)
// First Unix time at or after t whose local clock reads hour:minute:second.
time_t GetGMUnixTimeAtNextLocalTime(time_t t, int hour, int minute, int second);
std::string UnixTimeToDateString(time_t t);
std::string UnixTimeToDateAndTimeString(time_t t);
std::string GetVRLogTimeString(bool bWithMicroseconds);
// The text of GetVRLogTimeString(true) written into pchBuffer, cut to
// unSize - 1 characters and NUL-terminated; returns its length. Made for the
// stamp of every log line: each thread formats the date and time of day once
// a second and only the microseconds on every call.
size_t FormatVRLogTimeString(char* pchBuffer, size_t unSize);
std::string GetFilenameTimeString();

class CStopwatch {
public:
    CStopwatch() { Reset(); }
    void Reset();
    void Start();  // no-op while running
    void Stop();   // no-op while stopped
    float GetElapsedSeconds() const;
    int64_t GetElapsedMs() const;
    bool IsRunning() const { return m_bRunning; }

private:
    bool m_bRunning;
    float m_flStart;
    float m_flElapsed;
};
