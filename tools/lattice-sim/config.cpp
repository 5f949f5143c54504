#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "parsing.h"

namespace lattice_sim {

std::set<std::string> DefaultLatticeInterfaces() {
    return {
        "IVRSystem_023",
        "IVRCompositor_029",
        "IVROverlay_028",
        "IVRSettings_003",
        "IVRScreenshots_001",
        "IVRControlPanel_006",
        "IVRRenderModels_006",
        "IVRRenderModelsInternal_XXX",
        "IVRResources_001",
        "IVRDriverManager_001",
        "IVRSettingsInternal_001",
        "IVRPaths_002",
        "IVRPathsInternal_XXX",
        "IVRProperties_001",
        "IVRPropertiesInternal_001",
        "IVRServerInternal_XXX",
        "IVRDriverInputInternal_XXX",
        "IVRSystemLayerInternal_XXX",
        "IVRClientInternal_XXX",
        "IVRCompositorSystemInternal_XXX",
        "IVRInput_010",
        "IVRInputInternal_002",
        "IVRChaperone_004",
        "IVRChaperoneSetup_006",
        "IVRChaperoneInternal_XXX",
        "IVRChaperoneServerDriver_XXX",
        "IVRApplications_007",
        "IVRMailbox_002",
        "IVRDebug_001",
        "IVRBlockQueue_005",
        "IVRApplicationsInternal_XXX",
        "IVRNotificationsInternal_001",
        "IVROverlayInternal_XXX",
        "IVRExtendedDisplay_001",
        "IVRTrackedCameraInternal_XXX",
        "IVRCameraPassthroughInternal_001",
        "IVRDriverDirectInternal_XXX",
    };
}

std::set<std::string> DefaultHostInterfaces() {
    return {"QuillUtils010",         "QuillUser023",
            "QuillFriends017",       "QUILLSCREENSHOTS_INTERFACE_VERSION003",
            "QuillOrreryPrivate001", "QuillOrreryPrivate002"};
}

Json::Value DefaultSettings() {
    Json::Value settings(Json::objectValue);
    settings["orrery"]["loglevel"] = 3;  // Info: the log writer's own default
    settings["orrery"]["startOverlayAppsFromDashboard"] = false;
    settings["userinterface"]["screenshots"] = true;
    settings["userinterface"]["screenshotType"] = 2;  // stereo
    return settings;
}

bool IsKnownInitError(int32_t nCode) {
    return nCode == 0 || (nCode >= 100 && nCode <= 110);
}

namespace {

// A member name as it appears in a message: control characters escaped, so
// that every problem stays on its own line whatever the file's names hold.
//   "a\nb" => "a\\nb"   "x\x01" => "x\\x01"   "grüße" => "grüße"
std::string Printable(const std::string& strName) {
    static const char* k_pchHex = "0123456789abcdef";
    std::string strOut;
    for (unsigned char ch : strName) {
        if (ch == '\n') {
            strOut += "\\n";
        } else if (ch < 0x20 || ch == 0x7f) {
            strOut += std::string("\\x") + k_pchHex[ch >> 4] + k_pchHex[ch & 15];
        } else {
            strOut += static_cast<char>(ch);
        }
    }
    return strOut;
}

class CChecker {
public:
    explicit CChecker(std::string* pstrErrors) : m_pstrErrors(pstrErrors) {}
    void Error(const std::string& strWhere, const std::string& strWhat) {
        m_bOk = false;
        if (m_pstrErrors) {
            *m_pstrErrors += Printable(strWhere) + ": " + strWhat + "\n";
        }
    }
    bool Ok() const { return m_bOk; }

    // Reports members of obj not in the allowed list.
    void OnlyMembers(const Json::Value& obj, const std::string& strWhere,
                     std::initializer_list<const char*> allowed) {
        for (const std::string& strName : obj.getMemberNames()) {
            bool bKnown = false;
            for (const char* pch : allowed) {
                bKnown = bKnown || strName == pch;
            }
            if (!bKnown) {
                Error(strWhere + "." + strName, "unknown member");
            }
        }
    }

    // Reads obj's member pchName, when it has one, into out; strPrefix names
    // obj in messages ("host."). true when the member was there and fit.
    template <typename T>
    bool Optional(const Json::Value& obj, const std::string& strPrefix, const char* pchName,
                  T& out) {
        return obj.isMember(pchName) && Read(obj[pchName], strPrefix + pchName, out);
    }

