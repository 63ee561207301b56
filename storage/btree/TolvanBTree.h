// TolvanBTree.h: one B-tree over a table's page store, and every operation on it as a whole.
//
// TTolvanBTree joins what the tree algorithms need: the page manager that lends the pages, the
// reload check the table data gives to GetPage, the key layout, and the root page number (-1
// while the tree has no page). On top of the controllers (TolvanBTreeControllers.h) it offers
// what the B-tree index carries out: inserting and deleting keys, finding a record's key path,
// walking paths entry by entry, positioning by condition, range scans, record numbers, duplicate
// removal, range estimates and freeing the whole tree. Keys are in the layout's key form
// (TolvanBTreeKey.h); a leaf entry's data is the record id.
//
// A failed InsertKey or DeleteKey leaves the tree as it was; the pages it changed stay in the
// session's dirty pages until the caller commits (the tree commits nothing). Every page fetched
// is released before an operation returns, also when it fails.
//
// Ownership: the tree borrows the page manager, the reload check and the key layout; the index
// that owns the tree keeps RootPageNo in its definition.
//
// Threads: none of its own: the table lock serialises every use, and partial-key operations
// change the layout's ColumnCount for their duration.
#pragma once

#include <cstdint>

#include "foundation/TolvanArrays.h"
#include "storage/TolvanIndexManager.h"
#include "storage/TolvanPageManager.h"
#include "storage/btree/TolvanBTreeControllers.h"
#include "storage/btree/TolvanBTreeKey.h"
#include "storage/btree/TolvanBTreePage.h"

namespace tolvan {

// A key condition: the type (TTolvanBTreeConditionType), a key in the layout's form and the
// number of leading columns the key fills.
struct TTolvanBTreeCondition {
  uint8_t ConditionType = bctNone;
  const uint8_t* Key = nullptr;
  int32_t KeyFieldCount = 0;
};

// The records a record-number or duplicate walk counts: a result bitmap stands behind it.
class TTolvanBTreeRecordFilter {
public:
  virtual bool AcceptRecord(const TTolvanRecordID& ID) = 0;
  virtual void RemoveRecord(const TTolvanRecordID& ID) = 0;

protected:
  ~TTolvanBTreeRecordFilter() = default;
};

// A range scan in progress: the direction is fixed at the first successful step.
struct TTolvanBTreeScanState : TTolvanIndexScanState {
  bool Forward = true;
  bool Started = false;
  bool HasEndPath = false;
  TTolvanKeyPath EndPath; // the last entry the scan may reach
  TTolvanKeyPath Path;    // the current entry
};

class TTolvanBTree {
public:
  TTolvanBTree(TTolvanPageManager& Pages, TTolvanBTreeKeyRef& KeyRef,
               int32_t RootPageNo = -1) noexcept
      : FPages(&Pages), FKeyRef(&KeyRef), FRootPageNo(RootPageNo) {}

  TTolvanPageManager& Pages() const noexcept { return *FPages; }
  TTolvanBTreeKeyRef& KeyRef() const noexcept { return *FKeyRef; }
  int32_t RootPageNo() const noexcept { return FRootPageNo; }
  void SetRootPageNo(int32_t Value) noexcept { FRootPageNo = Value; }
  // Handed to the page manager's GetPage; nil revalidates cached pages each time.
  TTolvanPageReloadCheck* ReloadCheck() const noexcept { return FReloadCheck; }
  void SetReloadCheck(TTolvanPageReloadCheck* Value) noexcept { FReloadCheck = Value; }

  // --- Pages ----------------------------------------------------------------------------------
  TTolvanBTreePage NewBTreePage(int32_t SessionID);
  // Count new pages into Views, in the order NewBTreePage would give them; all or none.
  void NewBTreePages(int32_t SessionID, int32_t Count, TTolvanBTreePage* Views);
  // The page's view; a header that does not match the layout raises 20028 before anything reads
  // an entry.
  TTolvanBTreePage GetBTreePage(int32_t SessionID, int32_t PageNo);
  void RemoveBTreePage(int32_t SessionID, int32_t PageNo);
  // The root's view; the tree must have a root.
  TTolvanBTreePage GetRoot(int32_t SessionID) { return GetBTreePage(SessionID, FRootPageNo); }

