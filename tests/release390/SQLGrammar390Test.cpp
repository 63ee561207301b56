// The statement grammar of both releases, where a .test file cannot look: the target a parsed
// statement resolved (its in-memory flag, database and table), a FROM item's database, flag and
// session, the INTO target a query expression takes and the database it is made in, and the
// modifiers of the primary index a CREATE TABLE makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "classlib/DBDefs.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanQuery.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "sql/TolvanSQLCommand.h"
#include "sql/TolvanSQLGrammar.h"
#include "sql/TolvanSQLSelect.h"
#include "sql/TolvanSQLStartup.h"
#include "sql/TolvanSQLUnion.h"
#include "sql/TolvanSQLUpdate.h"
#include "tests/release390/support/ReleaseScope.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

const char* NameOf(TTolvanReleaseId Id) { return Id == TTolvanReleaseId::tr390 ? "3.90" : "4.00"; }

// A query over Database (its in-memory flag follows the name) with the session Session.
TComponentPtr<TTolvanQuery> QueryOn(const char* Database, const char* Session = "") {
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetDatabaseName(Database);
  Q->SetSessionName(Session);
  return Q;
}

// "code text", the text without the native-error suffix every engine message ends with.
std::string CodeAndText(const ETolvanException& E) {
  std::string Text = E.Message();
  Text.resize(std::min(Text.size(), Text.rfind(" - Native error: ")));
  return std::to_string(E.NativeError()) + " " + Text;
}

// Parses the first statement of SQL as Kind against Q, from where the processor starts it (the
// object word of CREATE and DROP); the error's code and text, or "".
std::string Parsed(TTolvanSQLCommandKind Kind, const char* SQL, TTolvanQuery& Q,
                   std::unique_ptr<TTolvanSQLCommand>& Command) {
  TTolvanLexer Lexer(SQL, nullptr);
  if (!Lexer.NextStatement())
    return "no statement";
  TToken Object;
  if (Kind == TTolvanSQLCommandKind::CreateTable || Kind == TTolvanSQLCommandKind::DropTable)
    Lexer.NextToken(Object);
  try {
    Command = MakeCommand(Kind, Lexer, Q);
  } catch (const ETolvanException& E) {
    return CodeAndText(E);
  }
  return "";
}

// The target a statement resolved: "flag database.table", or its error.
std::string TargetOf(TTolvanSQLCommandKind Kind, const char* SQL, const char* Database) {
  TComponentPtr<TTolvanQuery> Q = QueryOn(Database);
  std::unique_ptr<TTolvanSQLCommand> C;
  const std::string Error = Parsed(Kind, SQL, *Q, C);
  if (!Error.empty())
    return Error;
  return std::to_string(int(C->InMemory())) + " " + C->DatabaseName() + "." + C->TableName();
}

} // namespace

class SQLGrammarBothReleases : public ::testing::Test {
protected:
  void SetUp() override { InitSQLLayer(); }
};

