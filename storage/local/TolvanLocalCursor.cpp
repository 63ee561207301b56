#include "storage/local/TolvanLocalCursor.h"

#include <algorithm>
#include <cstring>

#include "classlib/DB.h"
#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanRelease.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/local/TolvanLocalSession.h"
#include "storage/local/TolvanRecordBudget.h"

namespace tolvan {

namespace {

// A bookmark flag of a record the cursor has just inserted.
constexpr uint8_t InsertedRecordFlag = bfInserted;

const char* BoolNumber(bool Value) { return Value ? "-1" : "0"; }

} // namespace

TTolvanLocalCursor::TTolvanLocalCursor() = default;

TTolvanLocalCursor::~TTolvanLocalCursor() {
  try {
    CloseTable();
  } catch (...) {
    // Destructors never raise; an owner that cares closes first.
  }
  ReleaseOpenState();
  FreeWorkBuffer();
}

// --- helpers ------------------------------------------------------------------------------------

TTolvanDatabaseData& TTolvanLocalCursor::SessionDatabase() {
  auto* Local = dynamic_cast<TTolvanLocalSession*>(Session());
  TTolvanDatabaseData* Database = Local ? Local->Database() : nullptr;
  if (!Database)
    throw ETolvanException::CreateFmt(ErrCursorSessionNotConnected, SCursorSessionNotConnected,
                                      TableName());
  FDatabase = Database;
  return *Database;
}

TTolvanTableData* TTolvanLocalCursor::FindTable() { return SessionDatabase().FindTableData(*this); }

TTolvanTableData& TTolvanLocalCursor::OpenTableData() const {
  if (!FTableData)
    throw ETolvanException::CreateFmt(ErrCursorNotOpen, SCursorNotOpen, TableName());
  return *FTableData;
}

void TTolvanLocalCursor::CopyIndexAndConstraintDefs() {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableLock Lock(Table);
  if (Table.IndexManager())
    IndexDefs().Assign(Table.IndexManager()->IndexDefs());
  else
    IndexDefs().Clear();
  if (Table.ConstraintManager())
    ConstraintDefs().Assign(Table.ConstraintManager()->ConstraintDefs());
  else
    ConstraintDefs().Clear();
  // The current index may have gone or changed its id.
  if (!IndexName().empty())
    SetIndexName(IndexName());
}

void TTolvanLocalCursor::ReleaseOpenState() noexcept {
  FResultBitmap.reset();
  FFilter.reset();
  FExternalFilter.reset();
  TTolvanCursor::SetProbeFilter(nullptr);
  // A search still running (a callback closed the cursor) keeps its buffers until it ends.
  if (FSearchBuffers && !FSearchBuffers->SearchInUse && !FSearchBuffers->ResultInUse)
    FSearchBuffers.reset();
  while (!FOpenBlobs.empty())
    FreeBlobEntry(FOpenBlobs.size() - 1);
  FHasBlobList = false;
  StoreRange(nullptr, nullptr, RangeStartKeyFieldCount(), RangeEndKeyFieldCount(),
             RangeStartExclusive(), RangeEndExclusive());
  FRangeStart.reset();
  FRangeEnd.reset();
  FieldDefs().Clear();
  if (!ProjectionSet())
    VisibleFieldDefs().Clear();
  IndexDefs().Clear();
  ConstraintDefs().Clear();
}

void TTolvanLocalCursor::FreeBlobEntry(size_t Index) noexcept {
  std::unique_ptr<TTolvanLocalBLOBStream> Stream = std::move(FOpenBlobs[Index]);
  FOpenBlobs.erase(FOpenBlobs.begin() + std::ptrdiff_t(Index));
  if (Stream) {
    if (ITolvanBlobStreamOwner* Owner = Stream->Owner()) {
      Stream->SetOwner(nullptr);
      Owner->CloseFromEngine();
    }
  }
}

// --- open and definitions -----------------------------------------------------------------------

void TTolvanLocalCursor::InitFieldDefs() {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableLock Lock(Table);
  const TTolvanFieldDefs* Defs = Table.FieldDefs();
  if (!Defs)
    throw ETolvanException::Create(ErrNoFieldsSpecified, SNoFieldsSpecifiedForTable);
  FieldDefs().Assign(*Defs);
  SetRecordLayout();
  if (!ProjectionSet()) {
    VisibleFieldDefs().Assign(FieldDefs());
    for (int32_t I = 0; I < VisibleFieldDefs().Count(); ++I)
      VisibleFieldDefs().Items(I).SetTableFieldNo(I);
  }
  if (Table.ConstraintManager())
    ConstraintDefs().Assign(Table.ConstraintManager()->ConstraintDefs());
  else
    ConstraintDefs().Clear();
}

void TTolvanLocalCursor::OpenTable(TTolvanFieldDefs* FieldDefs, TTolvanIndexDefs* IndexDefs,
                                   TTolvanConstraintDefs* ConstraintDefs) {
  FreeSavedRecord();
  if (Opened())
    return;
  TTolvanDatabaseData& Database = SessionDatabase();
  // Find (or make) and attach under one hold of the exclusive lock, so that no other thread
  // deletes or replaces the table in between.
  TTolvanDatabaseWriteHold Hold(Database);
  TTolvanTableData* Table = Database.FindTableData(*this);
  if (!Table) {
    if (!InMemory())
      throw ETolvanException::CreateFmt(ErrOpenTableNotFound, STableNotFound, TableName());
    TTolvanFieldDefs NoFields;
    TTolvanIndexDefs NoIndexes;
    TTolvanConstraintDefs NoConstraints;
    Table = Database.GetTableData(*this, [&](TTolvanTableData& New) {
      if (BeforeCreateTable())
        BeforeCreateTable()();
      New.CreateTable(*this, FieldDefs ? *FieldDefs : NoFields, IndexDefs ? *IndexDefs : NoIndexes,
                      ConstraintDefs ? *ConstraintDefs : NoConstraints);
    });
  }
  FTableData = Table;
  FDirectTableData = false;
  try {
    Table->AttachCursor(*this);
  } catch (...) {
    FTableData = nullptr;
    ReleaseOpenState();
    throw;
  }
  SetToBegin();
  FOpenBlobs.clear();
  FHasBlobList = true;
  FResultBitmap = std::make_unique<TTolvanRecordBitmap>(Table);
  SetOpened(true);
}

void TTolvanLocalCursor::AttachToTableData(TTolvanTableData& TableData) {
  FreeSavedRecord();
  if (Opened())
    CloseTable();
  FTableData = &TableData;
  FDirectTableData = true;
  try {
    SetToBegin();
    CopyIndexAndConstraintDefs();
    FOpenBlobs.clear();
    FHasBlobList = true;
    InitFieldDefs();
    FResultBitmap = std::make_unique<TTolvanRecordBitmap>(&TableData);
  } catch (...) {
    FTableData = nullptr;
    FDirectTableData = false;
    ReleaseOpenState();
    throw;
  }
  SetOpened(true);
}

void TTolvanLocalCursor::RefreshDefs() {
  if (!Opened() || !FTableData)
    return;
  CopyIndexAndConstraintDefs();
  InitFieldDefs();
}

void TTolvanLocalCursor::CloseTable() {
  FreeSavedRecord();
  FreeWorkBuffer();
  // Streams first: an owner's teardown may still store through the table.
  CloseAllBlobs(false);
  bool TemporaryOpenedNormally = false;
  if (FTableData) {
    TTolvanTableData* Table = FTableData;
    TemporaryOpenedNormally = Table->IsTemporary() && !FDirectTableData;
    FTableData = nullptr;
    if (!FDirectTableData) {
      Table->DetachCursor(*this);
      // A temporary table's last cursor dropped it: the database destroys what is left.
      if (Table->DropPending() && FDatabase)
        FDatabase->DestroyTable(*Table);
      else if (Release().DeleteClosedDesignTables && DesignState() && InMemory() && FDatabase)
        DeleteDesignTable(*Table);
    }
  }
  FDirectTableData = false;
  ReleaseOpenState();
  if (OwnsSession() && Temporary() && TemporaryOpenedNormally)
    ReleaseOwnedSession().reset();
  SetOpened(false);
}

// The test for other cursors and the delete run under one hold of the exclusive lock, which
// every open takes too, so no cursor attaches in between. Should the delete be refused all the
// same, the table stays: closing never raises for it.
void TTolvanLocalCursor::DeleteDesignTable(TTolvanTableData& Table) noexcept {
  std::unique_ptr<TTolvanTableData> Removed;
  try {
    TTolvanDatabaseWriteHold Hold(*FDatabase);
    // Another thread may have deleted the table since the detach: only a registered one is
    // touched.
    const auto& Tables = FDatabase->Tables();
    const bool Registered = std::any_of(Tables.begin(), Tables.end(),
                                        [&](const auto& Each) { return Each.get() == &Table; });
    if (Registered && !Table.HasCursors() && Table.DeleteTable(Session(), true, false))
      Removed = FDatabase->RemoveTable(Table);
  } catch (...) {
  }
  FDatabase->DestroyTable(std::move(Removed));
}

void TTolvanLocalCursor::InitRecord(uint8_t* Buffer, bool ApplyDefaults) {
  SetAllNull(Buffer, FieldDefs().Count());
  if (!Temporary() && ApplyDefaults)
    OpenTableData().ApplyDefaults(*this, Buffer, true);
}

TTolvanIndexDefs& TTolvanLocalCursor::GetIndexDefs() {
  // Called by the table (under its lock) whenever its indexes change.
  if (FTableData) {
    TTolvanTableLock Lock(*FTableData);
    if (FTableData->IndexManager())
      IndexDefs().Assign(FTableData->IndexManager()->IndexDefs());
    else
      IndexDefs().Clear();
    if (!IndexName().empty())
      SetIndexName(IndexName());
  }
  return TTolvanCursor::GetIndexDefs();
}

// --- indexes ------------------------------------------------------------------------------------

void TTolvanLocalCursor::AddIndex(const TTolvanIndexDef& IndexDef) {
  TTolvanTableData& Table = OpenTableData();
  if (IndexDefs().FindByName(IndexDef.Name()))
    throw ETolvanException::CreateFmt(ErrAddIndexExists, SCannotCreateIndexAlreadyExists,
                                      IndexDef.Name());
  TTolvanIndexDef Copy;
  Copy.Assign(IndexDef);
  TTolvanTableWriteGate Gate(Table);
  Table.AddIndex(Copy, this);
  CopyIndexAndConstraintDefs();
}

void TTolvanLocalCursor::DeleteIndex(std::string_view Name) {
  TTolvanTableData& Table = OpenTableData();
  const TTolvanIndexDef* Def = IndexDefs().FindByName(Name);
  if (!Def)
    throw ETolvanException::CreateFmt(ErrDeleteIndexNotFound, SCannotDeleteIndexNotFound, Name);
  TTolvanTableWriteGate Gate(Table);
  Table.DeleteIndex(Def->ObjectID(), this);
  CopyIndexAndConstraintDefs();
}

void TTolvanLocalCursor::DeleteAllIndexes() {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableWriteGate Gate(Table);
  Table.DeleteAllIndexes(this);
  CopyIndexAndConstraintDefs();
}

void TTolvanLocalCursor::FindIndexForFields(const TStringList* FieldNames,
                                            const TStringList* Orders, const TStringList* CaseModes,
                                            AnsiString& IndexName) {
  IndexName = OpenTableData().FindIndexForForeignKey(*this, FieldNames, Orders, CaseModes);
}

void TTolvanLocalCursor::CreateIndexForFields(const TStringList* FieldNames,
                                              AnsiString& IndexName) {
  TTolvanCursor::CreateIndexForFields(FieldNames, IndexName);
}

// --- information and navigation -----------------------------------------------------------------

bool TTolvanLocalCursor::IsTemporaryTable() { return FTableData && FTableData->IsTemporary(); }

bool TTolvanLocalCursor::IsMemoryTable() { return FTableData && FTableData->IsMemory(); }

bool TTolvanLocalCursor::IsRecordValid() { return OpenTableData().RecordExists(*this); }

int64_t TTolvanLocalCursor::GetRecordCount() {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableLock Lock(Table);
  return Table.GetRecordCount(*this);
}

TTolvanGetRecordResult TTolvanLocalCursor::GetRecord(TTolvanGetRecordMode Mode) {
  ChargeRecordBudget();
  const TTolvanGetRecordResult Result = OpenTableData().GetRecord(*this, Mode);
  // The store fills the columns; the buffer's trailer names the record, so that a later update
  // or delete finds it by the buffer (the position may have moved on by then).
  if (Result == rrOK)
    if (uint8_t* Buffer = RecordBuffer())
      StoreRecordTrailer(Buffer, RecordIDOffset(), {Position(), bfCurrent});
  return Result;
}

void TTolvanLocalCursor::SetRecNo(int64_t RecNo) {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableLock Lock(Table);
  Table.SetRecNo(*this, RecNo);
}

int64_t TTolvanLocalCursor::GetRecNo() {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableLock Lock(Table);
  return Table.GetRecNo(*this);
}

// --- editing ------------------------------------------------------------------------------------

void TTolvanLocalCursor::InsertRecordHook() {}

void TTolvanLocalCursor::EditRecord() {
  TTolvanTableData& Table = OpenTableData();
  SetLastErrorCode(0);
  if (Table.IsTemporary()) {
    SetLastErrorCode(-9);
    return;
  }
  Table.EditRecord(*this);
}

void TTolvanLocalCursor::CancelRecord(bool) {
  TTolvanTableData& Table = OpenTableData();
  SetLastErrorCode(0);
  if (Table.IsTemporary()) {
    SetLastErrorCode(-11);
    return;
  }
  CloseAllBlobs(true);
  Table.CancelRecord(*this);
}

void TTolvanLocalCursor::PostRecord(bool Insert) {
  ChargeRecordBudget();
  SetLastErrorText({});
  TTolvanTableData& Table = OpenTableData();
  const int32_t SessionID = Session() ? Session()->SessionID() : -1;
  // A foreign-key check or action opens another table while this one is locked; writers of the
  // database take turns at its gate first.
  TTolvanTableWriteGate Gate(Table);
  // One hold across check and store: no other writer gets between them.
  TTolvanTableLock Lock(Table);
  try {
    Table.CheckConstraints(*this, SessionID, RecordBuffer(), BeforeImage(), Insert, Position(),
                           false);
  } catch (const Exception& E) {
    SetLastErrorCode(-8);
    SetLastErrorText(E.Message());
    return;
  }
  CloseAllBlobs(true);
  if (Insert) {
    const bool Inserted = Table.InsertRecord(*this);
    if (Inserted) {
      SetLastErrorCode(0);
    } else {
      SetLastErrorCode(-1);
      SetLastErrorText(
          Format(SErrorAddingRecord, TableName(), BoolNumber(InMemory()), BoolNumber(Temporary())));
    }
    if (uint8_t* Buffer = RecordBuffer()) {
      StoreRecordID(Buffer, RecordIDOffset(), Position());
      StoreBookmarkFlag(Buffer, RecordIDOffset(), InsertedRecordFlag);
    }
    return;
  }
  if (!RecordBuffer())
    throw EDatabaseError(std::string(SCursorHasNoRecordBuffer));
  SetPosition(LoadRecordID(RecordBuffer(), RecordIDOffset()));
  SetLastErrorCode(0);
  try {
    if (!Table.UpdateRecord(*this)) {
      SetLastErrorCode(-2);
      SetLastErrorText(SErrorUpdatingRecord);
    }
  } catch (const Exception& E) {
    SetLastErrorCode(-2);
    SetLastErrorText(AnsiString(SErrorUpdatingRecord) + E.Message());
  }
}

void TTolvanLocalCursor::DeleteRecord() {
  ChargeRecordBudget();
  SetLastErrorText({});
  TTolvanTableData& Table = OpenTableData();
  if (Table.IsTemporary()) {
    SetLastErrorCode(-10);
    return;
  }
  if (!RecordBuffer())
    throw EDatabaseError(std::string(SCursorHasNoRecordBuffer));
  SetPosition(LoadRecordID(RecordBuffer(), RecordIDOffset()));
  SetLastErrorCode(0);
  TTolvanTableWriteGate Gate(Table);
  try {
    if (!Table.DeleteRecord(*this))
      SetLastErrorCode(-3);
  } catch (const Exception& E) {
    SetLastErrorCode(-3);
    SetLastErrorText(E.Message());
  }
}

int32_t TTolvanLocalCursor::DeleteAllRecords() {
  ChargeRecordBudget();
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableWriteGate Gate(Table);
  Table.DeleteAllRecords(*this);
  return 0;
}

int32_t TTolvanLocalCursor::UpdateAllRecords(const TStringList& FieldNames,
                                             std::span<TTolvanVariant* const> Values,
                                             bool SkipForeignKeys) {
  ChargeRecordBudget();
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableWriteGate Gate(Table);
  Table.UpdateAllRecords(*this, FieldNames, Values, SkipForeignKeys);
  return 0;
}

// --- filter, range and search -------------------------------------------------------------------

void TTolvanLocalCursor::ResetResultBitmap() {
  if (FResultBitmap)
    FResultBitmap->SetFilled(false);
}

void TTolvanLocalCursor::SetMasterFields(const TStringList* FieldNames, int32_t KeyFieldCount) {
  TTolvanCursor::SetMasterFields(FieldNames, KeyFieldCount);
}

void TTolvanLocalCursor::SetProjection(const TStringList& FieldNames, const TStringList& Aliases) {
  if (FieldNames.Count() != Aliases.Count())
    throw ETolvanException::CreateFmt(ErrProjectionListLength, SDifferentListsLength,
                                      FieldNames.Count(), Aliases.Count());
  if (FieldNames.Count() == 0)
    throw ETolvanException::Create(ErrProjectionNoFields, SNoProjectionFields);
  // Built aside first: a refused name leaves the visible fields as they were.
  std::vector<std::unique_ptr<TTolvanFieldDef>> Visible;
  Visible.reserve(size_t(FieldNames.Count()));
  for (int32_t I = 0; I < FieldNames.Count(); ++I) {
    const int32_t Position = FieldDefs().IndexOfName(FieldNames.Strings(I));
    if (Position < 0)
      throw ETolvanException::CreateFmt(ErrProjectionFieldNotFound, SCannotFindField,
                                        FieldNames.Strings(I));
    auto Def = std::make_unique<TTolvanFieldDef>();
    Def->Assign(FieldDefs().Items(Position));
    Def->SetTableFieldNo(Position);
    if (!Aliases.Strings(I).empty())
      Def->SetName(Aliases.Strings(I));
    Visible.push_back(std::move(Def));
  }
  VisibleFieldDefs().Clear();
  for (auto& Def : Visible)
    VisibleFieldDefs().Add(std::move(Def));
}

void TTolvanLocalCursor::SetFilter(std::string_view Text, bool CaseInsensitive,
                                   bool PartialCompare) {
  FFilter.reset();
  auto Expression = std::make_unique<TTolvanExpression>();
  Expression->ParseFilter(this, Text, CaseInsensitive, PartialCompare);
  // A sub-query runs a statement of its own: it runs now, not at the first record a scan
  // tests while it holds this table's lock. Its failure waits for that record.
  Expression->ResetSubQueries(nullptr);
  Expression->RunSubQueries();
  FFilter = std::move(Expression);
  ResetResultBitmap();
}

void TTolvanLocalCursor::ClearFilter() {
  if (FExternalFilter)
    return;
  FFilter.reset();
  ResetResultBitmap();
}

bool TTolvanLocalCursor::Locate(std::string_view FieldNames, const Variant& KeyValues,
                                bool CaseInsensitive, bool PartialKey) {
  TTolvanTableData& Table = OpenTableData();
  TTolvanExpression Expression;
  Expression.BuildLocate(this, FieldNames, KeyValues, CaseInsensitive, PartialKey);
  if (!Table.Locate(*this, &Expression))
    return false;
  // As after GetRecord: the buffer names the record it holds, for a later update or delete.
  if (uint8_t* Buffer = RecordBuffer())
    StoreRecordTrailer(Buffer, RecordIDOffset(), {Position(), bfCurrent});
  return true;
}

bool TTolvanLocalCursor::GotoKey(uint8_t ConditionType) {
  return OpenTableData().GotoKey(*this, ConditionType);
}

void TTolvanLocalCursor::CancelRange() {
  StoreRange(nullptr, nullptr, RangeStartKeyFieldCount(), RangeEndKeyFieldCount(),
             RangeStartExclusive(), RangeEndExclusive());
  FRangeStart.reset();
  FRangeEnd.reset();
  ResetResultBitmap();
}

void TTolvanLocalCursor::SetRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                                  int32_t EndKeyFieldCount, bool StartExclusive,
                                  bool EndExclusive) {
  // A key has the record layout without the trailer: the null bitmap and the columns.
  const int32_t KeySize = RecordIDOffset();
  auto Copy = [&](const uint8_t* Key) -> std::unique_ptr<uint8_t, TTolvanMemDeleter> {
    if (!Key)
      return nullptr;
    std::unique_ptr<uint8_t, TTolvanMemDeleter> Own(
        static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(std::max(RecordSize(), 1))));
    std::memcpy(Own.get(), Key, size_t(KeySize));
    return Own;
  };
  auto Start = Copy(StartKey);
  auto End = Copy(EndKey);
  StoreRange(Start.get(), End.get(), StartKeyFieldCount, EndKeyFieldCount, StartExclusive,
             EndExclusive);
  FRangeStart = std::move(Start);
  FRangeEnd = std::move(End);
  ResetResultBitmap();
}

