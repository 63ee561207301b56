#include "storage/memory/TolvanMemoryEngine.h"
#include "storage/TolvanForeignKeys.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStreams.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanBlobBlocks.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNotSupported = 11394;
// Native codes of the nil checks, one per raise site.
constexpr int32_t ErrInsertNoRecords = 10010;
constexpr int32_t ErrInsertNoBuffer = 10018;
constexpr int32_t ErrDeleteNoRecords = 10013;
constexpr int32_t ErrUpdateNoRecords = 10014;
constexpr int32_t ErrUpdateNoBuffer = 10017;
constexpr int32_t ErrDeleteAllNoRecords = 11312;
constexpr int32_t ErrUpdateAllNoRecords = 11450;
constexpr int32_t ErrSetRecNoNoRecords = 10074;
constexpr int32_t ErrGetRecNoNoRecords = 10033;
constexpr int32_t ErrTotalCountNoRecords = 10009;

} // namespace

// --- checks of a new table's definitions ---------------------------------------------------------

void ValidateFieldDefs(std::string_view TableName, const TTolvanFieldDefs& Defs) {
  if (Defs.Count() == 0)
    throw ETolvanException::CreateFmt(ErrCreateTableNoFieldDefs, SCreateTableNoFields, TableName);
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const AnsiString& Name = Defs.Items(I).Name();
    if (Name.empty())
      throw ETolvanException::CreateFmt(ErrCreateTableUnnamedField, SCreateTableUnnamedFields,
                                        TableName);
    for (int32_t J = 0; J < I; ++J)
      if (AnsiSameText(Defs.Items(J).Name(), Name))
        throw ETolvanException::CreateFmt(ErrCreateTableDuplicateField, SCreateTableDuplicateField,
                                          TableName, AnsiUpperCase(Name));
  }
}

void ValidateIndexDefs(std::string_view TableName, const TTolvanIndexDefs& Defs) {
  int32_t Primaries = 0;
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanIndexDef& Def = Defs.Items(I);
    if (Def.Name().empty())
      throw ETolvanException::CreateFmt(ErrCreateTableUnnamedIndex, SCreateTableUnnamedIndexes,
                                        TableName);
    if (Def.ColumnCount() == 0)
      throw ETolvanException::CreateFmt(ErrCreateTableIndexWithoutFields, SCreateTableNoIndexFields,
                                        TableName, Def.Name());
    for (int32_t J = 0; J < I; ++J)
      if (AnsiSameText(Defs.Items(J).Name(), Def.Name()))
        throw ETolvanException::CreateFmt(ErrCreateTableDuplicateIndex, SCreateTableDuplicateIndex,
                                          TableName, AnsiUpperCase(Def.Name()));
    if (Def.Primary())
      ++Primaries;
  }
  if (Primaries > 1)
    throw ETolvanException::CreateFmt(ErrCreateTableMultiplePrimary,
                                      SCreateTableMultiplePrimaryIndexes, TableName);
}

void ValidateConstraintDefs(std::string_view TableName, const TTolvanConstraintDefs& Defs) {
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const AnsiString& Name = Defs.Items(I).Name();
    if (Name.empty())
      continue;
    for (int32_t J = 0; J < I; ++J)
      if (AnsiSameText(Defs.Items(J).Name(), Name))
        throw ETolvanException::CreateFmt(ErrCreateTableDuplicateConstraint,
                                          SCreateTableDuplicateConstraint, TableName,
                                          AnsiUpperCase(Name));
  }
}

// --- TTolvanMemoryTableData ----------------------------------------------------------------------

// Commits the session's pages when the scope ends: Now() on the way out of a completed
// operation (a failure raises), the destructor on every other exit (a failure is dropped, so
// the error that ended the operation passes on). Nothing when the table has no index.
class TTolvanMemoryTableData::TPageCommit {
public:
  TPageCommit(TTolvanMemoryTableData& Table, int32_t SessionID) noexcept
      : FTable(Table), FSessionID(SessionID), FArmed(Table.HasIndexes()) {}
  ~TPageCommit() {
    if (!FArmed)
      return;
    try {
      FTable.FPageManager->Commit(FSessionID);
    } catch (...) {
      // Leaving on an error already: that error is the one the caller sees.
    }
  }
  TPageCommit(const TPageCommit&) = delete;
  TPageCommit& operator=(const TPageCommit&) = delete;

  void Now() {
    if (!FArmed)
      return;
    FArmed = false;
    FTable.FPageManager->Commit(FSessionID);
  }

private:
  TTolvanMemoryTableData& FTable;
  int32_t FSessionID;
  bool FArmed;
};

TTolvanMemoryTableData::TTolvanMemoryTableData(TTolvanTableOwner& Database, int32_t AllocBy,
                                               TTolvanIndexFactory Factory)
    : TTolvanTableData(Database, std::move(Factory)), FAllocBy(AllocBy),
      FPageManager(std::make_unique<TTolvanMemoryPageManager>()) {
  SetIsMemory(true);
  SetIsTemporary(false);
}

