// The dashboard's screenshot and console managers against a real lattice-sim:
// the managers are driven as the main loop drives them, and what reaches the
// simulator (journal, files, console lines) is checked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "dashboard.h"
#include "lattice_api.h"
#include "lattice_internal.h"
#include "logbuffer.h"
#include "mount_namespace.h"
#include "pathtools.h"
#include "quill_api.h"
#include "sim_fixture.h"
#include "systemtime.h"
#include "vrlog.h"

namespace {

using halyard_test::ScopedEnv;
using halyard_test::SplitLines;

const char k_rgchHostInterfaces[] = "QuillUtils010\0QUILLSCREENSHOTS_INTERFACE_VERSION003\0";

class DashboardTest : public halyard_test::SimTest {
protected:
    void Connect(const std::string& sConfig) {
        ASSERT_TRUE(StartSim(sConfig));
        vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
        uint32_t unToken =
            VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
        ASSERT_EQ(eError, vr::LatticeInitError_None);
        vr::LatticeInternal_ResetModuleContext(unToken);
        ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchHostInterfaces, nullptr), 0);
    }
    void Disconnect() {
        QuillAPI_Shutdown();
        VR_ShutdownInternal();
        vr::LatticeInternal_ResetModuleContext(0);
    }
    // For tests that run several simulator configurations in turn.
    void Reconnect(const std::string& sConfig) {
        Disconnect();
        m_sim.Stop();
        Connect(sConfig);
    }
    void TearDown() override {
        Disconnect();
        SimTest::TearDown();
    }
    // Polls runtime events until one of the type arrives (the simulator queues
    // taken/failed after a request); returns its record.
    bool WaitForEvent(uint32_t unType, vr::LatticeEvent_t* pEvent) {
        return halyard_test::WaitFor([&] {
            while (vr::VRSystem()->TakeNextEvent(pEvent, sizeof(*pEvent))) {
                if (pEvent->eventType == unType)
                    return true;
            }
            return false;
        });
    }
    std::vector<std::string> Requests() {
        return m_sim.JournalLines("IVRScreenshots_001::RequestScreenshotFiles");
    }
    std::vector<std::string> Submissions() { return m_sim.JournalLines("AddScreenshotPair"); }
};

const char* const k_pchEnabled =
    R"({"settings": {"userinterface": {"screenshots": true, "screenshotType": 3}}})";

TEST_F(DashboardTest, TriggerRequestsTwoFilesInTheTemporaryDirectory) {
    ScopedEnv temp("TEMP", TempDir());
    Connect(k_pchEnabled);
    CHalyardScreenshotManager manager;
    manager.OnScreenshotTriggered();
    EXPECT_NE(manager.m_unPendingHandle, 0u);

    auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        requests[0], match, std::regex(R"re("type":3,"first":"([^"]*)","second":"([^"]*)")re")))
        << requests[0];
    std::string sFirst = match[1], sSecond = match[2];
    EXPECT_TRUE(std::regex_match(
        sFirst,
        std::regex(TempDir() +
                   R"(/Screenshot_[A-Z][a-z]{2}_[A-Z][a-z]{2}_\d{2}_\d{2}-\d{2}-\d{2}_\d{4})")))
        << sFirst;
    EXPECT_EQ(sSecond, sFirst + "_VR");
    EXPECT_TRUE(Path_Exists(sFirst + ".png"));
    EXPECT_TRUE(Path_Exists(sSecond + ".png"));

    // Taken: the pair reaches the host's library once, and the handle clears.
    vr::LatticeEvent_t event = {};
    ASSERT_TRUE(WaitForEvent(521, &event));
    manager.OnScreenshotTaken();
    EXPECT_EQ(manager.m_unPendingHandle, 0u);
    auto submissions = Submissions();
    ASSERT_EQ(submissions.size(), 1u);
    EXPECT_NE(submissions[0].find(sFirst + ".png"), std::string::npos) << submissions[0];
    EXPECT_NE(submissions[0].find("\"type\":3"), std::string::npos) << submissions[0];
    manager.OnScreenshotTaken();  // nothing pending: nothing more
    EXPECT_EQ(Submissions().size(), 1u);
}

