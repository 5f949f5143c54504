// The module context, the internal interface table and the batch path
// classes, against a real lattice-sim process.
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lattice_internal.h"
#include "sim_fixture.h"
#include "vrassert.h"

namespace {

using halyard_test::WriteFile;

void* RuntimeGetter(const char* pchName) {
    return VR_GetGenericInterface(pchName, nullptr);
}

class LatticeInternalTest : public halyard_test::SimTest {
protected:
    void TearDown() override {
        vr_internal::CleanupInternalInterfaces();
        VR_ShutdownInternal();
        SimTest::TearDown();
    }

    void Connect() {
        vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
        uint32_t unToken = VR_InitInternal2(&eError, vr::LatticeApp_Overlay, nullptr);
        ASSERT_EQ(eError, vr::LatticeInitError_None);
        vr::LatticeInternal_ResetModuleContext(unToken);
        vr_internal::InitInternalInterfaces(RuntimeGetter, true);
    }

    size_t Fetches(const std::string& strVersion) {
        return m_sim
            .JournalLines(R"("call":"VR_GetGenericInterface","args":{"version":")" + strVersion +
                          "\"")
            .size();
    }
};

TEST_F(LatticeInternalTest, ModuleContextRefetchesAfterTheTokenChanges) {
    ASSERT_TRUE(StartSim());
    vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
    uint32_t unToken = VR_InitInternal2(&eError, vr::LatticeApp_Overlay, nullptr);
    vr::LatticeInternal_ResetModuleContext(unToken);
    EXPECT_EQ(vr::VRToken(), unToken);
    vr::CLatticeModuleContext& context = vr::LatticeInternal_ModuleContext();

    vr::IVRSystem* pSystem = vr::VRSystem();
    ASSERT_NE(pSystem, nullptr);
    EXPECT_EQ(vr::VRSystem(), pSystem);
    EXPECT_NE(vr::VRSettings(), nullptr);
    EXPECT_EQ(Fetches("IVRSystem_023"), 1u);
    EXPECT_EQ(context.m_rgpSlots[vr::CLatticeModuleContext::k_nSlotSystem], pSystem);

    ASSERT_EQ(m_sim.Ctl({"reconnect"}).exitCode, 0);
    EXPECT_EQ(vr::VRSystem(), pSystem);
    EXPECT_EQ(Fetches("IVRSystem_023"), 2u);
    EXPECT_EQ(vr::VRToken(), unToken + 1);
    // Every other slot was emptied and waits for its next use.
    EXPECT_EQ(context.m_rgpSlots[vr::CLatticeModuleContext::k_nSlotSettings], nullptr);
    EXPECT_NE(vr::VRScreenshots(), nullptr);
    EXPECT_NE(vr::VRCompositor(), nullptr);
    EXPECT_NE(vr::VROverlay(), nullptr);
    EXPECT_EQ(context.m_rgpSlots[1], nullptr);
    EXPECT_EQ(context.m_rgpSlots[20], nullptr);
}

TEST_F(LatticeInternalTest, ModuleContextSlotStaysNullForAVersionNotServed) {
    ASSERT_TRUE(StartSim(R"({"withhold_interfaces": ["IVRScreenshots_001"]})"));
    Connect();
    EXPECT_EQ(vr::VRScreenshots(), nullptr);
    EXPECT_EQ(vr::VRScreenshots(), nullptr);
    // A null slot is asked for again at its next use.
    EXPECT_EQ(Fetches("IVRScreenshots_001"), 2u);
}

