#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanRelease.h"
#include "schema/expr/TolvanLexer.h"
#include "tests/schema/support/SelectedRelease.h"

using namespace tolvan;
using tolvan::test::Is390;
using tolvan::test::TestedReleases;
using tolvan::test::TSelectedRelease;

namespace {

// The keyword id by a plain first-match scan over the active release's table: the reference the
// lexer's lookup must agree with.
int16_t ScanKeyword(std::string_view Word) {
  const AnsiString Upper = AnsiUpperCase(Word);
  for (int16_t Id = 0; Id < NoKeywordId(); ++Id)
    if (SQLKeywords[Id] == Upper)
      return Id;
  return NoKeywordId();
}

struct TExpected {
  TTokenType Kind;
  std::string Text;
  int32_t Line;
  int32_t Column;
  int16_t Id = -1; // the keyword id; -1: the reference scan's id (or the no-keyword id)
};

std::string Describe(TTokenType Kind, std::string_view Text, int16_t Id, int32_t Line,
                     int32_t Column) {
  return std::to_string(int(Kind)) + "[" + std::string(Text) + "]#" + std::to_string(Id) + "@" +
         std::to_string(Line) + ":" + std::to_string(Column);
}

std::string Describe(const std::vector<TToken>& Tokens) {
  std::string S;
  for (const TToken& T : Tokens)
    S += Describe(T.Kind, T.Text, T.KeywordID, T.Line, T.Column) + " ";
  return S;
}

std::string Describe(const std::vector<TExpected>& Tokens) {
  std::string S;
  for (const TExpected& T : Tokens)
    S += Describe(T.Kind, T.Text,
                  T.Id >= 0                   ? T.Id
                  : T.Kind == tktReservedWord ? ScanKeyword(T.Text)
                                              : NoKeywordId(),
                  T.Line, T.Column) +
         " ";
  return S;
}

// Every statement's tokens.
std::vector<std::vector<TToken>> Statements(std::string_view Text,
                                            const TTolvanSQLParams* Params = nullptr) {
  TTolvanLexer L(Text, Params);
  std::vector<std::vector<TToken>> Result;
  while (L.NextStatement())
    Result.push_back(L.Tokens());
  return Result;
}

constexpr TTokenType W = tktString, Q = tktQuotedString, B = tktBracketedString, I = tktInt,
                     F = tktFloat, K = tktReservedWord, P = tktParameter, LP = tktLeftParenthesis,
                     RP = tktRightParenthesis, C = tktComma, D = tktDot, BQ = tktBackQuotedString;

} // namespace

