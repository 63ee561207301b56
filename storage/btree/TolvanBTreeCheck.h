// TolvanBTreeCheck.h: the structural check of a whole B-tree, for trees whose pages come from a
// stream and so cannot be trusted.
//
// CheckTree walks the tree depth first, reads nothing outside a page, and raises unless:
//
//   code   the tree holds that
//   20028  every header matches the layout (IsRoot exactly at the root, IsLeaf 0 or 1, reserved
//          1, no extra data or header bytes, the layout's key size, n x ES + H <= the page);
//          no node is empty, and no leaf but the root or one alone on its level; keys ascend
//          within each leaf and from each leaf to the next
//   20029  separators 1 .. n - 1 ascend within each node
//   20030  no key below a child is above the separator after the child
//   20031  no key below a child is below the child's own separator
//   20032  every child is an allocated page reached once; all leaves lie at one depth, at most
//          32 levels down
//   20033  each page's PrevPageNo names the page before it on its level, in key order across
//          parents (-1 for the first)
//   20034  each page's NextPageNo names the page after it (-1 for the last)
//
// The message names the page and the entry at fault (-1 for the page as a whole).
//
// Threads: as the tree; the check changes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/btree/TolvanBTreeControllers.h"

namespace tolvan {

// What the walk has seen so far; the controllers' CheckIntegrity works on it.
struct TTolvanBTreeCheckState {
  // Bounds of the keys below the page being checked at each depth (nil: none); they point into
  // the ancestors, which the walk holds.
  const uint8_t* Lower[MaxKeyPathLevels + 1] = {};
  const uint8_t* Upper[MaxKeyPathLevels + 1] = {};
  // The page met last on each level and its NextPageNo.
  int32_t LastPageNo[MaxKeyPathLevels];
  int32_t LastNext[MaxKeyPathLevels];
  int32_t Levels = 0;
  int32_t LeafDepth = -1;
  std::vector<bool> Reached; // by page number
  uint8_t* LastLeafKey = nullptr;
  bool HasLastLeafKey = false;
};

void CheckTree(TTolvanBTree& Tree, int32_t SessionID);

// One page of the walk: its own checks, then its children through their controllers.
void CheckTreePage(TTolvanBTreeWork& W, TTolvanBTreePage& Page, TTolvanKeyPath& Path);

} // namespace tolvan
