// Every tests/sql/*.test file as one test case, run as release 3.90: a record gives its 4.00
// result unless it states a 3.90 one (the runner's header describes the format).
#include <gtest/gtest.h>

#include "sql/TolvanSQLStartup.h"
#include "tests/release390/support/ReleaseScope.h"
#include "tests/sql/support/SqlLogicRunner.h"

namespace tolvan::test {
namespace {

class SqlLogic390Test : public ::testing::TestWithParam<std::string> {};

TEST_P(SqlLogic390Test, File) {
  TReleaseScope Scope(TTolvanReleaseId::tr390);
  InitSQLLayer();
  RunSqlLogicFile(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, SqlLogic390Test, ::testing::ValuesIn(SqlLogicTestFiles()),
                         [](const ::testing::TestParamInfo<std::string>& I) { return I.param; });

} // namespace
} // namespace tolvan::test
