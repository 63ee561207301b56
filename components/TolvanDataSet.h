// TolvanDataSet.h: TTolvanDataSet, the base of the table and query components: the dataset
// framework's record-buffer operations carried out on one engine cursor.
//
// A dataset holds its database through a mask of use reasons (below). The first reason opens
// the database through the dataset's session (which makes a temporary database component when
// the session has none of that name); the last releases it, and a temporary database dies with
// that release, taking its engine session along. Opening the dataset takes reason 0 and makes
// the cursor (CreateCursor, which the table and query override); closing frees the cursor and
// gives reason 0 back. A failed open ends with no cursor and reason 0 released, whichever step
// failed: the framework calls CloseEngineCursor once after any failure, and CloseEngineCursor,
// CloseData and DestroyCursor accept every partial state.
//
// Use reasons (bits of DatabaseUse()):
//
//   bit | reason
//   ----|------------------------------------------------
//    0  | cursor open
//    1  | query prepared
//    2  | query executing
//    3  | table operation
//    5  | index operation
//   10  | provider transaction
//
// Key buffers: six buffers of the cursor's bookmark record (E = RecordIDOffset, so E + 6 bytes),
// numbered 0 search key, 1 range start, 2 range end, 3 and 4 the range start and end last handed
// to the cursor, 5 the saved copy of the key buffer being edited. The record id's place at E
// carries the key's own trailer instead, read and written with LoadLE / StoreLE:
//
//   offset | size        | meaning
//   -------|-------------|----------------------------------------
//   E      | 1           | modified (0 / 1)
//   E + 1  | 1           | exclusive (0 / 1)
//   E + 2  | 4 (int32)   | key field count; 0 means all of the index
//
// Cursors: an own cursor is owned (what CreateCursor returns, unless it is the external cursor
// or CreateCursor says it is borrowed); an external or borrowed cursor survives DestroyCursor. The
// cursor keeps no pointer to the dataset: its OnFilterRecord captures the dataset, and
// DestroyCursor clears it from a cursor the dataset does not own, so a surviving cursor never calls
// a freed dataset.
//
// Ownership: the dataset owns its cursor (unless external), its definition collections, key
// buffers, edit copy and value arrays. The database belongs to its session; the dataset holds
// one use of it while its use mask is not empty.
//
// Threads: a dataset serves one thread at a time. Datasets of several threads may share a
// session (the default one): joining, leaving and releasing a database run inside the sessions'
// critical section. Creation and destruction register in the process-wide dataset registry,
// whose lock is a leaf.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DB.h"
#include "classlib/DBDefs.h"
#include "classlib/DBParams.h"
#include "classlib/DataSet.h"
#include "components/TolvanDatabase.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

class TTolvanAdvFieldDefs;
class TTolvanForeignKeyDefs;

// Use reasons: bit numbers of the use mask.
using TTolvanDataSetUseReason = uint8_t;
inline constexpr TTolvanDataSetUseReason durCursorOpen = 0;
inline constexpr TTolvanDataSetUseReason durQueryPrepared = 1;
inline constexpr TTolvanDataSetUseReason durQueryExecuting = 2;
inline constexpr TTolvanDataSetUseReason durTableOperation = 3;
inline constexpr TTolvanDataSetUseReason durIndexOperation = 5;
inline constexpr TTolvanDataSetUseReason durProviderTransaction = 10;
using TTolvanDataSetUseReasons = uint16_t;

// Native codes of the dataset.
inline constexpr int32_t ErrCannotOpenDatabase = 11245;
inline constexpr int32_t ErrCreatingTableHandle = 20001;
inline constexpr int32_t ErrAllocKeyBuffersNil = 10281;
inline constexpr int32_t ErrInitKeyBufferNil = 10280;
inline constexpr int32_t ErrNewRecordBufferNil = 10052;
inline constexpr int32_t ErrDisposeRecordBufferNil = 10053;
inline constexpr int32_t ErrInitRecordBufferNil = 10054;
inline constexpr int32_t ErrRecordBufferSizeNil = 10055;
inline constexpr int32_t ErrBuildIndexFieldMapIndex = 10325;
inline constexpr int32_t ErrApplyFilterTextNil = 10269;
inline constexpr int32_t ErrClearFilterTextNil = 10270;
inline constexpr int32_t ErrCancelRangeKeysNil = 10287;
inline constexpr int32_t ErrProviderNotSupported = 11394;
inline constexpr int32_t ErrFindIndexForFieldsNil = 11382;
// A record buffer must stay below this size.
inline constexpr int32_t MaxDataSetRecordBufferSize = 65536;

