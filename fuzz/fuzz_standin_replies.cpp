// The stand-in libraries decoding a hostile peer: the input scripts a
// runtime and host client that answer each request the libraries send with
// whatever the script says (any status, any payload, a shared page of any
// kind, a cut-off frame, a closed connection). One fixed sequence of calls
// runs through both libraries per input, over a real socket, against a peer
// served by a thread of this process.
//
// Properties: nothing crashes or overruns a caller's buffer (the sanitizers
// see to that); an initialisation that succeeds came with a sound shared page
// or none, and the init token is the page's; a host client reported running
// came with a sound page or none; names and paths copied to callers fit their
// buffers and end with a NUL.
//
// Script, consumed one directive per request (the hello included):
//   u8 action: 0 answer status 0 with str payload
//              1 answer u8 status with str payload
//              2 answer status 0 with str payload and a shared page:
//                u8 kind (0 none, 1 sound, 2 empty unsealed, 3 unsealed,
//                4 short, 5 wrong magic, 6 sound and larger), then the
//                page's u32 token, stall, events queued, host running
//              3 close the connection
//              4 announce u32 payload bytes, send str of them, close
// An exhausted script closes every connection it is asked on.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "lattice_api.h"
#include "protocol.h"
#include "quill_api.h"
#include "socketio.h"
#include "wire.h"

namespace {

namespace proto = lattice_proto;

using fuzz_support::Require;

enum EPage : uint8_t {
    Page_None,
    Page_Sound,
    Page_EmptyUnsealed,
    Page_Unsealed,
    Page_Short,
    Page_WrongMagic,
    Page_SoundLarger,
    Page_Kinds
};

bool IsSoundPage(uint8_t ePage) {
    return ePage == Page_None || ePage == Page_Sound || ePage == Page_SoundLarger;
}

int MakePage(uint8_t ePage, const proto::SharedState& fields) {
    if (ePage == Page_None) {
        return -1;
    }
    bool bSealed = ePage == Page_Sound || ePage == Page_Short || ePage == Page_WrongMagic ||
                   ePage == Page_SoundLarger;
    int fd = memfd_create("fuzz-page", MFD_CLOEXEC | (bSealed ? MFD_ALLOW_SEALING : 0));
    if (fd < 0) {
        return -1;
    }
    proto::SharedState page = fields;
    page.unMagic = ePage == Page_WrongMagic ? 0x12345678u : proto::k_unSharedMagic;
    page.unVersion = proto::k_usProtocolVersion;
    size_t cub = ePage == Page_Short ? 8 : ePage == Page_EmptyUnsealed ? 0 : sizeof(page);
    if (cub > 0 && write(fd, &page, cub) != static_cast<ssize_t>(cub)) {
        close(fd);
        return -1;
    }
    if (ePage == Page_SoundLarger && ftruncate(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    if (bSealed) {
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    }
    return fd;
}

// The scripted peer: one thread serving every connection in request order.
class CScriptedPeer {
public:
    CScriptedPeer() {
        m_strSocket = fuzz_support::MakeScratchDirectory("/tmp", "standin") + "/peer.sock";
        setenv("LATTICE_SIM_SOCKET", m_strSocket.c_str(), 1);
        m_fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, m_strSocket.c_str(), m_strSocket.size() + 1);
        Require(bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                    listen(m_fdListen, 16) == 0,
                "a listening socket");
        Require(pipe2(m_rgfdWake, O_CLOEXEC | O_NONBLOCK) == 0, "a wake pipe");
        std::thread([this] { Serve(); }).detach();
    }

    // A new script; the connections of the previous one are closed first.
    void Begin(std::string_view script) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_script = std::string(script);
        m_pReader = std::make_unique<proto::CWireReader>(m_script);
        m_bResetDone = false;
        m_bResetAsked = true;
        Wake();
        m_cond.wait(lock, [this] { return m_bResetDone; });
        m_ePageAtInit = Page_None;
        m_ePageAtAttach = Page_None;
    }
    // Closes every connection, so that no library keeps one into the next input.
    void End() { Begin(std::string_view()); }

    // What the last answers to an initialisation and an attach carried.
    uint8_t PageAtInit() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ePageAtInit;
    }
    uint32_t TokenAtInit() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_unTokenAtInit;
    }
    uint8_t PageAtAttach() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ePageAtAttach;
    }