// Text of one statement to its tokens: the dialect's edge cases, including the behaviours that
// look like faults but that scripts rely on. Every row runs under both releases; a row whose 3.90
// tokens differ gives them as well.
TEST(Lexer, TokenTable) {
  struct TCase {
    const char* Text;
    std::vector<TExpected> Tokens;
    std::vector<TExpected> Tokens390 = {}; // empty: as in 4.00
  };
  const TCase Cases[] = {
      {"a<>b", {{W, "a", 1, 1}, {W, "<>", 1, 2}, {W, "b", 1, 4}}},
      {"a<=b", {{W, "a", 1, 1}, {W, "<=", 1, 2}, {W, "b", 1, 4}}},
      {"a>=b", {{W, "a", 1, 1}, {W, ">=", 1, 2}, {W, "b", 1, 4}}},
      {"a<<2", {{W, "a", 1, 1}, {W, "<<", 1, 2}, {I, "2", 1, 4}}},
      {"a>>2", {{W, "a", 1, 1}, {W, ">>", 1, 2}, {I, "2", 1, 4}}},
      {"a||b", {{W, "a", 1, 1}, {W, "||", 1, 2}, {W, "b", 1, 4}}},
      {"a != b", {{W, "a", 1, 1}, {W, "!=", 1, 3}, {W, "b", 1, 6}}},
      {"a==b", {{W, "a", 1, 1}, {W, "==", 1, 2}, {W, "b", 1, 4}}},
      {"a && b", {{W, "a", 1, 1}, {W, "&&", 1, 3}, {W, "b", 1, 6}}},
      {"a<b>c|d",
       {{W, "a", 1, 1},
        {W, "<", 1, 2},
        {W, "b", 1, 3},
        {W, ">", 1, 4},
        {W, "c", 1, 5},
        {W, "|", 1, 6},
        {W, "d", 1, 7}}},
      {"!a ~b", {{W, "!", 1, 1}, {W, "a", 1, 2}, {W, "~", 1, 4}, {W, "b", 1, 5}}},
      {"a+b-c*d/e=f",
       {{W, "a", 1, 1},
        {W, "+", 1, 2},
        {W, "b", 1, 3},
        {W, "-", 1, 4},
        {W, "c", 1, 5},
        {W, "*", 1, 6},
        {W, "d", 1, 7},
        {W, "/", 1, 8},
        {W, "e", 1, 9},
        {W, "=", 1, 10},
        {W, "f", 1, 11}}},
      // Only the operator characters break a word.
      {"a&b", {{W, "a&b", 1, 1}}},
      {"a!b~c'd\"e[f`g?", {{W, "a!b~c'd\"e[f`g?", 1, 1}}},
      // Numbers.
      {"1.5e-3", {{F, "1.5e-3", 1, 1}}},
      {"12E5", {{F, "12E5", 1, 1}}},
      {"1e+2-3", {{F, "1e+2", 1, 1}, {W, "-", 1, 5}, {I, "3", 1, 6}}},
      {"-1", {{W, "-", 1, 1}, {I, "1", 1, 2}}},
      {"12a", {{I, "12a", 1, 1}}},
      {"0x1F", {{I, "31", 1, 1}}},
      {"$1F", {{I, "31", 1, 1}}},
      {"$1E", {{F, "30", 1, 1}}},
      {"0xFFFFFFFFFFFFFFFF", {{I, "-1", 1, 1}}},
      {"$", {{I, "0", 1, 1}}},
      {".5", {{F, ".5", 1, 1}}},
      {"1.2.3", {{F, "1.2.3", 1, 1}}},
      {"t.a", {{W, "t", 1, 1}, {D, ".", 1, 2}, {W, "a", 1, 3}}},
      {"t.5", {{W, "t", 1, 1}, {F, ".5", 1, 2}}},
      {"a..b", {{W, "a", 1, 1}, {D, ".", 1, 2}, {D, ".", 1, 3}, {W, "b", 1, 4}}},
      // Quoted, bracketed and back-quoted text; double quotes give a string, not a name.
      {"'it''s'", {{Q, "it's", 1, 1}}},
      {"\"say \"\"hi\"\"\"", {{Q, "say \"hi\"", 1, 1}}},
      {"[a]]b]", {{B, "a]b", 1, 1}}},
      {"`x``y`", {{BQ, "x`y", 1, 1}}},
      {"''", {{Q, "", 1, 1}}},
      {"'a\nb' c", {{Q, "a\nb", 1, 1}, {W, "c", 2, 4}}, {{Q, "a\nb", 1, 1}, {W, "c", 1, 4}}},
      {"'a;b'", {{Q, "a;b", 1, 1}}},
      // Parameters.
      {":p", {{P, "p", 1, 1}}},
      {":\"my param\"", {{P, "my param", 1, 1}}},
      {":`a``b`", {{P, "a`b", 1, 1}}},
      {":'q'", {{P, "q", 1, 1}}},
      {":", {{P, "", 1, 1}}},
      {": x", {{P, "", 1, 1}, {W, "x", 1, 3}}},
      {":p.q", {{P, "p", 1, 1}, {D, ".", 1, 3}, {W, "q", 1, 4}}},
      {"a=:p", {{W, "a", 1, 1}, {W, "=", 1, 2}, {P, "p", 1, 3}}},
      {":12", {{I, ":12", 1, 1}}},
      {":[a]", {{B, ":a", 1, 1}}},
      {":select", {{P, "select", 1, 1}}},
      // Parentheses, commas, keywords.
      {"f(a, b)",
       {{W, "f", 1, 1},
        {LP, "(", 1, 2},
        {W, "a", 1, 3},
        {C, ",", 1, 4},
        {W, "b", 1, 6},
        {RP, ")", 1, 7}}},
      {"ABSOLUTE", {{K, "ABSOLUTE", 1, 1, 0}}},
      {"xor", {{K, "xor", 1, 1, 287}}},
      // The four words 3.90 does not reserve; there every other token has id 288, too.
      {"DATABASE file PageSize MAXSESSIONSCOUNT xyzzy",
       {{K, "DATABASE", 1, 1, 288},
        {K, "file", 1, 10, 289},
        {K, "PageSize", 1, 15, 290},
        {K, "MAXSESSIONSCOUNT", 1, 24, 291},
        {W, "xyzzy", 1, 41, 292}},
       {{W, "DATABASE", 1, 1, 288},
        {W, "file", 1, 10, 288},
        {W, "PageSize", 1, 15, 288},
        {W, "MAXSESSIONSCOUNT", 1, 24, 288},
        {W, "xyzzy", 1, 41, 288}}},
      {"'x' 1 ()",
       {{Q, "x", 1, 1, 292}, {I, "1", 1, 5, 292}, {LP, "(", 1, 7, 292}, {RP, ")", 1, 8, 292}},
       {{Q, "x", 1, 1, 288}, {I, "1", 1, 5, 288}, {LP, "(", 1, 7, 288}, {RP, ")", 1, 8, 288}}},
      {"Select x From t",
       {{K, "Select", 1, 1}, {W, "x", 1, 8}, {K, "From", 1, 10}, {W, "t", 1, 15}}},
      {"xyzzy", {{W, "xyzzy", 1, 1}}},
      {"END-EXEC", {{K, "END", 1, 1}, {W, "-", 1, 4}, {K, "EXEC", 1, 5}}},
      // Lines, columns, comments.
      // In 3.90 a token's line is its statement's number: 1 in a text of one statement.
      {"-- x\na", {{W, "a", 2, 1}}, {{W, "a", 1, 1}}},
      {"a -- x\r\n  b", {{W, "a", 1, 1}, {W, "b", 2, 3}}, {{W, "a", 1, 1}, {W, "b", 1, 3}}},
      {"a/**/b", {{W, "ab", 1, 1}}},
      {"a--x\nb", {{W, "ab", 1, 1}}},
      {"a /* 1\n2 */ b", {{W, "a", 1, 1}, {W, "b", 2, 6}}, {{W, "a", 1, 1}, {W, "b", 1, 6}}},
      {"a /* never closed; b", {{W, "a", 1, 1}}},
      {"\tselect\n  *\n from t",
       {{K, "select", 1, 2}, {W, "*", 2, 3}, {K, "from", 3, 2}, {W, "t", 3, 7}},
       {{K, "select", 1, 2}, {W, "*", 1, 3}, {K, "from", 1, 2}, {W, "t", 1, 7}}},
      {"a\rb", {{W, "a", 1, 1}, {W, "b", 1, 2}}},
      {"\xE9t\xE9 x", {{W, "\xE9t\xE9", 1, 1}, {W, "x", 1, 5}}},
  };
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    SCOPED_TRACE(Release().Name);
    for (const TCase& Case : Cases) {
      SCOPED_TRACE(Case.Text);
      const auto S = Statements(Case.Text);
      ASSERT_EQ(S.size(), 1u);
      const auto& Expected = Is390() && !Case.Tokens390.empty() ? Case.Tokens390 : Case.Tokens;
      EXPECT_EQ(Describe(S[0]), Describe(Expected));
      for (const TToken& T : S[0]) {
        EXPECT_EQ(T.ParamPrefix, T.Kind == P || T.Text.starts_with(':'));
        EXPECT_FALSE(T.Value); // no parameters: no values
      }
    }
  }
  // The keyword id is the table index: ABSOLUTE is 0, and a word in no entry has the
  // no-keyword id.
  EXPECT_EQ(Statements("absolute")[0][0].KeywordID, 0);
  EXPECT_EQ(Statements("xyzzy")[0][0].KeywordID, 292);
}

