#include "storage/btree/TolvanBTreeControllers.h"

#include <algorithm>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/btree/TolvanBTree.h"
#include "storage/btree/TolvanBTreeCheck.h"

namespace tolvan {

const TTolvanBTreeLeafController BTreeLeafController;
const TTolvanBTreeNodeController BTreeNodeController;

namespace {

constexpr int32_t ErrPageIsEmpty = 20025;
constexpr int32_t ErrIntegrity = 20028;
constexpr int32_t ErrKeyPathItemNo = 11660;

[[noreturn]] void RaiseDepth(int32_t ItemNo, const TTolvanBTreePage& Page) {
  throw ETolvanException::CreateFmt(ErrKeyPathItemNo, SIndexKeyPathInvalidItemNo, ItemNo,
                                    Page.PageNo(), 0, Page.EntryCount());
}

// The level a page on the way down sits at; it registers there for the splits and merges below.
int32_t EnterLevel(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const TTolvanKeyPath& Path) {
  const int32_t Level = Path.ItemNo();
  if (Level < 0 || Level >= MaxKeyPathLevels)
    RaiseDepth(Level, Page);
  W.Views[Level] = &Page;
  return Level;
}

// Counts the levels a walk that records no key path goes down, so that a damaged tree cannot
// send it round in a circle.
class TDepthScope {
public:
  TDepthScope(TTolvanBTreeWork& W, const TTolvanBTreePage& Page) : FW(W) {
    if (W.Depth >= MaxKeyPathLevels - 1)
      RaiseDepth(W.Depth + 1, Page);
    ++W.Depth;
  }
  ~TDepthScope() { --FW.Depth; }
  TDepthScope(const TDepthScope&) = delete;
  TDepthScope& operator=(const TDepthScope&) = delete;

private:
  TTolvanBTreeWork& FW;
};

// A node without children cannot route a search.
void CheckNodeNotEmpty(const TTolvanBTreePage& Page) {
  if (Page.EntryCount() == 0)
    throw ETolvanException::CreateFmt(ErrIntegrity, SIndexIntegrityViolated, Page.PageNo(), 0);
}

// Tries the children From .. To (To down to From when Ascending is False) with Try(child view),
// recording each in Path and dropping the level again after a child that answers False.
template <class F>
bool TryChildren(TTolvanBTreeWork& W, TTolvanBTreePage& Page, int32_t From, int32_t To,
                 bool Ascending, TTolvanKeyPath& Path, F&& Try) {
  const int32_t N = Page.EntryCount();
  for (int32_t I = Ascending ? From : To; Ascending ? I <= To : I >= From;
       I += Ascending ? 1 : -1) {
    Path.AddLevel(Page.PageNo(), I, N);
    TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(I));
    if (Try(Child))
      return true;
    Path.RemoveLastLevel();
  }
  return false;
}

// --- Insertion with splits ----------------------------------------------------------------------

void SplitPage(TTolvanBTreePage& P, TTolvanBTreePage& R, TTolvanBTreePage& Next) noexcept {
  const int32_t N = P.EntryCount();
  const int32_t M = N / 2;
  R.CopyEntriesFrom(P, M, N - M);
  R.SetNextPageNo(P.NextPageNo());
  R.SetPrevPageNo(P.PageNo());
  R.SetDirty();
  if (Next.Assigned()) {
    Next.SetPrevPageNo(R.PageNo());
    Next.SetDirty();
  }
  P.SetNextPageNo(R.PageNo());
  std::memset(P.EntryPtr(M), 0, size_t(N - M) * size_t(P.EntrySize()));
  StoreLE<uint16_t>(P.Buffer() + 14, uint16_t(M));
  P.SetDirty();
}

void SplitRoot(TTolvanBTreePage& Root, TTolvanBTreePage& L, TTolvanBTreePage& R) noexcept {
  const int32_t N = Root.EntryCount();
  const int32_t M = N / 2;
  L.CopyEntriesFrom(Root, 0, M);
  R.CopyEntriesFrom(Root, M, N - M);
  L.SetIsRoot(false);
  R.SetIsRoot(false);
  L.SetNextPageNo(R.PageNo());
  R.SetPrevPageNo(L.PageNo());
  L.SetDirty();
  R.SetDirty();
  const int32_t H = Root.HeaderSize();
  std::memset(Root.Buffer() + H, 0, size_t(Root.PageSize() - H));
  Root.SetIsLeaf(false);
  StoreLE<uint16_t>(Root.Buffer() + 14, 0);
  uint8_t Child[4];
  StoreLE<int32_t>(Child, L.PageNo());
  Root.InsertEntryAt(nullptr, Child, 0);
  StoreLE<int32_t>(Child, R.PageNo());
  Root.InsertEntryAt(R.EntryPtr(0), Child, 1);
  Root.SetDirty();
}

// The leaf at Level has no room for (Key, Data): the leaf and each full parent above it split,
// up to a parent with room or through the root.
void SplitInsert(TTolvanBTreeWork& W, int32_t Level, const uint8_t* Key, const void* Data,
                 int32_t Position, const TTolvanKeyPath& Path) {
  TTolvanBTree& T = W.Tree;
  int32_t Top = Level;
  while (Top > 0 && !W.Views[Top - 1]->HasRoomForOne())
    --Top;
  const bool RootSplits = Top == 0;
  if (RootSplits && Level + 1 >= MaxKeyPathLevels)
    RaiseDepth(Level + 1, *W.Views[0]);

  // Everything the cascade needs, before any byte changes.
  TTolvanBTreePage Neighbours[MaxKeyPathLevels];
  int32_t Changed = 0;
  for (int32_t K = Level; K >= std::max(Top, 1); --K) {
    const int32_t Next = W.Views[K]->NextPageNo();
    if (Next != -1) {
      Neighbours[K] = T.GetBTreePage(W.SessionID, Next);
      ++Changed;
    }
  }
  const int32_t Splits = Level - Top + 1;
  const int32_t NewCount = Splits + (RootSplits ? 1 : 0);
  Changed += Splits + NewCount + (RootSplits ? 0 : 1);
  T.Pages().ReserveChange(W.SessionID, Changed, nullptr, 0);
  for (int32_t K = Level; K >= Top; --K)
    W.Views[K]->GrowByOneEntry();
  TTolvanBTreePage New[MaxKeyPathLevels + 1];
  T.NewBTreePages(W.SessionID, NewCount, New);

  // From here on nothing allocates or raises.
  W.Views[Level]->InsertEntryAt(Key, Data, Position);
  int32_t Taken = 0;
  for (int32_t K = Level;; --K) {
    TTolvanBTreePage& P = *W.Views[K];
    if (K == 0) {
      SplitRoot(P, New[Taken], New[Taken + 1]);
      break;
    }
    TTolvanBTreePage& R = New[Taken++];
    SplitPage(P, R, Neighbours[K]);
    TTolvanBTreePage& Q = *W.Views[K - 1];
    const int32_t N = Q.EntryCount();
    uint8_t Child[4];
    StoreLE<int32_t>(Child, R.PageNo());
    Q.InsertEntryAt(R.EntryPtr(0), Child, N < 2 ? N : Path.Levels(K - 1).EntryNo + 1);
    if (K - 1 < Top) {
      Q.SetDirty();
      break;
    }
  }
}

// --- Deletion with merges -----------------------------------------------------------------------

// How one level of a delete merges: into the previous or the next sibling, and the page on the
// other side whose link changes.
struct TMerge {
  bool IntoPrev = false;
  TTolvanBTreePage Sibling;
  TTolvanBTreePage Neighbour;
};

// The separator below which the page at Level's keys lie in its ancestors: nil when the page is
// the first on its level.
const uint8_t* LowerSeparator(const TTolvanBTreeWork& W, int32_t Level,
                              const TTolvanKeyPath& Path) {
  for (int32_t I = Level - 1; I >= 0; --I)
    if (Path.Levels(I).EntryNo > 0)
      return W.Views[I]->EntryPtr(Path.Levels(I).EntryNo);
  return nullptr;
}

// The separator above the page at Level's keys: nil when the page is the last on its level.
const uint8_t* UpperSeparator(const TTolvanBTreeWork& W, int32_t Level,
                              const TTolvanKeyPath& Path) {
  for (int32_t I = Level - 1; I >= 0; --I) {
    const TTolvanKeyPathLevel& L = Path.Levels(I);
    if (L.EntryNo < L.EntryCount - 1)
      return W.Views[I]->EntryPtr(L.EntryNo + 1);
  }
  return nullptr;
}

// The page at Level merged away: the parent loses its entry, and the separators that bounded the
// moved entries follow them.
void RemoveChildEntry(TTolvanBTreeWork& W, int32_t Level, bool IntoPrev, int32_t Moved,
                      const TTolvanKeyPath& Path) noexcept {
  TTolvanBTreePage& P = *W.Views[Level];
  TTolvanBTreePage& Q = *W.Views[Level - 1];
  const int32_t L = Level - 1;
  const int32_t E = Path.Levels(L).EntryNo;
  if (IntoPrev) {
    // P's entries went to the left: the separator that led into Q's subtree becomes Q's new
    // first key. A Q of one entry empties and merges in turn.
    if (E == 0 && Q.EntryCount() >= 2) {
      for (int32_t I = L - 1; I >= 0; --I) {
        const int32_t At = Path.Levels(I).EntryNo;
        if (At > 0) {
          W.Views[I]->SetKeyAt(At, Q.EntryPtr(1));
          W.Views[I]->SetDirty();
          break;
        }
      }
    }
  } else {
    // P's entries now open the next subtree, whose separator takes their lower bound: P's own
    // separator, or for the first child of Q the smallest of P's keys (taken before the move).
    const uint8_t* Bound = E > 0        ? Q.EntryPtr(E)
                           : Moved == 0 ? nullptr
                           : P.IsLeaf() ? P.EntryPtr(0)
                                        : LowerSeparator(W, Level, Path);
    if (Bound) {
      for (int32_t I = L; I >= 0; --I) {
        const TTolvanKeyPathLevel& Lv = Path.Levels(I);
        if (Lv.EntryNo < Lv.EntryCount - 1) {
          W.Views[I]->SetKeyAt(Lv.EntryNo + 1, Bound);
          W.Views[I]->SetDirty();
          break;
        }
      }
    }
  }
  // Q holds entry E: it cannot be empty here.
  const int32_t N = Q.EntryCount();
  const int32_t ES = Q.EntrySize();
  std::memmove(Q.EntryPtr(E), Q.EntryPtr(E + 1), size_t(N - E - 1) * size_t(ES));
  std::memset(Q.EntryPtr(N - 1), 0, size_t(ES));
  StoreLE<uint16_t>(Q.Buffer() + 14, uint16_t(N - 1));
}

void MergeLevel(TTolvanBTreeWork& W, int32_t Level, TMerge& M,
                const TTolvanKeyPath& Path) noexcept {
  TTolvanBTreePage& P = *W.Views[Level];
  TTolvanBTreePage& S = M.Sibling;
  const int32_t Moved = P.EntryCount();
  if (M.IntoPrev) {
    if (M.Neighbour.Assigned()) {
      M.Neighbour.SetPrevPageNo(S.PageNo());
      M.Neighbour.SetDirty();
    }
    // P's first entry becomes an inner entry of S: its key takes the separator between them.
    if (!P.IsLeaf() && Moved > 0)
      if (const uint8_t* Bound = LowerSeparator(W, Level, Path))
        P.SetKeyAt(0, Bound);
    S.AppendEntries(P, 0, Moved);
    S.SetNextPageNo(P.NextPageNo());
  } else {
    if (M.Neighbour.Assigned()) {
      M.Neighbour.SetNextPageNo(S.PageNo());
      M.Neighbour.SetDirty();
    }
    // S's first entry becomes an inner entry behind P's: likewise.
    if (!P.IsLeaf() && Moved > 0)
      if (const uint8_t* Bound = UpperSeparator(W, Level, Path))
        S.SetKeyAt(0, Bound);
    S.PrependEntries(P, 0, Moved);
    S.SetPrevPageNo(P.PrevPageNo());
  }
  S.SetDirty();
  P.SetDirty();
  RemoveChildEntry(W, Level, M.IntoPrev, Moved, Path);
}

// Entry Position of the leaf at Level goes; each page left under half full (or empty) merges
// into a sibling, up the path as far as the merges go.
void MergeDelete(TTolvanBTreeWork& W, int32_t Level, int32_t Position, const TTolvanKeyPath& Path) {
  TTolvanBTree& T = W.Tree;
  TMerge Merges[MaxKeyPathLevels];
  int32_t Removed[MaxKeyPathLevels];
  int32_t RemovedCount = 0;

  // Which levels merge, with the siblings and neighbours they change, before any byte changes.
  int32_t K = Level;
  int32_t Count = W.Views[K]->EntryCount() - 1;
  for (; K > 0; --K, Count = W.Views[K]->EntryCount() - 1) {
    TTolvanBTreePage& P = *W.Views[K];
    if (Count > 0 && !P.IsUnderflowingAt(Count))
      break;
    const int32_t Prev = P.PrevPageNo(), Next = P.NextPageNo();
    TMerge& M = Merges[K];
    TTolvanBTreePage Before;
    bool Merges_ = false;
    if (Prev != -1) {
      Before = T.GetBTreePage(W.SessionID, Prev);
      if (Count == 0 || P.CanMergeWith(Before, Count)) {
        M.IntoPrev = true;
        M.Sibling = static_cast<TTolvanBTreePage&&>(Before);
        if (Next != -1)
          M.Neighbour = T.GetBTreePage(W.SessionID, Next);
        Merges_ = true;
      }
    }
    if (!Merges_ && Next != -1) {
      TTolvanBTreePage After = T.GetBTreePage(W.SessionID, Next);
      if (Count == 0 || P.CanMergeWith(After, Count)) {
        M.IntoPrev = false;
        M.Sibling = static_cast<TTolvanBTreePage&&>(After);
        M.Neighbour = static_cast<TTolvanBTreePage&&>(Before);
        Merges_ = true;
      }
    }
    if (!Merges_)
      break;
    Removed[RemovedCount++] = P.PageNo();
  }
  const int32_t Top = K;
  T.Pages().ReserveChange(W.SessionID, Level + 1 + 2 * RemovedCount, Removed, RemovedCount);

  // From here on nothing allocates or raises.
  TTolvanBTreePage& Leaf = *W.Views[Level];
  const int32_t N = Leaf.EntryCount();
  const int32_t ES = Leaf.EntrySize();
  std::memmove(Leaf.EntryPtr(Position), Leaf.EntryPtr(Position + 1),
               size_t(N - Position - 1) * size_t(ES));
  std::memset(Leaf.EntryPtr(N - 1), 0, size_t(ES));
  StoreLE<uint16_t>(Leaf.Buffer() + 14, uint16_t(N - 1));
  for (int32_t L = Level; L > Top; --L)
    MergeLevel(W, L, Merges[L], Path);
  W.Views[Top]->SetDirty();
  std::copy(Removed, Removed + RemovedCount, W.RemovedPageNos);
  W.RemovedCount = RemovedCount;
}

} // namespace

