// TolvanMemoryStatus.h: how much physical memory the machine has free.
//
// The figure is what the kernel reports as available for new allocations without swapping
// (MemAvailable), in bytes. It is a snapshot, read again at most every 100 ms; it changes as the
// machine runs.
//
// AdviseLargeBlock asks the kernel to back the whole 2 MiB pages inside a large block with huge
// pages where it offers them on request, so that touching a fresh block of megabytes costs a
// few page faults instead of one per 4 KiB. It changes no byte and no failure is reported: the
// block is as usable either way.
//
// Threads: may be called from any thread.
#pragma once

#include <cstdint>

namespace tolvan {

// Available physical memory in bytes; 0 when the system does not report it.
int64_t GetAvailablePhysicalMemory();

// Blocks smaller than this are left alone: they hold no whole huge page worth the call.
inline constexpr int64_t LargeBlockAdviceSize = int64_t(4) << 20;
// The huge-page size the advice works in; a large block aligned to it gets the most of them.
inline constexpr uint64_t LargeBlockAlignment = uint64_t(2) << 20;

// Advises the whole huge pages within [Data, Data + Size); nothing for Size below
// LargeBlockAdviceSize.
void AdviseLargeBlock(void* Data, int64_t Size) noexcept;

} // namespace tolvan
