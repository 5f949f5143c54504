#include "shared_state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lattice_proto {

static_assert(k_nSharedPageSeals == (F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW));

bool CheckSharedPageFile(int fd, std::string* pstrWhy) {
    std::string strScratch;
    std::string& strWhy = pstrWhy ? *pstrWhy : strScratch;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        strWhy = std::string("cannot be examined: ") + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        strWhy = "is not a memory file";
        return false;
    }
    // Seals first: once the page cannot shrink, its size cannot change
    // between this check and the mapping.
    int nSeals = fcntl(fd, F_GET_SEALS);
    if (nSeals < 0 || (nSeals & k_nSharedPageSeals) != k_nSharedPageSeals) {
        strWhy = "is not a memfd sealed against shrinking, growing and new seals";
        return false;
    }
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SharedState))) {
        strWhy = "is " + std::to_string(st.st_size) + " bytes long, shorter than its " +
                 std::to_string(sizeof(SharedState)) + " bytes";
        return false;
    }
    return true;
}

bool TakeSharedState(int fd, const SharedState** ppShared, std::string* pstrWhy) {
    *ppShared = nullptr;
    if (fd < 0) {
        return true;
    }
    std::string strWhy;
    bool bOk = CheckSharedPageFile(fd, &strWhy);
    void* pMap = MAP_FAILED;
    if (bOk) {
        pMap = mmap(nullptr, sizeof(SharedState), PROT_READ, MAP_SHARED, fd, 0);
        if (pMap == MAP_FAILED) {
            strWhy = std::string("cannot be mapped: ") + strerror(errno);
            bOk = false;
        }
    }
    close(fd);
    if (bOk) {
        const auto* pShared = static_cast<const SharedState*>(pMap);
        if (LoadShared(pShared->unMagic) != k_unSharedMagic ||
            LoadShared(pShared->unVersion) != k_usProtocolVersion) {
            UnmapSharedState(pShared);
            strWhy = "does not carry this protocol's magic and version";
            bOk = false;
        } else {
            *ppShared = pShared;
        }
    }
    if (!bOk && pstrWhy) {
        *pstrWhy = "its shared page " + strWhy;
    }
    return bOk;
}

void UnmapSharedState(const SharedState* pShared) {
    if (pShared) {
        munmap(const_cast<SharedState*>(pShared), sizeof(SharedState));
    }
}

}  // namespace lattice_proto
