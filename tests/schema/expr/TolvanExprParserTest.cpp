#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypesRoutines.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExprParser.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/schema/support/SelectedRelease.h"

namespace tolvan::test {
namespace {

enum TGrammar { gCondition, gValue };

struct TParse {
  TGrammar Grammar;
  std::string Text;
  std::string Expected;      // the dump, "nil", or the full message of the raise
  std::string Expected390{}; // the same in release 3.90; empty: as in 4.00
};

struct TParserFixture {
  TParserFixture() : Scope(&Services) {
    Services.SetAutoInc("t", "f", tftAutoInc, 1);
    auto Add = [&](const char* Name, TTolvanValueType T) -> TTolvanSQLParam& {
      TTolvanSQLParam& P = Params.Add();
      P.SetName(Name);
      P.Clear(T);
      return P;
    };
    Add("s", tvtString).SetAsString("ab*");
    Add("n", tvtInteger).SetAsLargeInt(7);
    Add("b", tvtLogical).SetAsBoolean(true);
    Add("d", tvtDate).SetAsDate(45000);
    Add("my p", tvtInteger);
  }

  std::string Run(TGrammar Grammar, std::string_view Text, bool WithParams = true,
                  TTolvanExprParserOptions Options = {}) {
    try {
      TTolvanLexer Lexer(Text, WithParams ? &Params : nullptr);
      Lexer.NextStatement();
      TTolvanExprParser Parser(Lexer, Options);
      TTolvanExprNodePtr Node =
          Grammar == gCondition ? Parser.ParseCondition() : Parser.ParseValue();
      LastAttempts = Parser.AttemptCount();
      return Node ? DumpExprTree(Node.get()) : "nil";
    } catch (const ETolvanException& E) {
      return E.Message();
    }
  }