// MEMORY, a reserved word after it and a database part in the statements that name a table.
TEST_F(SQLGrammarBothReleases, StatementTargets) {
  using K = TTolvanSQLCommandKind;
  struct TRow {
    K Kind;
    const char* SQL;
    const char* Database;
    std::string Release400, Release390;
  };
  const TRow Rows[] = {
      {K::CreateTable, "CREATE TABLE t (a INTEGER)", "elsewhere", "1 .t", "0 elsewhere.t"},
      {K::CreateTable, "CREATE TABLE MEMORY t (a INTEGER)", "elsewhere", "1 .t", "1 elsewhere.t"},
      {K::CreateTable, "CREATE TABLE t (a INTEGER)", "MEMORY", "1 MEMORY.t", "1 MEMORY.t"},
      {K::CreateTable, "CREATE TABLE MEMORY select (a INTEGER)", "MEMORY",
       "30231 Table name expected, but 'select' found at line 1, column 21", "1 MEMORY.select"},
      {K::CreateTable, "CREATE TABLE select (a INTEGER)", "MEMORY", "1 MEMORY.select",
       "1 MEMORY.select"},
      {K::DropTable, "DROP TABLE d.t", "MEMORY", "1 d.t",
       "30246 Unexpected token 't' found at line 1, column 14"},
      {K::Insert, "INSERT INTO MEMORY t VALUES (1)", "elsewhere", "1 .t", "1 elsewhere.t"},
      {K::Insert, "INSERT INTO MEMORY from VALUES (1)", "MEMORY",
       "30231 Table name expected, but 'from' found at line 1, column 20", "1 MEMORY.from"},
      {K::Update, "UPDATE MEMORY where SET a = 1", "MEMORY",
       "30231 Table name expected, but 'where' found at line 1, column 15", "1 MEMORY.where"},
      {K::Update, "UPDATE t PASSWORD 'p' SET a = 1", "MEMORY",
       "30220 Token 'SET' expected, but 'PASSWORD' found at line 1, column 10", "1 MEMORY.t"},
  };
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    InitSQLLayer();
    for (const TRow& R : Rows)
      EXPECT_EQ(TargetOf(R.Kind, R.SQL, R.Database),
                Id == TTolvanReleaseId::tr390 ? R.Release390 : R.Release400)
          << NameOf(Id) << ": " << R.SQL << " on " << R.Database;
  }
}

// A FROM item, also the one UPDATE is rewritten into: "flag database session".
TEST_F(SQLGrammarBothReleases, FromItemsTakeTheQuerysDatabaseAndSession) {
  using K = TTolvanSQLCommandKind;
  struct TRow {
    K Kind;
    const char* SQL;
    const char* Database;
    const char* Release400;
    const char* Release390;
  };
  const TRow Rows[] = {
      {K::Select, "SELECT * FROM t", "elsewhere", "0 elsewhere S", "0 elsewhere S"},
      {K::Select, "SELECT * FROM MEMORY t", "elsewhere", "1 MEMORY -", "1 elsewhere S"},
      {K::Select, "SELECT * FROM d.t", "MEMORY", "1 d -", "1 d S"},
      {K::Select, "SELECT * FROM MEMORY t", "TEMP", "1 MEMORY -", "1 TEMP S"},
      {K::Update, "UPDATE MEMORY t SET a = 1", "elsewhere", "1 MEMORY -", "1 elsewhere S"},
      {K::Update, "UPDATE t SET a = 1", "elsewhere", "1 MEMORY -", "0 elsewhere S"},
  };
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    InitSQLLayer();
    for (const TRow& R : Rows) {
      TComponentPtr<TTolvanQuery> Q = QueryOn(R.Database, "S");
      std::unique_ptr<TTolvanSQLCommand> C;
      ASSERT_EQ(Parsed(R.Kind, R.SQL, *Q, C), "") << R.SQL;
      TTolvanSQLSelect* Select = nullptr;
      if (auto* Union = dynamic_cast<TTolvanSQLUnion*>(C.get()))
        Select = Union->RootNode()->Select();
      else
        Select = static_cast<TTolvanSQLUpdate*>(C.get())->InternalSelect();
      ASSERT_TRUE(Select && Select->FromItems().size() == 1) << R.SQL;
      const TTolvanTableReference& Item = *Select->FromItems()[0];
      const std::string Got = std::to_string(int(Item.InMemory)) + " " + Item.DatabaseName + " " +
                              (Item.SessionName.empty() ? "-" : Item.SessionName);
      EXPECT_EQ(Got, Id == TTolvanReleaseId::tr390 ? R.Release390 : R.Release400)
          << NameOf(Id) << ": " << R.SQL << " on " << R.Database;
    }
  }
}

