// Process functions of the thread tools: ids, liveness, priorities, shell
// launches and the /proc process list.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "threadtools.h"
#include "vrassert.h"

namespace {

// Set once ThreadShellExecute has installed the SIGCHLD reaper.
std::atomic<bool> s_bReaperInstalled{false};

}  // namespace

int ThreadGetCurrentProcessId() {
    return force_pid ? force_pid_val : getpid();
}

bool ThreadOverrideCurrentProcessId(int pid) {
    force_pid_val = pid;
    force_pid = pid != 0;
    return true;
}

int ThreadGetCurrentProcessHandle() {
    return getpid();
}

int ThreadOpenProcess(int pid) {
    return pid;
}

bool ThreadCloseProcess(int pid) {
    if (pid > 0) {
        waitpid(pid, nullptr, WNOHANG);
    }
    return pid != 0;
}

// Process functions take one process: 0 and below would address the caller's
// process group, another group or every process, so they are refused.
bool ThreadIsProcessActive(int pid) {
    if (pid <= 0) {
        return false;
    }
    return kill(pid, 0) == 0 || errno != ESRCH;
}

bool ThreadTerminateProcessCode(int pid) {
    return pid > 0 && kill(pid, SIGTERM) == 0;
}

bool ThreadGetProcessExitCode(int pid, int* pnStatus) {
    int nStatus = 0;
    // waitpid would reap any child of the group (or of the process) instead.
    if (pid <= 0 || waitpid(pid, &nStatus, WNOHANG) <= 0) {
        return false;
    }
    if (pnStatus) {
        *pnStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
    return true;
}

bool ThreadWaitForProcessExit(int pid, uint32_t nMillisecondsTimeout) {
    int64_t nRemaining = nMillisecondsTimeout;
    while (true) {
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            return true;
        }
        if (nRemaining <= 0) {
            return false;
        }
        if (nRemaining < 10) {
            usleep(1000);
            nRemaining -= 1;
        } else {
            usleep(10000);
            nRemaining -= 10;
        }
    }
}

int ThreadGetProcessParentID() {
    return getppid();
}

int ThreadGetProcessPriority(int pid) {
    errno = 0;
    int nNice = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (nNice == -1 && errno != 0) {
        return 2;
    }
    if (nNice > 14) {
        return 0;
    }
    if (nNice >= 8) {
        return 1;
    }
    if (nNice >= 0) {
        return 2;
    }
    return nNice >= -10 ? 3 : 4;
}

bool ThreadSetProcessPriority(int pid, int nPriorityClass) {
    static const int k_rgnNice[] = {15, 8, 0, -10, -20};
    if (nPriorityClass < 0 || nPriorityClass > 4) {
        TESSERA_ASSERT_MSG(false, "Unknown priority class!\n");
        return false;
    }
    return setpriority(PRIO_PROCESS, static_cast<id_t>(pid), k_rgnNice[nPriorityClass]) == 0;
}

// ---- shell launches -----------------------------------------------------------------

namespace {

// The number of CChildReaperHold objects alive, or -1 while a reaping pass
// runs. Lock-free, because the reaper runs inside a signal handler.
std::atomic<int> s_nReaperHolds{0};
// The holds of the calling thread: the only ones a child made by fork keeps.
thread_local int tl_nReaperHolds = 0;

void ResetReaperHoldsInChild() {
    s_nReaperHolds.store(tl_nReaperHolds);
}

}  // namespace

void ReapChildProcesses(int) {
    int nSavedErrno = errno;
    // A held reaper leaves the children alone; the last hold's end comes back.
    int nFree = 0;
    if (s_nReaperHolds.compare_exchange_strong(nFree, -1)) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        s_nReaperHolds.store(0);
    }
    errno = nSavedErrno;
}

CChildReaperHold::CChildReaperHold() {
    static const bool s_bAtForkRegistered =
        pthread_atfork(nullptr, nullptr, &ResetReaperHoldsInChild) == 0;
    (void)s_bAtForkRegistered;
    ++tl_nReaperHolds;
    int nHolds = s_nReaperHolds.load();
    // A pass in progress (-1) ends after a few waitpid calls; wait it out.
    while (nHolds < 0 || !s_nReaperHolds.compare_exchange_weak(nHolds, nHolds + 1)) {
        if (nHolds < 0) {
            sched_yield();
            nHolds = s_nReaperHolds.load();
        }
    }
}

