// TolvanDataSetEdit.cpp: editing of TTolvanDataSet: the framework's insert, edit, post, cancel
// and delete carried to the cursor, with the database component's record events around them.
#include <cstring>
#include <exception>

#include "classlib/DBConsts.h"
#include "classlib/Format.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

constexpr std::string_view SNotOpened = "Dataset is not opened";
constexpr std::string_view SNotInsertOrEdit = "Dataset is not in insert or edit mode";
constexpr std::string_view SReadOnly = "Dataset is in read only mode";

[[noreturn]] void Raise(int32_t Code, std::string_view Message) {
  throw ETolvanException::Create(Code, Message);
}

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown exception";
  }
}

// Clears value arrays when the operation ends, however it ends.
class TValueRelease {
public:
  TValueRelease(TTolvanArrayOfTTolvanVariant A, bool ReleaseA, TTolvanArrayOfTTolvanVariant B,
                bool ReleaseB) noexcept
      : FA(A), FB(B), FReleaseA(ReleaseA), FReleaseB(ReleaseB) {}
  ~TValueRelease() {
    if (FReleaseA)
      for (TTolvanVariant* V : FA)
        V->Clear();
    if (FReleaseB)
      for (TTolvanVariant* V : FB)
        V->Clear();
  }
  TValueRelease(const TValueRelease&) = delete;
  TValueRelease& operator=(const TValueRelease&) = delete;

private:
  TTolvanArrayOfTTolvanVariant FA, FB;
  bool FReleaseA, FReleaseB;
};

} // namespace

// --- record events -----------------------------------------------------------------------------

bool TTolvanDataSet::HasBeforeInsertRecordEvent() const noexcept {
  return FDatabase && FDatabase->BeforeInsertRecord();
}
bool TTolvanDataSet::HasAfterInsertRecordEvent() const noexcept {
  return FDatabase && FDatabase->AfterInsertRecord();
}
bool TTolvanDataSet::HasBeforeUpdateRecordEvent() const noexcept {
  return FDatabase && FDatabase->BeforeUpdateRecord();
}
bool TTolvanDataSet::HasAfterUpdateRecordEvent() const noexcept {
  return FDatabase && FDatabase->AfterUpdateRecord();
}
bool TTolvanDataSet::HasBeforeDeleteRecordEvent() const noexcept {
  return FDatabase && FDatabase->BeforeDeleteRecord();
}
bool TTolvanDataSet::HasAfterDeleteRecordEvent() const noexcept {
  return FDatabase && FDatabase->AfterDeleteRecord();
}
bool TTolvanDataSet::HasBeforeExecuteSQLEvent() const noexcept {
  return FDatabase && FDatabase->BeforeExecuteSQL();
}
bool TTolvanDataSet::HasAfterExecuteSQLEvent() const noexcept {
  return FDatabase && FDatabase->AfterExecuteSQL();
}

AnsiString TTolvanDataSet::EventTableName() const {
  return FCursor ? FCursor->TableName() : AnsiString("Unknown table");
}

// --- editing -----------------------------------------------------------------------------------

void TTolvanDataSet::InitNewRecord(uint8_t* Buffer) {
  TDataSet::InitNewRecord(Buffer);
  StoreRecordID(Buffer, FCursor->RecordIDOffset(), NewRecordID);
  StoreBookmarkFlag(Buffer, FCursor->RecordIDOffset(), uint8_t(bfInserted));
}

void TTolvanDataSet::BeginInsertRecord() {
  if (!FReadOnly && FCursor)
    FCursor->InsertRecordHook();
}

void TTolvanDataSet::EditRecord() {
  if (FReadOnly)
    return;
  if (!FCursor)
    RaiseNil(10065);
  uint8_t* Active = ActiveBuffer();
  if (!Active)
    RaiseNil(10067);
  FCursor->SetRecordBuffer(Active);
  FCursor->SetPosition(LoadRecordID(Active, FCursor->RecordIDOffset()));
  try {
    FCursor->EditRecord();
  } catch (...) {
    DatabaseError("Error editing record: " + CurrentMessage());
  }
  const int32_t Code = FCursor->LastErrorCode();
  if (Code == -9)
    DatabaseError("Cannot update record in temporary mode");
  if (Code != 0)
    return;
  uint8_t* Copy = FCursor->AllocRecordBuffer();
  std::memcpy(Copy, Active, size_t(FCursor->RecordSize()));
  if (FCursor->BeforeImage() == FEditCopy)
    FCursor->SetBeforeImage(nullptr);
  SetEditCopy(Copy);
  if (HasBeforeUpdateRecordEvent() || HasAfterUpdateRecordEvent())
    CaptureValues(FOldValues);
}

