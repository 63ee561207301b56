#include "sql/TolvanAO.h"

#include <mutex>
#include <unordered_set>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanCursor.h"
#include "sql/TolvanRowSet.h"

namespace tolvan {

namespace {

std::mutex& FactoryLock() {
  static std::mutex Lock;
  return Lock;
}

TTolvanDerivedTableFactory& Factory() {
  static TTolvanDerivedTableFactory Value;
  return Value;
}

TComponentPtr<TTolvanDataSet> NewResultTable() {
  return TComponentPtr<TTolvanDataSet>(MakeComponent<TTolvanTable>().release());
}

void AppendName(AnsiString& Text, std::string_view Name) {
  if (!Text.empty())
    Text += ';';
  Text += Name;
}

} // namespace

TTolvanDerivedTableFactory RegisterDerivedTableFactory(TTolvanDerivedTableFactory Value) {
  std::lock_guard<std::mutex> Guard(FactoryLock());
  TTolvanDerivedTableFactory Old = std::move(Factory());
  Factory() = std::move(Value);
  return Old;
}

// --- life cycle -------------------------------------------------------------------------------

TTolvanAO::TTolvanAO(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                     std::string_view SubQuery, std::string_view Alias, std::string_view TableName)
    : FVisibleFields(0, 16, 1024), FChildFound(0, 16, 1024) {
  if (!SubQuery.empty()) {
    if (Alias.empty())
      throw ETolvanException::Create(ErrAOSubQueryAlias,
                                     AnsiString(SSubqueryAliasRequired) + AnsiString(SubQuery));
    TTolvanDerivedTableFactory Make;
    {
      std::lock_guard<std::mutex> Guard(FactoryLock());
      Make = Factory();
    }
    if (!Make)
      throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
    FResultDataSet = Make(SubQuery);
  } else {
    FResultDataSet = NewResultTable();
  }
  FTableName = TableName;
  FAlias = Alias;
  FLeft = std::move(Left);
  FRight = std::move(Right);
}

TTolvanAO::~TTolvanAO() {
  // Links go before what they name; the children go before the datasets their links may read.
  FFieldLinks.clear();
  FSavedFieldLinks.clear();
  FreeChildren();
  FParamNodes.clear();
  FFilter.reset();
  FExpressions.clear();
  FResultDataSet.reset();
}

void TTolvanAO::FreeChildren() noexcept {
  if (!FLeft && !FRight)
    return;
  try {
    ReleaseOwnState();
  } catch (...) {
  }
  for (std::unique_ptr<TTolvanAO>* Child : {&FLeft, &FRight}) {
    if (!*Child)
      continue;
    ForgetSource(Child->get());
    Child->reset();
  }
}

void TTolvanAO::ForgetSource(const TTolvanAO* Source) noexcept {
  for (std::vector<TTolvanFieldLink>* Links : {&FFieldLinks, &FSavedFieldLinks})
    for (TTolvanFieldLink& L : *Links)
      if (L.SourceOperator == Source) {
        L.SourceOperator = nullptr;
        L.SourceFieldNo = -1;
      }
}

void TTolvanAO::ForgetSource(const TTolvanDataSet* Source) noexcept {
  for (std::vector<TTolvanFieldLink>* Links : {&FFieldLinks, &FSavedFieldLinks})
    for (TTolvanFieldLink& L : *Links)
      if (L.SourceDataSet == Source) {
        L.SourceDataSet = nullptr;
        L.SourceFieldNo = -1;
      }
}

int32_t TTolvanAO::AddFieldLink(const TTolvanFieldLink& Link) {
  FFieldLinks.push_back(Link);
  return int32_t(FFieldLinks.size()) - 1;
}

TTolvanFieldLink TTolvanAO::LinkToChildField(TTolvanAO& Child, int32_t FieldNo) {
  const TTolvanFieldLink& C = Child.FieldLink(FieldNo);
  TTolvanFieldLink L;
  L.Name = C.Name;
  L.SourceFieldName = C.Name;
  L.TableName = C.TableName;
  L.TableAlias = C.TableAlias;
  L.FieldType = C.FieldType;
  L.Precision = C.Precision;
  L.Size = C.Size;
  L.BlobCompressionAlgorithm = C.BlobCompressionAlgorithm;
  L.BlobCompressionLevel = C.BlobCompressionLevel;
  L.BlobBlockSize = C.BlobBlockSize;
  L.SourceOperator = &Child;
  L.SourceFieldNo = FieldNo;
  L.Hidden = C.Hidden;
  L.Computed = C.Computed;
  L.HasAggregate = C.HasAggregate;
  return L;
}

// --- iteration ---------------------------------------------------------------------------------

int64_t TTolvanAO::LiveRecordCount() {
  return FMaterialised && FResultDataSet ? FResultDataSet->RecordCount() : 0;
}

void TTolvanAO::First() {
  if (FMaterialised)
    FResultDataSet->First();
  else
    LiveFirst();
}

void TTolvanAO::Next() {
  if (FMaterialised)
    FResultDataSet->Next();
  else
    LiveNext();
}

bool TTolvanAO::Eof() { return FMaterialised ? FResultDataSet->Eof() : LiveEof(); }

int64_t TTolvanAO::RecordCount() {
  return FMaterialised ? FResultDataSet->RecordCount() : LiveRecordCount();
}

// --- configuration -----------------------------------------------------------------------------

void TTolvanAO::SetFilter(std::unique_ptr<TTolvanExpression> Expression) {
  FFilter = std::move(Expression);
}

void TTolvanAO::SetResultTarget(bool InMemory, std::string_view TableName,
                                std::string_view DatabaseName) {
  FIntoInMemory = InMemory;
  FIntoTableName = TableName;
  FIntoDatabaseName = DatabaseName;
}

void TTolvanAO::SetTop(int64_t Start, int64_t Count) {
  FTopRowCount = Count;
  FTopStartRow = Start < 0 ? 1 : Start;
}

void TTolvanAO::SetKeepForRerun() noexcept {
  FKeepForRerun = true;
  if (FLeft)
    FLeft->SetKeepForRerun();
  if (FRight)
    FRight->SetKeepForRerun();
}

void TTolvanAO::RunSubQueries() {
  if (FFilter)
    FFilter->RunSubQueries();
  for (const std::unique_ptr<TTolvanExpression>& E : FExpressions)
    E->RunSubQueries();
  RunOwnSubQueries();
  if (FLeft)
    FLeft->RunSubQueries();
  if (FRight)
    FRight->RunSubQueries();
}

void TTolvanAO::ResetSubQueries(const TParams* Params) {
  if (FFilter)
    FFilter->ResetSubQueries(Params);
  for (auto& E : FExpressions)
    E->ResetSubQueries(Params);
  ResetOwnSubQueries(Params);
  if (FLeft)
    FLeft->ResetSubQueries(Params);
  if (FRight)
    FRight->ResetSubQueries(Params);
}

int32_t TTolvanAO::InputCount() const { return (FLeft ? 1 : 0) + (FRight ? 1 : 0); }

IExprRowSource* TTolvanAO::Input(int32_t Index) {
  if (Index == 0 && FLeft)
    return FLeft.get();
  if ((Index == 1 && FLeft) || (Index == 0 && !FLeft))
    if (FRight)
      return FRight.get();
  throw ETolvanException::CreateFmt(ErrAOGetFieldNameFieldNo, SInvalidItemNumber, Index,
                                    InputCount());
}

// --- select list -------------------------------------------------------------------------------

void TTolvanAO::SetSelectList(std::span<TTolvanSelectListItem> Items, int32_t Highest,
                              bool Distinct) {
  const int64_t Last = std::min<int64_t>(Highest, int64_t(Items.size()) - 1);
  if (Last >= 0) {
    TTolvanIntegerArray Found(0, 16, 1024);
    for (int64_t I = 0; I <= Last; ++I) {
      TTolvanSelectListItem& Item = Items[size_t(I)];
      if (Item.IsExpression) {
        AddComputedField(Item);
        continue;
      }
      const std::string_view Wanted =
          Item.AllFields ? std::string_view("*") : std::string_view(Item.FieldName);
      Found.SetCount(0);
      FindFields(Wanted, Item.TableName, true, &Found, false);
      if (Found.Count() == 0)
        throw ETolvanException::CreateFmt(ErrAOSelectFieldNotFound, SCannotFindField, Wanted);
      const int32_t Used = Item.AllFields ? Found.Count() : 1;
      for (int32_t K = 0; K < Used; ++K)
        AddVisible(Found[K], Item);
    }
  } else {
    FindFields("*", "", true, &FVisibleFields, false);
  }
  for (int32_t I = 0; I < FVisibleFields.Count(); ++I) {
    TTolvanFieldLink& L = FFieldLinks[size_t(FVisibleFields[I])];
    if (L.DisplayName.empty())
      L.DisplayName = L.Name;
  }
  if (Distinct)
    RequestDistinct();
  AfterSelectList();
  FSelectedCount = FVisibleFields.Count();
}

void TTolvanAO::AddComputedField(TTolvanSelectListItem& Item) {
  if (!Item.Expression)
    throw ETolvanException::CreateFmt(ErrAOSelectFieldNotFound, SCannotFindField, Item.Alias);
  TTolvanExpression& E = *Item.Expression;
  E.BindToAO(this);
  TTolvanFieldLink L;
  L.Name = Item.Alias.empty() ? MakeUniqueName("Expr") : Item.Alias;
  L.DisplayName = L.Name;
  L.SourceFieldName = L.Name;
  L.FieldType = E.GetDataType();
  L.Size = E.GetDataSize();
  L.Precision = E.GetPrecision();
  if (IsBlobFieldType(L.FieldType))
    L.BlobBlockSize = DefaultComputedBlobBlockSize;
  L.SourceOperator = this;
  L.Computed = true;
  L.HasAggregate = E.HasAggregate();
  L.Expression = &E;
  FExpressions.reserve(FExpressions.size() + 1);
  FFieldLinks.reserve(FFieldLinks.size() + 1);
  FExpressions.push_back(std::move(Item.Expression));
  if (!FHasComputedFields)
    FHasAggregate = L.HasAggregate;
  FHasComputedFields = true;
  FVisibleFields.Add(AddFieldLink(L));
}

void TTolvanAO::AddVisible(int32_t FieldNo, const TTolvanSelectListItem& Item) {
  if (FVisibleFields.Contains(FieldNo))
    FieldNo = AddFieldLink(TTolvanFieldLink(FFieldLinks[size_t(FieldNo)]));
  FVisibleFields.Add(FieldNo);
  TTolvanFieldLink& L = FFieldLinks[size_t(FieldNo)];
  if (!Item.Alias.empty())
    L.DisplayName = Item.Alias;
  else if (!Item.AllFields)
    L.DisplayName = AnsiSameText(Item.FieldName, L.Name) ? Item.FieldName : L.Name;
}

void TTolvanAO::MakeVisible(int32_t FieldNo) {
  if (FVisibleFields.Contains(FieldNo))
    return;
  FFieldLinks[size_t(FieldNo)].Hidden = false;
  FVisibleFields.Add(FieldNo);
}

// --- lookup ------------------------------------------------------------------------------------

int32_t TTolvanAO::FindFields(std::string_view Name, std::string_view Table, bool Unhide,
                              TTolvanIntegerArray* Result, bool KeepHidden) {
  if (FIsTableLeaf && !Table.empty() && !AnsiSameText(Table, FTableName) &&
      !AnsiSameText(Table, FAlias))
    return 0;
  // A caller without an array gets the count a fresh array would give: an own match already
  // found through a child is not counted twice.
  TTolvanIntegerArray Own(0, 16, 1024);
  TTolvanIntegerArray& Out = Result ? *Result : Own;
  if (Name == "*")
    return FindAll(Table, Unhide, Out, KeepHidden);
  return FindNamed(Name, Table, Unhide, Out, KeepHidden);
}

template <class F>
void TTolvanAO::ForEachLinkFrom(const TTolvanAO* Child, const TTolvanIntegerArray& Found, F&& Fn) {
  if (Found.Count() == 0)
    return;
  std::vector<bool> Marked(size_t(Child->FieldCount()), false);
  for (int32_t K = 0; K < Found.Count(); ++K)
    if (Found[K] >= 0 && Found[K] < Child->FieldCount())
      Marked[size_t(Found[K])] = true;
  for (int32_t I = 0; I < FieldCount(); ++I) {
    const TTolvanFieldLink& L = FFieldLinks[size_t(I)];
    if (L.SourceOperator == Child && L.SourceFieldNo >= 0 &&
        L.SourceFieldNo < int32_t(Marked.size()) && Marked[size_t(L.SourceFieldNo)]) {
      // The first link of a child field is the field; later ones are copies made for a column
      // selected twice, and finding them too would make every reference to it ambiguous.
      Marked[size_t(L.SourceFieldNo)] = false;
      Fn(I);
    }
  }
}

int32_t TTolvanAO::FindNamed(std::string_view Name, std::string_view Table, bool Unhide,
                             TTolvanIntegerArray& Result, bool KeepHidden) {
  const AnsiString Upper = AnsiUpperCase(Name);
  const bool DoUnhide = Unhide && !KeepHidden;
  int32_t Count = 0;
  for (TTolvanAO* Child : {FLeft.get(), FRight.get()}) {
    if (!Child)
      continue;
    FChildFound.SetCount(0);
    Count += Child->FindFields(Upper, Table, Unhide, &FChildFound, false);
    ForEachLinkFrom(Child, FChildFound, [&](int32_t I) {
      if (!Result.Contains(I))
        Result.Add(I);
      if (DoUnhide)
        FFieldLinks[size_t(I)].Hidden = false;
    });
  }
  FChildFound.SetCount(0);
  for (int32_t I = 0; I < FieldCount(); ++I) {
    TTolvanFieldLink& L = FFieldLinks[size_t(I)];
    if (!AnsiSameText(L.Name, Upper) && !AnsiSameText(L.DisplayName, Upper))
      continue;
    if (!Table.empty() && !AnsiSameText(L.TableName, Table) && !AnsiSameText(L.TableAlias, Table))
      continue;
    if (!Result.Contains(I)) {
      Result.Add(I);
      ++Count;
    }
    if (DoUnhide)
      L.Hidden = false;
    break;
  }
  return Count;
}

int32_t TTolvanAO::FindAll(std::string_view Table, bool Unhide, TTolvanIntegerArray& Result,
                           bool KeepHidden) {
  const bool DoUnhide = Unhide && !KeepHidden && !FKeepHidden;
  int32_t Count = 0;
  auto Take = [&](int32_t I) {
    ++Count;
    Result.Add(I);
    if (DoUnhide)
      FFieldLinks[size_t(I)].Hidden = false;
  };
  // The left child's matches, as marks by its field number.
  std::vector<bool> LeftMarks;
  if (FLeft) {
    FChildFound.SetCount(0);
    FLeft->FindFields("*", Table, Unhide, &FChildFound, false);
    LeftMarks.assign(size_t(FLeft->FieldCount()), false);
    for (int32_t K = 0; K < FChildFound.Count(); ++K)
      if (FChildFound[K] >= 0 && FChildFound[K] < FLeft->FieldCount())
        LeftMarks[size_t(FChildFound[K])] = true;
  }
  const bool TableIsOwn = AnsiSameText(Table, FTableName);
  for (int32_t I = 0; I < FieldCount(); ++I) {
    const TTolvanFieldLink& L = FFieldLinks[size_t(I)];
    const bool FromLeft = FLeft && L.SourceOperator == FLeft.get() && L.SourceFieldNo >= 0 &&
                          L.SourceFieldNo < int32_t(LeftMarks.size()) &&
                          LeftMarks[size_t(L.SourceFieldNo)];
    if (FromLeft)
      LeftMarks[size_t(L.SourceFieldNo)] = false;
    if (FIsTableLeaf || (TableIsOwn && L.Computed) || FromLeft)
      Take(I);
  }
  if (FRight) {
    FChildFound.SetCount(0);
    FRight->FindFields("*", Table, Unhide, &FChildFound, false);
    ForEachLinkFrom(FRight.get(), FChildFound, Take);
  }
  FChildFound.SetCount(0);
  return Count;
}

void TTolvanAO::CheckFieldNo(int32_t FieldNo, int32_t Code) const {
  if (FieldNo < 0 || FieldNo >= FieldCount())
    throw ETolvanException::CreateFmt(Code, SInvalidFieldNumber, FieldNo, FieldCount());
}

AnsiString TTolvanAO::DataSetFieldName(TTolvanDataSet& DataSet, int32_t FieldNo) {
  if (TTolvanCursor* C = DataSet.Cursor()) {
    const TTolvanFieldDefs& Defs = C->VisibleFieldDefs();
    if (FieldNo >= 0 && FieldNo < Defs.Count())
      return Defs.Items(FieldNo).Name();
    throw ETolvanException::CreateFmt(ErrAOGetFieldNameFieldNo, SInvalidFieldNumber, FieldNo,
                                      Defs.Count());
  }
  const TTolvanAdvFieldDefs& Defs = DataSet.AdvFieldDefs();
  if (FieldNo >= 0 && FieldNo < Defs.Count())
    return Defs.Items(FieldNo).Name();
  throw ETolvanException::CreateFmt(ErrAOGetFieldNameFieldNo, SInvalidFieldNumber, FieldNo,
                                    Defs.Count());
}

void TTolvanAO::GetFieldName(int32_t FieldNo, bool OwnName, AnsiString& Name) {
  CheckFieldNo(FieldNo, ErrAOGetFieldNameFieldNo);
  const TTolvanFieldLink& L = FFieldLinks[size_t(FieldNo)];
  if (L.SourceDataSet) {
    Name = L.SourceDataSet == FResultDataSet.get()
               ? L.Name
               : DataSetFieldName(*L.SourceDataSet, L.SourceFieldNo);
  } else if (OwnName || !L.SourceOperator || L.SourceOperator == this) {
    Name = L.Name;
  } else {
    L.SourceOperator->GetFieldName(L.SourceFieldNo, false, Name);
  }
}

// --- values ------------------------------------------------------------------------------------

void TTolvanAO::GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                              bool AllowHidden) {
  CheckFieldNo(FieldNo, ErrAOGetFieldValueFieldNo);
  const TTolvanFieldLink& L = FFieldLinks[size_t(FieldNo)];
  Value.Clear(ValueTypeOfFieldType(L.FieldType));
  if (FAggregateOnly && !L.HasAggregate)
    return;
  if (!L.SourceDataSet && !L.SourceOperator)
    throw ETolvanException::CreateFmt(ErrAOInvalidFieldLink, SInvalidFieldLink, FTableName,
                                      FieldNo);
  if (!AllowHidden && L.Hidden)
    throw ETolvanException::CreateFmt(ErrAOHiddenFieldAccess, SCannotAccessHiddenField, FTableName,
                                      L.Name, L.DisplayName, FieldNo);
  if (L.Computed) {
    // A computed link whose expression went with the children (not kept for re-runs) has
    // nothing left to read.
    if (!L.Expression)
      throw ETolvanException::CreateFmt(ErrAOInvalidFieldLink, SInvalidFieldLink, FTableName,
                                        FieldNo);
    if (const TTolvanVariant* R = L.Expression->Evaluate(true))
      Value.Assign(*R, true);
    return;
  }
  if (L.SourceDataSet) {
    L.SourceDataSet->GetFieldValue(Value, L.SourceFieldNo, ReadOption, false);
    return;
  }
  if ((FLeftNull && L.SourceOperator == FLeft.get()) ||
      (FRightNull && L.SourceOperator == FRight.get()))
    return;
  L.SourceOperator->GetFieldValue(Value, L.SourceFieldNo, ReadOption, AllowHidden);
}

