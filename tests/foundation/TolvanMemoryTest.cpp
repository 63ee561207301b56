#include "foundation/TolvanMemory.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"

using namespace tolvan;
using tolvan::test::NativeCodeOf;
using tolvan::test::Raised;

namespace {

uint32_t U32At(const void* P) {
  uint32_t V;
  std::memcpy(&V, P, 4);
  return V;
}

uint8_t* Bytes(void* P) { return static_cast<uint8_t*>(P); }

uint8_t MethodOf(void* P) { return Bytes(P)[-5]; }

} // namespace

TEST(TolvanMemory, BlockLayoutAroundTheCallersPointer) {
  void* P = MemoryManager.GetMem(10);
  EXPECT_EQ(MemoryManager.GetMemSize(P), 10);
  EXPECT_EQ(U32At(Bytes(P) - 9), 10u);
  EXPECT_EQ(MethodOf(P), amHeap);
  EXPECT_EQ(U32At(Bytes(P) - 4), 0xACCACCACu);
  EXPECT_EQ(U32At(Bytes(P) + 10), 0xACCEACCEu);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(P) % 16, 0u);
  MemoryManager.FreeAndNillMem(P);
  EXPECT_EQ(P, nullptr);
}

TEST(TolvanMemory, MethodFollowsTheSizeThresholds) {
  struct Case {
    int64_t Size;
    TTolvanAllocMethod Method;
  };
  const Case Cases[] = {
      {1, amHeap},     {713, amHeap},     {714, amGlobalMemory},     {64487, amGlobalMemory},
      {64488, amHeap}, {1048563, amHeap}, {1048564, amGlobalMemory}, {3000000, amGlobalMemory}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Size);
    EXPECT_EQ(MemoryManager.ChooseAllocMethod(C.Size + MemBlockOverhead), C.Method);
    uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(C.Size));
    EXPECT_EQ(MethodOf(P), C.Method);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(P) % 16, 0u);
    P[0] = 1;
    P[C.Size - 1] = 2; // the whole data area is usable
    EXPECT_EQ(U32At(P + C.Size), 0xACCEACCEu);
    MemoryManager.FreeAndNillMem(P);
    EXPECT_EQ(P, nullptr);
  }
}

TEST(TolvanMemory, AllocMemZeroFills) {
  for (int64_t Size : {1, 700, 5000, 200000}) {
    // Dirty the heap first so that reused memory would show.
    void* Dirty = MemoryManager.GetMem(Size);
    std::memset(Dirty, 0xA5, size_t(Size));
    MemoryManager.FreeAndNillMem(Dirty);
    uint8_t* P = static_cast<uint8_t*>(MemoryManager.AllocMem(Size));
    std::vector<uint8_t> Zero(size_t(Size), 0);
    EXPECT_EQ(std::memcmp(P, Zero.data(), size_t(Size)), 0) << Size;
    MemoryManager.FreeAndNillMem(P);
  }
}

TEST(TolvanMemory, BadSizesRaise) {
  ETolvanException E = Raised([] { MemoryManager.GetMem(0); });
  EXPECT_EQ(E.NativeError(), 30286);
  EXPECT_EQ(E.Message(), "Cannot alocate 0 bytes - Native error: 30286");
  EXPECT_EQ(Raised([] { MemoryManager.AllocMem(0); }).NativeError(), 30286);

  for (int64_t Size : {int64_t(-1), MemMaxBlockSize + 1, INT64_MAX}) {
    ETolvanException G = Raised([Size] { MemoryManager.GetMem(Size); });
    EXPECT_EQ(G.NativeError(), 30015);
    EXPECT_EQ(G.Message(), "GetMem error: Range check error - Native error: 30015");
    EXPECT_EQ(Raised([Size] { MemoryManager.AllocMem(Size); }).NativeError(), 30015);
  }
}

