#include "vrpathregistry.h"

#include <json/json.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

#include "pathtools.h"
#include "vrjsonutils.h"
#include "vrlog.h"

namespace {

// Joins with '/' after dropping one trailing separator of the first part; an
// empty first part leaves the second unchanged.
std::string JoinFixed(const std::string& sFirst, const std::string& sSecond) {
    return Path_FixSlashes(Path_Join(sFirst, sSecond, '/'), '/');
}

std::string FirstOrEmpty(const std::vector<std::string>& vecList) {
    return vecList.empty() ? std::string() : vecList.front();
}

std::string ElementOrEmpty(const std::vector<std::string>& vecList, size_t unIndex) {
    return unIndex < vecList.size() ? vecList[unIndex] : std::string();
}

void ParseStringListFromJson(std::vector<std::string>* pvecList, const Json::Value& root,
                             const char* pchName) {
    if (!root.isMember(pchName)) {
        return;
    }
    const Json::Value& node = root[pchName];
    if (!node.isArray()) {
        fprintf(stderr, "VR Path Registry node %s is not an array\n", pchName);
        return;
    }
    pvecList->clear();
    pvecList->reserve(node.size());
    for (const Json::Value& element : node) {
        pvecList->push_back(element.asString());
    }
}

// Removes trailing '/' characters (all of them, unlike Path_RemoveTrailingSlash
// which keeps a lone root).
std::string WithoutTrailingSlashes(std::string sPath) {
    while (!sPath.empty() && sPath.back() == '/') {
        sPath.pop_back();
    }
    return sPath;
}

}  // namespace

void StringListToJson(const std::vector<std::string>& vecList, Json::Value& root,
                      const char* pchName) {
    Json::Value& member = root[pchName];
    member = Json::Value(Json::nullValue);
    for (const std::string& sEntry : vecList) {
        member.append(Json::Value(sEntry));
    }
}

std::string CVRPathRegistry_Public::GetLatticeConfigPath() {
    std::string sBase;
    const char* pchXdg = getenv("XDG_CONFIG_HOME");
    if (pchXdg && *pchXdg) {
        sBase = pchXdg;
    } else if (const char* pchHome = getenv("HOME")) {
        sBase = JoinFixed(pchHome, ".config");
    } else {
        return std::string();
    }
    return JoinFixed(sBase, "lattice");
}

std::string CVRPathRegistry_Public::GetVRPathRegistryFilename() {
    const char* pchOverride = getenv("VR_PATHREG_OVERRIDE");
    if (pchOverride && *pchOverride) {
        return pchOverride;
    }
    std::string sConfigPath = GetLatticeConfigPath();
    if (sConfigPath.empty()) {
        return std::string();
    }
    return JoinFixed(sConfigPath, "latticepaths.vrpath");
}

bool CVRPathRegistry_Public::BLoadFromFile(std::string* psLoadError) {
    auto fail = [psLoadError](const std::string& sError) {
        if (psLoadError) {
            *psLoadError = sError;
        }
        return false;
    };
    std::string sFilename = GetVRPathRegistryFilename();
    if (sFilename.empty()) {
        return fail("Unable to determine VR Path Registry filename");
    }
    // A FIFO, a device or a huge file is refused before it is read, so that
    // no process hangs or fills its memory at start-up on a broken registry.
    std::string sText;
    if (!Path_ReadTextFileLimited(sFilename, k_unMaxPathRegistrySize, sText) || sText.empty()) {
        return fail("Unable to read VR Path Registry from " + sFilename);
    }
    try {
        // Parsed where it lies: going through a stream would copy it twice.
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> pReader(builder.newCharReader());
        Json::Value root;
        std::string sErrors;
        if (!pReader->parse(sText.data(), sText.data() + sText.size(), &root, &sErrors)) {
            return fail("Unable to parse " + sFilename + ": " + sErrors);
        }
        ParseStringListFromJson(&m_vecRuntimePath, root, "runtime");
        ParseStringListFromJson(&m_vecConfigPath, root, "config");
        ParseStringListFromJson(&m_vecLogPath, root, "log");
        if (root.isMember("external_drivers") && root["external_drivers"].isArray()) {
            ParseStringListFromJson(&m_vecExternalDrivers, root, "external_drivers");
        }
    } catch (const std::exception&) {
        return fail("Unable to parse " + sFilename + ": exception thrown in JSON library");
    }
    return true;
}

