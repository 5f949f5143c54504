// Console pages: web consoles that the simulator's web server opens, one per
// page, fed with what the runtime library shows in them.
#include "state.h"

namespace lattice_sim {

namespace codes = lattice_proto::codes;

std::shared_ptr<CConsoleFeed> CSimState::OpenConsolePage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) {
        return nullptr;
    }
    // Ids already open through `ctl console-open` stay theirs.
    while (m_ulNextConsolePage == 0 || m_openConsoles.count(m_ulNextConsolePage) ||
           m_consolePages.count(m_ulNextConsolePage)) {
        ++m_ulNextConsolePage;
    }
    uint64_t ulConsole = m_ulNextConsolePage++;
    auto feed = std::make_shared<CConsoleFeed>(ulConsole);
    m_consolePages.emplace(ulConsole, feed);
    QueueEvent(codes::k_unEventConsoleOpened, ulConsole);
    return feed;
}

void CSimState::CloseConsolePage(uint64_t ulConsole) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_consolePages.find(ulConsole);
    if (it == m_consolePages.end()) {
        return;
    }
    it->second->Close();
    m_consolePages.erase(it);
    QueueEvent(codes::k_unEventConsoleClosed, ulConsole);
}

void CSimState::ShowOnConsolePages(const ConsoleLine& line) {
    if (line.ulHandle != 0) {
        auto it = m_consolePages.find(line.ulHandle);
        if (it != m_consolePages.end()) {
            it->second->Push(line);
        }
        return;
    }
    for (auto& [ulConsole, feed] : m_consolePages) {
        feed->Push(line);
    }
}

// A runtime client that connects now has not seen the pages opened before:
// a page that is open while no client runs, or across a client's restart,
// is announced to the new connection. Pages whose opened event still waits
// in the queue are not announced twice.
void CSimState::AnnounceConsolePages() {
    std::set<uint64_t> setWaiting;
    for (const Event& event : m_events) {
        if (event.unType == codes::k_unEventConsoleOpened) {
            setWaiting.insert(
                lattice_proto::CWireReader(
                    std::string_view(reinterpret_cast<const char*>(event.rgubData), 8))
                    .U64());
        }
    }
    for (const auto& [ulConsole, feed] : m_consolePages) {
        if (!setWaiting.count(ulConsole)) {
            QueueEvent(codes::k_unEventConsoleOpened, ulConsole);
        }
    }
}

}  // namespace lattice_sim
