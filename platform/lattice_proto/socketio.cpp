#include "socketio.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "wire.h"

namespace lattice_proto {

namespace {

// Retries a system call that a signal interrupted.
template <typename TCall>
auto RetryOnSignal(TCall call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

const char* NonEmptyEnv(const char* pchName) {
    const char* pchValue = getenv(pchName);
    return (pchValue && *pchValue) ? pchValue : nullptr;
}

// The outcome of moving bytes.
enum EIo { Io_Ok, Io_Failed, Io_TimedOut, Io_Ended };

// Waits until fd is ready for events or the deadline passes. Without a
// deadline there is nothing to wait for: the blocking call itself waits.
EIo WaitReady(int fd, short events, const CDeadline& deadline) {
    if (!deadline.IsSet()) {
        return Io_Ok;
    }
    while (true) {
        pollfd pfd = {fd, events, 0};
        int n = poll(&pfd, 1, deadline.PollTimeoutMs());
        if (n > 0) {
            return Io_Ok;  // ready, or an error the next call reports
        }
        if (n == 0) {
            return Io_TimedOut;
        }
        if (errno != EINTR) {
            return Io_Failed;
        }
    }
}

// MSG_DONTWAIT when a deadline bounds the call: poll() decides the waiting.
int DontWaitIf(const CDeadline& deadline) {
    return deadline.IsSet() ? MSG_DONTWAIT : 0;
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// With a deadline, the call is tried first without blocking and poll()
// waits only when it would block: a socket is nearly always writable, and a
// payload has mostly arrived with its header.
EIo WriteAll(int fd, const char* pData, size_t cub, const CDeadline& deadline) {
    while (cub > 0) {
        ssize_t n = RetryOnSignal(
            [&] { return send(fd, pData, cub, MSG_NOSIGNAL | DontWaitIf(deadline)); });
        if (n < 0) {
            if (deadline.IsSet() && WouldBlock()) {
                if (EIo eWait = WaitReady(fd, POLLOUT, deadline); eWait != Io_Ok) {
                    return eWait;
                }
                continue;
            }
            return Io_Failed;
        }
        pData += n;
        cub -= static_cast<size_t>(n);
    }
    return Io_Ok;
}

// Reads exactly cub bytes; *pGot says how many arrived before an end of
// stream (Io_Ended), an error or the deadline. bWaitFirst: the bytes are
// probably not there yet (a reply's first bytes), so poll() before reading.
EIo ReadAll(int fd, char* pData, size_t cub, const CDeadline& deadline, size_t* pGot,
            bool bWaitFirst = false) {
    size_t& got = *pGot;
    got = 0;
    if (bWaitFirst) {
        if (EIo eWait = WaitReady(fd, POLLIN, deadline); eWait != Io_Ok) {
            return eWait;
        }
    }
    while (got < cub) {
        ssize_t n =
            RetryOnSignal([&] { return recv(fd, pData + got, cub - got, DontWaitIf(deadline)); });
        if (n < 0) {
            if (deadline.IsSet() && WouldBlock()) {
                if (EIo eWait = WaitReady(fd, POLLIN, deadline); eWait != Io_Ok) {
                    return eWait;
                }
                continue;
            }
            return Io_Failed;
        }
        if (n == 0) {
            return Io_Ended;
        }
        got += static_cast<size_t>(n);
    }
    return Io_Ok;
}

ERecv RecvOf(EIo eIo) {
    return eIo == Io_TimedOut ? Recv_TimedOut : Recv_Error;
}

// Payloads are read in pieces that grow with what has arrived: a header that
// announces a large payload allocates nothing until its bytes come.
constexpr size_t k_cubFirstPiece = 64 * 1024;

ERecv ReadPayload(int fd, uint32_t cub, const CDeadline& deadline, std::string& payload) {
    payload.clear();
    size_t got = 0;
    while (got < cub) {
        size_t want = std::min<size_t>(cub, std::max(got * 2, k_cubFirstPiece));
        payload.resize(want);
        size_t n = 0;
        EIo eIo = ReadAll(fd, payload.data() + got, want - got, deadline, &n);
        if (eIo != Io_Ok) {
            payload.clear();
            return RecvOf(eIo);
        }
        got = want;
    }
    return Recv_Ok;
}

// A message of one buffer with room for one passed descriptor. Built in
// place: msg points into the object itself.
struct FdMessage {
    FdMessage(char* pData, size_t cub) : iov{pData, cub} {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
    }
    FdMessage(const FdMessage&) = delete;
    FdMessage& operator=(const FdMessage&) = delete;

    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
};

// A peer's own words for a message of ours: control characters escaped and
// the length bounded, so that a peer cannot write to our standard error at
// will.
std::string PeerText(const std::string& strText) {
    static const char* k_pchHex = "0123456789abcdef";
    constexpr size_t k_cchMax = 200;
    std::string strOut;
    for (unsigned char ch : strText) {
        if (strOut.size() >= k_cchMax) {
            strOut += "...";
            break;
        }
        if (ch < 0x20 || ch == 0x7f) {
            strOut += std::string("\\x") + k_pchHex[ch >> 4] + k_pchHex[ch & 15];
        } else {
            strOut += static_cast<char>(ch);
        }
    }
    return strOut;
}

void PutHeader(char* pHeader, uint32_t cub, uint16_t usOp, uint16_t usStatus, uint8_t ubFlags) {
    for (int i = 0; i < 4; ++i) {
        pHeader[i] = static_cast<char>((cub >> (8 * i)) & 0xFF);
    }
    pHeader[4] = static_cast<char>(usOp & 0xFF);
    pHeader[5] = static_cast<char>(usOp >> 8);
    pHeader[6] = static_cast<char>(usStatus & 0xFF);
    pHeader[7] = static_cast<char>(usStatus >> 8);
    pHeader[8] = static_cast<char>(ubFlags);
    pHeader[9] = pHeader[10] = pHeader[11] = 0;
}

}  // namespace

CDeadline CDeadline::InMs(uint32_t unMs) {
    CDeadline deadline;
    deadline.m_bSet = true;
    deadline.m_unMs = unMs;
    deadline.m_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(unMs);
    return deadline;
}

int CDeadline::PollTimeoutMs() const {
    if (!m_bSet) {
        return -1;
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(m_at - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

std::string CDeadline::Describe() const {
    if (m_unMs % 1000 == 0) {
        return std::to_string(m_unMs / 1000) + " s";
    }
    return std::to_string(m_unMs) + " ms";
}

std::string ResolveSocketPath(const char* pchExplicit) {
    if (pchExplicit && *pchExplicit) {
        return pchExplicit;
    }
    if (const char* pchSocket = NonEmptyEnv("LATTICE_SIM_SOCKET")) {
        return pchSocket;
    }
    if (const char* pchRuntimeDir = NonEmptyEnv("XDG_RUNTIME_DIR")) {
        return std::string(pchRuntimeDir) + "/lattice-sim.sock";
    }
    return "/tmp/lattice-sim-" + std::to_string(getuid()) + ".sock";
}

int ConnectSocket(const std::string& strPath, std::string* pstrError, const CDeadline& deadline) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strPath.empty() || strPath.size() >= sizeof(addr.sun_path)) {
        if (pstrError) {
            *pstrError = "socket path is empty or longer than " +
                         std::to_string(sizeof(addr.sun_path) - 1) + " bytes";
        }
        return -1;
    }
    std::memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (pstrError) {
            *pstrError = std::string("socket: ") + strerror(errno);
        }
        return -1;
    }
    if (deadline.IsSet()) {
        // A Unix connect waits while the listener's queue is full, for at
        // most the send timeout.
        int nMs = std::max(deadline.PollTimeoutMs(), 1);
        timeval tv = {nMs / 1000, (nMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    if (RetryOnSignal(
            [&] { return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); }) < 0) {
        if (pstrError) {
            *pstrError = strPath + ": " +
                         (WouldBlock() ? "nobody accepted within " + deadline.Describe()
                                       : std::string(strerror(errno)));
        }
        close(fd);
        return -1;
    }
    return fd;
}

bool SendFrame(int fd, uint16_t usOp, uint16_t usStatus, std::string_view payload, int fdToPass,
               uint8_t ubFlags, const CDeadline& deadline) {
    if (payload.size() > k_cubMaxPayload) {
        return false;
    }
    char header[k_cubFrameHeader];
    PutHeader(header, static_cast<uint32_t>(payload.size()), usOp, usStatus, ubFlags);
    if (fdToPass < 0) {
        // One buffer, one syscall: small frames are the common case.
        if (payload.size() <= 4096) {
            char buffer[k_cubFrameHeader + 4096];
            std::memcpy(buffer, header, k_cubFrameHeader);
            std::memcpy(buffer + k_cubFrameHeader, payload.data(), payload.size());
            return WriteAll(fd, buffer, k_cubFrameHeader + payload.size(), deadline) == Io_Ok;
        }
        return WriteAll(fd, header, sizeof(header), deadline) == Io_Ok &&
               WriteAll(fd, payload.data(), payload.size(), deadline) == Io_Ok;
    }
    FdMessage message(header, sizeof(header));
    cmsghdr* pCmsg = CMSG_FIRSTHDR(&message.msg);
    pCmsg->cmsg_level = SOL_SOCKET;
    pCmsg->cmsg_type = SCM_RIGHTS;
    pCmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(pCmsg), &fdToPass, sizeof(int));
    ssize_t n = -1;
    while (true) {
        n = RetryOnSignal(
            [&] { return sendmsg(fd, &message.msg, MSG_NOSIGNAL | DontWaitIf(deadline)); });
        if (n >= 0) {
            break;
        }
        if (!deadline.IsSet() || !WouldBlock() || WaitReady(fd, POLLOUT, deadline) != Io_Ok) {
            return false;
        }
    }
    if (static_cast<size_t>(n) < sizeof(header) &&
        WriteAll(fd, header + n, sizeof(header) - static_cast<size_t>(n), deadline) != Io_Ok) {
        return false;
    }
    return WriteAll(fd, payload.data(), payload.size(), deadline) == Io_Ok;
}

namespace {

// The first bytes of a frame, with the descriptor that may come along.
ERecv RecvFirstBytes(int fd, char* pHeader, int* pReceivedFd, const CDeadline& deadline,
                     size_t* pGot) {
    *pGot = 0;
    if (!pReceivedFd) {
        return Recv_Ok;
    }
    FdMessage message(pHeader, k_cubFrameHeader);
    ssize_t n = -1;
    do {
        if (EIo eWait = WaitReady(fd, POLLIN, deadline); eWait != Io_Ok) {
            return RecvOf(eWait);
        }
        n = RetryOnSignal(
            [&] { return recvmsg(fd, &message.msg, MSG_CMSG_CLOEXEC | DontWaitIf(deadline)); });
    } while (n < 0 && deadline.IsSet() && WouldBlock());
    if (n < 0) {
        return Recv_Error;
    }
    for (cmsghdr* p = CMSG_FIRSTHDR(&message.msg); p; p = CMSG_NXTHDR(&message.msg, p)) {
        if (p->cmsg_level == SOL_SOCKET && p->cmsg_type == SCM_RIGHTS &&
            p->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int fdPassed = -1;
            std::memcpy(&fdPassed, CMSG_DATA(p), sizeof(int));
            if (*pReceivedFd >= 0) {
                close(*pReceivedFd);
            }
            *pReceivedFd = fdPassed;
        }
    }
    if (n == 0) {
        return Recv_Closed;
    }
    *pGot = static_cast<size_t>(n);
    return Recv_Ok;
}

ERecv RecvFrameInto(int fd, Frame& frame, int* pReceivedFd, const RecvLimits& limits) {
    char header[k_cubFrameHeader];
    size_t got = 0;
    if (ERecv eFirst = RecvFirstBytes(fd, header, pReceivedFd, limits.deadline, &got);
        eFirst != Recv_Ok) {
        return eFirst;
    }
    size_t n = 0;
    EIo eIo = ReadAll(fd, header + got, sizeof(header) - got, limits.deadline, &n, got == 0);
    if (eIo == Io_Ended && got == 0 && n == 0) {
        return Recv_Closed;
    }
    if (eIo != Io_Ok) {
        return RecvOf(eIo);
    }
    uint32_t cub = DecodeFrameHeader(header, frame);
    if (cub > limits.cubMaxPayload) {
        return Recv_TooLarge;
    }
    return ReadPayload(fd, cub, limits.deadline, frame.payload);
}

}  // namespace

uint32_t DecodeFrameHeader(const char* pHeader, Frame& frame) {
    uint32_t cub = 0;
    for (int i = 0; i < 4; ++i) {
        cub |= static_cast<uint32_t>(static_cast<uint8_t>(pHeader[i])) << (8 * i);
    }
    frame.usOp = static_cast<uint16_t>(static_cast<uint8_t>(pHeader[4]) |
                                       (static_cast<uint8_t>(pHeader[5]) << 8));
    frame.usStatus = static_cast<uint16_t>(static_cast<uint8_t>(pHeader[6]) |
                                           (static_cast<uint8_t>(pHeader[7]) << 8));
    frame.ubFlags = static_cast<uint8_t>(pHeader[8]);
    return cub;
}

ERecv RecvFrame(int fd, Frame& frame, int* pReceivedFd, const RecvLimits& limits) {
    if (pReceivedFd) {
        *pReceivedFd = -1;
    }
    ERecv eRecv = RecvFrameInto(fd, frame, pReceivedFd, limits);
    if (eRecv != Recv_Ok && pReceivedFd && *pReceivedFd >= 0) {
        close(*pReceivedFd);
        *pReceivedFd = -1;
    }
    return eRecv;
}

ERecv Request(int fd, uint16_t usOp, std::string_view payload, Frame& reply,
              const CDeadline& deadline, int* pReceivedFd) {
    if (pReceivedFd) {
        *pReceivedFd = -1;
    }
    if (!SendFrame(fd, usOp, Status_Ok, payload, -1, 0, deadline)) {
        return deadline.IsSet() && deadline.PollTimeoutMs() == 0 ? Recv_TimedOut : Recv_Error;
    }
    RecvLimits limits;
    limits.deadline = deadline;
    return RecvFrame(fd, reply, pReceivedFd, limits);
}

bool RoundTrip(int fd, uint16_t usOp, std::string_view payload, Frame& reply, int* pReceivedFd) {
    return Request(fd, usOp, payload, reply, CDeadline(), pReceivedFd) == Recv_Ok;
}

EHello ClientGreeting(int fd, EClientRole eRole, const CDeadline& deadline, std::string* pstrError,
                      uint8_t ubFlags) {
    std::string strScratch;
    std::string& strError = pstrError ? *pstrError : strScratch;
    CWireWriter writer;
    writer.U32(k_unHelloMagic);
    writer.U16(k_usProtocolVersion);
    writer.U8(eRole);
    writer.U32(static_cast<uint32_t>(getpid()));
    // A server that refuses a client says why before it reads anything, and
    // may have closed already: its reason is read even when the hello could
    // not be sent.
    SendFrame(fd, Op_Hello, Status_Ok, writer.Buffer(), -1, ubFlags, deadline);
    RecvLimits limits;
    limits.deadline = deadline;
    Frame reply;
    switch (RecvFrame(fd, reply, nullptr, limits)) {
        case Recv_Ok:
            break;
        case Recv_TimedOut:
            strError = "no answer to the hello within " + deadline.Describe();
            return Hello_TimedOut;
        default:
            strError = "connection closed during hello";
            return Hello_Lost;
    }
    if (reply.usStatus == Status_Failed) {
        strError = "refused: " + PeerText(reply.payload);
        return Hello_Refused;
    }
    if (reply.usStatus != Status_Ok) {
        strError = "hello refused: " + PeerText(reply.payload);
        return Hello_Mismatch;
    }
    return Hello_Ok;
}

bool ClientHello(int fd, EClientRole eRole, std::string* pstrError, uint8_t ubFlags) {
    return ClientGreeting(fd, eRole, CDeadline::InMs(k_unConnectTimeoutMs), pstrError, ubFlags) ==
           Hello_Ok;
}

}  // namespace lattice_proto