bool CVRPathRegistry_Public::BSaveToFile() const {
    std::string sFilename = GetVRPathRegistryFilename();
    if (sFilename.empty()) {
        return false;
    }
    Json::Value root(Json::objectValue);
    root["version"] = 1;
    root["jsonid"] = "vrpathreg";
    StringListToJson(m_vecRuntimePath, root, "runtime");
    StringListToJson(m_vecConfigPath, root, "config");
    StringListToJson(m_vecLogPath, root, "log");
    StringListToJson(m_vecExternalDrivers, root, "external_drivers");
    Json::StreamWriterBuilder builder;
    std::string sText = Json::writeString(builder, root);

    size_t unLastSlash = sFilename.find_last_of('/');
    if (unLastSlash != std::string::npos && unLastSlash > 0) {
        std::string sDirectory = sFilename.substr(0, unLastSlash);
        if (!BCreateDirectoryRecursive(sDirectory.c_str())) {
            fprintf(stderr, "Unable to create path registry directory %s\n", sDirectory.c_str());
            return false;
        }
    }
    // Every runtime process reads this file: replace it atomically so that a
    // crash or a full disk mid-write never leaves a truncated registry, yet
    // as writing it in place would (links followed, mode kept, a file the
    // user may not write refused), and without two savers colliding.
    if (!Path_ReplaceTextFileAtomic(sFilename, sText)) {
        fprintf(stderr, "Unable to write VR path registry to %s\n", sFilename.c_str());
        return false;
    }
    return true;
}

bool CVRPathRegistry_Public::ToJsonString(std::string& sResult) {
    std::string sFilename = GetVRPathRegistryFilename();
    if (sFilename.empty()) {
        return false;
    }
    std::string sText;
    if (!Path_ReadTextFileLimited(sFilename, k_unMaxPathRegistrySize, sText) || sText.empty()) {
        return false;
    }
    sResult = std::move(sText);
    return true;
}

std::string CVRPathRegistry_Public::GetRuntimePath() const {
    return FirstOrEmpty(m_vecRuntimePath);
}
std::string CVRPathRegistry_Public::GetConfigPath() const {
    return FirstOrEmpty(m_vecConfigPath);
}
std::string CVRPathRegistry_Public::GetLogPath() const {
    return FirstOrEmpty(m_vecLogPath);
}

bool CVRPathRegistry_Public::GetPaths(std::string* psRuntimePath, std::string* psConfigPath,
                                      std::string* psLogPath, const char* pchConfigPathOverride,
                                      const char* pchLogPathOverride,
                                      std::vector<std::string>* pvecExternalDrivers) {
    CVRPathRegistry_Public registry;
    std::string sLoadError;
    bool bLoaded = registry.BLoadFromFile(&sLoadError);

    int nRequested = 0;
    int nFromEnvironment = 0;
    auto resolve = [&](std::string* psOut, const char* pchVariable, const char* pchDefault,
                       const std::string& sFromRegistry) {
        if (!psOut) {
            return;
        }
        ++nRequested;
        const char* pchValue = getenv(pchVariable);
        if (pchValue && *pchValue) {
            *psOut = pchValue;
            ++nFromEnvironment;
        } else if (pchDefault) {
            *psOut = pchDefault;
        } else {
            *psOut = sFromRegistry;
        }
    };
    resolve(psRuntimePath, "VR_OVERRIDE", nullptr, registry.GetRuntimePath());
    resolve(psConfigPath, "VR_CONFIG_PATH", pchConfigPathOverride, registry.GetConfigPath());
    resolve(psLogPath, "VR_LOG_PATH", pchLogPathOverride, registry.GetLogPath());
    if (pvecExternalDrivers) {
        *pvecExternalDrivers = registry.m_vecExternalDrivers;
    }

    bool bResult = bLoaded || nRequested == nFromEnvironment;
    if (!bResult) {
        fprintf(stderr, "%s\n", sLoadError.c_str());
    }
    return bResult;
}

