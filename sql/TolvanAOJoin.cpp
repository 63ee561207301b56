// TTolvanAOJoin: construction, naming, the cross join and the record-count estimate. The run of
// inner and outer joins (driving side, probes, the full join's second phase) is in
// TolvanAOJoinProbe.cpp.
#include "sql/TolvanAOJoin.h"

#include <unordered_map>

#include "classlib/Strings.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

TTolvanAOJoin::TTolvanAOJoin(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                             TTolvanJoinType JoinType, bool Natural,
                             const TTolvanFields* LeftFields, const TTolvanFields* RightFields)
    : TTolvanAO(std::move(Left), std::move(Right), "", "", ""), FLeftJoinFields(0, 4, 64),
      FRightJoinFields(0, 4, 64) {
  if (!FLeft || !FRight)
    throw ETolvanException::Create(ErrAOInvalidFieldLink, SPointerIsNil);
  FJoinType = JoinType;
  FCross = JoinType == jtCross;
  FInner = JoinType == jtInner;
  FOuter = JoinType == jtLeftOuter || JoinType == jtRightOuter || JoinType == jtFullOuter;
  FNatural = Natural;
  const int32_t LeftCount = LeftFields ? LeftFields->Count() : 0;
  const int32_t RightCount = RightFields ? RightFields->Count() : 0;
  if (!FCross && !Natural && LeftCount != RightCount)
    throw ETolvanException::CreateFmt(ErrAOJoinListsLength, SDifferentListsLength, LeftCount,
                                      RightCount);
  AddChildLinks(*FLeft);
  AddChildLinks(*FRight);
  if (Natural)
    PairCommonNames();
  if (FInner || FOuter) {
    if (!Natural) {
      ResolveFieldList(LeftFields, ErrAOJoinLeftField, FLeftJoinFields);
      ResolveFieldList(RightFields, ErrAOJoinRightField, FRightJoinFields);
    }
    if (FLeftJoinFields.Count() != FRightJoinFields.Count())
      throw ETolvanException::CreateFmt(ErrAOJoinRightField, SDifferentListsLength,
                                        FLeftJoinFields.Count(), FRightJoinFields.Count());
    if (FLeftJoinFields.Count() == 0)
      throw ETolvanException::CreateFmt(ErrAOJoinNoPair, SEmptyFieldList, FLeftJoinFields.Count());
    OrientPairs();
  }
  MakeFieldNamesUnique();
}

TTolvanAOJoin::~TTolvanAOJoin() {
  // The probed cursor borrows the probe condition, which goes with this object, before the
  // base frees the children.
  EndProbe();
}

// --- construction ------------------------------------------------------------------------------

void TTolvanAOJoin::AddChildLinks(TTolvanAO& Child) {
  for (int32_t I = 0; I < Child.FieldCount(); ++I)
    AddFieldLink(LinkToChildField(Child, I));
}

void TTolvanAOJoin::PairCommonNames() {
  // The left links by upper-cased name, so that pairing is one pass over the right links.
  std::unordered_map<AnsiString, std::vector<int32_t>> LeftByName;
  const int32_t LeftCount = FLeft->FieldCount();
  for (int32_t I = 0; I < LeftCount; ++I)
    LeftByName[AnsiUpperCase(FieldLink(I).Name)].push_back(I);
  TTolvanIntegerArray Found(0, 4, 64);
  for (int32_t R = LeftCount; R < FieldCount(); ++R) {
    auto It = LeftByName.find(AnsiUpperCase(FieldLink(R).Name));
    if (It == LeftByName.end())
      continue;
    for (int32_t L : It->second) {
      FLeftJoinFields.Add(L);
      FRightJoinFields.Add(R);
      MutableFieldLink(L).Hidden = false;
      MutableFieldLink(R).Hidden = false;
      const AnsiString Name = FieldLink(L).Name;
      Found.SetCount(0);
      FLeft->FindFields(Name, "", true, &Found, false);
      Found.SetCount(0);
      FRight->FindFields(Name, "", true, &Found, false);
    }
  }
}

void TTolvanAOJoin::ResolveFieldList(const TTolvanFields* Fields, int32_t Code,
                                     TTolvanIntegerArray& Numbers) {
  if (!Fields)
    return;
  TTolvanIntegerArray Found(0, 4, 64);
  for (int32_t I = 0; I < Fields->Count(); ++I) {
    const TTolvanSelectListItem& Item = Fields->Items(I);
    Found.SetCount(0);
    const int32_t Count = FindFields(Item.FieldName, Item.TableName, true, &Found, false);
    if (Count != 1 || Found.Count() != 1)
      throw ETolvanException::CreateFmt(Code, SInvalidJoinField, Item.TableName, Item.FieldName, I,
                                        Count);
    Numbers.Add(Found[0]);
  }
}

