// Path string functions of pathtools.h.
#include "pathtools.h"

#include <algorithm>
#include <cstring>

#include "strtools_public.h"

namespace {

char SlashOrDefault(char slash) {
    return slash ? slash : '/';
}

bool IsAnySlash(char c) {
    return c == '/' || c == '\\';
}

// Position of the first "<slash>..<slash>" or "<slash>.." at the end, or npos.
size_t FindParentReference(const std::string& sPath, char slash) {
    for (size_t unPos = sPath.find(slash); unPos != std::string::npos;
         unPos = sPath.find(slash, unPos + 1)) {
        if (unPos + 2 < sPath.size() && sPath[unPos + 1] == '.' && sPath[unPos + 2] == '.' &&
            (unPos + 3 == sPath.size() || sPath[unPos + 3] == slash)) {
            return unPos;
        }
    }
    return std::string::npos;
}

// Character class of a byte that may not appear in a file name.
bool IsUnsafeFilenameChar(unsigned char uch) {
    if (uch < 32 || uch >= 128) {
        return true;
    }
    return strchr("\"$%&*./:<>?@\\|", uch) != nullptr;
}

}  // namespace

char Path_GetSlash() {
    return '/';
}

std::string Path_FixSlashes(const std::string& sPath, char slash) {
    slash = SlashOrDefault(slash);
    std::string sOut(sPath);
    for (char& c : sOut) {
        if (IsAnySlash(c)) {
            c = slash;
        }
    }
    return sOut;
}

std::string Path_Join(const std::string& a, const std::string& b, char slash) {
    if (a.empty()) {
        return b;
    }
    slash = SlashOrDefault(slash);
    std::string sOut(a);
    if (IsAnySlash(sOut.back())) {
        sOut.pop_back();
    }
    sOut += slash;
    sOut += b;
    return sOut;
}

std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      char slash) {
    return Path_Join(Path_Join(a, b, slash), c, slash);
}

std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      const std::string& d, char slash) {
    return Path_Join(Path_Join(a, b, c, slash), d, slash);
}

std::string Path_Join(const std::string& a, const std::string& b, const std::string& c,
                      const std::string& d, const std::string& e, char slash) {
    return Path_Join(Path_Join(a, b, c, d, slash), e, slash);
}

bool Path_IsAbsolute(const std::string& sPath) {
    return !sPath.empty() && IsAnySlash(sPath[0]);
}

std::string Path_RemoveTrailingSlash(const std::string& sPath, char slash) {
    slash = SlashOrDefault(slash);
    std::string sOut(sPath);
    while (sOut.size() > 1 && sOut.back() == slash) {
        sOut.pop_back();
    }
    return sOut;
}

std::string Path_StripFilename(const std::string& sPath, char slash) {
    size_t unPos = sPath.rfind(SlashOrDefault(slash));
    if (unPos == std::string::npos) {
        return sPath;
    }
    return sPath.substr(0, unPos);
}

std::string Path_StripDirectory(const std::string& sPath, char slash) {
    size_t unPos = sPath.rfind(SlashOrDefault(slash));
    if (unPos == std::string::npos) {
        return sPath;
    }
    return sPath.substr(unPos + 1);
}

namespace {

// The '.' that starts the extension of the last component, or npos.
size_t FindExtensionDot(const std::string& sPath) {
    for (size_t i = sPath.size(); i-- > 0;) {
        if (sPath[i] == '.') {
            return i;
        }
        if (IsAnySlash(sPath[i])) {
            break;
        }
    }
    return std::string::npos;
}

}  // namespace

std::string Path_StripExtension(const std::string& sPath) {
    size_t unDot = FindExtensionDot(sPath);
    return unDot == std::string::npos ? sPath : sPath.substr(0, unDot);
}

std::string Path_GetExtension(const std::string& sPath) {
    size_t unDot = FindExtensionDot(sPath);
    return unDot == std::string::npos ? std::string() : sPath.substr(unDot + 1);
}

std::string Path_Compact(const std::string& sRawPath, char slash) {
    slash = SlashOrDefault(slash);
    std::string sPath = Path_FixSlashes(sRawPath, slash);

    // "/./" becomes "/", but only where something follows the second separator.
    for (size_t i = 0; i + 3 < sPath.size();) {
        if (sPath[i] == slash && sPath[i + 1] == '.' && sPath[i + 2] == slash) {
            sPath.erase(i + 1, 2);
        } else {
            ++i;
        }
    }

    size_t unLen = sPath.size();
    if (unLen > 2 && sPath[unLen - 2] == slash && sPath[unLen - 1] == '.') {
        sPath.pop_back();
    }
    if (sPath.size() > 2 && sPath[0] == '.' && sPath[1] == slash) {
        sPath.erase(0, 2);
    }

    while (!sPath.empty()) {
        size_t unDots = FindParentReference(sPath, slash);
        if (unDots == std::string::npos) {
            break;
        }
        if (unDots == 0) {
            return std::string();  // climbs above the root
        }
        size_t unPrev = sPath.rfind(slash, unDots - 1);
        size_t unStart = unPrev == std::string::npos ? 0 : unPrev + 1;
        size_t unEnd = std::min(unDots + 4, sPath.size());  // through the separator after ".."
        sPath.erase(unStart, unEnd - unStart);
    }
    return sPath;
}

