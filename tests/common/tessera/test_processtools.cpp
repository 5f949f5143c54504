// Processes and URL opening with real children. Detached grandchildren are
// collected by running the cases in a child that is a subreaper, so every
// process started here is reaped and no zombie is left behind. The shell
// tools are real, or stand-ins put first in PATH that record what the shell
// handed them.
#include "processtools.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "envvars.h"
#include "log_recorder.h"
#include "logregistry.h"
#include "pid_namespace.h"
#include "test_support.h"
#include "threadtools.h"

namespace {

using halyard_test::k_nChildSkip;
using halyard_test::ReadFile;
using halyard_test::RunInChild;
using halyard_test::RunInPrivatePidNamespace;
using halyard_test::ScopedEnv;
using halyard_test::TempDirTest;
using halyard_test::WaitFor;
using halyard_test::WriteFile;
using ::testing::HasSubstr;

// Reaps a process adopted by this (subreaper) process; its exit code, or -1.
int Reap(pid_t pid) {
    int nStatus = 0;
    if (waitpid(pid, &nStatus, 0) != pid) {
        return -1000;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// A signal mask field of /proc/<pid>/status ("SigBlk", "SigPnd", ...).
std::string SignalField(pid_t pid, const std::string& sField) {
    for (const std::string& sLine :
         halyard_test::SplitLines(ReadFile("/proc/" + std::to_string(pid) + "/status"))) {
        if (sLine.rfind(sField + ":", 0) == 0) {
            return sLine.substr(sField.size() + 2);
        }
    }
    return "";
}

std::string SigBlk(pid_t pid) {
    return SignalField(pid, "SigBlk");
}

// A child of the caller that is alive and has no signal pending: checked at
// once after a call, since a signal is queued before kill() returns.
bool Untouched(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0 &&
           SignalField(pid, "SigPnd") == "0000000000000000" &&
           SignalField(pid, "ShdPnd") == "0000000000000000";
}

class ProcessToolsTest : public TempDirTest {
protected:
    // Writes an executable shell script.
    std::string Script(const std::string& sName, const std::string& sBody) {
        std::string sPath = TempPath(sName);
        WriteFile(sPath, "#!/bin/sh\n" + sBody);
        chmod(sPath.c_str(), 0755);
        return sPath;
    }
};

TEST_F(ProcessToolsTest, CreateProcessStartsADetachedGrandchild) {
    std::string sDir = TempDir();
    std::string sOut = TempPath("out");
    auto result = RunInChild([&] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        // A blocked signal in the caller must not reach the new process.
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGUSR1);
        sigprocmask(SIG_BLOCK, &block, nullptr);

        std::string sScript = "pwd -P > " + sOut + "; exec sleep 60";
        const char* argv[] = {"sh", "-c", sScript.c_str(), nullptr};
        int pid = 0;
        if (!BCreateProcess(sDir.c_str(), argv, &pid) || pid <= 0) {
            return 1;
        }
        if (!WaitFor([&] { return ReadFile(sOut) == sDir + "\n"; })) {
            return 2;
        }
        // Another session and group, nothing blocked, and its parent (the
        // intermediate child) is gone: this subreaper adopted it.
        bool bDetached = getsid(pid) != getsid(0) && getpgid(pid) != getpgrp() &&
                         SigBlk(pid) == "0000000000000000";
        printf("sid %d pid %d sigblk %s\n", getsid(pid), pid, SigBlk(pid).c_str());
        kill(pid, SIGKILL);
        if (Reap(pid) != -1) {
            return 4;
        }
        if (!bDetached) {
            return 3;
        }
        // A program that cannot be executed leaves nothing behind either.
        const char* missing[] = {"/nonexistent/halyard-program", nullptr};
        if (BCreateProcess(nullptr, missing, &pid) || pid != -1) {
            return 5;
        }
        return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 6;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

// Subscribes printer so that every log line goes straight to standard output
// as "<level>|<text>": lines logged in a forked intermediate child are seen
// even though that child's memory is never read back.
void PrintLogLinesAtOnce(CLogCallback& printer) {
    printer.Initialize(
        [](ELogLevel level, const char* pchText, void*) {
            std::string sLine = std::to_string(level) + "|" + pchText;
            ssize_t nWritten = write(STDOUT_FILENO, sLine.data(), sLine.size());
            (void)nWritten;
        },
        nullptr);
}

TEST_F(ProcessToolsTest, CreateProcessReportsWhatKeptTheProgramFromStarting) {
    struct Row {
        std::string sDirectory;
        std::string sProgram;
        std::string sLine;  // what the caller logs
    };
    std::string sMissing = TempPath("missing");
    std::string sNotExecutable = Script("plain", "");
    chmod(sNotExecutable.c_str(), 0644);
    for (const Row& row :
         {Row{sMissing, "true",
              "Failed to change directory to '" + sMissing +
                  "' when launching process 'true': 2\n"},
          Row{"", "/nonexistent/halyard-program",
              "Failed to execute process '/nonexistent/halyard-program': 2\n"},
          Row{TempDir(), "halyard-no-such-program",
              "Failed to execute process 'halyard-no-such-program': 2\n"},
          Row{"/", sNotExecutable, "Failed to execute process '" + sNotExecutable + "': 13\n"}}) {
        auto result = RunInChild([&] {
            // Lines logged in a forked child would be printed straight away too.
            CLogCallback printer;
            PrintLogLinesAtOnce(printer);
            const char* argv[] = {row.sProgram.c_str(), nullptr};
            int pid = 0;
            bool bResult = BCreateProcess(row.sDirectory.c_str(), argv, &pid);
            return !bResult && pid == -1 ? 0 : 1;
        });
        EXPECT_EQ(result.exitCode, 0) << row.sProgram;
        EXPECT_EQ(result.strStdout, "3|" + row.sLine);
    }
}

TEST(ProcessTools, CreateProcessNeverHangsWhileAnotherThreadLogs) {
    // The launcher forks a process whose other threads may hold the log's
    // locks at that moment; whatever its children do must not wait for them.
    auto result = RunInChild([] {
        CLogCallback slowSubscriber;
        slowSubscriber.Initialize(
            [](ELogLevel, const char*, void*) {
                // Keeps the log's lock taken most of the time.
                auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
                while (std::chrono::steady_clock::now() < end) {
                }
            },
            nullptr);
        std::atomic<bool> bStop{false};
        std::thread logger([&] {
            while (!bStop) {
                Log(LogLevel_Info, "busy\n");
            }
        });
        // A stuck child would stop the launch for good: free it and fail.
        std::atomic<bool> bHung{false};
        std::thread watchdog([&] {
            if (WaitFor([&] { return bStop.load(); }, std::chrono::seconds(30))) {
                return;
            }
            bHung = true;
            static int s_anPairs[4096][2];
            unsigned unCount = ThreadGetProcessListInfo(4096, s_anPairs);
            for (unsigned i = 0; i < unCount && i < 4096; ++i) {
                if (s_anPairs[i][1] == getpid()) {
                    kill(s_anPairs[i][0], SIGKILL);
                }
            }
        });
        const char* argv[] = {"true", nullptr};
        int nUnexpected = 0;
        for (int i = 0; i < 500 && !bHung; ++i) {
            int pid = 0;
            nUnexpected += BCreateProcess("/nonexistent-directory", argv, &pid) || pid != -1;
        }
        bStop = true;
        logger.join();
        watchdog.join();
        return bHung ? 1 : (nUnexpected == 0 ? 0 : 2);
    });
    EXPECT_EQ(result.exitCode, 0) << "1: a launch hung; " << result.strStderr;
}

// The number of threads of this process: the kernel counts each one against
// the user's process limit.
int ThreadsOfThisProcess() {
    for (const std::string& sLine : halyard_test::SplitLines(ReadFile("/proc/self/status"))) {
        if (sLine.rfind("Threads:", 0) == 0) {
            return atoi(sLine.c_str() + 8);
        }
    }
    return -1;
}

TEST(ProcessTools, CreateProcessReportsPipeAndForkFailures) {
    constexpr int k_nSkip = 77;
    auto result = RunInChild([] {
        // As in the intermediate child, every line is printed at once.
        CLogCallback printer;
        PrintLogLinesAtOnce(printer);
        const char* argv[] = {"true", nullptr};

        // No descriptors left for the pipe.
        struct rlimit files;
        getrlimit(RLIMIT_NOFILE, &files);
        struct rlimit three = {3, files.rlim_max};
        setrlimit(RLIMIT_NOFILE, &three);
        int pid = -5;
        if (BCreateProcess(nullptr, argv, &pid) || pid != 0) {
            return 1;
        }
        setrlimit(RLIMIT_NOFILE, &files);

        // As a user with no other processes, limited to the ones it has: the
        // first fork fails. One more allowed: the grandchild's fork fails.
        uid_t uid = 40000 + static_cast<uid_t>(getpid() % 20000);
        if (setgid(uid) != 0 || setuid(uid) != 0) {
            printf("cannot become user %u\n", static_cast<unsigned>(uid));
            return k_nSkip;
        }
        rlim_t nThreads = static_cast<rlim_t>(ThreadsOfThisProcess());
        struct rlimit processes = {nThreads, nThreads + 1};
        setrlimit(RLIMIT_NPROC, &processes);
        pid = -5;
        if (BCreateProcess(nullptr, argv, &pid) || pid != 0) {
            return 2;
        }
        processes.rlim_cur = nThreads + 1;
        setrlimit(RLIMIT_NPROC, &processes);
        if (BCreateProcess(nullptr, argv, &pid) || pid != -1) {
            return 3;
        }
        return 0;
    });
    if (result.exitCode == k_nSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout;
    EXPECT_EQ(result.strStdout,
              "3|Failed to create PID pipe\n"
              "3|Unable to fork child to start process: true\n"
              "3|Unable to fork grandchild to start process: true\n");
}

TEST_F(ProcessToolsTest, CreateProcessVectorAndCommandLineForms) {
    std::string sScript =
        Script("report.sh", "pwd -P > \"$0.out\"; echo \"$#:$1:$2:$3\" >> \"$0.out\"\n");
    std::string sReport = sScript + ".out";
    std::string sDir = TempDir();
    auto result = RunInChild([&] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        int pid = 0;
        // Empty working directory: the executable's own.
        unlink(sReport.c_str());
        chdir("/");
        if (!BCreateProcess(sScript, std::vector<std::string>{"a b", "c"}, "", &pid) ||
            Reap(pid) != 0 || ReadFile(sReport) != sDir + "\n2:a b:c:\n") {
            printf("vector: %s\n", ReadFile(sReport).c_str());
            return 1;
        }
        // The command line splits at each space.
        unlink(sReport.c_str());
        if (!BCreateProcess(sScript, std::string("x y z"), "/tmp", &pid) || Reap(pid) != 0 ||
            ReadFile(sReport) != "/tmp\n3:x:y:z\n") {
            printf("command line: %s\n", ReadFile(sReport).c_str());
            return 2;
        }
        // A relative program with a directory part is the caller's, wherever it runs.
        std::string sWhere = sDir + "/where.out";
        mkdir((sDir + "/bin").c_str(), 0755);
        WriteFile(sDir + "/bin/where.sh", "#!/bin/sh\npwd -P > " + sWhere + "\n");
        chmod((sDir + "/bin/where.sh").c_str(), 0755);
        chdir(sDir.c_str());
        for (const std::string& sIn : {std::string(""), std::string("/tmp")}) {
            unlink(sWhere.c_str());
            if (!BCreateProcess("bin/where.sh", std::vector<std::string>{}, sIn, &pid) ||
                Reap(pid) != 0 || ReadFile(sWhere) != (sIn.empty() ? sDir + "/bin" : sIn) + "\n") {
                printf("relative in '%s': %s\n", sIn.c_str(), ReadFile(sWhere).c_str());
                return 4;
            }
        }
        // A bare name runs in the caller's directory.
        std::string sMarker = sDir + "/bare";
        if (!BCreateProcess("touch", std::vector<std::string>{sMarker}, "", &pid) ||
            Reap(pid) != 0 || access(sMarker.c_str(), F_OK) != 0) {
            return 3;
        }
        return 0;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

TEST(ProcessTools, RunningAndKillingByPid) {
    EXPECT_TRUE(BProcessRunning(getpid()));
    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(BProcessRunning(pid));
    EXPECT_TRUE(BKillProcess(pid));
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL);
    EXPECT_FALSE(BProcessRunning(pid));  // reaped: gone
    EXPECT_TRUE(BKillProcess(pid));      // nothing to kill is fine

    if (geteuid() != 0) {
        GTEST_SKIP() << "the other-user cases need root to become another user";
    }
    auto result = RunInChild([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            return 10;
        }
        // pid 1 belongs to root: it exists, and is not ours to kill.
        return (BProcessRunning(1) ? 0 : 1) + (BKillProcess(1) ? 0 : 2);
    });
    EXPECT_EQ(result.exitCode, 0);
}

// A child that waits to be killed; with bOwnGroup it leads a process group.
pid_t StartWitness(bool bOwnGroup) {
    pid_t pid = fork();
    if (pid == 0) {
        if (bOwnGroup) {
            setpgid(0, 0);
        }
        for (;;) {
            pause();
        }
    }
    if (bOwnGroup) {
        setpgid(pid, pid);  // whichever side gets there first
    }
    return pid;
}

TEST(ProcessTools, NonPositivePidsReachNoProcess) {
    // 0, -1 and -pgid address the caller's group, every process and a group.
    // Run where nothing but the witnesses can be reached, whatever happens.
    auto result = RunInChild([] {
        return RunInPrivatePidNamespace([] {
            pid_t pidLeader = StartWitness(true);
            pid_t pidSameGroup = StartWitness(false);
            pid_t pidExited = fork();
            if (pidExited == 0) {
                _exit(5);
            }
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(pidExited), &info, WEXITED | WNOWAIT);
            struct Row {
                const char* pchName;
                bool (*pfnCall)(int);
            };
            const Row rows[] = {
                {"BKillProcess", [](int pid) { return BKillProcess(pid); }},
                {"ThreadTerminateProcessCode",
                 [](int pid) { return ThreadTerminateProcessCode(pid); }},
                {"BProcessRunning", [](int pid) { return BProcessRunning(pid); }},
                {"ThreadIsProcessActive", [](int pid) { return ThreadIsProcessActive(pid); }},
                {"ThreadGetProcessExitCode",
                 [](int pid) { return ThreadGetProcessExitCode(pid, nullptr); }},
            };
            for (int pid : {0, -1, -pidLeader}) {
                for (const Row& row : rows) {
                    bool bAnswer = row.pfnCall(pid);
                    if (bAnswer || !Untouched(pidLeader) || !Untouched(pidSameGroup)) {
                        printf("%s(%d): %s\n", row.pchName, pid,
                               bAnswer ? "true" : "a process was signalled");
                        return 1;
                    }
                }
            }
            // Nobody reaped the exited child on the way.
            int nStatus = 0;
            return waitpid(pidExited, &nStatus, WNOHANG) == pidExited ? 0 : 2;
        });
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << "needs a private pid namespace (root): " << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout;
}

TEST_F(ProcessToolsTest, NamesMatchOnlyThemselves) {
    // Copies of sleep named "aXb" and "a.b", in a pid namespace of their own
    // (with its own /proc), so that a name taken for a pattern reaches nothing else.
    std::string sDir = TempDir();
    for (const char* pchName : {"aXb", "a.b"}) {
        WriteFile(TempPath(pchName), ReadFile("/bin/sleep"));
        chmod(TempPath(pchName).c_str(), 0755);
    }
    auto result = RunInChild([&] {
        return RunInPrivatePidNamespace([&] {
            pid_t rgPids[2];
            int nIndex = 0;
            for (const char* pchName : {"aXb", "a.b"}) {
                std::string sBinary = sDir + "/" + pchName;
                rgPids[nIndex] = fork();
                if (rgPids[nIndex++] == 0) {
                    execl(sBinary.c_str(), pchName, "600", nullptr);
                    _exit(127);
                }
            }
            pid_t pidOther = rgPids[0];
            pid_t pidDotted = rgPids[1];
            if (!WaitFor([] { return BProcessRunning("aXb") && BProcessRunning("a.b"); })) {
                return 1;
            }
            for (const char* pchName : {".*", "a", "X", "a.", "[a].b", "a.b|x", "^a.b$"}) {
                if (BProcessRunning(pchName) || BKillProcess(pchName) || !Untouched(pidOther) ||
                    !Untouched(pidDotted)) {
                    printf("'%s' matched more than itself\n", pchName);
                    return 2;
                }
            }
            if (!BKillProcess("a.b") || Reap(pidDotted) != -1 || !Untouched(pidOther)) {
                return 3;
            }
            return 0;
        });
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << "needs a private pid namespace (root): " << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

TEST_F(ProcessToolsTest, RunningAndKillingByName) {
    // A copy of sleep under a name no other process has.
    std::string sName = "hsl" + std::to_string(getpid() % 100000);
    std::string sBinary = TempPath(sName);
    WriteFile(sBinary, ReadFile("/bin/sleep"));
    chmod(sBinary.c_str(), 0755);
    std::string sEvidence = TempPath("evidence");
    auto result = RunInChild([&] {
        pid_t pid = fork();
        if (pid == 0) {
            execl(sBinary.c_str(), sName.c_str(), "60", nullptr);
            _exit(127);
        }
        if (!WaitFor([&] { return BProcessRunning(sName); })) {
            return 1;
        }
        if (!BKillProcess(sName) || Reap(pid) != -1) {
            return 2;
        }
        if (BProcessRunning(sName) || BKillProcess(sName)) {
            return 3;  // nothing left to find or kill
        }
        // Hostile names: harmless, and they find nothing.
        for (std::string sHostile :
             {"x; touch " + sEvidence, "x$(touch " + sEvidence + ")", "`touch " + sEvidence + "`",
              "x' ; touch " + sEvidence + "; echo '", "x\ntouch " + sEvidence}) {
            if (BProcessRunning(sHostile) || BKillProcess(sHostile)) {
                return 4;
            }
        }
        // Names that would be read as options are refused.
        if (BProcessRunning("-U0") || BKillProcess("-U0") || BKillProcess("")) {
            return 5;
        }
        return access(sEvidence.c_str(), F_OK) == 0 ? 6 : 0;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

TEST_F(ProcessToolsTest, NameCheckRunsPidofWithTheEnvironmentPrefix) {
    // A stand-in pidof first in PATH records its arguments and environment.
    std::string sLog = TempPath("pidof.log");
    Script("pidof", "printf '[%s]' \"$@\" >> " + sLog +
                        "\necho \" vrenv=$ORRERY_VRENV runtime=$QUILL_RUNTIME ld=$LD_LIBRARY_PATH "
                        "qt=$QT_PLUGIN_PATH\" >> " +
                        sLog + "\n[ \"$1\" = found ]\n");
    ScopedEnv path("PATH", TempDir() + ":" + GetEnvironmentVariable("PATH"));
    ScopedEnv vrenv("ORRERY_VRENV", "runtime-env");
    ScopedEnv runtime("QUILL_RUNTIME", "/quill");
    ScopedEnv qt("QT_PLUGIN_PATH", "/qt");
    ScopedEnv ld("LD_LIBRARY_PATH", "/runtime/lib");
    ScopedEnv systemLd("SYSTEM_LD_LIBRARY_PATH", "/usr/lib/sys");
    EXPECT_TRUE(BProcessRunning("found"));
    EXPECT_FALSE(BProcessRunning("lost"));
    std::string sHostile = "a b'c;$(touch " + TempPath("evidence") + ")";
    EXPECT_FALSE(BProcessRunning(sHostile));
    EXPECT_EQ(ReadFile(sLog),
              "[found] vrenv= runtime= ld=/usr/lib/sys qt=\n"
              "[lost] vrenv= runtime= ld=/usr/lib/sys qt=\n"
              "[" +
                  sHostile + "] vrenv= runtime= ld=/usr/lib/sys qt=\n");
    EXPECT_NE(access(TempPath("evidence").c_str(), F_OK), 0);
}

TEST_F(ProcessToolsTest, OpenURLPassesTheURLAsOneLiteralArgument) {
    std::string sLog = TempPath("xdg-open.log");
    Script("xdg-open", "printf '%s|%s\\n' \"$#\" \"$1\" >> " + sLog +
                           "\necho \"vrenv=$ORRERY_VRENV\" >> " + sLog + "\n");
    ScopedEnv path("PATH", TempDir() + ":" + GetEnvironmentVariable("PATH"));
    ScopedEnv vrenv("ORRERY_VRENV", "runtime-env");
    std::string sEvidence = TempPath("evidence");

    halyard_test::LogRecorder recorder;
    EXPECT_FALSE(OpenURL(nullptr));
    EXPECT_FALSE(OpenURL(""));
    // Quoted or not, the opener would read these as options: never run.
    EXPECT_FALSE(OpenURL("--manual"));
    EXPECT_FALSE(OpenURL(std::string("-x http://example.invalid/")));
    EXPECT_EQ(recorder.All(),
              "Refusing to open URL '--manual': it starts with '-'\n"
              "Refusing to open URL '-x http://example.invalid/': it starts with '-'\n");
    EXPECT_TRUE(
        recorder.Has("Refusing to open URL '--manual': it starts with '-'\n", LogLevel_Warning));
    EXPECT_TRUE(OpenURL("http://example.invalid/a?b=c&d=e f"));
    ASSERT_TRUE(WaitFor([&] { return halyard_test::SplitLines(ReadFile(sLog)).size() == 2; }));
    std::string sHostile =
        "quill://connect/'; touch " + sEvidence + "; echo '$(touch " + sEvidence + ")";
    OpenURL(std::string(sHostile));
    ASSERT_TRUE(WaitFor([&] { return halyard_test::SplitLines(ReadFile(sLog)).size() == 4; }));
    EXPECT_EQ(ReadFile(sLog),
              "1|http://example.invalid/a?b=c&d=e f\nvrenv=\n1|" + sHostile + "\nvrenv=\n");
    EXPECT_NE(access(sEvidence.c_str(), F_OK), 0);

    // With SIGCHLD ignored the shell is reaped by the kernel and system()
    // cannot get its status: the whole command is reported.
    auto result = RunInChild([] {
        signal(SIGCHLD, SIG_IGN);
        return OpenURL("http://example.invalid/z") ? 1 : 0;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr,
              "Failed to execute 'ORRERY_VRENV= QUILL_RUNTIME= "
              "LD_LIBRARY_PATH=\"$SYSTEM_LD_LIBRARY_PATH\" QT_PLUGIN_PATH= xdg-open "
              "'http://example.invalid/z' &'\n");
    // The command itself did run.
    EXPECT_TRUE(WaitFor([&] { return halyard_test::SplitLines(ReadFile(sLog)).size() == 6; }));
}

TEST(ProcessTools, CommandOutputAndStatus) {
    std::string sOutput = "kept:";
    EXPECT_EQ(GetCommandOutput("printf 'a\\nb'", sOutput), 0);
    EXPECT_EQ(sOutput, "kept:a\nb");

    std::string sLong;
    EXPECT_EQ(GetCommandOutput("seq 1 2000", &sLong), 0);
    std::string sExpected;
    for (int i = 1; i <= 2000; ++i) {
        sExpected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(sLong, sExpected);

    std::string sNothing;
    int nStatus = GetCommandOutput("exit 3", sNothing);
    EXPECT_EQ(sNothing, "");
    EXPECT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 3);

    // No descriptors left for the pipe: the command cannot start.
    auto result = RunInChild([] {
        struct rlimit limit = {3, 3};
        setrlimit(RLIMIT_NOFILE, &limit);
        std::string sOut;
        std::string sError;
        int nResult = GetCommandOutput("echo hi", sOut, &sError);
        return nResult == 2 && sError == "Command failed with 24: echo hi" && sOut.empty() ? 0 : 1;
    });
    EXPECT_EQ(result.exitCode, 0);
}

TEST_F(ProcessToolsTest, StatusesSurviveTheShellLaunchersChildReaper) {
    // ThreadShellExecute's SIGCHLD reaper collects finished children on any
    // thread; the commands whose status these functions read must still get
    // their own child's status rather than -1.
    std::string sName = "hsr" + std::to_string(getpid() % 100000);
    std::string sBinary = TempPath(sName);
    WriteFile(sBinary, ReadFile("/bin/sleep"));
    chmod(sBinary.c_str(), 0755);
    auto result = RunInChild([&] {
        if (ThreadShellExecute("true", "", nullptr) <= 0) {
            return 1;
        }
        pid_t pidSleeper = fork();
        if (pidSleeper == 0) {
            execl(sBinary.c_str(), sName.c_str(), "60", nullptr);
            _exit(127);
        }
        // A second thread that takes signals while the first one waits.
        std::atomic<bool> bStop{false};
        std::thread idle([&] {
            while (!bStop) {
                usleep(1000);
            }
        });
        int nWrong = 0;
        for (int i = 0; i < 100; ++i) {
            std::string sOut;
            nWrong += GetCommandOutput("exit 3", sOut) != 3 << 8;
            nWrong += !BProcessRunning(sName);
        }
        bStop = true;
        idle.join();
        kill(pidSleeper, SIGKILL);
        // The reaper still collects everything else once nobody holds it off.
        if (!WaitFor([&] { return kill(pidSleeper, 0) != 0 && errno == ESRCH; })) {
            return 2;
        }
        return nWrong == 0 ? 0 : 3;
    });
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

TEST(ProcessTools, CommandLineArgumentsAndConstants) {
    std::vector<std::string> vecArgs = {"before"};
    ASSERT_TRUE(GetCommandLineArguments(vecArgs));
    ASSERT_GE(vecArgs.size(), 2u);
    EXPECT_EQ(vecArgs[0], "before");
    EXPECT_THAT(vecArgs[1], HasSubstr("test_processtools"));
    EXPECT_TRUE(BRealtimeProcess());
    EXPECT_EQ(RunWithAdminPrompt("ls", "-l"), -1);
    EXPECT_FALSE(SetProcessSchedulingPriorityClassRealtime(getpid()));
}

}  // namespace
