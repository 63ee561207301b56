// The operator base's lookup, values, select lists and naming, over stand-in leaves and pairs on
// MEMORY tables.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "schema/expr/TolvanExprDump.h"
#include "schema/expr/TolvanExpression.h"
#include "schema/expr/TolvanLexer.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

std::unique_ptr<TTestAOLeaf> Leaf(std::string_view Table, std::string_view Alias = {}) {
  return std::make_unique<TTestAOLeaf>(Table, Alias);
}

std::unique_ptr<TTestAOPair> Pair(std::unique_ptr<TTolvanAO> L, std::unique_ptr<TTolvanAO> R,
                                  TTolvanJoinType Type = jtCross) {
  return std::make_unique<TTestAOPair>(std::move(L), std::move(R), Type);
}

std::vector<int32_t> Numbers(const TTolvanIntegerArray& A) {
  std::vector<int32_t> V;
  for (int32_t I = 0; I < A.Count(); ++I)
    V.push_back(A[I]);
  return V;
}

std::string Names(TTolvanAO& Op) {
  std::string S;
  for (int32_t I = 0; I < Op.FieldCount(); ++I)
    S += (I ? " " : "") + Op.FieldLink(I).Name;
  return S;
}

// The display names of the visible fields, "|" marking where the selected ones end.
std::string Shown(TTolvanAO& Op) {
  std::string S;
  for (int32_t I = 0; I < Op.VisibleFields().Count(); ++I) {
    if (I == Op.SelectedCount())
      S += " |";
    S += (I ? " " : "") + Op.FieldLink(Op.VisibleFields()[I]).DisplayName;
  }
  return S;
}

TTolvanSelectListItem Item(std::string_view Table, std::string_view Field,
                           std::string_view Alias = {}) {
  TTolvanSelectListItem I;
  I.TableName = Table;
  I.AllFields = Field == "*";
  I.FieldName = I.AllFields ? "" : std::string(Field);
  I.Alias = Alias;
  return I;
}

TTolvanSelectListItem Computed(std::string_view Text, std::string_view Alias = {},
                               const TTolvanSQLParams* Params = nullptr) {
  TTolvanSelectListItem I;
  I.IsExpression = true;
  I.Expression = ParsedValue(Text, Params);
  I.Alias = Alias;
  return I;
}

void Select(TTolvanAO& Op, std::vector<TTolvanSelectListItem> Items, bool Distinct = false) {
  Op.SetSelectList(Items, int32_t(Items.size()) - 1, Distinct);
}

std::string Read(TTolvanAO& Op, int32_t FieldNo) {
  TTolvanVariant V;
  Op.GetFieldValue(V, FieldNo, false, true);
  return V.IsNull() ? "NULL" : std::string(V.GetAsString());
}

class AOLookup : public AOTest {
protected:
  void SetUp() override {
    MakeMemoryTable("t1", {{"a"}, {"b"}, {"x"}}, {{int64_t(1), int64_t(5), int64_t(9)}});
    MakeMemoryTable("t2", {{"a", tftVarchar, 21}, {"c", tftVarchar, 21}, {"x"}},
                    {{std::string("A2"), std::string("seven"), int64_t(8)}});
  }
};

// --- values and their errors ------------------------------------------------------------------

TEST_F(AOLookup, ALeafReadsItsTableThroughItsLinks) {
  auto L = Leaf("t2", "u");
  EXPECT_EQ(Names(*L), "a c x");
  EXPECT_TRUE(L->FieldLink(0).Hidden);
  EXPECT_EQ(L->GetFieldType(1), tftVarchar);
  EXPECT_EQ(L->GetFieldSize(1), 21);
  EXPECT_EQ(L->GetFieldPrecision(1), 0);
  L->First();
  EXPECT_EQ(Read(*L, 1), "seven");
  AnsiString Name;
  L->GetFieldName(2, false, Name);
  EXPECT_EQ(Name, "x");
  // Hidden fields need AllowHidden; numbers outside the fields name their operation.
  TTolvanVariant V;
  EXPECT_EQ(ErrorOf([&] { L->GetFieldValue(V, 0, false, false); }),
            "Cannot access hidden field: table name = t2, field name = a, display name = , "
            "FieldNo = 0 - Native error: 10310");
  struct {
    std::function<void()> Call;
    const char* Error;
  } Cases[] = {
      {[&] { L->GetFieldName(3, false, Name); },
       "FieldNo = 3, FieldCount = 3 - Native error: 10306"},
      {[&] { L->GetFieldValue(V, -1, false, true); },
       "FieldNo = -1, FieldCount = 3 - Native error: 10307"},
      {[&] { L->GetFieldType(3); }, "FieldNo = 3, FieldCount = 3 - Native error: 10376"},
      {[&] { L->GetFieldSize(3); }, "FieldNo = 3, FieldCount = 3 - Native error: 10377"},
      {[&] { L->GetFieldPrecision(3); }, "FieldNo = 3, FieldCount = 3 - Native error: 10378"},
  };
  for (auto& C : Cases)
    EXPECT_EQ(ErrorOf(C.Call), std::string("Invalid field number - ") + C.Error);
}