// "Cannot perform this operation on an open database"
inline constexpr std::string_view SDataSetDatabaseOpen =
    "Cannot perform this operation on an open database";

// The key buffers by number.
inline constexpr int32_t KeyBufferCount = 6;
inline constexpr int32_t kiSearchKey = 0;
inline constexpr int32_t kiRangeStart = 1;
inline constexpr int32_t kiRangeEnd = 2;
inline constexpr int32_t kiCurRangeStart = 3;
inline constexpr int32_t kiCurRangeEnd = 4;
inline constexpr int32_t kiSave = 5;
// The trailer of a key buffer, after E.
inline constexpr int32_t KeyModifiedOffset = 0;
inline constexpr int32_t KeyExclusiveOffset = 1;
inline constexpr int32_t KeyFieldCountOffset = 2;
inline constexpr int32_t KeyTrailerSize = 6;

class TTolvanDataSet : public TDataSet, public TTolvanDatabaseClient {
public:
  // Navigation
  // Record fetch, counts and numbers, bookmarks, filters and searches over the cursor
  // (TolvanDataSetNavigation.cpp). Each raises "Nil pointer occured" with its own code when the
  // dataset has no cursor.
  int32_t RecordCount() override;
  // n <= 0 raises 11622; a pending edit is posted or cancelled first.
  void SetRecNo(int32_t Value) override;
  void SetFilter(std::string_view Value) override;
  void SetFilterOptions(TFilterOptions Value) override;
  void SetFiltered(bool Value) override;
  void SetOnFilterRecord(TFilterRecordEvent Value) override;
  bool IsIndexField(const TField& Field) override;
  // The cursor position's record id.
  TTolvanRecordID GetCurrentRecordID();
  // Cancels the range, selects the cursor's index and rebuilds the index field map; the caller
  // re-synchronises the shown record.
  void SwitchIndex(std::string_view IndexName);
  // The first index of the cursor's table whose leading columns are those fields (each list
  // may be nil); empty when none. 11382 without a cursor.
  AnsiString FindIndexForFields(const TStringList* FieldNames, const TStringList* Descending,
                                const TStringList* CaseInsensitive);
  // Attaches an additional filter to the cursor, which owns it from then on.
  void SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression);
  // Sets the cursor's probe filter (borrowed; nil removes it) and resets its result bitmap.
  // The caller moves the dataset afterwards (First).
  void SetProbeFilter(TTolvanExpression* Expression);
  // Makes the record ID the current record, as a bookmark would, reading it into the active
  // buffer; false (position unchanged) when the cursor does not see that record.
  bool GotoRecordID(const TTolvanRecordID& ID);
  // Shows the named columns under the aliases (an empty alias keeps the name): the cursor is
  // projected and the dataset reopened on it. Nothing when the aliases already are the
  // extended field definitions' names in order.
  void SetProjection(const TStringList& FieldNames, const TStringList& Aliases);
  // Whether the buffer of the current state carries the calculated-field area: not the key
  // buffer of set key, nor the engine record the filter event sees. Field data reads a
  // calculated field there as null and refuses to write one.
  bool StateBufferHasCalcArea() const noexcept;

