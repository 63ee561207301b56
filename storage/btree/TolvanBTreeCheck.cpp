#include "storage/btree/TolvanBTreeCheck.h"

#include <algorithm>

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/btree/TolvanBTree.h"

namespace tolvan {

namespace {

constexpr int32_t ErrLeafOrder = 20028;
constexpr int32_t ErrNodeOrder = 20029;
constexpr int32_t ErrAboveUpperBound = 20030;
constexpr int32_t ErrBelowLowerBound = 20031;
constexpr int32_t ErrReach = 20032;
constexpr int32_t ErrPrevLink = 20033;
constexpr int32_t ErrNextLink = 20034;

[[noreturn]] void Raise(int32_t Code, int32_t PageNo, int32_t EntryNo) {
  std::string_view Text = SIndexIntegrityViolated;
  if (Code == ErrReach)
    Text = SIndexCircularLinks;
  else if (Code == ErrPrevLink || Code == ErrNextLink)
    Text = SIndexInvalidLeafLink;
  throw ETolvanException::CreateFmt(Code, Text, PageNo, EntryNo);
}

bool Reached(TTolvanBTreeCheckState& S, int32_t PageNo) {
  if (size_t(PageNo) >= S.Reached.size())
    S.Reached.resize(std::max(size_t(PageNo) + 1, S.Reached.size() * 2));
  if (S.Reached[size_t(PageNo)])
    return true;
  S.Reached[size_t(PageNo)] = true;
  return false;
}

void CheckLevelChain(TTolvanBTreeCheckState& S, const TTolvanBTreePage& Page, int32_t Depth) {
  const int32_t No = Page.PageNo();
  if (Page.PrevPageNo() != S.LastPageNo[Depth])
    Raise(ErrPrevLink, No, -1);
  if (S.LastPageNo[Depth] != -1 && S.LastNext[Depth] != No)
    Raise(ErrNextLink, S.LastPageNo[Depth], -1);
  S.LastPageNo[Depth] = No;
  S.LastNext[Depth] = Page.NextPageNo();
  S.Levels = std::max(S.Levels, Depth + 1);
}

void CheckLeaf(TTolvanBTreeCheckState& S, const TTolvanBTreePage& Page, int32_t Depth) {
  const int32_t No = Page.PageNo();
  const int32_t N = Page.EntryCount();
  if (S.LeafDepth == -1)
    S.LeafDepth = Depth;
  else if (S.LeafDepth != Depth)
    Raise(ErrReach, No, -1);
  if (N == 0) {
    if (Depth > 0 && (Page.PrevPageNo() != -1 || Page.NextPageNo() != -1))
      Raise(ErrLeafOrder, No, -1);
    return;
  }
  const TTolvanBTreeKeyRef& K = Page.KeyRef();
  for (int32_t I = 0; I + 1 < N; ++I)
    if (K.CompareKeys(Page.EntryPtr(I), Page.EntryPtr(I + 1)) > 0)
      Raise(ErrLeafOrder, No, I);
  if (S.Lower[Depth] && K.CompareKeys(Page.EntryPtr(0), S.Lower[Depth]) < 0)
    Raise(ErrBelowLowerBound, No, 0);
  if (S.Upper[Depth] && K.CompareKeys(Page.EntryPtr(N - 1), S.Upper[Depth]) > 0)
    Raise(ErrAboveUpperBound, No, N - 1);
  if (S.HasLastLeafKey && K.CompareKeys(S.LastLeafKey, Page.EntryPtr(0)) > 0)
    Raise(ErrLeafOrder, No, 0);
  std::memcpy(S.LastLeafKey, Page.EntryPtr(N - 1), size_t(Page.KeySize()));
  S.HasLastLeafKey = true;
}

void CheckNode(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path, int32_t Depth) {
  TTolvanBTreeCheckState& S = *W.Check;
  const int32_t No = Page.PageNo();
  const int32_t N = Page.EntryCount();
  if (N == 0)
    Raise(ErrLeafOrder, No, -1);
  if (Depth + 1 >= MaxKeyPathLevels || (S.LeafDepth != -1 && Depth >= S.LeafDepth))
    Raise(ErrReach, No, -1);
  const TTolvanBTreeKeyRef& K = Page.KeyRef();
  for (int32_t I = 1; I + 1 < N; ++I)
    if (K.CompareKeys(Page.EntryPtr(I), Page.EntryPtr(I + 1)) > 0)
      Raise(ErrNodeOrder, No, I);
  TTolvanPageManager& Pages = W.Tree.Pages();
  for (int32_t I = 0; I < N; ++I) {
    const int32_t ChildNo = Page.ChildAt(I);
    if (ChildNo < 0 || !Pages.PageAllocated(ChildNo) || Pages.PageReleased(ChildNo) ||
        Reached(S, ChildNo))
      Raise(ErrReach, No, I);
    S.Lower[Depth + 1] = I > 0 ? Page.EntryPtr(I) : S.Lower[Depth];
    S.Upper[Depth + 1] = I < N - 1 ? Page.EntryPtr(I + 1) : S.Upper[Depth];
    Path.AddLevel(No, I, N);
    TTolvanBTreePage Child = W.Tree.GetBTreePage(W.SessionID, ChildNo);
    Child.Controller().CheckIntegrity(W, Child, Path);
    Path.RemoveLastLevel();
  }
}

} // namespace

void CheckTreePage(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) {
  TTolvanBTreeCheckState& S = *W.Check;
  const int32_t Depth = Path.Count();
  if (Page.IsRoot() != (Depth == 0) || Page.Reserved() != 1)
    Raise(ErrLeafOrder, Page.PageNo(), -1);
  CheckLevelChain(S, Page, Depth);
  if (Page.IsLeaf())
    CheckLeaf(S, Page, Depth);
  else
    CheckNode(W, Page, Path, Depth);
}

void CheckTree(TTolvanBTree& Tree, int32_t SessionID) {
  const int32_t RootNo = Tree.RootPageNo();
  if (RootNo == -1)
    return;
  TTolvanPageManager& Pages = Tree.Pages();
  if (RootNo < 0 || !Pages.PageAllocated(RootNo) || Pages.PageReleased(RootNo))
    Raise(ErrReach, RootNo, -1);
  TTolvanBTreeCheckState S;
  std::fill(std::begin(S.LastPageNo), std::end(S.LastPageNo), -1);
  std::fill(std::begin(S.LastNext), std::end(S.LastNext), -1);
  Reached(S, RootNo);
  TTolvanKeyBuffer LastLeafKey(Tree.KeyRef());
  S.LastLeafKey = LastLeafKey.Data();
  TTolvanKeyColumnScope AllColumns(Tree.KeyRef(), Tree.KeyRef().ColumnTotal());
  TTolvanBTreeWork W(Tree, SessionID);
  W.Check = &S;
  TTolvanKeyPath Path;
  {
    TTolvanBTreePage Root = Tree.GetRoot(SessionID);
    Root.Controller().CheckIntegrity(W, Root, Path);
  }
  for (int32_t D = 0; D < S.Levels; ++D)
    if (S.LastNext[D] != -1)
      Raise(ErrNextLink, S.LastPageNo[D], -1);
}

} // namespace tolvan
