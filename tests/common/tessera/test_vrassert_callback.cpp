// The process's assert subscription: one minidump per source location through
// the host client stand-in's real dump writer, the environment switches, the
// debugger break and the fatal abort. Each case runs in a child process: the
// handled locations and the disable decision last for the whole process.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dump_files.h"
#include "fake_debugger.h"
#include "log_recorder.h"
#include "logbuffer.h"
#include "test_support.h"
#include "vrassert.h"
#include "vrcrash.h"

namespace {

using halyard_test::DumpFile;
using halyard_test::k_nChildSkip;
using halyard_test::ReadDumps;
using halyard_test::RunInChild;

const std::string k_sPrefix = "<non-buildbot build>\n";

// Echoes every log line of the child to its standard error.
class CStderrLog {
public:
    CStderrLog() {
        m_callback.Initialize(
            [](ELogLevel eLevel, const char* pchText, void*) {
                fprintf(stderr, "[%d] %s", static_cast<int>(eLevel), pchText);
                fflush(stderr);
            },
            nullptr);
    }

private:
    CLogCallback m_callback;
};

class AssertCallbackTest : public halyard_test::TempDirTest {
protected:
    std::string Dumps() const { return TempPath("dumps"); }
    halyard_test::ChildOptions Env(
        std::map<std::string, std::optional<std::string>> extra = {}) const {
        extra["QUILL_DUMP_DIR"] = Dumps();
        extra.emplace("ORRERY_DISABLE_CRASH_REPORTING", std::nullopt);
        extra.emplace("ORRERY_DISABLE_ASSERT_MINIDUMP", std::nullopt);
        extra.emplace("ORRERY_FRAMESCOPE_ON_ASSERT", std::nullopt);
        return halyard_test::WithEnv(extra);
    }
    std::vector<std::string> Comments() const {
        std::vector<std::string> vecComments;
        for (const DumpFile& dump : ReadDumps(Dumps())) {
            vecComments.push_back(dump.sComment);
        }
        return vecComments;
    }
};

void SetUpCrashHandlingAndAsserts() {
    VRCrashHandlingInitWithIdentity([] { return VRCrashIdentity_t{"1.0.0", 1}; }, {});
    InitAssertCallback();
}

void Fail(const char* pchFile, unsigned int unLine, const char* pchMessage, bool bFatal = false) {
    CAssert::GetInstance()->AssertMsgImpl(pchFile, unLine, bFatal, 1, pchMessage);
}

TEST_F(AssertCallbackTest, OneMinidumpPerSourceLocation) {
    auto result = RunInChild(
        [] {
            SetUpCrashHandlingAndAsserts();
            Fail("a/b.src", 12, "x > 0");
            Fail("a/b.src", 12, "x > 0");  // logged only
            Fail("c/d.src", 12, "100% sure");
            Fail("a/b.src", 13, "x > 1");
            // Line first, then file name.
            std::vector<std::string> vecOrder;
            for (const auto& [location, bHandled] : s_mapDumpedAsserts) {
                vecOrder.push_back(location.m_sFile + ":" + std::to_string(location.m_unLine) +
                                   (bHandled ? "" : "?"));
            }
            return vecOrder == std::vector<std::string>{"a/b.src:12", "c/d.src:12", "a/b.src:13"}
                       ? 0
                       : 1;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    EXPECT_EQ(Comments(),
              (std::vector<std::string>{k_sPrefix + "Assert( x > 0 ) a/b.src(12)\n\n",
                                        k_sPrefix + "Assert( 100% sure ) c/d.src(12)\n\n",
                                        k_sPrefix + "Assert( x > 1 ) a/b.src(13)\n\n"}));
    for (const DumpFile& dump : ReadDumps(Dumps())) {
        EXPECT_EQ(dump.sReason.rfind("requested", 0), 0u);
    }
}

TEST_F(AssertCallbackTest, LongMessagesAreCutToTheCommentBuffer) {
    auto result = RunInChild(
        [] {
            SetUpCrashHandlingAndAsserts();
            std::string sMessage(8191, 'q');  // the longest message the registry passes
            Fail(std::string(50, 'f').c_str(), 1, sMessage.c_str());
            return 0;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0);
    auto vecComments = Comments();
    ASSERT_EQ(vecComments.size(), 1u);
    // 8212 characters of "Assert( <message> ) <file>(1)\n", then the comment's own newline.
    std::string sExpected =
        k_sPrefix + "Assert( " + std::string(8191, 'q') + " ) " + std::string(10, 'f') + "\n";
    EXPECT_TRUE(vecComments[0] == sExpected) << vecComments[0].size() << " " << sExpected.size();
}

TEST_F(AssertCallbackTest, DisableVariableIsDecidedOnTheFirstAssertion) {
    struct Case {
        const char* pchValue;
        bool bDumps;
    };
    int nCase = 0;
    for (const Case& c : {Case{"1", false}, Case{"1abc", false}, Case{"0", true}, Case{"2", true},
                          Case{"yes", true}, Case{"", true}}) {
        std::string sDir = Dumps() + "/" + std::to_string(++nCase);
        auto options = Env({{"ORRERY_DISABLE_ASSERT_MINIDUMP", c.pchValue}});
        options.env["QUILL_DUMP_DIR"] = sDir;
        auto result = RunInChild(
            [] {
                SetUpCrashHandlingAndAsserts();
                Fail("first.src", 1, "first");
                // The decision stays, whatever the variable says now.
                setenv("ORRERY_DISABLE_ASSERT_MINIDUMP", "0", 1);
                Fail("second.src", 2, "second");
                unsetenv("ORRERY_DISABLE_ASSERT_MINIDUMP");
                Fail("third.src", 3, "third");
                return s_mapDumpedAsserts.size() == 3 ? 0 : 1;
            },
            options);
        ASSERT_EQ(result.exitCode, 0) << c.pchValue;
        EXPECT_EQ(ReadDumps(sDir).size(), c.bDumps ? 3u : 0u) << "'" << c.pchValue << "'";
    }
}

TEST_F(AssertCallbackTest, NoDumpWithoutCrashHandling) {
    auto result = RunInChild(
        [] {
            InitAssertCallback();  // crash handling never set up
            Fail("a.src", 1, "first");
            VRCrashHandlingInitWithIdentity({}, {});
            Fail("a.src", 1, "handled before: still no dump");
            Fail("b.src", 1, "disabled: no dump");
            return s_mapDumpedAsserts.size() == 2 && s_mapDumpedAsserts.begin()->second ? 0 : 1;
        },
        Env({{"ORRERY_DISABLE_CRASH_REPORTING", "1"}}));
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_TRUE(Comments().empty());

    result = RunInChild(
        [] {
            InitAssertCallback();
            Fail("a.src", 1, "before crash handling");
            VRCrashHandlingInitWithIdentity({}, {});
            Fail("a.src", 1, "handled already");
            Fail("b.src", 2, "dumped");
            return 0;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(Comments(), (std::vector<std::string>{k_sPrefix + "Assert( dumped ) b.src(2)\n\n"}));
}

TEST_F(AssertCallbackTest, FatalAssertionsAbortEvenWhereTheyFailedBefore) {
    auto result = RunInChild(
        [] {
            CStderrLog echo;
            SetUpCrashHandlingAndAsserts();
            Fail("fatal.src", 5, "first, not fatal");
            Fail("fatal.src", 5, "now fatal", true);
            return 1;
        },
        Env());
    EXPECT_EQ(result.termSignal, SIGABRT) << result.strStderr;
    EXPECT_NE(result.strStderr.find("[1] Aborting due to fatal assertion failure.\n"),
              std::string::npos)
        << result.strStderr;
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 2u);  // the first failure's, then the abort's crash dump
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "Assert( first, not fatal ) fatal.src(5)\n\n");
    EXPECT_EQ(vecDumps[1].sReason, "signal 6 (SIGABRT)");

    auto options = Env();
    options.env["QUILL_DUMP_DIR"] = Dumps() + "/second";
    result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            SetUpCrashHandlingAndAsserts();
            Fail("fatal.src", 6, "fatal at once", true);
            return 1;
        },
        options);
    EXPECT_EQ(result.termSignal, SIGABRT);
    vecDumps = ReadDumps(Dumps() + "/second");
    ASSERT_EQ(vecDumps.size(), 2u);
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "Assert( fatal at once ) fatal.src(6)\n\n" +
                                        "ASSERT: \"fatal at once\" at fatal.src:6.\n");
}

TEST_F(AssertCallbackTest, UnderADebuggerTheRegistryBreaksAndNoDumpIsWritten) {
    std::string sStatus = TempPath("status");
    // Crash handling set up first, then the debugger "attaches".
    auto result = RunInChild(
        [&] {
            std::string sError = halyard_test::UseFakeStatusFile(sStatus, false);
            if (!sError.empty()) {
                printf("%s\n", sError.c_str());
                return k_nChildSkip;
            }
            SetUpCrashHandlingAndAsserts();
            halyard_test::WriteFakeStatus(sStatus, true);
            Fail("debug.src", 1, "breaks");
            return 1;  // the break: SIGTRAP without a real debugger to take it
        },
        Env());
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.termSignal, SIGTRAP) << result.exitCode;
    EXPECT_EQ(result.strStdout, "!! refusing to trigger minidump with debugger attached\n");
    EXPECT_TRUE(ReadDumps(Dumps()).empty());

