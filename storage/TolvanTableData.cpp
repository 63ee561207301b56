#include "storage/TolvanTableData.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStrUtils.h"
#include "foundation/TolvanStreams.h"
#include "storage/btree/TolvanBTreeIndex.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNotSupported = 11394;

// The shortest sequence form: an empty name (1), ObjectID (4), DataType (1), four Int64 (32),
// Cycled (1).
constexpr int64_t MinSequenceFormSize = 39;

} // namespace

TTolvanTableData::TTolvanTableData(TTolvanTableOwner& Database, TTolvanIndexFactory Factory)
    : FDatabase(Database), FIndexFactory(Factory ? std::move(Factory) : BTreeIndexFactory()) {
  FTableLock.SetLockLevel(tllTable);
  FTableLock.SetLockGate(&Database.WriteGate());
  FCursorListLock.SetLockLevel(tllCursorList);
  FUseCountLock.SetLockLevel(tllUseCount);
}

TTolvanTableData::~TTolvanTableData() { FreeManagers(); }

void TTolvanTableData::FreeManagers() noexcept {
  FIndexManager.reset();
  FConstraintManager.reset();
  FRecordManager.reset();
  FFieldManager.reset();
  FSequenceManager.reset();
}

void TTolvanTableData::SwapParts(TTolvanTableParts& Parts) noexcept {
  std::swap(FTableName, Parts.TableName);
  FTableNameHash = NameHash(FTableName);
  std::swap(FSequenceManager, Parts.SequenceManager);
  std::swap(FFieldManager, Parts.FieldManager);
  std::swap(FIndexManager, Parts.IndexManager);
  std::swap(FRecordManager, Parts.RecordManager);
  std::swap(FConstraintManager, Parts.ConstraintManager);
  FBlobBlocks.Swap(*Parts.BlobBlocks);
  std::swap(FHasBlobs, Parts.HasBlobs);
}

void TTolvanTableData::RaiseNotSupported() {
  throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
}

// --- registrations ------------------------------------------------------------------------------

namespace {

std::mutex RegistrationLock;
std::shared_ptr<const TTolvanSideCursorFactory> RegisteredSideCursorFactory;
std::atomic<TTolvanForeignKeyRoutines*> RegisteredForeignKeyRoutines{nullptr};

} // namespace

TTolvanSideCursorFactory RegisterSideCursorFactory(TTolvanSideCursorFactory Factory) {
  auto Next =
      Factory ? std::make_shared<const TTolvanSideCursorFactory>(std::move(Factory)) : nullptr;
  std::lock_guard Hold(RegistrationLock);
  std::swap(Next, RegisteredSideCursorFactory);
  return Next ? *Next : TTolvanSideCursorFactory();
}

std::unique_ptr<TTolvanSideCursor> OpenSideCursor(TTolvanBaseSession* Session, bool InMemory,
                                                  std::string_view Name, bool Exclusive) {
  std::shared_ptr<const TTolvanSideCursorFactory> Factory;
  {
    std::lock_guard Hold(RegistrationLock);
    Factory = RegisteredSideCursorFactory;
  }
  if (!Factory)
    throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
  std::unique_ptr<TTolvanSideCursor> Side = (*Factory)(Session, InMemory, Name, Exclusive);
  if (!Side)
    throw ETolvanException::Create(ErrDetachWithoutSession, SNilPointerOccurred);
  return Side;
}

TTolvanForeignKeyRoutines*
RegisterForeignKeyRoutines(TTolvanForeignKeyRoutines* Routines) noexcept {
  return RegisteredForeignKeyRoutines.exchange(Routines, std::memory_order_acq_rel);
}

TTolvanForeignKeyRoutines& ForeignKeyRoutines() {
  TTolvanForeignKeyRoutines* Routines =
      RegisteredForeignKeyRoutines.load(std::memory_order_acquire);
  if (!Routines)
    throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
  return *Routines;
}

namespace {

// Closes a side cursor when the scope ends; Close() closes it earlier and lets its error pass.
class TSideCursorHold {
public:
  explicit TSideCursorHold(std::unique_ptr<TTolvanSideCursor> Side) : FSide(std::move(Side)) {}
  ~TSideCursorHold() {
    if (!FSide)
      return;
    try {
      FSide->Close();
    } catch (...) {
      // Closing after a failure: the first error is the one that passes on.
    }
  }
  TSideCursorHold(const TSideCursorHold&) = delete;
  TSideCursorHold& operator=(const TSideCursorHold&) = delete;

