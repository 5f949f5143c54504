// bench_logline: what one log line costs the threads that write it, side by
// side in one run:
//   raw      a time prefix, vsnprintf, fwrite and fflush to a FILE: the floor
//            for a line that must reach the file before the call returns;
//   spdlog   a logger with a file sink flushed after every line and a ring
//            buffer sink holding as many lines as our 64 KiB buffer does;
//   glog     flushing every line (logbuflevel -1);
//   Log()    set up as halyard sets it up: Lattice_SetupLogging opens the log
//            file found through the path registry and subscribes the 64 KiB
//            in-memory buffer; the line goes through the log registry.
// Each round runs every contender once with 1 thread and once with 4 (the
// lines split between them), in an order that rotates from round to round;
// the table shows medians over the rounds and their ratio to the raw line.
//
// System calls per line: the same program runs one contender twice under a
// counter (perf stat on the syscall tracepoints, or strace when perf cannot be
// used), with L lines and with none; the difference of the two totals is
// divided by L, so start-up and set-up cancel out.
//
// Prints table rows (bench_support.h); passes or fails nothing.
#include <dirent.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "latticetools.h"
#include "vrlog.h"

#ifdef HALYARD_BENCH_SPDLOG
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#endif
#ifdef HALYARD_BENCH_GLOG
#include <glog/logging.h>
#endif

namespace {

using namespace halyard_bench;

// The text every contender writes, with the line number.
#define BENCH_LINE_FORMAT "frame %d of the main loop"

class CContender {
public:
    virtual ~CContender() = default;
    virtual const char* Name() const = 0;
    // Empty when the contender can run; otherwise why not.
    virtual std::string Unavailable() const { return std::string(); }
    virtual void Setup() {}
    // A fresh file per round, so rounds do not grow one file without end.
    virtual void StartRound(int /*nRound*/) {}
    virtual void Line(int nLine) = 0;
};

// The raw line: what every contender has to do at least.
class CRawLine final : public CContender {
public:
    explicit CRawLine(std::string sDir) : m_sPath(sDir + "/raw.txt") {}
    ~CRawLine() override {
        if (m_pFile) {
            fclose(m_pFile);
        }
    }
    const char* Name() const override { return "raw line"; }
    void StartRound(int) override {
        if (m_pFile) {
            fclose(m_pFile);
        }
        m_pFile = fopen(m_sPath.c_str(), "w");
        if (!m_pFile) {
            Fail("cannot open " + m_sPath + ": " + std::strerror(errno));
        }
    }
    void Line(int nLine) override { Write(BENCH_LINE_FORMAT "\n", nLine); }

private:
    void Write(const char* pchFormat, ...) __attribute__((format(printf, 2, 3))) {
        char rgchLine[4096];
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        size_t n = strftime(rgchLine, sizeof(rgchLine), "%a %b %d %Y %H:%M:%S", &local);
        n += static_cast<size_t>(
            snprintf(rgchLine + n, sizeof(rgchLine) - n, ".%06ld [Info] - ", ts.tv_nsec / 1000));
        va_list args;
        va_start(args, pchFormat);
        int nText = vsnprintf(rgchLine + n, sizeof(rgchLine) - n, pchFormat, args);
        va_end(args);
        n = std::min(n + static_cast<size_t>(std::max(nText, 0)), sizeof(rgchLine) - 1);
        fwrite(rgchLine, 1, n, m_pFile);
        fflush(m_pFile);
    }

    std::string m_sPath;
    FILE* m_pFile = nullptr;
};

// Log() with the process's writer opened through the real start-up path.
class CHalyardLog final : public CContender {
public:
    explicit CHalyardLog(std::string sDir) : m_sDir(sDir) {}
    const char* Name() const override { return "Log() as halyard"; }
    void Setup() override {
        UseScratchRegistry(m_sDir + "/halyard");
        int nResult = Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, 131072);
        if (nResult != 0) {
            Fail("Lattice_SetupLogging answered " + std::to_string(nResult));
        }
    }
    void Line(int nLine) override { Log(LogLevel_Info, BENCH_LINE_FORMAT "\n", nLine); }

private:
    std::string m_sDir;
};

// The number of lines our 64 KiB buffer keeps: each costs its text + 1.
size_t LinesIn64KiB() {
    char rgchText[128];
    int n = snprintf(rgchText, sizeof(rgchText), BENCH_LINE_FORMAT "\n", 250000);
    return 65536 / static_cast<size_t>(n + 1);
}

