// TolvanForeignKeyActions.cpp: the referential actions a parent record's delete or key update runs
// in the tables that reference it, as one cascade operation in two phases.
//
// The operation belongs to the outermost delete or key update that runs actions (one record of
// the memory engine, or each record of a bulk operation). It runs under the database's write
// gate and is known to the calling thread for its whole length, so a write the operation makes
// itself, which reaches the same entry point again, joins it instead of starting another.
//
//   Plan: a worklist of items (table, record id, delete or update, the record as stored and, for
//   an update, its new values), starting with the record being changed, and a set of every
//   (table, record id) already listed. Each item visits its table's action definitions in
//   definition order (an update whose primary key does not change has none): the children are
//   found by the old key; restrict with children raises 11454 / 11455, an action above 4 raises
//   11456; a cascading delete lists each child as a delete item; set null, set default and a
//   cascading update merge the child's new key values into its item (a delete wins) and check
//   the child as a write would (foreign keys skipped when every value came from a cascade); a
//   child whose own primary key changes has its actions planned in turn. Nothing is written.
//   Apply: the planned updates (each checked again: only now can two of them collide), then the
//   planned deletes, each through the child table's own record operations; a record already
//   gone is skipped. The record the operation started from is left to its caller; when the
//   operation gave it new values of its own (a record that references itself), they are copied
//   into the caller's record buffer.
//
// While the operation runs, a parent test of the same thread treats a record it plans to delete,
// or whose primary key it plans to change, as absent (RecordPlannedForDeletion), so nothing may
// come to reference a key that is about to go.
//
// KeyChanged, FindChildRecords and SetChildKeys (TolvanForeignKeys.h) are the operation's parts.
//
// A failure while planning changes nothing. A failure while applying (two planned updates
// colliding on a unique key, memory running out) stops the operation and leaves the writes made
// so far; the caller's own record stays unchanged.
//
// Nothing recurses: a self-referencing chain of any depth, a row that references itself and
// tables that cascade into each other are handled by the worklist and its set.
//
// Threads: the caller holds the write gate of the table's database or may take it (it holds no
// table lock, or holds the gate already); the operation takes each table's lock only around its
// own reads, and opens one side cursor per table for its whole length.
#include "storage/TolvanForeignKeys.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanScans.h"
#include "storage/TolvanSearch.h"

