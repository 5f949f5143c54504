// lattice_internal: how this program holds the runtime's interfaces, and batch
// access to path properties.
//
// Module context: a cache of 21 public interface slots (vr::VRSystem() and its
// siblings) fetched by version string on first use and thrown away whenever
// the runtime's init token changes, so that a remade runtime connection never
// leaves a stale pointer in use.
//
// Internal interface table: one process-wide pointer per internal interface,
// filled once at start-up by InitInternalInterfaces through a caller-supplied
// getter and emptied at exit. The vr_internal accessors return what is stored
// (null when the runtime did not hand the interface out) and never fetch.
//
// Batch path properties: CVRPathReads reads many typed values in one two-call
// exchange with the paths interface and hands them out in order;
// CVRPathWrites collects typed values and sends them in one call. Misuse
// (reading past the end, a tag or size that does not match, a write buffer
// that does not add up) is reported as a non-fatal assertion.
//
// Thread safety: the module context, the table and the access objects are
// written by the main thread only (start-up, the main loop) and have no lock;
// readers on other threads see them after start-up. Batch objects are used by
// one thread at a time.
// Failure: missing interfaces are null pointers; Localize and
// GetResourceFullPath answer their fallback texts; batch calls answer false.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lattice_api.h"

class CLocalizationManager;

namespace vr {

// The module context: 21 interface slots and the init token they belong to.
class CLatticeModuleContext {
public:
    static constexpr int k_nSlots = 21;
    static constexpr int k_nSlotSystem = 0;
    static constexpr int k_nSlotCompositor = 3;
    static constexpr int k_nSlotOverlay = 5;
    static constexpr int k_nSlotSettings = 10;
    static constexpr int k_nSlotScreenshots = 13;

    // Sets every slot to null.
    void Clear();
    // Slot nSlot for pchVersion: first, a token that differs from
    // VR_GetInitToken() empties every slot and takes the new token; then an
    // empty slot is fetched with VR_GetGenericInterface. May still be null.
    void* Get(int nSlot, const char* pchVersion);

    IVRSystem* VRSystem();
    IVRCompositor* VRCompositor();
    IVROverlay* VROverlay();
    IVRSettings* VRSettings();
    IVRScreenshots* VRScreenshots();

    void* m_rgpSlots[k_nSlots] = {};
};

// The process's module context (a function-local static, empty at start).
CLatticeModuleContext& LatticeInternal_ModuleContext();
// The init token the context's slots belong to (a function-local static).
uint32_t& VRToken();
// Right after VR_InitInternal2: the token becomes unToken, every slot null.
void LatticeInternal_ResetModuleContext(uint32_t unToken);

inline IVRSystem* VRSystem() {
    return LatticeInternal_ModuleContext().VRSystem();
}
inline IVRCompositor* VRCompositor() {
    return LatticeInternal_ModuleContext().VRCompositor();
}
inline IVROverlay* VROverlay() {
    return LatticeInternal_ModuleContext().VROverlay();
}
inline IVRSettings* VRSettings() {
    return LatticeInternal_ModuleContext().VRSettings();
}
inline IVRScreenshots* VRScreenshots() {
    return LatticeInternal_ModuleContext().VRScreenshots();
}

}  // namespace vr

