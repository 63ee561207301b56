// The table statements where a .test file cannot reach: the names they generate, the ends of
// statements the tokenizer never lets through, the database ALTER addresses from a query that is
// not in memory, and the create that refuses a table another thread made meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "components/TolvanDefs.h"
#include "components/TolvanQuery.h"
#include "components/TolvanSession.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypes.h"
#include "sql/TolvanDDLTable.h"
#include "sql/TolvanSQLStartup.h"
#include "tests/sql/support/TestAOTables.h"

namespace tolvan::test {
namespace {

class DDLTable : public AOTest {
protected:
  DDLTable() { InitSQLLayer(); }

  static void Exec(std::string_view SQL, std::string_view Database = "MEMORY") {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName(Database);
    Q->SetSQLText(SQL);
    Q->ExecSQL();
  }

  static std::vector<std::string> Column(std::string_view SQL) {
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName("MEMORY");
    Q->SetSQLText(SQL);
    Q->Open();
    std::vector<std::string> Out;
    for (; !Q->Eof(); Q->Next())
      Out.push_back(Q->Fields()[0].IsNull() ? "NULL" : Q->Fields()[0].AsString());
    Q->Close();
    return Out;
  }

  // The MEMORY table Name, opened so that its definitions are loaded, and closed again.
  static TComponentPtr<TTolvanTable> Loaded(std::string_view Name) {
    TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
    T->SetInMemory(true);
    T->SetTableName(Name);
    T->Open();
    T->Close();
    return T;
  }

  // The names of the indexes of Table whose options include Option.
  static std::vector<std::string> IndexNames(TTolvanTable& T, TIndexOptions Option) {
    std::vector<std::string> Out;
    for (int32_t I = 0; I < T.IndexDefs().Count(); ++I)
      if (T.IndexDefs().Items(I).Options() & Option)
        Out.push_back(T.IndexDefs().Items(I).Name());
    return Out;
  }

