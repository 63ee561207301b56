// The rowbench phases from several threads at once, run as release 3.90: every session of the
// shared "MEMORY" database is numbered 0 and keeps its temporary database connected.
#include <gtest/gtest.h>

#include "tests/release390/support/ReleaseScope.h"

namespace {

// The suite starts the component registries itself.
class RowBenchThreads390Fixture : public ::testing::Test {
protected:
  tolvan::test::TReleaseScope Release390{tolvan::TTolvanReleaseId::tr390, false};
};

} // namespace

#define RowBenchThreads RowBenchThreads390
#define TOLVAN_THREAD_SUITE_FIXTURE RowBenchThreads390Fixture
#include "tests/bench/RowBenchThreadsTest.cpp"
