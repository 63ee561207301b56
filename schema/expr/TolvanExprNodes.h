// TolvanExprNodes.h: the nodes of an expression tree: the operator codes, the node base with its
// operations, and the nodes for constants and parameters, field references, comparisons, logic
// and predicates, the ISNULL function and sub-queries. The function nodes (arithmetic, strings,
// dates, CAST, aggregates, LASTAUTOINC, TOBLOB) are in TolvanExprFunctions.h.
//
// Evaluation. Every node computes into a value it owns and returns that value from GetValue;
// the reference stays valid until the node is evaluated again or destroyed. A parent reads its
// children's values and never changes them; a node's value may borrow bytes from a child's
// value or from a record buffer, so nobody keeps it beyond the row. Nodes never write into bytes
// they borrow: where an operand must be converted, the node converts its own copy.
//
// Nulls. A comparison with KeepNullCodes (what the parser builds) is false when it meets a null,
// except "<>", which is true; without it a null orders below every value and equals a null.
// NOT, AND, OR and the predicates IN, BETWEEN and LIKE are three-valued. IN lists, BETWEEN, MIN
// and MAX compare text without case whatever the node's flags.
//
// Ownership. A node owns its children (AddChild, InsertChild and ReleaseChild move them in and
// out, for the tree surgery of the expression object) and its value. Bindings are borrowed: the
// cursor, the relational operator (IExprRowSource) and the record buffer a field reference reads
// belong to the caller and must outlive the binding. A sub-query node owns its prepared query
// handle and its copy of the statement parameters; the layers above are reached only through
// ExprServices() (TolvanExprServices.h).
//
// Clone gives a deep copy that evaluates like the original: bindings are shared, constants
// copied, a sub-query or LASTAUTOINC node prepares or opens a handle of its own.
//
// Threads: a tree is evaluated by one thread at a time. While a field reference bound to a
// cursor reads, it has put its buffer into the cursor, so nothing else may use that cursor then.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/DBParams.h"
#include "classlib/StringList.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/expr/TolvanExprServices.h"

