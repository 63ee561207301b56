// TolvanDatabaseData.h: the storage object of one database, and the process-wide registry that
// owns every database.
//
// TTolvanDatabaseData keeps the database's attached sessions, owns its tables and hands out the
// object ids every definition carries (1, 2, 3, ... for the life of the database). The in-memory
// and temporary engines derive from it and make the tables (CreateTableData). Tables are found by
// name ignoring case: the name hash first, then the names themselves, so two names that share a
// hash are still two tables.
//
// A table is registered only once it is complete: GetTableData finds the cursor's table or makes
// one, sets it up (the caller's CreateTable) and registers it, all under one hold of the
// exclusive lock, so no other thread finds a table half made and a failed set-up leaves nothing
// behind. Removing a table hands it back to the caller, who destroys it after the call that
// removed it has returned.
//
// TTolvanDatabaseRegistry is the process's list of databases; StorageStartup makes it with the
// standing databases ("MEMORY", "TEMP") of the engines registered by then, StorageShutdown frees
// it. An engine is a factory registered under its name (RegisterDatabaseEngine); the "MEMORY"
// engine also makes every further in-memory database a session asks for.
//
// Ownership: the registry owns its databases, a database its tables (std::unique_ptr). Sessions
// are referred to; a session detaches before it goes.
//
// Threads: lock order, outermost first:
//   1. the registry lock (re-entrant; held by sessions across find-or-create and attach)
//   2. a database's write gate (re-entrant; serialises the record writes of its tables)
//   3. a database's lock (many readers or one writer, re-entrant): shared for lookups, exclusive
//      for changes of the table and session lists and of table names
//   4. a table's lock, then its structure (cursor-list) lock, its use-count lock, and the BLOB
//      block table
// The object-id counter and the engine table have leaf mutexes of their own. A database's names
// and flags are set before it is registered and only read afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "foundation/TolvanCriticalSection.h"
#include "platform/TolvanPlatform.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanMetaObjectDef.h"
#include "schema/TolvanSession.h"
#include "storage/TolvanPageManager.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

// Native codes of the database data.
inline constexpr int32_t ErrTableAlreadyExists = 30247;
inline constexpr int32_t ErrRenameTableExists = 11491;
inline constexpr int32_t ErrDatabaseUsedBySessions = 11747;

// Lock modes a transaction asks of a database's LockTable; 1 and 4 are not used.
enum TTolvanLockMode : uint8_t {
  tlmIntentionShared = 0,
  tlmIntentionReadWrite = 2,
  tlmCommitWrite = 3,
  tlmExclusive = 5,
};

// The counters a database keeps per table lock. A transaction reads them in two places: a lock
// the session holds at the start refuses the start when counter 3, 4 or 5 (Counters[2..4]) is
// above 0 or Flag is set, and is taken over exclusively when counter 1 is above 0; at commit a
// lock whose counter 4 is above 0 is raised to commit write. This edition's databases grant every
// request and leave them as they are.
struct TTolvanTableLockCounters {
  int32_t Counters[5] = {};
  bool Flag = false;
};

// One table a transaction holds locked. Never stored, so laid out as C++ pleases.
struct TTolvanTableLockRecord {
  // The table's name in upper case, at most 255 characters.
  AnsiString TableName;
  TTolvanTableLockCounters LockCounters;
};

class TTolvanDatabaseData : public TTolvanTableOwner {
public:
  // Makes the table of a cursor that GetTableData did not find; called under the exclusive lock.
  using TTableSetup = std::function<void(TTolvanTableData&)>;

  // Frees every table (FreeAllTables). A class whose CloseTableData does work calls
  // FreeAllTables in its own destructor, while its override can still be reached.
  virtual ~TTolvanDatabaseData();
  TTolvanDatabaseData(const TTolvanDatabaseData&) = delete;
  TTolvanDatabaseData& operator=(const TTolvanDatabaseData&) = delete;

  // --- the slots --------------------------------------------------------------------------------

