// Variants.h: Variant, the class library's tagged value standing for an OLE variant, with its
// conversions and variant arrays.
//
// A Variant holds one value and its type code (VarType). The codes are the OLE ones the engine
// exchanges values through:
//
//   code  name          holds                    code   name         holds
//   0     varEmpty      nothing (unassigned)     11     varBoolean   bool
//   1     varNull       SQL-style null           12     varVariant   (array elements only)
//   2     varSmallint   int16                    16     varShortInt  int8
//   3     varInteger    int32                    17     varByte      uint8
//   4     varSingle     float                    18     varWord      uint16
//   5     varDouble     double                   19     varLongWord  uint32
//   6     varCurrency   Currency                 20     varInt64     int64
//   7     varDate       TDateTime                21     varUInt64    uint64
//   8     varOleStr     WideString (UTF-16)      256    varString    AnsiString (cp1252)
//
// varArray (0x2000) or'ed with an element code marks a variant array: one or more dimensions,
// each with its own low and high bound (high may be low - 1 for an empty dimension). Arrays of
// fixed-size elements keep them packed in one zero-filled block that VarArrayLock exposes
// (varArray | varByte is the byte array the engine stores as BYTES); arrays of varVariant,
// varOleStr and varString keep Variants. Copying a Variant copies its array.
//
// Conversions follow the class library: Empty reads as 0, "" or False; Null refuses every
// conversion except VarToStr / VarToWideStr, which give ""; True reads as -1; floats become
// integers by rounding to even; text is read and written with the format settings (numbers,
// currency, dates) and "True"/"False" (any case) for Booleans. A target that cannot hold the
// value raises EVariantOverflowError, text or types that do not convert EVariantTypeCastError,
// bad array indexes or dimensions EVariantBadIndexError; all derive from EVariantError.
//
// Threads: a Variant is a plain value; distinct Variants may be used from distinct threads.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "classlib/DateUtils.h"
#include "classlib/FloatText.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"

namespace tolvan {

TOLVAN_DECLARE_EXCEPTION(EVariantTypeCastError, EVariantError)
TOLVAN_DECLARE_EXCEPTION(EVariantOverflowError, EVariantError)
TOLVAN_DECLARE_EXCEPTION(EVariantBadIndexError, EVariantError)

namespace SysConst {
inline constexpr std::string_view SVarTypeCouldNotConvert =
    "Could not convert variant of type (%s) into type (%s)";
inline constexpr std::string_view SVarTypeConvertOverflow =
    "Overflow while converting variant of type (%s) into type (%s)";
inline constexpr std::string_view SVarBadType = "Invalid variant type";
inline constexpr std::string_view SVarArrayBounds = "Variant or safe array index out of bounds";
inline constexpr std::string_view SVarNotArray = "Variant is not an array";
inline constexpr std::string_view SVarArrayCreate = "Error creating variant or safe array";
} // namespace SysConst

using TVarType = uint16_t;

inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;
inline constexpr TVarType varInteger = 0x0003;
inline constexpr TVarType varSingle = 0x0004;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varOleStr = 0x0008;
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varVariant = 0x000C;
inline constexpr TVarType varShortInt = 0x0010;
inline constexpr TVarType varByte = 0x0011;
inline constexpr TVarType varWord = 0x0012;
inline constexpr TVarType varLongWord = 0x0013;
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varUInt64 = 0x0015;
inline constexpr TVarType varString = 0x0100;
inline constexpr TVarType varTypeMask = 0x0FFF;
inline constexpr TVarType varArray = 0x2000;

struct TVarArray;
// Frees an array body where its type is complete, so Variant's inline members need not see it.
struct TVarArrayDeleter {
  void operator()(TVarArray* A) const noexcept;
};
using TVarArrayPtr = std::unique_ptr<TVarArray, TVarArrayDeleter>;

class Variant {
public:
  Variant() noexcept {}
  Variant(const Variant& Other);
  Variant(Variant&& Other) noexcept;
  Variant& operator=(const Variant& Other);
  Variant& operator=(Variant&& Other) noexcept;
  ~Variant() = default;

  Variant(bool V) : FType(varBoolean) { FBool = V; }
  template <std::signed_integral T>
  requires(!std::same_as<T, char>) Variant(T V)
      : FType(sizeof(T) == 1   ? varShortInt
              : sizeof(T) == 2 ? varSmallint
              : sizeof(T) == 4 ? varInteger
                               : varInt64) {
    FInt = V;
  }
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char8_t> &&
           !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>)
      Variant(T V)
      : FType(sizeof(T) == 1   ? varByte
              : sizeof(T) == 2 ? varWord
              : sizeof(T) == 4 ? varLongWord
                               : varUInt64) {
    FUInt = V;
  }
  Variant(float V) : FType(varSingle) { FSingle = V; }
  Variant(double V) : FType(varDouble) { FDouble = V; }
  Variant(long double V) : FType(varDouble) { FDouble = static_cast<double>(V); }
  Variant(Currency V) : FType(varCurrency) { FInt = V.Scaled; }
  Variant(char V) : FType(varString), FAnsi(1, V) {}
  Variant(const char* V) : FType(varString), FAnsi(V ? V : "") {}
  Variant(std::string_view V) : FType(varString), FAnsi(V) {}
  Variant(AnsiString V) : FType(varString), FAnsi(std::move(V)) {}
  Variant(const char16_t* V) : FType(varOleStr), FWide(V ? V : u"") {}
  Variant(std::u16string_view V) : FType(varOleStr), FWide(V) {}
  Variant(WideString V) : FType(varOleStr), FWide(std::move(V)) {}

