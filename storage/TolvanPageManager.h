// TolvanPageManager.h: hands out the pages of one table's index store to the sessions that use
// the table.
//
// TTolvanPageManager keeps a cache of committed pages and, per session, the pages the session
// changed or created, the page numbers it allocated and those it released, until the session
// commits or rolls back. Where the bytes live is left to the stores (TolvanPageStores.h), which
// implement the store primitives of the slot table below.
//
// Calling order for a user: NewPage or GetPage; read or change the bytes through a page
// controller, SetDirty after a change; ReleasePage once per fetch; Commit at the end of the table
// operation. A page number released with RemovePage is freed in the store at commit; before that
// the same session's NewPage reuses it, last released first.
//
// Lists: the cache and each session's dirty pages are insertion-ordered lists with an index by
// page number; no list holds two objects of one number. A page object records the list that
// holds it (TTolvanPage::OwnerList), so membership is a comparison. A page removed while held
// leaves its list, is marked Removed and waits in RemovedPages until its last release.
//
// Ownership: the manager owns every page object and recycles them, so a cache miss allocates no
// object. Users hold pages between fetch and release and never free them. Close makes the checks
// teardown needs and may throw; the destructor frees silently.
//
// Threads: not thread-safe: one table operation at a time. Callers serialise through the table
// lock (in-memory tables) or by using a temporary table from one query only.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "foundation/TolvanArrays.h"
#include "foundation/TolvanTypes.h"
#include "storage/TolvanPage.h"

namespace tolvan {

// Native codes shared by the manager and its stores.
inline constexpr int32_t ErrInvalidNewPageNo = 20064;
inline constexpr int32_t ErrPageNotAllocated = 20056;

// An insertion-ordered list of page objects with an index by page number (open addressing). The
// list links its pages through the pages themselves and does not own them.
class TTolvanPageList {
public:
  TTolvanPageList() = default;
  ~TTolvanPageList();
  TTolvanPageList(const TTolvanPageList&) = delete;
  TTolvanPageList& operator=(const TTolvanPageList&) = delete;

  int32_t Count() const noexcept { return FCount; }
  TTolvanPage* First() const noexcept { return FFirst; }
  static TTolvanPage* Next(const TTolvanPage* Page) noexcept { return Page->FNext; }
  bool Contains(const TTolvanPage* Page) const noexcept { return Page->FOwnerList == this; }
  // The page numbered PageNo; nil when the list holds none.
  TTolvanPage* Find(int32_t PageNo) const noexcept;

  // Makes room in the index for Extra more pages, so that as many appends cannot fail.
  void Reserve(int32_t Extra);
  // Appends Page, which no list holds. May grow the index (unless room was reserved).
  void Append(TTolvanPage* Page);
  // Takes Page, which this list holds, out of it.
  void Remove(TTolvanPage* Page) noexcept;

private:
  struct TSlot {
    int32_t Key;
    TTolvanPage* Page; // nil: the slot is empty
  };

  uint32_t Home(int32_t Key) const noexcept;
  void Rehash(uint32_t NewSlotCount);
  void Insert(TTolvanPage* Page) noexcept;
  void Erase(TTolvanPage* Page) noexcept;

  TSlot* FSlots = nullptr; // FSlotCount slots, a power of two, at most half used
  uint32_t FSlotCount = 0;
  int32_t FShift = 32;
  int32_t FCount = 0;
  TTolvanPage* FFirst = nullptr;
  TTolvanPage* FLast = nullptr;
};

// What one session has pending with a manager.
struct TTolvanPageSession {
  explicit TTolvanPageSession(int32_t ID) : SessionID(ID) {}

  int32_t SessionID;
  // Pages the session created or changed and has not committed; every one is Dirty.
  TTolvanPageList DirtyPages;
  // Numbers allocated since the last commit or rollback.
  TTolvanIntegerArray NewPageNos{0, 10, 100};
  // Numbers released since the last commit or rollback; freed in the store at commit.
  TTolvanIntegerArray FreedPageNos{0, 10, 100};
  // A page changed in place in a store block (not a new one) left the dirty list through
  // RemovePage, so a rollback could not undo its change.
  bool LostInPlaceChange = false;

