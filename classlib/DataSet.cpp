#include "classlib/DataSet.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/DataLinks.h"
#include "classlib/Format.h"

namespace tolvan {

TDataSet::TDataSet() : FFields(this), FFieldDefs(std::make_unique<TFieldDefs>(this)) {}

TDataSet::~TDataSet() {
  // Only after a teardown that could not finish: release without calling hooks or links.
  for (TDataSource* Source : FDataSources)
    Source->FDataSet = nullptr;
  FDataSources.clear();
  FFields.DetachAll();
}

void TDataSet::CheckInactive() const {
  if (Active())
    DatabaseError(DBConsts::SDataSetOpen, this);
}

void TDataSet::CheckActive() const {
  if (!Active())
    DatabaseError(DBConsts::SDataSetClosed, this);
}

bool TDataSet::ReadFieldData(const TField& Field, void* Buffer) {
  (void)Field;
  (void)Buffer;
  return false;
}

void TDataSet::WriteFieldData(TField& Field, const void* Buffer) {
  if (!CanWriteFields(FState))
    DatabaseError(DBConsts::SNotEditing, this);
  Field.Validate(Buffer);
}

void TDataSet::ConvertFieldData(const TField& Field, const void* Source, void* Dest,
                                bool ToNative) {
  const TFieldType Type = Field.DataType();
  switch (Type) {
  case ftDate:
  case ftTime:
  case ftDateTime:
    if (ToNative)
      DateTimeToNative(Type, LoadLE<double>(Source), Dest);
    else
      StoreLE(Dest, NativeToDateTime(Type, Source));
    return;
  case ftWideString:
    // The native form points into the value, which outlives the write it is made for.
    if (ToNative) {
      StoreLE(Dest, static_cast<const WideString*>(Source)->c_str());
    } else {
      const char16_t* Text = LoadLE<const char16_t*>(Source);
      static_cast<WideString*>(Dest)->assign(Text ? Text : u"");
    }
    return;
  default:
    std::memcpy(Dest, Source, static_cast<size_t>(Field.DataSize()));
    return;
  }
}

std::unique_ptr<TStream> TDataSet::OpenBlobStream(TField& Field, TBlobStreamMode Mode) {
  (void)Mode;
  DatabaseError(Format(DBConsts::SNoBlobStream, Field.DisplayName()), this);
}

bool TDataSet::IsIndexField(const TField& Field) {
  (void)Field;
  return false;
}

// --- State -----------------------------------------------------------------------------------

void TDataSet::SetState(TDataSetState Value) {
  if (FState == Value)
    return;
  FState = Value;
  FModified = false;
  DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) noexcept {
  const TDataSetState Old = FState;
  FState = Value;
  return Old;
}

void TDataSet::ReadFieldDefs() {
  if (HasCursor()) {
    LoadFieldDefs();
    return;
  }
  // Only the definitions are wanted: open the cursor for them and close it again.
  try {
    OpenEngineCursor(true);
  } catch (...) {
    try {
      CloseEngineCursor();
    } catch (...) {
      ReportException(std::current_exception());
    }
    throw;
  }
  CloseEngineCursor();
}

// --- Open and close ----------------------------------------------------------------------------

void TDataSet::SetActive(bool Value) {
  if (Value)
    DoOpen();
  else
    DoClose();
}

void TDataSet::DoOpen() {
  if (Active())
    return;
  Fire(FBeforeOpen);
  FDefaultFields = FFields.Count() == 0;
  try {
    OpenEngineCursor(false);
    if (!HasCursor()) {
      // The dataset chose to stay closed without an error.
      CloseEngineCursor();
      std::exception_ptr Failure;
      FreeBuffers(Failure);
      if (Failure)
        std::rethrow_exception(Failure);
      return;
    }
    OpenBuffers();
    FState = dsBrowse;
    FModified = false;
    MoveToFirst();
  } catch (...) {
    std::exception_ptr Failure = std::current_exception();
    FState = dsInactive;
    FModified = false;
    try {
      CloseEngineCursor();
    } catch (...) {
      ReportException(std::current_exception());
    }
    std::exception_ptr Leftover;
    FreeBuffers(Leftover);
    if (Leftover)
      ReportException(Leftover);
    SetEmpty();
    std::rethrow_exception(Failure);
  }
  DataEvent(deUpdateState);
  Fire(FAfterOpen);
}

void TDataSet::OpenBuffers() {
  FRecordBufferSize = RecordBufferSize();
  if (FRecordBufferSize < 0)
    DatabaseError(DBConsts::SInvalidFieldSize, this);
  FShown = NewRecordBuffer();
  FSpare = NewRecordBuffer();
  FTemp = NewRecordBuffer();
}

void TDataSet::FreeBuffers(std::exception_ptr& Failure) noexcept {
  for (uint8_t** Slot : {&FTemp, &FSpare, &FShown}) {
    uint8_t* Buffer = *Slot;
    if (!Buffer)
      continue;
    *Slot = nullptr;
    KeepFirstFailure(Failure, [&] { DisposeRecordBuffer(Buffer); });
  }
  FCalcBuffer = nullptr;
}

void TDataSet::DoClose() {
  if (!Active() || FClosing)
    return;
  const bool Destroying = (ComponentState() & csDestroying) != 0;
  if (!Destroying)
    Fire(FBeforeClose);
  FClosing = true;
  std::exception_ptr Failure;
  try {
    CloseEngineCursor();
  } catch (...) {
    Failure = std::current_exception();
  }
  FreeBuffers(Failure);
  FClosing = false;
  SetEmpty();
  KeepFirstFailure(Failure, [&] { SetState(dsInactive); });
  FState = dsInactive;
  if (!Destroying) {
    KeepFirstFailure(Failure, [&] { Fire(FAfterClose); });
  }
  if (Failure)
    std::rethrow_exception(Failure);
}

void TDataSet::SetEmpty() noexcept {
  FHasRecord = false;
  FBof = true;
  FEof = true;
  FCurrentRecord = -1;
}

void TDataSet::OpenEngineCursor(bool InfoQuery) {
  if (InfoQuery)
    LoadFieldDefs();
  else
    OpenData();
}

void TDataSet::OpenData() {
  FFieldDefs->SetUpdated(false);
  FFieldDefs->Update();
  if (FDefaultFields)
    CreateFields();
  BindFields(true);
}

void TDataSet::CloseEngineCursor() {
  std::exception_ptr Failure;
  try {
    CloseData();
  } catch (...) {
    Failure = std::current_exception();
  }
  FreeBuffers(Failure);
  if (Failure)
    std::rethrow_exception(Failure);
}

void TDataSet::CloseData() {
  BindFields(false);
  if (FDefaultFields)
    DestroyFields();
}

void TDataSet::BeforeDestruction() {
  std::exception_ptr Failure;
  try {
    SetActive(false);
  } catch (...) {
    Failure = std::current_exception();
  }
  // Close ends inactive even when it failed; make sure of it before the sources hear.
  if (Active()) {
    FreeBuffers(Failure);
    SetEmpty();
    FState = dsInactive;
  }
  while (!FDataSources.empty()) {
    KeepFirstFailure(Failure, [&] { FDataSources.back()->SetDataSet(nullptr); });
  }
  KeepFirstFailure(Failure, [&] { TComponent::BeforeDestruction(); });
  if (Failure)
    std::rethrow_exception(Failure);
}

// --- Fields ------------------------------------------------------------------------------------

void TDataSet::CreateFields() {
  for (int32_t I = 0; I < FFieldDefs->Count(); ++I)
    FFieldDefs->Items(I).CreateField(this);
}

void TDataSet::DestroyFields() {
  // Free from the end: each field leaves the list as it goes.
  while (FFields.Count() > 0) {
    TField& Field = FFields[FFields.Count() - 1];
    if (Field.Owner() == this) {
      Field.Free();
    } else {
      Field.FDataSet = nullptr;
      FFields.Remove(&Field);
    }
  }
}

void TDataSet::BindFields(bool Binding) {
  FCalcFieldsSize = 0;
  int32_t CalcNo = 0;
  for (int32_t I = 0; I < FFields.Count(); ++I) {
    TField& Field = FFields[I];
    if (!Binding) {
      if (Field.FieldKind() != fkData)
        Field.SetOffset(0);
      continue;
    }
    if (Field.FieldKind() == fkData) {
      const int32_t Index = FFieldDefs->IndexOf(Field.FieldName());
      if (Index < 0)
        DatabaseError(Format(DBConsts::SFieldNotFound, Field.FieldName()), this);
      Field.SetFieldNo(Index + 1);
    } else {
      Field.SetFieldNo(-++CalcNo);
      Field.SetOffset(FCalcFieldsSize);
      // A has-value byte, then the native data.
      FCalcFieldsSize += 1 + Field.DataSize();
    }
  }
}

void TDataSet::GetFieldList(std::vector<TField*>& List, std::string_view FieldNames) const {
  size_t Pos = 0;
  std::string_view Name;
  while (NextFieldName(FieldNames, Pos, Name))
    List.push_back(&FieldByName(Name));
}

// --- Buffers -----------------------------------------------------------------------------------

uint8_t* TDataSet::Buffers(int32_t Index) const {
  if (Index < 0 || Index >= BufferCount())
    DatabaseError(Format(DBConsts::SBufferIndex, Index), this);
  return FShown;
}

uint8_t* TDataSet::NewRecordBuffer() {
  return new uint8_t[static_cast<size_t>(FRecordBufferSize) + 1]();
}

void TDataSet::DisposeRecordBuffer(uint8_t* Buffer) { delete[] Buffer; }

void TDataSet::InitRecordBuffer(uint8_t* Buffer) {
  std::memset(Buffer, 0, static_cast<size_t>(FRecordBufferSize));
}

TGetResult TDataSet::FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) {
  (void)Buffer;
  (void)DoCheck;
  return Mode == gmPrior ? grBOF : grEOF;
}