void TTolvanLocalCursor::SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) {
  if (Expression)
    Expression->BindToCursor(this);
  FExternalFilter = std::move(Expression);
  ResetResultBitmap();
}

std::unique_ptr<TTolvanExpression> TTolvanLocalCursor::ReleaseExternalFilter() {
  ResetResultBitmap();
  return std::move(FExternalFilter);
}

void TTolvanLocalCursor::SetProbeFilter(TTolvanExpression* Expression) {
  if (Expression)
    Expression->BindToCursor(this);
  TTolvanCursor::SetProbeFilter(Expression);
  ResetResultBitmap();
}

TTolvanExpression* TTolvanLocalCursor::Filter() const { return FFilter.get(); }

TTolvanExpression* TTolvanLocalCursor::ExternalFilter() const { return FExternalFilter.get(); }

TTolvanRecordBitmap* TTolvanLocalCursor::ResultBitmap() const { return FResultBitmap.get(); }

TTolvanSearchBuffers* TTolvanLocalCursor::SearchBuffers() {
  if (!FSearchBuffers)
    FSearchBuffers = std::make_unique<TTolvanSearchBuffers>();
  return FSearchBuffers.get();
}

// --- BLOBs --------------------------------------------------------------------------------------

TTolvanStream* TTolvanLocalCursor::OpenBlob(bool NewRecord, int32_t FieldNo,
                                            TTolvanBlobOpenMode Mode) {
  const int32_t Count = VisibleFieldDefs().Count();
  if (FieldNo < 0 || FieldNo >= Count)
    throw ETolvanException::CreateFmt(ErrOpenBlobFieldNo, SInvalidFieldNumber, FieldNo, Count);
  if (!FHasBlobList)
    throw ETolvanException::Create(ErrOpenBlobNoList, SNilPointerOccurred);
  const int32_t TableNo = TableFieldNo(FieldNo, ErrOpenBlobFieldNo);
  if (Mode != tbmRead)
    for (const auto& Open : FOpenBlobs) {
      if (!Open)
        throw ETolvanException::Create(ErrOpenBlobNilEntry, SNilPointerOccurred);
      if (Open->FieldNo() == TableNo && Open->Mode() != tbmRead)
        throw ETolvanException::CreateFmt(ErrOpenBlobAlreadyOpened, SBlobFieldAlreadyOpened,
                                          FieldNo, VisibleFieldDefs().Items(FieldNo).Name());
    }
  std::unique_ptr<TTolvanStream> Stream = OpenTableData().OpenBlob(*this, NewRecord, TableNo, Mode);
  if (!Stream)
    return nullptr;
  auto* Local = dynamic_cast<TTolvanLocalBLOBStream*>(Stream.get());
  if (!Local)
    throw ETolvanException::Create(ErrOpenBlobNilEntry, SNilPointerOccurred);
  FOpenBlobs.reserve(FOpenBlobs.size() + 1);
  Stream.release();
  FOpenBlobs.emplace_back(Local);
  return Local;
}

