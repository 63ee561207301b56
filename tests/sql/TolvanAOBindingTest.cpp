// Expressions bound to operator trees (field references, push-down, join fields, table
// conditions), ORDER BY lists, parameters and the state a tree keeps for re-runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

std::string Dump(const TTolvanExpression& E) { return DumpExprTree(E.Root()); }
std::string Dump(const std::unique_ptr<TTolvanExpression>& E) {
  return E ? Dump(*E) : "(no filter)";
}

std::unique_ptr<TTolvanExpression> Parsed(std::string_view Text) {
  auto E = std::make_unique<TTolvanExpression>();
  E->ParseFilter(nullptr, Text, false, false);
  return E;
}

std::string Show(const TTolvanVariant* V) {
  return V == nullptr ? "nil" : V->IsNull() ? "NULL" : std::string(V->GetAsString());
}

std::unique_ptr<TTestAOPair> Pair(std::unique_ptr<TTolvanAO> L, std::unique_ptr<TTolvanAO> R,
                                  TTolvanJoinType Type = jtCross) {
  return std::make_unique<TTestAOPair>(std::move(L), std::move(R), Type);
}

TTolvanSelectListItem Item(std::string_view Table, std::string_view Field,
                           std::string_view Alias = {}) {
  TTolvanSelectListItem I;
  I.TableName = Table;
  I.FieldName = Field;
  I.Alias = Alias;
  return I;
}

TTolvanSortSpecification Sort(int32_t Column, std::string_view Field = {}, bool Desc = false,
                              bool NoCase = false) {
  TTolvanSortSpecification S;
  S.FieldName = Field;
  S.ColumnNumber = Column;
  S.Descending = Desc;
  S.CaseInsensitive = NoCase;
  return S;
}

class AOBinding : public AOTest {
protected:
  void SetUp() override {
    MakeMemoryTable("t1", {{"a"}, {"b"}, {"x"}}, {{int64_t(1), int64_t(5), int64_t(9)}});
    MakeMemoryTable("t2", {{"a", tftVarchar, 21}, {"c", tftVarchar, 21}, {"x"}},
                    {{std::string("A2"), std::string("seven"), int64_t(8)}});
    MakeMemoryTable("l", {{"a"}});
    MakeMemoryTable("r", {{"b"}});
  }

  std::unique_ptr<TTestAOPair> Both() {
    return Pair(std::make_unique<TTestAOLeaf>("t1"), std::make_unique<TTestAOLeaf>("t2"));
  }
};

// --- field references --------------------------------------------------------------------------

TEST_F(AOBinding, FieldReferencesBindToThePairAndReadItsCurrentRow) {
  auto P = Both();
  P->First();
  auto B = ParsedValue("B");
  B->BindToAO(P.get());
  EXPECT_EQ(Show(B->Evaluate(true)), "5");
  EXPECT_EQ(B->GetDataType(), tftInteger);
  auto C = ParsedValue("t2.c");
  C->BindToAO(P.get());
  EXPECT_EQ(Show(C->Evaluate(true)), "seven");
  EXPECT_EQ(C->GetDataSize(), 21);
  // The reference unhides the leaf's column, the pair's own link stays as it was.
  EXPECT_FALSE(P->Right()->FieldLink(1).Hidden);
  EXPECT_TRUE(P->FieldLink(4).Hidden);
  auto A2 = ParsedValue("T2.A");
  A2->BindToAO(P.get());
  EXPECT_EQ(static_cast<TTolvanExprNodeField*>(A2->Root())->FieldNo(), 3);
  for (auto [Text, Error] : {std::pair{"t1.zz", "Field 't1.zz' not found"},
                             {"zz", "Field '.zz' not found"},
                             // Both inputs have a: ambiguous without a table.
                             {"a", "Field '.a' not found"}})
    EXPECT_EQ(ErrorOf([&] { ParsedValue(Text)->BindToAO(P.get()); }),
              std::string(Error) + " - Native error: 30197");
}

