// TolvanDatabase.h: the database component (TTolvanDatabase), which connects one named database
// for the datasets of a session, and TTolvanDatabaseClient, through which sessions and databases
// reach the datasets that use them.
//
// While connected a database holds an engine session bound to the database's data in the
// storage registry. The engine session is shared: a HandleShared database may borrow the engine
// session of an open HandleShared database of the same name, and each Close drops one
// reference; the last holder disconnects it. A database keeps the list of datasets using it and
// a use count (opens not yet released); it creates and drops databases, answers whether a table
// exists, and carries the record and SQL events that datasets and queries fire.
//
// Client code makes database components (Create); a session makes temporary ones for a
// dataset's first use and frees them at their last release. A new database is "MEMORY", in
// memory, keeps its connection and belongs to the owner when that is a session, else to the
// default session. Release 3.90 differs in a few routines (TTolvanDatabaseRoutines): there a
// new database keeps a unique name, names a database file instead of being in memory, and a
// session may keep the temporary databases it made connected.
//
// Ownership: the database refers to its session and its datasets; the engine session is held
// through shared ownership with its borrowers.
//
// Threads: a database serves one thread at a time, like its session; the dataset list, the use
// count and the open and release steps run inside the sessions' critical section, so temporary
// databases of the default session may be reached from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/Strings.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanSession;
class TTolvanDataSet;
class TTolvanDatabase;
class TTolvanQuery;

// A dataset as sessions and databases see it.
class TTolvanDatabaseClient {
public:
  virtual ~TTolvanDatabaseClient() = default;
  // Releases every use of the database; the dataset leaves the database's list.
  virtual void Disconnect() = 0;
  virtual const AnsiString& SessionName() const = 0;
  virtual void SetSessionName(std::string_view Value) = 0;
  // The database is going without the dataset's release: clear the use reasons and the
  // reference, release nothing.
  virtual void ForgetDatabase() noexcept = 0;
};

using TTolvanArrayOfTTolvanVariant = std::span<TTolvanVariant* const>;

using TTolvanBeforeInsertRecord =
    std::function<void(TTolvanDataSet* Sender, const AnsiString& TableName,
                       TTolvanArrayOfTTolvanVariant FieldValues, bool& Abort)>;
using TTolvanBeforeDeleteRecord = TTolvanBeforeInsertRecord;
using TTolvanAfterInsertRecord = std::function<void(
    TTolvanDataSet* Sender, const AnsiString& TableName, TTolvanArrayOfTTolvanVariant FieldValues)>;
using TTolvanAfterDeleteRecord = TTolvanAfterInsertRecord;
using TTolvanBeforeUpdateRecord =
    std::function<void(TTolvanDataSet* Sender, const AnsiString& TableName,
                       TTolvanArrayOfTTolvanVariant OldFieldValues,
                       TTolvanArrayOfTTolvanVariant NewFieldValues, bool& Abort)>;
using TTolvanAfterUpdateRecord = std::function<void(
    TTolvanDataSet* Sender, const AnsiString& TableName,
    TTolvanArrayOfTTolvanVariant OldFieldValues, TTolvanArrayOfTTolvanVariant NewFieldValues)>;
using TTolvanBeforeExecuteSQL = std::function<void(TTolvanQuery* Sender, bool& Abort)>;
using TTolvanAfterExecuteSQL = std::function<void(TTolvanQuery* Sender)>;
using TTolvanOnError = std::function<void(TComponent* Sender, int32_t ErrorCode,
                                          int32_t NativeError, const AnsiString& ErrorMessage)>;

// Dropping a database that is not in memory: there are no database files.
inline constexpr std::string_view SDatabaseFileNameMissing = "Database file name missing";

// --- the design-state flag -------------------------------------------------------------------

// Set for good once a dataset or database component is made with an owner being designed; the
// table and query components copy it into every engine cursor they make, so that the engine can
// tidy up the in-memory tables a designer leaves behind.
bool DesignStateFlag() noexcept;
// Sets the flag when Owner is being designed.
void NoteDesignedOwner(const TComponent* Owner) noexcept;
// Tests only: back to False.
void ResetDesignStateFlagForTests() noexcept;

// Operations of the database component that only one release offers.
enum class TTolvanDatabaseOperation : uint8_t {
  SetInMemory,
  CreateDatabase,
  DropDatabase,
  SetDatabaseFileNameAnsi,
  SetDatabaseFileNameUnicode,
  SetDatabaseFileName,
  SetLocalDatabase,
  DatabaseExists,
};

