#include "quill_worker_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "quill_private.h"
#include "strtools_public.h"
#include "systemtime.h"
#include "threadtools.h"
#include "threadwatchdog.h"
#include "tracemarkers.h"
#include "vrlog.h"
#include "vrpathregistry.h"

namespace {

// Trace event locations. They read as "file:line" but are stable identifiers
// that trace tools match on, not the lines the code stands on.
constexpr char k_pchTraceRunFrame[] = "quill_worker_thread.cpp:91";
constexpr char k_pchTraceRunQuillFrame[] = "quill_worker_thread.cpp:293";

}  // namespace

// Every host client interface this program expects the library to offer. The
// library checks them at initialisation; most are not called here.
const char k_rgchQuillInterfaceVersions[] =
    "QuillUtils010\0"
    "QuillUser023\0"
    "QuillFriends017\0"
    "QUILLSCREENSHOTS_INTERFACE_VERSION003\0"
    "QuillAppList004\0"
    "QuillCloudStore006\0"
    "QuillDownloads002\0"
    "QuillNotifications005\0"
    "QuillPresence003\0"
    "QuillLibrary011\0"
    "QuillMediaCapture002\0"
    "QuillVoice001\0"
    "QuillInputDevices003\0"
    "QuillStore008\0"
    "QuillBroadcast002\0"
    "QuillParental001\0"
    "QuillHttpClient004\0"
    "QuillPackages002\0"
    "QuillAwards006\0"
    "QuillWorkspace003\0"
    "QuillSessions009\0"
    "QuillClips001\0"
    "QuillLinks002\0"
    "QuillRemotePlay003\0"
    "QuillTimeline001\0"
    "QuillDeviceAuth002\0"
    "QuillOverlayHints004\0";

// --- CQuillWorker -----------------------------------------------------------------------

class CQuillWorker::CState {
public:
    CState();
    CState(const CState&) = delete;
    CState& operator=(const CState&) = delete;

    void RunFrame();
    void Shutdown();
    void OnQuillShutdown(QuillShutdown_t* pNotice);
    void ReleaseCurrentThreadMemory();
    bool IsInitialized() const { return m_bInitialized.load(); }

    void SetListener(IQuillWorkerThreadCallback* pListener);
    // Calls the listener's frame notification, if a listener is set.
    void NotifyFrame();

private:
    void TryInit();
    void NotifyShutdown();

    // Held across every listener call: once SetListener(nullptr) returns, no
    // call is in progress and none starts. Recursive, because a listener may
    // drive the worker from inside its notification.
    std::recursive_mutex m_listenerMutex;
    IQuillWorkerThreadCallback* m_pListener = nullptr;
    CCallback<CState, QuillShutdown_t, false> m_ShutdownCallback;
    std::atomic<bool> m_bInitialized{false};
    bool m_bShutdownRequested = false;
    bool m_bQuillRunning = false;
    double m_flNextInitTime = 0.0;
    uint32_t m_unExpectedAppId = 0;
};

CQuillWorker::CState::CState() : m_ShutdownCallback(this, &CState::OnQuillShutdown) {
    QuillAPI_RegisterCallback(&m_ShutdownCallback, QuillShutdown_t::k_iCallback);
    m_bQuillRunning = QuillAPI_IsQuillRunning();
    m_flNextInitTime = GetSystemTime();
    // Published here, on the owner's thread: the environment must not change
    // under threads that read it while a worker thread makes its attempts.
    m_unExpectedAppId = CVRPathRegistry_Public::InitQuillAppId();
}

void CQuillWorker::CState::TryInit() {
    CWatchdogDetailScope detail("QuillAPI_Init");
    m_bInitialized.store(QuillInternal_QuillAPI_Init(k_rgchQuillInterfaceVersions, nullptr) == 0);
    if (!m_bInitialized.load()) {
        m_flNextInitTime = GetSystemTime() + k_flInitRetrySeconds;
        return;
    }
    Log(LogLevel_Info, "[Quill] Quill INIT.\n");
    IQuillUtils* pUtils = QuillUtils();
    if (pUtils && pUtils->GetAppId() != m_unExpectedAppId) {
        Log(LogLevel_Info, "[Quill] QuillAppID mismatch: got %d, expected %d\n",
            static_cast<int>(pUtils->GetAppId()), static_cast<int>(m_unExpectedAppId));
    }
    InitQuillOrreryPrivate();
}

void CQuillWorker::CState::RunFrame() {
    CScopedEventDuration traceEvent("CQuillWorker", k_pchTraceRunFrame, "RunFrame");
    bool bRunning = QuillAPI_IsQuillRunning();
    if (bRunning != m_bQuillRunning) {
        m_bQuillRunning = bRunning;
        if (bRunning) {
            // Give a host client that has just started time to come up.
            m_flNextInitTime = GetSystemTime() + k_flInitRetrySeconds;
        }
    }
    if (!bRunning || m_bShutdownRequested) {
        // Gone, or announced that it goes: let go of the library.
        m_bShutdownRequested = false;
        Shutdown();
    } else if (!m_bInitialized.load() && GetSystemTime() >= m_flNextInitTime) {
        TryInit();
    }
    if (m_bInitialized.load()) {
        CWatchdogDetailScope detail("QuillAPI_RunCallbacks");
        QuillAPI_RunCallbacks();
    }
}

