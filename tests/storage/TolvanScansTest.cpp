#include "storage/TolvanScans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/btree/TolvanBTreeIndex.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TIDs = TRecordIDs;

// Table (A Integer, B Integer, C Integer) over the real B-tree with the indexes AB (A, B),
// BDescA (B descending, A) and ByC (C); values from small domains with NULLs, so keys repeat.
struct TScanTable : TTableFixture {
  TScanTable() : TTableFixture(BTreeIndexFactory()) {
    TTolvanFieldDefs Fields;
    TTolvanIndexDefs Defs;
    AddField(Fields, "A", tftInteger);
    AddField(Fields, "B", tftInteger);
    AddField(Fields, "C", tftInteger);
    AddIndexDef(Defs, "AB", {"A", "B"});
    AddIndexDef(Defs, "BDescA", {"B", "A"}).Columns(0).SetDescending(true);
    AddIndexDef(Defs, "ByC", {"C"});
    Create(Fields, Defs);
  }
  ~TScanTable() { Table.DropIndexesAndClose(); }

  int32_t SID() const { return Session.SessionID(); }
  std::vector<uint8_t> Row(int32_t A, int32_t B, int32_t C) {
    ClearRecord(*Cursor);
    const int32_t Values[] = {A, B, C};
    for (int32_t I = 0; I < 3; ++I)
      if (Values[I] >= 0)
        SetInt(*Cursor, I, Values[I]);
    return Cursor->RecordBytes();
  }
  void Fill(std::mt19937& Random, int32_t N) {
    std::vector<TTolvanRecordID> IDs;
    for (int32_t I = 0; I < N; ++I) {
      const int32_t A = int32_t(Random() % 25) - 1, B = int32_t(Random() % 5) - 1,
                    C = int32_t(Random() % 40) - 1;
      Row(A, B, C); // leaves the row in the cursor's record
      IDs.push_back(Insert(*Cursor));
    }
    for (const TTolvanRecordID& ID : IDs)
      if (Random() % 4 == 0) {
        Cursor->SetPosition(ID);
        ASSERT_TRUE(Table.DeleteRecord(*Cursor));
      }
  }
  // The ids in the cursor's order (store order for -1), read by plain navigation.
  TIDs Walk(int32_t IndexID, bool Forward) {
    TIDs IDs;
    std::vector<uint8_t> Buffer(size_t(Table.RecordSize() + RecordTrailerSize));
    TTolvanNavState S;
    S.Mode = Forward ? rmNext : rmPrior;
    S.IndexID = IndexID;
    S.Buffer = Buffer.data();
    (Forward ? S.AtBegin : S.AtEnd) = 1;
    for (;;) {
      LoadRecord(Table, SID(), S);
      if (S.Result != rrOK)
        break;
      S.AtBegin = S.AtEnd = 0;
      IDs.push_back(S.RecordID);
    }
    return IDs;
  }
  std::vector<uint8_t> Stored(const TTolvanRecordID& ID) const {
    std::vector<uint8_t> R = Table.Records().Stored(ID.PageNo);
    R.resize(size_t(Table.RecordSize() + RecordTrailerSize));
    return R;
  }

  TTolvanTableSearchIndexes Search{Table};
};

