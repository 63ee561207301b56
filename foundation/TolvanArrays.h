// TolvanArrays.h: the record id and the engine's growable arrays.
//
// TTolvanRecordID is the 6-byte address of a stored record, the same bytes wherever it is kept
// (index leaves, bookmarks, result sets). TTolvanIntegerArray, TTolvanInt64Array and
// TTolvanRecordIDArray are growable arrays that share one growth policy (see SetCount); the
// record-id array also sorts and searches in one of three orders.
//
// An array owns its storage, which comes from MemoryManager; positions are 0-based. Items past
// Count read as zero when SetCount brings them into use.
//
// Threads: no array takes a lock; its owner serialises access to it.
#pragma once

#include <bit>
#include <cstdint>

namespace tolvan {

static_assert(std::endian::native == std::endian::little,
              "the record id's in-memory form is its stored little-endian form");

// The address of a stored record.
//
//   offset  width  field
//   0       4      PageNo      page (or record slot) number, signed
//   4       2      PageItemNo  item within the page, unsigned
//
// In a temporary table the 6 bytes hold the record's 48-bit sequence number instead (PageNo the
// low 32 bits).
struct __attribute__((packed)) TTolvanRecordID {
  int32_t PageNo;
  uint16_t PageItemNo;

  friend bool operator==(const TTolvanRecordID& A, const TTolvanRecordID& B) {
    return A.PageNo == B.PageNo && A.PageItemNo == B.PageItemNo;
  }
};
static_assert(sizeof(TTolvanRecordID) == 6 && alignof(TTolvanRecordID) == 1);

// Storage and growth shared by the three arrays; TCount is the type of counts and positions.
//
// The growth policy, applied whenever the count changes:
//   - count 0: the storage is released (the deltas stay as they are);
//   - count beyond the capacity: GrowDelta doubles, capped at MaxDelta, and the capacity becomes
//     capacity + GrowDelta, or the count itself when that is not more; new slots are zero;
//   - SetCount below the current count with more than ShrinkDelta slots to spare: ShrinkDelta
//     doubles, capped at MaxDelta, and the storage is cut to exactly the count.
// So a growing array's step doubles from the constructor's Delta up to MaxDelta: with (0, 10,
// 100) appending one at a time gives capacities 20, 60, 140, 240, 340, ... Add and Delete never
// give storage back, except that deleting the last item releases it.
template <class T, class TCount> class TTolvanGrowableArray {
public:
  TTolvanGrowableArray(const TTolvanGrowableArray&) = delete;
  TTolvanGrowableArray& operator=(const TTolvanGrowableArray&) = delete;

  TCount Count() const noexcept { return FCount; }
  TCount Capacity() const noexcept { return FCapacity; }
  int32_t GrowDelta() const noexcept { return FGrowDelta; }
  int32_t ShrinkDelta() const noexcept { return FShrinkDelta; }
  int32_t MaxDelta() const noexcept { return FMaxDelta; }
  // The deltas of later growth; what is allocated stays.
  void SetGrowDelta(int32_t Value) noexcept { FGrowDelta = Value; }
  void SetMaxDelta(int32_t Value) noexcept { FMaxDelta = Value; }

  // The storage: Capacity() slots of which the first Count() are in use. Unchecked access.
  T* Items() noexcept { return FItems; }
  const T* Items() const noexcept { return FItems; }
  T& operator[](TCount Index) noexcept { return FItems[Index]; }
  const T& operator[](TCount Index) const noexcept { return FItems[Index]; }

  // A negative count raises ERangeError.
  void SetCount(TCount NewCount);

  void Add(const T& Value) {
    if (FCount < FCapacity)
      FItems[FCount++] = Value;
    else
      AddGrowing(Value);
  }

  // Count 0 with the storage kept, for an owner that refills the array soon: unlike SetCount(0)
  // it gives nothing back. Slots brought into use again come back cleared, as after Delete.
  void ClearKeepingStorage() noexcept { FCount = 0; }

  // Makes room for Extra more items, so that that many Adds allocate nothing; the count and the
  // deltas stay as they are. Extra <= 0 does nothing.
  void Reserve(TCount Extra);

  // Removes the item at Index, moving the later ones down. A position outside the items raises
  // EListError.
  void Delete(TCount Index);

protected:
  TTolvanGrowableArray(TCount Count, int32_t Delta, int32_t MaxDelta);
  ~TTolvanGrowableArray();

  // Makes room for one more item at the end (Count() grows by one) by the growth policy.
  void GrowByOne();

private:
  void AddGrowing(const T& Value);
  void Resize(TCount NewCount, bool MayShrink);
  void Reallocate(TCount NewCapacity, bool ZeroGrowth);
  void Release();

  T* FItems = nullptr;
  TCount FCount = 0;
  int32_t FGrowDelta;
  int32_t FShrinkDelta;
  int32_t FMaxDelta;
  TCount FCapacity = 0;
};

extern template class TTolvanGrowableArray<int32_t, int32_t>;
extern template class TTolvanGrowableArray<int64_t, int64_t>;
extern template class TTolvanGrowableArray<TTolvanRecordID, int32_t>;

// Page free lists, field-number lists, thread lists. Typical arguments (0, 10, 100) and
// (0, 1, 100).
class TTolvanIntegerArray : public TTolvanGrowableArray<int32_t, int32_t> {
public:
  TTolvanIntegerArray(int32_t Count, int32_t Delta, int32_t MaxDelta)
      : TTolvanGrowableArray(Count, Delta, MaxDelta) {}

