// TolvanCursor.h: TTolvanCursor, the engine's abstract cursor over one table.
//
// Every layer above storage reaches a table through a cursor: the dataset components, the SQL
// statements, the expressions and the storage engine itself create, open, read, write and
// search tables through it. The base keeps the state callers and implementation share (names
// and options, copies of the definitions, the record layout, the position, keys, range and the
// result of the last write) and implements the operations that need nothing but that state:
// field values in and out of a record buffer, buffers, positions and predicates. Everything
// that touches stored data is a virtual operation of the implementation. The record buffer's
// layout is TolvanRecordBuffer.h's.
//
// Field numbers are positions in VisibleFieldDefs unless an operation takes table numbering,
// then in FieldDefs. Both ends are checked (a negative number raises as one past the end), and a
// visible field reaches its column through its TableFieldNo, checked too. Offsets, sizes, types
// and null bits always come from FieldDefs.
//
// Record writes (EditRecord, CancelRecord, PostRecord, DeleteRecord) report through
// LastErrorCode / LastErrorText instead of raising:
//   0 ok, -1 insert refused, -2 update refused or failed, -3 delete refused or failed, -8 the
//   constraint check raised, -9 edit, -10 delete, -11 cancel refused on a temporary table.
//
// Ownership:
//   - the cursor owns its definition copies and WorkBuffer;
//   - it borrows RecordBuffer, ScratchBuffer, BeforeImage, the key buffers and Session, unless
//     it was given the session to own (AdoptSession);
//   - Filter, ExternalFilter, ResultBitmap and the open BLOB streams belong to the
//     implementation, which frees them at CloseTable. A caller that attached an external filter
//     and wants it back takes it with ReleaseExternalFilter before the cursor closes.
//
// Teardown: owners call CloseTable before destroying a cursor. The base destructor cannot close
// (the implementation is gone by then); an implementation's destructor closes only as a
// fallback and drops failures.
//
// Threads: a cursor is used by one thread at a time. It takes no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "classlib/Variants.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanStreams.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/TolvanSession.h"

namespace tolvan {

class TTolvanExpression;
class TTolvanSearchBuffers;
class TTolvanRecordBitmap;
class TTolvanTableData;

// The move GetRecord makes and its answer.
enum TTolvanGetRecordMode : uint8_t { rmCurrent = 0, rmNext = 1, rmPrior = 2 };
enum TTolvanGetRecordResult : uint8_t {
  rrOK = 0,
  rrBeginReached = 1,
  rrEndReached = 2,
  rrMissing = 3
};

// How the engine opens a BLOB stream. The ordinals differ from the dataset framework's
// TBlobStreamMode (read 0, write 1), hence the engine prefix.
enum TTolvanBlobOpenMode : uint8_t { tbmWrite = 0, tbmRead = 1, tbmReadWrite = 2 };

// Native codes of the base's own raises.
inline constexpr int32_t ErrGetFieldValueTableFieldNo = 10317;
inline constexpr int32_t ErrGetFieldValueFieldNo = 10737;
inline constexpr int32_t ErrSetFieldValueTableFieldNo = 10318;
inline constexpr int32_t ErrSetFieldValueFieldNo = 10738;
inline constexpr int32_t ErrGetFieldNativeFieldNo = 10005;
inline constexpr int32_t ErrSetFieldNativeFieldNo = 10006;
inline constexpr int32_t ErrSetBlobValueTableFieldNo = 11589;
inline constexpr int32_t ErrSetBlobValueFieldNo = 11591;
inline constexpr int32_t ErrBlobValueRead = 10117;
inline constexpr int32_t ErrRenameFieldNotFound = 30345;
inline constexpr int32_t ErrRenameFieldExists = 30346;
inline constexpr int32_t ErrCreateIndexForFields = 11394;
inline constexpr int32_t ErrSetMasterFields = 11393;

class TTolvanCursor {
  // Attaching to and detaching from a table marks the cursor opened.
  friend class TTolvanTableData;

public:
  // The dataset's record filter: true keeps the record in Buffer.
  using TFilterRecordEvent = std::function<bool(uint8_t* Buffer)>;

