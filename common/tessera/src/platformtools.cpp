#include "platformtools.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
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

}  // namespace

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
