#include "channel.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "peer_trust.h"

namespace lattice_proto {

namespace {

// This process's id without a system call on every call: an idle frame asks
// for it several times. Read again in a child made by fork.
std::atomic<pid_t> s_pidCurrent{0};

constexpr int k_cubPostSendBuffer = 4 * 1024 * 1024;

void ForgetPidInChild() {
    s_pidCurrent.store(0, std::memory_order_relaxed);
}

pid_t CurrentPid() {
    static const bool s_bForkHandled = pthread_atfork(nullptr, nullptr, ForgetPidInChild) == 0;
    (void)s_bForkHandled;
    pid_t pid = s_pidCurrent.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        s_pidCurrent.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

CClientChannel::CClientChannel(EClientRole eRole, bool bAutoOpen)
    : m_eRole(eRole), m_bAutoOpen(bAutoOpen) {}

CClientChannel::~CClientChannel() {
    Close();
}

int CClientChannel::OpenConnection(const std::string& strPath, EHello& eHello,
                                   std::string* pstrError, bool bOneWay) {
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
    eHello =
        ClientGreeting(fd, m_eRole, deadline, &strError, bOneWay ? k_ubFrameFlagOneWayStream : 0);
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
    m_pidOwner = CurrentPid();
    m_vecIdle.push_back(fd);
    return Hello_Ok;
}

void CClientChannel::Close() {
    // The one-way connection closes with the rest. A send in progress on it
    // ends soon: the simulator reads every connection all the time.
    std::lock_guard<std::mutex> postLock(m_postMutex);
    DropPostConnection();
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
    if (!m_bOpen || m_vecIdle.empty() || m_pidOwner != CurrentPid()) {
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

bool CClientChannel::PrepareLocked(ECall& eFail) {
    if (m_bOpen && m_pidOwner != CurrentPid()) {
        // Inherited across fork: the parent still talks on these sockets.
        for (int fd : m_vecIdle) {
            close(fd);
        }
        m_vecIdle.clear();
        m_pidOwner = CurrentPid();
        ++m_unGeneration;
    }
    if (!m_bOpen) {
        if (!m_bAutoOpen) {
            eFail = Call_NotOpen;
            return false;
        }
        m_strPath = ResolveSocketPath();
        m_bOpen = true;
        m_pidOwner = CurrentPid();
        ++m_unGeneration;
    }
    return true;
}

bool CClientChannel::OpenForGeneration(Borrowed& borrowed, bool bOneWay, ECall& eFail) {
    borrowed.bReused = false;
    borrowed.fd = OpenConnection(borrowed.strPath, borrowed.eHello, nullptr, bOneWay);
    if (borrowed.fd >= 0) {
        return true;
    }
    eFail = Call_Lost;
    if (m_bAutoOpen) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unGeneration == borrowed.unGeneration) {
            m_bOpen = false;  // resolve the path again next time
        }
    }
    return false;
}

bool CClientChannel::TakeConnection(Borrowed& borrowed, ECall& eFail) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!PrepareLocked(eFail)) {
            return false;
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
    return OpenForGeneration(borrowed, false, eFail);
}

void CClientChannel::GiveBack(int fd, uint64_t unGeneration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bOpen && unGeneration == m_unGeneration && m_pidOwner == CurrentPid()) {
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

void CClientChannel::DropPostConnection() {
    if (m_fdPost >= 0) {
        close(m_fdPost);  // in a forked child: only the child's copy
        m_fdPost = -1;
    }
    m_bPostsUnconfirmed.store(false, std::memory_order_release);
}

bool CClientChannel::PostConnectionCurrentLocked() {
    return m_bOpen && m_unPostGeneration == m_unGeneration && m_pidPost == CurrentPid();
}

bool CClientChannel::RetryWithFreshPath(ECall eFail, const Borrowed& borrowed, int nAttempt) const {
    // An auto-opening channel may still hold the socket path of a simulator
    // that has since been replaced (a forked child inherits its parent's):
    // the failed connect dropped it, so resolve it once more before giving
    // up. A peer that was there but refused us or did not answer in time
    // would only do it again.
    return m_bAutoOpen && eFail == Call_Lost && borrowed.eHello == Hello_Lost && nAttempt == 0;
}

bool CClientChannel::TakePostConnection(Borrowed& borrowed, ECall& eFail) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fdPost >= 0 && PostConnectionCurrentLocked()) {
            borrowed.fd = m_fdPost;
            borrowed.bReused = true;
            return true;
        }
        if (!PrepareLocked(eFail)) {
            return false;
        }
        borrowed.strPath = m_strPath;
        borrowed.unGeneration = m_unGeneration;
    }
    // Closed, reopened or forked since: one-way requests still on their way
    // there belong to that connection's life.
    DropPostConnection();
    if (!OpenForGeneration(borrowed, true, eFail)) {
        return false;
    }
    // Room for a burst of lines (a replayed history, say) while the
    // simulator catches up: the kernel caps it at net.core.wmem_max, and
    // takes it only when data waits.
    int nSendBuffer = k_cubPostSendBuffer;
    setsockopt(borrowed.fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof(nSendBuffer));
    m_fdPost = borrowed.fd;
    m_unPostGeneration = borrowed.unGeneration;
    m_pidPost = CurrentPid();
    return true;
}

