#include "foundation/TolvanArrays.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"

using namespace tolvan;

namespace {

TTolvanRecordID RID(int32_t PageNo, uint16_t PageItemNo) { return {PageNo, PageItemNo}; }

std::vector<TTolvanRecordID> Contents(const TTolvanRecordIDArray& A) {
  return std::vector<TTolvanRecordID>(A.Items(), A.Items() + A.Count());
}

// The default order written out plainly, as the reference for sort and search.
bool DefaultLess(const TTolvanRecordID& A, const TTolvanRecordID& B) {
  if (A.PageNo != B.PageNo)
    return A.PageNo < B.PageNo;
  return A.PageItemNo < B.PageItemNo;
}

bool NumberLess(const TTolvanRecordID& A, const TTolvanRecordID& B) {
  if (A.PageItemNo != B.PageItemNo)
    return A.PageItemNo < B.PageItemNo;
  return uint32_t(A.PageNo) < uint32_t(B.PageNo);
}

std::vector<TTolvanRecordID> RandomIDs(std::mt19937& Rng, int N, int32_t PageRange,
                                       uint16_t ItemRange) {
  std::uniform_int_distribution<int32_t> Page(-PageRange, PageRange);
  std::uniform_int_distribution<int> Item(0, ItemRange);
  std::vector<TTolvanRecordID> V(size_t(N), TTolvanRecordID{0, 0});
  for (auto& ID : V)
    ID = RID(Page(Rng), uint16_t(Item(Rng)));
  return V;
}

void Fill(TTolvanRecordIDArray& A, const std::vector<TTolvanRecordID>& V) {
  for (const auto& ID : V)
    A.Add(ID);
}

} // namespace

TEST(TolvanRecordID, SixPackedLittleEndianBytes) {
  TTolvanRecordID ID = RID(0x01020304, 0xA0B0);
  uint8_t B[6];
  std::memcpy(B, &ID, 6);
  const uint8_t Want[6] = {0x04, 0x03, 0x02, 0x01, 0xB0, 0xA0};
  EXPECT_EQ(std::memcmp(B, Want, 6), 0);
}

TEST(TolvanGrowableArray, GrowthStepDoublesUpToMaxDelta) {
  TTolvanIntegerArray A(0, 10, 100);
  EXPECT_EQ(A.Capacity(), 0);
  EXPECT_EQ(A.Items(), nullptr);
  std::vector<int32_t> Seen;
  for (int32_t I = 0; I < 441; ++I) {
    A.Add(I);
    if (Seen.empty() || Seen.back() != A.Capacity())
      Seen.push_back(A.Capacity());
  }
  EXPECT_EQ(Seen, (std::vector<int32_t>{20, 60, 140, 240, 340, 440, 540}));
  EXPECT_EQ(A.GrowDelta(), 100);
  for (int32_t I = 0; I < 441; ++I)
    ASSERT_EQ(A[I], I);

  // A count given to the constructor takes the first step too; a jump past the step takes
  // exactly the count.
  TTolvanInt64Array B(5, 10, 100);
  EXPECT_EQ(B.Count(), 5);
  EXPECT_EQ(B.Capacity(), 20);
  B.SetCount(500);
  EXPECT_EQ(B.Capacity(), 500);
  EXPECT_EQ(B.GrowDelta(), 40);
  for (int64_t I = 0; I < 500; ++I)
    ASSERT_EQ(B[I], 0);
}

TEST(TolvanGrowableArray, SetCountZeroReleasesAndTheNextAddStepsFurther) {
  TTolvanRecordIDArray A(0, 10, 100);
  A.Add(RID(1, 1));
  EXPECT_EQ(A.Capacity(), 20);
  A.SetCount(0);
  EXPECT_EQ(A.Count(), 0);
  EXPECT_EQ(A.Capacity(), 0);
  EXPECT_EQ(A.Items(), nullptr);
  EXPECT_EQ(A.GrowDelta(), 20);
  A.Add(RID(2, 2));
  EXPECT_EQ(A.Capacity(), 40);
  EXPECT_EQ(A[0], RID(2, 2));
}