void TDataSet::ReadBookmark(const uint8_t* Buffer, uint8_t* Data) {
  (void)Buffer;
  (void)Data;
}

void TDataSet::WriteBookmark(uint8_t* Buffer, const uint8_t* Data) {
  (void)Buffer;
  (void)Data;
}

TBookmarkFlag TDataSet::ReadBookmarkFlag(const uint8_t* Buffer) {
  (void)Buffer;
  return bfCurrent;
}

void TDataSet::WriteBookmarkFlag(uint8_t* Buffer, TBookmarkFlag Flag) {
  (void)Buffer;
  (void)Flag;
}

int32_t TDataSet::CompareBookmarkIDs(const uint8_t* A, const uint8_t* B) {
  if (!A || !B)
    return A == B ? 0 : A ? -1 : 1;
  const int R = std::memcmp(A, B, static_cast<size_t>(FBookmarkSize));
  return R < 0 ? -1 : R > 0 ? 1 : 0;
}

// --- Cursor position ---------------------------------------------------------------------------

TGetResult TDataSet::Fetch(TGetMode Mode, bool DoCheck) {
  // Whatever the answer, the cursor may have moved off the shown record.
  FCurrentRecord = -1;
  const TGetResult Result = FetchRecord(FSpare, Mode, DoCheck);
  if (Result == grOK) {
    std::swap(FShown, FSpare);
    FHasRecord = true;
    FCurrentRecord = 0;
  }
  return Result;
}

