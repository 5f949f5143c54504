// Test helper: the dump files the host client stand-in writes into
// QUILL_DUMP_DIR, read back as records (reason, comment, whole text), ordered
// by their sequence number so that the first dump of a process comes first.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace halyard_test {

struct DumpFile {
    std::string sPath;
    std::string sText;
    std::string sReason;   // the "reason: " line without its prefix
    std::string sComment;  // between "comment:\n" and "end of comment\n"
    std::string Line(const std::string& sKey) const {
        size_t nStart = sText.find("\n" + sKey + ": ");
        if (nStart == std::string::npos) {
            return "";
        }
        nStart += sKey.size() + 3;
        return sText.substr(nStart, sText.find('\n', nStart) - nStart);
    }
};

// "<exe>-<pid>-<n>.dmp" => n
inline long DumpSequence(const std::string& sName) {
    size_t nDash = sName.rfind('-');
    return nDash == std::string::npos ? 0 : strtol(sName.c_str() + nDash + 1, nullptr, 10);
}

inline std::vector<DumpFile> ReadDumps(const std::string& sDir) {
    std::vector<std::string> vecNames;
    if (DIR* pDir = opendir(sDir.c_str())) {
        while (dirent* pEntry = readdir(pDir)) {
            std::string sName = pEntry->d_name;
            if (sName.size() > 4 && sName.compare(sName.size() - 4, 4, ".dmp") == 0) {
                vecNames.push_back(sName);
            }
        }
        closedir(pDir);
    }
    std::sort(vecNames.begin(), vecNames.end(), [](const std::string& a, const std::string& b) {
        return DumpSequence(a) < DumpSequence(b);
    });
    std::vector<DumpFile> vecDumps;
    for (const std::string& sName : vecNames) {
        DumpFile dump;
        dump.sPath = sDir + "/" + sName;
        dump.sText = ReadFile(dump.sPath);
        dump.sReason = dump.Line("reason");
        size_t nStart = dump.sText.find("\ncomment:\n");
        size_t nEnd = dump.sText.find("end of comment\n");
        if (nStart != std::string::npos && nEnd != std::string::npos && nEnd >= nStart + 10) {
            dump.sComment = dump.sText.substr(nStart + 10, nEnd - nStart - 10);
        }
        vecDumps.push_back(dump);
    }
    return vecDumps;
}

}  // namespace halyard_test