TEST_F(AOBinding, ConditionsArePushedToThePairsThatCanEvaluateThem) {
  struct TCase {
    TTolvanJoinType Type;
    const char* Left;
    const char* Right;
    const char* Join;
  } Cases[] = {
      {jtInner, "a = 1", "b = 2", "a = b"},
      {jtCross, "a = 1", "b = 2", "a = b"},
      {jtLeftOuter, "a = 1", "-", "b = 2 AND a = b"},
      {jtRightOuter, "-", "b = 2", "a = 1 AND a = b"},
      {jtFullOuter, "-", "-", "a = 1 AND b = 2 AND a = b"},
  };
  auto Expect = [](const char* Text) {
    return std::string(Text) == "-" ? std::string("(no filter)") : Dump(Parsed(Text));
  };
  for (const TCase& T : Cases) {
    auto J = Pair(std::make_unique<TTestAOLeaf>("l"), std::make_unique<TTestAOLeaf>("r"), T.Type);
    auto E = Parsed("a = 1 AND b = 2 AND a = b");
    E->PushConditionsToAO(J.get(), false);
    EXPECT_TRUE(E->IsEmpty());
    EXPECT_EQ(Dump(J->Left()->Filter()), Expect(T.Left)) << int(T.Type);
    EXPECT_EQ(Dump(J->Right()->Filter()), Expect(T.Right)) << int(T.Type);
    EXPECT_EQ(Dump(J->Filter()), Expect(T.Join)) << int(T.Type);
  }
  // A reference nothing in the tree knows stays where it was.
  auto J = Pair(std::make_unique<TTestAOLeaf>("l"), std::make_unique<TTestAOLeaf>("r"), jtInner);
  auto E = Parsed("a = 1 AND zz = 1");
  E->PushConditionsToAO(J.get(), false);
  EXPECT_EQ(Dump(J->Left()->Filter()), Dump(Parsed("a = 1")));
  EXPECT_EQ(Dump(*E), "(AND[i] " + Dump(Parsed("zz = 1")) + ")");
}

TEST_F(AOBinding, JoinFieldsAreTakenOutAndAmbiguityIsRefused) {
  MakeMemoryTable("r2", {{"b"}, {"a"}});
  auto J = Pair(std::make_unique<TTestAOLeaf>("l"), std::make_unique<TTestAOLeaf>("r"));
  auto E = Parsed("a = b AND a = 1 AND R.b = L.a");
  std::vector<TTolvanSelectListItem> First, Second;
  EXPECT_EQ(E->ExtractJoinFields(J->Left(), J->Right(), First, Second), 2);
  ASSERT_EQ(First.size(), 2u);
  EXPECT_EQ(First[0].FieldName + "/" + Second[0].FieldName, "a/b");
  EXPECT_EQ(First[1].TableName + "." + First[1].FieldName, "R.b");
  EXPECT_EQ(Dump(*E), "(AND[i] " + Dump(Parsed("a = 1")) + ")");
  auto K = Pair(std::make_unique<TTestAOLeaf>("l"), std::make_unique<TTestAOLeaf>("r2"));
  EXPECT_EQ(
      ErrorOf([&] { Parsed("a = b")->ExtractJoinFields(K->Left(), K->Right(), First, Second); }),
      "Ambiguous field reference to 'a' - Native error: 10404");
  EXPECT_EQ(
      ErrorOf([&] { Parsed("b = a")->ExtractJoinFields(K->Left(), K->Right(), First, Second); }),
      "Ambiguous field reference to 'a' - Native error: 10405");
  // Qualified, each side is found once.
  EXPECT_EQ(Parsed("l.a = r2.a")->ExtractJoinFields(K->Left(), K->Right(), First, Second), 1);
}