TTolvanFieldType TTolvanAO::GetFieldType(int32_t FieldNo) {
  CheckFieldNo(FieldNo, ErrAOGetFieldTypeFieldNo);
  return FFieldLinks[size_t(FieldNo)].FieldType;
}

int32_t TTolvanAO::GetFieldSize(int32_t FieldNo) {
  CheckFieldNo(FieldNo, ErrAOGetFieldSizeFieldNo);
  return FFieldLinks[size_t(FieldNo)].Size;
}

int32_t TTolvanAO::GetFieldPrecision(int32_t FieldNo) {
  CheckFieldNo(FieldNo, ErrAOGetFieldPrecisionFieldNo);
  return FFieldLinks[size_t(FieldNo)].Precision;
}

void TTolvanAO::LockSources() {
  if (FLeft)
    FLeft->LockSources();
  if (FRight)
    FRight->LockSources();
}

void TTolvanAO::UnlockSources() {
  if (FLeft)
    FLeft->UnlockSources();
  if (FRight)
    FRight->UnlockSources();
}

// --- ORDER BY ----------------------------------------------------------------------------------

AnsiString TTolvanAO::SortName(int32_t FieldNo) const {
  const TTolvanFieldLink& L = FFieldLinks[size_t(FieldNo)];
  if (L.SourceDataSet && L.SourceDataSet != FResultDataSet.get())
    return DataSetFieldName(*L.SourceDataSet, L.SourceFieldNo);
  return L.DisplayName.empty() ? L.Name : L.DisplayName;
}

