#include "classlib/DBFields.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/DataSet.h"
#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "classlib/Format.h"

namespace tolvan {

namespace {

// Nearest integer, ties to even; false when X is not finite.
bool RoundHalfEven(long double X, long double& R) {
  if (!std::isfinite(X))
    return false;
  R = std::trunc(X);
  const long double Diff = std::fabs(X - R);
  if (Diff > 0.5L || (Diff == 0.5L && std::fmod(R, 2.0L) != 0))
    R += X < 0 ? -1 : 1;
  return true;
}

// The value's text for a message; never fails.
std::string VariantText(const Variant& V) {
  try {
    return VarToStr(V);
  } catch (const Exception&) {
    return VarTypeAsText(V.VarType());
  }
}

[[noreturn]] void AccessError(const TField& F, std::string_view TypeName) {
  DatabaseError(Format(DBConsts::SFieldAccessError, F.DisplayName(), TypeName), &F);
}

[[noreturn]] void ValueError(const TField& F, std::string_view Text) {
  DatabaseError(Format(DBConsts::SFieldValueError, Text, F.DisplayName()), &F);
}

[[noreturn]] void RangeError(const TField& F, std::string_view Text, std::string_view Min,
                             std::string_view Max) {
  DatabaseError(Format(DBConsts::SFieldRangeError, Text, F.DisplayName(), Min, Max), &F);
}

// Reads the field as Value and converts it with Variant's rules; null gives the zero value.
template <class Fn> auto ReadAs(const TField& F, std::string_view TypeName, Fn&& Convert) {
  Variant V = F.Value();
  using R = decltype(Convert(V));
  if (V.IsNull() || V.IsEmpty())
    return R{};
  try {
    return Convert(V);
  } catch (const EVariantError&) {
  } catch (const EConvertError&) {
  }
  AccessError(F, TypeName);
}

// The integer range a write must keep to.
struct TRange {
  int64_t Min, Max;
};

[[noreturn]] void RangeError(const TField& F, std::string_view Text, TRange Range) {
  RangeError(F, Text, IntToStr(Range.Min), IntToStr(Range.Max));
}

// Converts V for a write with Variant's rules. Overflow of an integer target is a range error;
// anything else that fails is a value error.
template <class Fn>
auto WriteAs(const TField& F, const Variant& V, Fn&& Convert, const TRange* Range = nullptr) {
  try {
    return Convert(V);
  } catch (const EVariantOverflowError&) {
    if (Range)
      RangeError(F, VariantText(V), *Range);
  } catch (const EVariantError&) {
  } catch (const EConvertError&) {
  }
  ValueError(F, VariantText(V));
}

Variant ByteArray(const uint8_t* Data, size_t Count) {
  Variant A = VarArrayCreate({0, static_cast<int32_t>(Count) - 1}, varByte);
  if (Count) {
    std::memcpy(VarArrayLock(A), Data, Count);
    VarArrayUnlock(A);
  }
  return A;
}

// The bytes of a one-dimensional byte array; false for any other Variant.
bool ArrayBytes(const Variant& V, std::vector<uint8_t>& Bytes) {
  if (V.VarType() != (varArray | varByte) || VarArrayDimCount(V) != 1)
    return false;
  Variant Copy(V);
  const int64_t Count =
      int64_t(VarArrayHighBound(Copy, 1)) - int64_t(VarArrayLowBound(Copy, 1)) + 1;
  Bytes.resize(static_cast<size_t>(Count));
  if (Count) {
    std::memcpy(Bytes.data(), VarArrayLock(Copy), Bytes.size());
    VarArrayUnlock(Copy);
  }
  return true;
}

bool IsBlobType(TFieldType T) {
  return T == ftBlob || T == ftMemo || T == ftGraphic || T == ftFmtMemo || T == ftParadoxOle ||
         T == ftDBaseOle || T == ftTypedBinary;
}

constexpr int64_t MaxBlobBytes = INT32_MAX;

} // namespace

// ---------------------------------------------------------------------------------------------
// Native forms

TSQLTimeStamp LoadSQLTimeStamp(const void* P) noexcept {
  const auto* B = static_cast<const uint8_t*>(P);
  TSQLTimeStamp T;
  T.Year = LoadLE<int16_t>(B);
  T.Month = LoadLE<uint16_t>(B + 2);
  T.Day = LoadLE<uint16_t>(B + 4);
  T.Hour = LoadLE<uint16_t>(B + 6);
  T.Minute = LoadLE<uint16_t>(B + 8);
  T.Second = LoadLE<uint16_t>(B + 10);
  T.Fractions = LoadLE<uint32_t>(B + 12);
  return T;
}

void StoreSQLTimeStamp(void* P, const TSQLTimeStamp& T) noexcept {
  auto* B = static_cast<uint8_t*>(P);
  StoreLE(B, T.Year);
  StoreLE(B + 2, T.Month);
  StoreLE(B + 4, T.Day);
  StoreLE(B + 6, T.Hour);
  StoreLE(B + 8, T.Minute);
  StoreLE(B + 10, T.Second);
  StoreLE(B + 12, T.Fractions);
}

TDateTime SQLTimeStampToDateTime(const TSQLTimeStamp& T) {
  TDateTime Result;
  if (T.Fractions > 999 || !TryEncodeDateTime(T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second,
                                              static_cast<int>(T.Fractions), Result))
    throw EConvertError(std::string(SysConst::SDateEncodeError));
  return Result;
}

TSQLTimeStamp DateTimeToSQLTimeStamp(TDateTime Value) {
  int Year, Month, Day, Hour, Min, Sec, MSec;
  DecodeDateTime(Value, Year, Month, Day, Hour, Min, Sec, MSec);
  TSQLTimeStamp T;
  T.Year = static_cast<int16_t>(Year);
  T.Month = static_cast<uint16_t>(Month);
  T.Day = static_cast<uint16_t>(Day);
  T.Hour = static_cast<uint16_t>(Hour);
  T.Minute = static_cast<uint16_t>(Min);
  T.Second = static_cast<uint16_t>(Sec);
  T.Fractions = static_cast<uint32_t>(MSec);
  return T;
}

bool TryDateTimeToNative(TFieldType DataType, TDateTime Value, void* Native) noexcept {
  if (!std::isfinite(Value))
    return false;
  const double Whole = std::trunc(Value);
  const double Day = Whole + DateDelta;
  if (Day < INT32_MIN || Day > INT32_MAX)
    return false;
  // Before 1899-12-30 the fraction counts forward from the day's midnight all the same.
  long double Ms = 0;
  RoundHalfEven(static_cast<long double>(std::fabs(Value - Whole)) * MSecsPerDay, Ms);
  switch (DataType) {
  case ftDate:
    StoreLE(Native, static_cast<int32_t>(Day));
    return true;
  case ftTime:
    StoreLE(Native, Ms >= MSecsPerDay ? int32_t(0) : static_cast<int32_t>(Ms));
    return true;
  case ftDateTime:
    StoreLE(Native, Day * MSecsPerDay + static_cast<double>(Ms));
    return true;
  default:
    return false;
  }
}

void DateTimeToNative(TFieldType DataType, TDateTime Value, void* Native) {
  if (!TryDateTimeToNative(DataType, Value, Native))
    throw EConvertError(std::string(SysConst::SDateEncodeError));
}

TDateTime NativeToDateTime(TFieldType DataType, const void* Native) {
  switch (DataType) {
  case ftDate:
    return static_cast<double>(LoadLE<int32_t>(Native)) - DateDelta;
  case ftTime:
    return static_cast<double>(LoadLE<int32_t>(Native)) / MSecsPerDay;
  case ftDateTime: {
    const double M = LoadLE<double>(Native);
    double Days = std::floor(M / MSecsPerDay);
    if (!std::isfinite(M) || Days < INT32_MIN || Days > INT32_MAX)
      break;
    double Ms = M - Days * MSecsPerDay;
    if (Ms < 0) {
      Days -= 1;
      Ms += MSecsPerDay;
    } else if (Ms >= MSecsPerDay) {
      Days += 1;
      Ms -= MSecsPerDay;
    }
    const double Date = Days - DateDelta;
    return Date < 0 ? Date - Ms / MSecsPerDay : Date + Ms / MSecsPerDay;
  }
  default:
    break;
  }
  throw EConvertError(std::string(SysConst::SDateDecodeError));
}

bool FieldTypeNeedsConversion(TFieldType DataType) noexcept {
  switch (DataType) {
  case ftDate:
  case ftTime:
  case ftDateTime:
  case ftTimeStamp:
  case ftWideString:
    return true;
  default:
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// TField

TField::TField(TFieldType DataType, int32_t DefaultSize)
    : FDataType(DataType), FSize(DefaultSize) {}

TField::~TField() {
  if (FDataSet)
    FDataSet->Fields().Remove(this);
}

void TField::BeforeDestruction() {
  if (FDataSet && FDataSet->Active() && !FDataSet->Closing())
    FDataSet->Close();
  TComponent::BeforeDestruction();
}

void TField::SetFieldName(std::string_view Value) {
  if (FDataSet)
    FDataSet->CheckInactive();
  FFieldName = Value;
}

void TField::SetFieldKind(TFieldKind Value) {
  if (Value == FFieldKind)
    return;
  if (FDataSet)
    FDataSet->CheckInactive();
  // The native form is a pointer to the field's own text: a calculated record buffer would
  // keep it beyond the text's life.
  if (Value != fkData && FDataType == ftWideString)
    DatabaseError(Format(DBConsts::SInvalidCalcType, DisplayName()), this);
  FFieldKind = Value;
}

void TField::SetSize(int32_t Value) {
  if (!HasSize() || Value == FSize)
    return;
  if (FDataSet)
    FDataSet->CheckInactive();
  if (Value < 0 || Value > MaxSize())
    DatabaseError(DBConsts::SInvalidFieldSize, this);
  FSize = Value;
  SizeChanged();
}

void TField::SetDataSet(TDataSet* Value) {
  if (Value == FDataSet)
    return;
  if (FDataSet)
    FDataSet->CheckInactive();
  if (Value) {
    Value->CheckInactive();
    Value->Fields().Add(this);
  }
  if (FDataSet)
    FDataSet->Fields().Remove(this);
  FDataSet = Value;
}

bool TField::IsIndexField() const { return FDataSet && FDataSet->IsIndexField(*this); }

TDataSet& TField::CheckDataSet() const {
  if (!FDataSet)
    DatabaseError(Format(DBConsts::SDataSetMissing, DisplayName()), this);
  return *FDataSet;
}

bool TField::GetData(void* Buffer, bool NativeFormat) const {
  TDataSet& DS = CheckDataSet();
  const bool Convert = Buffer && !NativeFormat && FieldTypeNeedsConversion(FDataType);
  if (FValidating) {
    if (!FValidateBuffer)
      return false;
    if (Convert)
      DS.ConvertFieldData(*this, FValidateBuffer, Buffer, false);
    else if (Buffer)
      std::memcpy(Buffer, FValidateBuffer, static_cast<size_t>(DataSize()));
    return true;
  }
  if (!Convert)
    return DS.ReadFieldData(*this, Buffer);
  uint8_t Scratch[16] = {};
  if (!DS.ReadFieldData(*this, Scratch))
    return false;
  DS.ConvertFieldData(*this, Scratch, Buffer, false);
  return true;
}

void TField::SetData(const void* Buffer, bool NativeFormat) {
  TDataSet& DS = CheckDataSet();
  if (!Buffer || NativeFormat || !FieldTypeNeedsConversion(FDataType)) {
    DS.WriteFieldData(*this, Buffer);
    return;
  }
  uint8_t Scratch[16] = {};
  DS.ConvertFieldData(*this, Buffer, Scratch, true);
  DS.WriteFieldData(*this, Scratch);
}

void TField::Validate(const void* Buffer) {
  if (!FOnValidate)
    return;
  struct TRestore {
    TField& F;
    bool Validating;
    const void* Buffer;
    ~TRestore() {
      F.FValidating = Validating;
      F.FValidateBuffer = Buffer;
    }
  } Restore{*this, FValidating, FValidateBuffer};
  FValidating = true;
  FValidateBuffer = Buffer;
  FOnValidate(*this);
}

void TField::Change() {
  if (FOnChange)
    FOnChange(*this);
}

void TField::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TField*>(&Source);
  if (!From) {
    TComponent::Assign(Source);
    return;
  }
  if (From == this)
    return;
  // Bytes travel as bytes; a byte array would not convert into text.
  if (dynamic_cast<const TBlobField*>(From) || dynamic_cast<const TBinaryField*>(From)) {
    if (From->IsNull())
      Clear();
    else
      SetAsString(From->AsString());
    return;
  }
  SetValue(From->Value());
}

AnsiString TField::AsString() const {
  return ReadAs(*this, "String", [](const Variant& V) { return V.AsString(); });
}
WideString TField::AsWideString() const {
  return ReadAs(*this, "WideString", [](const Variant& V) { return V.AsWideString(); });
}
int32_t TField::AsInteger() const {
  return ReadAs(*this, "Integer", [](const Variant& V) { return V.AsInteger(); });
}
int64_t TField::AsLargeInt() const {
  return ReadAs(*this, "LargeInt", [](const Variant& V) { return V.AsInt64(); });
}
double TField::AsFloat() const {
  return ReadAs(*this, "Float", [](const Variant& V) { return V.AsDouble(); });
}
Currency TField::AsCurrency() const {
  return ReadAs(*this, "Currency", [](const Variant& V) { return V.AsCurrency(); });
}
TDateTime TField::AsDateTime() const {
  return ReadAs(*this, "DateTime", [](const Variant& V) { return V.AsDateTime(); });
}
bool TField::AsBoolean() const {
  return ReadAs(*this, "Boolean", [](const Variant& V) { return V.AsBoolean(); });
}

void TField::SetAsString(std::string_view Value) { SetValue(Variant(Value)); }
void TField::SetAsWideString(std::u16string_view Value) { SetValue(Variant(Value)); }
void TField::SetAsInteger(int32_t Value) { SetValue(Variant(Value)); }
void TField::SetAsLargeInt(int64_t Value) { SetValue(Variant(Value)); }
void TField::SetAsFloat(double Value) { SetValue(Variant(Value)); }
void TField::SetAsCurrency(Currency Value) { SetValue(Variant(Value)); }
void TField::SetAsDateTime(TDateTime Value) { SetValue(VarFromDateTime(Value)); }
void TField::SetAsBoolean(bool Value) { SetValue(Variant(Value)); }

// ---------------------------------------------------------------------------------------------
// Strings

TStringField::TStringField(TFieldType DataType)
    : TField(DataType == ftFixedChar ? ftFixedChar : ftString, 20) {}

bool TStringField::ReadText(AnsiString& Text) const {
  const size_t Limit = static_cast<size_t>(Size());
  Text.assign(Limit + 1, '\0');
  if (!GetData(Text.data())) {
    Text.clear();
    return false;
  }
  Text.resize(strnlen(Text.data(), Limit));
  return true;
}

Variant TStringField::Value() const {
  AnsiString Text;
  return ReadText(Text) ? Variant(std::move(Text)) : Variant::Null();
}

void TStringField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsString(WriteAs(*this, Value, [](const Variant& V) { return V.AsString(); }));
}

AnsiString TStringField::AsString() const {
  AnsiString Text;
  ReadText(Text);
  return Text;
}

void TStringField::SetAsString(std::string_view Value) {
  const size_t Limit = static_cast<size_t>(Size());
  const size_t Count = std::min(Value.size(), Limit);
  FWriteBuffer.resize(Limit + 1);
  std::memcpy(FWriteBuffer.data(), Value.data(), Count);
  // The tail is cleared so that the same text always gives the same bytes.
  std::memset(FWriteBuffer.data() + Count, 0, Limit + 1 - Count);
  SetData(FWriteBuffer.data());
}

WideString TStringField::AsWideString() const { return AnsiToWide(AsString()); }

void TStringField::SetAsWideString(std::u16string_view Value) { SetAsString(WideToAnsi(Value)); }

TWideStringField::TWideStringField() : TField(ftWideString, 20) {}

bool TWideStringField::ReadText(WideString& Text) const {
  Text.clear();
  return GetData(&Text, false);
}

Variant TWideStringField::Value() const {
  WideString Text;
  return ReadText(Text) ? Variant(std::move(Text)) : Variant::Null();
}

void TWideStringField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsWideString(WriteAs(*this, Value, [](const Variant& V) { return V.AsWideString(); }));
}

