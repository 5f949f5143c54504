#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "latticetools.h"
#include "logbuffer.h"
#include "pathtools.h"
#include "test_support.h"
#include "vrlog.h"
#include "vrpathregistry.h"

#ifndef VERSION_PROBE_PATH
#error "VERSION_PROBE_PATH must name the version probe executable"
#endif

namespace {

using halyard_test::ChildOptions;
using halyard_test::ReadFile;
using halyard_test::RunInChild;
using halyard_test::RunProcess;
using halyard_test::SplitLines;
using halyard_test::WriteFile;

class LatticeToolsTest : public halyard_test::TempDirTest {
protected:
    // Copies the probe to <temp>/<relative>/version_probe and runs it with HOME
    // in the temp directory.
    std::vector<std::string> RunProbeAt(const std::string& sRelativeDir,
                                        const std::string& sDeleteAfterFirstRead = "",
                                        const std::string& sWorkingDir = "") {
        std::string sDir = TempPath(sRelativeDir);
        EXPECT_TRUE(BCreateDirectoryRecursive(sDir.c_str()));
        std::string sProbe = sDir + "/version_probe";
        auto bytes = Path_ReadBinaryFile(VERSION_PROBE_PATH);
        EXPECT_FALSE(bytes.empty());
        EXPECT_TRUE(Path_WriteBinaryFile(sProbe, bytes.data(), bytes.size()));
        chmod(sProbe.c_str(), 0755);
        std::vector<std::string> vecArgs = {sProbe};
        if (!sDeleteAfterFirstRead.empty())
            vecArgs.push_back(sDeleteAfterFirstRead);
        ChildOptions options;
        options.env = {{"HOME", TempDir()},
                       {"XDG_CONFIG_HOME", std::nullopt},
                       {"VR_PATHREG_OVERRIDE", std::nullopt},
                       {"VR_OVERRIDE", std::nullopt}};
        options.strWorkingDir = sWorkingDir;
        auto result = RunProcess(vecArgs, options);
        EXPECT_EQ(result.exitCode, 0) << result.strStderr;
        return SplitLines(result.strStdout);
    }
    void WriteRegistryWithRuntime(const std::string& sRuntime) {
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".config/lattice").c_str()));
        WriteFile(TempPath(".config/lattice/latticepaths.vrpath"),
                  "{ \"runtime\": [\"" + sRuntime + "\"] }");
    }
};

TEST_F(LatticeToolsTest, VersionFileBesideTheRuntimeBinDirectory) {
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("rt/bin").c_str()));
    WriteFile(TempPath("rt/bin/version.txt"), " 12 34\n");
    auto lines = RunProbeAt("rt/bin/linux64", TempPath("rt/bin/version.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1|2.14.5 (1234)|1234|0");
    EXPECT_EQ(lines[1], "1|2.14.5 (1234)");  // cached: the deleted file is not looked for again
}

TEST_F(LatticeToolsTest, PagehostExecutablesLookTwoLevelsUp) {
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("rt/bin/pagehost").c_str()));
    WriteFile(TempPath("rt/bin/version.txt"), "987\n");
    WriteFile(TempPath("rt/bin/pagehost/version.txt"), "111\n");  // not this one
    auto lines = RunProbeAt("rt/bin/pagehost/linux64");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "1|2.14.5 (987)|987|0");
}

TEST_F(LatticeToolsTest, MissingVersionFileFallsBackToTheRegisteredRuntime) {
    // No registry at all: 2.
    EXPECT_EQ(RunProbeAt("a/b")[0], "0|2.14.5 (2)|2|0");

    // A registry whose runtime has no bin/version.txt: 1.
    WriteRegistryWithRuntime(TempPath("installed"));
    EXPECT_EQ(RunProbeAt("c/d")[0], "0|2.14.5 (1)|1|0");

    // The registered runtime's bin/version.txt.
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("installed/bin").c_str()));
    WriteFile(TempPath("installed/bin/version.txt"), "0\n");
    EXPECT_EQ(RunProbeAt("e/f")[0], "1|2.14.5 (0)|0|1");  // build 0: running from source control

    WriteFile(TempPath("installed/bin/version.txt"), " \t\r\n");
    EXPECT_EQ(RunProbeAt("g/h")[0], "0|2.14.5 ()|0|0");

    // What cannot be a version file is refused unread, like an empty one: a
    // FIFO (an ordinary open would wait for a writer) and a file far too large.
    std::string sVersionFile = TempPath("installed/bin/version.txt");
    ASSERT_EQ(unlink(sVersionFile.c_str()), 0);
    ASSERT_EQ(mkfifo(sVersionFile.c_str(), 0600), 0);
    EXPECT_EQ(RunProbeAt("i/j"), std::vector<std::string>{"0|2.14.5 ()|0|0"});
    ASSERT_EQ(unlink(sVersionFile.c_str()), 0);
    WriteFile(sVersionFile, "1");
    ASSERT_EQ(truncate(sVersionFile.c_str(), 1 << 20), 0);
    EXPECT_EQ(RunProbeAt("k/l"), std::vector<std::string>{"0|2.14.5 ()|0|0"});
}

