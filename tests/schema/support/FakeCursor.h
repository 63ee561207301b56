// FakeCursor.h: TFakeCursor, a cursor over a table kept in the cursor itself, for the tests of
// the code that drives cursors (the cursor base, expressions, the cursor contract).
//
// The table is a list of rows with stable record ids {1, 0}, {2, 0}, ... in insertion order,
// and a block table for BLOB values. It comes into being at CreateTable or at the first
// OpenTable with InMemory set (from the definitions given, nil meaning none) and lasts as long
// as the cursor; CloseTable and OpenTable keep it. A stored row is the record's bitmap and
// columns; BLOB columns hold references into the block table as the record buffer lays them
// out (handle = slot + 1, the slot's generation, the marker).
//
// What it does as the engine's cursor does: the record layout, InitRecord with defaults,
// navigation (GetRecord, SetRecNo, GetRecNo) over the rows that the dataset's filter event
// keeps, posting and deleting by the buffer's record id with LastErrorCode and LastErrorText,
// EditRecord and CancelRecord (freeing the BLOB values written in the edit), projections,
// ranges (kept, not applied), the external filter (kept, not evaluated), BLOB streams with the
// engine's errors, table use counts.
//
// What it refuses with 11394 "Error - operation is not supported": whatever needs the storage
// engine (deleting, emptying or renaming the table, repair, foreign keys, constraints, streams,
// SQL export, indexes, bulk updates and deletes, filter text, Locate, GotoKey and
// auto-increment values).
//
// Test hooks: FailNextCheck makes the next PostRecord fail its constraint check; the counts of
// stored rows, live BLOB blocks, open BLOB streams and table users show what the cursor holds.
//
// Threads: one thread at a time, like any cursor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "schema/TolvanCursor.h"

namespace tolvan::test {

class TFakeBlobStream;

class TFakeCursor : public TTolvanCursor {
public:
  TFakeCursor();
  ~TFakeCursor() override;

  // The next PostRecord's constraint check raises with Message (LastErrorCode -8).
  void FailNextCheck(std::string Message) { FCheckFailure = std::move(Message); }

  int32_t StoredRowCount() const noexcept { return int32_t(FRows.size()); }
  // Live blocks of the block table.
  int32_t BlobBlockCount() const noexcept;
  int32_t OpenBlobCount() const noexcept { return int32_t(FOpenBlobs.size()); }
  int32_t TableUseCount() const noexcept { return FTableUseCount; }

  // --- the cursor's operations ---------------------------------------------------------------

  void CreateTable(TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                   TTolvanConstraintDefs& ConstraintDefs) override;
  void DeleteTable(bool IgnoreForeignKeys) override;
  void EmptyTable() override;
  void RenameTable(std::string_view NewName) override;
  bool RepairTable(AnsiString& Log, TTolvanBaseSession* Session) override;
  void AddForeignKey(const TTolvanConstraintDefForeignKey& Def) override;
  void DeleteConstraint(std::string_view Name, bool Force, bool NoCascade) override;
  void LoadTableFromStream(TStream& Stream) override;
  void WriteTableToStream(TStream& Stream, TTolvanCompressionAlgorithm Algorithm, uint8_t Level,
                          int32_t Value, bool AllowOpen, bool KeepOpen) override;
  void GenerateTableSQL(bool AddCreateTable, bool AddDropTable, bool AddCreateIndexes,
                        bool AddDropIndexes, bool AddInsertData, bool IncludeBlobs, bool QuoteNames,
                        AnsiString& SQL) override;

  void InitFieldDefs() override;
  void OpenTable(TTolvanFieldDefs* FieldDefs, TTolvanIndexDefs* IndexDefs,
                 TTolvanConstraintDefs* ConstraintDefs) override;
  void CloseTable() override;
  void InitRecord(uint8_t* Buffer, bool ApplyDefaults) override;

  void AddIndex(const TTolvanIndexDef& IndexDef) override;
  void DeleteIndex(std::string_view Name) override;
  void DeleteAllIndexes() override;
  void FindIndexForFields(const TStringList* FieldNames, const TStringList* Orders,
                          const TStringList* CaseModes, AnsiString& IndexName) override;

  bool IsTemporaryTable() override { return Opened() && Temporary(); }
  bool IsMemoryTable() override { return Opened() && InMemory(); }
  bool IsRecordValid() override;
  int64_t GetRecordCount() override;

  TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode Mode) override;
  void SetRecNo(int64_t RecNo) override;
  int64_t GetRecNo() override;

  void InsertRecordHook() override {}
  void EditRecord() override;
  void CancelRecord(bool WasInsert) override;
  void PostRecord(bool Insert) override;
  void DeleteRecord() override;
  int32_t DeleteAllRecords() override;
  int32_t UpdateAllRecords(const TStringList& FieldNames, std::span<TTolvanVariant* const> Values,
                           bool SkipForeignKeys) override;

  void ResetResultBitmap() override { FVisibleValid = false; }
  void SetProjection(const TStringList& FieldNames, const TStringList& Aliases) override;
  void SetFilter(std::string_view Text, bool CaseInsensitive, bool PartialCompare) override;
  void ClearFilter() override;
  bool Locate(std::string_view FieldNames, const Variant& KeyValues, bool CaseInsensitive,
              bool PartialKey) override;
  bool GotoKey(uint8_t ConditionType) override;
  void CancelRange() override;
  void SetRange(uint8_t* StartKey, uint8_t* EndKey, int32_t StartKeyFieldCount,
                int32_t EndKeyFieldCount, bool StartExclusive, bool EndExclusive) override;
  void SetExternalFilter(std::unique_ptr<TTolvanExpression> Expression) override;
  std::unique_ptr<TTolvanExpression> ReleaseExternalFilter() override;

  TTolvanStream* OpenBlob(bool NewRecord, int32_t FieldNo, TTolvanBlobOpenMode Mode) override;
  void CloseBlob(int32_t FieldNo) override;
  void CloseAllBlobs(bool OnlyWritable) override;

  int64_t GetAutoIncValue(int32_t FieldNo) override;
  void SetAutoIncValue(int32_t FieldNo, int64_t Value) override;
  void BeginTableUse() override { ++FTableUseCount; }
  void EndTableUse() override { --FTableUseCount; }

  TTolvanExpression* Filter() const override { return nullptr; }
  TTolvanExpression* ExternalFilter() const override { return FExternalFilter.get(); }
  TTolvanRecordBitmap* ResultBitmap() const override { return nullptr; }

protected:
  std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t TableFieldNo) override;

private:
  struct TRow {
    TTolvanRecordID ID;
    std::vector<uint8_t> Bytes; // bitmap and columns, BlobStoredMarker on every reference
  };
  struct TBlock {
    std::vector<uint8_t> Bytes;
    uint16_t Generation = 0;
    bool Live = false;
  };

  uint8_t* Buffer() const;
  void EnsureTable(TTolvanFieldDefs* FieldDefs, TTolvanConstraintDefs* ConstraintDefs);
  // The row of ID, or nil.
  TRow* FindRow(const TTolvanRecordID& ID);
  // The ids of the rows the filter event keeps, in id order.
  const std::vector<TTolvanRecordID>& VisibleIDs();
  void LoadRow(const TRow& Row, uint8_t* Target) const;

  uint32_t NewBlock(const uint8_t* Bytes, size_t Size);
  void FreeBlock(const TTolvanBlobReference& Ref) noexcept;
  const TBlock& BlockOf(const TTolvanBlobReference& Ref) const;
  // Frees the blocks that Record's BLOB columns reference, with the marker asked (any when
  // Marker is 0); those columns become null.
  void FreeRecordBlobs(uint8_t* Record, uint16_t Marker) noexcept;
  // Marks Record's references as owned by the stored record.
  void MarkBlobsStored(uint8_t* Record) noexcept;
  void StoreWrittenBlob(TFakeBlobStream& Stream);

  bool FTableExists = false;
  TTolvanFieldDefs FTableFields;
  TTolvanConstraintDefs FTableConstraints;
  std::vector<TRow> FRows;
  int32_t FNextID = 1;
  std::vector<TBlock> FBlocks;
  std::vector<uint32_t> FFreeBlocks;
  std::vector<std::unique_ptr<TFakeBlobStream>> FOpenBlobs;
  std::unique_ptr<TTolvanExpression> FExternalFilter;
  std::vector<TTolvanRecordID> FVisible;
  bool FVisibleValid = false;
  std::vector<uint8_t> FScratch;
  std::string FCheckFailure;
  int32_t FTableUseCount = 0;
};

} // namespace tolvan::test