WideString TWideStringField::AsWideString() const {
  WideString Text;
  ReadText(Text);
  return Text;
}

void TWideStringField::SetAsWideString(std::u16string_view Value) {
  FWriteValue.assign(Value.substr(0, static_cast<size_t>(Size())));
  SetData(&FWriteValue, false);
}

AnsiString TWideStringField::AsString() const { return WideToAnsi(AsWideString()); }

void TWideStringField::SetAsString(std::string_view Value) { SetAsWideString(AnsiToWide(Value)); }

// ---------------------------------------------------------------------------------------------
// Integers

TIntegerField::TIntegerField() : TIntegerField(ftInteger, 4, INT32_MIN, INT32_MAX) {}

TIntegerField::TIntegerField(TFieldType DataType, int32_t Width, int32_t Min, int32_t Max)
    : TField(DataType), FWidth(Width), FMin(Min), FMax(Max) {}

TSmallintField::TSmallintField() : TIntegerField(ftSmallint, 2, INT16_MIN, INT16_MAX) {}
TWordField::TWordField() : TIntegerField(ftWord, 2, 0, UINT16_MAX) {}
TAutoIncField::TAutoIncField() : TIntegerField(ftAutoInc, 4, INT32_MIN, INT32_MAX) {}

bool TIntegerField::ReadInt(int32_t& Value) const {
  uint8_t Native[4] = {};
  if (!GetData(Native)) {
    Value = 0;
    return false;
  }
  if (FWidth == 2)
    Value = FMin < 0 ? LoadLE<int16_t>(Native) : LoadLE<uint16_t>(Native);
  else
    Value = LoadLE<int32_t>(Native);
  return true;
}

