#include "vrlog.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "combinedlog.h"
#include "driverlog.h"
#include "logbuffer.h"
#include "pathtools.h"
#include "platformtools.h"
#include "systemtime.h"
#include "threadwatchdog.h"

std::recursive_mutex g_LoggingMutex;
CVRLog g_VRLog(true);

namespace {

constexpr size_t k_unLineBufferSize = 4096;
constexpr time_t k_nRecentLogSeconds = 900;

bool ReadEnvironmentFlag(const char* pchName) {
    const char* pchValue = getenv(pchName);
    return pchValue && strtol(pchValue, nullptr, 10) != 0;
}

// Moves sPath over sPreviousPath, discarding the older previous file.
void RotateFile(const std::string& sPath, const std::string& sPreviousPath) {
    BDeleteFileIfExists(sPreviousPath.c_str());
    BRenameFile(sPath.c_str(), sPreviousPath.c_str());
}

// vsnprintf into pchBuffer; returns the characters it holds afterwards. A
// failed conversion (an unencodable wide string, say) keeps what was formatted
// before it, never the untouched rest of the buffer.
size_t FormatInto(char* pchBuffer, size_t unSize, const char* pchFormat, va_list args) {
    pchBuffer[0] = '\0';
    int nLength = vsnprintf(pchBuffer, unSize, pchFormat, args);
    if (nLength < 0) {
        return strnlen(pchBuffer, unSize - 1);
    }
    return std::min(static_cast<size_t>(nLength), unSize - 1);
}

// Appends up to unSize - 1 characters in all, keeping the buffer terminated.
void AppendCut(char* pchLine, size_t unSize, size_t* punLength, const char* pchText,
               size_t unText) {
    size_t unCopied = std::min(unText, unSize - 1 - *punLength);
    memcpy(pchLine + *punLength, pchText, unCopied);
    *punLength += unCopied;
    pchLine[*punLength] = '\0';
}

std::string LocalTimeForFilename() {
    time_t now = time(nullptr);
    struct tm local = {};
    tzset();
    localtime_r(&now, &local);
    char rchTime[128];
    size_t unLength = strftime(rchTime, sizeof(rchTime), "%Y-%m-%d-%p_%I_%M_%S", &local);
    return std::string(rchTime, unLength);
}

}  // namespace

CVRLog::CVRLog(bool bUseGlobalRegistry) : m_bForceEcho(ReadEnvironmentFlag("VR_LOG_DEBUG")) {
    if (!bUseGlobalRegistry) {
        m_pPrivateLog = std::make_unique<CLog>();
    }
}

CVRLog::~CVRLog() {
    // The process's stream stays open for process exit; every write has been
    // flushed.
    m_pLogCallback.reset();
}

CVRLog::CWriterLock::CWriterLock()
    : m_registryLock(*CLog::GetInstance()), m_writerLock(g_LoggingMutex) {}

bool CVRLog::InitLog(const char* pchLogDirectory, const char* pchLogName,
                     bool bAppendExecutableName, unsigned long ulStartupRotateSize) {
    static const bool sb_combinedLogging = ReadEnvironmentFlag("VR_COMBINED_LOGGING");
    CWriterLock lock;
    if (IsOpen()) {
        return true;
    }
    if (!OpenFiles(pchLogDirectory, pchLogName, bAppendExecutableName, ulStartupRotateSize,
                   sb_combinedLogging)) {
        return false;
    }
    Subscribe();
    return !sb_combinedLogging || (m_pCombinedLog && m_pCombinedLog->IsOpen());
}

