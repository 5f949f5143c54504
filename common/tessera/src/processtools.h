// processtools: detached child processes, process checks by pid or name,
// opening URLs with the desktop's handler, and capturing command output.
//
// Shell commands built here start with an environment prefix that clears the
// runtime's and host client's environment for the tool and restores the
// system library path:
//   ORRERY_VRENV= QUILL_RUNTIME= LD_LIBRARY_PATH="$SYSTEM_LD_LIBRARY_PATH" QT_PLUGIN_PATH= <tool>
//
//   BProcessRunning("halyard")    => <prefix> pidof halyard > /dev/null
//   BKillProcess("lattice-sim")   => <prefix> /usr/bin/pkill -9 -x lattice-sim
//   BKillProcess("a.b")           => <prefix> /usr/bin/pkill -9 -x 'a\.b'
//   OpenURL("http://x/y")         => <prefix> xdg-open 'http://x/y' &
//
// Input that is not a plain word never reaches the shell as code: a name with
// characters other than letters, digits and _ . + - : @ % , = / is passed
// single-quoted, a name that is empty, starts with '-' (it would be read as
// an option) or holds a NUL is refused with false, and a single quote inside
// a URL is written as '\'' so the URL stays one literal argument. Names are
// matched exactly: pkill gets the name as an escaped pattern with -x.
//
// Pids of 0 and below address process groups or every process: the pid
// forms refuse them with false.
//
// BCreateProcess starts the program as a detached grandchild (own session,
// no blocked signals) that the system adopts, so the caller never reaps it.
// It returns once the program has been executed: true with its pid, or false
// with pid -1 and a log line when the directory, the fork or the exec failed.
// A relative program path with a directory part is taken from the caller's
// directory, not from the working directory it runs in. The forked children
// make system calls only (no locks, no allocation), so a launch from a
// threaded process cannot hang on a lock another thread held at the fork.
//
// The functions that read a child's status (BProcessRunning and BKillProcess
// by name, OpenURL, GetCommandOutput) hold off ThreadShellExecute's SIGCHLD
// reaper (CChildReaperHold, threadtools.h) while they run, so that the status
// is the command's rather than -1 after the reaper took the child.
//
// Thread safety: no shared state; every function may be called from any
// thread. Failure: results (false, -1, 2) plus the log lines of
// BCreateProcess (at Info); OpenURL logs a refused URL and writes to
// standard error when the shell cannot be started. Nothing throws or ends the process.
#pragma once

#include <string>
#include <vector>

// argv is NULL-terminated; argv[0] is looked up in PATH when it has no '/'.
// An empty or null working directory keeps the caller's. *pnPid is the
// program's pid, -1 when it could not be started.
bool BCreateProcess(const char* pchWorkingDirectory, const char* const* argv, int* pnPid = nullptr);
// An empty working directory means the executable's own directory (the
// current one when the executable is a bare name).
bool BCreateProcess(const std::string& sExecutable, const std::vector<std::string>& vecArgs,
                    const std::string& sWorkingDirectory, int* pnPid = nullptr);
// The command line is split at spaces.
bool BCreateProcess(const std::string& sExecutable, const std::string& sCommandLine,
                    const std::string& sWorkingDirectory, int* pnPid = nullptr);

bool BProcessRunning(const std::string& sName);
// Exists, even when it belongs to somebody else.
bool BProcessRunning(int pid);
bool BKillProcess(const std::string& sName);
// true at once when the pid cannot be signalled (gone, or not ours).
bool BKillProcess(int pid);

// true when the command was handed to the shell. false for a null or empty
// URL (nothing runs), for one that starts with '-' (the opener would take it
// for an option; refused with the log line
//   Refusing to open URL '<url>': it starts with '-'
// at Warning), and when the shell cannot be started.
bool OpenURL(const char* pchURL);
inline bool OpenURL(const std::string& sURL) {
    return OpenURL(sURL.c_str());
}

// Everything the command prints, and the pclose status; 2 (and, when psError
// is given, "Command failed with <errno>: <command>") when it cannot start.
int GetCommandOutput(const std::string& sCommand, std::string& sOutput,
                     std::string* psError = nullptr);
inline int GetCommandOutput(const std::string& sCommand, std::string* psOutput,
                            std::string* psError = nullptr) {
    std::string sIgnored;
    return GetCommandOutput(sCommand, psOutput ? *psOutput : sIgnored, psError);
}

// Appends the process's own arguments; false when they cannot be read.
bool GetCommandLineArguments(std::vector<std::string>& vecArgs);

bool BRealtimeProcess();
int RunWithAdminPrompt(const char* pchCommand, const char* pchArguments);
bool SetProcessSchedulingPriorityClassRealtime(int pid);
