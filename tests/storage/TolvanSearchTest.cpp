#include "storage/TolvanSearch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/btree/TolvanBTreeIndex.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A table (A Integer, B Integer, N AutoInc) over the real B-tree with the indexes AB (A, B),
// ABDesc (A, B descending), UniqueA (A, unique) and ByN (N), and the keys of a small domain:
// every (a, b) with a and b from {NULL, 1, 2, 3}.
struct TKeyDomain : TTableFixture {
  TKeyDomain() : TTableFixture(BTreeIndexFactory()) {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Defs;
    AddField(Fields, "A", tftInteger);
    AddField(Fields, "B", tftInteger);
    AddField(Fields, "N", tftAutoInc);
    AddIndexDef(Defs, "AB", {"A", "B"});
    AddIndexDef(Defs, "ABDesc", {"A", "B"}).Columns(1).SetDescending(true);
    AddIndexDef(Defs, "UniqueA", {"A"}, true);
    AddIndexDef(Defs, "ByN", {"N"});
    Create(Fields, Defs);
    for (int32_t A = 0; A <= 3; ++A)
      for (int32_t B = 0; B <= 3; ++B) {
        ClearRecord(*Cursor);
        if (A)
          SetInt(*Cursor, 0, A);
        if (B)
          SetInt(*Cursor, 1, B);
        Keys.push_back(Cursor->RecordBytes());
      }
  }
  ~TKeyDomain() { Table.DropIndexesAndClose(); }

  uint8_t* Key(size_t I) { return Keys[I].data(); }
  TTolvanScanSearchCondition Condition(uint8_t Type, size_t KeyNo, int32_t Count,
                                       int32_t IndexPos = 0) {
    TTolvanScanSearchCondition C;
    C.ConditionType = Type;
    C.KeyBuffer = Key(KeyNo);
    C.KeyFieldCount = Count;
    C.IndexID = IndexID(IndexPos);
    return C;
  }
  // Bit i set when key i of the domain satisfies the condition.
  uint32_t Selects(const TTolvanScanSearchCondition& C) {
    uint32_t Mask = 0;
    for (size_t I = 0; I < Keys.size(); ++I) {
      const int32_t Cmp = Search.CompareRecordKeys(C.IndexID, Key(I), C.KeyBuffer, C.KeyFieldCount);
      bool Holds = false;
      switch (C.ConditionType) {
      case sctEqual:
        Holds = Cmp == 0;
        break;
      case sctLess:
        Holds = Cmp < 0;
        break;
      case sctGreater:
        Holds = Cmp > 0;
        break;
      case sctLessOrEqual:
        Holds = Cmp <= 0;
        break;
      case sctGreaterOrEqual:
        Holds = Cmp >= 0;
        break;
      default:
        ADD_FAILURE() << "no key condition";
      }
      if (Holds)
        Mask |= 1u << I;
    }
    return Mask;
  }

  std::vector<std::vector<uint8_t>> Keys;
  TTolvanTableSearchIndexes Search{Table};
};

const char* TypeName(uint8_t T) {
  static const char* const Names[] = {"expr", "=", "<", ">", "<=", ">="};
  return Names[T];
}

