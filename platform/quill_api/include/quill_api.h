// quill_api: the desktop host client library (libquill_api.so).
//
// What a program of the runtime needs from the host client: whether it runs,
// initialisation and shutdown, per-frame callbacks delivered on the caller's
// thread, interfaces by version string (reached through context records that
// are refilled after every new initialisation), and crash handling with
// minidumps written by the library.
//
// Callback records: a program derives from CCallbackBase (normally through
// CCallback), registers the record for a callback id, and the library sets the
// registered bit, calls the one-argument Run from inside QuillAPI_RunCallbacks
// on the calling thread, and forgets the record when it is unregistered.
//
// Thread safety: every exported function may be called from any thread.
// Interface methods may be called from any thread; strings they return stay
// valid on the calling thread until that thread calls the same method again
// or QuillAPI_ReleaseCurrentThreadMemory.
// Failure: init answers a non-zero EQuillInitResult; interface methods answer
// neutral values (0, false, "") when the library is not initialised or the
// host client went away. Nothing blocks when no host client is reachable.
// Minidumps are text files in $QUILL_DUMP_DIR (default /tmp/quill-dumps-<uid>,
// created 0700). The directory must be the user's own: not a link, owned by
// the user, no access for group or others. An unsafe $QUILL_DUMP_DIR gets no
// dump; an unsafe default directory is replaced by a new private
// /tmp/quill-dumps-<uid>-<random>. Either way a line on stderr says why.
#pragma once

#include <cstddef>
#include <cstdint>

#define QUILL_API extern "C" __attribute__((visibility("default")))
#define QUILL_CLASS __attribute__((visibility("default")))

typedef int32_t HQuillUser;
typedef char QuillErrMsg[1024];

enum EQuillInitResult : int {
    QuillInit_Ok = 0,
    QuillInit_Failed = 1,        // refused by the host client
    QuillInit_NoHostClient = 2,  // the host client is not running or not reachable
    QuillInit_ProtocolMismatch = 3,
};

class CCallbackBase;

// Called by the crash handler on the crashing thread, before the dump is written.
typedef void (*PFNPreMinidumpCallback)(void* pvContext);

// False as well for a host client that runs as another user (not root),
// hands over an unsealed shared page or does not answer in time (the reason
// goes to stderr once).
QUILL_API bool QuillAPI_IsQuillRunning();
// pszInterfaceVersions: NUL-separated version strings ended by an empty one.
// 0 on success; on failure pOutErrMsg (when given) receives a reason.
QUILL_API int QuillInternal_QuillAPI_Init(const char* pszInterfaceVersions,
                                          QuillErrMsg* pOutErrMsg);
QUILL_API void QuillAPI_RunCallbacks();
QUILL_API void QuillAPI_Shutdown();
QUILL_API void QuillAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback);
QUILL_API void QuillAPI_UnregisterCallback(CCallbackBase* pCallback);
QUILL_API void QuillAPI_ReleaseCurrentThreadMemory();
// pContextInitData: a QuillContextRecord_t. Answers the address of its
// interface slot, (re)filled through its init function after each new
// initialisation (null when the host client lacks the interface).
QUILL_API void* QuillInternal_ContextInit(void* pContextInitData);
QUILL_API void* QuillInternal_FindOrCreateUserInterface(HQuillUser hUser, const char* pszVersion);
// The current user's handle; 0 when not initialised.
QUILL_API HQuillUser QuillAPI_GetHQuillUser();

// Crash handling. The handler covers SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT: it calls the pre-minidump callback, writes a dump and lets the
// signal end the process as it would have.
QUILL_API void QuillAPI_UseBreakpadCrashHandler(const char* pchVersion, const char* pchDate,
                                                const char* pchTime, bool bFullMemoryDumps,
                                                void* pvContext,
                                                PFNPreMinidumpCallback pfnPreMinidump);
QUILL_API void QuillAPI_SetBreakpadAppID(uint32_t unAppId);
// Copies the text (null clears it); attached to every following dump.
QUILL_API void QuillAPI_SetMiniDumpComment(const char* pchComment);
// Writes a dump of the calling thread now and returns.
QUILL_API void QuillAPI_WriteMiniDump(uint32_t uStructuredExceptionCode, void* pvExceptionInfo,
                                      uint32_t uBuildId);

// --- callback records -------------------------------------------------------

class CCallbackBase {
public:
    CCallbackBase() : m_nCallbackFlags(0), m_iCallback(0) {}
    virtual void Run(void* pvParam) = 0;
    virtual void Run(void* pvParam, bool bIOFailure, uint64_t hCall) = 0;
    virtual int GetCallbackSizeBytes() = 0;

    int GetICallback() const { return m_iCallback; }
    bool IsRegistered() const { return (m_nCallbackFlags & k_ECallbackFlagsRegistered) != 0; }