void TIntegerField::WriteChecked(int64_t Value) {
  if (Value < FMin || Value > FMax)
    RangeError(*this, IntToStr(Value), TRange{FMin, FMax});
  uint8_t Native[4];
  if (FWidth == 2)
    StoreLE(Native, static_cast<uint16_t>(Value));
  else
    StoreLE(Native, static_cast<int32_t>(Value));
  SetData(Native);
}

Variant TIntegerField::Value() const {
  int32_t V;
  return ReadInt(V) ? Variant(V) : Variant::Null();
}

void TIntegerField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  const TRange Range{FMin, FMax};
  const int64_t V = WriteAs(
      *this, Value, [](const Variant& X) { return X.AsInt64(); }, &Range);
  if (V < FMin || V > FMax)
    RangeError(*this, VariantText(Value), Range);
  WriteChecked(V);
}

AnsiString TIntegerField::AsString() const {
  int32_t V;
  return ReadInt(V) ? IntToStr(V) : AnsiString();
}

int32_t TIntegerField::AsInteger() const {
  int32_t V;
  ReadInt(V);
  return V;
}

void TIntegerField::SetAsInteger(int32_t Value) { WriteChecked(Value); }

int64_t TIntegerField::AsLargeInt() const { return AsInteger(); }

void TIntegerField::SetAsLargeInt(int64_t Value) { WriteChecked(Value); }

