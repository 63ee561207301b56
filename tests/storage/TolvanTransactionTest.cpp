#include "storage/local/TolvanTransaction.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/TolvanMessages.h"
#include "storage/TolvanPageStores.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr std::string_view TestEngine = "TRANSACTIONTEST";
constexpr std::string_view TestDatabase = "TX";

// A page manager whose flush can be made to fail and is counted.
class TRecordingPages : public TTolvanMemoryPageManager {
public:
  void Flush() override {
    ++Flushes;
    if (FailFlush)
      throw ETolvanException::Create(4711, "flush failed");
  }
  int32_t Flushes = 0;
  bool FailFlush = false;
};

struct THookCall {
  std::string Table;
  std::string Hook;
  int32_t SessionID;
  bool operator==(const THookCall&) const = default;
};

// A memory table that reports its transaction hooks and may fail them.
class THookedTable : public TTolvanMemoryTableData {
public:
  THookedTable(TTolvanTableOwner& Owner, int32_t AllocBy, std::vector<THookCall>& Calls,
               const bool& Fail)
      : TTolvanMemoryTableData(Owner, AllocBy), FCalls(Calls), FFail(Fail) {}
  void TransactionStarted(int32_t SessionID) override { Record("started", SessionID); }
  void TransactionCommitted(int32_t SessionID) override { Record("committed", SessionID); }
  void TransactionRolledBack(int32_t SessionID) override { Record("rolled back", SessionID); }

private:
  void Record(const char* Hook, int32_t SessionID) {
    // The table is held in use while its hook runs outside the database lock.
    EXPECT_EQ(UseCount(), 1);
    FCalls.push_back({TableName(), Hook, SessionID});
    if (FFail)
      throw std::runtime_error("hook failed");
  }
  std::vector<THookCall>& FCalls;
  const bool& FFail;
};

struct TLockCall {
  std::string Table;
  int32_t SessionID;
  int Mode; // -1: unlock
  bool operator==(const TLockCall&) const = default;
};

// A memory database with a page manager, table locks the session already holds, refusals by
// lock mode, and a record of every lock request.
class TTransactionDatabase : public TTolvanMemoryDatabaseData {
public:
  ~TTransactionDatabase() override { FreeAllTables(); }

  std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) override {
    auto Table =
        std::make_unique<THookedTable>(*this, Cursor.MemoryTableAllocBy(), Hooks, FailHooks);
    Table->SetName(Cursor.TableName());
    return Table;
  }
  void GetSessionTableLocks(int32_t, std::vector<TTolvanTableLockRecord>& Locks) override {
    Locks = Held;
  }
  bool LockTable(std::string_view TableName, int32_t SessionID, TTolvanLockMode Mode,
                 TTolvanTableLockCounters& Counters) override {
    Locks.push_back({std::string(TableName), SessionID, int(Mode)});
    // A table locked for reading and writing counts as modified.
    if (Mode == tlmIntentionReadWrite)
      Counters.Counters[3] = 1;
    return !Refused.count(Mode);
  }
  bool UnlockTable(std::string_view TableName, int32_t SessionID,
                   TTolvanTableLockCounters&) override {
    Locks.push_back({std::string(TableName), SessionID, -1});
    return !FailUnlock;
  }
  TTolvanPageManager* PageManager() override { return &Pages; }

  TRecordingPages Pages;
  std::vector<TTolvanTableLockRecord> Held;
  std::set<TTolvanLockMode> Refused;
  bool FailUnlock = false;
  std::vector<TLockCall> Locks;
  std::vector<THookCall> Hooks;
  bool FailHooks = false;
};

TTolvanTableLockRecord HeldLock(std::string_view Name, int Counter, bool Flag = false) {
  TTolvanTableLockRecord R;
  R.TableName = AnsiString(Name);
  if (Counter > 0)
    R.LockCounters.Counters[Counter - 1] = 1;
  R.LockCounters.Flag = Flag;
  return R;
}

