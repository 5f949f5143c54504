// socketio: socket path resolution, connection set-up and frame transfer for
// the lattice-sim protocol (frame layout in protocol.h).
//
// Every function is safe from any thread on distinct descriptors. Failures are
// results (false, -1, ERecv values) with an error text where one is asked for;
// nothing here logs or throws. Sends never raise SIGPIPE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol.h"

namespace lattice_proto {

// The socket path: pchExplicit when given and not empty, else
// $LATTICE_SIM_SOCKET, else $XDG_RUNTIME_DIR/lattice-sim.sock, else
// /tmp/lattice-sim-<uid>.sock. Empty variables count as unset.
std::string ResolveSocketPath(const char* pchExplicit = nullptr);

// Connects a close-on-exec stream socket; -1 with *pstrError set on failure
// (missing socket, nobody listening, path too long). Never blocks for long:
// a Unix socket connect answers at once.
int ConnectSocket(const std::string& strPath, std::string* pstrError);

struct Frame {
    uint16_t usOp = 0;
    uint16_t usStatus = 0;
    uint8_t ubFlags = 0;  // k_ubFrameFlag*
    std::string payload;
};

// Sends one frame; fdToPass >= 0 travels along as SCM_RIGHTS.
bool SendFrame(int fd, uint16_t usOp, uint16_t usStatus, std::string_view payload,
               int fdToPass = -1, uint8_t ubFlags = 0);

enum ERecv {
    Recv_Ok,
    Recv_Closed,    // orderly end of stream before a header byte
    Recv_Error,     // I/O error or end of stream inside a frame
    Recv_TooLarge,  // header announced more than k_cubMaxPayload; nothing more read
};
// Receives one frame. When pReceivedFd is given, a descriptor passed with the
// frame is stored there (close-on-exec), else -1.
ERecv RecvFrame(int fd, Frame& frame, int* pReceivedFd = nullptr);

// Reads a frame header (k_cubFrameHeader bytes): fills the frame's operation,
// status and flags, and returns the payload length it announces.
uint32_t DecodeFrameHeader(const char* pHeader, Frame& frame);

// Client side of the hello exchange; false with *pstrError on refusal.
// ubFlags go in the hello's header (k_ubFrameFlagOneWayStream).
bool ClientHello(int fd, EClientRole eRole, std::string* pstrError, uint8_t ubFlags = 0);

// Sends a request and waits for its reply. false when the connection failed.
bool RoundTrip(int fd, uint16_t usOp, std::string_view payload, Frame& reply,
               int* pReceivedFd = nullptr);

}  // namespace lattice_proto
