#include "storage/TolvanTableData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "tests/foundation/TestSupport.h"
#include "tests/storage/DatabaseTestSupport.h"
#include "tests/storage/PageAccounting.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// K(ID primary, Who): threads of their own sessions write it at once. Every test runs under the
// lock-order checker (debug builds) and is meant for the ThreadSanitizer build as well.
class TableThreads : public ::testing::Test {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Who", tftInteger);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "PK_K", {"ID"}, true).SetPrimary(1);
    TTolvanConstraintDefs Constraints;
    auto& Primary = Constraints.AddPrimary();
    Primary.SetName("PK_K");
    Primary.Index().SetName("PK_K");
    Primary.Columns().emplace_back("ID", 0);
    Table = &Db.Create("K", Fields, Indexes, Constraints);
  }

  // Checks and stores (ID, Who) as the cursor's post does: under one hold of the table lock.
  // False when the key was taken.
  bool Post(TTestCursor& Cursor, int32_t ID, int32_t Who) {
    SetAllNull(Cursor.Record(), 2);
    SetFieldData(0, *Table->FieldDefs(), &ID, Cursor.Record());
    SetFieldData(1, *Table->FieldDefs(), &Who, Cursor.Record());
    TTolvanTableLock Hold(*Table);
    try {
      Table->CheckConstraints(Cursor, Cursor.Session()->SessionID(), Cursor.Record(), nullptr, true,
                              NewRecordID, false);
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 30319);
      return false;
    }
    return Table->InsertRecord(Cursor);
  }
  // The stored IDs.
  std::vector<int32_t> StoredIDs() {
    std::vector<int32_t> IDs;
    TVectorRecordManager& Records = Table->Records();
    for (int32_t Slot = 0; Slot < Records.SlotCount(); ++Slot) {
      const std::vector<uint8_t> R = Records.Stored(Slot);
      int32_t ID = 0;
      if (!R.empty() && GetFieldData(0, *Table->FieldDefs(), &ID, R.data()))
        IDs.push_back(ID);
    }
    return IDs;
  }

  TTestDatabase Db;
  TTestTableData* Table = nullptr;
};

TEST_F(TableThreads, CollidingPrimaryKeysAreStoredOnce) {
  constexpr int32_t Threads = 8, Keys = 150;
  std::atomic<int32_t> Stored{0};
  std::vector<std::thread> Workers;
  for (int32_t T = 0; T < Threads; ++T)
    Workers.emplace_back([&, T] {
      TTestSession Session(T + 1);
      auto Cursor = Db.NewCursor("K", &Session);
      std::vector<int32_t> Order(Keys);
      for (int32_t I = 0; I < Keys; ++I)
        Order[size_t(I)] = I;
      std::shuffle(Order.begin(), Order.end(), std::mt19937(uint32_t(T)));
      for (int32_t ID : Order)
        if (Post(*Cursor, ID, T))
          ++Stored;
    });
  for (auto& W : Workers)
    W.join();
  EXPECT_EQ(Stored.load(), Keys);
  std::vector<int32_t> IDs = StoredIDs();
  std::sort(IDs.begin(), IDs.end());
  EXPECT_EQ(IDs.size(), size_t(Keys));
  EXPECT_EQ(std::adjacent_find(IDs.begin(), IDs.end()), IDs.end());
  EXPECT_EQ(PageAccountingFaults(Table->Store()), "");
}

TEST_F(TableThreads, AttachDetachAndIndexWorkBesideInserts) {
  constexpr int32_t Inserters = 4, PerThread = 120, Rounds = 25;
  std::atomic<bool> Done{false};
  std::vector<std::thread> Workers;
  for (int32_t T = 0; T < Inserters; ++T)
    Workers.emplace_back([&, T] {
      TTestSession Session(T + 1);
      auto Cursor = Db.NewCursor("K", &Session);
      Table->AttachCursor(*Cursor);
      for (int32_t I = 0; I < PerThread; ++I)
        EXPECT_TRUE(Post(*Cursor, T * 1000 + I, T));
      Table->DetachCursor(*Cursor);
    });
  std::thread Attacher([&] {
    TTestSession A(20), B(21);
    auto First = Db.NewCursor("K", &A);
    auto Second = Db.NewCursor("K", &A);
    auto Third = Db.NewCursor("K", &B);
    for (int32_t R = 0; R < Rounds * 4 && !Done; ++R) {
      Table->AttachCursor(*First);
      Table->AttachCursor(*Second);
      Table->AttachCursor(*Third);
      Table->BeginTableUse();
      Table->DetachCursor(*Second);
      Table->DetachCursor(*First);
      Table->DetachCursor(*Third);
      Table->EndTableUse();
    }
  });
  std::thread Indexer([&] {
    TTestSession S(30);
    auto Cursor = Db.NewCursor("K", &S);
    for (int32_t R = 0; R < Rounds; ++R) {
      // Every other round a unique index, whose constraint the inserts then pass through.
      TTolvanIndexDefs Given;
      AddIndexDef(Given, "Extra", {R % 2 == 0 ? "ID" : "Who"}, R % 2 == 0);
      Table->AddIndex(Given.Items(0), Cursor.get());
      TTolvanTableLock Hold(*Table);
      Table->DeleteIndex(Table->IndexManager()->IndexDefs().FindByName("Extra")->ObjectID(),
                         Cursor.get());
    }
  });
  for (auto& W : Workers)
    W.join();
  Done = true;
  Attacher.join();
  Indexer.join();
  EXPECT_EQ(StoredIDs().size(), size_t(Inserters * PerThread));
  EXPECT_EQ(Table->UseCount(), 0);
  EXPECT_TRUE(Table->Cursors().empty());
  EXPECT_EQ(Table->ScratchRecord(), nullptr);
  EXPECT_EQ(ConstraintNames(*Table), "PK_K");
  EXPECT_EQ(PageAccountingFaults(Table->Store()), "");
}

} // namespace
