// Every tests/sql/*.test file as one test case, run as release 4.00 (the runner's header
// describes the format).
#include <gtest/gtest.h>

#include "components/TolvanComponentStartup.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/SqlLogicRunner.h"

namespace tolvan::test {
namespace {

class SqlLogicTest : public ::testing::TestWithParam<std::string> {
protected:
  TComponentRegistriesScope Registries;
  SqlLogicTest() { InitSQLLayer(); }
};

TEST_P(SqlLogicTest, File) { RunSqlLogicFile(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Files, SqlLogicTest, ::testing::ValuesIn(SqlLogicTestFiles()),
                         [](const ::testing::TestParamInfo<std::string>& I) { return I.param; });

} // namespace
} // namespace tolvan::test
