// The join operator: construction and its codes, NATURAL, result names, the inner, outer and
// full runs on both probe paths, the match condition against a brute-force model, and what a
// run leaves on the probed cursor.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExpression.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanJoinHash.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

using TItems = std::vector<std::pair<std::string, std::string>>; // table, field

TTolvanFields Fields(const TItems& Items) {
  TTolvanFields F;
  for (const auto& [Table, Field] : Items) {
    TTolvanSelectListItem I;
    I.TableName = Table;
    I.FieldName = Field;
    F.Add(std::move(I));
  }
  return F;
}

void Select(TTolvanAO& Op, const TItems& Items) {
  std::vector<TTolvanSelectListItem> List;
  for (const auto& [Table, Field] : Items) {
    TTolvanSelectListItem& I = List.emplace_back();
    I.TableName = Table;
    I.FieldName = Field;
  }
  Op.SetSelectList(List, int32_t(List.size()) - 1, false);
}

// A leaf over a MEMORY table; with Indexed its copy carries an index on that column.
std::unique_ptr<TTolvanAO> Leaf(std::string_view Table, std::string_view Indexed = {}) {
  auto L = std::make_unique<TTestAOLeaf>(Table);
  if (!Indexed.empty()) {
    TTolvanSortSpecification S;
    S.FieldName = Indexed;
    L->SetOrderBy(std::span(&S, 1), "");
  }
  return L;
}

// A table leaf over a MEMORY table, handing on the table itself.
std::unique_ptr<TTolvanAO> Live(std::string_view Table, std::string_view Filter = {}) {
  auto L = std::make_unique<TTolvanAOTable>("", "", Table, "", "", nullptr, true, true, "");
  if (!Filter.empty())
    L->SetFilter(ParsedCondition(Filter));
  return L;
}

void AddIndex(std::string_view Table, std::string_view Fields, TIndexOptions Options,
              std::string_view DescFields = {}, std::string_view CaseInsFields = {}) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Table);
  T->AddIndex(std::string(Table) + "_" + std::string(Fields), Fields, Options, DescFields,
              CaseInsFields);
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

std::unique_ptr<TTolvanAOJoin> Join(TTolvanJoinType Type, const TItems& LeftItems,
                                    const TItems& RightItems, std::unique_ptr<TTolvanAO> L,
                                    std::unique_ptr<TTolvanAO> R, bool Natural = false) {
  TTolvanFields LF = Fields(LeftItems), RF = Fields(RightItems);
  return std::make_unique<TTolvanAOJoin>(std::move(L), std::move(R), Type, Natural, &LF, &RF);
}

