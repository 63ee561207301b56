#include "storage/TolvanPageManager.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {

constexpr int32_t ErrReleasedTooEarly = 20040;
constexpr int32_t ErrInvalidReleasedPageNo = 20065;
constexpr int32_t ErrPageUsedByOtherSession = 20090;
constexpr int32_t ErrInvalidUseCount = 10665;
constexpr int32_t ErrRollbackPageNotDirty = 10820;
constexpr int32_t ErrRollbackPageUsed = 10821;
constexpr int32_t ErrCommitPageNotDirty = 10822;
constexpr int32_t ErrCommitPageUsed = 10823;
constexpr int32_t ErrUncommittedPages = 20097;
constexpr int32_t ErrChangedInPlace = 20058;

// Index sizes: never below MinSlots; a table shrinks once it is less than 1/8 used.
constexpr uint32_t MinSlots = 16;
constexpr uint32_t ShrinkFloor = 64;

// Spare page objects kept beyond this many are deleted.
constexpr int32_t MinSparePages = 16;

[[noreturn]] void RaiseNotAllocated(int32_t PageNo) {
  throw ETolvanException::CreateFmt(ErrPageNotAllocated, SPageNotAllocated, PageNo);
}

[[noreturn]] void RaisePageUsed(int32_t Code, const TTolvanPage& Page) {
  throw ETolvanException::CreateFmt(Code, SCannotRemoveUsedPage, Page.PageNo(), Page.UseCount());
}

uint32_t SlotsFor(int64_t Count) noexcept {
  const uint64_t Want = uint64_t(std::max<int64_t>(Count, 1)) * 2;
  return std::max(MinSlots, uint32_t(std::bit_ceil(Want)));
}

} // namespace

// --- TTolvanPageList ----------------------------------------------------------------------------

TTolvanPageList::~TTolvanPageList() { TTolvanMemoryManager::FreeAndNillMemNoRaise(FSlots); }

// Fibonacci hashing: consecutive page numbers land far apart. Only called while a table exists,
// so the shift is below 32.
uint32_t TTolvanPageList::Home(int32_t Key) const noexcept {
  return (uint32_t(Key) * 2654435769u) >> FShift;
}

TTolvanPage* TTolvanPageList::Find(int32_t PageNo) const noexcept {
  if (FCount == 0)
    return nullptr;
  const uint32_t Mask = FSlotCount - 1;
  for (uint32_t I = Home(PageNo);; I = (I + 1) & Mask) {
    const TSlot& S = FSlots[I];
    if (!S.Page)
      return nullptr;
    if (S.Key == PageNo)
      return S.Page;
  }
}

void TTolvanPageList::Reserve(int32_t Extra) {
  const int64_t Need = int64_t(FCount) + std::max(Extra, 0);
  if (Need * 2 > int64_t(FSlotCount))
    Rehash(SlotsFor(Need));
}

// Rebuilt from the list's links, so the old table is never read while the new one fills.
void TTolvanPageList::Rehash(uint32_t NewSlotCount) {
  TSlot* Slots = static_cast<TSlot*>(TTolvanMemoryManager::AllocMem(NewSlotCount * sizeof(TSlot)));
  TTolvanMemoryManager::FreeAndNillMemNoRaise(FSlots);
  FSlots = Slots;
  FSlotCount = NewSlotCount;
  FShift = 32 - std::countr_zero(NewSlotCount);
  for (TTolvanPage* P = FFirst; P; P = P->FNext)
    Insert(P);
}

void TTolvanPageList::Insert(TTolvanPage* Page) noexcept {
  const uint32_t Mask = FSlotCount - 1;
  uint32_t I = Home(Page->FPageNo);
  while (FSlots[I].Page)
    I = (I + 1) & Mask;
  FSlots[I] = {Page->FPageNo, Page};
}

