// A fresh process that opens a log writer and writes lines through the
// process-wide registry: log_writer_probe DIRECTORY NAME COUNT [PADDING].
// Each line reads "NAME line I", followed by a blank and PADDING 'x'
// characters when PADDING is given. Tests use it for behaviour decided once
// per process (combined logging), which a forked child would inherit from the
// test process. Exit status: 0 after writing, 1 when the log could not be
// opened, 3 when InitLog failed although the writer's own file is open (the
// lines are written then too).
#include <cstdlib>
#include <string>

#include "vrlog.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        return 2;
    }
    CVRLog writer(true);
    bool bInit = writer.InitLog(argv[1], argv[2], false, 0);
    if (!writer.IsOpen()) {
        return 1;
    }
    int nCount = atoi(argv[3]);
    std::string sPadding = argc == 5 ? " " + std::string(atoi(argv[4]), 'x') : "";
    for (int i = 0; i < nCount; ++i) {
        Log("%s line %d%s", argv[2], i, sPadding.c_str());
    }
    return bInit ? 0 : 3;
}
