// state: what the simulator simulates (the runtime's event queue, settings,
// screenshots, path values, consoles; the host client's sessions, callbacks
// and screenshot library) and the dispatch of protocol requests to handlers.
//
// One table (Operations(), state.cpp) names every protocol operation with
// its journal name and handler; the handlers live by job: runtime_ops.cpp
// for the runtime client library, host_ops.cpp for the host client library.
// The control verbs have their own table in verbs.cpp. A new operation or
// verb is one handler and one table row; the dispatch, the journal entry and
// the reply come from here.
//
// Console pages (web_console.cpp) are web consoles of their own: opening one
// queues the console-opened event with a fresh id, the lines the runtime
// library shows for that id or for every console reach the page's feed, and
// closing it queues the console-closed event.
//
// Thread safety: Handle() and RunVerb() are called concurrently by the
// connection threads, the console page calls by the web server's; m_mutex
// guards the state, the journal and the page feeds have their own (taken
// inside m_mutex, never the other way round). Only a stalled poll and
// the `wait` verb block, and neither holds m_mutex while it waits.
// Failure: a request that cannot be decoded is answered with
// Status_BadRequest and a text; nothing in a request can end the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "console_feed.h"
#include "journal.h"
#include "protocol.h"
#include "shared_state.h"
#include "verbs.h"
#include "wire.h"

namespace lattice_sim {

struct ClientInfo {
    int64_t nPid = 0;
    uint8_t unRole = 0;
};

struct Reply {
    uint16_t usStatus = lattice_proto::Status_Ok;
    std::string payload;
    int fdToPass = -1;
    bool bOwnsFd = false;  // fdToPass is closed once the reply is sent (or not)
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
    // Runs one control verb, argv[0] naming it, as `lattice-sim ctl` does.
    CtlResult RunVerb(const std::vector<std::string>& argv);

    // Set by the `shutdown` verb; the server polls it after each reply.
    bool ShutdownRequested() const;
    // Wakes stalled polls and waits so that the server can stop.
    void Stop();

    // consoles.cpp: a console page opens a web console with an id of its own
    // and queues the console-opened event; null once the simulator stops.
    std::shared_ptr<CConsoleFeed> OpenConsolePage();
    // Queues the console-closed event; harmless for a page already closed.
    void CloseConsolePage(uint64_t ulConsole);

private:
    friend const std::vector<VerbInfo>& Verbs();

    using Reader = lattice_proto::CWireReader;
    using Writer = lattice_proto::CWireWriter;
    using Args = std::vector<std::string>;

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
    struct SessionPageUnmap {
        void operator()(lattice_proto::SessionPage* pPage) const {
            lattice_proto::UnmapSessionPage(pPage);
        }
    };
    using SessionPagePtr = std::unique_ptr<lattice_proto::SessionPage, SessionPageUnmap>;
    struct HostSession {
        int64_t nPid = 0;
        uint32_t unAppIdFromProcess = 0;
        std::deque<std::pair<int32_t, std::string>> callbacks;
        SessionPagePtr pPage;  // where its client counts idle RunCallbacks (may be null)
    };
    // The page of a session that ended here: its client counts on it until it
    // learns so, and those calls are journaled as refused, as they would be if
    // they had come as messages.
    struct EndedSessionPage {
        uint64_t ulSession;
        int64_t nPid;
        SessionPagePtr pPage;
    };
    static constexpr size_t k_cMaxEndedSessionPages = 16;

    struct Call;
    // A handler reads its request and answers it through Call::Answer (or
    // AnswerInSession). false: the request was malformed.
    using Handler = bool (CSimState::*)(Reader& r, Call& call);
    struct Operation {
        uint16_t usOp;
        const char* pchApi;   // "lattice" or "quill" in the journal
        const char* pchName;  // the call's name in the journal
        Handler pfnHandle;
        unsigned unFlags = 0;
    };
    // A host call within an initialisation: the session id comes first.
    static constexpr unsigned k_fInSession = 1;
    // Answered without a journal entry.
    static constexpr unsigned k_fUnrecorded = 2;

