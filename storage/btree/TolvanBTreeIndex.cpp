#include "storage/btree/TolvanBTreeIndex.h"

#include <string>
#include <utility>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanConstraintManager.h"
#include "storage/TolvanRecordManager.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNilPathA = 10384;
constexpr int32_t ErrNilPathB = 10385;
constexpr int32_t ErrGetRecordCurrent = 20053;
constexpr int32_t ErrNilBitmap = 20076;
constexpr int32_t ErrNilScanState = 20077;

[[noreturn]] void RaiseInvalidPointer() {
  throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
}

const uint8_t* RecordOf(const TTolvanCursor& Cursor) {
  const uint8_t* Buffer = Cursor.RecordBuffer();
  if (!Buffer)
    RaiseInvalidPointer();
  return Buffer;
}

[[noreturn]] void RaiseEntryNotFound() {
  throw ETolvanException::Create(ErrIndexEntryNotFound, SIndexEntryNotFound);
}

// A result bitmap as the tree's record filter.
class TBitmapFilter final : public TTolvanBTreeRecordFilter {
public:
  explicit TBitmapFilter(const TTolvanRecordBitmap& Bitmap) noexcept
      : FBitmap(const_cast<TTolvanRecordBitmap&>(Bitmap)) {}
  bool AcceptRecord(const TTolvanRecordID& ID) override { return FBitmap.AcceptRecord(ID); }
  void RemoveRecord(const TTolvanRecordID& ID) override { FBitmap.Remove(ID); }

private:
  TTolvanRecordBitmap& FBitmap;
};

} // namespace

TTolvanIndexFactory BTreeIndexFactory() {
  return [](TTolvanBaseIndexManager& Manager) -> std::unique_ptr<TTolvanIndex> {
    return std::make_unique<TTolvanBTreeIndex>(Manager);
  };
}

TTolvanBTreeIndex::TTolvanBTreeIndex(TTolvanBaseIndexManager& IndexManager)
    : TTolvanIndex(IndexManager), FTree(IndexManager.GetPageManager(), FKeyRef) {
  FTree.SetReloadCheck(&IndexManager.TableData());
}

TTolvanBTreeIndex::~TTolvanBTreeIndex() = default;

TTolvanBTree& TTolvanBTreeIndex::Tree() noexcept {
  FTree.SetRootPageNo(FDef ? FDef->RootPageNo() : -1);
  return FTree;
}

void TTolvanBTreeIndex::SyncRoot() noexcept {
  if (FDef)
    FDef->SetRootPageNo(FTree.RootPageNo());
}

void TTolvanBTreeIndex::PrepareLayout() {
  FKeyRef.Build(*FDef, IndexManager().FieldDefs());
  FKeyRef.SetLeafDataSize(BTreeLeafDataSize);
  FKeyA.reset(FKeyRef.AllocKey());
  FKeyB.reset(FKeyRef.AllocKey());
  FKeyC.reset(FKeyRef.AllocKey());
  FKeyD.reset(FKeyRef.AllocKey());
}

TTolvanBTreeCondition TTolvanBTreeIndex::ConditionOf(const TTolvanScanSearchCondition& Condition,
                                                     uint8_t* Key) const noexcept {
  TTolvanBTreeCondition Result;
  if (!Condition.KeyBuffer)
    return Result;
  FKeyRef.MakeKey(Condition.KeyBuffer, Key);
  Result.ConditionType = Condition.ConditionType;
  Result.Key = Key;
  Result.KeyFieldCount = Condition.KeyFieldCount < 0 ? 0
                         : Condition.KeyFieldCount > FKeyRef.ColumnTotal()
                             ? FKeyRef.ColumnTotal()
                             : Condition.KeyFieldCount;
  return Result;
}

// --- creating, opening, dropping ----------------------------------------------------------------

void TTolvanBTreeIndex::ClearKeyPathCache(int32_t SessionID) {
  FKeyPathCache.RemoveSession(SessionID);
}