// --- Leaf controller ----------------------------------------------------------------------------

int32_t TTolvanBTreeLeafController::FindEntryWithData(const TTolvanBTreePage& Page,
                                                      const uint8_t* Key,
                                                      const void* Data) noexcept {
  const int32_t N = Page.EntryCount();
  const int32_t DS = Page.DataSize();
  if (!Key) {
    for (int32_t I = 0; I < N; ++I)
      if (BytesEqual(Page.DataPtr(I), Data, DS))
        return I;
    return -1;
  }
  const TTolvanBTreeSearch S = Page.BinarySearch(Key, 0, bsmLeftmost);
  if (!S.Found())
    return -1;
  const TTolvanBTreeKeyRef& K = Page.KeyRef();
  for (int32_t I = S.Position; I < N && K.CompareKeys(Key, Page.EntryPtr(I)) == 0; ++I)
    if (BytesEqual(Page.DataPtr(I), Data, DS))
      return I;
  return -1;
}

void TTolvanBTreeLeafController::InsertEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                             const uint8_t* Key, const void* Data,
                                             TTolvanKeyPath& Path) const {
  const int32_t Level = EnterLevel(W, Page, Path);
  const int32_t Position = Page.BinarySearch(Key, 0, bsmAny).Position;
  if (!Page.HasRoomForOne()) {
    SplitInsert(W, Level, Key, Data, Position, Path);
    return;
  }
  W.Tree.Pages().ReserveChange(W.SessionID, 1, nullptr, 0);
  Page.InsertEntryAt(Key, Data, Position);
  Page.SetDirty();
}