// The result's rows, each its values by text ("-" for null) joined by ",".
std::vector<std::string> Rows(TTolvanAO& Op) {
  TTolvanDataSet& D = *Op.ResultDataSet();
  const int32_t Count = D.Cursor()->VisibleFieldDefs().Count();
  std::vector<std::string> Out;
  TTolvanVariant V;
  for (Op.First(); !Op.Eof(); Op.Next()) {
    std::string S;
    for (int32_t I = 0; I < Count; ++I) {
      D.GetFieldValue(V, I, false, false);
      S += (I ? "," : "") + (V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
    }
    Out.push_back(S);
  }
  return Out;
}

std::vector<std::string> Sorted(std::vector<std::string> V) {
  std::sort(V.begin(), V.end());
  return V;
}

int32_t TempTables() {
  TTolvanDatabaseData* Temp = FindDatabaseData(false, true, "TEMP", u"");
  return Temp ? Temp->TableCount() : -1;
}

std::string Names(TTolvanAO& Op) {
  std::string S;
  for (const AnsiString& N : Op.ResultFieldNames())
    S += (S.empty() ? "" : ",") + N;
  return S;
}

const TItems AllColumns = {{"t", "id"}, {"t", "a"}, {"t", "x"},
                           {"u", "id"}, {"u", "b"}, {"u", "y"}};

// t and u share the column name id (INTEGER in t, SMALLINT in u); a and b are texts with case
// variants; both have nulls and duplicate keys.
class AOJoin : public AOTest {
protected:
  struct TRow {
    std::optional<int> Id;
    std::string Text;
    std::optional<int> Flag;
  };
  std::vector<TRow> T = {
      {1, "p", 1}, {2, "q", 0}, {3, "r", 1}, {std::nullopt, "s", 1}, {2, "Q", 1}};
  std::vector<TRow> U = {
      {2, "P", 1}, {2, "q", 0}, {4, "x", 1}, {1, "p", std::nullopt}, {std::nullopt, "n", 1}};

  static std::vector<std::vector<TTestCell>> Cells(const std::vector<TRow>& Rows) {
    std::vector<std::vector<TTestCell>> Out;
    for (const TRow& R : Rows)
      Out.push_back({R.Id ? TTestCell(int64_t(*R.Id)) : TTestCell(), TTestCell(R.Text),
                     R.Flag ? TTestCell(int64_t(*R.Flag)) : TTestCell()});
    return Out;
  }

  void SetUp() override {
    MakeMemoryTable("t", {{"id"}, {"a", tftVarchar, 6}, {"x"}}, Cells(T));
    MakeMemoryTable("u", {{"id", tftSmallInt}, {"b", tftVarchar, 6}, {"y"}}, Cells(U));
    MakeMemoryTable("empty", {{"id"}, {"c", tftVarchar, 6}});
  }

  static std::string Text(const TRow* R) {
    if (!R)
      return "-,-,-";
    return (R->Id ? std::to_string(*R->Id) : "-") + "," + R->Text + "," +
           (R->Flag ? std::to_string(*R->Flag) : "-");
  }

  // The rows SQL gives for T <Type> JOIN U ON <pairs> AND <On>, over the model.
  using TMatch = std::function<bool(const TRow&, const TRow&)>;
  std::vector<std::string> Expected(TTolvanJoinType Type, const TMatch& On) const {
    std::vector<std::string> Out;
    std::vector<bool> UMatched(U.size(), false);
    for (const TRow& A : T) {
      bool Any = false;
      for (size_t J = 0; J < U.size(); ++J)
        if (On(A, U[J])) {
          Out.push_back(Text(&A) + "," + Text(&U[J]));
          Any = true;
          UMatched[J] = true;
        }
      if (!Any && (Type == jtLeftOuter || Type == jtFullOuter))
        Out.push_back(Text(&A) + "," + Text(nullptr));
    }
    for (size_t J = 0; J < U.size(); ++J)
      if (!UMatched[J] && (Type == jtRightOuter || Type == jtFullOuter))
        Out.push_back(Text(nullptr) + "," + Text(&U[J]));
    return Sorted(Out);
  }
};

bool SameId(const std::optional<int>& A, const std::optional<int>& B) { return A && B && *A == *B; }

// --- construction ------------------------------------------------------------------------------

TEST_F(AOJoin, ConstructionCodes) {
  struct TCase {
    TTolvanJoinType Type;
    TItems Left, Right;
    bool Natural;
    const char* Table2;
    int32_t Code;
    std::string Error;
  } Cases[] = {
      {jtInner,
       {{"t", "id"}, {"t", "a"}},
       {{"u", "id"}},
       false,
       "u",
       10330,
       "Error - different lists length. L1 = 2, L2 = 1"},
      {jtInner,
       {{"t", "nope"}},
       {{"u", "id"}},
       false,
       "u",
       10331,
       "Invalid field for join operation. Table name = 't', FieldName = 'nope', i = 0, "
       "FieldExists = 0"},
      {jtLeftOuter,
       {{"", "id"}},
       {{"u", "id"}},
       false,
       "u",
       10331,
       "Invalid field for join operation. Table name = '', FieldName = 'id', i = 0, "
       "FieldExists = 2"},
      {jtInner,
       {{"t", "id"}, {"t", "a"}},
       {{"u", "id"}, {"t", "b"}},
       false,
       "u",
       10332,
       "Invalid field for join operation. Table name = 't', FieldName = 'b', i = 1, "
       "FieldExists = 0"},
      {jtRightOuter, {}, {}, false, "u", 10333, "Empty field list, item count = 0"},
      {jtFullOuter, {}, {}, true, "empty", 10333, "Empty field list, item count = 0"},
      {jtInner,
       {{"t", "id"}},
       {{"t", "a"}},
       false,
       "u",
       10334,
       "Both join fields are from the same table. Field1 = 'id', Field2 = 'a', No1 = 0, No2 = "
       "1."},
  };
  for (const TCase& C : Cases) {
    MakeMemoryTable("empty", {{"k"}, {"c", tftVarchar, 6}});
    EXPECT_EQ(ErrorOf([&] { Join(C.Type, C.Left, C.Right, Leaf("t"), Leaf(C.Table2), C.Natural); }),
              C.Error + " - Native error: " + std::to_string(C.Code));
  }
  // A cross join takes no pairs, and its lists may differ.
  EXPECT_EQ(ErrorOf([&] { Join(jtCross, {{"t", "id"}}, {}, Leaf("t"), Leaf("u")); }), "no error");
}

TEST_F(AOJoin, PairsAreOrientedLeftFirstAndNamedByTheChildren) {
  auto J =
      Join(jtInner, {{"u", "b"}, {"t", "id"}}, {{"t", "a"}, {"u", "id"}}, Leaf("t"), Leaf("u"));
  ASSERT_EQ(J->LeftJoinFields().Count(), 2);
  EXPECT_EQ(J->LeftJoinFields()[0], 1); // t.a, swapped in
  EXPECT_EQ(J->RightJoinFields()[0], 4);
  EXPECT_EQ(J->LeftJoinFields()[1], 0);
  EXPECT_EQ(J->RightJoinFields()[1], 3);
  EXPECT_EQ(J->LeftJoinNames().Strings(0), "a");
  EXPECT_EQ(J->RightJoinNames().Strings(0), "b");
  EXPECT_EQ(J->RightJoinNames().Strings(1), "id");
  EXPECT_EQ(J->JoinType(), jtInner);
  // The pair fields are visible; the others stay hidden until selected.
  EXPECT_FALSE(J->FieldLink(1).Hidden);
  EXPECT_TRUE(J->FieldLink(2).Hidden);
}

TEST_F(AOJoin, NaturalPairsTheCommonNames) {
  auto J = Join(jtInner, {}, {}, Leaf("t"), Leaf("u"), true);
  ASSERT_EQ(J->LeftJoinFields().Count(), 1);
  EXPECT_EQ(J->LeftJoinFields()[0], 0);
  EXPECT_EQ(J->RightJoinFields()[0], 3);
  EXPECT_FALSE(J->FieldLink(0).Hidden);
  EXPECT_FALSE(J->FieldLink(3).Hidden);
  EXPECT_FALSE(J->Left()->FieldLink(0).Hidden);
  EXPECT_FALSE(J->Right()->FieldLink(0).Hidden);
  Select(*J, AllColumns);
  J->Prepare(true);
  EXPECT_EQ(Sorted(Rows(*J)),
            Expected(jtInner, [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id); }));
}

