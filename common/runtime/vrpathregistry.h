// vrpathregistry: the per-user path registry file "latticepaths.vrpath", which
// tells every runtime process where the runtime, its configuration and its
// logs live and which extra driver directories exist.
//
// Location: $VR_PATHREG_OVERRIDE verbatim; else <config dir>/latticepaths.vrpath
// where <config dir> is $XDG_CONFIG_HOME/lattice (when set and not empty), else
// $HOME/.config/lattice (HOME set, even empty), else there is no registry.
//   XDG_CONFIG_HOME=/x/           => /x/lattice/latticepaths.vrpath
//   HOME=/home/u                  => /home/u/.config/lattice/latticepaths.vrpath
//   HOME=""                       => .config/lattice/latticepaths.vrpath
//
// File: one JSON object with "config", "external_drivers", "log", "runtime"
// (arrays of strings, element 0 in use; null when empty), "jsonid"
// ("vrpathreg") and "version" (1), written as jsoncpp's default writer does.
// Unknown members are dropped on save. Saving replaces the file atomically
// (Path_ReplaceTextFileAtomic): through a symbolic link, keeping the file's
// mode, refused when the user may not write the file.
//
// Only a regular file of at most k_unMaxPathRegistrySize bytes is read; a
// FIFO, a device, a link loop or a larger file fails to load like an
// unreadable one, at once.
//
// Nothing is cached: every call re-reads the environment and the file. All
// functions may run on any thread. Failures are results, error texts and
// standard-error lines, never exceptions.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Far above any real registry (a few paths), and small enough that a broken
// file under it still parses quickly in every process that starts: the JSON
// library needs some fifty bytes of memory per byte of a dense document.
constexpr size_t k_unMaxPathRegistrySize = 1024 * 1024;

class CVRPathRegistry_Public {
public:
    CVRPathRegistry_Public() = default;

    static std::string GetLatticeConfigPath();
    static std::string GetVRPathRegistryFilename();

    // Fills the lists from the file; on failure *psLoadError (when given) says why.
    bool BLoadFromFile(std::string* psLoadError = nullptr);
    bool BSaveToFile() const;
    // The file's whole text; false (sResult untouched) when unknown or empty.
    bool ToJsonString(std::string& sResult);

    std::string GetRuntimePath() const;
    std::string GetConfigPath() const;
    std::string GetLogPath() const;

    // The start-up lookup: each requested output (non-null pointer) from its
    // environment override (VR_OVERRIDE, VR_CONFIG_PATH, VR_LOG_PATH), else the
    // default (config, log), else the registry. true when the file loaded or
    // every requested path came from the environment.
    static bool GetPaths(std::string* psRuntimePath, std::string* psConfigPath,
                         std::string* psLogPath, const char* pchConfigPathOverride,
                         const char* pchLogPathOverride,
                         std::vector<std::string>* pvecExternalDrivers = nullptr);

    // The runtime's application id on the host client.
    static uint32_t GetQuillAppId();
    // Publishes the id as QuillAppId and QuillGameId in the environment.
    static uint32_t InitQuillAppId();
    static bool IsOrreryMain() { return false; }
    // ORRERY_APPKEY is exactly "lattice.component.vrserver".
    static bool IsChildOfVRServer();

    static constexpr uint32_t k_unRuntimeAppId = 7301143;

protected:
    std::vector<std::string> m_vecRuntimePath;
    std::vector<std::string> m_vecLogPath;
    std::vector<std::string> m_vecConfigPath;
    std::vector<std::string> m_vecExternalDrivers;
};

// The path registry's writer side: each of the runtime, config and log lists
// is a history (element 0 current, then earlier paths, most recent first).
class CVRPathRegistry : public CVRPathRegistry_Public {
public:
    uint32_t GetRuntimeHistoryCount() const { return HistoryCount(m_vecRuntimePath); }
    uint32_t GetConfigHistoryCount() const { return HistoryCount(m_vecConfigPath); }
    uint32_t GetLogHistoryCount() const { return HistoryCount(m_vecLogPath); }
    std::string GetRuntimeHistoryPath(uint32_t unIndex) const;
    std::string GetConfigHistoryPath(uint32_t unIndex) const;
    std::string GetLogHistoryPath(uint32_t unIndex) const;
    uint32_t GetExternalDriverCount() const {
        return static_cast<uint32_t>(m_vecExternalDrivers.size());
    }
    std::string GetExternalDriverPath(uint32_t unIndex) const;

    // Trailing '/' removed, pushed to the front, duplicates collapsed.
    void SetRuntimePath(const std::string& sPath);
    void SetConfigPath(const std::string& sPath);
    void SetLogPath(const std::string& sPath);
    void AddExternalDriver(const std::string& sPath);
    void RemoveExternalDriver(const std::string& sPath);

    // Runtime list entries (trailing '/' removed) that hold bin/version.txt.
    std::vector<std::string> GetInstalledRuntimes() const;

    static std::string GetQuillPath();
    static std::string GetVRLogPathFromQuillOrOS();
    static std::string GetVRConfigPathFromQuillOrOS();
    static std::string GetVRRuntimePathFromExecutable(const std::string& sRelativePath);
    static std::string GetModuleRelativeRuntimeDir();
    static std::string GetResourceBaseDir();

    // Keeps the first entry of each key (entry without trailing '/'), in order.
    static void CollapseDuplicatePaths(std::vector<std::string>& vecPaths);

private:
    static uint32_t HistoryCount(const std::vector<std::string>& vecList) {
        return vecList.empty() ? 0 : static_cast<uint32_t>(vecList.size() - 1);
    }
    static void PushCurrentPath(std::vector<std::string>& vecList, const std::string& sPath);
};

// Creates root[name] as null, then appends each string: an empty list stays null.
void StringListToJson(const std::vector<std::string>& vecList, Json::Value& root,
                      const char* pchName);

// Repairs a missing registry or one whose runtime, log or config path is not an
// existing directory (in that order), reporting into *pvecMessages (and the
// log). 0 when intact or repaired, 113 when the repaired file cannot be saved.
// A registry that exists but does not load is first copied beside itself and
// the copy named on the first line:
//   "[System] Path Registry not found, initializing: <file> (old file kept as <file>.broken)"
// (".broken.1", ... when taken). When no copy can be made (nor is tried: a
// file larger than k_unMaxJsonFileSize) the file is left as it is and 113
// returned. A registry path that names something other than a regular file
// (a FIFO, a link loop) cannot be replaced either: 113.
int Lattice_EnsurePathRegistryIntact(std::vector<std::string>* pvecMessages = nullptr);
