// TolvanSQLSelect.h: one SELECT of a query expression (TTolvanSQLSelect) and its FROM items
// (TTolvanTableReference).
//
// Parse reads the clauses in a fixed order, each at most once: SELECT [ALL | DISTINCT]
// [TOP n [, start]] list [INTO table] FROM references [WHERE c] [GROUP BY fields] [HAVING c]
// [ORDER BY INDEX name | ORDER BY items]; tokens after the last clause are left to the query
// expression. BuildAlgebra turns the parsed clauses into a tree of relational operators:
//
//   FROM      table and derived-table leaves; explicit joins with their USING or ON pairs;
//             comma-separated items as a left-deep chain, inner on the WHERE equalities between
//             them, else cross. WHERE equalities become the pairs of explicit inner joins too,
//             never of outer ones: WHERE applies after an outer join. An outer join's ON
//             remainder decides which rows match (the join's match condition); it never drops
//             rows of the preserved side.
//   grouping  GROUP BY fields, or an aggregate in the select list; HAVING applies only then.
//   then      TOP, the select list, HAVING, ORDER BY; WHERE conjuncts no operator can take
//             (a correlated reference) raise 30144.
//
// BuildAlgebra works on copies of the parsed expressions, so the command can build its tree
// again.
//
// Ownership: the SELECT owns its select items, FROM items, WHERE, GROUP BY, HAVING and its
// temporary objects; a FROM item owns its children, USING list, ON condition and parameter copy.
// The lexer is borrowed for the parse only.
//
// Threads: a command serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "classlib/DBParams.h"
#include "classlib/StringList.h"
#include "schema/expr/TolvanExprServices.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanFieldLinks.h"
#include "sql/TolvanSQLUnion.h"

namespace tolvan {

// Native codes of the SELECT grammar.
inline constexpr int32_t ErrSQLSearchConditionNotApplicable = 30144;
inline constexpr int32_t ErrSQLTopCountExpected = 30158;
inline constexpr int32_t ErrSQLTopStartExpected = 30159;
inline constexpr int32_t ErrSQLExpressionExpected = 30160;
inline constexpr int32_t ErrSQLAliasExpected = 30162;
inline constexpr int32_t ErrSQLIntoTableExpected = 30165;
inline constexpr int32_t ErrSQLUsingParenthesis = 30167;
inline constexpr int32_t ErrSQLCrossToken = 30168;
inline constexpr int32_t ErrSQLNaturalToken = 30169;
inline constexpr int32_t ErrSQLInnerToken = 30170;
inline constexpr int32_t ErrSQLLeftToken = 30171;
inline constexpr int32_t ErrSQLRightToken = 30172;
inline constexpr int32_t ErrSQLFullToken = 30173;
inline constexpr int32_t ErrSQLOuterToken = 30174;
inline constexpr int32_t ErrSQLJoinExpected = 30175;
inline constexpr int32_t ErrSQLJoinTableExpected = 30176;
inline constexpr int32_t ErrSQLTableAliasExpected = 30177;
inline constexpr int32_t ErrSQLPasswordExpected = 30178;
inline constexpr int32_t ErrSQLParenthesisedReference = 30179;
inline constexpr int32_t ErrSQLFromTableExpected = 30180;
inline constexpr int32_t ErrSQLNextTableExpected = 30181;
inline constexpr int32_t ErrSQLFromExpected = 30184;
inline constexpr int32_t ErrSQLGroupByExpected = 30185;
inline constexpr int32_t ErrSQLSortFieldToken = 30186;
inline constexpr int32_t ErrSQLSortFieldExpected = 30187;
inline constexpr int32_t ErrSQLOrderByExpected = 30188;
inline constexpr int32_t ErrSQLSortItemToken = 30189;
inline constexpr int32_t ErrSQLOrderIndexToken = 11244;
inline constexpr int32_t ErrSQLIntoAfterFrom = 11337;
inline constexpr int32_t ErrSQLSubQueryEmpty = 11656;
inline constexpr int32_t ErrSQLSubQueryUnclosed = 11657;
inline constexpr int32_t ErrSQLSubQueryEnd = 11658;
inline constexpr int32_t ErrSQLSubQueryAliasExpected = 11659;
inline constexpr int32_t ErrSQLNilTempObject = 10681;

enum TTolvanTableReferenceKind : uint8_t { trkTable = 0, trkJoin = 1, trkDerivedTable = 2 };

// One FROM item: a table, a derived table (a sub-query in FROM) or a join of two items.
struct TTolvanTableReference {
  TTolvanTableReferenceKind Kind = trkTable;
  AnsiString SessionName;
  AnsiString DatabaseName;
  AnsiString TableName;
  // A derived table's statement, rebuilt from its tokens.
  AnsiString SubQuery;
  // A derived table's copy of the owner query's parameters; nil when it has none.
  std::unique_ptr<TParams> Params;
  AnsiString Alias;
  AnsiString Password;
  bool InMemory = false;
  bool Natural = false;
  TTolvanJoinType JoinType = jtCross;
  std::unique_ptr<TTolvanTableReference> LeftItem;
  std::unique_ptr<TTolvanTableReference> RightItem;
  std::unique_ptr<TStringList> UsingColumns;
  std::unique_ptr<TTolvanExpression> OnCondition;