TTolvanMemoryTableData::~TTolvanMemoryTableData() {
  // The index objects refer to the page manager, which goes before the base's managers.
  FreeManagers();
}

void TTolvanMemoryTableData::Close() {
  if (RecordManager())
    ClearRecords();
  if (IndexManager())
    TTolvanTableData::DeleteAllIndexes(nullptr);
  FPageManager->Commit(-2);
}

bool TTolvanMemoryTableData::HasIndexes() const noexcept {
  return IndexManager() && IndexManager()->IndexDefs().Count() > 0;
}

// --- streams
// ---------------------------------------------------------------------------------------

void TTolvanMemoryTableData::SaveToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm,
                                          uint8_t Level, int32_t Value, bool AllowOpen) {
  TTolvanTableLock Guard(*this);
  TTolvanTableData::SaveToStream(Stream, Algorithm, Level, Value, AllowOpen);
  SaveTableToStream(*this, Records(), BlobBlocks(), Stream, Algorithm, Level, Value,
                    Database().ObjectIDValue());
}

TTolvanTableData::TTolvanTableParts TTolvanMemoryTableData::MakeParts(TTolvanLoadedTable& Loaded) {
  TTolvanTableParts Parts;
  Parts.TableName = Loaded.Header.Name;
  for (int32_t I = 0; I < Loaded.FieldDefs.Count(); ++I) {
    const TTolvanFieldDef& Def = Loaded.FieldDefs.Items(I);
    if (Def.IsBlob() && Def.BlobBlockSize() <= 0)
      throw ETolvanException::CreateFmt(ErrBlobBlockSizeZero, SBlobBlockSizeInvalid, Def.Name());
  }
  Parts.SequenceManager = std::make_unique<TTolvanBaseSequenceManager>(&Database());
  for (auto& Sequence : Loaded.Sequences)
    Parts.SequenceManager->SequenceDefs().Add(std::move(Sequence));
  Parts.FieldManager = std::make_unique<TTolvanBaseFieldManager>(this, Parts.SequenceManager.get());
  Parts.FieldManager->FieldDefs().Assign(Loaded.FieldDefs);
  Parts.FieldManager->FieldDefs().CalcLayout();
  Parts.IndexManager =
      std::make_unique<TTolvanBaseIndexManager>(*this, IndexFactory(), *Loaded.PageStore);
  Parts.IndexManager->SetFieldDefs(&Parts.FieldManager->FieldDefs());
  Parts.IndexManager->AssignDefs(Loaded.IndexDefs);
  if (Loaded.Records)
    Parts.RecordManager = std::move(Loaded.Records);
  else if (const TTolvanFieldDefs& Fields = Parts.FieldManager->FieldDefs(); Fields.Count() > 0) {
    const TTolvanFieldDef& Last = Fields.Items(Fields.Count() - 1);
    const int64_t Size = int64_t(Last.BufferOffset()) + Last.DataSize();
    if (Size <= 0 || Size > std::numeric_limits<int32_t>::max())
      throw ETolvanException::CreateFmt(ErrTableStreamLayout, SInvalidTableStreamField,
                                        "RecordSize", Size);
    Parts.RecordManager =
        std::make_unique<TTolvanMemoryRecordManager>(*this, int32_t(Size), FAllocBy);
  }
  Parts.ConstraintManager = std::make_unique<TTolvanBaseConstraintManager>(*this);
  Parts.ConstraintManager->ConstraintDefs().Assign(Loaded.ConstraintDefs);
  Parts.ConstraintManager->SetNoConstraints(Loaded.ConstraintDefs.Count() == 0);
  Parts.BlobBlocks = std::move(Loaded.Blobs);
  Parts.HasBlobs = Loaded.HasBlobs;
  return Parts;
}

void TTolvanMemoryTableData::LoadFromStream(TTolvanCursor* Cursor, TStream& Stream) {
  TTolvanTableLock Guard(*this);
  TTolvanTableData::LoadFromStream(Cursor, Stream);
  std::unique_ptr<TTolvanLoadedTable> Loaded = LoadTableFromStream(*this, Stream);
  // Destroyed before Loaded, whose page store the index manager in Parts refers to.
  TTolvanTableParts Parts = MakeParts(*Loaded);
  const auto* Records = static_cast<const TTolvanMemoryRecordManager*>(Parts.RecordManager.get());
  CheckLoadedIndexes(*Parts.IndexManager, Records ? Records->RecordCount() : 0,
                     Records ? Records->Capacity() : 0,
                     [Records](const TTolvanRecordID& ID, int64_t& Number) -> const uint8_t* {
                       const int32_t Slot = ID.PageNo;
                       Number = Slot;
                       if (!Records || Slot < Records->MinID() || Slot > Records->MaxID() ||
                           Records->IsSlotDeleted(Slot))
                         return nullptr;
                       return Records->RecordBlock() + int64_t(Slot) * Records->RecordSize();
                     });
  // Installed at once; nothing below can fail. The old parts leave with Parts and Loaded.
  SwapParts(Parts);
  std::swap(FPageManager, Loaded->PageStore);
  IndexManager()->SetFieldDefs(nullptr);
  Parts.IndexManager.reset();
  FLoadedRecordCount = int32_t(Loaded->Header.RecordCount);
  Database().MergeObjectIDValue(Loaded->Header.ObjectIDCounter);
}

