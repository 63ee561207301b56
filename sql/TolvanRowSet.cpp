#include "sql/TolvanRowSet.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int64_t MinSlots = 16;
constexpr int64_t MaxInitialSlots = 65536;

TTolvanFieldType PlainFieldType(TTolvanFieldType FieldType) {
  if (FieldType >= tftAutoInc && FieldType <= tftAutoIncCardinal)
    return FieldTypeOfValueType(ValueTypeOfFieldType(FieldType));
  return FieldType;
}

} // namespace

TTolvanRecordComparison::TTolvanRecordComparison(std::span<const TTolvanRowColumn> Columns,
                                                 int64_t ExpectedRows)
    : FColumns(Columns.size()), FHashWords(Columns.size() * 4, 0) {
  for (size_t I = 0; I < Columns.size(); ++I)
    FColumns[I].Type = {PlainFieldType(Columns[I].FieldType), Columns[I].Size};
  // Half the slots stay free, so the expected rows fit without a doubling up to the cap.
  int64_t Slots = MinSlots;
  while (Slots < MaxInitialSlots && Slots / 2 < ExpectedRows)
    Slots *= 2;
  FSlots = static_cast<TSlot*>(MemoryManager.AllocMem(Slots * int64_t(sizeof(TSlot))));
  FCapacity = Slots;
  FMask = uint64_t(Slots - 1);
}

TTolvanRecordComparison::~TTolvanRecordComparison() { MemoryManager.FreeAndNillMemNoRaise(FSlots); }

void TTolvanRecordComparison::SetColumnHash(const TTolvanVariant& Value, int32_t Column) {
  if (Column < 0 || Column >= ColumnCount())
    throw ETolvanException::CreateFmt(ErrInvalidItemNumber, SInvalidItemNumber, Column,
                                      ColumnCount());
  TColumn& C = FColumns[size_t(Column)];
  if (!C.Value)
    C.Value = std::make_unique<TTolvanStoredValue>(C.Type.FieldType, C.Type.Size);
  // A value that fails to convert leaves the column unset, not holding a stale form.
  C.State = csUnset;
  C.Hash = 0;
  C.State = C.Value->Store(Value) ? csValue : csNull;
  C.Hash = C.Value->Hash();
  FHashed = false;
}

uint32_t TTolvanRecordComparison::ComputeRowHash() {
  for (size_t I = 0; I < FColumns.size(); ++I)
    StoreLE<uint32_t>(FHashWords.data() + 4 * I, FColumns[I].Hash);
  FRowHash = UpdateCrc32(RowHashSeed, FHashWords.data(), int64_t(FHashWords.size()));
  if (FHook)
    FRowHash = FHook(FRowHash);
  FHashed = true;
  return FRowHash;
}

bool TTolvanRecordComparison::SameRow(const uint8_t* Row) const {
  for (const TColumn& C : FColumns) {
    const uint8_t State = *Row++;
    if (State != C.State)
      return false;
    if (State != csValue)
      continue;
    int32_t Size;
    std::memcpy(&Size, Row, sizeof(Size));
    Row += sizeof(Size);
    if (!C.Value->SameValue(Row, Size, C.Value->Data(), C.Value->DataSize()))
      return false;
    Row += Size;
  }
  return true;
}

const uint8_t* TTolvanRecordComparison::KeepRow() {
  int64_t Bytes = 0;
  for (const TColumn& C : FColumns)
    Bytes += 1 + (C.State == csValue ? int64_t(sizeof(int32_t)) + C.Value->DataSize() : 0);
  if (Bytes > INT32_MAX)
    throw EOutOfMemory(std::string(SysConst::SOutOfMemory));
  uint8_t* Row = FArena.Allocate(int32_t(Bytes));
  uint8_t* P = Row;
  for (const TColumn& C : FColumns) {
    *P++ = C.State;
    if (C.State != csValue)
      continue;
    const int32_t Size = C.Value->DataSize();
    std::memcpy(P, &Size, sizeof(Size));
    P += sizeof(Size);
    std::memcpy(P, C.Value->Data(), size_t(Size));
    P += Size;
  }
  return Row;
}

void TTolvanRecordComparison::Insert(const uint8_t* Row, uint32_t Hash) noexcept {
  uint64_t I = Hash & FMask;
  while (FSlots[I].Row)
    I = (I + 1) & FMask;
  FSlots[I] = {Row, Hash};
}

void TTolvanRecordComparison::Grow() {
  const int64_t OldCapacity = FCapacity;
  TSlot* Old = FSlots;
  FSlots = static_cast<TSlot*>(MemoryManager.AllocMem(2 * OldCapacity * int64_t(sizeof(TSlot))));
  FCapacity = 2 * OldCapacity;
  FMask = uint64_t(FCapacity - 1);
  for (int64_t J = 0; J < OldCapacity; ++J)
    if (Old[J].Row)
      Insert(Old[J].Row, Old[J].Hash);
  MemoryManager.FreeAndNillMemNoRaise(Old);
}

void TTolvanRecordComparison::ResetRow() noexcept {
  for (TColumn& C : FColumns) {
    C.State = csUnset;
    C.Hash = 0;
  }
  FHashed = false;
}

bool TTolvanRecordComparison::Find(uint32_t Hash) const {
  for (uint64_t I = Hash & FMask; FSlots[I].Row; I = (I + 1) & FMask)
    if (FSlots[I].Hash == Hash && SameRow(FSlots[I].Row))
      return true;
  return false;
}

bool TTolvanRecordComparison::ContainsRow() {
  struct TReset {
    TTolvanRecordComparison& Self;
    ~TReset() { Self.ResetRow(); }
  } Reset{*this};
  return Find(FHashed ? FRowHash : ComputeRowHash());
}

bool TTolvanRecordComparison::IsNewRow() {
  struct TReset {
    TTolvanRecordComparison& Self;
    ~TReset() { Self.ResetRow(); }
  } Reset{*this};
  const uint32_t Hash = FHashed ? FRowHash : ComputeRowHash();
  if (Find(Hash))
    return false;
  if ((FCount + 1) * 2 > FCapacity)
    Grow();
  Insert(KeepRow(), Hash);
  ++FCount;
  return true;
}

} // namespace tolvan
