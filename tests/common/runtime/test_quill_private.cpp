// The private host interface wrappers and the host client's language, against
// a real lattice-sim playing the host client.
#include <sys/stat.h>

#include <string>

#include "envvars.h"
#include "log_recorder.h"
#include "quill_language.h"
#include "quill_private.h"
#include "sim_fixture.h"

namespace {

using halyard_test::LogRecorder;
using halyard_test::ReadFile;
using halyard_test::ScopedEnv;
using halyard_test::SplitLines;
using halyard_test::WaitFor;
using halyard_test::WriteFile;

const char k_rgchCheckList[] = "QuillUtils010\0";

class QuillPrivateTest : public halyard_test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        // OpenURL hands URLs to xdg-open: this one writes them down.
        m_sUrlLog = TempPath("urls.log");
        std::string sScript = TempPath("xdg-open");
        WriteFile(sScript, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + m_sUrlLog + "\n");
        chmod(sScript.c_str(), 0755);
        m_pPath =
            std::make_unique<ScopedEnv>("PATH", TempDir() + ":" + GetEnvironmentVariable("PATH"));
    }
    void TearDown() override {
        CleanupQuillOrreryPrivate();
        QuillAPI_Shutdown();
        m_pPath.reset();
        SimTest::TearDown();
    }

    // Starts the host client with these private versions withheld and
    // initialises the library and the wrappers.
    void StartHost(const std::string& sWithheld, const std::string& sExtra = "") {
        ASSERT_TRUE(
            StartSim(R"({"host": {"withhold_interfaces": [)" + sWithheld + "]" + sExtra + "}}"));
        ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), 0);
        InitQuillOrreryPrivate();
        ASSERT_NE(g_pQuillOrreryPrivate, nullptr);
    }

    std::vector<std::string> Urls(size_t nExpected) {
        WaitFor([&] { return SplitLines(ReadFile(m_sUrlLog)).size() >= nExpected; });
        return SplitLines(ReadFile(m_sUrlLog));
    }

    size_t Calls(const std::string& sCall) {
        return m_sim.JournalLines(R"("call":")" + sCall + "\"").size();
    }

    std::string m_sUrlLog;
    std::unique_ptr<ScopedEnv> m_pPath;
};

TEST_F(QuillPrivateTest, HostWithoutPrivateInterfacesGetsTheFallbacks) {
    StartHost(R"("QuillOrreryPrivate001", "QuillOrreryPrivate002")");
    EXPECT_EQ(g_pQuillOrreryPrivate->HostInterface(), nullptr);
    ASSERT_NE(g_pQuillOrreryPrivate->Private001(), nullptr);
    EXPECT_EQ(g_pQuillOrreryPrivate->Private001()->HostInterface(), nullptr);

    g_pQuillOrreryPrivate->StartHalyard();
    EXPECT_EQ(Calls("QuillUtils010::RequestDashboardStart"), 1u);
    g_pQuillOrreryPrivate->SetVRConnectionParams("abc");
    EXPECT_EQ(Urls(1), std::vector<std::string>{"quill://vr_connection_ready/abc"});
    EXPECT_FALSE(g_pQuillOrreryPrivate->InviteWirelessHeadsetToConnect(42));
    EXPECT_EQ(m_sim.JournalLines("InviteWirelessHeadsetToConnect").size(), 0u);
    EXPECT_EQ(m_sim.JournalLines("QuillOrreryPrivate00").size(), 2u);  // the two lookups only
}

TEST_F(QuillPrivateTest, HostWithOnlyVersionTwoInvitesButFallsBackForTheRest) {
    StartHost(R"("QuillOrreryPrivate001")");
    EXPECT_NE(g_pQuillOrreryPrivate->HostInterface(), nullptr);
    EXPECT_EQ(g_pQuillOrreryPrivate->Private001()->HostInterface(), nullptr);

    g_pQuillOrreryPrivate->StartHalyard();
    EXPECT_EQ(Calls("QuillUtils010::RequestDashboardStart"), 1u);
    EXPECT_EQ(Calls("QuillOrreryPrivate002::StartHalyard"), 0u);
    g_pQuillOrreryPrivate->SetVRConnectionParams("k=v&x=y");
    EXPECT_EQ(Urls(1), std::vector<std::string>{"quill://vr_connection_ready/k=v&x=y"});
    EXPECT_TRUE(g_pQuillOrreryPrivate->InviteWirelessHeadsetToConnect(0x1234567890ull));
    auto invites = m_sim.JournalLines("QuillOrreryPrivate002::InviteWirelessHeadsetToConnect");
    ASSERT_EQ(invites.size(), 1u);
    EXPECT_NE(invites[0].find(R"("headset":78187493520)"), std::string::npos) << invites[0];
}