TTolvanMemoryRecordManager& TTolvanMemoryTableData::RequireRecords(int32_t Code) const {
  TTolvanMemoryRecordManager* Records = this->Records();
  if (!Records)
    RaiseNil(Code);
  return *Records;
}

uint8_t* TTolvanMemoryTableData::Scratch(std::vector<uint8_t>& Which, size_t Size) {
  if (Which.size() < Size)
    Which.resize(Size);
  return Which.data();
}

void TTolvanMemoryTableData::CreateRecordManager() {
  SetRecordManager(nullptr);
  SetRecordManager(std::make_unique<TTolvanMemoryRecordManager>(*this, RecordSize(), FAllocBy));
}

void TTolvanMemoryTableData::CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs,
                                         TTolvanIndexDefs& IndexDefs,
                                         TTolvanConstraintDefs& ConstraintDefs) {
  if (FieldDefs.Count() == 0)
    throw ETolvanException::Create(ErrCreateTableNoFields, SNoFieldsSpecifiedForTable);
  SetName(Cursor.TableName());
  ValidateFieldDefs(TableName(), FieldDefs);
  ValidateIndexDefs(TableName(), IndexDefs);
  ValidateConstraintDefs(TableName(), ConstraintDefs);

  CreateSequenceManager();
  SetFieldDefs(FieldDefs);
  SetIndexDefs(IndexDefs);
  SetConstraintDefs(ConstraintDefs);
  CreateAutoIncSequences();
  // Each parent gets its action record; a refused key leaves the parents as they were, and the
  // table is not registered.
  if (ConstraintDefs.HasForeignKeys())
    SetupForeignKeys(*this, Cursor, ConstraintManager()->ConstraintDefs());
  CreateRecordManager();
  int32_t FieldsOffset = 0;
  int32_t Size = 0;
  GetRecordLayout(FieldsOffset, Size);
}

bool TTolvanMemoryTableData::DeleteTable(TTolvanBaseSession* Session, bool Force,
                                         bool IgnoreOpenCursors) {
  TTolvanTableData::DeleteTable(Session, Force, IgnoreOpenCursors);
  const int32_t SessionID = Session ? Session->SessionID() : -2;
  {
    TTolvanTableLock Lock(*this);
    TPageCommit Commit(*this, SessionID);
    if (HasIndexes())
      IndexManager()->DropAll(SessionID);
    Commit.Now();
  }
  return !(IgnoreOpenCursors && HasCursors());
}

void TTolvanMemoryTableData::EmptyTable(TTolvanCursor* Cursor, bool IgnoreForeignKeys) {
  TTolvanTableLock Lock(*this);
  if (!IgnoreForeignKeys && ConstraintManager() &&
      ConstraintManager()->ConstraintDefs().HasDeleteActions())
    throw ETolvanException::CreateFmt(ErrEmptyTableReferenced, SCannotEmptyReferencedTable,
                                      TableName());
  TTolvanTableData::EmptyTable(Cursor, IgnoreForeignKeys);
  ClearRecords();
  if (Cursor)
    FPageManager->Commit(SessionIDOf(Cursor));
}

void TTolvanMemoryTableData::RenameTable(TTolvanCursor* Cursor, std::string_view NewName) {
  TTolvanDatabaseData* Database = DatabaseOf(*this);
  if (!Database) {
    TTolvanTableData::RenameTable(Cursor, NewName);
    return;
  }
  // Lookups read names under the shared lock: the name changes under the exclusive one, which
  // comes after the write gate and before the table lock.
  TWriteGateHold Gate(Database->WriteGate());
  Database->Lock(true);
  try {
    const TTolvanTableData* Other = Database->FindTableData(NewName);
    if (Other && Other != this)
      throw ETolvanException::CreateFmt(ErrRenameTableExists, SCannotRenameTableAlreadyExists,
                                        TableName(), NewName);
    TTolvanTableData::RenameTable(Cursor, NewName);
  } catch (...) {
    Database->Unlock();
    throw;
  }
  Database->Unlock();
}

void TTolvanMemoryTableData::DeleteConstraint(TTolvanCursor* Cursor, std::string_view Name,
                                              bool Force, bool NoCascade) {
  TTolvanTableLock Lock(*this);
  TPageCommit Commit(*this, SessionIDOf(Cursor));
  TTolvanTableData::DeleteConstraint(Cursor, Name, Force, NoCascade);
  Commit.Now();
}