  bool Idle() const noexcept {
    return DirtyPages.Count() == 0 && NewPageNos.Count() == 0 && FreedPageNos.Count() == 0 &&
           !LostInPlaceChange;
  }
};

// Answers whether a cached page must be re-read; the table data implements it.
class TTolvanPageReloadCheck {
public:
  virtual bool PageNeedsReload(int32_t VersionStamp) = 0;

protected:
  ~TTolvanPageReloadCheck() = default;
};

class TTolvanPageManager {
public:
  virtual ~TTolvanPageManager();
  TTolvanPageManager(const TTolvanPageManager&) = delete;
  TTolvanPageManager& operator=(const TTolvanPageManager&) = delete;

  // --- Pages for their users ------------------------------------------------------------------

  // A new dirty page for the session, held once: the number the session released last when it
  // has one, else a number the store allocates (20064 when it assigns none).
  TTolvanPage* NewPage(int32_t SessionID);

  // Count new pages at once, into Pages[0 .. Count - 1], as Count calls of NewPage in a row would
  // give them (released numbers first, the last released first). All or nothing: when one cannot
  // be had, the pages taken so far are given back and the store and the session are as before.
  void NewPages(int32_t SessionID, int32_t Count, TTolvanPage** Pages);

  // Readies a change that must not fail half-way, such as a B-tree split or merge: afterwards up
  // to ChangedCount pages of the session can be marked dirty and released, and RemovePage can
  // release each of the RemovedCount numbers in RemovedPageNos, without allocating anything. A
  // session without entry gets one, kept until its next commit or rollback.
  void ReserveChange(int32_t SessionID, int32_t ChangedCount, const int32_t* RemovedPageNos,
                     int32_t RemovedCount);

  // The session releases page number PageNo; the store frees it at the session's commit. A
  // number not allocated, or already released and not reused since, raises 20056 and changes
  // nothing. The session's object of that number leaves its list: it is freed at once when
  // nobody holds it, else at its last release.
  void RemovePage(int32_t SessionID, int32_t PageNo);

  // Page PageNo, held once more: the session's own changed copy, else the cached committed one,
  // else read from the store. A cached page is revalidated when ReloadCheck is nil or says so.
  // A page another session holds and has changed raises 20090; a number the session released
  // raises 20056; a number the store does not hold raises the store's read code.
  TTolvanPage* GetPage(int32_t SessionID, int32_t PageNo, TTolvanPageReloadCheck* ReloadCheck);

  // The caller stops holding Page. A changed cached page moves to its session's dirty pages when
  // its last holder releases it; then the cache is trimmed to CacheCapacity unheld pages.
  // Raises 20065 (no number), 20040 (a page no list holds), 10665 (more releases than fetches).
  void ReleasePage(TTolvanPage* Page);

  // Writes the session's dirty pages into the store and caches them, then frees the numbers it
  // released. Every page is checked first: a clean one raises 10822; a held one, a held cached
  // copy it replaces, or a held object of a number to be freed raises 10823; a released number
  // no longer allocated raises 20056. A session without entry has nothing to commit.
  void Commit(int32_t SessionID);

  // Discards the session's dirty pages and frees the numbers it allocated; the numbers it
  // released stay allocated. Checked first: a clean page raises 10820, a held one 10821, a page
  // changed in place in a store block that is not one of the session's new pages 20058.
  void Rollback(int32_t SessionID);

  // Frees every cached page nobody holds.
  void ClearCache() noexcept;

  // Teardown checks, before destruction: a session with uncommitted pages raises 20097 (a store
  // first checks its own pages). Then every page object is freed; the manager is empty.
  virtual void Close();

  // --- The slot table -------------------------------------------------------------------------

