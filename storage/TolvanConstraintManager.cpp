#include "storage/TolvanConstraintManager.h"

#include <string>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypes.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

constexpr std::string_view NotNullPrefix = "C_NotNull";
constexpr std::string_view CheckPrefix = "C_Check";
constexpr std::string_view ForeignKeyPrefix = "FOREIGN_KEY_";
constexpr std::string_view ActionSuffix = "_Action";
// Random suffixes run 0 .. 65534: at most five digits.
constexpr int32_t RandomSuffixRange = 65535;
constexpr size_t RandomSuffixDigits = 5;
// After this many taken random suffixes the numbers are tried in order, which must end since a
// table has finitely many definitions.
constexpr int32_t RandomSuffixTries = 256;
constexpr size_t OrderedSuffixDigits = 10;

AnsiString AutoNameOf(std::string_view Kind, const AnsiString& Table, const AnsiString& Column) {
  AnsiString Name;
  Name.reserve(Kind.size() + Table.size() + Column.size() + 3);
  Name += '$';
  Name += Kind;
  Name += '$';
  Name += Table;
  Name += '$';
  Name += Column;
  return Name;
}

} // namespace

TTolvanBaseConstraintManager::TTolvanBaseConstraintManager(TTolvanTableData& TableData)
    : FTableData(TableData) {}

const TTolvanFieldDefs& TTolvanBaseConstraintManager::Fields() const {
  const TTolvanFieldDefs* Defs = FTableData.FieldDefs();
  if (!Defs)
    throw ETolvanException::Create(ErrNoFieldsSpecified, SNoFieldsSpecifiedForTable);
  return *Defs;
}

// --- stream form --------------------------------------------------------------------------------

void TTolvanBaseConstraintManager::LoadFromStream(TStream& Stream) {
  TTolvanConstraintDefs Loaded;
  Loaded.LoadFromStream(Stream);
  FConstraintDefs.Assign(Loaded);
  if (FConstraintDefs.Count() > 0)
    FNoConstraints = false;
}

void TTolvanBaseConstraintManager::SaveToStream(TStream& Stream) const {
  FConstraintDefs.SaveToStream(Stream);
}

// --- binding and naming -------------------------------------------------------------------------

void TTolvanBaseConstraintManager::ResolveKeyColumns(TTolvanConstraintDefUnique& Def,
                                                     int32_t IndexCode, int32_t FieldCode) {
  const TTolvanIndexDef* Index =
      FTableData.IndexManager()
          ? FTableData.IndexManager()->IndexDefs().FindByName(Def.Index().Name())
          : nullptr;
  if (!Index)
    throw ETolvanException::CreateFmt(IndexCode, SIndexNotFoundByName, Def.Index().Name());
  const TTolvanFieldDefs& Defs = Fields();
  // Looked up first, written after: a refused column leaves the definition as it was.
  std::vector<int32_t> IDs;
  IDs.reserve(Def.Columns().size());
  for (const TTolvanObjectRef& Column : Def.Columns()) {
    const TTolvanFieldDef* Field = Defs.FindByName(Column.Name());
    if (!Field)
      throw ETolvanException::CreateFmt(FieldCode, SFieldNotFound, Column.Name());
    IDs.push_back(Field->ObjectID());
  }
  Def.Index().SetObjectID(Index->ObjectID());
  for (size_t I = 0; I < IDs.size(); ++I)
    Def.Columns()[I].SetObjectID(IDs[I]);
}

