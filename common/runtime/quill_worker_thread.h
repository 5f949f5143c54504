// quill_worker_thread: keeps a process connected to the desktop host client
// ("Quill") through libquill_api.so.
//
// CQuillWorker is a per-frame state machine driven by one owner thread:
//   Absent     host client not running          -> Waiting when it appears,
//                                                  first attempt 0.5 s later
//   Waiting    running, library not initialised -> one attempt per RunFrame once
//                                                  the retry time has come; a
//                                                  failure waits another 0.5 s
//   Connected  initialised, callbacks every frame
//   Closing    the shutdown notice (704) arrived; the next RunFrame shuts down
// A host client that disappears while connected is shut down at once. Every
// successful initialisation logs "[Quill] Quill INIT.", checks the app id the
// host client reports (a mismatch is logged, nothing else) and creates the
// private host interface (quill_private.h); every shutdown logs
// "[Quill] Quill SHUTDOWN." and releases it. The calling thread's watchdog
// detail string names each library call while it runs.
//
// CQuillWorkerThread runs the worker on a thread of its own (about ten frames
// a second) and notifies an IQuillWorkerThreadCallback. CQuillInfo, fed from
// that thread, keeps the current user's id and display name for any thread.
//
// Thread safety: CQuillWorker's operations run on its owner's thread, and the
// library delivers callbacks on that thread inside RunFrame; only
// IsQuillAPIAvailable may be called from other threads. CQuillWorkerThread's
// StartupService/ShutdownService and CQuillInfo's getters may be called from
// any thread; CQuillInfo::RunQuillFrame only from the worker thread.
// Ownership: the worker's listener is not owned. A worker thread co-owns the
// worker's state, so that one abandoned inside a stuck call never touches
// freed memory. CQuillInfo does not own its worker thread, which must outlive
// it.
// Failure: nothing is reported to callers and nothing is fatal: failed
// initialisations are retried, the rest is logged.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "quill_api.h"

// The versions the library is asked to offer at initialisation:
// NUL-separated, ended by an empty entry (27 entries).
extern const char k_rgchQuillInterfaceVersions[];
inline constexpr int k_nQuillInterfaceVersions = 27;

class IQuillWorkerThreadCallback {
public:
    // On the worker thread after every frame, unless a stop was requested.
    virtual void OnQuillWorkerFrame() = 0;
    // After every completed library shutdown, on the thread that shut down.
    virtual void OnQuillShutdown() = 0;

protected:
    ~IQuillWorkerThreadCallback() = default;
};

class CQuillWorker {
public:
    // Seconds between initialisation attempts, and between the host client
    // appearing and the first attempt.
    static constexpr double k_flInitRetrySeconds = 0.5;

    // Publishes the expected app id in the environment (QuillAppId,
    // QuillGameId) on the constructing thread; attempts never write it.
    CQuillWorker();
    ~CQuillWorker();
    CQuillWorker(const CQuillWorker&) = delete;
    CQuillWorker& operator=(const CQuillWorker&) = delete;

    void RunFrame();
    void Shutdown();
    void OnQuillShutdown(QuillShutdown_t* pNotice);
    bool IsQuillAPIAvailable() const;
    void ReleaseCurrentThreadMemory();

protected:
    // The state machine and everything a frame touches. It lives apart from
    // the worker object so that a thread driving it can co-own it: a thread
    // abandoned inside a host client call outlives the object it was
    // started from (CQuillWorkerThread).
    class CState;

    void SetListener(IQuillWorkerThreadCallback* pListener);

    std::shared_ptr<CState> m_pState;
};

class CQuillWorkerThread : public CQuillWorker {
public:
    static constexpr double k_flStopTimeoutSeconds = 3.0;

    explicit CQuillWorkerThread(IQuillWorkerThreadCallback* pListener);
    // ShutdownService, then lets go of a thread that did not stop: such a
    // thread keeps the worker state alive, shuts the library down itself
    // once its stuck call returns, and calls the listener no more. Returns
    // about 3 s after a stuck host client call; a listener call in progress
    // is waited for, since the listener may be freed once this returns.
    ~CQuillWorkerThread();

    // Starts the thread unless one runs; true once a thread runs. false only
    // while a thread abandoned by an earlier ShutdownService is still stuck
    // (a second thread must not drive the same worker).
    bool StartupService();
    // Asks the thread to stop and joins it; gives up waiting after 3 s, and
    // then forgets the thread (it ends on its own once it gets to the stop).
    // Safe from several threads at once: one of them joins.
    void ShutdownService();
    // The thread body: frames until a stop is requested, then the final
    // library shutdown.
    void Run();

private:
    // What the thread and its owner share besides the worker state.
    struct CControl;

    static void RunThread(const std::shared_ptr<CState>& pState,
                          const std::shared_ptr<CControl>& pControl);
    // Joins an abandoned thread that has stopped since; true when none is left.
    bool BReapAbandonedLocked();

    std::shared_ptr<CControl> m_pControl;
    // Guarded by the control block's mutex; only the owner's side uses them.
    std::thread* m_pThread = nullptr;
    // The thread ShutdownService gave up on, joined once it has stopped.
    std::thread* m_pAbandonedThread = nullptr;
    // Counts the threads ShutdownService has finished with, so that
    // concurrent callers act once per thread.
    uint64_t m_ulThreadsEnded = 0;
};

// A host client user id (64 bits): bits 52-55 a kind code 1..10, bits 56-63 a
// realm 1..4; kind 1 also needs a non-zero low word and bits 32-51 == 1,
// kind 3 a non-zero low word, kind 7 a non-zero low word and bits 32-51 == 0.
//   0x0110000100003039 => true     (kind 1, instance 1)
//   0x0110000000003039 => false    (kind 1, instance 0)
//   0x0170000000000005 => true     (kind 7)
//   0                  => false
bool BIsValidQuillUserId(uint64_t ulId);

class CQuillInfo {
public:
    explicit CQuillInfo(CQuillWorkerThread* pWorkerThread);
    // Unregisters the persona callback. Destroy it only while the worker
    // thread is stopped: callbacks run on that thread.
    ~CQuillInfo();
    CQuillInfo(const CQuillInfo&) = delete;
    CQuillInfo& operator=(const CQuillInfo&) = delete;

    // On the worker thread: fetches id and name until the id is valid.
    void RunQuillFrame();
    uint64_t GetCurrentUserQuillId();
    std::string GetCurrentUserPersonaName();
    void OnPersonaStateChange(PersonaStateChange_t* pChange);

    static constexpr size_t k_cchPersonaName = 128;

private:
    class CCallbackInternal_OnPersonaStateChange
        : public CCallbackImpl<sizeof(PersonaStateChange_t)> {
    public:
        explicit CCallbackInternal_OnPersonaStateChange(CQuillInfo* pOuter) : m_pOuter(pOuter) {}
        void Run(void* pvParam) override {
            m_pOuter->OnPersonaStateChange(static_cast<PersonaStateChange_t*>(pvParam));
        }
        using CCallbackImpl<sizeof(PersonaStateChange_t)>::Run;

    private:
        CQuillInfo* m_pOuter;
    };

    static std::string FetchPersonaName(IQuillFriends* pFriends);

    CCallbackInternal_OnPersonaStateChange m_PersonaStateChange;
    CQuillWorkerThread* m_pWorkerThread;
    std::mutex m_mutex;
    uint64_t m_ulQuillId;
    std::string m_sPersonaName;
};
