#include "logbuffer.h"

#include <algorithm>
#include <cstring>

#include "systemtime.h"
#include "vrassert.h"

std::unique_ptr<CLogBuffer> CLogBuffer::s_pInstance;

namespace {

std::mutex s_instanceMutex;
// s_pInstance's buffer for lock-free readers (the crash path); cleared when
// the buffer goes at exit.
std::atomic<CLogBuffer*> s_pPublished{nullptr};

// Set while this thread reports a zero limit: the report's own log line (and
// whatever the assert subscriptions log) comes back to the buffer, which must
// not report again from inside it.
thread_local bool tl_bReportingZeroLimit = false;

}  // namespace

uint32_t GetLogTimestampMs() {
    double seconds = SystemTicksToSeconds(GetSystemTimeInTicks());
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds * 1000.0));
}

CLogBuffer* CLogBuffer::GetInstance() {
    if (CLogBuffer* pBuffer = s_pPublished.load(std::memory_order_acquire)) {
        return pBuffer;
    }
    CLogBuffer* pCreated = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_instanceMutex);
        if (!s_pInstance) {
            s_pInstance.reset(new CLogBuffer(DoNotSubscribe_t{}));
            pCreated = s_pInstance.get();
            s_pPublished.store(pCreated, std::memory_order_release);
        }
    }
    // Subscribing takes the log registry's lock, which nests outside every
    // lock of the buffer's: a thread inside a delivery may be asking for the
    // buffer right now.
    if (pCreated) {
        pCreated->Subscribe();
        return pCreated;
    }
    return s_pPublished.load(std::memory_order_acquire);
}

CLogBuffer* CLogBuffer::GetInstanceIfCreated() {
    return s_pPublished.load(std::memory_order_acquire);
}

CLogBuffer::CLogBuffer() {
    Subscribe();
}

CLogBuffer::CLogBuffer(DoNotSubscribe_t) {}

void CLogBuffer::Subscribe() {
    m_logCallback.Initialize(
        [this](ELogLevel eLevel, const char* pchText, void*) { StoreMessage(eLevel, pchText); },
        nullptr);
}

CLogBuffer::~CLogBuffer() {
    CLogBuffer* pThis = this;
    s_pPublished.compare_exchange_strong(pThis, nullptr);
    // Unsubscribe before any member goes: the subscription is the first
    // member and so would be destroyed last. Removal waits for a delivery in
    // progress on another thread, and no line arrives afterwards.
    if (CLog* pLog = m_logCallback.GetLog()) {
        pLog->RemoveCallback(&m_logCallback);
    }
}

CLogBuffer::CHeldLock::CHeldLock(CLogBuffer& buffer) : m_buffer(buffer) {
    m_buffer.m_mutex.lock();
    ++m_buffer.m_nLockDepth;
}

CLogBuffer::CHeldLock::~CHeldLock() {
    --m_buffer.m_nLockDepth;
    m_buffer.m_mutex.unlock();
}

