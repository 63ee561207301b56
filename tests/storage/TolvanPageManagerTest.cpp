#include "storage/TolvanPageManager.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "foundation/TolvanMemory.h"
#include "storage/TolvanPageStores.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A store of private copies with numbers handed out in order, counting its reads; its version
// stamp can be moved to make cached pages outdated.
class TTestStore : public TTolvanPageManager {
public:
  TTestStore() { SetPageSize(uint16_t(PS)); }
  ~TTestStore() override { DiscardPages(); }

  void AllocatePage(TTolvanPage& Page) override {
    if (AssignNothing)
      return;
    Page.AllocBuffer();
    Page.SetPageNo(NextNo);
    Pages[NextNo++].assign(PS, 0);
    ++FAllocatedCount;
  }
  void FreePage(int32_t PageNo) override {
    if (!Pages.erase(PageNo))
      throw ETolvanException::Create(ErrPageNotAllocated, "not allocated");
    --FAllocatedCount;
  }
  void ReadPage(TTolvanPage& Page) override {
    if (!PageAllocated(Page.PageNo()))
      throw ETolvanException::Create(1, "not allocated");
    if (!Page.Buffer())
      Page.AllocBuffer();
    std::memcpy(Page.Buffer(), Pages[Page.PageNo()].data(), PS);
    ++Reads;
  }
  void WritePage(TTolvanPage& Page) override {
    std::memcpy(Pages.at(Page.PageNo()).data(), Page.Buffer(), PS);
  }
  bool PageAllocated(int32_t PageNo) const override { return Pages.count(PageNo) > 0; }
  int32_t GetCurrentVersionStamp() override { return Current; }
  std::string_view ClassName() const override { return "TTestStore"; }

  bool AssignNothing = false;
  int32_t NextNo = 0;
  int32_t Current = 0;
  int32_t Reads = 0;
  std::map<int32_t, std::vector<uint8_t>> Pages;
};

class TCountingCheck : public TTolvanPageReloadCheck {
public:
  bool PageNeedsReload(int32_t VersionStamp) override {
    Stamps.push_back(VersionStamp);
    return Answer;
  }
  bool Answer = false;
  std::vector<int32_t> Stamps;
};

// A memory store with Count committed pages, page n filled with PagePattern(n).
void Populate(TTolvanMemoryPageManager& Store, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I)
    ASSERT_EQ(NewFilledPage(Store, 1, uint32_t(I)), I);
  Store.Commit(1);
  Store.ClearCache();
}

void Finish(TTolvanMemoryPageManager& Store) {
  ASSERT_EQ(PageAccountingFaults(Store), "");
  ReleaseAll(Store, 1, Store.Capacity());
  Store.Close();
}

TEST(TolvanPageManager, ReleasedNumbersComeBackLastInFirstOut) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 4);
  Store.RemovePage(1, 1);
  Store.RemovePage(1, 2);
  EXPECT_EQ(Store.AllocatedCount(), 4);
  TTolvanPage* A = Store.NewPage(1);
  TTolvanPage* B = Store.NewPage(1);
  TTolvanPage* C = Store.NewPage(1);
  EXPECT_EQ(A->PageNo(), 2);
  EXPECT_EQ(B->PageNo(), 1);
  EXPECT_EQ(C->PageNo(), 4);
  // A reused memory page borrows its old block, bytes and all.
  EXPECT_EQ(PageBytes(A->Buffer()), PagePattern(2));
  EXPECT_EQ(Store.AllocatedCount(), 5);
  EXPECT_EQ(Store.FindSession(1)->NewPageNos.Count(), 1);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  for (TTolvanPage* P : {A, B, C})
    Store.ReleasePage(P);
  Store.Commit(1);
  EXPECT_EQ(AllocatedNumbers(Store, 50), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  Finish(Store);
}

