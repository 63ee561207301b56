// Threads of their own sessions post through local cursors into one table at once. Meant for the
// ThreadSanitizer build as well.
#include "storage/local/TolvanLocalCursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "classlib/StringList.h"
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

// Every write through a local cursor waits for the database's write gate, taken before any lock,
// and reads do not: while the test holds the gate, a write started on another thread stays
// blocked and completes once the gate is free, and a read completes at once. Writes to a
// temporary table take no gate.
TEST(LocalCursorThreads, WritesWaitForTheDatabasesWriteGateAndReadsDoNot) {
  using namespace std::chrono_literals;
  TLocalStorage Storage;
  auto Session = TLocalStorage::Connected("MEMORY");
  TOpenCursor C(*Session, "G");
  {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "N", tftAutoIncInteger);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByID", {"ID"});
    C.Open(&Fields, &Indexes);
  }
  TTolvanLocalCursor& K = C.Cursor;
  for (int32_t ID = 1; ID <= 5; ++ID)
    ASSERT_EQ(C.Insert(ID), 0);
  TTolvanWriteGate& Gate = Session->Database()->WriteGate();

  // Runs Step on another thread while the gate is held; true when it had to wait for it.
  auto WaitsForGate = [&](const std::function<void()>& Step) {
    std::future<void> Done;
    bool Waited;
    {
      TWriteGateHold Hold(Gate);
      Done = std::async(std::launch::async, Step);
      Waited = Done.wait_for(100ms) == std::future_status::timeout;
    }
    Done.get();
    return Waited;
  };

  TTolvanVariant Value;
  Value.SetAsInteger(7);
  TTolvanVariant* Values[] = {&Value};
  TStringList Names;
  Names.Add("N");
  TTolvanIndexDefs ExtraDefs;
  const TTolvanIndexDef& Extra = AddIndexDef(ExtraDefs, "ByN", {"N"});

  const struct {
    const char* What;
    std::function<void()> Prepare, Step;
  } Writes[] = {
      {"insert", {}, [&] { EXPECT_EQ(C.Insert(10), 0); }},
      {"update",
       [&] {
         ASSERT_TRUE(K.Locate("ID", Variant(2), false, false));
         ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
         C.Edit();
       },
       [&] {
         C.SetInteger(0, 20);
         K.PostRecord(false);
         EXPECT_EQ(K.LastErrorCode(), 0) << K.LastErrorText();
       }},
      {"delete",
       [&] {
         ASSERT_TRUE(K.Locate("ID", Variant(3), false, false));
         ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
       },
       [&] {
         K.DeleteRecord();
         EXPECT_EQ(K.LastErrorCode(), 0);
       }},
      {"auto-increment value", {}, [&] { K.SetAutoIncValue(1, 100); }},
      {"add index", {}, [&] { K.AddIndex(Extra); }},
      {"delete index", {}, [&] { K.DeleteIndex("ByN"); }},
      {"update all", {}, [&] { K.UpdateAllRecords(Names, Values, false); }},
      {"delete all", {}, [&] { K.DeleteAllRecords(); }},
  };
  for (const auto& W : Writes) {
    SCOPED_TRACE(W.What);
    if (W.Prepare)
      W.Prepare();
    EXPECT_TRUE(WaitsForGate(W.Step));
  }
  EXPECT_EQ(K.GetRecordCount(), 0);

  ASSERT_EQ(C.Insert(1), 0);
  EXPECT_FALSE(WaitsForGate([&] {
    EXPECT_EQ(K.GetRecordCount(), 1);
    EXPECT_TRUE(K.Locate("ID", Variant(1), false, false));
    K.SetToBegin();
    EXPECT_EQ(K.GetRecord(rmNext), rrOK);
  }));

  auto Temp = TLocalStorage::Connected("TEMP", false, true);
  TTolvanLocalCursor Maker;
  Maker.SetSession(Temp.get());
  Maker.SetTableName("T");
  Maker.SetTemporary(true);
  Maker.SetKeepTemporaryTable(true);
  {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    Maker.CreateTable(Fields, Indexes, Constraints);
  }
  TOpenCursor T(*Temp, Maker.TableName(), false, true);
  T.Open();
  ASSERT_TRUE(T.Cursor.IsTemporaryTable());
  TTolvanWriteGate& TempGate = Temp->Database()->WriteGate();
  std::future<void> Done;
  {
    TWriteGateHold Hold(TempGate);
    Done = std::async(std::launch::async, [&] { EXPECT_EQ(T.Insert(1), 0); });
    EXPECT_EQ(Done.wait_for(10s), std::future_status::ready);
  }
  Done.get();
}

} // namespace
