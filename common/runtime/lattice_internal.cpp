// lattice_internal: the module context, the resource and localization
// services, and batch path property reads and writes. See lattice_internal.h
// (the internal interface table is in lattice_internal_table.cpp).
#include "lattice_internal.h"

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

std::string Localize(const std::string& sContext, const std::string& sToken,
                     const std::string& sArg1, const std::string& sArg2, const std::string& sArg3) {
    if (!g_pLocalizationMgr) {
        return sToken;
    }
    return g_pLocalizationMgr->Localize(sContext, sToken, sArg1, sArg2, sArg3);
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
    if (unSize > k_unMaxResourcePathSize) {
        return std::string();  // not a path: a faulty answer, not worth gigabytes
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

// The source lines the batch assertions report. They are stable identifiers
// that people and tools match on, not the lines the code stands on: keep them
// when the code moves.
constexpr unsigned int k_unLineTagMatches = 223;
constexpr unsigned int k_unLineSizeMatches = 224;
constexpr unsigned int k_unLineNextBoolValid = 229;
constexpr unsigned int k_unLineNextFloatValid = 234;
constexpr unsigned int k_unLineNextDoubleValid = 239;
constexpr unsigned int k_unLineNextInt32Valid = 244;
constexpr unsigned int k_unLineNextUInt64Valid = 249;
constexpr unsigned int k_unLineNextStringValid = 254;
constexpr unsigned int k_unLineStringTagMatches = 259;
constexpr unsigned int k_unLineStringHasBuffer = 260;
constexpr unsigned int k_unLineBlobHasData = 265;
constexpr unsigned int k_unLineNextBlobValid = 266;
constexpr unsigned int k_unLineWriteCoversBuffer = 372;

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
        // Resolved once: the resolution is remembered in the caller's record
        // (its resolution fields are mutable, so a const table works too).
        const CVRPathHandle& handle = pHandles[i];
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

// Typed reads. Each takes the record under the cursor and moves the cursor on,
// whatever the record holds, so that a sequence of reads stays aligned with
// the records. A record with an error yields the caller's default; a record
// of another type or size is reported, and its value is only read when the
// buffer holds enough bytes for it.
template <typename T>
T CVRPathReads::NextValue(vr::PathValueTag_t unTag, T defaultValue, unsigned int unValidLine) {
    TESSERA_ASSERT_MSG_AT(__FILE__, unValidLine, IsValid(), "IsValid()");
    if (!IsValid()) {
        return defaultValue;
    }
    vr::PathRead_t* pRead = m_pCursor++;
    if (pRead->eError != 0) {
        return defaultValue;
    }
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineTagMatches, pRead->unTag == unTag,
                          "pRead->unTag == unTag");
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineSizeMatches, pRead->unRequiredBufferSize == sizeof(T),
                          "pRead->unRequiredBufferSize == sizeof( T )");
    if (!pRead->pvBuffer || pRead->unBufferSize < sizeof(T)) {
        return defaultValue;
    }
    return LoadValue<T>(pRead->pvBuffer);
}

bool CVRPathReads::NextBool(bool bDefault) {
    return NextValue<bool>(vr::k_unBoolPropertyTag, bDefault, k_unLineNextBoolValid);
}

float CVRPathReads::NextFloat(float flDefault) {
    return NextValue<float>(vr::k_unFloatPropertyTag, flDefault, k_unLineNextFloatValid);
}

double CVRPathReads::NextDouble(double dflDefault) {
    return NextValue<double>(vr::k_unDoublePropertyTag, dflDefault, k_unLineNextDoubleValid);
}

int CVRPathReads::NextInt32(int nDefault) {
    return NextValue<int32_t>(vr::k_unInt32PropertyTag, nDefault, k_unLineNextInt32Valid);
}

unsigned long CVRPathReads::NextUInt64(unsigned long ulDefault) {
    return NextValue<uint64_t>(vr::k_unUint64PropertyTag, ulDefault, k_unLineNextUInt64Valid);
}

std::string CVRPathReads::NextString(char const* pchDefault) {
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineNextStringValid, IsValid(), "IsValid()");
    std::string strDefault = pchDefault ? pchDefault : "";
    if (!IsValid()) {
        return strDefault;
    }
    vr::PathRead_t* pRead = m_pCursor++;
    if (pRead->eError != 0) {
        return strDefault;
    }
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineStringTagMatches,
                          pRead->unTag == vr::k_unStringPropertyTag,
                          "pRead->unTag == vr::k_unStringPropertyTag");
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineStringHasBuffer, pRead->unBufferSize > 0u,
                          "pRead->unBufferSize > 0u");
    if (pRead->unBufferSize == 0 || !pRead->pvBuffer) {
        return std::string();
    }
    return std::string(static_cast<const char*>(pRead->pvBuffer), pRead->unBufferSize - 1);
}