// NewPages gives the numbers Count NewPage calls would, or none: a store that fails on the
// second fresh number leaves the released numbers and the store as they were.
TEST(TolvanPageManager, NewPagesAllOrNothing) {
  struct TStore : TTolvanMemoryPageManager {
    void AllocatePage(TTolvanPage& Page) override {
      if (++Calls == FailAt)
        throw ETolvanException::Create(20064, "no page");
      TTolvanMemoryPageManager::AllocatePage(Page);
    }
    int32_t Calls = 0, FailAt = 0;
  } Store;
  Populate(Store, 4);
  Store.RemovePage(1, 1);
  Store.RemovePage(1, 2);
  TTolvanPage* Pages[5] = {};
  {
    TAllocationFailure Hook(1); // the dirty list's room cannot be had
    EXPECT_EQ(NativeCodeOf([&] { Store.NewPages(1, 4, Pages); }), 30015);
  }
  Store.Calls = 0;
  Store.FailAt = 2; // the second fresh number fails
  EXPECT_EQ(NativeCodeOf([&] { Store.NewPages(1, 4, Pages); }), 20064);
  Store.FailAt = 0;
  EXPECT_EQ(PageAccountingFaults(Store), "");
  EXPECT_EQ(Store.FindSession(1)->FreedPageNos.Count(), 2);
  EXPECT_TRUE(Store.PageReleased(1));
  EXPECT_EQ(Store.AllocatedCount(), 4);
  Store.NewPages(1, 4, Pages);
  std::vector<int32_t> Numbers;
  for (int32_t I = 0; I < 4; ++I) {
    Numbers.push_back(Pages[I]->PageNo());
    EXPECT_TRUE(Pages[I]->Dirty());
    Store.ReleasePage(Pages[I]);
  }
  EXPECT_EQ(Numbers, (std::vector<int32_t>{2, 1, 4, 5}));
  EXPECT_FALSE(Store.PageReleased(1));
  EXPECT_EQ(Store.FindSession(1)->NewPageNos.Count(), 2);
  Store.Commit(1);
  EXPECT_EQ(Store.AllocatedCount(), 6);
  Finish(Store);
}

// After ReserveChange the session's changed pages are released and the reserved numbers removed
// without a single allocation.
TEST(TolvanPageManager, ReservedChangeAllocatesNothing) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 70);
  const int32_t Removed[] = {3, 69};
  Store.ReserveChange(1, 5, Removed, 2);
  {
    TAllocationFailure Hook(1);
    for (int32_t N : {0, 1, 2, 4, 5}) {
      TTolvanPage* P = Store.GetPage(1, N, nullptr);
      FillPage(P, 100 + uint32_t(N));
      Store.ReleasePage(P);
    }
    for (int32_t N : Removed)
      Store.RemovePage(1, N);
    EXPECT_FALSE(Hook.Fired());
  }
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.Commit(1);
  EXPECT_EQ(Store.AllocatedCount(), 68);
  Finish(Store);
}

TEST(TolvanPageManager, CommitWithNothingToDoChangesNothing) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 2);
  Store.Commit(9); // no entry
  Store.ReleasePage(Store.GetPage(9, 1, nullptr));
  Store.Commit(9); // clean reads only
  EXPECT_EQ(Store.AllocatedCount(), 2);
  EXPECT_EQ(Store.Cache().Count(), 1);
  EXPECT_EQ(Store.SessionCount(), 0);
  Finish(Store);
}

TEST(TolvanPageManager, EveryFetchNeedsOneRelease) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 1);
  TTolvanPage* P = Store.GetPage(1, 0, nullptr);
  EXPECT_EQ(Store.GetPage(1, 0, nullptr), P);
  Store.ReleasePage(P);
  EXPECT_EQ(P->UseCount(), 1);
  Store.ReleasePage(P);
  EXPECT_EQ(P->UseCount(), 0);
  const ETolvanException E = Raised([&] { Store.ReleasePage(P); });
  EXPECT_EQ(E.NativeError(), 10665);
  EXPECT_NE(E.Message().find("invalid use count = -1, pageNo = 0"), std::string::npos);
  EXPECT_EQ(P->UseCount(), 0);
  Finish(Store);
}

