// bench_console: what forwarding the log to the runtime's web consoles costs.
// The program sets up logging as halyard does (Lattice_SetupLogging: the log
// file from the path registry and the 64 KiB in-memory buffer), connects to a
// lattice-sim as halyard does, and opens and closes consoles the way halyard
// does: `ctl console-open ID` queues event 420, the event poll returns it and
// CHalyardConsoleManager (halyard's own class) registers and replays.
//
// Each round, on a simulator of its own:
//   live     N lines through Log() with one console open, next to the same N
//            lines with no console; afterwards `ctl console` must show all N,
//            in order, with console handle 0;
//   replay   opening a console replays the 64 KiB history (OnConsoleOpened),
//            next to the same lines sent straight to the control panel
//            (the stand-in's floor for that many lines); `ctl console` must
//            show every replayed line with the console's handle.
// The phases swap places from round to round; the table shows medians.
// Prints table rows (bench_support.h); passes or fails nothing, but exits 1
// when lines were lost or reordered.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dashboard.h"
#include "lattice_api.h"
#include "lattice_internal.h"
#include "latticetools.h"
#include "logbuffer.h"
#include "vrlog.h"

namespace {

using namespace halyard_bench;

constexpr uint64_t k_ulLiveConsole = 1;
constexpr uint64_t k_ulReplayBaseline = 2;  // where the bare control-panel calls go

struct RoundFigures {
    double flLiveUs = 0;       // per line, console open
    double flNoConsoleUs = 0;  // per line, no console
    double flReplayMs = 0;     // the whole replay
    double flBareReplayMs = 0;
    size_t nReplayed = 0;
    std::string sProblem;  // lines lost or out of order
};

void LogLines(int nRound, int nLines, const char* pchPhase) {
    for (int i = 0; i < nLines; ++i) {
        Log(LogLevel_Info, "console bench round %d %s line %d\n", nRound, pchPhase, i);
    }
}

double TimeLinesUs(int nRound, int nLines, const char* pchPhase) {
    double flStart = MonotonicMs();
    LogLines(nRound, nLines, pchPhase);
    return (MonotonicMs() - flStart) * 1000 / nLines;
}

// Polls runtime events until one of the type arrives and hands it to the
// console manager the way halyard's main loop does.
void DispatchConsoleEvent(CHalyardConsoleManager& manager, uint32_t unType) {
    vr::IVRSystem* pSystem = vr::VRSystem();
    double flDeadline = MonotonicMs() + 30000;
    vr::LatticeEvent_t event{};
    while (MonotonicMs() < flDeadline) {
        while (pSystem && pSystem->TakeNextEvent(&event, sizeof(event))) {
            if (event.eventType != unType) {
                continue;
            }
            if (unType == vr::LatticeEvent_ConsoleOpened) {
                manager.OnConsoleOpened(event.data.console.ulConsoleId);
            } else {
                manager.OnConsoleClosed(event.data.console.ulConsoleId);
            }
            return;
        }
        usleep(1000);
        pSystem = vr::VRSystem();
    }
    Fail("event " + std::to_string(unType) + " did not arrive within 30 s");
}

// The replay and its baseline; the manager is registered from here on.
void OpenConsoleAndReplay(const CSim& sim, CHalyardConsoleManager& manager, RoundFigures& figures) {
    sim.CtlOrFail({"console-open", std::to_string(k_ulLiveConsole)});
    std::vector<BufferedLogMessage_t> vecHistory = CLogBuffer::GetInstance()->CopyLogBuffer();
    figures.nReplayed = vecHistory.size();
    // The replay itself starts inside the dispatch; the poll before it takes
    // a round trip or two, which the timing leaves in (halyard pays it too).
    double flStart = MonotonicMs();
    DispatchConsoleEvent(manager, vr::LatticeEvent_ConsoleOpened);
    figures.flReplayMs = MonotonicMs() - flStart;

    vr::IVRControlPanel* pControlPanel = ::VRControlPanel();
    if (!pControlPanel) {
        Fail("the simulator serves no control panel");
    }
    const std::string& sName = GetVRLog()->GetLogName();
    flStart = MonotonicMs();
    for (const BufferedLogMessage_t& message : vecHistory) {
        pControlPanel->ShowConsoleLine(k_ulReplayBaseline, sName.c_str(), message.unTimestampMs,
                                       message.eLevel, message.sText.c_str());
    }
    figures.flBareReplayMs = MonotonicMs() - flStart;
}

// Every live line of the round arrived once, in order, for every console
// (handle 0), and the replay reached the console that opened.
std::string CheckConsole(const CSim& sim, int nRound, int nLines, size_t nReplayed) {
    Captured shown = sim.Ctl({"console"});
    if (shown.nExit != 0) {
        return "ctl console failed: " + shown.sErr;
    }
    // Live lines carry the file's time stamp and level before the text.
    std::string sPrefix = "console bench round " + std::to_string(nRound) + " live line ";
    std::string sReplayPrefix = std::to_string(k_ulLiveConsole) + "\t";
    int nNext = 0;
    size_t nReplayLines = 0;
    for (const std::string& sLine : SplitLines(shown.sOut)) {
        if (sLine.rfind(sReplayPrefix, 0) == 0) {
            ++nReplayLines;
        }
        size_t pos = sLine.find(sPrefix);
        if (sLine.rfind("0\t", 0) != 0 || pos == std::string::npos) {
            continue;
        }
        int nLine = std::atoi(sLine.c_str() + pos + sPrefix.size());
        if (nLine != nNext) {
            return "live line " + std::to_string(nLine) + " came where " + std::to_string(nNext) +
                   " was due";
        }
        ++nNext;
    }
    if (nNext != nLines) {
        return std::to_string(nNext) + " of " + std::to_string(nLines) + " live lines arrived";
    }
    if (nReplayLines != nReplayed) {
        return std::to_string(nReplayLines) + " of " + std::to_string(nReplayed) +
               " replayed lines arrived";
    }
    return std::string();
}

RoundFigures RunRound(const std::string& sSimPath, const std::string& sDir, int nRound,
                      int nLines) {
    CSim sim(sSimPath, sDir + "/round-" + std::to_string(nRound));
    // A short journal: the console keeps the lines, the journal need not.
    sim.Start("{\"journal_limit\": 1000}");
    setenv("LATTICE_SIM_SOCKET", sim.Socket().c_str(), 1);
    vr::ELatticeInitError eError = vr::LatticeInitError_None;
    uint32_t unToken =
        VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    vr::LatticeInternal_ResetModuleContext(unToken);
    if (eError != vr::LatticeInitError_None) {
        Fail(std::string("VR_InitInternal2: ") + VR_GetVRInitErrorAsSymbol(eError));
    }
    RoundFigures figures;
    CHalyardConsoleManager manager;
    bool bConsoleFirst = nRound % 2 == 1;
    if (!bConsoleFirst) {
        figures.flNoConsoleUs = TimeLinesUs(nRound, nLines, "quiet");
    }
    OpenConsoleAndReplay(sim, manager, figures);
    figures.flLiveUs = TimeLinesUs(nRound, nLines, "live");
    sim.CtlOrFail({"console-close", std::to_string(k_ulLiveConsole)});
    DispatchConsoleEvent(manager, vr::LatticeEvent_ConsoleClosed);
    if (bConsoleFirst) {
        figures.flNoConsoleUs = TimeLinesUs(nRound, nLines, "quiet");
    }
    figures.sProblem = CheckConsole(sim, nRound, nLines, figures.nReplayed);
    VR_ShutdownInternal();
    sim.Stop();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    InitProgram("bench_console");
    COptions options(argc, argv, {"--dir", "--sim", "--rounds", "--lines"});
    if (!options.Has("--dir")) {
        Usage("bench_console --dir DIR [--sim LATTICE_SIM] [--rounds N] [--lines N]");
    }
    std::string sDir = options.Text("--dir", "");
    std::string sSimPath = options.Text("--sim", LATTICE_SIM_PATH);
    int nRounds = static_cast<int>(options.Number("--rounds", 7, 1, 1000));
    int nLines = static_cast<int>(options.Number("--lines", 100000, 1, 500000));
    UseScratchRegistry(sDir);
    int nResult = Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, 131072);
    if (nResult != 0) {
        Fail("Lattice_SetupLogging answered " + std::to_string(nResult));
    }
    // Fill the 64 KiB history before the first console opens.
    LogLines(-1, 4000, "history");

