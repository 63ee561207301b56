// The query component over the real statement processor: counts through a stand-in INSERT,
// kept commands between executions, and the provider's statements; SELECTs opened, re-opened,
// edited live and followed by a detail query; sub-queries over the statement's own table and the
// sub-query handle's contract on the real services; derived tables with quoted names, strings
// and parameters, and their nesting limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DataLinks.h"
#include "components/TolvanComponentServices.h"
#include "components/TolvanQuery.h"
#include "sql/TolvanSQLCommand.h"
#include "sql/TolvanSQLProcessor.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/schema/support/SubQueryContract.h"
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

// --- SELECT through the query ------------------------------------------------------------------

// "name,name: v,v v,v" of a dataset's rows from the first; "-" is a null.
std::string RowsOf(TDataSet& D) {
  std::string S;
  for (int32_t I = 0; I < D.Fields().Count(); ++I)
    S += (I ? "," : "") + D.Fields()[I].FieldName();
  S += ":";
  D.First();
  for (; !D.Eof(); D.Next()) {
    S += " ";
    for (int32_t I = 0; I < D.Fields().Count(); ++I) {
      const TField& F = D.Fields()[I];
      S += (I ? "," : "") + (F.IsNull() ? std::string("-") : std::string(F.AsString()));
    }
  }
  return S;
}

const std::vector<TTestColumn> TColumns = {{"id"}, {"a", tftVarchar, 8}, {"x"}};

class QuerySelect : public QueryEndToEnd {
protected:
  QuerySelect() {
    MakeMemoryTable("t", TColumns, {{1, "p", 10}, {2, "q", 20}, {3, "r", {}}, {4, "q", 40}});
    MakeMemoryTable("u", {{"id"}, {"b", tftVarchar, 8}}, {{1, "one"}, {2, "two"}, {5, "five"}});
  }

  // The rows of SQL through a new query.
  static std::string Select(std::string_view SQL) {
    auto Q = MakeQuery(SQL);
    Q->Open();
    std::string Rows = RowsOf(*Q);
    Q->Close();
    return Rows;
  }

  static TComponentPtr<TTolvanTable> OpenTable(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    T->Open();
    return T;
  }
};

// Each open runs the statement again. Without parameters closing frees the processor (also after
// an explicit Prepare); with parameters the query stays prepared and re-runs its kept statement.
TEST_F(QuerySelect, OpenCloseOpenRunsTheStatementEachTime) {
  auto Q = MakeQuery("SELECT id FROM t WHERE x > 15 ORDER BY id");
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4");
  Q->Close();
  EXPECT_FALSE(Q->Prepared());
  EXPECT_EQ(Q->Processor(), nullptr);
  AppendMemoryRows("t", TColumns, {{5, "s", 50}});
  Q->Prepare();
  ASSERT_NE(Q->Processor(), nullptr);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4 5");
  Q->Close();
  EXPECT_FALSE(Q->Prepared());
  AppendMemoryRows("t", TColumns, {{6, "s", 60}});
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4 5 6");
  Q->Close();
  EXPECT_EQ(Q->RowsAffected(), -1);

  Q->SetSQLText("SELECT id FROM t WHERE x > :v ORDER BY id");
  Q->ParamByName("v").SetAsInteger(15);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4 5 6");
  Q->Close();
  ASSERT_TRUE(Q->Prepared());
  auto* Kept = dynamic_cast<TTolvanLocalSQLProcessor*>(Q->Processor());
  ASSERT_NE(Kept, nullptr);
  AppendMemoryRows("t", TColumns, {{7, "s", 70}});
  Q->Open(); // the same value, new rows
  EXPECT_EQ(RowsOf(*Q), "id: 2 4 5 6 7");
  Q->Close();
  Q->ParamByName("v").SetAsInteger(45);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 5 6 7");
  Q->Close();
  EXPECT_EQ(Q->Processor(), Kept);
  EXPECT_EQ(Kept->ParseCount(), 1);
  Q->Unprepare();
  EXPECT_EQ(Q->Processor(), nullptr);
}