#ifdef HALYARD_BENCH_SPDLOG
class CSpdlog final : public CContender {
public:
    explicit CSpdlog(std::string sDir) : m_sPath(sDir + "/spdlog.txt") {}
    const char* Name() const override { return "spdlog file+ring"; }
    void StartRound(int) override {
        auto pFile = std::make_shared<spdlog::sinks::basic_file_sink_mt>(m_sPath, true);
        auto pRing = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(LinesIn64KiB());
        m_pLogger =
            std::make_shared<spdlog::logger>("bench", spdlog::sinks_init_list{pFile, pRing});
        m_pLogger->set_pattern("%a %b %d %Y %H:%M:%S.%f [%l] - %v");
        m_pLogger->set_level(spdlog::level::info);
        m_pLogger->flush_on(spdlog::level::info);
    }
    void Line(int nLine) override { m_pLogger->info("frame {} of the main loop", nLine); }

private:
    std::string m_sPath;
    std::shared_ptr<spdlog::logger> m_pLogger;
};
#endif

#ifdef HALYARD_BENCH_GLOG
class CGlog final : public CContender {
public:
    explicit CGlog(std::string sDir) : m_sDir(sDir + "/glog") {}
    const char* Name() const override { return "glog flush/line"; }
    void Setup() override {
        MakeDirectories(m_sDir);
        FLAGS_logtostderr = false;
        FLAGS_alsologtostderr = false;
        FLAGS_stderrthreshold = google::GLOG_FATAL;
        FLAGS_logbuflevel = -1;  // every level is flushed at once
        FLAGS_logbufsecs = 0;
        FLAGS_log_dir = m_sDir;
        google::InitGoogleLogging("bench_logline");
    }
    void StartRound(int nRound) override {
        // A new base name closes the old file; the next line opens a new one.
        std::string sPrefix = "r" + std::to_string(nRound) + "-";
        google::SetLogDestination(google::GLOG_INFO, (m_sDir + "/" + sPrefix).c_str());
        RemoveFilesExcept(sPrefix);
    }
    void Line(int nLine) override { LOG(INFO) << "frame " << nLine << " of the main loop"; }

private:
    void RemoveFilesExcept(const std::string& sPrefix) {
        DIR* pDir = opendir(m_sDir.c_str());
        while (dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
            std::string sName = pEntry->d_name;
            if (sName != "." && sName != ".." && sName.rfind(sPrefix, 0) != 0) {
                unlink((m_sDir + "/" + sName).c_str());
            }
        }
        if (pDir) {
            closedir(pDir);
        }
    }

    std::string m_sDir;
};
#endif

class CMissing final : public CContender {
public:
    CMissing(const char* pchName, const char* pchPackage)
        : m_pchName(pchName), m_pchPackage(pchPackage) {}
    const char* Name() const override { return m_pchName; }
    std::string Unavailable() const override {
        return std::string("not built: ") + m_pchPackage + " was not found at configure time";
    }
    void Line(int) override {}

private:
    const char* m_pchName;
    const char* m_pchPackage;
};

std::vector<std::unique_ptr<CContender>> MakeContenders(const std::string& sDir) {
    std::vector<std::unique_ptr<CContender>> vecContenders;
    vecContenders.push_back(std::make_unique<CRawLine>(sDir));
#ifdef HALYARD_BENCH_SPDLOG
    vecContenders.push_back(std::make_unique<CSpdlog>(sDir));
#else
    vecContenders.push_back(std::make_unique<CMissing>("spdlog file+ring", "libspdlog-dev"));
#endif
#ifdef HALYARD_BENCH_GLOG
    vecContenders.push_back(std::make_unique<CGlog>(sDir));
#else
    vecContenders.push_back(std::make_unique<CMissing>("glog flush/line", "libgoogle-glog-dev"));
#endif
    vecContenders.push_back(std::make_unique<CHalyardLog>(sDir));
    return vecContenders;
}

