#include "classlib/FloatText.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace tolvan;

namespace {

TFormatSettings CommaDecimal() {
  TFormatSettings FS;
  FS.DecimalSeparator = ',';
  FS.ThousandSeparator = '.';
  return FS;
}

} // namespace

TEST(FloatText, FloatToStrGeneralForm) {
  struct Case {
    long double Value;
    const char* Want;
  };
  const Case Cases[] = {
      {0.1f, "0.100000001490116"}, // the single's exact value, 15 digits
      {0.1, "0.1"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {1e15, "1E15"},
      {999999999999999.0, "999999999999999"},
      {999999999999999.9, "1E15"}, // rounding to 15 digits reaches the exponent
      {123456789012345678.0, "1.23456789012346E17"},
      {1e-5, "0.00001"},
      {0.000012345, "0.000012345"},
      {9.99e-6, "9.99E-6"},
      {1.5e-7, "1.5E-7"},
      {1e20, "1E20"},
      {-1.5, "-1.5"},
      {0.0, "0"},
      {-0.0, "0"},
      {1.7976931348623157e308, "1.79769313486232E308"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {std::nanl(""), "NAN"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(FloatToStr(C.Value), C.Want) << C.Want;
  TFormatSettings FS = CommaDecimal();
  EXPECT_EQ(FloatToStr(1.5, FS), "1,5");
  EXPECT_EQ(FloatToStr(-1.5e-7, FS), "-1,5E-7");
}

TEST(FloatText, StrToFloatSyntax) {
  struct Case {
    const char* Text;
    bool Ok;
    double Value;
  };
  const std::string Tiny = "0." + std::string(300, '0') + "1e300"; // 1E-301 x 1E300
  const Case Cases[] = {
      {"1.5", true, 1.5},
      {"  1.5  ", true, 1.5},
      {"-2", true, -2},
      {"+3.", true, 3},
      {".5", true, 0.5},
      {"1e3", true, 1000},
      {"1E+3", true, 1000},
      {"2.5e-3", true, 0.0025},
      {"00012.5000", true, 12.5},
      {"1e-400", true, 0},
      {"0e999999999999999999", true, 0},
      {"123456789012345678901234567890", true, 1.2345678901234568e29},
      {Tiny.c_str(), true, 0.1},
      {"", false, 0},
      {" ", false, 0},
      {"1,5", false, 0},
      {"1,000", false, 0},
      {"1.5.2", false, 0},
      {"nan", false, 0},
      {"inf", false, 0},
      {"INF", false, 0},
      {"0x10", false, 0},
      {"1e", false, 0},
      {"1e+", false, 0},
      {"e5", false, 0},
      {"--1", false, 0},
      {"1 2", false, 0},
      {"1.5x", false, 0},
      {"+", false, 0},
      {".", false, 0},
      {"1e400", false, 0},
      {"1e99999999999999999999", false, 0},
  };
  for (const Case& C : Cases) {
    double V = -99;
    EXPECT_EQ(TryStrToFloat(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V, C.Value) << C.Text;
    }
  }
  double Z = 1;
  ASSERT_TRUE(TryStrToFloat("-0", Z));
  EXPECT_TRUE(std::signbit(Z));
  long double L;
  EXPECT_FALSE(TryStrToFloat("1e5000", L));
  EXPECT_TRUE(TryStrToFloat("1e4000", L));
  float F;
  EXPECT_TRUE(TryStrToFloat("0.1", F));
  EXPECT_EQ(F, 0.1f); // read straight into the single, not through a double
  EXPECT_FALSE(TryStrToFloat("3.5e38", F));

  TFormatSettings FS = CommaDecimal();
  EXPECT_EQ(StrToFloat("1,25", FS), 1.25L);
  EXPECT_THROW(StrToFloat("1.25", FS), EConvertError);
  EXPECT_EQ(StrToFloatDef("x", 7, FS), 7);
  try {
    StrToFloat("abc");
    FAIL();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "'abc' is not a valid floating point value");
  }
}

// The parse agrees with the standard library's reading of the same digits, and 17 significant
// digits written by FloatToStrF read back to the same double.
TEST(FloatText, ReadsLikeFromCharsAndRoundTrips) {
  std::mt19937_64 Rng(42);
  std::uniform_int_distribution<uint64_t> Bits;
  TFormatSettings FS = CommaDecimal();
  for (int I = 0; I < 2000; ++I) {
    uint64_t B = Bits(Rng);
    double X;
    std::memcpy(&X, &B, sizeof X);
    if (!std::isfinite(X))
      continue;
    std::string Text = FloatToStrF(X, TFloatFormat::ffGeneral, 17, 0, FS);
    double Back;
    ASSERT_TRUE(TryStrToFloat(Text, Back, FS)) << Text;
    EXPECT_EQ(Back, X) << Text;

    std::string Std = FloatToStrF(X, TFloatFormat::ffExponent, 20, 0, TFormatSettings());
    long double Mine, Ref;
    ASSERT_TRUE(TryStrToFloat(Std, Mine));
    std::from_chars(Std.data(), Std.data() + Std.size(), Ref);
    EXPECT_EQ(Mine, Ref) << Std;
  }
}

TEST(FloatText, FormatFloatPictures) {
  struct Case {
    const char* Format;
    long double Value;
    const char* Want;
  };
  const Case Cases[] = {
      {"#,##0.000", 1234.5678, "1,234.568"},
      {"#,##0.000", 0, "0.000"},
      {"#,##0.000", 0.0005, "0.001"}, // the binary value lies above the half
      {"#,##0.000", -1234567.891, "-1,234,567.891"},
      {"#,##0.000", 1234567890.12345, "1,234,567,890.123"},
      {"#,##0.000", 0.12345, "0.123"},
      {"#,##0.000", -0.0001, "0.000"}, // rounds to zero: no sign
      {"#,##0.000", 999.9996, "1,000.000"},
      {"0.00", 2.675, "2.67"}, // the binary value lies below the half
      {"0.##", 1.5, "1.5"},
      {"0.##", 1, "1"},
      {"#.##", 0.5, ".5"},
      {"#", 0, ""},
      {"000", 7, "007"},
      {"000-000", 123456, "123-456"},
      {"0", 1234567, "1234567"},
      {".00", 12.5, "12.50"},
      {"0.00E+00", 1234.5, "1.23E+03"},
      {"0.00E-00", 1234.5, "1.23E03"},
      {"0.0e+0", 0.00012, "1.2e-4"},
      {"00.0E+0", 1234.5, "12.3E+2"},
      {"0.0E+00", 0, "0.0E+00"},
      {"$#,##0.00;($#,##0.00)", -5, "($5.00)"},
      {"$#,##0.00", -5, "-$5.00"},
      {"0.0;-0.0;'zero'", 0.01, "zero"},
      {"0.0;neg;zero", -0.001, "zero"},
      {"0.0;;zero", -2, "-2.0"},
      {"\"Total: \"0.0", 3.14, "Total: 3.1"},
      {"'a;b' 0", 5, "a;b 5"},
      {"0 'open", 5, "5 open"},
      {"", 1.5, "1.5"},
      {"0", 1e20, "1E20"}, // too many integer digits for the picture
      {"0.0000000000000000000000000", 1.0 / 3, "0.3333333333333333150000000"}, // 18 digits
      {"0.00", std::nanl(""), "NAN"},
      {"0.00", -std::numeric_limits<long double>::infinity(), "-INF"},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(FormatFloat(C.Format, C.Value), C.Want) << C.Format << " " << C.Want;
}

TEST(FloatText, FormatFloatUsesTheSettingsSeparators) {
  TFormatSettings FS = CommaDecimal();
  EXPECT_EQ(FormatFloat("#,##0.000", 1234.5678, FS), "1.234,568");
  EXPECT_EQ(FormatFloat("#,##0.000", 1234567.5, FS), "1.234.567,500");
  EXPECT_EQ(FormatFloat("#,##0.000", -0.5, FS), "-0,500");
  EXPECT_EQ(FormatFloat("0.00E+00", 1234.5, FS), "1,23E+03");
  FS.ThousandSeparator = ' ';
  EXPECT_EQ(FormatFloat("#,##0.000", 1234.5678, FS), "1 234,568");
  EXPECT_EQ(FormatFloat("#,##0.000", 1234.5678), "1,234.568"); // the global settings are untouched
}

TEST(FloatText, CurrencyText) {
  struct Case {
    const char* Text;
    bool Ok;
    int64_t Scaled;
  };
  const Case Cases[] = {
      {"1.5", true, 15000},
      {"-0.00005", true, 0}, // half a unit: to even
      {"0.00015", true, 2},
      {"0.00025", true, 2},
      {"0.000251", true, 3},
      {"-0.00035", true, -4},
      {"922337203685477.5807", true, INT64_MAX},
      {"-922337203685477.5808", true, INT64_MIN},
      {"922337203685477.58074", true, INT64_MAX},
      {"922337203685477.58075", false, 0}, // rounds past the maximum
      {"922337203685477.5808", false, 0},
      {"1e3", true, 10000000},
      {"1.23456e2", true, 1234560},
      {"12345678901234567890", false, 0},
      {"0.0000000000000000000001", true, 0},
      {"1e999999999", false, 0},
      {"0e999999999", true, 0},
      {" 42 ", true, 420000},
      {"abc", false, 0},
      {"", false, 0},
      {"1,5", false, 0},
  };
  for (const Case& C : Cases) {
    Currency V;
    EXPECT_EQ(TryStrToCurr(C.Text, V), C.Ok) << C.Text;
    if (C.Ok) {
      EXPECT_EQ(V.Scaled, C.Scaled) << C.Text;
    }
  }
  EXPECT_EQ(StrToCurr("1,5", CommaDecimal()).Scaled, 15000);
  EXPECT_THROW(StrToCurr("x"), EConvertError);

  EXPECT_EQ(CurrToStr(Currency::FromScaled(15000)), "1.5");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(10000)), "1");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(-1)), "-0.0001");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(0)), "0");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(INT64_MIN)), "-922337203685477.5808");
  EXPECT_EQ(CurrToStr(Currency::FromScaled(15000), CommaDecimal()), "1,5");

  const Currency C = Currency::FromScaled(12345678); // 1234.5678
  EXPECT_EQ(CurrToStrF(C, TFloatFormat::ffFixed, 2), "1234.57");
  EXPECT_EQ(CurrToStrF(C, TFloatFormat::ffNumber, 2), "1,234.57");
  EXPECT_EQ(CurrToStrF(C, TFloatFormat::ffNumber, 2, CommaDecimal()), "1.234,57");
  EXPECT_EQ(CurrToStrF(C, TFloatFormat::ffFixed, 6), "1234.567800");
  EXPECT_EQ(CurrToStrF(Currency::FromScaled(25000), TFloatFormat::ffFixed, 0), "2");
  EXPECT_EQ(CurrToStrF(Currency::FromScaled(35000), TFloatFormat::ffFixed, 0), "4");
  EXPECT_EQ(CurrToStrF(Currency::FromScaled(-1), TFloatFormat::ffFixed, 2), "0.00");
  EXPECT_EQ(CurrToStrF(Currency::FromScaled(INT64_MIN), TFloatFormat::ffFixed, 0),
            "-922337203685478");

  // Every value's text reads back to the same value.
  std::mt19937_64 Rng(7);
  for (int I = 0; I < 2000; ++I) {
    Currency V = Currency::FromScaled(static_cast<int64_t>(Rng()) >> (Rng() % 64));
    EXPECT_EQ(StrToCurr(CurrToStr(V)), V) << V.Scaled;
  }
}

