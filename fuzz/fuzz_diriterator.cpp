// The directory iterator's wildcard patterns on arbitrary text, over a
// directory of this process holding a fixed set of names. A pattern without
// a separator must list exactly the entries a plain recursive matcher
// selects ('?' one character, '*' any run, ASCII case ignored; "*" and "*.*"
// everything), in name order, never "." or ".."; and any pattern, separators
// included, must give a valid listing or none, without a fault.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "pathtools.h"

namespace {

using fuzz_support::Require;

const char* const k_rgpchNames[] = {
    "a.txt",
    "A.TXT",
    "a.b.txt",
    "file1.log",
    "file10.log",
    ".hidden",
    "x?y",
    "star*name",
    "no_extension",
    "trailing.",
    "\xc3\xa9t\xc3\xa9.txt",
    "sub",
};

struct Scratch_t {
    std::string sDirectory;
    std::vector<std::string> vecNames;  // sorted as the listing sorts
};

const Scratch_t& Scratch() {
    // Never destroyed: the clean-up at exit still needs it.
    static const Scratch_t* s_scratch = [] {
        std::string sTemplate =
            fuzz_support::MakeScratchDirectory(Path_GetTemporaryDirectory(), "dir");
        Scratch_t scratch;
        scratch.sDirectory = sTemplate;
        for (const char* pchName : k_rgpchNames) {
            std::string sPath = sTemplate + "/" + pchName;
            bool bMade = strcmp(pchName, "sub") == 0 ? mkdir(sPath.c_str(), 0700) == 0
                                                     : Path_WriteBinaryFile(sPath, nullptr, 0);
            Require(bMade, "the scratch entries can be made");
            scratch.vecNames.push_back(pchName);
        }
        std::sort(scratch.vecNames.begin(), scratch.vecNames.end(),
                  [](const std::string& a, const std::string& b) {
                      return strcoll(a.c_str(), b.c_str()) < 0;
                  });
        atexit([] {
            for (const char* pchName : k_rgpchNames) {
                std::string sPath = Scratch().sDirectory + "/" + pchName;
                if (unlink(sPath.c_str()) != 0) {
                    rmdir(sPath.c_str());
                }
            }
            rmdir(Scratch().sDirectory.c_str());
        });
        return new Scratch_t(std::move(scratch));
    }();
    return *s_scratch;
}

char Lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// The reference: a direct recursive reading of the pattern rules.
bool Matches(const char* pchPattern, const char* pchName) {
    if (*pchPattern == '\0') {
        return *pchName == '\0';
    }
    if (*pchPattern == '*') {
        return Matches(pchPattern + 1, pchName) || (*pchName && Matches(pchPattern, pchName + 1));
    }
    return *pchName && (*pchPattern == '?' || Lower(*pchPattern) == Lower(*pchName)) &&
           Matches(pchPattern + 1, pchName + 1);
}

// Collapses runs of '*' so the reference stays linear in practice.
std::string Simplified(const std::string& sPattern) {
    std::string sOut;
    for (char ch : sPattern) {
        if (!(ch == '*' && !sOut.empty() && sOut.back() == '*')) {
            sOut += ch;
        }
    }
    return sOut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cubData) {
    const Scratch_t& scratch = Scratch();
    std::string sPattern(reinterpret_cast<const char*>(pData), cubData);
    sPattern = sPattern.substr(0, sPattern.find('\0'));  // the pattern is a C string

    CDirIterator it(scratch.sDirectory.c_str(), sPattern.c_str());
    std::vector<std::string> vecListed;
    while (it.BNextFile()) {
        std::string sName = it.CurrentFileName();
        Require(sName != "." && sName != "..", "the dot entries are never listed");
        vecListed.push_back(sName);
    }
    Require(!it.BNextFile(), "a finished listing stays finished");
    Require(std::string(it.CurrentFileName()).empty(), "a finished listing has no entry");
    if (sPattern.find('/') != std::string::npos) {
        return 0;  // another directory, or none: only the absence of faults is checked
    }

    bool bFits = scratch.sDirectory.size() + 1 + sPattern.size() <= CDirIterator::k_unMaxPath;
    Require(it.IsValid() == bFits, "a listing starts exactly when the search text fits");
    std::vector<std::string> vecExpected;
    bool bEverything = sPattern == "*" || sPattern == "*.*";
    std::string sSimple = Simplified(sPattern);
    for (const std::string& sName : scratch.vecNames) {
        if (bFits && (bEverything || Matches(sSimple.c_str(), sName.c_str()))) {
            vecExpected.push_back(sName);
        }
    }
    Require(vecListed == vecExpected, "the listing holds the matching entries in name order");
    return 0;
}
