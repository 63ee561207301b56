// TolvanMemoryRecordManager.h: the record store of an in-memory table.
//
// Records live in one growable block of fixed-size slots; a record's id is its slot number
// ({slot, 0}). A second block, the deleted map, holds one bit per slot:
//
//   bit i     byte i div 8, bit i mod 8 (least significant first); 1 = slot i deleted
//
// Only the bits of slots in [MinID, MaxID] carry meaning; every slot below MinID is deleted, and
// MinID <= MaxID < Capacity while records exist, both ends live. A new record takes MaxID + 1
// (0 in an empty store), so the ids of deleted records above the highest live one are given
// out again, while ids below it never come back as long as records remain.
// When the last record goes, both blocks are freed and numbering restarts at 0.
//
// NoDeletions stays set until the first delete; while it is set the live slots are exactly
// 0 .. RecordCount - 1 and positions map to slots without reading the map. Any non-zero value
// counts as set.
//
// Growth: a store made with AllocBy > 0 starts with AllocBy slots and then grows by the memory
// manager's size-class step (at least what the new id needs); with AllocBy <= 0 it grows to
// exactly the slots needed. Release 3.90 has no size classes: the store grows to Capacity +
// AllocBy slots, or to the slots needed when that is more. Sizes are computed in 64 bits: a
// capacity beyond Int32 or a block beyond MemMaxBlockSize refuses the insert. New and grown blocks
// are zero-filled, so the same records always give the same bytes.
//
// Stream block (little-endian), written by SaveToStream when the table has records:
//
//   offset  width           field
//   0       4               Capacity
//   4       1               NoDeletions: 0xFF or 0
//   5       4               MinID
//   9       4               MaxID
//   13      ceil(Cap / 8)   the deleted map as it is, only when Capacity > 0
//
// The records follow the block (the table stream writes them), each placed again by
// AppendLoadedRecord in slot order, so ids survive a save and load. LoadFromStream trusts
// nothing it reads: every field, the map and the promised record count are checked against one
// another and against the bytes left before anything is allocated, and a refused block leaves
// the store as it was.
//
// InsertRecord, UpdateRecord and DeleteRecord never raise: a store that cannot act answers
// false and is left as it was. An update of a table with BLOB columns frees the blocks of the
// stored record that the new record no longer refers to, after the slot has been written; a
// failure freeing one of them is dropped (the update stands).
//
// Ownership: the manager owns both blocks; the table data is referred to and outlives it.
//
// Threads: none of its own. The in-memory table calls it only under its table lock; RecordCount
// alone may be read without it.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TolvanMemory.h"
#include "storage/TolvanRecordManager.h"

namespace tolvan {

class TTolvanTableData;

// Native codes of the memory record manager.
inline constexpr int32_t ErrMemoryRecordSizeZero = 10011;
inline constexpr int32_t ErrMemoryRecordRetrieve = 10019;
inline constexpr int32_t ErrMemoryRecordInvalidBitNo = 10457;
// The stream block: write codes, then read codes, one per field.
inline constexpr int32_t ErrWriteStoreCapacity = 10444;
inline constexpr int32_t ErrWriteStoreNoDeletions = 10445;
inline constexpr int32_t ErrWriteStoreMinID = 10446;
inline constexpr int32_t ErrWriteStoreMaxID = 10447;
inline constexpr int32_t ErrWriteStoreDeletedMap = 10448;
inline constexpr int32_t ErrReadStoreCapacity = 10449;
inline constexpr int32_t ErrReadStoreNoDeletions = 10450;
inline constexpr int32_t ErrReadStoreMinID = 10451;
inline constexpr int32_t ErrReadStoreMaxID = 10452;
inline constexpr int32_t ErrReadStoreDeletedMap = 10453;
// The stored records that follow the block, on reading.
inline constexpr int32_t ErrReadStoredRecord = 10201;
// AppendLoadedRecord given more records than the block's map holds live slots.
inline constexpr int32_t ErrAppendRecordNo = 10847;

class TTolvanMemoryRecordManager : public TTolvanBaseRecordManager {
public:
  // RecordSize 0 raises 10011; a negative one raises ERangeError.
  TTolvanMemoryRecordManager(TTolvanTableData& TableData, int32_t RecordSize, int32_t AllocBy);
  ~TTolvanMemoryRecordManager() override;