// Table ID Integer, Name Varchar(10).
void Defs(TTolvanFieldDefs& Fields) {
  AddField(Fields, "ID", tftInteger);
  AddField(Fields, "Name", tftVarchar, 10);
}

class Transaction : public ::testing::Test {
protected:
  Transaction() {
    FPrevious = RegisterDatabaseEngine(TestEngine, [] {
      return std::unique_ptr<TTolvanDatabaseData>(std::make_unique<TTransactionDatabase>());
    });
    {
      std::lock_guard Hold(DatabaseRegistry().Lock());
      Db = static_cast<TTransactionDatabase*>(DatabaseRegistry().Create(TestEngine, TestDatabase));
    }
    Session = TLocalStorage::Connected(TestDatabase);
    EXPECT_EQ(Session->Database(), Db);
  }
  ~Transaction() override {
    Cursors.clear();
    Session.reset();
    Other.reset();
    RegisterDatabaseEngine(TestEngine, FPrevious);
  }

  // A cursor of On on table Name, which is made with Defs when missing.
  TOpenCursor& Open(TTolvanLocalSession& On, std::string_view Name) {
    Cursors.push_back(std::make_unique<TOpenCursor>(On, Name));
    TTolvanFieldDefs Fields;
    Defs(Fields);
    Cursors.back()->Open(&Fields);
    return *Cursors.back();
  }
  // A dirty page of the session pending in the database's page manager.
  void DirtyPage() {
    TTolvanPage* Page = Db->Pages.NewPage(Session->SessionID());
    Db->Pages.ReleasePage(Page);
  }
  bool PagesPending() const { return Db->Pages.FindSession(Session->SessionID()) != nullptr; }

  TLocalStorage Storage;
  TTransactionDatabase* Db = nullptr;
  std::unique_ptr<TTolvanLocalSession> Session;
  std::unique_ptr<TTolvanLocalSession> Other;
  std::vector<std::unique_ptr<TOpenCursor>> Cursors;

private:
  TTolvanDatabaseFactory FPrevious;
};

TEST_F(Transaction, OnlyADatabaseWithAPageManagerTakesOne) {
  // Whatever its name or kind, a database without a page manager cannot undo a transaction.
  const std::tuple<const char*, bool, bool> Refused[] = {{"MEMORY", true, false},
                                                         {"memory", true, false},
                                                         {"TEMP", false, true},
                                                         {"db1", true, false}};
  for (const auto& [Name, InMemory, Temporary] : Refused) {
    auto S = TLocalStorage::Connected(Name, InMemory, Temporary);
    const TRaised R = RaisedBy([&] { S->StartTransaction(); });
    EXPECT_EQ(R.Code, 10831) << Name;
    EXPECT_EQ(
        R.Message,
        EngineMessage("Cannot start transaction. Only disk databases are allowed for this", 10831))
        << Name;
    EXPECT_FALSE(S->InTransaction()) << Name;
  }

  Session->StartTransaction();
  EXPECT_TRUE(Session->InTransaction());
  const TRaised Twice = RaisedBy([&] { Session->StartTransaction(); });
  EXPECT_EQ(Twice.Code, 10814);
  EXPECT_EQ(Twice.Message, EngineMessage("Transaction already started in database 'TX'", 10814));
  Session->Commit();
  EXPECT_FALSE(Session->InTransaction());

  // The session's own checks.
  const TRaised NoCommit = RaisedBy([&] { Session->Commit(); });
  EXPECT_EQ(NoCommit.Code, 10816);
  EXPECT_EQ(NoCommit.Message, EngineMessage("Transaction is not started in database 'TX'", 10816));
  EXPECT_EQ(RaisedBy([&] { Session->Rollback(); }).Code, 10818);
  Session->SetConnected(false);
  EXPECT_EQ(RaisedBy([&] { Session->StartTransaction(); }).Code, 10813);
  EXPECT_EQ(RaisedBy([&] { Session->Commit(); }).Code, 10815);
  EXPECT_EQ(RaisedBy([&] { Session->Rollback(); }).Code, 10817);
}