    std::vector<double> vecLive, vecQuiet, vecReplay, vecBareReplay;
    size_t nReplayed = 0;
    std::string sProblem;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        RoundFigures figures = RunRound(sSimPath, sDir, nRound, nLines);
        vecLive.push_back(figures.flLiveUs);
        vecQuiet.push_back(figures.flNoConsoleUs);
        vecReplay.push_back(figures.flReplayMs);
        vecBareReplay.push_back(figures.flBareReplayMs);
        nReplayed = figures.nReplayed;
        if (sProblem.empty() && !figures.sProblem.empty()) {
            sProblem = "round " + std::to_string(nRound + 1) + ": " + figures.sProblem;
        }
        std::fprintf(stderr, "bench_console: round %d of %d done\n", nRound + 1, nRounds);
    }
    double flLive = Median(vecLive), flQuiet = Median(vecQuiet);
    PrintRow("console: " + std::to_string(nLines) + " lines, 1 console open",
             Fixed(flLive, 2) + " us/line", "no console", Fixed(flQuiet, 2) + " us/line",
             Ratio(flLive, flQuiet),
             (sProblem.empty() ? "ctl console: all lines arrived, in order, every round"
                               : "LOST OR REORDERED: " + sProblem) +
                 "; rounds " + Range(vecLive, 2) + " us");
    double flReplay = Median(vecReplay), flBare = Median(vecBareReplay);
    PrintRow("console: 64 KiB history replayed (" + std::to_string(nReplayed) + " lines)",
             Fixed(flReplay, 2) + " ms", "same lines, bare ShowConsoleLine",
             Fixed(flBare, 2) + " ms", Ratio(flReplay, flBare),
             "open event polled + OnConsoleOpened; rounds " + Range(vecReplay, 2) + " ms");
    return sProblem.empty() ? 0 : 1;
}
