// TolvanLocalCursor.h: TTolvanLocalCursor, the cursor of this engine: it reaches a table of its
// session's database and forwards almost every operation to that table's data.
//
// The table operations (create, delete, empty, rename, repair, streams, SQL export) live in
// TolvanLocalCursorTables.cpp; opening, definitions, navigation, record writes, filters, ranges
// and BLOB streams in TolvanLocalCursor.cpp.
//
// A cursor opens on the table named TableName in its session's database: registered on the table
// data (OpenTable, the table keeps it in its cursor list) or attached directly
// (AttachToTableData, the table does not learn of it: index builds and repairs). An in-memory
// cursor on a missing table creates it from the definitions it is given.
//
// Record writes report through LastErrorCode and LastErrorText (TolvanCursor.h), except that an
// exception from the table's insert propagates. PostRecord holds the table lock across the
// constraint check, the storing of written BLOB streams and the store, so no other writer gets
// between check and store.
//
// Ownership: the cursor owns its copies of the definitions, ResultBitmap, Filter,
// ExternalFilter (not the borrowed probe filter, which closing only forgets), the open BLOB
// streams, copies of the range keys (SetRange copies
// the caller's keys; CancelRange and CloseTable free them) and its session when OwnsSession is
// set. The table data and the database are referred to.
//
// Teardown: CloseTable is the step that may raise (11631 from the table's DetachCursor); the
// destructor closes as a fallback and drops a failure. Under release 3.90, closing an in-memory
// cursor that carries the design-state flag deletes its table when no other cursor remains.
//
// Threads: a cursor serves one thread at a time and takes no lock of its own; the table data's
// operations lock the table. Every operation that changes data or definitions first takes the
// database's write gate (not for a temporary table), before any lock of the database or its
// tables; reads take none.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "foundation/TolvanMemory.h"
#include "schema/TolvanCursor.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanSearch.h"
#include "storage/TolvanTableData.h"
#include "storage/local/TolvanLocalBLOBStream.h"

namespace tolvan {

class TTolvanExpression;

// Native codes of the local cursor.
inline constexpr int32_t ErrOpenTableNotFound = 10028;
inline constexpr int32_t ErrAddIndexExists = 20022;
inline constexpr int32_t ErrDeleteIndexNotFound = 20021;
inline constexpr int32_t ErrProjectionListLength = 10321;
inline constexpr int32_t ErrProjectionNoFields = 10322;
inline constexpr int32_t ErrProjectionFieldNotFound = 10323;
inline constexpr int32_t ErrOpenBlobFieldNo = 10110;
inline constexpr int32_t ErrOpenBlobNoList = 10113;
inline constexpr int32_t ErrOpenBlobNilEntry = 10114;
inline constexpr int32_t ErrOpenBlobAlreadyOpened = 10115;
inline constexpr int32_t ErrCloseBlobFieldNo = 10118;
inline constexpr int32_t ErrCloseBlobNoList = 10119;
inline constexpr int32_t ErrCloseBlobNilEntry = 10120;
inline constexpr int32_t ErrCloseAllBlobsNilEntry = 10121;
// A cursor whose session is not attached to a database.
inline constexpr int32_t ErrCursorSessionNotConnected = 10897;
// A record or index operation on a cursor that is not open.
inline constexpr int32_t ErrCursorNotOpen = 10898;

class TTolvanLocalCursor : public TTolvanCursor {
public:
  TTolvanLocalCursor();
  ~TTolvanLocalCursor() override;

  // --- table operations (TolvanLocalCursorTables.cpp) ---------------------------------------

