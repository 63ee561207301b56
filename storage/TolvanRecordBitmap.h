// TolvanRecordBitmap.h: the navigation request that carries one record move between a cursor,
// its table, the record manager and the indexes, and a cursor's result set.
//
// TTolvanNavState is filled by the caller and completed by whoever serves it: with AtBegin set,
// Mode next asks for the first record; with AtEnd set, Mode prior asks for the last one. The
// server sets Result and, on success, RecordID.
//
// TTolvanRecordBitmap is the list of record ids that pass a cursor's filter and range, built once
// by a search and then navigated, counted and numbered instead of the table. Despite the name it
// keeps the ids in an array. While ids arrive in ascending order (a store-order scan) the array
// stays sorted and is searched by halves, and adding an id equal to the last one is refused; the
// first id below the last one (an index-order scan, InsertAfter) clears Sorted for good, after
// which lookups are linear and duplicates go unnoticed; a lookup of the id last found or reached
// (the next step of a walk) is served without one.
//
// Ownership: a bitmap owns its array and refers to its table data, which outlives it.
//
// Threads: none of its own; it is reached through its cursor and through table operations,
// which hold the table lock of an in-memory table.
#pragma once

#include <cstdint>

#include "foundation/TolvanArrays.h"
#include "schema/TolvanCursor.h"

namespace tolvan {

class TTolvanTableData;

// One record move and its answer; a plain record.
struct TTolvanNavState {
  // The session on whose behalf pages are read.
  int32_t SessionID = -1;
  TTolvanGetRecordMode Mode = rmCurrent;
  // The index whose order is followed; -1 for store order.
  int32_t IndexID = -1;
  // The starting record; on success the record reached.
  TTolvanRecordID RecordID{0, 0};
  // Receives the record; the table's layout.
  uint8_t* Buffer = nullptr;
  uint8_t AtBegin = 0;
  uint8_t AtEnd = 0;
  TTolvanGetRecordResult Result = rrOK;
};

class TTolvanRecordBitmap {
public:
  // A nil table data raises 10425. The ids compare in the order of the table's records: by slot
  // in an in-memory table, as 48-bit numbers in a temporary one.
  explicit TTolvanRecordBitmap(TTolvanTableData* TableData);
  TTolvanRecordBitmap(const TTolvanRecordBitmap&) = delete;
  TTolvanRecordBitmap& operator=(const TTolvanRecordBitmap&) = delete;

  TTolvanTableData* TableData() const noexcept { return FTableData; }
  const TTolvanRecordIDArray& Items() const noexcept { return FItems; }
  // For a scan that orders the ids it added: it keeps Sorted true only when they are in record
  // id order.
  TTolvanRecordIDArray& ItemsForUpdate() noexcept { return FItems; }

  // The set reflects the cursor's current filter and range. Clearing it empties the array,
  // keeping its storage for the rebuild, and marks it sorted.
  bool Filled() const noexcept { return FFilled; }
  void SetFilled(bool Value);

  // Before a rebuild: the growth deltas follow the table's size, a tenth of the records (1000
  // for none) as the largest step and a hundredth of that (at least 10) as the first. A record
  // count beyond 32 bits raises ERangeError.
  void TuneGrowth();

  int64_t Count() const noexcept { return FItems.Count(); }
  // Appends ID. While sorted, an ID equal to the last added raises 11328 and adds nothing.
  void Add(const TTolvanRecordID& ID);
  // An ID not in the set raises 11327.
  void Remove(const TTolvanRecordID& ID);
  // Clears Sorted and puts ID at the end (Append), else at the front (Prepend), else right
  // behind AfterID, which must be in the set (11332).
  void InsertAfter(const TTolvanRecordID& ID, const TTolvanRecordID& AfterID, bool Prepend,
                   bool Append);
  bool AcceptRecord(const TTolvanRecordID& ID) const noexcept { return PositionOf(ID) >= 0; }
  // The 1-based position of ID; -1 when absent.
  int64_t RecNoOf(const TTolvanRecordID& ID) const noexcept;
  // The id at 1-based RecNo; outside 1 .. Count raises 11326 with the 0-based number asked.
  void ItemAt(TTolvanRecordID& ID, int64_t RecNo) const;

  // Serves a request in the set's order; sets only Result and, on success, RecordID.
  void Navigate(TTolvanNavState& State) const;

private:
  // IndexOf, trying first the position last found or reached: a walk, or a move to a record just
  // tested, then costs nothing even where the ids are not sorted and IndexOf is linear.
  int32_t PositionOf(const TTolvanRecordID& ID) const noexcept {
    if (FHint >= 0 && FHint < FItems.Count() && FItems[FHint] == ID)
      return FHint;
    const int32_t Index = FItems.IndexOf(ID);
    if (Index >= 0)
      FHint = Index;
    return Index;
  }

  TTolvanRecordIDArray FItems{0, 10, 100};
  TTolvanTableData* FTableData;
  bool FFilled = false;
  mutable int32_t FHint = -1;
};

} // namespace tolvan
