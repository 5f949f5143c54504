// The real halyard under hostile conditions: killed and started again, a
// runtime that stops answering, a log directory it cannot write, a log disk
// that fills up. Each test runs its processes in a private IPC namespace
// where the machine allows; the file system faults are made in private mount
// namespaces (root only; skipped with the reason elsewhere).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "halyard_process.h"
#include "mount_namespace.h"
#include "pathtools.h"

namespace {

using halyard_test::CHalyardProcess;
using halyard_test::DescribeWaitStatus;
using halyard_test::ReadFile;
using halyard_test::SplitLines;
using halyard_test::WaitFor;
using halyard_test::WriteFile;

const char* const k_pchStamp =
    R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d{2} \d{4} \d{2}:\d{2}:\d{2}\.\d{6})";

size_t Count(const std::string& sText, const std::string& sNeedle) {
    size_t n = 0;
    for (size_t pos = sText.find(sNeedle); pos != std::string::npos;
         pos = sText.find(sNeedle, pos + 1))
        ++n;
    return n;
}

class HalyardFaultTest : public halyard_test::HalyardTest {
protected:
    // Points the path registry's log directory elsewhere.
    void UseLogDirectory(const std::string& sLogs) {
        WriteFile(TempPath("home/.config/lattice/latticepaths.vrpath"),
                  "{ \"runtime\": [\"" + TempPath("runtime") + "\"], \"config\": [\"" +
                      TempPath("config") + "\"], \"log\": [\"" + sLogs + "\"] }");
    }
    // Lets the main loop see one event of its own: the lost system interface
    // after a token change, which logs one error line and ends the process
    // through its normal shutdown.
    void EndThroughALoggedLine(CHalyardProcess& halyard) {
        ASSERT_TRUE(halyard.StopBetweenFrames());
        EXPECT_EQ(Ctl({"reconnect"}), 0);
        m_sim.Stop();
        halyard.Continue();
    }
};

const char k_sLostLine[] = "Lost the Lattice system interface; shutting down.";

// A halyard killed outright leaves its single-instance semaphore held; the
// next one recovers it as orphaned and runs, instead of leaving as if another
// instance ran.
TEST_F(HalyardFaultTest, AKilledInstanceIsFollowedByOneThatRuns) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess first;
    ASSERT_TRUE(Launch(first));
    ASSERT_TRUE(WaitRunning(first));
    first.Kill(SIGKILL);
    std::optional<int> status = first.WaitStatus();
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL)
        << DescribeWaitStatus(status);

    CHalyardProcess second;
    ASSERT_TRUE(Launch(second, "second.out"));
    ASSERT_TRUE(WaitRunning(second, 2)) << ReadFile(TempPath("second.out"));
    EXPECT_EQ(Ctl({"quit"}), 0);
    EXPECT_EQ(second.Wait(), 0);
    std::string sLog = LogText();
    EXPECT_EQ(Count(sLog, "startup with PID="), 2u) << sLog;
    EXPECT_EQ(m_sim.JournalLines("VR_InitInternal2").size(), 2u);
}

// The runtime stops answering (SIGSTOP) under a running halyard. Two ends are
// sound: the main loop's watchdog ends the hung loop with a dump, or the
// call's receive deadline takes the connection for lost and the process
// leaves through its quit path. Anything else (another signal, another
// status, no end at all) is a fault.
TEST_F(HalyardFaultTest, AStoppedRuntimeEndsInTheWatchdogOrTheQuitPath) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess halyard;
    ASSERT_TRUE(Launch(halyard));
    ASSERT_TRUE(WaitRunning(halyard));
    pid_t simPid = m_sim.Pid();
    ASSERT_EQ(kill(simPid, SIGSTOP), 0);
    // The watchdog reports between 15 and 17 s after the last tick.
    std::optional<int> status = halyard.WaitStatus(90000);
    kill(simPid, SIGCONT);
    ASSERT_TRUE(status.has_value()) << "halyard hangs behind the stopped runtime";

    std::string sLog = LogText();
    std::string sDumps = DumpText();
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
        EXPECT_EQ(sLog.find("Watchdog timeout"), std::string::npos) << sLog;
    } else if (WIFSIGNALED(*status) && WTERMSIG(*status) == SIGABRT) {
        EXPECT_NE(sLog.find("Failed Watchdog timeout in thread Dashboard Main"), std::string::npos)
            << sLog;
        EXPECT_NE(sDumps.find("Thread Watchdog Abort - Dashboard Main"), std::string::npos)
            << sDumps;
    } else {
        ADD_FAILURE() << "halyard ended with " << DescribeWaitStatus(status) << "\n"
                      << ReadFile(TempPath("halyard.out")) << "\nlog:\n"
                      << sLog;
    }
}

