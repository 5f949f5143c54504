// latticetools: start-up glue around the log. Lattice_SetupLogging opens the
// process's log in the runtime's log directory (from the path registry) with
// the start-up banner; Lattice_ReadVersionFile finds and reads the runtime's
// "version.txt" once per process; plus small version and diagnostics helpers.
//
//   OrreryVersionAsString()                   => "2.14.5"
//   VersionIsLess("2.14.5", "2.14.10")        => true   (numeric parts)
//   VersionIsLess("2.14", "3.0.0")            => false  (needs three parts)
//   version.txt " 12 34\n"                    => "2.14.5 (1234)", build 1234, true
//   version.txt missing, registry readable    => "2.14.5 (1)", build 1, false
//   version.txt missing, no registry          => "2.14.5 (2)", build 2, false
//
// Meant for the main thread at start-up; cached answers are computed once and
// kept for the life of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CVRLog;

// Result codes of Lattice_SetupLogging (a null writer gives CannotOpenLog).
// CannotOpenLog also when the log opened but the combined log did not; the
// log is then set up all the same (buffer limit, banner, pre-log lines).
constexpr int k_nSetupLogging_Success = 0;
constexpr int k_nSetupLogging_NoPaths = 110;
constexpr int k_nSetupLogging_CannotOpenLog = 112;

int Lattice_SetupLogging(CVRLog* pLog, bool bEnableLogBuffer, const char* pchLogName,
                         std::vector<std::string>* pvecPreLogLines, bool bAppendExecutableName,
                         unsigned long ulStartupRotateSize);
bool Lattice_ReadVersionFile(std::string& sVersion, unsigned int* punBuildNumber);
std::string OrreryVersionAsString();
bool VersionIsLess(const std::string& sVersionA, const std::string& sVersionB);
bool IsRunningFromPerforce();
bool IsOnMainBranch();
void GetBacktraceStrings(std::vector<std::string>& vecStrings);
// ORRERY_VERBOSE_HAPTIC_LOG as a bool (default false), read on the first call only.
bool BIsHapticLoggingEnabled();
void LogHapticDebugIfEnabled(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));

// The main release branch's application id on the host client.
constexpr uint32_t k_unMainBranchAppId = 7301159;
