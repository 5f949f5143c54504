#include "host_client.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "interfaces.h"
#include "peer_trust.h"

namespace quill_stub {

using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;
using lattice_proto::Frame;

CHostClient& CHostClient::Get() {
    // Never destroyed: callbacks and crash paths may run during exit.
    static CHostClient* s_pHost = new CHostClient;
    return *s_pHost;
}

CHostClient::CHostClient() {
    pthread_atfork(nullptr, nullptr, ForgetSessionPageInChild);
}

void CHostClient::ForgetSessionPageInChild() {
    // The child runs alone: no lock needed, and one held by a thread of the
    // parent at the fork would never be released here. The mapping stays
    // until the child ends or execs.
    Get().m_pSessionPage = nullptr;
}

bool CHostClient::IsRunning() {
    std::lock_guard<std::mutex> lock(m_sharedMutex);
    // Asked every frame: answered from the shared page while the simulator
    // that published it is still there. When no idle connection can vouch
    // for that (a failed call dropped them), the page may be a dead
    // simulator's last word: ask again.
    if (m_pShared && m_channel.IdlePeerAlive()) {
        return lattice_proto::LoadShared(m_pShared->unHostRunning) != 0;
    }
    lattice_proto::UnmapSharedState(m_pShared);
    m_pShared = nullptr;
    Frame reply;
    int fdShared = -1;
    if (m_channel.Call(lattice_proto::Op_Q_Attach, std::string(), reply, &fdShared) !=
            lattice_proto::CClientChannel::Call_Ok ||
        reply.usStatus != lattice_proto::Status_Ok) {
        if (fdShared >= 0) {
            close(fdShared);
        }
        return false;
    }
    std::string strWhy;
    if (!lattice_proto::TakeSharedState(fdShared, &m_pShared, &strWhy)) {
        // A page that could shrink under its mapping would end this process
        // on the next read: such a host client is not one to talk to.
        lattice_proto::ReportPeerProblem(
            lattice_proto::Role_Quill,
            "refusing the host client at " + m_channel.Path() + ": " + strWhy);
        return false;
    }
    CWireReader reader(reply.payload);
    bool bRunning = reader.Bool();
    return reader.Ok() && bRunning;
}

namespace {

std::vector<std::string> SplitVersionList(const char* pszList) {
    std::vector<std::string> vecVersions;
    // The list ends with an empty entry; a bound keeps a list without one
    // from running away.
    for (int i = 0; pszList && *pszList && i < 4096; ++i) {
        size_t cch = strnlen(pszList, 256);
        vecVersions.emplace_back(pszList, cch);
        pszList += cch + (pszList[cch] == '\0' ? 1 : 0);
    }
    return vecVersions;
}

void SetError(QuillErrMsg* pOutErrMsg, const std::string& strText) {
    if (pOutErrMsg) {
        std::snprintf(*pOutErrMsg, sizeof(*pOutErrMsg), "%s", strText.c_str());
    }
}

}  // namespace

int CHostClient::Init(const char* pszInterfaceVersions, QuillErrMsg* pOutErrMsg) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bInitialized) {
            return QuillInit_Ok;
        }
    }
    CWireWriter request;
    request.StrList(SplitVersionList(pszInterfaceVersions));
    const char* pchAppId = getenv("QuillAppId");
    request.Str(pchAppId ? pchAppId : "");
    Frame reply;
    int fdPage = -1;
    if (m_channel.Call(lattice_proto::Op_Q_Init, request.Buffer(), reply, &fdPage) !=
        lattice_proto::CClientChannel::Call_Ok) {
        SetError(pOutErrMsg, "the host client is not reachable");
        return QuillInit_NoHostClient;
    }
    auto Refused = [&](int nResult, const std::string& strError) {
        if (fdPage >= 0) {
            close(fdPage);  // the page of an initialisation that did not happen
        }
        SetError(pOutErrMsg, strError);
        return nResult;
    };
    if (reply.usStatus != lattice_proto::Status_Ok) {
        return Refused(QuillInit_ProtocolMismatch, reply.payload);
    }
    CWireReader reader(reply.payload);
    int32_t nResult = reader.I32();
    std::string strMessage = reader.Str();
    uint64_t ulSession = reader.U64();
    int32_t hUser = reader.I32();
    if (!reader.Ok()) {
        return Refused(QuillInit_ProtocolMismatch, "malformed answer from the host client");
    }
    if (nResult != QuillInit_Ok) {
        return Refused(nResult, strMessage);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bInitialized = true;
        m_ulSession = ulSession;
        m_hUser = hUser;
        ++m_unInitCounter;
    }
    AdoptSessionPage(fdPage);
    return QuillInit_Ok;
}

