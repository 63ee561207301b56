#include "foundation/TolvanValueConvert.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "classlib/Strings.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanConverts.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

// How a storage form is read: the families of value types that convert alike.
enum class TFamily { None, Text, Signed, Unsigned, Float, Currency, Date, Time, DateTime, Logical };

TFamily FamilyOf(TTolvanValueType T) {
  switch (T) {
  case tvtChar:
  case tvtWideChar:
  case tvtString:
  case tvtWideString:
  case tvtBLOB:
  case tvtMemo:
  case tvtWideMemo:
    return TFamily::Text;
  case tvtSignedInt8:
  case tvtSignedInt16:
  case tvtInteger:
  case tvtSignedInt64:
    return TFamily::Signed;
  case tvtUnsignedInt8:
  case tvtUnsignedInt16:
  case tvtUnsignedInt32:
    return TFamily::Unsigned;
  case tvtSingle:
  case tvtFloat:
  case tvtExtended:
    return TFamily::Float;
  case tvtCurrency:
    return TFamily::Currency;
  case tvtDate:
    return TFamily::Date;
  case tvtTime:
    return TFamily::Time;
  case tvtDateTime:
    return TFamily::DateTime;
  case tvtLogical:
    return TFamily::Logical;
  default:
    return TFamily::None;
  }
}

bool HasConversion(TTolvanValueType From, TTolvanValueType To) {
  TFamily F = FamilyOf(From), T = FamilyOf(To);
  if (F == TFamily::None || T == TFamily::None)
    return false;
  bool ToBlob = IsBlobValueType(To);
  bool ToDate = T == TFamily::Date || T == TFamily::Time || T == TFamily::DateTime;
  switch (F) {
  case TFamily::Signed:
  case TFamily::Unsigned:
  case TFamily::Float:
  case TFamily::Date:
  case TFamily::Time:
  case TFamily::DateTime:
    return !ToBlob;
  case TFamily::Currency:
    return !ToBlob && !ToDate;
  case TFamily::Logical:
    return !ToBlob && !ToDate && To != tvtCurrency;
  default:
    return true;
  }
}

// The inclusive range a target integer type accepts. A signed source may use the whole width
// either way (so -1 becomes 255 as a byte); other sources must lie in the type's own range.
struct TRange {
  int64_t Min;
  uint64_t Max;
};

TRange TargetRange(TTolvanValueType T, bool FromSigned) {
  switch (T) {
  case tvtSignedInt8:
    return {-128, FromSigned ? 255u : 127u};
  case tvtUnsignedInt8:
    return {FromSigned ? -128 : 0, 255};
  case tvtSignedInt16:
    return {-32768, FromSigned ? 65535u : 32767u};
  case tvtUnsignedInt16:
    return {FromSigned ? -32768 : 0, 65535};
  case tvtInteger:
    return {INT32_MIN, FromSigned ? 4294967295u : 2147483647u};
  case tvtUnsignedInt32:
    return {FromSigned ? INT32_MIN : 0, 4294967295u};
  default:
    return {INT64_MIN, uint64_t(INT64_MAX)};
  }
}

[[noreturn]] void RangeError() { throw ERangeError(std::string(SysConst::SRangeError)); }

// A source value read into one of a few working forms.
struct TValue {
  TFamily Family = TFamily::None;
  AnsiString Ansi;
  WideString Wide;
  bool IsWide = false;
  int64_t I = 0;   // signed integers, and unsigned ones (which fit)
  long double F = 0;
  int32_t Date = 0, Time = 0;
  bool Logical = false;
};

template <class T>
T Load(const void* Source, int32_t Size) {
  if (Size < static_cast<int32_t>(sizeof(T)))
    RangeError(); // a damaged source: fewer bytes than its type holds
  T V;
  std::memcpy(&V, Source, sizeof V);
  return V;
}