void TTolvanMemoryTableData::AttachCursor(TTolvanCursor& Cursor) {
  const AnsiString& Name = Cursor.TableName();
  if (!Name.empty() && Name != TableName() && AnsiSameText(Name, TableName())) {
    // Only the letter case changes; still, readers of the name hold the database lock.
    if (TTolvanDatabaseData* Database = DatabaseOf(*this)) {
      Database->Lock(true);
      SetName(Name);
      Database->Unlock();
    } else {
      SetName(Name);
    }
  }
  TTolvanTableData::AttachCursor(Cursor);
}

// --- records: reading --------------------------------------------------------------------------

TTolvanRecordID TTolvanMemoryTableData::Int64ToRecordID(int64_t Value) {
  if (Value < std::numeric_limits<int32_t>::min() || Value > std::numeric_limits<int32_t>::max())
    throw ERangeError(std::string(SysConst::SRangeError));
  return {int32_t(Value), 0};
}

bool TTolvanMemoryTableData::Search(TTolvanCursor& Cursor, TTolvanExpression* Expression,
                                    const TTolvanScanSearchCondition* Condition, bool FromBeginning,
                                    bool Forward, TTolvanRecordID* FoundID,
                                    TTolvanRecordBitmap* ResultSet, bool FirstMatchOnly) {
  TTolvanTableLock Lock(*this);
  return TTolvanTableData::Search(Cursor, Expression, Condition, FromBeginning, Forward, FoundID,
                                  ResultSet, FirstMatchOnly);
}

bool TTolvanMemoryTableData::RecordExists(TTolvanCursor& Cursor) {
  TTolvanTableLock Lock(*this);
  return TTolvanTableData::RecordExists(Cursor);
}

TTolvanGetRecordResult TTolvanMemoryTableData::GetRecord(TTolvanCursor& Cursor,
                                                         TTolvanGetRecordMode Mode) {
  TTolvanTableLock Lock(*this);
  return TTolvanTableData::GetRecord(Cursor, Mode);
}

void TTolvanMemoryTableData::CheckConstraints(TTolvanCursor& Cursor, int32_t SessionID,
                                              uint8_t* Buffer, uint8_t* OldBuffer, bool IsInsert,
                                              const TTolvanRecordID& ID, bool SkipForeignKeys) {
  TTolvanTableLock Lock(*this);
  TTolvanTableData::CheckConstraints(Cursor, SessionID, Buffer, OldBuffer, IsInsert, ID,
                                     SkipForeignKeys);
}

void TTolvanMemoryTableData::ApplyDefaults(TTolvanCursor& Cursor, uint8_t* Buffer,
                                           bool ApplyAutoInc) {
  TTolvanTableLock Lock(*this);
  TTolvanTableData::ApplyDefaults(Cursor, Buffer, ApplyAutoInc);
}

bool TTolvanMemoryTableData::ReadStored(const TTolvanRecordID& ID, uint8_t* Buffer) {
  TTolvanNavState State;
  State.Mode = rmCurrent;
  State.RecordID = ID;
  State.Buffer = Buffer;
  Records()->GetRecord(State);
  return State.Result == rrOK;
}

// --- records: writing --------------------------------------------------------------------------

std::optional<TWriteGateHold> TTolvanMemoryTableData::GateForActions() {
  const TTolvanBaseConstraintManager* Constraints = ConstraintManager();
  if (!Constraints || !Constraints->ConstraintDefs().HasActions())
    return std::nullopt;
  return std::optional<TWriteGateHold>(std::in_place, Database().WriteGate());
}

bool TTolvanMemoryTableData::RunActions(TTolvanCursor& Cursor, bool OnDelete, uint8_t*& Stored) {
  const TTolvanBaseConstraintManager* Constraints = ConstraintManager();
  if (!Constraints)
    return true;
  const TTolvanConstraintDefs& Defs = Constraints->ConstraintDefs();
  if (!(OnDelete ? Defs.HasDeleteActions() : Defs.HasUpdateActions()))
    return true;
  ForeignKeyRoutines().ApplyForeignKeyActions(*this, Cursor, SessionIDOf(&Cursor), OnDelete);
  // The actions' own writes to this table (a record referencing another of the same table) use
  // the scratch buffers: the stored image is read again.
  Stored = Scratch(FStoredImage, size_t(RecordSize()));
  return ReadStored(Cursor.Position(), Stored);
}

void TTolvanMemoryTableData::ReleaseBlobs(uint8_t* Buffer) noexcept {
  const TTolvanFieldDefs* Defs = FieldDefs();
  if (!HasBlobs() || !Defs)
    return;
  for (int32_t F = 0; F < Defs->Count(); ++F) {
    if (!Defs->Items(F).IsBlob() || IsFieldNull(Buffer, F))
      continue;
    try {
      FreeBlob(Buffer, F);
    } catch (...) {
      // The record is gone; a block that cannot be freed is only lost (the table frees what
      // is left when it goes).
    }
  }
}