// A log directory that cannot be written: logging set-up fails (reported as
// its assertion, with a dump) and the process runs on.
TEST_F(HalyardFaultTest, AnUnwritableLogDirectoryLeavesTheProcessRunning) {
    struct Case {
        const char* pchName;
        const char* pchLogs;  // under the read-only directory
        bool bCreate;         // the log directory exists before
        const char* pchStderr;
    };
    for (const Case& c :
         {Case{"existing directory", "ro/logs", true, "FATAL: Failed to open log file "},
          Case{"missing directory", "ro/logs", false, nullptr}}) {
        SCOPED_TRACE(c.pchName);
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(c.bCreate ? c.pchLogs : "ro").c_str()));
        UseLogDirectory(TempPath(c.pchLogs));
        ASSERT_TRUE(StartSim(R"({"settings": {"userinterface": {"screenshots": true}}})"));
        CHalyardProcess halyard;
        std::string sReadOnly = TempPath("ro");
        ASSERT_TRUE(halyard.Start(Environment(), TempPath("halyard.out"), [&] {
            bool bOk = halyard_test::EnterPrivateMountNamespace().empty() &&
                       halyard_test::BindMount(sReadOnly, sReadOnly).empty() &&
                       mount(nullptr, sReadOnly.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                             nullptr) == 0;
            return bOk ? 0 : halyard_test::k_nChildSkip;
        }));
        ::testing::AssertionResult running = WaitRunning(halyard);
        if (!running) {
            std::optional<int> status = halyard.Poll();
            if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == halyard_test::k_nChildSkip)
                GTEST_SKIP() << "no private mount namespace with a read-only bind mount here";
            FAIL() << running.message();
        }
        // A console comes and goes while the writer is closed, and the
        // screenshot road still works.
        EXPECT_EQ(Ctl({"console-open", "7"}), 0);
        EXPECT_EQ(Ctl({"console-close", "7"}), 0);
        EXPECT_EQ(Ctl({"screenshot"}), 0);
        EXPECT_TRUE(m_sim.WaitJournal("AddScreenshotPair")) << m_sim.Journal();
        EXPECT_EQ(Ctl({"quit"}), 0);
        EXPECT_EQ(halyard.Wait(), 0) << ReadFile(TempPath("halyard.out"));

        std::string sOutput = ReadFile(TempPath("halyard.out"));
        if (c.pchStderr) {
            EXPECT_NE(sOutput.find(c.pchStderr), std::string::npos) << sOutput;
        }
        EXPECT_TRUE(
            SplitLines(halyard_test::RunProcess({"ls", TempPath(c.pchLogs)}).strStdout).empty());
        EXPECT_NE(DumpText().find("Assert( Failed to set up logging. ) halyard_main(587)"),
                  std::string::npos)
            << sOutput;
        m_sim.Stop();
        halyard_test::RunProcess({"rm", "-rf", TempPath("ro"), TempPath("dumps")});
    }
}