void TTolvanAO::SetOrderBy(std::span<const TTolvanSortSpecification> Items,
                           std::string_view IndexName) {
  if (!IndexName.empty()) {
    SetOrderByStrings("", "", "", IndexName, true);
    return;
  }
  AnsiString Fields, Descending, NoCase;
  std::vector<int32_t> Chosen;
  std::vector<std::pair<bool, bool>> Modes;
  Chosen.reserve(Items.size());
  Modes.reserve(Items.size());
  TTolvanIntegerArray Found(0, 4, 64);
  for (const TTolvanSortSpecification& S : Items) {
    int32_t FieldNo;
    if (S.ColumnNumber > 0) {
      const int32_t N = S.ColumnNumber - 1;
      if (N >= FVisibleFields.Count())
        throw ETolvanException::CreateFmt(ErrAOOrderByFieldNo, SInvalidOrderByFieldNumber, N,
                                          FVisibleFields.Count());
      FieldNo = FVisibleFields[N];
    } else {
      Found.SetCount(0);
      FindFields(S.FieldName, S.TableName, !IsGroupBy(), &Found, false);
      if (Found.Count() == 0)
        throw ETolvanException::CreateFmt(ErrAOOrderByColumnNotFound, SOrderByColumnNotFound,
                                          S.FieldName);
      FieldNo = Found[0];
    }
    const AnsiString Name = SortName(FieldNo);
    MakeVisible(FieldNo);
    AppendName(Fields, Name);
    if (S.Descending)
      AppendName(Descending, Name);
    if (S.CaseInsensitive)
      AppendName(NoCase, Name);
    Chosen.push_back(FieldNo);
    Modes.emplace_back(S.Descending, S.CaseInsensitive);
  }
  SetOrderByTexts(Fields, Descending, NoCase, "", true);
  FOrderByOutputFields = std::move(Chosen);
  FOrderByItemModes = std::move(Modes);
}

