#include "storage/TolvanPageStores.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "classlib/SysUtils.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStreams.h"

namespace tolvan {

static_assert(MemoryPageSize <= UINT16_MAX && TemporaryPageSize <= UINT16_MAX,
              "the manager keeps its page size in 16 bits");
static_assert(std::endian::native == std::endian::little,
              "stream fields are written from the in-memory little-endian values");

namespace {

constexpr int32_t ErrMemoryNotReleased = 20023;
constexpr int32_t ErrTemporaryNotReleased = 20036;
constexpr int32_t ErrPageBitAlreadySet = 20037;
constexpr int32_t ErrNilPageBuffer = 20038;

constexpr int32_t ErrMemoryReadUnallocated = 10392;
constexpr int32_t ErrMemoryWriteUnallocated = 10393;
constexpr int32_t ErrTemporaryReadUnallocated = 10396;
constexpr int32_t ErrTemporaryWriteUnallocated = 10397;

constexpr int32_t ErrWriteCapacity = 10362;
constexpr int32_t ErrWriteHighestPageNo = 10363;
constexpr int32_t ErrWriteGrowBy = 10364;
constexpr int32_t ErrWriteMemoryPageSize = 10365;
constexpr int32_t ErrWriteMemoryReserved = 10366;
constexpr int32_t ErrWriteMemoryAllocatedCount = 10367;
constexpr int32_t ErrWriteBlock = 10368;
constexpr int32_t ErrReadCapacity = 10369;
constexpr int32_t ErrReadHighestPageNo = 10370;
constexpr int32_t ErrReadGrowBy = 10371;
constexpr int32_t ErrReadMemoryPageSize = 10372;
constexpr int32_t ErrReadMemoryReserved = 10373;
constexpr int32_t ErrReadMemoryAllocatedCount = 10374;
constexpr int32_t ErrReadBlock = 10375;

constexpr int32_t ErrWriteSlotCount = 11196;
constexpr int32_t ErrWriteMemoryLimit = 11197;
constexpr int32_t ErrWriteTemporaryPageSize = 11198;
constexpr int32_t ErrWriteTemporaryReserved = 11199;
constexpr int32_t ErrWriteTemporaryAllocatedCount = 11200;
constexpr int32_t ErrWriteSpillSize = 11201;
constexpr int32_t ErrReadSlotCount = 11202;
constexpr int32_t ErrReadMemoryLimit = 11203;
constexpr int32_t ErrReadTemporaryPageSize = 11204;
constexpr int32_t ErrReadTemporaryReserved = 11205;
constexpr int32_t ErrReadTemporaryAllocatedCount = 11206;
constexpr int32_t ErrReadSpillSize = 11207;

constexpr int32_t InitialGrowBy = 50;

[[noreturn]] void RaiseField(int32_t Code, std::string_view Field, int64_t Value) {
  throw ETolvanException::CreateFmt(Code, SInvalidPageStoreField, Field, Value);
}

[[noreturn]] void RaiseNotReleased(int32_t Code) {
  throw ETolvanException::Create(Code, SIndexPagesNotReleased);
}

[[noreturn]] void RaiseUnallocated(int32_t Code) {
  throw ETolvanException::Create(Code, SNotReleasedPageAllocated);
}

[[noreturn]] void RaiseIntOverflow() { throw EIntOverflow(std::string(SysConst::SIntOverflow)); }

template <class T> T ReadField(TStream& Stream, int32_t Code) {
  T Value{};
  ReadStreamBuffer(&Value, sizeof Value, Stream, Code);
  return Value;
}

template <class T> void WriteField(TStream& Stream, T Value, int32_t Code) {
  WriteStreamBuffer(&Value, sizeof Value, Stream, Code);
}

bool MapBit(const TTolvanBitsArray& Map, int32_t Index) noexcept {
  return Index >= 0 && Index < Map.BitCount() && GetBit(Index, Map.Bits());
}

// The highest set bit; -1 when none is set.
int32_t HighestSetBit(const TTolvanBitsArray& Map) noexcept {
  if (Map.SetBitCount() == 0)
    return -1;
  for (int32_t Byte = (Map.BitCount() - 1) / 8; Byte >= 0; --Byte)
    if (const uint8_t B = Map.Bits()[Byte])
      return Byte * 8 + 31 - std::countl_zero(uint32_t(B));
  return -1;
}

} // namespace

// --- TTolvanMemoryPageManager -------------------------------------------------------------------

TTolvanMemoryPageManager::TTolvanMemoryPageManager() : FGrowBy(InitialGrowBy) {
  SetPageSize(uint16_t(MemoryPageSize));
}

// The page objects go first (the base would free them later, but some borrow our blocks).
TTolvanMemoryPageManager::~TTolvanMemoryPageManager() { DiscardPages(); }

bool TTolvanMemoryPageManager::PageAllocated(int32_t PageNo) const {
  return MapBit(FAllocationMap, PageNo);
}

void TTolvanMemoryPageManager::AttachBuffer(TTolvanPage& Page) {
  const int32_t PageNo = Page.PageNo();
  if (PageNo < 0 || PageNo >= int32_t(FBlocks.size()))
    throw ETolvanException::Create(ErrInvalidNewPageNo, SInvalidPageNumber);
  Page.BorrowBuffer(FBlocks[size_t(PageNo)].get());
}

// Blocks first, then the map: each step is undone when the next fails, so Capacity, the map's
// bit count and the blocks always agree.
void TTolvanMemoryPageManager::Grow(int32_t NewCapacity) {
  const size_t OldBlocks = FBlocks.size();
  try {
    FBlocks.reserve(size_t(NewCapacity));
    while (FBlocks.size() < size_t(NewCapacity))
      FBlocks.emplace_back(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(PageSize())));
    FAllocationMap.SetSize(NewCapacity);
  } catch (...) {
    FBlocks.resize(OldBlocks);
    throw;
  }
  FCapacity = NewCapacity;
}

