// runtime_connection: the runtime stand-in's link to lattice-sim, from
// VR_InitInternal2 to VR_ShutdownInternal.
//
// Holds the connection state (disconnected, connected, lost), the channel (a
// pool of connections, so that a stalled event poll never holds up another
// thread's call), the shared state page the simulator maps for us (init
// token, stall flag, queued events) and the batch of events fetched ahead of
// the caller. Interface objects forward their calls through Call().
//
// Thread safety: every member may be called from any thread. Event polls are
// serialised among themselves so that events keep their order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "channel.h"
#include "lattice_api.h"
#include "peer_trust.h"
#include "protocol.h"
#include "shared_state.h"
#include "wire.h"

namespace lattice_stub {

struct QueuedEvent {
    uint32_t unType = 0;
    uint32_t unDevice = 0;
    uint8_t rgubData[lattice_proto::k_cubEventData] = {};
};

class CRuntimeConnection {
public:
    static CRuntimeConnection& Get();

    uint32_t Init(vr::ELatticeInitError* peError, vr::ELatticeAppType eType,
                  const char* pchStartupInfo);
    void Shutdown();
    bool IsConnected() const { return m_eState.load() == State_Connected; }
    uint32_t InitToken();
    // From the list the simulator sent at init; no round trip.
    bool IsServed(std::string_view version);

    // Sends a request; true when the simulator answered with Status_Ok. A
    // broken connection moves the state to lost.
    bool Call(lattice_proto::EOp eOp, const lattice_proto::CWireWriter& request,
              lattice_proto::Frame& reply);
    // Call() whose answer read() decodes: true when the simulator answered
    // and the answer held everything read() took from it.
    bool Ask(lattice_proto::EOp eOp, const lattice_proto::CWireWriter& request,
             const std::function<void(lattice_proto::CWireReader&)>& read);
    // Call() of a method that answers nothing; true when it was answered.
    bool Tell(lattice_proto::EOp eOp,
              const lattice_proto::CWireWriter& request = lattice_proto::CWireWriter());
    // Sends a request that returns nothing without waiting for the
    // simulator; a later Call sees it handled first (CClientChannel::Post).
    void Post(lattice_proto::EOp eOp, const lattice_proto::CWireWriter& request);
    bool PollEvent(vr::LatticeEvent_t* pEvent);
    // Records a call of an unused interface slot in the simulator's journal.
    void ReportUnexpected(const char* pchInterface, int nSlot);

private:
    enum EState { State_Disconnected, State_Connected, State_Lost };

    void MarkLost();
    void UnmapShared();
    bool FetchEvents();
    // Under m_pollMutex, in a poll that needs no round trip: whether the
    // simulator still answers, asked at most every k_idleCheckInterval.
    void CheckIdlePeer();

    lattice_proto::CClientChannel m_channel{lattice_proto::Role_Lattice, false};
    std::atomic<EState> m_eState{State_Disconnected};
    std::mutex m_stateMutex;  // init, shutdown, the shared page
    std::atomic<const lattice_proto::SharedState*> m_pShared{nullptr};
    std::atomic<uint32_t> m_unLastToken{0};
    // Idle polls answer from the shared page, which a stopped simulator
    // leaves as it was: now and then one asks the simulator itself (under the
    // reply deadline), so that a runtime that stopped answering is noticed.
    static constexpr std::chrono::seconds k_idleCheckInterval{1};
    std::chrono::steady_clock::time_point m_lastIdleCheck;  // under m_pollMutex
    // Looked up by string_view: every console line asks for the control panel.
    std::set<std::string, std::less<>> m_setServed;

    std::mutex m_pollMutex;  // the event batch and the quit delivery
    std::deque<QueuedEvent> m_events;
    bool m_bQuitDelivered = false;
};

}  // namespace lattice_stub

namespace lattice_stub::checks {
namespace codes = lattice_proto::codes;
static_assert(vr::LatticeInitError_InvalidApplicationType == codes::k_nInitInvalidApplicationType);
static_assert(vr::LatticeInitError_InvalidStartupInfo == codes::k_nInitInvalidStartupInfo);
static_assert(vr::SettingsError_KeyNotSet == codes::k_nSettingsKeyNotSet);
static_assert(vr::SettingsError_WrongType == codes::k_nSettingsWrongType);
static_assert(vr::ScreenshotError_UnknownHandle == codes::k_nScreenshotUnknownHandle);
static_assert(vr::ScreenshotError_InvalidArgument == codes::k_nScreenshotInvalidArgument);
static_assert(vr::ScreenshotError_RequestFailed == codes::k_nScreenshotRequestFailed);
static_assert(vr::PathError_InvalidContainer == codes::k_unPathInvalidContainer);
static_assert(vr::PathError_UnknownPath == codes::k_unPathUnknownPath);
static_assert(vr::PathError_BufferTooSmall == codes::k_unPathBufferTooSmall);
static_assert(vr::PathError_InvalidArgument == codes::k_unPathInvalidArgument);
static_assert(vr::LatticeEvent_ConsoleOpened == codes::k_unEventConsoleOpened);
static_assert(vr::LatticeEvent_ConsoleClosed == codes::k_unEventConsoleClosed);
static_assert(vr::LatticeEvent_ScreenshotTriggered == codes::k_unEventScreenshotTriggered);
static_assert(vr::LatticeEvent_ScreenshotTaken == codes::k_unEventScreenshotTaken);
static_assert(vr::LatticeEvent_ScreenshotFailed == codes::k_unEventScreenshotFailed);
static_assert(vr::LatticeEvent_Quit == codes::k_unEventQuit);
}  // namespace lattice_stub::checks
