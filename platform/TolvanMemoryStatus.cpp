#include "platform/TolvanMemoryStatus.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tolvan {

namespace {

// The "MemAvailable:" line of /proc/meminfo, in bytes; -1 when there is none.
int64_t ReadMemAvailable() {
  std::FILE* F = std::fopen("/proc/meminfo", "r");
  if (!F)
    return -1;
  int64_t Result = -1;
  char Line[256];
  while (std::fgets(Line, sizeof Line, F)) {
    static constexpr char Key[] = "MemAvailable:";
    if (std::strncmp(Line, Key, sizeof Key - 1) != 0)
      continue;
    long long KiB = 0;
    if (std::sscanf(Line + sizeof Key - 1, "%lld", &KiB) == 1 && KiB >= 0 &&
        KiB <= INT64_MAX / 1024)
      Result = static_cast<int64_t>(KiB) * 1024;
    break;
  }
  std::fclose(F);
  return Result;
}

} // namespace

int64_t GetAvailablePhysicalMemory() {
  int64_t Bytes = ReadMemAvailable();
  if (Bytes >= 0)
    return Bytes;
  // Older kernels have no MemAvailable; free pages are the nearest figure.
  long Pages = sysconf(_SC_AVPHYS_PAGES);
  long PageSize = sysconf(_SC_PAGESIZE);
  if (Pages <= 0 || PageSize <= 0 || Pages > INT64_MAX / PageSize)
    return 0;
  return static_cast<int64_t>(Pages) * PageSize;
}

void AdviseLargeBlock(void* Data, int64_t Size) noexcept {
#ifdef MADV_HUGEPAGE
  if (!Data || Size < LargeBlockAdviceSize)
    return;
  constexpr uintptr_t Huge = LargeBlockAlignment;
  const uintptr_t Start = (reinterpret_cast<uintptr_t>(Data) + Huge - 1) & ~(Huge - 1);
  const uintptr_t End = (reinterpret_cast<uintptr_t>(Data) + uintptr_t(Size)) & ~(Huge - 1);
  // The advice is a hint: where the kernel has no huge pages to offer it refuses, and the block
  // keeps its small pages.
  if (End > Start)
    (void)madvise(reinterpret_cast<void*>(Start), End - Start, MADV_HUGEPAGE);
#else
  (void)Data;
  (void)Size;
#endif
}

} // namespace tolvan
