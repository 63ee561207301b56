#include "classlib/Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tolvan;

TEST(Format, Conversions) {
  struct Case {
    std::string Got, Want;
  };
  const int64_t Big = 1234567890123LL;
  const Case Cases[] = {
      {Format("plain text"), "plain text"},
      {Format("%d", 42), "42"},
      {Format("%d", -42), "-42"},
      {Format("%d", INT32_MIN), "-2147483648"},
      {Format("%d", Big), "1234567890123"},
      {Format("%d", INT64_MIN), "-9223372036854775808"},
      {Format("%d", uint64_t(UINT64_MAX)), "18446744073709551615"},
      {Format("%.5d", 2011), "02011"},
      {Format("%.5d", 30137), "30137"},
      {Format("%.5d", 123456), "123456"},
      {Format("%.5d", -5), "-00005"},
      {Format("%u", -1), "4294967295"},
      {Format("%u", uint32_t(4000000000u)), "4000000000"},
      {Format("%x", 255), "FF"},
      {Format("%x", -1), "FFFFFFFF"},
      {Format("%.4x", 10), "000A"},
      {Format("%x", int64_t(-1)), "FFFFFFFFFFFFFFFF"},
      {Format("%f", 4.0), "4.000000"},
      {Format("%f", 3.9), "3.900000"},
      {Format("%.2f", 2.675), "2.67"}, // the binary value is below 2.675
      {Format("%.0f", 2.5), "2"},
      {Format("%.3f", -0.0001), "0.000"},
      {Format("%.1f", -1.25), "-1.2"},
      {Format("%n", 1234567.891), "1,234,567.89"},
      {Format("%e", 1.0), "1.00000000000000E+000"},
      {Format("%.3e", -12345.0), "-1.23E+004"},
      {Format("%g", 1e20), "1E20"},
      {Format("%g", 0.1), "0.1"},
      {Format("%g", 1.5e-7), "1.5E-7"},
      {Format("%g", 123.456), "123.456"},
      {Format("%s", "abc"), "abc"},
      {Format("%s", std::string("x y")), "x y"},
      {Format("%s", 'c'), "c"},
      {Format("%s", std::u16string(u"w\u20AC")), "w\x80"},
      {Format("%.2s", "abcdef"), "ab"},
      {Format("[%5d]", 42), "[   42]"},
      {Format("[%-5d]", 42), "[42   ]"},
      {Format("[%*d]", 4, 7), "[   7]"},
      {Format("[%-6s]", "ab"), "[ab    ]"},
      {Format("%1:s %0:s %s", "a", "b"), "b a b"},
      {Format("100%%"), "100%"},
      {Format("%D|%S|%X", 1, "s", 15), "1|s|F"},
      {Format("Index '%s' not found at line %d, column %d", "ix", 3, 14),
       "Index 'ix' not found at line 3, column 14"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(C.Got, C.Want);
}

TEST(Format, UsesTheGivenSeparators) {
  TFormatSettings FS;
  FS.DecimalSeparator = ',';
  FS.ThousandSeparator = '.';
  EXPECT_EQ(Format(FS, "%.3f", 1.5), "1,500");
  EXPECT_EQ(Format(FS, "%n", 1234567.5), "1.234.567,50");
  EXPECT_EQ(Format("%.1f", 1.5), "1.5"); // the global settings are untouched
}

TEST(Format, NonFiniteValues) {
  EXPECT_EQ(Format("%f", std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(Format("%f", -std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(Format("%g", std::nan("")), "NAN");
}

TEST(Format, MismatchedOrMissingArgumentsRaise) {
  EXPECT_THROW(Format("%d"), EConvertError);
  EXPECT_THROW(Format("%d %d", 1), EConvertError);
  EXPECT_THROW(Format("%d", "text"), EConvertError);
  EXPECT_THROW(Format("%d", 1.5), EConvertError);
  EXPECT_THROW(Format("%f", 1), EConvertError);
  EXPECT_THROW(Format("%s", 1), EConvertError);
  EXPECT_THROW(Format("%d", true), EConvertError);
  EXPECT_THROW(Format("%p", 1), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
  EXPECT_THROW(Format("trailing %"), EConvertError);
  EXPECT_THROW(Format("%*d", "w", 1), EConvertError);
  EXPECT_THROW(Format("%5:d", 1), EConvertError);
  EXPECT_THROW(Format("%999999999d", 1), EConvertError);
  EXPECT_THROW(Format("%*d", 999999999, 1), EConvertError); // no unbounded padding
  EXPECT_THROW(Format("%.*f", -1, 1.0), EConvertError);
  try {
    Format("Unknown DataType: '%s'");
    FAIL();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "No argument for format '%s'");
  }
  // Extra arguments are ignored, as the class library does.
  EXPECT_EQ(Format("%d", 1, 2), "1");
}

TEST(Format, Pointers) {
  int X = 0;
  std::string S = Format("%p", static_cast<const void*>(&X));
  EXPECT_EQ(S.size(), sizeof(void*) * 2);
  EXPECT_EQ(Format("%p", nullptr), std::string(sizeof(void*) * 2, '0'));
}
