// TolvanExprParser.h: the SQL expression parser, from the tokens of a TTolvanLexer to an
// expression tree; and the lookup between SQL type names and field types.
//
// The parser reads conditions (WHERE, filters) and values (select lists, defaults). It is a
// recursive descent with backtracking: most rules are attempts that answer nil without a trace
// when they do not match, and the lexer goes back to where the attempt began. Each attempt's
// outcome at each start token is remembered for one parse, so that trying the alternatives of a
// rule never parses the same text twice and deep nesting costs no more than its size. Nesting
// is capped (MaxExprDepth) so that neither the parser nor the tree's evaluation, copy and
// destruction, which all recurse, can exhaust the stack.
//
// Ownership: the parser borrows the lexer, the cursor and the parameters; the caller owns the
// tree it returns. The remembered attempts die with the parser.
//
// Threads: a parser belongs to one thread, like its lexer.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "classlib/DBParams.h"
#include "schema/expr/TolvanExprFunctions.h"
#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanLexer.h"

namespace tolvan {

class TTolvanCursor;

// The field type of an SQL type name (case ignored), tftNone when there is none.
TTolvanFieldType FieldTypeFromName(std::string_view Name);
// The SQL name of a field type; the empty text for a type without one.
AnsiString FieldTypeName(TTolvanFieldType FieldType);

inline constexpr int32_t MaxExprDepth = 256;
inline constexpr int32_t ErrExprTooDeep = 30072;
inline constexpr std::string_view SExpressionTooDeeplyNested =
    "Expression is too deeply nested at line %d, column %d";

// What the expression object tells the parser about the tree it wants.
struct TTolvanExprParserOptions {
  bool CaseInsensitive = true;
  bool PartialCompare = false;
  bool KeepNullCodes = true;
  bool InMemory = false;
  AnsiString DatabaseName;
  AnsiString SessionName;
  const TParams* Params = nullptr;   // handed to sub-queries
  TTolvanCursor* Cursor = nullptr;   // field references bind to it
};

class TTolvanExprParser {
public:
  // Parsing starts at the lexer's current token.
  TTolvanExprParser(TTolvanLexer& Lexer, const TTolvanExprParserOptions& Options);
  TTolvanExprParser(const TTolvanExprParser&) = delete;
  TTolvanExprParser& operator=(const TTolvanExprParser&) = delete;

  // A condition; raises when there is none. Text after it is left to the caller, except an
  // operator that could only continue it, which raises 30066.
  TTolvanExprNodePtr ParseCondition();
  // A value, or nil (and the lexer back where it was) when the text does not start with one.
  TTolvanExprNodePtr ParseValue();

  // The rule attempts made so far (memoised repeats included).
  int64_t AttemptCount() const noexcept { return FAttempts; }
  // The lexer position of the first token not consumed.
  int32_t Position() const noexcept { return FLexer.GetPosition(); }

private:
  enum TRule : uint8_t { rValue, rPrimary, rStringExpr, rStringFactor, rSum, rTerm, rRuleCount };
  struct TMemo {
    bool Matched = false;
    int32_t End = 0;
    TTolvanExprNodePtr Prototype;
  };
  using TNode = TTolvanExprNodePtr;
  using TRuleFn = TNode (TTolvanExprParser::*)();

  // Tokens.
  void Advance();
  void Restore(int32_t Position);
  bool ReadNextToken(std::initializer_list<TTokenType> Allowed, bool Required);
  bool Kw(std::string_view Word) const;
  bool Sym(std::string_view Text) const;
  bool IsSymbol() const;
  bool AtEnd() const { return FToken.Kind == tktNone; }
  const TTolvanVariant* ParamValue() const;

  // Errors at the current token.
  [[noreturn]] void RaiseToken(int32_t Code, std::string_view Expected);
  [[noreturn]] void RaiseFound(int32_t Code, std::string_view Message);
  [[noreturn]] void RaiseArgument(int32_t Code, std::string_view Function);
  [[noreturn]] void RaisePlace(int32_t Code, std::string_view Message);
  void Expect(TTokenType Kind, int32_t Code, std::string_view Expected);
  void ExpectOpen(int32_t Code) { Expect(tktLeftParenthesis, Code, "("); }
  void ExpectClose(int32_t Code) { Expect(tktRightParenthesis, Code, ")"); }
  TNode Checked(TNode Node);
  void Enter();
  void Leave() noexcept { --FNesting; }

  TNode Memoised(TRule Rule, TRuleFn Fn);
  TNode Attempt(TRuleFn Fn);

  // Condition grammar.
  TNode Or();
  TNode And(int32_t MissingCode);
  TNode Not(int32_t MissingCode);
  TNode TruthTest(int32_t MissingCode);
  TNode Parenthesized(int32_t MissingCode);
  TNode Predicate();
  TNode BooleanConstant();
  TNode Comparison();
  TTolvanExprOperator ParseComparisonOperator();
  bool MarkPartialPattern(TTolvanExprNode* Node);
  TNode Exists();
  TNode ValueThenWord(std::string_view Word, bool& Negated);
  TNode Like();
  TNode IsNullPredicate();
  TNode Between();
  TNode In();

  // Value grammar.
  TNode ValueOrNull();
  TNode Value() { return Memoised(rValue, &TTolvanExprParser::ValueBody); }
  TNode ValueBody();
  TNode Sum() { return Memoised(rSum, &TTolvanExprParser::SumBody); }
  TNode SumBody();
  TNode Term() { return Memoised(rTerm, &TTolvanExprParser::TermBody); }
  TNode TermBody();
  TNode Signed();
  TNode Operand();
  TNode PrimaryValue() { return Memoised(rPrimary, &TTolvanExprParser::PrimaryBody); }
  TNode PrimaryBody();
  TNode Literal();
  TNode ParamConstant(const TTolvanVariant& Value);
  TNode FieldReference();
  TNode SubQuery(int Kind, TNode InValue, bool Negated);
  TNode ScalarSubQuery() { return SubQuery(0, nullptr, false); }
  TNode ParenthesizedValue();
  TNode AggregateOrMath();
  TNode StringExpression() { return Memoised(rStringExpr, &TTolvanExprParser::StringExprBody); }
  TNode StringExprBody();
  TNode StringFactor() { return Memoised(rStringFactor, &TTolvanExprParser::StringFactorBody); }
  TNode StringFactorBody();
  TNode Cast();
  TNode IntegerFunction();
  TNode ParseLastAutoInc();
  TNode IsNullFunction();
  TNode StringFunction();
  TNode ToBlob();
  TNode DateFunction();
  TNode MathFunction();

  TTolvanLexer& FLexer;
  const TTolvanExprParserOptions& FOptions;
  TToken FToken;
  TToken FLastToken; // the last real token, for messages at the end of the text
  int32_t FNesting = 0;
  int64_t FAttempts = 0;
  std::unordered_map<uint64_t, TMemo> FMemo;
};

} // namespace tolvan
