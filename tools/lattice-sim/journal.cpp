#include "journal.h"

#include <algorithm>
#include <cstdio>

namespace lattice_sim {

std::string JsonQuote(const std::string& strText) {
    std::string out = "\"";
    for (unsigned char c : strText) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                    out += buffer;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i > 0 ? "," : "") + items[i];
    }
    return out + "]";
}

void CJsonFields::Key(const char* pchKey) {
    if (!m_strBody.empty()) {
        m_strBody.push_back(',');
    }
    m_strBody += JsonQuote(pchKey);
    m_strBody.push_back(':');
}

CJsonFields& CJsonFields::Str(const char* pchKey, const std::string& strValue) {
    Key(pchKey);
    m_strBody += JsonQuote(strValue);
    return *this;
}

CJsonFields& CJsonFields::Int(const char* pchKey, int64_t nValue) {
    Key(pchKey);
    m_strBody += std::to_string(nValue);
    return *this;
}

CJsonFields& CJsonFields::UInt(const char* pchKey, uint64_t unValue) {
    Key(pchKey);
    m_strBody += std::to_string(unValue);
    return *this;
}

CJsonFields& CJsonFields::Bool(const char* pchKey, bool bValue) {
    Key(pchKey);
    m_strBody += bValue ? "true" : "false";
    return *this;
}

CJsonFields& CJsonFields::Raw(const char* pchKey, const std::string& strJson) {
    Key(pchKey);
    m_strBody += strJson;
    return *this;
}

CJsonFields& CJsonFields::StrList(const char* pchKey, const std::vector<std::string>& list) {
    std::vector<std::string> quoted;
    for (const std::string& str : list) {
        quoted.push_back(JsonQuote(str));
    }
    return Raw(pchKey, JsonArray(quoted));
}

void CJournal::Add(int64_t nPid, const char* pchApi, const std::string& strCall,
                   const CJsonFields& args, const CJsonFields& result, bool bUnexpected,
                   const std::string& strError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - m_start)
                  .count();
    uint64_t unSeq = m_unNextSeq++;
    std::string strLine = "{\"seq\":" + std::to_string(unSeq) +
                          ",\"time_ms\":" + std::to_string(ms) +
                          ",\"pid\":" + std::to_string(nPid) + ",\"api\":" + JsonQuote(pchApi) +
                          ",\"call\":" + JsonQuote(strCall) + ",\"args\":" + args.Object() +
                          ",\"result\":" + result.Object();
    if (bUnexpected) {
        strLine += ",\"unexpected\":true";
    }
    if (!strError.empty()) {
        strLine += ",\"error\":" + JsonQuote(strError);
    }
    strLine.push_back('}');
    m_entries.push_back({unSeq, std::move(strLine)});
    while (m_entries.size() > m_cMaxEntries) {
        m_entries.pop_front();
    }
    m_changed.notify_all();
}

std::string CJournal::Dump(uint64_t unSince) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const Entry& entry : m_entries) {
        if (entry.unSeq > unSince) {
            out += entry.strLine;
            out.push_back('\n');
        }
    }
    return out;
}

std::string CJournal::Wait(const std::string& strNeedle, std::chrono::milliseconds timeout,
                           uint64_t unSince) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t unChecked = unSince;
    while (true) {
        for (const Entry& entry : m_entries) {
            if (entry.unSeq > unChecked && entry.strLine.find(strNeedle) != std::string::npos) {
                return entry.strLine;
            }
        }
        if (!m_entries.empty()) {
            unChecked = std::max(unChecked, m_entries.back().unSeq);
        }
        if (m_bStopped || m_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: an entry may have arrived with the timeout.
            for (const Entry& entry : m_entries) {
                if (entry.unSeq > unChecked && entry.strLine.find(strNeedle) != std::string::npos) {
                    return entry.strLine;
                }
            }
            return std::string();
        }
    }
}

void CJournal::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStopped = true;
    m_changed.notify_all();
}

}  // namespace lattice_sim