// Reserved room takes that many Adds without a reallocation, even under a failing allocator.
TEST(TolvanGrowableArray, ReserveMakesAddsAllocationFree) {
  TTolvanIntegerArray A(0, 10, 100);
  A.Add(7);
  A.Delete(0); // storage released with the last item
  A.Reserve(5);
  EXPECT_EQ(A.Count(), 0);
  EXPECT_GE(A.Capacity(), 5);
  {
    TAllocationFailure Hook(1);
    for (int32_t I = 0; I < 5; ++I)
      A.Add(I);
    EXPECT_FALSE(Hook.Fired());
  }
  EXPECT_EQ(A[4], 4);
  const int32_t Capacity = A.Capacity();
  A.Reserve(0);
  A.Reserve(Capacity - 5);
  EXPECT_EQ(A.Capacity(), Capacity);
}

TEST(TolvanGrowableArray, DeleteKeepsStorageAndSetCountShrinks) {
  TTolvanIntegerArray A(0, 1, 100);
  for (int32_t I = 0; I < 30; ++I)
    A.Add(I * 10);
  const int32_t Full = A.Capacity();
  EXPECT_EQ(Full, 30); // steps 2, 4, 8, 16 then jumps: 2, 6, 14, 30
  A.Delete(0);
  A.Delete(28);
  A.Delete(10);
  EXPECT_EQ(A.Count(), 27);
  EXPECT_EQ(A.Capacity(), Full);
  EXPECT_EQ(A[0], 10);
  EXPECT_EQ(A[9], 100);
  EXPECT_EQ(A[10], 120);
  EXPECT_EQ(A[26], 280);

  // A smaller count with more than ShrinkDelta slots to spare cuts the storage to the count
  // exactly and doubles ShrinkDelta.
  A.SetCount(26);
  EXPECT_EQ(A.Capacity(), 26);
  EXPECT_EQ(A.ShrinkDelta(), 2);
  EXPECT_EQ(A[25], 270);

  TTolvanIntegerArray B(0, 10, 100);
  for (int32_t I = 0; I < 20; ++I)
    B.Add(I);
  ASSERT_EQ(B.Capacity(), 20);
  B.SetCount(10); // slack 10, not more than ShrinkDelta 10: kept
  EXPECT_EQ(B.Capacity(), 20);
  B.SetCount(9); // slack 11: cut to 9, ShrinkDelta 20
  EXPECT_EQ(B.Capacity(), 9);
  EXPECT_EQ(B.ShrinkDelta(), 20);
  EXPECT_EQ(B[8], 8);
  B.SetCount(12); // regrowth: slots 9..11 read as zero
  EXPECT_EQ(B.Capacity(), 9 + 40);
  EXPECT_EQ(B.GrowDelta(), 40);
  EXPECT_EQ(B[9], 0);
  EXPECT_EQ(B[11], 0);

  // Deleting down to nothing releases the storage with the last item.
  TTolvanIntegerArray C(0, 10, 100);
  C.Add(1);
  C.Add(2);
  C.Delete(0);
  EXPECT_EQ(C.Capacity(), 20);
  C.Delete(0);
  EXPECT_EQ(C.Capacity(), 0);
  EXPECT_EQ(C.Items(), nullptr);
}

TEST(TolvanGrowableArray, SlotsComeBackZeroWithinTheCapacity) {
  TTolvanInt64Array A(0, 10, 100);
  for (int64_t I = 1; I <= 5; ++I)
    A.Add(I << 40);
  A.Delete(4);
  A.SetCount(2); // slack 18 > 10: cut to 2
  A.SetCount(4);
  EXPECT_EQ(A[1], int64_t(2) << 40);
  EXPECT_EQ(A[2], 0);
  EXPECT_EQ(A[3], 0);

  TTolvanIntegerArray B(0, 10, 100);
  B.Add(7);
  B.Add(8);
  B.Delete(1);
  B.SetCount(2); // within the capacity: the deleted slot is cleared
  EXPECT_EQ(B[1], 0);

  // Past the capacity: the slots given up by Delete are cleared along with the new ones.
  TTolvanRecordIDArray C(0, 10, 100);
  for (int32_t I = 1; I <= 5; ++I)
    C.Add(RID(I, 1));
  for (int I = 0; I < 4; ++I)
    C.Delete(0);
  C.SetCount(25);
  ASSERT_EQ(C.Capacity(), 60);
  EXPECT_EQ(C[0], RID(5, 1));
  for (int32_t I = 1; I < 25; ++I)
    ASSERT_EQ(C[I], RID(0, 0)) << I;
}

