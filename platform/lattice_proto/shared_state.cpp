#include "shared_state.h"

#include <sys/mman.h>
#include <unistd.h>

namespace lattice_proto {

const SharedState* TakeSharedState(int fd) {
    if (fd < 0) {
        return nullptr;
    }
    void* pMap = mmap(nullptr, sizeof(SharedState), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (pMap == MAP_FAILED) {
        return nullptr;
    }
    const auto* pShared = static_cast<const SharedState*>(pMap);
    if (pShared->unMagic != k_unSharedMagic) {
        UnmapSharedState(pShared);
        return nullptr;
    }
    return pShared;
}

void UnmapSharedState(const SharedState* pShared) {
    if (pShared) {
        munmap(const_cast<SharedState*>(pShared), sizeof(SharedState));
    }
}

}  // namespace lattice_proto
