// The table leaf over MEMORY tables: opening, the hand-over of the source or the copy, ORDER BY
// through an index, table use, conditions handed to the cursor, and re-runs with new values.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanAOTable.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

// A leaf whose links a test may damage, to reach the checks of the hand-over.
class TLeaf : public TTolvanAOTable {
public:
  TLeaf(std::string_view Table, bool RequestLive, std::string_view Alias = {})
      : TTolvanAOTable("", "", Table, Alias, "", nullptr, true, RequestLive, "") {}
  TTolvanFieldLink& Link(int32_t FieldNo) { return MutableFieldLink(FieldNo); }
};

std::unique_ptr<TLeaf> Leaf(std::string_view Table, bool RequestLive = true) {
  return std::make_unique<TLeaf>(Table, RequestLive);
}

// Named columns; "*" alone for all.
void Select(TTolvanAO& Op, std::initializer_list<std::string_view> Columns, bool Distinct = false) {
  std::vector<TTolvanSelectListItem> Items;
  for (std::string_view Field : Columns) {
    TTolvanSelectListItem& I = Items.emplace_back();
    I.AllFields = Field == "*";
    I.FieldName = Field;
  }
  Op.SetSelectList(Items, int32_t(Items.size()) - 1, Distinct);
}

// The table's use count, read through a cursor of its own.
int32_t UseCount(std::string_view Table) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Table);
  T->Open();
  auto* C = dynamic_cast<TTolvanLocalCursor*>(T->Cursor());
  return C && C->TableData() ? C->TableData()->UseCount() : -1;
}

TTolvanSortSpecification Sort(std::string_view Field, bool Desc = false) {
  TTolvanSortSpecification S;
  S.FieldName = Field;
  S.Descending = Desc;
  return S;
}

const std::vector<TTestColumn> Columns = {{"id"}, {"name", tftVarchar, 10}, {"a"}};

class AOTable : public AOTest {
protected:
  void SetUp() override {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName("t");
    for (const TTestColumn& C : Columns)
      T->AdvFieldDefs().Add(C.Name, C.Type, C.Size, false);
    T->IndexDefs().Add("byname", "name", TIndexOptions());
    T->CreateTable();
    AppendMemoryRows("t", Columns,
                     {{int64_t(1), std::string("d"), int64_t(5)},
                      {int64_t(2), std::string("b"), int64_t(7)},
                      {int64_t(3), std::string("e"), int64_t(5)},
                      {int64_t(4), std::string("a"), {}},
                      {int64_t(5), std::string("c"), int64_t(5)}});
  }
};

TEST_F(AOTable, ALiveFilteredSelectHandsOnTheTableItselfAndStaysEditable) {
  auto L = Leaf("t");
  Select(*L, {"*"});
  L->SetFilter(ParsedCondition("a = 5"));
  L->Prepare(true);
  EXPECT_TRUE(L->ResultIsSource());
  EXPECT_EQ(L->ResultDataSet(), L->SourceDataSet());
  // The condition went to the cursor, which owns it; nothing stays with the operator.
  EXPECT_NE(L->ResultDataSet()->Cursor()->ExternalFilter(), nullptr);
  EXPECT_EQ(L->Filter(), nullptr);
  EXPECT_EQ(ResultText(*L), "id,name,a: 1,d,5 3,e,5 5,c,5");
  TTolvanDataSet& D = *L->ResultDataSet();
  D.First();
  D.Edit();
  D.FieldByName("name").SetAsString("z");
  D.Post();
  L.reset();
  auto Fresh = Leaf("t", false);
  Select(*Fresh, {"name"});
  Fresh->SetFilter(ParsedCondition("id = 1"));
  Fresh->Prepare(true);
  EXPECT_EQ(ResultText(*Fresh), "name: z");
}

TEST_F(AOTable, OpeningFailuresNameTheTableAndLeaveNothingBehind) {
  EXPECT_EQ(ErrorOf([] { TLeaf L("missing", true); }),
            "Table 'missing' does not exist - Native error: 11505");
  // Outside an in-memory database the open itself fails, with every detail of the attempt.
  const std::string E =
      ErrorOf([] { TTolvanAOTable L("nodb", "", "t", "", "", nullptr, false, true, "secret"); });
  EXPECT_EQ(E.rfind("Cannot open table or sub-query. \r\nTableName = t\r\nDatabaseName = nodb\r\n"
                    "SessionName = \r\nInMemory = 0\r\nQuery SQL: \r\n\r\nError: \r\n",
                    0),
            0u)
      << E;
  EXPECT_NE(E.find("Native error: 10303"), std::string::npos) << E;
  EXPECT_EQ(UseCount("t"), 0);
}

