#include "storage/TolvanForeignKeys.h"

#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanConstraintManager.h"
#include "storage/TolvanRecordBitmap.h"
#include "storage/TolvanScans.h"

namespace tolvan {

namespace {

bool IsSelfReference(const TTolvanTableData& Table,
                     const TTolvanConstraintDefForeignKeyAction& Def) {
  return AnsiSameText(Def.Table().Name(), Table.TableName());
}

bool IsReference(const TTolvanConstraintDef& Def) noexcept {
  return Def.ConstraintType() == tctForeignKey || Def.ConstraintType() == tctForeignKeyAction;
}

const TTolvanFieldDefs& FieldsOf(const TTolvanTableData& Table) {
  static const TTolvanFieldDefs None;
  const TTolvanFieldDefs* Defs = Table.FieldDefs();
  return Defs ? *Defs : None;
}

const TTolvanIndexDefs& IndexesOf(const TTolvanTableData& Table) {
  static const TTolvanIndexDefs None;
  return Table.IndexManager() ? Table.IndexManager()->IndexDefs() : None;
}

// Holds a side cursor: closed on the way out, where a failure to close is dropped (a failure
// already passing on is the one that counts, and a parent test or a rename has done its work).
class TSideHold {
public:
  TSideHold() = default;
  explicit TSideHold(std::unique_ptr<TTolvanSideCursor> Side) : FSide(std::move(Side)) {}
  ~TSideHold() { Release(); }
  TSideHold(TSideHold&&) noexcept = default;
  TSideHold& operator=(TSideHold&&) = delete;
  TSideHold(const TSideHold&) = delete;
  TSideHold& operator=(const TSideHold&) = delete;