TEST(Lexer, Statements) {
  // Each statement counts lines from 1; a statement without tokens is passed over.
  auto S = Statements("SELECT a FROM t;\nSELECT b");
  ASSERT_EQ(S.size(), 2u);
  EXPECT_EQ(Describe(S[1]), Describe({{K, "SELECT", 2, 1}, {W, "b", 2, 8}}));

  S = Statements("SELECT 1;; DELETE FROM t");
  ASSERT_EQ(S.size(), 2u);
  EXPECT_EQ(S[1][0].Text, "DELETE");
  EXPECT_EQ(S[1][0].Column, 2);

  for (const char* Empty : {"", ";", " ; ;\n", "-- only a comment", "/* a */ ; /* b"})
    EXPECT_TRUE(Statements(Empty).empty()) << Empty;
  EXPECT_EQ(Statements("a; ; \n").size(), 1u);

  // The index and the statement number count every statement, empty ones included.
  TTolvanLexer L("a;;b;", nullptr);
  EXPECT_EQ(L.StatementIndex(), -1);
  ASSERT_TRUE(L.NextStatement());
  EXPECT_EQ(L.StatementIndex(), 0);
  EXPECT_EQ(L.StatementStart(), 2);
  ASSERT_TRUE(L.NextStatement());
  EXPECT_EQ(L.StatementIndex(), 2);
  EXPECT_EQ(L.StatementNumber(), 3);
  EXPECT_FALSE(L.NextStatement());
  EXPECT_FALSE(L.NextStatement());
  EXPECT_EQ(L.TokenCount(), 0);
  EXPECT_EQ(L.StatementIndex(), 3);
}

// Scripts of several statements, every statement's tokens with their positions. In 3.90 the
// line of a token is the number of its statement, counted from 1 by every statement read, the
// empty ones included; columns are those of 4.00.
TEST(Lexer, StatementLines) {
  struct TCase {
    const char* Text;
    std::vector<std::vector<TExpected>> Statements;
    std::vector<std::vector<TExpected>> Statements390 = {}; // empty: as in 4.00
  };
  const TCase Cases[] = {
      {"SELECT 1 FROM t;\nSELECT a,\n  b\n  FROM t",
       {{{K, "SELECT", 1, 1}, {I, "1", 1, 8}, {K, "FROM", 1, 10}, {W, "t", 1, 15}},
        {{K, "SELECT", 2, 1},
         {W, "a", 2, 8},
         {C, ",", 2, 9},
         {W, "b", 3, 3},
         {K, "FROM", 4, 3},
         {W, "t", 4, 8}}},
       {{{K, "SELECT", 1, 1}, {I, "1", 1, 8}, {K, "FROM", 1, 10}, {W, "t", 1, 15}},
        {{K, "SELECT", 2, 1},
         {W, "a", 2, 8},
         {C, ",", 2, 9},
         {W, "b", 2, 3},
         {K, "FROM", 2, 3},
         {W, "t", 2, 8}}}},
      {"a;; b; ;\n\n c d",
       {{{W, "a", 1, 1}}, {{W, "b", 1, 2}}, {{W, "c", 3, 2}, {W, "d", 3, 4}}},
       {{{W, "a", 1, 1}}, {{W, "b", 3, 2}}, {{W, "c", 5, 2}, {W, "d", 5, 4}}}},
      {"-- a;\nx /* ; */; y",
       {{{W, "x", 2, 1}}, {{W, "y", 1, 2}}},
       {{{W, "x", 1, 1}}, {{W, "y", 2, 2}}}},
  };
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    SCOPED_TRACE(Release().Name);
    for (const TCase& Case : Cases) {
      SCOPED_TRACE(Case.Text);
      const auto& Expected =
          Is390() && !Case.Statements390.empty() ? Case.Statements390 : Case.Statements;
      const auto S = Statements(Case.Text);
      ASSERT_EQ(S.size(), Expected.size());
      for (size_t N = 0; N < S.size(); ++N)
        EXPECT_EQ(Describe(S[N]), Describe(Expected[N])) << "statement " << N;
    }
    // The count belongs to the lexer: a new one starts at 1 again.
    EXPECT_EQ(Statements("x")[0][0].Line, 1);
  }
}

