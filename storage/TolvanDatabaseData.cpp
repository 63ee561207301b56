#include "storage/TolvanDatabaseData.h"

#include <algorithm>
#include <string>

#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStrUtils.h"
#include "storage/TolvanForeignKeys.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "storage/temp/TolvanTempEngine.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNilPointer = 10009;

bool SameName(uint32_t HashA, std::string_view A, uint32_t HashB, std::string_view B) noexcept {
  return HashA == HashB && AnsiSameText(A, B);
}

// Leaves the database lock on every exit.
class TDatabaseLockHold {
public:
  TDatabaseLockHold(TTolvanDatabaseData& Database, bool Exclusive) : FDatabase(Database) {
    FDatabase.Lock(Exclusive);
  }
  ~TDatabaseLockHold() { FDatabase.Unlock(); }
  TDatabaseLockHold(const TDatabaseLockHold&) = delete;
  TDatabaseLockHold& operator=(const TDatabaseLockHold&) = delete;

private:
  TTolvanDatabaseData& FDatabase;
};

} // namespace

void RaiseNil(int32_t Code) { throw ETolvanException::Create(Code, SNilPointerOccurred); }

// --- TTolvanDatabaseData
// --------------------------------------------------------------------------

TTolvanDatabaseData::TTolvanDatabaseData() {
  FLock.SetOwner(this, "TTolvanDatabaseData");
  FLock.SetLockLevel(tllDatabase);
  FLock.SetLockGate(&FWriteGate);
}

TTolvanDatabaseData::~TTolvanDatabaseData() { FreeAllTables(); }

void TTolvanDatabaseData::Lock(bool Exclusive) {
  if (Exclusive)
    FLock.BeginWrite();
  else
    FLock.BeginRead();
}

void TTolvanDatabaseData::Unlock() { FLock.EndAccess(); }

void TTolvanDatabaseData::AttachSession(TTolvanBaseSession& Session) {
  TDatabaseLockHold Hold(*this, true);
  if (std::find(FSessions.begin(), FSessions.end(), &Session) == FSessions.end())
    FSessions.push_back(&Session);
}

void TTolvanDatabaseData::DetachSession(TTolvanBaseSession& Session) {
  TDatabaseLockHold Hold(*this, true);
  const auto It = std::find(FSessions.begin(), FSessions.end(), &Session);
  if (It != FSessions.end())
    FSessions.erase(It);
}

void TTolvanDatabaseData::Release() {}

int32_t TTolvanDatabaseData::SessionCount() {
  TDatabaseLockHold Hold(*this, false);
  return int32_t(FSessions.size());
}

void TTolvanDatabaseData::GetTableNames(TStringList& List) {
  TDatabaseLockHold Hold(*this, false);
  for (const auto& Table : FTables)
    List.Add(Table->TableName());
}

TTolvanTableData* TTolvanDatabaseData::LockedFind(std::string_view Name,
                                                  uint32_t Hash) const noexcept {
  for (const auto& Table : FTables)
    if (SameName(Table->TableNameHash(), Table->TableName(), Hash, Name))
      return Table.get();
  return nullptr;
}

bool TTolvanDatabaseData::TableExists(std::string_view Name) {
  if (Name.empty())
    return false;
  return FindTableData(Name) != nullptr;
}

TTolvanTableData* TTolvanDatabaseData::FindTableData(std::string_view Name) {
  const uint32_t Hash = NameHash(Name);
  TDatabaseLockHold Hold(*this, false);
  return LockedFind(Name, Hash);
}

TTolvanTableData* TTolvanDatabaseData::FindTableData(TTolvanCursor& Cursor) {
  return FindTableData(Cursor.TableName());
}

TTolvanTableData* TTolvanDatabaseData::GetTableData(TTolvanCursor& Cursor, const TTableSetup& Setup,
                                                    bool* Created) {
  const std::string_view Name = Cursor.TableName();
  const uint32_t Hash = NameHash(Name);
  if (Created)
    *Created = false;
  if (TTolvanTableData* Found = FindTableData(Name))
    return Found;
  // A set-up may lock other tables of this database (foreign keys) while the database lock is
  // held, and record writers may look tables up under a table lock: the gate keeps the two apart.
  TWriteGateHold Gate(FWriteGate);
  TDatabaseLockHold Hold(*this, true);
  if (TTolvanTableData* Found = LockedFind(Name, Hash))
    return Found;
  std::unique_ptr<TTolvanTableData> Table = CreateTableData(Cursor);
  if (!Table)
    RaiseNil(ErrNilPointer);
  if (Setup)
    Setup(*Table);
  TTolvanTableData* Result = AddTable(std::move(Table));
  if (Created)
    *Created = true;
  return Result;
}

