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
#include "foundation/TolvanExcept.h"
#include "schema/TolvanSQLParams.h"
#include "schema/expr/TolvanExpression.h"

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

// The message of what Fn raises: an engine error's text, a class-library error's text after
// "class library: ", or "no error".
template <class F> std::string ErrorOf(F&& Fn) {
  try {
    Fn();
  } catch (const ETolvanException& E) {
    return E.Message();
  } catch (const Exception& E) {
    return "class library: " + E.Message();
  }
  return "no error";
}

// An expression parsed from SQL text as a value / as a condition.
std::unique_ptr<TTolvanExpression> ParsedValue(std::string_view Text,
                                               const TTolvanSQLParams* Params = nullptr);
std::unique_ptr<TTolvanExpression> ParsedCondition(std::string_view Text,
                                                   const TTolvanSQLParams* Params = nullptr);

} // namespace tolvan::test
