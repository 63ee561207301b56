// Random queries over a leaf, a pair or a pair over a pair on random MEMORY tables (INTEGER,
// SMALLINT, mixed-case VARCHAR, FLOAT and DATE columns with nulls and duplicates), each result
// checked against a brute-force model: column names, values and order. Select lists with
// qualified, aliased, repeated, computed and star items anywhere; filters; DISTINCT;
// TOP n[,start]; INTO; ORDER BY numbers and unselected columns, ascending and descending, texts
// NOCASE, with the tables' ids as tie breakers. A failure prints the seed and the query. Every
// query runs over the stand-in operators and over the table leaves and cross joins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanCursor.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "tests/sql/support/AOLanded.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

using TCell = std::optional<std::string>; // nullopt: NULL; integers as their decimal text
using TRow = std::vector<TCell>;

// Columns: ta (id, ia, sa SMALLINT, va VARCHAR, fa FLOAT, da DATE), tb (id, ib, vb VARCHAR),
// tc (cid, ic). Trees: a leaf on ta, a pair (ta, tb), or a pair of that pair and tc.
const char* const ColumnsA[] = {"id", "ia", "sa", "va", "fa", "da"};
const char* const ColumnsB[] = {"id", "ib", "vb"};
const char* const ColumnsC[] = {"cid", "ic"};

const char* ColumnName(int Table, int Column) {
  return Table == 2 ? ColumnsC[Column] : Table ? ColumnsB[Column] : ColumnsA[Column];
}
const char* TableName(int Table) { return Table == 2 ? "tc" : Table ? "tb" : "ta"; }

struct TModelItem {
  int Table;  // 0 ta, 1 tb, 2 tc
  int Column; // in its table; -1 computed "ta.ia + 1"
  std::string Alias;
};

struct TModelSort {
  int Table;
  int Column;
  bool Desc;
};

bool IsText(int Table, int Column) {
  return Column >= 0 && ((Table == 0 && Column == 3) || (Table == 1 && Column == 2));
}

// The FLOAT and DATE values the tables draw from, duplicates included; their texts are the ones
// the engine shows.
const double Floats[] = {-1.5, 0, 0.25, 2.5, 1e6};
const double Dates[] = {45000, 36526, 45001, 2};

std::string ShownFloat(double D, bool Date) {
  TTolvanVariant V;
  if (Date)
    V.SetAsDate(D);
  else
    V.SetAsDouble(D);
  return std::string(V.GetAsString());
}

// A sort key: nulls first, then numbers, or texts compared without case.
using TKey = std::optional<std::pair<double, std::string>>;

// A row of the tree: one row of each table it reads.
struct TPumped {
  const TRow* first;
  const TRow* second;
  const TRow* third;
};

std::optional<int64_t> AsInt(const TCell& C) {
  if (!C)
    return std::nullopt;
  return std::stoll(*C);
}

TKey KeyOf(const TCell& C, int Table, int Column) {
  if (!C)
    return std::nullopt;
  if (IsText(Table, Column)) {
    std::string Folded = *C;
    for (char& Ch : Folded)
      Ch = char(std::tolower(static_cast<unsigned char>(Ch)));
    return std::make_pair(0.0, Folded);
  }
  if (Table == 0 && (Column == 4 || Column == 5)) {
    const bool Date = Column == 5;
    for (double D : Date ? std::span<const double>(Dates) : std::span<const double>(Floats))
      if (ShownFloat(D, Date) == *C)
        return std::make_pair(D, std::string());
    ADD_FAILURE() << "no value shows as " << *C;
  }
  return std::make_pair(double(std::stoll(*C)), std::string());
}

class TModelRun {
public:
  TModelRun(uint32_t Seed, bool Real) : FRandom(Seed), FSeed(Seed), FReal(Real) {}

