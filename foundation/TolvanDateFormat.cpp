#include "foundation/TolvanDateFormat.h"

#include <algorithm>
#include <charconv>

#include "classlib/Format.h"
#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int32_t NativeAmPmExpected = 30129;

constexpr std::array<std::string_view, 12> RomanMonths = {"I",   "II",   "III", "IV", "V",  "VI",
                                                          "VII", "VIII", "IX",  "X",  "XI", "XII"};
constexpr size_t MaxRomanLength = 4;

// The day number with 0001-01-01 as day 1 (a Monday), of a date already checked.
int32_t DayNumberOf(int Year, int Month, int Day) {
  return static_cast<int32_t>(EncodeDate(Year, Month, Day)) + DateDelta;
}

int DayOfYearOf(int Year, int Month, int Day) {
  int N = Day;
  for (int M = 1; M < Month; ++M)
    N += DaysInAMonth(Year, M);
  return N;
}

int SundayFirstOf(int32_t DayNumber) { return DayNumber % 7 + 1; }
int IsoOf(int32_t DayNumber) { return (DayNumber - 1) % 7 + 1; }

void AppendNumber(std::string& Out, int Value, int MinDigits) {
  char Buf[16];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, Value);
  for (int N = static_cast<int>(R.ptr - Buf); N < MinDigits; ++N)
    Out += '0';
  Out.append(Buf, R.ptr);
}

size_t LongestName(const std::string* Names, int Count) {
  size_t N = 0;
  for (int I = 0; I < Count; ++I)
    N = Names[I].size() > N ? Names[I].size() : N;
  return N;
}

[[noreturn]] void RaiseBadNumber(std::string_view Field) {
  throw EConvertError(Format(SysConst::SInvalidInteger, Field));
}

[[noreturn]] void RaiseBadText(std::string_view Text) {
  throw EConvertError(Format(SysConst::SInvalidDateTime, Text));
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// Reads the fields of one text from left to right. Every failure names the field or the text.
struct TTextReader {
  std::string_view S;
  size_t P = 0;

  std::string_view Rest(size_t N) const { return S.substr(P, N); }
  void Skip(size_t N) { P += std::min(N, S.size() - P); }

  // Exactly N digits: a text that ends inside the field is as bad as a letter in it.
  int Fixed(size_t N) {
    std::string_view F = Rest(N);
    int V = 0;
    for (char C : F) {
      if (!IsDigit(C))
        RaiseBadNumber(F);
      V = V * 10 + (C - '0');
    }
    if (F.size() < N)
      RaiseBadNumber(F);
    P += N;
    return V;
  }

  // One to N digits: the first character is always taken, further ones while they are digits.
  int UpTo(size_t N) {
    if (P >= S.size() || !IsDigit(S[P]))
      RaiseBadNumber(Rest(1));
    int V = 0;
    for (size_t K = 0; K < N && P < S.size() && IsDigit(S[P]); ++K, ++P)
      V = V * 10 + (S[P] - '0');
    return V;
  }

  // The index of the longest of the names that the text continues with, any case.
  int Name(const std::string* Names, int Count) {
    int Found = -1;
    size_t Length = 0;
    for (int I = 0; I < Count; ++I) {
      const std::string& Nm = Names[I];
      if (Nm.size() > Length && S.size() - P >= Nm.size() &&
          AnsiSameText(S.substr(P, Nm.size()), Nm)) {
        Found = I;
        Length = Nm.size();
      }
    }
    if (Found < 0)
      RaiseBadText(S);
    P += Length;
    return Found;
  }

  // A month in roman numerals: the run of I, V and X (at most four) must spell one of I..XII.
  int Roman() {
    char Buf[MaxRomanLength];
    size_t N = 0;
    while (N < MaxRomanLength && P + N < S.size()) {
      char C = AnsiUpperChar(S[P + N]);
      if (C != 'I' && C != 'V' && C != 'X')
        break;
      Buf[N++] = C;
    }
    std::string_view Numeral(Buf, N);
    for (size_t M = 0; M < RomanMonths.size(); ++M)
      if (RomanMonths[M] == Numeral) {
        P += N;
        return static_cast<int>(M) + 1;
      }
    RaiseBadText(S);
  }

  // True for PM.
  bool AmPm() {
    std::string_view F = Rest(2);
    char Buf[2];
    for (size_t K = 0; K < F.size(); ++K)
      Buf[K] = AnsiUpperChar(F[K]);
    std::string_view Word(Buf, F.size());
    if (Word != "AM" && Word != "PM")
      throw ETolvanException::CreateFmt(NativeAmPmExpected, SAmPmWordExpected, Word);
    P += 2;
    return Word == "PM";
  }
};

// What a text said. A field of -1 was not in the format.
struct TReadFields {
  int Year = -1, Month = -1, Day = -1;
  int Hour = 0, Min = 0, Sec = 0, MSec = 0;
  int AmPm = -1;      // 0 AM, 1 PM
  int Quarter = -1;   // Q
  int DayOfYear = -1; // DDD
  int WeekDay = -1;   // Sunday 1 .. Saturday 7, from DAY, DY or DW
};

// AM/PM on a 12-hour hour of 0..12 (the formater writes noon as 0). An hour of 13..23 is
// already on the 24-hour clock, which PM confirms and AM contradicts.
int HourOfDay(const TReadFields& F) {
  int H = F.Hour;
  if (F.AmPm == 1 && H < 12)
    H += 12;
  else if (F.AmPm == 0 && H == 12)
    H = 0;
  else if (F.AmPm == 0 && H > 12)
    throw EConvertError(std::string(SysConst::STimeEncodeError));
  return H;
}

// The date part: 1899-12-30 when year, month or day is missing, or all three read as zero.
TDateTime DatePart(const TReadFields& F, std::string_view Text) {
  int Year = F.Year, Month = F.Month, Day = F.Day;
  // A quarter stands for its first month unless the month itself is in the text too.
  if (F.Quarter > 0 && Month < 0)
    Month = 3 * F.Quarter - 2;
  else if (F.Quarter > 0 && Month > 0 && (Month - 1) / 3 + 1 != F.Quarter)
    RaiseBadText(Text);
  bool Complete = Year >= 0 && Month >= 0 && Day >= 0;
  if (!Complete || (Year == 0 && Month == 0 && Day == 0)) {
    // A year with a day of the year names a date without month and day.
    if (Year <= 0 || Month >= 0 || Day >= 0 || F.DayOfYear < 0)
      return 0;
    if (F.DayOfYear > (IsLeapYear(Year) ? 366 : 365))
      throw EConvertError(std::string(SysConst::SDateEncodeError));
    Month = 1;
    Day = F.DayOfYear;
    while (Day > DaysInAMonth(Year, Month))
      Day -= DaysInAMonth(Year, Month++);
  }
  int32_t N = DayNumberOf(Year, Month, Day);
  if (F.DayOfYear >= 0 && F.DayOfYear != DayOfYearOf(Year, Month, Day))
    RaiseBadText(Text);
  if (F.WeekDay >= 0 && F.WeekDay != SundayFirstOf(N))
    RaiseBadText(Text);
  return N - DateDelta;
}

} // namespace

