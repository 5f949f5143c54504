#include "peer_trust.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace lattice_proto {

bool PeerIsTrusted(int fd, std::string* pstrWhy, ucred* pCred) {
    ucred cred{};
    socklen_t cubCred = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cubCred) != 0) {
        if (pstrWhy) {
            *pstrWhy = std::string("its credentials cannot be read: ") + strerror(errno);
        }
        return false;
    }
    if (pCred) {
        *pCred = cred;
    }
    uid_t uidSelf = geteuid();
    if (cred.uid == uidSelf || cred.uid == 0) {
        return true;
    }
    if (pstrWhy) {
        *pstrWhy = "it runs as uid " + std::to_string(cred.uid) + " (pid " +
                   std::to_string(cred.pid) + "), neither this user (uid " +
                   std::to_string(uidSelf) + ") nor root";
    }
    return false;
}

const char* PeerNoun(EClientRole eRole) {
    switch (eRole) {
        case Role_Lattice:
            return "the runtime";
        case Role_Quill:
            return "the host client";
        default:
            return "the simulator";
    }
}

namespace {

const char* LibraryName(EClientRole eRole) {
    switch (eRole) {
        case Role_Lattice:
            return "liblattice_api";
        case Role_Quill:
            return "libquill_api";
        default:
            return "lattice-sim ctl";
    }
}

}  // namespace

void ReportPeerProblem(EClientRole eRole, const std::string& strText) {
    // Never destroyed: a thread may report while the process exits.
    static auto* s_pMutex = new std::mutex;
    static auto* s_rgstrLast = new std::string[4];
    std::lock_guard<std::mutex> lock(*s_pMutex);
    std::string& strLast = s_rgstrLast[eRole & 3];
    if (strLast == strText) {
        return;
    }
    strLast = strText;
    std::string strLine = std::string(LibraryName(eRole)) + ": " + strText + "\n";
    // One write, so that lines of several threads or processes do not mix.
    ssize_t n = write(STDERR_FILENO, strLine.data(), strLine.size());
    (void)n;
}

}  // namespace lattice_proto