uint32_t CVRPathRegistry_Public::GetQuillAppId() {
    return k_unRuntimeAppId;
}

uint32_t CVRPathRegistry_Public::InitQuillAppId() {
    uint32_t unAppId = GetQuillAppId();
    char rchAppId[16];
    snprintf(rchAppId, sizeof(rchAppId), "%u", unAppId);
    setenv("QuillAppId", rchAppId, 1);
    setenv("QuillGameId", rchAppId, 1);
    return unAppId;
}

bool CVRPathRegistry_Public::IsChildOfVRServer() {
    const char* pchAppKey = getenv("ORRERY_APPKEY");
    return pchAppKey && std::string(pchAppKey) == "lattice.component.vrserver";
}

// ---- CVRPathRegistry ---------------------------------------------------------

std::string CVRPathRegistry::GetRuntimeHistoryPath(uint32_t unIndex) const {
    return ElementOrEmpty(m_vecRuntimePath, size_t(unIndex) + 1);
}
std::string CVRPathRegistry::GetConfigHistoryPath(uint32_t unIndex) const {
    return ElementOrEmpty(m_vecConfigPath, size_t(unIndex) + 1);
}
std::string CVRPathRegistry::GetLogHistoryPath(uint32_t unIndex) const {
    return ElementOrEmpty(m_vecLogPath, size_t(unIndex) + 1);
}
std::string CVRPathRegistry::GetExternalDriverPath(uint32_t unIndex) const {
    return ElementOrEmpty(m_vecExternalDrivers, unIndex);
}

void CVRPathRegistry::PushCurrentPath(std::vector<std::string>& vecList, const std::string& sPath) {
    vecList.insert(vecList.begin(), Path_RemoveTrailingSlash(sPath, '/'));
    CollapseDuplicatePaths(vecList);
}

void CVRPathRegistry::SetRuntimePath(const std::string& sPath) {
    PushCurrentPath(m_vecRuntimePath, sPath);
}
void CVRPathRegistry::SetConfigPath(const std::string& sPath) {
    PushCurrentPath(m_vecConfigPath, sPath);
}
void CVRPathRegistry::SetLogPath(const std::string& sPath) {
    PushCurrentPath(m_vecLogPath, sPath);
}

void CVRPathRegistry::AddExternalDriver(const std::string& sPath) {
    for (const std::string& sEntry : m_vecExternalDrivers) {
        if (sEntry == sPath) {
            return;
        }
    }
    m_vecExternalDrivers.push_back(sPath);
}

void CVRPathRegistry::RemoveExternalDriver(const std::string& sPath) {
    for (auto it = m_vecExternalDrivers.begin(); it != m_vecExternalDrivers.end(); ++it) {
        if (*it == sPath) {
            m_vecExternalDrivers.erase(it);
            return;
        }
    }
}

void CVRPathRegistry::CollapseDuplicatePaths(std::vector<std::string>& vecPaths) {
    std::vector<std::string> vecKept;
    std::vector<std::string> vecKeys;
    for (const std::string& sPath : vecPaths) {
        std::string sKey = WithoutTrailingSlashes(sPath);
        bool bSeen = false;
        for (const std::string& sExisting : vecKeys) {
            bSeen = bSeen || sExisting == sKey;
        }
        if (!bSeen) {
            vecKeys.push_back(sKey);
            vecKept.push_back(sPath);
        }
    }
    vecPaths.swap(vecKept);
}

std::vector<std::string> CVRPathRegistry::GetInstalledRuntimes() const {
    std::vector<std::string> vecCandidates = m_vecRuntimePath;
    CollapseDuplicatePaths(vecCandidates);
    std::vector<std::string> vecInstalled;
    for (const std::string& sCandidate : vecCandidates) {
        std::string sRoot = WithoutTrailingSlashes(sCandidate);
        if (Path_Exists(Path_Join(sRoot, "bin", "version.txt"))) {
            vecInstalled.push_back(sRoot);
        }
    }
    return vecInstalled;
}

