#include "sql/TolvanAOGroupBy.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"

namespace tolvan {

namespace {

// Dest := a copy of Source in Buffer, which keeps its capacity from one group to the next.
void CopyKey(TTolvanVariant& Dest, std::vector<uint8_t>& Buffer, const TTolvanVariant& Source) {
  if (Source.IsNull() || !Source.Data() || Source.DataSize() <= 0) {
    Dest.Clear(Source.DataType());
    return;
  }
  const size_t Size = size_t(Source.DataSize());
  // Text read from a record may be terminated just past its size; the copy keeps a terminator.
  if (Buffer.size() < Size + 2)
    Buffer.resize(Size + 2);
  std::memcpy(Buffer.data(), Source.Data(), Size);
  Buffer[Size] = 0;
  Buffer[Size + 1] = 0;
  Dest.SetBuffer(Buffer.data(), Source.DataSize(), Source.DataType(), false, false);
}

} // namespace

// --- construction ------------------------------------------------------------------------------

TTolvanAOGroupBy::TTolvanAOGroupBy(std::unique_ptr<TTolvanAO> Child,
                                   const TTolvanFields* GroupFields)
    : TTolvanAO(std::move(Child), nullptr, "", "", ""), FGroupFields(0, 4, 64) {
  if (!FLeft)
    throw ETolvanException::CreateFmt(ErrAOInvalidFieldLink, SInvalidFieldLink, FTableName, -1);
  FWholeInput = !GroupFields || GroupFields->Count() == 0;
  FKeepHidden = true;
  for (int32_t I = 0; I < FLeft->FieldCount(); ++I) {
    TTolvanFieldLink L = LinkToChildField(*FLeft, I);
    L.Hidden = true;
    AddFieldLink(L);
  }
  if (FWholeInput)
    return;
  TTolvanIntegerArray Found(0, 4, 64);
  AnsiString OrderFields;
  for (int32_t I = 0; I < GroupFields->Count(); ++I) {
    const TTolvanSelectListItem& Item = GroupFields->Items(I);
    Found.SetCount(0);
    const int32_t Matches = FindFields(Item.FieldName, Item.TableName, true, &Found, false);
    if (Matches != 1 || Found.Count() != 1)
      throw ETolvanException::CreateFmt(ErrAOInvalidGroupField, SInvalidJoinField, Item.TableName,
                                        Item.FieldName, I, Matches);
    // A field named twice is one key column.
    if (FGroupFields.Contains(Found[0]))
      continue;
    FGroupFields.Add(Found[0]);
    const TTolvanFieldLink& L = FieldLink(Found[0]);
    FChildKeyFields.push_back(L.SourceFieldNo);
    if (!OrderFields.empty())
      OrderFields += ';';
    OrderFields += L.Name;
  }
  const size_t Keys = FChildKeyFields.size();
  FPreviousKeys = std::make_unique<TTolvanVariant[]>(Keys);
  FReadKeys = std::make_unique<TTolvanVariant[]>(Keys);
  FKeyBuffers.resize(Keys);
  FLeft->SetOrderByStrings(OrderFields, "", "", "", true);
}

TTolvanAOGroupBy::~TTolvanAOGroupBy() = default;

// --- select list -------------------------------------------------------------------------------

void TTolvanAOGroupBy::SetSelectList(std::span<TTolvanSelectListItem> Items, int32_t Highest,
                                     bool Distinct) {
  const int64_t Last = std::min<int64_t>(Highest, int64_t(Items.size()) - 1);
  // The expression of the one item moves into the store below; look at it first.
  bool OnlyCountStar = false, IsCountStar = Last == 0;
  if (Last == 0 && Items[0].IsExpression && Items[0].Expression) {
    TTolvanExpression& E = *Items[0].Expression;
    OnlyCountStar = E.HasCountStar() && E.OnlyCountStarAggregates();
    IsCountStar = E.IsCountStar();
  }
  // DISTINCT applies to the grouped rows, as to any operator's.
  TTolvanAO::SetSelectList(Items, Highest, Distinct);
  FSingleCountItem = false;
  FCountStar = false;
  if (Last < 0)
    return;
  FSingleCountItem = FWholeInput && OnlyCountStar;
  FCountStar = IsCountStar;
  TTolvanIntegerArray Found(0, 16, 1024);
  for (int64_t I = 0; I <= Last; ++I)
    if (!Items[size_t(I)].IsExpression)
      CheckPlainItem(Items[size_t(I)], Found);
  if (FSingleCountItem)
    FindFields("*", "", true, nullptr, false);
}

void TTolvanAOGroupBy::CheckPlainItem(const TTolvanSelectListItem& Item,
                                      TTolvanIntegerArray& Found) {
  const std::string_view Name =
      Item.AllFields ? std::string_view("*") : std::string_view(Item.FieldName);
  Found.SetCount(0);
  FindFields(Name, Item.TableName, false, &Found, false);
  if (Found.Count() == 0)
    throw ETolvanException::CreateFmt(ErrAOGroupFieldNotFound, SCannotFindFieldInTable, Name,
                                      Item.TableName);
  // A named column is its first match, "*" every column it finds. An item computed here (a name
  // that is an alias) is no column of the input.
  const int32_t Checked = Item.AllFields ? Found.Count() : 1;
  for (int32_t K = 0; K < Checked; ++K)
    if (FieldLink(Found[K]).SourceOperator != this && !FGroupFields.Contains(Found[K]))
      throw ETolvanException::CreateFmt(ErrAOFieldNotInGroupBy, SFieldNotInGroupBy, Item.TableName,
                                        Name, Found[K], FieldLink(Found[K]).Name);
}

// --- aggregates --------------------------------------------------------------------------------

void TTolvanAOGroupBy::CollectAggregates() {
  // The store, not the links: a computed column shown twice still has one expression.
  FAggregates.clear();
  for (auto& E : FExpressions)
    if (E->HasAggregate())
      FAggregates.push_back(E.get());
  if (FFilter && FFilter->HasAggregate())
    FAggregates.push_back(FFilter.get());
}

void TTolvanAOGroupBy::ResetAggregates() {
  for (TTolvanExpression* E : FAggregates)
    E->ResetAggregates();
}

void TTolvanAOGroupBy::Feed(int64_t Weight) {
  while (Weight > 0) {
    const int32_t Part = int32_t(std::min<int64_t>(Weight, INT32_MAX));
    for (TTolvanExpression* E : FAggregates)
      E->Accumulate(Part);
    Weight -= Part;
  }
}

// --- groups ------------------------------------------------------------------------------------

bool TTolvanAOGroupBy::ReadKey() {
  bool Differs = false;
  for (size_t K = 0; K < FChildKeyFields.size(); ++K) {
    TTolvanVariant& Read = FReadKeys[K];
    FLeft->GetFieldValue(Read, FChildKeyFields[K], false, true);
    TTolvanVariant& Previous = FPreviousKeys[K];
    if (!FHasPreviousKey || Read.Compare(Previous, false, false, false) != tcrEqual) {
      Differs = true;
      CopyKey(Previous, FKeyBuffers[K], Read);
    }
  }
  FHasPreviousKey = true;
  return Differs;
}

void TTolvanAOGroupBy::NextGroup() {
  ResetAggregates();
  ReadKey();
  Feed(1);
  FLeft->Next();
  while (!FLeft->Eof()) {
    if (ReadKey()) {
      // The first row of the next group: step back so that this group's last row is current.
      FLeft->ResultDataSet()->Prior();
      return;
    }
    Feed(1);
    FLeft->Next();
  }
}

// --- iteration ---------------------------------------------------------------------------------

void TTolvanAOGroupBy::LiveFirst() {
  CollectAggregates();
  FEndReached = false;
  FAggregateOnly = false;
  if (SingleCount()) {
    // The one feed the whole input needs, without reading a row where the child knows its
    // count: a materialised result or a table.
    int64_t Rows = 0;
    if (FLeft->Materialised() || FLeft->IsTableLeaf())
      Rows = FLeft->RecordCount();
    else
      for (FLeft->First(); !FLeft->Eof(); FLeft->Next())
        ++Rows;
    ResetAggregates();
    FAggregateOnly = Rows == 0;
    Feed(Rows);
    return;
  }
  FLeft->First();
  if (FLeft->Eof()) {
    if (FAggregates.empty()) {
      FEndReached = true;
    } else {
      FAggregateOnly = true;
      ResetAggregates();
    }
    return;
  }
  if (!FWholeInput) {
    // A previous run's key must not join the first group.
    FHasPreviousKey = false;
    NextGroup();
    return;
  }
  ResetAggregates();
  for (; !FLeft->Eof(); FLeft->Next())
    Feed(1);
}

void TTolvanAOGroupBy::LiveNext() {
  if (FWholeInput || FAggregateOnly) {
    FEndReached = true;
    return;
  }
  FLeft->Next();
  FEndReached = FLeft->Eof();
  if (!FEndReached)
    NextGroup();
}

bool TTolvanAOGroupBy::LiveEof() { return FEndReached; }

int64_t TTolvanAOGroupBy::LiveRecordCount() {
  if (FMaterialised || !FLeft)
    return TTolvanAO::LiveRecordCount();
  return FLeft->RecordCount();
}

// --- state -------------------------------------------------------------------------------------

bool TTolvanAOGroupBy::WholeInput() const noexcept { return FWholeInput; }

bool TTolvanAOGroupBy::SingleCount() const noexcept {
  return FSingleCountItem && (!FFilter || FFilter->OnlyCountStarAggregates());
}

bool TTolvanAOGroupBy::CountStar() const noexcept { return FCountStar; }

const TTolvanIntegerArray& TTolvanAOGroupBy::GroupFields() const noexcept { return FGroupFields; }

} // namespace tolvan
