#include "latticetools.h"

#include <execinfo.h>

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "logbuffer.h"
#include "pathtools.h"
#include "strtools_public.h"
#include "threadtools.h"
#include "vrassert.h"
#include "vrlog.h"
#include "vrpathregistry.h"

namespace {

constexpr unsigned k_unVersionMajor = 2;
constexpr unsigned k_unVersionMinor = 14;
constexpr unsigned k_unVersionBuild = 5;
// Far above any real version file, which holds one build identifier.
constexpr size_t k_unMaxVersionFileSize = 64 * 1024;

void WriteBanner(CVRLog* pLog, const std::string& sConfigPath, const std::string& sRuntimePath) {
    pLog->Log("//%s\n", std::string(94, '=').c_str());
    pLog->Log("%s\n", std::string(96, '=').c_str());
    pLog->Log("%s\n", std::string(96, '=').c_str());
    pLog->Log("%s %s startup with PID=%u, config=%s, runtime=%s, arch=%s\n",
              Path_GetExecutableName().c_str(), OrreryVersionAsString().c_str(),
              static_cast<unsigned>(ThreadGetCurrentProcessId()), sConfigPath.c_str(),
              sRuntimePath.c_str(), "linux64");
}

struct CachedVersion_t {
    bool bRead = false;
    bool bResult = false;
    uint32_t unBuildNumber = 0;
    std::string sVersion;
};

// The version file beside the runtime's bin directory; a "pagehost" helper
// lives one level deeper than the other executables. "" when the executable's
// path is unknown: a relative "version.txt" would be read from whatever the
// working directory happens to be.
std::string VersionFileCandidate() {
    std::string sExecutablePath = Path_GetExecutablePath();
    if (!Path_IsAbsolute(sExecutablePath)) {
        return std::string();
    }
    std::string sExecutableDir = Path_StripFilename(sExecutablePath);
    std::string sParent = Path_StripFilename(sExecutableDir);
    std::string sBase = Path_StripDirectory(sParent) == "pagehost"
                            ? Path_MakeAbsolute(Path_Join(sExecutableDir, "../.."), "/")
                            : sParent;
    return Path_Join(sBase, "version.txt");
}

void ReadVersionInto(CachedVersion_t& cached) {
    cached.sVersion = OrreryVersionAsString() + " (";
    std::string sCandidate = VersionFileCandidate();
    if (sCandidate.empty() || !Path_Exists(sCandidate)) {
        std::string sRuntimePath;
        if (!CVRPathRegistry_Public::GetPaths(&sRuntimePath, nullptr, nullptr, nullptr, nullptr)) {
            cached.sVersion += "2)";
            cached.unBuildNumber = 2;
            cached.bResult = false;
            return;
        }
        sCandidate = Path_Join(sRuntimePath, "bin", "version.txt");
        if (!Path_Exists(sCandidate)) {
            cached.sVersion += "1)";
            cached.unBuildNumber = 1;
            cached.bResult = false;
            return;
        }
    }
    // A file that cannot be read (a FIFO, a huge file: refused unread) counts
    // as an empty one.
    std::string sText;
    Path_ReadTextFileLimited(sCandidate, k_unMaxVersionFileSize, sText);
    std::string sContent;
    for (char ch : sText) {
        if (!isspace(static_cast<unsigned char>(ch))) {
            sContent += ch;
        }
    }
    cached.sVersion += sContent + ")";
    cached.bResult = !sContent.empty();
    cached.unBuildNumber =
        cached.bResult ? static_cast<uint32_t>(strtol(sContent.c_str(), nullptr, 10)) : 0;
}

}  // namespace

