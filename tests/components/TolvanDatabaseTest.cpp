#include "components/TolvanDatabase.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanTypes.h"
#include "storage/TolvanDatabaseData.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::string ErrorOf(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const Exception& E) {
    return E.Message();
  }
  return "no exception";
}

TTolvanDatabase* ClientDatabase(std::string_view Name, TComponent* Owner = nullptr) {
  TTolvanDatabase* D = TTolvanDatabase::Create(Owner);
  D->SetDatabaseName(Name);
  return D;
}

int32_t RegisteredNamed(std::string_view Name) {
  int32_t N = 0;
  TTolvanDatabaseRegistry& R = DatabaseRegistry();
  for (int32_t I = 0; I < R.Count(); ++I)
    if (R.Items(I)->DatabaseName() == Name)
      ++N;
  return N;
}

// --- construction and connection ---------------------------------------------------------------

TEST_F(ComponentTest, NewDatabaseIsMemoryAndDrawsOnce) {
  SetRandSeed(7);
  auto A = Own(TTolvanDatabase::Create(nullptr));
  EXPECT_EQ(RandSeed(), 7u * 134775813u + 1u) << "one draw";
  EXPECT_EQ(A->DatabaseName(), "MEMORY");
  EXPECT_TRUE(A->InMemory());
  EXPECT_TRUE(A->KeepConnection());
  EXPECT_FALSE(A->HandleShared());
  EXPECT_TRUE(A->LocalDatabase());
  EXPECT_FALSE(A->Temporary());
  EXPECT_FALSE(A->Connected());
  EXPECT_EQ(A->Session(), DefaultSession());
  EXPECT_EQ(A->SessionName(), "Default");
  // A second one is "MEMORY" too, and both connect.
  auto B = Own(TTolvanDatabase::Create(nullptr));
  EXPECT_EQ(B->DatabaseName(), "MEMORY");
  A->Open();
  B->Open();
  EXPECT_TRUE(A->Connected() && B->Connected());
  EXPECT_EQ(DatabaseRegistry().Items(0)->SessionCount(), 2);
  EXPECT_TRUE(DefaultSession()->Active()) << "opening activates the session";

  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  TTolvanDatabase* Owned = TTolvanDatabase::Create(S.get());
  EXPECT_EQ(Owned->Session(), S.get());
  EXPECT_EQ(Owned->SessionName(), "S");
}

TEST_F(ComponentTest, DatabaseErrorTexts) {
  const struct {
    const char* What;
    const char* Expected;
    std::function<void(TTolvanDatabase&)> Run;
  } Cases[] = {
      {"open without a name", "Database name missing",
       [](TTolvanDatabase& D) {
         D.SetDatabaseName("");
         D.Open();
       }},
      {"create while connected", "Cannot perform this operation on an open database",
       [](TTolvanDatabase& D) {
         D.Open();
         D.CreateDatabase();
       }},
      {"drop while connected", "Cannot perform this operation on an open database",
       [](TTolvanDatabase& D) {
         D.Open();
         D.DropDatabase();
       }},
      {"name of another client database", "Cannot perform this operation on an open database",
       [](TTolvanDatabase& D) {
         ClientDatabase("Taken");
         D.SetDatabaseName("TAKEN");
       }},
      {"drop of a database that is not in memory", "Database file name missing",
       [](TTolvanDatabase& D) {
         D.SetInMemory(false);
         D.DropDatabase();
       }},
      {"unknown session", "Invalid session name 'Nope' - Native error: 20002",
       [](TTolvanDatabase& D) {
         D.SetSessionName("Nope");
         D.Open();
       }},
  };
  for (const bool Named : {false, true}) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(std::string(C.What) + (Named ? ", named" : ""));
      auto D = Own(ClientDatabase("Mine"));
      if (Named)
        D->SetName("Db1");
      const bool Native = std::string(C.Expected).find("Native") != std::string::npos;
      EXPECT_EQ(ErrorOf([&] { C.Run(*D); }),
                (Named && !Native ? std::string("Db1: ") : std::string()) + C.Expected);
      // Leftover databases of the case go with the default session's list.
      while (DefaultSession()->DatabaseCount() > 1)
        for (int32_t I = 0; I < DefaultSession()->DatabaseCount(); ++I)
          if (DefaultSession()->Databases(I) != D.get()) {
            DefaultSession()->Databases(I)->Free();
            break;
          }
    }
  }
}

