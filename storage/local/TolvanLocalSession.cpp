#include "storage/local/TolvanLocalSession.h"

#include <exception>
#include <mutex>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanTransaction.h"

namespace tolvan {

void TTolvanTransactionDeleter::operator()(TTolvanTransaction* Transaction) const noexcept {
  delete Transaction;
}

TTolvanLocalSession::TTolvanLocalSession() = default;

TTolvanLocalSession::~TTolvanLocalSession() {
  try {
    SetConnected(false);
  } catch (...) {
    // Destructors never raise; an owner that cares disconnects first.
  }
}

bool TTolvanLocalSession::IsConnected() { return FConnected; }

void TTolvanLocalSession::RaiseDatabaseNotFound() const {
  throw ETolvanException::CreateFmt(ErrDatabaseNotFound, SDatabaseNotFound,
                                    FileName().empty() ? DatabaseName() : FileName());
}

TTolvanDatabaseData* TTolvanSessionDatabases400::FindDatabase(TTolvanLocalSession& Session) const {
  // There are no disk databases: a session that is neither in-memory nor temporary finds none,
  // not even a registered database whose name happens to equal its file name.
  if (!Session.InMemory() && !Session.IsTemp())
    return nullptr;
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  return Registry.Find(Session.InMemory(), Session.IsTemp(), Session.DatabaseName(), {});
}

TTolvanDatabaseData*
TTolvanSessionDatabases400::CreateDatabaseData(TTolvanLocalSession& Session) const {
  if (!Session.InMemory())
    Session.RaiseDatabaseNotFound();
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  return Registry.Create(MemoryDatabaseName, Session.DatabaseName());
}

bool TTolvanSessionDatabases400::DatabaseExists(TTolvanLocalSession& Session) const {
  if (Session.InMemory())
    return Session.FindDatabase() != nullptr;
  return FileExistsEx(Session.FileName(), Session.WideFileName());
}

namespace {
const TTolvanSessionDatabases400 SessionDatabases400;
} // namespace

TTolvanReleaseVariant<TTolvanSessionDatabases> SessionDatabases("SessionDatabases",
                                                                SessionDatabases400);

TTolvanDatabaseData* TTolvanLocalSession::FindDatabase() {
  return SessionDatabases->FindDatabase(*this);
}

TTolvanDatabaseData* TTolvanLocalSession::CreateDatabaseData() {
  return SessionDatabases->CreateDatabaseData(*this);
}

TTolvanDatabaseData* TTolvanLocalSession::GetDatabaseData() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  if (TTolvanDatabaseData* Found = FindDatabase())
    return Found;
  return CreateDatabaseData();
}

TTolvanDatabaseData& TTolvanLocalSession::BindDatabase() {
  if (FConnected)
    return *FDatabase;
  // A disconnected session keeps no pointer: the registry may free a database no session is
  // attached to, so it is looked up for every call.
  return *GetDatabaseData();
}

void TTolvanLocalSession::SetConnected(bool Value) {
  if (Value == FConnected)
    return;
  if (Value)
    Connect();
  else
    Disconnect();
}

void TTolvanLocalSession::Connect() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  FTransaction.reset();
  TTolvanDatabaseData* Database = GetDatabaseData();
  try {
    Database->AttachSession(*this);
  } catch (...) {
    Database->Release();
    throw;
  }
  FDatabase = Database;
  FConnected = true;
}

void TTolvanLocalSession::Disconnect() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  // An open transaction is rolled back; the session detaches whatever the rollback raised, and
  // then passes its error on.
  std::exception_ptr RollbackError;
  if (FTransaction) {
    try {
      FinishTransaction(false, false);
    } catch (...) {
      RollbackError = std::current_exception();
    }
  }
  TTolvanDatabaseData* Database = FDatabase;
  FDatabase = nullptr;
  FConnected = false;
  try {
    Database->DetachSession(*this);
  } catch (...) {
    Database->Release();
    throw;
  }
  Database->Release();
  if (RollbackError)
    std::rethrow_exception(RollbackError);
}