  static Variant Null() {
    Variant V;
    V.FType = varNull;
    return V;
  }
  static Variant FromDateTime(TDateTime V) {
    Variant R(V);
    R.FType = varDate;
    return R;
  }

  TVarType VarType() const { return FType; }
  bool IsEmpty() const { return FType == varEmpty; }
  bool IsNull() const { return FType == varNull; }
  bool IsArray() const { return (FType & varArray) != 0; }

  // Conversions (see the header comment). The settings read and write numbers and dates as
  // text.
  bool AsBoolean(const TFormatSettings& FS = FormatSettings()) const;
  int32_t AsInteger(const TFormatSettings& FS = FormatSettings()) const;
  int64_t AsInt64(const TFormatSettings& FS = FormatSettings()) const;
  uint64_t AsUInt64(const TFormatSettings& FS = FormatSettings()) const;
  float AsSingle(const TFormatSettings& FS = FormatSettings()) const;
  double AsDouble(const TFormatSettings& FS = FormatSettings()) const;
  Currency AsCurrency(const TFormatSettings& FS = FormatSettings()) const;
  TDateTime AsDateTime(const TFormatSettings& FS = FormatSettings()) const;
  AnsiString AsString(const TFormatSettings& FS = FormatSettings()) const;
  WideString AsWideString(const TFormatSettings& FS = FormatSettings()) const;

private:
  friend struct TVarAccess;

  TVarType FType = varEmpty;
  union {
    int64_t FInt = 0; // signed integers, and Currency (scaled)
    uint64_t FUInt;   // Byte, Word, LongWord, UInt64
    double FDouble;   // Double and Date
    float FSingle;
    bool FBool;
  };
  AnsiString FAnsi;
  WideString FWide;
  TVarArrayPtr FArray;
};

Variant Null();
Variant Unassigned();
Variant VarFromDateTime(TDateTime Value);

inline TVarType VarType(const Variant& V) { return V.VarType(); }
inline bool VarIsEmpty(const Variant& V) { return V.IsEmpty(); }
inline bool VarIsNull(const Variant& V) { return V.IsNull(); }
inline bool VarIsArray(const Variant& V) { return V.IsArray(); }
bool VarIsStr(const Variant& V);     // varOleStr or varString
bool VarIsOrdinal(const Variant& V); // the integer codes and varBoolean
bool VarIsFloat(const Variant& V);   // varSingle, varDouble, varCurrency, varDate
bool VarIsNumeric(const Variant& V); // ordinal or float

// "Integer", "OleStr", "Array Byte", ...
std::string VarTypeAsText(TVarType Type);

// The value's text; Null and Empty give "".
AnsiString VarToStr(const Variant& V);
AnsiString VarToStr(const Variant& V, const TFormatSettings& Settings);
WideString VarToWideStr(const Variant& V);
WideString VarToWideStr(const Variant& V, const TFormatSettings& Settings);
TDateTime VarToDateTime(const Variant& V);

// The value converted to another type code (not an array code): varEmpty and varNull give
// those values; a Null source raises unless the target is varNull.
Variant VarAsType(const Variant& V, TVarType Type);
Variant VarAsType(const Variant& V, TVarType Type, const TFormatSettings& Settings);

// Variant arrays. Bounds lists low and high bound per dimension, so its length is twice the
// number of dimensions (1 to 64); the element type is one of the scalar codes above, varVariant,
// varOleStr or varString. Elements start as zero, Empty or "".
Variant VarArrayCreate(std::span<const int32_t> Bounds, TVarType ElementType);
Variant VarArrayCreate(std::initializer_list<int32_t> Bounds, TVarType ElementType);
// A one-dimensional array of varVariant, bounds 0 .. count - 1.
Variant VarArrayOf(std::span<const Variant> Values);
Variant VarArrayOf(std::initializer_list<Variant> Values);
int VarArrayDimCount(const Variant& A);              // 0 when A is not an array
int32_t VarArrayLowBound(const Variant& A, int Dim); // Dim counts from 1
int32_t VarArrayHighBound(const Variant& A, int Dim);
// One index per dimension.
Variant VarArrayGet(const Variant& A, std::span<const int32_t> Indices);
Variant VarArrayGet(const Variant& A, std::initializer_list<int32_t> Indices);
// The value is converted to the element type (kept as it is in a varVariant array).
void VarArrayPut(Variant& A, const Variant& Value, std::span<const int32_t> Indices);
void VarArrayPut(Variant& A, const Variant& Value, std::initializer_list<int32_t> Indices);
// The packed elements of an array of fixed-size elements, in the OLE order: the first index
// varies fastest. The pointer stays valid until the Variant is assigned or destroyed; Unlock
// ends the use. Arrays of Variants and strings have no packed form (EVariantError).
void* VarArrayLock(Variant& A);
void VarArrayUnlock(Variant& A);

} // namespace tolvan