TEST(TolvanPageManager, CacheKeepsTwoHundredUnheldPages) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 201);
  // After a commit the cache may hold more, until the next release of a cached page.
  for (int32_t I = 0; I < 201; ++I)
    NewFilledPage(Store, 2, 1000);
  Store.Commit(2);
  EXPECT_EQ(Store.Cache().Count(), 201);
  Store.ReleasePage(Store.GetPage(2, 0, nullptr));
  EXPECT_EQ(Store.Cache().Count(), 200);

  Store.ClearCache();
  for (int32_t I = 0; I < 201; ++I)
    Store.ReleasePage(Store.GetPage(1, I, nullptr));
  EXPECT_EQ(Store.Cache().Count(), 200);
  EXPECT_EQ(Store.Cache().Find(0), nullptr); // the oldest went
  EXPECT_EQ(Store.Cache().First()->PageNo(), 1);
  TTolvanPage* P = Store.GetPage(1, 0, nullptr); // read again
  EXPECT_EQ(Store.Cache().Find(0), P);
  EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(0));
  Store.ReleasePage(P);
  EXPECT_EQ(Store.Cache().Find(1), nullptr);
  // Held pages are skipped, so the cache may stay above its capacity.
  Store.SetCacheCapacity(2);
  std::vector<TTolvanPage*> Held;
  for (int32_t I = 10; I < 15; ++I)
    Held.push_back(Store.GetPage(1, I, nullptr));
  Store.ReleasePage(Held.back());
  EXPECT_EQ(Store.Cache().Count(), 4);
  Held.pop_back();
  for (TTolvanPage* H : Held)
    Store.ReleasePage(H);
  EXPECT_EQ(Store.Cache().Count(), 2);
  Finish(Store);
}

// The memory store shares one block among all copies of a page: sessions are kept apart by the
// table lock, not by the manager.
TEST(TolvanPageManager, OtherSessionsSeeChangesMadeInPlace) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 3);
  TTolvanPage* A = Store.GetPage(1, 2, nullptr);
  FillPage(A, 77);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(2, 2, nullptr); }), 20090);
  Store.ReleasePage(A);
  EXPECT_EQ(A->OwnerList(), &Store.FindSession(1)->DirtyPages);

  TTolvanPage* B = Store.GetPage(2, 2, nullptr);
  EXPECT_NE(B, A);
  EXPECT_EQ(B->Buffer(), A->Buffer());
  EXPECT_EQ(PageBytes(B->Buffer()), PagePattern(77));
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.ReleasePage(B);
  Store.Commit(1);
  EXPECT_EQ(Store.Cache().Find(2), A);
  EXPECT_FALSE(A->Dirty());
  Finish(Store);
}

TEST(TolvanPageManager, ReleasedNumbersAreFreedAtCommitAndKeptAtRollback) {
  for (bool Commit : {true, false}) {
    SCOPED_TRACE(Commit ? "commit" : "rollback");
    TTolvanMemoryPageManager Store;
    Populate(Store, 3);
    Store.RemovePage(2, 1);
    const int32_t Fresh = NewFilledPage(Store, 3, 5);
    EXPECT_EQ(Fresh, 3);
    Store.RemovePage(3, 0);
    EXPECT_EQ(Store.AllocatedCount(), 4);
    Commit ? Store.Commit(2) : Store.Rollback(2);
    Commit ? Store.Commit(3) : Store.Rollback(3);
    const std::vector<int32_t> Expected =
        Commit ? std::vector<int32_t>{2, 3} : std::vector<int32_t>{0, 1, 2};
    EXPECT_EQ(AllocatedNumbers(Store, 50), Expected);
    EXPECT_EQ(Store.SessionCount(), 0);
    EXPECT_EQ(Store.ReleasedPageNos().CountSet(), 0);
    Finish(Store);
  }
}

