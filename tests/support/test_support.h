// Shared test support: a private temporary directory per test, scoped
// environment overrides, real child processes, and condition waits with
// generous deadlines (never fixed sleeps).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halyard_test {

// Fixture: each test gets its own directory under $TMPDIR (or /tmp), removed
// with everything in it when the test ends.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& TempDir() const { return m_strTempDir; }
    std::string TempPath(const std::string& strName) const { return m_strTempDir + "/" + strName; }

private:
    std::string m_strTempDir;
};

// Sets (or, with std::nullopt, removes) an environment variable and restores
// the previous state when it goes out of scope.
class ScopedEnv {
public:
    ScopedEnv(std::string strName, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_previous;
};

struct ChildResult {
    bool bExited = false;  // ended through exit(); exitCode is valid
    int exitCode = -1;
    int termSignal = 0;      // the signal that ended it, 0 if none
    bool bTimedOut = false;  // killed by the harness after the deadline
    std::string strStdout;
    std::string strStderr;
};

struct ChildOptions {
    std::map<std::string, std::optional<std::string>> env;  // nullopt removes
    std::string strWorkingDir;
    std::string strStdin;
    std::chrono::milliseconds timeout{60000};
};

// Options that only change the environment: WithEnv({{"NAME", "value"}, {"GONE", std::nullopt}}).
inline ChildOptions WithEnv(std::map<std::string, std::optional<std::string>> env) {
    ChildOptions options;
    options.env = std::move(env);
    return options;
}

// Runs a program (argv[0] is looked up in PATH when it has no '/'), captures
// its standard output and error and reaps it. Never leaves a zombie.
ChildResult RunProcess(const std::vector<std::string>& vecArgs, const ChildOptions& options = {});

// Forks and runs fn in the child; its result becomes the exit status. Output
// is captured like RunProcess. Use for behaviour that is decided once per
// process or that ends the process.
ChildResult RunInChild(const std::function<int()>& fn, const ChildOptions& options = {});

// The same in two steps, for children that must run at once: start them all
// from one thread, then collect each (from threads of its own if need be).
// A fork made while another thread of this process allocates memory can
// leave the child holding a lock nobody will release (not every sanitizer's
// allocator guards fork), so never start children from two threads at once.
struct ChildPipes {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int in[2] = {-1, -1};
};
struct StartedChild {
    pid_t pid = -1;  // -1: it could not be started (a failure was added)
    ChildPipes pipes;
    ChildOptions options;
};
StartedChild StartProcess(const std::vector<std::string>& vecArgs,
                          const ChildOptions& options = {});
StartedChild StartInChild(const std::function<int()>& fn, const ChildOptions& options = {});
// Captures the output of a started child until it ends (or its timeout
// passes: then it is killed) and reaps it; once.
ChildResult CollectChild(StartedChild& child);

// Like RunInChild, but in a newly started copy of the test program that runs
// only the calling test: nothing decided earlier in this process (by other
// tests of the same binary) carries over, as it would into a fork.
ChildResult RunInFreshProcess(const std::function<int()>& fn, const ChildOptions& options = {});

// Polls cond until it holds or the deadline passes; returns its last value.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds deadline = std::chrono::milliseconds(30000));

std::string ReadFile(const std::string& strPath);
void WriteFile(const std::string& strPath, const std::string& strContent);

// Splits text into lines without their '\n'; a final fragment without a
// newline is kept.
std::vector<std::string> SplitLines(const std::string& strText);

}  // namespace halyard_test
