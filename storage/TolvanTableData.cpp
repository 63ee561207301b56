#include "storage/TolvanTableData.h"

#include <algorithm>
#include <limits>
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
    : FDatabase(Database),
      FIndexFactory(Factory ? std::move(Factory) : BTreeIndexFactory()) {}

TTolvanTableData::~TTolvanTableData() { FreeManagers(); }

void TTolvanTableData::FreeManagers() noexcept {
  FIndexManager.reset();
  FRecordManager.reset();
  FFieldManager.reset();
  FSequenceManager.reset();
}

void TTolvanTableData::RaiseNotSupported() {
  throw ETolvanException::Create(ErrNotSupported, SOperationNotSupported);
}

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
  if (!FCursors.empty())
    throw ETolvanException::CreateFmt(ErrLoadTableWithCursors, SCannotLoadOpenTable, FTableName);
}

void TTolvanTableData::SaveToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t, int32_t,
                                    bool AllowOpen) {
  if (!AllowOpen && !FCursors.empty())
    throw ETolvanException::CreateFmt(ErrSaveTableWithCursors, SCannotSaveOpenTable, FTableName);
}

void TTolvanTableData::EmptyIndex(int32_t IndexID, int32_t SessionID) {
  if (FIndexManager)
    FIndexManager->EmptyIndex(SessionID, IndexID);
}

void TTolvanTableData::EmptyAllIndexes(int32_t SessionID) {
  if (FIndexManager)
    FIndexManager->EmptyAll(SessionID);
}

void TTolvanTableData::ForeignKeyAdded(int32_t) {}

void TTolvanTableData::ApplyDefaults(TTolvanCursor& Cursor, uint8_t* Buffer, bool ApplyAutoInc) {
  if (FFieldManager)
    FFieldManager->ApplyDefaults(Cursor.Session(), Buffer, ApplyAutoInc);
}

void TTolvanTableData::EditRecord(TTolvanCursor&) {}

int64_t TTolvanTableData::GetAutoIncValue(int32_t, TTolvanBaseSession*) { return 0; }

void TTolvanTableData::SetAutoIncValue(int32_t, TTolvanCursor&, int64_t) {}

void TTolvanTableData::BeginTableUse() { ++FUseCount; }

void TTolvanTableData::EndTableUse() { --FUseCount; }

void TTolvanTableData::TransactionStarted() {}

void TTolvanTableData::TransactionCommitted() {}

void TTolvanTableData::TransactionRolledBack() {}

bool TTolvanTableData::PageNeedsReload(int32_t) { return false; }

void TTolvanTableData::SetRecordManager(std::unique_ptr<TTolvanBaseRecordManager> Value) noexcept {
  FRecordManager = std::move(Value);
}

// --- slots the base does not provide yet
// ----------------------------------------------------------

void TTolvanTableData::DeleteTable(TTolvanBaseSession*, bool, bool) { RaiseNotSupported(); }

void TTolvanTableData::EmptyTable(TTolvanCursor*, bool) { RaiseNotSupported(); }

void TTolvanTableData::RenameTable(TTolvanCursor*, std::string_view) { RaiseNotSupported(); }

void TTolvanTableData::AddForeignKey(TTolvanCursor&, TTolvanConstraintDefForeignKey&) {
  RaiseNotSupported();
}

void TTolvanTableData::DeleteConstraint(TTolvanCursor*, std::string_view, bool, bool) {
  RaiseNotSupported();
}

void TTolvanTableData::RenameReferencedTable(int32_t, std::string_view, std::string_view) {
  RaiseNotSupported();
}

void TTolvanTableData::AttachCursor(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::DetachCursor(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::RenameField(TTolvanCursor*, std::string_view, std::string_view) {
  RaiseNotSupported();
}

void TTolvanTableData::AddIndex(TTolvanIndexDef&, TTolvanCursor*) { RaiseNotSupported(); }

void TTolvanTableData::DeleteIndex(int32_t, TTolvanCursor*) { RaiseNotSupported(); }

void TTolvanTableData::DeleteAllIndexes(TTolvanCursor*) { RaiseNotSupported(); }

bool TTolvanTableData::Search(TTolvanCursor&, TTolvanExpression*, const TTolvanScanSearchCondition*,
                              bool, bool, TTolvanRecordID*, TTolvanRecordBitmap*, bool) {
  RaiseNotSupported();
}

bool TTolvanTableData::RecordExists(TTolvanCursor&) { RaiseNotSupported(); }

TTolvanGetRecordResult TTolvanTableData::GetRecord(TTolvanCursor&, TTolvanGetRecordMode) {
  RaiseNotSupported();
}

std::unique_ptr<TTolvanStream> TTolvanTableData::OpenBlob(TTolvanCursor&, bool, int32_t,
                                                          TTolvanBlobOpenMode) {
  RaiseNotSupported();
}

void TTolvanTableData::WriteBlob(TTolvanCursor&, int32_t, TTolvanCompressedBLOBStream&) {
  RaiseNotSupported();
}

void TTolvanTableData::FreeBlob(uint8_t*, int32_t) { RaiseNotSupported(); }

void TTolvanTableData::CheckConstraints(TTolvanCursor&, int32_t, uint8_t*, uint8_t*, bool,
                                        const TTolvanRecordID&, bool) {
  RaiseNotSupported();
}

void TTolvanTableData::CancelRecord(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::DeleteAllRecords(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::UpdateAllRecords(TTolvanCursor&, const TStringList&,
                                        std::span<TTolvanVariant* const>, bool) {
  RaiseNotSupported();
}

int64_t TTolvanTableData::GetRecordCount(TTolvanCursor&) { RaiseNotSupported(); }

void TTolvanTableData::SetRecNo(TTolvanCursor&, int64_t) { RaiseNotSupported(); }

int64_t TTolvanTableData::GetRecNo(TTolvanCursor&) { RaiseNotSupported(); }

} // namespace tolvan