TEST(Lexer, Navigation) {
  TTolvanLexer L("a b c", nullptr);
  TToken T;
  EXPECT_FALSE(L.CurrentToken(T)); // before the first statement
  EXPECT_EQ(T.Kind, tktNone);
  ASSERT_TRUE(L.NextStatement());
  ASSERT_TRUE(L.CurrentToken(T));
  EXPECT_EQ(T.Text, "a");
  ASSERT_TRUE(L.PeekToken(T));
  EXPECT_EQ(T.Text, "b");
  EXPECT_EQ(L.GetPosition(), 0);
  ASSERT_TRUE(L.NextToken(T));
  EXPECT_EQ(T.Text, "b");
  const int32_t Mark = L.GetPosition();
  ASSERT_TRUE(L.NextToken(T));
  EXPECT_EQ(T.Text, "c");
  EXPECT_FALSE(L.PeekToken(T));
  EXPECT_FALSE(L.NextToken(T)); // moves past the end all the same
  EXPECT_EQ(T.Kind, tktNone);
  EXPECT_EQ(L.GetPosition(), 3);
  EXPECT_FALSE(L.NextToken(T));
  EXPECT_EQ(L.GetPosition(), 4);
  ASSERT_TRUE(L.SetPosition(Mark, T));
  EXPECT_EQ(T.Text, "b");
  EXPECT_FALSE(L.SetPosition(-5, T));
  EXPECT_EQ(T.Kind, tktNone);
  EXPECT_FALSE(L.SetPosition(99, T));
}

TEST(Lexer, ParameterValues) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& P = Params.Add();
  P.SetName("P");
  P.SetAsInteger(5);
  TTolvanSQLParam& Q = Params.Add();
  Q.SetName("my param");
  Q.SetAsString("x");

  TToken Kept;
  {
    TTolvanLexer L("a = :p and b = :\"MY PARAM\"; c = :p", &Params);
    ASSERT_TRUE(L.NextStatement());
    const auto& Tokens = L.Tokens();
    ASSERT_EQ(Tokens.size(), 7u);
    ASSERT_TRUE(Tokens[2].Value);
    EXPECT_EQ(Tokens[2].Text, "p");
    EXPECT_EQ(Tokens[2].Value->GetAsInteger(), 5);
    EXPECT_EQ(Tokens[6].Value->GetAsString(), "x");
    Kept = Tokens[2];
    // The token holds a copy: changing the parameter afterwards changes nothing.
    P.SetAsInteger(6);
    EXPECT_EQ(Kept.Value->GetAsInteger(), 5);
    EXPECT_EQ(Kept.Value.use_count(), 2);
    L.ReleaseTokenValues();
    EXPECT_FALSE(L.Tokens()[2].Value);
    EXPECT_EQ(Kept.Value.use_count(), 1);
    ASSERT_TRUE(L.NextStatement());
    EXPECT_EQ(L.Tokens()[2].Value->GetAsInteger(), 6);
  }
  // A copy kept by the caller outlives the lexer.
  EXPECT_EQ(Kept.Value->GetAsInteger(), 5);

  // A parameter whose value is null still yields a (null) value.
  Params.Add().SetName("n");
  auto S = Statements(":n", &Params);
  ASSERT_TRUE(S[0][0].Value);
  EXPECT_TRUE(S[0][0].Value->IsNull());
}

