// vrlog: the process's log file writer (CVRLog) and the logging entry points.
// Including this header also gives Log() and the registry (logregistry.h).
//
// The process has one writer, g_VRLog (GetVRLog()). Once opened with InitLog it
// subscribes to the log registry, so every Log() line of the process is
// filtered by level, stamped "<time> [<Level>] - ", appended and flushed to
// "<dir>/<name>.txt" (and to "vrcombined_log.txt" when VR_COMBINED_LOGGING is
// on), optionally echoed to standard error, and handed to the log listeners.
// The file is rotated to "<name>.previous.txt" at start-up when it is large and
// whenever more than 10 MiB have been written; the combined file is shared by
// several processes and rotated by its real size under a lock they all take
// (combinedlog.h).
//
// Thread safety: any thread may log. g_LoggingMutex (recursive) serialises
// file writes, rotation, listener calls and listener-list changes, so lines
// never interleave and listeners see them in file order. Every line, whether
// it comes through the registry or is written directly (Log on the writer),
// takes the process-wide registry's lock before g_LoggingMutex, so a listener
// may log from inside LogMessage, and may add or remove listeners there.
// Replays (DumpLogBufferToListener) run outside the mutex.
// Ownership: listeners are not owned and must remove themselves before they
// are destroyed.
// Failure: InitLog returns false (with standard-error lines when the file
// cannot be opened); writing never fails visibly. A file that cannot be
// reopened after a rotation leaves the writer on the old one; every later
// line tries again. A line that does not fit (a full disk) is left out of the
// file whole, never torn, and the lines after it are written once there is
// room again; listeners get it all the same.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "callbacklist.h"
#include "logregistry.h"

class CCombinedLogFile;

// Receives every line the writer writes. One operation, no virtual destructor.
class ILogListener {
public:
    // ulConsoleHandle: 0 for live lines (every open console); during a replay,
    // the console that asked for it. unTimestampMs: tick-clock milliseconds,
    // low 32 bits. pchText: the line as written to the file (time stamp, level
    // and newline included; only the fragment for an incremental continuation),
    // or for replayed messages the text as the registry delivered it.
    virtual void LogMessage(unsigned long ulConsoleHandle, const char* pchLogName,
                            unsigned int unTimestampMs, ELogLevel eLevel, const char* pchText) = 0;

protected:
    ~ILogListener() = default;
};

extern std::recursive_mutex g_LoggingMutex;

class CVRLog {
public:
    // bUseGlobalRegistry false: the writer subscribes to a private registry of
    // its own instead of the process-wide one.
    explicit CVRLog(bool bUseGlobalRegistry);
    ~CVRLog();
    CVRLog(const CVRLog&) = delete;
    CVRLog& operator=(const CVRLog&) = delete;

    bool InitLog(const char* pchLogDirectory, const char* pchLogName, bool bAppendExecutableName,
                 unsigned long ulStartupRotateSize);
    bool IsOpen() const { return m_pLogFile.load() != nullptr; }
    void CloseLog();

    // Written to this writer only (not through the registry).
    void Log(const char* pchFormat, ...) __attribute__((format(printf, 2, 3)));
    void Log(ELogLevel eLevel, const char* pchFormat, ...) __attribute__((format(printf, 3, 4)));
    void LogIncremental(const char* pchFormat, ...) __attribute__((format(printf, 2, 3)));
    void LogIncremental(ELogLevel eLevel, const char* pchFormat, ...)
        __attribute__((format(printf, 3, 4)));
    void LogDirect(ELogLevel eLevel, bool bIncremental, const char* pchFormat, va_list args);

    // Clamps to 0..4; logs "Log Level Set to %d" unless the level is Info.
    void SetMaxLogLevel(ELogLevel eLevel);
    ELogLevel GetMaxLogLevel() const { return m_eMaxLevel.load(); }
    bool WillLog(ELogLevel eLevel) const { return m_eMaxLevel.load() >= eLevel; }

    // Appends unless already listed; null is ignored.
    void AddLogListener(ILogListener* pListener);
    void RemoveLogListener(ILogListener* pListener);
    // Replays the in-memory log buffer, oldest first, to one listener.
    void DumpLogBufferToListener(ILogListener* pListener, unsigned long ulConsoleHandle);

    void SetDebuggerEcho(bool bEcho) { m_bDebuggerEcho = bEcho; }

