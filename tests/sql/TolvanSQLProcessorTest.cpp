// The statement processor over stand-in statements: dispatch, sums, failures, kept commands,
// nesting, and the command base's table names.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "components/TolvanQuery.h"
#include "sql/TolvanSQLProcessor.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

using K = TTolvanSQLCommandKind;

// What the stand-ins saw, in order.
std::vector<std::string>& Log() {
  static std::vector<std::string> Value;
  return Value;
}

// "<word> [n] [FAIL] [CLOSEFAIL] [NEST n]": affects n rows; FAIL raises at execution, CLOSEFAIL
// at close; NEST runs n further levels of statements inside its execution.
class TFakeCommand : public TTolvanSQLCommand {
public:
  TFakeCommand(TTolvanLexer& Lexer, TTolvanQuery& Query, K Kind)
      : TTolvanSQLCommand(Lexer, Query), FKind(Kind) {}

  void Parse() override {
    FStart = Token().Text;
    while (NextToken()) {
      if (Token().Kind == tktInt)
        FRows = std::stoll(Token().Text);
      else if (Token().Text == "FAIL")
        FFail = true;
      else if (Token().Text == "CLOSEFAIL")
        FCloseFail = true;
      else if (Token().Text == "NEST")
        FNest = true;
    }
  }
  void Execute(TTolvanQuery& Query, bool, bool, bool&) override {
    Log().push_back("run " + FStart + (ReExecuting() ? " again" : ""));
    if (FFail)
      throw ETolvanException::Create(12345, "planned failure");
    if (FNest && FRows > 0) {
      TTolvanLocalSQLProcessor Inner(Query);
      Inner.SetSQLText(("INSERT NEST " + std::to_string(FRows - 1)).c_str());
      Inner.Execute();
    }
    FRowsAffected = FNest ? 0 : FRows;
  }
  void BindParams(const TTolvanSQLParams& Params) override {
    Log().push_back("bind " + FStart);
    TTolvanSQLCommand::BindParams(Params);
  }
  void Close() override {
    Log().push_back("close " + FStart);
    if (FCloseFail)
      throw ETolvanException::Create(12346, "planned close failure");
  }

  K Kind() const { return FKind; }
  const std::string& Start() const { return FStart; }

private:
  K FKind;
  std::string FStart;
  int64_t FRows = 0;
  bool FFail = false;
  bool FCloseFail = false;
  bool FNest = false;
};

class SQLProcessor : public AOTest {
protected:
  SQLProcessor() {
    Log().clear();
    for (int I = 0; I < int(K::Count); ++I) {
      const K Kind = K(I);
      Saved.push_back(RegisterSQLCommand(
          Kind, [Kind](TTolvanLexer& L, TTolvanQuery& Q) -> std::unique_ptr<TTolvanSQLCommand> {
            return std::make_unique<TFakeCommand>(L, Q, Kind);
          }));
    }
    Query = MakeComponent<TTolvanQuery>();
  }
  ~SQLProcessor() override {
    for (int I = 0; I < int(K::Count); ++I)
      RegisterSQLCommand(K(I), std::move(Saved[size_t(I)]));
  }

  // Runs Text in a processor of its own.
  void Run(std::string_view Text) {
    TTolvanLocalSQLProcessor P(*Query);
    P.SetSQL(Text);
    P.Execute();
  }

  std::vector<TTolvanSQLCommandFactory> Saved;
  TComponentPtr<TTolvanQuery> Query;
};

