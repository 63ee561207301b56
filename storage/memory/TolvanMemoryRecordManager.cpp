#include "storage/memory/TolvanMemoryRecordManager.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

// Live (zero) bits of each byte value of the deleted map.
constexpr auto ZeroBitCount = [] {
  std::array<uint8_t, 256> Table{};
  for (int B = 0; B < 256; ++B)
    Table[size_t(B)] = uint8_t(8 - std::popcount(unsigned(B)));
  return Table;
}();

constexpr int64_t MapBytes(int64_t Capacity) noexcept { return (Capacity + 7) / 8; }

// Nearest integer, ties to even, independent of the floating-point environment.
int64_t RoundHalfEven(long double X) noexcept {
  const long double Floor = std::floor(X);
  const long double Diff = X - Floor;
  int64_t R = int64_t(Floor);
  if (Diff > 0.5L || (Diff == 0.5L && (R & 1) != 0))
    ++R;
  return R;
}

// Replaces Block by one of NewSize bytes (> 0), keeping the common bytes and zero-filling the
// rest. On failure Block keeps its old block.
template <class TBlock> void ReallocBlock(TBlock& Block, int64_t NewSize) {
  uint8_t* P = Block.release();
  try {
    if (P)
      TTolvanMemoryManager::ReallocMemZeroed(P, NewSize);
    else
      P = static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(NewSize));
  } catch (...) {
    Block.reset(P);
    throw;
  }
  Block.reset(P);
}

} // namespace

TTolvanMemoryRecordManager::TTolvanMemoryRecordManager(TTolvanTableData& TableData,
                                                       int32_t RecordSize, int32_t AllocBy)
    : TTolvanBaseRecordManager(RecordSize), FTableData(TableData), FAllocBy(AllocBy) {
  if (RecordSize == 0)
    throw ETolvanException::Create(ErrMemoryRecordSizeZero, SInvalidRecordSizeZero);
  if (RecordSize < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
}

TTolvanMemoryRecordManager::~TTolvanMemoryRecordManager() = default;

void TTolvanMemoryRecordManager::Clear(int32_t) {
  FRecords.reset();
  FDeletedMap.reset();
  FCapacity = 0;
  SetRecordCount(0);
  FMinID = 0;
  FMaxID = 0;
}

bool TTolvanMemoryRecordManager::IsSlotDeleted(int32_t Slot) const noexcept {
  return (FDeletedMap.get()[Slot >> 3] >> (Slot & 7)) & 1;
}

void TTolvanMemoryRecordManager::SetDeleted(int32_t ID, bool Deleted) noexcept {
  uint8_t& Byte = FDeletedMap.get()[ID >> 3];
  const uint8_t Mask = uint8_t(1u << (ID & 7));
  Byte = Deleted ? uint8_t(Byte | Mask) : uint8_t(Byte & ~Mask);
}

bool TTolvanMemoryRecordManager::IsLive(int64_t ID) const noexcept {
  return RecordCount() > 0 && ID >= FMinID && ID <= FMaxID && !IsSlotDeleted(int32_t(ID));
}

void TTolvanMemoryRecordManager::Resize(int32_t NewCapacity) {
  if (NewCapacity < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
  if (NewCapacity == 0) {
    FRecords.reset();
    FDeletedMap.reset();
    FCapacity = 0;
    return;
  }
  // The record block first: should the map then fail, a larger record block behind an unchanged
  // Capacity does no harm.
  ReallocBlock(FRecords, int64_t(NewCapacity) * RecordSize());
  ReallocBlock(FDeletedMap, MapBytes(NewCapacity));
  FCapacity = NewCapacity;
}

bool TTolvanMemoryRecordManager::GrowFor(int32_t NewID) {
  const int64_t Needed = int64_t(NewID) + 1;
  int64_t NewCapacity;
  if (Release().MemoryTableGrowsByAllocBy) {
    // Release 3.90 steps by AllocBy alone; a step that would not hold the new record (AllocBy
    // <= 0, or a store emptied below its old ids) still makes room for it.
    NewCapacity = std::max<int64_t>(int64_t(FCapacity) + FAllocBy, Needed);
  } else if (FAllocBy <= 0) {
    NewCapacity = Needed;
  } else if (FCapacity == 0) {
    NewCapacity = std::max<int64_t>(FAllocBy, Needed);
  } else {
    int64_t Step = TTolvanMemoryManager::SizeClassQuantum(Needed * RecordSize());
    Step = std::max(Step, (Needed - FCapacity) * RecordSize());
    NewCapacity = FCapacity + Step / RecordSize();
  }
  if (NewCapacity > INT32_MAX || NewCapacity * RecordSize() > MemMaxBlockSize)
    return false;
  Resize(int32_t(NewCapacity));
  return true;
}

bool TTolvanMemoryRecordManager::InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID,
                                              int32_t) {
  if (!Buffer)
    return false;
  const bool Empty = RecordCount() == 0;
  if (!Empty && FMaxID == INT32_MAX)
    return false;
  const int32_t NewID = Empty ? 0 : FMaxID + 1;
  try {
    if (NewID >= FCapacity && !GrowFor(NewID))
      return false;
  } catch (...) {
    return false;
  }
  std::memmove(Slot(NewID), Buffer, size_t(RecordSize()));
  SetDeleted(NewID, false);
  if (Empty) {
    FMinID = NewID;
    FMaxID = NewID;
  } else {
    FMinID = std::min(FMinID, NewID);
    FMaxID = std::max(FMaxID, NewID);
  }
  AddRecordCount(1);
  RecordID = {NewID, 0};
  return true;
}

bool TTolvanMemoryRecordManager::UpdateRecord(const uint8_t* Buffer,
                                              const TTolvanRecordID& RecordID, int32_t) {
  const int32_t ID = RecordID.PageNo;
  if (!Buffer || !IsLive(ID))
    return false;
  uint8_t* Stored = nullptr;
  if (FTableData.HasBlobs()) {
    try {
      if (!FStoredCopy)
        FStoredCopy.reset(static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(RecordSize())));
    } catch (...) {
      return false;
    }
    Stored = FStoredCopy.get();
    std::memcpy(Stored, Slot(ID), size_t(RecordSize()));
  }
  std::memmove(Slot(ID), Buffer, size_t(RecordSize()));
  if (Stored)
    ReleaseReplacedBlobs(ID, Stored);
  return true;
}

