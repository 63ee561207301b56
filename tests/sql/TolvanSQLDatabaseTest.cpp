// DROP DATABASE and CREATE/DROP INDEX where a .test file cannot reach: other database
// components connected to the database, the caller's own component, the database a query's
// index statement addresses, and the components the statements make.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "components/TolvanDatabase.h"
#include "components/TolvanQuery.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLDatabase.h"
#include "sql/TolvanSQLStartup.h"
#include "sql/TolvanSQLTransaction.h"
#include "storage/TolvanDatabaseData.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class SQLDatabase : public AOTest {
protected:
  SQLDatabase() {
    InitSQLLayer();
    MakeMemoryTable("src", {{"id", tftInteger}}, {{int64_t(1)}, {int64_t(2)}, {int64_t(3)}});
  }

  static TComponentPtr<TTolvanQuery> NewQuery(std::string_view SQL,
                                              std::string_view Database = "MEMORY") {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName(Database);
    Q->SetSQLText(SQL);
    return Q;
  }

  static void Exec(std::string_view SQL, std::string_view Database = "MEMORY") {
    NewQuery(SQL, Database)->ExecSQL();
  }

  // The native code of what Fn raises; 0 when it succeeds.
  template <class F> static int32_t CodeOf(F&& Fn) {
    try {
      Fn();
    } catch (const ETolvanException& E) {
      return E.NativeError();
    }
    return 0;
  }

  // The first column of every row of SQL, joined with blanks.
  static std::string Rows(std::string_view SQL, std::string_view Database = "MEMORY") {
    TComponentPtr<TTolvanQuery> Q = NewQuery(SQL, Database);
    Q->Open();
    std::string Out;
    for (; !Q->Eof(); Q->Next())
      Out += (Out.empty() ? "" : " ") + Q->Fields()[0].AsString();
    Q->Close();
    return Out;
  }

  static bool Registered(std::string_view Name) {
    return FindDatabaseData(true, false, Name, u"") != nullptr;
  }

  // A client database component, connected.
  static TComponentPtr<TTolvanDatabase> Connected(std::string_view Name) {
    TComponentPtr<TTolvanDatabase> D(TTolvanDatabase::Create(nullptr));
    D->SetDatabaseName(Name);
    D->Open();
    return D;
  }

  // Table Name of the database with one integer column id holding 1, 2 and 3.
  static void MakeTable(std::string_view Database, std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetDatabaseName(Database);
    T->SetTableName(Name);
    T->AdvFieldDefs().Add("id", tftInteger, 0, false);
    T->CreateTable();
    T->Open();
    for (int32_t Id = 1; Id <= 3; ++Id) {
      T->Append();
      T->Fields()[0].SetAsInteger(Id);
      T->Post();
    }
    T->Close();
  }

  static bool Lists(TTolvanDatabase& Database, TTolvanDataSet* DataSet) {
    for (int32_t I = 0; I < Database.DataSetCount(); ++I)
      if (Database.DataSets(I) == DataSet)
        return true;
    return false;
  }

  // db1 with a table t of three rows.
  static void MakeDb1() {
    Exec("CREATE DATABASE db1");
    MakeTable("db1", "t");
  }
};

TEST_F(SQLDatabase, DropWhileAnotherComponentIsConnectedFailsAndKeepsEverything) {
  MakeDb1();
  {
    TComponentPtr<TTolvanDatabase> Other = Connected("db1");
    EXPECT_EQ(CodeOf([] { Exec("DROP DATABASE db1"); }), ErrDatabaseUsedBySessions);
    EXPECT_TRUE(Other->Connected());
    EXPECT_EQ(Rows("SELECT id FROM db1.t"), "1 2 3");
    EXPECT_EQ(Rows("SELECT id FROM t", "db1"), "1 2 3");
  }
  {
    // A query whose own component is db1 closes it before the drop, but a component of another
    // session still counts.
    TComponentPtr<TTolvanSession> Other(TTolvanSession::Create(nullptr));
    Other->SetSessionName("Other");
    TTolvanDatabase* OtherDb1 = TTolvanDatabase::Create(Other.get());
    OtherDb1->SetDatabaseName("db1");
    OtherDb1->Open();
    EXPECT_EQ(CodeOf([] { Exec("DROP DATABASE db1", "db1"); }), ErrDatabaseUsedBySessions);
    EXPECT_TRUE(OtherDb1->Connected());
    EXPECT_EQ(Rows("SELECT id FROM t", "db1"), "1 2 3");
  }
  Exec("DROP DATABASE db1", "db1");
  EXPECT_FALSE(Registered("db1"));
}

