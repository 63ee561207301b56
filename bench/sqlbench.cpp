// sqlbench: SQL statements through the query component over MEMORY tables, timed at 10 000 and
// 100 000 rows of table t, beside the same statements on SQLite in memory with the same indexes
// when the build has it (bench/CMakeLists.txt).
//
//   t: id INTEGER (unique index), k INTEGER 0..999, v VARCHAR(20), f FLOAT, d DATE
//   u: 1 000 rows, id INTEGER (unique index) 0..999 with every tenth id moved past 1 000 (so
//      t JOIN u drops a tenth of t), name VARCHAR(20)
//
// A figure is the median milliseconds per query over 5 runs after a warm-up run. The summary
// gives the growth from 10 000 to 100 000 rows, flagged where it passes the goal (point
// queries 2x, the rest 15x), and the ratio to the reference, flagged above 5x.
//
// Usage: sqlbench [case [rows]]. A case named alone runs by itself, ten times as often, for a
// profiler; with rows, at that size only.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchData.h"
#include "classlib/Components.h"
#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "components/TolvanComponentStartup.h"
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
  T->Open();
  TField& Id = T->FieldByName("id");
  TField& K = T->FieldByName("k");
  TField& V = T->FieldByName("v");
  TField& F = T->FieldByName("f");
  TField& D = T->FieldByName("d");
  const TDateTime Base = EncodeDate(2000, 1, 1);
  for (const TRowT& R : Rows) {
    T->Append();
    Id.SetAsInteger(R.Id);
    K.SetAsInteger(R.K);
    V.SetAsString(R.V);
    F.SetAsFloat(R.F);
    D.SetAsDateTime(Base + R.Day);
    T->Post();
  }
  T->Close();
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
void FillReference(bench::TSqliteReference& Ref, const std::vector<TRowT>& T,
                   const std::vector<TRowU>& U) {
  Ref.Exec("DROP TABLE IF EXISTS t");
  Ref.Exec("DROP TABLE IF EXISTS u");
  Ref.Exec("CREATE TABLE t (id INTEGER, k INTEGER, v VARCHAR(20), f FLOAT, d DATE)");
  Ref.Exec("CREATE TABLE u (id INTEGER, name VARCHAR(20))");
  Ref.Exec("BEGIN");
  {
    bench::TSqliteStatement Insert(Ref, "INSERT INTO t VALUES (?, ?, ?, ?, ?)");
    int64_t Unused = 0;
    for (const TRowT& R : T) {
      Insert.BindInt(1, R.Id);
      Insert.BindInt(2, R.K);
      Insert.BindText(3, R.V);
      Insert.BindDouble(4, R.F);
      Insert.BindText(5, DateText(R.Day));
      Insert.Run(Unused);
    }
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
  std::vector<const TCase*> Run;
  for (const TCase& C : All)
    if (Only.empty() || Only == C.Name)
      Run.push_back(&C);
  if (Run.empty()) {
    std::fprintf(stderr, "unknown case \"%s\"; the cases:\n", Only.c_str());
    for (const TCase& C : All)
      std::fprintf(stderr, "  %s\n", C.Name);
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
  std::vector<TResult> Results(Run.size());
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
  }
  PrintSummary(Run, Results, RunSizes.size());
  return 0;
}
