// TestAOTables.h: the component registries for one test and MEMORY tables made and filled
// through a table component, for the operator tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "components/TolvanComponentStartup.h"
#include "components/TolvanTable.h"

namespace tolvan::test {

// Start-up before each test, shutdown after it.
class AOTest : public ::testing::Test {
protected:
  TComponentRegistriesScope Registries;
};

struct TTestColumn {
  std::string Name;
  TTolvanFieldType Type = tftInteger;
  int32_t Size = 0;
};

// A cell: null, an integer, a number (a FLOAT, or a DATE's day count) or a text.
using TTestCell = std::variant<std::monostate, int64_t, std::string, double>;

// Creates (or replaces) the MEMORY table Name with Columns and appends Rows.
void MakeMemoryTable(std::string_view Name, const std::vector<TTestColumn>& Columns,
                     const std::vector<std::vector<TTestCell>>& Rows = {});

// Appends Rows to the MEMORY table Name, whose columns include Columns.
void AppendMemoryRows(std::string_view Name, const std::vector<TTestColumn>& Columns,
                      const std::vector<std::vector<TTestCell>>& Rows);

} // namespace tolvan::test
