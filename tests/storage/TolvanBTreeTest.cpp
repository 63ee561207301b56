#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/TolvanMemory.h"
#include "tests/storage/BTreeTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TKey IntKey(TTreeHarness& H, int32_t V) { return H.Key().Value<int32_t>(V); }

// Key text "000042" in a Char(1351) column: the largest keys, three entries per page.
TKey LargeKey(TTreeHarness& H, int32_t V, const char* Suffix = "") {
  char B[32];
  std::snprintf(B, sizeof B, "%06d%s", V, Suffix);
  return H.Key().Text(B);
}

// A tree of Integer keys 1 .. N, record id = key.
void FillInts(TTreeHarness& H, int32_t N) {
  for (int32_t I = 1; I <= N; ++I)
    H.Insert(IntKey(H, I), RID(I));
}

std::vector<int32_t> Ids(const std::vector<TTolvanRecordID>& V) {
  std::vector<int32_t> R;
  for (const auto& ID : V)
    R.push_back(ID.PageNo);
  return R;
}

std::vector<int32_t> Range(int32_t From, int32_t To) {
  std::vector<int32_t> R;
  for (int32_t I = From; From <= To ? I <= To : I >= To; I += From <= To ? 1 : -1)
    R.push_back(I);
  return R;
}

// How many levels, from the leaf up, split when Key goes in.
int32_t SplitDepth(TTreeHarness& H, const TKey& Key) {
  std::vector<bool> Full;
  for (int32_t PageNo = H.Tree.RootPageNo();;) {
    TTolvanBTreePage P = H.Tree.GetBTreePage(Session, PageNo);
    Full.push_back(!P.HasRoomForOne());
    if (P.IsLeaf())
      break;
    const TTolvanBTreeSearch S = P.BinarySearch(Key.data(), 1, bsmAny);
    PageNo = P.ChildAt(S.Found() ? S.Position : S.Position - 1);
  }
  int32_t D = 0;
  for (auto It = Full.rbegin(); It != Full.rend() && *It; ++It)
    ++D;
  return D;
}

// How many levels merge when (Key, ID) goes, by the merge rules.
int32_t MergeDepth(TTreeHarness& H, const TKey& Key, const TTolvanRecordID& ID) {
  TTolvanKeyPath Path;
  EXPECT_TRUE(H.Tree.FindKeyPath(Session, Key.data(), ID, Path));
  int32_t D = 0;
  int32_t Count = Path.Last().EntryCount - 1;
  for (int32_t L = Path.Count() - 1; L > 0; --L) {
    TTolvanBTreePage P = H.Tree.GetBTreePage(Session, Path.Levels(L).PageNo);
    if (Count > 0 && !P.IsUnderflowingAt(Count))
      break;
    bool Merges = false;
    for (const int32_t Sibling : {P.PrevPageNo(), P.NextPageNo()})
      if (!Merges && Sibling != -1)
        Merges = Count == 0 || P.CanMergeWith(H.Tree.GetBTreePage(Session, Sibling), Count);
    if (!Merges)
      break;
    ++D;
    Count = Path.Levels(L - 1).EntryCount - 1;
  }
  return D;
}

// A page store whose AllocatePage fails at the FailAt-th call.
class TFailingStore : public TTolvanMemoryPageManager {
public:
  void AllocatePage(TTolvanPage& Page) override {
    if (FailAt > 0 && ++Calls == FailAt)
      throw ETolvanException::Create(10000, "test: no page");
    TTolvanMemoryPageManager::AllocatePage(Page);
  }
  int32_t FailAt = 0;
  int32_t Calls = 0;
};

using TEntries = std::vector<std::pair<TKey, TTolvanRecordID>>;

// Runs Op with the N-th failure armed by Arm, for N = 1, 2, ... until Op gets through. Each
// failed run must leave the tree as it was and the store's books straight; the number of runs
// is returned.
int32_t EveryFailure(TTreeHarness& H, const TTolvanMemoryPageManager& Store,
                     const std::function<void(int32_t)>& Arm, const std::function<void()>& Disarm,
                     const std::function<void()>& Op) {
  H.Commit();
  const TEntries Before = H.Entries();
  const bool HadFailure = ::testing::Test::HasFailure();
  for (int32_t N = 1; N < 100000; ++N) {
    bool Failed = false;
    H.Store.ClearCache(); // pages read afresh borrow the store's blocks: every copy is made anew
    Arm(N);
    try {
      Op();
    } catch (const ETolvanException&) {
      Failed = true;
    }
    Disarm();
    EXPECT_NO_THROW(H.Check()) << "failure " << N;
    if (!Failed)
      return N;
    EXPECT_EQ(H.Entries(), Before) << "failure " << N;
    H.Commit();
    EXPECT_EQ(PageAccountingFaults(Store), "") << "failure " << N;
    EXPECT_EQ(Store.AllocatedCount(), ReachablePages(H.Tree, H.Tree.RootPageNo()));
    if (!HadFailure && ::testing::Test::HasFailure())
      return N;
  }
  ADD_FAILURE() << "the operation never got through";
  return 0;
}

} // namespace

