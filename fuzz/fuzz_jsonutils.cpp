// The JSON helpers on arbitrary text: two documents (the input split at its
// first NUL byte) are parsed from strings and from a file, merged, and every
// value in them is converted. The file reader must agree with the string
// parser on the same text; a failure must say why; merging must follow its
// rules and be idempotent; conversions must give their documented answers.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "lattice_api.h"
#include "pathtools.h"
#include "vrjsonutils.h"

namespace {

using fuzz_support::Require;

const std::string& ScratchFile() {
    static const std::string s_sFile = [] {
        std::string sTemplate = Path_GetTemporaryDirectory() + "/halyard-fuzz-json-XXXXXX";
        int fd = mkstemp(sTemplate.data());
        Require(fd >= 0, "a scratch file can be made");
        close(fd);
        static std::string s_sRemove = sTemplate;
        atexit([] { unlink(s_sRemove.c_str()); });
        return sTemplate;
    }();
    return s_sFile;
}

// What a text file holds once read as text: no byte order mark, LF line ends.
std::string AsText(const std::string& sBytes) {
    std::string sText =
        sBytes.size() > 2 && sBytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? sBytes.substr(3) : sBytes;
    std::string sOut;
    for (size_t i = 0; i < sText.size(); ++i) {
        if (!(sText[i] == '\r' && i + 1 < sText.size() && sText[i + 1] == '\n')) {
            sOut += sText[i];
        }
    }
    return sOut;
}

// Parses from a string and from a file; both must agree. The sentinel shows
// that a document that parses to nothing leaves the value as it was.
int Parse(const std::string& sBytes, Json::Value& value) {
    const Json::Value sentinel("sentinel");
    Json::Value fromString = sentinel;
    std::string sError;
    int nString = ReadJsonFromString(AsText(sBytes), fromString, &sError);
    Require(nString == ReadJson_Success || nString == ReadJson_ParseError, "a known result");
    Require(nString == ReadJson_Success || !sError.empty(), "a failed parse says why");
    Require(!AsText(sBytes).empty() || (nString == ReadJson_Success && fromString == sentinel),
            "an empty text succeeds and changes nothing");

    Require(
        Path_WriteBinaryFile(ScratchFile(), reinterpret_cast<const unsigned char*>(sBytes.data()),
                             sBytes.size()),
        "the scratch file can be written");
    Json::Value fromFile = sentinel;
    std::string sFileError;
    int nFile = ReadJsonFile(ScratchFile(), fromFile, &sFileError);
    Require(nFile == nString, "the file and the string parse alike");
    Require(nFile != ReadJson_Success || fromFile == fromString,
            "the file and the string give the same value");
    value = fromString;
    return nString;
}

void CheckMerge(const Json::Value& dstBefore, const Json::Value& src) {
    Json::Value dst = dstBefore;
    MergeJsonValues(dst, src);
    if (!src.isObject()) {
        Require(dst == dstBefore, "merging what has no members changes nothing");
        return;
    }
    if (!dstBefore.isObject() && !dstBefore.isNull()) {
        Require(dst == src, "a value that takes no members is replaced");
        return;
    }
    Require(dst.isObject(), "merging an object gives an object");
    for (const std::string& sName : src.getMemberNames()) {
        const Json::Value& merged = dst[sName];
        if (src[sName].isObject() && dstBefore.isObject() && dstBefore[sName].isObject()) {
            Require(merged.isObject(), "objects merge into an object");
        } else {
            Require(merged == src[sName], "anything but two objects is replaced");
        }
    }
    if (dstBefore.isObject()) {
        for (const std::string& sName : dstBefore.getMemberNames()) {
            Require(src.isMember(sName) || dst[sName] == dstBefore[sName],
                    "members the source lacks stay");
        }
    }
    Json::Value again = dst;
    MergeJsonValues(again, src);
    Require(again == dst, "merging twice is merging once");
}

void CheckConversions(const Json::Value& value, int nDepth) {
    bool bTrue = JsonValueToBoolOrDefault(value, true);
    bool bFalse = JsonValueToBoolOrDefault(value, false);
    if (value.isBool()) {
        Require(bTrue == value.asBool() && bFalse == value.asBool(), "a bool gives itself");
    } else if (value.isString()) {
        bool bIs = value.asString() == "true";
        Require(bTrue == bIs && bFalse == bIs, "a string is true only as \"true\"");
    } else {
        Require(bTrue && !bFalse, "anything else gives the default");
    }
    int nModel = JsonValueToESimulateRenderModel(value);
    Require(nModel >= 0 && nModel <= 2, "a render model is one of three");

    vr::HmdVector3_t vec;
    std::string sError;
    bool bVector = JsonValueToHMDVector3(value, vec, &sError);
    Require(bVector ? sError.empty() && value.isArray() && value.size() == 3 : !sError.empty(),
            "a vector converts from three elements, or says why not");
    for (Json::ArrayIndex i = 0; bVector && i < 3; ++i) {
        float flExpected =
            value[i].isString() ? strtof(value[i].asCString(), nullptr) : value[i].asFloat();
        Require(vec.v[i] == flExpected || (std::isnan(vec.v[i]) && std::isnan(flExpected)),
                "an element converts as a float, or as strtof reads its text");
    }

    if (nDepth < 64 && (value.isArray() || value.isObject())) {
        for (const Json::Value& member : value) {
            CheckConversions(member, nDepth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    std::string sInput(reinterpret_cast<const char*>(pData), cubData);
    size_t unSplit = sInput.find('\0');
    std::string sFirst = sInput.substr(0, unSplit);
    std::string sSecond = unSplit == std::string::npos ? std::string() : sInput.substr(unSplit + 1);

    Json::Value first;
    Json::Value second;
    bool bFirst = Parse(sFirst, first) == ReadJson_Success;
    bool bSecond = Parse(sSecond, second) == ReadJson_Success;
    if (bFirst) {
        CheckConversions(first, 0);
        CheckMerge(first, first);
    }
    if (bFirst && bSecond) {
        CheckMerge(first, second);
        CheckMerge(second, first);
    }
    return 0;
}
