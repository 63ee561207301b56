// Sessions and databases from several threads at once; meant for the ThreadSanitizer build too.
// A watchdog ends the process when a test hangs.
#include "components/TolvanDatabase.h"
#include "components/TolvanSession.h"
#include "tests/components/ComponentTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanRelease.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/TestWatchdog.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

template <class F> void RunThreads(int Count, F&& Body) {
  std::vector<std::thread> Threads;
  std::atomic<int> Failures{0};
  for (int T = 0; T < Count; ++T)
    Threads.emplace_back([&, T] {
      try {
        Body(T);
      } catch (const std::exception& E) {
        std::fprintf(stderr, "thread %d: %s\n", T, E.what());
        ++Failures;
      }
    });
  for (std::thread& T : Threads)
    T.join();
  EXPECT_EQ(Failures.load(), 0);
}

std::set<std::string> RegisteredNames() {
  std::set<std::string> Names;
  TTolvanDatabaseRegistry& R = DatabaseRegistry();
  for (int32_t I = 0; I < R.Count(); ++I) {
    EXPECT_EQ(R.Items(I)->SessionCount(), 0) << R.Items(I)->DatabaseName();
    Names.insert(R.Items(I)->DatabaseName());
  }
  return Names;
}

constexpr int Rounds = 40;

// The release 3.90 tests compile this suite again with a fixture of that release.
#ifndef TOLVAN_THREAD_SUITE_FIXTURE
#define TOLVAN_THREAD_SUITE_FIXTURE ComponentTest
#endif
using SessionThreads = TOLVAN_THREAD_SUITE_FIXTURE;

TEST_F(SessionThreads, EightSessionsInParallel) {
  if (Release390Active())
    GTEST_SKIP() << "release 3.90 neither creates nor drops databases";
  TWatchdog Watchdog(120);
  std::mutex NamesLock;
  std::set<std::string> Expected{"MEMORY", "TEMP"};
  RunThreads(8, [&](int T) {
    const std::string Tag = std::to_string(T);
    auto S = Own(TTolvanSession::Create(nullptr));
    S->SetSessionName("Thread" + Tag);
    TTolvanDatabase* Client = TTolvanDatabase::Create(S.get());
    Client->SetDatabaseName("Client" + Tag);
    std::set<std::string> Mine{"Client" + Tag};
    for (int R = 0; R < Rounds; ++R) {
      const std::string Round = Tag + "_" + std::to_string(R);
      S->SetActive(true);
      // The client database, kept connected or not.
      Client->SetKeepConnection(R % 2 == 0);
      TFakeClient A;
      if (!A.Use(*S, "client" + Tag))
        throw std::runtime_error("client database did not open");
      A.Disconnect();
      if (Client->Connected() != (R % 2 == 0))
        throw std::runtime_error("KeepConnection not followed");
      // Temporary databases, opened twice and released.
      TFakeClient B, C;
      if (!B.Use(*S, "Tmp" + Round) || !C.Use(*S, "Tmp" + Round))
        throw std::runtime_error("temporary database did not open");
      B.Disconnect();
      C.Disconnect();
      Mine.insert("Tmp" + Round);
      // A question that connects for its answer.
      if (Client->TableExists("Nothing"))
        throw std::runtime_error("a table from nowhere");
      // A database made, filled and dropped (every other one stays).
      TTolvanDatabase* Made = TTolvanDatabase::Create(S.get());
      Made->SetDatabaseName("Made" + Round);
      Made->CreateDatabase();
      Made->Open();
      MakeTable(*Made, "T");
      Made->Close();
      if (R % 2 == 0)
        Made->DropDatabase();
      else
        Mine.insert("Made" + Round);
      Made->Free();
      S->SetActive(false);
    }
    if (S->DatabaseCount() != 1)
      throw std::runtime_error("a temporary database is left");
    std::lock_guard Guard(NamesLock);
    Expected.insert(Mine.begin(), Mine.end());
  });
  EXPECT_EQ(RegisteredNames(), Expected);
  EXPECT_EQ(SessionList().Count(), 1);
}

