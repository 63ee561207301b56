#include "platform/TolvanMemoryStatus.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// Reading /proc/meminfo costs a file open and a parse, and every temporary table asks: the
// figure is read again only when the last reading is older than this.
constexpr int64_t ReadingLifetimeNs = 100'000'000;

int64_t ReadAvailablePhysicalMemory() {
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

} // namespace

int64_t GetAvailablePhysicalMemory() {
  static std::atomic<int64_t> Cached{-1};
  static std::atomic<int64_t> ReadAt{0};
  const int64_t Now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  const int64_t Last = ReadAt.load(std::memory_order_acquire);
  int64_t Bytes = Cached.load(std::memory_order_acquire);
  if (Bytes < 0 || Now - Last >= ReadingLifetimeNs) {
    Bytes = ReadAvailablePhysicalMemory();
    Cached.store(Bytes, std::memory_order_release);
    ReadAt.store(Now, std::memory_order_release);
  }
  return Bytes;
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
