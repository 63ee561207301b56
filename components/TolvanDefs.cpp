// TolvanDefs.cpp: the component layer's definitions and the conversions between the framework's,
// the components' and the engine's descriptions of a table.
#include "components/TolvanDefs.h"

#include <algorithm>

#include "classlib/DBDefs.h"
#include "classlib/Format.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

// Runs Body inside an update block of a framework collection, so its dataset hears of the
// change once. On a failure the block still ends, but the first failure is the one raised.
template <class F> void InUpdateBlock(TCollection& Collection, F&& Body) {
  Collection.BeginUpdate();
  try {
    Body();
  } catch (...) {
    try {
      Collection.EndUpdate();
    } catch (...) {
    }
    throw;
  }
  Collection.EndUpdate();
}

bool ListHasName(const TStringList& Names, std::string_view Name) {
  for (int32_t I = 0; I < Names.Count(); ++I)
    if (AnsiSameText(Names.Strings(I), Name))
      return true;
  return false;
}

} // namespace

// --- extended field definitions ------------------------------------------------------------------

void TTolvanAdvFieldDef::Assign(const TTolvanAdvFieldDef& Source) {
  if (&Source == this)
    return;
  FName = Source.FName;
  FFieldType = Source.FFieldType;
  FRequired = Source.FRequired;
  FSize = Source.FSize;
  FDefaultValue.Assign(Source.FDefaultValue, true);
  FMinValue.Assign(Source.FMinValue, true);
  FMaxValue.Assign(Source.FMaxValue, true);
  FAutoincIncrement = Source.FAutoincIncrement;
  FAutoincInitialValue = Source.FAutoincInitialValue;
  FAutoincMinValue = Source.FAutoincMinValue;
  FAutoincMaxValue = Source.FAutoincMaxValue;
  FAutoincCycled = Source.FAutoincCycled;
  FBlobCompressionAlgorithm = Source.FBlobCompressionAlgorithm;
  FBlobCompressionLevel = Source.FBlobCompressionLevel;
  FBlobBlockSize = Source.FBlobBlockSize;
}

TTolvanAdvFieldDef& TTolvanAdvFieldDefs::Add(std::string_view Name, TTolvanFieldType FieldType,
                                             int32_t Size, bool Required) {
  auto Def = std::make_unique<TTolvanAdvFieldDef>();
  Def->SetName(Name);
  Def->SetFieldType(FieldType);
  Def->SetSize(Size);
  Def->SetRequired(Required);
  FItems.push_back(std::move(Def));
  return *FItems.back();
}

TTolvanAdvFieldDef& TTolvanAdvFieldDefs::AddDef() {
  FItems.push_back(std::make_unique<TTolvanAdvFieldDef>());
  return *FItems.back();
}

TTolvanAdvFieldDef& TTolvanAdvFieldDefs::Items(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError(Format(SysConst::SListIndexError, Index));
  return *FItems[size_t(Index)];
}

int32_t TTolvanAdvFieldDefs::IndexOf(std::string_view Name) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (AnsiSameText(FItems[I]->Name(), Name))
      return int32_t(I);
  return -1;
}

TTolvanAdvFieldDef* TTolvanAdvFieldDefs::Find(std::string_view Name) const {
  const int32_t Index = IndexOf(Name);
  return Index < 0 ? nullptr : FItems[size_t(Index)].get();
}

void TTolvanAdvFieldDefs::Delete(std::string_view Name) {
  const int32_t Index = IndexOf(Name);
  if (Index < 0)
    throw ETolvanException::CreateFmt(ErrDefsAdvFieldNotFound, SFieldNotFound, Name);
  FItems.erase(FItems.begin() + Index);
}

void TTolvanAdvFieldDefs::Assign(const TTolvanAdvFieldDefs& Source) {
  if (&Source == this)
    return;
  // Copied aside first, so a failed copy leaves the definitions as they were.
  std::vector<std::unique_ptr<TTolvanAdvFieldDef>> Copies;
  Copies.reserve(Source.FItems.size());
  for (const auto& Def : Source.FItems) {
    Copies.push_back(std::make_unique<TTolvanAdvFieldDef>());
    Copies.back()->Assign(*Def);
  }
  FItems = std::move(Copies);
}

