// The differential test of the table, join, union and group-by operators: random small tables,
// random trees built by hand, each result compared with a brute-force evaluator
// (support/AODiffModel).
//   joins      every kind, one or two pairs, ON remainders on either side or both, WHERE
//              conjuncts pushed down as a SELECT pushes them; two- and three-table chains, left-
//              and right-deep; leaves live or copied (TOP, DISTINCT); an index (ascending,
//              descending, NOCASE) on either side's pair column or none.
//   sets       UNION, INTERSECT, EXCEPT with and without ALL, by position, CORRESPONDING and BY,
//              over operands of differing types and column orders, a leaf or a join on the left.
//   grouping   0-2 group fields over a leaf or a join, every aggregate, HAVING, DISTINCT.
// A tree with a parameter in its WHERE runs again through the kept tree with a new value,
// sometimes after a row was appended behind it. A failure prints the seed, the query, the index
// and the tables; the coverage counts keep the probe paths and re-runs exercised.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "classlib/DB.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"
#include "tests/sql/support/AODiffModel.h"
#include "tests/sql/support/AOLanded.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

using namespace diff;
using TRows = std::vector<std::vector<std::string>>;

// --- the engine's side ---------------------------------------------------------------------------

// An index on one column: 0 ascending, 1 descending, 2 case-insensitive.
struct TIndexPlan {
  int Table = -1;
  int Column = 0;
  int Kind = 0;
  std::string Describe(const std::vector<TTable>& Tables) const {
    if (Table < 0)
      return "no index";
    static const char* const Kinds[] = {"ascending", "descending", "NOCASE"};
    return std::string(Kinds[Kind]) + " index on " + Tables[size_t(Table)].Name + "." +
           Tables[size_t(Table)].Columns[size_t(Column)];
  }
};

std::vector<TTestColumn> ColumnsOf(const TTable& Tab) {
  std::vector<TTestColumn> Columns;
  for (size_t C = 0; C < Tab.Columns.size(); ++C)
    Columns.push_back({Tab.Columns[C], FieldTypeOf(Tab.Types[C]), Tab.Types[C] == ctText ? 6 : 0});
  return Columns;
}

std::vector<std::vector<TTestCell>> RowsOf(const TTable& Tab, size_t From = 0) {
  std::vector<std::vector<TTestCell>> Rows;
  for (size_t R = From; R < Tab.Rows.size(); ++R) {
    std::vector<TTestCell>& Row = Rows.emplace_back();
    for (size_t C = 0; C < Tab.Columns.size(); ++C) {
      const TCell& Cell = Tab.Rows[R][C];
      if (Cell.Null)
        Row.push_back(Tab.EmptyText[R][C] ? TTestCell(std::string()) : TTestCell());
      else if (Tab.Types[C] == ctText)
        Row.push_back(Cell.S);
      else if (Tab.Types[C] == ctFloat)
        Row.push_back(Cell.N);
      else
        Row.push_back(int64_t(Cell.N));
    }
  }
  return Rows;
}

void WriteTables(const std::vector<TTable>& Tables) {
  for (const TTable& Tab : Tables)
    MakeMemoryTable(Tab.Name, ColumnsOf(Tab), RowsOf(Tab));
}

// The index of a plan, added for one run of a case.
class TIndexScope {
public:
  TIndexScope(const std::vector<TTable>& Tables, const TIndexPlan& Plan) {
    if (Plan.Table < 0)
      return;
    FTable = MakeComponent<TTolvanTable>();
    FTable->SetInMemory(true);
    FTable->SetTableName(Tables[size_t(Plan.Table)].Name);
    const TIndexOptions Options = Plan.Kind == 1   ? ixDescending
                                  : Plan.Kind == 2 ? ixCaseInsensitive
                                                   : TIndexOptions(0);
    FTable->AddIndex("ix", Tables[size_t(Plan.Table)].Columns[size_t(Plan.Column)], Options);
  }
  ~TIndexScope() {
    if (!FTable)
      return;
    try {
      FTable->DeleteIndex("ix");
    } catch (const Exception& E) {
      ADD_FAILURE() << "dropping the index: " << E.Message();
    }
  }
  TIndexScope(const TIndexScope&) = delete;
  TIndexScope& operator=(const TIndexScope&) = delete;

private:
  TComponentPtr<TTolvanTable> FTable;
};

