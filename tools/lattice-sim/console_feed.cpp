#include "console_feed.h"

namespace lattice_sim {

CJsonFields ConsoleLineFields(const ConsoleLine& line) {
    CJsonFields fields;
    fields.UInt("handle", line.ulHandle)
        .Str("log", line.strLog)
        .UInt("time_ms", line.unTime)
        .Int("level", line.nLevel)
        .Str("text", line.strText);
    return fields;
}

void CConsoleFeed::Push(const ConsoleLine& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bClosed) {
        return;
    }
    if (m_pending.size() >= m_cMaxPending) {
        m_pending.pop_front();
        ++m_cDropped;
    }
    m_pending.push_back(line);
    m_changed.notify_all();
}

CConsoleFeed::Batch CConsoleFeed::Take(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return m_bClosed || !m_pending.empty(); });
    Batch batch;
    batch.bClosed = m_bClosed;
    batch.cDropped = m_cDropped;
    batch.lines.assign(std::make_move_iterator(m_pending.begin()),
                       std::make_move_iterator(m_pending.end()));
    m_pending.clear();
    m_cDropped = 0;
    return batch;
}

void CConsoleFeed::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bClosed = true;
    m_pending.clear();
    m_changed.notify_all();
}

}  // namespace lattice_sim
