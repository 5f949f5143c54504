#include "channel.h"

#include <poll.h>
#include <unistd.h>

#include "peer_trust.h"

namespace lattice_proto {

CClientChannel::CClientChannel(EClientRole eRole, bool bAutoOpen)
    : m_eRole(eRole), m_bAutoOpen(bAutoOpen) {}

CClientChannel::~CClientChannel() {
    Close();
}

int CClientChannel::OpenConnection(const std::string& strPath, EHello& eHello,
                                   std::string* pstrError) {
    std::string strScratch;
    std::string& strError = pstrError ? *pstrError : strScratch;
    const std::string strPeer = std::string(PeerNoun(m_eRole)) + " at " + strPath;
    CDeadline deadline = CDeadline::InMs(k_unConnectTimeoutMs);
    eHello = Hello_Lost;
    int fd = ConnectSocket(strPath, &strError, deadline);
    if (fd < 0) {
        // Nobody there is the everyday case (not started yet, gone); a
        // listener that never accepts is worth a line.
        if (deadline.PollTimeoutMs() == 0) {
            eHello = Hello_TimedOut;
            ReportPeerProblem(m_eRole, strPeer + " did not accept within " + deadline.Describe());
        }
        return -1;
    }
    std::string strWhy;
    if (!PeerIsTrusted(fd, &strWhy)) {
        close(fd);
        eHello = Hello_Refused;
        strError = "refusing " + strPeer + ": " + strWhy;
        ReportPeerProblem(m_eRole, strError);
        return -1;
    }
    eHello = ClientGreeting(fd, m_eRole, deadline, &strError);
    if (eHello != Hello_Ok) {
        if (eHello == Hello_TimedOut || eHello == Hello_Refused) {
            ReportPeerProblem(m_eRole, strPeer + ": " + strError);
        }
        close(fd);
        return -1;
    }
    return fd;
}

EHello CClientChannel::Open(const std::string& strPath, std::string* pstrError) {
    Close();
    EHello eHello = Hello_Lost;
    int fd = OpenConnection(strPath, eHello, pstrError);
    if (fd < 0) {
        return eHello;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strPath = strPath;
    m_bOpen = true;
    m_pidOwner = getpid();
    m_vecIdle.push_back(fd);
    return Hello_Ok;
}

void CClientChannel::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : m_vecIdle) {
        close(fd);
    }
    m_vecIdle.clear();
    m_bOpen = false;
    ++m_unGeneration;
}

bool CClientChannel::IsOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen;
}

std::string CClientChannel::Path() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen ? m_strPath : std::string();
}

CClientChannel::EIdlePeer CClientChannel::CheckIdlePeer() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_vecIdle.empty() || m_pidOwner != getpid()) {
        return IdlePeer_Unknown;
    }
    // An idle connection never has anything to read: input here is the end
    // of the stream.
    pollfd fd = {m_vecIdle.back(), POLLIN | POLLRDHUP, 0};
    bool bClosed =
        poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
    return bClosed ? IdlePeer_Closed : IdlePeer_Alive;
}

bool CClientChannel::PeerClosed() {
    return CheckIdlePeer() == IdlePeer_Closed;
}

bool CClientChannel::IdlePeerAlive() {
    return CheckIdlePeer() == IdlePeer_Alive;
}

bool CClientChannel::TakeConnection(Borrowed& borrowed, ECall& eFail) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bOpen && m_pidOwner != getpid()) {
            // Inherited across fork: the parent still talks on these sockets.
            for (int fd : m_vecIdle) {
                close(fd);
            }
            m_vecIdle.clear();
            m_pidOwner = getpid();
            ++m_unGeneration;
        }
        if (!m_bOpen) {
            if (!m_bAutoOpen) {
                eFail = Call_NotOpen;
                return false;
            }
            m_strPath = ResolveSocketPath();
            m_bOpen = true;
            m_pidOwner = getpid();
            ++m_unGeneration;
        }
        borrowed.unGeneration = m_unGeneration;
        borrowed.strPath = m_strPath;
        if (!m_vecIdle.empty()) {
            borrowed.fd = m_vecIdle.back();
            m_vecIdle.pop_back();
            borrowed.bReused = true;
            return true;
        }
    }
    borrowed.bReused = false;
    borrowed.fd = OpenConnection(borrowed.strPath, borrowed.eHello, nullptr);
    if (borrowed.fd < 0) {
        eFail = Call_Lost;
        if (m_bAutoOpen) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_unGeneration == borrowed.unGeneration) {
                m_bOpen = false;  // resolve the path again next time
            }
        }
        return false;
    }
    return true;
}

void CClientChannel::GiveBack(int fd, uint64_t unGeneration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bOpen && unGeneration == m_unGeneration && m_pidOwner == getpid()) {
        m_vecIdle.push_back(fd);
        return;
    }
    close(fd);
}

void CClientChannel::DropPool(uint64_t unGeneration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unGeneration != unGeneration) {
        return;
    }
    for (int idle : m_vecIdle) {
        close(idle);
    }
    m_vecIdle.clear();
    if (m_bAutoOpen) {
        m_bOpen = false;
    }
}

CClientChannel::ECall CClientChannel::Call(uint16_t usOp, const std::string& payload, Frame& reply,
                                           int* pReceivedFd) {
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        Borrowed borrowed;
        ECall eFail = Call_Lost;
        if (!TakeConnection(borrowed, eFail)) {
            // An auto-opening channel may still hold the socket path of a
            // simulator that has since been replaced (a forked child inherits
            // its parent's): the failed connect dropped it, so resolve it once
            // more before giving up. A peer that was there but refused us or
            // did not answer in time would only do it again.
            if (m_bAutoOpen && eFail == Call_Lost && borrowed.eHello == Hello_Lost &&
                nAttempt == 0) {
                continue;
            }
            return eFail;
        }
        CDeadline deadline = CDeadline::InMs(k_unReplyTimeoutMs);
        ERecv eRecv = Request(borrowed.fd, usOp, payload, reply, deadline, pReceivedFd);
        if (eRecv == Recv_Ok) {
            GiveBack(borrowed.fd, borrowed.unGeneration);
            return Call_Ok;
        }
        close(borrowed.fd);
        if (eRecv == Recv_TimedOut) {
            // A peer that stopped answering is gone as far as we can tell;
            // asking it again would only wait as long once more.
            ReportPeerProblem(m_eRole, std::string(PeerNoun(m_eRole)) + " at " + borrowed.strPath +
                                           " did not answer within " + deadline.Describe() +
                                           "; the connection is taken for lost");
            DropPool(borrowed.unGeneration);
            return Call_Lost;
        }
        // A pooled connection of an auto-opening channel may belong to a
        // simulator that has since been replaced: try once more on a fresh one.
        if (!(m_bAutoOpen && borrowed.bReused)) {
            break;
        }
        DropPool(borrowed.unGeneration);
    }
    return Call_Lost;
}

}  // namespace lattice_proto
