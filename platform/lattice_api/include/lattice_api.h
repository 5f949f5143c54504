// lattice_api: the runtime client library (liblattice_api.so).
//
// A program reaches the VR runtime only through what this header declares: the
// exported VR_* functions, VRControlPanel(), and the interfaces that
// VR_GetGenericInterface hands out by version string. Interfaces are classes
// of pure virtual methods whose positions in the method table are part of the
// contract; positions this runtime does not offer to clients exist as
// Unused<N> entries, which record an unexpected call and answer 0.
//
// Thread safety: every function and interface method may be called from any
// thread. Interface pointers stay valid for the life of the process; calls made
// while not connected answer the neutral value (false, 0, null, an error code).
// Failure: init problems are ELatticeInitError codes (VR_GetVRInitErrorAsSymbol
// names them); methods answer their documented error codes or neutral values.
// A runtime that goes away while connected makes the next event poll deliver
// LatticeEvent_Quit once.
#pragma once

#include <cstddef>
#include <cstdint>

#define LATTICE_API extern "C" __attribute__((visibility("default")))
#define LATTICE_CLASS __attribute__((visibility("default")))

namespace Json {
class Value;
}

namespace vr {

// Init errors. The symbols printed by VR_GetVRInitErrorAsSymbol are the
// enumerator names.
enum ELatticeInitError : int32_t {
    LatticeInitError_None = 0,
    LatticeInitError_Unknown = 100,
    LatticeInitError_RuntimeUnreachable = 101,  // no simulator/runtime socket answered
    LatticeInitError_ProtocolMismatch = 102,    // the runtime speaks another protocol
    LatticeInitError_ConnectionLost = 103,      // the runtime went away
    LatticeInitError_NotInitialized = 104,      // call made before VR_InitInternal2
    LatticeInitError_InterfaceVersionNotServed = 105,
    LatticeInitError_InvalidApplicationType = 106,
    LatticeInitError_InvalidStartupInfo = 107,  // start-up options are not a JSON object
    LatticeInitError_HeadsetNotFound = 108,
    LatticeInitError_RuntimeRefused = 109,
    LatticeInitError_AlreadyInitialized = 110,
};

enum ELatticeAppType : int32_t {
    LatticeApp_Other = 0,
    LatticeApp_Scene = 1,
    LatticeApp_Overlay = 2,
    LatticeApp_Background = 3,
    LatticeApp_Utility = 4,
    LatticeApp_Max = 5,
};

// A 3-vector of 32-bit floats, the runtime's basic geometry type.
struct HmdVector3_t {
    float v[3];
};

// Event types that clients of this runtime consume.
enum ELatticeEventType : uint32_t {
    LatticeEvent_None = 0,
    LatticeEvent_ConsoleOpened = 420,
    LatticeEvent_ConsoleClosed = 421,
    LatticeEvent_ScreenshotTriggered = 516,
    LatticeEvent_ScreenshotTaken = 521,
    LatticeEvent_ScreenshotFailed = 522,
    LatticeEvent_ScreenshotSubmitted = 523,
    LatticeEvent_Quit = 700,
};

#pragma pack(push, 4)
struct LatticeEventConsole_t {
    uint64_t ulConsoleId;
};
struct LatticeEventScreenshot_t {
    uint32_t handle;
    uint32_t type;
};
union LatticeEventData_t {
    LatticeEventConsole_t console;
    LatticeEventScreenshot_t screenshot;
    uint8_t rgubRaw[48];
};
// 60 bytes: type at offset 0, data from offset 12.
struct LatticeEvent_t {
    uint32_t eventType;
    uint32_t trackedDeviceIndex;
    float eventAgeSeconds;
    LatticeEventData_t data;
};
#pragma pack(pop)
static_assert(sizeof(LatticeEvent_t) == 60, "event record is 60 bytes");
static_assert(offsetof(LatticeEvent_t, eventType) == 0, "event type at offset 0");
static_assert(offsetof(LatticeEvent_t, data) == 12, "event data at offset 12");

typedef uint32_t DeviceIndex_t;
constexpr DeviceIndex_t k_unDeviceIndexHeadset = 0;
constexpr DeviceIndex_t k_unDeviceIndexInvalid = 0xFFFFFFFF;
typedef uint64_t ContainerHandle_t;
constexpr ContainerHandle_t k_ulInvalidContainer = 0;

enum ESettingsError : int32_t {
    SettingsError_None = 0,
    SettingsError_NotConnected = 1,
    SettingsError_KeyNotSet = 2,
    SettingsError_WrongType = 3,
};

typedef uint32_t ScreenshotHandle_t;
constexpr ScreenshotHandle_t k_unScreenshotHandleInvalid = 0;

enum EScreenshotType : int32_t {
    ScreenshotType_None = 0,
    ScreenshotType_Flat = 1,
    ScreenshotType_Stereo = 2,
    ScreenshotType_Cube = 3,
};

enum EScreenshotFileKind : int32_t {
    ScreenshotFile_First = 0,   // the first requested file
    ScreenshotFile_Second = 1,  // the second ("_VR") file
};

enum EScreenshotError : int32_t {
    ScreenshotError_None = 0,
    ScreenshotError_NotConnected = 1,
    ScreenshotError_UnknownHandle = 2,
    ScreenshotError_BufferTooSmall = 3,
    ScreenshotError_InvalidArgument = 4,
    ScreenshotError_RequestFailed = 5,
};

// Typed values stored under paths (IVRPaths).
typedef uint64_t PathHandle_t;
typedef uint32_t PathValueTag_t;
constexpr PathValueTag_t k_unInvalidPropertyTag = 0;
constexpr PathValueTag_t k_unFloatPropertyTag = 1;
constexpr PathValueTag_t k_unInt32PropertyTag = 2;
constexpr PathValueTag_t k_unUint64PropertyTag = 3;
constexpr PathValueTag_t k_unBoolPropertyTag = 4;
constexpr PathValueTag_t k_unStringPropertyTag = 5;
constexpr PathValueTag_t k_unDoublePropertyTag = 7;

enum EPathError : int32_t {
    PathError_None = 0,
    PathError_NotConnected = 1,
    PathError_InvalidContainer = 2,
    PathError_UnknownPath = 3,
    PathError_BufferTooSmall = 4,
    PathError_InvalidArgument = 5,
};

// Read record, 40 bytes. The caller fills ulPath, pvBuffer and unBufferSize;
// the runtime writes unTag, unRequiredBufferSize and eError and, when the
// buffer is large enough, the value.
struct PathRead_t {
    PathHandle_t ulPath;
    void* pvBuffer;
    uint32_t unBufferSize;
    PathValueTag_t unTag;
    uint32_t unRequiredBufferSize;
    uint32_t eError;
    uint64_t ulReserved;
};
static_assert(sizeof(PathRead_t) == 40, "read record is 40 bytes");
static_assert(offsetof(PathRead_t, eError) == 28 && offsetof(PathRead_t, ulReserved) == 32,
              "read record layout");

// Write record, 56 bytes. The path is ulPath, or pszPath when ulPath is 0.
struct PathWrite_t {
    PathHandle_t ulPath;
    uint64_t ulReserved0;
    const void* pvBuffer;
    uint32_t unBufferSize;
    PathValueTag_t unTag;
    uint32_t unReserved1;
    const char* pszPath;
    uint8_t unOptions;
    uint8_t unReserved2;
};
static_assert(sizeof(PathWrite_t) == 56, "write record is 56 bytes");
static_assert(offsetof(PathWrite_t, pvBuffer) == 16 && offsetof(PathWrite_t, unTag) == 28 &&
                  offsetof(PathWrite_t, unReserved1) == 32 &&
                  offsetof(PathWrite_t, pszPath) == 40 && offsetof(PathWrite_t, unOptions) == 48 &&
                  offsetof(PathWrite_t, unReserved2) == 49,
              "write record layout");

struct PathWriteOptions_t {
    uint8_t unFlags;
};
constexpr PathWriteOptions_t k_DefaultPathWriteOptions = {1};

// Version strings.
inline constexpr const char* IVRSystem_Version = "IVRSystem_023";
inline constexpr const char* IVRCompositor_Version = "IVRCompositor_029";
inline constexpr const char* IVROverlay_Version = "IVROverlay_028";
inline constexpr const char* IVRSettings_Version = "IVRSettings_003";
inline constexpr const char* IVRScreenshots_Version = "IVRScreenshots_001";
inline constexpr const char* IVRProperties_Version = "IVRProperties_001";
inline constexpr const char* IVRInputInternal_Version = "IVRInputInternal_002";
inline constexpr const char* IVRControlPanel_Version = "IVRControlPanel_006";
inline constexpr const char* IVRResources_Version = "IVRResources_001";
inline constexpr const char* IVRPaths_Version = "IVRPaths_002";
inline constexpr const char* IVRClientInternal_Version = "IVRClientInternal_XXX";
inline constexpr const char* IVRServerInternal_Version = "IVRServerInternal_XXX";

// Placeholder positions: LATTICE_UNUSED_SLOTS_a_b declares positions a to b.
#define LATTICE_UNUSED_SLOT(n) virtual uint64_t Unused##n() = 0;
// clang-format off
#define LATTICE_UNUSED_SLOTS_0_2 \
    LATTICE_UNUSED_SLOT(0) LATTICE_UNUSED_SLOT(1) LATTICE_UNUSED_SLOT(2)
#define LATTICE_UNUSED_SLOTS_0_4 \
    LATTICE_UNUSED_SLOTS_0_2 LATTICE_UNUSED_SLOT(3) LATTICE_UNUSED_SLOT(4)
#define LATTICE_UNUSED_SLOTS_0_8 \
    LATTICE_UNUSED_SLOTS_0_4 LATTICE_UNUSED_SLOT(5) LATTICE_UNUSED_SLOT(6) \
    LATTICE_UNUSED_SLOT(7) LATTICE_UNUSED_SLOT(8)
#define LATTICE_UNUSED_SLOTS_10_15 \
    LATTICE_UNUSED_SLOT(10) LATTICE_UNUSED_SLOT(11) LATTICE_UNUSED_SLOT(12) \
    LATTICE_UNUSED_SLOT(13) LATTICE_UNUSED_SLOT(14) LATTICE_UNUSED_SLOT(15)
#define LATTICE_UNUSED_SLOTS_16_20 \
    LATTICE_UNUSED_SLOT(16) LATTICE_UNUSED_SLOT(17) LATTICE_UNUSED_SLOT(18) \
    LATTICE_UNUSED_SLOT(19) LATTICE_UNUSED_SLOT(20)
#define LATTICE_UNUSED_SLOTS_0_15 \
    LATTICE_UNUSED_SLOTS_0_8 LATTICE_UNUSED_SLOT(9) LATTICE_UNUSED_SLOTS_10_15
#define LATTICE_UNUSED_SLOTS_10_20 LATTICE_UNUSED_SLOTS_10_15 LATTICE_UNUSED_SLOTS_16_20
#define LATTICE_UNUSED_SLOTS_0_22 \
    LATTICE_UNUSED_SLOTS_0_15 LATTICE_UNUSED_SLOTS_16_20 LATTICE_UNUSED_SLOT(21) \
    LATTICE_UNUSED_SLOT(22)
#define LATTICE_UNUSED_SLOTS_0_24 \
    LATTICE_UNUSED_SLOTS_0_22 LATTICE_UNUSED_SLOT(23) LATTICE_UNUSED_SLOT(24)
#define LATTICE_UNUSED_SLOTS_0_28 \
    LATTICE_UNUSED_SLOTS_0_24 LATTICE_UNUSED_SLOT(25) LATTICE_UNUSED_SLOT(26) \
    LATTICE_UNUSED_SLOT(27) LATTICE_UNUSED_SLOT(28)
// clang-format on

// Interfaces handed out without methods that clients of this runtime use:
// every one of their positions is an unused slot.
class LATTICE_CLASS IVRGenericInterface {
public:
    LATTICE_UNUSED_SLOTS_0_15

protected:
    ~IVRGenericInterface() = default;
};

// "IVRSystem_023"
class LATTICE_CLASS IVRSystem {
public:
    LATTICE_UNUSED_SLOTS_0_28
    // 29: takes the oldest pending event. false when none is pending, when
    // pEvent is null or when cubEvent is not sizeof(LatticeEvent_t).
    virtual bool TakeNextEvent(LatticeEvent_t* pEvent, uint32_t cubEvent) = 0;

protected:
    ~IVRSystem() = default;
};

// "IVRSettings_003". A key without a value answers false / 0 and, when peError
// is given, SettingsError_KeyNotSet.
class LATTICE_CLASS IVRSettings {
public:
    LATTICE_UNUSED_SLOTS_0_4
    virtual bool GetBool(const char* pchSection, const char* pchSettingsKey,
                         ESettingsError* peError) = 0;  // 5
    virtual int32_t GetInt32(const char* pchSection, const char* pchSettingsKey,
                             ESettingsError* peError) = 0;  // 6

protected:
    ~IVRSettings() = default;
};

// "IVRProperties_001"
class LATTICE_CLASS IVRProperties {
public:
    LATTICE_UNUSED_SLOTS_0_2
    // 3: the device's property container, k_ulInvalidContainer (0)
    // when there is none.
    virtual ContainerHandle_t GetDevicePropertyContainer(DeviceIndex_t nDevice) = 0;

protected:
    ~IVRProperties() = default;
};

// "IVRInputInternal_002"
class LATTICE_CLASS IVRInputInternal {
public:
    LATTICE_UNUSED_SLOTS_0_22
    // 23: tells the input system that the dashboard process is up.
    virtual void SetDashboardProcessMode(uint32_t unMode) = 0;

protected:
    ~IVRInputInternal() = default;
};

// The control panel, from VRControlPanel() ("IVRControlPanel_006").
class LATTICE_CLASS IVRControlPanel {
public:
    LATTICE_UNUSED_SLOTS_0_8
    virtual void StartOverlayApplications() = 0;  // 9
    LATTICE_UNUSED_SLOTS_10_20
    // 21: shows a log line in the web console ulConsoleHandle, or in every
    // open console for handle 0.
    virtual void ShowConsoleLine(uint64_t ulConsoleHandle, const char* pchLogName,
                                 uint32_t unTimeStampMs, int32_t nLevel, const char* pchText) = 0;

protected:
    ~IVRControlPanel() = default;
};

// "IVRScreenshots_001"
class LATTICE_CLASS IVRScreenshots {
public:
    // 0: asks for a screenshot into the two named files; *pOutHandle receives
    // its handle. Taken (521) or failed (522) follows as an event.
    virtual EScreenshotError RequestScreenshotFiles(ScreenshotHandle_t* pOutHandle,
                                                    EScreenshotType type,
                                                    const char* pchFirstFilename,
                                                    const char* pchSecondFilename) = 0;
    LATTICE_UNUSED_SLOT(1)
    // 2: the type the screenshot was taken as.
    virtual EScreenshotType GetScreenshotType(ScreenshotHandle_t handle,
                                              EScreenshotError* pError) = 0;
    // 3: one of the screenshot's file names; answers the size it needs,
    // terminator included, and writes it when it fits.
    virtual uint32_t GetScreenshotFileName(ScreenshotHandle_t handle, EScreenshotFileKind eKind,
                                           char* pchFileName, uint32_t cchFileName,
                                           EScreenshotError* pError) = 0;

protected:
    ~IVRScreenshots() = default;
};

// "IVRResources_001"
class LATTICE_CLASS IVRResources {
public:
    LATTICE_UNUSED_SLOT(0)
    // 1: the full path of a resource ("{name}/rest" names a resource root)
    // in the runtime's resource directory. Answers the size the path needs,
    // terminator included (0 when the resource does not exist), and writes the
    // path only when that size fits unBufferLen; otherwise the buffer is left
    // as it was.
    virtual uint32_t ResolveResourcePath(const char* pchResourceName,
                                         const char* pchResourceTypeDirectory, char* pchPathBuffer,
                                         uint32_t unBufferLen) = 0;

protected:
    ~IVRResources() = default;
};

// "IVRPaths_002": typed values per container and path.
class LATTICE_CLASS IVRPaths {
public:
    // 0: fills each record; see PathRead_t. Answers a batch error, 0 on success
    // (per-record problems are in the records).
    virtual uint32_t ReadBatch(ContainerHandle_t ulContainer, PathRead_t* pBatch,
                               uint32_t unBatchEntries) = 0;
    // 1: stores every record's value; nothing is stored when the batch fails.
    virtual uint32_t WriteBatch(ContainerHandle_t ulContainer, PathWrite_t* pBatch,
                                uint32_t unBatchEntries) = 0;
    // 2: the handle of a path string (the same string always gets the same
    // handle; handles are never 0).
    virtual uint32_t PathToHandle(PathHandle_t* pHandle, const char* pchPath) = 0;

protected:
    ~IVRPaths() = default;
};

// "IVRClientInternal_XXX"
class LATTICE_CLASS IVRClientInternal {
public:
    LATTICE_UNUSED_SLOTS_0_24
    // 25: posts a JSON value to the named mailbox; true when it was delivered.
    virtual bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) = 0;

protected:
    ~IVRClientInternal() = default;
};

