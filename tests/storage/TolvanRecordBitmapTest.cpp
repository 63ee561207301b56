#include "storage/TolvanRecordBitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TTolvanRecordID ID(int32_t PageNo, uint16_t ItemNo = 0) { return {PageNo, ItemNo}; }

std::vector<TTolvanRecordID> ItemsOf(const TTolvanRecordBitmap& Bitmap) {
  const auto& A = Bitmap.Items();
  return std::vector<TTolvanRecordID>(A.Items(), A.Items() + A.Count());
}

// What the bitmap promises, written plainly: a list, a sorted flag and the last id added while
// sorted. Ids here differ in PageNo only, so every compare order is PageNo order.
struct TModel {
  std::vector<TTolvanRecordID> Items;
  bool Sorted = true;
  TTolvanRecordID Last{0, 0};

  // The code the bitmap must raise, 0 for none.
  int32_t Add(const TTolvanRecordID& X) {
    if (Items.empty()) {
      Items.push_back(X);
      Last = X;
      return 0;
    }
    if (Sorted && X.PageNo == Last.PageNo)
      return 11328;
    Items.push_back(X);
    if (Sorted) {
      if (X.PageNo < Last.PageNo)
        Sorted = false;
      else
        Last = X;
    }
    return 0;
  }
  int64_t Find(const TTolvanRecordID& X) const {
    const auto It = std::find(Items.begin(), Items.end(), X);
    return It == Items.end() ? -1 : It - Items.begin();
  }
  int32_t Remove(const TTolvanRecordID& X) {
    const int64_t I = Find(X);
    if (I < 0)
      return 11327;
    Items.erase(Items.begin() + I);
    return 0;
  }
  int32_t InsertAfter(const TTolvanRecordID& X, const TTolvanRecordID& After, bool Prepend,
                      bool Append) {
    int64_t At;
    if (Append)
      At = int64_t(Items.size());
    else if (Prepend)
      At = 0;
    else {
      const int64_t I = Find(After);
      if (I < 0)
        return 11332;
      At = I + 1;
    }
    Items.insert(Items.begin() + At, X);
    Sorted = false;
    return 0;
  }
};

class RecordBitmap : public ::testing::Test {
protected:
  TTestOwner Owner;
  TTestTableData Table{Owner, FakeIndexFactory()};
};

TEST_F(RecordBitmap, AgreesWithAListModel) {
  std::mt19937 Rng(21);
  for (int Round = 0; Round < 40; ++Round) {
    TTolvanRecordBitmap Bitmap(&Table);
    Bitmap.SetFilled(true);
    TModel M;
    // Early rounds add mostly ascending ids, so the sorted paths (bisection beyond 10 items)
    // carry real weight.
    const bool Ascending = Round % 2 == 0;
    int32_t Next = 0;
    for (int Step = 0; Step < 300; ++Step) {
      const TTolvanRecordID X =
          Ascending && Rng() % 4 != 0 ? ID(Next += int32_t(Rng() % 3)) : ID(int32_t(Rng() % 60));
      const TTolvanRecordID Y = ID(int32_t(Rng() % 60));
      switch (Rng() % 9) {
      case 0:
      case 1:
      case 2: {
        const int32_t Expected = M.Add(X);
        EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(X); }), Expected);
        break;
      }
      case 3: {
        const int32_t Expected = M.Remove(X);
        EXPECT_EQ(NativeCodeOf([&] { Bitmap.Remove(X); }), Expected);
        break;
      }
      case 4:
        if (Rng() % 8 == 0) {
          const bool Prepend = Rng() % 2, Append = Rng() % 2;
          const int32_t Expected = M.InsertAfter(X, Y, Prepend, Append);
          EXPECT_EQ(NativeCodeOf([&] { Bitmap.InsertAfter(X, Y, Prepend, Append); }), Expected);
        }
        break;
      case 5:
        EXPECT_EQ(Bitmap.AcceptRecord(X), M.Find(X) >= 0);
        break;
      case 6: {
        const int64_t I = M.Find(X);
        EXPECT_EQ(Bitmap.RecNoOf(X), I < 0 ? -1 : I + 1);
        break;
      }
      case 7: {
        const int64_t RecNo = int64_t(Rng() % (M.Items.size() + 2));
        TTolvanRecordID Got{-5, 5};
        const int32_t Code = NativeCodeOf([&] { Bitmap.ItemAt(Got, RecNo); });
        if (RecNo >= 1 && RecNo <= int64_t(M.Items.size())) {
          EXPECT_EQ(Code, 0);
          EXPECT_EQ(Got, M.Items[size_t(RecNo - 1)]);
        } else
          EXPECT_EQ(Code, 11326);
        break;
      }
      case 8:
        if (Rng() % 40 == 0) {
          Bitmap.SetFilled(false);
          Bitmap.SetFilled(true);
          M = TModel();
        }
        break;
      }
      ASSERT_EQ(ItemsOf(Bitmap), M.Items) << "round " << Round << ", step " << Step;
      ASSERT_EQ(Bitmap.Items().Sorted(), M.Sorted);
      ASSERT_EQ(Bitmap.Count(), int64_t(M.Items.size()));
    }
  }
}