    // One call on its way to an answer: what the journal records and what the
    // client gets back. Handle() journals it while the state lock is held.
    struct Call {
        Call(const Operation& op, const ClientInfo& client, std::mutex& mutex)
            : op(op),
              client(client),
              pchApi(op.pchApi),
              strName(op.pchName),
              lock(mutex, std::defer_lock) {}

        // Once the request has been read to its end, takes the state lock and
        // runs fill, which answers the call. false (and nothing run) when the
        // request was malformed.
        template <typename TFill>
        bool Answer(Reader& r, TFill&& fill) {
            if (!r.Complete()) {
                return false;
            }
            lock.lock();
            fill();
            return true;
        }
        // Sends a value to the client and records it in the journal's result.
        void SendBool(const char* pchKey, bool bValue) {
            answer.Bool(bValue);
            result.Bool(pchKey, bValue);
        }
        void SendI32(const char* pchKey, int32_t nValue) {
            answer.I32(nValue);
            result.Int(pchKey, nValue);
        }
        void SendU32(const char* pchKey, uint32_t unValue) {
            answer.U32(unValue);
            result.UInt(pchKey, unValue);
        }
        void SendU64(const char* pchKey, uint64_t ulValue) {
            answer.U64(ulValue);
            result.UInt(pchKey, ulValue);
        }
        void SendStr(const char* pchKey, const std::string& strValue) {
            answer.Str(strValue);
            result.Str(pchKey, strValue);
        }

        const Operation& op;
        const ClientInfo& client;
        const char* pchApi;
        std::string strName;  // a handler may name the call more exactly
        CJsonFields args, result;
        Writer answer;
        int fdToPass = -1;
        bool bOwnsFd = false;  // see Reply
        bool bUnexpected = false;
        std::string strFailure;  // refused with Status_Failed and this text
        uint64_t ulSession = 0;  // session calls: read before the handler runs
        HostSession* pSession = nullptr;
        std::unique_lock<std::mutex> lock;
    };

    static const std::vector<Operation>& Operations();
    static const Operation* FindOperation(uint16_t usOp);
    Reply Finish(Call& call);
    Reply Bad(const ClientInfo& client, const std::string& strWhat);
    Reply UnknownOperation(uint16_t usOp, const ClientInfo& client);

    // state.cpp: operations of any client
    bool Ping(Reader& r, Call& call);
    bool Control(Reader& r, Call& call);

    // runtime_ops.cpp
    bool LInit(Reader& r, Call& call);
    bool LShutdown(Reader& r, Call& call);
    bool LIsVersionValid(Reader& r, Call& call);
    bool LGetInterface(Reader& r, Call& call);
    bool LPollEvents(Reader& r, Call& call);
    bool LSettingGet(Reader& r, Call& call);
    int32_t SettingValue(const std::string& strSection, const std::string& strKey, bool bBool,
                         int64_t& nValue);  // m_mutex held
    bool LPropertyContainer(Reader& r, Call& call);
    bool LInputInternal(Reader& r, Call& call);
    bool LStartOverlayApps(Reader& r, Call& call);
    bool LConsoleLine(Reader& r, Call& call);
    bool LScreenshotRequest(Reader& r, Call& call);
    bool LScreenshotType(Reader& r, Call& call);
    bool LScreenshotFilename(Reader& r, Call& call);
    bool LResourcePath(Reader& r, Call& call);
    bool LPathsRead(Reader& r, Call& call);
    bool LPathsWrite(Reader& r, Call& call);
    bool LPathsStringToHandle(Reader& r, Call& call);
    bool LMailboxPost(Reader& r, Call& call);
    bool Unexpected(Reader& r, Call& call);
    std::string TakeScreenshot(int32_t nType, const std::string& strFirst,
                               const std::string& strSecond, uint32_t unHandle,
                               int32_t& nError);         // m_mutex held
    uint64_t PathHandleFor(const std::string& strPath);  // m_mutex held
    std::string ResolveResource(const std::string& strName, bool bHasDir,
                                const std::string& strDir) const;