  // First position holding Value, searched linearly; -1 when absent.
  int32_t IndexOf(int32_t Value) const noexcept;
  bool Contains(int32_t Value) const noexcept { return IndexOf(Value) >= 0; }
};

// Per-thread counts of the read/write lock.
class TTolvanInt64Array : public TTolvanGrowableArray<int64_t, int64_t> {
public:
  TTolvanInt64Array(int64_t Count, int32_t Delta, int32_t MaxDelta)
      : TTolvanGrowableArray(Count, Delta, MaxDelta) {}
};

// Result sets and join row lists.
//
// Compare orders (tested in this order):
//   ComparePageNoOnly  PageNo as signed; PageItemNo ignored
//   CompareAsNumber    the 6 bytes as one unsigned 48-bit little-endian number, so PageItemNo
//                      decides first, then PageNo as unsigned
//   neither            PageNo as signed, then PageItemNo
// Sorted is True after construction and after Sort; the array never clears it itself, the owner
// does when it appends out of order. LastID is kept for the owner; the array never reads it.
class TTolvanRecordIDArray : public TTolvanGrowableArray<TTolvanRecordID, int32_t> {
public:
  TTolvanRecordIDArray(int32_t Count, int32_t Delta, int32_t MaxDelta)
      : TTolvanGrowableArray(Count, Delta, MaxDelta) {}

  bool Sorted() const noexcept { return FSorted; }
  void SetSorted(bool Value) noexcept { FSorted = Value; }
  bool ComparePageNoOnly() const noexcept { return FComparePageNoOnly; }
  void SetComparePageNoOnly(bool Value) noexcept { FComparePageNoOnly = Value; }
  bool CompareAsNumber() const noexcept { return FCompareAsNumber; }
  void SetCompareAsNumber(bool Value) noexcept { FCompareAsNumber = Value; }
  const TTolvanRecordID& LastID() const noexcept { return FLastID; }
  void SetLastID(const TTolvanRecordID& Value) noexcept { FLastID = Value; }

  // Puts ID at Index, moving the items from Index on up one place; an Index at or past the last
  // position appends. A negative Index raises EListError. Sorted is left as it is.
  void Insert(int32_t Index, const TTolvanRecordID& ID);

  // -1, 0 or 1 as A sorts before, with or after B in the selected order.
  int Compare(const TTolvanRecordID& A, const TTolvanRecordID& B) const noexcept;

  // Sorts the items in the selected order and sets Sorted.
  void Sort();

  // With Sorted and more than 10 items: BinarySearch. Otherwise the first item with equal
  // PageNo and PageItemNo, searched linearly. -1 when absent.
  int32_t IndexOf(const TTolvanRecordID& ID) const noexcept;

  // The first position of an item comparing equal to ID in the selected order, in an array
  // sorted in that order; -1 when there is none.
  int32_t BinarySearch(const TTolvanRecordID& ID) const noexcept;

private:
  bool FSorted = true;
  bool FComparePageNoOnly = false;
  bool FCompareAsNumber = false;
  TTolvanRecordID FLastID{0, 0};
};

} // namespace tolvan
