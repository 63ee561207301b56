#include "platform/TolvanPlatform.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace tolvan;

TEST(PlatformLock, IsReentrantAndExcludesOtherThreads) {
  TPlatformLock Lock;
  Lock.Enter();
  Lock.Enter(); // the holder may enter again
  bool OtherGotIt = true;
  std::thread T([&] { OtherGotIt = Lock.TryEnter(); });
  T.join();
  EXPECT_FALSE(OtherGotIt);
  Lock.Leave();
  Lock.Leave();
  std::thread U([&] {
    OtherGotIt = Lock.TryEnter();
    if (OtherGotIt)
      Lock.Leave();
  });
  U.join();
  EXPECT_TRUE(OtherGotIt);
}

TEST(PlatformLock, SerialisesCounterUpdates) {
  TPlatformLock Lock;
  int Counter = 0;
  std::vector<std::thread> Threads;
  for (int I = 0; I < 4; ++I)
    Threads.emplace_back([&] {
      for (int J = 0; J < 10000; ++J) {
        std::lock_guard G(Lock);
        ++Counter;
      }
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Counter, 40000);
}

TEST(Platform, ThreadIdsAreStableNonZeroAndDistinct) {
  uint32_t Mine = GetCurrentThreadId();
  EXPECT_NE(Mine, 0u);
  EXPECT_EQ(Mine, GetCurrentThreadId());
  std::set<uint32_t> Ids{Mine};
  std::vector<uint32_t> Seen(4);
  std::vector<std::thread> Threads;
  for (int I = 0; I < 4; ++I)
    Threads.emplace_back([&, I] { Seen[I] = GetCurrentThreadId(); });
  for (auto& T : Threads)
    T.join();
  Ids.insert(Seen.begin(), Seen.end());
  EXPECT_EQ(Ids.size(), 5u);
}

TEST(Platform, TickCountAdvancesWithSleep) {
  uint32_t A = GetTickCount();
  Sleep(20);
  uint32_t B = GetTickCount();
  EXPECT_GE(static_cast<uint32_t>(B - A), 15u);
  EXPECT_LT(static_cast<uint32_t>(B - A), 10000u);
  YieldProcessor();
  Sleep(0);
}