int Lattice_SetupLogging(CVRLog* pLog, bool bEnableLogBuffer, const char* pchLogName,
                         std::vector<std::string>* pvecPreLogLines, bool bAppendExecutableName,
                         unsigned long ulStartupRotateSize) {
    if (!pLog) {
        return k_nSetupLogging_CannotOpenLog;  // no writer to open
    }
    if (pLog->IsOpen()) {
        if (pvecPreLogLines) {
            DumpLogStrings(pLog, *pvecPreLogLines);
        }
        return k_nSetupLogging_Success;
    }
    std::string sRuntimePath, sConfigPath, sLogPath;
    if (!CVRPathRegistry_Public::GetPaths(&sRuntimePath, &sConfigPath, &sLogPath, nullptr,
                                          nullptr)) {
        return k_nSetupLogging_NoPaths;
    }
    bool bOpened =
        pLog->InitLog(sLogPath.c_str(), pchLogName, bAppendExecutableName, ulStartupRotateSize);
    // The log may be open although InitLog failed (the combined log could
    // not be opened): it is set up as usual, and the failure still reported.
    if (!pLog->IsOpen()) {
        return k_nSetupLogging_CannotOpenLog;
    }
    if (bEnableLogBuffer) {
        CLogBuffer::GetInstance()->SetBufferLimit(65536);
    }
    WriteBanner(pLog, sConfigPath, sRuntimePath);
    if (pvecPreLogLines) {
        DumpLogStrings(pLog, *pvecPreLogLines);
    }
    return bOpened ? k_nSetupLogging_Success : k_nSetupLogging_CannotOpenLog;
}

bool Lattice_ReadVersionFile(std::string& sVersion, unsigned int* punBuildNumber) {
    static CachedVersion_t s_CachedVersion;
    if (!s_CachedVersion.bRead) {
        ReadVersionInto(s_CachedVersion);
        s_CachedVersion.bRead = true;
    }
    sVersion = s_CachedVersion.sVersion;
    if (punBuildNumber) {
        *punBuildNumber = s_CachedVersion.unBuildNumber;
    }
    return s_CachedVersion.bResult;
}

std::string OrreryVersionAsString() {
    static const std::string s_sCachedVersion =
        Format("%u.%u.%u", k_unVersionMajor, k_unVersionMinor, k_unVersionBuild);
    return s_sCachedVersion;
}

bool VersionIsLess(const std::string& sVersionA, const std::string& sVersionB) {
    std::vector<std::string> vecA = TokenizeString(sVersionA, '.');
    std::vector<std::string> vecB = TokenizeString(sVersionB, '.');
    if (vecA.size() != 3 || vecB.size() != 3) {
        return false;
    }
    for (size_t i = 0; i < 3; ++i) {
        int32_t nA = static_cast<int32_t>(strtol(vecA[i].c_str(), nullptr, 10));
        int32_t nB = static_cast<int32_t>(strtol(vecB[i].c_str(), nullptr, 10));
        if (nA != nB) {
            return nA < nB;
        }
    }
    return false;
}

bool IsRunningFromPerforce() {
    std::string sVersion;
    unsigned int unBuild = 0;
    return Lattice_ReadVersionFile(sVersion, &unBuild) && unBuild == 0;
}

bool IsOnMainBranch() {
    return CVRPathRegistry_Public::GetQuillAppId() == k_unMainBranchAppId;
}

void GetBacktraceStrings(std::vector<std::string>& vecStrings) {
    void* rgpFrames[256];
    int nFrames = backtrace(rgpFrames, 256);
    char** ppchSymbols = backtrace_symbols(rgpFrames, nFrames);
    if (!ppchSymbols) {
        Log(LogLevel_Error, "Failed to get backtrace symbols\n");
        return;
    }
    for (int i = 0; i < nFrames; ++i) {
        vecStrings.push_back(ppchSymbols[i]);
    }
    free(ppchSymbols);
}

bool BIsHapticLoggingEnabled() {
    static bool s_bNeedsRecheck = true;
    static bool s_bIsHapticLogEnabled = false;
    if (s_bNeedsRecheck) {
        s_bIsHapticLogEnabled = GetEnvironmentVariableAsBool("ORRERY_VERBOSE_HAPTIC_LOG", false);
        s_bNeedsRecheck = false;
    }
    return s_bIsHapticLogEnabled;
}

void LogHapticDebugIfEnabled(const char* pchFormat, ...) {
    if (!BIsHapticLoggingEnabled()) {
        return;
    }
    va_list args;
    va_start(args, pchFormat);
    LogDirect(LogLevel_Info, pchFormat, args);
    va_end(args);
    std::vector<std::string> vecStack;
    GetBacktraceStrings(vecStack);
    for (const std::string& sFrame : vecStack) {
        Log(LogLevel_Info, "%s\n", sFrame.c_str());
    }
    CAssert::GetInstance()->AssertMsgImpl(__FILE__, __LINE__, false, 1, "false");
}
