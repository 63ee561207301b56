#include "classlib/Variants.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "classlib/Format.h"

namespace tolvan {

// One dimension of a variant array.
struct TVarBound {
  int32_t Low;
  uint32_t Count;
};

// The body of a variant array. Fixed-size elements live packed in Raw (the first index varies
// fastest); elements that own memory live in Items.
struct TVarArray {
  TVarType ElementType = varEmpty;
  uint32_t ElementSize = 0; // 0 for elements held as Variants
  std::vector<TVarBound> Bounds;
  size_t Total = 0;
  std::vector<uint8_t> Raw;
  std::vector<Variant> Items;
};

void TVarArrayDeleter::operator()(TVarArray* A) const noexcept { delete A; }

namespace {

constexpr int MaxDims = 64;
constexpr uint64_t MaxArrayBytes = 0x7FFFFFFF;

[[noreturn]] void CastError(TVarType From, TVarType To) {
  throw EVariantTypeCastError(
      Format(SysConst::SVarTypeCouldNotConvert, VarTypeAsText(From), VarTypeAsText(To)));
}

[[noreturn]] void OverflowError(TVarType From, TVarType To) {
  throw EVariantOverflowError(
      Format(SysConst::SVarTypeConvertOverflow, VarTypeAsText(From), VarTypeAsText(To)));
}

[[noreturn]] void BadIndex() {
  throw EVariantBadIndexError(std::string(SysConst::SVarArrayBounds));
}

bool IsSignedCode(TVarType T) {
  return T == varSmallint || T == varInteger || T == varShortInt || T == varInt64;
}
bool IsUnsignedCode(TVarType T) {
  return T == varByte || T == varWord || T == varLongWord || T == varUInt64;
}

// The packed size of an array element type; 0 for the types held as Variants, -1 when the type
// cannot be an element.
int ElementSizeOf(TVarType T) {
  switch (T) {
  case varShortInt:
  case varByte:
    return 1;
  case varSmallint:
  case varWord:
  case varBoolean: // as the OLE Boolean, 0 or -1 in 16 bits
    return 2;
  case varInteger:
  case varLongWord:
  case varSingle:
    return 4;
  case varDouble:
  case varCurrency:
  case varDate:
  case varInt64:
  case varUInt64:
    return 8;
  case varVariant:
  case varOleStr:
  case varString:
    return 0;
  default:
    return -1;
  }
}

// Rounds to the nearest integer, ties to even; false when not finite.
bool RoundHalfEven(long double X, long double& R) {
  if (!std::isfinite(X))
    return false;
  R = std::trunc(X);
  long double Diff = std::fabs(X - R);
  if (Diff > 0.5L || (Diff == 0.5L && std::fmod(R, 2.0L) != 0))
    R += X < 0 ? -1 : 1;
  return true;
}

bool IsTrueText(std::string_view S) { return SameText(S, "True"); }
bool IsFalseText(std::string_view S) { return SameText(S, "False"); }

} // namespace

// Conversions that need the Variant's insides.
struct TVarAccess {
  static AnsiString Text(const Variant& V) {
    return V.FType == varOleStr ? WideToAnsi(V.FWide) : V.FAnsi;
  }

  // The value as a signed integer in [Min, Max]; To names the target in errors.
  static int64_t ToInt(const Variant& V, TVarType To, int64_t Min, int64_t Max,
                       const TFormatSettings& FS) {
    const TVarType From = V.FType;
    long double Real;
    if (IsSignedCode(From)) {
      if (V.FInt < Min || V.FInt > Max)
        OverflowError(From, To);
      return V.FInt;
    }
    if (IsUnsignedCode(From)) {
      if (V.FUInt > static_cast<uint64_t>(Max))
        OverflowError(From, To);
      return static_cast<int64_t>(V.FUInt);
    }
    switch (From) {
    case varEmpty:
      return 0;
    case varBoolean:
      if (V.FBool && Min > -1)
        OverflowError(From, To);
      return V.FBool ? -1 : 0;
    case varSingle:
      Real = V.FSingle;
      break;
    case varDouble:
    case varDate:
      Real = V.FDouble;
      break;
    case varCurrency:
      Real = static_cast<long double>(V.FInt) / Currency::Factor;
      break;
    case varOleStr:
    case varString: {
      AnsiString S = Text(V);
      int64_t I;
      if (TryStrToInt64(S, I)) {
        if (I < Min || I > Max)
          OverflowError(From, To);
        return I;
      }
      if (!TryStrToFloat(S, Real, FS))
        CastError(From, To);
      break;
    }
    default:
      CastError(From, To);
    }
    long double R;
    if (!RoundHalfEven(Real, R) || R < static_cast<long double>(Min) ||
        R > static_cast<long double>(Max))
      OverflowError(From, To);
    return static_cast<int64_t>(R);
  }