  TTolvanSideCursor* operator->() const noexcept { return FSide.get(); }
  void Close() {
    std::unique_ptr<TTolvanSideCursor> Side = std::move(FSide);
    Side->Close();
  }

private:
  std::unique_ptr<TTolvanSideCursor> FSide;
};

bool IsReference(const TTolvanConstraintDef& Def) noexcept {
  return Def.ConstraintType() == tctForeignKey || Def.ConstraintType() == tctForeignKeyAction;
}

} // namespace

// --- set-up -------------------------------------------------------------------------------------

void TTolvanTableData::SetName(std::string_view Name) {
  FTableName.assign(Name);
  FTableNameHash = NameHash(Name);
}

void TTolvanTableData::AssignObjectIDs(TTolvanMetaObjectDefs& Defs) {
  for (int32_t I = 0; I < Defs.Count(); ++I)
    Defs.Items(I).SetObjectID(FDatabase.NextObjectID());
}

const TTolvanFieldDefs* TTolvanTableData::FieldDefs() const noexcept {
  return FFieldManager ? &FFieldManager->FieldDefs() : nullptr;
}

void TTolvanTableData::SetFieldDefs(TTolvanFieldDefs& Defs) {
  bool Blobs = false;
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanFieldDef& Def = Defs.Items(I);
    if (!Def.IsBlob())
      continue;
    if (Def.BlobBlockSize() <= 0)
      throw ETolvanException::CreateFmt(ErrBlobBlockSizeZero, SBlobBlockSizeInvalid, Def.Name());
    Blobs = true;
  }
  AssignObjectIDs(Defs);
  auto Manager = std::make_unique<TTolvanBaseFieldManager>(this, FSequenceManager.get());
  Manager->FieldDefs().Assign(Defs);
  Manager->FieldDefs().CalcLayout();
  FFieldManager = std::move(Manager);
  FHasBlobs = Blobs;
}

int32_t TTolvanTableData::RecordSize() const {
  const TTolvanFieldDefs* Defs = FieldDefs();
  if (!Defs || Defs->Count() == 0)
    throw ETolvanException::Create(ErrNoFieldsSpecified, SNoFieldsSpecifiedForTable);
  const TTolvanFieldDef& Last = Defs->Items(Defs->Count() - 1);
  const int64_t Size = int64_t(Last.BufferOffset()) + Last.DataSize();
  if (Size > std::numeric_limits<int32_t>::max())
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  return int32_t(Size);
}

// --- sequences ----------------------------------------------------------------------------------

void TTolvanTableData::CreateSequenceManager() {
  auto Manager = std::make_unique<TTolvanBaseSequenceManager>(&FDatabase);
  if (FFieldManager)
    FFieldManager->SetSequenceManager(Manager.get());
  FSequenceManager = std::move(Manager);
}

void TTolvanTableData::CreateAutoIncSequences() {
  if (!FFieldManager)
    return;
  if (!FSequenceManager)
    CreateSequenceManager();
  TTolvanFieldDefs& Fields = FFieldManager->FieldDefs();
  for (int32_t I = 0; I < Fields.Count(); ++I) {
    TTolvanFieldDef& Field = Fields.Items(I);
    if (!Field.IsAutoinc())
      continue;
    const AnsiString Name = FSequenceManager->MakeSequenceName(Field.Name(), FTableName);
    TTolvanSequenceDef& Sequence = FSequenceManager->SequenceDefs().AddNew();
    Sequence.SetName(Name);
    Sequence.SetObjectID(FDatabase.NextObjectID());
    Sequence.SetDataType(Field.BaseType());
    Sequence.SetMinValue(Field.AutoincMinValue());
    Sequence.SetMaxValue(Field.AutoincMaxValue());
    Sequence.SetCurrentValue(Field.AutoincInitialValue());
    Sequence.SetIncrement(Field.AutoincIncrement());
    Sequence.SetCycled(Field.AutoincCycled());
    Field.SetSequenceID(Sequence.ObjectID());
  }
}

void TTolvanTableData::SaveSequences(TStream& Stream) {
  // Each sequence once, in column order: the count is what follows.
  std::vector<const TTolvanSequenceDef*> Sequences;
  if (FFieldManager) {
    const TTolvanFieldDefs& Fields = FFieldManager->FieldDefs();
    for (int32_t I = 0; I < Fields.Count(); ++I) {
      const TTolvanFieldDef& Field = Fields.Items(I);
      if (!Field.IsAutoinc())
        continue;
      if (!FSequenceManager)
        throw ETolvanException::CreateFmt(ErrGetSequenceNotFound, SSequenceNotFound,
                                          Field.SequenceID());
      const TTolvanSequenceDef* Sequence = &FSequenceManager->GetSequence(Field.SequenceID());
      if (std::find(Sequences.begin(), Sequences.end(), Sequence) == Sequences.end())
        Sequences.push_back(Sequence);
    }
  }
  WriteStreamValue<int32_t>(Stream, int32_t(Sequences.size()), ErrSaveSequencesCount);
  for (const TTolvanSequenceDef* Sequence : Sequences)
    Sequence->SaveToStream(Stream);
}