    bool Read(const Json::Value& v, const std::string& strWhere, bool& out) {
        return Take(v, strWhere, out, &Json::Value::isBool, &Json::Value::asBool,
                    "must be true or false");
    }
    bool Read(const Json::Value& v, const std::string& strWhere, int32_t& out) {
        return Take(v, strWhere, out, &Json::Value::isInt, &Json::Value::asInt,
                    "must be a 32-bit integer");
    }
    bool Read(const Json::Value& v, const std::string& strWhere, uint64_t& out) {
        return Take(v, strWhere, out, &Json::Value::isUInt64, &Json::Value::asUInt64,
                    "must be a non-negative integer");
    }
    bool Read(const Json::Value& v, const std::string& strWhere, std::string& out) {
        return Take(v, strWhere, out, &Json::Value::isString, &Json::Value::asString,
                    "must be a string");
    }
    bool Read(const Json::Value& v, const std::string& strWhere, std::set<std::string>& out) {
        if (!v.isArray()) {
            Error(strWhere, "must be an array of strings");
            return false;
        }
        std::set<std::string> result;
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
            if (!v[i].isString()) {
                Error(strWhere + "[" + std::to_string(i) + "]", "must be a string");
                return false;
            }
            result.insert(v[i].asString());
        }
        out = std::move(result);
        return true;
    }

private:
    template <typename T, typename TJson>
    bool Take(const Json::Value& v, const std::string& strWhere, T& out,
              bool (Json::Value::*pfnIs)() const, TJson (Json::Value::*pfnAs)() const,
              const char* pchMust) {
        if (!(v.*pfnIs)()) {
            Error(strWhere, pchMust);
            return false;
        }
        out = static_cast<T>((v.*pfnAs)());
        return true;
    }

    std::string* m_pstrErrors;
    bool m_bOk = true;
};

// "withhold_interfaces": versions taken out of a served set.
void Withhold(const Json::Value& obj, const std::string& strPrefix, std::set<std::string>& served,
              CChecker& check) {
    std::set<std::string> withheld;
    if (check.Optional(obj, strPrefix, "withhold_interfaces", withheld)) {
        for (const std::string& str : withheld) {
            served.erase(str);
        }
    }
}

void ApplyScreenshots(const Json::Value& v, ScreenshotConfig& config, CChecker& check) {
    if (!v.isObject()) {
        check.Error("screenshots", "must be an object");
        return;
    }
    check.OnlyMembers(v, "screenshots",
                      {"outcome", "extension", "fail_type_query", "fail_filename_kinds"});
    if (check.Optional(v, "screenshots.", "outcome", config.strOutcome) &&
        config.strOutcome != "taken" && config.strOutcome != "failed" &&
        config.strOutcome != "none") {
        check.Error("screenshots.outcome", "must be \"taken\", \"failed\" or \"none\"");
    }
    check.Optional(v, "screenshots.", "extension", config.strExtension);
    check.Optional(v, "screenshots.", "fail_type_query", config.bFailTypeQuery);
    if (v.isMember("fail_filename_kinds")) {
        const Json::Value& kinds = v["fail_filename_kinds"];
        if (!kinds.isArray()) {
            check.Error("screenshots.fail_filename_kinds", "must be an array of 0 and 1");
        } else {
            for (Json::ArrayIndex i = 0; i < kinds.size(); ++i) {
                if (!kinds[i].isInt() || (kinds[i].asInt() != 0 && kinds[i].asInt() != 1)) {
                    check.Error("screenshots.fail_filename_kinds", "must be an array of 0 and 1");
                    break;
                }
                config.setFailFilenameKinds.insert(kinds[i].asInt());
            }
        }
    }
}

void ApplyHost(const Json::Value& v, HostConfig& config, CChecker& check) {
    if (!v.isObject()) {
        check.Error("host", "must be an object");
        return;
    }
    check.OnlyMembers(
        v, "host",
        {"running", "init_result", "app_id", "language", "interfaces", "withhold_interfaces",
         "user_id", "user_name", "user_handle", "screenshot_library", "invite_result"});
    check.Optional(v, "host.", "running", config.bRunning);
    check.Optional(v, "host.", "init_result", config.nInitResult);
    uint64_t ulAppId = 0;
    if (!v["app_id"].isNull() && check.Optional(v, "host.", "app_id", ulAppId)) {
        if (ulAppId > 0xFFFFFFFFull) {
            check.Error("host.app_id", "must fit 32 bits");
        }
        config.appId = static_cast<uint32_t>(ulAppId);
    }
    check.Optional(v, "host.", "language", config.strLanguage);
    check.Optional(v, "host.", "interfaces", config.setInterfaces);
    Withhold(v, "host.", config.setInterfaces, check);
    check.Optional(v, "host.", "user_id", config.ulUserId);
    check.Optional(v, "host.", "user_name", config.strUserName);
    check.Optional(v, "host.", "user_handle", config.hUser);
    check.Optional(v, "host.", "screenshot_library", config.strScreenshotLibrary);
    check.Optional(v, "host.", "invite_result", config.bInviteResult);
}

void ApplySettings(const Json::Value& v, SimConfig& config, CChecker& check) {
    if (!v.isObject()) {
        check.Error("settings", "must be an object of sections");
        return;
    }
    for (const std::string& strSection : v.getMemberNames()) {
        const Json::Value& section = v[strSection];
        if (!section.isObject()) {
            check.Error("settings." + strSection, "must be an object of keys");
            continue;
        }
        for (const std::string& strKey : section.getMemberNames()) {
            const Json::Value& value = section[strKey];
            if (value.isNull()) {  // unset: the key reads as not set
                config.settings[strSection].removeMember(strKey);
                continue;
            }
            if (!value.isBool() && !value.isNumeric() && !value.isString()) {
                check.Error("settings." + strSection + "." + strKey,
                            "must be a boolean, a number, a string or null");
                continue;
            }
            config.settings[strSection][strKey] = value;
        }
    }
}

}  // namespace

