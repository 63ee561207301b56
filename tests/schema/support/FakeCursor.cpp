#include "tests/schema/support/FakeCursor.h"

#include <algorithm>
#include <cstring>

#include "classlib/DB.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"

namespace tolvan::test {

namespace {

[[noreturn]] void NotSupported() { throw ETolvanException::Create(11394, SOperationNotSupported); }

bool Less(const TTolvanRecordID& A, const TTolvanRecordID& B) {
  return A.PageNo != B.PageNo ? A.PageNo < B.PageNo : A.PageItemNo < B.PageItemNo;
}

} // namespace

// A BLOB value opened through the cursor: a memory stream that remembers whether it was
// written and refuses writes in read mode.
class TFakeBlobStream : public TTolvanStream {
public:
  TFakeBlobStream(int32_t TableFieldNo, TTolvanBlobOpenMode Mode)
      : FTableFieldNo(TableFieldNo), FMode(Mode) {}

  int32_t TableFieldNo() const noexcept { return FTableFieldNo; }
  TTolvanBlobOpenMode Mode() const noexcept { return FMode; }
  bool Writer() const noexcept { return FMode != tbmRead; }
  bool Written() const noexcept { return FWritten; }
  TTolvanMemoryStream& Data() noexcept { return FData; }

  int64_t GetSize() override { return FData.GetSize(); }
  void SetSize(int64_t NewSize) override {
    if (!Writer())
      throw ETolvanException::Create(10116, SCannotWriteToReadOnlyStream);
    FWritten = true;
    FData.SetSize(NewSize);
  }
  int64_t Read(void* Buffer, int64_t Count) override { return FData.Read(Buffer, Count); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (!Writer())
      throw ETolvanException::Create(10115, SCannotWriteToReadOnlyStream);
    FWritten = true;
    return FData.Write(Buffer, Count);
  }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FData.Seek(Offset, Origin); }

private:
  TTolvanMemoryStream FData;
  int32_t FTableFieldNo;
  TTolvanBlobOpenMode FMode;
  bool FWritten = false;
};

TFakeCursor::TFakeCursor() = default;

TFakeCursor::~TFakeCursor() {
  try {
    CloseTable();
  } catch (...) {
  }
}

// --- table --------------------------------------------------------------------------------------

void TFakeCursor::CreateTable(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                              TTolvanConstraintDefs& ConstraintDefs) {
  for (int32_t I = 0; I < IndexDefs.Count(); ++I)
    IndexDefs.Items(I).SetRootPageNo(-1);
  FTableExists = false;
  FRows.clear();
  FBlocks.clear();
  FFreeBlocks.clear();
  FNextID = 1;
  EnsureTable(&FieldDefs, &ConstraintDefs);
}

void TFakeCursor::EnsureTable(TTolvanFieldDefs* FieldDefs, TTolvanConstraintDefs* ConstraintDefs) {
  if (FTableExists)
    return;
  FTableFields.Clear();
  FTableConstraints.Clear();
  if (FieldDefs)
    FTableFields.Assign(*FieldDefs);
  if (ConstraintDefs)
    FTableConstraints.Assign(*ConstraintDefs);
  FTableFields.CalcLayout();
  FTableExists = true;
}

void TFakeCursor::DeleteTable(bool) { NotSupported(); }
void TFakeCursor::EmptyTable() { NotSupported(); }
void TFakeCursor::RenameTable(std::string_view) { NotSupported(); }
bool TFakeCursor::RepairTable(AnsiString&, TTolvanBaseSession*) { NotSupported(); }
void TFakeCursor::AddForeignKey(const TTolvanConstraintDefForeignKey&) { NotSupported(); }
void TFakeCursor::DeleteConstraint(std::string_view, bool, bool) { NotSupported(); }
void TFakeCursor::LoadTableFromStream(TStream&) { NotSupported(); }
void TFakeCursor::WriteTableToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t, int32_t, bool,
                                     bool) {
  NotSupported();
}
void TFakeCursor::GenerateTableSQL(bool, bool, bool, bool, bool, bool, bool, AnsiString&) {
  NotSupported();
}
void TFakeCursor::AddIndex(const TTolvanIndexDef&) { NotSupported(); }
void TFakeCursor::DeleteIndex(std::string_view) { NotSupported(); }
void TFakeCursor::DeleteAllIndexes() { NotSupported(); }
void TFakeCursor::FindIndexForFields(const TStringList*, const TStringList*, const TStringList*,
                                     AnsiString&) {
  NotSupported();
}
int32_t TFakeCursor::DeleteAllRecords() { NotSupported(); }
int32_t TFakeCursor::UpdateAllRecords(const TStringList&, std::span<TTolvanVariant* const>, bool) {
  NotSupported();
}
void TFakeCursor::SetFilter(std::string_view, bool, bool) { NotSupported(); }
bool TFakeCursor::Locate(std::string_view, const Variant&, bool, bool) { NotSupported(); }
bool TFakeCursor::GotoKey(uint8_t) { NotSupported(); }
int64_t TFakeCursor::GetAutoIncValue(int32_t) { NotSupported(); }
void TFakeCursor::SetAutoIncValue(int32_t, int64_t) { NotSupported(); }

