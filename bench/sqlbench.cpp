// sqlbench: SQL statements through the query component over MEMORY tables, timed at 10 000 and
// 100 000 rows of table t, beside the same statements on SQLite in memory with the same indexes
// when the build has it (bench/CMakeLists.txt).
//
//   t: id INTEGER (unique index), k INTEGER 0..999, v VARCHAR(20), f FLOAT, d DATE
//   u: 1 000 rows, id INTEGER (unique index) 0..999 with every tenth id moved past 1 000 (so
//      t JOIN u drops a tenth of t), name VARCHAR(20)
//
// Queries: a figure is the median milliseconds per query over 5 runs after a warm-up run. The
// summary gives the growth from 10 000 to 100 000 rows, flagged where it passes the goal (point
// queries 2x, the rest 15x), and the ratio to the reference, flagged above 5x.
//
// DML phases: each run starts from t made afresh, untimed, with a plain index on k added (the
// inserts start from t empty). A figure is the median milliseconds per run over 5 runs after a
// warm-up, and microseconds per changed row. The summary holds each phase against its goals:
// per-row growth from 10 000 to 100 000 rows at most 1.5x; a prepared INSERT at most 2x the
// table component's Append/Post per row; a record path at most 4x the batch path.
//
// Usage: sqlbench [case [rows]]. A case or phase named alone runs by itself, ten times as
// often, for a profiler; with rows, at that size only.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchData.h"
#include "classlib/Components.h"
#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDatabase.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLStartup.h"

#ifdef TOLVAN_BENCH_SQLITE
#include "bench/SqliteReference.h"
#endif

using namespace tolvan;

