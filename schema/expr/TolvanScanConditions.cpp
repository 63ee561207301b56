#include "schema/expr/TolvanScanConditions.h"

#include <algorithm>
#include <cstring>

#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"

namespace tolvan {

// ---------------------------------------------------------------------------------------------
// Extracted comparisons
// ---------------------------------------------------------------------------------------------

TTolvanExtractedComparison::~TTolvanExtractedComparison() {
  TTolvanMemoryManager::FreeAndNillMemNoRaise(KeyBuffer);
  TTolvanMemoryManager::FreeAndNillMemNoRaise(NullBoundKey);
}

TTolvanExtractedComparisons::~TTolvanExtractedComparisons() {
  ReleaseAll();
  for (TSpareKey& Spare : FSpareKeys)
    TTolvanMemoryManager::FreeAndNillMemNoRaise(Spare.Block);
}

TTolvanExtractedComparison& TTolvanExtractedComparisons::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[size_t(Index)];
}

TTolvanExtractedComparison& TTolvanExtractedComparisons::Add() {
  if (size_t(FCount) == FItems.size())
    FItems.push_back(std::make_unique<TTolvanExtractedComparison>());
  return *FItems[size_t(FCount++)];
}

// The latest first: each comparison then finds its filter as it was right after it left, so
// its recorded position is exact again.
void TTolvanExtractedComparisons::ReleaseAll() noexcept {
  while (FCount > 0) {
    TTolvanExtractedComparison& Entry = *FItems[size_t(--FCount)];
    if (Entry.Expression)
      Entry.Expression->GiveBack(Entry);
    Entry.Expression = nullptr;
    Entry.Node = nullptr;
    Entry.Owned.reset();
    Entry.Position = -1;
    Entry.EmptiedRoot.reset();
    const auto Keep = [this](uint8_t*& Block, int64_t& Size) {
      if (Size > 0)
        ReturnKeyBlock(Block, Size);
      else
        TTolvanMemoryManager::FreeAndNillMemNoRaise(Block);
      Block = nullptr;
      Size = 0;
    };
    Keep(Entry.KeyBuffer, Entry.KeyBufferSize);
    Keep(Entry.NullBoundKey, Entry.NullBoundKeySize);
  }
}

uint8_t* TTolvanExtractedComparisons::TakeKeyBlock(int64_t Size) {
  for (size_t I = FSpareKeys.size(); I-- > 0;) {
    if (FSpareKeys[I].Size != Size)
      continue;
    uint8_t* Block = FSpareKeys[I].Block;
    FSpareKeys[I] = FSpareKeys.back();
    FSpareKeys.pop_back();
    std::memset(Block, 0, size_t(Size));
    return Block;
  }
  return static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(std::max<int64_t>(Size, 1)));
}

void TTolvanExtractedComparisons::ReturnKeyBlock(uint8_t* Block, int64_t Size) noexcept {
  if (!Block)
    return;
  try {
    FSpareKeys.push_back({Block, Size});
  } catch (...) {
    TTolvanMemoryManager::FreeAndNillMemNoRaise(Block);
  }
}

// ---------------------------------------------------------------------------------------------
// The condition array
// ---------------------------------------------------------------------------------------------

TTolvanScanSearchCondition& TTolvanScanSearchConditionArray::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[size_t(Index)];
}

void TTolvanScanSearchConditionArray::Delete(int32_t Index) {
  if (Index < 0 || Index >= Count())
    throw ETolvanException::CreateFmt(ErrScanConditionItemNo, SInvalidItemNumber, Index, Count());
  // The deleted object moves behind the conditions, kept for reuse.
  std::rotate(FItems.begin() + Index, FItems.begin() + Index + 1, FItems.begin() + FCount);
  --FCount;
}

TTolvanScanSearchCondition& TTolvanScanSearchConditionArray::Append() {
  if (size_t(FCount) == FItems.size())
    FItems.push_back(std::make_unique<TTolvanScanSearchCondition>());
  TTolvanScanSearchCondition& C = *FItems[size_t(FCount++)];
  C = TTolvanScanSearchCondition();
  return C;
}

void TTolvanScanSearchConditionArray::AddExpression(TTolvanExpression* Expression) {
  if (!Expression)
    throw ETolvanException::CreateFmt(ErrScanConditionInvalid, SInvalidScanCondition, -1, Count());
  Append().Expression = Expression;
}

void TTolvanScanSearchConditionArray::AddCondition(const TTolvanScanSearchCondition& Condition) {
  if (!Condition.Expression && Condition.IndexID == -1)
    throw ETolvanException::CreateFmt(ErrScanConditionInvalid, SInvalidScanCondition,
                                      Condition.IndexID, Count());
  const TTolvanScanSearchCondition Copy = Condition;
  AssignScanSearchCondition(Append(), Copy);
}

void TTolvanScanSearchConditionArray::ExtractIndexConditions(const TTolvanIndexDefs& IndexDefs,
                                                             TTolvanExtractedComparisons& List) {
  const int32_t Present = Count();
  for (int32_t I = 0; I < Present; ++I) {
    TTolvanExpression* Expression = FItems[size_t(I)]->Expression;
    if (Expression)
      Expression->BuildScanSearchConditions(IndexDefs, *this, List);
  }
}

void TTolvanScanSearchConditionArray::ReleaseExtracted(TTolvanExtractedComparisons& List) noexcept {
  List.ReleaseAll();
}

} // namespace tolvan
