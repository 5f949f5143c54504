// dashboard: the two event consumers of the dashboard process.
//
// CHalyardScreenshotManager turns the runtime's screenshot events into
// screenshots in the host client's screenshot library: a trigger asks the
// runtime for a screenshot into two files in the temporary directory
// ($TEMP, else $TMP, else "./"; names "<dir>/Screenshot_<time>" and
// "<dir>/Screenshot_<time>_VR" with <time> like "Mon_Dec_07_12-00-33_2026"),
// and a taken or submitted screenshot is handed to the host client.
//
// CHalyardConsoleManager forwards the process's log lines to the runtime's web
// consoles while at least one is open; a newly opened console first receives
// the buffered history.
//
// Thread safety: both managers are driven by the main thread only; the console
// manager's LogMessage may run on any thread that logs and touches no state.
// Failures are silent by design: a missing interface or a runtime error ends
// the handler; only trace events record what happened.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "vrlog.h"

class CHalyardScreenshotManager {
public:
    void OnScreenshotTriggered();
    void OnScreenshotTaken();
    void OnScreenshotFailed();
    void OnScreenshotSubmitted(unsigned int unHandle);

    // The screenshot this process last requested and that is neither taken
    // nor failed yet; 0 when none. The runtime writes it directly.
    uint32_t m_unPendingHandle = 0;

private:
    void SubmitScreenShotToQuill(unsigned int unHandle);
};

// The two files a screenshot requested now is written to, for a directory
// taken from TEMP / TMP / "./".
struct ScreenshotFileNames_t {
    std::string sFirst;
    std::string sSecond;
};
ScreenshotFileNames_t BuildScreenshotFileNames();

class CHalyardConsoleManager : public ILogListener {
public:
    CHalyardConsoleManager() = default;
    ~CHalyardConsoleManager();
    CHalyardConsoleManager(const CHalyardConsoleManager&) = delete;
    CHalyardConsoleManager& operator=(const CHalyardConsoleManager&) = delete;

    void OnConsoleOpened(unsigned long ulConsoleId);
    void OnConsoleClosed(unsigned long ulConsoleId);

    void LogMessage(unsigned long ulConsoleHandle, const char* pchLogName,
                    unsigned int unTimestampMs, ELogLevel eLevel, const char* pchText) override;

    const std::list<uint64_t>& OpenConsoles() const { return m_listOpenConsoles; }

private:
    std::list<uint64_t> m_listOpenConsoles;
};