bool TTolvanMemoryTableData::InsertRecord(TTolvanCursor& Cursor) {
  TTolvanTableLock Lock(*this);
  TTolvanMemoryRecordManager& Store = RequireRecords(ErrInsertNoRecords);
  uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseNil(ErrInsertNoBuffer);
  const size_t Size = size_t(RecordSize());
  uint8_t* Before = nullptr;
  if (HasBlobs()) {
    // The marks change below; a refused insert gives the edit its values back as they were.
    Before = Scratch(FInsertImage, Size);
    std::memcpy(Before, Buffer, Size);
    tolvan::SetBlobMarks(false, Buffer, *FieldDefs());
  }
  const TTolvanCursorPosition Saved = Cursor.SavePosition();
  TTolvanRecordID ID{};
  if (!Store.InsertRecord(Buffer, ID, -1)) {
    if (Before)
      std::memcpy(Buffer, Before, Size);
    return false;
  }
  ID.PageItemNo = 0;
  Cursor.SetPosition(ID);
  {
    TPageCommit Commit(*this, SessionIDOf(&Cursor));
    if (HasIndexes()) {
      try {
        IndexManager()->InsertKeys(Cursor);
      } catch (...) {
        Store.DeleteRecord(ID, -1);
        Cursor.RestorePosition(Saved);
        if (Before)
          std::memcpy(Buffer, Before, Size);
        throw;
      }
    }
    Commit.Now();
  }
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  if (Cursor.ResultBitmap() && Cursor.ResultBitmap()->Filled())
    AfterPostInsert(Cursor, Saved);
  return true;
}

bool TTolvanMemoryTableData::FindNeighbour(TTolvanCursor& Cursor, TTolvanRecordID& Neighbour) {
  uint8_t* Own = Cursor.RecordBuffer();
  const TTolvanCursorPosition Saved = Cursor.SavePosition();
  const size_t Size = size_t(std::max(Cursor.RecordSize(), RecordSize()));
  struct TRestore {
    TTolvanCursor& Cursor;
    uint8_t* Buffer;
    TTolvanCursorPosition Saved;
    ~TRestore() {
      Cursor.SetRecordBuffer(Buffer);
      Cursor.RestorePosition(Saved);
    }
  } Restore{Cursor, Own, Saved};
  Cursor.SetRecordBuffer(Scratch(FNeighbourImage, Size));
  if (GetRecord(Cursor, rmNext) == rrOK) {
    Neighbour = Cursor.Position();
    return true;
  }
  Cursor.RestorePosition(Saved);
  if (GetRecord(Cursor, rmPrior) == rrOK) {
    Neighbour = Cursor.Position();
    return true;
  }
  return false;
}

bool TTolvanMemoryTableData::DeleteRecord(TTolvanCursor& Cursor) {
  const std::optional<TWriteGateHold> Gate = GateForActions();
  TTolvanTableLock Lock(*this);
  TTolvanMemoryRecordManager& Store = RequireRecords(ErrDeleteNoRecords);
  const TTolvanRecordID ID = Cursor.Position();
  uint8_t* Stored = Scratch(FStoredImage, size_t(RecordSize()));
  if (!ReadStored(ID, Stored) || !RunActions(Cursor, true, Stored))
    return false;
  TTolvanRecordID Neighbour{};
  const bool HasNeighbour = FindNeighbour(Cursor, Neighbour);

  TPageCommit Commit(*this, SessionIDOf(&Cursor));
  const bool Indexed = HasIndexes();
  if (Indexed)
    IndexManager()->DeleteKeys(Cursor);
  if (!Store.DeleteRecord(ID, -1)) {
    // DeleteKeys left the stored record in the cursor's buffer: its keys go back.
    if (Indexed)
      IndexManager()->InsertKeys(Cursor);
    return false;
  }
  ReleaseBlobs(Stored);
  if (TTolvanRecordBitmap* ResultSet = Cursor.ResultBitmap(); ResultSet && ResultSet->Filled())
    ResultSet->Remove(ID);
  Commit.Now();
  if (!HasNeighbour || GetRecordCount(Cursor) == 0) {
    Cursor.SetToBegin();
  } else {
    Cursor.SetBof(false);
    Cursor.SetEof(false);
    Cursor.SetPosition(Neighbour);
  }
  return true;
}