// The result's rows, each value by its text ("-" for null).
TRows ReadRows(TTolvanAO& Root) {
  TRows Rows;
  TTolvanDataSet& D = *Root.ResultDataSet();
  const int32_t Count = D.Cursor()->VisibleFieldDefs().Count();
  TTolvanVariant V;
  for (Root.First(); !Root.Eof(); Root.Next()) {
    std::vector<std::string>& Row = Rows.emplace_back();
    for (int32_t I = 0; I < Count; ++I) {
      D.GetFieldValue(V, I, false, false);
      Row.push_back(V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
    }
  }
  return Rows;
}

std::string RowsText(const TRows& Rows) {
  std::string S;
  for (const auto& R : Rows) {
    S += " [";
    for (size_t I = 0; I < R.size(); ++I)
      S += (I ? "," : "") + R[I];
    S += "]";
  }
  return S.empty() ? " (none)" : S;
}

// Empty when Got holds the expected rows (in order where it is defined), else both.
std::string Difference(const TExpected& E, TRows Got) {
  TRows Want = E.Rows;
  for (TRows* Rows : {&Want, &Got})
    for (auto& R : *Rows)
      for (size_t I = 0; I < R.size() && I < E.FoldCase.size(); ++I)
        if (E.FoldCase[I])
          for (char& C : R[I])
            C = char(std::tolower(static_cast<unsigned char>(C)));
  if (!E.Ordered) {
    std::sort(Want.begin(), Want.end());
    std::sort(Got.begin(), Got.end());
  }
  if (Want == Got)
    return {};
  return std::string(E.Ordered ? "in order" : "as multisets") + "\n  expected" + RowsText(Want) +
         "\n  got     " + RowsText(Got);
}

std::string Failure(const ETolvanException& E) {
  return "raised " + std::to_string(E.NativeError()) + " " + E.Message();
}

// Copy: 0 a live leaf; 1 a TOP the table cannot reach, 2 DISTINCT, each making the leaf copy
// its rows (DISTINCT changes nothing where the table's id is among the leaf's fields).
std::unique_ptr<TTolvanAO> Leaf(const std::string& Name, int Copy) {
  auto L = std::make_unique<TTolvanAOTable>("", "", Name, "", "", nullptr, true, false, "");
  if (Copy == 1)
    L->SetTop(-1, 1000);
  else if (Copy == 2)
    L->RequestDistinct();
  return L;
}

std::string CopyText(const std::string& Name, int Copy) {
  return Copy ? " [" + Name + " copied by " + (Copy == 1 ? "TOP]" : "DISTINCT]") : "";
}

TTolvanSelectListItem Item(const std::string& Table, const std::string& Field) {
  TTolvanSelectListItem I;
  I.TableName = Table;
  I.FieldName = Field;
  return I;
}

std::string Conjunction(const std::vector<TCond>& Conds, const std::vector<TTable>& Tables) {
  std::string S;
  for (const TCond& C : Conds)
    S += (S.empty() ? "" : " AND ") + C.Sql(Tables);
  return S;
}

bool HasParam(const std::vector<TCond>& Conds) {
  return std::any_of(Conds.begin(), Conds.end(), [](const TCond& C) { return C.Param; });
}

// In the WHERE or in an ON remainder.
bool HasParam(const TJoinSpec& Spec) {
  return HasParam(Spec.Where) || std::any_of(Spec.Levels.begin(), Spec.Levels.end(),
                                             [](const TJoinLevel& L) { return HasParam(L.Match); });
}

// --- random cases -------------------------------------------------------------------------------

class TGenerator {
public:
  explicit TGenerator(uint32_t Seed) : R(Seed) {}

  std::mt19937 R;

  int Pick(int N) { return int(R() % uint32_t(N)); }
  bool OneIn(int N) { return Pick(N) == 0; }

  // A numeric or text column of Table.
  int ColumnOf(const TTable& T, bool Text) {
    std::vector<int> C;
    for (size_t I = 0; I < T.Types.size(); ++I)
      if ((T.Types[I] == ctText) == Text)
        C.push_back(int(I));
    return C[size_t(Pick(int(C.size())))];
  }
  int Named(const TTable& T, const char* const* Names, int Count) {
    return T.Column(Names[Pick(Count)]);
  }

  TCell Constant(TColType T) {
    static const char* const Texts[] = {"ab", "AB", "x", "abcdef"};
    static const double Numbers[] = {-1, 0, 0.5, 1, 2};
    if (T == ctText)
      return {false, 0, Texts[Pick(4)]};
    return {false, T == ctFloat ? Numbers[Pick(5)] : double(Pick(4) - 1), {}};
  }

  // "t.c op constant", a null test, or (Param) "t.c op :p".
  TCond Single(const std::vector<TTable>& Tables, int Table, bool NullTests, bool Param = false) {
    const TTable& T = Tables[size_t(Table)];
    TCond C;
    const bool Text = !Param && OneIn(3);
    C.A = {Table, ColumnOf(T, Text)};
    if (NullTests && OneIn(5)) {
      C.Op = OneIn(2) ? opIsNull : opNotNull;
      return C;
    }
    C.Op = Text ? TOp(Pick(2)) : TOp(Pick(6));
    C.Param = Param;
    if (!Param)
      C.Constant = Constant(T.Types[size_t(C.A.Column)]);
    return C;
  }

  // "a.c op b.d" over columns of one kind.
  TCond Between(const std::vector<TTable>& Tables, int A, int B) {
    TCond C;
    const bool Text = OneIn(3);
    C.A = {A, ColumnOf(Tables[size_t(A)], Text)};
    C.B = TRef{B, ColumnOf(Tables[size_t(B)], Text)};
    C.Op = Text ? TOp(Pick(2)) : TOp(Pick(6));
    return C;
  }

  // t0 joined with t1 (and t2); every kind, or only inner and cross joins.
  TJoinSpec Join(const std::vector<TTable>& Tables, int Levels, bool AllKinds) {
    // Mostly INTEGER with SMALLINT; now and then the unique id or a FLOAT.
    static const char* const Numeric[] = {"i", "s", "i", "s", "i", "s", "id", "f"};
    TJoinSpec S;
    S.RightDeep = Levels == 2 && OneIn(3);
    for (int K = 0; K < Levels; ++K) {
      TJoinLevel L;
      L.Right = K + 1;
      // The tables of the level's left side are First..Last; its right side's First2..Right.
      int First = 0, Last = K, First2 = L.Right;
      if (S.RightDeep) {
        L.Right = 2;
        std::tie(First, Last, First2) = K == 0 ? std::tuple(1, 1, 2) : std::tuple(0, 0, 1);
      }
      auto LeftTable = [&] { return First + Pick(Last - First + 1); };
      auto RightTable = [&] { return First2 + Pick(L.Right - First2 + 1); };
      L.Kind = AllKinds ? TTolvanJoinType(Pick(5)) : OneIn(4) ? jtCross : jtInner;
      if (L.Kind != jtCross) {
        const int Pairs = OneIn(3) ? 2 : 1;
        for (int P = 0; P < Pairs; ++P) {
          const int Left = LeftTable(), Right = RightTable();
          if (OneIn(3))
            L.Pairs.push_back({{Left, Tables[size_t(Left)].Column("v")},
                               {Right, Tables[size_t(Right)].Column("v")}});
          else
            L.Pairs.push_back({{Left, Named(Tables[size_t(Left)], Numeric, 8)},
                               {Right, Named(Tables[size_t(Right)], Numeric, 8)}});
        }
        // The ON remainder: on the left side, the right side or both.
        for (int M = Pick(4) == 0 ? 2 : Pick(2); M > 0; --M) {
          const int Side = Pick(3);
          if (Side == 0)
            L.Match.push_back(Single(Tables, LeftTable(), false));
          else if (Side == 1)
            L.Match.push_back(Single(Tables, RightTable(), false));
          else
            L.Match.push_back(Between(Tables, LeftTable(), RightTable()));
        }
        if (OneIn(10))
          L.Match.push_back(Single(Tables, OneIn(2) ? LeftTable() : RightTable(), false, true));
      }
      S.Levels.push_back(L);
    }
    for (int W = Pick(3); W > 0; --W) {
      if (OneIn(4))
        S.Where.push_back(Between(Tables, Pick(Levels + 1), Pick(Levels + 1)));
      else
        S.Where.push_back(Single(Tables, Pick(Levels + 1), true));
    }
    if (OneIn(4))
      S.Where.push_back(Single(Tables, Pick(Levels + 1), false, true));
    return S;
  }

  // 1-4 columns with distinct names, from the tables of Tables numbered in Of.
  std::vector<TRef> Select(const std::vector<TTable>& Tables, std::vector<int> Of) {
    std::vector<TRef> All;
    for (int T : Of)
      for (size_t C = 0; C < Tables[size_t(T)].Columns.size(); ++C)
        All.push_back({T, int(C)});
    std::shuffle(All.begin(), All.end(), R);
    std::vector<TRef> Out;
    std::vector<std::string> Names;
    const int Count = 1 + Pick(4);
    for (TRef Ref : All) {
      const std::string& N = Tables[size_t(Ref.Table)].Columns[size_t(Ref.Column)];
      if (int(Out.size()) == Count || std::find(Names.begin(), Names.end(), N) != Names.end())
        continue;
      Names.push_back(N);
      Out.push_back(Ref);
    }
    return Out;
  }

  TSetSpec Set(const std::vector<TTable>& Tables) {
    static const char* const ByNames[] = {"id", "i", "s", "f", "v", "zz"};
    TSetSpec S;
    S.Op = TSetOp(Pick(3));
    S.All = OneIn(2);
    S.Pairing = Pick(3);
    if (S.Pairing == 2 && !OneIn(25))
      for (int N = 1 + Pick(2); N > 0; --N)
        S.By.push_back(ByNames[Pick(6)]);
    if (OneIn(3)) {
      S.Left.Join = Join(Tables, 1, true);
      S.Left.Join->Where.clear();
      S.Left.Select = Select(Tables, {0, 1});
      S.Right.Table = 2;
    } else {
      S.Left.Table = 0;
      S.Left.Select = Select(Tables, {0});
      S.Right.Table = 1 + Pick(2);
    }
    S.Right.Select = Select(Tables, {S.Right.Table});
    S.Left.Distinct = !S.Left.Join && OneIn(5);
    S.Right.Distinct = OneIn(5);
    return S;
  }

  TAgg Aggregate(const std::vector<TTable>& Tables, const std::vector<TRef>& Pool) {
    TAgg A;
    A.Kind = TAggKind(1 + Pick(9));
    if (A.Kind == akCountStar || A.Kind == akCountStarPlusOne) {
      A.Ref.Column = -1;
      return A;
    }
    const bool Numeric = A.Kind == akSum || A.Kind == akAvg || A.Kind == akCountStarPlusSum;
    do
      A.Ref = Pool[size_t(Pick(int(Pool.size())))];
    while (Numeric && Tables[size_t(A.Ref.Table)].Types[size_t(A.Ref.Column)] == ctText);
    return A;
  }

  // Over a leaf, or over a join of t0 and t1.
  TGroupSpec Group(const std::vector<TTable>& Tables) {
    TGroupSpec S;
    std::vector<TRef> Pool;
    if (OneIn(4)) {
      S.Join = Join(Tables, 1, true);
      for (int T = 0; T < 2; ++T)
        for (size_t C = 0; C < Tables[size_t(T)].Columns.size(); ++C)
          Pool.push_back({T, int(C)});
    } else {
      S.Table = Pick(3);
      if (OneIn(3))
        S.Where.push_back(Single(Tables, S.Table, true, OneIn(2)));
      for (size_t C = 0; C < Tables[size_t(S.Table)].Columns.size(); ++C)
        Pool.push_back({S.Table, int(C)});
    }
    std::shuffle(Pool.begin(), Pool.end(), R);
    if (OneIn(8)) {
      // SELECT COUNT(*) alone: the record count without reading the rows.
      S.Items.push_back({akCountStar, {0, -1}});
    } else {
      S.GroupColumns.assign(Pool.begin(), Pool.begin() + Pick(3));
      if (S.GroupColumns.size() == 2 && OneIn(5)) {
        // DISTINCT over a part of the key.
        S.Distinct = true;
        S.Items.push_back({akField, S.GroupColumns[1]});
      } else {
        for (TRef C : S.GroupColumns)
          S.Items.push_back({akField, C});
        for (int N = 1 + Pick(3); N > 0; --N)
          S.Items.push_back(Aggregate(Tables, Pool));
        std::shuffle(S.Items.begin(), S.Items.end(), R);
        if (OneIn(20))
          S.Items.push_back({akField, Pool.back()}); // not grouped: 10342
      }
    }
    if (OneIn(4)) {
      THaving H;
      static const TAggKind Kinds[] = {akCountStar, akCount, akSum, akMin, akMax};
      H.Agg.Kind = Kinds[Pick(5)];
      do
        H.Agg.Ref = Pool[size_t(Pick(int(Pool.size())))];
      while (Tables[size_t(H.Agg.Ref.Table)].Types[size_t(H.Agg.Ref.Column)] == ctText);
      if (H.Agg.Kind == akCountStar)
        H.Agg.Ref.Column = -1;
      H.Op = TOp(2 + Pick(4));
      H.Value = Pick(3);
      S.Having = H;
    }
    return S;
  }
};

// --- one case -----------------------------------------------------------------------------------

// What the runs reached, so that a generator change cannot quietly stop exercising a path.
struct TCoverage {
  int Reruns = 0;
  int IndexProbes = 0, HashProbes = 0, RightDrives = 0;
};

class TCaseRun {
public:
  TCaseRun(uint32_t Seed, int Case, const std::vector<TTable>& Tables, TCoverage& Coverage)
      : FSeed(Seed), FCase(Case), FTables(Tables), FCoverage(Coverage) {}

  // Records a failure; false when there was one.
  bool Check(const std::string& What, const TIndexPlan& Index, const std::string& Problem) {
    if (Problem.empty())
      return true;
    std::ostringstream O;
    O << "seed " << FSeed << " case " << FCase << ": " << What << "\n  with "
      << Index.Describe(FTables) << "\n  " << Problem << "\n  tables:";
    for (const TTable& T : FTables)
      O << "\n    " << T.Dump();
    ADD_FAILURE() << O.str();
    return false;
  }

  uint32_t FSeed;
  int FCase;
  const std::vector<TTable>& FTables;
  TCoverage& FCoverage;
};

void Cover(TCoverage& C, TTolvanAO& Root) {
  auto* J = dynamic_cast<TTolvanAOJoin*>(&Root);
  if (!J || J->JoinType() == jtCross)
    return;
  C.IndexProbes += J->LastProbePath() == TTolvanAOJoin::TProbePath::Index;
  C.HashProbes += J->LastProbePath() == TTolvanAOJoin::TProbePath::Hash;
  C.RightDrives += !J->LeftDrives();
}

// The parameter :p of a case, with its value.
struct TParam {
  TTolvanSQLParams Params;
  explicit TParam(int64_t Value) {
    TTolvanSQLParam& P = Params.Add();
    P.SetName("p");
    P.Clear(tvtInteger);
    P.SetAsLargeInt(Value);
  }
  void Set(TTolvanAO& Root, int64_t Value) {
    TTolvanVariant V(tvtInteger);
    V.SetAsInteger(int32_t(Value));
    for (TTolvanExprNodeConst* Node : Root.ParamNodes())
      Node->SetValue(V);
    Params.Items(0).SetAsLargeInt(Value);
  }
};

// Runs Build's tree; with a parameter, again through the kept tree with the second value. Each
// run's rows are compared with Model's for that value.
// Before a re-run: appends rows behind the kept tree and says which.
using TGrow = std::function<std::string()>;

template <class B, class M>
bool RunCase(TCaseRun& Run, const std::string& What, const TIndexPlan& Index, bool Param,
             const std::pair<int, int>& Values, B&& Build, M&& Model, const TGrow& Grow = {}) {
  TParam P(Values.first);
  std::unique_ptr<TTolvanAO> Root;
  const TExpected First = Model(double(Values.first), false);
  try {
    Root = Build(P.Params);
    if (Param)
      Root->SetKeepForRerun();
    Root->Prepare(true);
    if (First.ErrorCode)
      return Run.Check(What, Index, "expected error " + std::to_string(First.ErrorCode));
  } catch (const ETolvanException& E) {
    if (First.ErrorCode && E.NativeError() == First.ErrorCode)
      return true;
    return Run.Check(What, Index, Failure(E));
  } catch (const Exception& E) {
    return Run.Check(What, Index, "raised " + E.Message());
  }
  if (!Run.Check(What, Index, Difference(First, ReadRows(*Root))))
    return false;
  Cover(Run.FCoverage, *Root);
  if (!Param)
    return true;
  ++Run.FCoverage.Reruns;
  std::string Again = " (re-run, :p = " + std::to_string(Values.second);
  try {
    P.Set(*Root, Values.second);
    if (Grow)
      Again += ", after appending " + Grow();
    Again += ")";
    Root->ResetSubQueries(nullptr);
    Root->Prepare(true);
  } catch (const ETolvanException& E) {
    return Run.Check(What + Again, Index, Failure(E));
  }
  return Run.Check(What + Again, Index,
                   Difference(Model(double(Values.second), bool(Grow)), ReadRows(*Root)));
}

// Tables with one more row in table Table: a row of another table (matched by column names), or
// nulls, with the next id.
std::vector<TTable> Grown(TGenerator& G, const std::vector<TTable>& Tables, int Table) {
  std::vector<TTable> Out = Tables;
  TTable& T = Out[size_t(Table)];
  const TTable& From = Tables[size_t(G.Pick(3))];
  const int Source = From.Rows.empty() ? -1 : G.Pick(int(From.Rows.size()));
  std::vector<TCell> Row(T.Columns.size());
  for (size_t C = 0; C < T.Columns.size(); ++C) {
    if (T.Columns[C] == "id")
      Row[C] = {false, double(T.Rows.size() + 1), {}};
    else if (Source >= 0)
      Row[C] = From.Rows[size_t(Source)][size_t(From.Column(T.Columns[C]))];
  }
  T.Rows.push_back(Row);
  T.EmptyText.emplace_back(T.Columns.size(), false);
  return Out;
}

// Sometimes (with Enabled), a row appended before the re-run to one of the tables Of.
struct TGrowth {
  int Table = -1;
  std::vector<TTable> More;
  TGrow Grow;

  TGrowth(TGenerator& G, const std::vector<TTable>& Tables, bool Enabled, std::vector<int> Of) {
    if (!Enabled || !G.OneIn(2))
      return;
    Table = Of[size_t(G.Pick(int(Of.size())))];
    More = Grown(G, Tables, Table);
    Grow = [this] {
      const TTable& T = More[size_t(Table)];
      AppendMemoryRows(T.Name, ColumnsOf(T), RowsOf(T, T.Rows.size() - 1));
      return "a row to " + T.Name;
    };
  }
  TGrowth(const TGrowth&) = delete;
  TGrowth& operator=(const TGrowth&) = delete;
  // Puts the table back as it was, once no index is on it.
  void Restore(const std::vector<TTable>& Tables) const {
    if (Table >= 0)
      MakeMemoryTable(Tables[size_t(Table)].Name, ColumnsOf(Tables[size_t(Table)]),
                      RowsOf(Tables[size_t(Table)]));
  }
};

// The join's rows: every column of every table, in table order.
TExpected JoinModel(const std::vector<TTable>& Tables, const TJoinSpec& Spec, double Param) {
  TExpected E;
  const size_t Count = Spec.Levels.size() + 1;
  for (const TWide& W : EvaluateJoin(Tables, Spec, Param)) {
    std::vector<std::string>& Row = E.Rows.emplace_back();
    for (size_t T = 0; T < Count; ++T)
      for (size_t C = 0; C < Tables[T].Columns.size(); ++C)
        Row.push_back(Shown(CellOf(Tables, W, {int(T), int(C)}), Tables[T].Types[C]));
  }
  return E;
}

void SelectAll(TTolvanAO& Root, const std::vector<TTable>& Tables, size_t Count) {
  std::vector<TTolvanSelectListItem> Items;
  for (size_t T = 0; T < Count; ++T)
    for (const std::string& C : Tables[T].Columns)
      Items.push_back(Item(Tables[T].Name, C));
  Root.SetSelectList(Items, int32_t(Items.size()) - 1, false);
}

// Pushes the WHERE conjuncts down the tree as a SELECT does.
void PushWhere(TTolvanAO& Root, const std::string& Where, const TTolvanSQLParams& Params) {
  if (Where.empty())
    return;
  auto W = ParsedCondition(Where, &Params);
  W->PushConditionsToAO(&Root, false);
  if (!W->IsEmpty())
    Root.SetFilter(std::move(W));
}

std::unique_ptr<TTolvanAO> BuildJoin(const std::vector<TTable>& Tables, const TJoinSpec& Spec,
                                     const std::vector<int>& Copy, const TTolvanSQLParams& Params) {
  auto Make = [&](std::unique_ptr<TTolvanAO> LeftTree, std::unique_ptr<TTolvanAO> RightTree,
                  const TJoinLevel& L) {
    TTolvanFields Left, Right;
    for (const auto& [A, B] : L.Pairs) {
      Left.Add(
          Item(Tables[size_t(A.Table)].Name, Tables[size_t(A.Table)].Columns[size_t(A.Column)]));
      Right.Add(
          Item(Tables[size_t(B.Table)].Name, Tables[size_t(B.Table)].Columns[size_t(B.Column)]));
    }
    auto J = std::make_unique<TTolvanAOJoin>(std::move(LeftTree), std::move(RightTree), L.Kind,
                                             false, L.Pairs.empty() ? nullptr : &Left,
                                             L.Pairs.empty() ? nullptr : &Right);
    if (!L.Match.empty())
      J->SetMatchCondition(ParsedCondition(Conjunction(L.Match, Tables), &Params));
    return J;
  };
  std::unique_ptr<TTolvanAO> Tree = Leaf("t0", Copy[0]);
  if (Spec.RightDeep) {
    Tree = Make(std::move(Tree), Make(Leaf("t1", Copy[1]), Leaf("t2", Copy[2]), Spec.Levels[0]),
                Spec.Levels[1]);
    PushWhere(*Tree, Conjunction(Spec.Where, Tables), Params);
    return Tree;
  }
  for (const TJoinLevel& L : Spec.Levels)
    Tree = Make(std::move(Tree), Leaf(Tables[size_t(L.Right)].Name, Copy[size_t(L.Right)]), L);
  PushWhere(*Tree, Conjunction(Spec.Where, Tables), Params);
  return Tree;
}

// Inner and cross joins as the stand-ins' filtered cross product, every condition in WHERE.
std::unique_ptr<TTolvanAO> BuildStandInJoin(const std::vector<TTable>& Tables,
                                            const TJoinSpec& Spec, const TTolvanSQLParams& Params) {
  std::unique_ptr<TTolvanAO> Tree = std::make_unique<TTestAOLeaf>("t0");
  std::vector<TCond> All = Spec.Where;
  auto Type = [](const TJoinLevel& L) { return L.Kind == jtCross ? jtCross : jtInner; };
  if (Spec.RightDeep)
    Tree = std::make_unique<TTestAOPair>(
        std::move(Tree),
        std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t1"),
                                      std::make_unique<TTestAOLeaf>("t2"), Type(Spec.Levels[0])),
        Type(Spec.Levels[1]));
  else
    for (const TJoinLevel& L : Spec.Levels)
      Tree = std::make_unique<TTestAOPair>(
          std::move(Tree), std::make_unique<TTestAOLeaf>(Tables[size_t(L.Right)].Name), Type(L));
  for (const TJoinLevel& L : Spec.Levels) {
    for (const auto& [A, B] : L.Pairs) {
      TCond C;
      C.A = A;
      C.B = B;
      All.push_back(C);
    }
    All.insert(All.end(), L.Match.begin(), L.Match.end());
  }
  PushWhere(*Tree, Conjunction(All, Tables), Params);
  return Tree;
}

