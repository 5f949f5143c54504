#include "dashboard.h"

#include <algorithm>
#include <cstdlib>

#include "lattice_api.h"
#include "lattice_internal.h"
#include "quill_api.h"
#include "systemtime.h"
#include "tracemarkers.h"

namespace {

constexpr uint32_t k_unFileNameCapacity = 260;
constexpr int32_t k_nFallbackScreenshotType = 2;

// Trace event locations. They read as "file:line" but are stable identifiers
// that trace tools match on, not the lines the code stands on.
constexpr char k_pchTraceScreenshotTriggered[] = "dashboard.cpp:30";
constexpr char k_pchTraceSubmitScreenShot[] = "dashboard.cpp:89";
constexpr char k_pchTraceScreenshotTaken[] = "dashboard.cpp:131";
constexpr char k_pchTraceScreenshotSubmitted[] = "dashboard.cpp:157";

// Replaces every occurrence, resuming after each insertion so inserted text
// is never searched again.
void myreplace(std::string& sText, const std::string& sFrom, const std::string& sTo) {
    if (sFrom.empty()) {
        return;
    }
    size_t unPos = 0;
    while ((unPos = sText.find(sFrom, unPos)) != std::string::npos) {
        sText.replace(unPos, sFrom.size(), sTo);
        unPos += sTo.size();
    }
}

// One of a screenshot's file names into rchName. The runtime may fill the
// buffer to its end: the name is cut there rather than read past it.
bool BGetScreenshotFileName(vr::IVRScreenshots& screenshots, unsigned int unHandle, int nKind,
                            char (&rchName)[k_unFileNameCapacity]) {
    vr::EScreenshotError eError = vr::EScreenshotError{};
    screenshots.GetScreenshotFileName(unHandle, static_cast<vr::EScreenshotFileKind>(nKind),
                                      rchName, k_unFileNameCapacity, &eError);
    rchName[k_unFileNameCapacity - 1] = '\0';
    return eError == 0;
}

std::string ScreenshotDirectory() {
    if (const char* pchTemp = getenv("TEMP")) {
        return pchTemp;
    }
    if (const char* pchTmp = getenv("TMP")) {
        return pchTmp;
    }
    return "./";
}

}  // namespace

ScreenshotFileNames_t BuildScreenshotFileNames() {
    std::string sTime = GetVRLogTimeString(false);
    myreplace(sTime, " ", "_");
    myreplace(sTime, ":", "-");
    myreplace(sTime, "/", "-");
    ScreenshotFileNames_t names;
    names.sFirst = ScreenshotDirectory() + "/Screenshot_" + sTime;
    names.sSecond = names.sFirst + "_VR";
    return names;
}

void CHalyardScreenshotManager::OnScreenshotTriggered() {
    CScopedEventDuration traceEvent("OnScreenshotTriggered", k_pchTraceScreenshotTriggered, "%s",
                                    "");
    vr::IVRSettings* pSettings = vr::VRSettings();
    if (!pSettings || !pSettings->GetBool("userinterface", "screenshots", nullptr)) {
        return;
    }
    ScreenshotFileNames_t names = BuildScreenshotFileNames();
    int32_t nType = k_nFallbackScreenshotType;
    if (vr::IVRSettings* pTypeSettings = vr::VRSettings()) {
        nType = pTypeSettings->GetInt32("userinterface", "screenshotType", nullptr);
    }
    vr::IVRScreenshots* pScreenshots = vr::VRScreenshots();
    if (!pScreenshots) {
        return;
    }
    pScreenshots->RequestScreenshotFiles(&m_unPendingHandle,
                                         static_cast<vr::EScreenshotType>(nType),
                                         names.sFirst.c_str(), names.sSecond.c_str());
}

void CHalyardScreenshotManager::OnScreenshotTaken() {
    CScopedEventDuration traceEvent("OnScreenshotTaken", k_pchTraceScreenshotTaken, "%s", "");
    if (m_unPendingHandle == 0) {
        return;
    }
    SubmitScreenShotToQuill(m_unPendingHandle);
    m_unPendingHandle = 0;
}

void CHalyardScreenshotManager::OnScreenshotFailed() {
    m_unPendingHandle = 0;
}

void CHalyardScreenshotManager::OnScreenshotSubmitted(unsigned int unHandle) {
    CScopedEventDuration traceEvent("OnScreenshotSubmitted", k_pchTraceScreenshotSubmitted, "%s",
                                    "");
    SubmitScreenShotToQuill(unHandle);
}

void CHalyardScreenshotManager::SubmitScreenShotToQuill(unsigned int unHandle) {
    CScopedEventDuration traceEvent("SubmitScreenShotToQuill", k_pchTraceSubmitScreenShot, "%s",
                                    "");
    vr::IVRScreenshots* pScreenshots = vr::VRScreenshots();
    if (!pScreenshots) {
        return;
    }
    vr::EScreenshotError eError = vr::EScreenshotError{};
    vr::EScreenshotType eType = pScreenshots->GetScreenshotType(unHandle, &eError);
    if (eError != 0) {
        return;
    }
    char rchFirst[k_unFileNameCapacity] = {};
    char rchSecond[k_unFileNameCapacity] = {};
    if (!BGetScreenshotFileName(*pScreenshots, unHandle, 0, rchFirst) ||
        !BGetScreenshotFileName(*pScreenshots, unHandle, 1, rchSecond)) {
        return;
    }
    IQuillScreenshots* pQuillScreenshots = QuillScreenshots();
    if (!pQuillScreenshots) {
        return;
    }
    pQuillScreenshots->AddScreenshotPair(static_cast<int32_t>(eType), rchFirst, rchSecond);
}

CHalyardConsoleManager::~CHalyardConsoleManager() {
    GetVRLog()->RemoveLogListener(this);
}

void CHalyardConsoleManager::OnConsoleOpened(unsigned long ulConsoleId) {
    if (std::find(m_listOpenConsoles.begin(), m_listOpenConsoles.end(), ulConsoleId) !=
        m_listOpenConsoles.end()) {
        return;
    }
    m_listOpenConsoles.push_back(ulConsoleId);
    if (m_listOpenConsoles.size() == 1) {
        GetVRLog()->AddLogListener(this);
    }
    GetVRLog()->DumpLogBufferToListener(this, ulConsoleId);
}

void CHalyardConsoleManager::OnConsoleClosed(unsigned long ulConsoleId) {
    if (std::find(m_listOpenConsoles.begin(), m_listOpenConsoles.end(), ulConsoleId) ==
        m_listOpenConsoles.end()) {
        return;
    }
    m_listOpenConsoles.remove(ulConsoleId);
    if (m_listOpenConsoles.empty()) {
        GetVRLog()->RemoveLogListener(this);
    }
}

void CHalyardConsoleManager::LogMessage(unsigned long ulConsoleHandle, const char* pchLogName,
                                        unsigned int unTimestampMs, ELogLevel eLevel,
                                        const char* pchText) {
    if (!::VRControlPanel()) {
        return;
    }
    // Asked again for the call itself; the runtime may have gone away in
    // between (this runs on any thread that logs).
    vr::IVRControlPanel* pControlPanel = ::VRControlPanel();
    if (!pControlPanel) {
        return;
    }
    pControlPanel->ShowConsoleLine(ulConsoleHandle, pchLogName, unTimestampMs,
                                   static_cast<int32_t>(eLevel), pchText);
}
