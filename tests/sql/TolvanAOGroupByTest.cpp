// Grouping and aggregation: group keys and their order, the one row of an empty input, COUNT(*)
// without reading rows, the select-list and group-list codes, DISTINCT over groups, re-runs and
// failures, and a brute-force model over random small tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanMemory.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanSQLParams.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanTableData.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

// Select items: a column name, "*", or "=text" for an expression (aliased e0, e1, ...).
std::vector<TTolvanSelectListItem> Items(const std::vector<std::string>& Texts,
                                         const TTolvanSQLParams* Params = nullptr) {
  std::vector<TTolvanSelectListItem> Result;
  for (const std::string& T : Texts) {
    TTolvanSelectListItem& I = Result.emplace_back();
    if (T.rfind('=', 0) == 0) {
      I.IsExpression = true;
      I.Expression = ParsedValue(std::string_view(T).substr(1), Params);
      I.Alias = "e" + std::to_string(Result.size() - 1);
    } else if (T == "*") {
      I.AllFields = true;
    } else if (const size_t Dot = T.find('.'); Dot != std::string::npos) {
      I.TableName = T.substr(0, Dot);
      I.FieldName = T.substr(Dot + 1);
    } else {
      I.FieldName = T;
    }
  }
  return Result;
}

void Select(TTolvanAO& Op, const std::vector<std::string>& Texts, bool Distinct = false) {
  auto List = Items(Texts);
  Op.SetSelectList(List, int32_t(List.size()) - 1, Distinct);
}

// GROUP BY items, each "field" or "table.field".
std::unique_ptr<TTolvanAOGroupBy> GroupBy(std::unique_ptr<TTolvanAO> Child,
                                          const std::vector<std::string>& Names) {
  TTolvanFields Fields;
  for (const std::string& N : Names) {
    TTolvanSelectListItem I;
    const size_t Dot = N.find('.');
    if (Dot != std::string::npos) {
      I.TableName = N.substr(0, Dot);
      I.FieldName = N.substr(Dot + 1);
    } else {
      I.FieldName = N;
    }
    Fields.Add(std::move(I));
  }
  return std::make_unique<TTolvanAOGroupBy>(std::move(Child), Names.empty() ? nullptr : &Fields);
}

