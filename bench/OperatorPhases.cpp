#include "bench/OperatorPhases.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bench/AllocCounter.h"
#include "bench/BenchData.h"
#include "bench/SqliteReference.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanVariant.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"

namespace tolvan::bench {

namespace {

// The two sizes: the smaller one (10 000 unless the caller chooses), and ten times that.
int32_t Sizes[] = {10000, 100000};
constexpr int DefaultRuns = 5;
// A run longer than this is not repeated.
constexpr double SlowRunMs = 3000;
// A phase whose smaller size took longer than this is not run at the larger one (a quadratic
// operator would take hours there); between the two limits it runs once.
constexpr double SkipLargerMs = 5000;
constexpr double OnceLargerMs = 600;
// A figure growing more than this between the sizes is flagged.
constexpr double GrowthLimit = 15;

// --- the tables ---------------------------------------------------------------------------------
//
// t and u hold N rows each:
//   id  unique, indexed: t 1..N; u the same but every tenth id moved past N (10 % unmatched)
//   k   indexed, about 10 rows per value
//   g   100 values (tg: a copy of t with an index on g)
//   c   a copy of id without an index
//   v   t 1..N, u N/2+1..N/2+N: the set operations' column, 50 % overlap
//   x   0..999, summed and averaged
//   s   VARCHAR(20), a function of v, so that (v, s) overlaps as v does

std::string TextOf(int32_t V) { return bench::TextOf(uint64_t(uint32_t(V))); }

std::vector<TOpRow> MakeOpRows(int32_t N, bool IsU) {
  std::mt19937 Random(IsU ? 11 : 5);
  const int32_t KValues = std::max(1, N / 10);
  std::vector<TOpRow> Rows(static_cast<size_t>(N));
  for (int32_t I = 1; I <= N; ++I) {
    TOpRow& R = Rows[size_t(I - 1)];
    R.Id = IsU && I % 10 == 0 ? N + I : I;
    R.K = int32_t(Random() % uint32_t(KValues));
    R.G = int32_t(Random() % 100);
    R.C = R.Id;
    R.V = IsU ? I + N / 2 : I;
    R.X = int32_t(Random() % 1000);
    R.S = TextOf(R.V);
  }
  if (IsU)
    std::shuffle(Rows.begin(), Rows.end(), Random);
  return Rows;
}

struct TIndexSpec {
  const char* Name;
  const char* Field;
  TIndexOptions Options;
};

void FillEngineTable(std::string_view Name, const std::vector<TOpRow>& Rows,
                     std::span<const TIndexSpec> Indexes) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  for (const char* F : {"id", "k", "g", "c", "v", "x"})
    T->AdvFieldDefs().Add(F, tftInteger, 0, false);
  T->AdvFieldDefs().Add("s", tftVarchar, 20, false);
  T->CreateTable();
  T->Open();
  TField* Fields[] = {&T->FieldByName("id"), &T->FieldByName("k"), &T->FieldByName("g"),
                      &T->FieldByName("c"),  &T->FieldByName("v"), &T->FieldByName("x")};
  TField& S = T->FieldByName("s");
  for (const TOpRow& R : Rows) {
    T->Append();
    const int32_t Values[] = {R.Id, R.K, R.G, R.C, R.V, R.X};
    for (size_t I = 0; I < 6; ++I)
      Fields[I]->SetAsInteger(Values[I]);
    S.SetAsString(R.S);
    T->Post();
  }
  T->Close();
  for (const TIndexSpec& I : Indexes)
    T->AddIndex(I.Name, I.Field, I.Options);
}

// --- the trees ----------------------------------------------------------------------------------

std::unique_ptr<TTolvanAO> Leaf(std::string_view Table) {
  return std::make_unique<TTolvanAOTable>("", "", Table, "", "", nullptr, true, false, "");
}

TTolvanSelectListItem Field(std::string_view Table, std::string_view Name) {
  TTolvanSelectListItem I;
  I.TableName = AnsiString(Table);
  I.FieldName = AnsiString(Name);
  return I;
}

TTolvanSelectListItem Computed(std::string_view Text, std::string_view Alias) {
  TTolvanLexer Lexer(Text, nullptr);
  Lexer.NextStatement();
  TTolvanSelectListItem I;
  I.IsExpression = true;
  I.Expression = std::make_unique<TTolvanExpression>();
  I.Expression->ParseValue(Lexer);
  I.Alias = AnsiString(Alias);
  return I;
}

void Select(TTolvanAO& Op, std::vector<TTolvanSelectListItem> Items) {
  Op.SetSelectList(Items, int32_t(Items.size()) - 1, false);
}

std::unique_ptr<TTolvanExpression> Condition(std::string_view Text) {
  TTolvanLexer Lexer(Text, nullptr);
  Lexer.NextStatement();
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseCondition(Lexer);
  return E;
}

// SELECT t.id, t.s, u.id, u.s FROM t <Type> JOIN u ON t.<Column> = u.<Column>. ProbesOnly adds
// a WHERE no row passes and that names both sides, so the run probes for every driving row and
// materialises nothing: its allocations are the probes'.
std::unique_ptr<TTolvanAO> JoinTree(TTolvanJoinType Type, std::string_view Column,
                                    bool ProbesOnly) {
  TTolvanFields LeftFields, RightFields;
  LeftFields.Add(Field("t", Column));
  RightFields.Add(Field("u", Column));
  auto J =
      std::make_unique<TTolvanAOJoin>(Leaf("t"), Leaf("u"), Type, false, &LeftFields, &RightFields);
  std::vector<TTolvanSelectListItem> Items;
  for (const char* T : {"t", "u"})
    for (const char* F : {"id", "s"})
      Items.push_back(Field(T, F));
  Select(*J, std::move(Items));
  if (ProbesOnly)
    J->SetFilter(Condition("t.x + u.x < 0"));
  return J;
}

// SELECT g, COUNT(*), SUM(x), AVG(x) FROM <Table> GROUP BY g
std::unique_ptr<TTolvanAO> GroupTree(std::string_view Table) {
  TTolvanFields GroupFields;
  GroupFields.Add(Field("", "g"));
  auto G = std::make_unique<TTolvanAOGroupBy>(Leaf(Table), &GroupFields);
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Field("", "g"));
  Items.push_back(Computed("COUNT(*)", "cnt"));
  Items.push_back(Computed("SUM(x)", "sx"));
  Items.push_back(Computed("AVG(x)", "ax"));
  Select(*G, std::move(Items));
  return G;
}