void TTolvanLocalCursor::CloseBlob(int32_t FieldNo) {
  const int32_t Count = VisibleFieldDefs().Count();
  if (FieldNo < 0 || FieldNo >= Count)
    throw ETolvanException::CreateFmt(ErrCloseBlobFieldNo, SInvalidFieldNumber, FieldNo, Count);
  if (!FHasBlobList)
    throw ETolvanException::Create(ErrCloseBlobNoList, SNilPointerOccurred);
  const int32_t TableNo = TableFieldNo(FieldNo, ErrCloseBlobFieldNo);
  for (size_t I = 0; I < FOpenBlobs.size();) {
    TTolvanLocalBLOBStream* Stream = FOpenBlobs[I].get();
    if (!Stream)
      throw ETolvanException::Create(ErrCloseBlobNilEntry, SNilPointerOccurred);
    if (Stream->FieldNo() != TableNo) {
      ++I;
      continue;
    }
    if (Stream->Mode() != tbmRead) {
      TTolvanTableData& Table = OpenTableData();
      TTolvanTableWriteGate Gate(Table);
      Table.WriteBlob(*this, TableNo, *Stream);
    }
    // Taken out of the list before its owner goes: the owner's teardown may close the field
    // again and must find nothing left to store.
    FreeBlobEntry(I);
  }
}

