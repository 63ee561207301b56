// TolvanPageStores.h: the two stores that keep the bytes of index pages.
//
// TTolvanMemoryPageManager keeps every page in a block of its own; a page borrows its block, so
// reading attaches it and writing a borrowing page costs nothing. Slots (blocks and map bits)
// are added GrowBy at a time and live until the store is closed; a freed number keeps its bytes
// and is the first to be allocated again.
//
// TTolvanTemporaryPageManager keeps the numbers below MemoryLimit in an inner memory store and
// spills the others to a temporary stream, page n at (n - MemoryLimit) x PageSize. The inner part
// fills first; once SlotCount has reached MemoryLimit every new page is spilled, and spilled
// numbers are never allocated again. The spill stream stays in memory (only an explicit resize
// beyond its threshold would move it to a file, and pages are only written).
//
// Both save themselves into a table stream and load back from one. Loading reads and checks the
// whole form before it replaces anything, so a refused form leaves the store as it was.
//
// Ownership: a store owns its blocks, map, spill stream and inner store. Close checks that no
// page is allocated any more (20023 / 20036), then the manager's own check, then frees.
//
// Threads: not thread-safe, like the manager.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanTempStreams.h"
#include "foundation/TolvanTypes.h"
#include "storage/TolvanPageManager.h"

namespace tolvan {

// GrowBy values a stored memory store may carry: a larger one would make the next growth
// allocate that many blocks at once.
inline constexpr int32_t MaxPageStoreGrowBy = 4096;
// The highest spill slot: its byte offset still fits 31 bits.
inline constexpr int32_t MaxSpillSlot = INT32_MAX / TemporaryPageSize;

class TTolvanMemoryPageManager : public TTolvanPageManager {
public:
  TTolvanMemoryPageManager();
  ~TTolvanMemoryPageManager() override;

  const TTolvanBitsArray& AllocationMap() const noexcept { return FAllocationMap; }
  int32_t Capacity() const noexcept { return FCapacity; }
  int32_t GrowBy() const noexcept { return FGrowBy; }
  int32_t HighestPageNo() const noexcept { return FHighestPageNo; }
  // The block of slot Index, 0 .. Capacity - 1.
  uint8_t* Block(int32_t Index) const { return FBlocks.at(size_t(Index)).get(); }

  // Stream form, little-endian; a field that fails or is out of range raises its read code:
  //
  //   offset  width               field            write  read
  //   0       4                   Capacity         10362  10369  >= 0, the map's bit count
  //   4       4                   HighestPageNo    10363  10370  every set bit .. Capacity - 1
  //   8       4                   GrowBy           10364  10371  1 .. MaxPageStoreGrowBy
  //   12      2                   PageSize         10365  10372  4096
  //   14      2                   ReservedWord 0   10366  10373
  //   16      4                   AllocatedCount   10367  10374  the map's set bits
  //   20      var                 AllocationMap, the bit-array form; Capacity bits (10369)
  //   ...     Capacity x 4096     every block, slot 0 first   10368  10375  all present
  //
  // A store with pages allocated or in use refuses to load (20023).
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) override;

  void AttachBuffer(TTolvanPage& Page) override;
  // The lowest free number; with none, the one after HighestPageNo, growing by GrowBy slots.
  void AllocatePage(TTolvanPage& Page) override;
  void FreePage(int32_t PageNo) override;
  // 10392 / 10393 for a number not allocated.
  void ReadPage(TTolvanPage& Page) override;
  void WritePage(TTolvanPage& Page) override;
  bool PageAllocated(int32_t PageNo) const override;
  // 20023 while pages are allocated, then the manager's check; afterwards the store is empty.
  void Close() override;
  std::string_view ClassName() const override { return "TTolvanMemoryPageManager"; }

private:
  friend class TTolvanTemporaryPageManager;
  using TBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

  // A stream form read and checked, before it replaces the store.
  struct TImage {
    TTolvanBitsArray Map;
    int32_t Capacity = 0;
    int32_t HighestPageNo = 0;
    int32_t GrowBy = 0;
    int32_t AllocatedCount = 0;
    std::vector<TBlock> Blocks;
  };

  static void ReadImage(TStream& Stream, TImage& Image);
  // Discards the page objects and takes Image's contents.
  void Adopt(TImage& Image) noexcept;
  void Grow(int32_t NewCapacity);
  void ReleaseStore() noexcept;

  TTolvanBitsArray FAllocationMap;
  int32_t FCapacity = 0;
  int32_t FGrowBy = 50;
  int32_t FHighestPageNo = 0;
  int32_t FFreeHint = 0; // no clear bit lies below it
  std::vector<TBlock> FBlocks;
};

class TTolvanTemporaryPageManager : public TTolvanPageManager {
public:
  // MemoryLimit is TempPageCacheSize as it stands now.
  TTolvanTemporaryPageManager();
  ~TTolvanTemporaryPageManager() override;

  const TTolvanBitsArray& AllocationMap() const noexcept { return FAllocationMap; }
  int32_t SlotCount() const noexcept { return FSlotCount; }
  int32_t MemoryLimit() const noexcept { return FMemoryLimit; }
  TTolvanTemporaryStream* SpillStream() const noexcept { return FSpillStream.get(); }
  const TTolvanMemoryPageManager& InnerStore() const noexcept { return FInnerStore; }

  // Stream form, little-endian; a field that fails or is out of range raises its read code:
  //
  //   width   field                                  write  read
  //   var     InnerStore in the memory-store form
  //   var     AllocationMap, the bit-array form; SlotCount bits (11202)
  //   4       SlotCount                              11196  11202
  //   4       MemoryLimit                            11197  11203  >= 0; the inner map equals
  //                                                                the outer one below it; at
  //                                                                most MaxSpillSlot + 1 spilled
  //   2       PageSize                               11198  11204  4096
  //   2       ReservedWord 0                         11199  11205
  //   4       AllocatedCount                         11200  11206  the map's set bits
  //   8       N, bytes of the spill stream           11201  11207  0 .. spilled slots x 4096
  //   N       the spill stream's bytes
  //
  // Loading replaces the spill stream by the N bytes (none when N is 0). A store with pages
  // allocated or in use refuses to load (20036).
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) override;

  // A reused number borrows its inner block below MemoryLimit, else gets a fresh private buffer.
  void AttachBuffer(TTolvanPage& Page) override;
  // A spill offset beyond 31 bits raises EIntOverflow before anything changes.
  void AllocatePage(TTolvanPage& Page) override;
  void FreePage(int32_t PageNo) override;
  // 10396 / 10397 for a number not allocated; a spilled page the spill stream lacks raises the
  // stream's read error.
  void ReadPage(TTolvanPage& Page) override;
  void WritePage(TTolvanPage& Page) override;
  bool PageAllocated(int32_t PageNo) const override;
  // 20036 while pages are allocated, then the manager's check; afterwards the store is empty.
  void Close() override;
  std::string_view ClassName() const override { return "TTolvanTemporaryPageManager"; }

private:
  int64_t SpillOffset(int32_t PageNo) const noexcept;

  TTolvanBitsArray FAllocationMap;
  int32_t FSlotCount = 0;
  std::unique_ptr<TTolvanTemporaryStream> FSpillStream;
  int32_t FMemoryLimit;
  TTolvanMemoryPageManager FInnerStore;
};

} // namespace tolvan