TEST(TolvanMemory, OverrunIsReportedAfterFreeing) {
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(10));
  P[10] = 0; // one byte past the data: the tail guard
  ETolvanException E = Raised([&] { MemoryManager.FreeAndNillMem(P); });
  EXPECT_EQ(E.NativeError(), 30137);
  EXPECT_EQ(E.Message(), "Memory overrun detected - Native error: 30137");
  EXPECT_EQ(P, nullptr); // freed: LeakSanitizer would report it otherwise
}

TEST(TolvanMemory, ForeignPointersAreRefusedAndNothingFreed) {
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(100));
  for (int Offset : {1, 5, 13, 50}) {
    uint8_t* Mid = P + Offset;
    ETolvanException E = Raised([&] { MemoryManager.FreeAndNillMem(Mid); });
    EXPECT_EQ(E.NativeError(), 30001);
    EXPECT_EQ(E.Message(), "Invalid pointer - Native error: 30001");
    EXPECT_EQ(Mid, P + Offset);
    EXPECT_EQ(Raised([&] { MemoryManager.GetMemSize(Mid); }).NativeError(), 30005);
  }
  // A header whose size was damaged is refused before the size is trusted: the tail check of
  // this one would read far past the block.
  std::memcpy(P + 32, P - 16, 16);
  uint8_t* Fake = P + 48;
  Fake[-9] = 0xF0;
  EXPECT_EQ(Raised([&] { MemoryManager.FreeAndNillMem(Fake); }).NativeError(), 30001);
  EXPECT_EQ(Raised([&] { MemoryManager.GetMemSize(Fake); }).NativeError(), 30005);

  uint8_t* Nil = nullptr;
  EXPECT_EQ(Raised([&] { MemoryManager.FreeAndNillMem(Nil); }).NativeError(), 30001);
  EXPECT_EQ(MemoryManager.GetMemSize(nullptr), 0);

  EXPECT_EQ(MemoryManager.GetMemSize(P), 100); // the block is still whole
  MemoryManager.FreeAndNillMem(P);
  EXPECT_EQ(P, nullptr);
}

TEST(TolvanMemory, ReallocKeepsContentsAndZeroesGrowth) {
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(10));
  std::iota(P, P + 10, uint8_t(1));
  MemoryManager.ReallocMemZeroed(P, 20);
  ASSERT_EQ(MemoryManager.GetMemSize(P), 20);
  for (int I = 0; I < 10; ++I)
    EXPECT_EQ(P[I], I + 1);
  for (int I = 10; I < 20; ++I)
    EXPECT_EQ(P[I], 0) << I;
  EXPECT_EQ(U32At(P + 20), 0xACCEACCEu);

  MemoryManager.ReallocMem(P, false, 10);
  EXPECT_EQ(MemoryManager.GetMemSize(P), 10);
  for (int I = 0; I < 10; ++I)
    EXPECT_EQ(P[I], I + 1);
  EXPECT_EQ(U32At(P + 10), 0xACCEACCEu);

  // Across the method thresholds the method byte follows the new size.
  MemoryManager.ReallocMemZeroed(P, 2000);
  EXPECT_EQ(MethodOf(P), amGlobalMemory);
  EXPECT_EQ(P[9], 10);
  EXPECT_EQ(P[1999], 0);
  MemoryManager.ReallocMemZeroed(P, 100000);
  EXPECT_EQ(MethodOf(P), amHeap);
  EXPECT_EQ(P[1999], 0);
  EXPECT_EQ(P[99999], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(P) % 16, 0u);
  MemoryManager.FreeAndNillMem(P);
}