void CLogBuffer::StoreMessage(ELogLevel eLevel, const char* pchText) {
    if (eLevel > m_eLevelFilter.load()) {
        return;
    }
    bool bZeroLimit;
    const char* pchStored = pchText ? pchText : "";
    const size_t unLength = strlen(pchStored);
    {
        CHeldLock lock(*this);
        const size_t unOffset = PlaceText(unLength + 1);
        memcpy(m_vecText.data() + unOffset, pchStored, unLength + 1);
        m_messages.push_back({GetLogTimestampMs(), eLevel, unOffset, unLength});
        m_unBytesHeld += unLength + 1;
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

size_t CLogBuffer::PlaceText(size_t unSize) {
    if (m_messages.empty()) {
        m_unTextEnd = 0;
        m_bTextWrapped = false;
    }
    const size_t unHead = m_messages.empty() ? 0 : m_messages.front().unOffset;
    if (!m_bTextWrapped && m_vecText.size() - m_unTextEnd < unSize && unHead >= unSize) {
        m_unTextEnd = 0;
        m_bTextWrapped = true;
    }
    const size_t unRoom = m_bTextWrapped ? unHead - m_unTextEnd : m_vecText.size() - m_unTextEnd;
    if (unRoom < unSize) {
        GrowText(unSize);
    }
    const size_t unOffset = m_unTextEnd;
    m_unTextEnd += unSize;
    return unOffset;
}

// Lays the held texts out afresh, oldest first from offset 0, in a ring with
// room for at least as much again. Only storing grows the ring, and it stops
// growing once it holds the budget with room to spare.
void CLogBuffer::GrowText(size_t unSize) {
    size_t unUsed = 0;
    for (const StoredMessage_t& message : m_messages) {
        unUsed += message.unLength + 1;
    }
    std::vector<char> vecText(
        std::max<size_t>({2 * m_vecText.size(), 2 * (unUsed + unSize), 4096}));
    size_t unEnd = 0;
    for (StoredMessage_t& message : m_messages) {
        memcpy(vecText.data() + unEnd, TextOf(message), message.unLength + 1);
        message.unOffset = unEnd;
        unEnd += message.unLength + 1;
    }
    m_vecText.swap(vecText);
    m_unTextEnd = unEnd;
    m_bTextWrapped = false;
}

void CLogBuffer::DropOldest() {
    const size_t unOldHead = m_messages.front().unOffset;
    m_messages.pop_front();
    if (m_messages.empty()) {
        m_unTextEnd = 0;
        m_bTextWrapped = false;
    } else if (m_messages.front().unOffset < unOldHead) {
        m_bTextWrapped = false;  // the oldest text now also starts over at 0
    }
}

void CLogBuffer::SetBufferLimit(unsigned long unLimit) {
    bool bZeroLimit;
    {
        CHeldLock lock(*this);
        m_nMaxLogBufferingSize = unLimit;
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

void CLogBuffer::DiscardExcessLogBuffering() {
    bool bZeroLimit;
    {
        CHeldLock lock(*this);
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

bool CLogBuffer::TrimLocked() {
    if (m_unBytesHeld <= m_nMaxLogBufferingSize) {
        return false;
    }
    if (m_nMaxLogBufferingSize == 0) {
        m_messages.clear();
        m_unTextEnd = 0;
        m_bTextWrapped = false;
        m_unBytesHeld = 0;
        return true;
    }
    uint64_t unExcess = m_unBytesHeld - m_nMaxLogBufferingSize;
    while (!m_messages.empty()) {
        uint64_t unSize = m_messages.front().unLength + 1;
        if (unSize > unExcess) {
            break;
        }
        unExcess -= unSize;
        m_unBytesHeld -= unSize;
        DropOldest();
    }
    return false;
}

// Raised outside the buffer's lock and outside any log delivery: the
// assertion takes the assert registry's lock, which nests outside both. A
// message stored by a delivery therefore reports once that delivery is over.
// The report's own line, and whatever the assert subscriptions log, comes
// back here with the limit still 0; the thread-local guard keeps those
// from reporting again, so every report ends with the buffer emptied.
void CLogBuffer::ReportZeroLimit(bool bZeroLimit) {
    if (!bZeroLimit || tl_bReportingZeroLimit) {
        return;
    }
    CLog::RunOutsideDelivery([] {
        tl_bReportingZeroLimit = true;
        TESSERA_ASSERT_MSG(false, "m_nMaxLogBufferingSize > 0");
        tl_bReportingZeroLimit = false;
    });
}

std::vector<BufferedLogMessage_t> CLogBuffer::CopyLogBuffer() {
    CHeldLock lock(*this);
    std::vector<BufferedLogMessage_t> vecCopy;
    vecCopy.reserve(m_messages.size());
    for (const StoredMessage_t& message : m_messages) {
        vecCopy.push_back({message.unTimestampMs, message.eLevel,
                           std::string(TextOf(message), message.unLength)});
    }
    return vecCopy;
}

unsigned long CLogBuffer::DumpLogBufferToBuffer(char* pchDest, unsigned long unSize) {
    CHeldLock lock(*this);
    return DumpLocked(pchDest, unSize);
}

unsigned long CLogBuffer::TryDumpLogBufferToBuffer(char* pchDest, unsigned long unSize) {
    if (!m_mutex.try_lock()) {
        return 0;
    }
    // The mutex is recursive: try_lock also succeeds for a thread that holds
    // it already, which here means one that crashed halfway through a change.
    unsigned long unWritten = m_nLockDepth == 0 ? DumpLocked(pchDest, unSize) : 0;
    m_mutex.unlock();
    return unWritten;
}

unsigned long CLogBuffer::DumpLocked(char* pchDest, unsigned long unSize) {
    if (unSize == 0 || !pchDest || m_messages.empty()) {
        return 0;
    }
    unsigned long unBudget = unSize - 1;
    size_t unFirstTaken = m_messages.size();
    while (unFirstTaken > 0) {
        size_t unLength = m_messages[unFirstTaken - 1].unLength;
        if (unLength >= unBudget) {
            break;
        }
        unBudget -= unLength;
        --unFirstTaken;
    }
    if (unFirstTaken == m_messages.size()) {
        return 0;
    }
    unsigned long unWritten = 0;
    for (size_t i = unFirstTaken; i < m_messages.size(); ++i) {
        const StoredMessage_t& message = m_messages[i];
        memcpy(pchDest + unWritten, TextOf(message), message.unLength);
        unWritten += message.unLength;
    }
    pchDest[unWritten] = '\0';
    return unWritten;
}
