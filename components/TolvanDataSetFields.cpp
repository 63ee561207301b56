// TolvanDataSetFields.cpp: field data of TTolvanDataSet: the framework's native forms moved in
// and out of the cursor's record buffers, record values and the cursor's BLOB streams.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "classlib/ByteOrder.h"
#include "classlib/DBConsts.h"
#include "classlib/FloatText.h"
#include "classlib/Format.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDataSetBlobStream.h"
#include "foundation/TolvanConverts.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypesRoutines.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

constexpr int32_t ErrReadFieldDataNil = 10050;
constexpr int32_t ErrWriteFieldDataNil = 10051;
constexpr int32_t ErrCursorBlobNil = 10108;
constexpr int32_t ErrGetFieldValueNil = 10315;
constexpr int32_t ErrSetFieldValueNil = 10316;
constexpr int32_t ErrNotEditing = 10007;
constexpr int32_t ErrNotIndexField = 20019;
constexpr int32_t ErrBlobNotEditing = 10111;
constexpr int32_t ErrBlobReadOnly = 10107;

// The value range of an integer column, by its value type.
struct TIntRange {
  int64_t Min;
  int64_t Max;
};

bool IntegerRange(TTolvanValueType Type, TIntRange& Range) noexcept {
  switch (Type) {
  case tvtSignedInt8:
    Range = {INT8_MIN, INT8_MAX};
    return true;
  case tvtSignedInt16:
    Range = {INT16_MIN, INT16_MAX};
    return true;
  case tvtInteger:
    Range = {INT32_MIN, INT32_MAX};
    return true;
  case tvtSignedInt64:
    Range = {INT64_MIN, INT64_MAX};
    return true;
  case tvtUnsignedInt8:
    Range = {0, UINT8_MAX};
    return true;
  case tvtUnsignedInt16:
    Range = {0, UINT16_MAX};
    return true;
  case tvtUnsignedInt32:
    Range = {0, UINT32_MAX};
    return true;
  default:
    return false;
  }
}

int64_t LoadStoredInt(TTolvanValueType Type, const uint8_t* P) noexcept {
  switch (Type) {
  case tvtSignedInt8:
    return LoadLE<int8_t>(P);
  case tvtSignedInt16:
    return LoadLE<int16_t>(P);
  case tvtInteger:
    return LoadLE<int32_t>(P);
  case tvtUnsignedInt8:
    return LoadLE<uint8_t>(P);
  case tvtUnsignedInt16:
    return LoadLE<uint16_t>(P);
  case tvtUnsignedInt32:
    return LoadLE<uint32_t>(P);
  default:
    return LoadLE<int64_t>(P);
  }
}

void StoreStoredInt(TTolvanValueType Type, int64_t V, uint8_t* P) noexcept {
  switch (Type) {
  case tvtSignedInt8:
    StoreLE(P, int8_t(V));
    return;
  case tvtSignedInt16:
    StoreLE(P, int16_t(V));
    return;
  case tvtInteger:
    StoreLE(P, int32_t(V));
    return;
  case tvtUnsignedInt8:
    StoreLE(P, uint8_t(V));
    return;
  case tvtUnsignedInt16:
    StoreLE(P, uint16_t(V));
    return;
  case tvtUnsignedInt32:
    StoreLE(P, uint32_t(V));
    return;
  default:
    StoreLE(P, V);
    return;
  }
}

// The framework's integer native forms.
bool NativeIntRange(TFieldType Type, TIntRange& Range) noexcept {
  switch (Type) {
  case ftSmallint:
    Range = {INT16_MIN, INT16_MAX};
    return true;
  case ftInteger:
  case ftAutoInc:
    Range = {INT32_MIN, INT32_MAX};
    return true;
  case ftWord:
    Range = {0, UINT16_MAX};
    return true;
  case ftLargeint:
    Range = {INT64_MIN, INT64_MAX};
    return true;
  default:
    return false;
  }
}

int64_t LoadNativeInt(TFieldType Type, const void* P) noexcept {
  switch (Type) {
  case ftSmallint:
    return LoadLE<int16_t>(P);
  case ftWord:
    return LoadLE<uint16_t>(P);
  case ftLargeint:
    return LoadLE<int64_t>(P);
  default:
    return LoadLE<int32_t>(P);
  }
}

