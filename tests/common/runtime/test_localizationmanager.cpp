// String tables loaded through the runtime's resources interface of a real
// lattice-sim, with real files under the simulator's resource directory.
#include <string>

#include "lattice_internal.h"
#include "localizationmanager.h"
#include "log_recorder.h"
#include "pathtools.h"
#include "sim_fixture.h"

namespace {

using halyard_test::LogRecorder;
using halyard_test::WriteFile;

void* RuntimeGetter(const char* pchName) {
    return VR_GetGenericInterface(pchName, nullptr);
}

class LocalizationTest : public halyard_test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        m_sRoot = TempPath("res");
        ASSERT_TRUE(BCreateDirectoryRecursive(m_sRoot.c_str()));
    }
    void TearDown() override {
        vr_internal::CleanupInternalInterfaces();
        VR_ShutdownInternal();
        SimTest::TearDown();
    }

    // Starts the simulator serving m_sRoot and connects the resources interface.
    void Connect(vr_internal::InterfaceGetter_t getter = RuntimeGetter) {
        ASSERT_TRUE(StartSim(R"({"resource_dir": ")" + m_sRoot + R"("})"));
        vr::ELatticeInitError eError = vr::LatticeInitError_Unknown;
        uint32_t unToken = VR_InitInternal2(&eError, vr::LatticeApp_Overlay, nullptr);
        ASSERT_EQ(eError, vr::LatticeInitError_None);
        vr::LatticeInternal_ResetModuleContext(unToken);
        vr_internal::InitInternalInterfaces(getter, true);
        ASSERT_NE(vr_internal::VRResources(), nullptr);
    }

    void Resource(const std::string& sName, const std::string& sContent) {
        std::string sPath = m_sRoot + "/" + sName;
        ASSERT_TRUE(BCreateDirectoryRecursive(Path_StripFilename(sPath).c_str()));
        WriteFile(sPath, sContent);
    }
    void WebFile(const std::string& sLanguage, const std::string& sContent) {
        Resource("webinterface/dashboard/localization/pagehost_" + sLanguage + ".json", sContent);
    }
    void DriverIndex(const std::string& sDriver, const std::string& sContent) {
        Resource(sDriver + "/localization/localization.json", sContent);
    }

    std::string m_sRoot;
};

const char k_rgchOldStyleIndex[] = R"([
    {"language_tag": "en_US", "Title": "Title", "Only_English": "english only",
     "Greeting": "Hello %1$s"},
    {"language_tag": "de_DE", "Title": "Titel", "Greeting": "Hallo %1$s"}
])";

TEST_F(LocalizationTest, LookupsFallBackFromDriverToWebToToken) {
    Connect();
    WebFile("english", R"({"Hello": "Hi there", "Shared": "from the web", "Title": "web title"})");
    DriverIndex("MyDriver", k_rgchOldStyleIndex);
    CLocalizationManager manager;
    EXPECT_EQ(manager.GetStringEntry("", "#Hello"), "#Hello");  // nothing loaded yet
    EXPECT_TRUE(manager.GetLocalizationJson().isNull());
    EXPECT_TRUE(manager.GetFlatLocalizationJson().isNull());

    ASSERT_TRUE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(manager.GetStringEntry("", "#Hello"), "Hi there");
    EXPECT_EQ(manager.GetStringEntry("", "HELLO"), "Hi there");
    EXPECT_EQ(manager.GetStringEntry("", "#Missing"), "#Missing");
    EXPECT_EQ(manager.GetStringEntry("", "Missing"), "Missing");
    EXPECT_EQ(manager.GetStringEntry("", ""), "");
    EXPECT_EQ(manager.GetStringEntry("", "#"), "#");

    ASSERT_TRUE(manager.BLoadDriverStringTable("MyDriver"));
    EXPECT_EQ(manager.GetStringEntry("mydriver", "#Title"), "Title");
    EXPECT_EQ(manager.GetStringEntry("MYDRIVER", "#title"), "Title");
    // Not in the driver's table: the web table answers.
    EXPECT_EQ(manager.GetStringEntry("MyDriver", "#Shared"), "from the web");
    // An unknown context goes straight to the web table.
    EXPECT_EQ(manager.GetStringEntry("otherdriver", "#Title"), "web title");
    EXPECT_EQ(manager.GetStringEntry("MyDriver", "#Nowhere"), "#Nowhere");
}