  // Frees both blocks: Capacity, RecordCount, MinID and MaxID become 0. NoDeletions stays.
  void Clear(int32_t SessionID) override;
  bool InsertRecord(const uint8_t* Buffer, TTolvanRecordID& RecordID, int32_t SessionID) override;
  // False for an id that is not live (an empty store included).
  bool UpdateRecord(const uint8_t* Buffer, const TTolvanRecordID& RecordID,
                    int32_t SessionID) override;
  // False for an id that is not live. Deleting MinID or MaxID moves it to the nearest live slot.
  bool DeleteRecord(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  bool RecordExists(const TTolvanRecordID& RecordID, int32_t SessionID) override;
  // Serves the request in slot order; an empty store answers rrEndReached. On rrOK the record is
  // copied into State.Buffer (nil raises 10019) and the flag the move started from is cleared;
  // otherwise State.RecordID keeps its slot. PageItemNo is always 0.
  void GetRecord(TTolvanNavState& State) override;
  // Round((id - MinID) / RecordCount x (MaxID - MinID)) + 1 in extended precision, ties to even;
  // 1 in a store of one record, -1 outside [MinID, MaxID] or in an empty store. Only an
  // estimate: with sparse ids it can exceed RecordCount.
  int64_t GetApproxRecNo(const TTolvanRecordID& RecordID, int32_t SessionID) override;

  // Writes the block above.
  void SaveToStream(TStream& Stream) override;
  // Reads a block and takes its capacity, map, MinID and MaxID in place of the store's; the
  // records are then placed by AppendLoadedRecord. RecordCount becomes 0, and counts the
  // appended records. The count of records that follow is taken from the map (its live slots).
  void LoadFromStream(TStream& Stream) override;
  // As above, for a block that must hold exactly RecordCount records (the table stream's
  // header says how many follow). Refusals: a field out of range or disagreeing with the map
  // raises that field's read code (10449-10453), RecordCount beyond Int32 or other than the
  // map's live slots 10453, a map or records beyond the bytes left a short read (10453,
  // 10201), a store beyond the available memory 10449.
  void LoadFromStream(TStream& Stream, int64_t RecordCount);
  // Copies Buffer into the next live slot of the loaded map and counts it. Position is -1
  // before the first record and the slot placed afterwards. A record beyond the map's live
  // slots raises 10847.
  void AppendLoadedRecord(const uint8_t* Buffer, int32_t& Position) override;

  // Sets Capacity to exactly NewCapacity (0 frees both blocks); kept slots keep their bytes,
  // growth is zero-filled. NewCapacity must not cut live slots off. A negative capacity raises
  // ERangeError, one whose block exceeds MemMaxBlockSize or cannot be had raises 30015 / 30014;
  // on failure nothing changes.
  void Resize(int32_t NewCapacity);

  // The slot of the live record at 0-based Position in slot order; -1 for a Position outside
  // 0 .. RecordCount - 1. A map that holds fewer live slots than RecordCount below MaxID raises
  // 10457 with Position and Capacity.
  int64_t RecNoToRecordID(int64_t Position) const;
  // The number of live slots among 0 .. ID, which is the 1-based position of a live ID; -1 for
  // an ID outside 0 .. Capacity - 1.
  int64_t RecordIDToRecNo(int64_t ID) const;

  int32_t Capacity() const noexcept { return FCapacity; }
  int32_t AllocBy() const noexcept { return FAllocBy; }
  int32_t MinID() const noexcept { return FMinID; }
  int32_t MaxID() const noexcept { return FMaxID; }
  bool NoDeletions() const noexcept { return FNoDeletions != 0; }
  // Slot must lie in 0 .. Capacity - 1.
  bool IsSlotDeleted(int32_t Slot) const noexcept;
  // The record block (Capacity x RecordSize bytes) and the deleted map (ceil(Capacity / 8)
  // bytes); nil while Capacity is 0.
  const uint8_t* RecordBlock() const noexcept { return FRecords.get(); }
  const uint8_t* DeletedMap() const noexcept { return FDeletedMap.get(); }

private:
  using TBlock = std::unique_ptr<uint8_t, TTolvanMemDeleter>;

  bool IsLive(int64_t ID) const noexcept;
  uint8_t* Slot(int32_t ID) const noexcept { return FRecords.get() + int64_t(ID) * RecordSize(); }
  void SetDeleted(int32_t ID, bool Deleted) noexcept;
  // Makes room for slot NewID; false when the store cannot grow that far.
  bool GrowFor(int32_t NewID);
  TTolvanGetRecordResult StepFromBegin(TTolvanGetRecordMode Mode, int32_t& ID) const noexcept;
  TTolvanGetRecordResult StepFromEnd(TTolvanGetRecordMode Mode, int32_t& ID) const noexcept;
  TTolvanGetRecordResult StepToLive(TTolvanGetRecordMode Mode, int32_t& ID) const noexcept;
  // After the slot of ID took a new record: marks its BLOB values as owned by the stored record
  // and frees those blocks of Stored (the record as it was) that the new record dropped or
  // replaced.
  void ReleaseReplacedBlobs(int32_t ID, uint8_t* Stored) noexcept;
  // Reads and checks a block; ExpectedCount < 0 takes the map's live slots.
  void ReadBlock(TStream& Stream, int64_t ExpectedCount);

  TTolvanTableData& FTableData;
  TBlock FRecords;
  TBlock FDeletedMap;
  int32_t FCapacity = 0;
  int32_t FAllocBy;
  int32_t FMinID = 0;
  int32_t FMaxID = 0;
  uint8_t FNoDeletions = 0xFF;
  // The stored record during an update of a table with BLOB columns; made on first need.
  TBlock FStoredCopy;
};

} // namespace tolvan
