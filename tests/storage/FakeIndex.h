// FakeIndex.h: TFakeIndex, an index kept in a std::multimap, for the tests of the index manager
// and as the model the B-tree is compared with.
//
// A key is, per column, a null byte (1 null, 0 value) and the column's DataSize bytes as they
// stand in the record buffer. Keys order column by column: null first, values as
// CompareValueBuffersSign orders them, a descending column reversed. Equal keys keep the newest
// entry first.
//
// The index keeps its entries in pages of the table's page manager, so that page accounting is
// real and an index reopened after a close finds its keys again: a root page holding the first
// and last entry page, and one page per entry, linked both ways in insertion order. The multimap
// is a cache of that chain, read at the first operation that names a session.
//
//   root page                         entry page
//   offset  width  content            offset  width  content
//   32      4      first entry page   32      4      previous entry page, -1 for the first
//   36      4      last entry page    36      4      next entry page, -1 for the last
//                                     40      6      record id
//                                     46      4      key size n
//                                     50      n      key
//
// Positions (key paths, scan states, record numbers) are ordinals in the multimap: linear work,
// which a model may afford.
//
// Test hooks (TFakeIndexHooks, shared by the indexes of one factory): BeforeOperation runs before
// every InsertKey, DeleteKey, UpdateKey and CompareRecordKeys and before each key BuildIndex
// adds, and may raise to simulate a failing index; counters show how often indexes were made
// and freed and caches cleared.
//
// Threads: one test thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "storage/TolvanIndexManager.h"

namespace tolvan::test {

struct TFakeIndexHooks {
  // Operation is "InsertKey", "DeleteKey", "UpdateKey", "CompareRecordKeys" or "BuildKey".
  std::function<void(std::string_view Operation, int32_t IndexID)> BeforeOperation;
  int32_t Made = 0;
  int32_t Freed = 0;
  int32_t CacheClears = 0;
};

// Makes TFakeIndex objects; Hooks may be nil.
TTolvanIndexFactory FakeIndexFactory(std::shared_ptr<TFakeIndexHooks> Hooks = nullptr);

class TFakeIndex : public TTolvanIndex {
public:
  using TKey = std::vector<uint8_t>;

  TFakeIndex(TTolvanBaseIndexManager& IndexManager, std::shared_ptr<TFakeIndexHooks> Hooks);
  ~TFakeIndex() override;

  // The entries in index order (reads the chain for SessionID when not read yet).
  std::vector<TTolvanRecordID> RecordIDs(int32_t SessionID);
  // The key of Buffer in this index's form.
  TKey MakeKey(const uint8_t* Buffer) const;

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
  struct TColumn {
    int32_t FieldNo = 0;
    int32_t BufferOffset = 0;
    int32_t DataSize = 0;
    TTolvanValueType DataType = tvtNone;
    bool Descending = false;
    bool CaseInsensitive = false;
  };
  struct TEntry {
    TTolvanRecordID RecordID;
    int32_t PageNo;
  };
  struct TKeyLess {
    const TFakeIndex* Index;
    bool operator()(const TKey& A, const TKey& B) const {
      return Index->CompareKeys(A, B, int32_t(Index->FColumns.size())) < 0;
    }
  };
  using TEntries = std::multimap<TKey, TEntry, TKeyLess>;
  // A condition with its key in this index's form; no key satisfies every entry.
  struct TScanCondition {
    uint8_t Type = 0;
    TKey Key;
    int32_t KeyFieldCount = 0;
  };

  void BuildLayout();
  TScanCondition ConditionOf(const TTolvanScanSearchCondition& Condition) const;
  // -1, 0 or 1 over the first ColumnCount columns.
  int CompareKeys(const TKey& A, const TKey& B, int32_t ColumnCount) const;
  bool Satisfies(const TKey& Key, const TScanCondition& Condition) const;
  void Hook(std::string_view Operation);
  void EnsureLoaded(int32_t SessionID);
  void NewRoot(int32_t SessionID);
  void AddEntry(int32_t SessionID, const TKey& Key, const TTolvanRecordID& RecordID);
  void RemoveEntry(int32_t SessionID, TEntries::iterator Entry);
  TEntries::iterator FindEntry(const TKey& Key, const TTolvanRecordID& RecordID);
  // The ordinal of the entry of Key and RecordID; -1 when absent.
  int64_t Ordinal(const TKey& Key, const TTolvanRecordID& RecordID);
  TEntries::iterator At(int64_t Ordinal);
  // The first (or last) ordinal whose key satisfies Condition; -1 when none.
  int64_t FirstSatisfying(const TScanCondition& Condition, bool First);
  void ReadRecord(TTolvanNavState& State, const TTolvanRecordID& RecordID);

  std::shared_ptr<TFakeIndexHooks> FHooks;
  std::vector<TColumn> FColumns;
  TEntries FEntries;
  bool FLoaded = false;
};

} // namespace tolvan::test