// Nanoseconds per line for nLines lines written by nThreads threads. A run
// of 0 lines goes through the same steps (threads included), so that its
// system calls are exactly what a counted run has besides the lines.
double RunOnce(CContender& contender, int nThreads, int nLines, int nRound) {
    contender.StartRound(nRound);
    if (nThreads == 1) {
        double flStart = MonotonicMs();
        for (int i = 0; i < nLines; ++i) {
            contender.Line(i);
        }
        return nLines ? (MonotonicMs() - flStart) * 1e6 / nLines : 0;
    }
    // The threads start together: they wait at a gate that opens with the clock.
    std::mutex mutex;
    std::condition_variable opened;
    bool bOpen = false;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < nThreads; ++t) {
        int nFirst = static_cast<int>(static_cast<long>(nLines) * t / nThreads);
        int nEnd = static_cast<int>(static_cast<long>(nLines) * (t + 1) / nThreads);
        vecThreads.emplace_back([&, nFirst, nEnd] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                opened.wait(lock, [&] { return bOpen; });
            }
            for (int i = nFirst; i < nEnd; ++i) {
                contender.Line(i);
            }
        });
    }
    double flStart = MonotonicMs();
    {
        std::lock_guard<std::mutex> lock(mutex);
        bOpen = true;
    }
    opened.notify_all();
    for (std::thread& thread : vecThreads) {
        thread.join();
    }
    return nLines ? (MonotonicMs() - flStart) * 1e6 / nLines : 0;
}

std::string Micros(double flNs) {
    return Fixed(flNs / 1000, 2) + " us";
}

// --- system calls per line ---------------------------------------------------

struct SyscallCount {
    std::string sError;                   // empty when counted
    std::map<std::string, double> mapBy;  // calls per name
    double flTotal = 0;
};

// How calls are counted. Perf: the kernel's syscall tracepoints as counters
// (perf stat, tracefs mounted in a private mount namespace), which leaves the
// process untraced. Strace: ptrace, only when perf cannot be used; a traced
// process looks debugged, and the log writer then also echoes each line to
// standard error, which the count includes.
enum class ECountMethod { Perf, Strace, None };

// perf stat -x, rows: "count,unit,event,...".
SyscallCount ParsePerfStat(const std::string& sText) {
    SyscallCount count;
    const std::string sPrefix = "syscalls:sys_enter_";
    for (const std::string& sLine : SplitLines(sText)) {
        size_t comma1 = sLine.find(',');
        size_t comma2 = comma1 == std::string::npos ? comma1 : sLine.find(',', comma1 + 1);
        size_t comma3 = comma2 == std::string::npos ? comma2 : sLine.find(',', comma2 + 1);
        if (comma3 == std::string::npos || !isdigit(static_cast<unsigned char>(sLine[0]))) {
            continue;
        }
        double flCalls = std::strtod(sLine.c_str(), nullptr);
        std::string sEvent = sLine.substr(comma2 + 1, comma3 - comma2 - 1);
        if (sEvent == "raw_syscalls:sys_enter") {
            count.flTotal = flCalls;
        } else if (sEvent.rfind(sPrefix, 0) == 0 && flCalls > 0) {
            count.mapBy[sEvent.substr(sPrefix.size())] = flCalls;
        }
    }
    if (count.flTotal <= 0) {
        count.sError = "no perf stat count";
    }
    return count;
}

// strace -c rows: "% time, seconds, usecs/call, calls, [errors,] syscall",
// then a "total" row.
SyscallCount ParseStraceSummary(const std::string& sText) {
    SyscallCount count;
    bool bInTable = false;
    for (const std::string& sLine : SplitLines(sText)) {
        if (sLine.rfind("------", 0) == 0) {
            bInTable = true;
            continue;
        }
        if (!bInTable) {
            continue;
        }
        std::vector<std::string> vecFields;
        char rgchField[128];
        int nUsed = 0;
        const char* pch = sLine.c_str();
        while (sscanf(pch, "%127s%n", rgchField, &nUsed) == 1) {
            vecFields.push_back(rgchField);
            pch += nUsed;
        }
        if (vecFields.size() < 5) {
            continue;
        }
        double flCalls = std::strtod(vecFields[3].c_str(), nullptr);
        if (vecFields.back() == "total") {
            count.flTotal = flCalls;
        } else {
            count.mapBy[vecFields.back()] = flCalls;
        }
    }
    if (count.flTotal <= 0) {
        count.sError = "no strace summary";
    }
    return count;
}

