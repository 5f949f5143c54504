// tracemarkers: text markers for the kernel tracer, and scoped begin/end
// event pairs built on them.
//
// EventWriteString writes one marker into the tracer's marker file, trying
// "/sys/kernel/debug/tracing/trace_marker" first and then
// "/sys/kernel/tracing/trace_marker". While neither can be opened every call
// returns without writing, and a new open is tried at most every 5 seconds of
// system time (systemtime.h); none is tried during the first 5 seconds. Once
// open, the file stays open for the life of the process. Nothing here reports
// an error: markers are best effort and the process never depends on them.
//
// A CScopedEventDuration on the stack writes, with a fresh event id,
//   [<context>] begin_ctx=<id> tgid=<pid> file=<location> <name>
// when made and the matching end_ctx line when it goes out of scope. Lines and
// names are cut to 511 characters.
//
// Thread safety: every function may be called from any thread; open attempts
// are serialised, and each marker is normally one write, so lines from
// different threads do not mix. Ownership: CScopedEventDuration keeps the
// context and location pointers, so they must outlive it (string literals).
//
// ALBasename keeps the last three components of a path ('/' or '\'):
//   ALBasename("/data/src/a/b/c.txt")  => "a/b/c.txt"
//   ALBasename("/x/y/z/w.txt")         => "y/z/w.txt"
//   ALBasename("a/b")                  => "a/b"
//   ALBasename("c:\\p\\q\\r\\s.h")     => "q\\r\\s.h"
#pragma once

#include <cstdint>

enum EVRTraceEvent : int {
    k_EVRTraceEvent_Default = 0,
};

// Longest marker or event name, in characters (buffers hold one more).
constexpr int k_nMaxTraceMarkerLength = 511;

// true when the whole text was written.
bool EventWriteString(const char* pchText, EVRTraceEvent eEvent = k_EVRTraceEvent_Default);
void EventWriteStringF(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));
void EventWriteStringBeginEnd(bool bBegin, const char* pchContext, const char* pchLocation,
                              const char* pchName, uint64_t ulEventId);
void EventWriteStringBegin(const char* pchContext, const char* pchLocation, const char* pchName,
                           uint64_t ulEventId);
void EventWriteStringEnd(const char* pchContext, const char* pchLocation, const char* pchName,
                         uint64_t ulEventId);

// 1, 2, 3, ... unique within the process.
uint64_t GetNextEventId();

// A pointer into pchPath (see the table above).
const char* ALBasename(const char* pchPath);

bool VrInitGpuProfiling();

class CScopedEventDuration {
public:
    // A null format makes an inert object that writes nothing.
    CScopedEventDuration(const char* pchContext, const char* pchLocation, const char* pchFormat,
                         ...) __attribute__((format(printf, 4, 5)));
    ~CScopedEventDuration();
    CScopedEventDuration(const CScopedEventDuration&) = delete;
    CScopedEventDuration& operator=(const CScopedEventDuration&) = delete;

    const char* GetName() const { return m_rchName; }
    uint64_t GetEventId() const { return m_ulEventId; }

private:
    char m_rchName[k_nMaxTraceMarkerLength + 1];
    const char* m_pchContext;
    const char* m_pchLocation;
    uint64_t m_ulEventId;
};