// Random searches with key conditions on every index and a filter callback, through all four
// scans, against a walk of the cursor's order that tests every record with the unsimplified
// conditions.
TEST(SearchScans, AgreeWithAWalkOfTheCursorsOrder) {
  std::mt19937 Random(20261210);
  TScanTable T;
  T.Fill(Random, 400);
  const int32_t Indexes[] = {T.IndexID(0), T.IndexID(1), T.IndexID(2)};
  const int32_t Columns[] = {2, 2, 1};
  // Condition keys: rows of the table, and rows of values no record has.
  std::vector<std::vector<uint8_t>> Keys;
  for (const TTolvanRecordID& ID : T.Walk(-1, true))
    Keys.push_back(T.Stored(ID));
  for (int32_t A : {-1, 7, 30})
    for (int32_t B : {-1, 2, 9})
      Keys.push_back(T.Row(A, B, 50));
  int32_t Scans[4] = {};
  int32_t Found = 0, Empty = 0;
  std::vector<uint8_t> Record(size_t(T.Table.RecordSize() + RecordTrailerSize));

  for (int Trial = 0; Trial < 1000; ++Trial) {
    SCOPED_TRACE("trial " + std::to_string(Trial));
    TTolvanSearchConditionList Conditions;
    const int32_t N = int32_t(Random() % 4);
    for (int32_t I = 0; I < N; ++I) {
      TTolvanScanSearchCondition C;
      const int32_t Which = int32_t(Random() % 3);
      C.IndexID = Indexes[Which];
      C.ConditionType = uint8_t(1 + Random() % 5);
      C.KeyFieldCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      // Keys shared between conditions give the merges their equal-prefix cases.
      C.KeyBuffer = I > 0 && Random() % 2 ? Conditions[Random() % size_t(I)].KeyBuffer
                                          : Keys[Random() % Keys.size()].data();
      Conditions.push_back(C);
    }
    bool UseCallback = Random() % 3 == 0;
    const std::function<bool(uint8_t*)> Callback = [&](uint8_t* R) {
      return T.GetInt(R, 2) % 3 != 0; // NULL reads as INT32_MIN, kept
    };
    const int32_t CursorIndex = Random() % 4 == 0 ? -1 : Indexes[Random() % 3];
    const bool Forward = Random() % 2;
    const TIDs Order = T.Walk(CursorIndex, Forward);
    ASSERT_FALSE(Order.empty());
    const bool WithSet = Random() % 3 == 0;
    // A set is filled only for a restricted cursor.
    UseCallback = UseCallback || (WithSet && N == 0);
    // First match only serves the foreign-key tests, which search from the beginning.
    const bool FirstMatchOnly = !WithSet && Random() % 4 == 0;
    const bool FromBeginning = FirstMatchOnly || Random() % 2;
    const size_t CurrentPos = Random() % Order.size();

    // The oracle: the walk from the start (or after the current record), each record tested;
    // first match only takes any matching record.
    TIDs Expected;
    for (size_t P = 0; P < Order.size(); ++P) {
      if (!WithSet && !FromBeginning && P <= CurrentPos)
        continue;
      const std::vector<uint8_t> R = T.Stored(Order[P]);
      bool Holds = !UseCallback || T.GetInt(R.data(), 2) % 3 != 0;
      for (const TTolvanScanSearchCondition& C : Conditions)
        Holds = Holds && KeyConditionHolds(T.Search, C, R.data());
      if (Holds)
        Expected.push_back(Order[P]);
    }

    TTolvanSearchConditionList Simple = Conditions;
    TTolvanRecordBitmap Set(&T.Table);
    TTolvanRecordID FoundID{-7, 0};
    bool Answer = false;
    if (SimplifyConditions(T.Search, Simple)) {
      ++Empty;
      EXPECT_TRUE(Expected.empty()) << Text(Expected);
      continue;
    }
    TTolvanScanRequest R;
    R.SessionID = T.SID();
    R.Conditions = &Simple;
    R.CursorIndexID = CursorIndex;
    R.CurrentRecordID = FromBeginning ? TTolvanRecordID{-1, 0} : Order[CurrentPos];
    // The walk is in scan direction; from a current record the scan's order is the same.
    R.Forward = Forward;
    R.FromBeginning = FromBeginning || WithSet;
    R.FirstMatchOnly = FirstMatchOnly;
    R.ResultSet = WithSet ? &Set : nullptr;
    R.Record = Record.data();
    R.Hooks.FilterRecord = UseCallback ? &Callback : nullptr;
    R.Driving =
        ChooseDrivingConditions(T.Search, T.SID(), Simple, CursorIndex, R.CurrentRecordID, Forward);
    const int32_t Kind = R.Driving.First == -1                                    ? 0
                         : CursorIndex == -1                                      ? 2
                         : Simple[size_t(R.Driving.First)].IndexID == CursorIndex ? 1
                                                                                  : 3;
    ++Scans[Kind];
    SCOPED_TRACE("scan " + std::to_string(Kind));
    Answer = RunScan(T.Table, T.Search, R, &FoundID);

    if (WithSet) {
      EXPECT_FALSE(Answer);
      const TIDs Got(Set.Items().Items(), Set.Items().Items() + Set.Count());
      // A backward scan fills the set in the cursor's order too, except in store order; the
      // set is always in forward cursor order for the scans that sort it.
      // A set is filled in scan direction, then put in forward cursor order by the scans that
      // reorder it.
      TIDs Want = Expected;
      if (!Forward && (Kind == 2 || Kind == 3))
        std::reverse(Want.begin(), Want.end());
      ASSERT_EQ(Text(Got), Text(Want));
      for (const TTolvanRecordID& ID : Want)
        EXPECT_TRUE(Set.AcceptRecord(ID));
    } else if (Expected.empty()) {
      EXPECT_FALSE(Answer);
    } else {
      ASSERT_TRUE(Answer);
      ++Found;
      if (FirstMatchOnly)
        EXPECT_TRUE(std::any_of(Expected.begin(), Expected.end(),
                                [&](const TTolvanRecordID& ID) { return SameID(ID, FoundID); }));
      else
        EXPECT_TRUE(SameID(FoundID, Expected.front()))
            << FoundID.PageNo << " want " << Expected.front().PageNo;
    }
  }
  for (int32_t K = 0; K < 4; ++K)
    EXPECT_GT(Scans[K], 20) << "scan kind " << K;
  EXPECT_GT(Found, 100);
  EXPECT_GT(Empty, 10);
}