// What a log line might call: writing, time, identity, locks, files.
constexpr const char* k_pchNamedSyscalls =
    "write writev pwrite64 read pread64 lseek fsync fdatasync getpid gettid futex sched_yield "
    "clock_gettime gettimeofday newfstatat fstat statx openat close rename unlink fadvise64 "
    "madvise mmap munmap brk mprotect rt_sigprocmask ioctl sendmsg recvmsg sendto recvfrom "
    "poll ppoll nanosleep clock_nanosleep getrandom";

SyscallCount CountCommand(ECountMethod eMethod, const std::string& sOutput,
                          std::vector<std::string> vecCommand) {
    std::vector<std::string> vecArgv;
    if (eMethod == ECountMethod::Perf) {
        // The mount stays inside the new mount namespace. Counters for every
        // syscall would take seconds to open; the total is exact, the names
        // below make up the breakdown and the rest shows as "other".
        vecArgv = {"unshare",
                   "--mount",
                   "--propagation",
                   "private",
                   "--",
                   "sh",
                   "-c",
                   "[ -d /sys/kernel/tracing/events ] || mount -t tracefs nodev "
                   "/sys/kernel/tracing || exit 97; out=$1; shift; for n in " +
                       std::string(k_pchNamedSyscalls) +
                       "; do [ -d /sys/kernel/tracing/events/syscalls/sys_enter_$n ] && "
                       "set -- -e syscalls:sys_enter_$n \"$@\"; done; "
                       "exec perf stat -x, -o \"$out\" -e raw_syscalls:sys_enter \"$@\"",
                   "sh",
                   sOutput};
        vecCommand.insert(vecCommand.begin(), "--");
    } else {
        vecArgv = {"strace", "-f", "-c", "-o", sOutput};
    }
    vecArgv.insert(vecArgv.end(), vecCommand.begin(), vecCommand.end());
    Captured run = RunCapture(vecArgv);
    SyscallCount count;
    if (run.nExit != 0) {
        std::string sWhy = run.sErr.empty() ? "exit " + std::to_string(run.nExit) : run.sErr;
        count.sError = std::string(eMethod == ECountMethod::Perf ? "perf" : "strace") +
                       " failed: " + SplitLines(sWhy).front();
        return count;
    }
    count = eMethod == ECountMethod::Perf ? ParsePerfStat(ReadFile(sOutput))
                                          : ParseStraceSummary(ReadFile(sOutput));
    unlink(sOutput.c_str());
    return count;
}

ECountMethod ChooseCountMethod(const std::string& sDir, std::string* psWhy) {
    std::string sOutput = sDir + "/count-probe.txt";
    SyscallCount perf = CountCommand(ECountMethod::Perf, sOutput, {"true"});
    if (perf.sError.empty()) {
        return ECountMethod::Perf;
    }
    SyscallCount strace = CountCommand(ECountMethod::Strace, sOutput, {"true"});
    if (strace.sError.empty()) {
        *psWhy = perf.sError;
        return ECountMethod::Strace;
    }
    *psWhy = perf.sError + "; " + strace.sError;
    return ECountMethod::None;
}

SyscallCount CountRun(ECountMethod eMethod, const std::string& sDir, const std::string& sContender,
                      int nThreads, int nLines) {
    char rgchSelf[4096];
    ssize_t n = readlink("/proc/self/exe", rgchSelf, sizeof(rgchSelf) - 1);
    rgchSelf[n > 0 ? n : 0] = '\0';
    return CountCommand(
        eMethod,
        sDir + "/count-" + std::to_string(nThreads) + "-" + std::to_string(nLines) + ".txt",
        {rgchSelf, "--dir", sDir + "/counted", "--only", sContender, "--threads",
         std::to_string(nThreads), "--lines", std::to_string(nLines)});
}

// Calls per line and the names that make them up: a run with nLines lines
// less a run with none, so start-up and set-up cancel out.
SyscallCount SyscallsPerLine(ECountMethod eMethod, const std::string& sDir,
                             const std::string& sContender, int nThreads, int nLines) {
    SyscallCount withLines = CountRun(eMethod, sDir, sContender, nThreads, nLines);
    SyscallCount without = CountRun(eMethod, sDir, sContender, nThreads, 0);
    if (!withLines.sError.empty() || !without.sError.empty()) {
        return withLines.sError.empty() ? without : withLines;
    }
    SyscallCount perLine;
    perLine.flTotal = (withLines.flTotal - without.flTotal) / nLines;
    for (const auto& [sName, flCalls] : withLines.mapBy) {
        double flDelta = (flCalls - without.mapBy[sName]) / nLines;
        if (flDelta >= 0.005) {
            perLine.mapBy[sName] = flDelta;
        }
    }
    return perLine;
}

