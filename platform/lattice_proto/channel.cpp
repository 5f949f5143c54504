#include "channel.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

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

int CClientChannel::OpenConnection(const std::string& strPath, std::string* pstrError,
                                   bool bOneWay) {
    int fd = ConnectSocket(strPath, pstrError);
    if (fd < 0) {
        return -1;
    }
    if (!ClientHello(fd, m_eRole, pstrError, bOneWay ? k_ubFrameFlagOneWayStream : 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool CClientChannel::Open(const std::string& strPath, std::string* pstrError) {
    Close();
    int fd = OpenConnection(strPath, pstrError);
    if (fd < 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strPath = strPath;
    m_bOpen = true;
    m_pidOwner = CurrentPid();
    m_vecIdle.push_back(fd);
    return true;
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

bool CClientChannel::PeerClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_vecIdle.empty() || m_pidOwner != CurrentPid()) {
        return false;
    }
    // An idle connection never has anything to read: input here is the end
    // of the stream.
    pollfd fd = {m_vecIdle.back(), POLLIN | POLLRDHUP, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
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

int CClientChannel::OpenForGeneration(const std::string& strPath, uint64_t unGeneration,
                                      bool bOneWay, ECall& eFail) {
    int fd = OpenConnection(strPath, nullptr, bOneWay);
    if (fd < 0) {
        eFail = Call_Lost;
        if (m_bAutoOpen) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_unGeneration == unGeneration) {
                m_bOpen = false;  // resolve the path again next time
            }
        }
    }
    return fd;
}

int CClientChannel::TakeConnection(uint64_t& unGeneration, bool& bReused, ECall& eFail) {
    std::string strPath;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!PrepareLocked(eFail)) {
            return -1;
        }
        unGeneration = m_unGeneration;
        if (!m_vecIdle.empty()) {
            int fd = m_vecIdle.back();
            m_vecIdle.pop_back();
            bReused = true;
            return fd;
        }
        strPath = m_strPath;
    }
    bReused = false;
    return OpenForGeneration(strPath, unGeneration, false, eFail);
}

void CClientChannel::GiveBack(int fd, uint64_t unGeneration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bOpen && unGeneration == m_unGeneration && m_pidOwner == CurrentPid()) {
        m_vecIdle.push_back(fd);
        return;
    }
    close(fd);
}

void CClientChannel::DropPostConnection() {
    if (m_fdPost >= 0) {
        close(m_fdPost);  // in a forked child: only the child's copy
        m_fdPost = -1;
    }
    m_bPostsUnconfirmed.store(false, std::memory_order_release);
}

int CClientChannel::TakePostConnection(bool& bReused, ECall& eFail) {
    std::string strPath;
    uint64_t unGeneration = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fdPost >= 0 && m_bOpen && m_unPostGeneration == m_unGeneration &&
            m_pidPost == CurrentPid()) {
            bReused = true;
            return m_fdPost;
        }
        if (!PrepareLocked(eFail)) {
            return -1;
        }
        strPath = m_strPath;
        unGeneration = m_unGeneration;
    }
    // Closed, reopened or forked since: one-way requests still on their way
    // there belong to that connection's life.
    DropPostConnection();
    bReused = false;
    int fd = OpenForGeneration(strPath, unGeneration, true, eFail);
    if (fd >= 0) {
        // Room for a burst of lines (a replayed history, say) while the
        // simulator catches up: the kernel caps it at net.core.wmem_max, and
        // takes it only when data waits.
        int nSendBuffer = k_cubPostSendBuffer;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSendBuffer, sizeof(nSendBuffer));
        m_fdPost = fd;
        m_unPostGeneration = unGeneration;
        m_pidPost = CurrentPid();
    }
    return fd;
}

CClientChannel::ECall CClientChannel::Post(uint16_t usOp, const std::string& payload) {
    std::lock_guard<std::mutex> postLock(m_postMutex);
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        bool bReused = false;
        ECall eFail = Call_Lost;
        int fd = TakePostConnection(bReused, eFail);
        if (fd < 0) {
            if (m_bAutoOpen && eFail == Call_Lost && nAttempt == 0) {
                continue;  // the socket path is resolved anew (see Call)
            }
            return eFail;
        }
        if (SendFrame(fd, usOp, Status_Ok, payload, -1, k_ubFrameFlagOneWay)) {
            m_bPostsUnconfirmed.store(true, std::memory_order_release);
            return Call_Ok;
        }
        DropPostConnection();
        if (!(m_bAutoOpen && bReused)) {
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
        bCurrent = m_bOpen && m_unPostGeneration == m_unGeneration && m_pidPost == CurrentPid();
    }
    if (!bCurrent) {
        DropPostConnection();  // not this connection's life: nothing to confirm
        return Call_Ok;
    }
    // The simulator handles a connection's frames in order: the ping's answer
    // comes after every one-way request before it has been handled.
    Frame reply;
    if (!RoundTrip(m_fdPost, Op_Ping, "", reply)) {
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
        uint64_t unGeneration = 0;
        bool bReused = false;
        ECall eFail = Call_Lost;
        int fd = TakeConnection(unGeneration, bReused, eFail);
        if (fd < 0) {
            // An auto-opening channel may still hold the socket path of a
            // simulator that has since been replaced (a forked child inherits
            // its parent's): the failed connect dropped it, so resolve it once
            // more before giving up.
            if (m_bAutoOpen && eFail == Call_Lost && nAttempt == 0) {
                continue;
            }
            return eFail;
        }
        if (RoundTrip(fd, usOp, payload, reply, pReceivedFd)) {
            GiveBack(fd, unGeneration);
            return Call_Ok;
        }
        close(fd);
        // A pooled connection of an auto-opening channel may belong to a
        // simulator that has since been replaced: try once more on a fresh one.
        if (!(m_bAutoOpen && bReused)) {
            break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unGeneration == unGeneration) {
            for (int idle : m_vecIdle) {
                close(idle);
            }
            m_vecIdle.clear();
            m_bOpen = false;
        }
    }
    return Call_Lost;
}

}  // namespace lattice_proto
