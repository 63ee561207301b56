// SelectedRelease.h: runs part of a schema test as another release.
//
// The schema tests run without the storage registry, so selecting the release is all a switch
// takes (the release390 tests use TReleaseScope, which also stops and restarts the
// registries). Leaving the guard, by any path, selects 4.00 again.
#pragma once

#include "foundation/TolvanRelease.h"

namespace tolvan::test {

class TSelectedRelease {
public:
  explicit TSelectedRelease(TTolvanReleaseId Id) { SelectRelease(Id); }
  ~TSelectedRelease() {
    try {
      SelectRelease(TTolvanReleaseId::tr400);
    } catch (...) {
    }
  }
  TSelectedRelease(const TSelectedRelease&) = delete;
  TSelectedRelease& operator=(const TSelectedRelease&) = delete;
};

// Each release in turn, 4.00 first, for table tests that run every row under both.
inline constexpr TTolvanReleaseId TestedReleases[] = {TTolvanReleaseId::tr400,
                                                      TTolvanReleaseId::tr390};

inline bool Is390() { return Release().Id == TTolvanReleaseId::tr390; }

} // namespace tolvan::test
