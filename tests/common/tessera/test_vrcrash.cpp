// Crash reporting against the host client stand-in's real crash handler and
// dump writer: real dump files, real crashing child processes, a real tracer.
// Crash handling is decided once per process, so every case runs in a child.
#include "vrcrash.h"

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dump_files.h"
#include "log_recorder.h"
#include "logbuffer.h"
#include "mount_namespace.h"
#include "quill_api.h"
#include "test_support.h"
#include "thread_state.h"
#include "tracer.h"

namespace {

using halyard_test::DumpFile;
using halyard_test::k_nChildSkip;
using halyard_test::ReadDumps;
using halyard_test::RunInChild;
using halyard_test::WithEnv;

const std::string k_sPrefix = "<non-buildbot build>\n";

class VRCrashTest : public halyard_test::TempDirTest {
protected:
    std::string Dumps() const { return TempPath("dumps"); }
    // The child's environment: dumps into the test's directory, reporting as given.
    halyard_test::ChildOptions Env(std::optional<std::string> disable = std::nullopt) const {
        return WithEnv({{"QUILL_DUMP_DIR", Dumps()}, {"ORRERY_DISABLE_CRASH_REPORTING", disable}});
    }
};

int InitForTest(VRPreCrashCallback_t fnPreCrash = {}) {
    VRCrashHandlingInitWithIdentity(
        [] {
            return VRCrashIdentity_t{"3.1.4", 7301143};
        },
        std::move(fnPreCrash));
    return BIsCrashHandlingInitialized() ? 0 : 100;
}

TEST_F(VRCrashTest, DisablingValuesLeaveCrashHandlingUninstalled) {
    for (const char* pchValue : {"1", "7", "0x10"}) {
        auto result = RunInChild(
            [] {
                bool bAsked = false;
                VRCrashHandlingInitWithIdentity(
                    [&] {
                        bAsked = true;
                        return VRCrashIdentity_t{};
                    },
                    [](bool) {});
                if (bAsked || BIsCrashHandlingInitialized() || !BIsCrashReportingDisabled()) {
                    return 1;
                }
                VRWriteMiniDump("X", false);
                VRWriteMiniDumpIfSetup("X", true);
                abort();  // no handler: the default action, no dump
            },
            Env(pchValue));
        EXPECT_EQ(result.termSignal, SIGABRT) << pchValue << " " << result.exitCode;
        EXPECT_EQ(result.strStdout, "");
        EXPECT_TRUE(ReadDumps(Dumps()).empty()) << pchValue;
    }
}

TEST_F(VRCrashTest, OtherValuesInstallItAndRequestedDumpsCarryTheComment) {
    int nCase = 0;
    for (std::optional<std::string> value : std::vector<std::optional<std::string>>{
             std::nullopt, std::string(""), std::string("0"), std::string("abc")}) {
        std::string sDir = Dumps() + "/" + std::to_string(++nCase);
        auto options = Env(value);
        options.env["QUILL_DUMP_DIR"] = sDir;
        auto result = RunInChild(
            [] {
                if (int nResult = InitForTest()) {
                    return nResult;
                }
                VRWriteMiniDump("X", false);
                return BIsCrashReportingDisabled() ? 3 : 0;
            },
            options);
        std::string sName = value ? "'" + *value + "'" : "unset";
        ASSERT_EQ(result.exitCode, 0) << sName << result.strStderr;
        auto vecDumps = ReadDumps(sDir);
        ASSERT_EQ(vecDumps.size(), 1u) << sName;
        const DumpFile& dump = vecDumps[0];
        EXPECT_EQ(dump.sReason, "requested (exception code 0, build id 0)");
        EXPECT_EQ(dump.sComment, k_sPrefix + "X\n") << sName;
        EXPECT_EQ(dump.Line("version"), "3.1.4");
        EXPECT_EQ(dump.Line("app id"), "7301143");
        EXPECT_EQ(dump.Line("full memory"), "no");
        // The compile date and time: "Mmm dd yyyy hh:mm:ss".
        EXPECT_TRUE(
            std::regex_match(dump.Line("build"), std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
                                                            "[0-9]{2}:[0-9]{2}:[0-9]{2}")))
            << dump.Line("build");
    }
}

TEST_F(VRCrashTest, CommentHoldsMessageIdentifierAndRecentLogLines) {
    auto result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            if (int nResult = InitForTest()) {
                return nResult;
            }
            Log("first line");
            Log(LogLevel_Warning, "second line");
            // No identifier yet: the prefix line, the message, the log lines.
            VRWriteMiniDump("X", false);
            // Until a comment is built, the identifier alone is the comment
            // (as given); it is kept as its first 127 characters.
            std::string sIdentifier = std::string(127, 'i') + std::string(73, 'j');
            VRSetProcessCrashIdentifier(sIdentifier.c_str());
            QuillAPI_WriteMiniDump(0, nullptr, 0);
            VRWriteMiniDump("X", true);
            // The requested dump cleared its comment afterwards.
            QuillAPI_WriteMiniDump(0, nullptr, 0);
            VRSetProcessCrashIdentifier(nullptr);
            VRWriteMiniDump(nullptr, false);
            return 0;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 5u);
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "X\nfirst line\nsecond line\n");
    EXPECT_EQ(vecDumps[1].sComment, std::string(127, 'i') + std::string(73, 'j') + "\n");
    EXPECT_EQ(vecDumps[2].sComment, k_sPrefix + "X\nExecutable: " + std::string(127, 'i') +
                                        "\nfirst line\nsecond line\n");
    EXPECT_EQ(vecDumps[3].sComment, "");
    EXPECT_EQ(vecDumps[4].sComment, k_sPrefix + "\nfirst line\nsecond line\n");
}