  virtual int32_t GetAllocatedPageCount() const { return FAllocatedCount; }
  // Stamps: the base hands out 0 and calls a page outdated when its stamp differs.
  virtual int32_t NewVersionStamp(uint8_t PageKind);
  virtual int32_t GetCurrentVersionStamp();
  virtual bool IsPageOutdated(int32_t PageStamp, int32_t CurrentStamp, uint8_t PageKind);
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream);
  // Store primitives. Only the manager's own operations call them on its pages; a temporary store
  // calls them on its inner memory store.
  // Gives a reused number's page its buffer; nothing in the base.
  virtual void AttachBuffer(TTolvanPage& Page);
  // Chooses a free number, marks it allocated, sets the page's number and buffer, counts it.
  virtual void AllocatePage(TTolvanPage& Page) = 0;
  // Marks the number free and uncounts it; a number not allocated raises 20056 first.
  virtual void FreePage(int32_t PageNo) = 0;
  // Gives the page the store's bytes of its number.
  virtual void ReadPage(TTolvanPage& Page) = 0;
  // Stores the page's first PageSize bytes.
  virtual void WritePage(TTolvanPage& Page) = 0;
  virtual void Flush();
  // True when the store holds page number PageNo as allocated.
  virtual bool PageAllocated(int32_t PageNo) const = 0;
  virtual std::string_view ClassName() const { return "TTolvanPageManager"; }

  // --- State ----------------------------------------------------------------------------------

  int32_t CacheCapacity() const noexcept { return FCacheCapacity; }
  // Unheld committed pages the cache keeps; a negative value counts as 0.
  void SetCacheCapacity(int32_t Value) noexcept { FCacheCapacity = Value < 0 ? 0 : Value; }
  const TTolvanPageList& Cache() const noexcept { return FCache; }
  // Pages removed while held, until their last release.
  const TTolvanPageList& RemovedPages() const noexcept { return FRemovedPages; }
  // Sessions with something pending, in order of first use; an idle one may be dropped.
  int32_t SessionCount() const noexcept { return int32_t(FSessions.size()); }
  const TTolvanPageSession& Sessions(int32_t Index) const { return *FSessions.at(size_t(Index)); }
  const TTolvanPageSession* FindSession(int32_t SessionID) const noexcept;
  uint16_t PageSize() const noexcept { return FPageSize; }
  uint16_t ReservedWord() const noexcept { return FReservedWord; }
  int32_t AllocatedCount() const noexcept { return FAllocatedCount; }
  // True when some session released PageNo and has not committed or rolled back since.
  bool PageReleased(int32_t PageNo) const noexcept;
  const TTolvanBitsArray& ReleasedPageNos() const noexcept { return FReleasedPageNos; }

protected:
  TTolvanPageManager();

  void SetPageSize(uint16_t Value) noexcept { FPageSize = Value; }
  // True while a session has something pending or a page is held: a store then refuses to be
  // loaded.
  bool PagesInUse() const noexcept;
  // Frees every page object and session entry; for Close, loading and destruction.
  void DiscardPages() noexcept;

  int32_t FAllocatedCount = 0; // numbers allocated in the store, kept by the store

private:
  TTolvanPageSession* FindSessionEntry(int32_t SessionID) noexcept;
  TTolvanPageSession& AddSession(int32_t SessionID);
  void DropIfIdle(TTolvanPageSession* Session) noexcept;

  TTolvanPage* TakePageObject();
  void RecyclePage(TTolvanPage* Page) noexcept;
  void TrimCache() noexcept;

  // The first held object numbered PageNo in the cache or a dirty list; nil when none.
  TTolvanPage* HeldObject(int32_t PageNo) const noexcept;
  // Frees every unheld object numbered PageNo in the cache and the dirty lists: the number has
  // left the store.
  void DropNumber(int32_t PageNo) noexcept;
  void MarkReleased(int32_t PageNo);
  void ClearReleased(int32_t PageNo) noexcept;
  void ClearReleased(const TTolvanIntegerArray& PageNos) noexcept;
  // The checks Commit and Rollback make before they change anything.
  void CheckCommit(const TTolvanPageSession& Session) const;
  void CheckRollback(const TTolvanPageSession& Session) const;

  int32_t FCacheCapacity;
  TTolvanPageList FCache;
  TTolvanPageList FRemovedPages;
  std::vector<std::unique_ptr<TTolvanPageSession>> FSessions;
  TTolvanPageSession* FLastSession = nullptr; // the entry found last: sessions repeat
  std::unique_ptr<TTolvanPageSession> FSpareSession;
  TTolvanBitsArray FReleasedPageNos; // bit n: n is in some session's FreedPageNos
  TTolvanPage* FSparePages = nullptr; // recycled page objects, linked through FNext
  int32_t FSpareCount = 0;
  uint16_t FPageSize = 0;
  uint16_t FReservedWord = 0;
};

} // namespace tolvan
