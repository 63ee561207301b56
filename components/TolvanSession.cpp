#include "components/TolvanSession.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>

#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDatabase.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanLockOrder.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

// --- the critical section ------------------------------------------------------------------------

namespace {

// Constructed on first use in static storage and never destroyed: a thread still leaving the
// section during process exit finds it intact.
alignas(TTolvanReadWriteThreadSyncBySingleCriticalSection) unsigned char SectionStorage[sizeof(
    TTolvanReadWriteThreadSyncBySingleCriticalSection)];

thread_local int32_t SectionDepth = 0;

} // namespace

TTolvanReadWriteThreadSyncBySingleCriticalSection& SessionCriticalSection() noexcept {
  static TTolvanReadWriteThreadSyncBySingleCriticalSection* const Section =
      new (SectionStorage) TTolvanReadWriteThreadSyncBySingleCriticalSection();
  return *Section;
}

int32_t SessionCriticalSectionDepth() noexcept { return SectionDepth; }

void EnterSessionCriticalSection() {
  if (SectionDepth == 0)
    LockOrderCheckOuter("sessions' critical section");
  SessionCriticalSection().BeginWrite();
  ++SectionDepth;
}

void LeaveSessionCriticalSection() {
  SessionCriticalSection().EndAccess();
  --SectionDepth;
}

// --- engine contexts
// ------------------------------------------------------------------------------

namespace {

TTolvanEngineContext GlobalContext; // guarded by the critical section
std::atomic<bool> GlobalContextFlag{false};

std::atomic<TTolvanSessionList*> InstalledList{nullptr};

[[noreturn]] void RaiseNotInitialized() {
  throw ETolvanException::Create(ErrEngineNotInitialized, SEngineNotInitialized);
}

} // namespace

void CreateGlobalEngineContext() {
  if (GlobalContextFlag.load(std::memory_order_acquire))
    return;
  GlobalContext = std::make_unique<TTolvanSessionComponentManager>();
  GlobalContextFlag.store(true, std::memory_order_release);
}

void FreeGlobalEngineContext() noexcept {
  if (!GlobalContextFlag.load(std::memory_order_acquire))
    return;
  GlobalContextFlag.store(false, std::memory_order_release);
  GlobalContext.reset();
}

TTolvanSessionComponentManager* GetEngineContext() {
  if (!GlobalContextFlag.load(std::memory_order_acquire))
    RaiseNotInitialized();
  return GlobalContext.get();
}

bool GlobalEngineContextExists() noexcept {
  return GlobalContextFlag.load(std::memory_order_acquire);
}

TTolvanEngineContext CreateEngineContext() {
  return std::make_unique<TTolvanSessionComponentManager>();
}

void FreeEngineContext(TTolvanEngineContext& Context) noexcept { Context.reset(); }

// --- the session list
// -----------------------------------------------------------------------------

TTolvanSessionList& SessionList() {
  TTolvanSessionList* L = InstalledList.load(std::memory_order_acquire);
  if (!L)
    RaiseNotInitialized();
  return *L;
}

TTolvanSession* DefaultSession() {
  TTolvanSession* S = SessionList().DefaultSession();
  if (!S)
    RaiseNotInitialized();
  return S;
}

bool SessionListExists() noexcept {
  return InstalledList.load(std::memory_order_acquire) != nullptr;
}

TTolvanSessionList* InstallSessionList(TTolvanSessionList* List) noexcept {
  return InstalledList.exchange(List, std::memory_order_acq_rel);
}

TTolvanSessionList::~TTolvanSessionList() = default;

void TTolvanSessionList::Add(TTolvanSession* Session) {
  std::lock_guard Guard(FLock);
  FSessions.push_back(Session);
  Session->FListed = true;
  if (!FHadSession) {
    FHadSession = true;
    FDefault = Session;
    Session->FIsDefault = true;
  }
}

void TTolvanSessionList::Remove(TTolvanSession* Session) noexcept {
  std::lock_guard Guard(FLock);
  const auto It = std::find(FSessions.begin(), FSessions.end(), Session);
  if (It != FSessions.end())
    FSessions.erase(It);
  Session->FListed = false;
  if (FDefault == Session)
    FDefault = nullptr;
}

TTolvanSession* TTolvanSessionList::FindSession(std::string_view Name) {
  std::lock_guard Guard(FLock);
  if (Name.empty())
    return FDefault;
  for (TTolvanSession* S : FSessions)
    if (AnsiSameText(S->FSessionName, Name))
      return S;
  return nullptr;
}