TEST(FloatText, CurrencyFromAndToFloat) {
  Currency C;
  ASSERT_TRUE(TryFloatToCurr(1.23456, C));
  EXPECT_EQ(C.Scaled, 12346);
  ASSERT_TRUE(TryFloatToCurr(-1.23454, C));
  EXPECT_EQ(C.Scaled, -12345);
  ASSERT_TRUE(TryFloatToCurr(9e14, C));
  EXPECT_EQ(C.Scaled, 9000000000000000000LL);
  EXPECT_FALSE(TryFloatToCurr(922337203685477.5807, C)); // the double is above the maximum
  EXPECT_FALSE(TryFloatToCurr(-1e300, C));
  EXPECT_FALSE(TryFloatToCurr(std::nanl(""), C));
  EXPECT_FALSE(TryFloatToCurr(std::numeric_limits<long double>::infinity(), C));
  EXPECT_THROW(FloatToCurr(1e20), EConvertError);

  EXPECT_EQ(Currency::FromScaled(15000).ToDouble(), 1.5);
  EXPECT_EQ(Currency::FromScaled(1).ToDouble(), 0.0001);
  double Ref;
  const char* Max = "922337203685477.5807";
  std::from_chars(Max, Max + std::strlen(Max), Ref);
  EXPECT_EQ(Currency::FromScaled(INT64_MAX).ToDouble(), Ref);
}

// Arbitrary pictures and texts give text or a clean refusal (run under the sanitizers).
TEST(FloatText, ArbitraryInputIsHandledCleanly) {
  const char Alphabet[] = "0#.,;Ee+-'\" x5";
  std::mt19937 Rng(3);
  const long double Values[] = {0, -0.0, 1234.5678, -1e-30, 1e17, 1e300, -999.9995, 0.5};
  for (int I = 0; I < 3000; ++I) {
    std::string S(Rng() % 24, ' ');
    for (char& C : S)
      C = Alphabet[Rng() % (sizeof Alphabet - 1)];
    for (long double V : Values)
      EXPECT_NO_THROW(FormatFloat(S, V)) << S;
    long double L;
    Currency C;
    TryStrToFloat(S, L);
    TryStrToCurr(S, C);
  }
}