    const std::string& GetLogName() const { return m_sLogName; }
    const std::string& GetLogFilePath() const { return m_sLogFilePath; }
    const std::string& GetPreviousLogFilePath() const { return m_sPreviousLogFilePath; }
    const std::string& GetCombinedLogPath() const { return m_sCombinedLogPath; }
    const std::string& GetLogDirectory() const { return m_sLogDirectory; }

    // Rotation happens once more than this many bytes have been written.
    static constexpr uint64_t k_unRotateSize = 10485760;

private:
    // The process-wide registry's lock, then g_LoggingMutex: the order in
    // which a line that comes through the registry takes them.
    class CWriterLock {
    public:
        CWriterLock();
        CWriterLock(const CWriterLock&) = delete;
        CWriterLock& operator=(const CWriterLock&) = delete;

    private:
        CLog::CDeliveryLock m_registryLock;
        std::lock_guard<std::recursive_mutex> m_writerLock;
    };

    bool OpenFiles(const char* pchLogDirectory, const char* pchLogName, bool bAppendExecutableName,
                   unsigned long ulStartupRotateSize, bool bCombinedLogging);
    bool OpenLogFile(const std::string& sLogName);
    void OpenCombinedLog(unsigned long ulRotateThreshold);
    void Subscribe();
    void LogDeliveredText(ELogLevel eLevel, const char* pchText);
    // formatText(buffer, size) writes the text (at most size - 1 characters,
    // terminated) and returns its length.
    template <typename FormatText>
    void WriteLine(ELogLevel eLevel, bool bIncremental, FormatText&& formatText);
    template <typename FormatText>
    size_t BuildLine(char* pchLine, size_t unSize, ELogLevel eLevel, bool bIncremental,
                     FormatText&& formatText, size_t* punPrefixEnd);
    void WriteCombinedLine(const char* pchLine, size_t unLength, size_t unPrefixEnd);
    void EndOpenLine();
    bool WriteWhole(FILE* pFile, const char* pchText, size_t unLength);
    void RotateIfNeeded();
    void ReopenAfterRotation();

    std::atomic<FILE*> m_pLogFile{nullptr};
    std::unique_ptr<CCombinedLogFile> m_pCombinedLog;
    std::string m_sLogName;
    std::string m_sLogFilePath;
    std::string m_sPreviousLogFilePath;
    std::string m_sCombinedLogPath;
    std::string m_sPreviousCombinedLogPath;
    std::string m_sLogDirectory;
    std::atomic<ELogLevel> m_eMaxLevel{LogLevel_Info};
    bool m_bLineOpen = false;
    std::atomic<bool> m_bDebuggerEcho{true};
    bool m_bForceEcho = false;
    uint64_t m_unBytesWritten = 0;
    // The process's file's length after the last whole write: what a write
    // that did not fit (a full disk) is cut back to.
    uint64_t m_unFileLength = 0;
    // A rotation moved the file away but could not open a new one: lines go
    // to the old stream and each tries the reopen first.
    bool m_bReopenPending = false;
    tessera::CCallbackList<ILogListener> m_listeners;
    std::unique_ptr<CLogCallback> m_pLogCallback;
    std::unique_ptr<CLog> m_pPrivateLog;
};

extern CVRLog g_VRLog;
CVRLog* GetVRLog();

// g_VRLog with appendExecutableName true and a 128 KiB start-up rotation size.
bool InitLog(const char* pchLogDirectory, const char* pchLogName);
void CloseLog();
// Sets g_VRLog's maximum and the in-memory buffer's level filter (unclamped).
void SetMaxLogLevel(ELogLevel eLevel);
bool WillLog(ELogLevel eLevel);

// Each string through pLog->Log("%s") when its file is open, else to stdout.
void DumpLogStrings(CVRLog* pLog, const std::vector<std::string>& vecStrings);
void DumpLogStrings(const std::vector<std::string>& vecStrings);

// Logs the format with the elapsed seconds × scale when it goes out of scope.
class CLogTimer {
public:
    CLogTimer(const char* pchFormat, double flScale);
    ~CLogTimer();
    CLogTimer(const CLogTimer&) = delete;
    CLogTimer& operator=(const CLogTimer&) = delete;

private:
    const char* m_pchFormat;
    double m_flScale;
    double m_flStart;
};