TEST_F(ComponentTest, UseCountAndKeepConnection) {
  auto D = Own(ClientDatabase("Kept"));
  D->Open();
  D->Open();
  EXPECT_EQ(D->UseCount(), 2);
  TTolvanBaseSession* Engine = D->EngineSession();
  D->Open();
  EXPECT_EQ(D->EngineSession(), Engine) << "only the count changes";
  D->Close();
  EXPECT_FALSE(D->Connected());
  EXPECT_EQ(D->UseCount(), 0);

  // The last release keeps a client database connected until KeepConnection goes off.
  TFakeClient Client;
  ASSERT_TRUE(Client.Use(*DefaultSession(), "kept"));
  EXPECT_EQ(Client.Database, D.get());
  Client.Disconnect();
  EXPECT_TRUE(D->Connected());
  EXPECT_EQ(D->UseCount(), 0);
  D->SetKeepConnection(false);
  EXPECT_FALSE(D->Connected());
}

TEST_F(ComponentTest, TemporaryDatabasesLiveForTheirUses) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  EXPECT_FALSE(S->Active());
  TFakeClient A, B;
  EXPECT_FALSE(DefaultSession()->Active());
  ASSERT_TRUE(A.Use(*S, "Scratch"));
  EXPECT_TRUE(S->Active()) << "opening through an inactive session activates it";
  EXPECT_TRUE(DefaultSession()->Active()) << "and the default session before it";
  ASSERT_TRUE(B.Use(*S, "SCRATCH"));
  EXPECT_EQ(A.Database, B.Database);
  EXPECT_TRUE(A.Database->Temporary());
  EXPECT_FALSE(A.Database->KeepConnection());
  EXPECT_EQ(A.Database->Owner(), S.get());
  EXPECT_EQ(A.Database->UseCount(), 2);
  EXPECT_EQ(S->DatabaseCount(), 1);
  A.Disconnect();
  EXPECT_EQ(S->DatabaseCount(), 1);
  B.Disconnect();
  EXPECT_EQ(S->DatabaseCount(), 0) << "freed at the last release";
  EXPECT_EQ(RegisteredNamed("Scratch"), 1) << "the data stays registered";
  EXPECT_EQ(FindDatabaseData(true, false, "Scratch", u"")->SessionCount(), 0);

  // Deactivation frees temporary databases and closes the others.
  auto Client = Own(ClientDatabase("Client", S.get()));
  (void)Client.release(); // owned by the session
  ASSERT_TRUE(A.Use(*S, "Scratch"));
  TTolvanDatabase* ClientDb = S->FindDatabaseByName("client");
  ASSERT_NE(ClientDb, nullptr);
  ClientDb->Open();
  S->SetActive(false);
  EXPECT_EQ(A.Forgets + A.Disconnects, 2) << "the dataset was cut loose";
  EXPECT_EQ(S->DatabaseCount(), 1);
  EXPECT_FALSE(ClientDb->Connected());
}

TEST_F(ComponentTest, OpenDatabaseDropsTheOpenFailure) {
  auto Disk = Own(ClientDatabase("Disk"));
  Disk->SetInMemory(false);
  TFakeClient Client;
  EXPECT_FALSE(Client.Use(*DefaultSession(), "Disk")) << "no database files here";
  EXPECT_FALSE(Disk->Connected());
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 1);
  // A temporary database that cannot open is freed again.
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  auto Gone = Own(ClientDatabase("Gone", S.get()));
  Gone->SetInMemory(false);
  EXPECT_EQ(S->OpenDatabase("Gone", nullptr), nullptr);
  EXPECT_EQ(S->DatabaseCount(), 1);

  // While its owner is being loaded, a failed attach ends the open silently.
  auto Form = MakeComponent<TComponent>();
  Form->BeginLoading();
  TTolvanDatabase* Loading = ClientDatabase("Loading", Form.get());
  Loading->SetInMemory(false);
  EXPECT_TRUE(Loading->IsBeingCreated());
  Loading->Open();
  EXPECT_FALSE(Loading->Connected());
  EXPECT_EQ(Loading->UseCount(), 0);
  EXPECT_EQ(DefaultSession()->OpenDatabase("Loading", nullptr), nullptr);
  Form->EndLoading();
  EXPECT_EQ(NativeCodeOf([&] { Loading->Open(); }), 10895);

  // At design time a failure of Connected goes to the application exception handler.
  int32_t Handled = 0;
  TApplicationExceptionHandler Previous =
      SetApplicationExceptionHandler([&](std::exception_ptr) { ++Handled; });
  Loading->SetDesigning(true);
  Loading->SetConnected(true);
  EXPECT_EQ(Handled, 1);
  EXPECT_FALSE(Loading->Connected());
  SetApplicationExceptionHandler(Previous);
}

