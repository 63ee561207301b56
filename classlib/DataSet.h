// DataSet.h: TDataSet, the record-buffer dataset that fields, definitions and data links work
// through.
//
// A dataset has a state, its fields (TFields, in order), its field definitions (TFieldDefs) and
// three record buffers made when it opens and returned when it closes: the shown record
// (ActiveBuffer), a spare that every fetch reads into and that is swapped in only when the
// fetch answers grOK, and TempBuffer. A failing fetch therefore never touches the shown
// record. The buffers' bytes are the dataset's business; the framework only knows that the
// calculated-field area holds, per calculated or lookup field at its Offset, a has-value byte
// and then DataSize bytes (CalcFieldsSize in all).
//
// The engine's datasets derive from it and override the hooks below; each has a neutral
// default, so a dataset overrides only what it stores. Field data:
//
//   hook                 called by                          default
//   ReadFieldData        TField::GetData                    no value
//   WriteFieldData       TField::SetData                    refuses outside the write states,
//                                                           then validates; stores nothing
//   ConvertFieldData     GetData/SetData of value forms     the date types, time stamps and
//                                                           wide strings (DBFields.h)
//   OpenBlobStream       TBlobField accessors               EDatabaseError
//   IsIndexField         TField::IsIndexField               false
//   ReadFieldDefs        TFieldDefs::Update                 LoadFieldDefs with a cursor, else
//                                                           an information-only cursor open
//   LoadFieldDefs        ReadFieldDefs                      nothing
//   RefreshIndexDefs     TIndexDefs::Update                 nothing
//   DefinitionsChanged   a user's change of a definition    nothing
//
// The cursor and its records (protected section): OpenEngineCursor / OpenData / HasCursor at
// open; CloseEngineCursor / CloseData at close; the record-buffer hooks; FetchRecord and the
// positioning hooks; bookmarks; the editing hooks. The framework calls them in this order:
//
//   open    BeforeOpen, OpenEngineCursor(false) (base: OpenData), HasCursor, RecordBufferSize,
//           NewRecordBuffer x3, MoveToBegin, FetchRecord(next), update-state, AfterOpen
//   insert  BeforeInsert, BeforeScroll, InitNewRecord, BeginInsertRecord, OnNewRecord,
//           AfterInsert, AfterScroll
//   edit    BeforeEdit, EditRecord, AfterEdit
//   post    BeforePost, PostRecord, FetchRecord(current...), AfterPost
//   cancel  BeforeCancel, CancelRecord, (an edit re-reads its record), AfterCancel
//   delete  BeforeDelete, BeforeScroll, DeleteRecord, FetchRecord(current...), AfterDelete,
//           AfterScroll
//   close   BeforeClose, CloseEngineCursor (base: CloseData, DisposeRecordBuffer x3), AfterClose
//
// A failure anywhere after OpenEngineCursor began makes the open call CloseEngineCursor once
// and end inactive with every buffer returned, so CloseData must tolerate a partial open.
// Close always ends inactive; a failing step does not stop the rest of the teardown and the
// first failure is rethrown. A failed Insert, Edit, Post, Cancel or Delete leaves the dataset
// in the state it had.
//
// The cursor may stand elsewhere than on the shown record after a fetch that did not answer
// grOK, after an Insert, or after CursorPosChanged (CurrentRecord is then -1); UpdateCursorPos
// puts it back with PositionOnRecord before every relative fetch, Edit, Delete and Refresh.
//
// Data events reach the links of every enabled data source (DataLinks.h) unless controls are
// disabled; the outermost EnableControls then sends one data-set change.
//
// Ownership: a dataset owns its TFields list, its TFieldDefs and its record buffers; the
// fields themselves belong to their owners (default fields: the dataset). Freeing a dataset
// closes it (no Before/AfterClose), detaches its data sources and leaves the fields it does not
// own without a dataset.
//
// Threads: a dataset, its fields, definitions, sources and links belong to one thread at a
// time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/Components.h"
#include "classlib/DB.h"
#include "classlib/DBConsts.h"
#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "classlib/Variants.h"