TEST_F(RecordBitmap, DuplicatesAreCaughtOnlyWhileSorted) {
  TTolvanRecordBitmap Bitmap(&Table);
  Bitmap.Add(ID(1));
  Bitmap.Add(ID(4));
  const ETolvanException E = Raised([&] { Bitmap.Add(ID(4)); });
  EXPECT_EQ(E.NativeError(), 11328);
  EXPECT_NE(std::string(E.what()).find("duplicate record ID = 4 0"), std::string::npos);
  Bitmap.Add(ID(2)); // below the last: accepted, and the set is no longer sorted
  EXPECT_FALSE(Bitmap.Items().Sorted());
  Bitmap.Add(ID(2));
  Bitmap.Add(ID(4));
  EXPECT_EQ(ItemsOf(Bitmap), (std::vector{ID(1), ID(4), ID(2), ID(2), ID(4)}));
}

TEST_F(RecordBitmap, IdsCompareInTheTablesOrder) {
  // A temporary table numbers its records by 48-bit sequence: {5, 0} comes before {1, 1}.
  Table.SetKind(false, true);
  TTolvanRecordBitmap Temporary(&Table);
  Temporary.Add(ID(5, 0));
  Temporary.Add(ID(1, 1));
  EXPECT_TRUE(Temporary.Items().Sorted());
  // An in-memory table orders by slot alone, so {5, 1} repeats {5, 0}.
  Table.SetKind(true, false);
  TTolvanRecordBitmap Memory(&Table);
  Memory.Add(ID(5, 0));
  EXPECT_EQ(NativeCodeOf([&] { Memory.Add(ID(5, 1)); }), 11328);
  Memory.Add(ID(1, 1));
  EXPECT_FALSE(Memory.Items().Sorted());
}

TEST_F(RecordBitmap, RaisesItsCodes) {
  EXPECT_EQ(NativeCodeOf([] { TTolvanRecordBitmap B(nullptr); }), 10425);
  TTolvanRecordBitmap Bitmap(&Table);
  for (int32_t I = 1; I <= 3; ++I)
    Bitmap.Add(ID(I));
  TTolvanRecordID Got{};
  const ETolvanException E = Raised([&] { Bitmap.ItemAt(Got, 0); });
  EXPECT_EQ(E.NativeError(), 11326);
  EXPECT_NE(std::string(E.what()).find("ItemNo = -1, ItemCount = 3"), std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.ItemAt(Got, 4); }), 11326);
  const ETolvanException R = Raised([&] { Bitmap.Remove(ID(9, 2)); });
  EXPECT_EQ(R.NativeError(), 11327);
  EXPECT_NE(std::string(R.what()).find("ID = 9, 2"), std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.InsertAfter(ID(7), ID(9), false, false); }), 11332);
  EXPECT_EQ(Bitmap.Count(), 3);
}

TEST_F(RecordBitmap, InsertAfterPlacesAndUnsorts) {
  TTolvanRecordBitmap Bitmap(&Table);
  Bitmap.Add(ID(1));
  Bitmap.Add(ID(3));
  Bitmap.InsertAfter(ID(2), ID(1), false, false);
  Bitmap.InsertAfter(ID(0), ID(3), true, false);
  Bitmap.InsertAfter(ID(9), ID(3), true, true);
  EXPECT_EQ(ItemsOf(Bitmap), (std::vector{ID(0), ID(1), ID(2), ID(3), ID(9)}));
  EXPECT_FALSE(Bitmap.Items().Sorted());
  Bitmap.SetFilled(false);
  EXPECT_EQ(Bitmap.Count(), 0);
  EXPECT_TRUE(Bitmap.Items().Sorted());
}

