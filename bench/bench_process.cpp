// bench_process: what the real halyard process costs, run against a real
// lattice-sim in a directory of its own (home, path registry, log directory,
// temporary directory, socket), each halyard in a private System V IPC
// namespace where the machine allows, so that its single-instance lock
// neither meets nor blocks another halyard on the machine.
//
//   exec -> first event poll   halyard against a bare client (this program
//        with --bare-client: init, then poll and sleep 33 ms, nothing else);
//        one event is queued before the exec so that the first poll reaches
//        the simulator and is journaled; the journal's time stamps are mapped
//        to this machine's monotonic clock once, through a call of our own.
//   10,000-event burst         `ctl event 1000 --count N` while the client
//        idles; from the journal, the first fetch of the burst to the last.
//   idle at 30 frames/s        CPU time of the whole process (all threads)
//        over the window, next to a bare usleep(33000) loop running at the
//        same time; resident memory (VmRSS) of both at the end, and the
//        part of it that libSDL2 (loaded by the watchdog monitor to set its
//        priority) and the libraries only it needs take: the files mapped
//        there but not by a halyard started once more with libSDL2
//        unreadable (an empty file bound over it in a mount namespace of its
//        own), whose resident memory is a row of its own. As root the kernel
//        tracer's marker file opens and halyard writes its frame's markers;
//        then a second window measures a halyard that cannot open it (the
//        tracer's directories hidden), as a user's halyard.
// The first two alternate halyard and the bare client round by round; the
// table shows medians. Prints table rows (bench_support.h); passes or fails
// nothing.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "lattice_api.h"

namespace {

using namespace halyard_bench;

constexpr uint32_t k_unMarkerEvent = 1001;  // unknown to halyard: polled, then ignored
constexpr uint32_t k_unBurstEvent = 1000;
constexpr const char* k_pchStartupInfo = "{\"is_system_process\" : true }";

// The baseline client: what any runtime client pays for the same loop.
int RunBareClient() {
    vr::ELatticeInitError eError = vr::LatticeInitError_None;
    VR_InitInternal2(&eError, vr::LatticeApp_Overlay, k_pchStartupInfo);
    if (eError != vr::LatticeInitError_None) {
        std::fprintf(stderr, "bare client: VR_InitInternal2: %s\n",
                     VR_GetVRInitErrorAsSymbol(eError));
        return 3;
    }
    auto* pSystem =
        static_cast<vr::IVRSystem*>(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr));
    if (!pSystem) {
        std::fprintf(stderr, "bare client: no %s\n", vr::IVRSystem_Version);
        return 3;
    }
    vr::LatticeEvent_t event{};
    while (true) {
        while (pSystem->TakeNextEvent(&event, sizeof(event))) {
            if (event.eventType == vr::LatticeEvent_Quit) {
                VR_ShutdownInternal();
                return 0;
            }
        }
        usleep(33000);
    }
}

// "7f12-7f34 r-xp 00000000 08:01 1234  /usr/lib/libx.so" opens a mapping in
// /proc/PID/smaps; the lines after it ("Rss:    12 kB") describe it.
bool BMappingHeader(const std::string& sLine) {
    size_t nDash = sLine.find('-');
    size_t nSpace = sLine.find(' ');
    if (nDash == 0 || nDash == std::string::npos || nSpace == std::string::npos || nDash > nSpace) {
        return false;
    }
    for (size_t i = 0; i < nDash; ++i) {
        if (!isxdigit(static_cast<unsigned char>(sLine[i]))) {
            return false;
        }
    }
    return true;
}

std::string DescribeStatus(int nStatus) {
    if (WIFSIGNALED(nStatus)) {
        return std::string("killed by ") + strsignal(WTERMSIG(nStatus));
    }
    int nCode = WEXITSTATUS(nStatus);
    switch (nCode) {
        case 0:
            return "exit 0: another instance holds the single-instance lock?";
        case 125:
            return "exit 125: no private mount namespace";
        case 126:
            return "exit 126: no private IPC namespace";
        case 127:
            return "exit 127: cannot be run";
        default:
            return "exit " + std::to_string(nCode);
    }
}