private:
    void Wake() {
        char c = 1;
        ssize_t n = write(m_rgfdWake[1], &c, 1);
        (void)n;
    }

    void Serve() {
        while (true) {
            std::vector<pollfd> fds = {{m_fdListen, POLLIN, 0}, {m_rgfdWake[0], POLLIN, 0}};
            for (const Connection& connection : m_connections) {
                fds.push_back({connection.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), -1) < 0) {
                continue;
            }
            if (fds[1].revents & POLLIN) {
                char buffer[64];
                while (read(m_rgfdWake[0], buffer, sizeof(buffer)) > 0) {
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_bResetAsked) {
                    for (const Connection& connection : m_connections) {
                        close(connection.fd);
                    }
                    m_connections.clear();
                    m_bResetAsked = false;
                    m_bResetDone = true;
                    m_cond.notify_all();
                }
                continue;
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents) {
                    Answer(fds[i].fd);
                }
            }
            if (fds[0].revents & POLLIN) {
                int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    m_connections.push_back({fd});
                }
            }
        }
    }

    void Drop(int fd) {
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
            if (it->fd == fd) {
                m_connections.erase(it);
                break;
            }
        }
        close(fd);
    }

    // Reads one request on fd and answers it as the script says.
    void Answer(int fd) {
        proto::Frame request;
        proto::RecvLimits limits;
        limits.deadline = proto::CDeadline::InMs(5000);
        if (proto::RecvFrame(fd, request, nullptr, limits) != proto::Recv_Ok) {
            Drop(fd);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        proto::CWireReader& script = *m_pReader;
        uint8_t unAction = script.U8();
        if (!script.Ok() || unAction > 4) {
            Drop(fd);
            return;
        }
        uint16_t usStatus = unAction == 1 ? script.U8() : uint8_t(proto::Status_Ok);
        if (unAction == 3) {
            Drop(fd);
            return;
        }
        if (unAction == 4) {
            uint32_t cubAnnounced = script.U32();
            std::string sent = script.Str();
            char rgchHeader[proto::k_cubFrameHeader] = {};
            std::memcpy(rgchHeader, &cubAnnounced, 4);
            std::memcpy(rgchHeader + 4, &request.usOp, 2);
            std::string frame = std::string(rgchHeader, sizeof(rgchHeader)) + sent;
            ssize_t n = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
            Drop(fd);
            return;
        }
        std::string payload = script.Str();
        int fdPage = -1;
        if (unAction == 2) {
            uint8_t ePage = script.U8() % Page_Kinds;
            proto::SharedState fields{};
            fields.unInitToken = script.U32();
            fields.unStallPending = script.U32();
            fields.unEventsQueued = script.U32();
            fields.unHostRunning = script.U32();
            fdPage = MakePage(ePage, fields);
            if (fdPage < 0) {
                ePage = Page_None;
            }
            NoteAnswer(request.usOp, ePage, fields.unInitToken);
        } else {
            NoteAnswer(request.usOp, Page_None, 0);
        }
        proto::SendFrame(fd, request.usOp, usStatus, payload, fdPage, 0,
                         proto::CDeadline::InMs(5000));
        if (fdPage >= 0) {
            close(fdPage);
        }
    }

    // m_mutex held.
    void NoteAnswer(uint16_t usOp, uint8_t ePage, uint32_t unToken) {
        if (usOp == proto::Op_L_Init) {
            m_ePageAtInit = ePage;
            m_unTokenAtInit = unToken;
        } else if (usOp == proto::Op_Q_Attach) {
            m_ePageAtAttach = ePage;
        }
    }

    struct Connection {
        int fd;
    };

    std::string m_strSocket;
    int m_fdListen = -1;
    int m_rgfdWake[2] = {-1, -1};
    std::vector<Connection> m_connections;  // the serving thread's own

    std::mutex m_mutex;  // everything below
    std::condition_variable m_cond;
    std::string m_script;
    std::unique_ptr<proto::CWireReader> m_pReader;
    bool m_bResetAsked = false;
    bool m_bResetDone = false;
    uint8_t m_ePageAtInit = Page_None;
    uint32_t m_unTokenAtInit = 0;
    uint8_t m_ePageAtAttach = Page_None;
};