// Every pair of types, key field counts 0 (every key compares equal), 1 and 2 and keys of the
// domain, on an ascending and a partly descending index: "empty" must mean no key satisfies
// both, every merge must leave A selecting exactly the keys that satisfy both, and "both" must
// leave A as it was.
TEST(SearchPlanner, MergeConditionsAgreesWithBruteForce) {
  TKeyDomain D;
  int64_t Outcomes[8] = {};
  for (int32_t IndexPos : {0, 1})
    for (uint8_t TA = sctEqual; TA <= sctGreaterOrEqual; ++TA)
      for (uint8_t TB = sctEqual; TB <= sctGreaterOrEqual; ++TB)
        for (int32_t NA : {0, 1, 2})
          for (int32_t NB : {0, 1, 2})
            for (size_t KA = 0; KA < D.Keys.size(); ++KA)
              for (size_t KB = 0; KB < D.Keys.size(); ++KB) {
                TTolvanScanSearchCondition A = D.Condition(TA, KA, NA, IndexPos);
                const TTolvanScanSearchCondition B = D.Condition(TB, KB, NB, IndexPos);
                const uint32_t Both = D.Selects(A) & D.Selects(B);
                const int32_t C = D.Search.CompareRecordKeys(A.IndexID, A.KeyBuffer, B.KeyBuffer,
                                                             std::min(NA, NB));
                ++Outcomes[MergeOutcome(TA, TB, C, NA, NB)];
                bool Empty = true, Merged = true;
                MergeConditions(D.Search, A, B, Empty, Merged);
                const std::string Where = std::string(TypeName(TA)) + std::to_string(NA) + " key " +
                                          std::to_string(KA) + " with " + TypeName(TB) +
                                          std::to_string(NB) + " key " + std::to_string(KB) +
                                          " index " + std::to_string(IndexPos);
                if (Empty) {
                  ASSERT_EQ(Both, 0u) << Where;
                  ASSERT_FALSE(Merged) << Where;
                } else if (Merged) {
                  ASSERT_EQ(D.Selects(A), Both) << Where;
                } else {
                  const TTolvanScanSearchCondition Old = D.Condition(TA, KA, NA, IndexPos);
                  ASSERT_EQ(A.KeyBuffer, Old.KeyBuffer) << Where;
                  ASSERT_EQ(A.ConditionType, TA) << Where;
                  ASSERT_EQ(A.KeyFieldCount, NA) << Where;
                }
              }
  // The domain reaches every kind of outcome, so no cell went untested for lack of keys.
  for (int O = tmoEmpty; O <= tmoBoth; ++O)
    EXPECT_GT(Outcomes[O], 0) << "outcome " << O;
}

// The cells that answered "empty" for an equality on fewer key fields than a strict bound of
// the same prefix: index (A, B), A = 2 and A, B < (2, 2) leave (2, 1).
TEST(SearchPlanner, EqualityOnAPrefixOfAStrictBoundKeepsBoth) {
  TKeyDomain D;
  const size_t K22 = 2 * 4 + 2;
  for (uint8_t Strict : {sctLess, sctGreater}) {
    for (bool EqualityFirst : {true, false}) {
      TTolvanScanSearchCondition Eq = D.Condition(sctEqual, K22, 1);
      TTolvanScanSearchCondition Bound = D.Condition(Strict, K22, 2);
      bool Empty = true, Merged = true;
      if (EqualityFirst)
        MergeConditions(D.Search, Eq, Bound, Empty, Merged);
      else
        MergeConditions(D.Search, Bound, Eq, Empty, Merged);
      EXPECT_FALSE(Empty) << TypeName(Strict) << EqualityFirst;
      EXPECT_FALSE(Merged) << TypeName(Strict) << EqualityFirst;
    }
  }
}

TEST(SearchPlanner, MergingSkipsExpressionsAndConditionsWithoutKey) {
  TKeyDomain D;
  TTolvanScanSearchCondition A = D.Condition(sctEqual, 5, 2);
  TTolvanScanSearchCondition NoKey = D.Condition(sctLess, 0, 2);
  NoKey.KeyBuffer = nullptr;
  TTolvanScanSearchCondition Expr;
  for (const TTolvanScanSearchCondition* B : {&NoKey, &Expr}) {
    bool Empty = true, Merged = true;
    MergeConditions(D.Search, A, *B, Empty, Merged);
    EXPECT_FALSE(Empty);
    EXPECT_FALSE(Merged);
    MergeConditions(D.Search, NoKey, A, Empty, Merged);
    EXPECT_FALSE(Empty);
    EXPECT_FALSE(Merged);
  }
}

// --- simplification -----------------------------------------------------------------------------

TEST(SearchPlanner, ContradictoryRangeIsEmpty) {
  TKeyDomain D;
  TTolvanScanSearchCondition Expr; // stands for a filter left in the list
  TTolvanSearchConditionList List = {D.Condition(sctGreater, 6, 2), Expr,
                                     D.Condition(sctLess, 6, 2)};
  const TTolvanSearchConditionList Before = List;
  EXPECT_TRUE(SimplifyConditions(D.Search, List));
  ASSERT_EQ(List.size(), Before.size());
  EXPECT_EQ(List[0].ConditionType, sctGreater);
  EXPECT_EQ(List[2].ConditionType, sctLess);
}

