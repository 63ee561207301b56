// TolvanExpression.h: TTolvanExpression, the engine's one evaluator of conditions and values.
//
// Filters, constraints, foreign-key searches, Locate, WHERE, select items and HAVING all hold
// their condition or value as an expression: a tree of TTolvanExprNode objects, parsed from SQL
// or filter text or built directly (key searches, Locate), bound to a cursor, a relational
// operator (IExprRowSource) or a bare record buffer, and evaluated once per row.
//
// The expression also serves the planners. Its AND root's children are the conjuncts of the
// condition (FlattenAnd makes them so); push-down moves conjuncts to the operators that can
// evaluate them, the join planner takes out equi-join field pairs, and a table search takes out
// the comparisons an index can serve (BuildScanSearchConditions, TolvanScanConditions.h) and
// gives them back afterwards exactly where they stood.
//
// A comparison becomes an index key condition only when the index reaches exactly the rows the
// comparison accepts: the constant converts to the column's type and back without change, the
// comparison orders values as the column does (its operands' common type is the column's type,
// the other text type of the same width, or a number type holding every column value exactly),
// its case mode is the index column's, it is not a prefix comparison and not "<>". Under
// KeepNullCodes a null constant is refused, and a range that in index order would take in the
// nulls gets a second key condition that keeps them out.
//
// Ownership: whoever holds an expression owns it through std::unique_ptr<TTolvanExpression>: a
// cursor its filters, a row source its filter slot. The expression owns its tree and its copy of
// the parameters; the cursor, lexer and operators it is given are borrowed.
//
// Threads: an expression is evaluated by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/DBParams.h"
#include "classlib/Variants.h"
#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExprServices.h"
#include "schema/expr/TolvanScanConditions.h"

namespace tolvan {

class TTolvanCursor;
class TTolvanLexer;
class TTolvanIndexDef;
class TTolvanIndexDefs;
class TTolvanConstraintDefForeignKeyAction;

// Native codes of the expression object.
inline constexpr int32_t ErrExpressionEmpty = 30110;
inline constexpr int32_t ErrLocateCountMismatch = 30112;
inline constexpr int32_t ErrConditionEnd = 30118;
inline constexpr int32_t ErrFilterBlank = 30119;
inline constexpr int32_t ErrValueEnd = 30136;
inline constexpr int32_t ErrNodeIsNotField = 30198;
inline constexpr int32_t ErrScanFieldNoCursor = 20054;
inline constexpr int32_t ErrScanMissingOperand = 20055;
inline constexpr int32_t ErrScanIndexNoColumns = 20057;
inline constexpr int32_t ErrScanComparisonNotFound = 20059;

class TTolvanExpression {
public:
  // Empty; KeepNullCodes set, the other options off.
  TTolvanExpression() = default;
  // An expression owning Root.
  explicit TTolvanExpression(TTolvanExprNodePtr Root) : FRoot(std::move(Root)) {}
  virtual ~TTolvanExpression();
  TTolvanExpression(const TTolvanExpression&) = delete;
  TTolvanExpression& operator=(const TTolvanExpression&) = delete;

  static std::unique_ptr<TTolvanExpression> Create() {
    return std::make_unique<TTolvanExpression>();
  }
  static std::unique_ptr<TTolvanExpression> CreateWithRoot(TTolvanExprNodePtr Root) {
    return std::make_unique<TTolvanExpression>(std::move(Root));
  }

  void Clear() noexcept { FRoot.reset(); }
  // Copies Lexer, CaseInsensitive, PartialCompare, KeepNullCodes and a copy of the parameters;
  // the tree stays.
  void AssignOptions(const TTolvanExpression& Other);
  // A deep copy that evaluates like this one: the tree cloned (bindings shared), every option,
  // the cursor, the database and session names and a copy of the parameters.
  std::unique_ptr<TTolvanExpression> Clone() const;

  // --- builders (each clears the tree first) -------------------------------------------------