void TTolvanTableData::LoadSequences(TStream& Stream) {
  const int32_t Count = ReadStreamValue<int32_t>(Stream, ErrLoadSequencesCount);
  const int64_t Left = Stream.Size() - Stream.Position();
  if (Count < 0 || int64_t(Count) * MinSequenceFormSize > Left)
    RaiseStoredValueError(Stream, Count, ErrLoadSequencesCount);
  std::vector<std::unique_ptr<TTolvanSequenceDef>> Loaded;
  Loaded.reserve(size_t(Count));
  for (int32_t I = 0; I < Count; ++I) {
    auto Sequence = std::make_unique<TTolvanSequenceDef>();
    Sequence->LoadFromStream(Stream);
    Loaded.push_back(std::move(Sequence));
  }
  if (!FSequenceManager)
    CreateSequenceManager();
  TTolvanSequenceDefs& Defs = FSequenceManager->SequenceDefs();
  Defs.Clear();
  for (auto& Sequence : Loaded)
    Defs.Add(std::move(Sequence));
}

// --- slots the base implements ------------------------------------------------------------------

void TTolvanTableData::SetIndexDefs(TTolvanIndexDefs& Defs) {
  CheckIndexDefs(Defs, FieldDefs());
  AssignObjectIDs(Defs);
  auto Manager = std::make_unique<TTolvanBaseIndexManager>(*this, FIndexFactory);
  Manager->AssignDefs(Defs);
  FIndexManager = std::move(Manager);
}

int32_t TTolvanTableData::GetRecordLayout(int32_t& FieldsOffset, int32_t& Size) {
  Size = RecordSize();
  FieldsOffset = FieldDefs()->NullBitmapSize();
  return Size;
}

void TTolvanTableData::Lock(bool Exclusive) {
  if (Exclusive)
    FTableLock.BeginWrite();
  else
    FTableLock.BeginRead();
}

void TTolvanTableData::Unlock() { FTableLock.EndAccess(); }

void TTolvanTableData::LoadFromStream(TTolvanCursor*, TStream&) {
  if (HasCursors())
    throw ETolvanException::CreateFmt(ErrLoadTableWithCursors, SCannotLoadOpenTable, FTableName);
}

void TTolvanTableData::SaveToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t, int32_t,
                                    bool AllowOpen) {
  if (!AllowOpen && HasCursors())
    throw ETolvanException::CreateFmt(ErrSaveTableWithCursors, SCannotSaveOpenTable, FTableName);
}

void TTolvanTableData::ForeignKeyAdded(int32_t) {}

void TTolvanTableData::ApplyDefaults(TTolvanCursor& Cursor, uint8_t* Buffer, bool ApplyAutoInc) {
  if (FFieldManager)
    FFieldManager->ApplyDefaults(Cursor.Session(), Buffer, ApplyAutoInc);
}

void TTolvanTableData::EditRecord(TTolvanCursor&) {}

int64_t TTolvanTableData::GetAutoIncValue(int32_t, TTolvanBaseSession*) { return 0; }

void TTolvanTableData::SetAutoIncValue(int32_t, TTolvanCursor&, int64_t) {}

void TTolvanTableData::BeginTableUse() {
  TWriteAccess Hold(FUseCountLock);
  FUseCount.fetch_add(1, std::memory_order_relaxed);
}

void TTolvanTableData::EndTableUse() {
  TWriteAccess Hold(FUseCountLock);
  FUseCount.fetch_sub(1, std::memory_order_relaxed);
}

void TTolvanTableData::TransactionStarted(int32_t) {}

void TTolvanTableData::TransactionCommitted(int32_t) {}

void TTolvanTableData::TransactionRolledBack(int32_t) {}

bool TTolvanTableData::PageNeedsReload(int32_t) { return false; }

void TTolvanTableData::SetRecordManager(std::unique_ptr<TTolvanBaseRecordManager> Value) noexcept {
  FRecordManager = std::move(Value);
}

// --- cursors -----------------------------------------------------------------------------------