TEST_F(AOJoin, SharedNamesShowAsIdAndId1UnlessOnlyOneIsSelected) {
  struct TCase {
    TItems Select;
    const char* Names;
  } Cases[] = {
      {{}, "id,a,x,id_1,b,y"},
      {{{"u", "id"}, {"t", "a"}}, "id,a"},
      {{{"t", "id"}, {"u", "id"}}, "id,id_1"},
  };
  for (const TCase& C : Cases) {
    auto J = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
    if (C.Select.empty()) {
      std::vector<TTolvanSelectListItem> Star(1);
      Star[0].AllFields = true;
      J->SetSelectList(Star, 0, false);
    } else {
      Select(*J, C.Select);
    }
    J->Prepare(true);
    EXPECT_EQ(Names(*J), C.Names);
  }
}

// --- runs --------------------------------------------------------------------------------------

TEST_F(AOJoin, LeftJoinKeepsTheUnmatchedRowWithNulls) {
  MakeMemoryTable("t3", {{"id"}, {"a", tftVarchar, 6}},
                  {{int64_t(1), std::string("one")},
                   {int64_t(5), std::string("five")},
                   {int64_t(4), std::string("four")}});
  auto J = Join(jtLeftOuter, {{"t3", "id"}}, {{"u", "id"}}, Leaf("t3"), Leaf("u"));
  Select(*J, {{"t3", "a"}, {"u", "b"}});
  J->Prepare(true);
  // In t3's order; u's duplicates of nothing here.
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"one,p", "five,-", "four,x"}));
  EXPECT_TRUE(J->LeftDrives());
}

TEST_F(AOJoin, OuterJoinsWithDuplicatesOnTheProbedSide) {
  // t drives (fewer or as many rows); u holds id 2 twice.
  auto Left = Join(jtLeftOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  Select(*Left, {{"t", "a"}, {"u", "b"}});
  Left->Prepare(true);
  EXPECT_EQ(Rows(*Left),
            (std::vector<std::string>{"p,p", "q,P", "q,q", "r,-", "s,-", "Q,P", "Q,q"}));

  // FULL: the driving rows in order (matched pairs, or null-extended), then u's rows that matched
  // nothing, in u's order, each once.
  auto Full = Join(jtFullOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  Select(*Full, {{"t", "a"}, {"u", "b"}});
  Full->Prepare(true);
  EXPECT_TRUE(Full->LeftDrives());
  EXPECT_EQ(Rows(*Full), (std::vector<std::string>{"p,p", "q,P", "q,q", "r,-", "s,-", "Q,P", "Q,q",
                                                   "-,x", "-,n"}));
}

TEST_F(AOJoin, RightJoinDrivesFromTheRight) {
  auto J = Join(jtRightOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  Select(*J, {{"t", "a"}, {"u", "b"}});
  J->Prepare(true);
  EXPECT_FALSE(J->LeftDrives());
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"q,P", "Q,P", "q,q", "Q,q", "-,x", "p,p", "-,n"}));
}

