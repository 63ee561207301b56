// SqliteReference.h: the operator benchmark's reference, the same tables and queries on an
// established embedded SQL database in memory, reached only through its public C API.
//
// The program builds without it: bench/CMakeLists.txt compiles SqliteReference.cpp and defines
// TOLVAN_BENCH_SQLITE only when the library is found.
//
// Ownership: a TSqliteReference owns its connection. Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tolvan::bench {

// One row of the benchmark tables t and u, as both engines store it.
struct TOpRow {
  int32_t Id;
  int32_t K;
  int32_t G;
  int32_t C;
  int32_t V;
  int32_t X;
  std::string S;
};

class TSqliteReference {
public:
  // Opens ":memory:"; failures throw std::runtime_error.
  TSqliteReference();
  ~TSqliteReference();
  TSqliteReference(const TSqliteReference&) = delete;
  TSqliteReference& operator=(const TSqliteReference&) = delete;

  // The library's version text.
  static const char* Version();

  void Exec(std::string_view Sql);
  // (Re)creates Table with the benchmark columns and inserts Rows in one transaction.
  void Load(std::string_view Table, const std::vector<TOpRow>& Rows);
  // Prepares Sql, steps through every row and finalises; the number of rows. Sum: the first
  // column's values added up, nulls as 0.
  int64_t Run(std::string_view Sql, int64_t& Sum);
  // The rows the last INSERT, UPDATE or DELETE changed.
  int64_t Changes() const;

  ::sqlite3* Handle() const noexcept { return FDb; }

private:
  ::sqlite3* FDb = nullptr;
};

// A statement prepared once and run again with new values, as a kept parameterised query is;
// also the bulk insert of a load. Parameters are numbered from 1.
class TSqliteStatement {
public:
  // Failures throw std::runtime_error.
  TSqliteStatement(TSqliteReference& Db, std::string_view Sql);
  ~TSqliteStatement();
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  void BindInt(int Index, int64_t Value);
  void BindDouble(int Index, double Value);
  // Text is copied: the caller's buffer may change before the run.
  void BindText(int Index, std::string_view Value);
  // Steps through every row and resets (bindings stay); the rows, and Sum as Run's.
  int64_t Run(int64_t& Sum);

private:
  ::sqlite3* FDb;
  ::sqlite3_stmt* FStmt = nullptr;
};

} // namespace tolvan::bench
