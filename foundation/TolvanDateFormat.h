// TolvanDateFormat.h: SQL date format strings (TODATE, TOSTRING), a few date routines and the
// English month and day names.
//
// A TDateFormater compiles a format such as "DD-MON-YYYY HH24:NN" once into a token list and
// then formats or reads any number of values with it; a format or read allocates nothing but the
// text it returns. Keywords match without regard to case and the longest keyword wins ("MONTH"
// before "MON", "HH24" before "HH"); everything else, and whatever stands between single or
// double quotes, is literal text.
//
//   keyword          written as                          read as
//   YYYY YEAR        four-digit year                     exactly 4 digits
//   YY               two-digit year                      exactly 2 digits; 00-29 = 20xx, 30-99 =
//   19xx Q                quarter 1-4                         1 digit; its first month, or checked
//                                                        against the month when that is read
//   MONTH MON        long / short month name             a month name of the settings
//   MM M             month, padded / not                 1-2 digits
//   RM               roman month I..XII                  I, V and X, up to 4
//   DDD              day of the year                     1-3 digits
//   DD D             day, padded / not                   1-2 digits
//   DAY DY           long / short day name               a day name of the settings
//   DW               ISO weekday, Monday 1 .. Sunday 7   1 digit
//   HH12 HH H12 H    hour mod 12, padded / not           1-2 digits
//   HH24 H24         hour 0-23, padded / not             1-2 digits
//   NN N, SS S       minute, second, padded / not        1-2 digits
//   ZZZ Z            millisecond, padded / not           1-3 digits
//   AMPM             "AM" or "PM"                        "AM" or "PM", any case
//
// The 12-hour keywords write noon and midnight as 0 (or 00), so "00:30 PM" is 12:30; on reading,
// AM/PM accepts 0 or 12 for that hour ("12:30 AM" is 00:30) and leaves an hour of 13-23 that
// came with PM as it is. Literal text is skipped by its length without being compared. A name,
// a day of the year or a weekday in the text must agree with the date read; a day of the year
// with a year but without month and day gives the date. When year, month or day is missing, the
// date is 1899-12-30. Text left over after the last token is refused.
//
// Failures of reading: EConvertError for a number field that is not all digits or runs past the
// end of the text, an unknown name or numeral, a mismatch, left-over text, or an impossible date
// or time; ETolvanException 30129 when the AMPM position holds neither word.
//
// Threads: a formater never changes after construction, so one formater may serve several
// threads at once. The overloads without settings read the global FormatSettings().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"

namespace tolvan {

// The index of a keyword in DateFormatKeywords, or dfkLiteral. The numbers are fixed.
// clang-format off
enum TDateFormatTokenKind : uint8_t {
  dfkYYYY,  dfkYY,   dfkYEAR, dfkQ,    dfkMONTH, dfkMON,  dfkMM,    //  0 ..  6
  dfkM,     dfkRM,   dfkDDD,  dfkDD,   dfkDAY,   dfkDY,   dfkDW,    //  7 .. 13
  dfkD,     dfkHH12, dfkHH24, dfkHH,   dfkH12,   dfkH24,  dfkH,     // 14 .. 20
  dfkNN,    dfkN,    dfkSS,   dfkS,    dfkZZZ,   dfkZ,    dfkAMPM,  // 21 .. 27
  dfkLiteral                                                         // 28
};

inline constexpr std::array<std::string_view, dfkLiteral> DateFormatKeywords = {
  "YYYY",   "YY",    "YEAR",  "Q",     "MONTH",  "MON",   "MM",
  "M",      "RM",    "DDD",   "DD",    "DAY",    "DY",    "DW",
  "D",      "HH12",  "HH24",  "HH",    "H12",    "H24",   "H",
  "NN",     "N",     "SS",    "S",     "ZZZ",    "Z",     "AMPM"};
// clang-format on

inline constexpr size_t MaxKeywordLength = [] {
  size_t N = 0;
  for (std::string_view K : DateFormatKeywords)
    N = K.size() > N ? K.size() : N;
  return N;
}();

// The engine's own English names (MONTHNAME, DAYNAME), independent of the format settings.
inline constexpr std::array<std::string_view, 12> MonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
inline constexpr std::array<std::string_view, 7> DayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

struct TDateFormatToken {
  TDateFormatTokenKind Kind;
  std::string Text; // a keyword as written in the format (case kept), or the literal text
};

using TDateFormatTokens = std::vector<TDateFormatToken>;

class TDateFormater {
public:
  explicit TDateFormater(std::string_view Format);

  // The keyword equal to Text upper-cased, or dfkLiteral.
  static TDateFormatTokenKind KeywordKind(std::string_view Text);

  std::string DateTimeToText(TDateTime Value) const;
  std::string DateTimeToText(TDateTime Value, const TFormatSettings& Settings) const;
  // Appends to Out, so a caller can reuse one buffer for many values.
  void AppendDateTimeText(std::string& Out, TDateTime Value, const TFormatSettings& Settings) const;

  TDateTime TextToDateTime(std::string_view Text) const;
  TDateTime TextToDateTime(std::string_view Text, const TFormatSettings& Settings) const;

  // The longest text DateTimeToText can return (names counted at their longest in the settings).
  int MaxTextLength() const;
  int MaxTextLength(const TFormatSettings& Settings) const;

  const TDateFormatTokens& Tokens() const { return FTokens; }

private:
  void ParseFormat(std::string_view Format);
  void AddToken(TDateFormatTokenKind Kind, std::string_view Text);

  TDateFormatTokens FTokens;
  int FReserve = 0; // the text length to reserve for a formatted value
};

// Date routines; a value outside 0001-01-01 .. 9999-12-31 raises EConvertError.
int YearOfDateTime(TDateTime Value);
int MonthOfDateTime(TDateTime Value);
int HourOfDateTime(TDateTime Value);
TDateTime FirstDayOfYear(TDateTime Value); // 1 January of the value's year, 00:00
int DayOfYear(TDateTime Value);            // 1 for 1 January
int IsoDayOfWeek(TDateTime Value);         // Monday 1 .. Sunday 7
int DayOfWeekSundayFirst(TDateTime Value); // Sunday 1 .. Saturday 7

} // namespace tolvan