// Random inserts and deletes against the model, checked after every operation, on keys whose
// pages hold many entries and on the largest keys (three entries a page, so that pages empty).
TEST(TolvanBTree, RandomChangesFollowTheModel) {
  for (const bool Large : {false, true}) {
    TTreeHarness H(Large ? std::vector<TColumnSpec>{{"T", tftChar, 1351}}
                         : std::vector<TColumnSpec>{{"N", tftInteger}});
    TModelTree M(H);
    std::mt19937 Rng(Large ? 7 : 8);
    const int32_t Ops = Large ? 600 : 2500, Distinct = Large ? 60 : 700;
    for (int32_t Op = 0; Op < Ops; ++Op) {
      const bool Grow = M.Model.size() < 20 || Rng() % 100 < (Op < Ops / 2 ? 65 : 35);
      if (Grow) {
        const int32_t V = int32_t(Rng() % Distinct);
        M.Insert(Large ? LargeKey(H, V) : IntKey(H, V));
      } else {
        M.DeleteAt(Rng() % M.Model.size());
      }
      if (Large || Op % 10 == 0)
        M.Verify();
      if (Op % 250 == 0)
        M.VerifyStore(H.OwnStore);
      ASSERT_FALSE(::testing::Test::HasFailure()) << "operation " << Op;
    }
    while (!M.Model.empty())
      M.DeleteAt(Rng() % M.Model.size());
    M.Verify();
    // One page per level is left, the leaf empty, and the tree takes keys again.
    const std::vector<int32_t> Widths = H.LevelWidths();
    EXPECT_EQ(std::count(Widths.begin(), Widths.end(), 1), int(Widths.size()));
    EXPECT_GT(Widths.size(), 1u);
    TTolvanKeyPath Path;
    EXPECT_FALSE(H.Tree.GoFirstPath(Session, Path));
    M.VerifyStore(H.OwnStore);
    M.Insert(Large ? LargeKey(H, 5) : IntKey(H, 5));
    M.Verify();
    M.VerifyStore(H.OwnStore);
  }
}

// A root leaf keeps its page when its last key goes; freeing the tree leaves no page.
TEST(TolvanBTree, EmptyRootAndFreePages) {
  TTreeHarness H({{"N", tftInteger}});
  EXPECT_FALSE(H.Delete(IntKey(H, 1), RID(1)));
  H.Insert(IntKey(H, 1), RID(1));
  const int32_t Root = H.Tree.RootPageNo();
  EXPECT_FALSE(H.Delete(IntKey(H, 1), RID(2)));
  EXPECT_TRUE(H.Delete(IntKey(H, 1), RID(1)));
  EXPECT_EQ(H.Tree.RootPageNo(), Root);
  H.Commit();
  EXPECT_EQ(H.OwnStore.AllocatedCount(), 1);
  H.Check();

  FillInts(H, 3000);
  H.Commit();
  EXPECT_GT(H.OwnStore.AllocatedCount(), 10);
  H.Tree.FreePages(Session);
  H.Commit();
  EXPECT_EQ(H.OwnStore.AllocatedCount(), 0);
  EXPECT_EQ(PageAccountingFaults(H.OwnStore), "");
  H.Tree.SetRootPageNo(-1);
}

// NULL parts compare equal, so a key of NULLs is found like any other.
TEST(TolvanBTree, NullKeysCollide) {
  TTreeHarness H({{"A", tftInteger}, {"B", tftChar, 4}});
  const TKey Nulls = H.Key().Null().Null();
  EXPECT_TRUE(H.Tree.IsKeyUnique(Session, Nulls.data())); // no root yet
  H.Insert(H.Key().Value<int32_t>(1).Text("x"), RID(1));
  EXPECT_TRUE(H.Tree.IsKeyUnique(Session, Nulls.data()));
  H.Insert(Nulls, RID(2));
  EXPECT_FALSE(H.Tree.IsKeyUnique(Session, H.Key().Null().Null().Key().data()));
  EXPECT_TRUE(H.Tree.IsKeyUnique(Session, H.Key().Null().Text("").Key().data()));
  const auto E = H.Entries();
  ASSERT_EQ(E.size(), 2u);
  EXPECT_EQ(E[0].second, RID(2)); // NULL first
}