    enum { k_ECallbackFlagsRegistered = 0x01 };
    // Written by the library only (the registered bit and the id).
    uint8_t m_nCallbackFlags;
    int m_iCallback;

protected:
    ~CCallbackBase() = default;
};

template <int sizeof_P>
class CCallbackImpl : public CCallbackBase {
public:
    int GetCallbackSizeBytes() override { return sizeof_P; }
    void Run(void* pvParam, bool, uint64_t) override { Run(pvParam); }
    using CCallbackBase::Run;

protected:
    ~CCallbackImpl() = default;
};

// Binds a record type P (with its k_iCallback) to a member function of T.
// Registration is explicit (Register); the destructor unregisters if and only
// if the library marked the record registered.
template <class T, class P, bool bGameServer = false>
class CCallback : public CCallbackImpl<sizeof(P)> {
public:
    typedef void (T::*func_t)(P*);

    CCallback() : m_pObj(nullptr), m_Func(nullptr) {}
    CCallback(T* pObj, func_t func) : m_pObj(pObj), m_Func(func) {}
    virtual ~CCallback() {
        if (this->m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsRegistered) {
            QuillAPI_UnregisterCallback(this);
        }
    }

    void Register(T* pObj, func_t func) {
        m_pObj = pObj;
        m_Func = func;
        QuillAPI_RegisterCallback(this, P::k_iCallback);
    }
    void Unregister() {
        if (this->m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsRegistered) {
            QuillAPI_UnregisterCallback(this);
        }
    }

    void Run(void* pvParam) override {
        if (m_pObj && m_Func) {
            (m_pObj->*m_Func)(static_cast<P*>(pvParam));
        }
    }
    using CCallbackImpl<sizeof(P)>::Run;

protected:
    T* m_pObj;
    func_t m_Func;
};

// --- callback payloads ------------------------------------------------------

#pragma pack(push, 4)
// The host client is about to shut down.
struct QuillShutdown_t {
    enum { k_iCallback = 704 };
};
// A user's persona (display name, state) changed.
struct PersonaStateChange_t {
    enum { k_iCallback = 304 };
    uint64_t m_ulUserId;
    int32_t m_nChangeFlags;
};
#pragma pack(pop)
static_assert(sizeof(QuillShutdown_t) == 1, "shutdown notice is 1 byte");
static_assert(sizeof(PersonaStateChange_t) == 12, "persona change record is 12 bytes");

// --- interfaces -------------------------------------------------------------

// Placeholder positions: QUILL_UNUSED_SLOTS_a_b declares positions a to b.
#define QUILL_UNUSED_SLOT(n) virtual uint64_t Unused##n() = 0;
// clang-format off
#define QUILL_UNUSED_SLOTS_0_1 QUILL_UNUSED_SLOT(0) QUILL_UNUSED_SLOT(1)
#define QUILL_UNUSED_SLOTS_0_7 \
    QUILL_UNUSED_SLOTS_0_1 QUILL_UNUSED_SLOT(2) QUILL_UNUSED_SLOT(3) QUILL_UNUSED_SLOT(4) \
    QUILL_UNUSED_SLOT(5) QUILL_UNUSED_SLOT(6) QUILL_UNUSED_SLOT(7)
#define QUILL_UNUSED_SLOTS_0_8 QUILL_UNUSED_SLOTS_0_7 QUILL_UNUSED_SLOT(8)
#define QUILL_UNUSED_SLOTS_10_15 \
    QUILL_UNUSED_SLOT(10) QUILL_UNUSED_SLOT(11) QUILL_UNUSED_SLOT(12) QUILL_UNUSED_SLOT(13) \
    QUILL_UNUSED_SLOT(14) QUILL_UNUSED_SLOT(15)
#define QUILL_UNUSED_SLOTS_10_22 \
    QUILL_UNUSED_SLOTS_10_15 QUILL_UNUSED_SLOT(16) QUILL_UNUSED_SLOT(17) QUILL_UNUSED_SLOT(18) \
    QUILL_UNUSED_SLOT(19) QUILL_UNUSED_SLOT(20) QUILL_UNUSED_SLOT(21) QUILL_UNUSED_SLOT(22)
#define QUILL_UNUSED_SLOTS_24_26 QUILL_UNUSED_SLOT(24) QUILL_UNUSED_SLOT(25) QUILL_UNUSED_SLOT(26)
// clang-format on

inline constexpr const char* QUILLUTILS_INTERFACE_VERSION = "QuillUtils010";
inline constexpr const char* QUILLUSER_INTERFACE_VERSION = "QuillUser023";
inline constexpr const char* QUILLFRIENDS_INTERFACE_VERSION = "QuillFriends017";
inline constexpr const char* QUILLSCREENSHOTS_INTERFACE_VERSION =
    "QUILLSCREENSHOTS_INTERFACE_VERSION003";
inline constexpr const char* QUILLORRERYPRIVATE001_INTERFACE_VERSION = "QuillOrreryPrivate001";
inline constexpr const char* QUILLORRERYPRIVATE002_INTERFACE_VERSION = "QuillOrreryPrivate002";