namespace {

constexpr int32_t URows = 1000;
constexpr int DefaultRuns = 5;
// A case whose one run takes longer than this is not repeated.
constexpr double SlowRunMs = 5000;
// A case slower than this per run at the smaller size runs once at the larger one; slower than
// SkipLargerMs it is not run there (a quadratic plan would take an hour).
constexpr double OnceLargerMs = 1000;
constexpr double SkipLargerMs = 8000;

// --- the data -----------------------------------------------------------------------------------

using bench::TextOf;

struct TRowT {
  int32_t Id;
  int32_t K;
  std::string V;
  double F;
  int32_t Day; // days after 2000-01-01
};

struct TRowU {
  int32_t Id;
  std::string Name;
};

// t's ids 1..N in a shuffled order, so that the index, not the insertion order, finds them.
std::vector<TRowT> MakeT(int32_t N) {
  std::mt19937 Random(7);
  std::vector<TRowT> Rows(static_cast<size_t>(N));
  for (int32_t I = 0; I < N; ++I) {
    TRowT& R = Rows[size_t(I)];
    R.Id = I + 1;
    R.K = int32_t(Random() % 1000);
    R.V = TextOf(uint64_t(I) * 3 + 1);
    R.F = double(Random() % 1000000) / 8.0;
    R.Day = int32_t(Random() % 7300);
  }
  std::shuffle(Rows.begin(), Rows.end(), Random);
  return Rows;
}

std::vector<TRowU> MakeU() {
  std::vector<TRowU> Rows(URows);
  for (int32_t I = 0; I < URows; ++I)
    Rows[size_t(I)] = {I % 10 == 0 ? I + 1000 : I, TextOf(uint64_t(I) * 5 + 2)};
  return Rows;
}

std::string DateText(int32_t Day) {
  int Year = 0, Month = 0, DayOfMonth = 0;
  DecodeDate(EncodeDate(2000, 1, 1) + Day, Year, Month, DayOfMonth);
  char Text[16];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02d", Year, Month, DayOfMonth);
  return Text;
}

// Opens t, appends the rows through the component (Append, field writes, Post) and closes it.
void AppendRowsT(TTolvanTable& T, const std::vector<TRowT>& Rows) {
  T.Open();
  TField& Id = T.FieldByName("id");
  TField& K = T.FieldByName("k");
  TField& V = T.FieldByName("v");
  TField& F = T.FieldByName("f");
  TField& D = T.FieldByName("d");
  const TDateTime Base = EncodeDate(2000, 1, 1);
  for (const TRowT& R : Rows) {
    T.Append();
    Id.SetAsInteger(R.Id);
    K.SetAsInteger(R.K);
    V.SetAsString(R.V);
    F.SetAsFloat(R.F);
    D.SetAsDateTime(Base + R.Day);
    T.Post();
  }
  T.Close();
}

void FillEngineT(const std::vector<TRowT>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("t");
  T->AdvFieldDefs().Add("id", tftInteger, 0, false);
  T->AdvFieldDefs().Add("k", tftInteger, 0, false);
  T->AdvFieldDefs().Add("v", tftVarchar, 20, false);
  T->AdvFieldDefs().Add("f", tftDouble, 0, false);
  T->AdvFieldDefs().Add("d", tftDate, 0, false);
  T->CreateTable();
  AppendRowsT(*T, Rows);
  T->AddIndex("t_id", "id", ixUnique);
}

void FillEngineU(const std::vector<TRowU>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("u");
  T->AdvFieldDefs().Add("id", tftInteger, 0, false);
  T->AdvFieldDefs().Add("name", tftVarchar, 20, false);
  T->CreateTable();
  T->Open();
  TField& Id = T->FieldByName("id");
  TField& Name = T->FieldByName("name");
  for (const TRowU& R : Rows) {
    T->Append();
    Id.SetAsInteger(R.Id);
    Name.SetAsString(R.Name);
    T->Post();
  }
  T->Close();
  T->AddIndex("u_id", "id", ixUnique);
}

#ifdef TOLVAN_BENCH_SQLITE
// Inserts the rows into the reference's t through one prepared statement, one row per run;
// the rows the reference reports changed.
int64_t InsertReferenceRowsT(bench::TSqliteReference& Ref, const std::vector<TRowT>& Rows) {
  bench::TSqliteStatement Insert(Ref, "INSERT INTO t (id, k, v, f, d) VALUES (?, ?, ?, ?, ?)");
  int64_t Unused = 0;
  int64_t Changed = 0;
  for (const TRowT& R : Rows) {
    Insert.BindInt(1, R.Id);
    Insert.BindInt(2, R.K);
    Insert.BindText(3, R.V);
    Insert.BindDouble(4, R.F);
    Insert.BindText(5, DateText(R.Day));
    Insert.Run(Unused);
    Changed += Ref.Changes();
  }
  return Changed;
}

void FillReference(bench::TSqliteReference& Ref, const std::vector<TRowT>& T,
                   const std::vector<TRowU>& U) {
  Ref.Exec("DROP TABLE IF EXISTS t");
  Ref.Exec("DROP TABLE IF EXISTS u");
  Ref.Exec("CREATE TABLE t (id INTEGER, k INTEGER, v VARCHAR(20), f FLOAT, d DATE)");
  Ref.Exec("CREATE TABLE u (id INTEGER, name VARCHAR(20))");
  Ref.Exec("BEGIN");
  {
    InsertReferenceRowsT(Ref, T);
    int64_t Unused = 0;
    bench::TSqliteStatement InsertU(Ref, "INSERT INTO u VALUES (?, ?)");
    for (const TRowU& R : U) {
      InsertU.BindInt(1, R.Id);
      InsertU.BindText(2, R.Name);
      InsertU.Run(Unused);
    }
  }
  Ref.Exec("COMMIT");
  Ref.Exec("CREATE UNIQUE INDEX t_id ON t(id)");
  Ref.Exec("CREATE UNIQUE INDEX u_id ON u(id)");
  Ref.Exec("ANALYZE");
}
#endif

// --- running statements -------------------------------------------------------------------------

struct TCount {
  int64_t Rows = 0;
  int64_t Sum = 0; // of the first column over the rows, nulls as 0: a check on the values
};

// Walks the open query's rows into Out.
void Drain(TTolvanQuery& Q, TCount& Out) {
  TField& First = Q.Fields()[0];
  for (Q.First(); !Q.Eof(); Q.Next()) {
    ++Out.Rows;
    Out.Sum += First.AsLargeInt();
  }
}

TComponentPtr<TTolvanQuery> NewQuery(std::string_view Sql) {
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetDatabaseName("MEMORY");
  Q->SetSQLText(Sql);
  return Q;
}

// The point and range keys: a fixed pseudo-random sequence over 1..N.
std::vector<int32_t> Keys(int32_t N, size_t Count, uint32_t Seed) {
  std::mt19937 Random(Seed);
  std::vector<int32_t> Out(Count);
  for (int32_t& K : Out)
    K = int32_t(1 + Random() % uint32_t(N));
  return Out;
}

constexpr int32_t PointQueries = 10000;
constexpr int32_t RangeQueries = 100;
constexpr int32_t RangeWidth = 1000;

const char* const PointSql = "SELECT id, k, v, f, d FROM t WHERE id = ";
const char* const RangeSql = "SELECT id, k, v, f, d FROM t WHERE id >= :lo AND id <= :hi";

std::string RangeLiteral(int32_t Key) {
  return "SELECT id, k, v, f, d FROM t WHERE id >= " + std::to_string(Key) +
         " AND id <= " + std::to_string(Key + RangeWidth - 1);
}

// One case: how each engine runs it once (a run may be many queries), and how many queries a
// run makes.
struct TCase {
  const char* Name;
  const char* Sql; // as shown; the engine's text, with :parameters
  bool Point;      // the growth goal: 2x for point queries, 15x otherwise
  int32_t Queries;
  std::function<void(int32_t N, TCount&)> Engine;
#ifdef TOLVAN_BENCH_SQLITE
  std::function<void(bench::TSqliteReference&, int32_t N, TCount&)> Reference;
#endif
};

// A statement run once per query as it stands.
TCase Whole(const char* Name, const char* Sql) {
  TCase C{Name,
          Sql,
          false,
          1,
          [Sql](int32_t, TCount& Out) {
            TComponentPtr<TTolvanQuery> Q = NewQuery(Sql);
            Q->Open();
            Drain(*Q, Out);
            Q->Close();
          }
#ifdef TOLVAN_BENCH_SQLITE
          ,
          [Sql](bench::TSqliteReference& Ref, int32_t, TCount& Out) {
            int64_t Sum = 0;
            Out.Rows += Ref.Run(Sql, Sum);
            Out.Sum += Sum;
          }
#endif
  };
  return C;
}

std::vector<TCase> Cases() {
  std::vector<TCase> List;
  List.push_back({"point, kept", "SELECT id, k, v, f, d FROM t WHERE id = :id", true, PointQueries,
                  [](int32_t N, TCount& Out) {
                    TComponentPtr<TTolvanQuery> Q = NewQuery(std::string(PointSql) + ":id");
                    TParam& Id = Q->ParamByName("id");
                    for (int32_t Key : Keys(N, PointQueries, 1)) {
                      Id.SetAsInteger(Key);
                      Q->Open();
                      Drain(*Q, Out);
                      Q->Close();
                    }
                  }
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  [](bench::TSqliteReference& Ref, int32_t N, TCount& Out) {
                    bench::TSqliteStatement S(Ref, std::string(PointSql) + "?");
                    for (int32_t Key : Keys(N, PointQueries, 1)) {
                      S.BindInt(1, Key);
                      int64_t Sum = 0;
                      Out.Rows += S.Run(Sum);
                      Out.Sum += Sum;
                    }
                  }
#endif
  });
  List.push_back({"point, new text", "SELECT id, k, v, f, d FROM t WHERE id = <n>", true,
                  PointQueries,
                  [](int32_t N, TCount& Out) {
                    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
                    Q->SetDatabaseName("MEMORY");
                    for (int32_t Key : Keys(N, PointQueries, 2)) {
                      Q->SetSQLText(PointSql + std::to_string(Key));
                      Q->Open();
                      Drain(*Q, Out);
                      Q->Close();
                    }
                  }
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  [](bench::TSqliteReference& Ref, int32_t N, TCount& Out) {
                    for (int32_t Key : Keys(N, PointQueries, 2)) {
                      int64_t Sum = 0;
                      Out.Rows += Ref.Run(PointSql + std::to_string(Key), Sum);
                      Out.Sum += Sum;
                    }
                  }
#endif
  });
  List.push_back({"range 1000 ids", RangeSql, false, RangeQueries,
                  [](int32_t N, TCount& Out) {
                    TComponentPtr<TTolvanQuery> Q = NewQuery(RangeSql);
                    TParam& Lo = Q->ParamByName("lo");
                    TParam& Hi = Q->ParamByName("hi");
                    for (int32_t Key : Keys(N - RangeWidth + 1, RangeQueries, 3)) {
                      Lo.SetAsInteger(Key);
                      Hi.SetAsInteger(Key + RangeWidth - 1);
                      Q->Open();
                      Drain(*Q, Out);
                      Q->Close();
                    }
                  }
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  [](bench::TSqliteReference& Ref, int32_t N, TCount& Out) {
                    bench::TSqliteStatement S(
                        Ref, "SELECT id, k, v, f, d FROM t WHERE id >= ?1 AND id <= ?2");
                    for (int32_t Key : Keys(N - RangeWidth + 1, RangeQueries, 3)) {
                      S.BindInt(1, Key);
                      S.BindInt(2, Key + RangeWidth - 1);
                      int64_t Sum = 0;
                      Out.Rows += S.Run(Sum);
                      Out.Sum += Sum;
                    }
                  }
#endif
  });
  // The same range as literals in a new text each time: tells the parameter binding apart from
  // the plan.
  List.push_back({"range, literal",
                  "SELECT id, k, v, f, d FROM t WHERE id >= <n> AND id <= <n+999>", false,
                  RangeQueries,
                  [](int32_t N, TCount& Out) {
                    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
                    Q->SetDatabaseName("MEMORY");
                    for (int32_t Key : Keys(N - RangeWidth + 1, RangeQueries, 3)) {
                      Q->SetSQLText(RangeLiteral(Key));
                      Q->Open();
                      Drain(*Q, Out);
                      Q->Close();
                    }
                  }
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  [](bench::TSqliteReference& Ref, int32_t N, TCount& Out) {
                    for (int32_t Key : Keys(N - RangeWidth + 1, RangeQueries, 3)) {
                      int64_t Sum = 0;
                      Out.Rows += Ref.Run(RangeLiteral(Key), Sum);
                      Out.Sum += Sum;
                    }
                  }
#endif
  });
  List.push_back(Whole("order by f", "SELECT id, f FROM t ORDER BY f"));
  List.push_back(Whole("group by k", "SELECT k, COUNT(*), SUM(f), AVG(f) FROM t GROUP BY k"));
  List.push_back(Whole("join u", "SELECT t.id, u.name FROM t JOIN u ON t.k = u.id"));
  List.push_back(
      Whole("in sub-query", "SELECT id, v FROM t WHERE k IN (SELECT id FROM u WHERE name < 'c')"));
  return List;
}

// --- the DML phases -----------------------------------------------------------------------------
//
// A phase changes t, so every run starts from a table made afresh, outside the timing: t as the
// SELECT cases see it with a plain index on k added, or, for the inserts, t empty with both
// indexes. A figure's rows are the rows the statement changed.

// 10% of the rows, by the indexed k and by the unindexed f (0..125 000).
const char* const WhereK = " WHERE k < 100";
const char* const WhereF = " WHERE f < 12500";

const char* const InsertSql = "INSERT INTO t (id, k, v, f, d) VALUES (:id, :k, :v, :f, :d)";

void MakeEngineT(const std::vector<TRowT>& Rows) {
  FillEngineT(Rows);
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetTableName("t");
  T->AddIndex("t_k", "k", {});
}

int64_t ExecSql(std::string_view Sql) {
  TComponentPtr<TTolvanQuery> Q = NewQuery(Sql);
  Q->ExecSQL();
  return Q->RowsAffected64();
}

int64_t InsertPrepared(const std::vector<TRowT>& Rows) {
  TComponentPtr<TTolvanQuery> Q = NewQuery(InsertSql);
  TParam& Id = Q->ParamByName("id");
  TParam& K = Q->ParamByName("k");
  TParam& V = Q->ParamByName("v");
  TParam& F = Q->ParamByName("f");
  TParam& D = Q->ParamByName("d");
  Q->Prepare();
  const TDateTime Base = EncodeDate(2000, 1, 1);
  int64_t Changed = 0;
  for (const TRowT& R : Rows) {
    Id.SetAsInteger(R.Id);
    K.SetAsInteger(R.K);
    V.SetAsString(R.V);
    F.SetAsFloat(R.F);
    D.SetAsDateTime(Base + R.Day);
    Q->ExecSQL();
    Changed += Q->RowsAffected64();
  }
  return Changed;
}

int64_t InsertThroughTable(const std::vector<TRowT>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetTableName("t");
  AppendRowsT(*T, Rows);
  return int64_t(Rows.size());
}

// The statement with a BeforeDeleteRecord handler on MEMORY, which sends DELETE record by record.
int64_t ExecWithDeleteHandler(std::string_view Sql) {
  TComponentPtr<TTolvanDatabase> Db(TTolvanDatabase::Create(nullptr));
  int64_t Seen = 0;
  Db->SetBeforeDeleteRecord(
      [&Seen](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant, bool&) { ++Seen; });
  Db->Open();
  const int64_t Changed = ExecSql(Sql);
  Db->Close();
  if (Seen != Changed)
    throw std::runtime_error("the delete handler saw " + std::to_string(Seen) + " of " +
                             std::to_string(Changed) + " rows");
  return Changed;
}

#ifdef TOLVAN_BENCH_SQLITE
void MakeReferenceT(bench::TSqliteReference& Ref, const std::vector<TRowT>& Rows) {
  Ref.Exec("DROP TABLE IF EXISTS t");
  Ref.Exec("CREATE TABLE t (id INTEGER, k INTEGER, v VARCHAR(20), f FLOAT, d DATE)");
  Ref.Exec("CREATE UNIQUE INDEX t_id ON t(id)");
  Ref.Exec("CREATE INDEX t_k ON t(k)");
  Ref.Exec("BEGIN");
  InsertReferenceRowsT(Ref, Rows);
  Ref.Exec("COMMIT");
  Ref.Exec("ANALYZE");
}

int64_t ReferenceInsert(bench::TSqliteReference& Ref, const std::vector<TRowT>& Rows) {
  Ref.Exec("BEGIN");
  const int64_t Changed = InsertReferenceRowsT(Ref, Rows);
  Ref.Exec("COMMIT");
  return Changed;
}

int64_t ReferenceExec(bench::TSqliteReference& Ref, std::string_view Sql) {
  Ref.Exec(Sql);
  return Ref.Changes();
}
#endif

// One phase: the table it starts from, and how each engine runs it once.
struct TDmlPhase {
  const char* Name;
  const char* Sql; // as shown
  bool Empty;      // starts from an empty t
  // The phase this one is held against, and the goal of that ratio (0: none).
  const char* Beside;
  double BesideGoal;
  std::function<int64_t(const std::vector<TRowT>&)> Engine;
#ifdef TOLVAN_BENCH_SQLITE
  std::function<int64_t(bench::TSqliteReference&, const std::vector<TRowT>&)> Reference;
#endif
};

// A statement that runs as it stands on both engines; Engine runs it on this one.
TDmlPhase Statement(const char* Name, std::string Sql, const char* Beside, double Goal,
                    int64_t (*Engine)(std::string_view)) {
  // The phase outlives the table of phases' construction: it keeps its own text.
  auto Text = std::make_shared<const std::string>(std::move(Sql));
  TDmlPhase P{Name,
              Text->c_str(),
              false,
              Beside,
              Goal,
              [Text, Engine](const std::vector<TRowT>&) { return Engine(*Text); }
#ifdef TOLVAN_BENCH_SQLITE
              ,
              [Text](bench::TSqliteReference& Ref, const std::vector<TRowT>&) {
                return ReferenceExec(Ref, *Text);
              }
#endif
  };
  return P;
}

std::vector<TDmlPhase> DmlPhases() {
  std::vector<TDmlPhase> List;
  List.push_back({"insert, prepared", InsertSql, true, "insert, table", 2, InsertPrepared
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  ReferenceInsert
#endif
  });
  List.push_back({"insert, table", "TTolvanTable: Append, 5 field writes, Post", true, nullptr, 0,
                  InsertThroughTable
#ifdef TOLVAN_BENCH_SQLITE
                  ,
                  ReferenceInsert
#endif
  });
  const std::string SetConstant = "UPDATE t SET f = 0";
  const std::string SetComputed = "UPDATE t SET f = f + 1";
  const std::string Delete = "DELETE FROM t";
  List.push_back(Statement("update batch, k", SetConstant + WhereK, nullptr, 0, ExecSql));
  List.push_back(Statement("update batch, f", SetConstant + WhereF, nullptr, 0, ExecSql));
  List.push_back(
      Statement("update record, k", SetComputed + WhereK, "update batch, k", 4, ExecSql));
  List.push_back(
      Statement("update record, f", SetComputed + WhereF, "update batch, f", 4, ExecSql));
  List.push_back(Statement("delete batch, k", Delete + WhereK, nullptr, 0, ExecSql));
  List.push_back(Statement("delete batch, f", Delete + WhereF, nullptr, 0, ExecSql));
  List.push_back(
      Statement("delete record, k", Delete + WhereK, "delete batch, k", 4, ExecWithDeleteHandler));
  List.push_back(
      Statement("delete record, f", Delete + WhereF, "delete batch, f", 4, ExecWithDeleteHandler));
  return List;
}

// --- measuring ----------------------------------------------------------------------------------

struct TFigure {
  bool Ran = false;
  std::string Note; // why it did not run
  double MsPerQuery = 0;
  double MsPerRun = 0;
  TCount Count; // of one run
  int Runs = 0;
};

double Median(std::vector<double> Times) {
  std::sort(Times.begin(), Times.end());
  return Times[Times.size() / 2];
}

// A warm-up run, then Runs timed runs (fewer when one is slow); the median.
template <class F> TFigure Time(int Runs, int32_t Queries, F&& Body) {
  TFigure Out;
  try {
    TCount Warm;
    const auto WarmStart = std::chrono::steady_clock::now();
    Body(Warm);
    const double WarmMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - WarmStart)
            .count();
    std::vector<double> Times;
    if (WarmMs > SlowRunMs) {
      Times.push_back(WarmMs);
      Out.Count = Warm;
    }
    for (int R = 0; R < Runs && WarmMs <= SlowRunMs; ++R) {
      TCount Count;
      const auto Start = std::chrono::steady_clock::now();
      Body(Count);
      const double Ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
              .count();
      Times.push_back(Ms);
      Out.Count = Count;
      if (Ms > SlowRunMs)
        break;
    }
    Out.Ran = true;
    Out.Runs = int(Times.size());
    Out.MsPerRun = Median(std::move(Times));
    Out.MsPerQuery = Out.MsPerRun / Queries;
  } catch (const Exception& E) {
    Out.Note = "failed: " + E.Message();
  } catch (const std::exception& E) {
    Out.Note = std::string("failed: ") + E.what();
  }
  return Out;
}

