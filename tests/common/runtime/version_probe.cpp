// Prints what Lattice_ReadVersionFile answers for the executable's own
// location: "<result>|<text>|<build number>", then the same again after the
// version file (argv[1], when given) has been deleted, to show the cache.
#include <cstdio>
#include <string>

#include "latticetools.h"
#include "pathtools.h"

int main(int argc, char** argv) {
    std::string sVersion;
    unsigned int unBuild = 12345;
    bool bResult = Lattice_ReadVersionFile(sVersion, &unBuild);
    printf("%d|%s|%u|%d\n", bResult ? 1 : 0, sVersion.c_str(), unBuild,
           IsRunningFromPerforce() ? 1 : 0);
    if (argc > 1) {
        BDeleteFileIfExists(argv[1]);
        std::string sAgain;
        bool bAgain = Lattice_ReadVersionFile(sAgain, nullptr);
        printf("%d|%s\n", bAgain ? 1 : 0, sAgain.c_str());
    }
    return 0;
}