void TTolvanLocalCursor::CloseAllBlobs(bool OnlyWritable) {
  size_t I = 0;
  while (I < FOpenBlobs.size()) {
    TTolvanLocalBLOBStream* Stream = FOpenBlobs[I].get();
    if (!Stream)
      throw ETolvanException::Create(ErrCloseAllBlobsNilEntry, SNilPointerOccurred);
    if (OnlyWritable && Stream->Mode() == tbmRead) {
      ++I;
      continue;
    }
    if (ITolvanBlobStreamOwner* Owner = Stream->Owner()) {
      // The owner's close closes the field through the dataset (CloseBlob), which stores what
      // was written; the stream stays listed for it. Whatever the owner left is dropped below.
      Stream->SetOwner(nullptr);
      Owner->CloseFromEngine();
      const auto Left = std::find_if(FOpenBlobs.begin(), FOpenBlobs.end(),
                                     [&](const auto& Open) { return Open.get() == Stream; });
      if (Left != FOpenBlobs.end())
        FreeBlobEntry(size_t(Left - FOpenBlobs.begin()));
      I = 0; // the owner may have closed other streams of the field
      continue;
    }
    FreeBlobEntry(I);
  }
}

std::unique_ptr<TTolvanStream> TTolvanLocalCursor::OpenBlobReader(int32_t TableFieldNo) {
  uint8_t* Buffer = RecordBuffer();
  if (!Buffer || TableFieldNo < 0 || TableFieldNo >= FieldDefs().Count() ||
      IsFieldNull(Buffer, TableFieldNo))
    return nullptr;
  return OpenTableData().OpenBlob(*this, false, TableFieldNo, tbmRead);
}

