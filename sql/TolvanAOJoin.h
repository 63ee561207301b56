// TolvanAOJoin.h: TTolvanAOJoin, the join of two operators.
//
// A cross join walks its children by nested loops. Inner, left, right and full outer joins walk
// one side (the driving side) and probe the other for the rows whose pair fields equal the
// driving row's: by an index scan of the probed table when it has a usable index, else through
// a hash of the probed rows' pair values built once per run. A full join then walks the probed
// side once more for the rows nothing matched. The match condition (the ON remainder of an
// outer join) decides, beside the pairs, which candidates match; the filter (WHERE) is tested on
// every produced row, as for any operator. A join always materialises its rows.
//
// Ownership: the join owns its children (base), its probe condition and its match condition;
// the driving and probed datasets are the children's result datasets, borrowed for a run.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "classlib/StringList.h"
#include "sql/TolvanAO.h"

namespace tolvan {

inline constexpr int32_t ErrAOJoinListsLength = 10330;
inline constexpr int32_t ErrAOJoinLeftField = 10331;
inline constexpr int32_t ErrAOJoinRightField = 10332;
inline constexpr int32_t ErrAOJoinNoPair = 10333;
inline constexpr int32_t ErrAOJoinSameTable = 10334;

class TTolvanAOJoin : public TTolvanAO {
public:
  // The field lists hold the column pairs (from USING, ON or WHERE) and are copied; either may
  // be nil for a cross or natural join.
  TTolvanAOJoin(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                TTolvanJoinType JoinType, bool Natural, const TTolvanFields* LeftFields,
                const TTolvanFields* RightFields);
  ~TTolvanAOJoin() override;

  // The ON remainder: a driving and a probed row match when every pair is equal and this holds
  // on the combined row. The join binds it to itself; nil removes it.
  void SetMatchCondition(std::unique_ptr<TTolvanExpression> Condition);

  bool IsJoin() const override { return true; }
  TTolvanJoinType JoinType() const override;

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;

  // The pairs: output field numbers of this join (left field first) and the children's names.
  const TTolvanIntegerArray& LeftJoinFields() const noexcept;
  const TTolvanIntegerArray& RightJoinFields() const noexcept;
  const TStringList& LeftJoinNames() const noexcept;
  const TStringList& RightJoinNames() const noexcept;

  // How the last run probed; for tests and the benchmark.
  enum class TProbePath : uint8_t { None, Index, Hash };
  TProbePath LastProbePath() const noexcept;
  bool LeftDrives() const noexcept;

protected:
  void AfterSelectList() override;
  void ReleaseOwnState() override;
};

} // namespace tolvan