void TDataSet::UpdateCursorPos() {
  if (FCurrentRecord == 0 || !FHasRecord || FState == dsInsert)
    return;
  PositionOnRecord(FShown);
  FCurrentRecord = 0;
}

void TDataSet::Resync(bool Exact, bool Center) {
  (void)Center;
  CheckActive();
  if (Fetch(gmCurrent, false) != grOK) {
    if (Exact)
      DatabaseError(DBConsts::SRecordNotFound, this);
    if (Fetch(gmNext, false) != grOK && Fetch(gmPrior, false) != grOK) {
      SetEmpty();
      DataEvent(deDataSetChange);
      return;
    }
  }
  FBof = false;
  FEof = false;
  DataEvent(deDataSetChange);
}

void TDataSet::CalculateFields(uint8_t* Buffer) {
  if (FCalcFieldsSize <= 0)
    return;
  const TDataSetState Old = SetTempState(dsCalcFields);
  uint8_t* OldBuffer = FCalcBuffer;
  FCalcBuffer = Buffer;
  try {
    ClearCalculatedFields(Buffer);
    Fire(FOnCalcFields);
  } catch (...) {
    FCalcBuffer = OldBuffer;
    RestoreState(Old);
    throw;
  }
  FCalcBuffer = OldBuffer;
  RestoreState(Old);
}