TEST_F(LatticeInternalTest, TableRowsAreNullForVersionsNotServed) {
    ASSERT_TRUE(StartSim(R"({"withhold_interfaces": ["IVRMailbox_002", "IVRPaths_002",
                                                    "IVROverlay_028", "IVRProperties_001"]})"));
    Connect();
    EXPECT_EQ(vr_internal::VRMailbox(), nullptr);
    // The access objects exist, but their accessors answer null without the row.
    EXPECT_EQ(vr_internal::VRPathsRaw(), nullptr);
    EXPECT_EQ(vr_internal::VRPaths(), nullptr);
    EXPECT_EQ(vr_internal::VRPropertiesRaw(), nullptr);
    EXPECT_EQ(vr_internal::VRProperties(), nullptr);
    EXPECT_NE(vr_internal::VRPropertiesInternal(), nullptr);
    EXPECT_EQ(vr_internal::VROverlay(), nullptr);
    EXPECT_NE(vr_internal::VRExtendedDisplay(), nullptr);
    EXPECT_NE(vr_internal::VRDriverDirectInternal(), nullptr);
    EXPECT_NE(vr_internal::VRInputInternal(), nullptr);
    EXPECT_EQ(vr_internal::g_pLocalizationMgr, nullptr);

    ASSERT_NE(vr_internal::VRSettings(), nullptr);
    EXPECT_EQ(vr_internal::VRSettings(), &vr_internal::g_VRSettingHelper);
    EXPECT_EQ(vr_internal::VRSettings()->m_pSettings, vr_internal::VRSettingsRaw());
    EXPECT_EQ(static_cast<void*>(vr_internal::VRSystem()),
              VR_GetGenericInterface("IVRSystem_023", nullptr));

    vr_internal::CleanupInternalInterfaces();
    EXPECT_EQ(vr_internal::VRSettings(), nullptr);
    EXPECT_EQ(vr_internal::g_VRSettingHelper.m_pSettings, nullptr);
    EXPECT_EQ(vr_internal::VRSystem(), nullptr);
    EXPECT_EQ(vr_internal::VRDriverDirectInternal(), nullptr);
}

// A failed assertion with ORRERY_FRAMESCOPE_ON_ASSERT asks the compositor for
// a GPU profiler capture through the client-side internal interface, else the
// server-side one, else not at all. Each case is a child process connected to
// the simulator (the assert subscription and the table are per process).
TEST_F(LatticeInternalTest, AssertionsAskForAProfilerCaptureThroughTheMailbox) {
    struct Case {
        const char* pchConfig;
        std::optional<std::string> env;
        const char* pchVia;  // null: nothing posted
    };
    const Case rgCases[] = {
        {"{}", "yes", "IVRClientInternal_XXX"},
        {R"({"withhold_interfaces": ["IVRClientInternal_XXX"]})", "1", "IVRServerInternal_XXX"},
        {R"({"withhold_interfaces": ["IVRClientInternal_XXX", "IVRServerInternal_XXX"]})", "true",
         nullptr},
        {"{}", std::nullopt, nullptr},
        {"{}", "no", nullptr},
    };
    for (const Case& c : rgCases) {
        std::string sCase = std::string(c.pchConfig) + " " + c.env.value_or("(unset)");
        m_sim.Stop();
        ASSERT_TRUE(StartSim(c.pchConfig)) << sCase;
        auto result = halyard_test::RunInChild(
            [] {
                vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
                VR_InitInternal2(&eError, vr::LatticeApp_Overlay, nullptr);
                if (eError != vr::LatticeInitError_None) {
                    return 1;
                }
                vr_internal::InitInternalInterfaces(RuntimeGetter, true);
                InitAssertCallback();
                for (int i = 0; i < 2; ++i) {
                    TESSERA_ASSERT_MSG(i < 0, "capture, please");  // one location, twice
                }
                VR_ShutdownInternal();
                return 0;
            },
            halyard_test::WithEnv({{"ORRERY_FRAMESCOPE_ON_ASSERT", c.env}}));
        ASSERT_EQ(result.exitCode, 0) << sCase << result.strStderr;
        auto vecPosts = m_sim.JournalLines("::PostMailboxMessage");
        if (!c.pchVia) {
            EXPECT_TRUE(vecPosts.empty()) << sCase;
            continue;
        }
        ASSERT_EQ(vecPosts.size(), 2u) << sCase << m_sim.Journal();
        for (const std::string& sPost : vecPosts) {
            EXPECT_NE(sPost.find(std::string(R"("call":")") + c.pchVia + "::PostMailboxMessage\""),
                      std::string::npos)
                << sPost;
            EXPECT_NE(
                sPost.find(
                    R"("args":{"mailbox":"vrcompositor_mailbox","message":"{\"type\":\"gpu_profiler_capture\"}"})"),
                std::string::npos)
                << sPost;
        }
    }
}

std::vector<std::string> g_asked;
std::map<std::string, char> g_sentinels;
void* RecordingGetter(const char* pchName) {
    g_asked.push_back(pchName);
    return &g_sentinels[pchName];
}