// A = 1 on one key field and (A, B) < (1, 2) stay side by side after merging and drive one
// range: the equality must start it, the strict bound end it.
TEST(SearchScans, AnEqualityAndABoundOnItsPrefixDriveTogether) {
  TScanTable T;
  for (int32_t A = 1; A <= 4; ++A)
    for (int32_t B = 1; B <= 3; ++B) {
      T.Row(A, B, A * 10 + B);
      T.Insert(*T.Cursor);
    }
  const std::vector<uint8_t> Key = T.Row(1, 2, -1);
  for (const bool EqualityFirst : {true, false})
    for (const bool Forward : {true, false}) {
      TTolvanSearchConditionList List(2);
      TTolvanScanSearchCondition& Eq = List[EqualityFirst ? 0 : 1];
      TTolvanScanSearchCondition& Less = List[EqualityFirst ? 1 : 0];
      Eq.ConditionType = sctEqual;
      Eq.KeyFieldCount = 1;
      Less.ConditionType = sctLess;
      Less.KeyFieldCount = 2;
      for (TTolvanScanSearchCondition& C : List) {
        C.IndexID = T.IndexID(0);
        C.KeyBuffer = const_cast<uint8_t*>(Key.data());
      }
      ASSERT_FALSE(SimplifyConditions(T.Search, List));
      ASSERT_EQ(List.size(), 2u);
      std::vector<uint8_t> Record(size_t(T.Table.RecordSize() + RecordTrailerSize));
      TTolvanRecordBitmap Set(&T.Table);
      TTolvanScanRequest R;
      R.SessionID = T.SID();
      R.Conditions = &List;
      R.CursorIndexID = T.IndexID(0);
      R.Forward = Forward;
      R.Record = Record.data();
      R.ResultSet = &Set;
      R.Driving = ChooseDrivingConditions(T.Search, T.SID(), List, R.CursorIndexID,
                                          R.CurrentRecordID, Forward);
      EXPECT_NE(R.Driving.Second, -1);
      EXPECT_FALSE(RunScan(T.Table, T.Search, R, nullptr));
      ASSERT_EQ(Set.Count(), 1);
      EXPECT_EQ(T.GetInt(T.Stored(Set.Items()[0]).data(), 2), 11);
    }
}

// A cursor of the test table with a result set and a range.
class TSearchCursor : public TTestCursor {
public:
  TSearchCursor(TScanTable& T)
      : TTestCursor(&T.Session, T.Table.RecordSize() + RecordTrailerSize),
        Set(std::make_unique<TTolvanRecordBitmap>(&T.Table)) {
    IndexDefs().Assign(T.Indexes().IndexDefs());
  }
  TTolvanRecordBitmap* ResultBitmap() const override { return Set.get(); }
  void Range(uint8_t* Start, uint8_t* End, int32_t StartCount, int32_t EndCount, bool StartExcl,
             bool EndExcl) {
    StoreRange(Start, End, StartCount, EndCount, StartExcl, EndExcl);
  }
  std::unique_ptr<TTolvanRecordBitmap> Set;
};