TValue Read(const void* Source, int32_t Size, TTolvanValueType Type) {
  TValue V;
  V.Family = FamilyOf(Type);
  const char* P = static_cast<const char*>(Source);
  switch (Type) {
  case tvtChar:
  case tvtString: {
    const void* Z = std::memchr(P, 0, Size);
    V.Ansi.assign(P, Z ? static_cast<const char*>(Z) - P : Size);
    break;
  }
  case tvtBLOB:
  case tvtMemo:
    V.Ansi.assign(P, Size);
    break;
  case tvtWideChar:
  case tvtWideString:
    V.IsWide = true;
    V.Wide.resize(ValueByteLength(P, Size, tftWideVarchar) / 2);
    std::memcpy(V.Wide.data(), P, V.Wide.size() * 2);
    break;
  case tvtWideMemo:
    V.IsWide = true;
    V.Wide.resize(Size / 2);
    std::memcpy(V.Wide.data(), P, V.Wide.size() * 2);
    break;
  case tvtSignedInt8:
    V.I = Load<int8_t>(P, Size);
    break;
  case tvtSignedInt16:
    V.I = Load<int16_t>(P, Size);
    break;
  case tvtInteger:
    V.I = Load<int32_t>(P, Size);
    break;
  case tvtSignedInt64:
    V.I = Load<int64_t>(P, Size);
    break;
  case tvtUnsignedInt8:
    V.I = Load<uint8_t>(P, Size);
    break;
  case tvtUnsignedInt16:
    V.I = Load<uint16_t>(P, Size);
    break;
  case tvtUnsignedInt32:
    V.I = Load<uint32_t>(P, Size);
    break;
  case tvtSingle:
    V.F = Load<float>(P, Size);
    break;
  case tvtFloat:
  case tvtCurrency:
    V.F = Load<double>(P, Size);
    break;
  case tvtExtended: {
    if (Size < 10)
      RangeError();
    long double X = 0;
    std::memcpy(&X, P, 10);
    V.F = X;
    break;
  }
  case tvtDate:
    V.Date = Load<int32_t>(P, Size);
    break;
  case tvtTime:
    V.Time = Load<int32_t>(P, Size);
    break;
  case tvtDateTime:
    V.Date = Load<int32_t>(P, Size);
    V.Time = Load<int32_t>(P + 4, Size - 4);
    break;
  case tvtLogical:
    V.Logical = Load<int16_t>(P, Size) != 0;
    break;
  default:
    break;
  }
  return V;
}

// Output: a zero-filled MemoryManager block of the target's size.
struct TOutput {
  void* P = nullptr;
  int32_t Size = 0;
  ~TOutput() { MemoryManager.FreeAndNillMemNoRaise(P); }
  void Make(int64_t N) {
    if (N > INT32_MAX)
      RangeError();
    P = MemoryManager.AllocMem(N);
    Size = static_cast<int32_t>(N);
  }
  template <class T>
  void Put(T V) {
    Make(sizeof V);
    std::memcpy(P, &V, sizeof V);
  }
};

// MEMO holds ANSI text, WIDEMEMO UTF-16 text, and a BLOB the text in the width it came in.
void PutText(TOutput& Out, const TValue& V, TTolvanValueType Target) {
  bool WideTarget = Target == tvtBLOB ? V.IsWide : IsWideValueType(Target);
  int32_t Unit = WideTarget ? 2 : 1;
  if (WideTarget) {
    WideString W = V.IsWide ? V.Wide : AnsiToWide(V.Ansi);
    Out.Make((int64_t(W.size()) + 1) * 2);
    std::memcpy(Out.P, W.data(), W.size() * 2);
  } else {
    AnsiString A = V.IsWide ? WideToAnsi(V.Wide) : V.Ansi;
    Out.Make(int64_t(A.size()) + 1);
    std::memcpy(Out.P, A.data(), A.size());
  }
  // The block keeps the terminator, but BLOB content does not count it.
  if (IsBlobValueType(Target))
    Out.Size -= Unit;
}