bool TTolvanAdvFieldDefs::HasVarcharFields() const noexcept {
  return std::any_of(FItems.begin(), FItems.end(), [](const auto& Def) {
    return Def->FieldType() == tftVarchar || Def->FieldType() == tftWideVarchar;
  });
}

// --- foreign-key definitions ---------------------------------------------------------------------

void TTolvanForeignKeyDef::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TTolvanForeignKeyDef*>(&Source);
  if (!From) {
    TPersistent::Assign(Source);
    return;
  }
  if (From == this)
    return;
  FName = From->FName;
  FMatchType = From->FMatchType;
  FDeleteAction = From->FDeleteAction;
  FUpdateAction = From->FUpdateAction;
  FReferenceTableName = From->FReferenceTableName;
  FFieldList = From->FFieldList;
}

TTolvanForeignKeyDef& TTolvanForeignKeyDefs::Add() {
  FItems.push_back(std::make_unique<TTolvanForeignKeyDef>());
  return *FItems.back();
}

TTolvanForeignKeyDef* TTolvanForeignKeyDefs::Items(int32_t Index) const noexcept {
  if (Index < 0 || Index >= Count())
    return nullptr;
  return FItems[size_t(Index)].get();
}

int32_t TTolvanForeignKeyDefs::IndexOf(std::string_view Name) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (AnsiSameText(FItems[I]->Name(), Name))
      return int32_t(I);
  return -1;
}

TTolvanForeignKeyDef* TTolvanForeignKeyDefs::Find(std::string_view Name) const {
  return Items(IndexOf(Name));
}

void TTolvanForeignKeyDefs::Assign(const TPersistent& Source) {
  const auto* From = dynamic_cast<const TTolvanForeignKeyDefs*>(&Source);
  if (!From) {
    TPersistent::Assign(Source);
    return;
  }
  if (From == this)
    return;
  std::vector<std::unique_ptr<TTolvanForeignKeyDef>> Copies;
  Copies.reserve(From->FItems.size());
  for (const auto& Def : From->FItems) {
    Copies.push_back(std::make_unique<TTolvanForeignKeyDef>());
    Copies.back()->Assign(*Def);
  }
  FItems = std::move(Copies);
}

// --- field conversions ---------------------------------------------------------------------------

void FieldDefsToEngineFieldDefs(const TFieldDefs& FieldDefs, TTolvanFieldDefs& EngineDefs) {
  EngineDefs.Clear();
  for (int32_t I = 0; I < FieldDefs.Count(); ++I) {
    const TFieldDef& Def = FieldDefs.Items(I);
    TTolvanFieldDef& Field = EngineDefs.AddNew();
    Field.SetName(Def.Name());
    Field.SetType(FieldTypeOfDataSetType(Def.DataType()), Def.Size());
  }
}

void FieldDefsToAdvFieldDefs(const TFieldDefs& FieldDefs, TTolvanAdvFieldDefs& AdvDefs) {
  AdvDefs.Clear();
  for (int32_t I = 0; I < FieldDefs.Count(); ++I) {
    const TFieldDef& Def = FieldDefs.Items(I);
    AdvDefs.Add(Def.Name(), FieldTypeOfDataSetType(Def.DataType()), Def.Size(), Def.Required());
  }
}

void AdvFieldDefsToFieldDefs(const TTolvanAdvFieldDefs& AdvDefs, TFieldDefs& FieldDefs) {
  InUpdateBlock(FieldDefs, [&] {
    FieldDefs.Clear();
    for (int32_t I = 0; I < AdvDefs.Count(); ++I) {
      const TTolvanAdvFieldDef& Def = AdvDefs.Items(I);
      FieldDefs.Add(Def.Name(), DataSetTypeOfFieldType(Def.FieldType()), Def.Size(),
                    Def.Required());
    }
  });
}