// SELECT COUNT(*) FROM t
std::unique_ptr<TTolvanAO> CountTree() {
  auto G = std::make_unique<TTolvanAOGroupBy>(Leaf("t"), nullptr);
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Computed("COUNT(*)", "cnt"));
  Select(*G, std::move(Items));
  return G;
}

// SELECT v, s FROM t <Operation> SELECT v, s FROM u
std::unique_ptr<TTolvanAO> SetTree(TTolvanSetOperation Operation) {
  auto Operand = [](std::string_view Table) {
    std::unique_ptr<TTolvanAO> L = Leaf(Table);
    std::vector<TTolvanSelectListItem> Items;
    Items.push_back(Field(Table, "v"));
    Items.push_back(Field(Table, "s"));
    Select(*L, std::move(Items));
    return L;
  };
  return std::make_unique<TTolvanAOUnion>(Operand("t"), Operand("u"), Operation, false, true,
                                          nullptr);
}

// --- the phases ---------------------------------------------------------------------------------

struct TPhase {
  const char* Name;
  const char* Sql;
  // The tree; a join's with ProbesOnly, see JoinTree.
  std::function<std::unique_ptr<TTolvanAO>(bool ProbesOnly)> Build;
  // Rows the per-row allocation figure divides by, per table row: the driving rows of a join
  // (one probe each), the rows read otherwise.
  int32_t InputTables;
  bool IsJoin = false;
};

