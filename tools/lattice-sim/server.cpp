#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "framereader.h"
#include "socketio.h"
#include "wire.h"

namespace lattice_sim {

using lattice_proto::Frame;

namespace {

constexpr std::chrono::seconds k_settleTimeout{5};

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

bool CServer::Listen(std::string* pstrError) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_strSocketPath.empty() || m_strSocketPath.size() >= sizeof(addr.sun_path)) {
        *pstrError = "socket path is empty or longer than " +
                     std::to_string(sizeof(addr.sun_path) - 1) + " bytes: " + m_strSocketPath;
        return false;
    }
    std::memcpy(addr.sun_path, m_strSocketPath.c_str(), m_strSocketPath.size() + 1);
    // A socket file nobody answers on is left over from a simulator that died:
    // take it over. One that answers belongs to a running simulator.
    std::string strIgnored;
    int fdProbe = lattice_proto::ConnectSocket(m_strSocketPath, &strIgnored);
    if (fdProbe >= 0) {
        close(fdProbe);
        *pstrError = "another simulator is already serving " + m_strSocketPath;
        return false;
    }
    unlink(m_strSocketPath.c_str());
    m_fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fdListen < 0 || bind(m_fdListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_fdListen, 64) != 0) {
        *pstrError = m_strSocketPath + ": " + strerror(errno);
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
        int n = poll(fds, 2, -1);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections.insert(fd);
            ++m_cThreads;
            std::thread([this, fd] { Serve(fd); }).detach();
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

bool CServer::Greet(int fd, CFrameReader& frames, ClientInfo& client) {
    Frame frame;
    if (frames.Next(frame) != lattice_proto::Recv_Ok) {
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
    if (frame.ubFlags & lattice_proto::k_ubFrameFlagOneWayStream) {
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
    if (Greet(fd, frames, client)) {
        bool bOneWay = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bOneWay = m_mapOneWayIdle.count(fd) > 0;
        }
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
            if ((frame.ubFlags & lattice_proto::k_ubFrameFlagOneWay) == 0 &&
                !lattice_proto::SendFrame(fd, frame.usOp, reply.usStatus, reply.payload,
                                          reply.fdToPass)) {
                break;
            }
            if (m_state.ShutdownRequested()) {
                RequestStop();
            }
        }
    }
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
