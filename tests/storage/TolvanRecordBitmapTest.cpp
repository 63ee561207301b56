#include "storage/TolvanRecordBitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <random>
#include <unordered_map>
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
    if (Find(X) >= 0)
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
    const bool Behind = !Append && !Prepend;
    if (Behind && Find(After) < 0)
      return 11332;
    // An id already in the set moves; behind itself it stays.
    if (const int64_t Old = Find(X); Old >= 0) {
      if (Behind && X == After) {
        Sorted = false;
        return 0;
      }
      Items.erase(Items.begin() + Old);
    }
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

TEST_F(RecordBitmap, DuplicatesAreCaughtSortedOrNot) {
  TTolvanRecordBitmap Bitmap(&Table);
  Bitmap.Add(ID(1));
  Bitmap.Add(ID(4));
  const ETolvanException E = Raised([&] { Bitmap.Add(ID(4)); });
  EXPECT_EQ(E.NativeError(), 11328);
  EXPECT_NE(std::string(E.what()).find("duplicate record ID = 4 0"), std::string::npos);
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(1)); }), 11328); // below the last, and present
  Bitmap.Add(ID(2)); // below the last: accepted, and the set is no longer sorted
  EXPECT_FALSE(Bitmap.Items().Sorted());
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(2)); }), 11328);
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(4)); }), 11328);
  // A removed id may come back, and the last one added again keeps a sorted set sorted.
  Bitmap.Remove(ID(2));
  Bitmap.Add(ID(2));
  TTolvanRecordBitmap Ascending(&Table);
  Ascending.Add(ID(1));
  Ascending.Add(ID(4));
  Ascending.Remove(ID(4));
  Ascending.Add(ID(4));
  EXPECT_TRUE(Ascending.Sorted());
  // InsertAfter moves an id already in the set.
  Bitmap.InsertAfter(ID(1), ID(2), false, false);
  EXPECT_EQ(ItemsOf(Bitmap), (std::vector{ID(4), ID(2), ID(1)}));
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

namespace {

// Sets large enough for a tree of several levels, against a linked list with a map from id to
// its place: every change there costs O(1), so the model keeps pace with large sets. Positions
// are compared through a snapshot now and then.
class TListModel {
public:
  bool Has(int32_t X) const { return FWhere.count(X) != 0; }
  size_t Size() const { return FList.size(); }
  void PushBack(int32_t X) { FWhere[X] = FList.insert(FList.end(), X); }
  void PushFront(int32_t X) { FWhere[X] = FList.insert(FList.begin(), X); }
  void InsertBehind(int32_t X, int32_t After) {
    FWhere[X] = FList.insert(std::next(FWhere.at(After)), X);
  }
  void Erase(int32_t X) {
    FList.erase(FWhere.at(X));
    FWhere.erase(X);
  }
  std::vector<TTolvanRecordID> Snapshot() const {
    std::vector<TTolvanRecordID> V;
    for (int32_t X : FList)
      V.push_back(ID(X));
    return V;
  }

private:
  std::list<int32_t> FList;
  std::unordered_map<int32_t, std::list<int32_t>::iterator> FWhere;
};

TEST_F(RecordBitmap, LargeSetsAgreeWithAListModel) {
  for (const bool Ascending : {true, false}) {
    SCOPED_TRACE(Ascending ? "built ascending" : "built in index order");
    std::mt19937 Rng(Ascending ? 7 : 8);
    TTolvanRecordBitmap Bitmap(&Table);
    Bitmap.SetFilled(true);
    TListModel M;
    std::vector<int32_t> Members; // for picking one at random; order does not matter
    const auto Pick = [&] { return Members[Rng() % Members.size()]; };
    // The build: ids with gaps, so that absent ids fall between present ones.
    std::vector<int32_t> Build;
    for (int32_t I = 0; I < 20000; ++I)
      Build.push_back(I * 3);
    if (!Ascending)
      std::shuffle(Build.begin(), Build.end(), Rng);
    for (int32_t X : Build) {
      Bitmap.Add(ID(X));
      M.PushBack(X);
      Members.push_back(X);
    }
    ASSERT_EQ(Bitmap.Sorted(), Ascending);
    ASSERT_EQ(Bitmap.IDs(), M.Snapshot());
    int32_t NextNew = 100000;
    for (int Step = 0; Step < 30000; ++Step) {
      const int32_t Any = int32_t(Rng() % 60000);
      switch (Rng() % 8) {
      case 0: // remove, often near the front where a moving tail costs most
      case 1: {
        const size_t I = Rng() % Members.size();
        const int32_t X = Members[I];
        Members[I] = Members.back();
        Members.pop_back();
        Bitmap.Remove(ID(X));
        M.Erase(X);
        break;
      }
      case 2: // while sorted, keep adding ascending; otherwise anything
        if (Bitmap.Sorted() || Rng() % 2) {
          const int32_t X = NextNew++;
          Bitmap.Add(ID(X));
          M.PushBack(X);
          Members.push_back(X);
        } else {
          ASSERT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(Any)); }), M.Has(Any) ? 11328 : 0);
          if (!M.Has(Any)) {
            M.PushBack(Any);
            Members.push_back(Any);
          }
        }
        break;
      case 3:
        if (!Ascending || Step > 20000) {
          const int32_t X = NextNew++, After = Pick();
          const uint32_t How = Rng() % 6;
          Bitmap.InsertAfter(ID(X), ID(After), How == 0, How == 1);
          if (How == 0)
            M.PushFront(X);
          else if (How == 1)
            M.PushBack(X);
          else
            M.InsertBehind(X, After);
          Members.push_back(X);
        }
        break;
      case 4:
        ASSERT_EQ(Bitmap.AcceptRecord(ID(Any)), M.Has(Any)) << Any;
        break;
      case 5: { // a step of a walk from a member
        TTolvanNavState S;
        S.Mode = Rng() % 2 ? rmNext : rmPrior;
        S.RecordID = ID(Pick());
        const int64_t RecNo = Bitmap.RecNoOf(S.RecordID);
        ASSERT_GE(RecNo, 1);
        Bitmap.Navigate(S);
        const int64_t Want = S.Mode == rmNext ? RecNo + 1 : RecNo - 1;
        if (Want < 1 || Want > Bitmap.Count())
          ASSERT_EQ(S.Result, S.Mode == rmNext ? rrEndReached : rrBeginReached);
        else
          ASSERT_EQ(Bitmap.RecNoOf(S.RecordID), Want);
        break;
      }
      default:
        break;
      }
      ASSERT_EQ(Bitmap.Count(), int64_t(M.Size()));
      if (Step % 3000 == 2999) {
        const std::vector<TTolvanRecordID> Want = M.Snapshot();
        ASSERT_EQ(Bitmap.IDs(), Want) << "step " << Step;
        for (int K = 0; K < 200; ++K) {
          const size_t I = Rng() % Want.size();
          ASSERT_EQ(Bitmap.RecNoOf(Want[I]), int64_t(I) + 1);
          TTolvanRecordID Got{};
          Bitmap.ItemAt(Got, int64_t(I) + 1);
          ASSERT_EQ(Got, Want[I]);
        }
      }
    }
    EXPECT_EQ(Bitmap.Sorted(), false);
    // Emptied one by one, the set works as a fresh one.
    for (int32_t X : Members)
      Bitmap.Remove(ID(X));
    EXPECT_EQ(Bitmap.Count(), 0);
    Bitmap.Add(ID(5));
    Bitmap.Add(ID(1));
    EXPECT_EQ(Bitmap.IDs(), (std::vector{ID(5), ID(1)}));
  }
}

