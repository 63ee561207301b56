// TolvanTable.h: TTolvanTable, the dataset over one stored table: how it opens its local cursor
// (creating a missing in-memory table from its definitions), index selection by name or by
// fields, key search and key ranges through the key buffers, the master/detail link, and the
// table operations (create, delete, rename, save, load, indexes, foreign keys, restructure).
//
// Key buffers (TolvanDataSet.h numbers them): SetKey edits buffer 0, SetRangeStart 1 and
// SetRangeEnd 2, each saved first into buffer 5 so a cancelled edit restores it. ApplyRange hands
// buffers 1 and 2 to the cursor and keeps what it handed in 3 and 4; unchanged keys change
// nothing. A side whose modified byte is 0 was never set and is handed over as open (nil), so
// setting only the start gives everything from the start on. Ranges compare the whole index key
// inclusively; a master range compares the master fields only.
//
// Master/detail: the owned master link calls MasterChanged when the master's record changes and
// MasterDisabled when the link stops being active; the detail then shows the records whose
// leading index fields equal the master fields, or all of them.
//
// Table operations work through a cursor of their own, holding use reason 3 (index operations:
// reason 5) for their duration; the reason is released and the cursor freed on every path. A
// restructure copies the records into a new table and swaps it in; it reports failing steps in
// its log and answers false, never raising. A restructure is not isolated from writers of
// other sessions (an in-memory exclusive open is a flag): it checks the copy holds as many
// records as the stored table before the original goes.
//
// Ownership: the table owns its master link and its cursor (as the dataset base does). The
// master source is borrowed; a freed source detaches the link.
//
// Threads: a table component, its master link and a copy serve one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "classlib/DataLinks.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTableCopy.h"

namespace tolvan {

// Native codes of the table component.
inline constexpr int32_t ErrTableNoDatabaseForCursor = 10915;
inline constexpr int32_t ErrTableCannotCreateCursor = 10916;
inline constexpr int32_t ErrEditKeyBufferNil = 10286;
inline constexpr int32_t ErrPostKeyBufferNil = 10288;
inline constexpr int32_t ErrGotoKeyNil = 10290;
inline constexpr int32_t ErrApplyRangeKeysNil = 10296;
inline constexpr int32_t ErrSetRangeFromFieldsNil = 10299;
// "Error - cannot create cursor" per table operation.
inline constexpr int32_t ErrCreateTableCursor = 10919;
inline constexpr int32_t ErrDeleteTableCursor = 10920;
inline constexpr int32_t ErrRenameTableCursor = 10922;
inline constexpr int32_t ErrLoadTableCursor = 10923;
inline constexpr int32_t ErrSaveTableCursor = 10924;
inline constexpr int32_t ErrRenameFieldCursor = 10959;
inline constexpr int32_t ErrAddForeignKeyCursor = 11580;
inline constexpr int32_t ErrDropConstraintCursor = 11579;
inline constexpr int32_t ErrAddIndexNotExclusive = 11617;
inline constexpr int32_t ErrDeleteIndexNotExclusive = 11618;
inline constexpr int32_t ErrAddIndexInvalidName = 20046;
inline constexpr int32_t ErrAddIndexNoFields = 20047;
inline constexpr int32_t ErrForeignKeyNotFound = 11581;

// The steps of a restructure a test can make fail (see SetRestructureFaultHook).
enum class TTolvanRestructureStep : uint8_t {
  Structure = 3,
  CreateCopy = 4,
  OpenCopy = 5,
  OpenSource = 6,
  CopyData = 7,
  ForeignKeys = 9,
  CloseCopy = 10,
  DeleteTable = 11,
  RenameCopy = 12,
  DropCopy = 13, // the clean-up drop of the copy after a failure
};

class TTolvanTable : public TTolvanDataSet {
public:
  // Use NewComponent / MakeComponent. Draws one random value for the default TableName.
  TTolvanTable();

  // --- names and flags --------------------------------------------------------------------------