void TTolvanAO::SetOrderByStrings(std::string_view Fields, std::string_view DescendingFields,
                                  std::string_view CaseInsensitiveFields,
                                  std::string_view IndexName, bool UseOrderIndex) {
  SetOrderByTexts(Fields, DescendingFields, CaseInsensitiveFields, IndexName, UseOrderIndex);
  FOrderByOutputFields.clear();
  FOrderByItemModes.clear();
}

void TTolvanAO::SetOrderByTexts(std::string_view Fields, std::string_view DescendingFields,
                                std::string_view CaseInsensitiveFields, std::string_view IndexName,
                                bool UseOrderIndex) {
  FOrderByFieldsText = Fields;
  FOrderByDescendingText = DescendingFields;
  FOrderByNoCaseText = CaseInsensitiveFields;
  FreeOrderByLists();
  FOrderByIndexName = IndexName;
  FUseOrderIndex = UseOrderIndex;
  if (IndexName.empty()) {
    FOrderByFields = std::make_unique<TStringList>();
    FOrderByDirections = std::make_unique<TStringList>();
    FOrderByCases = std::make_unique<TStringList>();
    OrderByStringsToLists(Fields, DescendingFields, CaseInsensitiveFields, *FOrderByFields,
                          *FOrderByDirections, *FOrderByCases);
  }
  if (FDistinctRequested)
    RequestDistinct();
}