CChildReaperHold::~CChildReaperHold() {
    --tl_nReaperHolds;
    if (s_nReaperHolds.fetch_sub(1) == 1 && s_bReaperInstalled.load()) {
        ReapChildProcesses(SIGCHLD);
    }
}

namespace {

void InstallChildReaper() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        struct sigaction action = {};
        action.sa_handler = ReapChildProcesses;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &action, nullptr);
        s_bReaperInstalled.store(true);
    });
}

// The exit code a child passes on for a shell status: the command's own code,
// or -1 when the shell could not run it or a signal ended it.
int ExitCodeForShellStatus(int nStatus) {
    if (nStatus == -1 || !WIFEXITED(nStatus)) {
        return -1;
    }
    return WEXITSTATUS(nStatus);
}

}  // namespace

int ThreadShellExecute(const char* pchCommand, const char* pchArguments, const char* pchDirectory) {
    if (pchDirectory && pchDirectory[0]) {
        struct stat st;
        if (stat(pchDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) {
            return 0;
        }
    }
    // Made before the fork, and refused when it does not fit: a command cut
    // short is another command.
    char rchCommand[2048];
    int nLength = snprintf(rchCommand, sizeof(rchCommand), "%s %s", pchCommand ? pchCommand : "",
                           pchArguments ? pchArguments : "");
    if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof(rchCommand)) {
        return 0;
    }
    InstallChildReaper();
    pid_t pid = fork();
    if (pid < 0) {
        return 0;
    }
    if (pid == 0) {
        // _exit, not exit: the parent's static destructors (which release
        // machine-wide locks) must not run in the child.
        if (pchDirectory && pchDirectory[0] && chdir(pchDirectory) != 0) {
            _exit(-1);
        }
        _exit(ExitCodeForShellStatus(system(rchCommand)));
    }
    return pid;
}

int CreateSimpleProcess(const char* pchCommand, void*, int* pnPid) {
    pid_t pid = fork();
    if (pid < 0) {
        return errno;
    }
    if (pid == 0) {
        _exit(ExitCodeForShellStatus(system(pchCommand)));
    }
    if (pnPid) {
        *pnPid = pid;
    }
    return 0;
}

// ---- /proc process list -------------------------------------------------------------

namespace {

// Parses "pid (command) state ppid ..." where the command may hold spaces and
// parentheses. false when the line does not have that shape.
bool ParseStatLine(const char* pchLine, int* pnPid, int* pnParent) {
    const char* pchOpen = strchr(pchLine, '(');
    const char* pchClose = strrchr(pchLine, ')');
    if (!pchOpen || !pchClose || pchClose < pchOpen) {
        return false;
    }
    if (sscanf(pchLine, "%d", pnPid) != 1) {
        return false;
    }
    char chState = 0;
    return sscanf(pchClose + 1, " %c %d", &chState, pnParent) == 2;
}

bool IsAllDigits(const char* pch) {
    if (!*pch) {
        return false;
    }
    for (; *pch; ++pch) {
        if (*pch < '0' || *pch > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

unsigned ThreadGetProcessListInfo(unsigned unMaxCount, int (*pPairs)[2]) {
    DIR* pDir = opendir("/proc");
    if (!pDir) {
        return static_cast<unsigned>(-1);
    }
    unsigned unFound = 0;
    bool bParseError = false;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (!IsAllDigits(pEntry->d_name)) {
            continue;
        }
        char rchPath[300];
        snprintf(rchPath, sizeof(rchPath), "/proc/%s/stat", pEntry->d_name);
        FILE* pFile = fopen(rchPath, "r");
        if (!pFile) {
            continue;  // ended since the directory was read
        }
        char rchLine[1024];
        bool bRead = fgets(rchLine, sizeof(rchLine), pFile) != nullptr;
        fclose(pFile);
        if (!bRead) {
            continue;
        }
        int nPid = 0;
        int nParent = 0;
        if (!ParseStatLine(rchLine, &nPid, &nParent)) {
            bParseError = true;
            break;
        }
        if (pPairs && unFound < unMaxCount) {
            pPairs[unFound][0] = nPid;
            pPairs[unFound][1] = nParent;
        }
        ++unFound;
    }
    closedir(pDir);
    return bParseError ? static_cast<unsigned>(-1) : unFound;
}