double TIntegerField::AsFloat() const { return AsInteger(); }

void TIntegerField::SetAsFloat(double Value) {
  long double R;
  if (!RoundHalfEven(Value, R))
    ValueError(*this, FloatToStr(Value));
  if (R < FMin || R > FMax)
    RangeError(*this, FloatToStr(Value), TRange{FMin, FMax});
  WriteChecked(static_cast<int64_t>(R));
}

TLargeintField::TLargeintField() : TField(ftLargeint) {}

bool TLargeintField::ReadInt(int64_t& Value) const {
  uint8_t Native[8] = {};
  const bool Has = GetData(Native);
  Value = Has ? LoadLE<int64_t>(Native) : 0;
  return Has;
}

void TLargeintField::Write(int64_t Value) {
  uint8_t Native[8];
  StoreLE(Native, Value);
  SetData(Native);
}

Variant TLargeintField::Value() const {
  int64_t V;
  return ReadInt(V) ? Variant(V) : Variant::Null();
}

void TLargeintField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  const TRange Range{INT64_MIN, INT64_MAX};
  Write(WriteAs(
      *this, Value, [](const Variant& X) { return X.AsInt64(); }, &Range));
}

AnsiString TLargeintField::AsString() const {
  int64_t V;
  return ReadInt(V) ? IntToStr(V) : AnsiString();
}