TEST(TolvanGrowableArray, BadPositionsAndCountsRaise) {
  TTolvanIntegerArray A(0, 10, 100);
  A.Add(1);
  EXPECT_THROW(A.Delete(1), EListError);
  EXPECT_THROW(A.Delete(-1), EListError);
  EXPECT_THROW(A.SetCount(-1), ERangeError);
  TTolvanInt64Array B(0, 10, 100);
  EXPECT_THROW(B.Delete(int64_t(1) << 33), EListError);
  TTolvanRecordIDArray C(0, 10, 100);
  EXPECT_THROW(C.Insert(-1, RID(1, 1)), EListError);
  EXPECT_EQ(A.Count(), 1);
  EXPECT_EQ(C.Count(), 0);
  // Storage too large for a block is refused by the memory manager.
  EXPECT_THROW(B.SetCount(int64_t(1) << 40), ETolvanException);
  EXPECT_EQ(B.Count(), 0);
}

TEST(TolvanGrowableArray, DamagedStorageGuard) {
  // The explicit release reports the overrun; the destructor does not.
  TTolvanIntegerArray A(0, 10, 100);
  A.Add(1);
  A.Items()[A.Capacity()] = 0; // over the tail guard
  try {
    A.SetCount(0);
    ADD_FAILURE() << "no overrun reported";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 30137);
  }
  EXPECT_EQ(A.Capacity(), 0);
  EXPECT_EQ(A.Items(), nullptr);

  auto* B = new TTolvanRecordIDArray(3, 10, 100);
  std::memset(B->Items() + B->Capacity(), 0, 4);
  delete B;
}

TEST(TolvanGrowableArray, IntegerIndexOfFindsTheFirst) {
  TTolvanIntegerArray A(0, 10, 100);
  EXPECT_EQ(A.IndexOf(0), -1);
  for (int32_t V : {5, -3, 7, -3, 5})
    A.Add(V);
  EXPECT_EQ(A.IndexOf(5), 0);
  EXPECT_EQ(A.IndexOf(-3), 1);
  EXPECT_EQ(A.IndexOf(7), 2);
  EXPECT_EQ(A.IndexOf(8), -1);
  EXPECT_TRUE(A.Contains(-3));
  EXPECT_FALSE(A.Contains(0)); // the zeroed spare slots are not items
}

TEST(TolvanGrowableArray, RandomOperationsAgreeWithAVector) {
  std::mt19937 Rng(42);
  TTolvanIntegerArray A(0, 1, 64);
  std::vector<int32_t> Model;
  for (int Step = 0; Step < 20000; ++Step) {
    const int Op = int(Rng() % 100);
    if (Op < 55) {
      const int32_t V = int32_t(Rng() % 1000);
      A.Add(V);
      Model.push_back(V);
    } else if (Op < 90 && !Model.empty()) {
      const int32_t I = int32_t(Rng() % Model.size());
      A.Delete(I);
      Model.erase(Model.begin() + I);
    } else if (Op < 98) {
      const int32_t N = int32_t(Rng() % (Model.size() + 40));
      A.SetCount(N);
      Model.resize(size_t(N), 0);
    } else {
      const int32_t V = int32_t(Rng() % 1000);
      auto It = std::find(Model.begin(), Model.end(), V);
      ASSERT_EQ(A.IndexOf(V), It == Model.end() ? -1 : int32_t(It - Model.begin()));
    }
    ASSERT_EQ(A.Count(), int32_t(Model.size()));
    ASSERT_GE(A.Capacity(), A.Count());
  }
  ASSERT_TRUE(std::equal(Model.begin(), Model.end(), A.Items()));
}