// Blocks of several MiB take another path through the heap (aligned, with the huge-page hint):
// the same contents, zeroing and guards as any block, on every way into and out of that size.
TEST(TolvanMemory, LargeBlocksBehaveLikeAnyOther) {
  constexpr int64_t Large = int64_t(5) << 20;
  uint8_t* Z = static_cast<uint8_t*>(MemoryManager.AllocMem(Large));
  EXPECT_EQ(MemoryManager.GetMemSize(Z), Large);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Z) % 16, 0u);
  for (int64_t I = 0; I < Large; I += 4093)
    ASSERT_EQ(Z[I], 0) << I;
  EXPECT_EQ(Z[Large - 1], 0);
  EXPECT_EQ(U32At(Z + Large), 0xACCEACCEu);
  MemoryManager.FreeAndNillMem(Z);

  // Small to large (a move), large to larger (in place or not), back to small.
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(3000));
  for (int I = 0; I < 3000; ++I)
    P[I] = uint8_t(I * 7);
  MemoryManager.ReallocMemZeroed(P, Large);
  for (int I = 0; I < 3000; ++I)
    ASSERT_EQ(P[I], uint8_t(I * 7)) << I;
  for (int64_t I = 3000; I < Large; I += 4093)
    ASSERT_EQ(P[I], 0) << I;
  EXPECT_EQ(U32At(P + Large), 0xACCEACCEu);
  P[Large - 1] = 0x5A;
  MemoryManager.ReallocMemZeroed(P, 2 * Large);
  EXPECT_EQ(P[2999], uint8_t(2999 * 7));
  EXPECT_EQ(P[Large - 1], 0x5A);
  EXPECT_EQ(P[2 * Large - 1], 0);
  MemoryManager.ReallocMem(P, false, 100);
  EXPECT_EQ(MemoryManager.GetMemSize(P), 100);
  EXPECT_EQ(P[99], uint8_t(99 * 7));
  EXPECT_EQ(U32At(P + 100), 0xACCEACCEu);

  // A refused move to the large size keeps the old block as it was.
  {
    TAllocationFailure Fail(1);
    EXPECT_EQ(Raised([&] { MemoryManager.ReallocMem(P, true, Large); }).NativeError(), 30014);
  }
  EXPECT_EQ(MemoryManager.GetMemSize(P), 100);
  EXPECT_EQ(P[99], uint8_t(99 * 7));

  // A damaged guard of a large block is still found when it is freed.
  MemoryManager.ReallocMem(P, false, Large);
  P[Large] = 0;
  EXPECT_EQ(Raised([&] { MemoryManager.FreeAndNillMem(P); }).NativeError(), 30137);
  EXPECT_EQ(P, nullptr);
}

TEST(TolvanMemory, ReallocFailuresAreWrappedAndKeepTheOldBlock) {
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(8));
  std::memset(P, 7, 8);
  uint8_t* const Old = P;

  ETolvanException E = Raised([&] { MemoryManager.ReallocMem(P, false, 0); });
  EXPECT_EQ(E.NativeError(), 30014);
  EXPECT_EQ(E.Message(), "ReallocMem error: Cannot alocate 0 bytes - Native error: 30286"
                         " - Native error: 30014");
  EXPECT_EQ(P, Old);

  E = Raised([&] { MemoryManager.ReallocMemZeroed(P, -5); });
  EXPECT_EQ(E.Message(), "ReallocMem error: GetMem error: Range check error - Native error: "
                         "30015 - Native error: 30014");
  EXPECT_EQ(P, Old);

  uint8_t* Mid = P + 2;
  E = Raised([&] { MemoryManager.ReallocMem(Mid, true, 20); });
  EXPECT_EQ(E.Message(), "ReallocMem error: Invalid pointer - Native error: 30002"
                         " - Native error: 30014");
  EXPECT_EQ(Mid, P + 2);
  void* Nil = nullptr;
  EXPECT_EQ(Raised([&] { MemoryManager.ReallocMem(Nil, true, 20); }).NativeError(), 30014);

  EXPECT_EQ(MemoryManager.GetMemSize(P), 8);
  EXPECT_EQ(P[7], 7);

  // A damaged guard loses the old block: it is freed and the variable is nil.
  P[8] = 0;
  E = Raised([&] { MemoryManager.ReallocMemZeroed(P, 100); });
  EXPECT_EQ(E.Message(), "ReallocMem error: Memory overrun detected - Native error: 30137"
                         " - Native error: 30014");
  EXPECT_EQ(P, nullptr);
}

