#include "state.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "shared_state.h"

namespace lattice_sim {

namespace {

const char* ApiName(uint8_t unRole) {
    switch (unRole) {
        case lattice_proto::Role_Lattice:
            return "lattice";
        case lattice_proto::Role_Quill:
            return "quill";
        default:
            return "control";
    }
}

}  // namespace

CSimState::CSimState(SimConfig config, std::string strSocketPath)
    : m_config(std::move(config)),
      m_strSocketPath(std::move(strSocketPath)),
      m_journal(m_config.cJournalLimit) {}

CSimState::~CSimState() {
    if (m_pShared) {
        munmap(m_pShared, sizeof(lattice_proto::SharedState));
    }
    if (m_fdShared >= 0) {
        close(m_fdShared);
    }
}

bool CSimState::CreateSharedPage(std::string* pstrError) {
    std::string strWhy;
    void* pMap = lattice_proto::CreateSealedPage(
        "lattice-sim-state", sizeof(lattice_proto::SharedState), &m_fdShared, &strWhy);
    if (!pMap) {
        *pstrError = "shared page: " + strWhy;
        return false;
    }
    m_pShared = static_cast<lattice_proto::SharedState*>(pMap);
    m_pShared->unMagic = lattice_proto::k_unSharedMagic;
    m_pShared->unVersion = lattice_proto::k_usProtocolVersion;
    std::lock_guard<std::mutex> lock(m_mutex);
    SetToken(m_unToken);
    SetStallFlag(false);
    PublishState();
    return true;
}

void CSimState::SetToken(uint32_t unToken) {
    m_unToken = unToken;
    if (m_pShared) {
        __atomic_store_n(&m_pShared->unInitToken, unToken, __ATOMIC_RELEASE);
    }
}

void CSimState::SetStallFlag(bool bPending) {
    m_bStallPending = bPending;
    if (m_pShared) {
        __atomic_store_n(&m_pShared->unStallPending, bPending ? 1u : 0u, __ATOMIC_RELEASE);
    }
}

void CSimState::PublishState() {
    if (m_pShared) {
        __atomic_store_n(&m_pShared->unEventsQueued, static_cast<uint32_t>(m_events.size()),
                         __ATOMIC_RELEASE);
        __atomic_store_n(&m_pShared->unHostRunning, m_config.host.bRunning ? 1u : 0u,
                         __ATOMIC_RELEASE);
        size_t cCallbacks = 0;
        for (const auto& [ulId, session] : m_hostSessions) {
            cCallbacks += session.callbacks.size();
        }
        __atomic_store_n(&m_pShared->unCallbacksQueued, static_cast<uint32_t>(cCallbacks),
                         __ATOMIC_RELEASE);
    }
}

void CSimState::QueueEvent(uint32_t unType, uint64_t ulData) {
    Event event;
    event.unType = unType;
    lattice_proto::CWireWriter data;
    data.U64(ulData);
    std::memcpy(event.rgubData, data.Buffer().data(), data.Buffer().size());
    m_events.push_back(event);
    PublishState();
}

bool CSimState::ShutdownRequested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bShutdownRequested;
}

void CSimState::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        m_wake.notify_all();
        for (auto& [ulConsole, feed] : m_consolePages) {
            feed->Close();
        }
    }
    m_journal.Stop();
}

// --- dispatch ----------------------------------------------------------------

