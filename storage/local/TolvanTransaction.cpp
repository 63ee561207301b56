#include "storage/local/TolvanTransaction.h"

#include <exception>

#include "classlib/Strings.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"

namespace tolvan {

namespace {

constexpr size_t MaxLockTableName = 255;

// Holds the database lock shared for a pass over its tables.
class TSharedDatabaseHold {
public:
  explicit TSharedDatabaseHold(TTolvanDatabaseData& Database) : FDatabase(Database) {
    FDatabase.Lock(false);
  }
  ~TSharedDatabaseHold() { FDatabase.Unlock(); }
  TSharedDatabaseHold(const TSharedDatabaseHold&) = delete;
  TSharedDatabaseHold& operator=(const TSharedDatabaseHold&) = delete;

private:
  TTolvanDatabaseData& FDatabase;
};

// Keeps a table from being freed while a hook runs on it outside the database lock.
class TTableUse {
public:
  explicit TTableUse(TTolvanTableData& Table) : FTable(&Table) { FTable->BeginTableUse(); }
  ~TTableUse() {
    if (FTable)
      FTable->EndTableUse();
  }
  TTableUse(TTableUse&& Other) noexcept : FTable(Other.FTable) { Other.FTable = nullptr; }
  TTableUse(const TTableUse&) = delete;
  TTableUse& operator=(const TTableUse&) = delete;
  TTableUse& operator=(TTableUse&&) = delete;
  TTolvanTableData& Table() const noexcept { return *FTable; }

private:
  TTolvanTableData* FTable;
};

AnsiString LockName(std::string_view TableName) {
  AnsiString Name = AnsiUpperCase(TableName);
  if (Name.size() > MaxLockTableName)
    Name.resize(MaxLockTableName);
  return Name;
}

// Keeps the first error of a sequence of steps that must all run.
void KeepFirst(std::exception_ptr& First) noexcept {
  if (!First)
    First = std::current_exception();
}

} // namespace

TTolvanTransaction::TTolvanTransaction(TTolvanLocalSession& Session, TTolvanDatabaseData& Database)
    : FSession(Session), FSessionID(Session.SessionID()), FDatabase(Database) {
  try {
    std::vector<TTolvanTableLockRecord> Held;
    FDatabase.GetSessionTableLocks(FSessionID, Held);
    for (const TTolvanTableLockRecord& Lock : Held)
      TakeOverLock(Lock);
    NotifySessionTables(&TTolvanTableData::TransactionStarted);
    SaveSessionCursors();
  } catch (...) {
    // A start that fails leaves the session holding nothing it took over here.
    ReleaseLocks();
    throw;
  }
}

TTolvanTransaction::~TTolvanTransaction() { ReleaseLocks(); }

void TTolvanTransaction::CheckFinished() const {
  if (!FFinished)
    throw ETolvanException::Create(ErrTransactionNotFinished, STransactionNotFinished);
}

void TTolvanTransaction::TakeOverLock(const TTolvanTableLockRecord& Lock) {
  const int32_t* C = Lock.LockCounters.Counters;
  if (C[2] > 0 || C[3] > 0 || C[4] > 0 || Lock.LockCounters.Flag)
    throw ETolvanException::CreateFmt(ErrTransactionTableLocks, SCannotStartTransactionTableLocks,
                                      Lock.TableName);
  LockTable(Lock.TableName, C[0] > 0);
}

void TTolvanTransaction::LockTable(std::string_view TableName, bool Exclusive) {
  const AnsiString Name = LockName(TableName);
  TTolvanTableLockRecord* Record = nullptr;
  for (TTolvanTableLockRecord& Existing : FLockRecords)
    if (Existing.TableName == Name) {
      Record = &Existing;
      break;
    }
  if (!Record) {
    FLockRecords.push_back({Name, {}});
    Record = &FLockRecords.back();
  }
  const auto Refused = [&](int32_t Code, std::string_view Mode) {
    return ETolvanException::CreateFmt(Code, SCannotLockTable, Mode, TableName, FSessionID);
  };
  if (Exclusive) {
    if (!FDatabase.LockTable(TableName, FSessionID, tlmExclusive, Record->LockCounters))
      throw Refused(ErrTransactionLockExclusive, "X");
    return;
  }
  if (!FDatabase.LockTable(TableName, FSessionID, tlmIntentionShared, Record->LockCounters))
    throw Refused(ErrTransactionLockShared, "IS");
  if (!FDatabase.LockTable(TableName, FSessionID, tlmIntentionReadWrite, Record->LockCounters))
    throw Refused(ErrTransactionLockReadWrite, "IRW");
}

bool TTolvanTransaction::UpgradeLocks() {
  for (TTolvanTableLockRecord& Record : FLockRecords)
    if (Record.LockCounters.Counters[3] > 0 &&
        !FDatabase.LockTable(Record.TableName, FSessionID, tlmCommitWrite, Record.LockCounters))
      return false;
  return true;
}

void TTolvanTransaction::Commit(bool Flush) {
  if (!UpgradeLocks()) {
    // The rollback's own failure would hide why the commit failed.
    try {
      Rollback();
    } catch (...) {
    }
    throw ETolvanException::Create(ErrTransactionCommitLocked, SCommitFailedTablesLocked);
  }
  NotifySessionTables(&TTolvanTableData::TransactionCommitted);
  if (TTolvanPageManager* Pages = FDatabase.PageManager()) {
    try {
      Pages->Commit(FSessionID);
      if (Flush)
        Pages->Flush();
    } catch (...) {
      // Never leave a half-committed transaction: undo what the page manager still holds.
      try {
        Rollback();
      } catch (...) {
      }
      throw;
    }
  }
  FFinished = true;
  ReleaseLocks();
}

void TTolvanTransaction::Rollback() {
  std::exception_ptr First;
  if (TTolvanPageManager* Pages = FDatabase.PageManager()) {
    try {
      Pages->Rollback(FSessionID);
    } catch (...) {
      KeepFirst(First);
    }
  }
  try {
    NotifySessionTables(&TTolvanTableData::TransactionRolledBack);
  } catch (...) {
    KeepFirst(First);
  }
  try {
    RestoreSessionCursors();
  } catch (...) {
    KeepFirst(First);
  }
  FFinished = true;
  try {
    UnlockAll();
  } catch (...) {
    KeepFirst(First);
  }
  if (First)
    std::rethrow_exception(First);
}

void TTolvanTransaction::UnlockAll() {
  std::vector<TTolvanTableLockRecord> Records;
  Records.swap(FLockRecords);
  std::exception_ptr First;
  for (TTolvanTableLockRecord& Record : Records) {
    try {
      if (!FDatabase.UnlockTable(Record.TableName, FSessionID, Record.LockCounters))
        throw ETolvanException::CreateFmt(ErrTransactionUnlockTable,
                                          SCannotUnlockTableInTransaction, Record.TableName,
                                          FSessionID);
    } catch (...) {
      KeepFirst(First);
    }
  }
  if (First)
    std::rethrow_exception(First);
}

void TTolvanTransaction::ReleaseLocks() noexcept {
  try {
    UnlockAll();
  } catch (...) {
  }
  FLockRecords.clear();
}

bool TTolvanTransaction::OwnsCursor(const TTolvanCursor* Cursor) const noexcept {
  return Cursor && Cursor->Session() && Cursor->Session()->SessionID() == FSessionID;
}

void TTolvanTransaction::NotifySessionTables(TTableHook Hook) {
  std::vector<TTableUse> InUse;
  {
    TSharedDatabaseHold Hold(FDatabase);
    for (const auto& Table : FDatabase.Tables()) {
      bool Used = false;
      {
        TReadAccess Cursors(Table->CursorListLock());
        for (const TTolvanCursor* Cursor : Table->Cursors())
          if (OwnsCursor(Cursor)) {
            Used = true;
            break;
          }
      }
      if (Used)
        InUse.emplace_back(*Table);
    }
  }
  // A hook may take the table's locks or open other tables: it runs outside the database lock.
  for (const TTableUse& Use : InUse) {
    try {
      (Use.Table().*Hook)(FSessionID);
    } catch (...) {
    }
  }
}

std::vector<TTolvanLocalCursor*> TTolvanTransaction::LockedSessionCursors() const {
  std::vector<TTolvanLocalCursor*> Found;
  for (const auto& Table : FDatabase.Tables()) {
    TReadAccess Cursors(Table->CursorListLock());
    for (TTolvanCursor* Cursor : Table->Cursors())
      if (OwnsCursor(Cursor))
        if (auto* Local = dynamic_cast<TTolvanLocalCursor*>(Cursor))
          Found.push_back(Local);
  }
  return Found;
}

void TTolvanTransaction::SaveSessionCursors() {
  TSharedDatabaseHold Hold(FDatabase);
  for (TTolvanLocalCursor* Cursor : LockedSessionCursors())
    Cursor->SaveCurrentRecord();
}

void TTolvanTransaction::RestoreSessionCursors() {
  std::vector<TTolvanLocalCursor*> Cursors;
  {
    TSharedDatabaseHold Hold(FDatabase);
    Cursors = LockedSessionCursors();
  }
  // Each cursor reads its record again under its table's lock, outside the database lock: a
  // writer holding a table lock may wait for the database lock (a foreign-key side cursor). The
  // cursors are the session's own and stay attached, so their tables stay too. Every cursor is
  // restored, whichever fails.
  std::exception_ptr First;
  for (TTolvanLocalCursor* Cursor : Cursors) {
    try {
      Cursor->RestoreCurrentRecord();
    } catch (...) {
      KeepFirst(First);
    }
  }
  if (First)
    std::rethrow_exception(First);
}

} // namespace tolvan