TEST(TolvanMemory, QuietFreeForDestructors) {
  uint8_t* P = static_cast<uint8_t*>(MemoryManager.GetMem(16));
  P[16] = 0;
  MemoryManager.FreeAndNillMemNoRaise(P); // damaged guard: freed without a word
  EXPECT_EQ(P, nullptr);
  MemoryManager.FreeAndNillMemNoRaise(P); // nil: nothing to do

  uint8_t* Q = static_cast<uint8_t*>(MemoryManager.GetMem(64));
  uint8_t* Mid = Q + 8;
  MemoryManager.FreeAndNillMemNoRaise(Mid); // not a block: left alone
  EXPECT_EQ(Mid, Q + 8);
  EXPECT_EQ(MemoryManager.GetMemSize(Q), 64);

  std::unique_ptr<uint8_t, TTolvanMemDeleter> Owned(Q);
  Owned.get()[64] = 0; // the owner's destructor must not throw on it either
}

// The live-block count follows every way a block comes and goes, the failing ones included.
TEST(TolvanMemory, LiveBlockCountFollowsEveryPath) {
  const int64_t Start = TTolvanMemoryManager::LiveBlockCount();
  auto Live = [Start] { return TTolvanMemoryManager::LiveBlockCount() - Start; };
  void* A = MemoryManager.GetMem(10);
  void* B = MemoryManager.AllocMem(20);
  EXPECT_EQ(Live(), 2);
  MemoryManager.ReallocMem(A, false, 1 << 22); // turns large: moved to a new allocation
  MemoryManager.ReallocMem(A, true, 16);
  EXPECT_EQ(Live(), 2);
  for (int Step = 0; Step < 2; ++Step) {
    TAllocationFailure Hook(1);
    if (Step == 0)
      EXPECT_THROW(MemoryManager.GetMem(8), ETolvanException);
    else
      EXPECT_THROW(MemoryManager.ReallocMem(B, false, 40), ETolvanException);
  }
  void* Mid = static_cast<uint8_t*>(B) + 4;
  EXPECT_THROW(MemoryManager.FreeAndNillMem(Mid), ETolvanException);
  EXPECT_EQ(Live(), 2);
  static_cast<uint8_t*>(B)[20] = 0; // damaged tail: freed, and reported
  EXPECT_THROW(MemoryManager.FreeAndNillMem(B), ETolvanException);
  EXPECT_EQ(Live(), 1);
  static_cast<uint8_t*>(A)[16] = 0; // damaged tail: a reallocation frees the block
  EXPECT_THROW(MemoryManager.ReallocMem(A, false, 32), ETolvanException);
  EXPECT_EQ(A, nullptr);
  EXPECT_EQ(Live(), 0);
  void* C = MemoryManager.GetMem(8);
  MemoryManager.FreeAndNillMemNoRaise(C);
  EXPECT_EQ(Live(), 0);
}

TEST(TolvanMemory, MoveOverlappingMatchesACopyThroughATemporary) {
  constexpr int N = 64;
  for (int Src : {10, 20, 30}) {
    for (int Dst = 0; Dst + 20 <= N; ++Dst) {
      for (int Count : {-1, 0, 1, 3, 5, 20}) {
        uint8_t Buf[N];
        std::iota(Buf, Buf + N, uint8_t(100));
        uint8_t Want[N];
        std::memcpy(Want, Buf, N);
        if (Count > 0) {
          std::vector<uint8_t> Tmp(Buf + Src, Buf + Src + Count);
          std::memcpy(Want + Dst, Tmp.data(), size_t(Count));
        }
        MemoryManager.MoveOverlapping(Buf + Src, Buf + Dst, Count);
        ASSERT_EQ(std::memcmp(Buf, Want, N), 0) << Src << " " << Dst << " " << Count;
      }
    }
  }
  // The shift by one of five bytes does not smear the first byte over the rest.
  uint8_t B[6] = {1, 2, 3, 4, 5, 0};
  MemoryManager.MoveOverlapping(B, B + 1, 5);
  const uint8_t Shifted[6] = {1, 1, 2, 3, 4, 5};
  EXPECT_EQ(std::memcmp(B, Shifted, 6), 0);
}