TEST_F(VRCrashTest, CommentNeverExceedsItsBuffer) {
    auto result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            if (int nResult = InitForTest()) {
                return nResult;
            }
            Log("a line that does not fit any more");
            std::string sMessage(20000, 'm');
            VRWriteMiniDump(sMessage.c_str(), false);
            // Room for the newest lines only: the oldest ones are left out.
            std::string sShorter(16340, 's');
            Log("0123456789012345678");
            VRWriteMiniDump(sShorter.c_str(), false);
            return 0;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 2u);
    // 16383 characters and the stand-in's closing newline.
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + std::string(16383 - k_sPrefix.size(), 'm') + "\n");
    EXPECT_EQ(vecDumps[1].sComment,
              k_sPrefix + std::string(16340, 's') + "\n0123456789012345678\n");
}

TEST_F(VRCrashTest, CrashAfterARequestedDumpIsFatalAndGetsAFreshComment) {
    auto result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            int nResult = InitForTest([](bool bFatal) {
                // Runs before the comment is built: its line is in the dump.
                Log("pre-crash callback, fatal=%d", bFatal ? 1 : 0);
            });
            if (nResult) {
                return nResult;
            }
            VRWriteMiniDump("X", false);
            raise(SIGSEGV);
            return 2;
        },
        Env());
    EXPECT_EQ(result.termSignal, SIGSEGV) << result.exitCode << result.strStderr;
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 2u);
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "X\n");
    EXPECT_EQ(vecDumps[1].sReason.rfind("signal 11 (SIGSEGV)", 0), 0u) << vecDumps[1].sReason;
    EXPECT_EQ(vecDumps[1].sComment, k_sPrefix + "\npre-crash callback, fatal=1\n");
}

// A page whose first touch blocks the touching thread until the process ends:
// its faults go to a userfaultfd that nobody serves. Null when the machine
// does not allow one.
char* PageThatBlocks() {
    int fd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    if (fd < 0) {
        return nullptr;
    }
    uffdio_api api{};
    api.api = UFFD_API;
    void* pPage = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ioctl(fd, UFFDIO_API, &api) != 0 || pPage == MAP_FAILED) {
        return nullptr;
    }
    uffdio_register registration{};
    registration.range.start = reinterpret_cast<uintptr_t>(pPage);
    registration.range.len = 4096;
    registration.mode = UFFDIO_REGISTER_MODE_MISSING;
    return ioctl(fd, UFFDIO_REGISTER, &registration) == 0 ? static_cast<char*>(pPage) : nullptr;
}

// The crash callback waits for no lock: a thread stuck while it creates the
// log buffer or while it holds the buffer does not keep a crash from being
// dumped; the comment then goes without the log tail.
TEST_F(VRCrashTest, ACrashWhileAnotherThreadIsStuckInTheLogBufferIsDumped) {
    struct Row {
        const char* pchName;
        // Starts a thread that gets stuck in the buffer; its id, or 0 to skip.
        pid_t (*pfnStickAThread)();
    };
    const Row rgRows[] = {
        {"creating the buffer",
         [] {
             // The registry's lock is held by a delivery that does not end
             // before the crash, so creating the buffer cannot finish.
             static std::atomic<bool> s_bHeld{false};
             static CLogCallback s_gate;
             s_gate.Initialize(
                 [](ELogLevel, const char*, void*) {
                     s_bHeld = true;
                     halyard_test::WaitFor([] { return false; });
                 },
                 nullptr);
             std::thread([] { Log("hold"); }).detach();
             halyard_test::WaitFor([] { return s_bHeld.load(); });
             static std::atomic<pid_t> s_tid{0};
             std::thread([] {
                 s_tid = halyard_test::CurrentThreadId();
                 CLogBuffer::GetInstance();
             }).detach();
             halyard_test::WaitFor([] { return s_tid != 0; });
             return s_tid.load();
         }},
        {"holding the buffer",
         [] {
             char* pPage = PageThatBlocks();
             if (!pPage) {
                 return pid_t(0);
             }
             CLogBuffer::GetInstance();
             Log("a line the crash comment goes without");
             static std::atomic<pid_t> s_tid{0};
             std::thread([pPage] {
                 s_tid = halyard_test::CurrentThreadId();
                 CLogBuffer::GetInstance()->DumpLogBufferToBuffer(pPage, 4096);
             }).detach();
             halyard_test::WaitFor([] { return s_tid != 0; });
             return s_tid.load();
         }},
    };
    for (const Row& row : rgRows) {
        halyard_test::ChildOptions options = Env();
        options.timeout = std::chrono::milliseconds(15000);
        auto result = RunInChild(
            [&row] {
                if (CLogBuffer::GetInstanceIfCreated()) {
                    return 10;
                }
                if (int nResult = InitForTest([](bool) {})) {
                    return nResult;
                }
                pid_t stuckTid = row.pfnStickAThread();
                if (stuckTid == 0) {
                    return k_nChildSkip;
                }
                halyard_test::WaitFor([&] { return halyard_test::BIsBlocked(stuckTid); });
                raise(SIGSEGV);
                return 2;
            },
            options);
        if (result.exitCode == k_nChildSkip) {
            std::printf("skipped %s: no userfaultfd on this machine\n", row.pchName);
            continue;
        }
        EXPECT_FALSE(result.bTimedOut) << row.pchName << ": the crash handler blocked";
        EXPECT_EQ(result.termSignal, SIGSEGV) << row.pchName << " " << result.exitCode;
        auto vecDumps = ReadDumps(Dumps());
        EXPECT_EQ(vecDumps.size(), 1u) << row.pchName;
        if (!vecDumps.empty()) {
            EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "\n") << row.pchName;
        }
        for (const DumpFile& dump : vecDumps) {
            unlink(dump.sPath.c_str());
        }
    }
}