TEST_F(SessionThreads, AutomaticNamesStayUniqueAcrossThreads) {
  TWatchdog Watchdog(120);
  std::atomic<int32_t> HighestNumber{-1};
  RunThreads(8, [&](int) {
    for (int R = 0; R < 40; ++R) {
      auto Form = MakeComponent<TComponent>();
      TTolvanSession* S = TTolvanSession::Create(Form.get());
      S->SetName("Sess");
      S->SetAutoSessionName(true);
      if (SessionList().FindSession(S->SessionName()) != S)
        throw std::runtime_error("another session answers to " + S->SessionName());
      int32_t Seen = HighestNumber.load();
      while (S->AutoNumber() > Seen && !HighestNumber.compare_exchange_weak(Seen, S->AutoNumber()))
        ;
    }
  });
  EXPECT_LE(HighestNumber.load(), 7) << "numbers are given back and reused";
  EXPECT_EQ(SessionList().AutoNumbersInUse(), 0);
  EXPECT_EQ(SessionList().Count(), 1);
}

TEST_F(SessionThreads, DefaultSessionServesFourThreads) {
  TWatchdog Watchdog(120);
  TTolvanSession* Default = DefaultSession();
  RunThreads(4, [&](int T) {
    for (int R = 0; R < 300; ++R) {
      const bool Nested = (R + T) % 2 == 0;
      if (Nested) {
        Default->Lock();
        Default->Lock();
      }
      TFakeClient A;
      const bool Opened = A.Use(*Default, "MEMORY");
      if (Opened)
        A.Disconnect();
      // Left before reporting, so that a failure does not hang the other threads.
      if (Nested) {
        Default->Unlock();
        Default->Unlock();
      }
      if (!Opened)
        throw std::runtime_error("MEMORY did not open");
    }
  });
  // A session may keep its temporary databases connected until it deactivates.
  Default->SetActive(false);
  EXPECT_EQ(Default->DatabaseCount(), 0);
  EXPECT_EQ(Default->LockDepth(), 0);
  EXPECT_EQ(FindDatabaseData(true, false, "MEMORY", u"")->SessionCount(), 0);
  std::atomic<bool> Entered{false};
  std::thread Other([&] {
    Default->Lock();
    Entered = true;
    Default->Unlock();
  });
  Other.join();
  EXPECT_TRUE(Entered.load()) << "the section is free";
}

TEST_F(SessionThreads, DropRacesWithConnections) {
  if (Release390Active())
    GTEST_SKIP() << "release 3.90 does not drop databases";
  TWatchdog Watchdog(120);
  std::atomic<bool> Stop{false};
  std::atomic<int> Refused{0}, Dropped{0};
  RunThreads(3, [&](int T) {
    auto S = Own(TTolvanSession::Create(nullptr));
    S->SetSessionName("Racer" + std::to_string(T));
    TTolvanDatabase* D = TTolvanDatabase::Create(S.get());
    D->SetDatabaseName("Race");
    if (T == 0) {
      for (int R = 0; R < 500; ++R) {
        try {
          D->DropDatabase();
          ++Dropped;
        } catch (const ETolvanException& E) {
          if (E.NativeError() != 11747)
            throw;
          ++Refused;
        }
      }
      Stop = true;
      return;
    }
    while (!Stop) {
      D->Open();
      if (D->TableExists("T"))
        throw std::runtime_error("the database was not empty");
      D->Close();
    }
  });
  EXPECT_EQ(Dropped + Refused, 500);
  // Whether a racing drop got through depends on timing; once the connectors have gone, one must:
  // no connection left the database attached.
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("RaceAfter");
  TTolvanDatabase* D = TTolvanDatabase::Create(S.get());
  D->SetDatabaseName("Race");
  EXPECT_NO_THROW(D->DropDatabase());
}

} // namespace
