// Cost of scheduling and running tasks on the manual clock (the cost every simulated
// USB completion and timer pays in deterministic tests).
#include <benchmark/benchmark.h>

#include "standin/clock.h"

static void BM_ManualClockScheduleAndRun(benchmark::State& state) {
    auto clock = standin::makeManualClock();
    int ran = 0;
    for (auto _ : state) {
        for (int i = 0; i < 64; ++i)
            clock->schedule(clock->now() + 1 + i, standin::RunLevel::Dispatch, [&] { ++ran; });
        clock->advance(64);
    }
    benchmark::DoNotOptimize(ran);
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ManualClockScheduleAndRun);
