// The runtime client library stand-in against a real lattice-sim process.
#include <json/json.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "lattice_api.h"
#include "sim_fixture.h"

namespace {

using halyard_test::ReadFile;
using halyard_test::ScopedEnv;
using halyard_test::SplitLines;

class LatticeApiTest : public halyard_test::SimTest {
protected:
    void TearDown() override {
        VR_ShutdownInternal();
        SimTest::TearDown();
    }

    uint32_t Init(vr::ELatticeInitError* peError = nullptr) {
        vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
        uint32_t unToken =
            VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{\"is_system_process\" : true }");
        if (peError) {
            *peError = eError;
        } else {
            EXPECT_EQ(eError, vr::LatticeInitError_None) << VR_GetVRInitErrorAsSymbol(eError);
        }
        return unToken;
    }

    vr::IVRSystem* System() {
        return static_cast<vr::IVRSystem*>(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr));
    }

    // Reads the raw record the way a consumer does: type at 0, data at 12.
    static uint32_t TypeAt0(const vr::LatticeEvent_t& event) {
        uint32_t unType = 0;
        std::memcpy(&unType, reinterpret_cast<const char*>(&event), 4);
        return unType;
    }
    static uint64_t DataAt12(const vr::LatticeEvent_t& event) {
        uint64_t ulData = 0;
        std::memcpy(&ulData, reinterpret_cast<const char*>(&event) + 12, 8);
        return ulData;
    }
};