void TTolvanMemoryPageManager::AllocatePage(TTolvanPage& Page) {
  int32_t PageNo;
  if (!FAllocationMap.FindFirst(false, PageNo, FFreeHint)) {
    const int64_t Next = FCapacity > 0 ? int64_t(FHighestPageNo) + 1 : 0;
    if (Next >= INT32_MAX)
      RaiseIntOverflow();
    PageNo = int32_t(Next);
  }
  if (MapBit(FAllocationMap, PageNo))
    throw ETolvanException::Create(ErrPageBitAlreadySet, SNotReleasedPageAllocated);
  if (PageNo >= FCapacity)
    Grow(int32_t(std::min<int64_t>(std::max<int64_t>(int64_t(FCapacity) + FGrowBy, PageNo + 1),
                                   INT32_MAX)));
  Page.SetPageNo(PageNo);
  AttachBuffer(Page);
  FAllocationMap.SetBit(PageNo, true);
  ++FAllocatedCount;
  // Every bit from the hint up to PageNo was set, or PageNo would have been found first.
  FFreeHint = PageNo + 1;
  FHighestPageNo = std::max(FHighestPageNo, PageNo);
}

void TTolvanMemoryPageManager::FreePage(int32_t PageNo) {
  if (!PageAllocated(PageNo))
    throw ETolvanException::CreateFmt(ErrPageNotAllocated, SPageNotAllocated, PageNo);
  FAllocationMap.SetBit(PageNo, false);
  --FAllocatedCount;
  FFreeHint = std::min(FFreeHint, PageNo);
}

void TTolvanMemoryPageManager::ReadPage(TTolvanPage& Page) {
  if (!PageAllocated(Page.PageNo()))
    RaiseUnallocated(ErrMemoryReadUnallocated);
  AttachBuffer(Page);
}

void TTolvanMemoryPageManager::WritePage(TTolvanPage& Page) {
  if (!PageAllocated(Page.PageNo()))
    RaiseUnallocated(ErrMemoryWriteUnallocated);
  if (!Page.Buffer())
    throw ETolvanException::Create(ErrNilPageBuffer, SPageBufferIsNil);
  uint8_t* Block = FBlocks[size_t(Page.PageNo())].get();
  if (Page.Buffer() != Block)
    std::memcpy(Block, Page.Buffer(), PageSize());
}

void TTolvanMemoryPageManager::ReleaseStore() noexcept {
  FBlocks.clear();
  FBlocks.shrink_to_fit();
  TTolvanBitsArray Empty;
  FAllocationMap.Swap(Empty);
  FCapacity = 0;
  FHighestPageNo = 0;
  FFreeHint = 0;
  FAllocatedCount = 0;
}

void TTolvanMemoryPageManager::Close() {
  if (FAllocatedCount > 0)
    RaiseNotReleased(ErrMemoryNotReleased);
  TTolvanPageManager::Close();
  ReleaseStore();
}

