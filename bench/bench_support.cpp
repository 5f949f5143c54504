#include "bench_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace halyard_bench {

namespace {

std::string g_sProgram = "bench";
// Children still running; killed at exit and on SIGINT/SIGTERM.
std::set<pid_t> g_setChildren;

void KillChildrenNow() {
    for (pid_t pid : g_setChildren) {
        kill(pid, SIGKILL);
    }
}

void KillChildrenAtExit() {
    KillChildrenNow();
    for (pid_t pid : g_setChildren) {
        waitpid(pid, nullptr, 0);
    }
    g_setChildren.clear();
}

void OnTerminatingSignal(int nSignal) {
    // Only async-signal-safe calls: kill, write, _exit. The set is not
    // changed by a signal handler, and the benchmarks are single-threaded
    // where they start children.
    KillChildrenNow();
    const char rgchMessage[] = ": interrupted\n";
    ssize_t n = write(STDERR_FILENO, g_sProgram.data(), g_sProgram.size());
    n = write(STDERR_FILENO, rgchMessage, sizeof(rgchMessage) - 1);
    (void)n;
    _exit(128 + nSignal);
}

bool CanConnect(const std::string& sSocket) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (sSocket.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path, sSocket.c_str(), sSocket.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bOk = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return bOk;
}

// In the child between fork and exec: the parent's death ends it too.
void DieWithParent(pid_t pidParent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != pidParent) {
        _exit(127);
    }
}

std::vector<char*> ArgvPointers(const std::vector<std::string>& vecArgv) {
    std::vector<char*> vecPointers;
    for (const std::string& sArg : vecArgv) {
        vecPointers.push_back(const_cast<char*>(sArg.c_str()));
    }
    vecPointers.push_back(nullptr);
    return vecPointers;
}

void ReadAvailable(int fd, std::string& sOut, bool& bOpen) {
    char rgchBuffer[65536];
    ssize_t n = read(fd, rgchBuffer, sizeof(rgchBuffer));
    if (n > 0) {
        sOut.append(rgchBuffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        bOpen = false;
    }
}

// The number after "\"name\":" in a journal line.
bool JsonNumber(const std::string& sLine, const char* pchName, long long* pnValue) {
    std::string sKey = std::string("\"") + pchName + "\":";
    size_t pos = sLine.find(sKey);
    if (pos == std::string::npos) {
        return false;
    }
    const char* pchStart = sLine.c_str() + pos + sKey.size();
    char* pchEnd = nullptr;
    *pnValue = std::strtoll(pchStart, &pchEnd, 10);
    return pchEnd != pchStart;
}

}  // namespace

double MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void InitProgram(const char* pchName) {
    g_sProgram = pchName;
    std::atexit(KillChildrenAtExit);
    struct sigaction action {};
    action.sa_handler = OnTerminatingSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void Fail(const std::string& sMessage) {
    std::fprintf(stderr, "%s: %s\n", g_sProgram.c_str(), sMessage.c_str());
    std::exit(1);
}

void Usage(const std::string& sUsage) {
    std::fprintf(stderr, "%s: usage: %s\n", g_sProgram.c_str(), sUsage.c_str());
    std::exit(2);
}

COptions::COptions(int argc, char** argv, const std::vector<std::string>& vecKnown) {
    for (int i = 1; i < argc; ++i) {
        std::string sArg = argv[i];
        if (std::find(vecKnown.begin(), vecKnown.end(), sArg) == vecKnown.end()) {
            std::fprintf(stderr, "%s: unknown option '%s'\n", g_sProgram.c_str(), sArg.c_str());
            std::exit(2);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s: %s needs a value\n", g_sProgram.c_str(), sArg.c_str());
            std::exit(2);
        }
        m_mapValues[sArg] = argv[++i];
    }
}

std::string COptions::Text(const std::string& sName, const std::string& sDefault) const {
    auto it = m_mapValues.find(sName);
    return it == m_mapValues.end() ? sDefault : it->second;
}

long COptions::Number(const std::string& sName, long nDefault, long nMin, long nMax) const {
    auto it = m_mapValues.find(sName);
    if (it == m_mapValues.end()) {
        return nDefault;
    }
    char* pchEnd = nullptr;
    errno = 0;
    long nValue = std::strtol(it->second.c_str(), &pchEnd, 10);
    if (it->second.empty() || *pchEnd != '\0' || errno != 0 || nValue < nMin || nValue > nMax) {
        std::fprintf(stderr, "%s: %s wants a whole number from %ld to %ld, not '%s'\n",
                     g_sProgram.c_str(), sName.c_str(), nMin, nMax, it->second.c_str());
        std::exit(2);
    }
    return nValue;
}

double Median(std::vector<double> vecValues) {
    if (vecValues.empty()) {
        return 0;
    }
    std::sort(vecValues.begin(), vecValues.end());
    size_t n = vecValues.size();
    return n % 2 ? vecValues[n / 2] : (vecValues[n / 2 - 1] + vecValues[n / 2]) / 2;
}

std::string Fixed(double flValue, int nDecimals) {
    char rgchBuffer[64];
    std::snprintf(rgchBuffer, sizeof(rgchBuffer), "%.*f", nDecimals, flValue);
    return rgchBuffer;
}

std::string Range(const std::vector<double>& vecValues, int nDecimals) {
    if (vecValues.empty()) {
        return "none";
    }
    auto [itMin, itMax] = std::minmax_element(vecValues.begin(), vecValues.end());
    return Fixed(*itMin, nDecimals) + ".." + Fixed(*itMax, nDecimals);
}

std::string Ratio(double flValue, double flBaseline) {
    if (flValue <= 0 || flBaseline <= 0) {
        return "n/a";
    }
    return Fixed(flValue / flBaseline, 2) + "x";
}

void PrintRow(const std::string& sFigure, const std::string& sValue, const std::string& sBaseline,
              const std::string& sBaselineValue, const std::string& sRatio,
              const std::string& sNote) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", sFigure.c_str(), sValue.c_str(), sBaseline.c_str(),
                sBaselineValue.c_str(), sRatio.c_str(), sNote.c_str());
    std::fflush(stdout);
}

