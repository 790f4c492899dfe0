// Whole poll cycles: RefreshStatus, the nine replies of a healthy UPS through
// process() and the round completion that the last one runs (report, the
// fifteen status alarms, the threshold checks, history) against the
// stand-in host.
//
// Counters per cycle: allocs (calls of operator new), alloc_bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "AllocationCounter.h"
#include "CycleDriver.h"
#include "support/CallLog.h"

namespace
{

void SetAllocationCounters(benchmark::State& state, const AllocationTally& used)
{
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(used.allocations),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["alloc_bytes"] =
        benchmark::Counter(static_cast<double>(used.bytes), benchmark::Counter::kAvgIterations);
}

// The host observer does nothing but count rounds: the figure is the plug-in
// plus the stand-in host's dispatch of each host call.
void BM_Cycle(benchmark::State& state, Delivery delivery)
{
    const StdoutToDevNull quiet;
    CycleDriver driver;
    // One cycle first, so that the figures show the steady state.
    driver.device.RunHealthyCycle(delivery);
    const std::size_t rounds_before = driver.round_counter.rounds;

    const AllocationTally before = AllocationsSoFar();
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.device.RunHealthyCycle(delivery));
    }
    const AllocationTally used = AllocationsSoFar() - before;

    const auto cycles = static_cast<std::size_t>(state.iterations());
    if (driver.round_counter.rounds - rounds_before != cycles) {
        state.SkipWithError("a cycle did not complete");
        return;
    }
    SetAllocationCounters(state, used);
    state.counters["reply_bytes"] = static_cast<double>(driver.device.HealthyCycleBytes());
}
BENCHMARK_CAPTURE(BM_Cycle, whole, Delivery::Whole);
BENCHMARK_CAPTURE(BM_Cycle, bytewise, Delivery::Bytewise);

// The same cycle with the tests' CallLog attached, cleared before every
// cycle: adds the cost of recording every host call (what the tests pay),
// which a monitoring unit does not pay.
void BM_CycleCallLog(benchmark::State& state, Delivery delivery)
{
    const StdoutToDevNull quiet;
    TestDevice device(LinkedDevice());
    CallLog& log = device.log();
    device.RunHealthyCycle(delivery);

    const AllocationTally before = AllocationsSoFar();
    for (auto _ : state) {
        log.Clear();
        benchmark::DoNotOptimize(device.RunHealthyCycle(delivery));
    }
    const AllocationTally used = AllocationsSoFar() - before;

    if (log.Lines(HostCall::Op::SendSP).size() != 1) {
        state.SkipWithError("the cycle did not report one record");
        return;
    }
    SetAllocationCounters(state, used);
}
BENCHMARK_CAPTURE(BM_CycleCallLog, whole, Delivery::Whole);

} // namespace