void StoreNativeInt(TFieldType Type, int64_t V, void* P) noexcept {
  switch (Type) {
  case ftSmallint:
    StoreLE(P, int16_t(V));
    return;
  case ftWord:
    StoreLE(P, uint16_t(V));
    return;
  case ftLargeint:
    StoreLE(P, V);
    return;
  default:
    StoreLE(P, int32_t(V));
    return;
  }
}

[[noreturn]] void RaiseRange(const TField& Field, std::string_view Value, std::string_view Min,
                             std::string_view Max) {
  DatabaseError(Format(DBConsts::SFieldRangeError, Value, Field.DisplayName(), Min, Max));
}

// Single's own text round trip: general form, 15 significant digits, '.' whatever the
// process settings say.
float DoubleToSingle(double Value) {
  static const TFormatSettings Settings{};
  float Result = 0;
  if (!std::isfinite(Value) || !TryStrToFloat(FloatToStr(Value, Settings), Result, Settings))
    return static_cast<float>(Value);
  return Result;
}

} // namespace

// --- field data --------------------------------------------------------------------------------

bool TTolvanDataSet::ReadFieldData(const TField& Field, void* Buffer) {
  if (!Active())
    return false;
  if (!FCursor)
    RaiseNil(ErrReadFieldDataNil);
  uint8_t* Record = CurrentRecordBuffer();
  if (!Record)
    return false;
  if (Field.FieldNo() <= 0 || Field.Calculated() || Field.Lookup()) {
    // A key buffer ends at E + 6 and a record under the filter event may end at E + 7: neither
    // has the calculated-field area.
    if (!StateBufferHasCalcArea())
      return false;
    const uint8_t* P = Record + FCursor->CalcFieldsOffset() + Field.Offset();
    if (!P[0])
      return false;
    if (Buffer)
      std::memcpy(Buffer, P + 1, size_t(Field.DataSize()));
    return true;
  }
  const int32_t No = Field.FieldNo() - 1;
  const int32_t TableNo = FCursor->TableFieldNo(No, ErrGetFieldNativeFieldNo);
  if (IsFieldNull(Record, TableNo))
    return false;
  if (!Buffer)
    return true;
  const TTolvanFieldDef& Def = FCursor->FieldDefs().Items(TableNo);
  const TTolvanValueType ValueType = ValueTypeOfFieldType(Def.FieldType());
  const TFieldType Type = Field.DataType();
  uint8_t Scratch[16] = {};
  TIntRange Stored{}, Native{};
  if (Type == ftWideString) {
    const size_t Index = size_t(No);
    if (FWideScratch.size() <= Index)
      FWideScratch.resize(Index + 1);
    std::u16string& Text = FWideScratch[Index];
    Text.clear();
    FCursor->GetFieldNative(No, Record, Text);
    StoreLE(Buffer, Text.c_str());
    return true;
  }
  if (IntegerRange(ValueType, Stored) && NativeIntRange(Type, Native)) {
    FCursor->GetFieldNative(No, Record, Scratch);
    const int64_t V = LoadStoredInt(ValueType, Scratch);
    if (ValueType == tvtUnsignedInt32 ? int64_t(uint32_t(V)) > Native.Max
                                      : (V < Native.Min || V > Native.Max))
      DatabaseError(Format(DBConsts::SFieldValueError, IntToStr(V), Field.DisplayName()));
    StoreNativeInt(Type, V, Buffer);
    return true;
  }
  switch (Def.FieldType()) {
  case tftSingle:
    FCursor->GetFieldNative(No, Record, Scratch);
    StoreLE(Buffer, double(LoadLE<float>(Scratch)));
    return true;
  case tftExtended: {
    FCursor->GetFieldNative(No, Record, Scratch);
    long double X = 0;
    std::memcpy(&X, Scratch, 10);
    if (std::isfinite(X) && std::fabs(X) > DBL_MAX)
      DatabaseError(Format(DBConsts::SFieldValueError, FloatToStr(X), Field.DisplayName()));
    StoreLE(Buffer, double(X));
    return true;
  }
  case tftTimeStamp: {
    FCursor->GetFieldNative(No, Record, Scratch);
    const TDateTime X = StoredDateTimeToDateTime(LoadLE<TTolvanStoredDateTime>(Scratch));
    StoreSQLTimeStamp(Buffer, DateTimeToSQLTimeStamp(X));
    return true;
  }
  default:
    break;
  }
  if (Type == ftDate || Type == ftTime || Type == ftDateTime) {
    FCursor->GetFieldNative(No, Record, Scratch);
    double X = 0;
    ConvertDateTimeData(Field, Scratch, false, &X);
    DateTimeToNative(Type, X, Buffer);
    return true;
  }
  return FCursor->GetFieldNative(No, Record, Buffer);
}