TEST_F(DashboardTest, FileNamesFollowTempThenTmpThenTheWorkingDirectory) {
    ScopedEnv temp("TEMP", std::nullopt);
    ScopedEnv tmp("TMP", "/var/x/");
    ScreenshotFileNames_t names = BuildScreenshotFileNames();
    EXPECT_EQ(names.sFirst.rfind("/var/x//Screenshot_", 0), 0u) << names.sFirst;
    EXPECT_EQ(names.sSecond, names.sFirst + "_VR");
    EXPECT_EQ(names.sFirst.find_first_of(" :", 5), std::string::npos);

    ScopedEnv noTmp("TMP", std::nullopt);
    names = BuildScreenshotFileNames();
    EXPECT_EQ(names.sFirst.rfind(".//Screenshot_", 0), 0u) << names.sFirst;
    EXPECT_EQ(names.sSecond, names.sFirst + "_VR");
    // The time text has no space, colon or slash left.
    std::string sTime = names.sFirst.substr(std::string(".//Screenshot_").size());
    EXPECT_EQ(sTime.find_first_of(" :/"), std::string::npos) << sTime;
    EXPECT_TRUE(std::regex_match(
        sTime, std::regex(R"([A-Z][a-z]{2}_[A-Z][a-z]{2}_\d{2}_\d{2}-\d{2}-\d{2}_\d{4})")))
        << sTime;
}

TEST_F(DashboardTest, DisabledOrMissingInterfacesRequestNothing) {
    // Disabled: the one "screenshots" read and nothing more.
    Connect(R"({"settings": {"userinterface": {"screenshots": false, "screenshotType": 1}}})");
    CHalyardScreenshotManager manager;
    manager.OnScreenshotTriggered();
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(manager.m_unPendingHandle, 0u);
    auto reads = m_sim.JournalLines(R"("section":"userinterface")");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(
        reads[0].find(
            R"("IVRSettings_003::GetBool","args":{"section":"userinterface","key":"screenshots"})"),
        std::string::npos)
        << reads[0];
    EXPECT_TRUE(m_sim.JournalLines("IVRScreenshots_001").empty());

    // Without a settings interface the trigger stops before anything else.
    Reconnect(R"({"settings": {"userinterface": {"screenshots": true}},
                  "withhold_interfaces": ["IVRSettings_003"]})");
    manager.OnScreenshotTriggered();
    EXPECT_TRUE(m_sim.JournalLines("IVRSettings_003::").empty());
    EXPECT_TRUE(m_sim.JournalLines("IVRScreenshots_001").empty());
    EXPECT_EQ(manager.m_unPendingHandle, 0u);
}

TEST_F(DashboardTest, MissingTypeSettingFallsThroughAndMissingScreenshotsInterfaceStops) {
    Connect(R"({"settings": {"userinterface": {"screenshots": true}},
                "withhold_interfaces": ["IVRScreenshots_001"]})");
    CHalyardScreenshotManager manager;
    manager.OnScreenshotTriggered();
    EXPECT_TRUE(Requests().empty());
    manager.OnScreenshotSubmitted(7);
    EXPECT_TRUE(Submissions().empty());
}