TEST_F(AOLookup, ALinkWhoseSourceWentRaisesInsteadOfReading) {
  auto P = Pair(Leaf("t1"), Leaf("t2"));
  P->First();
  EXPECT_EQ(Read(*P, 4), "seven");
  // The leaf lets its table go: the links naming it are cleared, so the pair's read through it
  // fails cleanly.
  static_cast<TTestAOLeaf*>(P->Right())->ReleaseSource();
  TTolvanVariant V;
  EXPECT_EQ(ErrorOf([&] { P->GetFieldValue(V, 4, false, true); }),
            "Invalid field link: table name = t2, FieldNo = 1 - Native error: 10309");
}

TEST_F(AOLookup, NullFlagsExtendTheirSideWithNulls) {
  auto P = Pair(Leaf("t1"), Leaf("t2"), jtFullOuter);
  P->First();
  for (auto [LeftNull, RightNull, Expect] : {std::tuple{false, false, "1 seven"},
                                             {true, false, "NULL seven"},
                                             {false, true, "1 NULL"}}) {
    P->SetNullFlags(LeftNull, RightNull);
    EXPECT_EQ(Read(*P, 0) + " " + Read(*P, 4), Expect);
  }
}

TEST_F(AOLookup, ACrossProductVisitsEveryPairOnce) {
  MakeMemoryTable("n", {{"v"}}, {{int64_t(1)}, {int64_t(2)}, {int64_t(3)}});
  MakeMemoryTable("m", {{"w"}}, {{int64_t(10)}, {int64_t(20)}});
  auto P = Pair(Leaf("n"), Leaf("m"));
  std::vector<std::string> Rows;
  for (P->First(); !P->Eof(); P->Next())
    Rows.push_back(Read(*P, 0) + "/" + Read(*P, 1));
  EXPECT_EQ(Rows, (std::vector<std::string>{"1/10", "1/20", "2/10", "2/20", "3/10", "3/20"}));
  EXPECT_EQ(P->RecordCount(), 6);
}

// --- naming ------------------------------------------------------------------------------------

TEST_F(AOLookup, NamesAreMadeUniqueByGrowingSuffixes) {
  MakeMemoryTable("k", {{"ID"}, {"v"}});
  auto P = Pair(Pair(Leaf("k", "k1"), Leaf("k", "k2")), Pair(Leaf("k", "k3"), Leaf("k", "k4")));
  EXPECT_EQ(Names(*P), "ID v ID_1 v_1 ID_12 v_12 ID_123 v_123");
  // The inner pairs named their own fields; the outer one starts again from the columns.
  EXPECT_EQ(Names(*P->Right()), "ID v ID_1 v_1");
  AnsiString Own, Origin;
  P->GetFieldName(6, true, Own);
  P->GetFieldName(6, false, Origin);
  EXPECT_EQ(Own + "/" + Origin, "ID_123/ID");
}

// --- select lists ------------------------------------------------------------------------------

TEST_F(AOLookup, SelectListsMakeFieldsVisible) {
  struct TCase {
    std::vector<TTolvanSelectListItem> (*Items)();
    const char* Shown;
  } Cases[] = {
      // Everything, in output order, with the join's unique names where columns share a name.
      {[] { return std::vector<TTolvanSelectListItem>{}; }, "a b x a_1 c x_1"},
      {[] {
         std::vector<TTolvanSelectListItem> V;
         V.push_back(Item("", "*"));
         return V;
       },
       "a b x a_1 c x_1"},
      // One table's columns; a column renamed for uniqueness shows its own name again.
      {[] {
         std::vector<TTolvanSelectListItem> V;
         V.push_back(Item("t2", "*"));
         return V;
       },
       "a c x"},
      // As written when the case differs, the alias when given, twice when selected twice.
      {[] {
         std::vector<TTolvanSelectListItem> V;
         V.push_back(Item("", "B"));
         V.push_back(Item("t2", "a", "k"));
         V.push_back(Item("", "B"));
         V.push_back(Item("u", "X"));
         return V;
       },
       "B k B x"},
  };
  for (auto& C : Cases) {
    auto P = Pair(Leaf("t1"), Leaf("t2", "u"));
    Select(*P, C.Items());
    EXPECT_EQ(Shown(*P), C.Shown);
    EXPECT_EQ(P->SelectedCount(), P->VisibleFields().Count());
  }
}