TEST_F(LatticeApiTest, WithoutSimulatorEveryCallFailsAtOnce) {
    // No simulator at the socket path, then a socket file nobody accepts on.
    for (bool bStaleSocket : {false, true}) {
        int fdStale = -1;
        if (bStaleSocket) {
            fdStale = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::string strPath = TempPath("sim.sock");
            std::memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
            ASSERT_EQ(bind(fdStale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        }
        vr::ELatticeInitError eError = vr::LatticeInitError_None;
        EXPECT_EQ(Init(&eError), 0u);
        EXPECT_EQ(eError, vr::LatticeInitError_RuntimeUnreachable);
        EXPECT_STREQ(VR_GetVRInitErrorAsSymbol(eError), "LatticeInitError_RuntimeUnreachable");
        EXPECT_FALSE(VR_IsInterfaceVersionValid(vr::IVRSystem_Version));
        eError = vr::LatticeInitError_None;
        EXPECT_EQ(VR_GetGenericInterface(vr::IVRSystem_Version, &eError), nullptr);
        EXPECT_EQ(eError, vr::LatticeInitError_NotInitialized);
        EXPECT_EQ(VRControlPanel(), nullptr);
        VR_ShutdownInternal();
        if (fdStale >= 0) {
            close(fdStale);
            unlink(TempPath("sim.sock").c_str());
        }
    }
}

TEST_F(LatticeApiTest, InitReportsConfiguredErrorsWithSymbols) {
    ASSERT_TRUE(StartSim(R"({"init_error": 108})"));
    vr::ELatticeInitError eError = vr::LatticeInitError_None;
    EXPECT_EQ(Init(&eError), 0u);
    EXPECT_EQ(eError, vr::LatticeInitError_HeadsetNotFound);
    EXPECT_EQ(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr), nullptr);

    // Every code the library can return has its own symbol; others too.
    EXPECT_STREQ(VR_GetVRInitErrorAsSymbol(vr::LatticeInitError_None), "LatticeInitError_None");
    EXPECT_STREQ(VR_GetVRInitErrorAsSymbol(static_cast<vr::ELatticeInitError>(105)),
                 "LatticeInitError_InterfaceVersionNotServed");
    std::set<std::string> symbols;
    for (int nCode : {0, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110}) {
        symbols.insert(VR_GetVRInitErrorAsSymbol(static_cast<vr::ELatticeInitError>(nCode)));
    }
    EXPECT_EQ(symbols.size(), 12u);
    EXPECT_STREQ(VR_GetVRInitErrorAsSymbol(static_cast<vr::ELatticeInitError>(4242)),
                 "LatticeInitError_Unrecognized(4242)");
}

TEST_F(LatticeApiTest, InitValidatesApplicationTypeAndStartupInfo) {
    ASSERT_TRUE(StartSim());
    vr::ELatticeInitError eError = vr::LatticeInitError_None;
    VR_InitInternal2(&eError, static_cast<vr::ELatticeAppType>(77), nullptr);
    EXPECT_EQ(eError, vr::LatticeInitError_InvalidApplicationType);
    VR_InitInternal2(&eError, vr::LatticeApp_Overlay, "{not json");
    EXPECT_EQ(eError, vr::LatticeInitError_InvalidStartupInfo);
    EXPECT_NE(Init(), 0u);
    std::vector<std::string> lines = m_sim.JournalLines("\"VR_InitInternal2\"");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find(R"("application_type":2)"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(R"("startup_info":"{\"is_system_process\" : true }")"),
              std::string::npos)
        << lines[2];
}

TEST_F(LatticeApiTest, InterfacesAreServedByVersion) {
    ASSERT_TRUE(
        StartSim(R"({"withhold_interfaces": ["IVRCompositor_029", "IVRControlPanel_006"]})"));
    Init();
    EXPECT_TRUE(VR_IsInterfaceVersionValid("IVRSystem_023"));
    EXPECT_FALSE(VR_IsInterfaceVersionValid("IVRCompositor_029"));
    EXPECT_FALSE(VR_IsInterfaceVersionValid("IVRSystem_999"));

    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    void* pSystem = VR_GetGenericInterface("IVRSystem_023", &eError);
    EXPECT_NE(pSystem, nullptr);
    EXPECT_EQ(eError, vr::LatticeInitError_None);
    EXPECT_EQ(VR_GetGenericInterface("IVRSystem_023", nullptr), pSystem);
    EXPECT_NE(VR_GetGenericInterface("IVRChaperone_004", nullptr), nullptr);

    EXPECT_EQ(VR_GetGenericInterface("IVRCompositor_029", &eError), nullptr);
    EXPECT_EQ(eError, vr::LatticeInitError_InterfaceVersionNotServed);
    EXPECT_EQ(VR_GetGenericInterface(nullptr, &eError), nullptr);
    EXPECT_EQ(VRControlPanel(), nullptr);
    EXPECT_EQ(m_sim.JournalLines(R"("call":"VR_GetGenericInterface")").size(), 4u);
}

// A refused version is reported valid but never handed out.
TEST_F(LatticeApiTest, RefusedInterfacesAreValidButNotHandedOut) {
    ASSERT_TRUE(StartSim(R"({"refuse_interfaces": ["IVRSystem_023", "IVRControlPanel_006"]})"));
    Init();
    EXPECT_TRUE(VR_IsInterfaceVersionValid("IVRSystem_023"));
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    EXPECT_EQ(VR_GetGenericInterface("IVRSystem_023", &eError), nullptr);
    EXPECT_EQ(eError, vr::LatticeInitError_InterfaceVersionNotServed);
    EXPECT_EQ(VRControlPanel(), nullptr);
    EXPECT_NE(VR_GetGenericInterface("IVRSettings_003", nullptr), nullptr);
}

TEST_F(LatticeApiTest, InitTokenChangesAtOnceOnReconnect) {
    ASSERT_TRUE(StartSim());
    uint32_t unToken = Init();
    EXPECT_NE(unToken, 0u);
    EXPECT_EQ(VR_GetInitToken(), unToken);
    auto result = m_sim.Ctl({"reconnect"});
    ASSERT_EQ(result.exitCode, 0) << result.strStderr;
    EXPECT_EQ(result.strStdout, std::to_string(unToken + 1) + "\n");
    // No call in between: the token is read from the page the simulator shares.
    EXPECT_EQ(VR_GetInitToken(), unToken + 1);
    // A new init answers the current token.
    EXPECT_EQ(Init(), unToken + 1);
    VR_ShutdownInternal();
    EXPECT_EQ(VR_GetInitToken(), unToken + 1);
}

TEST_F(LatticeApiTest, EventsArriveInOrderWithTheRecordLayout) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRSystem* pSystem = System();
    ASSERT_NE(pSystem, nullptr);
    vr::LatticeEvent_t event{};
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));

    ASSERT_EQ(m_sim.Ctl({"console-open", "81985529216486895"}).exitCode, 0);  // 0x123456789ABCDEF
    ASSERT_EQ(m_sim.Ctl({"screenshot"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"event", "523", "0x1122334455667788"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"event", "9999", "--hex", "0102", "--device", "3"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"console-close", "81985529216486895"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"quit"}).exitCode, 0);

    // A record of another size is refused without taking an event.
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, 59));
    EXPECT_FALSE(pSystem->TakeNextEvent(nullptr, sizeof(event)));

    struct Expected {
        uint32_t unType;
        uint64_t ulData;
    };
    const Expected expected[] = {{420, 0x123456789ABCDEFull},  {516, 0},
                                 {523, 0x1122334455667788ull}, {9999, 0x0201},
                                 {421, 0x123456789ABCDEFull},  {700, 0}};
    for (const Expected& want : expected) {
        ASSERT_TRUE(pSystem->TakeNextEvent(&event, sizeof(event)));
        EXPECT_EQ(TypeAt0(event), want.unType);
        EXPECT_EQ(DataAt12(event), want.ulData) << want.unType;
    }
    EXPECT_EQ(event.data.screenshot.handle, 0u);
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));

    // A burst larger than one fetch keeps its order.
    ASSERT_EQ(m_sim.Ctl({"event", "1000", "7", "--count", "700"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"event", "1001"}).exitCode, 0);
    int nCount = 0;
    while (pSystem->TakeNextEvent(&event, sizeof(event)) && event.eventType == 1000) {
        EXPECT_EQ(DataAt12(event), 7u);
        ++nCount;
    }
    EXPECT_EQ(nCount, 700);
    EXPECT_EQ(event.eventType, 1001u);
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));
}