// Range scans, estimates and record numbers over the keys 1 .. 1000.
TEST(TolvanBTree, ScansOverConditions) {
  TTreeHarness H({{"N", tftInteger}});
  FillInts(H, 1000);
  const TKey K10 = IntKey(H, 10), K20 = IntKey(H, 20), K5 = IntKey(H, 5), K12 = IntKey(H, 12);
  const TTolvanBTreeCondition Ge10{bctGreaterOrEqual, K10.data(), 1};
  const TTolvanBTreeCondition Lt20{bctLess, K20.data(), 1};
  auto Scan = [&](bool Forward, const TTolvanBTreeCondition* Start,
                  const TTolvanBTreeCondition* End, const TKey* ResumeKey = nullptr,
                  int32_t ResumeID = 0) {
    TTolvanBTreeScanState State;
    std::vector<TTolvanRecordID> Out;
    TTolvanRecordID ID = RID(ResumeID);
    bool First = !ResumeKey;
    while (H.Tree.ScanNext(Session, First, Forward, Start, End,
                           ResumeKey ? ResumeKey->data() : nullptr, ID, State)) {
      Out.push_back(ID);
      First = false;
    }
    return Ids(Out);
  };
  EXPECT_EQ(Scan(true, &Ge10, &Lt20), Range(10, 19));
  EXPECT_EQ(Scan(true, &Ge10, &Lt20, &K5, 5), Range(10, 19)); // resumed before the range
  EXPECT_EQ(Scan(true, &Ge10, &Lt20, &K12, 12), Range(13, 19));
  EXPECT_EQ(Scan(false, &Lt20, &Ge10), Range(19, 10));
  EXPECT_EQ(Scan(false, &Ge10, &Lt20), Range(1000, 1));
  const TKey K2000 = IntKey(H, 2000);
  const TTolvanBTreeCondition Gt2000{bctGreater, K2000.data(), 1};
  EXPECT_EQ(Scan(true, &Ge10, &Gt2000), std::vector<int32_t>());
  EXPECT_EQ(Scan(true, &Gt2000, nullptr), std::vector<int32_t>());
  EXPECT_EQ(Scan(false, nullptr, nullptr).size(), 1000u);
  EXPECT_EQ(Scan(true, nullptr, nullptr, &K12, 12), Range(13, 1000));

  // Estimates: two descents; never negative, never above the total.
  const TKey K100 = IntKey(H, 100), K201 = IntKey(H, 201);
  const TTolvanBTreeCondition Gt100{bctGreater, K100.data(), 1}, Lt201{bctLess, K201.data(), 1};
  const int64_t E = H.Tree.EstimateRangeCount(Session, Lt201, 1000, Gt100);
  EXPECT_GE(E, 90); // pages of 185 and 260 entries: positions are approximate
  EXPECT_LE(E, 110);
  EXPECT_EQ(H.Tree.EstimateRangeCount(Session, Gt100, 1000, Lt20), 0);
  EXPECT_EQ(H.Tree.EstimateRangeCount(Session, Gt2000, 1000, Lt201), 0);

  TTolvanBTreeScanState State;
  TTolvanRecordID ID{};
  ASSERT_TRUE(H.Tree.ScanNext(Session, true, true, &Ge10, &Lt20, nullptr, ID, State));
  EXPECT_EQ(
      NativeCodeOf([&] { H.Tree.ScanNext(Session, true, true, &Ge10, &Lt20, nullptr, ID, State); }),
      20078);

  EXPECT_EQ(TTolvanBTree::ConditionDirection(bctGreaterOrEqual), -1);
  EXPECT_EQ(TTolvanBTree::ConditionDirection(bctLessOrEqual), 1);
  EXPECT_EQ(TTolvanBTree::ConditionDirection(bctEqual), 0);
}