TEST_F(SQLProcessor, DispatchMakesEachStatementKindFromItsFirstWords) {
  struct TCase {
    const char* SQL;
    K Kind;
    const char* Current; // the current token when the command started
  };
  const TCase Cases[] = {
      {"SELECT a FROM t", K::Select, "SELECT"},
      {"(SELECT a FROM t)", K::Select, "("},
      {"insert into t", K::Insert, "insert"},
      {"UPDATE t", K::Update, "UPDATE"},
      {"DELETE FROM t", K::Delete, "DELETE"},
      {"CREATE TABLE t", K::CreateTable, "TABLE"},
      {"CREATE UNIQUE INDEX i", K::CreateIndex, "UNIQUE"},
      {"CREATE INDEX i", K::CreateIndex, "INDEX"},
      {"CREATE DATABASE d", K::CreateDatabase, "DATABASE"},
      {"DROP TABLE t", K::DropTable, "TABLE"},
      {"DROP INDEX t.i", K::DropIndex, "INDEX"},
      {"DROP DATABASE d", K::DropDatabase, "DATABASE"},
      {"ALTER TABLE t", K::AlterTable, "TABLE"},
      {"RENAME TABLE t TO u", K::RenameTable, "t"},
      {"RENAME t TO u", K::RenameTable, "t"},
      {"START TRANSACTION", K::StartTransaction, "START"},
      {"COMMIT", K::Commit, "COMMIT"},
      {"ROLLBACK", K::Rollback, "ROLLBACK"},
  };
  for (const TCase& C : Cases) {
    TTolvanLexer Lexer(C.SQL, nullptr);
    ASSERT_TRUE(Lexer.NextStatement());
    TTolvanLocalSQLProcessor P(*Query);
    P.SetSQL(C.SQL);
    P.Execute();
    auto* Made = dynamic_cast<TFakeCommand*>(P.CurrentCommand());
    ASSERT_NE(Made, nullptr) << C.SQL;
    EXPECT_EQ(Made->Kind(), C.Kind) << C.SQL;
    EXPECT_EQ(Made->Start(), C.Current) << C.SQL;
  }
}

TEST_F(SQLProcessor, DispatchErrorsNameTheTokenAndItsPlace) {
  struct TCase {
    const char* SQL;
    std::string Message;
  };
  const TCase Cases[] = {
      {"CREATE VIEW v",
       "Object type keyword expected, but 'VIEW' found at line 1, column 8 - Native error: 30147"},
      {"CREATE", "Unexpected end of SQL command found at line 1, column 1 - Native error: 30148"},
      {"DROP VIEW v",
       "Object type keyword expected, but 'VIEW' found at line 1, column 6 - Native error: 30149"},
      {"  DROP", "Unexpected end of SQL command found at line 1, column 3 - Native error: 30150"},
      {"ALTER INDEX i",
       "Object type keyword expected, but 'INDEX' found at line 1, column 7 - Native error: 30151"},
      {"ALTER", "Unexpected end of SQL command found at line 1, column 1 - Native error: 30152"},
      {"RENAME", "Unexpected end of SQL command found at line 1, column 1 - Native error: 30353"},
      {"GRANT ALL",
       "SQL token expected, but 'GRANT' found at line 1, column 1 - Native error: 30153"},
      {"12 a", "SQL token expected, but '12' found at line 1, column 1 - Native error: 30154"},
      {"\n  foo", "SQL token expected, but 'foo' found at line 2, column 3 - Native error: 30154"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(ErrorOf([&] { Run(C.SQL); }), C.Message) << C.SQL;
}

TEST_F(SQLProcessor, AKindWithoutAStatementClassIsNotSupported) {
  RegisterSQLCommand(K::Commit, {});
  EXPECT_EQ(ErrorOf([&] { Run("COMMIT"); }),
            "Error - operation is not supported - Native error: 11394");
}

TEST_F(SQLProcessor, RowsAreSummedOverTheScriptAndAnOverflowRaises) {
  TTolvanLocalSQLProcessor P(*Query);
  P.SetSQL("INSERT 5; INSERT 7;; UPDATE 30");
  EXPECT_EQ(P.Execute(), nullptr);
  EXPECT_EQ(P.RowsAffected(), 42);
  // Empty statements are passed over: every statement ran.
  EXPECT_EQ(Log(), (std::vector<std::string>{"run INSERT", "close INSERT", "run INSERT",
                                             "close INSERT", "run UPDATE"}));

  P.SetSQL("INSERT 9223372036854775807; INSERT 1");
  EXPECT_THROW(P.Execute(), EIntOverflow);
  EXPECT_TRUE(P.NotPrepared());
  EXPECT_EQ(P.CurrentCommand(), nullptr);

  P.SetSQL("INSERT 4294967296; INSERT 1");
  P.Execute();
  EXPECT_EQ(P.RowsAffected(), 4294967297);
}

TEST_F(SQLProcessor, AFailureKeepsEarlierEffectsFreesEverythingAndParsesAgainNextTime) {
  TTolvanLocalSQLProcessor P(*Query);
  P.SetSQL("INSERT 1; UPDATE FAIL; DELETE 3");
  EXPECT_EQ(ErrorOf([&] { P.Execute(); }), "planned failure - Native error: 12345");
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"run INSERT", "close INSERT", "run UPDATE", "close UPDATE"}));
  EXPECT_TRUE(P.NotPrepared());
  EXPECT_EQ(P.CurrentCommand(), nullptr);
  const int64_t Parsed = P.ParseCount();
  EXPECT_THROW(P.Execute(), ETolvanException);
  EXPECT_EQ(P.ParseCount(), Parsed + 2);
}

