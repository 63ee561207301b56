// TolvanMemory.h: the engine's one allocator.
//
// Every engine buffer comes from MemoryManager. A block carries a guard before and after the
// caller's bytes; freeing a block checks both, so a wrong pointer is refused and a write past the
// end is reported when the block is freed, not when the damage shows. Whoever holds a block's
// pointer owns the block and frees it through FreeAndNillMem (or FreeAndNillMemNoRaise in a
// destructor, which must not throw).
//
// Besides blocks the unit gives the available physical memory, a byte move safe for any overlap
// and the growth step of growing buffers. Its start-up sets TempPageCacheSize from the available
// memory.
//
// Threads: the manager keeps no state that its operations change but an atomic count of live
// blocks, and takes no lock; any thread
// may allocate and free at any time. A block belongs to whoever holds its pointer: two threads
// must not free or reallocate the same block.
#pragma once

#include <cstdint>

namespace tolvan {

// How a block was obtained. The choice below never makes amVirtualMemory; here every kind comes
// from the C++ heap, but the byte is still recorded in the block.
enum TTolvanAllocMethod : uint8_t {
  amHeap = 0,
  amVirtualMemory = 1,
  amGlobalMemory = 2,
};

inline constexpr uint32_t MemHeadSignature = 0xACCACCAC;
inline constexpr uint32_t MemTailSignature = 0xACCEACCE;
// Bytes a block needs beyond the caller's: size, method and head signature in front, tail
// signature behind. ChooseAllocMethod is given the user size plus this.
inline constexpr int64_t MemBlockOverhead = 13;
// The largest user size a block can have: the user size and its 13 bytes fit in 32 bits.
inline constexpr int64_t MemMaxBlockSize = int64_t(UINT32_MAX) - MemBlockOverhead;
// GetAvailableMemory never reports more than this (2 GiB - 1).
inline constexpr int64_t MemAvailableCap = INT32_MAX;

class TTolvanMemoryManager {
public:
  constexpr TTolvanMemoryManager() = default;
  TTolvanMemoryManager(const TTolvanMemoryManager&) = delete;
  TTolvanMemoryManager& operator=(const TTolvanMemoryManager&) = delete;

  // A new block of Size bytes, contents undefined, its data 16-byte aligned. Size 0 raises
  // 30286; a size that does not fit or memory that cannot be had raises 30015.
  static void* GetMem(int64_t Size);
  // GetMem with the data zero-filled.
  static void* AllocMem(int64_t Size);

  // Checks and frees the block and sets P to nil. A pointer that is not a block's (nil
  // included) raises 30001 and frees nothing. A damaged tail guard raises 30137 after the block
  // was freed and P set to nil: do not free it again.
  static void FreeAndNillMem(void*& P);
  template <class T> static void FreeAndNillMem(T*& P);

  // For destructors and other places that must not throw: frees a valid block (ignoring a
  // damaged tail guard) and sets P to nil. Nil and a pointer that is not a block's are left
  // alone.
  static void FreeAndNillMemNoRaise(void*& P) noexcept;
  template <class T> static void FreeAndNillMemNoRaise(T*& P) noexcept;

  // Replaces P's block by one of NewSize bytes keeping min(old, new) bytes; with ZeroGrowth the
  // bytes past the old size are zero. Every failure raises 30014 carrying the inner message.
  // When the old block had a damaged tail guard it is freed and P is nil; after any other
  // failure P still holds the old block, unchanged.
  static void ReallocMem(void*& P, bool ZeroGrowth, int64_t NewSize);
  template <class T> static void ReallocMem(T*& P, bool ZeroGrowth, int64_t NewSize);
  static void ReallocMemZeroed(void*& P, int64_t NewSize) { ReallocMem(P, true, NewSize); }
  template <class T> static void ReallocMemZeroed(T*& P, int64_t NewSize) {
    ReallocMem(P, true, NewSize);
  }

  // Blocks allocated and not yet freed, over all threads: a check that a run of operations gave
  // back what it took.
  static int64_t LiveBlockCount() noexcept;