// The end of a child's output, for one error line.
std::string LastLines(const std::string& sOutput) {
    std::vector<std::string> vecLines = SplitLines(sOutput);
    std::string sText;
    for (size_t i = vecLines.size() > 3 ? vecLines.size() - 3 : 0; i < vecLines.size(); ++i) {
        sText += (sText.empty() ? ": " : " / ") + vecLines[i];
    }
    return sText;
}

struct Subject {
    const char* pchName;
    bool bHalyard;
};

class CProcessBench {
public:
    CProcessBench(CSim& sim, std::string sDir, std::string sHalyard, std::string sSelf)
        : m_sim(sim), m_sDir(sDir), m_sHalyard(sHalyard), m_sSelf(sSelf) {}

    void Prepare() {
        UseScratchRegistry(m_sDir);
        std::string sWhy;
        m_bPrivateIpc = CanUsePrivateIpc(&sWhy);
        PrintInfo(m_bPrivateIpc ? "process: each halyard runs in a private IPC namespace"
                                : "process: halyard shares the machine's IPC namespace (" + sWhy +
                                      "); another halyard on the machine would stop it");
        PrintInfo(
            "process: CPU = clock_getcpuclockid(PID) (every thread) over the window, "
            "memory = VmRSS; start-up and burst from the simulator's journal, its 1 ms "
            "stamps mapped to CLOCK_MONOTONIC through a call of our own");
        SyncClocks();
    }

    // Starts the subject and waits for its first event poll; the time from
    // exec to that poll in milliseconds.
    double Launch(const Subject& subject, pid_t* ppid,
                  std::vector<std::pair<std::string, std::string>> vecBindMounts = {}) {
        m_sim.CtlOrFail({"event", std::to_string(k_unMarkerEvent)});
        ChildLaunch launch;
        launch.vecArgv = subject.bHalyard ? std::vector<std::string>{m_sHalyard}
                                          : std::vector<std::string>{m_sSelf, "--bare-client"};
        launch.vecEnv = HalyardEnvironment(m_sDir, m_sim.Socket());
        launch.vecUnsetEnv = {"TMP", "ORRERY_DISABLE_CRASH_REPORTING"};
        launch.sOutput = m_sDir + "/" + (subject.bHalyard ? "halyard" : "bare-client") + "-" +
                         std::to_string(++m_nLaunches) + ".out";
        launch.bPrivateIpc = subject.bHalyard && m_bPrivateIpc;
        launch.vecBindMounts = std::move(vecBindMounts);
        double flExecMs = MonotonicMs();
        pid_t pid = Spawn(launch);
        *ppid = pid;
        JournalEntry poll = WaitFirstPoll(pid, subject.pchName, launch.sOutput);
        return SimToMonotonic(poll.nTimeMs) - flExecMs;
    }

    // Milliseconds from the first fetch of the burst to the last.
    double Burst(pid_t pid, int nEvents) {
        m_sim.CtlOrFail(
            {"event", std::to_string(k_unBurstEvent), "--count", std::to_string(nEvents)});
        long long nFirst = -1, nLast = -1;
        int nFetched = 0;
        double flDeadline = MonotonicMs() + 60000;
        while (nFetched < nEvents) {
            for (const JournalEntry& entry : m_sim.JournalSince(m_ulCursor)) {
                m_ulCursor = entry.ulSeq;
                if (entry.nPid != pid || entry.sCall != "IVRSystem_023::TakeNextEvent") {
                    continue;
                }
                int nBurst = 0;
                for (unsigned long ulType : entry.vecEvents) {
                    nBurst += ulType == k_unBurstEvent;
                }
                if (nBurst > 0) {
                    nFirst = nFirst < 0 ? entry.nTimeMs : nFirst;
                    nLast = entry.nTimeMs;
                    nFetched += nBurst;
                }
            }
            if (nFetched >= nEvents) {
                break;
            }
            if (MonotonicMs() > flDeadline || WaitChild(pid, 0) != -1) {
                Fail("the burst was not drained: " + std::to_string(nFetched) + " of " +
                     std::to_string(nEvents) + " events fetched");
            }
            usleep(20000);
        }
        return static_cast<double>(nLast - nFirst);
    }

    // Sends the quit event; the subject's exit status.
    int Quit(pid_t pid) {
        m_sim.CtlOrFail({"quit"});
        int nStatus = WaitChild(pid, 30000);
        if (nStatus == -1) {
            KillChild(pid);
            Fail("the client did not leave within 30 s of the quit event");
        }
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }

    // One idle window: halyard (started with vecBindMounts) and the running
    // sleep loop over the same seconds.
    struct IdleWindow {
        double flHalyardShare = 0, flLoopShare = 0, flSimShare = 0;  // % of a core
        double flHalyardStartMiB = 0, flHalyardMiB = 0, flLoopMiB = 0;
        bool bTraceMarkers = false;  // halyard had the kernel tracer's marker file open
        std::map<std::string, long> mapKiBByFile;
        int nStatus = 0;
    };
    IdleWindow MeasureIdle(pid_t pidLoop, int nSeconds, int nSettleMs,
                           std::vector<std::pair<std::string, std::string>> vecBindMounts = {}) {
        IdleWindow window;
        pid_t pidHalyard = -1;
        Launch({"halyard", true}, &pidHalyard, std::move(vecBindMounts));
        // The marker file is first tried 5 s after start: the window begins
        // after that, so that it sees markers written all through or never.
        constexpr int k_nMarkerFileFirstTryMs = 5000;
        usleep(static_cast<useconds_t>(std::max(nSettleMs, k_nMarkerFileFirstTryMs + 500)) * 1000);
        window.flHalyardStartMiB = static_cast<double>(ResidentKiB(pidHalyard)) / 1024;
        window.bTraceMarkers = BHasTraceMarkerOpen(pidHalyard);
        pid_t pidSim = m_sim.Pid();
        double flHalyard0 = ProcessCpuSeconds(pidHalyard), flLoop0 = ProcessCpuSeconds(pidLoop),
               flSim0 = ProcessCpuSeconds(pidSim), flStart = MonotonicMs();
        for (int i = 0; i < nSeconds * 10; ++i) {
            usleep(100000);
            if (WaitChild(pidHalyard, 0) != -1) {
                Fail("halyard ended during the idle window");
            }
        }
        double flWall = (MonotonicMs() - flStart) / 1000;
        window.flHalyardShare = (ProcessCpuSeconds(pidHalyard) - flHalyard0) / flWall * 100;
        window.flLoopShare = (ProcessCpuSeconds(pidLoop) - flLoop0) / flWall * 100;
        window.flSimShare = (ProcessCpuSeconds(pidSim) - flSim0) / flWall * 100;
        window.flHalyardMiB = static_cast<double>(ResidentKiB(pidHalyard)) / 1024;
        window.flLoopMiB = static_cast<double>(ResidentKiB(pidLoop)) / 1024;
        window.mapKiBByFile = ResidentKiBByFile(pidHalyard);
        window.nStatus = Quit(pidHalyard);
        return window;
    }

    // Whether the process has the kernel tracer's marker file open: it then
    // writes the begin and end markers of its frame's scopes, six a frame.
    static bool BHasTraceMarkerOpen(pid_t pid) {
        std::string sFds = "/proc/" + std::to_string(pid) + "/fd";
        DIR* pDir = opendir(sFds.c_str());
        bool bOpen = false;
        while (pDir && !bOpen) {
            dirent* pEntry = readdir(pDir);
            if (!pEntry) {
                break;
            }
            char rgchTarget[256];
            ssize_t cch =
                readlink((sFds + "/" + pEntry->d_name).c_str(), rgchTarget, sizeof(rgchTarget) - 1);
            bOpen = cch > 0 &&
                    std::string(rgchTarget, static_cast<size_t>(cch)).find("/trace_marker") !=
                        std::string::npos;
        }
        if (pDir) {
            closedir(pDir);
        }
        return bOpen;
    }

    void PrintIdleCpu(const std::string& sFigure, const IdleWindow& window,
                      const std::string& sNote) {
        PrintRow(
            sFigure, Fixed(window.flHalyardShare, 3) + " % of a core", "bare usleep(33000) loop",
            Fixed(window.flLoopShare, 3) + " %", Ratio(window.flHalyardShare, window.flLoopShare),
            sNote + "; lattice-sim meanwhile " + Fixed(window.flSimShare, 3) + " %" +
                (window.nStatus == 0 ? "" : "; halyard exit " + std::to_string(window.nStatus)));
    }