// Linear probing without tombstones: entries after the hole that would no longer be reached from
// their home slot move back into it.
void TTolvanPageList::Erase(TTolvanPage* Page) noexcept {
  const uint32_t Mask = FSlotCount - 1;
  uint32_t I = Home(Page->FPageNo);
  while (FSlots[I].Page != Page) {
    if (!FSlots[I].Page)
      return; // not indexed: nothing to take out
    I = (I + 1) & Mask;
  }
  for (uint32_t J = (I + 1) & Mask; FSlots[J].Page; J = (J + 1) & Mask) {
    const uint32_t K = Home(FSlots[J].Key);
    const bool Reachable = I <= J ? (I < K && K <= J) : (I < K || K <= J);
    if (!Reachable) {
      FSlots[I] = FSlots[J];
      I = J;
    }
  }
  FSlots[I] = {0, nullptr};
}

void TTolvanPageList::Append(TTolvanPage* Page) {
  Reserve(1);
  Insert(Page);
  Page->FPrev = FLast;
  Page->FNext = nullptr;
  if (FLast)
    FLast->FNext = Page;
  else
    FFirst = Page;
  FLast = Page;
  Page->FOwnerList = this;
  ++FCount;
}

void TTolvanPageList::Remove(TTolvanPage* Page) noexcept {
  Erase(Page);
  if (Page->FPrev)
    Page->FPrev->FNext = Page->FNext;
  else
    FFirst = Page->FNext;
  if (Page->FNext)
    Page->FNext->FPrev = Page->FPrev;
  else
    FLast = Page->FPrev;
  Page->FPrev = Page->FNext = nullptr;
  Page->FOwnerList = nullptr;
  --FCount;
  // A list that once held a whole new tree gives its index back as it empties.
  if (FSlotCount > ShrinkFloor && uint32_t(FCount) * 8 < FSlotCount) {
    if (FCount == 0) {
      TTolvanMemoryManager::FreeAndNillMemNoRaise(FSlots);
      FSlotCount = 0;
      FShift = 32;
    } else {
      try {
        Rehash(SlotsFor(FCount));
      } catch (...) {
        // Keeping the larger table is as good.
      }
    }
  }
}

// --- TTolvanPageManager: construction and teardown ----------------------------------------------

TTolvanPageManager::TTolvanPageManager() : FCacheCapacity(PageCacheMaxPages) {}

TTolvanPageManager::~TTolvanPageManager() { DiscardPages(); }

void TTolvanPageManager::DiscardPages() noexcept {
  auto FreeAll = [](TTolvanPageList& List) {
    while (TTolvanPage* P = List.First()) {
      List.Remove(P);
      delete P;
    }
  };
  FreeAll(FCache);
  FreeAll(FRemovedPages);
  for (auto& S : FSessions)
    FreeAll(S->DirtyPages);
  FSessions.clear();
  FLastSession = nullptr;
  FSpareSession.reset();
  TTolvanBitsArray Empty;
  FReleasedPageNos.Swap(Empty);
  while (TTolvanPage* P = FSparePages) {
    FSparePages = P->FNext;
    delete P;
  }
  FSpareCount = 0;
}

void TTolvanPageManager::Close() {
  for (const auto& S : FSessions)
    if (S->DirtyPages.Count() > 0)
      throw ETolvanException::CreateFmt(ErrUncommittedPages, SCannotFreeUncommittedPages,
                                        ClassName());
  DiscardPages();
}

bool TTolvanPageManager::PagesInUse() const noexcept {
  if (FRemovedPages.Count() > 0)
    return true;
  for (const auto& S : FSessions)
    if (!S->Idle())
      return true;
  for (TTolvanPage* P = FCache.First(); P; P = TTolvanPageList::Next(P))
    if (P->FUseCount > 0)
      return true;
  return false;
}

// --- Slot table defaults ------------------------------------------------------------------------

int32_t TTolvanPageManager::NewVersionStamp(uint8_t) { return 0; }

int32_t TTolvanPageManager::GetCurrentVersionStamp() { return 0; }

