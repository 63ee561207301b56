// The expression parser on arbitrary text: tokenizer, then the condition grammar and the value
// grammar, without and with parameters, with and without a cursor to bind fields to. Only
// Exception-derived errors may come out; a crash, a hang or a leak is a finding. The first byte
// picks the release (FuzzRelease.h).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "classlib/SysUtils.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExprParser.h"
#include "tests/schema/support/FakeCursor.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tools/fuzz/FuzzRelease.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

void Parse(std::string_view Text, const TTolvanSQLParams* Params, TTolvanCursor* Cursor,
           bool Condition) {
  try {
    TTolvanLexer Lexer(Text, Params);
    if (!Lexer.NextStatement())
      return;
    TTolvanExprParserOptions Options;
    Options.Cursor = Cursor;
    Options.PartialCompare = Condition;
    TTolvanExprParser Parser(Lexer, Options);
    TTolvanExprNodePtr Node = Condition ? Parser.ParseCondition() : Parser.ParseValue();
    if (Node)
      Node = Node->Clone();
  } catch (const Exception&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static TFakeExprServices Services;
  static TScopedExprServices Scope(&Services);
  static TTolvanSQLParams* Params = [] {
    auto* P = new TTolvanSQLParams;
    const struct {
      const char* Name;
      TTolvanValueType Type;
    } Items[] = {{"s", tvtString}, {"n", tvtInteger},    {"b", tvtLogical}, {"d", tvtDate},
                 {"x", tvtBLOB},   {"w", tvtWideString}, {"f", tvtFloat}};
    for (const auto& I : Items) {
      TTolvanSQLParam& Param = P->Add();
      Param.SetName(I.Name);
      Param.Clear(I.Type);
    }
    P->Items(0).SetAsString("a*");
    P->Items(1).SetAsLargeInt(3);
    return P;
  }();
  static TFakeCursor Cursor;
  if (Size == 0)
    return 0;
  fuzz::SelectInputRelease(Data[0]);
  const std::string_view Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  for (bool Condition : {true, false}) {
    Parse(Text, nullptr, nullptr, Condition);
    Parse(Text, Params, &Cursor, Condition);
  }
  if (Services.OpenHandleCount() != 0)
    abort();
  return 0;
}
