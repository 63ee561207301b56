// FindFields against a per-field model: every output field of every operator of a random tree of
// stand-in leaves and pairs knows the leaf column it comes from, and a lookup must find exactly
// the fields whose column and table (or alias) match, and unhide exactly those it should.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/Strings.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

const char* const Pool[] = {"id", "name", "v", "w"};

// The spelling Case picks: as is, capitalised, upper case.
std::string Spell(std::string S, int Case) {
  if (Case == 1)
    S[0] = char(std::toupper(S[0]));
  if (Case == 2)
    S = UpperCase(S);
  return S;
}

struct TLeafInfo {
  TTestAOLeaf* Op;
  std::string Table, Alias;
  std::vector<std::string> Columns;
};

struct TOrigin {
  int32_t Leaf;
  int32_t Column;
};

class TTree {
public:
  TTree(std::mt19937& Random, const std::vector<std::vector<std::string>>& Tables, int Shape)
      : FRandom(Random), FTables(Tables) {
    switch (Shape) {
    case 0:
      Root = NewLeaf();
      break;
    case 1:
      Root = std::make_unique<TTestAOPair>(NewLeaf(), NewLeaf());
      break;
    case 2:
      Root = std::make_unique<TTestAOPair>(std::make_unique<TTestAOPair>(NewLeaf(), NewLeaf()),
                                           NewLeaf());
      break;
    case 3:
      Root = std::make_unique<TTestAOPair>(NewLeaf(),
                                           std::make_unique<TTestAOPair>(NewLeaf(), NewLeaf()));
      break;
    default:
      Root = std::make_unique<TTestAOPair>(std::make_unique<TTestAOPair>(NewLeaf(), NewLeaf()),
                                           std::make_unique<TTestAOPair>(NewLeaf(), NewLeaf()));
    }
    Collect(Root.get());
  }

  TOrigin Origin(TTolvanAO* Op, int32_t Field) const {
    while (!Op->IsTableLeaf()) {
      const TTolvanFieldLink& L = Op->FieldLink(Field);
      Op = L.SourceOperator;
      Field = L.SourceFieldNo;
    }
    for (size_t K = 0; K < Leaves.size(); ++K)
      if (Leaves[K].Op == Op)
        return {int32_t(K), Field};
    ADD_FAILURE() << "no leaf";
    return {-1, -1};
  }

  bool TableMatches(int32_t Leaf, const std::string& Table) const {
    return Table.empty() || AnsiSameText(Table, Leaves[size_t(Leaf)].Table) ||
           AnsiSameText(Table, Leaves[size_t(Leaf)].Alias);
  }

  bool Matches(TOrigin O, const std::string& Name, const std::string& Table) const {
    return TableMatches(O.Leaf, Table) &&
           (Name == "*" || AnsiSameText(Name, Leaves[size_t(O.Leaf)].Columns[size_t(O.Column)]));
  }

  std::string Describe() const {
    std::ostringstream S;
    for (const TLeafInfo& L : Leaves) {
      S << L.Table << " " << (L.Alias.empty() ? "-" : L.Alias) << " (";
      for (const std::string& C : L.Columns)
        S << C << " ";
      S << ") ";
    }
    return S.str();
  }

  std::unique_ptr<TTolvanAO> Root;
  std::vector<TLeafInfo> Leaves;
  std::vector<TTolvanAO*> Operators;

private:
  std::unique_ptr<TTestAOLeaf> NewLeaf() {
    const int32_t T = int32_t(FRandom() % FTables.size());
    const std::string Table = "t" + std::to_string(T);
    const std::string Alias =
        FRandom() % 4 == 0 ? std::string() : "a" + std::to_string(Leaves.size());
    auto L = std::make_unique<TTestAOLeaf>(Spell(Table, int(FRandom() % 3)), Alias);
    Leaves.push_back({L.get(), Table, Alias, FTables[size_t(T)]});
    return L;
  }

  void Collect(TTolvanAO* Op) {
    Operators.push_back(Op);
    if (Op->Left())
      Collect(Op->Left());
    if (Op->Right())
      Collect(Op->Right());
  }

  std::mt19937& FRandom;
  const std::vector<std::vector<std::string>>& FTables;
};

