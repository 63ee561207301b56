// Threads of their own sessions change a parent table and two tables referencing it at once,
// while a third saves the database: the database's write gate makes the foreign-key checks,
// cascades and saves take turns instead of waiting for each other's table locks. Meant for the
// ThreadSanitizer build as well.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/local/TolvanLocalCursor.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/TestWatchdog.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/LocalStorageTestSupport.h"
#include "tests/storage/MemoryEngineTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int32_t IDField = 0;
constexpr int32_t PIDField = 1;
constexpr int32_t KeyRange = 48;

void CreateParent(TTolvanBaseSession& Session) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "PK", {"ID"}, true).SetPrimary(1);
  TTolvanConstraintDefs Constraints;
  TTolvanLocalCursor Maker;
  Maker.SetSession(&Session);
  Maker.SetTableName("P");
  Maker.SetInMemory(true);
  Maker.CreateTable(Fields, Indexes, Constraints);
}

// Name(ID primary, PID referencing P.ID) with an index on PID; Action on delete and on update.
void CreateChild(TTolvanBaseSession& Session, std::string_view Name,
                 TTolvanForeignKeyAction Action) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  AddField(Fields, "PID", tftInteger);
  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "PK", {"ID"}, true).SetPrimary(1);
  AddIndexDef(Indexes, "ByPID", {"PID"});
  TTolvanConstraintDefs Constraints;
  auto& Key = Constraints.AddForeignKey();
  Key.SetName(std::string("FK_") + std::string(Name));
  Key.Table().SetName("P");
  Key.Columns().emplace_back("PID", 0);
  Key.SetOnDelete(Action);
  Key.SetOnUpdate(Action);
  TTolvanLocalCursor Maker;
  Maker.SetSession(&Session);
  Maker.SetTableName(Name);
  Maker.SetInMemory(true);
  Maker.CreateTable(Fields, Indexes, Constraints);
}

// Field 0 of every record of the table, with PIDs (field 1, -1 for NULL) when the table has one.
struct TRows {
  std::vector<int32_t> IDs;
  std::vector<int32_t> PIDs;
};

TRows ReadRows(TTolvanBaseSession& Session, std::string_view Name) {
  TOpenCursor C(Session, Name);
  C.Open();
  TRows Rows;
  const bool Child = C.Cursor.FieldDefs().Count() > 1;
  C.Cursor.SetToBegin();
  while (C.Cursor.GetRecord(rmNext) == rrOK) {
    Rows.IDs.push_back(C.Integer(IDField));
    if (Child)
      Rows.PIDs.push_back(C.Integer(PIDField));
  }
  return Rows;
}

// Faults of the data of the three tables: duplicate keys and children without a parent.
std::string DataFaults(TTolvanBaseSession& Session) {
  std::string Faults;
  const TRows Parents = ReadRows(Session, "P");
  const std::set<int32_t> Keys(Parents.IDs.begin(), Parents.IDs.end());
  if (Keys.size() != Parents.IDs.size())
    Faults += "P: duplicate key; ";
  for (const char* Name : {"CC", "CN"}) {
    const TRows Children = ReadRows(Session, Name);
    if (std::set<int32_t>(Children.IDs.begin(), Children.IDs.end()).size() != Children.IDs.size())
      Faults += std::string(Name) + ": duplicate key; ";
    for (size_t I = 0; I < Children.PIDs.size(); ++I)
      if (Children.PIDs[I] != -1 && !Keys.count(Children.PIDs[I]))
        Faults += std::string(Name) + ": child " + std::to_string(Children.IDs[I]) +
                  " lacks parent " + std::to_string(Children.PIDs[I]) + "; ";
  }
  return Faults;
}

