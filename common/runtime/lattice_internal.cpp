// lattice_internal: the module context, the internal interface table, and
// batch path property reads and writes. See lattice_internal.h.
//
// The batch classes' assertions report fixed source lines that people and
// tools match on, so the batch code keeps its layout (clang-format is off
// there).
#include "lattice_internal.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "localizationmanager.h"
#include "vrassert.h"

// --- module context -----------------------------------------------------------

namespace vr {

CLatticeModuleContext& LatticeInternal_ModuleContext() {
    static CLatticeModuleContext s_context;
    return s_context;
}

uint32_t& VRToken() {
    static uint32_t s_unToken = 0;
    return s_unToken;
}

void LatticeInternal_ResetModuleContext(uint32_t unToken) {
    VRToken() = unToken;
    LatticeInternal_ModuleContext().Clear();
}

void CLatticeModuleContext::Clear() {
    for (void*& pSlot : m_rgpSlots) {
        pSlot = nullptr;
    }
}

void* CLatticeModuleContext::Get(int nSlot, const char* pchVersion) {
    if (VRToken() != VR_GetInitToken()) {
        Clear();
        VRToken() = VR_GetInitToken();
    }
    if (!m_rgpSlots[nSlot]) {
        ELatticeInitError eScratch = LatticeInitError_None;
        m_rgpSlots[nSlot] = VR_GetGenericInterface(pchVersion, &eScratch);
    }
    return m_rgpSlots[nSlot];
}

IVRSystem* CLatticeModuleContext::VRSystem() {
    return static_cast<IVRSystem*>(Get(k_nSlotSystem, IVRSystem_Version));
}
IVRCompositor* CLatticeModuleContext::VRCompositor() {
    return static_cast<IVRCompositor*>(Get(k_nSlotCompositor, IVRCompositor_Version));
}
IVROverlay* CLatticeModuleContext::VROverlay() {
    return static_cast<IVROverlay*>(Get(k_nSlotOverlay, IVROverlay_Version));
}
IVRSettings* CLatticeModuleContext::VRSettings() {
    return static_cast<IVRSettings*>(Get(k_nSlotSettings, IVRSettings_Version));
}
IVRScreenshots* CLatticeModuleContext::VRScreenshots() {
    return static_cast<IVRScreenshots*>(Get(k_nSlotScreenshots, IVRScreenshots_Version));
}

}  // namespace vr