  // The parent search of a foreign key: for each column of ForeignKey whose value in
  // SourceCursor's record is not null, "index column i of Cursor = that value". Options off.
  void BuildFromIndexKey(TTolvanCursor* Cursor, TTolvanCursor& SourceCursor,
                         const TTolvanIndexDef& IndexDef,
                         const TTolvanConstraintDefForeignKeyAction& ForeignKey);
  // The child search: "foreign-key column i of Cursor = SourceCursor's value of index column i";
  // with MATCH PARTIAL (KeepNullCodes) nulls are compared too, otherwise skipped.
  void BuildFromKeyFields(TTolvanCursor* Cursor, TTolvanCursor& SourceCursor,
                          const TTolvanIndexDef& IndexDef,
                          const TTolvanConstraintDefForeignKeyAction& ForeignKey);
  // "name = value" for each of the ';'-separated FieldNames and the matching key value (one
  // value, or the elements of a variant array). Counts that differ raise 30112.
  void BuildLocate(TTolvanCursor* Cursor, std::string_view FieldNames, const Variant& KeyValues,
                   bool CaseInsensitive, bool PartialKey);

  // --- parsing --------------------------------------------------------------------------------

  // The leading condition of Text over Cursor; the rest of the text is not read. A text without
  // tokens raises 30119 "Blank SQL command"; parameters raise 30358 (the filter has none).
  void ParseFilter(TTolvanCursor* Cursor, std::string_view Text, bool CaseInsensitive,
                   bool PartialCompare);
  // A condition from Lexer's current token, conjuncts flattened; the lexer is left at the first
  // token after it. No token raises 30118.
  void ParseCondition(TTolvanLexer& Lexer);
  // A value from Lexer's current token; the tree stays empty when no value starts there. No
  // token raises 30136.
  void ParseValue(TTolvanLexer& Lexer);

  // --- evaluation and binding ---------------------------------------------------------------

  // The root's value for the current row, nil when empty; valid until the next evaluation. A
  // null is answered as false unless KeepNull.
  const TTolvanVariant* Evaluate(bool KeepNull);
  // Evaluate without keep-null read as logical; empty raises 30110 "Value is Null".
  bool EvaluateBoolean();
  // Each passes the target to every node and prepares the tree again; nothing when empty.
  void BindToAO(IExprRowSource* Source);
  void BindToCursor(TTolvanCursor* Cursor);
  void SetRecordBuffer(uint8_t* Buffer);

  bool HasAggregate();
  bool HasCountStar();
  bool IsCountStar() const noexcept;
  // Every aggregate of the tree is COUNT(*) (true when there is none): one feed weighted with
  // the input's row count then gives the value that feeding each row would.
  bool OnlyCountStarAggregates() const noexcept;
  void ResetAggregates();
  void Accumulate(int32_t Weight);

  // tftNone, 0 and 0 when empty.
  TTolvanFieldType GetDataType();
  int32_t GetDataSize();
  int32_t GetPrecision();

  bool IsEmpty() const noexcept { return !FRoot; }
  bool IsNullConstant() const noexcept;
  bool IsField() const noexcept;
  bool IsConstant() const noexcept;
  // The names of a field-reference root; any other root raises 30198 "Node is not field".
  void GetFieldName(AnsiString& FieldName, AnsiString& TableName) const;

  void ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items, int32_t Highest);
  void CollectParams(std::vector<TTolvanExprNodeConst*>& List);
  void ResetSubQueries(const TParams* Params);
  // Runs the sub-queries that have not run since their reset (TTolvanExprNode::RunSubQueries).
  void RunSubQueries();
  // Comparison joins the condition: it becomes the root of an empty expression, a further
  // conjunct of an AND root, or the second conjunct of a new AND over any other root.
  void AddComparison(TTolvanExprNodePtr Comparison);

  // --- planning -----------------------------------------------------------------------------

  // Moves the children of AND children of an AND root into the root (see the source).
  void FlattenAnd();
  // Moves every conjunct to the deepest operator of the tree under Operator that can evaluate
  // it (only Operator itself with StayHere), appending it to that operator's filter.
  void PushConditionsToAO(IExprRowSource* Operator, bool StayHere);
  // Takes out the "=" conjuncts between a field of Left and a field of Right: the first
  // operand's field joins First, the second's Second. Returns the pairs found. An ambiguous
  // reference raises 10404 / 10405.
  int32_t ExtractJoinFields(IExprRowSource* Left, IExprRowSource* Right,
                            std::vector<TTolvanSelectListItem>& First,
                            std::vector<TTolvanSelectListItem>& Second);
  // The conjuncts of Expression that refer only to Table move into a new expression (options
  // copied) bound to Table's cursor; nil when there are none. With WithSubQueries a conjunct
  // holding uncorrelated sub-queries moves too when its fields are Table's: the scan then
  // answers it, and a failed sub-query surfaces as a failed read.
  static std::unique_ptr<TTolvanExpression> ExtractTableConditions(TTolvanExpression& Expression,
                                                                   IExprRowSource* Table,
                                                                   bool WithSubQueries = false);