// Errors with their positions and full texts.
TEST(Lexer, Errors) {
  TTolvanSQLParams Params;
  Params.Add().SetName("p");
  struct TCase {
    const char* Text;
    bool WithParams;
    int32_t Code;
    const char* Message;
    const char* Message390 = nullptr; // nil: as in 4.00
  };
  const TCase Cases[] = {
      {"(a", false, 30059, "Missing symbol ')' at line 1, column 1"},
      {"((a)", false, 30059, "Missing symbol ')' at line 1, column 2"},
      {"a\n  (b", false, 30059, "Missing symbol ')' at line 2, column 3",
       "Missing symbol ')' at line 1, column 3"},
      {"SELECT 1;; SELECT (", false, 30059, "Missing symbol ')' at line 1, column 9",
       "Missing symbol ')' at line 3, column 9"},
      {"a)", false, 30060, "Unexpected symbol ')' found at line 1, column 2"},
      {"(a))\n )", false, 30060, "Unexpected symbol ')' found at line 2, column 2",
       "Unexpected symbol ')' found at line 1, column 2"},
      {"'abc", false, 30061, "Unterminated string at line 1, column 1"},
      {"x;\n [abc]]", false, 30061, "Unterminated string at line 2, column 2"},
      {"a `b", false, 30061, "Unterminated string at line 1, column 3"},
      {"a;\nb;\n'x", false, 30061, "Unterminated string at line 2, column 1",
       "Unterminated string at line 3, column 1"},
      {"('abc)", false, 30059, "Missing symbol ')' at line 1, column 1"},
      {"12g", false, 30062, "Invalid numeric symbol 'g' at line 1, column 3"},
      {"a = 0X1F", false, 30062, "Invalid numeric symbol 'X' at line 1, column 6"},
      {"1'a'", false, 30062, "Invalid numeric symbol ''' at line 1, column 2"},
      // A comment does not close a number; the character after it is still the number's.
      {"a;\n1/*\n*/g", false, 30062, "Invalid numeric symbol 'g' at line 3, column 3",
       "Invalid numeric symbol 'g' at line 2, column 3"},
      {"1/*\n*/g", false, 30062, "Invalid numeric symbol 'g' at line 2, column 3",
       "Invalid numeric symbol 'g' at line 1, column 3"},
      {":q", true, 30358, "Value for parameter 'q' not found"},
      {"a = : ", true, 30358, "Value for parameter '' not found"},
      {"a = :", true, 30358, "Value for parameter '' not found"},
  };
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    SCOPED_TRACE(Release().Name);
    for (const TCase& Case : Cases) {
      SCOPED_TRACE(Case.Text);
      const char* Message = Is390() && Case.Message390 ? Case.Message390 : Case.Message;
      TTolvanLexer L(Case.Text, Case.WithParams ? &Params : nullptr);
      try {
        while (L.NextStatement()) {
        }
        ADD_FAILURE() << "no error";
      } catch (const ETolvanException& E) {
        EXPECT_EQ(E.NativeError(), Case.Code);
        EXPECT_EQ(E.Message(),
                  std::string(Message) + " - Native error: " + std::to_string(Case.Code));
      }
      // A failed statement ends the text.
      EXPECT_FALSE(L.NextStatement());
    }
  }
  // The tokens up to the error are kept.
  TTolvanLexer L("a b 12g c", nullptr);
  EXPECT_THROW(L.NextStatement(), ETolvanException);
  EXPECT_EQ(L.TokenCount(), 3);
}

TEST(Lexer, KeywordLookupMatchesScan) {
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    for (int Id = 0; Id < SQLKeywordTableSize; ++Id) {
      const std::string_view K = SQLKeywords[Id];
      for (const AnsiString& Word : {AnsiString(K), AnsiLowerCase(K), AnsiString(K) + "X"})
        EXPECT_EQ(KeywordIdOf(Word), ScanKeyword(Word)) << Word;
    }
    for (const char* Word : {"", "SELEC", "SELECTS", "\xE9", "DATABASE", "MAXSESSIONSCOUNT"})
      EXPECT_EQ(KeywordIdOf(Word), ScanKeyword(Word)) << Word;
    // The lexer reads the active release's bound.
    const auto S = Statements("database x");
    EXPECT_EQ(S[0][0].Kind, R == TTolvanReleaseId::tr400 ? tktReservedWord : tktString);
    EXPECT_EQ(S[0][1].KeywordID, NoKeywordId());
  }
}

// A keyword test by id names one keyword of the active release; no id names "any keyword". In
// 3.90 the no-keyword id 288 is DATABASE's id in 4.00, so a test for DATABASE by its 4.00 id
// must match no reserved word there.
TEST(Lexer, KeywordTests) {
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    SCOPED_TRACE(Release().Name);
    const auto S = Statements("VIEW database xor 'q'");
    const TToken &View = S[0][0], &Database = S[0][1], &Xor = S[0][2], &Quoted = S[0][3];
    EXPECT_TRUE(IsKeyword(View, KeywordIdOf("VIEW")));
    EXPECT_TRUE(IsKeyword(Xor, 287));
    EXPECT_FALSE(IsKeyword(Xor, 286));
    for (const TToken* T : {&View, &Database, &Xor, &Quoted}) {
      SCOPED_TRACE(T->Text);
      for (int16_t Id : {int16_t(-1), int16_t(288), int16_t(291), int16_t(292), NoKeywordId()})
        EXPECT_EQ(IsKeyword(*T, Id), !Is390() && T == &Database && Id == 288) << Id;
      EXPECT_EQ(IsKeyword(*T, KeywordIdOf("DATABASE")), !Is390() && T == &Database);
      EXPECT_EQ(IsAnyKeyword(*T), T != &Quoted && (T != &Database || !Is390()));
    }
  }
  // A reserved-word token whose id is out of the table still is a keyword, but no id of it.
  TToken T;
  T.Kind = tktReservedWord;
  T.KeywordID = 292;
  EXPECT_TRUE(IsAnyKeyword(T));
  EXPECT_FALSE(IsKeyword(T, 292));
  T.Kind = tktQuotedString;
  T.Text = "";
  EXPECT_TRUE(IsEmptyQuotedString(T));
  T.Text = " ";
  EXPECT_FALSE(IsEmptyQuotedString(T));
}