TEST(TolvanRecordIDArray, InsertPlacesOrAppends) {
  TTolvanRecordIDArray A(0, 10, 100);
  A.SetSorted(false);
  A.Insert(5, RID(1, 0)); // only item: position 0
  A.Insert(1, RID(3, 0)); // at the new last position: appends
  A.Insert(0, RID(0, 0));
  A.Insert(2, RID(2, 0)); // before the item at 2
  A.Insert(99, RID(4, 0));
  A.Insert(3, RID(9, 9)); // the old last position: goes before the last item
  EXPECT_EQ(Contents(A), (std::vector<TTolvanRecordID>{RID(0, 0), RID(1, 0), RID(2, 0), RID(9, 9),
                                                       RID(3, 0), RID(4, 0)}));
  EXPECT_FALSE(A.Sorted()); // Insert and Add leave the flag alone
  A.Add(RID(0, 0));
  EXPECT_FALSE(A.Sorted());
  // Insert grows like Add.
  for (int I = 0; I < 100; ++I)
    A.Insert(0, RID(I, 1));
  EXPECT_EQ(A.Count(), 107);
  EXPECT_EQ(A.Capacity(), 140);
  EXPECT_EQ(A[0], RID(99, 1));
  EXPECT_EQ(A[106], RID(0, 0));
}

TEST(TolvanRecordIDArray, CompareOrders) {
  struct Case {
    bool PageNoOnly, AsNumber;
    TTolvanRecordID A, B;
    int Want;
  };
  const Case Cases[] = {
      {false, false, RID(1, 5), RID(2, 0), -1},
      {false, false, RID(-1, 0), RID(1, 0), -1},    // PageNo signed
      {false, false, RID(3, 0x8000), RID(3, 1), 1}, // PageItemNo unsigned
      {false, false, RID(3, 4), RID(3, 4), 0},
      {true, false, RID(3, 1), RID(3, 9), 0}, // PageItemNo ignored
      {true, false, RID(-5, 9), RID(2, 0), -1},
      {true, true, RID(3, 1), RID(3, 9), 0},   // PageNoOnly is tested first
      {false, true, RID(5, 0), RID(1, 1), -1}, // PageItemNo decides first
      {false, true, RID(-1, 0), RID(1, 0), 1}, // PageNo unsigned
      {false, true, RID(7, 2), RID(7, 2), 0},
      {false, true, RID(0, 0xFFFF), RID(-1, 0xFFFE), 1},
  };
  for (const Case& C : Cases) {
    TTolvanRecordIDArray A(0, 10, 100);
    A.SetComparePageNoOnly(C.PageNoOnly);
    A.SetCompareAsNumber(C.AsNumber);
    EXPECT_EQ(A.Compare(C.A, C.B), C.Want) << C.A.PageNo << "/" << C.A.PageItemNo;
    EXPECT_EQ(A.Compare(C.B, C.A), -C.Want);
  }
}

TEST(TolvanRecordIDArray, SortAgreesWithStdSort) {
  std::mt19937 Rng(7);
  const std::pair<int32_t, uint16_t> Ranges[] = {{1000000, 65535}, {50, 3}, {0, 0}};
  for (auto [PageRange, ItemRange] : Ranges) {
    for (int N : {0, 1, 2, 3, 17, 5000}) {
      std::vector<TTolvanRecordID> V = RandomIDs(Rng, N, PageRange, ItemRange);
      for (bool AsNumber : {false, true}) {
        TTolvanRecordIDArray A(0, 10, 1000);
        A.SetCompareAsNumber(AsNumber);
        Fill(A, V);
        A.SetSorted(false);
        A.Sort();
        EXPECT_TRUE(A.Sorted());
        std::vector<TTolvanRecordID> Want = V;
        std::sort(Want.begin(), Want.end(), AsNumber ? NumberLess : DefaultLess);
        ASSERT_EQ(Contents(A), Want) << N << " " << PageRange;
      }
    }
  }
  // Presorted, reversed and sawtooth inputs.
  std::vector<TTolvanRecordID> Shapes[3];
  for (int I = 0; I < 3000; ++I) {
    Shapes[0].push_back(RID(I, 0));
    Shapes[1].push_back(RID(3000 - I, 1));
    Shapes[2].push_back(RID(I % 37, uint16_t(I % 5)));
  }
  for (const auto& V : Shapes) {
    TTolvanRecordIDArray A(0, 10, 1000);
    Fill(A, V);
    A.Sort();
    std::vector<TTolvanRecordID> Want = V;
    std::sort(Want.begin(), Want.end(), DefaultLess);
    ASSERT_EQ(Contents(A), Want);
  }
}