std::vector<TIndexPlan> JoinIndexes(TGenerator& G, const std::vector<TTable>& Tables,
                                    const TJoinSpec& Spec) {
  std::vector<TIndexPlan> Plans{TIndexPlan{}};
  const TJoinLevel& L = Spec.Levels.back();
  if (L.Pairs.empty())
    return Plans;
  for (TRef Ref : {L.Pairs[0].first, L.Pairs[0].second}) {
    const bool Text = Tables[size_t(Ref.Table)].Types[size_t(Ref.Column)] == ctText;
    Plans.push_back({Ref.Table, Ref.Column, G.Pick(Text ? 3 : 2)});
  }
  return Plans;
}

std::pair<int, int> ParamValues(TGenerator& G) { return {G.Pick(4) - 1, G.Pick(4) - 1}; }

// With MaxRows above 12, joins of two tables only.
int RunJoins(uint32_t FirstSeed, uint32_t Seeds, int PerSeed, bool Real, TCoverage& Coverage,
             int MaxRows = 12) {
  int Cases = 0;
  for (uint32_t Seed = FirstSeed; Seed < FirstSeed + Seeds; ++Seed) {
    TGenerator G(Seed * 7919u + 1);
    const std::vector<TTable> Tables = RandomTables(G.R, MaxRows);
    WriteTables(Tables);
    for (int Case = 0; Case < PerSeed; ++Case, ++Cases) {
      const TJoinSpec Spec = G.Join(Tables, MaxRows > 12 ? 1 : 1 + G.Pick(2), Real);
      std::vector<int> Copy(3);
      std::string What = Spec.Sql(Tables);
      for (size_t T = 0; T < 3; ++T) {
        Copy[T] = Real && G.OneIn(3) ? 1 + G.Pick(2) : 0;
        What += CopyText(Tables[T].Name, Copy[T]);
      }
      TCaseRun Run(Seed, Case, Tables, Coverage);
      const auto Values = ParamValues(G);
      const TGrowth Growth(G, Tables, HasParam(Spec),
                           Spec.Levels.size() == 1 ? std::vector<int>{0, 1}
                                                   : std::vector<int>{0, 1, 2});
      for (const TIndexPlan& Index : JoinIndexes(G, Tables, Spec)) {
        bool Ok;
        {
          const TIndexScope Scope(Tables, Index);
          Ok = RunCase(
              Run, What, Index, HasParam(Spec), Values,
              [&](const TTolvanSQLParams& Params) {
                std::unique_ptr<TTolvanAO> Root = Real ? BuildJoin(Tables, Spec, Copy, Params)
                                                       : BuildStandInJoin(Tables, Spec, Params);
                SelectAll(*Root, Tables, Spec.Levels.size() + 1);
                return Root;
              },
              [&](double P, bool Grew) { return JoinModel(Grew ? Growth.More : Tables, Spec, P); },
              Growth.Grow);
        }
        Growth.Restore(Tables);
        if (!Ok)
          return -1;
      }
    }
  }
  return Cases;
}