bool TTolvanTableData::HasCursors() {
  TReadAccess Hold(FCursorListLock);
  return !FCursors.empty();
}

void TTolvanTableData::AttachCursor(TTolvanCursor& Cursor) {
  TTolvanTableLock Table(*this);
  TWriteAccess List(FCursorListLock);
  if (std::find(FCursors.begin(), FCursors.end(), &Cursor) != FCursors.end())
    return;
  const bool MadeScratch = !FScratchRecord;
  if (MadeScratch)
    FScratchRecord.reset(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(RecordSize())));
  FCursors.push_back(&Cursor);
  const bool WasOpened = Cursor.Opened();
  try {
    Cursor.SetOpened(true);
    Cursor.RefreshDefs();
  } catch (...) {
    Cursor.SetOpened(WasOpened);
    FCursors.pop_back();
    if (MadeScratch)
      FScratchRecord.reset();
    throw;
  }
}

void TTolvanTableData::DetachCursor(TTolvanCursor& Cursor) {
  if (!Cursor.Session())
    throw ETolvanException::Create(ErrDetachWithoutSession, SNilPointerOccurred);
  const int32_t SessionID = Cursor.Session()->SessionID();
  // The table lock first: forgetting key paths is index work, which other sessions do under it.
  TTolvanTableLock Table(*this);
  TWriteAccess List(FCursorListLock);
  const auto Found = std::find(FCursors.begin(), FCursors.end(), &Cursor);
  if (Found == FCursors.end())
    return;
  FCursors.erase(Found);
  if (FIndexManager && FIndexManager->IndexDefs().Count() > 0 &&
      std::none_of(FCursors.begin(), FCursors.end(), [&](const TTolvanCursor* Other) {
        return Other->Session() && Other->Session()->SessionID() == SessionID;
      }))
    FIndexManager->ForgetSession(SessionID);
  if (FCursors.empty())
    FScratchRecord.reset();
}

// --- helpers of the definition operations -------------------------------------------------------

template <class TBody> void TTolvanTableData::CommittingPages(int32_t SessionID, TBody&& Body) {
  try {
    Body();
  } catch (...) {
    try {
      if (TTolvanPageManager* Pages = GetPageManager())
        Pages->Commit(SessionID);
    } catch (...) {
      // The first error passes on.
    }
    throw;
  }
  if (TTolvanPageManager* Pages = GetPageManager())
    Pages->Commit(SessionID);
}

void TTolvanTableData::ReloadCursorIndexDefs() {
  TReadAccess List(FCursorListLock);
  for (TTolvanCursor* Cursor : FCursors)
    Cursor->GetIndexDefs();
}

TTolvanBaseConstraintManager& TTolvanTableData::EnsureConstraintManager() {
  if (!FConstraintManager)
    FConstraintManager = std::make_unique<TTolvanBaseConstraintManager>(*this);
  return *FConstraintManager;
}

void TTolvanTableData::DeleteConstraintAt(int32_t Position) {
  FConstraintManager->ConstraintDefs().Delete(Position);
  if (FConstraintManager->ConstraintDefs().Count() == 0)
    FConstraintManager->SetNoConstraints(true);
}

void TTolvanTableData::DeletePartner(TTolvanCursor* Cursor,
                                     const TTolvanConstraintDefForeignKeyAction& Def) {
  const AnsiString Other = Def.Table().Name();
  const AnsiString Partner = Def.Partner().Name();
  if (AnsiSameText(Other, FTableName)) {
    // A self-reference: both halves live here, and a side cursor on this table would only wait
    // for the lock this thread holds.
    const int32_t Position = FConstraintManager->ConstraintDefs().IndexOfName(Partner);
    if (Position < 0)
      throw ETolvanException::CreateFmt(ErrDeleteConstraintNotFound, SConstraintDoesNotExist,
                                        Partner, FTableName);
    DeleteConstraintAt(Position);
    return;
  }
  TSideCursorHold Side(OpenSideCursor(Cursor ? Cursor->Session() : nullptr,
                                      Cursor ? Cursor->InMemory() || FIsMemory : FIsMemory, Other,
                                      true));
  Side->TableData().DeleteConstraint(&Side->Cursor(), Partner, false, true);
  Side.Close();
}

// --- constraints --------------------------------------------------------------------------------

