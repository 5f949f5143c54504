// bench_diagnostics: what a watched thread pays per frame. Tick takes no lock
// (one clock read, one store, one fence); its figures stand next to a bare
// clock read measured in the same run. Prints figures; passes or fails nothing.
#include <benchmark/benchmark.h>

#include "systemtime.h"
#include "threadwatchdog.h"

namespace {

// Long enough that the monitor never reports during a run.
constexpr float k_flTimeout = 600.0f;

void BM_ClockReadBaseline(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetSystemTimeInTicks());
    }
}
BENCHMARK(BM_ClockReadBaseline);

void BM_Tick(benchmark::State& state) {
    CThreadWatchdog watchdog("Bench", k_flTimeout, CThreadWatchdog::WatchdogTimeout_Log);
    for (auto _ : state) {
        watchdog.Tick();
    }
}
BENCHMARK(BM_Tick);

void BM_TickParent(benchmark::State& state) {
    CThreadWatchdog watchdog("Bench", k_flTimeout, CThreadWatchdog::WatchdogTimeout_Log);
    for (auto _ : state) {
        CThreadWatchdog::TickParent();
    }
}
BENCHMARK(BM_TickParent);

// Ticks from several threads at once: each has its own record, nothing shared.
void BM_TickParentThreaded(benchmark::State& state) {
    CThreadWatchdog watchdog("Bench", k_flTimeout, CThreadWatchdog::WatchdogTimeout_Log);
    for (auto _ : state) {
        CThreadWatchdog::TickParent();
    }
}
BENCHMARK(BM_TickParentThreaded)->Threads(2);

// The save, set and restore that blocking work (and every log line) wraps itself in.
void BM_DetailScope(benchmark::State& state) {
    CThreadWatchdog watchdog("Bench", k_flTimeout, CThreadWatchdog::WatchdogTimeout_Log);
    for (auto _ : state) {
        CWatchdogDetailScope scope("Process VR events.");
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DetailScope);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    CThreadWatchdog::CleanupWatchdogs();
    benchmark::Shutdown();
    return 0;
}