void TTolvanMemoryTableData::UndoKeyUpdate(TTolvanCursor& Cursor, uint8_t* Stored) {
  TTolvanBaseIndexManager& Indexes = *IndexManager();
  uint8_t* New = Cursor.RecordBuffer();
  uint8_t* Old = Cursor.BeforeImage();
  struct TRestore {
    TTolvanCursor& Cursor;
    uint8_t* New;
    uint8_t* Old;
    ~TRestore() {
      Cursor.SetRecordBuffer(New);
      Cursor.SetBeforeImage(Old);
    }
  } Restore{Cursor, New, Old};
  // Each index moves its entry from the new key (now the "old" image) back to the stored one.
  Cursor.SetRecordBuffer(Stored);
  Cursor.SetBeforeImage(New);
  TTolvanIndexDefs& Defs = Indexes.IndexDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    TTolvanIndexDef& Def = Defs.Items(I);
    TTolvanIndex& Index = Indexes.GetIndex(Def.ObjectID());
    Index.UpdateKey(Cursor);
    if (Index.Def())
      Def.SetRootPageNo(Index.Def()->RootPageNo());
    Index.ClearKeyPathCache(-1);
  }
}

bool TTolvanMemoryTableData::UpdateRecord(TTolvanCursor& Cursor) {
  const std::optional<TWriteGateHold> Gate = GateForActions();
  TTolvanTableLock Lock(*this);
  TTolvanMemoryRecordManager& Store = RequireRecords(ErrUpdateNoRecords);
  uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseNil(ErrUpdateNoBuffer);
  const TTolvanRecordID ID = Cursor.Position();
  uint8_t* Stored = Scratch(FStoredImage, size_t(RecordSize()));
  if (!ReadStored(ID, Stored) || !RunActions(Cursor, false, Stored))
    return false;
  if (HasBlobs()) {
    // A value this edit did not write is the stored record's, whatever the cursor's buffer
    // still holds from an earlier read.
    const TTolvanFieldDefs& Defs = *FieldDefs();
    for (int32_t F = 0; F < Defs.Count(); ++F) {
      const TTolvanFieldDef& Def = Defs.Items(F);
      if (!Def.IsBlob() || IsFieldNull(Buffer, F) || tolvan::IsBlobWritten(Buffer, Def))
        continue;
      std::memcpy(Buffer + Def.BufferOffset(), Stored + Def.BufferOffset(), BlobReferenceSize);
      SetFieldNull(Buffer, F, IsFieldNull(Stored, F));
    }
  }

  TPageCommit Commit(*this, SessionIDOf(&Cursor));
  const bool Indexed = HasIndexes();
  if (Indexed)
    IndexManager()->UpdateKeys(Cursor);
  if (!Store.UpdateRecord(Buffer, ID, -1)) {
    if (Indexed)
      UndoKeyUpdate(Cursor, Stored);
    return false;
  }
  if (HasBlobs())
    tolvan::SetBlobMarks(false, Buffer, *FieldDefs());
  Commit.Now();
  if (Cursor.ResultBitmap() && Cursor.ResultBitmap()->Filled())
    AfterPostUpdate(Cursor);
  return true;
}

void TTolvanMemoryTableData::DeleteAllRecords(TTolvanCursor& Cursor) {
  const std::optional<TWriteGateHold> Gate = GateForActions();
  TTolvanTableLock Lock(*this);
  TTolvanMemoryRecordManager& Store = RequireRecords(ErrDeleteAllNoRecords);
  TPageCommit Commit(*this, SessionIDOf(&Cursor));
  const bool Actions =
      ConstraintManager() && ConstraintManager()->ConstraintDefs().HasDeleteActions();
  if (IsRestricted(Cursor) || Actions) {
    TTolvanTableData::DeleteAllRecords(Cursor);
  } else if (Store.RecordCount() > 0) {
    ClearRecords();
    EmptyAllIndexes(SessionIDOf(&Cursor));
  }
  Commit.Now();
  Cursor.SetToBegin();
}

void TTolvanMemoryTableData::UpdateAllRecords(TTolvanCursor& Cursor, const TStringList& FieldNames,
                                              std::span<TTolvanVariant* const> Values,
                                              bool SkipForeignKeys) {
  const std::optional<TWriteGateHold> Gate = GateForActions();
  TTolvanTableLock Lock(*this);
  RequireRecords(ErrUpdateAllNoRecords);
  TPageCommit Commit(*this, SessionIDOf(&Cursor));
  TTolvanTableData::UpdateAllRecords(Cursor, FieldNames, Values, SkipForeignKeys);
  Commit.Now();
}

void TTolvanMemoryTableData::ClearRecords() {
  TTolvanMemoryRecordManager* Store = Records();
  if (!Store)
    return;
  if (HasBlobs() && Store->RecordCount() > 0) {
    TTolvanNavState State;
    State.Mode = rmNext;
    State.AtBegin = 1;
    State.Buffer = Scratch(FStoredImage, size_t(RecordSize()));
    for (;;) {
      Store->GetRecord(State);
      if (State.Result != rrOK)
        break;
      ReleaseBlobs(State.Buffer);
    }
  }
  Store->Clear(-1);
  FPageManager->Commit(-2);
}

// --- record numbers and counts ----------------------------------------------------------------