int32_t TLargeintField::AsInteger() const {
  int64_t V;
  ReadInt(V);
  if (V < INT32_MIN || V > INT32_MAX)
    AccessError(*this, "Integer");
  return static_cast<int32_t>(V);
}

int64_t TLargeintField::AsLargeInt() const {
  int64_t V;
  ReadInt(V);
  return V;
}

void TLargeintField::SetAsLargeInt(int64_t Value) { Write(Value); }

double TLargeintField::AsFloat() const { return static_cast<double>(AsLargeInt()); }

void TLargeintField::SetAsFloat(double Value) {
  long double R;
  if (!RoundHalfEven(Value, R))
    ValueError(*this, FloatToStr(Value));
  if (R < -0x1p63L || R >= 0x1p63L)
    RangeError(*this, FloatToStr(Value), TRange{INT64_MIN, INT64_MAX});
  Write(static_cast<int64_t>(R));
}

// ---------------------------------------------------------------------------------------------
// Boolean, floats

TBooleanField::TBooleanField() : TField(ftBoolean) {}

Variant TBooleanField::Value() const {
  uint8_t Native[2] = {};
  return GetData(Native) ? Variant(LoadLE<int16_t>(Native) != 0) : Variant::Null();
}

void TBooleanField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsBoolean(WriteAs(*this, Value, [](const Variant& V) { return V.AsBoolean(); }));
}

AnsiString TBooleanField::AsString() const {
  uint8_t Native[2] = {};
  if (!GetData(Native))
    return AnsiString();
  return LoadLE<int16_t>(Native) != 0 ? "True" : "False";
}

bool TBooleanField::AsBoolean() const {
  uint8_t Native[2] = {};
  return GetData(Native) && LoadLE<int16_t>(Native) != 0;
}

void TBooleanField::SetAsBoolean(bool Value) {
  uint8_t Native[2];
  StoreLE(Native, static_cast<int16_t>(Value ? -1 : 0));
  SetData(Native);
}