namespace tolvan {

class TTolvanCursor;
class TTolvanExprNodeConst;

// The operation of a node; the codes are fixed (19 and 20 are not used).
// clang-format off
enum TTolvanExprOperator : uint8_t {
  eoNone = 0,
  eoEqual = 1, eoNotEqual = 2, eoGreater = 3, eoLess = 4, eoGreaterOrEqual = 5,
  eoLessOrEqual = 6,
  eoNot = 7, eoAnd = 8, eoOr = 9,
  eoIn = 10, eoNotIn = 11, eoBetween = 12, eoNotBetween = 13, eoLike = 14, eoNotLike = 15,
  eoIsNullFunction = 16, eoIsNull = 17, eoIsNotNull = 18,
  eoAdd = 21, eoNegate = 22, eoMultiply = 23, eoDivide = 24,
  eoConcat = 25, eoUpper = 26, eoLower = 27, eoTrim = 28, eoLTrim = 29, eoRTrim = 30,
  eoLength = 31, eoPos = 32, eoSubstring = 33,
  eoSum = 34, eoAvg = 35, eoMin = 36, eoMax = 37, eoCount = 38, eoCountStar = 39,
  eoNow = 40, eoCurrentDate = 41, eoCurrentTime = 42, eoToDate = 43, eoToString = 44,
  eoYear = 45, eoQuarter = 46, eoMonth = 47, eoDay = 48, eoWeekDay = 49, eoDayOfWeek = 50,
  eoDayName = 51, eoMonthName = 52, eoHour = 53, eoMinute = 54, eoSecond = 55, eoMSecond = 56,
  eoAbs = 57, eoCeil = 58, eoFloor = 59, eoMod = 60, eoPower = 61, eoRandom = 62,
  eoRound = 63, eoSign = 64, eoTrunc = 65,
  eoBitNot = 66, eoBitAnd = 67, eoBitOr = 68, eoShl = 69, eoShr = 70, eoXor = 71, eoHex = 72,
  eoCast = 73, eoLastAutoInc = 74, eoToBlob = 75
};
// clang-format on
inline constexpr int ExprOperatorCount = 76;

// The text of an operator in messages: the comparison signs, the logical words, "+", "-",
// "*", "/", "||", the string functions from UPPER to RTRIM and the aggregates; "unknown" for
// every other code.
std::string_view OperatorToText(uint8_t Operator);
// Every operator's own name ("NEG" for the unary minus, "NOW" for code 40, ...), "?<code>"
// for a code that is none.
std::string OperatorName(uint8_t Operator);

// The concrete node classes.
enum TTolvanExprNodeKind : uint8_t {
  enkConst,
  enkField,
  enkComparison,
  enkBoolean,
  enkIsNullFunction,
  enkSubQuery,
  enkSubQueryIN,
  enkSubQueryExists,
  enkArithmetic,
  enkStringFunction,
  enkCast,
  enkDateFunction,
  enkBLOBFunction,
  enkSystem,
  enkAggregated
};

// Native codes of the nodes' own raises.
inline constexpr int32_t ErrExprTypeUnknown = 30283;
inline constexpr int32_t ErrFieldTypeUnknown = 30284;
inline constexpr int32_t ErrFieldNilCursor = 30202;
inline constexpr int32_t ErrFieldNotInCursor = 30115;
inline constexpr int32_t ErrFieldNotInAO = 30197;
inline constexpr int32_t ErrFieldUnbound = 30196;
inline constexpr int32_t ErrFieldNoCursor = 11300;
inline constexpr int32_t ErrComparisonOperator = 30117;
inline constexpr int32_t ErrBooleanOperator = 30116;
inline constexpr int32_t ErrLikeNotString = 30120;
inline constexpr int32_t ErrEquiJoinFirstAmbiguous = 10404;
inline constexpr int32_t ErrEquiJoinSecondAmbiguous = 10405;
inline constexpr int32_t ErrIsNullTypes = 11600;
inline constexpr int32_t ErrSubQueryNoRows = 10848;
inline constexpr int32_t ErrSubQueryManyRows = 10849;
inline constexpr int32_t ErrSubQueryInNoValue = 10850;
// A node missing an operand its operator needs (a tree not made by the parser).
inline constexpr int32_t ErrMissingArgument = 11606;

class TTolvanExprNode {
public:
  using TNodePtr = std::unique_ptr<TTolvanExprNode>;

