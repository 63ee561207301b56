// TolvanIndexManager.h: a table's indexes: the interface every index kind implements and the
// manager that owns the definitions, opens index objects on demand and keeps every index in step
// with the records.
//
// An index is identified by its definition's object id. Its persistent state is only that
// definition (with RootPageNo, -1 while it has no pages) and its pages in the table's page
// manager; an index object is opened lazily by GetIndex (through the factory the manager was
// given) and closed by CloseIndex, EmptyIndex, DropIndex, CompareKeys or the manager's
// destruction. After every key change the key-path caches of all sessions are cleared, so no
// cached path outlives a change of the tree.
//
// Keys change all or nothing across indexes: when InsertKeys, UpdateKeys or DeleteKeys fails at
// index k, the change is undone in indexes 0 .. k-1 (an error while undoing is dropped) and the
// first error passes on. UpdateKeys takes the old key from the record as stored, not from the
// cursor's old-record buffer, which another cursor's update may have outdated. A definition
// whose key is longer than MaxIndexKeySize or includes a column without an order is refused
// before anything is created (20041, 20042).
//
// Stream form: the definitions' collection block (TolvanMetaObjectDefs.h), then the page
// manager's own block (TolvanPageStores.h). A loaded RootPageNo that is neither -1 nor allocated
// in the loaded store raises 10353.
//
// Ownership: the manager owns its definitions and open index objects, which it frees before the
// definitions; the table data and its page manager are referred to. An index owns its copy of
// its definition; key paths and scan states belong to the caller from their creation to their
// release through the index that made them.
//
// Threads: no lock of its own; callers hold the table lock (in-memory tables) or are a temporary
// table's one user. Pages are read and written on behalf of the caller's session id.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/StringList.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanMemory.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanMetaObjectDefs.h"
#include "schema/expr/TolvanScanConditions.h"
#include "storage/TolvanPageManager.h"
#include "storage/TolvanRecordBitmap.h"

namespace tolvan {

class TTolvanTableData;
class TTolvanBaseIndexManager;

// Native codes of the index manager.
inline constexpr int32_t ErrIndexNotFound = 20018;
inline constexpr int32_t ErrIndexEntryNotFound = 20027;
inline constexpr int32_t ErrIndexKeyTooLarge = 20041;
inline constexpr int32_t ErrIndexFieldWithoutOrder = 20042;
inline constexpr int32_t ErrIndexFieldNotFound = 20043;
inline constexpr int32_t ErrIndexRootPageNo = 10353;
inline constexpr int32_t ErrCompareKeysIndexNotFound = 11497;

// The position of one leaf entry and the state of one range scan, as an index kind keeps them.
// Only the index that made one reads or frees it.
class TTolvanIndexKeyPath {
protected:
  TTolvanIndexKeyPath() = default;
  ~TTolvanIndexKeyPath() = default;
};
class TTolvanIndexScanState {
protected:
  TTolvanIndexScanState() = default;
  ~TTolvanIndexScanState() = default;
};

// Buffers are record buffers of the table's layout; a cursor's record is its RecordBuffer, its
// old record BeforeImage, its record id Position, and pages are read for its session.
class TTolvanIndex {
public:
  explicit TTolvanIndex(TTolvanBaseIndexManager& IndexManager) noexcept
      : FIndexManager(IndexManager) {}
  virtual ~TTolvanIndex();
  TTolvanIndex(const TTolvanIndex&) = delete;
  TTolvanIndex& operator=(const TTolvanIndex&) = delete;

  // The index's own copy of its definition; nil before BuildIndex or OpenIndex.
  TTolvanIndexDef* Def() const noexcept { return FDef.get(); }
  TTolvanBaseIndexManager& IndexManager() const noexcept { return FIndexManager; }

