// channel: a stand-in's persistent connections to lattice-sim.
//
// A channel keeps a small pool of connected, greeted sockets. Each call takes
// an idle connection (or opens one), sends its request, waits for the reply
// and gives the connection back, so calls from several threads run in
// parallel and a slow call (a stalled event poll) never holds up another
// thread's call. After fork() the child drops the connections it inherited and
// opens its own.
//
// One-way requests (Post) need no answer, so nobody waits for one: they travel
// in order on one connection of their own, announced as such in its hello,
// which no call uses. The first Call after them first has the simulator
// confirm on that connection, with a ping, that it has handled them all; so a
// call never overtakes a one-way request made before it, and a broken
// connection shows at the latest there.
//
// Thread safety: every member may be called from any thread.
// Failure: Call answers Call_NotOpen without touching the network when the
// channel is closed, and Call_Lost when the simulator cannot be reached, the
// connection broke (the simulator ended) or no reply came within
// k_unReplyTimeoutMs. A peer that is not this user's or root's, refuses us,
// or does not answer in time is reported on standard error
// (ReportPeerProblem); one that simply is not there is not.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "protocol.h"
#include "socketio.h"

namespace lattice_proto {

class CClientChannel {
public:
    // bAutoOpen: a closed channel opens itself on the next call, resolving the
    // socket path anew each time (the host client library works this way; the
    // runtime library opens explicitly at init).
    CClientChannel(EClientRole eRole, bool bAutoOpen);
    ~CClientChannel();
    CClientChannel(const CClientChannel&) = delete;
    CClientChannel& operator=(const CClientChannel&) = delete;

    // Connects and greets one connection to strPath within
    // k_unConnectTimeoutMs; anything but Hello_Ok sets *pstrError.
    EHello Open(const std::string& strPath, std::string* pstrError);
    // Closes every idle connection; connections in use close when returned.
    void Close();
    bool IsOpen();
    // The socket path of the open channel ("" when closed).
    std::string Path();
    // True when the simulator has closed its end of an idle connection (it
    // ended). No round trip; false when no idle connection is at hand.
    bool PeerClosed();
    // True when an idle connection is at hand and the simulator has not
    // closed it: what it published (the shared page) is still its word. False
    // also when no idle connection can tell (they broke, or all are in use).
    bool IdlePeerAlive();

    enum ECall {
        Call_Ok,
        Call_NotOpen,
        Call_Lost,
    };
    // reply holds the server's frame on Call_Ok (its status may be an error).
    ECall Call(uint16_t usOp, const std::string& payload, Frame& reply, int* pReceivedFd = nullptr);
    // Sends a one-way request; Call_Ok once it is on its way (no answer
    // comes), Call_Lost when the connection broke: it may then be lost.
    ECall Post(uint16_t usOp, const std::string& payload);

private:
    enum EIdlePeer { IdlePeer_Unknown, IdlePeer_Alive, IdlePeer_Closed };
    EIdlePeer CheckIdlePeer();
    // A connection for one call: pooled or newly opened.
    struct Borrowed {
        int fd = -1;
        uint64_t unGeneration = 0;
        bool bReused = false;
        std::string strPath;
        EHello eHello = Hello_Lost;  // when a new connection failed: why
    };
    // Has the simulator handle every one-way request sent so far before the
    // caller goes on. Call_Lost when their connection broke.
    ECall ConfirmPosts();
    // Under m_postMutex: the one-way connection, opened when missing; false
    // with eFail set when it cannot be had.
    bool TakePostConnection(Borrowed& borrowed, ECall& eFail);
    // Under m_mutex: the one-way connection belongs to this open channel in
    // this process.
    bool PostConnectionCurrentLocked();
    // Whether a connection that could not be had is worth one more attempt
    // with the socket path resolved anew.
    bool RetryWithFreshPath(ECall eFail, const Borrowed& borrowed, int nAttempt) const;
    void DropPostConnection();
    // Under m_mutex: drops connections inherited across fork, opens an
    // auto-opening channel; false (Call_NotOpen) for a closed channel.
    bool PrepareLocked(ECall& eFail);
    bool TakeConnection(Borrowed& borrowed, ECall& eFail);
    void GiveBack(int fd, uint64_t unGeneration);
    // Drops every pooled connection of generation unGeneration and, for an
    // auto-opening channel, the socket path (resolved again next time).
    void DropPool(uint64_t unGeneration);
    // bOneWay: the hello announces a connection for one-way requests.
    int OpenConnection(const std::string& strPath, EHello& eHello, std::string* pstrError,
                       bool bOneWay = false);
    // A new connection for the generation in borrowed (its path); on failure
    // eFail is set and an auto-opening channel resolves its path again.
    bool OpenForGeneration(Borrowed& borrowed, bool bOneWay, ECall& eFail);

    const EClientRole m_eRole;
    const bool m_bAutoOpen;
    std::mutex m_mutex;
    bool m_bOpen = false;
    std::string m_strPath;
    std::vector<int> m_vecIdle;
    uint64_t m_unGeneration = 0;
    pid_t m_pidOwner = 0;

    // Taken before m_mutex when both are held.
    std::mutex m_postMutex;
    int m_fdPost = -1;
    uint64_t m_unPostGeneration = 0;
    pid_t m_pidPost = 0;
    std::atomic<bool> m_bPostsUnconfirmed{false};
};

}  // namespace lattice_proto
