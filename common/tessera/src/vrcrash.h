// vrcrash: crash reporting and requested minidumps through the host client.
//
// The process writes no dumps itself. The host client library ("Quill")
// carries a crash handler and a minidump writer; crash handling set-up finds
// their entry points by name in the already loaded libraries
// ("QuillAPI_UseBreakpadCrashHandler", "QuillAPI_SetBreakpadAppID",
// "QuillAPI_SetMiniDumpComment", "QuillAPI_WriteMiniDump"), installs the
// handler, and from then on every requested dump carries a comment built here:
//
//   <non-buildbot build>
//   <the caller's message>
//   Executable: <process identifier>      (only when one was set)
//   <the newest lines of the in-memory log buffer that fit>
//
// in at most 16384 bytes including the terminating NUL. Crash reporting is off
// when a debugger is attached at the first question, or when
// ORRERY_DISABLE_CRASH_REPORTING is set to a value that converts (base 0) to
// a non-zero number; the answer is decided once per process.
//
// The runtime layer's VRCrashHandlingInit (vrcrashinit.h, latticeruntime)
// installs crash handling with the runtime's version text and application
// id; programs that link only tessera call VRCrashHandlingInitWithIdentity.
//
// Thread safety: requested dumps may come from any thread and are written one
// at a time. Set-up belongs to the main thread at start-up, before other
// threads request dumps. The crash callback runs on the crashing thread and
// waits for no lock: when the log buffer is busy, its comment goes without
// the log tail.
// Failure: missing host client entry points raise a non-fatal assertion and
// leave crash handling off; every dump request is then ignored. A debugger
// that attached after set-up makes requested dumps print
// "!! refusing to trigger minidump with debugger attached" on standard output.
// Overlong texts are cut to their buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called on the crashing thread before the host client writes a crash dump;
// the argument says whether the dump being written is fatal.
using VRPreCrashCallback_t = std::function<void(bool bFatal)>;

// What dumps are tagged with.
struct VRCrashIdentity_t {
    std::string sVersion;  // the runtime's version text
    uint32_t unAppId = 0;  // the runtime's application id on the host client
};

// Installs crash handling unless reporting is disabled; fnIdentity is asked
// only when it is not. Stores fnPreCrash (replacing an earlier one) once the
// handler is installed. Idempotent in effect: a second call installs again.
void VRCrashHandlingInitWithIdentity(const std::function<VRCrashIdentity_t()>& fnIdentity,
                                     VRPreCrashCallback_t fnPreCrash);

// True under a debugger or with ORRERY_DISABLE_CRASH_REPORTING non-zero;
// computed on the first call and cached.
bool BIsCrashReportingDisabled();

// Writes a dump of the calling thread now, with pchComment as the message of
// the comment, and returns. Nothing when reporting is disabled or crash
// handling is not installed; ending the process is the caller's business.
void VRWriteMiniDump(const char* pchComment, bool bFatal);
// The same; returns at once when crash handling is not installed.
void VRWriteMiniDumpIfSetup(const char* pchComment, bool bFatal);

// Names the process in later comments ("Executable: ..."; at most 127
// characters kept) and makes the identifier the comment until the next one is
// built.
void VRSetProcessCrashIdentifier(const char* pchIdentifier);

// Whether VRCrashHandlingInit* installed the handler.
bool BIsCrashHandlingInitialized();
