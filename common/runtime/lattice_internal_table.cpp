// lattice_internal: the internal interface table, its accessors and the
// access objects, apart from the module context and the batch classes. See
// lattice_internal.h.
#include <cstdlib>

#include "lattice_internal.h"
#include "vrassert.h"

namespace vr_internal {

// --- internal interface table --------------------------------------------------

CSettingsAccess g_VRSettingHelper;
CPathsAccess g_VRPathHelpers;
CPropertiesAccess g_VRPropertyHelpers;

vr::IVRRenderModels* g_pRenderModels = nullptr;
vr::IVRRenderModelsInternal* g_pRenderModelsInternal = nullptr;
vr::IVRResources* g_pVRResources = nullptr;
vr::IVRDriverManager* g_pVRDriverManager = nullptr;
vr::IVRSettings* g_pVRSettings = nullptr;
vr::IVRSettingsInternal* g_pVRSettingsInternal = nullptr;
vr::IVRPaths* g_pVRPaths = nullptr;
vr::IVRPathsInternal* g_pVRPathsInternal = nullptr;
vr::IVRProperties* g_pVRProperties = nullptr;
vr::IVRPropertiesInternal* g_pVRPropertiesInternal = nullptr;
vr::IVRServerInternal* g_pVRServerInternal = nullptr;
vr::IVRDriverInputInternal* g_pVRDriverInputInternal = nullptr;
vr::IVRSystemLayerInternal* g_pVRSystemLayerInternal = nullptr;
vr::IVRClientInternal* g_pVRClientInternal = nullptr;
CLocalizationManager* g_pLocalizationMgr = nullptr;
vr::IVRCompositorSystemInternal* g_pCompositorSystemInternal = nullptr;
vr::IVRInput* g_pInput = nullptr;
vr::IVRInputInternal* g_pInputInternal = nullptr;
vr::IVRChaperone* g_pVRChaperone = nullptr;
vr::IVRChaperoneSetup* g_pVRChaperoneSetup = nullptr;
vr::IVRChaperoneInternal* g_pVRChaperoneInternal = nullptr;
vr::IVRChaperoneServerDriver* g_pVRChaperoneServerDriver = nullptr;
vr::IVRApplications* g_pVRApplications = nullptr;
vr::IVRSystem* g_pVRSystem = nullptr;
vr::IVRMailbox* g_pVRMailbox = nullptr;
vr::IVRDebug* g_pVRDebug = nullptr;
vr::IVRBlockQueue* g_pVRBlockQueue = nullptr;
vr::IVRControlPanel* g_pVRControlPanel = nullptr;
vr::IVRApplicationsInternal* g_pVRApplicationsInternal = nullptr;
vr::IVRNotificationsInternal* g_pVRNotificationsInternal = nullptr;
vr::IVROverlay* g_pVROverlay = nullptr;
vr::IVROverlayInternal* g_pVROverlayInternal = nullptr;
vr::IVRExtendedDisplay* g_pVRExtendedDisplay = nullptr;
vr::IVRTrackedCameraInternal* g_pVRTrackedCameraInternal = nullptr;
vr::IVRCameraPassthroughInternal* g_pVRCameraPassthroughInternal = nullptr;
vr::IVRDriverDirectInternal* g_pVRDriverDirectInternal = nullptr;

namespace {

template <typename T>
void Fetch(T*& pRow, const InterfaceGetter_t& getter, const char* pchName) {
    pRow = static_cast<T*>(getter(pchName));
}

}  // namespace

void InitInternalInterfaces(const InterfaceGetter_t& getter, bool bClient) {
    Fetch(g_pRenderModels, getter, "IVRRenderModels_006");
    Fetch(g_pRenderModelsInternal, getter, "IVRRenderModelsInternal_XXX");
    Fetch(g_pVRResources, getter, "IVRResources_001");
    Fetch(g_pVRDriverManager, getter, "IVRDriverManager_001");
    Fetch(g_pVRSettings, getter, "IVRSettings_003");
    Fetch(g_pVRSettingsInternal, getter, "IVRSettingsInternal_001");
    g_VRSettingHelper.m_pSettings = g_pVRSettings;
    Fetch(g_pVRPaths, getter, "IVRPaths_002");
    Fetch(g_pVRPathsInternal, getter, "IVRPathsInternal_XXX");
    g_VRPathHelpers.m_pPaths = g_pVRPaths;
    Fetch(g_pVRProperties, getter, "IVRProperties_001");
    Fetch(g_pVRPropertiesInternal, getter, "IVRPropertiesInternal_001");
    g_VRPropertyHelpers.m_pProperties = g_pVRProperties;
    Fetch(g_pVRServerInternal, getter, "IVRServerInternal_XXX");
    Fetch(g_pVRDriverInputInternal, getter, "IVRDriverInputInternal_XXX");
    Fetch(g_pVRSystemLayerInternal, getter, "IVRSystemLayerInternal_XXX");
    Fetch(g_pVRClientInternal, getter, "IVRClientInternal_XXX");
    Fetch(g_pLocalizationMgr, getter, "LocalizationManager");
    Fetch(g_pCompositorSystemInternal, getter, "IVRCompositorSystemInternal_XXX");
    Fetch(g_pInput, getter, "IVRInput_010");
    Fetch(g_pInputInternal, getter, "IVRInputInternal_002");
    Fetch(g_pVRChaperone, getter, "IVRChaperone_004");
    Fetch(g_pVRChaperoneSetup, getter, "IVRChaperoneSetup_006");
    Fetch(g_pVRChaperoneInternal, getter, "IVRChaperoneInternal_XXX");
    Fetch(g_pVRChaperoneServerDriver, getter, "IVRChaperoneServerDriver_XXX");
    Fetch(g_pVRApplications, getter, "IVRApplications_007");
    Fetch(g_pVRSystem, getter, "IVRSystem_023");
    Fetch(g_pVRMailbox, getter, "IVRMailbox_002");
    Fetch(g_pVRDebug, getter, "IVRDebug_001");
    Fetch(g_pVRBlockQueue, getter, "IVRBlockQueue_005");
    Fetch(g_pVRControlPanel, getter, "IVRControlPanel_006");
    Fetch(g_pVRApplicationsInternal, getter, "IVRApplicationsInternal_XXX");
    Fetch(g_pVRNotificationsInternal, getter, "IVRNotificationsInternal_001");
    if (bClient) {
        InitInternalClientInterfaces(getter);
    }
    std::atexit(CleanupInternalInterfaces);
}

void InitInternalClientInterfaces(InterfaceGetter_t getter) {
    Fetch(g_pVROverlay, getter, "IVROverlay_028");
    Fetch(g_pVROverlayInternal, getter, "IVROverlayInternal_XXX");
    Fetch(g_pVRExtendedDisplay, getter, "IVRExtendedDisplay_001");
    Fetch(g_pVRTrackedCameraInternal, getter, "IVRTrackedCameraInternal_XXX");
    Fetch(g_pVRCameraPassthroughInternal, getter, "IVRCameraPassthroughInternal_001");
    InitInternalDriverDirectInterface(getter);
}

void InitInternalDriverDirectInterface(InterfaceGetter_t getter) {
    Fetch(g_pVRDriverDirectInternal, getter, "IVRDriverDirectInternal_XXX");
}

void InitInternalInterfacesNonStandard(void* (*pfnGetter)(const char*)) {
    // A null function makes an empty getter, whose call raises the standard
    // empty-call failure rather than jumping through null.
    InitInternalInterfaces(InterfaceGetter_t(pfnGetter), true);
}

void CleanupInternalInterfaces() {
    g_pRenderModels = nullptr;
    g_pRenderModelsInternal = nullptr;
    g_pVRResources = nullptr;
    g_pVRDriverManager = nullptr;
    g_pVRSettings = nullptr;
    g_pVRSettingsInternal = nullptr;
    g_pVRPaths = nullptr;
    g_pVRPathsInternal = nullptr;
    g_pVRProperties = nullptr;
    g_pVRPropertiesInternal = nullptr;
    g_pVRServerInternal = nullptr;
    g_pVRDriverInputInternal = nullptr;
    g_pVRSystemLayerInternal = nullptr;
    g_pVRClientInternal = nullptr;
    g_pLocalizationMgr = nullptr;
    g_pCompositorSystemInternal = nullptr;
    g_pInput = nullptr;
    g_pInputInternal = nullptr;
    g_pVRChaperone = nullptr;
    g_pVRChaperoneSetup = nullptr;
    g_pVRChaperoneInternal = nullptr;
    g_pVRChaperoneServerDriver = nullptr;
    g_pVRApplications = nullptr;
    g_pVRSystem = nullptr;
    g_pVRMailbox = nullptr;
    g_pVRDebug = nullptr;
    g_pVRBlockQueue = nullptr;
    g_pVRControlPanel = nullptr;
    g_pVRApplicationsInternal = nullptr;
    g_pVRNotificationsInternal = nullptr;
    g_pVROverlay = nullptr;
    g_pVROverlayInternal = nullptr;
    g_pVRExtendedDisplay = nullptr;
    g_pVRTrackedCameraInternal = nullptr;
    g_pVRCameraPassthroughInternal = nullptr;
    g_pVRDriverDirectInternal = nullptr;
    g_VRSettingHelper.m_pSettings = nullptr;
    g_VRPathHelpers.m_pPaths = nullptr;
    g_VRPropertyHelpers.m_pProperties = nullptr;
}

vr::IVRRenderModels* VRRenderModels() {
    return g_pRenderModels;
}
vr::IVRRenderModelsInternal* VRRenderModelsInternal() {
    return g_pRenderModelsInternal;
}
vr::IVRResources* VRResources() {
    return g_pVRResources;
}
vr::IVRDriverManager* VRDriverManager() {
    return g_pVRDriverManager;
}
vr::IVRSettings* VRSettingsRaw() {
    return g_pVRSettings;
}
vr::IVRSettingsInternal* VRSettingsInternal() {
    return g_pVRSettingsInternal;
}
vr::IVRPaths* VRPathsRaw() {
    return g_pVRPaths;
}
vr::IVRPathsInternal* VRPathsInternal() {
    return g_pVRPathsInternal;
}
vr::IVRProperties* VRPropertiesRaw() {
    return g_pVRProperties;
}
vr::IVRPropertiesInternal* VRPropertiesInternal() {
    return g_pVRPropertiesInternal;
}
vr::IVRServerInternal* VRServerInternal() {
    return g_pVRServerInternal;
}
vr::IVRDriverInputInternal* VRDriverInputInternal() {
    return g_pVRDriverInputInternal;
}
vr::IVRSystemLayerInternal* VRSystemLayerInternal() {
    return g_pVRSystemLayerInternal;
}
vr::IVRClientInternal* VRClientInternal() {
    return g_pVRClientInternal;
}
vr::IVRCompositorSystemInternal* VRCompositorSystemInternal() {
    return g_pCompositorSystemInternal;
}
vr::IVRInput* VRInput() {
    return g_pInput;
}
vr::IVRInputInternal* VRInputInternal() {
    return g_pInputInternal;
}
vr::IVRChaperone* VRChaperone() {
    return g_pVRChaperone;
}
vr::IVRChaperoneSetup* VRChaperoneSetup() {
    return g_pVRChaperoneSetup;
}
vr::IVRChaperoneInternal* VRChaperoneInternal() {
    return g_pVRChaperoneInternal;
}
vr::IVRChaperoneServerDriver* VRChaperoneServerDriver() {
    return g_pVRChaperoneServerDriver;
}
vr::IVRApplications* VRApplications() {
    return g_pVRApplications;
}
vr::IVRSystem* VRSystem() {
    return g_pVRSystem;
}
vr::IVRMailbox* VRMailbox() {
    return g_pVRMailbox;
}
vr::IVRDebug* VRDebug() {
    return g_pVRDebug;
}
vr::IVRBlockQueue* VRBlockQueue() {
    return g_pVRBlockQueue;
}
vr::IVRControlPanel* VRControlPanel() {
    return g_pVRControlPanel;
}
vr::IVRApplicationsInternal* VRApplicationsInternal() {
    return g_pVRApplicationsInternal;
}
vr::IVRNotificationsInternal* VRNotificationsInternal() {
    return g_pVRNotificationsInternal;
}
vr::IVROverlay* VROverlay() {
    return g_pVROverlay;
}
vr::IVROverlayInternal* VROverlayInternal() {
    return g_pVROverlayInternal;
}
vr::IVRExtendedDisplay* VRExtendedDisplay() {
    return g_pVRExtendedDisplay;
}
vr::IVRTrackedCameraInternal* VRTrackedCameraInternal() {
    return g_pVRTrackedCameraInternal;
}
vr::IVRCameraPassthroughInternal* VRCameraPassthroughInternal() {
    return g_pVRCameraPassthroughInternal;
}
vr::IVRDriverDirectInternal* VRDriverDirectInternal() {
    return g_pVRDriverDirectInternal;
}

CSettingsAccess* VRSettings() {
    return g_pVRSettings ? &g_VRSettingHelper : nullptr;
}
CPathsAccess* VRPaths() {
    return g_pVRPaths ? &g_VRPathHelpers : nullptr;
}
CPropertiesAccess* VRProperties() {
    return g_pVRProperties ? &g_VRPropertyHelpers : nullptr;
}

// --- profiler capture on assertions -------------------------------------------------

namespace {

// Installed whenever the internal interface table is part of the program:
// without it both interfaces would be null and nothing posted anyway.
[[maybe_unused]] const bool s_bProfilerCaptureHandlerInstalled = [] {
    SetAssertProfilerCaptureHandler(&PostProfilerCaptureRequest);
    return true;
}();

}  // namespace

}  // namespace vr_internal