void TTolvanTableData::SetConstraintDefs(TTolvanConstraintDefs& Defs) {
  for (int32_t I = 0; I < Defs.Count(); ++I)
    if (Defs.Items(I).ConstraintType() > tctForeignKeyAction)
      throw ETolvanException::Create(ErrSetConstraintsUnknownType, SNotImplementedYet);
  AssignObjectIDs(Defs);
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    TTolvanConstraintDef& Def = Defs.Items(I);
    switch (Def.ConstraintType()) {
    case tctPrimaryKey:
    case tctUnique:
      static_cast<TTolvanConstraintDefUnique&>(Def).Reserved2().SetName(FTableName);
      break;
    case tctNotNull:
      static_cast<TTolvanConstraintDefNotNull&>(Def).Reserved2().SetName(FTableName);
      break;
    case tctCheck:
      static_cast<TTolvanConstraintDefCheck&>(Def).Reserved2().SetName(FTableName);
      break;
    default:
      break;
    }
  }
  auto Manager = std::make_unique<TTolvanBaseConstraintManager>(*this);
  Manager->ConstraintDefs().Assign(Defs);
  Manager->ResolveAll();
  Manager->AutoName();
  FConstraintManager = std::move(Manager);
}

bool TTolvanTableData::DuplicateKeyExists(int32_t SessionID, int32_t IndexID, const uint8_t* Buffer,
                                          const uint8_t* OldBuffer, bool IsInsert,
                                          const TTolvanRecordID&) {
  if (GetTotalRecordCount() == 0)
    return false;
  if (!FIndexManager)
    throw ETolvanException::Create(ErrIndexNotFound, SIndexNotFound);
  TTolvanIndex& Index = FIndexManager->GetIndex(IndexID);
  if (IsInsert)
    return !Index.IsKeyUnique(SessionID, Buffer);
  if (!OldBuffer)
    throw ETolvanException::Create(ErrDetachWithoutSession, SNilPointerOccurred);
  return !Index.IsKeyUniqueOnUpdate(SessionID, OldBuffer, Buffer);
}

void TTolvanTableData::CheckConstraints(TTolvanCursor& Cursor, int32_t SessionID, uint8_t* Buffer,
                                        uint8_t* OldBuffer, bool IsInsert,
                                        const TTolvanRecordID& ID, bool SkipForeignKeys) {
  TTolvanTableLock Table(*this);
  if (FConstraintManager && !FConstraintManager->NoConstraints())
    FConstraintManager->CheckRecord(Cursor, SessionID, Buffer, OldBuffer, IsInsert, ID,
                                    SkipForeignKeys);
}

// --- table operations ---------------------------------------------------------------------------

bool TTolvanTableData::DeleteTable(TTolvanBaseSession* Session, bool Force,
                                   bool IgnoreOpenCursors) {
  TWriteGateHold Gate(FDatabase.WriteGate());
  TTolvanTableLock Table(*this);
  if (!IgnoreOpenCursors && HasCursors())
    throw ETolvanException::CreateFmt(ErrDeleteTableWithCursors, SCannotDeleteOpenTable,
                                      FTableName);
  if (!FConstraintManager)
    return false;
  TTolvanConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  if (!Force && (Defs.HasForeignKeys() || Defs.HasActions()))
    throw ETolvanException::CreateFmt(ErrDeleteTableReferenced,
                                      SCannotDeleteTableForeignKeyViolated, FTableName);
  if (Session) {
    // The other halves, named before any goes: deleting changes no definition here, but a
    // copy keeps the walk independent of what the other tables do.
    std::vector<std::pair<AnsiString, AnsiString>> Others;
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      const TTolvanConstraintDef& Def = Defs.Items(I);
      if (!IsReference(Def))
        continue;
      const auto& Ref = static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def);
      if (!AnsiSameText(Ref.Table().Name(), FTableName))
        Others.emplace_back(Ref.Table().Name(), Ref.Partner().Name());
    }
    for (const auto& [Other, Partner] : Others) {
      auto Side = OpenSideCursor(Session, FIsMemory, Other, true);
      Side->TableData().DeleteConstraint(&Side->Cursor(), Partner, false, true);
      try {
        Side->Close();
      } catch (...) {
        // The table goes anyway; a side cursor that fails to close changes nothing of that.
      }
    }
  }
  Defs.ClearReferenceFlags();
  return false;
}

void TTolvanTableData::EmptyTable(TTolvanCursor* Cursor, bool) {
  TTolvanTableLock Table(*this);
  if (HasCursors())
    throw ETolvanException::CreateFmt(ErrEmptyTableWithCursors, SCannotDeleteOpenTable2,
                                      FTableName);
  const int32_t SessionID = SessionIDOf(Cursor);
  CommittingPages(SessionID, [&] {
    if (FIndexManager)
      FIndexManager->EmptyAll(SessionID);
  });
}