// The result's rows, each value by its text ("-" for null).
std::string Rows(TTolvanAO& Op) {
  TTolvanDataSet& D = *Op.ResultDataSet();
  const int32_t Columns = D.Cursor()->VisibleFieldDefs().Count();
  std::string S;
  TTolvanVariant V;
  for (Op.First(); !Op.Eof(); Op.Next()) {
    S += S.empty() ? "" : " ";
    for (int32_t I = 0; I < Columns; ++I) {
      D.GetFieldValue(V, I, false, false);
      S += (I ? "," : "") + (V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
    }
  }
  return S;
}

int32_t TempTables() {
  TTolvanDatabaseData* Temp = FindDatabaseData(false, true, "TEMP", u"");
  return Temp ? Temp->TableCount() : -1;
}

int32_t UseCount(std::string_view Table) {
  TTolvanDatabaseData* Memory = FindDatabaseData(true, false, "MEMORY", u"");
  TTolvanTableData* Data = Memory ? Memory->FindTableData(Table) : nullptr;
  return Data ? Data->UseCount() : -1;
}

// The leaves a test runs over: the stand-in, which copies its rows, or the table leaf.
enum class TLeafKind { StandIn, Table };

std::unique_ptr<TTolvanAO> MakeLeaf(TLeafKind Kind, std::string_view Table) {
  if (Kind == TLeafKind::StandIn)
    return std::make_unique<TTestAOLeaf>(Table);
  return std::make_unique<TTolvanAOTable>("", "", Table, "", "", nullptr, true, false, "");
}

struct TTestIndex {
  std::string Name, Fields;
  TIndexOptions Options = 0;
};

// As MakeMemoryTable, with indexes.
void MakeIndexedMemoryTable(std::string_view Name, const std::vector<TTestColumn>& Columns,
                            const std::vector<TTestIndex>& Indexes,
                            const std::vector<std::vector<TTestCell>>& Rows) {
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName(Name);
  for (const TTestColumn& C : Columns)
    T->AdvFieldDefs().Add(C.Name, C.Type, C.Size, false);
  for (const TTestIndex& I : Indexes)
    T->IndexDefs().Add(I.Name, I.Fields, I.Options);
  T->CreateTable();
  T.reset();
  if (!Rows.empty())
    AppendMemoryRows(Name, Columns, Rows);
}

// A leaf that stays live: its rows are read only when an operator walks it.
class TLiveLeaf : public TTestAOLeaf {
public:
  using TTestAOLeaf::TTestAOLeaf;
  void Execute() override {}
};

const std::vector<TTestColumn> TColumns = {{"id"}, {"a"}, {"s", tftVarchar, 6}, {"x", tftSmallInt}};

// Table t: id, a, s, x. Keys s in insertion order b, B, null, a, b, null, B: groups null(2) a(1)
// b(2) B(2).
const std::vector<std::vector<TTestCell>> TRows = {
    {int64_t(1), int64_t(2), std::string("b"), int64_t(4)},
    {int64_t(2), {}, std::string("B"), int64_t(1)},
    {int64_t(3), int64_t(1), {}, {}},
    {int64_t(4), int64_t(2), std::string("a"), int64_t(-2)},
    {int64_t(5), {}, std::string("b"), int64_t(3)},
    {int64_t(6), int64_t(1), {}, int64_t(5)},
    {int64_t(7), int64_t(3), std::string("B"), {}}};

class AOGroupBy : public AOTest {
protected:
  void SetUp() override {
    MakeMemoryTable("t", TColumns, TRows);
    MakeMemoryTable("e", TColumns);
    MakeMemoryTable("text", {{"s", tftVarchar, 6}}, {{std::string("1")}, {std::string("x1")}});
  }

  std::string Run(std::string_view Table, const std::vector<std::string>& Group,
                  const std::vector<std::string>& Select_, std::string_view Having = {},
                  bool Distinct = false) {
    auto G = GroupBy(std::make_unique<TTestAOLeaf>(Table), Group);
    Select(*G, Select_, Distinct);
    if (!Having.empty())
      G->SetFilter(ParsedCondition(Having));
    G->Prepare(true);
    return Rows(*G);
  }
};

TEST_F(AOGroupBy, GroupsComeInCaseSensitiveKeyOrderWithNullsFirstAsOneGroup) {
  struct TCase {
    std::vector<std::string> Group, Select;
    std::string Having;
    const char* Rows;
  } Cases[] = {
      {{"s"}, {"s", "=COUNT(*)"}, "", "-,2 a,1 b,2 B,2"},
      {{"a"}, {"a", "=COUNT(*)", "=SUM(x)", "=MIN(id)"}, "", "-,2,4,2 1,2,5,3 2,2,2,1 3,1,0,7"},
      // The key's order, not the select list's, orders the groups.
      {{"a", "s"}, {"s", "a", "=COUNT(x)"}, "", "b,-,1 B,-,1 -,1,1 a,2,1 b,2,1 B,3,0"},
      {{"s"}, {"=MAX(x)", "s"}, "COUNT(*) > 1", "5,- 4,b 1,B"},
      {{"t.a"}, {"a"}, "", "- 1 2 3"},
      // A field named twice is one key.
      {{"s", "S"}, {"s"}, "", "- a b B"},
      // One row for the whole input.
      {{},
       {"=COUNT(*)", "=COUNT(a)", "=COUNT(DISTINCT s)", "=SUM(x)", "=AVG(x)"},
       "",
       "7,5,3,11,2"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run("t", C.Group, C.Select, C.Having), C.Rows) << C.Rows;
}

TEST_F(AOGroupBy, ATableLeafWithAnIndexOnTheKeyStaysLive) {
  // The rows of t; a case-insensitive index on s must not serve the case-sensitive order.
  MakeIndexedMemoryTable("ti", TColumns, {{"sn", "s", ixCaseInsensitive}, {"s", "s", 0}}, TRows);
  struct TCase {
    std::vector<std::string> Group, Select;
    std::string Where;
    const char* Rows;
  } Cases[] = {
      {{"s"}, {"s", "=COUNT(*)", "=SUM(x)"}, "", "-,2,5 a,1,-2 b,2,7 B,2,1"},
      {{"s"}, {"s", "=COUNT(*)"}, "a = 2", "a,1 b,1"},
      {{"s"}, {"s", "=MIN(id)"}, "a > 5", "-,-"},
      {{}, {"=COUNT(*)"}, "a = 2 OR x > 2", "4"},
      {{}, {"=COUNT(*)"}, "", "7"},
  };
  for (const TCase& C : Cases) {
    auto Leaf = MakeLeaf(TLeafKind::Table, "ti");
    TTolvanAOTable& L = static_cast<TTolvanAOTable&>(*Leaf);
    if (!C.Where.empty()) {
      auto W = ParsedCondition(C.Where);
      W->BindToAO(&L);
      L.SetFilter(std::move(W));
    }
    auto G = GroupBy(std::move(Leaf), C.Group);
    G->SetKeepForRerun(); // the leaf stays to be asked
    Select(*G, C.Select);
    G->Prepare(true);
    EXPECT_EQ(Rows(*G), C.Rows) << C.Rows;
    EXPECT_TRUE(L.ResultIsSource()) << C.Rows;
    // Again, through the kept tree.
    G->Prepare(true);
    EXPECT_EQ(Rows(*G), C.Rows) << C.Rows;
  }
}

TEST_F(AOGroupBy, GroupsOverJoins) {
  MakeMemoryTable("u", {{"a"}, {"w", tftVarchar, 6}},
                  {{int64_t(2), std::string("p")},
                   {int64_t(1), std::string("q")},
                   {int64_t(2), std::string("r")}});
  auto G = GroupBy(std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t"),
                                                 std::make_unique<TTestAOLeaf>("u")),
                   {"u.a"});
  Select(*G, {"u.a", "=COUNT(*)", "=MAX(t.a)", "=MIN(w)"});
  G->Prepare(true);
  EXPECT_EQ(Rows(*G), "1,7,3,q 2,14,3,p");

  // Over an inner join of table leaves on a: the join's rows, counted or grouped.
  struct TCase {
    std::vector<std::string> Group, Select;
    const char* Rows;
  } Cases[] = {
      {{"w"}, {"w", "=COUNT(*)", "=SUM(x)"}, "p,2,2 q,2,5 r,2,2"},
      {{}, {"=COUNT(*)"}, "6"},
      {{}, {"=COUNT(*)", "=MAX(w)"}, "6,r"},
  };
  for (const TCase& C : Cases) {
    TTolvanFields LeftPair, RightPair;
    TTolvanSelectListItem L, R;
    L.TableName = "t";
    L.FieldName = "a";
    R.TableName = "u";
    R.FieldName = "a";
    LeftPair.Add(std::move(L));
    RightPair.Add(std::move(R));
    auto J = std::make_unique<TTolvanAOJoin>(MakeLeaf(TLeafKind::Table, "t"),
                                             MakeLeaf(TLeafKind::Table, "u"), jtInner, false,
                                             &LeftPair, &RightPair);
    auto Grouped = GroupBy(std::move(J), C.Group);
    Select(*Grouped, C.Select);
    Grouped->Prepare(true);
    EXPECT_EQ(Rows(*Grouped), C.Rows);
  }
}

TEST_F(AOGroupBy, AnEmptyInputGivesOneRowOfInitialAggregates) {
  struct TCase {
    std::vector<std::string> Group, Select;
    std::string Having;
    const char* Rows;
  } Cases[] = {
      {{}, {"=COUNT(*)"}, "", "0"},
      {{}, {"=COUNT(*)+1", "=SUM(x)", "=MIN(s)", "=COUNT(*)+SUM(x)"}, "", "1,-,-,-"},
      {{"a"}, {"a", "=COUNT(*)"}, "", "-,0"},
      {{"a"}, {"a", "=COUNT(*)"}, "COUNT(*) > 0", ""},
      // Without an aggregate there is nothing to show.
      {{"a"}, {"a"}, "", ""},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run("e", C.Group, C.Select, C.Having), C.Rows) << C.Rows;
}

TEST_F(AOGroupBy, CountStarAloneAnswersTheRecordCountWithoutReadingRows) {
  struct TCase {
    std::string Item, Having;
    bool SingleCount;
    const char* Rows;
  } Cases[] = {
      {"=COUNT(*)", "", true, "7"},
      {"=COUNT(*)+1", "", true, "8"},
      {"=COUNT(*)", "COUNT(*) > 6", true, "7"},
      {"=COUNT(*)", "COUNT(*) > 7", true, ""},
      // Another aggregate beside COUNT(*) needs every row, fed once.
      {"=COUNT(*)+SUM(x)", "", false, "18"},
      {"=COUNT(*)", "SUM(x) > 0", false, "7"},
      {"=COUNT(x)", "", false, "5"},
  };
  for (const TCase& C : Cases) {
    auto Leaf = std::make_unique<TLiveLeaf>("t");
    TLiveLeaf& L = *Leaf;
    auto G = GroupBy(std::move(Leaf), {});
    G->SetKeepForRerun(); // the child stays to be asked
    Select(*G, {C.Item});
    if (!C.Having.empty())
      G->SetFilter(ParsedCondition(C.Having));
    EXPECT_EQ(G->SingleCount(), C.SingleCount) << C.Item << " " << C.Having;
    EXPECT_EQ(G->CountStar(), C.Item == "=COUNT(*)");
    G->Prepare(true);
    EXPECT_EQ(Rows(*G), C.Rows) << C.Item << " " << C.Having;
    EXPECT_EQ(L.RowsRead(), C.SingleCount ? 0 : 7) << C.Item << " " << C.Having;
  }
}

TEST_F(AOGroupBy, AReadOfACountOnlyReadsIt) {
  auto G = GroupBy(std::make_unique<TLiveLeaf>("t"), {});
  Select(*G, {"=COUNT(*)"});
  ASSERT_TRUE(G->SingleCount());
  G->LiveFirst();
  TTolvanVariant V;
  for (int Read = 0; Read < 3; ++Read) {
    G->GetFieldValue(V, G->VisibleFields()[0], false, true);
    EXPECT_EQ(V.GetAsLargeInt(), 7);
  }
  // A second run starts the count again.
  G->LiveFirst();
  G->GetFieldValue(V, G->VisibleFields()[0], false, true);
  EXPECT_EQ(V.GetAsLargeInt(), 7);
}

TEST_F(AOGroupBy, Codes) {
  // The group list: a name found nowhere, or found twice.
  EXPECT_EQ(ErrorOf([] {
              GroupBy(std::make_unique<TTestAOLeaf>("t"), {"a", "zz"});
            }),
            "Invalid field for join operation. Table name = '', FieldName = 'zz', i = 1, "
            "FieldExists = 0 - Native error: 10343");
  EXPECT_EQ(ErrorOf([] {
              GroupBy(std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t"),
                                                    std::make_unique<TTestAOLeaf>("e")),
                      {"x"});
            }),
            "Invalid field for join operation. Table name = '', FieldName = 'x', i = 0, "
            "FieldExists = 2 - Native error: 10343");
  EXPECT_EQ(ErrorOf([] {
              GroupBy(std::make_unique<TTestAOPair>(std::make_unique<TTestAOLeaf>("t"),
                                                    std::make_unique<TTestAOLeaf>("e")),
                      {"e.x"});
            }),
            "no error");
  // A plain column that is no group field.
  struct TCase {
    std::vector<std::string> Group, Select;
    const char* Error;
  } Cases[] = {
      {{},
       {"a", "=COUNT(*)"},
       "Field is not included in GROUP BY list. Table name = '', Field name = 'a', FieldNo = "
       "1, Found field name = 'a' - Native error: 10342"},
      {{"a"},
       {"a", "s", "=COUNT(*)"},
       "Field is not included in GROUP BY list. Table name = '', Field name = 's', FieldNo = "
       "2, Found field name = 's' - Native error: 10342"},
      {{"a"},
       {"*"},
       "Field is not included in GROUP BY list. Table name = '', Field name = '*', FieldNo = "
       "0, Found field name = 'id' - Native error: 10342"},
      {{"s", "x", "id", "a"}, {"*", "=COUNT(*)"}, "no error"},
      // A name of an item computed here is no column.
      {{"a"}, {"a", "=COUNT(*)", "e1"}, "no error"},
  };
  for (const TCase& C : Cases) {
    auto G = GroupBy(std::make_unique<TTestAOLeaf>("t"), C.Group);
    EXPECT_EQ(ErrorOf([&] { Select(*G, C.Select); }), C.Error);
  }
}