    // Fatal: the process ends before the break.
    auto options = Env();
    options.env["QUILL_DUMP_DIR"] = Dumps() + "/fatal";
    result = RunInChild(
        [&] {
            std::string sError = halyard_test::UseFakeStatusFile(sStatus, true);
            if (!sError.empty()) {
                return k_nChildSkip;
            }
            CStderrLog echo;
            SetUpCrashHandlingAndAsserts();
            Fail("debug.src", 2, "fatal", true);
            return 1;
        },
        options);
    EXPECT_EQ(result.termSignal, SIGABRT);
    EXPECT_NE(result.strStderr.find("Aborting due to fatal assertion failure."), std::string::npos);
    for (const DumpFile& dump : ReadDumps(Dumps() + "/fatal")) {
        EXPECT_EQ(dump.sReason.find("requested"), std::string::npos);
    }
}

TEST_F(AssertCallbackTest, BreakRequestFollowsTheDebuggerCheck) {
    // An earlier subscription asks for a break; with no debugger attached the
    // process's subscription withdraws it, so no SIGTRAP ends the process.
    auto result = RunInChild(
        [] {
            CAssertCallback asksForBreak;
            asksForBreak.Initialize([](const char*, const char*, unsigned, bool, void*,
                                       bool* pbBreak) { *pbBreak = true; },
                                    nullptr);
            InitAssertCallback();
            Fail("break.src", 1, "no debugger here");
            bool bBreak = true;
            AssertCallbackImplementation("direct", "break.src", 2, false, nullptr, &bBreak);
            return bBreak ? 1 : 0;
        },
        Env());
    EXPECT_EQ(result.termSignal, 0) << result.strStderr;
    EXPECT_EQ(result.exitCode, 0) << result.strStderr;
}