    void Idle(const std::string& sSleepLoop, int nSeconds, int nSettleMs) {
        ChildLaunch loop;
        loop.vecArgv = {sSleepLoop};
        pid_t pidLoop = Spawn(loop);
        IdleWindow window = MeasureIdle(pidLoop, nSeconds, nSettleMs);
        const std::string sFigure = "idle at 30 frames/s, " + std::to_string(nSeconds) + " s: CPU";
        PrintIdleCpu(sFigure, window,
                     window.bTraceMarkers
                         ? "same window; trace markers written (root: the kernel tracer's "
                           "marker file opens), 6 writes a frame"
                         : "same window; no trace markers (the kernel tracer's marker file "
                           "does not open)");
        // A user's halyard cannot open the marker file: measured too, with
        // the tracer's directories hidden behind an empty one.
        if (window.bTraceMarkers && m_bPrivateIpc) {
            std::string sEmptyDir = m_sDir + "/empty-directory";
            MakeDirectories(sEmptyDir);
            std::vector<std::pair<std::string, std::string>> vecHide;
            for (const char* pchTracing : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
                struct stat st {};
                if (stat(pchTracing, &st) == 0 && S_ISDIR(st.st_mode)) {
                    vecHide.emplace_back(sEmptyDir, pchTracing);
                }
            }
            IdleWindow hidden = MeasureIdle(pidLoop, nSeconds, nSettleMs, vecHide);
            PrintIdleCpu(sFigure + ", no trace markers", hidden,
                         std::string("its own window; the tracer's directories hidden (own mount "
                                     "namespace), as for a user's halyard") +
                             (hidden.bTraceMarkers ? "; markers still written" : ""));
        }
        KillChild(pidLoop);
        ReportResidentMemory(window, nSettleMs);
    }

    void ReportResidentMemory(const IdleWindow& window, int nSettleMs) {
        std::string sSdlPath;
        for (const auto& [sFile, nKiB] : window.mapKiBByFile) {
            if (sFile.find("libSDL2-2.0.so") != std::string::npos) {
                sSdlPath = sFile;
            }
        }
        std::string sNote = "/proc/PID/status; " + Fixed(window.flHalyardStartMiB, 1) +
                            " MiB at the start of the window";
        if (sSdlPath.empty()) {
            PrintRow("resident memory (VmRSS) after the idle window",
                     Fixed(window.flHalyardMiB, 1) + " MiB", "bare usleep(33000) loop",
                     Fixed(window.flLoopMiB, 1) + " MiB",
                     Ratio(window.flHalyardMiB, window.flLoopMiB), sNote + "; libSDL2 not loaded");
            return;
        }
        // What SDL brought in: the files mapped here but not by a halyard
        // that cannot load it.
        std::map<std::string, long> mapWithoutSdl;
        double flWithoutSdlMiB = ResidentWithoutSdl(sSdlPath, nSettleMs, &mapWithoutSdl);
        long nSdlKiB = 0;
        int nSdlFiles = 0;
        for (const auto& [sFile, nKiB] : window.mapKiBByFile) {
            if (sFile != "[anon]" && mapWithoutSdl.count(sFile) == 0) {
                nSdlKiB += nKiB;
                ++nSdlFiles;
            }
        }
        PrintRow("resident memory (VmRSS) after the idle window",
                 Fixed(window.flHalyardMiB, 1) + " MiB", "bare usleep(33000) loop",
                 Fixed(window.flLoopMiB, 1) + " MiB", Ratio(window.flHalyardMiB, window.flLoopMiB),
                 sNote + "; of it " + Fixed(static_cast<double>(nSdlKiB) / 1024, 1) +
                     " MiB in libSDL2 and the " + std::to_string(nSdlFiles - 1) +
                     " libraries only it brings in (the watchdog monitor sets its priority "
                     "through SDL)");
        if (flWithoutSdlMiB > 0) {
            PrintRow("resident memory, libSDL2 absent", Fixed(flWithoutSdlMiB, 1) + " MiB",
                     "bare usleep(33000) loop", Fixed(window.flLoopMiB, 1) + " MiB",
                     Ratio(flWithoutSdlMiB, window.flLoopMiB),
                     "an empty file bound over " + sSdlPath + " (own mount namespace), " +
                         Fixed((nSettleMs + 3000) / 1000.0, 1) + " s after start");
        }
    }