const std::vector<TPhase>& Phases() {
  static const std::vector<TPhase> List = {
      {"join id", "SELECT t.id, t.s, u.id, u.s FROM t JOIN u ON t.id = u.id",
       [](bool P) { return JoinTree(jtInner, "id", P); }, 1, true},
      {"join k", "SELECT t.id, t.s, u.id, u.s FROM t JOIN u ON t.k = u.k",
       [](bool P) { return JoinTree(jtInner, "k", P); }, 1, true},
      {"join unindexed", "SELECT t.id, t.s, u.id, u.s FROM t JOIN u ON t.c = u.c",
       [](bool P) { return JoinTree(jtInner, "c", P); }, 1, true},
      {"left join", "SELECT t.id, t.s, u.id, u.s FROM t LEFT JOIN u ON t.id = u.id",
       [](bool P) { return JoinTree(jtLeftOuter, "id", P); }, 1, true},
      {"full join", "SELECT t.id, t.s, u.id, u.s FROM t FULL JOIN u ON t.id = u.id",
       [](bool P) { return JoinTree(jtFullOuter, "id", P); }, 1, true},
      {"group by g", "SELECT g, COUNT(*), SUM(x), AVG(x) FROM t GROUP BY g",
       [](bool) { return GroupTree("t"); }, 1},
      {"group by g, indexed", "SELECT g, COUNT(*), SUM(x), AVG(x) FROM tg GROUP BY g",
       [](bool) { return GroupTree("tg"); }, 1},
      {"count(*)", "SELECT COUNT(*) FROM t", [](bool) { return CountTree(); }, 1},
      {"union", "SELECT v, s FROM t UNION SELECT v, s FROM u",
       [](bool) { return SetTree(tsoUnion); }, 2},
      {"intersect", "SELECT v, s FROM t INTERSECT SELECT v, s FROM u",
       [](bool) { return SetTree(tsoIntersect); }, 2},
      {"except", "SELECT v, s FROM t EXCEPT SELECT v, s FROM u",
       [](bool) { return SetTree(tsoExcept); }, 2},
  };
  return List;
}

// --- measuring ----------------------------------------------------------------------------------

struct TFigure {
  bool Ran = false;
  std::string Note; // why it did not run, or how a join probed
  double Ms = 0;
  int64_t Rows = 0;
  int64_t Sum = 0;    // of the first column over the rows, nulls as 0: a check on the values
  int64_t Allocs = 0; // of the last run: operator new and the engine's allocator together
  int Runs = 0;
};

const char* PathName(TTolvanAOJoin::TProbePath Path) {
  switch (Path) {
  case TTolvanAOJoin::TProbePath::Index:
    return "index";
  case TTolvanAOJoin::TProbePath::Hash:
    return "hash";
  default:
    return "none";
  }
}

// Builds the tree, runs it as the root and walks its rows, summing the first column.
void RunTree(const TPhase& P, bool ProbesOnly, TFigure& Out) {
  std::unique_ptr<TTolvanAO> Root = P.Build(ProbesOnly);
  Root->LockSources();
  struct TUnlock {
    TTolvanAO* Op;
    ~TUnlock() {
      try {
        Op->UnlockSources();
      } catch (...) {
      }
    }
  } Unlock{Root.get()};
  Root->Prepare(true);
  TTolvanDataSet& Result = *Root->ResultDataSet();
  TTolvanVariant Value;
  Out.Rows = Out.Sum = 0;
  for (Root->First(); !Root->Eof(); Root->Next()) {
    ++Out.Rows;
    Result.GetFieldValue(Value, 0, false, false);
    if (!Value.IsNull())
      Out.Sum += Value.GetAsLargeInt();
  }
  if (const auto* J = dynamic_cast<const TTolvanAOJoin*>(Root.get()))
    Out.Note =
        std::string(PathName(J->LastProbePath())) + (J->LeftDrives() ? ", t drives" : ", u drives");
}

