// Materialisation by the operator base: result names, the row pump with filters, DISTINCT, TOP,
// ORDER BY, INTO, failures and re-runs, over stand-in leaves and pairs on MEMORY tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

TTolvanSortSpecification Sort(int32_t Column, std::string_view Field = {}, bool Desc = false) {
  TTolvanSortSpecification S;
  S.FieldName = Field;
  S.ColumnNumber = Column;
  S.Descending = Desc;
  return S;
}

// Named columns, each with its alias ("" for none).
void Select(TTolvanAO& Op,
            std::initializer_list<std::pair<std::string_view, std::string_view>> Columns,
            bool Distinct = false) {
  std::vector<TTolvanSelectListItem> Items;
  for (auto [Field, Alias] : Columns) {
    TTolvanSelectListItem& I = Items.emplace_back();
    I.FieldName = Field;
    I.Alias = Alias;
  }
  Op.SetSelectList(Items, int32_t(Items.size()) - 1, Distinct);
}

int32_t TempTables() {
  TTolvanDatabaseData* Temp = FindDatabaseData(false, true, "TEMP", u"");
  return Temp ? Temp->TableCount() : -1;
}

class AOExecute : public AOTest {
protected:
  void SetUp() override {
    MakeMemoryTable("t", {{"id"}, {"name", tftVarchar, 10}, {"g"}},
                    {{int64_t(1), std::string("d"), int64_t(1)},
                     {int64_t(2), std::string("b"), int64_t(2)},
                     {int64_t(3), std::string("e"), int64_t(1)},
                     {int64_t(4), std::string("a"), int64_t(2)},
                     {int64_t(5), std::string("c"), int64_t(1)}});
    MakeMemoryTable("u", {{"g"}, {"label", tftVarchar, 10}},
                    {{int64_t(1), std::string("one")}, {int64_t(2), std::string("two")}});
  }
};

TEST_F(AOExecute, ALeafCopiesItsRowsIntoATemporaryTable) {
  TTestAOLeaf Leaf("t");
  Select(Leaf, {{"name", ""}, {"ID", "key"}});
  Leaf.Prepare(true);
  EXPECT_TRUE(Leaf.Materialised());
  EXPECT_TRUE(Leaf.ResultDataSet()->Temporary());
  EXPECT_EQ(ResultText(Leaf), "name,key: d,1 b,2 e,3 a,4 c,5");
}

TEST_F(AOExecute, TopWindows) {
  struct TCase {
    int64_t Start, Count;
    bool Ordered;
    const char* Rows;
    int64_t MaxRead;
  } Cases[] = {
      {-1, 2, false, "id: 1 2", 3},     {3, 2, false, "id: 3 4", 5}, {-1, 0, false, "id:", 1},
      {2, -1, false, "id: 2 3 4 5", 5}, {2, 2, true, "id: 2 5", 5},  {-1, 0, true, "id:", 5},
  };
  for (const TCase& C : Cases) {
    TTestAOLeaf Leaf("t");
    Select(Leaf, {{"id", ""}});
    Leaf.SetTop(C.Start, C.Count);
    EXPECT_EQ(Leaf.TopStartRow(), C.Start < 0 ? 1 : C.Start);
    if (C.Ordered) {
      // By name: a(4) b(2) c(5) d(1) e(3).
      const TTolvanSortSpecification S[] = {Sort(-1, "name")};
      Leaf.SetOrderBy(S, "");
    }
    Leaf.Prepare(true);
    EXPECT_EQ(ResultText(Leaf), C.Rows) << C.Start << " " << C.Count;
    EXPECT_LE(Leaf.RowsRead(), C.MaxRead) << C.Start << " " << C.Count;
  }
}

