// SELECT and query expressions through the processor: the clauses and the trees they build,
// the parse errors with their codes and texts, joins (outer ON conditions, WHERE pairs), set
// operations and their ORDER BY, INTO, live results, and re-runs of kept statements against
// fresh runs.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/TolvanQuery.h"
#include "sql/TolvanAO.h"
#include "sql/TolvanAOGroupBy.h"
#include "sql/TolvanAOJoin.h"
#include "sql/TolvanAOTable.h"
#include "sql/TolvanAOUnion.h"
#include "sql/TolvanSQLProcessor.h"
#include "sql/TolvanSQLSelect.h"
#include "sql/TolvanSQLStartup.h"
#include "sql/TolvanSQLUnion.h"
#include "tests/sql/support/TestAO.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class SQLSelect : public AOTest {
protected:
  SQLSelect() {
    RegisterSelectCommands();
    Query = MakeComponent<TTolvanQuery>();
    MakeMemoryTable("t", {{"id"}, {"a", tftVarchar, 8}, {"x"}},
                    {{1, "p", 10}, {2, "q", 20}, {3, "r", {}}, {4, "q", 40}});
    MakeMemoryTable("u", {{"id"}, {"b", tftVarchar, 8}}, {{1, "one"}, {2, "two"}, {5, "five"}});
  }

  // Runs SQL in a new processor and answers the last statement's rows ("cols: row row").
  std::string Run(std::string_view SQL) {
    Processor = std::make_unique<TTolvanLocalSQLProcessor>(*Query);
    Processor->SetSQL(SQL);
    Processor->Execute();
    return Rows();
  }
  std::string Rows() {
    auto* C = dynamic_cast<TTolvanSQLCursorCommand*>(Processor->CurrentCommand());
    if (!C)
      return "no cursor";
    return ResultText(*C->Root());
  }
  TTolvanAO& Root() {
    return *dynamic_cast<TTolvanSQLCursorCommand&>(*Processor->CurrentCommand()).Root();
  }
  // "code: message" of what running SQL raises.
  std::string Error(std::string_view SQL) {
    try {
      Run(SQL);
    } catch (const ETolvanException& E) {
      return std::to_string(E.NativeError()) + ": " + E.Message();
    } catch (const Exception& E) {
      return "class library: " + E.Message();
    }
    return "no error";
  }

  TComponentPtr<TTolvanQuery> Query;
  std::unique_ptr<TTolvanLocalSQLProcessor> Processor;
};

TEST_F(SQLSelect, BasicClauses) {
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT * FROM t", "id,a,x: 1,p,10 2,q,20 3,r,- 4,q,40"},
      {"SELECT id, a FROM t WHERE x > 15", "id,a: 2,q 4,q"},
      {"SELECT a b FROM t WHERE id = 1", "b: p"},
      {"SELECT id FROM t ORDER BY x DESC", "id: 4 2 1 3"},
      {"SELECT DISTINCT a FROM t ORDER BY a", "a: p q r"},
      {"SELECT TOP 2 id FROM t", "id: 1 2"},
      {"SELECT TOP 2, 3 id FROM t", "id: 3 4"},
      {"SELECT id * 2 AS d FROM t WHERE id < 3 ORDER BY 1 DESC", "d: 4 2"},
      {"SELECT a, COUNT(*) AS n FROM t GROUP BY a", "a,n: p,1 q,2 r,1"},
      {"SELECT a, COUNT(*) AS n FROM t GROUP BY a HAVING COUNT(*) > 1", "a,n: q,2"},
      {"SELECT SUM(x) AS s FROM t HAVING SUM(x) > 5", "s: 70"},
      {"SELECT SUM(x) AS s FROM t HAVING SUM(x) > 500", "s:"},
      // HAVING without grouping is not applied.
      {"SELECT id FROM t HAVING id > 100", "id: 1 2 3 4"},
      // WHERE sees select aliases.
      {"SELECT x AS big FROM t WHERE big > 15", "big: 20 40"},
      // Tokens after a complete query expression are not read.
      {"SELECT id FROM t WHERE id = 2 LIMIT 10", "id: 2"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Run(C.SQL), C.Rows) << C.SQL;
}

} // namespace
} // namespace tolvan::test
