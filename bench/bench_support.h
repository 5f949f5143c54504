// bench_support: what the process-level benchmarks share: command-line
// options, medians and ratios, the table rows that bench/run.sh lays out,
// child processes that never outlive the benchmark, and a lattice-sim of
// their own with its ctl verbs and journal.
//
// Rows: every figure is printed as one line
//   ROW <TAB> figure <TAB> value <TAB> baseline <TAB> baseline value <TAB> ratio <TAB> note
// on standard output; anything else a benchmark prints goes to standard error.
//
// Children: every process started here gets SIGKILL when the benchmark dies
// (PR_SET_PDEATHSIG) and is killed at exit or on SIGINT/SIGTERM, so a
// failed or interrupted run leaves no simulator or halyard behind.
//
// Failure: Fail() prints one line "<program>: <message>" and exits 1; bad
// options exit 2. Nothing here is thread-safe; call it from the main thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace halyard_bench {

// CLOCK_MONOTONIC in milliseconds, the clock lattice-sim stamps its journal with.
double MonotonicMs();

// Names the program in error lines and installs the child clean-up.
void InitProgram(const char* pchName);
[[noreturn]] void Fail(const std::string& sMessage);
// Misuse: one line, exit 2.
[[noreturn]] void Usage(const std::string& sUsage);

// --name value options. Unknown options, missing values and bad numbers
// exit 2 with one line naming the problem.
class COptions {
public:
    COptions(int argc, char** argv, const std::vector<std::string>& vecKnown);
    std::string Text(const std::string& sName, const std::string& sDefault) const;
    // A whole number in [nMin, nMax].
    long Number(const std::string& sName, long nDefault, long nMin, long nMax) const;
    bool Has(const std::string& sName) const { return m_mapValues.count(sName) > 0; }

private:
    std::map<std::string, std::string> m_mapValues;
};

double Median(std::vector<double> vecValues);
std::string Fixed(double flValue, int nDecimals);
// "min..max" of the values, for the notes: how far the rounds spread.
std::string Range(const std::vector<double>& vecValues, int nDecimals);
// "4.70x"; "n/a" when either side is not positive.
std::string Ratio(double flValue, double flBaseline);
void PrintRow(const std::string& sFigure, const std::string& sValue, const std::string& sBaseline,
              const std::string& sBaselineValue, const std::string& sRatio,
              const std::string& sNote);
// A line for the table's header (ROW-less): "INFO <TAB> text".
void PrintInfo(const std::string& sText);

std::string ReadFile(const std::string& sPath);
bool WriteFile(const std::string& sPath, const std::string& sText);
bool MakeDirectories(const std::string& sPath);
std::vector<std::string> SplitLines(const std::string& sText);

// Writes a path registry under sDir (runtime, config and log directories
// inside it) and points this process's environment at it, the way a
// deployment finds its log directory. Returns the log directory.
std::string UseScratchRegistry(const std::string& sDir);
// The environment the process figures give halyard: home, registry,
// temporary directory and simulator socket inside sDir.
std::vector<std::pair<std::string, std::string>> HalyardEnvironment(const std::string& sDir,
                                                                    const std::string& sSocket);

struct ChildLaunch {
    std::vector<std::string> vecArgv;
    std::vector<std::pair<std::string, std::string>> vecEnv;  // set in the child
    std::vector<std::string> vecUnsetEnv;
    std::string sOutput = "/dev/null";  // standard output and error
    bool bPrivateIpc = false;           // own System V IPC namespace
    // (source, target): target shows source's content, in a mount namespace
    // of the child's own (root only; the child exits 125 when that fails).
    std::vector<std::pair<std::string, std::string>> vecBindMounts;
};
// Starts a child; Fail()s when fork fails. The child is killed at exit.
pid_t Spawn(const ChildLaunch& launch);
// Waits up to nTimeoutMs for the child; its wait status, or -1 when it did
// not end in time (it is still running then).
int WaitChild(pid_t pid, int nTimeoutMs);
// SIGKILL and reap.
void KillChild(pid_t pid);
// Whether this process may give children a private IPC namespace; sWhy
// says why not.
bool CanUsePrivateIpc(std::string* psWhy);

struct Captured {
    int nExit = -1;  // exit code; -1 when killed or timed out
    std::string sOut;
    std::string sErr;
};
// Runs a command to completion (killed after nTimeoutMs) and collects its output.
Captured RunCapture(const std::vector<std::string>& vecArgv, int nTimeoutMs = 120000);

// CPU time of a whole process (every thread), in seconds; negative when gone.
double ProcessCpuSeconds(pid_t pid);
// VmRSS of a process in KiB; negative when unreadable.
long ResidentKiB(pid_t pid);

// One journal entry of lattice-sim, the members the benchmarks read.
struct JournalEntry {
    unsigned long long ulSeq = 0;
    long long nTimeMs = 0;
    long long nPid = 0;
    std::string sCall;
    std::vector<unsigned long> vecEvents;  // TakeNextEvent: the event types fetched
};
bool ParseJournalLine(const std::string& sLine, JournalEntry* pEntry);

// A lattice-sim serving on <dir>/sim.sock with a configuration of our own.
class CSim {
public:
    CSim(std::string sSimPath, std::string sDir) : m_sSimPath(sSimPath), m_sDir(sDir) {}
    ~CSim() { Stop(); }
    CSim(const CSim&) = delete;
    CSim& operator=(const CSim&) = delete;

    // Fail()s when it does not answer within 30 s.
    void Start(const std::string& sConfigJson);
    // ctl shutdown, then SIGKILL when it has not ended within 10 s.
    void Stop();
    Captured Ctl(const std::vector<std::string>& vecArgs, int nTimeoutMs = 120000) const;
    // Fail()s with the verb's own error when it does not exit 0.
    std::string CtlOrFail(const std::vector<std::string>& vecArgs) const;
    std::vector<JournalEntry> JournalSince(unsigned long long ulSeq) const;
    // The highest sequence number so far (0 for an empty journal).
    unsigned long long LastSeq() const;

    const std::string& Socket() const { return m_sSocket; }
    pid_t Pid() const { return m_pid; }

private:
    std::string m_sSimPath;
    std::string m_sDir;
    std::string m_sSocket;
    pid_t m_pid = -1;
};

}  // namespace halyard_bench