TEST_F(AOGroupBy, WalkingTheGroupsAllocatesNothingPerRow) {
  // 40 groups of text keys of growing widths; the walk is measured after the child has run, as
  // the engine's allocations, over ten times the rows.
  auto Allocations = [](int Rows) {
    std::vector<std::vector<TTestCell>> Cells;
    for (int R = 0; R < Rows; ++R)
      Cells.push_back(
          {int64_t(R), int64_t(R % 7), std::string(size_t(1 + R % 40), 'k'), int64_t(R % 5)});
    MakeMemoryTable("w", {{"id"}, {"a"}, {"s", tftVarchar, 40}, {"x", tftSmallInt}}, Cells);
    auto G = GroupBy(std::make_unique<TTestAOLeaf>("w"), {"s"});
    Select(*G, {"s", "=COUNT(*)", "=SUM(x)", "=MAX(a)", "=AVG(id)"});
    G->Left()->Prepare(false);
    int64_t Groups = 0;
    TAllocationFailure Count(0);
    for (G->LiveFirst(); !G->LiveEof(); G->LiveNext())
      ++Groups;
    EXPECT_EQ(Groups, 40);
    return Count.Count();
  };
  const int64_t Small = Allocations(400), Large = Allocations(4000);
  EXPECT_EQ(Large, Small);
}