TEST(TolvanMemory, SizeClassQuantumAtTheClassBorders) {
  const std::pair<int64_t, int64_t> Cases[] = {{0, 1024},
                                               {10240, 1024},
                                               {10241, 10240},
                                               {102400, 10240},
                                               {102401, 102400},
                                               {1048576, 102400},
                                               {1048577, 1048576},
                                               {10485760, 1048576},
                                               {10485761, 2097152},
                                               {104857600, 2097152},
                                               {104857601, 10485760},
                                               {1073741824, 10485760},
                                               {1073741825, 104857600},
                                               {INT64_MAX, 104857600}};
  for (auto [Size, Step] : Cases)
    EXPECT_EQ(MemoryManager.SizeClassQuantum(Size), Step) << Size;
}

TEST(TolvanMemory, ChooseAllocMethodBorders) {
  const std::pair<int64_t, TTolvanAllocMethod> Cases[] = {
      {14, amHeap},    {726, amHeap},     {727, amGlobalMemory},    {64500, amGlobalMemory},
      {64501, amHeap}, {1048576, amHeap}, {1048577, amGlobalMemory}};
  for (auto [Total, Method] : Cases)
    EXPECT_EQ(MemoryManager.ChooseAllocMethod(Total), Method) << Total;
}

TEST(TolvanMemory, AvailableMemoryAndTempPageCache) {
  const int64_t Real = MemoryManager.GetAvailableMemory();
  EXPECT_GT(Real, 0);
  EXPECT_LE(Real, MemAvailableCap);
  // Start-up derived the page cache from it (the figure moves, so only its bounds are fixed).
  EXPECT_GT(TempPageCacheSize.load(), 0);
  EXPECT_LE(TempPageCacheSize.load(), 52428);

  {
    TAvailableMemoryOverride Small(40960000);
    EXPECT_EQ(MemoryManager.GetAvailableMemory(), 40960000);
    EXPECT_EQ(TempPageCacheSize.load(), 1000);
    {
      TAvailableMemoryOverride Huge(int64_t(64) << 30);
      EXPECT_EQ(MemoryManager.GetAvailableMemory(), 2147483647);
      EXPECT_EQ(TempPageCacheSize.load(), 52428);
    }
    EXPECT_EQ(TempPageCacheSize.load(), 1000);
    SetAvailableMemoryOverride(409600);
    EXPECT_EQ(TempPageCacheSize.load(), 10);
    SetAvailableMemoryOverride(0);
    EXPECT_EQ(TempPageCacheSize.load(), 0);
  }
  EXPECT_EQ(TempPageCacheSize.load(), ComputeTempPageCacheSize());
  EXPECT_GT(MemoryManager.GetAvailableMemory(), 0);
}

// The hook fails exactly the N-th allocation of any kind and leaves a reallocated block intact.
TEST(TolvanMemory, AllocationFailureHook) {
  void* Block = MemoryManager.AllocMem(16);
  {
    TAllocationFailure Hook(3);
    void* A = MemoryManager.GetMem(8);
    void* B = MemoryManager.AllocMem(8);
    EXPECT_FALSE(Hook.Fired());
    EXPECT_EQ(NativeCodeOf([&] { MemoryManager.ReallocMem(Block, true, 4096); }), 30014);
    EXPECT_TRUE(Hook.Fired());
    EXPECT_EQ(MemoryManager.GetMemSize(Block), 16); // the old block stays
    void* C = MemoryManager.GetMem(8);              // only the third failed
    EXPECT_EQ(Hook.Count(), 4);
    for (void* P : {A, B, C})
      MemoryManager.FreeAndNillMemNoRaise(P);
  }
  {
    TAllocationFailure Hook(1);
    EXPECT_EQ(NativeCodeOf([] { MemoryManager.AllocMem(8); }), 30015);
  }
  void* D = MemoryManager.GetMem(8); // the hook ended with its scope
  MemoryManager.FreeAndNillMem(D);
  MemoryManager.FreeAndNillMem(Block);
}