TEST_F(AOJoin, InnerJoinOverAnEmptyProbedSideReadsNoFurther) {
  // The empty side has the usable index, so it is probed.
  auto J = Join(jtInner, {{"t", "id"}}, {{"empty", "id"}}, Leaf("t"), Leaf("empty", "id"));
  J->SetKeepForRerun();
  Select(*J, {{"t", "a"}});
  J->Prepare(true);
  EXPECT_TRUE(Rows(*J).empty());
  EXPECT_TRUE(J->LeftDrives());
  EXPECT_EQ(J->LastProbePath(), TTolvanAOJoin::TProbePath::Index);
  EXPECT_FALSE(J->Left()->ResultDataSet()->Eof());
}

TEST_F(AOJoin, TextPairsCompareWithCaseAndNullsMatchNothing) {
  auto J = Join(jtInner, {{"t", "a"}}, {{"u", "b"}}, Leaf("t"), Leaf("u"));
  Select(*J, {{"t", "id"}, {"u", "id"}});
  J->Prepare(true);
  EXPECT_EQ(Sorted(Rows(*J)), (std::vector<std::string>{"1,1", "2,2"}));
}

TEST_F(AOJoin, OrderByIndexIsIgnoredOnAJoin) {
  auto J = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  Select(*J, {{"t", "a"}});
  J->SetOrderBy({}, "no_such_index");
  J->Prepare(true);
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"p", "q", "q", "Q", "Q"}));
}

TEST_F(AOJoin, CrossJoinNestsTheRightInTheLeft) {
  auto J = Join(jtCross, {}, {}, Leaf("t"), Leaf("u"));
  Select(*J, {{"t", "a"}, {"u", "b"}});
  J->Prepare(true);
  const std::vector<std::string> R = Rows(*J);
  ASSERT_EQ(R.size(), T.size() * U.size());
  EXPECT_EQ(std::vector<std::string>(R.begin(), R.begin() + 6),
            (std::vector<std::string>{"p,P", "p,q", "p,x", "p,p", "p,n", "q,P"}));
  auto Empty = Join(jtCross, {}, {}, Leaf("t"), Leaf("empty"));
  Empty->Prepare(true);
  EXPECT_TRUE(Rows(*Empty).empty());
}

TEST_F(AOJoin, TheDrivingSide) {
  MakeMemoryTable("t3", {{"id"}, {"a", tftVarchar, 6}},
                  {{int64_t(1), std::string("one")}, {int64_t(2), std::string("two")}});
  struct TCase {
    TTolvanJoinType Type;
    const char *Left, *Right, *Indexed;
    bool LeftDrives;
  } Cases[] = {
      {jtInner, "t3", "u", "", true},       {jtInner, "u", "t3", "", false},
      {jtFullOuter, "u", "t3", "", false},  {jtInner, "t3", "u", "t3", false},
      {jtInner, "u", "t3", "u", false},     {jtLeftOuter, "u", "t3", "", true},
      {jtRightOuter, "t3", "u", "", false}, {jtRightOuter, "t3", "u", "u", false},
  };
  for (const TCase& C : Cases) {
    auto Side = [&](const char* Table) {
      return Leaf(Table, std::string_view(C.Indexed) == Table ? "id" : "");
    };
    auto J = Join(C.Type, {{C.Left, "id"}}, {{C.Right, "id"}}, Side(C.Left), Side(C.Right));
    J->Prepare(true);
    EXPECT_EQ(J->LeftDrives(), C.LeftDrives) << C.Type << " " << C.Left << " " << C.Indexed;
  }
}

