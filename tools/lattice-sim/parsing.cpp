#include "parsing.h"

#include <errno.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace lattice_sim {

bool ParseU64(const std::string& strText, uint64_t& ulOut) {
    if (strText.empty() || strText[0] == '-') {
        return false;
    }
    errno = 0;
    char* pchEnd = nullptr;
    unsigned long long v = std::strtoull(strText.c_str(), &pchEnd, 0);
    if (errno != 0 || *pchEnd != '\0') {
        return false;
    }
    ulOut = v;
    return true;
}

bool ParseI32(const std::string& strText, int32_t& nOut) {
    char* pchEnd = nullptr;
    errno = 0;
    long nValue = std::strtol(strText.c_str(), &pchEnd, 10);
    if (strText.empty() || *pchEnd != '\0' || errno != 0 || nValue < INT32_MIN ||
        nValue > INT32_MAX) {
        return false;
    }
    nOut = static_cast<int32_t>(nValue);
    return true;
}

bool ParseHex(const std::string& strHex, std::string& out) {
    if (strHex.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < strHex.size(); i += 2) {
        char sz[3] = {strHex[i], strHex[i + 1], 0};
        char* pchEnd = nullptr;
        long v = std::strtol(sz, &pchEnd, 16);
        if (*pchEnd != '\0' || !isxdigit(static_cast<unsigned char>(sz[0]))) {
            return false;
        }
        out.push_back(static_cast<char>(v));
    }
    return true;
}

std::string HexOf(const std::string& bytes) {
    static const char* k_pchDigits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(k_pchDigits[c >> 4]);
        out.push_back(k_pchDigits[c & 15]);
    }
    return out;
}

bool ParseJsonWith(Json::CharReaderBuilder& builder, const std::string& strText, Json::Value& value,
                   std::string* pstrErrors) {
    builder["stackLimit"] = k_nMaxJsonDepth;
    std::unique_ptr<Json::CharReader> pReader(builder.newCharReader());
    std::string strErrors;
    bool bOk = false;
    try {
        bOk = pReader->parse(strText.data(), strText.data() + strText.size(), &value, &strErrors);
    } catch (const Json::Exception&) {
        // The parser's only throw: its nesting limit.
        strErrors = "nested more than " + std::to_string(k_nMaxJsonDepth) + " levels deep\n";
        bOk = false;
    }
    if (pstrErrors) {
        *pstrErrors = strErrors;
    }
    return bOk;
}

bool ParseJson(const std::string& strText, Json::Value& value) {
    Json::CharReaderBuilder builder;
    return ParseJsonWith(builder, strText, value, nullptr);
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
                     const std::set<std::string>& flags) {
    ParsedArgs parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        if (strArg.size() <= 2 || strArg.compare(0, 2, "--") != 0) {
            parsed.positional.push_back(strArg);
        } else if (valued.count(strArg)) {
            if (i + 1 >= args.size()) {
                parsed.strError = strArg + " needs a value";
                return parsed;
            }
            parsed.options[strArg] = args[++i];
        } else if (flags.count(strArg)) {
            parsed.flags.insert(strArg);
        } else {
            parsed.strError = "unknown option " + strArg;
            return parsed;
        }
    }
    return parsed;
}

}  // namespace lattice_sim
