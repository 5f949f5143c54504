// Test helper for child processes: makes Plat_IsInDebugSession answer from a
// status file the test controls, bind-mounted over /proc/<pid>/status in a
// private mount namespace. Rewriting the file in place "attaches" or
// "detaches" the debugger while the process runs. Needs root; callers skip
// with the returned reason otherwise.
#pragma once

#include <unistd.h>

#include <string>

#include "mount_namespace.h"
#include "test_support.h"

namespace halyard_test {

inline void WriteFakeStatus(const std::string& sPath, bool bTraced) {
    WriteFile(sPath, std::string("Name:\tfake\nTracerPid:\t") + (bTraced ? "4242" : "0") + "\n");
}

// "" on success, else the reason it cannot be done here.
inline std::string UseFakeStatusFile(const std::string& sPath, bool bTraced) {
    if (geteuid() != 0) {
        return "bind-mounting over /proc/<pid>/status needs root";
    }
    WriteFakeStatus(sPath, bTraced);
    std::string sError = EnterPrivateMountNamespace();
    if (sError.empty()) {
        sError = BindMount(sPath, "/proc/" + std::to_string(getpid()) + "/status");
    }
    return sError;
}

}  // namespace halyard_test