void TTolvanAOJoin::OrientPairs() {
  for (int32_t I = 0; I < FLeftJoinFields.Count(); ++I) {
    int32_t A = FLeftJoinFields[I], B = FRightJoinFields[I];
    const TTolvanAO* SideA = FieldLink(A).SourceOperator;
    const TTolvanAO* SideB = FieldLink(B).SourceOperator;
    if (SideA == SideB)
      throw ETolvanException::CreateFmt(ErrAOJoinSameTable, SJoinFieldsFromSameTable,
                                        FieldLink(A).Name, FieldLink(B).Name, A, B);
    if (SideA == FRight.get()) {
      std::swap(A, B);
      FLeftJoinFields[I] = A;
      FRightJoinFields[I] = B;
    }
    FLeftChildFields.push_back(FieldLink(A).SourceFieldNo);
    FRightChildFields.push_back(FieldLink(B).SourceFieldNo);
    FLeftJoinNames.Add(FieldLink(A).SourceFieldName);
    FRightJoinNames.Add(FieldLink(B).SourceFieldName);
  }
}

// --- naming ------------------------------------------------------------------------------------

void TTolvanAOJoin::AfterSelectList() {
  auto Shown = [](const TTolvanFieldLink& L) { return !L.Hidden && !L.DisplayName.empty(); };
  // How many shown fields come from a column of each (upper-cased) name.
  std::unordered_map<AnsiString, int32_t> Sources;
  for (int32_t I = 0; I < FieldCount(); ++I)
    if (Shown(FieldLink(I)))
      ++Sources[AnsiUpperCase(FieldLink(I).SourceFieldName)];
  for (int32_t I = 0; I < FieldCount(); ++I) {
    TTolvanFieldLink& L = MutableFieldLink(I);
    if (!Shown(L) || L.Name == L.SourceFieldName || L.DisplayName != L.Name)
      continue;
    if (Sources[AnsiUpperCase(L.SourceFieldName)] == 1)
      L.DisplayName = L.SourceFieldName;
  }
}

// --- accessors ---------------------------------------------------------------------------------

TTolvanJoinType TTolvanAOJoin::JoinType() const { return FJoinType; }
const TTolvanIntegerArray& TTolvanAOJoin::LeftJoinFields() const noexcept {
  return FLeftJoinFields;
}
const TTolvanIntegerArray& TTolvanAOJoin::RightJoinFields() const noexcept {
  return FRightJoinFields;
}
const TStringList& TTolvanAOJoin::LeftJoinNames() const noexcept { return FLeftJoinNames; }
const TStringList& TTolvanAOJoin::RightJoinNames() const noexcept { return FRightJoinNames; }
TTolvanAOJoin::TProbePath TTolvanAOJoin::LastProbePath() const noexcept { return FPath; }
bool TTolvanAOJoin::LeftDrives() const noexcept { return FLeftDrives; }

// --- match condition and parameters ------------------------------------------------------------

void TTolvanAOJoin::SetMatchCondition(std::unique_ptr<TTolvanExpression> Condition) {
  FDrivingConjuncts.clear();
  FCandidateConjuncts.clear();
  if (Condition && Condition->IsEmpty())
    Condition.reset();
  if (Condition) {
    Condition->FlattenAnd();
    Condition->BindToAO(this);
  }
  FMatchCondition = std::move(Condition);
}

void TTolvanAOJoin::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  TTolvanAO::CollectParams(List);
  if (FMatchCondition)
    FMatchCondition->CollectParams(List);
}

void TTolvanAOJoin::ResetOwnSubQueries(const TParams* Params) {
  if (FMatchCondition)
    FMatchCondition->ResetSubQueries(Params);
}

void TTolvanAOJoin::RunOwnSubQueries() {
  if (FMatchCondition)
    FMatchCondition->RunSubQueries();
}

// --- cross join and estimate -------------------------------------------------------------------

int64_t TTolvanAOJoin::LiveRecordCount() {
  if (FMaterialised)
    return TTolvanAO::LiveRecordCount();
  if (!FLeft || !FRight)
    return 0;
  const int64_t L = FLeft->RecordCount();
  const int64_t R = FRight->RecordCount();
  if (FCross)
    return L * R;
  if (FOuter)
    return L < 1 ? R : (R < 1 ? L : 0);
  return L > 0 && R > 0 ? std::max(L, R) : 0;
}

} // namespace tolvan
