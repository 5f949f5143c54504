// Test helper: the scheduler state of one of this process's threads, so a
// test can wait until another thread is blocked (on a lock, say) instead of
// sleeping for a while.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace halyard_test {

inline pid_t CurrentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// 'R' running, 'S' sleeping (blocked), 'D' waiting uninterruptibly...; '?'
// when the thread is gone.
inline char ThreadState(pid_t tid) {
    std::string sStat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t unClose = sStat.rfind(')');
    return unClose != std::string::npos && unClose + 2 < sStat.size() ? sStat[unClose + 2] : '?';
}

inline bool BIsBlocked(pid_t tid) {
    char chState = ThreadState(tid);
    return chState == 'S' || chState == 'D';
}

}  // namespace halyard_test
