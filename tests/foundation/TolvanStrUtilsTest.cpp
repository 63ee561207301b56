#include "foundation/TolvanStrUtils.h"

#include <gtest/gtest.h>

#include <chrono>

#include "foundation/TolvanCompression.h"

using namespace tolvan;

// (text, pattern, matches with case, matches ignoring case). The expected results are standard
// SQL LIKE without an escape character, as SQLite gives them for ASCII text.
TEST(Like, AgreesWithStandardSqlOnAsciiText) {
  struct Case {
    const char* Text;
    const char* Pattern;
    bool CaseSensitive;
    bool IgnoreCase;
  };
  const Case Cases[] = {
      {"", "", true, true},
      {"", "%", true, true},
      {"", "%%", true, true},
      {"", "a", false, false},
      {"", "a%", false, false},
      {"", "%c", false, false},
      {"", "a_c", false, false},
      {"", "%b%", false, false},
      {"", "a%%", false, false},
      {"", "_", false, false},
      {"", "%_", false, false},
      {"", "_%", false, false},
      {"", "a%b%c", false, false},
      {"", "%a%a%", false, false},
      {"", "%ss%ss%", false, false},
      {"", "ABC", false, false},
      {"", "x%", false, false},
      {"", "%\\%%", false, false},
      {"a", "", false, false},
      {"a", "%", true, true},
      {"a", "%%", true, true},
      {"a", "a", true, true},
      {"a", "a%", true, true},
      {"a", "%c", false, false},
      {"a", "a_c", false, false},
      {"a", "%b%", false, false},
      {"a", "a%%", true, true},
      {"a", "_", true, true},
      {"a", "%_", true, true},
      {"a", "_%", true, true},
      {"a", "a%b%c", false, false},
      {"a", "%a%a%", false, false},
      {"a", "%ss%ss%", false, false},
      {"a", "ABC", false, false},
      {"a", "x%", false, false},
      {"a", "%\\%%", false, false},
      {"abc", "", false, false},
      {"abc", "%", true, true},
      {"abc", "%%", true, true},
      {"abc", "a", false, false},
      {"abc", "a%", true, true},
      {"abc", "%c", true, true},
      {"abc", "a_c", true, true},
      {"abc", "%b%", true, true},
      {"abc", "a%%", true, true},
      {"abc", "_", false, false},
      {"abc", "%_", true, true},
      {"abc", "_%", true, true},
      {"abc", "a%b%c", true, true},
      {"abc", "%a%a%", false, false},
      {"abc", "%ss%ss%", false, false},
      {"abc", "ABC", false, true},
      {"abc", "x%", false, false},
      {"abc", "%\\%%", false, false},
      {"aXc", "", false, false},
      {"aXc", "%", true, true},
      {"aXc", "%%", true, true},
      {"aXc", "a", false, false},
      {"aXc", "a%", true, true},
      {"aXc", "%c", true, true},
      {"aXc", "a_c", true, true},
      {"aXc", "%b%", false, false},
      {"aXc", "a%%", true, true},
      {"aXc", "_", false, false},
      {"aXc", "%_", true, true},
      {"aXc", "_%", true, true},
      {"aXc", "a%b%c", false, false},
      {"aXc", "%a%a%", false, false},
      {"aXc", "%ss%ss%", false, false},
      {"aXc", "ABC", false, false},
      {"aXc", "x%", false, false},
      {"aXc", "%\\%%", false, false},
      {"abcabc", "", false, false},
      {"abcabc", "%", true, true},
      {"abcabc", "%%", true, true},
      {"abcabc", "a", false, false},
      {"abcabc", "a%", true, true},
      {"abcabc", "%c", true, true},
      {"abcabc", "a_c", false, false},
      {"abcabc", "%b%", true, true},
      {"abcabc", "a%%", true, true},
      {"abcabc", "_", false, false},
      {"abcabc", "%_", true, true},
      {"abcabc", "_%", true, true},
      {"abcabc", "a%b%c", true, true},
      {"abcabc", "%a%a%", true, true},
      {"abcabc", "%ss%ss%", false, false},
      {"abcabc", "ABC", false, false},
      {"abcabc", "x%", false, false},
      {"abcabc", "%\\%%", false, false},
      {"%", "", false, false},
      {"%", "%", true, true},
      {"%", "%%", true, true},
      {"%", "a", false, false},
      {"%", "a%", false, false},
      {"%", "%c", false, false},
      {"%", "a_c", false, false},
      {"%", "%b%", false, false},
      {"%", "a%%", false, false},
      {"%", "_", true, true},
      {"%", "%_", true, true},
      {"%", "_%", true, true},
      {"%", "a%b%c", false, false},
      {"%", "%a%a%", false, false},
      {"%", "%ss%ss%", false, false},
      {"%", "ABC", false, false},
      {"%", "x%", false, false},
      {"%", "%\\%%", false, false},
      {"AbC", "", false, false},
      {"AbC", "%", true, true},
      {"AbC", "%%", true, true},
      {"AbC", "a", false, false},
      {"AbC", "a%", false, true},
      {"AbC", "%c", false, true},
      {"AbC", "a_c", false, true},
      {"AbC", "%b%", true, true},
      {"AbC", "a%%", false, true},
      {"AbC", "_", false, false},
      {"AbC", "%_", true, true},
      {"AbC", "_%", true, true},
      {"AbC", "a%b%c", false, true},
      {"AbC", "%a%a%", false, false},
      {"AbC", "%ss%ss%", false, false},
      {"AbC", "ABC", false, true},
      {"AbC", "x%", false, false},
      {"AbC", "%\\%%", false, false},
      {"mississippi", "", false, false},
      {"mississippi", "%", true, true},
      {"mississippi", "%%", true, true},
      {"mississippi", "a", false, false},
      {"mississippi", "a%", false, false},
      {"mississippi", "%c", false, false},
      {"mississippi", "a_c", false, false},
      {"mississippi", "%b%", false, false},
      {"mississippi", "a%%", false, false},
      {"mississippi", "_", false, false},
      {"mississippi", "%_", true, true},
      {"mississippi", "_%", true, true},
      {"mississippi", "a%b%c", false, false},
      {"mississippi", "%a%a%", false, false},
      {"mississippi", "%ss%ss%", true, true},
      {"mississippi", "ABC", false, false},
      {"mississippi", "x%", false, false},
      {"mississippi", "%\\%%", false, false},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(MatchLike(C.Text, C.Pattern, false), C.CaseSensitive) << C.Text << " LIKE " << C.Pattern;
    EXPECT_EQ(MatchLike(C.Text, C.Pattern, true), C.IgnoreCase) << C.Text << " LIKE " << C.Pattern;
    EXPECT_EQ(MatchLikeWide(AnsiToWide(C.Text), AnsiToWide(C.Pattern), false), C.CaseSensitive) << C.Text;
    EXPECT_EQ(MatchLikeWide(AnsiToWide(C.Text), AnsiToWide(C.Pattern), true), C.IgnoreCase) << C.Text;
  }
}

