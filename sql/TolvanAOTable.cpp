// TTolvanAOTable: opening the source, the hand-over of table conditions to the storage engine,
// and the choice between handing the source on and copying its rows.
#include "sql/TolvanAOTable.h"

#include "components/TolvanQuery.h"

#include <algorithm>

#include "classlib/Strings.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "components/TolvanTargetBinding.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanCursor.h"

namespace tolvan {

// --- construction ------------------------------------------------------------------------------

TTolvanAOTable::TTolvanAOTable(std::string_view DatabaseName, std::string_view SessionName,
                               std::string_view TableName, std::string_view Alias,
                               std::string_view SubQuery, const TParams* Params, bool InMemory,
                               bool RequestLive, std::string_view)
    : TTolvanAO(nullptr, nullptr, SubQuery, Alias, TableName) {
  FIsTableLeaf = true;
  FRequestLive = RequestLive;
  FSource = FResultDataSet.get();
  // Nothing is begun on the source yet: a failure below leaves the base to free it.
  BindSource(DatabaseName, SessionName, TableName, InMemory, RequestLive, Params);
  OpenSource(DatabaseName, SessionName, SubQuery, InMemory);
  AddSourceLinks();
}

void TTolvanAOTable::BindSource(std::string_view DatabaseName, std::string_view SessionName,
                                std::string_view TableName, bool InMemory, bool RequestLive,
                                const TParams* Params) {
  // A derived table's dataset comes from the factory, which set its query text.
  TTolvanDataSet& S = *FSource;
  TTolvanTargetNames Names;
  const bool Derived = dynamic_cast<TTolvanQuery*>(&S) != nullptr;
  Names.Kind = Derived ? TTolvanTargetKind::DerivedTable : TTolvanTargetKind::FromTable;
  Names.DatabaseName = DatabaseName;
  Names.SessionName = SessionName;
  Names.TableName = TableName;
  Names.InMemory = InMemory;
  BindTarget(S, Names);
  if (auto* Query = dynamic_cast<TTolvanQuery*>(&S)) {
    Query->SetRequestLive(RequestLive);
    if (Params)
      Query->Params().AssignValues(*Params);
    return;
  }
  auto* Table = dynamic_cast<TTolvanTable*>(&S);
  if (!Table)
    return;
  if (S.InMemory() && !Table->Exists())
    throw ETolvanException::CreateFmt(ErrAOTableDoesNotExist, STableDoesNotExist, TableName);
}

void TTolvanAOTable::OpenSource(std::string_view DatabaseName, std::string_view SessionName,
                                std::string_view SubQuery, bool InMemory) {
  try {
    FSource->Open();
  } catch (const Exception& E) {
    throw ETolvanException::CreateFmt(ErrAOTableOpen, SCannotOpenTableOrSubquery, FTableName,
                                      DatabaseName, SessionName, int32_t(InMemory), SubQuery,
                                      E.Message());
  }
}

void TTolvanAOTable::AddSourceLinks() {
  const TTolvanAdvFieldDefs& Defs = FSource->AdvFieldDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    const TTolvanAdvFieldDef& D = Defs.Items(I);
    TTolvanFieldLink L;
    L.Name = D.Name();
    L.TableName = FTableName;
    L.TableAlias = FAlias;
    L.FieldType = D.FieldType();
    L.Size = D.Size();
    L.BlobCompressionAlgorithm = D.BlobCompressionAlgorithm();
    L.BlobCompressionLevel = D.BlobCompressionLevel();
    L.BlobBlockSize = D.BlobBlockSize();
    L.SourceDataSet = FSource;
    L.SourceFieldNo = I;
    L.Hidden = true;
    AddFieldLink(L);
  }
  FSourceFieldCount = Defs.Count();
}

TTolvanAOTable::~TTolvanAOTable() {
  EndNotedTableUse();
  TakeBackFilter();
  if (FSource)
    ForgetSource(FSource);
  if (FOwnedSource) {
    FOwnedSource.reset();
  } else if (FSource) {
    // The base frees the result; closing here lets the cursor go while the leaf still stands.
    try {
      FSource->Close();
    } catch (...) {
    }
  }
  FSource = nullptr;
  FLentFilterStore.reset();
}

// --- iteration ---------------------------------------------------------------------------------

TTolvanDataSet& TTolvanAOTable::ReadDataSet() const {
  if (FSource)
    return *FSource;
  return *FResultDataSet;
}

void TTolvanAOTable::LiveFirst() { ReadDataSet().First(); }
void TTolvanAOTable::LiveNext() { ReadDataSet().Next(); }
bool TTolvanAOTable::LiveEof() { return ReadDataSet().Eof(); }