TEST_F(AOLookup, AColumnSelectedTwiceReadsTheSameValueThroughACopiedLink) {
  auto P = Pair(Leaf("t1"), Leaf("t2"));
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Item("", "c"));
  Items.push_back(Item("", "c", "again"));
  Select(*P, std::move(Items));
  ASSERT_EQ(P->FieldCount(), 7);
  EXPECT_EQ(Numbers(P->VisibleFields()), (std::vector<int32_t>{4, 6}));
  P->First();
  EXPECT_EQ(Read(*P, 6), "seven");
  EXPECT_FALSE(P->FieldLink(6).Hidden);
  // The copy is not a second field of that name: references to it still bind.
  TTolvanIntegerArray Found(0, 4, 16);
  EXPECT_EQ(P->FindFields("c", "", false, &Found, false), 1);
  EXPECT_EQ(Numbers(Found), (std::vector<int32_t>{4}));
  auto C = ParsedValue("t2.c");
  C->BindToAO(P.get());
  EXPECT_EQ(std::string(C->Evaluate(true)->GetAsString()), "seven");
}

TEST_F(AOLookup, ComputedItemsBindToTheOperatorAndAreOwnedByIt) {
  auto P = Pair(Leaf("t1"), Leaf("t2"));
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Computed("b * 10 + t1.a", "total"));
  Items.push_back(Computed("c"));
  Items.push_back(Computed("COUNT(*)"));
  Select(*P, std::move(Items), true);
  EXPECT_TRUE(P->DistinctRequested());
  EXPECT_TRUE(P->HasComputedFields());
  EXPECT_FALSE(P->HasAggregate()); // decided by the first computed field
  const TTolvanFieldLink& Total = P->FieldLink(6);
  EXPECT_EQ(Total.Name + "/" + Total.DisplayName + "/" + Total.SourceFieldName,
            "total/total/total");
  EXPECT_TRUE(Total.Computed);
  EXPECT_EQ(Total.SourceOperator, P.get());
  EXPECT_EQ(P->FieldLink(7).Name.substr(0, 4), "Expr");
  EXPECT_EQ(P->GetFieldType(7), tftVarchar);
  EXPECT_EQ(P->GetFieldSize(7), 21);
  EXPECT_TRUE(P->FieldLink(8).HasAggregate);
  P->First();
  EXPECT_EQ(Read(*P, 6), "51");
  EXPECT_EQ(Read(*P, 7), "seven");
}

TEST_F(AOLookup, SelectListErrors) {
  auto P = Pair(Leaf("t1"), Leaf("t2"));
  std::vector<TTolvanSelectListItem> Items;
  Items.push_back(Item("", "nothing"));
  EXPECT_EQ(ErrorOf([&] { Select(*P, std::move(Items)); }),
            "Cannot find field nothing - Native error: 10305");
  std::vector<TTolvanSelectListItem> Star;
  Star.push_back(Item("t9", "*"));
  EXPECT_EQ(ErrorOf([&] { Select(*P, std::move(Star)); }),
            "Cannot find field * - Native error: 10305");
  std::vector<TTolvanSelectListItem> Bad;
  Bad.push_back(Computed("zz + 1"));
  EXPECT_EQ(ErrorOf([&] { Select(*P, std::move(Bad)); }),
            "Field '.zz' not found - Native error: 30197");
}

// --- construction ------------------------------------------------------------------------------

TEST_F(AOLookup, DerivedTablesNeedAnAliasAndAFactory) {
  EXPECT_EQ(ErrorOf([] { TTolvanAO Op(nullptr, nullptr, "SELECT 1", "", "t"); }),
            "Every table in sub-query must have its own alias. Sub-query SQL: \r\nSELECT 1 - "
            "Native error: 11655");
  EXPECT_EQ(ErrorOf([] { TTolvanAO Op(nullptr, nullptr, "SELECT 1", "s", "t"); }),
            "Error - operation is not supported - Native error: 11394");
  std::string Asked;
  TTolvanDerivedTableFactory Old =
      RegisterDerivedTableFactory([&](std::string_view SQL) -> TComponentPtr<TTolvanDataSet> {
        Asked = SQL;
        return TComponentPtr<TTolvanDataSet>(MakeComponent<TTolvanTable>().release());
      });
  {
    TTolvanAO Op(nullptr, nullptr, "SELECT 2", "s", "t");
    EXPECT_NE(Op.ResultDataSet(), nullptr);
  }
  EXPECT_EQ(Asked, "SELECT 2");
  RegisterDerivedTableFactory(std::move(Old));
}

} // namespace
} // namespace tolvan::test