TEST_F(QuillPrivateTest, HostWithBothVersionsTakesEveryRequestPrivately) {
    StartHost("", R"(, "invite_result": false)");
    g_pQuillOrreryPrivate->StartHalyard();
    EXPECT_EQ(Calls("QuillOrreryPrivate001::StartHalyard"), 1u);
    EXPECT_EQ(Calls("QuillUtils010::RequestDashboardStart"), 0u);
    g_pQuillOrreryPrivate->SetVRConnectionParams("abc");
    auto params = m_sim.JournalLines(R"("call":"QuillOrreryPrivate001::SetVRConnectionParams")");
    ASSERT_EQ(params.size(), 1u);
    EXPECT_NE(params[0].find(R"("params":"abc")"), std::string::npos) << params[0];
    // The host's answer comes back as it is.
    EXPECT_FALSE(g_pQuillOrreryPrivate->InviteWirelessHeadsetToConnect(7));
    EXPECT_EQ(Calls("QuillOrreryPrivate002::InviteWirelessHeadsetToConnect"), 1u);
    EXPECT_EQ(SplitLines(ReadFile(m_sUrlLog)).size(), 0u);
}

TEST_F(QuillPrivateTest, WrappersAreRebuiltForEveryInitialisation) {
    StartHost("");
    IQuillOrreryPrivate001* pHost001 = g_pQuillOrreryPrivate->Private001()->HostInterface();
    ASSERT_NE(pHost001, nullptr);
    EXPECT_EQ(m_sim.JournalLines(R"("version":"QuillOrreryPrivate001")").size(), 1u);

    CleanupQuillOrreryPrivate();
    EXPECT_EQ(g_pQuillOrreryPrivate, nullptr);
    CleanupQuillOrreryPrivate();  // nothing left: only clears the pointer
    EXPECT_EQ(g_pQuillOrreryPrivate, nullptr);

    // The host pointers are taken when the wrappers are made: without an
    // initialised library there are none, and every request falls back.
    QuillAPI_Shutdown();
    InitQuillOrreryPrivate();
    ASSERT_NE(g_pQuillOrreryPrivate, nullptr);
    EXPECT_EQ(g_pQuillOrreryPrivate->HostInterface(), nullptr);
    EXPECT_EQ(g_pQuillOrreryPrivate->Private001()->HostInterface(), nullptr);
    g_pQuillOrreryPrivate->StartHalyard();  // no utilities interface either: nothing
    g_pQuillOrreryPrivate->SetVRConnectionParams("after");
    EXPECT_EQ(Urls(1), std::vector<std::string>{"quill://vr_connection_ready/after"});
    EXPECT_EQ(Calls("QuillUtils010::RequestDashboardStart"), 0u);

    // A new initialisation: new wrappers, looked up anew from the library.
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), 0);
    InitQuillOrreryPrivate();
    EXPECT_EQ(m_sim.JournalLines(R"("version":"QuillOrreryPrivate001")").size(), 2u);
    EXPECT_EQ(g_pQuillOrreryPrivate->Private001()->HostInterface(), QuillOrreryPrivate001());
    EXPECT_EQ(g_pQuillOrreryPrivate->HostInterface(), QuillOrreryPrivate002());
    g_pQuillOrreryPrivate->StartHalyard();
    EXPECT_EQ(Calls("QuillOrreryPrivate001::StartHalyard"), 1u);
}

TEST_F(QuillPrivateTest, WrappersStandAloneAnswerSafely) {
    // Wrappers built by hand, without any host interface or owned wrapper.
    CQuillOrreryPrivate002 bare(nullptr);
    bare.StartHalyard();
    bare.SetVRConnectionParams("x");
    EXPECT_FALSE(bare.InviteWirelessHeadsetToConnect(1));
    CQuillOrreryPrivate001 v1(nullptr);
    v1.SetVRConnectionParams(nullptr);
    EXPECT_EQ(Urls(1), std::vector<std::string>{"quill://vr_connection_ready/"});
}

