#include "halyard_process.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pathtools.h"

#ifndef HALYARD_PATH
#error "HALYARD_PATH must name the halyard executable"
#endif

namespace halyard_test {

CHalyardProcess::~CHalyardProcess() {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool CHalyardProcess::Start(const EnvList& vecEnv, const std::string& sOutput,
                            const std::function<int()>& fnPrepare,
                            const std::vector<std::string>& vecWrapper) {
    std::vector<std::string> vecArgs = vecWrapper;
    vecArgs.push_back(HALYARD_PATH);
    m_status.reset();
    m_pid = fork();
    if (m_pid == 0) {
        if (fnPrepare) {
            if (int nStatus = fnPrepare()) {
                _exit(nStatus);
            }
        }
        for (const auto& [sName, sValue] : vecEnv) {
            setenv(sName.c_str(), sValue.c_str(), 1);
        }
        for (const char* pchName : {"VR_PATHREG_OVERRIDE", "VR_OVERRIDE", "VR_CONFIG_PATH",
                                    "VR_LOG_PATH", "TMP", "ORRERY_DISABLE_CRASH_REPORTING"}) {
            bool bSet = false;
            for (const auto& entry : vecEnv)
                bSet = bSet || entry.first == pchName;
            if (!bSet)
                unsetenv(pchName);
        }
        FILE* pOut = freopen(sOutput.c_str(), "w", stdout);
        (void)pOut;
        dup2(STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> vecArgv;
        for (std::string& sArg : vecArgs)
            vecArgv.push_back(sArg.data());
        vecArgv.push_back(nullptr);
        execvp(vecArgv[0], vecArgv.data());
        _exit(127);
    }
    return m_pid > 0;
}

int CHalyardProcess::Wait(int nTimeoutMs) {
    std::optional<int> status = WaitStatus(nTimeoutMs);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::optional<int> CHalyardProcess::Poll() {
    if (!m_status && m_pid > 0) {
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
            m_status = nStatus;
        }
    }
    return m_status;
}

std::optional<int> CHalyardProcess::WaitStatus(int nTimeoutMs) {
    WaitFor([&] { return Poll().has_value(); }, std::chrono::milliseconds(nTimeoutMs));
    return m_status;
}

bool CHalyardProcess::StopBetweenFrames() {
    return WaitFor([&] {
        int nStatus = 0;
        if (kill(m_pid, SIGSTOP) != 0 || waitpid(m_pid, &nStatus, WUNTRACED) != m_pid ||
            !WIFSTOPPED(nStatus)) {
            return false;
        }
        std::string sSyscall = ReadFile("/proc/" + std::to_string(m_pid) + "/syscall");
        if (sSyscall.rfind("230 ", 0) == 0) {
            return true;
        }
        kill(m_pid, SIGCONT);
        return false;
    });
}

void CHalyardProcess::Continue() {
    kill(m_pid, SIGCONT);
}

void CHalyardProcess::Kill(int nSignal) {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, nSignal);
    }
}

std::string DescribeWaitStatus(const std::optional<int>& status) {
    if (!status) {
        return "still running";
    }
    if (WIFEXITED(*status)) {
        return "exit " + std::to_string(WEXITSTATUS(*status));
    }
    if (WIFSIGNALED(*status)) {
        return std::string("killed by ") + sigabbrev_np(WTERMSIG(*status));
    }
    return "wait status " + std::to_string(*status);
}

void HalyardTest::SetUp() {
    // The single-instance lock is machine-wide: in a private IPC namespace
    // (entered by this thread, which starts every process of the test) a
    // halyard of another test run cannot send this test's halyard away.
    // Without the right to make one, the machine's namespace is used.
    m_bPrivateIpc = unshare(CLONE_NEWIPC) == 0;
    if (!m_bPrivateIpc) {
        m_sNoPrivateIpc = std::string("unshare(CLONE_NEWIPC): ") + strerror(errno);
    }
    SimTest::SetUp();
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("home/.config/lattice").c_str()));
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("runtime/bin").c_str()));
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("tmp").c_str()));
    WriteFile(TempPath("home/.config/lattice/latticepaths.vrpath"),
              "{ \"runtime\": [\"" + TempPath("runtime") + "\"], \"config\": [\"" +
                  TempPath("config") + "\"], \"log\": [\"" + TempPath("logs") + "\"] }");
}

EnvList HalyardTest::Environment() {
    return {{"HOME", TempPath("home")},
            {"XDG_CONFIG_HOME", TempPath("home/.config")},
            {"TEMP", TempPath("tmp")},
            {"LATTICE_SIM_SOCKET", m_sim.Socket()},
            {"QUILL_DUMP_DIR", TempPath("dumps")}};
}

bool HalyardTest::Launch(CHalyardProcess& process, const std::string& sOutput) {
    return process.Start(Environment(), TempPath(sOutput));
}

std::string HalyardTest::DumpText() {
    std::string sDumps;
    for (const std::string& sName : SplitLines(RunProcess({"ls", TempPath("dumps")}).strStdout)) {
        sDumps += ReadFile(TempPath("dumps/" + sName));
    }
    return sDumps;
}

::testing::AssertionResult HalyardTest::WaitRunning(CHalyardProcess& process, size_t unInits,
                                                    int nTimeoutMs) {
    const std::string sInit = "QuillInternal_QuillAPI_Init";
    bool bRunning = false;
    WaitFor(
        [&] {
            // Short waits on the journal, so that an early end is seen soon.
            bRunning = m_sim.WaitJournal(sInit, 200) && m_sim.JournalLines(sInit).size() >= unInits;
            return bRunning || process.Poll().has_value();
        },
        std::chrono::milliseconds(nTimeoutMs));
    if (bRunning) {
        return ::testing::AssertionSuccess();
    }
    std::optional<int> status = process.Poll();
    std::string sOutput = ReadFile(TempPath("halyard.out"));
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 && LogText().empty()) {
        return ::testing::AssertionFailure()
               << "halyard left at once with status 0 and logged nothing: another halyard "
                  "holds the single-instance lock on this machine ("
               << (m_bPrivateIpc ? "even in a private IPC namespace"
                                 : "no private IPC namespace here: " + m_sNoPrivateIpc)
               << ")";
    }
    return ::testing::AssertionFailure()
           << "halyard's main loop did not start (" << DescribeWaitStatus(status) << ")\n"
           << sOutput << "\nlog:\n"
           << LogText();
}

}  // namespace halyard_test
