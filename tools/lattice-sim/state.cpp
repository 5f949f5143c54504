#include "state.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "png.h"
#include "verbs.h"

namespace lattice_sim {

namespace codes = lattice_proto::codes;
using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;

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

bool ParseU64(const std::string& strText, uint64_t& ulOut) {
    if (strText.empty() || strText[0] == '-') {
        return false;
    }
    errno = 0;
    char* pchEnd = nullptr;
    unsigned long long v = std::strtoull(strText.c_str(), &pchEnd, 0);
    if (errno != 0 || *pchEnd != '\0') {
        return false;
    }
    ulOut = v;
    return true;
}

bool ParseHex(const std::string& strHex, std::string& out) {
    if (strHex.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < strHex.size(); i += 2) {
        char sz[3] = {strHex[i], strHex[i + 1], 0};
        char* pchEnd = nullptr;
        long v = std::strtol(sz, &pchEnd, 16);
        if (*pchEnd != '\0' || !isxdigit(static_cast<unsigned char>(sz[0]))) {
            return false;
        }
        out.push_back(static_cast<char>(v));
    }
    return true;
}

std::string HexOf(const std::string& bytes) {
    static const char* k_pchDigits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(k_pchDigits[c >> 4]);
        out.push_back(k_pchDigits[c & 15]);
    }
    return out;
}

bool FileExists(const std::string& strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0;
}