  static uint64_t ToUInt64(const Variant& V, const TFormatSettings& FS) {
    const TVarType From = V.FType;
    if (IsUnsignedCode(From))
      return V.FUInt;
    if (From == varOleStr || From == varString) {
      AnsiString S = Text(V);
      uint64_t U;
      if (TryStrToUInt64(S, U))
        return U;
      long double Real, R;
      if (!TryStrToFloat(S, Real, FS))
        CastError(From, varUInt64);
      if (!RoundHalfEven(Real, R) || R < 0 || R >= 18446744073709551616.0L)
        OverflowError(From, varUInt64);
      return static_cast<uint64_t>(R);
    }
    if (From == varSingle || From == varDouble || From == varDate) {
      long double R;
      if (!RoundHalfEven(From == varSingle ? V.FSingle : V.FDouble, R) || R < 0 ||
          R >= 18446744073709551616.0L)
        OverflowError(From, varUInt64);
      return static_cast<uint64_t>(R);
    }
    return static_cast<uint64_t>(ToInt(V, varUInt64, 0, INT64_MAX, FS));
  }

  static double ToDouble(const Variant& V, TVarType To, const TFormatSettings& FS) {
    const TVarType From = V.FType;
    if (IsSignedCode(From))
      return static_cast<double>(V.FInt);
    if (IsUnsignedCode(From))
      return static_cast<double>(V.FUInt);
    switch (From) {
    case varEmpty:
      return 0;
    case varBoolean:
      return V.FBool ? -1 : 0;
    case varSingle:
      return V.FSingle;
    case varDouble:
    case varDate:
      return V.FDouble;
    case varCurrency:
      return Currency::FromScaled(V.FInt).ToDouble();
    case varOleStr:
    case varString: {
      double D;
      if (!TryStrToFloat(Text(V), D, FS))
        CastError(From, To);
      return D;
    }
    default:
      CastError(From, To);
    }
  }

  static float ToSingle(const Variant& V, const TFormatSettings& FS) {
    if (V.FType == varSingle)
      return V.FSingle;
    if (V.FType == varOleStr || V.FType == varString) {
      float F;
      if (!TryStrToFloat(Text(V), F, FS))
        CastError(V.FType, varSingle);
      return F;
    }
    double D = ToDouble(V, varSingle, FS);
    if (std::isfinite(D) && std::fabs(D) > FLT_MAX)
      OverflowError(V.FType, varSingle);
    return static_cast<float>(D);
  }

  static Currency ToCurrency(const Variant& V, const TFormatSettings& FS) {
    const TVarType From = V.FType;
    Currency C;
    switch (From) {
    case varCurrency:
      return Currency::FromScaled(V.FInt);
    case varOleStr:
    case varString:
      if (!TryStrToCurr(Text(V), C, FS))
        CastError(From, varCurrency);
      return C;
    case varSingle:
    case varDouble:
    case varDate:
      if (!TryFloatToCurr(From == varSingle ? V.FSingle : V.FDouble, C))
        OverflowError(From, varCurrency);
      return C;
    default: {
      constexpr int64_t Limit = INT64_MAX / Currency::Factor;
      int64_t I = ToInt(V, varCurrency, -Limit, Limit, FS);
      return Currency::FromScaled(I * Currency::Factor);
    }
    }
  }

  static TDateTime ToDateTime(const Variant& V, const TFormatSettings& FS) {
    if (V.FType == varOleStr || V.FType == varString) {
      TDateTime D;
      if (!TryStrToDateTime(Text(V), D, FS))
        CastError(V.FType, varDate);
      return D;
    }
    return ToDouble(V, varDate, FS);
  }

  static bool ToBoolean(const Variant& V, const TFormatSettings& FS) {
    const TVarType From = V.FType;
    if (IsSignedCode(From) || From == varCurrency)
      return V.FInt != 0;
    if (IsUnsignedCode(From))
      return V.FUInt != 0;
    switch (From) {
    case varEmpty:
      return false;
    case varBoolean:
      return V.FBool;
    case varSingle:
      return V.FSingle != 0;
    case varDouble:
    case varDate:
      return V.FDouble != 0;
    case varOleStr:
    case varString: {
      AnsiString S = Text(V);
      if (IsTrueText(S))
        return true;
      if (IsFalseText(S))
        return false;
      double D;
      if (!TryStrToFloat(S, D, FS))
        CastError(From, varBoolean);
      return D != 0;
    }
    default:
      CastError(From, varBoolean);
    }
  }