TEST(SearchPlanner, InclusiveBoundsOfOneKeyBecomeAnEquality) {
  TKeyDomain D;
  TTolvanSearchConditionList List = {D.Condition(sctGreaterOrEqual, 6, 2),
                                     D.Condition(sctLessOrEqual, 6, 2)};
  EXPECT_FALSE(SimplifyConditions(D.Search, List));
  ASSERT_EQ(List.size(), 1u);
  EXPECT_EQ(List[0].ConditionType, sctEqual);
  EXPECT_EQ(List[0].KeyFieldCount, 2);
  EXPECT_EQ(List[0].KeyBuffer, D.Key(6));

  // Different key field counts only bound the range.
  List = {D.Condition(sctGreaterOrEqual, 6, 1), D.Condition(sctLessOrEqual, 6, 2)};
  EXPECT_FALSE(SimplifyConditions(D.Search, List));
  EXPECT_EQ(List.size(), 2u);
}

TEST(SearchPlanner, EqualRangesReduceToOneAndExpressionsGoLast) {
  TKeyDomain D;
  TTolvanExpression* const Filter = reinterpret_cast<TTolvanExpression*>(&D);
  TTolvanScanSearchCondition Expr;
  Expr.Expression = Filter;
  // Two copies of one range on AB, a bound on UniqueA in between, a filter first.
  const size_t K21 = 2 * 4 + 1, K33 = 3 * 4 + 3;
  TTolvanSearchConditionList List = {
      Expr,
      D.Condition(sctGreater, K21, 2),
      D.Condition(sctLessOrEqual, K33, 2),
      D.Condition(sctGreaterOrEqual, K21, 1, 2),
      D.Condition(sctLessOrEqual, K33, 2),
      D.Condition(sctGreater, K21, 2),
  };
  EXPECT_FALSE(SimplifyConditions(D.Search, List));
  ASSERT_EQ(List.size(), 4u);
  EXPECT_EQ(List[0].ConditionType, sctGreater);
  EXPECT_EQ(List[0].IndexID, D.IndexID(0));
  EXPECT_EQ(List[1].ConditionType, sctLessOrEqual);
  EXPECT_EQ(List[1].IndexID, D.IndexID(0));
  EXPECT_EQ(List[2].IndexID, D.IndexID(2));
  EXPECT_EQ(List[3].Expression, Filter);
}

TEST(SearchPlanner, RemoveDuplicatesKeepsTheLastOfEachGroup) {
  TKeyDomain D;
  TTolvanSearchConditionList List = {D.Condition(sctLess, 5, 2), D.Condition(sctLess, 5, 1),
                                     D.Condition(sctLess, 6, 2), D.Condition(sctLess, 5, 2),
                                     D.Condition(sctLess, 5, 2, 1)};
  // Equal keys over one field are no duplicate of a two-field condition.
  List[1].KeyBuffer = D.Key(4);
  RemoveDuplicateConditions(D.Search, List);
  ASSERT_EQ(List.size(), 4u);
  EXPECT_EQ(List[0].KeyFieldCount, 1);
  EXPECT_EQ(List[1].KeyBuffer, D.Key(6));
  EXPECT_EQ(List[2].KeyBuffer, D.Key(5));
  EXPECT_EQ(List[3].IndexID, D.IndexID(1));

  TTolvanScanSearchCondition NoKey = D.Condition(sctLess, 0, 2);
  NoKey.KeyBuffer = nullptr;
  List = {NoKey, D.Condition(sctLess, 0, 2), NoKey};
  RemoveDuplicateConditions(D.Search, List);
  EXPECT_EQ(List.size(), 2u);
}

TEST(SearchPlanner, UniqueLookupIndexes) {
  TKeyDomain D;
  EXPECT_FALSE(D.Search.IsUniqueLookup(D.IndexID(0)));
  EXPECT_TRUE(D.Search.IsUniqueLookup(D.IndexID(2))); // unique
  EXPECT_TRUE(D.Search.IsUniqueLookup(D.IndexID(3))); // auto-increment first column
}

// --- driving conditions -------------------------------------------------------------------------

// Estimates by the position of the pair's first condition, through which key it carries.
class TFakeEstimates : public TTolvanSearchIndexes {
public:
  explicit TFakeEstimates(const uint8_t* Base) : FBase(Base) {}

