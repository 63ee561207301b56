// Index selection, key search, key ranges, master/detail and auto-increment values of the table
// component.
//
// A key buffer is the cursor's bookmark record: the key's columns, then a trailer where a record
// keeps its id (modified byte, exclusive byte, int32 key field count; see TolvanDataSet.h).
// Buffers are zeroed whenever they are made or reset, so two buffers holding the same key are
// equal byte for byte; ApplyRangeKeys relies on that to notice unchanged keys.
#include "components/TolvanTable.h"

#include <cstring>

#include "classlib/ByteOrder.h"
#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/memory/TolvanMemoryEngine.h"

namespace tolvan {

namespace {

// GotoKey's condition: the first record whose key equals the search key.
constexpr uint8_t KeyConditionEqual = 1;

[[noreturn]] void RaiseNilPointer(int32_t Code) {
  throw ETolvanException::Create(Code, SNilPointerOccurred);
}

bool KeyModified(const uint8_t* Key, int32_t E) {
  return LoadLE<uint8_t>(Key + E + KeyModifiedOffset) != 0;
}

bool KeyExclusive(const uint8_t* Key, int32_t E) {
  return LoadLE<uint8_t>(Key + E + KeyExclusiveOffset) != 0;
}

// The number of index columns a key compares: 0 in the buffer means the whole index.
int32_t KeyFieldCount(const uint8_t* Key, int32_t E, int32_t IndexFieldCount) {
  const int32_t Count = LoadLE<int32_t>(Key + E + KeyFieldCountOffset);
  return Count == 0 ? IndexFieldCount : Count;
}

} // namespace

// --- index selection ---------------------------------------------------------------------------

AnsiString TTolvanTable::ResolveIndexName(std::string_view Selector, bool ByFields) {
  if (Selector.empty())
    return AnsiString();
  IndexDefs().SetUpdated(false);
  IndexDefs().Update();
  if (ByFields)
    return IndexDefs().GetIndexForFields(Selector, false).Name();
  return AnsiString(Selector);
}

void TTolvanTable::SelectIndex(std::string_view Selector, bool ByFields) {
  const bool Open = Active() && Cursor();
  if (Open)
    CheckBrowseMode();
  if (FIndexSelector == Selector && FIndexByFields == ByFields)
    return;
  if (Open) {
    const AnsiString Name = ResolveIndexName(Selector, ByFields);
    // An unknown name is refused before anything changes, so the index in force stays.
    if (!Name.empty() && !Cursor()->GetIndexDefs().FindByName(Name))
      throw ETolvanException::CreateFmt(ErrBuildIndexFieldMapIndex, SCannotFindIndex, Name);
    const AnsiString Previous = Cursor()->IndexName();
    try {
      SwitchIndex(Name);
    } catch (...) {
      try {
        SwitchIndex(Previous);
      } catch (...) {
      }
      throw;
    }
    ApplyMasterRange();
  }
  FIndexSelector = Selector;
  FIndexByFields = ByFields;
  if (Open)
    Resync(false);
}

TField& TTolvanTable::GetIndexField(int32_t Index) {
  if (Index < 0 || Index >= IndexFieldCount())
    DatabaseError(SFieldIndexOutOfRange, this);
  const int32_t Number = IndexFieldNumbers()[size_t(Index)];
  if (TField* Field = Fields().FieldByNumber(Number))
    return *Field;
  AnsiString Name;
  if (Number >= 1 && Number <= FieldDefs().Count())
    Name = FieldDefs().Items(Number - 1).Name();
  else if (Cursor() && Number >= 1 && Number <= Cursor()->VisibleFieldDefs().Count())
    Name = Cursor()->VisibleFieldDefs().Items(Number - 1).Name();
  DatabaseError(Format(SCannotAccessIndexField, Name), this);
}

void TTolvanTable::SetIndexField(int32_t Index, TField* Value) {
  TField& Field = GetIndexField(Index);
  if (!Value || Value->IsNull())
    Field.Clear();
  else
    Field.Assign(*Value);
}

// --- key buffers -------------------------------------------------------------------------------

void TTolvanTable::EditKeyBuffer(int32_t Index, bool Clear) {
  if (!Cursor())
    RaiseNilPointer(ErrEditKeyBufferNil);
  CheckBrowseMode();
  uint8_t* Key = KeyBuffer(Index);
  uint8_t* Save = KeyBuffer(kiSave);
  if (!Key || !Save || Index == kiSave)
    RaiseNilPointer(ErrEditKeyBufferNil);
  std::memcpy(Save, Key, size_t(Cursor()->BookmarkRecordSize()));
  if (Clear)
    InitKeyBuffer(Key);
  SetEditedKeyBuffer(Key);
  SetState(dsSetKey);
  SetModified(KeyModified(Key, Cursor()->RecordIDOffset()));
  DataEvent(deDataSetChange);
}

void TTolvanTable::PostKeyBuffer(bool Commit) {
  uint8_t* Key = EditedKeyBuffer();
  if (!Cursor() || !Key)
    RaiseNilPointer(ErrPostKeyBufferNil);
  DataEvent(deCheckBrowseMode);
  if (Commit)
    StoreLE<uint8_t>(Key + Cursor()->RecordIDOffset() + KeyModifiedOffset, Modified() ? 1 : 0);
  else
    std::memcpy(Key, KeyBuffer(kiSave), size_t(Cursor()->BookmarkRecordSize()));
  SetState(dsBrowse);
  DataEvent(deDataSetChange);
}

bool TTolvanTable::GotoKey() {
  if (!Cursor())
    RaiseNilPointer(ErrGotoKeyNil);
  CheckBrowseMode();
  DoBeforeScroll();
  CursorPosChanged();
  TTolvanCursor& Engine = *Cursor();
  uint8_t* Key = KeyBuffer(kiSearchKey);
  // The key is lent for this search only: the buffer dies with the table's close.
  Engine.SetSearchKey(Key);
  Engine.SetSearchKeyFieldCount(KeyFieldCount(Key, Engine.RecordIDOffset(), IndexFieldCount()));
  bool Found = false;
  try {
    Found = Engine.GotoKey(KeyConditionEqual);
  } catch (...) {
    Engine.SetSearchKey(nullptr);
    throw;
  }
  Engine.SetSearchKey(nullptr);
  if (Found) {
    Resync(true, true);
    DoAfterScroll();
  }
  return Found;
}

// --- ranges ------------------------------------------------------------------------------------

bool TTolvanTable::ApplyRangeKeys() {
  if (!Cursor())
    RaiseNilPointer(ErrApplyRangeKeysNil);
  TTolvanCursor& Engine = *Cursor();
  uint8_t* Start = KeyBuffer(kiRangeStart);
  uint8_t* End = KeyBuffer(kiRangeEnd);
  uint8_t* CurStart = KeyBuffer(kiCurRangeStart);
  uint8_t* CurEnd = KeyBuffer(kiCurRangeEnd);
  if (!Start || !End || !CurStart || !CurEnd)
    RaiseNilPointer(ErrApplyRangeKeysNil);
  const size_t Size = size_t(Engine.BookmarkRecordSize());
  if (std::memcmp(Start, CurStart, Size) == 0 && std::memcmp(End, CurEnd, Size) == 0)
    return false;
  const int32_t E = Engine.RecordIDOffset();
  // A side never set is open: its buffer holds all nulls, which as a bound would exclude every
  // record with a value.
  Engine.SetRange(KeyModified(Start, E) ? Start : nullptr, KeyModified(End, E) ? End : nullptr,
                  KeyFieldCount(Start, E, IndexFieldCount()),
                  KeyFieldCount(End, E, IndexFieldCount()), KeyExclusive(Start, E),
                  KeyExclusive(End, E));
  std::memcpy(CurStart, Start, Size);
  std::memcpy(CurEnd, End, Size);
  return true;
}

void TTolvanTable::ApplyRange() {
  CheckBrowseMode();
  if (ApplyRangeKeys())
    First();
}

void TTolvanTable::CancelRange() {
  CheckBrowseMode();
  UpdateCursorPos();
  if (CancelRangeKeys())
    Resync(false);
}

void TTolvanTable::SetRangeFromFields(const std::vector<TField*>& MasterFields) {
  if (!Cursor())
    RaiseNilPointer(ErrSetRangeFromFieldsNil);
  uint8_t* Start = KeyBuffer(kiRangeStart);
  uint8_t* End = KeyBuffer(kiRangeEnd);
  if (!Start || !End)
    RaiseNilPointer(ErrSetRangeFromFieldsNil);
  const int32_t E = Cursor()->RecordIDOffset();
  uint8_t* SavedKey = EditedKeyBuffer();
  const TDataSetState SavedState = SetTempState(dsSetKey);
  try {
    InitKeyBuffer(Start);
    SetEditedKeyBuffer(Start);
    StoreLE<uint8_t>(Start + E + KeyModifiedOffset, 1);
    for (size_t I = 0; I < MasterFields.size(); ++I) {
      TField& Target = GetIndexField(int32_t(I));
      const TField* Source = MasterFields[I];
      if (!Source || Source->IsNull())
        Target.Clear();
      else if (Source->DataType() == ftLargeint)
        Target.SetAsLargeInt(Source->AsLargeInt());
      else
        Target.Assign(*Source);
    }
    StoreLE<int32_t>(Start + E + KeyFieldCountOffset, int32_t(MasterFields.size()));
    std::memcpy(End, Start, size_t(Cursor()->BookmarkRecordSize()));
  } catch (...) {
    SetEditedKeyBuffer(SavedKey);
    RestoreState(SavedState);
    throw;
  }
  SetEditedKeyBuffer(SavedKey);
  RestoreState(SavedState);
}

// --- master/detail -----------------------------------------------------------------------------

void TTolvanTable::ApplyMasterRange() {
  if (FMasterLink.Active() && !FMasterLink.Fields().empty()) {
    SetRangeFromFields(FMasterLink.Fields());
    ApplyRangeKeys();
  }
}

void TTolvanTable::MasterChanged() {
  CheckBrowseMode();
  SetRangeFromFields(FMasterLink.Fields());
  ApplyRange();
}

void TTolvanTable::MasterDisabled() { CancelRange(); }

// --- auto-increment ----------------------------------------------------------------------------

int64_t TTolvanTable::GetAutoIncValue(int32_t FieldIndex) {
  CheckActive();
  return Cursor()->GetAutoIncValue(FieldIndex);
}

int64_t TTolvanTable::GetAutoIncValueByName(std::string_view FieldName) {
  CheckActive();
  TField& Field = Fields().FieldByName(FieldName);
  // A calculated or lookup field has no column; the engine reports the number it was given.
  const int32_t Column = Cursor()->TableFieldNo(Field.FieldNo() - 1, ErrGetAutoIncFieldNo);
  return Cursor()->GetAutoIncValue(Column);
}

void TTolvanTable::SetAutoIncValue(int32_t FieldIndex, int64_t Value) {
  CheckActive();
  Cursor()->SetAutoIncValue(FieldIndex, Value);
}

} // namespace tolvan