bool TTolvanBTreeLeafController::DeleteEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                             const uint8_t* Key, const void* Data,
                                             TTolvanKeyPath& Path) const {
  const int32_t Position = FindEntryWithData(Page, Key, Data);
  if (Position < 0)
    return false;
  MergeDelete(W, EnterLevel(W, Page, Path), Position, Path);
  return true;
}

void TTolvanBTreeLeafController::FreePages(TTolvanBTreeWork& W, TTolvanBTreePage& Page) const {
  W.FreedPageNos->push_back(Page.PageNo());
}

void TTolvanBTreeLeafController::CheckIntegrity(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                                TTolvanKeyPath& Path) const {
  CheckTreePage(W, Page, Path);
}

bool TTolvanBTreeLeafController::FindEntry(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                           const uint8_t* Key, const void* Data,
                                           TTolvanKeyPath& Path) const {
  const int32_t Position = FindEntryWithData(Page, Key, Data);
  if (Position < 0)
    return false;
  Path.AddLevel(Page.PageNo(), Position, Page.EntryCount());
  return true;
}

bool TTolvanBTreeLeafController::GoFirst(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                         TTolvanKeyPath& Path) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    return false;
  Path.AddLevel(Page.PageNo(), 0, N);
  return true;
}

bool TTolvanBTreeLeafController::GoLast(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                        TTolvanKeyPath& Path) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    return false;
  Path.AddLevel(Page.PageNo(), N - 1, N);
  return true;
}