void TTolvanMemoryTableData::SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) {
  TTolvanTableLock Lock(*this);
  const TTolvanMemoryRecordManager& Store = RequireRecords(ErrSetRecNoNoRecords);
  const int64_t Slot = RecNo < 1 ? -1 : Store.RecNoToRecordID(RecNo - 1);
  if (Slot >= 0)
    Cursor.SetPosition({int32_t(Slot), 0});
}

int64_t TTolvanMemoryTableData::GetRecNoPhysical(TTolvanCursor& Cursor) {
  TTolvanTableLock Lock(*this);
  const TTolvanMemoryRecordManager& Store = RequireRecords(ErrGetRecNoNoRecords);
  const int32_t Slot = Cursor.Position().PageNo;
  if (Slot < 0 || Store.RecordCount() == 0 || Slot < Store.MinID() || Slot > Store.MaxID() ||
      Store.IsSlotDeleted(Slot))
    return -1;
  return Store.RecordIDToRecNo(Slot);
}

int64_t TTolvanMemoryTableData::GetTotalRecordCount() {
  return RequireRecords(ErrTotalCountNoRecords).RecordCount();
}

int64_t TTolvanMemoryTableData::GetAutoIncValue(int32_t FieldNo, TTolvanBaseSession* Session) {
  TTolvanTableLock Lock(*this);
  const TTolvanFieldDefs* Defs = FieldDefs();
  if (!Defs || FieldNo < 0 || FieldNo >= Defs->Count())
    throw ETolvanException::CreateFmt(ErrGetAutoIncFieldNo, SFieldNumberNotFound, FieldNo);
  return SequenceManager()->CurrentValue(Session, Defs->Items(FieldNo).SequenceID());
}

void TTolvanMemoryTableData::SetAutoIncValue(int32_t FieldNo, TTolvanCursor&, int64_t Value) {
  TTolvanTableLock Lock(*this);
  const TTolvanFieldDefs* Defs = FieldDefs();
  if (!Defs || FieldNo < 0 || FieldNo >= Defs->Count())
    throw ETolvanException::CreateFmt(ErrSetAutoIncFieldNo, SFieldNumberNotFound, FieldNo);
  SequenceManager()->GetSequence(Defs->Items(FieldNo).SequenceID()).SetCurrentValue(Value);
}

int64_t TTolvanMemoryTableData::LockedGetRecordCount(TTolvanCursor& Cursor) {
  TTolvanTableLock Lock(*this);
  return GetRecordCount(Cursor);
}

void TTolvanMemoryTableData::LockedSetRecNo(TTolvanCursor& Cursor, int64_t RecNo) {
  TTolvanTableLock Lock(*this);
  SetRecNo(Cursor, RecNo);
}

int64_t TTolvanMemoryTableData::LockedGetRecNo(TTolvanCursor& Cursor) {
  TTolvanTableLock Lock(*this);
  return GetRecNo(Cursor);
}

// --- TTolvanMemoryDatabaseData ------------------------------------------------------------------

TTolvanMemoryDatabaseData::TTolvanMemoryDatabaseData() {
  SetInMemory(true);
  SetTemporary(false);
}

TTolvanMemoryDatabaseData::~TTolvanMemoryDatabaseData() { FreeAllTables(); }

void TTolvanMemoryDatabaseData::AttachSession(TTolvanBaseSession& Session) {
  Lock(true);
  try {
    const auto& List = Sessions();
    if (std::find(List.begin(), List.end(), &Session) != List.end()) {
      // Attached already: the session keeps its number.
    } else if (tolvan::Release().MemorySessionIdZero) {
      // Release 3.90 numbers no session: all share 0. That is safe because every table
      // operation commits its pages before it leaves the table lock, and a cached key path is
      // reused only for the record it names, every key change dropping it.
      Session.SetSessionID(0);
      TTolvanDatabaseData::AttachSession(Session);
    } else {
      if (FLastSessionID == std::numeric_limits<int32_t>::max())
        throw ERangeError(std::string(SysConst::SRangeError));
      const int32_t ID = FLastSessionID + 1;
      TTolvanDatabaseData::AttachSession(Session);
      Session.SetSessionID(ID);
      FLastSessionID = ID;
    }
  } catch (...) {
    Unlock();
    throw;
  }
  Unlock();
}

namespace {

// The smallest table stream: the 43-byte header and the object-id counter, without name or body.
constexpr int64_t MinTableStreamSize = 51;

// Holds a database's lock for the scope.
class TDatabaseHold {
public:
  TDatabaseHold(TTolvanDatabaseData& Database, bool Exclusive) : FDatabase(Database) {
    FDatabase.Lock(Exclusive);
  }
  ~TDatabaseHold() { FDatabase.Unlock(); }
  TDatabaseHold(const TDatabaseHold&) = delete;
  TDatabaseHold& operator=(const TDatabaseHold&) = delete;

private:
  TTolvanDatabaseData& FDatabase;
};

// Tables made here and not registered: each is closed and destroyed with the list.
class TTableList {
public:
  explicit TTableList(TTolvanDatabaseData& Database) : FDatabase(Database) {}
  ~TTableList() {
    for (auto& Table : FTables)
      FDatabase.DestroyTable(std::move(Table));
  }
  TTableList(const TTableList&) = delete;
  TTableList& operator=(const TTableList&) = delete;

