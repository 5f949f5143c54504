// Whole-file reads and writes of pathtools.h: bounded reads that never wait
// on a FIFO, and writes that report a failure instead of a half-written file.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pathtools.h"

namespace {

struct FileCloser {
    void operator()(FILE* pFile) const { fclose(pFile); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// fclose flushes buffered data; a failure there (a full disk, say) means the
// text never reached the file and must not be reported as written.
bool CloseChecked(FilePtr& pFile) {
    return fclose(pFile.release()) == 0;
}

}  // namespace

namespace {

// Opens a file to be read whole. O_NONBLOCK keeps the open itself from
// waiting (a FIFO without a writer would hold the caller forever), O_NOCTTY
// keeps a terminal from becoming ours; anything but a regular file is then
// refused before its size (or lack of one) is trusted. -1 with errno.
int OpenRegularFile(const std::string& sPath, struct stat* pStat, int nFlags = O_RDONLY) {
    int fd = open(sPath.c_str(), nFlags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    int nErr = 0;
    if (fstat(fd, pStat) != 0) {
        nErr = errno;
    } else if (!S_ISREG(pStat->st_mode)) {
        nErr = S_ISDIR(pStat->st_mode) ? EISDIR : EINVAL;
    }
    if (nErr != 0) {
        close(fd);
        errno = nErr;
        return -1;
    }
    return fd;
}

}  // namespace

bool Path_WriteToDescriptor(int fd, const char* pchData, size_t unSize) {
    while (unSize > 0) {
        ssize_t nWritten = write(fd, pchData, unSize);
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten <= 0) {
            if (nWritten == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        pchData += nWritten;
        unSize -= static_cast<size_t>(nWritten);
    }
    return true;
}

int Path_OpenRegularFileForAppend(const std::string& sPath) {
    struct stat st;
    int fd = OpenRegularFile(sPath, &st, O_WRONLY | O_APPEND | O_CREAT);
    if (fd >= 0) {
        fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    }
    return fd;
}

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            int nErr = errno;
            close(fd);
            errno = nErr;
        }
    }
};

// Reads exactly unSize bytes; false (errno EIO for a file that shrank) otherwise.
bool ReadExactly(int fd, unsigned char* pBuffer, size_t unSize) {
    size_t unDone = 0;
    while (unDone < unSize) {
        ssize_t nRead = read(fd, pBuffer + unDone, unSize - unDone);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead <= 0) {
            if (nRead == 0) {
                errno = EIO;
            }
            return false;
        }
        unDone += static_cast<size_t>(nRead);
    }
    return true;
}

// Reads to the end of an open regular file into buffer, starting from the
// size fstat gave (plus the one byte that finds the end, so a file that did
// not change takes one allocation). More than unMaxSize bytes is EFBIG;
// memory that cannot be had is ENOMEM. An empty file is not read: files of
// /proc say 0 and are not what the whole-file readers are for.
template <typename Buffer>
bool ReadToEnd(int fd, const struct stat& st, size_t unMaxSize, Buffer& buffer) {
    buffer.clear();
    if (st.st_size <= 0) {
        return true;
    }
    size_t unSize = static_cast<size_t>(st.st_size);
    if (unSize > unMaxSize) {
        errno = EFBIG;
        return false;
    }
    try {
        buffer.resize(unSize + 1);
        size_t unUsed = 0;
        while (true) {
            if (unUsed == buffer.size()) {
                if (unUsed > unMaxSize) {  // the file grew beyond the limit
                    buffer.clear();
                    errno = EFBIG;
                    return false;
                }
                buffer.resize(unUsed + std::min(unUsed, unMaxSize + 1 - unUsed));
            }
            ssize_t nRead = read(fd, &buffer[unUsed], buffer.size() - unUsed);
            if (nRead < 0 && errno == EINTR) {
                continue;
            }
            if (nRead < 0) {
                int nErr = errno;
                buffer.clear();
                errno = nErr;
                return false;
            }
            if (nRead == 0) {
                break;
            }
            unUsed += static_cast<size_t>(nRead);
        }
        buffer.resize(unUsed);
    } catch (const std::exception&) {  // bad_alloc, or a size beyond max_size()
        Buffer().swap(buffer);
        errno = ENOMEM;
        return false;
    }
    return true;
}

// Drops a leading UTF-8 byte order mark and turns CR LF into LF, in place.
void TextFromBytes(std::string& sData) {
    size_t unRead = 0;
    if (sData.size() > 2 && static_cast<unsigned char>(sData[0]) == 0xEF &&
        static_cast<unsigned char>(sData[1]) == 0xBB &&
        static_cast<unsigned char>(sData[2]) == 0xBF) {
        unRead = 3;
    }
    size_t unWrite = 0;
    for (; unRead < sData.size(); ++unRead) {
        if (sData[unRead] == '\r' && unRead + 1 < sData.size() && sData[unRead + 1] == '\n') {
            continue;  // the LF that follows is kept
        }
        sData[unWrite++] = sData[unRead];
    }
    sData.resize(unWrite);
}

}  // namespace

