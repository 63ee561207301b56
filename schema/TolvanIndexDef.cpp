#include "schema/TolvanIndexDef.h"

#include <string>

#include "foundation/TolvanStreams.h"

namespace tolvan {

namespace {

// The smallest stored column: a length byte, one name byte and the two flags.
constexpr int64_t MinStoredColumnSize = 4;

[[noreturn]] void RaiseRangeError() { throw ERangeError(std::string(SysConst::SRangeError)); }

} // namespace

// --- TTolvanIndexColumn -------------------------------------------------------------------------

void TTolvanIndexColumn::LoadFromStream(TStream& Stream) {
  const uint8_t Length = ReadStreamValue<uint8_t>(Stream, 10358);
  if (Length == 0)
    RaiseRangeError();
  char Bytes[MaxShortStringLength];
  ReadStreamBuffer(Bytes, Length, Stream, 10359);
  FName.assign(Bytes, Length);
  FDescending = ReadStreamValue<uint8_t>(Stream, 10360);
  FCaseInsensitive = ReadStreamValue<uint8_t>(Stream, 10361);
}

void TTolvanIndexColumn::SaveToStream(TStream& Stream) const {
  if (FName.empty() || FName.size() > size_t(MaxShortStringLength))
    RaiseRangeError();
  WriteShortString(Stream, FName, 10354, 10355);
  WriteStreamValue<uint8_t>(Stream, FDescending, 10356);
  WriteStreamValue<uint8_t>(Stream, FCaseInsensitive, 10357);
}

// --- TTolvanIndexDef ----------------------------------------------------------------------------

TTolvanIndexColumn& TTolvanIndexDef::Columns(int32_t Index) {
  if (Index < 0 || Index >= ColumnCount())
    RaiseRangeError();
  return FColumns[size_t(Index)];
}

const TTolvanIndexColumn& TTolvanIndexDef::Columns(int32_t Index) const {
  return const_cast<TTolvanIndexDef*>(this)->Columns(Index);
}

void TTolvanIndexDef::SetColumnCount(int32_t Value) {
  if (Value < 0)
    RaiseRangeError();
  FColumns.resize(size_t(Value));
}

void TTolvanIndexDef::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanIndexDef*>(&Source);
  if (!S)
    throw EInvalidCast(std::string(SysConst::SInvalidCast));
  if (S == this)
    return;
  FColumns = S->FColumns;
  TTolvanMetaObjectDef::Assign(Source);
  FIndexKind = S->FIndexKind;
  FUnique = S->FUnique;
  FPrimary = S->FPrimary;
  FRootPageNo = S->FRootPageNo;
}

void TTolvanIndexDef::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  FIndexKind = ReadStreamValue<uint8_t>(Stream, 10349);
  FUnique = ReadStreamValue<uint8_t>(Stream, 10350);
  FPrimary = ReadStreamValue<uint8_t>(Stream, 10351);
  const int32_t Count = ReadStreamValue<int32_t>(Stream, 10352);
  if (Count < 0)
    RaiseStoredValueError(Stream, Count, 10352);
  FRootPageNo = ReadStreamValue<int32_t>(Stream, 10353);
  if (Count > (Stream.Size() - Stream.Position()) / MinStoredColumnSize)
    RaiseStoredValueError(Stream, Count, 10352);
  SetColumnCount(Count);
  for (TTolvanIndexColumn& Column : FColumns)
    Column.LoadFromStream(Stream);
}

void TTolvanIndexDef::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteStreamValue<uint8_t>(Stream, FIndexKind, 10344);
  WriteStreamValue<uint8_t>(Stream, FUnique, 10345);
  WriteStreamValue<uint8_t>(Stream, FPrimary, 10346);
  WriteStreamValue<int32_t>(Stream, ColumnCount(), 10347);
  WriteStreamValue<int32_t>(Stream, FRootPageNo, 10348);
  for (const TTolvanIndexColumn& Column : FColumns)
    Column.SaveToStream(Stream);
}

} // namespace tolvan