// ---------------------------------------------------------------------------------------------

TDateFormater::TDateFormater(std::string_view Format) {
  FTokens.clear();
  ParseFormat(Format);
  FReserve = MaxTextLength();
}

TDateFormatTokenKind TDateFormater::KeywordKind(std::string_view Text) {
  for (size_t K = 0; K < DateFormatKeywords.size(); ++K) {
    std::string_view Key = DateFormatKeywords[K];
    if (Key.size() != Text.size())
      continue;
    size_t I = 0;
    while (I < Key.size() && AnsiUpperChar(Text[I]) == Key[I])
      ++I;
    if (I == Key.size())
      return static_cast<TDateFormatTokenKind>(K);
  }
  return dfkLiteral;
}

void TDateFormater::AddToken(TDateFormatTokenKind Kind, std::string_view Text) {
  FTokens.push_back(TDateFormatToken{Kind, std::string(Text)});
}

void TDateFormater::ParseFormat(std::string_view F) {
  size_t Mark = 0; // start of the pending literal text
  char Quote = 0;
  size_t I = 0;
  while (I < F.size()) {
    char C = F[I];
    if (Quote != 0) {
      if (C == Quote) { // adjacent quotes still give a (empty) literal
        AddToken(dfkLiteral, F.substr(Mark, I - Mark));
        Quote = 0;
        Mark = I + 1;
      }
      ++I;
      continue;
    }
    if (C == '\'' || C == '"') {
      if (I > Mark)
        AddToken(dfkLiteral, F.substr(Mark, I - Mark));
      Quote = C;
      Mark = ++I;
      continue;
    }
    size_t L = std::min(MaxKeywordLength, F.size() - I);
    TDateFormatTokenKind Kind = dfkLiteral;
    for (; L > 0; --L) {
      Kind = KeywordKind(F.substr(I, L));
      if (Kind != dfkLiteral)
        break;
    }
    if (L == 0) {
      ++I;
      continue;
    }
    if (I > Mark)
      AddToken(dfkLiteral, F.substr(Mark, I - Mark));
    AddToken(Kind, F.substr(I, L));
    I += L;
    Mark = I;
  }
  if (Mark < F.size()) // also the rest of an unclosed quote
    AddToken(dfkLiteral, F.substr(Mark));
}