  TTolvanSideCursor* operator->() const noexcept { return FSide.get(); }
  void Release() noexcept {
    std::unique_ptr<TTolvanSideCursor> Side = std::move(FSide);
    if (!Side)
      return;
    try {
      Side->Close();
    } catch (...) {
      // Dropped, as above.
    }
  }

private:
  std::unique_ptr<TTolvanSideCursor> FSide;
};

// Lends a cursor another record buffer; the cursor's own buffer and position come back on every
// way out.
class TBufferLoan {
public:
  TBufferLoan(TTolvanCursor& Cursor, uint8_t* Buffer)
      : FCursor(Cursor), FBuffer(Cursor.RecordBuffer()), FPosition(Cursor.SavePosition()) {
    Cursor.SetRecordBuffer(Buffer);
  }
  ~TBufferLoan() {
    FCursor.SetRecordBuffer(FBuffer);
    FCursor.RestorePosition(FPosition);
  }
  TBufferLoan(const TBufferLoan&) = delete;
  TBufferLoan& operator=(const TBufferLoan&) = delete;

private:
  TTolvanCursor& FCursor;
  uint8_t* FBuffer;
  TTolvanCursorPosition FPosition;
};

// A record buffer of a cursor's layout, freed on the way out.
class TRecordBuffer {
public:
  explicit TRecordBuffer(TTolvanCursor& Cursor) : FBuffer(Cursor.AllocRecordBuffer()) {}
  ~TRecordBuffer() { TTolvanCursor::FreeRecordBuffer(FBuffer); }
  TRecordBuffer(const TRecordBuffer&) = delete;
  TRecordBuffer& operator=(const TRecordBuffer&) = delete;
  uint8_t* get() const noexcept { return FBuffer; }

private:
  uint8_t* FBuffer;
};

// Checks Key of the child table Table against a parent definition set.
void ValidateAgainst(std::string_view TableName, const TTolvanFieldDefs& Fields,
                     const TTolvanConstraintDefForeignKey& Key,
                     const TTolvanFieldDefs& ParentFields, const TTolvanIndexDefs& ParentIndexes) {
  const AnsiString Parent = Key.Table().Name();
  const AnsiString Child(TableName);
  const TTolvanIndexDef* Primary = ParentIndexes.FindPrimary();
  if (!Primary)
    throw ETolvanException::CreateFmt(ErrForeignKeyNoPrimaryKey, SForeignKeyNoPrimaryKey,
                                      Key.Name(), Child, Parent);
  if (size_t(Primary->ColumnCount()) != Key.Columns().size())
    throw ETolvanException::CreateFmt(ErrForeignKeyFieldCount, SForeignKeyFieldCountMismatch,
                                      Key.Name(), Child, Parent);
  for (size_t I = 0; I < Key.Columns().size(); ++I) {
    const AnsiString& Name = Key.Columns()[I].Name();
    const TTolvanFieldDef* Field = Fields.FindByName(Name);
    if (!Field)
      throw ETolvanException::CreateFmt(ErrForeignKeyFieldMissing, SForeignKeyFieldMissing,
                                        Key.Name(), Child, Name);
    const AnsiString& PrimaryName = Primary->Columns(int32_t(I)).Name();
    const TTolvanFieldDef* PrimaryField = ParentFields.FindByName(PrimaryName);
    if (!PrimaryField)
      throw ETolvanException::CreateFmt(ErrForeignKeyPrimaryFieldMissing,
                                        SForeignKeyPrimaryFieldMissing, Key.Name(), Child,
                                        PrimaryName, Parent);
    if (CommonValueType(Field->BaseType(), PrimaryField->BaseType()) == tvtNone ||
        !IsScalarFieldType(Field->FieldType()) || !IsScalarFieldType(PrimaryField->FieldType()))
      throw ETolvanException::CreateFmt(ErrForeignKeyTypesMismatch, SForeignKeyTypesMismatch,
                                        Key.Name(), Child, Field->Name(), PrimaryField->Name(),
                                        Parent);
  }
}

// The parent search of one child record: Child's record buffer holds the record, Parent is a
// cursor on ParentTable that sees every record. True when no parent that stays is stored.
bool ParentMissingFor(TTolvanCursor& Child, TTolvanTableData& ParentTable, TTolvanCursor& Parent,
                      const TTolvanIndexDef& Primary, const TTolvanConstraintDefForeignKey& Key,
                      TTolvanExpression& Search) {
  Search.BuildFromIndexKey(&Parent, Child, Primary, Key);
  TTolvanRecordID Found{-1, 0};
  if (!ParentTable.Search(Parent, &Search, nullptr, true, true, &Found, nullptr, true))
    return true;
  if (!RecordPlannedForDeletion(ParentTable, Found))
    return false;
  // A key over part of the primary key may have more parents; one that stays is enough.
  TTolvanRecordBitmap All(&ParentTable);
  TTolvanRecordID Any{-1, 0};
  ParentTable.Search(Parent, &Search, nullptr, true, true, &Any, &All, false);
  for (const TTolvanRecordID& ID : All.IDs())
    if (!RecordPlannedForDeletion(ParentTable, ID))
      return false;
  return true;
}

// The parent's primary index as the parent test needs it (11424, 11425).
const TTolvanIndexDef& PrimaryForCheck(const TTolvanTableData& Table,
                                       const TTolvanConstraintDefForeignKey& Key,
                                       const TTolvanIndexDefs& ParentIndexes) {
  const TTolvanIndexDef* Primary = ParentIndexes.FindPrimary();
  if (!Primary)
    throw ETolvanException::CreateFmt(ErrCheckForeignKeyNoPrimaryKey, SCheckForeignKeyNoPrimaryKey,
                                      Key.Name(), Table.TableName(), Key.Table().Name());
  if (size_t(Primary->ColumnCount()) < Key.Columns().size())
    throw ETolvanException::CreateFmt(ErrCheckForeignKeyColumnCount,
                                      SCheckForeignKeyInvalidColumnCount, Key.Name(),
                                      Table.TableName(), Primary->Name(), Key.Table().Name());
  return *Primary;
}

std::string MessageOf(std::exception_ptr Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const Exception& E) {
    return E.Message();
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "unknown error";
  }
}

// A side cursor on Key's parent for the parent test; a failure to open becomes 11423.
TSideHold OpenParent(TTolvanTableData& Table, TTolvanCursor& Child,
                     const TTolvanConstraintDefForeignKey& Key) {
  try {
    return TSideHold(OpenSideCursor(Child.Session(), Child.InMemory() || Table.IsMemory(),
                                    Key.Table().Name(), false));
  } catch (...) {
    throw ETolvanException::CreateFmt(ErrCheckForeignKeyOpenParent, SCheckForeignKeyCannotOpenTable,
                                      Key.Name(), Table.TableName(),
                                      MessageOf(std::current_exception()));
  }
}

// The other tables have dropped the temporary prefix from their halves of the keys between them
// and Table; Table's halves drop it too, so that each half still names its partner. The halves
// of a self-reference were handled with the rename. Every new name is made before any changes.
void StripOwnTemporaryNames(TTolvanTableData& Table, std::string_view OldName,
                            std::string_view NewName) {
  TTolvanBaseConstraintManager* Manager = Table.ConstraintManager();
  if (!Manager)
    return;
  struct TRename {
    TTolvanConstraintDefForeignKeyAction* Def;
    AnsiString Name;
    AnsiString Partner;
  };
  std::vector<TRename> Renames;
  TTolvanConstraintDefs& Defs = Manager->ConstraintDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    if (!IsReference(Defs.Items(I)))
      continue;
    auto& Ref = static_cast<TTolvanConstraintDefForeignKeyAction&>(Defs.Items(I));
    if (AnsiSameText(Ref.Table().Name(), OldName) || AnsiSameText(Ref.Table().Name(), NewName))
      continue;
    Renames.push_back(
        {&Ref, StripTemporaryFKName(Ref.Name()), StripTemporaryFKName(Ref.Partner().Name())});
  }
  for (TRename& R : Renames) {
    R.Def->SetName(R.Name);
    R.Def->Partner().SetName(R.Partner);
  }
}

} // namespace

