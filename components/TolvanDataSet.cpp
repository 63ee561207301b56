#include "components/TolvanDataSet.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDefs.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

constexpr TTolvanDataSetUseReasons ReasonBit(TTolvanDataSetUseReason Reason) noexcept {
  return TTolvanDataSetUseReasons(1u << Reason);
}

} // namespace

// --- construction and destruction --------------------------------------------------------------

TTolvanDataSet::TTolvanDataSet()
    : FDatabaseName(MemoryDatabaseName), FEventSender(this),
      FIndexDefs(std::make_unique<TIndexDefs>(this)),
      FAdvFieldDefs(std::make_unique<TTolvanAdvFieldDefs>()),
      FForeignKeyDefs(std::make_unique<TTolvanForeignKeyDefs>()),
      FStoredIndexDefs(std::make_unique<TIndexDefs>(nullptr)),
      FStoredAdvFieldDefs(std::make_unique<TTolvanAdvFieldDefs>()),
      FStoredForeignKeyDefs(std::make_unique<TTolvanForeignKeyDefs>()) {
  RegisterDataSet(this);
}

TTolvanDataSet::~TTolvanDataSet() {
  UnregisterDataSet(this);
  // Only after a teardown that could not finish: let go without raising.
  FreeEditCopy();
  FreeKeyBuffers();
  if (FDatabase) {
    FDatabase->RemoveDataSet(this);
    FDatabase = nullptr;
    FDatabaseUse = 0;
  }
  DestroyOwnCursorQuietly();
}