bool TTolvanBTreeLeafController::FindByCondition(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                                 bool First, const uint8_t* Key, uint8_t Condition,
                                                 TTolvanKeyPath& Path) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    return false;
  int32_t At = -1;
  switch (Condition) {
  case bctEqual: {
    const TTolvanBTreeSearch S = Page.BinarySearch(Key, 0, First ? bsmLeftmost : bsmRightmost);
    At = S.Found() ? S.Position : -1;
    break;
  }
  case bctLess: { // entries 0 .. the leftmost equal (or insertion place) - 1
    const int32_t End = Page.BinarySearch(Key, 0, bsmLeftmost).Position;
    At = End - 1 >= 0 ? (First ? 0 : End - 1) : -1;
    break;
  }
  case bctGreater: { // from the first entry above Key
    const TTolvanBTreeSearch S = Page.BinarySearch(Key, 0, bsmRightmost);
    const int32_t Begin = S.Found() ? S.Position + 1 : S.Position;
    At = Begin < N ? (First ? Begin : N - 1) : -1;
    break;
  }
  case bctLessOrEqual: { // up to the last entry not above Key
    const TTolvanBTreeSearch S = Page.BinarySearch(Key, 0, bsmRightmost);
    const int32_t End = S.Found() ? S.Position : S.Position - 1;
    At = End >= 0 ? (First ? 0 : End) : -1;
    break;
  }
  case bctGreaterOrEqual: { // from the first entry not below Key
    const int32_t Begin = Page.BinarySearch(Key, 0, bsmLeftmost).Position;
    At = Begin < N ? (First ? Begin : N - 1) : -1;
    break;
  }
  default:
    At = First ? 0 : N - 1;
    break;
  }
  if (At < 0)
    return false;
  Path.AddLevel(Page.PageNo(), At, N);
  return true;
}

