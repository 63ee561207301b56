#include "bench/SqliteReference.h"

#include <sqlite3.h>

#include <stdexcept>

namespace tolvan::bench {

namespace {

std::runtime_error Failure(sqlite3* Db, std::string_view What) {
  return std::runtime_error(std::string(What) + ": " + (Db ? sqlite3_errmsg(Db) : "no handle"));
}

// A prepared statement, finalised on every path.
class TStatement {
public:
  TStatement(sqlite3* Db, std::string_view Sql) : FDb(Db) {
    if (sqlite3_prepare_v2(Db, Sql.data(), int(Sql.size()), &FStmt, nullptr) != SQLITE_OK)
      throw Failure(Db, Sql);
  }
  ~TStatement() { sqlite3_finalize(FStmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  // True while a row is there; false at the end.
  bool Step() {
    const int Rc = sqlite3_step(FStmt);
    if (Rc == SQLITE_ROW)
      return true;
    if (Rc == SQLITE_DONE)
      return false;
    throw Failure(FDb, "step");
  }
  sqlite3_stmt* Handle() const noexcept { return FStmt; }

private:
  sqlite3* FDb;
  sqlite3_stmt* FStmt = nullptr;
};

} // namespace

TSqliteReference::TSqliteReference() {
  if (sqlite3_open(":memory:", &FDb) != SQLITE_OK) {
    sqlite3_close(FDb);
    FDb = nullptr;
    throw std::runtime_error("cannot open :memory:");
  }
}

TSqliteReference::~TSqliteReference() { sqlite3_close(FDb); }

const char* TSqliteReference::Version() { return sqlite3_libversion(); }

void TSqliteReference::Exec(std::string_view Sql) {
  char* Error = nullptr;
  if (sqlite3_exec(FDb, std::string(Sql).c_str(), nullptr, nullptr, &Error) != SQLITE_OK) {
    const std::string Text = std::string(Sql) + ": " + (Error ? Error : "?");
    sqlite3_free(Error);
    throw std::runtime_error(Text);
  }
}

void TSqliteReference::Load(std::string_view Table, const std::vector<TOpRow>& Rows) {
  const std::string T(Table);
  Exec("DROP TABLE IF EXISTS " + T);
  Exec("CREATE TABLE " + T +
       " (id INTEGER, k INTEGER, g INTEGER, c INTEGER, v INTEGER, x INTEGER, s VARCHAR(20))");
  Exec("BEGIN");
  {
    TStatement Insert(FDb, "INSERT INTO " + T + " VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (const TOpRow& R : Rows) {
      sqlite3_stmt* S = Insert.Handle();
      sqlite3_bind_int(S, 1, R.Id);
      sqlite3_bind_int(S, 2, R.K);
      sqlite3_bind_int(S, 3, R.G);
      sqlite3_bind_int(S, 4, R.C);
      sqlite3_bind_int(S, 5, R.V);
      sqlite3_bind_int(S, 6, R.X);
      sqlite3_bind_text(S, 7, R.S.data(), int(R.S.size()), SQLITE_STATIC);
      Insert.Step();
      sqlite3_reset(S);
    }
  }
  Exec("COMMIT");
}

int64_t TSqliteReference::Run(std::string_view Sql, int64_t& Sum) {
  TStatement Query(FDb, Sql);
  int64_t Rows = 0;
  Sum = 0;
  while (Query.Step()) {
    ++Rows;
    Sum += sqlite3_column_int64(Query.Handle(), 0);
  }
  return Rows;
}

int64_t TSqliteReference::Changes() const { return sqlite3_changes64(FDb); }

TSqliteStatement::TSqliteStatement(TSqliteReference& Db, std::string_view Sql) : FDb(Db.Handle()) {
  if (sqlite3_prepare_v2(FDb, Sql.data(), int(Sql.size()), &FStmt, nullptr) != SQLITE_OK)
    throw Failure(FDb, Sql);
}

TSqliteStatement::~TSqliteStatement() { sqlite3_finalize(FStmt); }

void TSqliteStatement::BindInt(int Index, int64_t Value) {
  if (sqlite3_bind_int64(FStmt, Index, Value) != SQLITE_OK)
    throw Failure(FDb, "bind");
}

void TSqliteStatement::BindDouble(int Index, double Value) {
  if (sqlite3_bind_double(FStmt, Index, Value) != SQLITE_OK)
    throw Failure(FDb, "bind");
}

void TSqliteStatement::BindText(int Index, std::string_view Value) {
  if (sqlite3_bind_text(FStmt, Index, Value.data(), int(Value.size()), SQLITE_TRANSIENT) !=
      SQLITE_OK)
    throw Failure(FDb, "bind");
}

int64_t TSqliteStatement::Run(int64_t& Sum) {
  int64_t Rows = 0;
  Sum = 0;
  for (;;) {
    const int Rc = sqlite3_step(FStmt);
    if (Rc == SQLITE_DONE)
      break;
    if (Rc != SQLITE_ROW) {
      sqlite3_reset(FStmt);
      throw Failure(FDb, "step");
    }
    ++Rows;
    Sum += sqlite3_column_int64(FStmt, 0);
  }
  sqlite3_reset(FStmt);
  return Rows;
}

} // namespace tolvan::bench