void AdvFieldDefsToEngineDefs(const TTolvanAdvFieldDefs& AdvDefs, TTolvanFieldDefs& EngineFieldDefs,
                              const TTolvanIndexDefs& EngineIndexDefs, bool Temporary,
                              TTolvanConstraintDefs& Constraints) {
  EngineFieldDefs.Clear();
  Constraints.Clear();
  for (int32_t I = 0; I < AdvDefs.Count(); ++I) {
    const TTolvanAdvFieldDef& Def = AdvDefs.Items(I);
    TTolvanFieldDef& Field = EngineFieldDefs.AddNew();
    Field.SetName(Def.Name());
    Field.SetType(Def.FieldType(), Def.Size());
    Field.SetAutoincIncrement(Def.AutoincIncrement());
    Field.SetAutoincInitialValue(Def.AutoincInitialValue());
    Field.SetAutoincMinValue(Def.AutoincMinValue());
    Field.SetAutoincMaxValue(Def.AutoincMaxValue());
    Field.SetAutoincCycled(Def.AutoincCycled() ? 1 : 0);
    Field.DefaultValue().Assign(Def.DefaultValue(), true);
    Field.SetBlobCompressionAlgorithm(MapCompressionAlgorithm(Def.BlobCompressionAlgorithm()));
    Field.SetBlobCompressionMode(Def.BlobCompressionLevel());
    Field.SetBlobBlockSize(Def.BlobBlockSize());
  }
  // A temporary table enforces no constraint, so none is described for it.
  if (Temporary)
    return;
  for (int32_t I = 0; I < AdvDefs.Count(); ++I) {
    const TTolvanAdvFieldDef& Def = AdvDefs.Items(I);
    if (Def.Required())
      Constraints.AddNotNull().Column().SetName(Def.Name());
    if (!Def.MinValue().IsNull() || !Def.MaxValue().IsNull()) {
      TTolvanConstraintDefCheck& Check = Constraints.AddCheck();
      Check.Column().SetName(Def.Name());
      Check.CheckMinValue().Assign(Def.MinValue(), true);
      Check.CheckMaxValue().Assign(Def.MaxValue(), true);
    }
  }
  for (int32_t I = 0; I < EngineIndexDefs.Count(); ++I)
    IndexDefToConstraint(EngineIndexDefs.Items(I), Constraints);
}

void EngineFieldDefsToFieldDefs(const TTolvanFieldDefs& VisibleDefs,
                                const TTolvanConstraintDefs& Constraints, TFieldDefs& FieldDefs) {
  InUpdateBlock(FieldDefs, [&] {
    FieldDefs.Clear();
    for (int32_t I = 0; I < VisibleDefs.Count(); ++I) {
      const TTolvanFieldDef& Def = VisibleDefs.Items(I);
      FieldDefs.Add(Def.Name(), DataSetTypeOfFieldType(Def.FieldType()), Def.Size(), false);
    }
    for (int32_t C = 0; C < Constraints.Count(); ++C) {
      const TTolvanConstraintDef& Constraint = Constraints.Items(C);
      if (Constraint.ConstraintType() != tctNotNull)
        continue;
      const int32_t ColumnID =
          static_cast<const TTolvanConstraintDefNotNull&>(Constraint).Column().ObjectID();
      for (int32_t I = 0; I < VisibleDefs.Count(); ++I)
        if (VisibleDefs.Items(I).ObjectID() == ColumnID)
          FieldDefs.Items(I).SetRequired(true);
    }
  });
}

namespace {

// Every shown field that is the column ColumnID of the table; a column the table lacks raises
// Code.
template <class F>
void ForShownColumn(const TTolvanFieldDefs& VisibleDefs, const TTolvanFieldDefs& FullDefs,
                    int32_t ColumnID, int32_t Code, F&& Apply) {
  if (!FullDefs.FindByID(ColumnID))
    throw ETolvanException::CreateFmt(Code, SFieldNumberNotFound, ColumnID);
  for (int32_t I = 0; I < VisibleDefs.Count(); ++I)
    if (VisibleDefs.Items(I).ObjectID() == ColumnID)
      Apply(I);
}

} // namespace