void TTolvanBTreeLeafController::GetFirstKey(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                             uint8_t* Destination) const {
  if (Page.EntryCount() == 0)
    throw ETolvanException::Create(ErrPageIsEmpty, SIndexPageIsEmpty);
  std::memcpy(Destination, Page.EntryPtr(0), size_t(Page.KeySize()));
}

void TTolvanBTreeLeafController::GetLastKey(TTolvanBTreeWork&, TTolvanBTreePage& Page,
                                            uint8_t* Destination) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    throw ETolvanException::Create(ErrPageIsEmpty, SIndexPageIsEmpty);
  std::memcpy(Destination, Page.EntryPtr(N - 1), size_t(Page.KeySize()));
}

// --- Node controller ----------------------------------------------------------------------------

void TTolvanBTreeNodeController::ChildRange(const TTolvanBTreePage& Page, const uint8_t* Key,
                                            uint8_t Condition, int32_t& From,
                                            int32_t& To) noexcept {
  const int32_t N = Page.EntryCount();
  From = 0;
  To = N - 1;
  if (N == 0 || !Key)
    return;
  switch (Condition) {
  case bctEqual: {
    const TTolvanBTreeSearch L = Page.BinarySearch(Key, 1, bsmLeftmost);
    From = std::max(L.Position - 1, 0);
    To = L.Found() ? Page.BinarySearch(Key, 1, bsmRightmost).Position : From;
    break;
  }
  case bctLess:
    To = Page.BinarySearch(Key, 1, bsmLeftmost).Position - 1;
    break;
  case bctGreater: {
    const TTolvanBTreeSearch R = Page.BinarySearch(Key, 1, bsmRightmost);
    From = R.Found() ? R.Position : R.Position - 1;
    break;
  }
  case bctLessOrEqual: {
    const TTolvanBTreeSearch R = Page.BinarySearch(Key, 1, bsmRightmost);
    To = R.Found() ? R.Position : R.Position - 1;
    break;
  }
  case bctGreaterOrEqual:
    From = Page.BinarySearch(Key, 1, bsmLeftmost).Position - 1;
    break;
  default:
    break;
  }
}