// --- auto-increment and table use ---------------------------------------------------------------

int64_t TTolvanLocalCursor::GetAutoIncValue(int32_t FieldNo) {
  return OpenTableData().GetAutoIncValue(FieldNo, Session());
}

void TTolvanLocalCursor::SetAutoIncValue(int32_t FieldNo, int64_t Value) {
  TTolvanTableData& Table = OpenTableData();
  TTolvanTableWriteGate Gate(Table);
  Table.SetAutoIncValue(FieldNo, *this, Value);
}

void TTolvanLocalCursor::BeginTableUse() { OpenTableData().BeginTableUse(); }

void TTolvanLocalCursor::EndTableUse() { OpenTableData().EndTableUse(); }

// --- the saved record ---------------------------------------------------------------------------

void TTolvanLocalCursor::SaveCurrentRecord() {
  FreeSavedRecord();
  FSavedWithRecord = RecordBuffer() != nullptr;
  FSavedPosition = SavePosition();
}

void TTolvanLocalCursor::RestoreCurrentRecord() {
  if (!FSavedPosition)
    return;
  const TTolvanCursorPosition Saved = *FSavedPosition;
  const bool WithRecord = FSavedWithRecord;
  FreeSavedRecord();
  RestorePosition(Saved);
  if (!WithRecord) {
    SetRecordBuffer(nullptr);
    return;
  }
  // The record is read again rather than copied back: bytes saved earlier would show contents
  // the table no longer holds and name BLOB values that may be gone.
  if (!Opened() || !RecordBuffer() || Saved.Bof != 0 || Saved.Eof != 0)
    return;
  if (GetRecord(rmCurrent) != rrOK)
    RestorePosition(Saved);
}