struct TResult {
  TFigure Engine[2];
  TFigure Reference[2];
};

int32_t Sizes[2] = {10000, 100000};

std::string SizeLabel(int32_t N) {
  return N % 1000 == 0 ? std::to_string(N / 1000) + "k" : std::to_string(N);
}

std::string Ms(const TFigure& F) {
  if (!F.Ran)
    return "         -";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%10.4f", F.MsPerQuery);
  return Text;
}

std::string Growth(const TFigure& Small, const TFigure& Large, double Goal) {
  if (!Small.Ran || !Large.Ran || Small.MsPerQuery <= 0)
    return "      -";
  char Text[32];
  const double G = Large.MsPerQuery / Small.MsPerQuery;
  std::snprintf(Text, sizeof Text, "%6.2f%s", G, Goal > 0 && G > Goal ? "!" : " ");
  return Text;
}

std::string Ratio(const TFigure& E, const TFigure& R) {
  return bench::RatioText(E.Ran && R.Ran, E.MsPerQuery, R.MsPerQuery);
}

void PrintLine(const TCase& C, int32_t N, const TFigure& E, const TFigure& R) {
  std::printf("%-16s %7d |", C.Name, N);
  if (E.Ran)
    std::printf(" %10.4f ms/query %9.2f ms/run %8lld rows/run", E.MsPerQuery, E.MsPerRun,
                static_cast<long long>(E.Count.Rows));
  else
    std::printf(" %s", E.Note.c_str());
  if (R.Ran)
    std::printf(" | ref %10.4f ms/query", R.MsPerQuery);
  else if (!R.Note.empty())
    std::printf(" | ref %s", R.Note.c_str());
  if (E.Ran && R.Ran) {
    std::printf(" | x%.1f", E.MsPerQuery / R.MsPerQuery);
    if (E.Count.Rows != R.Count.Rows || E.Count.Sum != R.Count.Sum)
      std::printf(" | RESULTS DIFFER (rows %lld, %lld; sums %lld, %lld)",
                  static_cast<long long>(E.Count.Rows), static_cast<long long>(R.Count.Rows),
                  static_cast<long long>(E.Count.Sum), static_cast<long long>(R.Count.Sum));
  }
  if (E.Ran && E.Runs < DefaultRuns)
    std::printf(" | %d run(s)", E.Runs);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintSummary(const std::vector<const TCase*>& Run, const std::vector<TResult>& Results,
                  size_t SizeCount) {
  if (SizeCount < 2) {
    std::printf("\n(one size: no growth figures)\n");
    return;
  }
  const std::string Small = SizeLabel(Sizes[0]), Large = SizeLabel(Sizes[1]);
  std::printf("\nsummary (ms per query, median of %d runs after a warm-up; growth %s over %s, ! "
              "past the goal: 2x for point queries, 15x otherwise; x: engine over reference, * "
              "above 5x)\n",
              DefaultRuns, Large.c_str(), Small.c_str());
  std::printf("%-16s %10s %10s %7s | %10s %10s %7s | %7s %7s\n", "case", (Small + " ms").c_str(),
              (Large + " ms").c_str(), "growth", ("ref " + Small).c_str(), ("ref " + Large).c_str(),
              "growth", ("x " + Small).c_str(), ("x " + Large).c_str());
  for (size_t I = 0; I < Run.size(); ++I) {
    const TCase& C = *Run[I];
    const TResult& R = Results[I];
    std::printf("%-16s %s %s %s | %s %s %s | %s %s", C.Name, Ms(R.Engine[0]).c_str(),
                Ms(R.Engine[1]).c_str(), Growth(R.Engine[0], R.Engine[1], C.Point ? 2 : 15).c_str(),
                Ms(R.Reference[0]).c_str(), Ms(R.Reference[1]).c_str(),
                Growth(R.Reference[0], R.Reference[1], 0).c_str(),
                Ratio(R.Engine[0], R.Reference[0]).c_str(),
                Ratio(R.Engine[1], R.Reference[1]).c_str());
    if (!R.Engine[0].Ran)
      std::printf("  %s", R.Engine[0].Note.c_str());
    else if (!R.Engine[1].Ran)
      std::printf("  %s: %s", Large.c_str(), R.Engine[1].Note.c_str());
    std::printf("\n");
  }
}

// --- measuring the DML phases -------------------------------------------------------------------

// A warm-up run, then Runs timed runs (fewer when one is slow), each after Setup, which is not
// timed; the median. Count.Rows: the rows one run changed.
template <class S, class F> TFigure TimeDml(int Runs, S&& Setup, F&& Body) {
  TFigure Out;
  try {
    Setup();
    const auto WarmStart = std::chrono::steady_clock::now();
    Out.Count.Rows = Body();
    const double WarmMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - WarmStart)
            .count();
    std::vector<double> Times;
    if (WarmMs > SlowRunMs)
      Times.push_back(WarmMs);
    for (int R = 0; R < Runs && WarmMs <= SlowRunMs; ++R) {
      Setup();
      const auto Start = std::chrono::steady_clock::now();
      const int64_t Rows = Body();
      const double Ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
              .count();
      if (Rows != Out.Count.Rows)
        throw std::runtime_error("runs changed " + std::to_string(Out.Count.Rows) + " and " +
                                 std::to_string(Rows) + " rows");
      Times.push_back(Ms);
      if (Ms > SlowRunMs)
        break;
    }
    Out.Ran = true;
    Out.Runs = int(Times.size());
    Out.MsPerRun = Median(std::move(Times));
    Out.MsPerQuery = Out.MsPerRun;
  } catch (const Exception& E) {
    Out.Note = "failed: " + E.Message();
  } catch (const std::exception& E) {
    Out.Note = std::string("failed: ") + E.what();
  }
  return Out;
}

