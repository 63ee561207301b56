// TolvanDataSetNavigation.cpp: the dataset's record fetch, record numbers and counts,
// bookmarks, filters and searches, carried out on its cursor.
//
// The searches borrow the cursor: they point its record buffer at a buffer of their own and
// move it. Every one of them puts the buffer back, and the position too unless it is meant to
// stay on what was found, on every exit, so the cursor never keeps a buffer that is freed or a
// position the framework does not know about.

#include <cstring>
#include <limits>

#include "classlib/DBConsts.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanRecordBitmap.h"

namespace tolvan {

// Native codes of navigation.
namespace {

constexpr int32_t ErrFetchRecordNil = 10041;
constexpr int32_t ErrFetchRecordFailed = 10026;
constexpr int32_t ErrSetRecNoNil = 10042;
constexpr int32_t ErrCurrentRecNoNil = 10043;
constexpr int32_t ErrMoveToBeginNil = 10044;
constexpr int32_t ErrMoveToEndNil = 10045;
constexpr int32_t ErrPositionOnRecordNil = 10046;
constexpr int32_t ErrPositionOnRecordBuffer = 10047;
constexpr int32_t ErrRecordCountNil = 10056;
constexpr int32_t ErrWriteBookmarkFlagNil = 10057;
constexpr int32_t ErrWriteBookmarkNil = 10058;
constexpr int32_t ErrWriteBookmarkBuffer = 10061;
constexpr int32_t ErrReadBookmarkFlagNil = 10060;
constexpr int32_t ErrReadBookmarkFlagBuffer = 10059;
constexpr int32_t ErrReadBookmarkNil = 10036;
constexpr int32_t ErrReadBookmarkBuffer = 10034;
constexpr int32_t ErrReadBookmarkData = 10035;
constexpr int32_t ErrGotoBookmarkNil = 10038;
constexpr int32_t ErrGotoBookmarkBookmark = 10037;
constexpr int32_t ErrCompareBookmarksNil = 10063;
constexpr int32_t ErrIsBookmarkValidNil = 10064;
constexpr int32_t ErrClearCalcFieldsNil = 10040;
constexpr int32_t ErrClearCalcFieldsBuffer = 10039;
constexpr int32_t ErrCurrentRecordIDNil = 11352;
constexpr int32_t ErrSetRecNoValue = 11622;
constexpr int32_t ErrSetFilterTextNil = 10266;
constexpr int32_t ErrSetFilteredNil = 10267;
constexpr int32_t ErrSearchRecordNil = 10268;
constexpr int32_t ErrLocateInCursorNil = 10271;
constexpr int32_t ErrSetOnFilterRecordNil = 10275;
constexpr int32_t ErrSetExternalFilterNil = 10300;
constexpr int32_t ErrSetProjectionNil = 10320;

// The neutral answers of fetching, counting, numbering and reading the current record: an
// engine failure there gives Fallback instead of an exception, unless the release lets the
// engine's exceptions through to the caller.
template <class T, class F> T NeutralOnEngineError(T Fallback, F&& Body) {
  try {
    return Body();
  } catch (...) {
    if (Release().FetchPropagatesEngineErrors)
      throw;
    return Fallback;
  }
}

// A 64-bit count or number as the framework's Int32, Fallback when it does not fit.
int32_t FitInt32(int64_t Value, int32_t Fallback) noexcept {
  return Value < std::numeric_limits<int32_t>::min() || Value > std::numeric_limits<int32_t>::max()
             ? Fallback
             : int32_t(Value);
}

// Puts the cursor's record buffer back, and its position unless told to keep the new one.
class TCursorRestore {
public:
  explicit TCursorRestore(TTolvanCursor& Cursor) noexcept
      : FCursor(Cursor), FBuffer(Cursor.RecordBuffer()), FPosition(Cursor.SavePosition()) {}
  TCursorRestore(const TCursorRestore&) = delete;
  TCursorRestore& operator=(const TCursorRestore&) = delete;
  ~TCursorRestore() {
    FCursor.SetRecordBuffer(FBuffer);
    if (!FKeepPosition)
      FCursor.RestorePosition(FPosition);
  }
  void KeepPosition() noexcept { FKeepPosition = true; }

private:
  TTolvanCursor& FCursor;
  uint8_t* FBuffer;
  TTolvanCursorPosition FPosition;
  bool FKeepPosition = false;
};

// Returns the framework to a state entered with SetTempState.
class TStateRestore {
public:
  TStateRestore(TDataSet& DataSet, TDataSetState Saved) noexcept
      : FDataSet(DataSet), FSaved(Saved) {}
  TStateRestore(const TStateRestore&) = delete;
  TStateRestore& operator=(const TStateRestore&) = delete;
  ~TStateRestore() { FDataSet.RestoreState(FSaved); }

private:
  TDataSet& FDataSet;
  TDataSetState FSaved;
};

} // namespace

// --- fetch and position ------------------------------------------------------------------------

bool TTolvanDataSet::CursorSeesBufferedRecord() const {
  const uint8_t* Held = FCursor->RecordBuffer();
  if (!Held || FCursor->Bof() || FCursor->Eof())
    return false;
  const TTolvanRecordID ID = LoadRecordID(Held, FCursor->RecordIDOffset());
  if (!(ID == FCursor->Position()))
    return false;
  if (!FCursor->CursorNeedsResultBitmap())
    return true;
  // A restricted cursor sees only its result set; a set not built yet proves nothing.
  const TTolvanRecordBitmap* Set = FCursor->ResultBitmap();
  return Set && Set->Filled() && Set->AcceptRecord(ID);
}

TGetResult TTolvanDataSet::FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) {
  if (!FCursor)
    RaiseNil(ErrFetchRecordNil);
  TGetResult Result = grError;
  bool Copied = false;
  // Straight after a post the cursor's buffer holds the stored record: no engine read needed,
  // but only while the cursor still sees that record (a post may have taken it out of the
  // filter or range).
  if (FRecordReady && Mode == gmCurrent && CursorSeesBufferedRecord()) {
    if (FCursor->RecordBuffer() != Buffer)
      std::memcpy(Buffer, FCursor->RecordBuffer(), size_t(FCursor->RecordSize()));
    Copied = true;
    Result = grOK;
  }
  FCursor->SetRecordBuffer(Buffer);
  if (!FPositionChanged && !Copied && !FCursor->Bof() && !FCursor->Eof() && ActiveBuffer() &&
      Active() && BufferCount() > 1) {
    const int32_t Index = CurrentRecord();
    if (Index >= 0 && Index < BufferCount())
      FCursor->SetPosition(LoadRecordID(Buffers(Index), FCursor->RecordIDOffset()));
  }
  if (!Copied) {
    Result = NeutralOnEngineError(grError, [&] {
      switch (FCursor->GetRecord(TTolvanGetRecordMode(Mode))) {
      case rrOK:
        return grOK;
      case rrBeginReached:
        return grBOF;
      case rrEndReached:
        return grEOF;
      default:
        return grError;
      }
    });
  }
  FRecordReady = false;
  FPositionChanged = false;
  if (Result == grOK) {
    // The record's identity goes in before the calculated fields: a handler that reads RecNo
    // or a BLOB positions the cursor by it.
    StoreRecordTrailer(Buffer, FCursor->RecordIDOffset(), {FCursor->Position(), bfCurrent});
    ClearCalculatedFields(Buffer);
    CalculateFields(Buffer);
    return grOK;
  }
  if (Result == grError && DoCheck)
    throw ETolvanException::Create(ErrFetchRecordFailed, SCannotRetrieveRecord);
  return Result;
}