std::string CVRPathRegistry::GetQuillPath() {
    const char* pchHome = getenv("HOME");
    if (!pchHome) {
        return std::string();
    }
    char rchPath[260];
    snprintf(rchPath, sizeof(rchPath), "%s/.quill/quill", pchHome);
    return Path_IsDirectory(rchPath) ? std::string(rchPath) : std::string();
}

namespace {

std::string PathFromQuillOrOS(const char* pchLeaf, const char* pchMissingLine) {
    std::string sBase = CVRPathRegistry::GetQuillPath();
    if (sBase.empty()) {
        Log("[System] No Quill Path available.\n");
        sBase = CVRPathRegistry_Public::GetLatticeConfigPath();
    }
    if (sBase.empty()) {
        Log("%s", pchMissingLine);
        return std::string();
    }
    return Path_FixSlashes(Path_Join(sBase, pchLeaf));
}

}  // namespace

std::string CVRPathRegistry::GetVRLogPathFromQuillOrOS() {
    return PathFromQuillOrOS("logs", "[System] No OS path for logs available\n");
}

std::string CVRPathRegistry::GetVRConfigPathFromQuillOrOS() {
    return PathFromQuillOrOS("config", "[System] No OS path for config available\n");
}

std::string CVRPathRegistry::GetVRRuntimePathFromExecutable(const std::string& sRelativePath) {
    std::string sAbsolute =
        Path_MakeAbsolute(sRelativePath, Path_StripFilename(Path_GetExecutablePath()));
    std::string sRuntime = Path_Join(sAbsolute, "runtime");
    if (Path_IsDirectory(sRuntime)) {
        return sRuntime;
    }
    if (Path_IsDirectory(Path_Join(sAbsolute, "bin")) &&
        Path_IsDirectory(Path_Join(sAbsolute, "resources"))) {
        return sAbsolute;
    }
    return std::string();
}

std::string CVRPathRegistry::GetModuleRelativeRuntimeDir() {
    std::string sDirectory = Path_StripFilename(Path_GetThisModulePath());
    if (strcasecmp(Path_StripDirectory(sDirectory).c_str(), "bin") == 0) {
        return Path_MakeAbsolute("..", sDirectory);
    }
    return Path_MakeAbsolute("../..", sDirectory);
}

std::string CVRPathRegistry::GetResourceBaseDir() {
    return Path_MakeAbsolute("resources", GetModuleRelativeRuntimeDir());
}

// ---- repair ------------------------------------------------------------------

namespace {

bool IsValidDirectory(const std::string& sPath) {
    return !sPath.empty() && Path_IsDirectory(sPath);
}

// A registry that exists but cannot be loaded (it does not parse, or holds
// no object) is about to be replaced by defaults; its text is kept first.
enum class EOldRegistry { NothingToKeep, Kept, NotKept };

// Copies the file to "<file>.broken" (or ".broken.1", ... when taken), with
// the file's mode; never overwrites an earlier copy.
EOldRegistry KeepOldRegistry(const std::string& sFilename, std::string* psCopy) {
    struct stat st;
    if (sFilename.empty() || stat(sFilename.c_str(), &st) != 0 || st.st_size == 0) {
        return EOldRegistry::NothingToKeep;
    }
    // A FIFO is never read (it has no size, so nothing to keep). A file too
    // large to load is still copied up to k_unMaxJsonFileSize; a larger one
    // is not copied, so it is not replaced either.
    std::string sData;
    if (!Path_ReadFileLimited(sFilename, k_unMaxJsonFileSize, sData) || sData.empty()) {
        return EOldRegistry::NotKept;
    }
    constexpr int k_nMaxCopies = 100;
    for (int nCopy = 0; nCopy < k_nMaxCopies; ++nCopy) {
        *psCopy = sFilename + ".broken" + (nCopy ? "." + std::to_string(nCopy) : std::string());
        FILE* pFile = fopen(psCopy->c_str(), "wbxe");  // x: an earlier copy stays
        if (!pFile) {
            if (errno == EEXIST) {
                continue;
            }
            return EOldRegistry::NotKept;
        }
        bool bWritten = fwrite(sData.data(), 1, sData.size(), pFile) == sData.size();
        bWritten = fclose(pFile) == 0 && bWritten;
        if (!bWritten || chmod(psCopy->c_str(), st.st_mode & 07777) != 0) {
            unlink(psCopy->c_str());
            return EOldRegistry::NotKept;
        }
        return EOldRegistry::Kept;
    }
    return EOldRegistry::NotKept;
}

void RepairPath(std::vector<std::string>& vecMessages, const char* pchKind, const std::string& sOld,
                const std::function<std::string()>& setNew) {
    vecMessages.push_back(std::string("[System] Old ") + pchKind + " Path: " + sOld + "\n");
    std::string sNew = setNew();
    vecMessages.push_back(std::string("[System] New ") + pchKind + " Path: " + sNew + "\n");
}

}  // namespace