  int32_t CompareRecordKeys(int32_t, const uint8_t*, const uint8_t*, int32_t) override {
    ADD_FAILURE() << "no comparison expected";
    return 0;
  }
  int32_t ConditionDirection(const TTolvanScanSearchCondition& C) override {
    return C.ConditionType == sctGreater || C.ConditionType == sctGreaterOrEqual ? -1
           : C.ConditionType == sctLess || C.ConditionType == sctLessOrEqual     ? 1
                                                                                 : 0;
  }
  int64_t EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A, int64_t Total,
                             const TTolvanScanSearchCondition& B) override {
    EXPECT_EQ(SessionID, 7);
    EXPECT_EQ(Total, Records);
    const int32_t Pos = int32_t(A.KeyBuffer - FBase);
    Asked.push_back({Pos, int32_t(B.KeyBuffer - FBase)});
    const auto It = Estimates.find(Pos);
    return It == Estimates.end() ? Total : It->second;
  }
  bool IsUniqueLookup(int32_t IndexID) override { return IndexID == 99; }
  int64_t TotalRecordCount() override { return Records; }
  int64_t ApproxRecNo(int32_t SessionID, const TTolvanRecordID& ID) override {
    EXPECT_EQ(SessionID, 7);
    EXPECT_EQ(ID.PageNo, 42);
    return RecNo;
  }

  int64_t Records = 1000000;
  int64_t RecNo = 1;
  std::map<int32_t, int64_t> Estimates;
  std::vector<std::pair<int32_t, int32_t>> Asked;

private:
  const uint8_t* FBase;
};

struct TCond {
  char Op; // '=', '<', '>', 'l' (<=), 'g' (>=), 'x' (expression)
  int32_t Index;
};

struct TDrivingCase {
  const char* Name;
  std::vector<TCond> Conditions;
  int32_t CursorIndex;
  std::map<int32_t, int64_t> Estimates;
  bool Forward;
  int32_t First, Second;
  int64_t Records = 1000000;
  int64_t RecNo = 1;
  int32_t EstimatesAsked = -1; // -1: not checked
  bool Probing = false;
};

uint8_t TypeOf(char Op) {
  switch (Op) {
  case '=':
    return sctEqual;
  case '<':
    return sctLess;
  case '>':
    return sctGreater;
  case 'l':
    return sctLessOrEqual;
  case 'g':
    return sctGreaterOrEqual;
  default:
    return sctExpression;
  }
}

// Index 99 is unique; the cursor's index is given per case (-1 for store order).
// clang-format off
const TDrivingCase DrivingCases[] = {
    {"no key condition", {{'x', -1}}, 1, {}, true, -1, -1, 1000000, 1, 0},
    {"unique equality without estimate", {{'<', 1}, {'>', 1}, {'=', 99}}, 1, {}, true, 2, -1,
     1000000, 1, 0},
    {"first unique equality", {{'=', 99}, {'=', 99}}, -1, {}, true, 0, -1, 1000000, 1, 0},
    {"lone condition on the cursor's index", {{'x', -1}, {'>', 1}}, 1, {}, true, 1, -1, 1000000, 1,
     0},
    {"lone condition on another index is estimated", {{'>', 2}}, 1, {{0, 10}}, true, 0, -1,
     1000000, 1, 1},
    {"two conditions on the cursor's index are estimated", {{'>', 1}, {'<', 1}}, 1, {{0, 1000}},
     true, 0, 1, 1000000, 1, 1},
    {"smallest estimate wins", {{'>', 1}, {'<', 1}, {'>', 2}, {'=', 3}}, 1,
     {{0, 500}, {2, 20}, {3, 30}}, true, 2, -1},
    {"ties keep the earlier pair", {{'>', 2}, {'=', 3}, {'g', 4}}, -1, {{0, 5}, {1, 5}, {2, 5}},
     true, 0, -1},
    {"an estimate equal to the total never drives", {{'>', 2}, {'x', -1}, {'=', 3}}, 1, {}, true,
     0, -1, 1000000, 1, 2},
    {"pair after pair", {{'>', 2}, {'<', 2}, {'g', 3}, {'l', 3}, {'=', 3}}, 1,
     {{0, 900}, {2, 800}, {4, 700}}, true, 4, -1, 1000000, 1, 3},
    {"1000 with a cursor index drives", {{'>', 2}, {'<', 2}}, 1, {{0, 1000}}, true, 0, 1},
    // The fallback still bounds its walk from both sides when the next condition is on its index.
    {"1001 with a cursor index falls to the first indexed pair", {{'x', -1}, {'>', 2}, {'<', 2}},
     1, {{1, 1001}}, true, 1, 2},
    {"447 without a cursor index drives", {{'>', 2}, {'<', 2}}, -1, {{0, 447}}, true, 0, 1},
    {"448 without a cursor index falls to the first indexed pair", {{'>', 2}, {'<', 2}}, -1,
     {{0, 448}}, true, 0, 1},
    {"the threshold counts the records after the current one", {{'>', 2}, {'<', 2}}, -1,
     {{0, 100}}, true, 0, 1, 1000000, 950001},
    {"estimates past 2^31 squared do not overflow", {{'>', 2}, {'<', 2}}, 1,
     {{0, int64_t(1) << 33}}, true, 0, 1, int64_t(1) << 40},
    {"estimates of 2^20 stay within 2^40", {{'>', 2}, {'<', 2}}, 1, {{0, int64_t(1) << 20}}, true,
     0, 1, int64_t(1) << 40},
    {"upper then lower, forward", {{'<', 2}, {'>', 2}}, 1, {{0, 5}}, true, 1, 0},
    {"upper then lower, backward", {{'<', 2}, {'>', 2}}, 1, {{0, 5}}, false, 0, 1},
    {"lower then upper, backward", {{'g', 2}, {'l', 2}}, 1, {{0, 5}}, false, 1, 0},
    {"an equality is the lower bound of an upper one", {{'l', 2}, {'=', 2}}, 1, {{0, 5}}, true, 1,
     0},
    {"an equality is the upper bound of a lower one, backward", {{'=', 2}, {'g', 2}}, 1, {{0, 5}},
     false, 0, 1},
    {"two bounds of one direction drive with the first alone", {{'>', 2}, {'g', 2}}, 1, {{0, 5}},
     true, 0, -1},
    // A probed cursor takes the narrowest estimate whatever its size.
    {"a wide equality on another index falls to the first indexed", {{'>', 2}, {'=', 3}}, 1,
     {{0, 900000}, {1, 5000}}, true, 0, -1},
    {"a probe takes the wide equality", {{'>', 2}, {'=', 3}}, 1, {{0, 900000}, {1, 5000}}, true,
     1, -1, 1000000, 1, -1, true},
    {"a probe drives with 1001 on the cursor's index", {{'x', -1}, {'>', 2}, {'<', 2}}, 1,
     {{1, 1001}}, true, 1, 2, 1000000, 1, -1, true},
    {"a probe drives with 448 without a cursor index", {{'>', 2}, {'<', 2}}, -1, {{0, 448}}, true,
     0, 1, 1000000, 1, -1, true},
};
// clang-format on

