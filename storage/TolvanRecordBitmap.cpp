#include "storage/TolvanRecordBitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanTableData.h"

namespace tolvan {

namespace {

constexpr int32_t ErrNilTableData = 10425;
constexpr int32_t ErrItemAtNumber = 11326;
constexpr int32_t ErrRemoveMissing = 11327;
constexpr int32_t ErrDuplicateID = 11328;
constexpr int32_t ErrInsertAfterMissing = 11332;

// An id's key: ids compare as their keys do, in the table's order (see TTolvanRecordIDArray).
// NoKey is no id's key.
constexpr int64_t NoKey = std::numeric_limits<int64_t>::min();

// A leaf of 120 ids is 720 bytes; 64 children keep the tree at most four nodes deep for any set
// that 32-bit positions can number.
constexpr int32_t LeafCapacity = 120;
constexpr int32_t Fanout = 64;

[[noreturn]] void RaiseMissing(int32_t Code, const TTolvanRecordID& ID) {
  throw ETolvanException::CreateFmt(Code, SRecordDoesNotExist, ID.PageNo, int32_t(ID.PageItemNo));
}

} // namespace

struct TTolvanRecordBitmap::TNode {
  TInner* Parent = nullptr;
  bool IsLeaf;
  explicit TNode(bool Leaf) : IsLeaf(Leaf) {}
};

struct TTolvanRecordBitmap::TLeaf : TNode {
  TLeaf() : TNode(true) {}
  TLeaf* Prev = nullptr;
  TLeaf* Next = nullptr;
  int32_t Count = 0;
  TTolvanRecordID IDs[LeafCapacity];
};

// Sizes[i] counts the ids below Children[i]. Lows[i] is the key of the first id below the child
// when it was linked: while the set is sorted every id below child i is at least Lows[i] and
// below Lows[i + 1], which removing ids and appending keep true. Room for one child more than
// the fanout lets a child be linked before the node splits.
struct TTolvanRecordBitmap::TInner : TNode {
  TInner() : TNode(false) {}
  int32_t Count = 0;
  TNode* Children[Fanout + 1];
  int64_t Sizes[Fanout + 1];
  int64_t Lows[Fanout + 1];
};

namespace {

template <class TInnerT, class TNodeT> int32_t IndexInParent(const TInnerT* P, const TNodeT* N) {
  int32_t I = 0;
  while (P->Children[I] != N)
    ++I;
  return I;
}

} // namespace

TTolvanRecordBitmap::TTolvanRecordBitmap(TTolvanTableData* TableData) : FTableData(TableData) {
  if (!TableData)
    throw ETolvanException::Create(ErrNilTableData, SNilPointerOccurred);
  FItems.SetComparePageNoOnly(TableData->IsMemory());
  FItems.SetCompareAsNumber(TableData->IsTemporary());
  FFirst = FLast = new TLeaf;
  FRoot = FFirst;
}

TTolvanRecordBitmap::~TTolvanRecordBitmap() { FreeBelow(FRoot, nullptr); }

int64_t TTolvanRecordBitmap::KeyOf(const TTolvanRecordID& ID) const noexcept {
  if (FItems.ComparePageNoOnly())
    return ID.PageNo;
  if (FItems.CompareAsNumber())
    return int64_t(uint64_t(uint32_t(ID.PageNo)) | uint64_t(ID.PageItemNo) << 32);
  return int64_t(ID.PageNo) * 65536 + ID.PageItemNo;
}

// --- the tree -----------------------------------------------------------------------------------

// Frees N and every node below it but Keep.
void TTolvanRecordBitmap::FreeBelow(TNode* N, TLeaf* Keep) noexcept {
  if (N->IsLeaf) {
    if (N != Keep)
      delete static_cast<TLeaf*>(N);
    return;
  }
  TInner* P = static_cast<TInner*>(N);
  for (int32_t I = 0; I < P->Count; ++I)
    FreeBelow(P->Children[I], Keep);
  delete P;
}

// Frees every node but the first leaf, which is emptied and becomes the root.
void TTolvanRecordBitmap::Clear() noexcept {
  TLeaf* Keep = FFirst;
  FreeBelow(FRoot, Keep);
  Keep->Parent = nullptr;
  Keep->Prev = Keep->Next = nullptr;
  Keep->Count = 0;
  FRoot = FFirst = FLast = Keep;
  FCount = FPending = 0;
  FHint = TPlace();
  FItemsStale = true;
}

void TTolvanRecordBitmap::Flush() {
  if (FPending == 0)
    return;
  TNode* N = FLast;
  while (TInner* P = N->Parent) {
    P->Sizes[IndexInParent(P, N)] += FPending;
    N = P;
  }
  FPending = 0;
}

// Reading needs no Flush: the counts that FPending leaves behind are those of the last child on
// each level, which a position below the others never adds, and which a descent only enters
// with what remains.
TTolvanRecordBitmap::TPlace TTolvanRecordBitmap::Locate(int64_t Index) const noexcept {
  const TNode* N = FRoot;
  while (!N->IsLeaf) {
    const TInner* P = static_cast<const TInner*>(N);
    int32_t I = 0;
    while (I < P->Count - 1 && Index >= P->Sizes[I])
      Index -= P->Sizes[I++];
    N = P->Children[I];
  }
  return {const_cast<TLeaf*>(static_cast<const TLeaf*>(N)), int32_t(Index)};
}

int64_t TTolvanRecordBitmap::IndexOfPlace(const TPlace& At) const noexcept {
  int64_t Index = At.Pos;
  const TNode* N = At.Leaf;
  while (const TInner* P = N->Parent) {
    for (int32_t I = 0; P->Children[I] != N; ++I)
      Index += P->Sizes[I];
    N = P;
  }
  return Index;
}

TTolvanRecordBitmap::TPlace TTolvanRecordBitmap::FindSorted(int64_t Key) const noexcept {
  const TNode* N = FRoot;
  while (!N->IsLeaf) {
    const TInner* P = static_cast<const TInner*>(N);
    // The last child whose low key is at most Key; the first one takes whatever is below.
    const int64_t* It = std::upper_bound(P->Lows + 1, P->Lows + P->Count, Key);
    N = P->Children[It - P->Lows - 1];
  }
  TLeaf* L = const_cast<TLeaf*>(static_cast<const TLeaf*>(N));
  int32_t Lo = 0, Hi = L->Count;
  while (Lo < Hi) {
    const int32_t Mid = Lo + (Hi - Lo) / 2;
    if (KeyOf(L->IDs[Mid]) < Key)
      Lo = Mid + 1;
    else
      Hi = Mid;
  }
  if (Lo < L->Count && KeyOf(L->IDs[Lo]) == Key)
    return {L, Lo};
  return {};
}

TTolvanRecordBitmap::TPlace TTolvanRecordBitmap::Find(const TTolvanRecordID& ID) const noexcept {
  const int64_t Key = KeyOf(ID);
  if (FHint.Leaf && FHint.Pos < FHint.Leaf->Count && KeyOf(FHint.Leaf->IDs[FHint.Pos]) == Key)
    return FHint;
  TPlace At;
  if (FSorted)
    At = FindSorted(Key);
  else if (TLeaf* L = HashFind(Key)) {
    int32_t Pos = 0;
    while (KeyOf(L->IDs[Pos]) != Key)
      ++Pos;
    At = {L, Pos};
  }
  if (At.Leaf)
    FHint = At;
  return At;
}

void TTolvanRecordBitmap::Append(const TTolvanRecordID& ID) {
  if (FLast->Count == LeafCapacity) {
    InsertAt(FLast, LeafCapacity, ID);
    return;
  }
  FLast->IDs[FLast->Count++] = ID;
  ++FCount;
  ++FPending;
  FItemsStale = true;
  if (!FSorted)
    HashSet(KeyOf(ID), FLast);
}

// Moves the ids of a full leaf from Keep on into a new leaf behind it; RightLow is the low key
// of a new leaf that takes no ids (the key of the id about to go there).
TTolvanRecordBitmap::TLeaf* TTolvanRecordBitmap::SplitLeaf(TLeaf* Leaf, int32_t Keep,
                                                           int64_t RightLow) {
  TLeaf* Right = new TLeaf;
  const int32_t Moved = Leaf->Count - Keep;
  std::memcpy(Right->IDs, Leaf->IDs + Keep, size_t(Moved) * sizeof(TTolvanRecordID));
  Right->Count = Moved;
  Leaf->Count = Keep;
  Right->Prev = Leaf;
  Right->Next = Leaf->Next;
  if (Leaf->Next)
    Leaf->Next->Prev = Right;
  else
    FLast = Right;
  Leaf->Next = Right;
  if (!FSorted)
    for (int32_t I = 0; I < Moved; ++I)
      HashSet(KeyOf(Right->IDs[I]), Right);
  LinkAfter(Leaf, Right, Moved, Moved > 0 ? KeyOf(Right->IDs[0]) : RightLow);
  return Right;
}

// Links Right, which took RightSize ids from Left, in behind Left, splitting full nodes upward.
void TTolvanRecordBitmap::LinkAfter(TNode* Left, TNode* Right, int64_t RightSize,
                                    int64_t RightLow) {
  TInner* P = Left->Parent;
  if (!P) {
    P = new TInner;
    P->Count = 1;
    P->Children[0] = Left;
    P->Sizes[0] = RightSize;
    if (Left->IsLeaf)
      P->Sizes[0] += static_cast<TLeaf*>(Left)->Count;
    else
      for (int32_t I = 0; I < static_cast<TInner*>(Left)->Count; ++I)
        P->Sizes[0] += static_cast<TInner*>(Left)->Sizes[I];
    P->Lows[0] = NoKey;
    Left->Parent = P;
    FRoot = P;
  }
  const int32_t At = IndexInParent(P, Left) + 1;
  const size_t Tail = size_t(P->Count - At);
  std::memmove(P->Children + At + 1, P->Children + At, Tail * sizeof(TNode*));
  std::memmove(P->Sizes + At + 1, P->Sizes + At, Tail * sizeof(int64_t));
  std::memmove(P->Lows + At + 1, P->Lows + At, Tail * sizeof(int64_t));
  P->Children[At] = Right;
  P->Sizes[At] = RightSize;
  P->Lows[At] = RightLow;
  P->Sizes[At - 1] -= RightSize;
  ++P->Count;
  Right->Parent = P;
  if (P->Count <= Fanout)
    return;
  // Full: the right half moves to a new node behind this one.
  TInner* Q = new TInner;
  const int32_t Keep = P->Count / 2;
  Q->Count = P->Count - Keep;
  int64_t QSize = 0;
  for (int32_t I = 0; I < Q->Count; ++I) {
    Q->Children[I] = P->Children[Keep + I];
    Q->Sizes[I] = P->Sizes[Keep + I];
    Q->Lows[I] = P->Lows[Keep + I];
    Q->Children[I]->Parent = Q;
    QSize += Q->Sizes[I];
  }
  P->Count = Keep;
  LinkAfter(P, Q, QSize, Q->Lows[0]);
}

void TTolvanRecordBitmap::InsertAt(TLeaf* Leaf, int32_t Pos, const TTolvanRecordID& ID) {
  Flush();
  if (Leaf->Count == LeafCapacity) {
    // Appending at the end starts an empty leaf, so a set built in order fills its leaves.
    const bool AtEnd = Leaf == FLast && Pos == LeafCapacity;
    const int32_t Keep = AtEnd ? LeafCapacity : LeafCapacity / 2;
    TLeaf* Right = SplitLeaf(Leaf, Keep, KeyOf(ID));
    if (Pos > Keep || AtEnd) {
      Pos -= Keep;
      Leaf = Right;
    }
  }
  std::memmove(Leaf->IDs + Pos + 1, Leaf->IDs + Pos,
               size_t(Leaf->Count - Pos) * sizeof(TTolvanRecordID));
  Leaf->IDs[Pos] = ID;
  ++Leaf->Count;
  ++FCount;
  for (TNode* N = Leaf; TInner* P = N->Parent; N = P)
    ++P->Sizes[IndexInParent(P, N)];
  FItemsStale = true;
  if (!FSorted)
    HashSet(KeyOf(ID), Leaf);
}

void TTolvanRecordBitmap::RemoveAt(TLeaf* Leaf, int32_t Pos) {
  Flush();
  if (!FSorted)
    HashErase(KeyOf(Leaf->IDs[Pos]));
  std::memmove(Leaf->IDs + Pos, Leaf->IDs + Pos + 1,
               size_t(Leaf->Count - Pos - 1) * sizeof(TTolvanRecordID));
  --Leaf->Count;
  --FCount;
  for (TNode* N = Leaf; TInner* P = N->Parent; N = P)
    --P->Sizes[IndexInParent(P, N)];
  FItemsStale = true;
  if (Leaf->Count == 0 && FFirst != FLast)
    UnlinkEmptyLeaf(Leaf);
}

// Takes an empty leaf, not the only one, out of the list and the tree; nodes left without
// children go too, and a root with one child hands the root to it.
void TTolvanRecordBitmap::UnlinkEmptyLeaf(TLeaf* Leaf) {
  (Leaf->Prev ? Leaf->Prev->Next : FFirst) = Leaf->Next;
  (Leaf->Next ? Leaf->Next->Prev : FLast) = Leaf->Prev;
  if (FHint.Leaf == Leaf)
    FHint = TPlace();
  TNode* Gone = Leaf;
  TInner* P = Leaf->Parent;
  while (P) {
    const int32_t At = IndexInParent(P, Gone);
    const size_t Tail = size_t(P->Count - At - 1);
    std::memmove(P->Children + At, P->Children + At + 1, Tail * sizeof(TNode*));
    std::memmove(P->Sizes + At, P->Sizes + At + 1, Tail * sizeof(int64_t));
    std::memmove(P->Lows + At, P->Lows + At + 1, Tail * sizeof(int64_t));
    --P->Count;
    if (Gone->IsLeaf)
      delete static_cast<TLeaf*>(Gone);
    else
      delete static_cast<TInner*>(Gone);
    Gone = nullptr;
    if (P->Count > 0)
      break;
    Gone = P;
    P = P->Parent;
  }
  while (!FRoot->IsLeaf && static_cast<TInner*>(FRoot)->Count == 1) {
    TInner* Old = static_cast<TInner*>(FRoot);
    FRoot = Old->Children[0];
    FRoot->Parent = nullptr;
    delete Old;
  }
}

// Removes the ids from First on and gives them back in order.
std::vector<TTolvanRecordID> TTolvanRecordBitmap::TakeFrom(int64_t First) {
  std::vector<TTolvanRecordID> Taken;
  if (First < 0 || First >= FCount)
    return Taken;
  Taken.resize(size_t(FCount - First));
  for (size_t I = Taken.size(); I-- > 0;) {
    Taken[I] = FLast->IDs[FLast->Count - 1];
    RemoveAt(FLast, FLast->Count - 1);
  }
  return Taken;
}

// --- the hash -----------------------------------------------------------------------------------

namespace {

size_t HomeOf(int64_t Key, size_t Mask) noexcept {
  uint64_t H = uint64_t(Key) * 0x9E3779B97F4A7C15ull;
  return size_t(H ^ (H >> 29)) & Mask;
}

} // namespace

TTolvanRecordBitmap::TLeaf* TTolvanRecordBitmap::HashFind(int64_t Key) const noexcept {
  if (FSlots.empty())
    return nullptr;
  const size_t Mask = FSlots.size() - 1;
  for (size_t I = HomeOf(Key, Mask);; I = (I + 1) & Mask) {
    if (FSlots[I].Key == Key)
      return FSlots[I].Leaf;
    if (FSlots[I].Key == NoKey)
      return nullptr;
  }
}

void TTolvanRecordBitmap::HashSet(int64_t Key, TLeaf* Leaf) {
  // At most seven tenths full, so that probes stay short.
  if (size_t(FSlotsUsed + 1) * 10 > FSlots.size() * 7) {
    std::vector<TSlot> Old;
    Old.swap(FSlots);
    FSlots.assign(std::max<size_t>(64, Old.size() * 2), TSlot{NoKey, nullptr});
    FSlotsUsed = 0;
    for (const TSlot& S : Old)
      if (S.Key != NoKey)
        HashSet(S.Key, S.Leaf);
  }
  const size_t Mask = FSlots.size() - 1;
  size_t I = HomeOf(Key, Mask);
  while (FSlots[I].Key != NoKey && FSlots[I].Key != Key)
    I = (I + 1) & Mask;
  if (FSlots[I].Key == NoKey)
    ++FSlotsUsed;
  FSlots[I] = {Key, Leaf};
}

// Removes Key's slot and moves back the later slots of its run that would no longer be reached.
void TTolvanRecordBitmap::HashErase(int64_t Key) noexcept {
  if (FSlots.empty())
    return;
  const size_t Mask = FSlots.size() - 1;
  size_t I = HomeOf(Key, Mask);
  while (FSlots[I].Key != Key) {
    if (FSlots[I].Key == NoKey)
      return;
    I = (I + 1) & Mask;
  }
  for (size_t J = (I + 1) & Mask; FSlots[J].Key != NoKey; J = (J + 1) & Mask) {
    const size_t Home = HomeOf(FSlots[J].Key, Mask);
    // J's entry may fill the hole at I when its home is not in the cyclic range (I, J].
    if (((J - Home) & Mask) >= ((J - I) & Mask)) {
      FSlots[I] = FSlots[J];
      I = J;
    }
  }
  FSlots[I] = {NoKey, nullptr};
  --FSlotsUsed;
}

void TTolvanRecordBitmap::HashBuild() {
  HashDrop();
  for (TLeaf* L = FFirst; L; L = L->Next)
    for (int32_t I = 0; I < L->Count; ++I)
      HashSet(KeyOf(L->IDs[I]), L);
}

void TTolvanRecordBitmap::HashDrop() noexcept {
  FSlots = std::vector<TSlot>();
  FSlotsUsed = 0;
}

// The low keys stop meaning anything from here on; the hash takes over.
void TTolvanRecordBitmap::Unsort() {
  if (!FSorted)
    return;
  HashBuild();
  FSorted = false;
  FItemsStale = true;
}

// --- the set ------------------------------------------------------------------------------------

void TTolvanRecordBitmap::SetFilled(bool Value) {
  FFilled = Value;
  if (!Value) {
    Clear();
    HashDrop();
    FSorted = true;
  }
}

void TTolvanRecordBitmap::TuneGrowth() {
  const int64_t Total = FTableData->GetTotalRecordCount();
  if (Total > std::numeric_limits<int32_t>::max())
    throw ERangeError(std::string(SysConst::SRangeError));
  int32_t MaxDelta = int32_t(Total / 10);
  if (MaxDelta <= 0)
    MaxDelta = 1000;
  FItems.SetMaxDelta(MaxDelta);
  FItems.SetGrowDelta(std::max(MaxDelta / 100, 10));
}

const TTolvanRecordIDArray& TTolvanRecordBitmap::Items() const {
  if (FItemsStale || FItems.Count() != FCount) {
    FItems.ClearKeepingStorage();
    FItems.Reserve(int32_t(FCount));
    for (const TLeaf* L = FFirst; L; L = L->Next)
      for (int32_t I = 0; I < L->Count; ++I)
        FItems.Add(L->IDs[I]);
    FItemsStale = false;
  }
  FItems.SetSorted(FSorted);
  FItems.SetLastID(FLastID);
  return FItems;
}

std::vector<TTolvanRecordID> TTolvanRecordBitmap::IDs() const {
  std::vector<TTolvanRecordID> Result;
  Result.reserve(size_t(FCount));
  for (const TLeaf* L = FFirst; L; L = L->Next)
    Result.insert(Result.end(), L->IDs, L->IDs + L->Count);
  return Result;
}

void TTolvanRecordBitmap::RaiseDuplicate(const TTolvanRecordID& ID) const {
  throw ETolvanException::CreateFmt(ErrDuplicateID, SDuplicateRecordIdInRecordMap, ID.PageNo,
                                    int32_t(ID.PageItemNo));
}

void TTolvanRecordBitmap::Add(const TTolvanRecordID& ID) {
  if (FCount == 0) {
    Append(ID);
    FLastID = ID;
    return;
  }
  if (!FSorted) {
    if (HashFind(KeyOf(ID)))
      RaiseDuplicate(ID);
    Append(ID);
    return;
  }
  // Sorted: every id is at most the last added, so only one not above it can be in the set.
  const int64_t Key = KeyOf(ID);
  const int64_t LastKey = KeyOf(FLastID);
  if (Key <= LastKey && FindSorted(Key).Leaf)
    RaiseDuplicate(ID);
  if (Key < LastKey)
    Unsort();
  else
    FLastID = ID;
  Append(ID);
}

void TTolvanRecordBitmap::Remove(const TTolvanRecordID& ID) {
  const TPlace At = Find(ID);
  if (!At.Leaf)
    RaiseMissing(ErrRemoveMissing, ID);
  RemoveAt(At.Leaf, At.Pos);
}

void TTolvanRecordBitmap::InsertAfter(const TTolvanRecordID& ID, const TTolvanRecordID& AfterID,
                                      bool Prepend, bool Append) {
  const bool Behind = !Append && !Prepend;
  if (Behind && !Find(AfterID).Leaf)
    RaiseMissing(ErrInsertAfterMissing, AfterID);
  // An id already in the set moves: another session may have deleted a record whose id is still
  // here, and a record posted since may have been given that id again.
  if (const TPlace Old = Find(ID); Old.Leaf) {
    if (Behind && KeyOf(ID) == KeyOf(AfterID)) {
      Unsort();
      return;
    }
    RemoveAt(Old.Leaf, Old.Pos);
  }
  TPlace At;
  if (Append)
    At = {FLast, FLast->Count};
  else if (Prepend)
    At = {FFirst, 0};
  else {
    At = Find(AfterID);
    ++At.Pos;
  }
  Unsort();
  InsertAt(At.Leaf, At.Pos, ID);
}

int64_t TTolvanRecordBitmap::RecNoOf(const TTolvanRecordID& ID) const noexcept {
  const TPlace At = Find(ID);
  return At.Leaf ? IndexOfPlace(At) + 1 : -1;
}

void TTolvanRecordBitmap::ItemAt(TTolvanRecordID& ID, int64_t RecNo) const {
  if (RecNo < 1 || RecNo > Count())
    throw ETolvanException::CreateFmt(ErrItemAtNumber, SInvalidItemNumber, RecNo - 1, Count());
  FHint = Locate(RecNo - 1);
  ID = FHint.Leaf->IDs[FHint.Pos];
}

void TTolvanRecordBitmap::Navigate(TTolvanNavState& State) const {
  if (!FFilled) {
    State.Result = rrMissing;
    return;
  }
  if (FCount == 0) {
    State.Result = rrEndReached;
    return;
  }
  TPlace Target;
  if (State.AtBegin) {
    if (State.Mode != rmNext) {
      State.Result = State.Mode == rmPrior ? rrBeginReached : rrMissing;
      return;
    }
    Target = {FFirst, 0};
  } else if (State.AtEnd) {
    if (State.Mode != rmPrior) {
      State.Result = State.Mode == rmNext ? rrEndReached : rrMissing;
      return;
    }
    Target = {FLast, FLast->Count - 1};
  } else {
    Target = Find(State.RecordID);
    if (!Target.Leaf) {
      State.Result = rrMissing;
      return;
    }
    if (State.Mode == rmNext) {
      if (++Target.Pos == Target.Leaf->Count) {
        if (!Target.Leaf->Next) {
          State.Result = rrEndReached;
          return;
        }
        Target = {Target.Leaf->Next, 0};
      }
    } else if (State.Mode == rmPrior) {
      if (Target.Pos-- == 0) {
        if (!Target.Leaf->Prev) {
          State.Result = rrBeginReached;
          return;
        }
        Target = {Target.Leaf->Prev, Target.Leaf->Prev->Count - 1};
      }
    }
  }
  State.RecordID = Target.Leaf->IDs[Target.Pos];
  State.Result = rrOK;
  FHint = Target;
}

void TTolvanRecordBitmap::SortFrom(int64_t First) {
  std::vector<TTolvanRecordID> Tail = TakeFrom(First);
  if (Tail.empty())
    return;
  std::sort(Tail.begin(), Tail.end(), [&](const TTolvanRecordID& A, const TTolvanRecordID& B) {
    return KeyOf(A) < KeyOf(B);
  });
  if (First == 0) {
    // Rebuilt from nothing in order: sorted, with low keys that hold.
    HashDrop();
    FSorted = true;
  }
  for (const TTolvanRecordID& ID : Tail)
    Append(ID);
  if (First == 0)
    FLastID = Tail.back();
}

void TTolvanRecordBitmap::ReorderFrom(int64_t First, const std::vector<TTolvanRecordID>& IDs) {
  TakeFrom(First);
  Unsort();
  for (const TTolvanRecordID& ID : IDs)
    Append(ID);
}

} // namespace tolvan
