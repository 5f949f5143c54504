#include "singleappinstance.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "threadtools.h"

// The machine-wide mutex plus whether this process holds it. The holder's pid
// tells a child made by fork (which inherits the guard, and runs its
// destructor when it leaves through exit()) that the lock is not its own.
struct CSingleAppInstance::CLock : CThreadFullMutex {
    explicit CLock(const char* pchLockName) : CThreadFullMutex(false, pchLockName, true) {}
    bool m_bOwned = false;
    pid_t m_pidOwner = 0;

    // Removes the lock while still holding it, so that no newcomer can take
    // it in between and then hold a lock that no longer exists. Released
    // instead when somebody else uses it (or it may not be removed): the
    // unit then goes to the next one.
    void Give() {
        const int nId = GetSemaphoreId();
        if (!BIsSemaphoreOrphaned(nId, getpid()) || !DestroySemaphoreInternal(nId)) {
            Release();
        }
        m_bOwned = false;
    }
};

namespace {

const char k_rchGlobalPrefix[] = "Global\\";

std::string LockNameFor(const char* pchName) {
    if (strncmp(pchName, k_rchGlobalPrefix, sizeof(k_rchGlobalPrefix) - 1) == 0) {
        return std::string("/") + pchName;
    }
    return std::string("/") + k_rchGlobalPrefix + pchName;
}

}  // namespace

CSingleAppInstance::CSingleAppInstance(const char* pchName, bool bExitIfRunning)
    : m_bAcquired(true), m_pLock(nullptr) {
    if (!pchName || !pchName[0] || strlen(pchName) > k_cchMaxName) {
        return;
    }
    std::string sLockName = LockNameFor(pchName);
    m_pLock = new CLock(sLockName.c_str());
    if (!*m_pLock) {
        // No lock at all is not another instance: say so and run unguarded.
        fprintf(stderr,
                "CSingleAppInstance: cannot create the single-instance lock '%s' (%s); running "
                "without it\n",
                sLockName.c_str(), strerror(errno));
        return;
    }
    if (m_pLock->Wait(0)) {
        m_pLock->m_bOwned = true;
        m_pLock->m_pidOwner = getpid();
        m_bAcquired = true;
    } else {
        m_bAcquired = false;
    }
    if (!m_bAcquired && bExitIfRunning) {
        exit(0);
    }
}

CSingleAppInstance::~CSingleAppInstance() {
    if (m_pLock && m_pLock->m_bOwned && m_pLock->m_pidOwner == getpid()) {
        m_pLock->Give();
    }
    delete m_pLock;
    m_pLock = nullptr;
}

bool CSingleAppInstance::CheckForOtherRunningInstances(bool bExitIfRunning) {
    if (m_bAcquired) {
        return false;
    }
    if (bExitIfRunning) {
        exit(0);
    }
    return true;
}