TTolvanTableData* TTolvanDatabaseData::AddTable(std::unique_ptr<TTolvanTableData> Table) {
  if (!Table)
    RaiseNil(ErrNilPointer);
  TDatabaseLockHold Hold(*this, true);
  if (LockedFind(Table->TableName(), Table->TableNameHash()))
    throw ETolvanException::CreateFmt(ErrTableAlreadyExists, SCannotCreateTableAlreadyExists,
                                      Table->TableName());
  FTables.push_back(std::move(Table));
  return FTables.back().get();
}

std::unique_ptr<TTolvanTableData> TTolvanDatabaseData::RemoveTable(TTolvanTableData& Table) {
  TDatabaseLockHold Hold(*this, true);
  const auto It = std::find_if(FTables.begin(), FTables.end(),
                               [&](const auto& T) { return T.get() == &Table; });
  if (It == FTables.end())
    return nullptr;
  std::unique_ptr<TTolvanTableData> Removed = std::move(*It);
  FTables.erase(It);
  return Removed;
}

void TTolvanDatabaseData::DestroyTable(TTolvanTableData& Table) noexcept {
  std::unique_ptr<TTolvanTableData> Removed;
  try {
    Removed = RemoveTable(Table);
  } catch (...) {
    // The lock itself failed: the table stays registered and alive.
    return;
  }
  DestroyTable(std::move(Removed));
}

void TTolvanDatabaseData::DestroyTable(std::unique_ptr<TTolvanTableData> Table) noexcept {
  if (!Table)
    return;
  try {
    CloseTableData(*Table);
  } catch (...) {
    // Destroyed regardless: nothing refers to the table any more.
  }
}

void TTolvanDatabaseData::RenameTableData(TTolvanTableData& Table, std::string_view NewName) {
  const uint32_t Hash = NameHash(NewName);
  TDatabaseLockHold Hold(*this, true);
  TTolvanTableData* Other = LockedFind(NewName, Hash);
  if (Other && Other != &Table)
    throw ETolvanException::CreateFmt(ErrRenameTableExists, SCannotRenameTableAlreadyExists,
                                      Table.TableName(), NewName);
  Table.SetName(NewName);
}

int32_t TTolvanDatabaseData::TableCount() {
  TDatabaseLockHold Hold(*this, false);
  return int32_t(FTables.size());
}

void TTolvanDatabaseData::CloseTableData(TTolvanTableData&) {}

void TTolvanDatabaseData::FreeAllTables() noexcept {
  try {
    TDatabaseLockHold Hold(*this, true);
    // Last first, each out of the list before it goes, so the list never holds a dead table.
    while (!FTables.empty()) {
      std::unique_ptr<TTolvanTableData> Table = std::move(FTables.back());
      FTables.pop_back();
      if (!Table)
        continue;
      try {
        CloseTableData(*Table);
      } catch (...) {
        // Freed regardless: the database is going.
      }
    }
  } catch (...) {
    // Only the lock itself can fail here; the tables then stay until the destructor.
  }
}

void TTolvanDatabaseData::CreateDatabase() {}

void TTolvanDatabaseData::GetSessionTableLocks(int32_t, std::vector<TTolvanTableLockRecord>&) {}

bool TTolvanDatabaseData::LockTable(std::string_view, int32_t, TTolvanLockMode,
                                    TTolvanTableLockCounters&) {
  return true;
}

bool TTolvanDatabaseData::UnlockTable(std::string_view, int32_t, TTolvanTableLockCounters&) {
  return true;
}

void TTolvanDatabaseData::SessionHook(TTolvanBaseSession&) {}

int32_t TTolvanDatabaseData::NextObjectID() {
  std::lock_guard Guard(FObjectIDLock);
  const int64_t Previous = FObjectIDGenerator.CurrentValue();
  const int64_t Next = FObjectIDGenerator.NextValue();
  if (Next > INT32_MAX || Next < INT32_MIN) {
    FObjectIDGenerator.SetCurrentValue(Previous);
    throw ERangeError(std::string(SysConst::SRangeError));
  }
  return int32_t(Next);
}

