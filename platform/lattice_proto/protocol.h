// protocol: the wire protocol between the platform stand-ins (the runtime and
// host client libraries) and lattice-sim, the process that plays the runtime
// and the host client. docs/lattice-sim-protocol.md describes it for people.
//
// Transport: a Unix stream socket. Every message is a frame: a 12-byte header
// (payload length, operation, status, all little-endian, then a flags byte)
// and a payload encoded with CWireWriter. Each request gets exactly one reply
// frame carrying the same operation, unless it is flagged one-way; the reply
// status says whether the payload is the answer or an error text. The first
// frame on every connection is Op_Hello.
//
// This header holds constants only; it is shared by both stand-ins and the
// simulator and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lattice_proto {

constexpr uint32_t k_unHelloMagic = 0x4D49534C;  // "LSIM"
constexpr uint16_t k_usProtocolVersion = 1;
constexpr size_t k_cubFrameHeader = 12;
// Header byte 8. One-way: the sender waits for no reply, and none is sent.
constexpr uint8_t k_ubFrameFlagOneWay = 0x01;
// On a hello: the connection will carry one-way requests (and pings to
// confirm them), nothing else. The simulator then answers control requests
// only once it has handled every one-way request that had reached it.
constexpr uint8_t k_ubFrameFlagOneWayStream = 0x02;
// Larger frames are refused; big enough for a full journal dump.
constexpr uint32_t k_cubMaxPayload = 64u * 1024u * 1024u;
// Frames the simulator reads before a connection's hello: the hello is 11
// bytes, so anything larger is not one and is refused before it is read.
constexpr uint32_t k_cubMaxHelloPayload = 64;
// Connections the simulator serves at once; more are refused with a reason.
constexpr size_t k_cMaxConnections = 256;

// Deadlines, generous for a loaded machine and sanitizer builds. A stand-in
// (and `lattice-sim ctl`) gives up connecting and being greeted after
// k_unConnectTimeoutMs, and waits k_unReplyTimeoutMs for each reply before it
// takes the connection for lost. The reply deadline outlasts the main loop's
// 15-second watchdog, so a runtime that stops answering is still reported by
// the watchdog first. The simulator drops a connection whose hello has not
// arrived after k_unHelloTimeoutMs.
constexpr uint32_t k_unConnectTimeoutMs = 10000;
constexpr uint32_t k_unReplyTimeoutMs = 30000;
constexpr uint32_t k_unHelloTimeoutMs = 10000;

// Events fetched per poll round trip; the stand-in hands them out one by one.
constexpr uint32_t k_unEventBatch = 256;
constexpr size_t k_cubEventData = 48;

enum EClientRole : uint8_t {
    Role_Lattice = 1,
    Role_Quill = 2,
    Role_Control = 3,
};

enum EStatus : uint16_t {
    Status_Ok = 0,
    Status_BadRequest = 1,       // payload could not be decoded; text in payload
    Status_UnknownOp = 2,        // operation not known to this server
    Status_NotHello = 3,         // first frame was not a valid hello
    Status_VersionMismatch = 4,  // hello carried another protocol version
    Status_TooLarge = 5,         // length over k_cubMaxPayload; the server then closes
    Status_Failed = 6,           // request understood but refused; text in payload
};

enum EOp : uint16_t {
    Op_Hello = 1,
    Op_Ping = 2,
    Op_Unexpected = 3,  // a placeholder interface slot was called

    // runtime client library
    Op_L_Init = 100,
    Op_L_Shutdown = 101,
    Op_L_IsVersionValid = 102,
    Op_L_GetInterface = 103,
    Op_L_PollEvents = 104,
    Op_L_SettingGet = 105,
    Op_L_PropertyContainer = 106,
    Op_L_InputInternal = 107,
    Op_L_StartOverlayApps = 108,
    Op_L_ConsoleLine = 109,
    Op_L_ScreenshotRequest = 110,
    Op_L_ScreenshotType = 111,
    Op_L_ScreenshotFilename = 112,
    Op_L_ResourcePath = 113,
    Op_L_PathsRead = 114,
    Op_L_PathsWrite = 115,
    Op_L_PathsStringToHandle = 116,
    Op_L_MailboxPost = 117,