TEST_F(ComponentTest, ClientDatabaseNamedTempIsInMemory) {
  auto D = Own(ClientDatabase("TEMP"));
  D->Open();
  EXPECT_TRUE(D->EngineSession()->InMemory());
  EXPECT_FALSE(D->EngineSession()->IsTemp());
  EXPECT_EQ(FindDatabaseData(false, true, "TEMP", u"")->SessionCount(), 0);
  EXPECT_EQ(FindDatabaseData(true, false, "TEMP", u"")->SessionCount(), 1);
  D->Close();
  // A temporary component of that name is the temporary database.
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  TFakeClient Client;
  ASSERT_TRUE(Client.Use(*S, "TEMP"));
  EXPECT_TRUE(Client.Database->EngineSession()->IsTemp());
  EXPECT_FALSE(Client.Database->EngineSession()->InMemory());
  EXPECT_EQ(FindDatabaseData(false, true, "TEMP", u"")->SessionCount(), 1);
  Client.Disconnect();
}

// Every state a database component can be in, and what the operations do there.
TEST_F(ComponentTest, OperationsInEachState) {
  enum TState { Disconnected, Connected, Temporary, Client, Borrower };
  const char* const Names[] = {"disconnected", "connected", "temporary", "client", "borrower"};
  for (TState State : {Disconnected, Connected, Temporary, Client, Borrower}) {
    SCOPED_TRACE(Names[State]);
    auto S = Own(TTolvanSession::Create(nullptr));
    S->SetSessionName("S");
    const std::string Name = std::string("State") + Names[State];
    TTolvanDatabase* D = nullptr;
    TTolvanDatabase* Lender = nullptr;
    TFakeClient User;
    if (State == Temporary) {
      ASSERT_TRUE(User.Use(*S, Name));
      D = User.Database;
    } else {
      if (State == Borrower) {
        Lender = TTolvanDatabase::Create(S.get());
        Lender->SetHandleShared(true);
        Lender->SetDatabaseName(Name);
        Lender->Open();
      }
      D = TTolvanDatabase::Create(S.get());
      D->SetHandleShared(State == Borrower);
      D->SetDatabaseName(Name);
      if (State == Connected || State == Borrower)
        D->Open();
      if (State == Client) {
        ASSERT_TRUE(User.Use(*S, Name));
      }
    }
    const bool Open = State != Disconnected;
    EXPECT_EQ(D->Connected(), Open);
    EXPECT_EQ(D->Borrowed(), State == Borrower);
    EXPECT_EQ(D->Temporary(), State == Temporary);
    EXPECT_EQ(D->UseCount(), Open ? 1 : 0);

    // Create and drop want a disconnected database.
    const std::string Refused = "Cannot perform this operation on an open database";
    EXPECT_EQ(ErrorOf([&] { D->CreateDatabase(); }), Open ? Refused : std::string("no exception"));
    EXPECT_EQ(ErrorOf([&] { D->DropDatabase(); }), Open ? Refused : std::string("no exception"));
    // A table made through any holder of the engine session is seen; the state stays.
    if (!Open)
      D->Open();
    MakeTable(*D, "T");
    if (!Open)
      D->Close();
    EXPECT_TRUE(D->TableExists("t"));
    EXPECT_EQ(D->Connected(), Open);
    // A further open only counts.
    D->Open();
    EXPECT_EQ(D->UseCount(), Open ? 2 : 1);
    // Close: the datasets are let go, the count is 0; a temporary database stays listed.
    D->Close();
    EXPECT_FALSE(D->Connected());
    EXPECT_EQ(D->UseCount(), 0);
    EXPECT_EQ(D->DataSetCount(), 0);
    EXPECT_EQ(User.Database, nullptr);
    EXPECT_EQ(S->FindDatabaseByName(Name) != nullptr, true);
    if (Lender) {
      EXPECT_TRUE(Lender->EngineSession()->IsConnected()) << "the lender keeps its session";
      Lender->Close();
    }
    EXPECT_EQ(FindDatabaseData(true, false, Name, u"")->SessionCount(), 0);
  }
}