void TTolvanBaseConstraintManager::ResolveIDs(TTolvanConstraintDef& Def) {
  switch (Def.ConstraintType()) {
  case tctPrimaryKey:
    ResolveKeyColumns(static_cast<TTolvanConstraintDefUnique&>(Def), ErrResolvePrimaryIndex,
                      ErrResolvePrimaryField);
    return;
  case tctUnique:
    ResolveKeyColumns(static_cast<TTolvanConstraintDefUnique&>(Def), ErrResolveUniqueIndex,
                      ErrResolveUniqueField);
    return;
  case tctForeignKey: {
    auto& Key = static_cast<TTolvanConstraintDefForeignKey&>(Def);
    const TTolvanFieldDefs& Defs = Fields();
    std::vector<int32_t> IDs;
    IDs.reserve(Key.Columns().size());
    for (const TTolvanObjectRef& Column : Key.Columns()) {
      const TTolvanFieldDef* Field = Defs.FindByName(Column.Name());
      if (!Field)
        throw ETolvanException::CreateFmt(ErrResolveForeignKeyField, SFieldNotFound, Column.Name());
      IDs.push_back(Field->ObjectID());
    }
    for (size_t I = 0; I < IDs.size(); ++I)
      Key.Columns()[I].SetObjectID(IDs[I]);
    return;
  }
  case tctNotNull:
  case tctCheck: {
    TTolvanObjectRef& Column = Def.ConstraintType() == tctNotNull
                                   ? static_cast<TTolvanConstraintDefNotNull&>(Def).Column()
                                   : static_cast<TTolvanConstraintDefCheck&>(Def).Column();
    const TTolvanFieldDef* Field = Fields().FindByName(Column.Name());
    if (!Field)
      throw ETolvanException::CreateFmt(ErrResolveColumnNotFound, SFieldNotFound, Column.Name());
    Column.SetObjectID(Field->ObjectID());
    return;
  }
  case tctForeignKeyAction:
    return;
  }
  throw ETolvanException::Create(ErrResolveUnknownType, SNotImplementedYet);
}

bool TTolvanBaseConstraintManager::ResolveAll() {
  for (int32_t I = 0; I < FConstraintDefs.Count(); ++I)
    ResolveIDs(FConstraintDefs.Items(I));
  FNoConstraints = FConstraintDefs.Count() == 0;
  return FNoConstraints;
}

AnsiString TTolvanBaseConstraintManager::FreeName(const AnsiString& Whole) const {
  // Compared as it will be stored.
  const std::string_view Base = CutShortString(Whole);
  if (FConstraintDefs.IndexOfName(Base) < 0)
    return AnsiString(Base);
  // Room for the number, so that the stored name keeps it and the search can end.
  const std::string_view Stem = Base.substr(0, MaxShortStringLength - RandomSuffixDigits);
  AnsiString Name;
  for (int32_t Try = 0; Try < RandomSuffixTries; ++Try) {
    Name.assign(Stem);
    Name += std::to_string(Random(RandomSuffixRange));
    if (FConstraintDefs.IndexOfName(Name) < 0)
      return Name;
  }
  const std::string_view Short = Base.substr(0, MaxShortStringLength - OrderedSuffixDigits);
  for (int64_t N = 0;; ++N) {
    Name.assign(Short);
    Name += std::to_string(N);
    if (FConstraintDefs.IndexOfName(Name) < 0)
      return Name;
  }
}

void TTolvanBaseConstraintManager::AutoName() {
  for (int32_t I = 0; I < FConstraintDefs.Count(); ++I) {
    TTolvanConstraintDef& Def = FConstraintDefs.Items(I);
    if (!Def.Name().empty())
      continue;
    AnsiString Base;
    switch (Def.ConstraintType()) {
    case tctForeignKey:
    case tctForeignKeyAction:
      Base = MakeUniqueName(ForeignKeyPrefix);
      break;
    case tctNotNull: {
      const auto& N = static_cast<const TTolvanConstraintDefNotNull&>(Def);
      Base = AutoNameOf(NotNullPrefix, N.Reserved2().Name(), N.Column().Name());
      break;
    }
    case tctCheck: {
      const auto& C = static_cast<const TTolvanConstraintDefCheck&>(Def);
      Base = AutoNameOf(CheckPrefix, C.Reserved2().Name(), C.Column().Name());
      break;
    }
    default:
      throw ETolvanException::Create(ErrAutoNameUnknownType, SNotImplementedYet);
    }
    Def.SetName(FreeName(Base));
  }
}

// --- constraints of indexes and foreign keys ----------------------------------------------------

