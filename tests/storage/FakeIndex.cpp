#include "tests/storage/FakeIndex.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "classlib/ByteOrder.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "foundation/TolvanVariantOps.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanTableData.h"

namespace tolvan::test {

namespace {

constexpr int32_t RootFirst = 32;
constexpr int32_t RootLast = 36;
constexpr int32_t EntryPrev = 32;
constexpr int32_t EntryNext = 36;
constexpr int32_t EntryID = 40;
constexpr int32_t EntryKeySize = 46;
constexpr int32_t EntryKey = 50;

struct TFakeKeyPath : TTolvanIndexKeyPath {
  TFakeIndex::TKey Key;
  TTolvanRecordID RecordID{0, 0};
};

struct TFakeScanState : TTolvanIndexScanState {
  bool Started = false;
  bool Forward = true;
  int64_t Pos = -1;
  bool HasEnd = false;
  int64_t EndPos = -1;
};

// A page held for the scope.
class THeldPage {
public:
  THeldPage(TTolvanPageManager& Manager, TTolvanPage* Page) : FManager(Manager), FPage(Page) {}
  ~THeldPage() {
    try {
      FManager.ReleasePage(FPage);
    } catch (...) {
    }
  }
  THeldPage(const THeldPage&) = delete;
  THeldPage& operator=(const THeldPage&) = delete;
  TTolvanPage* operator->() const { return FPage; }
  uint8_t* Bytes() const { return FPage->Buffer(); }

private:
  TTolvanPageManager& FManager;
  TTolvanPage* FPage;
};

int32_t ReadInt(TTolvanPageManager& M, int32_t SessionID, int32_t PageNo, int32_t Offset) {
  THeldPage P(M, M.GetPage(SessionID, PageNo, nullptr));
  return LoadLE<int32_t>(P.Bytes() + Offset);
}

void WriteInt(TTolvanPageManager& M, int32_t SessionID, int32_t PageNo, int32_t Offset,
              int32_t Value) {
  THeldPage P(M, M.GetPage(SessionID, PageNo, nullptr));
  P->MakeWritable(P->PageSize());
  StoreLE<int32_t>(P.Bytes() + Offset, Value);
  P->SetDirty(true);
}

} // namespace

TTolvanIndexFactory FakeIndexFactory(std::shared_ptr<TFakeIndexHooks> Hooks) {
  return [Hooks](TTolvanBaseIndexManager& Manager) -> std::unique_ptr<TTolvanIndex> {
    return std::make_unique<TFakeIndex>(Manager, Hooks);
  };
}

TFakeIndex::TFakeIndex(TTolvanBaseIndexManager& IndexManager,
                       std::shared_ptr<TFakeIndexHooks> Hooks)
    : TTolvanIndex(IndexManager), FHooks(std::move(Hooks)), FEntries(TKeyLess{this}) {
  if (FHooks)
    ++FHooks->Made;
}

TFakeIndex::~TFakeIndex() {
  if (FHooks)
    ++FHooks->Freed;
}

// --- keys ---------------------------------------------------------------------------------------

void TFakeIndex::BuildLayout() {
  const TTolvanFieldDefs* Fields = IndexManager().TableData().FieldDefs();
  if (!Fields)
    throw ETolvanException::Create(20045, SPointerIsNil);
  std::vector<TColumn> Columns;
  for (int32_t I = 0; I < Def()->ColumnCount(); ++I) {
    const TTolvanIndexColumn& C = Def()->Columns(I);
    const int32_t FieldNo = Fields->IndexOfName(C.Name());
    if (FieldNo < 0)
      throw ETolvanException::CreateFmt(ErrIndexFieldNotFound, SCannotFindIndexField, C.Name());
    const TTolvanFieldDef& F = Fields->Items(FieldNo);
    Columns.push_back({FieldNo, F.BufferOffset(), F.DataSize(), F.BaseType(), C.Descending() != 0,
                       C.CaseInsensitive() != 0});
  }
  FColumns.swap(Columns);
}

TFakeIndex::TKey TFakeIndex::MakeKey(const uint8_t* Buffer) const {
  TKey Key;
  for (const TColumn& C : FColumns) {
    const bool Null = IsFieldNull(Buffer, C.FieldNo);
    Key.push_back(Null ? 1 : 0);
    if (Null)
      Key.insert(Key.end(), size_t(C.DataSize), 0);
    else
      Key.insert(Key.end(), Buffer + C.BufferOffset, Buffer + C.BufferOffset + C.DataSize);
  }
  return Key;
}

int TFakeIndex::CompareKeys(const TKey& A, const TKey& B, int32_t ColumnCount) const {
  size_t Offset = 0;
  const int32_t N = std::min<int32_t>(ColumnCount, int32_t(FColumns.size()));
  for (int32_t I = 0; I < N; ++I) {
    const TColumn& C = FColumns[size_t(I)];
    const bool NullA = A[Offset] != 0;
    const bool NullB = B[Offset] != 0;
    int R;
    if (NullA || NullB)
      R = NullA == NullB ? 0 : NullA ? -1 : 1;
    else
      R = CompareValueBuffersSign(&A[Offset + 1], &B[Offset + 1], C.DataType, C.DataType, false,
                                  false, -1, C.CaseInsensitive, 1024, C.DataSize, C.DataSize);
    if (R != 0)
      return C.Descending ? -R : R;
    Offset += 1 + size_t(C.DataSize);
  }
  return 0;
}

TFakeIndex::TScanCondition
TFakeIndex::ConditionOf(const TTolvanScanSearchCondition& Condition) const {
  TScanCondition C;
  C.Type = Condition.ConditionType;
  if (Condition.KeyBuffer)
    C.Key = MakeKey(Condition.KeyBuffer);
  C.KeyFieldCount = std::clamp<int32_t>(Condition.KeyFieldCount, 0, int32_t(FColumns.size()));
  return C;
}

bool TFakeIndex::Satisfies(const TKey& Key, const TScanCondition& Condition) const {
  if (Condition.Key.empty())
    return true;
  const int C = CompareKeys(Key, Condition.Key, Condition.KeyFieldCount);
  switch (Condition.Type) {
  case sctEqual:
    return C == 0;
  case sctLess:
    return C < 0;
  case sctGreater:
    return C > 0;
  case sctLessOrEqual:
    return C <= 0;
  case sctGreaterOrEqual:
    return C >= 0;
  default:
    return true;
  }
}

// --- the chain of pages
// ---------------------------------------------------------------------------

void TFakeIndex::Hook(std::string_view Operation) {
  if (FHooks && FHooks->BeforeOperation)
    FHooks->BeforeOperation(Operation, Def()->ObjectID());
}

void TFakeIndex::EnsureLoaded(int32_t SessionID) {
  if (FLoaded)
    return;
  FEntries.clear();
  TTolvanPageManager& M = IndexManager().GetPageManager();
  if (Def()->RootPageNo() != -1) {
    int32_t No = ReadInt(M, SessionID, Def()->RootPageNo(), RootFirst);
    for (int32_t Guard = M.GetAllocatedPageCount(); No != -1; --Guard) {
      if (Guard <= 0)
        throw ETolvanException::Create(20028, "fake index: the chain of entries loops");
      THeldPage P(M, M.GetPage(SessionID, No, nullptr));
      const int32_t Size = LoadLE<int32_t>(P.Bytes() + EntryKeySize);
      if (Size < 0 || Size > P->PageSize() - EntryKey)
        throw ETolvanException::Create(20028, "fake index: bad key size");
      TKey Key(P.Bytes() + EntryKey, P.Bytes() + EntryKey + Size);
      FEntries.emplace_hint(FEntries.lower_bound(Key), std::move(Key),
                            TEntry{LoadLE<TTolvanRecordID>(P.Bytes() + EntryID), No});
      No = LoadLE<int32_t>(P.Bytes() + EntryNext);
    }
  }
  FLoaded = true;
}

void TFakeIndex::NewRoot(int32_t SessionID) {
  TTolvanPageManager& M = IndexManager().GetPageManager();
  THeldPage P(M, M.NewPage(SessionID));
  StoreLE<int32_t>(P.Bytes() + RootFirst, -1);
  StoreLE<int32_t>(P.Bytes() + RootLast, -1);
  P->SetDirty(true);
  FDef->SetRootPageNo(P->PageNo());
}

void TFakeIndex::AddEntry(int32_t SessionID, const TKey& Key, const TTolvanRecordID& RecordID) {
  if (Def()->RootPageNo() == -1)
    NewRoot(SessionID);
  TTolvanPageManager& M = IndexManager().GetPageManager();
  const int32_t Root = Def()->RootPageNo();
  const int32_t Last = ReadInt(M, SessionID, Root, RootLast);
  int32_t No;
  {
    THeldPage P(M, M.NewPage(SessionID));
    No = P->PageNo();
    StoreLE<int32_t>(P.Bytes() + EntryPrev, Last);
    StoreLE<int32_t>(P.Bytes() + EntryNext, -1);
    StoreLE<TTolvanRecordID>(P.Bytes() + EntryID, RecordID);
    StoreLE<int32_t>(P.Bytes() + EntryKeySize, int32_t(Key.size()));
    std::memcpy(P.Bytes() + EntryKey, Key.data(), Key.size());
    P->SetDirty(true);
  }
  if (Last == -1)
    WriteInt(M, SessionID, Root, RootFirst, No);
  else
    WriteInt(M, SessionID, Last, EntryNext, No);
  WriteInt(M, SessionID, Root, RootLast, No);
  FEntries.emplace_hint(FEntries.lower_bound(Key), Key, TEntry{RecordID, No});
}

void TFakeIndex::RemoveEntry(int32_t SessionID, TEntries::iterator Entry) {
  TTolvanPageManager& M = IndexManager().GetPageManager();
  const int32_t Root = Def()->RootPageNo();
  const int32_t No = Entry->second.PageNo;
  const int32_t Prev = ReadInt(M, SessionID, No, EntryPrev);
  const int32_t Next = ReadInt(M, SessionID, No, EntryNext);
  if (Prev == -1)
    WriteInt(M, SessionID, Root, RootFirst, Next);
  else
    WriteInt(M, SessionID, Prev, EntryNext, Next);
  if (Next == -1)
    WriteInt(M, SessionID, Root, RootLast, Prev);
  else
    WriteInt(M, SessionID, Next, EntryPrev, Prev);
  M.RemovePage(SessionID, No);
  FEntries.erase(Entry);
}

TFakeIndex::TEntries::iterator TFakeIndex::FindEntry(const TKey& Key,
                                                     const TTolvanRecordID& RecordID) {
  auto [First, Last] = FEntries.equal_range(Key);
  for (auto It = First; It != Last; ++It)
    if (It->second.RecordID == RecordID)
      return It;
  return FEntries.end();
}

int64_t TFakeIndex::Ordinal(const TKey& Key, const TTolvanRecordID& RecordID) {
  const auto It = FindEntry(Key, RecordID);
  return It == FEntries.end() ? -1 : int64_t(std::distance(FEntries.begin(), It));
}

TFakeIndex::TEntries::iterator TFakeIndex::At(int64_t Ordinal) {
  return std::next(FEntries.begin(), Ordinal);
}

int64_t TFakeIndex::FirstSatisfying(const TScanCondition& Condition, bool First) {
  const int64_t N = int64_t(FEntries.size());
  if (First) {
    int64_t I = 0;
    for (auto It = FEntries.begin(); It != FEntries.end(); ++It, ++I)
      if (Satisfies(It->first, Condition))
        return I;
  } else {
    int64_t I = N - 1;
    for (auto It = FEntries.rbegin(); It != FEntries.rend(); ++It, --I)
      if (Satisfies(It->first, Condition))
        return I;
  }
  return -1;
}

void TFakeIndex::ReadRecord(TTolvanNavState& State, const TTolvanRecordID& RecordID) {
  TTolvanNavState Read = State;
  Read.Mode = rmCurrent;
  Read.RecordID = RecordID;
  Read.AtBegin = Read.AtEnd = 0;
  IndexManager().TableData().RecordManager()->GetRecord(Read);
  State.RecordID = RecordID;
  State.AtBegin = State.AtEnd = 0;
  State.Result = Read.Result == rrOK ? rrOK : rrMissing;
}

std::vector<TTolvanRecordID> TFakeIndex::RecordIDs(int32_t SessionID) {
  std::vector<TTolvanRecordID> IDs;
  if (Def()->RootPageNo() == -1)
    return IDs;
  EnsureLoaded(SessionID);
  for (const auto& [Key, Entry] : FEntries)
    IDs.push_back(Entry.RecordID);
  return IDs;
}

// --- the operations
// ---------------------------------------------------------------------------------

void TFakeIndex::ClearKeyPathCache(int32_t) {
  if (FHooks)
    ++FHooks->CacheClears;
}

void TFakeIndex::BuildIndex(TTolvanCursor* Cursor, TTolvanIndexDef& Def) {
  TTolvanIndex::BuildIndex(Cursor, Def);
  BuildLayout();
  FEntries.clear();
  FLoaded = true;
  const int32_t SessionID = SessionIDOf(Cursor);
  FDef->SetRootPageNo(-1);
  NewRoot(SessionID);
  Def.SetRootPageNo(FDef->RootPageNo());
  TTolvanBaseRecordManager& Records = *IndexManager().TableData().RecordManager();
  std::vector<uint8_t> Buffer(size_t(Records.RecordSize()));
  TTolvanNavState State;
  State.SessionID = SessionID;
  State.Mode = rmNext;
  State.Buffer = Buffer.data();
  State.AtBegin = 1;
  for (Records.GetRecord(State); State.Result == rrOK; Records.GetRecord(State)) {
    Hook("BuildKey");
    AddEntry(SessionID, MakeKey(Buffer.data()), State.RecordID);
    State.AtBegin = 0;
  }
}

void TFakeIndex::DropIndex(int32_t SessionID) {
  if (Def()->RootPageNo() == -1)
    return;
  EnsureLoaded(SessionID);
  TTolvanPageManager& M = IndexManager().GetPageManager();
  for (const auto& [Key, Entry] : FEntries)
    M.RemovePage(SessionID, Entry.PageNo);
  M.RemovePage(SessionID, Def()->RootPageNo());
  FEntries.clear();
}

void TFakeIndex::OpenIndex(const TTolvanIndexDef& Def) {
  TTolvanIndex::OpenIndex(Def);
  BuildLayout();
  FLoaded = false;
}

void TFakeIndex::GetRecord(int32_t SessionID, TTolvanNavState& State) {
  if (State.Mode == rmCurrent)
    throw ETolvanException::Create(20053, SInvalidGetRecordModeCurrent);
  if (Def()->RootPageNo() == -1) {
    State.Result = rrEndReached;
    return;
  }
  EnsureLoaded(SessionID);
  const int64_t N = int64_t(FEntries.size());
  const auto BeginReached = [&] {
    State.Result = rrBeginReached;
    State.AtBegin = 1;
    State.AtEnd = 0;
  };
  const auto EndReached = [&] {
    State.Result = rrEndReached;
    State.AtBegin = 0;
    State.AtEnd = 1;
  };
  int64_t Pos;
  if (N == 0) {
    // A root without entries: nothing to start from.
    State.Result = rrMissing;
    return;
  }
  if (State.AtBegin) {
    if (State.Mode != rmNext)
      return BeginReached();
    Pos = 0;
  } else if (State.AtEnd) {
    if (State.Mode != rmPrior)
      return EndReached();
    Pos = N - 1;
  } else {
    const int64_t From = Ordinal(MakeKey(State.Buffer), State.RecordID);
    if (From < 0) {
      State.Result = rrMissing;
      return;
    }
    Pos = State.Mode == rmNext ? From + 1 : From - 1;
    if (Pos >= N)
      return EndReached();
    if (Pos < 0)
      return BeginReached();
  }
  ReadRecord(State, At(Pos)->second.RecordID);
}

TTolvanIndexKeyPath* TFakeIndex::CreateKeyPath() { return new TFakeKeyPath(); }

void TFakeIndex::FreeKeyPath(TTolvanIndexKeyPath*& Path) {
  delete static_cast<TFakeKeyPath*>(Path);
  Path = nullptr;
}

bool TFakeIndex::FindKeyPath(int32_t SessionID, const TTolvanRecordID& RecordID,
                             const uint8_t* Buffer, TTolvanIndexKeyPath* Path) {
  auto* P = static_cast<TFakeKeyPath*>(Path);
  P->Key.clear();
  if (Def()->RootPageNo() == -1)
    return false;
  EnsureLoaded(SessionID);
  TKey Key = MakeKey(Buffer);
  if (FindEntry(Key, RecordID) == FEntries.end())
    return false;
  P->Key = std::move(Key);
  P->RecordID = RecordID;
  return true;
}

int32_t TFakeIndex::CompareKeyPaths(const TTolvanIndexKeyPath* A, const TTolvanIndexKeyPath* B) {
  if (!A)
    throw ETolvanException::Create(10384, SNilPointerOccurred);
  if (!B)
    throw ETolvanException::Create(10385, SNilPointerOccurred);
  const auto* PA = static_cast<const TFakeKeyPath*>(A);
  const auto* PB = static_cast<const TFakeKeyPath*>(B);
  const int64_t OA = PA->Key.empty() ? -1 : Ordinal(PA->Key, PA->RecordID);
  const int64_t OB = PB->Key.empty() ? -1 : Ordinal(PB->Key, PB->RecordID);
  return OA < OB ? -1 : OA > OB ? 1 : 0;
}

int64_t TFakeIndex::GetRecNo(int32_t SessionID, const TTolvanRecordID& RecordID,
                             const uint8_t* Buffer, const TTolvanRecordBitmap* Bitmap) {
  if (Def()->RootPageNo() == -1)
    return -1;
  EnsureLoaded(SessionID);
  const auto Found = FindEntry(MakeKey(Buffer), RecordID);
  if (Found == FEntries.end())
    return -1;
  const bool Filter = Bitmap && Bitmap->Filled();
  int64_t RecNo = 0;
  for (auto It = FEntries.begin();; ++It) {
    if (!Filter || Bitmap->AcceptRecord(It->second.RecordID))
      ++RecNo;
    if (It == Found)
      return RecNo;
  }
}

void TFakeIndex::GetRecordIDByRecNo(int32_t SessionID, const TTolvanRecordBitmap* Bitmap,
                                    int64_t RecNo, TTolvanRecordID& RecordID) {
  if (Def()->RootPageNo() != -1)
    EnsureLoaded(SessionID);
  if (Def()->RootPageNo() == -1 || FEntries.empty())
    throw ETolvanException::Create(20074, SCannotRetrieveFromEmptyIndex);
  RecNo = std::max<int64_t>(RecNo, 1);
  const bool Filter = Bitmap && Bitmap->Filled();
  int64_t Counted = 0;
  for (const auto& [Key, Entry] : FEntries) {
    if (Filter && !Bitmap->AcceptRecord(Entry.RecordID))
      continue;
    if (++Counted == RecNo) {
      RecordID = Entry.RecordID;
      return;
    }
  }
  throw ETolvanException::Create(20075, SRecNoGreaterThanRecordCount);
}

void TFakeIndex::RemoveDuplicateKeys(int32_t SessionID, TTolvanRecordBitmap* Bitmap) {
  if (!Bitmap)
    throw ETolvanException::Create(20076, SPointerIsNil);
  if (Def()->RootPageNo() == -1)
    return;
  EnsureLoaded(SessionID);
  const TKey* Kept = nullptr;
  for (const auto& [Key, Entry] : FEntries) {
    if (!Bitmap->AcceptRecord(Entry.RecordID))
      continue;
    if (Kept && CompareKeys(*Kept, Key, int32_t(FColumns.size())) == 0)
      Bitmap->Remove(Entry.RecordID);
    else
      Kept = &Key;
  }
}

TTolvanIndexScanState* TFakeIndex::CreateScanState() { return new TFakeScanState(); }

void TFakeIndex::FreeScanState(TTolvanIndexScanState* State) {
  delete static_cast<TFakeScanState*>(State);
}

bool TFakeIndex::ScanNext(int32_t SessionID, bool Start, bool Forward,
                          const TTolvanScanSearchCondition* StartCondition,
                          const TTolvanScanSearchCondition* EndCondition, uint8_t* Buffer,
                          TTolvanRecordID& RecordID, TTolvanIndexScanState* State) {
  if (!State)
    throw ETolvanException::Create(20077, SPointerIsNil);
  auto& S = *static_cast<TFakeScanState*>(State);
  if (Start && S.Started)
    throw ETolvanException::Create(20078, SIndexInvalidParams);
  if (Def()->RootPageNo() == -1)
    return false;
  EnsureLoaded(SessionID);
  const int64_t N = int64_t(FEntries.size());
  if (Start || !S.Started) {
    if (StartCondition) {
      S.Pos = FirstSatisfying(ConditionOf(*StartCondition), Forward);
      if (S.Pos < 0)
        return false;
      if (!Start) {
        const int64_t Own = Ordinal(MakeKey(Buffer), RecordID);
        if (Own < 0)
          return false;
        if (Forward ? Own < S.Pos : Own > S.Pos)
          S.Pos += Forward ? -1 : 1;
        else
          S.Pos = Own;
      }
    } else if (Start) {
      if (N == 0)
        return false;
      S.Pos = Forward ? 0 : N - 1;
    } else {
      S.Pos = Ordinal(MakeKey(Buffer), RecordID);
      if (S.Pos < 0)
        return false;
    }
  }
  if (!S.Started && StartCondition) {
    const TScanCondition End = ConditionOf(EndCondition ? *EndCondition : *StartCondition);
    S.EndPos = FirstSatisfying(End, !Forward);
    if (S.EndPos < 0)
      return false;
    S.HasEnd = true;
  }
  if (!Start)
    S.Pos += Forward ? 1 : -1;
  if (S.Pos < 0 || S.Pos >= N)
    return false;
  if (S.HasEnd && (Forward ? S.Pos > S.EndPos : S.Pos < S.EndPos))
    return false;
  RecordID = At(S.Pos)->second.RecordID;
  if (!S.Started) {
    S.Forward = Forward;
    S.Started = true;
  }
  return true;
}

int32_t TFakeIndex::CompareRecordKeys(const uint8_t* A, const uint8_t* B, int32_t ColumnCount) {
  Hook("CompareRecordKeys");
  ColumnCount = std::clamp<int32_t>(ColumnCount, 0, int32_t(FColumns.size()));
  return CompareKeys(MakeKey(A), MakeKey(B), ColumnCount);
}

int32_t TFakeIndex::ConditionDirection(const TTolvanScanSearchCondition& Condition) {
  switch (Condition.ConditionType) {
  case sctGreater:
  case sctGreaterOrEqual:
    return -1;
  case sctLess:
  case sctLessOrEqual:
    return 1;
  default:
    return 0;
  }
}

int64_t TFakeIndex::EstimateRangeCount(int32_t SessionID, const TTolvanScanSearchCondition& A,
                                       int64_t Total, const TTolvanScanSearchCondition& B) {
  if (Def()->RootPageNo() == -1)
    return 0;
  EnsureLoaded(SessionID);
  const TScanCondition CA = ConditionOf(A), CB = ConditionOf(B);
  int64_t Count = 0;
  for (const auto& [Key, Entry] : FEntries)
    if (Satisfies(Key, CA) && Satisfies(Key, CB))
      ++Count;
  return std::clamp<int64_t>(Count, 0, std::max<int64_t>(Total, 0));
}

bool TFakeIndex::IsKeyUnique(int32_t SessionID, const uint8_t* Buffer) {
  if (Def()->RootPageNo() == -1 || (!Def()->Unique() && !Def()->Primary()))
    return true;
  EnsureLoaded(SessionID);
  return FEntries.find(MakeKey(Buffer)) == FEntries.end();
}

bool TFakeIndex::IsKeyUniqueOnUpdate(int32_t SessionID, const uint8_t* OldBuffer,
                                     const uint8_t* NewBuffer) {
  if (CompareRecordKeys(OldBuffer, NewBuffer, int32_t(FColumns.size())) == 0)
    return true;
  return IsKeyUnique(SessionID, NewBuffer);
}

void TFakeIndex::InsertKey(TTolvanCursor& Cursor) {
  Hook("InsertKey");
  const int32_t SessionID = SessionIDOf(&Cursor);
  if (Def()->RootPageNo() != -1)
    EnsureLoaded(SessionID);
  else {
    FEntries.clear();
    FLoaded = true;
  }
  AddEntry(SessionID, MakeKey(Cursor.RecordBuffer()), Cursor.Position());
}

void TFakeIndex::DeleteKey(TTolvanCursor& Cursor) {
  Hook("DeleteKey");
  const int32_t SessionID = SessionIDOf(&Cursor);
  if (Def()->RootPageNo() == -1)
    throw ETolvanException::Create(ErrIndexEntryNotFound, SIndexEntryNotFound);
  EnsureLoaded(SessionID);
  const auto Entry = FindEntry(MakeKey(Cursor.RecordBuffer()), Cursor.Position());
  if (Entry == FEntries.end())
    throw ETolvanException::Create(ErrIndexEntryNotFound, SIndexEntryNotFound);
  RemoveEntry(SessionID, Entry);
}

void TFakeIndex::UpdateKey(TTolvanCursor& Cursor) {
  Hook("UpdateKey");
  if (!Cursor.BeforeImage())
    throw EInvalidPointer(std::string(SysConst::SInvalidPointer));
  const TKey Old = MakeKey(Cursor.BeforeImage());
  const TKey New = MakeKey(Cursor.RecordBuffer());
  if (CompareKeys(Old, New, int32_t(FColumns.size())) == 0)
    return;
  const int32_t SessionID = SessionIDOf(&Cursor);
  if (Def()->RootPageNo() == -1)
    throw ETolvanException::Create(ErrIndexEntryNotFound, SIndexEntryNotFound);
  EnsureLoaded(SessionID);
  const auto Entry = FindEntry(Old, Cursor.Position());
  if (Entry == FEntries.end())
    throw ETolvanException::Create(ErrIndexEntryNotFound, SIndexEntryNotFound);
  RemoveEntry(SessionID, Entry);
  AddEntry(SessionID, New, Cursor.Position());
}

} // namespace tolvan::test
