// Threads of their own sessions post through local cursors into one table at once. Meant for the
// ThreadSanitizer build as well.
#include "storage/local/TolvanLocalCursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TEST(LocalCursorThreads, CollidingUniqueKeysAreStoredOnceAndEveryRefusalIsAConstraintFailure) {
  constexpr int32_t Threads = 8;
  constexpr int32_t Keys = 150;
  TLocalStorage Storage;
  // U(K unique, Who); made by a cursor that stays open, so that the table outlives the threads.
  auto Owner = TLocalStorage::Connected("MEMORY");
  TOpenCursor Maker(*Owner, "U");
  {
    TTolvanFieldDefs Fields;
    AddField(Fields, "K", tftInteger);
    AddField(Fields, "Who", tftInteger);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByK", {"K"}, true);
    TTolvanConstraintDefs Constraints;
    auto& Unique = Constraints.AddUnique();
    Unique.SetName("ByK");
    Unique.Index().SetName("ByK");
    Unique.Columns().emplace_back("K", 0);
    Maker.Open(&Fields, &Indexes, &Constraints);
  }
  const std::string Refusal =
      EngineMessage("Constraint unique 'ByK' violated. Duplicate found.", 30320);

  std::vector<int32_t> Accepted(Threads, 0), Refused(Threads, 0), Other(Threads, 0);
  std::atomic<int32_t> Ready{0};
  std::vector<std::thread> Workers;
  for (int32_t T = 0; T < Threads; ++T)
    Workers.emplace_back([&, T] {
      auto Session = TLocalStorage::Connected("MEMORY");
      TOpenCursor C(*Session, "U", false);
      C.Open();
      std::vector<int32_t> Order(Keys);
      std::iota(Order.begin(), Order.end(), 0);
      std::shuffle(Order.begin(), Order.end(), std::mt19937(uint32_t(T)));
      ++Ready;
      while (Ready.load() < Threads)
        std::this_thread::yield();
      for (int32_t Key : Order) {
        C.NewRecord();
        C.SetInteger(0, Key);
        C.SetInteger(1, T);
        C.Cursor.PostRecord(true);
        if (C.Cursor.LastErrorCode() == 0)
          ++Accepted[size_t(T)];
        else if (C.Cursor.LastErrorCode() == -8 && C.Cursor.LastErrorText() == Refusal)
          ++Refused[size_t(T)];
        else
          ++Other[size_t(T)];
      }
    });
  for (auto& W : Workers)
    W.join();

  const int32_t AcceptedAll = std::accumulate(Accepted.begin(), Accepted.end(), 0);
  const int32_t RefusedAll = std::accumulate(Refused.begin(), Refused.end(), 0);
  EXPECT_EQ(std::accumulate(Other.begin(), Other.end(), 0), 0);
  EXPECT_EQ(AcceptedAll, Keys);
  EXPECT_EQ(RefusedAll, Threads * Keys - Keys);
  EXPECT_EQ(Maker.Cursor.GetRecordCount(), Keys);
  std::vector<int32_t> Stored = Maker.Walk();
  std::sort(Stored.begin(), Stored.end());
  std::vector<int32_t> Expected(Keys);
  std::iota(Expected.begin(), Expected.end(), 0);
  EXPECT_EQ(Stored, Expected);
}

} // namespace
