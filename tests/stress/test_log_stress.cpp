// Logging under load: eight threads write 50,000 lines each through the log
// writer set up as halyard sets it up, through several rotations, while the
// real console manager registers and unregisters as web consoles of a real
// lattice-sim open and close, replaying the history each time. What rotation
// keeps (the current file and its previous copy) holds every line whole and,
// per thread, in order without a gap; every console line is whole and in
// order too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dashboard.h"
#include "lattice_api.h"
#include "lattice_internal.h"
#include "latticetools.h"
#include "pathtools.h"
#include "sim_fixture.h"
#include "vrlog.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::ScopedEnv;
using halyard_test::SplitLines;
using halyard_test::WaitFor;

constexpr int k_nThreads = 8;
constexpr int k_nLinesPerThread = 50000;
const std::string k_sPadding(64, 'x');

// The shapes of the lines checked below. Hand-written rather than regular
// expressions: hundreds of thousands of lines are checked, in debug and
// sanitizer builds too.
// Consoles are read as `lattice-sim ctl console` shows them: one line each,
// without the final newline.
enum class ELineShape {
    Stamped,  // "<stamp> [Info] - stress T NNNNNN x...x": the files, live console lines
    Bare,     // "stress T NNNNNN x...x": the history replayed to a console
};

bool Digits(const std::string& s, size_t unAt, size_t unCount) {
    for (size_t i = unAt; i < unAt + unCount; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
    }
    return true;
}

// "Mon Dec 07 2026 11:59:17.123456": 31 characters.
bool IsStamp(const std::string& s) {
    return s.size() > 31 && s[3] == ' ' && s[7] == ' ' && Digits(s, 8, 2) && s[10] == ' ' &&
           Digits(s, 11, 4) && s[15] == ' ' && Digits(s, 16, 2) && s[18] == ':' &&
           Digits(s, 19, 2) && s[21] == ':' && Digits(s, 22, 2) && s[24] == '.' && Digits(s, 25, 6);
}

// A writer's line: its thread and number, or false when it is anything else
// (torn, joined with another, foreign).
bool ParseLine(const std::string& sLine, ELineShape eShape, int* pnThread, int* pnNumber) {
    size_t unAt = 0;
    if (eShape == ELineShape::Stamped) {
        if (!IsStamp(sLine) || sLine.compare(31, 10, " [Info] - ") != 0)
            return false;
        unAt = 41;
    }
    if (sLine.size() != unAt + 16 + k_sPadding.size() || sLine.compare(unAt, 7, "stress ") != 0 ||
        !Digits(sLine, unAt + 7, 1) || sLine[unAt + 8] != ' ' || !Digits(sLine, unAt + 9, 6) ||
        sLine[unAt + 15] != ' ' || sLine.compare(unAt + 16, k_sPadding.size(), k_sPadding) != 0) {
        return false;
    }
    *pnThread = sLine[unAt + 7] - '0';
    *pnNumber = std::stoi(sLine.substr(unAt + 9, 6));
    return true;
}

class LogStressTest : public halyard_test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(BCreateDirectoryRecursive(TempPath("home/.config/lattice").c_str()));
        halyard_test::WriteFile(TempPath("home/.config/lattice/latticepaths.vrpath"),
                                "{ \"runtime\": [\"" + TempPath("runtime") +
                                    "\"], \"config\": [\"" + TempPath("config") +
                                    "\"], \"log\": [\"" + TempPath("logs") + "\"] }");
        m_pHome = std::make_unique<ScopedEnv>("HOME", TempPath("home"));
        m_pConfigHome = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", TempPath("home/.config"));
    }
    void TearDown() override {
        CloseLog();
        VR_ShutdownInternal();
        vr::LatticeInternal_ResetModuleContext(0);
        SimTest::TearDown();
    }

    // Per thread, the line numbers in the order met; every line must be one
    // of the writers' lines, whole.
    static void Collect(const std::vector<std::string>& vecLines, ELineShape eShape,
                        std::map<int, std::vector<int>>* pmapByThread) {
        for (const std::string& sLine : vecLines) {
            int nThread = -1, nNumber = -1;
            ASSERT_TRUE(ParseLine(sLine, eShape, &nThread, &nNumber))
                << "torn or foreign: " << sLine;
            (*pmapByThread)[nThread].push_back(nNumber);
        }
    }

private:
    std::unique_ptr<ScopedEnv> m_pHome;
    std::unique_ptr<ScopedEnv> m_pConfigHome;
};

