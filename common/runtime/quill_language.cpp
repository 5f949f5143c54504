#include "quill_language.h"

#include <json/json.h>

#include "pathtools.h"
#include "quill_api.h"
#include "strtools_public.h"
#include "vrjsonutils.h"

const QuillLanguagePair_t g_rPairs[k_nQuillLanguagePairs] = {
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

namespace {

constexpr const char* k_pchDefaultLanguage = "english";

std::string LanguageFromExportedSettings() {
    // Without HOME the name would silently become relative to the working
    // directory; there is no settings file to read then.
    const char* pchHome = getenv("HOME");
    if (!pchHome) {
        return k_pchDefaultLanguage;
    }
    Json::Value root;
    if (ReadJsonFile(Path_Join(pchHome, ".quill/exportedsettings.json"), root) !=
        ReadJson_Success) {
        return k_pchDefaultLanguage;
    }
    if (!root.isObject()) {
        return k_pchDefaultLanguage;
    }
    const Json::Value& language = root["language"];
    return language.isString() ? language.asString() : k_pchDefaultLanguage;
}

}  // namespace

std::string GetQuillLanguage(IQuillUtils* pQuillUtils) {
    if (pQuillUtils) {
        const char* pchLanguage = pQuillUtils->GetUiLanguage();
        return pchLanguage ? pchLanguage : k_pchDefaultLanguage;
    }
    return LanguageFromExportedSettings();
}

std::string QuillLanguageToIsoLanguage(const std::string& sQuillLanguage) {
    for (const QuillLanguagePair_t& pair : g_rPairs) {
        if (stricmp(sQuillLanguage.c_str(), pair.m_pchQuillLanguage) == 0) {
            return pair.m_pchIsoLanguage;
        }
    }
    return "en_us";
}