void CQuillWorker::CState::Shutdown() {
    if (!m_bInitialized.load()) {
        return;
    }
    CWatchdogDetailScope detail("QuillAPI_Shutdown");
    Log(LogLevel_Info, "[Quill] Quill SHUTDOWN.\n");
    m_bInitialized.store(false);
    QuillAPI_Shutdown();
    CleanupQuillOrreryPrivate();
    NotifyShutdown();
}

void CQuillWorker::CState::OnQuillShutdown(QuillShutdown_t* /*pNotice*/) {
    // A notice for a library that is not initialised has nothing to end.
    if (m_bInitialized.load() && !m_bShutdownRequested) {
        m_bShutdownRequested = true;
    }
}

void CQuillWorker::CState::ReleaseCurrentThreadMemory() {
    CWatchdogDetailScope detail("ReleaseCurrentThreadMemory");
    if (m_bInitialized.load()) {
        QuillAPI_ReleaseCurrentThreadMemory();
    }
}

void CQuillWorker::CState::SetListener(IQuillWorkerThreadCallback* pListener) {
    std::lock_guard<std::recursive_mutex> lock(m_listenerMutex);
    m_pListener = pListener;
}

void CQuillWorker::CState::NotifyFrame() {
    std::lock_guard<std::recursive_mutex> lock(m_listenerMutex);
    if (m_pListener) {
        m_pListener->OnQuillWorkerFrame();
    }
}

void CQuillWorker::CState::NotifyShutdown() {
    std::lock_guard<std::recursive_mutex> lock(m_listenerMutex);
    if (m_pListener) {
        m_pListener->OnQuillShutdown();
    }
}

CQuillWorker::CQuillWorker() : m_pState(std::make_shared<CState>()) {}

CQuillWorker::~CQuillWorker() {
    // No state left: an abandoned worker thread took it over and shuts the
    // library down itself.
    if (m_pState) {
        m_pState->Shutdown();
    }
}

void CQuillWorker::RunFrame() {
    m_pState->RunFrame();
}

void CQuillWorker::Shutdown() {
    m_pState->Shutdown();
}

void CQuillWorker::OnQuillShutdown(QuillShutdown_t* pNotice) {
    m_pState->OnQuillShutdown(pNotice);
}

bool CQuillWorker::IsQuillAPIAvailable() const {
    return m_pState->IsInitialized();
}

void CQuillWorker::ReleaseCurrentThreadMemory() {
    m_pState->ReleaseCurrentThreadMemory();
}

void CQuillWorker::SetListener(IQuillWorkerThreadCallback* pListener) {
    m_pState->SetListener(pListener);
}

// --- CQuillWorkerThread -----------------------------------------------------------------

struct CQuillWorkerThread::CControl {
    std::mutex mutex;
    bool bStopRequested = false;
    bool bStopped = false;
    std::condition_variable wakeCondition;
    std::condition_variable doneCondition;
};

CQuillWorkerThread::CQuillWorkerThread(IQuillWorkerThreadCallback* pListener)
    : m_pControl(std::make_shared<CControl>()) {
    SetListener(pListener);
}

CQuillWorkerThread::~CQuillWorkerThread() {
    ShutdownService();
    std::unique_lock<std::mutex> lock(m_pControl->mutex);
    if (!BReapAbandonedLocked()) {
        // Still stuck: it keeps the state it shares with this object and
        // finishes on its own.
        m_pAbandonedThread->detach();
        delete m_pAbandonedThread;
        m_pAbandonedThread = nullptr;
        lock.unlock();
        m_pState->SetListener(nullptr);
        m_pState.reset();
    }
}

bool CQuillWorkerThread::BReapAbandonedLocked() {
    if (!m_pAbandonedThread) {
        return true;
    }
    if (!m_pControl->bStopped) {
        return false;
    }
    m_pAbandonedThread->join();
    delete m_pAbandonedThread;
    m_pAbandonedThread = nullptr;
    return true;
}

bool CQuillWorkerThread::StartupService() {
    std::lock_guard<std::mutex> lock(m_pControl->mutex);
    if (m_pThread) {
        return true;
    }
    if (!BReapAbandonedLocked()) {
        return false;
    }
    m_pControl->bStopRequested = false;
    m_pControl->bStopped = false;
    m_pThread = new std::thread(&CQuillWorkerThread::RunThread, m_pState, m_pControl);
    return true;
}

