// TolvanAOUnion.h: TTolvanAOUnion, UNION, INTERSECT and EXCEPT of two operators.
//
// The columns of the two operands are paired (by position, by name under CORRESPONDING, or by a
// BY list) and each pair becomes an output column of the two columns' common type. UNION reads
// the left operand's result table, then the right's. INTERSECT and EXCEPT walk the driving
// operand and look each row up in an exact set of the lookup operand's paired values, brought to
// the union's column types.
//
// Pairs. A pair is dropped silently when its columns have no common type, and under INTERSECT
// and EXCEPT when either column is a BLOB kind or bytes. UNION (with or without ALL) keeps such a
// pair when both columns share a value type, as the left's type, and makes a memo beside text a
// memo column (wide when either side is); the row set calls two BLOB-kind values equal when their
// bytes are. A text column is wide enough for the other side's values written as text.
//
// Row order: UNION ALL gives the left's rows, then the right's. INTERSECT and EXCEPT give the
// driving operand's qualifying rows in its order: the left drives, except for INTERSECT without
// ALL over a left that is not a table leaf, where the right drives and the output is read from
// the right's row. With ALL every qualifying driving row is given, duplicates included.
//
// Re-runs: the union prepares its operands when it is made, so operands of a tree that is to run
// again are marked (SetKeepForRerun) before they are handed to the union. Each run re-reads both
// operands and builds its lookup set anew.
//
// Ownership: the union owns its operands (base) and the lookup set of a run; the lookup and
// driving operands are borrowed views of the operands. Until the result is materialised the
// output fields read the operands' result tables; afterwards they read the union's own.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/TolvanVariant.h"
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

  TTolvanSetOperation Operation() const noexcept;
  // The paired columns' positions in the left and right operands' result tables.
  const TTolvanIntegerArray& LeftColumns() const noexcept;
  const TTolvanIntegerArray& RightColumns() const noexcept;

  // Materialises, then points the output fields at the union's own result table, which outlives
  // the operands' tables.
  void Execute() override;
  void ResetForReexecution() override;

  // The operand INTERSECT and EXCEPT walk, and the one they look rows up in; nil for UNION.
  TTolvanAO* DrivingOperand() const noexcept;
  TTolvanAO* LookupOperand() const noexcept;

private:
  // One column of an operand's result table, as pairing reads it.
  struct TColumnInfo;

  void PairColumns(bool Corresponding, const TTolvanFields* ByFields);
  void AddPair(const TColumnInfo& L, const TColumnInfo& R, int32_t LeftNo, int32_t RightNo);
  // Every output field reads Operand's result table at the paired columns of that side.
  void PointFieldsAt(bool AtLeft);
  // Fills the lookup set with the lookup operand's paired tuples.
  void BuildLookupSet();
  bool DrivingRowQualifies();
  void SkipToQualifyingRow();

  TTolvanSetOperation FOperation;
  TTolvanIntegerArray FLeftColumns;
  TTolvanIntegerArray FRightColumns;
  bool FReadingLeft = true;
  // INTERSECT and EXCEPT: which side drives.
  bool FLeftDrives = true;
  std::unique_ptr<TTolvanRecordComparison> FLookupSet;
  // One scratch value per pair, reused for every row.
  std::vector<std::unique_ptr<TTolvanVariant>> FPairValues;
};

} // namespace tolvan
