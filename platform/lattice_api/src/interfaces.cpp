#include "interfaces.h"

#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "lattice_api.h"
#include "runtime_connection.h"

namespace lattice_stub {

using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;
using lattice_proto::Frame;

namespace {

CRuntimeConnection& Runtime() {
    return CRuntimeConnection::Get();
}

// Every interface object knows its version string, for the journal.
class CInterfaceBase {
public:
    explicit CInterfaceBase(std::string strVersion) : m_strVersion(std::move(strVersion)) {}
    virtual ~CInterfaceBase() = default;
    virtual void* AsInterface() = 0;

protected:
    uint64_t Unexpected(int nSlot) {
        Runtime().ReportUnexpected(m_strVersion.c_str(), nSlot);
        return 0;
    }
    std::string m_strVersion;
};

#define LATTICE_UNUSED_IMPL(n)      \
    uint64_t Unused##n() override { \
        return Unexpected(n);       \
    }
// clang-format off
#define LATTICE_UNUSED_IMPL_0_15 \
    LATTICE_UNUSED_IMPL(0) LATTICE_UNUSED_IMPL(1) LATTICE_UNUSED_IMPL(2) LATTICE_UNUSED_IMPL(3) \
    LATTICE_UNUSED_IMPL(4) LATTICE_UNUSED_IMPL(5) LATTICE_UNUSED_IMPL(6) LATTICE_UNUSED_IMPL(7) \
    LATTICE_UNUSED_IMPL(8) LATTICE_UNUSED_IMPL(9) LATTICE_UNUSED_IMPL(10) LATTICE_UNUSED_IMPL(11) \
    LATTICE_UNUSED_IMPL(12) LATTICE_UNUSED_IMPL(13) LATTICE_UNUSED_IMPL(14) LATTICE_UNUSED_IMPL(15)

#define LATTICE_UNUSED_IMPL_16_24 \
    LATTICE_UNUSED_IMPL(16) LATTICE_UNUSED_IMPL(17) LATTICE_UNUSED_IMPL(18) LATTICE_UNUSED_IMPL(19) \
    LATTICE_UNUSED_IMPL(20) LATTICE_UNUSED_IMPL(21) LATTICE_UNUSED_IMPL(22) LATTICE_UNUSED_IMPL(23) \
    LATTICE_UNUSED_IMPL(24)
// clang-format on

// A class whose destructor the interface keeps protected still needs a public
// one here so that the registry can own the object.
template <typename TInterface>
class CInterfaceImpl : public CInterfaceBase, public TInterface {
public:
    using CInterfaceBase::CInterfaceBase;
    void* AsInterface() override { return static_cast<TInterface*>(this); }
};

class CGenericImpl final : public CInterfaceImpl<vr::IVRGenericInterface> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL_0_15
};

class CSystemImpl final : public CInterfaceImpl<vr::IVRSystem> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL_0_15
    LATTICE_UNUSED_IMPL_16_24
    LATTICE_UNUSED_IMPL(25)
    LATTICE_UNUSED_IMPL(26)
    LATTICE_UNUSED_IMPL(27)
    LATTICE_UNUSED_IMPL(28)

    bool TakeNextEvent(vr::LatticeEvent_t* pEvent, uint32_t cubEvent) override {
        if (!pEvent || cubEvent != sizeof(vr::LatticeEvent_t)) {
            return false;
        }
        return Runtime().PollEvent(pEvent);
    }
};

class CSettingsImpl final : public CInterfaceImpl<vr::IVRSettings> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL(0)
    LATTICE_UNUSED_IMPL(1)
    LATTICE_UNUSED_IMPL(2)
    LATTICE_UNUSED_IMPL(3)
    LATTICE_UNUSED_IMPL(4)

    bool GetBool(const char* pchSection, const char* pchKey, vr::ESettingsError* peError) override {
        return Get(pchSection, pchKey, lattice_proto::SettingKind_Bool, peError) != 0;
    }
    int32_t GetInt32(const char* pchSection, const char* pchKey,
                     vr::ESettingsError* peError) override {
        return static_cast<int32_t>(
            Get(pchSection, pchKey, lattice_proto::SettingKind_Int32, peError));
    }