void PutInteger(TOutput& Out, int64_t Value, bool FromSigned, TTolvanValueType T) {
  TRange R = TargetRange(T, FromSigned);
  if (Value < R.Min || (Value > 0 && uint64_t(Value) > R.Max))
    RangeError();
  switch (T) {
  case tvtSignedInt8:
  case tvtUnsignedInt8:
    Out.Put(static_cast<uint8_t>(Value));
    break;
  case tvtSignedInt16:
  case tvtUnsignedInt16:
    Out.Put(static_cast<uint16_t>(Value));
    break;
  case tvtInteger:
  case tvtUnsignedInt32:
    Out.Put(static_cast<uint32_t>(Value));
    break;
  default:
    Out.Put(Value);
    break;
  }
}

void PutFloat(TOutput& Out, long double Value, TTolvanValueType T) {
  if (std::isnan(Value))
    throw EInvalidOp(std::string(SysConst::SInvalidOp));
  switch (T) {
  case tvtSingle:
    if (std::isfinite(Value) && std::fabs(Value) > std::numeric_limits<float>::max())
      throw EOverflow(std::string(SysConst::SOverflow));
    Out.Put(static_cast<float>(Value));
    break;
  case tvtFloat:
    if (std::isfinite(Value) && std::fabs(Value) > std::numeric_limits<double>::max())
      throw EOverflow(std::string(SysConst::SOverflow));
    Out.Put(static_cast<double>(Value));
    break;
  case tvtCurrency: {
    Currency C;
    if (!TryFloatToCurr(Value, C))
      RangeError();
    Out.Put(static_cast<double>(Value));
    break;
  }
  default: {
    unsigned char B[10];
    std::memcpy(B, &Value, 10);
    Out.Make(10);
    std::memcpy(Out.P, B, 10);
    break;
  }
  }
}

int32_t ToInt32(long double V) {
  if (std::isnan(V) || V < INT32_MIN || V > INT32_MAX)
    RangeError();
  return static_cast<int32_t>(V);
}

int64_t TruncToInt64(long double V) {
  long double T = std::trunc(V);
  if (std::isnan(T) || T < -9223372036854775808.0L || T >= 9223372036854775808.0L)
    RangeError();
  return static_cast<int64_t>(T);
}

// A number of days as a stored date-time: the day is the floor and the time the rest, so the
// time of day is always 0 .. 86 399 999 (never "no time") and day + time equals the number to
// the millisecond, -0.5 being noon of day -1. The rest rounds to the nearest millisecond, ties to
// even, and a rest that rounds to a whole day is midnight of the next. The day is checked
// first: only a number with a day has a time of day to take.
TTolvanStoredDateTime SplitDays(long double F) {
  const long double Day = std::floor(F);
  ToInt32(Day);
  const long double Ms = std::nearbyint((F - Day) * MSecsPerDay);
  int64_t Date = static_cast<int64_t>(Day);
  int32_t Time = static_cast<int32_t>(Ms);
  if (Time >= MSecsPerDay) {
    Time = 0;
    ++Date;
  }
  return {ToInt32(static_cast<long double>(Date)), Time};
}

void PutDateTime(TOutput& Out, int32_t Date, int32_t Time) {
  Out.Make(8);
  std::memcpy(Out.P, &Date, 4);
  std::memcpy(static_cast<char*>(Out.P) + 4, &Time, 4);
}

// Text of a value of any family but Text.
AnsiString TextOf(const TValue& V) {
  switch (V.Family) {
  case TFamily::Signed:
  case TFamily::Unsigned:
    return IntToStr(V.I);
  case TFamily::Float:
    return FloatToStr(V.F);
  case TFamily::Currency:
    return CurrToStr(FloatToCurr(V.F));
  case TFamily::Date:
    return V.Date == EmptyDateValue ? AnsiString() : DateToStr(StoredDateToDateTime(V.Date));
  case TFamily::Time:
    return V.Time == EmptyTimeValue ? AnsiString() : TimeToStr(StoredTimeToDateTime(V.Time));
  case TFamily::DateTime:
    if (V.Date == EmptyDateValue && V.Time == EmptyTimeValue)
      return AnsiString();
    return DateTimeToStr(StoredDateTimeToDateTime({V.Date, V.Time}));
  case TFamily::Logical:
    return V.Logical ? "True" : "False";
  default:
    return AnsiString();
  }
}