TEST_F(SQLDatabase, DroppingAnotherDatabaseLeavesTheCallersComponentUntouched) {
  MakeDb1();
  Exec("CREATE DATABASE Sales");
  MakeTable("Sales", "orders");
  TComponentPtr<TTolvanDatabase> Sales = Connected("Sales");
  TComponentPtr<TTolvanTable> Orders = MakeComponent<TTolvanTable>();
  Orders->SetDatabaseName("Sales");
  Orders->SetTableName("orders");
  Orders->Open();
  Orders->Next();

  TComponentPtr<TTolvanQuery> Q = NewQuery("DROP DATABASE db1", "Sales");
  Q->ExecSQL();

  EXPECT_FALSE(Registered("db1"));
  EXPECT_EQ(Sales->DatabaseName(), "Sales");
  EXPECT_TRUE(Sales->Connected());
  EXPECT_TRUE(Sales->InMemory());
  EXPECT_TRUE(Lists(*Sales, Orders.get()));
  ASSERT_TRUE(Orders->Active());
  EXPECT_EQ(Orders->Database(), Sales.get());
  EXPECT_EQ(Orders->Fields()[0].AsInteger(), 2) << "the open dataset keeps its place";
  EXPECT_EQ(Orders->RecordCount(), 3);
  // The query runs on through the same component.
  Q->SetSQLText("SELECT id FROM orders");
  Q->Open();
  EXPECT_EQ(Q->Database(), Sales.get());
  EXPECT_EQ(Q->RecordCount(), 3);
  Q->Close();
  Orders->Close();
  Sales->Close();
  Exec("DROP DATABASE Sales");
}

TEST_F(SQLDatabase, DroppingTheQuerysOwnDatabaseWorks) {
  MakeDb1();
  TComponentPtr<TTolvanDatabase> Db1 = Connected("DB1");
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetDatabaseName("DB1");
  T->SetTableName("t");
  T->Open();

  TComponentPtr<TTolvanQuery> Q = NewQuery("DROP DATABASE db1", "DB1");
  Q->ExecSQL();

  EXPECT_FALSE(Registered("db1"));
  EXPECT_FALSE(Db1->Connected());
  EXPECT_EQ(Db1->DatabaseName(), "DB1") << "the name is kept as written";
  EXPECT_FALSE(T->Active()) << "the datasets of the dropped database are closed";
  EXPECT_FALSE(Lists(*Db1, T.get()));
  Q.reset();
  EXPECT_EQ(Db1->DataSetCount(), 0);
  // A new connection under the name finds an empty database.
  Db1->Open();
  EXPECT_FALSE(Db1->TableExists("t"));
  Db1->Close();
  Exec("DROP DATABASE db1");
}

TEST_F(SQLDatabase, DroppingTheQuerysOwnTemporaryComponentMidScript) {
  MakeDb1();
  // The query's database is a component its session made for it. After the drop the script
  // goes on: the next statement opens the database again through that component and lets it
  // go, which frees it; the query must not keep a pointer to it.
  TComponentPtr<TTolvanQuery> Q = NewQuery("DROP DATABASE db1; DROP INDEX t.ix", "db1");
  EXPECT_NE(CodeOf([&] { Q->ExecSQL(); }), 0);
  Q->SetSQLText("SELECT id FROM src");
  EXPECT_EQ(Q->Database(), nullptr);
  Q->SetDatabaseName("MEMORY");
  Q->Open();
  EXPECT_EQ(Q->RecordCount(), 3);
  Q->Close();
  Exec("DROP DATABASE db1");
  EXPECT_FALSE(Registered("db1"));
}

TEST_F(SQLDatabase, CreateIndexAddressesTheQuerysDatabaseAndFreesItsTable) {
  MakeDb1();
  MakeMemoryTable("t", {{"id", tftInteger}}, {{int64_t(5)}});
  TComponentPtr<TComponent> Form = MakeComponent<TComponent>();
  auto Run = [&](std::string_view SQL, std::string_view Database) {
    TTolvanQuery* Q = NewComponent<TTolvanQuery>(Form.get());
    Q->SetDatabaseName(Database);
    Q->SetSQLText(SQL);
    const int32_t Code = CodeOf([&] { Q->ExecSQL(); });
    Q->Free();
    return Code;
  };
  EXPECT_EQ(Run("CREATE INDEX ix ON t (id DESC)", "db1"), 0);
  EXPECT_EQ(Form->ComponentCount(), 0) << "the statement's table component is freed";
  // db1's t has the index, MEMORY's t has not. MEMORY asks for an in-memory table, as in every
  // table name, which db1's is.
  EXPECT_EQ(Rows("SELECT id FROM t ORDER BY INDEX ix", "db1"), "3 2 1");
  EXPECT_EQ(CodeOf([] { Rows("SELECT id FROM t ORDER BY INDEX ix"); }), 11667);
  EXPECT_EQ(Run("CREATE INDEX ix2 ON MEMORY t (id)", "db1"), 0);
  EXPECT_EQ(Rows("SELECT id FROM t ORDER BY INDEX ix2", "db1"), "1 2 3");
  // Failures free the component too.
  EXPECT_NE(Run("CREATE INDEX ix ON t (id)", "db1"), 0);
  EXPECT_NE(Run("CREATE INDEX ix ON nosuch (id)", "db1"), 0);
  EXPECT_NE(Run("DROP INDEX nosuch.ix", "db1"), 0);
  EXPECT_EQ(Form->ComponentCount(), 0);
  EXPECT_EQ(Run("DROP INDEX t.ix", "db1"), 0);
  EXPECT_EQ(CodeOf([] { Rows("SELECT id FROM t ORDER BY INDEX ix", "db1"); }), 11667);
  Exec("DROP DATABASE db1");
}