// The match condition (the ON remainder) decides with the pairs which rows match; the WHERE filter
// is tested on the produced rows. Checked against the model for every kind, on both probe paths.
TEST_F(AOJoin, MatchConditionAgainstTheModel) {
  struct TCondition {
    const char* On;
    bool TwoPairs;
    TMatch Model;
  } Conditions[] = {
      {"", false, [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id); }},
      {"t.x = 1", false,
       [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id) && A.Flag == 1; }},
      {"u.y = 1", false,
       [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id) && B.Flag == 1; }},
      {"t.x = u.y", false,
       [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id) && SameId(A.Flag, B.Flag); }},
      {"t.x = 1 AND u.y <> 0 AND t.a <> 'z'", false,
       [](const TRow& A, const TRow& B) {
         // "<>" is true against a null.
         return SameId(A.Id, B.Id) && A.Flag == 1 && (!B.Flag || *B.Flag != 0);
       }},
      {"", true,
       [](const TRow& A, const TRow& B) { return SameId(A.Id, B.Id) && A.Text == B.Text; }},
      {"t.x = 0", true,
       [](const TRow& A, const TRow& B) {
         return SameId(A.Id, B.Id) && A.Text == B.Text && A.Flag == 0;
       }},
  };
  const TTolvanJoinType Kinds[] = {jtInner, jtLeftOuter, jtRightOuter, jtFullOuter};
  using P = TTolvanAOJoin::TProbePath;
  for (const TCondition& C : Conditions)
    for (TTolvanJoinType Kind : Kinds)
      for (bool Indexed : {false, true}) {
        SCOPED_TRACE(std::string(C.On) + " kind " + std::to_string(Kind) +
                     (Indexed ? " indexed" : "") + (C.TwoPairs ? " two pairs" : ""));
        TItems L = {{"t", "id"}}, R = {{"u", "id"}};
        if (C.TwoPairs) {
          L.push_back({"t", "a"});
          R.push_back({"u", "b"});
        }
        // Only t's copy is indexed (on id, INTEGER): probed there, the index serves the
        // SMALLINT values of u exactly.
        auto J = Join(Kind, L, R, Leaf("t", Indexed ? "id" : ""), Leaf("u"));
        if (*C.On)
          J->SetMatchCondition(ParsedCondition(C.On));
        Select(*J, AllColumns);
        J->Prepare(true);
        EXPECT_EQ(Sorted(Rows(*J)), Expected(Kind, C.Model));
        const bool TProbed = !J->LeftDrives();
        EXPECT_EQ(J->LastProbePath(), Indexed && TProbed ? P::Index : P::Hash);
        if (Indexed && Kind != jtLeftOuter) {
          EXPECT_TRUE(TProbed);
        }
      }
}

TEST_F(AOJoin, WhereFilterTestsTheProducedRows) {
  auto J = Join(jtLeftOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  J->SetMatchCondition(ParsedCondition("u.y = 1"));
  J->SetFilter(ParsedCondition("t.x = 1"));
  Select(*J, {{"t", "a"}, {"u", "b"}});
  J->Prepare(true);
  // p's partner fails the match condition: p is null-extended, not dropped; q fails WHERE.
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"p,-", "r,-", "s,-", "Q,P"}));
}

TEST_F(AOJoin, AChainOfJoinsWithTheConditionOnAnInnerJoinsHiddenColumn) {
  MakeMemoryTable("v", {{"id"}, {"c", tftVarchar, 6}},
                  {{int64_t(2), std::string("v2")},
                   {int64_t(1), std::string("v1")},
                   {int64_t(2), std::string("w2")}});
  auto Inner = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  auto J = Join(jtLeftOuter, {{"t", "id"}}, {{"v", "id"}}, std::move(Inner), Leaf("v"));
  // u.y is read by nothing else: the inner join must still carry it.
  J->SetMatchCondition(ParsedCondition("u.y = 1"));
  Select(*J, {{"t", "a"}, {"u", "b"}, {"v", "c"}});
  J->Prepare(true);
  EXPECT_EQ(Sorted(Rows(*J)), (std::vector<std::string>{"Q,P,v2", "Q,P,w2", "Q,q,-", "p,p,-",
                                                        "q,P,v2", "q,P,w2", "q,q,-"}));
}

TEST_F(AOJoin, AProbeLeavesTheProbedCursorAsItWas) {
  auto J = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Leaf("t", "id"), Leaf("u"));
  J->SetKeepForRerun();
  Select(*J, {{"t", "a"}, {"u", "b"}});
  J->Prepare(true);
  TTolvanCursor* Probed = J->Left()->ResultDataSet()->Cursor();
  EXPECT_EQ(J->LastProbePath(), TTolvanAOJoin::TProbePath::Index);
  EXPECT_EQ(Probed->ProbeFilter(), nullptr);
  EXPECT_EQ(Probed->Filter(), nullptr);
  EXPECT_EQ(Probed->ExternalFilter(), nullptr);
  // A second run over the kept tree gives the same rows.
  const std::vector<std::string> First = Sorted(Rows(*J));
  J->Prepare(true);
  EXPECT_EQ(Sorted(Rows(*J)), First);
  EXPECT_EQ(J->Left()->ResultDataSet()->Cursor()->ProbeFilter(), nullptr);
}

TEST_F(AOJoin, AFailingRunEndsItsProbe) {
  const int32_t Before = TempTables();
  for (bool Indexed : {false, true}) {
    auto J = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Leaf("t", Indexed ? "id" : ""), Leaf("u"));
    J->SetKeepForRerun();
    // Fails on the first candidate whose y is 0.
    J->SetMatchCondition(ParsedCondition("1 / u.y = 1"));
    Select(*J, AllColumns);
    EXPECT_NE(ErrorOf([&] { J->Prepare(true); }), "no error");
    EXPECT_FALSE(J->Materialised());
    for (TTolvanAO* Child : {J->Left(), J->Right()})
      EXPECT_EQ(Child->ResultDataSet()->Cursor()->ProbeFilter(), nullptr);
  }
  EXPECT_EQ(TempTables(), Before);
}

