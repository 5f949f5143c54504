// Path string functions on arbitrary text (nothing here touches the file
// system). Properties that hold for every input are checked beside the
// sanitizers' bounds checks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "pathtools.h"

namespace {

using fuzz_support::Require;

void CheckStrings(const std::string& sPath, const std::string& sOther) {
    std::string sFixed = Path_FixSlashes(sPath);
    Require(sFixed.size() == sPath.size(), "fixing slashes keeps the length");
    Require(sFixed.find('\\') == std::string::npos, "fixed paths hold no backslash");

    std::string sCompact = Path_Compact(sPath);
    Require(sCompact.size() <= sPath.size() + 1, "compacting never grows a path");
    Require(sCompact.empty() || !Path_IsAbsolute(sPath) || Path_IsAbsolute(sCompact),
            "an absolute path stays absolute when compacted");

    std::string sAbsolute = Path_MakeAbsolute(sPath, "/base/dir");
    Require(sAbsolute.empty() || Path_IsAbsolute(sAbsolute), "made-absolute paths are absolute");
    Require(Path_MakeAbsolute(sPath, sOther).empty() || Path_IsAbsolute(sOther) ||
                Path_IsAbsolute(sPath),
            "a relative base gives no result for a relative path");

    std::string sJoined = Path_Join(sPath, sOther);
    Require(sJoined.size() <= sPath.size() + sOther.size() + 1, "a join adds one separator");
    Path_Join(sPath, sOther, sPath, sOther, sPath);

    std::string sFilename = Path_StripDirectory(sPath);
    Require(sFilename.size() <= sPath.size(), "the file name is part of the path");
    Require(Path_StripFilename(sPath).size() <= sPath.size(), "the directory is part of the path");
    Require(Path_StripExtension(sPath).size() <= sPath.size(), "stripping shortens");
    Require(Path_GetExtension(sPath).size() <= sPath.size(), "the extension is part of the path");
    Require(Path_RemoveTrailingSlash(sPath).size() <= sPath.size(), "trimming shortens");

    std::string sSanitized = Path_SanitizeFilename(sPath);
    Require(sSanitized.size() == sPath.size(), "sanitizing replaces byte for byte");
    Require(sSanitized.find('/') == std::string::npos, "a sanitized name holds no separator");

    Path_IsSamePath(sPath, sOther);
    std::string sUrl = Path_FilePathToUrl(sPath, "/base");
    // Text that looks like a URL may be one of the schemes passed unchanged.
    if (sPath.find("://") == std::string::npos && !sUrl.empty()) {
        Require(sUrl.rfind("file:///", 0) == 0, "file URLs start with file:///");
        Require(Path_UrlToFilePath(sUrl) == Path_FixSlashes(Path_MakeAbsolute(sPath, "/base"), '/'),
                "a file URL names the path it was made from");
    }
    Path_UrlToFilePath(sPath);
    Path_UrlToFilePath("file:///" + sPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    // Two paths separated by the first NUL byte (or one path and "").
    std::string sInput(reinterpret_cast<const char*>(pData), cubData);
    size_t nSplit = sInput.find('\0');
    std::string sPath = sInput.substr(0, nSplit);
    std::string sOther = nSplit == std::string::npos ? std::string() : sInput.substr(nSplit + 1);
    CheckStrings(sPath, sOther);
    return 0;
}