TEST_F(Transaction, HeldLocksAreTakenOverOrRefuseTheStart) {
  // Counters 3, 4 and 5 and the flag refuse; counter 1 takes the lock over exclusively.
  const struct {
    int Counter;
    bool Flag;
  } Refusing[] = {{3, false}, {4, false}, {5, false}, {0, true}};
  for (const auto& C : Refusing) {
    Db->Locks.clear();
    Db->Held = {HeldLock("Shared", 2), HeldLock("Busy", C.Counter, C.Flag)};
    const TRaised R = RaisedBy([&] { Session->StartTransaction(); });
    EXPECT_EQ(R.Code, 10824) << C.Counter;
    EXPECT_EQ(R.Message,
              EngineMessage("Cannot start transaction due to remaining table locks in table 'Busy'",
                            10824));
    EXPECT_FALSE(Session->InTransaction());
    // The lock taken over before the refusal is given back.
    const int32_t ID = Session->SessionID();
    EXPECT_EQ(Db->Locks, (std::vector<TLockCall>{{"Shared", ID, tlmIntentionShared},
                                                 {"Shared", ID, tlmIntentionReadWrite},
                                                 {"SHARED", ID, -1}}));
  }

  Db->Locks.clear();
  Db->Held = {HeldLock("Mine", 1), HeldLock("Read", 2)};
  Session->StartTransaction();
  const int32_t ID = Session->SessionID();
  EXPECT_EQ(Db->Locks, (std::vector<TLockCall>{{"Mine", ID, tlmExclusive},
                                               {"Read", ID, tlmIntentionShared},
                                               {"Read", ID, tlmIntentionReadWrite}}));
  ASSERT_EQ(Session->Transaction()->LockRecords().size(), 2u);
  EXPECT_EQ(Session->Transaction()->LockRecords()[0].TableName, "MINE");
  Session->Rollback();
}

TEST_F(Transaction, OneLockRecordPerTableAndRefusalsByMode) {
  Session->StartTransaction();
  TTolvanTransaction& T = *Session->Transaction();
  T.LockTable("Orders", false);
  T.LockTable("ORDERS", true);
  T.LockTable("orders", false);
  const std::string Long(300, 'q');
  T.LockTable(Long, false);
  ASSERT_EQ(T.LockRecords().size(), 2u);
  EXPECT_EQ(T.LockRecords()[0].TableName, "ORDERS");
  EXPECT_EQ(T.LockRecords()[1].TableName, std::string(255, 'Q'));
  // The database is asked with the caller's name.
  EXPECT_EQ(Db->Locks[2], (TLockCall{"ORDERS", T.SessionID(), tlmExclusive}));

  const struct {
    TTolvanLockMode Refuse;
    bool Exclusive;
    int32_t Code;
    const char* Mode;
  } Cases[] = {{tlmExclusive, true, 10827, "X"},
               {tlmIntentionShared, false, 10828, "IS"},
               {tlmIntentionReadWrite, false, 10829, "IRW"}};
  for (const auto& C : Cases) {
    Db->Refused = {C.Refuse};
    const TRaised R = RaisedBy([&] { T.LockTable("New", C.Exclusive); });
    EXPECT_EQ(R.Code, C.Code);
    EXPECT_EQ(R.Message, EngineMessage(std::string("Error - cannot lock table in '") + C.Mode +
                                           "' mode, table name = 'New', SessionID = " +
                                           std::to_string(T.SessionID()),
                                       C.Code));
  }
  // The record made for a refused lock stays.
  EXPECT_EQ(T.LockRecords().size(), 3u);
  Db->Refused.clear();
  Session->Commit();
}