TEST_F(AOJoin, AKeptJoinRerunsWithNewValuesInItsMatchCondition) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(1);
  auto Build = [&] {
    auto J = Join(jtLeftOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
    J->SetMatchCondition(ParsedCondition("u.y = :p", &Params));
    Select(*J, {{"t", "a"}, {"u", "b"}});
    return J;
  };
  auto Kept = Build();
  Kept->SetKeepForRerun();
  Kept->Prepare(true);
  EXPECT_EQ(Rows(*Kept), (std::vector<std::string>{"p,-", "q,P", "r,-", "s,-", "Q,P"}));
  ASSERT_EQ(Kept->ParamNodes().size(), 1u);
  TTolvanVariant Zero(tvtInteger);
  Zero.SetAsInteger(0);
  Kept->ParamNodes()[0]->SetValue(Zero);
  Param.SetAsLargeInt(0);
  Kept->Prepare(true);
  auto Fresh = Build();
  Fresh->Prepare(true);
  EXPECT_EQ(Rows(*Kept), Rows(*Fresh));
  EXPECT_EQ(Rows(*Fresh), (std::vector<std::string>{"p,-", "q,q", "r,-", "s,-", "Q,q"}));
}

TEST_F(AOJoin, AKeptJoinRerunsTheSubQueriesOfItsMatchCondition) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  auto Bound = [&](int32_t Value) {
    Services.ClearSubQueryRows("bound");
    TTolvanVariant V(tvtInteger);
    V.SetAsInteger(Value);
    Services.AddSubQueryRow("bound", V);
  };
  Bound(1);
  auto J = Join(jtLeftOuter, {{"t", "id"}}, {{"u", "id"}}, Leaf("t"), Leaf("u"));
  // u.y = (sub-query)
  J->SetMatchCondition(
      TTolvanExpression::CreateWithRoot(std::make_unique<TTolvanExprNodeComparison>(
          eoEqual, std::make_unique<TTolvanExprNodeField>(nullptr, "y", "u"),
          std::make_unique<TTolvanExprNodeSubQuery>("bound", nullptr, true, "db", "s", false,
                                                    nullptr),
          true, false, false)));
  Select(*J, {{"t", "a"}, {"u", "b"}});
  J->SetKeepForRerun();
  J->Prepare(true);
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"p,-", "q,P", "r,-", "s,-", "Q,P"}));
  Bound(0);
  J->ResetSubQueries(nullptr);
  J->Prepare(true);
  EXPECT_EQ(Rows(*J), (std::vector<std::string>{"p,-", "q,q", "r,-", "s,-", "Q,q"}));
}

// --- joins of table leaves -----------------------------------------------------------------------

// Over live tables the probed side is answered by its index when one serves the pair exactly,
// else by the hash; both give the model's rows.
TEST_F(AOJoin, LiveLeavesOnEitherProbePath) {
  using P = TTolvanAOJoin::TProbePath;
  struct TCase {
    const char* Table;
    const char* Fields;
    TIndexOptions Options;
    const char* CaseIns;
    bool TwoPairs;
    TTolvanJoinType Kind;
    P Path;
  } Cases[] = {
      {"", "", 0, "", false, jtInner, P::Hash},
      {"t", "id", 0, "", false, jtInner, P::Index},
      {"t", "id", ixDescending, "", false, jtFullOuter, P::Index},
      {"t", "id", 0, "", false, jtRightOuter, P::Index},
      {"t", "id", 0, "", false, jtLeftOuter, P::Hash},
      // The INTEGER values of t do not all fit u's SMALLINT column: hashed.
      {"u", "id", 0, "", false, jtLeftOuter, P::Hash},
      {"t", "a", 0, "", true, jtRightOuter, P::Index},
      {"t", "a", ixCaseInsensitive, "", true, jtRightOuter, P::Hash},
      {"t", "a;id", 0, "a", true, jtFullOuter, P::Hash},
      {"t", "id;a", 0, "a", true, jtFullOuter, P::Index},
  };
  const std::pair<const char*, TMatch> Conditions[] = {
      {"", nullptr},
      {"t.x = u.y", [](const TRow& A, const TRow& B) { return SameId(A.Flag, B.Flag); }},
  };
  for (const TCase& C : Cases)
    for (const auto& [On, Extra] : Conditions) {
      SCOPED_TRACE(std::string(C.Table) + "(" + C.Fields + ") kind " + std::to_string(C.Kind) +
                   " on " + On);
      SetUp();
      if (*C.Table)
        AddIndex(C.Table, C.Fields, C.Options, "", C.CaseIns);
      TItems L = {{"t", "id"}}, R = {{"u", "id"}};
      if (C.TwoPairs) {
        L.push_back({"t", "a"});
        R.push_back({"u", "b"});
      }
      auto J = Join(C.Kind, L, R, Live("t"), Live("u"));
      if (*On)
        J->SetMatchCondition(ParsedCondition(On));
      Select(*J, AllColumns);
      J->Prepare(true);
      const bool Two = C.TwoPairs;
      const TMatch& More = Extra;
      EXPECT_EQ(Sorted(Rows(*J)), Expected(C.Kind, [&](const TRow& A, const TRow& B) {
                  return SameId(A.Id, B.Id) && (!Two || A.Text == B.Text) && (!More || More(A, B));
                }));
      EXPECT_EQ(J->LastProbePath(), C.Path);
    }
}

