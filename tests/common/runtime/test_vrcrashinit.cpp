// The runtime's crash handling set-up: the host client stand-in's handler is
// installed with the runtime's version text and application id, which are
// also published in the environment; nothing at all happens when reporting is
// disabled. In child processes: the decision is taken once per process.
#include "vrcrashinit.h"

#include <cstdlib>
#include <string>

#include "dump_files.h"
#include "latticetools.h"
#include "test_support.h"
#include "vrpathregistry.h"

namespace {

class VRCrashInitTest : public halyard_test::TempDirTest {};

TEST_F(VRCrashInitTest, InstallsWithTheRuntimeVersionAndAppId) {
    std::string sDumps = TempPath("dumps");
    auto result = halyard_test::RunInChild(
        [] {
            VRCrashHandlingInit({});
            const char* pchAppId = getenv("QuillAppId");
            const char* pchGameId = getenv("QuillGameId");
            if (!BIsCrashHandlingInitialized() || !pchAppId || !pchGameId) {
                return 1;
            }
            printf("%s %s\n", pchAppId, pchGameId);
            VRWriteMiniDump("tagged", false);
            return 0;
        },
        halyard_test::WithEnv({{"QUILL_DUMP_DIR", sDumps},
                               {"ORRERY_DISABLE_CRASH_REPORTING", std::nullopt},
                               {"QuillAppId", std::nullopt},
                               {"QuillGameId", std::nullopt}}));
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    std::string sAppId = std::to_string(CVRPathRegistry_Public::GetQuillAppId());
    EXPECT_EQ(result.strStdout, sAppId + " " + sAppId + "\n");
    auto vecDumps = halyard_test::ReadDumps(sDumps);
    ASSERT_EQ(vecDumps.size(), 1u);
    EXPECT_EQ(vecDumps[0].Line("version"), OrreryVersionAsString());
    EXPECT_EQ(vecDumps[0].Line("app id"), sAppId);
    EXPECT_EQ(vecDumps[0].sComment, "<non-buildbot build>\ntagged\n");
}

TEST_F(VRCrashInitTest, DisabledReportingLeavesEverythingAlone) {
    std::string sDumps = TempPath("dumps");
    auto result = halyard_test::RunInChild(
        [] {
            VRCrashHandlingInit([](bool) {});
            if (BIsCrashHandlingInitialized() || getenv("QuillAppId") || getenv("QuillGameId")) {
                return 1;
            }
            VRWriteMiniDump("not written", true);
            return 0;
        },
        halyard_test::WithEnv({{"QUILL_DUMP_DIR", sDumps},
                               {"ORRERY_DISABLE_CRASH_REPORTING", "1"},
                               {"QuillAppId", std::nullopt},
                               {"QuillGameId", std::nullopt}}));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(halyard_test::ReadDumps(sDumps).empty());
}

}  // namespace