void TTolvanLocalCursor::FreeSavedRecord() noexcept {
  FSavedPosition.reset();
  FSavedWithRecord = false;
}

// --- side cursors -------------------------------------------------------------------------------

namespace {

class TLocalSideCursor : public TTolvanSideCursor {
public:
  TLocalSideCursor(TTolvanBaseSession* Session, bool InMemory, std::string_view Name,
                   bool Exclusive) {
    FCursor.SetSession(Session);
    FCursor.SetTableName(Name);
    FCursor.SetExclusive(Exclusive);
    // Opened as a cursor that never creates: a side cursor names a table that must exist.
    FCursor.OpenTable(nullptr, nullptr, nullptr);
    FCursor.SetInMemory(InMemory);
    FCursor.SetToBegin();
    FBuffer = FCursor.AllocRecordBuffer();
    FCursor.SetRecordBuffer(FBuffer);
  }
  ~TLocalSideCursor() override {
    FCursor.SetRecordBuffer(nullptr);
    TTolvanCursor::FreeRecordBuffer(FBuffer);
  }

  TTolvanCursor& Cursor() override { return FCursor; }
  TTolvanTableData& TableData() override { return *FCursor.TableData(); }
  void Close() override {
    FCursor.SetRecordBuffer(nullptr);
    TTolvanCursor::FreeRecordBuffer(FBuffer);
    FCursor.CloseTable();
  }

private:
  TTolvanLocalCursor FCursor;
  uint8_t* FBuffer = nullptr;
};

} // namespace

TTolvanSideCursorFactory RegisterLocalSideCursorFactory() {
  return RegisterSideCursorFactory([](TTolvanBaseSession* Session, bool InMemory,
                                      std::string_view Name,
                                      bool Exclusive) -> std::unique_ptr<TTolvanSideCursor> {
    return std::make_unique<TLocalSideCursor>(Session, InMemory, Name, Exclusive);
  });
}

} // namespace tolvan