void TTolvanMemoryPageManager::SaveToStream(TStream& Stream) {
  WriteField<int32_t>(Stream, FCapacity, ErrWriteCapacity);
  WriteField<int32_t>(Stream, FHighestPageNo, ErrWriteHighestPageNo);
  WriteField<int32_t>(Stream, FGrowBy, ErrWriteGrowBy);
  WriteField<uint16_t>(Stream, PageSize(), ErrWriteMemoryPageSize);
  WriteField<uint16_t>(Stream, 0, ErrWriteMemoryReserved);
  WriteField<int32_t>(Stream, FAllocatedCount, ErrWriteMemoryAllocatedCount);
  FAllocationMap.SaveToStream(Stream);
  for (int32_t I = 0; I < FCapacity; ++I)
    WriteStreamBuffer(FBlocks[size_t(I)].get(), PageSize(), Stream, ErrWriteBlock);
}

// Nothing read is trusted: every count is checked against what it can be, and the blocks against
// the bytes left before any is allocated. That last check waits for the blocks themselves, so a
// form cut short is reported by the field it was cut in; a damaged Capacity shows earlier, as a
// map of another size.
void TTolvanMemoryPageManager::ReadImage(TStream& Stream, TImage& Image) {
  const int32_t Capacity = ReadField<int32_t>(Stream, ErrReadCapacity);
  if (Capacity < 0)
    RaiseField(ErrReadCapacity, "Capacity", Capacity);
  const int32_t Highest = ReadField<int32_t>(Stream, ErrReadHighestPageNo);
  const int32_t GrowBy = ReadField<int32_t>(Stream, ErrReadGrowBy);
  if (GrowBy < 1 || GrowBy > MaxPageStoreGrowBy)
    RaiseField(ErrReadGrowBy, "GrowBy", GrowBy);
  const uint16_t PageSize = ReadField<uint16_t>(Stream, ErrReadMemoryPageSize);
  if (PageSize != MemoryPageSize)
    RaiseField(ErrReadMemoryPageSize, "PageSize", PageSize);
  ReadField<uint16_t>(Stream, ErrReadMemoryReserved);
  const int32_t Allocated = ReadField<int32_t>(Stream, ErrReadMemoryAllocatedCount);

  // The counts that depend on one another are checked once the map is there, so that each
  // refusal names the field that disagrees with the map.
  Image.Map.LoadFromStream(Stream);
  if (Image.Map.BitCount() != Capacity)
    RaiseField(ErrReadCapacity, "Capacity", Capacity);
  if (Highest < std::max(HighestSetBit(Image.Map), 0) || Highest > std::max(Capacity - 1, 0))
    RaiseField(ErrReadHighestPageNo, "HighestPageNo", Highest);
  if (Allocated != Image.Map.SetBitCount())
    RaiseField(ErrReadMemoryAllocatedCount, "AllocatedCount", Allocated);

  if (int64_t(Capacity) * MemoryPageSize > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, int64_t(Capacity) * MemoryPageSize, 0, ErrReadBlock);
  Image.Blocks.reserve(size_t(Capacity));
  for (int32_t I = 0; I < Capacity; ++I) {
    Image.Blocks.emplace_back(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(PageSize)));
    ReadStreamBuffer(Image.Blocks.back().get(), PageSize, Stream, ErrReadBlock);
  }
  Image.Capacity = Capacity;
  Image.HighestPageNo = Highest;
  Image.GrowBy = GrowBy;
  Image.AllocatedCount = Allocated;
}

void TTolvanMemoryPageManager::Adopt(TImage& Image) noexcept {
  DiscardPages();
  FAllocationMap.Swap(Image.Map);
  FBlocks.swap(Image.Blocks);
  FCapacity = Image.Capacity;
  FHighestPageNo = Image.HighestPageNo;
  FGrowBy = Image.GrowBy;
  FAllocatedCount = Image.AllocatedCount;
  FFreeHint = 0;
}

void TTolvanMemoryPageManager::LoadFromStream(TStream& Stream) {
  if (FAllocatedCount > 0 || PagesInUse())
    RaiseNotReleased(ErrMemoryNotReleased);
  TImage Image;
  ReadImage(Stream, Image);
  Adopt(Image);
}

// --- TTolvanTemporaryPageManager ----------------------------------------------------------------

TTolvanTemporaryPageManager::TTolvanTemporaryPageManager()
    : FMemoryLimit(std::max(TempPageCacheSize.load(), 0)) {
  SetPageSize(uint16_t(TemporaryPageSize));
}