bool TTolvanDataSet::ReadCurrentRecord(uint8_t* Buffer) {
  if (!FCursor || !Buffer || IsEmpty() || !ActiveBuffer() ||
      ReadBookmarkFlag(ActiveBuffer()) != bfCurrent)
    return false;
  return NeutralOnEngineError(false, [&] {
    UpdateCursorPos();
    TCursorRestore Restore(*FCursor);
    FCursor->SetRecordBuffer(Buffer);
    return FCursor->GetRecord(rmCurrent) == rrOK;
  });
}

int32_t TTolvanDataSet::RecordCount() {
  if (!Active())
    return 0;
  if (!FCursor)
    RaiseNil(ErrRecordCountNil);
  return NeutralOnEngineError(0, [&] { return FitInt32(FCursor->GetRecordCount(), 0); });
}

int32_t TTolvanDataSet::CurrentRecNo() {
  if (State() == dsInsert)
    return -1;
  if (!FCursor)
    RaiseNil(ErrCurrentRecNoNil);
  // A key buffer carries its trailer where a record keeps its id.
  if (State() == dsSetKey)
    return -1;
  const uint8_t* Buffer = CurrentRecordBuffer();
  if (!Buffer)
    return -1;
  return NeutralOnEngineError(-1, [&] {
    FCursor->SetPosition(LoadRecordID(Buffer, FCursor->RecordIDOffset()));
    FCursor->SetBof(false);
    FCursor->SetEof(false);
    return FitInt32(FCursor->GetRecNo(), -1);
  });
}

