// The set operations: pairing (by position, CORRESPONDING, BY lists), the column types of the
// pairs, UNION's order, INTERSECT and EXCEPT against a brute-force model, re-runs of a kept tree
// and failures, over stand-in leaves on MEMORY tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

// The leaves an operand may be: a table leaf that hands its source on, one that copies, and the
// stand-in.
enum class TLeafKind { Live, Copied, StandIn };

std::unique_ptr<TTolvanAO> MakeLeaf(std::string_view Table, TLeafKind Kind) {
  if (Kind == TLeafKind::StandIn)
    return std::make_unique<TTestAOLeaf>(Table);
  return std::make_unique<TTolvanAOTable>("", "", Table, "", "", nullptr, true,
                                          Kind == TLeafKind::Live, "");
}

// A leaf over Table showing Columns, in that order.
std::unique_ptr<TTolvanAO> Leaf(std::string_view Table, std::vector<std::string> Columns,
                                TLeafKind Kind = TLeafKind::Live) {
  auto L = MakeLeaf(Table, Kind);
  std::vector<TTolvanSelectListItem> Items;
  for (const std::string& C : Columns)
    Items.emplace_back().FieldName = C;
  L->SetSelectList(Items, int32_t(Items.size()) - 1, false);
  return L;
}

// The same columns of Table read through a cross product with the one-row table "one": an
// operand that is not a table leaf, rows in the table's order.
// Through the join, or through the stand-in pair.
std::unique_ptr<TTolvanAO> NonLeaf(std::string_view Table, std::vector<std::string> Columns,
                                   TLeafKind Kind = TLeafKind::Live, bool Join = true) {
  std::unique_ptr<TTolvanAO> P;
  if (Join)
    P = std::make_unique<TTolvanAOJoin>(MakeLeaf(Table, Kind), MakeLeaf("one", Kind), jtCross,
                                        false, nullptr, nullptr);
  else
    P = std::make_unique<TTestAOPair>(MakeLeaf(Table, Kind), MakeLeaf("one", Kind));
  std::vector<TTolvanSelectListItem> Items;
  for (const std::string& C : Columns)
    Items.emplace_back().FieldName = C;
  P->SetSelectList(Items, int32_t(Items.size()) - 1, false);
  return P;
}

TTolvanFields ByList(std::vector<std::string> Names) {
  TTolvanFields F;
  for (const std::string& N : Names) {
    TTolvanSelectListItem I;
    I.FieldName = N;
    F.Add(std::move(I));
  }
  return F;
}