// Microseconds per changed row; 0 when nothing changed.
double UsPerRow(const TFigure& F) {
  return F.Ran && F.Count.Rows > 0 ? F.MsPerRun * 1000.0 / double(F.Count.Rows) : 0;
}

std::string RunMs(const TFigure& F) {
  if (!F.Ran)
    return "        -";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%9.2f", F.MsPerRun);
  return Text;
}

std::string Us(const TFigure& F) {
  if (!F.Ran || F.Count.Rows <= 0)
    return "      -";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%7.3f", UsPerRow(F));
  return Text;
}

// A over B, flagged with ! past Goal (0: no goal).
std::string GoalRatio(bool Ran, double A, double B, double Goal) {
  if (!Ran || B <= 0)
    return "      -";
  char Text[32];
  const double X = A / B;
  std::snprintf(Text, sizeof Text, "%6.2f%s", X, Goal > 0 && X > Goal ? "!" : " ");
  return Text;
}

void PrintDmlLine(const TDmlPhase& P, int32_t N, const TFigure& E, const TFigure& R) {
  std::printf("%-18s %7d |", P.Name, N);
  if (E.Ran)
    std::printf(" %9.2f ms/run %8.3f us/row %8lld rows", E.MsPerRun, UsPerRow(E),
                static_cast<long long>(E.Count.Rows));
  else
    std::printf(" %s", E.Note.c_str());
  if (R.Ran)
    std::printf(" | ref %9.2f ms/run", R.MsPerRun);
  else if (!R.Note.empty())
    std::printf(" | ref %s", R.Note.c_str());
  if (E.Ran && R.Ran) {
    std::printf(" | x%.1f", E.MsPerRun / R.MsPerRun);
    if (E.Count.Rows != R.Count.Rows)
      std::printf(" | ROWS DIFFER (%lld, %lld)", static_cast<long long>(E.Count.Rows),
                  static_cast<long long>(R.Count.Rows));
  }
  if (E.Ran && E.Runs < DefaultRuns)
    std::printf(" | %d run(s)", E.Runs);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintDmlSummary(const std::vector<const TDmlPhase*>& Run, const std::vector<TResult>& Results,
                     size_t SizeCount) {
  const std::string Small = SizeLabel(Sizes[0]);
  const std::string Large = SizeCount > 1 ? SizeLabel(Sizes[1]) : "-";
  std::printf("\nDML summary (median ms per run of %d after a warm-up; us per changed row; "
              "growth of us/row %s over %s, ! past 1.5x; x ref: engine over reference; beside: "
              "over the phase named, ! past its goal)\n",
              DefaultRuns, Large.c_str(), Small.c_str());
  std::printf("%-18s %9s %7s %9s %7s %7s | %9s %9s | %7s %7s | %7s %7s %s\n", "phase",
              (Small + " ms").c_str(), "us/row", (Large + " ms").c_str(), "us/row", "growth",
              ("ref " + Small).c_str(), ("ref " + Large).c_str(), ("x " + Small).c_str(),
              ("x " + Large).c_str(), ("by " + Small).c_str(), ("by " + Large).c_str(), "beside");
  auto Find = [&](const char* Name) -> const TResult* {
    for (size_t I = 0; Name && I < Run.size(); ++I)
      if (std::string_view(Run[I]->Name) == Name)
        return &Results[I];
    return nullptr;
  };
  for (size_t I = 0; I < Run.size(); ++I) {
    const TDmlPhase& P = *Run[I];
    const TResult& R = Results[I];
    const TFigure& E0 = R.Engine[0];
    const TFigure& E1 = R.Engine[1];
    std::printf(
        "%-18s %s %s %s %s %s | %s %s | %s %s |", P.Name, RunMs(E0).c_str(), Us(E0).c_str(),
        RunMs(E1).c_str(), Us(E1).c_str(),
        GoalRatio(SizeCount > 1 && E0.Ran && E1.Ran, UsPerRow(E1), UsPerRow(E0), 1.5).c_str(),
        RunMs(R.Reference[0]).c_str(), RunMs(R.Reference[1]).c_str(),
        bench::RatioText(E0.Ran && R.Reference[0].Ran, E0.MsPerRun, R.Reference[0].MsPerRun)
            .c_str(),
        bench::RatioText(E1.Ran && R.Reference[1].Ran, E1.MsPerRun, R.Reference[1].MsPerRun)
            .c_str());
    const TResult* B = Find(P.Beside);
    for (size_t S = 0; S < 2; ++S)
      std::printf(" %s", B ? GoalRatio(S < SizeCount && R.Engine[S].Ran && B->Engine[S].Ran,
                                       UsPerRow(R.Engine[S]), UsPerRow(B->Engine[S]), P.BesideGoal)
                                 .c_str()
                           : "      -");
    if (B)
      std::printf(" %s", P.Beside);
    if (!E0.Ran)
      std::printf("  %s", E0.Note.c_str());
    else if (SizeCount > 1 && !E1.Ran)
      std::printf("  %s: %s", Large.c_str(), E1.Note.c_str());
    std::printf("\n");
  }
}

} // namespace

