#include "schema/TolvanMetaObjectDefs.h"

#include <algorithm>
#include <string>

#include "classlib/Format.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanStreams.h"

namespace tolvan {

namespace {

constexpr int32_t ErrDifferentOrderCount = 10276;
constexpr int32_t ErrDifferentCaseModeCount = 10277;
constexpr int32_t ErrNilFieldNames = 10389;
constexpr int32_t ErrNilOrders = 10390;
constexpr int32_t ErrNilCaseModes = 10391;
constexpr int32_t ErrDuplicateName = 10424;
constexpr int32_t ErrNotImplemented = 30035;
constexpr int32_t ErrUnknownConstraintType = 30316;
constexpr int32_t ErrMethodNotOverridden = 30339;

[[noreturn]] void RaiseInvalidCast() { throw EInvalidCast(std::string(SysConst::SInvalidCast)); }

template <class T> void CheckClass(const TTolvanMetaObjectDef& Def) {
  if (!dynamic_cast<const T*>(&Def))
    RaiseInvalidCast();
}

// Reads the announced definitions, appending each once it has been read whole.
template <class T> void LoadDefinitions(TTolvanMetaObjectDefs& Defs, TStream& Stream) {
  for (int32_t I = 0; I < Defs.PendingCount(); ++I) {
    auto Def = std::make_unique<T>();
    Def->LoadFromStream(Stream);
    Defs.Add(std::move(Def));
  }
}

int32_t CheckedAdd(int32_t A, int32_t B) {
  int32_t Sum;
  if (__builtin_add_overflow(A, B, &Sum))
    throw EIntOverflow(std::string(SysConst::SIntOverflow));
  return Sum;
}

// A new, empty constraint of the stored type; nil for a type no class has.
std::unique_ptr<TTolvanConstraintDef> MakeConstraint(uint8_t Type) {
  switch (Type) {
  case tctPrimaryKey:
    return std::make_unique<TTolvanConstraintDefPrimary>();
  case tctForeignKey:
    return std::make_unique<TTolvanConstraintDefForeignKey>();
  case tctUnique:
    return std::make_unique<TTolvanConstraintDefUnique>();
  case tctNotNull:
    return std::make_unique<TTolvanConstraintDefNotNull>();
  case tctCheck:
    return std::make_unique<TTolvanConstraintDefCheck>();
  case tctForeignKeyAction:
    return std::make_unique<TTolvanConstraintDefForeignKeyAction>();
  default:
    return nullptr;
  }
}

} // namespace

// --- TTolvanMetaObjectDefs ----------------------------------------------------------------------

void TTolvanMetaObjectDefs::CheckPosition(int32_t Position, int32_t Limit) const {
  if (Position < 0 || Position >= Limit)
    throw EListError(Format(SysConst::SListIndexError, Position));
}

void TTolvanMetaObjectDefs::CheckKind(const TTolvanMetaObjectDef&) const {}
void TTolvanMetaObjectDefs::ItemAdded(const TTolvanMetaObjectDef&) {}
void TTolvanMetaObjectDefs::ItemsRemoved() {}

int32_t TTolvanMetaObjectDefs::Add(std::unique_ptr<TTolvanMetaObjectDef> Def) {
  if (!Def)
    RaiseInvalidCast();
  CheckKind(*Def);
  FItems.push_back(std::move(Def));
  ItemAdded(*FItems.back());
  return Count() - 1;
}

TTolvanMetaObjectDef& TTolvanMetaObjectDefs::AddNew() {
  throw ETolvanException::CreateFmt(ErrMethodNotOverridden, SMethodNotOverridden,
                                    "InternalAddCreated", ClassName());
}

void TTolvanMetaObjectDefs::LoadFromStream(TStream& Stream) {
  Clear();
  FPendingCount = 0;
  const int32_t Count = ReadStreamValue<int32_t>(Stream, 10159);
  if (Count < 0)
    RaiseStoredValueError(Stream, Count, 10159);
  FPendingCount = Count;
}

void TTolvanMetaObjectDefs::SaveToStream(TStream& Stream) const {
  WriteStreamValue<int32_t>(Stream, Count(), 10158);
}

void TTolvanMetaObjectDefs::Assign(const TTolvanMetaObjectDefs& Source) {
  if (&Source == this)
    return;
  Clear();
  for (const auto& Def : Source.FItems) {
    if (IndexOfName(Def->Name()) >= 0)
      throw ETolvanException::CreateFmt(ErrDuplicateName, SDuplicateFieldName, Def->Name());
    TTolvanMetaObjectDef& Copy = AddNew();
    try {
      Copy.Assign(*Def);
    } catch (...) {
      FItems.pop_back();
      ItemsRemoved();
      throw;
    }
  }
}

void TTolvanMetaObjectDefs::Delete(int32_t Position) {
  CheckPosition(Position, Count());
  FItems.erase(FItems.begin() + Position);
  ItemsRemoved();
}

void TTolvanMetaObjectDefs::Insert(int32_t Position, std::unique_ptr<TTolvanMetaObjectDef> Def) {
  CheckPosition(Position, Count() + 1);
  if (!Def)
    RaiseInvalidCast();
  CheckKind(*Def);
  const auto It = FItems.insert(FItems.begin() + Position, std::move(Def));
  ItemAdded(**It);
}

void TTolvanMetaObjectDefs::Move(int32_t From, int32_t To) {
  CheckPosition(From, Count());
  CheckPosition(To, Count());
  const auto First = FItems.begin();
  if (From < To)
    std::rotate(First + From, First + From + 1, First + To + 1);
  else
    std::rotate(First + To, First + From, First + From + 1);
}

void TTolvanMetaObjectDefs::Clear() {
  FItems.clear();
  ItemsRemoved();
}

TTolvanMetaObjectDef& TTolvanMetaObjectDefs::Items(int32_t Position) const {
  CheckPosition(Position, Count());
  return *FItems[size_t(Position)];
}

void TTolvanMetaObjectDefs::SetItem(int32_t Position, std::unique_ptr<TTolvanMetaObjectDef> Def) {
  CheckPosition(Position, Count());
  if (!Def)
    RaiseInvalidCast();
  CheckKind(*Def);
  FItems[size_t(Position)] = std::move(Def);
  ItemsRemoved();
}

int32_t TTolvanMetaObjectDefs::IndexOfName(std::string_view Name) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (AnsiSameText(FItems[I]->Name(), Name))
      return int32_t(I);
  return -1;
}