// Every operation the simulator answers; the handlers live in
// runtime_ops.cpp, host_ops.cpp and below.
const std::vector<CSimState::Operation>& CSimState::Operations() {
    using namespace lattice_proto;
    static const std::vector<Operation> s_operations = {
        {Op_Ping, "control", "ping", &CSimState::Ping, k_fUnrecorded},
        {Op_C_Control, "control", "control", &CSimState::Control, k_fUnrecorded},
        {Op_Unexpected, "lattice", "unexpected call", &CSimState::Unexpected},
        {Op_L_Init, "lattice", "VR_InitInternal2", &CSimState::LInit},
        {Op_L_Shutdown, "lattice", "VR_ShutdownInternal", &CSimState::LShutdown},
        {Op_L_IsVersionValid, "lattice", "VR_IsInterfaceVersionValid", &CSimState::LIsVersionValid},
        {Op_L_GetInterface, "lattice", "VR_GetGenericInterface", &CSimState::LGetInterface},
        {Op_L_PollEvents, "lattice", "IVRSystem_023::TakeNextEvent", &CSimState::LPollEvents},
        {Op_L_SettingGet, "lattice", "IVRSettings_003::Get", &CSimState::LSettingGet},
        {Op_L_PropertyContainer, "lattice", "IVRProperties_001::GetDevicePropertyContainer",
         &CSimState::LPropertyContainer},
        {Op_L_InputInternal, "lattice", "IVRInputInternal_002::SetDashboardProcessMode",
         &CSimState::LInputInternal},
        {Op_L_StartOverlayApps, "lattice", "IVRControlPanel_006::StartOverlayApplications",
         &CSimState::LStartOverlayApps},
        {Op_L_ConsoleLine, "lattice", "IVRControlPanel_006::ShowConsoleLine",
         &CSimState::LConsoleLine},
        {Op_L_ScreenshotRequest, "lattice", "IVRScreenshots_001::RequestScreenshotFiles",
         &CSimState::LScreenshotRequest},
        {Op_L_ScreenshotType, "lattice", "IVRScreenshots_001::GetScreenshotType",
         &CSimState::LScreenshotType},
        {Op_L_ScreenshotFilename, "lattice", "IVRScreenshots_001::GetScreenshotFileName",
         &CSimState::LScreenshotFilename},
        {Op_L_ResourcePath, "lattice", "IVRResources_001::ResolveResourcePath",
         &CSimState::LResourcePath},
        {Op_L_PathsRead, "lattice", "IVRPaths_002::ReadBatch", &CSimState::LPathsRead},
        {Op_L_PathsWrite, "lattice", "IVRPaths_002::WriteBatch", &CSimState::LPathsWrite},
        {Op_L_PathsStringToHandle, "lattice", "IVRPaths_002::PathToHandle",
         &CSimState::LPathsStringToHandle},
        {Op_L_MailboxPost, "lattice", "PostMailboxMessage", &CSimState::LMailboxPost},
        {Op_Q_IsRunning, "quill", "QuillAPI_IsQuillRunning", &CSimState::QIsRunning},
        {Op_Q_Attach, "quill", "QuillAPI_IsQuillRunning", &CSimState::QAttach},
        {Op_Q_Init, "quill", "QuillInternal_QuillAPI_Init", &CSimState::QInit},
        {Op_Q_Shutdown, "quill", "QuillAPI_Shutdown", &CSimState::QShutdown},
        {Op_Q_RunCallbacks, "quill", "QuillAPI_RunCallbacks", &CSimState::QRunCallbacks,
         k_fInSession},
        {Op_Q_RunCallbacksNoneQueued, "quill", "QuillAPI_RunCallbacks",
         &CSimState::QRunCallbacksNoneQueued, k_fInSession},
        {Op_Q_FindInterface, "quill", "QuillInternal_FindOrCreateUserInterface",
         &CSimState::QFindInterface, k_fInSession},
        {Op_Q_UtilsAppId, "quill", "QuillUtils010::GetAppId", &CSimState::QUtilsAppId,
         k_fInSession},
        {Op_Q_UtilsLanguage, "quill", "QuillUtils010::GetUiLanguage", &CSimState::QUtilsLanguage,
         k_fInSession},
        {Op_Q_UtilsStartDashboard, "quill", "QuillUtils010::RequestDashboardStart",
         &CSimState::QUtilsStartDashboard, k_fInSession},
        {Op_Q_UserId, "quill", "QuillUser023::GetUserId", &CSimState::QUserId, k_fInSession},
        {Op_Q_FriendsPersonaName, "quill", "QuillFriends017::GetDisplayName",
         &CSimState::QFriendsPersonaName, k_fInSession},
        {Op_Q_ScreenshotAdd, "quill", "QUILLSCREENSHOTS_INTERFACE_VERSION003::AddScreenshotPair",
         &CSimState::QScreenshotAdd, k_fInSession},
        {Op_Q_PrivateStart, "quill", "StartHalyard", &CSimState::QPrivateStart, k_fInSession},
        {Op_Q_PrivateConnectionParams, "quill", "SetVRConnectionParams",
         &CSimState::QPrivateConnectionParams, k_fInSession},
        {Op_Q_PrivateInvite, "quill", "QuillOrreryPrivate002::InviteWirelessHeadsetToConnect",
         &CSimState::QPrivateInvite, k_fInSession},
    };
    return s_operations;
}