// ---------------------------------------------------------------------------------------------

std::string TDateFormater::DateTimeToText(TDateTime Value) const {
  return DateTimeToText(Value, FormatSettings());
}

std::string TDateFormater::DateTimeToText(TDateTime Value, const TFormatSettings& Settings) const {
  std::string Out;
  Out.reserve(static_cast<size_t>(FReserve));
  AppendDateTimeText(Out, Value, Settings);
  return Out;
}

void TDateFormater::AppendDateTimeText(std::string& Out, TDateTime Value,
                                       const TFormatSettings& Settings) const {
  int Year, Month, Day, Hour, Min, Sec, MSec;
  DecodeDateTime(Value, Year, Month, Day, Hour, Min, Sec, MSec);
  const int32_t DayNumber = DayNumberOf(Year, Month, Day);
  for (const TDateFormatToken& T : FTokens) {
    switch (T.Kind) {
    case dfkYYYY:
    case dfkYEAR:
      AppendNumber(Out, Year, 4);
      break;
    case dfkYY:
      AppendNumber(Out, Year % 100, 2);
      break;
    case dfkQ:
      AppendNumber(Out, (Month - 1) / 3 + 1, 1);
      break;
    case dfkMONTH:
      Out += Settings.LongMonthNames[Month - 1];
      break;
    case dfkMON:
      Out += Settings.ShortMonthNames[Month - 1];
      break;
    case dfkMM:
    case dfkM:
      AppendNumber(Out, Month, T.Kind == dfkMM ? 2 : 1);
      break;
    case dfkRM:
      Out += RomanMonths[Month - 1];
      break;
    case dfkDDD:
      AppendNumber(Out, DayOfYearOf(Year, Month, Day), 1);
      break;
    case dfkDD:
    case dfkD:
      AppendNumber(Out, Day, T.Kind == dfkDD ? 2 : 1);
      break;
    case dfkDAY:
      Out += Settings.LongDayNames[SundayFirstOf(DayNumber) - 1];
      break;
    case dfkDY:
      Out += Settings.ShortDayNames[SundayFirstOf(DayNumber) - 1];
      break;
    case dfkDW:
      AppendNumber(Out, IsoOf(DayNumber), 1);
      break;
    case dfkHH12:
    case dfkHH:
      AppendNumber(Out, Hour % 12, 2);
      break;
    case dfkH12:
    case dfkH:
      AppendNumber(Out, Hour % 12, 1);
      break;
    case dfkHH24:
    case dfkH24:
      AppendNumber(Out, Hour, T.Kind == dfkHH24 ? 2 : 1);
      break;
    case dfkNN:
    case dfkN:
      AppendNumber(Out, Min, T.Kind == dfkNN ? 2 : 1);
      break;
    case dfkSS:
    case dfkS:
      AppendNumber(Out, Sec, T.Kind == dfkSS ? 2 : 1);
      break;
    case dfkZZZ:
    case dfkZ:
      AppendNumber(Out, MSec, T.Kind == dfkZZZ ? 3 : 1);
      break;
    case dfkAMPM:
      Out += Hour >= 12 ? "PM" : "AM";
      break;
    case dfkLiteral:
      Out += T.Text;
      break;
    default:
      throw Exception("Unknown DateFormatType");
    }
  }
}

// ---------------------------------------------------------------------------------------------

TDateTime TDateFormater::TextToDateTime(std::string_view Text) const {
  return TextToDateTime(Text, FormatSettings());
}