void TTolvanDataSet::SetRecNo(int32_t Value) {
  if (Value <= 0)
    throw ETolvanException::CreateFmt(ErrSetRecNoValue, SInvalidSetRecNoValue, Value);
  if (!FCursor)
    RaiseNil(ErrSetRecNoNil);
  // The shown record is replaced: a pending change must end first.
  CheckBrowseMode();
  DoBeforeScroll();
  CursorPosChanged();
  FCursor->SetRecNo(Value);
  FPositionChanged = true;
  Resync(true, true);
  DoAfterScroll();
}

void TTolvanDataSet::MoveToBegin() {
  if (!FCursor)
    RaiseNil(ErrMoveToBeginNil);
  FCursor->SetToBegin();
}

void TTolvanDataSet::MoveToEnd() {
  if (!FCursor)
    RaiseNil(ErrMoveToEndNil);
  FCursor->SetCursorToEnd();
}

void TTolvanDataSet::PositionOnRecord(uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrPositionOnRecordNil);
  if (!Buffer)
    RaiseNil(ErrPositionOnRecordBuffer);
  GotoBookmarkPosition(Buffer + FCursor->RecordIDOffset());
}

TTolvanRecordID TTolvanDataSet::GetCurrentRecordID() {
  if (!FCursor)
    RaiseNil(ErrCurrentRecordIDNil);
  return FCursor->Position();
}

void TTolvanDataSet::ClearCalculatedFields(uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrClearCalcFieldsNil);
  if (!Buffer)
    RaiseNil(ErrClearCalcFieldsBuffer);
  if (CalcFieldsSize() > 0)
    std::memset(Buffer + FCursor->CalcFieldsOffset(), 0, size_t(CalcFieldsSize()));
}

bool TTolvanDataSet::StateBufferHasCalcArea() const noexcept {
  if (State() == dsSetKey)
    return false;
  return State() != dsFilter || FFullFilterBuffer;
}

// --- bookmarks ---------------------------------------------------------------------------------

void TTolvanDataSet::ReadBookmark(const uint8_t* Buffer, uint8_t* Data) {
  if (!FCursor)
    RaiseNil(ErrReadBookmarkNil);
  if (!Buffer)
    RaiseNil(ErrReadBookmarkBuffer);
  if (!Data)
    RaiseNil(ErrReadBookmarkData);
  std::memcpy(Data, Buffer + FCursor->RecordIDOffset(), size_t(RecordIDSize));
}

void TTolvanDataSet::WriteBookmark(uint8_t* Buffer, const uint8_t* Data) {
  if (!FCursor)
    RaiseNil(ErrWriteBookmarkNil);
  if (!Buffer)
    RaiseNil(ErrWriteBookmarkBuffer);
  if (Data)
    std::memcpy(Buffer + FCursor->RecordIDOffset(), Data, size_t(RecordIDSize));
}