TEST_F(SQLProcessor, WithoutParametersEveryExecuteParsesAgain) {
  TTolvanLocalSQLProcessor P(*Query);
  P.SetSQL("INSERT 1");
  P.Execute();
  P.Execute();
  EXPECT_EQ(P.ParseCount(), 2);
  EXPECT_TRUE(P.NotPrepared());
  EXPECT_EQ(P.KeptCommandCount(), 0);
}

TEST_F(SQLProcessor, WithParametersKeptCommandsRunAgainBoundAndUnparsed) {
  TTolvanLocalSQLProcessor P(*Query);
  P.Params().Add().SetName("v");
  P.SetSQL("INSERT :v 2; UPDATE 3");
  P.Execute();
  EXPECT_FALSE(P.NotPrepared());
  EXPECT_EQ(P.KeptCommandCount(), 2);
  EXPECT_EQ(P.RowsAffected(), 5);
  Log().clear();
  // Unchanged values re-run as well; each command is bound first.
  P.Execute();
  P.Params().Items(0).SetAsInteger(7);
  P.Execute();
  EXPECT_EQ(P.ParseCount(), 2);
  EXPECT_EQ(P.RowsAffected(), 5);
  EXPECT_EQ(Log(), (std::vector<std::string>{"bind INSERT", "run INSERT again", "bind UPDATE",
                                             "run UPDATE again", "bind INSERT", "run INSERT again",
                                             "bind UPDATE", "run UPDATE again"}));
}

TEST_F(SQLProcessor, FreeingClosesEveryCommandAndDropsCloseFailures) {
  {
    TTolvanLocalSQLProcessor P(*Query);
    P.Params().Add().SetName("v");
    P.SetSQL("INSERT CLOSEFAIL; UPDATE 1");
    P.Execute();
    Log().clear();
    P.FreeCommands();
    EXPECT_EQ(Log(), (std::vector<std::string>{"close INSERT", "close UPDATE"}));
    EXPECT_EQ(P.KeptCommandCount(), 0);
  }
  // A close failure between two statements of a script is the script's failure.
  Log().clear();
  EXPECT_EQ(ErrorOf([&] { Run("INSERT CLOSEFAIL; UPDATE 1"); }),
            "planned close failure - Native error: 12346");
}

TEST_F(SQLProcessor, StatementsNestedInStatementsStopAtTheThirtySecondLevel) {
  Run("INSERT NEST 31");
  EXPECT_EQ(NestedExecutionDepth(), 0);
  EXPECT_EQ(ErrorOf([&] { Run("INSERT NEST 32"); }),
            "Expression is too deeply nested at line 1, column 1 - Native error: 30072");
  EXPECT_EQ(NestedExecutionDepth(), 0);
}

// The command base's grammar, through a statement that reads a table name.
class TNameCommand : public TTolvanSQLCommand {
public:
  using TTolvanSQLCommand::TTolvanSQLCommand;
  void Parse() override {
    NextToken();
    ParseTableName();
    After = Token().Text;
  }
  void Execute(TTolvanQuery&, bool, bool, bool&) override {}
  std::string After;
};