    // halyard once more, with libSDL2 unreadable (an empty file bound over it
    // in a mount namespace of its own), as on a machine without SDL: its
    // resident MiB (negative when that cannot be arranged) and its mappings.
    double ResidentWithoutSdl(const std::string& sSdlPath, int nSettleMs,
                              std::map<std::string, long>* pmapKiBByFile) {
        if (!m_bPrivateIpc) {
            return -1;  // no namespaces for children here
        }
        std::string sEmpty = m_sDir + "/empty-library";
        WriteFile(sEmpty, "");
        pid_t pid = -1;
        Launch({"halyard", true}, &pid, {{sEmpty, sSdlPath}});
        usleep(static_cast<useconds_t>(nSettleMs + 3000) * 1000);
        double flMiB = static_cast<double>(ResidentKiB(pid)) / 1024;
        *pmapKiBByFile = ResidentKiBByFile(pid);
        Quit(pid);
        return flMiB;
    }

    // Rss of a process's mappings by file ("[anon]" for the rest).
    static std::map<std::string, long> ResidentKiBByFile(pid_t pid) {
        std::map<std::string, long> mapKiB;
        std::string sCurrent = "[anon]";
        for (const std::string& sLine :
             SplitLines(ReadFile("/proc/" + std::to_string(pid) + "/smaps"))) {
            if (sLine.rfind("Rss:", 0) == 0) {
                mapKiB[sCurrent] += std::strtol(sLine.c_str() + 4, nullptr, 10);
            } else if (BMappingHeader(sLine)) {
                size_t pos = sLine.find('/');
                sCurrent = pos == std::string::npos ? "[anon]" : sLine.substr(pos);
            }
        }
        return mapKiB;
    }

private:
    // The journal stamps calls with milliseconds since the simulator started
    // (steady clock, truncated). One call of ours, bracketed by two readings
    // of the same clock, maps them onto it; the quickest of a few tries wins.
    void SyncClocks() {
        setenv("LATTICE_SIM_SOCKET", m_sim.Socket().c_str(), 1);
        vr::ELatticeInitError eError = vr::LatticeInitError_None;
        VR_InitInternal2(&eError, vr::LatticeApp_Utility, nullptr);
        if (eError != vr::LatticeInitError_None) {
            Fail(std::string("VR_InitInternal2: ") + VR_GetVRInitErrorAsSymbol(eError));
        }
        double flBestRoundTrip = 1e9;
        for (int i = 0; i < 5; ++i) {
            double flBefore = MonotonicMs();
            VR_IsInterfaceVersionValid(vr::IVRSystem_Version);
            double flAfter = MonotonicMs();
            for (const JournalEntry& entry : m_sim.JournalSince(m_ulCursor)) {
                m_ulCursor = entry.ulSeq;
                if (entry.nPid == getpid() && entry.sCall == "VR_IsInterfaceVersionValid" &&
                    flAfter - flBefore < flBestRoundTrip) {
                    flBestRoundTrip = flAfter - flBefore;
                    m_flSimMinusMonotonic =
                        static_cast<double>(entry.nTimeMs) + 0.5 - (flBefore + flAfter) / 2;
                }
            }
        }
        VR_ShutdownInternal();
        if (flBestRoundTrip >= 1e9) {
            Fail("the journal shows none of our calls");
        }
    }

    double SimToMonotonic(long long nSimMs) const {
        return static_cast<double>(nSimMs) + 0.5 - m_flSimMinusMonotonic;
    }

    JournalEntry WaitFirstPoll(pid_t pid, const std::string& sName, const std::string& sOutput) {
        std::string sNeedle = "\"pid\":" + std::to_string(pid) +
                              ",\"api\":\"lattice\",\"call\":\"IVRSystem_023::TakeNextEvent\"";
        double flDeadline = MonotonicMs() + 60000;
        while (true) {
            // A blocking wait in the simulator: no polling while the child starts.
            Captured found = m_sim.Ctl(
                {"wait", sNeedle, "--since", std::to_string(m_ulCursor), "--timeout-ms", "1000"});
            JournalEntry entry;
            if (found.nExit == 0 && ParseJournalLine(SplitLines(found.sOut).front(), &entry)) {
                m_ulCursor = entry.ulSeq;
                return entry;
            }
            int nStatus = WaitChild(pid, 0);
            if (nStatus != -1) {
                Fail(sName + " ended before its first event poll (" + DescribeStatus(nStatus) +
                     ")" + LastLines(ReadFile(sOutput)));
            }
            if (found.nExit != 1 || MonotonicMs() > flDeadline) {
                Fail("no first event poll: " + found.sErr);
            }
        }
    }