  // Adds the session (once) under the exclusive lock.
  virtual void AttachSession(TTolvanBaseSession& Session);
  // Removes the session under the exclusive lock; one not attached is ignored.
  virtual void DetachSession(TTolvanBaseSession& Session);
  // Called after a session detached. Base: nothing.
  virtual void Release();
  // Adds every table's name to List, under the shared lock.
  virtual void GetTableNames(TStringList& List);
  // False for an empty name, without taking the lock.
  virtual bool TableExists(std::string_view Name);
  // The database stream (an Int32 table count, then each table's stream), read and written for
  // Session through an internal cursor of the database.
  virtual void LoadDatabaseFromStream(TTolvanBaseSession& Session, TStream& Stream) = 0;
  virtual void SaveDatabaseToStream(TTolvanBaseSession& Session, TStream& Stream,
                                    TTolvanCompressionAlgorithm Algorithm = caNone,
                                    uint8_t Level = 0, int32_t Value = 0) = 0;
  // Base: nothing.
  virtual void CreateDatabase();
  // A new table data for the cursor's table, named, not registered. Called with the exclusive
  // lock held.
  virtual std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) = 0;
  // The registered table of the cursor's table name, or nil; under the shared lock.
  virtual TTolvanTableData* FindTableData(TTolvanCursor& Cursor);
  // The registered table of the cursor's table name. When there is none: CreateTableData, then
  // Setup (when given), then registration, all under one hold of the write gate and the
  // exclusive lock; when CreateTableData or Setup raises, the new table is destroyed and nothing
  // is registered. Created, when given, tells whether the table was made here. The caller holds
  // no database or table lock.
  virtual TTolvanTableData* GetTableData(TTolvanCursor& Cursor, const TTableSetup& Setup = {},
                                         bool* Created = nullptr);
  // Base: leaves Locks empty.
  virtual void GetSessionTableLocks(int32_t SessionID, std::vector<TTolvanTableLockRecord>& Locks);
  // Base: granted (true), counters unchanged.
  virtual bool LockTable(std::string_view TableName, int32_t SessionID, TTolvanLockMode Mode,
                         TTolvanTableLockCounters& Counters);
  virtual bool UnlockTable(std::string_view TableName, int32_t SessionID,
                           TTolvanTableLockCounters& Counters);
  // Base: nothing.
  virtual void SessionHook(TTolvanBaseSession& Session);
  // The database's own page manager, which commits and rolls back a transaction's pages; none in
  // either engine of this edition, so neither takes a transaction.
  virtual TTolvanPageManager* PageManager() { return nullptr; }

  // --- tables -----------------------------------------------------------------------------------

  // The registered table of that name (ignoring case), or nil; under the shared lock.
  TTolvanTableData* FindTableData(std::string_view Name);
  // Registers a table under the exclusive lock and returns it. A nil table raises 10009; a name
  // already registered raises 30247 and the table is destroyed.
  TTolvanTableData* AddTable(std::unique_ptr<TTolvanTableData> Table);
  // Takes the table out of the list under the exclusive lock and hands it to the caller; nil
  // when it is not registered here.
  std::unique_ptr<TTolvanTableData> RemoveTable(TTolvanTableData& Table);
  // Removes the table, closes it (CloseTableData; a failure is dropped) and destroys it: the
  // caller's step after a table reported that it is to go (DeleteTable's answer, DropPending).
  // Nothing when it is not registered here.
  void DestroyTable(TTolvanTableData& Table) noexcept;
  // Closes (CloseTableData, a failure dropped) and destroys a table that is not registered, such
  // as one RemoveTable handed out; nil is left alone.
  void DestroyTable(std::unique_ptr<TTolvanTableData> Table) noexcept;
  // Gives a registered table a new name under the exclusive lock. Another table of that name
  // raises 11491 and the name stays; the same name in other letter case is taken.
  void RenameTableData(TTolvanTableData& Table, std::string_view NewName);
  // Destroys every table under the exclusive lock, each closed first
  // (CloseTableData); a failure closing one is dropped.
  void FreeAllTables() noexcept;
  int32_t TableCount();

  // --- locks and state --------------------------------------------------------------------------

  // Enter the database lock as writer (Exclusive) or reader, and leave it.
  void Lock(bool Exclusive);
  void Unlock();
  TTolvanReadWriteThreadSyncByCriticalSections& DatabaseLock() noexcept { return FLock; }
  // Taken before the database lock by whoever writes records of this database's tables.
  TTolvanWriteGate& WriteGate() noexcept override { return FWriteGate; }

  int32_t SessionCount();
  // The attached sessions, for the caller to read under the lock.
  const std::vector<TTolvanBaseSession*>& Sessions() const noexcept { return FSessions; }
  // The registered tables in list order, for the caller to read under the lock.
  const std::vector<std::unique_ptr<TTolvanTableData>>& Tables() const noexcept { return FTables; }

  // The next object id: 1, 2, 3, ... A value beyond Int32 raises ERangeError and is not used up.
  int32_t NextObjectID() override;
  // The counter's last value, and a merge that keeps the larger of it and Value (a loaded
  // table's counter).
  int64_t ObjectIDValue() override;
  void MergeObjectIDValue(int64_t Value) noexcept override;

  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  void SetDatabaseName(std::string_view Value);
  const WideString& FileName() const noexcept { return FFileName; }
  void SetFileName(std::u16string_view Value);
  // The file name as 8-bit text, and the two names' hashes, as lookups compare them.
  const AnsiString& NarrowFileName() const noexcept { return FNarrowFileName; }
  uint32_t DatabaseNameHash() const noexcept { return FDatabaseNameHash; }
  uint32_t FileNameHash() const noexcept { return FFileNameHash; }
  bool InMemory() const noexcept { return FInMemory; }
  bool Temporary() const noexcept { return FTemporary; }