TBookmarkFlag TTolvanDataSet::ReadBookmarkFlag(const uint8_t* Buffer) {
  if (!FCursor)
    RaiseNil(ErrReadBookmarkFlagNil);
  if (!Buffer)
    RaiseNil(ErrReadBookmarkFlagBuffer);
  const uint8_t Flag = LoadBookmarkFlag(Buffer, FCursor->RecordIDOffset());
  return Flag > bfInserted ? bfCurrent : TBookmarkFlag(Flag);
}

void TTolvanDataSet::WriteBookmarkFlag(uint8_t* Buffer, TBookmarkFlag Flag) {
  if (!FCursor)
    RaiseNil(ErrWriteBookmarkFlagNil);
  if (!Buffer || uint8_t(Flag) > bfInserted)
    return;
  Buffer[FCursor->RecordIDOffset() + RecordIDSize] = uint8_t(Flag);
}

void TTolvanDataSet::GotoBookmarkPosition(const uint8_t* Bookmark) {
  if (!FCursor)
    RaiseNil(ErrGotoBookmarkNil);
  if (!Bookmark)
    RaiseNil(ErrGotoBookmarkBookmark);
  FCursor->SetPosition(LoadLE<TTolvanRecordID>(Bookmark));
  FCursor->SetBof(false);
  FCursor->SetEof(false);
}

bool TTolvanDataSet::IsBookmarkValid(const uint8_t* Bookmark) {
  if (!Bookmark)
    return false;
  if (!FCursor)
    RaiseNil(ErrIsBookmarkValidNil);
  TCursorRestore Restore(*FCursor);
  GotoBookmarkPosition(Bookmark);
  return FCursor->IsRecordValid();
}

int32_t TTolvanDataSet::BookmarkRecNo(const uint8_t* Bookmark, uint8_t* Scratch) {
  TCursorRestore Restore(*FCursor);
  FCursor->SetRecordBuffer(Scratch);
  GotoBookmarkPosition(Bookmark);
  if (!FCursor->IsRecordValid())
    return -1;
  return FitInt32(FCursor->GetRecNo(), -1);
}

int32_t TTolvanDataSet::CompareBookmarkIDs(const uint8_t* A, const uint8_t* B) {
  if (!A || !B)
    return A == B ? 0 : A ? -1 : 1;
  if (!FCursor)
    RaiseNil(ErrCompareBookmarksNil);
  uint8_t* Scratch = FCursor->AllocRecordBuffer();
  int32_t NumberA = -1;
  int32_t NumberB = -1;
  try {
    NumberA = BookmarkRecNo(A, Scratch);
    NumberB = BookmarkRecNo(B, Scratch);
  } catch (...) {
    TTolvanCursor::FreeRecordBuffer(Scratch);
    throw;
  }
  TTolvanCursor::FreeRecordBuffer(Scratch);
  return NumberA == NumberB ? 0 : NumberA > NumberB ? 1 : -1;
}

// --- index fields ------------------------------------------------------------------------------

bool TTolvanDataSet::IsIndexField(const TField& Field) {
  const int32_t Number = Field.FieldNo();
  if (Number <= 0)
    return false;
  for (uint16_t Mapped : FIndexFieldNumbers)
    if (Mapped == Number)
      return true;
  return false;
}

void TTolvanDataSet::SwitchIndex(std::string_view IndexName) {
  CancelRangeKeys();
  UpdateCursorPos();
  if (FCursor->ResultBitmap())
    FCursor->ResetResultBitmap();
  FCursor->SetIndexName(IndexName);
  BuildIndexFieldMap();
}

// --- filter ------------------------------------------------------------------------------------

void TTolvanDataSet::SetFiltered(bool Value) {
  if (!Active()) {
    TDataSet::SetFiltered(Value);
    return;
  }
  if (!FCursor)
    RaiseNil(ErrSetFilteredNil);
  CheckBrowseMode();
  if (Value != Filtered()) {
    // Stored first: the filter event reads Filtered while the cursor applies the filter.
    TDataSet::SetFiltered(Value);
    try {
      if (Value)
        ApplyFilterText();
      else
        ClearFilterText();
    } catch (...) {
      TDataSet::SetFiltered(!Value);
      throw;
    }
  }
  First();
}