void CQuillWorkerThread::ShutdownService() {
    // A steady clock: a wall-clock step must not stretch or cut the wait.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(k_flStopTimeoutSeconds));
    std::unique_lock<std::mutex> lock(m_pControl->mutex);
    if (!m_pThread) {
        BReapAbandonedLocked();
        return;
    }
    uint64_t ulThread = m_ulThreadsEnded;
    m_pControl->bStopRequested = true;
    m_pControl->wakeCondition.notify_all();
    m_pControl->doneCondition.wait_until(
        lock, deadline, [&] { return m_pControl->bStopped || m_ulThreadsEnded != ulThread; });
    if (m_ulThreadsEnded != ulThread) {
        return;  // another caller joined or abandoned this thread meanwhile
    }
    if (m_pControl->bStopped) {
        m_pThread->join();
        delete m_pThread;
    } else {
        m_pAbandonedThread = m_pThread;
    }
    m_pThread = nullptr;
    ++m_ulThreadsEnded;
    m_pControl->doneCondition.notify_all();
}

void CQuillWorkerThread::Run() {
    RunThread(m_pState, m_pControl);
}

void CQuillWorkerThread::RunThread(const std::shared_ptr<CState>& pState,
                                   const std::shared_ptr<CControl>& pControl) {
    ThreadSetDebugName("QuillWorkerThread");
    std::unique_lock<std::mutex> lock(pControl->mutex, std::defer_lock);
    for (;;) {
        pState->RunFrame();
        lock.lock();
        bool bStopRequested = pControl->bStopRequested;
        lock.unlock();
        if (!bStopRequested) {
            pState->NotifyFrame();
        }
        lock.lock();
        if (pControl->bStopRequested) {
            break;
        }
        pControl->wakeCondition.wait_for(lock, std::chrono::milliseconds(100));
        lock.unlock();
    }
    lock.unlock();
    pState->Shutdown();
    lock.lock();
    pControl->bStopped = true;
    pControl->doneCondition.notify_all();
}

// --- CQuillInfo ----------------------------------------------------------------------------

bool BIsValidQuillUserId(uint64_t ulId) {
    uint32_t unAccountId = static_cast<uint32_t>(ulId);
    uint32_t unInstance = static_cast<uint32_t>((ulId >> 32) & 0xFFFFF);
    uint32_t unKind = static_cast<uint32_t>((ulId >> 52) & 0xF);
    uint32_t unRealm = static_cast<uint32_t>(ulId >> 56);
    if (unKind < 1 || unKind > 10 || unRealm < 1 || unRealm > 4) {
        return false;
    }
    switch (unKind) {
        case 1:
            return unAccountId != 0 && unInstance == 1;
        case 3:
            return unAccountId != 0;
        case 7:
            return unAccountId != 0 && unInstance == 0;
        default:
            return true;
    }
}

CQuillInfo::CQuillInfo(CQuillWorkerThread* pWorkerThread)
    : m_PersonaStateChange(this), m_pWorkerThread(pWorkerThread), m_ulQuillId(0) {
    QuillAPI_RegisterCallback(&m_PersonaStateChange, PersonaStateChange_t::k_iCallback);
}

CQuillInfo::~CQuillInfo() {
    // The library must not call a record that is gone.
    if (m_PersonaStateChange.IsRegistered()) {
        QuillAPI_UnregisterCallback(&m_PersonaStateChange);
    }
}

std::string CQuillInfo::FetchPersonaName(IQuillFriends* pFriends) {
    char rchName[k_cchPersonaName];
    strcpy_safe(rchName, pFriends->GetDisplayName());
    return rchName;
}

void CQuillInfo::RunQuillFrame() {
    if (!m_pWorkerThread || !m_pWorkerThread->IsQuillAPIAvailable()) {
        return;
    }
    IQuillUser* pUser = QuillUser();
    IQuillFriends* pFriends = QuillFriends();
    if (!pUser || !pFriends) {
        return;
    }
    CScopedEventDuration traceEvent("CQuillInfo", k_pchTraceRunQuillFrame, "RunQuillFrame");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (BIsValidQuillUserId(m_ulQuillId)) {
            return;
        }
    }
    // No lock across host client calls.
    uint64_t ulId = pUser->GetUserId();
    std::string sName = FetchPersonaName(pFriends);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ulQuillId = ulId;
    m_sPersonaName = sName;
}

uint64_t CQuillInfo::GetCurrentUserQuillId() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ulQuillId;
}

std::string CQuillInfo::GetCurrentUserPersonaName() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sPersonaName;
}

void CQuillInfo::OnPersonaStateChange(PersonaStateChange_t* pChange) {
    if (!pChange || !m_pWorkerThread || !m_pWorkerThread->IsQuillAPIAvailable()) {
        return;
    }
    IQuillFriends* pFriends = QuillFriends();
    if (!pFriends) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (pChange->m_ulUserId != m_ulQuillId) {
            return;
        }
    }
    std::string sName = FetchPersonaName(pFriends);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sPersonaName = sName;
}