  // No operator and no children; a null value of type none.
  TTolvanExprNode(bool CaseInsensitive, bool Partial);
  TTolvanExprNode(TTolvanExprOperator Operator, bool CaseInsensitive, bool Partial);
  // The children in the order given; a nil child is left out.
  TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr Child, bool CaseInsensitive, bool Partial);
  TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr First, TNodePtr Second,
                  bool CaseInsensitive, bool Partial);
  TTolvanExprNode(TTolvanExprOperator Operator, TNodePtr First, TNodePtr Second, TNodePtr Third,
                  bool CaseInsensitive, bool Partial);
  virtual ~TTolvanExprNode();
  TTolvanExprNode(const TTolvanExprNode&) = delete;
  TTolvanExprNode& operator=(const TTolvanExprNode&) = delete;

  virtual TTolvanExprNodeKind Kind() const noexcept = 0;
  // A deep copy (see the header comment).
  virtual TNodePtr Clone() const = 0;

  // --- the node operations ------------------------------------------------------------------

  // Base: Prepare of every child.
  virtual void Prepare();
  // Base: every child answers true (true without children).
  virtual bool RefersOnlyToTable(IExprRowSource* Table);
  // Base: some child answers true.
  virtual bool AnyFieldIn(IExprRowSource* Source);
  // The node's result for the current row.
  virtual const TTolvanVariant& GetValue() = 0;
  virtual bool HasAggregate();
  virtual bool HasCountStar();
  // Base: passed to every child.
  virtual void ResetAggregates();
  virtual void Accumulate(int32_t Weight);
  virtual void BindToAO(IExprRowSource* Source);
  virtual void BindToCursor(TTolvanCursor* Cursor);
  virtual void SetRecordBuffer(uint8_t* Buffer);
  // Base: the first child's type folded with each further one (CommonFieldType); 30283
  // "Cannot determine expression type" when that gives none.
  virtual TTolvanFieldType GetDataType();
  // Base: the size of a text result (0 for other types); see GetDataSize in the source.
  virtual int32_t GetDataSize();
  virtual int32_t GetPrecision();
  // Base: every child answers true (true without children).
  virtual bool AllFieldsIn(IExprRowSource* Source);
  virtual bool IsEquiJoin(IExprRowSource* First, IExprRowSource* Second);
  // Items 0 .. Highest (cut to the span).
  virtual void ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items, int32_t Highest);
  // Base: the last child's answer; -1 without children.
  virtual int32_t FieldIndexIn(const TStringList& List);
  // Appends the parameter constants of the tree, in tree order.
  virtual void CollectParams(std::vector<TTolvanExprNodeConst*>& List);
  // Makes every sub-query of the tree run again at its next evaluation, with Params (nil keeps
  // the values it has).
  virtual void ResetSubQueries(const TParams* Params);
  // Runs every sub-query of the tree that has not run since its last reset, so that no
  // statement runs while a row is evaluated (a scan may hold a table lock then). A failure is
  // kept and raised at each of the node's evaluations until the next reset.
  virtual void RunSubQueries();

  // --- children -----------------------------------------------------------------------------

  int32_t ChildCount() const noexcept { return int32_t(FChildren.size()); }
  // An index out of range raises EListError.
  TTolvanExprNode* Child(int32_t Index) const;
  void AddChild(TNodePtr Node);
  void InsertChild(int32_t Index, TNodePtr Node); // 0 .. ChildCount
  TNodePtr ReleaseChild(int32_t Index);
  int32_t IndexOfChild(const TTolvanExprNode* Node) const noexcept;

  // --- state --------------------------------------------------------------------------------

  TTolvanExprOperator Operator() const noexcept { return FOperator; }
  void SetOperator(TTolvanExprOperator Value) noexcept { FOperator = Value; }
  bool CaseInsensitive() const noexcept { return FCaseInsensitive; }
  void SetCaseInsensitive(bool Value) noexcept { FCaseInsensitive = Value; }
  bool Partial() const noexcept { return FPartial; }
  void SetPartial(bool Value) noexcept { FPartial = Value; }
  bool IsParam() const noexcept { return FIsParam; }
  int32_t NameHash() const noexcept { return FNameHash; }
  // The node's own result; the owner of the tree may change it in place.
  TTolvanVariant& Value() noexcept { return FValue; }
  const TTolvanVariant& Value() const noexcept { return FValue; }

protected:
  struct TCloneTag {};
  // Copies operator, flags and parameter marks and clones the children; the value is left
  // null.
  TTolvanExprNode(const TTolvanExprNode& Source, TCloneTag);

  // The room Child's value takes as text: its size when it is text with a size, else 1024 (a
  // number's or a date's text is longer than its binary size).
  static int32_t TextSizeOf(TTolvanExprNode& Child);
  // Child Index, or 11606 "Argument expected in SQL function %s" when the node has none there.
  TTolvanExprNode& Arg(int32_t Index) const;
  // The value of child Index.
  const TTolvanVariant& ArgValue(int32_t Index) const { return Arg(Index).GetValue(); }

  std::vector<TNodePtr> FChildren;
  TTolvanExprOperator FOperator = eoNone;
  TTolvanVariant FValue;
  bool FCaseInsensitive = false;
  bool FPartial = false;
  bool FIsParam = false;
  int32_t FNameHash = 0;
};

using TTolvanExprNodePtr = TTolvanExprNode::TNodePtr;