TEST_F(LatticeToolsTest, AnUnknownExecutablePathReadsNoVersionFileFromTheWorkingDirectory) {
    // A path too long to be read back (over 1023 bytes) leaves the
    // executable's location unknown.
    std::string sDeep;
    for (int i = 0; i < 5; ++i) {
        sDeep += (i ? "/" : "") + std::string(220, 'd');
    }
    ASSERT_GT(TempPath(sDeep).size(), 1100u);
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("cwd").c_str()));
    WriteFile(TempPath("cwd/version.txt"), "555\n");
    EXPECT_EQ(RunProbeAt(sDeep, "", TempPath("cwd"))[0], "0|2.14.5 (2)|2|0");
}

TEST(LatticeTools, VersionStringsAndComparison) {
    EXPECT_EQ(OrreryVersionAsString(), "2.14.5");
    EXPECT_TRUE(VersionIsLess("2.14.5", "2.14.10"));
    EXPECT_FALSE(VersionIsLess("2.14.10", "2.14.5"));
    EXPECT_FALSE(VersionIsLess("2.14.5", "2.14.5"));
    EXPECT_FALSE(VersionIsLess("2.14", "3.0.0"));
    EXPECT_FALSE(VersionIsLess("1.2.3.4", "2.0.0"));
    EXPECT_TRUE(VersionIsLess("1.99.99", "2.0.0"));
    EXPECT_TRUE(VersionIsLess("-1.0.0", "0.0.0"));  // signed parts
    EXPECT_TRUE(VersionIsLess("x.0.0", "1.0.0"));   // non-numbers count as 0
    EXPECT_FALSE(IsOnMainBranch());                 // the runtime id is not the main branch's
}

TEST(LatticeTools, BacktraceAndHapticDebugging) {
    std::vector<std::string> vecFrames = {"kept"};
    GetBacktraceStrings(vecFrames);
    ASSERT_GT(vecFrames.size(), 2u);
    EXPECT_EQ(vecFrames[0], "kept");

    auto result = RunInChild(
        [] {
            std::vector<std::string> vecLines;
            CLogCallback recorder;
            recorder.Initialize(
                [&](ELogLevel, const char* pchText, void*) { vecLines.push_back(pchText); },
                nullptr);
            LogHapticDebugIfEnabled("pulse %d", 3);
            setenv("ORRERY_VERBOSE_HAPTIC_LOG", "0", 1);  // read once: stays on
            LogHapticDebugIfEnabled("again");
            if (!BIsHapticLoggingEnabled()) {
                return 2;
            }
            int nAsserts = 0;
            bool bFirst = !vecLines.empty() && vecLines[0] == "pulse 3\n";
            for (const auto& sLine : vecLines) {
                nAsserts += sLine.rfind("ASSERT: \"false\" at ", 0) == 0;
            }
            return bFirst && nAsserts == 2 && vecLines.size() > 6 ? 0 : 1;
        },
        halyard_test::WithEnv({{"ORRERY_VERBOSE_HAPTIC_LOG", "yes"}}));
    EXPECT_EQ(result.exitCode, 0);

    result = RunInChild(
        [] {
            int nLines = 0;
            CLogCallback recorder;
            recorder.Initialize([&](ELogLevel, const char*, void*) { ++nLines; }, nullptr);
            LogHapticDebugIfEnabled("quiet");
            setenv("ORRERY_VERBOSE_HAPTIC_LOG", "1", 1);  // read once: stays off
            LogHapticDebugIfEnabled("still quiet");
            return BIsHapticLoggingEnabled() ? 100 : nLines;
        },
        halyard_test::WithEnv({{"ORRERY_VERBOSE_HAPTIC_LOG", std::nullopt}}));
    EXPECT_EQ(result.exitCode, 0);
}