TFloatField::TFloatField() : TFloatField(ftFloat) {}
TFloatField::TFloatField(TFieldType DataType) : TField(DataType) {}
TCurrencyField::TCurrencyField() : TFloatField(ftCurrency) {}

bool TFloatField::ReadFloat(double& Value) const {
  uint8_t Native[8] = {};
  const bool Has = GetData(Native);
  Value = Has ? LoadLE<double>(Native) : 0;
  return Has;
}

Variant TFloatField::Value() const {
  double V;
  return ReadFloat(V) ? Variant(V) : Variant::Null();
}

void TFloatField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsFloat(WriteAs(*this, Value, [](const Variant& V) { return V.AsDouble(); }));
}

AnsiString TFloatField::AsString() const {
  double V;
  return ReadFloat(V) ? FloatToStr(V) : AnsiString();
}

double TFloatField::AsFloat() const {
  double V;
  ReadFloat(V);
  return V;
}

void TFloatField::SetAsFloat(double Value) {
  uint8_t Native[8];
  StoreLE(Native, Value);
  SetData(Native);
}

// ---------------------------------------------------------------------------------------------
// Dates and times

TDateTimeField::TDateTimeField() : TDateTimeField(ftDateTime) {}
TDateTimeField::TDateTimeField(TFieldType DataType) : TField(DataType) {}
TDateField::TDateField() : TDateTimeField(ftDate) {}
TTimeField::TTimeField() : TDateTimeField(ftTime) {}

bool TDateTimeField::ReadDateTime(TDateTime& Value) const {
  uint8_t Form[8] = {};
  bool Has;
  try {
    Has = GetData(Form, false);
  } catch (const EConvertError&) {
    AccessError(*this, "DateTime"); // a stored value that is no moment
  }
  Value = Has ? LoadLE<double>(Form) : 0;
  return Has;
}

Variant TDateTimeField::Value() const {
  TDateTime V;
  return ReadDateTime(V) ? VarFromDateTime(V) : Variant::Null();
}

void TDateTimeField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsDateTime(WriteAs(*this, Value, [](const Variant& V) { return V.AsDateTime(); }));
}

AnsiString TDateTimeField::AsString() const {
  TDateTime V;
  if (!ReadDateTime(V))
    return AnsiString();
  try {
    switch (DataType()) {
    case ftDate:
      return DateToStr(V);
    case ftTime:
      return TimeToStr(V);
    default:
      return DateTimeToStr(V);
    }
  } catch (const EConvertError&) {
    AccessError(*this, "String");
  }
}

TDateTime TDateTimeField::AsDateTime() const {
  TDateTime V;
  ReadDateTime(V);
  return V;
}

void TDateTimeField::SetAsDateTime(TDateTime Value) {
  uint8_t Native[8];
  if (!TryDateTimeToNative(DataType(), Value, Native))
    ValueError(*this, FloatToStr(Value));
  uint8_t Form[8];
  StoreLE(Form, Value);
  SetData(Form, false);
}

TSQLTimeStampField::TSQLTimeStampField() : TField(ftTimeStamp) {}

TSQLTimeStamp TSQLTimeStampField::AsSQLTimeStamp() const {
  uint8_t Form[SQLTimeStampSize] = {};
  return GetData(Form, false) ? LoadSQLTimeStamp(Form) : TSQLTimeStamp();
}

void TSQLTimeStampField::SetAsSQLTimeStamp(const TSQLTimeStamp& Value) {
  try {
    (void)SQLTimeStampToDateTime(Value);
  } catch (const EConvertError&) {
    ValueError(*this, Format("%d-%d-%d %d:%d:%d.%d", Value.Year, Value.Month, Value.Day, Value.Hour,
                             Value.Minute, Value.Second, Value.Fractions));
  }
  uint8_t Form[SQLTimeStampSize];
  StoreSQLTimeStamp(Form, Value);
  SetData(Form, false);
}

Variant TSQLTimeStampField::Value() const {
  uint8_t Form[SQLTimeStampSize] = {};
  if (!GetData(Form, false))
    return Variant::Null();
  try {
    return VarFromDateTime(SQLTimeStampToDateTime(LoadSQLTimeStamp(Form)));
  } catch (const EConvertError&) {
    AccessError(*this, "DateTime");
  }
}

void TSQLTimeStampField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  SetAsDateTime(WriteAs(*this, Value, [](const Variant& V) { return V.AsDateTime(); }));
}

AnsiString TSQLTimeStampField::AsString() const {
  Variant V = Value();
  return V.IsNull() ? AnsiString() : DateTimeToStr(VarToDateTime(V));
}

TDateTime TSQLTimeStampField::AsDateTime() const {
  Variant V = Value();
  return V.IsNull() ? 0 : VarToDateTime(V);
}

