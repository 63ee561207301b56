#include "classlib/DateUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

using namespace tolvan;
namespace chr = std::chrono;

namespace {

const TDateTime Sample = EncodeDateTime(2024, 3, 5, 14, 7, 9, 250); // a Tuesday

std::string Stamp(TDateTime V) { return FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", V); }

TFormatSettings DayMonthYear() {
  TFormatSettings FS;
  FS.DateSeparator = '.';
  FS.ShortDateFormat = "dd.MM.yyyy";
  FS.LongTimeFormat = "hh:nn:ss";
  FS.DecimalSeparator = ',';
  return FS;
}

} // namespace

// The calendar agrees with the standard library's civil calendar: every day of one whole
// 400-year cycle (which holds every pattern of leap years), both ends of the range, and a stride
// across all of it.
TEST(DateUtils, CalendarAgreesWithChrono) {
  const chr::sys_days Epoch = chr::year{1899} / 12 / 30;
  auto Check = [&](chr::sys_days Day) {
    chr::year_month_day Ymd(Day);
    int Y = static_cast<int>(Ymd.year()), M = static_cast<unsigned>(Ymd.month()),
        D = static_cast<unsigned>(Ymd.day());
    TDateTime V = EncodeDate(Y, M, D);
    ASSERT_EQ(V, (Day - Epoch).count()) << Y << "-" << M << "-" << D;
    int Y2, M2, D2;
    DecodeDate(V, Y2, M2, D2);
    ASSERT_TRUE(Y2 == Y && M2 == M && D2 == D) << Y << "-" << M << "-" << D;
    ASSERT_EQ(DayOfWeek(V), static_cast<int>(chr::weekday(Day).c_encoding()) + 1);
  };
  const chr::sys_days First = chr::year{1} / 1 / 1, Last = chr::year{9999} / 12 / 31;
  for (chr::sys_days D = chr::year{1700} / 1 / 1; D < chr::sys_days(chr::year{2100} / 1 / 1);
       D += chr::days{1})
    Check(D);
  for (int I = 0; I < 800; ++I) {
    Check(First + chr::days{I});
    Check(Last - chr::days{I});
  }
  for (chr::sys_days D = First; D <= Last; D += chr::days{97})
    Check(D);
  EXPECT_EQ(EncodeDate(1, 1, 1), MinDateTime);
  EXPECT_EQ(EncodeDate(9999, 12, 31), MaxDateTime);
}

TEST(DateUtils, EncodeChecksItsArguments) {
  struct DateCase {
    int Y, M, D;
    bool Ok;
  };
  const DateCase Dates[] = {
      {2024, 2, 29, true},  {1600, 2, 29, true},  {2000, 2, 29, true},  {1900, 2, 29, false},
      {2100, 2, 29, false}, {2023, 2, 29, false}, {2024, 4, 31, false}, {2024, 13, 1, false},
      {2024, 0, 1, false},  {2024, 1, 0, false},  {0, 12, 31, false},   {10000, 1, 1, false},
      {-5, 1, 1, false},
  };
  for (const DateCase& C : Dates) {
    TDateTime V;
    EXPECT_EQ(TryEncodeDate(C.Y, C.M, C.D, V), C.Ok) << C.Y << "-" << C.M << "-" << C.D;
  }
  struct TimeCase {
    int H, N, S, Ms;
    bool Ok;
  };
  const TimeCase Times[] = {{23, 59, 59, 999, true}, {0, 0, 0, 0, true},   {24, 0, 0, 0, false},
                            {0, 60, 0, 0, false},    {0, 0, 60, 0, false}, {0, 0, 0, 1000, false},
                            {-1, 0, 0, 0, false},    {0, 0, 0, -1, false}};
  for (const TimeCase& C : Times) {
    TDateTime V;
    EXPECT_EQ(TryEncodeTime(C.H, C.N, C.S, C.Ms, V), C.Ok) << C.H << ":" << C.N << ":" << C.S;
  }
  try {
    EncodeDate(2023, 2, 29);
    FAIL();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "Invalid argument to date encode");
  }
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
}

