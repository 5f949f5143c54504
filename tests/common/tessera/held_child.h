// Test helper: a forked child that sets something up (takes a lock, opens a
// semaphore...), reports that it is ready, then blocks until it is killed or
// released. The parent can kill it with a signal or let it exit normally;
// either way it is reaped, so no zombie is left.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace halyard_test {

class HeldChild {
public:
    // setup runs in the child; its result is reported to the parent
    // (SetupResult, 0 = ready and well) before the constructor returns.
    explicit HeldChild(const std::function<int()>& setup) {
        int rgnReady[2];
        int rgnRelease[2];
        if (pipe(rgnReady) != 0 || pipe(rgnRelease) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            close(rgnReady[0]);
            close(rgnRelease[1]);
            char chResult = static_cast<char>(setup());
            if (write(rgnReady[1], &chResult, 1) != 1) {
                _exit(2);
            }
            char chCommand = 0;
            // Blocks until the parent writes a command or goes away.
            if (read(rgnRelease[0], &chCommand, 1) != 1) {
                _exit(3);
            }
            if (chCommand == 'x') {
                exit(0);  // runs static destructors, like a normal process end
            }
            _exit(0);
        }
        close(rgnReady[1]);
        close(rgnRelease[0]);
        m_fdRelease = rgnRelease[1];
        char chResult = 1;
        if (m_pid < 0 || read(rgnReady[0], &chResult, 1) != 1) {
            ADD_FAILURE() << "child did not report";
        }
        m_nSetupResult = chResult;
        close(rgnReady[0]);
    }

    ~HeldChild() { Kill(SIGKILL); }

    pid_t Pid() const { return m_pid; }
    int SetupResult() const { return m_nSetupResult; }

    // Ends the child through exit() (static destructors run); returns its status.
    int ExitNormally() { return Finish('x'); }

    // Ends the child with a signal and reaps it.
    void Kill(int nSignal) {
        if (m_pid > 0) {
            kill(m_pid, nSignal);
            Reap();
        }
        CloseRelease();
    }

private:
    int Finish(char chCommand) {
        if (m_pid <= 0) {
            return -1;
        }
        if (write(m_fdRelease, &chCommand, 1) != 1) {
            ADD_FAILURE() << "cannot release child";
        }
        int nStatus = Reap();
        CloseRelease();
        return nStatus;
    }
    int Reap() {
        int nStatus = 0;
        while (waitpid(m_pid, &nStatus, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return nStatus;
    }
    void CloseRelease() {
        if (m_fdRelease >= 0) {
            close(m_fdRelease);
            m_fdRelease = -1;
        }
    }

    pid_t m_pid = -1;
    int m_fdRelease = -1;
    int m_nSetupResult = -1;
};

}  // namespace halyard_test
