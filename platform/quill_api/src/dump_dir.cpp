#include "dump_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "dump_text.h"

namespace quill_stub {

namespace {

constexpr char k_szMessagePrefix[] = "libquill_api: ";
constexpr int k_nPrivateDirAttempts = 16;

enum class EDirProblem {
    None,
    Missing,
    Link,
    NotDirectory,
    ForeignOwner,
    SharedAccess,
    Unopenable
};

struct DirCheck {
    EDirProblem eProblem = EDirProblem::None;
    uid_t uidOwner = 0;
    mode_t mode = 0;
    int nErrno = 0;
};

// The private directory a process fell back to, reused by its later dumps.
// Published by the flag, so a crash handler never reads a half-written path.
char g_szPrivateDir[64];
std::atomic<bool> g_bPrivateDirReady{false};

// Creates every missing directory of the path (mode 0700); true when the last
// one was created by this call.
bool MakeDirectories(const char* pchPath) {
    char buffer[1024];
    CopyText(buffer, sizeof(buffer), pchPath);
    for (char* p = buffer + 1; *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(buffer, 0700);
            *p = '/';
        }
    }
    return mkdir(buffer, 0700) == 0;
}

void Classify(const char* pchDir, int nErrno, DirCheck* pCheck) {
    pCheck->nErrno = nErrno;
    struct stat st {};
    if (nErrno == ENOENT) {
        pCheck->eProblem = EDirProblem::Missing;
    } else if (nErrno == ENOTDIR || nErrno == ELOOP) {
        bool bLink = lstat(pchDir, &st) == 0 && S_ISLNK(st.st_mode);
        pCheck->eProblem = bLink ? EDirProblem::Link : EDirProblem::NotDirectory;
    } else {
        pCheck->eProblem = EDirProblem::Unopenable;
    }
}

// Opens pchDir if it is a real directory that only the effective user can
// enter. The checks run on the opened descriptor, so nothing can be swapped
// in between. A directory this process has just made gets exactly 0700,
// whatever the umask took away.
int OpenChecked(const char* pchDir, bool bMadeNow, DirCheck* pCheck) {
    int fd = open(pchDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Classify(pchDir, errno, pCheck);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        pCheck->eProblem = EDirProblem::Unopenable;
        pCheck->nErrno = errno;
    } else if (st.st_uid != geteuid()) {
        pCheck->eProblem = EDirProblem::ForeignOwner;
        pCheck->uidOwner = st.st_uid;
    } else {
        if (bMadeNow && fchmod(fd, 0700) == 0) {
            st.st_mode = S_IFDIR | 0700;
        }
        if ((st.st_mode & 077) != 0) {
            pCheck->eProblem = EDirProblem::SharedAccess;
            pCheck->mode = st.st_mode & 07777;
        }
    }
    if (pCheck->eProblem != EDirProblem::None) {
        close(fd);
        return -1;
    }
    return fd;
}

void WriteProblem(CDumpWriter& err, const DirCheck& check) {
    switch (check.eProblem) {
        case EDirProblem::None:
            break;
        case EDirProblem::Missing:
            err.Str("it does not exist and cannot be created");
            break;
        case EDirProblem::Link:
            err.Str("it is a symbolic link");
            break;
        case EDirProblem::NotDirectory:
            err.Str("it is not a directory");
            break;
        case EDirProblem::ForeignOwner:
            err.Str("it is owned by uid ")
                .UInt(check.uidOwner)
                .Str(", not by uid ")
                .UInt(geteuid());
            break;
        case EDirProblem::SharedAccess:
            err.Str("its mode ").Octal(check.mode).Str(" lets group or others in");
            break;
        case EDirProblem::Unopenable:
            err.Str("it cannot be opened (errno ")
                .UInt(static_cast<uint64_t>(check.nErrno))
                .Str(")");
            break;
    }
}

uint64_t RandomNumber() {
    uint64_t v = 0;
    if (getrandom(&v, sizeof(v), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(v))) {
        return v;
    }
    // Only a name: the directory is made exclusively and checked, so a
    // guessable one costs at most another attempt.
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) * 1000000007u) ^ static_cast<uint64_t>(ts.tv_nsec) ^
           (static_cast<uint64_t>(getpid()) << 32);
}