void EngineFieldDefsToAdvFieldDefs(const TTolvanFieldDefs& VisibleDefs,
                                   const TTolvanFieldDefs& FullDefs,
                                   const TTolvanConstraintDefs& Constraints,
                                   TTolvanAdvFieldDefs& AdvDefs) {
  AdvDefs.Clear();
  for (int32_t I = 0; I < VisibleDefs.Count(); ++I) {
    const TTolvanFieldDef& Field = VisibleDefs.Items(I);
    TTolvanAdvFieldDef& Def = AdvDefs.Add(Field.Name(), Field.FieldType(), Field.Size(), false);
    Def.SetAutoincIncrement(Field.AutoincIncrement());
    Def.SetAutoincInitialValue(Field.AutoincInitialValue());
    Def.SetAutoincMinValue(Field.AutoincMinValue());
    Def.SetAutoincMaxValue(Field.AutoincMaxValue());
    Def.SetAutoincCycled(Field.AutoincCycled() != 0);
    Def.SetBlobCompressionAlgorithm(MapCompressionAlgorithm(Field.BlobCompressionAlgorithm()));
    Def.SetBlobCompressionLevel(Field.BlobCompressionMode());
    Def.SetBlobBlockSize(Field.BlobBlockSize());
    Def.DefaultValue().Assign(Field.DefaultValue(), true);
  }
  for (int32_t C = 0; C < Constraints.Count(); ++C) {
    const TTolvanConstraintDef& Constraint = Constraints.Items(C);
    switch (Constraint.ConstraintType()) {
    case tctNotNull: {
      const auto& NotNull = static_cast<const TTolvanConstraintDefNotNull&>(Constraint);
      ForShownColumn(VisibleDefs, FullDefs, NotNull.Column().ObjectID(),
                     ErrDefsNotNullColumnNotFound,
                     [&](int32_t I) { AdvDefs.Items(I).SetRequired(true); });
      break;
    }
    case tctCheck: {
      // A check on a column no field shows has no definition to carry its limits.
      const auto& Check = static_cast<const TTolvanConstraintDefCheck&>(Constraint);
      ForShownColumn(VisibleDefs, FullDefs, Check.Column().ObjectID(), ErrDefsCheckColumnNotFound,
                     [&](int32_t I) {
                       TTolvanAdvFieldDef& Def = AdvDefs.Items(I);
                       Def.MinValue().Assign(Check.CheckMinValue(), true);
                       Def.MaxValue().Assign(Check.CheckMaxValue(), true);
                     });
      break;
    }
    case tctPrimaryKey:
    case tctForeignKey:
    case tctUnique:
    case tctForeignKeyAction:
      break;
    default:
      throw ETolvanException::Create(ErrDefsUnknownConstraintType, SNotImplementedYet);
    }
  }
}

// --- index conversions ---------------------------------------------------------------------------