// "IVRServerInternal_XXX"
class LATTICE_CLASS IVRServerInternal {
public:
    LATTICE_UNUSED_SLOTS_0_24
    LATTICE_UNUSED_SLOT(25)
    // 26: posts a JSON value to the named mailbox; true when it was delivered.
    virtual bool PostMailboxMessage(const char* pchMailbox, const Json::Value& message) = 0;

protected:
    ~IVRServerInternal() = default;
};

// Interfaces this runtime hands out whose methods no client here calls.
class IVRCompositor : public IVRGenericInterface {};
class IVROverlay : public IVRGenericInterface {};
class IVRRenderModels : public IVRGenericInterface {};
class IVRRenderModelsInternal : public IVRGenericInterface {};
class IVRDriverManager : public IVRGenericInterface {};
class IVRSettingsInternal : public IVRGenericInterface {};
class IVRPathsInternal : public IVRGenericInterface {};
class IVRPropertiesInternal : public IVRGenericInterface {};
class IVRDriverInputInternal : public IVRGenericInterface {};
class IVRSystemLayerInternal : public IVRGenericInterface {};
class IVRCompositorSystemInternal : public IVRGenericInterface {};
class IVRInput : public IVRGenericInterface {};
class IVRChaperone : public IVRGenericInterface {};
class IVRChaperoneSetup : public IVRGenericInterface {};
class IVRChaperoneInternal : public IVRGenericInterface {};
class IVRChaperoneServerDriver : public IVRGenericInterface {};
class IVRApplications : public IVRGenericInterface {};
class IVRMailbox : public IVRGenericInterface {};
class IVRDebug : public IVRGenericInterface {};
class IVRBlockQueue : public IVRGenericInterface {};
class IVRApplicationsInternal : public IVRGenericInterface {};
class IVRNotificationsInternal : public IVRGenericInterface {};
class IVROverlayInternal : public IVRGenericInterface {};
class IVRExtendedDisplay : public IVRGenericInterface {};
class IVRTrackedCameraInternal : public IVRGenericInterface {};
class IVRCameraPassthroughInternal : public IVRGenericInterface {};
class IVRDriverDirectInternal : public IVRGenericInterface {};

}  // namespace vr

