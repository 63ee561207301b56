#include "schema/TolvanMetaObjectDef.h"

#include <string>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStreams.h"

namespace tolvan {

namespace {

// What a stored record keeps for a value that lives outside it.
constexpr int32_t ExternalValueReferenceSize = 6;

constexpr int32_t ErrUnsupportedDataType = 30007;
constexpr int32_t ErrSequenceOverflow = 30009;

[[noreturn]] void RaiseInvalidCast() { throw EInvalidCast(std::string(SysConst::SInvalidCast)); }

// A width that ValueTypeDataSize refuses for a Size of 0 or more lies beyond 32 bits.
bool DataSizeFits(TTolvanValueType Type, int32_t Size) {
  if (Size < 0)
    return false;
  try {
    ValueTypeDataSize(Type, Size);
    return true;
  } catch (const ERangeError&) {
    return false;
  }
}

} // namespace

// --- helpers of the stream forms ----------------------------------------------------------------

void RaiseStoredValueError(TStream& Stream, int64_t Value, int32_t ReadCode) {
  RaiseStreamReadError(Stream, Value, 0, ReadCode);
}

void WriteShortString(TStream& Stream, std::string_view Name, int32_t LengthCode,
                      int32_t BytesCode) {
  if (Name.size() > size_t(MaxShortStringLength))
    throw ERangeError(std::string(SysConst::SRangeError));
  WriteStreamValue<uint8_t>(Stream, uint8_t(Name.size()), LengthCode);
  if (!Name.empty())
    WriteStreamBuffer(Name.data(), int64_t(Name.size()), Stream, BytesCode);
}

AnsiString ReadShortString(TStream& Stream, int32_t LengthCode, int32_t BytesCode) {
  const uint8_t Length = ReadStreamValue<uint8_t>(Stream, LengthCode);
  char Bytes[MaxShortStringLength];
  if (Length > 0)
    ReadStreamBuffer(Bytes, Length, Stream, BytesCode);
  return AnsiString(Bytes, Length);
}

// --- TTolvanMetaObjectDef -----------------------------------------------------------------------

void TTolvanMetaObjectDef::SetName(std::string_view Value) { FName.assign(CutShortString(Value)); }

void TTolvanMetaObjectDef::Assign(const TTolvanMetaObjectDef& Source) {
  if (&Source == this)
    return;
  FName = Source.FName;
  FObjectID = Source.FObjectID;
}

void TTolvanMetaObjectDef::LoadFromStream(TStream& Stream) {
  FName = ReadShortString(Stream, 10166, 10167);
  FObjectID = ReadStreamValue<int32_t>(Stream, 10169);
}

void TTolvanMetaObjectDef::SaveToStream(TStream& Stream) const {
  WriteShortString(Stream, FName, 10164, 10165);
  WriteStreamValue<int32_t>(Stream, FObjectID, 10168);
}

// --- TTolvanSequenceDef -------------------------------------------------------------------------

int64_t TTolvanSequenceDef::NextValue() {
  int64_t Next;
  if (__builtin_add_overflow(FCurrentValue, FIncrement, &Next))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  FCurrentValue = Next;
  if (FCurrentValue > FMaxValue) {
    if (!FCycled)
      throw ETolvanException::CreateFmt(ErrSequenceOverflow, SSequenceOverflow, Name());
    FCurrentValue = FMinValue;
  }
  return FCurrentValue;
}

void TTolvanSequenceDef::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanSequenceDef*>(&Source);
  if (!S)
    RaiseInvalidCast();
  TTolvanMetaObjectDef::Assign(Source);
  FDataType = S->FDataType;
  FMinValue = S->FMinValue;
  FMaxValue = S->FMaxValue;
  FCurrentValue = S->FCurrentValue;
  FIncrement = S->FIncrement;
  FCycled = S->FCycled;
}

void TTolvanSequenceDef::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  FDataType = TTolvanValueType(ReadStreamValue<uint8_t>(Stream, 10212));
  FMinValue = ReadStreamValue<int64_t>(Stream, 10213);
  FMaxValue = ReadStreamValue<int64_t>(Stream, 10214);
  FCurrentValue = ReadStreamValue<int64_t>(Stream, 10215);
  FIncrement = ReadStreamValue<int64_t>(Stream, 10216);
  FCycled = ReadStreamValue<uint8_t>(Stream, 10217);
}

void TTolvanSequenceDef::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteStreamValue<uint8_t>(Stream, FDataType, 10206);
  WriteStreamValue<int64_t>(Stream, FMinValue, 10207);
  WriteStreamValue<int64_t>(Stream, FMaxValue, 10208);
  WriteStreamValue<int64_t>(Stream, FCurrentValue, 10209);
  WriteStreamValue<int64_t>(Stream, FIncrement, 10210);
  WriteStreamValue<uint8_t>(Stream, FCycled, 10211);
}

// --- TTolvanFieldDef ----------------------------------------------------------------------------

void TTolvanFieldDef::SetType(TTolvanFieldType FieldType, int32_t Size) {
  FFieldType = FieldType;
  FBaseType = ValueTypeOfFieldType(FieldType);
  if (FBaseType == tvtNone)
    throw ETolvanException::CreateFmt(ErrUnsupportedDataType, SUnsupportedDataType,
                                      FieldTypeToSQLName(FieldType));
  FSize = Size;
  CalcSizes();
}

