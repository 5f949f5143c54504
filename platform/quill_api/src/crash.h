// crash: the host client stand-in's crash handler and minidump writer.
//
// A dump is a text file "<exe>-<pid>-<n>.dmp", mode 0600, in the user's own
// dump directory (see dump_dir.h for which directory and what happens when it
// is not safe) holding the reason, the process id, the comment set last and
// a backtrace of the dumping thread, one frame per line:
//   #<n> <address> <function>+<offset> (<module>+<offset in the module>)
// followed by " at <file>:<line>" where debug information has it. Requested
// dumps are symbolized from the modules' debug information (internal and
// inlined functions too; an inlined call gets its own line, "(inlined)");
// the crash handler writes dynamic symbol names only, because symbolizing
// allocates, and the module offsets let those frames be symbolized later.
// The crash handler's path avoids the heap, stdio and locks; crash.cpp lists
// the few library calls it keeps.
//
// Thread safety: every function may be called from any thread; requested
// dumps are serialised.
#pragma once

#include <cstdint>

#include "quill_api.h"

namespace quill_stub {

void InstallCrashHandler(const char* pchVersion, const char* pchDate, const char* pchTime,
                         bool bFullMemoryDumps, void* pvContext, PFNPreMinidumpCallback pfn);
void SetCrashAppId(uint32_t unAppId);
void SetDumpComment(const char* pchComment);
void WriteRequestedDump(uint32_t uExceptionCode, uint32_t uBuildId);

}  // namespace quill_stub