void TTolvanDataSet::SetFilter(std::string_view Value) {
  SetFilterTextAndOptions(Value, FilterOptions());
}

void TTolvanDataSet::SetFilterOptions(TFilterOptions Value) {
  SetFilterTextAndOptions(Filter(), Value);
}

void TTolvanDataSet::SetFilterTextAndOptions(std::string_view Text, TFilterOptions Options) {
  bool Changed = false;
  if (Active()) {
    if (!FCursor)
      RaiseNil(ErrSetFilterTextNil);
    CheckBrowseMode();
    Changed = std::string_view(Filter()) != Text || FilterOptions() != Options;
  }
  // Text may be Filter itself: copy before storing.
  const AnsiString NewText(Text);
  TDataSet::SetFilter(NewText);
  TDataSet::SetFilterOptions(Options);
  if (Active() && Filtered() && Changed) {
    ApplyFilterText();
    First();
  }
}

void TTolvanDataSet::SetOnFilterRecord(TFilterRecordEvent Value) {
  if (!Active()) {
    TDataSet::SetOnFilterRecord(std::move(Value));
    return;
  }
  if (!FCursor)
    RaiseNil(ErrSetOnFilterRecordNil);
  CheckBrowseMode();
  const bool Had = bool(OnFilterRecord());
  TDataSet::SetOnFilterRecord(std::move(Value));
  if (Had != bool(OnFilterRecord())) {
    if (Filtered())
      ApplyFilterText();
    else
      ClearFilterText();
  }
  if (Filtered())
    First();
}

AnsiString TTolvanDataSet::FindIndexForFields(const TStringList* FieldNames,
                                              const TStringList* Descending,
                                              const TStringList* CaseInsensitive) {
  if (!FCursor)
    RaiseNil(ErrFindIndexForFieldsNil);
  AnsiString Name;
  FCursor->FindIndexForFields(FieldNames, Descending, CaseInsensitive, Name);
  return Name;
}

void TTolvanDataSet::SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) {
  if (!FCursor)
    RaiseNil(ErrSetExternalFilterNil);
  FCursor->SetExternalFilter(std::move(Expression));
}

void TTolvanDataSet::SetProbeFilter(TTolvanExpression* Expression) {
  if (!FCursor)
    RaiseNil(ErrSetExternalFilterNil);
  FCursor->SetProbeFilter(Expression);
}

void TTolvanDataSet::SetProjection(const TStringList& FieldNames, const TStringList& Aliases) {
  if (!FCursor)
    RaiseNil(ErrSetProjectionNil);
  if (FieldNames.Count() == FAdvFieldDefs->Count() && Aliases.Count() == FieldNames.Count()) {
    bool Same = true;
    for (int32_t I = 0; I < Aliases.Count() && Same; ++I)
      Same = Aliases.Strings(I) == FAdvFieldDefs->Items(I).Name();
    if (Same)
      return;
  }
  FCursor->SetProjection(FieldNames, Aliases);
  // The dataset reopens on the same cursor: it must survive the close, and its visible fields
  // must survive the reload of its definitions.
  TTolvanCursor* const Cursor = FCursor;
  std::unique_ptr<TTolvanCursor> Own = std::move(FOwnCursor);
  TTolvanCursor* const SavedExternal = FExternalCursor;
  Cursor->SetProjectionSet(true);
  FExternalCursor = Cursor;
  // Another use holds the database meanwhile: a temporary one would take the cursor's engine
  // session along when the close gives the cursor's use back.
  const bool HeldUse = HoldsReason(durTableOperation);
  const auto ReleaseUse = [&] {
    if (!HeldUse)
      SetDatabaseUse(durTableOperation, false);
  };
  try {
    SetDatabaseUse(durTableOperation, true);
    Close();
    FCursor = Cursor;
    Open();
    ReleaseUse();
  } catch (...) {
    try {
      ReleaseUse();
    } catch (...) {
      ReportException(std::current_exception());
    }
    FExternalCursor = SavedExternal;
    if (Own) {
      if (FCursor == Own.get())
        FOwnCursor = std::move(Own);
      else
        try {
          Own->CloseTable();
        } catch (...) {
          ReportException(std::current_exception());
        }
    }
    throw;
  }
  FOwnCursor = std::move(Own);
  FExternalCursor = SavedExternal;
  FProjectionApplied = true;
  Cursor->SetProjectionSet(true);
}