void TTolvanMemoryRecordManager::ReleaseReplacedBlobs(int32_t ID, uint8_t* Stored) noexcept {
  const TTolvanFieldDefs* Defs = FTableData.FieldDefs();
  if (!Defs)
    return;
  uint8_t* New = Slot(ID);
  for (int32_t F = 0; F < Defs->Count(); ++F) {
    const TTolvanFieldDef& Def = Defs->Items(F);
    if (!IsBlobValueType(Def.BaseType()))
      continue;
    const bool NewNull = IsFieldNull(New, F);
    const bool Replaced = NewNull || IsBlobWritten(New, Def);
    if (!NewNull)
      SetBlobWritten(false, New, Def);
    if (!IsFieldNull(Stored, F) && Replaced) {
      try {
        FTableData.FreeBlob(Stored, F);
      } catch (...) {
        // The record is stored; a block that cannot be freed is only lost.
      }
    }
  }
}

bool TTolvanMemoryRecordManager::DeleteRecord(const TTolvanRecordID& RecordID, int32_t) {
  const int32_t ID = RecordID.PageNo;
  if (!IsLive(ID))
    return false;
  if (RecordCount() == 1) {
    Clear(-1);
  } else {
    SetDeleted(ID, true);
    AddRecordCount(-1);
    // Both ends have a live neighbour: at least one other record remains.
    int32_t Bound = ID;
    if (ID == FMinID && StepToLive(rmNext, Bound) == rrOK)
      FMinID = Bound;
    Bound = ID;
    if (ID == FMaxID && StepToLive(rmPrior, Bound) == rrOK)
      FMaxID = Bound;
  }
  FNoDeletions = 0;
  return true;
}

bool TTolvanMemoryRecordManager::RecordExists(const TTolvanRecordID& RecordID, int32_t) {
  return IsLive(RecordID.PageNo);
}

