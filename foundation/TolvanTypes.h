// TolvanTypes.h: the engine's small containers beside the growable arrays, and the unit's free
// routines.
//
//   TTolvanHashArray       a set of 32-bit keys, each with an optional fixed-size data part; the
//                          relational operators recognise rows already seen with it
//   TTolvanCompressedStreamBlockHeadersArray
//                          the block index of a compressed BLOB: each block's 20-byte header and
//                          the host offset of that header
//   TTolvanBitsArray       a bit array that keeps the count of its set bits, with a stream form;
//                          the page allocation map of the page stores
//   GetBit / SetBit        single bits of a byte buffer (null bitmaps among others)
//   Random                 the process-wide pseudo-random generator
//   MakeUniqueName         the unique suffix of temporary and generated object names
//   WipeString             overwrites a string's characters before it is emptied
//
// Bit order, here and in every null bitmap of the engine: bit i lives in byte i div 8 under mask
// 1 shl (i mod 8), least significant bit first.
//
// Each container owns its storage, which comes from MemoryManager.
//
// Threads: no container takes a lock; its owner serialises access to it. Random and
// MakeUniqueName may be called from any thread: the generator's state is one atomic word.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "classlib/Classes.h"
#include "classlib/Strings.h"

namespace tolvan {

// --- TTolvanHashArray ---------------------------------------------------------------------------

// A set of 32-bit keys. Two entries are the same when their keys are equal; the data part is
// carried along, never compared.
//
// The construction parameters describe a directory of 2^KeySize slots chosen by key bits
// KeyShift .. KeyShift + KeySize - 1, each slot a bucket growing by EntriesPerBucket entries.
// They are kept and validated as given, but the entries live in one open-addressing table
// (linear probing, at most half full, doubled when it fills), so AddIfAbsent is O(1) on average
// whatever the distribution of the keys over the directory slots, and the table allocates only
// when it doubles. The key 0 marks an empty place in the table; an entry with key 0 is kept
// aside.
//
// Memory: 4 bytes per place for the keys, plus DataSize bytes per place when DataSize > 0;
// between 2 and 4 places per entry.
class TTolvanHashArray {
public:
  // Raises 11662 for a KeySize outside 1 .. 31, 11663 for a negative KeyShift or one that puts
  // the slot bits past bit 31, 11665 for a negative DataSize and ERangeError for an
  // EntriesPerBucket below 1. Nothing is allocated then.
  TTolvanHashArray(int32_t DataSize, int32_t EntriesPerBucket, int32_t KeyShift, int32_t KeySize);
  ~TTolvanHashArray();
  TTolvanHashArray(const TTolvanHashArray&) = delete;
  TTolvanHashArray& operator=(const TTolvanHashArray&) = delete;

  int32_t DataSize() const noexcept { return FDataSize; }
  int32_t EntriesPerBucket() const noexcept { return FEntriesPerBucket; }
  int32_t KeyShift() const noexcept { return FKeyShift; }
  int32_t KeySize() const noexcept { return FKeySize; }
  int32_t EntrySize() const noexcept { return 4 + FDataSize; }
  int64_t BucketStep() const noexcept { return int64_t(FEntriesPerBucket) * EntrySize(); }
  uint32_t SlotMask() const noexcept { return uint32_t((uint64_t(1) << FKeySize) - 1); }
  uint32_t KeyMask() const noexcept { return SlotMask() << FKeyShift; }
  int64_t MaxBucketEntries() const noexcept { return int64_t(1) << (32 - FKeySize); }

  // Number of entries.
  int64_t Count() const noexcept { return FCount; }

  // True when Key was added, False when an entry with Key was already there. DataSize bytes of
  // Data are stored with a new key; with Data nil the data part is zero. Data not nil while
  // DataSize is 0 raises 11665 and changes nothing. A growth of the table frees the old blocks
  // through the overrun check: 30137 reports a write past them (the set is intact in its new
  // table, Key not added).
  bool AddIfAbsent(uint32_t Key, const void* Data = nullptr);

  bool Contains(uint32_t Key) const noexcept;
  // The data part stored with Key; nil when Key is absent or DataSize is 0.
  const uint8_t* FindData(uint32_t Key) const noexcept;

private:
  int64_t FindPlace(uint32_t Key) const noexcept; // the key's place or the empty one ending it
  void Grow();
  uint8_t* DataAt(int64_t Place) const noexcept { return FData + Place * FDataSize; }

