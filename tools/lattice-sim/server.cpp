#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "framereader.h"
#include "peer_trust.h"
#include "socketio.h"
#include "wire.h"

namespace lattice_sim {

using lattice_proto::Frame;

namespace {

constexpr std::chrono::seconds k_settleTimeout{5};

// How long accept backs off once the process has run out of descriptors.
constexpr int k_nAcceptBackoffMs = 100;

// One line on standard error. Refusals never reach the journal: it records
// calls, and a refused peer made none. A client that retries in a loop must
// not flood the log either: at most one line a second, the next one saying
// how many went unmentioned. Called from the accept loop only.
void LogRefusal(const std::string& strLine) {
    static std::chrono::steady_clock::time_point s_last;
    static bool s_bLogged = false;
    static unsigned s_cUnmentioned = 0;
    auto now = std::chrono::steady_clock::now();
    if (s_bLogged && now - s_last < std::chrono::seconds(1)) {
        ++s_cUnmentioned;
        return;
    }
    std::string strOut = "lattice-sim: " + strLine;
    if (s_cUnmentioned > 0) {
        strOut += " (and " + std::to_string(s_cUnmentioned) + " more refusals since the last line)";
    }
    std::fprintf(stderr, "%s\n", strOut.c_str());
    std::fflush(stderr);
    s_last = now;
    s_bLogged = true;
    s_cUnmentioned = 0;
}

struct ServeArgs {
    CServer* pServer;
    int fd;
};

}  // namespace

CServer::CServer(CSimState& state, std::string strSocketPath)
    : m_state(state), m_strSocketPath(std::move(strSocketPath)) {
    if (pipe2(m_rgfdWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_rgfdWake[0] = m_rgfdWake[1] = -1;
    }
}

CServer::~CServer() {
    for (int fd : {m_fdListen, m_rgfdWake[0], m_rgfdWake[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// A file at the socket path is replaced only when it is a socket nobody
// answers on (left over from a simulator that died). A simulator of this
// user answering there keeps it; anything else is not ours to remove.
bool CServer::RefuseTakeOver(std::string* pstrError) {
    struct stat st {};
    if (lstat(m_strSocketPath.c_str(), &st) != 0) {
        return false;  // nothing there
    }
    if (!S_ISSOCK(st.st_mode)) {
        *pstrError = m_strSocketPath + " exists and is not a socket; it is left alone";
        return true;
    }
    std::string strIgnored;
    int fdProbe = lattice_proto::ConnectSocket(
        m_strSocketPath, &strIgnored,
        lattice_proto::CDeadline::InMs(lattice_proto::k_unConnectTimeoutMs));
    if (fdProbe < 0) {
        return false;
    }
    std::string strWhy;
    bool bOurs = lattice_proto::PeerIsTrusted(fdProbe, &strWhy);
    close(fdProbe);
    *pstrError = bOurs ? "another simulator is already serving " + m_strSocketPath
                       : m_strSocketPath + " is served by another user's process: " + strWhy;
    return true;
}

bool CServer::Listen(std::string* pstrError) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_strSocketPath.empty() || m_strSocketPath.size() >= sizeof(addr.sun_path)) {
        *pstrError = "socket path is empty or longer than " +
                     std::to_string(sizeof(addr.sun_path) - 1) + " bytes: " + m_strSocketPath;
        return false;
    }
    std::memcpy(addr.sun_path, m_strSocketPath.c_str(), m_strSocketPath.size() + 1);
    if (RefuseTakeOver(pstrError)) {
        return false;
    }
    unlink(m_strSocketPath.c_str());
    m_fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fdListen < 0) {
        *pstrError = m_strSocketPath + ": " + strerror(errno);
        return false;
    }
    // The socket is born 0600: another user must not even connect (the peer
    // check would refuse them, but a connect costs a refusal each). No thread
    // runs yet, so changing the process's umask for the bind is safe.
    mode_t oldMask = umask(0177);
    int nBind = bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int nBindErrno = errno;
    umask(oldMask);
    if (nBind != 0 || chmod(m_strSocketPath.c_str(), 0600) != 0 || listen(m_fdListen, 64) != 0) {
        *pstrError = m_strSocketPath + ": " + strerror(nBind != 0 ? nBindErrno : errno);
        return false;
    }
    return true;
}

void CServer::RequestStop() {
    char c = 1;
    ssize_t n = write(m_rgfdWake[1], &c, 1);
    (void)n;
}

void CServer::Run() {
    while (true) {
        pollfd fds[2] = {{m_fdListen, POLLIN, 0}, {m_rgfdWake[0], POLLIN, 0}};
        // While out of descriptors the pending connection stays pending, and
        // polling for it would spin: wait a little instead, for a stop too.
        int n = m_bAcceptBackingOff ? poll(fds + 1, 1, k_nAcceptBackoffMs) : poll(fds, 2, -1);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            break;
        }
        if (m_bAcceptBackingOff || (fds[0].revents & POLLIN)) {
            AcceptOne();
        }
    }
    // Stop: no new clients, wake waiting verbs and stalls, cut every connection.
    close(m_fdListen);
    m_fdListen = -1;
    unlink(m_strSocketPath.c_str());
    m_state.Stop();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bStopping = true;
    for (int fd : m_connections) {
        shutdown(fd, SHUT_RDWR);
    }
    m_idle.wait_for(lock, std::chrono::seconds(10), [this] { return m_cThreads == 0; });
}

void CServer::AcceptOne() {
    int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        if (m_bAcceptBackingOff) {
            std::fprintf(stderr, "lattice-sim: accepting connections again\n");
        }
        m_bAcceptBackingOff = false;
        Admit(fd);
        return;
    }
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        if (!m_bAcceptBackingOff) {
            std::fprintf(stderr,
                         "lattice-sim: cannot accept a connection: %s; retrying every %d ms\n",
                         strerror(errno), k_nAcceptBackoffMs);
        }
        m_bAcceptBackingOff = true;
    }
    // Anything else (a client that gave up, a signal) concerns that one
    // connection only.
}

