#include "storage/btree/TolvanBTree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int32_t ErrBadPageHeader = 20028;
constexpr int32_t ErrReadEmptyPath = 20068;
constexpr int32_t ErrStepEmptyPath = 20069;
constexpr int32_t ErrNoNextPage = 20070;
constexpr int32_t ErrNoPriorPage = 20071;
constexpr int32_t ErrEmptyIndex = 20074;
constexpr int32_t ErrRecNoTooLarge = 20075;
constexpr int32_t ErrScanRestarted = 20078;

void PutRecordID(uint8_t* Data, const TTolvanRecordID& ID) noexcept {
  StoreLE<int32_t>(Data, ID.PageNo);
  StoreLE<uint16_t>(Data + 4, ID.PageItemNo);
}

// Walks a level's sibling chain, refusing to go round for ever in a damaged one: no chain is
// longer than the pages the store holds.
class TChainGuard {
public:
  TChainGuard(const TTolvanPageManager& Pages, int32_t Code)
      : FLeft(int64_t(Pages.GetAllocatedPageCount()) + 1), FCode(Code) {}
  void Step() {
    if (--FLeft < 0)
      throw ETolvanException::Create(FCode, SIndexInvalidPageNumber);
  }

private:
  int64_t FLeft;
  int32_t FCode;
};

} // namespace

// --- Pages --------------------------------------------------------------------------------------

TTolvanBTreePage TTolvanBTree::NewBTreePage(int32_t SessionID) {
  return TTolvanBTreePage(*FPages, FPages->NewPage(SessionID), *FKeyRef);
}

void TTolvanBTree::NewBTreePages(int32_t SessionID, int32_t Count, TTolvanBTreePage* Views) {
  TTolvanPage* Pages[MaxKeyPathLevels + 1];
  FPages->NewPages(SessionID, Count, Pages);
  for (int32_t I = 0; I < Count; ++I)
    Views[I] = TTolvanBTreePage(*FPages, Pages[I], *FKeyRef);
}

TTolvanBTreePage TTolvanBTree::GetBTreePage(int32_t SessionID, int32_t PageNo) {
  TTolvanBTreePage View(*FPages, FPages->GetPage(SessionID, PageNo, FReloadCheck), *FKeyRef);
  if (!View.HeaderIsSound())
    throw ETolvanException::CreateFmt(ErrBadPageHeader, SIndexIntegrityViolated, PageNo, -1);
  return View;
}

void TTolvanBTree::RemoveBTreePage(int32_t SessionID, int32_t PageNo) {
  FPages->RemovePage(SessionID, PageNo);
}

// --- Changes ------------------------------------------------------------------------------------

void TTolvanBTree::CreateRoot(int32_t SessionID) {
  TTolvanBTreePage Root = NewBTreePage(SessionID);
  Root.InitRoot();
  Root.SetDirty();
  FRootPageNo = Root.PageNo();
}

void TTolvanBTree::InsertKey(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID) {
  uint8_t Data[BTreeLeafDataSize];
  PutRecordID(Data, ID);
  if (FRootPageNo == -1) {
    // A new root takes the entry at once: a failure leaves no root behind.
    TTolvanBTreePage Root = NewBTreePage(SessionID);
    Root.InitRoot();
    Root.InsertEntryAt(Key, Data, 0);
    Root.SetDirty();
    FRootPageNo = Root.PageNo();
    return;
  }
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanKeyPath Path;
  TTolvanBTreePage Root = GetRoot(SessionID);
  Root.Controller().InsertEntry(W, Root, Key, Data, Path);
}

bool TTolvanBTree::DeleteKey(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID) {
  if (FRootPageNo == -1)
    return false;
  uint8_t Data[BTreeLeafDataSize];
  PutRecordID(Data, ID);
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanKeyPath Path;
  bool Found;
  {
    TTolvanBTreePage Root = GetRoot(SessionID);
    Found = Root.Controller().DeleteEntry(W, Root, Key, Data, Path);
  }
  // The merged pages go once nothing holds them; the room was made before the merge began.
  for (int32_t I = 0; I < W.RemovedCount; ++I) {
    try {
      FPages->RemovePage(SessionID, W.RemovedPageNos[I]);
    } catch (...) {
      // Cannot happen after the reservation; at worst the page would stay allocated.
    }
  }
  return Found;
}