protected:
  TGetResult FetchRecord(uint8_t* Buffer, TGetMode Mode, bool DoCheck) override;
  bool ReadCurrentRecord(uint8_t* Buffer) override;
  int32_t CurrentRecNo() override;
  void MoveToBegin() override;
  void MoveToEnd() override;
  void PositionOnRecord(uint8_t* Buffer) override;
  void ClearCalculatedFields(uint8_t* Buffer) override;
  void ReadBookmark(const uint8_t* Buffer, uint8_t* Data) override;
  void WriteBookmark(uint8_t* Buffer, const uint8_t* Data) override;
  TBookmarkFlag ReadBookmarkFlag(const uint8_t* Buffer) override;
  void WriteBookmarkFlag(uint8_t* Buffer, TBookmarkFlag Flag) override;
  void GotoBookmarkPosition(const uint8_t* Bookmark) override;
  bool IsBookmarkValid(const uint8_t* Bookmark) override;
  int32_t CompareBookmarkIDs(const uint8_t* A, const uint8_t* B) override;
  void RefreshRecords() override;
  bool SearchRecord(bool Restart, bool GoForward) override;
  bool LocateRecord(std::string_view KeyFields, const Variant& KeyValues,
                    TLocateOptions Options) override;
  Variant LookupValues(std::string_view KeyFields, const Variant& KeyValues,
                       std::string_view ResultFields) override;
  bool LocateInCursor(std::string_view KeyFields, const Variant& KeyValues, TLocateOptions Options);
  void SetFilterTextAndOptions(std::string_view Text, TFilterOptions Options);
  // Record-ready copy of step one: the cursor stands on the record its buffer holds and sees it.
  bool CursorSeesBufferedRecord() const;
  // Whether the cursor, standing on ID, sees that record (exists, passes filter and range).
  bool CursorSeesRecord(const TTolvanRecordID& ID);
  // The record number of a bookmark, -1 for one naming no live record.
  int32_t BookmarkRecNo(const uint8_t* Bookmark, uint8_t* Scratch);

  // The filter state's buffer is a whole record buffer (Locate, Lookup), not the engine record
  // the filter event sees.
  bool FFullFilterBuffer = false;
  // Nesting of LookupValues (a calculated field's handler may look up in turn).
  int32_t FLookupDepth = 0;