TEST_F(AOExecute, OrderByColumnsAndSharedNames) {
  struct TCase {
    std::vector<TTolvanSortSpecification> Sort;
    const char* Rows;
  } Cases[] = {
      // Column names shared by two items: the result names them k and k_1.
      {{}, "k,k_1: 1,d 2,b 3,e 4,a 5,c"},
      // The second column, whatever it is called.
      {{Sort(2)}, "k,k_1: 4,a 2,b 5,c 1,d 3,e"},
      // An unselected column sorts and disappears; the result still has both of its columns.
      {{Sort(-1, "g", true), Sort(1, "", true)}, "k,k_1: 4,a 2,b 5,c 3,e 1,d"},
  };
  for (const TCase& C : Cases) {
    TTestAOLeaf Leaf("t");
    Select(Leaf, {{"id", "k"}, {"name", "k"}});
    if (!C.Sort.empty())
      Leaf.SetOrderBy(C.Sort, "");
    Leaf.Prepare(true);
    EXPECT_EQ(ResultText(Leaf), C.Rows);
    EXPECT_EQ(Leaf.OrderByFieldList(), nullptr); // freed after a run that is not kept
  }
  // Over a pair both items are sorted as "k"; each keeps its own direction.
  TTestAOPair P(std::make_unique<TTestAOLeaf>("t"), std::make_unique<TTestAOLeaf>("u"));
  Select(P, {{"g", "k"}, {"id", "k"}});
  const TTolvanSortSpecification S[] = {Sort(1, "", true), Sort(2)};
  P.SetOrderBy(S, "");
  EXPECT_EQ(P.OrderByFieldsText(), "k;k");
  EXPECT_EQ(P.OrderByDescendingText(), "k");
  P.Prepare(true);
  EXPECT_EQ(ResultText(P), "k,k_1: 2,2 2,2 2,4 2,4 1,1 1,1 1,3 1,3 1,5 1,5");
}

TEST_F(AOExecute, DistinctIgnoresSortOnlyColumnsAndKeepsSkippedRowsInTheSet) {
  TTestAOLeaf Leaf("t");
  Select(Leaf, {{"g", ""}}, true);
  const TTolvanSortSpecification S[] = {Sort(-1, "id", true)};
  Leaf.SetOrderBy(S, "");
  Leaf.Prepare(true);
  // The first row of each g in table order (ids 1 and 2), then sorted by the hidden id.
  EXPECT_EQ(ResultText(Leaf), "g: 2 1");
  // TOP 1,2 skips the first distinct value; a later duplicate of it is still a duplicate.
  TTestAOLeaf Top("t");
  Select(Top, {{"g", ""}}, true);
  Top.SetTop(2, 5);
  Top.Prepare(true);
  EXPECT_EQ(ResultText(Top), "g: 2");
}

TEST_F(AOExecute, APairMaterialisesItsFilteredCrossProduct) {
  auto P = std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t"),
                                         std::make_unique<TTestAOLeaf>("u"), jtInner);
  Select(*P, {{"id", ""}, {"label", ""}, {"g", ""}});
  auto F = ParsedCondition("t.g = u.g AND id < 4");
  F->BindToAO(P.get());
  P->SetFilter(std::move(F));
  P->Prepare(true);
  EXPECT_EQ(ResultText(*P), "id,label,g: 1,one,1 2,two,2 3,one,1");
  // Not kept: the children are gone.
  EXPECT_EQ(P->Left(), nullptr);
}

TEST_F(AOExecute, IntoWritesTheTargetDirectlyOrThroughASortedCopy) {
  for (bool Ordered : {false, true}) {
    TTestAOLeaf Leaf("t");
    Select(Leaf, {{"name", ""}, {"id", ""}});
    Leaf.SetResultTarget(true, "target", "");
    if (Ordered) {
      const TTolvanSortSpecification S[] = {Sort(1)};
      Leaf.SetOrderBy(S, "");
    }
    Leaf.Prepare(true);
    EXPECT_FALSE(Leaf.ResultDataSet()->Temporary());
    EXPECT_EQ(ResultText(Leaf),
              Ordered ? "name,id: a,4 b,2 c,5 d,1 e,3" : "name,id: d,1 b,2 e,3 a,4 c,5");
    EXPECT_EQ(Leaf.TopRowCount(), -1);
  }
}

TEST_F(AOExecute, AFailureMidPumpMaterialisesNothingAndLeavesNoTable) {
  const int32_t Before = TempTables();
  ASSERT_GE(Before, 0);
  {
    TTestAOLeaf Leaf("t");
    Select(Leaf, {{"id", ""}});
    auto F = ParsedCondition("10 / (id - 3) > 0");
    Leaf.SetFilter(std::move(F));
    EXPECT_NE(ErrorOf([&] { Leaf.Prepare(true); }), "no error");
    EXPECT_FALSE(Leaf.Materialised());
    EXPECT_GE(Leaf.RowsRead(), 3);
  }
  EXPECT_EQ(TempTables(), Before);
}

