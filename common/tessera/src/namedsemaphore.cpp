#include "namedsemaphore.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "logregistry.h"
#include "pathtools.h"

namespace {

// The caller defines semun for semctl (see semctl(2)).
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
    struct seminfo* __buf;
};

constexpr uint32_t k_unInfinite = 0xFFFFFFFFu;
constexpr int k_nMaxSweep = 101;
constexpr int k_nCreatorPolls = 100;
constexpr useconds_t k_usCreatorPollInterval = 250;
constexpr int64_t k_usMaxPollSleep = 500;
// Removing an orphan and creating afresh normally takes one or two rounds; a
// set that keeps coming back (one we may not remove, or a creator that never
// operates on it) must not keep the caller busy for ever.
constexpr int k_nMaxCreateAttempts = 100;

int SemOp(int nSemId, short nDelta, short nFlags) {
    struct sembuf op = {0, nDelta, nFlags};
    return semop(nSemId, &op, 1);
}

// Marks a fresh set as operated on, leaving its value alone: a take and a give
// in one atomic call, or for a zero value a wait-for-zero that succeeds at
// once. Openers poll for the creator's first operation and would otherwise
// wait for as long as the creator lives without touching the set.
void MarkOperated(int nSemId, int nValue) {
    struct sembuf rgOps[2] = {{0, -1, IPC_NOWAIT}, {0, 1, IPC_NOWAIT}};
    struct sembuf zeroOp = {0, 0, IPC_NOWAIT};
    while ((nValue > 0 ? semop(nSemId, rgOps, 2) : semop(nSemId, &zeroOp, 1)) != 0 &&
           errno == EINTR) {
    }
}

bool SetInitialValue(int nSemId, int nInitialValue) {
    union semun arg;
    arg.val = nInitialValue;
    if (semctl(nSemId, 0, SETVAL, arg) != 0) {
        return false;
    }
    MarkOperated(nSemId, nInitialValue);
    return true;
}

// Waits for the creator's first operation (or, for value 0, only for the set
// to be readable). true when the set can be used.
bool PollForCreator(int nSemId, int nInitialValue) {
    for (int i = 0; i < k_nCreatorPolls; ++i) {
        struct semid_ds ds;
        union semun arg;
        arg.buf = &ds;
        if (semctl(nSemId, 0, IPC_STAT, arg) == 0 && (nInitialValue == 0 || ds.sem_otime != 0)) {
            return true;
        }
        usleep(k_usCreatorPollInterval);
    }
    return false;
}

}  // namespace

key_t SemaphoreKeyFromName(const char* pchName, bool bGlobal) {
    if (!pchName) {
        return -1;
    }
    uint32_t unKey = tessera::crc32(0, pchName, strlen(pchName));
    if (!bGlobal) {
        std::string sUser = GetEnvironmentVariable("USER");
        if (!sUser.empty()) {
            unKey = tessera::crc32(unKey, sUser.data(), sUser.size());
        }
    }
    if (unKey == 0xFFFFFFFFu || unKey == static_cast<uint32_t>(IPC_PRIVATE)) {
        return -1;
    }
    return static_cast<key_t>(unKey);
}

bool BIsSemaphoreOrphaned(int nSemId, pid_t pidGiven) {
    int nWaitIncrease = semctl(nSemId, 0, GETNCNT);
    int nWaitZero = semctl(nSemId, 0, GETZCNT);
    int nLastPid = semctl(nSemId, 0, GETPID);
    if (nWaitIncrease != 0 || nWaitZero != 0 || nLastPid < 0) {
        return false;
    }
    if (nLastPid == 0 || nLastPid == pidGiven) {
        return true;
    }
    return kill(nLastPid, 0) != 0 && errno == ESRCH;
}

bool DestroySemaphoreInternal(int nSemId) {
    return semctl(nSemId, 0, IPC_RMID) == 0;
}

int RemoveOrphanedSemaphores(int nMaxRemoved) {
    struct seminfo info;
    union semun arg;
    arg.__buf = &info;
    int nMaxIndex = semctl(0, 0, SEM_INFO, arg);
    int nRemoved = 0;
    for (int nIndex = 0; nIndex <= nMaxIndex && nRemoved < nMaxRemoved; ++nIndex) {
        struct semid_ds ds;
        union semun statArg;
        statArg.buf = &ds;
        int nSemId = semctl(nIndex, 0, SEM_STAT, statArg);
        if (nSemId >= 0 && BIsSemaphoreOrphaned(nSemId, 0) && DestroySemaphoreInternal(nSemId)) {
            ++nRemoved;
        }
    }
    return nRemoved;
}

