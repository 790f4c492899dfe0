// Each reply decoder alone: the command state set to the one in which the
// reply is decoded, then the reply, whole, through process() (reassembly,
// header, decoding, the next command frame).  VER includes the round
// completion it runs.
//
// Counters per reply: allocs (calls of operator new), alloc_bytes.
#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "CycleDriver.h"
#include "support/Replies.h"

namespace
{

void BM_Decode(benchmark::State& state, std::size_t index)
{
    const StdoutToDevNull quiet;
    CycleDriver driver;
    driver.device.FeedHealthyReply(index);

    const AllocationTally before = AllocationsSoFar();
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.device.FeedHealthyReply(index));
    }
    const AllocationTally used = AllocationsSoFar() - before;

    // MNU must have passed its manufacturer check (the MOD state afterwards).
    if (index == 0 && driver.device.dev().CommandState() != HealthyCycle()[1].state) {
        state.SkipWithError("the MNU reply was refused");
        return;
    }
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(used.allocations),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["alloc_bytes"] =
        benchmark::Counter(static_cast<double>(used.bytes), benchmark::Counter::kAvgIterations);
}

BENCHMARK_CAPTURE(BM_Decode, MNU, 0);
BENCHMARK_CAPTURE(BM_Decode, MOD, 1);
BENCHMARK_CAPTURE(BM_Decode, RAT, 2);
BENCHMARK_CAPTURE(BM_Decode, STB, 3);
BENCHMARK_CAPTURE(BM_Decode, STI, 4);
BENCHMARK_CAPTURE(BM_Decode, STO, 5);
BENCHMARK_CAPTURE(BM_Decode, STP, 6);
BENCHMARK_CAPTURE(BM_Decode, STA, 7);
BENCHMARK_CAPTURE(BM_Decode, VER, 8);

} // namespace