namespace tolvan {

// The states in which fields may be written.
constexpr bool CanWriteFields(TDataSetState State) noexcept {
  return (State >= dsEdit && State <= dsNewValue) || State == dsInternalCalc;
}

class TDataSet;
class TDataSource;

// A record's identity as the dataset writes it (BookmarkSize bytes); empty for none.
using TBookmark = std::vector<uint8_t>;
using TDataSetNotifyEvent = std::function<void(TDataSet& DataSet)>;
using TFilterRecordEvent = std::function<void(TDataSet& DataSet, bool& Accept)>;

#define TOLVAN_DATASET_EVENT(Name)                                                               \
  const TDataSetNotifyEvent& Name() const noexcept { return F##Name; }                          \
  void Set##Name(TDataSetNotifyEvent Value) { F##Name = std::move(Value); }

class TDataSet : public TComponent {
public:
  TDataSet();

  TDataSetState State() const noexcept { return FState; }
  bool Active() const noexcept { return FState != dsInactive; }
  // Open runs SetActive(true), Close SetActive(false).
  virtual void SetActive(bool Value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  // EDatabaseError unless inactive / active.
  void CheckInactive() const;
  void CheckActive() const;

  TFields& Fields() noexcept { return FFields; }
  const TFields& Fields() const noexcept { return FFields; }
  TFieldDefs& FieldDefs() noexcept { return *FFieldDefs; }
  const TFieldDefs& FieldDefs() const noexcept { return *FFieldDefs; }
  TField* FindField(std::string_view FieldName) const { return FFields.FindField(FieldName); }
  TField& FieldByName(std::string_view FieldName) const { return FFields.FieldByName(FieldName); }
  // The fields of a ';' list, appended in order; a missing name raises EDatabaseError.
  void GetFieldList(std::vector<TField*>& List, std::string_view FieldNames) const;
  // The fields were made from the definitions when the dataset opened.
  bool DefaultFields() const noexcept { return FDefaultFields; }

  // Field data in native form (DBFields.h). Buffer may be nil: only whether there is a value.
  virtual bool ReadFieldData(const TField& Field, void* Buffer);
  // A nil Buffer makes the field null.
  virtual void WriteFieldData(TField& Field, const void* Buffer);
  virtual void ConvertFieldData(const TField& Field, const void* Source, void* Dest, bool ToNative);
  virtual std::unique_ptr<TStream> OpenBlobStream(TField& Field, TBlobStreamMode Mode);
  virtual bool IsIndexField(const TField& Field);

  virtual void ReadFieldDefs();
  virtual void LoadFieldDefs() {}
  virtual void RefreshIndexDefs() {}
  virtual void DefinitionsChanged() {}

  // Navigation. Bof after First or a Prior that found no record; Eof after Last or a Next that
  // found none (the record shown stays); both on an empty dataset.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to Distance records and answers how many it moved (negative backwards).
  int32_t MoveBy(int32_t Distance);
  bool Bof() const noexcept { return FBof; }
  bool Eof() const noexcept { return FEof; }
  bool IsEmpty() const noexcept { return !FHasRecord && FState != dsInsert; }

  // Editing. Edit and Delete of an empty dataset, and any change of one that cannot be
  // modified, raise EDatabaseError.
  void Insert();
  void Append();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Ends a pending change: edit or insert posts when Modified, else cancels; set key posts.
  void CheckBrowseMode();
  bool Modified() const noexcept { return FModified; }
  void SetModified(bool Value) noexcept { FModified = Value; }
  bool Found() const noexcept { return FFound; }
  // The dataset accepts changes (base: true).
  virtual bool CanModify() { return true; }

  // Bookmarks: empty when no record is shown.
  TBookmark GetBookmark();
  // Moves to the record; one that cannot be read raises EDatabaseError.
  void GotoBookmark(const TBookmark& Bookmark);
  bool BookmarkValid(const TBookmark& Bookmark);
  // -1, 0 or 1; an empty bookmark sorts after any other.
  int32_t CompareBookmarks(const TBookmark& A, const TBookmark& B);
  int32_t BookmarkSize() const noexcept { return FBookmarkSize; }

  // The searches of the dataset's hooks; each sets Found.
  bool Locate(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options);
  Variant Lookup(std::string_view KeyFields, const Variant& KeyValues,
                 std::string_view ResultFields);
  bool FindFirst();
  bool FindLast();
  bool FindNext();
  bool FindPrior();
  // Reads the record under the cursor into Buffer.
  bool GetCurrentRecord(uint8_t* Buffer) { return ReadCurrentRecord(Buffer); }

  virtual int32_t RecordCount() { return -1; }
  int32_t RecNo() { return CurrentRecNo(); }
  virtual void SetRecNo(int32_t Value) { (void)Value; }

  const AnsiString& Filter() const noexcept { return FFilter; }
  virtual void SetFilter(std::string_view Value) { FFilter = Value; }
  bool Filtered() const noexcept { return FFiltered; }
  virtual void SetFiltered(bool Value) { FFiltered = Value; }
  TFilterOptions FilterOptions() const noexcept { return FFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions Value) { FFilterOptions = Value; }
  const TFilterRecordEvent& OnFilterRecord() const noexcept { return FOnFilterRecord; }
  virtual void SetOnFilterRecord(TFilterRecordEvent Value) { FOnFilterRecord = std::move(Value); }

  // A field change in edit or insert recalculates the shown record (default on).
  bool AutoCalcFields() const noexcept { return FAutoCalcFields; }
  void SetAutoCalcFields(bool Value) noexcept { FAutoCalcFields = Value; }

  // Tells the dataset and its links what happened (HandleDataEvent). A field change marks a
  // data field Modified and fires the field's OnChange unless the state computes values
  // (dsCalcFields, dsFilter, dsNewValue, dsInternalCalc); then it is not passed on either.
  void DataEvent(TDataEvent Event, TField* Field = nullptr) { HandleDataEvent(Event, Field); }
  // While disabled, no data event reaches a link; the outermost EnableControls sends an
  // update-state event when the state changed meanwhile, and a data-set change.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const noexcept { return FDisableCount > 0; }

  // This dataset is Source's dataset or stands further up its chain of master sources.
  bool IsLinkedTo(const TDataSource* Source);

  // Record buffers; nil while closed.
  uint8_t* ActiveBuffer() const noexcept { return FShown; }
  uint8_t* TempBuffer() const noexcept { return FTemp; }
  uint8_t* CalcBuffer() const noexcept { return FCalcBuffer; }
  int32_t BufferCount() const noexcept { return FShown ? 1 : 0; }
  // Index 0 up to BufferCount; others raise EDatabaseError.
  uint8_t* Buffers(int32_t Index) const;
  // 0 when the cursor stands on the shown record, -1 when it may stand elsewhere.
  int32_t CurrentRecord() const noexcept { return FCurrentRecord; }
  int32_t CalcFieldsSize() const noexcept { return FCalcFieldsSize; }

  // Notes that the cursor may stand elsewhere / puts it back on the shown record.
  void CursorPosChanged() noexcept { FCurrentRecord = -1; }
  void UpdateCursorPos();
  // Re-reads the shown record at the cursor. Not exact: else the next, else the prior record,
  // else the dataset is empty. Exact: EDatabaseError when the record cannot be read. Center
  // has no effect with one shown record.
  void Resync(bool Exact, bool Center = false);
  // Computes Buffer's calculated fields in the dsCalcFields state.
  void CalculateFields(uint8_t* Buffer);
  // Enters a state without events; RestoreState returns to the one answered.
  TDataSetState SetTempState(TDataSetState Value) noexcept;
  void RestoreState(TDataSetState Value) noexcept { FState = Value; }

  TOLVAN_DATASET_EVENT(BeforeOpen)
  TOLVAN_DATASET_EVENT(AfterOpen)
  TOLVAN_DATASET_EVENT(BeforeClose)
  TOLVAN_DATASET_EVENT(AfterClose)
  TOLVAN_DATASET_EVENT(BeforeInsert)
  TOLVAN_DATASET_EVENT(AfterInsert)
  TOLVAN_DATASET_EVENT(BeforeEdit)
  TOLVAN_DATASET_EVENT(AfterEdit)
  TOLVAN_DATASET_EVENT(BeforePost)
  TOLVAN_DATASET_EVENT(AfterPost)
  TOLVAN_DATASET_EVENT(BeforeCancel)
  TOLVAN_DATASET_EVENT(AfterCancel)
  TOLVAN_DATASET_EVENT(BeforeDelete)
  TOLVAN_DATASET_EVENT(AfterDelete)
  TOLVAN_DATASET_EVENT(BeforeScroll)
  TOLVAN_DATASET_EVENT(AfterScroll)
  TOLVAN_DATASET_EVENT(OnNewRecord)
  TOLVAN_DATASET_EVENT(OnCalcFields)

protected:
  ~TDataSet() override;
  // Closes (without Before/AfterClose) and detaches the data sources.
  void BeforeDestruction() override;

  // Enters a state: clears Modified and sends an update-state event.
  void SetState(TDataSetState Value);
  void SetFound(bool Value) noexcept { FFound = Value; }
  void SetBookmarkSize(int32_t Value) noexcept { FBookmarkSize = Value; }
  void DoBeforeScroll() { Fire(FBeforeScroll); }
  void DoAfterScroll() { Fire(FAfterScroll); }

  // Fields: made from FieldDefs (owned by the dataset), freed, and bound to their columns
  // (numbers, calculated-field offsets and CalcFieldsSize) or unbound.
  void CreateFields();
  void DestroyFields();
  void BindFields(bool Binding);

  // --- Hooks -------------------------------------------------------------------------------
  // Open: InfoQuery asks only for the definitions. Base: InfoQuery ? LoadFieldDefs : OpenData.
  virtual void OpenEngineCursor(bool InfoQuery);
  // Base: refreshes FieldDefs, makes default fields, binds them.
  virtual void OpenData();
  virtual bool HasCursor() const { return true; }
  // Base: CloseData, then DisposeRecordBuffer per buffer (all run; the first failure rethrown).
  virtual void CloseEngineCursor();
  // Base: unbinds the fields and frees default ones.
  virtual void CloseData();

  // Record buffers. Base: RecordBufferSize zero-filled bytes from the heap.
  virtual int32_t RecordBufferSize() { return FCalcFieldsSize; }
  virtual uint8_t* NewRecordBuffer();
  virtual void DisposeRecordBuffer(uint8_t* Buffer);
  virtual void InitRecordBuffer(uint8_t* Buffer);
  virtual void InitNewRecord(uint8_t* Buffer) { InitRecordBuffer(Buffer); }

  // Reads the record at (gmCurrent) or beside the cursor into Buffer. DoCheck: an error
  // raises. Base: no records.
  virtual TGetResult FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck);
  virtual void MoveToBegin() {}
  virtual void MoveToEnd() {}
  virtual void PositionOnRecord(uint8_t* Buffer) { (void)Buffer; }

  // Bookmarks: BookmarkSize bytes.
  virtual void ReadBookmark(const uint8_t* Buffer, uint8_t* Data);
  virtual void WriteBookmark(uint8_t* Buffer, const uint8_t* Data);
  virtual TBookmarkFlag ReadBookmarkFlag(const uint8_t* Buffer);
  virtual void WriteBookmarkFlag(uint8_t* Buffer, TBookmarkFlag Flag);
  virtual void GotoBookmarkPosition(const uint8_t* Bookmark) { (void)Bookmark; }
  virtual bool IsBookmarkValid(const uint8_t* Bookmark) { return Bookmark != nullptr; }
  virtual int32_t CompareBookmarkIDs(const uint8_t* A, const uint8_t* B);

  // Editing.
  virtual void BeginInsertRecord() {}
  virtual void EditRecord() {}
  virtual void PostRecord() {}
  virtual void CancelRecord() {}
  virtual void DeleteRecord() {}
  // Not called by the framework: a complete record inserted / a field's BLOB streams ended.
  virtual void AddRecord(uint8_t* Buffer) { (void)Buffer; }
  virtual void ReleaseBlobField(TField& Field) { (void)Field; }

  virtual void ClearCalculatedFields(uint8_t* Buffer) { (void)Buffer; }
  virtual int32_t CurrentRecNo() { return -1; }
  virtual void RefreshRecords() {}
  virtual bool SearchRecord(bool Restart, bool GoForward);
  virtual bool LocateRecord(std::string_view KeyFields, const Variant& KeyValues,
                            TLocateOptions Options);
  virtual Variant LookupValues(std::string_view KeyFields, const Variant& KeyValues,
                               std::string_view ResultFields);
  virtual bool ReadCurrentRecord(uint8_t* Buffer) { (void)Buffer; return false; }

  // Base: the dataset's own handling of an event, then the links.
  virtual void HandleDataEvent(TDataEvent Event, TField* Field);
  // Base: OnNewRecord.
  virtual void NewRecordDefaults() { Fire(FOnNewRecord); }
  virtual TDataSource* GetMasterSource() const { return nullptr; }
  // Base: the framework's post.
  virtual void PostRecordAndKey();
  // A failure that may not propagate. Base: the application exception handler.
  virtual void ReportException(std::exception_ptr Failure) noexcept;

private:
  friend class TDefCollection;
  friend class TDataSource;
  friend class TField;

  void Fire(const TDataSetNotifyEvent& Event) {
    if (Event)
      Event(*this);
  }
  void DoOpen();
  void DoClose();
  void OpenBuffers();
  // Returns every buffer; a failing DisposeRecordBuffer becomes the first failure kept.
  void FreeBuffers(std::exception_ptr& Failure) noexcept;
  // Fetches into the spare and shows it on grOK.
  TGetResult Fetch(TGetMode Mode, bool DoCheck);
  void SetEmpty() noexcept;
  void MoveToFirst();
  void MoveToLast();
  void BeginInsertAppend(bool Append);
  void DoCancel();
  void CheckEmptyForChange();
  bool Closing() const noexcept { return FClosing; }

  TDataSetState FState = dsInactive;
  bool FBof = true;
  bool FEof = true;
  bool FHasRecord = false;
  bool FModified = false;
  bool FFound = false;
  bool FDefaultFields = false;
  bool FAutoCalcFields = true;
  bool FFiltered = false;
  bool FClosing = false;
  // Saved while inserting: what the shown record was, to come back to on Cancel.
  bool FInsertHadRecord = false;
  bool FInsertBof = false;
  bool FInsertEof = false;
  TFilterOptions FFilterOptions = 0;
  TDataSetState FDisableState = dsInactive;
  int32_t FDisableCount = 0;
  int32_t FCurrentRecord = -1;
  int32_t FRecordBufferSize = 0;
  int32_t FCalcFieldsSize = 0;
  int32_t FBookmarkSize = 0;
  uint8_t* FShown = nullptr;
  uint8_t* FSpare = nullptr;
  uint8_t* FTemp = nullptr;
  uint8_t* FCalcBuffer = nullptr;
  // Definitions refreshing themselves from the dataset: their changes are not the user's.
  int32_t FDefinitionsUpdating = 0;
  TFields FFields;
  std::unique_ptr<TFieldDefs> FFieldDefs;
  std::vector<TDataSource*> FDataSources;
  AnsiString FFilter;
  TFilterRecordEvent FOnFilterRecord;
  TDataSetNotifyEvent FBeforeOpen, FAfterOpen, FBeforeClose, FAfterClose, FBeforeInsert,
      FAfterInsert, FBeforeEdit, FAfterEdit, FBeforePost, FAfterPost, FBeforeCancel, FAfterCancel,
      FBeforeDelete, FAfterDelete, FBeforeScroll, FAfterScroll, FOnNewRecord, FOnCalcFields;
};

#undef TOLVAN_DATASET_EVENT

} // namespace tolvan
