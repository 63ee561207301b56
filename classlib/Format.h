// Format.h: the class library's string formatting over typed arguments.
//
// Format(Fmt, Args...) fills "%" specifiers of the form
//     "%" [index ":"] ["-"] [width] ["." precision] type
// with the arguments in order (or from the index given). Width and precision may be "*", taking
// an integer argument. Types:
//   d  signed integer; the precision is the least number of digits (zero-padded after the sign)
//   u  unsigned integer (a negative 32-bit argument is read as its 32-bit unsigned value)
//   x  hexadecimal integer, upper-case digits; the precision is the least number of digits
//   f  fixed-point floating value; six decimals unless a precision is given
//   e  scientific floating value, "d.ddd...E+ddd"; precision = significant digits (default 15)
//   g  shortest general form with at most precision significant digits (default 15)
//   n  like f with thousands separators (default two decimals)
//   s  string or character; the precision is the most characters taken
//   p  pointer, as hexadecimal digits
// "%%" is a percent sign. A specifier without an argument, or with an argument of another kind,
// raises EConvertError; nothing is printed in that case.
//
// Floating values are written by the engine itself from the exact binary value (correctly
// rounded), with the decimal and thousands separators of the settings, never through the C
// library's locale.
//
// Threads: pure functions; the overloads without settings read the global FormatSettings().
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "classlib/SysUtils.h"

namespace tolvan {

// One typed argument of Format.
struct TVarRec {
  enum TKind : uint8_t { vtInteger, vtInt64, vtUInt64, vtExtended, vtString, vtWideString, vtChar,
                         vtWideChar, vtBoolean, vtPointer };
  TKind Kind;
  union {
    int32_t VInteger;
    int64_t VInt64;
    uint64_t VUInt64;
    long double VExtended;
    char VChar;
    char16_t VWideChar;
    bool VBoolean;
    const void* VPointer;
  };
  std::string_view VString;
  std::u16string_view VWideString;

  TVarRec(bool V) : Kind(vtBoolean), VBoolean(V) {}
  TVarRec(char V) : Kind(vtChar), VChar(V) {}
  TVarRec(char16_t V) : Kind(vtWideChar), VWideChar(V) {}
  template <std::signed_integral T>
    requires(sizeof(T) <= 4 && !std::same_as<T, char>)
  TVarRec(T V) : Kind(vtInteger), VInteger(V) {}
  template <std::unsigned_integral T>
    requires(sizeof(T) <= 2 && !std::same_as<T, bool> && !std::same_as<T, char16_t>)
  TVarRec(T V) : Kind(vtInteger), VInteger(V) {}
  TVarRec(uint32_t V) : Kind(vtInt64), VInt64(V) {}
  TVarRec(long V) : Kind(vtInt64), VInt64(V) {}
  TVarRec(long long V) : Kind(vtInt64), VInt64(V) {}
  TVarRec(unsigned long V) : Kind(vtUInt64), VUInt64(V) {}
  TVarRec(unsigned long long V) : Kind(vtUInt64), VUInt64(V) {}
  TVarRec(float V) : Kind(vtExtended), VExtended(V) {}
  TVarRec(double V) : Kind(vtExtended), VExtended(V) {}
  TVarRec(long double V) : Kind(vtExtended), VExtended(V) {}
  TVarRec(const char* V) : Kind(vtString), VPointer(nullptr), VString(V ? V : "") {}
  TVarRec(std::string_view V) : Kind(vtString), VPointer(nullptr), VString(V) {}
  TVarRec(const std::string& V) : Kind(vtString), VPointer(nullptr), VString(V) {}
  TVarRec(std::u16string_view V) : Kind(vtWideString), VPointer(nullptr), VWideString(V) {}
  TVarRec(const std::u16string& V) : Kind(vtWideString), VPointer(nullptr), VWideString(V) {}
  TVarRec(const char16_t* V) : Kind(vtWideString), VPointer(nullptr), VWideString(V ? V : u"") {}
  TVarRec(const void* V) : Kind(vtPointer), VPointer(V) {}
  TVarRec(std::nullptr_t) : Kind(vtPointer), VPointer(nullptr) {}
};

std::string FormatArgs(std::string_view Fmt, std::span<const TVarRec> Args,
                       const TFormatSettings& Settings);
std::string FormatArgs(std::string_view Fmt, std::span<const TVarRec> Args);

template <class... A>
std::string Format(std::string_view Fmt, const A&... Args) {
  if constexpr (sizeof...(A) == 0) {
    return FormatArgs(Fmt, std::span<const TVarRec>());
  } else {
    const TVarRec Recs[] = {TVarRec(Args)...};
    return FormatArgs(Fmt, std::span<const TVarRec>(Recs, sizeof...(A)));
  }
}

template <class... A>
std::string Format(const TFormatSettings& Settings, std::string_view Fmt, const A&... Args) {
  if constexpr (sizeof...(A) == 0) {
    return FormatArgs(Fmt, std::span<const TVarRec>(), Settings);
  } else {
    const TVarRec Recs[] = {TVarRec(Args)...};
    return FormatArgs(Fmt, std::span<const TVarRec>(Recs, sizeof...(A)), Settings);
  }
}

// Floating-point text shared by Format and the number routines.
enum class TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber };
// Precision: significant digits for ffGeneral / ffExponent; Digits: decimals for ffFixed /
// ffNumber, least exponent digits for ffGeneral / ffExponent. NaN and infinities give "NAN",
// "INF" and "-INF".
std::string FloatToStrF(long double Value, TFloatFormat Format, int Precision, int Digits,
                        const TFormatSettings& Settings);

} // namespace tolvan