TEST_F(DashboardTest, SecondTriggerReplacesThePendingHandle) {
    ScopedEnv temp("TEMP", TempDir());
    Connect(R"({"settings": {"userinterface": {"screenshots": true, "screenshotType": 2}}})");
    CHalyardScreenshotManager manager;
    manager.OnScreenshotTriggered();
    uint32_t unFirst = manager.m_unPendingHandle;
    manager.OnScreenshotTriggered();
    uint32_t unSecond = manager.m_unPendingHandle;
    ASSERT_NE(unFirst, unSecond);
    manager.OnScreenshotTaken();
    ASSERT_EQ(Submissions().size(), 1u);
    // The submission asked the runtime about the second handle only.
    auto typeQueries = m_sim.JournalLines("GetScreenshotType");
    ASSERT_EQ(typeQueries.size(), 1u);
    EXPECT_NE(typeQueries[0].find("\"handle\":" + std::to_string(unSecond) + "}"),
              std::string::npos)
        << typeQueries[0];

    // A submitted event submits its own handle and leaves the pending one alone.
    manager.OnScreenshotTriggered();
    uint32_t unPending = manager.m_unPendingHandle;
    manager.OnScreenshotSubmitted(unFirst);
    EXPECT_EQ(manager.m_unPendingHandle, unPending);
    EXPECT_EQ(Submissions().size(), 2u);
    typeQueries = m_sim.JournalLines("GetScreenshotType");
    ASSERT_EQ(typeQueries.size(), 2u);
    EXPECT_NE(typeQueries[1].find("\"handle\":" + std::to_string(unFirst) + "}"), std::string::npos)
        << typeQueries[1];
    manager.OnScreenshotFailed();
    EXPECT_EQ(manager.m_unPendingHandle, 0u);
    manager.OnScreenshotTaken();
    EXPECT_EQ(Submissions().size(), 2u);
}

// Each runtime query of a submission can end it; so can a host client
// without the screenshots interface. Nothing reaches the host then, and the
// taken path still clears the pending handle.
TEST_F(DashboardTest, RuntimeErrorsOrAMissingHostInterfaceStopTheSubmission) {
    ScopedEnv temp("TEMP", TempDir());
    struct Case {
        const char* pchExtra;
        size_t unTypeQueries, unNameQueries;
    };
    const Case rgCases[] = {
        {R"("screenshots": {"fail_filename_kinds": [1]})", 1, 2},
        {R"("screenshots": {"fail_filename_kinds": [0]})", 1, 1},
        {R"("screenshots": {"fail_type_query": true})", 1, 0},
        {R"("host": {"withhold_interfaces": ["QUILLSCREENSHOTS_INTERFACE_VERSION003"]})", 1, 2},
    };
    for (const Case& c : rgCases) {
        Reconnect(std::string(R"({"settings": {"userinterface": {"screenshots": true}}, )") +
                  c.pchExtra + "}");
        CHalyardScreenshotManager manager;
        manager.OnScreenshotTriggered();
        ASSERT_NE(manager.m_unPendingHandle, 0u) << c.pchExtra;
        manager.OnScreenshotTaken();
        EXPECT_EQ(manager.m_unPendingHandle, 0u) << c.pchExtra;
        EXPECT_TRUE(Submissions().empty()) << c.pchExtra;
        EXPECT_EQ(m_sim.JournalLines("GetScreenshotType").size(), c.unTypeQueries) << c.pchExtra;
        EXPECT_EQ(m_sim.JournalLines("GetScreenshotFileName").size(), c.unNameQueries)
            << c.pchExtra;
        if (c.unNameQueries == 1) {
            EXPECT_TRUE(m_sim.JournalLines(R"("kind":1)").empty());
        }
    }

    // A submitted event for a handle the runtime does not know: the type
    // query fails and nothing more is asked.
    Reconnect("{}");
    CHalyardScreenshotManager manager;
    manager.OnScreenshotSubmitted(4242);
    EXPECT_EQ(m_sim.JournalLines(R"("handle":4242)").size(), 1u);
    EXPECT_TRUE(m_sim.JournalLines("GetScreenshotFileName").empty());
    EXPECT_TRUE(Submissions().empty());
}

// A faulty runtime that fills a file-name buffer to its end without a
// terminator, 'a's for the first name and 'b's for the second. The stand-in
// never answers like this.
class CUnterminatedScreenshots : public vr::IVRScreenshots {
public:
    vr::EScreenshotError RequestScreenshotFiles(vr::ScreenshotHandle_t*, vr::EScreenshotType,
                                                const char*, const char*) override {
        return vr::EScreenshotError{};
    }
    uint64_t Unused1() override { return 0; }
    vr::EScreenshotType GetScreenshotType(vr::ScreenshotHandle_t,
                                          vr::EScreenshotError* pError) override {
        *pError = vr::EScreenshotError{};
        return static_cast<vr::EScreenshotType>(1);
    }
    uint32_t GetScreenshotFileName(vr::ScreenshotHandle_t, vr::EScreenshotFileKind eKind,
                                   char* pchFileName, uint32_t cchFileName,
                                   vr::EScreenshotError* pError) override {
        std::memset(pchFileName, eKind == 0 ? 'a' : 'b', cchFileName);
        *pError = vr::EScreenshotError{};
        return cchFileName;
    }
};