void TTolvanAO::FreeOrderByLists() noexcept {
  FOrderByFields.reset();
  FOrderByDirections.reset();
  FOrderByCases.reset();
}

void TTolvanAO::OrderOnAllColumns() {
  AnsiString Fields;
  for (const TTolvanFieldLink& L : FFieldLinks)
    if (!L.Hidden)
      AppendName(Fields, L.Name);
  SetOrderByStrings(Fields, "", "", "", true);
}

// --- parameters and re-runs --------------------------------------------------------------------

void TTolvanAO::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  // The store, not the links: a column selected twice shares one expression.
  for (auto& E : FExpressions)
    E->CollectParams(List);
  if (FFilter)
    FFilter->CollectParams(List);
}

void TTolvanAO::CollectOwnParams() {
  if (FHasParameters || FParamsGathered || !FParamNodes.empty())
    return;
  CollectParams(FParamNodes);
  FHasParameters = !FParamNodes.empty();
}

void GatherParams(TTolvanAO* Operator, std::vector<TTolvanExprNodeConst*>& List) {
  if (!Operator)
    return;
  List.insert(List.end(), Operator->FParamNodes.begin(), Operator->FParamNodes.end());
  Operator->FParamNodes.clear();
  Operator->FParamsGathered = true;
  GatherParams(Operator->FLeft.get(), List);
  GatherParams(Operator->FRight.get(), List);
}

