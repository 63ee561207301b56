#include "foundation/TolvanRelease.h"

#include <atomic>

namespace tolvan {

namespace {

// 3.90 lacks the last four reserved words of 4.00: DATABASE, FILE, PAGESIZE, MAXSESSIONSCOUNT.
constexpr TTolvanReleaseProfile Profiles[] = {
    {TTolvanReleaseId::tr400, "4.00", 292, false, false, false, 4.0, 4.0001, 4.0},
    {TTolvanReleaseId::tr390, "3.90", 288, false, false, false, 4.0, 4.0001, 3.9},
};

std::atomic<const TTolvanReleaseProfile*> Active{&Profiles[0]};

} // namespace

const TTolvanReleaseProfile& Release() { return *Active.load(std::memory_order_acquire); }

void SelectRelease(TTolvanReleaseId Id) {
  Active.store(&Profiles[static_cast<int>(Id)], std::memory_order_release);
}

} // namespace tolvan
