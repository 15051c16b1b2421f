// Counts the heap allocations made while counting is armed. The executable
// replaces malloc and its relatives, which glibc allows; libstdc++'s operator
// new and a dlopen'ed library's calls resolve to these definitions, so the
// count covers the filter library as well as glibc's own work for it.
#pragma once

#include <cstdint>

namespace qelmor::bench {

// Arms counting until Stop; counting is process-wide, and the benchmarks
// run on one thread.
void StartCountingAllocations();
// The allocations since the matching Start.
uint64_t StopCountingAllocations();

}  // namespace qelmor::bench
