// sim_fixture: a real lattice-sim process per test.
//
// CSimProcess starts `lattice-sim serve` on a socket in a directory the test
// owns, waits until it answers, runs `ctl` verbs against it and stops it
// (ctl shutdown, then SIGKILL after a deadline). SimTest is a TempDirTest
// that points LATTICE_SIM_SOCKET at that socket for the test's duration, so
// the stand-in libraries in the test process talk to this simulator.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace halyard_test {

// The lattice-sim executable of this build.
const char* LatticeSimPath();

class CSimProcess {
public:
    CSimProcess() = default;
    ~CSimProcess() { Stop(); }
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // Writes strConfigJson to <dir>/sim-config.json and serves on
    // <dir>/sim.sock. false (with a test failure) when it does not come up.
    bool Start(const std::string& strDir, const std::string& strConfigJson = "{}");
    // Asks it to shut down and reaps it; kills it after 10 s. Returns its
    // exit status, or -1 when it had to be killed or was not running.
    int Stop();
    // Sends it a signal and reaps it within 10 s (then kills it). Its exit
    // status, or -1 when it ended otherwise or had to be killed.
    int StopWithSignal(int nSignal);
    // Kills it at once without asking (a simulator that crashes).
    void Kill();
    bool Running() const { return m_pid > 0; }

    // Runs in the forked child just before the simulator is executed, to
    // put a limit, a umask or a filter on it. Only system calls belong here:
    // the test process may have other threads.
    void SetLaunchHook(std::function<void()> fnHook) { m_fnLaunchHook = std::move(fnHook); }

    const std::string& Socket() const { return m_strSocket; }
    pid_t Pid() const { return m_pid; }
    std::string ServeOutput() const;

    ChildResult Ctl(const std::vector<std::string>& vecArgs) const;
    std::string Journal() const;
    // Journal lines that contain strNeedle.
    std::vector<std::string> JournalLines(const std::string& strNeedle) const;
    // ctl wait: true when a journal entry contains strNeedle in time.
    bool WaitJournal(const std::string& strNeedle, int nTimeoutMs = 30000) const;

private:
    // Waits up to 10 s for the simulator to end (killing it when it does not);
    // its wait status, or -1.
    int ReapOrKill();

    std::string m_strDir;
    std::string m_strSocket;
    pid_t m_pid = -1;
    std::function<void()> m_fnLaunchHook;
};

class SimTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the simulator with a configuration (JSON text).
    bool StartSim(const std::string& strConfigJson = "{}");

    CSimProcess m_sim;

private:
    std::unique_ptr<ScopedEnv> m_pSocketEnv;
};

}  // namespace halyard_test