void TTolvanBTreeIndex::BuildIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def) {
  TTolvanIndex::BuildIndex(Cursor, Def);
  PrepareLayout();
  const int32_t SessionID = SessionIDOf(Cursor);
  TTolvanBaseRecordManager* Records = IndexManager().TableData().RecordManager();
  if (!Records)
    RaiseInvalidPointer();
  FTree.SetRootPageNo(-1);
  FTree.CreateRoot(SessionID);
  SyncRoot();
  Def.SetRootPageNo(FTree.RootPageNo());
  // The records in store order, each read into a buffer of our own: the build needs no cursor
  // position, and the caller's record stays as it is.
  std::unique_ptr<uint8_t, TTolvanMemDeleter> Buffer(
      static_cast<uint8_t*>(TTolvanMemoryManager::AllocMem(Records->RecordSize())));
  uint8_t* Key = FKeyA.get();
  TTolvanNavState State;
  State.SessionID = SessionID;
  State.Mode = rmNext;
  State.Buffer = Buffer.get();
  State.AtBegin = 1;
  // A unique index over records that already share a key would promise what the data breaks.
  const bool Unique = Def.Unique() || Def.Primary();
  for (Records->GetRecord(State); State.Result == rrOK; Records->GetRecord(State)) {
    FKeyRef.MakeKey(Buffer.get(), Key);
    if (Unique && !FTree.IsKeyUnique(SessionID, Key)) {
      if (Def.Primary())
        throw ETolvanException::CreateFmt(ErrCheckPrimaryDuplicate, SPrimaryKeyViolated,
                                          Def.Name());
      throw ETolvanException::CreateFmt(ErrCheckUniqueDuplicate, SUniqueConstraintViolated,
                                        Def.Name());
    }
    FTree.InsertKey(SessionID, Key, State.RecordID);
    State.AtBegin = 0;
  }
}

void TTolvanBTreeIndex::DropIndex(int32_t SessionID) {
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1)
    return;
  T.FreePages(SessionID);
  FKeyPathCache.RemoveSession(-1);
}

void TTolvanBTreeIndex::OpenIndex(const TTolvanIndexDef& Def) {
  TTolvanIndex::OpenIndex(Def);
  PrepareLayout();
  FKeyPathCache.RemoveSession(-1);
}

// --- navigation ---------------------------------------------------------------------------------

void TTolvanBTreeIndex::GetRecord(int32_t SessionID, TTolvanNavState& State) {
  if (State.Mode == rmCurrent)
    throw ETolvanException::Create(ErrGetRecordCurrent, SInvalidGetRecordModeCurrent);
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1) {
    State.Result = rrEndReached;
    return;
  }
  const bool Next = State.Mode == rmNext;
  TTolvanKeyPath Path;
  FKeyPathCache.GetPath(SessionID, State.RecordID, State.AtBegin || State.AtEnd, Path);
  bool Found;
  bool Moved;
  if (State.AtBegin || State.AtEnd) {
    // An end with a move away from the other end reads that end's entry; a move past it stays.
    // A tree emptied by deletes keeps its root: with no entry at either end, the move passes
    // the other end.
    const bool FromBegin = State.AtBegin != 0;
    const bool HasEntries =
        FromBegin ? T.GoFirstPath(SessionID, Path) : T.GoLastPath(SessionID, Path);
    Found = true;
    Moved = HasEntries && FromBegin == Next;
  } else {
    Found = Path.Count() > 0 || FindKeyPath(SessionID, State.RecordID, State.Buffer, &Path);
    Moved = Found && (Next ? T.NextEntry(SessionID, Path) : T.PriorEntry(SessionID, Path));
  }
  if (!Found) {
    State.Result = rrMissing;
    return;
  }
  if (!Moved) {
    State.Result = Next ? rrEndReached : rrBeginReached;
    State.AtBegin = Next ? 0 : 1;
    State.AtEnd = Next ? 1 : 0;
    return;
  }
  const TTolvanRecordID ID = T.ReadRecordIDAt(SessionID, Path);
  TTolvanBaseRecordManager* Records = IndexManager().TableData().RecordManager();
  if (!Records)
    RaiseInvalidPointer();
  TTolvanNavState Read = State;
  Read.Mode = rmCurrent;
  Read.RecordID = ID;
  Read.AtBegin = Read.AtEnd = 0;
  Read.Result = rrOK;
  Records->GetRecord(Read);
  State.RecordID = ID;
  State.AtBegin = State.AtEnd = 0;
  State.Result = Read.Result == rrOK ? rrOK : rrMissing;
  if (State.Result == rrOK)
    FKeyPathCache.StorePath(SessionID, ID, Path);
}

TTolvanIndexKeyPath* TTolvanBTreeIndex::CreateKeyPath() { return new TTolvanKeyPath(); }

void TTolvanBTreeIndex::FreeKeyPath(TTolvanIndexKeyPath*& Path) {
  delete static_cast<TTolvanKeyPath*>(Path);
  Path = nullptr;
}