// A process that holds a private mount namespace in which a small tmpfs is
// mounted on a directory, filled to the last byte but what the test leaves.
// Other processes join the namespace (setns) to see it; the test reaches its
// files through /proc/<pid>/root. Needs root.
class CFullDisk {
public:
    ~CFullDisk() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    // Mounts the tmpfs on sDirectory, writes the files given, then fills the
    // rest of the disk. "" on success, else why not.
    std::string Start(const std::string& sDirectory,
                      const std::vector<std::pair<std::string, std::string>>& vecFiles) {
        int rgnPipe[2];
        if (pipe(rgnPipe) != 0)
            return "pipe";
        m_sDirectory = sDirectory;
        m_pid = fork();
        if (m_pid == 0) {
            close(rgnPipe[0]);
            std::string sWhy = Prepare(vecFiles);
            sWhy = sWhy.empty() ? "ok" : sWhy;
            ssize_t nWritten = write(rgnPipe[1], sWhy.data(), sWhy.size());
            (void)nWritten;
            close(rgnPipe[1]);
            while (true)
                pause();
        }
        close(rgnPipe[1]);
        std::string sAnswer;
        char rgch[256];
        ssize_t n;
        while ((n = read(rgnPipe[0], rgch, sizeof(rgch))) > 0)
            sAnswer.append(rgch, static_cast<size_t>(n));
        close(rgnPipe[0]);
        return sAnswer == "ok" ? "" : sAnswer;
    }
    // A path inside the full directory, as the test process reaches it.
    std::string Path(const std::string& sName) const {
        return "/proc/" + std::to_string(m_pid) + "/root" + m_sDirectory + "/" + sName;
    }
    // For a child about to exec: joins the namespace. 0 on success.
    int Join() const {
        int fd = open(("/proc/" + std::to_string(m_pid) + "/ns/mnt").c_str(), O_RDONLY);
        return fd >= 0 && setns(fd, CLONE_NEWNS) == 0 ? 0 : halyard_test::k_nChildSkip;
    }

private:
    std::string Prepare(const std::vector<std::pair<std::string, std::string>>& vecFiles) {
        std::string sWhy = halyard_test::EnterPrivateMountNamespace();
        if (!sWhy.empty())
            return sWhy;
        if (mount("tmpfs", m_sDirectory.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            return std::string("tmpfs: ") + strerror(errno);
        for (const auto& [sName, sContent] : vecFiles)
            WriteFile(m_sDirectory + "/" + sName, sContent);
        // Page by page until the disk refuses; then not one byte more fits
        // outside the pages the files above have already started.
        int fd = open((m_sDirectory + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        std::string sPage(4096, 'f');
        while (fd >= 0 && write(fd, sPage.data(), sPage.size()) > 0) {
        }
        if (fd < 0 || errno != ENOSPC)
            return std::string("filling: ") + strerror(errno);
        close(fd);
        int fdProbe = open((m_sDirectory + "/probe").c_str(), O_WRONLY | O_CREAT, 0644);
        bool bFull = fdProbe >= 0 && write(fdProbe, "x", 1) < 0 && errno == ENOSPC;
        if (fdProbe >= 0) {
            close(fdProbe);
            unlink((m_sDirectory + "/probe").c_str());
        }
        return bFull ? "" : "the tmpfs is not full after filling it";
    }

    pid_t m_pid = -1;
    std::string m_sDirectory;
};

// The log disk is full when halyard starts: the start-up lines do not fit, the
// process runs on, and once there is room again the next line is written
// whole, at the start of a line. Neither its own file nor the combined log
// ever holds a torn line.
TEST_F(HalyardFaultTest, AFullLogDiskLosesLinesWholeAndWritesAgainOnceThereIsRoom) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    // Whole lines from an earlier run, 50 bytes short of a page: the first
    // line of this run fits only in part.
    std::string sEarlier;
    while (sEarlier.size() < 4096 - 50 - 100) {
        sEarlier += "Mon Dec 07 2026 11:59:17.123456 [Info] - an earlier run's line\n";
    }
    sEarlier += std::string(4096 - 50 - sEarlier.size() - 1, 'e') + "\n";
    const char* const rgpchFiles[] = {"halyard.txt", "vrcombined_log.txt"};
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("logs").c_str()));
    CFullDisk disk;
    std::string sWhy =
        disk.Start(TempPath("logs"), {{rgpchFiles[0], sEarlier}, {rgpchFiles[1], sEarlier}});
    if (!sWhy.empty()) {
        GTEST_SKIP() << "no full tmpfs in a private mount namespace here: " << sWhy;
    }
    // What this run added to a file.
    auto added = [&](const char* pchFile) {
        std::string sText = ReadFile(disk.Path(pchFile));
        EXPECT_EQ(sText.compare(0, sEarlier.size(), sEarlier), 0) << pchFile;
        return sText.size() > sEarlier.size() ? sText.substr(sEarlier.size()) : "";
    };

    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 3}}})"));
    CHalyardProcess halyard;
    halyard_test::EnvList vecEnv = Environment();
    vecEnv.push_back({"VR_COMBINED_LOGGING", "1"});
    ASSERT_TRUE(halyard.Start(vecEnv, TempPath("halyard.out"), [&] { return disk.Join(); }));
    ASSERT_TRUE(WaitRunning(halyard));
    for (const char* pchFile : rgpchFiles) {
        EXPECT_EQ(added(pchFile), "") << pchFile << ": a torn line is left";
    }

    ASSERT_EQ(unlink(disk.Path("filler").c_str()), 0) << strerror(errno);
    EndThroughALoggedLine(halyard);
    EXPECT_EQ(halyard.Wait(30000), 0) << ReadFile(TempPath("halyard.out"));

    const std::regex line(std::string("^") + k_pchStamp + R"( \[\w+\] - .*$)");
    for (const char* pchFile : rgpchFiles) {
        std::string sAdded = added(pchFile);
        std::vector<std::string> vecLines = SplitLines(sAdded);
        ASSERT_FALSE(vecLines.empty()) << pchFile << ": nothing written once there was room";
        for (const std::string& sLine : vecLines) {
            EXPECT_TRUE(std::regex_match(sLine, line)) << pchFile << ": a torn line: " << sLine;
        }
        EXPECT_NE(sAdded.find(k_sLostLine), std::string::npos) << pchFile << ":\n" << sAdded;
        EXPECT_EQ(sAdded.back(), '\n') << pchFile;
    }
}

}  // namespace