namespace vr_internal {

// Maps an interface name to the pointer the runtime hands out (or null).
using InterfaceGetter_t = std::function<void*(const char*)>;

// Asks the compositor for a GPU profiler capture: posts {"type":
// "gpu_profiler_capture"} to the mailbox "vrcompositor_mailbox" through the
// client-side internal interface (method 25), else the server-side one
// (method 26), else not at all; the result is not examined. The assert
// subscription (vrassert.h) calls it when ORRERY_FRAMESCOPE_ON_ASSERT is true.
void PostProfilerCaptureRequest();

// The access objects: each holds one interface pointer.
class CSettingsAccess {
public:
    vr::IVRSettings* m_pSettings = nullptr;
};
class CPathsAccess {
public:
    vr::IVRPaths* m_pPaths = nullptr;
};
class CPropertiesAccess {
public:
    vr::IVRProperties* m_pProperties = nullptr;
};

extern CSettingsAccess g_VRSettingHelper;
extern CPathsAccess g_VRPathHelpers;
extern CPropertiesAccess g_VRPropertyHelpers;

// Rows 1-30 in table order (the access objects take their pointers right
// after rows 6, 8 and 10); with bClient, rows 31-36 as well. Registers
// CleanupInternalInterfaces with atexit on every call. An empty getter raises
// std::bad_function_call.
void InitInternalInterfaces(const InterfaceGetter_t& getter, bool bClient);
// Rows 31-35, then InitInternalDriverDirectInterface (row 36).
void InitInternalClientInterfaces(InterfaceGetter_t getter);
void InitInternalDriverDirectInterface(InterfaceGetter_t getter);
// InitInternalInterfaces with a getter wrapping pfnGetter and the client flag.
void InitInternalInterfacesNonStandard(void* (*pfnGetter)(const char*));
// Empties the table and the access objects. Takes no lock, calls nothing.
void CleanupInternalInterfaces();

// The table's pointers (null at start, after cleanup, and for every name the
// runtime did not serve).
extern vr::IVRRenderModels* g_pRenderModels;
extern vr::IVRRenderModelsInternal* g_pRenderModelsInternal;
extern vr::IVRResources* g_pVRResources;
extern vr::IVRDriverManager* g_pVRDriverManager;
extern vr::IVRSettings* g_pVRSettings;
extern vr::IVRSettingsInternal* g_pVRSettingsInternal;
extern vr::IVRPaths* g_pVRPaths;
extern vr::IVRPathsInternal* g_pVRPathsInternal;
extern vr::IVRProperties* g_pVRProperties;
extern vr::IVRPropertiesInternal* g_pVRPropertiesInternal;
extern vr::IVRServerInternal* g_pVRServerInternal;
extern vr::IVRDriverInputInternal* g_pVRDriverInputInternal;
extern vr::IVRSystemLayerInternal* g_pVRSystemLayerInternal;
extern vr::IVRClientInternal* g_pVRClientInternal;
extern CLocalizationManager* g_pLocalizationMgr;
extern vr::IVRCompositorSystemInternal* g_pCompositorSystemInternal;
extern vr::IVRInput* g_pInput;
extern vr::IVRInputInternal* g_pInputInternal;
extern vr::IVRChaperone* g_pVRChaperone;
extern vr::IVRChaperoneSetup* g_pVRChaperoneSetup;
extern vr::IVRChaperoneInternal* g_pVRChaperoneInternal;
extern vr::IVRChaperoneServerDriver* g_pVRChaperoneServerDriver;
extern vr::IVRApplications* g_pVRApplications;
extern vr::IVRSystem* g_pVRSystem;
extern vr::IVRMailbox* g_pVRMailbox;
extern vr::IVRDebug* g_pVRDebug;
extern vr::IVRBlockQueue* g_pVRBlockQueue;
extern vr::IVRControlPanel* g_pVRControlPanel;
extern vr::IVRApplicationsInternal* g_pVRApplicationsInternal;
extern vr::IVRNotificationsInternal* g_pVRNotificationsInternal;
extern vr::IVROverlay* g_pVROverlay;
extern vr::IVROverlayInternal* g_pVROverlayInternal;
extern vr::IVRExtendedDisplay* g_pVRExtendedDisplay;
extern vr::IVRTrackedCameraInternal* g_pVRTrackedCameraInternal;
extern vr::IVRCameraPassthroughInternal* g_pVRCameraPassthroughInternal;
extern vr::IVRDriverDirectInternal* g_pVRDriverDirectInternal;

vr::IVRRenderModels* VRRenderModels();
vr::IVRRenderModelsInternal* VRRenderModelsInternal();
vr::IVRResources* VRResources();
vr::IVRDriverManager* VRDriverManager();
vr::IVRSettings* VRSettingsRaw();
vr::IVRSettingsInternal* VRSettingsInternal();
vr::IVRPaths* VRPathsRaw();
vr::IVRPathsInternal* VRPathsInternal();
vr::IVRProperties* VRPropertiesRaw();
vr::IVRPropertiesInternal* VRPropertiesInternal();
vr::IVRServerInternal* VRServerInternal();
vr::IVRDriverInputInternal* VRDriverInputInternal();
vr::IVRSystemLayerInternal* VRSystemLayerInternal();
vr::IVRClientInternal* VRClientInternal();
vr::IVRCompositorSystemInternal* VRCompositorSystemInternal();
vr::IVRInput* VRInput();
vr::IVRInputInternal* VRInputInternal();
vr::IVRChaperone* VRChaperone();
vr::IVRChaperoneSetup* VRChaperoneSetup();
vr::IVRChaperoneInternal* VRChaperoneInternal();
vr::IVRChaperoneServerDriver* VRChaperoneServerDriver();
vr::IVRApplications* VRApplications();
vr::IVRSystem* VRSystem();
vr::IVRMailbox* VRMailbox();
vr::IVRDebug* VRDebug();
vr::IVRBlockQueue* VRBlockQueue();
vr::IVRControlPanel* VRControlPanel();
vr::IVRApplicationsInternal* VRApplicationsInternal();
vr::IVRNotificationsInternal* VRNotificationsInternal();
vr::IVROverlay* VROverlay();
vr::IVROverlayInternal* VROverlayInternal();
vr::IVRExtendedDisplay* VRExtendedDisplay();
vr::IVRTrackedCameraInternal* VRTrackedCameraInternal();
vr::IVRCameraPassthroughInternal* VRCameraPassthroughInternal();
vr::IVRDriverDirectInternal* VRDriverDirectInternal();

// The access object's address when its row is not null, else null.
CSettingsAccess* VRSettings();
CPathsAccess* VRPaths();
CPropertiesAccess* VRProperties();

// The entry for sToken in sContext's string table with "%1$s", "%2$s" and
// "%3$s" replaced by sArg1, sArg2 and sArg3, through the localization manager
// of the table; without one, sToken unchanged.
std::string Localize(const std::string& sContext, const std::string& sToken,
                     const std::string& sArg1, const std::string& sArg2, const std::string& sArg3);

// The largest path size GetResourceFullPath accepts from the runtime,
// terminator included; no file path comes near it.
inline constexpr uint32_t k_unMaxResourcePathSize = 65536;

// The full path of a resource through the resources interface (method 1),
// empty when the interface is missing or the runtime does not know the name.
// A path longer than 2047 bytes is fetched with a second call into a buffer
// of the size the runtime reported; a size above k_unMaxResourcePathSize is
// refused (empty) without that call.
std::string GetResourceFullPath(const std::string& strName);

// A path given by string, resolved to a handle on first use. The resolution
// is stored in the caller's record even when the caller holds it const (a
// static table of paths), hence the mutable fields.
struct CVRPathHandle {
    const char* m_pchPath = nullptr;
    mutable vr::PathHandle_t m_ulHandle = 0;
    mutable bool m_bResolved = false;
};

class CVRPathReads {
public:
    // Builds a batch of the handles and reads it.
    bool ReadBatch(unsigned long ulContainer, unsigned long const* pulHandles,
                   unsigned int unCount);
    // The same for lazily resolved handles; each is resolved (paths method 2)
    // the first time it is used, whatever the outcome.
    bool ReadBatch(unsigned long ulContainer, CVRPathHandle const* pHandles, unsigned int unCount);
    // Reads the records already held: one call to learn the sizes, one to
    // fetch the values into the buffer this object owns.
    bool ReadBatch(unsigned long ulContainer);