TEST_F(Transaction, CommitUnlocksEverythingWhateverFailsAndTellsTheTablesInUse) {
  Other = TLocalStorage::Connected(TestDatabase);
  Open(*Session, "A");
  Open(*Other, "B");
  Open(*Session, "C");
  Session->StartTransaction();
  const int32_t ID = Session->SessionID();
  TTolvanTransaction& T = *Session->Transaction();
  T.LockTable("A", true);
  T.LockTable("C", true);
  DirtyPage();
  Db->FailUnlock = true;
  Db->FailHooks = true;
  Db->Locks.clear();
  Session->Commit(true);
  EXPECT_FALSE(Session->InTransaction());
  EXPECT_FALSE(PagesPending());
  EXPECT_EQ(Db->Pages.Flushes, 1);
  // Both unlocks were tried although the first failed; tables without a cursor of the session
  // hear nothing.
  EXPECT_EQ(Db->Locks, (std::vector<TLockCall>{{"A", ID, -1}, {"C", ID, -1}}));
  EXPECT_EQ(Db->Hooks, (std::vector<THookCall>{{"A", "started", ID},
                                               {"C", "started", ID},
                                               {"A", "committed", ID},
                                               {"C", "committed", ID}}));
  for (const auto& Table : Db->Tables())
    EXPECT_EQ(Table->UseCount(), 0);
}

TEST_F(Transaction, ACommitThatCannotRaiseItsLocksRollsBack) {
  TOpenCursor& C = Open(*Session, "A");
  ASSERT_EQ(C.Insert(1, "one"), 0);
  Session->StartTransaction();
  Session->Transaction()->LockTable("A", false); // counts as modified
  DirtyPage();
  Db->Refused = {tlmCommitWrite};
  Db->Hooks.clear();
  Db->Locks.clear();
  const TRaised R = RaisedBy([&] { Session->Commit(); });
  EXPECT_EQ(R.Code, 10826);
  EXPECT_EQ(R.Message, EngineMessage("Commit operation failed - rollback called. Some of modified "
                                     "tables are locked by other sessions",
                                     10826));
  EXPECT_FALSE(Session->InTransaction());
  EXPECT_FALSE(PagesPending());
  EXPECT_EQ(Db->Hooks, (std::vector<THookCall>{{"A", "rolled back", Session->SessionID()}}));
  EXPECT_EQ(Db->Locks.back().Mode, -1);
}

TEST_F(Transaction, ACommitWhosePageStepFailsRollsBackAndPassesTheErrorOn) {
  Open(*Session, "A");
  Session->StartTransaction();
  Session->Transaction()->LockTable("A", true);
  DirtyPage();
  Db->Pages.FailFlush = true;
  Db->Hooks.clear();
  const TRaised R = RaisedBy([&] { Session->Commit(true); });
  EXPECT_EQ(R.Code, 4711);
  EXPECT_FALSE(Session->InTransaction());
  EXPECT_EQ(Db->Locks.back(), (TLockCall{"A", Session->SessionID(), -1}));
  const int32_t ID = Session->SessionID();
  EXPECT_EQ(Db->Hooks, (std::vector<THookCall>{{"A", "committed", ID}, {"A", "rolled back", ID}}));
  // A new transaction can start.
  Db->Pages.FailFlush = false;
  Session->StartTransaction();
  Session->Rollback();
}