void TTolvanTableData::RenameTable(TTolvanCursor* Cursor, std::string_view NewName) {
  TWriteGateHold Gate(FDatabase.WriteGate());
  TTolvanTableLock Table(*this);
  if (HasCursors())
    throw ETolvanException::CreateFmt(ErrRenameTableWithCursors, SCannotRenameOpenTable,
                                      FTableName);
  if (FConstraintManager && (FConstraintManager->ConstraintDefs().HasForeignKeys() ||
                             FConstraintManager->ConstraintDefs().HasActions()))
    ForeignKeyRoutines().RenameForeignKeyReferences(*this, Cursor, FTableName, NewName);
  SetName(NewName);
}

void TTolvanTableData::AddForeignKey(TTolvanCursor& Cursor, TTolvanConstraintDefForeignKey& Def) {
  TWriteGateHold Gate(FDatabase.WriteGate());
  TTolvanTableLock Table(*this);
  const bool Self = AnsiSameText(Def.Table().Name(), FTableName);
  std::unique_ptr<TSideCursorHold> Side;
  if (!Self)
    Side = std::make_unique<TSideCursorHold>(
        OpenSideCursor(Cursor.Session(), Cursor.InMemory() || FIsMemory, Def.Table().Name(), true));
  TTolvanCursor& ParentCursor = Self ? Cursor : (*Side)->Cursor();
  TTolvanTableData& Parent = Self ? *this : (*Side)->TableData();
  // The parent's definitions change below: its lock, taken second, under the gate.
  TTolvanTableLock ParentLock(Parent);

  TTolvanBaseConstraintManager& Constraints = EnsureConstraintManager();
  if (Constraints.ConstraintDefs().IndexOfName(Def.Name()) >= 0)
    throw ETolvanException::CreateFmt(ErrAddForeignKeyNameTaken, SForeignKeyNameAlreadyExists,
                                      Def.Name(), FTableName);
  const TTolvanFieldDefs* Fields = FieldDefs();
  std::vector<int32_t> ColumnIDs;
  ColumnIDs.reserve(Def.Columns().size());
  for (const TTolvanObjectRef& Column : Def.Columns()) {
    const TTolvanFieldDef* Field = Fields ? Fields->FindByName(Column.Name()) : nullptr;
    if (!Field)
      throw ETolvanException::CreateFmt(ErrAddForeignKeyColumn, SForeignKeyColumnDoesNotExist,
                                        Def.Name(), Column.Name(), FTableName);
    ColumnIDs.push_back(Field->ObjectID());
  }
  for (size_t I = 0; I < ColumnIDs.size(); ++I)
    Def.Columns()[I].SetObjectID(ColumnIDs[I]);

  TTolvanForeignKeyRoutines& Routines = ForeignKeyRoutines();
  Routines.ValidateForeignKey(*this, Def, ParentCursor);
  Routines.CheckExistingRows(*this, Cursor, ParentCursor, Def);

  Def.SetObjectID(FDatabase.NextObjectID());
  TTolvanBaseConstraintManager& ParentConstraints = Parent.EnsureConstraintManager();
  TTolvanConstraintDefForeignKeyAction& Action =
      TTolvanBaseConstraintManager::MakeForeignKeyAction(ParentConstraints, Def, FTableName, -1);
  const AnsiString ActionName = Action.Name();
  try {
    Def.Partner() = TTolvanObjectRef(Action.Name(), Action.ObjectID());
    if (!Self)
      Parent.ForeignKeyAdded(SessionIDOf(&Cursor));
    auto Copy = std::make_unique<TTolvanConstraintDefForeignKey>();
    Copy->Assign(Def);
    Constraints.ConstraintDefs().Add(std::move(Copy));
  } catch (...) {
    // A refused key leaves no action record behind.
    const int32_t Position = ParentConstraints.ConstraintDefs().IndexOfName(ActionName);
    if (Position >= 0)
      ParentConstraints.ConstraintDefs().Delete(Position);
    throw;
  }
  Constraints.SetNoConstraints(false);
  if (Side)
    Side->Close();
}

