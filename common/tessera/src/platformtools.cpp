#include "platformtools.h"

#include <pthread.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "strtools_public.h"

namespace {

// The open status file and the process it belongs to, published together
// through one pointer: a reader never pairs a stream with another process's
// pid, and no stream that a thread of this process may read is ever closed.
// A child made by fork without exec inherits its parent's entry, which
// describes the parent: it opens its own and keeps the inherited one linked,
// unread and never closed (closing an input stream moves the file position,
// which the child's copy shares with the parent's stream).
struct StatusStream {
    FILE* pFile;
    pid_t pid;
    StatusStream* pInherited;
};

std::atomic<StatusStream*> s_pStatusStream{nullptr};

FILE* StatusFileOfThisProcess() {
    const pid_t pid = getpid();
    StatusStream* pCurrent = s_pStatusStream.load(std::memory_order_acquire);
    while (!pCurrent || pCurrent->pid != pid) {
        FILE* pOpened = fopen("/proc/self/status", "r");
        if (!pOpened) {
            return nullptr;  // tried again on the next call
        }
        auto* pNew = new StatusStream{pOpened, pid, pCurrent};
        if (s_pStatusStream.compare_exchange_strong(pCurrent, pNew, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
            return pOpened;
        }
        // Another thread published first; pCurrent is theirs now.
        fclose(pOpened);
        delete pNew;
    }
    return pCurrent->pFile;
}

// The cached answer and when it is next read again, on the coarse monotonic
// clock (read without a system call).
constexpr int64_t k_nDebugCheckIntervalNs = 250'000'000;
constexpr int64_t k_nDebugCheckNow = INT64_MIN;
std::atomic<int64_t> s_nDebugCheckDueNs{k_nDebugCheckNow};
std::atomic<bool> s_bDebugCheckAnswer{false};

int64_t CoarseMonotonicNs() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A forked child is a process of its own: it must not go on with its
// parent's answer (a debugged parent's child is not debugged).
void ExpireDebugCheckInChild() {
    s_nDebugCheckDueNs.store(k_nDebugCheckNow, std::memory_order_relaxed);
}

}  // namespace

bool Plat_IsInDebugSessionCached() {
    static const bool s_bForkHandled =
        pthread_atfork(nullptr, nullptr, ExpireDebugCheckInChild) == 0;
    (void)s_bForkHandled;
    int64_t nDue = s_nDebugCheckDueNs.load(std::memory_order_acquire);
    const int64_t nNow = CoarseMonotonicNs();
    // One thread reads the file when the answer is due; the others go on
    // with the last answer meanwhile.
    if (nNow < nDue || !s_nDebugCheckDueNs.compare_exchange_strong(
                           nDue, nNow + k_nDebugCheckIntervalNs, std::memory_order_acq_rel)) {
        return s_bDebugCheckAnswer.load(std::memory_order_acquire);
    }
    const bool bTraced = Plat_IsInDebugSession();
    s_bDebugCheckAnswer.store(bTraced, std::memory_order_release);
    return bTraced;
}

bool Plat_IsInDebugSession() {
    FILE* pFile = StatusFileOfThisProcess();
    if (!pFile) {
        return false;
    }
    // Callers on several threads share the stream: hold its lock from the
    // rewind to the answer so that nobody rewinds it under another reader.
    flockfile(pFile);
    rewind(pFile);
    fflush(pFile);
    bool bTraced = false;
    char rchLine[256];
    while (fgets(rchLine, sizeof(rchLine), pFile)) {
        if (strncasecmp(rchLine, "TracerPid:", 10) == 0) {
            bTraced = strlen(rchLine) > 11 && strtol(rchLine + 11, nullptr, 10) != 0;
            break;
        }
    }
    funlockfile(pFile);
    return bTraced;
}

bool IsRunningInAppContainer() {
    static std::atomic<bool> s_bDetermined{false};
    static std::atomic<bool> s_bResult{false};
    if (s_bDetermined.load(std::memory_order_acquire)) {
        return s_bResult.load(std::memory_order_relaxed);
    }
    bool bResult = false;
    std::ifstream file("/etc/os-release");
    std::string sLine;
    while (!bResult && std::getline(file, sLine)) {
        std::vector<std::string> vecTokens = TokenizeString(sLine, '=');
        bResult = vecTokens.size() == 2 && vecTokens[0] == "ID" && vecTokens[1] == "quillrt";
    }
    s_bResult.store(bResult, std::memory_order_relaxed);
    s_bDetermined.store(true, std::memory_order_release);
    return bResult;
}

bool IsPosix() {
    return true;
}
bool IsWorkstationLocked() {
    return false;
}
bool IsRunningAsService() {
    return false;
}
bool SetCurrentProcessExplicitAppUserModelID(const char*) {
    return true;
}
