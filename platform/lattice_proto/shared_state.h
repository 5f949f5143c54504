// shared_state: the page lattice-sim shares read-only (SharedState in
// protocol.h): the checks both sides make on it, and the stand-ins' side:
// mapping it from the descriptor that comes with the Op_L_Init and
// Op_Q_Attach replies, reading its fields, unmapping it.
//
// A page is accepted only as a memfd sealed against shrinking, growing and
// further seals, at least as large as SharedState: a mapping of anything that
// can shrink under it would end the process with SIGBUS on the next read.
//
// Thread safety: a mapped page may be read from any thread until it is
// unmapped; every read is an atomic load. Failure: false with the reason.
#pragma once

#include <cstdint>
#include <string>

#include "protocol.h"

namespace lattice_proto {

// The seals a shared page must carry.
constexpr int k_nSharedPageSeals =
    0x0001 /* F_SEAL_SEAL */ | 0x0002 /* F_SEAL_SHRINK */ | 0x0004 /* F_SEAL_GROW */;

// Whether fd is a page the protocol allows: a sealed memfd (k_nSharedPageSeals)
// of at least sizeof(SharedState) bytes. The simulator checks its own page
// with it before handing it out. false with the reason ("is not a memfd
// sealed ...", to follow "its shared page ").
bool CheckSharedPageFile(int fd, std::string* pstrWhy);

// Maps the page behind fd and closes fd. fd -1 (no page came) is accepted
// with *ppShared null: callers then ask the simulator instead. A page that
// fails CheckSharedPageFile, or lacks the magic and version, is refused:
// false with the reason and *ppShared null.
bool TakeSharedState(int fd, const SharedState** ppShared, std::string* pstrWhy);
// Unmaps a page from TakeSharedState; null is allowed.
void UnmapSharedState(const SharedState* pShared);

// One of the page's fields, read atomically.
inline uint32_t LoadShared(const uint32_t& unField) {
    return __atomic_load_n(&unField, __ATOMIC_ACQUIRE);
}

}  // namespace lattice_proto