TEST_F(LocalizationTest, DriverTableOverlaysTheWantedLanguageOnEnglish) {
    Connect();
    DriverIndex("mydriver", k_rgchOldStyleIndex);
    CLocalizationManager manager;
    manager.SetLanguage("German");
    ASSERT_TRUE(manager.BLoadDriverStringTable("mydriver"));
    EXPECT_EQ(manager.GetStringEntry("mydriver", "#Title"), "Titel");
    EXPECT_EQ(manager.GetStringEntry("mydriver", "#Only_English"), "english only");
    EXPECT_EQ(manager.Localize("mydriver", "#Greeting", "Ada", "", ""), "Hallo Ada");
    // language_tag is not a key.
    EXPECT_EQ(manager.GetStringEntry("mydriver", "language_tag"), "language_tag");

    // A language the driver lacks: English alone.
    manager.SetLanguage("swedish");
    ASSERT_TRUE(manager.BLoadDriverStringTable("mydriver"));
    EXPECT_EQ(manager.GetStringEntry("mydriver", "#Title"), "Title");

    // Only the wanted language, no English: that language alone.
    DriverIndex("german_only", R"([{"language_tag": "DE_de", "Title": "Nur Deutsch"}])");
    manager.SetLanguage("german");
    ASSERT_TRUE(manager.BLoadDriverStringTable("german_only"));
    EXPECT_EQ(manager.GetStringEntry("german_only", "#Title"), "Nur Deutsch");
}

TEST_F(LocalizationTest, DriverLoadFailuresKeepTheLoadedTable) {
    Connect();
    DriverIndex("drv", k_rgchOldStyleIndex);
    CLocalizationManager manager;
    ASSERT_TRUE(manager.BLoadDriverStringTable("drv"));

    EXPECT_FALSE(manager.BLoadDriverStringTable("absent"));
    DriverIndex("french_only", R"([{"language_tag": "fr_fr", "Title": "Titre"}])");
    EXPECT_FALSE(manager.BLoadDriverStringTable("french_only"));
    DriverIndex("empty", R"([{"language_tag": "en_us"}])");
    EXPECT_FALSE(manager.BLoadDriverStringTable("empty"));
    DriverIndex("broken", "[{");
    EXPECT_FALSE(manager.BLoadDriverStringTable("broken"));

    // A reload of the same driver that fails leaves its table in place.
    DriverIndex("drv", R"([{"language_tag": "xx_xx", "Title": "?"}])");
    EXPECT_FALSE(manager.BLoadDriverStringTable("drv"));
    EXPECT_EQ(manager.GetStringEntry("drv", "#Title"), "Title");
    Json::Value all = manager.GetLocalizationJson();
    EXPECT_EQ(all.getMemberNames(), std::vector<std::string>{"drv"});

    // A successful reload replaces it whole.
    DriverIndex("drv", R"([{"language_tag": "en_us", "Other": "other"}])");
    ASSERT_TRUE(manager.BLoadDriverStringTable("drv"));
    EXPECT_EQ(manager.GetStringEntry("drv", "#Title"), "#Title");
    EXPECT_EQ(manager.GetStringEntry("drv", "#Other"), "other");
}