// P(ID); CC cascades the deletes and key changes of P, CN sets its references to NULL. One thread
// inserts children with random parent keys (some missing, some NULL) and moves children to random
// parents; one deletes parents, changes their keys and adds new ones; one saves the database.
TEST(ForeignKeyThreads, ChildWritesParentChangesAndSavesKeepEveryChildsParent) {
  constexpr int32_t ChildRounds = 400;
  constexpr int32_t ParentRounds = 150;
  TLocalStorage Storage;
  auto Owner = TLocalStorage::Connected("MEMORY");
  CreateParent(*Owner);
  CreateChild(*Owner, "CC", tfaCascade);
  CreateChild(*Owner, "CN", tfaSetNull);
  std::set<int32_t> ParentKeys; // written by the parent thread only once the threads run
  {
    TOpenCursor P(*Owner, "P");
    P.Open();
    for (int32_t K = 0; K < KeyRange; K += 2) {
      ASSERT_EQ(P.Insert(K), 0) << P.Cursor.LastErrorText();
      ParentKeys.insert(K);
    }
  }

  std::string ChildFailures, ParentFailures, SaveFailures;
  int32_t ChildAccepted = 0, ChildRefused = 0, Saves = 0;
  std::vector<uint8_t> LastSave;
  std::mutex DoneLock;
  bool WritersDone = false;
  int32_t WritersLeft = 2;
  auto WriterDone = [&] {
    std::lock_guard Lock(DoneLock);
    WritersDone = --WritersLeft == 0;
  };

  auto ChildWriter = [&] {
    auto Session = TLocalStorage::Connected("MEMORY");
    TOpenCursor CC(*Session, "CC");
    TOpenCursor CN(*Session, "CN");
    CC.Open();
    CN.Open();
    std::mt19937 Random(7);
    std::vector<int32_t> Made[2];
    try {
      for (int32_t I = 0; I < ChildRounds; ++I) {
        const int32_t Which = int32_t(Random() % 2);
        TOpenCursor& C = Which ? CN : CC;
        const int32_t PID = int32_t(Random() % (KeyRange + 4)) - 2; // a few below and above
        const bool Update = !Made[Which].empty() && Random() % 3 == 0;
        if (Update) {
          const int32_t ID = Made[Which][Random() % Made[Which].size()];
          // Gone when a cascade took it meanwhile. The read names the record in the buffer for
          // the update.
          if (!C.Cursor.Locate("ID", Variant(ID), false, false) ||
              C.Cursor.GetRecord(rmCurrent) != rrOK)
            continue;
          C.Edit();
          C.SetInteger(PIDField, PID);
          C.Cursor.PostRecord(false);
        } else {
          C.NewRecord();
          C.SetInteger(IDField, I);
          if (PID >= 0)
            C.SetInteger(PIDField, PID);
          C.Cursor.PostRecord(true);
        }
        const int32_t Code = C.Cursor.LastErrorCode();
        // -8: the parent has gone (or never was); -2: the record went between find and post.
        if (Code == 0) {
          ++ChildAccepted;
          if (!Update)
            Made[Which].push_back(I);
        } else if (Code == -8 || (Update && Code == -2)) {
          ++ChildRefused;
        } else {
          ChildFailures += std::to_string(Code) + " " + C.Cursor.LastErrorText() + "; ";
        }
      }
    } catch (const std::exception& E) {
      ChildFailures += std::string("raised: ") + E.what();
    }
    WriterDone();
  };

  auto ParentWriter = [&] {
    auto Session = TLocalStorage::Connected("MEMORY");
    TOpenCursor P(*Session, "P");
    P.Open();
    std::mt19937 Random(11);
    auto AnyKey = [&] {
      auto It = ParentKeys.begin();
      std::advance(It, Random() % ParentKeys.size());
      return *It;
    };
    auto FreeKey = [&] {
      for (;;)
        if (const int32_t K = int32_t(Random() % KeyRange); !ParentKeys.count(K))
          return K;
    };
    try {
      for (int32_t I = 0; I < ParentRounds; ++I) {
        // Between 8 and KeyRange - 8 parents, so that a free key is always there to take.
        uint32_t Step = Random() % 3;
        if (ParentKeys.size() < 8)
          Step = 0;
        else if (Step == 0 && ParentKeys.size() > size_t(KeyRange - 8))
          Step = 1;
        std::string What;
        if (Step == 0) {
          const int32_t K = FreeKey();
          What = "insert " + std::to_string(K);
          P.Insert(K);
          ParentKeys.insert(K);
        } else {
          const int32_t K = AnyKey();
          // The read names the record in the buffer for the delete or update that follows.
          if (!P.Cursor.Locate("ID", Variant(K), false, false) ||
              P.Cursor.GetRecord(rmCurrent) != rrOK) {
            ParentFailures += "parent " + std::to_string(K) + " not found; ";
            continue;
          }
          if (Step == 1) {
            What = "delete " + std::to_string(K);
            P.Cursor.DeleteRecord();
            ParentKeys.erase(K);
          } else {
            const int32_t New = FreeKey();
            What = "move " + std::to_string(K) + " to " + std::to_string(New);
            P.Edit();
            P.SetInteger(IDField, New);
            P.Cursor.PostRecord(false);
            ParentKeys.erase(K);
            ParentKeys.insert(New);
          }
        }
        if (P.Cursor.LastErrorCode() != 0)
          ParentFailures += What + ": " + std::to_string(P.Cursor.LastErrorCode()) + " " +
                            P.Cursor.LastErrorText() + "; ";
      }
    } catch (const std::exception& E) {
      ParentFailures += std::string("raised: ") + E.what();
    }
    WriterDone();
  };

  auto Saver = [&] {
    auto Session = TLocalStorage::Connected("MEMORY");
    try {
      for (;;) {
        TVectorStream Stream;
        Session->SaveDatabaseToStream(Stream);
        LastSave = std::move(Stream.Data);
        ++Saves;
        std::lock_guard Lock(DoneLock);
        if (WritersDone)
          break;
      }
    } catch (const std::exception& E) {
      SaveFailures += std::string("raised: ") + E.what();
    }
  };

  {
    TWatchdog Watchdog(120);
    std::thread Threads[] = {std::thread(ChildWriter), std::thread(ParentWriter),
                             std::thread(Saver)};
    for (auto& T : Threads)
      T.join();
  }

  EXPECT_EQ(ChildFailures, "");
  EXPECT_EQ(ParentFailures, "");
  EXPECT_EQ(SaveFailures, "");
  EXPECT_GT(ChildAccepted, 0);
  EXPECT_GT(ChildRefused, 0);
  EXPECT_GE(Saves, 1);

  EXPECT_EQ(DataFaults(*Owner), "");
  const TRows Parents = ReadRows(*Owner, "P");
  EXPECT_EQ(std::set<int32_t>(Parents.IDs.begin(), Parents.IDs.end()), ParentKeys);
  for (const char* Name : {"P", "CC", "CN"}) {
    auto* Table = dynamic_cast<TTolvanMemoryTableData*>(Owner->Database()->FindTableData(Name));
    ASSERT_NE(Table, nullptr) << Name;
    EXPECT_EQ(MemoryTableFaults(*Table, Owner->SessionID()), "") << Name;
  }

  // The last save was taken between whole operations: loaded elsewhere, its children have
  // their parents too.
  auto Copy = TLocalStorage::Connected("Copy");
  TVectorStream Saved(LastSave);
  Copy->LoadDatabaseFromStream(Saved);
  EXPECT_EQ(DataFaults(*Copy), "");
}

} // namespace