int64_t TTolvanDatabaseData::ObjectIDValue() {
  std::lock_guard Guard(FObjectIDLock);
  return FObjectIDGenerator.CurrentValue();
}

void TTolvanDatabaseData::MergeObjectIDValue(int64_t Value) noexcept {
  std::lock_guard Guard(FObjectIDLock);
  if (Value > FObjectIDGenerator.CurrentValue())
    FObjectIDGenerator.SetCurrentValue(Value);
}

void TTolvanDatabaseData::SetDatabaseName(std::string_view Value) {
  FDatabaseName.assign(Value);
  FDatabaseNameHash = NameHash(Value);
}

void TTolvanDatabaseData::SetFileName(std::u16string_view Value) {
  FFileName.assign(Value);
  FNarrowFileName = WideToAnsi(Value);
  FFileNameHash = NameHash(FNarrowFileName);
}

// --- engines
// --------------------------------------------------------------------------------------

namespace {

struct TEngine {
  AnsiString Name;
  TTolvanDatabaseFactory Factory;
};

std::mutex& EngineLock() {
  static std::mutex M;
  return M;
}

std::vector<TEngine>& Engines() {
  static std::vector<TEngine> E;
  return E;
}

TTolvanDatabaseFactory EngineFactory(std::string_view Name) {
  std::lock_guard Guard(EngineLock());
  for (const TEngine& E : Engines())
    if (AnsiSameText(E.Name, Name))
      return E.Factory;
  return {};
}

} // namespace

TTolvanDatabaseFactory RegisterDatabaseEngine(std::string_view EngineName,
                                              TTolvanDatabaseFactory Factory) {
  std::lock_guard Guard(EngineLock());
  auto& List = Engines();
  const auto It = std::find_if(List.begin(), List.end(),
                               [&](const TEngine& E) { return AnsiSameText(E.Name, EngineName); });
  TTolvanDatabaseFactory Previous;
  if (It != List.end()) {
    Previous = std::move(It->Factory);
    List.erase(It);
  }
  if (Factory)
    List.push_back({AnsiString(EngineName), std::move(Factory)});
  return Previous;
}

// --- TTolvanDatabaseRegistry
// ----------------------------------------------------------------------

TTolvanDatabaseRegistry::TTolvanDatabaseRegistry() = default;

TTolvanDatabaseRegistry::~TTolvanDatabaseRegistry() { FreeAll(); }

TTolvanDatabaseData* TTolvanDatabaseRegistry::Add(std::unique_ptr<TTolvanDatabaseData> Database) {
  if (!Database)
    RaiseNil(ErrNilPointer);
  std::lock_guard Guard(FLock);
  FDatabases.push_back(std::move(Database));
  return FDatabases.back().get();
}

TTolvanDatabaseData* TTolvanDatabaseRegistry::Find(bool InMemory, bool Temporary,
                                                   std::string_view DatabaseName,
                                                   std::u16string_view FileName) {
  if (InMemory && Temporary)
    return nullptr;
  const bool ByFile = !InMemory && !Temporary && !FileName.empty();
  const AnsiString NarrowFile = ByFile ? WideToAnsi(FileName) : AnsiString();
  const std::string_view Key = ByFile ? std::string_view(NarrowFile) : DatabaseName;
  const uint32_t Hash = NameHash(Key);
  std::lock_guard Guard(FLock);
  for (const auto& D : FDatabases) {
    if ((InMemory && !D->InMemory()) || (Temporary && !D->Temporary()))
      continue;
    const bool Match = ByFile ? SameName(D->FileNameHash(), D->NarrowFileName(), Hash, Key)
                              : SameName(D->DatabaseNameHash(), D->DatabaseName(), Hash, Key);
    if (Match)
      return D.get();
  }
  return nullptr;
}

TTolvanDatabaseData* TTolvanDatabaseRegistry::Create(std::string_view EngineName,
                                                     std::string_view DatabaseName) {
  const TTolvanDatabaseFactory Factory = EngineFactory(EngineName);
  if (!Factory)
    DatabaseError(Format("Database engine '%s' is not registered", EngineName));
  std::unique_ptr<TTolvanDatabaseData> Database = Factory();
  if (!Database)
    RaiseNil(ErrNilPointer);
  Database->SetDatabaseName(DatabaseName);
  Database->SetFileName(AnsiToWide(DatabaseName));
  return Add(std::move(Database));
}

