// Test helper for child processes (RunInChild): runs a function as the first
// process of a private pid namespace with its own /proc and its own session,
// so that signals to a process group or to every process, and tools that scan
// /proc (pidof, pkill), reach only the processes the function starts, whatever
// the code under test does. Needs root; callers skip with the printed reason.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "mount_namespace.h"

namespace halyard_test {

// fn's result, or k_nChildSkip when the namespace cannot be made. Ending the
// namespace's first process ends everything left in it.
inline int RunInPrivatePidNamespace(const std::function<int()>& fn) {
    if (unshare(CLONE_NEWPID) != 0) {
        printf("unshare(CLONE_NEWPID): %s\n", strerror(errno));
        return k_nChildSkip;
    }
    std::string sError = EnterPrivateMountNamespace();
    if (!sError.empty()) {
        printf("%s\n", sError.c_str());
        return k_nChildSkip;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
            printf("mounting /proc: %s\n", strerror(errno));
            _exit(k_nChildSkip);
        }
        char rchSelf[16] = {};
        // Nothing may run unless this is pid 1 with a /proc that shows only
        // the namespace, in a session of its own.
        if (readlink("/proc/self", rchSelf, sizeof(rchSelf) - 1) != 1 || rchSelf[0] != '1' ||
            getpid() != 1 || setsid() != 1) {
            printf("not alone in the namespace\n");
            _exit(k_nChildSkip);
        }
        int nCode = fn();
        fflush(nullptr);
        _exit(nCode);
    }
    if (pid < 0) {
        printf("fork: %s\n", strerror(errno));
        return k_nChildSkip;
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

}  // namespace halyard_test