private:
    int64_t Get(const char* pchSection, const char* pchKey, lattice_proto::ESettingKind eKind,
                vr::ESettingsError* peError) {
        CWireWriter request;
        request.Str(pchSection ? pchSection : "");
        request.Str(pchKey ? pchKey : "");
        request.U8(eKind);
        Frame reply;
        int32_t nError = vr::SettingsError_NotConnected;
        int64_t nValue = 0;
        if (Runtime().Call(lattice_proto::Op_L_SettingGet, request, reply)) {
            CWireReader reader(reply.payload);
            nError = reader.I32();
            nValue = reader.I64();
            if (!reader.Ok()) {
                nError = vr::SettingsError_NotConnected;
                nValue = 0;
            }
        }
        if (peError) {
            *peError = static_cast<vr::ESettingsError>(nError);
        }
        return nValue;
    }
};

class CPropertiesImpl final : public CInterfaceImpl<vr::IVRProperties> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL(0)
    LATTICE_UNUSED_IMPL(1)
    LATTICE_UNUSED_IMPL(2)

    vr::ContainerHandle_t GetDevicePropertyContainer(vr::DeviceIndex_t unDevice) override {
        CWireWriter request;
        request.U32(unDevice);
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_PropertyContainer, request, reply)) {
            return vr::k_ulInvalidContainer;
        }
        CWireReader reader(reply.payload);
        uint64_t ulContainer = reader.U64();
        return reader.Ok() ? ulContainer : vr::k_ulInvalidContainer;
    }
};

class CInputInternalImpl final : public CInterfaceImpl<vr::IVRInputInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL_0_15
    LATTICE_UNUSED_IMPL(16)
    LATTICE_UNUSED_IMPL(17)
    LATTICE_UNUSED_IMPL(18)
    LATTICE_UNUSED_IMPL(19)
    LATTICE_UNUSED_IMPL(20)
    LATTICE_UNUSED_IMPL(21)
    LATTICE_UNUSED_IMPL(22)

    void SetDashboardProcessMode(uint32_t unMode) override {
        CWireWriter request;
        request.U32(unMode);
        Frame reply;
        Runtime().Call(lattice_proto::Op_L_InputInternal, request, reply);
    }
};

class CControlPanelImpl final : public CInterfaceImpl<vr::IVRControlPanel> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL(0)
    LATTICE_UNUSED_IMPL(1)
    LATTICE_UNUSED_IMPL(2)
    LATTICE_UNUSED_IMPL(3)
    LATTICE_UNUSED_IMPL(4)
    LATTICE_UNUSED_IMPL(5)
    LATTICE_UNUSED_IMPL(6)
    LATTICE_UNUSED_IMPL(7)
    LATTICE_UNUSED_IMPL(8)
    LATTICE_UNUSED_IMPL(10)
    LATTICE_UNUSED_IMPL(11)
    LATTICE_UNUSED_IMPL(12)
    LATTICE_UNUSED_IMPL(13)
    LATTICE_UNUSED_IMPL(14)
    LATTICE_UNUSED_IMPL(15)
    LATTICE_UNUSED_IMPL(16)
    LATTICE_UNUSED_IMPL(17)
    LATTICE_UNUSED_IMPL(18)
    LATTICE_UNUSED_IMPL(19)
    LATTICE_UNUSED_IMPL(20)

    void StartOverlayApplications() override {
        Frame reply;
        Runtime().Call(lattice_proto::Op_L_StartOverlayApps, CWireWriter(), reply);
    }

    void ShowConsoleLine(uint64_t ulConsoleHandle, const char* pchLogName, uint32_t unTimeStampMs,
                         int32_t nLevel, const char* pchText) override {
        std::string_view logName = pchLogName ? pchLogName : "";
        std::string_view text = pchText ? pchText : "";
        CWireWriter request;
        request.Reserve(8 + 4 + logName.size() + 4 + 4 + 4 + text.size());
        request.U64(ulConsoleHandle);
        request.Str(logName);
        request.U32(unTimeStampMs);
        request.I32(nLevel);
        request.Str(text);
        // Nothing comes back: the line is on its way once sent, and waiting
        // for the runtime would cost every logging thread a round trip.
        Runtime().Post(lattice_proto::Op_L_ConsoleLine, request);
    }
};

