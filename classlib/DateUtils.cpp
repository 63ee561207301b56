#include "classlib/DateUtils.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>

#include "classlib/Format.h"
#include "classlib/Strings.h"

namespace tolvan {

namespace {

constexpr int CumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

constexpr int32_t FirstDay = -693593; // 0001-01-01
constexpr int32_t LastDay = 2958465;  // 9999-12-31

int32_t DaysBeforeYear(int Year) {
  int32_t Y = Year - 1;
  return Y * 365 + Y / 4 - Y / 100 + Y / 400;
}

// Day number (0001-01-01 = 1) to year, month and day, through the 400-, 100-, 4- and 1-year
// cycles of the Gregorian calendar.
void CivilFromDayNumber(int32_t N, int& Year, int& Month, int& Day) {
  int32_t D = N - 1;
  int32_t Y400 = D / 146097;
  D %= 146097;
  int32_t Y100 = D / 36524;
  D %= 36524;
  if (Y100 == 4) { // the last day of a 400-year cycle
    Y100 = 3;
    D += 36524;
  }
  int32_t Y4 = D / 1461;
  D %= 1461;
  int32_t Y1 = D / 365;
  D %= 365;
  if (Y1 == 4) { // the last day of a leap 4-year cycle
    Y1 = 3;
    D += 365;
  }
  Year = Y400 * 400 + Y100 * 100 + Y4 * 4 + Y1 + 1;
  const int* Cum = CumulativeDays[IsLeapYear(Year) ? 1 : 0];
  Month = 1;
  while (D >= Cum[Month])
    ++Month;
  Day = D - Cum[Month - 1] + 1;
}

// A valid value as its day (0 = 1899-12-30) and its millisecond of the day, rounded once.
bool SplitDateTime(TDateTime V, int32_t& Day, int32_t& MSec) {
  if (!(V > FirstDay - 1.0 && V < LastDay + 1.0))
    return false; // also NaN
  double Whole = std::trunc(V);
  double X = std::fabs(V - Whole) * MSecsPerDay; // V - Whole is exact
  double R = std::floor(X);
  double Diff = X - R;
  if (Diff > 0.5 || (Diff == 0.5 && std::fmod(R, 2.0) != 0))
    R += 1;
  Day = static_cast<int32_t>(Whole);
  MSec = static_cast<int32_t>(R);
  if (MSec >= MSecsPerDay) {
    MSec -= MSecsPerDay;
    ++Day;
  }
  return Day >= FirstDay && Day <= LastDay;
}

// Everything FormatDateTime may write about one value.
struct TDateParts {
  int Year, Month, Day, Hour, Min, Sec, MSec, WeekDay;
  bool HasTime;
};

TDateParts PartsOf(TDateTime V) {
  int32_t Day, MSec;
  if (!SplitDateTime(V, Day, MSec))
    throw EConvertError(std::string(SysConst::SDateDecodeError));
  TDateParts P;
  CivilFromDayNumber(Day + DateDelta, P.Year, P.Month, P.Day);
  P.WeekDay = (Day + DateDelta) % 7 + 1;
  P.Hour = MSec / 3600000;
  P.Min = MSec / 60000 % 60;
  P.Sec = MSec / 1000 % 60;
  P.MSec = MSec % 1000;
  P.HasTime = MSec != 0;
  return P;
}

char Upper(char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; }

bool StartsWithText(std::string_view S, size_t I, std::string_view W) {
  if (S.size() - I < W.size())
    return false;
  for (size_t K = 0; K < W.size(); ++K)
    if (Upper(S[I + K]) != W[K])
      return false;
  return true;
}

size_t RunLength(std::string_view F, size_t I) {
  char U = Upper(F[I]);
  size_t N = 1;
  while (I + N < F.size() && Upper(F[I + N]) == U)
    ++N;
  return N;
}

// Whether an AM/PM specifier appears in F from I on (outside quotes).
bool HasAmPmFrom(std::string_view F, size_t I) {
  while (I < F.size()) {
    char C = F[I];
    if (C == '"' || C == '\'') {
      size_t Close = F.find(C, I + 1);
      if (Close == std::string_view::npos)
        return false;
      I = Close + 1;
      continue;
    }
    if (Upper(C) == 'A' && (StartsWithText(F, I, "AM/PM") || StartsWithText(F, I, "A/P") ||
                            StartsWithText(F, I, "AMPM")))
      return true;
    ++I;
  }
  return false;
}

void AppendNumber(std::string& Out, int V, int MinDigits) {
  char Buf[16];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, V);
  for (int N = static_cast<int>(R.ptr - Buf); N < MinDigits; ++N)
    Out += '0';
  Out.append(Buf, R.ptr);
}

constexpr int MaxNesting = 2;

void AppendFormat(std::string& Out, std::string_view F, const TDateParts& P,
                  const TFormatSettings& FS, int Level) {
  if (Level >= MaxNesting)
    return;
  char Last = 0; // the last letter specifier, upper-cased
  for (size_t I = 0; I < F.size();) {
    char C = F[I];
    char U = Upper(C);
    size_t N = 1;
    if (U >= 'A' && U <= 'Z') {
      N = RunLength(F, I);
      if (U == 'M' && Last == 'H' && N <= 2)
        U = 'N';
      Last = U;
    }
    switch (U) {
    case 'Y':
      if (N <= 2)
        AppendNumber(Out, P.Year % 100, 2);
      else
        AppendNumber(Out, P.Year, 4);
      break;
    case 'M':
      if (N <= 2)
        AppendNumber(Out, P.Month, static_cast<int>(N));
      else
        Out += N == 3 ? FS.ShortMonthNames[P.Month - 1] : FS.LongMonthNames[P.Month - 1];
      break;
    case 'D':
      if (N <= 2)
        AppendNumber(Out, P.Day, static_cast<int>(N));
      else if (N == 3)
        Out += FS.ShortDayNames[P.WeekDay - 1];
      else if (N == 4)
        Out += FS.LongDayNames[P.WeekDay - 1];
      else
        AppendFormat(Out, N == 5 ? FS.ShortDateFormat : FS.LongDateFormat, P, FS, Level + 1);
      break;
    case 'H': {
      int H = P.Hour;
      if (HasAmPmFrom(F, I + N))
        H = H % 12 == 0 ? 12 : H % 12;
      AppendNumber(Out, H, N >= 2 ? 2 : 1);
      break;
    }
    case 'N':
      AppendNumber(Out, P.Min, N >= 2 ? 2 : 1);
      break;
    case 'S':
      AppendNumber(Out, P.Sec, N >= 2 ? 2 : 1);
      break;
    case 'Z':
      AppendNumber(Out, P.MSec, N >= 2 ? 3 : 1);
      break;
    case 'T':
      AppendFormat(Out, N == 1 ? FS.ShortTimeFormat : FS.LongTimeFormat, P, FS, Level + 1);
      break;
    case 'C':
      AppendFormat(Out, FS.ShortDateFormat, P, FS, Level + 1);
      if (P.HasTime) {
        Out += ' ';
        AppendFormat(Out, FS.LongTimeFormat, P, FS, Level + 1);
      }
      break;
    case 'A': {
      bool Pm = P.Hour >= 12;
      N = 1;
      if (StartsWithText(F, I, "AM/PM")) {
        Out.append(F.substr(Pm ? I + 3 : I, 2));
        N = 5;
      } else if (StartsWithText(F, I, "A/P")) {
        Out += F[Pm ? I + 2 : I];
        N = 3;
      } else if (StartsWithText(F, I, "AMPM")) {
        Out += Pm ? FS.TimePMString : FS.TimeAMString;
        N = 4;
      } else {
        Out += C;
      }
      break;
    }
    case '/':
      if (FS.DateSeparator != '\0')
        Out += FS.DateSeparator;
      break;
    case ':':
      if (FS.TimeSeparator != '\0')
        Out += FS.TimeSeparator;
      break;
    case '"':
    case '\'': {
      size_t Close = F.find(C, I + 1);
      if (Close == std::string_view::npos) {
        Out.append(F.substr(I + 1));
        return;
      }
      Out.append(F.substr(I + 1, Close - I - 1));
      N = Close + 1 - I;
      break;
    }
    default:
      Out.append(F.substr(I, N)); // literal characters, including letters with no meaning
      break;
    }
    I += N;
  }
}

// ---------------------------------------------------------------------------------------------
// Reading dates and times

struct TScanner {
  std::string_view S;
  size_t I = 0;