TEST_F(LocalizationTest, NewStyleIndexLoadsOnlyEnglishAndTheWantedLocale) {
    Connect();
    Resource("nd/localization/en.json", R"({"Title": "Title", "Extra": "extra"})");
    Resource("nd/localization/fr.json", R"({"Title": "Titre"})");
    Resource("nd/localization/de.json", R"({"Title": "Titel"})");
    DriverIndex("nd", R"({"EN_US": "{nd}/localization/en.json",
                         "fr_fr": "{nd}/localization/fr.json",
                         "de_de": "{nd}/localization/de.json"})");
    Json::Value languages;
    ASSERT_EQ(ReadLocalizationFile("{nd}/localization/localization.json", "FR_FR", languages), 0);
    ASSERT_TRUE(languages.isArray());
    ASSERT_EQ(languages.size(), 2u);
    // Member order is the JSON library's (sorted): "EN_US" before "fr_fr".
    EXPECT_EQ(languages[0]["language_tag"].asString(), "en_us");
    EXPECT_EQ(languages[0]["Extra"].asString(), "extra");
    EXPECT_EQ(languages[1]["language_tag"].asString(), "fr_fr");
    EXPECT_EQ(languages[1]["Title"].asString(), "Titre");
    // The language objects are appended to what the caller's value holds.
    ASSERT_EQ(ReadLocalizationFile("{nd}/localization/localization.json", "de_de", languages), 0);
    ASSERT_EQ(languages.size(), 4u);
    EXPECT_EQ(languages[1]["language_tag"].asString(), "fr_fr");
    EXPECT_EQ(languages[3]["Title"].asString(), "Titel");
    // No member for English or the locale: nothing appended, the value stays null.
    DriverIndex("de_only", R"({"de_de": "{nd}/localization/de.json"})");
    Json::Value none;
    ASSERT_EQ(ReadLocalizationFile("{de_only}/localization/localization.json", "ja_jp", none), 0);
    EXPECT_TRUE(none.isNull());

    CLocalizationManager manager;
    manager.SetLanguage("french");
    ASSERT_TRUE(manager.BLoadDriverStringTable("nd"));
    EXPECT_EQ(manager.GetStringEntry("nd", "#Title"), "Titre");
    EXPECT_EQ(manager.GetStringEntry("nd", "#Extra"), "extra");
}

TEST_F(LocalizationTest, UnreadableLanguageFilesAreLoggedAndSkipped) {
    Connect();
    Resource("nd/localization/en.json", R"({"Title": "Title"})");
    Resource("nd/localization/bad.json", "{ not json");
    Resource("nd/localization/list.json", "[1, 2]");
    DriverIndex("nd", R"({"en_us": "{nd}/localization/en.json",
                         "de_de": "{nd}/localization/missing.json",
                         "fr_fr": "{nd}/localization/bad.json",
                         "it_it": "{nd}/localization/list.json",
                         "nl_nl": {"not": "a name"}})");
    std::string sIndex = m_sRoot + "/nd/localization/localization.json";
    for (const char* pchLocale : {"de_de", "fr_fr", "it_it", "nl_nl"}) {
        LogRecorder log;
        Json::Value languages;
        ASSERT_EQ(ReadLocalizationFile("{nd}/localization/localization.json", pchLocale, languages),
                  0)
            << pchLocale;
        // English and a null element for the language that failed, in member order.
        ASSERT_EQ(languages.size(), 2u) << pchLocale;
        EXPECT_NE(FindLanguageTag(languages, "en_us"), nullptr) << pchLocale;
        EXPECT_TRUE(languages[0].isNull() || languages[1].isNull()) << pchLocale;
        std::string sLocale = pchLocale;
        std::string sFull = sLocale == "fr_fr"   ? m_sRoot + "/nd/localization/bad.json"
                            : sLocale == "it_it" ? m_sRoot + "/nd/localization/list.json"
                                                 : "";  // missing, or not a name: unresolved
        EXPECT_TRUE(
            log.Has("Unable to read language file " + sFull + " from index file " + sIndex + "\n",
                    LogLevel_Info))
            << log.All();
    }
    // The English half still makes a table.
    CLocalizationManager manager;
    manager.SetLanguage("german");
    ASSERT_TRUE(manager.BLoadDriverStringTable("nd"));
    EXPECT_EQ(manager.GetStringEntry("nd", "#Title"), "Title");
}

TEST_F(LocalizationTest, IndexThatIsNeitherArrayNorObjectIsRefused) {
    Connect();
    DriverIndex("num", "42");
    LogRecorder log;
    Json::Value languages("untouched");
    EXPECT_EQ(ReadLocalizationFile("{num}/localization/localization.json", "en_us", languages), 2);
    EXPECT_TRUE(
        log.Has("Localization files must be either an array (old-style) or an object "
                "(new-style). " +
                    m_sRoot + "/num/localization/localization.json is neither\n",
                LogLevel_Info))
        << log.All();
    EXPECT_EQ(languages.asString(), "untouched");
    EXPECT_EQ(ReadLocalizationFile("{none}/localization/localization.json", "en_us", languages), 1);
    DriverIndex("bad", "[");
    EXPECT_EQ(ReadLocalizationFile("{bad}/localization/localization.json", "en_us", languages), 2);
}