int main(int Argc, char** Argv) {
  const std::string Only = Argc > 1 ? Argv[1] : "";
  std::vector<int32_t> RunSizes(std::begin(Sizes), std::end(Sizes));
  if (Argc > 2) {
    RunSizes = {std::max(1000, std::atoi(Argv[2]))};
    Sizes[0] = RunSizes[0];
  }
  TComponentRegistriesScope Registries;
  InitSQLLayer();
  const std::vector<TCase> All = Cases();
  const std::vector<TDmlPhase> AllDml = DmlPhases();
  std::vector<const TCase*> Run;
  for (const TCase& C : All)
    if (Only.empty() || Only == C.Name)
      Run.push_back(&C);
  std::vector<const TDmlPhase*> RunDml;
  for (const TDmlPhase& P : AllDml)
    if (Only.empty() || Only == P.Name)
      RunDml.push_back(&P);
  if (Run.empty() && RunDml.empty()) {
    std::fprintf(stderr, "unknown case \"%s\"; the cases:\n", Only.c_str());
    for (const TCase& C : All)
      std::fprintf(stderr, "  %s\n", C.Name);
    for (const TDmlPhase& P : AllDml)
      std::fprintf(stderr, "  %s\n", P.Name);
    return 2;
  }
  const int Runs = Only.empty() ? DefaultRuns : DefaultRuns * 10;
#ifdef TOLVAN_BENCH_SQLITE
  bench::TSqliteReference Ref;
  std::printf("sqlbench; reference: SQLite %s in memory\n", bench::TSqliteReference::Version());
#else
  std::printf("sqlbench; no reference database in this build\n");
#endif
  const std::vector<TRowU> U = MakeU();
  const std::vector<TRowT> NoRows;
  std::vector<TResult> Results(Run.size());
  std::vector<TResult> DmlResults(RunDml.size());
  for (size_t S = 0; S < RunSizes.size(); ++S) {
    const int32_t N = RunSizes[S];
    const std::vector<TRowT> T = MakeT(N);
    FillEngineT(T);
    FillEngineU(U);
#ifdef TOLVAN_BENCH_SQLITE
    FillReference(Ref, T, U);
#endif
    for (size_t I = 0; I < Run.size(); ++I) {
      const TCase& C = *Run[I];
      TResult& R = Results[I];
      int CaseRuns = Runs;
      const TFigure& Before = R.Engine[0];
      if (S > 0 && Before.Ran && Before.MsPerRun > SkipLargerMs) {
        R.Engine[S].Note = "not run (too slow at " + SizeLabel(RunSizes[0]) + ")";
        CaseRuns = 0;
      } else if (S > 0 && Before.Ran && Before.MsPerRun > OnceLargerMs) {
        CaseRuns = 1;
      }
      if (CaseRuns > 0)
        R.Engine[S] = Time(CaseRuns, C.Queries, [&](TCount& Out) { C.Engine(N, Out); });
#ifdef TOLVAN_BENCH_SQLITE
      R.Reference[S] = Time(DefaultRuns, C.Queries, [&](TCount& Out) { C.Reference(Ref, N, Out); });
#endif
      PrintLine(C, N, R.Engine[S], R.Reference[S]);
    }
    for (size_t I = 0; I < RunDml.size(); ++I) {
      const TDmlPhase& P = *RunDml[I];
      TResult& R = DmlResults[I];
      const std::vector<TRowT>& Start = P.Empty ? NoRows : T;
      R.Engine[S] = TimeDml(
          Runs, [&] { MakeEngineT(Start); }, [&] { return P.Engine(T); });
#ifdef TOLVAN_BENCH_SQLITE
      R.Reference[S] = TimeDml(
          DefaultRuns, [&] { MakeReferenceT(Ref, Start); }, [&] { return P.Reference(Ref, T); });
#endif
      PrintDmlLine(P, N, R.Engine[S], R.Reference[S]);
    }
  }
  if (!Run.empty())
    PrintSummary(Run, Results, RunSizes.size());
  if (!RunDml.empty())
    PrintDmlSummary(RunDml, DmlResults, RunSizes.size());
  return 0;
}