void TTolvanBTree::FreePages(int32_t SessionID) {
  if (FRootPageNo == -1)
    return;
  std::vector<int32_t> PageNos;
  TTolvanBTreeWork W(*this, SessionID);
  W.FreedPageNos = &PageNos;
  {
    TTolvanBTreePage Root = GetRoot(SessionID);
    Root.Controller().FreePages(W, Root);
  }
  std::sort(PageNos.begin(), PageNos.end());
  PageNos.erase(std::unique(PageNos.begin(), PageNos.end()), PageNos.end());
  for (int32_t PageNo : PageNos)
    if (!FPages->PageAllocated(PageNo) || FPages->PageReleased(PageNo))
      throw ETolvanException::CreateFmt(ErrPageNotAllocated, SPageNotAllocated, PageNo);
  FPages->ReserveChange(SessionID, 0, PageNos.data(), int32_t(PageNos.size()));
  for (int32_t PageNo : PageNos)
    FPages->RemovePage(SessionID, PageNo);
}

// --- Paths --------------------------------------------------------------------------------------

bool TTolvanBTree::FindKeyPath(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID,
                               TTolvanKeyPath& Path) {
  Path.Clear();
  if (FRootPageNo == -1)
    return false;
  uint8_t Data[BTreeLeafDataSize];
  PutRecordID(Data, ID);
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanBTreePage Root = GetRoot(SessionID);
  return Root.Controller().FindEntry(W, Root, Key, Data, Path);
}

bool TTolvanBTree::GoFirstPath(int32_t SessionID, TTolvanKeyPath& Path) {
  Path.Clear();
  if (FRootPageNo == -1)
    return false;
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanBTreePage Root = GetRoot(SessionID);
  return Root.Controller().GoFirst(W, Root, Path);
}

bool TTolvanBTree::GoLastPath(int32_t SessionID, TTolvanKeyPath& Path) {
  Path.Clear();
  if (FRootPageNo == -1)
    return false;
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanBTreePage Root = GetRoot(SessionID);
  return Root.Controller().GoLast(W, Root, Path);
}

bool TTolvanBTree::NextEntry(int32_t SessionID, TTolvanKeyPath& Path) {
  if (Path.Count() == 0)
    throw ETolvanException::Create(ErrStepEmptyPath, SIndexInvalidPosition);
  int32_t D = Path.Count() - 1;
  while (D >= 0 && Path.Levels(D).EntryNo >= Path.Levels(D).EntryCount - 1)
    --D;
  if (D < 0)
    return false;
  // The deeper levels move to their next pages; Path changes only once all of them are read.
  TTolvanKeyPathLevel Moved[MaxKeyPathLevels];
  for (int32_t L = D + 1; L < Path.Count(); ++L) {
    int32_t Next;
    {
      TTolvanBTreePage Old = GetBTreePage(SessionID, Path.Levels(L).PageNo);
      Next = Old.NextPageNo();
    }
    if (Next == -1)
      throw ETolvanException::Create(ErrNoNextPage, SIndexInvalidPageNumber);
    TTolvanBTreePage New = GetBTreePage(SessionID, Next);
    if (New.EntryCount() == 0)
      throw ETolvanException::Create(ErrNoNextPage, SIndexInvalidPageNumber);
    Moved[L] = {Next, 0, New.EntryCount()};
  }
  ++Path.Levels(D).EntryNo;
  for (int32_t L = D + 1; L < Path.Count(); ++L)
    Path.Levels(L) = Moved[L];
  return true;
}

bool TTolvanBTree::PriorEntry(int32_t SessionID, TTolvanKeyPath& Path) {
  if (Path.Count() == 0)
    throw ETolvanException::Create(ErrStepEmptyPath, SIndexInvalidPosition);
  int32_t D = Path.Count() - 1;
  while (D >= 0 && Path.Levels(D).EntryNo <= 0)
    --D;
  if (D < 0)
    return false;
  TTolvanKeyPathLevel Moved[MaxKeyPathLevels];
  for (int32_t L = D + 1; L < Path.Count(); ++L) {
    int32_t Prev;
    {
      TTolvanBTreePage Old = GetBTreePage(SessionID, Path.Levels(L).PageNo);
      Prev = Old.PrevPageNo();
    }
    if (Prev == -1)
      throw ETolvanException::Create(ErrNoPriorPage, SIndexInvalidPageNumber);
    TTolvanBTreePage New = GetBTreePage(SessionID, Prev);
    const int32_t N = New.EntryCount();
    if (N == 0)
      throw ETolvanException::Create(ErrNoPriorPage, SIndexInvalidPageNumber);
    Moved[L] = {Prev, N - 1, N};
  }
  --Path.Levels(D).EntryNo;
  for (int32_t L = D + 1; L < Path.Count(); ++L)
    Path.Levels(L) = Moved[L];
  return true;
}

bool TTolvanBTree::StepPath(int32_t SessionID, bool FromEnd, bool Forward, TTolvanKeyPath& Path) {
  if (FromEnd)
    return Forward ? GoFirstPath(SessionID, Path) : GoLastPath(SessionID, Path);
  return Forward ? NextEntry(SessionID, Path) : PriorEntry(SessionID, Path);
}

TTolvanRecordID TTolvanBTree::ReadRecordIDAt(int32_t SessionID, const TTolvanKeyPath& Path) {
  return ReadEntryAt(SessionID, Path, nullptr);
}

