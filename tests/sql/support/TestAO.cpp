#include "tests/sql/support/TestAO.h"

#include "classlib/Strings.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanDefs.h"
#include "schema/TolvanCursor.h"

namespace tolvan::test {

// --- leaf ----------------------------------------------------------------------------------------

TTestAOLeaf::TTestAOLeaf(std::string_view TableName, std::string_view Alias)
    : TTolvanAO(nullptr, nullptr, "", Alias, TableName), FSource(MakeComponent<TTolvanTable>()) {
  FIsTableLeaf = true;
  FSource->SetInMemory(true);
  FSource->SetTableName(TableName);
  FSource->Open();
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
    L.SourceDataSet = FSource.get();
    L.SourceFieldNo = I;
    L.Hidden = true;
    AddFieldLink(L);
  }
}

TTestAOLeaf::~TTestAOLeaf() { ForgetSource(FSource.get()); }

void TTestAOLeaf::LiveFirst() {
  FSource->First();
  if (!FSource->Eof())
    ++FRowsRead;
}

void TTestAOLeaf::LiveNext() {
  FSource->Next();
  if (!FSource->Eof())
    ++FRowsRead;
}

bool TTestAOLeaf::LiveEof() { return FSource->Eof(); }

int64_t TTestAOLeaf::LiveRecordCount() {
  return Materialised() ? TTolvanAO::LiveRecordCount() : FSource->RecordCount();
}

const TTolvanFieldDefs* TTestAOLeaf::TableFieldDefs() {
  return FSource->Cursor() ? &FSource->Cursor()->FieldDefs() : nullptr;
}

TTolvanCursor* TTestAOLeaf::TableCursor() { return FSource->Cursor(); }

void TTestAOLeaf::ResetForReexecution() {
  TTolvanAO::ResetForReexecution();
  ForgetSource(FResultDataSet.get());
  FResultDataSet.reset(MakeComponent<TTolvanTable>().release());
}

// --- pair ----------------------------------------------------------------------------------------

TTestAOPair::TTestAOPair(std::unique_ptr<TTolvanAO> Left, std::unique_ptr<TTolvanAO> Right,
                         TTolvanJoinType Type)
    : TTolvanAO(std::move(Left), std::move(Right), "", "", ""), FJoinType(Type) {
  for (TTolvanAO* Child : {FLeft.get(), FRight.get()}) {
    for (int32_t I = 0; I < Child->FieldCount(); ++I) {
      const TTolvanFieldLink& C = Child->FieldLink(I);
      TTolvanFieldLink L;
      L.Name = C.Name;
      L.SourceFieldName = C.Name;
      L.TableName = C.TableName;
      L.TableAlias = C.TableAlias;
      L.FieldType = C.FieldType;
      L.Size = C.Size;
      L.Precision = C.Precision;
      L.BlobCompressionAlgorithm = C.BlobCompressionAlgorithm;
      L.BlobCompressionLevel = C.BlobCompressionLevel;
      L.BlobBlockSize = C.BlobBlockSize;
      L.Hidden = C.Hidden;
      L.Computed = C.Computed;
      L.HasAggregate = C.HasAggregate;
      L.SourceOperator = Child;
      L.SourceFieldNo = I;
      AddFieldLink(L);
    }
  }
  MakeFieldNamesUnique();
}

void TTestAOPair::LiveFirst() {
  FLeft->First();
  FRight->First();
}

void TTestAOPair::LiveNext() {
  FRight->Next();
  if (!FRight->Eof())
    return;
  FLeft->Next();
  if (!FLeft->Eof())
    FRight->First();
}

bool TTestAOPair::LiveEof() { return FLeft->Eof() || FRight->Eof(); }

int64_t TTestAOPair::LiveRecordCount() {
  return Materialised() ? TTolvanAO::LiveRecordCount()
                        : FLeft->RecordCount() * FRight->RecordCount();
}

void TTestAOPair::AfterSelectList() {
  auto Shown = [](const TTolvanFieldLink& L) { return !L.Hidden && !L.DisplayName.empty(); };
  for (int32_t I = 0; I < FieldCount(); ++I) {
    TTolvanFieldLink& L = MutableFieldLink(I);
    if (!Shown(L) || L.Name == L.SourceFieldName || L.DisplayName != L.Name)
      continue;
    bool Shared = false;
    for (int32_t J = 0; J < FieldCount() && !Shared; ++J)
      Shared = J != I && Shown(FieldLink(J)) &&
               AnsiSameText(FieldLink(J).SourceFieldName, L.SourceFieldName);
    if (!Shared)
      L.DisplayName = L.SourceFieldName;
  }
}

std::string ResultText(TTolvanAO& Op) {
  TTolvanDataSet& D = *Op.ResultDataSet();
  const TTolvanFieldDefs& Defs = D.Cursor()->VisibleFieldDefs();
  std::string S;
  for (int32_t I = 0; I < Defs.Count(); ++I)
    S += (I ? "," : "") + Defs.Items(I).Name();
  S += ":";
  TTolvanVariant V;
  for (Op.First(); !Op.Eof(); Op.Next()) {
    S += " ";
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      D.GetFieldValue(V, I, false, false);
      S += (I ? "," : "") + (V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
    }
  }
  return S;
}

} // namespace tolvan::test
