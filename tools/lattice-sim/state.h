// state: everything the simulator simulates (the runtime's event queue,
// settings, screenshots, path values, consoles; the host client's sessions,
// callbacks and screenshot library) and the handlers of every protocol
// operation and control verb.
//
// Thread safety: Handle() is called concurrently by the connection threads;
// one mutex guards the state, the journal has its own. Only a stalled poll and
// the `wait` verb block, and neither holds the state mutex while it waits.
// Failure: a request that cannot be decoded is answered with
// Status_BadRequest and a text; nothing in a request can end the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "journal.h"
#include "protocol.h"
#include "wire.h"

namespace lattice_sim {

struct ClientInfo {
    int64_t nPid = 0;
    uint8_t unRole = 0;
};

struct Reply {
    uint16_t usStatus = lattice_proto::Status_Ok;
    std::string payload;
    int fdToPass = -1;  // not owned
};

class CSimState {
public:
    CSimState(SimConfig config, std::string strSocketPath);
    ~CSimState();
    CSimState(const CSimState&) = delete;
    CSimState& operator=(const CSimState&) = delete;

    // Creates the page shared with runtime clients; false with a reason.
    bool CreateSharedPage(std::string* pstrError);

    Reply Handle(uint16_t usOp, const std::string& payload, const ClientInfo& client);

    // Set by the `shutdown` verb; the server polls it after each reply.
    bool ShutdownRequested() const;
    // Wakes stalled polls and waits so that the server can stop.
    void Stop();

private:
    struct Event {
        uint32_t unType = 0;
        uint32_t unDevice = 0xFFFFFFFFu;
        uint8_t rgubData[lattice_proto::k_cubEventData] = {};
    };
    struct Screenshot {
        int32_t nType = 0;
        std::string strFirst, strSecond;
    };
    struct PathValue {
        uint32_t unTag = 0;
        std::string bytes;
    };
    struct ConsoleLine {
        uint64_t ulHandle;
        std::string strLog;
        uint32_t unTime;
        int32_t nLevel;
        std::string strText;
    };
    struct HostSession {
        int64_t nPid = 0;
        uint32_t unAppIdFromProcess = 0;
        std::deque<std::pair<int32_t, std::string>> callbacks;
    };
    struct Control {
        int nExit = 0;
        std::string strOut, strErr;
    };

    using Reader = lattice_proto::CWireReader;
    using Writer = lattice_proto::CWireWriter;

    Reply Dispatch(uint16_t usOp, Reader& reader, const ClientInfo& client);
    Reply Bad(const ClientInfo& client, const char* pchWhat);

    // runtime
    Reply LInit(Reader& r, const ClientInfo& c);
    Reply LShutdown(Reader& r, const ClientInfo& c);
    Reply LIsVersionValid(Reader& r, const ClientInfo& c);
    Reply LGetInterface(Reader& r, const ClientInfo& c);
    Reply LPollEvents(Reader& r, const ClientInfo& c);
    Reply LSettingGet(Reader& r, const ClientInfo& c);
    Reply LPropertyContainer(Reader& r, const ClientInfo& c);
    Reply LInputInternal(Reader& r, const ClientInfo& c);
    Reply LStartOverlayApps(Reader& r, const ClientInfo& c);
    Reply LConsoleLine(Reader& r, const ClientInfo& c);
    Reply LScreenshotRequest(Reader& r, const ClientInfo& c);
    Reply LScreenshotType(Reader& r, const ClientInfo& c);
    Reply LScreenshotFilename(Reader& r, const ClientInfo& c);
    Reply LResourcePath(Reader& r, const ClientInfo& c);
    Reply LPathsRead(Reader& r, const ClientInfo& c);
    Reply LPathsWrite(Reader& r, const ClientInfo& c);
    Reply LPathsStringToHandle(Reader& r, const ClientInfo& c);
    Reply LMailboxPost(Reader& r, const ClientInfo& c);
    Reply Unexpected(Reader& r, const ClientInfo& c);

    // host client
    Reply QIsRunning(Reader& r, const ClientInfo& c);
    Reply QInit(Reader& r, const ClientInfo& c);
    Reply QShutdown(Reader& r, const ClientInfo& c);
    Reply QSessionOp(uint16_t usOp, Reader& r, const ClientInfo& c);

    // control verbs
    Control RunControl(const std::vector<std::string>& argv);
    Control VerbEvent(const std::vector<std::string>& args);
    Control VerbHost(const std::vector<std::string>& args);
    Control VerbSetting(const std::vector<std::string>& args);
    Control VerbWait(const std::vector<std::string>& args);
    Control VerbConsole(const std::vector<std::string>& args);

    void QueueEvent(uint32_t unType, uint64_t ulData);  // m_mutex held
    void SetToken(uint32_t unToken);                    // m_mutex held
    void SetStallFlag(bool bPending);                   // m_mutex held
    void PublishState();                                // m_mutex held
    Reply QAttach(Reader& r, const ClientInfo& c);
    uint64_t PathHandleFor(const std::string& strPath);  // m_mutex held
    std::string ResolveResource(const std::string& strName, bool bHasDir,
                                const std::string& strDir);
    std::string LibraryDirectory() const;

    SimConfig m_config;
    const std::string m_strSocketPath;
    CJournal m_journal;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;  // stalls end early on Stop()
    bool m_bStopping = false;
    bool m_bShutdownRequested = false;

    int m_fdShared = -1;
    lattice_proto::SharedState* m_pShared = nullptr;
    uint32_t m_unToken = 1;
    uint32_t m_unStallMs = 0;
    uint32_t m_unStallPolls = 0;  // polls still to stall
    bool m_bStallPending = false;

    std::deque<Event> m_events;
    std::set<uint64_t> m_openConsoles;
    std::vector<ConsoleLine> m_consoleLines;
    std::map<uint32_t, Screenshot> m_screenshots;
    uint32_t m_unNextScreenshot = 1;
    std::map<std::string, uint64_t> m_pathHandles;
    std::map<std::pair<uint64_t, uint64_t>, PathValue> m_pathValues;

    std::map<uint64_t, HostSession> m_hostSessions;
    uint64_t m_ulNextHostSession = 1;
    uint32_t m_unNextLibraryHandle = 1;
};

}  // namespace lattice_sim