TTolvanTemporaryPageManager::~TTolvanTemporaryPageManager() { DiscardPages(); }

int64_t TTolvanTemporaryPageManager::SpillOffset(int32_t PageNo) const noexcept {
  return (int64_t(PageNo) - FMemoryLimit) * PageSize();
}

bool TTolvanTemporaryPageManager::PageAllocated(int32_t PageNo) const {
  return MapBit(FAllocationMap, PageNo);
}

void TTolvanTemporaryPageManager::AttachBuffer(TTolvanPage& Page) {
  if (Page.PageNo() < FMemoryLimit)
    FInnerStore.AttachBuffer(Page);
  else
    Page.AllocBuffer();
}

void TTolvanTemporaryPageManager::AllocatePage(TTolvanPage& Page) {
  if (FSlotCount < FMemoryLimit) {
    FInnerStore.AllocatePage(Page);
    const int32_t PageNo = Page.PageNo();
    if (PageNo >= FSlotCount) {
      try {
        FAllocationMap.SetSize(PageNo + 1);
      } catch (...) {
        FInnerStore.FreePage(PageNo);
        Page.FreeBuffer();
        Page.SetPageNo(-1);
        throw;
      }
      FSlotCount = PageNo + 1;
    }
    FAllocationMap.SetBit(PageNo, true);
    ++FAllocatedCount;
    return;
  }
  const int32_t PageNo = FSlotCount;
  if (int64_t(PageNo) - FMemoryLimit > MaxSpillSlot || PageNo == INT32_MAX)
    RaiseIntOverflow();
  if (!FSpillStream)
    FSpillStream = std::make_unique<TTolvanTemporaryStream>();
  if (!(Page.OwnsBuffer() && Page.Buffer()))
    Page.AllocBuffer();
  FAllocationMap.SetSize(PageNo + 1);
  FSlotCount = PageNo + 1;
  FAllocationMap.SetBit(PageNo, true);
  ++FAllocatedCount;
  Page.SetPageNo(PageNo);
}

void TTolvanTemporaryPageManager::FreePage(int32_t PageNo) {
  if (!PageAllocated(PageNo))
    throw ETolvanException::CreateFmt(ErrPageNotAllocated, SPageNotAllocated, PageNo);
  if (PageNo < FMemoryLimit)
    FInnerStore.FreePage(PageNo);
  FAllocationMap.SetBit(PageNo, false);
  --FAllocatedCount;
}

void TTolvanTemporaryPageManager::ReadPage(TTolvanPage& Page) {
  const int32_t PageNo = Page.PageNo();
  if (!PageAllocated(PageNo))
    RaiseUnallocated(ErrTemporaryReadUnallocated);
  if (PageNo < FMemoryLimit) {
    FInnerStore.ReadPage(Page);
    return;
  }
  if (!(Page.OwnsBuffer() && Page.Buffer()))
    Page.AllocBuffer();
  if (!FSpillStream)
    throw EReadError(std::string(SysConst::SReadError));
  FSpillStream->Seek(SpillOffset(PageNo), soBeginning);
  FSpillStream->ReadBuffer(Page.Buffer(), PageSize());
}

void TTolvanTemporaryPageManager::WritePage(TTolvanPage& Page) {
  const int32_t PageNo = Page.PageNo();
  if (!PageAllocated(PageNo))
    RaiseUnallocated(ErrTemporaryWriteUnallocated);
  if (PageNo < FMemoryLimit) {
    FInnerStore.WritePage(Page);
    return;
  }
  if (!Page.Buffer())
    throw ETolvanException::Create(ErrNilPageBuffer, SPageBufferIsNil);
  if (!FSpillStream)
    FSpillStream = std::make_unique<TTolvanTemporaryStream>();
  FSpillStream->Seek(SpillOffset(PageNo), soBeginning);
  FSpillStream->WriteBuffer(Page.Buffer(), PageSize());
}

void TTolvanTemporaryPageManager::Close() {
  if (FAllocatedCount > 0)
    RaiseNotReleased(ErrTemporaryNotReleased);
  TTolvanPageManager::Close();
  FInnerStore.Close();
  TTolvanBitsArray Empty;
  FAllocationMap.Swap(Empty);
  FSpillStream.reset();
  FSlotCount = 0;
}