TTolvanGetRecordResult TTolvanMemoryRecordManager::StepFromBegin(TTolvanGetRecordMode Mode,
                                                                 int32_t& ID) const noexcept {
  switch (Mode) {
  case rmNext:
    ID = FMinID;
    return rrOK;
  case rmPrior:
    return rrBeginReached;
  default:
    return rrMissing;
  }
}

TTolvanGetRecordResult TTolvanMemoryRecordManager::StepFromEnd(TTolvanGetRecordMode Mode,
                                                               int32_t& ID) const noexcept {
  switch (Mode) {
  case rmNext:
    return rrEndReached;
  case rmPrior:
    ID = FMaxID;
    return rrOK;
  default:
    return rrMissing;
  }
}

// Bits outside [MinID, MaxID] mean nothing, so a walk starts inside that range whatever ID it is
// given, and ends at its bounds.
TTolvanGetRecordResult TTolvanMemoryRecordManager::StepToLive(TTolvanGetRecordMode Mode,
                                                              int32_t& ID) const noexcept {
  switch (Mode) {
  case rmCurrent:
    return IsLive(ID) ? rrOK : rrMissing;
  case rmNext: {
    if (ID >= FMaxID)
      return rrEndReached;
    for (int32_t I = std::max(ID + 1, FMinID); I <= FMaxID; ++I)
      if (!IsSlotDeleted(I)) {
        ID = I;
        return rrOK;
      }
    return rrEndReached;
  }
  case rmPrior: {
    if (ID <= FMinID)
      return rrBeginReached;
    for (int32_t I = std::min(ID - 1, FMaxID); I >= FMinID; --I)
      if (!IsSlotDeleted(I)) {
        ID = I;
        return rrOK;
      }
    return rrBeginReached;
  }
  }
  return rrMissing;
}

void TTolvanMemoryRecordManager::GetRecord(TTolvanNavState& State) {
  State.RecordID.PageItemNo = 0;
  if (RecordCount() == 0) {
    State.Result = rrEndReached;
    return;
  }
  int32_t ID = State.RecordID.PageNo;
  TTolvanGetRecordResult Result;
  if (State.AtBegin) {
    Result = StepFromBegin(State.Mode, ID);
    if (Result == rrOK)
      State.AtBegin = 0;
  } else if (State.AtEnd) {
    Result = StepFromEnd(State.Mode, ID);
    if (Result == rrOK)
      State.AtEnd = 0;
  } else {
    Result = StepToLive(State.Mode, ID);
  }
  if (Result == rrOK) {
    if (!State.Buffer)
      throw ETolvanException::Create(ErrMemoryRecordRetrieve, SErrorRetrievingRecord);
    std::memcpy(State.Buffer, Slot(ID), size_t(RecordSize()));
    State.RecordID.PageNo = ID;
  }
  State.Result = Result;
}

int64_t TTolvanMemoryRecordManager::GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t) {
  const int64_t Count = RecordCount();
  const int32_t ID = RecordID.PageNo;
  if (Count == 0 || ID < FMinID || ID > FMaxID)
    return -1;
  if (Count == 1)
    return 1;
  const long double Fraction = (long double)(int64_t(ID) - FMinID) / (long double)Count;
  return RoundHalfEven(Fraction * (long double)(int64_t(FMaxID) - FMinID)) + 1;
}

int64_t TTolvanMemoryRecordManager::RecNoToRecordID(int64_t Position) const {
  if (Position < 0 || Position >= RecordCount())
    return -1;
  if (FNoDeletions)
    return Position;
  // Whole words, then whole bytes, of the map are skipped while they hold no more live slots
  // than remain to be passed; slots below MinID are all deleted, so the walk starts at its byte.
  // Only slots up to MaxID are looked at.
  const uint8_t* Map = FDeletedMap.get();
  const int64_t End = std::min<int64_t>(int64_t(FMaxID) + 1, FCapacity);
  int64_t Slot = (FMinID / 8) * 8;
  int64_t Count = 0;
  while (Slot + 64 <= End) {
    const int64_t Live = 64 - std::popcount(LoadLE<uint64_t>(Map + Slot / 8));
    if (Count + Live > Position)
      break;
    Count += Live;
    Slot += 64;
  }
  while (Slot + 8 <= End) {
    const int64_t Live = ZeroBitCount[Map[Slot / 8]];
    if (Count + Live > Position)
      break;
    Count += Live;
    Slot += 8;
  }
  for (; Slot < End; ++Slot)
    if (!IsSlotDeleted(int32_t(Slot)) && ++Count > Position)
      return Slot;
  throw ETolvanException::CreateFmt(ErrMemoryRecordInvalidBitNo, SInvalidBitNo, Position,
                                    FCapacity);
}

