// bench_logging: what a log line costs the thread that writes it, and what
// the path and string helpers on the logging and start-up paths cost. Each
// figure stands next to a baseline from the same run: a bare formatted write
// plus flush to a FILE, which is the floor for a line that must reach the file
// before the call returns. Prints figures; passes or fails nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pathtools.h"
#include "strtools_public.h"
#include "vrlog.h"

namespace {

std::string MakeScratchDirectory() {
    char rchDir[] = "/tmp/halyard-bench-log-XXXXXX";
    const char* pchDir = mkdtemp(rchDir);
    return pchDir ? pchDir : "/tmp";
}

const std::string& ScratchDirectory() {
    static const std::string s_sDir = MakeScratchDirectory();
    return s_sDir;
}

void BM_FprintfFlushBaseline(benchmark::State& state) {
    std::string sPath = ScratchDirectory() + "/baseline.txt";
    FILE* pFile = fopen(sPath.c_str(), "w");
    int i = 0;
    for (auto _ : state) {
        fprintf(pFile, "Tue Dec 08 2026 07:35:36.285960 [Info] - frame %d of the main loop\n", ++i);
        fflush(pFile);
    }
    fclose(pFile);
    unlink(sPath.c_str());
}
BENCHMARK(BM_FprintfFlushBaseline);

// One writer for the whole run, on a private registry: the benchmark writes
// through the writer itself, so only the line's own cost is measured.
CVRLog& Writer() {
    static CVRLog* s_pWriter = [] {
        auto* pWriter = new CVRLog(false);
        pWriter->SetDebuggerEcho(false);
        pWriter->InitLog(ScratchDirectory().c_str(), "bench_logging", false, 0);
        return pWriter;
    }();
    return *s_pWriter;
}

void BM_LogLine(benchmark::State& state) {
    CVRLog& writer = Writer();
    int i = 0;
    for (auto _ : state) {
        writer.Log(LogLevel_Info, "frame %d of the main loop\n", ++i);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLine);
BENCHMARK(BM_LogLine)->Threads(2);

// A line above the writer's level: what detail lines cost a release process.
void BM_LogLineFilteredOut(benchmark::State& state) {
    CVRLog& writer = Writer();
    int i = 0;
    for (auto _ : state) {
        writer.Log(LogLevel_Detail, "frame %d of the main loop\n", ++i);
    }
}
BENCHMARK(BM_LogLineFilteredOut);

void BM_PathCompact(benchmark::State& state) {
    const std::string sPath = "/home/user/.local/share/runtime/./bin/../bin/linux64/../version.txt";
    for (auto _ : state) {
        benchmark::DoNotOptimize(Path_Compact(sPath));
    }
}
BENCHMARK(BM_PathCompact);

void BM_PathJoin(benchmark::State& state) {
    const std::string sDir = "/home/user/.local/share/runtime", sFile = "version.txt";
    for (auto _ : state) {
        benchmark::DoNotOptimize(Path_Join(sDir, "bin", sFile));
    }
}
BENCHMARK(BM_PathJoin);

void BM_URLEncodeFullPath(benchmark::State& state) {
    const std::string sPath = "/home/user/My Screenshots/Screenshot_Tue_Dec_08_07-35-36_2026.png";
    char rchDest[512];
    for (auto _ : state) {
        V_URLEncodeFullPath(rchDest, sizeof(rchDest), sPath.data(), static_cast<int>(sPath.size()));
        benchmark::DoNotOptimize(rchDest);
    }
}
BENCHMARK(BM_URLEncodeFullPath);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string sCommand = "rm -rf '" + ScratchDirectory() + "'";
    if (system(sCommand.c_str()) != 0) {
        fprintf(stderr, "bench_logging: could not remove %s\n", ScratchDirectory().c_str());
    }
    return 0;
}