// Pairs of differing types compare in their common type (INTEGER 2 = FLOAT 2.0, 0 = -0.0, not
// 2.5); a driving value the probed column cannot hold exactly (a FLOAT, a longer text) takes the
// hash path, which compares the same way.
TEST_F(AOJoin, PairsOfDifferingTypes) {
  using P = TTolvanAOJoin::TProbePath;
  struct TCase {
    const char *Table, *Index;
    bool Text;
    P Path;
  } Cases[] = {
      {"", "", false, P::Hash}, {"t2", "i", false, P::Hash}, {"f", "d", false, P::Index},
      {"", "", true, P::Hash},  {"t2", "s", true, P::Hash},  {"f", "w", true, P::Index},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::string(C.Table) + "." + C.Index);
    MakeMemoryTable("t2", {{"i"}, {"s", tftVarchar, 3}},
                    {{int64_t(2), std::string("abc")},
                     {int64_t(0), std::string("ab")},
                     {int64_t(3), std::string("x")}});
    MakeMemoryTable("f", {{"d", tftDouble}, {"w", tftVarchar, 8}},
                    {{2.0, std::string("abc")},
                     {2.5, std::string("abcd")},
                     {-0.0, std::string("ab")},
                     {TTestCell(), std::string("x")}});
    if (*C.Table)
      AddIndex(C.Table, C.Index, 0);
    auto J = C.Text ? Join(jtInner, {{"t2", "s"}}, {{"f", "w"}}, Live("t2"), Live("f"))
                    : Join(jtInner, {{"t2", "i"}}, {{"f", "d"}}, Live("t2"), Live("f"));
    Select(*J, {{"t2", "i"}, {"t2", "s"}, {"f", "w"}});
    J->Prepare(true);
    EXPECT_EQ(Sorted(Rows(*J)), C.Text ? Sorted({"2,abc,abc", "0,ab,ab", "3,x,x"})
                                       : Sorted({"2,abc,abc", "0,ab,ab"}));
    EXPECT_EQ(J->LastProbePath(), C.Path);
  }
}

// Conditions pushed into the leaves become their tables' external filters; a full join's second
// phase walks the probed table under its filter and without the probe.
TEST_F(AOJoin, FullJoinOverLeavesWithPushedConditions) {
  for (bool Indexed : {false, true}) {
    SCOPED_TRACE(Indexed ? "index" : "hash");
    SetUp();
    if (Indexed)
      AddIndex("u", "y", 0);
    // The index on u.y does not serve the pair: a pair on y makes it serve.
    auto J =
        Join(jtFullOuter, {{"t", "x"}}, {{"u", "y"}}, Live("t", "id <> 3"), Live("u", "b <> 'x'"));
    J->SetKeepForRerun();
    Select(*J, {{"t", "a"}, {"u", "b"}});
    J->LockSources();
    J->Prepare(true);
    J->UnlockSources();
    EXPECT_EQ(J->LastProbePath(),
              Indexed ? TTolvanAOJoin::TProbePath::Index : TTolvanAOJoin::TProbePath::Hash);
    // t without id 3: p(1) q(0) s(1) Q(1); u without x: P(1) q(0) p(-) n(1).
    EXPECT_EQ(Sorted(Rows(*J)), Sorted({"p,P", "p,n", "q,q", "s,P", "s,n", "Q,P", "Q,n", "-,p"}));
    for (TTolvanAO* Child : {J->Left(), J->Right()}) {
      TTolvanCursor* C = Child->ResultDataSet()->Cursor();
      EXPECT_EQ(C->ProbeFilter(), nullptr);
      EXPECT_NE(C->ExternalFilter(), nullptr);
    }
  }
  EXPECT_EQ(UseCount("t"), 0);
  EXPECT_EQ(UseCount("u"), 0);
}

// A join that looks at the probed table's cursor after every step of its run.
class TWatchedJoin : public TTolvanAOJoin {
public:
  using TTolvanAOJoin::TTolvanAOJoin;
  TTolvanCursor* Probed = nullptr;
  TTolvanExpression* External = nullptr;
  int32_t StepsInProbe = 0;
  int32_t Changed = 0;

