// crash: the host client stand-in's crash handler and minidump writer.
//
// A dump is a text file "<exe>-<pid>-<n>.dmp" in $QUILL_DUMP_DIR (default
// /tmp/quill-dumps-<uid>, created when missing) holding the reason, the
// process id, the comment set last and a symbolized backtrace of the dumping
// thread. The signal path avoids the heap and locks, as far as reasonable
// within a crashing process.
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
