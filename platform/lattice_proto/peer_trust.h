// peer_trust: who may be on the other end of a lattice-sim connection, and
// how a stand-in says that it turned a peer away.
//
// Both ends check the other's credentials as the kernel reports them
// (SO_PEERCRED): the peer must run as this process's effective user or as
// root. A stand-in treats a peer it refuses as a runtime or host client that
// cannot be reached, and says why on standard error: it has no log of its
// own, and the program's log may not exist yet.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <sys/socket.h>

#include <string>

#include "protocol.h"

namespace lattice_proto {

// True when the process at the other end of the connected Unix socket fd
// runs as this process's effective user or as root. *pCred receives its
// credentials when given; *pstrWhy says why it is refused.
bool PeerIsTrusted(int fd, std::string* pstrWhy, ucred* pCred = nullptr);

// What a client of eRole calls the peer it talks to: "the runtime", "the
// host client", "the simulator".
const char* PeerNoun(EClientRole eRole);

// Writes "<library>: <text>" on standard error ("liblattice_api",
// "libquill_api", "lattice-sim ctl"). A line that repeats the previous one of
// the same role is left out: a host client library asked every frame would
// otherwise repeat itself thirty times a second.
void ReportPeerProblem(EClientRole eRole, const std::string& strText);

}  // namespace lattice_proto