// --- open, close, definitions -------------------------------------------------------------------

void TFakeCursor::InitFieldDefs() {
  FieldDefs().Assign(FTableFields);
  SetRecordLayout();
  if (!ProjectionSet()) {
    VisibleFieldDefs().Assign(FTableFields);
    for (int32_t I = 0; I < VisibleFieldDefs().Count(); ++I)
      VisibleFieldDefs().Items(I).SetTableFieldNo(I);
  }
  ConstraintDefs().Assign(FTableConstraints);
  FScratch.assign(size_t(RecordSize()), 0);
}

void TFakeCursor::OpenTable(TTolvanFieldDefs* FieldDefs, TTolvanIndexDefs*,
                            TTolvanConstraintDefs* ConstraintDefs) {
  if (Opened())
    return;
  if (!FTableExists) {
    if (!InMemory())
      throw ETolvanException::CreateFmt(10028, STableNotFound, TableName());
    EnsureTable(FieldDefs, ConstraintDefs);
  }
  InitFieldDefs();
  SetToBegin();
  FVisibleValid = false;
  SetOpened(true);
}

void TFakeCursor::CloseTable() {
  FreeWorkBuffer();
  FExternalFilter.reset();
  FOpenBlobs.clear();
  FieldDefs().Clear();
  if (!ProjectionSet())
    VisibleFieldDefs().Clear();
  IndexDefs().Clear();
  ConstraintDefs().Clear();
  FVisible.clear();
  FVisibleValid = false;
  SetOpened(false);
}

void TFakeCursor::InitRecord(uint8_t* Target, bool ApplyDefaults) {
  SetAllNull(Target, FieldDefs().Count());
  if (!ApplyDefaults || Temporary())
    return;
  TTolvanVariant Value;
  for (int32_t I = 0; I < FieldDefs().Count(); ++I) {
    const TTolvanFieldDef& Def = FieldDefs().Items(I);
    const TTolvanVariant& Default = Def.DefaultValue();
    // BLOB values go through streams; the engine gives them no defaults either.
    if (Default.IsNull() || Def.IsBlob())
      continue;
    Value.Assign(Default, true);
    SetCursorFieldValue(Value, I, Target, true);
  }
}

void TFakeCursor::SetProjection(const TStringList& FieldNames, const TStringList& Aliases) {
  if (FieldNames.Count() != Aliases.Count())
    throw ETolvanException::CreateFmt(10321, SDifferentListsLength, FieldNames.Count(),
                                      Aliases.Count());
  if (FieldNames.Count() == 0)
    throw ETolvanException::Create(10322, SNoProjectionFields);
  std::vector<std::unique_ptr<TTolvanFieldDef>> Visible;
  for (int32_t I = 0; I < FieldNames.Count(); ++I) {
    const int32_t No = FieldDefs().IndexOfName(FieldNames.Strings(I));
    if (No < 0)
      throw ETolvanException::CreateFmt(10323, SCannotFindField, FieldNames.Strings(I));
    auto Def = std::make_unique<TTolvanFieldDef>();
    Def->Assign(FieldDefs().Items(No));
    Def->SetTableFieldNo(No);
    if (!Aliases.Strings(I).empty())
      Def->SetName(Aliases.Strings(I));
    Visible.push_back(std::move(Def));
  }
  VisibleFieldDefs().Clear();
  for (auto& Def : Visible)
    VisibleFieldDefs().Add(std::move(Def));
}

void TFakeCursor::ClearFilter() {
  if (!FExternalFilter)
    ResetResultBitmap();
}

void TFakeCursor::CancelRange() {
  StoreRange(nullptr, nullptr, 0, 0, false, false);
  ResetResultBitmap();
}

