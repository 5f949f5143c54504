// Test helper: a real tracer. Attaches to the pid given as its argument with
// PTRACE_SEIZE (the tracee keeps running), prints "attached", and stays
// attached until its standard input closes; the kernel detaches it when it
// exits.
#include <sys/ptrace.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <pid>\n", argv[0]);
        return 2;
    }
    pid_t pid = static_cast<pid_t>(atoi(argv[1]));
    if (ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) {
        printf("failed: %s\n", strerror(errno));
        return 1;
    }
    printf("attached\n");
    fflush(stdout);
    char chBuffer;
    while (read(STDIN_FILENO, &chBuffer, 1) > 0) {
    }
    return 0;
}