TEST(Lexer, Hexadecimal) {
  const std::string Digits = "0123456789ABCDEFabcdef";
  const int Values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                        11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (size_t I = 0; I < Digits.size(); ++I)
    EXPECT_EQ(HexDigitValue(Digits[I]), Values[I]);
  for (char C : std::string("gGxX-+. \0", 9))
    EXPECT_EQ(HexDigitValue(C), 0);

  EXPECT_EQ(HexToInt64(""), 0);
  EXPECT_EQ(HexToInt64("1F"), 31);
  EXPECT_EQ(HexToInt64("1.F"), 0x10F); // any other character is a 0 digit
  EXPECT_EQ(HexToInt64("7FFFFFFFFFFFFFFF"), INT64_MAX);
  EXPECT_EQ(HexToInt64("FFFFFFFFFFFFFFFF"), -1);
  EXPECT_EQ(HexToInt64("8000000000000000"), INT64_MIN);
  EXPECT_EQ(HexToInt64("000000000000000000000001F"), 31);
  EXPECT_THROW(HexToInt64("10000000000000000"), EIntOverflow);
  EXPECT_THROW(Statements("$10000000000000000"), EIntOverflow);
}

TEST(Lexer, ReplaceQuestionMarkParams) {
  EXPECT_EQ(ReplaceQuestionMarkParams("select * from t where a=? and b=?"),
            "select * from t where a = :Tolvan_MS_Param0 and b = :Tolvan_MS_Param1 ; ");
  // Counted across statements; every kind of token is re-quoted so that it reads back the same.
  EXPECT_EQ(ReplaceQuestionMarkParams("insert into [a]]b] values (?, 'it''s', `c``d`, :p);;"
                                      "\n-- note\nselect \"q\" from x where y=0x1F and z=?"),
            "insert into [a]]b] values ( :Tolvan_MS_Param0 , 'it''s' , `c``d` , :`p` ) ; "
            "select 'q' from x where y = 31 and z = :Tolvan_MS_Param1 ; ");
  // No '?' word: the text comes back byte for byte.
  for (const char* Text :
       {"", "select 1 /* ? */ ; ;", "select '?' from t", "select a? from t", "select :? from t"})
    EXPECT_EQ(ReplaceQuestionMarkParams(Text), Text);
  EXPECT_THROW(ReplaceQuestionMarkParams("select ? from 't"), ETolvanException);
}

// Random token sequences rendered to text with comments, line breaks and several statements:
// tokenizing gives back the tokens, and the '?' rewrite of the text gives the same tokens again
// with each '?' a numbered parameter.
namespace {

struct TGenToken {
  TTokenType Kind;
  std::string Text; // expected text
  bool Prefix = false;
  int32_t Line = 0, Column = 0;
};

class TGenerator {
public:
  explicit TGenerator(uint32_t Seed) : FRandom(Seed) {}

  // Appends one statement's tokens and its text.
  void Statement(std::string& Out, std::vector<TGenToken>& Tokens) {
    const int Count = 1 + Pick(12);
    int Depth = 0;
    for (int N = 0; N < Count; ++N) {
      Separator(Out, N == 0);
      if (Pick(8) == 0) {
        Emit(Out, Tokens, "(", {LP, "("});
        ++Depth;
        continue;
      }
      if (Depth > 0 && Pick(5) == 0) {
        Emit(Out, Tokens, ")", {RP, ")"});
        --Depth;
        continue;
      }
      OneToken(Out, Tokens);
    }
    while (Depth-- > 0) {
      Separator(Out, false);
      Emit(Out, Tokens, ")", {RP, ")"});
    }
  }

  // The separator after the last token before a ';'.
  void Trailer(std::string& Out) {
    if (Pick(2))
      Separator(Out, false);
  }

  int Pick(int N) { return std::uniform_int_distribution<int>(0, N - 1)(FRandom); }

  void Move(char C) {
    if (C == '\n') {
      ++FLine;
      FColumn = 1;
    } else if (C != '\r') {
      ++FColumn;
    }
  }
  void Put(std::string& Out, std::string_view S) {
    for (char C : S)
      Move(C);
    Out += S;
  }
  void NewStatement() {
    FLine = 1;
    FColumn = 1;
  }

private:
  void Emit(std::string& Out, std::vector<TGenToken>& Tokens, std::string_view Source,
            TGenToken T) {
    T.Line = FLine;
    T.Column = FColumn;
    Tokens.push_back(T);
    Put(Out, Source);
  }

  // At least one white-space character, so that no two tokens run together (a comment alone
  // would not close a token).
  void Separator(std::string& Out, bool First) {
    static const char* const Pieces[] = {
        " ", "  ", "\t", "\r\n", "\n", " /* c;\n'x */ ", " -- note ; ? \n", " /**/\r\n"};
    if (First && Pick(2))
      return; // the statement may start right after the ';'
    Put(Out, Pieces[Pick(2) ? 0 : Pick(8)]);
  }

