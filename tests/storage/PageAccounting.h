// PageAccounting.h: a consistency check of a page manager's bookkeeping, for tests to run after
// every operation that touches pages.
//
// It walks every list and session of the manager and the store's allocation map, and reports the
// first fault it finds as text ("" when there is none), so a test writes
//   EXPECT_EQ(PageAccountingFaults(Store), "");
// The checks:
//   - every object is in exactly the list its owner tag names, and the list's index finds it
//     under its number (so neither the cache nor a dirty list holds a number twice);
//   - cached pages are clean unless held; every dirty-list page is Dirty and, when held, belongs
//     to the list's session; every page removed while held is still held;
//   - every listed page has a buffer of at least PageSize bytes and an allocated number;
//   - released numbers are allocated, released by one session only, and marked as released;
//     new numbers are allocated;
//   - AllocatedCount equals the map's set bits, the map has as many bits as the store has slots,
//     and a temporary store's inner map agrees with its own below MemoryLimit.
#pragma once

#include <string>

#include "storage/TolvanPageManager.h"
#include "storage/TolvanPageStores.h"

namespace tolvan::test {

std::string PageAccountingFaults(const TTolvanMemoryPageManager& Store);
std::string PageAccountingFaults(const TTolvanTemporaryPageManager& Store);

} // namespace tolvan::test