// File names reach the host client cut to the 259 bytes the buffer holds
// before its terminator, never read past the buffer.
TEST_F(DashboardTest, FileNamesThatFillTheBufferAreCutBeforeTheHostClient) {
    Connect("{}");
    CUnterminatedScreenshots screenshots;
    vr::VRScreenshots();  // the token is current: the slot is not thrown away below
    vr::LatticeInternal_ModuleContext().m_rgpSlots[vr::CLatticeModuleContext::k_nSlotScreenshots] =
        &screenshots;
    CHalyardScreenshotManager manager;
    manager.OnScreenshotSubmitted(7);
    vr::LatticeInternal_ModuleContext().Clear();
    auto submissions = Submissions();
    ASSERT_EQ(submissions.size(), 1u);
    EXPECT_NE(submissions[0].find(R"("type":1,"first":")" + std::string(259, 'a') +
                                  R"(","second":")" + std::string(259, 'b') + "\""),
              std::string::npos)
        << submissions[0];
}

// The handlers' trace events, written to a marker file bind-mounted in a
// private mount namespace (a child process; needs root). Each handler
// brackets its work with a begin and an end line of one event id; the
// failed event writes none, and a disabled trigger writes nothing else.
TEST_F(DashboardTest, HandlersBracketTheirWorkWithTraceEvents) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting over the marker paths needs root";
    }
    ScopedEnv temp("TEMP", TempDir());
    ASSERT_TRUE(StartSim(R"({"settings": {"userinterface": {"screenshots": false}}})"));
    const char* const pchMarker = "/sys/kernel/debug/tracing/trace_marker";
    auto result = halyard_test::RunInChild([&] {
        std::string sError = halyard_test::EnterPrivateMountNamespace();
        if (sError.empty())
            sError = halyard_test::MountTmpfs("/sys/kernel/debug");
        if (sError.empty() && mkdir("/sys/kernel/debug/tracing", 0755) != 0)
            sError = "mkdir /sys/kernel/debug/tracing";
        if (!sError.empty()) {
            printf("%s\n", sError.c_str());
            return halyard_test::k_nChildSkip;
        }
        halyard_test::WriteFile(pchMarker, "");
        // Markers are written once the process is 5 s into its system time.
        InitSystemBaseTimeTicks(GetSystemBaseTicks() - 6 * GetSystemTimeFrequency());
        vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
        vr::LatticeInternal_ResetModuleContext(
            VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }"));
        if (eError != vr::LatticeInitError_None ||
            QuillInternal_QuillAPI_Init(k_rgchHostInterfaces, nullptr) != 0)
            return 1;
        CHalyardScreenshotManager manager;
        manager.OnScreenshotTriggered();  // disabled
        if (m_sim.Ctl({"setting", "userinterface", "screenshots", "true"}).exitCode != 0)
            return 2;
        manager.OnScreenshotTriggered();
        uint32_t unHandle = manager.m_unPendingHandle;
        manager.OnScreenshotTaken();
        manager.OnScreenshotFailed();
        manager.OnScreenshotSubmitted(unHandle);
        printf("%s", halyard_test::ReadFile(pchMarker).c_str());
        QuillAPI_Shutdown();
        VR_ShutdownInternal();
        return 0;
    });
    if (result.exitCode == halyard_test::k_nChildSkip) {
        GTEST_SKIP() << result.strStdout;
    }
    ASSERT_EQ(result.exitCode, 0) << result.strStdout << result.strStderr;
    EXPECT_EQ(Submissions().size(), 2u);

    // One entry per marker line: "begin|end context location name", with
    // each end matching the innermost open begin's id.
    std::vector<std::string> events;
    std::vector<std::string> openIds;
    std::regex marker(R"(\[(\w+)\] (begin|end)_ctx=(\d+) tgid=(\d+) file=(\S+) ([^\[]*))");
    std::string sMarkers = result.strStdout;
    for (auto it = std::sregex_iterator(sMarkers.begin(), sMarkers.end(), marker);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        EXPECT_NE(m[4].str(), std::to_string(getpid()));  // the child's own pid
        if (m[2] == "begin") {
            openIds.push_back(m[3]);
        } else {
            ASSERT_FALSE(openIds.empty()) << sMarkers;
            EXPECT_EQ(openIds.back(), m[3].str()) << sMarkers;
            openIds.pop_back();
        }
        events.push_back(m[2].str() + " " + m[1].str() + " " + m[5].str() + " '" + m[6].str() +
                         "'");
    }
    EXPECT_TRUE(openIds.empty());
    std::vector<std::string> expected = {
        "begin OnScreenshotTriggered dashboard.cpp:30 ''",
        "end OnScreenshotTriggered dashboard.cpp:30 ''",
        "begin OnScreenshotTriggered dashboard.cpp:30 ''",
        "end OnScreenshotTriggered dashboard.cpp:30 ''",
        "begin OnScreenshotTaken dashboard.cpp:131 ''",
        "begin SubmitScreenShotToQuill dashboard.cpp:89 ''",
        "end SubmitScreenShotToQuill dashboard.cpp:89 ''",
        "end OnScreenshotTaken dashboard.cpp:131 ''",
        "begin OnScreenshotSubmitted dashboard.cpp:157 ''",
        "begin SubmitScreenShotToQuill dashboard.cpp:89 ''",
        "end SubmitScreenShotToQuill dashboard.cpp:89 ''",
        "end OnScreenshotSubmitted dashboard.cpp:157 ''",
    };
    EXPECT_EQ(events, expected) << sMarkers;
}

