// The real halyard under valgrind's memcheck through one whole scenario
// (start, a screenshot, a web console opened and closed, the quit event): no
// invalid access, no use of uninitialised values and no definite leak. Needs
// valgrind and a build without sanitizers; skips with the reason otherwise.
#include <gtest/gtest.h>

#include <string>

#include "halyard_process.h"

namespace {

using halyard_test::CHalyardProcess;
using halyard_test::ReadFile;
using halyard_test::WaitFor;

using HalyardMemcheckTest = halyard_test::HalyardTest;

constexpr int k_nValgrindError = 99;

TEST_F(HalyardMemcheckTest, AWholeScenarioHasNoMemoryErrorAndNoDefiniteLeak) {
#ifdef HALYARD_SANITIZED_BUILD
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (halyard_test::RunProcess({"valgrind", "--version"}).exitCode != 0) {
        GTEST_SKIP() << "valgrind is not installed (scripts/setup-deps.sh installs it)";
    }
    ASSERT_TRUE(StartSim(R"({"settings": {"userinterface": {"screenshots": true,
                                                          "screenshotType": 2}}})"));
    const std::string sReport = TempPath("memcheck.txt");
    CHalyardProcess halyard;
    ASSERT_TRUE(halyard.Start(
        Environment(), TempPath("halyard.out"), nullptr,
        {"valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--errors-for-leak-kinds=definite", "--error-exitcode=" + std::to_string(k_nValgrindError),
         "--log-file=" + sReport}));
    // Everything is tens of times slower under valgrind.
    ASSERT_TRUE(WaitRunning(halyard, 1, 300000)) << ReadFile(sReport);

    EXPECT_EQ(Ctl({"screenshot"}), 0);
    EXPECT_TRUE(m_sim.WaitJournal("AddScreenshotPair", 120000)) << m_sim.Journal();
    EXPECT_EQ(Ctl({"console-open", "7"}), 0);
    EXPECT_TRUE(WaitFor(
        [&] { return m_sim.Ctl({"console"}).strStdout.find("7\thalyard (v") != std::string::npos; },
        std::chrono::milliseconds(120000)));
    EXPECT_EQ(Ctl({"console-close", "7"}), 0);
    EXPECT_EQ(Ctl({"quit"}), 0);

    int nExit = halyard.Wait(300000);
    std::string sValgrind = ReadFile(sReport);
    EXPECT_EQ(nExit, 0) << (nExit == k_nValgrindError ? "memcheck found errors:\n"
                                                      : "halyard failed:\n")
                        << sValgrind << ReadFile(TempPath("halyard.out"));
    EXPECT_NE(sValgrind.find("ERROR SUMMARY: 0 errors"), std::string::npos) << sValgrind;
}

}  // namespace
