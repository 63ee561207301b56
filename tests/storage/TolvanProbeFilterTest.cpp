// The cursor's probe filter: a borrowed expression searched after the external filter, whose
// constants a join changes between probes. Checked against a brute-force model over random small
// tables, with and without an index on the probed column.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "schema/expr/TolvanExprNodes.h"
#include "schema/expr/TolvanExpression.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int32_t IDField = 0;
constexpr int32_t KField = 1;
constexpr int32_t SField = 2;

struct TRow {
  int32_t ID;
  std::optional<int32_t> K;
  std::optional<std::string> S; // an empty text is null, so never empty
};

// The index on the probed column: none, or one on K or S in either direction, or S ignoring case.
struct TIndexChoice {
  const char* Name;
  const char* Column; // nullptr: no index
  bool Descending;
  bool CaseInsensitive;
};
const TIndexChoice IndexChoices[] = {
    {"none", nullptr, false, false},    {"K ascending", "K", false, false},
    {"K descending", "K", true, false}, {"S ascending", "S", false, false},
    {"S descending", "S", true, false}, {"S ignoring case", "S", false, true},
};

const char* const Texts[] = {"a", "A", "ab", "AB", "aB", "b"};

std::vector<TRow> RandomRows(std::mt19937& Random) {
  std::vector<TRow> Rows;
  const int32_t Count = int32_t(Random() % 13);
  for (int32_t I = 1; I <= Count; ++I) {
    TRow Row{I, {}, {}};
    if (Random() % 5 != 0)
      Row.K = int32_t(Random() % 4);
    if (Random() % 5 != 0)
      Row.S = Texts[Random() % std::size(Texts)];
    Rows.push_back(Row);
  }
  return Rows;
}

class ProbeFilter : public ::testing::Test {
protected:
  // A table of the rows under a fresh name, with the chosen index, and a cursor on it.
  std::unique_ptr<TOpenCursor> Table(const std::vector<TRow>& Rows, const TIndexChoice& Index) {
    auto C = std::make_unique<TOpenCursor>(*Session, "P" + std::to_string(++FTables));
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "K", tftInteger);
    AddField(Fields, "S", tftVarchar, 6);
    TTolvanIndexDefs Indexes;
    if (Index.Column) {
      TTolvanIndexDef& Def = AddIndexDef(Indexes, "IX", {Index.Column});
      Def.Columns(0).SetDescending(Index.Descending);
      Def.Columns(0).SetCaseInsensitive(Index.CaseInsensitive);
    }
    C->Open(&Fields, &Indexes);
    for (const TRow& Row : Rows) {
      C->NewRecord();
      C->SetInteger(IDField, Row.ID);
      if (Row.K)
        C->SetInteger(KField, *Row.K);
      if (Row.S)
        C->SetString(SField, *Row.S);
      C->Cursor.PostRecord(true);
      EXPECT_EQ(C->Cursor.LastErrorCode(), 0) << C->Cursor.LastErrorText();
    }
    return C;
  }

  static std::unique_ptr<TTolvanExpression> Parse(TTolvanCursor& Cursor, const char* Text) {
    auto E = std::make_unique<TTolvanExpression>();
    E->ParseFilter(&Cursor, Text, false, false);
    return E;
  }

  // The constant of a comparison "column = constant", which a prober changes between probes.
  static TTolvanExprNodeConst& ConstantOf(TTolvanExpression& E) {
    TTolvanExprNode* Root = E.Root();
    for (int32_t I = 0; I < Root->ChildCount(); ++I)
      if (Root->Child(I)->Kind() == enkConst)
        return *static_cast<TTolvanExprNodeConst*>(Root->Child(I));
    throw std::logic_error("no constant");
  }

  TLocalStorage Storage;
  std::unique_ptr<TTolvanLocalSession> Session = TLocalStorage::Connected("MEMORY");

private:
  int32_t FTables = 0;
};

std::vector<int32_t> Sorted(std::vector<int32_t> IDs) {
  std::sort(IDs.begin(), IDs.end());
  return IDs;
}