void TTolvanBaseConstraintManager::AddForIndex(const TTolvanIndexDef& Index) {
  if (!Index.Primary() && !Index.Unique())
    return;
  TTolvanConstraintDefUnique& Def =
      Index.Primary() ? static_cast<TTolvanConstraintDefUnique&>(FConstraintDefs.AddPrimary())
                      : FConstraintDefs.AddUnique();
  const int32_t Position = FConstraintDefs.Count() - 1;
  try {
    Def.SetName(Index.Name());
    Def.Reserved2().SetName(FTableData.TableName());
    Def.Index() = TTolvanObjectRef(Index.Name(), Index.ObjectID());
    Def.Columns().reserve(size_t(Index.ColumnCount()));
    for (int32_t I = 0; I < Index.ColumnCount(); ++I)
      Def.Columns().emplace_back(Index.Columns(I).Name(), 0);
    ResolveIDs(Def);
    Def.SetObjectID(FTableData.Database().NextObjectID());
  } catch (...) {
    FConstraintDefs.Delete(Position);
    throw;
  }
  FNoConstraints = false;
}

bool TTolvanBaseConstraintManager::RemoveForIndex(int32_t IndexID) {
  for (int32_t I = 0; I < FConstraintDefs.Count(); ++I) {
    const TTolvanConstraintDef& Def = FConstraintDefs.Items(I);
    if (Def.ConstraintType() != tctPrimaryKey && Def.ConstraintType() != tctUnique)
      continue;
    if (static_cast<const TTolvanConstraintDefUnique&>(Def).Index().ObjectID() != IndexID)
      continue;
    FConstraintDefs.Delete(I);
    break;
  }
  FNoConstraints = FConstraintDefs.Count() == 0;
  return FNoConstraints;
}

TTolvanConstraintDefForeignKeyAction& TTolvanBaseConstraintManager::MakeForeignKeyAction(
    TTolvanBaseConstraintManager& Referenced, const TTolvanConstraintDefForeignKey& Key,
    std::string_view ReferencingTable, int32_t ReferencingTableID) {
  TTolvanConstraintDefs& Defs = Referenced.FConstraintDefs;
  AnsiString Name = Key.Name();
  Name += ActionSuffix;
  if (Defs.IndexOfName(Name) >= 0) {
    AnsiString Prefix = Key.Name();
    Prefix += ActionSuffix;
    Prefix += '_';
    Name = MakeUniqueName(Prefix);
  }
  const int32_t ObjectID = Referenced.FTableData.Database().NextObjectID();
  TTolvanConstraintDefForeignKeyAction& Action = Defs.AddForeignKeyAction();
  Action.SetName(Name);
  Action.SetObjectID(ObjectID);
  Action.Table() = TTolvanObjectRef(ReferencingTable, ReferencingTableID);
  Action.Partner() = TTolvanObjectRef(Key.Name(), Key.ObjectID());
  Action.Columns() = Key.Columns();
  Action.SetOnDelete(Key.OnDelete());
  Action.SetOnUpdate(Key.OnUpdate());
  Action.SetMatchType(Key.MatchType());
  return Action;
}

// --- the check ----------------------------------------------------------------------------------

void TTolvanBaseConstraintManager::CheckKey(const TTolvanConstraintDefUnique& Def,
                                            int32_t SessionID, const uint8_t* Buffer,
                                            const uint8_t* OldBuffer, bool IsInsert,
                                            const TTolvanRecordID& ID) {
  const bool Primary = Def.ConstraintType() == tctPrimaryKey;
  if (Primary) {
    const TTolvanFieldDefs& Defs = Fields();
    for (const TTolvanObjectRef& Column : Def.Columns()) {
      const int32_t FieldNo = Defs.IndexOfID(Column.ObjectID());
      if (FieldNo < 0)
        throw ETolvanException::CreateFmt(ErrCheckPrimaryFieldID, SFieldNumberNotFound,
                                          Column.ObjectID());
      if (IsFieldNull(Buffer, FieldNo))
        throw ETolvanException::CreateFmt(ErrCheckPrimaryNull, SConstraintNotNullViolated,
                                          Def.Name(), Defs.Items(FieldNo).Name());
    }
  }
  if (FTableData.DuplicateKeyExists(SessionID, Def.Index().ObjectID(), Buffer, OldBuffer, IsInsert,
                                    ID)) {
    if (Primary)
      throw ETolvanException::CreateFmt(ErrCheckPrimaryDuplicate, SPrimaryKeyViolated, Def.Name());
    throw ETolvanException::CreateFmt(ErrCheckUniqueDuplicate, SUniqueConstraintViolated,
                                      Def.Name());
  }
}