// A constant, or a statement parameter standing in the tree: its value is the constant.
class TTolvanExprNodeConst : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;

  TTolvanExprNodeKind Kind() const noexcept override { return enkConst; }
  TNodePtr Clone() const override;

  const TTolvanVariant& GetValue() override { return FValue; }
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override;
  bool AllFieldsIn(IExprRowSource*) override { return true; }
  void CollectParams(std::vector<TTolvanExprNodeConst*>& List) override;

  // Value := a copy of Source.
  void SetValue(const TTolvanVariant& Source);
  // Marks the constant as the parameter Name (its NameHash kept for life).
  void SetParam(std::string_view Name);
  const AnsiString& ParamName() const noexcept { return FParamName; }

private:
  AnsiString FParamName;
};

// A column of a cursor or an output field of a relational operator, by name.
class TTolvanExprNodeField : public TTolvanExprNode {
public:
  // Case-insensitive, not partial, unbound; bound at once to Cursor when one is given.
  TTolvanExprNodeField(TTolvanCursor* Cursor, std::string_view FieldName,
                       std::string_view TableName);

  TTolvanExprNodeKind Kind() const noexcept override { return enkField; }
  TNodePtr Clone() const override;

  bool RefersOnlyToTable(IExprRowSource* Table) override;
  bool AnyFieldIn(IExprRowSource* Source) override;
  const TTolvanVariant& GetValue() override;
  void BindToAO(IExprRowSource* Source) override;
  // A nil cursor raises 30202 "Value is Null"; an unknown name 30115 "Field '%s' not found".
  void BindToCursor(TTolvanCursor* Cursor) override;
  void SetRecordBuffer(uint8_t* Buffer) override { FRecordBuffer = Buffer; }
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override { return FSize; }
  bool AllFieldsIn(IExprRowSource* Source) override;
  void ResolveSelectAliases(std::span<const TTolvanSelectListItem> Items, int32_t Highest) override;
  int32_t FieldIndexIn(const TStringList& List) override { return List.IndexOf(FFieldName); }

  TTolvanCursor* Cursor() const noexcept { return FCursor; }
  IExprRowSource* AO() const noexcept { return FAO; }
  uint8_t* RecordBuffer() const noexcept { return FRecordBuffer; }
  const AnsiString& TableName() const noexcept { return FTableName; }
  const AnsiString& FieldName() const noexcept { return FFieldName; }
  // The column in the cursor's FieldDefs, or the operator's field number; -1 until bound.
  int32_t FieldNo() const noexcept { return FFieldNo; }
  TTolvanFieldType FieldType() const noexcept { return FFieldType; }
  TTolvanValueType ValueType() const noexcept { return FValueType; }
  int32_t Size() const noexcept { return FSize; }

private:
  TTolvanExprNodeField(const TTolvanExprNodeField& Source, TCloneTag);
  // Exactly one output field of Source called so.
  bool FoundOnceIn(IExprRowSource* Source);

  TTolvanCursor* FCursor = nullptr;
  IExprRowSource* FAO = nullptr;
  uint8_t* FRecordBuffer = nullptr;
  AnsiString FTableName;
  AnsiString FFieldName;
  int32_t FFieldNo = -1;
  TTolvanFieldType FFieldType = tftNone;
  TTolvanValueType FValueType = tvtNone;
  int32_t FSize = 0;
};

// "=", "<>", ">", "<", ">=", "<=" of two operands, and IS NULL / IS NOT NULL of the first. The
// result is a LOGICAL value, never null.
class TTolvanExprNodeComparison : public TTolvanExprNode {
public:
  TTolvanExprNodeComparison(TTolvanExprOperator Operator, TNodePtr Left, TNodePtr Right,
                            bool KeepNullCodes, bool CaseInsensitive, bool Partial);

  TTolvanExprNodeKind Kind() const noexcept override { return enkComparison; }
  TNodePtr Clone() const override;

  // A wide text constant compared with a Char or Varchar column becomes narrow text when it
  // has no character outside the narrow code page. The children are not prepared.
  void Prepare() override;
  // Any operator but a comparison or the null tests raises 30117 "Unknown operator: '%s'".
  const TTolvanVariant& GetValue() override;
  // An "=" of two field references, one in each operator; a reference found more than once
  // raises 10404 (first) or 10405 (second) "Ambiguous field reference to '%s'".
  bool IsEquiJoin(IExprRowSource* First, IExprRowSource* Second) override;

