#include "processtools.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "pathtools.h"
#include "strtools_public.h"
#include "threadtools.h"
#include "vrlog.h"

namespace {

const char k_rchEnvPrefix[] =
    "ORRERY_VRENV= QUILL_RUNTIME= LD_LIBRARY_PATH=\"$SYSTEM_LD_LIBRARY_PATH\" QT_PLUGIN_PATH= ";

// system() with the child reaper held off, so that the status is the
// command's and not -1 after the reaper collected the shell first.
int RunShellCommand(const std::string& sCommand) {
    CChildReaperHold hold;
    return system(sCommand.c_str());
}

bool IsPlainWordChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           strchr("_.+-:@%,=/", ch) != nullptr;
}

// Text inside single quotes, with each single quote written as '\''.
std::string EscapeForSingleQuotes(const std::string& s) {
    return StringReplace(s, "'", "'\\''");
}

// The name as one shell word: unchanged when plain, else single-quoted. False
// for names the tools would read as options (or as nothing).
bool ShellWordForName(const std::string& sName, std::string* psWord) {
    if (sName.empty() || sName[0] == '-' || sName.find('\0') != std::string::npos) {
        return false;
    }
    bool bPlain = true;
    for (char ch : sName) {
        bPlain = bPlain && IsPlainWordChar(ch);
    }
    *psWord = bPlain ? sName : "'" + EscapeForSingleQuotes(sName) + "'";
    return true;
}

// Characters that mean something in an extended regular expression.
bool IsRegexSpecial(char ch) {
    return ch != '\0' && strchr("\\.[]()*+?{}|^$", ch) != nullptr;
}

// A pattern that pkill -x matches against exactly this name and nothing else.
std::string LiteralProcessNamePattern(const std::string& sName) {
    std::string sPattern;
    for (char ch : sName) {
        if (IsRegexSpecial(ch)) {
            sPattern += '\\';
        }
        sPattern += ch;
    }
    return sPattern;
}

// What the intermediate child tells the caller, in one write (well under
// PIPE_BUF, so it arrives whole or not at all).
enum ELaunchStage {
    k_eLaunchStarted,
    k_eLaunchChdirFailed,
    k_eLaunchForkFailed,
    k_eLaunchExecFailed
};
struct LaunchReport {
    int nPid;    // the grandchild, -1 when there is none
    int nStage;  // ELaunchStage
    int nError;  // errno of the failed step
};

void WriteWhole(int fd, const void* pData, size_t unSize) {
    ssize_t nWritten;
    do {
        nWritten = write(fd, pData, unSize);
    } while (nWritten < 0 && errno == EINTR);
}

ssize_t ReadWhole(int fd, void* pData, size_t unSize) {
    ssize_t nRead;
    do {
        nRead = read(fd, pData, unSize);
    } while (nRead < 0 && errno == EINTR);
    return nRead;
}

// The code from here to the end of the intermediate child runs in a fork of a
// process that may have other threads, any of which may have held a lock
// (the log's, the allocator's, stdio's) at the moment of the fork: it makes
// system calls only, and leaves every log line to the caller.

// Forks the grandchild and waits until it has executed the program: a
// close-on-exec pipe reaches end of file on success or carries errno when
// exec fails. A grandchild that failed is reaped here; nobody else knows it.
LaunchReport StartGrandchild(const char* pchExecutable, const char* const* argv) {
    int rgnExec[2] = {-1, -1};
    // Without the pipe the program still starts; only a failed exec goes unseen.
    bool bWatchExec = pipe2(rgnExec, O_CLOEXEC) == 0;
    pid_t pid = fork();
    if (pid == 0) {
        if (bWatchExec) {
            close(rgnExec[0]);
        }
        execvp(pchExecutable, const_cast<char* const*>(argv));
        int nError = errno;
        if (bWatchExec) {
            WriteWhole(rgnExec[1], &nError, sizeof(nError));
        }
        _exit(0);
    }
    int nForkError = errno;
    int nExecError = 0;
    ssize_t nRead = 0;
    if (bWatchExec) {
        close(rgnExec[1]);
        if (pid > 0) {
            nRead = ReadWhole(rgnExec[0], &nExecError, sizeof(nExecError));
        }
        close(rgnExec[0]);
    }
    if (pid < 0) {
        return {-1, k_eLaunchForkFailed, nForkError};
    }
    if (nRead == static_cast<ssize_t>(sizeof(nExecError))) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return {-1, k_eLaunchExecFailed, nExecError};
    }
    return {pid, k_eLaunchStarted, 0};
}

