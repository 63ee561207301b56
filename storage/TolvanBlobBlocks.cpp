#include "storage/TolvanBlobBlocks.h"

#include <string>

#include <exception>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTempStreams.h"

namespace tolvan {

TTolvanBlobBlockTable::~TTolvanBlobBlockTable() { Clear(); }

void TTolvanBlobBlockTable::Swap(TTolvanBlobBlockTable& Other) noexcept {
  std::lock_guard<TPlatformLock> Guard(FLock);
  FSlots.swap(Other.FSlots);
  std::swap(FFreeHead, Other.FFreeHead);
  std::swap(FLiveCount, Other.FLiveCount);
}

uint8_t* TTolvanBlobBlockTable::NewBlock(int64_t DataSize) {
  if (DataSize < 0 || DataSize > MemMaxBlockSize - BlobBlockPrefixSize)
    throw ERangeError(std::string(SysConst::SRangeError));
  return static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(BlobBlockPrefixSize + DataSize));
}

TTolvanBlobReference TTolvanBlobBlockTable::Add(uint8_t* Block) {
  const int64_t Size = TTolvanMemoryManager::GetMemSize(Block);
  if (!Block || Size < BlobBlockPrefixSize)
    throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
  std::lock_guard<TPlatformLock> Guard(FLock);
  uint32_t Handle = FFreeHead;
  if (Handle) {
    FFreeHead = FSlots[Handle - 1].NextFree;
  } else {
    if (FSlots.size() >= UINT32_MAX)
      throw EOutOfMemory(std::string(SysConst::SOutOfMemory));
    FSlots.emplace_back();
    Handle = uint32_t(FSlots.size());
  }
  TSlot& Slot = FSlots[Handle - 1];
  Slot.Block = Block;
  Slot.Size = Size;
  Slot.NextFree = 0;
  ++FLiveCount;
  return {Handle, Slot.Generation, BlobWrittenMarker};
}

TTolvanBlobBlockTable::TSlot*
TTolvanBlobBlockTable::Live(const TTolvanBlobReference& Ref) noexcept {
  if (Ref.Handle == 0 || Ref.Handle > FSlots.size())
    return nullptr;
  TSlot& Slot = FSlots[Ref.Handle - 1];
  return Slot.Block && Slot.Generation == Ref.Generation ? &Slot : nullptr;
}

bool TTolvanBlobBlockTable::Free(const TTolvanBlobReference& Ref) noexcept {
  std::lock_guard<TPlatformLock> Guard(FLock);
  TSlot* Slot = Live(Ref);
  if (!Slot)
    return false;
  Release(Ref.Handle);
  return true;
}

void TTolvanBlobBlockTable::Release(uint32_t Handle) noexcept {
  TSlot& Slot = FSlots[Handle - 1];
  TTolvanMemoryManager::FreeAndNillMemNoRaise(Slot.Block);
  Slot.Size = 0;
  --FLiveCount;
  // A generation that came round again could make a long-stale reference match: the slot
  // retires instead (one slot per 65 535 reuses of it).
  if (Slot.Generation == UINT16_MAX)
    return;
  ++Slot.Generation;
  Slot.NextFree = FFreeHead;
  FFreeHead = Handle;
}

bool TTolvanBlobBlockTable::IsLive(const TTolvanBlobReference& Ref) {
  std::lock_guard<TPlatformLock> Guard(FLock);
  return Live(Ref) != nullptr;
}

int64_t TTolvanBlobBlockTable::LiveCount() {
  std::lock_guard<TPlatformLock> Guard(FLock);
  return FLiveCount;
}

void TTolvanBlobBlockTable::Clear() noexcept {
  std::lock_guard<TPlatformLock> Guard(FLock);
  // Slots stay, with their generations moved on, so no reference handed out matches again.
  for (size_t I = 0; I < FSlots.size(); ++I)
    if (FSlots[I].Block)
      Release(uint32_t(I + 1));
}

// --- values in record buffers ------------------------------------------------------------------

namespace {

const TTolvanFieldDef& BlobColumn(const TTolvanFieldDefs& Defs, int32_t FieldNo) {
  const TTolvanFieldDef& Def = Defs.Items(FieldNo);
  if (!Def.IsBlob())
    throw EInvalidCast(std::string(SysConst::SInvalidCast));
  return Def;
}

// The column's reference as a NULL column holds it: all zero.
void ClearBlobColumn(uint8_t* Buffer, const TTolvanFieldDef& Def, int32_t FieldNo) noexcept {
  StoreBlobReference(Buffer, Def, TTolvanBlobReference{});
  SetFieldNull(Buffer, FieldNo, true);
}

} // namespace