    // host client library
    Op_Q_IsRunning = 200,
    Op_Q_Init = 201,
    Op_Q_Shutdown = 202,
    Op_Q_RunCallbacks = 203,
    Op_Q_FindInterface = 204,
    Op_Q_UtilsAppId = 205,
    Op_Q_UtilsLanguage = 206,
    Op_Q_UtilsStartDashboard = 207,
    Op_Q_UserId = 208,
    Op_Q_FriendsPersonaName = 209,
    Op_Q_ScreenshotAdd = 210,
    Op_Q_PrivateStart = 211,
    Op_Q_PrivateConnectionParams = 212,
    Op_Q_PrivateInvite = 213,
    Op_Q_Attach = 214,  // maps the shared page; answers whether the host runs
    // QuillAPI_RunCallbacks while the shared page shows no callback queued:
    // recorded like Op_Q_RunCallbacks but delivers nothing (a callback queued
    // meanwhile waits for the next RunCallbacks). Sent one-way, by a session
    // that has no session page (SessionPage) to count such calls on.
    Op_Q_RunCallbacksNoneQueued = 215,

    // control CLI
    Op_C_Control = 300,
};

enum ESettingKind : uint8_t {
    SettingKind_Bool = 1,
    SettingKind_Int32 = 2,
};

// Result codes that travel in payloads. The public headers give them names;
// both stand-ins check at compile time that their enumerators agree.
namespace codes {
constexpr int32_t k_nInitInvalidApplicationType = 106;
constexpr int32_t k_nInitInvalidStartupInfo = 107;
constexpr int32_t k_nSettingsKeyNotSet = 2;
constexpr int32_t k_nSettingsWrongType = 3;
constexpr int32_t k_nScreenshotUnknownHandle = 2;
constexpr int32_t k_nScreenshotInvalidArgument = 4;
constexpr int32_t k_nScreenshotRequestFailed = 5;
constexpr uint32_t k_unPathInvalidContainer = 2;
constexpr uint32_t k_unPathUnknownPath = 3;
constexpr uint32_t k_unPathBufferTooSmall = 4;
constexpr uint32_t k_unPathInvalidArgument = 5;
constexpr int32_t k_nQuillInitFailed = 1;
constexpr int32_t k_nQuillInitNoHostClient = 2;
constexpr uint32_t k_unEventConsoleOpened = 420;
constexpr uint32_t k_unEventConsoleClosed = 421;
constexpr uint32_t k_unEventScreenshotTriggered = 516;
constexpr uint32_t k_unEventScreenshotTaken = 521;
constexpr uint32_t k_unEventScreenshotFailed = 522;
constexpr uint32_t k_unEventQuit = 700;
constexpr int32_t k_iCallbackPersonaStateChange = 304;
constexpr int32_t k_iCallbackQuillShutdown = 704;
}  // namespace codes

// A page the simulator shares read-only with the stand-ins (a memfd passed
// with the Op_L_Init and Op_Q_Attach replies). It lets the calls a frame makes
// while nothing happens answer without a round trip: the init token, whether
// events are queued (or a stall waits), whether the host client runs. The
// stand-ins still notice a simulator that went away, because its end of their
// idle connection closes. Fields are accessed with __atomic builtins. The
// page is a memfd sealed against shrinking, growing and further seals, so a
// client's mapping can never lose its backing; both sides check that.
struct SharedState {
    uint32_t unMagic;
    uint32_t unVersion;
    uint32_t unInitToken;
    uint32_t unStallPending;     // non-zero while a stall waits for the next poll
    uint32_t unEventsQueued;     // events waiting in the runtime's queue
    uint32_t unHostRunning;      // the host client runs
    uint32_t unCallbacksQueued;  // host callbacks waiting, over every host session
};
constexpr uint32_t k_unSharedMagic = 0x54534C53;  // "SLST"

// A page of one host session, shared read-write with its client (a memfd
// passed with the Op_Q_Init reply, sealed like SharedState). The client
// counts there the QuillAPI_RunCallbacks calls it makes while nothing is
// queued, so an idle frame sends nothing; the simulator takes the count and
// journals those calls before anything else it journals (a later call of the
// client, a journal read), so the journal stays complete and in order.
struct SessionPage {
    uint32_t unMagic;
    uint32_t unVersion;
    uint32_t unIdleRunCallbacks;  // added to by the client, taken by the simulator
};
constexpr uint32_t k_unSessionPageMagic = 0x53534C53;  // "SLSS"

}  // namespace lattice_proto