bool TTolvanPageManager::IsPageOutdated(int32_t PageStamp, int32_t CurrentStamp, uint8_t) {
  return PageStamp != CurrentStamp;
}

void TTolvanPageManager::LoadFromStream(TStream&) {}

void TTolvanPageManager::SaveToStream(TStream&) {}

void TTolvanPageManager::AttachBuffer(TTolvanPage&) {}

void TTolvanPageManager::Flush() {}

// --- Sessions and page objects ------------------------------------------------------------------

TTolvanPageSession* TTolvanPageManager::FindSessionEntry(int32_t SessionID) noexcept {
  if (FLastSession && FLastSession->SessionID == SessionID)
    return FLastSession;
  for (auto& S : FSessions)
    if (S->SessionID == SessionID)
      return FLastSession = S.get();
  return nullptr;
}

const TTolvanPageSession* TTolvanPageManager::FindSession(int32_t SessionID) const noexcept {
  for (const auto& S : FSessions)
    if (S->SessionID == SessionID)
      return S.get();
  return nullptr;
}

TTolvanPageSession& TTolvanPageManager::AddSession(int32_t SessionID) {
  if (TTolvanPageSession* S = FindSessionEntry(SessionID))
    return *S;
  FSessions.reserve(FSessions.size() + 1);
  std::unique_ptr<TTolvanPageSession> S = std::move(FSpareSession);
  if (S)
    S->SessionID = SessionID;
  else
    S = std::make_unique<TTolvanPageSession>(SessionID);
  FSessions.push_back(std::move(S));
  return *(FLastSession = FSessions.back().get());
}

// Entries come and go with the sessions' work, so a process that opens many sessions does not
// make every search longer; one spare keeps a busy session from reallocating its entry.
void TTolvanPageManager::DropIfIdle(TTolvanPageSession* Session) noexcept {
  if (!Session->Idle())
    return;
  const auto It = std::find_if(FSessions.begin(), FSessions.end(),
                               [&](const auto& S) { return S.get() == Session; });
  if (It == FSessions.end())
    return;
  std::unique_ptr<TTolvanPageSession> Entry = std::move(*It);
  FSessions.erase(It);
  if (FLastSession == Session)
    FLastSession = nullptr;
  if (!FSpareSession)
    FSpareSession = std::move(Entry);
}

TTolvanPage* TTolvanPageManager::TakePageObject() {
  if (TTolvanPage* P = FSparePages) {
    FSparePages = P->FNext;
    P->FNext = nullptr;
    --FSpareCount;
    return P;
  }
  return new TTolvanPage(*this);
}

void TTolvanPageManager::RecyclePage(TTolvanPage* Page) noexcept {
  Page->FreeBuffer();
  if (FSpareCount >= std::max(FCacheCapacity, MinSparePages)) {
    delete Page;
    return;
  }
  Page->FPageNo = -1;
  Page->FOwnsBuffer = true;
  Page->FDirty = false;
  Page->FRemoved = false;
  Page->FChangedInPlace = false;
  Page->FUseCount = 0;
  Page->FOwnerList = nullptr;
  Page->FSessionID = 0;
  Page->FVersionStamp = 0;
  Page->FPageSize = FPageSize;
  Page->FPrev = nullptr;
  Page->FNext = FSparePages;
  FSparePages = Page;
  ++FSpareCount;
}

void TTolvanPageManager::TrimCache() noexcept {
  TTolvanPage* P = FCache.First();
  while (P && FCache.Count() > FCacheCapacity) {
    TTolvanPage* Next = TTolvanPageList::Next(P);
    if (P->FUseCount == 0) {
      FCache.Remove(P);
      RecyclePage(P);
    }
    P = Next;
  }
}