TTolvanMetaObjectDef* TTolvanMetaObjectDefs::FindByName(std::string_view Name) const {
  const int32_t I = IndexOfName(Name);
  return I < 0 ? nullptr : FItems[size_t(I)].get();
}

int32_t TTolvanMetaObjectDefs::IndexOfID(int32_t ObjectID) const {
  for (size_t I = 0; I < FItems.size(); ++I)
    if (FItems[I]->ObjectID() == ObjectID)
      return int32_t(I);
  return -1;
}

TTolvanMetaObjectDef* TTolvanMetaObjectDefs::FindByID(int32_t ObjectID) const {
  const int32_t I = IndexOfID(ObjectID);
  return I < 0 ? nullptr : FItems[size_t(I)].get();
}

// --- TTolvanFieldDefs ---------------------------------------------------------------------------

void TTolvanFieldDefs::CheckKind(const TTolvanMetaObjectDef& Def) const {
  CheckClass<TTolvanFieldDef>(Def);
}

TTolvanFieldDef& TTolvanFieldDefs::AddNew() {
  auto Def = std::make_unique<TTolvanFieldDef>();
  TTolvanFieldDef& Ref = *Def;
  Add(std::move(Def));
  return Ref;
}

void TTolvanFieldDefs::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDefs::LoadFromStream(Stream);
  LoadDefinitions<TTolvanFieldDef>(*this, Stream);
}

void TTolvanFieldDefs::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDefs::SaveToStream(Stream);
  for (const auto& Def : FItems)
    Def->SaveToStream(Stream);
}

TTolvanFieldDef& TTolvanFieldDefs::Items(int32_t Position) const {
  return static_cast<TTolvanFieldDef&>(TTolvanMetaObjectDefs::Items(Position));
}

TTolvanFieldDef* TTolvanFieldDefs::FindByName(std::string_view Name) const {
  return static_cast<TTolvanFieldDef*>(TTolvanMetaObjectDefs::FindByName(Name));
}

void TTolvanFieldDefs::CalcLayout() {
  FHasExternalValues = false;
  FHasAutoincFields = false;
  FHasDefaults = false;
  int32_t BufferPosition = NullBitmapSize();
  int32_t StoredPosition = BufferPosition;
  for (const auto& Item : FItems) {
    auto& Def = static_cast<TTolvanFieldDef&>(*Item);
    const TTolvanValueType Base = Def.BaseType();
    if (IsVarStringValueType(Base) || IsBlobValueType(Base))
      FHasExternalValues = true;
    if (Def.IsAutoinc())
      FHasAutoincFields = true;
    if (!Def.DefaultValue().IsNull())
      FHasDefaults = true;
    Def.SetBufferOffset(BufferPosition);
    Def.SetStoredOffset(StoredPosition);
    BufferPosition = CheckedAdd(BufferPosition, Def.DataSize());
    StoredPosition = CheckedAdd(StoredPosition, Def.StoredSize());
  }
  FRecordBufferSize = BufferPosition;
  FStoredRecordSize = StoredPosition;
}