class CScreenshotsImpl final : public CInterfaceImpl<vr::IVRScreenshots> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL(1)

    vr::EScreenshotError RequestScreenshotFiles(vr::ScreenshotHandle_t* pOutHandle,
                                                vr::EScreenshotType eType, const char* pchFirst,
                                                const char* pchSecond) override {
        if (!pOutHandle || !pchFirst || !pchSecond) {
            return vr::ScreenshotError_InvalidArgument;
        }
        CWireWriter request;
        request.I32(eType);
        request.Str(pchFirst);
        request.Str(pchSecond);
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_ScreenshotRequest, request, reply)) {
            return vr::ScreenshotError_NotConnected;
        }
        CWireReader reader(reply.payload);
        int32_t nError = reader.I32();
        uint32_t unHandle = reader.U32();
        if (!reader.Ok()) {
            return vr::ScreenshotError_NotConnected;
        }
        *pOutHandle = unHandle;
        return static_cast<vr::EScreenshotError>(nError);
    }

    vr::EScreenshotType GetScreenshotType(vr::ScreenshotHandle_t handle,
                                          vr::EScreenshotError* pError) override {
        CWireWriter request;
        request.U32(handle);
        Frame reply;
        int32_t nError = vr::ScreenshotError_NotConnected;
        int32_t nType = vr::ScreenshotType_None;
        if (Runtime().Call(lattice_proto::Op_L_ScreenshotType, request, reply)) {
            CWireReader reader(reply.payload);
            nError = reader.I32();
            nType = reader.I32();
            if (!reader.Ok()) {
                nError = vr::ScreenshotError_NotConnected;
                nType = vr::ScreenshotType_None;
            }
        }
        if (pError) {
            *pError = static_cast<vr::EScreenshotError>(nError);
        }
        return static_cast<vr::EScreenshotType>(nType);
    }

    uint32_t GetScreenshotFileName(vr::ScreenshotHandle_t handle, vr::EScreenshotFileKind eKind,
                                   char* pchFileName, uint32_t cchFileName,
                                   vr::EScreenshotError* pError) override {
        vr::EScreenshotError eScratch;
        vr::EScreenshotError& eError = pError ? *pError : eScratch;
        CWireWriter request;
        request.U32(handle);
        request.I32(eKind);
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_ScreenshotFilename, request, reply)) {
            eError = vr::ScreenshotError_NotConnected;
            return 0;
        }
        CWireReader reader(reply.payload);
        int32_t nError = reader.I32();
        std::string strName = reader.Str();
        if (!reader.Ok()) {
            eError = vr::ScreenshotError_NotConnected;
            return 0;
        }
        if (nError != vr::ScreenshotError_None) {
            eError = static_cast<vr::EScreenshotError>(nError);
            return 0;
        }
        uint32_t cchNeeded = static_cast<uint32_t>(strName.size() + 1);
        if (!pchFileName || cchFileName < cchNeeded) {
            eError = vr::ScreenshotError_BufferTooSmall;
            return cchNeeded;
        }
        std::memcpy(pchFileName, strName.c_str(), cchNeeded);
        eError = vr::ScreenshotError_None;
        return cchNeeded;
    }
};

