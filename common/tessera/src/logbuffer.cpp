#include "logbuffer.h"

#include <cstring>

#include "systemtime.h"
#include "vrassert.h"

std::unique_ptr<CLogBuffer> CLogBuffer::s_pInstance;

namespace {

std::mutex s_instanceMutex;

}  // namespace

uint32_t GetLogTimestampMs() {
    double seconds = SystemTicksToSeconds(GetSystemTimeInTicks());
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds * 1000.0));
}

CLogBuffer* CLogBuffer::GetInstance() {
    std::lock_guard<std::mutex> lock(s_instanceMutex);
    if (!s_pInstance) {
        s_pInstance = std::make_unique<CLogBuffer>();
    }
    return s_pInstance.get();
}

CLogBuffer* CLogBuffer::GetInstanceIfCreated() {
    std::lock_guard<std::mutex> lock(s_instanceMutex);
    return s_pInstance.get();
}

CLogBuffer::CLogBuffer() {
    m_logCallback.Initialize(
        [this](ELogLevel eLevel, const char* pchText, void*) { StoreMessage(eLevel, pchText); },
        nullptr);
}

CLogBuffer::~CLogBuffer() {
    // Unsubscribe before any member goes: the subscription is the first
    // member and so would be destroyed last. Removal waits for a delivery in
    // progress on another thread, and no line arrives afterwards.
    if (CLog* pLog = m_logCallback.GetLog()) {
        pLog->RemoveCallback(&m_logCallback);
    }
}

void CLogBuffer::StoreMessage(ELogLevel eLevel, const char* pchText) {
    if (eLevel > m_eLevelFilter.load()) {
        return;
    }
    bool bZeroLimit;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        BufferedLogMessage_t message{GetLogTimestampMs(), eLevel, pchText ? pchText : ""};
        m_unBytesHeld += message.sText.size() + 1;
        m_vecMessages.push_back(std::move(message));
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

void CLogBuffer::SetBufferLimit(unsigned long unLimit) {
    bool bZeroLimit;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_nMaxLogBufferingSize = unLimit;
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

void CLogBuffer::DiscardExcessLogBuffering() {
    bool bZeroLimit;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        bZeroLimit = TrimLocked();
    }
    ReportZeroLimit(bZeroLimit);
}

bool CLogBuffer::TrimLocked() {
    if (m_unBytesHeld <= m_nMaxLogBufferingSize) {
        return false;
    }
    if (m_nMaxLogBufferingSize == 0) {
        m_vecMessages.clear();
        m_unBytesHeld = 0;
        return true;
    }
    uint64_t unExcess = m_unBytesHeld - m_nMaxLogBufferingSize;
    size_t unDrop = 0;
    while (unDrop < m_vecMessages.size()) {
        uint64_t unSize = m_vecMessages[unDrop].sText.size() + 1;
        if (unSize > unExcess) {
            break;
        }
        unExcess -= unSize;
        m_unBytesHeld -= unSize;
        ++unDrop;
    }
    m_vecMessages.erase(m_vecMessages.begin(), m_vecMessages.begin() + static_cast<long>(unDrop));
    return false;
}

// Raised after the buffer's lock is released: the assertion logs, and the log
// registry's lock nests outside the buffer's. Its own line comes back here
// through the registry; the thread-local guard keeps that nested store from
// asserting again, so the re-entry ends with the buffer emptied.
void CLogBuffer::ReportZeroLimit(bool bZeroLimit) {
    static thread_local bool tl_bReporting = false;
    if (!bZeroLimit || tl_bReporting) {
        return;
    }
    tl_bReporting = true;
    TESSERA_ASSERT_MSG(false, "m_nMaxLogBufferingSize > 0");
    tl_bReporting = false;
}

std::vector<BufferedLogMessage_t> CLogBuffer::CopyLogBuffer() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_vecMessages;
}

unsigned long CLogBuffer::DumpLogBufferToBuffer(char* pchDest, unsigned long unSize) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (unSize == 0 || !pchDest || m_vecMessages.empty()) {
        return 0;
    }
    unsigned long unBudget = unSize - 1;
    size_t unFirstTaken = m_vecMessages.size();
    while (unFirstTaken > 0) {
        size_t unLength = m_vecMessages[unFirstTaken - 1].sText.size();
        if (unLength >= unBudget) {
            break;
        }
        unBudget -= unLength;
        --unFirstTaken;
    }
    if (unFirstTaken == m_vecMessages.size()) {
        return 0;
    }
    unsigned long unWritten = 0;
    for (size_t i = unFirstTaken; i < m_vecMessages.size(); ++i) {
        const std::string& sText = m_vecMessages[i].sText;
        memcpy(pchDest + unWritten, sText.data(), sText.size());
        unWritten += sText.size();
    }
    pchDest[unWritten] = '\0';
    return unWritten;
}