void TTolvanDataSet::BeforeDestruction() {
  std::exception_ptr Failure;
  FreeEditCopy();
  KeepFirstFailure(Failure, [&] { TDataSet::BeforeDestruction(); });
  // A reason other than the cursor's (an operation or provider transaction left open) would
  // leave this dataset in the database's list after it is gone.
  ReleaseAllUses(Failure);
  if (FCursor)
    KeepFirstFailure(Failure, [&] { DestroyCursor(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::OwnerNotification(TComponent* Component, TOperation Operation) {
  TDataSet::OwnerNotification(Component, Operation);
  if (Component == this && Operation == opInsert)
    NoteDesignedOwner(Owner());
}

// --- properties --------------------------------------------------------------------------------

AnsiString TTolvanDataSet::CurrentVersion() const { return GetEngineVersion(); }

void TTolvanDataSet::SetDatabaseName(std::string_view Value) {
  if (ComponentState() & csLoading) {
    FDatabaseName = Value;
    UpdateInMemoryFlag();
    return;
  }
  if (Value == FDatabaseName)
    return;
  CheckInactive();
  if (FDatabase)
    DatabaseError(SDataSetDatabaseOpen, this);
  FDatabaseName = Value;
  UpdateInMemoryFlag();
  DataEvent(dePropertyChange);
}

void TTolvanDataSet::UpdateInMemoryFlag() {
  if (Release().InMemoryByDatabaseName)
    FInMemory = AnsiSameText(FDatabaseName, MemoryDatabaseName);
  else
    FInMemory = FindDatabaseData(true, false, FDatabaseName, std::u16string_view()) != nullptr;
}

void TTolvanDataSet::SetInMemory(bool Value) {
  CheckInactive();
  FInMemory = Value;
  if (Value)
    SetDatabaseName(MemoryDatabaseName);
}

void TTolvanDataSet::SetTemporary(bool Value) {
  CheckInactive();
  FTemporary = Value;
  if (Value)
    SetDatabaseName(TemporaryDatabaseName);
}

void TTolvanDataSet::SetSessionName(std::string_view Value) {
  CheckInactive();
  FSessionName = Value;
  DataEvent(dePropertyChange);
}

// --- the database ------------------------------------------------------------------------------

TTolvanDatabase* TTolvanDataSet::OpenDatabase() {
  TTolvanSession* Session = SessionList().GetSession(FSessionName);
  return Session->OpenDatabase(FDatabaseName, Owner());
}

void TTolvanDataSet::CloseDatabase(TTolvanDatabase* Database) {
  if (Database && Database->Session())
    Database->Session()->CloseDatabase(Database);
}

void TTolvanDataSet::RelinkDatabase() {
  if (FSessionName.empty() || FDatabaseName.empty())
    return;
  // The default session's databases serve other threads too: one found there may be released
  // and freed by its last user unless the lookup and the link are one step.
  TSessionCriticalSectionHold Hold;
  TTolvanSession* Named = SessionList().FindSession(FSessionName);
  if (!Named || Named->FindDatabase(FDatabaseName, this))
    return;
  if (TTolvanDatabase* Found = DefaultSession()->FindDatabase(FDatabaseName, this))
    Found->LinkSession(true);
}

void TTolvanDataSet::SetDatabaseUse(TTolvanDataSetUseReason Reason, bool On) {
  const TTolvanDataSetUseReasons Bit = ReasonBit(Reason);
  if (On) {
    if (FDatabaseUse & Bit)
      return;
    if (FDatabaseUse == 0) {
      TTolvanDatabase* Opened = nullptr;
      try {
        RelinkDatabase();
        Opened = OpenDatabase();
      } catch (...) {
        if (IsBeingCreated())
          return;
        throw;
      }
      if (!Opened) {
        if (IsBeingCreated())
          return;
        throw ETolvanException::CreateFmt(ErrCannotOpenDatabase, SCannotOpenDatabase,
                                          FDatabaseName);
      }
      try {
        Opened->AddDataSet(this);
      } catch (...) {
        CloseDatabase(Opened);
        throw;
      }
      FDatabase = Opened;
    }
    FDatabaseUse |= Bit;
    return;
  }
  if (!(FDatabaseUse & Bit))
    return;
  FDatabaseUse &= TTolvanDataSetUseReasons(~Bit);
  if (FDatabaseUse != 0)
    return;
  TTolvanDatabase* Held = FDatabase;
  FDatabase = nullptr;
  if (!Held)
    return;
  // Leaving the list and the release are one step for the other threads of the session.
  TSessionCriticalSectionHold Hold;
  Held->RemoveDataSet(this);
  CloseDatabase(Held);
}

void TTolvanDataSet::ReleaseAllUses(std::exception_ptr& Failure) noexcept {
  for (TTolvanDataSetUseReason Reason = 0; Reason < 16; ++Reason)
    if (FDatabaseUse & ReasonBit(Reason))
      KeepFirstFailure(Failure, [&] { SetDatabaseUse(Reason, false); });
  // A release that raised has already let the reference go; make sure no reason stays.
  FDatabaseUse = 0;
}

void TTolvanDataSet::Disconnect() {
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { SetActive(false); });
  ReleaseAllUses(Failure);
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::ForgetDatabase() noexcept {
  FDatabaseUse = 0;
  FDatabase = nullptr;
}

// --- open and close ----------------------------------------------------------------------------

void TTolvanDataSet::SetActive(bool Value) {
  if (Value || !(State() == dsEdit || State() == dsInsert)) {
    TDataSet::SetActive(Value);
    return;
  }
  // The pending change goes before the cursor does; a failing cancel does not keep the
  // dataset open.
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { CancelRecord(); });
  KeepFirstFailure(Failure, [&] { TDataSet::SetActive(false); });
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::OpenEngineCursor(bool InfoQuery) {
  FPositionChanged = false;
  SetDatabaseUse(durCursorOpen, true);
  if (FDatabase) {
    if (FDatabase->ReadOnly())
      FReadOnly = true;
    if (!FCursor) {
      FCreatedCursorBorrowed = false;
      TTolvanCursor* Made = CreateCursor();
      if (Made && Made != FExternalCursor && !FCreatedCursorBorrowed)
        FOwnCursor.reset(Made);
      FCursor = Made;
    }
  }
  if (!FCursor) {
    if (IsBeingCreated())
      return;
    throw ETolvanException::Create(ErrCreatingTableHandle, SErrorCreatingTableHandle);
  }
  TDataSet::OpenEngineCursor(InfoQuery);
}

void TTolvanDataSet::OpenData() {
  try {
    // The record id and the flag byte.
    SetBookmarkSize(RecordIDSize + 1);
    FieldDefs().SetUpdated(false);
    FieldDefs().Update();
    BuildIndexFieldMap();
    FreeEditCopy();
    if (DefaultFields())
      CreateFields();
    BindFields(true);
    if (CalcFieldsSize() > 0)
      FCursor->SetCalcFieldsSize(CalcFieldsSize());
  } catch (...) {
    // The open's own failure is the one to report; a failing close of the cursor is a side note.
    try {
      DestroyCursor();
    } catch (...) {
      ReportException(std::current_exception());
    }
    throw;
  }
  if (Filtered())
    ApplyFilterText();
  else
    ClearFilterText();
  AllocKeyBuffers();
  CancelRangeKeys();
  PrepareCursor();
  FRecordReady = false;
  FCursor->SetToBegin();
}

void TTolvanDataSet::CloseEngineCursor() {
  FPositionChanged = false;
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { TDataSet::CloseEngineCursor(); });
  if (FCursor)
    KeepFirstFailure(Failure, [&] { DestroyCursor(); });
  KeepFirstFailure(Failure, [&] { SetDatabaseUse(durCursorOpen, false); });
  FAdvFieldDefs->Clear();
  KeepFirstFailure(Failure, [&] { FEngineIndexDefs.Clear(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::CloseData() {
  FreeValueArrays();
  FreeEditCopy();
  FreeKeyBuffers();
  std::exception_ptr Failure;
  KeepFirstFailure(Failure, [&] { TDataSet::CloseData(); });
  ClearIndexFieldMap();
  FProjectionApplied = false;
  if (Failure)
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::DestroyCursor() {
  TTolvanCursor* Cursor = FCursor;
  FCursor = nullptr;
  if (!Cursor)
    return;
  if (FOwnCursor.get() != Cursor) {
    // Borrowed: it outlives this dataset, so nothing of the dataset may stay reachable from it.
    Cursor->SetOnFilterRecord(nullptr);
    Cursor->SetRecordBuffer(nullptr);
    Cursor->SetBeforeImage(nullptr);
    return;
  }
  std::unique_ptr<TTolvanCursor> Own = std::move(FOwnCursor);
  Own->CloseTable();
}

void TTolvanDataSet::DestroyOwnCursorQuietly() noexcept {
  FCursor = nullptr;
  if (!FOwnCursor)
    return;
  try {
    FOwnCursor->CloseTable();
  } catch (...) {
  }
  FOwnCursor.reset();
}

void TTolvanDataSet::ReportException(std::exception_ptr Failure) noexcept {
  ApplicationHandleException(Failure);
}

// --- record buffers ----------------------------------------------------------------------------

uint8_t* TTolvanDataSet::CurrentRecordBuffer() const noexcept {
  switch (State()) {
  case dsBrowse:
    return IsEmpty() ? nullptr : ActiveBuffer();
  case dsEdit:
  case dsInsert:
    return ActiveBuffer();
  case dsSetKey:
    return FKeyBuffer;
  case dsCalcFields:
    return CalcBuffer();
  case dsFilter:
    return FFilterBuffer;
  default:
    return nullptr;
  }
}

int32_t TTolvanDataSet::RecordBufferSize() {
  if (!FCursor)
    RaiseNil(ErrRecordBufferSizeNil);
  const int32_t Size = FCursor->RecordSize();
  if (Size < 0 || Size >= MaxDataSetRecordBufferSize)
    DatabaseError(DBConsts::SInvalidFieldSize, this);
  return Size;
}

uint8_t* TTolvanDataSet::NewRecordBuffer() {
  if (!FCursor)
    RaiseNil(ErrNewRecordBufferNil);
  return FCursor->AllocRecordBuffer();
}

void TTolvanDataSet::DisposeRecordBuffer(uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrDisposeRecordBufferNil);
  TTolvanCursor::FreeRecordBuffer(Buffer);
}

void TTolvanDataSet::InitRecordBuffer(uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrInitRecordBufferNil);
  FCursor->InitRecord(Buffer, true);
}

void TTolvanDataSet::SetEditCopy(uint8_t* Buffer) noexcept {
  FreeEditCopy();
  FEditCopy = Buffer;
}

void TTolvanDataSet::FreeEditCopy() noexcept { TTolvanCursor::FreeRecordBuffer(FEditCopy); }

// --- key buffers -------------------------------------------------------------------------------

void TTolvanDataSet::AllocKeyBuffers() {
  if (!FCursor)
    RaiseNil(ErrAllocKeyBuffersNil);
  try {
    for (uint8_t*& Buffer : FKeyBuffers) {
      Buffer = FCursor->AllocBookmarkBuffer();
      InitKeyBuffer(Buffer);
    }
  } catch (...) {
    FreeKeyBuffers();
    throw;
  }
}

void TTolvanDataSet::FreeKeyBuffers() noexcept {
  // Straight to the memory manager: a partial open may have lost its cursor already.
  for (uint8_t*& Buffer : FKeyBuffers)
    TTolvanCursor::FreeRecordBuffer(Buffer);
  FKeyBuffer = nullptr;
}

void TTolvanDataSet::InitKeyBuffer(uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrInitKeyBufferNil);
  FCursor->ClearRecordBuffer(Buffer);
}

// --- index map, filter, range ------------------------------------------------------------------

void TTolvanDataSet::ClearIndexFieldMap() noexcept {
  FIndexFieldCount = 0;
  FIndexFieldNumbers.clear();
  FIndexKeySize = 0;
}

void TTolvanDataSet::BuildIndexFieldMap() {
  ClearIndexFieldMap();
  if (!FCursor || FCursor->IndexName().empty())
    return;
  TTolvanIndexDef* Index = FCursor->GetIndexDefs().FindByName(FCursor->IndexName());
  if (!Index)
    throw ETolvanException::CreateFmt(ErrBuildIndexFieldMapIndex, SCannotFindIndex,
                                      FCursor->IndexName());
  const TTolvanFieldDefs& Fields = FCursor->FieldDefs();
  std::vector<uint16_t> Numbers;
  Numbers.reserve(size_t(Index->ColumnCount()));
  int32_t KeySize = 0;
  for (int32_t C = 0; C < Index->ColumnCount(); ++C) {
    const AnsiString& Name = Index->Columns(C).Name();
    int32_t Position = -1;
    for (int32_t F = 0; F < Fields.Count(); ++F)
      if (AnsiSameText(Fields.Items(F).Name(), Name)) {
        Position = F;
        break;
      }
    if (Position < 0)
      throw ETolvanException::CreateFmt(ErrBuildIndexFieldMapIndex, SCannotFindIndexField, Name);
    Numbers.push_back(uint16_t(Position + 1));
    KeySize += Fields.Items(Position).DataSize();
  }
  FIndexFieldNumbers = std::move(Numbers);
  FIndexFieldCount = int32_t(FIndexFieldNumbers.size());
  FIndexKeySize = KeySize;
}

void TTolvanDataSet::ApplyFilterText() {
  if (!FCursor)
    RaiseNil(ErrApplyFilterTextNil);
  if (!Filter().empty())
    FCursor->SetFilter(Filter(), (FilterOptions() & foCaseInsensitive) != 0,
                       (FilterOptions() & foNoPartialCompare) == 0);
  else
    FCursor->ClearFilter();
  if (OnFilterRecord())
    FCursor->SetOnFilterRecord([this](uint8_t* Buffer) { return RunFilterEvent(Buffer); });
  else
    FCursor->SetOnFilterRecord(nullptr);
}

void TTolvanDataSet::ClearFilterText() {
  if (!FCursor)
    RaiseNil(ErrClearFilterTextNil);
  FCursor->ClearFilter();
}

bool TTolvanDataSet::CancelRangeKeys() {
  if (!FCursor)
    RaiseNil(ErrCancelRangeKeysNil);
  if (FCursor->ExternalFilter())
    return false;
  bool Cancelled = false;
  uint8_t* Start = FKeyBuffers[kiCurRangeStart];
  uint8_t* End = FKeyBuffers[kiCurRangeEnd];
  const int32_t E = FCursor->RecordIDOffset();
  const auto Modified = [E](const uint8_t* Key) {
    return Key && LoadLE<uint8_t>(Key + E + KeyModifiedOffset) != 0;
  };
  if (Modified(Start) || Modified(End)) {
    if (Start)
      InitKeyBuffer(Start);
    if (End)
      InitKeyBuffer(End);
    Cancelled = true;
  }
  FCursor->CancelRange();
  return Cancelled;
}

bool TTolvanDataSet::RunFilterEvent(uint8_t* Buffer) {
  if (!Filtered() || !OnFilterRecord())
    return true;
  const TDataSetState Saved = SetTempState(dsFilter);
  uint8_t* SavedBuffer = FFilterBuffer;
  // The engine's record may end right after the flag byte: no calculated fields there.
  const bool SavedFull = FFullFilterBuffer;
  FFilterBuffer = Buffer;
  FFullFilterBuffer = false;
  bool Accept = true;
  try {
    OnFilterRecord()(*this, Accept);
  } catch (...) {
    ReportException(std::current_exception());
  }
  FFullFilterBuffer = SavedFull;
  FFilterBuffer = SavedBuffer;
  RestoreState(Saved);
  return Accept;
}

// --- definitions and values --------------------------------------------------------------------

void TTolvanDataSet::LoadFieldDefs() {
  FieldDefs().Clear();
  if (!FCursor)
    return;
  ExchangeDefs(*FCursor);
  AllocValueArrays();
}

void TTolvanDataSet::ExchangeDefs(TTolvanCursor& Cursor) {
  FEngineFieldDefs.Assign(Cursor.VisibleFieldDefs());
  EngineFieldDefsToFieldDefs(FEngineFieldDefs, Cursor.ConstraintDefs(), FieldDefs());
  EngineFieldDefsToAdvFieldDefs(FEngineFieldDefs, Cursor.FieldDefs(), Cursor.ConstraintDefs(),
                                *FAdvFieldDefs);
  LoadIndexDefsFromCursor(Cursor);
  ConstraintsToForeignKeyDefs(Cursor.ConstraintDefs(), *FForeignKeyDefs);
  FEngineConstraintDefs.Assign(Cursor.ConstraintDefs());
  FStoredAdvFieldDefs->Assign(*FAdvFieldDefs);
  FStoredForeignKeyDefs->Assign(*FForeignKeyDefs);
  FieldDefs().SetUpdated(true);
  FIndexDefs->SetUpdated(true);
}

void TTolvanDataSet::LoadIndexDefsFromCursor(TTolvanCursor& Cursor) {
  FEngineIndexDefs.Assign(Cursor.GetIndexDefs());
  EngineIndexDefsToIndexDefs(FEngineIndexDefs, *FIndexDefs);
  CopyIndexDefs(*FIndexDefs, *FStoredIndexDefs);
  FIndexDefs->SetUpdated(true);
}

void TTolvanDataSet::CopyIndexDefs(const TIndexDefs& Source, TIndexDefs& Dest) {
  Dest.Assign(Source);
  for (int32_t I = 0; I < Source.Count() && I < Dest.Count(); ++I) {
    Dest.Items(I).SetCaseInsFields(Source.Items(I).CaseInsFields());
    Dest.Items(I).SetDescFields(Source.Items(I).DescFields());
  }
}

void TTolvanDataSet::AllocValueArrays() {
  FreeValueArrays();
  const size_t Count = size_t(FAdvFieldDefs->Count());
  auto OldStore = std::make_unique<TTolvanVariant[]>(Count);
  auto NewStore = std::make_unique<TTolvanVariant[]>(Count);
  std::vector<TTolvanVariant*> Old(Count), New(Count);
  for (size_t I = 0; I < Count; ++I) {
    Old[I] = &OldStore[I];
    New[I] = &NewStore[I];
  }
  FOldValueStore = std::move(OldStore);
  FNewValueStore = std::move(NewStore);
  FOldValues = std::move(Old);
  FNewValues = std::move(New);
}

void TTolvanDataSet::FreeValueArrays() noexcept {
  FOldValues.clear();
  FNewValues.clear();
  FOldValueStore.reset();
  FNewValueStore.reset();
}

} // namespace tolvan