TTolvanPage* TTolvanPageManager::HeldObject(int32_t PageNo) const noexcept {
  TTolvanPage* P = FCache.Find(PageNo);
  if (P && P->FUseCount > 0)
    return P;
  for (const auto& S : FSessions) {
    P = S->DirtyPages.Find(PageNo);
    if (P && P->FUseCount > 0)
      return P;
  }
  return nullptr;
}

void TTolvanPageManager::DropNumber(int32_t PageNo) noexcept {
  auto Drop = [&](TTolvanPageList& List) {
    TTolvanPage* P = List.Find(PageNo);
    if (P && P->FUseCount == 0) {
      List.Remove(P);
      RecyclePage(P);
    }
  };
  Drop(FCache);
  for (auto& S : FSessions)
    Drop(S->DirtyPages);
}

bool TTolvanPageManager::PageReleased(int32_t PageNo) const noexcept {
  return PageNo >= 0 && PageNo < FReleasedPageNos.BitCount() &&
         GetBit(PageNo, FReleasedPageNos.Bits());
}

void TTolvanPageManager::MarkReleased(int32_t PageNo) {
  const int32_t Bits = FReleasedPageNos.BitCount();
  if (PageNo >= Bits) {
    const int64_t Doubled = std::max<int64_t>(int64_t(Bits) * 2, 64);
    FReleasedPageNos.SetSize(int32_t(std::min<int64_t>(std::max<int64_t>(PageNo + 1, Doubled),
                                                       INT32_MAX)));
  }
  FReleasedPageNos.SetBit(PageNo, true);
}

void TTolvanPageManager::ClearReleased(int32_t PageNo) noexcept {
  if (PageReleased(PageNo))
    FReleasedPageNos.SetBit(PageNo, false); // within the array: cannot raise
}

void TTolvanPageManager::ClearReleased(const TTolvanIntegerArray& PageNos) noexcept {
  for (int32_t I = 0; I < PageNos.Count(); ++I)
    ClearReleased(PageNos[I]);
}

// --- Fetching and releasing ---------------------------------------------------------------------

TTolvanPage* TTolvanPageManager::NewPage(int32_t SessionID) {
  TTolvanPageSession& S = AddSession(SessionID);
  TTolvanPage* P = nullptr;
  try {
    S.DirtyPages.Reserve(1);
    P = TakePageObject();
    if (S.FreedPageNos.Count() == 0) {
      AllocatePage(*P);
      if (P->FPageNo == -1)
        throw ETolvanException::Create(ErrInvalidNewPageNo, SInvalidPageNumber);
      try {
        S.NewPageNos.Add(P->FPageNo);
      } catch (...) {
        try {
          FreePage(P->FPageNo);
        } catch (...) {
        }
        throw;
      }
    } else {
      const int32_t Last = S.FreedPageNos.Count() - 1;
      const int32_t PageNo = S.FreedPageNos[Last];
      P->FPageNo = PageNo;
      AttachBuffer(*P);
      S.FreedPageNos.Delete(Last);
      ClearReleased(PageNo);
    }
  } catch (...) {
    if (P)
      RecyclePage(P);
    DropIfIdle(&S);
    throw;
  }
  P->FUseCount = 1;
  P->FDirty = true;
  P->FSessionID = SessionID;
  S.DirtyPages.Append(P); // room reserved above
  return P;
}