const CSimState::Operation* CSimState::FindOperation(uint16_t usOp) {
    static const std::map<uint16_t, const Operation*> s_byCode = [] {
        std::map<uint16_t, const Operation*> byCode;
        for (const Operation& op : Operations()) {
            byCode.emplace(op.usOp, &op);
        }
        return byCode;
    }();
    auto it = s_byCode.find(usOp);
    return it == s_byCode.end() ? nullptr : it->second;
}

Reply CSimState::Handle(uint16_t usOp, const std::string& payload, const ClientInfo& client) {
    const Operation* pOp = FindOperation(usOp);
    if (!pOp) {
        return UnknownOperation(usOp, client);
    }
    {
        // Calls a client counted before sending this one come first.
        std::lock_guard<std::mutex> lock(m_mutex);
        JournalIdleCalls();
    }
    Reader reader(payload);
    Call call(*pOp, client, m_mutex);
    if (pOp->unFlags & k_fInSession) {
        call.ulSession = reader.U64();
    }
    if (!(this->*pOp->pfnHandle)(reader, call)) {
        return Bad(client, call.strName);
    }
    return Finish(call);
}

Reply CSimState::Finish(Call& call) {
    if (call.op.unFlags & k_fInSession) {
        call.args.UInt("session", call.ulSession);
        if (!call.pSession) {
            call.strFailure = "no such host session";
        }
    }
    if (!(call.op.unFlags & k_fUnrecorded)) {
        m_journal.Add(call.client.nPid, call.pchApi, call.strName, call.args, call.result,
                      call.bUnexpected, call.strFailure);
    }
    Reply reply;
    if (!call.strFailure.empty()) {
        reply.usStatus = lattice_proto::Status_Failed;
        reply.payload = call.strFailure;
        return reply;
    }
    reply.payload = call.answer.Buffer();
    reply.fdToPass = call.fdToPass;
    reply.bOwnsFd = call.bOwnsFd;
    return reply;
}

Reply CSimState::Bad(const ClientInfo& client, const std::string& strWhat) {
    m_journal.Add(client.nPid, ApiName(client.unRole), strWhat, CJsonFields(), CJsonFields(), false,
                  "malformed request");
    Reply reply;
    reply.usStatus = lattice_proto::Status_BadRequest;
    reply.payload = "malformed request: " + strWhat;
    return reply;
}

Reply CSimState::UnknownOperation(uint16_t usOp, const ClientInfo& client) {
    m_journal.Add(client.nPid, ApiName(client.unRole), "op " + std::to_string(usOp), CJsonFields(),
                  CJsonFields(), false, "unknown operation");
    Reply reply;
    reply.usStatus = lattice_proto::Status_UnknownOp;
    reply.payload = "unknown operation " + std::to_string(usOp);
    return reply;
}

bool CSimState::Ping(Reader&, Call&) {
    return true;
}

bool CSimState::Control(Reader& r, Call& call) {
    std::vector<std::string> argv = r.StrList();
    if (!r.Complete()) {
        return false;
    }
    CtlResult result = RunVerb(argv);
    call.answer.I32(result.nExit);
    call.answer.Str(result.strOut);
    call.answer.Str(result.strErr);
    return true;
}

}  // namespace lattice_sim