TTolvanDatabaseData* TTolvanDatabaseRegistry::FindOrCreate(std::string_view EngineName,
                                                           bool InMemory, bool Temporary,
                                                           std::string_view DatabaseName,
                                                           std::u16string_view FileName,
                                                           bool* Created) {
  std::lock_guard Guard(FLock);
  if (Created)
    *Created = false;
  if (TTolvanDatabaseData* Found = Find(InMemory, Temporary, DatabaseName, FileName))
    return Found;
  TTolvanDatabaseData* Database = Create(EngineName, DatabaseName);
  if (Created)
    *Created = true;
  return Database;
}

std::unique_ptr<TTolvanDatabaseData>
TTolvanDatabaseRegistry::Remove(TTolvanDatabaseData& Database) {
  std::lock_guard Guard(FLock);
  const auto It = std::find_if(FDatabases.begin(), FDatabases.end(),
                               [&](const auto& D) { return D.get() == &Database; });
  if (It == FDatabases.end())
    return nullptr;
  std::unique_ptr<TTolvanDatabaseData> Removed = std::move(*It);
  FDatabases.erase(It);
  return Removed;
}

void TTolvanDatabaseRegistry::Free(TTolvanDatabaseData& Database) {
  std::lock_guard Guard(FLock);
  if (Database.SessionCount() > 0)
    throw ETolvanException::CreateFmt(ErrDatabaseUsedBySessions, SDatabaseUsedByOtherSessions,
                                      Database.DatabaseName());
  Remove(Database).reset();
}

void TTolvanDatabaseRegistry::FreeAll() noexcept {
  std::lock_guard Guard(FLock);
  while (!FDatabases.empty()) {
    std::unique_ptr<TTolvanDatabaseData> First = std::move(FDatabases.front());
    FDatabases.erase(FDatabases.begin());
  }
}

int32_t TTolvanDatabaseRegistry::Count() {
  std::lock_guard Guard(FLock);
  return int32_t(FDatabases.size());
}

TTolvanDatabaseData* TTolvanDatabaseRegistry::Items(int32_t I) {
  std::lock_guard Guard(FLock);
  if (I < 0 || I >= int32_t(FDatabases.size()))
    throw EListError(Format(SysConst::SListIndexError, I));
  return FDatabases[size_t(I)].get();
}

// --- start-up
// -------------------------------------------------------------------------------------

namespace {

std::atomic<TTolvanDatabaseRegistry*> Registry{nullptr};

} // namespace

void StorageStartup() {
  if (Registry.load())
    return;
  // The memory and temporary engines are built in; a program (or a test) may have put its own
  // in their place.
  if (!EngineFactory(MemoryDatabaseName))
    RegisterMemoryEngine();
  if (!EngineFactory(TemporaryDatabaseName))
    RegisterTemporaryEngine();
  // Side cursors are local cursors, unless a program (or a test) put its own maker in place.
  if (TTolvanSideCursorFactory Previous = RegisterLocalSideCursorFactory())
    RegisterSideCursorFactory(std::move(Previous));
  // So are the foreign-key routines.
  RegisterForeignKeys();
  auto New = std::make_unique<TTolvanDatabaseRegistry>();
  for (std::string_view Name : {MemoryDatabaseName, TemporaryDatabaseName})
    if (EngineFactory(Name))
      New->Create(Name, Name);
  // The release is fixed from here until the registry goes.
  MarkStorageRegistryLive(true);
  Registry.store(New.release());
}

void StorageShutdown() noexcept {
  delete Registry.exchange(nullptr);
  MarkStorageRegistryLive(false);
}

bool StorageStarted() noexcept { return Registry.load() != nullptr; }

TTolvanDatabaseRegistry& DatabaseRegistry() {
  TTolvanDatabaseRegistry* R = Registry.load();
  if (!R)
    DatabaseError("The storage engine is not started");
  return *R;
}

TTolvanDatabaseData* FindDatabaseData(bool InMemory, bool Temporary, std::string_view DatabaseName,
                                      std::u16string_view FileName) {
  TTolvanDatabaseRegistry* R = Registry.load();
  return R ? R->Find(InMemory, Temporary, DatabaseName, FileName) : nullptr;
}

void ClearDatabasePageCache(TTolvanDatabaseData& Database) {
  if (TTolvanPageManager* Pages = Database.PageManager())
    Pages->ClearCache();
}

} // namespace tolvan
