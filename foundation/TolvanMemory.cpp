#include "foundation/TolvanMemory.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "platform/TolvanMemoryStatus.h"

namespace tolvan {

// A block as it lies in memory. Offsets are from the start of the allocation; the caller's
// pointer P is at offset 16, so the data is 16-byte aligned, and the fields every check relies on
// sit where the engine has always expected them relative to P (size P-9, method P-5, head
// signature P-4, tail signature P+size).
//
//   offset     width  content
//   0          4      bitwise complement of the user size: a second witness that the header is
//                     intact, so a damaged size never sends the tail check astray
//   4          3      unused
//   7          4      user size, unsigned little-endian
//   11         1      TTolvanAllocMethod
//   12         4      head signature 0xACCACCAC
//   16         size   the caller's data
//   16 + size  4      tail signature 0xACCEACCE
//
// The allocation is size + 20 bytes. The 7 bytes in front of the size are what aligning the data
// costs; the size's complement lives in them for free.

namespace {

constexpr int64_t DataOffset = 16;
constexpr int64_t CheckOffset = 16; // before P
constexpr int64_t SizeOffset = 9;   // before P
constexpr int64_t MethodOffset = 5; // before P
constexpr int64_t HeadOffset = 4;   // before P
constexpr int64_t RawOverhead = DataOffset + 4;

static_assert(alignof(std::max_align_t) >= 16, "the heap must hand out 16-byte aligned memory");

// Native codes of this unit.
constexpr int32_t ErrFreeInvalidPointer = 30001;
constexpr int32_t ErrReallocInvalidPointer = 30002;
constexpr int32_t ErrGetMemSizeInvalidPointer = 30005;
constexpr int32_t ErrReallocMem = 30014;
constexpr int32_t ErrGetMem = 30015;
constexpr int32_t ErrMemoryOverrun = 30137;
constexpr int32_t ErrZeroBytes = 30286;

inline uint32_t LoadU32(const uint8_t* Src) {
  uint32_t V;
  std::memcpy(&V, Src, 4);
  return V;
}

inline void StoreU32(uint8_t* Dst, uint32_t V) { std::memcpy(Dst, &V, 4); }

inline uint8_t* RawOf(uint8_t* Data) { return Data - DataOffset; }

// Writes the header and the tail signature of a block whose allocation starts at Raw.
uint8_t* SealBlock(void* Raw, int64_t Size) {
  uint8_t* Data = static_cast<uint8_t*>(Raw) + DataOffset;
  const uint32_t Size32 = static_cast<uint32_t>(Size);
  StoreU32(Data - CheckOffset, ~Size32);
  StoreU32(Data - SizeOffset, Size32);
  Data[-MethodOffset] = TTolvanMemoryManager::ChooseAllocMethod(Size + MemBlockOverhead);
  StoreU32(Data - HeadOffset, MemHeadSignature);
  StoreU32(Data + Size, MemTailSignature);
  return Data;
}

// True when Data is the data pointer of an intact block header.
bool HeaderIsValid(const uint8_t* Data) {
  if (LoadU32(Data - HeadOffset) != MemHeadSignature)
    return false;
  const uint32_t Size = LoadU32(Data - SizeOffset);
  return LoadU32(Data - CheckOffset) == ~Size && Size != 0 && Data[-MethodOffset] <= amGlobalMemory;
}

inline uint32_t UserSize(const uint8_t* Data) { return LoadU32(Data - SizeOffset); }

inline bool TailIsIntact(const uint8_t* Data) {
  return LoadU32(Data + UserSize(Data)) == MemTailSignature;
}

ETolvanException GetMemError(std::string_view Inner) {
  return ETolvanException::CreateFmt(ErrGetMem, SGetMemError, Inner);
}

ETolvanException ReallocError(const ETolvanException& Inner) {
  return ETolvanException::CreateFmt(ErrReallocMem, SReallocMemError, Inner.Message());
}

// The allocation-failure hook of this thread: allocations counted, and the one to fail (0: none).
thread_local int64_t HookCount = 0;
thread_local int64_t HookFailAt = 0;
thread_local bool HookActive = false;

// From this size on, a block that grows by small steps is given slack to grow into.
constexpr int64_t SlackBlockSize = 16384;

// Blocks handed out and not yet freed, for leak checks that span many operations.
std::atomic<int64_t> LiveBlocks{0};

// True when the hook makes this allocation fail.
inline bool HookFails() noexcept {
  if (!HookActive)
    return false;
  return ++HookCount == HookFailAt;
}

// RawSize bytes from the C heap, zero-filled when Zeroed; nil when memory cannot be had. A large
// allocation starts on a huge-page boundary, so that all of it but its tail can have huge pages:
// its first touch then costs a few faults rather than one per 4 KiB.
void* NewRaw(size_t RawSize, bool Zeroed) {
  if (int64_t(RawSize) < LargeBlockAdviceSize)
    return Zeroed ? std::calloc(1, RawSize) : std::malloc(RawSize);
  void* Raw = nullptr;
  if (posix_memalign(&Raw, LargeBlockAlignment, RawSize) != 0)
    return nullptr;
  AdviseLargeBlock(Raw, int64_t(RawSize));
  if (Zeroed)
    std::memset(Raw, 0, RawSize);
  return Raw;
}

// A new block of Size (> 0 or rejected) bytes; zero-filled when Zeroed.
void* NewBlock(int64_t Size, bool Zeroed) {
  if (Size < 0 || Size > MemMaxBlockSize)
    throw GetMemError(SysConst::SRangeError);
  if (HookFails())
    throw GetMemError(SysConst::SOutOfMemory);
  void* Raw = NewRaw(static_cast<size_t>(Size + RawOverhead), Zeroed);
  if (!Raw)
    throw GetMemError(SysConst::SOutOfMemory);
  LiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return SealBlock(Raw, Size);
}

std::atomic<int64_t> AvailableMemoryOverride{-1};

// Start-up of the unit: the temporary page cache follows the machine's memory.
const bool UnitStarted = [] {
  TempPageCacheSize.store(ComputeTempPageCacheSize());
  return true;
}();

} // namespace

void* TTolvanMemoryManager::GetMem(int64_t Size) {
  if (Size == 0)
    throw ETolvanException::Create(ErrZeroBytes, SCannotAllocateZeroBytes);
  return NewBlock(Size, false);
}

void* TTolvanMemoryManager::AllocMem(int64_t Size) {
  if (Size == 0)
    throw ETolvanException::Create(ErrZeroBytes, SCannotAllocateZeroBytes);
  return NewBlock(Size, true);
}

// Every method frees through the C heap here; the recorded method only has to be a known one,
// which HeaderIsValid has made sure of.
void TTolvanMemoryManager::FreeAndNillMem(void*& P) {
  uint8_t* Data = static_cast<uint8_t*>(P);
  if (!Data || !HeaderIsValid(Data))
    throw ETolvanException::Create(ErrFreeInvalidPointer, SInvalidPointer);
  const bool Overrun = !TailIsIntact(Data);
  std::free(RawOf(Data));
  LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  P = nullptr;
  if (Overrun)
    throw ETolvanException::Create(ErrMemoryOverrun, SMemoryOverrun);
}

void TTolvanMemoryManager::FreeAndNillMemNoRaise(void*& P) noexcept {
  uint8_t* Data = static_cast<uint8_t*>(P);
  if (!Data || !HeaderIsValid(Data))
    return;
  std::free(RawOf(Data));
  LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  P = nullptr;
}

// Grows or shrinks in place where the heap can (realloc): the block keeps its contents up to
// min(old, new) either way, and a failed realloc leaves the old block untouched, so the caller's
// variable still holds a valid block after every failure but a damaged tail guard.
void TTolvanMemoryManager::ReallocMem(void*& P, bool ZeroGrowth, int64_t NewSize) {
  uint8_t* Data = static_cast<uint8_t*>(P);
  if (!Data || !HeaderIsValid(Data))
    throw ReallocError(ETolvanException::Create(ErrReallocInvalidPointer, SInvalidPointer));
  if (NewSize == 0)
    throw ReallocError(ETolvanException::Create(ErrZeroBytes, SCannotAllocateZeroBytes));
  if (NewSize < 0 || NewSize > MemMaxBlockSize)
    throw ReallocError(GetMemError(SysConst::SRangeError));
  const int64_t OldSize = UserSize(Data);
  if (!TailIsIntact(Data)) {
    std::free(RawOf(Data));
    LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    P = nullptr;
    throw ReallocError(ETolvanException::Create(ErrMemoryOverrun, SMemoryOverrun));
  }
  if (HookFails())
    throw ReallocError(GetMemError(SysConst::SOutOfMemory));
  const size_t RawSize = static_cast<size_t>(NewSize + RawOverhead);
  // A block that grows by small steps (a stream kept at its exact size grows at every write)
  // grows in place into the slack its allocation was given; a copy per step would make a
  // stream's build quadratic.
  if (NewSize > OldSize && RawSize <= malloc_usable_size(RawOf(Data))) {
    Data = SealBlock(RawOf(Data), NewSize);
    if (ZeroGrowth)
      std::memset(Data + OldSize, 0, static_cast<size_t>(NewSize - OldSize));
    P = Data;
    return;
  }
  // Small steps of a block that is not small: the allocation takes half as much again as slack.
  size_t Wanted = RawSize;
  if (NewSize > OldSize && OldSize >= SlackBlockSize && NewSize - OldSize < OldSize / 8)
    Wanted += std::min<size_t>(RawSize / 2, size_t(256) << 20);
  void* Raw;
  if (OldSize + RawOverhead < LargeBlockAdviceSize && int64_t(Wanted) >= LargeBlockAdviceSize) {
    // A block turning large moves to an aligned allocation (see NewRaw); what it held is small,
    // so the copy is cheap.
    Raw = NewRaw(Wanted, false);
    if (!Raw)
      throw ReallocError(GetMemError(SysConst::SOutOfMemory));
    std::memcpy(Raw, RawOf(Data), static_cast<size_t>(OldSize + DataOffset));
    std::free(RawOf(Data));
  } else {
    Raw = std::realloc(RawOf(Data), Wanted);
    if (!Raw)
      throw ReallocError(GetMemError(SysConst::SOutOfMemory));
    if (NewSize > OldSize)
      AdviseLargeBlock(Raw, int64_t(Wanted));
  }
  Data = SealBlock(Raw, NewSize);
  if (ZeroGrowth && NewSize > OldSize)
    std::memset(Data + OldSize, 0, static_cast<size_t>(NewSize - OldSize));
  P = Data;
}

int64_t TTolvanMemoryManager::LiveBlockCount() noexcept {
  return LiveBlocks.load(std::memory_order_relaxed);
}

int64_t TTolvanMemoryManager::GetMemSize(const void* P) {
  const uint8_t* Data = static_cast<const uint8_t*>(P);
  if (!Data)
    return 0;
  if (!HeaderIsValid(Data))
    throw ETolvanException::Create(ErrGetMemSizeInvalidPointer, SInvalidPointer);
  return UserSize(Data);
}

int64_t TTolvanMemoryManager::GetAvailableMemory() {
  int64_t Bytes = AvailableMemoryOverride.load(std::memory_order_relaxed);
  if (Bytes < 0)
    Bytes = GetAvailablePhysicalMemory();
  return Bytes < MemAvailableCap ? Bytes : MemAvailableCap;
}

// Small blocks and those between about 63 KiB and 1 MiB suit the heap; the rest went to the
// system's global memory, and callers still see which.
TTolvanAllocMethod TTolvanMemoryManager::ChooseAllocMethod(int64_t TotalSize) {
  if (TotalSize <= 726)
    return amHeap;
  if (TotalSize <= 64500)
    return amGlobalMemory;
  if (TotalSize <= 1048576)
    return amHeap;
  return amGlobalMemory;
}

void TTolvanMemoryManager::MoveOverlapping(const void* Source, void* Destination, int32_t Count) {
  if (Count > 0)
    std::memmove(Destination, Source, static_cast<size_t>(Count));
}

int64_t TTolvanMemoryManager::SizeClassQuantum(int64_t Size) {
  if (Size <= 10240)
    return 1024;
  if (Size <= 102400)
    return 10240;
  if (Size <= 1048576)
    return 102400;
  if (Size <= 10485760)
    return 1048576;
  if (Size <= 104857600)
    return 2097152;
  if (Size <= 1073741824)
    return 10485760;
  return 104857600;
}

int32_t ComputeTempPageCacheSize() {
  // The available figure is capped at 2 GiB - 1, so the result always fits.
  return static_cast<int32_t>(TTolvanMemoryManager::GetAvailableMemory() / 10 / 4096);
}

void SetAvailableMemoryOverride(int64_t Bytes) {
  AvailableMemoryOverride.store(Bytes < 0 ? -1 : Bytes);
  TempPageCacheSize.store(ComputeTempPageCacheSize());
}

TAvailableMemoryOverride::TAvailableMemoryOverride(int64_t Bytes)
    : FPrevious(AvailableMemoryOverride.load()) {
  SetAvailableMemoryOverride(Bytes);
}

TAvailableMemoryOverride::~TAvailableMemoryOverride() { SetAvailableMemoryOverride(FPrevious); }

TAllocationFailure::TAllocationFailure(int64_t N) noexcept : FFailAt(N > 0 ? N : 0) {
  HookCount = 0;
  HookFailAt = FFailAt;
  HookActive = true;
}

TAllocationFailure::~TAllocationFailure() {
  HookActive = false;
  HookFailAt = 0;
}

int64_t TAllocationFailure::Count() const noexcept { return HookCount; }

} // namespace tolvan
