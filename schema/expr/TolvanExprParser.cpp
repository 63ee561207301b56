#include "schema/expr/TolvanExprParser.h"

#include <cmath>
#include <cfloat>

#include "classlib/FloatText.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

namespace {

char UpperAscii(char C) { return (C >= 'a' && C <= 'z') ? char(C - 'a' + 'A') : C; }

bool SameAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (UpperAscii(A[I]) != UpperAscii(B[I]))
      return false;
  return true;
}

// Height of a tree, counted no further than Limit + 1 so that the walk itself stays shallow.
int32_t BoundedHeight(const TTolvanExprNode& Node, int32_t Limit) {
  if (Limit <= 0)
    return 1;
  int32_t Highest = 0;
  for (int32_t I = 0; I < Node.ChildCount(); ++I)
    if (const TTolvanExprNode* C = Node.Child(I))
      Highest = std::max(Highest, BoundedHeight(*C, Limit - 1));
  return Highest + 1;
}

bool IsNumberKind(TTokenType Kind) { return Kind == tktInt || Kind == tktFloat; }

const TFormatSettings& LiteralSettings() {
  static const TFormatSettings Settings; // decimal '.', whatever the program sets globally
  return Settings;
}

} // namespace

TTolvanFieldType FieldTypeFromName(std::string_view Name) {
  std::string Upper(Name);
  for (char& C : Upper)
    C = UpperAscii(C);
  return FieldTypeOfSQLName(Upper);
}

AnsiString FieldTypeName(TTolvanFieldType FieldType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.FieldType == FieldType)
      return AnsiString(R.SQLName);
  return AnsiString();
}

TTolvanExprParser::TTolvanExprParser(TTolvanLexer& Lexer, const TTolvanExprParserOptions& Options)
    : FLexer(Lexer), FOptions(Options) {
  FLexer.CurrentToken(FToken);
}

// --- tokens -------------------------------------------------------------------------------

void TTolvanExprParser::Advance() { FLexer.NextToken(FToken); }

void TTolvanExprParser::Restore(int32_t Position) { FLexer.SetPosition(Position, FToken); }

bool TTolvanExprParser::ReadNextToken(std::initializer_list<TTokenType> Allowed, bool Required) {
  Advance();
  if (AtEnd()) {
    if (Required)
      RaisePlace(30063, SUnexpectedEndOfSqlCommand);
    return false;
  }
  if (Allowed.size() == 0)
    return true;
  for (TTokenType K : Allowed)
    if (FToken.Kind == K)
      return true;
  if (Required)
    RaiseFound(30064, SUnexpectedTokenAtLine);
  return false;
}

bool TTolvanExprParser::Kw(std::string_view Word) const {
  return FToken.Kind == tktReservedWord && SameAscii(FToken.Text, Word);
}

// Operator symbols are words to the tokenizer; a quoted '+' is text, never an operator.
bool TTolvanExprParser::Sym(std::string_view Text) const {
  return FToken.Kind == tktString && FToken.Text == Text;
}

bool TTolvanExprParser::IsSymbol() const {
  if (FToken.Kind != tktString || FToken.Text.empty())
    return false;
  const std::string_view T(FToken.Text);
  return std::string_view("=<>!+-*/|~:").find(T[0]) != std::string_view::npos || T == "&" ||
         T == "&&" || T == "%" || T == "^";
}

const TTolvanVariant* TTolvanExprParser::ParamValue() const {
  if (!FToken.Value)
    throw ETolvanException::CreateFmt(30358, SParameterValueNotFound, FToken.Text);
  return FToken.Value.get();
}

// --- errors -------------------------------------------------------------------------------

namespace {
// The token a message names: the current one, or past the end the empty text at the last one.
void MessagePlace(const TTolvanLexer& Lexer, const TToken& Token, AnsiString& Text, int32_t& Line,
                  int32_t& Column) {
  if (Token.Kind != tktNone) {
    Text = Token.Text;
    Line = Token.Line;
    Column = Token.Column;
    return;
  }
  Text.clear();
  Line = Column = 0;
  auto& Tokens = const_cast<TTolvanLexer&>(Lexer).Tokens();
  if (!Tokens.empty()) {
    Line = Tokens.back().Line;
    Column = Tokens.back().Column;
  }
}
} // namespace

void TTolvanExprParser::RaiseToken(int32_t Code, std::string_view Expected) {
  AnsiString Text;
  int32_t Line, Column;
  MessagePlace(FLexer, FToken, Text, Line, Column);
  throw ETolvanException::CreateFmt(Code, STokenExpected, AnsiString(Expected), Text, Line, Column);
}

void TTolvanExprParser::RaiseFound(int32_t Code, std::string_view Message) {
  AnsiString Text;
  int32_t Line, Column;
  MessagePlace(FLexer, FToken, Text, Line, Column);
  throw ETolvanException::CreateFmt(Code, Message, Text, Line, Column);
}

void TTolvanExprParser::RaiseArgument(int32_t Code, std::string_view Function) {
  AnsiString Text;
  int32_t Line, Column;
  MessagePlace(FLexer, FToken, Text, Line, Column);
  throw ETolvanException::CreateFmt(Code, SArgumentExpectedForFunction, AnsiString(Function), Line,
                                    Column);
}

void TTolvanExprParser::RaisePlace(int32_t Code, std::string_view Message) {
  AnsiString Text;
  int32_t Line, Column;
  MessagePlace(FLexer, FToken, Text, Line, Column);
  throw ETolvanException::CreateFmt(Code, Message, Line, Column);
}

