// URL encoding and decoding for strtools_public.h.
#include <cstring>
#include <string>

#include "strtools_public.h"

namespace {

bool IsAsciiAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool CharNeedsEscape_Component(char c) {
    return !(IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_');
}

bool CharNeedsEscape_FullPath(char c) {
    return !(IsAsciiAlnum(c) || c == '-' || c == '.' || c == '/' || c == ':' || c == '_');
}

void V_URLEncodeInternal(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen,
                         bool bUsePlusForSpace, const std::function<bool(char)>& fnNeedsEscape) {
    if (!pchDest || nDestLen <= 0) {
        return;
    }
    pchDest[0] = '\0';
    // Fewer than 3 bytes cannot hold a single escape with its NUL: always "".
    if (!pchSource || nSourceLen <= 0 || nDestLen < 3) {
        return;
    }

    // Encode into a local string first: the destination only ever receives a
    // complete result, so a caller never sees a cut-short URL.
    std::string sOut;
    sOut.reserve(static_cast<size_t>(nSourceLen) * 3);
    for (int i = 0; i < nSourceLen; ++i) {
        char c = pchSource[i];
        if (!fnNeedsEscape(c)) {
            sOut += c;
        } else if (bUsePlusForSpace && c == ' ') {
            sOut += '+';
        } else {
            unsigned char uch = static_cast<unsigned char>(c);
            sOut += '%';
            sOut += cIntToHexDigit(uch >> 4);
            sOut += cIntToHexDigit(uch & 0xF);
        }
        if (sOut.size() + 1 > static_cast<size_t>(nDestLen)) {
            return;  // cannot fit with its NUL: the result stays ""
        }
    }
    memcpy(pchDest, sOut.c_str(), sOut.size() + 1);
}

void V_URLEncode(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen) {
    V_URLEncodeInternal(pchDest, nDestLen, pchSource, nSourceLen, true, CharNeedsEscape_Component);
}

void V_URLEncodeNoPlusForSpace(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen) {
    V_URLEncodeInternal(pchDest, nDestLen, pchSource, nSourceLen, false, CharNeedsEscape_Component);
}

void V_URLEncodeFullPath(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen) {
    V_URLEncodeInternal(pchDest, nDestLen, pchSource, nSourceLen, false, CharNeedsEscape_FullPath);
}

size_t V_URLDecodeInternal(char* pchDecodeDest, int nDecodeDestLen, const char* pchEncodedSource,
                           int nEncodedSourceLen, bool bUsePlusForSpace) {
    if (!pchDecodeDest || nDecodeDestLen <= 0) {
        return 0;
    }
    if (!pchEncodedSource || nEncodedSourceLen <= 0) {
        pchDecodeDest[0] = '\0';
        return 0;
    }
    const size_t unSourceLen = static_cast<size_t>(nEncodedSourceLen);
    const size_t unDestLen = static_cast<size_t>(nDecodeDestLen);
    size_t unOut = 0;
    // Output never outgrows the source, but bound every write by the
    // destination anyway so that a direct caller cannot overrun it.
    auto put = [&](char c) {
        if (unOut < unDestLen) {
            pchDecodeDest[unOut++] = c;
        }
    };
    for (size_t i = 0; i < unSourceLen; ++i) {
        char c = pchEncodedSource[i];
        if (c != '%') {
            put(bUsePlusForSpace && c == '+' ? ' ' : c);
            continue;
        }
        if (i + 2 >= unSourceLen) {
            break;  // a '%' among the last two bytes is dropped with its tail
        }
        int nHigh = iHexCharToInt(pchEncodedSource[i + 1]);
        int nLow = iHexCharToInt(pchEncodedSource[i + 2]);
        if (nHigh >= 0 && nLow >= 0) {
            put(static_cast<char>((nHigh << 4) | nLow));
        } else {
            put('%');
            put(pchEncodedSource[i + 1]);
            put(pchEncodedSource[i + 2]);
        }
        i += 2;
    }
    if (unOut < unDestLen) {
        pchDecodeDest[unOut] = '\0';
    }
    return unOut;
}

namespace {

size_t DecodeChecked(char* pchDecodeDest, int nDecodeDestLen, const char* pchEncodedSource,
                     int nEncodedSourceLen, bool bUsePlusForSpace) {
    if (nEncodedSourceLen < 0 || nDecodeDestLen < nEncodedSourceLen) {
        return 0;
    }
    return V_URLDecodeInternal(pchDecodeDest, nDecodeDestLen, pchEncodedSource, nEncodedSourceLen,
                               bUsePlusForSpace);
}

}  // namespace

size_t V_URLDecode(char* pchDecodeDest, int nDecodeDestLen, const char* pchEncodedSource,
                   int nEncodedSourceLen) {
    return DecodeChecked(pchDecodeDest, nDecodeDestLen, pchEncodedSource, nEncodedSourceLen, true);
}

size_t V_URLDecodeNoPlusForSpace(char* pchDecodeDest, int nDecodeDestLen,
                                 const char* pchEncodedSource, int nEncodedSourceLen) {
    return DecodeChecked(pchDecodeDest, nDecodeDestLen, pchEncodedSource, nEncodedSourceLen, false);
}