TEST(TolvanBTree, RecordNumbersAndDuplicates) {
  TTreeHarness H({{"N", tftInteger}});
  EXPECT_EQ(NativeCodeOf([&] { H.Tree.GetRecordIDByRecNo(Session, nullptr, 1); }), 20074);
  FillInts(H, 1000);
  EXPECT_EQ(H.Tree.GetRecNo(Session, IntKey(H, 1).data(), RID(1), nullptr), 1);
  EXPECT_EQ(H.Tree.GetRecNo(Session, IntKey(H, 700).data(), RID(700), nullptr), 700);
  EXPECT_EQ(H.Tree.GetRecNo(Session, IntKey(H, 700).data(), RID(1), nullptr), -1);
  EXPECT_EQ(H.Tree.GetRecordIDByRecNo(Session, nullptr, 1000), RID(1000));
  EXPECT_EQ(H.Tree.GetRecordIDByRecNo(Session, nullptr, 0), RID(1)); // below 1 counts as 1
  EXPECT_EQ(H.Tree.GetRecordIDByRecNo(Session, nullptr, -5), RID(1));
  EXPECT_EQ(NativeCodeOf([&] { H.Tree.GetRecordIDByRecNo(Session, nullptr, 1001); }), 20075);

  TSetFilter Odd; // the odd keys from 501 on
  for (int32_t I = 501; I <= 1000; I += 2)
    Odd.Add(RID(I));
  EXPECT_EQ(H.Tree.GetRecNo(Session, IntKey(H, 501).data(), RID(501), &Odd), 1);
  EXPECT_EQ(H.Tree.GetRecNo(Session, IntKey(H, 999).data(), RID(999), &Odd), 250);
  EXPECT_EQ(H.Tree.GetRecordIDByRecNo(Session, &Odd, 250), RID(999));
  EXPECT_EQ(NativeCodeOf([&] { H.Tree.GetRecordIDByRecNo(Session, &Odd, 251); }), 20075);

  // Keys 1 .. 1000 again with records 1001 .. 2000: each run keeps its first member in index
  // order.
  for (int32_t I = 1; I <= 1000; ++I)
    H.Insert(IntKey(H, I), RID(1000 + I));
  TSetFilter All;
  for (int32_t I = 1; I <= 2000; ++I)
    if (I != 3) // record 3 is not a member: record 1003 is the one kept for key 3
      All.Add(RID(I));
  H.Tree.RemoveDuplicateKeys(Session, All);
  ASSERT_EQ(All.Members.size(), 1000u);
  const auto E = H.Entries();
  for (int32_t I = 0; I < int32_t(E.size()); I += 2) {
    const TTolvanRecordID Kept =
        E[size_t(I)].second.PageNo == 3 ? E[size_t(I) + 1].second : E[size_t(I)].second;
    EXPECT_TRUE(All.AcceptRecord(Kept)) << I;
  }
}

// Positioning by condition on a partial key: (text, Integer descending) searched by the text.
TEST(TolvanBTree, PartialKeyConditions) {
  TTreeHarness H({{"S", tftChar, 6}, {"N", tftInteger, 0, true}});
  const char* Texts[] = {"ant", "bee", "cat"};
  int32_t ID = 0;
  for (const char* T : Texts)
    for (int32_t N = 0; N < 200; ++N)
      H.Insert(H.Key().Text(T).Value<int32_t>(N), RID(++ID));
  H.Check();
  const TKey Bee = H.Key().Text("bee");
  auto Find = [&](bool First, uint8_t Type) {
    TTolvanKeyPath Path;
    if (!H.Tree.FindByCondition(Session, First, {Type, Bee.data(), 1}, Path))
      return -1;
    return H.Tree.ReadRecordIDAt(Session, Path).PageNo;
  };
  EXPECT_EQ(Find(true, bctEqual), 400); // bee 199 first: N descends
  EXPECT_EQ(Find(false, bctEqual), 201);
  EXPECT_EQ(Find(false, bctLess), 1);  // ant 0
  EXPECT_EQ(Find(true, bctLess), 200); // ant 199
  EXPECT_EQ(Find(true, bctGreater), 600);
  EXPECT_EQ(Find(false, bctGreater), 401);
  EXPECT_EQ(Find(true, bctLessOrEqual), 200);
  EXPECT_EQ(Find(false, bctLessOrEqual), 201);
  EXPECT_EQ(Find(true, bctGreaterOrEqual), 400);
  EXPECT_EQ(Find(false, bctGreaterOrEqual), 401);
  EXPECT_EQ(Find(true, bctNone), 200);
  EXPECT_EQ(H.KeyRef().ColumnCount(), 2);
  const TKey Cow = H.Key().Text("cow");
  TTolvanKeyPath Path;
  EXPECT_FALSE(H.Tree.FindByCondition(Session, true, {bctGreater, Cow.data(), 1}, Path));
  const TKey Aa = H.Key().Text("aa");
  EXPECT_FALSE(H.Tree.FindByCondition(Session, true, {bctLess, Aa.data(), 1}, Path));

  // Walking the paths entry by entry crosses leaves both ways.
  ASSERT_TRUE(H.Tree.GoFirstPath(Session, Path));
  int32_t Steps = 0;
  while (H.Tree.NextEntry(Session, Path))
    ++Steps;
  EXPECT_EQ(Steps, 599);
  EXPECT_EQ(H.Tree.ReadRecordIDAt(Session, Path).PageNo, 401);
  while (H.Tree.PriorEntry(Session, Path))
    --Steps;
  EXPECT_EQ(Steps, 0);
  Path.Clear();
  EXPECT_EQ(NativeCodeOf([&] { H.Tree.NextEntry(Session, Path); }), 20069);
  EXPECT_EQ(NativeCodeOf([&] { H.Tree.ReadRecordIDAt(Session, Path); }), 20068);
}

