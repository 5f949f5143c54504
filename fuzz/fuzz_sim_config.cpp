// The simulator's configuration file on arbitrary text: parsed as a file
// (through a memory file's /proc path, as `serve --config` opens it) and as
// text, with the same outcome; nothing may crash, and a configuration that
// is accepted holds only values the simulator can serve.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "fuzz_support.h"

namespace {

using fuzz_support::Require;

void CheckAccepted(const lattice_sim::SimConfig& config) {
    Require(lattice_sim::IsKnownInitError(config.nInitError), "the init error is a known one");
    Require(config.cJournalLimit >= 1, "the journal keeps at least one entry");
    const std::string& strOutcome = config.screenshots.strOutcome;
    Require(strOutcome == "taken" || strOutcome == "failed" || strOutcome == "none",
            "the screenshot outcome is one of three");
    for (int32_t nKind : config.screenshots.setFailFilenameKinds) {
        Require(nKind == 0 || nKind == 1, "failing file name kinds are 0 and 1");
    }
    Require(config.settings.isObject(), "settings are sections");
    for (const std::string& strSection : config.settings.getMemberNames()) {
        const Json::Value& section = config.settings[strSection];
        Require(section.isObject(), "a section holds keys");
        for (const std::string& strKey : section.getMemberNames()) {
            const Json::Value& value = section[strKey];
            Require(value.isBool() || value.isNumeric() || value.isString(),
                    "a setting is a boolean, a number or a string");
        }
    }
}

// The errors end every problem with a newline; none is empty.
void CheckErrors(const std::string& strErrors) {
    Require(!strErrors.empty() && strErrors.back() == '\n', "a refusal says why, line by line");
    Require(strErrors.find("\n\n") == std::string::npos, "no empty problem line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    std::string strText(reinterpret_cast<const char*>(pData), cubData);
    static int s_fdFile = memfd_create("fuzz-config", MFD_CLOEXEC);
    Require(s_fdFile >= 0, "a memory file");
    static const std::string s_strPath = "/proc/self/fd/" + std::to_string(s_fdFile);

    lattice_sim::SimConfig fromText;
    std::string strTextErrors;
    bool bText = lattice_sim::ParseConfig(strText, s_strPath, fromText, &strTextErrors);
    if (bText) {
        Require(strTextErrors.empty(), "an accepted configuration has no errors");
        CheckAccepted(fromText);
    } else {
        CheckErrors(strTextErrors);
    }

    if (cubData > lattice_sim::k_cubMaxConfigFile) {
        return 0;
    }
    Require(ftruncate(s_fdFile, 0) == 0 && pwrite(s_fdFile, strText.data(), strText.size(), 0) ==
                                               static_cast<ssize_t>(strText.size()),
            "the text written to the memory file");
    lattice_sim::SimConfig fromFile;
    std::string strFileErrors;
    bool bFile = lattice_sim::LoadConfig(s_strPath, fromFile, &strFileErrors);
    Require(bFile == bText && strFileErrors == strTextErrors,
            "the file and its text give the same outcome");
    return 0;
}