  static std::vector<std::string> ForeignKeyNames(TTolvanTable& T) {
    std::vector<std::string> Out;
    for (int32_t I = 0; I < T.ForeignKeyDefs().Count(); ++I)
      Out.push_back(T.ForeignKeyDefs().Items(I)->Name());
    return Out;
  }
};

// Prefix, then MakeUniqueName's suffix: a number, "-" and the thread's number.
bool IsGenerated(const std::string& Name, const std::string& Prefix) {
  if (!Name.starts_with(Prefix))
    return false;
  const std::string Suffix = Name.substr(Prefix.size());
  const size_t Dash = Suffix.find('-');
  auto Digits = [](std::string_view S) {
    return !S.empty() && S.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return Dash != std::string::npos && Digits(std::string_view(Suffix).substr(0, Dash)) &&
         Digits(std::string_view(Suffix).substr(Dash + 1));
}

bool AnyGenerated(const std::vector<std::string>& Names, const std::string& Prefix) {
  for (const std::string& N : Names)
    if (IsGenerated(N, Prefix))
      return true;
  return false;
}

bool Holds(const std::vector<std::string>& Names, const std::string& Name) {
  for (const std::string& N : Names)
    if (N == Name)
      return true;
  return false;
}

TEST_F(DDLTable, GeneratedNamesByPrefixInIndexDefsAndConstraints) {
  Exec("CREATE TABLE p (a INTEGER PRIMARY KEY, b INTEGER UNIQUE, c INTEGER UNIQUE)");
  TComponentPtr<TTolvanTable> P = Loaded("p");
  const std::vector<std::string> Primary = IndexNames(*P, ixPrimary);
  const std::vector<std::string> Unique = IndexNames(*P, ixUnique);
  ASSERT_EQ(Primary.size(), 1u);
  EXPECT_TRUE(IsGenerated(Primary[0], "C_PK$a")) << Primary[0];
  EXPECT_EQ(P->IndexDefs().Find(Primary[0]).Fields(), "a");
  // Each UNIQUE column has an index of its own, and a constraint of the index's name.
  ASSERT_EQ(Unique.size(), 2u);
  EXPECT_TRUE(AnyGenerated(Unique, "C_Unique$b"));
  EXPECT_TRUE(AnyGenerated(Unique, "C_Unique$c"));
  for (const std::string& Name : Unique)
    EXPECT_GE(P->EngineConstraintDefs().IndexOfName(Name), 0) << Name;

  // Unnamed foreign keys are named apart, so that both exist and each can be dropped.
  Exec("CREATE TABLE c (x INTEGER, y INTEGER, FOREIGN KEY (x) REFERENCES p, "
       "FOREIGN KEY (y) REFERENCES p)");
  TComponentPtr<TTolvanTable> C = Loaded("c");
  std::vector<std::string> Keys = ForeignKeyNames(*C);
  ASSERT_EQ(Keys.size(), 2u);
  EXPECT_TRUE(IsGenerated(Keys[0], "FOREIGN_KEY_")) << Keys[0];
  EXPECT_TRUE(IsGenerated(Keys[1], "FOREIGN_KEY_")) << Keys[1];
  EXPECT_NE(Keys[0], Keys[1]);
  Exec("ALTER TABLE c ADD FOREIGN KEY (x) REFERENCES p");
  C = Loaded("c");
  EXPECT_EQ(ForeignKeyNames(*C).size(), 3u);

  // The names hold "-": unbracketed, the name ends there and "-" is taken for the option.
  const std::string Key = Keys[0];
  const std::string Head = Key.substr(0, Key.find('-'));
  EXPECT_EQ(ErrorOf([&] { Exec("ALTER TABLE c DROP CONSTRAINT " + Key); }),
            "Token 'CASCADE or RESTRICT' expected, but '-' found at line 1, column " +
                std::to_string(31 + Head.size()) + " - Native error: 11496");
  Exec("ALTER TABLE c DROP CONSTRAINT [" + Key + "]");
  C = Loaded("c");
  EXPECT_FALSE(Holds(ForeignKeyNames(*C), Key));
}

TEST_F(DDLTable, GeneratedNamesFit255CharactersWithTheirSuffix) {
  const std::string Long(250, 'q');
  Exec("CREATE TABLE w (" + Long + " INTEGER PRIMARY KEY, [" + Long + "2] INTEGER UNIQUE)");
  TComponentPtr<TTolvanTable> W = Loaded("w");
  ASSERT_EQ(W->IndexDefs().Count(), 2);
  for (int32_t I = 0; I < 2; ++I) {
    const std::string Name = W->IndexDefs().Items(I).Name();
    EXPECT_LE(Name.size(), 255u) << Name;
    EXPECT_TRUE(Name.starts_with("C_PK$qqq") || Name.starts_with("C_Unique$qqq")) << Name;
  }
  for (int K = 0; K < 20; ++K) {
    const AnsiString Name = TTolvanDDLTableManipulation::GeneratedName("C_Unique$", Long + Long);
    EXPECT_LE(Name.size(), 255u);
    EXPECT_TRUE(IsGenerated(Name, "C_Unique$" + std::string(255 - 21 - 9, 'q'))) << Name;
  }
}

// A drawn name that the table holds already is drawn again. A statement run once from a seed
// shows the name its first draw gives; the same statement run again from that seed on a table
// that holds the name must not take it.
TEST_F(DDLTable, GeneratedNamesTakenAlreadyAreDrawnAgain) {
  constexpr uint32_t Seed = 12345;
  const uint32_t Saved = RandSeed();
  Exec("CREATE TABLE p (a INTEGER PRIMARY KEY)");
  Exec("CREATE TABLE c (x INTEGER, y INTEGER)");
  SetRandSeed(Seed);
  Exec("ALTER TABLE c ADD FOREIGN KEY (x) REFERENCES p");
  const std::string Key = ForeignKeyNames(*Loaded("c")).at(0);
  Exec("ALTER TABLE c DROP CONSTRAINT [" + Key + "]");
  Exec("ALTER TABLE c ADD FOREIGN KEY [" + Key + "] (y) REFERENCES p");
  SetRandSeed(Seed);
  Exec("ALTER TABLE c ADD FOREIGN KEY (x) REFERENCES p");

  Exec("CREATE TABLE q1 (a INTEGER, PRIMARY KEY k (a))");
  SetRandSeed(Seed);
  Exec("ALTER TABLE q1 ADD (u INTEGER UNIQUE)");
  const std::string Index = IndexNames(*Loaded("q1"), ixUnique).at(0);
  Exec("CREATE TABLE q2 (a INTEGER, PRIMARY KEY [" + Index + "] (a))");
  SetRandSeed(Seed);
  Exec("ALTER TABLE q2 ADD (u INTEGER UNIQUE)");
  SetRandSeed(Saved);

  const std::vector<std::string> Keys = ForeignKeyNames(*Loaded("c"));
  ASSERT_EQ(Keys.size(), 2u);
  EXPECT_NE(Keys[0], Keys[1]);
  TComponentPtr<TTolvanTable> Q2 = Loaded("q2");
  ASSERT_EQ(Q2->IndexDefs().Count(), 2);
  EXPECT_NE(Q2->IndexDefs().Items(0).Name(), Q2->IndexDefs().Items(1).Name());
}

// The tokenizer refuses a statement whose parentheses do not close, so a statement cut inside
// its element list reaches the grammar only when its tokens are cut after tokenizing.
TEST_F(DDLTable, StatementsEndingInsideTheElementListRaiseTheGrammarsCodes) {
  struct {
    const char* SQL;
    int Kept; // tokens of the statement kept
    const char* Error;
  } const Cases[] = {
      {"CREATE TABLE t (a INTEGER)", 6,
       "Unexpected end of SQL command found at line 1, column 19 - Native error: 30161"},
      {"CREATE TABLE t (a AUTOINC(INCREMENT 2))", 7,
       "Unexpected end of SQL command found at line 1, column 26 - Native error: 30290"},
      {"CREATE TABLE t (a AUTOINC(INCREMENT 2))", 8,
       "Unexpected end of SQL command found at line 1, column 27 - Native error: 30161"},
      {"CREATE TABLE t (a AUTOINC(INCREMENT 2))", 9,
       "Unexpected end of SQL command found at line 1, column 37 - Native error: 30290"},
      {"CREATE TABLE t (a INTEGER NOT NULL)", 7,
       "Unexpected end of SQL command found at line 1, column 27 - Native error: 30237"},
      {"CREATE TABLE t (a INTEGER DEFAULT 1)", 7,
       "Unexpected end of SQL command found at line 1, column 27 - Native error: 30297"},
      {"CREATE TABLE t (a INTEGER MINVALUE 1)", 7,
       "Unexpected end of SQL command found at line 1, column 27 - Native error: 30300"},
      {"CREATE TABLE t (a INTEGER MINVALUE - 1)", 8,
       "Unexpected end of SQL command found at line 1, column 36 - Native error: 30300"},
      {"CREATE TABLE t (a INTEGER PRIMARY KEY)", 7,
       "Unexpected end of SQL command found at line 1, column 27 - Native error: 30333"},
      {"CREATE TABLE t (a INTEGER PRIMARY KEY)", 8,
       "Unexpected end of SQL command found at line 1, column 35 - Native error: 30333"},
      {"CREATE TABLE t (a INTEGER PRIMARY DESC)", 8,
       "Unexpected end of SQL command found at line 1, column 35 - Native error: 30333"},
      {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a DESC))", 11,
       "Unexpected end of SQL command found at line 1, column 41 - Native error: 30333"},
      {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a DESC))", 12,
       "Unexpected end of SQL command found at line 1, column 43 - Native error: 30333"},
      {"CREATE TABLE t (a BLOB BLOBCOMPRESSIONALGORITHM ZLIB)", 7,
       "Unexpected end of SQL command found at line 1, column 24 - Native error: 30161"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.SQL);
    TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
    Q->SetDatabaseName("MEMORY");
    TTolvanLexer Lexer(C.SQL, nullptr);
    ASSERT_TRUE(Lexer.NextStatement());
    ASSERT_LT(C.Kept, Lexer.TokenCount());
    Lexer.Tokens().resize(size_t(C.Kept));
    TToken Token;
    Lexer.NextToken(Token); // TABLE, as the processor leaves it
    EXPECT_EQ(ErrorOf([&] { MakeCommand(TTolvanSQLCommandKind::CreateTable, Lexer, *Q); }),
              C.Error);
  }
}