  // Forgets the key paths cached for the session; -1 forgets those of all sessions.
  virtual void ClearKeyPathCache(int32_t SessionID) = 0;
  // Base: Def becomes a copy of Def. An implementation then creates the index from nothing: a
  // root whose page number goes into Def and into its copy, then the key of every stored
  // record, in store order. A unique or primary index meeting a key twice raises 30320 or 30319
  // (the constraint's duplicate errors). It commits nothing.
  virtual void BuildIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def);
  // Frees every page of the index; nothing when RootPageNo is -1. RootPageNo is the caller's.
  virtual void DropIndex(int32_t SessionID) = 0;
  // Base: Def becomes a copy of Def. An implementation then attaches to the existing pages.
  virtual void OpenIndex(const TTolvanIndexDef& Def);
  // Moves next or prior in index order from the request's record (or from an end, as its flags
  // say) and reads the record reached into the request's buffer: rrOK with the new id;
  // rrBeginReached with AtBegin set; rrEndReached with AtEnd set (an empty index too); rrMissing
  // when the starting record has no entry. Mode current raises 20053.
  virtual void GetRecord(int32_t SessionID, TTolvanNavState& State) = 0;
  virtual TTolvanIndexKeyPath* CreateKeyPath() = 0;
  // Frees Path when not nil; nil afterwards.
  virtual void FreeKeyPath(TTolvanIndexKeyPath*& Path) = 0;
  // Positions Path on the entry of Buffer's key with RecordID; false when there is none.
  virtual bool FindKeyPath(int32_t SessionID, const TTolvanRecordID& RecordID,
                           const uint8_t* Buffer, TTolvanIndexKeyPath* Path) = 0;
  // -1, 0 or 1 by index order; a nil A raises 10384, a nil B 10385.
  virtual int32_t CompareKeyPaths(const TTolvanIndexKeyPath* A, const TTolvanIndexKeyPath* B) = 0;
  // The 1-based position of the record in index order, counting only the bitmap's records when
  // a filled bitmap is given; -1 when the record has no entry.
  virtual int64_t GetRecNo(int32_t SessionID, const TTolvanRecordID& RecordID,
                           const uint8_t* Buffer, const TTolvanRecordBitmap* Bitmap) = 0;
  // The id at 1-based position RecNo, counting as GetRecNo; an empty index raises 20074, a
  // number past the last record 20075.
  virtual void GetRecordIDByRecNo(int32_t SessionID, const TTolvanRecordBitmap* Bitmap,
                                  int64_t RecNo, TTolvanRecordID& RecordID) = 0;
  // Keeps in the bitmap, of every run of its records with equal keys, only the first in index
  // order. A nil bitmap raises 20076.
  virtual void RemoveDuplicateKeys(int32_t SessionID, TTolvanRecordBitmap* Bitmap) = 0;
  virtual TTolvanIndexScanState* CreateScanState() = 0;
  virtual void FreeScanState(TTolvanIndexScanState* State) = 0;
  // One step of a range scan from StartCondition to EndCondition (or to the end of StartCondition
  // without one), ascending when Forward. Start positions a fresh state; without Start the scan
  // resumes after the record named by RecordID, whose record is in Buffer. True sets RecordID;
  // false once past the end. A nil state raises 20077, Start on a started state 20078.
  virtual bool ScanNext(int32_t SessionID, bool Start, bool Forward,
                        const TTolvanScanSearchCondition* StartCondition,
                        const TTolvanScanSearchCondition* EndCondition, uint8_t* Buffer,
                        TTolvanRecordID& RecordID, TTolvanIndexScanState* State) = 0;
  // Compares the keys of two buffers over the first ColumnCount key columns: -1, 0 or 1.
  virtual int32_t CompareRecordKeys(const uint8_t* A, const uint8_t* B, int32_t ColumnCount) = 0;
  // -1 for a lower bound (greater, greater or equal), 1 for an upper bound (less, less or
  // equal), 0 otherwise.
  virtual int32_t ConditionDirection(const TTolvanScanSearchCondition& Condition) = 0;
  // The estimated number of records between the two conditions, 0 .. Total.
  virtual int64_t EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A,
                                     int64_t Total, const TTolvanScanSearchCondition& B) = 0;
  // True when the index is empty or neither unique nor primary, else when no entry has Buffer's
  // key.
  virtual bool IsKeyUnique(int32_t SessionID, const uint8_t* Buffer) = 0;
  // True when the keys are equal, else IsKeyUnique of NewBuffer.
  virtual bool IsKeyUniqueOnUpdate(int32_t SessionID, const uint8_t* OldBuffer,
                                   const uint8_t* NewBuffer) = 0;
  // Adds the entry of the cursor's record; an empty index first gets a root, whose page number
  // goes into Def.
  virtual void InsertKey(TTolvanCursor& Cursor) = 0;
  // Removes the entry of the cursor's record; none raises 20027.
  virtual void DeleteKey(TTolvanCursor& Cursor) = 0;
  // When the keys of the cursor's old record and record differ, moves the entry (the old one
  // missing raises 20027); equal keys change nothing.
  virtual void UpdateKey(TTolvanCursor& Cursor) = 0;

protected:
  std::unique_ptr<TTolvanIndexDef> FDef;

private:
  TTolvanBaseIndexManager& FIndexManager;
};

// Makes an index object of the manager's kind.
using TTolvanIndexFactory =
    std::function<std::unique_ptr<TTolvanIndex>(TTolvanBaseIndexManager& IndexManager)>;

// Raises, for the first definition that needs it, 20043 for a column naming no field, 20042 for
// a column whose type has no order (BLOB, MEMO, WIDEMEMO, BYTES, VARBYTES) and 20041 for a key
// longer than MaxIndexKeySize. Without field definitions nothing is checked.
void CheckIndexDef(const TTolvanIndexDef& Def, const TTolvanFieldDefs* FieldDefs);
void CheckIndexDefs(const TTolvanIndexDefs& Defs, const TTolvanFieldDefs* FieldDefs);

