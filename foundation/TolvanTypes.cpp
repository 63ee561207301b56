#include "foundation/TolvanTypes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStreams.h"
#include "platform/TolvanPlatform.h"

namespace tolvan {

static_assert(std::endian::native == std::endian::little,
              "stream forms are written from the in-memory little-endian values");

namespace {

constexpr int32_t ErrInvalidKeySize = 11662;
constexpr int32_t ErrInvalidKeyShift = 11663;
constexpr int32_t ErrHashArrayFull = 11664;
constexpr int32_t ErrInvalidDataSize = 11665;

constexpr int32_t ErrGetBitIndex = 10394;
constexpr int32_t ErrSetBitIndex = 10395;
constexpr int32_t ErrWriteBitCount = 10398;
constexpr int32_t ErrNilBits = 10399;
constexpr int32_t ErrWriteBits = 10400;
constexpr int32_t ErrReadBitCount = 10401;
constexpr int32_t ErrReadBits = 10402;
constexpr int32_t ErrReadSetBitCount = 10426;
constexpr int32_t ErrWriteSetBitCount = 10427;
constexpr int32_t ErrInvalidBitCount = 10428;
constexpr int32_t ErrSetBitCountMismatch = 10429;

using TBlockPtr = std::unique_ptr<void, TTolvanMemDeleter>;

// Frees two blocks a container has just replaced, through the checked path: an overrun of either
// raises 30137 once both are gone (the container already holds its new blocks).
void FreeReplacedBlocks(void* A, void* B) {
  try {
    if (A)
      TTolvanMemoryManager::FreeAndNillMem(A);
  } catch (...) {
    TTolvanMemoryManager::FreeAndNillMemNoRaise(B);
    throw;
  }
  if (B)
    TTolvanMemoryManager::FreeAndNillMem(B);
}

} // namespace

// --- TTolvanHashArray ---------------------------------------------------------------------------

namespace {

// The table stays within one memory block: 2^29 places of 4 bytes is the largest power of two
// the memory manager serves. There it fills up to 7/8 before refusing more entries.
constexpr int64_t HashMaxPlaces = int64_t(1) << 29;
constexpr int64_t HashFullLimit = HashMaxPlaces / 8 * 7;
constexpr int64_t HashMinPlaces = 16;
constexpr int64_t HashMaxInitialPlaces = int64_t(1) << 16;

// Fibonacci hashing: the top bits of the product depend on every key bit, so keys that differ
// only in high bits (257, 513, ...) still spread over the table.
inline int64_t HashPlace(uint32_t Key, int32_t Shift) noexcept {
  return int64_t((Key * 0x9E3779B1u) >> Shift);
}

} // namespace

TTolvanHashArray::TTolvanHashArray(int32_t DataSize, int32_t EntriesPerBucket, int32_t KeyShift,
                                   int32_t KeySize)
    : FDataSize(DataSize), FEntriesPerBucket(EntriesPerBucket), FKeyShift(KeyShift),
      FKeySize(KeySize) {
  if (KeySize <= 0 || KeySize >= 32)
    throw ETolvanException::CreateFmt(ErrInvalidKeySize, SInvalidKeySize, KeySize, 32);
  if (KeyShift < 0 || KeyShift > 32 - KeySize)
    throw ETolvanException::CreateFmt(ErrInvalidKeyShift, SInvalidKeyShift, KeyShift, 32 - KeySize);
  if (DataSize < 0)
    throw ETolvanException::CreateFmt(ErrInvalidDataSize, SInvalidDataSize, DataSize);
  if (EntriesPerBucket < 1)
    throw ERangeError(std::string(SysConst::SRangeError));

  const int64_t Places = std::clamp(int64_t(1) << KeySize, HashMinPlaces, HashMaxInitialPlaces);
  TBlockPtr Keys(TTolvanMemoryManager::AllocMem(Places * 4));
  if (FDataSize > 0)
    FData = static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(Places * FDataSize));
  FKeys = static_cast<uint32_t*>(Keys.release());
  FCapacity = Places;
  FHashShift = 32 - std::countr_zero(uint64_t(Places));
}

TTolvanHashArray::~TTolvanHashArray() {
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FKeys);
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FData);
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FZeroData);
}

int64_t TTolvanHashArray::FindPlace(uint32_t Key) const noexcept {
  const int64_t Mask = FCapacity - 1;
  int64_t P = HashPlace(Key, FHashShift);
  while (FKeys[P] != Key && FKeys[P] != 0)
    P = (P + 1) & Mask;
  return P;
}