void TTolvanPageManager::NewPages(int32_t SessionID, int32_t Count, TTolvanPage** Pages) {
  if (Count <= 0)
    return;
  TTolvanPageSession& S = AddSession(SessionID);
  const int32_t Reused = std::min(Count, S.FreedPageNos.Count());
  const int32_t LastFreed = S.FreedPageNos.Count() - 1;
  int32_t Taken = 0;
  int32_t Allocated = 0; // store numbers of Pages[Reused ..], allocated in order
  try {
    S.DirtyPages.Reserve(Count);
    S.NewPageNos.Reserve(Count - Reused);
    for (; Taken < Count; ++Taken)
      Pages[Taken] = TakePageObject();
    for (int32_t I = 0; I < Reused; ++I) {
      Pages[I]->FPageNo = S.FreedPageNos[LastFreed - I];
      AttachBuffer(*Pages[I]);
    }
    for (int32_t I = Reused; I < Count; ++I) {
      AllocatePage(*Pages[I]);
      if (Pages[I]->FPageNo == -1)
        throw ETolvanException::Create(ErrInvalidNewPageNo, SInvalidPageNumber);
      ++Allocated;
    }
  } catch (...) {
    for (int32_t I = Reused; I < Reused + Allocated; ++I) {
      try {
        FreePage(Pages[I]->FPageNo);
      } catch (...) {
      }
    }
    for (int32_t I = 0; I < Taken; ++I)
      RecyclePage(Pages[I]);
    DropIfIdle(&S);
    throw;
  }
  // Nothing below allocates: the room was made above.
  for (int32_t I = 0; I < Reused; ++I) {
    S.FreedPageNos.Delete(LastFreed - I);
    ClearReleased(Pages[I]->FPageNo);
  }
  for (int32_t I = 0; I < Count; ++I) {
    TTolvanPage* P = Pages[I];
    if (I >= Reused)
      S.NewPageNos.Add(P->FPageNo);
    P->FUseCount = 1;
    P->FDirty = true;
    P->FSessionID = SessionID;
    S.DirtyPages.Append(P);
  }
}

void TTolvanPageManager::ReserveChange(int32_t SessionID, int32_t ChangedCount,
                                       const int32_t* RemovedPageNos, int32_t RemovedCount) {
  TTolvanPageSession& S = AddSession(SessionID);
  try {
    S.DirtyPages.Reserve(ChangedCount);
    if (RemovedCount > 0) {
      FRemovedPages.Reserve(RemovedCount);
      S.FreedPageNos.Reserve(RemovedCount);
      int32_t Highest = -1;
      for (int32_t I = 0; I < RemovedCount; ++I)
        Highest = std::max(Highest, RemovedPageNos[I]);
      // MarkReleased grows the bits like this when it must.
      if (Highest >= FReleasedPageNos.BitCount()) {
        const int64_t Doubled = std::max<int64_t>(int64_t(FReleasedPageNos.BitCount()) * 2, 64);
        FReleasedPageNos.SetSize(int32_t(
            std::min<int64_t>(std::max<int64_t>(int64_t(Highest) + 1, Doubled), INT32_MAX)));
      }
    }
  } catch (...) {
    DropIfIdle(&S);
    throw;
  }
}

void TTolvanPageManager::RemovePage(int32_t SessionID, int32_t PageNo) {
  if (!PageAllocated(PageNo) || PageReleased(PageNo))
    RaiseNotAllocated(PageNo);
  TTolvanPageSession& S = AddSession(SessionID);
  // The session's object of the number: its changed copy, or the cached copy it holds.
  TTolvanPageList* From = &S.DirtyPages;
  TTolvanPage* P = S.DirtyPages.Find(PageNo);
  if (!P) {
    P = FCache.Find(PageNo);
    From = &FCache;
    if (P && !(P->FUseCount > 0 && P->FSessionID == SessionID))
      P = nullptr;
  }
  try {
    if (P && P->FUseCount > 0)
      FRemovedPages.Reserve(1);
    MarkReleased(PageNo);
    try {
      S.FreedPageNos.Add(PageNo);
    } catch (...) {
      ClearReleased(PageNo);
      throw;
    }
  } catch (...) {
    DropIfIdle(&S);
    throw;
  }
  if (!P)
    return;
  if (P->FChangedInPlace && !S.NewPageNos.Contains(PageNo))
    S.LostInPlaceChange = true;
  From->Remove(P);
  if (P->FUseCount > 0) {
    P->FRemoved = true;
    FRemovedPages.Append(P); // room reserved above
  } else {
    RecyclePage(P);
  }
}