  // Turns the item into a join node in place: a new item takes over all its fields and becomes
  // the left item, Right the right item.
  void MakeJoin(std::unique_ptr<TTolvanTableReference> Right, TTolvanJoinType Type, bool IsNatural,
                std::unique_ptr<TStringList> Using, std::unique_ptr<TTolvanExpression> On);
  // The name a column of this item is qualified with: the alias, else the table name.
  const AnsiString& QualifierName() const noexcept { return Alias.empty() ? TableName : Alias; }
};

class TTolvanSQLSelect : public TTolvanSQLCursorCommand {
public:
  TTolvanSQLSelect(TTolvanLexer& Lexer, TTolvanQuery& Query);
  ~TTolvanSQLSelect() override;

  void Parse() override;
  void PrepareTempObjects() override {}
  // Frees every temporary object; a nil entry raises 10681.
  void FreeTempObjects() override;
  std::unique_ptr<TTolvanAO> BuildAlgebra(TTolvanQuery& Query) override;
  // Frees the select items' expressions and empties the select list.
  void FreeSelectExpressions() noexcept;
  bool HasDerivedTable() const override;
  // Appends the parameter constants of the parsed expressions (select items, ON, WHERE,
  // HAVING): a tree built from them takes their values.
  void CollectParsedParams(std::vector<TTolvanExprNodeConst*>& List);

  // The SELECT names the records an UPDATE or DELETE changes: its table leaves answer
  // sub-query conditions in the scan, so the result stays the table itself.
  void SetChangeTarget(bool Value) noexcept { FChangeTarget = Value; }

  // Objects that live until FreeTempObjects.
  void AddTempObject(std::shared_ptr<void> Object) { FTempObjects.push_back(std::move(Object)); }

  // --- parsed state ---------------------------------------------------------------------------

  bool Distinct() const noexcept { return FDistinct; }
  int32_t TopRowCount() const noexcept { return FTopRowCount; }
  int32_t TopStartRow() const noexcept { return FTopStartRow; }
  bool SelectStar() const noexcept { return FSelectStar; }
  std::vector<TTolvanSelectListItem>& SelectItems() noexcept { return FSelectItems; }
  std::vector<std::unique_ptr<TTolvanTableReference>>& FromItems() noexcept { return FFromItems; }
  TTolvanExpression* Where() const noexcept { return FWhere.get(); }
  TTolvanFields& GroupBy() noexcept { return FGroupBy; }
  TTolvanExpression* Having() const noexcept { return FHaving.get(); }
  std::vector<TTolvanSortSpecification>& OrderBy() noexcept { return FOrderBy; }
  const AnsiString& OrderByIndexName() const noexcept { return FOrderByIndexName; }
  void SetOrderByIndexName(std::string_view Value) { FOrderByIndexName = Value; }
  // Whether an INTO clause was read.
  bool HasInto() const noexcept { return !FIntoTableName.empty(); }