// The INTO target a query expression takes and where it is made: "flag database.table", "none"
// without one.
TEST_F(SQLGrammarBothReleases, IntoTargets) {
  struct TRow {
    const char* SQL;
    const char* Database;
    const char* Release400;
    const char* Release390;
  };
  const TRow Rows[] = {
      {"SELECT a INTO x FROM t", "elsewhere", "0 elsewhere.x", "0 elsewhere.x"},
      {"SELECT a INTO x FROM t", "MEMORY", "1 MEMORY.x", "1 MEMORY.x"},
      {"SELECT a INTO MEMORY x FROM t", "elsewhere", "1 MEMORY.x", "1 .x"},
      {"SELECT a INTO d.x FROM t", "MEMORY", "1 d.x", "1 d.x"},
      {"SELECT a INTO MEMORY d.x FROM t", "elsewhere", "1 d.x", "1 d.x"},
      {"SELECT a INTO MEMORY select FROM t", "MEMORY",
       "30231 Table name expected, but 'select' found at line 1, column 22", "1 .select"},
      {"SELECT a INTO d., FROM t", "MEMORY",
       "30184 Token 'FROM' expected, but ',' found at line 1, column 17",
       "30166 Table name expected, but ',' found at line 1, column 17"},
      {"SELECT a INTO x FROM t UNION SELECT a FROM u", "MEMORY", "1 MEMORY.x", "none"},
      {"SELECT a FROM t UNION SELECT a INTO x FROM u", "MEMORY", "1 MEMORY.x", "none"},
      {"SELECT a INTO x FROM t EXCEPT SELECT a FROM u", "MEMORY", "none", "none"},
  };
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    InitSQLLayer();
    for (const TRow& R : Rows) {
      TComponentPtr<TTolvanQuery> Q = QueryOn(R.Database);
      std::unique_ptr<TTolvanSQLCommand> C;
      std::string Got = Parsed(TTolvanSQLCommandKind::Select, R.SQL, *Q, C);
      if (Got.empty()) {
        auto& Union = static_cast<TTolvanSQLUnion&>(*C);
        bool InMemory = false;
        AnsiString IntoDatabase;
        SQLGrammar->ResultTarget(Union, *Q, InMemory, IntoDatabase);
        Got = Union.IntoTableName().empty() ? "none"
                                            : std::to_string(int(InMemory)) + " " + IntoDatabase +
                                                  "." + Union.IntoTableName();
      }
      EXPECT_EQ(Got, Id == TTolvanReleaseId::tr390 ? R.Release390 : R.Release400)
          << NameOf(Id) << ": " << R.SQL << " on " << R.Database;
    }
  }
}

// The primary index keeps its modifiers in 4.00; 3.90 reads them and makes the index ascending
// and case-sensitive. A quoted column name is a name in 4.00 only.
TEST_F(SQLGrammarBothReleases, PrimaryKeyModifiers) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id);
    InitSQLLayer();
    const bool Is390 = Id == TTolvanReleaseId::tr390;
    auto Exec = [](const char* SQL) {
      TComponentPtr<TTolvanQuery> Q = QueryOn("MEMORY");
      Q->SetSQLText(SQL);
      Q->ExecSQL();
    };
    auto PrimaryIndex = [](const char* Table) {
      TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
      T->SetInMemory(true);
      T->SetTableName(Table);
      T->IndexDefs().Update();
      for (int32_t I = 0; I < T->IndexDefs().Count(); ++I) {
        const TIndexDef& D = T->IndexDefs().Items(I);
        if (D.Options() & ixPrimary)
          return D.Fields() + "|" + D.DescFields() + "|" + D.CaseInsFields();
      }
      return AnsiString("no primary index");
    };
    Exec("CREATE TABLE p (a INTEGER, s VARCHAR(5), PRIMARY KEY (a DESC, s NOCASE))");
    EXPECT_EQ(PrimaryIndex("p"), Is390 ? "a;s||" : "a;s|a|s") << NameOf(Id);
    Exec("CREATE TABLE c (a INTEGER PRIMARY KEY DESC NOCASE)");
    EXPECT_EQ(PrimaryIndex("c"), Is390 ? "a||" : "a|a|a") << NameOf(Id);
    std::string Quoted = "created";
    try {
      Exec("CREATE TABLE q (a INTEGER, PRIMARY KEY ('a'))");
    } catch (const ETolvanException& E) {
      Quoted = CodeAndText(E);
    }
    EXPECT_EQ(Quoted,
              Is390 ? "30244 Field name expected, but 'a' found at line 1, column 41" : "created")
        << NameOf(Id);
  }
}