class ConsoleTest : public DashboardTest {
protected:
    void SetUp() override {
        DashboardTest::SetUp();
        ASSERT_TRUE(m_writer.InitLog(TempDir().c_str(), "halyard", false, 0));
    }
    void TearDown() override {
        m_writer.CloseLog();
        DashboardTest::TearDown();
    }
    std::vector<std::string> ConsoleLines() { return SplitLines(m_sim.Ctl({"console"}).strStdout); }
    CVRLog& m_writer = *GetVRLog();
};

TEST_F(ConsoleTest, ConsolesGetTheHistoryThenLiveLines) {
    Connect("{}");
    CLogBuffer::GetInstance()->SetBufferLimit(65536);
    Log("history line");
    {
        CHalyardConsoleManager manager;
        manager.OnConsoleOpened(5000000000ul);  // above 32 bits
        manager.OnConsoleOpened(5000000000ul);  // again: no second replay
        Log("live line");
        manager.OnConsoleOpened(7);
        manager.OnConsoleClosed(5000000000ul);
        Log("still forwarded");
        manager.OnConsoleClosed(99);  // not open: nothing
        manager.OnConsoleClosed(7);
        EXPECT_TRUE(manager.OpenConsoles().empty());
        Log("not forwarded");
        manager.OnConsoleOpened(8);
        // destroyed with a console open: unregisters
    }
    Log("after destruction");

    std::vector<std::string> lines = ConsoleLines();
    auto count = [&](const std::string& sHandle, const std::string& sText) {
        int n = 0;
        for (const auto& sLine : lines) {
            n += sLine.rfind(sHandle + "\t", 0) == 0 && sLine.find(sText) != std::string::npos;
        }
        return n;
    };
    EXPECT_EQ(count("5000000000", "history line"), 1);
    EXPECT_EQ(count("0", "live line"), 1);
    EXPECT_EQ(count("7", "history line"), 1);
    EXPECT_EQ(count("7", "live line"), 1);  // its own replay holds the live line too
    EXPECT_EQ(count("0", "still forwarded"), 1);
    EXPECT_EQ(count("0", "not forwarded"), 0);
    EXPECT_EQ(count("0", "after destruction"), 0);
    // Live lines carry the file's prefix; replayed ones do not.
    for (const auto& sLine : lines) {
        if (sLine.rfind("0\t", 0) == 0) {
            EXPECT_NE(sLine.find("[Info] - "), std::string::npos) << sLine;
        } else {
            EXPECT_EQ(sLine.find("[Info] - "), std::string::npos) << sLine;
        }
    }
}

