// AllocCounter.h: heap allocations counted by a replaced global operator new, for benchmarks
// that report allocations per row. Link AllocCounter.cpp into the program itself (not through a
// library), so its operator new replaces the standard one.
#pragma once

#include <cstdint>

namespace tolvan::bench {

// Allocations counted since the program started.
int64_t HeapAllocations() noexcept;
// Counting is on at start; while off, allocations are not counted.
void SetAllocationCounting(bool On) noexcept;

} // namespace tolvan::bench