TEST(TolvanRecordIDArray, PageNoOnlySortOrdersByPageAndKeepsTheItems) {
  std::mt19937 Rng(11);
  std::vector<TTolvanRecordID> V = RandomIDs(Rng, 4000, 100, 50);
  TTolvanRecordIDArray A(0, 10, 1000);
  A.SetComparePageNoOnly(true);
  Fill(A, V);
  A.Sort();
  std::vector<TTolvanRecordID> Got = Contents(A);
  EXPECT_TRUE(
      std::is_sorted(Got.begin(), Got.end(), [](auto& X, auto& Y) { return X.PageNo < Y.PageNo; }));
  std::sort(Got.begin(), Got.end(), DefaultLess);
  std::sort(V.begin(), V.end(), DefaultLess);
  EXPECT_EQ(Got, V);
}

TEST(TolvanRecordIDArray, SearchAgreesWithLowerBound) {
  std::mt19937 Rng(3);
  for (bool AsNumber : {false, true}) {
    for (int N : {11, 12, 100, 4097}) {
      // Distinct ids, and ids with duplicates.
      for (int32_t PageRange : {1000000, 20}) {
        std::vector<TTolvanRecordID> V = RandomIDs(Rng, N, PageRange, 3);
        auto Less = AsNumber ? NumberLess : DefaultLess;
        std::sort(V.begin(), V.end(), Less);
        TTolvanRecordIDArray A(0, 10, 1000);
        A.SetCompareAsNumber(AsNumber);
        Fill(A, V);
        ASSERT_TRUE(A.Sorted());
        std::vector<TTolvanRecordID> Probes = RandomIDs(Rng, 300, PageRange + 2, 4);
        Probes.insert(Probes.end(), V.begin(), V.begin() + std::min(N, 50));
        Probes.push_back(RID(INT32_MIN, 0));
        Probes.push_back(RID(INT32_MAX, 0xFFFF));
        for (const auto& P : Probes) {
          auto It = std::lower_bound(V.begin(), V.end(), P, Less);
          const int32_t Want = It != V.end() && *It == P ? int32_t(It - V.begin()) : -1;
          ASSERT_EQ(A.IndexOf(P), Want) << P.PageNo << "/" << P.PageItemNo;
          ASSERT_EQ(A.BinarySearch(P), Want);
        }
      }
    }
  }
  TTolvanRecordIDArray Empty(0, 10, 100);
  EXPECT_EQ(Empty.BinarySearch(RID(1, 1)), -1);
  EXPECT_EQ(Empty.IndexOf(RID(0, 0)), -1);
}

TEST(TolvanRecordIDArray, IndexOfScansUpToTenItemsAndSearchesBeyond) {
  TTolvanRecordIDArray A(0, 10, 100);
  A.SetComparePageNoOnly(true);
  for (int32_t I = 0; I < 10; ++I)
    A.Add(RID(I, 1));
  EXPECT_EQ(A.IndexOf(RID(4, 2)), -1); // linear: both fields must match
  EXPECT_EQ(A.IndexOf(RID(4, 1)), 4);
  A.Add(RID(10, 1));
  EXPECT_EQ(A.IndexOf(RID(4, 2)), 4); // binary, in the PageNo-only order
  A.SetSorted(false);
  EXPECT_EQ(A.IndexOf(RID(4, 2)), -1); // unsorted: linear again
  EXPECT_EQ(A.IndexOf(RID(10, 1)), 10);
}

TEST(TolvanRecordIDArray, SortOfNoneOrOneItemOnlySetsSorted) {
  TTolvanRecordIDArray A(0, 10, 100);
  A.SetSorted(false);
  A.Sort();
  EXPECT_TRUE(A.Sorted());
  EXPECT_EQ(A.Capacity(), 0);
  A.Add(RID(-4, 4));
  A.SetSorted(false);
  A.Sort();
  EXPECT_TRUE(A.Sorted());
  EXPECT_EQ(A[0], RID(-4, 4));
  A.SetLastID(RID(8, 9));
  EXPECT_EQ(A.LastID(), RID(8, 9));
}