  void CreateTable(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                   TTolvanConstraintDefs& ConstraintDefs) override;
  void DeleteTable(bool IgnoreForeignKeys) override;
  void EmptyTable() override;
  void RenameTable(std::string_view NewName) override;
  void RenameField(std::string_view OldName, std::string_view NewName) override;
  bool RepairTable(AnsiString& Log, TTolvanBaseSession* Session) override;
  void AddForeignKey(const TTolvanConstraintDefForeignKey& Def) override;
  void DeleteConstraint(std::string_view Name, bool Force, bool NoCascade) override;
  void LoadTableFromStream(TStream& Stream) override;
  void WriteTableToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                          int32_t Value, bool AllowOpen, bool KeepOpen) override;
  void GenerateTableSQL(bool AddCreateTable, bool AddDropTable, bool AddCreateIndexes,
                        bool AddDropIndexes, bool AddInsertData, bool IncludeBlobs, bool QuoteNames,
                        AnsiString& SQL) override;

  // --- open and definitions -----------------------------------------------------------------

  void InitFieldDefs() override;
  void OpenTable(TTolvanFieldDefs* FieldDefs, TTolvanIndexDefs* IndexDefs,
                 TTolvanConstraintDefs* ConstraintDefs) override;
  void RefreshDefs() override;
  void CloseTable() override;
  void InitRecord(uint8_t* Buffer, bool ApplyDefaults) override;
  TTolvanIndexDefs& GetIndexDefs() override;

  // --- indexes ------------------------------------------------------------------------------

  void AddIndex(const TTolvanIndexDef& IndexDef) override;
  void DeleteIndex(std::string_view Name) override;
  void DeleteAllIndexes() override;
  void FindIndexForFields(const TStringList* FieldNames, const TStringList* Orders,
                          const TStringList* CaseModes, AnsiString& IndexName) override;
  // 11394 "Error - operation is not supported".
  void CreateIndexForFields(const TStringList* FieldNames, AnsiString& IndexName) override;

  // --- information --------------------------------------------------------------------------

  bool IsTemporaryTable() override;
  bool IsMemoryTable() override;
  bool IsRecordValid() override;
  int64_t GetRecordCount() override;

  // --- navigation ---------------------------------------------------------------------------

  TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode Mode) override;
  void SetRecNo(int64_t RecNo) override;
  int64_t GetRecNo() override;

  // --- editing ------------------------------------------------------------------------------

  void InsertRecordHook() override;
  void EditRecord() override;
  void CancelRecord(bool WasInsert) override;
  void PostRecord(bool Insert) override;
  void DeleteRecord() override;
  int32_t DeleteAllRecords() override;
  int32_t UpdateAllRecords(const TStringList& FieldNames, std::span<TTolvanVariant* const> Values,
                           bool SkipForeignKeys) override;

  // --- filter, range and search -------------------------------------------------------------

  void ResetResultBitmap() override;
  // 11393 "Error - operation is not supported".
  void SetMasterFields(const TStringList* FieldNames, int32_t KeyFieldCount) override;
  void SetProjection(const TStringList& FieldNames, const TStringList& Aliases) override;
  void SetFilter(std::string_view Text, bool CaseInsensitive, bool PartialCompare) override;
  void ClearFilter() override;
  bool Locate(std::string_view FieldNames, const Variant& KeyValues, bool CaseInsensitive,
              bool PartialKey) override;
  bool GotoKey(uint8_t ConditionType) override;
  void CancelRange() override;
  // Copies the keys (the bitmap and columns of the record layout) into buffers of the cursor.
  void SetRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) override;
  void SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) override;
  std::unique_ptr<TTolvanExpression> ReleaseExternalFilter() override;
  // Binds the expression to this cursor (a failure leaves the slot as it was) and resets the
  // result bitmap. The expression stays the caller's: removing it (nil) does not touch it.
  void SetProbeFilter(TTolvanExpression* Expression) override;

  // --- BLOBs --------------------------------------------------------------------------------

  TTolvanStream* OpenBlob(bool NewRecord, int32_t FieldNo, TTolvanBlobOpenMode Mode) override;
  void CloseBlob(int32_t FieldNo) override;
  void CloseAllBlobs(bool OnlyWritable) override;

  // --- auto-increment and table use ---------------------------------------------------------

  int64_t GetAutoIncValue(int32_t FieldNo) override;
  void SetAutoIncValue(int32_t FieldNo, int64_t Value) override;
  void BeginTableUse() override;
  void EndTableUse() override;

  TTolvanExpression* Filter() const override;
  TTolvanExpression* ExternalFilter() const override;
  TTolvanRecordBitmap* ResultBitmap() const override;
  // Made on first use and kept while the cursor is open.
  TTolvanSearchBuffers* SearchBuffers() override;

  // --- direct attachment and the saved record -----------------------------------------------

  // Opens the cursor on TableData without registering it there.
  void AttachToTableData(TTolvanTableData& TableData);
  // Remembers the position, and whether the cursor has a record buffer.
  void SaveCurrentRecord();
  // Nothing without a saved position. Otherwise back to it: a cursor saved without a buffer gets
  // none; one saved on a record reads that record again from the table into its buffer, and when
  // the record is gone keeps the position and the buffer as they are.
  void RestoreCurrentRecord();
  void FreeSavedRecord() noexcept;

  // --- state --------------------------------------------------------------------------------

  // The table the cursor is open on (nil when closed), or that a table operation last used.
  TTolvanTableData* TableData() const noexcept { return FTableData; }
  // The session's database, taken when opening.
  TTolvanDatabaseData* Database() const noexcept { return FDatabase; }
  bool DirectTableData() const noexcept { return FDirectTableData; }
  // Open BLOB streams of the cursor.
  int32_t OpenBlobCount() const noexcept { return int32_t(FOpenBlobs.size()); }

