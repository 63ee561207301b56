// TolvanBTreeIndex.h: the B-tree kind of index, the one the engine uses for every table.
//
// TTolvanBTreeIndex carries out the index interface (TolvanIndexManager.h) over a TTolvanBTree
// in the table's page store. Its persistent state is RootPageNo in its definition and the pages;
// the key layout, the reused key buffers and each session's last key path are rebuilt when it is
// opened again. Keys are made from record buffers (null bitmap and fields), conditions from their
// key buffers, which are record buffers too.
//
// Navigation in index order continues from the session's cached path while the request names
// the record the last move reached; the manager empties every cache after a key change. At an
// end the request answers as the contract says: AtBegin with prior answers rrBeginReached, AtEnd
// with next rrEndReached; an existing but empty root answers rrMissing.
//
// UpdateKey is all or nothing: when the new entry cannot be inserted, the old one goes back.
//
// Ownership: the index owns its definition copy, key layout, key buffers and cache; key paths
// and scan states it hands out belong to the caller until it gives them back. The index keeps
// one given-back scan state and hands it out fresh again, so that repeated scans (a join's
// probes) take no memory; it dies with the index, so no state outlives the index it serves.
//
// Threads: none of its own; the table lock serialises every call.
#pragma once

#include <cstdint>
#include <memory>

#include "storage/TolvanIndexManager.h"
#include "storage/btree/TolvanBTree.h"
#include "storage/btree/TolvanBTreeKey.h"
#include "storage/btree/TolvanBTreePage.h"

namespace tolvan {

class TTolvanBTreeIndex : public TTolvanIndex {
public:
  explicit TTolvanBTreeIndex(TTolvanBaseIndexManager& IndexManager);
  ~TTolvanBTreeIndex() override;

  const TTolvanBTreeKeyRef& KeyRef() const noexcept { return FKeyRef; }
  // The tree over the definition's current root.
  TTolvanBTree& Tree() noexcept;

  void ClearKeyPathCache(int32_t SessionID) override;
  void BuildIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def) override;
  void DropIndex(int32_t SessionID) override;
  void OpenIndex(const TTolvanIndexDef& Def) override;
  void GetRecord(int32_t SessionID, TTolvanNavState& State) override;
  TTolvanIndexKeyPath* CreateKeyPath() override;
  void FreeKeyPath(TTolvanIndexKeyPath*& Path) override;
  bool FindKeyPath(int32_t SessionID, const TTolvanRecordID& RecordID, const uint8_t* Buffer,
                   TTolvanIndexKeyPath* Path) override;
  int32_t CompareKeyPaths(const TTolvanIndexKeyPath* A, const TTolvanIndexKeyPath* B) override;
  int64_t GetRecNo(int32_t SessionID, const TTolvanRecordID& RecordID, const uint8_t* Buffer,
                   const TTolvanRecordBitmap* Bitmap) override;
  void GetRecordIDByRecNo(int32_t SessionID, const TTolvanRecordBitmap* Bitmap, int64_t RecNo,
                          TTolvanRecordID& RecordID) override;
  void RemoveDuplicateKeys(int32_t SessionID, TTolvanRecordBitmap* Bitmap) override;
  TTolvanIndexScanState* CreateScanState() override;
  void FreeScanState(TTolvanIndexScanState* State) override;
  bool ScanNext(int32_t SessionID, bool Start, bool Forward,
                const TTolvanScanSearchCondition* StartCondition,
                const TTolvanScanSearchCondition* EndCondition, uint8_t* Buffer,
                TTolvanRecordID& RecordID, TTolvanIndexScanState* State) override;
  int32_t CompareRecordKeys(const uint8_t* A, const uint8_t* B, int32_t ColumnCount) override;
  int32_t ConditionDirection(const TTolvanScanSearchCondition& Condition) override;
  int64_t EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A, int64_t Total,
                             const TTolvanScanSearchCondition& B) override;
  bool IsKeyUnique(int32_t SessionID, const uint8_t* Buffer) override;
  bool IsKeyUniqueOnUpdate(int32_t SessionID, const uint8_t* OldBuffer,
                           const uint8_t* NewBuffer) override;
  void InsertKey(TTolvanCursor& Cursor) override;
  void DeleteKey(TTolvanCursor& Cursor) override;
  void UpdateKey(TTolvanCursor& Cursor) override;

private:
  struct TKeyDeleter {
    void operator()(uint8_t* Key) const noexcept { TTolvanBTreeKeyRef::FreeKey(Key); }
  };
  using TKeyPtr = std::unique_ptr<uint8_t, TKeyDeleter>;

  // Builds the key layout for the definition copy and the key buffers it needs.
  void PrepareLayout();
  // A condition over a key made in Key; a condition without key buffer satisfies every entry.
  TTolvanBTreeCondition ConditionOf(const TTolvanScanSearchCondition& Condition,
                                    uint8_t* Key) const noexcept;
  // The definition takes the tree's root, which an insert may have created.
  void SyncRoot() noexcept;

  TTolvanBTreeKeyRef FKeyRef;
  TTolvanKeyPathCache FKeyPathCache;
  TTolvanBTree FTree;
  // Reused by one operation at a time: the record's key, a second key, two condition keys.
  TKeyPtr FKeyA, FKeyB, FKeyC, FKeyD;
  // The last scan state given back, for CreateScanState to hand out again.
  std::unique_ptr<TTolvanBTreeScanState> FSpareScanState;
};

// Makes TTolvanBTreeIndex objects: the table data's default.
TTolvanIndexFactory BTreeIndexFactory();

} // namespace tolvan
