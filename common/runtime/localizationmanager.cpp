#include "localizationmanager.h"

#include "lattice_internal.h"
#include "pathtools.h"
#include "quill_language.h"
#include "strtools_public.h"
#include "vrjsonutils.h"
#include "vrlog.h"

namespace {

constexpr const char* k_pchLanguageTag = "language_tag";

// The JSON library throws when asked for the text of an array or an object;
// such values are refused here instead.
bool BValueText(const Json::Value& value, std::string& sText) {
    if (!value.isConvertibleTo(Json::stringValue)) {
        return false;
    }
    sText = value.asString();
    return true;
}

// Reads one language file named by an index; a file that is missing, not
// JSON or not an object fails. On success the object is tagged with its
// locale.
bool BReadLanguageFile(const std::string& sFullPath, const std::string& sLocaleLower,
                       Json::Value& language) {
    if (ReadJsonFile(sFullPath, language) != ReadJson_Success ||
        !(language.isObject() || language.isNull())) {
        language = Json::Value();
        return false;
    }
    language[k_pchLanguageTag] = sLocaleLower;
    return true;
}

void AppendTo(Json::Value& out, const Json::Value& element) {
    if (!out.isArray()) {
        out = Json::Value(Json::arrayValue);
    }
    out.append(element);
}

bool BWantedLocale(const std::string& sMemberLower, const std::string& sLocaleLower) {
    return sMemberLower == "en_us" || sMemberLower == sLocaleLower;
}

}  // namespace

// --- free functions ---------------------------------------------------------------

void ReplaceSubstr(std::string& sText, const std::string& sWhat, const std::string& sWith) {
    if (sWhat.empty()) {
        return;
    }
    size_t nPos = sText.find(sWhat);
    if (nPos != std::string::npos) {
        sText.replace(nPos, sWhat.size(), sWith);
    }
}

const Json::Value* FindLanguageTag(const Json::Value& languages, const std::string& sLocale) {
    if (!languages.isArray()) {
        return nullptr;
    }
    for (const Json::Value& language : languages) {
        std::string sTag;
        if (language.isObject() && BValueText(language.get(k_pchLanguageTag, ""), sTag) &&
            stricmp(sTag.c_str(), sLocale.c_str()) == 0) {
            return &language;
        }
    }
    return nullptr;
}

Json::Value* FindLanguageTag(Json::Value& languages, const std::string& sLocale) {
    return const_cast<Json::Value*>(
        FindLanguageTag(static_cast<const Json::Value&>(languages), sLocale));
}

int ReadLocalizationFile(const std::string& sIndexName, const std::string& sLocale,
                         Json::Value& out) {
    std::string sIndexPath = vr_internal::GetResourceFullPath(sIndexName);
    if (sIndexPath.empty()) {
        return ReadJson_FileNotFound;
    }
    Json::Value index;
    int nResult = ReadJsonFile(sIndexPath, index);
    if (nResult != ReadJson_Success) {
        return nResult;
    }
    if (index.isArray()) {
        out = index;
        return ReadJson_Success;
    }
    if (!index.isObject()) {
        Log("Localization files must be either an array (old-style) or an object (new-style). "
            "%s is neither\n",
            sIndexPath.c_str());
        return ReadJson_ParseError;
    }
    // The language objects are appended to what out holds, as for an index block.
    std::string sLocaleLower = StringToLower(sLocale);
    for (const std::string& sMember : index.getMemberNames()) {
        std::string sMemberLower = StringToLower(sMember);
        if (!BWantedLocale(sMemberLower, sLocaleLower)) {
            continue;
        }
        std::string sFileName;
        BValueText(index[sMember], sFileName);  // not text: an empty name, which fails below
        std::string sFullPath =
            sFileName.empty() ? std::string() : vr_internal::GetResourceFullPath(sFileName);
        Json::Value language;
        if (!BReadLanguageFile(sFullPath, sMemberLower, language)) {
            Log("Unable to read language file %s from index file %s\n", sFullPath.c_str(),
                sIndexPath.c_str());
        }
        AppendTo(out, language);
    }
    return ReadJson_Success;
}

int ReadLocalizationBlock(const std::string& sBaseDir, const Json::Value& block,
                          const std::string& sLocale, Json::Value& out) {
    if (!block.isObject()) {
        return ReadJson_Success;
    }
    std::string sLocaleLower = StringToLower(sLocale);
    for (const std::string& sMember : block.getMemberNames()) {
        std::string sMemberLower = StringToLower(sMember);
        std::string sFileName;
        if (!BWantedLocale(sMemberLower, sLocaleLower) || !BValueText(block[sMember], sFileName) ||
            sFileName.empty()) {
            continue;
        }
        if (!Path_IsAbsolute(sFileName) && sFileName[0] != '{') {
            sFileName = Path_Join(sBaseDir, sFileName);
        }
        std::string sFullPath = vr_internal::GetResourceFullPath(sFileName);
        Json::Value language;
        if (!BReadLanguageFile(sFullPath, sMemberLower, language)) {
            Log("Unable to read language file %s from index block\n", sFullPath.c_str());
        }
        AppendTo(out, language);
    }
    return ReadJson_Success;
}