void TFakeCursor::SetRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                           int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) {
  StoreRange(StartKey, EndKey, StartKeyFieldCount, EndKeyFieldCount, StartExclusive, EndExclusive);
  ResetResultBitmap();
}

void TFakeCursor::SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) {
  FExternalFilter = std::move(Expression);
  ResetResultBitmap();
}

std::unique_ptr<TTolvanExpression> TFakeCursor::ReleaseExternalFilter() {
  ResetResultBitmap();
  return std::move(FExternalFilter);
}

// --- rows and navigation ------------------------------------------------------------------------

uint8_t* TFakeCursor::Buffer() const {
  if (!RecordBuffer())
    throw EDatabaseError(std::string(SCursorHasNoRecordBuffer));
  return RecordBuffer();
}

TFakeCursor::TRow* TFakeCursor::FindRow(const TTolvanRecordID& ID) {
  auto It = std::lower_bound(FRows.begin(), FRows.end(), ID,
                             [](const TRow& R, const TTolvanRecordID& K) { return Less(R.ID, K); });
  return It != FRows.end() && It->ID == ID ? &*It : nullptr;
}

void TFakeCursor::LoadRow(const TRow& Row, uint8_t* Target) const {
  std::memcpy(Target, Row.Bytes.data(), Row.Bytes.size());
  StoreRecordTrailer(Target, RecordIDOffset(), {Row.ID, bfCurrent});
}

const std::vector<TTolvanRecordID>& TFakeCursor::VisibleIDs() {
  if (FVisibleValid)
    return FVisible;
  FVisible.clear();
  for (const TRow& Row : FRows) {
    if (OnFilterRecord()) {
      LoadRow(Row, FScratch.data());
      if (!CallCursorFilterEvent(FScratch.data()))
        continue;
    }
    FVisible.push_back(Row.ID);
  }
  FVisibleValid = true;
  return FVisible;
}

bool TFakeCursor::IsRecordValid() { return FindRow(Position()) != nullptr; }

int64_t TFakeCursor::GetRecordCount() { return int64_t(VisibleIDs().size()); }

TTolvanGetRecordResult TFakeCursor::GetRecord(TTolvanGetRecordMode Mode) {
  uint8_t* Target = Buffer();
  const std::vector<TTolvanRecordID>& IDs = VisibleIDs();
  if (IDs.empty())
    return rrEndReached;
  size_t At;
  if (Bof()) {
    if (Mode != rmNext)
      return Mode == rmPrior ? rrBeginReached : rrMissing;
    At = 0;
  } else if (Eof()) {
    if (Mode != rmPrior)
      return Mode == rmNext ? rrEndReached : rrMissing;
    At = IDs.size() - 1;
  } else {
    auto It = std::lower_bound(IDs.begin(), IDs.end(), Position(), Less);
    if (It == IDs.end() || !(*It == Position()))
      return rrMissing;
    At = size_t(It - IDs.begin());
    if (Mode == rmNext) {
      if (At + 1 == IDs.size())
        return rrEndReached;
      ++At;
    } else if (Mode == rmPrior) {
      if (At == 0)
        return rrBeginReached;
      --At;
    }
  }
  LoadRow(*FindRow(IDs[At]), Target);
  SetPosition(IDs[At]);
  SetBof(false);
  SetEof(false);
  return rrOK;
}

void TFakeCursor::SetRecNo(int64_t RecNo) {
  const std::vector<TTolvanRecordID>& IDs = VisibleIDs();
  if (IDs.empty())
    return;
  const int64_t No = std::clamp<int64_t>(RecNo, 1, int64_t(IDs.size()));
  SetBof(false);
  SetEof(false);
  SetPosition(IDs[size_t(No - 1)]);
}

int64_t TFakeCursor::GetRecNo() {
  const std::vector<TTolvanRecordID>& IDs = VisibleIDs();
  if (Bof() || Eof() || IDs.empty())
    return -1;
  auto It = std::lower_bound(IDs.begin(), IDs.end(), Position(), Less);
  return It != IDs.end() && *It == Position() ? int64_t(It - IDs.begin()) + 1 : -1;
}

// --- editing ------------------------------------------------------------------------------------

void TFakeCursor::EditRecord() { SetLastErrorCode(Temporary() ? -9 : 0); }

void TFakeCursor::CancelRecord(bool) {
  if (Temporary()) {
    SetLastErrorCode(-11);
    return;
  }
  SetLastErrorCode(0);
  CloseAllBlobs(true);
  if (RecordBuffer())
    FreeRecordBlobs(RecordBuffer(), BlobWrittenMarker);
}