// --- Navigation --------------------------------------------------------------------------------

void TDataSet::MoveToFirst() {
  MoveToBegin();
  FCurrentRecord = -1;
  if (Fetch(gmNext, true) == grOK) {
    FBof = true;
    FEof = false;
  } else {
    SetEmpty();
  }
}

void TDataSet::MoveToLast() {
  MoveToEnd();
  FCurrentRecord = -1;
  if (Fetch(gmPrior, true) == grOK) {
    FBof = false;
    FEof = true;
  } else {
    SetEmpty();
  }
}

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  MoveToFirst();
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  MoveToLast();
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

int32_t TDataSet::MoveBy(int32_t Distance) {
  CheckBrowseMode();
  if (Distance == 0 || (Distance > 0 && FEof) || (Distance < 0 && FBof))
    return 0;
  DoBeforeScroll();
  int32_t Moved = 0;
  const TGetMode Mode = Distance > 0 ? gmNext : gmPrior;
  const int32_t Step = Distance > 0 ? 1 : -1;
  while (Moved != Distance) {
    if (Distance > 0)
      FBof = false;
    else
      FEof = false;
    UpdateCursorPos();
    if (Fetch(Mode, true) != grOK) {
      (Distance > 0 ? FEof : FBof) = true;
      break;
    }
    Moved += Step;
  }
  if (Moved != 0)
    DataEvent(deDataSetScroll);
  DoAfterScroll();
  return Moved;
}

// --- Editing -----------------------------------------------------------------------------------

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode);
  switch (FState) {
  case dsEdit:
  case dsInsert:
    if (FModified)
      Post();
    else
      Cancel();
    break;
  case dsSetKey:
    Post();
    break;
  default:
    break;
  }
}

void TDataSet::CheckEmptyForChange() {
  if (IsEmpty())
    DatabaseError(DBConsts::SDataSetEmpty, this);
  if (!CanModify())
    DatabaseError(DBConsts::SDataSetReadOnly, this);
}

void TDataSet::Insert() { BeginInsertAppend(false); }

void TDataSet::Append() { BeginInsertAppend(true); }

void TDataSet::BeginInsertAppend(bool Append) {
  CheckBrowseMode();
  if (!CanModify())
    DatabaseError(DBConsts::SDataSetReadOnly, this);
  Fire(FBeforeInsert);
  DoBeforeScroll();
  if (Append)
    MoveToLast();
  else
    UpdateCursorPos();
  FInsertHadRecord = FHasRecord;
  FInsertBof = FBof;
  FInsertEof = FEof;
  // The shown record waits in the spare until the insert ends.
  std::swap(FShown, FSpare);
  try {
    InitNewRecord(FShown);
    if (Append)
      WriteBookmarkFlag(FShown, bfEOF);
    BeginInsertRecord();
  } catch (...) {
    std::swap(FShown, FSpare);
    throw;
  }
  FCurrentRecord = -1;
  FBof = false;
  FEof = false;
  SetState(dsInsert);
  try {
    FModified = false;
    NewRecordDefaults();
  } catch (...) {
    std::exception_ptr Failure = std::current_exception();
    try {
      CancelRecord();
    } catch (...) {
      ReportException(std::current_exception());
    }
    std::swap(FShown, FSpare);
    FHasRecord = FInsertHadRecord;
    FBof = FInsertBof;
    FEof = FInsertEof;
    FState = dsBrowse;
    FModified = false;
    try {
      DataEvent(deUpdateState);
    } catch (...) {
      ReportException(std::current_exception());
    }
    std::rethrow_exception(Failure);
  }
  DataEvent(deDataSetChange);
  Fire(FAfterInsert);
  DoAfterScroll();
}