  std::string Ident() {
    static const char Start[] = "abcxyzQRS_#@\xE9";
    static const char Rest[] = "abcxyz09_$&!~'\"[`?\xE9";
    std::string S(1, Start[Pick(sizeof Start - 1)]);
    for (int N = Pick(6); N > 0; --N)
      S += Rest[Pick(sizeof Rest - 1)];
    return S;
  }

  std::string Quoted() {
    static const char Chars[] = "ab ;'\"]`\n-/*?:";
    std::string S;
    for (int N = Pick(8); N > 0; --N)
      S += Chars[Pick(sizeof Chars - 1)];
    return S;
  }

  static std::string Doubled(const std::string& S, char Closing) {
    std::string R;
    for (char C : S) {
      R += C;
      if (C == Closing)
        R += C;
    }
    return R;
  }

  void OneToken(std::string& Out, std::vector<TGenToken>& Tokens) {
    static const char* const Operators[] = {"<>", "<=", ">=", "!=", "||", "<<", ">>",
                                            "&&", "==", "=",  "<",  ">",  "+",  "-",
                                            "*",  "/",  "~",  "!",  "|"};
    switch (Pick(13)) {
    case 0: {
      std::string S = Ident();
      Emit(Out, Tokens, S, {ScanKeyword(S) != NoKeywordId() ? K : W, S});
      break;
    }
    case 1: {
      std::string S(SQLKeywords[Pick(NoKeywordId())]);
      if (Pick(2))
        S = AnsiLowerCase(S);
      if (S.find('-') != std::string::npos)
        S = "select";
      Emit(Out, Tokens, S, {K, S});
      break;
    }
    case 2: {
      static const char* const Numbers[] = {"0",    "42",      "12a", "7fd", "1.5", "1.5e-3",
                                            "2E10", "3.25E+2", "7e",  ".5",  "10.", "0.0"};
      std::string S = Numbers[Pick(12)];
      const bool Float = S.find_first_of(".eE") != std::string::npos;
      Emit(Out, Tokens, S, {Float ? F : I, S});
      break;
    }
    case 3: {
      const uint64_t V = std::uniform_int_distribution<uint64_t>(0, (1ull << 60) - 1)(FRandom);
      char Hex[32];
      snprintf(Hex, sizeof Hex, Pick(2) ? "%llx" : "%llX", static_cast<unsigned long long>(V));
      std::string S = (Pick(2) ? "0x" : "$") + std::string(Hex);
      const bool Float = std::string(Hex).find_first_of("eE") != std::string::npos;
      Emit(Out, Tokens, S, {Float ? F : I, std::to_string(V)});
      break;
    }
    case 4: {
      const char Q = Pick(2) ? '\'' : '"';
      std::string S = Quoted();
      Emit(Out, Tokens, Q + Doubled(S, Q) + Q, {tktQuotedString, S});
      break;
    }
    case 5: {
      std::string S = Quoted();
      Emit(Out, Tokens, "[" + Doubled(S, ']') + "]", {tktBracketedString, S});
      break;
    }
    case 6: {
      std::string S = Quoted();
      Emit(Out, Tokens, "`" + Doubled(S, '`') + "`", {tktBackQuotedString, S});
      break;
    }
    case 7: {
      std::string Name = Ident();
      switch (Pick(3)) {
      case 0:
        Emit(Out, Tokens, ":" + Name, {P, Name, true});
        break;
      case 1:
        Name = Quoted();
        Emit(Out, Tokens, ":\"" + Doubled(Name, '"') + "\"", {P, Name, true});
        break;
      default:
        Name = Quoted();
        Emit(Out, Tokens, ":`" + Doubled(Name, '`') + "`", {P, Name, true});
        break;
      }
      break;
    }
    case 8: {
      std::string S = Operators[Pick(sizeof Operators / sizeof *Operators)];
      Emit(Out, Tokens, S, {W, S});
      break;
    }
    case 9:
      Emit(Out, Tokens, ",", {C, ","});
      break;
    case 10:
      Emit(Out, Tokens, ".", {D, "."});
      break;
    default:
      Emit(Out, Tokens, "?", {W, "?"});
      break;
    }
  }

  std::mt19937 FRandom;
  int32_t FLine = 1, FColumn = 1;
};

std::string Describe(const TGenToken& T) {
  return Describe(T.Kind, T.Text, T.Kind == K ? ScanKeyword(T.Text) : NoKeywordId(), T.Line,
                  T.Column) +
         (T.Prefix ? "p" : "");
}
std::string Describe(const TToken& T) {
  return Describe(T.Kind, T.Text, T.KeywordID, T.Line, T.Column) + (T.ParamPrefix ? "p" : "");
}

} // namespace

