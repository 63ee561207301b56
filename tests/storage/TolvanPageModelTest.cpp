// Three sessions work on one store at random, against a model of what each session has pending
// and what the store holds. Sessions keep off the numbers another one has pending, as the table
// lock would keep them apart; within that they interleave freely.
#include "storage/TolvanPageStores.h"
#include "tests/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "foundation/TolvanConst.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

struct TSessionModel {
  int32_t ID = 0;
  std::map<int32_t, uint32_t> Pending; // number -> seed of its current bytes
  std::set<int32_t> New;               // allocated since the last commit or rollback
  std::vector<int32_t> Removed;        // released numbers, last one reused first
  std::set<int32_t> InPlace;           // changed in a store block: a rollback cannot undo them
  std::vector<TTolvanPage*> Held;
};

template <class TStore> class TModelRun {
public:
  TModelRun(TStore& Store, uint32_t Seed, int32_t MemoryLimit)
      : S(Store), Rng(Seed), Limit(MemoryLimit) {
    for (int I = 0; I < 3; ++I)
      Sessions[I].ID = 10 + I;
    S.SetCacheCapacity(8);
  }

  void Run(int Ops) {
    for (int Op = 0; Op < Ops; ++Op) {
      SCOPED_TRACE(testing::Message() << "op " << Op);
      TSessionModel& M = Sessions[Pick(3)];
      const int Kind = Pick(100);
      if (Kind < 22)
        NewPage(M);
      else if (Kind < 50)
        GetPage(M);
      else if (Kind < 72)
        Release(M);
      else if (Kind < 80)
        RemovePage(M);
      else if (Kind < 92)
        Commit(M);
      else if (Kind < 98)
        Rollback(M);
      else
        S.ClearCache();
      ASSERT_EQ(PageAccountingFaults(S), "");
      ASSERT_EQ(S.AllocatedCount(), AllocatedInModel());
      if (HasFatalFailure())
        return;
    }
    for (TSessionModel& M : Sessions) {
      ReleaseAll(M);
      Commit(M);
    }
    ASSERT_EQ(S.SessionCount(), 0);
  }

private:
  static bool HasFatalFailure() { return testing::Test::HasFatalFailure(); }

  int Pick(int N) { return int(Rng() % uint32_t(N)); }

  int32_t AllocatedInModel() const {
    size_t N = Committed.size();
    for (const TSessionModel& M : Sessions)
      N += M.New.size();
    return int32_t(N);
  }

  bool Allocated(int32_t N) const {
    if (Committed.count(N))
      return true;
    for (const TSessionModel& M : Sessions)
      if (M.New.count(N))
        return true;
    return false;
  }

  // The session that has N pending, or nil.
  const TSessionModel* Owner(int32_t N) const {
    for (const TSessionModel& M : Sessions)
      if (M.Pending.count(N) || M.New.count(N) ||
          std::find(M.Removed.begin(), M.Removed.end(), N) != M.Removed.end())
        return &M;
    return nullptr;
  }

  bool HeldByOther(int32_t N, const TSessionModel& Me) const {
    for (const TSessionModel& M : Sessions)
      if (&M != &Me)
        for (const TTolvanPage* P : M.Held)
          if (P->PageNo() == N && !P->Removed())
            return true;
    return false;
  }

  // Numbers the session may fetch: its own pending ones and committed ones nobody else has.
  std::vector<int32_t> Visible(const TSessionModel& M) const {
    std::vector<int32_t> V;
    for (const auto& [N, Seed] : M.Pending)
      V.push_back(N);
    for (const auto& [N, Seed] : Committed) {
      const TSessionModel* O = Owner(N);
      if (!O || (O == &M && !M.Pending.count(N) &&
                 std::find(M.Removed.begin(), M.Removed.end(), N) == M.Removed.end()))
        V.push_back(N);
    }
    return V;
  }

  // Writes new bytes into a page the session holds, sometimes into a private copy first.
  void Change(TSessionModel& M, TTolvanPage* P) {
    const int32_t N = P->PageNo();
    if (Pick(5) == 0) {
      if (P->Dirty() && !P->OwnsBuffer())
        M.InPlace.insert(N);
      P->MakeWritable(PS + Pick(2) * 40);
    }
    if (!P->OwnsBuffer())
      M.InPlace.insert(N);
    const uint32_t Seed = NextSeed++;
    std::memcpy(P->Buffer(), Pattern(Seed).data(), PS);
    P->SetDirty(true);
    M.Pending[N] = Seed;
  }

  int32_t ExpectedFreshNumber() const {
    int32_t N = 0;
    while (Allocated(N))
      ++N;
    if (Limit >= 0 && SlotCount >= Limit)
      return SlotCount;
    return N;
  }

  void NewPage(TSessionModel& M) {
    if (AllocatedInModel() >= 120)
      return;
    const bool Reuse = !M.Removed.empty();
    const int32_t Expected = Reuse ? M.Removed.back() : ExpectedFreshNumber();
    TTolvanPage* P = S.NewPage(M.ID);
    ASSERT_EQ(P->PageNo(), Expected);
    ASSERT_NE(P->Buffer(), nullptr);
    if (Reuse) {
      M.Removed.pop_back();
    } else {
      M.New.insert(Expected);
      SlotCount = std::max(SlotCount, Expected + 1);
    }
    M.Held.push_back(P);
    Change(M, P);
  }

  void GetPage(TSessionModel& M) {
    if (!M.Removed.empty() && Pick(10) == 0) {
      ASSERT_EQ(NativeCodeOf([&] { S.GetPage(M.ID, M.Removed.back(), nullptr); }), 20056);
      return;
    }
    const auto V = Visible(M);
    if (V.empty())
      return;
    const int32_t N = V[size_t(Pick(int(V.size())))];
    TTolvanPage* P = S.GetPage(M.ID, N, nullptr);
    ASSERT_EQ(P->PageNo(), N);
    const uint32_t Seed = M.Pending.count(N) ? M.Pending[N] : Committed.at(N);
    ASSERT_EQ(PageBytes(P->Buffer()), Pattern(Seed)) << "page " << N;
    M.Held.push_back(P);
    if (Pick(2) == 0 && !HeldByOther(N, M))
      Change(M, P);
  }

  void Release(TSessionModel& M) {
    if (M.Held.empty())
      return;
    const size_t I = size_t(Pick(int(M.Held.size())));
    TTolvanPage* P = M.Held[I];
    M.Held.erase(M.Held.begin() + long(I));
    S.ReleasePage(P);
  }

  void RemovePage(TSessionModel& M) {
    std::vector<int32_t> V;
    for (int32_t N : Visible(M))
      if (!HeldByOther(N, M))
        V.push_back(N);
    if (V.empty())
      return;
    const int32_t N = V[size_t(Pick(int(V.size())))];
    S.RemovePage(M.ID, N);
    M.Removed.push_back(N);
    M.Pending.erase(N);
    ASSERT_EQ(NativeCodeOf([&] { S.RemovePage(M.ID, N); }), 20056);
  }

  void ReleaseAll(TSessionModel& M) {
    while (!M.Held.empty())
      Release(M);
  }

  // A table operation ends: its pages are released, then it commits.
  void Commit(TSessionModel& M) {
    if (!M.Held.empty() && Pick(4) == 0) {
      // A held page of the session's dirty list stops the commit before anything changes.
      const auto* Entry = S.FindSession(M.ID);
      for (TTolvanPage* P : M.Held)
        if (Entry && P->OwnerList() == &Entry->DirtyPages) {
          ASSERT_EQ(NativeCodeOf([&] { S.Commit(M.ID); }), 10823);
          return;
        }
    }
    ReleaseAll(M);
    S.Commit(M.ID);
    for (const auto& [N, Seed] : M.Pending)
      Committed[N] = Seed;
    for (int32_t N : M.Removed)
      Committed.erase(N);
    for (int32_t N : M.New)
      if (!Committed.count(N) && std::find(M.Removed.begin(), M.Removed.end(), N) == M.Removed.end())
        ADD_FAILURE() << "new page " << N << " committed without bytes";
    M = TSessionModel{M.ID, {}, {}, {}, {}, {}};
    CheckStoreBytes();
  }

  void Rollback(TSessionModel& M) {
    ReleaseAll(M);
    const bool Refused = std::any_of(M.InPlace.begin(), M.InPlace.end(),
                                     [&](int32_t N) { return !M.New.count(N); });
    if (Refused) {
      ASSERT_EQ(NativeCodeOf([&] { S.Rollback(M.ID); }), 20058);
      return;
    }
    S.Rollback(M.ID);
    M = TSessionModel{M.ID, {}, {}, {}, {}, {}};
    CheckStoreBytes();
  }

  // The bytes the store holds for every committed number that no session has pending (a
  // pending change may already be in a memory block).
  void CheckStoreBytes() {
    for (const auto& [N, Seed] : Committed)
      if (!Owner(N)) {
        ASSERT_EQ(StoreBytes(N), Pattern(Seed)) << "page " << N;
      }
  }

  std::vector<uint8_t> StoreBytes(int32_t N);

  const std::vector<uint8_t>& Pattern(uint32_t Seed) {
    auto It = Patterns.find(Seed);
    if (It == Patterns.end())
      It = Patterns.emplace(Seed, PagePattern(Seed)).first;
    return It->second;
  }

  TStore& S;
  std::mt19937 Rng;
  int32_t Limit; // the temporary store's MemoryLimit; -1 for the memory store
  int32_t SlotCount = 0;
  uint32_t NextSeed = 1;
  std::map<int32_t, uint32_t> Committed;
  std::map<uint32_t, std::vector<uint8_t>> Patterns;
  TSessionModel Sessions[3];
};