bool MakeDirectories(const std::string& strPath) {
    for (size_t nPos = 1; nPos <= strPath.size(); ++nPos) {
        if (nPos == strPath.size() || strPath[nPos] == '/') {
            std::string strPart = strPath.substr(0, nPos);
            if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

bool CopyFile(const std::string& strFrom, const std::string& strTo) {
    std::ifstream in(strFrom, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ofstream out(strTo, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return out.good();
}

std::string BaseName(const std::string& strPath) {
    size_t nSlash = strPath.find_last_of('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

Reply Ok(const CWireWriter& writer) {
    Reply reply;
    reply.payload = writer.Buffer();
    return reply;
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
    m_fdShared = memfd_create("lattice-sim-state", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m_fdShared < 0 || ftruncate(m_fdShared, sizeof(lattice_proto::SharedState)) != 0) {
        *pstrError = std::string("shared page: ") + strerror(errno);
        return false;
    }
    void* pMap = mmap(nullptr, sizeof(lattice_proto::SharedState), PROT_READ | PROT_WRITE,
                      MAP_SHARED, m_fdShared, 0);
    if (pMap == MAP_FAILED) {
        *pstrError = std::string("shared page: ") + strerror(errno);
        return false;
    }
    // Clients map it read-only; sealing keeps its size fixed under them.
    fcntl(m_fdShared, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
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

bool CSimState::ShutdownRequested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bShutdownRequested;
}

void CSimState::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        m_wake.notify_all();
    }
    m_journal.Stop();
}

Reply CSimState::Bad(const ClientInfo& client, const char* pchWhat) {
    m_journal.Add(client.nPid, ApiName(client.unRole), pchWhat, CJsonFields(), CJsonFields(), false,
                  "malformed request");
    Reply reply;
    reply.usStatus = lattice_proto::Status_BadRequest;
    reply.payload = std::string("malformed request: ") + pchWhat;
    return reply;
}

Reply CSimState::Handle(uint16_t usOp, const std::string& payload, const ClientInfo& client) {
    CWireReader reader(payload);
    return Dispatch(usOp, reader, client);
}

Reply CSimState::Dispatch(uint16_t usOp, Reader& r, const ClientInfo& c) {
    using namespace lattice_proto;
    switch (usOp) {
        case Op_Ping:
            return Reply{};
        case Op_Unexpected:
            return Unexpected(r, c);
        case Op_L_Init:
            return LInit(r, c);
        case Op_L_Shutdown:
            return LShutdown(r, c);
        case Op_L_IsVersionValid:
            return LIsVersionValid(r, c);
        case Op_L_GetInterface:
            return LGetInterface(r, c);
        case Op_L_PollEvents:
            return LPollEvents(r, c);
        case Op_L_SettingGet:
            return LSettingGet(r, c);
        case Op_L_PropertyContainer:
            return LPropertyContainer(r, c);
        case Op_L_InputInternal:
            return LInputInternal(r, c);
        case Op_L_StartOverlayApps:
            return LStartOverlayApps(r, c);
        case Op_L_ConsoleLine:
            return LConsoleLine(r, c);
        case Op_L_ScreenshotRequest:
            return LScreenshotRequest(r, c);
        case Op_L_ScreenshotType:
            return LScreenshotType(r, c);
        case Op_L_ScreenshotFilename:
            return LScreenshotFilename(r, c);
        case Op_L_ResourcePath:
            return LResourcePath(r, c);
        case Op_L_PathsRead:
            return LPathsRead(r, c);
        case Op_L_PathsWrite:
            return LPathsWrite(r, c);
        case Op_L_PathsStringToHandle:
            return LPathsStringToHandle(r, c);
        case Op_L_MailboxPost:
            return LMailboxPost(r, c);
        case Op_Q_IsRunning:
            return QIsRunning(r, c);
        case Op_Q_Attach:
            return QAttach(r, c);
        case Op_Q_Init:
            return QInit(r, c);
        case Op_Q_Shutdown:
            return QShutdown(r, c);
        case Op_Q_RunCallbacks:
        case Op_Q_RunCallbacksNoneQueued:
        case Op_Q_FindInterface:
        case Op_Q_UtilsAppId:
        case Op_Q_UtilsLanguage:
        case Op_Q_UtilsStartDashboard:
        case Op_Q_UserId:
        case Op_Q_FriendsPersonaName:
        case Op_Q_ScreenshotAdd:
        case Op_Q_PrivateStart:
        case Op_Q_PrivateConnectionParams:
        case Op_Q_PrivateInvite:
            return QSessionOp(usOp, r, c);
        case Op_C_Control: {
            std::vector<std::string> argv = r.StrList();
            if (!r.Complete()) {
                return Bad(c, "control");
            }
            Control result = RunControl(argv);
            CWireWriter w;
            w.I32(result.nExit);
            w.Str(result.strOut);
            w.Str(result.strErr);
            return Ok(w);
        }
        default: {
            m_journal.Add(c.nPid, ApiName(c.unRole), "op " + std::to_string(usOp), CJsonFields(),
                          CJsonFields(), false, "unknown operation");
            Reply reply;
            reply.usStatus = Status_UnknownOp;
            reply.payload = "unknown operation " + std::to_string(usOp);
            return reply;
        }
    }
}

// --- runtime ------------------------------------------------------------------

Reply CSimState::LInit(Reader& r, const ClientInfo& c) {
    int32_t nAppType = r.I32();
    bool bHasStartup = r.Bool();
    std::string strStartup = r.Str();
    std::string strExe = r.Str();
    if (!r.Complete()) {
        return Bad(c, "VR_InitInternal2");
    }
    int32_t nError = m_config.nInitError;
    if (nError == 0 && (nAppType < 0 || nAppType > 4)) {
        nError = codes::k_nInitInvalidApplicationType;
    }
    if (nError == 0 && bHasStartup && !strStartup.empty()) {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> pReader(builder.newCharReader());
        Json::Value root;
        std::string strErrors;
        if (!pReader->parse(strStartup.data(), strStartup.data() + strStartup.size(), &root,
                            &strErrors) ||
            !root.isObject()) {
            nError = codes::k_nInitInvalidStartupInfo;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CWireWriter w;
    w.I32(nError);
    w.U32(nError == 0 ? m_unToken : 0);
    std::vector<std::string> vecHandedOut;
    for (const std::string& strVersion : m_config.setInterfaces) {
        if (!m_config.setRefusedInterfaces.count(strVersion)) {
            vecHandedOut.push_back(strVersion);
        }
    }
    w.StrList(vecHandedOut);
    CJsonFields args;
    args.Int("application_type", nAppType).Str("executable", strExe);
    if (bHasStartup) {
        args.Str("startup_info", strStartup);
    }
    CJsonFields result;
    result.Int("error", nError).UInt("token", nError == 0 ? m_unToken : 0);
    m_journal.Add(c.nPid, "lattice", "VR_InitInternal2", args, result);
    Reply reply = Ok(w);
    reply.fdToPass = nError == 0 ? m_fdShared : -1;
    return reply;
}

Reply CSimState::LShutdown(Reader& r, const ClientInfo& c) {
    uint32_t unCount = r.U32();
    std::vector<Event> returned;
    for (uint32_t i = 0; i < unCount && r.Ok(); ++i) {
        Event event;
        event.unType = r.U32();
        event.unDevice = r.U32();
        r.Bytes(event.rgubData, sizeof(event.rgubData));
        returned.push_back(event);
    }
    if (!r.Complete()) {
        return Bad(c, "VR_ShutdownInternal");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.insert(m_events.begin(), returned.begin(), returned.end());
    PublishState();
    CJsonFields args;
    args.UInt("returned_events", returned.size());
    m_journal.Add(c.nPid, "lattice", "VR_ShutdownInternal", args, CJsonFields());
    return Reply{};
}

Reply CSimState::LIsVersionValid(Reader& r, const ClientInfo& c) {
    std::string strVersion = r.Str();
    if (!r.Complete()) {
        return Bad(c, "VR_IsInterfaceVersionValid");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    bool bValid = m_config.setInterfaces.count(strVersion) > 0;
    CWireWriter w;
    w.Bool(bValid);
    m_journal.Add(c.nPid, "lattice", "VR_IsInterfaceVersionValid",
                  CJsonFields().Str("version", strVersion), CJsonFields().Bool("valid", bValid));
    return Ok(w);
}

Reply CSimState::LGetInterface(Reader& r, const ClientInfo& c) {
    std::string strVersion = r.Str();
    if (!r.Complete()) {
        return Bad(c, "VR_GetGenericInterface");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    bool bServed = m_config.setInterfaces.count(strVersion) > 0 &&
                   m_config.setRefusedInterfaces.count(strVersion) == 0;
    CWireWriter w;
    w.Bool(bServed);
    m_journal.Add(c.nPid, "lattice", "VR_GetGenericInterface",
                  CJsonFields().Str("version", strVersion), CJsonFields().Bool("served", bServed));
    return Ok(w);
}

Reply CSimState::LPollEvents(Reader& r, const ClientInfo& c) {
    uint32_t unMax = r.U32();
    if (!r.Complete()) {
        return Bad(c, "IVRSystem_023::TakeNextEvent");
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    uint32_t unStalled = 0;
    if (m_bStallPending) {
        unStalled = m_unStallMs;
        if (--m_unStallPolls == 0) {
            SetStallFlag(false);
            m_unStallMs = 0;
        }
        // Waits without holding the state for anyone else.
        m_wake.wait_for(lock, std::chrono::milliseconds(unStalled), [this] { return m_bStopping; });
    }
    unMax = std::min(std::max(unMax, 1u), lattice_proto::k_unEventBatch);
    CWireWriter w;
    uint32_t unCount = std::min<uint32_t>(unMax, static_cast<uint32_t>(m_events.size()));
    w.U32(unCount);
    std::string strTypes = "[";
    for (uint32_t i = 0; i < unCount; ++i) {
        const Event& event = m_events.front();
        w.U32(event.unType);
        w.U32(event.unDevice);
        w.Bytes(event.rgubData, sizeof(event.rgubData));
        strTypes += (i ? "," : "") + std::to_string(event.unType);
        m_events.pop_front();
    }
    PublishState();
    strTypes += "]";
    CJsonFields result;
    result.Raw("events", strTypes);
    if (unStalled) {
        result.UInt("stalled_ms", unStalled);
    }
    m_journal.Add(c.nPid, "lattice", "IVRSystem_023::TakeNextEvent", CJsonFields(), result);
    return Ok(w);
}

Reply CSimState::LSettingGet(Reader& r, const ClientInfo& c) {
    std::string strSection = r.Str();
    std::string strKey = r.Str();
    uint8_t unKind = r.U8();
    if (!r.Complete() ||
        (unKind != lattice_proto::SettingKind_Bool && unKind != lattice_proto::SettingKind_Int32)) {
        return Bad(c, "IVRSettings_003::Get");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    int32_t nError = 0;
    int64_t nValue = 0;
    const Json::Value* pValue = nullptr;
    if (m_config.settings.isMember(strSection) && m_config.settings[strSection].isMember(strKey)) {
        pValue = &m_config.settings[strSection][strKey];
    }
    if (!pValue) {
        nError = codes::k_nSettingsKeyNotSet;
    } else if (pValue->isBool()) {
        nValue = pValue->asBool() ? 1 : 0;
    } else if (pValue->isNumeric() && unKind == lattice_proto::SettingKind_Bool) {
        nValue = pValue->asDouble() != 0.0 ? 1 : 0;
    } else if (pValue->isInt()) {
        nValue = pValue->asInt();
    } else if (pValue->isDouble() && pValue->asDouble() >= INT32_MIN &&
               pValue->asDouble() <= INT32_MAX) {
        nValue = static_cast<int32_t>(pValue->asDouble());
    } else {
        nError = codes::k_nSettingsWrongType;
    }
    CWireWriter w;
    w.I32(nError);
    w.I64(nValue);
    bool bBool = unKind == lattice_proto::SettingKind_Bool;
    CJsonFields result;
    result.Int("error", nError);
    if (bBool) {
        result.Bool("value", nValue != 0);
    } else {
        result.Int("value", nValue);
    }
    m_journal.Add(c.nPid, "lattice",
                  bBool ? "IVRSettings_003::GetBool" : "IVRSettings_003::GetInt32",
                  CJsonFields().Str("section", strSection).Str("key", strKey), result);
    return Ok(w);
}

Reply CSimState::LPropertyContainer(Reader& r, const ClientInfo& c) {
    uint32_t unDevice = r.U32();
    if (!r.Complete()) {
        return Bad(c, "IVRProperties_001::GetDevicePropertyContainer");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t ulContainer = unDevice == 0 ? m_config.ulHmdPropertyContainer : 0;
    CWireWriter w;
    w.U64(ulContainer);
    m_journal.Add(c.nPid, "lattice", "IVRProperties_001::GetDevicePropertyContainer",
                  CJsonFields().UInt("device", unDevice),
                  CJsonFields().UInt("container", ulContainer));
    return Ok(w);
}

Reply CSimState::LInputInternal(Reader& r, const ClientInfo& c) {
    uint32_t unMode = r.U32();
    if (!r.Complete()) {
        return Bad(c, "IVRInputInternal_002::SetDashboardProcessMode");
    }
    m_journal.Add(c.nPid, "lattice", "IVRInputInternal_002::SetDashboardProcessMode",
                  CJsonFields().UInt("mode", unMode), CJsonFields());
    return Reply{};
}

Reply CSimState::LStartOverlayApps(Reader& r, const ClientInfo& c) {
    if (!r.Complete()) {
        return Bad(c, "IVRControlPanel_006::StartOverlayApplications");
    }
    m_journal.Add(c.nPid, "lattice", "IVRControlPanel_006::StartOverlayApplications", CJsonFields(),
                  CJsonFields());
    return Reply{};
}

Reply CSimState::LConsoleLine(Reader& r, const ClientInfo& c) {
    ConsoleLine line;
    line.ulHandle = r.U64();
    line.strLog = r.Str();
    line.unTime = r.U32();
    line.nLevel = r.I32();
    line.strText = r.Str();
    if (!r.Complete()) {
        return Bad(c, "IVRControlPanel_006::ShowConsoleLine");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_journal.Add(c.nPid, "lattice", "IVRControlPanel_006::ShowConsoleLine",
                  CJsonFields()
                      .UInt("handle", line.ulHandle)
                      .Str("log", line.strLog)
                      .UInt("time_ms", line.unTime)
                      .Int("level", line.nLevel)
                      .Str("text", line.strText),
                  CJsonFields());
    m_consoleLines.push_back(std::move(line));
    return Reply{};
}

Reply CSimState::LScreenshotRequest(Reader& r, const ClientInfo& c) {
    int32_t nType = r.I32();
    std::string strFirst = r.Str();
    std::string strSecond = r.Str();
    if (!r.Complete()) {
        return Bad(c, "IVRScreenshots_001::RequestScreenshotFiles");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    int32_t nError = 0;
    uint32_t unHandle = 0;
    std::string strOutcome;
    if (strFirst.empty() || strSecond.empty()) {
        nError = codes::k_nScreenshotInvalidArgument;
    } else {
        unHandle = m_unNextScreenshot++;
        const ScreenshotConfig& config = m_config.screenshots;
        uint64_t ulEventData =
            unHandle | (static_cast<uint64_t>(static_cast<uint32_t>(nType)) << 32);
        if (config.strOutcome == "taken") {
            Screenshot shot{nType, strFirst + config.strExtension, strSecond + config.strExtension};
            if (WritePng(shot.strFirst, 16, 9, unHandle) &&
                WritePng(shot.strSecond, 32, 9, unHandle + 1)) {
                m_screenshots[unHandle] = shot;
                QueueEvent(codes::k_unEventScreenshotTaken, ulEventData);
                strOutcome = "taken";
            } else {
                nError = codes::k_nScreenshotRequestFailed;
                QueueEvent(codes::k_unEventScreenshotFailed, ulEventData);
                strOutcome = std::string("failed: ") + strerror(errno);
            }
        } else if (config.strOutcome == "failed") {
            QueueEvent(codes::k_unEventScreenshotFailed, ulEventData);
            strOutcome = "failed";
        } else {
            strOutcome = "none";
        }
    }
    CWireWriter w;
    w.I32(nError);
    w.U32(unHandle);
    m_journal.Add(
        c.nPid, "lattice", "IVRScreenshots_001::RequestScreenshotFiles",
        CJsonFields().Int("type", nType).Str("first", strFirst).Str("second", strSecond),
        CJsonFields().Int("error", nError).UInt("handle", unHandle).Str("outcome", strOutcome));
    return Ok(w);
}

Reply CSimState::LScreenshotType(Reader& r, const ClientInfo& c) {
    uint32_t unHandle = r.U32();
    if (!r.Complete()) {
        return Bad(c, "IVRScreenshots_001::GetScreenshotType");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    int32_t nError = 0;
    int32_t nType = 0;
    auto it = m_screenshots.find(unHandle);
    if (it == m_screenshots.end()) {
        nError = codes::k_nScreenshotUnknownHandle;
    } else if (m_config.screenshots.bFailTypeQuery) {
        nError = codes::k_nScreenshotRequestFailed;
    } else {
        nType = it->second.nType;
    }
    CWireWriter w;
    w.I32(nError);
    w.I32(nType);
    m_journal.Add(c.nPid, "lattice", "IVRScreenshots_001::GetScreenshotType",
                  CJsonFields().UInt("handle", unHandle),
                  CJsonFields().Int("error", nError).Int("type", nType));
    return Ok(w);
}

Reply CSimState::LScreenshotFilename(Reader& r, const ClientInfo& c) {
    uint32_t unHandle = r.U32();
    int32_t nKind = r.I32();
    if (!r.Complete()) {
        return Bad(c, "IVRScreenshots_001::GetScreenshotFileName");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    int32_t nError = 0;
    std::string strName;
    auto it = m_screenshots.find(unHandle);
    if (it == m_screenshots.end()) {
        nError = codes::k_nScreenshotUnknownHandle;
    } else if (nKind != 0 && nKind != 1) {
        nError = codes::k_nScreenshotInvalidArgument;
    } else if (m_config.screenshots.setFailFilenameKinds.count(nKind)) {
        nError = codes::k_nScreenshotRequestFailed;
    } else {
        strName = nKind == 0 ? it->second.strFirst : it->second.strSecond;
    }
    CWireWriter w;
    w.I32(nError);
    w.Str(strName);
    m_journal.Add(c.nPid, "lattice", "IVRScreenshots_001::GetScreenshotFileName",
                  CJsonFields().UInt("handle", unHandle).Int("kind", nKind),
                  CJsonFields().Int("error", nError).Str("name", strName));
    return Ok(w);
}

std::string CSimState::ResolveResource(const std::string& strName, bool bHasDir,
                                       const std::string& strDir) {
    const std::string& strRoot = m_config.strResourceDir;
    std::string strPath;
    if (!strName.empty() && strName[0] == '/') {
        strPath = strName;
    } else if (strRoot.empty() || strName.empty()) {
        return std::string();
    } else if (strName[0] == '{') {
        size_t nClose = strName.find('}');
        if (nClose == std::string::npos || nClose == 1) {
            return std::string();
        }
        strPath = strRoot + "/" + strName.substr(1, nClose - 1) + strName.substr(nClose + 1);
    } else if (bHasDir && !strDir.empty()) {
        strPath = strRoot + "/" + strDir + "/" + strName;
    } else {
        strPath = strRoot + "/" + strName;
    }
    return FileExists(strPath) ? strPath : std::string();
}

Reply CSimState::LResourcePath(Reader& r, const ClientInfo& c) {
    std::string strName = r.Str();
    bool bHasDir = r.Bool();
    std::string strDir = r.Str();
    uint32_t unCapacity = r.U32();
    if (!r.Complete()) {
        return Bad(c, "IVRResources_001::ResolveResourcePath");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string strPath = ResolveResource(strName, bHasDir, strDir);
    CWireWriter w;
    w.Str(strPath);
    CJsonFields args;
    args.Str("name", strName);
    if (bHasDir) {
        args.Str("directory", strDir);
    }
    args.UInt("capacity", unCapacity);
    m_journal.Add(
        c.nPid, "lattice", "IVRResources_001::ResolveResourcePath", args,
        CJsonFields().Str("path", strPath).UInt("size", strPath.empty() ? 0 : strPath.size() + 1));
    return Ok(w);
}

uint64_t CSimState::PathHandleFor(const std::string& strPath) {
    auto [it, bInserted] = m_pathHandles.emplace(strPath, 0);
    if (bInserted) {
        // Never 0: a record with handle 0 names its path by string.
        it->second = 0x1000 + m_pathHandles.size();
    }
    return it->second;
}

Reply CSimState::LPathsRead(Reader& r, const ClientInfo& c) {
    uint64_t ulContainer = r.U64();
    uint32_t unCount = r.U32();
    struct Request {
        uint64_t ulPath;
        uint32_t unBufferSize;
        uint64_t ulReserved;
    };
    std::vector<Request> requests;
    // Each record takes 20 bytes: a count beyond what was sent is malformed.
    if (r.Ok() && unCount <= r.Remaining() / 20) {
        for (uint32_t i = 0; i < unCount; ++i) {
            Request req;
            req.ulPath = r.U64();
            req.unBufferSize = r.U32();
            req.ulReserved = r.U64();
            requests.push_back(req);
        }
    }
    if (!r.Complete() || requests.size() != unCount) {
        return Bad(c, "IVRPaths_002::ReadBatch");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CWireWriter w;
    CJsonFields result;
    if (ulContainer == 0) {
        w.U32(codes::k_unPathInvalidContainer);
        result.UInt("error", codes::k_unPathInvalidContainer);
    } else {
        w.U32(0);
        std::string strRecords = "[";
        for (size_t i = 0; i < requests.size(); ++i) {
            const Request& req = requests[i];
            auto it = m_pathValues.find({ulContainer, req.ulPath});
            uint32_t unTag = 0, unRequired = 0, unError = 0;
            std::string data;
            if (it == m_pathValues.end()) {
                unError = codes::k_unPathUnknownPath;
            } else {
                unTag = it->second.unTag;
                unRequired = static_cast<uint32_t>(it->second.bytes.size());
                if (req.unBufferSize >= unRequired) {
                    data = it->second.bytes;
                } else {
                    unError = codes::k_unPathBufferTooSmall;
                }
            }
            w.U32(unTag);
            w.U32(unRequired);
            w.U32(unError);
            w.Str(data);
            strRecords += std::string(i ? "," : "") + "{\"path\":" + std::to_string(req.ulPath) +
                          ",\"buffer\":" + std::to_string(req.unBufferSize) +
                          ",\"tag\":" + std::to_string(unTag) +
                          ",\"required\":" + std::to_string(unRequired) +
                          ",\"error\":" + std::to_string(unError) + "}";
        }
        result.UInt("error", 0).Raw("records", strRecords + "]");
    }
    m_journal.Add(c.nPid, "lattice", "IVRPaths_002::ReadBatch",
                  CJsonFields().UInt("container", ulContainer).UInt("count", unCount), result);
    return Ok(w);
}

Reply CSimState::LPathsWrite(Reader& r, const ClientInfo& c) {
    uint64_t ulContainer = r.U64();
    uint32_t unCount = r.U32();
    struct Record {
        uint64_t ulPath;
        bool bHasString;
        std::string strPath;
        uint32_t unTag;
        std::string bytes;
        uint64_t ulReserved0;
        uint32_t unReserved1;
        uint8_t unOptions, unReserved2;
    };
    std::vector<Record> records;
    // Each record takes at least 35 bytes on the wire.
    if (r.Ok() && unCount <= r.Remaining() / 35) {
        for (uint32_t i = 0; i < unCount && r.Ok(); ++i) {
            Record rec;
            rec.ulPath = r.U64();
            rec.bHasString = r.Bool();
            rec.strPath = r.Str();
            rec.unTag = r.U32();
            rec.bytes = r.Str();
            rec.ulReserved0 = r.U64();
            rec.unReserved1 = r.U32();
            rec.unOptions = r.U8();
            rec.unReserved2 = r.U8();
            records.push_back(std::move(rec));
        }
    }
    if (!r.Complete() || records.size() != unCount) {
        return Bad(c, "IVRPaths_002::WriteBatch");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t unError = 0;
    if (ulContainer == 0) {
        unError = codes::k_unPathInvalidContainer;
    }
    for (const Record& rec : records) {
        if (rec.ulPath == 0 && (!rec.bHasString || rec.strPath.empty())) {
            unError = unError ? unError : codes::k_unPathInvalidArgument;
        }
    }
    std::string strRecords = "[";
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& rec = records[i];
        uint64_t ulHandle = rec.ulPath;
        if (unError == 0) {
            if (ulHandle == 0) {
                ulHandle = PathHandleFor(rec.strPath);
            }
            m_pathValues[{ulContainer, ulHandle}] = PathValue{rec.unTag, rec.bytes};
        }
        strRecords += std::string(i ? "," : "") + "{\"path\":" + std::to_string(ulHandle) +
                      (rec.bHasString ? ",\"path_string\":" + JsonQuote(rec.strPath) : "") +
                      ",\"tag\":" + std::to_string(rec.unTag) +
                      ",\"size\":" + std::to_string(rec.bytes.size()) + ",\"value\":\"" +
                      HexOf(rec.bytes) + "\"" + ",\"options\":" + std::to_string(rec.unOptions) +
                      ",\"reserved\":[" + std::to_string(rec.ulReserved0) + "," +
                      std::to_string(rec.unReserved1) + "," + std::to_string(rec.unReserved2) +
                      "]}";
    }
    CWireWriter w;
    w.U32(unError);
    m_journal.Add(c.nPid, "lattice", "IVRPaths_002::WriteBatch",
                  CJsonFields()
                      .UInt("container", ulContainer)
                      .UInt("count", unCount)
                      .Raw("records", strRecords + "]"),
                  CJsonFields().UInt("error", unError));
    return Ok(w);
}

Reply CSimState::LPathsStringToHandle(Reader& r, const ClientInfo& c) {
    std::string strPath = r.Str();
    if (!r.Complete()) {
        return Bad(c, "IVRPaths_002::PathToHandle");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t unError = strPath.empty() ? codes::k_unPathInvalidArgument : 0;
    uint64_t ulHandle = unError ? 0 : PathHandleFor(strPath);
    CWireWriter w;
    w.U32(unError);
    w.U64(ulHandle);
    m_journal.Add(c.nPid, "lattice", "IVRPaths_002::PathToHandle",
                  CJsonFields().Str("path", strPath),
                  CJsonFields().UInt("error", unError).UInt("handle", ulHandle));
    return Ok(w);
}

Reply CSimState::LMailboxPost(Reader& r, const ClientInfo& c) {
    std::string strVia = r.Str();
    std::string strMailbox = r.Str();
    std::string strMessage = r.Str();
    if (!r.Complete()) {
        return Bad(c, "PostMailboxMessage");
    }
    m_journal.Add(c.nPid, "lattice", strVia + "::PostMailboxMessage",
                  CJsonFields().Str("mailbox", strMailbox).Str("message", strMessage),
                  CJsonFields().Bool("delivered", true));
    return Reply{};
}

Reply CSimState::Unexpected(Reader& r, const ClientInfo& c) {
    std::string strApi = r.Str();
    std::string strInterface = r.Str();
    int32_t nSlot = r.I32();
    if (!r.Complete()) {
        return Bad(c, "unexpected call");
    }
    m_journal.Add(c.nPid, strApi == "quill" ? "quill" : "lattice",
                  strInterface + "::Unused" + std::to_string(nSlot),
                  CJsonFields().Int("slot", nSlot), CJsonFields(), true);
    return Reply{};
}

void CSimState::QueueEvent(uint32_t unType, uint64_t ulData) {
    Event event;
    event.unType = unType;
    for (int i = 0; i < 8; ++i) {
        event.rgubData[i] = static_cast<uint8_t>(ulData >> (8 * i));
    }
    m_events.push_back(event);
    PublishState();
}

// --- host client -------------------------------------------------------------

Reply CSimState::QIsRunning(Reader& r, const ClientInfo& c) {
    if (!r.Complete()) {
        return Bad(c, "QuillAPI_IsQuillRunning");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CWireWriter w;
    w.Bool(m_config.host.bRunning);
    m_journal.Add(c.nPid, "quill", "QuillAPI_IsQuillRunning", CJsonFields(),
                  CJsonFields().Bool("running", m_config.host.bRunning));
    return Ok(w);
}

Reply CSimState::QAttach(Reader& r, const ClientInfo& c) {
    if (!r.Complete()) {
        return Bad(c, "QuillAPI_IsQuillRunning");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CWireWriter w;
    w.Bool(m_config.host.bRunning);
    m_journal.Add(c.nPid, "quill", "QuillAPI_IsQuillRunning", CJsonFields().Bool("attach", true),
                  CJsonFields().Bool("running", m_config.host.bRunning));
    Reply reply = Ok(w);
    reply.fdToPass = m_fdShared;
    return reply;
}

Reply CSimState::QInit(Reader& r, const ClientInfo& c) {
    std::vector<std::string> versions = r.StrList();
    std::string strAppId = r.Str();
    if (!r.Complete()) {
        return Bad(c, "QuillInternal_QuillAPI_Init");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const HostConfig& host = m_config.host;
    int32_t nResult = 0;
    std::string strMessage;
    uint64_t ulSession = 0;
    if (!host.bRunning) {
        nResult = codes::k_nQuillInitNoHostClient;
        strMessage = "the host client is not running";
    } else if (host.nInitResult != 0) {
        nResult = host.nInitResult;
        strMessage = "the host client refused the initialisation";
    } else {
        ulSession = m_ulNextHostSession++;
        HostSession& session = m_hostSessions[ulSession];
        session.nPid = c.nPid;
        uint64_t ulAppId = 0;
        if (ParseU64(strAppId, ulAppId) && ulAppId <= 0xFFFFFFFFull) {
            session.unAppIdFromProcess = static_cast<uint32_t>(ulAppId);
        }
    }
    CWireWriter w;
    w.I32(nResult);
    w.Str(strMessage);
    w.U64(ulSession);
    w.I32(nResult == 0 ? host.hUser : 0);
    m_journal.Add(c.nPid, "quill", "QuillInternal_QuillAPI_Init",
                  CJsonFields().StrList("interfaces", versions).Str("QuillAppId", strAppId),
                  CJsonFields().Int("result", nResult).UInt("session", ulSession));
    return Ok(w);
}

Reply CSimState::QShutdown(Reader& r, const ClientInfo& c) {
    uint64_t ulSession = r.U64();
    if (!r.Complete()) {
        return Bad(c, "QuillAPI_Shutdown");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    bool bKnown = m_hostSessions.erase(ulSession) > 0;
    PublishState();  // its queued callbacks went with it
    m_journal.Add(c.nPid, "quill", "QuillAPI_Shutdown", CJsonFields().UInt("session", ulSession),
                  CJsonFields().Bool("known_session", bKnown));
    return Reply{};
}

std::string CSimState::LibraryDirectory() const {
    if (!m_config.host.strScreenshotLibrary.empty()) {
        return m_config.host.strScreenshotLibrary;
    }
    size_t nSlash = m_strSocketPath.find_last_of('/');
    std::string strDir = nSlash == std::string::npos ? "." : m_strSocketPath.substr(0, nSlash);
    return (strDir.empty() ? std::string("/") : strDir) + "/quill-screenshots";
}

Reply CSimState::QSessionOp(uint16_t usOp, Reader& r, const ClientInfo& c) {
    using namespace lattice_proto;
    uint64_t ulSession = r.U64();
    CWireWriter w;
    CJsonFields args, result;
    std::string strCall;
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    auto Session = [&]() -> HostSession* {
        auto it = m_hostSessions.find(ulSession);
        return it == m_hostSessions.end() ? nullptr : &it->second;
    };
    const HostConfig& host = m_config.host;
    switch (usOp) {
        case Op_Q_RunCallbacks:
        case Op_Q_RunCallbacksNoneQueued: {
            strCall = "QuillAPI_RunCallbacks";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            if (HostSession* pSession = Session()) {
                // The one-way form delivers nothing: its sender reads no
                // answer, so a callback queued meanwhile stays for the next.
                const size_t cDelivered =
                    usOp == Op_Q_RunCallbacks ? pSession->callbacks.size() : 0;
                w.U32(static_cast<uint32_t>(cDelivered));
                std::string strIds = "[";
                for (size_t i = 0; i < cDelivered; ++i) {
                    w.I32(pSession->callbacks[i].first);
                    w.Str(pSession->callbacks[i].second);
                    strIds += (i ? "," : "") + std::to_string(pSession->callbacks[i].first);
                }
                pSession->callbacks.erase(pSession->callbacks.begin(),
                                          pSession->callbacks.begin() + cDelivered);
                PublishState();
                result.Raw("callbacks", strIds + "]");
            }
            break;
        }
        case Op_Q_FindInterface: {
            strCall = "QuillInternal_FindOrCreateUserInterface";
            int32_t hUser = r.I32();
            std::string strVersion = r.Str();
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            bool bFound = Session() && host.setInterfaces.count(strVersion) > 0 &&
                          (hUser == 0 || hUser == host.hUser);
            w.Bool(bFound);
            args.Int("user", hUser).Str("version", strVersion);
            result.Bool("found", bFound);
            break;
        }
        case Op_Q_UtilsAppId: {
            strCall = "QuillUtils010::GetAppId";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            if (HostSession* pSession = Session()) {
                uint32_t unAppId = host.appId ? *host.appId : pSession->unAppIdFromProcess;
                w.U32(unAppId);
                result.UInt("app_id", unAppId);
            }
            break;
        }
        case Op_Q_UtilsLanguage:
            strCall = "QuillUtils010::GetUiLanguage";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            if (Session()) {
                w.Str(host.strLanguage);
                result.Str("language", host.strLanguage);
            }
            break;
        case Op_Q_UtilsStartDashboard:
            strCall = "QuillUtils010::RequestDashboardStart";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            break;
        case Op_Q_UserId:
            strCall = "QuillUser023::GetUserId";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            if (Session()) {
                w.U64(host.ulUserId);
                result.UInt("user_id", host.ulUserId);
            }
            break;
        case Op_Q_FriendsPersonaName:
            strCall = "QuillFriends017::GetDisplayName";
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            if (Session()) {
                w.Str(host.strUserName);
                result.Str("name", host.strUserName);
            }
            break;
        case Op_Q_ScreenshotAdd: {
            strCall = "QUILLSCREENSHOTS_INTERFACE_VERSION003::AddScreenshotPair";
            int32_t nType = r.I32();
            std::string strFirst = r.Str();
            std::string strSecond = r.Str();
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            args.Int("type", nType).Str("first", strFirst).Str("second", strSecond);
            if (Session()) {
                uint32_t unHandle = 0;
                std::string strDir = LibraryDirectory();
                std::string strCopyFirst, strCopySecond;
                if (!FileExists(strFirst) || !FileExists(strSecond)) {
                    result.Str("error", "a screenshot file does not exist");
                } else if (!MakeDirectories(strDir)) {
                    result.Str("error", "cannot create " + strDir);
                } else {
                    uint32_t unCandidate = m_unNextLibraryHandle++;
                    std::string strPrefix = strDir + "/" + std::to_string(unCandidate) + "_";
                    strCopyFirst = strPrefix + BaseName(strFirst);
                    strCopySecond = strPrefix + BaseName(strSecond);
                    if (CopyFile(strFirst, strCopyFirst) && CopyFile(strSecond, strCopySecond)) {
                        unHandle = unCandidate;
                        result.Str("library_first", strCopyFirst)
                            .Str("library_second", strCopySecond);
                    } else {
                        result.Str("error", "copying into " + strDir + " failed");
                    }
                }
                w.U32(unHandle);
                result.UInt("handle", unHandle);
            }
            break;
        }
        case Op_Q_PrivateStart: {
            std::string strVersion = r.Str();
            strCall = strVersion + "::StartHalyard";
            if (!r.Complete()) {
                return Bad(c, "StartHalyard");
            }
            lock.lock();
            break;
        }
        case Op_Q_PrivateConnectionParams: {
            std::string strVersion = r.Str();
            std::string strParams = r.Str();
            strCall = strVersion + "::SetVRConnectionParams";
            if (!r.Complete()) {
                return Bad(c, "SetVRConnectionParams");
            }
            lock.lock();
            args.Str("params", strParams);
            break;
        }
        case Op_Q_PrivateInvite: {
            strCall = "QuillOrreryPrivate002::InviteWirelessHeadsetToConnect";
            uint64_t ulHeadset = r.U64();
            if (!r.Complete()) {
                return Bad(c, strCall.c_str());
            }
            lock.lock();
            args.UInt("headset", ulHeadset);
            if (Session()) {
                w.Bool(host.bInviteResult);
                result.Bool("invited", host.bInviteResult);
            }
            break;
        }
        default:
            return Bad(c, "host operation");
    }
    args.UInt("session", ulSession);
    if (!Session()) {
        m_journal.Add(c.nPid, "quill", strCall, args, result, false, "no such host session");
        Reply reply;
        reply.usStatus = Status_Failed;
        reply.payload = "no such host session";
        return reply;
    }
    m_journal.Add(c.nPid, "quill", strCall, args, result);
    return Ok(w);
}

// --- control verbs -------------------------------------------------------------

namespace {

// Splits "--name value" options off the positional arguments.
struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;
    std::string strError;
};

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
                     const std::set<std::string>& flags) {
    ParsedArgs parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        if (strArg.size() > 2 && strArg.compare(0, 2, "--") == 0) {
            if (valued.count(strArg)) {
                if (i + 1 >= args.size()) {
                    parsed.strError = strArg + " needs a value";
                    return parsed;
                }
                parsed.options[strArg] = args[++i];
            } else if (flags.count(strArg)) {
                parsed.flags.insert(strArg);
            } else {
                parsed.strError = "unknown option " + strArg;
                return parsed;
            }
        } else {
            parsed.positional.push_back(strArg);
        }
    }
    return parsed;
}

}  // namespace

CSimState::Control CSimState::RunControl(const std::vector<std::string>& argv) {
    Control out;
    auto Usage = [&](const std::string& strWhy) {
        out.nExit = 2;
        out.strErr = "lattice-sim ctl: " + strWhy + "\n";
        return out;
    };
    if (argv.empty()) {
        return Usage("no verb given");
    }
    const std::string& strVerb = argv[0];
    std::vector<std::string> args(argv.begin() + 1, argv.end());
    if (!FindVerb(strVerb)) {
        return Usage("unknown verb '" + strVerb + "'");
    }
    auto NeedCount = [&](size_t n) { return args.size() == n; };
    if (strVerb == "ping") {
        out.strOut = "pong\n";
        return out;
    }
    if (strVerb == "event") {
        return VerbEvent(args);
    }
    if (strVerb == "host") {
        return VerbHost(args);
    }
    if (strVerb == "setting") {
        return VerbSetting(args);
    }
    if (strVerb == "wait") {
        return VerbWait(args);
    }
    if (strVerb == "console") {
        return VerbConsole(args);
    }
    if (strVerb == "console-open" || strVerb == "console-close") {
        uint64_t ulId = 0;
        if (!NeedCount(1) || !ParseU64(args[0], ulId)) {
            return Usage(strVerb + " needs one console id (unsigned 64-bit)");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (strVerb == "console-open") {
            m_openConsoles.insert(ulId);
            QueueEvent(codes::k_unEventConsoleOpened, ulId);
        } else {
            m_openConsoles.erase(ulId);
            QueueEvent(codes::k_unEventConsoleClosed, ulId);
        }
        return out;
    }
    if (strVerb == "screenshot" || strVerb == "quit" || strVerb == "reconnect" ||
        strVerb == "shutdown") {
        if (!NeedCount(0)) {
            return Usage(strVerb + " takes no arguments");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (strVerb == "screenshot") {
            QueueEvent(codes::k_unEventScreenshotTriggered, 0);
        } else if (strVerb == "quit") {
            QueueEvent(codes::k_unEventQuit, 0);
        } else if (strVerb == "reconnect") {
            SetToken(m_unToken + 1 == 0 ? 1 : m_unToken + 1);
            out.strOut = std::to_string(m_unToken) + "\n";
        } else {
            m_bShutdownRequested = true;
        }
        return out;
    }
    if (strVerb == "stall") {
        ParsedArgs parsed = ParseArgs(args, {"--polls"}, {});
        uint64_t ulMs = 0, ulPolls = 1;
        bool bOk = parsed.strError.empty() && parsed.positional.size() == 1 &&
                   ParseU64(parsed.positional[0], ulMs) && ulMs <= 3600000;
        if (bOk && parsed.options.count("--polls")) {
            bOk = ParseU64(parsed.options["--polls"], ulPolls) && ulPolls >= 1 && ulPolls <= 1000;
        }
        if (!bOk) {
            return Usage(
                "stall needs a time in milliseconds (at most 3600000) and optionally --polls N "
                "(1..1000)");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unStallMs = static_cast<uint32_t>(ulMs);
        m_unStallPolls = ulMs > 0 ? static_cast<uint32_t>(ulPolls) : 0;
        SetStallFlag(ulMs > 0);
        return out;
    }
    if (strVerb == "journal") {
        ParsedArgs parsed = ParseArgs(args, {"--since"}, {});
        uint64_t ulSince = 0;
        if (!parsed.strError.empty() || !parsed.positional.empty() ||
            (parsed.options.count("--since") && !ParseU64(parsed.options["--since"], ulSince))) {
            return Usage(parsed.strError.empty() ? "usage: journal [--since SEQ]"
                                                 : parsed.strError);
        }
        out.strOut = m_journal.Dump(ulSince);
        return out;
    }
    return Usage("verb '" + strVerb + "' is not handled");
}

CSimState::Control CSimState::VerbEvent(const std::vector<std::string>& args) {
    Control out;
    ParsedArgs parsed = ParseArgs(args, {"--count", "--hex", "--device"}, {});
    uint64_t ulType = 0, ulData = 0, ulCount = 1, ulDevice = 0xFFFFFFFFu;
    std::string hexBytes;
    bool bOk = parsed.strError.empty() && !parsed.positional.empty() &&
               parsed.positional.size() <= 2 && ParseU64(parsed.positional[0], ulType) &&
               ulType <= 0xFFFFFFFFu;
    if (bOk && parsed.positional.size() == 2) {
        bOk = ParseU64(parsed.positional[1], ulData) && !parsed.options.count("--hex");
    }
    if (bOk && parsed.options.count("--count")) {
        bOk = ParseU64(parsed.options["--count"], ulCount) && ulCount >= 1 && ulCount <= 1000000;
    }
    if (bOk && parsed.options.count("--device")) {
        bOk = ParseU64(parsed.options["--device"], ulDevice) && ulDevice <= 0xFFFFFFFFu;
    }
    if (bOk && parsed.options.count("--hex")) {
        bOk = ParseHex(parsed.options["--hex"], hexBytes) && hexBytes.size() <= 48;
    }
    if (!bOk) {
        out.nExit = 2;
        out.strErr = "lattice-sim ctl: " +
                     (parsed.strError.empty()
                          ? std::string("usage: event TYPE [DATA] [--count N (1..1000000)] "
                                        "[--hex BYTES (up to 48)] [--device N]")
                          : parsed.strError) +
                     "\n";
        return out;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (uint64_t i = 0; i < ulCount; ++i) {
        QueueEvent(static_cast<uint32_t>(ulType), ulData);
        Event& event = m_events.back();
        event.unDevice = static_cast<uint32_t>(ulDevice);
        if (!hexBytes.empty()) {
            std::memcpy(event.rgubData, hexBytes.data(), hexBytes.size());
        }
    }
    return out;
}

CSimState::Control CSimState::VerbHost(const std::vector<std::string>& args) {
    Control out;
    auto Usage = [&]() {
        out.nExit = 2;
        out.strErr =
            "lattice-sim ctl: usage: host up|down|notice-shutdown|persona NAME|callback ID [HEX]|"
            "init-result N|user-id ID\n";
        return out;
    };
    if (args.empty()) {
        return Usage();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    HostConfig& host = m_config.host;
    const std::string& strWhat = args[0];
    auto QueueForAll = [&](int32_t iCallback, const std::string& payload) {
        for (auto& [ulId, session] : m_hostSessions) {
            session.callbacks.emplace_back(iCallback, payload);
        }
        PublishState();
        out.strOut = "queued for " + std::to_string(m_hostSessions.size()) + " host session(s)\n";
    };
    if (strWhat == "up" && args.size() == 1) {
        host.bRunning = true;
        PublishState();
    } else if (strWhat == "down" && args.size() == 1) {
        host.bRunning = false;
        m_hostSessions.clear();
        PublishState();
    } else if (strWhat == "notice-shutdown" && args.size() == 1) {
        QueueForAll(codes::k_iCallbackQuillShutdown, std::string(1, '\0'));
    } else if (strWhat == "persona" && args.size() == 2) {
        host.strUserName = args[1];
        std::string payload(12, '\0');
        for (int i = 0; i < 8; ++i) {
            payload[i] = static_cast<char>(host.ulUserId >> (8 * i));
        }
        QueueForAll(codes::k_iCallbackPersonaStateChange, payload);
    } else if (strWhat == "init-result" && args.size() == 2) {
        // Decimal, optionally negative: what later initialisations answer.
        char* pchEnd = nullptr;
        errno = 0;
        long nResult = strtol(args[1].c_str(), &pchEnd, 10);
        if (args[1].empty() || *pchEnd != '\0' || errno != 0 || nResult < INT32_MIN ||
            nResult > INT32_MAX) {
            return Usage();
        }
        host.nInitResult = static_cast<int32_t>(nResult);
    } else if (strWhat == "user-id" && args.size() == 2) {
        uint64_t ulId = 0;
        if (!ParseU64(args[1], ulId)) {
            return Usage();
        }
        host.ulUserId = ulId;
    } else if (strWhat == "callback" && (args.size() == 2 || args.size() == 3)) {
        uint64_t ulId = 0;
        std::string payload;
        if (!ParseU64(args[1], ulId) || ulId > 0x7FFFFFFF ||
            (args.size() == 3 && !ParseHex(args[2], payload))) {
            return Usage();
        }
        QueueForAll(static_cast<int32_t>(ulId), payload);
    } else {
        return Usage();
    }
    return out;
}

CSimState::Control CSimState::VerbSetting(const std::vector<std::string>& args) {
    Control out;
    if (args.size() != 3 || args[0].empty() || args[1].empty()) {
        out.nExit = 2;
        out.strErr = "lattice-sim ctl: usage: setting SECTION KEY VALUE\n";
        return out;
    }
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> pReader(builder.newCharReader());
    std::string strErrors;
    const std::string& strText = args[2];
    if (!pReader->parse(strText.data(), strText.data() + strText.size(), &value, &strErrors) ||
        !(value.isBool() || value.isNumeric() || value.isString())) {
        value = Json::Value(strText);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config.settings[args[0]][args[1]] = value;
    return out;
}

CSimState::Control CSimState::VerbWait(const std::vector<std::string>& args) {
    Control out;
    ParsedArgs parsed = ParseArgs(args, {"--timeout-ms", "--since"}, {});
    uint64_t ulTimeout = 30000, ulSince = 0;
    bool bOk =
        parsed.strError.empty() && parsed.positional.size() == 1 && !parsed.positional[0].empty();
    if (bOk && parsed.options.count("--timeout-ms")) {
        bOk = ParseU64(parsed.options["--timeout-ms"], ulTimeout) && ulTimeout <= 3600000;
    }
    if (bOk && parsed.options.count("--since")) {
        bOk = ParseU64(parsed.options["--since"], ulSince);
    }
    if (!bOk) {
        out.nExit = 2;
        out.strErr = "lattice-sim ctl: usage: wait SUBSTRING [--timeout-ms N] [--since SEQ]\n";
        return out;
    }
    std::string strEntry =
        m_journal.Wait(parsed.positional[0], std::chrono::milliseconds(ulTimeout), ulSince);
    if (strEntry.empty()) {
        out.nExit = 1;
        out.strErr = "lattice-sim ctl: wait: no journal entry contains '" + parsed.positional[0] +
                     "' after " + std::to_string(ulTimeout) + " ms\n";
        return out;
    }
    out.strOut = strEntry + "\n";
    return out;
}

CSimState::Control CSimState::VerbConsole(const std::vector<std::string>& args) {
    Control out;
    ParsedArgs parsed = ParseArgs(args, {}, {"--json"});
    if (!parsed.strError.empty() || !parsed.positional.empty()) {
        out.nExit = 2;
        out.strErr = "lattice-sim ctl: usage: console [--json]\n";
        return out;
    }
    bool bJson = parsed.flags.count("--json") > 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const ConsoleLine& line : m_consoleLines) {
        if (bJson) {
            out.strOut += CJsonFields()
                              .UInt("handle", line.ulHandle)
                              .Str("log", line.strLog)
                              .UInt("time_ms", line.unTime)
                              .Int("level", line.nLevel)
                              .Str("text", line.strText)
                              .Object() +
                          "\n";
            continue;
        }
        std::string strText = line.strText;
        if (!strText.empty() && strText.back() == '\n') {
            strText.pop_back();
        }
        // One line per entry: embedded newlines are shown escaped.
        std::string strShown;
        for (char ch : strText) {
            strShown += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        }
        out.strOut += std::to_string(line.ulHandle) + "\t" + strShown + "\n";
    }
    return out;
}

}  // namespace lattice_sim