// --- validation and set-up
// ------------------------------------------------------------------------

void ValidateForeignKey(TTolvanTableData& Table, const TTolvanConstraintDefForeignKey& Key,
                        TTolvanCursor& Parent) {
  ValidateAgainst(Table.TableName(), FieldsOf(Table), Key, Parent.FieldDefs(),
                  Parent.GetIndexDefs());
}

void ValidateNewTableForeignKeys(TTolvanBaseSession* Session, bool InMemory,
                                 std::string_view TableName, const TTolvanFieldDefs& Fields,
                                 const TTolvanIndexDefs& Indexes,
                                 const TTolvanConstraintDefs& Keys) {
  for (int32_t I = 0; I < Keys.Count(); ++I) {
    if (Keys.Items(I).ConstraintType() != tctForeignKey)
      continue;
    const auto& Key = static_cast<const TTolvanConstraintDefForeignKey&>(Keys.Items(I));
    if (AnsiSameText(Key.Table().Name(), TableName)) {
      ValidateAgainst(TableName, Fields, Key, Fields, Indexes);
      continue;
    }
    TSideHold Parent(OpenSideCursor(Session, InMemory, Key.Table().Name(), false));
    ValidateAgainst(TableName, Fields, Key, Parent->Cursor().FieldDefs(),
                    Parent->Cursor().GetIndexDefs());
  }
}

void SetupForeignKeys(TTolvanTableData& Table, TTolvanCursor& Cursor, TTolvanConstraintDefs& Keys) {
  struct TParent {
    AnsiString Name;
    TSideHold Side;
  };
  struct TAdded {
    TTolvanTableData* Parent;
    AnsiString Action;
  };
  std::vector<TParent> Parents;
  std::vector<TAdded> Added;
  try {
    for (int32_t I = 0; I < Keys.Count(); ++I) {
      if (Keys.Items(I).ConstraintType() != tctForeignKey)
        continue;
      auto& Key = static_cast<TTolvanConstraintDefForeignKey&>(Keys.Items(I));
      TTolvanTableData* Parent = &Table;
      if (IsSelfReference(Table, Key)) {
        // The new table is not open yet: its own definitions stand for the parent's.
        ValidateAgainst(Table.TableName(), FieldsOf(Table), Key, FieldsOf(Table), IndexesOf(Table));
      } else {
        TParent* Found = nullptr;
        for (TParent& P : Parents)
          if (AnsiSameText(P.Name, Key.Table().Name()))
            Found = &P;
        if (!Found) {
          Parents.push_back(
              {Key.Table().Name(),
               TSideHold(OpenSideCursor(Cursor.Session(), Cursor.InMemory() || Table.IsMemory(),
                                        Key.Table().Name(), true))});
          Found = &Parents.back();
        }
        ValidateAgainst(Table.TableName(), FieldsOf(Table), Key, Found->Side->Cursor().FieldDefs(),
                        Found->Side->Cursor().GetIndexDefs());
        Parent = &Found->Side->TableData();
      }
      TTolvanTableLock Lock(*Parent);
      TTolvanConstraintDefForeignKeyAction& Action =
          TTolvanBaseConstraintManager::MakeForeignKeyAction(Parent->EnsureConstraintManager(), Key,
                                                             Table.TableName(), -1);
      Added.push_back({Parent, Action.Name()});
      Key.Partner() = TTolvanObjectRef(Action.Name(), Action.ObjectID());
    }
  } catch (...) {
    // A refused table leaves its parents as they were.
    for (auto It = Added.rbegin(); It != Added.rend(); ++It) {
      TTolvanTableLock Lock(*It->Parent);
      TTolvanConstraintDefs& Defs = It->Parent->ConstraintManager()->ConstraintDefs();
      const int32_t Position = Defs.IndexOfName(It->Action);
      if (Position >= 0)
        Defs.Delete(Position);
    }
    throw;
  }
  const int32_t SessionID = SessionIDOf(&Cursor);
  for (TParent& P : Parents) {
    try {
      P.Side->TableData().ForeignKeyAdded(SessionID);
    } catch (...) {
      // The keys stand; the hook's failure changes nothing of that.
    }
    P.Side.Release();
  }
}