std::string Breakdown(const SyscallCount& count) {
    std::vector<std::pair<double, std::string>> vecByCount;
    for (const auto& [sName, flCalls] : count.mapBy) {
        vecByCount.push_back({-flCalls, sName});
    }
    std::sort(vecByCount.begin(), vecByCount.end());
    std::string sText;
    double flNamed = 0;
    for (size_t i = 0; i < vecByCount.size(); ++i) {
        flNamed -= vecByCount[i].first;
        if (i < 5) {
            sText += (i ? ", " : "") + vecByCount[i].second + " " + Fixed(-vecByCount[i].first, 2);
        }
    }
    if (count.flTotal - flNamed >= 0.005) {
        sText +=
            (sText.empty() ? "" : ", ") + std::string("other ") + Fixed(count.flTotal - flNamed, 2);
    }
    return sText.empty() ? "none" : sText;
}

// --- the modes ---------------------------------------------------------------

// One contender, once, without rows: the run whose system calls are counted.
int RunCounted(const std::string& sDir, const std::string& sName, int nThreads, int nLines) {
    MakeDirectories(sDir);
    for (auto& pContender : MakeContenders(sDir)) {
        if (pContender->Name() == sName) {
            if (!pContender->Unavailable().empty()) {
                Fail(pContender->Unavailable());
            }
            pContender->Setup();
            RunOnce(*pContender, nThreads, nLines, 0);
            return 0;
        }
    }
    Fail("no contender named '" + sName + "'");
}

std::string FileSystemOf(const std::string& sDir) {
    struct statfs info {};
    if (statfs(sDir.c_str(), &info) != 0) {
        return "unknown";
    }
    switch (info.f_type) {
        case 0x01021994:
            return "tmpfs";
        case 0xEF53:
            return "ext4";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x794c7630:
            return "overlayfs";
        default:
            return "type 0x" + [&] {
                char rgch[32];
                snprintf(rgch, sizeof(rgch), "%lx", static_cast<unsigned long>(info.f_type));
                return std::string(rgch);
            }();
    }
}

void PrintSyscallRows(const std::string& sDir,
                      const std::vector<std::unique_ptr<CContender>>& vecContenders, int nLines) {
    std::string sWhy;
    ECountMethod eMethod = ChooseCountMethod(sDir, &sWhy);
    PrintInfo(std::string("syscalls/line: ") +
              (eMethod == ECountMethod::Perf
                   ? "perf stat on the kernel's syscall tracepoints (no ptrace), "
               : eMethod == ECountMethod::Strace
                   ? "strace -f -c (perf unusable: " + sWhy +
                         "; traced, Log() also echoes each line to stderr), "
                   : "not counted (" + sWhy + "), ") +
              "(calls with " + std::to_string(nLines) + " lines - calls with 0) / " +
              std::to_string(nLines) + ", whole process");
    for (int nThreads : {1, 4}) {
        std::string sThreads = nThreads == 1 ? "1 thread" : std::to_string(nThreads) + " threads";
        double flRaw = 0;
        for (const auto& pContender : vecContenders) {
            std::string sFigure =
                std::string("syscalls/line, ") + sThreads + ": " + pContender->Name();
            bool bBaseline = pContender == vecContenders.front();
            std::string sBaseline = bBaseline ? "(baseline)" : "raw line";
            std::string sError = pContender->Unavailable();
            SyscallCount count;
            if (sError.empty() && eMethod == ECountMethod::None) {
                sError = "no way to count: " + sWhy;
            }
            if (sError.empty()) {
                count = SyscallsPerLine(eMethod, sDir, pContender->Name(), nThreads, nLines);
                sError = count.sError;
            }
            if (!sError.empty()) {
                PrintRow(sFigure, "n/a", sBaseline, bBaseline ? "" : Fixed(flRaw, 2), "n/a",
                         sError);
                continue;
            }
            if (bBaseline) {
                flRaw = count.flTotal;
            }
            PrintRow(sFigure, Fixed(count.flTotal, 2), sBaseline, bBaseline ? "" : Fixed(flRaw, 2),
                     bBaseline ? "1.00x" : Ratio(count.flTotal, flRaw), Breakdown(count));
        }
    }
}

