// SysUtils.h: the class library's exceptions, format settings and integer text.
//
// Exception is the base of every exception the engine and its class library raise; what()
// returns its message. The derived classes name the kind of failure so that handlers can tell
// them apart; their default messages are the class library's own texts.
//
// The format settings are one process-wide TFormatSettings with fixed US-English defaults. They
// are never read from the environment. A program may change them (before it starts using the
// engine from several threads); every formatting routine also takes explicit settings.
//
// Threads: the functions are pure apart from reading the global settings.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvan {

class Exception : public std::exception {
public:
  explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string Message) { FMessage = std::move(Message); }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

#define TOLVAN_DECLARE_EXCEPTION(Name, Base)                                                      \
  class Name : public Base {                                                                      \
  public:                                                                                         \
    using Base::Base;                                                                             \
  };

TOLVAN_DECLARE_EXCEPTION(EAbort, Exception)
TOLVAN_DECLARE_EXCEPTION(EConvertError, Exception)
TOLVAN_DECLARE_EXCEPTION(EIntError, Exception)
TOLVAN_DECLARE_EXCEPTION(EDivByZero, EIntError)
TOLVAN_DECLARE_EXCEPTION(ERangeError, EIntError)
TOLVAN_DECLARE_EXCEPTION(EIntOverflow, EIntError)
TOLVAN_DECLARE_EXCEPTION(EMathError, Exception)
TOLVAN_DECLARE_EXCEPTION(EInvalidOp, EMathError)
TOLVAN_DECLARE_EXCEPTION(EZeroDivide, EMathError)
TOLVAN_DECLARE_EXCEPTION(EOverflow, EMathError)
TOLVAN_DECLARE_EXCEPTION(EUnderflow, EMathError)
TOLVAN_DECLARE_EXCEPTION(EHeapException, Exception)
TOLVAN_DECLARE_EXCEPTION(EOutOfMemory, EHeapException)
TOLVAN_DECLARE_EXCEPTION(EInvalidPointer, EHeapException)
TOLVAN_DECLARE_EXCEPTION(EInvalidCast, Exception)
TOLVAN_DECLARE_EXCEPTION(EListError, Exception)
TOLVAN_DECLARE_EXCEPTION(EVariantError, Exception)
TOLVAN_DECLARE_EXCEPTION(EInOutError, Exception)
TOLVAN_DECLARE_EXCEPTION(EStreamError, Exception)
TOLVAN_DECLARE_EXCEPTION(EFCreateError, EStreamError)
TOLVAN_DECLARE_EXCEPTION(EFOpenError, EStreamError)
TOLVAN_DECLARE_EXCEPTION(EReadError, EStreamError)
TOLVAN_DECLARE_EXCEPTION(EWriteError, EStreamError)

// The class library's own message texts.
namespace SysConst {
inline constexpr std::string_view SDivByZero = "Division by zero";
inline constexpr std::string_view SRangeError = "Range check error";
inline constexpr std::string_view SIntOverflow = "Integer overflow";
inline constexpr std::string_view SInvalidOp = "Invalid floating point operation";
inline constexpr std::string_view SZeroDivide = "Floating point division by zero";
inline constexpr std::string_view SOverflow = "Floating point overflow";
inline constexpr std::string_view SUnderflow = "Floating point underflow";
inline constexpr std::string_view SOutOfMemory = "Out of memory";
inline constexpr std::string_view SInvalidPointer = "Invalid pointer operation";
inline constexpr std::string_view SInvalidCast = "Invalid class typecast";
inline constexpr std::string_view SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr std::string_view SInvalidFormat = "Format '%s' invalid or incompatible with argument";
inline constexpr std::string_view SArgumentMissing = "No argument for format '%s'";
inline constexpr std::string_view SListIndexError = "List index out of bounds (%d)";
} // namespace SysConst

// Days since 1899-12-30; the fraction is the time of day. Before 1899-12-30 the integer part
// counts back and the fraction's magnitude is still the time of day (-1.25 is 1899-12-29 06:00).
using TDateTime = double;

// Number and date text conventions. The defaults are US English.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  char ListSeparator = ',';
  std::string CurrencyString = "$";
  uint8_t CurrencyFormat = 0;
  uint8_t NegCurrFormat = 0;
  uint8_t CurrencyDecimals = 2;
  std::string ShortDateFormat = "M/d/yyyy";
  std::string LongDateFormat = "dddd, MMMM d, yyyy";
  std::string ShortTimeFormat = "h:nn AMPM";
  std::string LongTimeFormat = "h:nn:ss AMPM";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  std::string ShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string LongMonthNames[12] = {"January", "February", "March",     "April",
                                    "May",     "June",     "July",      "August",
                                    "September", "October", "November", "December"};
  std::string ShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::string LongDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
  uint16_t TwoDigitYearCenturyWindow = 50;
};

// The process-wide settings. Change them only while no other thread formats text.
TFormatSettings& FormatSettings();

// Integer text. The Str-to forms accept optional leading blanks, a sign, and a hexadecimal
// form ("$1F", "0x1F"); anything else, or a value out of range, raises EConvertError with
// "'%s' is not a valid integer value".
std::string IntToStr(int32_t Value);
std::string IntToStr(int64_t Value);
std::string UIntToStr(uint64_t Value);
std::string IntToHex(int64_t Value, int Digits); // upper-case, at least Digits digits
int32_t StrToInt(std::string_view S);
int64_t StrToInt64(std::string_view S);
int32_t StrToIntDef(std::string_view S, int32_t Default);
int64_t StrToInt64Def(std::string_view S, int64_t Default);
bool TryStrToInt(std::string_view S, int32_t& Value);
bool TryStrToInt64(std::string_view S, int64_t& Value);
// The unsigned 64-bit reading (0 .. 18446744073709551615, no sign other than '+').
bool TryStrToUInt64(std::string_view S, uint64_t& Value);

std::string Trim(std::string_view S);      // drops leading and trailing chars <= ' '
std::string TrimLeft(std::string_view S);
std::string TrimRight(std::string_view S);

} // namespace tolvan