// The operations of the in-memory databases that release 4.00 names (SetInMemory,
// CreateDatabase, DropDatabase); the others are the database file's, which 3.90 has instead.
inline bool IsInMemoryDatabaseOperation(TTolvanDatabaseOperation Operation) noexcept {
  return Operation == TTolvanDatabaseOperation::SetInMemory ||
         Operation == TTolvanDatabaseOperation::CreateDatabase ||
         Operation == TTolvanDatabaseOperation::DropDatabase;
}

// The routines of the database component, and of its session, that release 3.90 replaces. The
// 4.00 implementation lives in TolvanDatabase.cpp; the base gives implementations the fields
// they must reach.
class TTolvanDatabaseRoutines {
public:
  virtual ~TTolvanDatabaseRoutines() = default;
  // Whether the active release has Operation.
  virtual bool Offers(TTolvanDatabaseOperation Operation) const = 0;
  // The name and session name of a new database; its session is chosen, it is not listed yet.
  virtual void NameNewDatabase(TTolvanDatabase& Database) const = 0;
  virtual void SetDatabaseName(TTolvanDatabase& Database, std::string_view Value) const = 0;
  virtual void SetSessionName(TTolvanDatabase& Database, std::string_view Value) const = 0;
  // A new engine session for Database, not attached; nil without the local engine.
  virtual std::shared_ptr<TTolvanBaseSession>
  CreateEngineSession(const TTolvanDatabase& Database) const = 0;
  // Database's session is being destroyed, and has already let go of its database list.
  // Never raises.
  virtual void SessionDestroyed(TTolvanDatabase& Database) const noexcept = 0;
  // Steps 2-4 of opening a database for a dataset, inside the session's Lock: Found, else a
  // new temporary database, opened and counted; nil when it cannot be opened.
  virtual TTolvanDatabase* OpenFoundOrNew(TTolvanSession& Session, TTolvanDatabase* Found,
                                          std::string_view Name) const = 0;

protected:
  static void StoreDatabaseName(TTolvanDatabase& Database, std::string_view Value);
  static void StoreSessionName(TTolvanDatabase& Database, std::string_view Value);
  // The session's pointer only, no list is touched.
  static void SetSessionPointer(TTolvanDatabase& Database, TTolvanSession* Session) noexcept;
  // Step 2 of OpenFoundOrNew: a new temporary database of Session named Name, keeping its
  // connection as asked; nil (nothing left behind) when it cannot take the name.
  static TTolvanDatabase* NewTemporaryDatabase(TTolvanSession& Session, std::string_view Name,
                                               bool KeepConnection);
  // The last step of OpenFoundOrNew: opens Database; when that fails or counts nothing, a
  // database Made for the call is freed and the answer is nil.
  static TTolvanDatabase* OpenForDataSet(TTolvanDatabase* Database, bool Made);
};

extern TTolvanReleaseVariant<TTolvanDatabaseRoutines> DatabaseRoutines;

class TTolvanDatabase : public TComponent {
public:
  static TTolvanDatabase* Create(TComponent* Owner);
  // Use Create; public for NewComponent. Owner decides the session.
  explicit TTolvanDatabase(TComponent* Owner);

  // --- connection -------------------------------------------------------------------------------

  // Connects (or only counts one more use when connected). Failures of the engine session's
  // attach propagate, except while the owner is still being created: then nothing happens.
  void Open();
  // Disconnects every dataset, lets the engine session go, and resets the use count.
  void Close();
  // Close for a drop run by one of the datasets (Keeper): every other dataset is disconnected
  // and the engine session goes, while Keeper stays listed and its use stays counted, so the
  // database is neither freed nor forgotten under the statement still running in it.
  void CloseKeeping(TTolvanDatabaseClient* Keeper);
  bool Connected() const noexcept { return FEngineSession != nullptr; }
  // Opens or closes on a change; while loading only remembered. At design time a failure goes
  // to the application exception handler.
  void SetConnected(bool Value);
  // The engine session while connected.
  TTolvanBaseSession* EngineSession() const noexcept { return FEngineSession.get(); }
  const std::shared_ptr<TTolvanBaseSession>& SharedEngineSession() const noexcept {
    return FEngineSession;
  }
  bool Borrowed() const noexcept { return FBorrowed; }
  int32_t UseCount() const noexcept { return FUseCount; }

  // Drops one holder's reference to an engine session; the last holder detaches it. Every
  // holder lets go through here, inside the critical section, so the count is exact.
  static void ReleaseEngineSession(std::shared_ptr<TTolvanBaseSession>& Session);

