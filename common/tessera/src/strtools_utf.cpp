// UTF-8 <-> UTF-16 conversion and UTF-8 repair for strtools_public.h.
#include <codecvt>
#include <locale>
#include <string>

#include "strtools_public.h"

// The standard converters are deprecated but remain the reference behaviour
// the rest of the runtime agrees with; silence only that warning here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

using Utf16Converter_t = std::wstring_convert<std::codecvt_utf8_utf16<wchar_t>, wchar_t>;

// wstring_convert keeps its conversion state and count in the object and
// rewrites them on every call, so one shared instance would race between
// threads. Each thread gets its own, built on first use.
Utf16Converter_t& ThreadConverter() {
    thread_local Utf16Converter_t s_converter;
    return s_converter;
}

bool IsSurrogate(char32_t ch) {
    return ch >= 0xD800 && ch <= 0xDFFF;
}

}  // namespace

std::string UTF16to8(const wchar_t* pwch) {
    if (!pwch) {
        return std::string();
    }
    return ThreadConverter().to_bytes(pwch);
}

std::string UTF16to8(const std::wstring& wstr) {
    return ThreadConverter().to_bytes(wstr);
}

std::wstring UTF8to16(const char* pch) {
    if (!pch) {
        return std::wstring();
    }
    return ThreadConverter().from_bytes(pch);
}

std::wstring UTF8to16(const std::string& str) {
    return ThreadConverter().from_bytes(str);
}

bool RepairUTF8(const char* pbegin, const char* pend, std::string& sOut) {
    sOut.clear();
    if (!pbegin || !pend || pend <= pbegin) {
        return true;
    }
    sOut.reserve(static_cast<size_t>(pend - pbegin));

    // The facet's in() is const and keeps its state in the argument, so one
    // decoder serves every thread.
    static const std::codecvt_utf8<char32_t, 0x10FFFF> s_decoder;
    bool bValid = true;
    const char* pch = pbegin;
    while (pch < pend) {
        std::mbstate_t state{};
        const char* pchNext = pch;
        char32_t rchOut[1];
        char32_t* pchOutNext = rchOut;
        s_decoder.in(state, pch, pend, pchNext, rchOut, rchOut + 1, pchOutNext);
        // One decoded code point (the result is "partial" when more input
        // follows, because the output holds only one). The decoder accepts
        // encoded surrogates, which are not valid UTF-8, so those are refused too.
        if (pchOutNext == rchOut + 1 && pchNext > pch && !IsSurrogate(rchOut[0])) {
            sOut.append(pch, pchNext);
            pch = pchNext;
        } else {
            sOut += '?';
            bValid = false;
            ++pch;
        }
    }
    return bValid;
}

bool RepairUTF8(const std::string& sInput, std::string& sOut) {
    return RepairUTF8(sInput.data(), sInput.data() + sInput.size(), sOut);
}

#pragma GCC diagnostic pop
