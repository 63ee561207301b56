// TolvanMemoryStatus.h: how much physical memory the machine has free.
//
// The figure is what the kernel reports as available for new allocations without swapping
// (MemAvailable), in bytes. It is a snapshot; it changes as the machine runs.
//
// Threads: may be called from any thread.
#pragma once

#include <cstdint>

namespace tolvan {

// Available physical memory in bytes; 0 when the system does not report it.
int64_t GetAvailablePhysicalMemory();

} // namespace tolvan