  // --- properties -------------------------------------------------------------------------------

  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  void SetDatabaseName(std::string_view Value);
  bool InMemory() const noexcept { return FInMemory; }
  // Release 4.00 only.
  void SetInMemory(bool Value);
  bool KeepConnection() const noexcept { return FKeepConnection; }
  void SetKeepConnection(bool Value);
  bool HandleShared() const noexcept { return FHandleShared; }
  void SetHandleShared(bool Value) noexcept { FHandleShared = Value; }
  bool ReadOnly() const noexcept { return FReadOnly; }
  // Only stored: the local engine keeps no read-only mode of its own.
  void SetReadOnly(bool Value) noexcept { FReadOnly = Value; }
  bool Exclusive() const noexcept { return FExclusive; }
  void SetExclusive(bool Value) noexcept { FExclusive = Value; }
  // Always True in release 4.00. Release 3.90 lets it be switched off; a database that is not
  // local makes no engine session, and no table cursor is made on it.
  bool LocalDatabase() const noexcept { return FLocalDatabase; }
  // Release 3.90 only; only stored, also while connected.
  void SetLocalDatabase(bool Value);
  // The database file (release 3.90 only to set): at most one of the two names is non-empty,
  // since writing either clears the other. A change disconnects the database first.
  const AnsiString& DatabaseFileNameAnsi() const noexcept { return FFileName; }
  void SetDatabaseFileNameAnsi(std::string_view Value);
  const WideString& DatabaseFileNameUnicode() const noexcept { return FWideFileName; }
  void SetDatabaseFileNameUnicode(std::u16string_view Value);
  const AnsiString& DatabaseFileName() const noexcept { return FFileName; }
  void SetDatabaseFileName(std::string_view Value);
  bool Temporary() const noexcept { return FTemporary; }
  bool DroppedBySQL() const noexcept { return FDroppedBySQL; }
  void SetDroppedBySQL(bool Value) noexcept { FDroppedBySQL = Value; }
  const AnsiString& SessionName() const noexcept { return FSessionName; }
  void SetSessionName(std::string_view Value);
  // The session the database belongs to (nil after its session went or after shutdown).
  TTolvanSession* Session() const noexcept { return FSession; }

  // --- operations -------------------------------------------------------------------------------

  // Release 4.00 only.
  void CreateDatabase();
  void DropDatabase();
  // Release 3.90 only. True while connected; otherwise a short-lived engine session answers
  // (whether its database file exists). A database that is not local has no engine session to
  // ask and answers False.
  bool DatabaseExists();
  // False for an empty name; a disconnected database is connected for the question (False when
  // that fails) and disconnected again.
  bool TableExists(std::string_view TableName);

  int32_t DataSetCount();
  TTolvanDatabaseClient* DataSets(int32_t Index);
  void AddDataSet(TTolvanDatabaseClient* DataSet);
  // Removes the first occurrence.
  void RemoveDataSet(TTolvanDatabaseClient* DataSet) noexcept;
  // Disconnects a snapshot of the datasets, last first; any that stays listed is removed and
  // told ForgetDatabase.
  void CloseDataSets();

  void CheckInactive();
  void EnsureDisconnected();
  void CheckDatabaseName();
  void CheckUniqueName(std::string_view Name);
  void LinkSession(bool Strict);
  // EDatabaseError "Operation '%s' is not available in release %s" unless the active release
  // has Operation.
  void CheckOffered(TTolvanDatabaseOperation Operation) const;

  // --- events -----------------------------------------------------------------------------------

  const TTolvanOnError& OnError() const noexcept { return FOnError; }
  void SetOnError(TTolvanOnError Value) { FOnError = std::move(Value); }
  void SetBeforeInsertRecord(TTolvanBeforeInsertRecord Value) {
    FBeforeInsertRecord = std::move(Value);
  }
  void SetBeforeUpdateRecord(TTolvanBeforeUpdateRecord Value) {
    FBeforeUpdateRecord = std::move(Value);
  }
  void SetBeforeDeleteRecord(TTolvanBeforeDeleteRecord Value) {
    FBeforeDeleteRecord = std::move(Value);
  }
  void SetBeforeExecuteSQL(TTolvanBeforeExecuteSQL Value) { FBeforeExecuteSQL = std::move(Value); }
  void SetAfterInsertRecord(TTolvanAfterInsertRecord Value) {
    FAfterInsertRecord = std::move(Value);
  }
  void SetAfterUpdateRecord(TTolvanAfterUpdateRecord Value) {
    FAfterUpdateRecord = std::move(Value);
  }
  void SetAfterDeleteRecord(TTolvanAfterDeleteRecord Value) {
    FAfterDeleteRecord = std::move(Value);
  }
  void SetAfterExecuteSQL(TTolvanAfterExecuteSQL Value) { FAfterExecuteSQL = std::move(Value); }
  const TTolvanBeforeInsertRecord& BeforeInsertRecord() const noexcept {
    return FBeforeInsertRecord;
  }
  const TTolvanBeforeUpdateRecord& BeforeUpdateRecord() const noexcept {
    return FBeforeUpdateRecord;
  }
  const TTolvanBeforeDeleteRecord& BeforeDeleteRecord() const noexcept {
    return FBeforeDeleteRecord;
  }
  const TTolvanBeforeExecuteSQL& BeforeExecuteSQL() const noexcept { return FBeforeExecuteSQL; }
  const TTolvanAfterInsertRecord& AfterInsertRecord() const noexcept { return FAfterInsertRecord; }
  const TTolvanAfterUpdateRecord& AfterUpdateRecord() const noexcept { return FAfterUpdateRecord; }
  const TTolvanAfterDeleteRecord& AfterDeleteRecord() const noexcept { return FAfterDeleteRecord; }
  const TTolvanAfterExecuteSQL& AfterExecuteSQL() const noexcept { return FAfterExecuteSQL; }