void TDataSet::Edit() {
  CheckActive();
  if (FState == dsEdit || FState == dsInsert)
    return;
  CheckBrowseMode();
  CheckEmptyForChange();
  Fire(FBeforeEdit);
  UpdateCursorPos();
  EditRecord();
  SetState(dsEdit);
  DataEvent(deRecordChange);
  Fire(FAfterEdit);
}

void TDataSet::Post() {
  CheckActive();
  PostRecordAndKey();
}

void TDataSet::PostRecordAndKey() {
  switch (FState) {
  case dsEdit:
  case dsInsert:
    break;
  case dsSetKey:
    // The key buffer is the table's: it leaves this state itself.
    return;
  default:
    DatabaseError(DBConsts::SNotEditing, this);
  }
  DataEvent(deCheckBrowseMode);
  Fire(FBeforePost);
  if (FState == dsEdit)
    UpdateCursorPos();
  PostRecord();
  SetState(dsBrowse);
  Resync(false);
  Fire(FAfterPost);
}

void TDataSet::Cancel() {
  CheckActive();
  if (FState != dsEdit && FState != dsInsert)
    return;
  DataEvent(deCheckBrowseMode);
  Fire(FBeforeCancel);
  DoCancel();
  Fire(FAfterCancel);
}

void TDataSet::DoCancel() {
  if (FState == dsInsert) {
    CancelRecord();
    std::swap(FShown, FSpare);
    FHasRecord = FInsertHadRecord;
    FBof = FInsertBof;
    FEof = FInsertEof;
    FCurrentRecord = -1;
    SetState(dsBrowse);
    DataEvent(deDataSetChange);
    return;
  }
  UpdateCursorPos();
  CancelRecord();
  SetState(dsBrowse);
  Resync(false);
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert || FState == dsSetKey) {
    Cancel();
    return;
  }
  if (FState == dsEdit)
    Cancel();
  CheckEmptyForChange();
  DataEvent(deCheckBrowseMode);
  Fire(FBeforeDelete);
  DoBeforeScroll();
  UpdateCursorPos();
  DeleteRecord();
  // The deleted record is gone from under the cursor: Resync reads what follows it.
  Resync(false);
  Fire(FAfterDelete);
  DoAfterScroll();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  RefreshRecords();
  Resync(false);
}

// --- Bookmarks ---------------------------------------------------------------------------------

TBookmark TDataSet::GetBookmark() {
  TBookmark Result;
  if (!Active() || !FHasRecord || FState == dsInsert || FBookmarkSize <= 0)
    return Result;
  if (ReadBookmarkFlag(FShown) != bfCurrent)
    return Result;
  Result.resize(static_cast<size_t>(FBookmarkSize));
  ReadBookmark(FShown, Result.data());
  return Result;
}

void TDataSet::GotoBookmark(const TBookmark& Bookmark) {
  if (Bookmark.empty())
    return;
  CheckBrowseMode();
  if (static_cast<int64_t>(Bookmark.size()) != FBookmarkSize)
    DatabaseError(DBConsts::SInvalidBookmark, this);
  DoBeforeScroll();
  CursorPosChanged();
  GotoBookmarkPosition(Bookmark.data());
  Resync(true, true);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& Bookmark) {
  if (!Active() || Bookmark.empty() || static_cast<int64_t>(Bookmark.size()) != FBookmarkSize)
    return false;
  CursorPosChanged();
  return IsBookmarkValid(Bookmark.data());
}