class CResourcesImpl final : public CInterfaceImpl<vr::IVRResources> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL(0)

    uint32_t ResolveResourcePath(const char* pchName, const char* pchTypeDirectory,
                                 char* pchPathBuffer, uint32_t unBufferLen) override {
        if (!pchName) {
            return 0;
        }
        CWireWriter request;
        request.Str(pchName);
        request.Bool(pchTypeDirectory != nullptr);
        request.Str(pchTypeDirectory ? pchTypeDirectory : "");
        request.U32(pchPathBuffer ? unBufferLen : 0);
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_ResourcePath, request, reply)) {
            return 0;
        }
        CWireReader reader(reply.payload);
        std::string strPath = reader.Str();
        if (!reader.Ok() || strPath.empty()) {
            return 0;
        }
        uint32_t cubNeeded = static_cast<uint32_t>(strPath.size() + 1);
        if (pchPathBuffer && unBufferLen >= cubNeeded) {
            std::memcpy(pchPathBuffer, strPath.c_str(), cubNeeded);
        }
        return cubNeeded;
    }
};

class CPathsImpl final : public CInterfaceImpl<vr::IVRPaths> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    uint32_t ReadBatch(vr::ContainerHandle_t ulContainer, vr::PathRead_t* pBatch,
                       uint32_t unCount) override {
        if (!pBatch && unCount > 0) {
            return vr::PathError_InvalidArgument;
        }
        CWireWriter request;
        request.U64(ulContainer);
        request.U32(unCount);
        for (uint32_t i = 0; i < unCount; ++i) {
            request.U64(pBatch[i].ulPath);
            request.U32(pBatch[i].pvBuffer ? pBatch[i].unBufferSize : 0);
            request.U64(pBatch[i].ulReserved);
        }
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_PathsRead, request, reply)) {
            return vr::PathError_NotConnected;
        }
        CWireReader reader(reply.payload);
        uint32_t unError = reader.U32();
        if (unError != 0) {
            return reader.Ok() ? unError : static_cast<uint32_t>(vr::PathError_NotConnected);
        }
        for (uint32_t i = 0; i < unCount && reader.Ok(); ++i) {
            vr::PathRead_t& record = pBatch[i];
            uint32_t unTag = reader.U32();
            uint32_t unRequired = reader.U32();
            uint32_t unRecordError = reader.U32();
            std::string data = reader.Str();
            if (!reader.Ok()) {
                break;
            }
            record.unTag = unTag;
            record.unRequiredBufferSize = unRequired;
            record.eError = unRecordError;
            // Never more than the caller said its buffer holds.
            if (!data.empty() && record.pvBuffer && data.size() <= record.unBufferSize) {
                std::memcpy(record.pvBuffer, data.data(), data.size());
            }
        }
        return reader.Ok() ? 0u : static_cast<uint32_t>(vr::PathError_NotConnected);
    }

    uint32_t WriteBatch(vr::ContainerHandle_t ulContainer, vr::PathWrite_t* pBatch,
                        uint32_t unCount) override {
        if (!pBatch && unCount > 0) {
            return vr::PathError_InvalidArgument;
        }
        CWireWriter request;
        request.U64(ulContainer);
        request.U32(unCount);
        for (uint32_t i = 0; i < unCount; ++i) {
            const vr::PathWrite_t& record = pBatch[i];
            if (!record.pvBuffer && record.unBufferSize > 0) {
                return vr::PathError_InvalidArgument;
            }
            request.U64(record.ulPath);
            request.Bool(record.pszPath != nullptr);
            request.Str(record.pszPath ? record.pszPath : "");
            request.U32(record.unTag);
            request.Str(std::string_view(static_cast<const char*>(record.pvBuffer),
                                         record.pvBuffer ? record.unBufferSize : 0));
            request.U64(record.ulReserved0);
            request.U32(record.unReserved1);
            request.U8(record.unOptions);
            request.U8(record.unReserved2);
        }
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_PathsWrite, request, reply)) {
            return vr::PathError_NotConnected;
        }
        CWireReader reader(reply.payload);
        uint32_t unError = reader.U32();
        return reader.Ok() ? unError : static_cast<uint32_t>(vr::PathError_NotConnected);
    }

    uint32_t PathToHandle(vr::PathHandle_t* pHandle, const char* pchPath) override {
        if (!pHandle || !pchPath) {
            return vr::PathError_InvalidArgument;
        }
        CWireWriter request;
        request.Str(pchPath);
        Frame reply;
        if (!Runtime().Call(lattice_proto::Op_L_PathsStringToHandle, request, reply)) {
            return vr::PathError_NotConnected;
        }
        CWireReader reader(reply.payload);
        uint32_t unError = reader.U32();
        uint64_t ulHandle = reader.U64();
        if (!reader.Ok()) {
            return vr::PathError_NotConnected;
        }
        if (unError == 0) {
            *pHandle = ulHandle;
        }
        return unError;
    }
};