// The parsed attributes of a column: each given one present, the others absent.
TEST_F(DDLTable, ParsedColumnsHoldOnlyTheAttributesGiven) {
  TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
  Q->SetDatabaseName("MEMORY");
  TTolvanLexer Lexer("CREATE TABLE t (a AUTOINC(CARDINAL, INCREMENT -3, MAXVALUE 9, CYCLED), "
                     "b BLOB BLOBBLOCKSIZE 100 BLOBCOMPRESSIONALGORITHM bzip BLOBCOMPRESSIONMODE 0 "
                     "NULL, c VARCHAR(4) NOMAXVALUE DEFAULT 12)",
                     nullptr);
  ASSERT_TRUE(Lexer.NextStatement());
  TToken Token;
  Lexer.NextToken(Token);
  auto Command = MakeCommand(TTolvanSQLCommandKind::CreateTable, Lexer, *Q);
  const auto& DDL = dynamic_cast<const TTolvanDDLTableManipulation&>(*Command);
  ASSERT_EQ(DDL.Columns().Count(), 3);
  const TSQLFieldDef& A = DDL.Columns().Items(0);
  EXPECT_EQ(A.FieldType, tftAutoIncCardinal);
  EXPECT_EQ(A.Increment, -3);
  EXPECT_EQ(A.SequenceMax, 9);
  EXPECT_EQ(A.Cycled, true);
  EXPECT_FALSE(A.InitialValue || A.SequenceMin || A.Size || A.Required || A.DefaultValue);
  const TSQLFieldDef& B = DDL.Columns().Items(1);
  EXPECT_EQ(B.BlobBlockSize, 100);
  EXPECT_EQ(B.CompressionAlgorithm, caBZip);
  EXPECT_EQ(B.CompressionLevel, 0);
  EXPECT_EQ(B.Required, false);
  const TSQLFieldDef& Cc = DDL.Columns().Items(2);
  EXPECT_EQ(Cc.Size, 4);
  ASSERT_TRUE(Cc.MaxValue && Cc.DefaultValue);
  EXPECT_TRUE(Cc.MaxValue->IsNull());
  // The default takes the column's value type.
  EXPECT_EQ(Cc.DefaultValue->DataType(), tvtString);
  EXPECT_EQ(Cc.DefaultValue->GetAsString(), "12");
  EXPECT_FALSE(Cc.MinValue);

  // ApplyColumnDef changes only what was given.
  TTolvanAdvFieldDefs Defs;
  TTolvanAdvFieldDef& Def = Defs.Add("old", tftInteger, 0, true);
  Def.SetBlobBlockSize(77);
  TTolvanDDLTableManipulation::ApplyColumnDef(Def, A);
  EXPECT_EQ(Def.Name(), "a");
  EXPECT_EQ(Def.FieldType(), tftAutoIncCardinal);
  EXPECT_TRUE(Def.Required());
  EXPECT_EQ(Def.BlobBlockSize(), 77);
  EXPECT_EQ(Def.AutoincIncrement(), -3);
  EXPECT_EQ(Def.AutoincInitialValue(), 0);
}

