// server: the simulator's listening socket and its connections. One thread per
// connection reads frames and answers them through CSimState, so a stalled
// poll on one connection never delays another.
//
// Who gets served: the socket is created 0600 whatever the umask, and a
// connection is refused at once (a Status_Failed hello answer with the reason,
// and a line on standard error, never a journal entry) when its process runs
// as neither this user nor root, when k_cMaxConnections are already open, or
// when no thread can be started for it. Before its hello a connection may
// send only a frame of k_cubMaxHelloPayload bytes, within k_unHelloTimeoutMs.
// When accept runs out of descriptors the loop backs off instead of spinning.
//
// A connection whose hello announces one-way requests (console lines that
// their sender does not wait for) is watched closely: a control request is
// handled only once every such connection has handled all it had received,
// so that `ctl console` right after a line was sent shows it.
//
// Run() returns when `ctl shutdown` was answered or RequestStop() was called
// (from a signal handler: it only writes to a pipe). It then closes every
// connection, which clients see as a lost connection, and removes the socket.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "framereader.h"
#include "state.h"

namespace lattice_sim {

class CServer {
public:
    CServer(CSimState& state, std::string strSocketPath);
    ~CServer();

    // Binds the socket; false with a reason (socket in use, path too long, a
    // file that is not a socket in the way...).
    bool Listen(std::string* pstrError);
    void Run();
    // Async-signal-safe.
    void RequestStop();

private:
    bool RefuseTakeOver(std::string* pstrError);
    void AcceptOne();
    void Admit(int fd);
    void Refuse(int fd, const std::string& strWhy);
    void Serve(int fd);
    // bOneWay: the hello announced a connection for one-way requests.
    bool Greet(int fd, CFrameReader& frames, ClientInfo& client, bool& bOneWay);
    void EndConnection(int fd);
    // One-way connections: waits for input while marked idle, so that a
    // control request can tell "handled everything" from "about to read".
    bool AwaitOneWayInput(int fd);
    // Before a control request: until every one-way connection is idle with
    // nothing left in its socket (or a few seconds have passed).
    void SettleOneWayConnections();

    CSimState& m_state;
    const std::string m_strSocketPath;
    int m_fdListen = -1;
    int m_rgfdWake[2] = {-1, -1};
    bool m_bAcceptBackingOff = false;

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::set<int> m_connections;
    // One-way connections and whether each waits for input having handled
    // everything it read.
    std::map<int, bool> m_mapOneWayIdle;
    std::condition_variable m_oneWayIdle;
    int m_cThreads = 0;
    bool m_bStopping = false;
};

}  // namespace lattice_sim
