// The exported functions of the runtime client library.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "interfaces.h"
#include "lattice_api.h"
#include "runtime_connection.h"

using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;
using lattice_proto::Frame;
using lattice_stub::CRuntimeConnection;

LATTICE_API uint32_t VR_InitInternal2(vr::ELatticeInitError* peError,
                                      vr::ELatticeAppType eApplicationType,
                                      const char* pStartupInfo) {
    return CRuntimeConnection::Get().Init(peError, eApplicationType, pStartupInfo);
}

LATTICE_API void VR_ShutdownInternal() {
    CRuntimeConnection::Get().Shutdown();
}

LATTICE_API bool VR_IsInterfaceVersionValid(const char* pchInterfaceVersion) {
    if (!pchInterfaceVersion) {
        return false;
    }
    CWireWriter request;
    request.Str(pchInterfaceVersion);
    bool bValid = false;
    return CRuntimeConnection::Get().Ask(lattice_proto::Op_L_IsVersionValid, request,
                                         [&](CWireReader& reader) { bValid = reader.Bool(); }) &&
           bValid;
}

LATTICE_API uint32_t VR_GetInitToken() {
    return CRuntimeConnection::Get().InitToken();
}

LATTICE_API void* VR_GetGenericInterface(const char* pchInterfaceVersion,
                                         vr::ELatticeInitError* peError) {
    vr::ELatticeInitError eScratch;
    vr::ELatticeInitError& eError = peError ? *peError : eScratch;
    CRuntimeConnection& runtime = CRuntimeConnection::Get();
    if (!runtime.IsConnected()) {
        eError = vr::LatticeInitError_NotInitialized;
        return nullptr;
    }
    if (!pchInterfaceVersion) {
        eError = vr::LatticeInitError_InterfaceVersionNotServed;
        return nullptr;
    }
    CWireWriter request;
    request.Str(pchInterfaceVersion);
    Frame reply;
    if (!runtime.Call(lattice_proto::Op_L_GetInterface, request, reply)) {
        eError = vr::LatticeInitError_ConnectionLost;
        return nullptr;
    }
    CWireReader reader(reply.payload);
    bool bServed = reader.Bool();
    if (!reader.Ok() || !bServed) {
        eError = vr::LatticeInitError_InterfaceVersionNotServed;
        return nullptr;
    }
    eError = vr::LatticeInitError_None;
    return lattice_stub::FindInterface(pchInterfaceVersion);
}

LATTICE_API const char* VR_GetVRInitErrorAsSymbol(vr::ELatticeInitError error) {
    switch (error) {
        case vr::LatticeInitError_None:
            return "LatticeInitError_None";
        case vr::LatticeInitError_Unknown:
            return "LatticeInitError_Unknown";
        case vr::LatticeInitError_RuntimeUnreachable:
            return "LatticeInitError_RuntimeUnreachable";
        case vr::LatticeInitError_ProtocolMismatch:
            return "LatticeInitError_ProtocolMismatch";
        case vr::LatticeInitError_ConnectionLost:
            return "LatticeInitError_ConnectionLost";
        case vr::LatticeInitError_NotInitialized:
            return "LatticeInitError_NotInitialized";
        case vr::LatticeInitError_InterfaceVersionNotServed:
            return "LatticeInitError_InterfaceVersionNotServed";
        case vr::LatticeInitError_InvalidApplicationType:
            return "LatticeInitError_InvalidApplicationType";
        case vr::LatticeInitError_InvalidStartupInfo:
            return "LatticeInitError_InvalidStartupInfo";
        case vr::LatticeInitError_HeadsetNotFound:
            return "LatticeInitError_HeadsetNotFound";
        case vr::LatticeInitError_RuntimeRefused:
            return "LatticeInitError_RuntimeRefused";
        case vr::LatticeInitError_AlreadyInitialized:
            return "LatticeInitError_AlreadyInitialized";
    }
    // Codes this library never produces still get a stable, printable text.
    static std::mutex s_mutex;
    static auto* s_pNames = new std::map<int32_t, std::string>;
    std::lock_guard<std::mutex> lock(s_mutex);
    std::string& strName = (*s_pNames)[error];
    if (strName.empty()) {
        strName =
            "LatticeInitError_Unrecognized(" + std::to_string(static_cast<int32_t>(error)) + ")";
    }
    return strName.c_str();
}

LATTICE_API vr::IVRControlPanel* VRControlPanel() {
    if (!CRuntimeConnection::Get().IsServed(vr::IVRControlPanel_Version)) {
        return nullptr;
    }
    return static_cast<vr::IVRControlPanel*>(
        lattice_stub::FindInterface(vr::IVRControlPanel_Version));
}