// Connects to the runtime. *peError receives 0 on success or an ELatticeInitError;
// the result is the runtime's init token (0 on failure). The socket path comes
// from LATTICE_SIM_SOCKET, else $XDG_RUNTIME_DIR/lattice-sim.sock, else
// /tmp/lattice-sim-<uid>.sock. Calling it while connected reconnects. A runtime
// that runs as another user (not root), hands over an unsealed shared page or
// does not answer within 10 s counts as unreachable
// (LatticeInitError_RuntimeUnreachable, with the reason on stderr); a call that
// gets no answer within 30 s counts as a lost connection (the next poll
// delivers the quit event).
LATTICE_API uint32_t VR_InitInternal2(vr::ELatticeInitError* peError,
                                      vr::ELatticeAppType eApplicationType,
                                      const char* pStartupInfo);
// Disconnects; pending events fetched but not yet polled go back to the runtime.
LATTICE_API void VR_ShutdownInternal();
// true when connected and the runtime serves this interface version.
LATTICE_API bool VR_IsInterfaceVersionValid(const char* pchInterfaceVersion);
// The current init token; it changes whenever the runtime connection is remade.
LATTICE_API uint32_t VR_GetInitToken();
// The interface for a version string, or null (with LatticeInitError_NotInitialized
// or LatticeInitError_InterfaceVersionNotServed in *peError when given).
LATTICE_API void* VR_GetGenericInterface(const char* pchInterfaceVersion,
                                         vr::ELatticeInitError* peError);
// A printable symbol for every code; never null.
LATTICE_API const char* VR_GetVRInitErrorAsSymbol(vr::ELatticeInitError error);
// The control panel, or null when not connected or not served.
LATTICE_API vr::IVRControlPanel* VRControlPanel();

namespace vr {
using ::VR_GetGenericInterface;
using ::VR_GetInitToken;
using ::VR_GetVRInitErrorAsSymbol;
using ::VR_InitInternal2;
using ::VR_IsInterfaceVersionValid;
using ::VR_ShutdownInternal;
using ::VRControlPanel;
}  // namespace vr