TEST_F(AOGroupBy, DistinctAppliesToTheGroupedRows) {
  EXPECT_EQ(Run("t", {"a", "s"}, {"a"}, "", false), "- - 1 2 2 3");
  EXPECT_EQ(Run("t", {"a", "s"}, {"a"}, "", true), "- 1 2 3");
  EXPECT_EQ(Run("t", {"a", "s"}, {"=COUNT(*)"}, "", true), "1 2");
}

TEST_F(AOGroupBy, AKeptTreeRerunsLikeAFreshOne) {
  TTolvanSQLParams Params;
  TTolvanSQLParam& Param = Params.Add();
  Param.SetName("p");
  Param.Clear(tvtInteger);
  Param.SetAsLargeInt(2);
  auto Build = [&](std::string_view Table) {
    auto G = GroupBy(std::make_unique<TTestAOLeaf>(Table), {"s"});
    auto List = Items({"s", "=COUNT(*)", "=SUM(x)"});
    G->SetSelectList(List, 2, false);
    G->SetFilter(ParsedCondition("COUNT(*) >= :p", &Params));
    return G;
  };
  auto Kept = Build("t");
  Kept->SetKeepForRerun();
  Kept->Prepare(true);
  EXPECT_EQ(Rows(*Kept), "-,2,5 b,2,7 B,2,1");
  ASSERT_EQ(Kept->ParamNodes().size(), 1u);
  TTolvanVariant One(tvtInteger);
  One.SetAsInteger(1);
  Kept->ParamNodes()[0]->SetValue(One);
  Param.SetAsLargeInt(1);
  AppendMemoryRows("t", TColumns, {{int64_t(8), {}, std::string("c"), int64_t(9)}});
  Kept->ResetSubQueries(nullptr);
  Kept->Prepare(true);
  EXPECT_EQ(Rows(*Kept), "-,2,5 a,1,-2 b,2,7 B,2,1 c,1,9");
  auto Fresh = Build("t");
  Fresh->Prepare(true);
  EXPECT_EQ(Rows(*Fresh), Rows(*Kept));

  // Empty, then not: the aggregate-only row does not outlive the empty input.
  auto FromEmpty = Build("e");
  FromEmpty->SetKeepForRerun();
  FromEmpty->Prepare(true);
  EXPECT_EQ(Rows(*FromEmpty), "");
  TTolvanVariant Zero(tvtInteger);
  Zero.SetAsInteger(0);
  FromEmpty->ParamNodes()[0]->SetValue(Zero);
  FromEmpty->Prepare(true);
  EXPECT_EQ(Rows(*FromEmpty), "-,0,-");
  AppendMemoryRows("e", TColumns, {{int64_t(1), {}, std::string("q"), int64_t(2)}});
  FromEmpty->Prepare(true);
  EXPECT_EQ(Rows(*FromEmpty), "q,1,2");
}