// --- names
// ----------------------------------------------------------------------------------------

TEST_F(ComponentTest, RenamesOntoTemporaryAndClientDatabases) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  TFakeClient Client;
  ASSERT_TRUE(Client.Use(*S, "Scratch"));
  TTolvanDatabase* Temp = Client.Database;
  auto D = Own(ClientDatabase("Mine", S.get()));
  (void)D.release();
  TTolvanDatabase* Mine = S->FindDatabaseByName("Mine");
  // In use, the temporary database keeps its name.
  EXPECT_EQ(ErrorOf([&] { Mine->SetDatabaseName("scratch"); }),
            "Cannot perform this operation on an open database");
  EXPECT_EQ(Mine->DatabaseName(), "Mine");
  // Unused, it is freed for the rename.
  Temp->Close();
  EXPECT_EQ(Client.Database, nullptr);
  EXPECT_EQ(S->DatabaseCount(), 2);
  Mine->SetDatabaseName("scratch");
  EXPECT_EQ(S->DatabaseCount(), 1);
  EXPECT_EQ(S->FindDatabaseByName("SCRATCH"), Mine);
  // Onto another client database: refused, open or not.
  TTolvanDatabase* Other = ClientDatabase("Other", S.get());
  EXPECT_EQ(ErrorOf([&] { Mine->SetDatabaseName("Other"); }),
            "Cannot perform this operation on an open database");
  // Two HandleShared databases may share a name.
  Mine->SetHandleShared(true);
  Other->SetHandleShared(true);
  Mine->SetDatabaseName("Other");
  EXPECT_EQ(Mine->DatabaseName(), "Other");
  // A rename closes a connected database first.
  Mine->Open();
  Mine->SetDatabaseName("Third");
  EXPECT_FALSE(Mine->Connected());
}

TEST_F(ComponentTest, TableExistsRestoresTheConnection) {
  auto D = Own(ClientDatabase("Tables"));
  D->Open();
  MakeTable(*D, "T");
  D->Close();
  const struct {
    const char* Table;
    bool Connected;
    bool Expected;
  } Cases[] = {{"T", false, true}, {"t", false, true}, {"U", false, false}, {"T", true, true},
               {"U", true, false}, {"", false, false}, {"", true, false}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Table) + (C.Connected ? " connected" : ""));
    if (C.Connected)
      D->Open();
    const int32_t Sessions = FindDatabaseData(true, false, "Tables", u"")->SessionCount();
    EXPECT_EQ(D->TableExists(C.Table), C.Expected);
    EXPECT_EQ(D->Connected(), C.Connected);
    EXPECT_EQ(FindDatabaseData(true, false, "Tables", u"")->SessionCount(), Sessions);
    D->Close();
  }
  // Connecting fails: False.
  D->SetInMemory(false);
  EXPECT_FALSE(D->TableExists("T"));
  EXPECT_FALSE(D->Connected());
}

// --- create and drop
// ------------------------------------------------------------------------------

TEST_F(ComponentTest, DropBesideAConnectedComponentKeepsTheData) {
  auto A = Own(ClientDatabase("Shop"));
  A->CreateDatabase();
  EXPECT_EQ(RegisteredNamed("Shop"), 1);
  EXPECT_FALSE(A->Connected());
  EXPECT_EQ(NativeCodeOf([&] { A->CreateDatabase(); }), 20092) << "already there";
  A->Open();
  MakeTable(*A, "Orders");
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  auto B = Own(ClientDatabase("Shop", S.get()));
  (void)B.release();
  TTolvanDatabase* Dropper = S->FindDatabaseByName("Shop");
  const ETolvanException E = Raised([&] { Dropper->DropDatabase(); });
  EXPECT_EQ(E.NativeError(), 11747);
  EXPECT_EQ(E.Message(), "Error - database 'Shop' is used by other sessions - Native error: 11747");
  EXPECT_TRUE(A->TableExists("Orders"));
  A->Close();
  Dropper->DropDatabase();
  EXPECT_EQ(RegisteredNamed("Shop"), 0);
  // A new connection finds an empty database under the name.
  EXPECT_FALSE(A->TableExists("Orders"));
  EXPECT_EQ(RegisteredNamed("Shop"), 1);
  // Dropping what does not exist does nothing.
  Dropper->SetDatabaseName("Nothing");
  Dropper->DropDatabase();
}