TTolvanRecordID TTolvanBTree::ReadEntryAt(int32_t SessionID, const TTolvanKeyPath& Path,
                                          uint8_t* Key) {
  if (Path.Count() == 0)
    throw ETolvanException::Create(ErrReadEmptyPath, SIndexInvalidPosition);
  const TTolvanKeyPathLevel& L = Path.Last();
  TTolvanBTreePage Leaf = GetBTreePage(SessionID, L.PageNo);
  if (!Leaf.IsLeaf() || L.EntryNo < 0 || L.EntryNo >= Leaf.EntryCount())
    throw ETolvanException::Create(ErrReadEmptyPath, SIndexInvalidPosition);
  if (Key)
    std::memcpy(Key, Leaf.EntryPtr(L.EntryNo), size_t(Leaf.KeySize()));
  return Leaf.RecordIDAt(L.EntryNo);
}

bool TTolvanBTree::FindByCondition(int32_t SessionID, bool First,
                                   const TTolvanBTreeCondition& Condition, TTolvanKeyPath& Path) {
  Path.Clear();
  if (FRootPageNo == -1)
    return false;
  const uint8_t Type = Condition.Key ? Condition.ConditionType : uint8_t(bctNone);
  TTolvanKeyColumnScope Columns(*FKeyRef, Condition.KeyFieldCount);
  TTolvanBTreeWork W(*this, SessionID);
  TTolvanBTreePage Root = GetRoot(SessionID);
  return Root.Controller().FindByCondition(W, Root, First, Condition.Key, Type, Path);
}

// --- Questions ----------------------------------------------------------------------------------

bool TTolvanBTree::IsKeyUnique(int32_t SessionID, const uint8_t* Key) {
  TTolvanKeyPath Path;
  return !FindByCondition(SessionID, true, {bctEqual, Key, FKeyRef->ColumnTotal()}, Path);
}

int64_t TTolvanBTree::GetRecNo(int32_t SessionID, const uint8_t* Key, const TTolvanRecordID& ID,
                               TTolvanBTreeRecordFilter* Filter) {
  TTolvanKeyPath Path;
  if (!FindKeyPath(SessionID, Key, ID, Path))
    return -1;
  TChainGuard Guard(*FPages, ErrNoPriorPage);
  int64_t Sum = 0;
  int32_t Upto = Path.Last().EntryNo;
  for (int32_t PageNo = Path.Last().PageNo; PageNo != -1; Upto = -1) {
    Guard.Step();
    TTolvanBTreePage Leaf = GetBTreePage(SessionID, PageNo);
    const int32_t Last = Upto >= 0 ? std::min(Upto, Leaf.EntryCount() - 1) : Leaf.EntryCount() - 1;
    if (!Filter) {
      Sum += Last + 1;
    } else {
      for (int32_t I = 0; I <= Last; ++I)
        Sum += Filter->AcceptRecord(Leaf.RecordIDAt(I)) ? 1 : 0;
    }
    PageNo = Leaf.PrevPageNo();
  }
  return Sum;
}

TTolvanRecordID TTolvanBTree::GetRecordIDByRecNo(int32_t SessionID,
                                                 TTolvanBTreeRecordFilter* Filter, int64_t RecNo) {
  if (RecNo < 1)
    RecNo = 1;
  TTolvanKeyPath Path;
  if (!GoFirstPath(SessionID, Path))
    throw ETolvanException::Create(ErrEmptyIndex, SCannotRetrieveFromEmptyIndex);
  TChainGuard Guard(*FPages, ErrNoNextPage);
  int64_t Counted = 0;
  for (int32_t PageNo = Path.Last().PageNo; PageNo != -1;) {
    Guard.Step();
    TTolvanBTreePage Leaf = GetBTreePage(SessionID, PageNo);
    const int32_t N = Leaf.EntryCount();
    if (Filter) {
      for (int32_t I = 0; I < N; ++I) {
        const TTolvanRecordID ID = Leaf.RecordIDAt(I);
        if (Filter->AcceptRecord(ID) && ++Counted == RecNo)
          return ID;
      }
    } else {
      if (Counted + N >= RecNo)
        return Leaf.RecordIDAt(int32_t(RecNo - Counted - 1));
      Counted += N;
    }
    PageNo = Leaf.NextPageNo();
  }
  throw ETolvanException::Create(ErrRecNoTooLarge, SRecNoGreaterThanRecordCount);
}