TEST_F(AOGroupBy, FailuresLeakNothingAndReleaseTheTables) {
  const int32_t Temp = TempTables(), Uses = UseCount("text");
  ASSERT_GE(Temp, 0);
  ASSERT_GE(Uses, 0);
  for (TLeafKind Leaf : {TLeafKind::StandIn, TLeafKind::Table}) {
    // A feed that fails: SUM over a text that is no number, in a group and over the whole
    // input; also through a kept tree, whose child stays until the tree goes.
    for (int Mode = 0; Mode < 3; ++Mode) {
      {
        auto G = GroupBy(MakeLeaf(Leaf, "text"),
                         Mode ? std::vector<std::string>{"s"} : std::vector<std::string>{});
        if (Mode == 2)
          G->SetKeepForRerun();
        Select(*G, {"=SUM(s)"});
        G->LockSources();
        EXPECT_EQ(ErrorOf([&] { G->Prepare(true); }),
                  "Not numeric argument in numeric operator 'SUM' - Native error: 30132");
        EXPECT_FALSE(G->Materialised());
        // A live table leaf holds its table's use until it goes.
        if (Leaf == TLeafKind::Table && Mode == 0) {
          EXPECT_EQ(UseCount("text"), Uses + 1);
        }
      }
      EXPECT_EQ(TempTables(), Temp) << Mode;
      EXPECT_EQ(UseCount("text"), Uses) << Mode;
    }
    // A construction that fails frees its child.
    EXPECT_NE(ErrorOf([&] { GroupBy(MakeLeaf(Leaf, "text"), {"nope"}); }), "no error");
    EXPECT_EQ(UseCount("text"), Uses);
    EXPECT_EQ(TempTables(), Temp);
  }
}

// --- the model -----------------------------------------------------------------------------------

// A cell of the model: null, a number or a text.
struct TCell {
  enum { Null, Number, Text } Kind = Null;
  double N = 0;
  std::string S;
  static TCell Of(double V) { return {Number, V, {}}; }
  static TCell Of(std::string V) { return {Text, 0, std::move(V)}; }
};

bool SameCell(const TCell& A, const TCell& B) {
  if (A.Kind != B.Kind)
    return false;
  if (A.Kind == TCell::Number)
    return std::fabs(A.N - B.N) <= 1e-9 * std::max(1.0, std::fabs(A.N));
  return A.S == B.S;
}

std::string Show(const TCell& C) {
  if (C.Kind == TCell::Null)
    return "-";
  if (C.Kind == TCell::Text)
    return "'" + C.S + "'";
  std::ostringstream O;
  O << C.N;
  return O.str();
}