void DefaultDirectory(char* pszDir, size_t cchDir) {
    char szUid[24];
    FormatUInt(szUid, sizeof(szUid), getuid());
    CopyText(pszDir, cchDir, "/tmp/quill-dumps-");
    Append(pszDir, cchDir, szUid);
}

// A private directory beside the default one: the one made earlier by this
// process if it still passes the checks, else a new one.
int OpenPrivateDirectory(char* pszDir, size_t cchDir, int* pnErrno) {
    DirCheck check;
    if (g_bPrivateDirReady.load(std::memory_order_acquire)) {
        int fd = OpenChecked(g_szPrivateDir, false, &check);
        if (fd >= 0) {
            CopyText(pszDir, cchDir, g_szPrivateDir);
            return fd;
        }
    }
    *pnErrno = 0;
    for (int nAttempt = 0; nAttempt < k_nPrivateDirAttempts; ++nAttempt) {
        char szPath[sizeof(g_szPrivateDir)];
        char szRandom[24];
        DefaultDirectory(szPath, sizeof(szPath));
        FormatUInt(szRandom, sizeof(szRandom), RandomNumber(), 16);
        Append(szPath, sizeof(szPath), "-");
        Append(szPath, sizeof(szPath), szRandom);
        if (mkdir(szPath, 0700) != 0) {
            *pnErrno = errno;
            if (errno == EEXIST) {
                continue;
            }
            return -1;
        }
        int fd = OpenChecked(szPath, true, &check);
        if (fd >= 0) {
            g_bPrivateDirReady.store(false, std::memory_order_relaxed);
            CopyText(g_szPrivateDir, sizeof(g_szPrivateDir), szPath);
            g_bPrivateDirReady.store(true, std::memory_order_release);
            CopyText(pszDir, cchDir, szPath);
            return fd;
        }
        *pnErrno = check.nErrno;
    }
    return -1;
}

int OpenDefaultDirectory(char* pszDir, size_t cchDir) {
    DefaultDirectory(pszDir, cchDir);
    DirCheck check;
    int fd = OpenChecked(pszDir, mkdir(pszDir, 0700) == 0, &check);
    if (fd >= 0) {
        return fd;
    }
    char szUnsafe[64];
    CopyText(szUnsafe, sizeof(szUnsafe), pszDir);
    int nErrno = 0;
    fd = OpenPrivateDirectory(pszDir, cchDir, &nErrno);
    CDumpWriter err(STDERR_FILENO);
    if (fd < 0) {
        err.Str(k_szMessagePrefix).Str("dump not written: not using ").Str(szUnsafe).Str(": ");
        WriteProblem(err, check);
        err.Str("; no private directory could be made (errno ")
            .UInt(static_cast<uint64_t>(nErrno))
            .Str(")\n");
        return -1;
    }
    err.Str(k_szMessagePrefix).Str("not using ").Str(szUnsafe).Str(": ");
    WriteProblem(err, check);
    err.Str("; the dump goes into ").Str(pszDir).Str("\n");
    return fd;
}

int OpenChosenDirectory(const char* pchChosen, char* pszDir, size_t cchDir) {
    CDumpWriter err(STDERR_FILENO);
    if (strlen(pchChosen) >= cchDir) {
        err.Str(k_szMessagePrefix).Str("dump not written: QUILL_DUMP_DIR is too long\n");
        return -1;
    }
    CopyText(pszDir, cchDir, pchChosen);
    DirCheck check;
    int fd = OpenChecked(pszDir, MakeDirectories(pszDir), &check);
    if (fd < 0) {
        err.Str(k_szMessagePrefix).Str("dump not written: cannot use QUILL_DUMP_DIR ");
        err.Str(pszDir).Str(": ");
        WriteProblem(err, check);
        err.Str("\n");
    }
    return fd;
}

}  // namespace

int OpenDumpDirectory(char* pszDir, size_t cchDir) {
    // getenv only scans the environment; it neither allocates nor locks.
    const char* pchChosen = getenv("QUILL_DUMP_DIR");
    if (pchChosen && *pchChosen) {
        return OpenChosenDirectory(pchChosen, pszDir, cchDir);
    }
    return OpenDefaultDirectory(pszDir, cchDir);
}

int CreateDumpFile(int fdDir, const char* pchName) {
    return openat(fdDir, pchName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace quill_stub