TEST_F(ComponentTest, DroppingAnUnusedMemoryDatabaseEmptiesIt) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->Open();
  MakeTable(*D, "T");
  D->Close();
  D->DropDatabase();
  EXPECT_EQ(RegisteredNamed("MEMORY"), 0);
  EXPECT_FALSE(D->TableExists("T"));
  EXPECT_EQ(RegisteredNamed("MEMORY"), 1);
}

// --- datasets and borrowers
// -----------------------------------------------------------------------

TEST_F(ComponentTest, CloseDataSetsEndsWithAClientThatStays) {
  auto D = Own(ClientDatabase("Busy"));
  std::vector<int> Order;
  struct TOrdered : TFakeClient {
    std::vector<int>* Log = nullptr;
    int Id = 0;
    void Disconnect() override {
      Log->push_back(Id);
      TFakeClient::Disconnect();
    }
  } First, Stubborn, Last;
  int Id = 0;
  for (TOrdered* C : {&First, &Stubborn, &Last}) {
    C->Log = &Order;
    C->Id = ++Id;
    ASSERT_TRUE(C->Use(*DefaultSession(), "Busy"));
  }
  Stubborn.Stubborn = true;
  EXPECT_EQ(D->DataSetCount(), 3);
  EXPECT_EQ(D->UseCount(), 3);
  D->Close();
  EXPECT_EQ(Order, (std::vector<int>{3, 2, 1})) << "last first";
  EXPECT_EQ(D->DataSetCount(), 0);
  EXPECT_EQ(Stubborn.Forgets, 1);
  EXPECT_EQ(Stubborn.Database, nullptr);
  EXPECT_EQ(First.Forgets + Last.Forgets, 0);
  EXPECT_FALSE(D->Connected());
  EXPECT_EQ(D->UseCount(), 0);
}

TEST_F(ComponentTest, CloseDataSetsOfATemporaryDatabaseKeepsIt) {
  TFakeClient A, B;
  ASSERT_TRUE(A.Use(*DefaultSession(), "Scratch"));
  ASSERT_TRUE(B.Use(*DefaultSession(), "Scratch"));
  TTolvanDatabase* Temp = A.Database;
  Temp->CloseDataSets();
  EXPECT_EQ(A.Disconnects + B.Disconnects, 2);
  EXPECT_EQ(Temp->DataSetCount(), 0);
  EXPECT_EQ(Temp->UseCount(), 0);
  EXPECT_EQ(DefaultSession()->FindDatabaseByName("Scratch"), Temp) << "not freed under the loop";
  DefaultSession()->SetActive(false);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
}

TEST_F(ComponentTest, BorrowerWorksAfterItsLenderCloses) {
  auto Lender = Own(TTolvanDatabase::Create(nullptr));
  auto Borrower = Own(TTolvanDatabase::Create(nullptr));
  Lender->SetHandleShared(true);
  Borrower->SetHandleShared(true);
  Lender->SetDatabaseName("Pool");
  Borrower->SetDatabaseName("Pool");
  Lender->Open();
  Borrower->Open();
  EXPECT_TRUE(Borrower->Borrowed());
  EXPECT_FALSE(Lender->Borrowed());
  EXPECT_EQ(Borrower->EngineSession(), Lender->EngineSession());
  TTolvanDatabaseData* Data = FindDatabaseData(true, false, "Pool", u"");
  EXPECT_EQ(Data->SessionCount(), 1);
  Lender->Close();
  EXPECT_FALSE(Lender->Connected());
  ASSERT_TRUE(Borrower->Connected());
  EXPECT_TRUE(Borrower->EngineSession()->IsConnected());
  MakeTable(*Borrower, "T");
  EXPECT_TRUE(Borrower->TableExists("T"));
  Borrower->Close();
  EXPECT_EQ(Data->SessionCount(), 0) << "the last holder detaches";
}

// --- events
// ---------------------------------------------------------------------------------------

