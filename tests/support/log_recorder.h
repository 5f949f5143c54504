// Test helper: records the log lines delivered by the process-wide registry
// while it is alive, so tests can assert on the exact texts a module logs.
// For tests that link tessera.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "logregistry.h"

namespace halyard_test {

struct LoggedLine {
    ELogLevel level;
    std::string text;  // as delivered, ending in '\n'
};

class LogRecorder {
public:
    LogRecorder() {
        m_callback.Initialize(
            [this](ELogLevel level, const char* pchText, void*) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_vecLines.push_back({level, pchText});
            },
            nullptr);
    }
    std::vector<LoggedLine> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLines;
    }
    // Number of lines whose text starts with the prefix.
    size_t Count(const std::string& sPrefix) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::count_if(m_vecLines.begin(), m_vecLines.end(), [&](const LoggedLine& line) {
            return line.text.compare(0, sPrefix.size(), sPrefix) == 0;
        });
    }
    bool Has(const std::string& sText, ELogLevel level) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::any_of(m_vecLines.begin(), m_vecLines.end(), [&](const LoggedLine& line) {
            return line.text == sText && line.level == level;
        });
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const LoggedLine& line : m_vecLines) {
            s += line.text;
        }
        return s;
    }

private:
    std::mutex m_mutex;
    std::vector<LoggedLine> m_vecLines;
    CLogCallback m_callback;
};

}  // namespace halyard_test