std::string RunSetOp(std::unique_ptr<TTolvanAO> L, std::unique_ptr<TTolvanAO> R,
                     TTolvanSetOperation Op, bool Distinct, bool Corresponding = false,
                     const TTolvanFields* By = nullptr) {
  std::string Out;
  std::string Error = ErrorOf([&] {
    TTolvanAOUnion U(std::move(L), std::move(R), Op, Corresponding, Distinct, By);
    U.Prepare(true);
    Out = ResultText(U);
  });
  return Error == "no error" ? Out : Error;
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

int32_t TempTables() {
  TTolvanDatabaseData* Temp = FindDatabaseData(false, true, "TEMP", u"");
  return Temp ? Temp->TableCount() : -1;
}

const char* const NoPair = "Empty field list, item count = 0 - Native error: 10339";

TTestCell I(int64_t V) { return V; }
TTestCell S(std::string V) { return V; }
TTestCell F(double V) { return V; }
const TTestCell N{};

class AOUnion : public AOTest {
protected:
  void SetUp() override {
    MakeMemoryTable("one", {{"z"}}, {{I(0)}});
    MakeMemoryTable("t", {{"a"}, {"b", tftVarchar, 4}},
                    {{I(1), S("x")}, {I(2), S("y")}, {I(2), S("y")}, {I(3), N}, {N, S("x")}});
    MakeMemoryTable("u", {{"b", tftVarchar, 4}, {"c", tftSmallInt}},
                    {{S("y"), I(2)}, {S("z"), I(4)}, {N, I(1)}, {S("y"), I(2)}});
  }
};

TEST_F(AOUnion, PairsByPositionUnderTheLeftsNames) {
  // a with c, b with b; UNION ALL is the left's rows, then the right's.
  EXPECT_EQ(RunSetOp(Leaf("t", {"a", "b"}), Leaf("u", {"c", "b"}), tsoUnion, false),
            "a,b: 1,x 2,y 2,y 3,- -,x 2,y 4,z 1,- 2,y");
  EXPECT_EQ(RunSetOp(Leaf("t", {"a", "b"}), Leaf("u", {"c", "b"}), tsoUnion, true),
            "a,b: 1,x 2,y 3,- -,x 4,z 1,-");
  // A left column without a partner drops; so does a right one.
  EXPECT_EQ(RunSetOp(Leaf("t", {"a", "b"}), Leaf("u", {"c"}), tsoUnion, true), "a: 1 2 3 - 4");
  EXPECT_EQ(RunSetOp(Leaf("t", {"a"}), Leaf("u", {"c", "b"}), tsoUnion, true), "a: 1 2 3 - 4");
  // A left operand without rows: the right's rows under the left's names.
  MakeMemoryTable("e", {{"k"}});
  EXPECT_EQ(RunSetOp(Leaf("e", {"k"}), Leaf("u", {"c"}), tsoUnion, false), "k: 2 4 1 2");
  EXPECT_EQ(RunSetOp(Leaf("u", {"c"}), Leaf("e", {"k"}), tsoUnion, false), "c: 2 4 1 2");
  EXPECT_EQ(RunSetOp(Leaf("e", {"k"}), Leaf("e", {"k"}), tsoUnion, false), "k:");
}

TEST_F(AOUnion, CorrespondingAndByLists) {
  const TTolvanFields Empty, ByB = ByList({"B"}), ByX = ByList({"x"}), ByBA = ByList({"b", "a"}),
                             ByMissingThenB = ByList({"x", "b"});
  struct TCase {
    bool Corresponding;
    const TTolvanFields* By;
    const char* Expected;
  } Cases[] = {
      // By name, ignoring case and position: only b is common.
      {true, nullptr, "b: x y - z"},
      {true, &ByB, "b: x y - z"},
      {false, &ByB, "b: x y - z"},
      // A name one side lacks pairs nothing.
      {true, &ByMissingThenB, "b: x y - z"},
      {true, &ByX, NoPair},
      {true, &Empty, "Empty field list, item count = 0 - Native error: 10337"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(RunSetOp(Leaf("t", {"a", "b"}), Leaf("u", {"c", "b"}), tsoUnion, true,
                       C.Corresponding, C.By),
              C.Expected);
  // The BY list orders the output; u has no a, so u2 stands in with a in another place.
  MakeMemoryTable("u2", {{"B", tftVarchar, 4}, {"A"}}, {{S("q"), I(9)}, {S("x"), I(1)}});
  EXPECT_EQ(RunSetOp(Leaf("t", {"a", "b"}), Leaf("u2", {"B", "A"}), tsoUnion, true, true, &ByBA),
            "b,a: x,1 y,2 -,3 x,- q,9");
  EXPECT_EQ(
      RunSetOp(Leaf("t", {"a", "b"}), Leaf("u2", {"B", "A"}), tsoExcept, false, true, nullptr),
      "a,b: 2,y 2,y 3,- -,x");
}

TEST_F(AOUnion, ExceptAndIntersectWithAndWithoutAll) {
  MakeMemoryTable("l", {{"a"}}, {{I(1)}, {I(1)}, {I(2)}, {N}, {I(3)}, {N}, {I(2)}});
  MakeMemoryTable("r", {{"a", tftSmallInt}}, {{I(2)}, {N}, {I(4)}, {I(2)}});
  struct TCase {
    TTolvanSetOperation Op;
    bool Distinct;
    const char* Expected;
  } Cases[] = {
      // Null equals null; with ALL every qualifying left row, in the left's order.
      {tsoExcept, true, "a: 1 3"},
      {tsoExcept, false, "a: 1 1 3"},
      {tsoIntersect, true, "a: 2 -"},
      {tsoIntersect, false, "a: 2 - - 2"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(RunSetOp(Leaf("l", {"a"}), Leaf("r", {"a"}), C.Op, C.Distinct), C.Expected);
  // An empty lookup side: EXCEPT keeps every row, INTERSECT none.
  MakeMemoryTable("e", {{"a"}});
  EXPECT_EQ(RunSetOp(Leaf("l", {"a"}), Leaf("e", {"a"}), tsoExcept, true), "a: 1 2 - 3");
  EXPECT_EQ(RunSetOp(Leaf("l", {"a"}), Leaf("e", {"a"}), tsoIntersect, false), "a:");
  EXPECT_EQ(RunSetOp(Leaf("e", {"a"}), Leaf("l", {"a"}), tsoExcept, false), "a:");
}

TEST_F(AOUnion, IntersectOverANonLeafWalksTheRightAndReadsItsRow) {
  MakeMemoryTable("l", {{"a"}, {"s", tftVarchar, 4}},
                  {{I(3), S("c")}, {I(1), S("a")}, {I(2), S("b")}});
  MakeMemoryTable("r", {{"a", tftSmallInt}, {"s", tftVarchar, 8}},
                  {{I(2), S("b")}, {I(5), S("e")}, {I(3), S("c")}, {I(2), S("b")}});
  {
    TTolvanAOUnion U(NonLeaf("l", {"a", "s"}), Leaf("r", {"a", "s"}), tsoIntersect, false, true,
                     nullptr);
    EXPECT_EQ(U.DrivingOperand(), U.Right());
    EXPECT_EQ(U.LookupOperand(), U.Left());
    U.Prepare(true);
    EXPECT_EQ(ResultText(U), "a,s: 2,b 3,c");
  }
  // An inner join on l.a = k.a as the left operand: the right still drives; EXCEPT walks the
  // join's rows.
  MakeMemoryTable("k", {{"a"}}, {{I(2)}, {I(3)}});
  auto Joined = [] {
    TTolvanFields LF, RF;
    TTolvanSelectListItem A;
    A.TableName = "l";
    A.FieldName = "a";
    LF.Add(A);
    A.TableName = "k";
    RF.Add(A);
    auto J =
        std::make_unique<TTolvanAOJoin>(Leaf("l", {}), Leaf("k", {}), jtInner, false, &LF, &RF);
    std::vector<TTolvanSelectListItem> Items(2);
    Items[0].TableName = "l";
    Items[0].FieldName = "a";
    Items[1].FieldName = "s";
    J->SetSelectList(Items, 1, false);
    return J;
  };
  EXPECT_EQ(RunSetOp(Joined(), Leaf("r", {"a", "s"}), tsoIntersect, true), "a,s: 2,b 3,c");
  EXPECT_EQ(RunSetOp(Joined(), Leaf("r", {"a", "s"}), tsoExcept, true), "a,s:");
  MakeMemoryTable("r2", {{"a"}, {"s", tftVarchar, 4}}, {{I(2), S("b")}});
  EXPECT_EQ(RunSetOp(Joined(), Leaf("r2", {"a", "s"}), tsoExcept, false), "a,s: 3,c");
  // Over a table leaf, or with ALL, the left drives.
  EXPECT_EQ(RunSetOp(Leaf("l", {"a", "s"}), Leaf("r", {"a", "s"}), tsoIntersect, true),
            "a,s: 3,c 2,b");
  EXPECT_EQ(RunSetOp(NonLeaf("l", {"a", "s"}), Leaf("r", {"a", "s"}), tsoIntersect, false),
            "a,s: 3,c 2,b");
}

TEST_F(AOUnion, ColumnTypesHoldBothSidesValues) {
  MakeMemoryTable("fl", {{"f", tftDouble}}, {{F(2.5)}, {F(1)}});
  MakeMemoryTable("in", {{"i"}}, {{I(2)}, {I(1)}, {I(-2147483647)}});
  MakeMemoryTable("sm", {{"s", tftSmallInt}}, {{I(1)}, {I(7)}});
  MakeMemoryTable("tx", {{"v", tftVarchar, 3}}, {{S("abc")}, {S("1")}});
  struct TCase {
    const char *Left, *LeftColumn, *Right, *RightColumn;
    TTolvanSetOperation Op;
    bool Distinct;
    const char* Expected;
  } Cases[] = {
      // FLOAT beside INTEGER stays FLOAT whichever side it is on; 1.0 and 1 are one row.
      {"fl", "f", "in", "i", tsoUnion, true, "f: 2.5 1 2 -2147483647"},
      {"in", "i", "fl", "f", tsoUnion, true, "i: 2 1 -2147483647 2.5"},
      {"in", "i", "sm", "s", tsoUnion, true, "i: 2 1 -2147483647 7"},
      {"sm", "s", "in", "i", tsoUnion, true, "s: 1 7 2 -2147483647"},
      // 2.5 does not find 2, nor 2 find 2.5.
      {"fl", "f", "in", "i", tsoIntersect, true, "f: 1"},
      {"fl", "f", "in", "i", tsoExcept, true, "f: 2.5"},
      {"in", "i", "fl", "f", tsoExcept, false, "i: 2 -2147483647"},
      // A text column beside INTEGER holds an integer's whole text.
      {"tx", "v", "in", "i", tsoUnion, false, "v: abc 1 2 1 -2147483647"},
      {"in", "i", "tx", "v", tsoUnion, true, "i: 2 1 -2147483647 abc"},
      {"in", "i", "tx", "v", tsoIntersect, true, "i: 1"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(
        RunSetOp(Leaf(C.Left, {C.LeftColumn}), Leaf(C.Right, {C.RightColumn}), C.Op, C.Distinct),
        C.Expected)
        << C.Left << " " << C.Right << " " << int(C.Op);
  TTolvanAOUnion U(Leaf("in", {"i"}), Leaf("tx", {"v"}), tsoUnion, false, false, nullptr);
  EXPECT_EQ(U.FieldLink(0).FieldType, tftVarchar);
  EXPECT_GE(U.FieldLink(0).Size, 11);
}

TEST_F(AOUnion, BlobPairsStayInUnionsAndDropFromIntersectAndExcept) {
  MakeMemoryTable("bl", {{"k"}, {"data", tftBLOB}},
                  {{I(1), S("abc")}, {I(2), S("abd")}, {I(1), S("abc")}, {I(3), N}});
  MakeMemoryTable("br", {{"k"}, {"data", tftBLOB}}, {{I(1), S("abc")}, {I(2), S("xyz")}});
  struct TCase {
    TTolvanSetOperation Op;
    bool Distinct;
    const char* Expected;
  } Cases[] = {
      {tsoUnion, false, "k,data: 1,abc 2,abd 1,abc 3,- 1,abc 2,xyz"},
      // Equal bytes are one value.
      {tsoUnion, true, "k,data: 1,abc 2,abd 3,- 2,xyz"},
      {tsoIntersect, true, "k: 1 2"},
      {tsoExcept, false, "k: 3"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(RunSetOp(Leaf("bl", {"k", "data"}), Leaf("br", {"k", "data"}), C.Op, C.Distinct),
              C.Expected);
  // A memo beside text holds both whole.
  MakeMemoryTable("me", {{"m", tftMemo}}, {{S("a long memo text")}, {S("ab")}});
  MakeMemoryTable("tx", {{"v", tftVarchar, 2}}, {{S("ab")}, {S("cd")}});
  EXPECT_EQ(RunSetOp(Leaf("tx", {"v"}), Leaf("me", {"m"}), tsoUnion, true),
            "v: ab cd a long memo text");
  EXPECT_EQ(RunSetOp(Leaf("tx", {"v"}), Leaf("me", {"m"}), tsoIntersect, true), NoPair);
  // Nothing but the BLOB pair: no pair is left.
  EXPECT_EQ(RunSetOp(Leaf("bl", {"data"}), Leaf("br", {"data"}), tsoExcept, true), NoPair);
}

// ORDER BY and TOP over the union name its own columns; a union is an operand like any other.
TEST_F(AOUnion, OrderByTopAndNesting) {
  auto Sorted = [](std::vector<TTolvanSortSpecification> Items, int64_t Top = -1) {
    std::string Out;
    std::string Error = ErrorOf([&] {
      TTolvanAOUnion U(Leaf("t", {"a", "b"}), Leaf("u", {"c", "b"}), tsoUnion, false, false,
                       nullptr);
      U.SetOrderBy(Items, "");
      if (Top >= 0)
        U.SetTop(-1, Top);
      U.Prepare(true);
      Out = ResultText(U);
    });
    return Error == "no error" ? Out : Error;
  };
  TTolvanSortSpecification ByA, ByB, ByC, First;
  ByA.FieldName = "A";
  ByA.Descending = true;
  ByB.FieldName = "b";
  ByC.FieldName = "c";
  First.ColumnNumber = 1;
  EXPECT_EQ(Sorted({ByA, ByB}), "a,b: 4,z 3,- 2,y 2,y 2,y 2,y 1,- 1,x -,x");
  EXPECT_EQ(Sorted({ByB, First}, 4), "a,b: 1,- 3,- -,x 1,x");
  // c is the right operand's name for a; the union's column is a.
  EXPECT_EQ(Sorted({ByC}), "Column 'c' from ORDER BY clause not found - Native error: 30195");
  // (t UNION ALL u) EXCEPT one row of u; then INTERSECT with that union on the left, which is
  // not a table leaf, so the right drives.
  MakeMemoryTable("v", {{"k"}, {"s", tftVarchar, 4}}, {{I(2), S("y")}, {I(1), S("x")}});
  auto Inner = [] {
    return std::make_unique<TTolvanAOUnion>(Leaf("t", {"a", "b"}), Leaf("u", {"c", "b"}), tsoUnion,
                                            false, false, nullptr);
  };
  EXPECT_EQ(RunSetOp(Inner(), Leaf("v", {"k", "s"}), tsoExcept, true), "a,b: 3,- -,x 4,z 1,-");
  EXPECT_EQ(RunSetOp(Inner(), Leaf("v", {"k", "s"}), tsoIntersect, true), "a,b: 2,y 1,x");
}

// A left or right operand that fails to prepare, or a pairing that fails, leaves nothing behind.
TEST_F(AOUnion, FailuresLeaveNothingBehind) {
  const int32_t Before = TempTables();
  ASSERT_GE(Before, 0);
  EXPECT_EQ(RunSetOp(Leaf("t", {"a"}), Leaf("u", {"b"}), tsoUnion, true, true), NoPair);
  auto Failing = [] {
    auto L = Leaf("t", {"a"});
    L->SetFilter(ParsedCondition("10 / (a - 2) > 0"));
    return L;
  };
  EXPECT_NE(RunSetOp(Leaf("t", {"a"}), Failing(), tsoIntersect, true), "no error");
  EXPECT_NE(RunSetOp(Failing(), Leaf("t", {"a"}), tsoUnion, true), "no error");
  // A failure while the union's own rows are written: a DATE column takes a text that is no date.
  MakeMemoryTable("d", {{"d", tftDate}}, {{F(40000)}});
  MakeMemoryTable("w", {{"w", tftVarchar, 8}}, {{S("nodate")}});
  EXPECT_NE(RunSetOp(Leaf("d", {"d"}), Leaf("w", {"w"}), tsoUnion, false), "no error");
  EXPECT_NE(RunSetOp(Leaf("d", {"d"}), Leaf("w", {"w"}), tsoExcept, false), "no error");
  EXPECT_EQ(TempTables(), Before);
  for (const char* Table : {"t", "u", "d", "w"})
    EXPECT_EQ(UseCount(Table), 0) << Table;
  // While the union stands its live operands keep their tables in use.
  {
    TTolvanAOUnion U(Leaf("t", {"a"}), Leaf("u", {"c"}), tsoUnion, false, false, nullptr);
    EXPECT_EQ(UseCount("t"), 1);
    EXPECT_EQ(UseCount("u"), 1);
    U.UnlockSources();
    EXPECT_EQ(UseCount("t"), 0);
  }
}

TEST_F(AOUnion, ARerunOfAKeptTreeSeesNewRowsAndValues) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(1);
  for (TTolvanSetOperation Op : {tsoUnion, tsoIntersect, tsoExcept}) {
    MakeMemoryTable("l", {{"a"}}, {{I(1)}, {I(2)}, {I(3)}});
    MakeMemoryTable("r", {{"a", tftSmallInt}}, {{I(3)}, {I(4)}});
    auto L = Leaf("l", {"a"});
    L->SetFilter(ParsedCondition("a > :p", &Params));
    L->SetKeepForRerun();
    // Under INTERSECT a non-leaf left makes the right drive.
    auto R = Op == tsoIntersect ? NonLeaf("r", {"a"}) : Leaf("r", {"a"});
    R->SetKeepForRerun();
    auto U = std::make_unique<TTolvanAOUnion>(std::move(R), std::move(L), Op, false, true, nullptr);
    U->SetKeepForRerun();
    U->Prepare(true);
    const char* First[] = {"a: 3 4 2", "a: 3", "a: 4"};
    EXPECT_EQ(ResultText(*U), First[Op]);
    ASSERT_EQ(U->ParamNodes().size(), 1u);
    TTolvanVariant Two(tvtInteger);
    Two.SetAsInteger(2);
    U->ParamNodes()[0]->SetValue(Two);
    AppendMemoryRows("r", {{"a", tftSmallInt}}, {{I(1)}, {I(3)}});
    AppendMemoryRows("l", {{"a"}}, {{I(4)}});
    U->ResetSubQueries(nullptr);
    U->Prepare(true);
    const char* Second[] = {"a: 3 4 1", "a: 3 4", "a: 1"};
    EXPECT_EQ(ResultText(*U), Second[Op]);
  }
}

// --- INTERSECT, EXCEPT and UNION against a model -------------------------------------------------

// The kinds of a pair's two columns, and the type the union gives them.
struct TPairKind {
  TTolvanFieldType Left, Right;
  bool Text; // the union's column is text
};
const TPairKind PairKinds[] = {
    {tftInteger, tftSmallInt, false}, {tftSmallInt, tftInteger, false},
    {tftDouble, tftInteger, false},   {tftInteger, tftDouble, false},
    {tftVarchar, tftVarchar, true},   {tftInteger, tftVarchar, true},
};

// A cell of a model row: null, or the value as the union's column holds it (a number's text in
// a text column, a number written with enough digits otherwise).
using TModelCell = std::optional<std::string>;
using TModelRow = std::vector<TModelCell>;

std::string NumberKey(double V) {
  char B[64];
  std::snprintf(B, sizeof B, "%.6f", V);
  return B;
}

TModelCell ModelCell(const TTestCell& C, bool Text) {
  if (const int64_t* N = std::get_if<int64_t>(&C))
    return Text ? std::to_string(*N) : NumberKey(double(*N));
  if (const double* D = std::get_if<double>(&C)) {
    if (!Text)
      return NumberKey(*D);
    char B[32];
    std::snprintf(B, sizeof B, *D == std::floor(*D) ? "%.0f" : "%.1f", *D);
    return std::string(B);
  }
  if (const std::string* S = std::get_if<std::string>(&C))
    return S->empty() ? TModelCell() : TModelCell(*S);
  return {};
}

TTestCell RandomCell(std::mt19937& Rng, TTolvanFieldType Type) {
  if (Rng() % 5 == 0)
    return {};
  switch (Type) {
  case tftDouble:
    return double(int(Rng() % 5)) / 2; // halves
  case tftVarchar: {
    static const char* Texts[] = {"a", "A", "b", "1", "2", "ab"};
    return std::string(Texts[Rng() % 6]);
  }
  default:
    return int64_t(Rng() % 4);
  }
}

std::vector<TModelRow> Distinct(const std::vector<TModelRow>& Rows) {
  std::set<TModelRow> Seen;
  std::vector<TModelRow> Out;
  for (const TModelRow& R : Rows)
    if (Seen.insert(R).second)
      Out.push_back(R);
  return Out;
}

std::vector<TModelRow> EngineRows(TTolvanAO& Op, const std::vector<bool>& Text) {
  TTolvanDataSet& D = *Op.ResultDataSet();
  std::vector<TModelRow> Rows;
  TTolvanVariant V;
  for (Op.First(); !Op.Eof(); Op.Next()) {
    TModelRow Row;
    for (int32_t I = 0; I < int32_t(Text.size()); ++I) {
      D.GetFieldValue(V, I, false, false);
      if (V.IsNull())
        Row.emplace_back();
      else
        Row.emplace_back(Text[size_t(I)] ? std::string(V.GetAsString())
                                         : NumberKey(V.GetAsDouble()));
    }
    Rows.push_back(std::move(Row));
  }
  return Rows;
}

std::string Show(const std::vector<TModelRow>& Rows) {
  std::string S;
  for (const TModelRow& R : Rows) {
    S += " (";
    for (const TModelCell& C : R)
      S += (C ? *C : std::string("-")) + ",";
    S += ")";
  }
  return S;
}

TEST_F(AOUnion, SetOperationsMatchAModelOverRandomOperands) {
  constexpr int32_t TextSize = 6;
  std::mt19937 Rng(37);
  for (int Case = 0; Case < 160; ++Case) {
    // Two or three pairs; the right table holds its columns in another order, which
    // CORRESPONDING undoes, or the select list of a positional pairing does.
    const int Pairs = 2 + int(Rng() % 2);
    std::vector<const TPairKind*> Kinds;
    for (int P = 0; P < Pairs; ++P)
      Kinds.push_back(&PairKinds[Rng() % std::size(PairKinds)]);
    std::vector<int> RightOrder(static_cast<size_t>(Pairs));
    for (int P = 0; P < Pairs; ++P)
      RightOrder[size_t(P)] = P;
    std::shuffle(RightOrder.begin(), RightOrder.end(), Rng);
    std::vector<TTestColumn> LeftCols, RightCols(static_cast<size_t>(Pairs));
    std::vector<std::string> LeftNames, RightNames, PairedRightNames;
    for (int P = 0; P < Pairs; ++P) {
      LeftCols.push_back({"c" + std::to_string(P), Kinds[size_t(P)]->Left,
                          Kinds[size_t(P)]->Left == tftVarchar ? TextSize : 0});
      LeftNames.push_back("c" + std::to_string(P));
    }
    const bool Corresponding = Rng() % 2;
    for (int P = 0; P < Pairs; ++P) {
      const int Pair = RightOrder[size_t(P)];
      const std::string Name = (Corresponding ? "C" : "r") + std::to_string(Pair);
      RightCols[size_t(P)] = {Name, Kinds[size_t(Pair)]->Right,
                              Kinds[size_t(Pair)]->Right == tftVarchar ? TextSize : 0};
      RightNames.push_back(Name);
    }
    for (int P = 0; P < Pairs; ++P)
      PairedRightNames.push_back((Corresponding ? "C" : "r") + std::to_string(P));
    auto MakeRows = [&](const std::vector<TTestColumn>& Cols, size_t Count) {
      std::vector<std::vector<TTestCell>> Rows(Count);
      for (auto& Row : Rows)
        for (const TTestColumn& C : Cols)
          Row.push_back(RandomCell(Rng, C.Type));
      return Rows;
    };
    const auto LeftRows = MakeRows(LeftCols, Rng() % 9);
    const auto RightRows = MakeRows(RightCols, Rng() % 9);
    MakeMemoryTable("ml", LeftCols, LeftRows);
    MakeMemoryTable("mr", RightCols, RightRows);

    // The model's rows of each side, in pair order.
    std::vector<bool> Text;
    for (const TPairKind* K : Kinds)
      Text.push_back(K->Text);
    std::vector<TModelRow> L, R;
    for (const auto& Row : LeftRows) {
      TModelRow M;
      for (int P = 0; P < Pairs; ++P)
        M.push_back(ModelCell(Row[size_t(P)], Text[size_t(P)]));
      L.push_back(M);
    }
    for (const auto& Row : RightRows) {
      TModelRow M(static_cast<size_t>(Pairs));
      for (int P = 0; P < Pairs; ++P)
        M[size_t(RightOrder[size_t(P)])] =
            ModelCell(Row[size_t(P)], Text[size_t(RightOrder[size_t(P)])]);
      R.push_back(M);
    }
    const std::set<TModelRow> LSet(L.begin(), L.end()), RSet(R.begin(), R.end());

    const auto Op = TTolvanSetOperation(Rng() % 3);
    const bool All = Rng() % 2;
    const bool LeftIsLeaf = Rng() % 2;
    // Every order is defined: left then right, or the driving operand's; DISTINCT keeps the
    // first of equal rows.
    std::vector<TModelRow> Expected;
    switch (Op) {
    case tsoUnion:
      Expected = L;
      Expected.insert(Expected.end(), R.begin(), R.end());
      if (!All)
        Expected = Distinct(Expected);
      break;
    case tsoExcept:
      for (const TModelRow& Row : L)
        if (!RSet.count(Row))
          Expected.push_back(Row);
      if (!All)
        Expected = Distinct(Expected);
      break;
    case tsoIntersect:
      if (All || LeftIsLeaf) {
        for (const TModelRow& Row : L)
          if (RSet.count(Row))
            Expected.push_back(Row);
      } else {
        for (const TModelRow& Row : R)
          if (LSet.count(Row))
            Expected.push_back(Row);
      }
      if (!All)
        Expected = Distinct(Expected);
      break;
    }
    const auto LeftKind = TLeafKind(Rng() % 3), RightKind = TLeafKind(Rng() % 3);
    std::unique_ptr<TTolvanAO> Left =
        LeftIsLeaf ? Leaf("ml", LeftNames, LeftKind)
                   : NonLeaf("ml", LeftNames, LeftKind, LeftKind != TLeafKind::StandIn);
    std::unique_ptr<TTolvanAO> Right =
        Leaf("mr", Corresponding ? RightNames : PairedRightNames, RightKind);
    std::vector<TModelRow> Got;
    const std::string Error = ErrorOf([&] {
      TTolvanAOUnion U(std::move(Left), std::move(Right), Op, Corresponding, !All, nullptr);
      U.Prepare(true);
      Got = EngineRows(U, Text);
    });
    ASSERT_EQ(Error, "no error") << "case " << Case;
    ASSERT_EQ(Show(Got), Show(Expected))
        << "case " << Case << " op " << int(Op) << " all " << All << " leaf " << LeftIsLeaf
        << " corresponding " << Corresponding << " kinds " << int(LeftKind) << int(RightKind)
        << "\nleft" << Show(L) << "\nright" << Show(R);
  }
}

} // namespace
} // namespace tolvan::test
