#include "quill_private.h"

#include <string>

#include "processtools.h"

CQuillOrreryPrivate002* g_pQuillOrreryPrivate = nullptr;

void CQuillOrreryPrivate001::StartHalyard() {
    if (m_pHost) {
        m_pHost->StartHalyard();
        return;
    }
    // Older host clients only know the public request.
    if (IQuillUtils* pUtils = QuillUtils()) {
        pUtils->RequestDashboardStart();
    }
}

void CQuillOrreryPrivate001::SetVRConnectionParams(const char* pchParams) {
    if (m_pHost) {
        m_pHost->SetVRConnectionParams(pchParams);
        return;
    }
    // The host client's URL handler takes the parameters when its private
    // interface is missing (or the host client is not even initialised).
    OpenURL(std::string("quill://vr_connection_ready/") + (pchParams ? pchParams : ""));
}

void CQuillOrreryPrivate002::StartHalyard() {
    if (m_pPrivate001) {
        m_pPrivate001->StartHalyard();
    }
}

void CQuillOrreryPrivate002::SetVRConnectionParams(const char* pchParams) {
    if (m_pPrivate001) {
        m_pPrivate001->SetVRConnectionParams(pchParams);
    }
}

bool CQuillOrreryPrivate002::InviteWirelessHeadsetToConnect(uint64_t ulHeadsetId) {
    if (!m_pHost) {
        return false;
    }
    return m_pHost->InviteWirelessHeadsetToConnect(ulHeadsetId);
}

void InitQuillOrreryPrivate() {
    // Only one wrapper exists at a time; a second initialisation without a
    // shutdown in between must not leak the first.
    CleanupQuillOrreryPrivate();
    auto pPrivate002 = std::make_unique<CQuillOrreryPrivate002>(QuillOrreryPrivate002());
    auto pPrivate001 = std::make_unique<CQuillOrreryPrivate001>(QuillOrreryPrivate001());
    pPrivate002->SetPrivate001(std::move(pPrivate001));
    g_pQuillOrreryPrivate = pPrivate002.release();
}

void CleanupQuillOrreryPrivate() {
    delete g_pQuillOrreryPrivate;
    g_pQuillOrreryPrivate = nullptr;
}
