// socketio: socket path resolution, connection set-up and frame transfer for
// the lattice-sim protocol (frame layout in protocol.h).
//
// Every function is safe from any thread on distinct descriptors. Failures are
// results (false, -1, ERecv and EHello values) with an error text where one is
// asked for; nothing here logs or throws. Sends never raise SIGPIPE.
//
// Transfers given a CDeadline give up when it passes; without one they wait
// as long as it takes (the simulator's side of an idle connection). A frame's
// buffer grows only as its bytes arrive, so a header announcing a large
// payload costs nothing until the payload is actually sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol.h"

namespace lattice_proto {

// A moment after which a transfer gives up. A default-made one never passes.
class CDeadline {
public:
    CDeadline() = default;
    static CDeadline InMs(uint32_t unMs);

    bool IsSet() const { return m_bSet; }
    // What poll() should wait: -1 without a deadline, 0 once it has passed.
    int PollTimeoutMs() const;
    // "10 s", "250 ms": the time it was set for, for messages.
    std::string Describe() const;

private:
    bool m_bSet = false;
    uint32_t m_unMs = 0;
    std::chrono::steady_clock::time_point m_at;
};

// The socket path: pchExplicit when given and not empty, else
// $LATTICE_SIM_SOCKET, else $XDG_RUNTIME_DIR/lattice-sim.sock, else
// /tmp/lattice-sim-<uid>.sock. Empty variables count as unset.
std::string ResolveSocketPath(const char* pchExplicit = nullptr);

// Connects a close-on-exec stream socket; -1 with *pstrError set on failure
// (missing socket, nobody listening, path too long, a listener whose queue
// stays full until the deadline).
int ConnectSocket(const std::string& strPath, std::string* pstrError,
                  const CDeadline& deadline = CDeadline());

struct Frame {
    uint16_t usOp = 0;
    uint16_t usStatus = 0;
    uint8_t ubFlags = 0;  // k_ubFrameFlag*
    std::string payload;
};

// Sends one frame; fdToPass >= 0 travels along as SCM_RIGHTS, ubFlags go in
// the header (k_ubFrameFlag*). False when the connection failed or the
// deadline passed first.
bool SendFrame(int fd, uint16_t usOp, uint16_t usStatus, std::string_view payload,
               int fdToPass = -1, uint8_t ubFlags = 0, const CDeadline& deadline = CDeadline());

enum ERecv {
    Recv_Ok,
    Recv_Closed,    // orderly end of stream before a header byte
    Recv_Error,     // I/O error or end of stream inside a frame
    Recv_TooLarge,  // header announced more than the limit; nothing more read
    Recv_TimedOut,  // the deadline passed before the frame was complete
};

struct RecvLimits {
    uint32_t cubMaxPayload = k_cubMaxPayload;
    CDeadline deadline;
};

// Receives one frame. When pReceivedFd is given, a descriptor passed with the
// frame is stored there (close-on-exec); it is -1 unless Recv_Ok is answered.
ERecv RecvFrame(int fd, Frame& frame, int* pReceivedFd = nullptr,
                const RecvLimits& limits = RecvLimits());

// Reads a frame header (k_cubFrameHeader bytes): fills the frame's operation,
// status and flags, and returns the payload length it announces.
uint32_t DecodeFrameHeader(const char* pHeader, Frame& frame);

enum EHello {
    Hello_Ok,
    Hello_Lost,      // the connection closed or failed
    Hello_TimedOut,  // no answer before the deadline
    Hello_Refused,   // the server refused this client (Status_Failed): too many
                     // connections, a user it does not serve
    Hello_Mismatch,  // the server speaks another protocol (version, not a hello)
};

// Client side of the hello exchange. Anything but Hello_Ok sets *pstrError.
// A refusal the server sent before reading the hello is still read and
// reported as Hello_Refused. ubFlags go in the hello's header
// (k_ubFrameFlagOneWayStream).
EHello ClientGreeting(int fd, EClientRole eRole, const CDeadline& deadline, std::string* pstrError,
                      uint8_t ubFlags = 0);
// ClientGreeting within k_unConnectTimeoutMs; false with *pstrError.
bool ClientHello(int fd, EClientRole eRole, std::string* pstrError, uint8_t ubFlags = 0);

// Sends a request and waits for its reply until the deadline. Recv_Error
// when the request could not be sent.
ERecv Request(int fd, uint16_t usOp, std::string_view payload, Frame& reply,
              const CDeadline& deadline, int* pReceivedFd = nullptr);
// Request without a deadline; false when the connection failed.
bool RoundTrip(int fd, uint16_t usOp, std::string_view payload, Frame& reply,
               int* pReceivedFd = nullptr);

}  // namespace lattice_proto