void IndexDefToEngineIndexDef(TTolvanIndexDef& EngineDef, std::string_view Name,
                              std::string_view Fields, TIndexOptions Options,
                              std::string_view DescFields, std::string_view CaseInsFields,
                              const TFieldDefs* FieldDefs, const TTolvanAdvFieldDefs* AdvDefs) {
  if (Name.empty())
    throw ETolvanException::CreateFmt(ErrDefsInvalidIndexName, SInvalidIndexName, Name);
  TStringList FieldNames, DescNames, CaseInsNames;
  SplitFieldList(Fields, FieldNames);
  // A list of separators names no column either: an index without a key is refused as an
  // empty list is.
  if (FieldNames.Count() == 0)
    throw ETolvanException::CreateFmt(ErrDefsIndexNoFields, SCannotFindIndexField, Fields);
  SplitFieldList(DescFields, DescNames);
  SplitFieldList(CaseInsFields, CaseInsNames);
  const bool AllDescending = (Options & ixDescending) != 0 && DescNames.Count() == 0;
  const bool AllCaseInsensitive = (Options & ixCaseInsensitive) != 0 && CaseInsNames.Count() == 0;

  // Every field is checked before EngineDef changes, so a refused field leaves it as it was.
  std::vector<TTolvanIndexColumn> Columns(size_t(FieldNames.Count()));
  for (int32_t I = 0; I < FieldNames.Count(); ++I) {
    const AnsiString& Field = FieldNames.Strings(I);
    const bool Known = (FieldDefs && FieldDefExists(*FieldDefs, Field)) ||
                       (AdvDefs && AdvDefs->Find(Field) != nullptr);
    if (!Known)
      throw ETolvanException::CreateFmt(ErrDefsIndexFieldNotFound, SCannotFindIndexField, Field);
    TTolvanIndexColumn& Column = Columns[size_t(I)];
    Column.SetName(Field);
    Column.SetDescending(AllDescending || ListHasName(DescNames, Field) ? 1 : 0);
    Column.SetCaseInsensitive(AllCaseInsensitive || ListHasName(CaseInsNames, Field) ? 1 : 0);
  }
  EngineDef.SetName(Name);
  EngineDef.SetIndexKind(0);
  EngineDef.SetUnique((Options & ixUnique) != 0 ? 1 : 0);
  EngineDef.SetPrimary((Options & ixPrimary) != 0 ? 1 : 0);
  EngineDef.SetColumnCount(int32_t(Columns.size()));
  for (int32_t I = 0; I < EngineDef.ColumnCount(); ++I)
    EngineDef.Columns(I) = Columns[size_t(I)];
}

void IndexDefsToEngineIndexDefs(const TIndexDefs& IndexDefs, TTolvanIndexDefs& EngineDefs,
                                const TFieldDefs* FieldDefs, const TTolvanAdvFieldDefs* AdvDefs) {
  EngineDefs.Clear();
  for (int32_t I = 0; I < IndexDefs.Count(); ++I) {
    const TIndexDef& Def = IndexDefs.Items(I);
    auto EngineDef = std::make_unique<TTolvanIndexDef>();
    IndexDefToEngineIndexDef(*EngineDef, Def.Name(), Def.Fields(), Def.Options(), Def.DescFields(),
                             Def.CaseInsFields(), FieldDefs, AdvDefs);
    EngineDefs.Add(std::move(EngineDef));
  }
}

void EngineIndexDefsToIndexDefs(const TTolvanIndexDefs& EngineDefs, TIndexDefs& IndexDefs) {
  InUpdateBlock(IndexDefs, [&] {
    IndexDefs.Clear();
    AnsiString Fields, DescFields, CaseInsFields;
    auto Append = [](AnsiString& List, const AnsiString& Name) {
      if (!List.empty())
        List += ';';
      List += Name;
    };
    for (int32_t I = 0; I < EngineDefs.Count(); ++I) {
      const TTolvanIndexDef& Def = EngineDefs.Items(I);
      Fields.clear();
      DescFields.clear();
      CaseInsFields.clear();
      for (int32_t C = 0; C < Def.ColumnCount(); ++C) {
        const TTolvanIndexColumn& Column = Def.Columns(C);
        Append(Fields, Column.Name());
        if (Column.Descending())
          Append(DescFields, Column.Name());
        if (Column.CaseInsensitive())
          Append(CaseInsFields, Column.Name());
      }
      TIndexOptions Options = 0;
      if (Def.Primary())
        Options |= ixPrimary;
      if (Def.Unique())
        Options |= ixUnique;
      TIndexDef& Added = IndexDefs.Add(Def.Name(), Fields, Options);
      Added.SetDescFields(DescFields);
      Added.SetCaseInsFields(CaseInsFields);
    }
  });
}

void IndexDefToConstraint(const TTolvanIndexDef& IndexDef, TTolvanConstraintDefs& Constraints) {
  if (!IndexDef.Primary() && !IndexDef.Unique())
    return;
  TTolvanConstraintDefUnique& Def =
      IndexDef.Primary() ? static_cast<TTolvanConstraintDefUnique&>(Constraints.AddPrimary())
                         : Constraints.AddUnique();
  Def.SetName(IndexDef.Name());
  Def.Index() = TTolvanObjectRef(IndexDef.Name(), IndexDef.ObjectID());
  Def.Columns().reserve(size_t(IndexDef.ColumnCount()));
  for (int32_t I = 0; I < IndexDef.ColumnCount(); ++I)
    Def.Columns().emplace_back(IndexDef.Columns(I).Name(), 0);
}

