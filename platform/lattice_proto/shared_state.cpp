#include "shared_state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lattice_proto {

static_assert(k_nSharedPageSeals == (F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW));

namespace {

// Maps a page from the simulator (see TakeSharedState) with prot, checking
// its magic; closes fd. null with the reason (without the "its shared page"
// prefix) when it is refused.
void* MapCheckedPage(int fd, size_t cubPage, int nProt, uint32_t unMagic, std::string& strWhy) {
    bool bOk = CheckSharedPageFile(fd, cubPage, &strWhy);
    void* pMap = MAP_FAILED;
    if (bOk) {
        pMap = mmap(nullptr, cubPage, nProt, MAP_SHARED, fd, 0);
        if (pMap == MAP_FAILED) {
            strWhy = std::string("cannot be mapped: ") + strerror(errno);
            bOk = false;
        }
    }
    close(fd);
    if (!bOk) {
        return nullptr;
    }
    // Both page structs start with the magic and the version.
    const auto* punHead = static_cast<const uint32_t*>(pMap);
    if (LoadShared(punHead[0]) != unMagic || LoadShared(punHead[1]) != k_usProtocolVersion) {
        munmap(pMap, cubPage);
        strWhy = "does not carry this protocol's magic and version";
        return nullptr;
    }
    return pMap;
}

}  // namespace

bool CheckSharedPageFile(int fd, size_t cubPage, std::string* pstrWhy) {
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
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(cubPage)) {
        strWhy = "is " + std::to_string(st.st_size) + " bytes long, shorter than its " +
                 std::to_string(cubPage) + " bytes";
        return false;
    }
    return true;
}

void* CreateSealedPage(const char* pchName, size_t cubPage, int* pfd, std::string* pstrWhy) {
    *pfd = -1;
    int fd = memfd_create(pchName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(cubPage)) != 0) {
        *pstrWhy = strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    void* pMap = mmap(nullptr, cubPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pMap == MAP_FAILED) {
        *pstrWhy = strerror(errno);
        close(fd);
        return nullptr;
    }
    // Clients accept a page only sealed: the seals keep its size fixed under
    // their mappings (and under ours). Checked here as they check it.
    std::string strWhy;
    if (fcntl(fd, F_ADD_SEALS, k_nSharedPageSeals) != 0 ||
        !CheckSharedPageFile(fd, cubPage, &strWhy)) {
        *pstrWhy = "cannot be sealed: " + (strWhy.empty() ? std::string(strerror(errno)) : strWhy);
        munmap(pMap, cubPage);
        close(fd);
        return nullptr;
    }
    *pfd = fd;
    return pMap;
}

bool TakeSharedState(int fd, const SharedState** ppShared, std::string* pstrWhy) {
    *ppShared = nullptr;
    if (fd < 0) {
        return true;
    }
    std::string strWhy;
    *ppShared = static_cast<const SharedState*>(
        MapCheckedPage(fd, sizeof(SharedState), PROT_READ, k_unSharedMagic, strWhy));
    if (!*ppShared && pstrWhy) {
        *pstrWhy = "its shared page " + strWhy;
    }
    return *ppShared != nullptr;
}

void UnmapSharedState(const SharedState* pShared) {
    if (pShared) {
        munmap(const_cast<SharedState*>(pShared), sizeof(SharedState));
    }
}

bool TakeSessionPage(int fd, SessionPage** ppPage, std::string* pstrWhy) {
    *ppPage = nullptr;
    if (fd < 0) {
        return true;
    }
    std::string strWhy;
    *ppPage = static_cast<SessionPage*>(MapCheckedPage(
        fd, sizeof(SessionPage), PROT_READ | PROT_WRITE, k_unSessionPageMagic, strWhy));
    if (!*ppPage && pstrWhy) {
        *pstrWhy = "its session page " + strWhy;
    }
    return *ppPage != nullptr;
}

void UnmapSessionPage(SessionPage* pPage) {
    if (pPage) {
        munmap(pPage, sizeof(SessionPage));
    }
}

}  // namespace lattice_proto