// An operand: a leaf of its table or a join, with its select list.
std::unique_ptr<TTolvanAO> BuildOperand(const std::vector<TTable>& Tables, const TOperand& O,
                                        bool Copy, const TTolvanSQLParams& Params) {
  std::unique_ptr<TTolvanAO> Op = O.Join ? BuildJoin(Tables, *O.Join, {Copy, 0, 0}, Params)
                                         : Leaf(Tables[size_t(O.Table)].Name, Copy);
  std::vector<TTolvanSelectListItem> Items;
  for (TRef R : O.Select)
    Items.push_back(
        Item(Tables[size_t(R.Table)].Name, Tables[size_t(R.Table)].Columns[size_t(R.Column)]));
  Op->SetSelectList(Items, int32_t(Items.size()) - 1, O.Distinct);
  return Op;
}

int RunSets(uint32_t FirstSeed, uint32_t Seeds, int PerSeed, TCoverage& Coverage) {
  int Cases = 0;
  for (uint32_t Seed = FirstSeed; Seed < FirstSeed + Seeds; ++Seed) {
    TGenerator G(Seed * 104729u + 3);
    const std::vector<TTable> Tables = RandomTables(G.R);
    WriteTables(Tables);
    for (int Case = 0; Case < PerSeed; ++Case, ++Cases) {
      TSetSpec Spec = G.Set(Tables);
      TExpected E = EvaluateSet(Tables, Spec);
      for (int Retry = 0; E.ErrorCode < 0 && Retry < 20; ++Retry)
        E = EvaluateSet(Tables, Spec = G.Set(Tables));
      if (E.ErrorCode < 0)
        continue;
      const bool CopyLeft = G.OneIn(4), CopyRight = G.OneIn(4);
      std::string What = Spec.Sql(Tables) + (CopyLeft ? " [left copied]" : "") +
                         (CopyRight ? " [right copied]" : "");
      TCaseRun Run(Seed, Case, Tables, Coverage);
      std::vector<TIndexPlan> Plans{TIndexPlan{}};
      for (const TOperand* O : {&Spec.Left, &Spec.Right})
        if (G.OneIn(2)) {
          const TRef R = O->Select[size_t(G.Pick(int(O->Select.size())))];
          Plans.push_back(
              {R.Table, R.Column,
               G.Pick(Tables[size_t(R.Table)].Types[size_t(R.Column)] == ctText ? 3 : 2)});
        }
      for (const TIndexPlan& Index : Plans) {
        const TIndexScope Scope(Tables, Index);
        const bool Ok = RunCase(
            Run, What, Index, false, {0, 0},
            [&](const TTolvanSQLParams& Params) -> std::unique_ptr<TTolvanAO> {
              TTolvanFields By;
              for (const std::string& N : Spec.By)
                By.Add(Item("", N));
              const TTolvanSetOperation Op = Spec.Op == soUnion       ? tsoUnion
                                             : Spec.Op == soIntersect ? tsoIntersect
                                                                      : tsoExcept;
              return std::make_unique<TTolvanAOUnion>(
                  BuildOperand(Tables, Spec.Left, CopyLeft, Params),
                  BuildOperand(Tables, Spec.Right, CopyRight, Params), Op, Spec.Pairing >= 1,
                  !Spec.All, Spec.Pairing == 2 ? &By : nullptr);
            },
            [&](double, bool) { return E; });
        if (!Ok)
          return -1;
      }
    }
  }
  return Cases;
}

