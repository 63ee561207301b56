// FloatText.h: floating-point and currency text in both directions, and the Currency type.
//
// Text is always written and read with the separators of a TFormatSettings: the overloads
// without settings use the process-wide FormatSettings(). Nothing here goes through the C
// library's locale; digits come from the exact binary value (std::to_chars / std::from_chars),
// correctly rounded, ties to even.
//
//   FloatToStr     general form, 15 significant digits: "1E20", "1.5E-7", "0.1"; scientific when
//                  the decimal exponent is 15 or more or the value is below 1E-5; "-0" gives "0".
//   StrToFloat     [blanks][sign]digits[separator digits][E[sign]digits][blanks], only the
//                  settings' decimal separator; no thousands separators, NAN, INF or hexadecimal.
//                  A value beyond the range of the target type is refused; one below its
//                  smallest magnitude reads as zero.
//   FormatFloat    picture formats such as "#,##0.000" and "0.00E+00" (see FormatFloat below).
//   Currency       a 64-bit count of ten-thousandths; text both ways is exact (no binary
//                  rounding), and every conversion into it rounds ties to even and is
//                  range-checked.
//
// Failures raise EConvertError with the texts in SysConst below.
//
// Threads: pure functions; the overloads without settings read the global FormatSettings().
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"

namespace tolvan {

namespace SysConst {
inline constexpr std::string_view SInvalidFloat = "'%s' is not a valid floating point value";
inline constexpr std::string_view SInvalidCurrency = "'%s' is not a valid currency value";
inline constexpr std::string_view SCurrencyRange = "Floating point value %s out of currency range";
} // namespace SysConst

// The class library's money type: the value times 10000 in a signed 64-bit integer, so it holds
// -922337203685477.5808 .. 922337203685477.5807 exactly.
struct Currency {
  static constexpr int64_t Factor = 10000;

  int64_t Scaled = 0;

  static constexpr Currency FromScaled(int64_t Scaled) {
    Currency C;
    C.Scaled = Scaled;
    return C;
  }
  long double ToExtended() const { return static_cast<long double>(Scaled) / Factor; }
  // The double nearest to the exact value.
  double ToDouble() const;

  friend constexpr bool operator==(Currency, Currency) = default;
  friend constexpr auto operator<=>(Currency, Currency) = default;
};

// Floating-point text.
std::string FloatToStr(long double Value);
std::string FloatToStr(long double Value, const TFormatSettings& Settings);

long double StrToFloat(std::string_view S);
long double StrToFloat(std::string_view S, const TFormatSettings& Settings);
long double StrToFloatDef(std::string_view S, long double Default);
long double StrToFloatDef(std::string_view S, long double Default, const TFormatSettings& Settings);
// Each target type is read directly from the text, so a double or a single is rounded once.
bool TryStrToFloat(std::string_view S, long double& Value);
bool TryStrToFloat(std::string_view S, long double& Value, const TFormatSettings& Settings);
bool TryStrToFloat(std::string_view S, double& Value);
bool TryStrToFloat(std::string_view S, double& Value, const TFormatSettings& Settings);
bool TryStrToFloat(std::string_view S, float& Value);
bool TryStrToFloat(std::string_view S, float& Value, const TFormatSettings& Settings);

// Writes Value after a picture format of up to three sections separated by ';': positive,
// negative, zero. A missing or empty negative section writes the positive one with a leading
// '-'; the zero section is used when the value rounds to zero in the section chosen first.
// In a section:
//   0        a digit, always written
//   #        a digit, written when significant
//   .        the place of the settings' decimal separator (written when a decimal follows)
//   ,        thousands separators every three integer digits (the settings' character)
//   E+ E- e+ e-  scientific form; '+' always writes the exponent's sign, '-' only a minus; the
//           zeros that follow (up to four) are the least number of exponent digits
//   "x" 'x'  literal text
// Any other character is literal. Digits are limited to 18 significant ones; a fixed-form value
// of 1E18 or more, and an empty format, fall back to FloatToStr. NaN and infinities give "NAN",
// "INF" and "-INF".
std::string FormatFloat(std::string_view Format, long double Value);
std::string FormatFloat(std::string_view Format, long double Value,
                        const TFormatSettings& Settings);

// Currency.
bool TryFloatToCurr(long double Value, Currency& Result); // false for NaN, inf, out of range
Currency FloatToCurr(long double Value);                  // EConvertError when out of range
// Exact text: the integer digits, then up to four decimals without trailing zeros.
std::string CurrToStr(Currency Value);
std::string CurrToStr(Currency Value, const TFormatSettings& Settings);
// ffFixed / ffNumber: Digits decimals (0..18), rounded exactly, ties to even; ffGeneral is
// CurrToStr; ffExponent goes through FloatToStrF with Digits as the precision.
std::string CurrToStrF(Currency Value, TFloatFormat Format, int Digits);
std::string CurrToStrF(Currency Value, TFloatFormat Format, int Digits,
                       const TFormatSettings& Settings);
// The syntax of StrToFloat, read exactly; more than four decimals round ties to even.
Currency StrToCurr(std::string_view S);
Currency StrToCurr(std::string_view S, const TFormatSettings& Settings);
bool TryStrToCurr(std::string_view S, Currency& Value);
bool TryStrToCurr(std::string_view S, Currency& Value, const TFormatSettings& Settings);

} // namespace tolvan