TEST(LatticeInternalTable, FillsRowsInOrderAndHonoursTheClientFlag) {
    const std::vector<std::string> rows = {"IVRRenderModels_006",
                                           "IVRRenderModelsInternal_XXX",
                                           "IVRResources_001",
                                           "IVRDriverManager_001",
                                           "IVRSettings_003",
                                           "IVRSettingsInternal_001",
                                           "IVRPaths_002",
                                           "IVRPathsInternal_XXX",
                                           "IVRProperties_001",
                                           "IVRPropertiesInternal_001",
                                           "IVRServerInternal_XXX",
                                           "IVRDriverInputInternal_XXX",
                                           "IVRSystemLayerInternal_XXX",
                                           "IVRClientInternal_XXX",
                                           "LocalizationManager",
                                           "IVRCompositorSystemInternal_XXX",
                                           "IVRInput_010",
                                           "IVRInputInternal_002",
                                           "IVRChaperone_004",
                                           "IVRChaperoneSetup_006",
                                           "IVRChaperoneInternal_XXX",
                                           "IVRChaperoneServerDriver_XXX",
                                           "IVRApplications_007",
                                           "IVRSystem_023",
                                           "IVRMailbox_002",
                                           "IVRDebug_001",
                                           "IVRBlockQueue_005",
                                           "IVRControlPanel_006",
                                           "IVRApplicationsInternal_XXX",
                                           "IVRNotificationsInternal_001",
                                           "IVROverlay_028",
                                           "IVROverlayInternal_XXX",
                                           "IVRExtendedDisplay_001",
                                           "IVRTrackedCameraInternal_XXX",
                                           "IVRCameraPassthroughInternal_001",
                                           "IVRDriverDirectInternal_XXX"};
    g_asked.clear();
    vr_internal::InitInternalInterfaces(RecordingGetter, false);
    EXPECT_EQ(g_asked, std::vector<std::string>(rows.begin(), rows.begin() + 30));
    EXPECT_EQ(vr_internal::VROverlay(), nullptr);
    EXPECT_EQ(vr_internal::VRDriverDirectInternal(), nullptr);
    EXPECT_EQ(static_cast<void*>(vr_internal::VRNotificationsInternal()),
              &g_sentinels["IVRNotificationsInternal_001"]);

    g_asked.clear();
    vr_internal::InitInternalInterfacesNonStandard(RecordingGetter);
    EXPECT_EQ(g_asked, rows);
    EXPECT_EQ(static_cast<void*>(vr_internal::VRDriverDirectInternal()),
              &g_sentinels["IVRDriverDirectInternal_XXX"]);
    EXPECT_EQ(static_cast<void*>(vr_internal::g_pLocalizationMgr),
              &g_sentinels["LocalizationManager"]);
    EXPECT_EQ(static_cast<void*>(vr_internal::VRPaths()->m_pPaths), &g_sentinels["IVRPaths_002"]);
    vr_internal::CleanupInternalInterfaces();

    // An empty getter is the standard empty-call failure.
    EXPECT_THROW(vr_internal::InitInternalInterfaces(vr_internal::InterfaceGetter_t(), true),
                 std::bad_function_call);
    EXPECT_THROW(vr_internal::InitInternalInterfacesNonStandard(nullptr), std::bad_function_call);
    vr_internal::CleanupInternalInterfaces();
}

TEST(LatticeInternalLocalize, WithoutManagerReturnsTheTokenUnchanged) {
    EXPECT_EQ(vr_internal::Localize("driver", "#Hello %1$s %2$s", "a", "b", "c"),
              "#Hello %1$s %2$s");
    EXPECT_EQ(vr_internal::Localize("", "", "a", "b", "c"), "");
}

