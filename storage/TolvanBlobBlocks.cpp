#include "storage/TolvanBlobBlocks.h"

#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanMemory.h"

namespace tolvan {

TTolvanBlobBlockTable::~TTolvanBlobBlockTable() { Clear(); }

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

TTolvanBlobBlockTable::TSlot* TTolvanBlobBlockTable::Live(const TTolvanBlobReference& Ref) noexcept {
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

} // namespace tolvan
