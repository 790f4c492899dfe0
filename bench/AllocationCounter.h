// Heap allocations made by this process: every program that links this
// library replaces the global operator new and operator delete with versions
// that count each call before handing it to malloc and free.
#pragma once

#include <cstddef>

struct AllocationTally {
    std::size_t allocations; // calls of any operator new that returned memory
    std::size_t bytes;       // bytes requested by them
};

// Totals since the start of the process.  They wrap around; the difference of
// two readings is exact as long as fewer than SIZE_MAX allocations lie between.
AllocationTally AllocationsSoFar();

// Allocations made between two readings.
inline AllocationTally operator-(const AllocationTally& later, const AllocationTally& earlier)
{
    return {later.allocations - earlier.allocations, later.bytes - earlier.bytes};
}
