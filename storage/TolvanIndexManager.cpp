#include "storage/TolvanIndexManager.h"

#include <string>
#include <utility>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

[[noreturn]] void RaiseInvalidPointer() {
  throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
}

TTolvanPageManager& PageManagerOf(TTolvanTableData& TableData) {
  TTolvanPageManager* Manager = TableData.GetPageManager();
  if (!Manager)
    RaiseInvalidPointer();
  return *Manager;
}

// Values of these types have no order a key could follow.
bool HasNoOrder(TTolvanValueType T) noexcept {
  return IsBlobValueType(T) || T == tvtBytes || T == tvtVarBytes;
}

// The session a cursor works for; an operation on behalf of no cursor uses -2.
uint8_t* RecordBufferOf(const TTolvanCursor& Cursor) {
  uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseInvalidPointer();
  return Buffer;
}

} // namespace

// --- TTolvanIndex -------------------------------------------------------------------------------

TTolvanIndex::~TTolvanIndex() = default;

void TTolvanIndex::BuildIndex(TTolvanCursor*, TTolvanIndexDef& Def) {
  auto Copy = std::make_unique<TTolvanIndexDef>();
  Copy->Assign(Def);
  FDef = std::move(Copy);
}

void TTolvanIndex::OpenIndex(const TTolvanIndexDef& Def) {
  auto Copy = std::make_unique<TTolvanIndexDef>();
  Copy->Assign(Def);
  FDef = std::move(Copy);
}

// --- definition checks --------------------------------------------------------------------------

void CheckIndexDef(const TTolvanIndexDef& Def, const TTolvanFieldDefs* FieldDefs) {
  if (!FieldDefs)
    return;
  int64_t KeySize = 0;
  for (int32_t I = 0; I < Def.ColumnCount(); ++I) {
    const TTolvanIndexColumn& Column = Def.Columns(I);
    const TTolvanFieldDef* Field = FieldDefs->FindByName(Column.Name());
    if (!Field)
      throw ETolvanException::CreateFmt(ErrIndexFieldNotFound, SCannotFindIndexField,
                                        Column.Name());
    if (HasNoOrder(Field->BaseType()))
      throw ETolvanException::CreateFmt(ErrIndexFieldWithoutOrder, SIndexFieldWithoutOrder,
                                        Def.Name(), Field->Name(),
                                        ValueTypeToSQLName(Field->BaseType()));
    KeySize += int64_t(Field->DataSize()) + 1;
  }
  if (KeySize > MaxIndexKeySize)
    throw ETolvanException::CreateFmt(ErrIndexKeyTooLarge, SIndexKeyTooLarge, Def.Name(), KeySize,
                                      MaxIndexKeySize);
}

void CheckIndexDefs(const TTolvanIndexDefs& Defs, const TTolvanFieldDefs* FieldDefs) {
  for (int32_t I = 0; I < Defs.Count(); ++I)
    CheckIndexDef(Defs.Items(I), FieldDefs);
}

// --- TTolvanBaseIndexManager --------------------------------------------------------------------

TTolvanBaseIndexManager::TTolvanBaseIndexManager(TTolvanTableData& TableData,
                                                 TTolvanIndexFactory Factory)
    : FTableData(TableData), FFactory(std::move(Factory)), FPageManager(PageManagerOf(TableData)),
      FIndexDefs(std::make_unique<TTolvanIndexDefs>()) {
  if (!FFactory)
    RaiseInvalidPointer();
}

TTolvanBaseIndexManager::TTolvanBaseIndexManager(TTolvanTableData& TableData,
                                                 TTolvanIndexFactory Factory,
                                                 TTolvanPageManager& Pages)
    : FTableData(TableData), FFactory(std::move(Factory)), FPageManager(Pages),
      FIndexDefs(std::make_unique<TTolvanIndexDefs>()) {
  if (!FFactory)
    RaiseInvalidPointer();
}

TTolvanBaseIndexManager::~TTolvanBaseIndexManager() { CloseAll(); }

const TTolvanFieldDefs* TTolvanBaseIndexManager::FieldDefs() const noexcept {
  return FFieldDefs ? FFieldDefs : FTableData.FieldDefs();
}