  // Takes out the comparisons (the root, or the comparison conjuncts of an AND root) that an
  // index of IndexDefs can serve, appending their key conditions to Conditions and an entry each
  // to List.
  void BuildScanSearchConditions(const TTolvanIndexDefs& IndexDefs,
                                 TTolvanScanSearchConditionArray& Conditions,
                                 TTolvanExtractedComparisons& List);
  // Whether IndexDef can serve Comparison (see the header comment).
  static bool IsIndexableComparison(TTolvanExprNode& Comparison, const TTolvanIndexDef& IndexDef);
  // Appends the key condition(s) of Comparison on IndexDef and an entry of List; false, with
  // nothing appended, when the constant does not convert exactly to the column. A field bound
  // to no cursor raises 20054, a missing field or constant 20055, an index without columns
  // 20057.
  bool AddScanCondition(TTolvanExprNode& Comparison, const TTolvanIndexDef& IndexDef,
                        TTolvanScanSearchConditionArray& Conditions,
                        TTolvanExtractedComparisons& List);
  // Takes this expression's comparisons of List out of the tree, recording where each stood. A
  // comparison no longer in the tree raises 20059 "Invalid index No (IndexOf)".
  void RemoveUsedConditions(TTolvanExtractedComparisons& List);
  // Puts an entry's comparison back where it stood. Never fails.
  void GiveBack(TTolvanExtractedComparison& Entry) noexcept;
  // An "=" of a text column and a text constant longer than the column holds: no row can
  // match.
  bool HasOversizedStringEquality() const;

  // --- state --------------------------------------------------------------------------------

  TTolvanExprNode* Root() const noexcept { return FRoot.get(); }
  void SetRoot(TTolvanExprNodePtr Root) noexcept { FRoot = std::move(Root); }
  TTolvanExprNodePtr ReleaseRoot() noexcept { return std::move(FRoot); }

  TTolvanLexer* Lexer() const noexcept { return FLexer; }
  TTolvanCursor* Cursor() const noexcept { return FCursor; }
  void SetCursor(TTolvanCursor* Value) noexcept { FCursor = Value; }
  bool CaseInsensitive() const noexcept { return FCaseInsensitive; }
  void SetCaseInsensitive(bool Value) noexcept { FCaseInsensitive = Value; }
  bool PartialCompare() const noexcept { return FPartialCompare; }
  void SetPartialCompare(bool Value) noexcept { FPartialCompare = Value; }
  bool KeepNullCodes() const noexcept { return FKeepNullCodes; }
  void SetKeepNullCodes(bool Value) noexcept { FKeepNullCodes = Value; }
  bool InMemory() const noexcept { return FInMemory; }
  void SetInMemory(bool Value) noexcept { FInMemory = Value; }
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  void SetDatabaseName(std::string_view Value) { FDatabaseName = Value; }
  const AnsiString& SessionName() const noexcept { return FSessionName; }
  void SetSessionName(std::string_view Value) { FSessionName = Value; }
  // The parameters handed to sub-queries; nil when none.
  const TParams* Params() const noexcept { return FParams.get(); }
  // Keeps a copy of Value (nil drops the own list).
  void SetParams(const TParams* Value);

private:
  // Prepare of the tree, when there is one.
  void PrepareTree();
  // Root := the comparisons in order: nothing, the single one, or an AND of them.
  void SetConjuncts(std::vector<TTolvanExprNodePtr> Conjuncts);

  TTolvanExprNodePtr FRoot;
  TTolvanLexer* FLexer = nullptr;
  TTolvanCursor* FCursor = nullptr;
  bool FCaseInsensitive = false;
  bool FPartialCompare = false;
  bool FKeepNullCodes = true;
  bool FInMemory = false;
  AnsiString FDatabaseName;
  AnsiString FSessionName;
  std::unique_ptr<TParams> FParams;
  // What Evaluate answers for a null without keep-null: no node's value is written.
  TTolvanVariant FFalse;
};

} // namespace tolvan