public:
  // Use NewComponent / MakeComponent.
  TTolvanDataSet();

  // --- properties -------------------------------------------------------------------------------

  // The engine's version text, whatever was stored.
  AnsiString CurrentVersion() const;
  void SetCurrentVersion(std::string_view Value) { FCurrentVersion = Value; }
  const AnsiString& DatabaseName() const noexcept { return FDatabaseName; }
  // Case-sensitive change check; a held database raises EDatabaseError.
  void SetDatabaseName(std::string_view Value);
  bool InMemory() const noexcept { return FInMemory; }
  // Closed datasets only; True also names "MEMORY".
  void SetInMemory(bool Value);
  // In-memory flag := an in-memory database of DatabaseName is registered.
  void UpdateInMemoryFlag();
  const AnsiString& SessionName() const override { return FSessionName; }
  // Inactive datasets only.
  void SetSessionName(std::string_view Value) override;
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  // A temporary table of the "TEMP" database. Closed datasets only; True also names "TEMP".
  bool Temporary() const noexcept { return FTemporary; }
  void SetTemporary(bool Value);
  bool StoreDefs() const noexcept { return FStoreDefs; }
  void SetStoreDefs(bool Value) noexcept { FStoreDefs = Value; }
  const TUpdateRecordEvent& OnUpdateRecord() const noexcept { return FOnUpdateRecord; }
  void SetOnUpdateRecord(TUpdateRecordEvent Value) { FOnUpdateRecord = std::move(Value); }
  // The Sender of the record events: the dataset unless the SQL layer names its query.
  TTolvanDataSet* EventSender() const noexcept { return FEventSender; }
  void SetEventSender(TTolvanDataSet* Value) noexcept { FEventSender = Value ? Value : this; }

  // --- definitions ------------------------------------------------------------------------------

  TIndexDefs& IndexDefs() noexcept { return *FIndexDefs; }
  TTolvanFieldDefs& EngineFieldDefs() noexcept { return FEngineFieldDefs; }
  TTolvanIndexDefs& EngineIndexDefs() noexcept { return FEngineIndexDefs; }
  TTolvanConstraintDefs& EngineConstraintDefs() noexcept { return FEngineConstraintDefs; }
  TTolvanAdvFieldDefs& AdvFieldDefs() noexcept { return *FAdvFieldDefs; }
  TTolvanForeignKeyDefs& ForeignKeyDefs() noexcept { return *FForeignKeyDefs; }
  // The definitions as last read from the stored table.
  TIndexDefs& StoredIndexDefs() noexcept { return *FStoredIndexDefs; }
  TTolvanAdvFieldDefs& StoredAdvFieldDefs() noexcept { return *FStoredAdvFieldDefs; }
  TTolvanForeignKeyDefs& StoredForeignKeyDefs() noexcept { return *FStoredForeignKeyDefs; }

  // Source's definitions into Dest, with each definition's two field lists.
  static void CopyIndexDefs(const TIndexDefs& Source, TIndexDefs& Dest);

  // --- database ---------------------------------------------------------------------------------

  // The held database; nil while the use mask is empty.
  TTolvanDatabase* Database() const noexcept { return FDatabase; }
  TTolvanDataSetUseReasons DatabaseUse() const noexcept { return FDatabaseUse; }
  bool HoldsReason(TTolvanDataSetUseReason Reason) const noexcept {
    return (FDatabaseUse >> Reason) & 1u;
  }
  // Adds or removes a reason; the first opens the database, the last releases it. A reason
  // already held (on) or not held (off) changes nothing. Opening fails with 11245, except
  // while the owner is being created: then nothing is recorded. A query unprepares before its
  // last reason goes.
  virtual void SetDatabaseUse(TTolvanDataSetUseReason Reason, bool On);
  // Closes the dataset and releases every remaining use.
  void Disconnect() override;
  void ForgetDatabase() noexcept override;

  // --- cursor -----------------------------------------------------------------------------------

  TTolvanCursor* Cursor() const noexcept { return FCursor; }
  // A cursor another component hands in, used instead of a new one; borrowed.
  TTolvanCursor* ExternalCursor() const noexcept { return FExternalCursor; }
  void SetExternalCursor(TTolvanCursor* Value) noexcept { FExternalCursor = Value; }
  // The record buffer field operations address in the current state, or nil.
  uint8_t* CurrentRecordBuffer() const noexcept;
  uint8_t* KeyBuffer(int32_t Index) const noexcept {
    return Index >= 0 && Index < KeyBufferCount ? FKeyBuffers[size_t(Index)] : nullptr;
  }
  uint8_t* EditedKeyBuffer() const noexcept { return FKeyBuffer; }
  // The current index's columns (1-based numbers of the cursor's fields) and key size.
  int32_t IndexFieldCount() const noexcept { return FIndexFieldCount; }
  const std::vector<uint16_t>& IndexFieldNumbers() const noexcept { return FIndexFieldNumbers; }
  int32_t IndexKeySize() const noexcept { return FIndexKeySize; }
  bool ProjectionApplied() const noexcept { return FProjectionApplied; }
  TTolvanArrayOfTTolvanVariant OldValues() const noexcept { return FOldValues; }
  TTolvanArrayOfTTolvanVariant NewValues() const noexcept { return FNewValues; }

  void SetActive(bool Value) override;

  // --- provider support (TolvanDataSetProvider.cpp) ---------------------------------------------

  void ProviderStartTransaction();
  void ProviderEndTransaction();
  // Runs SQL through a query with the given parameters; answers the rows affected, clamped to
  // 2 147 483 647. Reason 10 stays held. Without ResultSet the query is freed, else it is
  // stored there for the caller.
  int32_t ProviderExecuteStatement(std::string_view SQL, const TParams* Params,
                                   TComponentPtr<TDataSet>* ResultSet);
  AnsiString ProviderGetQuoteChar() const { return AnsiString(" @ "); }
  bool ProviderInTransaction() const noexcept { return false; }
  bool ProviderIsSQLBased() const noexcept { return true; }
  bool ProviderIsSQLSupported() const noexcept { return true; }
  // False without OnUpdateRecord; else whether the handler answered uaApplied.
  bool ProviderUpdateRecord(TUpdateKind UpdateKind, TDataSet& Delta);
  // The provider's statement text in this engine's SQL: names quoted with " @ " become
  // bracketed, each statement ends with ";" and CR LF.
  static AnsiString RewriteProviderParams(std::string_view SQL);

