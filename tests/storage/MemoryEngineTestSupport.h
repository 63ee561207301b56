// MemoryEngineTestSupport.h: a memory database with one table and two sessions' cursors, and the
// checks that a memory table's store, indexes and pages agree.
//
// TMemoryTableFixture creates table "M" in a TTolvanMemoryDatabaseData through GetTableData, as
// a cursor's open-or-create does, over the index objects Factory makes. StoreRows reads the
// store slot by slot; TableFaults checks every index against the store (one entry per live
// record, found under the stored record's key, in key order) and the page bookkeeping, and
// answers "" when all agree; MemoryStoreRows and MemoryTableFaults do the same for any memory
// table.
//
// Threads: the checks run with no other thread writing the table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {

class TMemoryTableFixture {
public:
  // Factory makes the index objects (B-tree indexes when empty).
  explicit TMemoryTableFixture(TTolvanIndexFactory Factory = {});
  ~TMemoryTableFixture();

  // Creates "M" from the definitions; Cursor and Cursor2 (two sessions) get buffers of its
  // layout and are attached.
  void Create(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes,
              TTolvanConstraintDefs& Constraints);
  std::unique_ptr<TTestCursor> NewCursor(TTolvanBaseSession* Session);
  const TTolvanFieldDefs& Fields() const { return *Table->FieldDefs(); }
  void ClearRecord(TTestCursor& Cursor);

  // The live records by slot.
  std::map<int32_t, std::vector<uint8_t>> StoreRows() const;
  std::string TableFaults();

  TTolvanMemoryDatabaseData Db;
  TTestSession Session{-1};
  TTestSession Session2{-1};
  TTolvanMemoryTableData* Table = nullptr;
  std::unique_ptr<TTestCursor> Cursor;
  std::unique_ptr<TTestCursor> Cursor2;
};

// The same for any memory table: its live records by slot, and its faults ("" when its store,
// indexes and pages agree), read as SessionID.
std::map<int32_t, std::vector<uint8_t>> MemoryStoreRows(const TTolvanMemoryTableData& Table);
std::string MemoryTableFaults(TTolvanMemoryTableData& Table, int32_t SessionID);

} // namespace tolvan::test