TEST_F(LatticeInternalTest, ResourcePathsResolveThroughTheSimulator) {
    std::string strRoot = TempPath("res");
    // Two files whose full paths need exactly 2048 and 2049 bytes.
    std::string strDir = strRoot;
    while (strDir.size() < 1900) {
        strDir += "/" + std::string(100, 'd');
    }
    ASSERT_EQ(halyard_test::RunProcess({"mkdir", "-p", strDir}).exitCode, 0);
    std::string strName2048 = strDir.substr(strRoot.size() + 1) + "/";
    strName2048 += std::string(2047 - strRoot.size() - 1 - strName2048.size(), 'f');
    std::string strName2049 = strName2048 + "g";
    WriteFile(strRoot + "/" + strName2048, "x");
    WriteFile(strRoot + "/" + strName2049, "x");
    ASSERT_EQ((strRoot + "/" + strName2048).size(), 2047u);
    WriteFile(strRoot + "/plain.json", "{}");
    ASSERT_TRUE(mkdir((strRoot + "/driver").c_str(), 0755) == 0);
    WriteFile(strRoot + "/driver/loc.json", "{}");

    EXPECT_EQ(vr_internal::GetResourceFullPath("plain.json"), "");  // no connection yet
    ASSERT_TRUE(StartSim(R"({"resource_dir": ")" + strRoot + R"("})"));
    Connect();
    EXPECT_EQ(vr_internal::GetResourceFullPath("plain.json"), strRoot + "/plain.json");
    EXPECT_EQ(vr_internal::GetResourceFullPath("{driver}/loc.json"), strRoot + "/driver/loc.json");
    EXPECT_EQ(vr_internal::GetResourceFullPath("missing.json"), "");

    size_t nBefore = m_sim.JournalLines("ResolveResourcePath").size();
    EXPECT_EQ(vr_internal::GetResourceFullPath(strName2048), strRoot + "/" + strName2048);
    EXPECT_EQ(m_sim.JournalLines("ResolveResourcePath").size(), nBefore + 1);
    EXPECT_EQ(m_sim.JournalLines(R"("size":2048)").size(), 1u);

    EXPECT_EQ(vr_internal::GetResourceFullPath(strName2049), strRoot + "/" + strName2049);
    auto lines = m_sim.JournalLines(R"("size":2049)");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(R"("capacity":2048)"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("capacity":2049)"), std::string::npos);
}

// A faulty runtime: it claims a path size of its choosing and writes a path
// of that size only where it fits. The stand-in never answers like this.
class CSizeClaimingResources : public vr::IVRResources {
public:
    uint64_t Unused0() override { return 0; }
    uint32_t ResolveResourcePath(const char*, const char*, char* pchPathBuffer,
                                 uint32_t unBufferLen) override {
        m_vecCapacities.push_back(unBufferLen);
        if (unBufferLen >= m_unClaimed) {
            std::memset(pchPathBuffer, 'p', m_unClaimed - 1);
            pchPathBuffer[m_unClaimed - 1] = '\0';
        }
        return m_unClaimed;
    }
    uint32_t m_unClaimed = 1;
    std::vector<uint32_t> m_vecCapacities;
};

// Sizes up to the limit are fetched with a buffer of that size; a larger one
// is refused without allocating it.
TEST(LatticeInternalResources, AbsurdPathSizesFromTheRuntimeAreRefused) {
    CSizeClaimingResources resources;
    vr_internal::InitInternalInterfaces(
        [&](const char* pchName) -> void* {
            return std::string(pchName) == "IVRResources_001" ? &resources : nullptr;
        },
        false);
    const uint32_t unLimit = vr_internal::k_unMaxResourcePathSize;
    struct Row {
        uint32_t unClaimed;
        std::vector<uint32_t> vecCapacities;
        size_t unResultSize;
    } rows[] = {
        {unLimit, {2048, unLimit}, unLimit - 1},
        {unLimit + 1, {2048}, 0},
        {0xFFFFFFFFu, {2048}, 0},
    };
    for (const Row& row : rows) {
        resources.m_unClaimed = row.unClaimed;
        resources.m_vecCapacities.clear();
        std::string sPath = vr_internal::GetResourceFullPath("name");
        EXPECT_EQ(resources.m_vecCapacities, row.vecCapacities) << row.unClaimed;
        EXPECT_EQ(sPath.size(), row.unResultSize) << row.unClaimed;
        EXPECT_EQ(sPath.find_first_not_of('p'), std::string::npos) << row.unClaimed;
    }
    vr_internal::CleanupInternalInterfaces();
}

TEST_F(LatticeInternalTest, ResourcePathIsEmptyWithoutTheResourcesInterface) {
    ASSERT_TRUE(StartSim(R"({"resource_dir": "/", "withhold_interfaces": ["IVRResources_001"]})"));
    Connect();
    EXPECT_EQ(vr_internal::VRResources(), nullptr);
    EXPECT_EQ(vr_internal::GetResourceFullPath("etc"), "");
}

struct AssertRecord {
    std::string strMessage, strFile;
    unsigned int unLine;
};

class CAssertRecorder {
public:
    CAssertRecorder() {
        m_callback.Initialize(
            [this](const char* pchMessage, const char* pchFile, unsigned int unLine, bool bFatal,
                   void*, bool*) {
                EXPECT_FALSE(bFatal);
                m_records.push_back({pchMessage, pchFile, unLine});
            },
            nullptr);
    }
    // "file:line expression" for each report, in order.
    std::vector<std::string> Where() const {
        std::vector<std::string> out;
        for (const AssertRecord& record : m_records) {
            std::string strFile = record.strFile.substr(record.strFile.find_last_of('/') + 1);
            out.push_back(strFile + ":" + std::to_string(record.unLine) + " " + record.strMessage);
        }
        return out;
    }
    std::vector<AssertRecord> m_records;

private:
    CAssertCallback m_callback;
};

class PathBatchTest : public LatticeInternalTest {
protected:
    void SetUp() override {
        LatticeInternalTest::SetUp();
        ASSERT_TRUE(StartSim());
        Connect();
    }
    static constexpr unsigned long k_ulContainer = 4097;
};

TEST_F(PathBatchTest, EveryTypeRoundTrips) {
    vr_internal::CVRPathWrites writes(4);
    writes.Push("/a/float", 1.5f);
    writes.Push("/a/int", -7);
    writes.Push("/a/u64", 18446744073709551615ul);
    writes.Push("/a/double", 2.25);
    writes.Push("/a/bool", true);
    writes.Push("/a/string", "abc");
    writes.Push("/a/null", static_cast<const char*>(nullptr));
    ASSERT_TRUE(writes.Write(k_ulContainer));
    // Write does not clear: sending it again stores the same values.
    ASSERT_TRUE(writes.Write(k_ulContainer));

    auto write = m_sim.JournalLines("IVRPaths_002::WriteBatch").at(0);
    EXPECT_NE(
        write.find(R"("path_string":"/a/string","tag":5,"size":4,"value":"61626300","options":1)"),
        std::string::npos)
        << write;
    EXPECT_NE(write.find(R"("path_string":"/a/null","tag":5,"size":1,"value":"00")"),
              std::string::npos);
    EXPECT_NE(write.find(R"("path_string":"/a/bool","tag":4,"size":1,"value":"01")"),
              std::string::npos);
    EXPECT_NE(write.find(R"("reserved":[0,0,0])"), std::string::npos);

    std::vector<vr_internal::CVRPathHandle> handles;
    for (const char* pch : {"/a/float", "/a/int", "/a/u64", "/a/double", "/a/bool", "/a/string",
                            "/a/null", "/a/nothing", "/a/int"}) {
        handles.push_back({pch, 0, false});
    }
    vr_internal::CVRPathReads reads;
    ASSERT_TRUE(
        reads.ReadBatch(k_ulContainer, handles.data(), static_cast<unsigned>(handles.size())));
    EXPECT_TRUE(reads.IsValid());
    EXPECT_FLOAT_EQ(reads.NextFloat(0), 1.5f);
    EXPECT_EQ(reads.NextInt32(0), -7);
    EXPECT_EQ(reads.NextUInt64(0), 18446744073709551615ul);
    EXPECT_DOUBLE_EQ(reads.NextDouble(0), 2.25);
    EXPECT_TRUE(reads.NextBool(false));
    EXPECT_EQ(reads.NextString("default"), "abc");
    EXPECT_EQ(reads.NextString("default"), "");
    // A record with an error gives the default and the next read takes the next record.
    EXPECT_EQ(reads.NextString("default"), "default");
    EXPECT_EQ(reads.NextInt32(5), -7);
    EXPECT_FALSE(reads.IsValid());

    // Handles are resolved once, in the caller's records.
    size_t nResolves = m_sim.JournalLines("IVRPaths_002::PathToHandle").size();
    EXPECT_EQ(nResolves, handles.size());
    EXPECT_TRUE(handles[0].m_bResolved);
    EXPECT_NE(handles[0].m_ulHandle, 0u);
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, handles.data(), 2));
    EXPECT_EQ(m_sim.JournalLines("IVRPaths_002::PathToHandle").size(), nResolves);
    EXPECT_FLOAT_EQ(reads.NextFloat(0), 1.5f);

    // A caller's const table (read-only memory) is resolved once as well.
    static const vr_internal::CVRPathHandle s_rgConstHandles[] = {{"/a/int", 0, false},
                                                                  {"/a/string", 0, false}};
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, s_rgConstHandles, 2));
    EXPECT_EQ(reads.NextInt32(0), -7);
    EXPECT_EQ(reads.NextString("default"), "abc");
    EXPECT_TRUE(s_rgConstHandles[1].m_bResolved);
    EXPECT_EQ(s_rgConstHandles[1].m_ulHandle, handles[5].m_ulHandle);
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, s_rgConstHandles, 2));
    EXPECT_EQ(m_sim.JournalLines("IVRPaths_002::PathToHandle").size(), nResolves + 2);

    // The same values by plain handles.
    unsigned long rgulHandles[2] = {handles[1].m_ulHandle, handles[5].m_ulHandle};
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, rgulHandles, 2));
    EXPECT_EQ(reads.NextInt32(0), -7);
    char rgchBlob[4] = {};
    EXPECT_TRUE(reads.NextBlob(rgchBlob, 4, vr::k_unStringPropertyTag));
    EXPECT_STREQ(rgchBlob, "abc");
}