void TTolvanTableData::DeleteConstraint(TTolvanCursor* Cursor, std::string_view Name, bool Force,
                                        bool NoCascade) {
  TWriteGateHold Gate(FDatabase.WriteGate());
  TTolvanTableLock Table(*this);
  const int32_t Position =
      FConstraintManager ? FConstraintManager->ConstraintDefs().IndexOfName(Name) : -1;
  if (Position < 0)
    throw ETolvanException::CreateFmt(ErrDeleteConstraintNotFound, SConstraintDoesNotExist, Name,
                                      FTableName);
  TTolvanConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  const TTolvanConstraintDef& Def = Defs.Items(Position);
  const AnsiString DefName = Def.Name();
  if (Def.ConstraintType() != tctPrimaryKey) {
    if (IsReference(Def) && !NoCascade)
      DeletePartner(Cursor, static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def));
    // The partner of a self-reference may have stood before it.
    const int32_t Now = Defs.IndexOfName(DefName);
    if (Now >= 0)
      DeleteConstraintAt(Now);
    return;
  }
  if (Defs.HasActions() && !Force)
    throw ETolvanException::CreateFmt(ErrDeletePrimaryKeyReferenced,
                                      SCannotDeleteReferencedPrimaryKey, DefName, FTableName);
  const int32_t IndexID = static_cast<const TTolvanConstraintDefPrimary&>(Def).Index().ObjectID();
  std::vector<AnsiString> Actions;
  for (int32_t I = 0; I < Defs.Count(); ++I)
    if (Defs.Items(I).ConstraintType() == tctForeignKeyAction)
      Actions.push_back(Defs.Items(I).Name());
  for (const AnsiString& Action : Actions)
    if (Defs.IndexOfName(Action) >= 0)
      DeleteConstraint(Cursor, Action, false, false);
  if (FIndexManager && FIndexManager->IndexDefs().IndexOfID(IndexID) >= 0)
    DeleteIndex(IndexID, Cursor);
  // Without an index (or a cursor) the constraint may still stand.
  const int32_t Left = Defs.IndexOfName(DefName);
  if (Left >= 0)
    DeleteConstraintAt(Left);
}

void TTolvanTableData::RenameReferencedTable(int32_t, std::string_view OldName,
                                             std::string_view NewName) {
  TTolvanTableLock Table(*this);
  if (!FConstraintManager)
    return;
  TTolvanConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
  struct TRename {
    TTolvanConstraintDefForeignKeyAction* Def;
    AnsiString Name;
    AnsiString Partner;
  };
  // Every new name first: a refused name changes nothing.
  std::vector<TRename> Renames;
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    TTolvanConstraintDef& Def = Defs.Items(I);
    if (!IsReference(Def))
      continue;
    auto& Ref = static_cast<TTolvanConstraintDefForeignKeyAction&>(Def);
    if (!AnsiSameText(Ref.Table().Name(), OldName))
      continue;
    TTolvanForeignKeyRoutines& Routines = ForeignKeyRoutines();
    Renames.push_back({&Ref, Routines.StripTemporaryFKName(Ref.Name()),
                       Routines.StripTemporaryFKName(Ref.Partner().Name())});
  }
  for (TRename& R : Renames) {
    R.Def->Table().SetName(NewName);
    R.Def->SetName(R.Name);
    R.Def->Partner().SetName(R.Partner);
  }
}

void TTolvanTableData::RenameField(TTolvanCursor*, std::string_view OldName,
                                   std::string_view NewName) {
  TTolvanTableLock Table(*this);
  TTolvanFieldDef* Field = FFieldManager ? FFieldManager->FieldDefs().FindByName(OldName) : nullptr;
  if (!Field)
    throw ETolvanException::CreateFmt(ErrRenameFieldOldMissing, SFieldNotFound, OldName);
  if (FFieldManager->FieldDefs().FindByName(NewName))
    throw ETolvanException::CreateFmt(ErrRenameFieldNewExists, SCannotRenameFieldAlreadyExists,
                                      OldName, NewName);
  if (FIndexManager) {
    const TTolvanIndexDefs& Indexes = FIndexManager->IndexDefs();
    for (int32_t I = 0; I < Indexes.Count(); ++I) {
      const TTolvanIndexDef& Index = Indexes.Items(I);
      for (int32_t C = 0; C < Index.ColumnCount(); ++C)
        if (AnsiSameText(Index.Columns(C).Name(), OldName))
          throw ETolvanException::CreateFmt(ErrRenameFieldIndexed, SCannotRenameIndexedField,
                                            OldName, FTableName, Index.Name());
    }
  }
  const int32_t FieldID = Field->ObjectID();
  if (FConstraintManager && FConstraintManager->ConstraintDefs().HasForeignKeys()) {
    const TTolvanConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      const TTolvanConstraintDef& Def = Defs.Items(I);
      if (!IsReference(Def))
        continue;
      for (const TTolvanObjectRef& Column :
           static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def).Columns())
        if (Column.ObjectID() == FieldID)
          throw ETolvanException::CreateFmt(ErrRenameFieldForeignKey, SCannotRenameForeignKeyField,
                                            OldName, FTableName, Def.Name());
    }
  }
  Field->SetName(NewName);
  // Not-null and check constraints bind their column by name when resolved again (a restructure
  // or a load): they follow the rename.
  if (FConstraintManager) {
    TTolvanConstraintDefs& Defs = FConstraintManager->ConstraintDefs();
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      TTolvanConstraintDef& Def = Defs.Items(I);
      TTolvanObjectRef* Column = Def.ConstraintType() == tctNotNull
                                     ? &static_cast<TTolvanConstraintDefNotNull&>(Def).Column()
                                 : Def.ConstraintType() == tctCheck
                                     ? &static_cast<TTolvanConstraintDefCheck&>(Def).Column()
                                     : nullptr;
      if (Column && Column->ObjectID() == FieldID)
        Column->SetName(Field->Name());
    }
  }
}