TEST_F(LocalizationTest, IndexBlockJoinsRelativeNamesToTheBaseDirectory) {
    Connect();
    Resource("blk/strings/en.json", R"({"A": "a"})");
    Resource("blk/strings/de.json", R"({"A": "ä"})");
    Resource("abs/fr.json", R"({"A": "à"})");
    Json::Value block;
    block["en_US"] = "strings/en.json";         // relative: joined to the base
    block["de_de"] = "{blk}/strings/de.json";   // a resource reference: unchanged
    block["fr_fr"] = m_sRoot + "/abs/fr.json";  // absolute: unchanged
    block["it_it"] = "";                        // empty: skipped
    block["es_es"] = "strings/missing.json";
    for (const char* pchLocale : {"de_de", "fr_fr", "it_it"}) {
        Json::Value out;
        EXPECT_EQ(ReadLocalizationBlock("blk", block, pchLocale, out), 0);
        ASSERT_EQ(out.size(), std::string(pchLocale) == "it_it" ? 1u : 2u) << pchLocale;
        const Json::Value* pEnglish = FindLanguageTag(out, "en_us");
        ASSERT_NE(pEnglish, nullptr) << pchLocale;
        EXPECT_EQ((*pEnglish)["A"].asString(), "a");
        if (out.size() == 2) {
            EXPECT_NE(FindLanguageTag(out, pchLocale), nullptr) << pchLocale;
        }
    }
    {
        Json::Value out;
        ReadLocalizationBlock("blk", block, "de_de", out);
        EXPECT_EQ((*FindLanguageTag(out, "de_de"))["A"].asString(), "ä");
        out.clear();
        ReadLocalizationBlock("blk", block, "fr_fr", out);
        EXPECT_EQ((*FindLanguageTag(out, "fr_fr"))["A"].asString(), "à");
    }
    LogRecorder log;
    Json::Value out;
    EXPECT_EQ(ReadLocalizationBlock("blk", block, "es_es", out), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[1].isNull());
    EXPECT_TRUE(log.Has("Unable to read language file  from index block\n", LogLevel_Info))
        << log.All();
    // Not an object: nothing to read.
    Json::Value none;
    EXPECT_EQ(ReadLocalizationBlock("blk", Json::Value(3), "en_us", none), 0);
    EXPECT_TRUE(none.isNull());
}

TEST_F(LocalizationTest, WebTableFollowsTheLanguageAndRefusesContexts) {
    Connect();
    WebFile("english", R"({"Hello": "Hello", "HELLO": "HELLO first", "n": 3, "list": [1]})");
    WebFile("german", R"({"Hello": "Hallo"})");
    CLocalizationManager manager;
    manager.SetLanguage("german");
    ASSERT_TRUE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(manager.GetStringEntry("", "#hello"), "Hallo");

    // An empty language means english.
    manager.SetLanguage("");
    EXPECT_EQ(manager.GetLanguage(), "english");
    {
        LogRecorder log;
        ASSERT_TRUE(manager.BLoadWebStringTable(""));
        // Names that collide in lower case: the first in member order wins.
        EXPECT_EQ(manager.GetStringEntry("", "#hello"), "HELLO first");
        EXPECT_EQ(manager.GetStringEntry("", "#n"), "3");
        EXPECT_EQ(manager.GetStringEntry("", "#list"), "#list");  // not text: skipped
        EXPECT_EQ(log.Count("Localization entry list is not a string"), 1u) << log.All();
    }
    {
        LogRecorder log;
        EXPECT_FALSE(manager.BLoadWebStringTable("drivers"));
        EXPECT_TRUE(log.Has("Unknown string table context drivers\n", LogLevel_Error)) << log.All();
    }
    // Failures keep the table that was loaded.
    manager.SetLanguage("french");  // no such file
    EXPECT_FALSE(manager.BLoadWebStringTable(""));
    WebFile("spanish", "{oops");
    manager.SetLanguage("spanish");
    EXPECT_FALSE(manager.BLoadWebStringTable(""));
    WebFile("dutch", R"(["not", "an object"])");
    manager.SetLanguage("dutch");
    EXPECT_FALSE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(manager.GetStringEntry("", "#hello"), "HELLO first");

    // An empty object still loads (and empties the web table).
    WebFile("thai", "{}");
    manager.SetLanguage("thai");
    EXPECT_TRUE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(manager.GetStringEntry("", "#hello"), "#hello");
}

