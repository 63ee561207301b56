#include "foundation/TolvanArrays.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int32_t ErrSortingError = 11329;

template <class TCount> [[noreturn]] void RaiseListIndexError(TCount Index) {
  throw EListError(Format(SysConst::SListIndexError, Index));
}

} // namespace

// --- TTolvanGrowableArray ---------------------------------------------------------------------

template <class T, class TCount>
TTolvanGrowableArray<T, TCount>::TTolvanGrowableArray(TCount Count, int32_t Delta, int32_t MaxDelta)
    : FGrowDelta(Delta), FShrinkDelta(Delta), FMaxDelta(MaxDelta) {
  SetCount(Count);
}

template <class T, class TCount> TTolvanGrowableArray<T, TCount>::~TTolvanGrowableArray() {
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FItems);
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::SetCount(TCount NewCount) {
  if (NewCount < 0)
    throw ERangeError(std::string(SysConst::SRangeError));
  Resize(NewCount, true);
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::GrowByOne() {
  Resize(FCount + 1, false);
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::AddGrowing(const T& Value) {
  GrowByOne();
  FItems[FCount - 1] = Value;
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::Reserve(TCount Extra) {
  if (Extra <= 0 || int64_t(Extra) <= int64_t(FCapacity) - FCount)
    return;
  const int64_t Need = int64_t(FCount) + Extra;
  if (Need > int64_t(std::numeric_limits<TCount>::max()))
    throw ERangeError(std::string(SysConst::SRangeError));
  // The slots between the count and the old capacity may hold what Delete left there.
  if (FCapacity > FCount)
    std::memset(static_cast<void*>(FItems + FCount), 0, sizeof(T) * size_t(FCapacity - FCount));
  Reallocate(TCount(Need), true);
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::Delete(TCount Index) {
  if (Index < 0 || Index >= FCount)
    RaiseListIndexError(Index);
  std::memmove(FItems + Index, FItems + Index + 1, sizeof(T) * size_t(FCount - Index - 1));
  Resize(FCount - 1, false);
}

// The growth policy. MayShrink is false for Add and Delete, which count the item before they
// resize and so never meet the shrink case.
template <class T, class TCount>
void TTolvanGrowableArray<T, TCount>::Resize(TCount NewCount, bool MayShrink) {
  if (NewCount == 0) {
    Release();
    return;
  }
  if (NewCount > FCapacity) {
    const int32_t Grow = int32_t(std::min<int64_t>(int64_t(FGrowDelta) * 2, FMaxDelta));
    // Capacity + Grow cannot overflow 64 bits: the capacity is bounded by the largest block.
    const int64_t Stepped = int64_t(FCapacity) + Grow;
    const TCount NewCapacity =
        Stepped > int64_t(NewCount) && Stepped <= int64_t(std::numeric_limits<TCount>::max())
            ? TCount(Stepped)
            : NewCount;
    // The reallocation zeroes only the slots beyond the old capacity; those between the count
    // and it may still hold what Delete or a smaller count left there.
    if (FCapacity > FCount)
      std::memset(static_cast<void*>(FItems + FCount), 0, sizeof(T) * size_t(FCapacity - FCount));
    Reallocate(NewCapacity, true);
    FGrowDelta = Grow;
  } else if (MayShrink && NewCount < FCount && FCapacity - NewCount > FShrinkDelta) {
    const int32_t Shrink = int32_t(std::min<int64_t>(int64_t(FShrinkDelta) * 2, FMaxDelta));
    Reallocate(NewCount, false);
    FShrinkDelta = Shrink;
  } else if (NewCount > FCount) {
    // Slots given up by Delete or a smaller count come back cleared, like new ones.
    std::memset(static_cast<void*>(FItems + FCount), 0, sizeof(T) * size_t(NewCount - FCount));
  }
  FCount = NewCount;
}

template <class T, class TCount>
void TTolvanGrowableArray<T, TCount>::Reallocate(TCount NewCapacity, bool ZeroGrowth) {
  // A capacity whose bytes do not fit 64 bits is passed on as the largest size, which the
  // memory manager refuses like any other block too large.
  const int64_t Bytes =
      int64_t(NewCapacity) > std::numeric_limits<int64_t>::max() / int64_t(sizeof(T))
          ? std::numeric_limits<int64_t>::max()
          : int64_t(NewCapacity) * int64_t(sizeof(T));
  if (!FItems) {
    FItems = static_cast<T*>(TTolvanMemoryManager::AllocMem(Bytes));
  } else {
    try {
      TTolvanMemoryManager::ReallocMem(FItems, ZeroGrowth, Bytes);
    } catch (...) {
      if (!FItems) // the old storage had a damaged guard and is gone
        FCount = FCapacity = 0;
      throw;
    }
  }
  FCapacity = NewCapacity;
}

template <class T, class TCount> void TTolvanGrowableArray<T, TCount>::Release() {
  T* Old = FItems;
  FItems = nullptr;
  FCount = FCapacity = 0;
  if (Old)
    TTolvanMemoryManager::FreeAndNillMem(Old);
}

template class TTolvanGrowableArray<int32_t, int32_t>;
template class TTolvanGrowableArray<int64_t, int64_t>;
template class TTolvanGrowableArray<TTolvanRecordID, int32_t>;

// --- TTolvanIntegerArray ----------------------------------------------------------------------

int32_t TTolvanIntegerArray::IndexOf(int32_t Value) const noexcept {
  const int32_t* Begin = Items();
  const int32_t* End = Begin + Count();
  const int32_t* Found = std::find(Begin, End, Value);
  return Found == End ? -1 : int32_t(Found - Begin);
}

// --- TTolvanRecordIDArray ---------------------------------------------------------------------

namespace {

// Each compare order is the order of one 64-bit key per id, so sorting and searching compare
// plain integers.
struct TPageNoKey {
  int64_t operator()(const TTolvanRecordID& ID) const noexcept { return ID.PageNo; }
};

struct TNumberKey {
  int64_t operator()(const TTolvanRecordID& ID) const noexcept {
    return int64_t(uint64_t(uint32_t(ID.PageNo)) | uint64_t(ID.PageItemNo) << 32);
  }
};

struct TPageNoItemKey {
  int64_t operator()(const TTolvanRecordID& ID) const noexcept {
    return int64_t(ID.PageNo) * 65536 + ID.PageItemNo;
  }
};

// Calls F with the key of the array's compare order.
template <class F> decltype(auto) WithKey(bool PageNoOnly, bool AsNumber, F&& Fn) {
  if (PageNoOnly)
    return Fn(TPageNoKey());
  if (AsNumber)
    return Fn(TNumberKey());
  return Fn(TPageNoItemKey());
}

// Hoare partition sort with the middle item as pivot. The smaller part is sorted by recursion
// and the larger by the loop, so the stack stays logarithmic; the parts are disjoint, so the
// result is that of sorting the left part first.
template <class Key>
void QuickSort(TTolvanRecordID* Items, int32_t Lo, int32_t Hi, int32_t Count, Key K) {
  while (Lo < Hi) {
    const int64_t Pivot = K(Items[Lo + (Hi - Lo) / 2]);
    int32_t I = Lo;
    int32_t J = Hi;
    do {
      while (K(Items[I]) < Pivot && I < Hi)
        ++I;
      while (K(Items[J]) > Pivot && J > 0)
        --J;
      if (I <= J) {
        std::swap(Items[I], Items[J]);
        ++I;
        --J;
      }
    } while (I <= J);
    // Only an order that contradicts itself can leave the left part the whole range.
    if (Lo < J && J == Hi)
      throw ETolvanException::CreateFmt(ErrSortingError, SRecordIdArraySortingError, J, I, Hi, Lo,
                                        Count);
    if (J - Lo < Hi - I) {
      if (Lo < J)
        QuickSort(Items, Lo, J, Count, K);
      Lo = I;
    } else {
      if (I < Hi)
        QuickSort(Items, I, Hi, Count, K);
      Hi = J;
    }
  }
}

// First position whose key is not below Target's, then whether it is equal.
template <class Key>
int32_t LowerBoundEqual(const TTolvanRecordID* Items, int32_t Count, const TTolvanRecordID& ID,
                        Key K) {
  const int64_t Target = K(ID);
  int32_t First = 0;
  int32_t Len = Count;
  while (Len > 0) {
    const int32_t Half = Len / 2;
    if (K(Items[First + Half]) < Target) {
      First += Half + 1;
      Len -= Half + 1;
    } else {
      Len = Half;
    }
  }
  return First < Count && K(Items[First]) == Target ? First : -1;
}

} // namespace

void TTolvanRecordIDArray::Insert(int32_t Index, const TTolvanRecordID& ID) {
  if (Index < 0)
    RaiseListIndexError(Index);
  GrowByOne();
  const int32_t Last = Count() - 1;
  if (Last > 0 && Index < Last) {
    std::memmove(Items() + Index + 1, Items() + Index,
                 sizeof(TTolvanRecordID) * size_t(Last - Index));
    (*this)[Index] = ID;
  } else {
    (*this)[Last] = ID;
  }
}

int TTolvanRecordIDArray::Compare(const TTolvanRecordID& A,
                                  const TTolvanRecordID& B) const noexcept {
  return WithKey(FComparePageNoOnly, FCompareAsNumber, [&](auto K) {
    const int64_t KA = K(A);
    const int64_t KB = K(B);
    return KA < KB ? -1 : KA > KB ? 1 : 0;
  });
}

void TTolvanRecordIDArray::Sort() {
  if (Count() > 1) {
    WithKey(FComparePageNoOnly, FCompareAsNumber,
            [&](auto K) { QuickSort(Items(), 0, Count() - 1, Count(), K); });
  }
  FSorted = true;
}

int32_t TTolvanRecordIDArray::IndexOf(const TTolvanRecordID& ID) const noexcept {
  if (FSorted && Count() > 10)
    return BinarySearch(ID);
  const TTolvanRecordID* Begin = Items();
  const TTolvanRecordID* End = Begin + Count();
  const TTolvanRecordID* Found = std::find(Begin, End, ID);
  return Found == End ? -1 : int32_t(Found - Begin);
}

int32_t TTolvanRecordIDArray::BinarySearch(const TTolvanRecordID& ID) const noexcept {
  return WithKey(FComparePageNoOnly, FCompareAsNumber,
                 [&](auto K) { return LowerBoundEqual(Items(), Count(), ID, K); });
}

} // namespace tolvan
