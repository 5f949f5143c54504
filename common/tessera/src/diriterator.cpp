#include "diriterator.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "pathtools.h"
#include "vrlog.h"

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// '?' matches one character, '*' any run (backtracking, so "*.txt" also
// matches "a.b.txt"); letters compare without regard to ASCII case.
bool WildcardMatch(const char* pchPattern, const char* pchName) {
    const char* pchStar = nullptr;
    const char* pchStarName = nullptr;
    while (*pchName) {
        if (*pchPattern == '*') {
            pchStar = pchPattern++;
            pchStarName = pchName;
        } else if (*pchPattern &&
                   (*pchPattern == '?' || LowerAscii(*pchPattern) == LowerAscii(*pchName))) {
            ++pchPattern;
            ++pchName;
        } else if (pchStar) {
            pchPattern = pchStar + 1;
            pchName = ++pchStarName;
        } else {
            return false;
        }
    }
    while (*pchPattern == '*') {
        ++pchPattern;
    }
    return *pchPattern == '\0';
}

bool IsDotOrDotDot(const char* pchName) {
    return pchName[0] == '.' && (pchName[1] == '\0' || (pchName[1] == '.' && pchName[2] == '\0'));
}

// The directory part of the joined search text: cut back at '/' until the part
// before the cut is an existing directory. npos when none is.
size_t FindDirectoryCut(const std::string& sSearch) {
    for (size_t unCut = sSearch.rfind('/'); unCut != std::string::npos;
         unCut = unCut == 0 ? std::string::npos : sSearch.rfind('/', unCut - 1)) {
        std::string sDir = unCut == 0 ? std::string("/") : sSearch.substr(0, unCut);
        if (Path_IsDirectory(sDir)) {
            return unCut;
        }
    }
    return std::string::npos;
}

}  // namespace

CDirIterator::CDirIterator(const char* pchDirectory, const char* pchPattern) {
    if (!pchDirectory) {
        return;
    }
    std::string sSearch = Path_Join(pchDirectory, pchPattern ? pchPattern : "*");
    if (BStartListing(sSearch)) {
        m_hFind = 0;
    }
}

CDirIterator::~CDirIterator() = default;

bool CDirIterator::BStartListing(const std::string& sSearch) {
    // Refuse rather than cut the text short: a truncated search would list a
    // different directory or pattern than the one asked for.
    if (sSearch.size() > k_unMaxPath) {
        return false;
    }
    size_t unCut = FindDirectoryCut(sSearch);
    if (unCut == std::string::npos) {
        return false;
    }
    m_findData.sDirectory = unCut == 0 ? std::string("/") : sSearch.substr(0, unCut);
    m_findData.sPattern = sSearch.substr(unCut + 1);
    // A separator left in the pattern means part of the requested directory
    // does not exist; no entry name could ever match it.
    if (m_findData.sPattern.find('/') != std::string::npos) {
        return false;
    }

    struct dirent** ppEntries = nullptr;
    int nEntries = scandir(m_findData.sDirectory.c_str(), &ppEntries, nullptr, alphasort);
    if (nEntries < 0) {
        return false;
    }
    const std::string& sPattern = m_findData.sPattern;
    bool bEverything = sPattern == "*" || sPattern == "*.*";
    for (int i = 0; i < nEntries; ++i) {
        const char* pchName = ppEntries[i]->d_name;
        if (!IsDotOrDotDot(pchName) && strlen(pchName) <= k_unMaxPath &&
            (bEverything || WildcardMatch(sPattern.c_str(), pchName))) {
            FileEntry entry;
            entry.sName = pchName;
            m_findData.vecEntries.push_back(std::move(entry));
        }
        free(ppEntries[i]);
    }
    free(ppEntries);

    for (FileEntry& entry : m_findData.vecEntries) {
        std::string sFull = Path_Join(m_findData.sDirectory, entry.sName);
        if (sFull.size() > k_unMaxPath - 1) {
            // Stat'ing a cut-short path would describe some other file.
            Log(LogLevel_Error, "File path truncated\n");
            continue;
        }
        struct stat st;
        if (stat(sFull.c_str(), &st) == 0) {
            entry.nSize = static_cast<int64_t>(st.st_size);
            entry.unMode = st.st_mode;
            entry.nWriteTime = st.st_mtime;
            entry.nCreateTime = st.st_ctime;
        }
    }
    return true;
}

bool CDirIterator::BNextFile() {
    if (!IsValid() || m_bFinished) {
        return false;
    }
    if (!m_bFirstConsumed) {
        m_bFirstConsumed = true;
        if (!m_findData.vecEntries.empty()) {
            m_findData.unNextIndex = 1;
            return true;
        }
    } else if (m_findData.unNextIndex < m_findData.vecEntries.size()) {
        ++m_findData.unNextIndex;
        return true;
    }
    m_findData.vecEntries.clear();
    m_findData.vecEntries.shrink_to_fit();
    m_findData.unNextIndex = 0;
    m_bFinished = true;
    return false;
}

const CDirIterator::FileEntry* CDirIterator::Current() const {
    if (!IsValid() || m_bFinished || !m_bFirstConsumed || m_findData.unNextIndex == 0 ||
        m_findData.unNextIndex > m_findData.vecEntries.size()) {
        return nullptr;
    }
    return &m_findData.vecEntries[m_findData.unNextIndex - 1];
}

const char* CDirIterator::CurrentFileName() const {
    const FileEntry* pEntry = Current();
    return pEntry ? pEntry->sName.c_str() : "";
}

int64_t CDirIterator::CurrentFileLength() const {
    const FileEntry* pEntry = Current();
    return pEntry ? pEntry->nSize : 0;
}

time_t CDirIterator::CurrentFileWriteTime() const {
    const FileEntry* pEntry = Current();
    return pEntry ? pEntry->nWriteTime : 0;
}

time_t CDirIterator::CurrentFileCreateTime() const {
    const FileEntry* pEntry = Current();
    return pEntry ? pEntry->nCreateTime : 0;
}

bool CDirIterator::BCurrentIsDir() const {
    const FileEntry* pEntry = Current();
    return pEntry && S_ISDIR(pEntry->unMode);
}
