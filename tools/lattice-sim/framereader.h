// framereader: the simulator's side of a connection's incoming frames.
//
// A client may send many frames back to back (one-way console lines, say).
// Reading each header and payload with a call of its own would cost the
// simulator two system calls per frame; the reader instead takes whatever has
// arrived in one read and cuts the frames from its buffer. The results are
// those of lattice_proto::RecvFrame (which passes no descriptors here: clients
// never send any), limits included: the buffer grows only as bytes arrive, so
// a header announcing a large payload costs nothing until it is sent.
//
// Not thread-safe: one reader per connection, used by its thread.
#pragma once

#include <memory>

#include "socketio.h"

namespace lattice_sim {

class CFrameReader {
public:
    explicit CFrameReader(int fd) : m_fd(fd) {}

    lattice_proto::ERecv Next(lattice_proto::Frame& frame,
                              const lattice_proto::RecvLimits& limits = {});
    // Whether bytes already read wait to be cut into frames (then the next
    // Next may not need the socket at all).
    bool HasBuffered() const { return Buffered() > 0; }

private:
    // Reads until at least cub bytes are buffered; Recv_Closed at the end of
    // the stream, Recv_Error on an error, Recv_TimedOut when the deadline
    // passes first (what was buffered stays).
    lattice_proto::ERecv Fill(size_t cub, const lattice_proto::CDeadline& deadline);
    // Room for cub buffered bytes from the start of the buffer.
    void MakeRoom(size_t cub);
    size_t Buffered() const { return m_unEnd - m_unBegin; }

    int m_fd;
    std::unique_ptr<char[]> m_pBuffer;
    size_t m_cubCapacity = 0;
    size_t m_unBegin = 0;  // the next unread byte
    size_t m_unEnd = 0;    // just past the last byte read
};

}  // namespace lattice_sim
