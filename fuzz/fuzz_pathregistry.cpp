// The path registry file on arbitrary content: loading must either succeed
// or give a reason, and a registry that loaded must survive a save and a
// second load with every list intact.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "pathtools.h"
#include "registry_lists.h"
#include "strtools_public.h"
#include "vrpathregistry.h"

namespace {

using fuzz_support::ListsOf;
using fuzz_support::Require;

// Each process works on its own registry file, named once.
const std::string& RegistryFile() {
    static const std::string s_sFile = [] {
        std::string sDir = fuzz_support::MakeScratchDirectory("/tmp", "registry");
        std::string sFile = sDir + "/latticepaths.vrpath";
        setenv("VR_PATHREG_OVERRIDE", sFile.c_str(), 1);
        static std::string s_sDir = sDir;
        atexit([] {
            Path_UnlinkFile(s_sDir + "/latticepaths.vrpath");
            rmdir(s_sDir.c_str());
        });
        return sFile;
    }();
    return s_sFile;
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
    fuzz_support::RegistryLists loaded = ListsOf(registry);
    // Paths that are not valid UTF-8 cannot round-trip through the JSON writer.
    if (!fuzz_support::IsText(loaded)) {
        return 0;
    }
    Require(registry.BSaveToFile(), "a loaded registry can be saved");
    CVRPathRegistry reloaded;
    Require(reloaded.BLoadFromFile(&sError), "a saved registry loads");
    Require(ListsOf(reloaded) == loaded, "save and load keep every list");
    return 0;
}
