#include "crash.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quill_stub {

namespace {

constexpr size_t k_cchComment = 16384;
constexpr int k_nMaxFrames = 64;

std::mutex g_commentMutex;
char g_szComment[k_cchComment];

std::mutex g_dumpMutex;  // requested dumps, one at a time
std::atomic<int> g_nDumpSequence{0};
std::atomic<bool> g_bCrashing{false};

// Set at install time, read by the signal handler.
char g_szVersion[128];
char g_szBuild[128];
std::atomic<uint32_t> g_unAppId{0};
bool g_bFullMemory = false;
void* g_pvContext = nullptr;
std::atomic<PFNPreMinidumpCallback> g_pfnPreMinidump{nullptr};
char g_szExeName[256] = "process";
alignas(16) char g_altStack[64 * 1024];

const int k_rgnSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void CopyText(char* pDest, size_t cchDest, const char* pchSource) {
    size_t i = 0;
    for (; pchSource && pchSource[i] && i + 1 < cchDest; ++i) {
        pDest[i] = pchSource[i];
    }
    pDest[i] = '\0';
}

// Small writers that neither allocate nor lock.
class CDumpWriter {
public:
    explicit CDumpWriter(int fd) : m_fd(fd) {}
    CDumpWriter& Str(const char* pch) {
        if (pch) {
            size_t cch = strlen(pch);
            while (cch > 0) {
                ssize_t n = write(m_fd, pch, cch);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return *this;
                }
                pch += n;
                cch -= static_cast<size_t>(n);
            }
        }
        return *this;
    }
    CDumpWriter& UInt(uint64_t v, int nBase = 10) {
        char buffer[24];
        int i = sizeof(buffer) - 1;
        buffer[i] = '\0';
        do {
            buffer[--i] = "0123456789abcdef"[v % nBase];
            v /= nBase;
        } while (v > 0 && i > 0);
        return Str(buffer + i);
    }
    CDumpWriter& Hex(uint64_t v) { return Str("0x").UInt(v, 16); }

private:
    int m_fd;
};

void FormatUInt(char* pBuffer, size_t cch, uint64_t v) {
    char digits[24];
    int i = 0;
    do {
        digits[i++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0);
    size_t n = 0;
    while (i > 0 && n + 1 < cch) {
        pBuffer[n++] = digits[--i];
    }
    pBuffer[n] = '\0';
}

void Append(char* pDest, size_t cchDest, const char* pchText) {
    size_t n = strlen(pDest);
    CopyText(pDest + n, cchDest - n, pchText);
}

// Creates every missing directory of the path (mode 0700).
void MakeDirectories(const char* pchPath) {
    char buffer[1024];
    CopyText(buffer, sizeof(buffer), pchPath);
    for (char* p = buffer + 1; *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(buffer, 0700);
            *p = '/';
        }
    }
    mkdir(buffer, 0700);
}

void DumpDirectory(char* pBuffer, size_t cch) {
    const char* pchDir = getenv("QUILL_DUMP_DIR");
    if (pchDir && *pchDir) {
        CopyText(pBuffer, cch, pchDir);
        return;
    }
    char szUid[24];
    FormatUInt(szUid, sizeof(szUid), getuid());
    CopyText(pBuffer, cch, "/tmp/quill-dumps-");
    Append(pBuffer, cch, szUid);
}

void CacheExecutableName() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return;
    }
    buffer[n] = '\0';
    const char* pchBase = strrchr(buffer, '/');
    CopyText(g_szExeName, sizeof(g_szExeName), pchBase ? pchBase + 1 : buffer);
}

