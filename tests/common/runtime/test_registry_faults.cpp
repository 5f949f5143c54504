// The path registry on broken and hostile files: the start-up lookup, the
// loader and the repair each give their sound result at once. Every case runs
// in a child with a deadline, so a read that blocks (a FIFO opened for
// reading waits for a writer) or crawls (a huge file) fails instead of hanging.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "pathtools.h"
#include "test_support.h"
#include "vrjsonutils.h"
#include "vrpathregistry.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::ScopedEnv;
using halyard_test::WriteFile;

class RegistryFaults : public halyard_test::TempDirTest {};

// What the repair does with the broken file.
enum class EAfterRepair {
    Replaced,     // 0; the broken text kept beside it, defaults saved
    Sanitized,    // 0; the file loaded, its invalid paths replaced in place
    Initialized,  // 0; nothing to keep (empty), defaults saved
    LeftInPlace,  // 113; the path still names what it named
};

TEST_F(RegistryFaults, BrokenRegistriesFailFastAndRepairSoundly) {
    const std::string sFile = TempPath("cfg/latticepaths.vrpath");
    ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("cfg").c_str()));
    ScopedEnv home("HOME", TempDir());
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv over("VR_PATHREG_OVERRIDE", sFile);
    ScopedEnv runtime("VR_OVERRIDE", std::nullopt);

    auto text = [&](std::string sText) { return [&, sText] { WriteFile(sFile, sText); }; };
    auto sparse = [&](off_t nSize) {
        return [&, nSize] {
            WriteFile(sFile, "{");
            ASSERT_EQ(truncate(sFile.c_str(), nSize), 0);
        };
    };
    const std::string sUnreadable = "Unable to read VR Path Registry from " + sFile;
    const std::string sUnparsable = "Unable to parse " + sFile + ": ";
    struct {
        const char* pchName;
        std::function<void()> create;
        std::string sLoadError;  // "" when the file loads; a prefix otherwise
        EAfterRepair eAfter;
    } const rgCases[] = {
        {"truncated", text(R"({ "runtime": ["/r"], "config": [)"), sUnparsable,
         EAfterRepair::Replaced},
        {"not JSON",
         text(std::string("\x7f"
                          "ELF\x02\x01\x01\0\0bin",
                          12)),
         sUnparsable, EAfterRepair::Replaced},
        {"wrong member types", text(R"({ "runtime": "/r", "config": 7, "log": {"a": 1} })"), "",
         EAfterRepair::Sanitized},
        {"wrong element types", text(R"({ "runtime": [["/r"]], "log": [{}] })"),
         sUnparsable + "exception thrown in JSON library", EAfterRepair::Replaced},
        {"not an object", text(R"("/r")"), sUnparsable, EAfterRepair::Replaced},
        {"nested too deep", text(std::string(100000, '[')), sUnparsable, EAfterRepair::Replaced},
        {"empty", text(""), sUnreadable, EAfterRepair::Initialized},
        {"too large to load", sparse(off_t{k_unMaxPathRegistrySize} + 1), sUnreadable,
         EAfterRepair::Replaced},
        {"huge", sparse(off_t{1} << 30), sUnreadable, EAfterRepair::LeftInPlace},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(sFile.c_str(), 0600), 0); }, sUnreadable,
         EAfterRepair::LeftInPlace},
        {"symbolic link loop", [&] { ASSERT_EQ(symlink(sFile.c_str(), sFile.c_str()), 0); },
         sUnreadable, EAfterRepair::LeftInPlace},
        {"directory", [&] { ASSERT_EQ(mkdir(sFile.c_str(), 0700), 0); }, sUnreadable,
         EAfterRepair::LeftInPlace},
    };
    for (const auto& test : rgCases) {
        SCOPED_TRACE(test.pchName);
        for (const std::string& sOld : {sFile, sFile + ".broken"}) {
            ASSERT_TRUE(BDeleteFileIfExists(sOld.c_str()) || rmdir(sOld.c_str()) == 0);
        }
        test.create();
        struct stat stBefore = {};
        ASSERT_EQ(lstat(sFile.c_str(), &stBefore), 0);
        std::string sBefore = S_ISREG(stBefore.st_mode) && stBefore.st_size < (1 << 20)
                                  ? ReadFile(sFile)
                                  : std::string();

        // One line per step: the lookup's and the loader's results, the
        // loader's error, the repair's result and its first message.
        auto result = halyard_test::RunInChild(
            [] {
                std::string sRuntime, sConfig, sLog, sError;
                bool bPaths =
                    CVRPathRegistry_Public::GetPaths(&sRuntime, &sConfig, &sLog, nullptr, nullptr);
                CVRPathRegistry registry;
                bool bLoaded = registry.BLoadFromFile(&sError);
                std::vector<std::string> vecMessages;
                int nRepair = Lattice_EnsurePathRegistryIntact(&vecMessages);
                sError = sError.substr(0, sError.find('\n'));  // parser messages run on
                fprintf(stderr, "%d\n%d\n%s\n%d\n%s", bPaths, bLoaded, sError.c_str(), nRepair,
                        vecMessages.empty() ? "\n" : vecMessages[0].c_str());
                return 0;
            },
            halyard_test::ChildOptions{{}, "", "", std::chrono::milliseconds(60000)});
        ASSERT_FALSE(result.bTimedOut) << "the registry was not refused at once";
        ASSERT_EQ(result.exitCode, 0) << result.strStderr;
        std::vector<std::string> vecLines = halyard_test::SplitLines(result.strStderr);
        ASSERT_GE(vecLines.size(), 5u) << result.strStderr;
        std::vector<std::string> vecSteps(vecLines.end() - 5, vecLines.end());
        bool bLoads = test.sLoadError.empty();
        EXPECT_EQ(vecSteps[0], bLoads ? "1" : "0");
        EXPECT_EQ(vecSteps[1], bLoads ? "1" : "0");
        EXPECT_EQ(vecSteps[2].rfind(test.sLoadError, 0), 0u) << vecSteps[2];
        if (test.sLoadError == sUnreadable) {
            EXPECT_EQ(vecSteps[2], sUnreadable);
        }

        const std::string sNotFound = "[System] Path Registry not found, initializing: " + sFile;
        switch (test.eAfter) {
            case EAfterRepair::Replaced:
                EXPECT_EQ(vecSteps[3], "0");
                EXPECT_EQ(vecSteps[4], sNotFound + " (old file kept as " + sFile + ".broken)");
                if (!sBefore.empty()) {
                    EXPECT_EQ(ReadFile(sFile + ".broken"), sBefore);
                }
                break;
            case EAfterRepair::Sanitized:
                EXPECT_EQ(vecSteps[3], "0");
                EXPECT_EQ(vecSteps[4],
                          "[System] Path Registry contains invalid data, sanitizing: " + sFile);
                break;
            case EAfterRepair::Initialized:
                EXPECT_EQ(vecSteps[3], "0");
                EXPECT_EQ(vecSteps[4], sNotFound);
                break;
            case EAfterRepair::LeftInPlace: {
                EXPECT_EQ(vecSteps[3], "113");
                EXPECT_EQ(vecSteps[4].rfind(sNotFound, 0), 0u) << vecSteps[4];
                struct stat stAfter = {};
                ASSERT_EQ(lstat(sFile.c_str(), &stAfter), 0);
                EXPECT_EQ(stAfter.st_mode, stBefore.st_mode);
                EXPECT_EQ(stAfter.st_size, stBefore.st_size);
                EXPECT_FALSE(Path_Exists(sFile + ".broken"));
                continue;
            }
        }
        CVRPathRegistry repaired;
        EXPECT_TRUE(repaired.BLoadFromFile());
        EXPECT_FALSE(repaired.GetRuntimePath().empty());
    }
}

}  // namespace