void TFakeCursor::PostRecord(bool Insert) {
  uint8_t* Record = Buffer();
  SetLastErrorText("");
  if (!FCheckFailure.empty()) {
    SetLastErrorCode(-8);
    SetLastErrorText(FCheckFailure);
    FCheckFailure.clear();
    return;
  }
  CloseAllBlobs(true);
  const size_t Size = size_t(RecordIDOffset());
  if (Insert) {
    MarkBlobsStored(Record);
    TRow Row{{FNextID++, 0}, std::vector<uint8_t>(Record, Record + Size)};
    SetPosition(Row.ID);
    FRows.push_back(std::move(Row));
    SetLastErrorCode(0);
    StoreRecordTrailer(Record, RecordIDOffset(), {Position(), bfInserted});
  } else {
    SetPosition(LoadRecordID(Record, RecordIDOffset()));
    TRow* Row = FindRow(Position());
    if (!Row) {
      SetLastErrorCode(-2);
      SetLastErrorText(SErrorUpdatingRecord);
      return;
    }
    // Blocks the stored record owned and the new one no longer references are freed.
    for (int32_t I = 0; I < FieldDefs().Count(); ++I) {
      const TTolvanFieldDef& Def = FieldDefs().Items(I);
      if (!Def.IsBlob() || IsFieldNull(Row->Bytes.data(), I))
        continue;
      const TTolvanBlobReference Old = LoadBlobReference(Row->Bytes.data(), Def);
      if (IsFieldNull(Record, I) || LoadBlobReference(Record, Def).Handle != Old.Handle)
        FreeBlock(Old);
    }
    MarkBlobsStored(Record);
    Row->Bytes.assign(Record, Record + Size);
    SetLastErrorCode(0);
  }
  FVisibleValid = false;
}

void TFakeCursor::DeleteRecord() {
  SetLastErrorText("");
  if (Temporary()) {
    SetLastErrorCode(-10);
    return;
  }
  SetPosition(LoadRecordID(Buffer(), RecordIDOffset()));
  TRow* Row = FindRow(Position());
  if (!Row) {
    SetLastErrorCode(-3);
    return;
  }
  FreeRecordBlobs(Row->Bytes.data(), 0);
  FRows.erase(FRows.begin() + (Row - FRows.data()));
  FVisibleValid = false;
  SetLastErrorCode(0);
}

// --- BLOBs --------------------------------------------------------------------------------------

int32_t TFakeCursor::BlobBlockCount() const noexcept {
  return int32_t(
      std::count_if(FBlocks.begin(), FBlocks.end(), [](const TBlock& B) { return B.Live; }));
}

uint32_t TFakeCursor::NewBlock(const uint8_t* Bytes, size_t Size) {
  uint32_t Slot;
  if (!FFreeBlocks.empty()) {
    Slot = FFreeBlocks.back();
    FFreeBlocks.pop_back();
  } else {
    Slot = uint32_t(FBlocks.size());
    FBlocks.emplace_back();
  }
  TBlock& B = FBlocks[Slot];
  B.Bytes.assign(Bytes, Bytes + Size);
  B.Live = true;
  return Slot + 1;
}

void TFakeCursor::FreeBlock(const TTolvanBlobReference& Ref) noexcept {
  if (Ref.Handle == 0 || Ref.Handle > FBlocks.size())
    return;
  TBlock& B = FBlocks[Ref.Handle - 1];
  if (!B.Live || B.Generation != Ref.Generation)
    return;
  B.Live = false;
  B.Bytes.clear();
  ++B.Generation;
  FFreeBlocks.push_back(Ref.Handle - 1);
}

const TFakeCursor::TBlock& TFakeCursor::BlockOf(const TTolvanBlobReference& Ref) const {
  if (Ref.Handle == 0 || Ref.Handle > FBlocks.size() || !FBlocks[Ref.Handle - 1].Live ||
      FBlocks[Ref.Handle - 1].Generation != Ref.Generation)
    throw ETolvanException::Create(10112, SNilPointerOccurred);
  return FBlocks[Ref.Handle - 1];
}

void TFakeCursor::FreeRecordBlobs(uint8_t* Record, uint16_t Marker) noexcept {
  for (int32_t I = 0; I < FieldDefs().Count(); ++I) {
    const TTolvanFieldDef& Def = FieldDefs().Items(I);
    if (!Def.IsBlob() || IsFieldNull(Record, I))
      continue;
    const TTolvanBlobReference Ref = LoadBlobReference(Record, Def);
    if (Marker != 0 && Ref.Marker != Marker)
      continue;
    FreeBlock(Ref);
    SetFieldNull(Record, I, true);
  }
}