std::string Lower(std::string S) {
  for (char& C : S)
    C = char(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

// The engine's text order with case: ignoring case first, then lower before upper case at the
// first place they differ.
int CompareText(const std::string& A, const std::string& B) {
  const std::string LA = Lower(A), LB = Lower(B);
  if (LA != LB)
    return LA < LB ? -1 : 1;
  for (size_t I = 0; I < A.size(); ++I)
    if (A[I] != B[I])
      return std::islower(static_cast<unsigned char>(A[I])) ? -1 : 1;
  return 0;
}

// Nulls first.
int CompareCell(const TCell& A, const TCell& B) {
  if (A.Kind == TCell::Null || B.Kind == TCell::Null)
    return int(B.Kind == TCell::Null) - int(A.Kind == TCell::Null);
  if (A.Kind == TCell::Number)
    return A.N < B.N ? -1 : A.N > B.N ? 1 : 0;
  return CompareText(A.S, B.S);
}

// Columns g INTEGER, k VARCHAR, x SMALLINT, f FLOAT (halves), s VARCHAR.
const std::vector<TTestColumn> MColumns = {
    {"g"}, {"k", tftVarchar, 6}, {"x", tftSmallInt}, {"f", tftDouble}, {"s", tftVarchar, 6}};
enum { CG, CK, CX, CF, CS };

using TModelRow = std::vector<TCell>;

// An aggregate: its SQL text and its value over a group's rows (Empty: the whole input was
// empty, so the aggregates were only reset).
struct TAggregate {
  std::string Text;
  bool FoldCase; // MIN/MAX of a text: compared ignoring case
  TCell (*Value)(const std::vector<const TModelRow*>& Rows);
};

std::vector<TCell> NonNull(const std::vector<const TModelRow*>& Rows, int Column) {
  std::vector<TCell> R;
  for (const TModelRow* Row : Rows)
    if ((*Row)[size_t(Column)].Kind != TCell::Null)
      R.push_back((*Row)[size_t(Column)]);
  return R;
}

template <int Column, bool Distinct> TCell Count(const std::vector<const TModelRow*>& Rows) {
  std::vector<TCell> V = NonNull(Rows, Column);
  if (!Distinct)
    return TCell::Of(double(V.size()));
  std::set<std::string> Seen;
  for (const TCell& C : V)
    Seen.insert(Show(C));
  return TCell::Of(double(Seen.size()));
}

TCell CountStar(const std::vector<const TModelRow*>& Rows) {
  return TCell::Of(double(Rows.size()));
}

// Nulls only sum to 0; an empty input (never fed) to null.
template <int Column, bool Distinct> TCell Sum(const std::vector<const TModelRow*>& Rows) {
  if (Rows.empty())
    return {};
  std::vector<TCell> V = NonNull(Rows, Column);
  std::set<double> Seen;
  double S = 0;
  for (const TCell& C : V)
    if (!Distinct || Seen.insert(C.N).second)
      S += C.N;
  return TCell::Of(S);
}

// Integers divide as integers.
template <int Column> TCell Avg(const std::vector<const TModelRow*>& Rows) {
  std::vector<TCell> V = NonNull(Rows, Column);
  if (V.empty())
    return {};
  double S = 0;
  for (const TCell& C : V)
    S += C.N;
  if (Column == CX)
    return TCell::Of(double(int64_t(S) / int64_t(V.size())));
  return TCell::Of(S / double(V.size()));
}

template <int Column, bool Max> TCell MinMax(const std::vector<const TModelRow*>& Rows) {
  std::vector<TCell> V = NonNull(Rows, Column);
  if (V.empty())
    return {};
  TCell Best = V[0];
  if (Best.Kind == TCell::Text)
    Best.S = Lower(Best.S);
  for (TCell C : V) {
    if (C.Kind == TCell::Text)
      C.S = Lower(C.S);
    if (Max ? CompareCell(C, Best) > 0 : CompareCell(C, Best) < 0)
      Best = C;
  }
  return Best;
}

TCell CountStarPlusOne(const std::vector<const TModelRow*>& Rows) {
  return TCell::Of(double(Rows.size() + 1));
}

TCell CountStarPlusSum(const std::vector<const TModelRow*>& Rows) {
  TCell S = Sum<CX, false>(Rows);
  if (S.Kind == TCell::Null)
    return S;
  return TCell::Of(double(Rows.size()) + S.N);
}

const std::vector<TAggregate>& Aggregates() {
  static const std::vector<TAggregate> List = {
      {"COUNT(*)", false, CountStar},
      {"COUNT(x)", false, Count<CX, false>},
      {"COUNT(k)", false, Count<CK, false>},
      {"COUNT(DISTINCT x)", false, Count<CX, true>},
      {"COUNT(DISTINCT s)", false, Count<CS, true>},
      {"COUNT(DISTINCT f)", false, Count<CF, true>},
      {"SUM(x)", false, Sum<CX, false>},
      {"SUM(f)", false, Sum<CF, false>},
      {"SUM(DISTINCT x)", false, Sum<CX, true>},
      {"AVG(x)", false, Avg<CX>},
      {"AVG(f)", false, Avg<CF>},
      {"MIN(x)", false, MinMax<CX, false>},
      {"MAX(x)", false, MinMax<CX, true>},
      {"MIN(f)", false, MinMax<CF, false>},
      {"MAX(f)", false, MinMax<CF, true>},
      {"MIN(s)", true, MinMax<CS, false>},
      {"MAX(s)", true, MinMax<CS, true>},
      {"MIN(g)", false, MinMax<CG, false>},
      {"COUNT(*)+1", false, CountStarPlusOne},
      {"COUNT(*)+SUM(x)", false, CountStarPlusSum},
  };
  return List;
}

// HAVING conditions and their meaning over a group's rows.
struct THaving {
  std::string Text;
  bool (*Holds)(const std::vector<const TModelRow*>& Rows);
};

const std::vector<THaving>& Havings() {
  static const std::vector<THaving> List = {
      {"", [](const auto&) { return true; }},
      {"COUNT(*) > 1", [](const auto& R) { return R.size() > 1; }},
      {"SUM(x) > 0",
       [](const auto& R) {
         TCell S = Sum<CX, false>(R);
         return S.Kind != TCell::Null && S.N > 0;
       }},
      {"MAX(f) >= 0 OR COUNT(k) = 0",
       [](const auto& R) {
         TCell M = MinMax<CF, true>(R);
         return (M.Kind != TCell::Null && M.N >= 0) || Count<CK, false>(R).N == 0;
       }},
  };
  return List;
}

class TModel {
public:
  // Indexed: the table has indexes on g, on k with and without case, and on x descending.
  TModel(uint32_t Seed, TLeafKind Leaf, bool Indexed)
      : FRandom(Seed), FLeaf(Leaf), FIndexed(Indexed) {}

  void MakeTable() {
    static const char* Texts[] = {"a", "A", "b", "B", "ab", "Ab"};
    FRows.clear();
    std::vector<std::vector<TTestCell>> Cells;
    const int Count = Pick(13);
    for (int R = 0; R < Count; ++R) {
      TModelRow Row(5);
      std::vector<TTestCell> Cell(5);
      auto Maybe = [&] { return Pick(5) != 0; };
      if (Maybe()) {
        const int64_t G = Pick(4);
        Row[CG] = TCell::Of(double(G));
        Cell[CG] = G;
      }
      for (int C : {CK, CS})
        if (Maybe()) {
          const std::string S = Texts[Pick(6)];
          Row[size_t(C)] = TCell::Of(S);
          Cell[size_t(C)] = S;
        }
      if (Maybe()) {
        const int64_t X = Pick(7) - 3;
        Row[CX] = TCell::Of(double(X));
        Cell[CX] = X;
      }
      if (Maybe()) {
        const double F = (Pick(9) - 4) / 2.0;
        Row[CF] = TCell::Of(F);
        Cell[CF] = F;
      }
      FRows.push_back(Row);
      Cells.push_back(Cell);
    }
    if (FIndexed)
      MakeIndexedMemoryTable("m", MColumns,
                             {{"ig", "g", 0},
                              {"ikn", "k", ixCaseInsensitive},
                              {"ik", "k", 0},
                              {"ix", "x", ixDescending}},
                             Cells);
    else
      MakeMemoryTable("m", MColumns, Cells);
  }

  // One query: GROUP BY Group (column numbers), the group columns then Chosen aggregates.
  void Check(const std::vector<int>& Group, const std::vector<int>& Chosen, const THaving& Having) {
    static const char* Names[] = {"g", "k", "x", "f", "s"};
    std::vector<std::string> GroupNames, Select;
    for (int C : Group) {
      GroupNames.push_back(Names[C]);
      Select.push_back(Names[C]);
    }
    for (int A : Chosen)
      Select.push_back("=" + Aggregates()[size_t(A)].Text);
    const std::vector<std::vector<TCell>> Expected = Expect(Group, Chosen, Having);
    std::vector<std::vector<TCell>> Got;
    std::string Error = ErrorOf([&] {
      auto G = GroupBy(MakeLeaf(FLeaf, "m"), GroupNames);
      Select_(*G, Select);
      if (!Having.Text.empty())
        G->SetFilter(ParsedCondition(Having.Text));
      G->Prepare(true);
      Got = Read(*G, Group.size(), Chosen);
    });
    bool Same = Error == "no error" && Got.size() == Expected.size();
    for (size_t R = 0; Same && R < Got.size(); ++R)
      for (size_t C = 0; Same && C < Got[R].size(); ++C)
        Same = SameCell(Got[R][C], Expected[R][C]);
    if (!Same)
      ADD_FAILURE() << Describe(Select, GroupNames, Having.Text) << "\nerror: " << Error
                    << "\nexpected:" << ShowRows(Expected) << "\ngot:     " << ShowRows(Got);
  }

  int Pick(int N) { return int(FRandom() % uint32_t(N)); }

private:
  static void Select_(TTolvanAO& Op, const std::vector<std::string>& Texts) { Select(Op, Texts); }

  std::vector<std::vector<TCell>> Expect(const std::vector<int>& Group,
                                         const std::vector<int>& Chosen,
                                         const THaving& Having) const {
    // Groups in key order; the rows of the whole input, or of an empty one, are one group.
    std::vector<std::vector<const TModelRow*>> Groups;
    std::vector<const TModelRow*> Sorted;
    for (const TModelRow& R : FRows)
      Sorted.push_back(&R);
    auto KeyCompare = [&](const TModelRow* A, const TModelRow* B) {
      for (int C : Group)
        if (int D = CompareCell((*A)[size_t(C)], (*B)[size_t(C)]))
          return D;
      return 0;
    };
    std::stable_sort(Sorted.begin(), Sorted.end(),
                     [&](const TModelRow* A, const TModelRow* B) { return KeyCompare(A, B) < 0; });
    for (const TModelRow* R : Sorted)
      if (Groups.empty() || KeyCompare(Groups.back().front(), R) != 0)
        Groups.push_back({R});
      else
        Groups.back().push_back(R);
    if (Groups.empty())
      Groups.emplace_back();
    std::vector<std::vector<TCell>> Result;
    for (const auto& Rows : Groups) {
      // An empty input makes no row when neither the items nor HAVING hold an aggregate.
      if (Rows.empty() && Chosen.empty() && Having.Text.empty())
        continue;
      if (!Having.Holds(Rows))
        continue;
      std::vector<TCell> Row;
      for (int C : Group)
        Row.push_back(Rows.empty() ? TCell{} : (*Rows.front())[size_t(C)]);
      for (int A : Chosen)
        Row.push_back(Aggregates()[size_t(A)].Value(Rows));
      Result.push_back(Row);
    }
    return Result;
  }

  static std::vector<std::vector<TCell>> Read(TTolvanAO& Op, size_t GroupColumns,
                                              const std::vector<int>& Chosen) {
    TTolvanDataSet& D = *Op.ResultDataSet();
    const int32_t Columns = D.Cursor()->VisibleFieldDefs().Count();
    std::vector<std::vector<TCell>> Result;
    TTolvanVariant V;
    for (Op.First(); !Op.Eof(); Op.Next()) {
      std::vector<TCell> Row;
      for (int32_t I = 0; I < Columns; ++I) {
        D.GetFieldValue(V, I, false, false);
        if (V.IsNull())
          Row.emplace_back();
        else if (V.IsInteger())
          Row.push_back(TCell::Of(double(V.GetAsLargeInt())));
        else if (V.IsNumeric())
          Row.push_back(TCell::Of(V.GetAsDouble()));
        else
          Row.push_back(TCell::Of(std::string(V.GetAsString())));
        const size_t A = size_t(I) - GroupColumns;
        if (size_t(I) >= GroupColumns && Aggregates()[size_t(Chosen[A])].FoldCase &&
            Row.back().Kind == TCell::Text)
          Row.back().S = Lower(Row.back().S);
      }
      Result.push_back(Row);
    }
    return Result;
  }

  static std::string ShowRows(const std::vector<std::vector<TCell>>& Rows) {
    std::string S;
    for (const auto& Row : Rows) {
      S += " (";
      for (size_t I = 0; I < Row.size(); ++I)
        S += (I ? "," : "") + Show(Row[I]);
      S += ")";
    }
    return S;
  }

  std::string Describe(const std::vector<std::string>& Select,
                       const std::vector<std::string>& Group, const std::string& Having) const {
    std::string S = "SELECT";
    for (size_t I = 0; I < Select.size(); ++I)
      S += (I ? ", " : " ") + Select[I];
    S += " FROM m";
    for (size_t I = 0; I < Group.size(); ++I)
      S += (I ? ", " : " GROUP BY ") + Group[I];
    if (!Having.empty())
      S += " HAVING " + Having;
    S += "\ntable (g,k,x,f,s):" + ShowRows(FRows);
    return S;
  }

  std::mt19937 FRandom;
  TLeafKind FLeaf;
  bool FIndexed;
  std::vector<TModelRow> FRows;
};

void RunModel(uint32_t Seed, int Tables, TLeafKind Leaf = TLeafKind::StandIn,
              bool Indexed = false) {
  TModel M(Seed, Leaf, Indexed);
  const std::vector<std::vector<int>> GroupSets = {{}, {CG}, {CK}, {CK, CG}, {CX, CS}};
  const int AggregateCount = int(Aggregates().size());
  for (int T = 0; T < Tables && !::testing::Test::HasFailure(); ++T) {
    M.MakeTable();
    for (const std::vector<int>& Group : GroupSets) {
      std::vector<int> Chosen;
      for (int N = M.Pick(4); N > 0; --N)
        Chosen.push_back(M.Pick(AggregateCount));
      if (Group.empty() && Chosen.empty())
        Chosen.push_back(M.Pick(AggregateCount));
      M.Check(Group, Chosen, Havings()[size_t(M.Pick(int(Havings().size())))]);
    }
  }
}

class AOGroupByModelSlow : public AOTest {};

TEST_F(AOGroupBy, AgreesWithABruteForceModel) {
  RunModel(37, 120);
  RunModel(38, 60, TLeafKind::Table, false);
  RunModel(39, 60, TLeafKind::Table, true);
}

TEST_F(AOGroupByModelSlow, AgreesWithABruteForceModelOnMoreTables) {
  RunModel(3737, 2000);
  RunModel(3738, 1000, TLeafKind::Table, false);
  RunModel(3739, 1000, TLeafKind::Table, true);
}

} // namespace
} // namespace tolvan::test