// --- language ---------------------------------------------------------------------------

TEST(QuillLanguage, EveryHostLanguageMapsToItsLocale) {
    const std::pair<const char*, const char*> expected[] = {
        {"brazilian", "pt_br"},   {"bulgarian", "bg_bg"},  {"czech", "cs_cz"},
        {"danish", "da_dk"},      {"dutch", "nl_nl"},      {"english", "en_us"},
        {"finnish", "fi_fi"},     {"french", "fr_fr"},     {"german", "de_de"},
        {"greek", "el_gr"},       {"hungarian", "hu_hu"},  {"italian", "it_it"},
        {"japanese", "ja_jp"},    {"koreana", "ko_kr"},    {"latam", "es_mx"},
        {"norwegian", "nb_no"},   {"polish", "pl_pl"},     {"portuguese", "pt_pt"},
        {"romanian", "ro_ro"},    {"russian", "ru_ru"},    {"schinese", "zh_cn"},
        {"sc_schinese", "zh_cn"}, {"spanish", "es_es"},    {"swedish", "sv_se"},
        {"tchinese", "zh_tw"},    {"thai", "th_th"},       {"turkish", "tr_tr"},
        {"ukrainian", "uk_ua"},   {"vietnamese", "vi_vn"},
    };
    ASSERT_EQ(k_nQuillLanguagePairs, 29);
    for (int i = 0; i < k_nQuillLanguagePairs; ++i) {
        EXPECT_STREQ(g_rPairs[i].m_pchQuillLanguage, expected[i].first) << i;
        EXPECT_STREQ(g_rPairs[i].m_pchIsoLanguage, expected[i].second) << i;
        EXPECT_EQ(QuillLanguageToIsoLanguage(expected[i].first), expected[i].second);
    }
    EXPECT_EQ(QuillLanguageToIsoLanguage("SChinese"), "zh_cn");
    EXPECT_EQ(QuillLanguageToIsoLanguage("GERMAN"), "de_de");
    EXPECT_EQ(QuillLanguageToIsoLanguage("klingon"), "en_us");
    EXPECT_EQ(QuillLanguageToIsoLanguage(""), "en_us");
    EXPECT_EQ(QuillLanguageToIsoLanguage("german "), "en_us");
    EXPECT_EQ(QuillLanguageToIsoLanguage("de_de"), "en_us");
}

class QuillLanguageFileTest : public halyard_test::TempDirTest {
protected:
    void Settings(const std::string& sContent) {
        mkdir(TempPath(".quill").c_str(), 0755);
        WriteFile(TempPath(".quill/exportedsettings.json"), sContent);
    }
};

TEST_F(QuillLanguageFileTest, WithoutUtilitiesTheExportedSettingsDecide) {
    ScopedEnv home("HOME", TempDir());
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");  // no file
    Settings(R"({"language": "german", "other": 1})");
    EXPECT_EQ(GetQuillLanguage(nullptr), "german");
    Settings(R"({"other": 1})");
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
    Settings(R"({"language": 5})");
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
    Settings(R"(["language", "german"])");
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
    Settings("");
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
    {
        LogRecorder log;
        Settings(R"({"language": )");
        EXPECT_EQ(GetQuillLanguage(nullptr), "english");
        EXPECT_EQ(log.Count("Parsing of JSON file \"" + TempPath(".quill/exportedsettings.json") +
                            "\" failed: "),
                  1u)
            << log.All();
    }
    Settings(R"({"language": "schinese"})");
    ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
}

TEST_F(QuillPrivateTest, UtilitiesInterfaceGivesTheLanguage) {
    ASSERT_TRUE(StartSim(R"({"host": {"language": "tchinese"}})"));
    ScopedEnv home("HOME", TempDir());
    ASSERT_EQ(QuillInternal_QuillAPI_Init(k_rgchCheckList, nullptr), 0);
    ASSERT_NE(QuillUtils(), nullptr);
    EXPECT_EQ(GetQuillLanguage(QuillUtils()), "tchinese");
    EXPECT_EQ(QuillLanguageToIsoLanguage(GetQuillLanguage(QuillUtils())), "zh_tw");
    EXPECT_EQ(GetQuillLanguage(nullptr), "english");
}

}  // namespace
