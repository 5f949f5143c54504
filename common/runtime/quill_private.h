// quill_private: the host client's private interface for the runtime, wrapped
// so that every request has an answer whatever the host client offers.
//
// The host client may serve "QuillOrreryPrivate001" (start the dashboard,
// hand over VR connection parameters), "QuillOrreryPrivate002" (the same plus
// inviting a wireless headset), both or neither. CQuillOrreryPrivate002 wraps
// whichever exist, owns a CQuillOrreryPrivate001, and falls back where the
// private interface is missing:
//   StartHalyard                     v1, else QuillUtils() slot 27, else nothing
//   SetVRConnectionParams("abc")     v1, else OpenURL("quill://vr_connection_ready/abc")
//   InviteWirelessHeadsetToConnect   v2, else false
// The version-2 host interface is only used for the invitation.
//
// Lifecycle: the host client worker calls InitQuillOrreryPrivate after every
// successful library initialisation (the host pointers are captured then) and
// CleanupQuillOrreryPrivate during every shutdown; g_pQuillOrreryPrivate is
// the current wrapper, null while the library is not initialised.
//
// Thread safety: none. Everything here runs on the host client worker's
// thread; g_pQuillOrreryPrivate is not locked.
// Ownership: g_pQuillOrreryPrivate owns its wrapper (freed by cleanup); the
// wrappers never own host interface pointers.
// Failure: none is reported; the fallbacks above answer instead.
#pragma once

#include <cstdint>
#include <memory>

#include "quill_api.h"

// Context records of the two private versions (user handle 0).
inline void QuillInternal_Init_QuillOrreryPrivate002(IQuillOrreryPrivate002** ppOut) {
    *ppOut = static_cast<IQuillOrreryPrivate002*>(
        QuillInternal_FindOrCreateUserInterface(0, QUILLORRERYPRIVATE002_INTERFACE_VERSION));
}
inline void QuillInternal_Init_QuillOrreryPrivate001(IQuillOrreryPrivate001** ppOut) {
    *ppOut = static_cast<IQuillOrreryPrivate001*>(
        QuillInternal_FindOrCreateUserInterface(0, QUILLORRERYPRIVATE001_INTERFACE_VERSION));
}

QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillOrreryPrivate002, QuillOrreryPrivate002,
                              QuillInternal_Init_QuillOrreryPrivate002)
QUILL_DEFINE_CONTEXT_ACCESSOR(IQuillOrreryPrivate001, QuillOrreryPrivate001,
                              QuillInternal_Init_QuillOrreryPrivate001)

class CQuillOrreryPrivate001 : public IQuillOrreryPrivate001 {
public:
    // pHost: the host client's version-1 interface, may be null.
    explicit CQuillOrreryPrivate001(IQuillOrreryPrivate001* pHost) : m_pHost(pHost) {}
    virtual ~CQuillOrreryPrivate001() = default;
    CQuillOrreryPrivate001(const CQuillOrreryPrivate001&) = delete;
    CQuillOrreryPrivate001& operator=(const CQuillOrreryPrivate001&) = delete;

    void StartHalyard() override;
    void SetVRConnectionParams(const char* pchParams) override;

    IQuillOrreryPrivate001* HostInterface() const { return m_pHost; }

private:
    IQuillOrreryPrivate001* m_pHost;
};

class CQuillOrreryPrivate002 : public IQuillOrreryPrivate002 {
public:
    // pHost: the host client's version-2 interface, may be null.
    explicit CQuillOrreryPrivate002(IQuillOrreryPrivate002* pHost) : m_pHost(pHost) {}
    virtual ~CQuillOrreryPrivate002() = default;
    CQuillOrreryPrivate002(const CQuillOrreryPrivate002&) = delete;
    CQuillOrreryPrivate002& operator=(const CQuillOrreryPrivate002&) = delete;

    void StartHalyard() override;
    void SetVRConnectionParams(const char* pchParams) override;
    bool InviteWirelessHeadsetToConnect(uint64_t ulHeadsetId) override;

    // Takes ownership of the version-1 wrapper the requests above delegate to.
    void SetPrivate001(std::unique_ptr<CQuillOrreryPrivate001> pPrivate001) {
        m_pPrivate001 = std::move(pPrivate001);
    }
    CQuillOrreryPrivate001* Private001() const { return m_pPrivate001.get(); }
    IQuillOrreryPrivate002* HostInterface() const { return m_pHost; }

private:
    IQuillOrreryPrivate002* m_pHost;
    std::unique_ptr<CQuillOrreryPrivate001> m_pPrivate001;
};

extern CQuillOrreryPrivate002* g_pQuillOrreryPrivate;

// Builds new wrappers from the host pointers the library holds now and
// publishes them; a wrapper left from an earlier initialisation is freed.
void InitQuillOrreryPrivate();
// Frees the wrappers and clears g_pQuillOrreryPrivate (also when there are none).
void CleanupQuillOrreryPrivate();