TEST_F(AOBinding, ALeafsOwnConditionsMoveToItsCursor) {
  TTestAOLeaf Leaf("t1", "u");
  std::vector<TTolvanSelectListItem> Items;
  TTolvanSelectListItem Twice;
  Twice.IsExpression = true;
  Twice.Expression = ParsedValue("b * 2");
  Twice.Alias = "d";
  Items.push_back(std::move(Twice));
  Leaf.SetSelectList(Items, 0, false);
  auto E = Parsed("u.a = 1 AND d = 10 AND b > 0");
  E->BindToAO(&Leaf);
  auto Taken = TTolvanExpression::ExtractTableConditions(*E, &Leaf);
  ASSERT_NE(Taken, nullptr);
  EXPECT_EQ(Dump(Taken), Dump(Parsed("u.a = 1 AND b > 0")));
  EXPECT_EQ(Dump(*E), "(AND[i] " + Dump(Parsed("d = 10")) + ")");
  Leaf.First();
  EXPECT_TRUE(E->EvaluateBoolean());
}

// --- ORDER BY ----------------------------------------------------------------------------------

TEST_F(AOBinding, OrderByResolvesNumbersAndNamesAndShowsUnselectedColumns) {
  auto P = Both();
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Item("", "a", "k"));
  Items.push_back(Item("", "b", "k"));
  P->SetSelectList(Items, 1, false);
  const TTolvanSortSpecification Specs[] = {Sort(2, "", true), Sort(-1, "C", false, true), Sort(1)};
  P->SetOrderBy(Specs, "");
  // The unselected column is visible beyond the selected ones.
  EXPECT_EQ(P->SelectedCount(), 2);
  ASSERT_EQ(P->VisibleFields().Count(), 3);
  EXPECT_EQ(P->VisibleFields()[2], 4);
  EXPECT_FALSE(P->FieldLink(4).Hidden);
  // Each item remembers the field it named, whatever names the columns share.
  EXPECT_EQ(P->OrderByOutputFields(), (std::vector<int32_t>{1, 4, 0}));
  EXPECT_EQ(P->OrderByFieldsText(), "k;c;k");
  EXPECT_EQ(P->OrderByDescendingText(), "k");
  EXPECT_EQ(P->OrderByCaseInsensitiveText(), "c");
  ASSERT_NE(P->OrderByFieldList(), nullptr);
  EXPECT_EQ(P->OrderByFieldList()->Text(), "K\r\nC\r\nK\r\n");
  EXPECT_EQ(P->OrderByDirectionList()->Text(), "DESC\r\nASC\r\nDESC\r\n");
  EXPECT_EQ(P->OrderByCaseList()->Text(), "CASE\r\nNO_CASE\r\nCASE\r\n");
  EXPECT_TRUE(P->UseOrderIndex());

  const TTolvanSortSpecification Beyond[] = {Sort(4)};
  EXPECT_EQ(ErrorOf([&] { P->SetOrderBy(Beyond, ""); }),
            "Invalid field number in ORDER BY clause. FieldNo = 3, number of fields = 3 - Native "
            "error: 11666");
  const TTolvanSortSpecification Missing[] = {Sort(-1, "zz")};
  EXPECT_EQ(ErrorOf([&] { P->SetOrderBy(Missing, ""); }),
            "Column 'zz' from ORDER BY clause not found - Native error: 30195");

  // ORDER BY INDEX keeps only the name.
  P->SetOrderBy({}, "IX");
  EXPECT_EQ(P->OrderByIndexName(), "IX");
  EXPECT_EQ(P->OrderByFieldList(), nullptr);
}

TEST_F(AOBinding, ALeafSortsByItsTablesColumnNames) {
  TTestAOLeaf Leaf("t1");
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Item("", "A", "first"));
  Leaf.SetSelectList(Items, 0, false);
  const TTolvanSortSpecification Specs[] = {Sort(1), Sort(-1, "X")};
  Leaf.SetOrderBy(Specs, "");
  EXPECT_EQ(Leaf.OrderByFieldsText(), "a;x");
  Leaf.OrderOnAllColumns();
  EXPECT_EQ(Leaf.OrderByFieldsText(), "a;x");
  EXPECT_TRUE(Leaf.OrderByOutputFields().empty());
}