void TTolvanDataSet::WriteFieldData(TField& Field, const void* Buffer) {
  if (!CanWriteFields(State()))
    throw ETolvanException::Create(ErrNotEditing, DBConsts::SNotEditing);
  if (!FCursor)
    RaiseNil(ErrWriteFieldDataNil);
  const bool CalcArea = Field.FieldNo() <= 0 || Field.Calculated() || Field.Lookup();
  if (State() == dsSetKey) {
    bool InIndex = !CalcArea;
    if (InIndex && !FIndexFieldNumbers.empty()) {
      InIndex = false;
      for (uint16_t No : FIndexFieldNumbers)
        InIndex = InIndex || No == Field.FieldNo();
    }
    if (!InIndex)
      throw ETolvanException::CreateFmt(ErrNotIndexField, "Field %s is not in the current index",
                                        Field.DisplayName());
  }
  uint8_t* Record = CurrentRecordBuffer();
  if (!Record)
    throw ETolvanException::Create(ErrNotEditing, DBConsts::SNotEditing);
  if (CalcArea) {
    // Neither a key buffer nor a record under the filter event has the calculated-field area.
    if (State() == dsFilter)
      throw ETolvanException::Create(ErrNotEditing, DBConsts::SNotEditing);
    SetModified(true);
    FModifiedValues = true;
    uint8_t* P = Record + FCursor->CalcFieldsOffset() + Field.Offset();
    P[0] = Buffer ? 1 : 0;
    if (Buffer)
      std::memcpy(P + 1, Buffer, size_t(Field.DataSize()));
    DataEvent(deFieldChange, &Field);
    return;
  }
  const int32_t No = Field.FieldNo() - 1;
  const int32_t TableNo = FCursor->TableFieldNo(No, ErrSetFieldNativeFieldNo);
  const TTolvanFieldDef& Def = FCursor->FieldDefs().Items(TableNo);
  const TTolvanValueType ValueType = ValueTypeOfFieldType(Def.FieldType());
  const TFieldType Type = Field.DataType();
  // The stored form is built here, never in the caller's buffer, and every refusal comes
  // before the record changes.
  uint8_t Scratch[16] = {};
  const void* Source = Buffer;
  std::u16string_view Wide;
  TIntRange Stored{}, Native{};
  if (Buffer) {
    if (Type == ftWideString) {
      const char16_t* Text = LoadLE<const char16_t*>(Buffer);
      Wide = Text ? std::u16string_view(Text) : std::u16string_view();
    } else if (IntegerRange(ValueType, Stored) && NativeIntRange(Type, Native)) {
      const int64_t V = LoadNativeInt(Type, Buffer);
      if (V < Stored.Min || V > Stored.Max)
        RaiseRange(Field, IntToStr(V), IntToStr(Stored.Min), IntToStr(Stored.Max));
      StoreStoredInt(ValueType, V, Scratch);
      Source = Scratch;
    } else if (Def.FieldType() == tftSingle) {
      const double V = LoadLE<double>(Buffer);
      if (std::isfinite(V) && std::fabs(V) > double(FLT_MAX))
        RaiseRange(Field, FloatToStr(V), FloatToStr(-FLT_MAX), FloatToStr(FLT_MAX));
      StoreLE(Scratch, DoubleToSingle(V));
      Source = Scratch;
    } else if (Def.FieldType() == tftExtended) {
      const long double X = LoadLE<double>(Buffer);
      std::memcpy(Scratch, &X, 10);
      Source = Scratch;
    } else if (Type == ftDate || Type == ftTime || Type == ftDateTime) {
      const double X = NativeToDateTime(Type, Buffer);
      ConvertDateTimeData(Field, &X, true, Scratch);
      Source = Scratch;
    }
  }
  Field.Validate(Buffer);
  SetModified(true);
  FModifiedValues = true;
  if (Buffer && Type == ftWideString)
    FCursor->SetFieldNative(No, Wide, Record);
  else
    FCursor->SetFieldNative(No, Source, Record);
  if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue)
    DataEvent(deFieldChange, &Field);
}

