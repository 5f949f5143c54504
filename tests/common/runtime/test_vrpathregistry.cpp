#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pathtools.h"
#include "test_support.h"
#include "vrlog.h"
#include "vrpathregistry.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::RunInChild;
using halyard_test::ScopedEnv;
using halyard_test::WriteFile;

// Each test gets a private HOME and no overrides from the environment.
class PathRegistryTest : public halyard_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        m_home.emplace("HOME", TempDir());
        for (const char* pchName : {"XDG_CONFIG_HOME", "VR_PATHREG_OVERRIDE", "VR_OVERRIDE",
                                    "VR_CONFIG_PATH", "VR_LOG_PATH"}) {
            m_cleared.emplace_back(std::make_unique<ScopedEnv>(pchName, std::nullopt));
        }
    }
    void TearDown() override {
        m_cleared.clear();
        m_home.reset();
        TempDirTest::TearDown();
    }
    std::string RegistryFile() { return TempPath(".config/lattice/latticepaths.vrpath"); }
    void WriteRegistry(const std::string& sText) {
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".config/lattice").c_str()));
        WriteFile(RegistryFile(), sText);
    }

private:
    std::optional<ScopedEnv> m_home;
    std::vector<std::unique_ptr<ScopedEnv>> m_cleared;
};

// A registry with access to its lists, for building files to save.
class TestRegistry : public CVRPathRegistry {
public:
    std::vector<std::string>& Runtime() { return m_vecRuntimePath; }
    std::vector<std::string>& Config() { return m_vecConfigPath; }
    std::vector<std::string>& LogList() { return m_vecLogPath; }
    std::vector<std::string>& Drivers() { return m_vecExternalDrivers; }
};

TEST_F(PathRegistryTest, LocationRules) {
    EXPECT_EQ(CVRPathRegistry_Public::GetLatticeConfigPath(), TempPath(".config/lattice"));
    EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(), RegistryFile());
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "");  // empty: ignored
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(), RegistryFile());
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/x/");
        EXPECT_EQ(CVRPathRegistry_Public::GetLatticeConfigPath(), "/x/lattice");
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(),
                  "/x/lattice/latticepaths.vrpath");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "c:\\cfg\\");
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(),
                  "c:/cfg/lattice/latticepaths.vrpath");
    }
    {
        ScopedEnv home("HOME", "");
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(),
                  ".config/lattice/latticepaths.vrpath");
    }
    {
        ScopedEnv home("HOME", std::nullopt);
        EXPECT_EQ(CVRPathRegistry_Public::GetLatticeConfigPath(), "");
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(), "");
        CVRPathRegistry_Public registry;
        std::string sError;
        EXPECT_FALSE(registry.BLoadFromFile(&sError));
        EXPECT_EQ(sError, "Unable to determine VR Path Registry filename");
        EXPECT_FALSE(registry.BSaveToFile());
        ScopedEnv over("VR_PATHREG_OVERRIDE", "/tmp/r\\.json");  // verbatim
        EXPECT_EQ(CVRPathRegistry_Public::GetVRPathRegistryFilename(), "/tmp/r\\.json");
    }
}