  // Raises 11666 for an ORDER BY column number outside 1 .. Int32 (written as a number the
  // sort item could not hold), counting Visible columns.
  static void CheckSortNumbers(std::span<const TTolvanSortSpecification> Items, int32_t Visible);

private:
  // --- clauses --------------------------------------------------------------------------------
  void ParseTop();
  void ParseSelectList();
  void ParseSelectItem();
  // table.* as a select item; false (nothing read) for anything else.
  bool ParseAllFieldsItem();
  void ParseInto();
  void ParseFrom();
  void ParseWhere();
  void ParseGroupBy();
  void ParseHaving();
  void ParseOrderBy();
  void RefuseLateInto() const;

  // --- FROM -------------------------------------------------------------------------------------
  // A table reference at the current token into Item; false when none starts there.
  // A table reference, and with WithJoins the joins that follow it. A join's right operand is
  // read without them, so a chain of joins nests to the left; only parentheses group.
  bool ParseTableReference(TTolvanTableReference& Item, int32_t Depth, bool WithJoins = true);
  void ParseTable(TTolvanTableReference& Item);
  // MEMORY, database, session and in-memory flag of a table item.
  void ApplyTableSource(TTolvanTableReference& Item, bool MemoryGiven);
  void ParseDerivedTable(TTolvanTableReference& Item);
  void ParseJoins(TTolvanTableReference& Item, int32_t Depth);
  static void CollectOnParams(TTolvanTableReference& Item,
                              std::vector<TTolvanExprNodeConst*>& List);
  static bool HoldsDerivedTable(const TTolvanTableReference& Item);

  // --- helpers ----------------------------------------------------------------------------------
  // A condition from the current token; select aliases resolved unless the list is "*".
  std::unique_ptr<TTolvanExpression> ParseConditionHere();
  // Raises 30161 when the statement has no current token.
  void RequireToken() const;
  // Advances to a token that must exist (30161 at the end).
  void Advance();
  bool AtKw(const char* Word) const;

  // --- BuildAlgebra ------------------------------------------------------------------------------
  struct TBuild;
  std::unique_ptr<TTolvanAO> BuildFrom(TBuild& B, const TTolvanTableReference& Item,
                                       bool NullSupplying);
  std::unique_ptr<TTolvanAO> BuildLeaf(TBuild& B, const TTolvanTableReference& Item);
  std::unique_ptr<TTolvanAO> BuildJoin(TBuild& B, const TTolvanTableReference& Item,
                                       bool NullSupplying);
  bool NeedsGrouping();

  bool FDistinct = false;
  int32_t FTopRowCount = -1;
  int32_t FTopStartRow = -1;
  bool FSelectStar = false;
  std::vector<TTolvanSelectListItem> FSelectItems;
  std::vector<std::unique_ptr<TTolvanTableReference>> FFromItems;
  std::unique_ptr<TTolvanExpression> FWhere;
  TTolvanFields FGroupBy;
  std::unique_ptr<TTolvanExpression> FHaving;
  std::vector<TTolvanSortSpecification> FOrderBy;
  AnsiString FOrderByIndexName;
  std::vector<std::shared_ptr<void>> FTempObjects;
  bool FChangeTarget = false;
};

// ORDER BY at the current token (ORDER): BY, then INDEX name into IndexName or sort items
// appended to Items.
void ParseOrderByClause(TTolvanSQLCommand& Command, std::vector<TTolvanSortSpecification>& Items,
                        AnsiString& IndexName);

} // namespace tolvan
