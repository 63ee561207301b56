#include "sql/TolvanJoinHash.h"

#include <algorithm>
#include <climits>

#include "classlib/SysUtils.h"

namespace tolvan {

namespace {

uint64_t Scramble(uint64_t X) noexcept {
  X ^= X >> 30;
  X *= 0xBF58476D1CE4E5B9ull;
  X ^= X >> 27;
  X *= 0x94D049BB133111EBull;
  X ^= X >> 31;
  return X;
}

// The slot count for Expected entries at most half full: a power of two, at least 16.
uint64_t SlotsFor(int64_t Expected) {
  uint64_t Slots = 16;
  const uint64_t Wanted = uint64_t(std::max<int64_t>(Expected, 0)) * 2;
  while (Slots < Wanted && Slots < (uint64_t(1) << 40))
    Slots <<= 1;
  return Slots;
}

} // namespace

uint64_t MixRowHash(uint64_t RowHash, uint32_t ValueHash) noexcept {
  return Scramble(RowHash ^ (uint64_t(ValueHash) + 0x9E3779B97F4A7C15ull));
}

// --- the table of probed rows ------------------------------------------------------------------

void TTolvanJoinHashTable::Clear(int64_t ExpectedRows) {
  FIDs.clear();
  FNext.clear();
  FGroups = 0;
  const uint64_t Slots = SlotsFor(ExpectedRows);
  if (FSlots.size() < Slots)
    FSlots.resize(Slots);
  // A table kept from a larger run stays that large; only its used part is walked again.
  FMask = uint64_t(FSlots.size()) - 1;
  for (TSlot& S : FSlots)
    S.Head = -1;
  FIDs.reserve(size_t(std::max<int64_t>(ExpectedRows, 0)));
  FNext.reserve(size_t(std::max<int64_t>(ExpectedRows, 0)));
}

size_t TTolvanJoinHashTable::SlotOf(uint64_t Hash) const noexcept {
  size_t I = size_t(Hash & FMask);
  while (FSlots[I].Head >= 0 && FSlots[I].Hash != Hash)
    I = (I + 1) & FMask;
  return I;
}

void TTolvanJoinHashTable::Add(uint64_t Hash, const TTolvanRecordID& ID) {
  if (FIDs.size() >= size_t(INT32_MAX))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  if (FSlots.empty())
    Clear(0);
  if (uint64_t(FGroups + 1) * 2 > FSlots.size())
    Grow();
  const int32_t Entry = int32_t(FIDs.size());
  FIDs.push_back(ID);
  FNext.push_back(-1);
  TSlot& S = FSlots[SlotOf(Hash)];
  if (S.Head < 0) {
    S = {Hash, Entry, Entry};
    ++FGroups;
  } else {
    FNext[size_t(S.Tail)] = Entry;
    S.Tail = Entry;
  }
}

int32_t TTolvanJoinHashTable::Find(uint64_t Hash) const noexcept {
  if (FSlots.empty())
    return -1;
  return FSlots[SlotOf(Hash)].Head;
}

void TTolvanJoinHashTable::Grow() {
  std::vector<TSlot> Old;
  Old.swap(FSlots);
  FSlots.assign(Old.size() * 2, TSlot{0, -1, -1});
  FMask = uint64_t(FSlots.size()) - 1;
  for (const TSlot& S : Old)
    if (S.Head >= 0)
      FSlots[SlotOf(S.Hash)] = S;
}

// --- the matched ids ---------------------------------------------------------------------------

void TTolvanRecordIDSet::Clear(int64_t ExpectedIDs) {
  FCount = 0;
  const uint64_t Slots = SlotsFor(ExpectedIDs);
  if (FSlots.size() < Slots)
    FSlots.resize(Slots);
  FMask = uint64_t(FSlots.size()) - 1;
  std::fill(FSlots.begin(), FSlots.end(), 0);
}

bool TTolvanRecordIDSet::Insert(const TTolvanRecordID& ID) {
  if (FSlots.empty())
    Clear(0);
  if (uint64_t(FCount + 1) * 2 > FSlots.size())
    Grow();
  const uint64_t Key = KeyOf(ID);
  size_t I = size_t(Scramble(Key) & FMask);
  while (FSlots[I] != 0) {
    if (FSlots[I] == Key)
      return false;
    I = (I + 1) & FMask;
  }
  FSlots[I] = Key;
  ++FCount;
  return true;
}

bool TTolvanRecordIDSet::Contains(const TTolvanRecordID& ID) const noexcept {
  if (FSlots.empty())
    return false;
  const uint64_t Key = KeyOf(ID);
  for (size_t I = size_t(Scramble(Key) & FMask); FSlots[I] != 0; I = (I + 1) & FMask)
    if (FSlots[I] == Key)
      return true;
  return false;
}

void TTolvanRecordIDSet::Grow() {
  std::vector<uint64_t> Old;
  Old.swap(FSlots);
  FSlots.assign(Old.size() * 2, 0);
  FMask = uint64_t(FSlots.size()) - 1;
  for (uint64_t Key : Old) {
    if (Key == 0)
      continue;
    size_t I = size_t(Scramble(Key) & FMask);
    while (FSlots[I] != 0)
      I = (I + 1) & FMask;
    FSlots[I] = Key;
  }
}

} // namespace tolvan
