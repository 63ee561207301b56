#include "foundation/TolvanCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace std::chrono_literals;

namespace {

// Waits (bounded) until Pred holds; the tests use it to order threads without sleeping blindly.
template <class P>
bool Eventually(P Pred) {
  for (int I = 0; I < 2000; ++I) {
    if (Pred())
      return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

} // namespace

TEST(ReadWriteLock, OneThreadNestsReadsAndUpgrades) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  L.BeginRead();
  L.BeginRead();
  EXPECT_EQ(L.State(), 1);
  L.BeginWrite();
  EXPECT_EQ(L.State(), -1);
  L.BeginRead(); // a writer may read again
  EXPECT_EQ(L.State(), -1);
  for (int I = 0; I < 4; ++I)
    L.EndAccess();
  EXPECT_EQ(L.State(), 0);
  EXPECT_EQ(L.HolderCount(), 0);
}

TEST(ReadWriteLock, EndAccessWithoutEntryRaisesAndChangesNothing) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  L.BeginRead();
  std::thread T([&] {
    try {
      L.EndAccess();
      ADD_FAILURE() << "no exception";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 11638);
      EXPECT_NE(E.Message().find("Invalid item number - ItemNo = "), std::string::npos);
      EXPECT_NE(E.Message().find("ItemCount = 1"), std::string::npos);
    }
  });
  T.join();
  EXPECT_EQ(L.State(), 1);
  L.EndAccess();
}

TEST(ReadWriteLock, ReadersOverlapAndAWriterWaitsForThem) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  std::atomic<int> Phase{0};
  std::atomic<bool> Wrote{false};
  auto Reader = [&] {
    L.BeginRead();
    Phase.fetch_add(1);
    while (Phase.load() < 10)
      std::this_thread::yield();
    L.EndAccess();
  };
  std::thread R1(Reader), R2(Reader);
  ASSERT_TRUE(Eventually([&] { return Phase.load() == 2; }));
  EXPECT_EQ(L.State(), 2);
  std::thread W([&] {
    L.BeginWrite();
    Wrote = true;
    EXPECT_EQ(L.State(), -1);
    L.EndAccess();
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(Wrote.load());
  Phase = 10;
  R1.join();
  R2.join();
  W.join();
  EXPECT_TRUE(Wrote.load());
  EXPECT_EQ(L.State(), 0);
}

TEST(ReadWriteLock, AWriterExcludesReadersAndWriters) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  int Shared = 0;
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([&, T] {
      for (int I = 0; I < 2000; ++I) {
        if ((I + T) % 3 == 0) {
          TWriteAccess W(L);
          int V = Shared;
          Shared = V + 1;
        } else {
          TReadAccess R(L);
          (void)Shared;
        }
      }
    });
  for (auto& T : Threads)
    T.join();
  int Writes = 0;
  for (int T = 0; T < 4; ++T)
    for (int I = 0; I < 2000; ++I)
      Writes += (I + T) % 3 == 0;
  EXPECT_EQ(Shared, Writes);
  EXPECT_EQ(L.State(), 0);
}

TEST(ReadWriteLock, AReaderUpgradesOnceTheOthersLeave) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  std::atomic<bool> OtherIn{false}, Release{false}, Upgraded{false};
  std::thread Other([&] {
    L.BeginRead();
    OtherIn = true;
    while (!Release)
      std::this_thread::yield();
    L.EndAccess();
  });
  ASSERT_TRUE(Eventually([&] { return OtherIn.load(); }));
  std::thread Upgrader([&] {
    L.BeginRead();
    L.BeginWrite();
    Upgraded = true;
    L.EndAccess();
    L.EndAccess();
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(Upgraded.load());
  Release = true;
  Other.join();
  Upgrader.join();
  EXPECT_TRUE(Upgraded.load());
  EXPECT_EQ(L.State(), 0);
}

TEST(ReadWriteLock, TwoReadersAskingToWriteDoNotDeadlock) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  L.SetOwner(&L, "TTolvanMemoryStream");
  std::atomic<int> Reading{0}, Refused{0}, Wrote{0};
  auto Body = [&](int DelayMs) {
    L.BeginRead();
    ++Reading;
    while (Reading.load() < 2)
      std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
    try {
      L.BeginWrite(); // the earlier asker waits for the other reader to leave
      ++Wrote;
      L.EndAccess();
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 11637);
      EXPECT_NE(E.Message().find("TTolvanMemoryStream"), std::string::npos);
      ++Refused;
    }
    L.EndAccess(); // a refused reader keeps its read access until here
  };
  std::thread First(Body, 0), Second(Body, 40);
  First.join();
  Second.join();
  EXPECT_EQ(Refused.load(), 1);
  EXPECT_EQ(Wrote.load(), 1);
  EXPECT_EQ(L.State(), 0);
}

TEST(ReadWriteLock, OwnerName) {
  TTolvanReadWriteThreadSyncByCriticalSections L;
  EXPECT_EQ(L.OwnerName(), "NULL Pointer");
  int X;
  L.SetOwner(&X, "TTolvanTableData");
  EXPECT_EQ(L.OwnerName(), "TTolvanTableData");
  L.SetOwner(nullptr, "ignored");
  EXPECT_EQ(L.OwnerName(), "NULL Pointer");
}

TEST(SingleCriticalSectionLock, IsReentrantAndExclusive) {
  TTolvanReadWriteThreadSyncBySingleCriticalSection L;
  L.BeginRead();
  L.BeginWrite();
  std::atomic<bool> Got{false};
  std::thread T([&] {
    L.BeginRead();
    Got = true;
    L.EndAccess();
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(Got.load());
  L.EndAccess();
  std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(Got.load());
  L.EndAccess();
  T.join();
  EXPECT_TRUE(Got.load());
}

TEST(SingleCriticalSectionLock, EndAccessByAThreadThatDoesNotHoldItRaises) {
  TTolvanReadWriteThreadSyncBySingleCriticalSection L;
  L.BeginWrite();
  std::thread T([&] {
    try {
      L.EndAccess();
      ADD_FAILURE() << "no exception";
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 11638);
    }
  });
  T.join();
  L.EndAccess();
  try {
    L.EndAccess(); // free now
    ADD_FAILURE() << "no exception";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 11638);
  }
}
