// TolvanBTreeControllers.h: the B-tree algorithms, page by page.
//
// A view (TTolvanBTreePage) hands each operation to the controller of its kind: the leaf
// controller or the node controller, two stateless objects shared by every view. An operation
// started at the root runs down the tree: a node picks the children that can hold the key,
// fetches each, records the level in the key path and calls the same operation on the child; the
// page is released when the call returns.
//
// Changes never fail half-way. An insert that splits, or a delete that merges, first takes every
// page its cascade needs (the siblings and neighbours whose links change, the new pages in the
// order the cascade uses them, the grown buffers of the full pages on its path, room in the page
// manager's lists), and only then changes the first byte; after that nothing allocates or raises.
// A failed insert or delete leaves the tree as it was.
//
// Splitting: the lower half stays, the upper half moves to a new right sibling whose first key
// goes up into the parent; the root keeps its page number and grows the tree by a level. Merging:
// a non-root page under half full merges into its previous sibling when the two fit strictly in
// a page, else into its next sibling under the same rule; an emptied page always merges into a
// sibling when it has one. There is no borrowing, and the root never collapses: a root node may
// keep a single child. When a node merges, the key its first entry takes as an inner entry of
// the sibling is the separator that bounded the two pages in their ancestors, so a merge reads no
// page beyond those it holds.
//
// Threads: the controllers keep no state; the table lock serialises every tree operation.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/btree/TolvanBTreePage.h"

namespace tolvan {

class TTolvanBTree;
struct TTolvanBTreeCheckState;

// Condition types of a key search, as in a scan search condition; any other value means none.
enum TTolvanBTreeConditionType : uint8_t {
  bctNone = 0,
  bctEqual = 1,
  bctLess = 2,
  bctGreater = 3,
  bctLessOrEqual = 4,
  bctGreaterOrEqual = 5,
};

// One tree operation in progress.
struct TTolvanBTreeWork {
  TTolvanBTreeWork(TTolvanBTree& ATree, int32_t ASessionID) noexcept
      : Tree(ATree), SessionID(ASessionID) {}

  TTolvanBTree& Tree;
  // On whose behalf pages are fetched.
  int32_t SessionID;
  // The views held on the way down by level, so that a split or merge reaches every page of its
  // path without fetching it again.
  TTolvanBTreePage* Views[MaxKeyPathLevels] = {};
  // Pages a delete's merges gave up; released once every view is.
  int32_t RemovedPageNos[MaxKeyPathLevels] = {};
  int32_t RemovedCount = 0;
  // FreePages collects the numbers of the pages below here.
  std::vector<int32_t>* FreedPageNos = nullptr;
  int32_t Depth = 0;
  // CheckIntegrity's bookkeeping.
  TTolvanBTreeCheckState* Check = nullptr;
};

class TTolvanBTreePageController {
public:
  // Adds (Key, Data) below Page; splits on the way back up as needed.
  virtual void InsertEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                           const void* Data, TTolvanKeyPath& Path) const = 0;
  // Deletes the entry with Key and Data below Page; merges on the way back up as needed. False
  // when there is no such entry.
  virtual bool DeleteEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                           const void* Data, TTolvanKeyPath& Path) const = 0;
  // Collects Page's number and those of every page below it into W.FreedPageNos.
  virtual void FreePages(TTolvanBTreeWork& W, TTolvanBTreePage& Page) const = 0;
  // The structural check of Page and every page below it (TolvanBTreeCheck.h).
  virtual void CheckIntegrity(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                              TTolvanKeyPath& Path) const = 0;
  // Path ends at the leaf entry with Key and Data.
  virtual bool FindEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                         const void* Data, TTolvanKeyPath& Path) const = 0;
  // Path ends at the first / last leaf entry below Page.
  virtual bool GoFirst(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const = 0;
  virtual bool GoLast(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const = 0;
  // Path ends at the first (First) or last leaf entry below Page whose key satisfies the
  // condition against Key over the layout's ColumnCount columns.
  virtual bool FindByCondition(TTolvanBTreeWork& W, TTolvanBTreePage& Page, bool First,
                               const uint8_t* Key, uint8_t Condition,
                               TTolvanKeyPath& Path) const = 0;
  // Copies the smallest / largest key below Page; an empty leaf raises 20025.
  virtual void GetFirstKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                           uint8_t* Destination) const = 0;
  virtual void GetLastKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                          uint8_t* Destination) const = 0;

protected:
  ~TTolvanBTreePageController() = default;
};

class TTolvanBTreeLeafController final : public TTolvanBTreePageController {
public:
  void InsertEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                   const void* Data, TTolvanKeyPath& Path) const override;
  bool DeleteEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                   const void* Data, TTolvanKeyPath& Path) const override;
  void FreePages(TTolvanBTreeWork& W, TTolvanBTreePage& Page) const override;
  void CheckIntegrity(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                      TTolvanKeyPath& Path) const override;
  bool FindEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key, const void* Data,
                 TTolvanKeyPath& Path) const override;
  bool GoFirst(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const override;
  bool GoLast(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const override;
  bool FindByCondition(TTolvanBTreeWork& W, TTolvanBTreePage& Page, bool First, const uint8_t* Key,
                       uint8_t Condition, TTolvanKeyPath& Path) const override;
  void GetFirstKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                   uint8_t* Destination) const override;
  void GetLastKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page, uint8_t* Destination) const override;

  // The position of the entry with Key and Data: from the leftmost entry equal to Key along the
  // run of equal keys; with a nil Key every entry by data alone. -1 when there is none.
  static int32_t FindEntryWithData(const TTolvanBTreePage& Page, const uint8_t* Key,
                                   const void* Data) noexcept;
};

class TTolvanBTreeNodeController final : public TTolvanBTreePageController {
public:
  void InsertEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                   const void* Data, TTolvanKeyPath& Path) const override;
  bool DeleteEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key,
                   const void* Data, TTolvanKeyPath& Path) const override;
  void FreePages(TTolvanBTreeWork& W, TTolvanBTreePage& Page) const override;
  void CheckIntegrity(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                      TTolvanKeyPath& Path) const override;
  bool FindEntry(TTolvanBTreeWork& W, TTolvanBTreePage& Page, const uint8_t* Key, const void* Data,
                 TTolvanKeyPath& Path) const override;
  bool GoFirst(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const override;
  bool GoLast(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path) const override;
  bool FindByCondition(TTolvanBTreeWork& W, TTolvanBTreePage& Page, bool First, const uint8_t* Key,
                       uint8_t Condition, TTolvanKeyPath& Path) const override;
  void GetFirstKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page,
                   uint8_t* Destination) const override;
  void GetLastKey(TTolvanBTreeWork& W, TTolvanBTreePage& Page, uint8_t* Destination) const override;

  // The children From .. To of a node that can hold keys satisfying the condition against Key;
  // an empty range has To < From.
  static void ChildRange(const TTolvanBTreePage& Page, const uint8_t* Key, uint8_t Condition,
                         int32_t& From, int32_t& To) noexcept;
};

extern const TTolvanBTreeLeafController BTreeLeafController;
extern const TTolvanBTreeNodeController BTreeNodeController;

} // namespace tolvan