TEST(TolvanPageManager, ReleasingANumberTwiceIsRefused) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 3);
  Store.RemovePage(1, 1);
  const ETolvanException E = Raised([&] { Store.RemovePage(1, 1); });
  EXPECT_EQ(E.NativeError(), 20056);
  EXPECT_EQ(E.Message(), "Page 1 is not allocated or was already released - Native error: 20056");
  EXPECT_EQ(NativeCodeOf([&] { Store.RemovePage(2, 1); }), 20056); // another session's release
  EXPECT_EQ(NativeCodeOf([&] { Store.RemovePage(1, 3); }), 20056); // never allocated
  EXPECT_EQ(NativeCodeOf([&] { Store.RemovePage(1, -1); }), 20056);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 1, nullptr); }), 20056);
  EXPECT_EQ(Store.FindSession(1)->FreedPageNos.Count(), 1);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.Commit(1);
  EXPECT_EQ(Store.AllocatedCount(), 2);
  EXPECT_EQ(NativeCodeOf([&] { Store.FreePage(1); }), 20056);
  EXPECT_EQ(Store.AllocatedCount(), 2);
  // Once reused, the number may be released again.
  Store.RemovePage(1, 2);
  TTolvanPage* P = Store.NewPage(1);
  ASSERT_EQ(P->PageNo(), 2);
  Store.ReleasePage(P);
  Store.RemovePage(1, 2);
  Store.Commit(1);
  EXPECT_EQ(AllocatedNumbers(Store, 50), std::vector<int32_t>{0});
  Finish(Store);
}

// Before the checks moved ahead of the loop, a refused commit left pages both cached and dirty.
TEST(TolvanPageManager, RefusedCommitLeavesEveryPageInOneList) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 2);
  // Held page of the session's own.
  const int32_t Kept = NewFilledPage(Store, 1, 3);
  TTolvanPage* New = Store.NewPage(1);
  FillPage(New, 4);
  EXPECT_EQ(NativeCodeOf([&] { Store.Commit(1); }), 10823);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  EXPECT_EQ(Store.FindSession(1)->DirtyPages.Count(), 2);
  EXPECT_EQ(Store.Cache().Find(Kept), nullptr);
  Store.ReleasePage(New);
  Store.Commit(1);
  EXPECT_EQ(Store.Cache().Count(), 2);

  // A held cached copy that the commit would replace.
  TTolvanPage* B = Store.GetPage(2, 0, nullptr);
  FillPage(B, 5);
  Store.ReleasePage(B);
  TTolvanPage* A = Store.GetPage(1, 0, nullptr);
  EXPECT_EQ(NativeCodeOf([&] { Store.Commit(2); }), 10823);
  EXPECT_EQ(PageAccountingFaults(Store), "");
  Store.ReleasePage(A);
  Store.Commit(2);
  EXPECT_EQ(Store.Cache().Find(0), B);

  // A held object of a number the commit frees.
  A = Store.GetPage(1, 1, nullptr);
  Store.RemovePage(2, 1);
  EXPECT_EQ(NativeCodeOf([&] { Store.Commit(2); }), 10823);
  Store.ReleasePage(A);
  Store.Commit(2);
  EXPECT_EQ(Store.Cache().Find(1), nullptr);

  // A clean page in a dirty list.
  TTolvanPage* Clean = Store.NewPage(1);
  Clean->SetDirty(false);
  Store.ReleasePage(Clean);
  EXPECT_EQ(NativeCodeOf([&] { Store.Commit(1); }), 10822);
  EXPECT_EQ(NativeCodeOf([&] { Store.Rollback(1); }), 10820);
  Clean->SetDirty(true);
  Store.Rollback(1);
  Finish(Store);
}

// The object of a number removed while held stays valid for every holder and is freed at the
// last release, whether the session had it from the cache or from its own dirty pages; reusing
// the number meanwhile gives a new object.
TEST(TolvanPageManager, PageRemovedWhileHeldLivesUntilItsLastRelease) {
  for (bool FromDirtyList : {false, true}) {
    SCOPED_TRACE(FromDirtyList ? "dirty list" : "cache");
    TTolvanMemoryPageManager Store;
    Populate(Store, 3);
    if (FromDirtyList) {
      TTolvanPage* P = Store.GetPage(1, 1, nullptr);
      FillPage(P, 8);
      Store.ReleasePage(P);
    }
    TTolvanPage* First = Store.GetPage(1, 1, nullptr);
    TTolvanPage* Second = Store.GetPage(1, 1, nullptr);
    ASSERT_EQ(First, Second);
    Store.RemovePage(1, 1);
    EXPECT_TRUE(First->Removed());
    EXPECT_EQ(First->OwnerList(), &Store.RemovedPages());
    EXPECT_EQ(PageAccountingFaults(Store), "");

    TTolvanPage* Reused = Store.NewPage(1);
    EXPECT_EQ(Reused->PageNo(), 1);
    EXPECT_NE(Reused, First);
    FillPage(Reused, 9);
    Store.ReleasePage(Reused);

    Store.ReleasePage(First);
    EXPECT_EQ(Store.RemovedPages().Count(), 1);
    EXPECT_EQ(Second->UseCount(), 1);
    EXPECT_EQ(Second->PageNo(), 1);
    EXPECT_EQ(PageAccountingFaults(Store), "");
    Store.ReleasePage(Second);
    EXPECT_EQ(Store.RemovedPages().Count(), 0);
    EXPECT_EQ(PageAccountingFaults(Store), "");
    Store.Commit(1);
    EXPECT_EQ(PageBytes(Store.Block(1)), PagePattern(9));
    Finish(Store);
  }
}

