#include "quill_worker_thread.h"

#include <chrono>

#include "quill_private.h"
#include "strtools_public.h"
#include "systemtime.h"
#include "threadtools.h"
#include "threadwatchdog.h"
#include "tracemarkers.h"
#include "vrlog.h"
#include "vrpathregistry.h"

// "quill_worker_thread.cpp:<line>" for trace markers.
#define QUILL_TRACE_STRINGIFY2(x) #x
#define QUILL_TRACE_STRINGIFY(x) QUILL_TRACE_STRINGIFY2(x)
#define QUILL_TRACE_LOCATION "quill_worker_thread.cpp:" QUILL_TRACE_STRINGIFY(__LINE__)

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

CQuillWorker::CQuillWorker()
    : m_pListener(nullptr),
      m_ShutdownCallback(this, &CQuillWorker::OnQuillShutdown),
      m_bInitialized(false),
      m_bShutdownRequested(false),
      m_bQuillRunning(false),
      m_flNextInitTime(0.0) {
    QuillAPI_RegisterCallback(&m_ShutdownCallback, QuillShutdown_t::k_iCallback);
    m_bInitialized.store(false);
    m_bShutdownRequested = false;
    m_bQuillRunning = QuillAPI_IsQuillRunning();
    m_flNextInitTime = GetSystemTime();
}

CQuillWorker::~CQuillWorker() {
    Shutdown();
    // m_ShutdownCallback's destructor unregisters it if the library took it.
}

void CQuillWorker::TryInit() {
    uint32_t unExpectedAppId = CVRPathRegistry_Public::InitQuillAppId();
    const char* pchPrevDetail = CThreadWatchdog::GetDetailString();
    CThreadWatchdog::SetDetailString("QuillAPI_Init");
    m_bInitialized.store(QuillInternal_QuillAPI_Init(k_rgchQuillInterfaceVersions, nullptr) == 0);
    if (m_bInitialized.load()) {
        Log(LogLevel_Info, "[Quill] Quill INIT.\n");
        IQuillUtils* pUtils = QuillUtils();
        if (pUtils && pUtils->GetAppId() != unExpectedAppId) {
            Log(LogLevel_Info, "[Quill] QuillAppID mismatch: got %d, expected %d\n",
                static_cast<int>(pUtils->GetAppId()), static_cast<int>(unExpectedAppId));
        }
        InitQuillOrreryPrivate();
    } else {
        m_flNextInitTime = GetSystemTime() + k_flInitRetrySeconds;
    }
    CThreadWatchdog::SetDetailString(pchPrevDetail);
}

void CQuillWorker::RunFrame() {
    CScopedEventDuration traceEvent("CQuillWorker", QUILL_TRACE_LOCATION, "RunFrame");
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
        const char* pchPrevDetail = CThreadWatchdog::GetDetailString();
        CThreadWatchdog::SetDetailString("QuillAPI_RunCallbacks");
        QuillAPI_RunCallbacks();
        CThreadWatchdog::SetDetailString(pchPrevDetail);
    }
}

void CQuillWorker::Shutdown() {
    if (!m_bInitialized.load()) {
        return;
    }
    const char* pchPrevDetail = CThreadWatchdog::GetDetailString();
    CThreadWatchdog::SetDetailString("QuillAPI_Shutdown");
    Log(LogLevel_Info, "[Quill] Quill SHUTDOWN.\n");
    m_bInitialized.store(false);
    QuillAPI_Shutdown();
    CleanupQuillOrreryPrivate();
    if (m_pListener) {
        m_pListener->OnQuillShutdown();
    }
    CThreadWatchdog::SetDetailString(pchPrevDetail);
}

void CQuillWorker::OnQuillShutdown(QuillShutdown_t* /*pNotice*/) {
    // A notice for a library that is not initialised has nothing to end.
    if (m_bInitialized.load() && !m_bShutdownRequested) {
        m_bShutdownRequested = true;
    }
}

void CQuillWorker::ReleaseCurrentThreadMemory() {
    const char* pchPrevDetail = CThreadWatchdog::GetDetailString();
    CThreadWatchdog::SetDetailString("ReleaseCurrentThreadMemory");
    if (m_bInitialized.load()) {
        QuillAPI_ReleaseCurrentThreadMemory();
    }
    CThreadWatchdog::SetDetailString(pchPrevDetail);
}

// --- CQuillWorkerThread -----------------------------------------------------------------

CQuillWorkerThread::CQuillWorkerThread(IQuillWorkerThreadCallback* pListener)
    : m_pThread(nullptr), m_bStopRequested(false), m_bStopped(false) {
    m_pListener = pListener;
}

CQuillWorkerThread::~CQuillWorkerThread() {
    ShutdownService();
    // The worker must outlive any thread that still runs on it, however long
    // its stuck library call takes.
    std::thread* pAbandoned = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pAbandoned = m_pAbandonedThread;
        m_pAbandonedThread = nullptr;
    }
    if (pAbandoned) {
        pAbandoned->join();
        delete pAbandoned;
    }
}

bool CQuillWorkerThread::BReapAbandonedLocked() {
    if (!m_pAbandonedThread) {
        return true;
    }
    if (!m_bStopped) {
        return false;
    }
    m_pAbandonedThread->join();
    delete m_pAbandonedThread;
    m_pAbandonedThread = nullptr;
    return true;
}

bool CQuillWorkerThread::StartupService() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pThread) {
        return true;
    }
    if (!BReapAbandonedLocked()) {
        return false;
    }
    m_bStopRequested = false;
    m_bStopped = false;
    m_pThread = new std::thread(&CQuillWorkerThread::Run, this);
    return true;
}

void CQuillWorkerThread::ShutdownService() {
    // A steady clock: a wall-clock step must not stretch or cut the wait.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(k_flStopTimeoutSeconds));
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_pThread) {
        BReapAbandonedLocked();
        return;
    }
    m_bStopRequested = true;
    m_WakeCondition.notify_all();
    m_DoneCondition.wait_until(lock, deadline, [this] { return m_bStopped; });
    if (m_bStopped) {
        m_pThread->join();
        delete m_pThread;
    } else {
        m_pAbandonedThread = m_pThread;
    }
    m_pThread = nullptr;
}

void CQuillWorkerThread::Run() {
    ThreadSetDebugName("QuillWorkerThread");
    std::unique_lock<std::mutex> lock(m_mutex, std::defer_lock);
    for (;;) {
        RunFrame();
        lock.lock();
        bool bStopRequested = m_bStopRequested;
        lock.unlock();
        if (m_pListener && !bStopRequested) {
            m_pListener->OnQuillWorkerFrame();
        }
        lock.lock();
        if (m_bStopRequested) {
            break;
        }
        m_WakeCondition.wait_for(lock, std::chrono::milliseconds(100));
        lock.unlock();
    }
    lock.unlock();
    Shutdown();
    lock.lock();
    m_bStopped = true;
    m_DoneCondition.notify_all();
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
    CScopedEventDuration traceEvent("CQuillInfo", QUILL_TRACE_LOCATION, "RunQuillFrame");
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
