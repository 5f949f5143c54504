#include "strtools_public.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vrassert.h"

namespace {

// Locale-independent ASCII case folding: byte strings are UTF-8, so bytes
// above 127 must never be touched.
char AsciiToLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool BytesEqualNoCase(const char* pch1, const char* pch2, size_t unCount) {
    for (size_t i = 0; i < unCount; ++i) {
        if (AsciiToLower(pch1[i]) != AsciiToLower(pch2[i])) {
            return false;
        }
    }
    return true;
}

bool IsTrailingWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

int stricmp(const char* pch1, const char* pch2) {
    return strcasecmp(pch1, pch2);
}

int strnicmp(const char* pch1, const char* pch2, size_t unCount) {
    return strncasecmp(pch1, pch2, unCount);
}

bool StringHasPrefix(const std::string& sString, const std::string& sPrefix) {
    return sString.size() >= sPrefix.size() &&
           BytesEqualNoCase(sString.data(), sPrefix.data(), sPrefix.size());
}

bool StringHasPrefixCaseSensitive(const std::string& sString, const std::string& sPrefix) {
    return sString.compare(0, sPrefix.size(), sPrefix) == 0;
}

bool StringHasSuffix(const std::string& sString, const std::string& sSuffix) {
    if (sString.size() < sSuffix.size()) {
        return false;
    }
    return BytesEqualNoCase(sString.data() + sString.size() - sSuffix.size(), sSuffix.data(),
                            sSuffix.size());
}

bool StringHasSuffixCaseSensitive(const std::string& sString, const std::string& sSuffix) {
    if (sString.size() < sSuffix.size()) {
        return false;
    }
    return sString.compare(sString.size() - sSuffix.size(), sSuffix.size(), sSuffix) == 0;
}

std::string StringToUpper(const std::string& sString) {
    std::string sOut(sString);
    for (char& c : sOut) {
        // toupper on a negative char is undefined; go through unsigned char.
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return sOut;
}

std::string StringToLower(const std::string& sString) {
    std::string sOut(sString);
    for (char& c : sOut) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return sOut;
}

std::string StringReplace(const std::string& sString, const std::string& sFrom,
                          const std::string& sTo) {
    if (sFrom.empty()) {
        return sString;
    }
    std::string sOut;
    sOut.reserve(sString.size());
    size_t unStart = 0;
    for (size_t unPos = sString.find(sFrom); unPos != std::string::npos;
         unPos = sString.find(sFrom, unStart)) {
        sOut.append(sString, unStart, unPos - unStart);
        sOut += sTo;
        unStart = unPos + sFrom.size();
    }
    sOut.append(sString, unStart, std::string::npos);
    return sOut;
}

std::string TrimTrailingWhitespace(const std::string& sString) {
    size_t unEnd = sString.size();
    while (unEnd > 0 && IsTrailingWhitespace(sString[unEnd - 1])) {
        --unEnd;
    }
    if (unEnd == 0) {
        return sString;
    }
    return sString.substr(0, unEnd);
}

std::vector<std::string> TokenizeString(const std::string& sString, char cDelimiter) {
    std::vector<std::string> vecTokens;
    if (sString.empty()) {
        return vecTokens;
    }
    size_t unStart = 0;
    for (;;) {
        size_t unPos = sString.find(cDelimiter, unStart);
        if (unPos == std::string::npos) {
            vecTokens.push_back(sString.substr(unStart));
            break;
        }
        vecTokens.push_back(sString.substr(unStart, unPos - unStart));
        unStart = unPos + 1;
    }
    return vecTokens;
}

void V_StripExtension(std::string& sString) {
    size_t unDot = sString.find_last_of('.');
    if (unDot == std::string::npos) {
        return;
    }
    if (sString.find_first_of("/\\", unDot) != std::string::npos) {
        return;  // the dot belongs to a directory name
    }
    sString.erase(unDot);
}

std::string Format(const char* pchFormat, ...) {
    char rchBuffer[4096];
    va_list args;
    va_start(args, pchFormat);
    va_list argsRetry;
    va_copy(argsRetry, args);
    int nLen = vsnprintf(rchBuffer, sizeof(rchBuffer), pchFormat, args);
    va_end(args);

    std::string sResult;
    if (nLen < 0) {
        TESSERA_ASSERT_MSG(false, "Format string parse failure");
    } else if (static_cast<size_t>(nLen) < sizeof(rchBuffer)) {
        sResult.assign(rchBuffer, static_cast<size_t>(nLen));
    } else {
        std::unique_ptr<char[]> pBuffer(new char[static_cast<size_t>(nLen) + 1]);
        int nLen2 = vsnprintf(pBuffer.get(), static_cast<size_t>(nLen) + 1, pchFormat, argsRetry);
        if (nLen2 < 0) {
            TESSERA_ASSERT_MSG(false, "Format string parse failure");
        } else {
            // Never trust the second pass to fit what the first one measured.
            sResult.assign(pBuffer.get(), std::min(nLen, nLen2));
        }
    }
    va_end(argsRetry);
    return sResult;
}

std::string IpToString(uint32_t unIpAddr) {
    return Format("%d.%d.%d.%d", (unIpAddr >> 24) & 0xff, (unIpAddr >> 16) & 0xff,
                  (unIpAddr >> 8) & 0xff, unIpAddr & 0xff);
}

std::string IpAndPortToString(uint32_t unIpAddr, uint16_t usPort) {
    return Format("%d.%d.%d.%d:%u", (unIpAddr >> 24) & 0xff, (unIpAddr >> 16) & 0xff,
                  (unIpAddr >> 8) & 0xff, unIpAddr & 0xff, static_cast<unsigned>(usPort));
}

std::string Uint64ToString(uint64_t ulValue) {
    return Format("%llu", static_cast<unsigned long long>(ulValue));
}

uint64_t StringToUint64(const std::string& sValue) {
    return strtoull(sValue.c_str(), nullptr, 0);
}

char cIntToHexDigit(int nValue) {
    return "0123456789ABCDEF"[nValue & 0xF];
}

int iHexCharToInt(char cValue) {
    if (cValue >= '0' && cValue <= '9') {
        return cValue - '0';
    }
    if (cValue >= 'a' && cValue <= 'f') {
        return cValue - 'a' + 10;
    }
    if (cValue >= 'A' && cValue <= 'F') {
        return cValue - 'A' + 10;
    }
    return -1;
}

void strcpy_safe(char* pchDest, size_t unDestSize, const char* pchSrc) {
    if (!pchDest || unDestSize == 0) {
        return;
    }
    strncpy(pchDest, pchSrc ? pchSrc : "", unDestSize);
    pchDest[unDestSize - 1] = '\0';
}

uint32_t ReturnStdString(const std::string& sValue, char* pchBuffer, uint32_t unBufferLen) {
    uint32_t unRequired = static_cast<uint32_t>(sValue.size() + 1);
    if (!pchBuffer || unBufferLen == 0) {
        return unRequired;
    }
    if (unBufferLen < unRequired) {
        pchBuffer[0] = '\0';
    } else {
        memcpy(pchBuffer, sValue.c_str(), unRequired);
    }
    return unRequired;
}