  // Each Before dispatcher sets Abort to false, then calls its handler when assigned; each
  // After dispatcher calls its handler when assigned.
  void FireBeforeInsertRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                              TTolvanArrayOfTTolvanVariant Values, bool& Abort);
  void FireAfterInsertRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                             TTolvanArrayOfTTolvanVariant Values);
  void FireBeforeUpdateRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                              TTolvanArrayOfTTolvanVariant OldValues,
                              TTolvanArrayOfTTolvanVariant NewValues, bool& Abort);
  void FireAfterUpdateRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                             TTolvanArrayOfTTolvanVariant OldValues,
                             TTolvanArrayOfTTolvanVariant NewValues);
  void FireBeforeDeleteRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                              TTolvanArrayOfTTolvanVariant Values, bool& Abort);
  void FireAfterDeleteRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                             TTolvanArrayOfTTolvanVariant Values);
  void FireBeforeExecuteSQL(TTolvanQuery* Sender, bool& Abort);
  void FireAfterExecuteSQL(TTolvanQuery* Sender);

protected:
  void OwnerNotification(TComponent* Component, TOperation Operation) override;
  void BeforeDestruction() override;
  void AfterLoading() override;

private:
  friend class TTolvanSession;
  friend class TTolvanSessionList;
  friend class TTolvanDatabaseRoutines;
  friend class TTolvanDatabaseRoutines400;

  void StoreFileName(std::string_view Ansi, std::u16string_view Wide);
  // Steps 2-4 of Open: borrow, or make the engine session and set its flags. False when a
  // borrowed engine session was taken (nothing to attach).
  bool PrepareEngineSession();
  // Drops this database's reference; the last holder detaches and frees the engine session.
  void FreeEngineSession();
  // Joins Session (leaving the old one); with CheckName the name is checked there and cleared
  // when refused.
  void JoinSession(TTolvanSession* Session, bool CheckName);
  // The session went (shutdown, or its destruction with ClearName): forget it without touching
  // it.
  void ForgetSession(bool ClearName) noexcept;

  TTolvanOnError FOnError;
  TTolvanBeforeInsertRecord FBeforeInsertRecord;
  TTolvanBeforeUpdateRecord FBeforeUpdateRecord;
  TTolvanBeforeDeleteRecord FBeforeDeleteRecord;
  TTolvanBeforeExecuteSQL FBeforeExecuteSQL;
  TTolvanAfterInsertRecord FAfterInsertRecord;
  TTolvanAfterUpdateRecord FAfterUpdateRecord;
  TTolvanAfterDeleteRecord FAfterDeleteRecord;
  TTolvanAfterExecuteSQL FAfterExecuteSQL;

  std::vector<TTolvanDatabaseClient*> FDataSets;
  bool FKeepConnection = true;
  bool FTemporary = false;
  bool FStreamedConnected = false;
  bool FBorrowed = false;
  bool FHandleShared = false;
  bool FReadOnly = false;
  bool FExclusive = false;
  bool FLocalDatabase = true;
  bool FDroppedBySQL = false;
  bool FInMemory = true;
  // Close is running: releases reached through disconnecting datasets only count down.
  bool FClosing = false;
  int32_t FUseCount = 0;
  std::shared_ptr<TTolvanBaseSession> FEngineSession;
  TTolvanSession* FSession = nullptr;
  AnsiString FSessionName;
  AnsiString FDatabaseName;
  AnsiString FFileName;
  WideString FWideFileName;
};

} // namespace tolvan
