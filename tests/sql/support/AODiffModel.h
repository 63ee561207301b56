// AODiffModel.h: small random tables and a brute-force evaluator of joins, set operations and
// grouping over them, for the differential test of the relational operators.
//
// The evaluator works on plain vectors under the engine's rules: join pairs match when neither
// value is null and the two are equal (texts with case); set operations and group keys compare
// values brought to the column's type, null equal to null, case kept; SUM over nulls only is 0,
// AVG over integers divides as integers; MIN and MAX ignore case; grouped empty input gives one
// row when there are aggregates. Conditions follow the expressions: a comparison with a null is
// false except "<>", which is true; "+" with a null second operand is null. Values come out as
// the texts the engine shows ("-" for null), so a result table can be compared cell by cell.
//
// Threads: plain values, one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanTypesRoutines.h"
#include "schema/expr/TolvanExprServices.h"

namespace tolvan::test::diff {

enum TColType : uint8_t { ctInt, ctSmall, ctFloat, ctText };

TTolvanFieldType FieldTypeOf(TColType T);

struct TCell {
  bool Null = true;
  double N = 0; // INTEGER, SMALLINT and FLOAT values (all exact in a double)
  std::string S;
};

// The shown text of a value of column type T ("-" for null).
std::string Shown(const TCell& C, TColType T);
// The shown text of a value of type From brought to the field type To.
std::string ShownAs(const TCell& C, TColType From, TTolvanFieldType To);

struct TTable {
  std::string Name;
  std::vector<std::string> Columns;
  std::vector<TColType> Types;
  std::vector<std::vector<TCell>> Rows;
  // Rows written with an empty text where the model holds null: the engine must read null.
  std::vector<std::vector<bool>> EmptyText;

  int Column(const std::string& N) const;
  std::string Dump() const;
};

// Three tables t0, t1, t2 with the columns id, i INTEGER, s SMALLINT, f FLOAT, v VARCHAR(6) in
// an order of their own; 0-MaxRows rows with nulls, case variants and duplicates.
std::vector<TTable> RandomTables(std::mt19937& Random, int MaxRows = 12);

// A column of one of the case's tables.
struct TRef {
  int Table = 0;
  int Column = 0;
};

enum TOp : uint8_t { opEq, opNe, opLt, opGt, opLe, opGe, opIsNull, opNotNull };

// "A op constant", "A op B", "A IS [NOT] NULL", or "A op :p".
struct TCond {
  TRef A;
  TOp Op = opEq;
  std::optional<TRef> B;
  TCell Constant;
  bool Param = false;
  std::string Sql(const std::vector<TTable>& Tables) const;
};

// Per table the row number in the current combined row, -1 for a null-extended side.
using TWide = std::vector<int>;

const TCell& CellOf(const std::vector<TTable>& Tables, const TWide& Row, TRef R);
bool Holds(const std::vector<TTable>& Tables, const TWide& Row, const TCond& C, double Param);

// One join level: the tables joined so far (left) with table Right.
struct TJoinLevel {
  TTolvanJoinType Kind = jtInner;
  int Right = 1;
  std::vector<std::pair<TRef, TRef>> Pairs; // left side's column first
  std::vector<TCond> Match;                 // the ON remainder
};

// t0 joined level by level, or (RightDeep, two levels) t0 joined by the second level with the
// join of t1 and t2 by the first. The WHERE conjuncts hold on every row produced at the top.
struct TJoinSpec {
  std::vector<TJoinLevel> Levels;
  bool RightDeep = false;
  std::vector<TCond> Where;
  std::string Sql(const std::vector<TTable>& Tables) const;
};

std::vector<TWide> EvaluateJoin(const std::vector<TTable>& Tables, const TJoinSpec& Spec,
                                double Param);

// --- set operations ----------------------------------------------------------------------------

enum TSetOp : uint8_t { soUnion, soIntersect, soExcept };

// An operand: a leaf of table Table (Join empty) or a join, and the columns it selects.
struct TOperand {
  int Table = 0;
  std::optional<TJoinSpec> Join;
  std::vector<TRef> Select;
  // SELECT DISTINCT.
  bool Distinct = false;
  // Column names as the operand shows them.
  std::vector<std::string> Names(const std::vector<TTable>& Tables) const;
};

struct TSetSpec {
  TSetOp Op = soUnion;
  bool All = false;
  int Pairing = 0; // 0 by position, 1 CORRESPONDING, 2 CORRESPONDING BY
  std::vector<std::string> By;
  TOperand Left, Right;
  std::string Sql(const std::vector<TTable>& Tables) const;
};

struct TExpected {
  // Set when the operator raises instead: the native code; -1 for a case not worth running.
  int32_t ErrorCode = 0;
  std::vector<std::vector<std::string>> Rows;
  // The order is defined and compared.
  bool Ordered = false;
  // Per column: compare ignoring case (MIN and MAX of texts).
  std::vector<bool> FoldCase;
};

TExpected EvaluateSet(const std::vector<TTable>& Tables, const TSetSpec& Spec);

// --- grouping ----------------------------------------------------------------------------------

enum TAggKind : uint8_t {
  akField,
  akCountStar,
  akCount,
  akCountDistinct,
  akSum,
  akAvg,
  akMin,
  akMax,
  akCountStarPlusOne,
  akCountStarPlusSum
};

struct TAgg {
  TAggKind Kind = akCountStar;
  TRef Ref; // Column -1 for COUNT(*) and COUNT(*) + 1
  std::string Sql(const std::vector<TTable>& Tables) const;
};

struct THaving {
  TAgg Agg;
  TOp Op = opGt;
  double Value = 0;
  std::string Sql(const std::vector<TTable>& Tables) const;
};

// Grouping over a leaf of Table (its WHERE pushed into the leaf) or over a join.
struct TGroupSpec {
  int Table = 0;
  std::optional<TJoinSpec> Join;
  std::vector<TCond> Where; // over a leaf
  std::vector<TRef> GroupColumns;
  std::vector<TAgg> Items;
  std::optional<THaving> Having;
  bool Distinct = false;
  std::string Sql(const std::vector<TTable>& Tables) const;
};

TExpected EvaluateGroup(const std::vector<TTable>& Tables, const TGroupSpec& Spec, double Param);

} // namespace tolvan::test::diff