TEST_F(VRCrashTest, WithAnEmptyPreCrashCallbackACrashAddsNoComment) {
    auto result = RunInChild(
        [] {
            CLogBuffer::GetInstance();
            if (int nResult = InitForTest()) {
                return nResult;
            }
            Log("not in the crash dump");
            abort();
        },
        Env());
    EXPECT_EQ(result.termSignal, SIGABRT);
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 1u);
    EXPECT_EQ(vecDumps[0].sReason, "signal 6 (SIGABRT)");
    EXPECT_EQ(vecDumps[0].sComment, "");
}

TEST_F(VRCrashTest, ADebuggerAtStartDisablesAndALaterOneRefusesDumps) {
    auto result = RunInChild(
        [] {
            int fdRelease = -1;
            pid_t pidTracer = halyard_test::AttachTracer(&fdRelease);
            if (pidTracer < 0) {
                return k_nChildSkip;
            }
            InitForTest();
            bool bDisabled = BIsCrashReportingDisabled() && !BIsCrashHandlingInitialized();
            VRWriteMiniDump("X", false);  // silently nothing
            halyard_test::DetachTracer(pidTracer, fdRelease);
            VRWriteMiniDump("X", false);  // still disabled: decided once
            return bDisabled ? 0 : 1;
        },
        Env());
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStdout, "");
    EXPECT_TRUE(ReadDumps(Dumps()).empty());

    result = RunInChild(
        [] {
            if (int nResult = InitForTest()) {
                return nResult;
            }
            int fdRelease = -1;
            pid_t pidTracer = halyard_test::AttachTracer(&fdRelease);
            if (pidTracer < 0) {
                return k_nChildSkip;
            }
            VRWriteMiniDump("refused", false);
            VRWriteMiniDumpIfSetup("refused too", true);
            halyard_test::DetachTracer(pidTracer, fdRelease);
            VRWriteMiniDump("after the debugger left", false);
            return 0;
        },
        Env());
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStdout,
              "!! refusing to trigger minidump with debugger attached\n"
              "!! refusing to trigger minidump with debugger attached\n");
    auto vecDumps = ReadDumps(Dumps());
    ASSERT_EQ(vecDumps.size(), 1u);
    EXPECT_EQ(vecDumps[0].sComment, k_sPrefix + "after the debugger left\n");
}

TEST_F(VRCrashTest, RequestedDumpsFromManyThreadsKeepTheirOwnComments) {
    constexpr int k_nThreads = 4;
    constexpr int k_nDumpsEach = 5;
    auto result = RunInChild(
        [] {
            if (int nResult = InitForTest()) {
                return nResult;
            }
            std::vector<std::thread> vecThreads;
            for (int t = 0; t < k_nThreads; ++t) {
                vecThreads.emplace_back([t] {
                    for (int d = 0; d < k_nDumpsEach; ++d) {
                        std::string sComment =
                            "thread " + std::to_string(t) + " dump " + std::to_string(d);
                        VRWriteMiniDump(sComment.c_str(), d % 2 == 0);
                    }
                });
            }
            for (std::thread& thread : vecThreads) {
                thread.join();
            }
            return 0;
        },
        Env());
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    std::set<std::string> setComments;
    for (const DumpFile& dump : ReadDumps(Dumps())) {
        setComments.insert(dump.sComment);
    }
    ASSERT_EQ(setComments.size(), static_cast<size_t>(k_nThreads * k_nDumpsEach));
    for (int t = 0; t < k_nThreads; ++t) {
        for (int d = 0; d < k_nDumpsEach; ++d) {
            EXPECT_EQ(setComments.count(k_sPrefix + "thread " + std::to_string(t) + " dump " +
                                        std::to_string(d) + "\n"),
                      1u);
        }
    }
}

}  // namespace
