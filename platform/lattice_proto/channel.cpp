#include "channel.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace lattice_proto {

namespace {

// This process's id without a system call on every call: an idle frame asks
// for it several times. Read again in a child made by fork.
std::atomic<pid_t> s_pidCurrent{0};

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

int CClientChannel::OpenConnection(const std::string& strPath, std::string* pstrError) {
    int fd = ConnectSocket(strPath, pstrError);
    if (fd < 0) {
        return -1;
    }
    if (!ClientHello(fd, m_eRole, pstrError)) {
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

int CClientChannel::TakeConnection(uint64_t& unGeneration, bool& bReused, ECall& eFail) {
    std::string strPath;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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
                return -1;
            }
            m_strPath = ResolveSocketPath();
            m_bOpen = true;
            m_pidOwner = CurrentPid();
            ++m_unGeneration;
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
    int fd = OpenConnection(strPath, nullptr);
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

void CClientChannel::GiveBack(int fd, uint64_t unGeneration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bOpen && unGeneration == m_unGeneration && m_pidOwner == CurrentPid()) {
        m_vecIdle.push_back(fd);
        return;
    }
    close(fd);
}

CClientChannel::ECall CClientChannel::Call(uint16_t usOp, const std::string& payload, Frame& reply,
                                           int* pReceivedFd) {
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