  TTolvanCursor() = default;
  virtual ~TTolvanCursor();
  TTolvanCursor(const TTolvanCursor&) = delete;
  TTolvanCursor& operator=(const TTolvanCursor&) = delete;

  // --- table operations ---------------------------------------------------------------------
  // Each works on the table named TableName without opening it for records.

  // Creates the table from copies of the definitions, every index's RootPageNo set to -1 first;
  // an in-memory or temporary table of that name is deleted first (unless CreateOnlyIfAbsent).
  virtual void CreateTable(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                           TTolvanConstraintDefs& ConstraintDefs) = 0;
  virtual void DeleteTable(bool IgnoreForeignKeys) = 0;
  virtual void EmptyTable() = 0;
  // TableName follows the table.
  virtual void RenameTable(std::string_view NewName) = 0;
  // Base: renames the column in FieldDefs only (names compared without case; NewName cut to
  // 255 characters). An unknown OldName raises 30345 "Field '%s' not found", a NewName another
  // column has 30346 "Cannot rename field '%s'. Field '%s' already exists".
  virtual void RenameField(std::string_view OldName, std::string_view NewName);
  // Appends a line to Log per problem; true on success. Session nil means the cursor's.
  virtual bool RepairTable(AnsiString& Log, TTolvanBaseSession* Session) = 0;
  virtual void AddForeignKey(const TTolvanConstraintDefForeignKey& Def) = 0;
  virtual void DeleteConstraint(std::string_view Name, bool Force, bool NoCascade) = 0;
  virtual void LoadTableFromStream(TStream& Stream) = 0;
  virtual void WriteTableToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm,
                                  uint8_t Level, int32_t Value, bool AllowOpen, bool KeepOpen) = 0;
  // The SQL script that recreates the table.
  virtual void GenerateTableSQL(bool AddCreateTable, bool AddDropTable, bool AddCreateIndexes,
                                bool AddDropIndexes, bool AddInsertData, bool IncludeBlobs,
                                bool QuoteNames, AnsiString& SQL) = 0;

  // --- open and definitions -----------------------------------------------------------------

  // Reloads FieldDefs (and VisibleFieldDefs unless ProjectionSet) and ConstraintDefs from the
  // table and sets the record layout (SetRecordLayout).
  virtual void InitFieldDefs() = 0;
  // Opens TableName; an in-memory table that does not exist is created from the definitions
  // (any of which may be nil otherwise). Afterwards Bof, not Eof, Opened. Opening an open
  // cursor does nothing.
  virtual void OpenTable(TTolvanFieldDefs* FieldDefs, TTolvanIndexDefs* IndexDefs,
                         TTolvanConstraintDefs* ConstraintDefs) = 0;
  // Runs inside OpenTable just before a missing in-memory table is made from the definitions
  // given to it, so that a caller whose definitions cost work to build fills them only then:
  // opening an existing table reads its own. Empty: nothing runs.
  void SetBeforeCreateTable(std::function<void()> Hook) { FBeforeCreateTable = std::move(Hook); }
  const std::function<void()>& BeforeCreateTable() const noexcept { return FBeforeCreateTable; }
  // Reloads index and constraint definitions, then InitFieldDefs. Base: nothing.
  virtual void RefreshDefs() {}
  // Releases the table and frees filters, result bitmap, WorkBuffer and open BLOB streams.
  virtual void CloseTable() = 0;
  // Sets every null bit of Buffer; then, unless the table is temporary and when asked, applies
  // default and auto-increment values.
  virtual void InitRecord(uint8_t* Buffer, bool ApplyDefaults) = 0;
  // Base: IndexDefs.
  virtual TTolvanIndexDefs& GetIndexDefs() { return FIndexDefs; }

  // --- indexes ------------------------------------------------------------------------------

  virtual void AddIndex(const TTolvanIndexDef& IndexDef) = 0;
  virtual void DeleteIndex(std::string_view Name) = 0;
  virtual void DeleteAllIndexes() = 0;
  // The first index whose leading columns fit (TTolvanIndexDefs::FindIndexForFields); empty
  // when none.
  virtual void FindIndexForFields(const TStringList* FieldNames, const TStringList* Orders,
                                  const TStringList* CaseModes, AnsiString& IndexName) = 0;
  // Base: 11394 "Error - operation is not supported".
  virtual void CreateIndexForFields(const TStringList* FieldNames, AnsiString& IndexName);

