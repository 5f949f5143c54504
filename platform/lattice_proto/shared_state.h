// shared_state: the stand-ins' side of the page lattice-sim shares read-only
// (SharedState in protocol.h): mapping it from the descriptor that comes with
// the Op_L_Init and Op_Q_Attach replies, reading its fields, unmapping it.
//
// Thread safety: a mapped page may be read from any thread until it is
// unmapped; every read is an atomic load. Failure: TakeSharedState answers
// null, and callers then ask the simulator instead.
#pragma once

#include <cstdint>

#include "protocol.h"

namespace lattice_proto {

// Maps the page behind fd and closes fd (-1 is allowed: no page). Null when
// it cannot be mapped or is not a simulator's page.
const SharedState* TakeSharedState(int fd);
// Unmaps a page from TakeSharedState; null is allowed.
void UnmapSharedState(const SharedState* pShared);

// One of the page's fields, read atomically.
inline uint32_t LoadShared(const uint32_t& unField) {
    return __atomic_load_n(&unField, __ATOMIC_ACQUIRE);
}

}  // namespace lattice_proto
