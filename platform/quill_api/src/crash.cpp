#include "crash.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "dump_dir.h"
#include "dump_text.h"
#include "symbolizer.h"

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

// Opens a new dump file; -1 when the directory is unusable or refused.
int OpenDumpFile() {
    char szDir[1024];
    int fdDir = OpenDumpDirectory(szDir, sizeof(szDir));
    if (fdDir < 0) {
        return -1;
    }
    char szPid[24];
    FormatUInt(szPid, sizeof(szPid), static_cast<uint64_t>(getpid()));
    int fd = -1;
    for (int nAttempt = 0; nAttempt < 1000; ++nAttempt) {
        char szSequence[24];
        FormatUInt(szSequence, sizeof(szSequence), static_cast<uint64_t>(++g_nDumpSequence));
        char szName[sizeof(g_szExeName) + 64];
        CopyText(szName, sizeof(szName), g_szExeName);
        Append(szName, sizeof(szName), "-");
        Append(szName, sizeof(szName), szPid);
        Append(szName, sizeof(szName), "-");
        Append(szName, sizeof(szName), szSequence);
        Append(szName, sizeof(szName), ".dmp");
        fd = CreateDumpFile(fdDir, szName);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    close(fdDir);
    return fd;
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

// "#<n> <pc> <symbol>+<offset> (<module>+<offset in the module's file>)":
// dynamic symbols only, but the module offset lets the frame be symbolized
// later from the module's debug information. Safe in the crash handler
// without bDemangle (see there).
void WritePlainFrame(CDumpWriter& out, int nFrame, void* pFrame, bool bDemangle) {
    uintptr_t pc = reinterpret_cast<uintptr_t>(pFrame);
    out.Str("#").UInt(static_cast<uint64_t>(nFrame)).Str(" ").Hex(pc);
    Dl_info info{};
    link_map* pModule = nullptr;
    if (dladdr1(pFrame, &info, reinterpret_cast<void**>(&pModule), RTLD_DL_LINKMAP) != 0) {
        if (info.dli_sname) {
            char* pchDemangled = nullptr;
            if (bDemangle) {
                int nStatus = 0;
                pchDemangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &nStatus);
            }
            out.Str(" ").Str(pchDemangled ? pchDemangled : info.dli_sname);
            std::free(pchDemangled);
            out.Str("+").Hex(pc - reinterpret_cast<uintptr_t>(info.dli_saddr));
        } else {
            out.Str(" ??");
        }
        if (info.dli_fname) {
            const char* pchBase = strrchr(info.dli_fname, '/');
            out.Str(" (").Str(pchBase ? pchBase + 1 : info.dli_fname);
            if (pModule) {
                out.Str("+").Hex(pc - pModule->l_addr);
            }
            out.Str(")");
        }
    }
    out.Str("\n");
}

// Kept for the life of the process (never destroyed: a dump may be asked for
// during exit); used under g_dumpMutex only.
CSymbolizer* RequestedDumpSymbolizer() {
    static CSymbolizer* s_pSymbolizer = new CSymbolizer;
    return s_pSymbolizer;
}

// pSymbolizer null: the crash handler's plain frames.
void WriteBacktrace(CDumpWriter& out, void* const* ppFrames, int nFrames,
                    CSymbolizer* pSymbolizer) {
    out.Str("backtrace (thread ").UInt(static_cast<uint64_t>(syscall(SYS_gettid))).Str("):\n");
    for (int i = 0; i < nFrames; ++i) {
        uintptr_t pc = reinterpret_cast<uintptr_t>(ppFrames[i]);
        if (!pSymbolizer || !pSymbolizer->BWriteFrame(out, i, pc)) {
            WritePlainFrame(out, i, ppFrames[i], pSymbolizer != nullptr);
        }
    }
}

// Writes one dump. pchComment is read as it is; the caller decides the
// locking. bSymbolize allocates: never from the crash handler, and only
// under g_dumpMutex.
void WriteDump(const char* pchReason, const char* pchComment, void* const* ppFrames, int nFrames,
               bool bSymbolize) {
    int fd = OpenDumpFile();
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
    CSymbolizer* pSymbolizer = nullptr;
    if (bSymbolize) {
        pSymbolizer = RequestedDumpSymbolizer();
        pSymbolizer->Refresh();
    }
    WriteBacktrace(out, ppFrames, nFrames, pSymbolizer);
    out.Str("end of dump\n");
    close(fd);
}

// Runs on the crashing thread, whose heap and locks may be in any state, so
// it uses system calls and the helpers of dump_text and dump_dir only: no
// heap, no stdio, no locks of ours. Three library calls are not on the
// POSIX list of async-signal-safe functions and are kept on purpose:
// - getenv (the dump directory): a plain scan of the environment;
// - backtrace: its unwinder is loaded at install time, so here it only reads
//   unwind tables, without allocating;
// - dladdr1 (frame names): takes the dynamic loader's lock, which is
//   recursive, so it waits only while another thread is loading or
//   unloading a library.
// Frames are not symbolized from debug information here: that allocates, and
// a crash inside malloc (heap corruption is the usual one) would leave the
// process hanging instead of ending. Each frame carries its module offset
// instead, from which it can be symbolized afterwards.
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
    char szNumber[24];
    CopyText(szReason, sizeof(szReason), "signal ");
    FormatUInt(szNumber, sizeof(szNumber), static_cast<uint64_t>(nSignal));
    Append(szReason, sizeof(szReason), szNumber);
    Append(szReason, sizeof(szReason), " (");
    Append(szReason, sizeof(szReason), SignalName(nSignal));
    Append(szReason, sizeof(szReason), ")");
    if (pInfo && (nSignal == SIGSEGV || nSignal == SIGBUS)) {
        Append(szReason, sizeof(szReason), " at address 0x");
        FormatUInt(szNumber, sizeof(szNumber), reinterpret_cast<uintptr_t>(pInfo->si_addr), 16);
        Append(szReason, sizeof(szReason), szNumber);
    }
    void* rgpFrames[k_nMaxFrames];
    int nFrames = backtrace(rgpFrames, k_nMaxFrames);
    WriteDump(szReason, g_szComment, rgpFrames, nFrames, false);
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
    void* rgpFrames[k_nMaxFrames];
    int nFrames = backtrace(rgpFrames, k_nMaxFrames);
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
    WriteDump(szReason, szComment, rgpFrames, nFrames, true);
}

}  // namespace quill_stub