bool TTolvanHashArray::Contains(uint32_t Key) const noexcept {
  if (Key == 0)
    return FHasZeroKey;
  return FKeys[FindPlace(Key)] == Key;
}

const uint8_t* TTolvanHashArray::FindData(uint32_t Key) const noexcept {
  if (FDataSize == 0)
    return nullptr;
  if (Key == 0)
    return FHasZeroKey ? FZeroData : nullptr;
  const int64_t P = FindPlace(Key);
  return FKeys[P] == Key ? DataAt(P) : nullptr;
}

bool TTolvanHashArray::AddIfAbsent(uint32_t Key, const void* Data) {
  // Refused before anything is stored, so a failed call never leaves a key behind.
  if (Data && FDataSize <= 0)
    throw ETolvanException::CreateFmt(ErrInvalidDataSize, SInvalidDataSize, FDataSize);

  if (Key == 0) {
    if (FHasZeroKey)
      return false;
    if (FDataSize > 0) {
      if (!FZeroData)
        FZeroData = static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(FDataSize));
      if (Data)
        std::memcpy(FZeroData, Data, size_t(FDataSize));
      else
        std::memset(FZeroData, 0, size_t(FDataSize));
    }
    FHasZeroKey = true;
    ++FCount;
    return true;
  }

  int64_t P = FindPlace(Key);
  if (FKeys[P] == Key)
    return false;
  if ((FUsed + 1) * 2 > FCapacity) {
    Grow();
    P = FindPlace(Key);
  }
  FKeys[P] = Key;
  if (FDataSize > 0) {
    if (Data)
      std::memcpy(DataAt(P), Data, size_t(FDataSize));
    else
      std::memset(DataAt(P), 0, size_t(FDataSize));
  }
  ++FUsed;
  ++FCount;
  return true;
}

// Doubles the table and moves every entry to its place in the new one. The new storage is
// complete before the old is freed, so a failure leaves the set as it was; the old blocks go
// through the overrun check, and a write past them is reported (30137) with the set already
// in its new table.
void TTolvanHashArray::Grow() {
  if (FCapacity >= HashMaxPlaces) {
    if (FUsed + 1 > HashFullLimit)
      throw ETolvanException::CreateFmt(ErrHashArrayFull, SInvalidCount, FUsed + 1, HashFullLimit);
    return;
  }
  const int64_t NewCapacity = FCapacity * 2;
  const int32_t NewShift = FHashShift - 1;
  TBlockPtr KeysBlock(TTolvanMemoryManager::AllocMem(NewCapacity * 4));
  TBlockPtr DataBlock;
  if (FDataSize > 0)
    DataBlock.reset(TTolvanMemoryManager::GetMem(NewCapacity * FDataSize));

  uint32_t* NewKeys = static_cast<uint32_t*>(KeysBlock.get());
  uint8_t* NewData = static_cast<uint8_t*>(DataBlock.get());
  const int64_t Mask = NewCapacity - 1;
  for (int64_t I = 0; I < FCapacity; ++I) {
    const uint32_t Key = FKeys[I];
    if (Key == 0)
      continue;
    int64_t P = HashPlace(Key, NewShift);
    while (NewKeys[P] != 0)
      P = (P + 1) & Mask;
    NewKeys[P] = Key;
    if (NewData)
      std::memcpy(NewData + P * FDataSize, DataAt(I), size_t(FDataSize));
  }

  void* const OldKeys = FKeys;
  void* const OldData = FData;
  FKeys = static_cast<uint32_t*>(KeysBlock.release());
  FData = static_cast<uint8_t*>(DataBlock.release());
  FCapacity = NewCapacity;
  FHashShift = NewShift;
  FreeReplacedBlocks(OldKeys, OldData);
}

// --- TTolvanCompressedStreamBlockHeadersArray -------------------------------------------------

TTolvanCompressedStreamBlockHeadersArray::~TTolvanCompressedStreamBlockHeadersArray() { Release(); }

void TTolvanCompressedStreamBlockHeadersArray::Release() noexcept {
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FHeaders);
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FPositions);
  FCount = FCapacity = 0;
}