void TFakeCursor::MarkBlobsStored(uint8_t* Record) noexcept {
  for (int32_t I = 0; I < FieldDefs().Count(); ++I) {
    const TTolvanFieldDef& Def = FieldDefs().Items(I);
    if (Def.IsBlob() && !IsFieldNull(Record, I))
      SetBlobWritten(false, Record, Def);
  }
}

TTolvanStream* TFakeCursor::OpenBlob(bool, int32_t FieldNo, TTolvanBlobOpenMode Mode) {
  const int32_t Count = VisibleFieldDefs().Count();
  if (FieldNo < 0 || FieldNo >= Count)
    throw ETolvanException::CreateFmt(10110, SInvalidFieldNumber, FieldNo, Count);
  if (!Opened())
    throw ETolvanException::Create(10113, SNilPointerOccurred);
  const int32_t No = TableFieldNo(FieldNo, 10110);
  const TTolvanFieldDef& Def = FieldDefs().Items(No);
  if (Mode != tbmRead)
    for (const auto& S : FOpenBlobs)
      if (S->TableFieldNo() == No && S->Writer())
        throw ETolvanException::CreateFmt(10115, SBlobFieldAlreadyOpened, FieldNo, Def.Name());
  if (Def.BlobBlockSize() == 0)
    throw ETolvanException::Create(10420, SStreamBlockSizeZero);
  auto Stream = std::make_unique<TFakeBlobStream>(No, Mode);
  const uint8_t* Record = RecordBuffer();
  if (Mode != tbmWrite && Record && !IsFieldNull(Record, No)) {
    const TBlock& Block = BlockOf(LoadBlobReference(Record, Def));
    Stream->Data().Write(Block.Bytes.data(), int64_t(Block.Bytes.size()));
    Stream->Data().SetPosition(0);
  }
  FOpenBlobs.push_back(std::move(Stream));
  return FOpenBlobs.back().get();
}

void TFakeCursor::StoreWrittenBlob(TFakeBlobStream& Stream) {
  if (!Stream.Written())
    return;
  uint8_t* Record = Buffer();
  const int32_t No = Stream.TableFieldNo();
  const TTolvanFieldDef& Def = FieldDefs().Items(No);
  // A value written earlier in this edit is replaced; the stored record's stays its own.
  if (!IsFieldNull(Record, No) && IsBlobWritten(Record, Def))
    FreeBlock(LoadBlobReference(Record, Def));
  TTolvanMemoryStream& Data = Stream.Data();
  if (Data.Size() == 0) {
    StoreBlobReference(Record, Def, {});
    SetFieldNull(Record, No, true);
    return;
  }
  const uint32_t Handle = NewBlock(Data.Memory(), size_t(Data.Size()));
  StoreBlobReference(Record, Def, {Handle, FBlocks[Handle - 1].Generation, BlobWrittenMarker});
  SetFieldNull(Record, No, false);
  FVisibleValid = false;
}

void TFakeCursor::CloseBlob(int32_t FieldNo) {
  const int32_t No = TableFieldNo(FieldNo, 10118);
  for (size_t I = 0; I < FOpenBlobs.size();) {
    if (FOpenBlobs[I]->TableFieldNo() != No) {
      ++I;
      continue;
    }
    std::unique_ptr<TFakeBlobStream> Stream = std::move(FOpenBlobs[I]);
    FOpenBlobs.erase(FOpenBlobs.begin() + std::ptrdiff_t(I));
    if (Stream->Writer())
      StoreWrittenBlob(*Stream);
  }
}

void TFakeCursor::CloseAllBlobs(bool OnlyWritable) {
  std::erase_if(FOpenBlobs, [&](const auto& S) { return !OnlyWritable || S->Writer(); });
}

std::unique_ptr<TTolvanStream> TFakeCursor::OpenBlobReader(int32_t TableFieldNo) {
  const uint8_t* Record = Buffer();
  if (IsFieldNull(Record, TableFieldNo))
    return nullptr;
  const TBlock& Block = BlockOf(LoadBlobReference(Record, FieldDefs().Items(TableFieldNo)));
  auto Stream = std::make_unique<TTolvanMemoryStream>();
  Stream->Write(Block.Bytes.data(), int64_t(Block.Bytes.size()));
  return Stream;
}

} // namespace tolvan::test