TTolvanIndex* TTolvanBaseIndexManager::FindOpenIndex(int32_t IndexID) const noexcept {
  for (const auto& Index : FOpenIndexes)
    if (Index->Def() && Index->Def()->ObjectID() == IndexID)
      return Index.get();
  return nullptr;
}

void TTolvanBaseIndexManager::CloseAll() noexcept {
  // The last opened first, as each would be closed by its id.
  while (!FOpenIndexes.empty())
    FOpenIndexes.pop_back();
}

void TTolvanBaseIndexManager::LoadFromStream(TStream& Stream) {
  auto Defs = std::make_unique<TTolvanIndexDefs>();
  Defs->LoadFromStream(Stream);
  CheckIndexDefs(*Defs, FieldDefs());
  CloseAll();
  FPageManager.LoadFromStream(Stream);
  for (int32_t I = 0; I < Defs->Count(); ++I) {
    const int32_t Root = Defs->Items(I).RootPageNo();
    if (Root != -1 && (Root < 0 || !FPageManager.PageAllocated(Root)))
      RaiseStoredValueError(Stream, Root, ErrIndexRootPageNo);
  }
  FIndexDefs = std::move(Defs);
}

void TTolvanBaseIndexManager::SaveToStream(TStream& Stream) {
  FIndexDefs->SaveToStream(Stream);
  FPageManager.SaveToStream(Stream);
}

void TTolvanBaseIndexManager::AssignDefs(const TTolvanIndexDefs& Defs) {
  CheckIndexDefs(Defs, FieldDefs());
  auto Copy = std::make_unique<TTolvanIndexDefs>();
  Copy->Assign(Defs);
  CloseAll();
  FIndexDefs = std::move(Copy);
}

int32_t TTolvanBaseIndexManager::FindIndexForFields(const TStringList* FieldNames,
                                                    const TStringList* Orders,
                                                    const TStringList* CaseModes) const {
  return FIndexDefs->FindIndexForFields(FieldNames, Orders, CaseModes);
}

void TTolvanBaseIndexManager::ForgetSession(int32_t SessionID) {
  for (const auto& Index : FOpenIndexes)
    Index->ClearKeyPathCache(SessionID);
}

TTolvanIndex& TTolvanBaseIndexManager::GetIndex(int32_t IndexID) {
  if (TTolvanIndex* Open = FindOpenIndex(IndexID))
    return *Open;
  const TTolvanIndexDef* Def = static_cast<TTolvanIndexDef*>(FIndexDefs->FindByID(IndexID));
  if (!Def)
    throw ETolvanException::Create(ErrIndexNotFound, SIndexNotFound);
  FOpenIndexes.reserve(FOpenIndexes.size() + 1);
  std::unique_ptr<TTolvanIndex> Index = FFactory(*this);
  Index->OpenIndex(*Def);
  FOpenIndexes.push_back(std::move(Index));
  return *FOpenIndexes.back();
}

void TTolvanBaseIndexManager::CloseIndex(int32_t IndexID) noexcept {
  for (auto It = FOpenIndexes.begin(); It != FOpenIndexes.end(); ++It)
    if ((*It)->Def() && (*It)->Def()->ObjectID() == IndexID) {
      FOpenIndexes.erase(It);
      return;
    }
}

int32_t TTolvanBaseIndexManager::DefPosition(int32_t IndexID) const {
  const int32_t Position = FIndexDefs->IndexOfID(IndexID);
  if (Position < 0)
    throw ETolvanException::Create(ErrIndexNotFound, SIndexNotFound);
  return Position;
}