CScriptedPeer& Peer() {
    static CScriptedPeer* s_pPeer = new CScriptedPeer;
    return *s_pPeer;
}

// A buffer of exactly cub bytes on the heap, so that a write past it is seen.
std::unique_ptr<char[]> ExactBuffer(size_t cub) {
    return std::unique_ptr<char[]>(new char[cub]());
}

template <typename T>
T* Interface(const char* pchVersion) {
    return static_cast<T*>(VR_GetGenericInterface(pchVersion, nullptr));
}

void DriveRuntimeInterfaces() {
    if (auto* pSystem = Interface<vr::IVRSystem>(vr::IVRSystem_Version)) {
        vr::LatticeEvent_t event{};
        for (int i = 0; i < 4 && pSystem->TakeNextEvent(&event, sizeof(event)); ++i) {
        }
    }
    if (auto* pSettings = Interface<vr::IVRSettings>(vr::IVRSettings_Version)) {
        vr::ESettingsError eError;
        pSettings->GetBool("orrery", "startOverlayAppsFromDashboard", &eError);
        pSettings->GetInt32("orrery", "loglevel", &eError);
    }
    if (auto* pProperties = Interface<vr::IVRProperties>(vr::IVRProperties_Version)) {
        pProperties->GetDevicePropertyContainer(0);
    }
    if (auto* pShots = Interface<vr::IVRScreenshots>(vr::IVRScreenshots_Version)) {
        vr::ScreenshotHandle_t handle = 0;
        pShots->RequestScreenshotFiles(&handle, vr::EScreenshotType(1), "/tmp/a", "/tmp/b");
        vr::EScreenshotError eError = vr::ScreenshotError_None;
        pShots->GetScreenshotType(handle, &eError);
        const uint32_t cchName = 16;
        auto name = ExactBuffer(cchName);
        uint32_t cchGot = pShots->GetScreenshotFileName(handle, vr::EScreenshotFileKind(0),
                                                        name.get(), cchName, &eError);
        if (eError == vr::ScreenshotError_None) {
            Require(cchGot >= 1 && cchGot <= cchName && name[cchGot - 1] == '\0',
                    "a file name fits its buffer and ends with a NUL");
        } else if (eError == vr::ScreenshotError_BufferTooSmall) {
            Require(cchGot > cchName, "a buffer too small is reported with the size needed");
        }
    }
    if (auto* pResources = Interface<vr::IVRResources>(vr::IVRResources_Version)) {
        const uint32_t cubPath = 16;
        auto path = ExactBuffer(cubPath);
        uint32_t cubNeeded = pResources->ResolveResourcePath("r.txt", nullptr, path.get(), cubPath);
        if (cubNeeded > 0 && cubNeeded <= cubPath) {
            Require(path[cubNeeded - 1] == '\0', "a resolved path ends with a NUL");
        }
    }
    if (auto* pPaths = Interface<vr::IVRPaths>(vr::IVRPaths_Version)) {
        vr::PathHandle_t ulPath = 0;
        pPaths->PathToHandle(&ulPath, "/user/head");
        auto small = ExactBuffer(4);
        auto large = ExactBuffer(8);
        vr::PathRead_t reads[3] = {{ulPath, nullptr, 0, 0, 0, 0, 0},
                                   {ulPath, small.get(), 4, 0, 0, 0, 0},
                                   {ulPath, large.get(), 8, 0, 0, 0, 0}};
        pPaths->ReadBatch(1, reads, 3);
        int32_t nValue = 3;
        vr::PathWrite_t write{};
        write.ulPath = ulPath;
        write.pvBuffer = &nValue;
        write.unBufferSize = sizeof(nValue);
        pPaths->WriteBatch(1, &write, 1);
    }
}

