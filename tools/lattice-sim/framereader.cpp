#include "framereader.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace lattice_sim {

namespace {

constexpr size_t k_cubReadChunk = 64 * 1024;

}  // namespace

void CFrameReader::MakeRoom(size_t cub) {
    const size_t cubNeeded = std::max(cub, k_cubReadChunk);
    if (cubNeeded > m_cubCapacity) {
        auto pBuffer = std::make_unique_for_overwrite<char[]>(cubNeeded);
        if (Buffered() > 0) {
            std::memcpy(pBuffer.get(), m_pBuffer.get() + m_unBegin, Buffered());
        }
        m_pBuffer = std::move(pBuffer);
        m_cubCapacity = cubNeeded;
    } else if (Buffered() > 0) {
        std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_unBegin, Buffered());
    }
    m_unEnd -= m_unBegin;
    m_unBegin = 0;
}

lattice_proto::ERecv CFrameReader::Fill(size_t cub, const lattice_proto::CDeadline& deadline) {
    while (Buffered() < cub) {
        if (m_unEnd == m_cubCapacity) {
            // Full: frames already cut make room, else the buffer grows to
            // twice what has arrived at most, so a frame's bytes pay for it.
            MakeRoom(std::min(cub, std::max(Buffered() * 2, k_cubReadChunk)));
        }
        if (deadline.IsSet()) {
            pollfd entry = {m_fd, POLLIN, 0};
            int n = poll(&entry, 1, deadline.PollTimeoutMs());
            if (n == 0) {
                return lattice_proto::Recv_TimedOut;
            }
            if (n < 0 && errno != EINTR) {
                return lattice_proto::Recv_Error;
            }
        }
        ssize_t n;
        do {
            n = recv(m_fd, m_pBuffer.get() + m_unEnd, m_cubCapacity - m_unEnd,
                     deadline.IsSet() ? MSG_DONTWAIT : 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && deadline.IsSet() && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return n == 0 ? lattice_proto::Recv_Closed : lattice_proto::Recv_Error;
        }
        m_unEnd += static_cast<size_t>(n);
    }
    return lattice_proto::Recv_Ok;
}

lattice_proto::ERecv CFrameReader::Next(lattice_proto::Frame& frame,
                                        const lattice_proto::RecvLimits& limits) {
    if (Buffered() == 0) {
        m_unBegin = m_unEnd = 0;
        if (m_cubCapacity > k_cubReadChunk) {
            // A large frame's room is not kept for the connection's life.
            m_pBuffer.reset();
            m_cubCapacity = 0;
        }
    }
    lattice_proto::ERecv eRecv = Fill(lattice_proto::k_cubFrameHeader, limits.deadline);
    if (eRecv != lattice_proto::Recv_Ok) {
        // An end of stream inside a header is a broken frame.
        return eRecv == lattice_proto::Recv_Closed && Buffered() > 0 ? lattice_proto::Recv_Error
                                                                     : eRecv;
    }
    uint32_t cub = lattice_proto::DecodeFrameHeader(m_pBuffer.get() + m_unBegin, frame);
    if (cub > limits.cubMaxPayload) {
        return lattice_proto::Recv_TooLarge;
    }
    eRecv = Fill(lattice_proto::k_cubFrameHeader + cub, limits.deadline);
    if (eRecv != lattice_proto::Recv_Ok) {
        return eRecv == lattice_proto::Recv_Closed ? lattice_proto::Recv_Error : eRecv;
    }
    frame.payload.assign(m_pBuffer.get() + m_unBegin + lattice_proto::k_cubFrameHeader, cub);
    m_unBegin += lattice_proto::k_cubFrameHeader + cub;
    return lattice_proto::Recv_Ok;
}

}  // namespace lattice_sim