// Intermediate child: detach, change directory, start the grandchild, report
// through the pipe. Never returns.
[[noreturn]] void RunIntermediateChild(const char* pchWorkingDirectory, const char* pchExecutable,
                                       const char* const* argv, int fdRead, int fdWrite) {
    close(fdRead);
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    LaunchReport report;
    if (pchWorkingDirectory && pchWorkingDirectory[0] && chdir(pchWorkingDirectory) != 0) {
        report = {-1, k_eLaunchChdirFailed, errno};
    } else {
        report = StartGrandchild(pchExecutable, argv);
    }
    WriteWhole(fdWrite, &report, sizeof(report));
    // _exit: the caller's static destructors (machine-wide locks) are not ours to run.
    _exit(0);
}

// exec in another directory would look for a relative path with a directory
// part there: resolve it against the caller's directory first.
std::string ExecutableForDirectory(const char* pchWorkingDirectory, const char* pchExecutable) {
    std::string sExecutable = pchExecutable;
    if (pchWorkingDirectory && pchWorkingDirectory[0] && sExecutable[0] != '/' &&
        sExecutable.find('/') != std::string::npos) {
        std::string sCurrent = Path_GetWorkingDirectory();
        if (!sCurrent.empty()) {
            sExecutable = sCurrent + "/" + sExecutable;
        }
    }
    return sExecutable;
}

void LogLaunchFailure(const LaunchReport& report, const char* pchWorkingDirectory,
                      const char* pchProgram) {
    switch (report.nStage) {
        case k_eLaunchChdirFailed:
            Log(LogLevel_Info, "Failed to change directory to '%s' when launching process '%s': %d",
                pchWorkingDirectory, pchProgram, report.nError);
            break;
        case k_eLaunchForkFailed:
            Log(LogLevel_Info, "Unable to fork grandchild to start process: %s\n", pchProgram);
            break;
        case k_eLaunchExecFailed:
            Log(LogLevel_Info, "Failed to execute process '%s': %d\n", pchProgram, report.nError);
            break;
        default:
            break;
    }
}

}  // namespace

