// logbuffer: the in-memory log buffer. A subscriber of the process-wide log
// registry that keeps the most recent messages up to a byte budget, for
// replays to consoles that open later and for crash-report comments.
//
// Budget: each message costs its text length + 1. After every stored message
// whole messages are dropped from the front, never more than the excess, so
// the bytes held may stay above the limit by less than the oldest message.
//
// Thread safety: every member is safe from any thread. GetInstance creates the
// buffer on first use (once) and subscribes it after publishing it, outside
// any lock of its own, so a first call from inside a log delivery cannot
// deadlock against a creation on another thread. The buffer lives until exit.
// A zero limit is reported as an assertion once the delivery in progress on
// the thread (if any) has ended. The crash path reads the buffer with
// TryDumpLogBufferToBuffer and GetInstanceIfCreated, which never block.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
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
    // The buffer when it has been created, else null (never creates it, takes
    // no lock: safe on a crashing thread).
    static CLogBuffer* GetInstanceIfCreated();

    void SetBufferLimit(unsigned long unLimit);
    std::vector<BufferedLogMessage_t> CopyLogBuffer();

    // Copies the newest texts that fit (size - 1 characters, whole messages
    // only, older first) followed by one NUL; returns the characters copied.
    // Writes nothing and returns 0 when not even the newest message fits.
    unsigned long DumpLogBufferToBuffer(char* pchDest, unsigned long unSize);
    // The same without waiting: 0 and nothing written while another thread
    // holds the buffer, or while the calling thread itself is in the middle
    // of changing it (a crash inside the buffer).
    unsigned long TryDumpLogBufferToBuffer(char* pchDest, unsigned long unSize);

    void DiscardExcessLogBuffering();

    // Messages of a level above the filter are not buffered.
    void SetLevelFilter(ELogLevel eLevel) { m_eLevelFilter.store(eLevel); }
    ELogLevel GetLevelFilter() const { return m_eLevelFilter.load(); }

    static std::unique_ptr<CLogBuffer> s_pInstance;

private:
    struct DoNotSubscribe_t {};
    explicit CLogBuffer(DoNotSubscribe_t);
    void Subscribe();

    // The buffer's mutex, counting how deep the owner holds it.
    class CHeldLock {
    public:
        explicit CHeldLock(CLogBuffer& buffer);
        ~CHeldLock();
        CHeldLock(const CHeldLock&) = delete;
        CHeldLock& operator=(const CHeldLock&) = delete;

    private:
        CLogBuffer& m_buffer;
    };

    // A buffered message whose text (and its terminating NUL) lies in m_vecText.
    struct StoredMessage_t {
        uint32_t unTimestampMs;
        ELogLevel eLevel;
        size_t unOffset;
        size_t unLength;  // without the NUL
    };

    void StoreMessage(ELogLevel eLevel, const char* pchText);
    // Where a text of unSize bytes goes: after the newest text, or at the
    // start of the ring when that leaves too little room before its end;
    // grows the ring when neither has room.
    size_t PlaceText(size_t unSize);
    void GrowText(size_t unSize);
    void DropOldest();
    const char* TextOf(const StoredMessage_t& message) const {
        return m_vecText.data() + message.unOffset;
    }
    // Drops excess messages (all of them for a zero limit, then true).
    bool TrimLocked();
    void ReportZeroLimit(bool bZeroLimit);
    unsigned long DumpLocked(char* pchDest, unsigned long unSize);

    CLogCallback m_logCallback;
    std::recursive_mutex m_mutex;
    int m_nLockDepth = 0;  // under m_mutex
    // Oldest first. Storing a message copies only its own text, and
    // dropping one moves nothing; no text is allocated on its own.
    std::deque<StoredMessage_t> m_messages;
    // The texts, oldest first, as a ring; each text is contiguous. Wrapped:
    // the newest texts start again at offset 0, before the oldest.
    std::vector<char> m_vecText;
    size_t m_unTextEnd = 0;  // just past the newest text
    bool m_bTextWrapped = false;
    uint64_t m_nMaxLogBufferingSize = 65536;
    uint64_t m_unBytesHeld = 0;
    std::atomic<ELogLevel> m_eLevelFilter{LogLevel_Info};
};
