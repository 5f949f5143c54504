#include "framereader.h"

#include <errno.h>
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

bool CFrameReader::Fill(size_t cub) {
    if (m_cubCapacity - m_unBegin < cub || m_unEnd == m_cubCapacity) {
        MakeRoom(cub);
    }
    while (Buffered() < cub) {
        ssize_t n;
        do {
            n = recv(m_fd, m_pBuffer.get() + m_unEnd, m_cubCapacity - m_unEnd, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            m_bError = n < 0;
            return false;
        }
        m_unEnd += static_cast<size_t>(n);
    }
    return true;
}

lattice_proto::ERecv CFrameReader::Next(lattice_proto::Frame& frame) {
    if (Buffered() == 0) {
        m_unBegin = m_unEnd = 0;
    }
    if (!Fill(lattice_proto::k_cubFrameHeader)) {
        return Buffered() == 0 && !m_bError ? lattice_proto::Recv_Closed
                                            : lattice_proto::Recv_Error;
    }
    uint32_t cub = lattice_proto::DecodeFrameHeader(m_pBuffer.get() + m_unBegin, frame);
    if (cub > lattice_proto::k_cubMaxPayload) {
        return lattice_proto::Recv_TooLarge;
    }
    if (!Fill(lattice_proto::k_cubFrameHeader + cub)) {
        return lattice_proto::Recv_Error;
    }
    frame.payload.assign(m_pBuffer.get() + m_unBegin + lattice_proto::k_cubFrameHeader, cub);
    m_unBegin += lattice_proto::k_cubFrameHeader + cub;
    return lattice_proto::Recv_Ok;
}

}  // namespace lattice_sim