bool PostToMailbox(const std::string& strVia, const char* pchMailbox, const Json::Value& message) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    CWireWriter request;
    request.Str(strVia);
    request.Str(pchMailbox ? pchMailbox : "");
    request.Str(Json::writeString(builder, message));
    Frame reply;
    return Runtime().Call(lattice_proto::Op_L_MailboxPost, request, reply);
}

class CClientInternalImpl final : public CInterfaceImpl<vr::IVRClientInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL_0_15
    LATTICE_UNUSED_IMPL_16_24

    bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) override {
        return PostToMailbox(m_strVersion, pchMailbox, message);
    }
};

class CServerInternalImpl final : public CInterfaceImpl<vr::IVRServerInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    LATTICE_UNUSED_IMPL_0_15
    LATTICE_UNUSED_IMPL_16_24
    LATTICE_UNUSED_IMPL(25)

    bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) override {
        return PostToMailbox(m_strVersion, pchMailbox, message);
    }
};

std::unique_ptr<CInterfaceBase> MakeInterface(const std::string& strVersion) {
    if (strVersion == vr::IVRSystem_Version) {
        return std::make_unique<CSystemImpl>(strVersion);
    }
    if (strVersion == vr::IVRSettings_Version) {
        return std::make_unique<CSettingsImpl>(strVersion);
    }
    if (strVersion == vr::IVRProperties_Version) {
        return std::make_unique<CPropertiesImpl>(strVersion);
    }
    if (strVersion == vr::IVRInputInternal_Version) {
        return std::make_unique<CInputInternalImpl>(strVersion);
    }
    if (strVersion == vr::IVRControlPanel_Version) {
        return std::make_unique<CControlPanelImpl>(strVersion);
    }
    if (strVersion == vr::IVRScreenshots_Version) {
        return std::make_unique<CScreenshotsImpl>(strVersion);
    }
    if (strVersion == vr::IVRResources_Version) {
        return std::make_unique<CResourcesImpl>(strVersion);
    }
    if (strVersion == vr::IVRPaths_Version) {
        return std::make_unique<CPathsImpl>(strVersion);
    }
    if (strVersion == vr::IVRClientInternal_Version) {
        return std::make_unique<CClientInternalImpl>(strVersion);
    }
    if (strVersion == vr::IVRServerInternal_Version) {
        return std::make_unique<CServerInternalImpl>(strVersion);
    }
    return std::make_unique<CGenericImpl>(strVersion);
}

}  // namespace

void* FindInterface(std::string_view version) {
    static std::mutex s_mutex;
    // Leaked on purpose: pointers handed out must outlive every caller.
    // Looked up without building a string: every console line asks.
    static auto* s_pObjects =
        new std::map<std::string, std::unique_ptr<CInterfaceBase>, std::less<>>;
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_pObjects->find(version);
    if (it == s_pObjects->end()) {
        std::string strVersion(version);
        it = s_pObjects->emplace(strVersion, MakeInterface(strVersion)).first;
    }
    return it->second->AsInterface();
}

}  // namespace lattice_stub
