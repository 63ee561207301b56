#include "foundation/TolvanDateFormat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "foundation/TolvanExcept.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime exports this, though not every compiler ships its declaration.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
#define TOLVAN_COUNT_MALLOCS 1
#endif

using namespace tolvan;

namespace {

TDateTime At(int Y, int Mo, int D, int H = 0, int Mi = 0, int S = 0, int Ms = 0) {
  return EncodeDateTime(Y, Mo, D, H, Mi, S, Ms);
}

TDateTime TimeOnly(int H, int Mi, int S = 0, int Ms = 0) { return EncodeTime(H, Mi, S, Ms); }

std::string Kinds(const TDateFormater& F) {
  std::string S;
  for (const TDateFormatToken& T : F.Tokens()) {
    if (!S.empty())
      S += ' ';
    S += T.Kind == dfkLiteral ? "[" + T.Text + "]" : T.Text;
  }
  return S;
}

} // namespace

TEST(DateFormatParse, TokensOfFormats) {
  struct Case {
    const char* Format;
    const char* Tokens; // keywords as written, literals in brackets
  };
  const Case Cases[] = {
      {"DD.MM.YYYY", "DD [.] MM [.] YYYY"},
      {"'Q'Q", "[Q] Q"},
      {"hh24:nn", "hh24 [:] nn"},
      {"Month Mon MM M", "Month [ ] Mon [ ] MM [ ] M"},
      {"HH12HH24HHH12H24H", "HH12 HH24 HH H12 H24 H"},
      {"DDDD", "DDD D"},
      {"YYY", "YY [Y]"},
      {"DAY DY DW", "DAY [ ] DY [ ] DW"},
      {"ZZZZ AMPM", "ZZZ Z [ ] AMPM"},
      {"\"it's\" YY", "[it's] [ ] YY"}, // the other quote is plain text inside quotes
      {"a''b", "[a] [] [b]"},           // adjacent quotes give an empty literal
      {"YY 'open", "YY [ ] [open]"},    // an unclosed quote runs to the end
      {"", ""},
      {"%#!", "[%#!]"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Kinds(TDateFormater(C.Format)), C.Tokens) << C.Format;

  TDateFormater F("yyyy-Mon");
  ASSERT_EQ(F.Tokens().size(), 3u);
  EXPECT_EQ(F.Tokens()[0].Kind, dfkYYYY);
  EXPECT_EQ(F.Tokens()[2].Kind, dfkMON);
}

TEST(DateFormatParse, KeywordKind) {
  EXPECT_EQ(MaxKeywordLength, 5u);
  for (size_t K = 0; K < DateFormatKeywords.size(); ++K)
    EXPECT_EQ(TDateFormater::KeywordKind(DateFormatKeywords[K]), K);
  EXPECT_EQ(TDateFormater::KeywordKind("yyyy"), dfkYYYY);
  EXPECT_EQ(TDateFormater::KeywordKind("aMpM"), dfkAMPM);
  EXPECT_EQ(TDateFormater::KeywordKind("YYY"), dfkLiteral);
  EXPECT_EQ(TDateFormater::KeywordKind(""), dfkLiteral);
}

// Every case formats the value to the text and reads the text back to the value.
TEST(DateFormatText, BothWays) {
  struct Case {
    const char* Format;
    TDateTime Value;
    const char* Text;
  };
  const Case Cases[] = {
      {"DD.MM.YYYY", At(2004, 3, 7), "07.03.2004"},
      {"D.M.YY", At(2005, 11, 9), "9.11.05"},
      {"dd.mm.yy", At(1995, 1, 31), "31.01.95"},
      {"hh24:nn", TimeOnly(13, 5), "13:05"},
      {"HH12:NN AMPM", TimeOnly(12, 30), "00:30 PM"},
      {"HH12:NN AMPM", TimeOnly(0, 30), "00:30 AM"},
      {"H12:NN AMPM", TimeOnly(23, 59), "11:59 PM"},
      {"HH:NN AMPM", TimeOnly(9, 0), "09:00 AM"},
      {"HH24:NN AMPM", TimeOnly(13, 30), "13:30 PM"},
      {"M/D/YYYY H24:N:S:Z", At(2004, 3, 7, 9, 5, 3, 7), "3/7/2004 9:5:3:7"},
      {"M/D/YYYY H24:N:S:Z", At(2004, 12, 31, 23, 59, 59, 999), "12/31/2004 23:59:59:999"},
      {"YYYY-MM-DD HH24:NN:SS.ZZZ", At(2004, 3, 7, 9, 5, 3, 70), "2004-03-07 09:05:03.070"},
      {"DD-MON-YYYY", At(2004, 3, 7), "07-Mar-2004"},
      {"DAY, MONTH D, YEAR", At(2004, 3, 7), "Sunday, March 7, 2004"},
      {"DY DD.MM.YY", At(2029, 9, 3), "Mon 03.09.29"},
      {"YYYY RM DD", At(2004, 4, 1), "2004 IV 01"},
      {"YYYY RM DD", At(2004, 9, 1), "2004 IX 01"},
      {"YYYY RM DD", At(2004, 8, 1), "2004 VIII 01"},
      {"'Q'Q YYYY DD", At(2004, 7, 1), "Q3 2004 01"},
      {"YYYY-MM-DD Q", At(2004, 8, 15), "2004-08-15 3"},
      {"YYYY-DDD", At(2004, 12, 31), "2004-366"},
      {"YYYY-DDD", At(2003, 3, 1), "2003-60"},
      {"YYYY-MM-DD DW", At(2004, 3, 7), "2004-03-07 7"},
      {"\"Day\" DD 'of' MM YYYY", At(2004, 3, 7), "Day 07 of 03 2004"},
      // Before 1899-12-30 the time of day is subtracted from the (negative) day number.
      {"YYYY-MM-DD HH24:NN:SS", At(1800, 6, 15, 18, 0, 0), "1800-06-15 18:00:00"},
      {"YYYY-MM-DD HH24:NN", At(1899, 12, 29, 6, 0), "1899-12-29 06:00"},
      {"YYYY-MM-DD", At(1, 1, 1), "0001-01-01"},
      {"YYYY-MM-DD HH24:NN:SS.ZZZ", At(9999, 12, 31, 23, 59, 59, 999), "9999-12-31 23:59:59.999"},
  };
  for (const Case& C : Cases) {
    TDateFormater F(C.Format);
    EXPECT_EQ(F.DateTimeToText(C.Value), C.Text) << C.Format;
    EXPECT_EQ(F.TextToDateTime(C.Text), C.Value) << C.Format << " / " << C.Text;
    EXPECT_LE(static_cast<int>(std::string_view(C.Text).size()), F.MaxTextLength()) << C.Format;
  }
  EXPECT_LT(At(1899, 12, 29, 6, 0), 0);
  EXPECT_EQ(At(1899, 12, 29, 6, 0), -1.25);
}

TEST(DateFormatText, ReadingOnly) {
  struct Case {
    const char* Format;
    const char* Text;
    TDateTime Value;
  };
  const Case Cases[] = {
      {"HH12:NN AMPM", "12:30 PM", TimeOnly(12, 30)},
      {"HH12:NN AMPM", "12:30 AM", TimeOnly(0, 30)},
      {"HH12:NN AMPM", "01:15 pm", TimeOnly(13, 15)},
      {"AMPM H:N", "PM 7:5", TimeOnly(19, 5)}, // the word may come first
      {"DD.MM.YY", "01.01.00", At(2000, 1, 1)},
      {"DD.MM.YY", "01.01.29", At(2029, 1, 1)},
      {"DD.MM.YY", "01.01.30", At(1930, 1, 1)},
      {"DD.MM.YY", "01.01.99", At(1999, 1, 1)},
      {"Q YYYY DD", "1 2004 15", At(2004, 1, 15)},
      {"Q YYYY DD", "4 2004 15", At(2004, 10, 15)},
      {"YYYY RM DD", "2004 xii 24", At(2004, 12, 24)},
      {"DD-MON-YYYY", "07-MAR-2004", At(2004, 3, 7)},
      {"DD-MONTH-YYYY", "07-march-2004", At(2004, 3, 7)},
      {"DY DD.MM.YYYY", "sun 07.03.2004", At(2004, 3, 7)},
      {"YYYY-MM-DD", "2004/03/07", At(2004, 3, 7)}, // literals are skipped, not compared
      {"D.M.YYYY", "7.3.2004", At(2004, 3, 7)},
      {"YYYY-MM-DD HH24:NN", "0000-00-00 10:30", TimeOnly(10, 30)}, // the empty date
      {"YYYY-MM HH24:NN", "2004-03 10:30", TimeOnly(10, 30)},       // no day: no date
      {"HH24:NN:SS", "23:59:59", TimeOnly(23, 59, 59)},
      {"DW HH24", "3 10", TimeOnly(10, 0)}, // a weekday without a date is not checked
      {"YYYY.", "2004", 0.0},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(TDateFormater(C.Format).TextToDateTime(C.Text), C.Value)
        << C.Format << " / " << C.Text;
}

TEST(DateFormatText, BadTextsFail) {
  struct Case {
    const char* Format;
    const char* Text;
  };
  const Case Cases[] = {
      {"DD.MM.YYYY", ""},
      {"DD.MM.YYYY", "07.03.20"},   // ends inside the year
      {"DD.MM.YYYY", "07.03."},     // nothing where the year is
      {"DD.MM.YYYY", "07.13.2004"}, // month 13
      {"DD.MM.YYYY", "29.02.2003"},
      {"DD.MM.YYYY", "00.03.2004"},
      {"DD.MM.YYYY", "aa.03.2004"},
      {"DD.MM.YYYY", "+7.03.2004"},
      {"DD.MM.YYYY", "07.03.20a4"},
      {"DD.MM.YYYY", "07.03.2004x"}, // left over
      {"M/D/YY", "3/7/2004"},        // would be 2020 with "04" ignored
      {"HH24:NN", "24:00"},
      {"HH24:NN", "10:60"},
      {"HH24:NN", "10:"},
      {"HH12:NN AMPM", "13:00 AM"},
      {"DD-MON-YYYY", "07-Xyz-2004"},
      {"DD-MONTH-YYYY", "07-Mar-2004"}, // a short name where the long one belongs
      {"DAY DD.MM.YYYY", "Monday 07.03.2004"},
      {"DY DD.MM.YYYY", "Mo 07.03.2004"},
      {"YYYY-MM-DD DW", "2004-03-07 1"},
      {"YYYY-MM-DD DW", "2004-03-07 8"},
      {"YYYY-MM-DD DDD", "2004-03-07 66"},
      {"YYYY-DDD", "2003-366"},
      {"YYYY-DDD", "2003-0"},
      {"YYYY RM DD", "2004 IIII 01"},
      {"YYYY RM DD", "2004 A 01"},
      {"Q YYYY DD", "5 2004 01"},
      {"Q YYYY DD", "0 2004 01"},
      {"YYYY-MM-DD Q", "2004-03-07 2"},
  };
  for (const Case& C : Cases)
    EXPECT_THROW(TDateFormater(C.Format).TextToDateTime(C.Text), EConvertError)
        << C.Format << " / " << C.Text;
}

TEST(DateFormatText, AmPmWordExpected) {
  TDateFormater F("HH12:NN AMPM");
  const std::pair<const char*, const char*> Cases[] = {
      {"10:00 XM", "AM/PM word expected, but 'XM' found - Native error: 30129"},
      {"10:00 am", nullptr},
      {"10:00 P", "AM/PM word expected, but 'P' found - Native error: 30129"},
      {"10:00", "AM/PM word expected, but '' found - Native error: 30129"},
  };
  for (const auto& [Text, Message] : Cases) {
    if (!Message) {
      EXPECT_EQ(F.TextToDateTime(Text), TimeOnly(10, 0));
      continue;
    }
    try {
      F.TextToDateTime(Text);
      ADD_FAILURE() << Text;
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 30129);
      EXPECT_STREQ(E.what(), Message);
    }
  }
}

TEST(DateFormatText, ValuesOutsideTheCalendarFail) {
  TDateFormater F("YYYY");
  EXPECT_THROW(F.DateTimeToText(MaxDateTime + 1.5), EConvertError);
  EXPECT_THROW(F.DateTimeToText(std::nan("")), EConvertError);
}

TEST(DateFormatText, SettingsGiveTheNames) {
  TFormatSettings FS;
  FS.ShortMonthNames[2] = "mrt";
  FS.LongDayNames[0] = "zondag";
  TDateFormater F("DAY DD-MON-YYYY");
  EXPECT_EQ(F.DateTimeToText(At(2004, 3, 7), FS), "zondag 07-mrt-2004");
  EXPECT_EQ(F.TextToDateTime("Zondag 07-MRT-2004", FS), At(2004, 3, 7));
  EXPECT_THROW(F.TextToDateTime("Sunday 07-Mar-2004", FS), EConvertError);
  // A name longer than the usual widest one still fits the reported size.
  FS.LongMonthNames[0] = "Januaryyyyyyy";
  TDateFormater M("MONTH");
  EXPECT_EQ(M.MaxTextLength(FS), 13);
  EXPECT_EQ(M.MaxTextLength(), 9);
}

TEST(DateFormatText, MaxTextLength) {
  const std::pair<const char*, int> Cases[] = {
      {"DD-MON-YYYY", 11},
      {"YEAR Q RM", 4 + 1 + 1 + 1 + 4},
      {"MONTH DAY DY", 9 + 1 + 12 + 1 + 3},
      {"DDD DW ZZZ Z", 3 + 1 + 2 + 1 + 3 + 1 + 3},
      {"HH12:NN:SS AMPM", 2 + 1 + 2 + 1 + 2 + 1 + 2},
      {"'Q'Q ''", 1 + 1 + 1 + 0},
      {"", 0},
  };
  for (const auto& [Format, Length] : Cases)
    EXPECT_EQ(TDateFormater(Format).MaxTextLength(), Length) << Format;
}

// Across the calendar, the text agrees with the class library's own formatting and reads back
// to the same value; the names, weekday and day of the year are checked on the way back.
TEST(DateFormatText, RoundTripsAcrossTheCalendar) {
  TDateFormater F("YYYY-MM-DD HH24:NN:SS.ZZZ DAY DY DW DDD MON MONTH RM Q AMPM HH12");
  const int Limit = F.MaxTextLength();
  auto Check = [&](TDateTime V) {
    std::string Text = F.DateTimeToText(V);
    ASSERT_LE(static_cast<int>(Text.size()), Limit);
    ASSERT_EQ(Text.substr(0, 23), FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", V)) << V;
    ASSERT_EQ(F.TextToDateTime(Text), V) << Text;
  };
  int Step = 0;
  for (int32_t Day = static_cast<int32_t>(MinDateTime); Day <= MaxDateTime; Day += 997, ++Step)
    Check(ComposeDateTime(Day, TimeOnly(Step % 24, Step % 60, Step % 59, Step % 1000)));
  for (int32_t Day = 38000; Day < 38000 + 2 * 366; ++Day) // two years day by day
    Check(Day + TimeOnly(Day % 24, 30));
}

TEST(DateRoutines, WeekdaysAndDaysOfTheYear) {
  struct Case {
    TDateTime Value;
    int Iso, SundayFirst, DayOfYear;
  };
  const Case Cases[] = {
      {At(1, 1, 1), 1, 2, 1},             // 0001-01-01 was a Monday
      {At(2004, 3, 7, 23, 59), 7, 1, 67}, // a Sunday
      {At(2004, 12, 31), 5, 6, 366},
      {At(2003, 12, 31), 3, 4, 365},
      {-1.25, 5, 6, 363}, // 1899-12-29 06:00, a Friday
      {0.0, 6, 7, 364},   // 1899-12-30, a Saturday
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(IsoDayOfWeek(C.Value), C.Iso) << C.Value;
    EXPECT_EQ(DayOfWeekSundayFirst(C.Value), C.SundayFirst) << C.Value;
    EXPECT_EQ(DayOfWeekSundayFirst(C.Value), DayOfWeek(C.Value)) << C.Value;
    EXPECT_EQ(DayOfYear(C.Value), C.DayOfYear) << C.Value;
  }
  EXPECT_EQ(FirstDayOfYear(At(2004, 3, 7, 10, 0)), At(2004, 1, 1));
  EXPECT_EQ(FirstDayOfYear(-1.25), At(1899, 1, 1));
  EXPECT_EQ(YearOfDateTime(-1.25), 1899);
  EXPECT_EQ(MonthOfDateTime(-1.25), 12);
  EXPECT_EQ(HourOfDateTime(-1.25), 6);
  EXPECT_THROW(YearOfDateTime(MinDateTime - 1), EConvertError);
  EXPECT_EQ(MonthNames[8], "September");
  EXPECT_EQ(DayNames[DayOfWeekSundayFirst(At(2004, 3, 7)) - 1], "Sunday");
}

#ifdef TOLVAN_COUNT_MALLOCS
namespace {
std::atomic<bool> CountingMallocs{false};
std::atomic<int> Mallocs{0};
void OnMalloc(const volatile void*, size_t) {
  if (CountingMallocs.load(std::memory_order_relaxed))
    Mallocs.fetch_add(1, std::memory_order_relaxed);
}
void OnFree(const volatile void*) {}
} // namespace

// A compiled format serves many rows: per value, only the text returned may be allocated.
TEST(DateFormatText, NoAllocationPerValue) {
  static const bool Installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
  ASSERT_TRUE(Installed);
  TDateFormater F("DAY DD-MONTH-YYYY HH12:NN:SS.ZZZ AMPM 'Q'Q RM DDD DW");
  const TFormatSettings& FS = FormatSettings();
  std::string Out;
  Out.reserve(static_cast<size_t>(F.MaxTextLength()));
  std::string Text = F.DateTimeToText(At(2004, 3, 7, 13, 5));
  Mallocs = 0;
  CountingMallocs = true;
  TDateTime Sum = 0;
  for (int I = 0; I < 1000; ++I) {
    Out.clear();
    F.AppendDateTimeText(Out, 38000.5 + I, FS);
    Sum += F.TextToDateTime(Text);
  }
  CountingMallocs = false;
  EXPECT_EQ(Mallocs.load(), 0);
  EXPECT_GT(Sum, 0);
  Mallocs = 0;
  CountingMallocs = true;
  std::string Result = F.DateTimeToText(38000.5);
  CountingMallocs = false;
  EXPECT_LE(Mallocs.load(), 1); // the result itself
}
#endif