// After merges leave the root node with a single child, everything still runs through it.
TEST(TolvanBTree, RootNodeWithOneChild) {
  TTreeHarness H({{"T", tftChar, 1351}});
  TModelTree M(H);
  for (int32_t I = 0; I < 8; ++I)
    M.Insert(LargeKey(H, I));
  for (int32_t I = 0; I < 7; ++I)
    M.DeleteAt(0);
  M.Verify();
  TTolvanBTreePage Root = H.Tree.GetRoot(Session);
  EXPECT_FALSE(Root.IsLeaf());
  EXPECT_EQ(Root.EntryCount(), 1);
  Root.Release();
  for (int32_t I = 10; I < 14; ++I)
    M.Insert(LargeKey(H, I));
  M.DeleteAt(2);
  M.Verify();
  M.VerifyStore(H.OwnStore);
}

// Every allocation of an insert that splits three levels and of a merging delete fails in turn,
// as does every page the store is asked for: each failure leaves the tree as it was.
TEST(TolvanBTree, FailuresLeaveTheTreeAsItWas) {
  TFailingStore Store;
  TTreeHarness H({{"T", tftChar, 1351}}, &Store);
  TModelTree M(H);
  // Ascending keys keep the right edge of the tree full now and then: the first key after 16
  // whose insert splits three levels is the one to try.
  TKey Deep;
  for (int32_t I = 0; I < 4096 && Deep.empty(); ++I) {
    if (I >= 16 && SplitDepth(H, LargeKey(H, I)) >= 3)
      Deep = LargeKey(H, I);
    else
      M.Insert(LargeKey(H, I));
  }
  M.Verify();
  ASSERT_FALSE(Deep.empty());
  const int32_t NewID = M.NextID;
  auto InsertDeep = [&] { H.Insert(Deep, RID(NewID)); };

  std::unique_ptr<TAllocationFailure> Hook;
  const int32_t Runs = EveryFailure(
      H, Store, [&](int32_t N) { Hook = std::make_unique<TAllocationFailure>(N); },
      [&] { Hook.reset(); }, InsertDeep);
  EXPECT_GE(Runs, 3);
  ASSERT_TRUE(H.Delete(Deep, RID(NewID)));
  const int32_t PageRuns = EveryFailure(
      H, Store, [&](int32_t N) { Store.Calls = 0, Store.FailAt = N; }, [&] { Store.FailAt = 0; },
      InsertDeep);
  EXPECT_GE(PageRuns, 3);
  M.Model.emplace(Deep, RID(NewID));
  ++M.NextID;
  M.Verify();

  // A delete whose merges run two levels up.
  auto Victim = M.Model.end();
  for (auto It = M.Model.begin(); It != M.Model.end(); ++It)
    if (MergeDepth(H, It->first, It->second) >= 2) {
      Victim = It;
      break;
    }
  ASSERT_NE(Victim, M.Model.end());
  const TKey VictimKey = Victim->first;
  const TTolvanRecordID VictimID = Victim->second;
  const int32_t DeleteRuns = EveryFailure(
      H, Store, [&](int32_t N) { Hook = std::make_unique<TAllocationFailure>(N); },
      [&] { Hook.reset(); }, [&] { ASSERT_TRUE(H.Delete(VictimKey, VictimID)); });
  EXPECT_GT(DeleteRuns, 1);
  M.Model.erase(Victim);
  M.Verify();
  M.VerifyStore(Store);
}

