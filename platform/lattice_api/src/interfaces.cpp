#include "interfaces.h"

#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "interface_objects.h"
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

void ReportUnexpected(const char* pchInterface, int nSlot) {
    Runtime().ReportUnexpected(pchInterface, nSlot);
}

template <typename TInterface>
using CInterfaceImpl = stub_common::CInterfaceImpl<TInterface, &ReportUnexpected>;

class CSystemImpl final : public CInterfaceImpl<vr::IVRSystem> {
public:
    using CInterfaceImpl::CInterfaceImpl;

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
        int32_t nError = 0;
        int64_t nValue = 0;
        if (!Runtime().Ask(lattice_proto::Op_L_SettingGet, request, [&](CWireReader& reader) {
                nError = reader.I32();
                nValue = reader.I64();
            })) {
            nError = vr::SettingsError_NotConnected;
            nValue = 0;
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

    vr::ContainerHandle_t GetDevicePropertyContainer(vr::DeviceIndex_t unDevice) override {
        CWireWriter request;
        request.U32(unDevice);
        uint64_t ulContainer = 0;
        bool bAnswered = Runtime().Ask(lattice_proto::Op_L_PropertyContainer, request,
                                       [&](CWireReader& reader) { ulContainer = reader.U64(); });
        return bAnswered ? ulContainer : vr::k_ulInvalidContainer;
    }
};

class CInputInternalImpl final : public CInterfaceImpl<vr::IVRInputInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    void SetDashboardProcessMode(uint32_t unMode) override {
        CWireWriter request;
        request.U32(unMode);
        Runtime().Tell(lattice_proto::Op_L_InputInternal, request);
    }
};

class CControlPanelImpl final : public CInterfaceImpl<vr::IVRControlPanel> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    void StartOverlayApplications() override {
        Runtime().Tell(lattice_proto::Op_L_StartOverlayApps);
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
        int32_t nError = 0;
        uint32_t unHandle = 0;
        if (!Runtime().Ask(lattice_proto::Op_L_ScreenshotRequest, request,
                           [&](CWireReader& reader) {
                               nError = reader.I32();
                               unHandle = reader.U32();
                           })) {
            return vr::ScreenshotError_NotConnected;
        }
        *pOutHandle = unHandle;
        return static_cast<vr::EScreenshotError>(nError);
    }

    vr::EScreenshotType GetScreenshotType(vr::ScreenshotHandle_t handle,
                                          vr::EScreenshotError* pError) override {
        CWireWriter request;
        request.U32(handle);
        int32_t nError = 0;
        int32_t nType = 0;
        if (!Runtime().Ask(lattice_proto::Op_L_ScreenshotType, request, [&](CWireReader& reader) {
                nError = reader.I32();
                nType = reader.I32();
            })) {
            nError = vr::ScreenshotError_NotConnected;
            nType = vr::ScreenshotType_None;
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
        int32_t nError = 0;
        std::string strName;
        if (!Runtime().Ask(lattice_proto::Op_L_ScreenshotFilename, request,
                           [&](CWireReader& reader) {
                               nError = reader.I32();
                               strName = reader.Str();
                           })) {
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
        std::string strPath;
        if (!Runtime().Ask(lattice_proto::Op_L_ResourcePath, request,
                           [&](CWireReader& reader) { strPath = reader.Str(); }) ||
            strPath.empty()) {
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

    // One record of a read answer; a record cut short leaves it as it was.
    static void FillRecord(CWireReader& reader, vr::PathRead_t& record) {
        uint32_t unTag = reader.U32();
        uint32_t unRequired = reader.U32();
        uint32_t unError = reader.U32();
        std::string data = reader.Str();
        if (!reader.Ok()) {
            return;
        }
        record.unTag = unTag;
        record.unRequiredBufferSize = unRequired;
        record.eError = unError;
        // Never more than the caller said its buffer holds.
        if (!data.empty() && record.pvBuffer && data.size() <= record.unBufferSize) {
            std::memcpy(record.pvBuffer, data.data(), data.size());
        }
    }

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
        uint32_t unError = 0;
        bool bAnswered =
            Runtime().Ask(lattice_proto::Op_L_PathsRead, request, [&](CWireReader& reader) {
                unError = reader.U32();
                for (uint32_t i = 0; unError == 0 && i < unCount && reader.Ok(); ++i) {
                    FillRecord(reader, pBatch[i]);
                }
            });
        return bAnswered ? unError : static_cast<uint32_t>(vr::PathError_NotConnected);
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
        uint32_t unError = 0;
        bool bAnswered = Runtime().Ask(lattice_proto::Op_L_PathsWrite, request,
                                       [&](CWireReader& reader) { unError = reader.U32(); });
        return bAnswered ? unError : static_cast<uint32_t>(vr::PathError_NotConnected);
    }

    uint32_t PathToHandle(vr::PathHandle_t* pHandle, const char* pchPath) override {
        if (!pHandle || !pchPath) {
            return vr::PathError_InvalidArgument;
        }
        CWireWriter request;
        request.Str(pchPath);
        uint32_t unError = 0;
        uint64_t ulHandle = 0;
        if (!Runtime().Ask(lattice_proto::Op_L_PathsStringToHandle, request,
                           [&](CWireReader& reader) {
                               unError = reader.U32();
                               ulHandle = reader.U64();
                           })) {
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
    return Runtime().Tell(lattice_proto::Op_L_MailboxPost, request);
}

class CClientInternalImpl final : public CInterfaceImpl<vr::IVRClientInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) override {
        return PostToMailbox(m_strVersion, pchMailbox, message);
    }
};

class CServerInternalImpl final : public CInterfaceImpl<vr::IVRServerInternal> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) override {
        return PostToMailbox(m_strVersion, pchMailbox, message);
    }
};

}  // namespace

void* FindInterface(std::string_view version) {
    using stub_common::MakeObject;
    // Leaked on purpose: pointers handed out must outlive every caller.
    static auto* s_pRegistry = new stub_common::CInterfaceRegistry(
        {
            {vr::IVRSystem_Version, &MakeObject<CSystemImpl>},
            {vr::IVRSettings_Version, &MakeObject<CSettingsImpl>},
            {vr::IVRProperties_Version, &MakeObject<CPropertiesImpl>},
            {vr::IVRInputInternal_Version, &MakeObject<CInputInternalImpl>},
            {vr::IVRControlPanel_Version, &MakeObject<CControlPanelImpl>},
            {vr::IVRScreenshots_Version, &MakeObject<CScreenshotsImpl>},
            {vr::IVRResources_Version, &MakeObject<CResourcesImpl>},
            {vr::IVRPaths_Version, &MakeObject<CPathsImpl>},
            {vr::IVRClientInternal_Version, &MakeObject<CClientInternalImpl>},
            {vr::IVRServerInternal_Version, &MakeObject<CServerInternalImpl>},
        },
        &MakeObject<CInterfaceImpl<vr::IVRGenericInterface>>);
    return s_pRegistry->Find(version);
}

}  // namespace lattice_stub