bool TTolvanBTreeIndex::FindKeyPath(int32_t SessionID, const TTolvanRecordID& RecordID,
                                    const uint8_t* Buffer, TTolvanIndexKeyPath* Path) {
  if (!Path || !Buffer)
    RaiseInvalidPointer();
  auto& P = *static_cast<TTolvanKeyPath*>(Path);
  P.Clear();
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1)
    return false;
  FKeyRef.MakeKey(Buffer, FKeyA.get());
  return T.FindKeyPath(SessionID, FKeyA.get(), RecordID, P);
}

int32_t TTolvanBTreeIndex::CompareKeyPaths(const TTolvanIndexKeyPath* A,
                                           const TTolvanIndexKeyPath* B) {
  if (!A)
    throw ETolvanException::Create(ErrNilPathA, SNilPointerOccurred);
  if (!B)
    throw ETolvanException::Create(ErrNilPathB, SNilPointerOccurred);
  return tolvan::CompareKeyPaths(*static_cast<const TTolvanKeyPath*>(A),
                                 *static_cast<const TTolvanKeyPath*>(B));
}

// --- record numbers and duplicates --------------------------------------------------------------

int64_t TTolvanBTreeIndex::GetRecNo(int32_t SessionID, const TTolvanRecordID& RecordID,
                                    const uint8_t* Buffer, const TTolvanRecordBitmap* Bitmap) {
  if (!Buffer)
    RaiseInvalidPointer();
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1)
    return -1;
  FKeyRef.MakeKey(Buffer, FKeyA.get());
  if (Bitmap && Bitmap->Filled()) {
    TBitmapFilter Filter(*Bitmap);
    return T.GetRecNo(SessionID, FKeyA.get(), RecordID, &Filter);
  }
  return T.GetRecNo(SessionID, FKeyA.get(), RecordID, nullptr);
}

void TTolvanBTreeIndex::GetRecordIDByRecNo(int32_t SessionID, const TTolvanRecordBitmap* Bitmap,
                                           int64_t RecNo, TTolvanRecordID& RecordID) {
  TTolvanBTree& T = Tree();
  if (Bitmap && Bitmap->Filled()) {
    TBitmapFilter Filter(*Bitmap);
    RecordID = T.GetRecordIDByRecNo(SessionID, &Filter, RecNo);
  } else
    RecordID = T.GetRecordIDByRecNo(SessionID, nullptr, RecNo);
}

void TTolvanBTreeIndex::RemoveDuplicateKeys(int32_t SessionID, TTolvanRecordBitmap* Bitmap) {
  if (!Bitmap)
    throw ETolvanException::Create(ErrNilBitmap, SPointerIsNil);
  TBitmapFilter Filter(*Bitmap);
  Tree().RemoveDuplicateKeys(SessionID, Filter);
}

// --- range scans and estimates ------------------------------------------------------------------

TTolvanIndexScanState* TTolvanBTreeIndex::CreateScanState() {
  if (FSpareScanState) {
    TTolvanBTreeScanState* State = FSpareScanState.release();
    *State = TTolvanBTreeScanState();
    return State;
  }
  return new TTolvanBTreeScanState();
}

void TTolvanBTreeIndex::FreeScanState(TTolvanIndexScanState* State) {
  std::unique_ptr<TTolvanBTreeScanState> Given(static_cast<TTolvanBTreeScanState*>(State));
  if (Given && !FSpareScanState)
    FSpareScanState = std::move(Given);
}

bool TTolvanBTreeIndex::ScanNext(int32_t SessionID, bool Start, bool Forward,
                                 const TTolvanScanSearchCondition* StartCondition,
                                 const TTolvanScanSearchCondition* EndCondition, uint8_t* Buffer,
                                 TTolvanRecordID& RecordID, TTolvanIndexScanState* State) {
  if (!State)
    throw ETolvanException::Create(ErrNilScanState, SPointerIsNil);
  auto& S = *static_cast<TTolvanBTreeScanState*>(State);
  TTolvanBTreeCondition StartC, EndC;
  if (StartCondition)
    StartC = ConditionOf(*StartCondition, FKeyC.get());
  if (EndCondition)
    EndC = ConditionOf(*EndCondition, FKeyD.get());
  // Only a scan not yet positioned looks for the record it resumes after.
  const uint8_t* ResumeKey = nullptr;
  if (!Start && !S.Started && Buffer) {
    FKeyRef.MakeKey(Buffer, FKeyA.get());
    ResumeKey = FKeyA.get();
  }
  return Tree().ScanNext(SessionID, Start, Forward, StartCondition ? &StartC : nullptr,
                         EndCondition ? &EndC : nullptr, ResumeKey, RecordID, S);
}

