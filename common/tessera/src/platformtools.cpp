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

// The open status file and the process it belongs to: a child made by fork
// without exec inherits the stream, which still describes its parent.
struct StatusFile {
    std::atomic<FILE*> pFile{nullptr};
    std::atomic<pid_t> pid{0};
};

FILE* OpenStatusFile(StatusFile& status) {
    FILE* pFile = status.pFile.load(std::memory_order_acquire);
    if (pFile && status.pid.load(std::memory_order_relaxed) == getpid()) {
        return pFile;
    }
    FILE* pOpened = fopen("/proc/self/status", "r");
    if (!pOpened) {
        return nullptr;  // tried again on the next call
    }
    if (!status.pFile.compare_exchange_strong(pFile, pOpened, std::memory_order_acq_rel)) {
        fclose(pOpened);  // another thread got there first
        return pFile;
    }
    status.pid.store(getpid(), std::memory_order_relaxed);
    if (pFile) {
        fclose(pFile);  // the parent's stream, inherited through fork
    }
    return pOpened;
}

}  // namespace

bool Plat_IsInDebugSession() {
    static StatusFile s_status;
    FILE* pFile = OpenStatusFile(s_status);
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
