// TTolvanAOJoin's run of inner and outer joins.
//
// A run walks the driving side's dataset. For each driving row it probes the probed side for
// the rows whose pair fields equal the driving row's (compared in the pair's common type, with
// case, a null matching nothing) and for which the match condition holds. Two ways to probe:
//
//   index path  the probed table has an index on a pair column that serves the comparison
//               exactly: the probe condition ("column = constant" per pair, built once per run)
//               is lent to the probed cursor as its probe filter, each probe only sets the
//               constants, and the filtered walk is an index scan in that index's order.
//   hash path   otherwise: once per run the probed rows' record ids are grouped by the hash of
//               their pair values, in the probed dataset's order; a probe positions the probed
//               dataset on each id of its group.
//
// Either way each candidate is confirmed by comparing the pair values, so a hash collision or a
// wider filter never produces a row. A full join remembers the probed ids it matched and, after
// the last driving row, walks the probed dataset once more for the rows it did not.
#include <algorithm>

#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanCursor.h"
#include "schema/TolvanIndexDef.h"
#include "sql/TolvanAOJoin.h"

namespace tolvan {

namespace {

bool IsTrue(const TTolvanVariant& V) { return !V.IsNull() && V.GetAsBoolean(); }

void Resize(std::vector<std::unique_ptr<TTolvanVariant>>& Values, size_t Count) {
  while (Values.size() < Count)
    Values.push_back(std::make_unique<TTolvanVariant>());
  Values.resize(Count);
}

} // namespace

void TTolvanAOJoin::Execute() {
  try {
    TTolvanAO::Execute();
  } catch (...) {
    EndProbe();
    throw;
  }
}

// --- the cross join ----------------------------------------------------------------------------

void TTolvanAOJoin::LiveFirst() {
  EndProbe();
  FLeftNull = false;
  FRightNull = false;
  if (FCross) {
    FLeft->First();
    FRight->First();
    return;
  }
  StartRun();
  if (FInner && FNoCandidates) {
    FAtEnd = true;
    return;
  }
  SeekFromDrivingRow();
}

void TTolvanAOJoin::LiveNext() {
  if (FCross) {
    FRight->Next();
    if (!FRight->Eof())
      return;
    FLeft->Next();
    if (!FLeft->Eof())
      FRight->First();
    return;
  }
  if (FAtEnd)
    return;
  if (FSecondPhase) {
    FProbed.DataSet->Next();
    SkipMatched();
    return;
  }
  if (FProbing && NextCandidate())
    return;
  EndProbe();
  FDriving.DataSet->Next();
  SeekFromDrivingRow();
}

bool TTolvanAOJoin::LiveEof() {
  if (FCross)
    return FLeft->Eof() || FRight->Eof();
  return FAtEnd;
}

void TTolvanAOJoin::ReleaseOwnState() {
  EndProbe();
  FProbeConstants.clear();
  FProbeCondition.reset();
  FDrivingConjuncts.clear();
  FCandidateConjuncts.clear();
  FDriving = TSide();
  FProbed = TSide();
}

// --- the start of a run ------------------------------------------------------------------------

void TTolvanAOJoin::StartRun() {
  FSecondPhase = false;
  FProbing = false;
  FAtEnd = false;
  FEntry = -1;
  for (TSide* Side : {&FDriving, &FProbed})
    *Side = TSide();
  ChooseDrivingSide();
  FProbed.DataSet->Cursor()->SetKeepScanOrder(true);
  const size_t Pairs = FDriving.Fields.size();
  Resize(FDrivingValues, Pairs);
  Resize(FProbedValues, Pairs);
  FCommonTypes.assign(Pairs, tvtNone);
  for (size_t K = 0; K < Pairs; ++K)
    FCommonTypes[K] =
        CommonValueType(ValueTypeOfFieldType(FProbed.Operator->GetFieldType(FProbed.Fields[K])),
                        ValueTypeOfFieldType(FDriving.Operator->GetFieldType(FDriving.Fields[K])));
  SplitMatchCondition();
  ChooseProbePath();
  if (FJoinType == jtFullOuter)
    FMatched.Clear(FDriving.DataSet->Cursor()->GetRecordCount());
  if (!(FInner && FNoCandidates))
    FDriving.DataSet->First();
}

void TTolvanAOJoin::ChooseDrivingSide() {
  TSide Left, Right;
  Left.Operator = FLeft.get();
  Right.Operator = FRight.get();
  Left.Fields = FLeftChildFields;
  Right.Fields = FRightChildFields;
  for (TSide* Side : {&Left, &Right}) {
    Side->DataSet = Side->Operator->ResultDataSet();
    if (!Side->DataSet || !Side->DataSet->Cursor())
      throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
    for (int32_t F : Side->Fields)
      if (F < 0)
        throw ETolvanException::CreateFmt(ErrAOInvalidFieldLink, SInvalidFieldLink, FTableName, F);
  }
  if (FJoinType == jtLeftOuter) {
    FLeftDrives = true;
  } else if (FJoinType == jtRightOuter) {
    FLeftDrives = false;
  } else {
    int32_t Pair = -1;
    const bool LeftIndexed = UsableIndex(Left, Pair) != nullptr;
    const bool RightIndexed = UsableIndex(Right, Pair) != nullptr;
    if (LeftIndexed != RightIndexed)
      FLeftDrives = RightIndexed;
    else
      FLeftDrives = WeightedCount(Left) <= WeightedCount(Right);
  }
  FDriving = std::move(FLeftDrives ? Left : Right);
  FProbed = std::move(FLeftDrives ? Right : Left);
}

int32_t TTolvanAOJoin::PairColumn(const TSide& Side, int32_t Pair) const {
  const TTolvanFieldLink& L = Side.Operator->FieldLink(Side.Fields[size_t(Pair)]);
  if (L.Computed || L.SourceDataSet != Side.DataSet)
    return -1;
  const TTolvanCursor* C = Side.DataSet->Cursor();
  if (!C || L.SourceFieldNo < 0 || L.SourceFieldNo >= C->FieldDefs().Count())
    return -1;
  return L.SourceFieldNo;
}

const TTolvanIndexDef* TTolvanAOJoin::UsableIndex(const TSide& Side, int32_t& Pair) const {
  TTolvanCursor& C = *Side.DataSet->Cursor();
  const TTolvanIndexDefs& Indexes = C.IndexDefs();
  for (int32_t I = 0; I < Indexes.Count(); ++I) {
    const TTolvanIndexDef& Index = Indexes.Items(I);
    if (Index.ColumnCount() == 0)
      continue;
    const TTolvanIndexColumn& First = Index.Columns(0);
    for (int32_t K = 0; K < int32_t(Side.Fields.size()); ++K) {
      const int32_t Column = PairColumn(Side, K);
      if (Column < 0)
        continue;
      const TTolvanFieldDef& Def = C.FieldDefs().Items(Column);
      if (!AnsiSameText(Def.Name(), First.Name()))
        continue;
      if (IsPlainStringValueType(ValueTypeOfFieldType(Def.FieldType())) &&
          First.CaseInsensitive() != 0)
        continue;
      Pair = K;
      return &Index;
    }
  }
  return nullptr;
}

int64_t TTolvanAOJoin::WeightedCount(const TSide& Side) const {
  TTolvanCursor& C = *Side.DataSet->Cursor();
  const int64_t Count = C.GetRecordCount();
  const bool Stored = !C.IsMemoryTable() && !C.IsTemporaryTable();
  return Stored && Side.DataSet->AdvFieldDefs().HasVarcharFields() ? Count * 5 : Count;
}

// --- the probe path ----------------------------------------------------------------------------

void TTolvanAOJoin::ChooseProbePath() {
  FProbeConstants.clear();
  FProbeCondition.reset();
  int32_t Pair = -1;
  const TTolvanIndexDef* Index = UsableIndex(FProbed, Pair);
  if (Index && BuildProbeCondition(*Index, Pair)) {
    FPath = TProbePath::Index;
    FNoCandidates = FProbed.DataSet->Cursor()->GetRecordCount() == 0;
    return;
  }
  FProbeConstants.clear();
  FProbeCondition.reset();
  FPath = TProbePath::Hash;
  BuildHashTable();
}

bool TTolvanAOJoin::BuildProbeCondition(const TTolvanIndexDef& Index, int32_t IndexedPair) {
  TTolvanCursor& C = *FProbed.DataSet->Cursor();
  const size_t Pairs = FProbed.Fields.size();
  std::vector<int32_t> Columns(Pairs);
  for (size_t K = 0; K < Pairs; ++K) {
    Columns[K] = PairColumn(FProbed, int32_t(K));
    if (Columns[K] < 0)
      return false;
  }
  // Each driving value must reach the indexed column unchanged: its type converts to the
  // column's without loss, and a text is not longer than the column.
  const TTolvanFieldDef& Def = C.FieldDefs().Items(Columns[size_t(IndexedPair)]);
  const TTolvanValueType ColumnType = ValueTypeOfFieldType(Def.FieldType());
  const int32_t DrivingField = FDriving.Fields[size_t(IndexedPair)];
  const TTolvanValueType DrivingType =
      ValueTypeOfFieldType(FDriving.Operator->GetFieldType(DrivingField));
  if (CommonValueType(ColumnType, DrivingType) != ColumnType)
    return false;
  if (IsStringValueType(ColumnType) &&
      (DrivingType != ColumnType || FDriving.Operator->GetFieldSize(DrivingField) > Def.Size()))
    return false;

  auto Root = std::make_unique<TTolvanExprNodeBoolean>(eoAnd, false, false);
  TTolvanExprNode* Indexed = nullptr;
  FProbeConstants.assign(Pairs, nullptr);
  for (size_t K = 0; K < Pairs; ++K) {
    auto Field = std::make_unique<TTolvanExprNodeField>(
        nullptr, C.FieldDefs().Items(Columns[K]).Name(), C.TableName());
    auto Constant = std::make_unique<TTolvanExprNodeConst>(false, false);
    FProbeConstants[K] = Constant.get();
    auto Comparison = std::make_unique<TTolvanExprNodeComparison>(
        eoEqual, std::move(Field), std::move(Constant), true, false, false);
    if (K == size_t(IndexedPair))
      Indexed = Comparison.get();
    Root->AddChild(std::move(Comparison));
  }
  FProbeCondition = TTolvanExpression::CreateWithRoot(std::move(Root));
  FProbeCondition->SetKeepNullCodes(true);
  FProbeCondition->SetCaseInsensitive(false);
  FProbeCondition->SetPartialCompare(false);
  FProbeCondition->BindToCursor(&C);
  // Whether the index serves the comparison, asked with a value of the driving type.
  TTolvanVariant& Sample = FProbeConstants[size_t(IndexedPair)]->Value();
  bool Serves = false;
  try {
    Sample.SetAsInteger(0);
    Sample.CastTo(DrivingType);
    Serves = TTolvanExpression::IsIndexableComparison(*Indexed, Index);
  } catch (const Exception&) {
    Serves = false;
  }
  Sample.Clear(DrivingType);
  return Serves;
}

void TTolvanAOJoin::BuildHashTable() {
  TTolvanDataSet& Probed = *FProbed.DataSet;
  FHash.Clear(Probed.Cursor()->GetRecordCount());
  int64_t Rows = 0;
  for (Probed.First(); !Probed.Eof(); Probed.Next()) {
    ++Rows;
    uint64_t Hash;
    if (ReadPairValues(FProbed, FProbedValues) && HashPairValues(FProbedValues, Hash))
      FHash.Add(Hash, Probed.GetCurrentRecordID());
  }
  // No probed row can match: an inner join ends at once.
  FNoCandidates = Rows == 0 || FHash.Count() == 0;
}

void TTolvanAOJoin::SplitMatchCondition() {
  FDrivingConjuncts.clear();
  FCandidateConjuncts.clear();
  if (!FMatchCondition || FMatchCondition->IsEmpty())
    return;
  TTolvanExprNode* Root = FMatchCondition->Root();
  auto Take = [&](TTolvanExprNode* Node) {
    (DrivingOnly(*Node) ? FDrivingConjuncts : FCandidateConjuncts).push_back(Node);
  };
  if (Root->Kind() == enkBoolean && Root->Operator() == eoAnd)
    for (int32_t I = 0; I < Root->ChildCount(); ++I)
      Take(Root->Child(I));
  else
    Take(Root);
}

bool TTolvanAOJoin::DrivingOnly(TTolvanExprNode& Node) const {
  switch (Node.Kind()) {
  case enkField: {
    const auto& Field = static_cast<const TTolvanExprNodeField&>(Node);
    if (Field.AO() != this || Field.FieldNo() < 0 || Field.FieldNo() >= FieldCount())
      return false;
    return FieldLink(Field.FieldNo()).SourceOperator == FDriving.Operator;
  }
  case enkSubQuery:
  case enkSubQueryIN:
  case enkSubQueryExists:
    return false;
  default:
    break;
  }
  for (int32_t I = 0; I < Node.ChildCount(); ++I)
    if (!DrivingOnly(*Node.Child(I)))
      return false;
  return true;
}

// --- values ------------------------------------------------------------------------------------

bool TTolvanAOJoin::ReadPairValues(const TSide& Side,
                                   std::vector<std::unique_ptr<TTolvanVariant>>& Values) {
  for (size_t K = 0; K < Side.Fields.size(); ++K) {
    TTolvanVariant& V = *Values[K];
    Side.Operator->GetFieldValue(V, Side.Fields[K], true, true);
    if (V.IsNull())
      return false;
  }
  return true;
}

bool TTolvanAOJoin::HashPairValues(const std::vector<std::unique_ptr<TTolvanVariant>>& Values,
                                   uint64_t& Hash) {
  Hash = RowHashStart;
  for (size_t K = 0; K < FCommonTypes.size(); ++K) {
    const TTolvanVariant& V = *Values[K];
    const TTolvanValueType Common = FCommonTypes[K];
    uint32_t H = 0;
    // Values that do not mix hash alike: the comparison of a candidate raises as it should.
    if (Common != tvtNone) {
      if (V.DataType() == Common) {
        H = V.Hash();
      } else {
        FScratch.Assign(V, false);
        try {
          FScratch.CastTo(Common);
        } catch (const Exception&) {
          // A value that has no form in the common type equals none of it.
          FScratch.Clear();
          return false;
        }
        H = FScratch.Hash();
        FScratch.Clear();
      }
    }
    Hash = MixRowHash(Hash, H);
  }
  return true;
}

// --- probes ------------------------------------------------------------------------------------

bool TTolvanAOJoin::BeginProbe() {
  FLeftNull = false;
  FRightNull = false;
  if (FNoCandidates)
    return false;
  if (!ReadPairValues(FDriving, FDrivingValues))
    return false;
  for (TTolvanExprNode* Conjunct : FDrivingConjuncts)
    if (!IsTrue(Conjunct->GetValue()))
      return false;
  if (FPath == TProbePath::Index) {
    for (size_t K = 0; K < FProbeConstants.size(); ++K) {
      const TTolvanVariant& V = *FDrivingValues[K];
      // The constant borrows the driving row's bytes, which stay put while the probe runs.
      FProbeConstants[K]->Value().SetBuffer(V.Data(), V.DataSize(), V.DataType(), false, false);
    }
    FProbed.DataSet->SetProbeFilter(FProbeCondition.get());
    FProbeFilterSet = true;
    FProbed.DataSet->First();
  } else {
    uint64_t Hash;
    if (!HashPairValues(FDrivingValues, Hash))
      return false;
    FEntry = FHash.Find(Hash);
    if (FEntry < 0)
      return false;
  }
  FProbing = true;
  FCandidateStarted = false;
  return true;
}

bool TTolvanAOJoin::NextCandidate() {
  TTolvanDataSet& Probed = *FProbed.DataSet;
  for (;;) {
    if (FPath == TProbePath::Index) {
      if (FCandidateStarted)
        Probed.Next();
      FCandidateStarted = true;
      if (Probed.Eof())
        return false;
    } else {
      if (FCandidateStarted)
        FEntry = FHash.Next(FEntry);
      FCandidateStarted = true;
      if (FEntry < 0)
        return false;
      // An id the cursor no longer sees is no candidate.
      if (!Probed.GotoRecordID(FHash.ID(FEntry)))
        continue;
    }
    if (CandidateMatches()) {
      if (FJoinType == jtFullOuter)
        FMatched.Insert(Probed.GetCurrentRecordID());
      return true;
    }
  }
}

bool TTolvanAOJoin::CandidateMatches() {
  if (!ReadPairValues(FProbed, FProbedValues))
    return false;
  for (size_t K = 0; K < FProbedValues.size(); ++K)
    if (FProbedValues[K]->Compare(*FDrivingValues[K], true, false, false) != tcrEqual)
      return false;
  for (TTolvanExprNode* Conjunct : FCandidateConjuncts)
    if (!IsTrue(Conjunct->GetValue()))
      return false;
  return true;
}

void TTolvanAOJoin::EndProbe() noexcept {
  FProbing = false;
  if (!FProbeFilterSet)
    return;
  FProbeFilterSet = false;
  try {
    if (FProbed.DataSet)
      FProbed.DataSet->SetProbeFilter(nullptr);
  } catch (...) {
  }
}

void TTolvanAOJoin::NullExtend() noexcept {
  FLeftNull = !FLeftDrives;
  FRightNull = FLeftDrives;
}

// --- the walk ----------------------------------------------------------------------------------

void TTolvanAOJoin::SeekFromDrivingRow() {
  TTolvanDataSet& Driving = *FDriving.DataSet;
  while (!Driving.Eof()) {
    if (BeginProbe() && NextCandidate())
      return;
    EndProbe();
    if (FOuter) {
      NullExtend();
      return;
    }
    Driving.Next();
  }
  if (FJoinType == jtFullOuter)
    StartSecondPhase();
  else
    FAtEnd = true;
}

void TTolvanAOJoin::StartSecondPhase() {
  EndProbe();
  FSecondPhase = true;
  FLeftNull = FLeftDrives;
  FRightNull = !FLeftDrives;
  FProbed.DataSet->First();
  SkipMatched();
}

void TTolvanAOJoin::SkipMatched() {
  TTolvanDataSet& Probed = *FProbed.DataSet;
  while (!Probed.Eof() && FMatched.Contains(Probed.GetCurrentRecordID()))
    Probed.Next();
  FAtEnd = Probed.Eof();
}

} // namespace tolvan