int CreatePrivateSemaphoreInternal(int nInitialValue) {
    int nSemId = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (nSemId < 0) {
        return -1;
    }
    if (!SetInitialValue(nSemId, nInitialValue)) {
        int nError = errno;
        DestroySemaphoreInternal(nSemId);
        errno = nError;
        return -1;
    }
    return nSemId;
}

int CreateSemaphoreInternal(const char* pchName, bool bGlobal, int nInitialValue, bool* pbCreated) {
    bool bCreatedLocal = false;
    bool& bCreated = pbCreated ? *pbCreated : bCreatedLocal;
    key_t key = SemaphoreKeyFromName(pchName, bGlobal);
    if (key == -1) {
        errno = EINVAL;
        return -1;
    }
    const int nPerms = bGlobal ? 0666 : 0600;
    bool bSwept = false;
    int nUnremovableId = -1;
    int nRemoveError = 0;
    // An orphan that cannot be removed is noted; a later round may find it gone.
    auto removeOrphan = [&](int nSemId) {
        if (!DestroySemaphoreInternal(nSemId) && errno != EIDRM && errno != EINVAL) {
            nUnremovableId = nSemId;
            nRemoveError = errno;
        }
    };
    for (int nAttempt = 0; nAttempt < k_nMaxCreateAttempts; ++nAttempt) {
        bCreated = true;
        int nSemId = semget(key, 1, IPC_CREAT | IPC_EXCL | nPerms);
        if (nSemId >= 0) {
            if (SetInitialValue(nSemId, nInitialValue)) {
                return nSemId;
            }
            // Removed under us before we could set it up (another process took
            // the untouched set for an orphan): start again.
            if (errno == EIDRM || errno == EINVAL) {
                continue;
            }
            int nError = errno;
            DestroySemaphoreInternal(nSemId);
            errno = nError;
            return -1;
        }
        if (errno == ENOSPC && !bSwept) {
            bSwept = true;
            RemoveOrphanedSemaphores(k_nMaxSweep);
            continue;
        }
        if (errno != EEXIST) {
            return -1;
        }
        nSemId = semget(key, 0, 0);
        if (nSemId < 0) {
            if (errno == ENOENT) {
                continue;  // removed between our two calls
            }
            return -1;
        }
        if (BIsSemaphoreOrphaned(nSemId, 0)) {
            removeOrphan(nSemId);
            continue;
        }
        bCreated = false;
        if (PollForCreator(nSemId, nInitialValue)) {
            errno = EEXIST;
            return nSemId;
        }
        if (BIsSemaphoreOrphaned(nSemId, 0)) {
            removeOrphan(nSemId);
        }
        // Either way, look again: create it anew or open and poll once more.
    }
    if (nUnremovableId >= 0) {
        Log(LogLevel_Error,
            "Failed to create semaphore '%s': its orphaned semaphore (id %d) cannot be removed: "
            "%s\n",
            pchName, nUnremovableId, strerror(nRemoveError));
        errno = nRemoveError;
    } else {
        Log(LogLevel_Error, "Failed to create semaphore '%s': gave up after %d attempts\n", pchName,
            k_nMaxCreateAttempts);
        errno = EAGAIN;
    }
    bCreated = false;
    return -1;
}

int OpenSemaphoreInternal(const char* pchName, bool bGlobal) {
    key_t key = SemaphoreKeyFromName(pchName, bGlobal);
    if (key == -1) {
        errno = EINVAL;
        return -1;
    }
    int nSemId = semget(key, 0, 0);
    if (nSemId < 0) {
        return -1;
    }
    if (BIsSemaphoreOrphaned(nSemId, 0)) {
        DestroySemaphoreInternal(nSemId);
        errno = ENOENT;
        return -1;
    }
    return nSemId;
}

bool TryTakeSemaphoreUnit(int nSemId) {
    while (SemOp(nSemId, -1, IPC_NOWAIT) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool AcquireSemaphoreInternal(int nSemId, uint32_t nMillisecondsTimeout) {
    if (nMillisecondsTimeout == k_unInfinite) {
        while (SemOp(nSemId, -1, 0) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    int64_t usBudget = static_cast<int64_t>(nMillisecondsTimeout) * 1000;
    while (SemOp(nSemId, -1, IPC_NOWAIT) != 0) {
        if ((errno != EAGAIN && errno != EINTR) || usBudget <= 0) {
            return false;
        }
        int64_t usSleep = std::min(usBudget, k_usMaxPollSleep);
        usleep(static_cast<useconds_t>(usSleep));
        usBudget -= usSleep;
    }
    return true;
}

bool ReleaseSemaphoreInternal(int nSemId, int nCount) {
    if (nCount <= 0 || nCount > SHRT_MAX) {
        errno = EINVAL;
        return false;
    }
    while (SemOp(nSemId, static_cast<short>(nCount), 0) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}