void CServer::Refuse(int fd, const std::string& strWhy) {
    // Said before the client's hello is read: a client reads it as the answer
    // to its hello. Never waits: the new socket's buffer is empty.
    lattice_proto::SendFrame(fd, lattice_proto::Op_Hello, lattice_proto::Status_Failed,
                             "connection refused: " + strWhy, -1, 0,
                             lattice_proto::CDeadline::InMs(0));
    close(fd);
}

void CServer::Admit(int fd) {
    ucred cred{};
    std::string strWhy;
    if (!lattice_proto::PeerIsTrusted(fd, &strWhy, &cred)) {
        LogRefusal("refused a connection: " + strWhy);
        Refuse(fd, "this simulator serves only its own user and root");
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_connections.size() >= lattice_proto::k_cMaxConnections) {
        std::string strLimit = std::to_string(lattice_proto::k_cMaxConnections) +
                               " connections are open, the most served at once";
        LogRefusal("refused a connection from pid " + std::to_string(cred.pid) + ": " + strLimit);
        Refuse(fd, strLimit);
        return;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* pArgs = new ServeArgs{this, fd};
    pthread_t thread;
    int nError = pthread_create(
        &thread, &attr,
        [](void* pv) -> void* {
            auto* p = static_cast<ServeArgs*>(pv);
            ServeArgs args = *p;
            delete p;
            args.pServer->Serve(args.fd);
            return nullptr;
        },
        pArgs);
    pthread_attr_destroy(&attr);
    if (nError != 0) {
        delete pArgs;
        LogRefusal("refused a connection from pid " + std::to_string(cred.pid) +
                   ": no thread can be started for it: " + strerror(nError));
        Refuse(fd, "the simulator cannot start a thread for it");
        return;
    }
    m_connections.insert(fd);
    ++m_cThreads;
}

bool CServer::Greet(int fd, CFrameReader& frames, ClientInfo& client, bool& bOneWay) {
    Frame frame;
    lattice_proto::RecvLimits limits;
    limits.cubMaxPayload = lattice_proto::k_cubMaxHelloPayload;
    limits.deadline = lattice_proto::CDeadline::InMs(lattice_proto::k_unHelloTimeoutMs);
    lattice_proto::ERecv eRecv = frames.Next(frame, limits);
    if (eRecv == lattice_proto::Recv_TooLarge) {
        lattice_proto::SendFrame(fd, frame.usOp, lattice_proto::Status_TooLarge,
                                 "a frame before the hello may hold at most " +
                                     std::to_string(lattice_proto::k_cubMaxHelloPayload) +
                                     " bytes");
        return false;
    }
    if (eRecv != lattice_proto::Recv_Ok) {
        return false;
    }
    lattice_proto::CWireReader reader(frame.payload);
    uint32_t unMagic = reader.U32();
    uint16_t usVersion = reader.U16();
    uint8_t unRole = reader.U8();
    reader.U32();  // the client's own idea of its pid; the kernel's is used
    if (frame.usOp != lattice_proto::Op_Hello || !reader.Complete() ||
        unMagic != lattice_proto::k_unHelloMagic || unRole < lattice_proto::Role_Lattice ||
        unRole > lattice_proto::Role_Control) {
        lattice_proto::SendFrame(fd, frame.usOp, lattice_proto::Status_NotHello,
                                 "the first frame must be a hello");
        return false;
    }
    if (usVersion != lattice_proto::k_usProtocolVersion) {
        lattice_proto::SendFrame(fd, frame.usOp, lattice_proto::Status_VersionMismatch,
                                 "protocol version " +
                                     std::to_string(lattice_proto::k_usProtocolVersion) +
                                     " expected, got " + std::to_string(usVersion));
        return false;
    }
    ucred cred{};
    socklen_t cubCred = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cubCred) == 0) {
        client.nPid = cred.pid;
    }
    client.unRole = unRole;
    bOneWay = (frame.ubFlags & lattice_proto::k_ubFrameFlagOneWayStream) != 0;
    if (bOneWay) {
        // Known before the client can send anything on it.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mapOneWayIdle[fd] = false;
    }
    lattice_proto::CWireWriter writer;
    writer.U16(lattice_proto::k_usProtocolVersion);
    writer.U32(static_cast<uint32_t>(getpid()));
    return lattice_proto::SendFrame(fd, lattice_proto::Op_Hello, lattice_proto::Status_Ok,
                                    writer.Buffer());
}