TTolvanPage* TTolvanPageManager::GetPage(int32_t SessionID, int32_t PageNo,
                                         TTolvanPageReloadCheck* ReloadCheck) {
  TTolvanPage* P = nullptr;
  if (TTolvanPageSession* S = FindSessionEntry(SessionID)) {
    if (PageReleased(PageNo) && S->FreedPageNos.Contains(PageNo))
      RaiseNotAllocated(PageNo);
    P = S->DirtyPages.Find(PageNo);
  }
  if (!P) {
    P = FCache.Find(PageNo);
    if (P) {
      // Checked before any re-read, which would drop the other session's changes.
      if (P->FDirty && P->FUseCount > 0 && P->FSessionID != SessionID)
        throw ETolvanException::Create(ErrPageUsedByOtherSession, SPageUsedByOtherSession);
      if (!ReloadCheck || ReloadCheck->PageNeedsReload(P->FVersionStamp))
        P->Revalidate();
    } else {
      // Read before the page enters the cache: a failed read leaves no empty page there.
      FCache.Reserve(1);
      P = TakePageObject();
      try {
        P->FPageNo = PageNo;
        ReadPage(*P);
        P->FVersionStamp = GetCurrentVersionStamp();
      } catch (...) {
        RecyclePage(P);
        throw;
      }
      FCache.Append(P); // room reserved above
    }
  }
  P->FSessionID = SessionID;
  ++P->FUseCount;
  return P;
}

void TTolvanPageManager::ReleasePage(TTolvanPage* Page) {
  if (!Page || Page->FPageNo == -1 || Page->FManager != this)
    throw ETolvanException::Create(ErrInvalidReleasedPageNo, SInvalidPageNumber);
  if (Page->FRemoved) {
    if (--Page->FUseCount <= 0) {
      FRemovedPages.Remove(Page);
      RecyclePage(Page);
    }
    return;
  }
  if (!Page->FOwnerList)
    throw ETolvanException::Create(ErrReleasedTooEarly, SUsedPageReleasedTooEarly);
  if (Page->FUseCount <= 0)
    throw ETolvanException::CreateFmt(ErrInvalidUseCount, SInvalidPageUseCount,
                                      Page->FUseCount - 1, Page->FPageNo);
  const bool Cached = Page->FOwnerList == &FCache;
  if (Cached && Page->FUseCount == 1 && Page->FDirty) {
    // The last holder of a changed cached page: the change now waits for its session's commit.
    TTolvanPageSession& S = AddSession(Page->FSessionID);
    try {
      S.DirtyPages.Reserve(1);
    } catch (...) {
      DropIfIdle(&S);
      throw;
    }
    Page->FUseCount = 0;
    FCache.Remove(Page);
    S.DirtyPages.Append(Page);
    return;
  }
  --Page->FUseCount;
  if (Cached && FCache.Count() > FCacheCapacity)
    TrimCache();
}

// --- Commit and rollback ------------------------------------------------------------------------

void TTolvanPageManager::CheckCommit(const TTolvanPageSession& S) const {
  for (TTolvanPage* P = S.DirtyPages.First(); P; P = TTolvanPageList::Next(P)) {
    if (!P->FDirty)
      throw ETolvanException::CreateFmt(ErrCommitPageNotDirty, SPageIsNotDirty, P->FPageNo);
    if (P->FUseCount > 0)
      RaisePageUsed(ErrCommitPageUsed, *P);
    if (TTolvanPage* Copy = FCache.Find(P->FPageNo); Copy && Copy->FUseCount > 0)
      RaisePageUsed(ErrCommitPageUsed, *Copy);
  }
  for (int32_t I = 0; I < S.FreedPageNos.Count(); ++I) {
    const int32_t PageNo = S.FreedPageNos[I];
    if (!PageAllocated(PageNo))
      RaiseNotAllocated(PageNo);
    if (TTolvanPage* Held = HeldObject(PageNo))
      RaisePageUsed(ErrCommitPageUsed, *Held);
  }
}

