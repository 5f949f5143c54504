#include "journal.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace lattice_sim {

namespace {

// The characters a JSON string needs escaped: '"', '\\' and the controls.
constexpr std::array<bool, 256> k_rgbNeedsEscape = [] {
    std::array<bool, 256> rgb = {};
    for (int c = 0; c < 0x20; ++c) {
        rgb[c] = true;
    }
    rgb['"'] = rgb['\\'] = rgb[0x7F] = true;
    return rgb;
}();

constexpr size_t k_cubFieldsGuess = 160;

}  // namespace

void AppendJsonQuoted(std::string& out, std::string_view text) {
    // Every console line of a client is journaled: runs of plain characters
    // are appended whole, not one by one.
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    const char* pchRun = text.data();
    const char* const pchEnd = text.data() + text.size();
    for (const char* pch = pchRun; pch != pchEnd; ++pch) {
        const unsigned char c = static_cast<unsigned char>(*pch);
        if (!k_rgbNeedsEscape[c]) {
            continue;
        }
        out.append(pchRun, static_cast<size_t>(pch - pchRun));
        pchRun = pch + 1;
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
            default: {
                char rchCode[8];
                std::snprintf(rchCode, sizeof(rchCode), "\\u%04x", c);
                out += rchCode;
            }
        }
    }
    out.append(pchRun, static_cast<size_t>(pchEnd - pchRun));
    out += '"';
}

std::string JsonQuote(const std::string& strText) {
    std::string out;
    AppendJsonQuoted(out, strText);
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
    if (m_strBody.empty()) {
        m_strBody.reserve(k_cubFieldsGuess);  // grown once, not field by field
    } else {
        m_strBody += ',';
    }
    AppendJsonQuoted(m_strBody, pchKey);
    m_strBody += ':';
}

CJsonFields& CJsonFields::Str(const char* pchKey, const std::string& strValue) {
    Key(pchKey);
    AppendJsonQuoted(m_strBody, strValue);
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
    Key(pchKey);
    m_strBody.push_back('[');
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0) {
            m_strBody.push_back(',');
        }
        AppendJsonQuoted(m_strBody, list[i]);
    }
    m_strBody.push_back(']');
    return *this;
}

void CJournal::Add(int64_t nPid, const char* pchApi, const std::string& strCall,
                   const CJsonFields& args, const CJsonFields& result, bool bUnexpected,
                   const std::string& strError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - m_start)
                  .count();
    uint64_t unSeq = m_unNextSeq++;
    std::string strLine;
    strLine.reserve(96 + strCall.size() + args.Size() + result.Size());
    strLine += "{\"seq\":";
    strLine += std::to_string(unSeq);
    strLine += ",\"time_ms\":";
    strLine += std::to_string(ms);
    strLine += ",\"pid\":";
    strLine += std::to_string(nPid);
    strLine += ",\"api\":";
    AppendJsonQuoted(strLine, pchApi);
    strLine += ",\"call\":";
    AppendJsonQuoted(strLine, strCall);
    strLine += ",\"args\":";
    args.AppendObject(strLine);
    strLine += ",\"result\":";
    result.AppendObject(strLine);
    if (bUnexpected) {
        strLine += ",\"unexpected\":true";
    }
    if (!strError.empty()) {
        strLine += ",\"error\":";
        AppendJsonQuoted(strLine, strError);
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
                           uint64_t unSince, uint64_t* punChecked) {
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
            if (punChecked) {
                *punChecked =
                    m_entries.empty() ? unChecked : std::max(unChecked, m_entries.back().unSeq);
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
