#include "runtime_connection.h"

#include <unistd.h>

#include <cstring>

namespace lattice_stub {

using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;
using lattice_proto::Frame;

CRuntimeConnection& CRuntimeConnection::Get() {
    // Never destroyed: interface objects and other threads may call in while
    // the process exits.
    static CRuntimeConnection* s_pConnection = new CRuntimeConnection;
    return *s_pConnection;
}

namespace {

std::string ExecutableName() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

uint32_t CRuntimeConnection::Init(vr::ELatticeInitError* peError, vr::ELatticeAppType eType,
                                  const char* pchStartupInfo) {
    vr::ELatticeInitError eScratch;
    vr::ELatticeInitError& eError = peError ? *peError : eScratch;
    Shutdown();

    // Always the poll lock before the state lock, as in Shutdown.
    std::lock_guard<std::mutex> pollLock(m_pollMutex);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    std::string strPath = lattice_proto::ResolveSocketPath();
    lattice_proto::EHello eHello = m_channel.Open(strPath, nullptr);
    if (eHello != lattice_proto::Hello_Ok) {
        eError = eHello == lattice_proto::Hello_Mismatch ? vr::LatticeInitError_ProtocolMismatch
                                                         : vr::LatticeInitError_RuntimeUnreachable;
        return 0;
    }
    CWireWriter request;
    request.I32(eType);
    request.Bool(pchStartupInfo != nullptr);
    request.Str(pchStartupInfo ? pchStartupInfo : "");
    request.Str(ExecutableName());
    Frame reply;
    int fdShared = -1;
    if (m_channel.Call(lattice_proto::Op_L_Init, request.Buffer(), reply, &fdShared) !=
            lattice_proto::CClientChannel::Call_Ok ||
        reply.usStatus != lattice_proto::Status_Ok) {
        if (fdShared >= 0) {
            close(fdShared);
        }
        m_channel.Close();
        eError = vr::LatticeInitError_RuntimeUnreachable;
        return 0;
    }
    CWireReader reader(reply.payload);
    int32_t nError = reader.I32();
    uint32_t unToken = reader.U32();
    std::vector<std::string> vecServed = reader.StrList();
    if (!reader.Ok()) {
        nError = vr::LatticeInitError_ProtocolMismatch;
    }
    const lattice_proto::SharedState* pShared = nullptr;
    std::string strWhy;
    if (!lattice_proto::TakeSharedState(fdShared, &pShared, &strWhy)) {
        // A page that could shrink under its mapping would end this process
        // on the next read: such a runtime is not one to talk to.
        lattice_proto::ReportPeerProblem(lattice_proto::Role_Lattice,
                                         "refusing the runtime at " + strPath + ": " + strWhy);
        m_channel.Close();
        eError = vr::LatticeInitError_RuntimeUnreachable;
        return 0;
    }
    if (nError != 0) {
        lattice_proto::UnmapSharedState(pShared);
        m_channel.Close();
        eError = static_cast<vr::ELatticeInitError>(nError);
        return 0;
    }
    m_pShared.store(pShared);
    m_unLastToken.store(unToken);
    m_setServed = std::set<std::string, std::less<>>(vecServed.begin(), vecServed.end());
    m_events.clear();
    m_bQuitDelivered = false;
    m_eState.store(State_Connected);
    eError = vr::LatticeInitError_None;
    return unToken;
}

void CRuntimeConnection::UnmapShared() {
    if (const lattice_proto::SharedState* pShared = m_pShared.exchange(nullptr)) {
        m_unLastToken.store(lattice_proto::LoadShared(pShared->unInitToken));
        lattice_proto::UnmapSharedState(pShared);
    }
}

void CRuntimeConnection::Shutdown() {
    std::lock_guard<std::mutex> pollLock(m_pollMutex);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (m_eState.load() == State_Connected) {
        // Events fetched ahead but never polled go back to the front of the
        // runtime's queue rather than being lost.
        CWireWriter request;
        request.U32(static_cast<uint32_t>(m_events.size()));
        for (const QueuedEvent& event : m_events) {
            request.U32(event.unType);
            request.U32(event.unDevice);
            request.Bytes(event.rgubData, sizeof(event.rgubData));
        }
        Frame reply;
        m_channel.Call(lattice_proto::Op_L_Shutdown, request.Buffer(), reply);
    }
    m_events.clear();
    m_bQuitDelivered = false;
    m_channel.Close();
    m_eState.store(State_Disconnected);
    UnmapShared();
}

bool CRuntimeConnection::IsServed(std::string_view version) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_eState.load() == State_Connected && m_setServed.find(version) != m_setServed.end();
}

uint32_t CRuntimeConnection::InitToken() {
    if (const lattice_proto::SharedState* pShared = m_pShared.load()) {
        return lattice_proto::LoadShared(pShared->unInitToken);
    }
    return m_unLastToken.load();
}

void CRuntimeConnection::MarkLost() {
    EState eExpected = State_Connected;
    if (m_eState.compare_exchange_strong(eExpected, State_Lost)) {
        m_channel.Close();
        std::lock_guard<std::mutex> lock(m_stateMutex);
        UnmapShared();
    }
}

bool CRuntimeConnection::Call(lattice_proto::EOp eOp, const CWireWriter& request, Frame& reply) {
    if (m_eState.load() != State_Connected) {
        return false;
    }
    switch (m_channel.Call(eOp, request.Buffer(), reply)) {
        case lattice_proto::CClientChannel::Call_Ok:
            return reply.usStatus == lattice_proto::Status_Ok;
        case lattice_proto::CClientChannel::Call_Lost:
            MarkLost();
            return false;
        default:
            return false;
    }
}

bool CRuntimeConnection::Ask(lattice_proto::EOp eOp, const CWireWriter& request,
                             const std::function<void(CWireReader&)>& read) {
    Frame reply;
    if (!Call(eOp, request, reply)) {
        return false;
    }
    CWireReader reader(reply.payload);
    read(reader);
    return reader.Ok();
}

bool CRuntimeConnection::Tell(lattice_proto::EOp eOp, const CWireWriter& request) {
    Frame reply;
    return Call(eOp, request, reply);
}

void CRuntimeConnection::Post(lattice_proto::EOp eOp, const CWireWriter& request) {
    if (m_eState.load() != State_Connected) {
        return;
    }
    if (m_channel.Post(eOp, request.Buffer()) == lattice_proto::CClientChannel::Call_Lost) {
        MarkLost();
    }
}

// Called with m_pollMutex held. Appends what the simulator has queued.
bool CRuntimeConnection::FetchEvents() {
    CWireWriter request;
    request.U32(lattice_proto::k_unEventBatch);
    Frame reply;
    if (!Call(lattice_proto::Op_L_PollEvents, request, reply)) {
        return false;
    }
    CWireReader reader(reply.payload);
    uint32_t unCount = reader.U32();
    for (uint32_t i = 0; i < unCount && reader.Ok(); ++i) {
        QueuedEvent event;
        event.unType = reader.U32();
        event.unDevice = reader.U32();
        reader.Bytes(event.rgubData, sizeof(event.rgubData));
        if (reader.Ok()) {
            m_events.push_back(event);
        }
    }
    return true;
}

bool CRuntimeConnection::PollEvent(vr::LatticeEvent_t* pEvent) {
    std::lock_guard<std::mutex> pollLock(m_pollMutex);
    if (m_eState.load() == State_Connected) {
        const lattice_proto::SharedState* pShared = m_pShared.load();
        bool bStall = pShared && lattice_proto::LoadShared(pShared->unStallPending) != 0;
        bool bQueued = !pShared || lattice_proto::LoadShared(pShared->unEventsQueued) != 0;
        if (m_events.empty() && !bQueued && !bStall) {
            // Nothing to fetch: an idle frame costs no round trip, only a
            // look at whether the simulator is still there.
            CheckIdlePeer();
        } else if (m_events.empty() || bStall) {
            // A pending stall is served by the simulator even while events
            // fetched earlier are still waiting here.
            FetchEvents();
        }
    }
    if (!m_events.empty()) {
        const QueuedEvent& event = m_events.front();
        std::memset(pEvent, 0, sizeof(*pEvent));
        pEvent->eventType = event.unType;
        pEvent->trackedDeviceIndex = event.unDevice;
        pEvent->eventAgeSeconds = 0.0f;
        std::memcpy(pEvent->data.rgubRaw, event.rgubData, sizeof(pEvent->data.rgubRaw));
        m_events.pop_front();
        return true;
    }
    // The runtime went away (noticed here or by any other call): the caller
    // learns it once, as the quit event, after every event fetched before.
    if (m_eState.load() == State_Lost && !m_bQuitDelivered) {
        m_bQuitDelivered = true;
        std::memset(pEvent, 0, sizeof(*pEvent));
        pEvent->eventType = vr::LatticeEvent_Quit;
        pEvent->trackedDeviceIndex = vr::k_unDeviceIndexInvalid;
        return true;
    }
    return false;
}

void CRuntimeConnection::CheckIdlePeer() {
    if (m_channel.PeerClosed()) {
        MarkLost();
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - m_lastIdleCheck < k_idleCheckInterval) {
        return;
    }
    m_lastIdleCheck = now;
    Tell(lattice_proto::Op_Ping);  // a connection lost or past its deadline: MarkLost
}

void CRuntimeConnection::ReportUnexpected(const char* pchInterface, int nSlot) {
    CWireWriter request;
    request.Str("lattice");
    request.Str(pchInterface);
    request.I32(nSlot);
    Tell(lattice_proto::Op_Unexpected, request);
}

}  // namespace lattice_stub