double Median(std::vector<double> Times) {
  std::sort(Times.begin(), Times.end());
  return Times[Times.size() / 2];
}

// Runs Body Runs times, and on while the runs took less than MinTotalMs together (a profile
// of a short query needs the time).
template <class F> TFigure Time(int Runs, double MinTotalMs, F&& Body) {
  TFigure Out;
  std::vector<double> Times;
  double Total = 0;
  for (int R = 0; R < Runs || (Total < MinTotalMs && R < 1000000); ++R) {
    const int64_t NewBefore = HeapAllocations();
    TAllocationFailure EngineAllocs(0);
    const auto Start = std::chrono::steady_clock::now();
    Body(Out);
    const double Ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    Out.Allocs = HeapAllocations() - NewBefore + EngineAllocs.Count();
    Times.push_back(Ms);
    Total += Ms;
    if (Ms > SlowRunMs)
      break;
  }
  Out.Ran = true;
  Out.Runs = int(Times.size());
  Out.Ms = Median(std::move(Times));
  return Out;
}

TFigure MeasureEngine(const TPhase& P, bool ProbesOnly, int Runs, double MinTotalMs) {
  try {
    return Time(Runs, MinTotalMs, [&](TFigure& Out) { RunTree(P, ProbesOnly, Out); });
  } catch (const ETolvanException& E) {
    TFigure F;
    F.Note = E.NativeError() == ErrAODerivedTableUnsupported ? "skipped (not built)"
                                                             : "failed: " + E.Message();
    return F;
  } catch (const Exception& E) {
    TFigure F;
    F.Note = "failed: " + E.Message();
    return F;
  }
}

#ifdef TOLVAN_BENCH_SQLITE
TFigure MeasureReference(TSqliteReference& Ref, const TPhase& P, int Runs) {
  try {
    return Time(Runs, 0, [&](TFigure& Out) { Out.Rows = Ref.Run(P.Sql, Out.Sum); });
  } catch (const std::exception& E) {
    TFigure F;
    F.Note = std::string("failed: ") + E.what();
    return F;
  }
}
#endif

struct TResult {
  TFigure Engine[2];
  TFigure Probes[2]; // joins: the run without output rows
  TFigure Reference[2];
};

void PrintSizeLine(const TPhase& P, int32_t N, const TFigure& E, const TFigure& R,
                   const TFigure& Probes) {
  std::printf("%-20s %7d |", P.Name, N);
  if (E.Ran)
    std::printf(" %9.2f ms %9lld rows %8.3f allocs/row", E.Ms, static_cast<long long>(E.Rows),
                double(E.Allocs) / double(int64_t(N) * P.InputTables));
  else
    std::printf(" %-50s", E.Note.c_str());
  if (R.Ran)
    std::printf(" | ref %8.2f ms %9lld rows", R.Ms, static_cast<long long>(R.Rows));
  else if (!R.Note.empty())
    std::printf(" | ref %s", R.Note.c_str());
  if (E.Ran && R.Ran && R.Ms > 0)
    std::printf(" | x%.1f", E.Ms / R.Ms);
  if (E.Ran && R.Ran && (E.Rows != R.Rows || E.Sum != R.Sum))
    std::printf(" | RESULTS DIFFER (sums %lld, %lld)", static_cast<long long>(E.Sum),
                static_cast<long long>(R.Sum));
  if (E.Ran && !E.Note.empty())
    std::printf(" | %s", E.Note.c_str());
  if (Probes.Ran)
    std::printf(" | probes alone %.2f ms %.3f allocs/probe", Probes.Ms,
                double(Probes.Allocs) / double(N));
  else if (!Probes.Note.empty())
    std::printf(" | probes alone %s", Probes.Note.c_str());
  if (E.Ran && E.Runs < DefaultRuns)
    std::printf(" | %d run(s)", E.Runs);
  std::printf("\n");
  std::fflush(stdout);
}