void CHostClient::AdoptSessionPage(int fdPage) {
    lattice_proto::SessionPage* pPage = nullptr;
    std::string strWhy;
    if (!lattice_proto::TakeSessionPage(fdPage, &pPage, &strWhy)) {
        // Calls then travel as messages; the page itself is not trusted.
        lattice_proto::ReportPeerProblem(lattice_proto::Role_Quill,
                                         "not counting idle calls on the host client's page at " +
                                             m_channel.Path() + ": " + strWhy);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bInitialized) {
        lattice_proto::UnmapSessionPage(pPage);  // shut down meanwhile
        pPage = nullptr;
    }
    lattice_proto::UnmapSessionPage(m_pSessionPage);
    m_pSessionPage = pPage;
}

void CHostClient::Shutdown() {
    uint64_t ulSession = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bInitialized) {
            return;
        }
        ulSession = m_ulSession;
        m_bInitialized = false;
        m_ulSession = 0;
        m_hUser = 0;
        ++m_unInitCounter;
        // Nothing counted on it is lost: the simulator takes the count
        // before it handles the shutdown below.
        lattice_proto::UnmapSessionPage(m_pSessionPage);
        m_pSessionPage = nullptr;
    }
    CWireWriter request;
    request.U64(ulSession);
    Frame reply;
    m_channel.Call(lattice_proto::Op_Q_Shutdown, request.Buffer(), reply);
}

bool CHostClient::SessionRequest(const CWireWriter& args, CWireWriter& request) {
    uint64_t ulSession = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bInitialized) {
            return false;
        }
        ulSession = m_ulSession;
    }
    request.U64(ulSession);
    request.Bytes(args.Buffer().data(), args.Buffer().size());
    return true;
}

bool CHostClient::SessionCall(lattice_proto::EOp eOp, const CWireWriter& args, Frame& reply) {
    CWireWriter request;
    if (!SessionRequest(args, request)) {
        return false;
    }
    return m_channel.Call(eOp, request.Buffer(), reply) == lattice_proto::CClientChannel::Call_Ok &&
           reply.usStatus == lattice_proto::Status_Ok;
}

bool CHostClient::BNoCallbackQueued() {
    std::lock_guard<std::mutex> lock(m_sharedMutex);
    return m_pShared && lattice_proto::LoadShared(m_pShared->unCallbacksQueued) == 0;
}

bool CHostClient::BCountedIdleCall() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bInitialized || !m_pSessionPage) {
        return false;
    }
    lattice_proto::CountShared(m_pSessionPage->unIdleRunCallbacks);
    return true;
}