TEST_F(PathBatchTest, EmptyBatchAndFailures) {
    vr_internal::CVRPathReads reads;
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, static_cast<const unsigned long*>(nullptr), 0));
    EXPECT_FALSE(reads.IsValid());
    auto lines = m_sim.JournalLines(
        R"("call":"IVRPaths_002::ReadBatch","args":{"container":4097,"count":0})");
    EXPECT_EQ(lines.size(), 2u);

    // The runtime refuses container 0: no valid cursor.
    unsigned long ulHandle = 5;
    EXPECT_FALSE(reads.ReadBatch(0, &ulHandle, 1));
    EXPECT_FALSE(reads.IsValid());
    vr_internal::CVRPathWrites writes;
    writes.Push(ulHandle, 1);
    EXPECT_FALSE(writes.Write(0));

    // A count without an array is refused before anything is read or sent.
    size_t nReads = m_sim.JournalLines("IVRPaths_002::ReadBatch").size();
    EXPECT_FALSE(reads.ReadBatch(k_ulContainer, static_cast<const unsigned long*>(nullptr), 3));
    EXPECT_FALSE(reads.IsValid());
    EXPECT_FALSE(
        reads.ReadBatch(k_ulContainer, static_cast<const vr_internal::CVRPathHandle*>(nullptr), 2));
    EXPECT_FALSE(reads.IsValid());
    EXPECT_EQ(m_sim.JournalLines("IVRPaths_002::ReadBatch").size(), nReads);
}

