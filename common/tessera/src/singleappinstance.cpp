#include "singleappinstance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "threadtools.h"

// The machine-wide mutex plus whether this process holds it.
struct CSingleAppInstance::CLock : CThreadFullMutex {
    explicit CLock(const char* pchLockName) : CThreadFullMutex(false, pchLockName, true) {}
    bool m_bOwned = false;
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
        m_bAcquired = true;
    } else {
        m_bAcquired = false;
    }
    if (!m_bAcquired && bExitIfRunning) {
        exit(0);
    }
}

CSingleAppInstance::~CSingleAppInstance() {
    if (m_pLock && m_pLock->m_bOwned) {
        m_pLock->Release();
        m_pLock->m_bOwned = false;
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