// Every probe value on K and S, over random tables and every index choice, walked in store order
// and in the index's order, with an external filter or without.
TEST_F(ProbeFilter, SelectsExactlyTheModelsRowsAndLeavesTheCursorAsItWas) {
  std::mt19937 Random(37);
  for (int32_t Round = 0; Round < 12; ++Round) {
    const std::vector<TRow> Rows = RandomRows(Random);
    for (const TIndexChoice& Index : IndexChoices)
      for (const bool External : {false, true})
        for (const bool InIndexOrder : {false, true}) {
          if (InIndexOrder && !Index.Column)
            continue;
          SCOPED_TRACE(testing::Message() << "round " << Round << ", index " << Index.Name
                                          << (External ? ", external filter" : "")
                                          << (InIndexOrder ? ", index order" : ""));
          auto C = Table(Rows, Index);
          TTolvanLocalCursor& K = C->Cursor;
          if (InIndexOrder)
            K.SetIndexName("IX");
          const int32_t Above = int32_t(Rows.size() / 3);
          if (External)
            K.SetExternalFilter(Parse(K, ("ID > " + std::to_string(Above)).c_str()));
          const std::vector<int32_t> Before = C->Walk();
          auto OnK = Parse(K, "K = 0");
          auto OnS = Parse(K, "S = 'a'");
          TTolvanExprNodeConst& KValue = ConstantOf(*OnK);
          TTolvanExprNodeConst& SValue = ConstantOf(*OnS);

          const auto Check = [&](TTolvanExpression& Probe, auto Accepts) {
            K.SetProbeFilter(&Probe);
            EXPECT_TRUE(K.CursorIsFiltered());
            std::vector<int32_t> Expected;
            for (const TRow& Row : Rows)
              if ((!External || Row.ID > Above) && Accepts(Row))
                Expected.push_back(Row.ID);
            EXPECT_EQ(Sorted(C->Walk()), Expected);
            EXPECT_EQ(K.GetRecordCount(), int64_t(Expected.size()));
            K.SetProbeFilter(nullptr);
            EXPECT_EQ(C->Walk(), Before);
          };
          for (int32_t V = 0; V < 5; ++V) {
            KValue.Value().SetAsInteger(V);
            Check(*OnK, [&](const TRow& Row) { return Row.K && *Row.K == V; });
          }
          for (const char* Text : Texts) {
            SValue.Value().SetAsString(AnsiString(Text));
            Check(*OnS, [&](const TRow& Row) { return Row.S && *Row.S == Text; });
          }
          EXPECT_EQ(K.CursorIsFiltered(), External);
        }
  }
}

TEST_F(ProbeFilter, ClearFilterAndCloseLeaveTheBorrowedExpressionAlone) {
  const std::vector<TRow> Rows = {{1, 1, "a"}, {2, 2, "b"}, {3, 1, "c"}, {4, 3, "d"}};
  auto C = Table(Rows, IndexChoices[1]);
  TTolvanLocalCursor& K = C->Cursor;
  K.SetFilter("ID < 4", false, false);
  auto Probe = Parse(K, "K = 1");
  K.SetProbeFilter(Probe.get());
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 3}));

  // ClearFilter frees the filter only; the probe stays in force.
  K.ClearFilter();
  EXPECT_EQ(K.Filter(), nullptr);
  EXPECT_EQ(K.ProbeFilter(), Probe.get());
  EXPECT_TRUE(K.CursorIsFiltered());
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 3}));

  // A probe on a column the cursor lacks is refused and leaves the slot as it was.
  TOpenCursor Other(*Session, "Other");
  TTolvanFieldDefs OtherFields;
  AddField(OtherFields, "Z", tftInteger);
  Other.Open(&OtherFields);
  auto Foreign = Parse(Other.Cursor, "Z = 1");
  EXPECT_NE(RaisedBy([&] { K.SetProbeFilter(Foreign.get()); }).Code, 0);
  EXPECT_EQ(K.ProbeFilter(), Probe.get());

  // Closing drops the pointer and nothing else: the expression may already be gone, and ASan
  // reports any use of it.
  Probe.reset();
  K.CloseTable();
  EXPECT_EQ(K.ProbeFilter(), nullptr);
}

// An index on the probed column drives the probe however small the table: with the scan order
// kept, a range probe on a cursor in store order returns the index's order, not the store's.
TEST_F(ProbeFilter, AnIndexOnTheProbedColumnDrivesTheScan) {
  const std::vector<TRow> Rows = {{1, 3, {}}, {2, 1, {}}, {3, 2, {}}, {4, 0, {}}, {5, {}, {}}};
  for (const bool Descending : {false, true}) {
    auto C = Table(Rows, IndexChoices[Descending ? 2 : 1]);
    TTolvanLocalCursor& K = C->Cursor;
    K.SetKeepScanOrder(true);
    auto Probe = Parse(K, "K >= 1");
    K.SetProbeFilter(Probe.get());
    EXPECT_EQ(C->Walk(),
              Descending ? (std::vector<int32_t>{1, 3, 2}) : (std::vector<int32_t>{2, 3, 1}));
    K.SetProbeFilter(nullptr);
    EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  }
}

} // namespace

