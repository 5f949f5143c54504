// singleappinstance: the guard that keeps a second copy of a program from
// running on the machine.
//
// The guard takes a machine-wide named mutex (threadtools.h) called
// "/Global\<name>" (or "/<name>" when the name already starts with
// "Global\"), shared by all users (key: CRC-32 of that lock name alone, mode
// 0666), without waiting. A second process with the same name finds it held
// and reports another instance. At exit the holder removes the semaphore
// while still holding it (no newcomer can take it just before it goes), or
// releases it when another process waits for it; a child made by fork that
// leaves through exit() leaves its parent's lock alone. A holder that was
// killed leaves it taken, and the next guard recovers it as an orphan.
//
//   name "halyard"          => lock "/Global\halyard"
//   name "Global\halyard"   => lock "/Global\halyard"
//   name "" or null         => no guard, reports a single instance
//   name of 260+ bytes      => no guard, reports a single instance
//
// When the lock cannot be created at all (not because another instance holds
// it) the guard says so on standard error and lets the process run without a
// guard: refusing to start would take the program away over a local fault
// that has nothing to do with a second copy.
//
// Thread safety: build it on one thread (static initialisation in practice);
// afterwards it is only read. Failure: see above; nothing throws.
#pragma once

#include <cstddef>

class CThreadFullMutex;

class CSingleAppInstance {
public:
    // With bExitIfRunning the process exits with code 0 when another instance
    // holds the lock.
    CSingleAppInstance(const char* pchName, bool bExitIfRunning);
    ~CSingleAppInstance();
    CSingleAppInstance(const CSingleAppInstance&) = delete;
    CSingleAppInstance& operator=(const CSingleAppInstance&) = delete;

    // false when this process is the only instance; otherwise exits with code
    // 0 when bExitIfRunning, else answers true.
    bool CheckForOtherRunningInstances(bool bExitIfRunning);

    static constexpr size_t k_cchMaxName = 259;

private:
    struct CLock;

    bool m_bAcquired;
    CLock* m_pLock;
};