void TTolvanAO::SaveFieldLinks() {
  FSavedFieldLinks = FFieldLinks;
  FLinksSaved = true;
}

void TTolvanAO::ResetForReexecution() {
  FMaterialised = false;
  if (!FIsTableLeaf) {
    if (FResultDataSet)
      ForgetSource(FResultDataSet.get());
    FResultDataSet.reset();
    FResultDataSet = NewResultTable();
  }
  FFieldLinks = FSavedFieldLinks;
}

// --- naming ------------------------------------------------------------------------------------

void TTolvanAO::MakeFieldNamesUnique() {
  for (int32_t I = 0; I < FieldCount(); ++I) {
    AnsiString Name;
    GetFieldName(I, false, Name);
    FFieldLinks[size_t(I)].Name = Name.empty() ? MakeUniqueName("Expr") : Name;
  }
  // The upper-cased names kept so far: a clash is a set lookup, not a scan of earlier fields.
  std::unordered_set<AnsiString> Taken;
  Taken.reserve(FFieldLinks.size());
  for (TTolvanFieldLink& L : FFieldLinks) {
    AnsiString Upper = AnsiUpperCase(L.Name);
    for (int32_t Suffix = 1; Taken.count(Upper); ++Suffix) {
      L.Name += Suffix == 1 ? AnsiString("_1") : AnsiString(IntToStr(Suffix));
      Upper = AnsiUpperCase(L.Name);
    }
    Taken.insert(std::move(Upper));
  }
}

} // namespace tolvan
