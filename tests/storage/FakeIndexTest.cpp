// The multimap index is the model other indexes are measured against, so its own operations are
// checked here against orders written out by hand.
#include "tests/storage/FakeIndex.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/foundation/TestSupport.h"
#include "tests/storage/PageAccounting.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TIDs = std::vector<TTolvanRecordID>;

// Table (ID Integer, NAME Char(10), AGE Integer), indexes ByName and ByAge (unique).
class FakeIndex : public ::testing::Test, public TTableFixture {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "NAME", tftChar, 10);
    AddField(Fields, "AGE", tftInteger);
    TTolvanIndexDefs Defs;
    AddIndexDef(Defs, "ByName", {"NAME"});
    AddIndexDef(Defs, "ByAge", {"AGE"}, true);
    Create(Fields, Defs);
    Scratch = NewCursor(&Session);
    const char* Names[] = {"bob", "ann", "bob", "cid", "ann"};
    const int32_t Ages[] = {30, 10, 50, 20, 40};
    for (int32_t I = 0; I < 5; ++I) {
      ClearRecord(*Cursor);
      SetInt(*Cursor, 0, I);
      SetText(*Cursor, 1, Names[I]);
      SetInt(*Cursor, 2, Ages[I]);
      R.push_back(Insert(*Cursor));
    }
  }
  TFakeIndex& Index(int32_t Position) {
    return static_cast<TFakeIndex&>(Indexes().GetIndex(IndexID(Position)));
  }
  // Reads R[I] into the scratch cursor and returns its record.
  uint8_t* Record(int32_t I) {
    const std::vector<uint8_t> Stored = Table.Records().Stored(R[size_t(I)].PageNo);
    std::copy(Stored.begin(), Stored.end(), Scratch->RecordBytes().begin());
    return Scratch->Record();
  }
  TIDs Walk(int32_t Position, bool Forward) {
    TIDs Seen;
    std::vector<uint8_t> Buffer(Scratch->RecordBytes().size());
    TTolvanNavState S;
    S.Mode = Forward ? rmNext : rmPrior;
    S.AtBegin = Forward;
    S.AtEnd = !Forward;
    S.Buffer = Buffer.data();
    for (Index(Position).GetRecord(1, S); S.Result == rrOK; Index(Position).GetRecord(1, S))
      Seen.push_back(S.RecordID);
    EXPECT_EQ(S.Result, Forward ? rrEndReached : rrBeginReached);
    EXPECT_EQ(S.AtEnd, Forward ? 1 : 0);
    return Seen;
  }

  TIDs R;
  std::unique_ptr<TTestCursor> Scratch;
};

TEST_F(FakeIndex, OrdersKeysNewestFirstAmongEqualsAndSurvivesReopening) {
  // ann (R1, R4 newest first), bob (R2, R0), cid (R3).
  const TIDs ByName = {R[4], R[1], R[2], R[0], R[3]};
  const TIDs ByAge = {R[1], R[3], R[0], R[4], R[2]};
  EXPECT_EQ(Keys(IndexID(0)), ByName);
  EXPECT_EQ(Keys(IndexID(1)), ByAge);
  Indexes().CloseIndex(IndexID(0));
  EXPECT_EQ(Keys(IndexID(0)), ByName);
  EXPECT_EQ(Walk(0, true), ByName);
  EXPECT_EQ(Walk(0, false), TIDs(ByName.rbegin(), ByName.rend()));
  EXPECT_EQ(PageAccountingFaults(Table.Store()), "");
}

TEST_F(FakeIndex, NavigationAtTheEnds) {
  std::vector<uint8_t> Buffer(Scratch->RecordBytes().size());
  TTolvanNavState S;
  S.Buffer = Buffer.data();
  S.AtBegin = 1;
  S.Mode = rmPrior;
  Index(1).GetRecord(1, S);
  EXPECT_EQ(S.Result, rrBeginReached);
  S.AtBegin = 0;
  S.AtEnd = 1;
  S.Mode = rmNext;
  Index(1).GetRecord(1, S);
  EXPECT_EQ(S.Result, rrEndReached);
  S.Mode = rmCurrent;
  EXPECT_EQ(NativeCodeOf([&] { Index(1).GetRecord(1, S); }), 20053);
  // Starting from a record the index does not hold.
  S = TTolvanNavState();
  S.Buffer = Record(0);
  S.RecordID = R[1];
  S.Mode = rmNext;
  Index(1).GetRecord(1, S);
  EXPECT_EQ(S.Result, rrMissing);
}

TEST_F(FakeIndex, RecordNumbersInvert) {
  TTolvanRecordBitmap Bitmap(&Table);
  for (int32_t I : {0, 2, 4})
    Bitmap.Add(R[size_t(I)]);
  const TIDs ByAge = Keys(IndexID(1));
  for (const bool Filtered : {false, true}) {
    Bitmap.SetFilled(Filtered);
    if (Filtered)
      for (int32_t I : {0, 2, 4})
        Bitmap.Add(R[size_t(I)]);
    int64_t Expected = 0;
    for (const TTolvanRecordID& ID : ByAge) {
      const int32_t I = int32_t(std::find(R.begin(), R.end(), ID) - R.begin());
      const bool Counted = !Filtered || Bitmap.AcceptRecord(ID);
      Expected += Counted;
      const int64_t RecNo = Index(1).GetRecNo(1, ID, Record(I), &Bitmap);
      EXPECT_EQ(RecNo, Expected);
      if (Counted) {
        TTolvanRecordID Got{};
        Index(1).GetRecordIDByRecNo(1, &Bitmap, RecNo, Got);
        EXPECT_EQ(Got, ID);
      }
    }
    TTolvanRecordID Got{};
    EXPECT_EQ(NativeCodeOf([&] { Index(1).GetRecordIDByRecNo(1, &Bitmap, Expected + 1, Got); }),
              20075);
    Index(1).GetRecordIDByRecNo(1, &Bitmap, 0, Got);
    EXPECT_EQ(Got, Filtered ? R[0] : R[1]);
  }
}