CClientChannel::ECall CClientChannel::Post(uint16_t usOp, const std::string& payload) {
    std::lock_guard<std::mutex> postLock(m_postMutex);
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        Borrowed borrowed;
        ECall eFail = Call_Lost;
        if (!TakePostConnection(borrowed, eFail)) {
            if (RetryWithFreshPath(eFail, borrowed, nAttempt)) {
                continue;
            }
            return eFail;
        }
        if (SendFrame(borrowed.fd, usOp, Status_Ok, payload, -1, k_ubFrameFlagOneWay,
                      CDeadline::InMs(k_unReplyTimeoutMs))) {
            m_bPostsUnconfirmed.store(true, std::memory_order_release);
            return Call_Ok;
        }
        DropPostConnection();
        if (!(m_bAutoOpen && borrowed.bReused)) {
            break;
        }
    }
    return Call_Lost;
}

CClientChannel::ECall CClientChannel::ConfirmPosts() {
    std::lock_guard<std::mutex> postLock(m_postMutex);
    if (!m_bPostsUnconfirmed.load(std::memory_order_acquire)) {
        return Call_Ok;
    }
    bool bCurrent = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bCurrent = PostConnectionCurrentLocked();
    }
    if (!bCurrent) {
        DropPostConnection();  // not this connection's life: nothing to confirm
        return Call_Ok;
    }
    // The simulator handles a connection's frames in order: the ping's answer
    // comes after every one-way request before it has been handled.
    Frame reply;
    if (Request(m_fdPost, Op_Ping, "", reply, CDeadline::InMs(k_unReplyTimeoutMs)) != Recv_Ok) {
        DropPostConnection();
        return Call_Lost;
    }
    m_bPostsUnconfirmed.store(false, std::memory_order_release);
    return Call_Ok;
}

CClientChannel::ECall CClientChannel::Call(uint16_t usOp, const std::string& payload, Frame& reply,
                                           int* pReceivedFd) {
    if (m_bPostsUnconfirmed.load(std::memory_order_acquire)) {
        // A channel that reopens itself goes on with a fresh connection.
        ECall eConfirmed = ConfirmPosts();
        if (eConfirmed != Call_Ok && !m_bAutoOpen) {
            return eConfirmed;
        }
    }
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        Borrowed borrowed;
        ECall eFail = Call_Lost;
        if (!TakeConnection(borrowed, eFail)) {
            if (RetryWithFreshPath(eFail, borrowed, nAttempt)) {
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
