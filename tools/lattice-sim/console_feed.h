// console_feed: the lines on their way to one console page. The simulator
// pushes what the runtime library shows in that console (lines addressed to
// the page's console id and lines for every console, handle 0); the page's
// stream takes them in order.
//
// Thread safety: every member may be called from any thread. Push never
// blocks for long: a page that does not keep up loses its oldest pending
// lines, which Take reports as a count, instead of making the simulator hold
// an unbounded backlog for it. Take blocks its caller only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "journal.h"

namespace lattice_sim {

// One line as the runtime library's control panel hands it over.
struct ConsoleLine {
    uint64_t ulHandle;
    std::string strLog;
    uint32_t unTime;
    int32_t nLevel;
    std::string strText;
};

// Its fields as the journal, `ctl console --json` and the console page show
// them: handle, log, time_ms, level, text.
CJsonFields ConsoleLineFields(const ConsoleLine& line);

class CConsoleFeed {
public:
    static constexpr size_t k_cDefaultMaxPending = 20000;

    explicit CConsoleFeed(uint64_t ulConsole, size_t cMaxPending = k_cDefaultMaxPending)
        : m_ulConsole(ulConsole), m_cMaxPending(cMaxPending) {}
    CConsoleFeed(const CConsoleFeed&) = delete;
    CConsoleFeed& operator=(const CConsoleFeed&) = delete;

    uint64_t Console() const { return m_ulConsole; }

    void Push(const ConsoleLine& line);

    struct Batch {
        std::vector<ConsoleLine> lines;
        uint64_t cDropped = 0;  // lost since the last batch, before these lines
        bool bClosed = false;
    };
    // Waits until lines are pending, the feed is closed or the timeout
    // passes, and takes whatever is pending (possibly nothing).
    Batch Take(std::chrono::milliseconds timeout);
    // Ends the feed: Take answers at once, with bClosed set, from now on.
    void Close();

private:
    const uint64_t m_ulConsole;
    const size_t m_cMaxPending;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<ConsoleLine> m_pending;
    uint64_t m_cDropped = 0;
    bool m_bClosed = false;
};

}  // namespace lattice_sim