  int32_t FDataSize;
  int32_t FEntriesPerBucket;
  int32_t FKeyShift;
  int32_t FKeySize;

  uint32_t* FKeys = nullptr; // FCapacity places, 0 = empty
  uint8_t* FData = nullptr;  // FCapacity x FDataSize bytes, or nil when DataSize is 0
  int64_t FCapacity = 0;     // a power of two
  int32_t FHashShift = 0;    // 32 - log2(FCapacity)
  int64_t FUsed = 0;         // occupied places
  int64_t FCount = 0;        // entries, the zero key included
  bool FHasZeroKey = false;
  uint8_t* FZeroData = nullptr; // the zero key's data part
};

// --- TTolvanCompressedStreamBlockHeadersArray -------------------------------------------------

// The header stored in the host stream before each block of a compressed BLOB value.
//
//   offset  width  field
//   0       4      CompressedSize    signed; bytes of compressed data after the header
//   4       4      UncompressedSize  signed; bytes the block holds once decompressed
//   8       4      Crc32             CRC-32 from 0, no inversion, of the uncompressed bytes
//   12      8      Span              signed; 20 + CompressedSize, the distance to the next header
//
// The in-memory form is the stored little-endian form; copy it to and from a buffer with memcpy.
struct __attribute__((packed)) TTolvanCompressedBlockHeader {
  int32_t CompressedSize;
  int32_t UncompressedSize;
  uint32_t Crc32;
  int64_t Span;
};
static_assert(sizeof(TTolvanCompressedBlockHeader) == 20 &&
              alignof(TTolvanCompressedBlockHeader) == 1);

// The block index of a compressed BLOB: Headers()[i] is block i's header and Positions()[i] the
// host offset where that header lies. Both arrays have Capacity() slots, Count() of them in use,
// and grow and shrink together by the growth policy of the growable arrays (TolvanArrays.h), with
// 64-bit deltas starting at 10 / 10 / 10000. Slots brought into use read as zero.
class TTolvanCompressedStreamBlockHeadersArray {
public:
  TTolvanCompressedStreamBlockHeadersArray() = default;
  ~TTolvanCompressedStreamBlockHeadersArray();
  TTolvanCompressedStreamBlockHeadersArray(const TTolvanCompressedStreamBlockHeadersArray&) =
      delete;
  TTolvanCompressedStreamBlockHeadersArray&
  operator=(const TTolvanCompressedStreamBlockHeadersArray&) = delete;

  int64_t Count() const noexcept { return FCount; }
  int64_t Capacity() const noexcept { return FCapacity; }
  int64_t GrowDelta() const noexcept { return FGrowDelta; }
  int64_t ShrinkDelta() const noexcept { return FShrinkDelta; }
  int64_t MaxDelta() const noexcept { return FMaxDelta; }

  // Unchecked access to the Capacity() slots.
  TTolvanCompressedBlockHeader* Headers() noexcept { return FHeaders; }
  const TTolvanCompressedBlockHeader* Headers() const noexcept { return FHeaders; }
  int64_t* Positions() noexcept { return FPositions; }
  const int64_t* Positions() const noexcept { return FPositions; }

  // A negative count raises ERangeError. Blocks given up are freed through the overrun check:
  // 30137 reports a write past them, raised with the new count in place.
  void SetCount(int64_t NewCount);
  void Add(const TTolvanCompressedBlockHeader& Header, int64_t Position);

private:
  struct TOldBlocks {
    void* Headers = nullptr;
    void* Positions = nullptr;
  };
  // Moves the array into new blocks and hands back the old ones for the caller to free.
  TOldBlocks Reallocate(int64_t NewCapacity);
  void Release() noexcept;

  int64_t FGrowDelta = 10;
  int64_t FShrinkDelta = 10;
  int64_t FMaxDelta = 10000;
  int64_t FCapacity = 0;
  TTolvanCompressedBlockHeader* FHeaders = nullptr;
  int64_t* FPositions = nullptr;
  int64_t FCount = 0;
};

// --- TTolvanBitsArray ---------------------------------------------------------------------------

// Stream form, little-endian:
//
//   offset  width                field
//   0       4                    BitCount, signed
//   4       4                    SetBitCount, signed: the number of 1 bits
//   8       ceil(BitCount / 8)   the bit bytes; absent when BitCount is 0
//
// The bits of the last byte beyond BitCount are always 0 in memory (shrinking clears them), so
// growing never brings back a stale 1 and equal arrays save to equal bytes.
class TTolvanBitsArray {
public:
  TTolvanBitsArray() = default;
  ~TTolvanBitsArray();
  TTolvanBitsArray(const TTolvanBitsArray&) = delete;
  TTolvanBitsArray& operator=(const TTolvanBitsArray&) = delete;

