// What every fuzz target shares: property checks that end the run with the
// property named, and a scratch directory of its own under the temporary
// directory. Header only: each target is one program of its own.
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

namespace fuzz_support {

// Ends the run (a crash libFuzzer records) when a property does not hold,
// saying which: "fuzz_<target>: property broken: <what>".
inline void Require(bool bHolds, const char* pchWhat) {
    if (!bHolds) {
        fprintf(stderr, "%s: property broken: %s\n", program_invocation_short_name, pchWhat);
        abort();
    }
}

// A fresh directory "<temporary directory>/halyard-fuzz-<pchName>-XXXXXX".
inline std::string MakeScratchDirectory(const std::string& sTempDir, const char* pchName) {
    std::string sTemplate = sTempDir + "/halyard-fuzz-" + pchName + "-XXXXXX";
    Require(mkdtemp(sTemplate.data()) != nullptr, "a scratch directory can be made");
    return sTemplate;
}

}  // namespace fuzz_support