TEST_F(LogStressTest, EightWritersThroughRotationsWhileConsolesComeAndGo) {
    ASSERT_TRUE(StartSim());
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    uint32_t unToken =
        VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
    ASSERT_EQ(eError, vr::LatticeInitError_None);
    vr::LatticeInternal_ResetModuleContext(unToken);
    ASSERT_EQ(Lattice_SetupLogging(GetVRLog(), true, nullptr, nullptr, true, 131072), 0);
    const std::string sLogFile = GetVRLog()->GetLogFilePath();
    const std::string sPreviousFile = GetVRLog()->GetPreviousLogFilePath();

    std::atomic<int> nWritten{0};
    std::atomic<int> nRunning{k_nThreads};
    std::vector<std::thread> vecWriters;
    for (int t = 0; t < k_nThreads; ++t) {
        vecWriters.emplace_back([&, t] {
            for (int i = 0; i < k_nLinesPerThread; ++i) {
                Log("stress %d %06d %s\n", t, i, k_sPadding.c_str());
                nWritten.fetch_add(1, std::memory_order_relaxed);
            }
            nRunning.fetch_sub(1);
        });
    }

    // Consoles open and close as the writers go: open while about 1,500
    // lines are written, closed for about 12,000; every other time two
    // consoles overlap, and they close in the order they opened.
    CHalyardConsoleManager manager;
    auto advance = [&](int nLines) {
        int nTarget = nWritten.load() + nLines;
        return WaitFor([&] { return nWritten.load() >= nTarget || nRunning.load() == 0; },
                       std::chrono::minutes(5));
    };
    unsigned long ulConsole = 100;
    int nCycles = 0;
    while (nRunning.load() > 0) {
        bool bTwo = nCycles++ % 2 == 1;
        manager.OnConsoleOpened(++ulConsole);
        if (bTwo) {
            manager.OnConsoleOpened(ulConsole + 1000);
        }
        ASSERT_TRUE(advance(1500)) << "the writers stopped making progress";
        manager.OnConsoleClosed(ulConsole);
        if (bTwo) {
            manager.OnConsoleClosed(ulConsole + 1000);
        }
        ASSERT_TRUE(advance(12000)) << "the writers stopped making progress";
    }
    // A deadlock is a failure, not a hang: threads that do not end in time
    // cannot be joined.
    if (!WaitFor([&] { return nRunning.load() == 0; }, std::chrono::minutes(5))) {
        fprintf(stderr, "writers deadlocked\n");
        std::abort();
    }
    for (std::thread& writer : vecWriters) {
        writer.join();
    }
    EXPECT_GE(nCycles, 10);

    // The files: several rotations happened (the start-up banner is gone from
    // both), and what they keep is, per thread, the thread's last lines
    // without a gap.
    std::vector<std::string> vecKept = SplitLines(ReadFile(sPreviousFile));
    std::vector<std::string> vecCurrent = SplitLines(ReadFile(sLogFile));
    vecKept.insert(vecKept.end(), vecCurrent.begin(), vecCurrent.end());
    ASSERT_GT(vecKept.size(), 50000u);
    ASSERT_LT(vecKept.size(), static_cast<size_t>(k_nThreads * k_nLinesPerThread));
    std::map<int, std::vector<int>> mapKept;
    ASSERT_NO_FATAL_FAILURE(Collect(vecKept, ELineShape::Stamped, &mapKept));
    ASSERT_EQ(mapKept.size(), static_cast<size_t>(k_nThreads));
    for (const auto& [nThread, vecNumbers] : mapKept) {
        for (size_t i = 1; i < vecNumbers.size(); ++i) {
            ASSERT_EQ(vecNumbers[i], vecNumbers[i - 1] + 1) << "thread " << nThread;
        }
        EXPECT_EQ(vecNumbers.back(), k_nLinesPerThread - 1) << "thread " << nThread;
    }

    // The consoles: live lines (handle 0) whole and, per thread, in order;
    // replayed history (a console's own handle) whole.
    std::vector<std::string> vecLive, vecReplayed;
    for (const std::string& sLine : SplitLines(m_sim.Ctl({"console"}).strStdout)) {
        size_t unTab = sLine.find('\t');
        ASSERT_NE(unTab, std::string::npos) << sLine;
        (sLine.compare(0, unTab, "0") == 0 ? vecLive : vecReplayed)
            .push_back(sLine.substr(unTab + 1));
    }
    ASSERT_FALSE(vecLive.empty());
    ASSERT_FALSE(vecReplayed.empty());
    std::map<int, std::vector<int>> mapLive, mapReplayed;
    ASSERT_NO_FATAL_FAILURE(Collect(vecLive, ELineShape::Stamped, &mapLive));
    ASSERT_NO_FATAL_FAILURE(Collect(vecReplayed, ELineShape::Bare, &mapReplayed));
    for (const auto& [nThread, vecNumbers] : mapLive) {
        for (size_t i = 1; i < vecNumbers.size(); ++i) {
            ASSERT_GT(vecNumbers[i], vecNumbers[i - 1]) << "thread " << nThread;
        }
    }
}

}  // namespace