// --- parameters and re-runs --------------------------------------------------------------------

TEST_F(AOBinding, ParametersAreCollectedOnceAndGatheredFromTheWholeTree) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(4);
  auto P = Both();
  std::vector<TTolvanSelectListItem> Items;
  TTolvanSelectListItem Sum;
  Sum.IsExpression = true;
  Sum.Expression = ParsedValue("b + :p", &Params);
  Items.push_back(std::move(Sum));
  Items.push_back(Item("", "c"));
  P->SetSelectList(Items, 1, false);
  {
    TTolvanLexer Lexer("x > :p", &Params);
    Lexer.NextStatement();
    auto F = std::make_unique<TTolvanExpression>();
    F->ParseCondition(Lexer);
    P->Left()->SetFilter(std::move(F));
  }
  std::vector<TTolvanExprNodeConst*> Direct;
  P->CollectParams(Direct);
  EXPECT_EQ(Direct.size(), 1u);
  for (TTolvanAO* Op : {static_cast<TTolvanAO*>(P.get()), P->Left(), P->Right()})
    Op->CollectOwnParams();
  EXPECT_TRUE(P->HasParameters());
  EXPECT_TRUE(P->Left()->HasParameters());
  EXPECT_FALSE(P->Right()->HasParameters());
  std::vector<TTolvanExprNodeConst*> All;
  GatherParams(P.get(), All);
  ASSERT_EQ(All.size(), 2u);
  EXPECT_EQ(All[0]->ParamName(), "p");
  EXPECT_TRUE(P->ParamNodes().empty());
  EXPECT_TRUE(P->Left()->ParamsGathered());
  // Gathered lists are not collected again.
  P->CollectOwnParams();
  EXPECT_TRUE(P->ParamNodes().empty());
}

TEST_F(AOBinding, SavedLinksComeBackForARerun) {
  auto P = Both();
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Item("", "b"));
  P->SetSelectList(Items, 0, false);
  P->SetKeepForRerun();
  EXPECT_TRUE(P->Left()->KeepForRerun());
  EXPECT_TRUE(P->Right()->KeepForRerun());
  P->SaveFieldLinks();
  EXPECT_TRUE(P->LinksSaved());
  const TTolvanSortSpecification Specs[] = {Sort(-1, "c")};
  P->SetOrderBy(Specs, "");
  EXPECT_FALSE(P->FieldLink(4).Hidden);
  TTolvanDataSet* Old = P->ResultDataSet();
  P->ResetForReexecution();
  EXPECT_TRUE(P->FieldLink(4).Hidden);
  EXPECT_FALSE(P->FieldLink(1).Hidden);
  EXPECT_NE(P->ResultDataSet(), nullptr);
  EXPECT_NE(P->ResultDataSet(), Old);
  EXPECT_FALSE(P->Materialised());
}

TEST_F(AOBinding, SubQueriesAnywhereInTheTreeRunAgainAfterAReset) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  TTolvanVariant V(tvtInteger);
  V.SetAsInteger(42);
  Services.AddSubQueryRow("one", V);
  auto P = Both();
  P->Right()->SetFilter(TTolvanExpression::CreateWithRoot(
      std::make_unique<TTolvanExprNodeSubQuery>("one", nullptr, true, "db", "s", false, nullptr)));
  EXPECT_EQ(Show(P->Right()->Filter()->Evaluate(true)), "42");
  Services.ClearSubQueryRows("one");
  V.SetAsInteger(43);
  Services.AddSubQueryRow("one", V);
  EXPECT_EQ(Show(P->Right()->Filter()->Evaluate(true)), "42");
  P->ResetSubQueries(nullptr);
  EXPECT_EQ(Show(P->Right()->Filter()->Evaluate(true)), "43");
}

} // namespace
} // namespace tolvan::test
