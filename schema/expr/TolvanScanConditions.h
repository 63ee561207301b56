// TolvanScanConditions.h: one condition of a table search.
//
// A condition is either an expression to evaluate per record (ConditionType 0) or a key
// comparison on one index (1 equal, 2 less, 3 greater, 4 less or equal, 5 greater or equal).
// The list of conditions a search works through comes with the expression object, which turns
// indexable comparisons into key conditions.
//
// Ownership: a condition borrows its key buffer and its expression; copying one shares both.
//
// Threads: a plain record; its owner serialises access.
#pragma once

#include <cstdint>

namespace tolvan {

class TTolvanExpression;

enum TTolvanSearchConditionType : uint8_t {
  sctExpression = 0,
  sctEqual = 1,
  sctLess = 2,
  sctGreater = 3,
  sctLessOrEqual = 4,
  sctGreaterOrEqual = 5
};

class TTolvanScanSearchCondition {
public:
  uint8_t ConditionType = sctExpression;
  // A key in the index's key form (a record buffer's layout), or nil.
  uint8_t* KeyBuffer = nullptr;
  // The leading index columns the key fills.
  int32_t KeyFieldCount = 0;
  // The index the key belongs to, or -1.
  int32_t IndexID = -1;
  TTolvanExpression* Expression = nullptr;
};

// Copies the five fields; key buffer and expression are shared, not duplicated.
inline void AssignScanSearchCondition(TTolvanScanSearchCondition& Dest,
                                      const TTolvanScanSearchCondition& Source) noexcept {
  Dest.ConditionType = Source.ConditionType;
  Dest.KeyBuffer = Source.KeyBuffer;
  Dest.KeyFieldCount = Source.KeyFieldCount;
  Dest.IndexID = Source.IndexID;
  Dest.Expression = Source.Expression;
}

} // namespace tolvan