TEST_F(AOExecute, ARerunOfAKeptTreeEqualsAFreshRun) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(2);
  auto Build = [&] {
    auto P = std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t"),
                                           std::make_unique<TTestAOLeaf>("u"), jtInner);
    Select(*P, {{"id", ""}, {"label", ""}});
    auto F = ParsedCondition("t.g = u.g AND id > :p", &Params);
    F->BindToAO(P.get());
    P->SetFilter(std::move(F));
    const TTolvanSortSpecification S[] = {Sort(1, "", true), Sort(2)};
    P->SetOrderBy(S, "");
    return P;
  };
  auto Kept = Build();
  Kept->SetKeepForRerun();
  Kept->Prepare(true);
  EXPECT_EQ(ResultText(*Kept), "id,label: 5,one 4,two 3,one");
  ASSERT_EQ(Kept->ParamNodes().size(), 1u);
  // New value, and a row inserted behind the tree.
  TTolvanVariant Four(tvtInteger);
  Four.SetAsInteger(3);
  Kept->ParamNodes()[0]->SetValue(Four);
  Param.SetAsLargeInt(3);
  AppendMemoryRows("u", {{"g"}, {"label", tftVarchar, 10}}, {{int64_t(1), std::string("uno")}});
  Kept->ResetSubQueries(nullptr);
  Kept->Prepare(true);
  auto Fresh = Build();
  Fresh->Prepare(true);
  EXPECT_EQ(ResultText(*Kept), ResultText(*Fresh));
  EXPECT_EQ(ResultText(*Fresh), "id,label: 5,one 5,uno 4,two");
}

TEST_F(AOExecute, ARerunWithIntoAndOrderByAfterInsertsEqualsAFreshRun) {
  auto Build = [](std::string_view Target) {
    auto Leaf = std::make_unique<TTestAOLeaf>("t");
    Select(*Leaf, {{"name", ""}, {"id", ""}});
    Leaf->SetResultTarget(true, Target, "");
    const TTolvanSortSpecification S[] = {Sort(1, "", true)};
    Leaf->SetOrderBy(S, "");
    return Leaf;
  };
  auto Kept = Build("target");
  Kept->SetKeepForRerun();
  Kept->Prepare(true);
  EXPECT_EQ(ResultText(*Kept), "name,id: e,3 d,1 c,5 b,2 a,4");
  AppendMemoryRows("t", {{"id"}, {"name", tftVarchar, 10}}, {{int64_t(6), std::string("f")}});
  Kept->Prepare(true);
  // The copy into the target used a window of its own: nothing caps the next run.
  EXPECT_EQ(Kept->TopRowCount(), -1);
  EXPECT_EQ(ResultText(*Kept), "name,id: f,6 e,3 d,1 c,5 b,2 a,4");
  auto Fresh = Build("other");
  Fresh->Prepare(true);
  EXPECT_EQ(ResultText(*Kept), ResultText(*Fresh));
}

TEST_F(AOExecute, ARerunEvaluatesSubQueriesAgain) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  auto Rows = [&](int32_t Bound) {
    Services.ClearSubQueryRows("bound");
    TTolvanVariant V(tvtInteger);
    V.SetAsInteger(Bound);
    Services.AddSubQueryRow("bound", V);
  };
  Rows(3);
  TTestAOLeaf Leaf("t");
  Select(Leaf, {{"id", ""}});
  Leaf.SetFilter(TTolvanExpression::CreateWithRoot(std::make_unique<TTolvanExprNodeComparison>(
      eoLess, std::make_unique<TTolvanExprNodeField>(nullptr, "id", ""),
      std::make_unique<TTolvanExprNodeSubQuery>("bound", nullptr, true, "db", "s", false, nullptr),
      true, false, false)));
  Leaf.SetKeepForRerun();
  Leaf.Prepare(true);
  EXPECT_EQ(ResultText(Leaf), "id: 1 2");
  Rows(5);
  Leaf.ResetSubQueries(nullptr);
  Leaf.Prepare(true);
  EXPECT_EQ(ResultText(Leaf), "id: 1 2 3 4");
}

} // namespace
} // namespace tolvan::test