// "?" placeholders become numbered parameters that the statement reads in order.
TEST_F(QuerySelect, QuestionMarksAreParametersInOrder) {
  auto Q = MakeQuery("SELECT id FROM t WHERE id > ? AND a = ? ORDER BY id");
  ASSERT_EQ(Q->Params().Count(), 2);
  Q->Params().Items(0).SetAsInteger(1);
  Q->Params().Items(1).SetAsString("q");
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4");
  Q->Close();
  Q->Params().Items(0).SetAsInteger(2);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 4");
  Q->Close();
}

// A live request gets the table itself when nothing has to be copied; edits through the query
// land in the table. Otherwise the result is a read-only copy that refuses edits.
TEST_F(QuerySelect, RequestLiveGivesTheTableOrAReadOnlyCopy) {
  auto Q = MakeQuery("SELECT * FROM t");
  Q->SetRequestLive(true);
  Q->Open();
  EXPECT_FALSE(Q->ReadOnly());
  ASSERT_TRUE(Q->CanModify());
  ASSERT_TRUE(Q->Locate("id", Variant(int32_t(2)), TLocateOptions()));
  Q->Edit();
  Q->FieldByName("a").SetAsString("edited");
  Q->Post();
  Q->Close();
  {
    auto T = OpenTable("t");
    ASSERT_TRUE(T->Locate("id", Variant(int32_t(2)), TLocateOptions()));
    EXPECT_EQ(T->FieldByName("a").AsString(), "edited");
  }
  const char* Copies[] = {
      "SELECT * FROM t ORDER BY a",
      "SELECT t.id, b FROM t JOIN u ON t.id = u.id",
      "SELECT id, x + 1 AS y FROM t",
  };
  for (const char* SQL : Copies) {
    Q->SetSQLText(SQL);
    Q->Open();
    EXPECT_TRUE(Q->ReadOnly()) << SQL;
    EXPECT_FALSE(Q->CanModify()) << SQL;
    EXPECT_ANY_THROW(Q->Edit()) << SQL;
    Q->Close();
  }
  // Without the request even the plain statement is a copy.
  Q->SetRequestLive(false);
  Q->SetSQLText("SELECT * FROM t");
  Q->Open();
  EXPECT_TRUE(Q->ReadOnly());
  Q->Close();
  EXPECT_EQ(Select("SELECT a FROM t WHERE id = 2"), "a: edited");
}

// A detail query takes its unbound parameters from the master's same-named fields and runs
// again as the master scrolls, also where the parameter sits in a sub-query or a derived table.
TEST_F(QuerySelect, DetailFollowsItsMaster) {
  MakeMemoryTable("orders", {{"id"}, {"name", tftVarchar, 8}},
                  {{1, "one"}, {2, "two"}, {3, "three"}});
  MakeMemoryTable("lines", {{"oid"}, {"item", tftVarchar, 8}}, {{1, "x"}, {2, "z"}, {2, "y"}});
  auto Master = OpenTable("orders");
  TComponentPtr<TDataSource> Source = MakeComponent<TDataSource>();
  Source->SetDataSet(Master.get());
  const char* Details[] = {
      "SELECT item FROM lines WHERE oid = :id ORDER BY item",
      "SELECT item FROM lines WHERE oid IN (SELECT id FROM orders WHERE id = :ID) ORDER BY item",
      "SELECT item FROM (SELECT * FROM lines WHERE oid = :id) d ORDER BY item",
  };
  for (const char* SQL : Details) {
    SCOPED_TRACE(SQL);
    auto Detail = MakeQuery(SQL);
    Detail->SetDataSource(Source.get());
    Master->First();
    Detail->Open();
    EXPECT_EQ(RowsOf(*Detail), "item: x");
    Master->Next();
    EXPECT_EQ(RowsOf(*Detail), "item: y z");
    Master->Next();
    EXPECT_EQ(RowsOf(*Detail), "item:");
    Master->Prior();
    EXPECT_EQ(RowsOf(*Detail), "item: y z");
    EXPECT_FALSE(Detail->Params().Items(0).Bound());
    Detail->Close();
  }
}