int64_t TTolvanAOTable::LiveRecordCount() {
  if (FMaterialised || !FSource)
    return FResultDataSet ? FResultDataSet->RecordCount() : 0;
  return FSource->RecordCount();
}

const TTolvanFieldDefs* TTolvanAOTable::TableFieldDefs() {
  TTolvanCursor* C = TableCursor();
  return C ? &C->FieldDefs() : nullptr;
}

TTolvanCursor* TTolvanAOTable::TableCursor() { return FSource ? FSource->Cursor() : nullptr; }
TTolvanDataSet* TTolvanAOTable::SourceDataSet() const noexcept { return FSource; }
bool TTolvanAOTable::ResultIsSource() const noexcept { return FResultIsSource; }
bool TTolvanAOTable::TableUseStarted() const noexcept { return FTableUseDataSet != nullptr; }

// --- conditions --------------------------------------------------------------------------------

void TTolvanAOTable::PushTableConditions() {
  if (FConditionsPushed || !FFilter || !FSource || !FSource->Cursor())
    return;
  std::unique_ptr<TTolvanExpression> Own =
      TTolvanExpression::ExtractTableConditions(*FFilter, this, FSubQueryConditionsToSource);
  FConditionsPushed = true;
  if (FFilter->IsEmpty())
    FFilter.reset();
  if (!Own)
    return;
  TTolvanExpression* Raw = Own.get();
  FSource->SetExternalFilter(std::move(Own));
  if (Kept())
    FLentFilter = Raw;
}

void TTolvanAOTable::TakeBackFilter() noexcept {
  if (!FLentFilter)
    return;
  TTolvanCursor* C = FSource ? FSource->Cursor() : nullptr;
  if (C && C->ExternalFilter() == FLentFilter) {
    try {
      FLentFilterStore = C->ReleaseExternalFilter();
    } catch (...) {
    }
  }
  FLentFilter = nullptr;
}

void TTolvanAOTable::CreateResultTable() {
  TTolvanAO::CreateResultTable();
  // A kept leaf running again finds its conditions still with the source.
  PushTableConditions();
}

// --- Execute -----------------------------------------------------------------------------------

void TTolvanAOTable::Execute() {
  if (FMaterialised)
    return;
  SelectOrderIndex();
  // Conditions go to the cursor before the choice: one the cursor cannot answer needs the copy,
  // whose pump tests what stays with the operator.
  PushTableConditions();
  if (MustCopy())
    CopyRows();
  else
    HandOnSource();
}

void TTolvanAOTable::SelectOrderIndex() {
  if (FOrderByIndexName.empty() || !FSource)
    return;
  const TIndexDefs& Indexes = FSource->IndexDefs();
  bool Found = false;
  for (int32_t I = 0; I < Indexes.Count() && !Found; ++I)
    Found = AnsiSameText(Indexes.Items(I).Name(), FOrderByIndexName);
  if (!Found) {
    TTolvanCursor* C = FSource->Cursor();
    throw ETolvanException::CreateFmt(ErrAOOrderIndexMissing, SIndexDoesNotExistInTable,
                                      FOrderByIndexName, C ? C->TableName() : FTableName);
  }
  if (auto* Table = dynamic_cast<TTolvanTable*>(FSource))
    Table->SetIndexName(FOrderByIndexName);
}

bool TTolvanAOTable::MustCopy() {
  if (!FSource)
    return true;
  if ((FIsRoot && !FRequestLive) || FTopRowCount >= 0 || FTopStartRow > 1 ||
      FieldCount() > FSourceFieldCount || FHasComputedFields || FDistinctRequested ||
      !FIntoTableName.empty() || (FFilter && !FFilter->IsEmpty()))
    return true;
  if (!FOrderByFields || FOrderByFields->Count() == 0)
    return false;
  auto* Table = dynamic_cast<TTolvanTable*>(FSource);
  if (!Table)
    return true;
  const AnsiString Index = FSource->FindIndexForFields(
      FOrderByFields.get(), FOrderByDirections.get(), FOrderByCases.get());
  if (Index.empty())
    return true;
  Table->SetIndexName(Index);
  if (!Kept())
    FreeOrderByLists();
  return false;
}

void TTolvanAOTable::CopyRows() {
  // The source leaves the result's place; the base fills a new table from it.
  if (FSource && FSource == FResultDataSet.get()) {
    FOwnedSource = std::move(FResultDataSet);
    FResultDataSet = TComponentPtr<TTolvanDataSet>(MakeComponent<TTolvanTable>().release());
  }
  FResultIsSource = false;
  try {
    TTolvanAO::Execute();
  } catch (...) {
    RestoreSourceAsResult();
    throw;
  }
  if (FTableUseDataSet == FSource)
    EndNotedTableUse();
  if (Kept())
    return;
  // Nothing reads the source again: it goes with the filter the cursor holds.
  ForgetSource(FSource);
  FSource = nullptr;
  FOwnedSource.reset();
  FFilter.reset();
}