  // --- Changes --------------------------------------------------------------------------------
  // A new empty root leaf; RootPageNo takes its number.
  void CreateRoot(int32_t SessionID);
  // Adds (Key, ID), creating the root when the tree has none. Equal keys go before the first
  // equal entry the search meets.
  void InsertKey(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID);
  // Removes the entry (Key, ID); False when there is none. The root stays, empty when its last
  // key goes.
  bool DeleteKey(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID);
  // Releases every page of the tree; RootPageNo is left to the caller. A failure releases none.
  void FreePages(int32_t SessionID);

  // --- Paths ----------------------------------------------------------------------------------
  // Path ends at the entry (Key, ID); False when there is none or no root.
  bool FindKeyPath(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID,
                   TTolvanKeyPath& Path);
  bool GoFirstPath(int32_t SessionID, TTolvanKeyPath& Path);
  bool GoLastPath(int32_t SessionID, TTolvanKeyPath& Path);
  // One entry on; False at the end (the path stays). An empty path raises 20069; a sibling link
  // that ends where the path says more entries follow raises 20070 (20071 backwards).
  bool NextEntry(int32_t SessionID, TTolvanKeyPath& Path);
  bool PriorEntry(int32_t SessionID, TTolvanKeyPath& Path);
  // From an end: the first (Forward) or last entry; otherwise the next or prior one.
  bool StepPath(int32_t SessionID, bool FromEnd, bool Forward, TTolvanKeyPath& Path);
  // The record id of the entry Path ends at; an empty path, or one past its page, raises 20068.
  TTolvanRecordID ReadRecordIDAt(int32_t SessionID, const TTolvanKeyPath& Path);
  // The same, with the entry's key copied into Key (KeySize bytes).
  TTolvanRecordID ReadEntryAt(int32_t SessionID, const TTolvanKeyPath& Path, uint8_t* Key);
  // Path ends at the first (First) or last entry satisfying the condition over its
  // KeyFieldCount columns; False when none does or there is no root.
  bool FindByCondition(int32_t SessionID, bool First, const TTolvanBTreeCondition& Condition,
                       TTolvanKeyPath& Path);

  // --- Questions the index answers ------------------------------------------------------------
  // No entry has a key equal to Key over all columns.
  bool IsKeyUnique(int32_t SessionID, const uint8_t* Key);
  // The 1-based position of (Key, ID) in index order, counting only records Filter accepts when
  // there is one; -1 when the entry is not there.
  int64_t GetRecNo(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID,
                   TTolvanBTreeRecordFilter* Filter);
  // The record id at 1-based position RecNo (below 1 counts as 1), counting as GetRecNo does. No
  // entry raises 20074, a position past the last counted record 20075.
  TTolvanRecordID GetRecordIDByRecNo(int32_t SessionID, TTolvanBTreeRecordFilter* Filter,
                                     int64_t RecNo);
  // Walking in index order over the records Filter accepts, keeps the first of every run of
  // equal keys and removes the others from Filter.
  void RemoveDuplicateKeys(int32_t SessionID, TTolvanBTreeRecordFilter& Filter);
  // -1 for a lower bound (greater, greater or equal), 1 for an upper bound (less, less or
  // equal), 0 otherwise.
  static int ConditionDirection(uint8_t ConditionType) noexcept;
  // About how many of Total records lie between the two conditions, from the approximate
  // positions of the first entry satisfying the lower bound and the last satisfying the upper;
  // rounded half to even and clamped to 0 .. Total.
  int64_t EstimateRangeCount(int32_t SessionID, const TTolvanBTreeCondition& A, int64_t Total,
                             const TTolvanBTreeCondition& B);
  // One step of a range scan (see the definition for the rules). StartCondition and
  // EndCondition may be nil; ResumeKey is the key of the record ID names, used when Start is
  // False on a state not yet positioned. True sets ID.
  bool ScanNext(int32_t SessionID, bool Start, bool Forward,
                const TTolvanBTreeCondition* StartCondition,
                const TTolvanBTreeCondition* EndCondition, const uint8_t* ResumeKey,
                TTolvanRecordID& ID, TTolvanBTreeScanState& State);

private:
  bool ScanPosition(int32_t SessionID, bool Start, bool Forward,
                    const TTolvanBTreeCondition* StartCondition, const uint8_t* ResumeKey,
                    const TTolvanRecordID& ID, TTolvanBTreeScanState& State, bool& Positioned);

  TTolvanPageManager* FPages;
  TTolvanBTreeKeyRef* FKeyRef;
  TTolvanPageReloadCheck* FReloadCheck = nullptr;
  int32_t FRootPageNo;
};

} // namespace tolvan