class TTolvanBaseIndexManager {
public:
  // Takes the table's page manager now; a table without one, or an empty factory, raises
  // EInvalidPointer.
  TTolvanBaseIndexManager(TTolvanTableData& TableData, TTolvanIndexFactory Factory);
  // Bound to Pages instead: the manager of a table's replacement, whose page store is installed
  // together with it.
  TTolvanBaseIndexManager(TTolvanTableData& TableData, TTolvanIndexFactory Factory,
                          TTolvanPageManager& Pages);
  virtual ~TTolvanBaseIndexManager();
  TTolvanBaseIndexManager(const TTolvanBaseIndexManager&) = delete;
  TTolvanBaseIndexManager& operator=(const TTolvanBaseIndexManager&) = delete;

  TTolvanTableData& TableData() const noexcept { return FTableData; }
  TTolvanIndexDefs& IndexDefs() const noexcept { return *FIndexDefs; }
  TTolvanPageManager& GetPageManager() const noexcept { return FPageManager; }
  // The field definitions the indexes are laid out over: the table's, unless a replacement's
  // manager was given its own until it is installed.
  const TTolvanFieldDefs* FieldDefs() const noexcept;
  void SetFieldDefs(const TTolvanFieldDefs* Defs) noexcept { FFieldDefs = Defs; }
  int32_t OpenIndexCount() const noexcept { return int32_t(FOpenIndexes.size()); }
  // The open index object of that id, or nil.
  TTolvanIndex* FindOpenIndex(int32_t IndexID) const noexcept;

  // The definitions, then the page manager's block. A refused definition (20041, 20042,
  // 20043) leaves the manager as it was; a refused root page number (10353) leaves the
  // definitions as they were but the page store loaded.
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream);
  // Replaces the definitions by copies of Defs; a refused definition changes nothing.
  virtual void AssignDefs(const TTolvanIndexDefs& Defs);

  int32_t FindIndexForFields(const TStringList* FieldNames, const TStringList* Orders,
                             const TStringList* CaseModes) const;
  void ForgetSession(int32_t SessionID);
  // The open index of that id, opened now when it is not; no definition raises 20018.
  TTolvanIndex& GetIndex(int32_t IndexID);
  void CloseIndex(int32_t IndexID) noexcept;

  // Gives Def a new object id, stores a copy and builds the index for the cursor's session (-2
  // without one); returns the id. The session's pending pages are committed first; when the
  // build fails its pages are rolled back and the definition removed before the error passes.
  int32_t AddIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def);
  // EmptyIndex, then the definition goes.
  void DropIndex(int32_t SessionID, int32_t IndexID);
  void DropAll(int32_t SessionID);
  // Frees the index's pages, sets its RootPageNo to -1 and closes it.
  void EmptyIndex(int32_t SessionID, int32_t IndexID);
  void EmptyAll(int32_t SessionID);

  // The cursor's record enters every index; a stored RootPageNo follows its index's.
  void InsertKeys(TTolvanCursor& Cursor);
  // Moves the entries of the cursor's record from its stored image to RecordBuffer; nothing when
  // the record is not stored. The cursor's BeforeImage is left as it was.
  void UpdateKeys(TTolvanCursor& Cursor);
  // Reads the stored record at the cursor's Position into its RecordBuffer (overwriting it) and
  // removes its entries; nothing when the record is not stored.
  void DeleteKeys(TTolvanCursor& Cursor);

  // Serves a next or prior move in the order of the request's index. A request not starting at
  // an end first reads its starting record; when that record is not stored the request answers
  // rrMissing and is otherwise left as it was.
  void GetRecordViaIndex(int32_t SessionID, TTolvanNavState& State);
  // The keys of A and B compared by the index over ColumnCount columns (0: all; then an unknown
  // id raises 11497). The index is closed afterwards, also on failure.
  int32_t CompareKeys(int32_t IndexID, const uint8_t* A, const uint8_t* B, int32_t ColumnCount);

private:
  int32_t DefPosition(int32_t IndexID) const;
  // The stored definition takes the root its open index now has.
  static void SyncRootPageNo(TTolvanIndex& Index, TTolvanIndexDef& Stored) noexcept;
  // Reads the stored record at the cursor's Position into Buffer; false when it is not stored.
  bool ReadStoredRecord(TTolvanCursor& Cursor, uint8_t* Buffer);
  // A zero-filled buffer for one stored record, kept for reuse.
  uint8_t* ScratchRecord();
  void CloseAll() noexcept;
  template <class TChange, class TUndo> void ChangeAllOrNothing(TChange&& Change, TUndo&& Undo);
  // Clears the key paths of the index when it is open; a failure is dropped.
  void ForgetPaths(int32_t IndexID) noexcept;

  TTolvanTableData& FTableData;
  TTolvanIndexFactory FFactory;
  TTolvanPageManager& FPageManager;
  const TTolvanFieldDefs* FFieldDefs = nullptr;
  std::unique_ptr<TTolvanIndexDefs> FIndexDefs;
  std::vector<std::unique_ptr<TTolvanIndex>> FOpenIndexes; // freed before the definitions
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FScratch;
  int32_t FScratchSize = 0;
};

} // namespace tolvan