void TTolvanBTree::RemoveDuplicateKeys(int32_t SessionID, TTolvanBTreeRecordFilter& Filter) {
  TTolvanKeyPath Path;
  if (!GoFirstPath(SessionID, Path))
    return;
  TTolvanKeyBuffer Kept(*FKeyRef);
  bool HasKept = false;
  TChainGuard Guard(*FPages, ErrNoNextPage);
  for (int32_t PageNo = Path.Last().PageNo; PageNo != -1;) {
    Guard.Step();
    TTolvanBTreePage Leaf = GetBTreePage(SessionID, PageNo);
    for (int32_t I = 0; I < Leaf.EntryCount(); ++I) {
      const TTolvanRecordID ID = Leaf.RecordIDAt(I);
      if (!Filter.AcceptRecord(ID))
        continue;
      if (HasKept && FKeyRef->CompareKeys(Kept.Data(), Leaf.EntryPtr(I)) == 0) {
        Filter.RemoveRecord(ID);
      } else {
        std::memcpy(Kept.Data(), Leaf.EntryPtr(I), size_t(FKeyRef->KeySize()));
        HasKept = true;
      }
    }
    PageNo = Leaf.NextPageNo();
  }
}

int TTolvanBTree::ConditionDirection(uint8_t ConditionType) noexcept {
  switch (ConditionType) {
  case bctGreater:
  case bctGreaterOrEqual:
    return -1;
  case bctLess:
  case bctLessOrEqual:
    return 1;
  default:
    return 0;
  }
}

int64_t TTolvanBTree::EstimateRangeCount(int32_t SessionID, const TTolvanBTreeCondition& A,
                                         int64_t Total, const TTolvanBTreeCondition& B) {
  if (FRootPageNo == -1)
    return 0;
  const bool ALower = ConditionDirection(A.ConditionType) == -1;
  const TTolvanBTreeCondition& Lower = ALower ? A : B;
  const TTolvanBTreeCondition& Upper = ALower ? B : A;
  TTolvanKeyPath Path;
  if (!FindByCondition(SessionID, true, Lower, Path))
    return 0;
  const long double P1 = Path.ApproxPosition();
  if (!FindByCondition(SessionID, false, Upper, Path))
    return 0;
  const long double P2 = Path.ApproxPosition();
  const long double Estimate = (P2 - P1) * Total;
  if (!(Estimate > 0))
    return 0;
  if (Estimate >= Total)
    return Total;
  return int64_t(std::nearbyint(Estimate)); // the default rounding: half to even
}

bool TTolvanBTree::ScanPosition(int32_t SessionID, bool Start, bool Forward,
                                const TTolvanBTreeCondition* StartCondition,
                                const uint8_t* ResumeKey, const TTolvanRecordID& ID,
                                TTolvanBTreeScanState& State, bool& Positioned) {
  State.Path.Clear();
  Positioned = Start;
  if (!StartCondition) {
    if (Start)
      return StepPath(SessionID, true, Forward, State.Path);
    return ResumeKey && FindKeyPath(SessionID, ResumeKey, ID, State.Path);
  }
  if (!FindByCondition(SessionID, Forward, *StartCondition, State.Path))
    return false;
  if (Start)
    return true;
  // Resumed after the record ID names: before the range start the scan begins at the start
  // itself; otherwise with the entry after the record's.
  TTolvanKeyPath Resume;
  if (!ResumeKey || !FindKeyPath(SessionID, ResumeKey, ID, Resume))
    return false;
  const int C = CompareKeyPaths(Resume, State.Path);
  if (Forward ? C < 0 : C > 0)
    Positioned = true;
  else
    State.Path.Assign(Resume);
  return true;
}

bool TTolvanBTree::ScanNext(int32_t SessionID, bool Start, bool Forward,
                            const TTolvanBTreeCondition* StartCondition,
                            const TTolvanBTreeCondition* EndCondition, const uint8_t* ResumeKey,
                            TTolvanRecordID& ID, TTolvanBTreeScanState& State) {
  if (Start && State.Started)
    throw ETolvanException::Create(ErrScanRestarted, SIndexInvalidParams);
  const bool Dir = State.Started ? State.Forward : Forward;
  bool Positioned = false;
  if (!State.Started &&
      !ScanPosition(SessionID, Start, Dir, StartCondition, ResumeKey, ID, State, Positioned))
    return false;
  if (!State.Started) {
    State.HasEndPath = false;
    if (StartCondition) {
      const TTolvanBTreeCondition& End = EndCondition ? *EndCondition : *StartCondition;
      if (!FindByCondition(SessionID, !Dir, End, State.EndPath))
        return false;
      State.HasEndPath = true;
    }
  }
  if (!Positioned && !StepPath(SessionID, false, Dir, State.Path))
    return false;
  if (State.HasEndPath) {
    const int C = CompareKeyPaths(State.Path, State.EndPath);
    if (Dir ? C > 0 : C < 0)
      return false;
  }
  ID = ReadRecordIDAt(SessionID, State.Path);
  if (!State.Started) {
    State.Forward = Dir;
    State.Started = true;
  }
  return true;
}

} // namespace tolvan