TEST(TolvanPageManager, RollbackRefusesPagesChangedInPlace) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 2);
  // A whole new tree rolls back: its bytes do not matter.
  for (int32_t I = 0; I < 300; ++I)
    NewFilledPage(Store, 1, uint32_t(I));
  EXPECT_EQ(Store.AllocatedCount(), 302);
  Store.Rollback(1);
  EXPECT_EQ(Store.AllocatedCount(), 2);
  EXPECT_EQ(PageAccountingFaults(Store), "");

  // A committed page changed in its store block cannot be restored.
  TTolvanPage* P = Store.GetPage(1, 0, nullptr);
  FillPage(P, 50);
  Store.ReleasePage(P);
  const ETolvanException E = Raised([&] { Store.Rollback(1); });
  EXPECT_EQ(E.NativeError(), 20058);
  EXPECT_EQ(E.Message(), "Cannot roll back pages changed in place - Native error: 20058");
  EXPECT_EQ(Store.FindSession(1)->DirtyPages.Find(0), P);
  Store.Commit(1);

  // Nor once the changed page was released.
  P = Store.GetPage(1, 1, nullptr);
  FillPage(P, 51);
  Store.ReleasePage(P);
  Store.RemovePage(1, 1);
  EXPECT_EQ(NativeCodeOf([&] { Store.Rollback(1); }), 20058);
  Store.Commit(1);

  // A private copy made before the change leaves the store untouched: that rolls back.
  P = Store.GetPage(1, 0, nullptr);
  P->MakeWritable(PS);
  FillPage(P, 52);
  Store.ReleasePage(P);
  Store.Rollback(1);
  EXPECT_EQ(PageBytes(Store.Block(0)), PagePattern(50));
  P = Store.GetPage(1, 0, nullptr);
  EXPECT_EQ(PageBytes(P->Buffer()), PagePattern(50));
  Store.ReleasePage(P);
  Finish(Store);
}

TEST(TolvanPageManager, ClearCacheKeepsHeldPages) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 3);
  TTolvanPage* Held = Store.GetPage(1, 1, nullptr);
  Store.ReleasePage(Store.GetPage(1, 2, nullptr));
  Store.ClearCache();
  EXPECT_EQ(Store.Cache().Count(), 1);
  EXPECT_EQ(Store.Cache().Find(1), Held);
  Store.ReleasePage(Held);
  Finish(Store);
}

TEST(TolvanPageManager, ReleaseRefusesPagesItDidNotHandOut) {
  TTolvanMemoryPageManager Store;
  TTolvanPage Loose(Store);
  EXPECT_EQ(NativeCodeOf([&] { Store.ReleasePage(&Loose); }), 20065);
  EXPECT_EQ(NativeCodeOf([&] { Store.ReleasePage(nullptr); }), 20065);
  Loose.SetPageNo(4);
  EXPECT_EQ(NativeCodeOf([&] { Store.ReleasePage(&Loose); }), 20040);
  TTolvanMemoryPageManager Other;
  Populate(Other, 1);
  TTolvanPage* P = Other.GetPage(1, 0, nullptr);
  EXPECT_EQ(NativeCodeOf([&] { Store.ReleasePage(P); }), 20065);
  Other.ReleasePage(P);
  Finish(Other);
  Store.Close();
}

