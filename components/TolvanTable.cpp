// The table component: construction, names, opening (with auto-create) and the framework hooks.
#include "components/TolvanTable.h"

#include <memory>

#include "classlib/DBConsts.h"
#include "components/TolvanDatabase.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "storage/local/TolvanLocalCursor.h"

namespace tolvan {

namespace {

// Closes a cursor that may be half open and frees it; a failing close is dropped for the
// failure being reported.
void DiscardCursor(TTolvanCursor* Cursor) noexcept {
  if (!Cursor)
    return;
  try {
    Cursor->CloseTable();
  } catch (...) {
  }
  delete Cursor;
}

} // namespace

TTolvanTable::TTolvanTable() : FMasterLink(this) {
  FMasterLink.SetOnMasterChange([this] { MasterChanged(); });
  FMasterLink.SetOnMasterDisable([this] { MasterDisabled(); });
  FTableName = MakeUniqueName("Table");
}

TTolvanTable::~TTolvanTable() = default;

// --- names and flags ---------------------------------------------------------------------------

void TTolvanTable::SetTableName(std::string_view Value) {
  if (ComponentState() & (csLoading | csDesigning)) {
    FTableName = Value;
    return;
  }
  if (FTableName == Value)
    return;
  CheckInactive();
  FTableName = Value;
  DataEvent(dePropertyChange);
}

void TTolvanTable::SetExclusive(bool Value) { FExclusive = Value; }

void TTolvanTable::CheckTableName() const {
  if (FTableName.empty() && !Temporary())
    DatabaseError(SMissingTableName);
}

bool TTolvanTable::Exists() {
  if (Cursor())
    return true;
  if (FTableName.empty())
    return false;
  TTolvanDatabase* Held = Database();
  if (Held)
    return Held->TableExists(FTableName);
  TTolvanDatabase* Taken = OpenDatabase();
  if (!Taken)
    return false;
  bool Answer = false;
  try {
    Answer = Taken->TableExists(FTableName);
  } catch (...) {
    try {
      CloseDatabase(Taken);
    } catch (...) {
    }
    throw;
  }
  CloseDatabase(Taken);
  return Answer;
}

bool TTolvanTable::DoProgress(int32_t Progress, TTolvanTableOperation Operation) {
  bool Abort = false;
  if (FOnProgress)
    FOnProgress(*this, Progress, Operation, Abort);
  return Abort;
}

// --- opening -----------------------------------------------------------------------------------

TTolvanCursor* TTolvanTable::CreateTableCursor() {
  if (!Database()) {
    if (IsBeingCreated())
      return nullptr;
    throw ETolvanException::Create(ErrTableNoDatabaseForCursor, SNilPointerOccurred);
  }
  // A database that does not use the local engine has no engine session a local cursor could
  // work in.
  if (!Database()->LocalDatabase())
    return nullptr;
  auto* Made = new TTolvanLocalCursor();
  Made->SetRepairMode(FRepairMark);
  Made->SetDesignState(DesignStateFlag());
  return Made;
}

TTolvanCursor* TTolvanTable::OpenTableCursor(bool DefsOnlyToCreate) {
  TTolvanCursor* Made = CreateTableCursor();
  if (!Made) {
    if (IsBeingCreated())
      return nullptr;
    throw ETolvanException::Create(ErrTableCannotCreateCursor, SCannotCreateCursor);
  }
  try {
    Made->SetSession(Database()->EngineSession());
    Made->SetTableName(FTableName);
    Made->SetExclusive(FExclusive);
    Made->SetReadOnly(ReadOnly());
    Made->SetInMemory(InMemory());
    Made->SetMemoryTableAllocBy(FMemoryTableAllocBy);
    Made->SetTemporary(Temporary());
    if (DefsOnlyToCreate)
      Made->SetBeforeCreateTable([this] { BuildEngineDefs(); });
    else
      BuildEngineDefs();
    Made->OpenTable(&EngineFieldDefs(), &EngineIndexDefs(), &EngineConstraintDefs());
    Made->SetBeforeCreateTable(nullptr);
    SetReadOnly(Made->ReadOnly());
  } catch (...) {
    DiscardCursor(Made);
    throw;
  }
  return Made;
}

void TTolvanTable::BuildEngineDefs() {
  // Persistent fields describe columns the definitions may not have yet.
  for (int32_t I = 0; I < Fields().Count(); ++I) {
    TField& Field = Fields().Fields(I);
    if (Field.FieldKind() == fkData && !FieldDefExists(FieldDefs(), Field.FieldName()))
      FieldDefs().Add(Field.FieldName(), Field.DataType(), Field.Size(), Field.Required());
  }
  if (FieldDefs().Count() > 0) {
    FieldDefsToEngineFieldDefs(FieldDefs(), EngineFieldDefs());
    // Constraints read from another table name columns this one does not have; a table made
    // here takes the types, sizes and indexes only.
    EngineConstraintDefs().Clear();
  }
  if (IndexDefs().Count() > 0) {
    IndexDefsToEngineIndexDefs(IndexDefs(), EngineIndexDefs(), &FieldDefs(), &AdvFieldDefs());
    CopyIndexDefs(IndexDefs(), StoredIndexDefs());
  }
}

TTolvanCursor* TTolvanTable::CreateCursor() {
  CheckTableName();
  struct TOpening {
    TTolvanCursor*& Slot;
    ~TOpening() { Slot = nullptr; }
  };
  if (TTolvanCursor* External = ExternalCursor()) {
    FOpeningCursor = External;
    TOpening Done{FOpeningCursor};
    const AnsiString Index = ResolveIndexName(FIndexSelector, FIndexByFields);
    if (!Index.empty())
      External->SetIndexName(Index);
    return External;
  }
  // The open reloads the definitions from the cursor (OpenData).
  TTolvanCursor* Made = OpenTableCursor(true);
  if (!Made)
    return nullptr;
  try {
    FOpeningCursor = Made;
    TOpening Done{FOpeningCursor};
    const AnsiString Index = ResolveIndexName(FIndexSelector, FIndexByFields);
    if (!Index.empty())
      Made->SetIndexName(Index);
  } catch (...) {
    DiscardCursor(Made);
    throw;
  }
  return Made;
}

void TTolvanTable::ReadStoredDefs() {
  std::unique_ptr<TTolvanCursor, void (*)(TTolvanCursor*)> Made(
      OpenTableCursor(), [](TTolvanCursor* C) { DiscardCursor(C); });
  if (!Made)
    return;
  ExchangeDefs(*Made);
  TTolvanCursor* Done = Made.release();
  std::unique_ptr<TTolvanCursor> Owned(Done);
  Done->CloseTable();
}

void TTolvanTable::RefreshIndexDefs() {
  if (Cursor())
    return;
  if (FOpeningCursor) {
    LoadIndexDefsFromCursor(*FOpeningCursor);
    return;
  }
  const bool Held = HoldsReason(durIndexOperation);
  SetDatabaseUse(durIndexOperation, true);
  try {
    ReadStoredDefs();
  } catch (...) {
    if (!Held) {
      try {
        SetDatabaseUse(durIndexOperation, false);
      } catch (...) {
      }
    }
    throw;
  }
  if (!Held)
    SetDatabaseUse(durIndexOperation, false);
}

// --- framework hooks ---------------------------------------------------------------------------

void TTolvanTable::HandleDataEvent(TDataEvent Event, TField* Field) {
  if (Event == dePropertyChange)
    IndexDefs().SetUpdated(false);
  TTolvanDataSet::HandleDataEvent(Event, Field);
}

void TTolvanTable::DefinitionsChanged() { SetStoreDefs(true); }

void TTolvanTable::NewRecordDefaults() {
  if (FMasterLink.Active() && !FMasterLink.Fields().empty()) {
    const std::vector<TField*>& Master = FMasterLink.Fields();
    for (size_t I = 0; I < Master.size(); ++I)
      SetIndexField(int32_t(I), Master[I]);
  }
  TTolvanDataSet::NewRecordDefaults();
}

TDataSource* TTolvanTable::GetMasterSource() const { return FMasterLink.DataSource(); }

void TTolvanTable::SetMasterSource(TDataSource* Value) {
  if (Value && IsLinkedTo(Value))
    DatabaseError(SCircularDatalinks);
  FMasterLink.SetDataSource(Value);
}

void TTolvanTable::PostRecordAndKey() {
  TTolvanDataSet::PostRecordAndKey();
  if (State() == dsSetKey)
    PostKeyBuffer(true);
}

void TTolvanTable::PrepareCursor() { ApplyMasterRange(); }

} // namespace tolvan