std::unique_ptr<TTolvanLocalBLOBStream> OpenBlobValue(TTolvanBlobBlockTable& Blocks,
                                                      TTolvanCursor* Cursor, const uint8_t* Buffer,
                                                      const TTolvanFieldDefs& Defs, int32_t FieldNo,
                                                      TTolvanBlobOpenMode Mode) {
  const TTolvanFieldDef& Def = BlobColumn(Defs, FieldNo);
  if (Def.BlobBlockSize() == 0)
    throw ETolvanException::Create(ErrOpenBlobBlockSizeZero, SStreamBlockSizeZero);
  TTolvanBLOBDescriptor Descriptor;
  Descriptor.BlockSize = Def.BlobBlockSize();
  Descriptor.Algorithm = Def.BlobCompressionAlgorithm();
  Descriptor.Mode = Def.BlobCompressionMode();
  auto Host = std::make_unique<TTolvanTemporaryStream>();
  const bool IsNew = Mode == tbmWrite || !Buffer || IsFieldNull(Buffer, FieldNo);
  if (!IsNew) {
    // The bytes are copied while the block cannot be freed under us; the stream then works on
    // its own copy.
    const bool Found =
        Blocks.Read(LoadBlobReference(Buffer, Def), [&](std::span<const uint8_t> Bytes) {
          Descriptor.BlockCount = LoadLE<int32_t>(Bytes.data());
          Descriptor.UncompressedSize = LoadLE<int64_t>(Bytes.data() + 4);
          Host->WriteBuffer(Bytes.data() + BlobBlockPrefixSize,
                            int64_t(Bytes.size()) - BlobBlockPrefixSize);
        });
    if (!Found)
      throw ETolvanException::Create(ErrOpenBlobNoBlock, SNilPointerOccurred);
    Host->SetPosition(0);
  }
  auto Blob = std::make_unique<TTolvanCompressedBLOBStream>(*Host, false, IsNew, Descriptor);
  return std::make_unique<TTolvanLocalBLOBStream>(std::move(Host), std::move(Blob), Cursor, Mode,
                                                  FieldNo);
}

void WriteBlobValue(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer, const TTolvanFieldDefs& Defs,
                    int32_t FieldNo, TTolvanLocalBLOBStream& Stream) {
  const TTolvanFieldDef& Def = BlobColumn(Defs, FieldNo);
  if (!Stream.Written() && !Stream.Modified())
    return;
  const bool HadValue = !IsFieldNull(Buffer, FieldNo);
  const TTolvanBlobReference Old =
      HadValue ? LoadBlobReference(Buffer, Def) : TTolvanBlobReference{};
  // Only a block of this edit is ours to free; the stored record's block stays with it.
  const bool FreeOld = HadValue && Old.Marker == BlobWrittenMarker;
  TTolvanCompressedBLOBStream& Blob = Stream.BlobStream();
  if (Blob.UncompressedSize() == 0) {
    ClearBlobColumn(Buffer, Def, FieldNo);
    if (FreeOld)
      Blocks.Free(Old);
    return;
  }
  const int64_t BlockCount = Blob.Descriptor().BlockCount;
  if (BlockCount < 0 || BlockCount > INT32_MAX)
    throw ERangeError(std::string(SysConst::SRangeError));
  TStream& Host = Stream.Host();
  const int64_t HostSize = Host.GetSize();
  uint8_t* Block = TTolvanBlobBlockTable::NewBlock(HostSize);
  TTolvanBlockGuard Guard{Block};
  StoreLE<int32_t>(Block, int32_t(BlockCount));
  StoreLE<int64_t>(Block + 4, Blob.UncompressedSize());
  const int64_t Position = Host.Position();
  Host.SetPosition(0);
  int64_t Got = 0;
  while (Got < HostSize) {
    const int64_t N = Host.Read(Block + BlobBlockPrefixSize + Got, HostSize - Got);
    if (N <= 0)
      break;
    Got += N;
  }
  Host.SetPosition(Position);
  if (Got != HostSize)
    throw ETolvanException::CreateFmt(ErrWriteBlobShortRead, SCannotReadFromStream, int64_t(0),
                                      HostSize, HostSize, Got);
  const TTolvanBlobReference New = Blocks.Add(Block);
  Guard.Release();
  StoreBlobReference(Buffer, Def, New);
  SetFieldNull(Buffer, FieldNo, false);
  if (FreeOld)
    Blocks.Free(Old);
}

void FreeBlobValue(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer, const TTolvanFieldDefs& Defs,
                   int32_t FieldNo) {
  const TTolvanFieldDef& Def = BlobColumn(Defs, FieldNo);
  if (IsFieldNull(Buffer, FieldNo))
    return;
  if (!Blocks.Free(LoadBlobReference(Buffer, Def)))
    throw ETolvanException::Create(ErrFreeBlobNoBlock, SNilPointerOccurred);
  ClearBlobColumn(Buffer, Def, FieldNo);
}

namespace {

// Frees the chosen BLOB columns; a refused one does not keep the others from being freed, and
// the first failure passes on at the end.
template <class TChoose>
void FreeBlobColumns(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer, const TTolvanFieldDefs& Defs,
                     TChoose&& Choose) {
  std::exception_ptr First;
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanFieldDef& Def = Defs.Items(I);
    if (!Def.IsBlob() || IsFieldNull(Buffer, I) || !Choose(Def))
      continue;
    try {
      FreeBlobValue(Blocks, Buffer, Defs, I);
    } catch (...) {
      if (!First)
        First = std::current_exception();
    }
  }
  if (First)
    std::rethrow_exception(First);
}

} // namespace

void FreeAllBlobValues(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer,
                       const TTolvanFieldDefs& Defs) {
  FreeBlobColumns(Blocks, Buffer, Defs, [](const TTolvanFieldDef&) { return true; });
}

void FreeWrittenBlobValues(TTolvanBlobBlockTable& Blocks, uint8_t* Buffer,
                           const TTolvanFieldDefs& Defs) {
  FreeBlobColumns(Blocks, Buffer, Defs,
                  [&](const TTolvanFieldDef& Def) { return IsBlobWritten(Buffer, Def); });
}

void SetBlobMarks(bool Written, uint8_t* Buffer, const TTolvanFieldDefs& Defs) noexcept {
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanFieldDef& Def = Defs.Items(I);
    if (Def.IsBlob() && !IsFieldNull(Buffer, I))
      SetBlobWritten(Written, Buffer, Def);
  }
}

} // namespace tolvan