protected:
  TTolvanDatabaseData();

  void SetInMemory(bool Value) noexcept { FInMemory = Value; }
  void SetTemporary(bool Value) noexcept { FTemporary = Value; }
  // The teardown of a table that may fail, before FreeAllTables destroys it. Base: nothing.
  virtual void CloseTableData(TTolvanTableData& Table);
  // The registered table of that name; the caller holds the lock.
  TTolvanTableData* LockedFind(std::string_view Name, uint32_t Hash) const noexcept;

private:
  // Declared first, destroyed last: tables and sessions go while it still exists.
  TTolvanReadWriteThreadSyncByCriticalSections FLock;
  TTolvanWriteGate FWriteGate;
  std::vector<TTolvanBaseSession*> FSessions;
  std::vector<std::unique_ptr<TTolvanTableData>> FTables;
  AnsiString FDatabaseName;
  WideString FFileName;
  AnsiString FNarrowFileName;
  uint32_t FDatabaseNameHash = 0;
  uint32_t FFileNameHash = 0;
  std::mutex FObjectIDLock;
  TTolvanSequenceDef FObjectIDGenerator;
  bool FInMemory = false;
  bool FTemporary = false;
};

// Makes an unnamed database of an engine; the registry names it.
using TTolvanDatabaseFactory = std::function<std::unique_ptr<TTolvanDatabaseData>()>;

// Registers Factory under EngineName (a nil factory removes it) and returns the factory it
// replaces. Engines are looked up by name ignoring case.
TTolvanDatabaseFactory RegisterDatabaseEngine(std::string_view EngineName,
                                              TTolvanDatabaseFactory Factory);

class TTolvanDatabaseRegistry {
public:
  TTolvanDatabaseRegistry();
  // Frees every database (FreeAll).
  ~TTolvanDatabaseRegistry();
  TTolvanDatabaseRegistry(const TTolvanDatabaseRegistry&) = delete;
  TTolvanDatabaseRegistry& operator=(const TTolvanDatabaseRegistry&) = delete;

  // The registry lock, for callers that hold it across several steps (std::lock_guard works).
  TTolvanLeveledLock& Lock() noexcept { return FLock; }