protected:
  ~TTolvanDataSet() override;
  void BeforeDestruction() override;
  // A dataset joining an owner that is being designed sets the design-state flag.
  void OwnerNotification(TComponent* Component, TOperation Operation) override;

  // --- database ---------------------------------------------------------------------------------

  // The dataset's session's database of DatabaseName, opened for the owner; nil on failure.
  TTolvanDatabase* OpenDatabase();
  void CloseDatabase(TTolvanDatabase* Database);
  // Moves a database found only in the default session back to the session it names.
  void RelinkDatabase();

  // --- open and close ---------------------------------------------------------------------------

  void OpenEngineCursor(bool InfoQuery) override;
  void OpenData() override;
  void CloseEngineCursor() override;
  void CloseData() override;
  bool HasCursor() const override { return FCursor != nullptr; }
  void ReportException(std::exception_ptr Failure) noexcept override;
  // The dataset's cursor, nil in the base. The result is owned by the dataset unless it is the
  // external cursor or CreateCursor called BorrowCreatedCursor (a query's cursor belongs to its
  // processor).
  virtual TTolvanCursor* CreateCursor() { return nullptr; }
  // Tells OpenEngineCursor that the cursor CreateCursor is about to return belongs to someone
  // else: DestroyCursor then only lets go of it.
  void BorrowCreatedCursor() noexcept { FCreatedCursorBorrowed = true; }
  void SetProjectionApplied(bool Value) noexcept { FProjectionApplied = Value; }
  // Closes and frees an own cursor (its close may raise); the reference is cleared in every
  // case, and a borrowed cursor keeps nothing of the dataset.
  virtual void DestroyCursor();
  // After opening; nothing in the base.
  virtual void PrepareCursor() {}

  // --- definitions and values -------------------------------------------------------------------

  void LoadFieldDefs() override;
  void ExchangeDefs(TTolvanCursor& Cursor);
  void LoadIndexDefsFromCursor(TTolvanCursor& Cursor);
  // One null value per extended field definition in each array.
  void AllocValueArrays();
  void FreeValueArrays() noexcept;

  // --- record buffers ---------------------------------------------------------------------------

  int32_t RecordBufferSize() override;
  uint8_t* NewRecordBuffer() override;
  void DisposeRecordBuffer(uint8_t* Buffer) override;
  void InitRecordBuffer(uint8_t* Buffer) override;

  // --- key buffers ------------------------------------------------------------------------------

  void AllocKeyBuffers();
  void FreeKeyBuffers() noexcept;
  // Zeroes Buffer and initialises it as an empty record.
  virtual void InitKeyBuffer(uint8_t* Buffer);

  // --- index map, filter, range -----------------------------------------------------------------

  void BuildIndexFieldMap();
  void ApplyFilterText();
  void ClearFilterText();
  // Clears the applied range keys; True when one was set. Nothing while an external filter is
  // attached to the cursor.
  bool CancelRangeKeys();
  // The cursor's filter callback: the dataset's OnFilterRecord over Buffer.
  bool RunFilterEvent(uint8_t* Buffer);

  void SetEditCopy(uint8_t* Buffer) noexcept;
  uint8_t* EditCopy() const noexcept { return FEditCopy; }
  void SetFilterBuffer(uint8_t* Buffer) noexcept { FFilterBuffer = Buffer; }
  void SetEditedKeyBuffer(uint8_t* Buffer) noexcept { FKeyBuffer = Buffer; }

  // Field data and editing
  friend class TTolvanBlobStream;

public:
  bool CanModify() override { return !FReadOnly; }
  bool ReadFieldData(const TField& Field, void* Buffer) override;
  void WriteFieldData(TField& Field, const void* Buffer) override;
  void ConvertFieldData(const TField& Field, const void* Source, void* Dest,
                        bool ToNative) override;
  // Between the framework's date-time value and the column's stored form (ftDate, ftTime,
  // ftDateTime, ftTimeStamp).
  void ConvertDateTimeData(const TField& Field, const void* Source, bool ToNative, void* Dest);
  std::unique_ptr<TStream> OpenBlobStream(TField& Field, TBlobStreamMode Mode) override;
  // The engine stream a TTolvanBlobStream works on; the cursor keeps it until CloseBlob.
  TTolvanStream* OpenCursorBlob(TField& Field, TBlobStreamMode Mode);

  // Record values of the current record buffer; column numbers are visible positions unless
  // TableNumbering.
  void CaptureValues(const TTolvanArrayOfTTolvanVariant& Values);
  static void ReleaseValues(const TTolvanArrayOfTTolvanVariant& Values) noexcept;
  void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering, bool Copy);
  void SetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering);

  bool HasBeforeInsertRecordEvent() const noexcept;
  bool HasAfterInsertRecordEvent() const noexcept;
  bool HasBeforeUpdateRecordEvent() const noexcept;
  bool HasAfterUpdateRecordEvent() const noexcept;
  bool HasBeforeDeleteRecordEvent() const noexcept;
  bool HasAfterDeleteRecordEvent() const noexcept;
  bool HasBeforeExecuteSQLEvent() const noexcept;
  bool HasAfterExecuteSQLEvent() const noexcept;

  void EmptyTable();
  void UpdateAllRecords(const TStringList& FieldNames, std::span<TTolvanVariant* const> Values);
  void BeginTableUse();
  void EndTableUse();

