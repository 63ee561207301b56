#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExprParser.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/support/FakeExprServices.h"

namespace tolvan::test {
namespace {

enum TGrammar { gCondition, gValue };

struct TParse {
  TGrammar Grammar;
  std::string Text;
  std::string Expected; // the dump, "nil", or the full message of the raise
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

TEST(ExprParser, Table) {
  TParserFixture F;
  const std::vector<TParse> Cases = {
#include "fixtures/parser_cases.inc"
  };
  for (const TParse& C : Cases)
    EXPECT_EQ(F.Run(C.Grammar, C.Text), C.Expected) << C.Text;
}

} // namespace
} // namespace tolvan::test