// Whole searches (a given key condition, the cursor's range and filter callback) against a walk
// of the cursor's order; result sets through BuildResultBitmap.
TEST(SearchScans, SearchTableAgreesWithAWalkOfTheCursorsOrder) {
  std::mt19937 Random(7);
  TScanTable T;
  T.Fill(Random, 300);
  const char* const Names[] = {"AB", "BDescA", "ByC"};
  const int32_t Columns[] = {2, 2, 1};
  std::vector<std::vector<uint8_t>> Keys;
  for (const TTolvanRecordID& ID : T.Walk(-1, true))
    Keys.push_back(T.Stored(ID));
  const std::function<bool(uint8_t*)> Callback = [&](uint8_t* R) {
    return T.GetInt(R, 2) % 3 != 0;
  };
  int32_t Found = 0;
  for (int Trial = 0; Trial < 600; ++Trial) {
    SCOPED_TRACE("trial " + std::to_string(Trial));
    TSearchCursor C(T);
    const int32_t Which = int32_t(Random() % 4) - 1;
    if (Which >= 0)
      C.SetIndexName(Names[Which]);
    const int32_t IndexID = C.IndexID();
    uint8_t* Start = nullptr;
    uint8_t* End = nullptr;
    int32_t StartCount = 0, EndCount = 0;
    bool StartExcl = Random() % 2, EndExcl = Random() % 2;
    if (Which >= 0) {
      if (Random() % 2) {
        Start = Keys[Random() % Keys.size()].data();
        StartCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      }
      if (Random() % 2) {
        End = Random() % 2 && Start ? Start : Keys[Random() % Keys.size()].data();
        EndCount = 1 + int32_t(Random() % uint32_t(Columns[Which]));
      }
      C.Range(Start, End, StartCount, EndCount, StartExcl, EndExcl);
    }
    TTolvanScanSearchCondition Given;
    const bool WithGiven = Random() % 2;
    if (WithGiven) {
      const int32_t On = int32_t(Random() % 3);
      Given.IndexID = T.IndexID(On);
      Given.ConditionType = uint8_t(1 + Random() % 5);
      Given.KeyFieldCount = 1 + int32_t(Random() % uint32_t(Columns[On]));
      Given.KeyBuffer = Keys[Random() % Keys.size()].data();
    }
    if (Random() % 3 == 0)
      C.SetOnFilterRecord(Callback);
    const bool Restricted = C.CursorIsFiltered() || C.CursorHasRange();
    const bool WithSet = Restricted && !WithGiven && Random() % 2;
    const bool Forward = WithSet || Random() % 2;
    const TIDs Order = T.Walk(IndexID, Forward);
    const bool FirstMatchOnly = !WithSet && Random() % 4 == 0;
    const bool FromBeginning = WithSet || FirstMatchOnly || Random() % 2;
    const size_t CurrentPos = Random() % Order.size();
    if (!FromBeginning)
      C.SetPosition(Order[CurrentPos]);

    TIDs Expected;
    for (size_t P = 0; P < Order.size(); ++P) {
      if (!FromBeginning && P <= CurrentPos)
        continue;
      const std::vector<uint8_t> R = T.Stored(Order[P]);
      bool Holds = !C.OnFilterRecord() || Callback(const_cast<uint8_t*>(R.data()));
      if (Start) {
        const int32_t Cmp = T.Search.CompareRecordKeys(IndexID, R.data(), Start, StartCount);
        Holds = Holds && (StartExcl ? Cmp > 0 : Cmp >= 0);
      }
      if (End) {
        const int32_t Cmp = T.Search.CompareRecordKeys(IndexID, R.data(), End, EndCount);
        Holds = Holds && (EndExcl ? Cmp < 0 : Cmp <= 0);
      }
      if (WithGiven)
        Holds = Holds && KeyConditionHolds(T.Search, Given, R.data());
      if (Holds)
        Expected.push_back(Order[P]);
    }

    const TTolvanCursorPosition Before = C.SavePosition();
    if (WithSet) {
      BuildResultBitmap(T.Table, C);
      EXPECT_TRUE(C.Set->Filled());
      const TIDs Got(C.Set->Items().Items(), C.Set->Items().Items() + C.Set->Count());
      ASSERT_EQ(Text(Got), Text(Expected));
      EXPECT_EQ(C.RecordBuffer(), C.Record());
    } else {
      TTolvanRecordID Answer{-7, 0};
      const bool Hit = SearchTable(T.Table, C, nullptr, WithGiven ? &Given : nullptr, FromBeginning,
                                   Forward, &Answer, nullptr, FirstMatchOnly);
      ASSERT_EQ(Hit, !Expected.empty());
      if (Hit) {
        ++Found;
        EXPECT_TRUE(FoundAmong(Expected, Answer, FirstMatchOnly));
      }
    }
    EXPECT_TRUE(SameID(C.Position(), Before.Position));
  }
  EXPECT_GT(Found, 100);
}