void TTolvanBTreeNodeController::InsertEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                             const uint8_t* Key, const void* Data,
                                             TTolvanKeyPath& Path) const {
  EnterLevel(W, Page, Path);
  CheckNodeNotEmpty(Page);
  const TTolvanBTreeSearch S = Page.BinarySearch(Key, 1, bsmAny);
  // The last child whose separator is not above the key; child 0 below every separator.
  const int32_t At = S.Found() ? S.Position : S.Position - 1;
  Path.AddLevel(Page.PageNo(), At, Page.EntryCount());
  TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(At));
  Child.Controller().InsertEntry(W, Child, Key, Data, Path);
}

bool TTolvanBTreeNodeController::DeleteEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                             const uint8_t* Key, const void* Data,
                                             TTolvanKeyPath& Path) const {
  EnterLevel(W, Page, Path);
  int32_t From, To;
  ChildRange(Page, Key, bctEqual, From, To);
  return TryChildren(W, Page, From, To, true, Path, [&](TTolvanBTreePage& Child) {
    return Child.Controller().DeleteEntry(W, Child, Key, Data, Path);
  });
}

void TTolvanBTreeNodeController::FreePages(TTolvanBTreeWork& W, TTolvanBTreePage& Page) const {
  {
    TDepthScope Down(W, Page);
    for (int32_t I = 0; I < Page.EntryCount(); ++I) {
      TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(I));
      Child.Controller().FreePages(W, Child);
    }
  }
  W.FreedPageNos->push_back(Page.PageNo());
}

void TTolvanBTreeNodeController::CheckIntegrity(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                                TTolvanKeyPath& Path) const {
  CheckTreePage(W, Page, Path);
}

bool TTolvanBTreeNodeController::FindEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                           const uint8_t* Key, const void* Data,
                                           TTolvanKeyPath& Path) const {
  int32_t From, To;
  ChildRange(Page, Key, bctEqual, From, To);
  return TryChildren(W, Page, From, To, true, Path, [&](TTolvanBTreePage& Child) {
    return Child.Controller().FindEntry(W, Child, Key, Data, Path);
  });
}

bool TTolvanBTreeNodeController::GoFirst(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                         TTolvanKeyPath& Path) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    return false;
  Path.AddLevel(Page.PageNo(), 0, N);
  TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(0));
  return Child.Controller().GoFirst(W, Child, Path);
}

bool TTolvanBTreeNodeController::GoLast(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                        TTolvanKeyPath& Path) const {
  const int32_t N = Page.EntryCount();
  if (N == 0)
    return false;
  Path.AddLevel(Page.PageNo(), N - 1, N);
  TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(N - 1));
  return Child.Controller().GoLast(W, Child, Path);
}

bool TTolvanBTreeNodeController::FindByCondition(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                                 bool First, const uint8_t* Key, uint8_t Condition,
                                                 TTolvanKeyPath& Path) const {
  if (Page.EntryCount() == 0)
    return false;
  int32_t From, To;
  ChildRange(Page, Key, Condition, From, To);
  return TryChildren(W, Page, From, To, First, Path, [&](TTolvanBTreePage& Child) {
    return Child.Controller().FindByCondition(W, Child, First, Key, Condition, Path);
  });
}

void TTolvanBTreeNodeController::GetFirstKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                             uint8_t* Destination) const {
  CheckNodeNotEmpty(Page);
  TDepthScope Down(W, Page);
  TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(0));
  Child.Controller().GetFirstKey(W, Child, Destination);
}

void TTolvanBTreeNodeController::GetLastKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                                            uint8_t* Destination) const {
  CheckNodeNotEmpty(Page);
  TDepthScope Down(W, Page);
  TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, Page.ChildAt(Page.EntryCount() - 1));
  Child.Controller().GetLastKey(W, Child, Destination);
}

} // namespace tolvan