namespace tolvan {

namespace {

// An item whose key keeps changing is planned again each time; key changes that feed each other
// without settling would never end, so past this many plannings of one record the operation
// gives up before anything is written.
constexpr int32_t MaxPlanningsPerItem = 64;

constexpr size_t NoImage = size_t(-1);

const TTolvanIndexDef* PrimaryOf(const TTolvanTableData& Table) {
  const TTolvanBaseIndexManager* Indexes = Table.IndexManager();
  return Indexes ? Indexes->IndexDefs().FindPrimary() : nullptr;
}

const TTolvanFieldDefs& FieldsOf(const TTolvanTableData& Table) {
  const TTolvanFieldDefs* Fields = Table.FieldDefs();
  if (!Fields)
    throw ETolvanException::Create(ErrLoadRecordNoBuffer, SNilPointerOccurred);
  return *Fields;
}

// The value of column FieldNo of Buffer (laid out by Fields), copied; never a BLOB column.
void ReadColumn(const TTolvanFieldDefs& Fields, int32_t FieldNo, const uint8_t* Buffer,
                TTolvanVariant& Value) {
  const TTolvanFieldDef& Def = Fields.Items(FieldNo);
  if (IsFieldNull(Buffer, FieldNo) || Def.IsBlob()) {
    Value.Clear(Def.BaseType());
    return;
  }
  Value.SetBuffer(const_cast<uint8_t*>(Buffer) + Def.BufferOffset(), Def.DataSize(), Def.BaseType(),
                  true, false);
}

// Buffers handed to a cursor for one step and given back on every exit.
class TCursorBuffers {
public:
  TCursorBuffers(TTolvanCursor& Cursor, uint8_t* Record, uint8_t* Before) noexcept
      : FCursor(Cursor), FRecord(Cursor.RecordBuffer()), FBefore(Cursor.BeforeImage()) {
    Cursor.SetRecordBuffer(Record);
    Cursor.SetBeforeImage(Before);
  }
  ~TCursorBuffers() {
    FCursor.SetRecordBuffer(FRecord);
    FCursor.SetBeforeImage(FBefore);
  }
  TCursorBuffers(const TCursorBuffers&) = delete;
  TCursorBuffers& operator=(const TCursorBuffers&) = delete;

private:
  TTolvanCursor& FCursor;
  uint8_t* FRecord;
  uint8_t* FBefore;
};

// The new values of a child's key columns under one action, computed once for all the children
// of a parent: the child's field numbers and the values, already of the columns' types.
struct TChildKeyValues {
  std::vector<int32_t> FieldNos;
  std::vector<std::unique_ptr<TTolvanVariant>> Values;
};

void ComputeChildKeys(const TTolvanTableData& Child, const TTolvanTableData& Parent,
                      const TTolvanConstraintDefForeignKeyAction& Action,
                      TTolvanForeignKeyAction Kind, const uint8_t* ParentBuffer,
                      TChildKeyValues& Keys) {
  Keys.FieldNos.clear();
  Keys.Values.clear();
  if (Kind < tfaCascade || Kind > tfaSetDefault)
    throw ETolvanException::CreateFmt(ErrSetChildInvalidAction, SInvalidForeignKeyAction,
                                      int32_t(Kind), Parent.TableName(), Action.Partner().Name(),
                                      Child.TableName());
  const TTolvanIndexDef* Primary = nullptr;
  if (Kind == tfaCascade) {
    Primary = PrimaryOf(Parent);
    if (!Primary || Primary->ColumnCount() < int32_t(Action.Columns().size()))
      throw ETolvanException::CreateFmt(ErrSetChildNoPrimaryKey, SCheckForeignKeyNoPrimaryKey,
                                        Action.Partner().Name(), Child.TableName(),
                                        Parent.TableName());
  }
  const TTolvanFieldDefs& Fields = FieldsOf(Child);
  for (size_t I = 0; I < Action.Columns().size(); ++I) {
    const AnsiString& Name = Action.Columns()[I].Name();
    const int32_t FieldNo = Fields.IndexOfName(Name);
    if (FieldNo < 0)
      throw ETolvanException::CreateFmt(ErrSetChildFieldMissing, SForeignKeyFieldMissing,
                                        Action.Partner().Name(), Child.TableName(), Name);
    const TTolvanFieldDef& Field = Fields.Items(FieldNo);
    auto Value = std::make_unique<TTolvanVariant>();
    if (Kind == tfaSetDefault) {
      Value->Assign(Field.DefaultValue(), true);
    } else if (Kind == tfaCascade) {
      const TTolvanFieldDefs& ParentFields = FieldsOf(Parent);
      const AnsiString& ParentName = Primary->Columns(int32_t(I)).Name();
      const int32_t ParentNo = ParentFields.IndexOfName(ParentName);
      if (ParentNo < 0)
        throw ETolvanException::CreateFmt(ErrSetChildPrimaryFieldMissing, SForeignKeyFieldMissing,
                                          Action.Partner().Name(), Parent.TableName(), ParentName);
      ReadColumn(ParentFields, ParentNo, ParentBuffer, *Value);
    }
    if (Value->IsNull())
      Value->Clear(Field.BaseType());
    else if (Field.IsBlob())
      throw ETolvanException::CreateFmt(ErrSetBlobValueTableFieldNo, SSettingBlobValueNotAllowed,
                                        FieldNo, Child.TableName());
    else
      Value->CastTo(Field.BaseType());
    Keys.FieldNos.push_back(FieldNo);
    Keys.Values.push_back(std::move(Value));
  }
}

void WriteChildKeys(const TTolvanTableData& Child, const TChildKeyValues& Keys,
                    uint8_t* ChildBuffer) {
  const TTolvanFieldDefs& Fields = FieldsOf(Child);
  for (size_t I = 0; I < Keys.FieldNos.size(); ++I) {
    const TTolvanVariant& Value = *Keys.Values[I];
    if (Value.IsNull())
      SetFieldNull(ChildBuffer, Keys.FieldNos[I], true);
    else
      WriteFieldData(Keys.FieldNos[I], Fields, Value.Data(), Value.DataSize(), ChildBuffer);
  }
}

} // namespace

// --- the parts of an action ---------------------------------------------------------------------

bool KeyChanged(TTolvanTableData& Table, const uint8_t* Buffer, const uint8_t* OldBuffer) {
  const TTolvanIndexDef* Primary = PrimaryOf(Table);
  if (!Primary || !Buffer || !OldBuffer)
    return false;
  TTolvanTableLock Lock(Table);
  return Table.IndexManager()
             ->GetIndex(Primary->ObjectID())
             .CompareRecordKeys(Buffer, OldBuffer, Primary->ColumnCount()) != 0;
}

bool FindChildRecords(TTolvanCursor& Child, TTolvanTableData& Parent,
                      const TTolvanConstraintDefForeignKeyAction& Action,
                      const uint8_t* ParentBuffer) {
  const TTolvanIndexDef* Primary = PrimaryOf(Parent);
  if (!Primary)
    throw ETolvanException::CreateFmt(ErrFindChildNoPrimaryKey, SCheckForeignKeyNoPrimaryKey,
                                      Action.Partner().Name(), Child.TableName(),
                                      Parent.TableName());
  if (Primary->ColumnCount() < int32_t(Action.Columns().size()))
    throw ETolvanException::CreateFmt(ErrFindChildColumnCount, SCheckForeignKeyInvalidColumnCount,
                                      Action.Partner().Name(), Child.TableName(), Primary->Name(),
                                      Parent.TableName());
  const TTolvanFieldDefs& ParentFields = FieldsOf(Parent);
  // MATCH PARTIAL compares NULLs too; otherwise a NULL in the parent's key equals nothing, and
  // such a parent has no children at all (skipping the column would take in the children of
  // every parent sharing the other columns).
  const bool KeepNull = Action.MatchType() == 2;
  std::vector<TTolvanExprNodePtr> Conjuncts;
  Conjuncts.reserve(Action.Columns().size());
  bool NullKey = false;
  for (size_t I = 0; I < Action.Columns().size(); ++I) {
    const int32_t ParentNo = ParentFields.IndexOfName(Primary->Columns(int32_t(I)).Name());
    if (ParentNo < 0)
      throw ETolvanException::CreateFmt(ErrSetChildPrimaryFieldMissing, SForeignKeyFieldMissing,
                                        Action.Partner().Name(), Parent.TableName(),
                                        Primary->Columns(int32_t(I)).Name());
    TTolvanVariant Value;
    ReadColumn(ParentFields, ParentNo, ParentBuffer, Value);
    if (Value.IsNull() && !KeepNull) {
      NullKey = true;
      break;
    }
    auto Constant = std::make_unique<TTolvanExprNodeConst>(false, false);
    Constant->SetValue(Value);
    auto Field = std::make_unique<TTolvanExprNodeField>(&Child, Action.Columns()[I].Name(), "");
    Conjuncts.push_back(std::make_unique<TTolvanExprNodeComparison>(
        eoEqual, std::move(Field), std::move(Constant), KeepNull, false, false));
  }
  if (NullKey || Conjuncts.empty()) {
    Child.SetExternalFilter(nullptr);
    return true;
  }
  TTolvanExprNodePtr Root;
  if (Conjuncts.size() == 1) {
    Root = std::move(Conjuncts.front());
  } else {
    Root = std::make_unique<TTolvanExprNodeBoolean>(eoAnd, true, false);
    for (TTolvanExprNodePtr& C : Conjuncts)
      Root->AddChild(std::move(C));
  }
  auto Filter = TTolvanExpression::CreateWithRoot(std::move(Root));
  Filter->SetKeepNullCodes(KeepNull);
  Filter->SetCaseInsensitive(false);
  Filter->SetPartialCompare(false);
  Child.SetExternalFilter(std::move(Filter));
  // The count builds the result set of the children.
  if (Child.GetRecordCount() <= 0)
    return true;
  const TTolvanRecordBitmap* Set = Child.ResultBitmap();
  return !Set || !Set->Filled() || Set->Count() == 0;
}

void SetChildKeys(TTolvanTableData& Child, TTolvanTableData& Parent,
                  const TTolvanConstraintDefForeignKeyAction& Action, TTolvanForeignKeyAction Kind,
                  const uint8_t* ParentBuffer, uint8_t* ChildBuffer) {
  TChildKeyValues Keys;
  ComputeChildKeys(Child, Parent, Action, Kind, ParentBuffer, Keys);
  WriteChildKeys(Child, Keys, ChildBuffer);
}

namespace {

// --- the operation ------------------------------------------------------------------------------

class TCascadeOperation {
public:
  TCascadeOperation(TTolvanTableOwner& Owner, TTolvanBaseSession* Session, int32_t SessionID)
      : FOwner(Owner), FSession(Session), FSessionID(SessionID) {}
  ~TCascadeOperation();
  TCascadeOperation(const TCascadeOperation&) = delete;
  TCascadeOperation& operator=(const TCascadeOperation&) = delete;

