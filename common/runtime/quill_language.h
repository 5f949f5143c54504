// quill_language: the host client's user-interface language and the locale
// name the string tables use for it.
//
// GetQuillLanguage asks the host client's utilities interface (slot 23) when
// one is given; otherwise it reads "language" from the host client's exported
// settings, $HOME/.quill/exportedsettings.json. Anything missing answers
// "english":
//   GetQuillLanguage(utils answering "german")              => "german"
//   GetQuillLanguage(null), file {"language": "french"}    => "french"
//   GetQuillLanguage(null), no file / invalid JSON / HOME unset
//                       / no "language" / not a string    => "english"
//
// QuillLanguageToIsoLanguage looks the name up in g_rPairs (29 pairs, in
// order, ASCII case ignored); an unlisted name gives "en_us":
//   "german"      => "de_de"        "SChinese"   => "zh_cn"
//   "sc_schinese" => "zh_cn"        "klingon"    => "en_us"
//   ""            => "en_us"
//
// Thread safety: no state; callable from any thread (the interface call and
// the file read are the caller's thread's). Failure: none reported; invalid
// settings JSON is logged by the JSON reader.
#pragma once

#include <string>

class IQuillUtils;

struct QuillLanguagePair_t {
    const char* m_pchQuillLanguage;
    const char* m_pchIsoLanguage;
};

inline constexpr int k_nQuillLanguagePairs = 29;
extern const QuillLanguagePair_t g_rPairs[k_nQuillLanguagePairs];

std::string GetQuillLanguage(IQuillUtils* pQuillUtils);
std::string QuillLanguageToIsoLanguage(const std::string& sQuillLanguage);