int RunGroups(uint32_t FirstSeed, uint32_t Seeds, int PerSeed, TCoverage& Coverage) {
  int Cases = 0;
  for (uint32_t Seed = FirstSeed; Seed < FirstSeed + Seeds; ++Seed) {
    TGenerator G(Seed * 15485863u + 5);
    const std::vector<TTable> Tables = RandomTables(G.R);
    WriteTables(Tables);
    for (int Case = 0; Case < PerSeed; ++Case, ++Cases) {
      const TGroupSpec Spec = G.Group(Tables);
      const bool Copy = G.OneIn(3);
      const std::string What = Spec.Sql(Tables) + (Copy ? " [t0 or the leaf copied]" : "");
      TCaseRun Run(Seed, Case, Tables, Coverage);
      std::vector<TIndexPlan> Plans{TIndexPlan{}};
      if (!Spec.GroupColumns.empty()) {
        const TRef C = Spec.GroupColumns[0];
        const bool Text = Tables[size_t(C.Table)].Types[size_t(C.Column)] == ctText;
        Plans.push_back({C.Table, C.Column, G.Pick(Text ? 3 : 2)});
      }
      const auto Values = ParamValues(G);
      // A leaf's columns are named alone, a join's with their tables.
      auto Name = [&](TRef R) {
        return Item(Spec.Join ? Tables[size_t(R.Table)].Name : "",
                    Tables[size_t(R.Table)].Columns[size_t(R.Column)]);
      };
      const bool Param = Spec.Join ? HasParam(*Spec.Join) : HasParam(Spec.Where);
      const TGrowth Growth(G, Tables, Param,
                           Spec.Join ? std::vector<int>{0, 1} : std::vector<int>{Spec.Table});
      for (const TIndexPlan& Index : Plans) {
        bool Ok;
        {
          const TIndexScope Scope(Tables, Index);
          Ok = RunCase(
              Run, What, Index, Param, Values,
              [&](const TTolvanSQLParams& Params) {
                TTolvanFields GroupFields;
                for (TRef C : Spec.GroupColumns)
                  GroupFields.Add(Name(C));
                auto Root = std::make_unique<TTolvanAOGroupBy>(
                    Spec.Join ? BuildJoin(Tables, *Spec.Join, {Copy, 0, 0}, Params)
                              : Leaf(Tables[size_t(Spec.Table)].Name, Copy),
                    Spec.GroupColumns.empty() ? nullptr : &GroupFields);
                PushWhere(*Root, Conjunction(Spec.Where, Tables), Params);
                std::vector<TTolvanSelectListItem> Items;
                for (const TAgg& A : Spec.Items) {
                  if (A.Kind == akField) {
                    Items.push_back(Name(A.Ref));
                    continue;
                  }
                  TTolvanSelectListItem& I = Items.emplace_back();
                  I.IsExpression = true;
                  I.Expression = ParsedValue(A.Sql(Tables));
                }
                Root->SetSelectList(Items, int32_t(Items.size()) - 1, Spec.Distinct);
                if (Spec.Having)
                  Root->SetFilter(ParsedCondition(Spec.Having->Sql(Tables)));
                return Root;
              },
              [&](double P, bool Grew) {
                return EvaluateGroup(Grew ? Growth.More : Tables, Spec, P);
              },
              Growth.Grow);
        }
        Growth.Restore(Tables);
        if (!Ok)
          return -1;
      }
    }
  }
  return Cases;
}