void PrintInfo(const std::string& sText) {
    std::printf("INFO\t%s\n", sText.c_str());
    std::fflush(stdout);
}

std::string ReadFile(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& sPath, const std::string& sText) {
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out << sText;
    return static_cast<bool>(out);
}

bool MakeDirectories(const std::string& sPath) {
    for (size_t pos = 1; pos <= sPath.size(); ++pos) {
        if (pos == sPath.size() || sPath[pos] == '/') {
            std::string sPart = sPath.substr(0, pos);
            if (mkdir(sPart.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

std::vector<std::string> SplitLines(const std::string& sText) {
    std::vector<std::string> vecLines;
    size_t start = 0;
    while (start < sText.size()) {
        size_t end = sText.find('\n', start);
        if (end == std::string::npos) {
            end = sText.size();
        }
        vecLines.push_back(sText.substr(start, end - start));
        start = end + 1;
    }
    return vecLines;
}

std::string UseScratchRegistry(const std::string& sDir) {
    std::string sConfigHome = sDir + "/home/.config";
    std::string sLogDir = sDir + "/logs";
    if (!MakeDirectories(sConfigHome + "/lattice") || !MakeDirectories(sDir + "/runtime/bin") ||
        !MakeDirectories(sDir + "/config") ||
        !WriteFile(sConfigHome + "/lattice/latticepaths.vrpath",
                   "{ \"runtime\": [\"" + sDir + "/runtime\"], \"config\": [\"" + sDir +
                       "/config\"], \"log\": [\"" + sLogDir + "\"] }\n")) {
        Fail("cannot write a path registry under " + sDir + ": " + std::strerror(errno));
    }
    setenv("HOME", (sDir + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", sConfigHome.c_str(), 1);
    for (const char* pchName : {"VR_PATHREG_OVERRIDE", "VR_OVERRIDE", "VR_CONFIG_PATH",
                                "VR_LOG_PATH", "VR_LOG_DEBUG", "VR_COMBINED_LOGGING"}) {
        unsetenv(pchName);
    }
    return sLogDir;
}

std::vector<std::pair<std::string, std::string>> HalyardEnvironment(const std::string& sDir,
                                                                    const std::string& sSocket) {
    std::string sHome = sDir + "/home";
    MakeDirectories(sDir + "/tmp");
    return {{"HOME", sHome},
            {"XDG_CONFIG_HOME", sHome + "/.config"},
            {"TEMP", sDir + "/tmp"},
            {"LATTICE_SIM_SOCKET", sSocket},
            {"QUILL_DUMP_DIR", sDir + "/dumps"}};
}

pid_t Spawn(const ChildLaunch& launch) {
    // Everything the child needs is made here: between fork and exec the
    // child calls nothing that allocates (another thread may hold a lock).
    std::vector<std::string> vecEnv;
    for (char** ppch = environ; *ppch; ++ppch) {
        std::string sEntry = *ppch;
        std::string sName = sEntry.substr(0, sEntry.find('='));
        bool bReplaced = std::find(launch.vecUnsetEnv.begin(), launch.vecUnsetEnv.end(), sName) !=
                             launch.vecUnsetEnv.end() ||
                         std::any_of(launch.vecEnv.begin(), launch.vecEnv.end(),
                                     [&](const auto& entry) { return entry.first == sName; });
        if (!bReplaced) {
            vecEnv.push_back(sEntry);
        }
    }
    for (const auto& [sName, sValue] : launch.vecEnv) {
        vecEnv.push_back(sName + "=" + sValue);
    }
    std::vector<char*> vecArgv = ArgvPointers(launch.vecArgv);
    std::vector<char*> vecEnvp = ArgvPointers(vecEnv);
    int fdOutput = open(launch.sOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fdOutput < 0) {
        Fail("cannot open " + launch.sOutput + ": " + std::strerror(errno));
    }
    pid_t pidParent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        Fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        DieWithParent(pidParent);
        if (launch.bPrivateIpc && unshare(CLONE_NEWIPC) != 0) {
            _exit(126);
        }
        if (!launch.vecBindMounts.empty() &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
            _exit(125);
        }
        for (const auto& [sSource, sTarget] : launch.vecBindMounts) {
            if (mount(sSource.c_str(), sTarget.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                _exit(125);
            }
        }
        dup2(fdOutput, STDOUT_FILENO);
        dup2(fdOutput, STDERR_FILENO);
        execve(vecArgv[0], vecArgv.data(), vecEnvp.data());
        _exit(127);
    }
    close(fdOutput);
    g_setChildren.insert(pid);
    return pid;
}

int WaitChild(pid_t pid, int nTimeoutMs) {
    double flDeadline = MonotonicMs() + nTimeoutMs;
    int nStatus = 0;
    while (true) {
        pid_t r = waitpid(pid, &nStatus, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            g_setChildren.erase(pid);
            return r == pid ? nStatus : -1;
        }
        if (MonotonicMs() >= flDeadline) {
            return -1;
        }
        usleep(5000);
    }
}

void KillChild(pid_t pid) {
    if (pid <= 0 || g_setChildren.count(pid) == 0) {
        return;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    g_setChildren.erase(pid);
}

bool CanUsePrivateIpc(std::string* psWhy) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(unshare(CLONE_NEWIPC) == 0 ? 0 : errno);
    }
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid) {
        *psWhy = "cannot fork to try unshare";
        return false;
    }
    int nCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    if (nCode != 0) {
        *psWhy =
            std::string("unshare(CLONE_NEWIPC): ") + (nCode > 0 ? std::strerror(nCode) : "failed");
        return false;
    }
    return true;
}

Captured RunCapture(const std::vector<std::string>& vecArgv, int nTimeoutMs) {
    Captured result;
    int rgfdOut[2], rgfdErr[2];
    if (pipe2(rgfdOut, O_CLOEXEC) != 0 || pipe2(rgfdErr, O_CLOEXEC) != 0) {
        Fail(std::string("pipe: ") + std::strerror(errno));
    }
    pid_t pidParent = getpid();
    std::vector<char*> vecArgvPointers = ArgvPointers(vecArgv);
    pid_t pid = fork();
    if (pid < 0) {
        Fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        DieWithParent(pidParent);
        dup2(rgfdOut[1], STDOUT_FILENO);
        dup2(rgfdErr[1], STDERR_FILENO);
        execvp(vecArgvPointers[0], vecArgvPointers.data());
        _exit(127);
    }
    g_setChildren.insert(pid);
    close(rgfdOut[1]);
    close(rgfdErr[1]);
    bool bOutOpen = true, bErrOpen = true;
    double flDeadline = MonotonicMs() + nTimeoutMs;
    while ((bOutOpen || bErrOpen) && MonotonicMs() < flDeadline) {
        pollfd rgPoll[2] = {{bOutOpen ? rgfdOut[0] : -1, POLLIN, 0},
                            {bErrOpen ? rgfdErr[0] : -1, POLLIN, 0}};
        if (poll(rgPoll, 2, 100) <= 0) {
            continue;
        }
        if (rgPoll[0].revents) {
            ReadAvailable(rgfdOut[0], result.sOut, bOutOpen);
        }
        if (rgPoll[1].revents) {
            ReadAvailable(rgfdErr[0], result.sErr, bErrOpen);
        }
    }
    close(rgfdOut[0]);
    close(rgfdErr[0]);
    int nStatus = WaitChild(pid, bOutOpen || bErrOpen ? 0 : 10000);
    if (nStatus == -1) {
        KillChild(pid);
        result.sErr += vecArgv[0] + " did not finish in time\n";
        return result;
    }
    result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    if (result.nExit == 127 && result.sErr.empty()) {
        result.sErr = "cannot run " + vecArgv[0] + "\n";
    }
    return result;
}

double ProcessCpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) {
        return -1;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long ResidentKiB(pid_t pid) {
    for (const std::string& sLine :
         SplitLines(ReadFile("/proc/" + std::to_string(pid) + "/status"))) {
        if (sLine.rfind("VmRSS:", 0) == 0) {
            return std::strtol(sLine.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

bool ParseJournalLine(const std::string& sLine, JournalEntry* pEntry) {
    long long nSeq = 0;
    if (!JsonNumber(sLine, "seq", &nSeq) || !JsonNumber(sLine, "time_ms", &pEntry->nTimeMs) ||
        !JsonNumber(sLine, "pid", &pEntry->nPid)) {
        return false;
    }
    pEntry->ulSeq = static_cast<unsigned long long>(nSeq);
    const std::string sCallKey = "\"call\":\"";
    size_t pos = sLine.find(sCallKey);
    if (pos == std::string::npos) {
        return false;
    }
    pos += sCallKey.size();
    pEntry->sCall = sLine.substr(pos, sLine.find('"', pos) - pos);
    pEntry->vecEvents.clear();
    const std::string sEventsKey = "\"events\":[";
    pos = sLine.find(sEventsKey);
    if (pos != std::string::npos) {
        const char* pch = sLine.c_str() + pos + sEventsKey.size();
        while (*pch && *pch != ']') {
            char* pchEnd = nullptr;
            unsigned long ulType = std::strtoul(pch, &pchEnd, 10);
            if (pchEnd == pch) {
                break;
            }
            pEntry->vecEvents.push_back(ulType);
            pch = *pchEnd == ',' ? pchEnd + 1 : pchEnd;
        }
    }
    return true;
}

void CSim::Start(const std::string& sConfigJson) {
    if (!MakeDirectories(m_sDir)) {
        Fail("cannot create " + m_sDir + ": " + std::strerror(errno));
    }
    m_sSocket = m_sDir + "/sim.sock";
    std::string sConfig = m_sDir + "/sim-config.json";
    if (!WriteFile(sConfig, sConfigJson)) {
        Fail("cannot write " + sConfig);
    }
    ChildLaunch launch;
    launch.vecArgv = {m_sSimPath, "serve", "--config", sConfig, "--socket", m_sSocket};
    launch.sOutput = m_sDir + "/sim-serve.log";
    m_pid = Spawn(launch);
    double flDeadline = MonotonicMs() + 30000;
    while (!CanConnect(m_sSocket)) {
        int nStatus = WaitChild(m_pid, 0);
        if (nStatus != -1) {
            m_pid = -1;
            std::string sOutput = ReadFile(m_sDir + "/sim-serve.log");
            Fail("lattice-sim did not start (" +
                 (WIFEXITED(nStatus) ? "exit " + std::to_string(WEXITSTATUS(nStatus))
                                     : std::string("killed by a signal")) +
                 ")" + (sOutput.empty() ? "" : ": " + SplitLines(sOutput).front()));
        }
        if (MonotonicMs() > flDeadline) {
            Fail("lattice-sim did not answer on " + m_sSocket + " within 30 s");
        }
        usleep(10000);
    }
}

void CSim::Stop() {
    if (m_pid <= 0) {
        return;
    }
    Ctl({"shutdown"}, 10000);
    if (WaitChild(m_pid, 10000) == -1) {
        KillChild(m_pid);
    }
    m_pid = -1;
}

Captured CSim::Ctl(const std::vector<std::string>& vecArgs, int nTimeoutMs) const {
    std::vector<std::string> vecArgv = {m_sSimPath, "ctl", "--socket", m_sSocket};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    return RunCapture(vecArgv, nTimeoutMs);
}

std::string CSim::CtlOrFail(const std::vector<std::string>& vecArgs) const {
    Captured result = Ctl(vecArgs);
    if (result.nExit != 0) {
        std::string sErr = result.sErr;
        while (!sErr.empty() && sErr.back() == '\n') {
            sErr.pop_back();
        }
        Fail("lattice-sim ctl " + vecArgs[0] + " failed: " + sErr);
    }
    return result.sOut;
}

std::vector<JournalEntry> CSim::JournalSince(unsigned long long ulSeq) const {
    std::vector<JournalEntry> vecEntries;
    for (const std::string& sLine :
         SplitLines(CtlOrFail({"journal", "--since", std::to_string(ulSeq)}))) {
        JournalEntry entry;
        if (ParseJournalLine(sLine, &entry)) {
            vecEntries.push_back(entry);
        }
    }
    return vecEntries;
}

unsigned long long CSim::LastSeq() const {
    std::vector<JournalEntry> vecEntries = JournalSince(0);
    return vecEntries.empty() ? 0 : vecEntries.back().ulSeq;
}

}  // namespace halyard_bench
