// journal: the record of every call that reached the simulator, one JSON
// object per entry:
//   {"seq":N,"time_ms":T,"pid":P,"api":"lattice"|"quill","call":"...",
//    "args":{...},"result":{...}}
// plus "unexpected":true for calls of unused interface slots and "error":"..."
// where a call was refused. The oldest entries are dropped beyond the limit.
//
// Thread safety: every member may be called from any thread. Wait blocks the
// caller only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lattice_sim {

// Builds the "args" or "result" object of an entry.
class CJsonFields {
public:
    CJsonFields& Str(const char* pchKey, const std::string& strValue);
    CJsonFields& Int(const char* pchKey, int64_t nValue);
    CJsonFields& UInt(const char* pchKey, uint64_t unValue);
    CJsonFields& Bool(const char* pchKey, bool bValue);
    CJsonFields& Raw(const char* pchKey, const std::string& strJson);  // already JSON
    CJsonFields& StrList(const char* pchKey, const std::vector<std::string>& list);
    std::string Object() const { return "{" + m_strBody + "}"; }
    void AppendObject(std::string& out) const {
        out.push_back('{');
        out += m_strBody;
        out.push_back('}');
    }
    size_t Size() const { return m_strBody.size() + 2; }
    bool Empty() const { return m_strBody.empty(); }

private:
    void Key(const char* pchKey);
    std::string m_strBody;
};

std::string JsonQuote(const std::string& strText);
// The same, appended to out.
void AppendJsonQuoted(std::string& out, std::string_view text);
// Items that are JSON already, as an array: {"1", "\"a\""} => [1,"a"].
std::string JsonArray(const std::vector<std::string>& items);

class CJournal {
public:
    explicit CJournal(size_t cMaxEntries) : m_cMaxEntries(cMaxEntries) {}

    void Add(int64_t nPid, const char* pchApi, const std::string& strCall, const CJsonFields& args,
             const CJsonFields& result, bool bUnexpected = false,
             const std::string& strError = std::string());

    // Entries with seq > unSince, one per line, each ending in '\n'.
    std::string Dump(uint64_t unSince = 0);
    // Waits until an entry with seq > unSince contains strNeedle, the timeout
    // passes, or Stop() is called. The matching entry, or empty (and then
    // *punChecked, when given, is the last seq looked at: a later wait may
    // start there).
    std::string Wait(const std::string& strNeedle, std::chrono::milliseconds timeout,
                     uint64_t unSince = 0, uint64_t* punChecked = nullptr);
    void Stop();

private:
    struct Entry {
        uint64_t unSeq;
        std::string strLine;
    };
    const size_t m_cMaxEntries;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_entries;
    uint64_t m_unNextSeq = 1;
    bool m_bStopped = false;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace lattice_sim