void CheckExistingRows(TTolvanTableData& Table, TTolvanCursor& Child, TTolvanCursor&,
                       const TTolvanConstraintDefForeignKey& Key) {
  if (!Table.RecordManager() || Table.GetTotalRecordCount() == 0)
    return;
  // A parent cursor of its own: the caller's may be this very cursor, filtered or ranged, and
  // a parent it hides still counts.
  TSideHold Parent = OpenParent(Table, Child, Key);
  TTolvanCursor& ParentCursor = Parent->Cursor();
  const TTolvanIndexDef& Primary = PrimaryForCheck(Table, Key, ParentCursor.IndexDefs());

  TRecordBuffer Fresh(Child);
  TBufferLoan Loan(Child, Fresh.get());
  Child.SetToBegin();
  TTolvanExpression Search;
  const int32_t SessionID = SessionIDOf(&Child);
  TTolvanNavState S;
  S.SessionID = SessionID;
  S.Buffer = Fresh.get();
  S.Mode = rmNext;
  S.IndexID = -1;
  S.AtBegin = 1;
  // Every stored record, whatever the child cursor shows.
  for (;;) {
    const TTolvanRecordID From = S.RecordID;
    LoadRecord(Table, SessionID, S);
    if (S.Result == rrEndReached)
      break;
    if (S.Result != rrOK)
      throw ETolvanException::CreateFmt(ErrForeignKeyExistingRows, SCannotLoadRecord, From.PageNo,
                                        From.PageItemNo, Table.TableName());
    S.AtBegin = 0;
    bool Invalid = false;
    const bool NoParentNeeded = ForeignKeyNullState(Table, Key, Fresh.get(), Invalid);
    if (Invalid || (!NoParentNeeded && ParentMissingFor(Child, Parent->TableData(), ParentCursor,
                                                        Primary, Key, Search)))
      throw ETolvanException::CreateFmt(ErrForeignKeyExistingRows, SForeignKeyConstraintViolated,
                                        Key.Name(), Table.TableName());
  }
  Parent.Release();
}

// --- the parent test
// ------------------------------------------------------------------------------

bool ForeignKeyNullState(const TTolvanTableData& Table, const TTolvanConstraintDefForeignKey& Key,
                         const uint8_t* Buffer, bool& Invalid) {
  const TTolvanFieldDefs& Fields = FieldsOf(Table);
  const uint8_t Match = Key.MatchType();
  if (Match > 2)
    throw ETolvanException::CreateFmt(ErrCheckForeignKeyMatchType, SCheckForeignKeyInvalidMatchType,
                                      Key.Name(), Table.TableName(), int32_t(Match));
  int32_t Nulls = 0;
  const int32_t Count = int32_t(Key.Columns().size());
  for (int32_t I = 0; I < Count; ++I) {
    const int32_t ObjectID = Key.Columns()[size_t(I)].ObjectID();
    const int32_t FieldNo = Fields.IndexOfID(ObjectID);
    if (FieldNo < 0)
      throw ETolvanException::CreateFmt(ErrCheckForeignKeyColumn, SCheckForeignKeyInvalidColumn,
                                        Key.Name(), Table.TableName(), I, ObjectID);
    if (IsFieldNull(Buffer, FieldNo)) {
      ++Nulls;
      if (Match == 0)
        return true;
    } else if (Match == 2) {
      return false;
    }
  }
  if (Match == 1 && Nulls != 0 && Nulls != Count)
    Invalid = true;
  return Nulls == Count;
}

bool CheckForeignKeyParent(TTolvanTableData& Table, TTolvanCursor& Child, int32_t,
                           const TTolvanConstraintDefForeignKey& Key, const uint8_t* Buffer) {
  bool Invalid = false;
  const bool NoParentNeeded = ForeignKeyNullState(Table, Key, Buffer, Invalid);
  if (Invalid)
    return true;
  if (NoParentNeeded)
    return false;
  TSideHold Parent = OpenParent(Table, Child, Key);
  TTolvanCursor& ParentCursor = Parent->Cursor();
  const TTolvanIndexDef& Primary = PrimaryForCheck(Table, Key, ParentCursor.IndexDefs());
  TTolvanExpression Search;
  bool Missing;
  {
    // The key's values are read through the child cursor; the buffer is only read.
    TBufferLoan Loan(Child, const_cast<uint8_t*>(Buffer));
    Missing = ParentMissingFor(Child, Parent->TableData(), ParentCursor, Primary, Key, Search);
  }
  Parent.Release();
  return Missing;
}