namespace {

// A repeated probe takes no engine block once the cursor's search buffers and result set have
// grown: the set keeps its storage, the search its lists and record buffers.
TEST_F(ProbeFilter, ARepeatedProbeTakesNoEngineBlockInSteadyState) {
  std::vector<TRow> Rows;
  for (int32_t I = 1; I <= 200; ++I)
    Rows.push_back({I, I % 20, {}});
  auto C = Table(Rows, IndexChoices[0]);
  TTolvanLocalCursor& K = C->Cursor;
  auto Probe = Parse(K, "K = 0");
  TTolvanExprNodeConst& Value = ConstantOf(*Probe);
  Value.Value().SetAsInteger(0);
  int64_t Seen = 0;
  const auto One = [&] {
    K.SetProbeFilter(Probe.get());
    K.SetToBegin();
    while (K.GetRecord(rmNext) == rrOK)
      ++Seen;
    K.SetProbeFilter(nullptr);
  };
  One();
  int64_t Blocks = 0;
  {
    TAllocationFailure Count(0);
    for (int32_t P = 0; P < 50; ++P)
      One();
    Blocks = Count.Count();
  }
  EXPECT_EQ(Blocks, 0);
  EXPECT_EQ(Seen, 51 * 10);
}

// With an index on the probed column each probe also extracts the comparison as a key condition
// and scans the B-tree: the cursor keeps the extraction's lists and key blocks, the index its
// scan state, and the constant goes into the key without a converted copy. Each case changes
// the constant per probe as a join does, and the rows found are checked against the table.
TEST_F(ProbeFilter, AnIndexedProbeTakesNoEngineBlockInSteadyState) {
  std::vector<TRow> Rows;
  for (int32_t I = 1; I <= 200; ++I)
    Rows.push_back({I, I % 20, std::string(Texts[I % 6])});
  struct TCase {
    const char* Name;
    int32_t Index; // into IndexChoices
    const char* Filter;
    // Sets the constant for probe P; returns the rows the probe must find.
    int64_t (*Set)(TTolvanVariant& Constant, int32_t P);
  };
  // The driving row's bytes a join lends the constant: anywhere in a record, so unaligned.
  alignas(8) static uint8_t Borrowed[8];
  static std::string Text;
  const TCase Cases[] = {
      {"parsed integer type", 1, "K = 0",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         C.SetAsLargeInt(P % 20);
         return 10;
       }},
      {"borrowed column type, unaligned", 2, "K = 0",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         const int32_t K = P % 20;
         std::memcpy(Borrowed + 1, &K, sizeof(K));
         C.SetBuffer(Borrowed + 1, sizeof(K), tvtInteger, false, false);
         return 10;
       }},
      {"float constant, whole", 1, "K = 0.5",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         C.SetAsDouble(double(P % 20));
         return 10;
       }},
      {"range towards the nulls", 1, "K < 0",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         C.SetAsLargeInt(P % 20);
         return 10 * (P % 20);
       }},
      {"range towards the nulls, descending", 2, "K > 0",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         C.SetAsLargeInt(P % 20);
         return 10 * (19 - P % 20);
       }},
      {"texts of differing lengths", 3, "S = 'a'",
       [](TTolvanVariant& C, int32_t P) -> int64_t {
         Text = Texts[P % 6];
         C.SetBuffer(Text.data(), int32_t(Text.size() + 1), tvtString, false, false);
         return P % 6 == 0 ? 33 : P % 6 <= 2 ? 34 : 33;
       }},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    auto C = Table(Rows, IndexChoices[Case.Index]);
    TTolvanLocalCursor& K = C->Cursor;
    auto Probe = Parse(K, Case.Filter);
    TTolvanExprNodeConst& Value = ConstantOf(*Probe);
    int64_t Wrong = 0;
    const auto One = [&](int32_t P) {
      const int64_t Expected = Case.Set(Value.Value(), P);
      K.SetProbeFilter(Probe.get());
      K.SetToBegin();
      int64_t Seen = 0;
      while (K.GetRecord(rmNext) == rrOK)
        ++Seen;
      K.SetProbeFilter(nullptr);
      Wrong += Seen != Expected;
    };
    // Every constant once: the result set grows to the largest probe's size.
    for (int32_t P = 0; P < 60; ++P)
      One(P);
    int64_t Blocks = 0;
    {
      TAllocationFailure Count(0);
      for (int32_t P = 0; P < 60; ++P)
        One(P * 7 + 1);
      Blocks = Count.Count();
    }
    EXPECT_EQ(Blocks, 0);
    EXPECT_EQ(Wrong, 0);
    EXPECT_EQ(C->Walk().size(), Rows.size()) << "the filter went back whole";
  }
}

} // namespace