TEST_F(PathBatchTest, OptionsAndExplicitRecords) {
    vr::PathWriteOptions_t noFlags = {0};
    vr_internal::CVRPathWrites writes(1);
    writes.Push("/o/default", 1);
    writes.Push("/o/explicit", 2, &noFlags);
    unsigned int unSize = writes.CopyToBuffer("xy");
    EXPECT_EQ(unSize, 3u);
    writes.PushWrite("/o/raw", unSize, vr::k_unStringPropertyTag);
    EXPECT_EQ(writes.CopyToBuffer(nullptr), 1u);
    writes.PushWrite(77ul, 1, vr::k_unStringPropertyTag, &noFlags);
    ASSERT_TRUE(writes.Write(k_ulContainer));
    auto write = m_sim.JournalLines("IVRPaths_002::WriteBatch").at(0);
    EXPECT_NE(
        write.find(R"("path_string":"/o/default","tag":2,"size":4,"value":"01000000","options":1)"),
        std::string::npos)
        << write;
    EXPECT_NE(write.find(
                  R"("path_string":"/o/explicit","tag":2,"size":4,"value":"02000000","options":0)"),
              std::string::npos);
    EXPECT_NE(write.find(R"("path_string":"/o/raw","tag":5,"size":3,"value":"787900")"),
              std::string::npos);
    EXPECT_NE(write.find(R"({"path":77,"tag":5,"size":1,"value":"00","options":0)"),
              std::string::npos);
}