  bool KeepNullCodes() const noexcept { return FKeepNullCodes; }
  void SetKeepNullCodes(bool Value) noexcept { FKeepNullCodes = Value; }

private:
  TTolvanExprNodeComparison(const TTolvanExprNodeComparison& Source, TCloneTag);

  bool FKeepNullCodes = false;
};

// NOT, AND, OR, IN and NOT IN over a list, BETWEEN, LIKE and their negations, IS NULL and IS
// NOT NULL. Reports Boolean.
class TTolvanExprNodeBoolean : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;

  TTolvanExprNodeKind Kind() const noexcept override { return enkBoolean; }
  TNodePtr Clone() const override;

  // Any other operator raises 30116 "Unknown operator: '%s'"; LIKE over values without a
  // common text type 30120 "Not string argument in function '%s'".
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override { return tftBoolean; }

private:
  TTolvanExprNodeBoolean(const TTolvanExprNodeBoolean& Source, TCloneTag)
      : TTolvanExprNode(Source, TCloneTag{}) {}
  void In();
  void Between();
  void Like();

  // Pattern and text of LIKE, kept between rows.
  WideString FWideText, FWidePattern;
};

// ISNULL(x): whether x is null. ISNULL(x, y): x, or y converted to x's type when x is null.
class TTolvanExprNodeIsNullFunction : public TTolvanExprNode {
public:
  using TTolvanExprNode::TTolvanExprNode;
  // The two-argument form, case-insensitive.
  TTolvanExprNodeIsNullFunction(TTolvanExprOperator Operator, TNodePtr First, TNodePtr Second);

  TTolvanExprNodeKind Kind() const noexcept override { return enkIsNullFunction; }
  TNodePtr Clone() const override;

  // A replacement of another type, where not both are scalar, raises 11600 "Types mismatches
  // in SQL function %s: %d, %d".
  const TTolvanVariant& GetValue() override;
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override;

private:
  TTolvanExprNodeIsNullFunction(const TTolvanExprNodeIsNullFunction& Source, TCloneTag);

  // The arguments' data types, found at the first replacement; 0 until then.
  TTolvanFieldType FFirstType = tftNone;
  TTolvanFieldType FSecondType = tftNone;
};

// A scalar sub-query: the first column of its only row. The base of the IN and EXISTS forms.
//
// The query is prepared when the node is made (errors of the text surface there) and run by
// RunSubQueries, or at the first evaluation when nothing ran it before; later evaluations answer
// from that run until ResetSubQueries, which closes the query and takes new parameter values, so
// the next run prepares and runs it again. A failed run is kept: a run ahead of the rows raises
// nothing, so a statement that evaluates no row does not fail because of it, and every
// evaluation until the next reset raises the failure again. Nothing runs the query a second
// time before a reset, since an evaluation may come from inside a scan that holds table locks.
class TTolvanExprNodeSubQuery : public TTolvanExprNode {
public:
  // Params may be nil; the node keeps a copy. InValue (IN only) becomes the only child.
  TTolvanExprNodeSubQuery(std::string_view SQL, const TParams* Params, bool InMemory,
                          std::string_view DatabaseName, std::string_view SessionName, bool Negated,
                          TNodePtr InValue);
  ~TTolvanExprNodeSubQuery() override;

  TTolvanExprNodeKind Kind() const noexcept override { return enkSubQuery; }
  TNodePtr Clone() const override;
  // False: a condition holding a sub-query stays with the operator rather than going into a
  // table's scan, where a failure of the sub-query would surface as a failed read.
  bool RefersOnlyToTable(IExprRowSource*) override { return false; }