  std::vector<std::unique_ptr<TTolvanTableData>>& Tables() noexcept { return FTables; }

private:
  TTolvanDatabaseData& FDatabase;
  std::vector<std::unique_ptr<TTolvanTableData>> FTables;
};

} // namespace

// The database stream: an Int32 table count (written 11759, read 11760), then one table stream
// per table. The whole stream is read and checked into new tables before any registered table
// is touched, so a damaged stream leaves the database as it was (the object-id counter may have
// grown, which keeps ids unique and changes nothing else).
void TTolvanMemoryDatabaseData::LoadDatabaseFromStream(TTolvanBaseSession&, TStream& Stream) {
  TWriteGateHold Gate(WriteGate());
  TDatabaseHold Hold(*this, true);
  const int32_t Count = ReadStreamValue<int32_t>(Stream, ErrDatabaseStreamCountRead);
  if (Count < 0 || Count > StreamBytesLeft(Stream) / MinTableStreamSize)
    throw ETolvanException::CreateFmt(ErrDatabaseStreamCountRead, SInvalidTableStreamField,
                                      "table count", Count);
  TTableList Loaded(*this);
  auto& Tables = Loaded.Tables();
  Tables.reserve(size_t(Count));
  for (int32_t I = 0; I < Count; ++I) {
    auto Table =
        std::make_unique<TTolvanMemoryTableData>(*this, DefaultMemoryTableAllocBy, FIndexFactory);
    Table->SetName(ReadTableNameFromStream(Stream));
    // A memory table's load reads nothing of a cursor: none is needed for a table no cursor
    // can have reached yet.
    Table->LoadFromStream(nullptr, Stream);
    // A later table of the same name replaces an earlier one, as loading them in turn would.
    for (auto& Earlier : Tables)
      if (Earlier && AnsiSameText(Earlier->TableName(), Table->TableName()))
        DestroyTable(std::move(Earlier));
    Tables.push_back(std::move(Table));
  }
  for (const auto& Table : Tables) {
    if (!Table)
      continue;
    TTolvanTableData* Old = FindTableData(Table->TableName());
    if (Old && !Old->Cursors().empty())
      throw ETolvanException::CreateFmt(ErrLoadTableWithCursors, SCannotLoadOpenTable,
                                        Old->TableName());
  }
  // The tables they replace leave the list (with Replaced) only after every new one is in.
  TTableList Replaced(*this);
  Replaced.Tables().reserve(Tables.size());
  for (auto& Table : Tables) {
    if (!Table)
      continue;
    if (TTolvanTableData* Old = FindTableData(Table->TableName()))
      Replaced.Tables().push_back(RemoveTable(*Old));
    AddTable(std::move(Table));
  }
}

// Every table in the database's order, each written whole while cursors may stay open on it.
void TTolvanMemoryDatabaseData::SaveDatabaseToStream(TTolvanBaseSession&, TStream& Stream,
                                                     TTolvanCompressionAlgorithm Algorithm,
                                                     uint8_t Level, int32_t Value) {
  TWriteGateHold Gate(WriteGate());
  TDatabaseHold Hold(*this, true);
  TStringList Names;
  GetTableNames(Names);
  WriteStreamValue<int32_t>(Stream, Names.Count(), ErrDatabaseStreamCountWrite);
  for (int32_t I = 0; I < Names.Count(); ++I) {
    // Under the exclusive lock no table of the list can go meanwhile.
    if (TTolvanTableData* Table = FindTableData(Names.Strings(I)))
      Table->SaveToStream(Stream, Algorithm, Level, Value, true);
  }
}

std::unique_ptr<TTolvanTableData>
TTolvanMemoryDatabaseData::CreateTableData(TTolvanCursor& Cursor) {
  auto Table =
      std::make_unique<TTolvanMemoryTableData>(*this, Cursor.MemoryTableAllocBy(), FIndexFactory);
  Table->SetName(Cursor.TableName());
  return Table;
}

void TTolvanMemoryDatabaseData::CloseTableData(TTolvanTableData& Table) {
  if (auto* Memory = dynamic_cast<TTolvanMemoryTableData*>(&Table))
    Memory->Close();
}

TTolvanDatabaseFactory RegisterMemoryEngine() {
  return RegisterDatabaseEngine(MemoryDatabaseName, [] {
    return std::unique_ptr<TTolvanDatabaseData>(std::make_unique<TTolvanMemoryDatabaseData>());
  });
}

} // namespace tolvan