int32_t TTolvanBTreeIndex::ConditionDirection(const TTolvanScanSearchCondition& Condition) {
  return TTolvanBTree::ConditionDirection(Condition.ConditionType);
}

int64_t TTolvanBTreeIndex::EstimateRangeCount(int32_t SessionID,
                                              const TTolvanScanSearchCondition& A, int64_t Total,
                                              const TTolvanScanSearchCondition& B) {
  const TTolvanBTreeCondition CA = ConditionOf(A, FKeyC.get());
  const TTolvanBTreeCondition CB = ConditionOf(B, FKeyD.get());
  return Tree().EstimateRangeCount(SessionID, CA, Total, CB);
}

// --- keys ---------------------------------------------------------------------------------------

int32_t TTolvanBTreeIndex::CompareRecordKeys(const uint8_t* A, const uint8_t* B,
                                             int32_t ColumnCount) {
  if (!A || !B)
    RaiseInvalidPointer();
  FKeyRef.MakeKey(A, FKeyA.get());
  FKeyRef.MakeKey(B, FKeyB.get());
  TTolvanKeyColumnScope Columns(FKeyRef, ColumnCount);
  return FKeyRef.CompareKeys(FKeyA.get(), FKeyB.get());
}

bool TTolvanBTreeIndex::IsKeyUnique(int32_t SessionID, const uint8_t* Buffer) {
  if (!Buffer)
    RaiseInvalidPointer();
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1 || (!FDef->Unique() && !FDef->Primary()))
    return true;
  FKeyRef.MakeKey(Buffer, FKeyA.get());
  return T.IsKeyUnique(SessionID, FKeyA.get());
}

bool TTolvanBTreeIndex::IsKeyUniqueOnUpdate(int32_t SessionID, const uint8_t* OldBuffer,
                                            const uint8_t* NewBuffer) {
  if (CompareRecordKeys(OldBuffer, NewBuffer, FKeyRef.ColumnTotal()) == 0)
    return true;
  return IsKeyUnique(SessionID, NewBuffer);
}

void TTolvanBTreeIndex::InsertKey(TTolvanCursor& Cursor) {
  FKeyRef.MakeKey(RecordOf(Cursor), FKeyA.get());
  TTolvanBTree& T = Tree();
  // A first insert creates the root; its number must reach the definition also when the insert
  // itself then fails, since the page stays in the session's dirty pages.
  struct TSync {
    TTolvanBTreeIndex& Index;
    ~TSync() { Index.SyncRoot(); }
  } Sync{*this};
  T.InsertKey(SessionIDOf(&Cursor), FKeyA.get(), Cursor.Position());
}

void TTolvanBTreeIndex::DeleteKey(TTolvanCursor& Cursor) {
  FKeyRef.MakeKey(RecordOf(Cursor), FKeyA.get());
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1 || !T.DeleteKey(SessionIDOf(&Cursor), FKeyA.get(), Cursor.Position()))
    RaiseEntryNotFound();
}

void TTolvanBTreeIndex::UpdateKey(TTolvanCursor& Cursor) {
  const uint8_t* New = RecordOf(Cursor);
  const uint8_t* Old = Cursor.BeforeImage();
  if (!Old)
    RaiseInvalidPointer();
  uint8_t* OldKey = FKeyA.get();
  uint8_t* NewKey = FKeyB.get();
  FKeyRef.MakeKey(Old, OldKey);
  FKeyRef.MakeKey(New, NewKey);
  if (FKeyRef.CompareKeys(OldKey, NewKey) == 0)
    return;
  const int32_t SessionID = SessionIDOf(&Cursor);
  const TTolvanRecordID ID = Cursor.Position();
  TTolvanBTree& T = Tree();
  if (T.RootPageNo() == -1 || !T.DeleteKey(SessionID, OldKey, ID))
    RaiseEntryNotFound();
  try {
    T.InsertKey(SessionID, NewKey, ID);
  } catch (...) {
    // A failed insert leaves the tree as it was, so the old entry can go back; should that fail
    // too, the first error is the one the caller must see.
    try {
      T.InsertKey(SessionID, OldKey, ID);
    } catch (...) {
    }
    throw;
  }
}

} // namespace tolvan
