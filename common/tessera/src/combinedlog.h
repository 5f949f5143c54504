// combinedlog: the combined log file that several runtime processes append to
// at once ("vrcombined_log.txt" beside their own logs). Internal to tessera;
// the log writer (vrlog) owns one while combined logging is on.
//
// Every process holds its own descriptor, so rotation has to be agreed on
// between processes: each line is appended under an exclusive flock of the
// file, after making sure the path still names the file that was locked (when
// another process has rotated it, the new file is opened and locked instead);
// the file is rotated by its real size while the lock is held. A line goes out
// in one write, so lines of different processes never interleave.
//
// Not thread-safe: the writer calls it under its own lock.
// Failure: Open answers false; a line that cannot be written is dropped, and
// a new file that cannot be opened after a rotation leaves the line in the
// file that was open (the next line tries again).
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <string>

class CCombinedLogFile {
public:
    CCombinedLogFile() = default;
    ~CCombinedLogFile() { Close(); }
    CCombinedLogFile(const CCombinedLogFile&) = delete;
    CCombinedLogFile& operator=(const CCombinedLogFile&) = delete;

    // Opens sPath for appending; first moves it over sPreviousPath when it is
    // longer than unStartupThreshold (0: never). false when it cannot be opened.
    bool Open(const std::string& sPath, const std::string& sPreviousPath,
              uint64_t unStartupThreshold, uint64_t unRotateSize);
    bool IsOpen() const { return m_fd >= 0; }
    void Close();

    // Appends the pieces as one write, then rotates when the file has grown
    // beyond the rotation size.
    void Write(const struct iovec* pPieces, int nPieces);

private:
    // Locks the open file, following the path to whatever file it names now.
    // false when the path names no file that can be opened: the old file is
    // then locked and written.
    bool LockCurrentFile(uint64_t* punSize);
    void Unlock();
    // Under the lock: moves the file to the previous path and opens a new one.
    void Rotate();
    int OpenPath() const;

    int m_fd = -1;
    std::string m_sPath;
    std::string m_sPreviousPath;
    uint64_t m_unRotateSize = 0;
};
