// TolvanJoinHash.h: the two flat hash structures a join run keeps over record ids.
//
//   TTolvanJoinHashTable  the probed rows' record ids grouped by the 64-bit hash of their pair
//                         values. A group lists its ids in the order they were added (the
//                         probed dataset's order). The hash only finds candidates: rows whose
//                         values collide share a group, and the join confirms each candidate
//                         with the comparison.
//   TTolvanRecordIDSet    the record ids a full join has matched.
//
// Both are open addressing over power-of-two slot arrays, grown to keep them at most half full.
// Clear keeps the storage, so a join that runs again allocates nothing once the sizes are
// reached; adding and looking up never allocate except when a structure grows.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/TolvanArrays.h"

namespace tolvan {

// Mixes a value hash into a running row hash; the row hash of no values is RowHashStart.
inline constexpr uint64_t RowHashStart = 0x6A09E667F3BCC909ull;
uint64_t MixRowHash(uint64_t RowHash, uint32_t ValueHash) noexcept;

class TTolvanJoinHashTable {
public:
  // Empties the table, sized for about ExpectedRows ids.
  void Clear(int64_t ExpectedRows);
  // Appends ID to the group of Hash. More than INT32_MAX ids raise EIntOverflow.
  void Add(uint64_t Hash, const TTolvanRecordID& ID);
  // The first entry of Hash's group, -1 when there is none.
  int32_t Find(uint64_t Hash) const noexcept;
  // The entry after Entry in its group, -1 after the last.
  int32_t Next(int32_t Entry) const noexcept { return FNext[size_t(Entry)]; }
  const TTolvanRecordID& ID(int32_t Entry) const noexcept { return FIDs[size_t(Entry)]; }
  int64_t Count() const noexcept { return int64_t(FIDs.size()); }

private:
  struct TSlot {
    uint64_t Hash;
    int32_t Head; // -1: free
    int32_t Tail;
  };
  void Grow();
  size_t SlotOf(uint64_t Hash) const noexcept;

  std::vector<TSlot> FSlots;
  uint64_t FMask = 0;
  int64_t FGroups = 0;
  std::vector<TTolvanRecordID> FIDs;
  std::vector<int32_t> FNext;
};

class TTolvanRecordIDSet {
public:
  // Empties the set, sized for about ExpectedIDs ids.
  void Clear(int64_t ExpectedIDs);
  // Adds ID; false when it was there already.
  bool Insert(const TTolvanRecordID& ID);
  bool Contains(const TTolvanRecordID& ID) const noexcept;
  int64_t Count() const noexcept { return FCount; }

private:
  // An id as a non-zero key: zero marks a free slot.
  static uint64_t KeyOf(const TTolvanRecordID& ID) noexcept {
    return (uint64_t(uint32_t(ID.PageNo)) | (uint64_t(ID.PageItemNo) << 32)) + 1;
  }
  void Grow();

  std::vector<uint64_t> FSlots;
  uint64_t FMask = 0;
  int64_t FCount = 0;
};

} // namespace tolvan
