// shared_state: the pages lattice-sim shares with the stand-ins: SharedState
// (read-only, one for the whole simulator) and SessionPage (read-write, one
// per host session), both in protocol.h. Here: making a page (the
// simulator's side), the checks both sides make on it, and the stand-ins'
// side: mapping it from the descriptor that comes with a reply (Op_L_Init and
// Op_Q_Attach carry the shared page, Op_Q_Init the session page), reading and
// adding to its fields, unmapping it.
//
// A page is accepted only as a memfd sealed against shrinking, growing and
// further seals, at least as large as its struct: a mapping of anything that
// can shrink under it would end the process with SIGBUS on the next access.
//
// Thread safety: a mapped page may be used from any thread until it is
// unmapped; every access is atomic. Failure: false (or null) with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol.h"

namespace lattice_proto {

// The seals a shared page must carry.
constexpr int k_nSharedPageSeals =
    0x0001 /* F_SEAL_SEAL */ | 0x0002 /* F_SEAL_SHRINK */ | 0x0004 /* F_SEAL_GROW */;

// Whether fd is a page the protocol allows: a sealed memfd (k_nSharedPageSeals)
// of at least cubPage bytes. false with the reason ("is not a memfd sealed
// ...", to follow "its shared page ").
bool CheckSharedPageFile(int fd, size_t cubPage, std::string* pstrWhy);

// The simulator's side: a new sealed memfd of cubPage bytes, mapped
// read-write and zeroed; *pfd receives its descriptor (close-on-exec). null
// with the reason when the system refuses any step (nothing is left open).
void* CreateSealedPage(const char* pchName, size_t cubPage, int* pfd, std::string* pstrWhy);

// Maps the page behind fd and closes fd. fd -1 (no page came) is accepted
// with *ppShared null: callers then ask the simulator instead. A page that
// fails CheckSharedPageFile, or lacks the magic and version, is refused:
// false with the reason and *ppShared null.
bool TakeSharedState(int fd, const SharedState** ppShared, std::string* pstrWhy);
// Unmaps a page from TakeSharedState; null is allowed.
void UnmapSharedState(const SharedState* pShared);

// The same for a session page, mapped read-write.
bool TakeSessionPage(int fd, SessionPage** ppPage, std::string* pstrWhy);
void UnmapSessionPage(SessionPage* pPage);

// One of the page's fields, read atomically.
inline uint32_t LoadShared(const uint32_t& unField) {
    return __atomic_load_n(&unField, __ATOMIC_ACQUIRE);
}
// Adds one to a counter of a page, atomically.
inline void CountShared(uint32_t& unField) {
    __atomic_add_fetch(&unField, 1, __ATOMIC_RELEASE);
}
// Takes a counter of a page: its value, leaving 0.
inline uint32_t TakeShared(uint32_t& unField) {
    return __atomic_exchange_n(&unField, 0, __ATOMIC_ACQ_REL);
}

}  // namespace lattice_proto
