// dump_dir: the directory dumps go into, opened so that nobody else can
// redirect, read or block them.
//
// Dumps carry recent log lines and are written by processes that may run as
// root, so the directory must be the user's own: it is opened without
// following a link, and must be a directory owned by the effective user with
// no access for group or others. Missing directories are created 0700.
//
// - $QUILL_DUMP_DIR, when set and not empty, is the directory the user chose.
//   If it fails the checks the dump is refused: nothing is written and one
//   line on standard error says why (the user fixes the setting; dumps never
//   go anywhere the user did not name).
// - Otherwise the default /tmp/quill-dumps-<uid> is used. Anyone can create
//   that name first, so when it fails the checks the dump goes into a fresh
//   private directory /tmp/quill-dumps-<uid>-<random> (created 0700 and then
//   checked like the default, reused by later dumps of the process), and one
//   line on standard error names the unsafe directory, the reason and the
//   directory used instead. Only when no private directory can be made either
//   is the dump refused, with a line saying so.
//
// Everything here is async-signal-safe (system calls, no heap, no stdio, no
// locks) and may be called from any thread, including a crash handler.
#pragma once

#include <cstddef>

namespace quill_stub {

// Opens the directory for the next dump and copies its path into pszDir.
// Returns a directory descriptor (close it), or -1 after the line on
// standard error when the dump must not be written.
int OpenDumpDirectory(char* pszDir, size_t cchDir);

// Creates pchName inside the directory: never through a link, never over an
// existing entry, mode 0600. -1 with errno set on failure (EEXIST: the name
// is taken, try another).
int CreateDumpFile(int fdDir, const char* pchName);

}  // namespace quill_stub
