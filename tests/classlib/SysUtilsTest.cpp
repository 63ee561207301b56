#include "classlib/SysUtils.h"

#include <gtest/gtest.h>

using namespace tolvan;

TEST(SysUtils, IntegerText) {
  EXPECT_EQ(IntToStr(int32_t(-2147483647 - 1)), "-2147483648");
  EXPECT_EQ(IntToStr(int64_t(9223372036854775807LL)), "9223372036854775807");
  EXPECT_EQ(UIntToStr(18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(-1, 2), "FFFFFFFFFFFFFFFF");
}

TEST(SysUtils, StrToIntAcceptsAndRefuses) {
  struct Case {
    const char* Text;
    bool Ok;
    int64_t Value;
  };
  const Case Cases[] = {
      {"0", true, 0},           {"  42", true, 42},         {"-17", true, -17},
      {"+5", true, 5},          {"$1F", true, 31},          {"0x1f", true, 31},
      {"-$10", true, -16},      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0}, {"", false, 0},             {"-", false, 0},
      {"12a", false, 0},        {"1 ", false, 0},           {"1.5", false, 0},
      {"$", false, 0},          {"99999999999999999999999", false, 0},
  };
  for (const Case& C : Cases) {
    int32_t V = -99;
    EXPECT_EQ(TryStrToInt(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V, C.Value) << C.Text;
      EXPECT_EQ(StrToInt(C.Text), C.Value);
    } else {
      EXPECT_THROW(StrToInt(C.Text), EConvertError) << C.Text;
      EXPECT_EQ(StrToIntDef(C.Text, 7), 7);
    }
  }
  try {
    StrToInt("abc");
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'abc' is not a valid integer value");
  }
}

TEST(SysUtils, StrToInt64Bounds) {
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  EXPECT_THROW(StrToInt64("-9223372036854775809"), EConvertError);
  uint64_t U;
  EXPECT_TRUE(TryStrToUInt64("18446744073709551615", U));
  EXPECT_EQ(U, UINT64_MAX);
  EXPECT_FALSE(TryStrToUInt64("18446744073709551616", U));
  EXPECT_FALSE(TryStrToUInt64("-1", U));
}

TEST(SysUtils, Trim) {
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x "), "  x");
  EXPECT_EQ(Trim("   "), "");
}

TEST(SysUtils, DefaultFormatSettingsAreUsEnglish) {
  const TFormatSettings& FS = FormatSettings();
  EXPECT_EQ(FS.DecimalSeparator, '.');
  EXPECT_EQ(FS.ThousandSeparator, ',');
  EXPECT_EQ(FS.DateSeparator, '/');
  EXPECT_EQ(FS.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(FS.LongTimeFormat, "h:nn:ss AMPM");
  EXPECT_EQ(FS.LongMonthNames[11], "December");
}

TEST(SysUtils, ExceptionHierarchy) {
  try {
    throw EDivByZero(std::string(SysConst::SDivByZero));
  } catch (const EIntError& E) {
    EXPECT_STREQ(E.what(), "Division by zero");
  }
  EXPECT_THROW(throw EOutOfMemory("x"), Exception);
  EXPECT_THROW(throw EFOpenError("x"), EStreamError);
}