    // host_ops.cpp
    bool QIsRunning(Reader& r, Call& call);
    bool QAttach(Reader& r, Call& call);
    bool QInit(Reader& r, Call& call);
    bool QShutdown(Reader& r, Call& call);
    bool QRunCallbacks(Reader& r, Call& call);
    bool QRunCallbacksNoneQueued(Reader& r, Call& call);
    bool RunCallbacks(Reader& r, Call& call, bool bDeliver);
    bool QFindInterface(Reader& r, Call& call);
    bool QUtilsAppId(Reader& r, Call& call);
    bool QUtilsLanguage(Reader& r, Call& call);
    bool QUtilsStartDashboard(Reader& r, Call& call);
    bool QUserId(Reader& r, Call& call);
    bool QFriendsPersonaName(Reader& r, Call& call);
    bool QScreenshotAdd(Reader& r, Call& call);
    bool QPrivateStart(Reader& r, Call& call);
    bool QPrivateConnectionParams(Reader& r, Call& call);
    bool QPrivateInvite(Reader& r, Call& call);
    // Session pages (m_mutex held): journals the calls counted on them since
    // last time; a page for a new session (null with the reason when the
    // system refuses one); ends a session, keeping its page for a while.
    void JournalIdleCalls();
    void JournalIdleCallsOn(uint64_t ulSession, int64_t nPid, lattice_proto::SessionPage& page,
                            bool bEnded);
    SessionPagePtr CreateSessionPage(int* pfdForClient, std::string* pstrWhy);
    void EndHostSession(std::map<uint64_t, HostSession>::iterator it);
    // Call::Answer for a call within a session: fill gets the session, or
    // null when it has ended (the call is then refused after fill).
    bool AnswerInSession(Reader& r, Call& call, const std::function<void(HostSession*)>& fill);
    uint32_t AddToLibrary(const std::string& strFirst, const std::string& strSecond,
                          CJsonFields& result);  // m_mutex held
    std::string LibraryDirectory() const;

    // verbs.cpp
    CtlResult VerbEvent(const Args& args);
    CtlResult VerbConsoleOpen(const Args& args);
    CtlResult VerbConsoleClose(const Args& args);
    CtlResult VerbScreenshot(const Args& args);
    CtlResult VerbQuit(const Args& args);
    CtlResult VerbReconnect(const Args& args);
    CtlResult VerbHost(const Args& args);
    CtlResult VerbSetting(const Args& args);
    CtlResult VerbStall(const Args& args);
    CtlResult VerbJournal(const Args& args);
    CtlResult VerbConsole(const Args& args);
    CtlResult VerbWait(const Args& args);
    // The journal's Wait, journaling the calls counted on session pages
    // meanwhile.
    std::string WaitInJournal(const std::string& strNeedle, uint64_t ulTimeoutMs, uint64_t ulSince);
    CtlResult VerbShutdown(const Args& args);
    CtlResult VerbPing(const Args& args);
    CtlResult ConsoleVerb(const std::string& strVerb, const Args& args, bool bOpen);
    CtlResult QueueVerb(uint32_t unEventType);
    CtlResult QueueCallbackForAll(int32_t iCallback, const std::string& payload);  // m_mutex held

    // consoles.cpp; m_mutex held.
    void ShowOnConsolePages(const ConsoleLine& line);
    void AnnounceConsolePages();

    // Shared by the handlers; m_mutex held.
    void QueueEvent(uint32_t unType, uint64_t ulData);
    void SetToken(uint32_t unToken);
    void SetStallFlag(bool bPending);
    void PublishState();

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
    std::map<uint64_t, std::shared_ptr<CConsoleFeed>> m_consolePages;
    uint64_t m_ulNextConsolePage = 1;
    std::map<uint32_t, Screenshot> m_screenshots;
    uint32_t m_unNextScreenshot = 1;
    std::map<std::string, uint64_t> m_pathHandles;
    std::map<std::pair<uint64_t, uint64_t>, PathValue> m_pathValues;

    std::map<uint64_t, HostSession> m_hostSessions;
    std::deque<EndedSessionPage> m_endedSessionPages;  // the newest last
    uint64_t m_ulNextHostSession = 1;
    uint32_t m_unNextLibraryHandle = 1;
};

}  // namespace lattice_sim