  // The user size of P's block; nil gives 0, a pointer that is not a block's raises 30005.
  static int64_t GetMemSize(const void* P);

  // Available physical memory in bytes, at most MemAvailableCap.
  static int64_t GetAvailableMemory();

  // The method for a block of TotalSize bytes (user size + MemBlockOverhead).
  static TTolvanAllocMethod ChooseAllocMethod(int64_t TotalSize);

  // Copies Count bytes from Source to Destination, correct for any overlap; Count <= 0 copies
  // nothing.
  static void MoveOverlapping(const void* Source, void* Destination, int32_t Count);

  // The step by which a growing buffer of Size bytes is enlarged.
  static int64_t SizeClassQuantum(int64_t Size);
};

// The single instance; nothing creates a second one. Stateless, so usable from any static
// initialiser.
inline constinit TTolvanMemoryManager MemoryManager;

// Deleter for std::unique_ptr over engine blocks.
struct TTolvanMemDeleter {
  void operator()(void* P) const noexcept { TTolvanMemoryManager::FreeAndNillMemNoRaise(P); }
};

// Frees an engine block on the way out unless released: a new block stays owned until the
// step that takes it over has succeeded.
struct TTolvanBlockGuard {
  void* P;
  ~TTolvanBlockGuard() { TTolvanMemoryManager::FreeAndNillMemNoRaise(P); }
  void* Release() noexcept {
    void* R = P;
    P = nullptr;
    return R;
  }
};

// Start-up figure of TempPageCacheSize: GetAvailableMemory / 10 / 4096.
int32_t ComputeTempPageCacheSize();

// Test hook: makes GetAvailableMemory report Bytes (capped like the real figure) and sets
// TempPageCacheSize again as start-up does, so memory-dependent limits can be tried on a small
// scale. A negative Bytes returns to the machine's figure.
void SetAvailableMemoryOverride(int64_t Bytes);

// Scoped form of the hook: restores the previous figure and TempPageCacheSize when it ends.
class TAvailableMemoryOverride {
public:
  explicit TAvailableMemoryOverride(int64_t Bytes);
  ~TAvailableMemoryOverride();
  TAvailableMemoryOverride(const TAvailableMemoryOverride&) = delete;
  TAvailableMemoryOverride& operator=(const TAvailableMemoryOverride&) = delete;

private:
  int64_t FPrevious;
};

// Test hook: the N-th allocation this thread asks of the manager from now on (GetMem, AllocMem or
// a ReallocMem) fails as if memory had run out, so that a test can make every allocation of an
// operation fail in turn. One hook per thread at a time; the count stops when the scope ends.
class TAllocationFailure {
public:
  // N >= 1; N <= 0 counts allocations without failing any.
  explicit TAllocationFailure(int64_t N) noexcept;
  ~TAllocationFailure();
  TAllocationFailure(const TAllocationFailure&) = delete;
  TAllocationFailure& operator=(const TAllocationFailure&) = delete;

  // Allocations asked for since the hook began, the failed one included.
  int64_t Count() const noexcept;
  // Whether the N-th allocation came (and failed).
  bool Fired() const noexcept { return Count() >= FFailAt && FFailAt > 0; }

private:
  int64_t FFailAt;
};

// Typed forms: the caller's variable follows the untyped one on every path, failure included.

template <class T> void TTolvanMemoryManager::FreeAndNillMem(T*& P) {
  void* V = P;
  try {
    FreeAndNillMem(V);
  } catch (...) {
    P = static_cast<T*>(V);
    throw;
  }
  P = nullptr;
}

template <class T> void TTolvanMemoryManager::FreeAndNillMemNoRaise(T*& P) noexcept {
  void* V = P;
  FreeAndNillMemNoRaise(V);
  P = static_cast<T*>(V);
}

template <class T> void TTolvanMemoryManager::ReallocMem(T*& P, bool ZeroGrowth, int64_t NewSize) {
  void* V = P;
  try {
    ReallocMem(V, ZeroGrowth, NewSize);
  } catch (...) {
    P = static_cast<T*>(V);
    throw;
  }
  P = static_cast<T*>(V);
}

} // namespace tolvan