TEST_F(LatticeApiTest, EventsFetchedAheadGoBackAtShutdown) {
    ASSERT_TRUE(StartSim());
    Init();
    ASSERT_EQ(m_sim.Ctl({"event", "1", "--count", "3"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"event", "2"}).exitCode, 0);
    vr::LatticeEvent_t event{};
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    VR_ShutdownInternal();
    Init();
    std::vector<uint32_t> types;
    while (System()->TakeNextEvent(&event, sizeof(event))) {
        types.push_back(event.eventType);
    }
    EXPECT_EQ(types, (std::vector<uint32_t>{1, 1, 2}));
}

TEST_F(LatticeApiTest, StallHoldsTheNextPoll) {
    ASSERT_TRUE(StartSim());
    Init();
    ASSERT_EQ(m_sim.Ctl({"event", "5", "--count", "2"}).exitCode, 0);
    vr::LatticeEvent_t event{};
    // The first poll fetches both events; the stall must still hold the next.
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    ASSERT_EQ(m_sim.Ctl({"stall", "400"}).exitCode, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_EQ(event.eventType, 5u);
    EXPECT_EQ(m_sim.JournalLines("\"stalled_ms\":400").size(), 1u);
    // Only the next poll.
    EXPECT_FALSE(System()->TakeNextEvent(&event, sizeof(event)));

    // --polls: each of the next N polls waits, even with events already fetched.
    ASSERT_EQ(m_sim.Ctl({"event", "6", "--count", "2"}).exitCode, 0);
    ASSERT_EQ(m_sim.Ctl({"stall", "300", "--polls", "2"}).exitCode, 0);
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, 6u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    EXPECT_EQ(m_sim.JournalLines("\"stalled_ms\":300").size(), 2u);
    EXPECT_FALSE(System()->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(m_sim.JournalLines("\"stalled_ms\":300").size(), 2u);
}

TEST_F(LatticeApiTest, SettingsReadBoolAndInt32) {
    ASSERT_TRUE(StartSim(R"({"settings": {"orrery": {"loglevel": 4, "flag": true, "ratio": 2.5,
                                                    "startOverlayAppsFromDashboard": null},
                                         "userinterface": {"screenshots": false, "name": "x"}}})"));
    Init();
    auto* pSettings =
        static_cast<vr::IVRSettings*>(VR_GetGenericInterface(vr::IVRSettings_Version, nullptr));
    ASSERT_NE(pSettings, nullptr);
    vr::ESettingsError eError = vr::SettingsError_NotConnected;
    EXPECT_EQ(pSettings->GetInt32("orrery", "loglevel", &eError), 4);
    EXPECT_EQ(eError, vr::SettingsError_None);
    EXPECT_TRUE(pSettings->GetBool("orrery", "flag", &eError));
    EXPECT_FALSE(pSettings->GetBool("userinterface", "screenshots", nullptr));
    EXPECT_TRUE(pSettings->GetBool("orrery", "loglevel", nullptr));
    EXPECT_EQ(pSettings->GetInt32("orrery", "flag", nullptr), 1);
    EXPECT_EQ(pSettings->GetInt32("orrery", "ratio", nullptr), 2);
    // A default the file leaves alone stays; one it sets to null is absent.
    EXPECT_EQ(pSettings->GetInt32("userinterface", "screenshotType", &eError), 2);
    EXPECT_EQ(eError, vr::SettingsError_None);
    // Absent keys answer false / 0 and say so when asked.
    EXPECT_FALSE(pSettings->GetBool("orrery", "startOverlayAppsFromDashboard", &eError));
    EXPECT_EQ(eError, vr::SettingsError_KeyNotSet);
    EXPECT_EQ(pSettings->GetInt32("nosection", "loglevel", &eError), 0);
    EXPECT_EQ(eError, vr::SettingsError_KeyNotSet);
    EXPECT_EQ(pSettings->GetInt32("userinterface", "name", &eError), 0);
    EXPECT_EQ(eError, vr::SettingsError_WrongType);
    EXPECT_EQ(pSettings->GetInt32(nullptr, nullptr, nullptr), 0);
    // ctl changes a value for the next read.
    ASSERT_EQ(m_sim.Ctl({"setting", "orrery", "startOverlayAppsFromDashboard", "true"}).exitCode,
              0);
    EXPECT_TRUE(pSettings->GetBool("orrery", "startOverlayAppsFromDashboard", nullptr));
    ASSERT_EQ(m_sim.Ctl({"setting", "orrery", "loglevel", "1"}).exitCode, 0);
    EXPECT_EQ(pSettings->GetInt32("orrery", "loglevel", nullptr), 1);
    EXPECT_FALSE(
        m_sim.JournalLines(R"("call":"IVRSettings_003::GetBool","args":{"section":"orrery")")
            .empty());
}