// The growth policy of the growable arrays, on 64-bit counts and deltas. Blocks given up are
// freed once the array stands in its new ones, through the overrun check.
void TTolvanCompressedStreamBlockHeadersArray::SetCount(int64_t NewCount) {
  if (NewCount < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
  TOldBlocks Old;
  if (NewCount == 0) {
    Old = {FHeaders, FPositions};
    FHeaders = nullptr;
    FPositions = nullptr;
    FCapacity = 0;
  } else if (NewCount > FCapacity) {
    const int64_t Grow = FGrowDelta > FMaxDelta / 2 ? FMaxDelta : FGrowDelta * 2;
    const int64_t Stepped = FCapacity + Grow;
    Old = Reallocate(Stepped > NewCount ? Stepped : NewCount);
    FGrowDelta = Grow;
  } else if (NewCount < FCount && FCapacity - NewCount > FShrinkDelta) {
    const int64_t Shrink = FShrinkDelta > FMaxDelta / 2 ? FMaxDelta : FShrinkDelta * 2;
    Old = Reallocate(NewCount);
    FShrinkDelta = Shrink;
  } else if (NewCount > FCount) {
    // Slots given up by a smaller count come back cleared, like new ones.
    std::memset(static_cast<void*>(FHeaders + FCount), 0,
                sizeof(TTolvanCompressedBlockHeader) * size_t(NewCount - FCount));
    std::memset(FPositions + FCount, 0, sizeof(int64_t) * size_t(NewCount - FCount));
  }
  FCount = NewCount;
  FreeReplacedBlocks(Old.Headers, Old.Positions);
}

void TTolvanCompressedStreamBlockHeadersArray::Add(const TTolvanCompressedBlockHeader& Header,
                                                   int64_t Position) {
  SetCount(FCount + 1);
  FHeaders[FCount - 1] = Header;
  FPositions[FCount - 1] = Position;
}

// Both arrays get NewCapacity slots, the kept ones unchanged and new ones zero. The new blocks
// are complete before the old ones are handed back, so a failure leaves the array as it was.
TTolvanCompressedStreamBlockHeadersArray::TOldBlocks
TTolvanCompressedStreamBlockHeadersArray::Reallocate(int64_t NewCapacity) {
  constexpr int64_t HeaderSize = sizeof(TTolvanCompressedBlockHeader);
  if (NewCapacity > MemMaxBlockSize / HeaderSize) // refused by the memory manager's own error
    NewCapacity = MemMaxBlockSize;
  const int64_t Keep = std::min(FCount, NewCapacity);
  TBlockPtr Headers(TTolvanMemoryManager::AllocMem(NewCapacity * HeaderSize));
  TBlockPtr Positions(TTolvanMemoryManager::AllocMem(NewCapacity * int64_t(sizeof(int64_t))));
  if (Keep > 0) {
    std::memcpy(Headers.get(), FHeaders, size_t(Keep * HeaderSize));
    std::memcpy(Positions.get(), FPositions, size_t(Keep) * sizeof(int64_t));
  }
  const TOldBlocks Old{FHeaders, FPositions};
  FHeaders = static_cast<TTolvanCompressedBlockHeader*>(Headers.release());
  FPositions = static_cast<int64_t*>(Positions.release());
  FCapacity = NewCapacity;
  return Old;
}

// --- TTolvanBitsArray ---------------------------------------------------------------------------

namespace {

inline int64_t BytesForBits(int64_t BitCount) noexcept { return (BitCount + 7) / 8; }

// Clears the bits of the last byte that lie at or past BitCount.
inline void ClearPadding(uint8_t* Bits, int32_t BitCount) noexcept {
  if (BitCount % 8 != 0)
    Bits[BitCount / 8] &= uint8_t((1u << (BitCount % 8)) - 1);
}

// The 1 bits of Bytes bytes whose padding is clear.
int32_t CountOnes(const uint8_t* Bits, int64_t Bytes) noexcept {
  int64_t Ones = 0;
  int64_t I = 0;
  for (; I + 8 <= Bytes; I += 8) {
    uint64_t Word;
    std::memcpy(&Word, Bits + I, 8);
    Ones += std::popcount(Word);
  }
  for (; I < Bytes; ++I)
    Ones += std::popcount(unsigned(Bits[I]));
  return int32_t(Ones);
}

} // namespace

TTolvanBitsArray::~TTolvanBitsArray() { TTolvanMemoryManager::FreeAndNillMemNoRaise(FBits); }

void TTolvanBitsArray::SetSize(int32_t NewBitCount) {
  if (NewBitCount < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
  if (NewBitCount == 0) {
    uint8_t* Old = FBits;
    FBits = nullptr;
    FBitCount = FSetBitCount = 0;
    if (Old)
      TTolvanMemoryManager::FreeAndNillMem(Old);
    return;
  }
  const int64_t NewBytes = BytesForBits(NewBitCount);
  if (!FBits) {
    FBits = static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(NewBytes));
  } else if (NewBytes != BytesForBits(FBitCount)) {
    try {
      TTolvanMemoryManager::ReallocMemZeroed(FBits, NewBytes);
    } catch (...) {
      if (!FBits) // the old block had a damaged guard and is gone
        FBitCount = FSetBitCount = 0;
      throw;
    }
  }
  if (NewBitCount < FBitCount) {
    ClearPadding(FBits, NewBitCount);
    FBitCount = NewBitCount;
    FSetBitCount = CountSet();
  } else {
    FBitCount = NewBitCount;
  }
}

void TTolvanBitsArray::RaiseInvalidBitNo(int32_t Code, int32_t Index) const {
  throw ETolvanException::CreateFmt(Code, SInvalidBitNo, Index, FBitCount);
}

bool TTolvanBitsArray::GetBit(int32_t Index) const {
  if (Index < 0 || Index >= FBitCount)
    RaiseInvalidBitNo(ErrGetBitIndex, Index);
  return tolvan::GetBit(Index, FBits);
}

void TTolvanBitsArray::SetBit(int32_t Index, bool Value) {
  if (Index < 0 || Index >= FBitCount)
    RaiseInvalidBitNo(ErrSetBitIndex, Index);
  if (tolvan::GetBit(Index, FBits) == Value)
    return;
  FSetBitCount += Value ? 1 : -1;
  tolvan::SetBit(Value, Index, FBits);
}

// Word by word: the page stores look for the first clear bit on every page they allocate.
bool TTolvanBitsArray::FindFirst(bool Value, int32_t& Index, int32_t From) const noexcept {
  if (From < 0)
    From = 0;
  if (From >= FBitCount)
    return false;
  const int64_t Bytes = BytesForBits(FBitCount);
  // A byte or word holds a match when it differs from all-mismatching bits.
  const uint64_t Miss = Value ? 0 : ~uint64_t(0);
  int64_t I = From / 8;
  int64_t Found = -1;
  // The first byte counts only from From's bit on.
  const unsigned First = (FBits[I] ^ unsigned(uint8_t(Miss))) & (0xFFu << (From & 7)) & 0xFFu;
  if (First != 0)
    Found = I * 8 + std::countr_zero(First);
  ++I;
  for (; Found < 0 && I + 8 <= Bytes; I += 8) {
    uint64_t Word;
    std::memcpy(&Word, FBits + I, 8);
    if (Word != Miss)
      Found = I * 8 + std::countr_zero(Word ^ Miss);
  }
  for (; Found < 0 && I < Bytes; ++I) {
    const unsigned Byte = FBits[I] ^ unsigned(uint8_t(Miss));
    if (Byte != 0)
      Found = I * 8 + std::countr_zero(Byte);
  }
  // A clear bit found in the padding of the last byte lies past the array.
  if (Found < 0 || Found >= FBitCount)
    return false;
  Index = int32_t(Found);
  return true;
}

int32_t TTolvanBitsArray::CountSet() const noexcept {
  return FBits ? CountOnes(FBits, BytesForBits(FBitCount)) : 0;
}

void TTolvanBitsArray::SaveToStream(TStream& Stream) const {
  WriteStreamBuffer(&FBitCount, 4, Stream, ErrWriteBitCount);
  WriteStreamBuffer(&FSetBitCount, 4, Stream, ErrWriteSetBitCount);
  if (FBitCount > 0) {
    if (!FBits)
      throw ETolvanException::Create(ErrNilBits, SNilPointerOccurred);
    WriteStreamBuffer(FBits, BytesForBits(FBitCount), Stream, ErrWriteBits);
  }
}

// The allocation map of every table comes through here, so nothing read is trusted: the count
// is checked against the bytes left before anything is allocated, the bits are read into a
// block of their own, and the array takes them only once the count of set bits is confirmed.
void TTolvanBitsArray::LoadFromStream(TStream& Stream) {
  int32_t NewBitCount = 0;
  int32_t NewSetBitCount = 0;
  ReadStreamBuffer(&NewBitCount, 4, Stream, ErrReadBitCount);
  ReadStreamBuffer(&NewSetBitCount, 4, Stream, ErrReadSetBitCount);

  // Any size a stream reports is taken without overflow: one of at least 2^28 bytes left has
  // room for every count.
  const int64_t Size = Stream.Size();
  const int64_t Pos = Stream.Position();
  const int64_t Left = Pos >= 0 && Size > Pos ? Size - Pos : 0;
  constexpr int32_t MaxCount = std::numeric_limits<int32_t>::max();
  const int64_t MaxBits = Left > MaxCount / 8 ? MaxCount : Left * 8;
  if (NewBitCount < 0 || NewBitCount > MaxBits)
    throw ETolvanException::CreateFmt(ErrInvalidBitCount, SInvalidCount, NewBitCount, MaxBits);

  TBlockPtr Block;
  int32_t Counted = 0;
  if (NewBitCount > 0) {
    const int64_t Bytes = BytesForBits(NewBitCount);
    Block.reset(TTolvanMemoryManager::AllocMem(Bytes));
    uint8_t* Bits = static_cast<uint8_t*>(Block.get());
    ReadStreamBuffer(Bits, Bytes, Stream, ErrReadBits);
    // Forms saved before the padding was kept clear may carry stale bits there.
    ClearPadding(Bits, NewBitCount);
    Counted = CountOnes(Bits, Bytes);
  }
  if (Counted != NewSetBitCount)
    throw ETolvanException::CreateFmt(ErrSetBitCountMismatch, SInvalidSetBitCount, NewSetBitCount,
                                      Counted);

  // The old bits go through the overrun check once the array holds the new ones.
  void* const Old = FBits;
  FBits = static_cast<uint8_t*>(Block.release());
  FBitCount = NewBitCount;
  FSetBitCount = NewSetBitCount;
  FreeReplacedBlocks(Old, nullptr);
}

void TTolvanBitsArray::Swap(TTolvanBitsArray& Other) noexcept {
  std::swap(FBits, Other.FBits);
  std::swap(FBitCount, Other.FBitCount);
  std::swap(FSetBitCount, Other.FSetBitCount);
}

// --- Random, MakeUniqueName, WipeString ---------------------------------------------------------

namespace {

std::atomic<uint32_t> GRandSeed{0};

// One step of the generator. A single atomic word has one order of modification, so relaxed
// exchanges suffice for every draw to take its own seed.
uint32_t NextRandSeed() noexcept {
  uint32_t Old = GRandSeed.load(std::memory_order_relaxed);
  uint32_t New;
  do {
    New = Old * 134775813u + 1u;
  } while (!GRandSeed.compare_exchange_weak(Old, New, std::memory_order_relaxed));
  return New;
}

void AppendDecimal(AnsiString& S, uint32_t Value) {
  char Digits[10];
  const auto Result = std::to_chars(Digits, Digits + sizeof Digits, Value);
  S.append(Digits, Result.ptr);
}

} // namespace

int32_t Random(int32_t Range) noexcept {
  const uint32_t Seed = NextRandSeed();
  if (Range <= 0)
    return 0;
  return int32_t((uint64_t(Seed) * uint32_t(Range)) >> 32);
}

long double RandomFraction() noexcept {
  return static_cast<long double>(NextRandSeed()) / 4294967296.0L;
}

uint32_t RandSeed() noexcept { return GRandSeed.load(std::memory_order_relaxed); }

void SetRandSeed(uint32_t Seed) noexcept { GRandSeed.store(Seed, std::memory_order_relaxed); }

AnsiString MakeUniqueName(std::string_view Prefix) {
  static const uint32_t StartTick = GetTickCount();
  AnsiString Name;
  Name.reserve(Prefix.size() + 22);
  Name.append(Prefix);
  AppendDecimal(Name, NextRandSeed() ^ StartTick);
  Name += '-';
  AppendDecimal(Name, GetCurrentThreadId());
  return Name;
}

// The writes go through a volatile pointer so that they are not dropped as dead stores before
// the string is emptied.
void WipeString(AnsiString& S) noexcept {
  if (S.empty())
    return;
  volatile char* P = S.data();
  for (size_t I = 0; I < S.size(); ++I)
    P[I] = char(0xFF);
  S.clear();
}

void WipeString(WideString& S) noexcept {
  if (S.empty())
    return;
  volatile char16_t* P = S.data();
  for (size_t I = 0; I < S.size(); ++I)
    P[I] = char16_t(0xFFFF);
  S.clear();
}

} // namespace tolvan
