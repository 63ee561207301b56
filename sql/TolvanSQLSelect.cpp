// TTolvanSQLSelect: the SELECT grammar and the operator tree built from it.
#include "sql/TolvanSQLSelect.h"

#include <climits>

#include "classlib/SysUtils.h"
#include "components/TolvanQuery.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExprParser.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanSQLGrammar.h"

namespace tolvan {

namespace {

// The value of an integer token when it is a whole number 0 .. Int32; false for anything else
// (a number the tokenizer took with letters, or one too large).
bool TokenInt32(const TToken& T, int32_t& Value) {
  if (T.Kind != tktInt || T.Text.empty())
    return false;
  int64_t V = 0;
  for (char C : T.Text) {
    if (C < '0' || C > '9')
      return false;
    V = V * 10 + (C - '0');
    if (V > INT32_MAX)
      return false;
  }
  Value = int32_t(V);
  return true;
}

std::unique_ptr<TTolvanExpression> CloneOrNil(const TTolvanExpression* E) {
  return E && !E->IsEmpty() ? E->Clone() : nullptr;
}

TTolvanFields ToFields(std::vector<TTolvanSelectListItem>& Items) {
  TTolvanFields F;
  for (TTolvanSelectListItem& I : Items)
    F.Add(std::move(I));
  return F;
}

} // namespace

// --- TTolvanTableReference -------------------------------------------------------------------

void TTolvanTableReference::MakeJoin(std::unique_ptr<TTolvanTableReference> Right,
                                     TTolvanJoinType Type, bool IsNatural,
                                     std::unique_ptr<TStringList> Using,
                                     std::unique_ptr<TTolvanExpression> On) {
  auto Left = std::make_unique<TTolvanTableReference>(std::move(*this));
  *this = TTolvanTableReference{};
  Kind = trkJoin;
  LeftItem = std::move(Left);
  RightItem = std::move(Right);
  JoinType = Type;
  Natural = IsNatural;
  UsingColumns = std::move(Using);
  OnCondition = std::move(On);
}

// --- construction --------------------------------------------------------------------------------

TTolvanSQLSelect::TTolvanSQLSelect(TTolvanLexer& Lexer, TTolvanQuery& Query)
    : TTolvanSQLCursorCommand(Lexer, Query) {}

TTolvanSQLSelect::~TTolvanSQLSelect() {
  FTempObjects.clear();
  FSelectItems.clear();
}

void TTolvanSQLSelect::FreeTempObjects() {
  while (!FTempObjects.empty()) {
    std::shared_ptr<void> Object = std::move(FTempObjects.back());
    FTempObjects.pop_back();
    if (!Object)
      throw ETolvanException::Create(ErrSQLNilTempObject, SNilPointerOccurred);
  }
}

void TTolvanSQLSelect::FreeSelectExpressions() noexcept { FSelectItems.clear(); }

// --- token helpers
// --------------------------------------------------------------------------------

bool TTolvanSQLSelect::AtKw(const char* Word) const { return AtWord(Word); }

void TTolvanSQLSelect::RequireToken() const {
  // Past the end the token keeps the last token's place.
  if (FToken.Kind == tktNone)
    throw ETolvanException::CreateFmt(ErrSQLUnexpectedEnd, SUnexpectedEndOfSqlCommand, FToken.Line,
                                      FToken.Column);
}

void TTolvanSQLSelect::Advance() { ReadNextToken(0, ErrSQLUnexpectedEnd); }

std::unique_ptr<TTolvanExpression> TTolvanSQLSelect::ParseConditionHere() {
  RequireToken();
  std::unique_ptr<TTolvanExpression> E = NewQueryExpression();
  E->ParseCondition(Lexer());
  CurrentToken();
  if (!FSelectStar)
    E->ResolveSelectAliases(FSelectItems, int32_t(FSelectItems.size()) - 1);
  return E;
}

// --- Parse
// ------------------------------------------------------------------------------------------

void TTolvanSQLSelect::Parse() {
  CurrentToken();
  // SELECT
  Advance();
  if (AtKw("ALL")) {
    Advance();
  } else if (AtKw("DISTINCT")) {
    FDistinct = true;
    Advance();
  }
  if (AtKw("TOP"))
    ParseTop();
  ParseSelectList();
  if (AtKw("INTO"))
    ParseInto();
  ParseFrom();
  RefuseLateInto();
  if (AtKw("WHERE"))
    ParseWhere();
  RefuseLateInto();
  if (AtKw("GROUP"))
    ParseGroupBy();
  RefuseLateInto();
  if (AtKw("HAVING"))
    ParseHaving();
  RefuseLateInto();
  if (AtKw("ORDER"))
    ParseOrderBy();
  RefuseLateInto();
  CollectParsedParams(FParamNodes);
}

void TTolvanSQLSelect::CollectParsedParams(std::vector<TTolvanExprNodeConst*>& List) {
  for (TTolvanSelectListItem& I : FSelectItems)
    if (I.Expression)
      I.Expression->CollectParams(List);
  for (std::unique_ptr<TTolvanTableReference>& Item : FFromItems)
    CollectOnParams(*Item, List);
  if (FWhere)
    FWhere->CollectParams(List);
  if (FHaving)
    FHaving->CollectParams(List);
}

void TTolvanSQLSelect::CollectOnParams(TTolvanTableReference& Item,
                                       std::vector<TTolvanExprNodeConst*>& List) {
  if (Item.OnCondition)
    Item.OnCondition->CollectParams(List);
  if (Item.LeftItem)
    CollectOnParams(*Item.LeftItem, List);
  if (Item.RightItem)
    CollectOnParams(*Item.RightItem, List);
}

bool TTolvanSQLSelect::HasDerivedTable() const {
  for (const std::unique_ptr<TTolvanTableReference>& Item : FFromItems)
    if (HoldsDerivedTable(*Item))
      return true;
  return false;
}

bool TTolvanSQLSelect::HoldsDerivedTable(const TTolvanTableReference& Item) {
  return Item.Kind == trkDerivedTable || (Item.LeftItem && HoldsDerivedTable(*Item.LeftItem)) ||
         (Item.RightItem && HoldsDerivedTable(*Item.RightItem));
}

// INTO anywhere after FROM would otherwise be left unread, and the rows not written.
void TTolvanSQLSelect::RefuseLateInto() const {
  if (AtKw("INTO"))
    throw ETolvanException::CreateFmt(ErrSQLIntoAfterFrom, SIntoBeforeFrom, FToken.Line,
                                      FToken.Column);
}

void TTolvanSQLSelect::ParseTop() {
  // Numbers outside Int32 are refused rather than wrapped into a count that means something
  // else.
  ReadNextToken(TokenKinds({tktInt}), ErrSQLTopCountExpected, SIntegerExpected);
  if (!TokenInt32(FToken, FTopRowCount))
    RaiseAtToken(ErrSQLTopCountExpected, SIntegerExpected);
  Advance();
  if (FToken.Kind != tktComma)
    return;
  ReadNextToken(TokenKinds({tktInt}), ErrSQLTopStartExpected, SIntegerExpected);
  if (!TokenInt32(FToken, FTopStartRow))
    RaiseAtToken(ErrSQLTopStartExpected, SIntegerExpected);
  Advance();
}

void TTolvanSQLSelect::ParseSelectList() {
  RequireToken();
  if (FToken.Text == "*") {
    FSelectStar = true;
    NextToken();
    return;
  }
  for (;;) {
    ParseSelectItem();
    if (FToken.Kind != tktComma)
      return;
    Advance();
  }
}

bool TTolvanSQLSelect::ParseAllFieldsItem() {
  if (!HasKind(NameOrKeywordKinds, FToken.Kind))
    return false;
  const int32_t Start = Lexer().GetPosition();
  TToken Dot;
  TToken Star;
  Lexer().NextToken(Dot);
  Lexer().NextToken(Star);
  if (Dot.Kind != tktDot || Star.Kind != tktString || Star.Text != "*") {
    Lexer().SetPosition(Start, FToken);
    return false;
  }
  TTolvanSelectListItem Item;
  Item.TableName = FToken.Text;
  Item.FieldName = "*";
  Item.AllFields = true;
  FSelectItems.push_back(std::move(Item));
  NextToken();
  return true;
}

void TTolvanSQLSelect::ParseSelectItem() {
  RequireToken();
  if (ParseAllFieldsItem())
    return;
  std::unique_ptr<TTolvanExpression> E = NewQueryExpression();
  E->ParseValue(Lexer());
  CurrentToken();
  if (E->IsEmpty()) {
    RequireToken();
    RaiseAtToken(ErrSQLExpressionExpected, SExpressionExpected);
  }
  TTolvanSelectListItem Item;
  if (AtKw("AS")) {
    ReadNextToken(NameKinds, ErrSQLAliasExpected, SFieldPseudonymExpected);
    Item.Alias = FToken.Text;
    NextToken();
  } else if (HasKind(NameKinds, FToken.Kind)) {
    Item.Alias = FToken.Text;
    NextToken();
  }
  if (E->IsField()) {
    E->GetFieldName(Item.FieldName, Item.TableName);
    Item.AllFields = Item.FieldName == "*";
  } else {
    Item.IsExpression = true;
    Item.Expression = std::move(E);
  }
  FSelectItems.push_back(std::move(Item));
}

void TTolvanSQLSelect::ParseInto() { SQLGrammar->ParseSelectInto(*this); }

void TTolvanSQLSelect::ParseFrom() {
  RequireToken();
  if (!AtKw("FROM"))
    RaiseExpected(ErrSQLFromExpected, "FROM");
  const TTokenKinds First = NameKinds | TokenKinds({tktReservedWord, tktLeftParenthesis});
  ReadNextToken(First, ErrSQLFromTableExpected, STableNameExpected);
  for (;;) {
    auto Item = std::make_unique<TTolvanTableReference>();
    ParseTableReference(*Item, 0);
    FFromItems.push_back(std::move(Item));
    if (FToken.Kind != tktComma)
      return;
    ReadNextToken(First, ErrSQLNextTableExpected, STableNameExpected);
  }
}

void TTolvanSQLSelect::ParseWhere() {
  Advance();
  FWhere = ParseConditionHere();
}

void TTolvanSQLSelect::ParseGroupBy() {
  NextToken();
  RequireToken();
  if (!AtKw("BY"))
    RaiseExpected(ErrSQLGroupByExpected, "BY");
  Advance();
  ParseFieldList(FGroupBy);
}

void TTolvanSQLSelect::ParseHaving() {
  Advance();
  FHaving = ParseConditionHere();
}

void TTolvanSQLSelect::ParseOrderBy() { ParseOrderByClause(*this, FOrderBy, FOrderByIndexName); }

namespace {

void ParseSortItem(TTolvanSQLCommand& C, std::vector<TTolvanSortSpecification>& Items) {
  if (!C.AtKind(NameKinds | TokenKinds({tktInt, tktReservedWord})))
    C.RaiseAtToken(ErrSQLSortFieldExpected, SFieldNameExpected);
  TTolvanSortSpecification S;
  if (C.Token().Kind == tktInt) {
    // Column 0 marks a number outside 1 .. Int32; the text stays for the message.
    int32_t N = 0;
    S.ColumnNumber = TokenInt32(C.Token(), N) ? N : 0;
    if (S.ColumnNumber == 0)
      S.FieldName = C.Token().Text;
    C.NextToken();
  } else {
    S.FieldName = C.Token().Text;
    C.NextToken();
    if (C.Token().Kind == tktDot) {
      S.TableName = S.FieldName;
      C.ReadNextToken(NameOrKeywordKinds, ErrSQLSortFieldToken, SUnexpectedTokenAtLine);
      S.FieldName = C.Token().Text;
      C.NextToken();
    }
  }
  if (C.AtWord("ASC")) {
    C.NextToken();
  } else if (C.AtWord("DESC")) {
    S.Descending = true;
    C.NextToken();
  }
  if (C.AtWord("NOCASE")) {
    S.CaseInsensitive = true;
    C.NextToken();
  }
  Items.push_back(std::move(S));
}

} // namespace

void ParseOrderByClause(TTolvanSQLCommand& C, std::vector<TTolvanSortSpecification>& Items,
                        AnsiString& IndexName) {
  C.NextToken();
  if (C.Token().Kind == tktNone)
    throw ETolvanException::CreateFmt(ErrSQLUnexpectedEnd, SUnexpectedEndOfSqlCommand,
                                      C.Token().Line, C.Token().Column);
  if (!C.AtWord("BY"))
    C.RaiseExpected(ErrSQLOrderByExpected, "BY");
  C.ReadNextToken(0, ErrSQLUnexpectedEnd);
  if (C.AtWord("INDEX")) {
    C.ReadNextToken(NameKinds, ErrSQLOrderIndexToken, SUnexpectedTokenAtLine);
    IndexName = C.Token().Text;
    C.NextToken();
    return;
  }
  for (;;) {
    ParseSortItem(C, Items);
    if (C.Token().Kind != tktComma)
      return;
    C.ReadNextToken(NameKinds | TokenKinds({tktInt, tktReservedWord}), ErrSQLSortItemToken,
                    SUnexpectedTokenAtLine);
  }
}

void TTolvanSQLSelect::CheckSortNumbers(std::span<const TTolvanSortSpecification> Items,
                                        int32_t Visible) {
  for (const TTolvanSortSpecification& S : Items) {
    if (S.ColumnNumber != 0)
      continue;
    int64_t N = 0;
    const int64_t FieldNo = TryStrToInt64(S.FieldName, N) ? N - 1 : INT64_MAX;
    throw ETolvanException::CreateFmt(ErrAOOrderByFieldNo, SInvalidOrderByFieldNumber, FieldNo,
                                      Visible);
  }
}

// --- FROM
// ---------------------------------------------------------------------------------------------

bool TTolvanSQLSelect::ParseTableReference(TTolvanTableReference& Item, int32_t Depth,
                                           bool WithJoins) {
  if (FToken.Kind == tktNone)
    return false;
  if (HasKind(NameOrKeywordKinds, FToken.Kind)) {
    ParseTable(Item);
  } else if (FToken.Kind == tktLeftParenthesis) {
    TToken Next;
    Lexer().PeekToken(Next);
    if (IsKeyword(Next, KeywordIdOf("SELECT"))) {
      ParseDerivedTable(Item);
    } else {
      if (Depth + 1 >= MaxExprDepth)
        throw ETolvanException::CreateFmt(ErrExprTooDeep, SExpressionTooDeeplyNested, FToken.Line,
                                          FToken.Column);
      Advance();
      if (!ParseTableReference(Item, Depth + 1))
        RaiseAtToken(ErrSQLParenthesisedReference, SFieldNameExpected);
      if (FToken.Kind == tktRightParenthesis)
        NextToken();
    }
  } else {
    return false;
  }
  if (WithJoins)
    ParseJoins(Item, Depth);
  return true;
}

void TTolvanSQLSelect::ParseTable(TTolvanTableReference& Item) {
  const bool Memory = AtKw("MEMORY");
  if (Memory)
    Advance();
  Item.TableName = FToken.Text;
  NextToken();
  if (FToken.Kind == tktDot) {
    Item.DatabaseName = Item.TableName;
    ReadNextToken(NameOrKeywordKinds, ErrSQLFromTableExpected, STableNameExpected);
    Item.TableName = FToken.Text;
    NextToken();
  }
  if (AtKw("AS")) {
    ReadNextToken(NameKinds, ErrSQLTableAliasExpected, SFieldPseudonymExpected);
    Item.Alias = FToken.Text;
    NextToken();
  } else if (HasKind(NameKinds, FToken.Kind)) {
    Item.Alias = FToken.Text;
    NextToken();
  }
  if (AtKw("PASSWORD")) {
    ReadNextToken(TokenKinds({tktQuotedString}), ErrSQLPasswordExpected, SQuotedPasswordExpected);
    Item.Password = FToken.Text;
    NextToken();
  }
  Item.Kind = trkTable;
  ApplyTableSource(Item, Memory);
}

void TTolvanSQLSelect::ApplyTableSource(TTolvanTableReference& Item, bool MemoryGiven) {
  SQLGrammar->ApplyTableSource(Item, MemoryGiven, Query());
}

void TTolvanSQLSelect::ParseDerivedTable(TTolvanTableReference& Item) {
  // "(" then SELECT: the statement is rebuilt from its tokens, each in the form the tokenizer
  // reads back as the same token, up to the ")" that closes the first "(".
  NextToken();
  AnsiString SQL = FToken.Text;
  if (!NextToken())
    throw ETolvanException::CreateFmt(ErrSQLSubQueryEmpty, SErrorParsingSubquery, SQL);
  int32_t Depth = 1;
  for (;;) {
    if (FToken.Kind == tktLeftParenthesis) {
      ++Depth;
    } else if (FToken.Kind == tktRightParenthesis && --Depth == 0) {
      break;
    }
    SQL += ' ';
    AppendTokenText(SQL, FToken);
    if (!NextToken())
      throw ETolvanException::CreateFmt(ErrSQLSubQueryUnclosed, SMissingClosingParenthesis,
                                        FToken.Line, FToken.Column);
  }
  const int32_t Line = FToken.Line, Column = FToken.Column;
  if (!NextToken())
    throw ETolvanException::CreateFmt(ErrSQLSubQueryEnd, SMissingClosingParenthesis, Line, Column);
  TTolvanQuery& Q = Query();
  Item.Kind = trkDerivedTable;
  Item.SubQuery = std::move(SQL);
  Item.DatabaseName = Q.DatabaseName();
  Item.SessionName = Q.SessionName();
  Item.InMemory = Q.InMemory();
  if (Q.Params().Count() > 0) {
    Item.Params = std::make_unique<TParams>();
    Item.Params->Assign(Q.Params());
  }
  if (AtKw("AS")) {
    ReadNextToken(NameKinds, ErrSQLSubQueryAliasExpected, SFieldPseudonymExpected);
    Item.Alias = FToken.Text;
    NextToken();
  } else if (HasKind(NameKinds, FToken.Kind)) {
    Item.Alias = FToken.Text;
    NextToken();
  }
}

void TTolvanSQLSelect::ParseJoins(TTolvanTableReference& Item, int32_t Depth) {
  while (IsAnyKeyword(FToken)) {
    TTolvanJoinType Type = jtInner;
    bool Natural = false;
    bool Keyword = false;
    const TTokenKinds Word = TokenKinds({tktReservedWord});
    if (AtKw("CROSS")) {
      Type = jtCross;
      Keyword = true;
      ReadNextToken(Word, ErrSQLCrossToken, SUnexpectedTokenAtLine);
    } else {
      if (AtKw("NATURAL")) {
        Natural = Keyword = true;
        ReadNextToken(Word, ErrSQLNaturalToken, SUnexpectedTokenAtLine);
      }
      bool Kind = true;
      if (AtKw("INNER")) {
        ReadNextToken(Word, ErrSQLInnerToken, SUnexpectedTokenAtLine);
      } else if (AtKw("LEFT")) {
        Type = jtLeftOuter;
        ReadNextToken(Word, ErrSQLLeftToken, SUnexpectedTokenAtLine);
      } else if (AtKw("RIGHT")) {
        Type = jtRightOuter;
        ReadNextToken(Word, ErrSQLRightToken, SUnexpectedTokenAtLine);
      } else if (AtKw("FULL")) {
        Type = jtFullOuter;
        ReadNextToken(Word, ErrSQLFullToken, SUnexpectedTokenAtLine);
      } else {
        Kind = false;
      }
      Keyword = Keyword || Kind;
      if (Kind && AtKw("OUTER"))
        ReadNextToken(Word, ErrSQLOuterToken, SUnexpectedTokenAtLine);
    }
    if (!AtKw("JOIN")) {
      if (!Keyword)
        return;
      RaiseExpected(ErrSQLJoinExpected, "JOIN");
    }
    Advance();
    auto Right = std::make_unique<TTolvanTableReference>();
    if (!ParseTableReference(*Right, Depth, false))
      RaiseAtToken(ErrSQLJoinTableExpected, STableNameExpected);
    std::unique_ptr<TStringList> Using;
    std::unique_ptr<TTolvanExpression> On;
    if (AtKw("ON")) {
      Advance();
      On = ParseConditionHere();
    } else if (AtKw("USING")) {
      NextToken();
      RequireToken();
      if (FToken.Kind != tktLeftParenthesis)
        RaiseExpected(ErrSQLUsingParenthesis, "(");
      Advance();
      ParseFieldNames(Using);
      if (FToken.Kind == tktRightParenthesis)
        NextToken();
    }
    Item.MakeJoin(std::move(Right), Type, Natural, std::move(Using), std::move(On));
    if (!(AtKw("CROSS") || AtKw("NATURAL") || AtKw("INNER") || AtKw("LEFT") || AtKw("RIGHT") ||
          AtKw("FULL") || AtKw("OUTER") || AtKw("JOIN")))
      return;
  }
}

// --- BuildAlgebra
// ---------------------------------------------------------------------------------------

struct TTolvanSQLSelect::TBuild {
  TTolvanQuery& Query;
  // The working copy of WHERE: join pairs and pushed conjuncts leave it.
  std::unique_ptr<TTolvanExpression> Where;
};

bool TTolvanSQLSelect::NeedsGrouping() {
  if (FGroupBy.Count() > 0)
    return true;
  if (FSelectStar)
    return false;
  for (TTolvanSelectListItem& I : FSelectItems)
    if (I.Expression && I.Expression->HasAggregate())
      return true;
  return false;
}

std::unique_ptr<TTolvanAO> TTolvanSQLSelect::BuildLeaf(TBuild& B,
                                                       const TTolvanTableReference& Item) {
  // A derived table takes the query's parameters as they are now: a tree built again later
  // sees the values of that time, not those of the parse.
  const TParams* Params = B.Query.Params().Count() > 0 ? &B.Query.Params() : Item.Params.get();
  const AnsiString& Database =
      Item.DatabaseName.empty() ? B.Query.DatabaseName() : Item.DatabaseName;
  auto Leaf = std::make_unique<TTolvanAOTable>(Database, Item.SessionName, Item.TableName,
                                               Item.Alias, Item.SubQuery, Params, Item.InMemory,
                                               FRequestLive, Item.Password);
  Leaf->SetSubQueryConditionsToSource(FChangeTarget);
  return Leaf;
}

std::unique_ptr<TTolvanAO> TTolvanSQLSelect::BuildJoin(TBuild& B, const TTolvanTableReference& Item,
                                                       bool NullSupplying) {
  const TTolvanJoinType Type = Item.JoinType;
  const bool Outer = Type == jtLeftOuter || Type == jtRightOuter || Type == jtFullOuter;
  // Each side that an outer join may fill with nulls keeps WHERE out of its own joins: WHERE
  // applies after the outer join.
  std::unique_ptr<TTolvanAO> Left =
      BuildFrom(B, *Item.LeftItem, NullSupplying || Type == jtRightOuter || Type == jtFullOuter);
  std::unique_ptr<TTolvanAO> Right =
      BuildFrom(B, *Item.RightItem, NullSupplying || Type == jtLeftOuter || Type == jtFullOuter);
  std::unique_ptr<TTolvanExpression> On = CloneOrNil(Item.OnCondition.get());
  std::vector<TTolvanSelectListItem> First, Second;
  if (!Item.Natural && Type != jtCross) {
    if (Item.UsingColumns) {
      for (int32_t I = 0; I < Item.UsingColumns->Count(); ++I) {
        const AnsiString& Column = Item.UsingColumns->Strings(I);
        TTolvanSelectListItem L, R;
        L.TableName = Item.LeftItem->QualifierName();
        L.FieldName = Column;
        R.TableName = Item.RightItem->QualifierName();
        R.FieldName = Column;
        First.push_back(std::move(L));
        Second.push_back(std::move(R));
      }
    } else {
      if (On)
        On->ExtractJoinFields(Left.get(), Right.get(), First, Second);
      if (Type == jtInner && !NullSupplying && B.Where)
        B.Where->ExtractJoinFields(Left.get(), Right.get(), First, Second);
    }
  }
  TTolvanFields LeftFields = ToFields(First);
  TTolvanFields RightFields = ToFields(Second);
  const bool HasPairs = LeftFields.Count() > 0;
  auto Join = std::make_unique<TTolvanAOJoin>(std::move(Left), std::move(Right), Type, Item.Natural,
                                              HasPairs ? &LeftFields : nullptr,
                                              HasPairs ? &RightFields : nullptr);
  if (On && !On->IsEmpty()) {
    // An outer join's ON decides which rows match; pushed like WHERE it would drop rows of the
    // preserved side or the null-extended ones.
    if (Outer)
      Join->SetMatchCondition(std::move(On));
    else
      On->PushConditionsToAO(Join.get(), false);
    if (On && !On->IsEmpty())
      throw ETolvanException::Create(ErrSQLSearchConditionNotApplicable,
                                     SSearchConditionNotApplicable);
  }
  return Join;
}

std::unique_ptr<TTolvanAO> TTolvanSQLSelect::BuildFrom(TBuild& B, const TTolvanTableReference& Item,
                                                       bool NullSupplying) {
  if (Item.Kind == trkJoin)
    return BuildJoin(B, Item, NullSupplying);
  return BuildLeaf(B, Item);
}

std::unique_ptr<TTolvanAO> TTolvanSQLSelect::BuildAlgebra(TTolvanQuery& Query) {
  TBuild B{Query, CloneOrNil(FWhere.get())};
  std::unique_ptr<TTolvanAO> Tree;
  for (const std::unique_ptr<TTolvanTableReference>& Item : FFromItems) {
    std::unique_ptr<TTolvanAO> Next = BuildFrom(B, *Item, false);
    if (!Tree) {
      Tree = std::move(Next);
      continue;
    }
    std::vector<TTolvanSelectListItem> First, Second;
    if (B.Where)
      B.Where->ExtractJoinFields(Tree.get(), Next.get(), First, Second);
    TTolvanFields LeftFields = ToFields(First);
    TTolvanFields RightFields = ToFields(Second);
    const bool HasPairs = LeftFields.Count() > 0;
    Tree = std::make_unique<TTolvanAOJoin>(
        std::move(Tree), std::move(Next), HasPairs ? jtInner : jtCross, false,
        HasPairs ? &LeftFields : nullptr, HasPairs ? &RightFields : nullptr);
  }
  if (!Tree)
    throw ETolvanException::CreateFmt(ErrSQLFromTableExpected, STableNameExpected, "", 0, 0);
  const bool Grouping = NeedsGrouping();
  if (B.Where)
    B.Where->PushConditionsToAO(Tree.get(), false);
  if (Grouping)
    Tree = std::make_unique<TTolvanAOGroupBy>(std::move(Tree), &FGroupBy);
  if (FTopRowCount >= 0)
    Tree->SetTop(FTopStartRow, FTopRowCount);
  std::vector<TTolvanSelectListItem> Items;
  if (!FSelectStar) {
    Items.reserve(FSelectItems.size());
    for (const TTolvanSelectListItem& I : FSelectItems)
      Items.push_back(CopySelectListItem(I));
  }
  Tree->SetSelectList(Items, FSelectStar ? -1 : int32_t(Items.size()) - 1, FDistinct);
  if (Grouping && FHaving && !FHaving->IsEmpty()) {
    std::unique_ptr<TTolvanExpression> Having = FHaving->Clone();
    Having->PushConditionsToAO(Tree.get(), true);
    if (!Having->IsEmpty())
      throw ETolvanException::Create(ErrSQLSearchConditionNotApplicable,
                                     SSearchConditionNotApplicable);
  }
  if (!FOrderBy.empty()) {
    CheckSortNumbers(FOrderBy, Tree->VisibleFields().Count());
    Tree->SetOrderBy(FOrderBy, "");
  } else if (!FOrderByIndexName.empty()) {
    Tree->SetOrderBy({}, FOrderByIndexName);
  }
  if (B.Where) {
    B.Where->PushConditionsToAO(Tree.get(), false);
    if (!B.Where->IsEmpty())
      throw ETolvanException::Create(ErrSQLSearchConditionNotApplicable,
                                     SSearchConditionNotApplicable);
  }
  return Tree;
}

} // namespace tolvan