// A provider statement may be a SELECT: it runs (its INTO target appears) and the query handed
// back opens on its rows, with the given values and a name quoted the provider's way.
TEST_F(QuerySelect, ProviderStatementsRunSelects) {
  MakeMemoryTable("my", {{"id"}}, {{1}, {2}, {3}});
  auto T = MakeComponent<TTolvanTable>();
  EXPECT_EQ(T->ProviderExecuteStatement("SELECT id INTO w FROM t WHERE id < 3", nullptr, nullptr),
            0);
  EXPECT_EQ(Select("SELECT * FROM w ORDER BY id"), "id: 1 2");
  TParams Given;
  Given.CreateParam(ftInteger, "v").SetAsInteger(1);
  TComponentPtr<TDataSet> Result;
  T->ProviderExecuteStatement("SELECT id FROM  @ my @  WHERE id > :v ORDER BY id", &Given, &Result);
  ASSERT_NE(Result, nullptr);
  Result->Open();
  EXPECT_EQ(RowsOf(*Result), "id: 2 3");
  Result->Close();
  T->ProviderEndTransaction();
}

// Sub-queries over the statement's own table read the whole table, not the outer scan's rows.
TEST_F(QuerySelect, SubQueriesOverTheStatementsOwnTable) {
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT id FROM t WHERE a = (SELECT MAX(a) FROM t)", "id: 3"},
      {"SELECT id FROM t WHERE x = (SELECT MAX(x) FROM t WHERE id < 3)", "id: 2"},
      {"SELECT id FROM t WHERE a IN (SELECT a FROM t WHERE id > 2) ORDER BY id", "id: 2 3 4"},
      {"SELECT id FROM t WHERE a NOT IN (SELECT a FROM t WHERE id > 2) ORDER BY id", "id: 1"},
      {"SELECT id FROM t WHERE x IN (SELECT x FROM t) ORDER BY id", "id: 1 2 3 4"},
      {"SELECT id FROM t WHERE EXISTS (SELECT id FROM t WHERE x IS NULL) AND id < 3", "id: 1 2"},
      {"SELECT a, COUNT(*) AS n FROM t GROUP BY a HAVING COUNT(*) = (SELECT COUNT(*) FROM t "
       "WHERE x > 15)",
       "a,n: q,2"},
      {"SELECT t.id FROM t JOIN u ON t.id = u.id WHERE t.id IN (SELECT id FROM t WHERE a = 'q')",
       "id: 2"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Select(C.SQL), C.Rows) << C.SQL;
  // Live, the outer statement filters the table itself while the sub-query reads it too.
  auto Q = MakeQuery("SELECT * FROM t WHERE a IN (SELECT a FROM t WHERE id > 2)");
  Q->SetRequestLive(true);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id,a,x: 2,q,20 3,r,- 4,q,40");
  Q->Close();
}

// A sub-query that cannot run fails its statement at the first row evaluated, and only then; the
// next run tries it afresh.
TEST_F(QuerySelect, ASubQueryFailureReachesItsStatementOnlyThroughARow) {
  MakeMemoryTable("empty", {{"id"}});
  EXPECT_EQ(Select("SELECT id FROM empty WHERE id IN (SELECT k FROM later)"), "id:");
  auto Q = MakeQuery("SELECT id FROM t WHERE id IN (SELECT k FROM later WHERE k > :v) ORDER BY id");
  Q->ParamByName("v").SetAsInteger(0);
  const std::string Error = ErrorOf([&] { Q->Open(); });
  EXPECT_NE(Error.find("Table 'later' does not exist"), std::string::npos) << Error;
  EXPECT_FALSE(Q->Active());
  MakeMemoryTable("later", {{"k"}}, {{2}, {4}});
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "id: 2 4");
  Q->Close();
}