// Checks the PNG signature, the chunk CRCs and the IHDR size.
void ExpectValidPng(const std::string& strPath, uint32_t unWidth, uint32_t unHeight) {
    std::string data = ReadFile(strPath);
    ASSERT_GT(data.size(), 8u) << strPath;
    ASSERT_EQ(data.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto U32 = [&](size_t n) {
        return (uint32_t(uint8_t(data[n])) << 24) | (uint32_t(uint8_t(data[n + 1])) << 16) |
               (uint32_t(uint8_t(data[n + 2])) << 8) | uint32_t(uint8_t(data[n + 3]));
    };
    auto Crc = [](const std::string& bytes) {
        uint32_t c = 0xFFFFFFFFu;
        for (unsigned char b : bytes) {
            c ^= b;
            for (int k = 0; k < 8; ++k) {
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            }
        }
        return ~c;
    };
    std::vector<std::string> chunks;
    for (size_t n = 8; n + 12 <= data.size();) {
        uint32_t cub = U32(n);
        ASSERT_LE(n + 12 + cub, data.size());
        std::string typed = data.substr(n + 4, 4 + cub);
        EXPECT_EQ(Crc(typed), U32(n + 8 + cub)) << typed.substr(0, 4);
        chunks.push_back(typed.substr(0, 4));
        if (chunks.back() == "IHDR") {
            EXPECT_EQ(U32(n + 8), unWidth);
            EXPECT_EQ(U32(n + 12), unHeight);
        }
        n += 12 + cub;
    }
    EXPECT_EQ(chunks, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
}

TEST_F(LatticeApiTest, ScreenshotsAreRealFilesFollowedByTheTakenEvent) {
    ASSERT_TRUE(StartSim(R"({"screenshots": {"fail_filename_kinds": [1]}})"));
    Init();
    auto* pShots = static_cast<vr::IVRScreenshots*>(
        VR_GetGenericInterface(vr::IVRScreenshots_Version, nullptr));
    ASSERT_NE(pShots, nullptr);
    std::string strFirst = TempPath("Screenshot_Mon_Dec_07_12-00-33_2026");
    std::string strSecond = strFirst + "_VR";
    vr::ScreenshotHandle_t handle = 0;
    EXPECT_EQ(pShots->RequestScreenshotFiles(&handle, vr::ScreenshotType_Stereo, strFirst.c_str(),
                                             strSecond.c_str()),
              vr::ScreenshotError_None);
    EXPECT_NE(handle, 0u);
    ExpectValidPng(strFirst + ".png", 16, 9);
    ExpectValidPng(strSecond + ".png", 32, 9);

    vr::LatticeEvent_t event{};
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, vr::LatticeEvent_ScreenshotTaken);
    EXPECT_EQ(event.data.screenshot.handle, handle);

    vr::EScreenshotError eError = vr::ScreenshotError_NotConnected;
    EXPECT_EQ(pShots->GetScreenshotType(handle, &eError), vr::ScreenshotType_Stereo);
    EXPECT_EQ(eError, vr::ScreenshotError_None);
    char rgchName[260];
    EXPECT_EQ(pShots->GetScreenshotFileName(handle, vr::ScreenshotFile_First, rgchName,
                                            sizeof(rgchName), &eError),
              strFirst.size() + 5);
    EXPECT_EQ(eError, vr::ScreenshotError_None);
    EXPECT_EQ(std::string(rgchName), strFirst + ".png");
    // Kind 1 is configured to fail; a small buffer is reported with the size needed.
    pShots->GetScreenshotFileName(handle, vr::ScreenshotFile_Second, rgchName, sizeof(rgchName),
                                  &eError);
    EXPECT_EQ(eError, vr::ScreenshotError_RequestFailed);
    EXPECT_EQ(pShots->GetScreenshotFileName(handle, vr::ScreenshotFile_First, rgchName, 4, &eError),
              strFirst.size() + 5);
    EXPECT_EQ(eError, vr::ScreenshotError_BufferTooSmall);
    pShots->GetScreenshotType(handle + 100, &eError);
    EXPECT_EQ(eError, vr::ScreenshotError_UnknownHandle);
    EXPECT_EQ(pShots->RequestScreenshotFiles(&handle, vr::ScreenshotType_Stereo, "", "x"),
              vr::ScreenshotError_InvalidArgument);
}

TEST_F(LatticeApiTest, ScreenshotFailuresQueueTheFailedEvent) {
    ASSERT_TRUE(StartSim(R"({"screenshots": {"outcome": "failed"}})"));
    Init();
    auto* pShots = static_cast<vr::IVRScreenshots*>(
        VR_GetGenericInterface(vr::IVRScreenshots_Version, nullptr));
    vr::ScreenshotHandle_t handle = 0;
    std::string strFirst = TempPath("a"), strSecond = TempPath("b");
    pShots->RequestScreenshotFiles(&handle, vr::ScreenshotType_Flat, strFirst.c_str(),
                                   strSecond.c_str());
    vr::LatticeEvent_t event{};
    ASSERT_TRUE(System()->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, vr::LatticeEvent_ScreenshotFailed);
    EXPECT_EQ(event.data.screenshot.handle, handle);
    EXPECT_NE(access((strFirst + ".png").c_str(), F_OK), 0);
}

TEST_F(LatticeApiTest, ControlPanelLinesReachTheConsoles) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRControlPanel* pPanel = VRControlPanel();
    ASSERT_NE(pPanel, nullptr);
    pPanel->ShowConsoleLine(0, "halyard", 1234, 3, "first line\n");
    pPanel->ShowConsoleLine(18446744073709551615ull, "halyard", 1235, 1, "to one console\n");
    pPanel->StartOverlayApplications();
    auto result = m_sim.Ctl({"console"});
    EXPECT_EQ(result.strStdout, "0\tfirst line\n18446744073709551615\tto one console\n");
    result = m_sim.Ctl({"console", "--json"});
    Json::Value line;
    std::string strErrors;
    std::unique_ptr<Json::CharReader> pReader(Json::CharReaderBuilder().newCharReader());
    std::string strFirst = SplitLines(result.strStdout).at(0);
    ASSERT_TRUE(
        pReader->parse(strFirst.data(), strFirst.data() + strFirst.size(), &line, &strErrors));
    EXPECT_EQ(line["log"].asString(), "halyard");
    EXPECT_EQ(line["time_ms"].asUInt(), 1234u);
    EXPECT_EQ(line["level"].asInt(), 3);
    EXPECT_EQ(m_sim.JournalLines("IVRControlPanel_006::StartOverlayApplications").size(), 1u);
}