// "  12.3" or the flagged "  25.0!" past the limit; "     -" without both figures.
std::string Growth(double Small, double Large, bool Flag = true) {
  if (Small <= 0 || Large <= 0)
    return "      -";
  char Text[32];
  const double G = Large / Small;
  std::snprintf(Text, sizeof Text, "%6.1f%s", G, Flag && G > GrowthLimit ? "!" : " ");
  return Text;
}

std::string Ms(const TFigure& F) {
  if (!F.Ran)
    return "        -";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%9.2f", F.Ms);
  return Text;
}

std::string Ratio(const TFigure& E, const TFigure& R) {
  return bench::RatioText(E.Ran && R.Ran, E.Ms, R.Ms);
}

std::string PerRow(const TPhase& P, int32_t N, const TFigure& F) {
  if (!F.Ran)
    return "       -";
  char Text[32];
  std::snprintf(Text, sizeof Text, "%8.3f", double(F.Allocs) / double(int64_t(N) * P.InputTables));
  return Text;
}

// "10k" for 10 000 rows.
std::string SizeLabel(int32_t N) {
  return N % 1000 == 0 ? std::to_string(N / 1000) + "k" : std::to_string(N);
}

void PrintSummary(const std::vector<const TPhase*>& Run, const std::vector<TResult>& Results) {
  const std::string Small = SizeLabel(Sizes[0]), Large = SizeLabel(Sizes[1]);
  const auto Label = [](const std::string& A, const std::string& B) { return A + " " + B; };
  std::printf(
      "\nsummary (ms: median; growth: %s over %s, ! above %.0fx; x: engine over "
      "reference, * above 5x;\n         allocs: of the whole run per driving row for joins, "
      "per row read otherwise, both allocators;\n         per probe: a join's run without "
      "output rows, per driving row)\n",
      Large.c_str(), Small.c_str(), GrowthLimit);
  std::printf("%-20s %9s %9s %7s | %9s %9s %7s | %7s %7s | %8s %8s %7s | %9s %9s\n", "phase",
              Label(Small, "ms").c_str(), Label(Large, "ms").c_str(), "growth",
              Label("ref", Small).c_str(), Label("ref", Large).c_str(), "growth",
              Label("x", Small).c_str(), Label("x", Large).c_str(), "allocs", "allocs", "growth",
              "per probe", "per probe");
  for (size_t I = 0; I < Run.size(); ++I) {
    const TPhase& P = *Run[I];
    const TResult& R = Results[I];
    const TFigure& E0 = R.Engine[0];
    const TFigure& E1 = R.Engine[1];
    std::printf("%-20s %s %s %s | %s %s %s | %s %s | %s %s %s | %9s %9s", P.Name, Ms(E0).c_str(),
                Ms(E1).c_str(), Growth(E0.Ran ? E0.Ms : 0, E1.Ran ? E1.Ms : 0).c_str(),
                Ms(R.Reference[0]).c_str(), Ms(R.Reference[1]).c_str(),
                Growth(R.Reference[0].Ran ? R.Reference[0].Ms : 0,
                       R.Reference[1].Ran ? R.Reference[1].Ms : 0, false)
                    .c_str(),
                Ratio(E0, R.Reference[0]).c_str(), Ratio(E1, R.Reference[1]).c_str(),
                PerRow(P, Sizes[0], E0).c_str(), PerRow(P, Sizes[1], E1).c_str(),
                Growth(E0.Ran ? double(E0.Allocs) : 0, E1.Ran ? double(E1.Allocs) : 0).c_str(),
                PerRow(P, Sizes[0], R.Probes[0]).c_str(), PerRow(P, Sizes[1], R.Probes[1]).c_str());
    if (!E0.Ran)
      std::printf("  %s", E0.Note.c_str());
    else if (!E1.Ran)
      std::printf("  %s: %s", Large.c_str(), E1.Note.c_str());
    std::printf("\n");
  }
}

