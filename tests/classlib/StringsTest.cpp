#include "classlib/Strings.h"

#include <gtest/gtest.h>

using namespace tolvan;

TEST(Strings, Cp1252RoundTripsEveryByte) {
  std::string All;
  for (int B = 0; B < 256; ++B)
    All += static_cast<char>(B);
  WideString W = AnsiToWide(All);
  ASSERT_EQ(W.size(), 256u);
  EXPECT_EQ(W[0x80], u'\u20AC');
  EXPECT_EQ(W[0x8A], u'\u0160');
  EXPECT_EQ(W[0x81], u'\u0081');
  EXPECT_EQ(W[0x9F], u'\u0178');
  EXPECT_EQ(W[0xE9], u'\u00E9');
  EXPECT_EQ(WideToAnsi(W), All);
}

TEST(Strings, UnmappableWideCharactersBecomeQuestionMarks) {
  EXPECT_EQ(WideToAnsi(u"a\u0416b\u4E2D"), "a?b?");
  EXPECT_EQ(WideToAnsi(u"\u2122"), "\x99");
}

TEST(Strings, AnsiCaseFollowsTheCodePage) {
  EXPECT_EQ(AnsiUpperCase("abc xyz \xE0\xE9\xFE \x9A\x9C\x9E\xFF"), "ABC XYZ \xC0\xC9\xDE \x8A\x8C\x8E\x9F");
  EXPECT_EQ(AnsiLowerCase("ABC \xC0\xC9\xDE \x8A\x8C\x8E\x9F"), "abc \xE0\xE9\xFE \x9A\x9C\x9E\xFF");
  // No single-byte counterpart: sharp s, micro sign, multiplication and division signs.
  EXPECT_EQ(AnsiUpperCase("\xDF\xB5\xF7"), "\xDF\xB5\xF7");
  EXPECT_EQ(AnsiLowerCase("\xD7"), "\xD7");
  EXPECT_EQ(UpperCase("ab\xE0"), "AB\xE0");
  EXPECT_EQ(LowerCase("AB\xC0"), "ab\xC0");
  EXPECT_TRUE(AnsiSameText("Stra\xDF" "e \xC9t\xE9", "STRA\xDF" "E \xE9T\xC9"));
  EXPECT_FALSE(AnsiSameText("abc", "abd"));
  EXPECT_TRUE(SameText("Table1", "TABLE1"));
  EXPECT_FALSE(SameText("\xE0", "\xC0"));
}

TEST(Strings, WideCaseIsOneUnitToOneUnit) {
  EXPECT_EQ(WideUpperCase(u"abc \u00E9 \u0436 \u03C9 \u00DF"), u"ABC \u00C9 \u0416 \u03A9 \u00DF");
  EXPECT_EQ(WideLowerCase(u"ABC \u00C9 \u0416 \u03A9"), u"abc \u00E9 \u0436 \u03C9");
  EXPECT_EQ(WideUpperChar(u'\u00FF'), u'\u0178');
  EXPECT_EQ(WideUpperChar(u'\xD800'), u'\xD800'); // surrogates are left alone
  EXPECT_TRUE(WideSameText(u"\u0416ar", u"\u0436AR"));
}

TEST(Strings, Utf8Conversion) {
  std::u16string W = u"a\u00E9\u20AC\U0001F600";
  std::string U = WideToUtf8(W);
  EXPECT_EQ(U, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide(U), W);
  EXPECT_EQ(WideToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  // Malformed input: stray continuation, truncated sequence, overlong form, surrogate.
  EXPECT_EQ(Utf8ToWide("\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("a\xE2\x82"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80z"), u"\uFFFDz");
}