int32_t TTolvanBaseIndexManager::AddIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def) {
  CheckIndexDef(Def, FieldDefs());
  const int32_t SessionID = SessionIDOf(Cursor);
  // A failed build rolls the session's pages back; nothing else of the session may go with them.
  FPageManager.Commit(SessionID);
  Def.SetObjectID(FTableData.Database().NextObjectID());
  TTolvanIndexDef& Stored = FIndexDefs->AddNew();
  try {
    Stored.Assign(Def);
    std::unique_ptr<TTolvanIndex> Index = FFactory(*this);
    Index->BuildIndex(Cursor, Def);
    Stored.Assign(Def);
  } catch (...) {
    // The build touched only pages it allocated, so the rollback frees them all.
    try {
      FPageManager.Rollback(SessionID);
    } catch (...) {
    }
    const int32_t Position = FIndexDefs->IndexOfID(Def.ObjectID());
    if (Position >= 0)
      FIndexDefs->Delete(Position);
    throw;
  }
  return Def.ObjectID();
}

void TTolvanBaseIndexManager::DropIndex(int32_t SessionID, int32_t IndexID) {
  EmptyIndex(SessionID, IndexID);
  FIndexDefs->Delete(DefPosition(IndexID));
}

void TTolvanBaseIndexManager::DropAll(int32_t SessionID) {
  while (FIndexDefs->Count() > 0)
    DropIndex(SessionID, FIndexDefs->Items(0).ObjectID());
}

void TTolvanBaseIndexManager::EmptyIndex(int32_t SessionID, int32_t IndexID) {
  TTolvanIndex& Index = GetIndex(IndexID);
  try {
    Index.DropIndex(SessionID);
  } catch (...) {
    CloseIndex(IndexID);
    throw;
  }
  FIndexDefs->Items(DefPosition(IndexID)).SetRootPageNo(-1);
  CloseIndex(IndexID);
}

void TTolvanBaseIndexManager::EmptyAll(int32_t SessionID) {
  for (int32_t I = 0; I < FIndexDefs->Count(); ++I)
    EmptyIndex(SessionID, FIndexDefs->Items(I).ObjectID());
}

void TTolvanBaseIndexManager::SyncRootPageNo(TTolvanIndex& Index,
                                             TTolvanIndexDef& Stored) noexcept {
  if (Index.Def() && Index.Def()->RootPageNo() != Stored.RootPageNo())
    Stored.SetRootPageNo(Index.Def()->RootPageNo());
}

// Runs Change on every index in definition order. When it fails at index k, Undo runs on
// indexes k-1 .. 0, its own failures dropped, and the first error passes on.
template <class TChange, class TUndo>
void TTolvanBaseIndexManager::ChangeAllOrNothing(TChange&& Change, TUndo&& Undo) {
  const int32_t Count = FIndexDefs->Count();
  int32_t Done = 0;
  try {
    for (int32_t I = 0; I < Count; ++I) {
      TTolvanIndexDef& Stored = FIndexDefs->Items(I);
      TTolvanIndex& Index = GetIndex(Stored.ObjectID());
      try {
        Change(Index);
      } catch (...) {
        SyncRootPageNo(Index, Stored);
        throw;
      }
      Done = I + 1;
      SyncRootPageNo(Index, Stored);
      Index.ClearKeyPathCache(-1);
    }
  } catch (...) {
    if (Done < Count)
      ForgetPaths(FIndexDefs->Items(Done).ObjectID());
    for (int32_t I = Done - 1; I >= 0; --I) {
      try {
        TTolvanIndexDef& Stored = FIndexDefs->Items(I);
        TTolvanIndex& Index = GetIndex(Stored.ObjectID());
        Undo(Index);
        SyncRootPageNo(Index, Stored);
        Index.ClearKeyPathCache(-1);
      } catch (...) {
      }
    }
    throw;
  }
}

void TTolvanBaseIndexManager::ForgetPaths(int32_t IndexID) noexcept {
  try {
    if (TTolvanIndex* Index = FindOpenIndex(IndexID))
      Index->ClearKeyPathCache(-1);
  } catch (...) {
  }
}

void TTolvanBaseIndexManager::InsertKeys(TTolvanCursor& Cursor) {
  RecordBufferOf(Cursor);
  ChangeAllOrNothing([&](TTolvanIndex& Index) { Index.InsertKey(Cursor); },
                     [&](TTolvanIndex& Index) { Index.DeleteKey(Cursor); });
}