  // --- information --------------------------------------------------------------------------

  virtual bool IsTemporaryTable() = 0;
  virtual bool IsMemoryTable() = 0;
  // Position names a live record.
  virtual bool IsRecordValid() = 0;
  // Records visible through the cursor (filter, range and master link applied).
  virtual int64_t GetRecordCount() = 0;

  // --- navigation ---------------------------------------------------------------------------

  // Moves and reads the record into RecordBuffer. From Bof: next reads the first record, prior
  // answers rrBeginReached, current rrMissing; from Eof: prior reads the last, next answers
  // rrEndReached, current rrMissing. An empty table answers rrEndReached. A success clears Bof
  // and Eof.
  virtual TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode Mode) = 0;
  // Positions on visible record RecNo (from 1); nothing when there are none, the last one
  // for a number past the count.
  virtual void SetRecNo(int64_t RecNo) = 0;
  // The current visible record's number (from 1); -1 at either end or when there are none.
  virtual int64_t GetRecNo() = 0;

  // --- editing ------------------------------------------------------------------------------

  virtual void InsertRecordHook() = 0;
  virtual void EditRecord() = 0;
  // Abandons the insert (WasInsert) or edit; closes the BLOB streams opened for writing.
  virtual void CancelRecord(bool WasInsert) = 0;
  // Writes RecordBuffer as a new record (then its id is at RecordIDOffset and bfInserted
  // behind it) or as the update of the record whose id it holds.
  virtual void PostRecord(bool Insert) = 0;
  // Deletes the record whose id RecordBuffer holds.
  virtual void DeleteRecord() = 0;
  virtual int32_t DeleteAllRecords() = 0;
  // Sets the named visible fields to the values (converted in place) in every visible record.
  virtual int32_t UpdateAllRecords(const TStringList& FieldNames,
                                   std::span<TTolvanVariant* const> Values,
                                   bool SkipForeignKeys) = 0;

  // --- filter, range and search -------------------------------------------------------------

  virtual void ResetResultBitmap() = 0;
  // Base: 11393 "Error - operation is not supported".
  virtual void SetMasterFields(const TStringList* FieldNames, int32_t KeyFieldCount);
  // Rebuilds VisibleFieldDefs from the named columns, renamed by non-empty aliases.
  virtual void SetProjection(const TStringList& FieldNames, const TStringList& Aliases) = 0;
  virtual void SetFilter(std::string_view Text, bool CaseInsensitive, bool PartialCompare) = 0;
  // Does nothing while an external filter is attached.
  virtual void ClearFilter() = 0;
  virtual bool Locate(std::string_view FieldNames, const Variant& KeyValues, bool CaseInsensitive,
                      bool PartialKey) = 0;
  // Searches the current index with SearchKey; ConditionType 1 equal, 2 less, 3 greater, 4 less
  // or equal, 5 greater or equal. A failed search keeps the position.
  virtual bool GotoKey(uint8_t ConditionType) = 0;
  virtual void CancelRange() = 0;
  // A nil key leaves its side open. The keys stay the caller's.
  virtual void SetRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                        int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) = 0;
  // Attaches an additional filter, bound to this cursor; the cursor owns it from now on and
  // frees it at CloseTable. Nil detaches (and frees) the one attached.
  virtual void SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) = 0;
  // Hands the attached external filter back to the caller; nil when none is attached.
  virtual std::unique_ptr<TTolvanExpression> ReleaseExternalFilter() = 0;
  // The probe filter of a join probing this cursor: borrowed, never freed or cleared by the
  // cursor (ClearFilter and CloseTable leave it), nil removes it. It is bound to this cursor
  // like the external filter, searched after it, counts as filtering, and setting it resets
  // the result bitmap. The base only stores it.
  virtual void SetProbeFilter(TTolvanExpression* Expression) { FProbeFilter = Expression; }
  TTolvanExpression* ProbeFilter() const noexcept { return FProbeFilter; }
  // The buffers the storage's searches keep between searches of this cursor; nil when each
  // search makes its own (the base keeps none).
  virtual TTolvanSearchBuffers* SearchBuffers() { return nullptr; }

  // --- BLOBs --------------------------------------------------------------------------------

  // A stream on a visible BLOB field's value in RecordBuffer, owned by the cursor until
  // CloseBlob or CloseAllBlobs. Write mode, and a null field, start empty. A number out of
  // range raises 10110, a second writer on one field 10115.
  virtual TTolvanStream* OpenBlob(bool NewRecord, int32_t FieldNo, TTolvanBlobOpenMode Mode) = 0;
  // Closes the field's streams, storing written data into RecordBuffer; an empty written
  // stream makes the field null.
  virtual void CloseBlob(int32_t FieldNo) = 0;
  virtual void CloseAllBlobs(bool OnlyWritable) = 0;

  // --- auto-increment and table use ---------------------------------------------------------

  // The session's last value of the field's sequence.
  virtual int64_t GetAutoIncValue(int32_t FieldNo) = 0;
  virtual void SetAutoIncValue(int32_t FieldNo, int64_t Value) = 0;
  virtual void BeginTableUse() = 0;
  virtual void EndTableUse() = 0;
  // Called around the changes of the SQL UPDATE and DELETE statements; nothing by default.
  virtual void ReservedHook3(int32_t) {}
  virtual void ReservedHook4(int32_t) {}

  // --- objects of the layers above, owned by the implementation ------------------------------

  virtual TTolvanExpression* Filter() const = 0;
  virtual TTolvanExpression* ExternalFilter() const = 0;
  virtual TTolvanRecordBitmap* ResultBitmap() const = 0;

  // --- field values -------------------------------------------------------------------------

  // Reads a field of RecordBuffer. A null column gives a null of its value type. A BLOB,
  // MEMO or WIDEMEMO column is read whole from a private reader (OpenBlobReader): an empty
  // value is null, otherwise the value owns a block of the content and one zero byte (two for
  // WIDEMEMO), DataSize the content's length; a value too long for 32 bits raises ERangeError.
  // Other columns borrow the buffer's bytes, or copy them with Copy. Numbers out of range
  // raise 10317 (table numbering) or 10737.
  void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool TableNumbering, bool Copy);
  // Writes Value into a field of Buffer (RecordBuffer when nil). A null value sets the null
  // bit, of a BLOB column too. A BLOB column refuses any other value: 11589 (table numbering)
  // or 11591 "Setting blob field value is not allowed in this method, FieldNo = %d, TableName =
  // %s". Otherwise Value itself is converted to the column's type (the caller's value changes
  // type) and written by the bounded column writer; an empty text is stored as NULL. Numbers
  // out of range raise 10318 (table numbering) or 10738. A raise leaves Buffer unchanged.
  void SetCursorFieldValue(TTolvanVariant& Value, int32_t FieldNo, uint8_t* Buffer,
                           bool TableNumbering);
  // GetFieldData / SetFieldData of a visible field over Buffer (RecordBuffer when nil); false
  // when null. Numbers out of range raise 10005 (get) or 10006 (set). A nil Source stores NULL.
  bool GetFieldNative(int32_t FieldNo, const uint8_t* Buffer, void* Destination);
  bool GetFieldNative(int32_t FieldNo, const uint8_t* Buffer, WideString& Destination);
  void SetFieldNative(int32_t FieldNo, const void* Source, uint8_t* Buffer);
  void SetFieldNative(int32_t FieldNo, std::u16string_view Source, uint8_t* Buffer);

  // The column of visible field FieldNo; a number out of range, or a visible field whose
  // TableFieldNo is, raises Code "Invalid field number - FieldNo = %d, FieldCount = %d".
  int32_t TableFieldNo(int32_t FieldNo, int32_t Code) const;

  // --- buffers, positions and predicates ----------------------------------------------------

  // A zero-filled engine block of RecordSize bytes; the first call also makes WorkBuffer.
  uint8_t* AllocRecordBuffer();
  // Returns a block to the memory manager; nil is left alone.
  static void FreeRecordBuffer(uint8_t*& Buffer);
  // A zero-filled engine block of BookmarkRecordSize bytes.
  uint8_t* AllocBookmarkBuffer();
  // Zeroes the bookmark record (the record id too), then InitRecord without defaults.
  void ClearRecordBuffer(uint8_t* Buffer);

  void SetToBegin() noexcept {
    FBof = true;
    FEof = false;
  }
  void SetCursorToEnd() noexcept {
    FBof = false;
    FEof = true;
  }
  TTolvanCursorPosition SavePosition() const noexcept {
    return {uint8_t(FBof ? 1 : 0), uint8_t(FEof ? 1 : 0), FPosition};
  }
  void RestorePosition(const TTolvanCursorPosition& Saved) noexcept {
    FBof = Saved.Bof != 0;
    FEof = Saved.Eof != 0;
    FPosition = Saved.Position;
  }

  // Stores IndexName and the id of the index of that name in IndexDefs (-1 for none).
  void SetIndexName(std::string_view Name);

  bool CursorHasIndex() const noexcept { return FIndexID != -1; }
  bool CursorHasMasterLink() const noexcept { return FMasterKeyFieldCount > 0; }
  bool CursorIsFiltered() const {
    return Filter() != nullptr || ExternalFilter() != nullptr || FProbeFilter != nullptr ||
           bool(FOnFilterRecord);
  }
  bool CursorHasRange() const noexcept {
    return FRangeStartKey != nullptr || FRangeEndKey != nullptr;
  }
  bool CursorNeedsResultBitmap() const {
    return CursorIsFiltered() || CursorHasRange() || CursorHasMasterLink();
  }
  // The dataset's verdict on the record in Buffer; true when no dataset filters.
  bool CallCursorFilterEvent(uint8_t* Buffer) const {
    return !FOnFilterRecord || FOnFilterRecord(Buffer);
  }

  // --- state --------------------------------------------------------------------------------

  int32_t MemoryTableAllocBy() const noexcept { return FMemoryTableAllocBy; }
  void SetMemoryTableAllocBy(int32_t Value) noexcept { FMemoryTableAllocBy = Value; }
  bool ProjectionSet() const noexcept { return FProjectionSet; }
  void SetProjectionSet(bool Value) noexcept { FProjectionSet = Value; }
  const AnsiString& TableName() const noexcept { return FTableName; }
  void SetTableName(std::string_view Value) { FTableName = Value; }
  const AnsiString& IndexName() const noexcept { return FIndexName; }
  int32_t IndexID() const noexcept { return FIndexID; }
  bool ReadOnly() const noexcept { return FReadOnly; }
  void SetReadOnly(bool Value) noexcept { FReadOnly = Value; }
  bool Exclusive() const noexcept { return FExclusive; }
  void SetExclusive(bool Value) noexcept { FExclusive = Value; }
  bool InMemory() const noexcept { return FInMemory; }
  void SetInMemory(bool Value) noexcept { FInMemory = Value; }
  bool Temporary() const noexcept { return FTemporary; }
  void SetTemporary(bool Value) noexcept { FTemporary = Value; }

  TTolvanBaseSession* Session() const noexcept { return FSession; }
  // Borrows Value; a session the cursor owned is freed unless it is Value.
  void SetSession(TTolvanBaseSession* Value) noexcept;
  // The cursor owns Value from now on (OwnsSession).
  void AdoptSession(std::unique_ptr<TTolvanBaseSession> Value) noexcept;
  bool OwnsSession() const noexcept { return FOwnedSession != nullptr; }
  // Hands an owned session back (nil when the session is borrowed); Session becomes nil.
  std::unique_ptr<TTolvanBaseSession> ReleaseOwnedSession() noexcept;

  bool Opened() const noexcept { return FOpened; }
  uint8_t* WorkBuffer() const noexcept { return FWorkBuffer.get(); }
  uint8_t* RecordBuffer() const noexcept { return FRecordBuffer; }
  void SetRecordBuffer(uint8_t* Value) noexcept { FRecordBuffer = Value; }
  uint8_t* ScratchBuffer() const noexcept { return FScratchBuffer; }
  void SetScratchBuffer(uint8_t* Value) noexcept { FScratchBuffer = Value; }
  uint8_t* BeforeImage() const noexcept { return FBeforeImage; }
  void SetBeforeImage(uint8_t* Value) noexcept { FBeforeImage = Value; }

  TTolvanConstraintDefs& ConstraintDefs() noexcept { return FConstraintDefs; }
  const TTolvanConstraintDefs& ConstraintDefs() const noexcept { return FConstraintDefs; }
  TTolvanFieldDefs& FieldDefs() noexcept { return FFieldDefs; }
  const TTolvanFieldDefs& FieldDefs() const noexcept { return FFieldDefs; }
  TTolvanFieldDefs& VisibleFieldDefs() noexcept { return FVisibleFieldDefs; }
  const TTolvanFieldDefs& VisibleFieldDefs() const noexcept { return FVisibleFieldDefs; }
  TTolvanIndexDefs& IndexDefs() noexcept { return FIndexDefs; }
  const TTolvanIndexDefs& IndexDefs() const noexcept { return FIndexDefs; }

  bool KeepTemporaryTable() const noexcept { return FKeepTemporaryTable; }
  void SetKeepTemporaryTable(bool Value) noexcept { FKeepTemporaryTable = Value; }
  // CreateTable refuses a table of the name that exists (30247) instead of replacing it; the
  // check runs under the database's write gate, so no other thread makes the table in between.
  bool CreateOnlyIfAbsent() const noexcept { return FCreateOnlyIfAbsent; }
  void SetCreateOnlyIfAbsent(bool Value) noexcept { FCreateOnlyIfAbsent = Value; }
  bool KeepScanOrder() const noexcept { return FKeepScanOrder; }
  void SetKeepScanOrder(bool Value) noexcept { FKeepScanOrder = Value; }
  int32_t LastErrorCode() const noexcept { return FLastErrorCode; }
  void SetLastErrorCode(int32_t Value) noexcept { FLastErrorCode = Value; }
  const AnsiString& LastErrorText() const noexcept { return FLastErrorText; }
  void SetLastErrorText(std::string_view Value) { FLastErrorText = Value; }
  // Copied from the process-wide design-state flag by the components that make the cursor.
  bool DesignState() const noexcept { return FDesignState; }
  void SetDesignState(bool Value) noexcept { FDesignState = Value; }

  // The record layout, as SetRecordLayout last set it.
  int32_t RecordSize() const noexcept { return FRecordSize; }
  int32_t RecordIDOffset() const noexcept { return FRecordIDOffset; }
  int32_t FieldsOffset() const noexcept { return FFieldsOffset; }
  int32_t CalcFieldsOffset() const noexcept { return FCalcFieldsOffset; }
  // The dataset's calculated fields, after the flag byte: record buffers made from now on are
  // Size bytes longer (RecordSize = CalcFieldsOffset + Size). SetRecordLayout drops them again.
  void SetCalcFieldsSize(int32_t Size) noexcept {
    FRecordSize = FCalcFieldsOffset + (Size > 0 ? Size : 0);
  }
  // The cursor's bookmark record: bitmap, columns and record id.
  int32_t BookmarkRecordSize() const noexcept { return FRecordIDOffset + RecordIDSize; }

  uint8_t* SearchKey() const noexcept { return FSearchKey; }
  void SetSearchKey(uint8_t* Value) noexcept { FSearchKey = Value; }
  int32_t SearchKeyFieldCount() const noexcept { return FSearchKeyFieldCount; }
  void SetSearchKeyFieldCount(int32_t Value) noexcept { FSearchKeyFieldCount = Value; }
  uint8_t* RangeStartKey() const noexcept { return FRangeStartKey; }
  uint8_t* RangeEndKey() const noexcept { return FRangeEndKey; }
  bool RangeStartExclusive() const noexcept { return FRangeStartExclusive; }
  bool RangeEndExclusive() const noexcept { return FRangeEndExclusive; }
  int32_t RangeStartKeyFieldCount() const noexcept { return FRangeStartKeyFieldCount; }
  int32_t RangeEndKeyFieldCount() const noexcept { return FRangeEndKeyFieldCount; }
  int32_t MasterKeyFieldCount() const noexcept { return FMasterKeyFieldCount; }
  void SetMasterKeyFieldCount(int32_t Value) noexcept { FMasterKeyFieldCount = Value; }
  bool RepairMode() const noexcept { return FRepairMode; }
  void SetRepairMode(bool Value) noexcept { FRepairMode = Value; }

  const TTolvanRecordID& Position() const noexcept { return FPosition; }
  void SetPosition(const TTolvanRecordID& Value) noexcept { FPosition = Value; }
  bool Bof() const noexcept { return FBof; }
  void SetBof(bool Value) noexcept { FBof = Value; }
  bool Eof() const noexcept { return FEof; }
  void SetEof(bool Value) noexcept { FEof = Value; }

  const TFilterRecordEvent& OnFilterRecord() const noexcept { return FOnFilterRecord; }
  void SetOnFilterRecord(TFilterRecordEvent Handler) { FOnFilterRecord = std::move(Handler); }

