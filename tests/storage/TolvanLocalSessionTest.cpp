#include "storage/local/TolvanLocalSession.h"

#include <gtest/gtest.h>

#include "foundation/TolvanMessages.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class LocalSession : public ::testing::Test {
protected:
  TLocalStorage Storage;
};

TEST_F(LocalSession, SessionsOfOneNameShareTheDatabaseAndAreNumberedInOrder) {
  auto A = TLocalStorage::Session("MEMORY");
  auto B = TLocalStorage::Session("memory");
  EXPECT_FALSE(A->IsConnected());
  EXPECT_EQ(A->Database(), nullptr);
  A->SetConnected(true);
  B->SetConnected(true);
  EXPECT_TRUE(A->IsConnected());
  EXPECT_EQ(A->SessionID(), 0);
  EXPECT_EQ(B->SessionID(), 1);
  ASSERT_NE(A->Database(), nullptr);
  EXPECT_EQ(A->Database(), B->Database());
  EXPECT_EQ(A->Database(), FindDatabaseData(true, false, "MEMORY", u""));
  EXPECT_EQ(A->Database()->SessionCount(), 2);
  A->SetConnected(true); // connected already: nothing
  EXPECT_EQ(A->SessionID(), 0);
  A->SetConnected(false);
  EXPECT_FALSE(A->IsConnected());
  EXPECT_EQ(A->Database(), nullptr);
  EXPECT_EQ(B->Database()->SessionCount(), 1);
  // The database stays registered after its sessions leave.
  B->SetConnected(false);
  EXPECT_NE(FindDatabaseData(true, false, "MEMORY", u""), nullptr);
}

TEST_F(LocalSession, AnInMemorySessionMakesItsDatabaseAtTheFirstConnection) {
  const int32_t Before = DatabaseRegistry().Count();
  auto X = TLocalStorage::Session("X");
  EXPECT_FALSE(X->DatabaseExists());
  X->SetConnected(true);
  EXPECT_EQ(DatabaseRegistry().Count(), Before + 1);
  EXPECT_TRUE(X->DatabaseExists());
  auto Lower = TLocalStorage::Connected("x");
  EXPECT_EQ(Lower->Database(), X->Database());
  EXPECT_EQ(DatabaseRegistry().Count(), Before + 1);
  EXPECT_NE(dynamic_cast<TTolvanMemoryDatabaseData*>(X->Database()), nullptr);
}

TEST_F(LocalSession, CreateDatabaseRegistersANameOnceOnly) {
  auto Y = TLocalStorage::Session("Y");
  EXPECT_FALSE(Y->DatabaseExists());
  Y->CreateDatabase();
  EXPECT_TRUE(Y->DatabaseExists());
  EXPECT_FALSE(Y->IsConnected());
  EXPECT_EQ(Y->Database(), nullptr);
  const int32_t Count = DatabaseRegistry().Count();
  for (const char* Name : {"Y", "y", "MEMORY"}) {
    const TRaised R = RaisedBy([&] { TLocalStorage::Session(Name)->CreateDatabase(); });
    EXPECT_EQ(R.Code, 20092) << Name;
    EXPECT_EQ(R.Message, EngineMessage("Cannot create database. Database is already open", 20092));
  }
  EXPECT_EQ(DatabaseRegistry().Count(), Count);
  // A later session of that name finds the database made by CreateDatabase.
  auto Again = TLocalStorage::Connected("Y");
  EXPECT_EQ(DatabaseRegistry().Count(), Count);
}

TEST_F(LocalSession, ASessionThatIsNeitherInMemoryNorTemporaryFindsNoDatabase) {
  const int32_t Count = DatabaseRegistry().Count();
  // Not even a registered database whose name equals its file name.
  for (const char* Name : {"disk.db", "MEMORY"}) {
    auto Disk = TLocalStorage::Session(Name, false, false);
    const std::string Message =
        EngineMessage(std::string("Database '") + Name + "' not found", ErrDatabaseNotFound);
    TStringList Names;
    TTolvanMemoryStream Stream;
    const std::function<void()> Calls[] = {
        [&] { Disk->SetConnected(true); },           [&] { Disk->CreateDatabase(); },
        [&] { Disk->GetTableNames(Names); },         [&] { Disk->TableExists("T"); },
        [&] { Disk->SaveDatabaseToStream(Stream); }, [&] { Disk->LoadDatabaseFromStream(Stream); },
    };
    for (const auto& Call : Calls) {
      const TRaised R = RaisedBy(Call);
      EXPECT_EQ(R.Code, ErrDatabaseNotFound) << Name;
      EXPECT_EQ(R.Message, Message);
      EXPECT_FALSE(Disk->IsConnected());
    }
    EXPECT_FALSE(Disk->DatabaseExists()); // no such file
    EXPECT_EQ(Disk->SessionID(), -1);
  }
  EXPECT_EQ(DatabaseRegistry().Count(), Count);
}