TEST(TolvanPageManager, FailedReadLeavesNoPageInTheCache) {
  TTolvanMemoryPageManager Store;
  Populate(Store, 1);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, 5, nullptr); }), 10392);
  EXPECT_EQ(NativeCodeOf([&] { Store.GetPage(1, -1, nullptr); }), 10392);
  EXPECT_EQ(Store.Cache().Count(), 0);
  Finish(Store);
}

TEST(TolvanPageManager, StoreThatAssignsNoNumberIsRefused) {
  TTestStore Store;
  Store.AssignNothing = true;
  EXPECT_EQ(NativeCodeOf([&] { Store.NewPage(1); }), 20064);
  EXPECT_EQ(Store.SessionCount(), 0);
  Store.Close();
}

TEST(TolvanPageManager, CloseRefusesUncommittedPagesNamingTheStore) {
  TTestStore Store;
  NewFilledPage(Store, 1, 1);
  const ETolvanException E = Raised([&] { Store.Close(); });
  EXPECT_EQ(E.NativeError(), 20097);
  EXPECT_EQ(E.Message(), "Cannot free not commited pages, page manager classname = TTestStore"
                         " - Native error: 20097");
  Store.Commit(1);
  Store.Close(); // the test store keeps no count of its own
  EXPECT_EQ(Store.Cache().Count(), 0);
}

TEST(TolvanPageManager, CachedPagesAreRevalidatedAsTheReloadCheckSays) {
  TTestStore Store;
  NewFilledPage(Store, 1, 1);
  Store.Commit(1);
  Store.Reads = 0;
  TCountingCheck Check;
  Store.ReleasePage(Store.GetPage(1, 0, &Check)); // still cached: asked, not re-read
  EXPECT_EQ(Check.Stamps, std::vector<int32_t>{0});
  Store.Current = 5;
  Store.ReleasePage(Store.GetPage(1, 0, &Check));
  EXPECT_EQ(Store.Reads, 0);
  Check.Answer = true;
  TTolvanPage* P = Store.GetPage(1, 0, &Check);
  EXPECT_EQ(Store.Reads, 1);
  EXPECT_EQ(P->VersionStamp(), 5);
  Store.ReleasePage(P);
  Store.Current = 6;
  Store.ReleasePage(Store.GetPage(1, 0, nullptr)); // no check: always revalidated
  EXPECT_EQ(Store.Reads, 2);
  Store.ClearCache();
  Check.Stamps.clear();
  Store.ReleasePage(Store.GetPage(1, 0, &Check)); // a miss reads without asking
  EXPECT_TRUE(Check.Stamps.empty());
  EXPECT_EQ(Store.Reads, 3);
  Store.Close();
}

} // namespace

namespace {

// Timings of the manager's hot paths (run by hand, in a release build).
TEST(TolvanPageManager, DISABLED_Benchmark) {
  using Clock = std::chrono::steady_clock;
  auto Ms = [](Clock::time_point Since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - Since).count();
  };
  TTolvanMemoryPageManager Store;
  auto T = Clock::now();
  for (int I = 0; I < 13000; ++I) {
    TTolvanPage* P = Store.NewPage(1);
    P->Buffer()[40] = uint8_t(I);
    Store.ReleasePage(P);
  }
  Store.Commit(1);
  Store.ReleasePage(Store.GetPage(1, 0, nullptr)); // trims the cache back to 200
  std::printf("13000 new pages, commit, trim: %.2f ms\n", Ms(T));

  T = Clock::now();
  for (int I = 0; I < 2000000; ++I)
    Store.ReleasePage(Store.GetPage(1, I % 100, nullptr));
  std::printf("2000000 cached fetches and releases: %.2f ms\n", Ms(T));

  T = Clock::now();
  for (int I = 0; I < 1000000; ++I) {
    TTolvanPage* P = Store.GetPage(2, I % 13000, nullptr);
    P->SetDirty(true);
    Store.ReleasePage(P);
    Store.Commit(2);
  }
  std::printf("1000000 change-and-commit operations: %.2f ms\n", Ms(T));

  T = Clock::now();
  for (int I = 0; I < 13000; ++I)
    Store.RemovePage(1, I);
  Store.Commit(1);
  std::printf("13000 pages released and freed: %.2f ms\n", Ms(T));
  Store.Close();
}

} // namespace