void CServer::Serve(int fd) {
    ClientInfo client;
    CFrameReader frames(fd);
    bool bOneWay = false;
    if (Greet(fd, frames, client, bOneWay)) {
        Frame frame;
        while (true) {
            if (bOneWay && !frames.HasBuffered() && !AwaitOneWayInput(fd)) {
                break;
            }
            lattice_proto::ERecv eRecv = frames.Next(frame);
            if (eRecv == lattice_proto::Recv_TooLarge) {
                // The stream cannot be resynchronised past an oversized frame.
                lattice_proto::SendFrame(fd, frame.usOp, lattice_proto::Status_TooLarge,
                                         "frame larger than the protocol allows");
                break;
            }
            if (eRecv != lattice_proto::Recv_Ok) {
                break;
            }
            if (frame.usOp == lattice_proto::Op_C_Control) {
                SettleOneWayConnections();
            }
            Reply reply = m_state.Handle(frame.usOp, frame.payload, client);
            // A one-way request gets no answer: its sender does not read one.
            bool bSent = (frame.ubFlags & lattice_proto::k_ubFrameFlagOneWay) != 0 ||
                         lattice_proto::SendFrame(fd, frame.usOp, reply.usStatus, reply.payload,
                                                  reply.fdToPass);
            if (reply.bOwnsFd) {
                close(reply.fdToPass);
            }
            if (!bSent) {
                break;
            }
            // Only a control verb can ask for the stop.
            if (frame.usOp == lattice_proto::Op_C_Control && m_state.ShutdownRequested()) {
                RequestStop();
            }
        }
    }
    EndConnection(fd);
}

void CServer::EndConnection(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(fd);
    if (m_mapOneWayIdle.erase(fd) > 0) {
        m_oneWayIdle.notify_all();
    }
    close(fd);
    --m_cThreads;
    m_idle.notify_all();
}

bool CServer::AwaitOneWayInput(int fd) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mapOneWayIdle[fd] = true;
        m_oneWayIdle.notify_all();
    }
    // Input is only taken from the socket once the connection no longer
    // counts as idle: a settling control request sees it either still
    // queued or being handled.
    pollfd entry = {fd, POLLIN, 0};
    int n;
    do {
        n = poll(&entry, 1, -1);
    } while (n < 0 && errno == EINTR);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapOneWayIdle[fd] = false;
    return n > 0;
}

void CServer::SettleOneWayConnections() {
    auto bSettled = [this] {
        for (const auto& [fd, bIdle] : m_mapOneWayIdle) {
            int cubQueued = 0;
            if (!bIdle || (ioctl(fd, SIOCINQ, &cubQueued) == 0 && cubQueued > 0)) {
                return false;
            }
        }
        return true;
    };
    std::unique_lock<std::mutex> lock(m_mutex);
    // Bounded: a client that stopped halfway through a frame holds nobody up.
    m_oneWayIdle.wait_for(lock, k_settleTimeout, bSettled);
}

}  // namespace lattice_sim
