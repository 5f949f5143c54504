#include "combinedlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "pathtools.h"

namespace {

// Each pass follows one rotation made by another process between our open
// and our lock; more in a row means the path keeps changing under us.
constexpr int k_nMaxFollow = 16;

void FlockRetrying(int fd, int nOperation) {
    while (flock(fd, nOperation) != 0 && errno == EINTR) {
    }
}

bool BSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int CCombinedLogFile::OpenPath() const {
    return Path_OpenRegularFileForAppend(m_sPath);
}

bool CCombinedLogFile::Open(const std::string& sPath, const std::string& sPreviousPath,
                            uint64_t unStartupThreshold, uint64_t unRotateSize) {
    Close();
    m_sPath = sPath;
    m_sPreviousPath = sPreviousPath;
    m_unRotateSize = unRotateSize;
    m_fd = OpenPath();
    if (m_fd < 0) {
        return false;
    }
    uint64_t unSize = 0;
    if (LockCurrentFile(&unSize) && unStartupThreshold != 0 && unSize > unStartupThreshold) {
        Rotate();
    }
    Unlock();
    return true;
}

void CCombinedLogFile::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool CCombinedLogFile::LockCurrentFile(uint64_t* punSize) {
    *punSize = 0;
    for (int nPass = 0;; ++nPass) {
        FlockRetrying(m_fd, LOCK_EX);
        struct stat stOpen;
        struct stat stPath;
        if (fstat(m_fd, &stOpen) != 0) {
            return false;
        }
        *punSize = static_cast<uint64_t>(stOpen.st_size);
        if (stat(m_sPath.c_str(), &stPath) == 0 && BSameFile(stOpen, stPath)) {
            return true;
        }
        if (nPass == k_nMaxFollow) {
            return false;
        }
        // Another process rotated the file (or it was removed): the path is
        // where every process writes, so follow it.
        int fdNew = OpenPath();
        if (fdNew < 0) {
            return false;
        }
        close(m_fd);  // releases the lock on the old file
        m_fd = fdNew;
    }
}

void CCombinedLogFile::Unlock() {
    FlockRetrying(m_fd, LOCK_UN);
}

void CCombinedLogFile::Write(const struct iovec* pPieces, int nPieces) {
    if (m_fd < 0) {
        return;
    }
    uint64_t unSize = 0;
    bool bCurrent = LockCurrentFile(&unSize);
    ssize_t nWritten;
    do {
        nWritten = writev(m_fd, pPieces, nPieces);
    } while (nWritten < 0 && errno == EINTR);
    size_t unLength = 0;
    for (int i = 0; i < nPieces; ++i) {
        unLength += pPieces[i].iov_len;
    }
    // A line that did not fit (a full disk) is cut off again: the next line,
    // this process's or another's, must not continue a torn one.
    if (bCurrent && nWritten > 0 && static_cast<size_t>(nWritten) < unLength &&
        ftruncate(m_fd, static_cast<off_t>(unSize)) == 0) {
        nWritten = 0;
    }
    // The size seen under the lock plus our line is the file's real size:
    // every writer appends under the same lock.
    if (bCurrent && nWritten > 0 && unSize + static_cast<uint64_t>(nWritten) > m_unRotateSize) {
        Rotate();
    }
    Unlock();
}

void CCombinedLogFile::Rotate() {
    BDeleteFileIfExists(m_sPreviousPath.c_str());
    if (!BRenameFile(m_sPath.c_str(), m_sPreviousPath.c_str())) {
        return;  // the file stays where it is and keeps growing
    }
    int fdNew = OpenPath();
    if (fdNew < 0) {
        return;  // the next line follows the path again
    }
    close(m_fd);
    m_fd = fdNew;
}
