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
    if (sName.empty() || sName[0] == '-') {
        return false;
    }
    bool bPlain = true;
    for (char ch : sName) {
        bPlain = bPlain && IsPlainWordChar(ch);
    }
    *psWord = bPlain ? sName : "'" + EscapeForSingleQuotes(sName) + "'";
    return true;
}

// Intermediate child: detach, change directory, start the grandchild, report
// its pid (or -1) through the pipe. Never returns.
[[noreturn]] void RunIntermediateChild(const char* pchWorkingDirectory, const char* const* argv,
                                       int fdRead, int fdWrite) {
    close(fdRead);
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int nPid = -1;
    if (pchWorkingDirectory && pchWorkingDirectory[0] && chdir(pchWorkingDirectory) != 0) {
        Log(LogLevel_Info, "Failed to change directory to '%s' when launching process '%s': %d",
            pchWorkingDirectory, argv[0], errno);
    } else {
        nPid = fork();
        if (nPid == 0) {
            close(fdWrite);
            execvp(argv[0], const_cast<char* const*>(argv));
            _exit(0);
        }
        if (nPid < 0) {
            Log(LogLevel_Info, "Unable to fork grandchild to start process: %s\n", argv[0]);
            nPid = -1;
        }
    }
    ssize_t nWritten = write(fdWrite, &nPid, sizeof(nPid));
    (void)nWritten;
    close(fdWrite);
    // _exit: the caller's static destructors (machine-wide locks) are not ours to run.
    _exit(0);
}

}  // namespace

bool BCreateProcess(const char* pchWorkingDirectory, const char* const* argv, int* pnPid) {
    if (pnPid) {
        *pnPid = 0;
    }
    if (!argv || !argv[0]) {
        return false;
    }
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
        RunIntermediateChild(pchWorkingDirectory, argv, rgnPipe[0], rgnPipe[1]);
    }
    while (waitpid(pidChild, nullptr, 0) < 0 && errno == EINTR) {
    }
    int nPid = -1;
    ssize_t nRead;
    do {
        nRead = read(rgnPipe[0], &nPid, sizeof(nPid));
    } while (nRead < 0 && errno == EINTR);
    close(rgnPipe[0]);
    close(rgnPipe[1]);
    if (nRead != static_cast<ssize_t>(sizeof(nPid))) {
        nPid = -1;
    }
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
    return kill(pid, 0) == 0 || errno == EPERM;
}

bool BKillProcess(const std::string& sName) {
    std::string sWord;
    if (!ShellWordForName(sName, &sWord)) {
        return false;
    }
    std::string sCommand = std::string(k_rchEnvPrefix) + "/usr/bin/pkill -9 " + sWord;
    return RunShellCommand(sCommand) == 0;
}

bool BKillProcess(int pid) {
    if (kill(pid, 0) != 0) {
        return true;
    }
    return kill(pid, SIGKILL) == 0;
}

void OpenURL(const char* pchURL) {
    if (!pchURL || !pchURL[0]) {
        return;
    }
    std::string sCommand =
        std::string(k_rchEnvPrefix) + "xdg-open '" + EscapeForSingleQuotes(pchURL) + "' &";
    if (RunShellCommand(sCommand) == -1) {
        fprintf(stderr, "Failed to execute '%s'\n", sCommand.c_str());
    }
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