// "QuillUtils010"
class QUILL_CLASS IQuillUtils {
public:
    QUILL_UNUSED_SLOTS_0_8
    // 9: the app id the host client associates with this process.
    virtual uint32_t GetAppId() = 0;
    QUILL_UNUSED_SLOTS_10_22
    // 23: the language of the host client's user interface, e.g. "english".
    virtual const char* GetUiLanguage() = 0;
    QUILL_UNUSED_SLOTS_24_26
    // 27: asks the host client to start the VR dashboard.
    virtual void RequestDashboardStart() = 0;

protected:
    ~IQuillUtils() = default;
};

// "QuillUser023"
class QUILL_CLASS IQuillUser {
public:
    QUILL_UNUSED_SLOTS_0_1
    // 2: the current user's 64-bit id.
    virtual uint64_t GetUserId() = 0;

protected:
    ~IQuillUser() = default;
};

// "QuillFriends017"
class QUILL_CLASS IQuillFriends {
public:
    // 0: the current user's display name.
    virtual const char* GetDisplayName() = 0;

protected:
    ~IQuillFriends() = default;
};

// "QUILLSCREENSHOTS_INTERFACE_VERSION003"
class QUILL_CLASS IQuillScreenshots {
public:
    QUILL_UNUSED_SLOTS_0_7
    // 8: copies a screenshot file pair into the user's screenshot library;
    // answers the library's handle for it, 0 when the files could not be added.
    virtual uint32_t AddScreenshotPair(int32_t nType, const char* pchFirstFile,
                                       const char* pchSecondFile) = 0;

protected:
    ~IQuillScreenshots() = default;
};

// "QuillOrreryPrivate001": the host client's private interface for the runtime.
class QUILL_CLASS IQuillOrreryPrivate001 {
public:
    virtual void StartHalyard() = 0;
    virtual void SetVRConnectionParams(const char* pchParams) = 0;

protected:
    ~IQuillOrreryPrivate001() = default;
};

// "QuillOrreryPrivate002"
class QUILL_CLASS IQuillOrreryPrivate002 {
public:
    virtual void StartHalyard() = 0;
    virtual void SetVRConnectionParams(const char* pchParams) = 0;
    virtual bool InviteWirelessHeadsetToConnect(uint64_t ulHeadsetId) = 0;

protected:
    ~IQuillOrreryPrivate002() = default;
};

// --- context records and accessors -------------------------------------------

// Three pointer-sized slots: the init function, the initialisation it was last
// filled for (0 = never), and the interface pointer.
typedef void (*PFNQuillContextInit)(void* ppInterface);
struct QuillContextRecord_t {
    PFNQuillContextInit pfnInit;
    uintptr_t unFilledFor;
    void* pInterface;
};
static_assert(sizeof(QuillContextRecord_t) == 3 * sizeof(void*), "three pointer-sized slots");

inline void QuillInternal_Init_QuillUtils(IQuillUtils** ppOut) {
    *ppOut = static_cast<IQuillUtils*>(
        QuillInternal_FindOrCreateUserInterface(0, QUILLUTILS_INTERFACE_VERSION));
}
inline void QuillInternal_Init_QuillUser(IQuillUser** ppOut) {
    *ppOut = static_cast<IQuillUser*>(QuillInternal_FindOrCreateUserInterface(
        QuillAPI_GetHQuillUser(), QUILLUSER_INTERFACE_VERSION));
}
inline void QuillInternal_Init_QuillFriends(IQuillFriends** ppOut) {
    *ppOut = static_cast<IQuillFriends*>(QuillInternal_FindOrCreateUserInterface(
        QuillAPI_GetHQuillUser(), QUILLFRIENDS_INTERFACE_VERSION));
}
inline void QuillInternal_Init_QuillScreenshots(IQuillScreenshots** ppOut) {
    *ppOut = static_cast<IQuillScreenshots*>(QuillInternal_FindOrCreateUserInterface(
        QuillAPI_GetHQuillUser(), QUILLSCREENSHOTS_INTERFACE_VERSION));
}

#define QUILL_DEFINE_CONTEXT_ACCESSOR(TInterface, Accessor, InitFunction)      \
    inline TInterface* Accessor() {                                            \
        static QuillContextRecord_t s_CallbackCounterAndContext = {            \
            reinterpret_cast<PFNQuillContextInit>(&InitFunction), 0, nullptr}; \
        return *static_cast<TInterface**>(                                     \
            QuillInternal_ContextInit(&s_CallbackCounterAndContext));          \
    }

QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillUtils, QuillUtils, QuillInternal_Init_QuillUtils)
QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillUser, QuillUser, QuillInternal_Init_QuillUser)
QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillFriends, QuillFriends, QuillInternal_Init_QuillFriends)
QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillScreenshots, QuillScreenshots,
                              QuillInternal_Init_QuillScreenshots)
