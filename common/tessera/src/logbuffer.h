// logbuffer: the in-memory log buffer. A subscriber of the process-wide log
// registry that keeps the most recent messages up to a byte budget, for
// replays to consoles that open later and for crash-report comments.
//
// Budget: each message costs its text length + 1. After every stored message
// whole messages are dropped from the front, never more than the excess, so
// the bytes held may stay above the limit by less than the oldest message.
//
// Thread safety: every member is safe from any thread. GetInstance creates the
// buffer on first use (once, under a lock). The buffer lives until exit.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logregistry.h"

// Milliseconds of the tick clock, low 32 bits: the time stamp of buffered
// messages and of the lines handed to log listeners.
uint32_t GetLogTimestampMs();

struct BufferedLogMessage_t {
    uint32_t unTimestampMs;  // tick clock milliseconds, low 32 bits
    ELogLevel eLevel;
    std::string sText;  // as the registry delivered it, newline included
};

class CLogBuffer {
public:
    CLogBuffer();
    ~CLogBuffer();
    CLogBuffer(const CLogBuffer&) = delete;
    CLogBuffer& operator=(const CLogBuffer&) = delete;

    static CLogBuffer* GetInstance();
    // The buffer when it has been created, else null (never creates it).
    static CLogBuffer* GetInstanceIfCreated();

    void SetBufferLimit(unsigned long unLimit);
    std::vector<BufferedLogMessage_t> CopyLogBuffer();

    // Copies the newest texts that fit (size - 1 characters, whole messages
    // only, older first) followed by one NUL; returns the characters copied.
    // Writes nothing and returns 0 when not even the newest message fits.
    unsigned long DumpLogBufferToBuffer(char* pchDest, unsigned long unSize);

    void DiscardExcessLogBuffering();

    // Messages of a level above the filter are not buffered.
    void SetLevelFilter(ELogLevel eLevel) { m_eLevelFilter.store(eLevel); }
    ELogLevel GetLevelFilter() const { return m_eLevelFilter.load(); }

    static std::unique_ptr<CLogBuffer> s_pInstance;

private:
    void StoreMessage(ELogLevel eLevel, const char* pchText);
    // Drops excess messages (all of them for a zero limit, then true).
    bool TrimLocked();
    void ReportZeroLimit(bool bZeroLimit);

    CLogCallback m_logCallback;
    std::recursive_mutex m_mutex;
    std::vector<BufferedLogMessage_t> m_vecMessages;
    uint64_t m_nMaxLogBufferingSize = 65536;
    uint64_t m_unBytesHeld = 0;
    std::atomic<ELogLevel> m_eLevelFilter{LogLevel_Info};
};
