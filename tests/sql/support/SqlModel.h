// SqlModel.h: random tables, random SELECT statements and a brute-force evaluator of their rows,
// for the differential test of the statement layer.
//
// The generator writes each statement's SQL text and, beside it, a closure that computes the
// statement's rows from plain vectors. The evaluator follows the dialect: a comparison that
// meets a null is false, except "<>", which is true; IN, BETWEEN and LIKE over a null are null,
// and NOT, AND and OR are three-valued; IN lists and BETWEEN ignore the case of texts, "=" and
// LIKE do not; an IN sub-query is a case-sensitive search in which a null finds a null; "+" with
// a null second operand is null while a null first operand takes the second's value; SUM over
// nulls only is 0, AVG over integers divides as integers; grouped empty input gives one row of
// initial aggregate values; nulls sort first. Values are compared through TTolvanVariant and the
// collation, never through SQL, expression or storage code.
//
// Rows come out as canonical texts: "NULL", numbers with three decimals, dates as yyyy-mm-dd,
// texts as they are. A statement's rows are compared in order only when its ORDER BY is total.
//
// Threads: plain values, one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tolvan::test::sqlmodel {

enum TColType : uint8_t { ctInt, ctFloat, ctText, ctDate };

// A value; Null unless one of the kinds is set. Dates are day numbers of TDateTime.
struct TVal {
  bool Null = true;
  TColType Type = ctInt;
  int64_t I = 0;
  double F = 0;
  std::string S;

  static TVal Int(int64_t V) { return {false, ctInt, V, 0, {}}; }
  static TVal Float(double V) { return {false, ctFloat, 0, V, {}}; }
  static TVal Text(std::string V) { return {false, ctText, 0, 0, std::move(V)}; }
  static TVal Date(int64_t Days) { return {false, ctDate, Days, 0, {}}; }
  static TVal NullOf(TColType T) { return {true, T, 0, 0, {}}; }
  // The canonical text of the value.
  std::string Canonical() const;
  // The value as an SQL literal (numbers and texts; never a date).
  std::string Literal() const;
};

// Negative, zero or positive; a null sorts below every value and equals another null.
int CompareValues(const TVal& A, const TVal& B, bool IgnoreCase = false);

struct TColumn {
  std::string Name;
  TColType Type = ctInt;
};

struct TIndex {
  std::string Name;
  std::string Column;
  bool Unique = false;
  bool Descending = false;
  bool NoCase = false;
};

struct TTable {
  std::string Name;
  std::vector<TColumn> Columns;
  std::vector<std::vector<TVal>> Rows;
  std::vector<TIndex> Indexes;

  int Column(const std::string& Name) const;
  std::string Dump() const;
};

using TDatabase = std::vector<TTable>;

// Three tables t0, t1, t2: id INTEGER (unique, 1, 2, ...), a and b INTEGER, v and w VARCHAR(8)
// (case variants), f FLOAT, d DATE; 0 to MaxRows rows with nulls and duplicate rows, and a few
// indexes.
TDatabase RandomTables(std::mt19937& Random, int MaxRows = 30);

// The values a changed row may take, for tests that edit tables between runs.
TVal RandomValue(std::mt19937& Random, TColType Type);

using TParamValues = std::map<std::string, TVal>;

struct TResult {
  std::vector<std::vector<std::string>> Rows;
  bool Ordered = false;
};

struct TStatement {
  std::string Sql;
  std::function<TResult(const TDatabase&, const TParamValues&)> Evaluate;
};

// Generated statements over the tables of a database (their names and columns; the rows are
// read when a statement is evaluated).
class TGenerator {
public:
  TGenerator(const TDatabase& Db, uint32_t Seed);
  ~TGenerator();
  TStatement Next();
  // Statements whose conditions use the integer parameters :p1 and :p2: in WHERE, HAVING, an IN
  // sub-query and a derived table.
  TStatement NextWithParams();

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// Rows sorted as texts, for comparing results whose order is not defined.
std::vector<std::vector<std::string>> Sorted(std::vector<std::vector<std::string>> Rows);
std::string RowsText(const std::vector<std::vector<std::string>>& Rows);

} // namespace tolvan::test::sqlmodel
