// halyard: the dashboard companion process of the runtime. Connects to the
// runtime as a system overlay client, then every 33 ms runs one host client
// frame and drains the runtime's events into the console and screenshot
// managers, until the runtime sends the quit event.
//
// Exit status: 0 after the quit event or when another instance runs; 254
// when the runtime connection fails; 253 when a required interface or the
// headset's property container is missing; 2 for arguments other than
// --version or --help (the runtime starts it without any).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "dashboard.h"
#include "lattice_api.h"
#include "lattice_internal.h"
#include "latticetools.h"
#include "quill_worker_thread.h"
#include "singleappinstance.h"
#include "systemtime.h"
#include "threadtools.h"
#include "threadwatchdog.h"
#include "tracemarkers.h"
#include "vrassert.h"
#include "vrcrashinit.h"
#include "vrlog.h"

#ifndef HALYARD_VERSION
#error "HALYARD_VERSION must hold the project version"
#endif

namespace {

constexpr int k_nExitBadArguments = 2;
constexpr char k_rchUsage[] =
    "usage: halyard [--version | --help]\n"
    "\n"
    "The runtime's dashboard companion process. The runtime starts it without\n"
    "arguments; it then runs until the runtime sends the quit event.\n"
    "Exit status: 0 after the quit event or when another instance runs, 253 when\n"
    "a required runtime interface or the headset's property container is missing,\n"
    "254 when the runtime connection fails, 2 for bad arguments.\n";

[[noreturn]] void LeaveBeforeStartUp(FILE* pStream, const std::string& sText, int nStatus) {
    fputs(sText.c_str(), pStream);
    fflush(pStream);
    _exit(nStatus);
}

// The command line is read before any static object of the process is built:
// an initialiser of the earliest priority a program may use runs ahead of all
// of them, the single-instance guard below among them. So `halyard --version`
// never takes the machine-wide lock, which a halyard that the runtime starts
// at that moment would find held and leave. Without arguments it does nothing
// and the process starts as it always has. (glibc hands initialisers the
// program's arguments.)
__attribute__((constructor(101))) void HandleCommandLine(int argc, char** argv, char**) {
    if (argc <= 1 || !argv) {
        return;
    }
    const char* pchFirst = argv[1];
    bool bKnown = strcmp(pchFirst, "--version") == 0 || strcmp(pchFirst, "--help") == 0 ||
                  strcmp(pchFirst, "-h") == 0;
    if (bKnown && argc == 2) {
        if (strcmp(pchFirst, "--version") == 0) {
            LeaveBeforeStartUp(stdout, "halyard " HALYARD_VERSION "\n", 0);
        }
        LeaveBeforeStartUp(stdout, k_rchUsage, 0);
    }
    const char* pchBad = bKnown ? argv[2] : pchFirst;
    std::string sLine = pchBad[0] == '-' && !bKnown
                            ? std::string("halyard: unknown option '") + pchBad + "'"
                            : std::string("halyard: unexpected argument '") + pchBad + "'";
    LeaveBeforeStartUp(stderr, sLine + " (halyard --help)\n", k_nExitBadArguments);
}

}  // namespace

CSingleAppInstance g_SingleAppInstance("halyard", false);
bool g_bQuit = false;

namespace {

constexpr int k_nExitInitFailed = -2;
constexpr int k_nExitMissingInterface = -3;
constexpr uint32_t k_unFrameSleepMs = 33;
constexpr float k_flMainWatchdogSeconds = 15.0f;
// A previous log larger than this is rotated away at start-up.
constexpr unsigned long k_ulStartupLogRotateSize = 131072;

// Fixed source locations of this file's assertion and trace events. They read
// as file and line but are stable identifiers that crash reports and trace
// tools are matched on, not the lines the code stands on.
constexpr char k_pchAssertFile[] = "halyard_main";
constexpr unsigned int k_unAssertLineLoggingSetUp = 587;
constexpr char k_pchTraceRunQuillFrame[] = "halyard_main.cpp:816";
constexpr char k_pchTraceProcessVREvents[] = "halyard_main.cpp:823";

int FailInit(vr::ELatticeInitError eError) {
    Log(LogLevel_Error, "VR_Init failed with %s\n", VR_GetVRInitErrorAsSymbol(eError));
    return k_nExitInitFailed;
}

struct Managers_t {
    CHalyardScreenshotManager screenshots;
    CHalyardConsoleManager consoles;
};

void DispatchEvent(const vr::LatticeEvent_t& event, Managers_t& managers) {
    switch (event.eventType) {
        case vr::LatticeEvent_ConsoleOpened:
            managers.consoles.OnConsoleOpened(event.data.console.ulConsoleId);
            break;
        case vr::LatticeEvent_ConsoleClosed:
            managers.consoles.OnConsoleClosed(event.data.console.ulConsoleId);
            break;
        case vr::LatticeEvent_ScreenshotTriggered:
            managers.screenshots.OnScreenshotTriggered();
            break;
        case vr::LatticeEvent_ScreenshotTaken:
            managers.screenshots.OnScreenshotTaken();
            break;
        case vr::LatticeEvent_ScreenshotFailed:
            managers.screenshots.OnScreenshotFailed();
            break;
        case vr::LatticeEvent_ScreenshotSubmitted:
            managers.screenshots.OnScreenshotSubmitted(event.data.screenshot.handle);
            break;
        case vr::LatticeEvent_Quit:
            g_bQuit = true;
            break;
        default:
            break;
    }
}

// Every pending event, each dispatched as it comes. Without a system
// interface (it is fetched again after a token change, and that fails once
// the runtime is gone) no event can arrive, not even the quit event: the
// process says so and leaves as if asked to quit.
void DrainEvents(CThreadWatchdog& watchdog, Managers_t& managers) {
    vr::LatticeEvent_t event;
    while (true) {
        vr::IVRSystem* pSystem = vr::VRSystem();
        if (!pSystem) {
            Log(LogLevel_Error, "Lost the Lattice system interface; shutting down.\n");
            g_bQuit = true;
            return;
        }
        if (!pSystem->TakeNextEvent(&event, sizeof(event))) {
            return;
        }
        watchdog.Tick();
        DispatchEvent(event, managers);
    }
}

void RunMainLoop(CThreadWatchdog& watchdog, CQuillWorker& worker, Managers_t& managers) {
    while (!g_bQuit) {
        watchdog.Tick();
        {
            CWatchdogDetailScope detail("Run Quill Frame.");
            CScopedEventDuration traceEvent("RealMain", k_pchTraceRunQuillFrame, "RunQuillFrame");
            watchdog.Tick();
            worker.RunFrame();
        }
        {
            CWatchdogDetailScope detail("Process VR events.");
            CScopedEventDuration traceEvent("RealMain", k_pchTraceProcessVREvents,
                                            "ProcessVREvents");
            DrainEvents(watchdog, managers);
        }
        ThreadSleep(k_unFrameSleepMs);
    }
}

}  // namespace