    bool IsValid() const;

    // The next value, or the default when its record carries an error. The
    // cursor advances in every case.
    bool NextBool(bool bDefault);
    float NextFloat(float flDefault);
    int NextInt32(int nDefault);
    unsigned long NextUInt64(unsigned long ulDefault);
    double NextDouble(double dflDefault);
    std::string NextString(char const* pchDefault);
    // Copies the next value when its tag and size are as given.
    bool NextBlob(void* pData, unsigned int unSize, unsigned int unTag);

private:
    // unValidLine: the line the cursor check reports for this type.
    template <typename T>
    T NextValue(vr::PathValueTag_t unTag, T defaultValue, unsigned int unValidLine);

    vr::PathRead_t* m_pCursor = nullptr;
    std::vector<vr::PathRead_t> m_reads;
    std::vector<uint8_t> m_buffer;
};

class CVRPathWrites {
public:
    // Reserves room for unReserve records and four times as many value bytes.
    explicit CVRPathWrites(unsigned int unReserve = 0);

    void Push(unsigned long ulPath, float flValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(unsigned long ulPath, int nValue, vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(unsigned long ulPath, unsigned long ulValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(unsigned long ulPath, double dflValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(unsigned long ulPath, bool bValue, vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(unsigned long ulPath, char const* pchValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, float flValue, vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, int nValue, vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, unsigned long ulValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, double dflValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, bool bValue, vr::PathWriteOptions_t const* pOptions = nullptr);
    void Push(char const* pchPath, char const* pchValue,
              vr::PathWriteOptions_t const* pOptions = nullptr);

    // A record of the given size and tag whose bytes the caller adds itself
    // (CopyToBuffer); no value bytes are added here.
    void PushWrite(unsigned long ulPath, unsigned int unSize, unsigned int unTag,
                   vr::PathWriteOptions_t const* pOptions = nullptr);
    void PushWrite(char const* pchPath, unsigned int unSize, unsigned int unTag,
                   vr::PathWriteOptions_t const* pOptions = nullptr);

    // Appends the text and its terminator (one zero byte for null); returns
    // the number of bytes appended.
    unsigned int CopyToBuffer(char const* pchText);

    // Sends every record in one call; true when the runtime answered 0.
    bool Write(unsigned long ulContainer);

private:
    void PushRecord(unsigned long ulPath, char const* pchPath, unsigned int unSize,
                    unsigned int unTag, vr::PathWriteOptions_t const* pOptions);
    template <typename T>
    void PushValue(unsigned long ulPath, char const* pchPath, T value, unsigned int unTag,
                   vr::PathWriteOptions_t const* pOptions);

    vr::PathWrite_t m_scratch;
    std::vector<uint8_t> m_buffer;
    std::vector<vr::PathWrite_t> m_writes;
};

}  // namespace vr_internal