// Before 1899-12-30 the whole part is the day and the fraction's size the time of day; a value
// a hair before midnight decodes as the next day's 00:00, on both sides of day 0.
TEST(DateUtils, DecodingBefore1899AndAroundMidnight) {
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1);
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  EXPECT_EQ(EncodeDateTime(1899, 12, 28, 18, 0, 0, 0), -2.75);

  const TDateTime Mar6 = EncodeDate(2024, 3, 6);
  struct Case {
    TDateTime Value;
    const char* Want;
  };
  const Case Cases[] = {
      {EncodeDateTime(2024, 3, 5, 23, 59, 59, 999), "2024-03-05 23:59:59.999"},
      {Mar6 - 1e-10, "2024-03-06 00:00:00.000"}, // 0.009 ms before midnight
      {Mar6 - 1e-8, "2024-03-05 23:59:59.999"},  // 0.86 ms before
      {Mar6, "2024-03-06 00:00:00.000"},
      {Mar6 + 1e-10, "2024-03-06 00:00:00.000"},
      {0.0, "1899-12-30 00:00:00.000"},
      {-1e-12, "1899-12-30 00:00:00.000"},
      {-0.5, "1899-12-30 12:00:00.000"},
      {-1.0, "1899-12-29 00:00:00.000"},
      {-1.25, "1899-12-29 06:00:00.000"},
      {-1.0000000001, "1899-12-29 00:00:00.000"},
      {-1.9999999999, "1899-12-30 00:00:00.000"}, // the end of 12-29 rolls to 12-30, not 12-28
      {EncodeDateTime(1899, 12, 29, 23, 59, 59, 999), "1899-12-29 23:59:59.999"},
      {EncodeDateTime(1, 1, 1, 12, 0, 0, 0), "0001-01-01 12:00:00.000"},
      {EncodeDateTime(9999, 12, 31, 23, 59, 59, 999), "9999-12-31 23:59:59.999"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Stamp(C.Value), C.Want) << C.Want;

  int H, N, S, Ms;
  DecodeTime(EncodeDateTime(1850, 6, 1, 13, 14, 15, 16), H, N, S, Ms);
  EXPECT_TRUE(H == 13 && N == 14 && S == 15 && Ms == 16);

  const TDateTime Outside[] = {MaxDateTime + 1,
                               MaxDateTime + 1 - 1e-9,
                               MinDateTime - 1,
                               std::nan(""),
                               std::numeric_limits<double>::infinity(),
                               1e300};
  for (TDateTime V : Outside) {
    int Y, M, D;
    EXPECT_THROW(DecodeDate(V, Y, M, D), EConvertError) << V;
    EXPECT_THROW(FormatDateTime("c", V), EConvertError) << V;
  }
}