// In 3.90 every token's line is the number of its statement, ";;" counting two.
TEST(Lexer, GeneratedTokensRoundTrip) {
  for (TTolvanReleaseId R : TestedReleases)
    for (uint32_t Seed = 1; Seed <= 400; ++Seed) {
      TSelectedRelease Selected(R);
      TGenerator G(Seed);
      std::string Text;
      std::vector<std::vector<TGenToken>> Expected;
      int32_t Number = 1;
      for (int N = 1 + G.Pick(4); N > 0; --N) {
        G.NewStatement();
        Expected.emplace_back();
        G.Statement(Text, Expected.back());
        if (Is390())
          for (TGenToken& T : Expected.back())
            T.Line = Number;
        G.Trailer(Text);
        const bool Single = G.Pick(4) != 0;
        G.Put(Text, Single ? ";" : ";;");
        Number += Single ? 1 : 2;
        G.NewStatement();
      }
      SCOPED_TRACE(Text);
      SCOPED_TRACE(Release().Name);

      // Tokenizing gives back the generated tokens, positions included.
      const auto Got = Statements(Text);
      ASSERT_EQ(Got.size(), Expected.size());
      for (size_t S = 0; S < Got.size(); ++S) {
        ASSERT_EQ(Got[S].size(), Expected[S].size());
        for (size_t T = 0; T < Got[S].size(); ++T)
          ASSERT_EQ(Describe(Got[S][T]), Describe(Expected[S][T])) << "statement " << S;
      }

      // The rewrite reads back as the same tokens, with each '?' a numbered parameter.
      const AnsiString Rewritten = ReplaceQuestionMarkParams(Text);
      SCOPED_TRACE(Rewritten);
      const auto Again = Statements(Rewritten);
      ASSERT_EQ(Again.size(), Expected.size());
      bool Rewrites = false;
      for (const auto& Statement : Expected)
        for (const TGenToken& T : Statement)
          Rewrites = Rewrites || (T.Kind == W && T.Text == "?");
      int Counter = 0;
      for (size_t S = 0; S < Again.size(); ++S) {
        ASSERT_EQ(Again[S].size(), Expected[S].size());
        for (size_t T = 0; T < Again[S].size(); ++T) {
          TGenToken E = Expected[S][T];
          if (E.Kind == W && E.Text == "?")
            E = {P, "Tolvan_MS_Param" + std::to_string(Counter++), true};
          TToken A = Again[S][T];
          A.Line = A.Column = E.Line = E.Column = 0;
          ASSERT_EQ(Describe(A), Describe(E)) << "statement " << S;
        }
      }
      if (!Rewrites) {
        EXPECT_EQ(Rewritten, Text);
      }
    }
}

// --- writing tokens back -------------------------------------------------------------------------

namespace {

// Each statement of Text rewritten through AppendTokenText with one blank between tokens, then
// read again: the kinds and texts must be those of the source's tokens.
void ExpectWrittenTokensReadBack(std::string_view Text) {
  SCOPED_TRACE(std::string(Text));
  for (const std::vector<TToken>& Source : Statements(Text)) {
    AnsiString Written;
    for (const TToken& T : Source) {
      if (!Written.empty())
        Written += ' ';
      AppendTokenText(Written, T);
    }
    SCOPED_TRACE(Written);
    const auto Again = Statements(Written);
    ASSERT_EQ(Again.size(), 1u);
    ASSERT_EQ(Again[0].size(), Source.size());
    for (size_t N = 0; N < Source.size(); ++N) {
      EXPECT_EQ(Again[0][N].Kind, Source[N].Kind) << "token " << N;
      EXPECT_EQ(Again[0][N].Text, Source[N].Text) << "token " << N;
    }
  }
}

} // namespace

TEST(Lexer, WrittenTokensReadBackAsTheSameTokens) {
  for (const char* Text : {
           "select [a]]b], [with blank], [], `c``d`, `e f` from [x]]]]y]",
           "select 'it''s', '', \"dq\"\"x\", 'a\"b', \"a'b\", '[a]]b]'",
           "select :\"a b\", :`x``y`, :'q', :p, :\"\", :`a]]b`, : , ::z, :!=, :select",
           "SELECT DISTINCT a FROM t WHERE b IS NOT NULL ORDER BY 1 DESC; insert into t values (1)",
           "1 42 12a 7fd 1.5 .5 1e+5 1.5e-3 7e 10. 0.0 2E10",
           "$1F 0x10 $FFFFFFFFFFFFFFFF $1E $FF. $8000000000000000 $7FFFFFFFFFFFFFFF "
           "$FFFFFFFFFFFFFFFE",
           ":7 :$FFFFFFFFFFFFFFFF :$1E :$FF. :[x] :(a)",
           "t.c t . c 1 . 5 a.[b] x.`y` ..",
           "a<=b||c !=d << >> && == ~ ! a&b a'b a? ?",
       })
    ExpectWrittenTokensReadBack(Text);
}

TEST(Lexer, GeneratedTokensWrittenBackReadTheSame) {
  for (uint32_t Seed = 1; Seed <= 300; ++Seed) {
    TGenerator G(Seed);
    std::string Text;
    std::vector<TGenToken> Ignored;
    for (int N = 1 + G.Pick(3); N > 0; --N) {
      G.NewStatement();
      G.Statement(Text, Ignored);
      G.Put(Text, ";");
    }
    ExpectWrittenTokensReadBack(Text);
  }
}
