// host_client: the host client stand-in's state: the channel to lattice-sim
// (opened on demand, so a host client that appears later is found), the
// initialisation (session id, user handle, the initialisation counter that
// context records compare against) and the registered callback records.
//
// Thread safety: every member may be called from any thread. Callback records
// are run without any lock held, so a record may unregister itself (or others)
// from inside Run.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "channel.h"
#include "protocol.h"
#include "quill_api.h"
#include "shared_state.h"
#include "wire.h"

namespace quill_stub {

class CHostClient {
public:
    static CHostClient& Get();

    bool IsRunning();
    int Init(const char* pszInterfaceVersions, QuillErrMsg* pOutErrMsg);
    void Shutdown();
    void RunCallbacks();
    void Register(CCallbackBase* pCallback, int iCallback);
    void Unregister(CCallbackBase* pCallback);
    void* ContextInit(QuillContextRecord_t* pRecord);
    void* FindInterface(HQuillUser hUser, const char* pszVersion);
    HQuillUser User();

    // Sends a request that belongs to the current initialisation (the session
    // id goes first). false when not initialised or the host client refused.
    // The session id, then args: the request of a call on the session; false
    // when no session is open.
    bool SessionRequest(const lattice_proto::CWireWriter& args,
                        lattice_proto::CWireWriter& request);
    bool SessionCall(lattice_proto::EOp eOp, const lattice_proto::CWireWriter& args,
                     lattice_proto::Frame& reply);
    void ReportUnexpected(const char* pchInterface, int nSlot);

private:
    CHostClient();
    // The shared page shows no callback waiting for any host session.
    bool BNoCallbackQueued();
    // Counts an idle RunCallbacks on the session page; false when there is
    // no session or no page (the call is then sent).
    bool BCountedIdleCall();
    // Takes the session page that came with an initialisation's reply.
    void AdoptSessionPage(int fdPage);
    static void ForgetSessionPageInChild();

    lattice_proto::CClientChannel m_channel{lattice_proto::Role_Quill, true};

    std::mutex m_mutex;  // everything below
    bool m_bInitialized = false;
    uint64_t m_ulSession = 0;
    HQuillUser m_hUser = 0;
    // Bumped at every initialisation and shutdown; context records filled for
    // another value are refilled.
    uintptr_t m_unInitCounter = 1;
    std::multimap<int, CCallbackBase*> m_callbacks;
    // The session's page, where idle RunCallbacks are counted; null when the
    // host client gave none, and in a child made by fork (whose calls are
    // its own, not its parent's).
    lattice_proto::SessionPage* m_pSessionPage = nullptr;

    std::recursive_mutex m_contextMutex;  // refills call back into this class

    // The simulator's shared page, mapped at the first IsRunning that reaches
    // it and dropped when that simulator goes away.
    std::mutex m_sharedMutex;
    const lattice_proto::SharedState* m_pShared = nullptr;
};

}  // namespace quill_stub

namespace quill_stub::checks {
namespace codes = lattice_proto::codes;
static_assert(QuillInit_Failed == codes::k_nQuillInitFailed);
static_assert(QuillInit_NoHostClient == codes::k_nQuillInitNoHostClient);
static_assert(QuillShutdown_t::k_iCallback == codes::k_iCallbackQuillShutdown);
static_assert(PersonaStateChange_t::k_iCallback == codes::k_iCallbackPersonaStateChange);
}  // namespace quill_stub::checks