void TTolvanBaseIndexManager::UpdateKeys(TTolvanCursor& Cursor) {
  uint8_t* NewRecord = RecordBufferOf(Cursor);
  if (FIndexDefs->Count() == 0)
    return;
  uint8_t* OldRecord = ScratchRecord();
  if (!ReadStoredRecord(Cursor, OldRecord))
    return;
  // The cursor's own old record may predate another cursor's update of the same record.
  struct TRestore {
    TTolvanCursor& Cursor;
    uint8_t* RecordBuffer;
    uint8_t* BeforeImage;
    ~TRestore() {
      Cursor.SetRecordBuffer(RecordBuffer);
      Cursor.SetBeforeImage(BeforeImage);
    }
  } Restore{Cursor, NewRecord, Cursor.BeforeImage()};
  Cursor.SetBeforeImage(OldRecord);
  ChangeAllOrNothing([&](TTolvanIndex& Index) { Index.UpdateKey(Cursor); },
                     [&](TTolvanIndex& Index) {
                       Cursor.SetRecordBuffer(OldRecord);
                       Cursor.SetBeforeImage(NewRecord);
                       try {
                         Index.UpdateKey(Cursor);
                       } catch (...) {
                         Cursor.SetRecordBuffer(NewRecord);
                         Cursor.SetBeforeImage(OldRecord);
                         throw;
                       }
                       Cursor.SetRecordBuffer(NewRecord);
                       Cursor.SetBeforeImage(OldRecord);
                     });
}

void TTolvanBaseIndexManager::DeleteKeys(TTolvanCursor& Cursor) {
  if (!ReadStoredRecord(Cursor, RecordBufferOf(Cursor)))
    return;
  ChangeAllOrNothing([&](TTolvanIndex& Index) { Index.DeleteKey(Cursor); },
                     [&](TTolvanIndex& Index) { Index.InsertKey(Cursor); });
}

bool TTolvanBaseIndexManager::ReadStoredRecord(TTolvanCursor& Cursor, uint8_t* Buffer) {
  TTolvanBaseRecordManager* Records = FTableData.RecordManager();
  if (!Records)
    RaiseInvalidPointer();
  TTolvanNavState State;
  State.SessionID = SessionIDOf(&Cursor);
  State.Mode = rmCurrent;
  State.RecordID = Cursor.Position();
  State.Buffer = Buffer;
  Records->GetRecord(State);
  return State.Result == rrOK;
}

uint8_t* TTolvanBaseIndexManager::ScratchRecord() {
  const int32_t Size = FTableData.RecordSize() + RecordTrailerSize;
  if (!FScratch || FScratchSize != Size) {
    FScratch.reset(static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(Size)));
    FScratchSize = Size;
  }
  return FScratch.get();
}

void TTolvanBaseIndexManager::GetRecordViaIndex(int32_t SessionID, TTolvanNavState& State) {
  if (!State.AtBegin && !State.AtEnd) {
    TTolvanBaseRecordManager* Records = FTableData.RecordManager();
    if (!Records)
      RaiseInvalidPointer();
    TTolvanNavState Current = State;
    Current.Mode = rmCurrent;
    Current.Result = rrOK;
    Records->GetRecord(Current);
    if (Current.Result != rrOK) {
      State.Result = rrMissing;
      return;
    }
  }
  GetIndex(State.IndexID).GetRecord(SessionID, State);
}

int32_t TTolvanBaseIndexManager::CompareKeys(int32_t IndexID, const uint8_t* A, const uint8_t* B,
                                             int32_t ColumnCount) {
  if (ColumnCount == 0) {
    const auto* Def = static_cast<const TTolvanIndexDef*>(FIndexDefs->FindByID(IndexID));
    if (!Def)
      throw ETolvanException::CreateFmt(ErrCompareKeysIndexNotFound, SCannotFindIndexById, IndexID);
    ColumnCount = Def->ColumnCount();
  }
  struct TCloser {
    TTolvanBaseIndexManager& Manager;
    int32_t IndexID;
    ~TCloser() { Manager.CloseIndex(IndexID); }
  } Closer{*this, IndexID};
  return GetIndex(IndexID).CompareRecordKeys(A, B, ColumnCount);
}

} // namespace tolvan