TEST_F(LocalSession, TableCallsOfADisconnectedSessionDoNotAttachIt) {
  auto Owner = TLocalStorage::Connected("MEMORY");
  TOpenCursor Maker(*Owner, "T");
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  Maker.Open(&Fields);

  auto Loose = TLocalStorage::Session("MEMORY");
  TStringList Names;
  Loose->GetTableNames(Names);
  EXPECT_EQ(Names.Count(), 1);
  EXPECT_TRUE(Loose->TableExists("t"));
  EXPECT_FALSE(Loose->TableExists("U"));
  // Still disconnected, without a database for its cursors and without a session id.
  EXPECT_FALSE(Loose->IsConnected());
  EXPECT_EQ(Loose->Database(), nullptr);
  EXPECT_EQ(Loose->SessionID(), -1);
  TOpenCursor Cursor(*Loose, "T");
  const TRaised R = RaisedBy([&] { Cursor.Open(); });
  EXPECT_EQ(R.Code, ErrCursorSessionNotConnected);
  EXPECT_EQ(R.Message,
            EngineMessage("Cannot open table 'T'. The session is not connected to a database",
                          ErrCursorSessionNotConnected));
  // Connecting still attaches it, with a number of its own.
  Loose->SetConnected(true);
  EXPECT_TRUE(Loose->IsConnected());
  EXPECT_EQ(Loose->SessionID(), 1);
  Cursor.Open();
  EXPECT_TRUE(Cursor.Cursor.Opened());
}

TEST_F(LocalSession, TransactionChecks) {
  auto Memory = TLocalStorage::Session("MEMORY");
  auto Other = TLocalStorage::Session("Other");
  auto Temp = TLocalStorage::Session("TEMP", false, true);
  struct TCase {
    const char* What;
    TTolvanLocalSession* Session;
    bool Connect;
    std::function<void(TTolvanLocalSession&)> Call;
    int32_t Code;
    std::string Text;
  };
  const auto Start = [](TTolvanLocalSession& S) { S.StartTransaction(); };
  const auto Commit = [](TTolvanLocalSession& S) { S.Commit(); };
  const auto Rollback = [](TTolvanLocalSession& S) { S.Rollback(); };
  const TCase Cases[] = {
      {"start, disconnected", Memory.get(), false, Start, 10813, "Nil pointer occured"},
      {"commit, disconnected", Memory.get(), false, Commit, 10815, "Nil pointer occured"},
      {"rollback, disconnected", Memory.get(), false, Rollback, 10817, "Nil pointer occured"},
      {"start on MEMORY", Memory.get(), true, Start, 10831,
       "Cannot start transaction. Only disk databases are allowed for this"},
      {"start on TEMP", Temp.get(), true, Start, 10831,
       "Cannot start transaction. Only disk databases are allowed for this"},
      {"start elsewhere", Other.get(), true, Start, 10831,
       "Cannot start transaction. Only disk databases are allowed for this"},
      {"commit without one", Memory.get(), true, Commit, 10816,
       "Transaction is not started in database 'MEMORY'"},
      {"rollback without one", Other.get(), true, Rollback, 10818,
       "Transaction is not started in database 'Other'"},
  };
  for (const TCase& C : Cases) {
    C.Session->SetConnected(C.Connect);
    const TRaised R = RaisedBy([&] { C.Call(*C.Session); });
    EXPECT_EQ(R.Code, C.Code) << C.What;
    EXPECT_EQ(R.Message, EngineMessage(C.Text, C.Code)) << C.What;
    EXPECT_FALSE(C.Session->InTransaction()) << C.What;
  }
}

TEST_F(LocalSession, HooksRunOnlyWhileConnected) {
  auto S = TLocalStorage::Connected("Z");
  S->SessionHook();
  S->ClearPageCache();
  S->SetConnected(false);
  S->SessionHook();
  S->ClearPageCache();
  EXPECT_FALSE(S->IsConnected());
}

} // namespace