TTolvanSession* TTolvanSessionList::GetSession(std::string_view Name) {
  TTolvanSession* S = FindSession(Name);
  if (!S)
    throw ETolvanException::CreateFmt(ErrInvalidSessionName, SInvalidSessionName, Name);
  return S;
}

void TTolvanSessionList::CloseAll() {
  std::vector<TTolvanSession*> Taken;
  TTolvanSession* Default;
  {
    std::lock_guard Guard(FLock);
    Taken.swap(FSessions);
    Default = FDefault;
    FDefault = nullptr;
    for (TTolvanSession* S : Taken)
      S->FListed = false;
  }
  std::exception_ptr Failure;
  for (auto It = Taken.rbegin(); It != Taken.rend(); ++It)
    KeepFirstFailure(Failure, [&] { (*It)->SetActive(false); });
  for (auto It = Taken.rbegin(); It != Taken.rend(); ++It)
    (*It)->DetachForShutdown();
  if (Default)
    KeepFirstFailure(Failure, [&] { Default->Free(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

int32_t TTolvanSessionList::Count() {
  std::lock_guard Guard(FLock);
  return int32_t(FSessions.size());
}

TTolvanSession* TTolvanSessionList::Sessions(int32_t I) {
  std::lock_guard Guard(FLock);
  if (I < 0 || I >= int32_t(FSessions.size()))
    throw EListError(Format(SysConst::SListIndexError, I));
  return FSessions[size_t(I)];
}

int32_t TTolvanSessionList::TakeAutoNumber() {
  TSessionCriticalSectionHold Hold;
  const auto It = std::find(FAutoNumbers.begin(), FAutoNumbers.end(), false);
  const size_t N = size_t(It - FAutoNumbers.begin());
  if (It == FAutoNumbers.end())
    FAutoNumbers.push_back(true);
  else
    *It = true;
  return int32_t(N);
}

void TTolvanSessionList::GiveBackAutoNumber(int32_t Number) noexcept {
  if (Number < 0)
    return;
  TSessionCriticalSectionHold Hold;
  if (size_t(Number) < FAutoNumbers.size())
    FAutoNumbers[size_t(Number)] = false;
}

int32_t TTolvanSessionList::AutoNumbersInUse() {
  TSessionCriticalSectionHold Hold;
  return int32_t(std::count(FAutoNumbers.begin(), FAutoNumbers.end(), true));
}

void TTolvanSessionList::StoreSessionName(TTolvanSession& Session, std::string_view Name) {
  std::lock_guard Guard(FLock);
  if (!Name.empty())
    for (TTolvanSession* S : FSessions)
      if (S != &Session && AnsiSameText(S->FSessionName, Name))
        DatabaseError(Format(SDuplicateSessionName, Name), &Session);
  Session.FSessionName = Name;
}

// --- the session component
// ------------------------------------------------------------------------

TTolvanSession* TTolvanSession::Create(TComponent* Owner) {
  return NewComponent<TTolvanSession>(Owner, Owner);
}

TTolvanSession::TTolvanSession(TComponent* Owner) {
  CheckAutoSessionNameAllowed(Owner, false, nullptr);
  SessionList().Add(this);
}

void TTolvanSession::CheckAutoSessionNameAllowed(TComponent* Owner, bool Enabling,
                                                 const TTolvanSession* Self) {
  if (!Owner)
    return;
  for (int32_t I = 0; I < Owner->ComponentCount(); ++I) {
    auto* Other = dynamic_cast<TTolvanSession*>(Owner->Components(I));
    if (!Other || Other == Self)
      continue;
    if (Enabling)
      DatabaseError(SCannotEnableAutoSessionName, Self);
    if (Other->FAutoSessionName)
      DatabaseError(Format(SCannotAddSessionAutoSessionName, Other->Name()), Self);
  }
}

void TTolvanSession::CheckInactive() {
  if (Active())
    DatabaseError(SOperationOnActiveSession, this);
}

// --- locks

void TTolvanSession::Lock() {
  EnterSessionCriticalSection();
  ++FLockDepth;
  if (FEngineContext)
    return;
  try {
    SetActive(true);
  } catch (...) {
    Unlock();
    throw;
  }
}

void TTolvanSession::Unlock() {
  // The depth is read only by a thread inside the section.
  if (SectionDepth == 0 || FLockDepth <= 0)
    throw ETolvanException::CreateFmt(ErrSessionUnlock, SInvalidItemNumber,
                                      int32_t(GetCurrentThreadId()), SectionDepth);
  --FLockDepth;
  LeaveSessionCriticalSection();
}

void TTolvanSession::EnterGlobalLock() { EnterSessionCriticalSection(); }

void TTolvanSession::LeaveGlobalLock() { LeaveSessionCriticalSection(); }

// --- activation

void TTolvanSession::SetActive(bool Value) {
  if (ComponentState() & csLoading) {
    FStreamedActive = Value;
    return;
  }
  TSessionCriticalSectionHold Hold;
  if (Value != Active())
    ChangeActiveState(Value);
}

void TTolvanSession::ChangeActiveState(bool Value) {
  if (Value) {
    if (FOnStartup)
      FOnStartup(this);
    if (FSessionName.empty())
      DatabaseError(SSessionNameMissing, this);
    if (!FIsDefault) {
      DefaultSession()->SetActive(true);
      FOwnContext = CreateEngineContext();
      FEngineContext = FOwnContext.get();
    } else {
      CreateGlobalEngineContext();
      FEngineContext = GetEngineContext();
    }
    return;
  }
  // Every database is visited even when one fails; the session ends inactive either way.
  std::exception_ptr Failure;
  const std::vector<TTolvanDatabase*> Snapshot = FDatabases;
  for (auto It = Snapshot.rbegin(); It != Snapshot.rend(); ++It) {
    TTolvanDatabase* D = *It;
    if (std::find(FDatabases.begin(), FDatabases.end(), D) == FDatabases.end())
      continue;
    if (D->Temporary())
      KeepFirstFailure(Failure, [&] {
        if (!(D->ComponentState() & csDestroying))
          D->Free();
      });
    else
      KeepFirstFailure(Failure, [&] { D->Close(); });
  }
  if (FIsDefault)
    FreeGlobalEngineContext();
  else
    FreeEngineContext(FOwnContext);
  FEngineContext = nullptr;
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanSession::AfterLoading() {
  TComponent::AfterLoading();
  if (FAutoSessionName)
    PropagateSessionName();
  if (FStreamedActive)
    SetActive(true);
}

// --- names

void TTolvanSession::SetSessionName(std::string_view Value) {
  if (FAutoSessionName && !FRenaming)
    DatabaseError(SCannotModifySessionName, this);
  CheckInactive();
  SessionList().StoreSessionName(*this, Value);
}

void TTolvanSession::SetAutoSessionName(bool Value) {
  if (Value == FAutoSessionName)
    return;
  if (Value) {
    CheckInactive();
    CheckAutoSessionNameAllowed(Owner(), true, this);
    FAutoNumber = -1;
    FAutoNumber = SessionList().TakeAutoNumber();
    try {
      UpdateAutoSessionName();
    } catch (...) {
      SessionList().GiveBackAutoNumber(FAutoNumber);
      FAutoNumber = -1;
      throw;
    }
  } else {
    if (SessionListExists())
      SessionList().GiveBackAutoNumber(FAutoNumber);
    FAutoNumber = -1;
  }
  FAutoSessionName = Value;
}

void TTolvanSession::UpdateAutoSessionName() {
  FRenaming = true;
  try {
    SetSessionName(Format("%s_%d", Name(), FAutoNumber + 1));
  } catch (...) {
    FRenaming = false;
    throw;
  }
  FRenaming = false;
  PropagateSessionName();
}

void TTolvanSession::Rename(const AnsiString& NewName) {
  TComponent::Rename(NewName);
  if (FAutoSessionName)
    UpdateAutoSessionName();
}

void TTolvanSession::PropagateSessionName() {
  TComponent* O = Owner();
  if (!O)
    return;
  for (int32_t I = 0; I < O->ComponentCount(); ++I) {
    TComponent* C = O->Components(I);
    if (auto* Client = dynamic_cast<TTolvanDatabaseClient*>(C)) {
      if (!AnsiSameText(Client->SessionName(), FSessionName))
        Client->SetSessionName(FSessionName);
    } else if (auto* D = dynamic_cast<TTolvanDatabase*>(C)) {
      if (!AnsiSameText(D->SessionName(), FSessionName))
        D->SetSessionName(FSessionName);
    }
  }
}

void TTolvanSession::OwnerNotification(TComponent* Component, TOperation Operation) {
  TComponent::OwnerNotification(Component, Operation);
  if (Component == this)
    return;
  if (Operation == opRemove) {
    if (auto* D = dynamic_cast<TTolvanDatabase*>(Component))
      RemoveDatabase(D);
    return;
  }
  if (!FAutoSessionName || !Owner() || Component->Owner() != Owner())
    return;
  if (auto* Client = dynamic_cast<TTolvanDatabaseClient*>(Component))
    Client->SetSessionName(FSessionName);
  else if (auto* D = dynamic_cast<TTolvanDatabase*>(Component))
    D->JoinSession(this, false); // a new database is "MEMORY" beside any other
}

// --- databases

TTolvanDatabase* TTolvanSession::OpenDatabase(std::string_view Name, TComponent* Owner) {
  TSessionLockHold Hold(*this);
  return DatabaseRoutines->OpenFoundOrNew(*this, FindDatabase(Name, Owner), Name);
}

void TTolvanSession::CloseDatabase(TTolvanDatabase* Database) {
  if (!Database)
    return;
  TSessionCriticalSectionHold Hold;
  if (Database->FUseCount > 0)
    --Database->FUseCount;
  if (Database->FUseCount > 0 || Database->FKeepConnection || Database->FClosing)
    return;
  if (!Database->FTemporary)
    Database->Close();
  else if (!(Database->ComponentState() & csDestroying))
    Database->Free();
}

TTolvanDatabase* TTolvanSession::FindDatabaseByName(std::string_view Name) {
  TSessionCriticalSectionHold Hold;
  for (TTolvanDatabase* D : FDatabases)
    if ((!D->FDatabaseName.empty() || D->FTemporary) && AnsiSameText(D->FDatabaseName, Name))
      return D;
  return nullptr;
}

TTolvanDatabase* TTolvanSession::FindDatabase(std::string_view Name, TComponent* Component) {
  TSessionCriticalSectionHold Hold;
  if (Component)
    for (TTolvanDatabase* D : FDatabases)
      if (D->Owner() == Component && D->FHandleShared && AnsiSameText(D->FDatabaseName, Name))
        return D;
  return FindDatabaseByName(Name);
}

std::shared_ptr<TTolvanBaseSession> TTolvanSession::FindSharedHandle(std::string_view Name) {
  TSessionCriticalSectionHold Hold;
  for (TTolvanDatabase* D : FDatabases)
    if (D->Connected() && D->FHandleShared && AnsiSameText(D->FDatabaseName, Name))
      return D->FEngineSession;
  return nullptr;
}

void TTolvanSession::AddDatabase(TTolvanDatabase* Database) {
  TSessionCriticalSectionHold Hold;
  if (std::find(FDatabases.begin(), FDatabases.end(), Database) == FDatabases.end())
    FDatabases.push_back(Database);
}

void TTolvanSession::RemoveDatabase(TTolvanDatabase* Database) noexcept {
  TSessionCriticalSectionHold Hold;
  const auto It = std::find(FDatabases.begin(), FDatabases.end(), Database);
  if (It != FDatabases.end())
    FDatabases.erase(It);
}

int32_t TTolvanSession::DatabaseCount() {
  TSessionCriticalSectionHold Hold;
  return int32_t(FDatabases.size());
}

TTolvanDatabase* TTolvanSession::Databases(int32_t I) {
  TSessionCriticalSectionHold Hold;
  if (I < 0 || I >= int32_t(FDatabases.size()))
    throw EListError(Format(SysConst::SListIndexError, I));
  return FDatabases[size_t(I)];
}

// --- teardown

void TTolvanSession::DetachForShutdown() noexcept {
  TSessionCriticalSectionHold Hold;
  const std::vector<TTolvanDatabase*> Attached = std::move(FDatabases);
  FDatabases.clear();
  for (TTolvanDatabase* D : Attached)
    D->ForgetSession(false);
  FListed = false;
}

void TTolvanSession::BeforeDestruction() {
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { SetActive(false); });
  if (FListed && SessionListExists()) {
    SessionList().Remove(this);
    SessionList().GiveBackAutoNumber(FAutoNumber);
  }
  FAutoNumber = -1;
  // Databases that stay attached forget this session; those it owns go with it.
  {
    TSessionCriticalSectionHold Hold;
    const std::vector<TTolvanDatabase*> Attached = std::move(FDatabases);
    FDatabases.clear();
    for (TTolvanDatabase* D : Attached)
      if (D->Owner() != this)
        DatabaseRoutines->SessionDestroyed(*D);
  }
  KeepFirstFailure(Failure, [&] { TComponent::BeforeDestruction(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

} // namespace tolvan