void TTolvanDataSet::CancelRecord() {
  if (!FCursor)
    RaiseNil(10066);
  if (State() == dsEdit && (HasBeforeUpdateRecordEvent() || HasAfterUpdateRecordEvent()))
    ReleaseValues(FOldValues);
  if (FEditCopy && FCursor->BeforeImage() == FEditCopy)
    FCursor->SetBeforeImage(nullptr);
  SetEditCopy(nullptr);
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  FCursor->CancelRecord(State() == dsInsert);
}

void TTolvanDataSet::PostRecord() {
  if (!Active())
    Raise(10029, SNotOpened);
  if (State() != dsInsert && State() != dsEdit)
    Raise(10030, SNotInsertOrEdit);
  if (FReadOnly)
    Raise(10032, SReadOnly);
  if (!FCursor)
    RaiseNil(10048);
  const bool Inserting = State() == dsInsert;
  const bool InsertEvent = HasBeforeInsertRecordEvent() || HasAfterInsertRecordEvent();
  const bool UpdateEvent = HasBeforeUpdateRecordEvent() || HasAfterUpdateRecordEvent();
  TValueRelease Release(FNewValues, Inserting ? InsertEvent : UpdateEvent, FOldValues,
                        !Inserting && UpdateEvent);
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  if (!Inserting)
    FCursor->SetBeforeImage(FEditCopy);
  if (Inserting ? InsertEvent : UpdateEvent)
    CaptureValues(FNewValues);
  bool Abort = false;
  if (Inserting && HasBeforeInsertRecordEvent()) {
    FDatabase->FireBeforeInsertRecord(FEventSender, EventTableName(), FNewValues, Abort);
    if (Abort)
      DatabaseError("Insert record is blocked by database event", this);
  } else if (!Inserting && HasBeforeUpdateRecordEvent()) {
    FDatabase->FireBeforeUpdateRecord(FEventSender, EventTableName(), FOldValues, FNewValues,
                                      Abort);
    if (Abort)
      DatabaseError("Update record is blocked by database event", this);
  }
  // The handlers may have moved the cursor's buffer.
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  if (!Inserting)
    FCursor->SetBeforeImage(FEditCopy);
  try {
    FCursor->PostRecord(Inserting);
  } catch (...) {
    DatabaseError((Inserting ? "Error inserting record: " : "Error updating record: ") +
                  CurrentMessage());
  }
  const int32_t Code = FCursor->LastErrorCode();
  if (!Inserting && Code == 0) {
    // The cursor never keeps a buffer that is about to be freed.
    FCursor->SetBeforeImage(nullptr);
    SetEditCopy(nullptr);
  }
  if (Code != 0)
    DatabaseError(FCursor->LastErrorText());
  FRecordReady = true;
  // The record is stored: a failing After event must not leave the dataset editing it, so its
  // exception waits until the framework has finished the post.
  try {
    if (Inserting && HasAfterInsertRecordEvent()) {
      if (FModifiedValues)
        CaptureValues(FNewValues);
      FDatabase->FireAfterInsertRecord(FEventSender, EventTableName(), FNewValues);
    } else if (!Inserting && HasAfterUpdateRecordEvent()) {
      if (FModifiedValues)
        CaptureValues(FNewValues);
      FDatabase->FireAfterUpdateRecord(FEventSender, EventTableName(), FOldValues, FNewValues);
    }
  } catch (...) {
    FPostFailure = std::current_exception();
  }
}

void TTolvanDataSet::PostRecordAndKey() {
  FPostFailure = nullptr;
  TDataSet::PostRecordAndKey();
  if (std::exception_ptr Failure = std::exchange(FPostFailure, nullptr))
    std::rethrow_exception(Failure);
}

