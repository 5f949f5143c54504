// interfaces: the runtime stand-in's interface objects, one per served
// version string, created on first request and kept for the process's life.
//
// Thread safety: FindInterface may be called from any thread.
#pragma once

#include <string_view>

namespace lattice_stub {

// The object for a version string (typed for the versions clients call
// methods on, a placeholder-only object otherwise). Never null.
void* FindInterface(std::string_view version);

}  // namespace lattice_stub
