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
#include <vector>

#include "classlib/StringList.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanJoinHash.h"

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

  // A failed run ends its probe before the failure leaves.
  void Execute() override;

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

  // The match condition's parameter constants follow the base's.
  void CollectParams(std::vector<TTolvanExprNodeConst*>& List) override;

protected:
  void AfterSelectList() override;
  void ReleaseOwnState() override;
  // The match condition's sub-queries run again with the new values, as the filter's do.
  void ResetOwnSubQueries(const TParams* Params) override;
  void RunOwnSubQueries() override;

private:
  // One side of the join during a run.
  struct TSide {
    TTolvanAO* Operator = nullptr;
    TTolvanDataSet* DataSet = nullptr;
    // Per pair: the field number in the side's operator.
    std::vector<int32_t> Fields;
  };

  // --- construction (TolvanAOJoin.cpp) ----------------------------------------------------------
  void AddChildLinks(TTolvanAO& Child);
  void PairCommonNames();
  void ResolveFieldList(const TTolvanFields* Fields, int32_t Code, TTolvanIntegerArray& Numbers);
  void OrientPairs();

  // --- a run (TolvanAOJoinProbe.cpp) ------------------------------------------------------------
  void StartRun();
  void ChooseDrivingSide();
  // The index of Side's table whose first column is the pair field it returns in Pair, usable
  // for an exact case-sensitive lookup; nil when none.
  const TTolvanIndexDef* UsableIndex(const TSide& Side, int32_t& Pair) const;
  // The column (table numbering) of Side's dataset that pair field Pair reads; -1 when its value
  // does not come straight from that dataset.
  int32_t PairColumn(const TSide& Side, int32_t Pair) const;
  int64_t WeightedCount(const TSide& Side) const;
  void ChooseProbePath();
  bool BuildProbeCondition(const TTolvanIndexDef& Index, int32_t IndexedPair);
  void BuildHashTable();
  void SplitMatchCondition();
  bool DrivingOnly(TTolvanExprNode& Node) const;
  // Reads the pair values of Side's current row into Values; false when one is null.
  bool ReadPairValues(const TSide& Side, std::vector<std::unique_ptr<TTolvanVariant>>& Values);
  // The row hash of Values; false when a value does not convert to its pair's common type.
  bool HashPairValues(const std::vector<std::unique_ptr<TTolvanVariant>>& Values, uint64_t& Hash);
  // Starts the probe of the current driving row; false when it can have no match.
  bool BeginProbe();
  // Moves the probe to its next candidate passing the pairs and the match condition.
  bool NextCandidate();
  bool CandidateMatches();
  void EndProbe() noexcept;
  // From the current driving row on, the next row to produce.
  void SeekFromDrivingRow();
  void StartSecondPhase();
  void SkipMatched();
  void NullExtend() noexcept;

  TTolvanJoinType FJoinType = jtCross;
  bool FCross = false;
  bool FOuter = false;
  bool FInner = false;
  bool FNatural = false;
  TTolvanIntegerArray FLeftJoinFields;
  TTolvanIntegerArray FRightJoinFields;
  TStringList FLeftJoinNames;
  TStringList FRightJoinNames;
  // Per pair: the field numbers in the left and the right child.
  std::vector<int32_t> FLeftChildFields;
  std::vector<int32_t> FRightChildFields;
  std::unique_ptr<TTolvanExpression> FMatchCondition;
  // The match condition's conjuncts, split per run by the side they read.
  std::vector<TTolvanExprNode*> FDrivingConjuncts;
  std::vector<TTolvanExprNode*> FCandidateConjuncts;
  // The probe condition of the index path and its constants, one per pair.
  std::unique_ptr<TTolvanExpression> FProbeCondition;
  std::vector<TTolvanExprNodeConst*> FProbeConstants;
  TSide FDriving;
  TSide FProbed;
  bool FLeftDrives = true;
  TProbePath FPath = TProbePath::None;
  // Per pair: the value type both sides are compared in (probed column first).
  std::vector<TTolvanValueType> FCommonTypes;
  bool FSecondPhase = false;
  bool FProbing = false;
  bool FProbeFilterSet = false;
  bool FCandidateStarted = false;
  bool FNoCandidates = false;
  bool FAtEnd = false;
  // The hash path: the probed rows by pair values, and the entry a probe stands on.
  TTolvanJoinHashTable FHash;
  int32_t FEntry = -1;
  TTolvanRecordIDSet FMatched;
  std::vector<std::unique_ptr<TTolvanVariant>> FDrivingValues;
  std::vector<std::unique_ptr<TTolvanVariant>> FProbedValues;
  TTolvanVariant FScratch;
};

} // namespace tolvan