void TTolvanLocalSession::CreateDatabase() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  if (FindDatabase())
    throw ETolvanException::Create(ErrCreateDatabaseAlreadyOpen, SCannotCreateDatabaseAlreadyOpen);
  TTolvanDatabaseData* Database = CreateDatabaseData();
  try {
    Database->CreateDatabase();
  } catch (...) {
    Database->Release();
    throw;
  }
  Database->Release();
}

bool TTolvanLocalSession::DatabaseExists() { return SessionDatabases->DatabaseExists(*this); }

void TTolvanLocalSession::GetTableNames(TStringList& List) { BindDatabase().GetTableNames(List); }

bool TTolvanLocalSession::TableExists(std::string_view TableName) {
  return BindDatabase().TableExists(TableName);
}

void TTolvanLocalSession::CheckDatabaseStreams(const char* Operation) {
  if (Release().NoDatabaseStreams)
    RaiseNotInRelease(Operation);
}

void TTolvanLocalSession::LoadDatabaseFromStream(TStream& Stream) {
  CheckDatabaseStreams("LoadDatabaseFromStream");
  BindDatabase().LoadDatabaseFromStream(*this, Stream);
}

void TTolvanLocalSession::SaveDatabaseToStream(TStream& Stream) {
  SaveDatabaseToStream(Stream, caNone, 0, 0);
}

void TTolvanLocalSession::SaveDatabaseToStream(TStream& Stream,
                                               TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                                               int32_t Value) {
  CheckDatabaseStreams("SaveDatabaseToStream");
  BindDatabase().SaveDatabaseToStream(*this, Stream, Algorithm, Level, Value);
}

bool TTolvanLocalSession::InTransaction() { return FTransaction != nullptr; }

void TTolvanLocalSession::StartTransaction() {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::lock_guard Hold(Registry.Lock());
  if (!FConnected)
    throw ETolvanException::Create(ErrStartTransactionNotConnected, SNilPointerOccurred);
  if (FTransaction)
    throw ETolvanException::CreateFmt(ErrStartTransactionStarted, STransactionAlreadyStarted,
                                      FDatabase->DatabaseName());
  // Only a page manager can undo the changes; a transaction without one would report a rollback
  // it did not do, whatever the database is called.
  if (!FDatabase->PageManager())
    throw ETolvanException::Create(ErrStartTransactionDiskOnly, STransactionDiskOnly);
  FTransaction.reset(new TTolvanTransaction(*this, *FDatabase));
}

void TTolvanLocalSession::FinishTransaction(bool Commit, bool Flush) {
  // Freed on every path; a step that raised before finishing is followed by a rollback, so no
  // transaction is ever left half done.
  std::unique_ptr<TTolvanTransaction, TTolvanTransactionDeleter> Transaction =
      std::move(FTransaction);
  try {
    if (Commit)
      Transaction->Commit(Flush);
    else
      Transaction->Rollback();
  } catch (...) {
    if (!Transaction->Finished()) {
      try {
        Transaction->Rollback();
      } catch (...) {
      }
    }
    throw;
  }
  Transaction->CheckFinished();
}

void TTolvanLocalSession::Commit() { Commit(false); }

void TTolvanLocalSession::Commit(bool Flush) {
  if (!FConnected)
    throw ETolvanException::Create(ErrCommitNotConnected, SNilPointerOccurred);
  if (!FTransaction)
    throw ETolvanException::CreateFmt(ErrCommitNotStarted, STransactionNotStarted,
                                      FDatabase->DatabaseName());
  FinishTransaction(true, Flush);
}

void TTolvanLocalSession::Rollback() {
  if (!FConnected)
    throw ETolvanException::Create(ErrRollbackNotConnected, SNilPointerOccurred);
  if (!FTransaction)
    throw ETolvanException::CreateFmt(ErrRollbackNotStarted, STransactionNotStarted,
                                      FDatabase->DatabaseName());
  FinishTransaction(false, false);
}

void TTolvanLocalSession::SessionHook() {
  if (FConnected)
    FDatabase->SessionHook(*this);
}

void TTolvanLocalSession::ClearPageCache() {
  if (FConnected)
    ClearDatabasePageCache(*FDatabase);
}

} // namespace tolvan