// Console lines go out without waiting for an answer. Whatever asks the
// simulator afterwards still sees every one of them, in order, exactly once:
// a call that needs an answer (journaled after the last line) and `ctl`.
TEST_F(LatticeApiTest, ConsoleLinesNeedNoAnswerYetNothingOvertakesThem) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRControlPanel* pPanel = VRControlPanel();
    ASSERT_NE(pPanel, nullptr);
    const int nLines = 10000;
    auto expectAllInOrder = [&](const std::string& sShown, const std::string& sPrefix,
                                const std::string& sSuffix) {
        std::vector<std::string> lines = SplitLines(sShown);
        ASSERT_EQ(lines.size(), static_cast<size_t>(nLines)) << sPrefix;
        for (int i = 0; i < nLines; ++i) {
            ASSERT_EQ(lines[i], "0\t" + sPrefix + " " + std::to_string(i) + sSuffix) << i;
        }
    };
    // Long lines: the simulator is still busy with many of them when `ctl`
    // asks.
    const std::string sPadding(700, '.');
    for (int i = 0; i < nLines; ++i) {
        pPanel->ShowConsoleLine(0, "log", 1, 3,
                                ("seen by ctl " + std::to_string(i) + sPadding + "\n").c_str());
    }
    expectAllInOrder(m_sim.Ctl({"console"}).strStdout, "seen by ctl", sPadding);

    for (int i = 0; i < nLines; ++i) {
        pPanel->ShowConsoleLine(0, "log", 1, 3,
                                ("before a call " + std::to_string(i) + "\n").c_str());
    }
    pPanel->StartOverlayApplications();
    std::vector<std::string> journal = SplitLines(m_sim.Journal());
    ASSERT_FALSE(journal.empty());
    EXPECT_NE(journal.back().find("StartOverlayApplications"), std::string::npos) << journal.back();
    std::string sSecond;
    for (const std::string& sEntry : m_sim.JournalLines("before a call ")) {
        size_t pos = sEntry.find("before a call ");
        sSecond += "0\t" + sEntry.substr(pos, sEntry.find("\\n", pos) - pos) + "\n";
    }
    expectAllInOrder(sSecond, "before a call", "");
}