protected:
  std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t TableFieldNo) override;

private:
  // The database of the cursor's session; a session that is not a connected local session
  // raises 10897.
  TTolvanDatabaseData& SessionDatabase();
  // Database := the session's database, then the registered table of TableName, or nil.
  TTolvanTableData* FindTable();
  // The table the cursor is open on; closed raises 10898.
  TTolvanTableData& OpenTableData() const;
  // Fresh copies of the table's index and constraint definitions.
  void CopyIndexAndConstraintDefs();
  // Frees everything the open cursor holds; nothing may raise.
  void ReleaseOpenState() noexcept;
  // The entry's stream is freed and removed (with its owner, when set).
  void FreeBlobEntry(size_t Index) noexcept;
  // Release 3.90: a closed design-state cursor's in-memory table goes with its last cursor.
  void DeleteDesignTable(TTolvanTableData& Table) noexcept;
  // Copies every record this cursor reads into Target (repair), logging what fails.
  void CopyRecordsForRepair(TTolvanLocalCursor& Target, AnsiString& Log);

  TTolvanTableData* FTableData = nullptr;
  TTolvanDatabaseData* FDatabase = nullptr;
  std::optional<TTolvanCursorPosition> FSavedPosition;
  // Whether the cursor had a record buffer when its position was saved.
  bool FSavedWithRecord = false;
  bool FDirectTableData = false;
  std::unique_ptr<TTolvanRecordBitmap> FResultBitmap;
  std::unique_ptr<TTolvanExpression> FFilter;
  std::unique_ptr<TTolvanExpression> FExternalFilter;
  std::unique_ptr<TTolvanSearchBuffers> FSearchBuffers;
  // The open BLOB streams; the list exists (FHasBlobList) only while the cursor is open.
  std::vector<std::unique_ptr<TTolvanLocalBLOBStream>> FOpenBlobs;
  bool FHasBlobList = false;
  // The cursor's copies of the range keys.
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FRangeStart;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FRangeEnd;
};

// Makes side cursors (TTolvanSideCursorFactory) through local cursors, process-wide; returns the
// factory registered before. StorageStartup registers it when none is.
TTolvanSideCursorFactory RegisterLocalSideCursorFactory();

} // namespace tolvan
