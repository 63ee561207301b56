#include "foundation/TolvanLockOrder.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "foundation/TolvanCriticalSection.h"

using namespace tolvan;

namespace {

// Violations become exceptions for the length of a test, so that each can be observed.
class LockOrder : public ::testing::Test {
protected:
  void SetUp() override {
    if (!LockOrderChecked)
      GTEST_SKIP() << "the checker is compiled into debug builds only";
    Previous = SetLockOrderViolationHandler(
        [](const std::string& Message) { throw std::logic_error(Message); });
    Table.SetLockLevel(tllTable);
    OtherTable.SetLockLevel(tllTable);
    CursorList.SetLockLevel(tllCursorList);
    UseCount.SetLockLevel(tllUseCount);
    Database.SetLockLevel(tllDatabase);
  }
  void TearDown() override {
    if (LockOrderChecked)
      SetLockOrderViolationHandler(Previous);
    EXPECT_EQ(LockOrderHeldCount(), 0);
  }

  TLockOrderViolationHandler Previous = nullptr;
  TTolvanWriteGate Gate;
  TTolvanReadWriteThreadSyncByCriticalSections Database;
  TTolvanReadWriteThreadSyncBySingleCriticalSection Table, OtherTable, CursorList, UseCount;
};

TEST_F(LockOrder, RisingLevelsAndReentryPass) {
  TWriteGateHold G(Gate);
  TReadAccess D(Database);
  TWriteAccess T(Table);
  TWriteAccess L(CursorList);
  TWriteAccess Again(Table); // re-entry is never a violation
  TWriteAccess U(UseCount);
  EXPECT_EQ(LockOrderHeldCount(), 5);
}

TEST_F(LockOrder, FallingLevelsAreReported) {
  struct TCase {
    const char* What;
    std::function<void()> Run;
    const char* Message;
  };
  const TCase Cases[] = {
      {"table under use count",
       [&] {
         TWriteAccess U(UseCount);
         TWriteAccess T(Table);
       },
       "taking a table lock while holding a use count lock"},
      {"gate under table",
       [&] {
         TWriteAccess T(Table);
         TWriteGateHold G(Gate);
       },
       "taking a write gate lock while holding a table lock"},
      {"second table without the gate",
       [&] {
         TWriteAccess T(Table);
         TWriteAccess O(OtherTable);
       },
       "taking a table lock while holding a table lock"},
      {"database under table without the gate",
       [&] {
         TWriteAccess T(Table);
         TReadAccess D(Database);
       },
       "taking a database lock while holding a table lock"},
      {"table under cursor list, even with the gate",
       [&] {
         TWriteGateHold G(Gate);
         TWriteAccess L(CursorList);
         TWriteAccess O(OtherTable);
       },
       "taking a table lock while holding a cursor list lock"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.What);
    try {
      C.Run();
      ADD_FAILURE() << "no violation reported";
    } catch (const std::logic_error& E) {
      EXPECT_EQ(std::string(E.what()), C.Message);
    }
    // A refused entry is not recorded, and what was held has been left.
    EXPECT_EQ(LockOrderHeldCount(), 0);
  }
}

TEST_F(LockOrder, TheGateExcusesSideCursorsAndDatabaseSaves) {
  {
    // A side cursor: this table, then the database for the lookup, then the other table.
    TWriteGateHold G(Gate);
    TWriteAccess T(Table);
    TReadAccess D(Database);
    TWriteAccess O(OtherTable);
    TWriteAccess L(CursorList);
  }
  {
    // A save: the database in write mode, then every table.
    TWriteGateHold G(Gate);
    TWriteAccess D(Database);
    TWriteAccess T(Table);
    TWriteAccess O(OtherTable);
  }
}

// Locks that name their database's gate are excused only by that gate: another database's gate
// does not make this database's writers take turns.
TEST_F(LockOrder, OnlyTheLocksOwnGateExcusesAFallingStep) {
  TTolvanWriteGate OtherGate;
  TTolvanReadWriteThreadSyncBySingleCriticalSection OtherDatabaseTable;
  for (auto* Lock : {static_cast<TTolvanReadWriteThreadSync*>(&Table),
                     static_cast<TTolvanReadWriteThreadSync*>(&OtherTable),
                     static_cast<TTolvanReadWriteThreadSync*>(&Database)})
    Lock->SetLockGate(&Gate);
  OtherDatabaseTable.SetLockLevel(tllTable);
  OtherDatabaseTable.SetLockGate(&OtherGate);
  {
    // The own gate: as before.
    TWriteGateHold G(Gate);
    TWriteAccess T(Table);
    TReadAccess D(Database);
    TWriteAccess O(OtherTable);
  }
  const struct {
    const char* What;
    std::function<void()> Run;
  } Cases[] = {
      {"another database's gate",
       [&] {
         TWriteGateHold G(OtherGate);
         TWriteAccess T(Table);
         TWriteAccess O(OtherTable);
       }},
      {"a table of another database under this gate",
       [&] {
         TWriteGateHold G(Gate);
         TWriteAccess Foreign(OtherDatabaseTable);
         TWriteAccess T(Table);
       }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    try {
      C.Run();
      ADD_FAILURE() << "no violation reported";
    } catch (const std::logic_error& E) {
      EXPECT_EQ(std::string(E.what()), "taking a table lock while holding a table lock");
    }
    EXPECT_EQ(LockOrderHeldCount(), 0);
  }
}

} // namespace

namespace {

// The component layer's outer locks: nothing of the levels may be held when they are entered.
TEST_F(LockOrder, OuterLocksComeBeforeEveryLevel) {
  TTolvanLeveledLock Registry(tllRegistry);
  TTolvanLeveledLock Leaf(tllLeaf);
  EXPECT_EQ(LockOrderEngineLocksHeld(), 0);
  LockOrderCheckOuter("outer lock");
  {
    std::lock_guard L(Leaf);
    EXPECT_EQ(LockOrderEngineLocksHeld(), 0) << "leaves do not count";
    LockOrderCheckOuter("outer lock");
  }
  const struct {
    const char* What;
    std::function<void()> Run;
    const char* Message;
  } Cases[] = {
      {"registry",
       [&] {
         std::lock_guard R(Registry);
         EXPECT_EQ(LockOrderEngineLocksHeld(), 1);
         LockOrderCheckOuter("outer lock");
       },
       "entering the outer lock while holding a registry lock"},
      {"gate and table",
       [&] {
         TWriteGateHold G(Gate);
         TWriteAccess T(Table);
         EXPECT_EQ(LockOrderEngineLocksHeld(), 2);
         LockOrderCheckOuter("outer lock");
       },
       "entering the outer lock while holding a table lock"},
      {"registry after a table",
       [&] {
         TWriteAccess T(Table);
         std::lock_guard R(Registry);
       },
       "taking a registry lock while holding a table lock"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    try {
      C.Run();
      ADD_FAILURE() << "not reported";
    } catch (const std::logic_error& E) {
      EXPECT_EQ(std::string(E.what()), C.Message);
    }
  }
}

} // namespace