    CSim& m_sim;
    std::string m_sDir;
    std::string m_sHalyard;
    std::string m_sSelf;
    bool m_bPrivateIpc = false;
    double m_flSimMinusMonotonic = 0;
    unsigned long long m_ulCursor = 0;
    int m_nLaunches = 0;
};

std::string SelfPath() {
    char rgchSelf[4096];
    ssize_t n = readlink("/proc/self/exe", rgchSelf, sizeof(rgchSelf) - 1);
    rgchSelf[n > 0 ? n : 0] = '\0';
    return rgchSelf;
}

void RunRounds(CProcessBench& bench, int nRounds, int nBurst) {
    const Subject rgSubjects[] = {{"halyard", true}, {"bare client", false}};
    std::vector<double> rgvecStart[2], rgvecBurst[2];
    std::string sExits;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        for (int k = 0; k < 2; ++k) {
            int nSubject = (k + nRound) % 2;
            pid_t pid = -1;
            rgvecStart[nSubject].push_back(bench.Launch(rgSubjects[nSubject], &pid));
            rgvecBurst[nSubject].push_back(bench.Burst(pid, nBurst));
            int nStatus = bench.Quit(pid);
            if (nStatus != 0 && sExits.empty()) {
                sExits = std::string("; ") + rgSubjects[nSubject].pchName + " exit " +
                         std::to_string(nStatus);
            }
        }
        std::fprintf(stderr, "bench_process: round %d of %d done\n", nRound + 1, nRounds);
    }
    double flStart = Median(rgvecStart[0]), flBareStart = Median(rgvecStart[1]);
    PrintRow("exec -> first event poll", Fixed(flStart, 1) + " ms", "bare client (init + poll)",
             Fixed(flBareStart, 1) + " ms", Ratio(flStart, flBareStart),
             "rounds " + Range(rgvecStart[0], 1) + " ms" + sExits);
    double flBurst = Median(rgvecBurst[0]), flBareBurst = Median(rgvecBurst[1]);
    PrintRow(std::to_string(nBurst) + "-event burst drained", Fixed(flBurst, 1) + " ms",
             "bare client, same loop", Fixed(flBareBurst, 1) + " ms", Ratio(flBurst, flBareBurst),
             "first fetch of the burst to the last; rounds " + Range(rgvecBurst[0], 1) + " ms");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--bare-client") == 0) {
        return RunBareClient();
    }
    InitProgram("bench_process");
    COptions options(argc, argv,
                     {"--dir", "--halyard", "--sim", "--sleep-loop", "--rounds", "--burst",
                      "--idle-seconds", "--settle-ms"});
    if (!options.Has("--dir")) {
        Usage(
            "bench_process --dir DIR [--halyard PATH] [--sim PATH] [--sleep-loop PATH] "
            "[--rounds N] [--burst N] [--idle-seconds N] [--settle-ms N]");
    }
    std::string sDir = options.Text("--dir", "");
    int nRounds = static_cast<int>(options.Number("--rounds", 7, 1, 1000));
    int nBurst = static_cast<int>(options.Number("--burst", 10000, 1, 1000000));
    int nIdleSeconds = static_cast<int>(options.Number("--idle-seconds", 30, 1, 3600));
    int nSettleMs = static_cast<int>(options.Number("--settle-ms", 2000, 0, 60000));
    if (!MakeDirectories(sDir)) {
        Fail("cannot create " + sDir + ": " + std::strerror(errno));
    }
    CSim sim(options.Text("--sim", LATTICE_SIM_PATH), sDir + "/sim");
    // The runtime's log level Info, and no overlay applications to start.
    sim.Start(
        "{\"settings\": {\"orrery\": {\"loglevel\": 3, \"startOverlayAppsFromDashboard\": "
        "false}}}");
    CProcessBench bench(sim, sDir, options.Text("--halyard", HALYARD_PATH), SelfPath());
    bench.Prepare();
    RunRounds(bench, nRounds, nBurst);
    bench.Idle(options.Text("--sleep-loop", SLEEP_LOOP_PATH), nIdleSeconds, nSettleMs);
    sim.Stop();
    return 0;
}