TDateTime TDateFormater::TextToDateTime(std::string_view Text,
                                        const TFormatSettings& Settings) const {
  TTextReader R{Text};
  TReadFields F;
  for (const TDateFormatToken& T : FTokens) {
    switch (T.Kind) {
    case dfkYYYY:
    case dfkYEAR:
      F.Year = R.Fixed(4);
      break;
    case dfkYY: {
      int V = R.Fixed(2);
      F.Year = (V < 30 ? V + 100 : V) + 1900;
      break;
    }
    case dfkQ: {
      int Q = R.Fixed(1);
      if (Q < 1 || Q > 4)
        RaiseBadText(Text);
      F.Quarter = Q;
      break;
    }
    case dfkMONTH:
      F.Month = R.Name(Settings.LongMonthNames, 12) + 1;
      break;
    case dfkMON:
      F.Month = R.Name(Settings.ShortMonthNames, 12) + 1;
      break;
    case dfkMM:
    case dfkM:
      F.Month = R.UpTo(2);
      break;
    case dfkRM:
      F.Month = R.Roman();
      break;
    case dfkDDD:
      F.DayOfYear = R.UpTo(3);
      if (F.DayOfYear < 1)
        RaiseBadText(Text);
      break;
    case dfkDD:
    case dfkD:
      F.Day = R.UpTo(2);
      break;
    case dfkDAY:
      F.WeekDay = R.Name(Settings.LongDayNames, 7) + 1;
      break;
    case dfkDY:
      F.WeekDay = R.Name(Settings.ShortDayNames, 7) + 1;
      break;
    case dfkDW: {
      int Iso = R.UpTo(1);
      if (Iso < 1 || Iso > 7)
        RaiseBadText(Text);
      F.WeekDay = Iso % 7 + 1;
      break;
    }
    case dfkHH12:
    case dfkHH24:
    case dfkHH:
    case dfkH12:
    case dfkH24:
    case dfkH:
      F.Hour = R.UpTo(2);
      break;
    case dfkNN:
    case dfkN:
      F.Min = R.UpTo(2);
      break;
    case dfkSS:
    case dfkS:
      F.Sec = R.UpTo(2);
      break;
    case dfkZZZ:
    case dfkZ:
      F.MSec = R.UpTo(3);
      break;
    case dfkAMPM:
      F.AmPm = R.AmPm() ? 1 : 0;
      break;
    case dfkLiteral:
      R.Skip(T.Text.size());
      break;
    default:
      throw Exception("Unknown DateFormatType");
    }
  }
  if (R.P < Text.size())
    RaiseBadText(Text);
  TDateTime Time = EncodeTime(HourOfDay(F), F.Min, F.Sec, F.MSec);
  return ComposeDateTime(DatePart(F, Text), Time);
}

// ---------------------------------------------------------------------------------------------

int TDateFormater::MaxTextLength() const { return MaxTextLength(FormatSettings()); }

int TDateFormater::MaxTextLength(const TFormatSettings& Settings) const {
  size_t N = 0;
  for (const TDateFormatToken& T : FTokens) {
    switch (T.Kind) {
    case dfkYYYY:
    case dfkYEAR:
    case dfkRM:
      N += 4;
      break;
    case dfkQ:
      N += 1;
      break;
    case dfkMONTH:
      N += std::max<size_t>(9, LongestName(Settings.LongMonthNames, 12));
      break;
    case dfkMON:
      N += std::max<size_t>(3, LongestName(Settings.ShortMonthNames, 12));
      break;
    case dfkDAY:
      N += std::max<size_t>(12, LongestName(Settings.LongDayNames, 7));
      break;
    case dfkDY:
      N += std::max<size_t>(3, LongestName(Settings.ShortDayNames, 7));
      break;
    case dfkDDD:
    case dfkZZZ:
    case dfkZ:
      N += 3;
      break;
    case dfkLiteral:
      N += T.Text.size();
      break;
    default:
      N += 2;
      break;
    }
  }
  return static_cast<int>(N);
}

// ---------------------------------------------------------------------------------------------

int YearOfDateTime(TDateTime Value) {
  int Y, M, D;
  DecodeDate(Value, Y, M, D);
  return Y;
}

int MonthOfDateTime(TDateTime Value) {
  int Y, M, D;
  DecodeDate(Value, Y, M, D);
  return M;
}

int HourOfDateTime(TDateTime Value) {
  int H, M, S, Ms;
  DecodeTime(Value, H, M, S, Ms);
  return H;
}

TDateTime FirstDayOfYear(TDateTime Value) { return EncodeDate(YearOfDateTime(Value), 1, 1); }

int DayOfYear(TDateTime Value) {
  int Y, M, D;
  DecodeDate(Value, Y, M, D);
  return DayOfYearOf(Y, M, D);
}

int IsoDayOfWeek(TDateTime Value) {
  int Y, M, D;
  DecodeDate(Value, Y, M, D);
  return IsoOf(DayNumberOf(Y, M, D));
}

int DayOfWeekSundayFirst(TDateTime Value) {
  int Y, M, D;
  DecodeDate(Value, Y, M, D);
  return SundayFirstOf(DayNumberOf(Y, M, D));
}

} // namespace tolvan