std::string Path_MakeAbsolute(const std::string& sRelative, const std::string& sBase, char slash) {
    if (Path_IsAbsolute(sRelative)) {
        return Path_Compact(sRelative, slash);
    }
    if (!Path_IsAbsolute(sBase)) {
        return std::string();
    }
    std::string sCompact = Path_Compact(Path_Join(sBase, sRelative, slash), slash);
    return Path_IsAbsolute(sCompact) ? sCompact : std::string();
}

bool Path_IsSamePath(const std::string& sPath1, const std::string& sPath2) {
    return Path_Compact(sPath1) == Path_Compact(sPath2);
}

std::string Path_SanitizeFilename(const std::string& sFilename) {
    std::string sOut(sFilename);
    for (char& c : sOut) {
        if (IsUnsafeFilenameChar(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    size_t unDot = sFilename.rfind('.');
    if (unDot != std::string::npos && unDot != 0 && unDot + 1 != sFilename.size()) {
        sOut[unDot] = '.';
    }
    return sOut;
}

std::string Path_FilePathToUrl(const std::string& sRelativePath, const std::string& sBasePath) {
    for (const char* pchScheme : {"http://", "https://", "vr-input-zephyr://", "file://"}) {
        if (StringHasPrefixCaseSensitive(sRelativePath, pchScheme)) {
            return sRelativePath;
        }
    }
    std::string sAbsolute = Path_MakeAbsolute(sRelativePath, sBasePath);
    if (sAbsolute.empty()) {
        return std::string();
    }
    sAbsolute = Path_FixSlashes(sAbsolute, '/');
    std::vector<char> buffer(sAbsolute.size() * 3 + 1);
    V_URLEncodeFullPath(buffer.data(), static_cast<int>(buffer.size()), sAbsolute.data(),
                        static_cast<int>(sAbsolute.size()));
    return std::string("file://") + buffer.data();
}

std::string Path_UrlToFilePath(const std::string& sFileUrl) {
    static const std::string k_sScheme = "file://";
    if (!StringHasPrefix(sFileUrl, k_sScheme)) {
        return std::string();
    }
    std::string sEncoded = sFileUrl.substr(k_sScheme.size());
    std::vector<char> buffer(sEncoded.size() + 1);
    size_t unLen = V_URLDecodeNoPlusForSpace(buffer.data(), static_cast<int>(buffer.size()),
                                             sEncoded.data(), static_cast<int>(sEncoded.size()));
    std::string sPath(buffer.data(), unLen);
    // A decoded NUL would silently cut the path short at the first system call
    // ("/etc/passwd%00.png"); such a URL names no file.
    if (sPath.find('\0') != std::string::npos) {
        return std::string();
    }
    return Path_FixSlashes(sPath);
}

std::string Path_FindParentDirectoryRecursively(const std::string& sStartDirectory,
                                                const std::string& sDirectoryName) {
    std::string sCurrent = Path_FixSlashes(sStartDirectory);
    if (sCurrent.empty() || !Path_Exists(sCurrent)) {
        return std::string();
    }
    while (!sCurrent.empty() && Path_Exists(sCurrent)) {
        if (stricmp(Path_StripDirectory(sCurrent).c_str(), sDirectoryName.c_str()) == 0) {
            return sCurrent;
        }
        std::string sParent = Path_StripFilename(sCurrent);
        if (sParent == sCurrent) {
            break;  // a relative name without separators has no parent to climb to
        }
        sCurrent = sParent;
    }
    return std::string();
}

std::string Path_FindParentSubDirectoryRecursively(const std::string& sStartDirectory,
                                                   const std::string& sDirectoryName) {
    std::string sCurrent = Path_FixSlashes(sStartDirectory);
    if (sCurrent.empty() || !Path_Exists(sCurrent)) {
        return std::string();
    }
    while (!sCurrent.empty()) {
        std::string sParent = Path_StripFilename(sCurrent);
        if (sParent == sCurrent) {
            break;
        }
        if (sParent.empty()) {
            // Stripping "/a" leaves "", which stands for the root here; joining
            // "" would test a name relative to the working directory instead.
            if (!Path_IsAbsolute(sCurrent) || sCurrent == "/") {
                break;
            }
            sParent.assign(1, '/');  // (GCC 12 warns falsely on = "/" here)
        }
        std::string sCandidate = Path_Join(sParent, sDirectoryName);
        if (Path_Exists(sCandidate)) {
            return sCandidate;
        }
        if (!Path_Exists(sParent)) {
            break;
        }
        sCurrent = sParent;
    }
    return std::string();
}