void TSQLTimeStampField::SetAsDateTime(TDateTime Value) {
  TSQLTimeStamp T;
  try {
    T = DateTimeToSQLTimeStamp(Value);
  } catch (const EConvertError&) {
    ValueError(*this, FloatToStr(Value));
  }
  SetAsSQLTimeStamp(T);
}

// ---------------------------------------------------------------------------------------------
// Bytes

TBinaryField::TBinaryField(TFieldType DataType) : TField(DataType, 16) {}
TBytesField::TBytesField() : TBinaryField(ftBytes) {}
TVarBytesField::TVarBytesField() : TBinaryField(ftVarBytes) {}

std::vector<uint8_t> TBinaryField::AsBytes() const {
  std::vector<uint8_t> Bytes(static_cast<size_t>(Size()));
  if (!GetData(Bytes.data()))
    Bytes.clear();
  return Bytes;
}

void TBinaryField::SetAsBytes(std::span<const uint8_t> Value) {
  const size_t Limit = static_cast<size_t>(Size());
  if (Value.size() > Limit)
    DatabaseError(
        Format(DBConsts::SFieldTooLong, static_cast<int64_t>(Value.size()), DisplayName(), Size()),
        this);
  // One byte at least, so that an empty value is never taken for null.
  FWriteBuffer.assign(std::max<size_t>(Limit, 1), 0);
  if (!Value.empty())
    std::memcpy(FWriteBuffer.data(), Value.data(), Value.size());
  SetData(FWriteBuffer.data());
}

Variant TBinaryField::Value() const {
  std::vector<uint8_t> Bytes(static_cast<size_t>(Size()));
  if (!GetData(Bytes.data()))
    return Variant::Null();
  return ByteArray(Bytes.data(), Bytes.size());
}

void TBinaryField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  std::vector<uint8_t> Bytes;
  if (Value.IsArray()) {
    if (!ArrayBytes(Value, Bytes))
      ValueError(*this, VariantText(Value));
    SetAsBytes(Bytes);
    return;
  }
  SetAsString(WriteAs(*this, Value, [](const Variant& V) { return V.AsString(); }));
}

AnsiString TBinaryField::AsString() const {
  std::vector<uint8_t> Bytes = AsBytes();
  return AnsiString(Bytes.begin(), Bytes.end());
}

void TBinaryField::SetAsString(std::string_view Value) {
  SetAsBytes(std::span(reinterpret_cast<const uint8_t*>(Value.data()), Value.size()));
}

// ---------------------------------------------------------------------------------------------
// BLOBs

TBlobField::TBlobField(TFieldType DataType) : TField(IsBlobType(DataType) ? DataType : ftBlob) {}
TMemoField::TMemoField() : TBlobField(ftMemo) {}

std::unique_ptr<TStream> TBlobField::OpenStream(TBlobStreamMode Mode) const {
  // Reading needs no change of the field, but the dataset's stream may record into it.
  auto& Self = const_cast<TBlobField&>(*this);
  std::unique_ptr<TStream> Stream = CheckDataSet().OpenBlobStream(Self, Mode);
  if (!Stream)
    DatabaseError(Format(DBConsts::SNoBlobStream, DisplayName()), this);
  return Stream;
}

template <class Bytes> Bytes TBlobField::ReadAll() const {
  std::unique_ptr<TStream> Stream = OpenStream(bmRead);
  const int64_t Count = Stream->Size();
  if (Count < 0 || Count > MaxBlobBytes)
    DatabaseError(Format(DBConsts::SBlobTooLarge, DisplayName(), Count), this);
  Bytes Data(static_cast<size_t>(Count), 0);
  Stream->ReadBuffer(Data.data(), Count);
  Stream->Close();
  return Data;
}

void TBlobField::WriteAll(const void* Data, size_t Count) {
  std::unique_ptr<TStream> Stream = OpenStream(bmWrite);
  Stream->WriteBuffer(Data, static_cast<int64_t>(Count));
  Stream->Close();
}

std::vector<uint8_t> TBlobField::AsBytes() const { return ReadAll<std::vector<uint8_t>>(); }

void TBlobField::SetAsBytes(std::span<const uint8_t> Value) {
  WriteAll(Value.data(), Value.size());
}

void TBlobField::LoadFromStream(TStream& Source) {
  std::unique_ptr<TStream> Stream = OpenStream(bmWrite);
  Stream->CopyFrom(Source, 0);
  Stream->Close();
}

void TBlobField::SaveToStream(TStream& Dest) const {
  std::unique_ptr<TStream> Stream = OpenStream(bmRead);
  Dest.CopyFrom(*Stream, 0);
  Stream->Close();
}

