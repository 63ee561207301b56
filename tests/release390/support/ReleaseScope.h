// ReleaseScope.h: runs part of a test as another release.
//
// The release can change only while the storage registry is down, so the scope stops the
// component and storage registries, installs the 3.90 variants, selects the release and
// starts the component registries again. Leaving the scope, by any path, stops them, selects
// 4.00 and restarts whatever ran before.
#pragma once

#include "foundation/TolvanRelease.h"

namespace tolvan::test {

class TReleaseScope {
public:
  explicit TReleaseScope(TTolvanReleaseId Id = TTolvanReleaseId::tr390,
                         bool StartComponents = true);
  ~TReleaseScope();
  TReleaseScope(const TReleaseScope&) = delete;
  TReleaseScope& operator=(const TReleaseScope&) = delete;

private:
  bool FComponentsBefore;
  bool FStorageBefore;
};

// Each release in turn, 4.00 first, for table tests that run every row under both.
inline constexpr TTolvanReleaseId BothReleases[] = {TTolvanReleaseId::tr400,
                                                    TTolvanReleaseId::tr390};

} // namespace tolvan::test