TEST_F(LocalizationTest, WithoutResourcesNothingLoads) {
    // No runtime connection: every resource name resolves to nothing.
    CLocalizationManager manager;
    EXPECT_FALSE(manager.BLoadWebStringTable(""));
    EXPECT_FALSE(manager.BLoadDriverStringTable("mydriver"));
    Json::Value languages;
    EXPECT_EQ(ReadLocalizationFile("{mydriver}/localization/localization.json", "en_us", languages),
              1);
}

TEST_F(LocalizationTest, LocalizeSubstitutesTheFirstOccurrenceOfEachPlaceholder) {
    Connect();
    WebFile("english", R"({"twice": "%1$s and %1$s", "three": "%3$s-%2$s-%1$s",
                          "chain": "%1$s / %2$s", "plain": "no placeholders"})");
    CLocalizationManager manager;
    ASSERT_TRUE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(manager.Localize("", "#twice", "x", "y", "z"), "x and %1$s");
    EXPECT_EQ(manager.Localize("", "#three", "a", "b", "c"), "c-b-a");
    // An argument carrying a later placeholder is itself substituted.
    EXPECT_EQ(manager.Localize("", "#chain", "%2$s", "y", ""), "y / %2$s");
    EXPECT_EQ(manager.Localize("", "#plain", "a", "b", "c"), "no placeholders");
    // A token that is not found is substituted too.
    EXPECT_EQ(manager.Localize("", "#%1$s", "v", "", ""), "#v");
}

TEST_F(LocalizationTest, JsonExportsListEveryTable) {
    Connect();
    WebFile("english", R"({"Hello": "Hi"})");
    DriverIndex("Drv", R"([{"language_tag": "en_us", "Title": "T", "Sub": "S"}])");
    CLocalizationManager manager;
    ASSERT_TRUE(manager.BLoadWebStringTable(""));
    ASSERT_TRUE(manager.BLoadDriverStringTable("Drv"));

    Json::Value all = manager.GetLocalizationJson();
    ASSERT_TRUE(all.isObject());
    EXPECT_EQ(all.getMemberNames(), (std::vector<std::string>{"", "drv"}));
    EXPECT_EQ(all[""]["hello"].asString(), "Hi");
    EXPECT_EQ(all["drv"]["title"].asString(), "T");
    EXPECT_EQ(all["drv"]["sub"].asString(), "S");
    EXPECT_EQ(all["drv"].size(), 2u);

    Json::Value flat = manager.GetFlatLocalizationJson();
    ASSERT_TRUE(flat.isObject());
    EXPECT_EQ(flat.getMemberNames(),
              (std::vector<std::string>{"{drv}sub", "{drv}title", "{}hello"}));
    EXPECT_EQ(flat["{}hello"].asString(), "Hi");
}

TEST_F(LocalizationTest, RuntimeLocalizeUsesTheManagerOfTheInterfaceTable) {
    WebFile("english", R"j({"Welcome": "Welcome, %1$s (%2$s, %3$s)"})j");
    CLocalizationManager manager;
    Connect([&manager](const char* pchName) -> void* {
        if (std::string(pchName) == "LocalizationManager") {
            return &manager;
        }
        return VR_GetGenericInterface(pchName, nullptr);
    });
    ASSERT_EQ(vr_internal::g_pLocalizationMgr, &manager);
    ASSERT_TRUE(manager.BLoadWebStringTable(""));
    EXPECT_EQ(vr_internal::Localize("", "#Welcome", "Ada", "b", "c"), "Welcome, Ada (b, c)");
    EXPECT_EQ(vr_internal::Localize("drv", "#Unknown %1$s", "x", "", ""), "#Unknown x");

    vr_internal::CleanupInternalInterfaces();
    EXPECT_EQ(vr_internal::Localize("", "#Welcome", "Ada", "b", "c"), "#Welcome");
}

