// localizationmanager: string tables of translated user-visible text, one per
// driver and one for the web interface, with token lookup, placeholder
// substitution and JSON export.
//
// Tables are keyed by lower-case name: a driver's table by the driver's name,
// the web interface's by the empty name. Keys are lower-case. A lookup of a
// token (a leading '#' is dropped, case ignored) tries the context's table,
// then the web table, and otherwise answers the token unchanged:
//   GetStringEntry("", "#Hello")           => web["hello"], else "#Hello"
//   GetStringEntry("MyDriver", "#Title")   => mydriver["title"], else web["title"],
//                                             else "#Title"
//   GetStringEntry(any, "")                => ""
// Localize substitutes the first "%1$s", then the first "%2$s", then the first
// "%3$s", each in the result of the step before:
//   text "%1$s and %1$s", sArg1 "x"              => "x and %1$s"
//   text "%1$s %2$s", sArg1 "%2$s", sArg2 "y"    => "y %2$s"
//
// Files are found through vr_internal::GetResourceFullPath (the runtime's
// resources interface) and read with ReadJsonFile:
//   driver index   "{<driver>}/localization/localization.json", either an
//                  array of language objects tagged "language_tag" (old style)
//                  or an object mapping locales to language file names (new
//                  style; only "en_us" and the wanted locale are loaded);
//   web table      "webinterface/dashboard/localization/pagehost_<language>.json",
//                  one flat object.
// A driver table is English overlaid with the wanted locale (from
// QuillLanguageToIsoLanguage of the language), key by key.
//
// Thread safety: none. Loads and lookups on one manager must not overlap
// with a load on another thread.
// Ownership: the manager owns its tables; a reload replaces (and frees) the
// table of the same name.
// Failure: loads answer false and leave the loaded tables as they were; file
// problems are logged. Values that cannot be text (arrays, objects) are
// skipped with a log line; nothing here throws.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <unordered_map>

class CLocalizationManager {
public:
    // Lower-case key => text.
    typedef std::unordered_map<std::string, std::string> StringTable_t;

    CLocalizationManager() = default;
    CLocalizationManager(const CLocalizationManager&) = delete;
    CLocalizationManager& operator=(const CLocalizationManager&) = delete;

    // The host client's language name (e.g. "english"); empty stores "english".
    void SetLanguage(std::string const& sLanguage);
    const std::string& GetLanguage() const { return m_sLanguage; }

    bool BLoadDriverStringTable(std::string const& sDriverName);
    // sContext must be empty (the web table); anything else is logged and refused.
    bool BLoadWebStringTable(std::string const& sContext);

    std::string GetStringEntry(std::string const& sContext, std::string const& sToken);
    std::string Localize(std::string const& sContext, std::string const& sToken,
                         std::string const& sArg1, std::string const& sArg2,
                         std::string const& sArg3);

    // { "<table name>": { "<key>": "<text>", ... }, ... }; null without tables.
    Json::Value GetLocalizationJson();
    // { "{<table name>}<key>": "<text>", ... }; null without entries.
    Json::Value GetFlatLocalizationJson();

    // Every member of the language object but "language_tag" into the table
    // (lower-case keys, later copies overwrite); nothing for a null pointer or
    // a value that is not an object.
    void CopyToStringTable(StringTable_t& table, const Json::Value* pLanguage);

private:
    std::unordered_map<std::string, std::unique_ptr<StringTable_t>> m_tables;
    std::string m_sLanguage = "english";
};

// Reads a driver's localization index as an array of language objects: an
// old-style index (an array) replaces out; the language objects of a new-style
// index (an object) are appended to it, so out stays as it was when no locale
// matches. 0 on success; 1 when the name does not resolve or the file is
// missing; 2 when it is not valid JSON or neither an array nor an object.
// Language files that cannot be read are logged and appear as null elements.
int ReadLocalizationFile(const std::string& sIndexName, const std::string& sLocale,
                         Json::Value& out);
// The new-style step for an index block already parsed: relative file names
// are joined to sBaseDir ("{..." and absolute names are kept). Appends to
// sOut; always 0.
int ReadLocalizationBlock(const std::string& sBaseDir, const Json::Value& block,
                          const std::string& sLocale, Json::Value& out);
// The first element whose "language_tag" equals sLocale (ASCII case ignored);
// null when none does. Elements that are not objects are passed over.
Json::Value* FindLanguageTag(Json::Value& languages, const std::string& sLocale);
const Json::Value* FindLanguageTag(const Json::Value& languages, const std::string& sLocale);
// Replaces the first occurrence of sWhat in sText; an empty sWhat changes nothing.
void ReplaceSubstr(std::string& sText, const std::string& sWhat, const std::string& sWith);