TEST_F(Transaction, RollbackRereadsRecordsAndReturnsCursorsToTheirPlaces) {
  Other = TLocalStorage::Connected(TestDatabase);
  TOpenCursor& Changed = Open(*Session, "A");
  for (int32_t I = 1; I <= 4; ++I)
    ASSERT_EQ(Changed.Insert(I, "v" + std::to_string(I)), 0);
  TOpenCursor& Deleted = Open(*Session, "A");
  TOpenCursor& Writer = Open(*Other, "A");
  Changed.Cursor.SetRecNo(2);
  ASSERT_EQ(Changed.Cursor.GetRecord(rmCurrent), rrOK);
  Deleted.Cursor.SetRecNo(3);
  ASSERT_EQ(Deleted.Cursor.GetRecord(rmCurrent), rrOK);
  Session->StartTransaction();
  DirtyPage();

  // Opened after the start: stays where it is.
  TOpenCursor& Later = Open(*Session, "A");
  Later.Cursor.SetRecNo(4);
  ASSERT_EQ(Later.Cursor.GetRecord(rmCurrent), rrOK);

  // Another session changes record 2 and deletes record 3; nothing undoes that here.
  Writer.Cursor.SetRecNo(2);
  ASSERT_EQ(Writer.Cursor.GetRecord(rmCurrent), rrOK);
  Writer.Edit();
  Writer.SetString(1, "changed");
  Writer.Cursor.PostRecord(false);
  ASSERT_EQ(Writer.Cursor.LastErrorCode(), 0);
  Writer.Cursor.SetRecNo(3);
  ASSERT_EQ(Writer.Cursor.GetRecord(rmCurrent), rrOK);
  Writer.Cursor.DeleteRecord();
  ASSERT_EQ(Writer.Cursor.LastErrorCode(), 0);

  // The session's cursors move on.
  Changed.Cursor.SetToBegin();
  ASSERT_EQ(Changed.Cursor.GetRecord(rmNext), rrOK);
  EXPECT_EQ(Changed.Integer(0), 1);
  Deleted.Cursor.SetToBegin();
  ASSERT_EQ(Deleted.Cursor.GetRecord(rmNext), rrOK);

  Session->Rollback();
  EXPECT_FALSE(PagesPending());
  // Back on record 2, showing what the table holds now.
  EXPECT_EQ(Changed.Integer(0), 2);
  EXPECT_EQ(Changed.String(1), "changed");
  ASSERT_EQ(Changed.Cursor.GetRecord(rmNext), rrOK);
  EXPECT_EQ(Changed.Integer(0), 4);
  // Record 3 is gone: its old contents are not shown again, and the cursor moves on from its
  // place.
  EXPECT_EQ(Deleted.Integer(0), 1);
  ASSERT_EQ(Deleted.Cursor.GetRecord(rmNext), rrOK);
  EXPECT_EQ(Deleted.Integer(0), 4);
  EXPECT_EQ(Later.Integer(0), 4);
  EXPECT_EQ(Later.Cursor.GetRecord(rmPrior), rrOK);
  EXPECT_EQ(Later.Integer(0), 2);
}

TEST_F(Transaction, DisconnectingRollsBack) {
  Open(*Session, "A");
  const int32_t ID = Session->SessionID();
  Session->StartTransaction();
  Session->Transaction()->LockTable("A", true);
  DirtyPage();
  Cursors.clear();
  Db->Hooks.clear();
  Session->SetConnected(false);
  EXPECT_FALSE(Session->InTransaction());
  EXPECT_FALSE(PagesPending());
  EXPECT_EQ(Db->Locks.back(), (TLockCall{"A", ID, -1}));
  EXPECT_TRUE(Db->Hooks.empty()); // no cursor of the session remained

  // A rollback that cannot unlock still lets the session go, and then reports why.
  Session->SetConnected(true);
  const int32_t Again = Session->SessionID();
  Session->StartTransaction();
  Session->Transaction()->LockTable("B", false);
  Db->FailUnlock = true;
  const TRaised R = RaisedBy([&] { Session->SetConnected(false); });
  EXPECT_EQ(R.Code, 10825);
  EXPECT_EQ(R.Message, EngineMessage("Cannot unlock table 'B' in transaction, SessionID = " +
                                         std::to_string(Again),
                                     10825));
  EXPECT_FALSE(Session->IsConnected());
  EXPECT_FALSE(Session->InTransaction());
  EXPECT_EQ(Db->SessionCount(), 0);
}

TEST_F(Transaction, AnUnfinishedTransactionIsCheckedAndDestroyedQuietly) {
  bool Caught = false;
  try {
    TTolvanTransaction T(*Session, *Db);
    T.LockTable("A", true);
    const TRaised R = RaisedBy([&] { T.CheckFinished(); });
    EXPECT_EQ(R.Code, 10819);
    EXPECT_EQ(R.Message, EngineMessage("Transaction is not finished", 10819));
    Db->FailUnlock = true;
    throw std::runtime_error("unwinding");
  } catch (const std::runtime_error&) {
    Caught = true;
  }
  EXPECT_TRUE(Caught);
  EXPECT_EQ(Db->Locks.back(), (TLockCall{"A", Session->SessionID(), -1}));
}

} // namespace
