// config: the simulator's initial state, from the JSON file of `serve
// --config` (docs/lattice-sim.md, "Configuration file", lists every member).
//
// LoadConfig rejects unknown members, wrong types and out-of-range values with
// one message per problem, so a typo in a test's configuration is an error and
// not a silently ignored line.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lattice_sim {

std::set<std::string> DefaultLatticeInterfaces();
std::set<std::string> DefaultHostInterfaces();
// The settings a runtime answers before anyone changes them, by section and
// key: what a halyard started against a bare simulator logs and does.
Json::Value DefaultSettings();
// The init errors the runtime library has a symbol for.
bool IsKnownInitError(int32_t nCode);

struct HostConfig {
    bool bRunning = true;
    int32_t nInitResult = 0;
    std::optional<uint32_t> appId;  // unset: the QuillAppId the process announces
    std::string strLanguage = "english";
    std::set<std::string> setInterfaces = DefaultHostInterfaces();
    uint64_t ulUserId = 0x0110000100003039ull;  // a valid individual user id
    std::string strUserName = "Simulated User";
    int32_t hUser = 1;
    std::string strScreenshotLibrary;  // empty: "<socket dir>/quill-screenshots"
    bool bInviteResult = true;
};

struct ScreenshotConfig {
    std::string strOutcome = "taken";  // "taken", "failed" or "none"
    std::string strExtension = ".png";
    bool bFailTypeQuery = false;
    std::set<int32_t> setFailFilenameKinds;
};

struct SimConfig {
    std::set<std::string> setInterfaces = DefaultLatticeInterfaces();
    // Versions reported valid (when in setInterfaces) but never handed out.
    std::set<std::string> setRefusedInterfaces;
    int32_t nInitError = 0;
    Json::Value settings = DefaultSettings();  // section -> key -> value
    uint64_t ulHmdPropertyContainer = 0x100000001ull;
    ScreenshotConfig screenshots;
    HostConfig host;
    std::string strResourceDir;
    size_t cJournalLimit = 200000;
};

// The largest configuration file read; a configuration is a few hundred
// bytes.
constexpr size_t k_cubMaxConfigFile = 1024 * 1024;

// Defaults, then the file's members. false with one line per problem in
// *pstrErrors. Only a regular file of at most k_cubMaxConfigFile bytes is
// read (a FIFO or a device is refused without waiting on it), and JSON
// nested deeper than k_nMaxJsonDepth (parsing.h) is refused.
bool LoadConfig(const std::string& strPath, SimConfig& config, std::string* pstrErrors);
// The same for a configuration's text; strName names it in the messages.
bool ParseConfig(const std::string& strText, const std::string& strName, SimConfig& config,
                 std::string* pstrErrors);
bool ApplyConfig(const Json::Value& root, SimConfig& config, std::string* pstrErrors);

}  // namespace lattice_sim