void TTolvanDataSet::RefreshRecords() {
  FPositionChanged = false;
  FRecordReady = false;
  if (!Active() || !FCursor)
    return;
  DataEvent(deDataSetChange);
  ClearFilterText();
  if (Filtered())
    ApplyFilterText();
  uint8_t* Buffer = FCursor->RecordBuffer();
  if (!Buffer ||
      (FetchRecord(Buffer, gmCurrent, false) != grOK &&
       FetchRecord(Buffer, gmNext, false) != grOK && FetchRecord(Buffer, gmPrior, false) != grOK))
    MoveToBegin();
}

// --- search ------------------------------------------------------------------------------------

bool TTolvanDataSet::SearchRecord(bool Restart, bool GoForward) {
  if (!FCursor)
    RaiseNil(ErrSearchRecordNil);
  CheckBrowseMode();
  DoBeforeScroll();
  UpdateCursorPos();
  CursorPosChanged();
  bool Found = false;
  {
    TCursorRestore Restore(*FCursor);
    uint8_t* Buffer = nullptr;
    // The filter is applied for the search only: it goes again on every exit.
    const bool Temporary = !Filtered();
    try {
      if (Temporary)
        ApplyFilterText();
      Buffer = NewRecordBuffer();
      if (GoForward) {
        if (Restart)
          MoveToBegin();
        Found = FetchRecord(Buffer, gmNext, false) == grOK;
      } else {
        if (Restart)
          MoveToEnd();
        Found = FetchRecord(Buffer, gmPrior, false) == grOK;
      }
    } catch (...) {
      TTolvanCursor::FreeRecordBuffer(Buffer);
      if (Temporary)
        try {
          ClearFilterText();
        } catch (...) {
          ReportException(std::current_exception());
        }
      throw;
    }
    TTolvanCursor::FreeRecordBuffer(Buffer);
    if (Temporary)
      ClearFilterText();
    if (Found)
      Restore.KeepPosition();
  }
  if (!Found)
    return false;
  Resync(true, true);
  DoAfterScroll();
  return true;
}

bool TTolvanDataSet::LocateInCursor(std::string_view KeyFields, const Variant& KeyValues,
                                    TLocateOptions Options) {
  if (!FCursor)
    RaiseNil(ErrLocateInCursorNil);
  CheckBrowseMode();
  CursorPosChanged();
  TStateRestore State(*this, SetTempState(dsFilter));
  uint8_t* const SavedFilterBuffer = FFilterBuffer;
  const bool SavedFull = FFullFilterBuffer;
  FFilterBuffer = TempBuffer();
  FFullFilterBuffer = true;
  TCursorRestore Restore(*FCursor);
  FCursor->SetRecordBuffer(TempBuffer());
  bool Found = false;
  try {
    Found = FCursor->Locate(KeyFields, KeyValues, (Options & loCaseInsensitive) != 0,
                            (Options & loPartialKey) != 0);
  } catch (...) {
    FFilterBuffer = SavedFilterBuffer;
    FFullFilterBuffer = SavedFull;
    throw;
  }
  FFilterBuffer = SavedFilterBuffer;
  FFullFilterBuffer = SavedFull;
  if (Found)
    Restore.KeepPosition();
  return Found;
}

bool TTolvanDataSet::LocateRecord(std::string_view KeyFields, const Variant& KeyValues,
                                  TLocateOptions Options) {
  DoBeforeScroll();
  if (!LocateInCursor(KeyFields, KeyValues, Options))
    return false;
  Resync(true, true);
  DoAfterScroll();
  return true;
}