TEST_F(PathBatchTest, MisuseRaisesAssertionsAtTheirSourceLines) {
    CAssertRecorder recorder;
    vr_internal::CVRPathWrites writes;
    writes.Push("/m/int", 3);
    writes.Push("/m/string", "abcd");
    ASSERT_TRUE(writes.Write(k_ulContainer));

    vr_internal::CVRPathHandle handles[2] = {{"/m/int", 0, false}, {"/m/string", 0, false}};
    vr_internal::CVRPathReads reads;
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, handles, 2));
    EXPECT_EQ(reads.NextDouble(1.0), 1.0);  // int32 record read as double: tag and size differ
    // A string record read as int32: reported, then its first four bytes.
    EXPECT_EQ(reads.NextInt32(9), 0x64636261);
    EXPECT_EQ(reads.NextBool(true), true);  // past the end
    EXPECT_EQ(reads.NextFloat(2), 2.0f);
    EXPECT_EQ(reads.NextDouble(2), 2.0);
    EXPECT_EQ(reads.NextInt32(2), 2);
    EXPECT_EQ(reads.NextUInt64(2), 2u);
    EXPECT_EQ(reads.NextString("d"), "d");
    char rgch[4];
    EXPECT_FALSE(reads.NextBlob(nullptr, 4, 2));

    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, handles, 2));
    EXPECT_EQ(reads.NextString("d"), std::string("\x03\x00\x00", 3));  // int read as string
    // A blob of another tag or size: false, nothing copied, the cursor moves on.
    std::memset(rgch, 'z', sizeof(rgch));
    EXPECT_FALSE(reads.NextBlob(rgch, 4, vr::k_unInt32PropertyTag));
    EXPECT_EQ(rgch[0], 'z');
    EXPECT_FALSE(reads.IsValid());
    // The right tag with another size: false as well, and the cursor moves on.
    ASSERT_TRUE(reads.ReadBatch(k_ulContainer, handles, 2));
    EXPECT_FALSE(reads.NextBlob(rgch, 2, vr::k_unInt32PropertyTag));
    EXPECT_EQ(rgch[0], 'z');
    EXPECT_EQ(reads.NextString("d"), "abcd");

    // Records that claim bytes the buffer lacks: reported and not sent.
    vr_internal::CVRPathWrites broken;
    broken.Push("/m/int", 4);
    broken.PushWrite("/m/other", 8, vr::k_unDoublePropertyTag);
    size_t nWrites = m_sim.JournalLines("IVRPaths_002::WriteBatch").size();
    EXPECT_FALSE(broken.Write(k_ulContainer));
    EXPECT_EQ(m_sim.JournalLines("IVRPaths_002::WriteBatch").size(), nWrites);

    // The lines are part of what the reports promise: tools match on them.
    std::vector<std::string> expected = {
        "lattice_internal.cpp:223 pRead->unTag == unTag",
        "lattice_internal.cpp:224 pRead->unRequiredBufferSize == sizeof( T )",
        "lattice_internal.cpp:223 pRead->unTag == unTag",
        "lattice_internal.cpp:224 pRead->unRequiredBufferSize == sizeof( T )",
        "lattice_internal.cpp:229 IsValid()",
        "lattice_internal.cpp:234 IsValid()",
        "lattice_internal.cpp:239 IsValid()",
        "lattice_internal.cpp:244 IsValid()",
        "lattice_internal.cpp:249 IsValid()",
        "lattice_internal.cpp:254 IsValid()",
        "lattice_internal.cpp:265 pData",
        "lattice_internal.cpp:266 IsValid()",
        "lattice_internal.cpp:259 pRead->unTag == vr::k_unStringPropertyTag",
        "lattice_internal.cpp:372 pNext == ( m_buffer.data() + m_buffer.size() )",
    };
    EXPECT_EQ(recorder.Where(), expected);
}

TEST(PathBatchWithoutRuntime, ReadsAndWritesFail) {
    vr_internal::CleanupInternalInterfaces();
    vr_internal::CVRPathReads reads;
    unsigned long ulHandle = 1;
    EXPECT_FALSE(reads.ReadBatch(1, &ulHandle, 1));
    EXPECT_FALSE(reads.IsValid());
    vr_internal::CVRPathWrites writes;
    writes.Push(ulHandle, 1.0);
    EXPECT_FALSE(writes.Write(1));
    // An unresolved handle stays unresolved without a paths interface.
    vr_internal::CVRPathHandle handle = {"/x", 0, false};
    EXPECT_FALSE(reads.ReadBatch(1, &handle, 1));
    EXPECT_FALSE(handle.m_bResolved);
}

}  // namespace