  TTolvanTableOwner& Owner() const noexcept { return FOwner; }
  // Whether the operation lists the record (a write of its own reaches the entry again).
  bool Lists(const TTolvanTableData& Table, const TTolvanRecordID& ID) const;
  bool PlansAway(const TTolvanTableData& Table, const TTolvanRecordID& ID) const;
  void Run(TTolvanTableData& Table, TTolvanCursor& Cursor, bool OnDelete);

private:
  struct TTable {
    TTolvanTableData* Table = nullptr;
    std::unique_ptr<TTolvanSideCursor> Side;
    // Bytes of one record image: the side cursor's record size.
    size_t Size = 0;
    // Bytes the table stores of a record (null bitmap and columns).
    size_t StoredSize = 0;
    int32_t PrimaryID = -1;
    // The record images of the table's items, end to end.
    std::vector<uint8_t> Images;
    // Record id (as the table numbers it) -> item.
    std::unordered_map<int64_t, int32_t> Items;
    // The images of the item being planned, and a buffer for one step.
    std::vector<uint8_t> New, Old, Work;
  };
  struct TItem {
    int32_t TableNo = 0;
    TTolvanRecordID ID{};
    bool Delete = false;
    // Offsets into the table's images: the record as stored, and the new values of an update.
    size_t Old = NoImage;
    size_t New = NoImage;
    bool KeyChanged = false;
    bool Queued = false;
    // Some column took a value from an action.
    bool Merged = false;
    // Every value came from a cascade: the foreign keys are not checked.
    bool SkipForeignKeys = true;
    int32_t Plannings = 0;
  };

