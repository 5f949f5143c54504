// What the tests that start the real halyard share: the process itself, and
// a fixture that gives each test a private directory (HOME, XDG_CONFIG_HOME,
// TEMP, socket, path registry, log directory, dump directory), a real
// lattice-sim, and a private IPC namespace where the machine allows it, so
// that the machine-wide single-instance lock of one test's halyard never
// meets another's.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_fixture.h"

namespace halyard_test {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// A halyard process with its standard output and error in one file; killed
// if still running at the end.
class CHalyardProcess {
public:
    CHalyardProcess() = default;
    ~CHalyardProcess();
    CHalyardProcess(const CHalyardProcess&) = delete;
    CHalyardProcess& operator=(const CHalyardProcess&) = delete;

    // fnPrepare runs in the child before the exec; a non-zero result ends the
    // child with that status instead. vecWrapper (valgrind and its options,
    // say) is put before the executable.
    bool Start(const EnvList& vecEnv, const std::string& sOutput,
               const std::function<int()>& fnPrepare = nullptr,
               const std::vector<std::string>& vecWrapper = {});
    // The exit status, or -1 when it did not end in time (or ended by a signal).
    int Wait(int nTimeoutMs = 60000);
    // The raw wait status; nothing when the process did not end in time.
    std::optional<int> WaitStatus(int nTimeoutMs = 60000);
    // The raw wait status if it has ended, without waiting.
    std::optional<int> Poll();
    // Stops the process where its main thread sleeps between two frames (in
    // clock_nanosleep, system call 230), so that what happens meanwhile is
    // seen by one frame; false when it does not get there in time.
    bool StopBetweenFrames();
    void Continue();
    void Kill(int nSignal);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

// "exit 0", "killed by SIGABRT", "still running": for failure messages.
std::string DescribeWaitStatus(const std::optional<int>& status);

class HalyardTest : public SimTest {
protected:
    void SetUp() override;

    EnvList Environment();
    bool Launch(CHalyardProcess& process, const std::string& sOutput = "halyard.out");
    std::string LogText() { return ReadFile(TempPath("logs/halyard.txt")); }
    // Every dump file's text, one after another.
    std::string DumpText();
    int Ctl(const std::vector<std::string>& vecArgs) { return m_sim.Ctl(vecArgs).exitCode; }
    // Waits until the main loop runs: the host client has been initialised in
    // its first frame (the nth time, counting restarts). When the process ends
    // before, it fails at once and says why: a halyard that leaves with status
    // 0 having logged nothing found the single-instance lock held by another.
    ::testing::AssertionResult WaitRunning(CHalyardProcess& process, size_t unInits = 1,
                                           int nTimeoutMs = 60000);

    // Whether this test's processes run in an IPC namespace of their own; the
    // reason when not.
    bool m_bPrivateIpc = false;
    std::string m_sNoPrivateIpc;
};

}  // namespace halyard_test
