#include "classlib/Collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace tolvan;

TEST(Collation, SortsMixedTextInTheDocumentedOrder) {
  // Blanks < punctuation < digits < letters; base letters first, then diacritics, then case.
  const std::vector<std::string> Want = {
      "",  " ", "!", "-a", "0", "10", "9", "a", "A", "ab", "aB", "Ab", "AB", "abc", "ABC", "abd",
      "e", "E", "\xE9", "\xC9", "ea", "\xE9" "b", "z", "\x9E", "\x8E"};
  std::vector<std::string> Got = Want;
  std::mt19937 Rng(7);
  std::shuffle(Got.begin(), Got.end(), Rng);
  std::sort(Got.begin(), Got.end(),
            [](const std::string& A, const std::string& B) { return AnsiCompareStr(A, B) < 0; });
  EXPECT_EQ(Got, Want);
}

TEST(Collation, IgnoringCaseEqualsExactlyTheFoldedForms) {
  EXPECT_EQ(AnsiCompareText("Hello", "hELLO"), 0);
  EXPECT_LT(AnsiCompareStr("hello", "Hello"), 0);
  EXPECT_NE(AnsiCompareText("e", "\xE9"), 0);
  EXPECT_EQ(AnsiCompareText("\xFF", "\x9F"), 0); // y with diaeresis in both cases
  EXPECT_EQ(WideCompareText(u"\u0436\u0416", u"\u0416\u0436"), 0);
  EXPECT_LT(WideCompareText(u"\u00E9a", u"Eb"), 0); // the accent only counts on a tie
  EXPECT_TRUE(AnsiCharsEqualIgnoreCase('\xE0', '\xC0'));
  EXPECT_FALSE(AnsiCharsEqualIgnoreCase('a', '\xE0'));
}

TEST(Collation, NarrowAndWideAgree) {
  std::mt19937 Rng(11);
  const std::string Alphabet = "aAbBeE\xE9\xC9\x9A\x8A\xDF 1-_zZ";
  for (int I = 0; I < 2000; ++I) {
    std::string A, B;
    for (int K = Rng() % 5; K > 0; --K)
      A += Alphabet[Rng() % Alphabet.size()];
    for (int K = Rng() % 5; K > 0; --K)
      B += Alphabet[Rng() % Alphabet.size()];
    for (bool Ic : {false, true})
      ASSERT_EQ(CompareAnsi(A, B, Ic), CompareWide(AnsiToWide(A), AnsiToWide(B), Ic)) << A << "|" << B;
  }
}

TEST(Collation, IsAStrictWeakOrderOnRandomText) {
  std::mt19937 Rng(3);
  const std::u16string Alphabet = u"aAeE\u00E9\u00C9\u00EA bB1!\u0436\u0416\u00DF";
  std::vector<std::u16string> Texts;
  for (int I = 0; I < 150; ++I) {
    std::u16string S;
    for (int K = Rng() % 4; K > 0; --K)
      S += Alphabet[Rng() % Alphabet.size()];
    Texts.push_back(S);
  }
  for (bool Ic : {false, true}) {
    auto Cmp = [Ic](const std::u16string& A, const std::u16string& B) { return CompareWide(A, B, Ic); };
    for (const auto& A : Texts)
      for (const auto& B : Texts) {
        int AB = Cmp(A, B);
        ASSERT_EQ(AB, -Cmp(B, A));
        if (Ic) {
          ASSERT_EQ(AB == 0, WideUpperCase(A) == WideUpperCase(B));
        } else {
          ASSERT_EQ(AB == 0, A == B);
        }
        for (const auto& C : Texts) {
          if (AB < 0 && Cmp(B, C) < 0) {
            ASSERT_LT(Cmp(A, C), 0);
          }
          if (AB == 0 && Cmp(B, C) == 0) {
            ASSERT_EQ(Cmp(A, C), 0);
          }
        }
      }
  }
}