TEST_F(LatticeApiTest, OtherInterfacesAnswerFromTheSimulator) {
    ASSERT_TRUE(StartSim(R"({"hmd_property_container": 77})"));
    Init();
    auto* pProps =
        static_cast<vr::IVRProperties*>(VR_GetGenericInterface(vr::IVRProperties_Version, nullptr));
    EXPECT_EQ(pProps->GetDevicePropertyContainer(vr::k_unDeviceIndexHeadset), 77u);
    EXPECT_EQ(pProps->GetDevicePropertyContainer(5), 0u);

    auto* pInput = static_cast<vr::IVRInputInternal*>(
        VR_GetGenericInterface(vr::IVRInputInternal_Version, nullptr));
    pInput->SetDashboardProcessMode(0);
    EXPECT_EQ(m_sim.JournalLines(R"("args":{"mode":0})").size(), 1u);

    Json::Value message;
    message["type"] = "gpu_profiler_capture";
    auto* pClient = static_cast<vr::IVRClientInternal*>(
        VR_GetGenericInterface(vr::IVRClientInternal_Version, nullptr));
    auto* pServer = static_cast<vr::IVRServerInternal*>(
        VR_GetGenericInterface(vr::IVRServerInternal_Version, nullptr));
    EXPECT_TRUE(pClient->PostMailboxMessage("vrcompositor_mailbox", message));
    EXPECT_TRUE(pServer->PostMailboxMessage("vrcompositor_mailbox", message));
    auto lines = m_sim.JournalLines(R"("mailbox":"vrcompositor_mailbox")");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(R"("call":"IVRClientInternal_XXX::PostMailboxMessage")"),
              std::string::npos);
    EXPECT_NE(lines[1].find(R"({\"type\":\"gpu_profiler_capture\"})"), std::string::npos)
        << lines[1];

    // Unused slots are placeholders: the call is recorded and answers 0.
    EXPECT_EQ(System()->Unused7(), 0u);
    auto* pChaperone =
        static_cast<vr::IVRGenericInterface*>(VR_GetGenericInterface("IVRChaperone_004", nullptr));
    EXPECT_EQ(pChaperone->Unused2(), 0u);
    EXPECT_EQ(m_sim.JournalLines("\"unexpected\":true").size(), 2u);
    EXPECT_EQ(m_sim.JournalLines(R"("call":"IVRChaperone_004::Unused2")").size(), 1u);
}

TEST_F(LatticeApiTest, PathValuesRoundTripThroughTheSimulator) {
    ASSERT_TRUE(StartSim());
    Init();
    auto* pPaths =
        static_cast<vr::IVRPaths*>(VR_GetGenericInterface(vr::IVRPaths_Version, nullptr));
    vr::PathHandle_t ulHandle = 0;
    EXPECT_EQ(pPaths->PathToHandle(&ulHandle, "/user/head/name"), 0u);
    vr::PathHandle_t ulAgain = 0;
    pPaths->PathToHandle(&ulAgain, "/user/head/name");
    EXPECT_EQ(ulAgain, ulHandle);
    EXPECT_NE(ulHandle, 0u);

    int32_t nValue = -42;
    vr::PathWrite_t writes[2] = {};
    writes[0].ulPath = ulHandle;
    writes[0].pvBuffer = "abc";
    writes[0].unBufferSize = 4;
    writes[0].unTag = vr::k_unStringPropertyTag;
    writes[1].pszPath = "/user/head/count";
    writes[1].pvBuffer = &nValue;
    writes[1].unBufferSize = 4;
    writes[1].unTag = vr::k_unInt32PropertyTag;
    EXPECT_EQ(pPaths->WriteBatch(9, writes, 2), 0u);
    EXPECT_EQ(pPaths->WriteBatch(0, writes, 2), uint32_t(vr::PathError_InvalidContainer));

    vr::PathHandle_t ulCount = 0;
    pPaths->PathToHandle(&ulCount, "/user/head/count");
    char rgchText[8] = {};
    int32_t nRead = 0;
    vr::PathRead_t reads[3] = {};
    reads[0] = {ulHandle, rgchText, sizeof(rgchText), 0, 0, 0, 0};
    reads[1] = {ulCount, &nRead, 2, 0, 0, 0, 0};  // too small
    reads[2] = {12345, nullptr, 0, 0, 0, 0, 0};   // nothing stored
    EXPECT_EQ(pPaths->ReadBatch(9, reads, 3), 0u);
    EXPECT_STREQ(rgchText, "abc");
    EXPECT_EQ(reads[0].unTag, vr::k_unStringPropertyTag);
    EXPECT_EQ(reads[0].unRequiredBufferSize, 4u);
    EXPECT_EQ(reads[0].eError, 0u);
    EXPECT_EQ(reads[1].eError, uint32_t(vr::PathError_BufferTooSmall));
    EXPECT_EQ(reads[1].unRequiredBufferSize, 4u);
    EXPECT_EQ(nRead, 0);
    EXPECT_EQ(reads[2].eError, uint32_t(vr::PathError_UnknownPath));
    // Values belong to their container.
    reads[0].eError = 0;
    EXPECT_EQ(pPaths->ReadBatch(10, reads, 1), 0u);
    EXPECT_EQ(reads[0].eError, uint32_t(vr::PathError_UnknownPath));
}