TEST(Like, CharactersBeyondAscii) {
  EXPECT_TRUE(MatchLike("\xC9t\xE9", "\xE9T\xC9", true));
  EXPECT_FALSE(MatchLike("\xC9t\xE9", "\xE9T\xC9", false));
  EXPECT_FALSE(MatchLike("e", "\xE9", true)); // an accent is not a case difference
  EXPECT_TRUE(MatchLikeWide(u"\u0416\u0436", u"\u0436_", true));
  EXPECT_TRUE(MatchLikeWide(u"\U0001F600", u"__", false)); // one unit per "_"
  EXPECT_FALSE(MatchLikeWide(u"\U0001F600", u"_", false));
}

TEST(Like, PathologicalPatternsFinishAtOnce) {
  std::string Text(10000, 'a');
  auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(MatchLike(Text, "%a%a%a%a%a%a%a%a%b", false));
  EXPECT_TRUE(MatchLike(Text + "b", "%a%a%a%a%a%a%a%a%b", true));
  EXPECT_FALSE(MatchLike(Text, std::string(5000, '_') + "%" + std::string(5001, '_'), false));
  auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_LT(Elapsed, std::chrono::seconds(5)); // exponential matching would take ages
}

TEST(WideCaseText, UpperAndLower) {
  EXPECT_EQ(WideUpperCaseText(u"abc\u00E9\u0436"), u"ABC\u00C9\u0416");
  EXPECT_EQ(WideLowerCaseText(u"ABC\u00C9\u0416"), u"abc\u00E9\u0436");
}

TEST(NameHash, IsTheCrcOfTheUpperCaseName) {
  EXPECT_EQ(NameHash(""), 0u);
  EXPECT_EQ(NameHash("Test"), NameHash("TEST"));
  EXPECT_EQ(NameHash("t\xE9st"), NameHash("T\xC9ST"));
  EXPECT_NE(NameHash("Test"), NameHash("Tests"));
  // The reflected CRC-32 without inversions, over "TEST".
  EXPECT_EQ(NameHash("test"), UpdateCrc32(0, "TEST", 4));
  // zlib's crc32 is the same register with inversion at both ends.
  EXPECT_EQ(~UpdateCrc32(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
}