// A quadratic path over 200 000 ids takes minutes; the tree takes a fraction of a second.
TEST_F(RecordBitmap, LargeSetsChangeWithoutQuadraticCost) {
  using TClock = std::chrono::steady_clock;
  constexpr int32_t N = 200000;
  const TClock::time_point Start = TClock::now();
  std::mt19937 Rng(3);
  // An index-order set: every lookup is by hash, every change in the middle.
  {
    std::vector<int32_t> Members(N);
    for (int32_t I = 0; I < N; ++I)
      Members[size_t(I)] = I;
    std::shuffle(Members.begin(), Members.end(), Rng);
    TTolvanRecordBitmap Bitmap(&Table);
    for (int32_t X : Members)
      Bitmap.Add(ID(X));
    Bitmap.SetFilled(true);
    int32_t NextNew = N;
    for (int32_t Step = 0; Step < N; ++Step) {
      const size_t Out = Rng() % Members.size();
      Bitmap.Remove(ID(Members[Out]));
      Members[Out] = Members.back();
      Members.pop_back();
      const int32_t After = Members[Rng() % Members.size()];
      Bitmap.InsertAfter(ID(NextNew), ID(After), false, false);
      Members.push_back(NextNew++);
      TTolvanNavState S;
      S.Mode = rmNext;
      S.RecordID = ID(After);
      Bitmap.Navigate(S);
      ASSERT_EQ(S.RecordID, ID(NextNew - 1));
      ASSERT_EQ(Bitmap.RecNoOf(ID(NextNew - 1)), Bitmap.RecNoOf(ID(After)) + 1);
    }
    EXPECT_EQ(Bitmap.Count(), N);
  }
  // A sorted set emptied from the front.
  {
    TTolvanRecordBitmap Bitmap(&Table);
    for (int32_t I = 0; I < N; ++I)
      Bitmap.Add(ID(I));
    for (int32_t I = 0; I < N; ++I) {
      ASSERT_EQ(Bitmap.RecNoOf(ID(I)), 1);
      Bitmap.Remove(ID(I));
    }
    EXPECT_EQ(Bitmap.Count(), 0);
  }
  EXPECT_LT(TClock::now() - Start, std::chrono::seconds(5));
}

// The operations a scan orders its additions with.
TEST_F(RecordBitmap, SortAndReorderFrom) {
  TTolvanRecordBitmap Bitmap(&Table);
  for (int32_t X : {9, 3, 7, 1, 5})
    Bitmap.Add(ID(X));
  Bitmap.SortFrom(2);
  EXPECT_EQ(Bitmap.IDs(), (std::vector{ID(9), ID(3), ID(1), ID(5), ID(7)}));
  EXPECT_FALSE(Bitmap.Sorted());
  Bitmap.SortFrom(0);
  EXPECT_EQ(Bitmap.IDs(), (std::vector{ID(1), ID(3), ID(5), ID(7), ID(9)}));
  EXPECT_TRUE(Bitmap.Sorted());
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(9)); }), 11328);
  Bitmap.Add(ID(11));
  EXPECT_TRUE(Bitmap.Sorted());
  Bitmap.ReorderFrom(3, {ID(11), ID(9), ID(7)});
  EXPECT_EQ(Bitmap.IDs(), (std::vector{ID(1), ID(3), ID(5), ID(11), ID(9), ID(7)}));
  EXPECT_FALSE(Bitmap.Sorted());
  EXPECT_EQ(Bitmap.RecNoOf(ID(9)), 5);
  EXPECT_EQ(NativeCodeOf([&] { Bitmap.Add(ID(7)); }), 11328);
}

} // namespace