Variant TTolvanDataSet::LookupValues(std::string_view KeyFields, const Variant& KeyValues,
                                     std::string_view ResultFields) {
  if (!FCursor)
    RaiseNil(ErrLocateInCursorNil);
  CheckBrowseMode();
  std::vector<TField*> Results;
  GetFieldList(Results, ResultFields);
  CursorPosChanged();
  // The current record stays where it is, and so does the cursor.
  TCursorRestore Restore(*FCursor);
  // A calculated field's handler may look up again: the nested search reads into a buffer of
  // its own and leaves calculated fields alone, so the outer record is not overwritten and the
  // handler does not recurse.
  const bool Nested = FLookupDepth > 0;
  uint8_t* Buffer = Nested ? NewRecordBuffer() : TempBuffer();
  ++FLookupDepth;
  const TDataSetState Saved = SetTempState(dsFilter);
  uint8_t* const SavedFilterBuffer = FFilterBuffer;
  const bool SavedFull = FFullFilterBuffer;
  Variant Result = Variant::Null();
  try {
    FFilterBuffer = Buffer;
    FFullFilterBuffer = true;
    FCursor->SetRecordBuffer(Buffer);
    if (FCursor->Locate(KeyFields, KeyValues, false, false)) {
      StoreRecordTrailer(Buffer, FCursor->RecordIDOffset(), {FCursor->Position(), bfCurrent});
      if (!Nested)
        CalculateFields(Buffer);
      else
        ClearCalculatedFields(Buffer);
      if (Results.size() == 1) {
        Result = Results[0]->Value();
      } else {
        std::vector<Variant> Values;
        Values.reserve(Results.size());
        for (TField* Field : Results)
          Values.push_back(Field->Value());
        Result = VarArrayOf(Values);
      }
    }
  } catch (...) {
    FFilterBuffer = SavedFilterBuffer;
    FFullFilterBuffer = SavedFull;
    RestoreState(Saved);
    --FLookupDepth;
    if (Nested)
      TTolvanCursor::FreeRecordBuffer(Buffer);
    throw;
  }
  FFilterBuffer = SavedFilterBuffer;
  FFullFilterBuffer = SavedFull;
  RestoreState(Saved);
  --FLookupDepth;
  if (Nested)
    TTolvanCursor::FreeRecordBuffer(Buffer);
  return Result;
}

// --- direct positioning ------------------------------------------------------------------------

bool TTolvanDataSet::CursorSeesRecord(const TTolvanRecordID& ID) {
  if (!FCursor->CursorNeedsResultBitmap())
    return FCursor->IsRecordValid();
  // A restricted cursor sees its result set. The set keeps up with this cursor's deletes, not
  // with those made elsewhere (a cascade within the same table, another cursor), so the record
  // must still exist too.
  if (const TTolvanRecordBitmap* Set = FCursor->ResultBitmap(); Set && Set->Filled())
    return Set->AcceptRecord(ID) && FCursor->IsRecordValid();
  // Not built yet: one read builds it and decides.
  TCursorRestore Restore(*FCursor);
  FCursor->SetRecordBuffer(TempBuffer());
  return FCursor->GetRecord(rmCurrent) == rrOK;
}

bool TTolvanDataSet::GotoRecordID(const TTolvanRecordID& ID) {
  if (!FCursor)
    RaiseNil(ErrGotoBookmarkNil);
  CheckBrowseMode();
  // Checked before anything moves, so a record the cursor does not see leaves the dataset as it
  // was without an exception per refused candidate.
  {
    TCursorRestore Restore(*FCursor);
    FCursor->SetPosition(ID);
    FCursor->SetBof(false);
    FCursor->SetEof(false);
    if (!CursorSeesRecord(ID))
      return false;
  }
  DoBeforeScroll();
  CursorPosChanged();
  FCursor->SetPosition(ID);
  FCursor->SetBof(false);
  FCursor->SetEof(false);
  Resync(true);
  DoAfterScroll();
  return true;
}

} // namespace tolvan