int Lattice_EnsurePathRegistryIntact(std::vector<std::string>* pvecMessages) {
    CVRPathRegistry registry;
    bool bLoaded = registry.BLoadFromFile();
    std::string sFilename = CVRPathRegistry_Public::GetVRPathRegistryFilename();

    bool bRuntimeValid = IsValidDirectory(registry.GetRuntimePath());
    bool bLogValid = IsValidDirectory(registry.GetLogPath());
    bool bConfigValid = IsValidDirectory(registry.GetConfigPath());
    if (bRuntimeValid && bLogValid && bConfigValid) {
        return 0;
    }

    std::vector<std::string> vecLocal;
    std::vector<std::string>& vecMessages = pvecMessages ? *pvecMessages : vecLocal;
    EOldRegistry eOld = EOldRegistry::NothingToKeep;
    if (bLoaded) {
        vecMessages.push_back(
            "[System] Path Registry contains invalid data, sanitizing: " + sFilename + "\n");
    } else {
        std::string sCopy;
        eOld = KeepOldRegistry(sFilename, &sCopy);
        std::string sKept = eOld == EOldRegistry::Kept ? " (old file kept as " + sCopy + ")"
                            : eOld == EOldRegistry::NotKept
                                ? " (old file left in place: no copy of it could be made)"
                                : "";
        vecMessages.push_back("[System] Path Registry not found, initializing: " + sFilename +
                              sKept + "\n");
    }
    if (!bRuntimeValid) {
        RepairPath(vecMessages, "Runtime", registry.GetRuntimePath(), [&] {
            std::string sRuntime = CVRPathRegistry::GetModuleRelativeRuntimeDir();
            if (!sRuntime.empty() && (sRuntime.back() == '/' || sRuntime.back() == '\\')) {
                sRuntime.pop_back();
            }
            registry.SetRuntimePath(sRuntime);
            return registry.GetRuntimePath();
        });
    }
    if (!bLogValid) {
        RepairPath(vecMessages, "Log", registry.GetLogPath(), [&] {
            registry.SetLogPath(CVRPathRegistry::GetVRLogPathFromQuillOrOS());
            return registry.GetLogPath();
        });
    }
    if (!bConfigValid) {
        RepairPath(vecMessages, "Config", registry.GetConfigPath(), [&] {
            registry.SetConfigPath(CVRPathRegistry::GetVRConfigPathFromQuillOrOS());
            return registry.GetConfigPath();
        });
    }

    int nResult = 0;
    // Defaults never replace a file whose text could not be kept.
    if (eOld == EOldRegistry::NotKept || !registry.BSaveToFile()) {
        vecMessages.push_back("[PROBLEM] Saving Path Registry failed: " + sFilename + "\n");
        nResult = 113;
    }
    DumpLogStrings(vecMessages);
    return nResult;
}
