// The relational operators over MEMORY tables, with the heap allocations of each case.
//
// The base operator's cases run through the test stand-in leaf over a 100 000-row table, beside
// a floor doing the same work with std:: containers on the same values:
//   "100000 copy"            SELECT * (the copy into a result table)
//   "DISTINCT grp"           DISTINCT on a 1 000-valued column
//   "DISTINCT id, name"      DISTINCT on a unique pair
//   "ORDER BY name"          a sort on a text column
//   "TOP 10"                 TOP without and with ORDER BY ("TOP 10 ORDER BY name")
//   "1000000 copy"           the copy at 1 000 000 rows
//
// The phases (OperatorPhases.cpp) build their trees by hand from the table, join, union and
// group-by operators over two tables t and u, time them at 10 000 and 100 000 rows (median of 5)
// beside the same query on SQLite in memory when the build found it, and print the growth
// between the sizes (flagged past 15x), the ratio to the reference and the allocations per
// driving row (joins: one probe each) or per row read:
//   "join id"                inner join on the unique indexed id (index probes)
//   "join k"                 inner join on the indexed k, about 10 matches per row
//   "join unindexed"         inner join on an unindexed copy of id (hash probes)
//   "left join"              LEFT join on id, 10 % of t unmatched
//   "full join"              FULL join on id
//   "group by g"             GROUP BY g (100 groups) with COUNT(*), SUM and AVG, no index on g
//   "group by g, indexed"    the same over tg, which has an index on g
//   "count(*)"               SELECT COUNT(*) alone
//   "union", "intersect", "except"   on (v, s), the two tables overlapping by half
// A phase whose operator is not built yet prints "skipped (not built)".
//
// A Release build:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAN_TESTS=OFF
//   cmake --build build/release --target operators && build/release/bench/operators
// An argument names one case or phase to run alone, ten times as often, for a profile (e.g.
// build/release/bench/operators "join unindexed"); "phases" runs only the phases. A second
// argument sets the phases' smaller size (e.g. "phases 1000" for a sanitizer build).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/AllocCounter.h"
#include "bench/OperatorPhases.h"
#include "classlib/DBFields.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "sql/TolvanAO.h"
#include "tests/sql/support/TestAO.h"

namespace {

using namespace tolvan;
using namespace tolvan::test;

// The table's rows as the floors see them.
struct TBenchRow {
  int32_t Id;
  int32_t Grp;
  double Val;
  std::string Name;
};

std::vector<TBenchRow> MakeRows(int32_t Count) {
  std::mt19937 Random(7);
  std::vector<TBenchRow> Rows(static_cast<size_t>(Count));
  for (int32_t I = 0; I < Count; ++I) {
    TBenchRow& R = Rows[size_t(I)];
    R.Id = I + 1;
    R.Grp = int32_t(Random() % 1000);
    R.Val = double(Random() % 100000) / 8;
    R.Name.resize(6 + Random() % 10);
    for (char& C : R.Name)
      C = char((Random() % 2 ? 'a' : 'A') + Random() % 26);
  }
  return Rows;
}

void FillTable(std::string_view Name, const std::vector<TBenchRow>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  T->AdvFieldDefs().Add("id", tftInteger, 0, false);
  T->AdvFieldDefs().Add("grp", tftInteger, 0, false);
  T->AdvFieldDefs().Add("val", tftDouble, 0, false);
  T->AdvFieldDefs().Add("name", tftVarchar, 20, false);
  T->CreateTable();
  T->Open();
  TField& Id = T->FieldByName("id");
  TField& Grp = T->FieldByName("grp");
  TField& Val = T->FieldByName("val");
  TField& Nm = T->FieldByName("name");
  for (const TBenchRow& R : Rows) {
    T->Append();
    Id.SetAsInteger(R.Id);
    Grp.SetAsInteger(R.Grp);
    Val.SetAsFloat(R.Val);
    Nm.SetAsString(R.Name);
    T->Post();
  }
  T->Close();
}

struct TQuery {
  std::vector<const char*> Columns; // empty: *
  bool Distinct = false;
  int64_t Top = -1;
  const char* OrderBy = nullptr;
};

// Runs the query over the table and walks its result; the number of rows it gave.
int64_t RunQuery(std::string_view Table, const TQuery& Q) {
  auto Root = std::make_unique<TTestAOLeaf>(Table);
  std::vector<TTolvanSelectListItem> List;
  if (Q.Columns.empty())
    List.emplace_back().AllFields = true;
  for (const char* C : Q.Columns) {
    TTolvanSelectListItem& S = List.emplace_back();
    S.TableName = AnsiString(Table);
    S.FieldName = C;
  }
  Root->SetSelectList(List, int32_t(List.size()) - 1, Q.Distinct);
  if (Q.Top >= 0)
    Root->SetTop(-1, Q.Top);
  if (Q.OrderBy) {
    TTolvanSortSpecification S;
    S.FieldName = Q.OrderBy;
    Root->SetOrderBy(std::span<const TTolvanSortSpecification>(&S, 1), "");
  }
  Root->Prepare(true);
  int64_t N = 0;
  for (Root->First(); !Root->Eof(); Root->Next())
    ++N;
  return N;
}

struct TMeasure {
  double Ms;
  double AllocsPerRow;
  int64_t Result;
};

TMeasure Measure(int Runs, int64_t Rows, const std::function<int64_t()>& Body) {
  std::vector<double> Times;
  int64_t Allocs = 0, Result = 0;
  for (int R = 0; R < Runs; ++R) {
    const int64_t Before = tolvan::bench::HeapAllocations();
    const auto Start = std::chrono::steady_clock::now();
    Result = Body();
    Times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
            .count());
    Allocs = tolvan::bench::HeapAllocations() - Before;
  }
  std::sort(Times.begin(), Times.end());
  return {Times[Times.size() / 2], double(Allocs) / double(Rows), Result};
}