// Opens a new dump file; -1 when the directory cannot be written.
int OpenDumpFile(char* pszPath, size_t cchPath) {
    char szDir[1024];
    DumpDirectory(szDir, sizeof(szDir));
    MakeDirectories(szDir);
    char szPid[24];
    FormatUInt(szPid, sizeof(szPid), static_cast<uint64_t>(getpid()));
    for (int nAttempt = 0; nAttempt < 1000; ++nAttempt) {
        char szSequence[24];
        FormatUInt(szSequence, sizeof(szSequence), static_cast<uint64_t>(++g_nDumpSequence));
        CopyText(pszPath, cchPath, szDir);
        Append(pszPath, cchPath, "/");
        Append(pszPath, cchPath, g_szExeName);
        Append(pszPath, cchPath, "-");
        Append(pszPath, cchPath, szPid);
        Append(pszPath, cchPath, "-");
        Append(pszPath, cchPath, szSequence);
        Append(pszPath, cchPath, ".dmp");
        int fd = open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

const char* SignalName(int nSignal) {
    switch (nSignal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

void WriteBacktrace(CDumpWriter& out, bool bDemangle) {
    void* rgpFrames[k_nMaxFrames];
    int nFrames = backtrace(rgpFrames, k_nMaxFrames);
    out.Str("backtrace (thread ").UInt(static_cast<uint64_t>(syscall(SYS_gettid))).Str("):\n");
    for (int i = 0; i < nFrames; ++i) {
        out.Str("#")
            .UInt(static_cast<uint64_t>(i))
            .Str(" ")
            .Hex(reinterpret_cast<uintptr_t>(rgpFrames[i]));
        Dl_info info{};
        if (dladdr(rgpFrames[i], &info) != 0) {
            if (info.dli_sname) {
                char* pchDemangled = nullptr;
                if (bDemangle) {
                    int nStatus = 0;
                    pchDemangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &nStatus);
                }
                out.Str(" ").Str(pchDemangled ? pchDemangled : info.dli_sname);
                std::free(pchDemangled);
                out.Str("+").Hex(reinterpret_cast<uintptr_t>(rgpFrames[i]) -
                                 reinterpret_cast<uintptr_t>(info.dli_saddr));
            } else {
                out.Str(" ??");
            }
            if (info.dli_fname) {
                const char* pchBase = strrchr(info.dli_fname, '/');
                out.Str(" (").Str(pchBase ? pchBase + 1 : info.dli_fname).Str(")");
            }
        }
        out.Str("\n");
    }
}

// Writes one dump. pchComment is read as it is; the caller decides the locking.
void WriteDump(const char* pchReason, const char* pchComment, bool bFromSignal) {
    char szPath[1200];
    int fd = OpenDumpFile(szPath, sizeof(szPath));
    if (fd < 0) {
        return;
    }
    CDumpWriter out(fd);
    out.Str("Quill minidump\n");
    out.Str("reason: ").Str(pchReason).Str("\n");
    out.Str("pid: ").UInt(static_cast<uint64_t>(getpid())).Str("\n");
    out.Str("executable: ").Str(g_szExeName).Str("\n");
    out.Str("app id: ").UInt(g_unAppId.load()).Str("\n");
    out.Str("version: ").Str(g_szVersion).Str("\n");
    out.Str("build: ").Str(g_szBuild).Str("\n");
    out.Str("full memory: ").Str(g_bFullMemory ? "yes" : "no").Str("\n");
    out.Str("time: ").UInt(static_cast<uint64_t>(time(nullptr))).Str("\n");
    out.Str("comment:\n").Str(pchComment);
    if (pchComment && *pchComment && pchComment[strlen(pchComment) - 1] != '\n') {
        out.Str("\n");
    }
    out.Str("end of comment\n");
    WriteBacktrace(out, !bFromSignal);
    out.Str("end of dump\n");
    close(fd);
}

void CrashSignalHandler(int nSignal, siginfo_t* pInfo, void*) {
    if (g_bCrashing.exchange(true)) {
        // A crash inside the crash handling: let the default action end it.
        signal(nSignal, SIG_DFL);
        raise(nSignal);
        return;
    }
    if (PFNPreMinidumpCallback pfn = g_pfnPreMinidump.load()) {
        pfn(g_pvContext);
    }
    char szReason[128];
    CopyText(szReason, sizeof(szReason), "signal ");
    char szNumber[24];
    FormatUInt(szNumber, sizeof(szNumber), static_cast<uint64_t>(nSignal));
    Append(szReason, sizeof(szReason), szNumber);
    Append(szReason, sizeof(szReason), " (");
    Append(szReason, sizeof(szReason), SignalName(nSignal));
    Append(szReason, sizeof(szReason), ")");
    if (pInfo && (nSignal == SIGSEGV || nSignal == SIGBUS)) {
        Append(szReason, sizeof(szReason), " at address ");
        char szHex[24];
        uintptr_t addr = reinterpret_cast<uintptr_t>(pInfo->si_addr);
        int i = sizeof(szHex) - 1;
        szHex[i] = '\0';
        do {
            szHex[--i] = "0123456789abcdef"[addr % 16];
            addr /= 16;
        } while (addr > 0 && i > 2);
        szHex[--i] = 'x';
        szHex[--i] = '0';
        Append(szReason, sizeof(szReason), szHex + i);
    }
    WriteDump(szReason, g_szComment, true);
    // The signal is blocked while we run; re-raised with the default action it
    // ends the process the way it would have without us.
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

}  // namespace

void InstallCrashHandler(const char* pchVersion, const char* pchDate, const char* pchTime,
                         bool bFullMemoryDumps, void* pvContext, PFNPreMinidumpCallback pfn) {
    CopyText(g_szVersion, sizeof(g_szVersion), pchVersion);
    CopyText(g_szBuild, sizeof(g_szBuild), pchDate);
    Append(g_szBuild, sizeof(g_szBuild), " ");
    Append(g_szBuild, sizeof(g_szBuild), pchTime);
    g_bFullMemory = bFullMemoryDumps;
    g_pvContext = pvContext;
    g_pfnPreMinidump.store(pfn);
    CacheExecutableName();
    // backtrace() loads its unwinder on first use; do that now, not in a crash.
    void* rgpFrames[4];
    backtrace(rgpFrames, 4);

    stack_t altStack{};
    altStack.ss_sp = g_altStack;
    altStack.ss_size = sizeof(g_altStack);
    sigaltstack(&altStack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = CrashSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int nSignal : k_rgnSignals) {
        sigaction(nSignal, &action, nullptr);
    }
}

void SetCrashAppId(uint32_t unAppId) {
    g_unAppId.store(unAppId);
}

void SetDumpComment(const char* pchComment) {
    if (g_bCrashing.load()) {
        // Called from the pre-minidump callback of a crash: no locking.
        CopyText(g_szComment, sizeof(g_szComment), pchComment);
        return;
    }
    std::lock_guard<std::mutex> lock(g_commentMutex);
    CopyText(g_szComment, sizeof(g_szComment), pchComment);
}

void WriteRequestedDump(uint32_t uExceptionCode, uint32_t uBuildId) {
    std::lock_guard<std::mutex> dumpLock(g_dumpMutex);
    if (g_szExeName[0] == '\0' || std::strcmp(g_szExeName, "process") == 0) {
        CacheExecutableName();
    }
    char szComment[k_cchComment];
    {
        std::lock_guard<std::mutex> lock(g_commentMutex);
        std::memcpy(szComment, g_szComment, sizeof(szComment));
    }
    char szReason[128];
    CopyText(szReason, sizeof(szReason), "requested (exception code ");
    char szNumber[24];
    FormatUInt(szNumber, sizeof(szNumber), uExceptionCode);
    Append(szReason, sizeof(szReason), szNumber);
    Append(szReason, sizeof(szReason), ", build id ");
    FormatUInt(szNumber, sizeof(szNumber), uBuildId);
    Append(szReason, sizeof(szReason), szNumber);
    Append(szReason, sizeof(szReason), ")");
    WriteDump(szReason, szComment, false);
}

}  // namespace quill_stub