int g_nCaptures = 0;
void CountCapture() {
    ++g_nCaptures;
    Log("capture requested");
}

TEST_F(AssertCallbackTest, ProfilerCaptureIsRequestedFirstOnEveryFailure) {
    auto result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            SetUpCrashHandlingAndAsserts();
            // Without a handler (no runtime layer) the assertion goes on.
            Fail("capture.src", 1, "no handler");
            SetAssertProfilerCaptureHandler(&CountCapture);
            Fail("capture.src", 2, "with handler");
            Fail("capture.src", 2, "again");
            SetAssertProfilerCaptureHandler(nullptr);
            return g_nCaptures == 2 ? 0 : 1;
        },
        Env({{"ORRERY_FRAMESCOPE_ON_ASSERT", "yes"}}));
    ASSERT_EQ(result.exitCode, 0);
    auto vecComments = Comments();
    ASSERT_EQ(vecComments.size(), 2u);
    EXPECT_EQ(vecComments[1].find(k_sPrefix + "Assert( with handler ) capture.src(2)\n\n"), 0u);
    // Asked for before the dump: its line is in the dump's log lines.
    EXPECT_NE(vecComments[1].find("capture requested\n"), std::string::npos) << vecComments[1];

    for (const char* pchValue : {"0", "no", "maybe"}) {
        result = RunInChild(
            [] {
                InitAssertCallback();
                SetAssertProfilerCaptureHandler(&CountCapture);
                Fail("capture.src", 3, "not asked for");
                return g_nCaptures;
            },
            Env({{"ORRERY_FRAMESCOPE_ON_ASSERT", pchValue}}));
        EXPECT_EQ(result.exitCode, 0) << pchValue;
    }
    EXPECT_NE(result.strStderr.find("GetEnvironmentVariableAsBool(ORRERY_FRAMESCOPE_ON_ASSERT): "
                                    "Unable to parse value 'maybe', using default 0"),
              std::string::npos)
        << result.strStderr;
}

TEST_F(AssertCallbackTest, InitIsIdempotentAndCleanupUnsubscribes) {
    auto result = RunInChild(
        [] {
            SetUpCrashHandlingAndAsserts();
            CAssertCallback* pInstalled = g_pAssertCallback.get();
            InitAssertCallback();
            if (!pInstalled || g_pAssertCallback.get() != pInstalled) {
                return 1;
            }
            Fail("sub.src", 1, "subscribed");
            CleanupAssertCallback();
            CleanupAssertCallback();
            if (g_pAssertCallback) {
                return 2;
            }
            Fail("sub.src", 2, "not subscribed");
            Fail("sub.src", 3, "fatal, but nobody ends the process", true);
            return s_mapDumpedAsserts.size() == 1 ? 0 : 3;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    EXPECT_EQ(Comments(),
              (std::vector<std::string>{k_sPrefix + "Assert( subscribed ) sub.src(1)\n\n"}));
}

}  // namespace