// --- the tests ----------------------------------------------------------------------------------

class AODifferential : public AOTest {
protected:
  void SetUp() override { Landed = LandedOperators(); }
  TLandedOperators Landed;
};

// The model itself, against the base's filtered cross product of the stand-in operators.
TEST_F(AODifferential, InnerJoinModelAgreesWithAFilteredCrossProduct) {
  TCoverage C;
  EXPECT_EQ(RunJoins(1, 4, 25, false, C), 100);
  EXPECT_GT(C.Reruns, 5);
}

TEST_F(AODifferential, JoinsAgreeWithTheModel) {
  if (!Landed.Leaf || !Landed.Join)
    GTEST_SKIP() << "the table leaf or the join has not landed";
  TCoverage C;
  EXPECT_EQ(RunJoins(1, 40, 25, true, C), 1000);
  EXPECT_GT(C.Reruns, 100);
  EXPECT_GT(C.IndexProbes, 100);
  EXPECT_GT(C.HashProbes, 100);
  EXPECT_GT(C.RightDrives, 100);
}

TEST_F(AODifferential, SetOperationsAgreeWithTheModel) {
  if (!Landed.Leaf || !Landed.Join || !Landed.Union)
    GTEST_SKIP() << "the table leaf, the join or the union has not landed";
  TCoverage C;
  EXPECT_GT(RunSets(1, 40, 25, C), 950);
}

TEST_F(AODifferential, GroupingAgreesWithTheModel) {
  if (!Landed.Leaf || !Landed.Group)
    GTEST_SKIP() << "the table leaf or the group-by has not landed";
  TCoverage C;
  EXPECT_EQ(RunGroups(1, 40, 25, C), 1000);
  EXPECT_GT(C.Reruns, 50);
}

class AODifferentialSlow : public AODifferential {};

TEST_F(AODifferentialSlow, ManyMoreCases) {
  if (!Landed.Leaf || !Landed.Join || !Landed.Union || !Landed.Group)
    GTEST_SKIP() << "an operator has not landed";
  TCoverage C;
  EXPECT_EQ(RunJoins(1000, 400, 30, true, C), 12000);
  // Larger tables: longer hash chains, more matched rows for FULL joins.
  EXPECT_EQ(RunJoins(5000, 40, 25, true, C, 60), 1000);
  EXPECT_GT(RunSets(1000, 300, 30, C), 8500);
  EXPECT_EQ(RunGroups(1000, 200, 30, C), 6000);
}

} // namespace
} // namespace tolvan::test