namespace vr_internal {

// --- localization and resources ---------------------------------------------

std::string Localize(const std::string& a1, const std::string& a2, const std::string& a3,
                     const std::string& a4, const std::string& a5) {
    if (!g_pLocalizationMgr) {
        return a2;
    }
    return g_pLocalizationMgr->Localize(a1, a2, a3, a4, a5);
}

std::string GetResourceFullPath(const std::string& strName) {
    vr::IVRResources* pResources = VRResources();
    if (!pResources) {
        return std::string();
    }
    // Starts as an empty string: a runtime may answer a size without writing.
    char rgchPath[2048] = {};
    uint32_t unSize =
        pResources->ResolveResourcePath(strName.c_str(), nullptr, rgchPath, sizeof(rgchPath));
    if (unSize <= sizeof(rgchPath)) {
        rgchPath[sizeof(rgchPath) - 1] = '\0';
        return rgchPath;
    }
    std::vector<char> buffer(unSize, '\0');
    pResources->ResolveResourcePath(strName.c_str(), nullptr, buffer.data(), unSize);
    buffer.back() = '\0';
    return buffer.data();
}

// --- batch reads ------------------------------------------------------------

namespace {

// Reads a fixed-size value from a record's buffer. A bool is any non-zero
// byte: the runtime's byte need not be a valid bool object.
template <typename T>
T LoadValue(const void* pvBuffer) {
    if constexpr (std::is_same_v<T, bool>) {
        return *static_cast<const uint8_t*>(pvBuffer) != 0;
    } else {
        T value;
        std::memcpy(&value, pvBuffer, sizeof(T));
        return value;
    }
}

vr::PathRead_t EmptyRead(vr::PathHandle_t ulPath) {
    vr::PathRead_t read{};
    read.ulPath = ulPath;
    return read;
}

}  // namespace

bool CVRPathReads::ReadBatch(unsigned long ulContainer, unsigned long const* pulHandles,
                             unsigned int unCount) {
    m_reads.clear();
    m_pCursor = nullptr;
    if (!pulHandles && unCount > 0) {
        return false;  // a count without handles: nothing to read through
    }
    m_reads.reserve(unCount);
    for (unsigned int i = 0; i < unCount; ++i) {
        m_reads.push_back(EmptyRead(pulHandles[i]));
    }
    return ReadBatch(ulContainer);
}

bool CVRPathReads::ReadBatch(unsigned long ulContainer, CVRPathHandle const* pHandles,
                             unsigned int unCount) {
    m_reads.clear();
    m_pCursor = nullptr;
    if (!pHandles && unCount > 0) {
        return false;
    }
    m_reads.reserve(unCount);
    for (unsigned int i = 0; i < unCount; ++i) {
        // The caller's handles are resolved in place, once: the resolution is
        // remembered in the caller-owned record.
        CVRPathHandle& handle = const_cast<CVRPathHandle&>(pHandles[i]);
        CPathsAccess* pPaths = VRPaths();
        if (!handle.m_bResolved && pPaths) {
            pPaths->m_pPaths->PathToHandle(&handle.m_ulHandle, handle.m_pchPath);
            handle.m_bResolved = true;
        }
        m_reads.push_back(EmptyRead(handle.m_ulHandle));
    }
    return ReadBatch(ulContainer);
}

bool CVRPathReads::ReadBatch(unsigned long ulContainer) {
    m_pCursor = nullptr;
    CPathsAccess* pPaths = VRPaths();
    if (!pPaths) {
        return false;
    }
    // First call on a copy: it only learns the sizes.
    std::vector<vr::PathRead_t> sizes = m_reads;
    if (pPaths->m_pPaths->ReadBatch(ulContainer, sizes.data(),
                                    static_cast<uint32_t>(sizes.size())) != 0) {
        return false;
    }
    // The sizes are added up in 64 bits: a sum that does not fit the 32-bit
    // sizes of the records would leave records pointing past the buffer.
    uint64_t ulTotal = 0;
    for (const vr::PathRead_t& read : sizes) {
        ulTotal += read.unRequiredBufferSize;
    }
    if (ulTotal > UINT32_MAX) {
        return false;
    }
    m_buffer.resize(static_cast<size_t>(ulTotal));
    size_t nOffset = 0;
    for (size_t i = 0; i < m_reads.size(); ++i) {
        m_reads[i].pvBuffer = m_buffer.data() + nOffset;
        m_reads[i].unBufferSize = sizes[i].unRequiredBufferSize;
        nOffset += sizes[i].unRequiredBufferSize;
    }
    if (pPaths->m_pPaths->ReadBatch(ulContainer, m_reads.data(),
                                    static_cast<uint32_t>(m_reads.size())) != 0) {
        return false;
    }
    m_pCursor = m_reads.data();
    return true;
}

bool CVRPathReads::IsValid() const {
    return m_pCursor != nullptr && m_pCursor < m_reads.data() + m_reads.size();
}

// clang-format off
// Typed reads. Each takes the record under the cursor and moves the cursor on,
// whatever the record holds, so that a sequence of reads stays aligned with
// the records. A record with an error yields the caller's default; a record
// of another type or size is reported, and its value is only read when the
// buffer holds enough bytes for it.



static_assert(__LINE__ == 212, "the assertions below report fixed lines: take padding from above when code grows");

template <typename T>
T CVRPathReads::NextValue(vr::PathValueTag_t unTag, T defaultValue) {
    if (!IsValid()) {
        return defaultValue;
    }
    vr::PathRead_t* pRead = m_pCursor++;
    if (pRead->eError != 0) {
        return defaultValue;
    }
    TESSERA_ASSERT_MSG(pRead->unTag == unTag, "pRead->unTag == unTag");
    TESSERA_ASSERT_MSG(pRead->unRequiredBufferSize == sizeof(T), "pRead->unRequiredBufferSize == sizeof( T )");
    if (!pRead->pvBuffer || pRead->unBufferSize < sizeof(T)) { return defaultValue; }
    return LoadValue<T>(pRead->pvBuffer);
}
bool CVRPathReads::NextBool(bool bDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    return NextValue<bool>(vr::k_unBoolPropertyTag, bDefault);
}

float CVRPathReads::NextFloat(float flDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    return NextValue<float>(vr::k_unFloatPropertyTag, flDefault);
}

double CVRPathReads::NextDouble(double dflDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    return NextValue<double>(vr::k_unDoublePropertyTag, dflDefault);
}

int CVRPathReads::NextInt32(int nDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    return NextValue<int32_t>(vr::k_unInt32PropertyTag, nDefault);
}

unsigned long CVRPathReads::NextUInt64(unsigned long ulDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    return NextValue<uint64_t>(vr::k_unUint64PropertyTag, ulDefault);
}

std::string CVRPathReads::NextString(char const* pchDefault) {
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    std::string strDefault = pchDefault ? pchDefault : "";
    if (!IsValid()) { return strDefault; }
    vr::PathRead_t* pRead = m_pCursor++;
    if (pRead->eError != 0) { return strDefault; }
    TESSERA_ASSERT_MSG(pRead->unTag == vr::k_unStringPropertyTag, "pRead->unTag == vr::k_unStringPropertyTag");
    TESSERA_ASSERT_MSG(pRead->unBufferSize > 0u, "pRead->unBufferSize > 0u");
    if (pRead->unBufferSize == 0 || !pRead->pvBuffer) { return std::string(); }
    return std::string(static_cast<const char*>(pRead->pvBuffer), pRead->unBufferSize - 1);
}
bool CVRPathReads::NextBlob(void* pData, unsigned int unSize, unsigned int unTag) {
    TESSERA_ASSERT_MSG(pData, "pData");
    TESSERA_ASSERT_MSG(IsValid(), "IsValid()");
    if (!IsValid()) {
        return false;
    }
    vr::PathRead_t* pRead = m_pCursor++;
    if (pRead->eError != 0 || pRead->unTag != unTag || pRead->unRequiredBufferSize != unSize) {
        return false;
    }
    // Never more than the record's buffer holds.
    if (!pData || (unSize > 0 && (!pRead->pvBuffer || pRead->unBufferSize < unSize))) {
        return false;
    }
    if (unSize > 0) {
        std::memcpy(pData, pRead->pvBuffer, unSize);
    }
    return true;
}

// --- batch writes -----------------------------------------------------------

CVRPathWrites::CVRPathWrites(unsigned int unReserve) {
    std::memset(&m_scratch, 0, sizeof(m_scratch));
    m_scratch.unOptions = 1;
    m_writes.reserve(unReserve);
    m_buffer.reserve(static_cast<size_t>(unReserve) * 4);
}

unsigned int CVRPathWrites::CopyToBuffer(char const* pchText) {
    if (!pchText) {
        m_buffer.push_back(0);
        return 1;
    }
    size_t cub = std::strlen(pchText) + 1;
    m_buffer.insert(m_buffer.end(), pchText, pchText + cub);
    return static_cast<unsigned int>(cub);
}

// Buffer pointers stay unset until Write: the buffer may still move.
void CVRPathWrites::PushRecord(unsigned long ulPath, char const* pchPath, unsigned int unSize, unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    m_scratch.ulPath = pchPath ? 0 : ulPath;
    m_scratch.pszPath = pchPath;
    m_scratch.unBufferSize = unSize;
    m_scratch.unTag = unTag;
    m_scratch.unOptions = (pOptions ? *pOptions : vr::k_DefaultPathWriteOptions).unFlags;
    m_writes.push_back(m_scratch);
}

template <typename T>
void CVRPathWrites::PushValue(unsigned long ulPath, char const* pchPath, T value, unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    const uint8_t* pBytes = reinterpret_cast<const uint8_t*>(&value);
    m_buffer.insert(m_buffer.end(), pBytes, pBytes + sizeof(T));
    PushRecord(ulPath, pchPath, sizeof(T), unTag, pOptions);
}

void CVRPathWrites::Push(unsigned long ulPath, float flValue, vr::PathWriteOptions_t const* pOptions) { PushValue<float>(ulPath, nullptr, flValue, vr::k_unFloatPropertyTag, pOptions); }
void CVRPathWrites::Push(unsigned long ulPath, int nValue, vr::PathWriteOptions_t const* pOptions) { PushValue<int32_t>(ulPath, nullptr, nValue, vr::k_unInt32PropertyTag, pOptions); }
void CVRPathWrites::Push(unsigned long ulPath, unsigned long ulValue, vr::PathWriteOptions_t const* pOptions) { PushValue<uint64_t>(ulPath, nullptr, ulValue, vr::k_unUint64PropertyTag, pOptions); }
void CVRPathWrites::Push(unsigned long ulPath, double dflValue, vr::PathWriteOptions_t const* pOptions) { PushValue<double>(ulPath, nullptr, dflValue, vr::k_unDoublePropertyTag, pOptions); }
void CVRPathWrites::Push(unsigned long ulPath, bool bValue, vr::PathWriteOptions_t const* pOptions) { PushValue<uint8_t>(ulPath, nullptr, bValue ? 1 : 0, vr::k_unBoolPropertyTag, pOptions); }
void CVRPathWrites::Push(unsigned long ulPath, char const* pchValue, vr::PathWriteOptions_t const* pOptions) { PushRecord(ulPath, nullptr, CopyToBuffer(pchValue), vr::k_unStringPropertyTag, pOptions); }

void CVRPathWrites::Push(char const* pchPath, float flValue, vr::PathWriteOptions_t const* pOptions) { PushValue<float>(0, pchPath, flValue, vr::k_unFloatPropertyTag, pOptions); }
void CVRPathWrites::Push(char const* pchPath, int nValue, vr::PathWriteOptions_t const* pOptions) { PushValue<int32_t>(0, pchPath, nValue, vr::k_unInt32PropertyTag, pOptions); }
void CVRPathWrites::Push(char const* pchPath, unsigned long ulValue, vr::PathWriteOptions_t const* pOptions) { PushValue<uint64_t>(0, pchPath, ulValue, vr::k_unUint64PropertyTag, pOptions); }
void CVRPathWrites::Push(char const* pchPath, double dflValue, vr::PathWriteOptions_t const* pOptions) { PushValue<double>(0, pchPath, dflValue, vr::k_unDoublePropertyTag, pOptions); }
void CVRPathWrites::Push(char const* pchPath, bool bValue, vr::PathWriteOptions_t const* pOptions) { PushValue<uint8_t>(0, pchPath, bValue ? 1 : 0, vr::k_unBoolPropertyTag, pOptions); }
void CVRPathWrites::Push(char const* pchPath, char const* pchValue, vr::PathWriteOptions_t const* pOptions) { PushRecord(0, pchPath, CopyToBuffer(pchValue), vr::k_unStringPropertyTag, pOptions); }

void CVRPathWrites::PushWrite(unsigned long ulPath, unsigned int unSize, unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    PushRecord(ulPath, nullptr, unSize, unTag, pOptions);
}

void CVRPathWrites::PushWrite(char const* pchPath, unsigned int unSize, unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    PushRecord(0, pchPath, unSize, unTag, pOptions);
}
// Sends the batch. Each record's value pointer is the buffer start plus the
// sizes of the records before it; the records must account for the whole
// buffer. Write does not clear the batch.


















static_assert(__LINE__ == 362, "the assertion in Write reports a fixed line: take padding from above when code grows");

bool CVRPathWrites::Write(unsigned long ulContainer) {
    // Offsets, not pointers, so that a record running past the buffer is
    // never turned into an out-of-range pointer.
    size_t nOffset = 0;
    for (vr::PathWrite_t& write : m_writes) {
        write.pvBuffer = nOffset <= m_buffer.size() ? m_buffer.data() + nOffset : nullptr;
        nOffset += write.unBufferSize;
    }
    TESSERA_ASSERT_MSG(nOffset == m_buffer.size(), "pNext == ( m_buffer.data() + m_buffer.size() )");
    // Records that claim more bytes than the buffer holds would make the
    // runtime read past it: such a batch is not sent.
    if (nOffset > m_buffer.size()) {
        return false;
    }
    CPathsAccess* pPaths = VRPaths();
    if (!pPaths) {
        return false;
    }
    return pPaths->m_pPaths->WriteBatch(ulContainer, m_writes.data(), static_cast<uint32_t>(m_writes.size())) == 0;
}
// clang-format on
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