  void MakeTables() {
    const char* Texts[] = {"ab", "Ab", "AB", "x"};
    FA.clear();
    FB.clear();
    FC.clear();
    std::vector<std::vector<TTestCell>> RowsA, RowsB;
    const int NA = int(FRandom() % 10), NB = int(FRandom() % 5);
    for (int I = 0; I < NA; ++I) {
      TRow R{std::to_string(I + 1), Maybe(5), Maybe(3), std::nullopt, std::nullopt, std::nullopt};
      std::vector<TTestCell> Stored = Cells(R, {true, true, true, false});
      if (FRandom() % 5)
        Stored[3] = *(R[3] = Texts[FRandom() % 4]);
      Stored.emplace_back();
      Stored.emplace_back();
      if (FRandom() % 5) {
        const double F = Floats[FRandom() % std::size(Floats)];
        R[4] = ShownFloat(F, false);
        Stored[4] = F;
      }
      if (FRandom() % 5) {
        const double D = Dates[FRandom() % std::size(Dates)];
        R[5] = ShownFloat(D, true);
        Stored[5] = D;
      }
      FA.push_back(R);
      RowsA.push_back(Stored);
    }
    for (int I = 0; I < NB; ++I) {
      TRow R{std::to_string(I + 1), Maybe(4), std::nullopt};
      if (FRandom() % 4)
        R[2] = Texts[FRandom() % 2];
      FB.push_back(R);
      RowsB.push_back(Cells(R, {true, true, false}));
    }
    MakeMemoryTable("ta",
                    {{"id"},
                     {"ia"},
                     {"sa", tftSmallInt},
                     {"va", tftVarchar, 8},
                     {"fa", tftDouble},
                     {"da", tftDate}},
                    RowsA);
    MakeMemoryTable("tb", {{"id"}, {"ib"}, {"vb", tftVarchar, 8}}, RowsB);
    std::vector<std::vector<TTestCell>> RowsC;
    const int NC = int(FRandom() % 4);
    for (int I = 0; I < NC; ++I) {
      TRow R{std::to_string(I + 1), Maybe(3)};
      FC.push_back(R);
      RowsC.push_back(Cells(R, {true, true}));
    }
    MakeMemoryTable("tc", {{"cid"}, {"ic"}}, RowsC);
  }