  const AnsiString& TableName() const noexcept { return FTableName; }
  // While loading or designing the name is stored; otherwise a changed name (case-sensitive)
  // needs a closed table and sends a property-change event.
  void SetTableName(std::string_view Value);
  bool Exclusive() const noexcept { return FExclusive; }
  void SetExclusive(bool Value);
  int32_t MemoryTableAllocBy() const noexcept { return FMemoryTableAllocBy; }
  void SetMemoryTableAllocBy(int32_t Value) noexcept { FMemoryTableAllocBy = Value; }
  // Whether the table exists: True while open; otherwise asked of the database, which is taken
  // for the question when none is held and released again before the answer.
  bool Exists();
  const TTolvanTableProgress& OnProgress() const noexcept { return FOnProgress; }
  void SetOnProgress(TTolvanTableProgress Value) { FOnProgress = std::move(Value); }
  // Calls OnProgress when assigned; answers whether it asked to abort.
  bool DoProgress(int32_t Progress, TTolvanTableOperation Operation);
  // Handed to the cursors the table makes: a repair opens a damaged table.
  bool RepairMark() const noexcept { return FRepairMark; }
  void SetRepairMark(bool Value) noexcept { FRepairMark = Value; }

  // --- indexes ----------------------------------------------------------------------------------

  // IndexName and IndexFieldNames share one selector: the other reads empty.
  AnsiString IndexName() const { return FIndexByFields ? AnsiString() : FIndexSelector; }
  void SetIndexName(std::string_view Value) { SelectIndex(Value, false); }
  AnsiString IndexFieldNames() const { return FIndexByFields ? FIndexSelector : AnsiString(); }
  void SetIndexFieldNames(std::string_view Value) { SelectIndex(Value, !Value.empty()); }
  // The field of the current index's I-th column.
  TField& GetIndexField(int32_t Index);
  void SetIndexField(int32_t Index, TField* Value);

  // --- key search and ranges --------------------------------------------------------------------

  void SetKey() { EditKeyBuffer(kiSearchKey, true); }
  void EditKey() { EditKeyBuffer(kiSearchKey, false); }
  bool GotoKey();
  void SetRangeStart() { EditKeyBuffer(kiRangeStart, true); }
  void SetRangeEnd() { EditKeyBuffer(kiRangeEnd, true); }
  void EditRangeStart() { EditKeyBuffer(kiRangeStart, false); }
  void EditRangeEnd() { EditKeyBuffer(kiRangeEnd, false); }
  void ApplyRange();
  void CancelRange();

  // --- master/detail ----------------------------------------------------------------------------

  TDataSource* MasterSource() const { return GetMasterSource(); }
  // A source whose dataset is this table or is linked back to it raises "Circular datalinks
  // are not allowed".
  void SetMasterSource(TDataSource* Value);
  const AnsiString& MasterFields() const noexcept { return FMasterLink.FieldNames(); }
  void SetMasterFields(std::string_view Value) { FMasterLink.SetFieldNames(Value); }
  TMasterDataLink& MasterLink() noexcept { return FMasterLink; }

  // --- auto-increment ---------------------------------------------------------------------------

  // Field indexes are positions in Fields; one outside them, or a field without a column,
  // raises the engine's 30335 (get) or 10575 (set).
  int64_t GetAutoIncValue(int32_t FieldIndex);
  int64_t GetAutoIncValueByName(std::string_view FieldName);
  void SetAutoIncValue(int32_t FieldIndex, int64_t Value);

  // --- table operations (TolvanTableOperations.cpp) ---------------------------------------------

