// deltanhnt_footprint: runs whole poll cycles of the plug-in against the
// stand-in host and prints what footprint.sh reports per target.
//
//   deltanhnt_footprint [--cycles N] [--bytewise]
//
// After one warm-up cycle, deltanhnt_footprint_cycles() runs N cycles (default
// 1000), replies delivered whole or one byte per call.  Instruction counters
// collect inside that function only (callgrind --toggle-collect), which
// leaves out start-up, the warm-up cycle and the report.  Standard output
// points at /dev/null while cycles run; the report follows, one key=value a
// line:
//   sizeof_DeltaNHNT, cycles, delivery, allocations_per_cycle,
//   alloc_bytes_per_cycle, completed
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AllocationCounter.h"
#include "CycleDriver.h"
#include "device/DeltaNHNT.h"

// Not inlined and with C linkage so that its name is fixed for
// callgrind's --toggle-collect.
extern "C" __attribute__((noinline)) int deltanhnt_footprint_cycles(CycleDriver* driver,
                                                                    long cycles, int bytewise)
{
    const Delivery delivery = bytewise != 0 ? Delivery::Bytewise : Delivery::Whole;
    int completed = 0;
    for (long i = 0; i < cycles; ++i) {
        completed += driver->device.RunHealthyCycle(delivery) == 0 ? 1 : 0;
    }
    return completed;
}

int main(int argc, char** argv)
{
    long cycles = 1000;
    bool bytewise = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
            char* end = nullptr;
            cycles = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || cycles < 0) {
                std::fprintf(stderr, "--cycles: expected a whole number\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--bytewise") == 0) {
            bytewise = true;
        } else {
            std::fprintf(stderr, "usage: %s [--cycles N] [--bytewise]\n", argv[0]);
            return 2;
        }
    }

    CycleDriver driver;
    AllocationTally used{};
    int completed = 0;
    {
        const StdoutToDevNull quiet;
        driver.device.RunHealthyCycle(bytewise ? Delivery::Bytewise : Delivery::Whole);
        const AllocationTally before = AllocationsSoFar();
        completed = deltanhnt_footprint_cycles(&driver, cycles, bytewise ? 1 : 0);
        used = AllocationsSoFar() - before;
    }

    const double n = cycles > 0 ? static_cast<double>(cycles) : 1.0;
    std::printf("sizeof_DeltaNHNT=%zu\n", sizeof(DeltaNHNT));
    std::printf("cycles=%ld\n", cycles);
    std::printf("delivery=%s\n", bytewise ? "bytewise" : "whole");
    std::printf("allocations_per_cycle=%.2f\n", static_cast<double>(used.allocations) / n);
    std::printf("alloc_bytes_per_cycle=%.2f\n", static_cast<double>(used.bytes) / n);
    std::printf("completed=%d\n", completed);
    return completed == cycles ? 0 : 1;
}