  // One random query; false with a message on a mismatch.
  bool Query(std::string& Failure) {
    const int Shape = int(FRandom() % 3);
    const bool IsPair = Shape > 0;
    const int Tables = Shape + 1;
    auto ColumnCount = [](int Table) { return Table == 2 ? 2 : Table ? 3 : 6; };
    std::ostringstream Q;
    // Select list.
    std::vector<TModelItem> Raw;
    const int Count = 1 + int(FRandom() % 3);
    bool SharedAlias = false;
    for (int K = 0; K < Count; ++K) {
      TModelItem It;
      if (FRandom() % 4 == 0) {
        // "*" (Table -1) or "t.*".
        It.Table = int(FRandom() % uint32_t(Tables + 1)) - 1;
        It.Column = -2;
        Raw.push_back(It);
        continue;
      }
      It.Table = int(FRandom() % uint32_t(Tables));
      It.Column = FRandom() % 6 == 0 ? -1 : int(FRandom() % uint32_t(ColumnCount(It.Table)));
      if (It.Column == -1) {
        It.Table = 0;
        It.Alias = "e" + std::to_string(K);
      } else if (FRandom() % 5 == 0) {
        It.Alias = "k";
        SharedAlias = true;
      }
      Raw.push_back(It);
    }
    (void)SharedAlias;
    // The columns the list selects; a column a star selects again shows as it was shown first.
    // A leaf's star takes all its fields in the order they were made: the table's, then each
    // computed field and each copy an item selecting a shown field again made, as it is shown;
    // a pair's plain "*" takes its computed fields after its left input's.
    std::vector<TModelItem> Items, ComputedSoFar;
    if (Shape == 0) {
      std::vector<TModelItem> Links;
      std::vector<bool> Shown;
      for (int C = 0; C < ColumnCount(0); ++C) {
        Links.push_back({0, C, ""});
        Shown.push_back(false);
      }
      auto Show = [&](size_t L) {
        if (Shown[L]) {
          Links.push_back(Links[L]);
          Shown.push_back(false);
          L = Links.size() - 1;
        }
        Shown[L] = true;
        Items.push_back(Links[L]);
        return L;
      };
      for (const TModelItem& It : Raw) {
        if (It.Column == -2) {
          const size_t Count = Links.size();
          for (size_t L = 0; L < Count; ++L)
            Show(L);
        } else if (It.Column == -1) {
          Links.push_back(It);
          Shown.push_back(true);
          Items.push_back(It);
        } else {
          const size_t L = Show(size_t(It.Column));
          Links[L].Alias = It.Alias;
          Items.back().Alias = It.Alias;
        }
      }
    }
    for (const TModelItem& It : IsPair ? Raw : std::vector<TModelItem>()) {
      if (It.Column != -2) {
        Items.push_back(It);
        if (It.Column == -1)
          ComputedSoFar.push_back(It);
        continue;
      }
      const int ComputedAfter = Shape == 0     ? (It.Table <= 0 ? 0 : -1)
                                : It.Table < 0 ? (Shape == 1 ? 0 : 1)
                                               : -1;
      for (int T = 0; T < Tables; ++T) {
        if (It.Table >= 0 && T != It.Table)
          continue;
        for (int C = 0; C < ColumnCount(T); ++C) {
          TModelItem E{T, C, ""};
          for (const TModelItem& Earlier : Items)
            if (Earlier.Table == T && Earlier.Column == C) {
              E.Alias = Earlier.Alias;
              break;
            }
          Items.push_back(E);
        }
        if (T == ComputedAfter)
          Items.insert(Items.end(), ComputedSoFar.begin(), ComputedSoFar.end());
      }
    }
    const int FilterKind = int(FRandom() % (IsPair ? 4 : 3));
    const int64_t FilterValue = int64_t(FRandom() % 4);
    const bool Distinct = FRandom() % 3 == 0;
    const bool HasTop = FRandom() % 3 == 0;
    const int64_t TopCount = HasTop ? int64_t(FRandom() % 5) - (FRandom() % 6 == 0 ? 1 : 0) : -1;
    const int64_t TopStart = HasTop && FRandom() % 2 ? 1 + int64_t(FRandom() % 3) : -1;
    std::vector<TModelSort> Sorts;
    std::vector<int> SortNumbers; // 1-based item numbers, 0 for a named column
    if (FRandom() % 2) {
      const int Keys = 1 + int(FRandom() % 2);
      for (int K = 0; K < Keys; ++K) {
        // An item by number, or a column by name; texts sort NOCASE.
        const int I = int(FRandom() % Items.size());
        const TModelItem& It = Items[size_t(I)];
        if (FRandom() % 2) {
          Sorts.push_back({It.Table, It.Column, bool(FRandom() % 2)});
          SortNumbers.push_back(I + 1);
        } else {
          const int T = int(FRandom() % uint32_t(Tables));
          Sorts.push_back({T, int(FRandom() % uint32_t(T ? 2 : 6)), bool(FRandom() % 2)});
          SortNumbers.push_back(0);
        }
      }
      Sorts.push_back({0, 0, false});
      SortNumbers.push_back(0);
      for (int T = 1; T < Tables; ++T) {
        Sorts.push_back({T, 0, false});
        SortNumbers.push_back(0);
      }
      // The descending list names columns, so a column sorted twice sorts one way: keep the
      // first key of each column.
      std::vector<TModelSort> Unique;
      std::vector<int> UniqueNumbers;
      for (size_t K = 0; K < Sorts.size(); ++K) {
        bool Again = false;
        for (const TModelSort& U : Unique)
          Again = Again || (U.Table == Sorts[K].Table && U.Column == Sorts[K].Column);
        if (Again)
          continue;
        Unique.push_back(Sorts[K]);
        UniqueNumbers.push_back(SortNumbers[K]);
      }
      Sorts = Unique;
      SortNumbers = UniqueNumbers;
    }

    // --- the operators ---
    std::unique_ptr<TTolvanAO> Root;
    if (IsPair)
      Root = Pair(Leaf("ta"), Leaf("tb"), jtInner);
    else
      Root = Leaf("ta");
    if (Shape == 2)
      Root = Pair(std::move(Root), Leaf("tc"), jtCross);
    std::vector<TTolvanSelectListItem> List;
    Q << (Shape == 2 ? "triple"
          : IsPair   ? "pair"
                     : "leaf")
      << " SELECT " << (Distinct ? "DISTINCT " : "");
    for (const TModelItem& It : Raw) {
      TTolvanSelectListItem& S = List.emplace_back();
      if (It.Column == -2) {
        S.AllFields = true;
        S.TableName = It.Table < 0 ? "" : TableName(It.Table);
        Q << (It.Table < 0 ? "" : S.TableName + ".") << "*, ";
        continue;
      }
      if (It.Column < 0) {
        S.IsExpression = true;
        TTolvanLexer Lexer("ta.ia + 1", nullptr);
        Lexer.NextStatement();
        S.Expression = std::make_unique<TTolvanExpression>();
        S.Expression->ParseValue(Lexer);
        Q << "ta.ia+1";
      } else {
        S.TableName = TableName(It.Table);
        S.FieldName = ColumnName(It.Table, It.Column);
        Q << S.TableName << "." << S.FieldName;
      }
      S.Alias = It.Alias;
      if (!It.Alias.empty())
        Q << " AS " << It.Alias;
      Q << ", ";
    }
    Root->SetSelectList(List, int32_t(List.size()) - 1, Distinct);
    const char* Filters[] = {"", "ta.ia > ", "ta.id <> ", "ta.ia = tb.ib AND tb.id > "};
    if (FilterKind > 0) {
      const std::string Text = Filters[FilterKind] + std::to_string(FilterValue);
      auto F = std::make_unique<TTolvanExpression>();
      F->ParseFilter(nullptr, Text, false, false);
      Root->SetFilter(std::move(F));
      Q << " WHERE " << Text;
    }
    if (FRandom() % 5 == 0) {
      // INTO a new in-memory table: directly, or through a sorted copy with ORDER BY.
      const std::string Target = "into" + std::to_string(++FTargets);
      Root->SetResultTarget(true, Target, "");
      Q << " INTO " << Target;
    }
    if (HasTop) {
      Root->SetTop(TopStart, TopCount);
      Q << " TOP " << TopCount << "," << TopStart;
    }
    if (!Sorts.empty()) {
      std::vector<TTolvanSortSpecification> Specs;
      Q << " ORDER BY ";
      for (size_t K = 0; K < Sorts.size(); ++K) {
        TTolvanSortSpecification& S = Specs.emplace_back();
        if (SortNumbers[K] > 0) {
          S.ColumnNumber = SortNumbers[K];
          Q << SortNumbers[K];
        } else {
          S.TableName = TableName(Sorts[K].Table);
          S.FieldName = ColumnName(Sorts[K].Table, Sorts[K].Column);
          Q << S.TableName << "." << S.FieldName;
        }
        S.Descending = Sorts[K].Desc;
        S.CaseInsensitive = IsText(Sorts[K].Table, Sorts[K].Column);
        Q << (S.Descending ? " DESC" : "") << (S.CaseInsensitive ? " NOCASE" : "") << ", ";
      }
      Root->SetOrderBy(Specs, "");
    }
    Root->Prepare(true);

    // --- the model ---
    std::vector<TPumped> Pumped;
    for (const TRow& A : FA) {
      if (!IsPair) {
        Pumped.push_back({&A, nullptr, nullptr});
        continue;
      }
      for (const TRow& B : FB) {
        if (Shape == 1)
          Pumped.push_back({&A, &B, nullptr});
        else
          for (const TRow& C : FC)
            Pumped.push_back({&A, &B, &C});
      }
    }
    auto Cell = [](const TPumped& R, int Table, int Column) -> TCell {
      if (Column < 0) {
        // The engine's addition reads a null operand as 0.
        return TCell(std::to_string(AsInt((*R.first)[1]).value_or(0) + 1));
      }
      const TRow& Row = Table == 2 ? *R.third : Table ? *R.second : *R.first;
      return Row[size_t(Column)];
    };
    auto Passes = [&](const TPumped& R) {
      const auto IA = AsInt((*R.first)[1]);
      switch (FilterKind) {
      case 1:
        return IA && *IA > FilterValue;
      case 2:
        return *AsInt((*R.first)[0]) != FilterValue;
      case 3: {
        const auto IB = AsInt((*R.second)[1]);
        return IA && IB && *IA == *IB && *AsInt((*R.second)[0]) > FilterValue;
      }
      default:
        return true;
      }
    };
    struct TOut {
      TRow Shown;
      std::vector<TKey> Keys;
    };
    std::vector<TOut> Out;
    std::vector<TRow> Seen;
    int64_t Counter = 0;
    const bool WhilePumping = HasTop && Sorts.empty();
    for (const auto& R : Pumped) {
      if (WhilePumping && TopCount >= 0 && int64_t(Out.size()) >= TopCount)
        break;
      if (!Passes(R))
        continue;
      TOut O;
      for (const TModelItem& It : Items)
        O.Shown.push_back(Cell(R, It.Table, It.Column));
      if (Distinct) {
        if (std::find(Seen.begin(), Seen.end(), O.Shown) != Seen.end())
          continue;
        Seen.push_back(O.Shown);
      }
      if (WhilePumping && ++Counter < (TopStart < 0 ? 1 : TopStart))
        continue;
      for (const TModelSort& S : Sorts)
        O.Keys.push_back(KeyOf(Cell(R, S.Table, S.Column), S.Table, S.Column));
      Out.push_back(O);
    }
    if (!Sorts.empty()) {
      std::stable_sort(Out.begin(), Out.end(), [&](const TOut& X, const TOut& Y) {
        for (size_t K = 0; K < Sorts.size(); ++K) {
          const auto& A = X.Keys[K];
          const auto& B = Y.Keys[K];
          if (A == B)
            continue;
          // Nulls sort first ascending.
          const bool Less = !A ? true : !B ? false : *A < *B;
          return Sorts[K].Desc ? !Less : Less;
        }
        return false;
      });
      if (HasTop) {
        const int64_t Start = TopStart < 0 ? 1 : TopStart;
        std::vector<TOut> Window;
        for (int64_t I = Start - 1; I < int64_t(Out.size()) && I >= 0; ++I)
          if (TopCount < 0 || int64_t(Window.size()) < TopCount)
            Window.push_back(Out[size_t(I)]);
        Out = Window;
      }
    }
    // Names: the alias, else the column, unique by suffix. The pair names tb.id id_1; it shows
    // as id again unless another selected column comes from a column id.
    int Ids = 0;
    for (const TModelItem& It : Items)
      Ids += It.Column == 0;
    const bool AId = Ids > 1;
    std::vector<std::string> Names;
    for (const TModelItem& It : Items) {
      std::string Base = !It.Alias.empty() ? It.Alias : ColumnName(It.Table, It.Column);
      // Above the inner pair tb.id is called id_1 at its source too, so it keeps that name.
      if (It.Alias.empty() && It.Table == 1 && It.Column == 0 && (AId || Shape == 2))
        Base = "id_1";
      std::string Name = Base;
      for (int N = 1; std::any_of(Names.begin(), Names.end(),
                                  [&](const std::string& S) { return AnsiSameText(S, Name); });
           ++N)
        Name = Base + "_" + std::to_string(N);
      Names.push_back(Name);
    }
    std::string Expected;
    for (size_t I = 0; I < Names.size(); ++I)
      Expected += (I ? "," : "") + Names[I];
    Expected += ":";
    for (const TOut& O : Out) {
      Expected += " ";
      for (size_t I = 0; I < O.Shown.size(); ++I)
        Expected += (I ? "," : "") + (O.Shown[I] ? *O.Shown[I] : std::string("-"));
    }

    // --- the operators' result ---
    std::string Got;
    TTolvanDataSet& D = *Root->ResultDataSet();
    const TTolvanFieldDefs& Defs = D.Cursor()->VisibleFieldDefs();
    for (int32_t I = 0; I < Defs.Count(); ++I)
      Got += (I ? "," : "") + Defs.Items(I).Name();
    Got += ":";
    TTolvanVariant V;
    for (Root->First(); !Root->Eof(); Root->Next()) {
      Got += " ";
      for (int32_t I = 0; I < Defs.Count(); ++I) {
        D.GetFieldValue(V, I, false, false);
        Got += (I ? "," : "") + (V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
      }
    }
    if (Got == Expected)
      return true;
    Failure = "seed " + std::to_string(FSeed) + " query " + Q.str() + "\n  got      " + Got +
              "\n  expected " + Expected;
    return false;
  }

private:
  // A table leaf and the nested-loop product of two operators: the stand-ins, or the table leaf
  // and the cross join.
  std::unique_ptr<TTolvanAO> Leaf(const char* Name) {
    if (FReal)
      return std::make_unique<TTolvanAOTable>("", "", Name, "", "", nullptr, true, false, "");
    return std::make_unique<TTestAOLeaf>(Name);
  }
  std::unique_ptr<TTolvanAO> Pair(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                                  TTolvanJoinType Type) {
    if (FReal)
      return std::make_unique<TTolvanAOJoin>(std::move(Left), std::move(Right), jtCross, false,
                                             nullptr, nullptr);
    return std::make_unique<TTestAOPair>(std::move(Left), std::move(Right), Type);
  }

  TCell Maybe(int Range) {
    if (FRandom() % 5 == 0)
      return std::nullopt;
    return std::to_string(FRandom() % uint32_t(Range));
  }
  static std::vector<TTestCell> Cells(const TRow& R, std::vector<bool> Integer) {
    std::vector<TTestCell> C;
    for (size_t I = 0; I < R.size(); ++I) {
      if (!R[I])
        C.emplace_back();
      else if (Integer[I])
        C.emplace_back(int64_t(std::stoll(*R[I])));
      else
        C.emplace_back(*R[I]);
    }
    return C;
  }

  std::mt19937 FRandom;
  uint32_t FSeed;
  bool FReal;
  std::vector<TRow> FA, FB, FC;
  int FTargets = 0;
};

// The parameter: the table leaves and cross joins instead of the stand-ins.
class AOModel : public AOTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AOModel, ResultsAgreeWithABruteForceModel) {
  if (GetParam()) {
    const TLandedOperators Landed = LandedOperators();
    if (!Landed.Leaf || !Landed.Join)
      GTEST_SKIP() << "the table leaf or the join has not landed";
  }
  constexpr uint32_t Seeds = 20;
  int Checked = 0;
  for (uint32_t Seed = 1; Seed <= Seeds; ++Seed) {
    TModelRun Run(Seed, GetParam());
    Run.MakeTables();
    for (int Query = 0; Query < 25; ++Query) {
      std::string Failure;
      ASSERT_TRUE(Run.Query(Failure)) << Failure;
      ++Checked;
    }
  }
  EXPECT_EQ(Checked, int(Seeds) * 25);
}

INSTANTIATE_TEST_SUITE_P(Operators, AOModel, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                           return Info.param ? "TableLeavesAndJoins" : "StandIns";
                         });

} // namespace
} // namespace tolvan::test