TValue TextValue(AnsiString S) {
  TValue V;
  V.Family = TFamily::Text;
  V.Ansi = std::move(S);
  return V;
}

// Text read straight into the target's precision: a double or a single rounded once from the
// digits, not first to extended and then again.
long double TextToFloat(const AnsiString& S, TTolvanValueType T) {
  bool Ok;
  long double Value;
  if (T == tvtFloat) {
    double D = 0;
    Ok = TryStrToFloat(S, D);
    Value = D;
  } else if (T == tvtSingle) {
    float F = 0;
    Ok = TryStrToFloat(S, F);
    Value = F;
  } else {
    Ok = TryStrToFloat(S, Value);
  }
  if (!Ok)
    throw EConvertError(Format(SysConst::SInvalidFloat, S));
  return Value;
}

void FromText(TOutput& Out, const TValue& V, TTolvanValueType T) {
  if (FamilyOf(T) == TFamily::Text) {
    PutText(Out, V, T);
    return;
  }
  AnsiString S = V.IsWide ? WideToAnsi(V.Wide) : V.Ansi;
  switch (FamilyOf(T)) {
  case TFamily::Signed:
  case TFamily::Unsigned:
    PutInteger(Out, StrToInt64(S), false, T);
    break;
  case TFamily::Float:
    PutFloat(Out, TextToFloat(S, T), T);
    break;
  case TFamily::Currency:
    Out.Put(StrToCurr(S).ToDouble());
    break;
  case TFamily::Date:
    Out.Put(DateTimeToStoredDate(StrToDate(S)));
    break;
  case TFamily::Time:
    Out.Put(DateTimeToStoredTime(StrToTime(S)));
    break;
  case TFamily::DateTime: {
    TTolvanStoredDateTime D = DateTimeToStoredDateTime(StrToDateTime(S));
    PutDateTime(Out, D.Date, D.Time);
    break;
  }
  case TFamily::Logical: {
    AnsiString U = UpperCase(S);
    Out.Put(static_cast<int16_t>(U == "1" || U == "TRUE" ? -1 : 0));
    break;
  }
  default:
    break;
  }
}

void FromNumber(TOutput& Out, const TValue& V, TTolvanValueType T) {
  bool IsInt = V.Family == TFamily::Signed || V.Family == TFamily::Unsigned;
  long double F = IsInt ? static_cast<long double>(V.I) : V.F;
  switch (FamilyOf(T)) {
  case TFamily::Signed:
  case TFamily::Unsigned:
    if (IsInt)
      PutInteger(Out, V.I, V.Family == TFamily::Signed, T);
    else
      PutInteger(Out, TruncToInt64(F), false, T);
    break;
  case TFamily::Float:
  case TFamily::Currency:
    PutFloat(Out, F, T);
    break;
  case TFamily::Date:
    Out.Put(ToInt32(std::trunc(F)));
    break;
  case TFamily::Time: {
    // An integer is the stored time itself (-1 stays "no time"); a float is reduced into the day.
    if (IsInt) {
      Out.Put(ToInt32(F));
      break;
    }
    int64_t Ms = TruncToInt64(F) % MSecsPerDay;
    Out.Put(static_cast<int32_t>(Ms < 0 ? Ms + MSecsPerDay : Ms));
    break;
  }
  case TFamily::DateTime:
    if (IsInt) {
      PutDateTime(Out, ToInt32(F), EmptyTimeValue);
    } else {
      const TTolvanStoredDateTime D = SplitDays(F);
      PutDateTime(Out, D.Date, D.Time);
    }
    break;
  case TFamily::Logical:
    Out.Put(static_cast<int16_t>(F != 0 ? -1 : 0));
    break;
  default:
    PutText(Out, TextValue(TextOf(V)), T);
    break;
  }
}