protected:
  // A private read-mode stream on the value of BLOB column TableFieldNo in RecordBuffer, kept
  // out of the cursor's open streams so that reading never disturbs a writer; nil for no value.
  virtual std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t TableFieldNo) = 0;

  // Lays FieldDefs out (CalcLayout) and sets FieldsOffset, RecordIDOffset, RecordSize and
  // CalcFieldsOffset from it; a record too large for 32 bits raises EIntOverflow and changes
  // none of them.
  void SetRecordLayout();
  void SetOpened(bool Value) noexcept { FOpened = Value; }
  void FreeWorkBuffer() noexcept { FWorkBuffer.reset(); }
  // Stores the range as given.
  void StoreRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                  int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) noexcept;

private:
  // RecordBuffer, or EDatabaseError when the caller installed none.
  uint8_t* CurrentBuffer() const;
  // The FieldDefs position of FieldNo under either numbering.
  int32_t ResolveField(int32_t FieldNo, bool TableNumbering, int32_t TableCode,
                       int32_t VisibleCode) const;
  void ReadBlobValue(TTolvanVariant& Value, int32_t TableFieldNo, const TTolvanFieldDef& Def);

  int32_t FMemoryTableAllocBy = DefaultMemoryTableAllocBy;
  bool FProjectionSet = false;
  AnsiString FTableName;
  AnsiString FIndexName;
  int32_t FIndexID = -1;
  bool FReadOnly = false;
  bool FExclusive = false;
  bool FInMemory = false;
  bool FTemporary = false;
  TTolvanBaseSession* FSession = nullptr;
  std::unique_ptr<TTolvanBaseSession> FOwnedSession;
  bool FOpened = false;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FWorkBuffer;
  uint8_t* FRecordBuffer = nullptr;
  uint8_t* FScratchBuffer = nullptr;
  uint8_t* FBeforeImage = nullptr;
  TTolvanConstraintDefs FConstraintDefs;
  TTolvanFieldDefs FFieldDefs;
  TTolvanFieldDefs FVisibleFieldDefs;
  TTolvanIndexDefs FIndexDefs;
  std::function<void()> FBeforeCreateTable;
  bool FKeepTemporaryTable = false;
  bool FKeepScanOrder = false;
  bool FCreateOnlyIfAbsent = false;
  TTolvanExpression* FProbeFilter = nullptr;
  int32_t FLastErrorCode = 0;
  AnsiString FLastErrorText;
  bool FDesignState = false;
  int32_t FRecordSize = 0;
  int32_t FRecordIDOffset = 0;
  int32_t FSearchKeyFieldCount = 0;
  int32_t FFieldsOffset = 0;
  int32_t FCalcFieldsOffset = 0;
  uint8_t* FSearchKey = nullptr;
  uint8_t* FRangeStartKey = nullptr;
  uint8_t* FRangeEndKey = nullptr;
  bool FRangeStartExclusive = false;
  bool FRangeEndExclusive = false;
  int32_t FRangeStartKeyFieldCount = 0;
  int32_t FRangeEndKeyFieldCount = 0;
  int32_t FMasterKeyFieldCount = 0;
  bool FRepairMode = false;
  TTolvanRecordID FPosition{0, 0};
  bool FBof = false;
  bool FEof = false;
  TFilterRecordEvent FOnFilterRecord;
};

// The id of the cursor's session for page work; -2 without a cursor or without a session.
inline int32_t SessionIDOf(const TTolvanCursor* Cursor) noexcept {
  return Cursor && Cursor->Session() ? Cursor->Session()->SessionID() : -2;
}

} // namespace tolvan
