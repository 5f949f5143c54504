// server: the simulator's listening socket and its connections. One thread per
// connection reads frames and answers them through CSimState, so a stalled
// poll on one connection never delays another.
//
// Run() returns when `ctl shutdown` was answered or RequestStop() was called
// (from a signal handler: it only writes to a pipe). It then closes every
// connection, which clients see as a lost connection, and removes the socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include "state.h"

namespace lattice_sim {

class CServer {
public:
    CServer(CSimState& state, std::string strSocketPath);
    ~CServer();

    // Binds the socket; false with a reason (socket in use, path too long...).
    bool Listen(std::string* pstrError);
    void Run();
    // Async-signal-safe.
    void RequestStop();

private:
    void Serve(int fd);
    bool Greet(int fd, ClientInfo& client);

    CSimState& m_state;
    const std::string m_strSocketPath;
    int m_fdListen = -1;
    int m_rgfdWake[2] = {-1, -1};

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::set<int> m_connections;
    int m_cThreads = 0;
    bool m_bStopping = false;
};

}  // namespace lattice_sim