bool ApplyConfig(const Json::Value& root, SimConfig& config, std::string* pstrErrors) {
    CChecker check(pstrErrors);
    if (!root.isObject()) {
        check.Error("configuration", "must be a JSON object");
        return false;
    }
    check.OnlyMembers(
        root, "configuration",
        {"interfaces", "withhold_interfaces", "refuse_interfaces", "init_error", "settings",
         "hmd_property_container", "screenshots", "host", "resource_dir", "journal_limit"});
    check.Optional(root, "", "interfaces", config.setInterfaces);
    Withhold(root, "", config.setInterfaces, check);
    check.Optional(root, "", "refuse_interfaces", config.setRefusedInterfaces);
    if (check.Optional(root, "", "init_error", config.nInitError) &&
        !IsKnownInitError(config.nInitError)) {
        check.Error("init_error", "must be 0 or one of the init errors 100..110");
    }
    if (root.isMember("settings")) {
        ApplySettings(root["settings"], config, check);
    }
    check.Optional(root, "", "hmd_property_container", config.ulHmdPropertyContainer);
    if (root.isMember("screenshots")) {
        ApplyScreenshots(root["screenshots"], config.screenshots, check);
    }
    if (root.isMember("host")) {
        ApplyHost(root["host"], config.host, check);
    }
    check.Optional(root, "", "resource_dir", config.strResourceDir);
    uint64_t ulLimit = 0;
    if (check.Optional(root, "", "journal_limit", ulLimit)) {
        if (ulLimit == 0) {
            check.Error("journal_limit", "must be at least 1");
        } else {
            config.cJournalLimit = static_cast<size_t>(ulLimit);
        }
    }
    return check.Ok();
}

namespace {

// Reads a configuration file without letting it hang or swamp the simulator:
// opened without blocking (a FIFO with no writer), refused unless it is a
// regular file of at most k_cubMaxConfigFile bytes.
bool ReadConfigFile(const std::string& strPath, std::string& strText, std::string* pstrErrors) {
    auto Fail = [&](const std::string& strWhat) {
        if (pstrErrors) {
            *pstrErrors += strPath + ": " + strWhat + "\n";
        }
        return false;
    };
    int fd = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return Fail("cannot be read");
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail("cannot be read: not a regular file");
    }
    if (st.st_size > static_cast<off_t>(k_cubMaxConfigFile)) {
        close(fd);
        return Fail("larger than " + std::to_string(k_cubMaxConfigFile) + " bytes");
    }
    strText.clear();
    char buffer[16384];
    while (strText.size() <= k_cubMaxConfigFile) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return Fail(std::string("cannot be read: ") + strerror(errno));
        }
        if (n == 0) {
            break;
        }
        strText.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (strText.size() > k_cubMaxConfigFile) {
        return Fail("larger than " + std::to_string(k_cubMaxConfigFile) + " bytes");
    }
    return true;
}

}  // namespace

bool ParseConfig(const std::string& strText, const std::string& strName, SimConfig& config,
                 std::string* pstrErrors) {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["failIfExtra"] = true;
    Json::Value root;
    std::string strParseErrors;
    if (!ParseJsonWith(builder, strText, root, &strParseErrors)) {
        if (pstrErrors) {
            *pstrErrors += strName + ": not valid JSON: " + strParseErrors;
        }
        return false;
    }
    return ApplyConfig(root, config, pstrErrors);
}

bool LoadConfig(const std::string& strPath, SimConfig& config, std::string* pstrErrors) {
    std::string strText;
    return ReadConfigFile(strPath, strText, pstrErrors) &&
           ParseConfig(strText, strPath, config, pstrErrors);
}

}  // namespace lattice_sim
