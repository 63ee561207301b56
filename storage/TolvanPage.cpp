#include "storage/TolvanPage.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanPageManager.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNilPageBuffer = 20038;
constexpr int32_t ErrInvalidPageModification = 20039;

} // namespace

void TTolvanPageHeader::Write(void* Buffer) noexcept {
  uint8_t* P = static_cast<uint8_t*>(Buffer);
  std::memcpy(P, Magic, 4);
  StoreLE<int32_t>(P + 4, 0);
  StoreLE<int16_t>(P + 8, 0);
  StoreLE<int32_t>(P + 10, -1);
  StoreLE<int32_t>(P + 14, 0);
  std::memset(P + 18, 0, 4);
  StoreLE<int32_t>(P + PageTypeOffset, -1);
  StoreLE<int32_t>(P + 26, -1);
  StoreLE<int16_t>(P + 30, 0);
}

TTolvanPage::TTolvanPage(TTolvanPageManager& Manager)
    : FManager(&Manager), FPageSize(Manager.PageSize()) {}

TTolvanPage::~TTolvanPage() { FreeBuffer(); }

void TTolvanPage::SetPageNo(int32_t Value) {
  if (FOwnerList || FRemoved)
    throw ETolvanException::Create(ErrInvalidNewPageNo, SInvalidPageNumber);
  FPageNo = Value;
}

void TTolvanPage::InitHeader() {
  if (!FBuffer)
    throw ETolvanException::Create(ErrNilPageBuffer, SPageBufferIsNil);
  TTolvanPageHeader::Write(FBuffer);
}

void TTolvanPage::AllocBuffer() {
  uint8_t* Block = static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(FPageSize));
  TTolvanPageHeader::Write(Block);
  FreeBuffer();
  FBuffer = Block;
  FBufferSize = FPageSize;
  FOwnsBuffer = true;
}

void TTolvanPage::FreeBuffer() noexcept {
  if (FOwnsBuffer)
    TTolvanMemoryManager::FreeAndNillMemNoRaise(FBuffer);
  FBuffer = nullptr;
  FBufferSize = 0;
}

void TTolvanPage::BorrowBuffer(uint8_t* Block) noexcept {
  FreeBuffer();
  FBuffer = Block;
  FBufferSize = FPageSize;
  FOwnsBuffer = false;
}

void TTolvanPage::MakeWritable(int32_t NewSize) {
  if (!FBuffer)
    throw ETolvanException::Create(ErrNilPageBuffer, SPageBufferIsNil);
  if (NewSize < FPageSize)
    throw ETolvanException::Create(ErrInvalidPageModification, SInvalidPageModification);
  if (FOwnsBuffer) {
    try {
      TTolvanMemoryManager::ReallocMemZeroed(FBuffer, NewSize);
    } catch (...) {
      if (!FBuffer) // the old block had a damaged guard and is gone
        FBufferSize = 0;
      throw;
    }
  } else {
    uint8_t* Copy = static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(NewSize));
    std::memcpy(Copy, FBuffer, size_t(FPageSize));
    if (FDirty)
      FChangedInPlace = true;
    FBuffer = Copy;
    FOwnsBuffer = true;
  }
  FBufferSize = NewSize;
}

void TTolvanPage::Revalidate() {
  const int32_t Current = FManager->GetCurrentVersionStamp();
  if (FManager->IsPageOutdated(FVersionStamp, Current, FKind)) {
    FManager->ReadPage(*this);
    FVersionStamp = Current;
  }
}

} // namespace tolvan