template <> std::vector<uint8_t> TModelRun<TTolvanMemoryPageManager>::StoreBytes(int32_t N) {
  return PageBytes(S.Block(N));
}

template <> std::vector<uint8_t> TModelRun<TTolvanTemporaryPageManager>::StoreBytes(int32_t N) {
  if (N < S.MemoryLimit())
    return PageBytes(S.InnerStore().Block(N));
  std::vector<uint8_t> V(PS);
  TTolvanTemporaryStream& Spill = *S.SpillStream();
  Spill.Seek(int64_t(N - S.MemoryLimit()) * PS, soBeginning);
  EXPECT_EQ(Spill.Read(V.data(), PS), PS);
  return V;
}

TEST(TolvanPageManagerModel, MemoryStore) {
  for (uint32_t Seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed);
    TTolvanMemoryPageManager Store;
    TModelRun<TTolvanMemoryPageManager> Run(Store, Seed, -1);
    Run.Run(2500);
    if (testing::Test::HasFatalFailure())
      return;
    ReleaseAll(Store, 1, Store.Capacity());
    Store.Close();
  }
}

TEST(TolvanPageManagerModel, TemporaryStore) {
  for (uint32_t Seed : {4u, 5u, 6u}) {
    SCOPED_TRACE(testing::Message() << "seed " << Seed);
    const int32_t Saved = TempPageCacheSize;
    TempPageCacheSize = 6;
    TTolvanTemporaryPageManager Store;
    TempPageCacheSize = Saved;
    TModelRun<TTolvanTemporaryPageManager> Run(Store, Seed, 6);
    Run.Run(2500);
    if (testing::Test::HasFatalFailure())
      return;
    ReleaseAll(Store, 1, Store.SlotCount());
    Store.Close();
  }
}

} // namespace