void TTolvanDataSet::ConvertFieldData(const TField& Field, const void* Source, void* Dest,
                                      bool ToNative) {
  if (Field.DataType() == ftTimeStamp) {
    ConvertDateTimeData(Field, Source, ToNative, Dest);
    return;
  }
  TDataSet::ConvertFieldData(Field, Source, Dest, ToNative);
}

void TTolvanDataSet::ConvertDateTimeData(const TField& Field, const void* Source, bool ToNative,
                                         void* Dest) {
  switch (Field.DataType()) {
  case ftDate:
    if (ToNative)
      StoreLE(Dest, DateTimeToStoredDate(LoadLE<double>(Source)));
    else
      StoreLE(Dest, StoredDateToDateTime(LoadLE<int32_t>(Source)));
    return;
  case ftTime:
    if (ToNative)
      StoreLE(Dest, DateTimeToStoredTime(LoadLE<double>(Source)));
    else
      StoreLE(Dest, StoredTimeToDateTime(LoadLE<int32_t>(Source)));
    return;
  case ftDateTime:
    if (ToNative)
      StoreLE(Dest, DateTimeToStoredDateTime(LoadLE<double>(Source)));
    else
      StoreLE(Dest, StoredDateTimeToDateTime(LoadLE<TTolvanStoredDateTime>(Source)));
    return;
  case ftTimeStamp:
    if (ToNative)
      StoreLE(Dest, DateTimeToStoredDateTime(SQLTimeStampToDateTime(LoadSQLTimeStamp(Source))));
    else
      std::memcpy(Dest, Source, SQLTimeStampSize);
    return;
  default:
    TDataSet::ConvertFieldData(Field, Source, Dest, ToNative);
    return;
  }
}

// --- BLOB fields -------------------------------------------------------------------------------

std::unique_ptr<TStream> TTolvanDataSet::OpenBlobStream(TField& Field, TBlobStreamMode Mode) {
  if (Mode != bmRead && FReadOnly)
    throw ETolvanException::Create(ErrBlobReadOnly, "Dataset is in read only mode");
  auto Stream = std::make_unique<TTolvanBlobStream>(Field, Mode);
  if (Mode != bmRead) {
    FModifiedValues = true;
    SetModified(true);
  }
  return Stream;
}

TTolvanStream* TTolvanDataSet::OpenCursorBlob(TField& Field, TBlobStreamMode Mode) {
  if (!FCursor)
    RaiseNil(ErrCursorBlobNil);
  if (Mode != bmRead && State() != dsEdit && State() != dsInsert)
    throw ETolvanException::Create(ErrBlobNotEditing, "Dataset not in edit or insert mode");
  const TTolvanBlobOpenMode EngineMode =
      Mode == bmRead ? tbmRead : (Mode == bmWrite ? tbmWrite : tbmReadWrite);
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  if (uint8_t* Record = FCursor->RecordBuffer()) {
    // A new record has no id yet: the cursor stays on the record shown before the insert, which
    // the engine returns to when the new one is not in the cursor's view.
    if (State() != dsInsert)
      FCursor->SetPosition(LoadRecordID(Record, FCursor->RecordIDOffset()));
    return FCursor->OpenBlob(State() == dsInsert, Field.FieldNo() - 1, EngineMode);
  }
  return FCursor->OpenBlob(true, Field.FieldNo() - 1, EngineMode);
}