void TTolvanAOTable::HandOnSource() {
  // A leaf under another operator shows no fields of its own: it stays unprojected, so its
  // links keep the table's numbering.
  const int32_t Shown = FSelectedCount > 0 ? std::min(FSelectedCount, FVisibleFields.Count())
                                           : FVisibleFields.Count();
  if (Shown > 0) {
    TStringList Names, Aliases;
    for (int32_t I = 0; I < Shown; ++I) {
      const int32_t FieldNo = FVisibleFields[I];
      const TTolvanFieldLink& L = FieldLink(FieldNo);
      if (L.Hidden)
        throw ETolvanException::CreateFmt(ErrAOHiddenVisibleField, SCannotAccessHiddenField,
                                          FTableName, L.Name, L.DisplayName, FieldNo);
      if (L.DisplayName.empty())
        throw ETolvanException::CreateFmt(ErrAOEmptyDisplayName, SEmptyFieldDisplayName, FTableName,
                                          L.Name, FieldNo);
      Names.Add(L.Name);
      Aliases.Add(L.DisplayName);
    }
    FSource->First();
    FSource->SetProjection(Names, Aliases);
  }
  if (Kept() && !FLinksSaved)
    SaveFieldLinks();
  if (Shown > 0) {
    std::vector<int32_t> Position(FFieldLinks.size(), -1);
    for (int32_t I = 0; I < Shown; ++I)
      Position[size_t(FVisibleFields[I])] = I;
    for (size_t I = 0; I < FFieldLinks.size(); ++I) {
      TTolvanFieldLink& L = FFieldLinks[I];
      // A column the projection left out cannot be read through the result.
      L.SourceDataSet = Position[I] >= 0 ? FSource : nullptr;
      L.SourceFieldNo = Position[I];
    }
  }
  for (TTolvanFieldLink& L : FFieldLinks) {
    L.SourceOperator = nullptr;
    L.Computed = false;
  }
  FResultIsSource = true;
  FMaterialised = true;
}

void TTolvanAOTable::RestoreSourceAsResult() noexcept {
  if (!FOwnedSource)
    return;
  ForgetSource(FResultDataSet.get());
  FResultDataSet = std::move(FOwnedSource);
}

// --- table use ---------------------------------------------------------------------------------

void TTolvanAOTable::LockSources() {
  if (FTableUseDataSet)
    return;
  // The source while it lives: a kept leaf that copied still reads it on its next run, though
  // its result is a temporary copy by then.
  TTolvanDataSet* R = FSource ? FSource : FResultDataSet.get();
  if (!R || !R->Cursor() || R->Cursor()->IsTemporaryTable())
    return;
  R->BeginTableUse();
  FTableUseDataSet = R;
}

void TTolvanAOTable::UnlockSources() {
  TTolvanDataSet* D = FTableUseDataSet;
  FTableUseDataSet = nullptr;
  if (D && D->Cursor())
    D->EndTableUse();
}

void TTolvanAOTable::EndNotedTableUse() noexcept {
  try {
    UnlockSources();
  } catch (...) {
  }
}

// --- parameters and re-runs --------------------------------------------------------------------

void TTolvanAOTable::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  TTolvanAO::CollectParams(List);
  if (TTolvanCursor* C = TableCursor())
    if (TTolvanExpression* E = C->ExternalFilter())
      E->CollectParams(List);
}

void TTolvanAOTable::SaveFieldLinks() {
  TTolvanAO::SaveFieldLinks();
  TTolvanCursor* C = TableCursor();
  FSavedExternalFilter = C ? C->ExternalFilter() : nullptr;
}

void TTolvanAOTable::ResetForReexecution() {
  TTolvanAO::ResetForReexecution();
  RestoreSourceAsResult();
  FResultIsSource = false;
  TTolvanCursor* C = TableCursor();
  if (!C)
    return;
  if (FSavedExternalFilter && C->ExternalFilter() != FSavedExternalFilter &&
      FLentFilterStore.get() == FSavedExternalFilter) {
    C->SetExternalFilter(std::move(FLentFilterStore));
    FLentFilter = FSavedExternalFilter;
  }
  C->ResetResultBitmap();
}

void TTolvanAOTable::ResetOwnSubQueries(const TParams* Params) {
  if (TTolvanCursor* C = TableCursor())
    if (TTolvanExpression* E = C->ExternalFilter())
      E->ResetSubQueries(Params);
}

void TTolvanAOTable::RunOwnSubQueries() {
  if (TTolvanCursor* C = TableCursor())
    if (TTolvanExpression* E = C->ExternalFilter())
      E->RunSubQueries();
}

} // namespace tolvan