TEST_F(RecordBitmap, Navigate) {
  struct TCase {
    const char* Name;
    bool Filled;
    int32_t Count; // ids 1 .. Count
    uint8_t AtBegin, AtEnd;
    TTolvanGetRecordMode Mode;
    int32_t From;
    TTolvanGetRecordResult Result;
    int32_t Reached; // the RecordID afterwards
  };
  const TCase Cases[] = {
      {"not filled", false, 3, 0, 0, rmNext, 1, rrMissing, 1},
      {"empty", true, 0, 1, 0, rmNext, 7, rrEndReached, 7},
      {"begin, next", true, 3, 1, 0, rmNext, 7, rrOK, 1},
      {"begin, prior", true, 3, 1, 0, rmPrior, 7, rrBeginReached, 7},
      {"begin, current", true, 3, 1, 0, rmCurrent, 7, rrMissing, 7},
      {"end, prior", true, 3, 0, 1, rmPrior, 7, rrOK, 3},
      {"end, next", true, 3, 0, 1, rmNext, 7, rrEndReached, 7},
      {"end, current", true, 3, 0, 1, rmCurrent, 7, rrMissing, 7},
      {"absent id", true, 3, 0, 0, rmNext, 7, rrMissing, 7},
      {"current", true, 3, 0, 0, rmCurrent, 2, rrOK, 2},
      {"next", true, 3, 0, 0, rmNext, 2, rrOK, 3},
      {"next from the last", true, 3, 0, 0, rmNext, 3, rrEndReached, 3},
      {"prior", true, 3, 0, 0, rmPrior, 2, rrOK, 1},
      {"prior from the first", true, 3, 0, 0, rmPrior, 1, rrBeginReached, 1},
  };
  for (const TCase& C : Cases) {
    TTolvanRecordBitmap Bitmap(&Table);
    for (int32_t I = 1; I <= C.Count; ++I)
      Bitmap.Add(ID(I));
    Bitmap.SetFilled(true);
    if (!C.Filled)
      Bitmap.SetFilled(false);
    uint8_t Buffer[4] = {9, 9, 9, 9};
    TTolvanNavState S;
    S.Mode = C.Mode;
    S.RecordID = ID(C.From);
    S.AtBegin = C.AtBegin;
    S.AtEnd = C.AtEnd;
    S.Buffer = Buffer;
    S.Result = TTolvanGetRecordResult(9);
    Bitmap.Navigate(S);
    EXPECT_EQ(S.Result, C.Result) << C.Name;
    EXPECT_EQ(S.RecordID, ID(C.Reached)) << C.Name;
    EXPECT_EQ(S.AtBegin, C.AtBegin) << C.Name;
    EXPECT_EQ(S.AtEnd, C.AtEnd) << C.Name;
    EXPECT_EQ(S.Buffer, Buffer) << C.Name;
    EXPECT_EQ(Buffer[0], 9) << C.Name;
  }
}

TEST_F(RecordBitmap, TuneGrowthFollowsTheTableSize) {
  struct TCase {
    int64_t Records;
    int32_t MaxDelta, GrowDelta;
  };
  for (const TCase& C : {TCase{0, 1000, 10}, TCase{9, 1000, 10}, TCase{50000, 5000, 50},
                         TCase{5000000, 500000, 5000}}) {
    Table.TotalOverride = C.Records;
    TTolvanRecordBitmap Bitmap(&Table);
    Bitmap.TuneGrowth();
    EXPECT_EQ(Bitmap.Items().MaxDelta(), C.MaxDelta) << C.Records;
    EXPECT_EQ(Bitmap.Items().GrowDelta(), C.GrowDelta) << C.Records;
  }
  Table.TotalOverride = int64_t(INT32_MAX) + 1;
  TTolvanRecordBitmap Bitmap(&Table);
  EXPECT_THROW(Bitmap.TuneGrowth(), ERangeError);
}

} // namespace

namespace {

// Walks over an unsorted set, changed between the steps, reach what a list walk reaches: the
// position a step starts from is found afresh whenever the set moved it.
TEST_F(RecordBitmap, WalksAnUnsortedSetThatChangesOnTheWay) {
  std::mt19937 Rng(5);
  for (int Round = 0; Round < 20; ++Round) {
    std::vector<TTolvanRecordID> List;
    for (int32_t I = 1; I <= 40; ++I)
      List.push_back(ID(I));
    std::shuffle(List.begin(), List.end(), Rng);
    TTolvanRecordBitmap Bitmap(&Table);
    for (const TTolvanRecordID& X : List)
      Bitmap.Add(X);
    Bitmap.SetFilled(true);
    ASSERT_FALSE(Bitmap.Items().Sorted());
    const bool Forward = Round % 2 == 0;
    TTolvanNavState S;
    S.Mode = Forward ? rmNext : rmPrior;
    S.AtBegin = Forward;
    S.AtEnd = !Forward;
    int32_t NewID = 100;
    for (int Step = 0;; ++Step) {
      ASSERT_LT(Step, 200);
      // The model's answer from the current record.
      std::ptrdiff_t At = S.AtBegin ? -1 : S.AtEnd ? std::ptrdiff_t(List.size()) : -2;
      if (At == -2)
        At = std::find(List.begin(), List.end(), S.RecordID) - List.begin();
      const std::ptrdiff_t Want = Forward ? At + 1 : At - 1;
      Bitmap.Navigate(S);
      if (Want < 0 || Want >= std::ptrdiff_t(List.size())) {
        EXPECT_EQ(S.Result, Forward ? rrEndReached : rrBeginReached);
        break;
      }
      ASSERT_EQ(S.Result, rrOK);
      ASSERT_EQ(S.RecordID, List[size_t(Want)]) << "round " << Round << ", step " << Step;
      S.AtBegin = S.AtEnd = 0;
      // Another record leaves or arrives, shifting the current one's position.
      if (Rng() % 3 == 0 && List.size() > 2) {
        const size_t Other = Rng() % List.size();
        if (!(List[Other] == S.RecordID)) {
          Bitmap.Remove(List[Other]);
          List.erase(List.begin() + std::ptrdiff_t(Other));
        }
      } else if (Rng() % 3 == 0) {
        const size_t After = Rng() % List.size();
        Bitmap.InsertAfter(ID(NewID), List[After], false, false);
        List.insert(List.begin() + std::ptrdiff_t(After) + 1, ID(NewID++));
      }
      EXPECT_EQ(Bitmap.AcceptRecord(S.RecordID), true);
    }
  }
}

} // namespace
