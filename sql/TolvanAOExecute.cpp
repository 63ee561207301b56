// TTolvanAO's materialisation: the result table's definition, the row pump with the filter,
// DISTINCT and the TOP window, the ORDER BY index, and what an operator lets go of afterwards.
#include <unordered_set>

#include "classlib/DBDefs.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "components/TolvanTable.h"
#include "components/TolvanTargetBinding.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanCursor.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanRowSet.h"

namespace tolvan {

namespace {

void AppendName(AnsiString& Text, std::string_view Name) {
  if (!Text.empty())
    Text += ';';
  Text += Name;
}

// A table whose definitions are empty, ready to be defined as a result.
void ClearDefinitions(TTolvanDataSet& DataSet) {
  DataSet.FieldDefs().Clear();
  DataSet.IndexDefs().Clear();
  DataSet.AdvFieldDefs().Clear();
  DataSet.EngineIndexDefs().Clear();
  DataSet.ForeignKeyDefs().Clear();
}

} // namespace

TTolvanTable* TTolvanAO::ResultTable() const noexcept {
  return dynamic_cast<TTolvanTable*>(FResultDataSet.get());
}

// --- Prepare and Execute -----------------------------------------------------------------------

void TTolvanAO::Prepare(bool IsRoot) {
  FIsRoot = IsRoot;
  try {
    if (Kept() && FLinksSaved)
      ResetForReexecution();
    else if (FFilter)
      FFilter->BindToAO(this);
    CollectOwnParams();
    for (TTolvanAO* Child : {FLeft.get(), FRight.get()}) {
      if (!Child)
        continue;
      Child->Prepare(false);
      if (Child->HasParameters())
        FHasParameters = true;
    }
    if (IsRoot && !FLinksSaved) {
      GatherParams(FLeft.get(), FParamNodes);
      GatherParams(FRight.get(), FParamNodes);
    }
    if (FOrderOnAllColumns)
      OrderOnAllColumns();
    Execute();
  } catch (...) {
    if (!Kept())
      FreeOrderByLists();
    throw;
  }
  if (!Kept())
    FreeOrderByLists();
}

void TTolvanAO::Execute() {
  if (FMaterialised)
    return;
  try {
    PrepareExecution();
    CreateResultTable();
    PumpRows();
    if (Kept() && !FLinksSaved)
      SaveFieldLinks();
    FinishResult();
  } catch (...) {
    FinishExecution();
    throw;
  }
  FinishExecution();
}

void TTolvanAO::PrepareExecution() {
  FDistinct = FDistinctRequested;
  // Without a select list the result shows exactly the fields that are not hidden, so a
  // relinked field's position among them is its result column.
  if (FSelectedCount == 0) {
    FVisibleFields.SetCount(0);
    for (int32_t I = 0; I < FieldCount(); ++I)
      if (!FFieldLinks[size_t(I)].Hidden)
        FVisibleFields.Add(I);
    // An input nobody reads a field of still gives the rows of a cross product their number:
    // its first field carries them, as a table cannot be made without columns.
    if (FVisibleFields.Count() == 0 && FieldCount() > 0) {
      FFieldLinks[0].Hidden = false;
      FVisibleFields.Add(0);
    }
  }
  const int32_t Visible = FVisibleFields.Count();
  FRowValues.clear();
  FRowValuePointers.clear();
  for (int32_t I = 0; I < Visible; ++I) {
    FRowValues.push_back(std::make_unique<TTolvanVariant>());
    FRowValuePointers.push_back(FRowValues.back().get());
  }
  if (FDistinct) {
    std::vector<TTolvanRowColumn> Columns(FFieldLinks.size());
    for (size_t I = 0; I < FFieldLinks.size(); ++I)
      Columns[I] = {FFieldLinks[I].FieldType, FFieldLinks[I].Size};
    FRowSet = std::make_unique<TTolvanRecordComparison>(Columns, RecordCount());
  }
  FHasTopRun = HasTop();
  FTopWhilePumping = FHasTopRun && !FOrderByFields;
  FCopyLater = !FIntoTableName.empty() && FOrderByFields;
}

void TTolvanAO::FinishExecution() noexcept {
  FRowSet.reset();
  FRowValuePointers.clear();
  FRowValues.clear();
}

// --- the result table --------------------------------------------------------------------------

void TTolvanAO::CreateResultTable() {
  TTolvanTable* Table = ResultTable();
  if (!Table)
    throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
  ClearDefinitions(*Table);
  DefineResultFields();
  if (FIntoTableName.empty() || FCopyLater) {
    Table->SetTemporary(true);
  } else {
    Table->SetTemporary(false);
    BindIntoTarget(*Table);
  }
  if (FOrderByFields)
    AddOrderByIndex();
  Table->CreateTable();
  Table->Open();
}

void TTolvanAO::BindIntoTarget(TTolvanTable& Table) const {
  TTolvanTargetNames Names;
  Names.Kind = TTolvanTargetKind::IntoTable;
  Names.DatabaseName = FIntoDatabaseName;
  Names.TableName = FIntoTableName;
  Names.InMemory = FIntoInMemory;
  Names.QuerySessionName = FIntoSessionName;
  BindTarget(Table, Names);
}

void TTolvanAO::DefineResultFields() {
  TTolvanAdvFieldDefs& Defs = FResultDataSet->AdvFieldDefs();
  FResultNames.clear();
  std::unordered_set<AnsiString> Taken;
  for (int32_t I = 0; I < FVisibleFields.Count(); ++I) {
    const TTolvanFieldLink& L = FFieldLinks[size_t(FVisibleFields[I])];
    const AnsiString Base = L.DisplayName.empty() ? L.Name : L.DisplayName;
    AnsiString Name = Base;
    for (int32_t N = 1; Taken.count(AnsiUpperCase(Name)); ++N)
      Name = Base + "_" + IntToStr(N);
    Taken.insert(AnsiUpperCase(Name));
    TTolvanFieldType Type = L.FieldType;
    if (IsAutoIncFieldType(Type))
      Type = FieldTypeOfValueType(ValueTypeOfFieldType(Type));
    TTolvanAdvFieldDef& D = Defs.Add(Name, Type, L.Size, false);
    D.SetBlobCompressionAlgorithm(L.BlobCompressionAlgorithm);
    D.SetBlobCompressionLevel(L.BlobCompressionLevel);
    D.SetBlobBlockSize(L.BlobBlockSize);
    FResultNames.push_back(Name);
  }
}

void TTolvanAO::AddOrderByIndex() {
  // Each sort item names a visible field; the index takes that field's result column, so two
  // columns shown under one name still sort by the one the item meant.
  std::vector<int32_t> Columns;
  const int32_t Items = FOrderByFields->Count();
  if (int32_t(FOrderByOutputFields.size()) == Items) {
    for (int32_t FieldNo : FOrderByOutputFields)
      Columns.push_back(FVisibleFields.IndexOf(FieldNo));
  } else {
    for (int32_t K = 0; K < Items; ++K) {
      const AnsiString& Wanted = FOrderByFields->Strings(K);
      int32_t Found = -1;
      for (int32_t I = 0; I < int32_t(FResultNames.size()) && Found < 0; ++I)
        if (AnsiSameText(FResultNames[size_t(I)], Wanted))
          Found = I;
      for (int32_t I = 0; I < FVisibleFields.Count() && Found < 0; ++I) {
        const TTolvanFieldLink& L = FFieldLinks[size_t(FVisibleFields[I])];
        if (AnsiSameText(L.Name, Wanted) || AnsiSameText(L.DisplayName, Wanted))
          Found = I;
      }
      Columns.push_back(Found);
    }
  }
  AnsiString Fields, Descending, NoCase;
  for (int32_t K = 0; K < Items; ++K) {
    const int32_t C = Columns[size_t(K)];
    if (C < 0)
      throw ETolvanException::CreateFmt(ErrAOOrderByColumnNotFound, SOrderByColumnNotFound,
                                        FOrderByFields->Strings(K));
    const AnsiString& Name = FResultNames[size_t(C)];
    AppendName(Fields, Name);
    const bool Remembered = int32_t(FOrderByItemModes.size()) == Items;
    const bool Desc = Remembered ? FOrderByItemModes[size_t(K)].first
                                 : K < FOrderByDirections->Count() &&
                                       FOrderByDirections->Strings(K) == OrderByDescending;
    const bool Insensitive =
        Remembered ? FOrderByItemModes[size_t(K)].second
                   : K < FOrderByCases->Count() && FOrderByCases->Strings(K) == OrderByNoCase;
    if (Desc)
      AppendName(Descending, Name);
    if (Insensitive)
      AppendName(NoCase, Name);
  }
  TIndexDefs& Indexes = FResultDataSet->IndexDefs();
  auto Exists = [&](const AnsiString& Name) {
    for (int32_t I = 0; I < Indexes.Count(); ++I)
      if (AnsiSameText(Indexes.Items(I).Name(), Name))
        return true;
    return false;
  };
  AnsiString IndexName;
  do
    IndexName = MakeUniqueName("TEMPORARY_TABLE_INDEX_");
  while (Exists(IndexName));
  TIndexDef& Def = Indexes.Add(IndexName, Fields, TIndexOptions());
  Def.SetDescFields(Descending);
  Def.SetCaseInsFields(NoCase);
}

// --- the row pump ------------------------------------------------------------------------------

bool TTolvanAO::PassesFilter() {
  if (!FFilter || FFilter->IsEmpty())
    return true;
  const TTolvanVariant* V = FFilter->Evaluate(false);
  return V && !V->IsNull() && V->GetAsBoolean();
}

void TTolvanAO::PumpRows() {
  FRowCounter = 0;
  int64_t Inserted = 0;
  const bool Stops = FTopWhilePumping && FTopRowCount >= 0;
  for (First(); !Eof(); Next()) {
    if (Stops && Inserted >= FTopRowCount)
      break;
    if (PassesFilter() && InsertResultRow())
      ++Inserted;
  }
}

bool TTolvanAO::InsertResultRow() {
  const int32_t Visible = FVisibleFields.Count();
  for (int32_t I = 0; I < Visible; ++I)
    GetFieldValue(*FRowValues[size_t(I)], FVisibleFields[I], false, true);
  bool Write = true;
  if (FDistinct) {
    // Only the selected columns decide; an operator without a select list compares all.
    const int32_t Hashed = FSelectedCount > 0 ? std::min(FSelectedCount, Visible) : Visible;
    for (int32_t I = 0; I < Hashed; ++I)
      FRowSet->SetColumnHash(*FRowValues[size_t(I)], FVisibleFields[I]);
    Write = FRowSet->IsNewRow();
  }
  // The TOP window counts rows that would be written; a skipped row stays in the DISTINCT set.
  if (Write && FTopWhilePumping && FTopStartRow >= 0 && ++FRowCounter < FTopStartRow)
    Write = false;
  if (Write)
    WriteResultRow(FRowValuePointers);
  for (auto& V : FRowValues)
    V->SetNull();
  return Write;
}

void TTolvanAO::WriteResultRow(std::span<TTolvanVariant* const> Values) {
  TTolvanDataSet& Result = *FResultDataSet;
  Result.Append();
  try {
    for (size_t I = 0; I < Values.size(); ++I)
      if (!Values[I]->IsNull())
        Result.SetFieldValue(*Values[I], int32_t(I), false);
    Result.Post();
  } catch (...) {
    try {
      Result.Cancel();
    } catch (...) {
    }
    throw;
  }
}

// --- after the pump ----------------------------------------------------------------------------

void TTolvanAO::FinishResult() {
  TTolvanTable* Table = ResultTable();
  if (FOrderByFields && FUseOrderIndex && Table) {
    if (Table->IndexDefs().Count() != 1)
      throw ETolvanException::CreateFmt(ErrAOResultIndexCount, SInvalidIndexCount,
                                        Table->IndexDefs().Count());
    Table->SetIndexName(Table->IndexDefs().Items(0).Name());
  }
  if (FSelectedCount > 0 && FSelectedCount < FVisibleFields.Count()) {
    TStringList Names;
    for (int32_t I = 0; I < FSelectedCount; ++I)
      Names.Add(FResultNames[size_t(I)]);
    FResultDataSet->SetProjection(Names, Names);
  }
  if (FCopyLater && !FHasTopRun)
    CopyTopWindow(1, -1);
  else if (FHasTopRun && !FTopWhilePumping)
    CopyTopWindow(FTopStartRow, FTopRowCount);
  FMaterialised = true;
  ReleaseInputs(FSelectedCount <= 0);
}

void TTolvanAO::CopyTopWindow(int64_t Start, int64_t Count) {
  TComponentPtr<TTolvanTable> Copy = MakeComponent<TTolvanTable>();
  if (FCopyLater) {
    BindIntoTarget(*Copy);
  } else {
    Copy->SetTemporary(true);
  }
  TTolvanDataSet& Source = *FResultDataSet;
  TTolvanCursor* Cursor = Source.Cursor();
  if (!Cursor)
    throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
  EngineFieldDefsToAdvFieldDefs(Cursor->VisibleFieldDefs(), Cursor->FieldDefs(),
                                Cursor->ConstraintDefs(), Copy->AdvFieldDefs());
  Copy->CreateTable();
  Copy->Open();
  const int32_t Fields = Cursor->VisibleFieldDefs().Count();
  TTolvanVariant Value;
  int64_t Passed = 0, Copied = 0;
  for (Source.First(); !Source.Eof() && (Count < 0 || Copied < Count); Source.Next()) {
    if (++Passed < Start)
      continue;
    Copy->Append();
    for (int32_t I = 0; I < Fields; ++I) {
      Source.GetFieldValue(Value, I, false, false);
      if (!Value.IsNull())
        Copy->SetFieldValue(Value, I, false);
      Value.Clear();
    }
    Copy->Post();
    ++Copied;
  }
  ForgetSource(FResultDataSet.get());
  FResultDataSet.reset(Copy.release());
}

void TTolvanAO::ReleaseInputs(bool Relink) {
  int32_t Position = 0;
  for (TTolvanFieldLink& L : FFieldLinks) {
    // A kept tree's expressions stay in the store for the next run; the links forget them.
    L.Expression = nullptr;
    if (Relink && !L.Hidden) {
      L.SourceOperator = nullptr;
      L.Computed = false;
      L.SourceDataSet = FResultDataSet.get();
      L.SourceFieldNo = Position++;
    }
  }
  if (Kept())
    return;
  FExpressions.clear();
  FreeChildren();
}

} // namespace tolvan
