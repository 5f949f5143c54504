// A program of another project, built against the installed support
// libraries (tests/consumer/CMakeLists.txt, scripts/test-consumer.sh). In the
// directory it is given it writes a path registry, finds its log directory
// through it as every runtime process does, logs a line through the
// process-wide registry into its log file and checks what it reads back.
// Exit status: 0 when everything holds, 1 (with the reason) when not, 2 for
// bad arguments.
#include <tessera/lattice_api.h>
#include <tessera/latticetools.h>
#include <tessera/pathtools.h>
#include <tessera/vrlog.h>
#include <tessera/vrpathregistry.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int g_nFailures = 0;

void Check(bool bHolds, const std::string& sWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "tessera_consumer: %s\n", sWhat.c_str());
        ++g_nFailures;
    }
}

// Writes the registry with the writer side, reads it back through the
// start-up lookup.
void CheckPathRegistry(const std::string& sWork) {
    CVRPathRegistry registry;
    registry.SetRuntimePath(sWork + "/runtime");
    registry.SetConfigPath(sWork + "/config");
    registry.SetLogPath(sWork + "/logs");
    Check(registry.BSaveToFile(), "cannot save the path registry");

    std::string sRuntime, sConfig, sLog;
    Check(CVRPathRegistry_Public::GetPaths(&sRuntime, &sConfig, &sLog, nullptr, nullptr),
          "the path registry does not load");
    Check(sRuntime == sWork + "/runtime", "runtime path read back as '" + sRuntime + "'");
    Check(sConfig == sWork + "/config", "config path read back as '" + sConfig + "'");
    Check(sLog == sWork + "/logs", "log path read back as '" + sLog + "'");
}

// Opens the log where the registry says, logs through the registry (Log) and
// reads the file.
void CheckLogging(const std::string& sWork) {
    int nResult = Lattice_SetupLogging(GetVRLog(), true, "consumer", nullptr, false, 0);
    Check(nResult == k_nSetupLogging_Success,
          "Lattice_SetupLogging answered " + std::to_string(nResult));
    Log(LogLevel_Info, "consumer line %d\n", 42);
    GetVRLog()->CloseLog();

    std::string sText = Path_ReadTextFile(Path_Join(sWork, "logs", "consumer.txt"));
    Check(sText.find("startup with PID=") != std::string::npos, "no start-up banner in the log");
    Check(sText.find("[Info] - consumer line 42\n") != std::string::npos,
          "the logged line is not in the log:\n" + sText);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessera_consumer EMPTY-DIRECTORY\n");
        return 2;
    }
    std::string sWork = argv[1];
    setenv("VR_PATHREG_OVERRIDE", (sWork + "/latticepaths.vrpath").c_str(), 1);
    for (const char* pchName : {"VR_OVERRIDE", "VR_CONFIG_PATH", "VR_LOG_PATH"}) {
        unsetenv(pchName);
    }
    CheckPathRegistry(sWork);
    CheckLogging(sWork);
    // The platform library, found through the run path the package gave.
    Check(std::string(VR_GetVRInitErrorAsSymbol(vr::LatticeInitError_None)) != "",
          "the runtime client library has no symbol for init error 0");
    if (g_nFailures == 0) {
        std::printf("tessera_consumer: all checks passed\n");
    }
    return g_nFailures == 0 ? 0 : 1;
}
