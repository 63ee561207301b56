// TolvanRecordBitmap.h: the navigation request that carries one record move between a cursor,
// its table, the record manager and the indexes, and a cursor's result set.
//
// TTolvanNavState is filled by the caller and completed by whoever serves it: with AtBegin set,
// Mode next asks for the first record; with AtEnd set, Mode prior asks for the last one. The
// server sets Result and, on success, RecordID.
//
// TTolvanRecordBitmap is the list of record ids that pass a cursor's filter and range, built once
// by a search and then navigated, counted and numbered instead of the table. Despite the name it
// keeps the ids in result order in a counted tree: leaves of ids, linked in order, under nodes
// that count the ids below each child. So the position of an id, the id at a position, and
// inserting or removing anywhere cost O(log k) for a set of k ids, and appending costs O(1)
// amortised, as a search that builds the set needs.
//
// Finding an id: while ids arrive in ascending order (a store-order scan) the set stays sorted
// and is searched by the tree's low keys; the first id added below the last one (an index-order
// scan) or an InsertAfter clears Sorted for good, and from then on a hash from id to its leaf
// serves lookups. A set holds each id once: adding one already in it raises 11328, sorted or
// not, and InsertAfter moves one already in it. Ids are equal when they compare equal in the
// table's order (in an in-memory table, the same slot). A lookup of the id last found or reached
// (the next step of a walk) is served without a search.
//
// Ownership: a bitmap owns its tree, its hash and its Items copy, and refers to its table data,
// which outlives it.
//
// Threads: none of its own; it is reached through its cursor and through table operations,
// which hold the table lock of an in-memory table. Even its const members write (the hint, the
// Items copy), so readers too must be serialised.
#pragma once

#include <cstdint>
#include <vector>

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
  ~TTolvanRecordBitmap();

  TTolvanTableData* TableData() const noexcept { return FTableData; }
  // The ids in result order as an array, with Sorted and LastID, made afresh after each change:
  // O(k), for reading a whole set and for tests. It stays valid until the next change.
  const TTolvanRecordIDArray& Items() const;
  // The ids in result order.
  std::vector<TTolvanRecordID> IDs() const;

  // The set reflects the cursor's current filter and range. Clearing it empties the set and
  // marks it sorted.
  bool Filled() const noexcept { return FFilled; }
  void SetFilled(bool Value);

  // Before a rebuild: the growth deltas of the Items array follow the table's size, a tenth of
  // the records (1000 for none) as the largest step and a hundredth of that (at least 10) as the
  // first. A record count beyond 32 bits raises ERangeError.
  void TuneGrowth();

  int64_t Count() const noexcept { return FCount; }
  bool Sorted() const noexcept { return FSorted; }
  // Appends ID. An ID already in the set raises 11328 and adds nothing.
  void Add(const TTolvanRecordID& ID);
  // An ID not in the set raises 11327.
  void Remove(const TTolvanRecordID& ID);
  // Puts ID at the end (Append), else at the front (Prepend), else right behind AfterID, which
  // must be in the set (11332), and clears Sorted. An ID already in the set moves there (one
  // behind itself stays).
  void InsertAfter(const TTolvanRecordID& ID, const TTolvanRecordID& AfterID, bool Prepend,
                   bool Append);
  bool AcceptRecord(const TTolvanRecordID& ID) const noexcept { return Find(ID).Leaf != nullptr; }
  // The 1-based position of ID; -1 when absent.
  int64_t RecNoOf(const TTolvanRecordID& ID) const noexcept;
  // The id at 1-based RecNo; outside 1 .. Count raises 11326 with the 0-based number asked.
  void ItemAt(TTolvanRecordID& ID, int64_t RecNo) const;

  // Serves a request in the set's order; sets only Result and, on success, RecordID.
  void Navigate(TTolvanNavState& State) const;

  // For a scan that added the ids from 0-based position First on in its own order: sorts them
  // in the table's record order. From 0 the whole set is sorted again, and Sorted set.
  void SortFrom(int64_t First);
  // For a scan that ordered the ids it added itself: the ids from First on are replaced by IDs,
  // the same ids in another order, and Sorted is cleared.
  void ReorderFrom(int64_t First, const std::vector<TTolvanRecordID>& IDs);

private:
  struct TNode;
  struct TLeaf;
  struct TInner;
  struct TPlace {
    TLeaf* Leaf = nullptr;
    int32_t Pos = 0;
  };
  // One slot of the hash from an id's key to its leaf; Key is NoKey in an empty slot.
  struct TSlot {
    int64_t Key;
    TLeaf* Leaf;
  };

  int64_t KeyOf(const TTolvanRecordID& ID) const noexcept;
  TPlace Find(const TTolvanRecordID& ID) const noexcept;
  TPlace FindSorted(int64_t Key) const noexcept;
  TPlace Locate(int64_t Index) const noexcept;
  int64_t IndexOfPlace(const TPlace& At) const noexcept;
  [[noreturn]] void RaiseDuplicate(const TTolvanRecordID& ID) const;

  void Append(const TTolvanRecordID& ID);
  void InsertAt(TLeaf* Leaf, int32_t Pos, const TTolvanRecordID& ID);
  void RemoveAt(TLeaf* Leaf, int32_t Pos);
  TLeaf* SplitLeaf(TLeaf* Leaf, int32_t Keep, int64_t RightLow);
  void LinkAfter(TNode* Left, TNode* Right, int64_t RightSize, int64_t RightLow);
  void UnlinkEmptyLeaf(TLeaf* Leaf);
  void Flush();
  void Clear() noexcept;
  static void FreeBelow(TNode* N, TLeaf* Keep) noexcept;
  std::vector<TTolvanRecordID> TakeFrom(int64_t First);
  void Unsort();

  TLeaf* HashFind(int64_t Key) const noexcept;
  void HashSet(int64_t Key, TLeaf* Leaf);
  void HashErase(int64_t Key) noexcept;
  void HashBuild();
  void HashDrop() noexcept;

  TTolvanTableData* FTableData;
  bool FFilled = false;
  // The tree. FRoot is a leaf while the set fits one; the leaves are never empty, except a lone
  // root leaf. FPending appends to FLast are not yet counted in the nodes above it: appending
  // then costs O(1), and every other change first brings the counts up to date.
  TNode* FRoot = nullptr;
  TLeaf* FFirst = nullptr;
  TLeaf* FLast = nullptr;
  int64_t FCount = 0;
  int64_t FPending = 0;
  bool FSorted = true;
  TTolvanRecordID FLastID{0, 0};
  // The hash, kept while the set is not sorted; open addressing, a power of two slots.
  std::vector<TSlot> FSlots;
  int64_t FSlotsUsed = 0;
  // The place last found or reached; a hint that is checked before use.
  mutable TPlace FHint;
  // Items(): a copy made on demand; FItemsStale when the set changed since.
  mutable TTolvanRecordIDArray FItems{0, 10, 100};
  mutable bool FItemsStale = false;
};

} // namespace tolvan