TEST_F(LatticeApiTest, LostConnectionDeliversQuitOnce) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRSystem* pSystem = System();
    ASSERT_EQ(m_sim.Ctl({"event", "516"}).exitCode, 0);
    m_sim.Kill();
    vr::LatticeEvent_t event{};
    ASSERT_TRUE(pSystem->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, vr::LatticeEvent_Quit);
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(VR_GetGenericInterface(vr::IVRSystem_Version, nullptr), nullptr);
    EXPECT_EQ(VRControlPanel(), nullptr);
}

TEST_F(LatticeApiTest, IdlePollsCostNoRoundTripButNoticeTheEnd) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRSystem* pSystem = System();
    vr::LatticeEvent_t event{};
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));
    }
    EXPECT_TRUE(m_sim.JournalLines("TakeNextEvent").empty());
    ASSERT_EQ(m_sim.Ctl({"event", "8"}).exitCode, 0);
    ASSERT_TRUE(pSystem->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, 8u);
    EXPECT_EQ(m_sim.JournalLines("TakeNextEvent").size(), 1u);
    m_sim.Kill();
    ASSERT_TRUE(pSystem->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, vr::LatticeEvent_Quit);
}

TEST_F(LatticeApiTest, SimulatorShutdownIsSeenByTheNextPoll) {
    ASSERT_TRUE(StartSim());
    Init();
    vr::IVRSystem* pSystem = System();
    auto* pSettings =
        static_cast<vr::IVRSettings*>(VR_GetGenericInterface(vr::IVRSettings_Version, nullptr));
    EXPECT_EQ(m_sim.Stop(), 0);
    // Noticed by a settings read first: the next poll still reports the quit.
    vr::ESettingsError eError = vr::SettingsError_None;
    EXPECT_FALSE(pSettings->GetBool("a", "b", &eError));
    EXPECT_EQ(eError, vr::SettingsError_NotConnected);
    vr::LatticeEvent_t event{};
    ASSERT_TRUE(pSystem->TakeNextEvent(&event, sizeof(event)));
    EXPECT_EQ(event.eventType, vr::LatticeEvent_Quit);
    EXPECT_FALSE(pSystem->TakeNextEvent(&event, sizeof(event)));
    // A new init fails at once.
    vr::ELatticeInitError eInit = vr::LatticeInitError_None;
    EXPECT_EQ(Init(&eInit), 0u);
    EXPECT_EQ(eInit, vr::LatticeInitError_RuntimeUnreachable);
}

// Calls a method by its position in the object's method table, the way a
// program built against another header would.
template <typename R, typename... Args>
R CallSlot(void* pObject, int nSlot, Args... args) {
    using Fn = R (*)(void*, Args...);
    void** ppTable = *static_cast<void***>(pObject);
    return reinterpret_cast<Fn>(ppTable[nSlot])(pObject, args...);
}