// A case name to run alone (for a profile), or empty for all.
std::string GOnly;

bool Wanted(const std::string& Case) { return GOnly.empty() || Case == GOnly; }

// A case run alone runs the engine ten times as often, so that a profile shows it over the set-up.
int EngineRuns(int Runs) { return GOnly.empty() ? Runs : Runs * 10; }

void Report(const char* Case, const TMeasure& Engine, const TMeasure& Floor) {
  std::printf("%-28s %9.2f ms %8.2f allocs/row %8lld rows | floor %8.2f ms %6.2f allocs/row "
              "%8lld rows | x%.1f\n",
              Case, Engine.Ms, Engine.AllocsPerRow, static_cast<long long>(Engine.Result), Floor.Ms,
              Floor.AllocsPerRow, static_cast<long long>(Floor.Result),
              Floor.Ms > 0 ? Engine.Ms / Floor.Ms : 0.0);
}

bool ByName(const TBenchRow* A, const TBenchRow* B) { return A->Name < B->Name; }

void RunCases(std::string_view Table, const std::vector<TBenchRow>& Rows, int Runs, bool All) {
  const auto N = int64_t(Rows.size());
  auto Copy = [&] {
    std::vector<TBenchRow> Out(Rows.begin(), Rows.end());
    return int64_t(Out.size());
  };
  const std::string CopyName = std::to_string(N) + " copy";
  if (Wanted(CopyName))
    Report(CopyName.c_str(), Measure(EngineRuns(Runs), N, [&] { return RunQuery(Table, {}); }),
           Measure(Runs, N, Copy));
  if (!All)
    return;
  if (Wanted("DISTINCT grp"))
    Report("DISTINCT grp",
           Measure(EngineRuns(Runs), N,
                   [&] {
                     return RunQuery(Table, {{"grp"}, true});
                   }),
           Measure(Runs, N, [&] {
             std::unordered_set<int32_t> S;
             for (const TBenchRow& R : Rows)
               S.insert(R.Grp);
             return int64_t(S.size());
           }));
  if (Wanted("DISTINCT id, name"))
    Report("DISTINCT id, name",
           Measure(EngineRuns(Runs), N,
                   [&] {
                     return RunQuery(Table, {{"id", "name"}, true});
                   }),
           Measure(Runs, N, [&] {
             struct THash {
               size_t operator()(const std::pair<int32_t, std::string>& P) const {
                 return std::hash<std::string>()(P.second) * 31 + size_t(P.first);
               }
             };
             std::unordered_set<std::pair<int32_t, std::string>, THash> S;
             for (const TBenchRow& R : Rows)
               S.emplace(R.Id, R.Name);
             return int64_t(S.size());
           }));
  if (Wanted("ORDER BY name"))
    Report("ORDER BY name",
           Measure(EngineRuns(Runs), N,
                   [&] {
                     return RunQuery(Table, {{}, false, -1, "name"});
                   }),
           Measure(Runs, N, [&] {
             std::vector<TBenchRow> Out(Rows.begin(), Rows.end());
             std::sort(Out.begin(), Out.end(),
                       [](const TBenchRow& A, const TBenchRow& B) { return A.Name < B.Name; });
             return int64_t(Out.size());
           }));
  if (Wanted("TOP 10"))
    Report("TOP 10",
           Measure(EngineRuns(Runs), N,
                   [&] {
                     return RunQuery(Table, {{}, false, 10});
                   }),
           Measure(Runs, N, [&] {
             std::vector<TBenchRow> Out(Rows.begin(), Rows.begin() + 10);
             return int64_t(Out.size());
           }));
  if (Wanted("TOP 10 ORDER BY name"))
    Report("TOP 10 ORDER BY name",
           Measure(EngineRuns(Runs), N,
                   [&] {
                     return RunQuery(Table, {{}, false, 10, "name"});
                   }),
           Measure(Runs, N, [&] {
             std::vector<const TBenchRow*> P;
             P.reserve(Rows.size());
             for (const TBenchRow& R : Rows)
               P.push_back(&R);
             std::partial_sort(P.begin(), P.begin() + 10, P.end(), ByName);
             std::vector<TBenchRow> Out;
             for (size_t I = 0; I < 10; ++I)
               Out.push_back(*P[I]);
             return int64_t(Out.size());
           }));
}

} // namespace

// An argument names the one case or phase to run, e.g. "ORDER BY name" or "join k".
int main(int Argc, char** Argv) {
  if (Argc > 1)
    GOnly = Argv[1];
  TComponentRegistriesScope Registries;
  const bool PhaseOnly = !GOnly.empty() && tolvan::bench::IsOperatorPhase(GOnly);
  if (!PhaseOnly) {
    {
      const std::vector<TBenchRow> Rows = MakeRows(100000);
      FillTable("bench100k", Rows);
      RunCases("bench100k", Rows, 5, true);
    }
    if (Wanted("1000000 copy")) {
      const std::vector<TBenchRow> Rows = MakeRows(1000000);
      FillTable("bench1m", Rows);
      RunCases("bench1m", Rows, 3, false);
    }
  }
  if (GOnly.empty() || PhaseOnly)
    tolvan::bench::RunOperatorPhases(GOnly, Argc > 2 ? std::max(10, std::atoi(Argv[2])) : 10000);
  return 0;
}