void TTolvanFieldDef::CalcSizes() {
  int32_t Data;
  try {
    Data = ValueTypeDataSize(FBaseType, FSize);
  } catch (const ERangeError&) {
    if (FSize < 0)
      throw;
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  }
  FDataSize = Data;
  const bool External = IsVarStringValueType(FBaseType) || IsBlobValueType(FBaseType);
  FStoredSize = External ? ExternalValueReferenceSize : Data;
}

void TTolvanFieldDef::Assign(const TTolvanMetaObjectDef& Source) {
  const auto* S = dynamic_cast<const TTolvanFieldDef*>(&Source);
  if (!S)
    RaiseInvalidCast();
  if (S == this)
    return;
  // The default is the one copy that can fail; made first, it leaves the definition whole.
  FDefaultValue.Assign(S->FDefaultValue, true);
  TTolvanMetaObjectDef::Assign(Source);
  FBaseType = S->FBaseType;
  FFieldType = S->FFieldType;
  FSize = S->FSize;
  FStoredSize = S->FStoredSize;
  FDataSize = S->FDataSize;
  FStoredOffset = S->FStoredOffset;
  FBufferOffset = S->FBufferOffset;
  FSequenceID = S->FSequenceID;
  FBlobCompressionAlgorithm = S->FBlobCompressionAlgorithm;
  FBlobCompressionMode = S->FBlobCompressionMode;
  FBlobBlockSize = S->FBlobBlockSize;
  FAutoincIncrement = S->FAutoincIncrement;
  FAutoincInitialValue = S->FAutoincInitialValue;
  FAutoincMinValue = S->FAutoincMinValue;
  FAutoincMaxValue = S->FAutoincMaxValue;
  FAutoincCycled = S->FAutoincCycled;
}

void TTolvanFieldDef::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDef::LoadFromStream(Stream);
  // The widths are derived from these three, so each is checked before it is kept.
  const uint8_t Base = ReadStreamValue<uint8_t>(Stream, 10187);
  if (Base < tvtChar || Base > TolvanValueTypeCount)
    RaiseStoredValueError(Stream, Base, 10187);
  FBaseType = TTolvanValueType(Base);
  const uint8_t Type = ReadStreamValue<uint8_t>(Stream, 10188);
  if (Type < tftChar || Type > TolvanFieldTypeCount)
    RaiseStoredValueError(Stream, Type, 10188);
  FFieldType = TTolvanFieldType(Type);
  const int32_t Size = ReadStreamValue<int32_t>(Stream, 10189);
  if (!DataSizeFits(FBaseType, Size))
    RaiseStoredValueError(Stream, Size, 10189);
  FSize = Size;
  FDefaultValue.Clear(FBaseType);
  if (IsBlob()) {
    FBlobCompressionAlgorithm = ReadStreamValue<uint8_t>(Stream, 10192);
    FBlobCompressionMode = ReadStreamValue<uint8_t>(Stream, 10193);
    FBlobBlockSize = ReadStreamValue<int32_t>(Stream, 10194);
  }
  if (IsAutoinc()) {
    FSequenceID = ReadStreamValue<int32_t>(Stream, 10195);
    FAutoincIncrement = ReadStreamValue<int64_t>(Stream, 10690);
    FAutoincInitialValue = ReadStreamValue<int64_t>(Stream, 10691);
    FAutoincMinValue = ReadStreamValue<int64_t>(Stream, 10692);
    FAutoincMaxValue = ReadStreamValue<int64_t>(Stream, 10693);
    FAutoincCycled = ReadStreamValue<uint8_t>(Stream, 10694);
  } else {
    FDefaultValue.LoadFromStream(Stream);
  }
  CalcSizes();
}

void TTolvanFieldDef::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDef::SaveToStream(Stream);
  WriteStreamValue<uint8_t>(Stream, FBaseType, 10170);
  WriteStreamValue<uint8_t>(Stream, FFieldType, 10171);
  WriteStreamValue<int32_t>(Stream, FSize, 10172);
  if (IsBlob()) {
    WriteStreamValue<uint8_t>(Stream, FBlobCompressionAlgorithm, 10175);
    WriteStreamValue<uint8_t>(Stream, FBlobCompressionMode, 10176);
    WriteStreamValue<int32_t>(Stream, FBlobBlockSize, 10177);
  }
  if (IsAutoinc()) {
    WriteStreamValue<int32_t>(Stream, FSequenceID, 10178);
    WriteStreamValue<int64_t>(Stream, FAutoincIncrement, 10685);
    WriteStreamValue<int64_t>(Stream, FAutoincInitialValue, 10686);
    WriteStreamValue<int64_t>(Stream, FAutoincMinValue, 10687);
    WriteStreamValue<int64_t>(Stream, FAutoincMaxValue, 10688);
    WriteStreamValue<uint8_t>(Stream, FAutoincCycled, 10689);
  } else {
    FDefaultValue.SaveToStream(Stream);
  }
}

} // namespace tolvan
