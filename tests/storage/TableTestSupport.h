// TableTestSupport.h: a small table for the tests of the managers and the table data.
//
// TTestTableData is a concrete table data over a memory page store and TVectorRecordManager, a
// record manager that keeps records in slots of a vector (record id {slot, 0}, slots never
// reused). Writing a record through it stores the record, keeps the indexes in step (insert,
// update and delete keys) and commits the cursor's session, as the in-memory engine does.
// TTestCursor and TTestSession are the cursor and session the table operations take: they carry
// a record buffer, a position and a session id, and refuse everything else with 11394.
// TTestOwner hands out object ids 1, 2, 3, ...
//
// Threads: one test thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "schema/TolvanCursor.h"
#include "schema/TolvanSession.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanPageStores.h"
#include "storage/TolvanTableData.h"
#include "tests/storage/FakeIndex.h"

namespace tolvan::test {

class TTestOwner : public TTolvanTableOwner {
public:
  int32_t NextObjectID() override { return ++LastID; }
  TTolvanWriteGate& WriteGate() override { return Gate; }
  int32_t LastID = 0;
  TTolvanWriteGate Gate;
};

class TTestSession : public TTolvanBaseSession {
public:
  explicit TTestSession(int32_t ID) { SetSessionID(ID); }

  bool IsConnected() override { return true; }
  void SetConnected(bool) override {}
  bool DatabaseExists() override { return true; }
  void GetTableNames(TStringList&) override;
  bool TableExists(std::string_view) override { return false; }
  void LoadDatabaseFromStream(TStream&) override;
  void SaveDatabaseToStream(TStream&) override;
  bool InTransaction() override { return false; }
  void StartTransaction() override {}
  void Commit() override {}
  void Rollback() override {}
};

class TTestCursor : public TTolvanCursor {
public:
  // A cursor of Session (nil for none) with a zero-filled record buffer of BufferSize bytes.
  TTestCursor(TTolvanBaseSession* Session, int32_t BufferSize);
  ~TTestCursor() override;

  // The buffer RecordBuffer points at when the cursor was made.
  uint8_t* Record() noexcept { return FRecord.data(); }
  std::vector<uint8_t>& RecordBytes() noexcept { return FRecord; }

  void CreateTable(TTolvanFieldDefs&, TTolvanIndexDefs&, TTolvanConstraintDefs&) override;
  void DeleteTable(bool) override;
  void EmptyTable() override;
  void RenameTable(std::string_view) override;
  bool RepairTable(AnsiString&, TTolvanBaseSession*) override;
  void AddForeignKey(const TTolvanConstraintDefForeignKey&) override;
  void DeleteConstraint(std::string_view, bool, bool) override;
  void LoadTableFromStream(TStream&) override;
  void WriteTableToStream(TStream&, TTolvanCompressionAlgorithm, uint8_t, int32_t, bool,
                          bool) override;
  void GenerateTableSQL(bool, bool, bool, bool, bool, bool, bool, AnsiString&) override;
  void InitFieldDefs() override;
  void OpenTable(TTolvanFieldDefs*, TTolvanIndexDefs*, TTolvanConstraintDefs*) override;
  void CloseTable() override {}
  void InitRecord(uint8_t*, bool) override;
  void AddIndex(const TTolvanIndexDef&) override;
  void DeleteIndex(std::string_view) override;
  void DeleteAllIndexes() override;
  void FindIndexForFields(const TStringList*, const TStringList*, const TStringList*,
                          AnsiString&) override;
  bool IsTemporaryTable() override { return false; }
  bool IsMemoryTable() override { return true; }
  bool IsRecordValid() override { return true; }
  int64_t GetRecordCount() override;
  TTolvanGetRecordResult GetRecord(TTolvanGetRecordMode) override;
  void SetRecNo(int64_t) override;
  int64_t GetRecNo() override;
  void InsertRecordHook() override {}
  void EditRecord() override {}
  void CancelRecord(bool) override {}
  void PostRecord(bool) override;
  void DeleteRecord() override;
  int32_t DeleteAllRecords() override;
  int32_t UpdateAllRecords(const TStringList&, std::span<TTolvanVariant* const>, bool) override;
  void ResetResultBitmap() override {}
  void SetProjection(const TStringList&, const TStringList&) override;
  void SetFilter(std::string_view, bool, bool) override;
  void ClearFilter() override {}
  bool Locate(std::string_view, const Variant&, bool, bool) override;
  bool GotoKey(uint8_t) override;
  void CancelRange() override {}
  void SetRange(uint8_t*, uint8_t*, int32_t, int32_t, bool, bool) override;
  void SetExternalFilter(std::unique_ptr<TTolvanExpression>) override;
  std::unique_ptr<TTolvanExpression> ReleaseExternalFilter() override { return nullptr; }
  TTolvanStream* OpenBlob(bool, int32_t, TTolvanBlobOpenMode) override;
  void CloseBlob(int32_t) override {}
  void CloseAllBlobs(bool) override {}
  int64_t GetAutoIncValue(int32_t) override;
  void SetAutoIncValue(int32_t, int64_t) override;
  void BeginTableUse() override {}
  void EndTableUse() override {}
  TTolvanExpression* Filter() const override { return nullptr; }
  TTolvanExpression* ExternalFilter() const override { return nullptr; }
  TTolvanRecordBitmap* ResultBitmap() const override { return nullptr; }

protected:
  std::unique_ptr<TTolvanStream> OpenBlobReader(int32_t) override { return nullptr; }

private:
  std::vector<uint8_t> FRecord;
};

// Records of RecordSize bytes in vector slots; record id {slot, 0}; deleted slots stay empty.
class TVectorRecordManager : public TTolvanBaseRecordManager {
public:
  explicit TVectorRecordManager(int32_t RecordSize) : TTolvanBaseRecordManager(RecordSize) {}

