// TolvanAOUnion.h: TTolvanAOUnion, UNION, INTERSECT and EXCEPT of two operators.
//
// The columns of the two operands are paired (by position, by name under CORRESPONDING, or by a
// BY list) and each pair becomes an output column of the two columns' common type. UNION reads
// the left operand's result table, then the right's. INTERSECT and EXCEPT walk the driving
// operand and look each row up in an exact set of the lookup operand's paired values, brought to
// the union's column types.
//
// Ownership: the union owns its operands (base); the lookup and driving operands are borrowed
// views of them.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "sql/TolvanAO.h"

namespace tolvan {

enum TTolvanSetOperation : uint8_t { tsoUnion = 0, tsoIntersect = 1, tsoExcept = 2 };

inline constexpr int32_t ErrAOUnionEmptyByList = 10337;
inline constexpr int32_t ErrAOUnionListsLength = 10338;
inline constexpr int32_t ErrAOUnionNoPair = 10339;

class TTolvanAOUnion : public TTolvanAO {
public:
  // Both operands are prepared (materialised) here. Distinct: without ALL. ByFields may be nil.
  TTolvanAOUnion(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                 TTolvanSetOperation Operation, bool Corresponding, bool Distinct,
                 const TTolvanFields* ByFields);
  ~TTolvanAOUnion() override;

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;

  TTolvanSetOperation Operation() const noexcept;
  // The paired columns' positions in the left and right operands' result tables.
  const TTolvanIntegerArray& LeftColumns() const noexcept;
  const TTolvanIntegerArray& RightColumns() const noexcept;
};

} // namespace tolvan
