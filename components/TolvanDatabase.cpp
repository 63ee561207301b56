#include "components/TolvanDatabase.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>

#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalSession.h"

namespace tolvan {

namespace {

constexpr std::string_view ConstructionNamePrefix = "TolvanTableDB_";

std::atomic<bool> DesignState{false};

std::string_view OperationName(TTolvanDatabaseOperation Operation) noexcept {
  switch (Operation) {
  case TTolvanDatabaseOperation::SetInMemory:
    return "SetInMemory";
  case TTolvanDatabaseOperation::CreateDatabase:
    return "CreateDatabase";
  case TTolvanDatabaseOperation::DropDatabase:
    return "DropDatabase";
  case TTolvanDatabaseOperation::SetDatabaseFileNameAnsi:
    return "SetDatabaseFileNameAnsi";
  case TTolvanDatabaseOperation::SetDatabaseFileNameUnicode:
    return "SetDatabaseFileNameUnicode";
  case TTolvanDatabaseOperation::SetDatabaseFileName:
    return "SetDatabaseFileName";
  case TTolvanDatabaseOperation::SetLocalDatabase:
    return "SetLocalDatabase";
  case TTolvanDatabaseOperation::DatabaseExists:
    return "DatabaseExists";
  }
  return "?";
}

} // namespace

// --- the design-state flag ---------------------------------------------------------------------

bool DesignStateFlag() noexcept { return DesignState.load(std::memory_order_acquire); }

void NoteDesignedOwner(const TComponent* Owner) noexcept {
  if (Owner && (Owner->ComponentState() & csDesigning))
    DesignState.store(true, std::memory_order_release);
}

void ResetDesignStateFlagForTests() noexcept {
  DesignState.store(false, std::memory_order_release);
}

// --- the release 4.00 routines -----------------------------------------------------------------

void TTolvanDatabaseRoutines::StoreDatabaseName(TTolvanDatabase& Database, std::string_view Value) {
  Database.FDatabaseName = Value;
}

void TTolvanDatabaseRoutines::StoreSessionName(TTolvanDatabase& Database, std::string_view Value) {
  Database.FSessionName = Value;
}

void TTolvanDatabaseRoutines::SetSessionPointer(TTolvanDatabase& Database,
                                                TTolvanSession* Session) noexcept {
  Database.FSession = Session;
}

class TTolvanDatabaseRoutines400 final : public TTolvanDatabaseRoutines {
public:
  bool Offers(TTolvanDatabaseOperation Operation) const override {
    return IsInMemoryDatabaseOperation(Operation);
  }

  void NameNewDatabase(TTolvanDatabase& D) const override {
    D.FSessionName = D.FSession->SessionName();
    // The generated name is replaced at once, but its random draw is part of what a new
    // database costs the process's generator.
    (void)MakeUniqueName(ConstructionNamePrefix);
    D.FInMemory = true;
    D.FDatabaseName = MemoryDatabaseName;
  }

  void SetDatabaseName(TTolvanDatabase& D, std::string_view Value) const override {
    if (Value == D.FDatabaseName)
      return;
    if (!D.FDroppedBySQL) {
      if (D.Connected())
        D.Close();
      if (!(D.ComponentState() & csLoading)) {
        D.EnsureDisconnected();
        D.CheckUniqueName(Value);
      }
    }
    D.FDatabaseName = Value;
  }

  void SetSessionName(TTolvanDatabase& D, std::string_view Value) const override {
    if (Value == D.FSessionName)
      return;
    if (D.Connected())
      D.Close();
    D.FSessionName = Value;
  }

  std::shared_ptr<TTolvanBaseSession> CreateEngineSession(const TTolvanDatabase& D) const override {
    if (!D.FLocalDatabase)
      return nullptr;
    auto Session = std::make_shared<TTolvanLocalSession>();
    const bool Temp = D.FTemporary && D.FDatabaseName == TemporaryDatabaseName;
    Session->SetInMemory(Temp ? false : D.FInMemory);
    Session->SetDatabaseName(D.FDatabaseName);
    Session->SetIsTemp(Temp);
    Session->SetFileName(D.FInMemory || Temp ? std::string_view(D.FDatabaseName)
                                             : std::string_view(D.FFileName));
    Session->SetWideFileName(D.FWideFileName);
    return Session;
  }

  void SessionDestroyed(TTolvanDatabase& D) const noexcept override {
    try {
      D.Close();
    } catch (...) {
      // The session's deactivation closed the database already; nothing may escape here.
    }
    D.ForgetSession(true);
  }