  void Blanks() {
    while (I < S.size() && S[I] == ' ')
      ++I;
  }
  bool AtEnd() const { return I >= S.size(); }
  bool Char(char C) {
    if (C == '\0' || I >= S.size() || S[I] != C)
      return false;
    ++I;
    return true;
  }
  // Up to nine digits; Length is how many there were.
  bool Number(int& Value, int& Length) {
    size_t Start = I;
    Value = 0;
    while (I < S.size() && S[I] >= '0' && S[I] <= '9') {
      if (I - Start == 9)
        return false;
      Value = Value * 10 + (S[I] - '0');
      ++I;
    }
    Length = static_cast<int>(I - Start);
    return Length > 0;
  }
  bool Word(std::string_view W) {
    if (W.empty() || S.size() - I < W.size() || !AnsiSameText(S.substr(I, W.size()), W))
      return false;
    I += W.size();
    return true;
  }
  // -1 none, 0 AM, 1 PM.
  int AmPm(const TFormatSettings& FS) {
    if (Word(FS.TimeAMString) || Word("AM"))
      return 0;
    if (Word(FS.TimePMString) || Word("PM"))
      return 1;
    return -1;
  }
};

enum class TDateOrder { MDY, DMY, YMD };

TDateOrder DateOrderOf(std::string_view F) {
  for (size_t I = 0; I < F.size(); ++I) {
    char C = F[I];
    if (C == '"' || C == '\'') {
      size_t Close = F.find(C, I + 1);
      if (Close == std::string_view::npos)
        break;
      I = Close;
      continue;
    }
    switch (Upper(C)) {
    case 'Y':
      return TDateOrder::YMD;
    case 'M':
      return TDateOrder::MDY;
    case 'D':
      return TDateOrder::DMY;
    }
  }
  return TDateOrder::MDY;
}

int CurrentYear() {
  int Y, M, D;
  DecodeDate(Now(), Y, M, D);
  return Y;
}

int ExpandTwoDigitYear(int Y, const TFormatSettings& FS) {
  int Current = CurrentYear();
  if (FS.TwoDigitYearCenturyWindow == 0)
    return Y + Current / 100 * 100;
  int Century = Current - FS.TwoDigitYearCenturyWindow;
  Y += Century / 100 * 100;
  if (Y < Century)
    Y += 100;
  return Y;
}

bool ScanDate(TScanner& Sc, const TFormatSettings& FS, TDateTime& Value) {
  int N1, N2, N3, L1, L2, L3;
  Sc.Blanks();
  if (!Sc.Number(N1, L1) || !Sc.Char(FS.DateSeparator) || !Sc.Number(N2, L2))
    return false;
  int Y, M, D;
  TDateOrder Order = DateOrderOf(FS.ShortDateFormat);
  if (Sc.Char(FS.DateSeparator)) {
    if (!Sc.Number(N3, L3))
      return false;
    int YearLength;
    switch (Order) {
    case TDateOrder::MDY:
      M = N1, D = N2, Y = N3, YearLength = L3;
      break;
    case TDateOrder::DMY:
      D = N1, M = N2, Y = N3, YearLength = L3;
      break;
    default:
      Y = N1, M = N2, D = N3, YearLength = L1;
      break;
    }
    if (YearLength <= 2)
      Y = ExpandTwoDigitYear(Y, FS);
  } else {
    Y = CurrentYear();
    if (Order == TDateOrder::DMY)
      D = N1, M = N2;
    else
      M = N1, D = N2;
  }
  Sc.Blanks();
  return TryEncodeDate(Y, M, D, Value);
}

bool ScanTime(TScanner& Sc, const TFormatSettings& FS, TDateTime& Value) {
  Sc.Blanks();
  int AmPm = Sc.AmPm(FS);
  Sc.Blanks();
  int Hour, Min = 0, Sec = 0, MSec = 0, Len;
  if (!Sc.Number(Hour, Len))
    return false;
  bool LoneHour = true;
  if (Sc.Char(FS.TimeSeparator)) {
    LoneHour = false;
    if (!Sc.Number(Min, Len))
      return false;
    if (Sc.Char(FS.TimeSeparator)) {
      if (!Sc.Number(Sec, Len))
        return false;
      if (Sc.Char(FS.DecimalSeparator) && !Sc.Number(MSec, Len))
        return false;
    }
  }
  Sc.Blanks();
  if (AmPm < 0)
    AmPm = Sc.AmPm(FS);
  Sc.Blanks();
  if (AmPm < 0 && LoneHour)
    return false;
  if (AmPm >= 0) {
    if (Hour == 0 || Hour > 12)
      return false;
    if (AmPm == 1 && Hour < 12)
      Hour += 12;
    else if (AmPm == 0 && Hour == 12)
      Hour = 0;
  }
  return TryEncodeTime(Hour, Min, Sec, MSec, Value);
}

} // namespace