void LoadTables(int32_t N
#ifdef TOLVAN_BENCH_SQLITE
                ,
                TSqliteReference& Ref
#endif
) {
  const std::vector<TOpRow> T = MakeOpRows(N, false);
  const std::vector<TOpRow> U = MakeOpRows(N, true);
  static constexpr TIndexSpec TIndexes[] = {{"t_id", "id", ixUnique}, {"t_k", "k", 0}};
  static constexpr TIndexSpec UIndexes[] = {{"u_id", "id", ixUnique}, {"u_k", "k", 0}};
  static constexpr TIndexSpec GIndexes[] = {{"tg_g", "g", 0}};
  FillEngineTable("t", T, TIndexes);
  FillEngineTable("u", U, UIndexes);
  FillEngineTable("tg", T, GIndexes);
#ifdef TOLVAN_BENCH_SQLITE
  Ref.Load("t", T);
  Ref.Load("u", U);
  Ref.Load("tg", T);
  Ref.Exec("CREATE UNIQUE INDEX t_id ON t(id)");
  Ref.Exec("CREATE INDEX t_k ON t(k)");
  Ref.Exec("CREATE UNIQUE INDEX u_id ON u(id)");
  Ref.Exec("CREATE INDEX u_k ON u(k)");
  Ref.Exec("CREATE INDEX tg_g ON tg(g)");
  Ref.Exec("ANALYZE");
#endif
}

} // namespace

bool IsOperatorPhase(const std::string& Name) {
  if (Name == "phases")
    return true;
  for (const TPhase& P : Phases())
    if (Name == P.Name)
      return true;
  return false;
}

void RunOperatorPhases(const std::string& Only, int32_t Smaller) {
  Sizes[0] = Smaller;
  Sizes[1] = Smaller * 10;
  const bool All = Only.empty() || Only == "phases";
  std::vector<const TPhase*> Run;
  for (const TPhase& P : Phases())
    if (All || Only == P.Name)
      Run.push_back(&P);
  const int EngineRuns = All ? DefaultRuns : DefaultRuns * 10;
  const double EngineMinMs = All ? 0 : 2000;
  std::vector<TResult> Results(Run.size());
#ifdef TOLVAN_BENCH_SQLITE
  TSqliteReference Ref;
  std::printf("\noperator phases; reference: SQLite %s in memory\n", TSqliteReference::Version());
#else
  std::printf("\noperator phases; no reference database in this build\n");
#endif
  for (size_t S = 0; S < std::size(Sizes); ++S) {
    const int32_t N = Sizes[S];
#ifdef TOLVAN_BENCH_SQLITE
    LoadTables(N, Ref);
#else
    LoadTables(N);
#endif
    for (size_t I = 0; I < Run.size(); ++I) {
      const TPhase& P = *Run[I];
      TResult& R = Results[I];
      int Runs = EngineRuns;
      if (S > 0 && R.Engine[0].Ran && R.Engine[0].Ms > SkipLargerMs) {
        R.Engine[S].Note = "not run (too slow at " + SizeLabel(Sizes[0]) + ")";
        Runs = 0;
      } else if (S > 0 && R.Engine[0].Ran && R.Engine[0].Ms > OnceLargerMs) {
        Runs = 1;
      }
      if (Runs > 0)
        R.Engine[S] = MeasureEngine(P, false, Runs, Runs > 1 ? EngineMinMs : 0);
      if (Runs > 0 && P.IsJoin && R.Engine[S].Ran)
        R.Probes[S] = MeasureEngine(P, true, std::min(Runs, 3), 0);
#ifdef TOLVAN_BENCH_SQLITE
      R.Reference[S] = MeasureReference(Ref, P, DefaultRuns);
#endif
      PrintSizeLine(P, N, R.Engine[S], R.Reference[S], R.Probes[S]);
    }
  }
  PrintSummary(Run, Results);
}

} // namespace tolvan::bench
