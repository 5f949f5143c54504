// bench_platform: what the dashboard's idle loop and an event burst cost with
// the stand-in libraries and lattice-sim. Prints figures; passes or fails
// nothing.
//
//   idle      one event poll, one host-client check and one init-token read per
//             frame, as the dashboard does at 30 frames/s: CPU time of this
//             process and of the simulator, as a share of one core, next to a
//             loop that only sleeps.
//   burst     10,000 queued events drained by polling, next to 10,000 single
//             round trips (what a poll per event without batching would cost).
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "lattice_api.h"
#include "quill_api.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of a whole process (all its threads), in nanosecond resolution.
double ProcessCpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double SelfCpuSeconds() {
    return ProcessCpuSeconds(0);
}

bool CanConnect(const std::string& strSocket) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, strSocket.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return bOk;
}

int RunCtl(const std::string& strSocket, const std::string& strArgs) {
    std::string strCommand = std::string(LATTICE_SIM_PATH) + " ctl --socket " + strSocket + " " +
                             strArgs + " >/dev/null";
    return std::system(strCommand.c_str());
}

struct CpuShare {
    double dflClient, dflSim;
};

// Runs nFrames frames, sleeping nSleepMs after each (0: back to back).
CpuShare Frames(pid_t pidSim, int nFrames, int nSleepMs, bool bCalls, double* pdflWall) {
    vr::IVRSystem* pSystem =
        static_cast<vr::IVRSystem*>(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr));
    double dflClient0 = SelfCpuSeconds();
    double dflSim0 = ProcessCpuSeconds(pidSim);
    auto start = Clock::now();
    vr::LatticeEvent_t event{};
    for (int i = 0; i < nFrames; ++i) {
        if (bCalls) {
            VR_GetInitToken();
            QuillAPI_IsQuillRunning();
            while (pSystem->TakeNextEvent(&event, sizeof(event))) {
            }
        }
        if (nSleepMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(nSleepMs));
        }
    }
    *pdflWall = std::chrono::duration<double>(Clock::now() - start).count();
    return {SelfCpuSeconds() - dflClient0, ProcessCpuSeconds(pidSim) - dflSim0};
}

}  // namespace

int main() {
    char rgchDir[] = "/tmp/halyard-bench-XXXXXX";
    if (!mkdtemp(rgchDir)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string strDir = rgchDir;
    std::string strSocket = strDir + "/sim.sock";
    std::string strConfig = strDir + "/config.json";
    // A journal small enough that the idle run does not grow memory without bound.
    std::ofstream(strConfig) << "{\"journal_limit\": 1000}";
    pid_t pidSim = fork();
    if (pidSim == 0) {
        int fdNull = open("/dev/null", O_WRONLY);
        dup2(fdNull, STDOUT_FILENO);
        execl(LATTICE_SIM_PATH, LATTICE_SIM_PATH, "serve", "--config", strConfig.c_str(),
              "--socket", strSocket.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !CanConnect(strSocket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    setenv("LATTICE_SIM_SOCKET", strSocket.c_str(), 1);
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    if (eError != vr::LatticeInitError_None) {
        std::fprintf(stderr, "init failed: %s\n", VR_GetVRInitErrorAsSymbol(eError));
        kill(pidSim, SIGKILL);
        return 1;
    }

    std::printf("== idle dashboard frame: 1 event poll + 1 host-client check + 1 token read\n");
    double dflWall = 0;
    const int k_nBackToBack = 20000;
    CpuShare work = Frames(pidSim, k_nBackToBack, 0, true, &dflWall);
    double dflPerFrameUs = (work.dflClient + work.dflSim) / k_nBackToBack * 1e6;
    std::printf(
        "back to back: %d frames in %.3f s; CPU per frame %.1f us (client %.1f, sim %.1f)\n",
        k_nBackToBack, dflWall, dflPerFrameUs, work.dflClient / k_nBackToBack * 1e6,
        work.dflSim / k_nBackToBack * 1e6);
    std::printf("=> at 30 frames/s: %.3f%% of one core (target: well under 1%%)\n",
                dflPerFrameUs * 30 / 1e6 * 100);

    const int k_nFrames = 90;  // three seconds at 30 frames/s
    CpuShare baseline = Frames(pidSim, k_nFrames, 33, false, &dflWall);
    std::printf("baseline, sleep only: %.3f%% client, %.3f%% sim over %.1f s\n",
                baseline.dflClient / dflWall * 100, baseline.dflSim / dflWall * 100, dflWall);
    CpuShare idle = Frames(pidSim, k_nFrames, 33, true, &dflWall);
    std::printf(
        "measured at 30 frames/s: %.3f%% client, %.3f%% sim over %.1f s; "
        "%.3f%% of one core above the baseline\n",
        idle.dflClient / dflWall * 100, idle.dflSim / dflWall * 100, dflWall,
        (idle.dflClient + idle.dflSim - baseline.dflClient - baseline.dflSim) / dflWall * 100);

    std::printf("== burst of 10,000 queued events\n");
    RunCtl(strSocket, "event 1000 7 --count 10000");
    vr::IVRSystem* pSystem =
        static_cast<vr::IVRSystem*>(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr));
    vr::LatticeEvent_t event{};
    auto start = Clock::now();
    int nDrained = 0;
    while (pSystem->TakeNextEvent(&event, sizeof(event))) {
        ++nDrained;
    }
    double dflDrainMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("drained %d events in %.2f ms (target: under 100 ms)\n", nDrained, dflDrainMs);
    start = Clock::now();
    for (int i = 0; i < 10000; ++i) {
        VR_IsInterfaceVersionValid(vr::IVRSystem_Version);
    }
    double dflSingleMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("baseline, 10,000 single round trips: %.2f ms\n", dflSingleMs);

    VR_ShutdownInternal();
    RunCtl(strSocket, "shutdown");
    int nStatus = 0;
    waitpid(pidSim, &nStatus, 0);
    std::system(("rm -rf " + strDir).c_str());
    return nDrained == 10000 ? 0 : 1;
}