// Console ids are whole 64-bit values: an id and the same id cut to 32 bits
// are two consoles.
TEST_F(ConsoleTest, ConsoleIdsAreMatchedAsFull64BitValues) {
    Connect("{}");
    CLogBuffer::GetInstance()->SetBufferLimit(65536);
    Log("history line of the wide-id test");
    const unsigned long ulWide = 5000000000ul;
    const unsigned long ulCut = ulWide & 0xFFFFFFFFul;
    CHalyardConsoleManager manager;
    manager.OnConsoleOpened(ulWide);
    manager.OnConsoleOpened(ulCut);
    EXPECT_EQ(manager.OpenConsoles(), (std::list<uint64_t>{ulWide, ulCut}));
    manager.OnConsoleClosed(ulCut);
    EXPECT_EQ(manager.OpenConsoles(), (std::list<uint64_t>{ulWide}));
    Log(LogLevel_Warning, "live line of the wide-id test");
    manager.OnConsoleClosed(ulWide);
    EXPECT_TRUE(manager.OpenConsoles().empty());

    std::vector<std::string> lines = ConsoleLines();
    auto count = [&](unsigned long ulHandle, const std::string& sText) {
        int n = 0;
        for (const auto& sLine : lines) {
            n += sLine.rfind(std::to_string(ulHandle) + "\t", 0) == 0 &&
                 sLine.find(sText) != std::string::npos;
        }
        return n;
    };
    EXPECT_EQ(count(ulWide, "history line of the wide-id test"), 1);
    EXPECT_EQ(count(ulCut, "history line of the wide-id test"), 1);
    EXPECT_EQ(count(0, "live line of the wide-id test"),
              1);  // still registered while the wide id is open
    // The line reaches the control panel with the writer's log name and level.
    std::string sJson = m_sim.Ctl({"console", "--json"}).strStdout;
    EXPECT_TRUE(std::regex_search(
        sJson,
        std::regex(
            R"re("handle":0,"log":"halyard","time_ms":\d+,"level":2,"text":"[^"]*live line)re")))
        << sJson;
}

// The real manager, counting what the log writer hands it.
class CCountingConsoleManager : public CHalyardConsoleManager {
public:
    void LogMessage(unsigned long ulConsoleHandle, const char* pchLogName,
                    unsigned int unTimestampMs, ELogLevel eLevel, const char* pchText) override {
        ++m_mapCalls[ulConsoleHandle];
        CHalyardConsoleManager::LogMessage(ulConsoleHandle, pchLogName, unTimestampMs, eLevel,
                                           pchText);
    }
    std::map<unsigned long, int> m_mapCalls;
};

TEST_F(ConsoleTest, WithoutAControlPanelLinesAreDropped) {
    Connect(R"({"withhold_interfaces": ["IVRControlPanel_006"]})");
    CLogBuffer::GetInstance()->SetBufferLimit(65536);
    Log("history line");
    CCountingConsoleManager manager;
    manager.OnConsoleOpened(1);
    EXPECT_EQ(manager.OpenConsoles().size(), 1u);
    // The history was replayed to the console and live lines still arrive:
    // the listener is registered even though every line is dropped.
    EXPECT_GE(manager.m_mapCalls[1], 1);
    Log("dropped");
    EXPECT_EQ(manager.m_mapCalls[0], 1);
    EXPECT_TRUE(ConsoleLines().empty());
    EXPECT_TRUE(m_sim.JournalLines("ShowConsoleLine").empty());
}

}  // namespace