TEST_F(AOTest, FindFieldsAgreesWithAPerFieldModel) {
  std::mt19937 Random(36);
  // Four tables, each with some of the pool's columns in its own order and spelling.
  std::vector<std::vector<std::string>> Tables;
  for (int T = 0; T < 4; ++T) {
    std::vector<std::string> Columns(std::begin(Pool), std::end(Pool));
    std::shuffle(Columns.begin(), Columns.end(), Random);
    Columns.resize(1 + Random() % 4);
    std::vector<TTestColumn> Defs;
    for (std::string& C : Columns) {
      C = Spell(C, int(Random() % 3));
      Defs.push_back({C});
    }
    MakeMemoryTable("t" + std::to_string(T), Defs);
    Tables.push_back(Columns);
  }
  int64_t Checked = 0;
  for (int Round = 0; Round < 60; ++Round) {
    TTree Tree(Random, Tables, Round % 5);
    // The model's hidden flags: every link of every operator starts as its constructor made it.
    std::map<std::pair<TTolvanAO*, int32_t>, bool> Hidden;
    for (TTolvanAO* Op : Tree.Operators)
      for (int32_t F = 0; F < Op->FieldCount(); ++F)
        Hidden[{Op, F}] = Op->FieldLink(F).Hidden;
    for (int Query = 0; Query < 25; ++Query) {
      const bool All = Random() % 5 == 0;
      std::string Name = All ? "*" : Random() % 8 == 0 ? "nope" : Pool[Random() % 4];
      Name = Spell(Name, int(Random() % 3));
      std::string Table;
      switch (Random() % 4) {
      case 0: {
        const TLeafInfo& L = Tree.Leaves[Random() % Tree.Leaves.size()];
        Table = Spell(Random() % 2 || L.Alias.empty() ? L.Table : L.Alias, int(Random() % 3));
        break;
      }
      case 1:
        Table = "zz";
        break;
      default:
        break;
      }
      const bool Unhide = Random() % 2;
      const bool KeepHidden = Random() % 3 == 0;
      const bool WithArray = Random() % 4 != 0;
      TTolvanIntegerArray Found(0, 4, 64);
      const int32_t Count =
          Tree.Root->FindFields(Name, Table, Unhide, WithArray ? &Found : nullptr, KeepHidden);
      // Expected: the root's fields whose column matches, in output order.
      std::vector<int32_t> Expected;
      for (int32_t F = 0; F < Tree.Root->FieldCount(); ++F)
        if (Tree.Matches(Tree.Origin(Tree.Root.get(), F), Name, Table))
          Expected.push_back(F);
      const std::string Where = "round " + std::to_string(Round) + " query " + Name + " " + Table +
                                " unhide " + std::to_string(Unhide) + " keep " +
                                std::to_string(KeepHidden) + " tree " + Tree.Describe();
      ASSERT_EQ(Count, int32_t(Expected.size())) << Where;
      if (WithArray) {
        std::vector<int32_t> Got;
        for (int32_t I = 0; I < Found.Count(); ++I)
          Got.push_back(Found[I]);
        if (!All)
          std::sort(Got.begin(), Got.end());
        ASSERT_EQ(Got, Expected) << Where;
      }
      // Unhiding: every operator below the one asked unhides what matched when asked to;
      // the one asked only without keep-hidden.
      for (TTolvanAO* Op : Tree.Operators) {
        const bool Unhides = Unhide && (Op != Tree.Root.get() || !KeepHidden);
        for (int32_t F = 0; F < Op->FieldCount(); ++F) {
          bool& H = Hidden[{Op, F}];
          if (Unhides && Tree.Matches(Tree.Origin(Op, F), Name, Table))
            H = false;
          ASSERT_EQ(Op->FieldLink(F).Hidden, H)
              << Where << " field " << F << " " << Op->FieldLink(F).Name;
        }
      }
      ++Checked;
    }
  }
  EXPECT_EQ(Checked, 60 * 25);
}

// Names made unique are found by their new names too, and a name two inputs share is found
// once per input.
TEST_F(AOTest, RenamedFieldsAreFoundByEitherName) {
  MakeMemoryTable("k", {{"ID"}, {"v"}});
  TTestAOPair P(std::make_unique<TTestAOLeaf>("k", "k1"), std::make_unique<TTestAOLeaf>("k", "k2"));
  struct {
    const char* Name;
    const char* Table;
    int32_t Count;
    std::vector<int32_t> Found;
  } Cases[] = {
      {"id", "", 2, {0, 2}}, {"ID_1", "", 1, {2}},        {"id", "K2", 1, {2}},
      {"id_1", "k1", 0, {}}, {"*", "k", 4, {0, 1, 2, 3}}, {"*", "k2", 2, {2, 3}},
  };
  for (auto& C : Cases) {
    TTolvanIntegerArray Found(0, 4, 64);
    EXPECT_EQ(P.FindFields(C.Name, C.Table, false, &Found, false), C.Count) << C.Name << C.Table;
    std::vector<int32_t> Got;
    for (int32_t I = 0; I < Found.Count(); ++I)
      Got.push_back(Found[I]);
    std::sort(Got.begin(), Got.end());
    EXPECT_EQ(Got, C.Found) << C.Name << " " << C.Table;
  }
}

} // namespace
} // namespace tolvan::test