TEST_F(PathRegistryTest, SaveWritesTheDefaultWriterLayoutAtomically) {
    TestRegistry registry;
    registry.Runtime() = {"/rt", "/old rt"};
    registry.LogList() = {"/logs"};
    ASSERT_TRUE(registry.BSaveToFile());
    const std::string sExpected =
        "{\n"
        "\t\"config\" : null,\n"
        "\t\"external_drivers\" : null,\n"
        "\t\"jsonid\" : \"vrpathreg\",\n"
        "\t\"log\" : \n"
        "\t[\n"
        "\t\t\"/logs\"\n"
        "\t],\n"
        "\t\"runtime\" : \n"
        "\t[\n"
        "\t\t\"/rt\",\n"
        "\t\t\"/old rt\"\n"
        "\t],\n"
        "\t\"version\" : 1\n"
        "}";
    EXPECT_EQ(ReadFile(RegistryFile()), sExpected);
    EXPECT_FALSE(Path_Exists(RegistryFile() + ".tmp"));

    std::string sText;
    EXPECT_TRUE(registry.ToJsonString(sText));
    EXPECT_EQ(sText, sExpected);

    CVRPathRegistry loaded;
    std::string sError;
    ASSERT_TRUE(loaded.BLoadFromFile(&sError)) << sError;
    EXPECT_EQ(loaded.GetRuntimePath(), "/rt");
    EXPECT_EQ(loaded.GetLogPath(), "/logs");
    EXPECT_EQ(loaded.GetConfigPath(), "");
    EXPECT_EQ(loaded.GetRuntimeHistoryCount(), 1u);
    EXPECT_EQ(loaded.GetRuntimeHistoryPath(0), "/old rt");
    EXPECT_EQ(loaded.GetExternalDriverCount(), 0u);

    // An empty driver list is written as null and read back as an empty list
    // without a word (unlike a null path list).
    registry.Config() = {"/cfg"};
    ASSERT_TRUE(registry.BSaveToFile());
    EXPECT_NE(ReadFile(RegistryFile()).find("\t\"external_drivers\" : null,\n"), std::string::npos);
    auto result = RunInChild([] {
        CVRPathRegistry reloaded;
        if (!reloaded.BLoadFromFile()) {
            return 1;
        }
        return reloaded.GetExternalDriverCount() == 0 && reloaded.GetConfigPath() == "/cfg" ? 0 : 2;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "");
}

TEST_F(PathRegistryTest, LoadingRulesAndErrors) {
    CVRPathRegistry_Public registry;
    std::string sError;
    EXPECT_FALSE(registry.BLoadFromFile(&sError));
    EXPECT_EQ(sError, "Unable to read VR Path Registry from " + RegistryFile());

    WriteRegistry("{ not json");
    EXPECT_FALSE(registry.BLoadFromFile(&sError));
    EXPECT_EQ(sError.rfind("Unable to parse " + RegistryFile() + ": ", 0), 0u) << sError;

    // BOM, CR LF, comments and unknown members are accepted; unknown members
    // are dropped on the next save.
    WriteRegistry(
        "\xEF\xBB\xBF{\r\n // comment\r\n \"runtime\": [\"/a\", \"/b\"],\r\n"
        " \"extra\": 5, \"external_drivers\": \"not a list\" }");
    auto result = RunInChild([&] {
        CVRPathRegistry loaded;
        std::string sLoadError;
        if (!loaded.BLoadFromFile(&sLoadError))
            return 1;
        if (loaded.GetRuntimePath() != "/a" || loaded.GetConfigPath() != "" ||
            loaded.GetLogPath() != "" || loaded.GetExternalDriverCount() != 0)
            return 2;
        return loaded.BSaveToFile() ? 0 : 3;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "");  // a non-array external_drivers is ignored silently
    EXPECT_EQ(ReadFile(RegistryFile()).find("extra"), std::string::npos);

    // A present but non-array list prints its line and stays as it was.
    WriteRegistry(R"({ "runtime": null, "config": "str", "log": ["/l"] })");
    result = RunInChild([] {
        CVRPathRegistry loaded;
        if (!loaded.BLoadFromFile())
            return 1;
        return loaded.GetRuntimePath() == "" && loaded.GetLogPath() == "/l" ? 0 : 2;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr,
              "VR Path Registry node runtime is not an array\n"
              "VR Path Registry node config is not an array\n");

    // A list of non-strings makes the JSON library throw.
    WriteRegistry(R"({ "runtime": [["nested"]] })");
    EXPECT_FALSE(registry.BLoadFromFile(&sError));
    EXPECT_EQ(sError, "Unable to parse " + RegistryFile() + ": exception thrown in JSON library");
}

TEST_F(PathRegistryTest, OverrideFileAndSaveFailures) {
    std::string sOverride = TempPath("r.json");
    ScopedEnv over("VR_PATHREG_OVERRIDE", sOverride);
    TestRegistry registry;
    registry.Config() = {"/cfg"};
    ASSERT_TRUE(registry.BSaveToFile());
    EXPECT_TRUE(Path_Exists(sOverride));
    EXPECT_FALSE(Path_Exists(RegistryFile()));
    // Loading reads the same file; the usual location is not looked at.
    WriteRegistry(R"({ "config": ["/usual location"] })");
    CVRPathRegistry_Public loaded;
    ASSERT_TRUE(loaded.BLoadFromFile());
    EXPECT_EQ(loaded.GetConfigPath(), "/cfg");

    WriteFile(TempPath("plainfile"), "x");
    ScopedEnv blocked("VR_PATHREG_OVERRIDE", TempPath("plainfile/sub/r.json"));
    auto result = RunInChild([&] { return registry.BSaveToFile() ? 1 : 0; });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr,
              "Unable to create path registry directory " + TempPath("plainfile/sub") + "\n");

    ASSERT_EQ(mkdir(TempPath("isdir.json").c_str(), 0755), 0);
    ScopedEnv directory("VR_PATHREG_OVERRIDE", TempPath("isdir.json"));
    result = RunInChild([&] { return registry.BSaveToFile() ? 1 : 0; });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr,
              "Unable to write VR path registry to " + TempPath("isdir.json") + "\n");
}

// Saving replaces the registry as writing it in place would: the file a link
// names (the link stays), with its mode, and only where the user may write it.
TEST_F(PathRegistryTest, SaveReplacesTheFileLikeAWriteInPlace) {
    TestRegistry registry;
    registry.Runtime() = {"/new"};
    struct Case {
        const char* pchName;
        std::function<void(const std::string& sDir)> setup;  // makes <dir>/reg
        bool bSaves;
        const char* pchData;  // the file holding the result, relative to <dir>
        mode_t mode;          // its mode afterwards, 0 when not checked
        const char* pchLink;  // what <dir>/reg still links to, or null
    };
    auto file = [](const std::string& sPath, mode_t mode) {
        WriteFile(sPath, "old");
        ASSERT_EQ(chmod(sPath.c_str(), mode), 0);
    };
    const Case rgCases[] = {
        {"plain file", [&](const std::string& d) { file(d + "/reg", 0640); }, true, "reg", 0640,
         nullptr},
        {"relative link",
         [&](const std::string& d) {
             ASSERT_EQ(mkdir((d + "/data").c_str(), 0755), 0);
             file(d + "/data/real", 0600);
             ASSERT_EQ(symlink("data/real", (d + "/reg").c_str()), 0);
         },
         true, "data/real", 0600, "data/real"},
        {"chain of absolute links",
         [&](const std::string& d) {
             file(d + "/real", 0604);
             ASSERT_EQ(symlink((d + "/real").c_str(), (d + "/middle").c_str()), 0);
             ASSERT_EQ(symlink((d + "/middle").c_str(), (d + "/reg").c_str()), 0);
         },
         true, "real", 0604, nullptr},
        {"dangling link",
         [&](const std::string& d) { ASSERT_EQ(symlink("created", (d + "/reg").c_str()), 0); },
         true, "created", 0, "created"},
        {"link to a FIFO",
         [&](const std::string& d) {
             ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0644), 0);
             ASSERT_EQ(symlink("fifo", (d + "/reg").c_str()), 0);
         },
         false, nullptr, 0, "fifo"},
        // Nobody may write it: read-only even to root.
        {"read-only file", [&](const std::string& d) { file(d + "/reg", 0444); }, false, "reg",
         0444, nullptr},
    };
    for (const Case& test : rgCases) {
        SCOPED_TRACE(test.pchName);
        std::string sDir = TempPath(test.pchName);
        ASSERT_EQ(mkdir(sDir.c_str(), 0755), 0);
        test.setup(sDir);
        ScopedEnv over("VR_PATHREG_OVERRIDE", sDir + "/reg");
        auto result = RunInChild([&] { return registry.BSaveToFile() ? 0 : 1; });
        EXPECT_EQ(result.exitCode, test.bSaves ? 0 : 1);
        EXPECT_EQ(result.strStderr,
                  test.bSaves ? "" : "Unable to write VR path registry to " + sDir + "/reg\n");
        if (test.pchData) {
            std::string sData = sDir + "/" + test.pchData;
            EXPECT_EQ(ReadFile(sData).find("/new") != std::string::npos, test.bSaves);
            struct stat st = {};
            ASSERT_EQ(lstat(sData.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            if (test.mode) {
                EXPECT_EQ(st.st_mode & 07777, test.mode);
            }
        }
        if (test.pchLink) {
            char rchLink[256] = {};
            ASSERT_GT(readlink((sDir + "/reg").c_str(), rchLink, sizeof(rchLink) - 1), 0);
            EXPECT_STREQ(rchLink, test.pchLink);
        }
        std::unique_ptr<DIR, int (*)(DIR*)> pDir(opendir(sDir.c_str()), closedir);
        while (dirent* pEntry = readdir(pDir.get())) {
            EXPECT_EQ(strstr(pEntry->d_name, ".tmp"), nullptr) << pEntry->d_name;
        }
    }
}

// A registry the user may not write is refused although the user may replace
// files in its directory. Judged as the user: as root, in a child that drops
// to another uid.
TEST_F(PathRegistryTest, SaveRefusesARegistryTheUserMayNotWrite) {
    std::string sDir = TempPath("shared");
    ASSERT_EQ(mkdir(sDir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(sDir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(TempDir().c_str(), 0755), 0);
    std::string sFile = sDir + "/latticepaths.vrpath";
    WriteFile(sFile, "old");
    ASSERT_EQ(chmod(sFile.c_str(), 0644), 0);
    uid_t unUser = 65534;
    if (geteuid() != 0) {
        // Already an ordinary user: a file it may not write is one it does not own.
        ASSERT_EQ(chmod(sFile.c_str(), 0444), 0);
        unUser = geteuid();
    }
    ScopedEnv over("VR_PATHREG_OVERRIDE", sFile);
    auto result = RunInChild([&] {
        if (geteuid() != unUser && (setgid(unUser) != 0 || setuid(unUser) != 0)) {
            return 2;
        }
        TestRegistry registry;
        registry.Runtime() = {"/new"};
        return registry.BSaveToFile() ? 1 : 0;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "Unable to write VR path registry to " + sFile + "\n");
    EXPECT_EQ(ReadFile(sFile), "old");
}

// Two processes saving at once: each save replaces the whole file, none fails
// because of the other, and no temporary file is left behind. The second
// saver is forked by the first, which runs alone in its process: a fork from
// a process with other threads running may leave the child a lock that no
// one will release.
TEST_F(PathRegistryTest, TwoProcessesSavingAtOnceNeverFailEachOther) {
    constexpr int k_nSaves = 300;
    auto result = RunInChild([] {
        pid_t pidSecond = fork();
        if (pidSecond < 0) {
            return 253;
        }
        TestRegistry registry;
        registry.Runtime() = {pidSecond == 0 ? "/second" : "/first"};
        int nFailures = 0;
        for (int i = 0; i < k_nSaves; ++i) {
            nFailures += registry.BSaveToFile() ? 0 : 1;
        }
        if (pidSecond == 0) {
            _exit(std::min(nFailures, 127));
        }
        int nStatus = 0;
        if (waitpid(pidSecond, &nStatus, 0) != pidSecond || !WIFEXITED(nStatus)) {
            return 254;
        }
        // Failures of the first saver, then 128 + those of the second.
        return nFailures > 0 ? std::min(nFailures, 127)
                             : (WEXITSTATUS(nStatus) > 0 ? 128 + WEXITSTATUS(nStatus) : 0);
    });
    EXPECT_TRUE(result.bExited && result.exitCode == 0)
        << "failed saves: " << result.exitCode << "\n"
        << result.strStderr.substr(0, 500);
    TestRegistry saved;
    ASSERT_TRUE(saved.BLoadFromFile());
    EXPECT_TRUE(saved.GetRuntimePath() == "/first" || saved.GetRuntimePath() == "/second");
    std::unique_ptr<DIR, int (*)(DIR*)> pDir(opendir(TempPath(".config/lattice").c_str()),
                                             closedir);
    while (dirent* pEntry = readdir(pDir.get())) {
        EXPECT_EQ(strstr(pEntry->d_name, ".tmp"), nullptr) << pEntry->d_name;
    }
}

TEST_F(PathRegistryTest, GetPathsCombinesEnvironmentDefaultsAndFile) {
    // No file: only environment values make it succeed, silently.
    {
        ScopedEnv logPath("VR_LOG_PATH", "/env/logs");
        auto result = RunInChild([] {
            std::string sLog = "untouched";
            bool bOk = CVRPathRegistry_Public::GetPaths(nullptr, nullptr, &sLog, nullptr, nullptr);
            return bOk && sLog == "/env/logs" ? 0 : 1;
        });
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.strStderr, "");
    }
    auto result = RunInChild([] {
        std::string sLog;
        bool bOk = CVRPathRegistry_Public::GetPaths(nullptr, nullptr, &sLog, nullptr, "/dflt");
        return !bOk && sLog == "/dflt" ? 0 : 1;
    });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "Unable to read VR Path Registry from " + RegistryFile() + "\n");
    EXPECT_TRUE(CVRPathRegistry_Public::GetPaths(nullptr, nullptr, nullptr, nullptr, nullptr));
    // Nothing requested: true whatever the file holds, and nothing printed.
    WriteRegistry("{ not json");
    result = RunInChild([] {
        return CVRPathRegistry_Public::GetPaths(nullptr, nullptr, nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.strStderr, "");

    WriteRegistry(R"({ "runtime": ["/rt"], "config": ["/cfg"], "log": ["/log"],
                       "external_drivers": ["/d1", "/d2"] })");
    std::string sRuntime, sConfig, sLog;
    std::vector<std::string> vecDrivers;
    ASSERT_TRUE(CVRPathRegistry_Public::GetPaths(&sRuntime, &sConfig, &sLog, nullptr, nullptr,
                                                 &vecDrivers));
    EXPECT_EQ(sRuntime, "/rt");
    EXPECT_EQ(sConfig, "/cfg");
    EXPECT_EQ(sLog, "/log");
    EXPECT_EQ(vecDrivers, (std::vector<std::string>{"/d1", "/d2"}));

    ScopedEnv runtime("VR_OVERRIDE", "c:\\rt");  // used as is
    ScopedEnv config("VR_CONFIG_PATH", "");      // empty: not an override
    ASSERT_TRUE(CVRPathRegistry_Public::GetPaths(&sRuntime, &sConfig, &sLog, "/cdef", nullptr));
    EXPECT_EQ(sRuntime, "c:\\rt");
    EXPECT_EQ(sConfig, "/cdef");
    EXPECT_EQ(sLog, "/log");
}

TEST_F(PathRegistryTest, ApplicationIdAndServerChild) {
    ScopedEnv appId("QuillAppId", "1");
    ScopedEnv gameId("QuillGameId", std::nullopt);
    uint32_t unId = CVRPathRegistry_Public::InitQuillAppId();
    EXPECT_EQ(unId, CVRPathRegistry_Public::GetQuillAppId());
    EXPECT_EQ(GetEnvironmentVariable("QuillAppId"), std::to_string(unId));
    EXPECT_EQ(GetEnvironmentVariable("QuillGameId"), std::to_string(unId));
    EXPECT_FALSE(CVRPathRegistry_Public::IsOrreryMain());

    ScopedEnv key("ORRERY_APPKEY", std::nullopt);
    EXPECT_FALSE(CVRPathRegistry_Public::IsChildOfVRServer());
    ScopedEnv server("ORRERY_APPKEY", "lattice.component.vrserver");
    EXPECT_TRUE(CVRPathRegistry_Public::IsChildOfVRServer());
    ScopedEnv upper("ORRERY_APPKEY", "Lattice.component.vrserver");
    EXPECT_FALSE(CVRPathRegistry_Public::IsChildOfVRServer());
}

TEST_F(PathRegistryTest, HistoriesAndDrivers) {
    TestRegistry registry;
    registry.Runtime() = {"/b", "/a"};
    registry.SetRuntimePath("/a/");
    EXPECT_EQ(registry.Runtime(), (std::vector<std::string>{"/a", "/b"}));
    registry.Runtime() = {"/x"};
    EXPECT_EQ(registry.GetRuntimeHistoryCount(), 0u);
    EXPECT_EQ(registry.GetRuntimeHistoryPath(0), "");
    registry.SetConfigPath("/c1");
    registry.SetConfigPath("/c2//");
    registry.SetConfigPath("/c1");
    EXPECT_EQ(registry.Config(), (std::vector<std::string>{"/c1", "/c2"}));
    EXPECT_EQ(registry.GetConfigHistoryCount(), 1u);
    EXPECT_EQ(registry.GetConfigHistoryPath(0), "/c2");
    EXPECT_EQ(registry.GetLogHistoryCount(), 0u);

    std::vector<std::string> vecPaths = {"/p/", "/q", "/p", "/q//", "/r"};
    CVRPathRegistry::CollapseDuplicatePaths(vecPaths);
    EXPECT_EQ(vecPaths, (std::vector<std::string>{"/p/", "/q", "/r"}));

    registry.AddExternalDriver("/d");
    registry.AddExternalDriver("/e");
    registry.AddExternalDriver("/d");
    EXPECT_EQ(registry.GetExternalDriverCount(), 2u);
    EXPECT_EQ(registry.GetExternalDriverPath(1), "/e");
    EXPECT_EQ(registry.GetExternalDriverPath(2), "");
    registry.RemoveExternalDriver("/d");
    registry.RemoveExternalDriver("/missing");
    EXPECT_EQ(registry.Drivers(), (std::vector<std::string>{"/e"}));
}

TEST_F(PathRegistryTest, InstalledRuntimesAndHostPaths) {
    for (const char* pchRoot : {"rt1", "rt3"}) {
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(std::string(pchRoot) + "/bin").c_str()));
        WriteFile(TempPath(std::string(pchRoot) + "/bin/version.txt"), "1");
    }
    TestRegistry registry;
    registry.Runtime() = {TempPath("rt1/"), TempPath("rt2"), TempPath("rt3"), TempPath("rt1")};
    EXPECT_EQ(registry.GetInstalledRuntimes(),
              (std::vector<std::string>{TempPath("rt1"), TempPath("rt3")}));

    // No host client directory: the OS configuration directory is used.
    EXPECT_EQ(CVRPathRegistry::GetQuillPath(), "");
    EXPECT_EQ(CVRPathRegistry::GetVRLogPathFromQuillOrOS(), TempPath(".config/lattice/logs"));
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".quill/quill").c_str()));
    EXPECT_EQ(CVRPathRegistry::GetQuillPath(), TempPath(".quill/quill"));
    EXPECT_EQ(CVRPathRegistry::GetVRConfigPathFromQuillOrOS(), TempPath(".quill/quill/config"));

    ScopedEnv noHome("HOME", std::nullopt);
    std::vector<std::string> lines;
    CLogCallback recorder;
    recorder.Initialize([&](ELogLevel, const char* pchText, void*) { lines.push_back(pchText); },
                        nullptr);
    EXPECT_EQ(CVRPathRegistry::GetVRLogPathFromQuillOrOS(), "");
    EXPECT_EQ(lines, (std::vector<std::string>{"[System] No Quill Path available.\n",
                                               "[System] No OS path for logs available\n"}));
}

