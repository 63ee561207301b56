#include "components/TolvanDatabase.h"

#include <algorithm>
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

} // namespace

TTolvanDatabase* TTolvanDatabase::Create(TComponent* Owner) {
  return NewComponent<TTolvanDatabase>(Owner, Owner);
}

TTolvanDatabase::TTolvanDatabase(TComponent* Owner) {
  auto* OwnerSession = dynamic_cast<TTolvanSession*>(Owner);
  FSession = OwnerSession ? OwnerSession : DefaultSession();
  FSessionName = FSession->SessionName();
  AssignConstructionName();
  FSession->AddDatabase(this);
}

void TTolvanDatabase::AssignConstructionName() {
  // The generated name is replaced at once, but its random draw is part of what a new database
  // costs the process's generator.
  (void)MakeUniqueName(ConstructionNamePrefix);
  FInMemory = true;
  FDatabaseName = MemoryDatabaseName;
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
    Made = CreateEngineSession();
  } catch (...) {
  }
  if (!Made)
    DatabaseError(SDatabaseOpenError, this);
  // The local engine keeps no read-only or exclusive mode of its own: ReadOnly stays as set.
  FEngineSession = std::move(Made);
  FBorrowed = false;
  return true;
}

std::shared_ptr<TTolvanBaseSession> TTolvanDatabase::CreateEngineSession() {
  if (!FLocalDatabase)
    return nullptr;
  auto Session = std::make_shared<TTolvanLocalSession>();
  const bool Temp = FTemporary && FDatabaseName == TemporaryDatabaseName;
  Session->SetInMemory(Temp ? false : FInMemory);
  Session->SetDatabaseName(FDatabaseName);
  Session->SetIsTemp(Temp);
  Session->SetFileName(FInMemory || Temp ? std::string_view(FDatabaseName)
                                         : std::string_view(FFileName));
  Session->SetWideFileName(FWideFileName);
  return Session;
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
  if (Value == FDatabaseName)
    return;
  if (!FDroppedBySQL) {
    if (Connected())
      Close();
    if (!(ComponentState() & csLoading)) {
      EnsureDisconnected();
      CheckUniqueName(Value);
    }
  }
  FDatabaseName = Value;
}

void TTolvanDatabase::SetInMemory(bool Value) {
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
  if (Value == FSessionName)
    return;
  if (Connected())
    Close();
  FSessionName = Value;
}

// --- operations
// -----------------------------------------------------------------------------------------

void TTolvanDatabase::CreateDatabase() {
  CheckDatabaseName();
  LinkSession(true);
  CheckInactive();
  TSessionLockHold Hold(*FSession);
  std::shared_ptr<TTolvanBaseSession> Made = CreateEngineSession();
  if (!Made)
    DatabaseError(SCannotCreateDatabase, this);
  Made->CreateDatabase();
  if (Made->IsConnected())
    Made->SetConnected(false);
}

void TTolvanDatabase::DropDatabase() {
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
  Close();
  FSessionName.clear();
  FSession = nullptr;
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