// ---------------------------------------------------------------------------------------------

bool IsLeapYear(int Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }

int DaysInAMonth(int Year, int Month) {
  if (Month < 1 || Month > 12)
    return 0;
  const int* Cum = CumulativeDays[IsLeapYear(Year) ? 1 : 0];
  return Cum[Month] - Cum[Month - 1];
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 ||
      Day > DaysInAMonth(Year, Month))
    return false;
  int32_t N = DaysBeforeYear(Year) + CumulativeDays[IsLeapYear(Year) ? 1 : 0][Month - 1] + Day;
  Date = N - DateDelta;
  return true;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) {
  if (Hour < 0 || Hour >= HoursPerDay || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 ||
      MSec > 999)
    return false;
  Time = (Hour * 3600000 + Min * 60000 + Sec * 1000 + MSec) / static_cast<double>(MSecsPerDay);
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime D;
  if (!TryEncodeDate(Year, Month, Day, D))
    throw EConvertError(std::string(SysConst::SDateEncodeError));
  return D;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
  TDateTime T;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, T))
    throw EConvertError(std::string(SysConst::STimeEncodeError));
  return T;
}

TDateTime ComposeDateTime(TDateTime Date, TDateTime Time) {
  return Date < 0 ? Date - Time : Date + Time;
}

bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec,
                       TDateTime& Value) {
  TDateTime D, T;
  if (!TryEncodeDate(Year, Month, Day, D) || !TryEncodeTime(Hour, Min, Sec, MSec, T))
    return false;
  Value = ComposeDateTime(D, T);
  return true;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec) {
  return ComposeDateTime(EncodeDate(Year, Month, Day), EncodeTime(Hour, Min, Sec, MSec));
}

bool TryDecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min,
                       int& Sec, int& MSec) {
  int32_t D, Ms;
  if (!SplitDateTime(Value, D, Ms))
    return false;
  CivilFromDayNumber(D + DateDelta, Year, Month, Day);
  Hour = Ms / 3600000;
  Min = Ms / 60000 % 60;
  Sec = Ms / 1000 % 60;
  MSec = Ms % 1000;
  return true;
}

void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min, int& Sec,
                    int& MSec) {
  if (!TryDecodeDateTime(Value, Year, Month, Day, Hour, Min, Sec, MSec))
    throw EConvertError(std::string(SysConst::SDateDecodeError));
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) {
  int H, M, S, Ms;
  DecodeDateTime(Value, Year, Month, Day, H, M, S, Ms);
}

void DecodeTime(TDateTime Value, int& Hour, int& Min, int& Sec, int& MSec) {
  int Y, Mo, D;
  DecodeDateTime(Value, Y, Mo, D, Hour, Min, Sec, MSec);
}

int DayOfWeek(TDateTime Value) { return PartsOf(Value).WeekDay; }