  // No row raises 10848 "Subquery returns no rows", several 10849 "Subquery returns multiple
  // rows", at every evaluation until the next reset. The query is closed and released after the
  // run, also when it fails.
  const TTolvanVariant& GetValue() override;
  void ResetSubQueries(const TParams* Params) override;
  // Runs the query unless it ran since the last reset (or its failure waits to be raised).
  void RunSubQueries() override;
  // A scalar sub-query gives its column's type and size, known once it has run (it runs here
  // when it has not); a run that failed raises its failure. IN and EXISTS answer as any node.
  TTolvanFieldType GetDataType() override;
  int32_t GetDataSize() override;

  const AnsiString& SQL() const noexcept { return FSQL; }
  bool Negated() const noexcept { return FNegated; }
  bool Evaluated() const noexcept { return FEvaluated; }
  // The value IN tests (the only child); nil for the other kinds.
  TTolvanExprNode* InValue() const noexcept {
    return FChildren.empty() ? nullptr : FChildren.front().get();
  }
  bool InMemory() const noexcept { return FInMemory; }
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  const AnsiString& SessionName() const noexcept { return FSessionName; }
  // The node's copy of the parameters; nil when it was given none.
  const TParams* Params() const noexcept { return FParams.get(); }
  // A prepared or open query is held.
  bool HasQuery() const noexcept { return FQuery != nullptr; }

protected:
  TTolvanExprNodeSubQuery(const TTolvanExprNodeSubQuery& Source, TCloneTag);
  // Prepares the query unless one is held, then opens it.
  IExprSubQuery& OpenQuery();
  void ReleaseQuery() noexcept;
  // The run itself: the answer of a scalar or EXISTS query, the open query of IN. Sets
  // Evaluated; on failure releases the query and passes the error on.
  virtual void Run();
  // Whether the next evaluation has to run the query first.
  virtual bool NeedsRun() const noexcept { return !FEvaluated; }
  // Raises the kept failure; else runs the query when it has to, keeping a failure of the run.
  void RunForEvaluation();

  AnsiString FSQL;
  std::unique_ptr<TParams> FParams;
  bool FInMemory = false;
  AnsiString FDatabaseName;
  AnsiString FSessionName;
  bool FNegated = false;
  bool FEvaluated = false;
  std::unique_ptr<IExprSubQuery> FQuery;
  // The failure of the last run, raised at every evaluation; cleared by a reset.
  std::exception_ptr FFailure;
  // The query's first column, from its last run.
  TTolvanFieldType FColumnType = tftNone;
  int32_t FColumnSize = 0;
};

// x [NOT] IN (sub-query): opened by RunSubQueries or at the first evaluation and kept open;
// each evaluation searches its first column for x (case-sensitive, whole values; a null x finds
// a null). A failed open is raised at every evaluation until the next reset, never retried.
class TTolvanExprNodeSubQueryIN : public TTolvanExprNodeSubQuery {
public:
  using TTolvanExprNodeSubQuery::TTolvanExprNodeSubQuery;

  TTolvanExprNodeKind Kind() const noexcept override { return enkSubQueryIN; }
  TNodePtr Clone() const override;

  // Without a value to test raises 10850 "Error parsing subquery with IN - no argumnet passed".
  const TTolvanVariant& GetValue() override;

protected:
  void Run() override;
  bool NeedsRun() const noexcept override { return !FEvaluated || !FQuery; }

private:
  TTolvanExprNodeSubQueryIN(const TTolvanExprNodeSubQueryIN& Source, TCloneTag)
      : TTolvanExprNodeSubQuery(Source, TCloneTag{}) {}
};

// [NOT] EXISTS (sub-query): run once, whether it has a row.
class TTolvanExprNodeSubQueryExists : public TTolvanExprNodeSubQuery {
public:
  using TTolvanExprNodeSubQuery::TTolvanExprNodeSubQuery;

  TTolvanExprNodeKind Kind() const noexcept override { return enkSubQueryExists; }
  TNodePtr Clone() const override;

protected:
  void Run() override;

private:
  TTolvanExprNodeSubQueryExists(const TTolvanExprNodeSubQueryExists& Source, TCloneTag)
      : TTolvanExprNodeSubQuery(Source, TCloneTag{}) {}
};

} // namespace tolvan