unsigned char* Path_ReadBinaryFile(const std::string& sPath, size_t* punSize) {
    struct stat st;
    FdCloser file{OpenRegularFile(sPath, &st)};
    if (file.fd < 0 || st.st_size <= 0) {
        return nullptr;
    }
    size_t unSize = static_cast<size_t>(st.st_size);
    // A file larger than the memory we can get (a huge sparse file, say) is a
    // failed read, not an exception out of a function that never throws.
    std::unique_ptr<unsigned char[]> pBuffer(new (std::nothrow) unsigned char[unSize]);
    if (!pBuffer || !ReadExactly(file.fd, pBuffer.get(), unSize)) {
        return nullptr;
    }
    if (punSize) {
        *punSize = unSize;
    }
    return pBuffer.release();
}

size_t Path_ReadBinaryFile(const std::string& sPath, unsigned char* pBuffer, size_t unBufferSize) {
    struct stat st;
    FdCloser file{OpenRegularFile(sPath, &st)};
    if (file.fd < 0 || st.st_size <= 0) {
        return 0;
    }
    size_t unSize = static_cast<size_t>(st.st_size);
    if (pBuffer && unBufferSize >= unSize && !ReadExactly(file.fd, pBuffer, unSize)) {
        return 0;
    }
    return unSize;
}

std::vector<uint8_t> Path_ReadBinaryFile(const std::string& sPath) {
    struct stat st;
    FdCloser file{OpenRegularFile(sPath, &st)};
    std::vector<uint8_t> vecData;
    if (file.fd < 0 || !ReadToEnd(file.fd, st, SIZE_MAX - 1, vecData)) {
        return {};
    }
    return vecData;
}

std::string Path_ReadTextFile(const std::string& sPath) {
    std::string sText;
    Path_ReadTextFileLimited(sPath, SIZE_MAX, sText);  // failed: sText is empty
    return sText;
}

bool Path_ReadFileLimited(const std::string& sPath, size_t unMaxSize, std::string& sData,
                          std::string* psError) {
    struct stat st;
    FdCloser file{OpenRegularFile(sPath, &st)};
    // One byte beyond the limit must stay countable.
    size_t unLimit = std::min(unMaxSize, SIZE_MAX - 1);
    if (file.fd >= 0 && ReadToEnd(file.fd, st, unLimit, sData)) {
        return true;
    }
    int nErr = errno;
    sData.clear();
    if (psError) {
        if (nErr == EFBIG) {
            *psError = "larger than " + std::to_string(unMaxSize) + " bytes";
        } else if (nErr == EINVAL || nErr == EISDIR) {
            *psError = "not a regular file";
        } else {
            char rchError[128];
            *psError = strerror_r(nErr, rchError, sizeof(rchError));  // any thread may read
        }
    }
    errno = nErr;
    return false;
}

bool Path_ReadTextFileLimited(const std::string& sPath, size_t unMaxSize, std::string& sText,
                              std::string* psError) {
    if (!Path_ReadFileLimited(sPath, unMaxSize, sText, psError)) {
        return false;
    }
    TextFromBytes(sText);
    return true;
}

bool Path_WriteBinaryFile(const std::string& sPath, const unsigned char* pData, size_t unSize) {
    FilePtr pFile(fopen(sPath.c_str(), "wb"));
    if (!pFile) {
        return false;
    }
    bool bWritten = unSize == 0 || (pData && fwrite(pData, 1, unSize, pFile.get()) == unSize);
    return CloseChecked(pFile) && bWritten;
}

bool Path_WriteStringToTextFile(const std::string& sPath, const char* pchText) {
    if (!pchText) {
        return false;
    }
    FilePtr pFile(fopen(sPath.c_str(), "w"));
    if (!pFile) {
        return false;
    }
    bool bWritten = fputs(pchText, pFile.get()) >= 0;
    return CloseChecked(pFile) && bWritten;
}

bool Path_WriteStringToTextFileAtomic(const std::string& sPath, const char* pchText) {
    if (!pchText) {
        return false;
    }
    std::string sTemp = sPath + ".tmp";
    if (!Path_WriteStringToTextFile(sTemp, pchText)) {
        int nErr = errno;
        unlink(sTemp.c_str());  // no half-written debris next to the real file
        errno = nErr;
        return false;
    }
    if (rename(sTemp.c_str(), sPath.c_str()) != 0) {
        int nErr = errno;
        unlink(sTemp.c_str());
        errno = nErr;
        return false;
    }
    return true;
}

