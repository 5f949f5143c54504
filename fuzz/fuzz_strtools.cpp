// String tools on arbitrary bytes: the URL encoders and decoders with every
// destination size, UTF-8 repair, the UTF conversions and tokenising. Beyond
// "no crash and no out-of-bounds write" (the buffers are exactly sized, so the
// sanitizers see any overrun), each property below must hold for every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "strtools_public.h"

namespace {

using fuzz_support::Require;

using Encoder = void (*)(char*, int, const char*, int);
using Decoder = size_t (*)(char*, int, const char*, int);

// Encodes into a destination of exactly nDestLen bytes: either all of the
// encoding with its NUL fits, or the result is empty; a complete encoding
// decodes back to the source.
void CheckEncodeRoundTrip(const std::string& sSource, int nDestLen, Encoder encode,
                          Decoder decode) {
    std::unique_ptr<char[]> pDest(new char[nDestLen]);
    encode(pDest.get(), nDestLen, sSource.data(), static_cast<int>(sSource.size()));
    size_t cchEncoded = strnlen(pDest.get(), nDestLen);
    Require(cchEncoded < static_cast<size_t>(nDestLen), "encoder result is NUL-terminated");
    if (cchEncoded == 0) {
        return;
    }
    Require(cchEncoded >= sSource.size(), "encoding is never shorter than its source");
    std::vector<char> decoded(cchEncoded + 1);
    size_t cubDecoded =
        decode(decoded.data(), static_cast<int>(decoded.size()), pDest.get(), int(cchEncoded));
    Require(std::string(decoded.data(), cubDecoded) == sSource, "encode then decode round-trips");
}

void CheckDecode(const std::string& sSource, int nDestLen, Decoder decode) {
    std::unique_ptr<char[]> pDest(new char[nDestLen > 0 ? nDestLen : 1]);
    size_t cub = decode(pDest.get(), nDestLen, sSource.data(), static_cast<int>(sSource.size()));
    Require(cub <= sSource.size(), "decoding never grows the text");
    Require(nDestLen > 0 ? cub <= static_cast<size_t>(nDestLen) : cub == 0,
            "decoded length fits the destination");
}

void CheckRepair(const std::string& sInput) {
    std::string sRepaired;
    bool bWasValid = RepairUTF8(sInput, sRepaired);
    Require(sRepaired.size() == sInput.size(), "repair replaces byte for byte");
    if (bWasValid) {
        Require(sRepaired == sInput, "valid input is copied as is");
    }
    std::string sTwice;
    Require(RepairUTF8(sRepaired, sTwice), "repaired text is valid UTF-8");
    Require(sTwice == sRepaired, "repair is idempotent");
    try {
        Require(UTF16to8(UTF8to16(sRepaired)) == sRepaired, "valid UTF-8 survives UTF-16");
    } catch (const std::range_error&) {
        // Code points the converter refuses (none expected after repair, but
        // a refusal is the converter's documented answer, not a crash).
    }
}

void CheckTokenize(const std::string& sInput, char cDelimiter) {
    std::vector<std::string> tokens = TokenizeString(sInput, cDelimiter);
    if (sInput.empty()) {
        Require(tokens.empty(), "an empty string has no tokens");
        return;
    }
    std::string sJoined;
    for (size_t i = 0; i < tokens.size(); ++i) {
        Require(tokens[i].find(cDelimiter) == std::string::npos, "tokens hold no delimiter");
        sJoined += (i ? std::string(1, cDelimiter) : std::string()) + tokens[i];
    }
    Require(sJoined == sInput, "tokens joined by the delimiter give the input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    if (cubData < 2) {
        return 0;
    }
    // First byte: destination size; second: delimiter; the rest: the text.
    int nDestLen = pData[0] + 1;
    char cDelimiter = static_cast<char>(pData[1]);
    std::string sText(reinterpret_cast<const char*>(pData + 2), cubData - 2);

    CheckEncodeRoundTrip(sText, nDestLen, V_URLEncode, V_URLDecode);
    CheckEncodeRoundTrip(sText, nDestLen, V_URLEncodeNoPlusForSpace, V_URLDecodeNoPlusForSpace);
    CheckEncodeRoundTrip(sText, nDestLen, V_URLEncodeFullPath, V_URLDecodeNoPlusForSpace);
    // Three bytes per source byte always fit: the encoding must be complete.
    std::vector<char> full(sText.size() * 3 + 1);
    V_URLEncode(full.data(), static_cast<int>(full.size()), sText.data(), int(sText.size()));
    Require(sText.empty() || full[0] != '\0', "a large enough destination gets the encoding");
    CheckEncodeRoundTrip(sText, static_cast<int>(full.size()), V_URLEncode, V_URLDecode);
    CheckDecode(sText, nDestLen, V_URLDecode);
    CheckDecode(sText, nDestLen, V_URLDecodeNoPlusForSpace);
    CheckDecode(sText, static_cast<int>(sText.size()), V_URLDecode);
    CheckRepair(sText);
    CheckTokenize(sText, cDelimiter);
    return 0;
}