void TTolvanDataSet::AddRecord(uint8_t* Buffer) {
  if (!Active())
    Raise(10075, SNotOpened);
  if (State() != dsInsert)
    Raise(10076, SNotInsertOrEdit);
  if (FReadOnly)
    Raise(10077, SReadOnly);
  if (!FCursor)
    RaiseNil(10078);
  const bool InsertEvent = HasBeforeInsertRecordEvent() || HasAfterInsertRecordEvent();
  TValueRelease Release(FNewValues, InsertEvent, FOldValues, false);
  FCursor->SetRecordBuffer(Buffer);
  if (InsertEvent)
    CaptureValues(FNewValues);
  if (HasBeforeInsertRecordEvent()) {
    bool Abort = false;
    FDatabase->FireBeforeInsertRecord(FEventSender, EventTableName(), FNewValues, Abort);
    if (Abort)
      DatabaseError("Insert record is blocked by database event", this);
    FCursor->SetRecordBuffer(Buffer);
  }
  FCursor->PostRecord(true);
  const int32_t Code = FCursor->LastErrorCode();
  if (Code == -1)
    DatabaseError(Format("Error adding record, table name = %s, InMemory = %s, Temporary = %s",
                         FCursor->TableName(), FCursor->InMemory() ? "-1" : "0",
                         FCursor->Temporary() ? "-1" : "0"));
  // Any other refusal too: the row must not vanish unseen.
  if (Code != 0)
    DatabaseError(FCursor->LastErrorText());
  FRecordReady = true;
  if (HasAfterInsertRecordEvent()) {
    if (FModifiedValues)
      CaptureValues(FNewValues);
    FDatabase->FireAfterInsertRecord(FEventSender, EventTableName(), FNewValues);
  }
}

void TTolvanDataSet::DeleteRecord() {
  if (!Active())
    Raise(10068, SNotOpened);
  if (FReadOnly)
    Raise(10069, SReadOnly);
  if (!FCursor)
    RaiseNil(10070);
  uint8_t* Active = ActiveBuffer();
  if (!Active)
    RaiseNil(10071);
  if (State() == dsEdit)
    Cancel();
  const bool DeleteEvent = HasBeforeDeleteRecordEvent() || HasAfterDeleteRecordEvent();
  TValueRelease Release(FOldValues, DeleteEvent, FNewValues, false);
  FCursor->SetRecordBuffer(Active);
  if (DeleteEvent)
    CaptureValues(FOldValues);
  if (HasBeforeDeleteRecordEvent()) {
    bool Abort = false;
    FDatabase->FireBeforeDeleteRecord(FEventSender, EventTableName(), FOldValues, Abort);
    if (Abort)
      DatabaseError("Delete record is blocked by database event", this);
  }
  FCursor->SetRecordBuffer(Active);
  try {
    FCursor->DeleteRecord();
  } catch (...) {
    DatabaseError("Error deleting record: " + CurrentMessage());
  }
  switch (FCursor->LastErrorCode()) {
  case 0:
    break;
  case -10:
    DatabaseError("Cannot delete record in temporary mode");
  case -3:
    DatabaseError("Error deleting record: " + FCursor->LastErrorText());
  case -5:
    DatabaseError("Error deleting record - record was modified by other process");
  case -7:
    DatabaseError("Error deleting record - record was deleted by other process");
  default:
    DatabaseError(FCursor->LastErrorText());
  }
  FPositionChanged = true;
  if (HasAfterDeleteRecordEvent())
    FDatabase->FireAfterDeleteRecord(FEventSender, EventTableName(), FOldValues);
}

// --- whole-table operations --------------------------------------------------------------------

void TTolvanDataSet::EmptyTable() {
  if (!Active())
    Raise(11304, SNotOpened);
  if (FReadOnly)
    Raise(11305, SReadOnly);
  if (!FCursor)
    RaiseNil(11306);
  First();
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  FCursor->DeleteAllRecords();
}

void TTolvanDataSet::UpdateAllRecords(const TStringList& FieldNames,
                                      std::span<TTolvanVariant* const> Values) {
  if (!Active())
    Raise(11463, SNotOpened);
  if (FReadOnly)
    Raise(11464, SReadOnly);
  if (!FCursor)
    RaiseNil(11465);
  First();
  FCursor->SetRecordBuffer(CurrentRecordBuffer());
  FCursor->UpdateAllRecords(FieldNames, Values, false);
}

void TTolvanDataSet::BeginTableUse() {
  CheckActive();
  if (!FCursor)
    RaiseNil(11306);
  FCursor->BeginTableUse();
}

void TTolvanDataSet::EndTableUse() {
  CheckActive();
  if (!FCursor)
    RaiseNil(11306);
  FCursor->EndTableUse();
}

} // namespace tolvan