  int32_t BitCount() const noexcept { return FBitCount; }
  int32_t SetBitCount() const noexcept { return FSetBitCount; }
  // ceil(BitCount / 8) bytes, or nil when BitCount is 0.
  const uint8_t* Bits() const noexcept { return FBits; }

  // Resizes to NewBitCount bits; new bits are 0. Shrinking recounts SetBitCount over the bits
  // that remain. A negative count raises ERangeError.
  void SetSize(int32_t NewBitCount);

  // An Index outside 0 .. BitCount - 1 raises 10394 (GetBit) or 10395 (SetBit).
  bool GetBit(int32_t Index) const;
  void SetBit(int32_t Index, bool Value);

  // The lowest index from From on whose bit equals Value; False when there is none. A negative
  // From searches from 0.
  bool FindFirst(bool Value, int32_t& Index, int32_t From = 0) const noexcept;

  // The number of 1 bits, counted afresh.
  int32_t CountSet() const noexcept;

  // Writes the stream form: 10398 BitCount, 10427 SetBitCount, 10400 the bytes (10399 when the
  // bytes are missing).
  void SaveToStream(TStream& Stream) const;

  // Reads the stream form and replaces the contents. A damaged form is refused before the
  // array changes: a short read raises 10401 / 10426 / 10402 by field, a BitCount that is
  // negative or needs more bytes than the stream has left raises 10428, and a SetBitCount other
  // than the number of 1 bits read raises 10429. Bits past BitCount in the last byte are cleared.
  // The old bits are freed through the overrun check: 30137 reports a write past them, with the
  // new contents already in place.
  void LoadFromStream(TStream& Stream);

  // Exchanges the contents of two arrays; nothing is allocated.
  void Swap(TTolvanBitsArray& Other) noexcept;

private:
  [[noreturn]] void RaiseInvalidBitNo(int32_t Code, int32_t Index) const;

  uint8_t* FBits = nullptr;
  int32_t FBitCount = 0;
  int32_t FSetBitCount = 0;
};

// --- Free routines ------------------------------------------------------------------------------

// Bit Index of a byte buffer; the caller keeps Index inside the buffer.
inline bool GetBit(int32_t Index, const void* Buffer) noexcept {
  const uint32_t I = uint32_t(Index);
  return (static_cast<const uint8_t*>(Buffer)[I >> 3] >> (I & 7)) & 1;
}

inline void SetBit(bool Value, int32_t Index, void* Buffer) noexcept {
  const uint32_t I = uint32_t(Index);
  uint8_t& Byte = static_cast<uint8_t*>(Buffer)[I >> 3];
  const uint8_t Mask = uint8_t(1u << (I & 7));
  Byte = Value ? uint8_t(Byte | Mask) : uint8_t(Byte & ~Mask);
}

// The process-wide linear congruential generator: each draw steps the seed to
// seed x 134775813 + 1 (mod 2^32) and gives (seed x Range) div 2^32, a value in 0 .. Range - 1
// (0 when Range <= 0). The seed is 0 at process start and the engine never reseeds it, so every
// run draws the same sequence. The step is one atomic exchange: concurrent draws take
// successive seeds, never the same one.
int32_t Random(int32_t Range) noexcept;
// One draw as a fraction in [0, 1): the new seed / 2^32.
long double RandomFraction() noexcept;
// The current seed, and a test hook to set it.
uint32_t RandSeed() noexcept;
void SetRandSeed(uint32_t Seed) noexcept;

// Prefix, then a decimal number, "-" and the decimal id of the calling thread
// ("TEMPORARY_TABLE_3094862118-7"). The number is a fresh 32-bit seed of the generator above
// xor the tick count taken at the first call: the tick makes the names differ between runs, and
// since the seeds do not repeat within 2^32 draws, neither do the numbers, so every name of a
// process is unique whatever its thread. Each call draws once from the generator.
AnsiString MakeUniqueName(std::string_view Prefix);

// Overwrites every character of S (each byte 0xFF) and then empties S. S owns its characters,
// so no other string sees the change.
void WipeString(AnsiString& S) noexcept;
void WipeString(WideString& S) noexcept;

} // namespace tolvan