bool CVRLog::OpenFiles(const char* pchLogDirectory, const char* pchLogName,
                       bool bAppendExecutableName, unsigned long ulStartupRotateSize,
                       bool bCombinedLogging) {
    m_sLogDirectory = pchLogDirectory ? pchLogDirectory : "";

    if (!BCreateDirectoryRecursive(m_sLogDirectory.c_str())) {
        return false;
    }

    std::string sExecutableName = Path_GetExecutableName();
    if (!pchLogName) {
        m_sLogName = sExecutableName;
    } else if (bAppendExecutableName) {
        m_sLogName = std::string(pchLogName) + "_" + sExecutableName;
    } else {
        m_sLogName = pchLogName;
    }
    m_sLogFilePath = Path_Join(m_sLogDirectory, m_sLogName + ".txt");
    m_sPreviousLogFilePath = Path_Join(m_sLogDirectory, m_sLogName + ".previous.txt");

    // A log written in the last 15 minutes belongs to a run that just ended
    // (a restart loop, say): keep twice as much of it.
    unsigned long ulThreshold = ulStartupRotateSize;
    time_t tModified = 0;
    if (GetFileWriteTime(m_sLogFilePath.c_str(), &tModified) == 0) {
        time_t tNow = GetGMUnixTime();
        if (tModified <= tNow && tNow - tModified < k_nRecentLogSeconds) {
            ulThreshold *= 2;
        }
    }
    int64_t nLength = GetFileLength(m_sLogFilePath.c_str());
    m_unBytesWritten = nLength > 0 ? static_cast<uint64_t>(nLength) : 0;
    if (ulThreshold != 0 && m_unBytesWritten > ulThreshold) {
        RotateFile(m_sLogFilePath, m_sPreviousLogFilePath);
        m_unBytesWritten = 0;
    }

    m_bLineOpen = false;
    m_bReopenPending = false;
    // Without the process's own file InitLog fails, and a retry would open
    // the combined file again: it is opened only beside an open file.
    if (!OpenLogFile(m_sLogName)) {
        return false;
    }
    if (bCombinedLogging) {
        OpenCombinedLog(ulThreshold);
    }
    return true;
}