int32_t TDataSet::CompareBookmarks(const TBookmark& A, const TBookmark& B) {
  const bool ASized = static_cast<int64_t>(A.size()) == FBookmarkSize && !A.empty();
  const bool BSized = static_cast<int64_t>(B.size()) == FBookmarkSize && !B.empty();
  if ((!A.empty() && !ASized) || (!B.empty() && !BSized))
    DatabaseError(DBConsts::SInvalidBookmark, this);
  return CompareBookmarkIDs(ASized ? A.data() : nullptr, BSized ? B.data() : nullptr);
}

// --- Searches ----------------------------------------------------------------------------------

bool TDataSet::SearchRecord(bool Restart, bool GoForward) {
  (void)Restart;
  (void)GoForward;
  return false;
}

bool TDataSet::LocateRecord(std::string_view KeyFields, const Variant& KeyValues,
                            TLocateOptions Options) {
  (void)KeyFields;
  (void)KeyValues;
  (void)Options;
  return false;
}

Variant TDataSet::LookupValues(std::string_view KeyFields, const Variant& KeyValues,
                               std::string_view ResultFields) {
  (void)KeyFields;
  (void)KeyValues;
  (void)ResultFields;
  return Variant::Null();
}

bool TDataSet::Locate(std::string_view KeyFields, const Variant& KeyValues,
                      TLocateOptions Options) {
  CheckBrowseMode();
  FFound = LocateRecord(KeyFields, KeyValues, Options);
  return FFound;
}

Variant TDataSet::Lookup(std::string_view KeyFields, const Variant& KeyValues,
                         std::string_view ResultFields) {
  CheckBrowseMode();
  return LookupValues(KeyFields, KeyValues, ResultFields);
}

bool TDataSet::FindFirst() { return FFound = SearchRecord(true, true); }
bool TDataSet::FindLast() { return FFound = SearchRecord(true, false); }
bool TDataSet::FindNext() { return FFound = SearchRecord(false, true); }
bool TDataSet::FindPrior() { return FFound = SearchRecord(false, false); }

// --- Events and links --------------------------------------------------------------------------

void TDataSet::HandleDataEvent(TDataEvent Event, TField* Field) {
  if (Event == deFieldChange) {
    if (!Field)
      return;
    switch (FState) {
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      return;
    default:
      break;
    }
    if (Field->FieldKind() == fkData) {
      FModified = true;
      if (FAutoCalcFields && FCalcFieldsSize > 0 && (FState == dsEdit || FState == dsInsert))
        CalculateFields(FShown);
    }
    Field->Change();
  }
  if (FDisableCount > 0)
    return;
  // Index loops: a link may leave its source while it hears the event.
  for (size_t I = 0; I < FDataSources.size(); ++I) {
    TDataSource* Source = FDataSources[I];
    if (Source->Enabled())
      Source->DataEvent(Event, Field);
  }
}

void TDataSet::DisableControls() {
  if (FDisableCount++ == 0)
    FDisableState = FState;
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0 || --FDisableCount > 0)
    return;
  if (FDisableState != FState)
    DataEvent(deUpdateState);
  if (Active())
    DataEvent(deDataSetChange);
}

bool TDataSet::IsLinkedTo(const TDataSource* Source) {
  // Chains are short; a repeat means a cycle that does not hold this dataset.
  std::vector<const TDataSet*> Seen;
  const TDataSet* DataSet = Source ? Source->DataSet() : nullptr;
  while (DataSet) {
    if (DataSet == this)
      return true;
    for (const TDataSet* S : Seen)
      if (S == DataSet)
        return false;
    Seen.push_back(DataSet);
    const TDataSource* Master = DataSet->GetMasterSource();
    DataSet = Master ? Master->DataSet() : nullptr;
  }
  return false;
}

void TDataSet::ReportException(std::exception_ptr Failure) noexcept {
  ApplicationHandleException(Failure);
}

} // namespace tolvan