// The sub-query handle's contract on the real services, answered by real statements.
TEST_F(QuerySelect, SubQueryContractOnTheRealServices) {
  int32_t Made = 0;
  ExpectSubQueryContract(ComponentServices(), [&](TTolvanFieldType Type,
                                                  const std::vector<const TTolvanVariant*>& Rows) {
    const std::string Name = "c" + std::to_string(Made++);
    const std::vector<TTestColumn> Columns = {{"v", Type, Type == tftVarchar ? 10 : 0}};
    std::vector<std::vector<TTestCell>> Cells;
    for (const TTolvanVariant* Row : Rows)
      if (!Row)
        Cells.push_back({std::monostate()});
      else if (Type == tftVarchar)
        Cells.push_back({std::string(Row->GetAsString())});
      else
        Cells.push_back({int64_t(Row->GetAsInteger())});
    MakeMemoryTable(Name, Columns, Cells);
    return "SELECT v FROM " + Name;
  });
}

// Names, strings and parameters that need quoting survive the derived table's own statement.
TEST_F(QuerySelect, DerivedTablesKeepQuotedNamesStringsAndParameters) {
  MakeMemoryTable("a]b", {{"x y"}, {"s", tftVarchar, 8}}, {{1, "it's"}, {2, "its"}, {3, "it's"}});
  MakeMemoryTable("c`d", {{"k"}}, {{2}, {3}});
  auto Q = MakeQuery("SELECT * FROM (SELECT [x y], s FROM [a]]b] WHERE s = 'it''s' AND "
                     "[x y] > :\"p q\") AS [e]]f] ORDER BY [x y]");
  ASSERT_EQ(Q->Params().Count(), 1);
  EXPECT_EQ(Q->Params().Items(0).Name(), "p q");
  Q->ParamByName("p q").SetAsInteger(1);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "x y,s: 3,it's");
  Q->Close();
  Q->ParamByName("p q").SetAsInteger(0);
  Q->Open();
  EXPECT_EQ(RowsOf(*Q), "x y,s: 1,it's 3,it's");
  Q->Close();
  struct TCase {
    const char* SQL;
    const char* Rows;
  };
  const TCase Cases[] = {
      {"SELECT * FROM (SELECT `x y` FROM `a]b` WHERE `x y` IN (SELECT k FROM `c``d`)) d "
       "ORDER BY 1",
       "x y: 2 3"},
      {"SELECT d.k FROM (SELECT k FROM [c`d] WHERE k > 2) d", "k: 3"},
      {"SELECT * FROM (SELECT s + ']' AS [t]]u] FROM [a]]b] WHERE [x y] = 2) d", "t]u: its]"},
      {"SELECT * FROM (SELECT * FROM (SELECT s FROM [a]]b] WHERE s <> 'it''s') d1) d2", "s: its"},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(Select(C.SQL), C.Rows) << C.SQL;
}

// Every derived table runs a statement inside its parent's: 32 levels of statements run, the
// 33rd is refused with 30072, which each derived table on the way out reports inside its own
// 10303; the count is back to zero after either.
TEST_F(QuerySelect, NestedDerivedTablesStopAtTheThirtySecondStatement) {
  auto Nested = [](int32_t Levels) {
    std::string From = "t";
    for (int32_t I = 1; I < Levels; ++I)
      From = "(SELECT id FROM " + From + " WHERE id > 1) d" + std::to_string(I);
    return "SELECT id FROM " + From + " ORDER BY id";
  };
  EXPECT_EQ(Select(Nested(32)), "id: 2 3 4");
  EXPECT_EQ(NestedExecutionDepth(), 0);
  try {
    Select(Nested(33));
    ADD_FAILURE() << "33 levels ran";
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 10303);
    EXPECT_NE(E.Message().find("Expression is too deeply nested at line 1, column 1 - Native "
                               "error: 30072"),
              std::string::npos);
  }
  EXPECT_EQ(NestedExecutionDepth(), 0);
  EXPECT_EQ(Select(Nested(2)), "id: 2 3 4");
}

} // namespace
} // namespace tolvan::test
