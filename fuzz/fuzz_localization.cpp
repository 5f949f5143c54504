// Localization files on arbitrary content: a driver's index, the two
// language files a new-style index may name, and the web interface's string
// file (the input's four parts, split at NUL bytes). Resource names resolve
// into a directory of this process only, as the runtime's resources
// interface resolves them into its resource directory. Loading must never
// fail loudly; what loads must be found again by lookups, with keys in lower
// case, and a load that fails must leave the tables as they were.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "lattice_api.h"
#include "lattice_internal.h"
#include "localizationmanager.h"
#include "pathtools.h"
#include "vrjsonutils.h"

namespace {

using fuzz_support::Require;

// "{name}rest" => <root>/name + rest, any other relative name => <root>/name;
// absolute names and ".." are never resolved, so nothing outside the root is
// read. 0 for a file that does not exist, like the runtime.
class CScratchResources : public vr::IVRResources {
public:
    explicit CScratchResources(std::string sRoot) : m_sRoot(std::move(sRoot)) {}
    uint64_t Unused0() override { return 0; }
    uint32_t ResolveResourcePath(const char* pchName, const char*, char* pchBuffer,
                                 uint32_t unBufferLen) override {
        std::string sName = pchName ? pchName : "";
        std::string sPath;
        if (sName.empty() || sName[0] == '/' || sName.find("..") != std::string::npos) {
            return 0;
        }
        if (sName[0] == '{') {
            size_t unClose = sName.find('}');
            if (unClose == std::string::npos || unClose == 1) {
                return 0;
            }
            sPath = m_sRoot + "/" + sName.substr(1, unClose - 1) + sName.substr(unClose + 1);
        } else {
            sPath = m_sRoot + "/" + sName;
        }
        if (!Path_Exists(sPath)) {
            return 0;
        }
        uint32_t unSize = static_cast<uint32_t>(sPath.size() + 1);
        if (pchBuffer && unSize <= unBufferLen) {
            memcpy(pchBuffer, sPath.c_str(), unSize);
        }
        return unSize;
    }

private:
    std::string m_sRoot;
};

struct Files_t {
    std::string sRoot, sIndex, sEnglish, sGerman, sLocalEnglish, sLocalGerman, sWeb;
};

const Files_t& Files() {
    // Never destroyed: the clean-up at exit still needs it.
    static const Files_t* s_files = [] {
        std::string sTemplate =
            fuzz_support::MakeScratchDirectory(Path_GetTemporaryDirectory(), "loc");
        Files_t files;
        files.sRoot = sTemplate;
        files.sIndex = sTemplate + "/drv/localization/localization.json";
        files.sEnglish = sTemplate + "/en.json";
        files.sGerman = sTemplate + "/de.json";
        files.sLocalEnglish = sTemplate + "/drv/localization/en.json";
        files.sLocalGerman = sTemplate + "/drv/localization/de.json";
        files.sWeb = sTemplate + "/webinterface/dashboard/localization/pagehost_german.json";
        Require(BCreateDirectoryRecursive((sTemplate + "/drv/localization").c_str()) &&
                    BCreateDirectoryRecursive(Path_StripFilename(files.sWeb).c_str()),
                "the resource directories exist");
        static CScratchResources s_resources(sTemplate);
        vr_internal::g_pVRResources = &s_resources;
        atexit([] {
            const Files_t& f = Files();
            for (const std::string& sFile :
                 {f.sIndex, f.sEnglish, f.sGerman, f.sLocalEnglish, f.sLocalGerman, f.sWeb}) {
                unlink(sFile.c_str());
            }
            for (const char* pchDir :
                 {"/webinterface/dashboard/localization", "/webinterface/dashboard",
                  "/webinterface", "/drv/localization", "/drv", ""}) {
                rmdir((f.sRoot + pchDir).c_str());
            }
        });
        return new Files_t(std::move(files));
    }();
    return *s_files;
}

std::vector<std::string> SplitAtNul(const uint8_t* pData, size_t cubData, size_t cParts) {
    std::string sInput(reinterpret_cast<const char*>(pData), cubData);
    std::vector<std::string> vecParts;
    size_t unStart = 0;
    while (vecParts.size() + 1 < cParts) {
        size_t unNul = sInput.find('\0', unStart);
        if (unNul == std::string::npos) {
            break;
        }
        vecParts.push_back(sInput.substr(unStart, unNul - unStart));
        unStart = unNul + 1;
    }
    vecParts.push_back(sInput.substr(std::min(unStart, sInput.size())));
    vecParts.resize(cParts);
    return vecParts;
}

void Write(const std::string& sFile, const std::string& sText) {
    Require(Path_WriteBinaryFile(sFile, reinterpret_cast<const unsigned char*>(sText.data()),
                                 sText.size()),
            "a resource file can be written");
}

bool HasUpperCase(const std::string& sText) {
    return std::any_of(sText.begin(), sText.end(), [](char ch) { return ch >= 'A' && ch <= 'Z'; });
}

// Every entry of every table is found again through the lookups.
void CheckTables(CLocalizationManager& manager) {
    Json::Value tables = manager.GetLocalizationJson();
    Json::Value flat = manager.GetFlatLocalizationJson();
    Require(tables.isNull() || tables.isObject(), "the tables export as an object");
    Json::ArrayIndex cEntries = 0;
    for (const std::string& sTable : tables.getMemberNames()) {
        Require(!HasUpperCase(sTable), "table names are lower case");
        const Json::Value& table = tables[sTable];
        for (const std::string& sKey : table.getMemberNames()) {
            Require(!HasUpperCase(sKey), "keys are lower case");
            std::string sText = table[sKey].asString();
            // A driver key the web table also holds is answered by the driver.
            Require(manager.GetStringEntry(sTable, "#" + sKey) == sText,
                    "a loaded entry is found by its key");
            Require(flat.isObject() &&
                        flat.get("{" + sTable + "}" + sKey, Json::Value()) == table[sKey],
                    "the flat export holds every entry");
            if (sText.find('%') == std::string::npos) {
                Require(manager.Localize(sTable, "#" + sKey, "a", "b", "c") == sText,
                        "a text without placeholders is localized unchanged");
            }
            ++cEntries;
        }
    }
    Require(flat.isNull() ? cEntries == 0 : flat.size() == cEntries,
            "the flat export holds nothing else");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    const Files_t& files = Files();
    std::vector<std::string> vecParts = SplitAtNul(pData, cubData, 4);
    Write(files.sIndex, vecParts[0]);
    Write(files.sEnglish, vecParts[1]);
    Write(files.sLocalEnglish, vecParts[1]);
    Write(files.sGerman, vecParts[2]);
    Write(files.sLocalGerman, vecParts[2]);
    Write(files.sWeb, vecParts[3]);

    Json::Value languages;
    int nIndex = ReadLocalizationFile("{drv}/localization/localization.json", "de_DE", languages);
    Require(nIndex == ReadJson_Success || nIndex == ReadJson_ParseError,
            "an index that exists is read or refused as no index");
    Require(nIndex != ReadJson_Success || languages.isNull() || languages.isArray(),
            "an index gives an array of languages");
    Json::Value index;
    if (ReadJsonFromString(vecParts[0], index, nullptr) == ReadJson_Success) {
        Json::Value block;
        Require(
            ReadLocalizationBlock("{drv}/localization", index, "de_DE", block) == ReadJson_Success,
            "an index block always reads");
        Require(block.isNull() || block.isArray(), "a block gives an array of languages");
    }

    CLocalizationManager manager;
    manager.SetLanguage("german");
    bool bWeb = manager.BLoadWebStringTable("");
    Json::Value afterWeb = manager.GetLocalizationJson();
    Require(bWeb == afterWeb.isMember(""), "the web table is there when it loaded");
    bool bDriver = manager.BLoadDriverStringTable("drv");
    Require(bDriver == manager.GetLocalizationJson().isMember("drv"),
            "the driver table is there when it loaded");
    Require(bDriver || manager.GetLocalizationJson() == afterWeb,
            "a failed load leaves the tables as they were");
    Require(!bDriver || nIndex == ReadJson_Success, "a driver table needs a readable index");
    CheckTables(manager);

    // Loading the same files again gives the same tables.
    Json::Value first = manager.GetLocalizationJson();
    Require(
        manager.BLoadWebStringTable("") == bWeb && manager.BLoadDriverStringTable("drv") == bDriver,
        "loading is repeatable");
    Require(manager.GetLocalizationJson() == first, "a reload gives the same tables");
    return 0;
}
