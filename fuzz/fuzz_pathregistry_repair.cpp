// The path registry's repair on arbitrary file content, in a directory of
// its own (HOME and the registry file both live there; nothing else on the
// machine is written). Whatever the file holds, the repair must succeed,
// keep a copy of a file it replaces, leave every valid path where it was and
// write a registry that loads; a registry that was intact stays untouched;
// and repairing the result again changes nothing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "pathtools.h"
#include "registry_lists.h"
#include "strtools_public.h"
#include "vrpathregistry.h"

namespace {

using fuzz_support::Require;

struct Scratch_t {
    std::string sHome;
    std::string sDirectory;  // holds the registry and its kept copies
    std::string sFile;
};

void RemoveEntries(const std::string& sDirectory) {
    if (DIR* pDir = opendir(sDirectory.c_str())) {
        while (dirent* pEntry = readdir(pDir)) {
            unlinkat(dirfd(pDir), pEntry->d_name, 0);  // "." and "..": refused
        }
        closedir(pDir);
    }
}

const Scratch_t& Scratch() {
    // Never destroyed: the clean-up at exit still needs it.
    static const Scratch_t* s_scratch = [] {
        std::string sTemplate =
            fuzz_support::MakeScratchDirectory(Path_GetTemporaryDirectory(), "repair");
        Scratch_t scratch;
        scratch.sHome = sTemplate;
        scratch.sDirectory = sTemplate + "/reg";
        scratch.sFile = scratch.sDirectory + "/latticepaths.vrpath";
        Require(BCreateDirectory(scratch.sDirectory.c_str()), "the registry directory exists");
        setenv("HOME", scratch.sHome.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        setenv("VR_PATHREG_OVERRIDE", scratch.sFile.c_str(), 1);
        // The repair reports on standard output when no log is open.
        int fdNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (fdNull >= 0) {
            dup2(fdNull, STDOUT_FILENO);
            close(fdNull);
        }
        atexit([] {
            RemoveEntries(Scratch().sDirectory);
            rmdir(Scratch().sDirectory.c_str());
            rmdir(Scratch().sHome.c_str());
        });
        return new Scratch_t(std::move(scratch));
    }();
    return *s_scratch;
}

struct Registry_t : fuzz_support::RegistryLists {
    bool bLoaded = false;
};

// The lists of a registry: current paths first, then the histories.
Registry_t Load() {
    CVRPathRegistry registry;
    Registry_t loaded;
    loaded.bLoaded = registry.BLoadFromFile();
    static_cast<fuzz_support::RegistryLists&>(loaded) = fuzz_support::ListsOf(registry, true);
    return loaded;
}

bool IsValid(const std::string& sPath) {
    return !sPath.empty() && Path_IsDirectory(sPath);
}

std::string Contents(const std::string& sFile) {
    std::string sData;
    Path_ReadFileLimited(sFile, k_unMaxPathRegistrySize * 2, sData);
    return sData;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    const Scratch_t& scratch = Scratch();
    RemoveEntries(scratch.sDirectory);
    std::string sInput(reinterpret_cast<const char*>(pData), cubData);
    Require(Path_WriteBinaryFile(scratch.sFile, pData, cubData), "the registry can be written");

    Registry_t before = Load();
    bool bIntact = before.bLoaded && IsValid(before.runtime[0]) && IsValid(before.config[0]) &&
                   IsValid(before.log[0]);
    std::vector<std::string> vecMessages;
    int nResult = Lattice_EnsurePathRegistryIntact(&vecMessages);
    Require(nResult == 0, "a registry in a writable directory is always repaired");
    if (bIntact) {
        Require(vecMessages.empty(), "an intact registry is not reported");
        Require(Contents(scratch.sFile) == sInput, "an intact registry is not rewritten");
        return 0;
    }
    Require(!vecMessages.empty(), "a repair is reported");
    const std::string sFirst = vecMessages.front();
    if (before.bLoaded) {
        Require(sFirst.rfind("[System] Path Registry contains invalid data", 0) == 0,
                "a registry that loads is sanitized");
    } else {
        Require(sFirst.rfind("[System] Path Registry not found, initializing: ", 0) == 0,
                "a registry that does not load is initialized");
        bool bKept =
            sFirst.find(" (old file kept as " + scratch.sFile + ".broken)") != std::string::npos;
        Require(bKept == !sInput.empty(), "a replaced file is kept, and only then");
        Require(!bKept || Contents(scratch.sFile + ".broken") == sInput,
                "the kept copy holds the old file byte for byte");
    }

    Registry_t after = Load();
    Require(after.bLoaded, "the repaired registry loads");
    Require(IsValid(after.runtime[0]), "the repaired runtime path exists");
    auto keptIfValid = [](const std::vector<std::string>& vecBefore,
                          const std::vector<std::string>& vecAfter) {
        return !IsValid(vecBefore[0]) || vecBefore[0] == vecAfter[0];
    };
    // JSON text carries only valid UTF-8 unchanged through a save.
    if (before.bLoaded && fuzz_support::IsText(before)) {
        Require(keptIfValid(before.runtime, after.runtime) &&
                    keptIfValid(before.config, after.config) && keptIfValid(before.log, after.log),
                "a valid path stays where it was");
        Require(after.drivers == before.drivers, "the external drivers survive a repair");
    }

    std::vector<std::string> vecAgain;
    Require(Lattice_EnsurePathRegistryIntact(&vecAgain) == 0, "a repaired registry repairs");
    Registry_t again = Load();
    Require(again.runtime[0] == after.runtime[0] && again.config[0] == after.config[0] &&
                again.log[0] == after.log[0] && again.drivers == after.drivers,
            "repairing twice changes no current path");
    return 0;
}