void TTolvanPageManager::Commit(int32_t SessionID) {
  TTolvanPageSession* S = FindSessionEntry(SessionID);
  if (!S)
    return;
  CheckCommit(*S);
  FCache.Reserve(S->DirtyPages.Count());
  const int32_t Stamp = NewVersionStamp(PageKindIndex);
  // Each page moves from the dirty list to the cache on its own, so a store that fails to write
  // one leaves every object in exactly one list and the rest still to commit.
  while (TTolvanPage* P = S->DirtyPages.First()) {
    WritePage(*P);
    P->FDirty = false;
    P->FChangedInPlace = false;
    P->FVersionStamp = Stamp;
    if (TTolvanPage* Old = FCache.Find(P->FPageNo)) {
      FCache.Remove(Old);
      RecyclePage(Old);
    }
    S->DirtyPages.Remove(P);
    FCache.Append(P); // room reserved above
  }
  for (int32_t I = 0; I < S->FreedPageNos.Count(); ++I) {
    FreePage(S->FreedPageNos[I]);
    DropNumber(S->FreedPageNos[I]);
  }
  ClearReleased(S->FreedPageNos);
  S->FreedPageNos.SetCount(0);
  S->NewPageNos.SetCount(0);
  S->LostInPlaceChange = false;
  DropIfIdle(S);
}

void TTolvanPageManager::CheckRollback(const TTolvanPageSession& S) const {
  // The session's new numbers, sorted for the in-place test: a failed index build rolls back a
  // whole new tree.
  std::vector<int32_t> New(S.NewPageNos.Items(), S.NewPageNos.Items() + S.NewPageNos.Count());
  std::sort(New.begin(), New.end());
  auto IsNew = [&](int32_t PageNo) { return std::binary_search(New.begin(), New.end(), PageNo); };
  for (TTolvanPage* P = S.DirtyPages.First(); P; P = TTolvanPageList::Next(P)) {
    if (!P->FDirty)
      throw ETolvanException::CreateFmt(ErrRollbackPageNotDirty, SPageIsNotDirty, P->FPageNo);
    if (P->FUseCount > 0)
      RaisePageUsed(ErrRollbackPageUsed, *P);
    if (P->FChangedInPlace && !IsNew(P->FPageNo))
      throw ETolvanException::Create(ErrChangedInPlace, SCannotRollBackChangedPages);
  }
  if (S.LostInPlaceChange)
    throw ETolvanException::Create(ErrChangedInPlace, SCannotRollBackChangedPages);
  for (int32_t PageNo : New) {
    if (!PageAllocated(PageNo))
      RaiseNotAllocated(PageNo);
    if (TTolvanPage* Held = HeldObject(PageNo))
      RaisePageUsed(ErrRollbackPageUsed, *Held);
  }
}

void TTolvanPageManager::Rollback(int32_t SessionID) {
  TTolvanPageSession* S = FindSessionEntry(SessionID);
  if (!S)
    return;
  CheckRollback(*S);
  for (int32_t I = 0; I < S->NewPageNos.Count(); ++I) {
    FreePage(S->NewPageNos[I]);
    DropNumber(S->NewPageNos[I]);
  }
  S->NewPageNos.SetCount(0);
  while (TTolvanPage* P = S->DirtyPages.First()) {
    S->DirtyPages.Remove(P);
    RecyclePage(P);
  }
  ClearReleased(S->FreedPageNos);
  S->FreedPageNos.SetCount(0);
  S->LostInPlaceChange = false;
  DropIfIdle(S);
}

void TTolvanPageManager::ClearCache() noexcept {
  TTolvanPage* P = FCache.First();
  while (P) {
    TTolvanPage* Next = TTolvanPageList::Next(P);
    if (P->FUseCount == 0) {
      FCache.Remove(P);
      RecyclePage(P);
    }
    P = Next;
  }
}

} // namespace tolvan
