// bench_memory: whether the real halyard's resident memory grows with the
// events it handles or the frames it runs, against a real lattice-sim in a
// directory of its own, halyard in a private IPC namespace where the machine
// allows.
//
//   events   batches of runtime events: unknown events, web consoles opened
//            and closed (each open replays the history), screenshots taken
//            and submitted; a batch ends when halyard has fetched its last
//            event. VmRSS after each batch.
//   frames   halyard idles at 30 frames/s; VmRSS every 10 s.
// The rows compare the last sample of each phase with its first (after the
// first batch, which warms caches and the allocator). Passes or fails
// nothing: memory figures depend on the allocator and the machine.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace halyard_bench;

constexpr unsigned k_unUnknownEvent = 1000;
constexpr unsigned k_unBatchEndEvent = 1001;

class CMemoryBench {
public:
    CMemoryBench(CSim& sim, std::string sDir, std::string sHalyard)
        : m_sim(sim), m_sDir(std::move(sDir)), m_sHalyard(std::move(sHalyard)) {}

    void Start() {
        UseScratchRegistry(m_sDir);
        std::string sWhy;
        ChildLaunch launch;
        launch.vecArgv = {m_sHalyard};
        launch.vecEnv = HalyardEnvironment(m_sDir, m_sim.Socket());
        launch.vecUnsetEnv = {"TMP", "ORRERY_DISABLE_CRASH_REPORTING"};
        launch.sOutput = m_sDir + "/halyard.out";
        launch.bPrivateIpc = CanUsePrivateIpc(&sWhy);
        m_pid = Spawn(launch);
        WaitFetched("the first frame");
    }

    // One batch of nEvents events, about 2.5 % of them consoles and
    // screenshots: each pair of ctl calls below queues a console open and
    // close, a screenshot trigger and (from the simulator) its "taken".
    long Batch(int nEvents, int nBatch) {
        int nPairs = nEvents / 160;
        m_sim.CtlOrFail({"event", std::to_string(k_unUnknownEvent), "--count",
                         std::to_string(nEvents - 4 * nPairs)});
        for (int i = 0; i < nPairs; ++i) {
            std::string sConsole = std::to_string(nBatch * 100000 + i + 1);
            m_sim.CtlOrFail({"console-open", sConsole});
            m_sim.CtlOrFail({"console-close", sConsole});
            m_sim.CtlOrFail({"screenshot"});
        }
        WaitFetched("batch " + std::to_string(nBatch));
        return Resident();
    }

    long Resident() {
        long nKiB = ResidentKiB(m_pid);
        if (nKiB < 0 || WaitChild(m_pid, 0) != -1) {
            Fail("halyard is gone; see " + m_sDir + "/halyard.out");
        }
        return nKiB;
    }

    void Quit() {
        m_sim.CtlOrFail({"quit"});
        if (WaitChild(m_pid, 30000) == -1) {
            KillChild(m_pid);
            Fail("halyard did not leave within 30 s of the quit event");
        }
    }

private:
    // Queues a marker event and waits until halyard has fetched it: every
    // event queued before it has been handled.
    void WaitFetched(const std::string& sWhat) {
        m_sim.CtlOrFail({"event", std::to_string(k_unBatchEndEvent)});
        std::string sNeedle = "\"pid\":" + std::to_string(m_pid) +
                              ",\"api\":\"lattice\",\"call\":\"IVRSystem_023::TakeNextEvent\"";
        for (int nTry = 0; nTry < 600; ++nTry) {
            Captured found = m_sim.Ctl(
                {"wait", sNeedle, "--since", std::to_string(m_ulCursor), "--timeout-ms", "1000"});
            for (const std::string& sLine : SplitLines(found.sOut)) {
                JournalEntry entry;
                if (!ParseJournalLine(sLine, &entry)) {
                    continue;
                }
                m_ulCursor = entry.ulSeq;
                for (unsigned long ulType : entry.vecEvents) {
                    if (ulType == k_unBatchEndEvent) {
                        return;
                    }
                }
            }
            if (WaitChild(m_pid, 0) != -1) {
                Fail("halyard ended before " + sWhat + "; see " + m_sDir + "/halyard.out");
            }
        }
        Fail("halyard did not get through " + sWhat + " within 10 minutes");
    }

    CSim& m_sim;
    std::string m_sDir;
    std::string m_sHalyard;
    pid_t m_pid = -1;
    unsigned long long m_ulCursor = 0;
};

std::string Samples(const std::vector<long>& vecKiB) {
    std::string sText;
    for (long nKiB : vecKiB) {
        sText += (sText.empty() ? "" : " ") + std::to_string(nKiB);
    }
    return sText + " KiB";
}

void PrintGrowth(const std::string& sFigure, const std::vector<long>& vecKiB) {
    long nGrowth = vecKiB.back() - vecKiB.front();
    PrintRow(sFigure, std::to_string(nGrowth) + " KiB", "first sample",
             std::to_string(vecKiB.front()) + " KiB",
             Ratio(static_cast<double>(vecKiB.back()), static_cast<double>(vecKiB.front())),
             "VmRSS samples: " + Samples(vecKiB));
}

}  // namespace

int main(int argc, char** argv) {
    InitProgram("bench_memory");
    COptions options(argc, argv, {"--dir", "--halyard", "--sim", "--events", "--minutes"});
    if (!options.Has("--dir")) {
        Usage("bench_memory --dir DIR [--halyard PATH] [--sim PATH] [--events N] [--minutes N]");
    }
    std::string sDir = options.Text("--dir", "");
    int nEvents = static_cast<int>(options.Number("--events", 100000, 10000, 10000000));
    int nMinutes = static_cast<int>(options.Number("--minutes", 3, 1, 600));
    if (!MakeDirectories(sDir)) {
        Fail("cannot create " + sDir + ": " + std::strerror(errno));
    }
    CSim sim(options.Text("--sim", LATTICE_SIM_PATH), sDir + "/sim");
    sim.Start(R"({"settings": {"orrery": {"loglevel": 3},
                  "userinterface": {"screenshots": true, "screenshotType": 2}}})");
    CMemoryBench bench(sim, sDir, options.Text("--halyard", HALYARD_PATH));
    bench.Start();

    constexpr int k_nBatches = 10;
    std::vector<long> vecEvents;
    for (int nBatch = 0; nBatch < k_nBatches; ++nBatch) {
        vecEvents.push_back(bench.Batch(nEvents / k_nBatches, nBatch));
        std::fprintf(stderr, "bench_memory: batch %d of %d: %ld KiB\n", nBatch + 1, k_nBatches,
                     vecEvents.back());
    }
    std::vector<long> vecFrames = {bench.Resident()};
    for (int nSample = 0; nSample < nMinutes * 6; ++nSample) {
        sleep(10);
        vecFrames.push_back(bench.Resident());
    }
    bench.Quit();
    sim.Stop();
    PrintGrowth("VmRSS growth over " + std::to_string(nEvents - nEvents / k_nBatches) +
                    " events after the first batch",
                vecEvents);
    PrintGrowth("VmRSS growth over " + std::to_string(nMinutes) + " min of frames (about " +
                    std::to_string(nMinutes * 60 * 30) + " frames)",
                vecFrames);
    return 0;
}