void FromDateTime(TOutput& Out, const TValue& V, TTolvanValueType T) {
  // The stored number the date and time types give as a number.
  long double Number = 0;
  int64_t Integer = 0;
  bool Empty = false;
  switch (V.Family) {
  case TFamily::Date:
    Number = Integer = V.Date;
    Empty = V.Date == EmptyDateValue;
    break;
  case TFamily::Time:
    Number = Integer = V.Time;
    Empty = V.Time == EmptyTimeValue;
    break;
  default:
    Integer = V.Date;
    Number = V.Time == EmptyTimeValue ? V.Date : V.Date + static_cast<long double>(V.Time) / MSecsPerDay;
    Empty = V.Date == EmptyDateValue && V.Time == EmptyTimeValue;
    break;
  }
  switch (FamilyOf(T)) {
  case TFamily::Signed:
  case TFamily::Unsigned:
    PutInteger(Out, Integer, false, T);
    break;
  case TFamily::Float:
  case TFamily::Currency:
    PutFloat(Out, Number, T);
    break;
  case TFamily::Date:
    Out.Put(V.Family == TFamily::Time ? V.Time : V.Date);
    break;
  case TFamily::Time:
    if (V.Family == TFamily::Date) {
      int32_t Ms = V.Date % MSecsPerDay;
      Out.Put(Ms < 0 ? Ms + MSecsPerDay : Ms);
    } else {
      Out.Put(V.Time);
    }
    break;
  case TFamily::DateTime:
    if (V.Family == TFamily::Date)
      PutDateTime(Out, V.Date, EmptyTimeValue);
    else if (V.Family == TFamily::Time)
      PutDateTime(Out, EmptyDateValue, V.Time);
    else
      PutDateTime(Out, V.Date, V.Time);
    break;
  case TFamily::Logical:
    Out.Put(static_cast<int16_t>(Empty ? 0 : -1));
    break;
  default:
    PutText(Out, TextValue(TextOf(V)), T);
    break;
  }
}

void FromLogical(TOutput& Out, const TValue& V, TTolvanValueType T) {
  switch (FamilyOf(T)) {
  case TFamily::Signed:
  case TFamily::Unsigned:
    PutInteger(Out, V.Logical ? 1 : 0, false, T);
    break;
  case TFamily::Float:
    PutFloat(Out, V.Logical ? 1 : 0, T);
    break;
  case TFamily::Logical:
    Out.Put(static_cast<int16_t>(V.Logical ? -1 : 0));
    break;
  default:
    PutText(Out, TextValue(TextOf(V)), T);
    break;
  }
}

} // namespace

void* ConvertValueBuffer(const void* Source, int32_t SourceSize, TTolvanValueType SourceType,
                         TTolvanValueType TargetType, int32_t& Size) {
  Size = 0;
  if (!HasConversion(SourceType, TargetType))
    throw ETolvanException::CreateFmt(30052, SCannotCast, ValueTypeToSQLName(SourceType),
                                      ValueTypeToSQLName(TargetType));
  TOutput Out;
  try {
    if (!Source || SourceSize < 0)
      RangeError();
    TValue V = Read(Source, SourceSize, SourceType);
    switch (V.Family) {
    case TFamily::Text:
      FromText(Out, V, TargetType);
      break;
    case TFamily::Date:
    case TFamily::Time:
    case TFamily::DateTime:
      FromDateTime(Out, V, TargetType);
      break;
    case TFamily::Logical:
      FromLogical(Out, V, TargetType);
      break;
    default:
      FromNumber(Out, V, TargetType);
      break;
    }
  } catch (...) {
    throw ETolvanException::CreateFmt(30051, SCannotCast, ValueTypeToSQLName(SourceType),
                                      ValueTypeToSQLName(TargetType));
  }
  Size = Out.Size;
  void* P = Out.P;
  Out.P = nullptr;
  return P;
}

} // namespace tolvan
