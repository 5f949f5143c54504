#include "sim_fixture.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>

namespace halyard_test {

const char* LatticeSimPath() {
    return LATTICE_SIM_PATH;
}

namespace {

bool CanConnect(const std::string& strSocket) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strSocket.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path, strSocket.c_str(), strSocket.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bOk = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return bOk;
}

// Reaps pid within the deadline; the exit status, -2 when still running.
int ReapWithin(pid_t pid, std::chrono::milliseconds deadline) {
    int nStatus = 0;
    bool bDone = WaitFor([&] { return waitpid(pid, &nStatus, WNOHANG) == pid; }, deadline);
    if (!bDone) {
        return -2;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

}  // namespace

bool CSimProcess::Start(const std::string& strDir, const std::string& strConfigJson) {
    m_strDir = strDir;
    m_strSocket = strDir + "/sim.sock";
    std::string strConfig = strDir + "/sim-config.json";
    WriteFile(strConfig, strConfigJson);
    std::string strOut = strDir + "/sim-serve.log";
    pid_t pid = fork();
    if (pid == 0) {
        FILE* pLog = freopen(strOut.c_str(), "w", stdout);
        (void)pLog;
        dup2(STDOUT_FILENO, STDERR_FILENO);
        if (m_fnLaunchHook) {
            m_fnLaunchHook();
        }
        execl(LatticeSimPath(), LatticeSimPath(), "serve", "--config", strConfig.c_str(),
              "--socket", m_strSocket.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return false;
    }
    m_pid = pid;
    bool bUp = WaitFor([&] {
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        return CanConnect(m_strSocket);
    });
    if (m_pid < 0 || !bUp) {
        ADD_FAILURE() << "lattice-sim did not come up: " << ServeOutput();
        Kill();
        return false;
    }
    return true;
}

int CSimProcess::Stop() {
    if (m_pid <= 0) {
        return -1;
    }
    Ctl({"shutdown"});
    return ReapOrKill();
}

int CSimProcess::StopWithSignal(int nSignal) {
    if (m_pid <= 0) {
        return -1;
    }
    kill(m_pid, nSignal);
    return ReapOrKill();
}

int CSimProcess::ReapOrKill() {
    int nStatus = ReapWithin(m_pid, std::chrono::milliseconds(10000));
    if (nStatus == -2) {
        Kill();
        return -1;
    }
    m_pid = -1;
    return nStatus;
}

void CSimProcess::Kill() {
    if (m_pid <= 0) {
        return;
    }
    kill(m_pid, SIGKILL);
    int nStatus = 0;
    waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
}

std::string CSimProcess::ServeOutput() const {
    return ReadFile(m_strDir + "/sim-serve.log");
}

ChildResult CSimProcess::Ctl(const std::vector<std::string>& vecArgs) const {
    std::vector<std::string> vecFull = {LatticeSimPath(), "ctl", "--socket", m_strSocket};
    vecFull.insert(vecFull.end(), vecArgs.begin(), vecArgs.end());
    return RunProcess(vecFull);
}

std::string CSimProcess::Journal() const {
    return Ctl({"journal"}).strStdout;
}

std::vector<std::string> CSimProcess::JournalLines(const std::string& strNeedle) const {
    std::vector<std::string> vecMatching;
    for (const std::string& strLine : SplitLines(Journal())) {
        if (strLine.find(strNeedle) != std::string::npos) {
            vecMatching.push_back(strLine);
        }
    }
    return vecMatching;
}

bool CSimProcess::WaitJournal(const std::string& strNeedle, int nTimeoutMs) const {
    return Ctl({"wait", strNeedle, "--timeout-ms", std::to_string(nTimeoutMs)}).exitCode == 0;
}

void SimTest::SetUp() {
    TempDirTest::SetUp();
    m_pSocketEnv = std::make_unique<ScopedEnv>("LATTICE_SIM_SOCKET", TempDir() + "/sim.sock");
}

void SimTest::TearDown() {
    m_sim.Stop();
    m_pSocketEnv.reset();
    TempDirTest::TearDown();
}

bool SimTest::StartSim(const std::string& strConfigJson) {
    return m_sim.Start(TempDir(), strConfigJson);
}

}  // namespace halyard_test