TEST(SearchScans, SearchTableEdgeCases) {
  TScanTable T;
  TSearchCursor C(T);
  // An empty table: no search, and a result set left unfilled.
  EXPECT_FALSE(SearchTable(T.Table, C, nullptr, nullptr, true, true, nullptr, nullptr, false));
  BuildResultBitmap(T.Table, C);
  EXPECT_FALSE(C.Set->Filled());

  for (int32_t A = 1; A <= 3; ++A) {
    T.Row(A, 1, A);
    T.Insert(*T.Cursor);
  }
  // A given condition without expression or index is refused.
  TTolvanScanSearchCondition Bad;
  Bad.ConditionType = sctEqual;
  EXPECT_EQ(NativeCodeOf([&] {
              SearchTable(T.Table, C, nullptr, &Bad, true, true, nullptr, nullptr, false);
            }),
            10388);
  // A contradictory range reads no record: the callback is never asked.
  C.SetIndexName("AB");
  std::vector<uint8_t> Key = T.Row(2, 1, -1);
  C.Range(Key.data(), Key.data(), 2, 2, true, true);
  int32_t Asked = 0;
  C.SetOnFilterRecord([&](uint8_t*) {
    ++Asked;
    return true;
  });
  BuildResultBitmap(T.Table, C);
  EXPECT_TRUE(C.Set->Filled());
  EXPECT_EQ(C.Set->Count(), 0);
  EXPECT_EQ(Asked, 0);
}

TEST(SearchScans, KeyConditionHoldsByType) {
  TScanTable T;
  const std::vector<uint8_t> Key = T.Row(2, 2, -1);
  const struct {
    int32_t A, B;
    bool Holds[6];
  } Cases[] = {
      {1, 3, {false, false, true, false, true, false}},
      {2, 2, {false, true, false, false, true, true}},
      {2, 3, {false, false, false, true, false, true}},
      {-1, -1, {false, false, true, false, true, false}},
  };
  for (const auto& C : Cases) {
    const std::vector<uint8_t> R = T.Row(C.A, C.B, 0);
    for (uint8_t Type = 0; Type <= 5; ++Type) {
      TTolvanScanSearchCondition Cond;
      Cond.ConditionType = Type;
      Cond.IndexID = T.IndexID(0);
      Cond.KeyFieldCount = 2;
      Cond.KeyBuffer = const_cast<uint8_t*>(Key.data());
      EXPECT_EQ(KeyConditionHolds(T.Search, Cond, R.data()), C.Holds[Type])
          << C.A << "," << C.B << " type " << int(Type);
    }
  }
}

TEST(SearchScans, BadDrivingPositionsAndMissingRecordsAreRefused) {
  TScanTable T;
  T.Row(1, 1, 1);
  const TTolvanRecordID ID = T.Insert(*T.Cursor);
  TTolvanSearchConditionList List(1);
  List[0].ConditionType = sctEqual;
  List[0].IndexID = T.IndexID(0);
  List[0].KeyFieldCount = 1;
  List[0].KeyBuffer = T.Cursor->Record();
  std::vector<uint8_t> Record(size_t(T.Table.RecordSize() + RecordTrailerSize));
  TTolvanScanRequest R;
  R.SessionID = T.SID();
  R.Conditions = &List;
  R.Record = Record.data();
  R.CursorIndexID = T.IndexID(1);
  for (const TTolvanDrivingConditions D :
       {TTolvanDrivingConditions{1, -1}, TTolvanDrivingConditions{0, 1},
        TTolvanDrivingConditions{-1, 0}}) {
    R.Driving = D;
    const ETolvanException E = Raised([&] { RunScan(T.Table, T.Search, R, nullptr); });
    EXPECT_EQ(E.NativeError(), 10382);
  }
  // The reordered scan from a current record that is gone.
  R.Driving = {0, -1};
  R.FromBeginning = false;
  R.CurrentRecordID = {ID.PageNo + 5, 0};
  EXPECT_EQ(NativeCodeOf([&] { RunScan(T.Table, T.Search, R, nullptr); }),
            ErrScanCurrentUnreadable);
  // An index-order or full scan from a record that is gone finds nothing.
  R.CursorIndexID = T.IndexID(0);
  EXPECT_FALSE(RunScan(T.Table, T.Search, R, nullptr));
  R.Driving = {-1, -1};
  EXPECT_FALSE(RunScan(T.Table, T.Search, R, nullptr));
  TTolvanNavState S;
  EXPECT_EQ(NativeCodeOf([&] { LoadRecord(T.Table, T.SID(), S); }), ErrLoadRecordNoBuffer);
}

} // namespace