bool CVRPathReads::NextBlob(void* pData, unsigned int unSize, unsigned int unTag) {
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineBlobHasData, pData, "pData");
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineNextBlobValid, IsValid(), "IsValid()");
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
void CVRPathWrites::PushRecord(unsigned long ulPath, char const* pchPath, unsigned int unSize,
                               unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    m_scratch.ulPath = pchPath ? 0 : ulPath;
    m_scratch.pszPath = pchPath;
    m_scratch.unBufferSize = unSize;
    m_scratch.unTag = unTag;
    m_scratch.unOptions = (pOptions ? *pOptions : vr::k_DefaultPathWriteOptions).unFlags;
    m_writes.push_back(m_scratch);
}

template <typename T>
void CVRPathWrites::PushValue(unsigned long ulPath, char const* pchPath, T value,
                              unsigned int unTag, vr::PathWriteOptions_t const* pOptions) {
    const uint8_t* pBytes = reinterpret_cast<const uint8_t*>(&value);
    m_buffer.insert(m_buffer.end(), pBytes, pBytes + sizeof(T));
    PushRecord(ulPath, pchPath, sizeof(T), unTag, pOptions);
}

void CVRPathWrites::Push(unsigned long ulPath, float flValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<float>(ulPath, nullptr, flValue, vr::k_unFloatPropertyTag, pOptions);
}
void CVRPathWrites::Push(unsigned long ulPath, int nValue, vr::PathWriteOptions_t const* pOptions) {
    PushValue<int32_t>(ulPath, nullptr, nValue, vr::k_unInt32PropertyTag, pOptions);
}
void CVRPathWrites::Push(unsigned long ulPath, unsigned long ulValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<uint64_t>(ulPath, nullptr, ulValue, vr::k_unUint64PropertyTag, pOptions);
}
void CVRPathWrites::Push(unsigned long ulPath, double dflValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<double>(ulPath, nullptr, dflValue, vr::k_unDoublePropertyTag, pOptions);
}
void CVRPathWrites::Push(unsigned long ulPath, bool bValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<uint8_t>(ulPath, nullptr, bValue ? 1 : 0, vr::k_unBoolPropertyTag, pOptions);
}
void CVRPathWrites::Push(unsigned long ulPath, char const* pchValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushRecord(ulPath, nullptr, CopyToBuffer(pchValue), vr::k_unStringPropertyTag, pOptions);
}

void CVRPathWrites::Push(char const* pchPath, float flValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<float>(0, pchPath, flValue, vr::k_unFloatPropertyTag, pOptions);
}
void CVRPathWrites::Push(char const* pchPath, int nValue, vr::PathWriteOptions_t const* pOptions) {
    PushValue<int32_t>(0, pchPath, nValue, vr::k_unInt32PropertyTag, pOptions);
}
void CVRPathWrites::Push(char const* pchPath, unsigned long ulValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<uint64_t>(0, pchPath, ulValue, vr::k_unUint64PropertyTag, pOptions);
}
void CVRPathWrites::Push(char const* pchPath, double dflValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushValue<double>(0, pchPath, dflValue, vr::k_unDoublePropertyTag, pOptions);
}
void CVRPathWrites::Push(char const* pchPath, bool bValue, vr::PathWriteOptions_t const* pOptions) {
    PushValue<uint8_t>(0, pchPath, bValue ? 1 : 0, vr::k_unBoolPropertyTag, pOptions);
}
void CVRPathWrites::Push(char const* pchPath, char const* pchValue,
                         vr::PathWriteOptions_t const* pOptions) {
    PushRecord(0, pchPath, CopyToBuffer(pchValue), vr::k_unStringPropertyTag, pOptions);
}

void CVRPathWrites::PushWrite(unsigned long ulPath, unsigned int unSize, unsigned int unTag,
                              vr::PathWriteOptions_t const* pOptions) {
    PushRecord(ulPath, nullptr, unSize, unTag, pOptions);
}

void CVRPathWrites::PushWrite(char const* pchPath, unsigned int unSize, unsigned int unTag,
                              vr::PathWriteOptions_t const* pOptions) {
    PushRecord(0, pchPath, unSize, unTag, pOptions);
}

// Sends the batch. Each record's value pointer is the buffer start plus the
// sizes of the records before it; the records must account for the whole
// buffer. Write does not clear the batch.
bool CVRPathWrites::Write(unsigned long ulContainer) {
    // Offsets, not pointers, so that a record running past the buffer is
    // never turned into an out-of-range pointer.
    size_t nOffset = 0;
    for (vr::PathWrite_t& write : m_writes) {
        write.pvBuffer = nOffset <= m_buffer.size() ? m_buffer.data() + nOffset : nullptr;
        nOffset += write.unBufferSize;
    }
    TESSERA_ASSERT_MSG_AT(__FILE__, k_unLineWriteCoversBuffer, nOffset == m_buffer.size(),
                          "pNext == ( m_buffer.data() + m_buffer.size() )");
    // Records that claim more bytes than the buffer holds would make the
    // runtime read past it: such a batch is not sent.
    if (nOffset > m_buffer.size()) {
        return false;
    }
    CPathsAccess* pPaths = VRPaths();
    if (!pPaths) {
        return false;
    }
    return pPaths->m_pPaths->WriteBatch(ulContainer, m_writes.data(),
                                        static_cast<uint32_t>(m_writes.size())) == 0;
}

}  // namespace vr_internal