  void LiveNext() override {
    TTolvanAOJoin::LiveNext();
    if (!Probed)
      return;
    if (Probed->ExternalFilter() != External || Probed->Filter())
      ++Changed;
    if (TTolvanExpression* Slot = Probed->ProbeFilter()) {
      ++StepsInProbe;
      // Clearing the dataset's filter leaves the join's probe alone.
      Probed->ClearFilter();
      if (Probed->ProbeFilter() != Slot)
        ++Changed;
    }
  }
};

TEST_F(AOJoin, TheProbedCursorKeepsItsFiltersAndClearFilterLeavesTheProbe) {
  AddIndex("t", "id", 0);
  TTolvanFields L = Fields({{"t", "id"}}), R = Fields({{"u", "id"}});
  TWatchedJoin J(Live("t", "id <> 3"), Live("u"), jtRightOuter, false, &L, &R);
  J.SetKeepForRerun();
  Select(J, {{"t", "a"}, {"u", "b"}});
  // The leaves hand their conditions to their cursors when the join prepares them; the watch
  // starts with the first step of the join's own run.
  J.Prepare(true);
  J.Probed = J.Left()->ResultDataSet()->Cursor();
  J.External = J.Probed->ExternalFilter();
  ASSERT_NE(J.External, nullptr);
  EXPECT_EQ(J.LastProbePath(), TTolvanAOJoin::TProbePath::Index);
  J.Prepare(true);
  EXPECT_GT(J.StepsInProbe, 0);
  EXPECT_EQ(J.Changed, 0);
  EXPECT_EQ(J.Probed->ProbeFilter(), nullptr);
  EXPECT_EQ(Sorted(Rows(J)), Sorted({"q,P", "Q,P", "q,q", "Q,q", "-,x", "p,p", "-,n"}));
}

TEST_F(AOJoin, AFailingRunOverLeavesRestoresUseCounts) {
  const int32_t Before = TempTables();
  for (bool Indexed : {false, true}) {
    SetUp();
    if (Indexed)
      AddIndex("t", "id", 0);
    auto J = Join(jtInner, {{"t", "id"}}, {{"u", "id"}}, Live("t"), Live("u"));
    J->SetMatchCondition(ParsedCondition("1 / u.y = 1"));
    Select(*J, AllColumns);
    J->LockSources();
    EXPECT_EQ(UseCount("t"), 1);
    EXPECT_NE(ErrorOf([&] { J->Prepare(true); }), "no error");
    for (TTolvanAO* Child : {J->Left(), J->Right()})
      EXPECT_EQ(Child->ResultDataSet()->Cursor()->ProbeFilter(), nullptr);
    J->UnlockSources();
    EXPECT_EQ(UseCount("t"), 0);
    EXPECT_EQ(UseCount("u"), 0);
  }
  EXPECT_EQ(TempTables(), Before);
}

// The hash structures against standard containers; every id of the table's groups shares few
// hashes, so groups grow long and the slots move while they do.
TEST(JoinHash, GroupsAndMatchedIdsFollowTheirModels) {
  TTolvanJoinHashTable Table;
  TTolvanRecordIDSet Set;
  for (int Round = 0; Round < 2; ++Round) {
    // A second round reuses the storage of the first.
    Table.Clear(Round == 0 ? 0 : 10);
    Set.Clear(0);
    std::map<uint64_t, std::vector<int32_t>> Groups;
    std::set<std::pair<int32_t, uint16_t>> Ids;
    for (int32_t I = 0; I < 5000; ++I) {
      const uint64_t Hash = uint64_t(I % 97) * 0x100000001ull + uint64_t(Round);
      Table.Add(Hash, TTolvanRecordID{I, uint16_t(I % 7)});
      Groups[Hash].push_back(I);
      const TTolvanRecordID Id{I % 1300 - 600, uint16_t(I % 3)};
      EXPECT_EQ(Set.Insert(Id), Ids.insert({Id.PageNo, Id.PageItemNo}).second);
    }
    EXPECT_EQ(Table.Count(), 5000);
    for (const auto& [Hash, Members] : Groups) {
      std::vector<int32_t> Seen;
      for (int32_t E = Table.Find(Hash); E >= 0; E = Table.Next(E))
        Seen.push_back(Table.ID(E).PageNo);
      EXPECT_EQ(Seen, Members);
    }
    EXPECT_EQ(Table.Find(12345), -1);
    EXPECT_EQ(Set.Count(), int64_t(Ids.size()));
    for (int32_t P = -700; P < 800; ++P)
      for (uint16_t Item = 0; Item < 4; ++Item)
        EXPECT_EQ(Set.Contains(TTolvanRecordID{P, Item}), Ids.count({P, Item}) == 1);
  }
}

} // namespace
} // namespace tolvan::test