// --- foreign-key conversions ---------------------------------------------------------------------

void ForeignKeyDefToConstraint(const TTolvanForeignKeyDef& Def,
                               TTolvanConstraintDefForeignKey& Constraint) {
  TStringList Names;
  SplitFieldList(Def.FieldList(), Names);
  if (Names.Count() == 0)
    throw ETolvanException::CreateFmt(ErrDefsForeignKeyNoColumns, SForeignKeyNoColumns, Def.Name(),
                                      Def.ReferenceTableName());
  std::vector<TTolvanObjectRef> Columns;
  Columns.reserve(size_t(Names.Count()));
  for (int32_t I = 0; I < Names.Count(); ++I)
    Columns.emplace_back(Names.Strings(I), -1);
  Constraint.SetName(Def.Name());
  Constraint.SetObjectID(-1);
  Constraint.Table() = TTolvanObjectRef(Def.ReferenceTableName(), -1);
  Constraint.SetMatchType(Def.MatchType());
  Constraint.SetOnDelete(Def.DeleteAction());
  Constraint.SetOnUpdate(Def.UpdateAction());
  Constraint.Columns() = std::move(Columns);
}

void ForeignKeyDefsToConstraints(const TTolvanForeignKeyDefs& Defs,
                                 TTolvanConstraintDefs& Constraints) {
  std::vector<std::unique_ptr<TTolvanConstraintDefForeignKey>> Made;
  Made.reserve(size_t(Defs.Count()));
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    Made.push_back(std::make_unique<TTolvanConstraintDefForeignKey>());
    ForeignKeyDefToConstraint(*Defs.Items(I), *Made.back());
  }
  for (auto& Constraint : Made)
    Constraints.Add(std::move(Constraint));
}

void ConstraintsToForeignKeyDefs(const TTolvanConstraintDefs& Constraints,
                                 TTolvanForeignKeyDefs& Defs) {
  Defs.Clear();
  AnsiString FieldList;
  for (int32_t C = 0; C < Constraints.Count(); ++C) {
    const TTolvanConstraintDef& Constraint = Constraints.Items(C);
    if (Constraint.ConstraintType() != tctForeignKey)
      continue;
    const auto& Key = static_cast<const TTolvanConstraintDefForeignKey&>(Constraint);
    FieldList.clear();
    for (const TTolvanObjectRef& Column : Key.Columns()) {
      if (!FieldList.empty())
        FieldList += ';';
      FieldList += Column.Name();
    }
    TTolvanForeignKeyDef& Def = Defs.Add();
    Def.SetName(Key.Name());
    Def.SetReferenceTableName(Key.Table().Name());
    Def.SetMatchType(Key.MatchType());
    Def.SetDeleteAction(Key.OnDelete());
    Def.SetUpdateAction(Key.OnUpdate());
    Def.SetFieldList(FieldList);
  }
}

void RenameForeignKeyReferences(std::string_view OldName, std::string_view NewName,
                                TTolvanForeignKeyDefs& Defs) {
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    TTolvanForeignKeyDef& Def = *Defs.Items(I);
    if (AnsiSameText(Def.ReferenceTableName(), OldName))
      Def.SetReferenceTableName(NewName);
  }
}

// --- helpers ------------------------------------------------------------------------------------

void SplitFieldList(std::string_view Text, TStringList& Names) {
  AnsiString List(Text);
  std::replace(List.begin(), List.end(), ',', ';');
  GetFieldNames(List, Names);
}

bool FieldDefExists(const TFieldDefs& FieldDefs, std::string_view Name) {
  return FieldDefs.IndexOf(Name) >= 0;
}

TTolvanCompressionAlgorithm MapCompressionAlgorithm(uint8_t Code) noexcept {
  switch (Code) {
  case caZlib:
  case caBZip:
  case caPPM:
    return Code;
  default:
    return caNone;
  }
}

} // namespace tolvan