// --- TTolvanIndexDefs ---------------------------------------------------------------------------

void TTolvanIndexDefs::CheckKind(const TTolvanMetaObjectDef& Def) const {
  CheckClass<TTolvanIndexDef>(Def);
}

TTolvanIndexDef& TTolvanIndexDefs::AddNew() {
  auto Def = std::make_unique<TTolvanIndexDef>();
  TTolvanIndexDef& Ref = *Def;
  Add(std::move(Def));
  return Ref;
}

void TTolvanIndexDefs::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDefs::LoadFromStream(Stream);
  LoadDefinitions<TTolvanIndexDef>(*this, Stream);
}

void TTolvanIndexDefs::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDefs::SaveToStream(Stream);
  for (const auto& Def : FItems)
    Def->SaveToStream(Stream);
}

TTolvanIndexDef& TTolvanIndexDefs::Items(int32_t Position) const {
  return static_cast<TTolvanIndexDef&>(TTolvanMetaObjectDefs::Items(Position));
}

void TTolvanIndexDefs::SetItem(int32_t Position, std::unique_ptr<TTolvanIndexDef> Def) {
  TTolvanMetaObjectDefs::SetItem(Position, std::move(Def));
}

TTolvanIndexDef* TTolvanIndexDefs::FindByName(std::string_view Name) const {
  return static_cast<TTolvanIndexDef*>(TTolvanMetaObjectDefs::FindByName(Name));
}

TTolvanIndexDef* TTolvanIndexDefs::FindPrimary() const {
  for (const auto& Item : FItems)
    if (static_cast<const TTolvanIndexDef&>(*Item).Primary())
      return static_cast<TTolvanIndexDef*>(Item.get());
  return nullptr;
}

int32_t TTolvanIndexDefs::FindIndexForFields(const TStringList* FieldNames,
                                             const TStringList* Orders,
                                             const TStringList* CaseModes) const {
  if (!FieldNames)
    throw ETolvanException::Create(ErrNilFieldNames, SNilPointerOccurred);
  if (!Orders)
    throw ETolvanException::Create(ErrNilOrders, SNilPointerOccurred);
  if (!CaseModes)
    throw ETolvanException::Create(ErrNilCaseModes, SNilPointerOccurred);
  const int32_t N = FieldNames->Count();
  if (N != Orders->Count())
    throw ETolvanException::CreateFmt(ErrDifferentOrderCount, SDifferentListsLength, N,
                                      Orders->Count());
  if (N != CaseModes->Count())
    throw ETolvanException::CreateFmt(ErrDifferentCaseModeCount, SDifferentListsLength, N,
                                      CaseModes->Count());

  const auto Fits = [&](const TTolvanIndexDef& Index) {
    if (Index.ColumnCount() < N)
      return false;
    for (int32_t I = 0; I < N; ++I) {
      const TTolvanIndexColumn& Column = Index.Columns(I);
      if (!AnsiSameText(FieldNames->Strings(I), Column.Name()))
        return false;
      const AnsiString& Order = Orders->Strings(I);
      if ((Order == "ASC" && Column.Descending()) || (Order == "DESC" && !Column.Descending()))
        return false;
      const AnsiString& Mode = CaseModes->Strings(I);
      if ((Mode == "CASE" && Column.CaseInsensitive()) ||
          (Mode == "NO_CASE" && !Column.CaseInsensitive()))
        return false;
    }
    return true;
  };
  for (const auto& Item : FItems) {
    const auto& Index = static_cast<const TTolvanIndexDef&>(*Item);
    if (Fits(Index))
      return Index.ObjectID();
  }
  return -1;
}

// --- TTolvanConstraintDefs ----------------------------------------------------------------------

void TTolvanConstraintDefs::CheckKind(const TTolvanMetaObjectDef& Def) const {
  CheckClass<TTolvanConstraintDef>(Def);
}

void TTolvanConstraintDefs::ItemAdded(const TTolvanMetaObjectDef& Def) {
  const TTolvanConstraintType Type = static_cast<const TTolvanConstraintDef&>(Def).ConstraintType();
  if (Type == tctForeignKey)
    FHasForeignKeys = true;
  else if (Type == tctForeignKeyAction)
    FHasActions = true;
}

void TTolvanConstraintDefs::ItemsRemoved() {
  FHasForeignKeys = false;
  FHasActions = false;
  for (const auto& Def : FItems)
    ItemAdded(*Def);
}