  // Appends a database and returns it; nil raises 10009.
  TTolvanDatabaseData* Add(std::unique_ptr<TTolvanDatabaseData> Database);
  // The first database that matches, in list order; see FindDatabaseData.
  TTolvanDatabaseData* Find(bool InMemory, bool Temporary, std::string_view DatabaseName,
                            std::u16string_view FileName);
  // A new database of the engine, appended, with DatabaseName as its database and file name. An
  // engine not registered raises EDatabaseError; a factory that makes none raises 10009.
  TTolvanDatabaseData* Create(std::string_view EngineName, std::string_view DatabaseName);
  // Find, else Create, under one hold of the lock. Created tells which happened.
  TTolvanDatabaseData* FindOrCreate(std::string_view EngineName, bool InMemory, bool Temporary,
                                    std::string_view DatabaseName, std::u16string_view FileName,
                                    bool* Created = nullptr);
  // Takes the database out of the list and hands it to the caller; nil when not listed.
  std::unique_ptr<TTolvanDatabaseData> Remove(TTolvanDatabaseData& Database);
  // Removes and destroys the database with its tables. Attached sessions refuse it with 11747
  // and it stays.
  void Free(TTolvanDatabaseData& Database);
  // Destroys every database, first to last, sessions or not.
  void FreeAll() noexcept;

  int32_t Count();
  // I in 0 .. Count - 1, else EListError.
  TTolvanDatabaseData* Items(int32_t I);

private:
  TTolvanLeveledLock FLock{tllRegistry};
  std::vector<std::unique_ptr<TTolvanDatabaseData>> FDatabases;
};

// The names of the databases that always exist, each made by the engine of the same name.
inline constexpr std::string_view MemoryDatabaseName = "MEMORY";
inline constexpr std::string_view TemporaryDatabaseName = "TEMP";

// Makes the registry with the standing databases whose engines are registered; nothing when it
// exists. StorageShutdown frees it with every database. Neither may run while another thread
// uses the registry.
void StorageStartup();
void StorageShutdown() noexcept;
// The registry between start-up and shutdown; otherwise EDatabaseError.
TTolvanDatabaseRegistry& DatabaseRegistry();
bool StorageStarted() noexcept;

// Under the registry lock, the first database that matches, or nil (also before start-up). The
// key is the file name (as 8-bit text) when neither flag is set and the file name is not
// empty, else the database name; it is compared by hash, then as text ignoring case:
//   - InMemory only: in-memory databases by DatabaseName;
//   - Temporary only: temporary databases by DatabaseName;
//   - neither: every database, by FileName when the key is the file name, else by DatabaseName;
//   - both: none.
TTolvanDatabaseData* FindDatabaseData(bool InMemory, bool Temporary, std::string_view DatabaseName,
                                      std::u16string_view FileName);
// Clears the cache of the database's own page manager, when it has one.
void ClearDatabasePageCache(TTolvanDatabaseData& Database);

// The database a table data belongs to, nil when its owner is no database (tests' owners).
inline TTolvanDatabaseData* DatabaseOf(TTolvanTableData& Table) noexcept {
  return dynamic_cast<TTolvanDatabaseData*>(&Table.Database());
}

// Raises Code with the catalogue's "Nil pointer occured".
[[noreturn]] void RaiseNil(int32_t Code);

// Holds a database's write gate and then its exclusive lock, released in reverse: the hold of
// every operation that changes tables or the table list of the database.
class TTolvanDatabaseWriteHold {
public:
  explicit TTolvanDatabaseWriteHold(TTolvanDatabaseData& Database)
      : FDatabase(Database), FGate(Database.WriteGate()) {
    FDatabase.Lock(true);
  }
  ~TTolvanDatabaseWriteHold() { FDatabase.Unlock(); }
  TTolvanDatabaseWriteHold(const TTolvanDatabaseWriteHold&) = delete;
  TTolvanDatabaseWriteHold& operator=(const TTolvanDatabaseWriteHold&) = delete;

private:
  TTolvanDatabaseData& FDatabase;
  TWriteGateHold FGate;
};

} // namespace tolvan
