// Directory, file and process-path functions of pathtools.h (whole-file reads
// and writes are in pathfilecontents.cpp).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "pathtools.h"

namespace {

bool StatPath(const char* pchPath, struct stat* pStat) {
    return pchPath && stat(pchPath, pStat) == 0;
}

}  // namespace

// ---- directories and files ----------------------------------------------------

bool BCreateDirectory(const char* pchPath) {
    if (!pchPath) {
        return false;
    }
    return mkdir(pchPath, 0777) == 0 || errno == EEXIST;
}

bool BCreateDirectoryRecursive(const char* pchPath) {
    if (!pchPath || !*pchPath) {
        return false;
    }
    if (Path_IsDirectory(pchPath)) {
        return true;
    }
    std::string sPath(pchPath);

    // Find the deepest ancestor that already exists; create from just after it.
    size_t unStart = 0;
    for (size_t i = sPath.size() - 1; i >= 1; --i) {
        if (sPath[i] == '/' && Path_IsDirectory(sPath.substr(0, i))) {
            unStart = i + 1;
            break;
        }
    }
    for (size_t i = unStart; i < sPath.size(); ++i) {
        if (sPath[i] == '/' && i > 0) {
            BCreateDirectory(sPath.substr(0, i).c_str());  // the final call reports
        }
    }
    return BCreateDirectory(sPath.c_str());
}

bool Path_IsDirectory(const std::string& sPath) {
    std::string sFixed = Path_FixSlashes(sPath);
    if (sFixed.empty()) {
        return false;
    }
    // "a/" names the directory "a"; "/" itself must stay the root.
    if (sFixed.size() > 1 && sFixed.back() == '/') {
        sFixed.pop_back();
    }
    struct stat st;
    return StatPath(sFixed.c_str(), &st) && S_ISDIR(st.st_mode);
}

bool Path_Exists(const std::string& sPath) {
    std::string sFixed = Path_FixSlashes(sPath);
    struct stat st;
    return !sFixed.empty() && StatPath(sFixed.c_str(), &st);
}

bool Path_IsAppBundle(const std::string&) {
    return false;
}

bool Path_DeleteDirectory(const std::string&, bool) {
    return false;
}

bool Path_UnlinkFile(const std::string& sPath) {
    return unlink(sPath.c_str()) == 0;
}

bool UnlinkFile(const char* pchPath) {
    return pchPath && unlink(pchPath) == 0;
}

bool Path_MakeWritable(const std::string& sPath) {
    struct stat st;
    if (!StatPath(sPath.c_str(), &st)) {
        return true;
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        return chmod(sPath.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
    }
    return true;
}

bool MakeFileWriteable(const char* pchPath) {
    struct stat st;
    if (!StatPath(pchPath, &st)) {
        return false;
    }
    if (st.st_mode & S_IWUSR) {
        return true;
    }
    return chmod(pchPath, (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool BDeleteFileIfExists(const char* pchPath) {
    if (!pchPath) {
        return false;
    }
    if (unlink(pchPath) == 0) {
        return true;
    }
    struct stat st;
    if (!StatPath(pchPath, &st)) {
        return true;
    }
    MakeFileWriteable(pchPath);
    return unlink(pchPath) == 0;
}

bool BRenameFile(const char* pchFrom, const char* pchTo) {
    return pchFrom && pchTo && rename(pchFrom, pchTo) == 0;
}

bool BFileExists(const char* pchPath) {
    struct stat st;
    return StatPath(pchPath, &st);
}

int64_t GetFileLength(const char* pchPath) {
    struct stat st;
    if (!StatPath(pchPath, &st) || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int GetFileWriteTime(const char* pchPath, time_t* pOut) {
    struct stat st;
    if (!pchPath) {
        return EINVAL;
    }
    if (stat(pchPath, &st) != 0) {
        return errno;
    }
    if (pOut) {
        *pOut = st.st_mtime;
    }
    return 0;
}

int GetFileCreateTime(const char* pchPath, time_t* pOut) {
    struct stat st;
    if (!pchPath) {
        return EINVAL;
    }
    if (stat(pchPath, &st) != 0) {
        return errno;
    }
    if (pOut) {
        *pOut = st.st_ctime;
    }
    return 0;
}

// ---- process paths ------------------------------------------------------------

std::string Path_GetExecutablePath() {
    // At most 1023 bytes of path, like the working directory below.
    char rchPath[1024];
    ssize_t nLen = readlink("/proc/self/exe", rchPath, sizeof(rchPath));
    // readlink does not terminate and silently truncates; a full buffer means
    // the path may be cut short, which would name a different file.
    if (nLen <= 0 || static_cast<size_t>(nLen) >= sizeof(rchPath)) {
        return std::string();
    }
    return std::string(rchPath, static_cast<size_t>(nLen));
}

std::string Path_GetExecutableName() {
    return Path_StripExtension(Path_StripDirectory(Path_GetExecutablePath()));
}

namespace {

// The file mapped at pAddress, from /proc/self/maps; "" when not found.
std::string MappedFileContaining(const void* pAddress) {
    FILE* pMaps = fopen("/proc/self/maps", "re");
    if (!pMaps) {
        return std::string();
    }
    uintptr_t unAddress = reinterpret_cast<uintptr_t>(pAddress);
    std::string sFound;
    char rchLine[4096 + 256];
    while (sFound.empty() && fgets(rchLine, sizeof(rchLine), pMaps)) {
        unsigned long ulStart = 0, ulEnd = 0;
        int nPathOffset = 0;
        if (sscanf(rchLine, "%lx-%lx %*s %*s %*s %*s %n", &ulStart, &ulEnd, &nPathOffset) < 2 ||
            unAddress < ulStart || unAddress >= ulEnd || rchLine[nPathOffset] != '/') {
            continue;
        }
        sFound = rchLine + nPathOffset;
        while (!sFound.empty() && sFound.back() == '\n') {
            sFound.pop_back();
        }
    }
    fclose(pMaps);
    return sFound;
}

}  // namespace

std::string Path_GetThisModulePath() {
    Dl_info info;
    void* pSelf = reinterpret_cast<void*>(&Path_GetThisModulePath);
    if (dladdr(pSelf, &info) == 0 || !info.dli_fname) {
        return std::string();
    }
    // The loader reports the main program by the name it was started with,
    // which is relative when it was started by a relative path; the mapping
    // itself always knows the absolute one.
    if (info.dli_fname[0] != '/') {
        std::string sMapped = MappedFileContaining(pSelf);
        if (!sMapped.empty()) {
            return sMapped;
        }
    }
    return info.dli_fname;
}

std::string Path_GetWorkingDirectory() {
    // getcwd fails (ERANGE) rather than truncate a longer path: "" then.
    char rchPath[1024];
    if (!getcwd(rchPath, sizeof(rchPath))) {
        return std::string();
    }
    return rchPath;
}

bool Path_SetWorkingDirectory(const std::string& sPath) {
    return chdir(sPath.c_str()) == 0;
}

std::string Path_GetTemporaryDirectory() {
    std::string sTemp = GetEnvironmentVariable("TMPDIR");
    return sTemp.empty() ? std::string("/tmp") : sTemp;
}

std::string GetUserDocumentsPath() {
    return GetEnvironmentVariable("HOME");
}