TEST_F(PathRegistryTest, EnsureIntactRepairsInOrderAndLeavesValidFilesAlone) {
    std::vector<std::string> vecMessages;
    ASSERT_EQ(Lattice_EnsurePathRegistryIntact(&vecMessages), 0);
    ASSERT_EQ(vecMessages.size(), 7u);
    EXPECT_EQ(vecMessages[0],
              "[System] Path Registry not found, initializing: " + RegistryFile() + "\n");
    EXPECT_EQ(vecMessages[1], "[System] Old Runtime Path: \n");
    EXPECT_EQ(vecMessages[2].rfind("[System] New Runtime Path: /", 0), 0u);
    EXPECT_EQ(vecMessages[3], "[System] Old Log Path: \n");
    EXPECT_EQ(vecMessages[4], "[System] New Log Path: " + TempPath(".config/lattice/logs") + "\n");
    EXPECT_EQ(vecMessages[5], "[System] Old Config Path: \n");
    EXPECT_EQ(vecMessages[6],
              "[System] New Config Path: " + TempPath(".config/lattice/config") + "\n");
    ASSERT_TRUE(Path_Exists(RegistryFile()));

    // Make every path valid; the file is then left untouched.
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".config/lattice/logs").c_str()));
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath(".config/lattice/config").c_str()));
    // Saving replaces the file (a new inode), so an unchanged inode proves
    // that nothing was written.
    struct stat before = {}, after = {};
    ASSERT_EQ(stat(RegistryFile().c_str(), &before), 0);
    vecMessages.clear();
    ASSERT_EQ(Lattice_EnsurePathRegistryIntact(&vecMessages), 0);
    EXPECT_TRUE(vecMessages.empty());
    ASSERT_EQ(stat(RegistryFile().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // One invalid path: only it is repaired; the old one stays in the history.
    TestRegistry registry;
    ASSERT_TRUE(registry.BLoadFromFile());
    registry.SetLogPath(TempPath("gone"));
    registry.AddExternalDriver("/drv");
    ASSERT_TRUE(registry.BSaveToFile());
    vecMessages.clear();
    ASSERT_EQ(Lattice_EnsurePathRegistryIntact(&vecMessages), 0);
    EXPECT_EQ(
        vecMessages,
        (std::vector<std::string>{
            "[System] Path Registry contains invalid data, sanitizing: " + RegistryFile() + "\n",
            "[System] Old Log Path: " + TempPath("gone") + "\n",
            "[System] New Log Path: " + TempPath(".config/lattice/logs") + "\n"}));
    TestRegistry repaired;
    ASSERT_TRUE(repaired.BLoadFromFile());
    EXPECT_EQ(repaired.LogList(),
              (std::vector<std::string>{TempPath(".config/lattice/logs"), TempPath("gone")}));
    EXPECT_EQ(repaired.Drivers(), (std::vector<std::string>{"/drv"}));

    // A registry that cannot be saved is reported with 113.
    ScopedEnv over("VR_PATHREG_OVERRIDE", TempPath("plain/registry.vrpath"));
    WriteFile(TempPath("plain"), "x");
    vecMessages.clear();
    auto result = RunInChild([&] { return Lattice_EnsurePathRegistryIntact(&vecMessages); });
    EXPECT_EQ(result.exitCode, 113);
    // The report goes to the log (standard output while no log file is open),
    // closed by the failure line.
    auto vecLines = halyard_test::SplitLines(result.strStdout);
    ASSERT_EQ(vecLines.size(), 8u) << result.strStdout;
    EXPECT_EQ(vecLines[0], "[System] Path Registry not found, initializing: " +
                               TempPath("plain/registry.vrpath"));
    EXPECT_EQ(vecLines[7],
              "[PROBLEM] Saving Path Registry failed: " + TempPath("plain/registry.vrpath"));
}

// A registry that exists but does not load is copied beside itself, and the
// copy named, before the defaults replace it; one whose text cannot be kept is
// not replaced.
TEST_F(PathRegistryTest, EnsureIntactKeepsACopyOfARegistryThatDoesNotLoad) {
    const std::string sFile = RegistryFile();
    const std::string sLine = "[System] Path Registry not found, initializing: " + sFile;
    struct {
        const char* pchText;
        const char* pchCopy;  // suffix of the copy, null when nothing is kept
    } const rgCases[] = {
        {"{ not json", ".broken"},
        {"[\"an array\"]", ".broken.1"},  // parses, holds no object; the first copy stays
        {"", nullptr},                    // nothing to keep
    };
    for (const auto& test : rgCases) {
        SCOPED_TRACE(test.pchText);
        WriteRegistry(test.pchText);
        ASSERT_EQ(chmod(sFile.c_str(), 0640), 0);
        std::vector<std::string> vecMessages;
        ASSERT_EQ(Lattice_EnsurePathRegistryIntact(&vecMessages), 0);
        ASSERT_FALSE(vecMessages.empty());
        if (!test.pchCopy) {
            EXPECT_EQ(vecMessages[0], sLine + "\n");
            continue;
        }
        std::string sCopy = sFile + test.pchCopy;
        EXPECT_EQ(vecMessages[0], sLine + " (old file kept as " + sCopy + ")\n");
        EXPECT_EQ(ReadFile(sCopy), test.pchText);
        struct stat st = {};
        ASSERT_EQ(stat(sCopy.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        TestRegistry repaired;
        EXPECT_TRUE(repaired.BLoadFromFile());
    }
    EXPECT_EQ(ReadFile(sFile + ".broken"), "{ not json");

    // The registry links into a directory the user may write, but no copy can
    // be made beside the link: the file stays as it was.
    std::string sData = TempPath("data");
    ASSERT_EQ(mkdir(sData.c_str(), 0777), 0);
    ASSERT_EQ(chmod(sData.c_str(), 0777), 0);
    WriteFile(sData + "/real", "{ broken");
    ASSERT_EQ(chmod((sData + "/real").c_str(), 0666), 0);
    std::string sLinkDir = TempPath("links");
    ASSERT_EQ(mkdir(sLinkDir.c_str(), 0755), 0);
    ASSERT_EQ(symlink((sData + "/real").c_str(), (sLinkDir + "/reg").c_str()), 0);
    ASSERT_EQ(chmod(sLinkDir.c_str(), 0555), 0);
    ASSERT_EQ(chmod(TempDir().c_str(), 0755), 0);
    ScopedEnv over("VR_PATHREG_OVERRIDE", sLinkDir + "/reg");
    auto result = RunInChild([] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            return 1;
        }
        return Lattice_EnsurePathRegistryIntact();
    });
    EXPECT_EQ(result.exitCode, 113);
    auto vecLines = halyard_test::SplitLines(result.strStdout);
    ASSERT_FALSE(vecLines.empty());
    EXPECT_EQ(vecLines[0], "[System] Path Registry not found, initializing: " + sLinkDir +
                               "/reg (old file left in place: no copy of it could be made)");
    EXPECT_EQ(ReadFile(sData + "/real"), "{ broken");
}

TEST_F(PathRegistryTest, EnsureIntactSavesPathsThatStayEmpty) {
    // No host client directory and no configuration directory: the log and
    // config paths cannot be found, are saved empty and the reasons logged.
    ScopedEnv noHome("HOME", std::nullopt);
    ScopedEnv over("VR_PATHREG_OVERRIDE", TempPath("reg/registry.vrpath"));
    std::vector<std::string> vecLogged;
    CLogCallback recorder;
    recorder.Initialize(
        [&](ELogLevel, const char* pchText, void*) { vecLogged.push_back(pchText); }, nullptr);
    std::vector<std::string> vecMessages;
    ASSERT_EQ(Lattice_EnsurePathRegistryIntact(&vecMessages), 0);
    ASSERT_EQ(vecMessages.size(), 7u);
    EXPECT_EQ(vecMessages[4], "[System] New Log Path: \n");
    EXPECT_EQ(vecMessages[6], "[System] New Config Path: \n");
    EXPECT_EQ(vecLogged, (std::vector<std::string>{"[System] No Quill Path available.\n",
                                                   "[System] No OS path for logs available\n",
                                                   "[System] No Quill Path available.\n",
                                                   "[System] No OS path for config available\n"}));
    TestRegistry saved;
    ASSERT_TRUE(saved.BLoadFromFile());
    EXPECT_EQ(saved.LogList(), (std::vector<std::string>{""}));
    EXPECT_EQ(saved.Config(), (std::vector<std::string>{""}));
    EXPECT_FALSE(saved.GetRuntimePath().empty());
}

}  // namespace
