// TolvanLocalSession.h: TTolvanLocalSession, the session of this engine: it binds a database
// component's session to one database of the process-wide registry.
//
// A session is made disconnected; the component fills in the database name, the file names and
// the in-memory and temporary flags, then connects it. Connecting finds the database in the
// registry or, for an in-memory session, makes and registers a memory database of that name
// (names compare without regard to case), and attaches the session to it, which numbers the
// session (SessionID). Every cursor of the session reaches its tables through Database().
//
// Attachment is a state of its own: GetTableNames, TableExists and the database stream calls of a
// disconnected session find (or, in-memory, make) the database for that call only and do not
// attach: the session stays disconnected, SetConnected(true) still attaches it, and Database()
// answers nil until then, so no cursor works under a session that has no SessionID of its own.
//
// How the database is found and made is the release's (TTolvanSessionDatabases): release 3.90
// matches a session named exactly "MEMORY" or "TEMP" to that database and any other to the
// database named like its narrow file name, and makes none.
//
// This edition has no disk databases: a session that is neither in-memory nor temporary finds
// no database; connecting, creating and every call that needs the database raise 10895
// "Database '%s' not found" and register nothing. A transaction needs a database with a page
// manager, which none of this edition has: StartTransaction raises 10831 for every database
// without one. Commit and Rollback finish and free the open transaction on every path, also
// when they raise; disconnecting rolls it back.
//
// Ownership: the registry owns the databases; the session refers to one and owns its open
// transaction.
//
// Teardown: the owner calls SetConnected(false) before destroying a session (it may raise); the
// destructor disconnects only as a fallback and drops a failure.
//
// Threads: connecting, disconnecting, creating the database and starting a transaction hold the
// registry lock throughout; the lookups of the table and stream calls hold it only while they
// look up. Lock order: the registry, then the database. A session is driven by one thread at a
// time; its cursors may run on several.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "classlib/StringList.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanDatabaseData;
class TTolvanTransaction;

// Native codes of the session.
inline constexpr int32_t ErrCreateDatabaseAlreadyOpen = 20092;
inline constexpr int32_t ErrStartTransactionNotConnected = 10813;
inline constexpr int32_t ErrStartTransactionStarted = 10814;
inline constexpr int32_t ErrCommitNotConnected = 10815;
inline constexpr int32_t ErrCommitNotStarted = 10816;
inline constexpr int32_t ErrRollbackNotConnected = 10817;
inline constexpr int32_t ErrRollbackNotStarted = 10818;
inline constexpr int32_t ErrStartTransactionDiskOnly = 10831;
// A session that is neither in-memory nor temporary: no such database in this edition.
inline constexpr int32_t ErrDatabaseNotFound = 10895;

class TTolvanLocalSession;

// How a session finds, makes and tells of its database: the routines that differ between the
// releases, stateless, reached through SessionDatabases. Release 4.00 (TTolvanSessionDatabases400)
// looks in-memory and temporary sessions up by database name, makes in-memory databases on
// demand and has no disk databases; release 3.90 matches by name and file name and makes none.
class TTolvanSessionDatabases {
public:
  virtual ~TTolvanSessionDatabases() = default;
  // Under the registry lock: the registered database the session names, or nil.
  virtual TTolvanDatabaseData* FindDatabase(TTolvanLocalSession& Session) const = 0;
  // Under the registry lock: a new database for the session, registered, or the session's
  // not-found error (10895) when it may have none; nothing is registered then.
  virtual TTolvanDatabaseData* CreateDatabaseData(TTolvanLocalSession& Session) const = 0;
  virtual bool DatabaseExists(TTolvanLocalSession& Session) const = 0;
};

class TTolvanSessionDatabases400 final : public TTolvanSessionDatabases {
public:
  // Neither in-memory nor temporary: none, even where a database's name equals the file name.
  TTolvanDatabaseData* FindDatabase(TTolvanLocalSession& Session) const override;
  // A memory database named after the session; not in-memory: 10895.
  TTolvanDatabaseData* CreateDatabaseData(TTolvanLocalSession& Session) const override;
  // In-memory: the registry holds the database; otherwise a file of the session's name exists.
  bool DatabaseExists(TTolvanLocalSession& Session) const override;
};

extern TTolvanReleaseVariant<TTolvanSessionDatabases> SessionDatabases;

// Frees a transaction (TolvanTransaction.h), which never raises.
struct TTolvanTransactionDeleter {
  void operator()(TTolvanTransaction* Transaction) const noexcept;
};

class TTolvanLocalSession : public TTolvanBaseSession {
public:
  TTolvanLocalSession();
  ~TTolvanLocalSession() override;

  // Attached to its database.
  bool IsConnected() override;
  // Nothing when Value equals IsConnected. Connecting attaches to the database (found, or made
  // for an in-memory session); a failed attach leaves the session disconnected. Disconnecting
  // rolls back an open transaction and detaches; the database stays registered.
  void SetConnected(bool Value) override;
  // Registers a new memory database under the session's name; one found already raises 20092.
  void CreateDatabase() override;
  // The active release's answer (TTolvanSessionDatabases).
  bool DatabaseExists() override;
  void GetTableNames(TStringList& List) override;
  bool TableExists(std::string_view TableName) override;
  // The database stream, read and written for this session. Release 3.90 has none: 30407.
  void LoadDatabaseFromStream(TStream& Stream) override;
  void SaveDatabaseToStream(TStream& Stream) override;
  void SaveDatabaseToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                            int32_t Value);
  bool InTransaction() override;
  void StartTransaction() override;
  void Commit() override;
  void Commit(bool Flush);
  void Rollback() override;
  // The database's session hook, when connected.
  void SessionHook();
  // Clears the database's page cache, when connected.
  void ClearPageCache();

  // The open transaction, or nil.
  TTolvanTransaction* Transaction() const noexcept { return FTransaction.get(); }
  // The database the session is attached to; nil when disconnected.
  TTolvanDatabaseData* Database() const noexcept { return FConnected ? FDatabase : nullptr; }

  // The active release's TTolvanSessionDatabases routines.
  TTolvanDatabaseData* FindDatabase();
  TTolvanDatabaseData* CreateDatabaseData();
  // FindDatabase, else CreateDatabaseData, under one hold of the registry lock.
  TTolvanDatabaseData* GetDatabaseData();
  // 10895 "Database '%s' not found", naming the file name, else the database name.
  [[noreturn]] void RaiseDatabaseNotFound() const;

private:
  // The database for a call that needs one without attaching: the attached one, else the one the
  // session names, found or made (GetDatabaseData).
  TTolvanDatabaseData& BindDatabase();
  // Release 3.90 has no database stream: 30407 naming Operation.
  static void CheckDatabaseStreams(const char* Operation);
  void Connect();
  void Disconnect();
  // Commits or rolls back the open transaction, and frees it whatever happens.
  void FinishTransaction(bool Commit, bool Flush);

  // The database attached to; nil when disconnected. Not owned.
  TTolvanDatabaseData* FDatabase = nullptr;
  bool FConnected = false;
  std::unique_ptr<TTolvanTransaction, TTolvanTransactionDeleter> FTransaction;
};

} // namespace tolvan