int64_t TTolvanMemoryRecordManager::RecordIDToRecNo(int64_t ID) const {
  if (ID < 0 || ID >= FCapacity)
    return -1;
  if (FNoDeletions)
    return ID + 1;
  // Live slots among MinID .. min(ID, MaxID): below MinID every slot is deleted, above MaxID
  // the bits mean nothing.
  const int64_t Last = std::min<int64_t>(ID, FMaxID);
  const uint8_t* Map = FDeletedMap.get();
  int64_t Count = 0;
  int64_t Slot = (FMinID / 8) * 8;
  for (; Slot + 64 <= Last + 1; Slot += 64)
    Count += 64 - std::popcount(LoadLE<uint64_t>(Map + Slot / 8));
  for (; Slot + 8 <= Last + 1; Slot += 8)
    Count += ZeroBitCount[Map[Slot / 8]];
  for (; Slot <= Last; ++Slot)
    Count += IsSlotDeleted(int32_t(Slot)) ? 0 : 1;
  return Count;
}

// --- stream block ------------------------------------------------------------------------------

void TTolvanMemoryRecordManager::SaveToStream(TStream& Stream) {
  WriteStreamValue<int32_t>(Stream, FCapacity, ErrWriteStoreCapacity);
  WriteStreamValue<uint8_t>(Stream, FNoDeletions ? 0xFF : 0, ErrWriteStoreNoDeletions);
  WriteStreamValue<int32_t>(Stream, FMinID, ErrWriteStoreMinID);
  WriteStreamValue<int32_t>(Stream, FMaxID, ErrWriteStoreMaxID);
  if (FCapacity > 0)
    WriteStreamBuffer(FDeletedMap.get(), MapBytes(FCapacity), Stream, ErrWriteStoreDeletedMap);
}

void TTolvanMemoryRecordManager::LoadFromStream(TStream& Stream) { ReadBlock(Stream, -1); }

void TTolvanMemoryRecordManager::LoadFromStream(TStream& Stream, int64_t RecordCount) {
  if (RecordCount < 0 || RecordCount > INT32_MAX)
    RaiseRecordStoreField(ErrReadStoreDeletedMap, "RecordCount", RecordCount);
  ReadBlock(Stream, RecordCount);
}