// --- indexes ------------------------------------------------------------------------------------

void TTolvanTableData::AddIndex(TTolvanIndexDef& Def, TTolvanCursor* Cursor) {
  if (!FIndexManager)
    throw ETolvanException::Create(ErrIndexNotFound, SIndexNotFound);
  TTolvanTableLock Table(*this);
  TWriteAccess List(FCursorListLock);
  const int32_t SessionID = SessionIDOf(Cursor);
  const TTolvanCursorPosition Saved = Cursor ? Cursor->SavePosition() : TTolvanCursorPosition{};
  CommittingPages(SessionID, [&] {
    const int32_t IndexID = FIndexManager->AddIndex(Cursor, Def);
    if (!FIsTemporary) {
      try {
        TTolvanIndexDefs& Indexes = FIndexManager->IndexDefs();
        EnsureConstraintManager().AddForIndex(Indexes.Items(Indexes.IndexOfID(IndexID)));
      } catch (...) {
        FIndexManager->DropIndex(SessionID, IndexID);
        throw;
      }
    }
  });
  ReloadCursorIndexDefs();
  if (Cursor)
    Cursor->RestorePosition(Saved);
}

void TTolvanTableData::DeleteIndex(int32_t IndexID, TTolvanCursor* Cursor) {
  if (!FIndexManager)
    throw ETolvanException::Create(ErrIndexNotFound, SIndexNotFound);
  TTolvanTableLock Table(*this);
  TWriteAccess List(FCursorListLock);
  const int32_t SessionID = SessionIDOf(Cursor);
  CommittingPages(SessionID, [&] {
    FIndexManager->DropIndex(SessionID, IndexID);
    // Also without a cursor: a constraint whose index is gone would refuse every later write.
    if (FConstraintManager && !FIsTemporary)
      FConstraintManager->RemoveForIndex(IndexID);
  });
  ReloadCursorIndexDefs();
}

void TTolvanTableData::EmptyIndex(int32_t IndexID, int32_t SessionID) {
  TTolvanTableLock Table(*this);
  if (FIndexManager)
    CommittingPages(SessionID, [&] { FIndexManager->EmptyIndex(SessionID, IndexID); });
}

void TTolvanTableData::DeleteAllIndexes(TTolvanCursor* Cursor) {
  TTolvanTableLock Table(*this);
  while (FIndexManager && FIndexManager->IndexDefs().Count() > 0)
    DeleteIndex(FIndexManager->IndexDefs().Items(0).ObjectID(), Cursor);
}

void TTolvanTableData::EmptyAllIndexes(int32_t SessionID) {
  TTolvanTableLock Table(*this);
  if (FIndexManager)
    CommittingPages(SessionID, [&] { FIndexManager->EmptyAll(SessionID); });
}

AnsiString TTolvanTableData::FindIndexForForeignKey(TTolvanCursor&, const TStringList* FieldNames,
                                                    const TStringList* Orders,
                                                    const TStringList* CaseModes) {
  TTolvanTableLock Table(*this);
  if (!FIndexManager)
    return {};
  const int32_t ID = FIndexManager->FindIndexForFields(FieldNames, Orders, CaseModes);
  if (ID == -1)
    return {};
  const TTolvanMetaObjectDef* Def = FIndexManager->IndexDefs().FindByID(ID);
  if (!Def)
    throw ETolvanException::CreateFmt(ErrFindIndexForForeignKey, SCannotFindIndexById, ID);
  return Def->Name();
}

// --- slots the base does not provide yet ---------------------------------------------------------

} // namespace tolvan
