#include "test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace halyard_test {

namespace {

int RemoveEntry(const char* pchPath, const struct stat*, int, struct FTW*) {
    remove(pchPath);
    return 0;
}

void RemoveTree(const std::string& strPath) {
    // Make everything writable first so that permission tests cannot leave debris.
    nftw(
        strPath.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
            if (type == FTW_D || type == FTW_DNR) {
                chmod(p, (st->st_mode & 07777) | S_IRWXU);
            }
            return 0;
        },
        32, FTW_PHYS);
    nftw(strPath.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

namespace {

// Temporary directories of tests still running, by the process that made
// them: a test program that leaves through exit() in the middle of a test
// (a fresh process started for one check) removes its own at exit, while a
// forked child that exits never touches its parent's.
std::mutex g_liveTempDirsMutex;
std::vector<std::pair<pid_t, std::string>> g_liveTempDirs;

void RemoveLiveTempDirsAtExit() {
    std::lock_guard<std::mutex> lock(g_liveTempDirsMutex);
    for (const auto& [pid, strDir] : g_liveTempDirs) {
        if (pid == getpid()) {
            RemoveTree(strDir);
        }
    }
    g_liveTempDirs.clear();
}

void TrackTempDir(const std::string& strDir, bool bLive) {
    static const bool s_bRegistered = (atexit(RemoveLiveTempDirsAtExit), true);
    (void)s_bRegistered;
    std::lock_guard<std::mutex> lock(g_liveTempDirsMutex);
    if (bLive) {
        g_liveTempDirs.emplace_back(getpid(), strDir);
        return;
    }
    std::erase_if(g_liveTempDirs, [&](const auto& entry) { return entry.second == strDir; });
}

}  // namespace

void TempDirTest::SetUp() {
    const char* pchBase = getenv("TMPDIR");
    std::string strTemplate =
        std::string(pchBase && *pchBase ? pchBase : "/tmp") + "/halyard-test-XXXXXX";
    std::vector<char> buffer(strTemplate.begin(), strTemplate.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr) << strerror(errno);
    m_strTempDir = buffer.data();
    TrackTempDir(m_strTempDir, true);
}

void TempDirTest::TearDown() {
    if (!m_strTempDir.empty()) {
        RemoveTree(m_strTempDir);
        TrackTempDir(m_strTempDir, false);
    }
}

ScopedEnv::ScopedEnv(std::string strName, std::optional<std::string> value)
    : m_strName(std::move(strName)) {
    if (const char* pchOld = getenv(m_strName.c_str())) {
        m_previous = pchOld;
    }
    if (value) {
        setenv(m_strName.c_str(), value->c_str(), 1);
    } else {
        unsetenv(m_strName.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_previous) {
        setenv(m_strName.c_str(), m_previous->c_str(), 1);
    } else {
        unsetenv(m_strName.c_str());
    }
}

namespace {

void ApplyChildOptions(const ChildOptions& options, const ChildPipes& pipes) {
    dup2(pipes.in[0], STDIN_FILENO);
    dup2(pipes.out[1], STDOUT_FILENO);
    dup2(pipes.err[1], STDERR_FILENO);
    for (int fd :
         {pipes.in[0], pipes.in[1], pipes.out[0], pipes.out[1], pipes.err[0], pipes.err[1]}) {
        close(fd);
    }
    for (const auto& [strName, value] : options.env) {
        if (value) {
            setenv(strName.c_str(), value->c_str(), 1);
        } else {
            unsetenv(strName.c_str());
        }
    }
    if (!options.strWorkingDir.empty() && chdir(options.strWorkingDir.c_str()) != 0) {
        _exit(127);
    }
}

// Collects output until both pipes close or the deadline passes, then reaps.
ChildResult Collect(pid_t pid, ChildPipes& pipes, const ChildOptions& options) {
    close(pipes.out[1]);
    close(pipes.err[1]);
    close(pipes.in[0]);
    if (!options.strStdin.empty()) {
        // Small inputs only: the pipe buffer holds them without blocking.
        ssize_t written = write(pipes.in[1], options.strStdin.data(), options.strStdin.size());
        (void)written;
    }
    close(pipes.in[1]);

    ChildResult result;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    struct pollfd fds[2] = {{pipes.out[0], POLLIN, 0}, {pipes.err[0], POLLIN, 0}};
    std::string* targets[2] = {&result.strStdout, &result.strStderr};
    int nOpen = 2;
    while (nOpen > 0) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            result.bTimedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int n = poll(fds, 2, static_cast<int>(std::min<long>(remaining.count(), 1000)));
        if (n < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
                if (got > 0) {
                    targets[i]->append(buffer, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --nOpen;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.bExited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    return result;
}

bool OpenPipes(ChildPipes& pipes) {
    return pipe2(pipes.out, O_CLOEXEC) == 0 && pipe2(pipes.err, O_CLOEXEC) == 0 &&
           pipe2(pipes.in, O_CLOEXEC) == 0;
}

}  // namespace

StartedChild StartProcess(const std::vector<std::string>& vecArgs, const ChildOptions& options) {
    StartedChild child;
    if (vecArgs.empty() || !OpenPipes(child.pipes)) {
        ADD_FAILURE() << "StartProcess: no arguments or no pipes";
        return child;
    }
    std::vector<char*> argv;
    for (const std::string& strArg : vecArgs) {
        argv.push_back(const_cast<char*>(strArg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ApplyChildOptions(options, child.pipes);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << strerror(errno);
        return child;
    }
    child.pid = pid;
    child.options = options;
    return child;
}

ChildResult RunProcess(const std::vector<std::string>& vecArgs, const ChildOptions& options) {
    StartedChild child = StartProcess(vecArgs, options);
    return CollectChild(child);
}

ChildResult CollectChild(StartedChild& child) {
    if (child.pid <= 0) {
        return {};
    }
    pid_t pid = child.pid;
    child.pid = -1;
    return Collect(pid, child.pipes, child.options);
}

ChildResult RunInFreshProcess(const std::function<int()>& fn, const ChildOptions& options) {
    static const char k_pchMarker[] = "HALYARD_TEST_FRESH_PROCESS";
    const testing::TestInfo* pInfo = testing::UnitTest::GetInstance()->current_test_info();
    std::string sTest = std::string(pInfo->test_suite_name()) + "." + pInfo->name();
    const char* pchMarker = getenv(k_pchMarker);
    if (pchMarker && sTest == pchMarker) {
        // exit, not _exit: the test's temporary directory goes with it.
        exit(fn());
    }
    ChildOptions fresh = options;
    fresh.env[k_pchMarker] = sTest;
    return RunProcess({"/proc/self/exe", "--gtest_filter=" + sTest}, fresh);
}

StartedChild StartInChild(const std::function<int()>& fn, const ChildOptions& options) {
    StartedChild child;
    if (!OpenPipes(child.pipes)) {
        ADD_FAILURE() << "StartInChild: no pipes";
        return child;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ApplyChildOptions(options, child.pipes);
        int code = fn();
        fflush(nullptr);
        _exit(code);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << strerror(errno);
        return child;
    }
    child.pid = pid;
    child.options = options;
    return child;
}

ChildResult RunInChild(const std::function<int()>& fn, const ChildOptions& options) {
    StartedChild child = StartInChild(fn, options);
    return CollectChild(child);
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return cond();
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void WriteFile(const std::string& strPath, const std::string& strContent) {
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file << strContent;
    ASSERT_TRUE(file.good()) << "cannot write " << strPath;
}

std::vector<std::string> SplitLines(const std::string& strText) {
    std::vector<std::string> vecLines;
    std::istringstream in(strText);
    for (std::string strLine; std::getline(in, strLine);) {
        vecLines.push_back(strLine);
    }
    return vecLines;
}

}  // namespace halyard_test
