// Datasets opened and closed from several threads at once, in sessions of their own and in the
// shared default session; meant for the ThreadSanitizer build too. A watchdog ends the process
// when the test hangs.
#include "components/TolvanDataSet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "components/TolvanComponentStartup.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/TestWatchdog.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Records of table Name in "MEMORY", counted through a cursor of a scratch session.
int64_t RecordCount(const std::string& Name) {
  TComponentPtr<TTolvanSession> S(TTolvanSession::Create(nullptr));
  S->SetSessionName("Counter");
  TTolvanDatabase* Db = TTolvanDatabase::Create(S.get());
  Db->SetDatabaseName("MEMORY");
  Db->Open();
  TTolvanLocalCursor Cursor;
  Cursor.SetSession(Db->EngineSession());
  Cursor.SetTableName(Name);
  Cursor.OpenTable(nullptr, nullptr, nullptr);
  const int64_t Count = Cursor.GetRecordCount();
  Cursor.CloseTable();
  Db->Close();
  return Count;
}

// The release 3.90 tests compile this suite again with a fixture of that release.
#ifndef TOLVAN_THREAD_SUITE_FIXTURE
#define TOLVAN_THREAD_SUITE_FIXTURE ComponentTest
#endif
using DataSetThreads = TOLVAN_THREAD_SUITE_FIXTURE;

// Six threads with a session each and two on the default session open and close datasets on
// their own tables; two datasets at a time share their session's temporary "MEMORY", and every
// fourth round one open fails on a missing table.
TEST_F(DataSetThreads, OpenAndCloseFromManyThreads) {
  TWatchdog Watchdog(240);
  constexpr int Own = 6, Shared = 2, Rounds = 30;
  const int32_t RegistryBefore = DataSetRegistry()->Count();
  for (int T = 0; T < Own + Shared; ++T) {
    MakeSimpleTable("MEMORY", "T" + std::to_string(T));
    auto Maker = tolvan::test::Own(TTolvanSession::Create(nullptr));
    Maker->SetSessionName("Filler");
    TTolvanDatabase* Db = TTolvanDatabase::Create(Maker.get());
    Db->SetDatabaseName("MEMORY");
    Db->Open();
    InsertRow(*Db, "T" + std::to_string(T), "row", T);
    Db->Close();
  }
  std::atomic<int> Failures{0}, Refused{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < Own + Shared; ++T)
    Threads.emplace_back([&, T] {
      try {
        TComponentPtr<TTolvanSession> S;
        std::string SessionName;
        if (T < Own) {
          S.reset(TTolvanSession::Create(nullptr));
          SessionName = "DataSetThread" + std::to_string(T);
          S->SetSessionName(SessionName);
        }
        TComponentPtr<TTestDataSet> A(NewComponent<TTestDataSet>(nullptr));
        TComponentPtr<TTestDataSet> B(NewComponent<TTestDataSet>(nullptr));
        for (TTestDataSet* D : {A.get(), B.get()}) {
          D->SetSessionName(SessionName);
          D->TableName = "T" + std::to_string(T);
        }
        for (int R = 0; R < Rounds; ++R) {
          A->Open();
          B->TableName = R % 4 == 3 ? "Missing" : "T" + std::to_string(T);
          try {
            B->Open();
            if (B->Database() != A->Database())
              throw std::runtime_error("the two datasets hold different databases");
            B->Close();
          } catch (const ETolvanException&) {
            if (B->Active() || B->DatabaseUse() != 0)
              throw std::runtime_error("a failed open holds something");
            ++Refused;
          }
          if (A->FieldDefs().Count() != 2)
            throw std::runtime_error("wrong definitions");
          A->Close();
          A->ClearLog();
          B->ClearLog();
        }
        A.reset();
        B.reset();
        // A session may keep its temporary databases connected until it deactivates.
        if (S)
          S->SetActive(false);
        if (S && S->DatabaseCount() != 0)
          throw std::runtime_error("a temporary database is left");
      } catch (const std::exception& E) {
        std::fprintf(stderr, "thread %d: %s\n", T, E.what());
        ++Failures;
      }
    });
  for (std::thread& T : Threads)
    T.join();
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(Refused.load(), (Own + Shared) * (Rounds / 4));
  EXPECT_EQ(DataSetRegistry()->Count(), RegistryBefore);
  DefaultSession()->SetActive(false);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
  EXPECT_EQ(FindDatabaseData(true, false, "MEMORY", u"")->SessionCount(), 0);
  for (int T = 0; T < Own + Shared; ++T)
    EXPECT_EQ(RecordCount("T" + std::to_string(T)), 1) << T;
  EXPECT_EQ(FindDatabaseData(true, false, "MEMORY", u"")->SessionCount(), 0);
}

} // namespace
