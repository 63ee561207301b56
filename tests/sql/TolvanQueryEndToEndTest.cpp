// The query component over the real statement processor: counts through a stand-in INSERT,
// kept commands between executions, and the provider's statements.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/TolvanQuery.h"
#include "sql/TolvanSQLCommand.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

std::vector<std::string>& InsertLog() {
  static std::vector<std::string> Value;
  return Value;
}

// "INSERT n [...]": affects n rows; logs each run and whether it re-ran a kept command.
class TCountingInsert : public TTolvanSQLCommand {
public:
  TCountingInsert(TTolvanLexer& Lexer, TTolvanQuery& Query) : TTolvanSQLCommand(Lexer, Query) {}

  void Parse() override {
    while (NextToken())
      if (Token().Kind == tktInt)
        FRows = std::stoll(Token().Text);
  }
  void Execute(TTolvanQuery&, bool, bool, bool&) override {
    InsertLog().push_back(ReExecuting() ? "again" : "run");
    FRowsAffected = FRows;
  }

private:
  int64_t FRows = 0;
};

class QueryEndToEnd : public AOTest {
protected:
  QueryEndToEnd() {
    InitSQLLayer();
    InsertLog().clear();
    FSavedInsert = RegisterSQLCommand(
        TTolvanSQLCommandKind::Insert,
        [](TTolvanLexer& L, TTolvanQuery& Q) -> std::unique_ptr<TTolvanSQLCommand> {
          return std::make_unique<TCountingInsert>(L, Q);
        });
  }
  ~QueryEndToEnd() override {
    RegisterSQLCommand(TTolvanSQLCommandKind::Insert, std::move(FSavedInsert));
  }

  static TComponentPtr<TTolvanQuery> MakeQuery(std::string_view SQL) {
    auto Q = MakeComponent<TTolvanQuery>();
    Q->SetSQLText(SQL);
    return Q;
  }

  TTolvanSQLCommandFactory FSavedInsert;
};

TEST_F(QueryEndToEnd, CountsAreSummedAndClamped) {
  auto Q = MakeQuery("INSERT 2; INSERT 3");
  EXPECT_EQ(Q->RowsAffected(), -1);
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected(), 5);
  Q->SetSQLText("INSERT 2000000000; INSERT 2000000000");
  Q->ExecSQL();
  EXPECT_EQ(Q->RowsAffected(), 2147483647);
  EXPECT_EQ(Q->RowsAffected64(), 4000000000);
  Q->Unprepare();
  EXPECT_EQ(Q->RowsAffected(), 2147483647);
  EXPECT_EQ(Q->RowsAffected64(), 4000000000);
  // Through the provider as well.
  auto T = MakeComponent<TTolvanTable>();
  EXPECT_EQ(T->ProviderExecuteStatement("INSERT 3000000000", nullptr, nullptr), 2147483647);
  EXPECT_EQ(T->ProviderExecuteStatement("INSERT 7", nullptr, nullptr), 7);
  T->ProviderEndTransaction();
}

TEST_F(QueryEndToEnd, ParametersKeepTheCommands) {
  auto Plain = MakeQuery("INSERT 1");
  Plain->ExecSQL();
  Plain->ExecSQL();
  EXPECT_EQ(InsertLog(), (std::vector<std::string>{"run", "run"}));
  InsertLog().clear();
  auto WithParams = MakeQuery("INSERT 1 :p");
  WithParams->ParamByName("p").SetAsInteger(1);
  WithParams->ExecSQL();
  WithParams->ExecSQL();
  WithParams->ParamByName("p").SetAsInteger(2);
  WithParams->ExecSQL();
  EXPECT_EQ(InsertLog(), (std::vector<std::string>{"run", "again", "again"}));
  // A new text starts over.
  WithParams->SetSQLText("INSERT 4 :p");
  WithParams->ParamByName("p").SetAsInteger(2);
  WithParams->ExecSQL();
  EXPECT_EQ(WithParams->RowsAffected(), 4);
  EXPECT_EQ(InsertLog().back(), "run");
}

} // namespace
} // namespace tolvan::test