void TTolvanDataSet::ReleaseBlobField(TField& Field) {
  if (!FCursor)
    RaiseNil(ErrCursorBlobNil);
  // While the dataset closes there is no current record: the cursor keeps the buffer it has.
  if (uint8_t* Record = CurrentRecordBuffer())
    FCursor->SetRecordBuffer(Record);
  FCursor->CloseBlob(Field.FieldNo() - 1);
}

// --- record values -----------------------------------------------------------------------------

void TTolvanDataSet::CaptureValues(const TTolvanArrayOfTTolvanVariant& Values) {
  FModifiedValues = false;
  for (size_t I = 0; I < Values.size(); ++I)
    GetFieldValue(*Values[I], int32_t(I), false, true);
}

void TTolvanDataSet::ReleaseValues(const TTolvanArrayOfTTolvanVariant& Values) noexcept {
  for (TTolvanVariant* Value : Values)
    Value->Clear();
}

void TTolvanDataSet::GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering,
                                   bool Copy) {
  if (!FCursor)
    RaiseNil(ErrGetFieldValueNil);
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  FCursor->GetFieldValue(Value, FieldNo, TableNumbering, Copy);
}

void TTolvanDataSet::SetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering) {
  if (!FCursor)
    RaiseNil(ErrSetFieldValueNil);
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  const int32_t TableNo =
      TableNumbering ? FieldNo : FCursor->TableFieldNo(FieldNo, ErrSetFieldNativeFieldNo);
  if (TableNo < 0 || TableNo >= FCursor->FieldDefs().Count() ||
      !IsBlobFieldType(FCursor->FieldDefs().Items(TableNo).FieldType())) {
    FCursor->SetCursorFieldValue(Value, FieldNo, nullptr, TableNumbering);
    return;
  }
  // A column written through the cursor's own stream: closing a field's streams would close a
  // writer the user holds.
  int32_t VisibleNo = FieldNo;
  if (TableNumbering) {
    VisibleNo = -1;
    for (int32_t I = 0; I < FCursor->VisibleFieldDefs().Count(); ++I)
      if (FCursor->VisibleFieldDefs().Items(I).TableFieldNo() == TableNo)
        VisibleNo = I;
    if (VisibleNo < 0) {
      FCursor->SetCursorFieldValue(Value, FieldNo, nullptr, TableNumbering);
      return;
    }
  }
  // Text goes without its terminator. A null value writes an empty stream, which makes the
  // column null and frees a block written earlier in the edit.
  int64_t Size = Value.IsNull() ? 0 : Value.DataSize();
  const TTolvanValueType Type = Value.DataType();
  if (Size > 0 && (Type == tvtString || Type == tvtChar)) {
    const auto* Data = static_cast<const char*>(Value.Data());
    Size = Data ? int64_t(strnlen(Data, size_t(Value.DataSize()))) : 0;
  } else if (Size > 0 && (Type == tvtWideString || Type == tvtWideChar)) {
    const auto* Data = static_cast<const char16_t*>(Value.Data());
    const size_t Max = size_t(Value.DataSize()) / 2;
    size_t Length = 0;
    while (Data && Length < Max && Data[Length])
      ++Length;
    Size = int64_t(Length * 2);
  }
  // A column with a field object is written through the dataset's own stream; with persistent
  // fields a column may have none, and then the cursor's stream is used directly.
  TField* Field = Fields().FieldByNumber(VisibleNo + 1);
  if (Field && Field->FieldKind() == fkData) {
    TTolvanBlobStream Writer(*Field, bmWrite);
    if (Size > 0)
      Writer.WriteBuffer(Value.Data(), Size);
    Writer.Close();
    return;
  }
  TTolvanStream* Stream = FCursor->OpenBlob(State() == dsInsert, VisibleNo, tbmWrite);
  try {
    // The size change marks the stream written, so an empty value is stored too.
    Stream->SetSize(0);
    if (Size > 0)
      Stream->WriteBuffer(Value.Data(), Size);
  } catch (...) {
    FCursor->CloseBlob(VisibleNo);
    throw;
  }
  FCursor->CloseBlob(VisibleNo);
}

} // namespace tolvan