TEST_F(AOTable, OrderByIndexUsesTheNamedIndexOrRaises) {
  auto L = Leaf("t");
  Select(*L, {"id", "name"});
  L->SetOrderBy({}, "byname");
  L->Prepare(true);
  EXPECT_TRUE(L->ResultIsSource());
  EXPECT_EQ(ResultText(*L), "id,name: 4,a 2,b 5,c 1,d 3,e");
  // The links follow the projection; a column it left out is not read in another's place.
  TTolvanVariant V;
  L->First();
  L->GetFieldValue(V, 1, false, true);
  EXPECT_EQ(std::string(V.GetAsString()), "a");
  EXPECT_NE(ErrorOf([&] { L->GetFieldValue(V, 2, false, true); }).find("Native error: 10309"),
            std::string::npos);

  auto M = Leaf("t");
  Select(*M, {"id"});
  M->SetOrderBy({}, "nope");
  EXPECT_EQ(ErrorOf([&] { M->Prepare(true); }),
            "Error - index 'nope' does not exist in table 't' - Native error: 11667");
}

TEST_F(AOTable, EachCopyTriggerCopiesAndTheRestHandOnTheSource) {
  struct Case {
    const char* Name;
    bool RequestLive;
    std::function<void(TLeaf&)> Configure;
    bool Copies;
    std::string Rows;
  };
  const std::vector<Case> Cases = {
      {"live, no trigger", true,
       [](TLeaf& L) {
         Select(L, {"id", "a"});
       },
       false, "id,a: 1,5 2,7 3,5 4,- 5,5"},
      {"root without live", false,
       [](TLeaf& L) {
         Select(L, {"id", "a"});
       },
       true, "id,a: 1,5 2,7 3,5 4,- 5,5"},
      {"TOP", true,
       [](TLeaf& L) {
         Select(L, {"id"});
         L.SetTop(-1, 2);
       },
       true, "id: 1 2"},
      {"TOP start only", true,
       [](TLeaf& L) {
         Select(L, {"id"});
         L.SetTop(4, -1);
       },
       true, "id: 4 5"},
      {"column twice", true,
       [](TLeaf& L) {
         Select(L, {"id", "id"});
       },
       true, "id,id_1: 1,1 2,2 3,3 4,4 5,5"},
      {"DISTINCT", true, [](TLeaf& L) { Select(L, {"a"}, true); }, true, "a: 5 7 -"},
      {"ORDER BY without an index", true,
       [](TLeaf& L) {
         Select(L, {"id"});
         const TTolvanSortSpecification S[] = {Sort("id", true)};
         L.SetOrderBy(S, "");
       },
       true, "id: 5 4 3 2 1"},
      {"ORDER BY served by an index", true,
       [](TLeaf& L) {
         Select(L, {"name", "id"});
         const TTolvanSortSpecification S[] = {Sort("name")};
         L.SetOrderBy(S, "");
       },
       false, "name,id: a,4 b,2 c,5 d,1 e,3"},
      {"ORDER BY a column outside the select list, by index", true,
       [](TLeaf& L) {
         Select(L, {"id"});
         const TTolvanSortSpecification S[] = {Sort("name")};
         L.SetOrderBy(S, "");
       },
       false, "id: 4 2 5 1 3"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto L = Leaf("t", C.RequestLive);
    C.Configure(*L);
    L->Prepare(true);
    EXPECT_EQ(!L->ResultIsSource(), C.Copies);
    // A copy lets go of the table and its use at once.
    EXPECT_EQ(L->SourceDataSet() == nullptr, C.Copies);
    EXPECT_EQ(ResultText(*L), C.Rows);
  }
}

TEST_F(AOTable, IntoCopiesIntoTheNamedTable) {
  auto L = Leaf("t");
  Select(*L, {"name"});
  L->SetFilter(ParsedCondition("a = 7"));
  L->SetResultTarget(true, "target", "");
  L->Prepare(true);
  EXPECT_FALSE(L->ResultIsSource());
  L.reset();
  auto T = Leaf("target", false);
  Select(*T, {"*"});
  T->Prepare(true);
  EXPECT_EQ(ResultText(*T), "name: b");
}

TEST_F(AOTable, AHandOverRefusesHiddenAndUnnamedFields) {
  auto L = Leaf("t");
  Select(*L, {"id", "name"});
  L->Link(1).Hidden = true;
  EXPECT_EQ(ErrorOf([&] { L->Prepare(true); }),
            "Cannot access hidden field: table name = t, field name = name, display name = name, "
            "FieldNo = 1 - Native error: 11498");
  auto M = Leaf("t");
  Select(*M, {"id", "name"});
  M->Link(0).DisplayName.clear();
  EXPECT_EQ(ErrorOf([&] { M->Prepare(true); }),
            "Error - empty field display name, table name = t, field name = id, field no = 0 - "
            "Native error: 11500");
}

TEST_F(AOTable, TableUseLastsFromLockToUnlockOrToTheCopy) {
  {
    auto L = Leaf("t");
    Select(*L, {"id"});
    L->LockSources();
    L->LockSources();
    EXPECT_EQ(UseCount("t"), 1);
    L->Prepare(true);
    EXPECT_EQ(UseCount("t"), 1);
    L->UnlockSources();
    EXPECT_EQ(UseCount("t"), 0);
    // A use the leaf still holds ends with it.
    L->LockSources();
    EXPECT_TRUE(L->TableUseStarted());
  }
  EXPECT_EQ(UseCount("t"), 0);
  {
    auto L = Leaf("t", false);
    Select(*L, {"id"});
    L->LockSources();
    L->Prepare(true);
    EXPECT_FALSE(L->TableUseStarted());
    EXPECT_EQ(UseCount("t"), 0);
    L->UnlockSources();
    EXPECT_EQ(UseCount("t"), 0);
  }
  {
    // A copy that fails part way keeps the source as the result, and its use until unlocked.
    auto L = Leaf("t", false);
    Select(*L, {"id"});
    L->SetFilter(ParsedCondition("10 / (id - 3) > 0 OR name = 'q'"));
    L->LockSources();
    EXPECT_NE(ErrorOf([&] { L->Prepare(true); }), "no error");
    EXPECT_FALSE(L->Materialised());
    EXPECT_EQ(L->ResultDataSet(), L->SourceDataSet());
    EXPECT_EQ(UseCount("t"), 1);
    L->UnlockSources();
    EXPECT_EQ(UseCount("t"), 0);
  }
  EXPECT_EQ(UseCount("t"), 0);
}

TEST_F(AOTable, ALeafUnderAnotherOperatorIsNotProjectedAndAnswersItsConditions) {
  MakeMemoryTable("u", {{"a"}, {"label", tftVarchar, 10}},
                  {{int64_t(5), std::string("five")}, {int64_t(7), std::string("seven")}});
  auto Left = Leaf("t");
  Left->SetFilter(ParsedCondition("id < 3"));
  TLeaf* LeftLeaf = Left.get();
  auto P = std::make_unique<TTestAOPair>(std::move(Left), Leaf("u"), jtInner);
  Select(*P, {"id", "label"});
  // Kept, so the children outlive the run.
  P->SetKeepForRerun();
  P->Prepare(true);
  EXPECT_TRUE(LeftLeaf->ResultIsSource());
  EXPECT_FALSE(LeftLeaf->ResultDataSet()->ProjectionApplied());
  EXPECT_EQ(ResultText(*P), "id,label: 1,five 1,seven 2,five 2,seven");
}

TEST_F(AOTable, AKeptLeafRunsAgainWithANewParameterValue) {
  for (bool Live : {true, false}) {
    SCOPED_TRACE(Live ? "handed on" : "copied");
    TTolvanSQLParams Params;
    TTolvanSQLParam& Param = Params.Add();
    Param.SetName("p");
    Param.Clear(tvtInteger);
    Param.SetAsLargeInt(5);
    auto L = Leaf("t", Live);
    Select(*L, {"id"});
    L->SetFilter(ParsedCondition("a = :p", &Params));
    const TTolvanSortSpecification S[] = {Sort("name")};
    L->SetOrderBy(S, "");
    L->SetKeepForRerun();
    L->LockSources();
    L->Prepare(true);
    L->UnlockSources();
    EXPECT_EQ(ResultText(*L), "id: 5 1 3");
    ASSERT_EQ(L->ParamNodes().size(), 1u);
    TTolvanVariant Seven(tvtInteger);
    Seven.SetAsInteger(7);
    L->ParamNodes()[0]->SetValue(Seven);
    AppendMemoryRows("t", Columns,
                     {{int64_t(Live ? 6 : 7), std::string(Live ? "a" : "aa"), int64_t(7)}});
    // The second run holds the table too, though a copying leaf's result is its copy by now.
    L->LockSources();
    EXPECT_EQ(UseCount("t"), 1);
    L->Prepare(true);
    EXPECT_EQ(L->ResultIsSource(), Live);
    EXPECT_EQ(UseCount("t"), Live ? 1 : 0);
    L->UnlockSources();
    EXPECT_EQ(ResultText(*L), Live ? "id: 6 2" : "id: 6 7 2");
    EXPECT_EQ(UseCount("t"), 0);
  }
}

TEST_F(AOTable, AKeptTreeRerunsWithNewValuesInConditionsPushedIntoItsLeaves) {
  MakeMemoryTable("u", {{"a"}, {"label", tftVarchar, 10}},
                  {{int64_t(5), std::string("five")}, {int64_t(7), std::string("seven")}});
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(2);
  auto Build = [&] {
    auto P = std::make_unique<TTestAOPair>(Leaf("t"), Leaf("u"), jtInner);
    Select(*P, {"id", "label"});
    auto F = ParsedCondition("t.a = u.a AND id > :p AND label <> 'x'", &Params);
    F->BindToAO(P.get());
    // The join condition stays with the pair, the others go to the leaves.
    F->PushConditionsToAO(P.get(), false);
    EXPECT_TRUE(F->IsEmpty());
    return P;
  };
  auto Kept = Build();
  Kept->SetKeepForRerun();
  Kept->LockSources();
  Kept->Prepare(true);
  Kept->UnlockSources();
  EXPECT_EQ(ResultText(*Kept), "id,label: 3,five 5,five");
  for (TTolvanAO* Child : {Kept->Left(), Kept->Right()}) {
    auto* L = dynamic_cast<TTolvanAOTable*>(Child);
    ASSERT_NE(L, nullptr);
    EXPECT_NE(L->SourceDataSet()->Cursor()->ExternalFilter(), nullptr);
    EXPECT_EQ(L->Filter(), nullptr);
  }
  ASSERT_EQ(Kept->ParamNodes().size(), 1u);
  TTolvanVariant Value(tvtInteger);
  Value.SetAsInteger(1);
  Kept->ParamNodes()[0]->SetValue(Value);
  Param.SetAsLargeInt(1);
  AppendMemoryRows("u", {{"a"}, {"label", tftVarchar, 10}}, {{int64_t(7), std::string("sept")}});
  Kept->LockSources();
  Kept->Prepare(true);
  Kept->UnlockSources();
  auto Fresh = Build();
  Fresh->Prepare(true);
  EXPECT_EQ(ResultText(*Kept), ResultText(*Fresh));
  EXPECT_EQ(ResultText(*Fresh), "id,label: 2,seven 2,sept 3,five 5,five");
  EXPECT_EQ(UseCount("t"), 0);
  EXPECT_EQ(UseCount("u"), 0);
}

TEST_F(AOTable, ARerunEvaluatesSubQueriesHandedToTheCursorAgain) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  auto Rows = [&](int32_t Bound) {
    Services.ClearSubQueryRows("bound");
    TTolvanVariant V(tvtInteger);
    V.SetAsInteger(Bound);
    Services.AddSubQueryRow("bound", V);
  };
  Rows(3);
  auto L = Leaf("t");
  Select(*L, {"id"});
  L->SetFilter(TTolvanExpression::CreateWithRoot(std::make_unique<TTolvanExprNodeComparison>(
      eoLess, std::make_unique<TTolvanExprNodeField>(nullptr, "id", ""),
      std::make_unique<TTolvanExprNodeSubQuery>("bound", nullptr, true, "db", "s", false, nullptr),
      true, false, false)));
  L->SetKeepForRerun();
  L->Prepare(true);
  EXPECT_EQ(ResultText(*L), "id: 1 2");
  Rows(5);
  L->ResetSubQueries(nullptr);
  L->Prepare(true);
  EXPECT_EQ(ResultText(*L), "id: 1 2 3 4");
}

} // namespace
} // namespace tolvan::test