bool BCreateProcess(const char* pchWorkingDirectory, const char* const* argv, int* pnPid) {
    if (pnPid) {
        *pnPid = 0;
    }
    if (!argv || !argv[0]) {
        return false;
    }
    // Everything the children need is made here: they may not allocate.
    std::string sExecutable = ExecutableForDirectory(pchWorkingDirectory, argv[0]);
    int rgnPipe[2];
    if (pipe2(rgnPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log(LogLevel_Info, "Failed to create PID pipe\n");
        return false;
    }
    pid_t pidChild = fork();
    if (pidChild < 0) {
        close(rgnPipe[0]);
        close(rgnPipe[1]);
        Log(LogLevel_Info, "Unable to fork child to start process: %s\n", argv[0]);
        return false;
    }
    if (pidChild == 0) {
        RunIntermediateChild(pchWorkingDirectory, sExecutable.c_str(), argv, rgnPipe[0],
                             rgnPipe[1]);
    }
    close(rgnPipe[1]);
    while (waitpid(pidChild, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The child wrote before it exited, so the report is there unless it died first.
    LaunchReport report = {-1, k_eLaunchStarted, 0};
    if (ReadWhole(rgnPipe[0], &report, sizeof(report)) != static_cast<ssize_t>(sizeof(report))) {
        report = {-1, k_eLaunchStarted, 0};
    }
    close(rgnPipe[0]);
    LogLaunchFailure(report, pchWorkingDirectory, argv[0]);
    int nPid = report.nPid > 0 ? report.nPid : -1;
    if (pnPid) {
        *pnPid = nPid;
    }
    return nPid > 0;
}

bool BCreateProcess(const std::string& sExecutable, const std::vector<std::string>& vecArgs,
                    const std::string& sWorkingDirectory, int* pnPid) {
    std::vector<const char*> vecArgv;
    vecArgv.push_back(sExecutable.c_str());
    for (const std::string& sArg : vecArgs) {
        vecArgv.push_back(sArg.c_str());
    }
    vecArgv.push_back(nullptr);
    std::string sDirectory = sWorkingDirectory;
    if (sDirectory.empty() && sExecutable.find('/') != std::string::npos) {
        // A bare name has no directory of its own: it keeps the caller's.
        sDirectory = Path_StripFilename(sExecutable);
    }
    return BCreateProcess(sDirectory.c_str(), vecArgv.data(), pnPid);
}

bool BCreateProcess(const std::string& sExecutable, const std::string& sCommandLine,
                    const std::string& sWorkingDirectory, int* pnPid) {
    return BCreateProcess(sExecutable, TokenizeString(sCommandLine, ' '), sWorkingDirectory, pnPid);
}

bool BProcessRunning(const std::string& sName) {
    std::string sWord;
    if (!ShellWordForName(sName, &sWord)) {
        return false;
    }
    std::string sCommand = std::string(k_rchEnvPrefix) + "pidof " + sWord + " > /dev/null";
    return RunShellCommand(sCommand) == 0;
}

bool BProcessRunning(int pid) {
    // 0 and below name process groups or every process, never one process.
    if (pid <= 0) {
        return false;
    }
    return kill(pid, 0) == 0 || errno == EPERM;
}

bool BKillProcess(const std::string& sName) {
    std::string sWord;
    if (!ShellWordForName(sName, &sWord) ||
        !ShellWordForName(LiteralProcessNamePattern(sName), &sWord)) {
        return false;
    }
    // -x with an escaped pattern: exactly this name, not every name it matches.
    std::string sCommand = std::string(k_rchEnvPrefix) + "/usr/bin/pkill -9 -x " + sWord;
    return RunShellCommand(sCommand) == 0;
}

bool BKillProcess(int pid) {
    // 0 and below would signal a process group or every process of the user
    // (-1 is also what a failed BCreateProcess leaves as the pid).
    if (pid <= 0) {
        return false;
    }
    if (kill(pid, 0) != 0) {
        return true;
    }
    return kill(pid, SIGKILL) == 0;
}

bool OpenURL(const char* pchURL) {
    if (!pchURL || !pchURL[0]) {
        return false;
    }
    // Quoting keeps the URL one word for the shell, but the opener still
    // reads a word that starts with '-' as one of its options.
    if (pchURL[0] == '-') {
        Log(LogLevel_Warning, "Refusing to open URL '%s': it starts with '-'\n", pchURL);
        return false;
    }
    std::string sCommand =
        std::string(k_rchEnvPrefix) + "xdg-open '" + EscapeForSingleQuotes(pchURL) + "' &";
    if (RunShellCommand(sCommand) == -1) {
        fprintf(stderr, "Failed to execute '%s'\n", sCommand.c_str());
        return false;
    }
    return true;
}

int GetCommandOutput(const std::string& sCommand, std::string& sOutput, std::string* psError) {
    CChildReaperHold hold;  // pclose must find the child to report its status
    FILE* pPipe = popen(sCommand.c_str(), "r");
    if (!pPipe) {
        if (psError) {
            char rchError[1024];
            snprintf(rchError, sizeof(rchError), "Command failed with %d: %s", errno,
                     sCommand.c_str());
            *psError = rchError;
        }
        return 2;
    }
    char rchChunk[256];
    size_t unRead;
    while ((unRead = fread(rchChunk, 1, sizeof(rchChunk) - 1, pPipe)) > 0) {
        sOutput.append(rchChunk, unRead);
    }
    return pclose(pPipe);
}

bool GetCommandLineArguments(std::vector<std::string>& vecArgs) {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    if (!file) {
        return false;
    }
    std::string sContent((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t unStart = 0;
    while (unStart < sContent.size()) {
        size_t unEnd = sContent.find('\0', unStart);
        if (unEnd == std::string::npos) {
            unEnd = sContent.size();
        }
        vecArgs.push_back(sContent.substr(unStart, unEnd - unStart));
        unStart = unEnd + 1;
    }
    return true;
}

bool BRealtimeProcess() {
    return true;
}

int RunWithAdminPrompt(const char*, const char*) {
    return -1;
}

bool SetProcessSchedulingPriorityClassRealtime(int) {
    return false;
}
