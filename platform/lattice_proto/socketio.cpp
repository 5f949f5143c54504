#include "socketio.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

bool WriteAll(int fd, const char* pData, size_t cub) {
    while (cub > 0) {
        ssize_t n = RetryOnSignal([&] { return send(fd, pData, cub, MSG_NOSIGNAL); });
        if (n < 0) {
            return false;
        }
        pData += n;
        cub -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly cub bytes. Returns the count read before an end of stream, or
// -1 on error.
ssize_t ReadAll(int fd, char* pData, size_t cub) {
    size_t got = 0;
    while (got < cub) {
        ssize_t n = RetryOnSignal([&] { return recv(fd, pData + got, cub - got, 0); });
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
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

int ConnectSocket(const std::string& strPath, std::string* pstrError) {
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
    if (RetryOnSignal(
            [&] { return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); }) < 0) {
        if (pstrError) {
            *pstrError = strPath + ": " + strerror(errno);
        }
        close(fd);
        return -1;
    }
    return fd;
}

bool SendFrame(int fd, uint16_t usOp, uint16_t usStatus, std::string_view payload, int fdToPass,
               uint8_t ubFlags) {
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
            return WriteAll(fd, buffer, k_cubFrameHeader + payload.size());
        }
        return WriteAll(fd, header, sizeof(header)) && WriteAll(fd, payload.data(), payload.size());
    }
    FdMessage message(header, sizeof(header));
    cmsghdr* pCmsg = CMSG_FIRSTHDR(&message.msg);
    pCmsg->cmsg_level = SOL_SOCKET;
    pCmsg->cmsg_type = SCM_RIGHTS;
    pCmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(pCmsg), &fdToPass, sizeof(int));
    ssize_t n = RetryOnSignal([&] { return sendmsg(fd, &message.msg, MSG_NOSIGNAL); });
    if (n < 0) {
        return false;
    }
    if (static_cast<size_t>(n) < sizeof(header) &&
        !WriteAll(fd, header + n, sizeof(header) - static_cast<size_t>(n))) {
        return false;
    }
    return WriteAll(fd, payload.data(), payload.size());
}

ERecv RecvFrame(int fd, Frame& frame, int* pReceivedFd) {
    char header[k_cubFrameHeader];
    size_t got = 0;
    if (pReceivedFd) {
        *pReceivedFd = -1;
        FdMessage message(header, sizeof(header));
        ssize_t n = RetryOnSignal([&] { return recvmsg(fd, &message.msg, MSG_CMSG_CLOEXEC); });
        if (n < 0) {
            return Recv_Error;
        }
        if (n == 0) {
            return Recv_Closed;
        }
        for (cmsghdr* p = CMSG_FIRSTHDR(&message.msg); p; p = CMSG_NXTHDR(&message.msg, p)) {
            if (p->cmsg_level == SOL_SOCKET && p->cmsg_type == SCM_RIGHTS) {
                std::memcpy(pReceivedFd, CMSG_DATA(p), sizeof(int));
            }
        }
        got = static_cast<size_t>(n);
    }
    ssize_t n = ReadAll(fd, header + got, sizeof(header) - got);
    if (n < 0) {
        return Recv_Error;
    }
    if (got == 0 && n == 0) {
        return Recv_Closed;
    }
    if (got + static_cast<size_t>(n) < sizeof(header)) {
        return Recv_Error;
    }
    uint32_t cub = DecodeFrameHeader(header, frame);
    if (cub > k_cubMaxPayload) {
        return Recv_TooLarge;
    }
    frame.payload.resize(cub);
    if (cub > 0 && ReadAll(fd, frame.payload.data(), cub) != static_cast<ssize_t>(cub)) {
        return Recv_Error;
    }
    return Recv_Ok;
}

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

bool RoundTrip(int fd, uint16_t usOp, std::string_view payload, Frame& reply, int* pReceivedFd) {
    return SendFrame(fd, usOp, Status_Ok, payload) && RecvFrame(fd, reply, pReceivedFd) == Recv_Ok;
}

bool ClientHello(int fd, EClientRole eRole, std::string* pstrError, uint8_t ubFlags) {
    CWireWriter writer;
    writer.U32(k_unHelloMagic);
    writer.U16(k_usProtocolVersion);
    writer.U8(eRole);
    writer.U32(static_cast<uint32_t>(getpid()));
    Frame reply;
    if (!SendFrame(fd, Op_Hello, Status_Ok, writer.Buffer(), -1, ubFlags) ||
        RecvFrame(fd, reply) != Recv_Ok) {
        if (pstrError) {
            *pstrError = "connection closed during hello";
        }
        return false;
    }
    if (reply.usStatus != Status_Ok) {
        if (pstrError) {
            *pstrError = "hello refused: " + reply.payload;
        }
        return false;
    }
    return true;
}

}  // namespace lattice_proto