// --- CLocalizationManager -------------------------------------------------------------

void CLocalizationManager::SetLanguage(std::string const& sLanguage) {
    m_sLanguage = sLanguage.empty() ? std::string("english") : sLanguage;
}

void CLocalizationManager::CopyToStringTable(StringTable_t& table, const Json::Value* pLanguage) {
    if (!pLanguage || !pLanguage->isObject()) {
        return;
    }
    for (const std::string& sMember : pLanguage->getMemberNames()) {
        if (sMember == k_pchLanguageTag) {
            continue;
        }
        std::string sText;
        if (!BValueText((*pLanguage)[sMember], sText)) {
            Log(LogLevel_Warning, "Localization entry %s is not a string; skipped\n",
                sMember.c_str());
            continue;
        }
        table[StringToLower(sMember)] = sText;
    }
}

bool CLocalizationManager::BLoadDriverStringTable(std::string const& sDriverName) {
    std::string sLocale = QuillLanguageToIsoLanguage(m_sLanguage);
    Json::Value languages;
    if (ReadLocalizationFile("{" + sDriverName + "}/localization/localization.json", sLocale,
                             languages) != ReadJson_Success) {
        return false;
    }
    const Json::Value* pEnglish = FindLanguageTag(languages, "en_US");
    const Json::Value* pWanted = FindLanguageTag(languages, sLocale);
    if (!pEnglish && !pWanted) {
        return false;
    }
    auto pTable = std::make_unique<StringTable_t>();
    CopyToStringTable(*pTable, pEnglish);
    CopyToStringTable(*pTable, pWanted);
    if (pTable->empty()) {
        return false;
    }
    m_tables[StringToLower(sDriverName)] = std::move(pTable);
    return true;
}

bool CLocalizationManager::BLoadWebStringTable(std::string const& sContext) {
    if (!sContext.empty()) {
        Log(LogLevel_Error, "Unknown string table context %s", sContext.c_str());
        return false;
    }
    std::string sPath = vr_internal::GetResourceFullPath(
        "webinterface/dashboard/localization/pagehost_" + m_sLanguage + ".json");
    if (sPath.empty()) {
        return false;
    }
    Json::Value root;
    if (ReadJsonFile(sPath, root) != ReadJson_Success) {
        return false;
    }
    if (!root.isObject() && !root.isNull()) {
        Log(LogLevel_Error, "Localization file %s is not an object\n", sPath.c_str());
        return false;
    }
    auto pTable = std::make_unique<StringTable_t>();
    for (const std::string& sMember : root.getMemberNames()) {
        std::string sText;
        if (!BValueText(root[sMember], sText)) {
            Log(LogLevel_Warning, "Localization entry %s is not a string; skipped\n",
                sMember.c_str());
            continue;
        }
        // Names that differ only in case: the first in the library's order wins.
        pTable->emplace(StringToLower(sMember), sText);
    }
    m_tables[""] = std::move(pTable);
    return true;
}

std::string CLocalizationManager::GetStringEntry(std::string const& sContext,
                                                 std::string const& sToken) {
    if (sToken.empty()) {
        return std::string();
    }
    std::string sKey = StringToLower(sToken[0] == '#' ? sToken.substr(1) : sToken);
    auto Lookup = [&](const std::string& sTable, std::string& sText) {
        auto itTable = m_tables.find(sTable);
        if (itTable == m_tables.end() || !itTable->second) {
            return false;
        }
        auto itEntry = itTable->second->find(sKey);
        if (itEntry == itTable->second->end()) {
            return false;
        }
        sText = itEntry->second;
        return true;
    };
    std::string sText;
    if (!sContext.empty() && Lookup(StringToLower(sContext), sText)) {
        return sText;
    }
    if (Lookup("", sText)) {
        return sText;
    }
    return sToken;
}

std::string CLocalizationManager::Localize(std::string const& sContext, std::string const& sToken,
                                           std::string const& sArg1, std::string const& sArg2,
                                           std::string const& sArg3) {
    std::string sText = GetStringEntry(sContext, sToken);
    ReplaceSubstr(sText, "%1$s", sArg1);
    ReplaceSubstr(sText, "%2$s", sArg2);
    ReplaceSubstr(sText, "%3$s", sArg3);
    return sText;
}

Json::Value CLocalizationManager::GetLocalizationJson() {
    Json::Value result;
    for (const auto& [sName, pTable] : m_tables) {
        Json::Value& table = result[sName];
        table = Json::Value(Json::objectValue);
        for (const auto& [sKey, sText] : *pTable) {
            table[sKey] = sText;
        }
    }
    return result;
}

Json::Value CLocalizationManager::GetFlatLocalizationJson() {
    Json::Value result;
    for (const auto& [sName, pTable] : m_tables) {
        for (const auto& [sKey, sText] : *pTable) {
            result["{" + sName + "}" + sKey] = sText;
        }
    }
    return result;
}
