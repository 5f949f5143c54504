// namedsemaphore: the System V semaphore layer under the named (cross-process)
// sync objects of threadtools.h. One semaphore per set.
//
// Keys: the CRC-32 of the name bytes; unless the object is global and when
// USER is set and not empty, the CRC continues over the user name, so each
// user gets a separate object. Global objects are created 0666, per-user ones
// 0600. Keys 0 (the kernel's private key) and 0xFFFFFFFF are refused.
//
//   SemaphoreKeyFromName("/Global\\halyard", true)  => crc32("/Global\\halyard")
//   SemaphoreKeyFromName("x", false), USER=ann      => crc32 of "x" continued over "ann"
//   SemaphoreKeyFromName("x", false), USER unset    => crc32("x")
//
// Orphans: a set nobody waits on whose last operating process is none, the
// given process, or gone. Units are taken and given without undo, so a holder
// that dies leaves its unit taken; creation and opening recognise such sets,
// remove them and start afresh.
//
// Thread safety: all functions may be called from any thread; the kernel
// serialises the operations. Failure: -1 / false with errno set; only a
// creation that gives up is logged.
#pragma once

#include <sys/types.h>

#include <cstdint>

// The key for a name, or -1 when the name cannot have one.
key_t SemaphoreKeyFromName(const char* pchName, bool bGlobal);

// Creates the semaphore for the name, or opens the existing one. *pbCreated
// tells which; a newly created one holds nInitialValue, an opened one keeps
// its value (and errno is EEXIST). Returns the id or -1. Gives up after a
// bounded number of rounds, with a log line (at Error), when the name's set
// keeps being in the way: an orphan this user may not remove (errno EPERM),
// or a set whose creator never operates on it (EAGAIN).
int CreateSemaphoreInternal(const char* pchName, bool bGlobal, int nInitialValue, bool* pbCreated);

// A semaphore that no key reaches (IPC_PRIVATE, mode 0600) holding
// nInitialValue: shared only with the children this process forks. The id or
// -1.
int CreatePrivateSemaphoreInternal(int nInitialValue);

// Opens an existing semaphore; an orphan found this way is removed and
// reported as missing (-1, errno ENOENT).
int OpenSemaphoreInternal(const char* pchName, bool bGlobal);

// Takes one unit. TT_INFINITE (all bits set) blocks; other timeouts poll every
// 500 us at most; 0 makes exactly one attempt.
bool AcquireSemaphoreInternal(int nSemId, uint32_t nMillisecondsTimeout);

// Takes one unit if there is one, without waiting. false when none was left.
bool TryTakeSemaphoreUnit(int nSemId);

// Adds nCount units.
bool ReleaseSemaphoreInternal(int nSemId, int nCount);

bool BIsSemaphoreOrphaned(int nSemId, pid_t pidGiven);

// Removes the set.
bool DestroySemaphoreInternal(int nSemId);

// Removes orphaned sets of the whole machine, lowest index first, until
// nMaxRemoved are gone or every set was looked at. Returns how many went.
int RemoveOrphanedSemaphores(int nMaxRemoved);