  TTolvanDatabase* OpenFoundOrNew(TTolvanSession& Session, TTolvanDatabase* Database,
                                  std::string_view Name) const override {
    const bool Made = !Database;
    if (Made && !(Database = NewTemporaryDatabase(Session, Name, false)))
      return nullptr;
    return OpenForDataSet(Database, Made);
  }
};

const TTolvanDatabaseRoutines400 Routines400;

TTolvanReleaseVariant<TTolvanDatabaseRoutines> DatabaseRoutines("DatabaseRoutines", Routines400);

TTolvanDatabase* TTolvanDatabaseRoutines::NewTemporaryDatabase(TTolvanSession& Session,
                                                               std::string_view Name,
                                                               bool KeepConnection) {
  auto* Database = NewComponent<TTolvanDatabase>(&Session, &Session);
  try {
    Database->SetDatabaseName(Name);
    Database->SetKeepConnection(KeepConnection);
    Database->FTemporary = true;
  } catch (...) {
    Database->Free();
    return nullptr;
  }
  return Database;
}

TTolvanDatabase* TTolvanDatabaseRoutines::OpenForDataSet(TTolvanDatabase* Database, bool Made) {
  try {
    Database->Open();
  } catch (...) {
    if (Made)
      try {
        Database->Free();
      } catch (...) {
      }
    return nullptr;
  }
  // An open dropped while the owner was still being created counts nothing.
  if (!Database->Connected()) {
    if (Made)
      Database->Free();
    return nullptr;
  }
  return Database;
}

TTolvanDatabase* TTolvanDatabase::Create(TComponent* Owner) {
  return NewComponent<TTolvanDatabase>(Owner, Owner);
}

TTolvanDatabase::TTolvanDatabase(TComponent* Owner) {
  auto* OwnerSession = dynamic_cast<TTolvanSession*>(Owner);
  FSession = OwnerSession ? OwnerSession : DefaultSession();
  NoteDesignedOwner(Owner);
  DatabaseRoutines->NameNewDatabase(*this);
  FSession->AddDatabase(this);
}

// --- connection
// ------------------------------------------------------------------------------------

void TTolvanDatabase::Open() {
  if (Connected()) {
    TSessionCriticalSectionHold Hold;
    ++FUseCount;
    return;
  }
  CheckDatabaseName();
  LinkSession(true);
  TSessionLockHold Hold(*FSession);
  if (Connected()) {
    ++FUseCount;
    return;
  }
  if (PrepareEngineSession()) {
    try {
      FEngineSession->SetConnected(true);
    } catch (...) {
      try {
        FreeEngineSession();
      } catch (...) {
      }
      if (IsBeingCreated())
        return;
      throw;
    }
  }
  ++FUseCount;
}

bool TTolvanDatabase::PrepareEngineSession() {
  if (FHandleShared) {
    if (std::shared_ptr<TTolvanBaseSession> Shared = FSession->FindSharedHandle(FDatabaseName)) {
      FEngineSession = std::move(Shared);
      FBorrowed = true;
      return false;
    }
  }
  std::shared_ptr<TTolvanBaseSession> Made;
  try {
    Made = DatabaseRoutines->CreateEngineSession(*this);
  } catch (...) {
  }
  if (!Made)
    DatabaseError(SDatabaseOpenError, this);
  // The local engine keeps no read-only or exclusive mode of its own: ReadOnly stays as set.
  FEngineSession = std::move(Made);
  FBorrowed = false;
  return true;
}

void TTolvanDatabase::FreeEngineSession() {
  std::shared_ptr<TTolvanBaseSession> Session = std::move(FEngineSession);
  FEngineSession.reset();
  FBorrowed = false;
  ReleaseEngineSession(Session);
}

void TTolvanDatabase::ReleaseEngineSession(std::shared_ptr<TTolvanBaseSession>& Session) {
  if (!Session)
    return;
  TSessionCriticalSectionHold Hold;
  std::shared_ptr<TTolvanBaseSession> Last = std::move(Session);
  Session.reset();
  if (Last.use_count() == 1 && Last->IsConnected())
    Last->SetConnected(false);
}

void TTolvanDatabase::Close() {
  if (!Connected())
    return;
  std::exception_ptr Failure;
  {
    TSessionCriticalSectionHold Hold;
    FClosing = true;
    KeepFirstFailure(Failure, [&] { CloseDataSets(); });
    KeepFirstFailure(Failure, [&] { FreeEngineSession(); });
    FUseCount = 0;
    FClosing = false;
  }
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDatabase::CloseKeeping(TTolvanDatabaseClient* Keeper) {
  TSessionCriticalSectionHold Hold;
  if (!Keeper || std::find(FDataSets.begin(), FDataSets.end(), Keeper) == FDataSets.end()) {
    Close();
    return;
  }
  std::vector<TTolvanDatabaseClient*> Kept;
  Kept.reserve(1);
  RemoveDataSet(Keeper);
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { Close(); });
  Kept.push_back(Keeper);
  Kept.insert(Kept.end(), FDataSets.begin(), FDataSets.end());
  FDataSets = std::move(Kept);
  FUseCount = 1;
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDatabase::SetConnected(bool Value) {
  if (ComponentState() & csLoading) {
    FStreamedConnected = Value;
    return;
  }
  if (Value == Connected())
    return;
  try {
    if (Value)
      Open();
    else
      Close();
  } catch (...) {
    if (!(ComponentState() & csDesigning))
      throw;
    ApplicationHandleException(std::current_exception());
  }
}

// --- properties
// ---------------------------------------------------------------------------------------

void TTolvanDatabase::SetDatabaseName(std::string_view Value) {
  DatabaseRoutines->SetDatabaseName(*this, Value);
}

void TTolvanDatabase::SetInMemory(bool Value) {
  CheckOffered(TTolvanDatabaseOperation::SetInMemory);
  if (Value == FInMemory)
    return;
  if (Connected())
    Close();
  if (!(ComponentState() & csLoading)) {
    EnsureDisconnected();
    CheckUniqueName(FDatabaseName);
  }
  FInMemory = Value;
}

void TTolvanDatabase::SetKeepConnection(bool Value) {
  FKeepConnection = Value;
  if (!Value && FUseCount == 0)
    Close();
}

void TTolvanDatabase::SetSessionName(std::string_view Value) {
  DatabaseRoutines->SetSessionName(*this, Value);
}

void TTolvanDatabase::SetLocalDatabase(bool Value) {
  CheckOffered(TTolvanDatabaseOperation::SetLocalDatabase);
  FLocalDatabase = Value;
}

void TTolvanDatabase::SetDatabaseFileNameAnsi(std::string_view Value) {
  CheckOffered(TTolvanDatabaseOperation::SetDatabaseFileNameAnsi);
  StoreFileName(Value, std::u16string_view());
}

void TTolvanDatabase::SetDatabaseFileName(std::string_view Value) {
  CheckOffered(TTolvanDatabaseOperation::SetDatabaseFileName);
  StoreFileName(Value, std::u16string_view());
}

void TTolvanDatabase::SetDatabaseFileNameUnicode(std::u16string_view Value) {
  CheckOffered(TTolvanDatabaseOperation::SetDatabaseFileNameUnicode);
  StoreFileName(std::string_view(), Value);
}

void TTolvanDatabase::StoreFileName(std::string_view Ansi, std::u16string_view Wide) {
  // A connected database is bound to the file it opened: another file means another database.
  if (!(ComponentState() & csLoading) && (Ansi != FFileName || Wide != FWideFileName))
    SetConnected(false);
  FFileName = Ansi;
  FWideFileName = Wide;
}

// --- operations
// -----------------------------------------------------------------------------------------

void TTolvanDatabase::CreateDatabase() {
  CheckOffered(TTolvanDatabaseOperation::CreateDatabase);
  CheckDatabaseName();
  LinkSession(true);
  CheckInactive();
  TSessionLockHold Hold(*FSession);
  std::shared_ptr<TTolvanBaseSession> Made = DatabaseRoutines->CreateEngineSession(*this);
  if (!Made)
    DatabaseError(SCannotCreateDatabase, this);
  Made->CreateDatabase();
  if (Made->IsConnected())
    Made->SetConnected(false);
}

void TTolvanDatabase::DropDatabase() {
  CheckOffered(TTolvanDatabaseOperation::DropDatabase);
  if (!FDroppedBySQL) {
    CheckDatabaseName();
    LinkSession(true);
    CheckInactive();
  }
  if (!FInMemory)
    DatabaseError(SDatabaseFileNameMissing, this);
  if (!StorageStarted())
    return;
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  std::unique_ptr<TTolvanDatabaseData> Dropped;
  {
    // Attaching holds the registry lock, so no session can attach between the check and the
    // removal; the data is destroyed after the lock is left.
    std::lock_guard Guard(Registry.Lock());
    TTolvanDatabaseData* Data = FindDatabaseData(true, false, FDatabaseName, u"");
    if (!Data)
      return;
    if (Data->SessionCount() > 0)
      throw ETolvanException::CreateFmt(ErrDatabaseUsedBySessions, SDatabaseUsedByOtherSessions,
                                        FDatabaseName);
    Dropped = Registry.Remove(*Data);
  }
  Dropped.reset();
}

bool TTolvanDatabase::DatabaseExists() {
  CheckOffered(TTolvanDatabaseOperation::DatabaseExists);
  if (Connected())
    return true;
  if (!FLocalDatabase)
    return false;
  std::shared_ptr<TTolvanBaseSession> Asked = DatabaseRoutines->CreateEngineSession(*this);
  return Asked && Asked->DatabaseExists();
}

bool TTolvanDatabase::TableExists(std::string_view TableName) {
  if (TableName.empty())
    return false;
  const bool WasConnected = Connected();
  if (!WasConnected) {
    try {
      Open();
    } catch (...) {
      return false;
    }
    if (!Connected())
      return false;
  }
  bool Exists = false;
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { Exists = FEngineSession->TableExists(TableName); });
  if (!WasConnected)
    KeepFirstFailure(Failure, [&] { Close(); });
  if (Failure)
    std::rethrow_exception(Failure);
  return Exists;
}

int32_t TTolvanDatabase::DataSetCount() {
  TSessionCriticalSectionHold Hold;
  return int32_t(FDataSets.size());
}

TTolvanDatabaseClient* TTolvanDatabase::DataSets(int32_t Index) {
  TSessionCriticalSectionHold Hold;
  if (Index < 0 || Index >= int32_t(FDataSets.size()))
    throw EListError(Format(SysConst::SListIndexError, Index));
  return FDataSets[size_t(Index)];
}

void TTolvanDatabase::AddDataSet(TTolvanDatabaseClient* DataSet) {
  TSessionCriticalSectionHold Hold;
  FDataSets.push_back(DataSet);
}

void TTolvanDatabase::RemoveDataSet(TTolvanDatabaseClient* DataSet) noexcept {
  TSessionCriticalSectionHold Hold;
  const auto It = std::find(FDataSets.begin(), FDataSets.end(), DataSet);
  if (It != FDataSets.end())
    FDataSets.erase(It);
}

void TTolvanDatabase::CloseDataSets() {
  TSessionCriticalSectionHold Hold;
  // The releases of the disconnecting datasets only count down: none may close or free this
  // database under the loop.
  const bool WasClosing = FClosing;
  FClosing = true;
  std::exception_ptr Failure;
  const std::vector<TTolvanDatabaseClient*> Snapshot = FDataSets;
  for (auto It = Snapshot.rbegin(); It != Snapshot.rend(); ++It)
    if (std::find(FDataSets.begin(), FDataSets.end(), *It) != FDataSets.end())
      KeepFirstFailure(Failure, [&] { (*It)->Disconnect(); });
  // A dataset that stays listed (it still holds another use reason) would keep the database
  // pointer after the database went: it is cut loose without a release.
  const std::vector<TTolvanDatabaseClient*> Left = std::move(FDataSets);
  FDataSets.clear();
  for (auto It = Left.rbegin(); It != Left.rend(); ++It)
    (*It)->ForgetDatabase();
  FClosing = WasClosing;
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDatabase::CheckOffered(TTolvanDatabaseOperation Operation) const {
  if (!DatabaseRoutines->Offers(Operation))
    DatabaseError(Format(SNotInRelease, OperationName(Operation), Release().Name), this);
}

void TTolvanDatabase::CheckInactive() {
  if (Connected())
    DatabaseError(SOperationOnOpenDatabase, this);
}

void TTolvanDatabase::EnsureDisconnected() {
  if (Connected() && (ComponentState() & csDesigning))
    Close();
  else
    CheckInactive();
}

void TTolvanDatabase::CheckDatabaseName() {
  if (FDatabaseName.empty() && !FTemporary)
    DatabaseError(SDatabaseNameMissing, this);
}

void TTolvanDatabase::CheckUniqueName(std::string_view Name) {
  if (FDroppedBySQL || Name.empty() || !FSession)
    return;
  TSessionCriticalSectionHold Hold;
  TTolvanDatabase* Other = FSession->FindDatabaseByName(Name);
  if (!Other || Other == this || (Other->FHandleShared && FHandleShared))
    return;
  if (Other->FTemporary && Other->FUseCount == 0) {
    Other->Free();
    return;
  }
  DatabaseError(SOperationOnOpenDatabase, this);
}

void TTolvanDatabase::LinkSession(bool Strict) {
  TTolvanSession* Found =
      Strict ? SessionList().GetSession(FSessionName) : SessionList().FindSession(FSessionName);
  if (Found && Found != FSession)
    JoinSession(Found, true);
  if (Strict && FSession)
    FSession->SetActive(true);
}

void TTolvanDatabase::JoinSession(TTolvanSession* Session, bool CheckName) {
  if (Session == FSession)
    return;
  if (FSession)
    FSession->RemoveDatabase(this);
  FSession = Session;
  FSessionName = Session->SessionName();
  Session->AddDatabase(this);
  if (!CheckName)
    return;
  try {
    CheckUniqueName(FDatabaseName);
  } catch (...) {
    FDatabaseName.clear();
    throw;
  }
}

void TTolvanDatabase::ForgetSession(bool ClearName) noexcept {
  FSession = nullptr;
  if (ClearName)
    FSessionName.clear();
}

void TTolvanDatabase::AfterLoading() {
  TComponent::AfterLoading();
  if (FStreamedConnected)
    Open();
  else
    LinkSession(false);
}

void TTolvanDatabase::OwnerNotification(TComponent* Component, TOperation Operation) {
  TComponent::OwnerNotification(Component, Operation);
  if (Operation != opRemove || Component != FSession || !FSession || FSession->IsDefault())
    return;
  DatabaseRoutines->SessionDestroyed(*this);
}

void TTolvanDatabase::BeforeDestruction() {
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { Close(); });
  {
    TSessionCriticalSectionHold Hold;
    const std::vector<TTolvanDatabaseClient*> Left = std::move(FDataSets);
    FDataSets.clear();
    for (TTolvanDatabaseClient* C : Left)
      C->ForgetDatabase();
  }
  if (FSession) {
    FSession->RemoveDatabase(this);
    FSession = nullptr;
  }
  KeepFirstFailure(Failure, [&] { TComponent::BeforeDestruction(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- events
// ---------------------------------------------------------------------------------------------

void TTolvanDatabase::FireBeforeInsertRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                             TTolvanArrayOfTTolvanVariant Values, bool& Abort) {
  Abort = false;
  if (FBeforeInsertRecord)
    FBeforeInsertRecord(Sender, TableName, Values, Abort);
}

void TTolvanDatabase::FireAfterInsertRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                            TTolvanArrayOfTTolvanVariant Values) {
  if (FAfterInsertRecord)
    FAfterInsertRecord(Sender, TableName, Values);
}

void TTolvanDatabase::FireBeforeUpdateRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                             TTolvanArrayOfTTolvanVariant OldValues,
                                             TTolvanArrayOfTTolvanVariant NewValues, bool& Abort) {
  Abort = false;
  if (FBeforeUpdateRecord)
    FBeforeUpdateRecord(Sender, TableName, OldValues, NewValues, Abort);
}

void TTolvanDatabase::FireAfterUpdateRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                            TTolvanArrayOfTTolvanVariant OldValues,
                                            TTolvanArrayOfTTolvanVariant NewValues) {
  if (FAfterUpdateRecord)
    FAfterUpdateRecord(Sender, TableName, OldValues, NewValues);
}

void TTolvanDatabase::FireBeforeDeleteRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                             TTolvanArrayOfTTolvanVariant Values, bool& Abort) {
  Abort = false;
  if (FBeforeDeleteRecord)
    FBeforeDeleteRecord(Sender, TableName, Values, Abort);
}

void TTolvanDatabase::FireAfterDeleteRecord(TTolvanDataSet* Sender, const AnsiString& TableName,
                                            TTolvanArrayOfTTolvanVariant Values) {
  if (FAfterDeleteRecord)
    FAfterDeleteRecord(Sender, TableName, Values);
}

void TTolvanDatabase::FireBeforeExecuteSQL(TTolvanQuery* Sender, bool& Abort) {
  Abort = false;
  if (FBeforeExecuteSQL)
    FBeforeExecuteSQL(Sender, Abort);
}

void TTolvanDatabase::FireAfterExecuteSQL(TTolvanQuery* Sender) {
  if (FAfterExecuteSQL)
    FAfterExecuteSQL(Sender);
}

} // namespace tolvan
