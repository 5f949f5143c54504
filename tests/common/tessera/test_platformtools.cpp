// Platform queries: the debugger check against a real tracer and against
// status lines bind-mounted over /proc/<pid>/status, the container check
// against os-release files bind-mounted over /etc/os-release, the dynamic
// loader wrappers and the SDL loader. Answers cached per process are checked
// in child processes.
#include "platformtools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log_recorder.h"
#include "mount_namespace.h"
#include "test_support.h"
#include "tracer.h"

namespace {

using halyard_test::AttachTracer;
using halyard_test::k_nChildSkip;
using halyard_test::RunInChild;
using halyard_test::TempDirTest;
using halyard_test::WaitFor;

TEST(PlatformTools, ConstantAnswers) {
    EXPECT_TRUE(IsPosix());
    EXPECT_FALSE(IsWorkstationLocked());
    EXPECT_FALSE(IsRunningAsService());
    EXPECT_TRUE(SetCurrentProcessExplicitAppUserModelID());
    EXPECT_TRUE(SetCurrentProcessExplicitAppUserModelID("some.app"));
}

TEST(PlatformTools, DebugSessionFollowsARealTracer) {
    // The parent asks first, so its stream exists before the fork: the child
    // must read its own status, not the inherited stream of its parent.
    EXPECT_FALSE(Plat_IsInDebugSession());
    EXPECT_FALSE(Plat_IsInDebugSessionCached());
    auto result = RunInChild([] {
        if (Plat_IsInDebugSession() || Plat_IsInDebugSessionCached()) {
            return 1;
        }
        int fdRelease = -1;
        pid_t pidTracer = AttachTracer(&fdRelease);
        if (pidTracer < 0) {
            return k_nChildSkip;
        }
        bool bTraced = Plat_IsInDebugSession() && Plat_IsInDebugSession();
        // The cached answer catches up once its reading is due.
        bool bCachedTraced = WaitFor([] { return Plat_IsInDebugSessionCached(); });
        close(fdRelease);  // the tracer exits and the kernel detaches it
        waitpid(pidTracer, nullptr, 0);
        if (!bTraced) {
            return 2;
        }
        if (Plat_IsInDebugSession()) {
            return 3;
        }
        if (!bCachedTraced) {
            return 4;
        }
        return WaitFor([] { return !Plat_IsInDebugSessionCached(); }) ? 0 : 5;
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << "cannot attach a tracer: " << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
}

class PlatformFilesTest : public TempDirTest {};

TEST_F(PlatformFilesTest, DebugSessionReadsTheTracerPidLine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "bind-mounting over /proc/<pid>/status needs root";
    }
    std::string sFake = TempPath("status");
    auto result = RunInChild([&] {
        halyard_test::WriteFile(sFake, "Name:\tx\nTracerPid:\t0\n");
        std::string sError = halyard_test::EnterPrivateMountNamespace();
        if (sError.empty()) {
            sError =
                halyard_test::BindMount(sFake, "/proc/" + std::to_string(getpid()) + "/status");
        }
        if (!sError.empty()) {
            printf("%s\n", sError.c_str());
            return k_nChildSkip;
        }
        struct Row {
            const char* pchContent;
            bool bExpected;
        };
        int nRow = 0;
        // Rewritten in place: the kept stream sees each new content.
        for (const Row& row : {Row{"Name:\tx\nTracerPid:\t0\n", false},
                               Row{"Name:\tx\nTracerPid:\t4242\nUid:\t0\n", true},
                               Row{"tracerpid:\t7\n", true}, Row{"TRACERPID:\t0\n", false},
                               Row{"Name:\tx\nState:\tR\n", false}, Row{"TracerPid: 12\n", true}}) {
            ++nRow;
            halyard_test::WriteFile(sFake, row.pchContent);
            if (Plat_IsInDebugSession() != row.bExpected) {
                printf("row %d: '%s'\n", nRow, row.pchContent);
                return nRow;
            }
        }
        return 0;
    });
    if (result.exitCode == k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    EXPECT_EQ(result.exitCode, 0) << result.strStdout;
}

TEST_F(PlatformFilesTest, ContainerCheckReadsOsReleaseOnce) {
    // This machine is no such container (asked in a child: the answer is cached).
    EXPECT_EQ(RunInChild([] { return IsRunningInAppContainer() ? 1 : 0; }).exitCode, 0);
    if (geteuid() != 0) {
        GTEST_SKIP() << "bind-mounting over /etc/os-release needs root";
    }
    struct Row {
        const char* pchContent;  // null: no os-release at all
        bool bExpected;
    };
    int nRow = 0;
    for (const Row& row :
         {Row{"NAME=\"Quill Runtime\"\nID=quillrt\nVERSION_ID=3\n", true}, Row{"ID=quillrt", true},
          Row{"ID=\"quillrt\"\n", false}, Row{"ID_LIKE=quillrt\n", false},
          Row{"ID=QuillRT\n", false}, Row{"ID=quillrt=1\n", false}, Row{"ID = quillrt\n", false},
          Row{nullptr, false}}) {
        std::string sFake = TempPath("os-release-" + std::to_string(++nRow));
        auto result = RunInChild([&] {
            std::string sError = halyard_test::EnterPrivateMountNamespace();
            if (sError.empty() && row.pchContent) {
                halyard_test::WriteFile(sFake, row.pchContent);
                sError = halyard_test::BindMount(sFake, "/etc/os-release");
            } else if (sError.empty()) {
                sError = halyard_test::MountTmpfs("/etc");
            }
            if (!sError.empty()) {
                printf("%s\n", sError.c_str());
                return k_nChildSkip;
            }
            bool bFirst = IsRunningInAppContainer();
            // Cached: a changed file does not change the answer.
            if (row.pchContent) {
                halyard_test::WriteFile(sFake, bFirst ? "ID=debian\n" : "ID=quillrt\n");
            }
            return bFirst == IsRunningInAppContainer() ? (bFirst ? 1 : 0) : 2;
        });
        if (result.exitCode == k_nChildSkip) {
            GTEST_SKIP() << result.strStdout;
        }
        EXPECT_EQ(result.exitCode, row.bExpected ? 1 : 0)
            << (row.pchContent ? row.pchContent : "(no file)");
    }
}

TEST(PlatformTools, SharedLibraryWrappers) {
    std::string sError = "untouched";
    void* pLibm = SharedLib_Load("libm.so.6", &sError);
    ASSERT_NE(pLibm, nullptr);
    EXPECT_EQ(sError, "untouched");
    auto pfnCos = reinterpret_cast<double (*)(double)>(SharedLib_GetFunction(pLibm, "cos"));
    ASSERT_NE(pfnCos, nullptr);
    EXPECT_EQ(pfnCos(0.0), 1.0);
    EXPECT_EQ(SharedLib_GetFunction(pLibm, "no_such_function_here"), nullptr);
    EXPECT_EQ(SharedLib_Unload(pLibm), 0);

    EXPECT_EQ(SharedLib_Load("libhalyard-missing.so.9", &sError), nullptr);
    EXPECT_NE(sError.find("libhalyard-missing.so.9"), std::string::npos) << sError;
    EXPECT_EQ(SharedLib_Load("libhalyard-missing.so.9"), nullptr);
    EXPECT_EQ(SharedLib_Unload(nullptr), 0);
}

TEST(PlatformTools, SDLIsLoadedOnceWithItsThreeFunctions) {
    void* pProbe = SharedLib_Load("libSDL2-2.0.so.0");
    if (!pProbe) {
        GTEST_SKIP() << "libSDL2-2.0.so.0 is not installed (scripts/setup-deps.sh installs it)";
    }
    SharedLib_Unload(pProbe);
    auto result = RunInChild([] {
        halyard_test::LogRecorder recorder;
        std::vector<CSDLDynamic*> vecSeen(4, nullptr);
        std::vector<std::thread> threads;
        for (auto& pSeen : vecSeen) {
            threads.emplace_back([&pSeen] { pSeen = &SDLDynamic(); });
        }
        for (auto& t : threads) {
            t.join();
        }
        CSDLDynamic& sdl = SDLDynamic();
        for (CSDLDynamic* pSeen : vecSeen) {
            if (pSeen != &sdl) {
                return 1;
            }
        }
        if (!sdl.m_pLibrary || !sdl.SDL_GetError || !sdl.SDL_SetThreadPriority ||
            !sdl.SDL_GetPowerInfo) {
            return 2;
        }
        return recorder.Lines().empty() ? 0 : 3;
    });
    EXPECT_EQ(result.exitCode, 0);
}

}  // namespace
