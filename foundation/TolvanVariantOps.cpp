#include "foundation/TolvanVariantOps.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "classlib/ByteOrder.h"
#include "classlib/Collation.h"
#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanDecUtil.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "foundation/TolvanValueConvert.h"

namespace tolvan {

// ---------------------------------------------------------------------------------------------
// Common type
// ---------------------------------------------------------------------------------------------

namespace {

constexpr bool IsTextType(TTolvanValueType T) { return T >= tvtChar && T <= tvtWideString; }
constexpr bool IsNumberType(TTolvanValueType T) { return T >= tvtSignedInt8 && T <= tvtExtended; }
constexpr bool IsDateType(TTolvanValueType T) { return T >= tvtDate && T <= tvtDateTime; }

// Rows: first operand SIGNEDINT8 .. EXTENDED; columns: second operand in the same order.
constexpr TTolvanValueType I8 = tvtSignedInt8, I16 = tvtSignedInt16, I32 = tvtInteger,
                           I64 = tvtSignedInt64, U8 = tvtUnsignedInt8, U16 = tvtUnsignedInt16,
                           U32 = tvtUnsignedInt32, SGL = tvtSingle, DBL = tvtFloat,
                           EXT = tvtExtended;
constexpr TTolvanValueType NumericCommon[10][10] = {
    {I8, I16, I32, I64, I16, U16, U32, SGL, DBL, EXT},
    {I16, I16, I32, I64, I16, U16, U32, SGL, DBL, EXT},
    {I32, I32, I32, I64, I32, I32, I64, SGL, DBL, EXT},
    {I64, I64, I64, I64, I64, I64, I64, SGL, DBL, EXT},
    {I16, I16, I32, I64, U8, U16, U32, SGL, DBL, EXT},
    {I32, I32, I32, I64, U16, U16, U32, SGL, DBL, EXT},
    {I64, I64, I64, I64, U32, U32, U32, SGL, DBL, EXT},
    {SGL, SGL, SGL, SGL, SGL, SGL, SGL, SGL, DBL, EXT},
    {DBL, DBL, DBL, DBL, DBL, DBL, DBL, DBL, DBL, EXT},
    {EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT},
};

constexpr TTolvanValueType CommonRule(TTolvanValueType F, TTolvanValueType S) {
  auto Unmixable = [](TTolvanValueType T) {
    return T == tvtNone || T == tvtBLOB || T == tvtBytes || T == tvtVarBytes || T > tvtVarBytes;
  };
  if (Unmixable(F) || Unmixable(S))
    return tvtNone;
  const bool Text = IsTextType(S), Number = IsNumberType(S), Date = IsDateType(S);
  const bool LogicalOrMoney = S == tvtLogical || S == tvtCurrency;
  switch (F) {
  case tvtChar:
    if (Text || Date)
      return S;
    if (Number || LogicalOrMoney || S == tvtMemo)
      return tvtChar;
    return S == tvtWideMemo ? tvtWideChar : tvtNone;
  case tvtWideChar:
    if (S == tvtWideString)
      return tvtWideString;
    if (S == tvtMemo)
      return tvtChar;
    if (Text || Number || LogicalOrMoney || S == tvtWideMemo)
      return tvtWideChar;
    return Date ? S : tvtNone;
  case tvtString:
    if (S == tvtChar || S == tvtString || Number || LogicalOrMoney)
      return tvtString;
    if (S == tvtWideChar || S == tvtWideMemo)
      return tvtWideChar;
    if (S == tvtWideString)
      return tvtWideString;
    if (S == tvtMemo)
      return tvtChar;
    return Date ? S : tvtNone;
  case tvtWideString:
    if (S == tvtMemo)
      return tvtChar;
    if (S == tvtWideMemo)
      return tvtWideChar;
    if (Date)
      return S;
    return Text || Number || LogicalOrMoney ? tvtWideString : tvtNone;
  case tvtDate:
    if (S == tvtTime)
      return tvtDateTime;
    return S == tvtDate || S == tvtDateTime || Text || Number ? tvtDate : tvtNone;
  case tvtTime:
    if (S == tvtDate)
      return tvtDateTime;
    return S == tvtTime || S == tvtDateTime || Text || Number ? tvtTime : tvtNone;
  case tvtDateTime:
    if (S == tvtDate || S == tvtTime)
      return S;
    return S == tvtDateTime || Text || Number ? tvtDateTime : tvtNone;
  case tvtMemo:
    return Text || S == tvtMemo || S == tvtWideMemo ? S : tvtNone;
  case tvtWideMemo:
    if (S == tvtChar || S == tvtWideChar)
      return tvtWideChar;
    if (S == tvtString || S == tvtWideString)
      return tvtWideString;
    return S == tvtMemo || S == tvtWideMemo ? tvtWideMemo : tvtNone;
  case tvtLogical:
    if (Text || Number)
      return S;
    return S == tvtLogical ? tvtLogical : tvtNone;
  case tvtCurrency:
    if (Text || Number)
      return S;
    return S == tvtCurrency ? tvtCurrency : tvtNone;
  default: // numeric
    if (Text || Date)
      return S;
    if (S == tvtLogical)
      return F;
    if (S == tvtCurrency)
      return tvtCurrency;
    if (Number)
      return NumericCommon[F - tvtSignedInt8][S - tvtSignedInt8];
    return tvtNone;
  }
}

constexpr int TypeSlots = TolvanValueTypeCount + 1;

constexpr std::array<std::array<TTolvanValueType, TypeSlots>, TypeSlots> CommonTable = [] {
  std::array<std::array<TTolvanValueType, TypeSlots>, TypeSlots> T{};
  for (int F = 0; F < TypeSlots; ++F)
    for (int S = 0; S < TypeSlots; ++S)
      T[F][S] = CommonRule(static_cast<TTolvanValueType>(F), static_cast<TTolvanValueType>(S));
  return T;
}();

} // namespace

TTolvanValueType CommonValueType(TTolvanValueType First, TTolvanValueType Second) {
  if (First >= TypeSlots || Second >= TypeSlots)
    return tvtNone;
  return CommonTable[First][Second];
}

TTolvanFieldType CommonFieldType(TTolvanFieldType First, TTolvanFieldType Second) {
  TTolvanValueType A = ValueTypeOfFieldType(First), B = ValueTypeOfFieldType(Second);
  TTolvanValueType E = CommonValueType(A, B);
  if (E == A)
    return First;
  if (E == B)
    return Second;
  return FieldTypeOfValueType(E);
}

bool SameStringFamily(TTolvanValueType A, TTolvanValueType B) {
  if (!IsStringValueType(A) || !IsStringValueType(B))
    return false;
  return IsWideValueType(A) == IsWideValueType(B);
}

// ---------------------------------------------------------------------------------------------
// Shared helpers of the operators
// ---------------------------------------------------------------------------------------------

namespace {

constexpr int64_t DayMs = MSecsPerDay;

[[noreturn]] void RaiseRange() { throw ERangeError(std::string(SysConst::SRangeError)); }
[[noreturn]] void RaiseIntOverflow() { throw EIntOverflow(std::string(SysConst::SIntOverflow)); }
[[noreturn]] void RaiseDivByZero() { throw EDivByZero(std::string(SysConst::SDivByZero)); }
[[noreturn]] void RaiseInvalidOp() { throw EInvalidOp(std::string(SysConst::SInvalidOp)); }
[[noreturn]] void RaiseZeroDivide() { throw EZeroDivide(std::string(SysConst::SZeroDivide)); }
[[noreturn]] void RaiseOverflow() { throw EOverflow(std::string(SysConst::SOverflow)); }
[[noreturn]] void RaiseNotNumeric(int32_t Code, std::string_view Operator) {
  throw ETolvanException::CreateFmt(Code, SNotNumericArgumentInOperator, Operator);
}

// A value read in (or written from) the storage form of Type. The scratch is wide enough for
// every fixed-size form, EXTENDED's 10 bytes included.
template <class T> T ReadAs(const TTolvanVariant& V, TTolvanValueType Type) {
  unsigned char B[16] = {};
  V.GetTypedValue(B, Type);
  T X;
  std::memcpy(&X, B, sizeof X);
  return X;
}

template <class T> void Put(TTolvanVariant& V, TTolvanValueType Type, T X) {
  static_assert(sizeof(T) <= 16);
  unsigned char B[16] = {};
  std::memcpy(B, &X, sizeof X);
  V.SetTypedValue(B, Type);
}

// Self takes a value of another type.
template <class T> void Become(TTolvanVariant& V, TTolvanValueType Type, T X) {
  if (V.DataType() != Type)
    V.Clear(Type);
  Put(V, Type, X);
}

int64_t ReadInteger(const TTolvanVariant& V, TTolvanValueType Type) {
  switch (Type) {
  case tvtSignedInt8:
    return ReadAs<int8_t>(V, Type);
  case tvtSignedInt16:
    return ReadAs<int16_t>(V, Type);
  case tvtInteger:
    return ReadAs<int32_t>(V, Type);
  case tvtUnsignedInt8:
    return ReadAs<uint8_t>(V, Type);
  case tvtUnsignedInt16:
    return ReadAs<uint16_t>(V, Type);
  case tvtUnsignedInt32:
    return ReadAs<uint32_t>(V, Type);
  default:
    return ReadAs<int64_t>(V, Type);
  }
}

// The low bytes of X in the integer type's width; the caller has range-checked X.
void PutInteger(TTolvanVariant& V, TTolvanValueType Type, int64_t X) {
  Put(V, Type, static_cast<uint64_t>(X));
}

long double ReadFloat(const TTolvanVariant& V) {
  switch (V.DataType()) {
  case tvtSingle:
    return ReadAs<float>(V, tvtSingle);
  case tvtFloat:
  case tvtCurrency:
    return ReadAs<double>(V, V.DataType());
  default:
    return ReadAs<long double>(V, tvtExtended);
  }
}

bool ReadLogical(const TTolvanVariant& V) { return ReadAs<int16_t>(V, tvtLogical) != 0; }
void PutLogical(TTolvanVariant& V, bool X) { Put<int16_t>(V, tvtLogical, X ? -1 : 0); }

constexpr long double TwoPow63 = 9223372036854775808.0L;

int64_t FloatToInt64(long double X) {
  if (!(X >= -TwoPow63 && X < TwoPow63))
    RaiseInvalidOp(); // NaN too
  return static_cast<int64_t>(X);
}

int32_t FloatToInt32(long double X) {
  if (!(X >= INT32_MIN && X <= INT32_MAX))
    RaiseInvalidOp();
  return static_cast<int32_t>(X);
}

// Nearest integer, ties to even, without depending on the floating-point environment.
long double RoundHalfEven(long double X) {
  long double T = std::trunc(X);
  long double D = X - T;
  if (D > 0.5L || (D == 0.5L && std::fmod(T, 2.0L) != 0))
    return T + 1;
  if (D < -0.5L || (D == -0.5L && std::fmod(T, 2.0L) != 0))
    return T - 1;
  return T;
}

// A stored time brought back into the day.
int32_t DayTime(int64_t Ms) {
  int64_t M = Ms % DayMs;
  return static_cast<int32_t>(M < 0 ? M + DayMs : M);
}

// The days a time carries into its date (rounding down), and the time left in the day.
int64_t CarryDays(int64_t& Ms) {
  int64_t Days = Ms / DayMs;
  if (Ms % DayMs < 0)
    --Days;
  Ms -= Days * DayMs;
  return Days;
}

// ---------------------------------------------------------------------------------------------
// Add, Multiply, Divide in the common type
// ---------------------------------------------------------------------------------------------

enum class TArith { Add, Multiply, Divide };

// 8- and 16-bit types: exact in 64 bits, then range-checked.
template <class T> T SmallArith(TArith Op, T A, T B) {
  int64_t R;
  switch (Op) {
  case TArith::Add:
    R = int64_t(A) + int64_t(B);
    break;
  case TArith::Multiply:
    R = int64_t(A) * int64_t(B);
    break;
  default:
    if (B == 0)
      RaiseDivByZero();
    R = int64_t(A) / int64_t(B);
    break;
  }
  if (R < std::numeric_limits<T>::min() || R > std::numeric_limits<T>::max())
    RaiseRange();
  return static_cast<T>(R);
}

// 32- and 64-bit types wrap: the sum and product are taken in the unsigned type.
template <class T> T WrapArith(TArith Op, T A, T B) {
  using U = std::make_unsigned_t<T>;
  static_assert(sizeof(U) >= sizeof(unsigned)); // no promotion to a signed int
  switch (Op) {
  case TArith::Add:
    return static_cast<T>(U(A) + U(B));
  case TArith::Multiply:
    return static_cast<T>(U(A) * U(B));
  default:
    if (B == 0)
      RaiseDivByZero();
    if constexpr (std::is_signed_v<T>) {
      if (A == std::numeric_limits<T>::min() && B == T(-1))
        RaiseIntOverflow();
    }
    return static_cast<T>(A / B);
  }
}

// A result that became NaN or infinite from ordinary operands is the overflow or invalid
// operation the floating-point unit reports.
template <class F> F CheckFloat(F R, F A, F B) {
  if (std::isnan(R) && !std::isnan(A) && !std::isnan(B))
    RaiseInvalidOp();
  if (std::isinf(R) && std::isfinite(A) && std::isfinite(B))
    RaiseOverflow();
  return R;
}

template <class F> void CheckDivisor(F A, F B) {
  if (B == 0 && !std::isnan(A)) {
    if (A == 0)
      RaiseInvalidOp();
    RaiseZeroDivide();
  }
}

template <class F> F FloatArith(TArith Op, F A, F B) {
  switch (Op) {
  case TArith::Add:
    return CheckFloat<F>(A + B, A, B);
  case TArith::Multiply:
    return CheckFloat<F>(A * B, A, B);
  default:
    CheckDivisor(A, B);
    return CheckFloat<F>(A / B, A, B);
  }
}

// CURRENCY is stored as a double; results are rounded to the currency's four decimals.
double CurrencyArith(TArith Op, double A, double B) {
  long double X = A, Y = B;
  if (Op == TArith::Divide)
    CheckDivisor(X, Y);
  long double R = Op == TArith::Add ? X + Y : Op == TArith::Multiply ? X * Y : X / Y;
  if (std::isnan(R))
    RaiseInvalidOp();
  return FloatToCurr(R).ToDouble();
}

// Which operands of Add may hold the "no time" marker: only one that was a TIME or DATETIME
// before the cast. A number cast to TIME is a count of milliseconds, -1 included.
struct TTimeMarkers {
  bool Self = true;
  bool Other = true;
};

constexpr bool CarriesTimeMarker(TTolvanValueType T) { return T == tvtTime || T == tvtDateTime; }

int32_t TimeArith(TArith Op, int32_t A, int32_t B, TTimeMarkers Markers) {
  switch (Op) {
  case TArith::Add: {
    const bool NoA = Markers.Self && A == EmptyTimeValue;
    const bool NoB = Markers.Other && B == EmptyTimeValue;
    if (NoA && NoB)
      return EmptyTimeValue;
    return DayTime(int64_t(NoA ? 0 : A) + (NoB ? 0 : B));
  }
  case TArith::Multiply:
    return DayTime(int64_t(A) * B);
  default:
    if (B == 0)
      RaiseDivByZero();
    return DayTime(int64_t(A) / B);
  }
}

// In Add a "no date" or "no time" part adds nothing (a DATE plus a TIME is their date-time, a
// DATETIME plus a number of days keeps its time); two of them stay empty.
int32_t AddDateParts(int32_t A, int32_t B) {
  if (A == EmptyDateValue || B == EmptyDateValue)
    return A == EmptyDateValue ? B : A;
  return WrapArith<int32_t>(TArith::Add, A, B);
}

TTolvanStoredDateTime DateTimeArith(TArith Op, TTolvanStoredDateTime A, TTolvanStoredDateTime B) {
  int32_t Date =
      Op == TArith::Add ? AddDateParts(A.Date, B.Date) : WrapArith<int32_t>(Op, A.Date, B.Date);
  int64_t Time;
  switch (Op) {
  case TArith::Add:
    if (A.Time == EmptyTimeValue && B.Time == EmptyTimeValue)
      return {Date, EmptyTimeValue};
    Time = int64_t(A.Time == EmptyTimeValue ? 0 : A.Time) + (B.Time == EmptyTimeValue ? 0 : B.Time);
    break;
  case TArith::Multiply:
    Time = int64_t(A.Time) * B.Time;
    break;
  default:
    if (B.Time == 0)
      RaiseDivByZero();
    Time = int64_t(A.Time) / B.Time;
    break;
  }
  int64_t Days = CarryDays(Time);
  if (Days != 0 && Date != EmptyDateValue) // a time without a date has no day to carry into
    Date = static_cast<int32_t>(uint32_t(Date) + uint32_t(uint64_t(Days)));
  return {Date, static_cast<int32_t>(Time)};
}

// Self has the common type; Other is read in it.
void ArithInOwnType(TTolvanVariant& Self, const TTolvanVariant& Other, TArith Op, int32_t Code,
                    std::string_view Operator, TTimeMarkers Markers) {
  const TTolvanValueType E = Self.DataType();
  switch (E) {
  case tvtSignedInt8:
    Put(Self, E, SmallArith(Op, ReadAs<int8_t>(Self, E), ReadAs<int8_t>(Other, E)));
    break;
  case tvtSignedInt16:
    Put(Self, E, SmallArith(Op, ReadAs<int16_t>(Self, E), ReadAs<int16_t>(Other, E)));
    break;
  case tvtUnsignedInt8:
    Put(Self, E, SmallArith(Op, ReadAs<uint8_t>(Self, E), ReadAs<uint8_t>(Other, E)));
    break;
  case tvtUnsignedInt16:
    Put(Self, E, SmallArith(Op, ReadAs<uint16_t>(Self, E), ReadAs<uint16_t>(Other, E)));
    break;
  case tvtInteger:
  case tvtDate:
    Put(Self, E, WrapArith(Op, ReadAs<int32_t>(Self, E), ReadAs<int32_t>(Other, E)));
    break;
  case tvtUnsignedInt32:
    Put(Self, E, WrapArith(Op, ReadAs<uint32_t>(Self, E), ReadAs<uint32_t>(Other, E)));
    break;
  case tvtSignedInt64:
    Put(Self, E, WrapArith(Op, ReadAs<int64_t>(Self, E), ReadAs<int64_t>(Other, E)));
    break;
  case tvtSingle:
    Put(Self, E, FloatArith(Op, ReadAs<float>(Self, E), ReadAs<float>(Other, E)));
    break;
  case tvtFloat:
    Put(Self, E, FloatArith(Op, ReadAs<double>(Self, E), ReadAs<double>(Other, E)));
    break;
  case tvtExtended:
    Put(Self, E, FloatArith(Op, ReadAs<long double>(Self, E), ReadAs<long double>(Other, E)));
    break;
  case tvtCurrency:
    Put(Self, E, CurrencyArith(Op, ReadAs<double>(Self, E), ReadAs<double>(Other, E)));
    break;
  case tvtTime:
    Put(Self, E, TimeArith(Op, ReadAs<int32_t>(Self, E), ReadAs<int32_t>(Other, E), Markers));
    break;
  case tvtDateTime:
    Self.SetAsStoredDateTime(
        DateTimeArith(Op, Self.GetAsStoredDateTime(), Other.GetAsStoredDateTime()));
    break;
  case tvtLogical:
    PutLogical(Self, ReadLogical(Self) || ReadLogical(Other));
    break;
  default:
    RaiseNotNumeric(Code, Operator);
  }
}

constexpr bool IsSignedInteger(TTolvanValueType T) {
  return T >= tvtSignedInt8 && T <= tvtSignedInt64;
}

// A signed and an unsigned integer whose common type is unsigned (SHORTINT with WORD): the
// table's type is kept, but the result is computed from the operands' own values and must lie
// in that type, so SHORTINT -1 + WORD 5 is WORD 4 rather than 65535 + 5 out of range.
struct TMixedSign {
  bool Active = false;
  int64_t A = 0, B = 0;
};

TMixedSign ReadMixedSign(const TTolvanVariant& Self, const TTolvanVariant& Other,
                         TTolvanValueType E) {
  const TTolvanValueType A = Self.DataType(), B = Other.DataType();
  if (!IsIntegerValueType(A) || !IsIntegerValueType(B) || !IsIntegerValueType(E) ||
      IsSignedInteger(E) || IsSignedInteger(A) == IsSignedInteger(B))
    return {};
  return {true, ReadInteger(Self, A), ReadInteger(Other, B)};
}

void MixedSignArith(TTolvanVariant& Self, const TMixedSign& M, TArith Op) {
  int64_t R;
  bool Overflow = false;
  switch (Op) {
  case TArith::Add:
    Overflow = __builtin_add_overflow(M.A, M.B, &R);
    break;
  case TArith::Multiply:
    Overflow = __builtin_mul_overflow(M.A, M.B, &R);
    break;
  default:
    if (M.B == 0)
      RaiseDivByZero();
    R = M.A / M.B; // the operands are at most 32 bits wide: no INT64_MIN / -1
    break;
  }
  const TTolvanValueType E = Self.DataType();
  const uint64_t Max = E == tvtUnsignedInt8    ? UINT8_MAX
                       : E == tvtUnsignedInt16 ? UINT16_MAX
                                               : UINT32_MAX;
  if (Overflow || R < 0 || uint64_t(R) > Max)
    RaiseRange();
  PutInteger(Self, E, R);
}

constexpr bool IsFloatingType(TTolvanValueType T) { return T >= tvtSingle && T <= tvtExtended; }

// The day a number of days falls on, as in date-time arithmetic: the date of its date-time
// (its floor, once rounded to the millisecond), so DATE d + -0.5 is d - 1 as {d, 0} + -0.5 is
// noon of d - 1. Other operands give their DATE.
int32_t DayOf(const TTolvanVariant& V) {
  if (IsFloatingType(V.DataType()))
    return V.GetAsStoredDateTime().Date;
  return ReadAs<int32_t>(V, tvtDate);
}

// Add, Multiply and Divide once neither operand is null: self is cast to the common type and
// the operation done there.
void ArithInCommonType(TTolvanVariant& Self, const TTolvanVariant& Other, TArith Op, int32_t Code,
                       std::string_view Operator) {
  const TTolvanValueType E = CommonValueType(Self.DataType(), Other.DataType());
  if (Op == TArith::Add && E == tvtDate &&
      (IsFloatingType(Self.DataType()) || IsFloatingType(Other.DataType()))) {
    const int32_t A = DayOf(Self), B = DayOf(Other);
    Self.CastTo(E);
    Put(Self, E, WrapArith(Op, A, B));
    return;
  }
  const TMixedSign Mixed = ReadMixedSign(Self, Other, E);
  const TTimeMarkers Markers{CarriesTimeMarker(Self.DataType()),
                             CarriesTimeMarker(Other.DataType())};
  Self.CastTo(E);
  if (Mixed.Active)
    MixedSignArith(Self, Mixed, Op);
  else
    ArithInOwnType(Self, Other, Op, Code, Operator, Markers);
}

// The pattern of the bit and shift operators. False when a null leaves nothing to compute: a
// null other makes self null, its buffer released; a null self stays null.
bool PrepareBinary(TTolvanVariant& Self, const TTolvanVariant& Other) {
  if (Other.IsNull()) {
    Self.Clear(Self.DataType());
    return false;
  }
  if (Self.IsNull())
    return false;
  Self.CastTo(CommonValueType(Self.DataType(), Other.DataType()));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Bits and shifts
// ---------------------------------------------------------------------------------------------

enum class TBitOp { And, Or, Xor };

void BitOperation(TTolvanVariant& Self, const TTolvanVariant& Other, TBitOp Op, int32_t Code,
                  std::string_view Operator) {
  if (!PrepareBinary(Self, Other))
    return;
  const TTolvanValueType E = Self.DataType();
  if (E == tvtLogical) {
    bool A = ReadLogical(Self), B = ReadLogical(Other);
    PutLogical(Self, Op == TBitOp::And ? A && B : Op == TBitOp::Or ? A || B : A != B);
    return;
  }
  if (!IsIntegerValueType(E))
    RaiseNotNumeric(Code, Operator);
  // The raw bytes of the type's width, zero-extended; the result has the same width.
  uint64_t A = ReadAs<uint64_t>(Self, E), B = ReadAs<uint64_t>(Other, E);
  Put(Self, E, Op == TBitOp::And ? A & B : Op == TBitOp::Or ? A | B : A ^ B);
}

void ShiftOperation(TTolvanVariant& Self, const TTolvanVariant& Other, bool Left, int32_t Code,
                    std::string_view Operator) {
  if (!PrepareBinary(Self, Other))
    return;
  const TTolvanValueType E = Self.DataType();
  if (E == tvtSignedInt64) {
    uint64_t V = ReadAs<uint64_t>(Self, E);
    int64_t Count = ReadAs<int64_t>(Other, E);
    uint64_t R = Count < 0 || Count > 63 ? 0 : Left ? V << Count : V >> Count;
    Put(Self, E, R);
    return;
  }
  if (!IsIntegerValueType(E))
    RaiseNotNumeric(Code, Operator);
  // 8-, 16- and 32-bit values shift as 32-bit words, the count taken mod 32.
  uint32_t V = static_cast<uint32_t>(ReadInteger(Self, E));
  unsigned Count = static_cast<unsigned>(static_cast<uint64_t>(ReadInteger(Other, E)) & 31u);
  uint32_t R = Left ? V << Count : V >> Count;
  int64_t Result;
  switch (E) {
  case tvtSignedInt8:
  case tvtSignedInt16:
  case tvtInteger:
    Result = static_cast<int32_t>(R);
    break;
  default:
    Result = R;
    break;
  }
  bool Fits = true;
  switch (E) {
  case tvtSignedInt8:
    Fits = Result >= INT8_MIN && Result <= INT8_MAX;
    break;
  case tvtSignedInt16:
    Fits = Result >= INT16_MIN && Result <= INT16_MAX;
    break;
  case tvtUnsignedInt8:
    Fits = Result <= UINT8_MAX;
    break;
  case tvtUnsignedInt16:
    Fits = Result <= UINT16_MAX;
    break;
  default:
    break;
  }
  if (!Fits)
    RaiseRange();
  PutInteger(Self, E, Result);
}

// ---------------------------------------------------------------------------------------------
// Powers, digits and the random generator
// ---------------------------------------------------------------------------------------------

// Truncation of Base raised to Exponent, as SIGNEDINT64.
int64_t IntegerPower(int64_t Base, int64_t Exponent) {
  if (Exponent < 0) {
    if (Base == 0)
      RaiseZeroDivide();
    if (Base == 1)
      return 1;
    if (Base == -1)
      return (Exponent & 1) ? -1 : 1;
    return 0; // |1 / Base^n| < 1 truncates to 0
  }
  int64_t R = 1;
  while (Exponent) {
    if ((Exponent & 1) && __builtin_mul_overflow(R, Base, &R))
      RaiseInvalidOp();
    Exponent >>= 1;
    // Squaring only while bits remain: an overflow then means the result overflows too.
    if (Exponent && __builtin_mul_overflow(Base, Base, &Base))
      RaiseInvalidOp();
  }
  return R;
}

long double FloatPower(long double Base, long double Exponent) {
  if (Base == 0 && Exponent < 0)
    RaiseZeroDivide();
  return CheckFloat(std::pow(Base, Exponent), Base, Exponent);
}

// The digits of Round and Trunc: 10 to the power of their magnitude, which must fit 32 bits.
long double DigitScale(const TTolvanVariant& Digits, bool& Negative) {
  int64_t D = Digits.GetAsLargeInt();
  if (D < INT32_MIN || D > INT32_MAX)
    RaiseRange();
  Negative = D < 0;
  uint64_t Magnitude = Negative ? 0 - uint64_t(D) : uint64_t(D);
  if (Magnitude > 9)
    RaiseIntOverflow();
  long double Scale = 1;
  for (uint64_t I = 0; I < Magnitude; ++I)
    Scale *= 10;
  return Scale;
}

// Beyond this magnitude every long double is an integer.
constexpr long double TwoPow64 = 18446744073709551616.0L;

long double RoundToDigits(long double X, const TTolvanVariant& Digits) {
  bool NegativeDigits;
  long double Scale = DigitScale(Digits, NegativeDigits);
  if (!std::isfinite(X) || (!NegativeDigits && std::fabs(X) >= TwoPow64))
    return X;
  // Half away from zero: the same digits for -x as for x.
  long double M = std::fabs(X);
  long double R =
      NegativeDigits ? std::trunc(M / Scale + 0.5L) * Scale : std::trunc(M * Scale + 0.5L) / Scale;
  return R == 0 ? 0.0L : std::signbit(X) ? -R : R;
}

long double TruncToDigits(long double X, const TTolvanVariant& Digits) {
  bool NegativeDigits;
  long double Scale = DigitScale(Digits, NegativeDigits);
  if (!std::isfinite(X) || (!NegativeDigits && std::fabs(X) >= TwoPow64))
    return X;
  long double R = NegativeDigits ? std::trunc(X / Scale) * Scale : std::trunc(X * Scale) / Scale;
  return R == 0 ? 0.0L : R;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TTolvanVariant operators
// ---------------------------------------------------------------------------------------------

void TTolvanVariant::Add(const TTolvanVariant& Other) {
  if (IsStringValueType(FDataType) || IsStringValueType(Other.FDataType)) {
    if (IsWideValueType(FDataType) || IsWideValueType(Other.FDataType)) {
      WideString S = GetAsWideString();
      S += Other.GetAsWideString();
      SetAsWideString(S);
    } else {
      AnsiString S = GetAsString();
      S += Other.GetAsString();
      SetAsString(S);
    }
    return;
  }
  if (Other.IsNull()) {
    SetNull();
    return;
  }
  if (IsNull()) {
    Assign(Other, true);
    return;
  }
  ArithInCommonType(*this, Other, TArith::Add, 30124, "+");
}

void TTolvanVariant::Multiply(const TTolvanVariant& Other) {
  if (Other.IsNull())
    SetNull();
  else if (!IsNull())
    ArithInCommonType(*this, Other, TArith::Multiply, 30126, "*");
}

void TTolvanVariant::Divide(const TTolvanVariant& Other) {
  try {
    if (Other.IsNull())
      SetNull();
    else if (!IsNull())
      ArithInCommonType(*this, Other, TArith::Divide, 30127, "/");
  } catch (const ETolvanException&) {
    throw;
  } catch (const Exception& E) {
    throw ETolvanException::CreateFmt(30128, SDivisionError, E.Message());
  }
}

void TTolvanVariant::Negate() {
  if (IsNull())
    return;
  const TTolvanValueType T = FDataType;
  switch (T) {
  case tvtSignedInt8:
  case tvtSignedInt16: {
    int64_t V = ReadInteger(*this, T);
    if (V == (T == tvtSignedInt8 ? INT8_MIN : INT16_MIN))
      RaiseRange();
    PutInteger(*this, T, -V);
    break;
  }
  case tvtInteger:
  case tvtDate: {
    int32_t V = ReadAs<int32_t>(*this, T);
    if (V == INT32_MIN) // for DATE, the empty date
      RaiseIntOverflow();
    Put(*this, T, -V);
    break;
  }
  case tvtSignedInt64: {
    int64_t V = ReadAs<int64_t>(*this, T);
    if (V == INT64_MIN)
      RaiseIntOverflow();
    Put(*this, T, -V);
    break;
  }
  case tvtUnsignedInt8:
  case tvtUnsignedInt16:
  case tvtUnsignedInt32: {
    // -v through the signed type of the same width, read back as unsigned: 2^n - v.
    int Bits = T == tvtUnsignedInt8 ? 8 : T == tvtUnsignedInt16 ? 16 : 32;
    uint64_t V = static_cast<uint64_t>(ReadInteger(*this, T));
    if (V > (uint64_t(1) << (Bits - 1)))
      RaiseRange();
    PutInteger(*this, T, static_cast<int64_t>((0 - V) & ((uint64_t(1) << Bits) - 1)));
    break;
  }
  case tvtSingle:
    Put(*this, T, -ReadAs<float>(*this, T));
    break;
  case tvtFloat:
  case tvtCurrency:
    Put(*this, T, -ReadAs<double>(*this, T));
    break;
  case tvtExtended:
    Put(*this, T, -ReadAs<long double>(*this, T));
    break;
  case tvtLogical:
    PutLogical(*this, !ReadLogical(*this));
    break;
  default:
    throw ETolvanException::CreateFmt(30123, SCannotInvertNonNumericValue, ValueTypeToSQLName(T));
  }
}

void TTolvanVariant::Abs() {
  if (IsNull())
    return;
  const TTolvanValueType T = FDataType;
  switch (T) {
  case tvtSignedInt8:
  case tvtSignedInt16: {
    int64_t V = ReadInteger(*this, T);
    if (V == (T == tvtSignedInt8 ? INT8_MIN : INT16_MIN))
      RaiseRange();
    PutInteger(*this, T, V < 0 ? -V : V);
    break;
  }
  case tvtInteger: {
    int32_t V = ReadAs<int32_t>(*this, T);
    if (V == INT32_MIN)
      RaiseIntOverflow();
    Put(*this, T, V < 0 ? -V : V);
    break;
  }
  case tvtSignedInt64: {
    int64_t V = ReadAs<int64_t>(*this, T);
    if (V == INT64_MIN)
      RaiseIntOverflow();
    Put(*this, T, V < 0 ? -V : V);
    break;
  }
  case tvtUnsignedInt8:
  case tvtUnsignedInt16:
  case tvtUnsignedInt32:
    break;
  case tvtSingle:
    Put(*this, T, std::fabs(ReadAs<float>(*this, T)));
    break;
  case tvtFloat:
  case tvtCurrency:
    Put(*this, T, std::fabs(ReadAs<double>(*this, T)));
    break;
  case tvtExtended:
    Put(*this, T, std::fabs(ReadAs<long double>(*this, T)));
    break;
  default:
    RaiseNotNumeric(11651, "ABS");
  }
}

void TTolvanVariant::Sign() {
  if (IsNull())
    return;
  const TTolvanValueType T = FDataType;
  if (IsIntegerValueType(T)) {
    int64_t V = ReadInteger(*this, T);
    PutInteger(*this, T, V > 0 ? 1 : V < 0 ? -1 : 0);
    return;
  }
  if (!IsNumericValueType(T))
    RaiseNotNumeric(11652, "SIGN");
  long double V = ReadFloat(*this);
  if (std::isnan(V))
    RaiseInvalidOp();
  int S = V > 0 ? 1 : V < 0 ? -1 : 0;
  switch (T) {
  case tvtSingle:
    Put(*this, T, static_cast<float>(S));
    break;
  case tvtExtended:
    Put(*this, T, static_cast<long double>(S));
    break;
  default:
    Put(*this, T, static_cast<double>(S));
    break;
  }
}

namespace {

void CeilOrFloor(TTolvanVariant& V, bool Up) {
  if (V.IsNull() || !V.IsNumeric()) {
    V.SetNull();
    return;
  }
  if (V.IsInteger()) {
    V.CastTo(tvtInteger);
    return;
  }
  long double X = ReadFloat(V);
  Become(V, tvtInteger, FloatToInt32(Up ? std::ceil(X) : std::floor(X)));
}

} // namespace

void TTolvanVariant::Ceil() { CeilOrFloor(*this, true); }
void TTolvanVariant::Floor() { CeilOrFloor(*this, false); }

void TTolvanVariant::Modulo(TTolvanVariant& Other) {
  if (IsNull() || !IsNumeric() || !Other.IsNumeric()) {
    SetNull();
    return;
  }
  CastTo(tvtSignedInt64);
  Other.CastTo(tvtSignedInt64);
  int64_t A = GetAsLargeInt(), B = Other.GetAsLargeInt();
  if (B == 0)
    throw ETolvanException::CreateFmt(30128, SDivisionError, SysConst::SDivByZero);
  SetAsLargeInt(B == -1 ? 0 : A % B);
}

void TTolvanVariant::Power(TTolvanVariant& Other) {
  if (IsNull() || !IsNumeric() || !Other.IsNumeric()) {
    SetNull();
    return;
  }
  if (IsInteger() && Other.IsInteger()) {
    CastTo(tvtSignedInt64);
    Other.CastTo(tvtSignedInt64);
    int64_t Base = GetAsLargeInt();
    SetAsLargeInt(IntegerPower(Base, Other.GetAsLargeInt()));
  } else {
    CastTo(tvtExtended);
    Other.CastTo(tvtExtended);
    long double Base = GetAsExtended();
    SetAsExtended(FloatPower(Base, Other.GetAsExtended()));
  }
}

void TTolvanVariant::Random(TTolvanVariant* Bound) {
  if (!Bound) {
    Become(*this, tvtExtended, RandomFraction());
    return;
  }
  Bound->CastTo(tvtInteger);
  Become(*this, tvtInteger, tolvan::Random(Bound->GetAsInteger()));
}

void TTolvanVariant::Round(const TTolvanVariant* Digits) {
  CastTo(tvtExtended);
  long double X = GetAsExtended();
  if (!Digits)
    Become(*this, tvtSignedInt64, FloatToInt64(RoundHalfEven(X)));
  else
    SetAsExtended(RoundToDigits(X, *Digits));
}

void TTolvanVariant::Trunc(const TTolvanVariant* Digits) {
  CastTo(tvtExtended);
  long double X = GetAsExtended();
  if (!Digits)
    Become(*this, tvtSignedInt64, FloatToInt64(std::trunc(X)));
  else
    SetAsExtended(TruncToDigits(X, *Digits));
}

void TTolvanVariant::BitAnd(const TTolvanVariant& Other) {
  BitOperation(*this, Other, TBitOp::And, 11645, "&");
}
void TTolvanVariant::BitOr(const TTolvanVariant& Other) {
  BitOperation(*this, Other, TBitOp::Or, 11646, "|");
}
void TTolvanVariant::BitXor(const TTolvanVariant& Other) {
  BitOperation(*this, Other, TBitOp::Xor, 11650, "^");
}

void TTolvanVariant::BitNot() {
  if (IsNull())
    return;
  if (FDataType == tvtLogical) {
    PutLogical(*this, !ReadLogical(*this));
    return;
  }
  if (!IsIntegerValueType(FDataType))
    RaiseNotNumeric(11647, "~");
  Put(*this, FDataType, ~ReadAs<uint64_t>(*this, FDataType));
}

void TTolvanVariant::ShiftLeft(const TTolvanVariant& Other) {
  ShiftOperation(*this, Other, true, 11648, "<<");
}
void TTolvanVariant::ShiftRight(const TTolvanVariant& Other) {
  ShiftOperation(*this, Other, false, 11649, ">>");
}

void TTolvanVariant::ConvertToHexString(int32_t PrefixKind) {
  if (IsNull())
    return;
  std::string Text;
  const TTolvanValueType T = FDataType;
  if (IsPlainStringValueType(T)) {
    int32_t Bytes = ValueByteLength(FData, FDataSize, FieldTypeOfValueType(T));
    TStringFormat_HEX::Instance().Encode(
        std::string_view(static_cast<const char*>(FData), size_t(Bytes)), Text);
  } else if (IsIntegerValueType(T)) {
    int64_t V = ReadInteger(*this, T);
    switch (T) {
    case tvtSignedInt8:
    case tvtUnsignedInt8:
      // Signed values are widened to 32 bits first: -1 shows as FFFFFFFF.
      Text = IntToHex(int64_t(uint32_t(V)), 2);
      break;
    case tvtSignedInt16:
    case tvtUnsignedInt16:
      Text = IntToHex(int64_t(uint32_t(V)), 4);
      break;
    case tvtInteger:
    case tvtUnsignedInt32:
      Text = IntToHex(int64_t(uint32_t(V)), 8);
      break;
    default:
      Text = IntToHex(V, 16);
      break;
    }
  } else {
    Clear(tvtChar);
    return;
  }
  if (PrefixKind == 1)
    Text = "$" + Text;
  else if (PrefixKind == 2)
    Text = LowerCase("0x" + Text);
  Clear(tvtChar);
  SetTypedValue(&Text, tvtChar);
}

// ---------------------------------------------------------------------------------------------
// Hash
// ---------------------------------------------------------------------------------------------

uint32_t TTolvanVariant::Hash() const {
  if (IsNull())
    return NullValueHash;
  int32_t Bytes = FDataSize;
  if (IsPlainStringValueType(FDataType))
    Bytes = ValueByteLength(FData, FDataSize, FieldTypeOfValueType(FDataType));
  // Values that compare equal hash equally: a negative zero hashes as zero, and every true
  // LOGICAL as -1, whatever non-zero number stores it.
  if (FDataType == tvtLogical && FDataSize == 2) {
    const int16_t L = LoadLE<int16_t>(FData) != 0 ? -1 : 0;
    return UpdateCrc32(ValueHashSeed, &L, 2);
  }
  // So do all NaNs of one type, whatever their sign and payload.
  if ((FDataType == tvtFloat || FDataType == tvtCurrency) && FDataSize == 8) {
    const double X = LoadLE<double>(FData);
    if (X == 0 || std::isnan(X)) {
      const double Canonical = X == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
      return UpdateCrc32(ValueHashSeed, &Canonical, 8);
    }
  }
  if (FDataType == tvtSingle && FDataSize == 4) {
    const float X = LoadLE<float>(FData);
    if (X == 0 || std::isnan(X)) {
      const float Canonical = X == 0 ? 0.0f : std::numeric_limits<float>::quiet_NaN();
      return UpdateCrc32(ValueHashSeed, &Canonical, 4);
    }
  }
  if (FDataType == tvtExtended && FDataSize == 10) {
    long double X = 0;
    std::memcpy(&X, FData, 10);
    if (X == 0 || std::isnan(X)) {
      uint8_t Canonical[sizeof(long double)] = {};
      if (X != 0) {
        const long double NaN = std::numeric_limits<long double>::quiet_NaN();
        std::memcpy(Canonical, &NaN, 10);
      }
      return UpdateCrc32(ValueHashSeed, Canonical, 10);
    }
  }
  return UpdateCrc32(ValueHashSeed, FData, Bytes);
}

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------

namespace {

template <class T> TTolvanCompareResult Order(T A, T B) {
  return A < B ? tcrLess : B < A ? tcrGreater : tcrEqual;
}

// Equality first, then greater; NaN sorts below every number and equal to itself, so the
// order stays a strict weak order for index keys.
template <class F> TTolvanCompareResult OrderFloat(F A, F B) {
  if (A == B)
    return tcrEqual;
  if (std::isnan(A) || std::isnan(B))
    return std::isnan(A) ? (std::isnan(B) ? tcrEqual : tcrLess) : tcrGreater;
  return A > B ? tcrGreater : tcrLess;
}

TTolvanCompareResult FromSign(int S) { return S < 0 ? tcrLess : S > 0 ? tcrGreater : tcrEqual; }

// A fixed-size value from a buffer; a known size too small for the type is a damaged value.
template <class T> T Load(const void* P, int32_t Size, size_t Width = sizeof(T)) {
  if (Size >= 0 && size_t(Size) < Width)
    RaiseRange();
  T V{};
  std::memcpy(&V, P, Width);
  return V;
}

// Narrow text up to its terminator, within Size bytes when Size >= 0.
std::string_view AnsiText(const void* P, int32_t Size) {
  const char* C = static_cast<const char*>(P);
  if (Size < 0)
    return std::string_view(C);
  const void* Z = std::memchr(C, 0, size_t(Size));
  return std::string_view(C, Z ? size_t(static_cast<const char*>(Z) - C) : size_t(Size));
}

// Wide text up to its 16-bit terminator, within Size bytes when Size >= 0. Buffers inside
// records may sit at odd addresses; only those are copied, into the scratch.
struct TWideScratch {
  char16_t Small[128];
  std::u16string Large;
};

std::u16string_view WideText(const void* P, int32_t Size, TWideScratch& Scratch) {
  const size_t MaxUnits = Size < 0 ? SIZE_MAX : size_t(Size) / 2;
  if (reinterpret_cast<uintptr_t>(P) % alignof(char16_t) == 0) {
    const char16_t* W = static_cast<const char16_t*>(P);
    size_t N = 0;
    while (N < MaxUnits && W[N] != 0)
      ++N;
    return std::u16string_view(W, N);
  }
  const unsigned char* B = static_cast<const unsigned char*>(P);
  size_t N = 0;
  while (N < MaxUnits && (B[2 * N] | B[2 * N + 1]) != 0)
    ++N;
  char16_t* D = Scratch.Small;
  if (N > std::size(Scratch.Small)) {
    Scratch.Large.resize(N);
    D = Scratch.Large.data();
  }
  std::memcpy(D, B, N * 2);
  return std::u16string_view(D, N);
}

template <class S> S Prefix(S Text, int32_t Length) {
  return Length >= 0 && Text.size() > size_t(Length) ? Text.substr(0, size_t(Length)) : Text;
}

TTolvanCompareResult CompareAnsiTexts(std::string_view A, std::string_view B, int32_t Length,
                                      bool IgnoreCase) {
  return FromSign(CompareAnsi(Prefix(A, Length), Prefix(B, Length), IgnoreCase));
}

TTolvanCompareResult CompareWideTexts(std::u16string_view A, std::u16string_view B, int32_t Length,
                                      bool IgnoreCase) {
  return FromSign(CompareWide(Prefix(A, Length), Prefix(B, Length), IgnoreCase));
}

long double LoadExtended(const void* P, int32_t Size) {
  unsigned char B[sizeof(long double)] = {};
  if (Size >= 0 && Size < 10)
    RaiseRange();
  std::memcpy(B, P, 10);
  long double X;
  std::memcpy(&X, B, sizeof X);
  return X;
}

// Two buffers, both read in type T.
TTolvanCompareResult CompareInType(const void* A, int32_t SizeA, const void* B, int32_t SizeB,
                                   TTolvanValueType T, int32_t Length, bool IgnoreCase) {
  switch (T) {
  case tvtChar:
  case tvtString:
  case tvtMemo:
    return CompareAnsiTexts(AnsiText(A, SizeA), AnsiText(B, SizeB), Length, IgnoreCase);
  case tvtWideChar:
  case tvtWideString:
  case tvtWideMemo: {
    TWideScratch SA, SB;
    return CompareWideTexts(WideText(A, SizeA, SA), WideText(B, SizeB, SB), Length, IgnoreCase);
  }
  case tvtSignedInt8:
    return Order(Load<int8_t>(A, SizeA), Load<int8_t>(B, SizeB));
  case tvtSignedInt16:
    return Order(Load<int16_t>(A, SizeA), Load<int16_t>(B, SizeB));
  case tvtInteger:
  case tvtDate:
  case tvtTime:
    return Order(Load<int32_t>(A, SizeA), Load<int32_t>(B, SizeB));
  case tvtSignedInt64:
    return Order(Load<int64_t>(A, SizeA), Load<int64_t>(B, SizeB));
  case tvtUnsignedInt8:
    return Order(Load<uint8_t>(A, SizeA), Load<uint8_t>(B, SizeB));
  case tvtUnsignedInt16:
    return Order(Load<uint16_t>(A, SizeA), Load<uint16_t>(B, SizeB));
  case tvtUnsignedInt32:
    return Order(Load<uint32_t>(A, SizeA), Load<uint32_t>(B, SizeB));
  case tvtSingle:
    return OrderFloat(Load<float>(A, SizeA), Load<float>(B, SizeB));
  case tvtFloat:
  case tvtCurrency:
    return OrderFloat(Load<double>(A, SizeA), Load<double>(B, SizeB));
  case tvtExtended:
    return OrderFloat(LoadExtended(A, SizeA), LoadExtended(B, SizeB));
  case tvtDateTime: {
    TTolvanCompareResult R = Order(Load<int32_t>(A, SizeA), Load<int32_t>(B, SizeB));
    if (R != tcrEqual)
      return R;
    return Order(Load<int32_t>(static_cast<const char*>(A) + 4, SizeA < 0 ? -1 : SizeA - 4),
                 Load<int32_t>(static_cast<const char*>(B) + 4, SizeB < 0 ? -1 : SizeB - 4));
  }
  case tvtLogical:
    return Order(Load<int16_t>(A, SizeA) != 0, Load<int16_t>(B, SizeB) != 0);
  default:
    throw ETolvanException::CreateFmt(30047, SUnknownDataType, ValueTypeToSQLName(T));
  }
}

// Mixed numbers compare without a temporary buffer: each side is brought to the common type
// exactly as ConvertValueBuffer would store it, refusals included.
constexpr bool IsFastNumber(TTolvanValueType T) { return IsNumberType(T) || T == tvtCurrency; }

struct TNumber {
  bool IsInt;
  bool Signed; // of an integer source
  int64_t I;
  long double F;
};

TNumber LoadNumber(const void* P, int32_t Size, TTolvanValueType T) {
  switch (T) {
  case tvtSignedInt8:
    return {true, true, Load<int8_t>(P, Size), 0};
  case tvtSignedInt16:
    return {true, true, Load<int16_t>(P, Size), 0};
  case tvtInteger:
    return {true, true, Load<int32_t>(P, Size), 0};
  case tvtSignedInt64:
    return {true, true, Load<int64_t>(P, Size), 0};
  case tvtUnsignedInt8:
    return {true, false, Load<uint8_t>(P, Size), 0};
  case tvtUnsignedInt16:
    return {true, false, Load<uint16_t>(P, Size), 0};
  case tvtUnsignedInt32:
    return {true, false, Load<uint32_t>(P, Size), 0};
  case tvtSingle:
    return {false, false, 0, Load<float>(P, Size)};
  case tvtExtended:
    return {false, false, 0, LoadExtended(P, Size)};
  default: // FLOAT, CURRENCY
    return {false, false, 0, Load<double>(P, Size)};
  }
}

// The range an integer type accepts: a signed source may use the whole width either way, an
// unsigned or floating one only the type's own range.
bool FitsInteger(int64_t V, bool FromSigned, TTolvanValueType T) {
  int64_t Min;
  uint64_t Max;
  switch (T) {
  case tvtSignedInt8:
    Min = -128, Max = FromSigned ? 255 : 127;
    break;
  case tvtUnsignedInt8:
    Min = FromSigned ? -128 : 0, Max = 255;
    break;
  case tvtSignedInt16:
    Min = -32768, Max = FromSigned ? 65535 : 32767;
    break;
  case tvtUnsignedInt16:
    Min = FromSigned ? -32768 : 0, Max = 65535;
    break;
  case tvtInteger:
    Min = INT32_MIN, Max = FromSigned ? 4294967295u : 2147483647u;
    break;
  case tvtUnsignedInt32:
    Min = FromSigned ? INT32_MIN : 0, Max = 4294967295u;
    break;
  default:
    return true;
  }
  return V >= Min && (V <= 0 || uint64_t(V) <= Max);
}

// The value stored in the width of an integer type, read back in that type's signedness.
int64_t Rewrap(int64_t V, TTolvanValueType T) {
  switch (T) {
  case tvtSignedInt8:
    return static_cast<int8_t>(V);
  case tvtUnsignedInt8:
    return static_cast<uint8_t>(V);
  case tvtSignedInt16:
    return static_cast<int16_t>(V);
  case tvtUnsignedInt16:
    return static_cast<uint16_t>(V);
  case tvtInteger:
    return static_cast<int32_t>(V);
  case tvtUnsignedInt32:
    return static_cast<uint32_t>(V);
  default:
    return V;
  }
}

TNumber ToCommonNumber(TNumber N, TTolvanValueType From, TTolvanValueType E) {
  auto Refuse = [&]() -> TNumber {
    throw ETolvanException::CreateFmt(30051, SCannotCast, ValueTypeToSQLName(From),
                                      ValueTypeToSQLName(E));
  };
  if (IsIntegerValueType(E)) {
    int64_t V = N.I;
    bool FromSigned = N.Signed;
    if (!N.IsInt) {
      long double T = std::trunc(N.F);
      if (!(T >= -TwoPow63 && T < TwoPow63))
        return Refuse();
      V = static_cast<int64_t>(T);
      FromSigned = false;
    }
    if (!FitsInteger(V, FromSigned, E))
      return Refuse();
    return {true, false, Rewrap(V, E), 0};
  }
  long double F = N.IsInt ? static_cast<long double>(N.I) : N.F;
  if (std::isnan(F))
    return Refuse();
  switch (E) {
  case tvtSingle:
    if (std::isfinite(F) && std::fabs(F) > std::numeric_limits<float>::max())
      return Refuse();
    F = static_cast<float>(F);
    break;
  case tvtFloat:
    if (std::isfinite(F) && std::fabs(F) > std::numeric_limits<double>::max())
      return Refuse();
    F = static_cast<double>(F);
    break;
  case tvtCurrency: {
    Currency C;
    if (!TryFloatToCurr(F, C))
      return Refuse();
    F = static_cast<double>(F);
    break;
  }
  default:
    break;
  }
  return {false, false, 0, F};
}

TTolvanCompareResult CompareMixedNumbers(const void* A, int32_t SizeA, TTolvanValueType TypeA,
                                         const void* B, int32_t SizeB, TTolvanValueType TypeB,
                                         TTolvanValueType E) {
  TNumber X = LoadNumber(A, SizeA, TypeA), Y = LoadNumber(B, SizeB, TypeB);
  // Two integers compare by value: every integer type fits 64 bits, and a common type that is
  // unsigned would otherwise make a negative operand its two's complement (-1 > WORD 5).
  if (X.IsInt && Y.IsInt)
    return Order(X.I, Y.I);
  if (TypeA != E)
    X = ToCommonNumber(X, TypeA, E);
  if (TypeB != E)
    Y = ToCommonNumber(Y, TypeB, E);
  if (IsIntegerValueType(E))
    return Order(X.I, Y.I);
  if (E == tvtSingle)
    return OrderFloat(static_cast<float>(X.F), static_cast<float>(Y.F));
  if (E == tvtExtended)
    return OrderFloat(X.F, Y.F);
  return OrderFloat(static_cast<double>(X.F), static_cast<double>(Y.F));
}

// Whether a buffer of a floating type holds NaN; false for every other type, and for a damaged
// buffer too short for its type (the comparison proper reports that).
bool IsNaNValue(const void* P, int32_t Size, TTolvanValueType T) {
  const bool Floating = T == tvtSingle || T == tvtFloat || T == tvtCurrency || T == tvtExtended;
  if (!Floating || (Size >= 0 && Size < ValueTypeDataSize(T, 0)))
    return false;
  switch (T) {
  case tvtSingle:
    return std::isnan(Load<float>(P, Size));
  case tvtExtended:
    return std::isnan(LoadExtended(P, Size));
  default:
    return std::isnan(Load<double>(P, Size));
  }
}

// The bytes ConvertValueBuffer may read from a buffer of unknown size.
int32_t TrustedSize(const void* P, TTolvanValueType T) {
  switch (T) {
  case tvtChar:
  case tvtString:
    return static_cast<int32_t>(std::strlen(static_cast<const char*>(P)) + 1);
  case tvtBLOB:
  case tvtMemo:
    return static_cast<int32_t>(std::strlen(static_cast<const char*>(P)));
  case tvtWideChar:
  case tvtWideString:
  case tvtWideMemo: {
    TWideScratch S;
    int32_t Bytes = static_cast<int32_t>(WideText(P, -1, S).size() * 2);
    return T == tvtWideMemo ? Bytes : Bytes + 2;
  }
  default:
    return ValueTypeDataSize(T, 0);
  }
}

// A side converted into a MemoryManager block, freed on every way out.
struct TConverted {
  void* P = nullptr;
  int32_t Size = 0;
  ~TConverted() { MemoryManager.FreeAndNillMemNoRaise(P); }
  void From(const void*& Buffer, int32_t& BufferSize, TTolvanValueType From, TTolvanValueType To) {
    int32_t SourceSize = BufferSize >= 0 ? BufferSize : TrustedSize(Buffer, From);
    P = ConvertValueBuffer(Buffer, SourceSize, From, To, Size);
    Buffer = P;
    BufferSize = Size;
  }
};

} // namespace

TTolvanCompareResult CompareValueBuffers(const void* A, const void* B, TTolvanValueType TypeA,
                                         TTolvanValueType TypeB, bool ANull, bool BNull,
                                         int32_t Length, bool IgnoreCase, uint32_t /*Locale*/,
                                         int32_t SizeA, int32_t SizeB) {
  if (ANull || BNull)
    return ANull ? (BNull ? tcrBothNull : tcrFirstNull) : tcrSecondNull;
  if (TypeA == TypeB) {
    if (!A || !B)
      throw ETolvanException::Create(30140, SValueIsNull);
    return CompareInType(A, SizeA, B, SizeB, TypeA, Length, IgnoreCase);
  }
  TTolvanValueType E = CommonValueType(TypeA, TypeB);
  if (E == tvtNone)
    throw ETolvanException::CreateFmt(30044, SCannotCompareIncompatibleDataTypes,
                                      ValueTypeToSQLName(TypeA), ValueTypeToSQLName(TypeB));
  if (!A || !B)
    throw ETolvanException::Create(30140, SValueIsNull);
  // NaN takes the place it has within its own type, below every number, date and time and
  // equal to any other NaN, instead of failing the conversion to the common type.
  if (!IsStringValueType(E)) {
    const bool NaNA = IsNaNValue(A, SizeA, TypeA), NaNB = IsNaNValue(B, SizeB, TypeB);
    if (NaNA || NaNB)
      return NaNA ? (NaNB ? tcrEqual : tcrLess) : tcrGreater;
  }
  if (IsFastNumber(TypeA) && IsFastNumber(TypeB))
    return CompareMixedNumbers(A, SizeA, TypeA, B, SizeB, TypeB, E);
  TConverted CA, CB;
  if (!(SameStringFamily(E, TypeA) || E == TypeA))
    CA.From(A, SizeA, TypeA, E);
  if (!(SameStringFamily(E, TypeB) || E == TypeB))
    CB.From(B, SizeB, TypeB, E);
  if (!A || !B) // a conversion that gave no value (an empty text)
    throw ETolvanException::Create(30140, SValueIsNull);
  return CompareInType(A, SizeA, B, SizeB, E, Length, IgnoreCase);
}

int CompareValueBuffersSign(const void* A, const void* B, TTolvanValueType TypeA,
                            TTolvanValueType TypeB, bool ANull, bool BNull, int32_t Length,
                            bool IgnoreCase, uint32_t Locale, int32_t SizeA, int32_t SizeB) {
  switch (FoldNullCodes(CompareValueBuffers(A, B, TypeA, TypeB, ANull, BNull, Length, IgnoreCase,
                                            Locale, SizeA, SizeB))) {
  case tcrLess:
    return -1;
  case tcrGreater:
    return 1;
  default:
    return 0;
  }
}

namespace {

// Characters a prefix comparison takes from a value: text characters, a memo's characters.
int32_t PrefixLength(const TTolvanVariant& V) {
  int32_t N = V.GetLength();
  return V.DataType() == tvtWideMemo && N > 0 ? N / 2 : N;
}

} // namespace

TTolvanCompareResult TTolvanVariant::Compare(const TTolvanVariant& Other, bool KeepNullCodes,
                                             bool IgnoreCase, bool PrefixOnly) const {
  const bool SelfNull = IsNull(), OtherNull = Other.IsNull();
  TTolvanCompareResult R;
  if (!SelfNull && !OtherNull && IsBlobValueType(Other.FDataType) &&
      IsPlainStringValueType(FDataType)) {
    R = CompareBlobWithString(Other, true, *this, IgnoreCase, PrefixOnly);
  } else if (!SelfNull && !OtherNull && IsBlobValueType(FDataType) &&
             IsPlainStringValueType(Other.FDataType)) {
    R = CompareBlobWithString(*this, false, Other, IgnoreCase, PrefixOnly);
  } else {
    int32_t Length = PrefixOnly ? PrefixLength(Other) : -1;
    R = CompareValueBuffers(FData, Other.FData, FDataType, Other.FDataType, SelfNull, OtherNull,
                            Length, IgnoreCase, DefaultCompareLocale, FDataSize, Other.FDataSize);
  }
  return KeepNullCodes ? R : FoldNullCodes(R);
}

// The BLOB's content is read as text of the text value's width: a memo of the other width is
// converted, a BLOB's bytes are taken as they are. A prefix comparison takes as many characters
// as the second operand has, whichever of the two that is.
TTolvanCompareResult TTolvanVariant::CompareBlobWithString(const TTolvanVariant& Blob, bool Swapped,
                                                           const TTolvanVariant& Text,
                                                           bool IgnoreCase, bool PrefixOnly) {
  const TTolvanValueType T = Text.FDataType;
  if (Blob.IsNull() || Text.IsNull() || !IsBlobValueType(Blob.FDataType) ||
      !IsPlainStringValueType(T)) {
    const TTolvanVariant& First = Swapped ? Text : Blob;
    const TTolvanVariant& Second = Swapped ? Blob : Text;
    return CompareValueBuffers(First.FData, Second.FData, First.FDataType, Second.FDataType,
                               First.IsNull(), Second.IsNull(),
                               PrefixOnly ? PrefixLength(Second) : -1, IgnoreCase,
                               DefaultCompareLocale, First.FDataSize, Second.FDataSize);
  }
  if (IsWideValueType(T)) {
    TWideScratch SB, ST;
    WideString Converted;
    std::u16string_view BlobText;
    if (Blob.FDataType == tvtMemo) {
      Converted = AnsiToWide(AnsiText(Blob.FData, Blob.FDataSize));
      BlobText = Converted;
    } else {
      BlobText = WideText(Blob.FData, Blob.FDataSize, SB);
    }
    std::u16string_view TextText = WideText(Text.FData, Text.FDataSize, ST);
    std::u16string_view First = Swapped ? TextText : BlobText,
                        Second = Swapped ? BlobText : TextText;
    return CompareWideTexts(First, Second, PrefixOnly ? int32_t(Second.size()) : -1, IgnoreCase);
  }
  AnsiString Converted;
  std::string_view BlobText;
  if (Blob.FDataType == tvtWideMemo) {
    TWideScratch S;
    Converted = WideToAnsi(WideText(Blob.FData, Blob.FDataSize, S));
    BlobText = Converted;
  } else {
    BlobText = AnsiText(Blob.FData, Blob.FDataSize);
  }
  std::string_view TextText = AnsiText(Text.FData, Text.FDataSize);
  std::string_view First = Swapped ? TextText : BlobText, Second = Swapped ? BlobText : TextText;
  return CompareAnsiTexts(First, Second, PrefixOnly ? int32_t(Second.size()) : -1, IgnoreCase);
}

} // namespace tolvan