  static AnsiString ToAnsi(const Variant& V, const TFormatSettings& FS) {
    const TVarType From = V.FType;
    if (IsSignedCode(From))
      return IntToStr(V.FInt);
    if (IsUnsignedCode(From))
      return UIntToStr(V.FUInt);
    switch (From) {
    case varEmpty:
      return AnsiString();
    case varBoolean:
      return V.FBool ? "True" : "False";
    case varSingle:
      return FloatToStr(V.FSingle, FS);
    case varDouble:
      return FloatToStr(V.FDouble, FS);
    case varCurrency:
      return CurrToStr(Currency::FromScaled(V.FInt), FS);
    case varDate:
      try {
        return DateTimeToStr(V.FDouble, FS);
      } catch (const EConvertError&) {
        CastError(From, varString); // no calendar date
      }
    case varOleStr:
      return WideToAnsi(V.FWide);
    case varString:
      return V.FAnsi;
    default:
      CastError(From, varString);
    }
  }

  static TVarArray& ArrayOf(Variant& V) {
    if (!V.FArray)
      throw EVariantError(std::string(SysConst::SVarNotArray));
    return *V.FArray;
  }
  static const TVarArray& ArrayOf(const Variant& V) {
    if (!V.FArray)
      throw EVariantError(std::string(SysConst::SVarNotArray));
    return *V.FArray;
  }
  static Variant MakeArray(TVarArrayPtr A) {
    Variant V;
    V.FType = static_cast<TVarType>(varArray | A->ElementType);
    V.FArray = std::move(A);
    return V;
  }
  static void CopyScalar(Variant& To, const Variant& From) {
    std::memcpy(&To.FInt, &From.FInt, sizeof To.FInt);
  }
};

// ---------------------------------------------------------------------------------------------

Variant::Variant(const Variant& Other)
    : FType(Other.FType), FAnsi(Other.FAnsi), FWide(Other.FWide),
      FArray(Other.FArray ? new TVarArray(*Other.FArray) : nullptr) {
  TVarAccess::CopyScalar(*this, Other);
}

Variant::Variant(Variant&& Other) noexcept
    : FType(Other.FType), FAnsi(std::move(Other.FAnsi)), FWide(std::move(Other.FWide)),
      FArray(std::move(Other.FArray)) {
  TVarAccess::CopyScalar(*this, Other);
  Other.FType = varEmpty;
}

Variant& Variant::operator=(const Variant& Other) {
  if (this != &Other) {
    Variant Copy(Other);
    *this = std::move(Copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& Other) noexcept {
  if (this != &Other) {
    FType = Other.FType;
    TVarAccess::CopyScalar(*this, Other);
    FAnsi = std::move(Other.FAnsi);
    FWide = std::move(Other.FWide);
    FArray = std::move(Other.FArray);
    Other.FType = varEmpty;
  }
  return *this;
}

bool Variant::AsBoolean(const TFormatSettings& FS) const {
  return TVarAccess::ToBoolean(*this, FS);
}

int32_t Variant::AsInteger(const TFormatSettings& FS) const {
  return static_cast<int32_t>(TVarAccess::ToInt(*this, varInteger, INT32_MIN, INT32_MAX, FS));
}

int64_t Variant::AsInt64(const TFormatSettings& FS) const {
  return TVarAccess::ToInt(*this, varInt64, INT64_MIN, INT64_MAX, FS);
}

uint64_t Variant::AsUInt64(const TFormatSettings& FS) const {
  return TVarAccess::ToUInt64(*this, FS);
}

float Variant::AsSingle(const TFormatSettings& FS) const { return TVarAccess::ToSingle(*this, FS); }

double Variant::AsDouble(const TFormatSettings& FS) const {
  return TVarAccess::ToDouble(*this, varDouble, FS);
}

Currency Variant::AsCurrency(const TFormatSettings& FS) const {
  return TVarAccess::ToCurrency(*this, FS);
}

TDateTime Variant::AsDateTime(const TFormatSettings& FS) const {
  return TVarAccess::ToDateTime(*this, FS);
}

AnsiString Variant::AsString(const TFormatSettings& FS) const {
  return TVarAccess::ToAnsi(*this, FS);
}

WideString Variant::AsWideString(const TFormatSettings& FS) const {
  return FType == varOleStr ? FWide : AnsiToWide(TVarAccess::ToAnsi(*this, FS));
}

// ---------------------------------------------------------------------------------------------

Variant Null() { return Variant::Null(); }
Variant Unassigned() { return Variant(); }
Variant VarFromDateTime(TDateTime Value) { return Variant::FromDateTime(Value); }

bool VarIsStr(const Variant& V) { return V.VarType() == varOleStr || V.VarType() == varString; }

bool VarIsOrdinal(const Variant& V) {
  TVarType T = V.VarType();
  return IsSignedCode(T) || IsUnsignedCode(T) || T == varBoolean;
}

bool VarIsFloat(const Variant& V) {
  TVarType T = V.VarType();
  return T == varSingle || T == varDouble || T == varCurrency || T == varDate;
}

bool VarIsNumeric(const Variant& V) { return VarIsOrdinal(V) || VarIsFloat(V); }

std::string VarTypeAsText(TVarType Type) {
  const char* Name;
  switch (Type & varTypeMask) {
  case varEmpty:
    Name = "Empty";
    break;
  case varNull:
    Name = "Null";
    break;
  case varSmallint:
    Name = "Smallint";
    break;
  case varInteger:
    Name = "Integer";
    break;
  case varSingle:
    Name = "Single";
    break;
  case varDouble:
    Name = "Double";
    break;
  case varCurrency:
    Name = "Currency";
    break;
  case varDate:
    Name = "Date";
    break;
  case varOleStr:
    Name = "OleStr";
    break;
  case varBoolean:
    Name = "Boolean";
    break;
  case varVariant:
    Name = "Variant";
    break;
  case varShortInt:
    Name = "ShortInt";
    break;
  case varByte:
    Name = "Byte";
    break;
  case varWord:
    Name = "Word";
    break;
  case varLongWord:
    Name = "LongWord";
    break;
  case varInt64:
    Name = "Int64";
    break;
  case varUInt64:
    Name = "UInt64";
    break;
  case varString:
    Name = "String";
    break;
  default:
    return Format("$%.4x", static_cast<int32_t>(Type));
  }
  return (Type & varArray) ? std::string("Array ") + Name : std::string(Name);
}

AnsiString VarToStr(const Variant& V, const TFormatSettings& Settings) {
  return V.IsNull() ? AnsiString() : V.AsString(Settings);
}
AnsiString VarToStr(const Variant& V) { return VarToStr(V, FormatSettings()); }

WideString VarToWideStr(const Variant& V, const TFormatSettings& Settings) {
  return V.IsNull() ? WideString() : V.AsWideString(Settings);
}
WideString VarToWideStr(const Variant& V) { return VarToWideStr(V, FormatSettings()); }

TDateTime VarToDateTime(const Variant& V) { return V.AsDateTime(); }

Variant VarAsType(const Variant& V, TVarType Type, const TFormatSettings& FS) {
  if (Type == V.VarType())
    return V;
  if (Type == varEmpty)
    return Variant();
  if (Type == varNull)
    return Variant::Null();
  if (V.IsNull() || V.IsArray() || (Type & varArray))
    CastError(V.VarType(), Type);
  switch (Type) {
  case varShortInt:
    return Variant(static_cast<int8_t>(TVarAccess::ToInt(V, Type, INT8_MIN, INT8_MAX, FS)));
  case varSmallint:
    return Variant(static_cast<int16_t>(TVarAccess::ToInt(V, Type, INT16_MIN, INT16_MAX, FS)));
  case varInteger:
    return Variant(static_cast<int32_t>(TVarAccess::ToInt(V, Type, INT32_MIN, INT32_MAX, FS)));
  case varInt64:
    return Variant(TVarAccess::ToInt(V, Type, INT64_MIN, INT64_MAX, FS));
  case varByte:
    return Variant(static_cast<uint8_t>(TVarAccess::ToInt(V, Type, 0, UINT8_MAX, FS)));
  case varWord:
    return Variant(static_cast<uint16_t>(TVarAccess::ToInt(V, Type, 0, UINT16_MAX, FS)));
  case varLongWord:
    return Variant(static_cast<uint32_t>(TVarAccess::ToInt(V, Type, 0, UINT32_MAX, FS)));
  case varUInt64:
    return Variant(TVarAccess::ToUInt64(V, FS));
  case varSingle:
    return Variant(TVarAccess::ToSingle(V, FS));
  case varDouble:
    return Variant(TVarAccess::ToDouble(V, varDouble, FS));
  case varCurrency:
    return Variant(TVarAccess::ToCurrency(V, FS));
  case varDate:
    return Variant::FromDateTime(TVarAccess::ToDateTime(V, FS));
  case varBoolean:
    return Variant(TVarAccess::ToBoolean(V, FS));
  case varString:
    return Variant(TVarAccess::ToAnsi(V, FS));
  case varOleStr:
    return Variant(V.AsWideString(FS));
  default:
    throw EVariantError(std::string(SysConst::SVarBadType));
  }
}

Variant VarAsType(const Variant& V, TVarType Type) { return VarAsType(V, Type, FormatSettings()); }

// ---------------------------------------------------------------------------------------------
// Variant arrays

namespace {

// The element position of Indices, first index fastest.
size_t ElementIndex(const TVarArray& A, std::span<const int32_t> Indices) {
  if (Indices.size() != A.Bounds.size())
    BadIndex();
  size_t Pos = 0, Stride = 1;
  for (size_t D = 0; D < Indices.size(); ++D) {
    const TVarBound& B = A.Bounds[D];
    int64_t Offset = int64_t(Indices[D]) - B.Low;
    if (Offset < 0 || Offset >= B.Count)
      BadIndex();
    Pos += static_cast<size_t>(Offset) * Stride;
    Stride *= B.Count;
  }
  return Pos;
}

template <class T> T LoadAs(const uint8_t* P) {
  T V;
  std::memcpy(&V, P, sizeof V);
  return V;
}

template <class T> void StoreAs(uint8_t* P, T V) { std::memcpy(P, &V, sizeof V); }

Variant LoadElement(TVarType T, const uint8_t* P) {
  switch (T) {
  case varShortInt:
    return Variant(LoadAs<int8_t>(P));
  case varByte:
    return Variant(LoadAs<uint8_t>(P));
  case varSmallint:
    return Variant(LoadAs<int16_t>(P));
  case varWord:
    return Variant(LoadAs<uint16_t>(P));
  case varBoolean:
    return Variant(LoadAs<int16_t>(P) != 0);
  case varInteger:
    return Variant(LoadAs<int32_t>(P));
  case varLongWord:
    return Variant(LoadAs<uint32_t>(P));
  case varSingle:
    return Variant(LoadAs<float>(P));
  case varDouble:
    return Variant(LoadAs<double>(P));
  case varDate:
    return Variant::FromDateTime(LoadAs<double>(P));
  case varCurrency:
    return Variant(Currency::FromScaled(LoadAs<int64_t>(P)));
  case varInt64:
    return Variant(LoadAs<int64_t>(P));
  default:
    return Variant(LoadAs<uint64_t>(P)); // varUInt64
  }
}

void StoreElement(TVarType T, uint8_t* P, const Variant& Value) {
  Variant V = VarAsType(Value, T);
  switch (T) {
  case varShortInt:
    StoreAs(P, static_cast<int8_t>(V.AsInt64()));
    break;
  case varByte:
    StoreAs(P, static_cast<uint8_t>(V.AsInt64()));
    break;
  case varSmallint:
    StoreAs(P, static_cast<int16_t>(V.AsInt64()));
    break;
  case varWord:
    StoreAs(P, static_cast<uint16_t>(V.AsInt64()));
    break;
  case varBoolean:
    StoreAs(P, static_cast<int16_t>(V.AsBoolean() ? -1 : 0));
    break;
  case varInteger:
    StoreAs(P, static_cast<int32_t>(V.AsInt64()));
    break;
  case varLongWord:
    StoreAs(P, static_cast<uint32_t>(V.AsInt64()));
    break;
  case varSingle:
    StoreAs(P, V.AsSingle());
    break;
  case varDouble:
  case varDate:
    StoreAs(P, V.AsDouble());
    break;
  case varCurrency:
    StoreAs(P, V.AsCurrency().Scaled);
    break;
  case varInt64:
    StoreAs(P, V.AsInt64());
    break;
  default:
    StoreAs(P, V.AsUInt64());
    break; // varUInt64
  }
}

} // namespace

Variant VarArrayCreate(std::span<const int32_t> Bounds, TVarType ElementType) {
  int Size = ElementSizeOf(ElementType);
  if (Bounds.empty() || Bounds.size() % 2 != 0 || Bounds.size() / 2 > MaxDims || Size < 0)
    throw EVariantError(std::string(SysConst::SVarArrayCreate));
  TVarArrayPtr A(new TVarArray);
  A->ElementType = ElementType;
  A->ElementSize = static_cast<uint32_t>(Size);
  uint64_t Total = 1;
  const uint64_t PerElement = Size > 0 ? Size : sizeof(Variant);
  for (size_t I = 0; I < Bounds.size(); I += 2) {
    int64_t Count = int64_t(Bounds[I + 1]) - Bounds[I] + 1;
    if (Count < 0 || (Count > 0 && Total > MaxArrayBytes / PerElement / Count))
      throw EVariantError(std::string(SysConst::SVarArrayCreate));
    Total *= Count;
    A->Bounds.push_back({Bounds[I], static_cast<uint32_t>(Count)});
  }
  A->Total = Total;
  if (Size > 0)
    A->Raw.assign(Total * Size, 0);
  else
    A->Items.assign(Total, ElementType == varVariant  ? Variant()
                           : ElementType == varOleStr ? Variant(WideString())
                                                      : Variant(AnsiString()));
  return TVarAccess::MakeArray(std::move(A));
}

Variant VarArrayCreate(std::initializer_list<int32_t> Bounds, TVarType ElementType) {
  return VarArrayCreate(std::span<const int32_t>(Bounds.begin(), Bounds.size()), ElementType);
}

Variant VarArrayOf(std::span<const Variant> Values) {
  TVarArrayPtr A(new TVarArray);
  A->ElementType = varVariant;
  A->Bounds.push_back({0, static_cast<uint32_t>(Values.size())});
  A->Total = Values.size();
  A->Items.assign(Values.begin(), Values.end());
  return TVarAccess::MakeArray(std::move(A));
}

Variant VarArrayOf(std::initializer_list<Variant> Values) {
  return VarArrayOf(std::span<const Variant>(Values.begin(), Values.size()));
}

int VarArrayDimCount(const Variant& A) {
  return A.IsArray() ? static_cast<int>(TVarAccess::ArrayOf(A).Bounds.size()) : 0;
}

int32_t VarArrayLowBound(const Variant& A, int Dim) {
  const TVarArray& Arr = TVarAccess::ArrayOf(A);
  if (Dim < 1 || Dim > static_cast<int>(Arr.Bounds.size()))
    BadIndex();
  return Arr.Bounds[Dim - 1].Low;
}

int32_t VarArrayHighBound(const Variant& A, int Dim) {
  const TVarArray& Arr = TVarAccess::ArrayOf(A);
  if (Dim < 1 || Dim > static_cast<int>(Arr.Bounds.size()))
    BadIndex();
  const TVarBound& B = Arr.Bounds[Dim - 1];
  return static_cast<int32_t>(int64_t(B.Low) + B.Count - 1);
}

Variant VarArrayGet(const Variant& A, std::span<const int32_t> Indices) {
  const TVarArray& Arr = TVarAccess::ArrayOf(A);
  size_t Pos = ElementIndex(Arr, Indices);
  if (Arr.ElementSize == 0)
    return Arr.Items[Pos];
  return LoadElement(Arr.ElementType, Arr.Raw.data() + Pos * Arr.ElementSize);
}

Variant VarArrayGet(const Variant& A, std::initializer_list<int32_t> Indices) {
  return VarArrayGet(A, std::span<const int32_t>(Indices.begin(), Indices.size()));
}

void VarArrayPut(Variant& A, const Variant& Value, std::span<const int32_t> Indices) {
  TVarArray& Arr = TVarAccess::ArrayOf(A);
  size_t Pos = ElementIndex(Arr, Indices);
  if (Arr.ElementSize != 0)
    StoreElement(Arr.ElementType, Arr.Raw.data() + Pos * Arr.ElementSize, Value);
  else if (Arr.ElementType == varVariant)
    Arr.Items[Pos] = Value;
  else
    Arr.Items[Pos] = VarAsType(Value, Arr.ElementType);
}

void VarArrayPut(Variant& A, const Variant& Value, std::initializer_list<int32_t> Indices) {
  VarArrayPut(A, Value, std::span<const int32_t>(Indices.begin(), Indices.size()));
}

void* VarArrayLock(Variant& A) {
  TVarArray& Arr = TVarAccess::ArrayOf(A);
  if (Arr.ElementSize == 0)
    throw EVariantError(std::string(SysConst::SVarBadType));
  return Arr.Raw.data();
}

void VarArrayUnlock(Variant& A) { TVarAccess::ArrayOf(A); }

} // namespace tolvan
