#include "schema/expr/TolvanScanConditions.h"

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

TTolvanExtractedComparisons::~TTolvanExtractedComparisons() { ReleaseAll(); }

TTolvanExtractedComparison& TTolvanExtractedComparisons::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[size_t(Index)];
}

TTolvanExtractedComparison& TTolvanExtractedComparisons::Add() {
  FItems.push_back(std::make_unique<TTolvanExtractedComparison>());
  return *FItems.back();
}

// The latest first: each comparison then finds its filter as it was right after it left, so
// its recorded position is exact again.
void TTolvanExtractedComparisons::ReleaseAll() noexcept {
  for (auto It = FItems.rbegin(); It != FItems.rend(); ++It)
    if ((*It)->Expression)
      (*It)->Expression->GiveBack(**It);
  FItems.clear();
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
  FItems.erase(FItems.begin() + Index);
}

void TTolvanScanSearchConditionArray::AddExpression(TTolvanExpression* Expression) {
  if (!Expression)
    throw ETolvanException::CreateFmt(ErrScanConditionInvalid, SInvalidScanCondition, -1, Count());
  auto Condition = std::make_unique<TTolvanScanSearchCondition>();
  Condition->Expression = Expression;
  FItems.push_back(std::move(Condition));
}

void TTolvanScanSearchConditionArray::AddCondition(const TTolvanScanSearchCondition& Condition) {
  if (!Condition.Expression && Condition.IndexID == -1)
    throw ETolvanException::CreateFmt(ErrScanConditionInvalid, SInvalidScanCondition,
                                      Condition.IndexID, Count());
  auto Copy = std::make_unique<TTolvanScanSearchCondition>();
  AssignScanSearchCondition(*Copy, Condition);
  FItems.push_back(std::move(Copy));
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