namespace {

uint64_t StreamLength(FILE* pFile) {
    struct stat st;
    return fstat(fileno(pFile), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// fopen(path, "a") as far as the writer can tell, but never a FIFO or a
// device: opening one would wait for a reader, or write somewhere else.
FILE* OpenForAppend(const std::string& sPath) {
    int fd = Path_OpenRegularFileForAppend(sPath);
    if (fd < 0) {
        return nullptr;
    }
    FILE* pFile = fdopen(fd, "a");
    if (!pFile) {
        close(fd);
    }
    return pFile;
}

}  // namespace

bool CVRLog::OpenLogFile(const std::string& sLogName) {
    FILE* pFile = OpenForAppend(m_sLogFilePath);
    if (!pFile) {
        fprintf(stderr, "ERROR: Failed to open log file %s, attempting timestamped filename\n",
                m_sLogFilePath.c_str());
        m_sLogFilePath =
            Path_Join(m_sLogDirectory, sLogName + "-" + LocalTimeForFilename() + ".txt");
        pFile = OpenForAppend(m_sLogFilePath);
        if (!pFile) {
            fprintf(stderr, "FATAL: Failed to open log file %s, failing out!\n",
                    m_sLogFilePath.c_str());
        }
    }
    m_unFileLength = pFile ? StreamLength(pFile) : 0;
    m_pLogFile.store(pFile);
    return pFile != nullptr;
}

void CVRLog::OpenCombinedLog(unsigned long ulRotateThreshold) {
    m_sCombinedLogPath = Path_Join(m_sLogDirectory, "vrcombined_log.txt");
    m_sPreviousCombinedLogPath = Path_Join(m_sLogDirectory, "vrcombined_log.previous.txt");
    m_pCombinedLog = std::make_unique<CCombinedLogFile>();
    if (!m_pCombinedLog->Open(m_sCombinedLogPath, m_sPreviousCombinedLogPath, ulRotateThreshold,
                              k_unRotateSize)) {
        m_pCombinedLog.reset();
    }
}

void CVRLog::Subscribe() {
    m_pLogCallback =
        std::make_unique<CLogCallback>(m_pPrivateLog ? m_pPrivateLog.get() : CLog::GetInstance());
    m_pLogCallback->Initialize([this](ELogLevel eLevel, const char* pchText,
                                      void*) { LogDeliveredText(eLevel, pchText ? pchText : ""); },
                               nullptr);
}

void CVRLog::CloseLog() {
    CWriterLock lock;
    m_pLogCallback.reset();
    EndOpenLine();
    if (FILE* pFile = m_pLogFile.exchange(nullptr)) {
        fclose(pFile);
    }
    // A later InitLog opens the combined file anew.
    m_pCombinedLog.reset();
    m_bReopenPending = false;
    m_listeners.Clear();
    m_sLogDirectory.clear();
}

// A file must not end in the middle of a line: the next writer of it (this
// one reopened, or another process on the combined file) starts a new one.
void CVRLog::EndOpenLine() {
    if (!m_bLineOpen) {
        return;
    }
    m_bLineOpen = false;
    if (FILE* pFile = m_pLogFile.load()) {
        if (WriteWhole(pFile, "\n", 1)) {
            ++m_unBytesWritten;
        }
    }
    if (m_pCombinedLog) {
        struct iovec newline = {const_cast<char*>("\n"), 1};
        m_pCombinedLog->Write(&newline, 1);
    }
}

void CVRLog::Log(const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogDirect(LogLevel_Info, false, pchFormat, args);
    va_end(args);
}

void CVRLog::Log(ELogLevel eLevel, const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogDirect(eLevel, false, pchFormat, args);
    va_end(args);
}

void CVRLog::LogIncremental(const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogDirect(LogLevel_Info, true, pchFormat, args);
    va_end(args);
}

void CVRLog::LogIncremental(ELogLevel eLevel, const char* pchFormat, ...) {
    va_list args;
    va_start(args, pchFormat);
    LogDirect(eLevel, true, pchFormat, args);
    va_end(args);
}

template <typename FormatText>
size_t CVRLog::BuildLine(char* pchLine, size_t unSize, ELogLevel eLevel, bool bIncremental,
                         FormatText&& formatText, size_t* punPrefixEnd) {
    *punPrefixEnd = 0;
    if (bIncremental && m_bLineOpen) {
        // A continuation: the fragment alone, as formatted.
        return formatText(pchLine, unSize);
    }
    size_t unLength = 0;
    if (m_bLineOpen) {
        pchLine[unLength++] = '\n';  // end the pending fragment's line first
        m_bLineOpen = false;
    }
    // "<time> [<Level>] - "
    unLength += FormatVRLogTimeString(pchLine + unLength, unSize - unLength);
    const char* pchLevel = GetLogLevelName(eLevel);
    AppendCut(pchLine, unSize, &unLength, " [", 2);
    AppendCut(pchLine, unSize, &unLength, pchLevel, strlen(pchLevel));
    AppendCut(pchLine, unSize, &unLength, "] - ", 4);
    *punPrefixEnd = unLength;

    size_t unText = formatText(pchLine + unLength, unSize - unLength);
    bool bCut = unLength + unText >= unSize - 1;
    unLength += unText;
    if (bIncremental) {
        return unLength;
    }
    if (bCut) {
        pchLine[unLength - 1] = '\n';
    } else if (unLength == 0 || pchLine[unLength - 1] != '\n') {
        pchLine[unLength++] = '\n';
        pchLine[unLength] = '\0';
    }
    return unLength;
}

void CVRLog::LogDirect(ELogLevel eLevel, bool bIncremental, const char* pchFormat, va_list args) {
    // A thread that hangs on the log file (a full disk, a blocked listener)
    // is reported as hanging here.
    CWatchdogDetailScope watchdogDetail("LogDirect");
    if (!IsOpen()) {
        if (IsDriverLogActive()) {
            DriverLogVarArgs(pchFormat, args);
        }
        return;
    }
    WriteLine(eLevel, bIncremental, [&](char* pchBuffer, size_t unSize) {
        return FormatInto(pchBuffer, unSize, pchFormat, args);
    });
}

// A line delivered by the registry: the same as LogDirect with "%s" and the
// text, without formatting the text a second time.
void CVRLog::LogDeliveredText(ELogLevel eLevel, const char* pchText) {
    CWatchdogDetailScope watchdogDetail("LogDirect");
    if (!IsOpen()) {
        if (IsDriverLogActive()) {
            DriverLog("%s", pchText);
        }
        return;
    }
    WriteLine(eLevel, false, [pchText](char* pchBuffer, size_t unSize) {
        size_t unLength = 0;
        pchBuffer[0] = '\0';
        AppendCut(pchBuffer, unSize, &unLength, pchText, strlen(pchText));
        return unLength;
    });
}

template <typename FormatText>
void CVRLog::WriteLine(ELogLevel eLevel, bool bIncremental, FormatText&& formatText) {
    if (eLevel > m_eMaxLevel.load()) {
        return;
    }
    CWriterLock lock;
    if (m_bReopenPending) {
        ReopenAfterRotation();
    }
    FILE* pFile = m_pLogFile.load();
    if (!pFile) {
        return;
    }
    char rchLine[k_unLineBufferSize];
    size_t unPrefixEnd = 0;
    bool bLineWasOpen = m_bLineOpen;
    size_t unLength =
        BuildLine(rchLine, sizeof(rchLine), eLevel, bIncremental, formatText, &unPrefixEnd);

    bool bWritten = WriteWhole(pFile, rchLine, unLength);

    if (!m_listeners.Empty()) {
        uint32_t unTimestampMs = GetLogTimestampMs();
        m_listeners.ForEach([&](ILogListener* pListener) {
            pListener->LogMessage(0, m_sLogName.c_str(), unTimestampMs, eLevel, rchLine);
        });
    }

    if (bWritten) {
        m_unBytesWritten += unLength + 1;
        m_bLineOpen = bIncremental;
    } else {
        m_bLineOpen = bLineWasOpen;  // the file is as it was before this line
    }

    if (m_pCombinedLog) {
        WriteCombinedLine(rchLine, unLength, unPrefixEnd);
    }
    // The debugger check reads a file: every line asking it would cost three
    // system calls more than the line itself.
    if (m_bForceEcho || (m_bDebuggerEcho.load() && Plat_IsInDebugSessionCached())) {
        fwrite(rchLine, 1, unLength, stderr);
    }
    RotateIfNeeded();
}

// Appends in one write. When not all of it fits, what was written of it is
// cut off again, so that the file holds whole lines only and the next line
// does not continue a torn one. The cut is made only when the file grew by no
// more than this text (nobody else appended).
bool CVRLog::WriteWhole(FILE* pFile, const char* pchText, size_t unLength) {
    // Every write to the stream is flushed at once, so its buffer is empty
    // between lines: the text goes straight to the descriptor (opened for
    // appending), in one system call and without a copy into the buffer.
    if (Path_WriteToDescriptor(fileno(pFile), pchText, unLength)) {
        m_unFileLength += unLength;
        return true;
    }
    uint64_t unNow = StreamLength(pFile);
    bool bTorn = unNow > m_unFileLength && unNow < m_unFileLength + unLength;
    if (!bTorn || ftruncate(fileno(pFile), static_cast<off_t>(m_unFileLength)) != 0) {
        m_unFileLength = unNow;
    }
    return false;
}

// "<time> [<Level>] - <log name> - <text>", in one write: other processes
// append to the same file.
void CVRLog::WriteCombinedLine(const char* pchLine, size_t unLength, size_t unPrefixEnd) {
    char* pchText = const_cast<char*>(pchLine);
    if (unPrefixEnd == 0) {
        struct iovec fragment = {pchText, unLength};
        m_pCombinedLog->Write(&fragment, 1);
        return;
    }
    struct iovec rgPieces[] = {
        {pchText, unPrefixEnd},
        {const_cast<char*>(m_sLogName.data()), m_sLogName.size()},
        {const_cast<char*>(" - "), 3},
        {pchText + unPrefixEnd, unLength - unPrefixEnd},
    };
    m_pCombinedLog->Write(rgPieces, 4);
}

// The open file is renamed, not closed first: until the new file is open,
// the old stream stays in place for the lines to come.
void CVRLog::RotateIfNeeded() {
    if (m_unBytesWritten <= k_unRotateSize || m_bReopenPending) {
        return;
    }
    RotateFile(m_sLogFilePath, m_sPreviousLogFilePath);
    ReopenAfterRotation();
}

void CVRLog::ReopenAfterRotation() {
    FILE* pNewFile = OpenForAppend(m_sLogFilePath);
    m_bReopenPending = pNewFile == nullptr;
    if (!pNewFile) {
        return;  // the old file takes the lines meanwhile
    }
    if (FILE* pOldFile = m_pLogFile.exchange(pNewFile)) {
        fclose(pOldFile);
    }
    m_unBytesWritten = 0;
    m_unFileLength = StreamLength(pNewFile);
}

void CVRLog::SetMaxLogLevel(ELogLevel eLevel) {
    ELogLevel eClamped = std::clamp(eLevel, LogLevel_Fatal, LogLevel_Detail);
    if (eClamped != LogLevel_Info) {
        // Written before the change, so it obeys the maximum in force until now.
        Log("Log Level Set to %d\n", static_cast<int>(eClamped));
    }
    m_eMaxLevel.store(eClamped);
}

void CVRLog::AddLogListener(ILogListener* pListener) {
    if (!pListener) {
        return;  // every written line would call through it
    }
    std::lock_guard<std::recursive_mutex> lock(g_LoggingMutex);
    if (!m_listeners.Contains(pListener)) {
        m_listeners.Add(pListener);
    }
}

// The list holds no duplicates, so removing every entry of the listener
// removes its first one. During a line the entry is only marked, so that the
// listeners after it still get the line.
void CVRLog::RemoveLogListener(ILogListener* pListener) {
    std::lock_guard<std::recursive_mutex> lock(g_LoggingMutex);
    m_listeners.Remove(pListener);
}

void CVRLog::DumpLogBufferToListener(ILogListener* pListener, unsigned long ulConsoleHandle) {
    if (!pListener) {
        return;
    }
    std::vector<BufferedLogMessage_t> vecMessages = CLogBuffer::GetInstance()->CopyLogBuffer();
    for (const BufferedLogMessage_t& message : vecMessages) {
        pListener->LogMessage(ulConsoleHandle, m_sLogName.c_str(), message.unTimestampMs,
                              message.eLevel, message.sText.c_str());
    }
}

CVRLog* GetVRLog() {
    return &g_VRLog;
}

bool InitLog(const char* pchLogDirectory, const char* pchLogName) {
    return g_VRLog.InitLog(pchLogDirectory, pchLogName, true, 131072);
}

void CloseLog() {
    g_VRLog.CloseLog();
}

void SetMaxLogLevel(ELogLevel eLevel) {
    g_VRLog.SetMaxLogLevel(eLevel);
    CLogBuffer::GetInstance()->SetLevelFilter(eLevel);
}

bool WillLog(ELogLevel eLevel) {
    return g_VRLog.WillLog(eLevel);
}

void DumpLogStrings(CVRLog* pLog, const std::vector<std::string>& vecStrings) {
    if (!pLog) {
        return;
    }
    for (const std::string& sLine : vecStrings) {
        if (pLog->IsOpen()) {
            pLog->Log("%s", sLine.c_str());
        } else {
            printf("%s", sLine.c_str());
        }
    }
}

void DumpLogStrings(const std::vector<std::string>& vecStrings) {
    DumpLogStrings(&g_VRLog, vecStrings);
}

CLogTimer::CLogTimer(const char* pchFormat, double flScale)
    : m_pchFormat(pchFormat), m_flScale(flScale), m_flStart(GetSystemTime()) {}

CLogTimer::~CLogTimer() {
    double flElapsed = (GetSystemTime() - m_flStart) * m_flScale;
    ::Log(m_pchFormat, flElapsed);
}
