// DateUtils.h: the class library's date-time value, its checked construction and decoding,
// the clock, and date and time text in both directions.
//
// A TDateTime is a double: the whole part counts days from 1899-12-30, the fraction is the time
// of day. Before 1899-12-30 the whole part is negative and the time of day is the absolute value
// of the fraction, so -1.25 is 1899-12-29 06:00 (ComposeDateTime builds such values). The valid
// span is 0001-01-01 (-693593) to 9999-12-31 (2958465) at the end of the day.
//
// Decoding rounds the time of day to whole milliseconds once, for date and time together: a
// value a hair before midnight decodes as 00:00:00.000 of the next day, never as 24:00 or as
// the wrong day, on either side of 1899-12-30.
//
// Text follows the format settings: FormatDateTime's specifiers (case-insensitive):
//   c        ShortDateFormat, then a blank and LongTimeFormat unless the time is 00:00:00.000
//   d dd     day, without and with a leading zero      ddd dddd  short and long day name
//   ddddd    ShortDateFormat                           dddddd    LongDateFormat
//   m mm     month (minutes when right after an hour)  mmm mmmm  short and long month name
//   yy yyyy  two- and four-digit year
//   h hh     hour (12-hour clock when an AM/PM specifier follows anywhere in the format)
//   n nn     minute        s ss   second        z zzz   millisecond
//   t tt     ShortTimeFormat and LongTimeFormat
//   am/pm a/p  "am"/"pm" ("a"/"p") in the letter case written;  ampm  TimeAMString/TimePMString
//   /  :     DateSeparator and TimeSeparator           "x" 'x'  literal text
// An empty format is "c". Nested formats (c, ddddd, dddddd, t, tt) expand at most two levels
// deep, so settings that name themselves cannot loop.
//
// StrToDate reads one to three numbers separated by DateSeparator in the order of
// ShortDateFormat (two numbers: the current year; a year of one or two digits falls in the
// window TwoDigitYearCenturyWindow years before the current year). StrToTime reads
// hour[:minute[:second[<decimal separator>millisecond]]] with an optional AM/PM word before or
// after (TimeAMString/TimePMString or "AM"/"PM"); a lone hour needs the word. StrToDateTime
// reads a date, a time, or a date followed by a time. Blanks around the parts are skipped.
//
// Failures raise EConvertError with the texts in SysConst below.
//
// Threads: pure functions apart from the clock; the overloads without settings read the
// global FormatSettings().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

namespace tolvan {

namespace SysConst {
inline constexpr std::string_view SDateEncodeError = "Invalid argument to date encode";
inline constexpr std::string_view STimeEncodeError = "Invalid argument to time encode";
inline constexpr std::string_view SDateDecodeError = "Invalid argument to date decode";
inline constexpr std::string_view SInvalidDate = "'%s' is not a valid date";
inline constexpr std::string_view SInvalidTime = "'%s' is not a valid time";
inline constexpr std::string_view SInvalidDateTime = "'%s' is not a valid date and time";
} // namespace SysConst

using TDateTime = double;

inline constexpr int32_t HoursPerDay = 24;
inline constexpr int32_t MinsPerDay = 24 * 60;
inline constexpr int32_t SecsPerDay = 24 * 60 * 60;
inline constexpr int32_t MSecsPerDay = 24 * 60 * 60 * 1000;
// Days from 0001-01-01, counted as day 1, to 1899-12-30.
inline constexpr int32_t DateDelta = 693594;
inline constexpr TDateTime MinDateTime = -693593.0; // 0001-01-01 00:00
inline constexpr TDateTime MaxDateTime = 2958465.0; // 9999-12-31 00:00; the day runs to +1

bool IsLeapYear(int Year);
int DaysInAMonth(int Year, int Month); // 0 for a month outside 1..12

// Checked construction: year 1..9999, a real day of the month, hour 0..23, minute and second
// 0..59, millisecond 0..999. The Try forms return false instead of raising.
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time);
TDateTime EncodeDate(int Year, int Month, int Day);         // EConvertError
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec); // EConvertError
// Date is a whole day number, Time a fraction in [0, 1): Date + Time, or Date - Time before
// 1899-12-30.
TDateTime ComposeDateTime(TDateTime Date, TDateTime Time);
bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec,
                       TDateTime& Value);
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec);

// Decoding; a value outside the valid span (or NaN) raises EConvertError, the Try form returns
// false.
bool TryDecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min,
                       int& Sec, int& MSec);
void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min, int& Sec,
                    int& MSec);
void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime Value);

// The local clock.
TDateTime Now();
TDateTime Date(); // today at 00:00
TDateTime Time(); // the time of day, date part 0

std::string FormatDateTime(std::string_view Format, TDateTime Value);
std::string FormatDateTime(std::string_view Format, TDateTime Value,
                           const TFormatSettings& Settings);
std::string DateToStr(TDateTime Value); // ShortDateFormat
std::string DateToStr(TDateTime Value, const TFormatSettings& Settings);
std::string TimeToStr(TDateTime Value); // LongTimeFormat
std::string TimeToStr(TDateTime Value, const TFormatSettings& Settings);
std::string DateTimeToStr(TDateTime Value); // "c"
std::string DateTimeToStr(TDateTime Value, const TFormatSettings& Settings);

bool TryStrToDate(std::string_view S, TDateTime& Value);
bool TryStrToDate(std::string_view S, TDateTime& Value, const TFormatSettings& Settings);
bool TryStrToTime(std::string_view S, TDateTime& Value);
bool TryStrToTime(std::string_view S, TDateTime& Value, const TFormatSettings& Settings);
bool TryStrToDateTime(std::string_view S, TDateTime& Value);
bool TryStrToDateTime(std::string_view S, TDateTime& Value, const TFormatSettings& Settings);
TDateTime StrToDate(std::string_view S);
TDateTime StrToDate(std::string_view S, const TFormatSettings& Settings);
TDateTime StrToTime(std::string_view S);
TDateTime StrToTime(std::string_view S, const TFormatSettings& Settings);
TDateTime StrToDateTime(std::string_view S);
TDateTime StrToDateTime(std::string_view S, const TFormatSettings& Settings);

} // namespace tolvan