  TFakeExprServices Services;
  TScopedExprServices Scope;
  TTolvanSQLParams Params;
  int64_t LastAttempts = 0;
};

// Every row runs under both releases.
TEST(ExprParser, Table) {
  TParserFixture F;
  const std::vector<TParse> Cases = {
#include "fixtures/parser_cases.inc"
  };
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    for (const TParse& C : Cases)
      EXPECT_EQ(F.Run(C.Grammar, C.Text),
                Is390() && !C.Expected390.empty() ? C.Expected390 : C.Expected)
          << C.Text << " (" << Release().Name << ")";
  }
}

// The LASTAUTOINC node carries what the target binding needs: the expression's database and
// session, the table and field, and the in-memory flag of the expression or the MEMORY keyword.
// Only 4.00 names a database in the call.
TEST(ExprParser, LastAutoIncTarget) {
  TParserFixture F;
  F.Services.SetAutoInc("select", "f", tftAutoInc, 1);
  struct TRow {
    const char* Text;
    bool InMemory;      // the expression's flag
    const char* Target; // "database session table.field memory|disk", or the raise's code
    const char* Target390 = nullptr;
  };
  const TRow Rows[] = {
      {"LASTAUTOINC(t, f)", false, "db0 s0 t.f disk"},
      {"LASTAUTOINC(t, f)", true, "db0 s0 t.f memory"},
      {"LASTAUTOINC(MEMORY t, f)", false, "db0 s0 t.f memory"},
      {"LASTAUTOINC(MEMORY select, [f])", false, "db0 s0 select.f memory"},
      {"LASTAUTOINC(db t, f)", false, "db s0 t.f disk", "30334"},
      {"LASTAUTOINC(MEMORY db t, f)", false, "db s0 t.f memory", "30334"},
  };
  for (TTolvanReleaseId R : TestedReleases) {
    TSelectedRelease Selected(R);
    for (const TRow& Row : Rows) {
      TTolvanExprParserOptions Options;
      Options.DatabaseName = "db0";
      Options.SessionName = "s0";
      Options.InMemory = Row.InMemory;
      std::string Got;
      try {
        TTolvanLexer Lexer(Row.Text, nullptr);
        Lexer.NextStatement();
        TTolvanExprParser Parser(Lexer, Options);
        TTolvanExprNodePtr Node = Parser.ParseValue();
        ASSERT_TRUE(Node) << Row.Text;
        ASSERT_EQ(Node->Kind(), enkSystem) << Row.Text;
        const auto& S = static_cast<const TTolvanExprNodeSystem&>(*Node);
        EXPECT_EQ(S.Operator(), eoLastAutoInc);
        Got = S.DatabaseName() + " " + S.SessionName() + " " + S.TableName() + "." + S.FieldName() +
              (S.InMemory() ? " memory" : " disk");
      } catch (const ETolvanException& E) {
        Got = std::to_string(E.NativeError());
      }
      EXPECT_EQ(Got, Is390() && Row.Target390 ? Row.Target390 : Row.Target)
          << Row.Text << " (" << Release().Name << ")";
    }
  }
}

std::string Nest(int Depth, const std::string& Open, const std::string& Inner,
                 const std::string& Close) {
  std::string S;
  for (int I = 0; I < Depth; ++I)
    S += Open;
  S += Inner;
  for (int I = 0; I < Depth; ++I)
    S += Close;
  return S;
}

TEST(ExprParser, NestingCostsNoMoreThanTheSquareOfTheDepth) {
  TParserFixture F;
  struct TShape {
    TGrammar Grammar;
    std::string Prefix, Open, Inner, Close;
  } Shapes[] = {{gValue, "", "(", "'a'", ")"},
                {gValue, "", "UPPER(", "'a'", ")"},
                {gCondition, "x = ", "(", "1", ")"}};
  for (const TShape& S : Shapes) {
    for (int Depth : {5, 10, 20, 40}) {
      const std::string Text = S.Prefix + Nest(Depth, S.Open, S.Inner, S.Close);
      const std::string Dump = F.Run(S.Grammar, Text);
      EXPECT_EQ(Dump.find("Native error"), std::string::npos) << Text << " " << Dump;
      EXPECT_LE(F.LastAttempts, 20 * Depth * Depth) << Text;
    }
    const std::string Deep = F.Run(S.Grammar, S.Prefix + Nest(300, S.Open, S.Inner, S.Close));
    EXPECT_NE(Deep.find("Expression is too deeply nested at line 1, column "), std::string::npos)
        << Deep;
    EXPECT_NE(Deep.find("Native error: 30072"), std::string::npos) << Deep;
  }
  // A long operator chain is as deep as its length.
  std::string Chain = "1";
  for (int I = 0; I < 300; ++I)
    Chain += " * 1";
  EXPECT_NE(F.Run(gValue, Chain).find("30072"), std::string::npos);
  // Deeply nested conditions too.
  EXPECT_NE(F.Run(gCondition, Nest(300, "(", "a = 1", ")")).find("30072"), std::string::npos);
}

TEST(ExprParser, LongOrChainIsOneNode) {
  TParserFixture F;
  std::string Text = "a = 0";
  for (int I = 1; I < 5000; ++I)
    Text += " OR a = " + std::to_string(I);
  TTolvanLexer Lexer(Text, nullptr);
  Lexer.NextStatement();
  TTolvanExprParserOptions Options;
  TTolvanExprParser Parser(Lexer, Options);
  TTolvanExprNodePtr Node = Parser.ParseCondition();
  ASSERT_TRUE(Node);
  EXPECT_EQ(Node->Operator(), eoOr);
  EXPECT_EQ(Node->ChildCount(), 5000);
}

TEST(ExprParser, OptionsReachTheNodes) {
  TParserFixture F;
  TTolvanExprParserOptions Options;
  Options.PartialCompare = true;
  Options.CaseInsensitive = false;
  Options.KeepNullCodes = false;
  const std::pair<std::string, std::string> Cases[] = {
      {"name = 'Jo*'", "(=[p] (FIELD[i] name) (CONST[i] STRING 'Jo'))"},
      {"name = :s", "(=[p] (FIELD[i] name) (PARAM[i] :s STRING 'ab'))"},
      {"name = 'Jo'", "(= (FIELD[i] name) (CONST[i] STRING 'Jo'))"},
      {"name LIKE 'J%'", "(LIKE[p] (FIELD[i] name) (CONST[i] STRING 'J%'))"},
  };
  for (const auto& [Text, Expected] : Cases)
    EXPECT_EQ(F.Run(gCondition, Text, true, Options), Expected) << Text;
}

TEST(ExprParser, ParameterWithoutValueRaises) {
  TParserFixture F;
  for (const char* Text : {"a = :n", ":b", "d = :d"})
    EXPECT_EQ(F.Run(gCondition, Text, false), std::string("Value for parameter '") +
                                                  (std::strchr(Text, ':') + 1) +
                                                  "' not found - Native error: 30358")
        << Text;
}

// The rebuilt text of a sub-query must tokenize to the tokens it was built from.
TEST(ExprParser, SubQueryTextKeepsItsTokens) {
  TParserFixture F;
  std::mt19937 Random(18);
  const std::vector<std::string> Pieces = {"a",
                                           "[x]]y]",
                                           "`b``c`",
                                           "[with blank]",
                                           ":`my p`",
                                           ":n",
                                           "'it''s'",
                                           "\"q\"\"d\"",
                                           "1.5",
                                           "t.c",
                                           "=",
                                           "<>",
                                           "(",
                                           ")",
                                           ",",
                                           "*",
                                           ".",
                                           "1",
                                           ".5",
                                           "$1E",
                                           "$FFFFFFFFFFFFFFFF",
                                           ":\"my p\"",
                                           "select",
                                           "[]",
                                           "''",
                                           "`x y`"};
  for (int Round = 0; Round < 200; ++Round) {
    std::string Inner = "SELECT";
    int Open = 0;
    const int Length = 1 + int(Random() % 12);
    for (int I = 0; I < Length; ++I) {
      std::string P = Pieces[Random() % Pieces.size()];
      if (P == ")" && Open == 0)
        P = "a";
      Open += P == "(" ? 1 : P == ")" ? -1 : 0;
      Inner += " " + P;
    }
    while (Open-- > 0)
      Inner += " )";
    TTolvanLexer Lexer("(" + Inner + ")", &F.Params);
    Lexer.NextStatement();
    TTolvanExprParserOptions Options;
    TTolvanExprParser Parser(Lexer, Options);
    TTolvanExprNodePtr Node = Parser.ParseValue();
    ASSERT_TRUE(Node) << Inner;
    const AnsiString SQL = static_cast<TTolvanExprNodeSubQuery&>(*Node).SQL();
    TTolvanLexer Original(Inner, &F.Params), Rebuilt(SQL, &F.Params);
    ASSERT_TRUE(Original.NextStatement());
    ASSERT_TRUE(Rebuilt.NextStatement()) << SQL;
    ASSERT_EQ(Original.TokenCount(), Rebuilt.TokenCount()) << Inner << " / " << SQL;
    for (int32_t I = 0; I < Original.TokenCount(); ++I) {
      EXPECT_EQ(Original.Tokens()[I].Kind, Rebuilt.Tokens()[I].Kind) << Inner << " / " << SQL;
      EXPECT_EQ(Original.Tokens()[I].Text, Rebuilt.Tokens()[I].Text) << Inner << " / " << SQL;
    }
  }
}

TEST(ExprParser, FailedParsesLeaveNoHandles) {
  TParserFixture F;
  for (const char* Text : {"x IN (SELECT a FROM t) AND LASTAUTOINC(t, f) = 1 +",
                           "(SELECT a FROM t) = LASTAUTOINC(t, f) OR (SELECT b FROM t) = (1 x)",
                           "COUNT(DISTINCT a) = (SELECT a FROM t) AND UPPER()"}) {
    EXPECT_NE(F.Run(gCondition, Text).find("Native error"), std::string::npos) << Text;
    EXPECT_EQ(F.Services.OpenHandleCount(), 0) << Text;
  }
}

TEST(ExprParser, TypeNames) {
  EXPECT_EQ(FieldTypeFromName("varchar"), tftVarchar);
  EXPECT_EQ(FieldTypeFromName("Integer"), tftInteger);
  EXPECT_EQ(FieldTypeFromName("nonsense"), tftNone);
  EXPECT_EQ(FieldTypeName(tftVarchar), "STRING");
  EXPECT_EQ(FieldTypeName(tftLargeInt), "SIGNEDINT64");
  EXPECT_EQ(FieldTypeName(tftNone), "");
  for (const TSQLFieldType& R : TSQLFieldTypes)
    EXPECT_EQ(FieldTypeName(FieldTypeFromName(R.SQLName)), FieldTypeName(R.FieldType));
}

} // namespace
} // namespace tolvan::test
