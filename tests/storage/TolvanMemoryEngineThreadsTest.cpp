#include <gtest/gtest.h>

#include "tests/storage/MemoryThreadsTestSupport.h"

using namespace tolvan::test;

namespace {

// Eight writers of their own sessions and two readers on one memory table.
TEST(MemoryTableThreads, WritersOfDistinctKeysAndReadersAgreeAtTheEnd) { RunMemoryTableThreads(); }

} // namespace