class SetupLoggingTest : public halyard_test::TempDirTest {
protected:
    ChildOptions Options() {
        ChildOptions options;
        options.env = {{"HOME", TempDir()},
                       {"XDG_CONFIG_HOME", std::nullopt},
                       {"VR_PATHREG_OVERRIDE", std::nullopt},
                       {"VR_OVERRIDE", std::nullopt},
                       {"VR_CONFIG_PATH", std::nullopt},
                       {"VR_LOG_PATH", std::nullopt},
                       {"VR_COMBINED_LOGGING", std::nullopt}};
        return options;
    }
    void WriteRegistry() {
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".config/lattice").c_str()));
        WriteFile(TempPath(".config/lattice/latticepaths.vrpath"),
                  "{ \"runtime\": [\"" + TempPath("rt") + "\"], \"config\": [\"" + TempPath("cfg") +
                      "\"], \"log\": [\"" + TempPath("logs") + "\"] }");
    }
};

TEST_F(SetupLoggingTest, OpensTheLogWithOneBanner) {
    WriteRegistry();
    auto result = RunInChild(
        [] {
            std::vector<std::string> vecPre = {"pre one\n", "pre two\n"};
            int nFirst = Lattice_SetupLogging(GetVRLog(), true, nullptr, &vecPre, true, 131072);
            Log("a line");
            int nSecond = Lattice_SetupLogging(GetVRLog(), true, nullptr, &vecPre, true, 131072);
            bool bBuffered = CLogBuffer::GetInstance()->CopyLogBuffer().size() == 1;
            return nFirst == 0 && nSecond == 0 && bBuffered ? 0 : 1;
        },
        Options());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    auto lines = SplitLines(ReadFile(TempPath("logs/test_latticetools.txt")));
    ASSERT_EQ(lines.size(), 9u);
    auto text = [&](size_t i) { return lines[i].substr(lines[i].find("] - ") + 4); };
    EXPECT_EQ(text(0), "//" + std::string(94, '='));
    EXPECT_EQ(text(1), std::string(96, '='));
    EXPECT_EQ(text(2), std::string(96, '='));
    EXPECT_TRUE(std::regex_match(
        text(3), std::regex("test_latticetools 2\\.14\\.5 startup with PID=\\d+, config=" +
                            TempPath("cfg") + ", runtime=" + TempPath("rt") + ", arch=linux64")))
        << text(3);
    EXPECT_EQ(text(4), "pre one");
    EXPECT_EQ(text(5), "pre two");
    EXPECT_EQ(text(6), "a line");
    EXPECT_EQ(text(7), "pre one");  // the second call only writes the pre-log lines
    EXPECT_EQ(text(8), "pre two");
}

TEST_F(SetupLoggingTest, ReportsMissingPathsAndUnopenableLogs) {
    auto result = RunInChild(
        [] { return Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, 131072); },
        Options());
    EXPECT_EQ(result.exitCode, 110);
    EXPECT_EQ(result.strStderr, "Unable to read VR Path Registry from " +
                                    TempPath(".config/lattice/latticepaths.vrpath") + "\n");

    WriteRegistry();
    WriteFile(TempPath("logs"), "a file where the log directory should be");
    result = RunInChild(
        [] { return Lattice_SetupLogging(GetVRLog(), true, "named", nullptr, false, 0); },
        Options());
    EXPECT_EQ(result.exitCode, 112);

    // Open, but the combined log is not: still 112, yet the log is set up.
    BDeleteFileIfExists(TempPath("logs").c_str());
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("logs/vrcombined_log.txt").c_str()));
    ChildOptions combined = Options();
    combined.env["VR_COMBINED_LOGGING"] = "1";
    result = RunInChild(
        [] {
            int nResult = Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, 131072);
            Log("buffered");
            CLogBuffer* pBuffer = CLogBuffer::GetInstanceIfCreated();
            bool bBuffered = pBuffer && pBuffer->CopyLogBuffer().size() == 1;
            return bBuffered ? nResult : 1;
        },
        combined);
    EXPECT_EQ(result.exitCode, 112);
    auto lines = SplitLines(ReadFile(TempPath("logs/test_latticetools.txt")));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[3].find(" startup with PID="), std::string::npos) << lines[3];

    // No writer at all: refused the same way, nothing written.
    result = RunInChild(
        [] { return Lattice_SetupLogging(nullptr, true, nullptr, nullptr, true, 131072); },
        Options());
    EXPECT_EQ(result.exitCode, 112);
    EXPECT_EQ(result.strStdout + result.strStderr, "");
}

}  // namespace