void CHostClient::RunCallbacks() {
    // Called every frame. With nothing queued the call is still made (and
    // recorded by the host), but there is no answer worth a round trip: it is
    // counted on the session page, or, without one, sent one-way.
    if (BNoCallbackQueued()) {
        if (BCountedIdleCall()) {
            return;
        }
        CWireWriter request;
        if (SessionRequest(CWireWriter(), request)) {
            m_channel.Post(lattice_proto::Op_Q_RunCallbacksNoneQueued, request.Buffer());
        }
        return;
    }
    Frame reply;
    if (!SessionCall(lattice_proto::Op_Q_RunCallbacks, CWireWriter(), reply)) {
        return;
    }
    CWireReader reader(reply.payload);
    uint32_t unCount = reader.U32();
    for (uint32_t i = 0; i < unCount && reader.Ok(); ++i) {
        int32_t iCallback = reader.I32();
        std::string payload = reader.Str();
        if (!reader.Ok()) {
            break;
        }
        std::vector<CCallbackBase*> vecTargets;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto range = m_callbacks.equal_range(iCallback);
            for (auto it = range.first; it != range.second; ++it) {
                vecTargets.push_back(it->second);
            }
        }
        for (CCallbackBase* pTarget : vecTargets) {
            {
                // A record unregistered by an earlier Run of this batch is skipped.
                std::lock_guard<std::mutex> lock(m_mutex);
                bool bStillRegistered = false;
                auto range = m_callbacks.equal_range(iCallback);
                for (auto it = range.first; it != range.second; ++it) {
                    bStillRegistered = bStillRegistered || it->second == pTarget;
                }
                if (!bStillRegistered) {
                    continue;
                }
            }
            // The record may expect more bytes than the host sent: hand it a
            // zero-filled buffer of at least its own size.
            size_t cub = std::max<size_t>(
                payload.size(), static_cast<size_t>(std::max(pTarget->GetCallbackSizeBytes(), 0)));
            std::unique_ptr<char[]> buffer(new char[std::max<size_t>(cub, 1)]());
            std::memcpy(buffer.get(), payload.data(), payload.size());
            pTarget->Run(buffer.get());
        }
    }
}

void CHostClient::Register(CCallbackBase* pCallback, int iCallback) {
    if (!pCallback) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pCallback->m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsRegistered) {
        // Already registered: move it to the new id rather than keep two entries.
        for (auto it = m_callbacks.begin(); it != m_callbacks.end();) {
            it = it->second == pCallback ? m_callbacks.erase(it) : std::next(it);
        }
    }
    pCallback->m_iCallback = iCallback;
    pCallback->m_nCallbackFlags |= CCallbackBase::k_ECallbackFlagsRegistered;
    m_callbacks.emplace(iCallback, pCallback);
}

void CHostClient::Unregister(CCallbackBase* pCallback) {
    if (!pCallback) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_callbacks.begin(); it != m_callbacks.end();) {
        it = it->second == pCallback ? m_callbacks.erase(it) : std::next(it);
    }
    pCallback->m_nCallbackFlags &= static_cast<uint8_t>(~CCallbackBase::k_ECallbackFlagsRegistered);
}

void* CHostClient::ContextInit(QuillContextRecord_t* pRecord) {
    if (!pRecord) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> contextLock(m_contextMutex);
    uintptr_t unCounter;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unCounter = m_unInitCounter;
    }
    if (pRecord->unFilledFor != unCounter) {
        pRecord->pInterface = nullptr;
        if (pRecord->pfnInit) {
            pRecord->pfnInit(&pRecord->pInterface);
        }
        pRecord->unFilledFor = unCounter;
    }
    return &pRecord->pInterface;
}

void* CHostClient::FindInterface(HQuillUser hUser, const char* pszVersion) {
    if (!pszVersion) {
        return nullptr;
    }
    CWireWriter args;
    args.I32(hUser);
    args.Str(pszVersion);
    Frame reply;
    if (!SessionCall(lattice_proto::Op_Q_FindInterface, args, reply)) {
        return nullptr;
    }
    CWireReader reader(reply.payload);
    bool bFound = reader.Bool();
    if (!reader.Ok() || !bFound) {
        return nullptr;
    }
    return quill_stub::FindInterfaceObject(pszVersion);
}

HQuillUser CHostClient::User() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bInitialized ? m_hUser : 0;
}

void CHostClient::ReportUnexpected(const char* pchInterface, int nSlot) {
    CWireWriter request;
    request.Str("quill");
    request.Str(pchInterface);
    request.I32(nSlot);
    Frame reply;
    m_channel.Call(lattice_proto::Op_Unexpected, request.Buffer(), reply);
}

}  // namespace quill_stub