TDateTime Now() {
  using namespace std::chrono;
  auto Clock = system_clock::now();
  std::time_t Seconds = system_clock::to_time_t(Clock);
  int MSec = static_cast<int>(duration_cast<milliseconds>(Clock.time_since_epoch()).count() % 1000);
  if (MSec < 0)
    MSec += 1000;
  // The broken-down time of the last second this thread asked for: a caller reading the clock
  // in a loop converts each second once. The C library's localtime_r reads the zone rules once
  // per process, so the same second gives the same fields either way; a zone changed through
  // tzset shows from the next second on.
  thread_local std::time_t CachedSeconds = 0;
  thread_local std::tm CachedLocal{};
  thread_local bool Cached = false;
  if (!Cached || Seconds != CachedSeconds) {
    std::tm Fresh{};
    localtime_r(&Seconds, &Fresh);
    CachedLocal = Fresh;
    CachedSeconds = Seconds;
    Cached = true;
  }
  const std::tm& Local = CachedLocal;
  // A leap second shows as :60; the value has no room for it.
  return EncodeDateTime(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Local.tm_hour,
                        Local.tm_min, Local.tm_sec > 59 ? 59 : Local.tm_sec, MSec);
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() {
  TDateTime V = Now();
  return V - std::trunc(V);
}

std::string FormatDateTime(std::string_view Fmt, TDateTime Value, const TFormatSettings& Settings) {
  TDateParts P = PartsOf(Value);
  std::string Out;
  Out.reserve(Fmt.size() + 16);
  AppendFormat(Out, Fmt.empty() ? std::string_view("c") : Fmt, P, Settings, 0);
  return Out;
}

std::string FormatDateTime(std::string_view Fmt, TDateTime Value) {
  return FormatDateTime(Fmt, Value, FormatSettings());
}

std::string DateToStr(TDateTime Value, const TFormatSettings& Settings) {
  return FormatDateTime("ddddd", Value, Settings);
}
std::string DateToStr(TDateTime Value) { return DateToStr(Value, FormatSettings()); }

std::string TimeToStr(TDateTime Value, const TFormatSettings& Settings) {
  return FormatDateTime("tt", Value, Settings);
}
std::string TimeToStr(TDateTime Value) { return TimeToStr(Value, FormatSettings()); }

std::string DateTimeToStr(TDateTime Value, const TFormatSettings& Settings) {
  return FormatDateTime("c", Value, Settings);
}
std::string DateTimeToStr(TDateTime Value) { return DateTimeToStr(Value, FormatSettings()); }

bool TryStrToDate(std::string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  TScanner Sc{S};
  return ScanDate(Sc, Settings, Value) && Sc.AtEnd();
}

bool TryStrToTime(std::string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  TScanner Sc{S};
  return ScanTime(Sc, Settings, Value) && Sc.AtEnd();
}

bool TryStrToDateTime(std::string_view S, TDateTime& Value, const TFormatSettings& Settings) {
  TScanner Sc{S};
  TDateTime D, T;
  if (ScanDate(Sc, Settings, D)) {
    if (Sc.AtEnd()) {
      Value = D;
      return true;
    }
    if (!ScanTime(Sc, Settings, T) || !Sc.AtEnd())
      return false;
    Value = ComposeDateTime(D, T);
    return true;
  }
  return TryStrToTime(S, Value, Settings);
}

bool TryStrToDate(std::string_view S, TDateTime& Value) {
  return TryStrToDate(S, Value, FormatSettings());
}
bool TryStrToTime(std::string_view S, TDateTime& Value) {
  return TryStrToTime(S, Value, FormatSettings());
}
bool TryStrToDateTime(std::string_view S, TDateTime& Value) {
  return TryStrToDateTime(S, Value, FormatSettings());
}

TDateTime StrToDate(std::string_view S, const TFormatSettings& Settings) {
  TDateTime V;
  if (!TryStrToDate(S, V, Settings))
    throw EConvertError(Format(SysConst::SInvalidDate, S));
  return V;
}

TDateTime StrToTime(std::string_view S, const TFormatSettings& Settings) {
  TDateTime V;
  if (!TryStrToTime(S, V, Settings))
    throw EConvertError(Format(SysConst::SInvalidTime, S));
  return V;
}

TDateTime StrToDateTime(std::string_view S, const TFormatSettings& Settings) {
  TDateTime V;
  if (!TryStrToDateTime(S, V, Settings))
    throw EConvertError(Format(SysConst::SInvalidDateTime, S));
  return V;
}

TDateTime StrToDate(std::string_view S) { return StrToDate(S, FormatSettings()); }
TDateTime StrToTime(std::string_view S) { return StrToTime(S, FormatSettings()); }
TDateTime StrToDateTime(std::string_view S) { return StrToDateTime(S, FormatSettings()); }

} // namespace tolvan
