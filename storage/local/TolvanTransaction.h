// TolvanTransaction.h: TTolvanTransaction, one local session's transaction on one database.
//
// A transaction keeps a record of every table the session locks in it and hands the locks to the
// database's table-lock operations; it tells the tables the session has cursors on that it
// started, committed or rolled back (their Transaction* hooks, whose errors are dropped); it
// saves the position of each of the session's cursors at the start and brings them back on
// rollback, each reading its record again from the table; and it commits or rolls back the
// session's pages in the database's page manager.
//
// Only a database with a page manager can undo a transaction's changes, and no database of this
// edition has one: the local session refuses to start a transaction anywhere else (10831), so
// transactions stay dormant until a database supplies one.
//
// Lifecycle: made by the session's StartTransaction (a failed start releases the locks it took
// over), finished by Commit or Rollback, then freed by the session. Commit and Rollback always
// finish the transaction, also when they raise: a commit that cannot raise its locks, or whose
// page step fails, rolls back first. CheckFinished raises 10819 for a transaction that is not;
// the destructor never raises and only releases the lock records still held, dropping errors.
//
// Ownership: the lock records are owned here; the session, the database, the tables and the
// cursors are referred to.
//
// Threads: the transaction has no lock of its own and is driven by its session's thread. The
// passes over the session's cursors hold the database lock shared and each table's cursor-list
// lock while they walk the lists. Work that takes a table's locks runs after the database lock is
// left: the rollback's re-reads, on the session's own cursors, which keep their tables, and the
// table hooks, each table held in use (BeginTableUse/EndTableUse) meanwhile. Lock order: the
// database lock, then a table's cursor-list lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "storage/TolvanDatabaseData.h"

namespace tolvan {

class TTolvanLocalSession;
class TTolvanLocalCursor;

// Native codes of the transaction.
inline constexpr int32_t ErrTransactionNotFinished = 10819;
inline constexpr int32_t ErrTransactionTableLocks = 10824;
inline constexpr int32_t ErrTransactionUnlockTable = 10825;
inline constexpr int32_t ErrTransactionCommitLocked = 10826;
inline constexpr int32_t ErrTransactionLockExclusive = 10827;
inline constexpr int32_t ErrTransactionLockShared = 10828;
inline constexpr int32_t ErrTransactionLockReadWrite = 10829;

class TTolvanTransaction {
public:
  // Takes over the locks the database reports for the session (10824 for one that cannot be),
  // tells the session's tables and saves the session's cursors. A failure releases the locks
  // taken so far.
  TTolvanTransaction(TTolvanLocalSession& Session, TTolvanDatabaseData& Database);
  // Releases the lock records still held; unlocking errors are dropped.
  ~TTolvanTransaction();
  TTolvanTransaction(const TTolvanTransaction&) = delete;
  TTolvanTransaction& operator=(const TTolvanTransaction&) = delete;

  // The table's lock record (one per name, ignoring case), then the database's exclusive lock
  // (10827), or intention-shared (10828) and intention read/write (10829). A record made here
  // stays when a lock is refused.
  void LockTable(std::string_view TableName, bool Exclusive);
  // Raises the locks of modified tables to commit write (refused: rollback, then 10826), tells
  // the tables, commits the pages (and flushes them when Flush is set), finishes and releases
  // every lock (an unlocking error is dropped). A page step that raises rolls back, finishes and
  // passes its error on.
  void Commit(bool Flush);
  // Rolls back the pages, tells the tables, and then in every case restores the session's
  // cursors, finishes and releases every lock (10825 for a refusal). The first error passes on.
  void Rollback();
  // 10819 "Transaction is not finished" unless Commit or Rollback ran.
  void CheckFinished() const;

  bool Finished() const noexcept { return FFinished; }
  int32_t SessionID() const noexcept { return FSessionID; }
  TTolvanDatabaseData& Database() const noexcept { return FDatabase; }
  const std::vector<TTolvanTableLockRecord>& LockRecords() const noexcept { return FLockRecords; }

private:
  using TTableHook = void (TTolvanTableData::*)(int32_t);

  void TakeOverLock(const TTolvanTableLockRecord& Lock);
  // Raises each lock whose counter 4 is set to commit write; false at the first refusal.
  bool UpgradeLocks();
  // Unlocks every record in order (10825 for the first refusal, after all are tried) and leaves
  // none.
  void UnlockAll();
  // UnlockAll with errors dropped.
  void ReleaseLocks() noexcept;
  void NotifySessionTables(TTableHook Hook);
  // The session's cursors on the database's tables; the caller holds the database lock.
  std::vector<TTolvanLocalCursor*> LockedSessionCursors() const;
  void SaveSessionCursors();
  void RestoreSessionCursors();
  bool OwnsCursor(const TTolvanCursor* Cursor) const noexcept;

  TTolvanLocalSession& FSession;
  int32_t FSessionID;
  TTolvanDatabaseData& FDatabase;
  bool FFinished = false;
  std::vector<TTolvanTableLockRecord> FLockRecords;
};

} // namespace tolvan