protected:
  void InitNewRecord(uint8_t* Buffer) override;
  void BeginInsertRecord() override;
  void EditRecord() override;
  void PostRecord() override;
  void CancelRecord() override;
  void DeleteRecord() override;
  void AddRecord(uint8_t* Buffer) override;
  void ReleaseBlobField(TField& Field) override;
  void PostRecordAndKey() override;

private:
  // The cursor's table name, or "Unknown table".
  AnsiString EventTableName() const;
  // An After record event's failure, kept by PostRecord until the framework's post is done.
  std::exception_ptr FPostFailure;
  // Per field, the zero-terminated text a wide-string field's native form points to.
  std::vector<std::u16string> FWideScratch;

private:
  // Release every reason without raising, for teardown.
  void ReleaseAllUses(std::exception_ptr& Failure) noexcept;
  void FreeEditCopy() noexcept;
  void ClearIndexFieldMap() noexcept;
  // The destructor's fallback after a teardown that failed.
  void DestroyOwnCursorQuietly() noexcept;

  AnsiString FCurrentVersion;
  TTolvanCursor* FCursor = nullptr;
  std::unique_ptr<TTolvanCursor> FOwnCursor;
  AnsiString FSessionName;
  uint8_t* FFilterBuffer = nullptr;
  int32_t FIndexFieldCount = 0;
  std::vector<uint16_t> FIndexFieldNumbers;
  int32_t FIndexKeySize = 0;
  TTolvanDataSetUseReasons FDatabaseUse = 0;
  TTolvanDatabase* FDatabase = nullptr;
  AnsiString FDatabaseName;
  bool FInMemory = true;
  bool FReadOnly = false;
  bool FTemporary = false;
  bool FStoreDefs = false;
  uint8_t* FEditCopy = nullptr;
  TTolvanConstraintDefs FEngineConstraintDefs;
  TTolvanCursor* FExternalCursor = nullptr;
  bool FCreatedCursorBorrowed = false;
  bool FRecordReady = false;
  bool FProjectionApplied = false;
  TTolvanDataSet* FEventSender = nullptr;
  std::unique_ptr<TTolvanVariant[]> FOldValueStore;
  std::unique_ptr<TTolvanVariant[]> FNewValueStore;
  std::vector<TTolvanVariant*> FOldValues;
  std::vector<TTolvanVariant*> FNewValues;
  bool FModifiedValues = false;
  TUpdateRecordEvent FOnUpdateRecord;
  std::unique_ptr<TIndexDefs> FIndexDefs;
  TTolvanFieldDefs FEngineFieldDefs;
  TTolvanIndexDefs FEngineIndexDefs;
  std::unique_ptr<TTolvanAdvFieldDefs> FAdvFieldDefs;
  std::unique_ptr<TTolvanForeignKeyDefs> FForeignKeyDefs;
  std::unique_ptr<TIndexDefs> FStoredIndexDefs;
  std::unique_ptr<TTolvanAdvFieldDefs> FStoredAdvFieldDefs;
  std::unique_ptr<TTolvanForeignKeyDefs> FStoredForeignKeyDefs;
  uint8_t* FKeyBuffers[KeyBufferCount] = {};
  uint8_t* FKeyBuffer = nullptr;
  bool FPositionChanged = false;
};

} // namespace tolvan