  TTable& TableByName(std::string_view Name);
  int32_t TableNoOf(TTolvanTableData& Table);
  int32_t AddTable(TTolvanTableData* Known, std::string_view Name);
  uint8_t* Image(const TItem& Item, size_t Offset) {
    return FTables[size_t(Item.TableNo)]->Images.data() + Offset;
  }
  size_t NewImage(TTable& T);
  bool ReadStored(TTable& T, const TTolvanRecordID& ID, uint8_t* Buffer);
  bool ComputeKeyChanged(TTable& T, const uint8_t* New, const uint8_t* Old);
  void Queue(int32_t ItemNo);

  void Plan(int32_t ItemNo);
  void PlanDelete(int32_t TableNo, const TTolvanRecordID& ID);
  void PlanUpdate(int32_t TableNo, const TTolvanRecordID& ID, TChildKeyValues& Keys, bool Cascade);
  void Check(int32_t ItemNo);
  void Apply();
  void ApplyUpdate(TItem& Item);
  void ApplyDelete(TItem& Item);

  TTolvanTableOwner& FOwner;
  TTolvanBaseSession* FSession;
  int32_t FSessionID;
  std::vector<std::unique_ptr<TTable>> FTables;
  std::vector<TItem> FItems;
  std::vector<int32_t> FWorklist;
  std::vector<TTolvanRecordID> FChildren;
  TChildKeyValues FKeys;
};

thread_local TCascadeOperation* RunningOperation = nullptr;

TCascadeOperation::~TCascadeOperation() {
  // Side cursors close in reverse order of opening; a failure closing one is dropped, the
  // destructor of the side cursor releasing what is left.
  for (auto It = FTables.rbegin(); It != FTables.rend(); ++It) {
    TTable& T = **It;
    if (!T.Side)
      continue;
    try {
      T.Side->Cursor().ReleaseExternalFilter();
      T.Side->Close();
    } catch (...) {
    }
    T.Side.reset();
  }
}

int32_t TCascadeOperation::AddTable(TTolvanTableData* Known, std::string_view Name) {
  auto T = std::make_unique<TTable>();
  T->Side = OpenSideCursor(FSession, Known ? Known->IsMemory() : FTables.front()->Table->IsMemory(),
                           Name, false);
  T->Table = &T->Side->TableData();
  TTolvanCursor& Cursor = T->Side->Cursor();
  T->Size = size_t(std::max(Cursor.RecordSize(), T->Table->RecordSize()));
  T->StoredSize = size_t(T->Table->RecordSize());
  if (const TTolvanIndexDef* Primary = PrimaryOf(*T->Table))
    T->PrimaryID = Primary->ObjectID();
  T->New.assign(T->Size, 0);
  T->Old.assign(T->Size, 0);
  T->Work.assign(T->Size, 0);
  FTables.push_back(std::move(T));
  return int32_t(FTables.size() - 1);
}

int32_t TCascadeOperation::TableNoOf(TTolvanTableData& Table) {
  for (size_t I = 0; I < FTables.size(); ++I)
    if (FTables[I]->Table == &Table)
      return int32_t(I);
  return -1;
}

TCascadeOperation::TTable& TCascadeOperation::TableByName(std::string_view Name) {
  for (const auto& T : FTables)
    if (AnsiSameText(T->Table->TableName(), Name))
      return *T;
  return *FTables[size_t(AddTable(nullptr, Name))];
}

size_t TCascadeOperation::NewImage(TTable& T) {
  const size_t Offset = T.Images.size();
  T.Images.resize(Offset + T.Size);
  return Offset;
}

bool TCascadeOperation::ReadStored(TTable& T, const TTolvanRecordID& ID, uint8_t* Buffer) {
  TTolvanTableLock Lock(*T.Table);
  TTolvanNavState State;
  State.SessionID = FSessionID;
  State.Mode = rmCurrent;
  State.RecordID = ID;
  State.Buffer = Buffer;
  LoadRecord(*T.Table, FSessionID, State);
  return State.Result == rrOK;
}

bool TCascadeOperation::ComputeKeyChanged(TTable& T, const uint8_t* New, const uint8_t* Old) {
  return T.PrimaryID >= 0 && KeyChanged(*T.Table, New, Old);
}

bool TCascadeOperation::Lists(const TTolvanTableData& Table, const TTolvanRecordID& ID) const {
  for (const auto& T : FTables)
    if (T->Table == &Table)
      return T->Items.count(T->Table->RecordIDToInt64(ID)) != 0;
  return false;
}

bool TCascadeOperation::PlansAway(const TTolvanTableData& Table, const TTolvanRecordID& ID) const {
  for (const auto& T : FTables) {
    if (T->Table != &Table)
      continue;
    const auto It = T->Items.find(T->Table->RecordIDToInt64(ID));
    if (It == T->Items.end())
      return false;
    const TItem& Item = FItems[size_t(It->second)];
    return Item.Delete || Item.KeyChanged;
  }
  return false;
}

void TCascadeOperation::Queue(int32_t ItemNo) {
  TItem& Item = FItems[size_t(ItemNo)];
  if (Item.Queued)
    return;
  if (Item.Plannings >= MaxPlanningsPerItem)
    throw ETolvanException::Create(11394, SOperationNotSupported);
  Item.Queued = true;
  FWorklist.push_back(ItemNo);
}

// --- plan ---------------------------------------------------------------------------------------

void TCascadeOperation::Run(TTolvanTableData& Table, TTolvanCursor& Cursor, bool OnDelete) {
  // The starting table is entered by its own side cursor, as every other table.
  FTables.reserve(4);
  AddTable(&Table, Table.TableName());
  TTable& T = *FTables.front();
  TItem Start;
  Start.TableNo = 0;
  Start.ID = Cursor.Position();
  Start.Delete = OnDelete;
  Start.Old = NewImage(T);
  if (!ReadStored(T, Start.ID, T.Images.data() + Start.Old))
    return;
  if (!OnDelete) {
    if (!Cursor.RecordBuffer())
      return;
    Start.New = NewImage(T);
    uint8_t* New = T.Images.data() + Start.New;
    std::memcpy(New, Cursor.RecordBuffer(), T.StoredSize);
    Start.KeyChanged = ComputeKeyChanged(T, New, T.Images.data() + Start.Old);
    // An update that keeps the primary key runs no action at all.
    if (!Start.KeyChanged)
      return;
  }
  T.Items.emplace(Table.RecordIDToInt64(Start.ID), 0);
  FItems.push_back(Start);
  Queue(0);
  // Worklist order is discovery order; an item planned again goes to the back.
  for (size_t Next = 0; Next < FWorklist.size(); ++Next) {
    const int32_t ItemNo = FWorklist[Next];
    FItems[size_t(ItemNo)].Queued = false;
    ++FItems[size_t(ItemNo)].Plannings;
    Plan(ItemNo);
  }

  Apply();

  const TItem& First = FItems.front();
  if (!OnDelete && First.Merged)
    std::memcpy(Cursor.RecordBuffer(), T.Images.data() + First.New, T.StoredSize);
}

void TCascadeOperation::Plan(int32_t ItemNo) {
  const TItem Item = FItems[size_t(ItemNo)];
  TTable& P = *FTables[size_t(Item.TableNo)];
  if (!Item.Delete && !Item.KeyChanged)
    return;
  TTolvanBaseConstraintManager* Constraints = P.Table->ConstraintManager();
  if (!Constraints)
    return;
  // The item's images are copied out: listing children below grows the image arrays.
  std::memcpy(P.Old.data(), P.Images.data() + Item.Old, P.Size);
  std::memcpy(P.New.data(), P.Images.data() + (Item.Delete ? Item.Old : Item.New), P.Size);
  const TTolvanConstraintDefs& Defs = Constraints->ConstraintDefs();
  for (int32_t I = 0; I < Defs.Count(); ++I) {
    if (Defs.Items(I).ConstraintType() != tctForeignKeyAction)
      continue;
    const auto& Def = static_cast<const TTolvanConstraintDefForeignKeyAction&>(Defs.Items(I));
    const TTolvanForeignKeyAction Action = Item.Delete ? Def.OnDelete() : Def.OnUpdate();
    if (Action == tfaNoAction)
      continue;
    TTable& C = TableByName(Def.Table().Name());
    const int32_t ChildNo = TableNoOf(*C.Table);
    // Children are found by the key as stored.
    if (FindChildRecords(C.Side->Cursor(), *P.Table, Def, P.Old.data()))
      continue;
    if (Action == tfaRestrict)
      throw ETolvanException::CreateFmt(Item.Delete ? ErrDeleteRestricted : ErrUpdateRestricted,
                                        Item.Delete ? SCannotDeleteRecordsForeignKeyViolated
                                                    : SCannotUpdateRecordsForeignKeyViolated,
                                        P.Table->TableName(), Def.Partner().Name(),
                                        C.Table->TableName());
    if (Action > tfaNoAction)
      throw ETolvanException::CreateFmt(ErrApplyInvalidAction, SInvalidForeignKeyAction,
                                        int32_t(Action), P.Table->TableName(), Def.Partner().Name(),
                                        C.Table->TableName());
    const TTolvanRecordBitmap& Set = *C.Side->Cursor().ResultBitmap();
    FChildren = Set.IDs();
    if (Item.Delete && Action == tfaCascade) {
      for (const TTolvanRecordID& ID : FChildren)
        PlanDelete(ChildNo, ID);
      continue;
    }
    ComputeChildKeys(*C.Table, *P.Table, Def, Action, P.New.data(), FKeys);
    for (const TTolvanRecordID& ID : FChildren)
      PlanUpdate(ChildNo, ID, FKeys, Action == tfaCascade);
  }
}

void TCascadeOperation::PlanDelete(int32_t TableNo, const TTolvanRecordID& ID) {
  TTable& T = *FTables[size_t(TableNo)];
  const int64_t Key = T.Table->RecordIDToInt64(ID);
  if (const auto It = T.Items.find(Key); It != T.Items.end()) {
    TItem& Item = FItems[size_t(It->second)];
    if (Item.Delete)
      return;
    // A delete wins over values planned before; its own actions are those of a delete now.
    Item.Delete = true;
    Queue(It->second);
    return;
  }
  TItem Item;
  Item.TableNo = TableNo;
  Item.ID = ID;
  Item.Delete = true;
  Item.Old = NewImage(T);
  if (!ReadStored(T, ID, T.Images.data() + Item.Old)) {
    T.Images.resize(Item.Old);
    return;
  }
  const int32_t ItemNo = int32_t(FItems.size());
  FItems.push_back(Item);
  T.Items.emplace(Key, ItemNo);
  Queue(ItemNo);
}

void TCascadeOperation::PlanUpdate(int32_t TableNo, const TTolvanRecordID& ID,
                                   TChildKeyValues& Keys, bool Cascade) {
  TTable& T = *FTables[size_t(TableNo)];
  const int64_t Key = T.Table->RecordIDToInt64(ID);
  int32_t ItemNo;
  bool Created = false;
  if (const auto It = T.Items.find(Key); It != T.Items.end()) {
    ItemNo = It->second;
    if (FItems[size_t(ItemNo)].Delete)
      return;
  } else {
    TItem Item;
    Item.TableNo = TableNo;
    Item.ID = ID;
    Item.Old = NewImage(T);
    if (!ReadStored(T, ID, T.Images.data() + Item.Old)) {
      T.Images.resize(Item.Old);
      return;
    }
    Item.New = NewImage(T);
    std::memcpy(T.Images.data() + Item.New, T.Images.data() + Item.Old, T.Size);
    ItemNo = int32_t(FItems.size());
    FItems.push_back(Item);
    T.Items.emplace(Key, ItemNo);
    Created = true;
  }
  TItem& Item = FItems[size_t(ItemNo)];
  uint8_t* New = T.Images.data() + Item.New;
  std::memcpy(T.Work.data(), New, T.StoredSize);
  WriteChildKeys(*T.Table, Keys, New);
  const bool SkipBefore = Item.SkipForeignKeys;
  Item.Merged = true;
  Item.SkipForeignKeys = Item.SkipForeignKeys && Cascade;
  if (!Created && SkipBefore == Item.SkipForeignKeys &&
      std::memcmp(T.Work.data(), New, T.StoredSize) == 0)
    return;
  Check(ItemNo);
  Item.KeyChanged = ComputeKeyChanged(T, New, T.Images.data() + Item.Old);
  // A key that changes has its own actions planned, with the values it has by then.
  if (Item.KeyChanged)
    Queue(ItemNo);
}

// The item's new values checked as a write of them would be.
void TCascadeOperation::Check(int32_t ItemNo) {
  const TItem& Item = FItems[size_t(ItemNo)];
  TTable& T = *FTables[size_t(Item.TableNo)];
  uint8_t* New = T.Images.data() + Item.New;
  uint8_t* Old = T.Images.data() + Item.Old;
  TTolvanCursor& Cursor = T.Side->Cursor();
  TCursorBuffers Buffers(Cursor, New, Old);
  T.Table->CheckConstraints(Cursor, FSessionID, New, Old, false, Item.ID, Item.SkipForeignKeys);
}

// --- apply --------------------------------------------------------------------------------------

void TCascadeOperation::Apply() {
  for (const auto& T : FTables) {
    T->Side->Cursor().ReleaseExternalFilter();
    T->Side->Cursor().SetToBegin();
  }
  // The first item is the caller's record.
  for (size_t I = 1; I < FItems.size(); ++I)
    if (!FItems[I].Delete && FItems[I].Merged)
      ApplyUpdate(FItems[I]);
  for (size_t I = 1; I < FItems.size(); ++I)
    if (FItems[I].Delete)
      ApplyDelete(FItems[I]);
}

void TCascadeOperation::ApplyUpdate(TItem& Item) {
  TTable& T = *FTables[size_t(Item.TableNo)];
  if (!ReadStored(T, Item.ID, T.Old.data()))
    return;
  std::memcpy(T.New.data(), Image(Item, Item.New), T.Size);
  TTolvanCursor& Cursor = T.Side->Cursor();
  TCursorBuffers Buffers(Cursor, T.New.data(), T.Old.data());
  Cursor.SetPosition(Item.ID);
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  T.Table->CheckConstraints(Cursor, FSessionID, T.New.data(), T.Old.data(), false, Item.ID,
                            Item.SkipForeignKeys);
  if (!T.Table->UpdateRecord(Cursor))
    throw ETolvanException::CreateFmt(ErrUpdateAllLoadRecord, SCannotLoadRecord, Item.ID.PageNo,
                                      Item.ID.PageItemNo, T.Table->TableName());
}

void TCascadeOperation::ApplyDelete(TItem& Item) {
  TTable& T = *FTables[size_t(Item.TableNo)];
  if (!ReadStored(T, Item.ID, T.Work.data()))
    return;
  TTolvanCursor& Cursor = T.Side->Cursor();
  TCursorBuffers Buffers(Cursor, T.Work.data(), nullptr);
  Cursor.SetPosition(Item.ID);
  Cursor.SetBof(false);
  Cursor.SetEof(false);
  T.Table->DeleteRecord(Cursor);
}

// Makes the operation the thread's running one for its life.
class TRunningScope {
public:
  explicit TRunningScope(TCascadeOperation& Operation) noexcept : FPrevious(RunningOperation) {
    RunningOperation = &Operation;
  }
  ~TRunningScope() { RunningOperation = FPrevious; }
  TRunningScope(const TRunningScope&) = delete;
  TRunningScope& operator=(const TRunningScope&) = delete;

private:
  TCascadeOperation* FPrevious;
};

} // namespace

void ApplyForeignKeyActions(TTolvanTableData& Table, TTolvanCursor& Cursor, int32_t SessionID,
                            bool OnDelete) {
  TWriteGateHold Gate(Table.Database().WriteGate());
  if (TCascadeOperation* Running = RunningOperation;
      Running && &Running->Owner() == &Table.Database() && Running->Lists(Table, Cursor.Position()))
    return;
  TCascadeOperation Operation(Table.Database(), Cursor.Session(), SessionID);
  TRunningScope Scope(Operation);
  Operation.Run(Table, Cursor, OnDelete);
}

bool RecordPlannedForDeletion(const TTolvanTableData& Table, const TTolvanRecordID& ID) {
  const TCascadeOperation* Running = RunningOperation;
  return Running && &Running->Owner() == &Table.Database() && Running->PlansAway(Table, ID);
}

} // namespace tolvan
