#include "classlib/DBDefs.h"

#include "classlib/DBConsts.h"
#include "classlib/DBFields.h"
#include "classlib/DataSet.h"
#include "classlib/Format.h"

namespace tolvan {

namespace {

std::string_view TrimBlanks(std::string_view S) {
  while (!S.empty() && static_cast<unsigned char>(S.front()) <= ' ')
    S.remove_prefix(1);
  while (!S.empty() && static_cast<unsigned char>(S.back()) <= ' ')
    S.remove_suffix(1);
  return S;
}

enum class TFieldsMatch { None, Equal, Prefix };

// How an index's field list stands to the asked one, without making either list.
TFieldsMatch MatchFields(std::string_view Asked, std::string_view IndexFields) {
  size_t PA = 0, PI = 0;
  std::string_view A, I;
  for (;;) {
    const bool HasA = NextFieldName(Asked, PA, A);
    const bool HasI = NextFieldName(IndexFields, PI, I);
    if (!HasA)
      return HasI ? TFieldsMatch::Prefix : TFieldsMatch::Equal;
    if (!HasI || !AnsiSameText(A, I))
      return TFieldsMatch::None;
  }
}

TDataSet* DataSetOf(const TCollectionItem& Item) {
  const auto* Defs = static_cast<const TDefCollection*>(Item.Collection());
  return Defs ? Defs->DataSet() : nullptr;
}

} // namespace

bool NextFieldName(std::string_view Text, size_t& Pos, std::string_view& Name) noexcept {
  while (Pos <= Text.size()) {
    size_t End = Text.find(';', Pos);
    if (End == std::string_view::npos)
      End = Text.size();
    std::string_view Part = TrimBlanks(Text.substr(Pos, End - Pos));
    Pos = End + 1;
    if (!Part.empty()) {
      Name = Part;
      return true;
    }
  }
  return false;
}

void GetFieldNames(std::string_view Text, TStringList& Names) {
  size_t Pos = 0;
  std::string_view Name;
  while (NextFieldName(Text, Pos, Name))
    Names.Add(Name);
}

void TNamedItem::SetName(std::string_view Value) {
  FName = Value;
  Changed();
}

int32_t TDefCollection::IndexOf(std::string_view Name) const {
  for (int32_t I = 0; I < Count(); ++I)
    if (AnsiSameText(static_cast<const TNamedItem&>(TCollection::Items(I)).Name(), Name))
      return I;
  return -1;
}

void TDefCollection::ItemsChanged(TCollectionItem* Item) {
  (void)Item;
  if (FDataSet && FDataSet->FDefinitionsUpdating == 0)
    FDataSet->DefinitionsChanged();
}

void TDefCollection::UpdateFrom(void (TDataSet::*Refresh)()) {
  if (FUpdated || !FDataSet)
    return;
  TDataSet* DataSet = FDataSet;
  struct TRefreshing {
    TDataSet* D;
    ~TRefreshing() { --D->FDefinitionsUpdating; }
  } Refreshing{DataSet};
  ++DataSet->FDefinitionsUpdating;
  BeginUpdate();
  try {
    (DataSet->*Refresh)();
  } catch (...) {
    EndUpdateQuietly();
    throw;
  }
  EndUpdate();
  FUpdated = true;
}

// ---------------------------------------------------------------------------------------------

void TFieldDef::SetDataType(TFieldType Value) {
  FDataType = Value;
  Changed();
}

void TFieldDef::SetSize(int32_t Value) {
  if (Value < 0)
    DatabaseError(DBConsts::SInvalidFieldSize, DataSetOf(*this));
  FSize = Value;
  Changed();
}

void TFieldDef::SetRequired(bool Value) {
  FRequired = Value;
  Changed();
}

TField* TFieldDef::CreateField(TComponent* Owner) const {
  TDataSet* DataSet = DataSetOf(*this);
  TField* Field = NewFieldOfType(FDataType, Owner);
  if (!Field)
    DatabaseError(Format(DBConsts::SUnknownFieldType, Name()), DataSet);
  try {
    Field->SetFieldName(Name());
    Field->SetSize(FSize);
    Field->SetRequired(FRequired);
    Field->SetFieldNo(FieldNo());
    Field->SetDataSet(DataSet);
  } catch (...) {
    TFreeDeleter()(Field);
    throw;
  }
  return Field;
}

void TFieldDef::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TFieldDef*>(&Source);
  if (!From) {
    TNamedItem::Assign(Source);
    return;
  }
  if (From == this)
    return;
  if (TCollection* C = Collection())
    C->BeginUpdate();
  try {
    SetName(From->Name());
    FDataType = From->FDataType;
    FSize = From->FSize;
    FRequired = From->FRequired;
    Changed();
  } catch (...) {
    if (TCollection* C = Collection())
      C->EndUpdate();
    throw;
  }
  if (TCollection* C = Collection())
    C->EndUpdate();
}