TEST_F(LatticeApiTest, MethodsSitAtTheirTablePositions) {
    std::string strRoot = TempPath("res");
    ASSERT_EQ(mkdir(strRoot.c_str(), 0755), 0);
    halyard_test::WriteFile(strRoot + "/r.txt", "x");
    ASSERT_TRUE(StartSim(R"({"settings": {"s": {"b": true, "i": 12}}, "hmd_property_container": 5,
                             "resource_dir": ")" +
                         strRoot + R"("})"));
    Init();
    auto Get = [](const char* pchVersion) { return VR_GetGenericInterface(pchVersion, nullptr); };
    ASSERT_EQ(m_sim.Ctl({"event", "421", "3"}).exitCode, 0);
    vr::LatticeEvent_t event{};
    EXPECT_TRUE(
        (CallSlot<bool, vr::LatticeEvent_t*, uint32_t>(Get("IVRSystem_023"), 29, &event, 60u)));
    EXPECT_EQ(event.eventType, 421u);
    void* pSettings = Get("IVRSettings_003");
    EXPECT_TRUE((CallSlot<bool, const char*, const char*, void*>(pSettings, 5, "s", "b", nullptr)));
    EXPECT_EQ((CallSlot<int32_t, const char*, const char*, void*>(pSettings, 6, "s", "i", nullptr)),
              12);
    EXPECT_EQ((CallSlot<uint64_t, uint32_t>(Get("IVRProperties_001"), 3, 0u)), 5u);
    CallSlot<void, uint32_t>(Get("IVRInputInternal_002"), 23, 0u);
    void* pPanel = VRControlPanel();
    CallSlot<void>(pPanel, 9);
    CallSlot<void, uint64_t, const char*, uint32_t, int32_t, const char*>(pPanel, 21, 4ull, "log",
                                                                          1u, 3, "slot line\n");
    EXPECT_EQ(m_sim.Ctl({"console"}).strStdout, "4\tslot line\n");

    void* pShots = Get("IVRScreenshots_001");
    uint32_t unHandle = 0;
    std::string strFirst = TempPath("one"), strSecond = TempPath("two");
    EXPECT_EQ((CallSlot<int32_t, uint32_t*, int32_t, const char*, const char*>(
                  pShots, 0, &unHandle, 1, strFirst.c_str(), strSecond.c_str())),
              0);
    int32_t nError = -1;
    EXPECT_EQ((CallSlot<int32_t, uint32_t, int32_t*>(pShots, 2, unHandle, &nError)), 1);
    char rgchName[260];
    CallSlot<uint32_t, uint32_t, int32_t, char*, uint32_t, int32_t*>(pShots, 3, unHandle, 1,
                                                                     rgchName, 260u, &nError);
    EXPECT_EQ(std::string(rgchName), strSecond + ".png");

    char rgchPath[2048];
    EXPECT_EQ((CallSlot<uint32_t, const char*, const char*, char*, uint32_t>(
                  Get("IVRResources_001"), 1, "r.txt", nullptr, rgchPath, 2048u)),
              strRoot.size() + 7);
    EXPECT_EQ(std::string(rgchPath), strRoot + "/r.txt");

    void* pPaths = Get("IVRPaths_002");
    uint64_t ulHandle = 0;
    EXPECT_EQ((CallSlot<uint32_t, uint64_t*, const char*>(pPaths, 2, &ulHandle, "/p")), 0u);
    int32_t nValue = 5;
    vr::PathWrite_t write{};
    write.ulPath = ulHandle;
    write.pvBuffer = &nValue;
    write.unBufferSize = 4;
    write.unTag = vr::k_unInt32PropertyTag;
    EXPECT_EQ(
        (CallSlot<uint32_t, uint64_t, vr::PathWrite_t*, uint32_t>(pPaths, 1, 3ull, &write, 1u)),
        0u);
    int32_t nRead = 0;
    vr::PathRead_t read = {ulHandle, &nRead, 4, 0, 0, 0, 0};
    EXPECT_EQ((CallSlot<uint32_t, uint64_t, vr::PathRead_t*, uint32_t>(pPaths, 0, 3ull, &read, 1u)),
              0u);
    EXPECT_EQ(nRead, 5);

    Json::Value message;
    message["type"] = "x";
    EXPECT_TRUE((CallSlot<bool, const char*, const Json::Value*>(Get("IVRClientInternal_XXX"), 25,
                                                                 "mb", &message)));
    EXPECT_TRUE((CallSlot<bool, const char*, const Json::Value*>(Get("IVRServerInternal_XXX"), 26,
                                                                 "mb", &message)));
    EXPECT_EQ(m_sim.JournalLines(R"("mailbox":"mb")").size(), 2u);
    EXPECT_TRUE(m_sim.JournalLines("\"unexpected\":true").empty());
}

TEST_F(LatticeApiTest, CallsFromManyThreadsAreSafe) {
    ASSERT_TRUE(StartSim(R"({"settings": {"s": {"k": 7}}})"));
    Init();
    vr::IVRControlPanel* pPanel = VRControlPanel();
    auto* pSettings =
        static_cast<vr::IVRSettings*>(VR_GetGenericInterface(vr::IVRSettings_Version, nullptr));
    ASSERT_EQ(m_sim.Ctl({"event", "3", "--count", "500"}).exitCode, 0);
    std::atomic<int> nBadReads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                pPanel->ShowConsoleLine(0, "log", i, 3,
                                        ("thread " + std::to_string(t) + "\n").c_str());
                if (pSettings->GetInt32("s", "k", nullptr) != 7) {
                    ++nBadReads;
                }
            }
        });
    }
    std::atomic<int> nEvents{0};
    std::thread poller([&] {
        vr::LatticeEvent_t event{};
        while (nEvents < 500) {
            if (System()->TakeNextEvent(&event, sizeof(event))) {
                ++nEvents;
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    poller.join();
    EXPECT_EQ(nBadReads, 0);
    EXPECT_EQ(nEvents, 500);
    EXPECT_EQ(SplitLines(m_sim.Ctl({"console"}).strStdout).size(), 200u);
}

}  // namespace