void DriveRuntime() {
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    uint32_t unToken =
        VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    Require(VR_GetVRInitErrorAsSymbol(eError) != nullptr, "every init error has a symbol");
    if (eError != vr::LatticeInitError_None) {
        Require(unToken == 0, "a failed initialisation hands out no token");
        return;
    }
    uint8_t ePage = Peer().PageAtInit();
    Require(IsSoundPage(ePage), "only a sound shared page is accepted");
    if (ePage != Page_None) {
        Require(VR_GetInitToken() == Peer().TokenAtInit(), "the init token is the page's");
    }
    VR_IsInterfaceVersionValid(vr::IVRSystem_Version);
    DriveRuntimeInterfaces();
    VR_ShutdownInternal();
}

class CHostListener {
public:
    void OnPersona(PersonaStateChange_t* pChange) {
        m_ulSeen ^= pChange->m_ulUserId ^ static_cast<uint32_t>(pChange->m_nChangeFlags);
    }
    void OnShutdown(QuillShutdown_t*) { ++m_ulSeen; }
    uint64_t m_ulSeen = 0;
};

template <typename T>
T* HostInterface(HQuillUser hUser, const char* pchVersion) {
    return static_cast<T*>(QuillInternal_FindOrCreateUserInterface(hUser, pchVersion));
}

void DriveHost() {
    bool bRunning = QuillAPI_IsQuillRunning();
    if (bRunning) {
        Require(IsSoundPage(Peer().PageAtAttach()), "only a sound shared page is accepted");
    }
    QuillErrMsg szError = "";
    int nInit = QuillInternal_QuillAPI_Init("QuillUtils010\0QuillUser023\0", &szError);
    Require(std::memchr(szError, '\0', sizeof(szError)) != nullptr, "the error text ends");
    if (nInit != QuillInit_Ok) {
        return;
    }
    CHostListener listener;
    CCallback<CHostListener, PersonaStateChange_t> persona;
    CCallback<CHostListener, QuillShutdown_t> shutdown;
    persona.Register(&listener, &CHostListener::OnPersona);
    shutdown.Register(&listener, &CHostListener::OnShutdown);
    QuillAPI_RunCallbacks();
    // Asked for directly rather than through the header's context accessors,
    // whose init functions are called through a generic pointer type (as the
    // accessor layout has it), which the fuzz build's sanitizer reports.
    HQuillUser hUser = QuillAPI_GetHQuillUser();
    if (auto* pUtils = HostInterface<IQuillUtils>(0, QUILLUTILS_INTERFACE_VERSION)) {
        pUtils->GetAppId();
        Require(pUtils->GetUiLanguage() != nullptr, "a language is a string");
    }
    if (auto* pUser = HostInterface<IQuillUser>(hUser, QUILLUSER_INTERFACE_VERSION)) {
        pUser->GetUserId();
    }
    if (auto* pFriends = HostInterface<IQuillFriends>(hUser, QUILLFRIENDS_INTERFACE_VERSION)) {
        Require(pFriends->GetDisplayName() != nullptr, "a name is a string");
    }
    if (auto* pShots =
            HostInterface<IQuillScreenshots>(hUser, QUILLSCREENSHOTS_INTERFACE_VERSION)) {
        pShots->AddScreenshotPair(1, "/tmp/a.png", "/tmp/b.png");
    }
    QuillAPI_Shutdown();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    Peer().Begin(std::string_view(reinterpret_cast<const char*>(pData), cubData));
    DriveRuntime();
    DriveHost();
    Peer().End();
    return 0;
}
