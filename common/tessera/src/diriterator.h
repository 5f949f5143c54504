// diriterator: CDirIterator lists the entries of one directory that match a
// wildcard pattern, sorted by name (alphasort), never "." or "..".
//
//   CDirIterator it(sDir.c_str(), "*.txt");
//   while (it.BNextFile()) { use(it.CurrentFileName()); }
//
// The pattern is joined to the directory; the joined text is split at the
// deepest existing directory and the rest is the pattern. Patterns:
//   "*" or "*.*"      => every entry
//   "*.txt"           => "a.txt", "B.TXT", "a.b.txt" (case is ignored)
//   "file?.log"       => "file1.log", not "file10.log"
//   "sub/*.txt"       => the matching entries of <dir>/sub
// The iterator is invalid (and yields nothing) for a null directory, when no
// part of the joined text is an existing directory, when the pattern would need
// a directory that does not exist, or when the joined text exceeds 260 characters.
//
// Per entry: name, size, mode, modification and status-change time from stat
// (all 0 when stat fails; a full path over 259 characters is not stat'ed and
// logs "File path truncated" at LogLevel_Error).
//
// Thread safety: one iterator belongs to one thread; separate iterators may run
// on separate threads at the same time (each keeps its own pattern).
// Failure: reported through IsValid() and BNextFile().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CDirIterator {
public:
    CDirIterator(const char* pchDirectory, const char* pchPattern);
    ~CDirIterator();
    CDirIterator(const CDirIterator&) = delete;
    CDirIterator& operator=(const CDirIterator&) = delete;

    // The first call moves to the first entry, each later call to the next;
    // false (and the listing released) at the end.
    bool BNextFile();
    bool IsValid() const { return m_hFind != -1; }

    const char* CurrentFileName() const;
    int64_t CurrentFileLength() const;
    time_t CurrentFileWriteTime() const;   // modification time
    time_t CurrentFileCreateTime() const;  // status-change time
    bool BCurrentIsDir() const;
    // Windows attributes with no meaning here: always false.
    bool BCurrentIsHidden() const { return false; }
    bool BCurrentIsReadOnly() const { return false; }
    bool BCurrentIsSystem() const { return false; }
    bool BCurrentIsMarkedForArchive() const { return false; }

    // Longest joined directory and pattern, and longest entry name, accepted.
    static constexpr size_t k_unMaxPath = 260;

private:
    struct FileEntry {
        std::string sName;
        int64_t nSize = 0;
        mode_t unMode = 0;
        time_t nWriteTime = 0;
        time_t nCreateTime = 0;
    };
    struct FindData {
        std::string sDirectory;
        std::string sPattern;
        size_t unNextIndex = 0;
        std::vector<FileEntry> vecEntries;
    };

    bool BStartListing(const std::string& sSearch);
    const FileEntry* Current() const;

    bool m_bFinished = false;
    bool m_bFirstConsumed = false;
    int64_t m_hFind = -1;
    FindData m_findData;
};