namespace {

// The path a chain of symbolic links finally names (relative targets resolve
// against the link's directory), whether or not that file exists yet.
bool ResolveSymbolicLinks(const std::string& sPath, std::string* psTarget) {
    constexpr int k_nMaxLinks = 40;  // the kernel's own limit for one lookup
    std::string sCurrent = sPath;
    for (int nLinks = 0; nLinks <= k_nMaxLinks; ++nLinks) {
        struct stat st;
        if (lstat(sCurrent.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            *psTarget = sCurrent;  // to be created
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            *psTarget = sCurrent;
            return true;
        }
        char rchLink[4096];
        ssize_t nLength = readlink(sCurrent.c_str(), rchLink, sizeof(rchLink));
        if (nLength < 0) {
            return false;
        }
        if (static_cast<size_t>(nLength) >= sizeof(rchLink)) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (nLength == 0) {
            errno = ENOENT;
            return false;
        }
        std::string sLink(rchLink, static_cast<size_t>(nLength));
        size_t unSlash = sCurrent.rfind('/');
        if (sLink[0] != '/' && unSlash != std::string::npos) {
            sLink = sCurrent.substr(0, unSlash + 1) + sLink;
        }
        sCurrent = sLink;
    }
    errno = ELOOP;
    return false;
}

// Creates "<path>.<random>.tmp" exclusively (mode 0666 before the umask, as
// a plain write would create the file); -1 with errno on failure.
int CreateUniqueTemporary(const std::string& sPath, std::string* psTemp) {
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        uint64_t unRandom = 0;
        if (getrandom(&unRandom, sizeof(unRandom), 0) != static_cast<ssize_t>(sizeof(unRandom))) {
            unRandom = (static_cast<uint64_t>(getpid()) << 32) ^
                       reinterpret_cast<uintptr_t>(&unRandom) ^ static_cast<uint64_t>(nAttempt);
        }
        char rchSuffix[32];
        snprintf(rchSuffix, sizeof(rchSuffix), ".%016llx.tmp",
                 static_cast<unsigned long long>(unRandom));
        *psTemp = sPath + rchSuffix;
        int fd = open(psTemp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// The replacement keeps what the old file was: its mode, and its owner where
// this process may give files away (root saving a user's file). Failing to
// hand over the owner is not an error: an ordinary user owns what it writes.
bool TakeOverOwnerAndMode(int fd, const struct stat& stOld) {
    if ((stOld.st_uid != geteuid() || stOld.st_gid != getegid()) &&
        fchown(fd, stOld.st_uid, stOld.st_gid) != 0) {
        // Not permitted: the file stays ours, as a new file would be.
    }
    return fchmod(fd, stOld.st_mode & 07777) == 0;
}

// Best effort: makes the rename itself survive a crash of the machine.
void SyncDirectoryOf(const std::string& sPath) {
    size_t unSlash = sPath.rfind('/');
    std::string sDirectory =
        unSlash == std::string::npos ? "." : (unSlash == 0 ? "/" : sPath.substr(0, unSlash));
    int fd = open(sDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

bool Path_ReplaceTextFileAtomic(const std::string& sPath, const std::string& sText) {
    std::string sTarget;
    if (sPath.empty() || !ResolveSymbolicLinks(sPath, &sTarget)) {
        if (sPath.empty()) {
            errno = ENOENT;
        }
        return false;
    }
    struct stat stOld;
    bool bExists = stat(sTarget.c_str(), &stOld) == 0;
    if (!bExists && errno != ENOENT) {
        return false;
    }
    if (bExists && !S_ISREG(stOld.st_mode)) {
        errno = S_ISDIR(stOld.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    // Replacing is allowed where writing the file in place would be, and a
    // file nobody may write (no write bit at all) stays read-only even for
    // root, who could otherwise write anything.
    if (bExists && (stOld.st_mode & 0222) == 0) {
        errno = EACCES;
        return false;
    }
    if (bExists && faccessat(AT_FDCWD, sTarget.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    std::string sTemp;
    int fd = CreateUniqueTemporary(sTarget, &sTemp);
    if (fd < 0) {
        return false;
    }
    bool bOk = Path_WriteToDescriptor(fd, sText.data(), sText.size()) &&
               (!bExists || TakeOverOwnerAndMode(fd, stOld)) && fsync(fd) == 0;
    int nErr = errno;
    if (close(fd) != 0 && bOk) {
        bOk = false;
        nErr = errno;
    }
    if (bOk && rename(sTemp.c_str(), sTarget.c_str()) != 0) {
        bOk = false;
        nErr = errno;
    }
    if (!bOk) {
        unlink(sTemp.c_str());
        errno = nErr;
        return false;
    }
    SyncDirectoryOf(sTarget);
    return true;
}