TEST(SearchPlanner, ChooseDrivingConditions) {
  uint8_t Keys[16] = {};
  for (const TDrivingCase& Case : DrivingCases) {
    SCOPED_TRACE(Case.Name);
    TFakeEstimates Fake(Keys);
    Fake.Records = Case.Records;
    Fake.RecNo = Case.RecNo;
    Fake.Estimates = Case.Estimates;
    TTolvanSearchConditionList List;
    TTolvanExpression* const Filter = reinterpret_cast<TTolvanExpression*>(&Fake);
    for (size_t I = 0; I < Case.Conditions.size(); ++I) {
      TTolvanScanSearchCondition C;
      C.ConditionType = TypeOf(Case.Conditions[I].Op);
      if (C.ConditionType == sctExpression) {
        C.Expression = Filter;
      } else {
        C.KeyBuffer = Keys + I;
        C.KeyFieldCount = 1;
        C.IndexID = Case.Conditions[I].Index;
      }
      List.push_back(C);
    }
    const TTolvanDrivingConditions D = ChooseDrivingConditions(Fake, 7, List, Case.CursorIndex,
                                                               {42, 0}, Case.Forward, Case.Probing);
    EXPECT_EQ(D.First, Case.First);
    EXPECT_EQ(D.Second, Case.Second);
    if (Case.EstimatesAsked >= 0) {
      EXPECT_EQ(int32_t(Fake.Asked.size()), Case.EstimatesAsked);
    }
    for (const auto& [A, B] : Fake.Asked)
      EXPECT_TRUE(B == A || B == A + 1) << A << " " << B;
  }
}

TEST(SearchPlanner, SquareExceedsWithoutOverflow) {
  EXPECT_FALSE(SquareExceeds(1000, 1000000));
  EXPECT_TRUE(SquareExceeds(1001, 1000000));
  EXPECT_FALSE(SquareExceeds(447, 199999));
  EXPECT_TRUE(SquareExceeds(448, 199999));
  EXPECT_FALSE(SquareExceeds(0, 0));
  EXPECT_TRUE(SquareExceeds(0, -1));
  EXPECT_TRUE(SquareExceeds(INT64_MAX, INT64_MAX));
  EXPECT_FALSE(SquareExceeds(3037000499, INT64_MAX));
  EXPECT_TRUE(SquareExceeds(3037000500, INT64_MAX));
}

} // namespace