void TTolvanBaseConstraintManager::CheckRange(const TTolvanConstraintDefCheck& Def,
                                              const uint8_t* Buffer) {
  const TTolvanFieldDefs& Defs = Fields();
  const int32_t FieldNo = Defs.IndexOfID(Def.Column().ObjectID());
  if (FieldNo < 0)
    throw ETolvanException::CreateFmt(ErrCheckRangeFieldID, SFieldNumberNotFound,
                                      Def.Column().ObjectID());
  if (IsFieldNull(Buffer, FieldNo))
    return;
  const TTolvanFieldDef& Field = Defs.Items(FieldNo);
  const uint8_t* Value = Buffer + Field.BufferOffset();
  const TTolvanVariant& Min = Def.CheckMinValue();
  if (!Min.IsNull() && CompareValueBuffers(Min.Data(), Value, Min.DataType(), Field.BaseType(),
                                           false, false, -1, false, DefaultCompareLocale,
                                           Min.DataSize(), Field.DataSize()) == tcrGreater)
    throw ETolvanException::CreateFmt(ErrCheckMinViolated, SConstraintMinValueViolated, Def.Name(),
                                      Field.Name(), Min.GetAsString());
  const TTolvanVariant& Max = Def.CheckMaxValue();
  if (!Max.IsNull() &&
      CompareValueBuffers(Max.Data(), Value, Max.DataType(), Field.BaseType(), false, false, -1,
                          false, DefaultCompareLocale, Max.DataSize(), Field.DataSize()) == tcrLess)
    throw ETolvanException::CreateFmt(ErrCheckMaxViolated, SConstraintMaxValueViolated, Def.Name(),
                                      Field.Name(), Max.GetAsString());
}

void TTolvanBaseConstraintManager::CheckRecord(TTolvanCursor& Cursor, int32_t SessionID,
                                               const uint8_t* Buffer, const uint8_t* OldBuffer,
                                               bool IsInsert, const TTolvanRecordID& ID,
                                               bool SkipForeignKeys) {
  for (int32_t I = 0; I < FConstraintDefs.Count(); ++I) {
    const TTolvanConstraintDef& Def = FConstraintDefs.Items(I);
    switch (Def.ConstraintType()) {
    case tctPrimaryKey:
    case tctUnique:
      CheckKey(static_cast<const TTolvanConstraintDefUnique&>(Def), SessionID, Buffer, OldBuffer,
               IsInsert, ID);
      break;
    case tctForeignKey:
      if (SkipForeignKeys)
        break;
      if (ForeignKeyRoutines().CheckForeignKeyParent(
              FTableData, Cursor, SessionID,
              static_cast<const TTolvanConstraintDefForeignKey&>(Def), Buffer))
        throw ETolvanException::CreateFmt(ErrCheckForeignKeyViolated, SForeignKeyConstraintViolated,
                                          Def.Name(), FTableData.TableName());
      break;
    case tctNotNull: {
      const auto& N = static_cast<const TTolvanConstraintDefNotNull&>(Def);
      const TTolvanFieldDefs& Defs = Fields();
      const int32_t FieldNo = Defs.IndexOfID(N.Column().ObjectID());
      if (FieldNo < 0)
        throw ETolvanException::CreateFmt(ErrCheckNotNullFieldID, SFieldNumberNotFound,
                                          N.Column().ObjectID());
      if (IsFieldNull(Buffer, FieldNo))
        throw ETolvanException::CreateFmt(ErrCheckNotNullViolated, SConstraintNotNullViolated,
                                          Def.Name(), Defs.Items(FieldNo).Name());
      break;
    }
    case tctCheck:
      CheckRange(static_cast<const TTolvanConstraintDefCheck&>(Def), Buffer);
      break;
    case tctForeignKeyAction:
      break;
    default:
      throw ETolvanException::Create(ErrCheckUnknownType, SNotImplementedYet);
    }
  }
}

} // namespace tolvan
