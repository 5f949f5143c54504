// Test helper for child processes (RunInChild): a private mount namespace in
// which files can be bind-mounted over system paths (os-release, libraries,
// tracer files) without touching the rest of the machine. Needs root; callers
// skip with the returned reason when it fails.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace halyard_test {

// Moves the calling process into its own mount namespace whose mounts do not
// propagate back. "" on success, else the reason.
inline std::string EnterPrivateMountNamespace() {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + strerror(errno);
    }
    return "";
}

// Bind-mounts sSource over sTarget (both files, or both directories). "" on
// success, else the reason.
inline std::string BindMount(const std::string& sSource, const std::string& sTarget) {
    if (mount(sSource.c_str(), sTarget.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind " + sSource + " over " + sTarget + ": " + strerror(errno);
    }
    return "";
}

// Mounts an empty tmpfs on a directory. "" on success, else the reason.
inline std::string MountTmpfs(const std::string& sTarget) {
    if (mount("tmpfs", sTarget.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        return "tmpfs on " + sTarget + ": " + strerror(errno);
    }
    return "";
}

// The exit code a child uses to say "cannot be done here"; the parent skips.
constexpr int k_nChildSkip = 77;

}  // namespace halyard_test
