// Crash handling in a program that does not have the host client library
// loaded: set-up raises its assertion and every dump request is ignored.
#include <dlfcn.h>

#include "dump_files.h"
#include "log_recorder.h"
#include "test_support.h"
#include "vrcrash.h"

namespace {

class VRCrashWithoutQuill : public halyard_test::TempDirTest {};

TEST_F(VRCrashWithoutQuill, SetUpAssertsAndDumpsAreIgnored) {
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "QuillAPI_WriteMiniDump"), nullptr);
    std::string sDumps = TempPath("dumps");
    auto result = halyard_test::RunInChild(
        [] {
            halyard_test::LogRecorder recorder;
            bool bAsked = false;
            VRCrashHandlingInitWithIdentity(
                [&] {
                    bAsked = true;
                    return VRCrashIdentity_t{"1.2.3", 5};
                },
                [](bool) {});
            auto lines = recorder.Lines();
            if (!bAsked || lines.size() != 1 || lines[0].level != LogLevel_Error) {
                return 1;
            }
            printf("%s", lines[0].text.c_str());
            if (BIsCrashHandlingInitialized()) {
                return 2;
            }
            VRSetProcessCrashIdentifier("halyard");
            VRWriteMiniDump("X", false);
            VRWriteMiniDumpIfSetup("X", true);
            return 0;
        },
        halyard_test::WithEnv(
            {{"QUILL_DUMP_DIR", sDumps}, {"ORRERY_DISABLE_CRASH_REPORTING", std::nullopt}}));
    ASSERT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
    EXPECT_EQ(result.strStdout.rfind("ASSERT: \"Cannot initialize crash handling in a project "
                                     "without the Quill API available\" at ",
                                     0),
              0u)
        << result.strStdout;
    EXPECT_NE(result.strStdout.find("vrcrash.cpp:"), std::string::npos);
    EXPECT_TRUE(halyard_test::ReadDumps(sDumps).empty());
}

}  // namespace