// The order of the checks follows the bytes: a block cut short is reported by the field it was
// cut in. The map is the last field, so what depends on it is checked once it is read; the
// record block, the one large allocation, comes last of all.
void TTolvanMemoryRecordManager::ReadBlock(TStream& Stream, int64_t ExpectedCount) {
  const int32_t Capacity = ReadStreamValue<int32_t>(Stream, ErrReadStoreCapacity);
  if (Capacity < 0)
    RaiseRecordStoreField(ErrReadStoreCapacity, "Capacity", Capacity);
  const uint8_t NoDeletions = ReadStreamValue<uint8_t>(Stream, ErrReadStoreNoDeletions);
  if (NoDeletions != 0 && NoDeletions != 0xFF)
    RaiseRecordStoreField(ErrReadStoreNoDeletions, "NoDeletions", NoDeletions);
  const int32_t MinID = ReadStreamValue<int32_t>(Stream, ErrReadStoreMinID);
  const int32_t MaxID = ReadStreamValue<int32_t>(Stream, ErrReadStoreMaxID);

  if (Capacity == 0) {
    // An empty store: nothing follows, and nothing may be promised.
    if (MinID != 0)
      RaiseRecordStoreField(ErrReadStoreMinID, "MinID", MinID);
    if (MaxID != 0)
      RaiseRecordStoreField(ErrReadStoreMaxID, "MaxID", MaxID);
    if (ExpectedCount > 0)
      RaiseRecordStoreField(ErrReadStoreDeletedMap, "RecordCount", ExpectedCount);
    Clear(-1);
    FNoDeletions = NoDeletions;
    return;
  }
  if (MinID < 0 || MinID >= Capacity)
    RaiseRecordStoreField(ErrReadStoreMinID, "MinID", MinID);
  if (MaxID < MinID || MaxID >= Capacity)
    RaiseRecordStoreField(ErrReadStoreMaxID, "MaxID", MaxID);
  const int64_t RecordBytes = int64_t(Capacity) * RecordSize();
  if (RecordBytes > std::min(TTolvanMemoryManager::GetAvailableMemory(), MemMaxBlockSize))
    RaiseRecordStoreField(ErrReadStoreCapacity, "Capacity", Capacity);
  const int64_t MapSize = MapBytes(Capacity);
  if (MapSize > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, MapSize, 0, ErrReadStoreDeletedMap);

  TBlock Map(static_cast<uint8_t*>(TTolvanMemoryManager::GetMem(MapSize)));
  ReadStreamBuffer(Map.get(), MapSize, Stream, ErrReadStoreDeletedMap);
  const uint8_t* Bits = Map.get();
  const auto Deleted = [Bits](int64_t Slot) { return (Bits[Slot >> 3] >> (Slot & 7)) & 1; };

  // The ends are live and every slot below MinID is deleted: the position walks count whole
  // map bytes from MinID's byte on, and navigation stops at the ends.
  if (Deleted(MinID))
    RaiseRecordStoreField(ErrReadStoreMinID, "MinID", MinID);
  if (Deleted(MaxID))
    RaiseRecordStoreField(ErrReadStoreMaxID, "MaxID", MaxID);
  for (int64_t Byte = 0; Byte < MinID / 8; ++Byte)
    if (Bits[Byte] != 0xFF)
      RaiseRecordStoreField(ErrReadStoreMinID, "MinID", MinID);
  for (int64_t Slot = MinID & ~7; Slot < MinID; ++Slot)
    if (!Deleted(Slot))
      RaiseRecordStoreField(ErrReadStoreMinID, "MinID", MinID);
  int64_t Live = 0;
  int64_t Slot = MinID;
  for (; Slot <= MaxID && (Slot & 7) != 0; ++Slot)
    Live += 1 - Deleted(Slot);
  for (; Slot + 8 <= int64_t(MaxID) + 1; Slot += 8)
    Live += ZeroBitCount[Bits[Slot >> 3]];
  for (; Slot <= MaxID; ++Slot)
    Live += 1 - Deleted(Slot);
  const int64_t Count = ExpectedCount < 0 ? Live : ExpectedCount;
  if (Count != Live)
    RaiseRecordStoreField(ErrReadStoreDeletedMap, "RecordCount", Count);
  if (NoDeletions && (MinID != 0 || int64_t(MaxID) != Count - 1))
    RaiseRecordStoreField(ErrReadStoreNoDeletions, "NoDeletions", NoDeletions);
  const int64_t Following = Count * RecordSize();
  if (Following > StreamBytesLeft(Stream))
    RaiseStreamReadError(Stream, Following, 0, ErrReadStoredRecord);

  TBlock Records(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(RecordBytes)));
  FRecords = std::move(Records);
  FDeletedMap = std::move(Map);
  FCapacity = Capacity;
  FMinID = MinID;
  FMaxID = MaxID;
  FNoDeletions = NoDeletions;
  SetRecordCount(0);
}

void TTolvanMemoryRecordManager::AppendLoadedRecord(const uint8_t* Buffer, int32_t& Position) {
  // Slots past MaxID are not the block's, and a position the store never gave is no start.
  if (Position < -1 || Position >= FMaxID || FCapacity == 0 || !Buffer)
    throw ETolvanException::CreateFmt(ErrAppendRecordNo, SInvalidRecordNo, int64_t(Position) + 1);
  int32_t ID = Position + 1;
  if (!FNoDeletions)
    while (ID <= FMaxID && IsSlotDeleted(ID))
      ++ID;
  if (ID > FMaxID)
    throw ETolvanException::CreateFmt(ErrAppendRecordNo, SInvalidRecordNo, ID);
  std::memcpy(Slot(ID), Buffer, size_t(RecordSize()));
  AddRecordCount(1);
  Position = ID;
}

} // namespace tolvan