// --- renaming
// -------------------------------------------------------------------------------------

void RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor* Cursor,
                                std::string_view OldName, std::string_view NewName) {
  std::vector<AnsiString> Others;
  if (const TTolvanBaseConstraintManager* Manager = Table.ConstraintManager()) {
    const TTolvanConstraintDefs& Defs = Manager->ConstraintDefs();
    for (int32_t I = 0; I < Defs.Count(); ++I) {
      const TTolvanConstraintDef& Def = Defs.Items(I);
      if (!IsReference(Def))
        continue;
      const AnsiString& Other =
          static_cast<const TTolvanConstraintDefForeignKeyAction&>(Def).Table().Name();
      if (AnsiSameText(Other, Table.TableName()) || AnsiSameText(Other, OldName))
        continue;
      bool Seen = false;
      for (const AnsiString& Name : Others)
        Seen = Seen || AnsiSameText(Name, Other);
      if (!Seen)
        Others.push_back(Other);
    }
  }
  const int32_t SessionID = SessionIDOf(Cursor);
  const bool InMemory = (Cursor && Cursor->InMemory()) || Table.IsMemory();
  std::vector<TSideHold> Sides;
  Sides.reserve(Others.size());
  for (const AnsiString& Other : Others)
    Sides.emplace_back(OpenSideCursor(Cursor ? Cursor->Session() : nullptr, InMemory, Other, true));
  for (TSideHold& Side : Sides)
    Side->TableData().RenameReferencedTable(SessionID, OldName, NewName);
  Table.RenameReferencedTable(SessionID, OldName, NewName);
  StripOwnTemporaryNames(Table, OldName, NewName);
}

AnsiString StripTemporaryFKName(std::string_view Name) {
  const size_t Length = TemporaryFKPrefix.size();
  if (Name.size() < Length || !AnsiSameText(Name.substr(0, Length), TemporaryFKPrefix))
    return AnsiString(Name);
  if (Name.size() == Length)
    throw ETolvanException::CreateFmt(ErrForeignKeyTemporaryName, SInvalidForeignKeyTemporaryName,
                                      Name);
  return AnsiString(Name.substr(Length));
}

// --- registration
// ---------------------------------------------------------------------------------

void TTolvanForeignKeys::ValidateForeignKey(TTolvanTableData& Table,
                                            TTolvanConstraintDefForeignKey& Key,
                                            TTolvanCursor& Parent) {
  tolvan::ValidateForeignKey(Table, Key, Parent);
}

void TTolvanForeignKeys::CheckExistingRows(TTolvanTableData& Table, TTolvanCursor& Child,
                                           TTolvanCursor& Parent,
                                           const TTolvanConstraintDefForeignKey& Key) {
  tolvan::CheckExistingRows(Table, Child, Parent, Key);
}

bool TTolvanForeignKeys::CheckForeignKeyParent(TTolvanTableData& Table, TTolvanCursor& Child,
                                               int32_t SessionID,
                                               const TTolvanConstraintDefForeignKey& Key,
                                               const uint8_t* Buffer) {
  return tolvan::CheckForeignKeyParent(Table, Child, SessionID, Key, Buffer);
}

void TTolvanForeignKeys::RenameForeignKeyReferences(TTolvanTableData& Table, TTolvanCursor* Cursor,
                                                    std::string_view OldName,
                                                    std::string_view NewName) {
  tolvan::RenameForeignKeyReferences(Table, Cursor, OldName, NewName);
}

AnsiString TTolvanForeignKeys::StripTemporaryFKName(std::string_view Name) {
  return tolvan::StripTemporaryFKName(Name);
}

void TTolvanForeignKeys::ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor,
                                                int32_t SessionID, bool OnDelete) {
  tolvan::ApplyForeignKeyActions(Table, Cursor, SessionID, OnDelete);
}

void RegisterForeignKeys() {
  static TTolvanForeignKeys Instance;
  // Routines a program (or a test) put in place stay.
  if (TTolvanForeignKeyRoutines* Previous = RegisterForeignKeyRoutines(&Instance))
    RegisterForeignKeyRoutines(Previous);
}

} // namespace tolvan