TEST_F(FakeIndex, RangeScans) {
  auto Key = [&](int32_t Age) {
    auto C = NewCursor(&Session);
    SetInt(*C, 2, Age);
    return C;
  };
  const auto Low = Key(20), High = Key(40), Thirty = Key(30);
  TTolvanScanSearchCondition From, To, Equal;
  From.ConditionType = sctGreaterOrEqual;
  From.KeyBuffer = Low->Record();
  From.KeyFieldCount = 1;
  To.ConditionType = sctLessOrEqual;
  To.KeyBuffer = High->Record();
  To.KeyFieldCount = 1;
  Equal.ConditionType = sctEqual;
  Equal.KeyBuffer = Thirty->Record();
  Equal.KeyFieldCount = 1;
  auto Scan = [&](const TTolvanScanSearchCondition* Start, const TTolvanScanSearchCondition* End,
                  bool Forward) {
    TIDs Seen;
    TTolvanIndexScanState* State = Index(1).CreateScanState();
    TTolvanRecordID ID{};
    for (bool First = true; Index(1).ScanNext(1, First, Forward, Start, End, nullptr, ID, State);
         First = false)
      Seen.push_back(ID);
    Index(1).FreeScanState(State);
    return Seen;
  };
  // Ages: R1 10, R3 20, R0 30, R4 40, R2 50.
  EXPECT_EQ(Scan(&From, &To, true), (TIDs{R[3], R[0], R[4]}));
  EXPECT_EQ(Scan(&To, &From, false), (TIDs{R[4], R[0], R[3]}));
  EXPECT_EQ(Scan(&Equal, nullptr, true), TIDs{R[0]});
  EXPECT_EQ(Scan(nullptr, nullptr, false).size(), 5u);
  EXPECT_EQ(Index(1).EstimateRangeCount(1, From, 5, To), 3);
  EXPECT_EQ(Index(1).EstimateRangeCount(1, From, 2, To), 2);

  // Resumed after R0, whose record is in the buffer.
  TTolvanIndexScanState* State = Index(1).CreateScanState();
  TTolvanRecordID ID = R[0];
  ASSERT_TRUE(Index(1).ScanNext(1, false, true, &From, &To, Record(0), ID, State));
  EXPECT_EQ(ID, R[4]);
  EXPECT_EQ(NativeCodeOf([&] { Index(1).ScanNext(1, true, true, &From, &To, nullptr, ID, State); }),
            20078);
  Index(1).FreeScanState(State);
  EXPECT_EQ(
      NativeCodeOf([&] { Index(1).ScanNext(1, true, true, &From, &To, nullptr, ID, nullptr); }),
      20077);
  EXPECT_EQ(Index(1).ConditionDirection(From), -1);
  EXPECT_EQ(Index(1).ConditionDirection(To), 1);
  EXPECT_EQ(Index(1).ConditionDirection(Equal), 0);
}

TEST_F(FakeIndex, UniquenessAndDuplicates) {
  EXPECT_FALSE(Index(1).IsKeyUnique(1, Record(0)));
  EXPECT_TRUE(Index(1).IsKeyUniqueOnUpdate(1, Record(0), Record(0)));
  auto Fresh = NewCursor(&Session);
  SetInt(*Fresh, 2, 35);
  EXPECT_TRUE(Index(1).IsKeyUnique(1, Fresh->Record()));
  EXPECT_TRUE(Index(0).IsKeyUnique(1, Record(0))); // not a unique index

  TTolvanRecordBitmap Bitmap(&Table);
  for (const TTolvanRecordID& ID : R)
    Bitmap.Add(ID);
  Index(0).RemoveDuplicateKeys(1, &Bitmap);
  // The first of each run in index order stays: ann R4, bob R2, cid R3.
  EXPECT_EQ(Bitmap.Count(), 3);
  for (int32_t I : {4, 2, 3})
    EXPECT_TRUE(Bitmap.AcceptRecord(R[size_t(I)]));
  EXPECT_EQ(NativeCodeOf([&] { Index(0).RemoveDuplicateKeys(1, nullptr); }), 20076);

  TTolvanIndexKeyPath* A = Index(0).CreateKeyPath();
  TTolvanIndexKeyPath* B = Index(0).CreateKeyPath();
  ASSERT_TRUE(Index(0).FindKeyPath(1, R[2], Record(2), A));
  ASSERT_TRUE(Index(0).FindKeyPath(1, R[0], Record(0), B));
  EXPECT_EQ(Index(0).CompareKeyPaths(A, B), -1);
  EXPECT_EQ(Index(0).CompareKeyPaths(B, A), 1);
  EXPECT_EQ(NativeCodeOf([&] { Index(0).CompareKeyPaths(nullptr, A); }), 10384);
  EXPECT_EQ(NativeCodeOf([&] { Index(0).CompareKeyPaths(A, nullptr); }), 10385);
  Index(0).FreeKeyPath(A);
  Index(0).FreeKeyPath(B);
  EXPECT_EQ(A, nullptr);
}

} // namespace