TEST_F(ComponentTest, EventDispatchers) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  std::vector<std::string> Calls;
  bool Abort = true;
  TTolvanVariant V;
  TTolvanVariant* Values[] = {&V};
  const TTolvanArrayOfTTolvanVariant Span(Values);
  // Unassigned: Before dispatchers only reset Abort.
  D->FireBeforeInsertRecord(nullptr, "T", Span, Abort);
  EXPECT_FALSE(Abort);
  Abort = true;
  D->FireBeforeUpdateRecord(nullptr, "T", Span, Span, Abort);
  EXPECT_FALSE(Abort);
  Abort = true;
  D->FireBeforeDeleteRecord(nullptr, "T", Span, Abort);
  EXPECT_FALSE(Abort);
  Abort = true;
  D->FireBeforeExecuteSQL(nullptr, Abort);
  EXPECT_FALSE(Abort);
  D->FireAfterInsertRecord(nullptr, "T", Span);

  auto Before = [&](const char* Name) {
    return [&, Name](TTolvanDataSet*, const AnsiString& Table, TTolvanArrayOfTTolvanVariant Vals,
                     bool& A) {
      EXPECT_FALSE(A);
      Calls.push_back(std::string(Name) + ":" + Table + ":" + std::to_string(Vals.size()));
      A = true;
    };
  };
  auto After = [&](const char* Name) {
    return [&, Name](TTolvanDataSet*, const AnsiString& Table, TTolvanArrayOfTTolvanVariant) {
      Calls.push_back(std::string(Name) + ":" + Table);
    };
  };
  D->SetBeforeInsertRecord(Before("bi"));
  D->SetBeforeDeleteRecord(Before("bd"));
  D->SetAfterInsertRecord(After("ai"));
  D->SetAfterDeleteRecord(After("ad"));
  D->SetBeforeUpdateRecord([&](TTolvanDataSet*, const AnsiString& T, TTolvanArrayOfTTolvanVariant,
                               TTolvanArrayOfTTolvanVariant, bool& A) {
    Calls.push_back("bu:" + T);
    A = true;
  });
  D->SetAfterUpdateRecord([&](TTolvanDataSet*, const AnsiString& T, TTolvanArrayOfTTolvanVariant,
                              TTolvanArrayOfTTolvanVariant) { Calls.push_back("au:" + T); });
  D->SetBeforeExecuteSQL([&](TTolvanQuery*, bool& A) {
    Calls.push_back("bx");
    A = true;
  });
  D->SetAfterExecuteSQL([&](TTolvanQuery*) { Calls.push_back("ax"); });
  int32_t Errors = 0;
  D->SetOnError([&](TComponent*, int32_t, int32_t, const AnsiString&) { ++Errors; });

  Abort = true;
  D->FireBeforeInsertRecord(nullptr, "T", Span, Abort);
  EXPECT_TRUE(Abort);
  D->FireAfterInsertRecord(nullptr, "T", Span);
  D->FireBeforeUpdateRecord(nullptr, "U", Span, Span, Abort);
  D->FireAfterUpdateRecord(nullptr, "U", Span, Span);
  D->FireBeforeDeleteRecord(nullptr, "D", Span, Abort);
  D->FireAfterDeleteRecord(nullptr, "D", Span);
  D->FireBeforeExecuteSQL(nullptr, Abort);
  D->FireAfterExecuteSQL(nullptr);
  EXPECT_EQ(Calls, (std::vector<std::string>{"bi:T:1", "ai:T", "bu:U", "au:U", "bd:D:1", "ad:D",
                                             "bx", "ax"}));
  // OnError is stored and never fired, failures or not.
  D->SetInMemory(false);
  EXPECT_ANY_THROW(D->Open());
  EXPECT_ANY_THROW(D->DropDatabase());
  EXPECT_TRUE(static_cast<bool>(D->OnError()));
  EXPECT_EQ(Errors, 0);
}

// --- sessions going
// -------------------------------------------------------------------------------

TEST_F(ComponentTest, DatabaseForgetsADestroyedSession) {
  auto Form = MakeComponent<TComponent>();
  TTolvanSession* S = TTolvanSession::Create(Form.get());
  S->SetSessionName("S");
  TTolvanDatabase* D = ClientDatabase("Mine", Form.get());
  D->SetSessionName("S");
  D->Open();
  EXPECT_EQ(D->Session(), S);
  S->Free();
  EXPECT_FALSE(D->Connected());
  EXPECT_EQ(D->Session(), nullptr);
  EXPECT_EQ(D->SessionName(), "");
  // It joins the default session at its next open.
  D->Open();
  EXPECT_EQ(D->Session(), DefaultSession());
}

} // namespace
