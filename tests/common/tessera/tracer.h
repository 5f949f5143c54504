// Test helper: a real tracer (the halyard_tracer_helper program) attached to
// the calling process with PTRACE_SEIZE, so that the process runs on and sees
// itself traced. The target defines HALYARD_TRACER_HELPER as its path.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace halyard_test {

// Starts the tracer on this process; returns its pid and the write end of its
// standard input (closing it ends the tracer, and the kernel detaches it), or
// -1 when it could not attach (the reason is printed on standard output).
inline pid_t AttachTracer(int* pfdRelease) {
    int rgnIn[2];
    int rgnOut[2];
    if (pipe(rgnIn) != 0 || pipe(rgnOut) != 0) {
        return -1;
    }
    std::string sPid = std::to_string(getpid());
    pid_t pid = fork();
    if (pid == 0) {
        dup2(rgnIn[0], STDIN_FILENO);
        dup2(rgnOut[1], STDOUT_FILENO);
        for (int fd : {rgnIn[0], rgnIn[1], rgnOut[0], rgnOut[1]}) {
            close(fd);
        }
        execl(HALYARD_TRACER_HELPER, HALYARD_TRACER_HELPER, sPid.c_str(), nullptr);
        _exit(127);
    }
    close(rgnIn[0]);
    close(rgnOut[1]);
    char rchReply[64] = {};
    ssize_t nRead = read(rgnOut[0], rchReply, sizeof(rchReply) - 1);
    close(rgnOut[0]);
    if (nRead <= 0 || std::string(rchReply) != "attached\n") {
        printf("tracer: %s\n", nRead > 0 ? rchReply : "no reply");
        close(rgnIn[1]);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    *pfdRelease = rgnIn[1];
    return pid;
}

// Ends the tracer started by AttachTracer and reaps it.
inline void DetachTracer(pid_t pidTracer, int fdRelease) {
    close(fdRelease);
    waitpid(pidTracer, nullptr, 0);
}

}  // namespace halyard_test