  void Clear(int32_t SessionID) override;
  bool InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID, int32_t SessionID) override;
  bool UpdateRecord(const uint8_t* Buffer, const TTolvanRecordID& RecordID,
                    int32_t SessionID) override;
  bool DeleteRecord(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  bool RecordExists(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  void GetRecord(TTolvanNavState& State) override;
  int64_t GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t SessionID) override;

  // The stored bytes of a live record; empty for none.
  std::vector<uint8_t> Stored(int32_t Slot) const;
  int32_t SlotCount() const noexcept { return int32_t(FRecords.size()); }

private:
  bool Live(int64_t Slot) const noexcept {
    return Slot >= 0 && Slot < int64_t(FRecords.size()) && !FRecords[size_t(Slot)].empty();
  }

  std::vector<std::vector<uint8_t>> FRecords;
};

class TTestTableData : public TTolvanTableData {
public:
  TTestTableData(TTolvanTableOwner& Owner, TTolvanIndexFactory Factory);
  ~TTestTableData() override;

  TTolvanMemoryPageManager& Store() noexcept { return FStore; }
  TVectorRecordManager& Records() const {
    return static_cast<TVectorRecordManager&>(*RecordManager());
  }

  TTolvanPageManager* GetPageManager() override { return &FStore; }
  void CreateRecordManager() override;
  // Name, sequences, fields, indexes, constraints, auto-increment sequences and records, in that
  // order.
  void CreateTable(TTolvanCursor& Cursor, TTolvanFieldDefs& FieldDefs, TTolvanIndexDefs& IndexDefs,
                   TTolvanConstraintDefs& ConstraintDefs) override;
  int64_t RecordIDToInt64(const TTolvanRecordID& ID) override { return ID.PageNo; }
  TTolvanRecordID Int64ToRecordID(int64_t Value) override { return {int32_t(Value), 0}; }
  int32_t CompareRecordIDs(const TTolvanRecordID& A, const TTolvanRecordID& B) override {
    return A.PageNo < B.PageNo ? -1 : A.PageNo > B.PageNo ? 1 : 0;
  }
  // Stores the cursor's record (its Position becomes the new id), inserts its keys, commits.
  bool InsertRecord(TTolvanCursor& Cursor) override;
  // Deletes the keys of the record at the cursor's Position, then the record; commits.
  bool DeleteRecord(TTolvanCursor& Cursor) override;
  // Moves the keys, then writes the cursor's record at its Position; commits.
  bool UpdateRecord(TTolvanCursor& Cursor) override;
  void SetRecNoPhysical(TTolvanCursor& Cursor, int64_t RecNo) override;
  int64_t GetRecNoPhysical(TTolvanCursor& Cursor) override;
  int64_t GetTotalRecordCount() override;