// --- the free helpers, no files needed --------------------------------------------------

TEST(LocalizationHelpers, FindLanguageTagIgnoresCaseAndOddElements) {
    Json::Value languages(Json::arrayValue);
    languages.append("a string");
    languages.append(Json::Value(Json::arrayValue));
    Json::Value noTag;
    noTag["x"] = "y";
    languages.append(noTag);
    Json::Value objectTag;
    objectTag["language_tag"]["nested"] = 1;
    languages.append(objectTag);
    Json::Value german;
    german["language_tag"] = "de_DE";
    german["k"] = "first";
    languages.append(german);
    Json::Value german2 = german;
    german2["k"] = "second";
    languages.append(german2);

    Json::Value* pFound = FindLanguageTag(languages, "DE_de");
    ASSERT_NE(pFound, nullptr);
    EXPECT_EQ((*pFound)["k"].asString(), "first");
    EXPECT_EQ(pFound, &languages[4]);
    EXPECT_EQ(FindLanguageTag(languages, "fr_fr"), nullptr);
    // An element without a tag reads as "".
    EXPECT_EQ(FindLanguageTag(languages, ""), &languages[2]);
    Json::Value notArray;
    notArray["language_tag"] = "de_de";
    EXPECT_EQ(FindLanguageTag(notArray, "de_de"), nullptr);
    Json::Value null;
    EXPECT_EQ(FindLanguageTag(null, "de_de"), nullptr);
}

TEST(LocalizationHelpers, CopyToStringTableLowersKeysAndOverwrites) {
    CLocalizationManager manager;
    CLocalizationManager::StringTable_t table{{"keep", "kept"}, {"title", "old"}};
    Json::Value language;
    language["language_tag"] = "en_us";
    language["Language_Tag"] = "a key like any other";
    language["TITLE"] = "new";
    language["Count"] = 7;
    language["Flag"] = true;
    language["Nested"]["x"] = 1;
    manager.CopyToStringTable(table, &language);
    EXPECT_EQ(table.size(), 5u);
    EXPECT_EQ(table["keep"], "kept");
    EXPECT_EQ(table["title"], "new");
    EXPECT_EQ(table["count"], "7");
    EXPECT_EQ(table["flag"], "true");
    EXPECT_EQ(table["language_tag"], "a key like any other");
    EXPECT_EQ(table.count("nested"), 0u);

    manager.CopyToStringTable(table, nullptr);
    Json::Value notObject("text");
    manager.CopyToStringTable(table, &notObject);
    EXPECT_EQ(table.size(), 5u);
}

TEST(LocalizationHelpers, ReplaceSubstrReplacesTheFirstOccurrenceOnly) {
    struct Row {
        const char* pchText;
        const char* pchWhat;
        const char* pchWith;
        const char* pchResult;
    } rows[] = {
        {"a %1$s b %1$s", "%1$s", "X", "a X b %1$s"},
        {"abc", "x", "y", "abc"},
        {"abc", "", "y", "abc"},
        {"abc", "abc", "", ""},
        {"aaa", "a", "aa", "aaaa"},
        {"", "a", "b", ""},
    };
    for (const Row& row : rows) {
        std::string sText = row.pchText;
        ReplaceSubstr(sText, row.pchWhat, row.pchWith);
        EXPECT_EQ(sText, row.pchResult) << row.pchText << " / " << row.pchWhat;
    }
}

TEST(LocalizationHelpers, SetLanguageNeverStoresAnEmptyName) {
    CLocalizationManager manager;
    EXPECT_EQ(manager.GetLanguage(), "english");
    manager.SetLanguage("german");
    EXPECT_EQ(manager.GetLanguage(), "german");
    manager.SetLanguage("");
    EXPECT_EQ(manager.GetLanguage(), "english");
}

}  // namespace