Variant TBlobField::Value() const {
  if (IsNull())
    return Variant::Null();
  std::vector<uint8_t> Bytes = AsBytes();
  return ByteArray(Bytes.data(), Bytes.size());
}

Variant TMemoField::Value() const {
  if (IsNull())
    return Variant::Null();
  return Variant(AsString());
}

void TBlobField::SetValue(const Variant& Value) {
  if (Value.IsNull() || Value.IsEmpty()) {
    Clear();
    return;
  }
  if (Value.IsArray()) {
    std::vector<uint8_t> Bytes;
    if (!ArrayBytes(Value, Bytes))
      ValueError(*this, VariantText(Value));
    SetAsBytes(Bytes);
    return;
  }
  SetAsString(WriteAs(*this, Value, [](const Variant& V) { return V.AsString(); }));
}

AnsiString TBlobField::AsString() const { return ReadAll<AnsiString>(); }

void TBlobField::SetAsString(std::string_view Value) { WriteAll(Value.data(), Value.size()); }

WideString TBlobField::AsWideString() const { return AnsiToWide(AsString()); }

void TBlobField::SetAsWideString(std::u16string_view Value) { SetAsString(WideToAnsi(Value)); }

void TBlobField::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TBlobField*>(&Source);
  if (!From) {
    TField::Assign(Source);
    return;
  }
  if (From == this)
    return;
  if (From->IsNull())
    Clear();
  else
    SetAsString(From->AsString());
}

// ---------------------------------------------------------------------------------------------

TField* NewFieldOfType(TFieldType DataType, TComponent* Owner) {
  switch (DataType) {
  case ftString:
  case ftFixedChar:
    return NewComponent<TStringField>(Owner, DataType);
  case ftSmallint:
    return NewComponent<TSmallintField>(Owner);
  case ftInteger:
    return NewComponent<TIntegerField>(Owner);
  case ftWord:
    return NewComponent<TWordField>(Owner);
  case ftAutoInc:
    return NewComponent<TAutoIncField>(Owner);
  case ftLargeint:
    return NewComponent<TLargeintField>(Owner);
  case ftBoolean:
    return NewComponent<TBooleanField>(Owner);
  case ftFloat:
    return NewComponent<TFloatField>(Owner);
  case ftCurrency:
    return NewComponent<TCurrencyField>(Owner);
  case ftDate:
    return NewComponent<TDateField>(Owner);
  case ftTime:
    return NewComponent<TTimeField>(Owner);
  case ftDateTime:
    return NewComponent<TDateTimeField>(Owner);
  case ftTimeStamp:
    return NewComponent<TSQLTimeStampField>(Owner);
  case ftBytes:
    return NewComponent<TBytesField>(Owner);
  case ftVarBytes:
    return NewComponent<TVarBytesField>(Owner);
  case ftWideString:
    return NewComponent<TWideStringField>(Owner);
  case ftMemo:
    return NewComponent<TMemoField>(Owner);
  case ftBlob:
  case ftGraphic:
  case ftFmtMemo:
  case ftParadoxOle:
  case ftDBaseOle:
  case ftTypedBinary:
    return NewComponent<TBlobField>(Owner, DataType);
  default:
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// TFields

TField& TFields::Fields(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FList[static_cast<size_t>(Index)];
}

TField* TFields::FindField(std::string_view FieldName) const {
  for (TField* F : FList)
    if (AnsiSameText(F->FieldName(), FieldName))
      return F;
  return nullptr;
}

TField& TFields::FieldByName(std::string_view FieldName) const {
  TField* F = FindField(FieldName);
  if (!F)
    DatabaseError(Format(DBConsts::SFieldNotFound, FieldName), FDataSet);
  return *F;
}

TField* TFields::FieldByNumber(int32_t FieldNo) const {
  for (TField* F : FList)
    if (F->FieldNo() == FieldNo)
      return F;
  return nullptr;
}

int32_t TFields::IndexOf(const TField* Field) const {
  auto It = std::find(FList.begin(), FList.end(), Field);
  return It == FList.end() ? -1 : static_cast<int32_t>(It - FList.begin());
}

void TFields::Add(TField* Field) { FList.push_back(Field); }

void TFields::Remove(TField* Field) noexcept {
  // Fields leave in reverse order when their owner is freed: look from the end.
  auto It = std::find(FList.rbegin(), FList.rend(), Field);
  if (It != FList.rend())
    FList.erase(std::next(It).base());
}

void TFields::DetachAll() noexcept {
  for (TField* F : FList)
    F->FDataSet = nullptr;
  FList.clear();
}

} // namespace tolvan