template <class T> T& TTolvanConstraintDefs::AddConstraint() {
  auto Def = std::make_unique<T>();
  T& Ref = *Def;
  Add(std::move(Def));
  return Ref;
}

TTolvanConstraintDefNotNull& TTolvanConstraintDefs::AddNotNull() {
  return AddConstraint<TTolvanConstraintDefNotNull>();
}
TTolvanConstraintDefCheck& TTolvanConstraintDefs::AddCheck() {
  return AddConstraint<TTolvanConstraintDefCheck>();
}
TTolvanConstraintDefPrimary& TTolvanConstraintDefs::AddPrimary() {
  return AddConstraint<TTolvanConstraintDefPrimary>();
}
TTolvanConstraintDefUnique& TTolvanConstraintDefs::AddUnique() {
  return AddConstraint<TTolvanConstraintDefUnique>();
}
TTolvanConstraintDefForeignKey& TTolvanConstraintDefs::AddForeignKey() {
  return AddConstraint<TTolvanConstraintDefForeignKey>();
}
TTolvanConstraintDefForeignKeyAction& TTolvanConstraintDefs::AddForeignKeyAction() {
  return AddConstraint<TTolvanConstraintDefForeignKeyAction>();
}

void TTolvanConstraintDefs::Assign(const TTolvanMetaObjectDefs& Source) {
  if (&Source == this)
    return;
  Clear();
  for (int32_t I = 0; I < Source.Count(); ++I) {
    const auto* Def = dynamic_cast<const TTolvanConstraintDef*>(&Source.Items(I));
    if (!Def)
      RaiseInvalidCast();
    std::unique_ptr<TTolvanConstraintDef> Copy = MakeConstraint(Def->ConstraintType());
    if (!Copy)
      throw ETolvanException::Create(ErrNotImplemented, SNotImplementedYet);
    Copy->Assign(*Def);
    Add(std::move(Copy));
  }
}

void TTolvanConstraintDefs::LoadFromStream(TStream& Stream) {
  TTolvanMetaObjectDefs::LoadFromStream(Stream);
  for (int32_t I = 0; I < FPendingCount; ++I) {
    const uint8_t Type = ReadStreamValue<uint8_t>(Stream, 10220);
    std::unique_ptr<TTolvanConstraintDef> Def = MakeConstraint(Type);
    if (!Def)
      throw ETolvanException::CreateFmt(ErrUnknownConstraintType, SUnknownConstraintType,
                                        int32_t(Type));
    Def->LoadFromStream(Stream);
    Add(std::move(Def));
  }
}

void TTolvanConstraintDefs::SaveToStream(TStream& Stream) const {
  TTolvanMetaObjectDefs::SaveToStream(Stream);
  for (const auto& Item : FItems) {
    const auto& Def = static_cast<const TTolvanConstraintDef&>(*Item);
    WriteStreamValue<uint8_t>(Stream, Def.ConstraintType(), 10219);
    Def.SaveToStream(Stream);
  }
}

TTolvanConstraintDef& TTolvanConstraintDefs::Items(int32_t Position) const {
  return static_cast<TTolvanConstraintDef&>(TTolvanMetaObjectDefs::Items(Position));
}

bool TTolvanConstraintDefs::HasUpdateActions() const {
  if (!FHasActions)
    return false;
  for (const auto& Item : FItems)
    if (const auto* Action = dynamic_cast<const TTolvanConstraintDefForeignKeyAction*>(Item.get()))
      if (Action->ConstraintType() == tctForeignKeyAction && Action->OnUpdate() != tfaNoAction)
        return true;
  return false;
}

bool TTolvanConstraintDefs::HasDeleteActions() const {
  if (!FHasActions)
    return false;
  for (const auto& Item : FItems)
    if (const auto* Action = dynamic_cast<const TTolvanConstraintDefForeignKeyAction*>(Item.get()))
      if (Action->ConstraintType() == tctForeignKeyAction && Action->OnDelete() != tfaNoAction)
        return true;
  return false;
}

// --- TTolvanSequenceDefs ------------------------------------------------------------------------

void TTolvanSequenceDefs::CheckKind(const TTolvanMetaObjectDef& Def) const {
  CheckClass<TTolvanSequenceDef>(Def);
}

TTolvanSequenceDef& TTolvanSequenceDefs::AddNew() {
  auto Def = std::make_unique<TTolvanSequenceDef>();
  TTolvanSequenceDef& Ref = *Def;
  Add(std::move(Def));
  return Ref;
}

TTolvanSequenceDef& TTolvanSequenceDefs::Items(int32_t Position) const {
  return static_cast<TTolvanSequenceDef&>(TTolvanMetaObjectDefs::Items(Position));
}

} // namespace tolvan