void TTolvanExprParser::Expect(TTokenType Kind, int32_t Code, std::string_view Expected) {
  if (FToken.Kind != Kind)
    RaiseToken(Code, Expected);
  Advance();
}

TTolvanExprParser::TNode TTolvanExprParser::Checked(TNode Node) {
  if (Node && BoundedHeight(*Node, MaxExprDepth) > MaxExprDepth)
    RaisePlace(ErrExprTooDeep, SExpressionTooDeeplyNested);
  return Node;
}

void TTolvanExprParser::Enter() {
  if (++FNesting > MaxExprDepth)
    RaisePlace(ErrExprTooDeep, SExpressionTooDeeplyNested);
}

#define TOLVAN_NEST()                                                                              \
  Enter();                                                                                         \
  struct TLeave {                                                                                  \
    TTolvanExprParser* P;                                                                          \
    ~TLeave() { P->Leave(); }                                                                      \
  } LeaveGuard{this}

// --- attempts -----------------------------------------------------------------------------

TTolvanExprParser::TNode TTolvanExprParser::Attempt(TRuleFn Fn) {
  ++FAttempts;
  const int32_t Start = FLexer.GetPosition();
  TNode Node = (this->*Fn)();
  if (!Node)
    Restore(Start);
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::Memoised(TRule Rule, TRuleFn Fn) {
  ++FAttempts;
  const int32_t Start = FLexer.GetPosition();
  const uint64_t Key = (uint64_t(Rule) << 32) | uint32_t(Start);
  if (auto It = FMemo.find(Key); It != FMemo.end()) {
    if (!It->second.Matched)
      return nullptr;
    Restore(It->second.End);
    return It->second.Prototype->Clone();
  }
  TNode Node = (this->*Fn)();
  TMemo& Memo = FMemo[Key];
  if (!Node) {
    Restore(Start);
    return nullptr;
  }
  Memo.Matched = true;
  Memo.End = FLexer.GetPosition();
  Memo.Prototype = Node->Clone();
  return Node;
}

// --- entry points -------------------------------------------------------------------------

TTolvanExprNodePtr TTolvanExprParser::ParseCondition() {
  FMemo.clear();
  TNode Node = Or();
  // A filter is its leading condition; text that can only continue it must not be dropped.
  if (Sym("+") || Sym("-") || Sym("*") || Sym("/") || Sym("%") || Sym("||") || Sym("&") ||
      Sym("|") || Sym("<<") || Sym(">>") || Sym("^") || Sym("&&") ||
      ParseComparisonOperator() != eoNone || Kw("AND") || Kw("OR") || Kw("MOD") || Kw("SHL") ||
      Kw("SHR") || Kw("XOR"))
    RaiseFound(30066, SBooleanExpressionExpected);
  FMemo.clear();
  return Node;
}

TTolvanExprNodePtr TTolvanExprParser::ParseValue() {
  FMemo.clear();
  const int32_t Start = FLexer.GetPosition();
  TNode Node = Value();
  if (!Node)
    Restore(Start);
  FMemo.clear();
  return Node;
}

// --- condition grammar --------------------------------------------------------------------

// OR chains become one node with every operand in order: evaluation stops at the first true
// operand all the same, and long generated filters stay shallow.
TTolvanExprParser::TNode TTolvanExprParser::Or() {
  TNode First = And(30066);
  if (!Kw("OR"))
    return First;
  auto Node = std::make_unique<TTolvanExprNodeBoolean>(eoOr, true, false);
  Node->AddChild(std::move(First));
  while (Kw("OR")) {
    Advance();
    Node->AddChild(And(30070));
  }
  return Checked(std::move(Node));
}

TTolvanExprParser::TNode TTolvanExprParser::And(int32_t MissingCode) {
  TNode First = Not(MissingCode);
  if (!Kw("AND") && !Sym("&&"))
    return First;
  auto Node = std::make_unique<TTolvanExprNodeBoolean>(eoAnd, true, false);
  Node->AddChild(std::move(First));
  while (Kw("AND") || Sym("&&")) {
    Advance();
    Node->AddChild(Not(30069));
  }
  return Checked(std::move(Node));
}

TTolvanExprParser::TNode TTolvanExprParser::Not(int32_t MissingCode) {
  if (TNode E = Attempt(&TTolvanExprParser::Exists))
    return E;
  const bool Negated = Kw("NOT") || Sym("!");
  if (Negated) {
    Advance();
    MissingCode = 30068;
  }
  TNode Node = TruthTest(MissingCode);
  if (Negated)
    Node = Checked(std::make_unique<TTolvanExprNodeBoolean>(eoNot, std::move(Node), true, false));
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::TruthTest(int32_t MissingCode) {
  TNode Node;
  if (Kw("ISNULL")) {
    // ISNULL(x, y) > 5 is a predicate; only a bare ISNULL(x) is the truth test.
    Node = Attempt(&TTolvanExprParser::Predicate);
    if (!Node)
      Node = IsNullFunction();
  } else {
    Node = Parenthesized(MissingCode);
  }
  if (!Kw("IS"))
    return Node;
  ReadNextToken({}, false);
  bool Negated = false;
  if (Kw("NOT") || Sym("!")) {
    Negated = true;
    Advance();
  }
  TTolvanExprOperator Op;
  if (Kw("TRUE"))
    Op = Negated ? eoNot : eoNone;
  else if (Kw("FALSE"))
    Op = Negated ? eoNone : eoNot;
  else if (Kw("UNKNOWN"))
    Op = Negated ? eoIsNotNull : eoIsNull;
  else
    RaiseToken(30067, "TRUE, FALSE or UNKNOWN");
  Advance();
  if (Op == eoNone)
    return Node;
  return Checked(std::make_unique<TTolvanExprNodeBoolean>(Op, std::move(Node), true, false));
}

TTolvanExprParser::TNode TTolvanExprParser::Parenthesized(int32_t MissingCode) {
  if (FToken.Kind != tktLeftParenthesis) {
    TNode Node = Predicate();
    if (!Node)
      RaiseFound(MissingCode, SBooleanExpressionExpected);
    return Node;
  }
  TOLVAN_NEST();
  Advance();
  TNode Node = Or();
  ExpectClose(30065);
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::Predicate() {
  static constexpr TRuleFn Alternatives[] = {
      &TTolvanExprParser::BooleanConstant, &TTolvanExprParser::Comparison,
      &TTolvanExprParser::Like,            &TTolvanExprParser::IsNullPredicate,
      &TTolvanExprParser::Between,         &TTolvanExprParser::In,
      &TTolvanExprParser::Exists};
  for (TRuleFn Fn : Alternatives)
    if (TNode Node = Attempt(Fn))
      return Node;
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::BooleanConstant() {
  if (Kw("TRUE") || Kw("FALSE")) {
    auto Node = std::make_unique<TTolvanExprNodeConst>(true, false);
    TTolvanVariant V(tvtLogical);
    V.SetAsBoolean(Kw("TRUE"));
    Node->SetValue(V);
    Advance();
    return Node;
  }
  if (FToken.Kind == tktParameter) {
    const TTolvanVariant* V = ParamValue();
    if (V->DataType() == tvtLogical)
      return ParamConstant(*V);
  }
  return nullptr;
}

TTolvanExprOperator TTolvanExprParser::ParseComparisonOperator() {
  if (Sym("=") || Sym("=="))
    return eoEqual;
  if (Sym("<>") || Sym("!="))
    return eoNotEqual;
  if (Sym(">"))
    return eoGreater;
  if (Sym("<"))
    return eoLess;
  if (Sym(">="))
    return eoGreaterOrEqual;
  if (Sym("<="))
    return eoLessOrEqual;
  return eoNone;
}

bool TTolvanExprParser::MarkPartialPattern(TTolvanExprNode* Node) {
  if (!Node || Node->Kind() != enkConst)
    return false;
  TTolvanVariant& V = Node->Value();
  if (V.IsNull())
    return false;
  if (V.IsWide()) {
    WideString W = V.GetAsWideString();
    if (W.empty() || W.back() != u'*')
      return false;
    W.pop_back();
    V.SetAsWideString(W);
    return true;
  }
  if (V.IsString()) {
    AnsiString S = V.GetAsString();
    if (S.empty() || S.back() != '*')
      return false;
    S.pop_back();
    V.SetAsString(S);
    return true;
  }
  if (V.IsBlob() || V.DataType() == tvtBytes || V.DataType() == tvtVarBytes) {
    const int32_t Size = V.DataSize();
    return Size > 0 && static_cast<const char*>(V.Data())[Size - 1] == '*';
  }
  return false;
}

TTolvanExprParser::TNode TTolvanExprParser::Comparison() {
  TNode Left = ValueOrNull();
  if (!Left)
    return nullptr;
  TTolvanExprOperator Op = ParseComparisonOperator();
  if (Op == eoNone)
    return nullptr;
  Advance();
  if ((Op == eoEqual || Op == eoNotEqual) && !Release().ComparisonKeepsNullOperand &&
      (Kw("NULL") || IsEmptyQuotedString(FToken)))
    Op = Op == eoEqual ? eoIsNull : eoIsNotNull;
  TNode Right = ValueOrNull();
  if (!Right)
    return nullptr;
  bool Partial = false;
  if (FOptions.PartialCompare) {
    const bool A = MarkPartialPattern(Left.get());
    const bool B = MarkPartialPattern(Right.get());
    Partial = A || B;
  }
  return Checked(std::make_unique<TTolvanExprNodeComparison>(
      Op, std::move(Left), std::move(Right), FOptions.KeepNullCodes, FOptions.CaseInsensitive,
      Partial));
}

TTolvanExprParser::TNode TTolvanExprParser::Exists() {
  const bool Negated = Kw("NOT") || Sym("!");
  if (Negated)
    Advance();
  if (!Kw("EXISTS"))
    return nullptr;
  Advance();
  return SubQuery(2, nullptr, Negated);
}

// A value, an optional NOT and Word: the common opening of LIKE, BETWEEN and IN. Nil when the
// text does not open that way; Word is consumed.
TTolvanExprParser::TNode TTolvanExprParser::ValueThenWord(std::string_view Word, bool& Negated) {
  TNode Value = ValueOrNull();
  if (!Value)
    return nullptr;
  Negated = Kw("NOT");
  if (Negated)
    Advance();
  if (!Kw(Word))
    return nullptr;
  Advance();
  return Value;
}

TTolvanExprParser::TNode TTolvanExprParser::Like() {
  bool Negated = false;
  TNode Value = ValueThenWord("LIKE", Negated);
  if (!Value)
    return nullptr;
  TNode Pattern = ValueOrNull();
  if (!Pattern)
    return nullptr;
  return Checked(std::make_unique<TTolvanExprNodeBoolean>(
      Negated ? eoNotLike : eoLike, std::move(Value), std::move(Pattern), FOptions.CaseInsensitive,
      FOptions.PartialCompare));
}

TTolvanExprParser::TNode TTolvanExprParser::IsNullPredicate() {
  TNode Value = ValueOrNull();
  if (!Value || !Kw("IS"))
    return nullptr;
  Advance();
  const bool Negated = Kw("NOT") || Sym("!");
  if (Negated)
    Advance();
  if (!Kw("NULL"))
    return nullptr;
  Advance();
  return Checked(std::make_unique<TTolvanExprNodeBoolean>(Negated ? eoIsNotNull : eoIsNull,
                                                          std::move(Value), true, false));
}

TTolvanExprParser::TNode TTolvanExprParser::Between() {
  bool Negated = false;
  TNode Value = ValueThenWord("BETWEEN", Negated);
  if (!Value)
    return nullptr;
  TNode Low = ValueOrNull();
  if (!Low || !Kw("AND"))
    return nullptr;
  Advance();
  TNode High = ValueOrNull();
  if (!High)
    return nullptr;
  return Checked(std::make_unique<TTolvanExprNodeBoolean>(Negated ? eoNotBetween : eoBetween,
                                                          std::move(Value), std::move(Low),
                                                          std::move(High), true, false));
}

TTolvanExprParser::TNode TTolvanExprParser::In() {
  bool Negated = false;
  TNode Value = ValueThenWord("IN", Negated);
  if (!Value)
    return nullptr;
  if (FToken.Kind != tktLeftParenthesis)
    return nullptr;
  TToken Next;
  FLexer.PeekToken(Next);
  if (IsKeyword(Next, KeywordIdOf("SELECT")))
    return SubQuery(1, std::move(Value), Negated);
  TOLVAN_NEST();
  Advance();
  auto Node = std::make_unique<TTolvanExprNodeBoolean>(Negated ? eoNotIn : eoIn, true, false);
  Node->AddChild(std::move(Value));
  for (;;) {
    TNode Member = TTolvanExprParser::Value();
    if (!Member)
      return nullptr;
    Node->AddChild(std::move(Member));
    if (FToken.Kind == tktComma)
      Advance();
    if (FToken.Kind == tktRightParenthesis)
      break;
  }
  Advance();
  return Checked(std::move(Node));
}

// --- value grammar ------------------------------------------------------------------------

TTolvanExprParser::TNode TTolvanExprParser::ValueOrNull() {
  if (Kw("NULL")) {
    Advance();
    auto Node = std::make_unique<TTolvanExprNodeConst>(true, false);
    Node->SetValue(TTolvanVariant(tvtInteger));
    return Node;
  }
  return Value();
}

TTolvanExprParser::TNode TTolvanExprParser::ValueBody() {
  static constexpr TRuleFn Alternatives[] = {
      &TTolvanExprParser::Sum,         &TTolvanExprParser::StringExpression,
      &TTolvanExprParser::ToBlob,      &TTolvanExprParser::DateFunction,
      &TTolvanExprParser::BooleanConstant};
  for (TRuleFn Fn : Alternatives)
    if (TNode Node = Attempt(Fn))
      return Node;
  if (Kw("NULL"))
    return ValueOrNull();
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::SumBody() {
  TNode First = Term();
  if (!First)
    return nullptr;
  TNode Result = std::move(First);
  if (Sym("+") || Sym("-")) {
    auto Node = std::make_unique<TTolvanExprNodeArithmetic>(eoAdd, true, false);
    Node->AddChild(std::move(Result));
    while (Sym("+") || Sym("-")) {
      TNode Next = Term(); // its Signed reads the sign
      if (!Next)
        return nullptr;
      Node->AddChild(std::move(Next));
    }
    Result = Checked(std::move(Node));
  }
  if (Sym("||"))
    return nullptr;
  return Result;
}

TTolvanExprParser::TNode TTolvanExprParser::TermBody() {
  if (Sym("!") || Sym("~")) {
    const TTolvanExprOperator Op = Sym("!") ? eoNot : eoBitNot;
    Advance();
    TNode Operand = Signed();
    if (!Operand)
      return nullptr;
    if (Op == eoNot)
      return Checked(std::make_unique<TTolvanExprNodeBoolean>(Op, std::move(Operand), true, false));
    return Checked(std::make_unique<TTolvanExprNodeArithmetic>(Op, std::move(Operand), true, false));
  }
  TNode Result = Signed();
  if (!Result)
    return nullptr;
  for (;;) {
    TTolvanExprOperator Op;
    if (Sym("*"))
      Op = eoMultiply;
    else if (Sym("/"))
      Op = eoDivide;
    else if (Sym("%") || Kw("MOD"))
      Op = eoMod;
    else if (Sym("&"))
      Op = eoBitAnd;
    else if (Sym("|"))
      Op = eoBitOr;
    else if (Sym("<<") || Kw("SHL"))
      Op = eoShl;
    else if (Sym(">>") || Kw("SHR"))
      Op = eoShr;
    else if (Sym("^") || Kw("XOR"))
      Op = eoXor;
    else
      return Result;
    Advance();
    TNode Right = Signed();
    if (!Right)
      return nullptr;
    Result = Checked(std::make_unique<TTolvanExprNodeArithmetic>(Op, std::move(Result),
                                                                 std::move(Right), true, false));
  }
}

TTolvanExprParser::TNode TTolvanExprParser::Signed() {
  const bool Negated = Sym("-");
  if (Negated || Sym("+"))
    Advance();
  TNode Node = Operand();
  if (Node && Negated)
    Node = Checked(std::make_unique<TTolvanExprNodeArithmetic>(eoNegate, std::move(Node), true, false));
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::Operand() {
  const int32_t Start = FLexer.GetPosition();
  if (TNode Node = PrimaryValue()) {
    const TTolvanVariant& V = Node->Value();
    // Text, logical and date constants belong to the string and date rules.
    if (Node->Kind() != enkConst || V.DataType() == tvtNone || V.IsNumeric())
      return Node;
    Restore(Start);
  }
  return Attempt(&TTolvanExprParser::IntegerFunction);
}

TTolvanExprParser::TNode TTolvanExprParser::PrimaryBody() {
  static constexpr TRuleFn Alternatives[] = {
      &TTolvanExprParser::Literal,          &TTolvanExprParser::FieldReference,
      &TTolvanExprParser::ScalarSubQuery,   &TTolvanExprParser::AggregateOrMath,
      &TTolvanExprParser::ParenthesizedValue, &TTolvanExprParser::Cast};
  for (TRuleFn Fn : Alternatives)
    if (TNode Node = Attempt(Fn))
      return Node;
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::ParamConstant(const TTolvanVariant& Value) {
  auto Node = std::make_unique<TTolvanExprNodeConst>(true, false);
  Node->SetValue(Value);
  Node->SetParam(FToken.Text);
  Advance();
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::Literal() {
  auto Node = std::make_unique<TTolvanExprNodeConst>(true, false);
  switch (FToken.Kind) {
  case tktInt: {
    int64_t X = 0;
    const std::string_view Text(FToken.Text);
    bool Ok = !Text.empty();
    for (char C : Text)
      Ok = Ok && C >= '0' && C <= '9';
    if (!Ok || !TryStrToInt64(Text, X))
      throw ETolvanException::CreateFmt(30051, SCannotCast, FToken.Text, AnsiString("SIGNEDINT64"));
    TTolvanVariant V(tvtSignedInt64);
    V.SetAsLargeInt(X);
    Node->SetValue(V);
    break;
  }
  case tktFloat: {
    long double X = 0;
    if (!TryStrToFloat(FToken.Text, X, LiteralSettings()) || !std::isfinite(X) ||
        std::fabs(X) > DBL_MAX)
      throw ETolvanException::CreateFmt(30051, SCannotCast, FToken.Text, AnsiString("FLOAT"));
    TTolvanVariant V(tvtFloat);
    V.SetAsDouble(static_cast<double>(X));
    Node->SetValue(V);
    break;
  }
  case tktParameter: {
    const TTolvanVariant* V = ParamValue();
    const TTolvanValueType T = V->DataType();
    if (V->IsNull() || V->IsNumeric() || T == tvtBytes || V->IsString() || V->IsBlob())
      return ParamConstant(*V);
    return nullptr;
  }
  case tktQuotedString: {
    TTolvanVariant V(tvtString);
    V.SetAsString(FToken.Text);
    Node->SetValue(V);
    break;
  }
  default:
    return nullptr;
  }
  Advance();
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::FieldReference() {
  auto IsName = [this] {
    return (FToken.Kind == tktString && !IsSymbol()) || IsAnyKeyword(FToken) ||
           FToken.Kind == tktBracketedString || FToken.Kind == tktBackQuotedString;
  };
  if (!IsName())
    return nullptr;
  TToken Field = FToken;
  AnsiString Table;
  Advance();
  if (FToken.Kind == tktDot) {
    Advance();
    if (!IsName())
      return nullptr;
    Table = Field.Text;
    Field = FToken;
    Advance();
  }
  if (IsAnyKeyword(Field) || FToken.Kind == tktLeftParenthesis)
    return nullptr;
  return std::make_unique<TTolvanExprNodeField>(FOptions.Cursor, Field.Text, Table);
}

// Kind: 0 scalar, 1 IN (owning InValue), 2 EXISTS.
TTolvanExprParser::TNode TTolvanExprParser::SubQuery(int Kind, TNode InValue, bool Negated) {
  if (FToken.Kind != tktLeftParenthesis)
    return nullptr;
  TToken Next;
  FLexer.PeekToken(Next);
  if (!IsKeyword(Next, KeywordIdOf("SELECT")))
    return nullptr;
  Advance();
  // One blank before each token, none on either side of a dot ("t.c"), unless a number stands
  // beside the dot: "1." and ".5" would read back as numbers.
  AnsiString SQL;
  int32_t Depth = 1;
  TTokenType Previous = tktNone;
  for (;;) {
    if (AtEnd())
      return nullptr;
    if (FToken.Kind == tktLeftParenthesis)
      ++Depth;
    else if (FToken.Kind == tktRightParenthesis && --Depth == 0)
      break;
    const bool Joined = (FToken.Kind == tktDot || Previous == tktDot) &&
                        !IsNumberKind(FToken.Kind) && !IsNumberKind(Previous);
    if (!Joined)
      SQL.push_back(' ');
    AppendTokenText(SQL, FToken);
    Previous = FToken.Kind;
    Advance();
  }
  Advance();
  const TParams* Params = FOptions.Params;
  if (Kind == 1)
    return Checked(std::make_unique<TTolvanExprNodeSubQueryIN>(
        SQL, Params, FOptions.InMemory, FOptions.DatabaseName, FOptions.SessionName, Negated,
        std::move(InValue)));
  if (Kind == 2)
    return std::make_unique<TTolvanExprNodeSubQueryExists>(SQL, Params, FOptions.InMemory,
                                                           FOptions.DatabaseName,
                                                           FOptions.SessionName, Negated, nullptr);
  return std::make_unique<TTolvanExprNodeSubQuery>(SQL, Params, FOptions.InMemory,
                                                   FOptions.DatabaseName, FOptions.SessionName,
                                                   false, nullptr);
}

TTolvanExprParser::TNode TTolvanExprParser::ParenthesizedValue() {
  if (FToken.Kind != tktLeftParenthesis)
    return nullptr;
  TOLVAN_NEST();
  Advance();
  TNode Node = Value();
  if (!Node)
    return nullptr;
  ExpectClose(30071);
  return Node;
}

TTolvanExprParser::TNode TTolvanExprParser::AggregateOrMath() {
  if (Kw("COUNT")) {
    const int32_t Start = FLexer.GetPosition();
    Advance();
    if (FToken.Kind == tktLeftParenthesis) {
      Advance();
      if (Sym("*")) {
        Advance();
        ExpectClose(30073);
        return std::make_unique<TTolvanExprNodeAggregated>(eoCountStar);
      }
    }
    Restore(Start);
  }
  TTolvanExprOperator Op = eoNone;
  if (Kw("COUNT"))
    Op = eoCount;
  else if (Kw("AVG"))
    Op = eoAvg;
  else if (Kw("MAX"))
    Op = eoMax;
  else if (Kw("MIN"))
    Op = eoMin;
  else if (Kw("SUM"))
    Op = eoSum;
  if (Op == eoNone)
    return MathFunction();
  Advance();
  bool Distinct = Kw("DISTINCT");
  if (Distinct)
    Advance();
  ExpectOpen(30074);
  TOLVAN_NEST();
  if (Kw("DISTINCT")) {
    Distinct = true;
    Advance();
  }
  TNode Argument = Value();
  if (!Argument)
    RaiseArgument(30102, OperatorToText(Op));
  ExpectClose(30075);
  return Checked(std::make_unique<TTolvanExprNodeAggregated>(Op, Distinct, std::move(Argument)));
}

TTolvanExprParser::TNode TTolvanExprParser::StringExprBody() {
  TNode First = StringFactor();
  if (!First || !(Sym("||") || Sym("+")))
    return First;
  auto Node = std::make_unique<TTolvanExprNodeStringFunction>(eoConcat, true, false);
  Node->AddChild(std::move(First));
  while (Sym("||") || Sym("+")) {
    // An operator without a string factor after it is left to the caller.
    const int32_t Before = FLexer.GetPosition();
    Advance();
    TNode Next = StringFactor();
    if (!Next) {
      Restore(Before);
      break;
    }
    Node->AddChild(std::move(Next));
  }
  return Checked(std::move(Node));
}

TTolvanExprParser::TNode TTolvanExprParser::StringFactorBody() {
  if (TNode Node = PrimaryValue())
    return Node;
  return Attempt(&TTolvanExprParser::StringFunction);
}

TTolvanExprParser::TNode TTolvanExprParser::Cast() {
  if (!Kw("CAST"))
    return nullptr;
  Advance();
  if (FToken.Kind != tktLeftParenthesis)
    return nullptr;
  TOLVAN_NEST();
  Advance();
  TNode Node = ValueOrNull();
  if (!Node)
    return nullptr;
  if (FToken.Kind != tktComma && !Kw("AS"))
    return nullptr;
  Advance();
  if (AtEnd())
    RaisePlace(30063, SUnexpectedEndOfSqlCommand);
  const TTolvanFieldType Type = FieldTypeFromName(FToken.Text);
  if (!IsScalarFieldType(Type))
    throw ETolvanException::CreateFmt(30077, SCannotConvertExpressionToType, FToken.Text);
  Advance();
  ExpectClose(30076);
  return Checked(std::make_unique<TTolvanExprNodeCast>(std::move(Node), Type));
}

TTolvanExprParser::TNode TTolvanExprParser::IntegerFunction() {
  if (Kw("POS") || Kw("POSITION")) {
    Advance();
    ExpectOpen(30078);
    TOLVAN_NEST();
    TNode Sub = StringExpression();
    if (!Sub)
      RaiseArgument(30079, "POS");
    if (FToken.Kind != tktComma && !Kw("IN"))
      RaiseToken(30080, ",' or 'IN");
    Advance();
    TNode Text = StringExpression();
    if (!Text)
      RaiseArgument(30081, "POS");
    ExpectClose(30082);
    return Checked(std::make_unique<TTolvanExprNodeStringFunction>(eoPos, std::move(Sub),
                                                                   std::move(Text), true, false));
  }
  if (Kw("LENGTH")) {
    Advance();
    ExpectOpen(30083);
    TOLVAN_NEST();
    TNode Text = StringExpression();
    if (!Text)
      RaiseArgument(30085, "LENGTH");
    ExpectClose(30084);
    return Checked(
        std::make_unique<TTolvanExprNodeStringFunction>(eoLength, std::move(Text), true, false));
  }
  if (Kw("LASTAUTOINC"))
    return ParseLastAutoInc();
  if (Kw("ISNULL"))
    return IsNullFunction();
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::ParseLastAutoInc() {
  Advance();
  ExpectOpen(30086);
  bool Memory = false;
  if (Kw("MEMORY")) {
    Memory = true;
    Advance();
  }
  auto TakeName = [this] {
    if (AtEnd())
      RaisePlace(30063, SUnexpectedEndOfSqlCommand);
    AnsiString Name = FToken.Text;
    Advance();
    return Name;
  };
  AnsiString Database = FOptions.DatabaseName;
  AnsiString Table = TakeName();
  if (FToken.Kind != tktComma) {
    if (Release().LastAutoIncWithoutDatabase)
      RaiseToken(30334, ",");
    Database = Table;
    Table = TakeName();
    if (FToken.Kind != tktComma)
      RaiseToken(30334, ",");
  }
  Advance();
  AnsiString Field = TakeName();
  ExpectClose(30089);
  return std::make_unique<TTolvanExprNodeSystem>(eoLastAutoInc, Table, Field,
                                                 FOptions.InMemory || Memory, FOptions.SessionName,
                                                 Database);
}

TTolvanExprParser::TNode TTolvanExprParser::IsNullFunction() {
  Advance();
  if (FToken.Kind != tktLeftParenthesis)
    RaiseFound(11597, SOpeningParenthesisExpected);
  Advance();
  TOLVAN_NEST();
  TNode First = Value();
  if (!First)
    RaiseArgument(11598, "ISNULL");
  TNode Second;
  if (FToken.Kind == tktComma) {
    Advance();
    Second = Value();
    if (!Second)
      RaiseArgument(11598, "ISNULL");
  }
  if (FToken.Kind != tktRightParenthesis)
    RaisePlace(11599, SMissingClosingParenthesis);
  Advance();
  if (!Second)
    return Checked(std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction,
                                                                   std::move(First), true, false));
  return Checked(std::make_unique<TTolvanExprNodeIsNullFunction>(eoIsNullFunction, std::move(First),
                                                                 std::move(Second)));
}

TTolvanExprParser::TNode TTolvanExprParser::StringFunction() {
  TTolvanExprOperator Op = eoNone;
  if (Kw("UPPER"))
    Op = eoUpper;
  else if (Kw("LOWER"))
    Op = eoLower;
  else if (Kw("TRIM"))
    Op = eoTrim;
  else if (Kw("LTRIM"))
    Op = eoLTrim;
  else if (Kw("RTRIM"))
    Op = eoRTrim;
  if (Op != eoNone) {
    Advance();
    ExpectOpen(30090);
    TOLVAN_NEST();
    const TToken ArgumentToken = FToken;
    TNode Text = StringExpression();
    ExpectClose(30091);
    if (!Text) {
      // The message names what stood in the argument's place.
      AnsiString Found;
      int32_t Line, Column;
      MessagePlace(FLexer, ArgumentToken, Found, Line, Column);
      throw ETolvanException::CreateFmt(30092, SStringArgumentExpectedForFunction,
                                        AnsiString(OperatorToText(Op)), Found, Line, Column);
    }
    return Checked(
        std::make_unique<TTolvanExprNodeStringFunction>(Op, std::move(Text), true, false));
  }
  if (Kw("SUBSTRING")) {
    Advance();
    ExpectOpen(30098);
    TOLVAN_NEST();
    TNode Text = StringExpression();
    if (!Text)
      RaiseArgument(30099, "SUBSTRING");
    if (FToken.Kind != tktComma && !Kw("FROM"))
      RaiseToken(30100, ",' or 'from");
    Advance();
    TNode Start = Sum();
    if (!Start)
      RaiseArgument(30101, "SUBSTRING");
    TNode Length;
    if (FToken.Kind == tktComma || Kw("FOR")) {
      Advance();
      Length = Sum();
      if (!Length)
        RaiseArgument(30101, "SUBSTRING");
      ExpectClose(30104);
    } else {
      ExpectClose(30103);
    }
    return Checked(std::make_unique<TTolvanExprNodeStringFunction>(
        eoSubstring, std::move(Text), std::move(Start), std::move(Length), true, false));
  }
  if (Kw("TOSTRING")) {
    Advance();
    ExpectOpen(30093);
    TOLVAN_NEST();
    TNode Date = Value();
    if (!Date)
      RaiseArgument(30094, "TOSTRING");
    if (FToken.Kind != tktComma && !Kw("FROM"))
      RaiseToken(30095, ",' or 'FROM");
    Advance();
    if (FToken.Kind != tktQuotedString)
      RaiseFound(30096, SConstDateFormatExpected);
    const AnsiString Format = FToken.Text;
    Advance();
    ExpectClose(30097);
    return Checked(
        std::make_unique<TTolvanExprNodeDateFunction>(eoToString, std::move(Date), Format));
  }
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::ToBlob() {
  if (!Kw("TOBLOB"))
    return nullptr;
  Advance();
  ExpectOpen(11345);
  if (FToken.Kind != tktQuotedString)
    RaiseFound(11346, SConstBlobValueExpected);
  const AnsiString Text = FToken.Text;
  Advance();
  int32_t Format = 0; // MIME64
  if (FToken.Kind == tktComma) {
    Advance();
    if (Kw("HEX"))
      Format = 1;
    else if (!Kw("MIME64"))
      RaiseFound(11347, SBlobValueFormatExpected);
    Advance();
  }
  ExpectClose(11348);
  return std::make_unique<TTolvanExprNodeBLOBFunction>(eoToBlob, Text, Format);
}

TTolvanExprParser::TNode TTolvanExprParser::DateFunction() {
  if (Kw("SYSDATE") || Kw("NOW") || Kw("CURRENT_TIMESTAMP") || Kw("CURRENT_TIME") ||
      Kw("CURRENT_DATE")) {
    const TTolvanExprOperator Op =
        Kw("CURRENT_TIME") ? eoCurrentTime : Kw("CURRENT_DATE") ? eoCurrentDate : eoNow;
    Advance();
    return std::make_unique<TTolvanExprNodeDateFunction>(Op, true, false);
  }
  if (Kw("TODATE")) {
    Advance();
    ExpectOpen(30105);
    TOLVAN_NEST();
    TNode Text = StringExpression();
    if (!Text)
      RaiseArgument(30107, "ToDate");
    Expect(tktComma, 30108, ",");
    if (FToken.Kind != tktQuotedString)
      RaiseFound(30109, SConstDateFormatExpected);
    const AnsiString Format = FToken.Text;
    Advance();
    ExpectClose(30106);
    return Checked(std::make_unique<TTolvanExprNodeDateFunction>(eoToDate, std::move(Text), Format));
  }
  static constexpr struct {
    std::string_view Word;
    TTolvanExprOperator Op;
  } Parts[] = {{"YEAR", eoYear},           {"QUARTER", eoQuarter},   {"MONTH", eoMonth},
               {"DAY", eoDay},             {"WEEKDAY", eoWeekDay},   {"DAYOFWEEK", eoDayOfWeek},
               {"DAYNAME", eoDayName},     {"MONTHNAME", eoMonthName}, {"HOUR", eoHour},
               {"MINUTE", eoMinute},       {"SECOND", eoSecond},     {"MSECOND", eoMSecond}};
  auto PartOf = [&]() {
    for (const auto& P : Parts)
      if (Kw(P.Word))
        return P.Op;
    return eoNone;
  };
  TTolvanExprOperator Op = eoNone;
  if (Kw("EXTRACT")) {
    Advance();
    ExpectOpen(11601);
    TOLVAN_NEST();
    Op = PartOf();
    if (Op == eoNone)
      RaiseFound(30064, SUnexpectedTokenAtLine);
    Advance();
    if (FToken.Kind != tktComma && !Kw("FROM"))
      RaiseFound(11602, SFromOrCommaExpected);
    Advance();
    TNode Date = Value();
    if (!Date)
      RaiseArgument(11604, OperatorName(Op));
    ExpectClose(11605);
    return Checked(std::make_unique<TTolvanExprNodeDateFunction>(Op, std::move(Date), true, false));
  }
  Op = PartOf();
  if (Op != eoNone) {
    Advance();
    ExpectOpen(11603);
    TOLVAN_NEST();
    TNode Date = Value();
    if (!Date)
      RaiseArgument(11604, OperatorName(Op));
    ExpectClose(11605);
    return Checked(std::make_unique<TTolvanExprNodeDateFunction>(Op, std::move(Date), true, false));
  }
  if (FToken.Kind == tktParameter) {
    const TTolvanVariant* V = ParamValue();
    if (V->IsDateTime())
      return ParamConstant(*V);
  }
  return nullptr;
}

TTolvanExprParser::TNode TTolvanExprParser::MathFunction() {
  static constexpr struct {
    std::string_view Word;
    TTolvanExprOperator Op;
  } Functions[] = {{"ABS", eoAbs},       {"CEIL", eoCeil},     {"CEILING", eoCeil},
                   {"FLOOR", eoFloor},   {"MOD", eoMod},       {"POWER", eoPower},
                   {"POW", eoPower},     {"RANDOM", eoRandom}, {"RAND", eoRandom},
                   {"ROUND", eoRound},   {"SIGN", eoSign},     {"TRUNC", eoTrunc},
                   {"TRUNCATE", eoTrunc}, {"HEX", eoHex}};
  TTolvanExprOperator Op = eoNone;
  for (const auto& F : Functions)
    if (Kw(F.Word))
      Op = F.Op;
  if (Op == eoNone)
    return nullptr;
  const std::string Name = OperatorName(Op);
  Advance();
  if (Op == eoRandom && FToken.Kind != tktLeftParenthesis)
    return std::make_unique<TTolvanExprNodeArithmetic>(Op, true, false);
  if (FToken.Kind != tktLeftParenthesis)
    RaiseFound(11639, SOpeningParenthesisExpected);
  Advance();
  TOLVAN_NEST();
  TNode First = Value();
  if (!First)
    RaiseArgument(11640, Name);
  TNode Second;
  if (Op == eoMod || Op == eoPower) {
    if (FToken.Kind != tktComma)
      RaiseToken(11641, ",");
    Advance();
    Second = Value();
    if (!Second)
      RaiseArgument(11642, Name);
  } else if ((Op == eoRound || Op == eoTrunc || Op == eoHex) && FToken.Kind == tktComma) {
    Advance();
    Second = Value();
    if (!Second)
      RaiseArgument(11643, Name);
  }
  if (FToken.Kind != tktRightParenthesis)
    RaiseFound(11644, SClosingParenthesisExpected);
  Advance();
  return Checked(std::make_unique<TTolvanExprNodeArithmetic>(Op, std::move(First),
                                                             std::move(Second), true, false));
}

} // namespace tolvan