void RunTimed(const std::string& sDir, int nRounds, int nLines, int nSyscallLines) {
    const int rgnThreads[] = {1, 4};
    auto vecContenders = MakeContenders(sDir);
    struct Entry {
        CContender* pContender;
        int nThreads;
        std::vector<double> vecNs;
    };
    std::vector<Entry> vecEntries;
    for (int nThreads : rgnThreads) {
        for (auto& pContender : vecContenders) {
            vecEntries.push_back({pContender.get(), nThreads, {}});
        }
    }
    for (auto& pContender : vecContenders) {
        if (pContender->Unavailable().empty()) {
            pContender->Setup();
        }
    }
    PrintInfo("log lines: " + std::to_string(nLines) + " lines per contender and round, " +
              std::to_string(nRounds) + " interleaved rounds, files on " + FileSystemOf(sDir) +
              "; spdlog ring = " + std::to_string(LinesIn64KiB()) + " lines (what 64 KiB holds)");
    // Warm-up: page cache, lazy set-up, first-file creation.
    for (Entry& entry : vecEntries) {
        if (entry.pContender->Unavailable().empty()) {
            RunOnce(*entry.pContender, entry.nThreads, std::min(nLines, 20000), -1);
        }
    }
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (size_t k = 0; k < vecEntries.size(); ++k) {
            Entry& entry = vecEntries[(k + static_cast<size_t>(nRound)) % vecEntries.size()];
            if (entry.pContender->Unavailable().empty()) {
                entry.vecNs.push_back(RunOnce(*entry.pContender, entry.nThreads, nLines, nRound));
            }
        }
        fprintf(stderr, "bench_logline: round %d of %d done\n", nRound + 1, nRounds);
    }
    for (int nThreads : rgnThreads) {
        std::string sThreads = nThreads == 1 ? "1 thread" : std::to_string(nThreads) + " threads";
        double flRaw = 0;
        for (Entry& entry : vecEntries) {
            if (entry.nThreads != nThreads) {
                continue;
            }
            std::string sFigure =
                std::string("line, ") + sThreads + ": " + entry.pContender->Name();
            if (!entry.pContender->Unavailable().empty()) {
                PrintRow(sFigure, "n/a", "raw line", Micros(flRaw), "n/a",
                         entry.pContender->Unavailable());
                continue;
            }
            double flNs = Median(entry.vecNs);
            std::vector<double> vecUs;
            for (double flRoundNs : entry.vecNs) {
                vecUs.push_back(flRoundNs / 1000);
            }
            std::string sSpread = "wall time / lines; rounds " + Range(vecUs, 2) + " us";
            if (entry.pContender == vecContenders.front().get()) {
                flRaw = flNs;
                PrintRow(sFigure, Micros(flNs), "(baseline)", "", "1.00x",
                         "time prefix + vsnprintf + fwrite + fflush; " + sSpread);
            } else {
                PrintRow(sFigure, Micros(flNs), "raw line", Micros(flRaw), Ratio(flNs, flRaw),
                         sSpread);
            }
        }
    }
    if (nSyscallLines > 0) {
        PrintSyscallRows(sDir, vecContenders, nSyscallLines);
    }
}

}  // namespace

int main(int argc, char** argv) {
    InitProgram("bench_logline");
    COptions options(argc, argv,
                     {"--dir", "--rounds", "--lines", "--syscall-lines", "--only", "--threads"});
    if (!options.Has("--dir")) {
        Usage("bench_logline --dir DIR [--rounds N] [--lines N] [--syscall-lines N]");
    }
    std::string sDir = options.Text("--dir", "");
    if (!MakeDirectories(sDir)) {
        Fail("cannot create " + sDir + ": " + std::strerror(errno));
    }
    int nLines = static_cast<int>(options.Number("--lines", 500000, 0, 100000000));
    if (options.Has("--only")) {
        int nThreads = static_cast<int>(options.Number("--threads", 1, 1, 64));
        return RunCounted(sDir, options.Text("--only", ""), nThreads, nLines);
    }
    if (nLines == 0) {
        Fail("--lines must be at least 1");
    }
    int nRounds = static_cast<int>(options.Number("--rounds", 7, 1, 1000));
    int nSyscallLines = static_cast<int>(options.Number("--syscall-lines", 20000, 0, 10000000));
    RunTimed(sDir, nRounds, nLines, nSyscallLines);
    return 0;
}
