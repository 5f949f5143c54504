// interfaces: the host client stand-in's interface objects, one per version
// string, created on first request and kept for the process's life; and the
// per-thread string storage behind the methods that answer text.
//
// Thread safety: both functions may be called from any thread.
#pragma once

#include <string>

namespace quill_stub {

// The object for a version string the host client serves; never null.
void* FindInterfaceObject(const std::string& strVersion);
// Frees the calling thread's string storage.
void ReleaseThreadStrings();

}  // namespace quill_stub
