// A fresh process that opens a log writer and writes lines through the
// process-wide registry: log_writer_probe DIRECTORY NAME COUNT. Tests use it
// for behaviour decided once per process (combined logging), which a forked
// child would inherit from the test process.
#include <cstdlib>

#include "vrlog.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    CVRLog writer(true);
    if (!writer.InitLog(argv[1], argv[2], false, 0)) {
        return 1;
    }
    int nCount = atoi(argv[3]);
    for (int i = 0; i < nCount; ++i) {
        Log("%s line %d", argv[2], i);
    }
    return 0;
}