  // Creates the table from the extended field definitions (or FieldDefs), IndexDefs and the
  // foreign-key definitions; an existing in-memory or temporary table of the name is replaced,
  // or, with OnlyIfAbsent, refused with 30247 (checked atomically with the create).
  void CreateTable(bool OnlyIfAbsent = false);
  void DeleteTable(bool Force);
  void RenameTable(std::string_view NewName);
  void RenameField(std::string_view OldName, std::string_view NewName);
  void AddForeignKey(const TTolvanForeignKeyDef& Def);
  void DropConstraint(std::string_view Name, bool Force);
  // Reads a whole table stream at the stream's position; TableName := the stored name.
  void LoadFromStream(TStream& Stream);
  // Compression codes 1 zlib, 2 bzip2, 3 PPM; any other writes uncompressed.
  void SaveToStream(TStream& Stream, uint8_t CompressionCode, uint8_t CompressionLevel,
                    int32_t Option);
  void AddIndex(std::string_view Name, std::string_view Fields, TIndexOptions Options,
                std::string_view DescFields = {}, std::string_view CaseInsFields = {});
  void DeleteIndex(std::string_view Name);
  // Rebuilds the table from the restructure definitions (StoredAdvFieldDefs, StoredIndexDefs,
  // StoredForeignKeyDefs). Failures are appended to Log; true when none was.
  bool RestructureTable(std::string& Log);

  // A test's way to make a restructure step fail: called before the step, it may raise.
  using TRestructureFaultHook = std::function<void(TTolvanRestructureStep Step)>;
  static void SetRestructureFaultHook(TRestructureFaultHook Hook);

protected:
  ~TTolvanTable() override;

  // --- framework and dataset overrides ----------------------------------------------------------

  void HandleDataEvent(TDataEvent Event, TField* Field) override;
  void DefinitionsChanged() override;
  void NewRecordDefaults() override;
  TDataSource* GetMasterSource() const override;
  void RefreshIndexDefs() override;
  void PostRecordAndKey() override;
  TTolvanCursor* CreateCursor() override;
  void PrepareCursor() override;

public:
  // --- opening ----------------------------------------------------------------------------------

  // Empty TableName on a table that is not temporary: "Missing TableName property".
  void CheckTableName() const;
  // A new local cursor over the held database; nil without one while the owner is being
  // created, else 10915.
  TTolvanCursor* CreateTableCursor();
  // A cursor with the table's settings and definitions, its table open (a missing in-memory
  // table created). The caller owns the result. DefsOnlyToCreate: the engine definitions are
  // built from the component's only when the table is made; an open that reloads the
  // definitions from the cursor afterwards need not pay for them on an existing table.
  TTolvanCursor* OpenTableCursor(bool DefsOnlyToCreate = false);
  // The stored definitions, read through a cursor of its own.
  void ReadStoredDefs();
  // The engine definitions from the component's field and index definitions.
  void BuildEngineDefs();
  // The index name the selector stands for; empty for none.
  AnsiString ResolveIndexName(std::string_view Selector, bool ByFields);
  void SelectIndex(std::string_view Selector, bool ByFields);

  // --- key buffers ------------------------------------------------------------------------------

  void EditKeyBuffer(int32_t Index, bool Clear);
  void PostKeyBuffer(bool Commit);
  // Buffers 1 and 2 to the cursor unless they equal 3 and 4; true when handed over.
  bool ApplyRangeKeys();
  // Start and end keys := the master field values (a range of equal keys over those fields).
  void SetRangeFromFields(const std::vector<TField*>& MasterFields);
  void ApplyMasterRange();
  void MasterChanged();
  void MasterDisabled();

private:
  // The restructure proper (TolvanTableOperations.cpp).
  bool RebuildTable(std::string& Log);
  // After an index was added or deleted: the dataset's index definitions follow.
  void ReloadIndexDefsAfterChange();
  // The cursor column of the field at FieldIndex in Fields; Code when there is none.
  int32_t AutoIncColumn(int32_t FieldIndex, int32_t Code);

  TTolvanTableProgress FOnProgress;
  AnsiString FTableName;
  bool FExclusive = false;
  bool FRepairMark = false;
  AnsiString FIndexSelector;
  bool FIndexByFields = false;
  TMasterDataLink FMasterLink;
  int32_t FMemoryTableAllocBy = 1000;
  // The cursor CreateCursor is making: the index definitions are read from it rather than
  // through a second cursor of the same table.
  TTolvanCursor* FOpeningCursor = nullptr;
};

} // namespace tolvan