TFieldDef& TFieldDefs::Add(std::string_view Name, TFieldType DataType, int32_t Size,
                           bool Required) {
  if (Size < 0)
    DatabaseError(DBConsts::SInvalidFieldSize, DataSet());
  BeginUpdate();
  TFieldDef* Def;
  try {
    Def = &AddFieldDef();
    Def->SetName(Name);
    Def->SetDataType(DataType);
    Def->SetSize(Size);
    Def->SetRequired(Required);
  } catch (...) {
    EndUpdateQuietly();
    throw;
  }
  EndUpdate();
  return *Def;
}

TFieldDef& TFieldDefs::Find(std::string_view Name) const {
  const int32_t I = IndexOf(Name);
  if (I < 0)
    DatabaseError(Format(DBConsts::SFieldNotFound, Name), DataSet());
  return Items(I);
}

void TFieldDefs::Update() { UpdateFrom(&TDataSet::ReadFieldDefs); }

std::unique_ptr<TCollectionItem> TFieldDefs::NewItem() const {
  return std::make_unique<TFieldDef>();
}

// ---------------------------------------------------------------------------------------------

void TIndexDef::SetFields(std::string_view Value) {
  FFields = Value;
  Changed();
}

void TIndexDef::SetOptions(TIndexOptions Value) {
  FOptions = Value;
  Changed();
}

void TIndexDef::SetDescFields(std::string_view Value) {
  FDescFields = Value;
  Changed();
}

void TIndexDef::SetCaseInsFields(std::string_view Value) {
  FCaseInsFields = Value;
  Changed();
}

void TIndexDef::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TIndexDef*>(&Source);
  if (!From) {
    TNamedItem::Assign(Source);
    return;
  }
  if (From == this)
    return;
  if (TCollection* C = Collection())
    C->BeginUpdate();
  try {
    SetName(From->Name());
    FFields = From->FFields;
    FOptions = From->FOptions;
    FDescFields = From->FDescFields;
    FCaseInsFields = From->FCaseInsFields;
    Changed();
  } catch (...) {
    if (TCollection* C = Collection())
      C->EndUpdate();
    throw;
  }
  if (TCollection* C = Collection())
    C->EndUpdate();
}

TIndexDef& TIndexDefs::Add(std::string_view Name, std::string_view Fields, TIndexOptions Options) {
  BeginUpdate();
  TIndexDef* Def;
  try {
    Def = &AddIndexDef();
    Def->SetName(Name);
    Def->SetFields(Fields);
    Def->SetOptions(Options);
  } catch (...) {
    EndUpdateQuietly();
    throw;
  }
  EndUpdate();
  return *Def;
}

TIndexDef& TIndexDefs::Find(std::string_view Name) const {
  const int32_t I = IndexOf(Name);
  if (I < 0)
    DatabaseError(Format(DBConsts::SIndexNotFound, Name), DataSet());
  return Items(I);
}

void TIndexDefs::Update() { UpdateFrom(&TDataSet::RefreshIndexDefs); }

TIndexDef* TIndexDefs::FindIndexForFields(std::string_view Fields, bool CaseInsensitive) const {
  size_t Pos = 0;
  std::string_view First;
  if (!NextFieldName(Fields, Pos, First))
    return nullptr;
  for (TFieldsMatch Wanted : {TFieldsMatch::Equal, TFieldsMatch::Prefix})
    for (int32_t I = 0; I < Count(); ++I) {
      TIndexDef& Def = Items(I);
      if (CaseInsensitive && !(Def.Options() & ixCaseInsensitive))
        continue;
      if (MatchFields(Fields, Def.Fields()) == Wanted)
        return &Def;
    }
  return nullptr;
}

TIndexDef& TIndexDefs::GetIndexForFields(std::string_view Fields, bool CaseInsensitive) const {
  TIndexDef* Def = FindIndexForFields(Fields, CaseInsensitive);
  if (!Def)
    DatabaseError(Format(DBConsts::SNoIndexForFields, Fields), DataSet());
  return *Def;
}

std::unique_ptr<TCollectionItem> TIndexDefs::NewItem() const {
  return std::make_unique<TIndexDef>();
}

} // namespace tolvan
