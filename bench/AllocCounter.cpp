#include "bench/AllocCounter.h"

#include <cstdlib>
#include <new>

namespace {

int64_t GAllocs = 0;
bool GCounting = true;

void* CountedAlloc(std::size_t Size) {
  if (GCounting)
    ++GAllocs;
  if (void* P = std::malloc(Size ? Size : 1))
    return P;
  throw std::bad_alloc();
}

void* CountedAlignedAlloc(std::size_t Size, std::align_val_t Align) {
  if (GCounting)
    ++GAllocs;
  const auto A = static_cast<std::size_t>(Align);
  if (void* P = std::aligned_alloc(A, (Size + A - 1) / A * A))
    return P;
  throw std::bad_alloc();
}

} // namespace

namespace tolvan::bench {

int64_t HeapAllocations() noexcept { return GAllocs; }
void SetAllocationCounting(bool On) noexcept { GCounting = On; }

} // namespace tolvan::bench

void* operator new(std::size_t Size) { return CountedAlloc(Size); }
void* operator new[](std::size_t Size) { return CountedAlloc(Size); }
void* operator new(std::size_t Size, std::align_val_t A) { return CountedAlignedAlloc(Size, A); }
void* operator new[](std::size_t Size, std::align_val_t A) { return CountedAlignedAlloc(Size, A); }
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
  if (GCounting)
    ++GAllocs;
  return std::malloc(Size ? Size : 1);
}
void* operator new[](std::size_t Size, const std::nothrow_t&) noexcept {
  if (GCounting)
    ++GAllocs;
  return std::malloc(Size ? Size : 1);
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete[](void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }
void operator delete[](void* P, std::size_t) noexcept { std::free(P); }
void operator delete(void* P, std::align_val_t) noexcept { std::free(P); }
void operator delete[](void* P, std::align_val_t) noexcept { std::free(P); }
void operator delete(void* P, std::size_t, std::align_val_t) noexcept { std::free(P); }
void operator delete[](void* P, std::size_t, std::align_val_t) noexcept { std::free(P); }