TEST_F(SQLDatabase, CreateBesideTheCallersComponentOfTheSameName) {
  // The caller has configured a component for the database before creating it.
  TComponentPtr<TTolvanDatabase> Db1(TTolvanDatabase::Create(nullptr));
  Db1->SetDatabaseName("db1");
  Exec("CREATE DATABASE db1");
  EXPECT_TRUE(Registered("db1"));
  EXPECT_EQ(Db1->DatabaseName(), "db1");
  Db1->Open();
  MakeTable("db1", "t");
  EXPECT_EQ(Rows("SELECT id FROM db1.t"), "1 2 3");
  Db1->Close();
  Exec("DROP DATABASE db1");
  EXPECT_FALSE(Registered("db1"));
}

// Every table a query on an in-memory database names without a database is that database's:
// the INTO target too, also when a TOP or ORDER BY writes it through a copy.
TEST_F(SQLDatabase, IntoTargetOfAQueryOnAnotherMemoryDatabaseIsThatDatabases) {
  MakeDb1();
  for (const char* SQL : {"SELECT id INTO x FROM t", "SELECT id INTO x FROM t ORDER BY id DESC",
                          "SELECT TOP 2 id INTO x FROM t ORDER BY id DESC"}) {
    SCOPED_TRACE(SQL);
    Rows(SQL, "db1");
    EXPECT_NE(Rows("SELECT id FROM x", "db1"), "");
    EXPECT_EQ(CodeOf([] { Rows("SELECT id FROM x"); }), 11505) << "MEMORY has no x";
    Exec("DROP TABLE x", "db1");
  }
  Exec("DROP DATABASE db1");
}

// What the grammars keep that no execution shows: the FILE options and COMMIT's flush flag.
TEST_F(SQLDatabase, ParsedDatabaseOptionsAndCommitFlag) {
  TComponentPtr<TTolvanQuery> Query = NewQuery("");
  // The processor starts a DATABASE statement at its second word.
  auto Parse = [&](std::string_view SQL, TTolvanSQLCommandKind Kind, bool Second) {
    TTolvanLexer Lexer(SQL, nullptr);
    EXPECT_TRUE(Lexer.NextStatement());
    TToken Token;
    if (Second)
      Lexer.NextToken(Token);
    return MakeCommand(Kind, Lexer, *Query);
  };
  struct TCase {
    const char* SQL;
    bool InMemory;
    const char* Name;
    const char* FileName;
    int32_t PageSize;
    int32_t MaxSessionCount;
  };
  const TCase Cases[] = {
      {"CREATE DATABASE FILE f PAGESIZE 4096 WITH MAXSESSIONSCOUNT 12", false, "f", "f", 4096, 12},
      {"CREATE DATABASE FILE [a b] MAXSESSIONSCOUNT x PAGESIZE", false, "a b", "a b", 0, 0},
      // A token that is no reserved word ends the options.
      {"CREATE DATABASE FILE f name PAGESIZE 4096", false, "f", "f", 0, 0},
      {"CREATE DATABASE MEMORY m PAGESIZE 4096", true, "m", "", 0, 0},
      {"CREATE DATABASE d", true, "d", "", 0, 0},
  };
  for (const TCase& C : Cases) {
    auto Made = Parse(C.SQL, TTolvanSQLCommandKind::CreateDatabase, true);
    auto& Command = dynamic_cast<TTolvanCreateDatabase&>(*Made);
    EXPECT_EQ(Command.InMemory(), C.InMemory) << C.SQL;
    EXPECT_EQ(Command.DatabaseName(), C.Name) << C.SQL;
    EXPECT_EQ(Command.FileName(), C.FileName) << C.SQL;
    EXPECT_EQ(Command.PageSize(), C.PageSize) << C.SQL;
    EXPECT_EQ(Command.MaxSessionCount(), C.MaxSessionCount) << C.SQL;
  }
  for (auto [SQL, Flush] : {std::pair{"COMMIT", true}, std::pair{"COMMIT NOFLUSH", false},
                            std::pair{"COMMIT WORK NOFLUSH", true}}) {
    auto Made = Parse(SQL, TTolvanSQLCommandKind::Commit, false);
    EXPECT_EQ(dynamic_cast<TTolvanCommit&>(*Made).Flush(), Flush) << SQL;
  }
}

} // namespace
} // namespace tolvan::test