// From a query whose database is not in memory, ALTER and RENAME address the table CREATE made
// (in MEMORY), as DROP does.
TEST_F(DDLTable, AlterAndRenameAddressTheTableCreateMadeFromAQueryOnTemp) {
  Exec("CREATE TABLE t (a INTEGER)", "TEMP");
  Exec("INSERT INTO t VALUES (1)", "TEMP");
  Exec("ALTER TABLE t ADD (b INTEGER DEFAULT 7)", "TEMP");
  EXPECT_EQ(Column("SELECT b FROM t"), std::vector<std::string>{"7"});
  Exec("RENAME TABLE t TO u", "TEMP");
  Exec("ALTER TABLE u RENAME COLUMN b TO c", "TEMP");
  EXPECT_EQ(Column("SELECT c FROM u"), std::vector<std::string>{"7"});
  Exec("DROP TABLE u", "TEMP");
  EXPECT_EQ(ErrorOf([] { Column("SELECT * FROM u"); }).substr(0, 22), "Table 'u' does not exi");
}

// The create refuses a table that exists instead of replacing it, checked under the engine's
// write gate: of several threads creating one table, one succeeds and its rows stay.
TEST_F(DDLTable, CreateRefusesATableAnotherThreadMade) {
  MakeMemoryTable("kept", {{"a"}}, {{int64_t(1)}});
  TComponentPtr<TTolvanTable> T = MakeComponent<TTolvanTable>();
  T->SetInMemory(true);
  T->SetTableName("kept");
  T->AdvFieldDefs().Add("b", tftInteger, 0, false);
  EXPECT_EQ(ErrorOf([&] { T->CreateTable(true); }),
            "Cannot create table. Table 'kept' already exists - Native error: 30247");
  EXPECT_EQ(Column("SELECT a FROM kept"), std::vector<std::string>{"1"});

  constexpr int Threads = 4;
  constexpr int Rounds = 10;
  for (int Round = 0; Round < Rounds; ++Round) {
    std::atomic<int> Created{0};
    std::atomic<int> Refused{0};
    std::vector<std::string> Other(Threads);
    std::vector<std::thread> Workers;
    for (int K = 0; K < Threads; ++K)
      Workers.emplace_back([&, K] {
        TComponentPtr<TTolvanSession> Session(TTolvanSession::Create(nullptr));
        const std::string Name = "DDLRace" + std::to_string(K);
        Session->SetSessionName(Name);
        TComponentPtr<TTolvanQuery> Q = MakeComponent<TTolvanQuery>();
        Q->SetSessionName(Name);
        Q->SetDatabaseName("MEMORY");
        try {
          Q->SetSQLText("CREATE TABLE race (a INTEGER)");
          Q->ExecSQL();
          Q->SetSQLText("INSERT INTO race VALUES (" + std::to_string(K) + ")");
          Q->ExecSQL();
          ++Created;
        } catch (const ETolvanException& E) {
          if (E.NativeError() == ErrDDLTableExists)
            ++Refused;
          else
            Other[K] = E.Message();
        } catch (const std::exception& E) {
          Other[K] = E.what();
        }
      });
    for (std::thread& W : Workers)
      W.join();
    SCOPED_TRACE(Round);
    for (const std::string& O : Other)
      EXPECT_EQ(O, "");
    EXPECT_EQ(Created, 1);
    EXPECT_EQ(Refused, Threads - 1);
    EXPECT_EQ(Column("SELECT COUNT(*) FROM race"), std::vector<std::string>{"1"});
    Exec("DROP TABLE race");
  }
}

} // namespace
} // namespace tolvan::test