TEST(DateUtils, FormatDateTimeSpecifiers) {
  struct Case {
    const char* Format;
    TDateTime Value;
    const char* Want;
  };
  const TDateTime Midnight5 = EncodeDateTime(2024, 3, 5, 0, 5, 0, 0);
  const TDateTime Noon = EncodeDateTime(2024, 3, 5, 12, 0, 0, 0);
  const Case Cases[] = {
      {"yyyy yy mmmm mmm mm m", Sample, "2024 24 March Mar 03 3"},
      {"dddd ddd dd d", Sample, "Tuesday Tue 05 5"},
      {"hh h nn n ss s zzz z", Sample, "14 14 07 7 09 9 250 250"},
      {"YYYY-MM-DD HH:NN", Sample, "2024-03-05 14:07"},
      {"hh:mm", Sample, "14:07"}, // m right after an hour is the minute
      {"dd/mm/yyyy", Sample, "05/03/2024"},
      {"h:nn AM/PM", Sample, "2:07 PM"},
      {"h:nn am/pm", Sample, "2:07 pm"},
      {"h:nn a/p", Sample, "2:07 p"},
      {"hh:nn ampm", Sample, "02:07 PM"},
      {"h:nn AMPM", Midnight5, "12:05 AM"},
      {"h:nn AMPM", Noon, "12:00 PM"},
      {"AMPM h", Sample, "PM 14"}, // the clock is 12-hour only for an AM/PM that follows
      {"c", Sample, "3/5/2024 2:07:09 PM"},
      {"", Sample, "3/5/2024 2:07:09 PM"},
      {"c", EncodeDate(2024, 3, 5), "3/5/2024"},
      {"c", 0.5, "12/30/1899 12:00:00 PM"},
      {"ddddd", Sample, "3/5/2024"},
      {"dddddd", Sample, "Tuesday, March 5, 2024"},
      {"t", Sample, "2:07 PM"},
      {"tt", Sample, "2:07:09 PM"},
      {"'yyyy'\"mm\" yyyy", Sample, "yyyymm 2024"},
      {"yyyy 'open", Sample, "2024 open"},
      {"yyyy", EncodeDate(1, 1, 1), "0001"},
      {"yy", EncodeDate(2005, 1, 1), "05"},
      {"[x] d", Sample, "[x] 5"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(FormatDateTime(C.Format, C.Value), C.Want) << C.Format;

  EXPECT_EQ(DateToStr(Sample), "3/5/2024");
  EXPECT_EQ(TimeToStr(Sample), "2:07:09 PM");
  EXPECT_EQ(DateTimeToStr(Sample), "3/5/2024 2:07:09 PM");
  TFormatSettings FS = DayMonthYear();
  EXPECT_EQ(DateTimeToStr(Sample, FS), "05.03.2024 14:07:09");
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn", Sample, FS), "05.03.2024 14:07");

  // Settings that name themselves expand a bounded number of times.
  FS.ShortDateFormat = "c";
  FS.LongTimeFormat = "tt";
  EXPECT_NO_THROW(DateTimeToStr(Sample, FS));
}

TEST(DateUtils, ReadingDatesAndTimes) {
  struct Case {
    const char* Text;
    bool Ok;
    TDateTime Value;
  };
  const Case Dates[] = {
      {"3/5/2024", true, EncodeDate(2024, 3, 5)},
      {" 12/31/1899 ", true, 1},
      {"1/1/0001", true, MinDateTime},
      {"12/31/9999", true, MaxDateTime},
      {"2/29/2023", false, 0},
      {"13/1/2024", false, 0},
      {"3-5-2024", false, 0},
      {"3/5/2024x", false, 0},
      {"3//2024", false, 0},
      {"3/5/", false, 0},
      {"3", false, 0},
      {"", false, 0},
      {"3/5/2024 14:00", false, 0},
      {"3/5/1234567890", false, 0},
  };
  for (const Case& C : Dates) {
    TDateTime V = -99;
    EXPECT_EQ(TryStrToDate(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V, C.Value) << C.Text;
    }
  }
  const Case Times[] = {
      {"14:07", true, EncodeTime(14, 7, 0, 0)},
      {"2:07:09 PM", true, EncodeTime(14, 7, 9, 0)},
      {"2:07:09 pm", true, EncodeTime(14, 7, 9, 0)},
      {"PM 2:07", true, EncodeTime(14, 7, 0, 0)},
      {"12:00 AM", true, 0},
      {"12:00 PM", true, 0.5},
      {"5 PM", true, EncodeTime(17, 0, 0, 0)},
      {"14:07:09.250", true, EncodeTime(14, 7, 9, 250)},
      {"5", false, 0},
      {"25:00", false, 0},
      {"13:00 PM", false, 0},
      {"0:30 AM", false, 0},
      {"14:60", false, 0},
      {"14:07:09.1000", false, 0},
      {"14:", false, 0},
      {"14:07 XM", false, 0},
  };
  for (const Case& C : Times) {
    TDateTime V = -99;
    EXPECT_EQ(TryStrToTime(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V, C.Value) << C.Text;
    }
  }
  const Case Both[] = {
      {"3/5/2024 14:07:09", true, EncodeDateTime(2024, 3, 5, 14, 7, 9, 0)},
      {"3/5/2024", true, EncodeDate(2024, 3, 5)},
      {"14:07", true, EncodeTime(14, 7, 0, 0)},
      {"12/29/1899 6:00 AM", true, -1.25},
      {"3/5/2024 14", false, 0},
      {"3/5/2024 x", false, 0},
  };
  for (const Case& C : Both) {
    TDateTime V = -99;
    EXPECT_EQ(TryStrToDateTime(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V, C.Value) << C.Text;
    }
  }

  // Two numbers take the current year; two-digit years fall in the century window.
  int ThisYear, M, D;
  DecodeDate(Now(), ThisYear, M, D);
  int Y;
  DecodeDate(StrToDate("3/5"), Y, M, D);
  EXPECT_EQ(Y, ThisYear);
  const int Window = FormatSettings().TwoDigitYearCenturyWindow;
  for (int TwoDigits : {0, 24, 50, 99}) {
    DecodeDate(StrToDate("1/1/" + std::to_string(TwoDigits)), Y, M, D);
    EXPECT_EQ(Y % 100, TwoDigits);
    EXPECT_GE(Y, ThisYear - Window);
    EXPECT_LT(Y, ThisYear - Window + 100);
  }

  // Other orders and separators come from the settings.
  TFormatSettings FS = DayMonthYear();
  EXPECT_EQ(StrToDate("05.03.2024", FS), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToTime("14:07:09,250", FS), EncodeTime(14, 7, 9, 250));
  TDateTime Unused;
  EXPECT_FALSE(TryStrToDate("3/5/2024", Unused, FS));
  FS.ShortDateFormat = "yyyy-mm-dd";
  FS.DateSeparator = '-';
  EXPECT_EQ(StrToDate("2024-03-05", FS), EncodeDate(2024, 3, 5));

  try {
    StrToDate("x");
    FAIL();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'x' is not a valid date");
  }
  EXPECT_THROW(StrToTime("x"), EConvertError);
  EXPECT_THROW(StrToDateTime("x"), EConvertError);
}

// What the text routines write, they read back, in either settings.
TEST(DateUtils, TextRoundTrips) {
  const TFormatSettings Settings[] = {TFormatSettings(), DayMonthYear()};
  const TDateTime Values[] = {EncodeDateTime(2024, 3, 5, 14, 7, 9, 0),
                              EncodeDateTime(1899, 12, 29, 0, 0, 1, 0),
                              EncodeDateTime(1, 1, 1, 23, 59, 59, 0), EncodeDate(9999, 12, 31),
                              EncodeDateTime(2000, 2, 29, 12, 0, 0, 0)};
  for (const TFormatSettings& FS : Settings)
    for (TDateTime V : Values) {
      std::string Text = FormatDateTime("ddddd hh:nn:ss", V, FS);
      EXPECT_EQ(StrToDateTime(Text, FS), V) << Text;
      EXPECT_EQ(StrToDate(DateToStr(V, FS), FS), std::trunc(V)) << Text;
    }
}

TEST(DateUtils, Clock) {
  TDateTime N = Now();
  EXPECT_GT(N, EncodeDate(2020, 1, 1));
  EXPECT_LT(N, EncodeDate(2200, 1, 1));
  TDateTime T = Time();
  EXPECT_GE(T, 0);
  EXPECT_LT(T, 1);
  EXPECT_EQ(Date(), std::trunc(Date()));
}

// Arbitrary formats and texts give text or a clean refusal (run under the sanitizers).
TEST(DateUtils, ArbitraryInputIsHandledCleanly) {
  const char Alphabet[] = "cdmyhnsztaAMP/: .'\"0123456789";
  std::mt19937 Rng(5);
  for (int I = 0; I < 3000; ++I) {
    std::string S(Rng() % 20, ' ');
    for (char& C : S)
      C = Alphabet[Rng() % (sizeof Alphabet - 1)];
    EXPECT_NO_THROW(FormatDateTime(S, Sample)) << S;
    EXPECT_NO_THROW(FormatDateTime(S, -693592.75)) << S;
    TDateTime V;
    if (TryStrToDateTime(S, V)) {
      int Y, M, D;
      EXPECT_NO_THROW(DecodeDate(V, Y, M, D)) << S;
    }
  }
}