  void SetKind(bool Memory, bool Temporary) {
    SetIsMemory(Memory);
    SetIsTemporary(Temporary);
  }
  // Drops every index and commits, so that the store can close.
  void DropIndexesAndClose();

  // The record count GetTotalRecordCount answers instead of the store's, when not negative.
  int64_t TotalOverride = -1;

private:
  void Commit(const TTolvanCursor& Cursor);

  TTolvanMemoryPageManager FStore;
};

// A column appended to Defs; Size as the type takes it.
TTolvanFieldDef& AddField(TTolvanFieldDefs& Defs, std::string_view Name, TTolvanFieldType Type,
                          int32_t Size = 0);
// An index over the named columns, ascending.
TTolvanIndexDef& AddIndexDef(TTolvanIndexDefs& Defs, std::string_view Name,
                             std::initializer_list<std::string_view> Columns, bool Unique = false);

// A test table "T" over the fake index (or the indexes Factory makes), with one session and its
// cursor.
class TTableFixture {
public:
  explicit TTableFixture(TTolvanIndexFactory Factory = {});

  // Creates the table; Cursor gets a record buffer of the table's layout.
  void Create(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes);
  // A cursor of Session over the table's layout.
  std::unique_ptr<TTestCursor> NewCursor(TTolvanBaseSession* Session);
  const TTolvanFieldDefs& Fields() const { return *Table.FieldDefs(); }
  TTolvanBaseIndexManager& Indexes() const { return *Table.IndexManager(); }

  // Every column of the cursor's record null.
  void ClearRecord(TTestCursor& Cursor);
  void SetInt(TTestCursor& Cursor, int32_t FieldNo, int32_t Value);
  void SetText(TTestCursor& Cursor, int32_t FieldNo, const char* Text);
  int32_t GetInt(const uint8_t* Buffer, int32_t FieldNo) const;
  // Stores the cursor's record through the table; returns its id.
  TTolvanRecordID Insert(TTestCursor& Cursor);
  // A record of Integer columns with these values, stored; returns its id.
  TTolvanRecordID InsertInts(std::initializer_list<int32_t> Values);

  // The record ids of the index in index order (opening it when needed).
  std::vector<TTolvanRecordID> Keys(int32_t IndexID);
  int32_t IndexID(int32_t Position) const {
    return Indexes().IndexDefs().Items(Position).ObjectID();
  }

  TTestOwner Owner;
  std::shared_ptr<TFakeIndexHooks> Hooks;
  TTestTableData Table;
  TTestSession Session{1};
  std::unique_ptr<TTestCursor> Cursor;
};

// Record ids in an order, and how a failing comparison of two such lists prints them.
using TRecordIDs = std::vector<TTolvanRecordID>;

inline bool SameID(const TTolvanRecordID& A, const TTolvanRecordID& B) {
  return A.PageNo == B.PageNo && A.PageItemNo == B.PageItemNo;
}

// A search's answer against the matching records in the cursor's order: the first of them, or any
// of them when the search took the first match it met.
inline bool FoundAmong(const TRecordIDs& Expected, const TTolvanRecordID& Found,
                       bool FirstMatchOnly) {
  if (!FirstMatchOnly)
    return !Expected.empty() && SameID(Found, Expected.front());
  return std::any_of(Expected.begin(), Expected.end(),
                     [&](const TTolvanRecordID& ID) { return SameID(ID, Found); });
}

inline std::string Text(const TRecordIDs& IDs) {
  std::string S;
  for (const TTolvanRecordID& ID : IDs)
    S += std::to_string(ID.PageNo) + " ";
  return S;
}

} // namespace tolvan::test