int RealMain() {
    InitSystemBaseTimeTicks(0);
    if (g_SingleAppInstance.CheckForOtherRunningInstances(false)) {
        return 0;
    }
    int nLogging =
        Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, k_ulStartupLogRotateSize);
    TESSERA_ASSERT_MSG_AT(k_pchAssertFile, k_unAssertLineLoggingSetUp,
                          nLogging == k_nSetupLogging_Success, "Failed to set up logging.");
    std::string sVersion;
    if (!Lattice_ReadVersionFile(sVersion, nullptr)) {
        Log(LogLevel_Warning, "Unable to read version file.\n");
        sVersion.clear();  // the start-up line shows no version then
    }
    Log(LogLevel_Info, "halyard (v%s) starting up\n", sVersion.c_str());

    vr::ELatticeInitError eInitError = vr::LatticeInitError_None;
    uint32_t unToken =
        VR_InitInternal2(&eInitError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    vr::LatticeInternal_ResetModuleContext(unToken);
    if (eInitError != vr::LatticeInitError_None) {
        return FailInit(eInitError);
    }
    if (!VR_IsInterfaceVersionValid(vr::IVRSystem_Version)) {
        VR_ShutdownInternal();
        return FailInit(vr::LatticeInitError_InterfaceVersionNotServed);
    }
    if (!vr::VRSystem()) {
        return FailInit(eInitError);
    }
    if (!vr::VRCompositor()) {
        Log(LogLevel_Error, "Unable to initialize necessary Lattice interface (compositor)");
        return k_nExitMissingInterface;
    }
    if (!vr::VROverlay()) {
        Log(LogLevel_Error, "Unable to initialize necessary Lattice interface (overlay)");
        return k_nExitMissingInterface;
    }
    vr::IVRSettings* pSettings = vr::VRSettings();
    if (!pSettings) {
        Log(LogLevel_Error, "Unable to initialize necessary Lattice interface (settings)");
        return k_nExitMissingInterface;
    }
    SetMaxLogLevel(static_cast<ELogLevel>(pSettings->GetInt32("orrery", "loglevel", nullptr)));

    vr_internal::InitInternalInterfaces(
        [](const char* pchVersion) { return VR_GetGenericInterface(pchVersion, nullptr); }, true);
    if (!vr_internal::VRMailbox()) {
        Log(LogLevel_Warning, "Unable to initialize necessary Lattice interface (mailbox)");
    }
    // A missing properties interface is treated like a missing container.
    vr_internal::CPropertiesAccess* pPropertyAccess = vr_internal::VRProperties();
    vr::IVRProperties* pProperties = pPropertyAccess ? pPropertyAccess->m_pProperties : nullptr;
    if (!pProperties || pProperties->GetDevicePropertyContainer(0) == 0) {
        Log(LogLevel_Error, "Unable to get hmd property container");
        return k_nExitMissingInterface;
    }
    if (vr::IVRInputInternal* pInputInternal = vr_internal::VRInputInternal()) {
        pInputInternal->SetDashboardProcessMode(0);
    }

    auto pManagers = std::make_unique<Managers_t>();
    auto pWorker = std::make_unique<CQuillWorker>();
    pWorker->RunFrame();

    // Read through the module context again: after a reconnection the
    // settings interface may be refetched, or be gone.
    vr::IVRSettings* pStartSettings = vr::VRSettings();
    if (pStartSettings &&
        pStartSettings->GetBool("orrery", "startOverlayAppsFromDashboard", nullptr)) {
        if (vr::IVRControlPanel* pControlPanel = ::VRControlPanel()) {
            pControlPanel->StartOverlayApplications();
        }
    }

    CThreadWatchdog::InitWatchdogs();
    auto pWatchdog =
        std::make_unique<CThreadWatchdog>("Dashboard Main", k_flMainWatchdogSeconds,
                                          CThreadWatchdog::WatchdogTimeout_MinidumpAndAbort);

    RunMainLoop(*pWatchdog, *pWorker, *pManagers);

    CThreadWatchdog::SetExecutionPhaseString("Shutdown.");
    pWatchdog->Tick();
    pWorker->Shutdown();
    pWatchdog->Tick();
    VR_ShutdownInternal();
    pWatchdog.reset();
    CThreadWatchdog::CleanupWatchdogs();
    pWorker.reset();
    pManagers.reset();
    return 0;
}

int main(int, char**) {
    VRCrashHandlingInit(VRPreCrashCallback_t());
    InitAssertCallback();
    return RealMain();
}
