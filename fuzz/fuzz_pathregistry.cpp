// The path registry file on arbitrary content: loading must either succeed
// or give a reason, and a registry that loaded must survive a save and a
// second load with every list intact.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pathtools.h"
#include "strtools_public.h"
#include "vrpathregistry.h"

namespace {

void Require(bool bHolds, const char* pchWhat) {
    if (!bHolds) {
        fprintf(stderr, "fuzz_pathregistry: property broken: %s\n", pchWhat);
        abort();
    }
}

// Each process works on its own registry file, named once.
const std::string& RegistryFile() {
    static const std::string s_sFile = [] {
        char rchDir[] = "/tmp/halyard-fuzz-registry-XXXXXX";
        const char* pchDir = mkdtemp(rchDir);
        Require(pchDir != nullptr, "a scratch directory can be made");
        std::string sFile = std::string(pchDir) + "/latticepaths.vrpath";
        setenv("VR_PATHREG_OVERRIDE", sFile.c_str(), 1);
        static std::string s_sDir = pchDir;
        atexit([] {
            Path_UnlinkFile(s_sDir + "/latticepaths.vrpath");
            rmdir(s_sDir.c_str());
        });
        return sFile;
    }();
    return s_sFile;
}

struct Lists_t {
    std::vector<std::string> runtime, config, log, drivers;
    bool operator==(const Lists_t&) const = default;
};

Lists_t ListsOf(const CVRPathRegistry& registry) {
    Lists_t lists;
    for (uint32_t i = 0; i < registry.GetRuntimeHistoryCount(); ++i)
        lists.runtime.push_back(registry.GetRuntimeHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetConfigHistoryCount(); ++i)
        lists.config.push_back(registry.GetConfigHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetLogHistoryCount(); ++i)
        lists.log.push_back(registry.GetLogHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetExternalDriverCount(); ++i)
        lists.drivers.push_back(registry.GetExternalDriverPath(i));
    return lists;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    const std::string& sFile = RegistryFile();
    Require(Path_WriteBinaryFile(sFile, pData, cubData), "the registry file can be written");

    CVRPathRegistry registry;
    std::string sError;
    if (!registry.BLoadFromFile(&sError)) {
        Require(!sError.empty(), "a failed load says why");
        return 0;
    }
    Lists_t loaded = ListsOf(registry);
    // The file format is JSON text: paths that are not valid UTF-8 cannot be
    // written back unchanged by the JSON writer, so only valid ones round-trip.
    for (const auto* pList : {&loaded.runtime, &loaded.config, &loaded.log, &loaded.drivers}) {
        for (const std::string& sPath : *pList) {
            std::string sRepaired;
            if (!RepairUTF8(sPath, sRepaired)) {
                return 0;
            }
        }
    }
    Require(registry.BSaveToFile(), "a loaded registry can be saved");
    CVRPathRegistry reloaded;
    Require(reloaded.BLoadFromFile(&sError), "a saved registry loads");
    Require(ListsOf(reloaded) == loaded, "save and load keep every list");
    return 0;
}