void TTolvanTemporaryPageManager::SaveToStream(TStream& Stream) {
  FInnerStore.SaveToStream(Stream);
  FAllocationMap.SaveToStream(Stream);
  WriteField<int32_t>(Stream, FSlotCount, ErrWriteSlotCount);
  WriteField<int32_t>(Stream, FMemoryLimit, ErrWriteMemoryLimit);
  WriteField<uint16_t>(Stream, PageSize(), ErrWriteTemporaryPageSize);
  WriteField<uint16_t>(Stream, 0, ErrWriteTemporaryReserved);
  WriteField<int32_t>(Stream, FAllocatedCount, ErrWriteTemporaryAllocatedCount);
  const int64_t SpillSize = FSpillStream ? FSpillStream->Size() : 0;
  WriteField<int64_t>(Stream, SpillSize, ErrWriteSpillSize);
  if (SpillSize > 0) {
    // The copy leaves Stream where it was; the next field follows the bytes.
    const int64_t Start = Stream.Position();
    FSpillStream->SaveToStream(Stream);
    SetStreamPosition(Stream, Start + SpillSize, ErrWriteSpillSize);
  }
}

void TTolvanTemporaryPageManager::LoadFromStream(TStream& Stream) {
  if (FAllocatedCount > 0 || PagesInUse())
    RaiseNotReleased(ErrTemporaryNotReleased);
  TTolvanMemoryPageManager::TImage Inner;
  TTolvanMemoryPageManager::ReadImage(Stream, Inner);
  TTolvanBitsArray Map;
  Map.LoadFromStream(Stream);

  const int32_t SlotCount = ReadField<int32_t>(Stream, ErrReadSlotCount);
  if (SlotCount < 0 || SlotCount != Map.BitCount())
    RaiseField(ErrReadSlotCount, "SlotCount", SlotCount);
  const int32_t MemoryLimit = ReadField<int32_t>(Stream, ErrReadMemoryLimit);
  const int64_t Spilled = std::max<int64_t>(int64_t(SlotCount) - MemoryLimit, 0);
  if (MemoryLimit < 0 || Spilled > int64_t(MaxSpillSlot) + 1)
    RaiseField(ErrReadMemoryLimit, "MemoryLimit", MemoryLimit);
  // Below the limit both maps name the same numbers, and the inner one no others.
  const int32_t Shared = std::min(SlotCount, MemoryLimit);
  int32_t SharedSet = 0;
  for (int32_t I = 0; I < Shared; ++I) {
    const bool Outer = GetBit(I, Map.Bits());
    if (Outer != MapBit(Inner.Map, I))
      RaiseField(ErrReadMemoryLimit, "MemoryLimit", MemoryLimit);
    SharedSet += Outer;
  }
  if (Inner.Map.SetBitCount() != SharedSet)
    RaiseField(ErrReadMemoryLimit, "MemoryLimit", MemoryLimit);
  const uint16_t PageSize = ReadField<uint16_t>(Stream, ErrReadTemporaryPageSize);
  if (PageSize != TemporaryPageSize)
    RaiseField(ErrReadTemporaryPageSize, "PageSize", PageSize);
  ReadField<uint16_t>(Stream, ErrReadTemporaryReserved);
  const int32_t Allocated = ReadField<int32_t>(Stream, ErrReadTemporaryAllocatedCount);
  if (Allocated != Map.SetBitCount())
    RaiseField(ErrReadTemporaryAllocatedCount, "AllocatedCount", Allocated);
  const int64_t SpillSize = ReadField<int64_t>(Stream, ErrReadSpillSize);
  if (SpillSize < 0 || SpillSize > Spilled * TemporaryPageSize)
    RaiseField(ErrReadSpillSize, "N", SpillSize);
  if (SpillSize > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, SpillSize, 0, ErrReadSpillSize);

  std::unique_ptr<TTolvanTemporaryStream> Spill;
  if (SpillSize > 0) {
    const int64_t Start = Stream.Position();
    Spill = std::make_unique<TTolvanTemporaryStream>();
    Spill->CopyFromStream(Stream, Start, SpillSize);
    SetStreamPosition(Stream, Start + SpillSize, ErrReadSpillSize);
  }

  DiscardPages();
  FInnerStore.Adopt(Inner);
  FAllocationMap.Swap(Map);
  FSlotCount = SlotCount;
  FMemoryLimit = MemoryLimit;
  FAllocatedCount = Allocated;
  FSpillStream = std::move(Spill);
}

} // namespace tolvan