TEST_F(SQLProcessor, TableNamesTakeTheirDatabaseFromTheStatementOrTheQuery) {
  struct TCase {
    bool QueryInMemory;
    const char* SQL;
    bool InMemory;
    const char* Database;
    const char* Table;
    const char* After;
  };
  const TCase Cases[] = {
      {false, "INSERT db.t x", true, "db", "t", "x"},
      {false, "INSERT MEMORY t x", true, "", "t", "x"},
      {false, "INSERT t", true, "", "t", ""},
      {true, "INSERT t", true, "MEMORY", "t", ""},
      {true, "INSERT [my db].[a.b] x", true, "my db", "a.b", "x"},
      // A dot followed by no name leaves the first name as the table.
      {false, "INSERT t . 5", true, "", "t", "5"},
  };
  for (const TCase& C : Cases) {
    if (C.QueryInMemory) {
      Query->SetInMemory(true);
    } else {
      Query->SetInMemory(false);
      Query->SetDatabaseName("disk");
    }
    TTolvanLexer Lexer(C.SQL, nullptr);
    Lexer.NextStatement();
    TNameCommand Command(Lexer, *Query);
    Command.ParseAndRelease();
    EXPECT_EQ(Command.InMemory(), C.InMemory) << C.SQL;
    EXPECT_EQ(Command.DatabaseName(), C.Database) << C.SQL;
    EXPECT_EQ(Command.TableName(), C.Table) << C.SQL;
    EXPECT_EQ(Command.After, C.After) << C.SQL;
    EXPECT_FALSE(Command.HasLexer());
  }
}

TEST_F(SQLProcessor, TableNameAndFieldNameErrors) {
  struct TCase {
    const char* SQL;
    std::string Message;
  };
  const TCase Cases[] = {
      {"INSERT 5", "Table name expected, but '5' found at line 1, column 8 - Native error: 30230"},
      {"INSERT MEMORY 5",
       "Table name expected, but '5' found at line 1, column 15 - Native error: 30231"},
      {"INSERT MEMORY", "Unexpected end of SQL command found at line 1, column 8 - Native error: "
                        "30161"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(ErrorOf([&] {
                TTolvanLexer Lexer(C.SQL, nullptr);
                Lexer.NextStatement();
                TNameCommand Command(Lexer, *Query);
                Command.ParseAndRelease();
              }),
              C.Message)
        << C.SQL;
}

class TNamesCommand : public TTolvanSQLCommand {
public:
  using TTolvanSQLCommand::TTolvanSQLCommand;
  void Parse() override {
    NextToken();
    ParseFieldNames(Names);
  }
  void Execute(TTolvanQuery&, bool, bool, bool&) override {}
  std::unique_ptr<TStringList> Names;
};

TEST_F(SQLProcessor, FieldNameLists) {
  TTolvanLexer Lexer("X a, [b c], `d` z", nullptr);
  Lexer.NextStatement();
  TNamesCommand Command(Lexer, *Query);
  Command.ParseAndRelease();
  ASSERT_TRUE(Command.Names);
  ASSERT_EQ(Command.Names->Count(), 3);
  EXPECT_EQ(Command.Names->Strings(0), "a");
  EXPECT_EQ(Command.Names->Strings(1), "b c");
  EXPECT_EQ(Command.Names->Strings(2), "d");

  const std::pair<const char*, std::string> Errors[] = {
      {"X SELECT", "Field name expected, but 'SELECT' found at line 1, column 3 - Native error: "
                   "10408"},
      {"X a, 5", "Unexpected token '5' found at line 1, column 6 - Native error: 10406"},
      {"X a,", "Unexpected end of SQL command found at line 1, column 4 - Native error: 30161"},
  };
  for (const auto& [SQL, Message] : Errors)
    EXPECT_EQ(ErrorOf([&] {
                TTolvanLexer L(SQL, nullptr);
                L.NextStatement();
                TNamesCommand C(L, *Query);
                C.ParseAndRelease();
              }),
              Message)
        << SQL;
}

} // namespace
} // namespace tolvan::test