// CheckTree refuses each kind of damage, naming it by its code.
TEST(TolvanBTree, CheckTreeFindsDamage) {
  struct TDamage {
    const char* What;
    int32_t Code;
    std::function<void(TTreeHarness&, TTolvanBTreePage& Root,
                       std::vector<TTolvanBTreePage>& Leaves)>
        Do;
  };
  auto SetKeyInt = [](TTolvanBTreePage& P, int32_t I, int32_t V) {
    StoreLE<int32_t>(P.EntryPtr(I) + 1, V);
  };
  const TDamage Damages[] = {
      {"leaf keys out of order", 20028, [&](auto&, auto&, auto& L) { SetKeyInt(L[1], 5, 1); }},
      {"node keys out of order", 20029, [&](auto&, auto& R, auto&) { SetKeyInt(R, 2, 99999); }},
      {"key above the next separator", 20030,
       [&](auto&, auto& R, auto& L) {
         SetKeyInt(L[0], L[0].EntryCount() - 1, LoadLE<int32_t>(R.EntryPtr(1) + 1) + 1);
       }},
      {"key below its separator", 20031,
       [&](auto&, auto& R, auto& L) {
         SetKeyInt(L[1], 0, LoadLE<int32_t>(R.EntryPtr(1) + 1) - 1);
       }},
      {"child not allocated", 20032,
       [&](auto&, auto& R, auto&) { StoreLE<int32_t>(R.DataPtr(2), 4000); }},
      {"child reached twice", 20032,
       [&](auto&, auto& R, auto&) { StoreLE<int32_t>(R.DataPtr(2), R.ChildAt(1)); }},
      {"previous link", 20033, [&](auto&, auto&, auto& L) { L[2].SetPrevPageNo(L[0].PageNo()); }},
      {"next link", 20034, [&](auto&, auto&, auto& L) { L[1].SetNextPageNo(L[3].PageNo()); }},
      {"last next link", 20034,
       [&](auto&, auto&, auto& L) { L.back().SetNextPageNo(L[0].PageNo()); }},
      {"key size", 20028, [&](auto&, auto&, auto& L) { StoreLE<uint16_t>(L[1].Buffer() + 12, 6); }},
      {"entry count", 20028,
       [&](auto&, auto&, auto& L) { StoreLE<uint16_t>(L[1].Buffer() + 14, 400); }},
      {"root flag", 20028, [&](auto&, auto&, auto& L) { L[1].SetIsRoot(true); }},
      {"reserved byte", 20028, [&](auto&, auto&, auto& L) { L[1].SetReserved(0); }},
      {"extra data", 20028, [&](auto&, auto&, auto& L) { L[1].SetHasExtraData(true); }},
      {"empty leaf among others", 20028,
       [&](auto&, auto&, auto& L) { StoreLE<uint16_t>(L[1].Buffer() + 14, 0); }},
      {"empty root node", 20028,
       [&](auto&, auto& R, auto&) { StoreLE<uint16_t>(R.Buffer() + 14, 0); }},
      {"leaf kind in a node", 20028, [&](auto&, auto& R, auto&) { R.Buffer()[1] = 7; }},
  };
  for (const TDamage& D : Damages) {
    TTreeHarness H({{"N", tftInteger}});
    FillInts(H, 1000);
    H.Commit();
    ASSERT_NO_THROW(H.Check());
    {
      TTolvanBTreePage Root = H.Tree.GetRoot(Session);
      ASSERT_GE(Root.EntryCount(), 4);
      std::vector<TTolvanBTreePage> Leaves;
      for (int32_t I = 0; I < Root.EntryCount(); ++I)
        Leaves.push_back(H.Tree.GetBTreePage(Session, Root.ChildAt(I)));
      D.Do(H, Root, Leaves);
    }
    const ETolvanException E = Raised([&] { H.Check(); });
    EXPECT_EQ(E.NativeError(), D.Code) << D.What;
    if (D.Code == 20033 || D.Code == 20034) {
      EXPECT_NE(E.Message().find("Index integrity violated. Invlaid leaf link. PageNo="),
                std::string::npos);
    }
    H.Tree.SetRootPageNo(-1); // the damaged tree is not freed page by page
    H.Store.Rollback(Session);
    ReleaseAll(H.OwnStore, Session, 64);
  }
}
