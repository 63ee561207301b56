#include "components/TolvanSession.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/foundation/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "classlib/DB.h"
#include "components/TolvanComponentServices.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanLockOrder.h"
#include "foundation/TolvanRelease.h"
#include "storage/TolvanDatabaseData.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

std::string DatabaseErrorOf(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const EDatabaseError& E) {
    return E.Message();
  } catch (const std::exception& E) {
    return std::string("other exception: ") + E.what();
  }
  return "no exception";
}

// --- start-up and shutdown
// ------------------------------------------------------------------------

TEST_F(ComponentTest, StartupMakesTheRegistries) {
  TTolvanDatabaseRegistry& Registry = DatabaseRegistry();
  ASSERT_EQ(Registry.Count(), 2);
  EXPECT_EQ(Registry.Items(0)->DatabaseName(), "MEMORY");
  EXPECT_TRUE(Registry.Items(0)->InMemory());
  EXPECT_EQ(Registry.Items(1)->DatabaseName(), "TEMP");
  EXPECT_TRUE(Registry.Items(1)->Temporary());

  ASSERT_EQ(SessionList().Count(), 1);
  TTolvanSession* Default = SessionList().Sessions(0);
  EXPECT_EQ(Default->SessionName(), "Default");
  EXPECT_TRUE(Default->IsDefault());
  EXPECT_FALSE(Default->Active());
  EXPECT_EQ(DefaultSession(), Default);
  EXPECT_EQ(SessionList().FindSession(""), Default);

  ASSERT_NE(DataSetRegistry(), nullptr);
  EXPECT_EQ(DataSetRegistry()->Count(), 0);
  EXPECT_EQ(&ExprServices(), &ComponentServices());
}

TEST(ComponentStartup, InitFreeAndInitAgain) {
  EnsureTempEngine();
  for (TTolvanReleaseId Id : {TTolvanReleaseId::tr390, TTolvanReleaseId::tr400}) {
    SelectRelease(Id);
    InitComponentRegistries();
    InitComponentRegistries(); // a second start-up changes nothing
    EXPECT_EQ(SessionList().Count(), 1);
    FreeComponentRegistries();
    FreeComponentRegistries();

    const ETolvanException E = Raised([] { SessionList(); });
    EXPECT_EQ(E.Message(), "Database Engine is not initialized - Native error: 20007");
    EXPECT_EQ(NativeCodeOf([] { DefaultSession(); }), 20007);
    EXPECT_EQ(NativeCodeOf([] { GetEngineContext(); }), 20007);
    EXPECT_EQ(NativeCodeOf([] { ExprServices(); }), 11394);
    EXPECT_EQ(DataSetRegistry(), nullptr);
    EXPECT_FALSE(StorageStarted());
    EXPECT_EQ(SessionCriticalSectionDepth(), 0);
  }
  TComponentRegistriesScope Again;
  EXPECT_EQ(SessionList().GetSession("default")->SessionName(), "Default");
}

TEST(ComponentStartup, EngineVersionIgnoresTheDecimalSeparator) {
  const char Saved = FormatSettings().DecimalSeparator;
  FormatSettings().DecimalSeparator = ',';
  EXPECT_EQ(GetEngineVersion(), "4.00 ");
  SelectRelease(TTolvanReleaseId::tr390);
  EXPECT_EQ(GetEngineVersion(), "3.90 ");
  SelectRelease(TTolvanReleaseId::tr400);
  EXPECT_EQ(FormatSettings().DecimalSeparator, ',') << "the global settings are never touched";
  FormatSettings().DecimalSeparator = Saved;
}

TEST(ComponentStartup, DataSetRegistryOnlyBetweenStartupAndShutdown) {
  TFakeClient A, B;
  RegisterDataSet(&A); // nothing before start-up
  {
    TComponentRegistriesScope Scope;
    RegisterDataSet(&A);
    RegisterDataSet(&B);
    EXPECT_EQ(DataSetRegistry()->Count(), 2);
    UnregisterDataSet(&A);
    UnregisterDataSet(&A);
    EXPECT_EQ(DataSetRegistry()->Count(), 1);
  }
  UnregisterDataSet(&B); // a dataset outliving shutdown touches nothing
  EXPECT_EQ(DataSetRegistry(), nullptr);
}

// --- lookups and names
// ----------------------------------------------------------------------------

TEST_F(ComponentTest, SessionLookups) {
  auto Mine = Own(TTolvanSession::Create(nullptr));
  Mine->SetSessionName("Mine");
  const struct {
    const char* Name;
    TTolvanSession* Expected;
  } Cases[] = {
      {"", DefaultSession()},        {"Default", DefaultSession()},
      {"dEfAuLt", DefaultSession()}, {"MINE", Mine.get()},
      {"mine", Mine.get()},          {"Nope", nullptr},
      {"Default ", nullptr},         {"Min", nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(SessionList().FindSession(C.Name), C.Expected);
    if (C.Expected) {
      EXPECT_EQ(SessionList().GetSession(C.Name), C.Expected);
    } else {
      const ETolvanException E = Raised([&] { SessionList().GetSession(C.Name); });
      EXPECT_EQ(E.NativeError(), 20002);
      EXPECT_EQ(E.Message(),
                std::string("Invalid session name '") + C.Name + "' - Native error: 20002");
    }
  }
  // A session leaves the list when it goes.
  Mine.reset();
  EXPECT_EQ(SessionList().FindSession("Mine"), nullptr);
  EXPECT_EQ(SessionList().Count(), 1);
}

TEST_F(ComponentTest, SessionErrorsNameTheComponent) {
  auto Form = MakeComponent<TComponent>();
  Form->SetName("Form1");
  const struct {
    const char* What;
    const char* Expected;
    std::function<void(TTolvanSession&, TComponent&)> Run;
  } Cases[] = {
      {"rename while active", "Cannot perform this operation on an active session",
       [](TTolvanSession& S, TComponent&) {
         S.SetActive(true);
         S.SetSessionName("Other");
       }},
      {"automatic naming while active", "Cannot perform this operation on an active session",
       [](TTolvanSession& S, TComponent&) {
         S.SetActive(true);
         S.SetAutoSessionName(true);
       }},
      {"duplicate", "Duplicate session name 'DEFAULT'",
       [](TTolvanSession& S, TComponent&) { S.SetSessionName("DEFAULT"); }},
      {"activation without a name", "Session name missing",
       [](TTolvanSession& S, TComponent&) {
         S.SetSessionName("");
         S.SetActive(true);
       }},
      {"manual rename under automatic naming",
       "Cannot modify SessionName while AutoSessionName is enabled",
       [](TTolvanSession& S, TComponent&) {
         S.SetAutoSessionName(true);
         S.SetSessionName("Other");
       }},
      {"automatic naming beside another session",
       "Cannot enable AutoSessionName property with more than one session on a form or "
       "data-module",
       [](TTolvanSession& S, TComponent& F) {
         TTolvanSession::Create(&F);
         S.SetAutoSessionName(true);
       }},
  };
  for (const bool Named : {false, true}) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(std::string(C.What) + (Named ? ", named" : ""));
      TTolvanSession* S = TTolvanSession::Create(Form.get());
      if (Named)
        S->SetName("Sess");
      S->SetSessionName("Mine");
      EXPECT_EQ(DatabaseErrorOf([&] { C.Run(*S, *Form); }),
                (Named ? std::string("Sess: ") : std::string()) + C.Expected);
      while (Form->ComponentCount() > 0)
        Form->Components(Form->ComponentCount() - 1)->Free();
    }
  }
  // A second session beside an automatically named one: the error names that one.
  TTolvanSession* Auto = TTolvanSession::Create(Form.get());
  Auto->SetName("Sess");
  Auto->SetAutoSessionName(true);
  EXPECT_EQ(DatabaseErrorOf([&] { TTolvanSession::Create(Form.get()); }),
            "Cannot add a session to the form or data-module while session 'Sess' has "
            "AutoSessionName enabled");
  EXPECT_EQ(Form->ComponentCount(), 1);
  EXPECT_EQ(SessionList().Count(), 2);
}

TEST_F(ComponentTest, AutomaticNamesTakeTheLowestFreeNumber) {
  auto FormA = MakeComponent<TComponent>();
  auto FormB = MakeComponent<TComponent>();
  TTolvanSession* A = TTolvanSession::Create(FormA.get());
  A->SetName("Session1");
  TTolvanSession* B = TTolvanSession::Create(FormB.get());
  B->SetName("Session1");
  A->SetAutoSessionName(true);
  B->SetAutoSessionName(true);
  EXPECT_EQ(A->SessionName(), "Session1_1");
  EXPECT_EQ(B->SessionName(), "Session1_2");
  EXPECT_EQ(SessionList().AutoNumbersInUse(), 2);

  // Off and on again takes the lowest free number; a rename keeps the number.
  A->SetAutoSessionName(false);
  EXPECT_EQ(A->AutoNumber(), -1);
  EXPECT_EQ(SessionList().AutoNumbersInUse(), 1);
  A->SetAutoSessionName(true);
  EXPECT_EQ(A->SessionName(), "Session1_1");
  A->SetName("Other");
  EXPECT_EQ(A->SessionName(), "Other_1");

  // A destroyed session gives its number back.
  B->Free();
  EXPECT_EQ(SessionList().AutoNumbersInUse(), 1);
  TTolvanSession* C = TTolvanSession::Create(FormB.get());
  C->SetName("Third");
  C->SetAutoSessionName(true);
  EXPECT_EQ(C->SessionName(), "Third_2");

  // A switch-on that meets a duplicate name gives the number back and stays off.
  auto Manual = Own(TTolvanSession::Create(nullptr));
  Manual->SetSessionName("Clash_3");
  auto FormC = MakeComponent<TComponent>();
  TTolvanSession* D = TTolvanSession::Create(FormC.get());
  D->SetName("Clash");
  EXPECT_EQ(DatabaseErrorOf([&] { D->SetAutoSessionName(true); }),
            "Clash: Duplicate session name 'Clash_3'");
  EXPECT_FALSE(D->AutoSessionName());
  EXPECT_EQ(D->AutoNumber(), -1);
  EXPECT_EQ(SessionList().AutoNumbersInUse(), 2);
}

TEST_F(ComponentTest, AutomaticNamesReachTheOwnersDataSetsAndDatabases) {
  auto Form = MakeComponent<TComponent>();
  auto* Early = NewComponent<TFakeDataSetComponent>(Form.get());
  TTolvanDatabase* EarlyDatabase = TTolvanDatabase::Create(Form.get());
  EXPECT_EQ(EarlyDatabase->Session(), DefaultSession());
  TTolvanSession* S = TTolvanSession::Create(Form.get());
  S->SetName("S");
  S->SetAutoSessionName(true);
  EXPECT_EQ(Early->SessionName(), "S_1");
  EXPECT_EQ(EarlyDatabase->SessionName(), "S_1");

  // Components joining the owner later take the session.
  auto* Late = NewComponent<TFakeDataSetComponent>(Form.get());
  EXPECT_EQ(Late->SessionName(), "S_1");
  TTolvanDatabase* LateDatabase = TTolvanDatabase::Create(Form.get());
  EXPECT_EQ(LateDatabase->Session(), S);
  EXPECT_EQ(LateDatabase->SessionName(), "S_1");
  TTolvanDatabase* Second = TTolvanDatabase::Create(Form.get());
  EXPECT_EQ(Second->DatabaseName(), "MEMORY") << "beside another \"MEMORY\"";
  EXPECT_EQ(Second->Session(), S);
  EXPECT_EQ(S->DatabaseCount(), 2);
}

// --- activation
// -----------------------------------------------------------------------------------

TEST_F(ComponentTest, ActivationTakesContexts) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("A");
  int32_t Started = 0;
  S->SetOnStartup([&](TComponent* Sender) {
    EXPECT_EQ(Sender, S.get());
    ++Started;
  });
  TTolvanSession* Default = DefaultSession();
  EXPECT_FALSE(GlobalEngineContextExists());
  S->SetActive(true);
  EXPECT_EQ(Started, 1);
  EXPECT_TRUE(Default->Active()) << "the default session is activated first";
  EXPECT_EQ(Default->EngineContext(), GetEngineContext());
  EXPECT_NE(S->EngineContext(), nullptr);
  EXPECT_NE(S->EngineContext(), Default->EngineContext());
  S->SetActive(true);
  EXPECT_EQ(Started, 1) << "no change, no event";
  S->SetActive(false);
  EXPECT_FALSE(S->Active());
  EXPECT_TRUE(Default->Active());
  Default->SetActive(false);
  EXPECT_FALSE(GlobalEngineContextExists());
  EXPECT_EQ(NativeCodeOf([] { GetEngineContext(); }), 20007);

  // While loading, the value waits for the end of the load.
  S->BeginLoading();
  S->SetActive(true);
  EXPECT_FALSE(S->Active());
  S->EndLoading();
  EXPECT_TRUE(S->Active());
}

// --- locks
// ----------------------------------------------------------------------------------------

TEST_F(ComponentTest, ThreeLocksNeedThreeUnlocks) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("A");
  S->Lock();
  EXPECT_TRUE(S->Active()) << "Lock activates an inactive session";
  S->Lock();
  S->Lock();
  EXPECT_EQ(S->LockDepth(), 3);
  std::atomic<bool> Entered{false};
  std::thread Other([&] {
    DefaultSession()->Lock();
    Entered = true;
    DefaultSession()->Unlock();
  });
  S->Unlock();
  S->Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(Entered.load()) << "one Lock is still held";
  S->Unlock();
  Other.join();
  EXPECT_TRUE(Entered.load());
  EXPECT_EQ(SessionCriticalSectionDepth(), 0);
}

TEST_F(ComponentTest, UnmatchedUnlockChangesNothing) {
  TTolvanSession* S = DefaultSession();
  const ETolvanException E = Raised([&] { S->Unlock(); });
  EXPECT_EQ(E.NativeError(), 11638);
  S->Lock();
  // Another thread's Unlock cannot leave the section this thread holds.
  int32_t OtherCode = 0;
  std::thread Other([&] { OtherCode = NativeCodeOf([&] { S->Unlock(); }); });
  Other.join();
  EXPECT_EQ(OtherCode, 11638);
  EXPECT_EQ(S->LockDepth(), 1);
  EXPECT_EQ(SessionCriticalSectionDepth(), 1);
  S->Unlock();
  EXPECT_EQ(NativeCodeOf([&] { S->Unlock(); }), 11638);
  EXPECT_EQ(S->LockDepth(), 0);
}

TEST_F(ComponentTest, FailedActivationInLockLeavesTheSection) {
  auto S = Own(TTolvanSession::Create(nullptr));
  EXPECT_EQ(DatabaseErrorOf([&] { S->Lock(); }), "Session name missing");
  EXPECT_EQ(S->LockDepth(), 0);
  EXPECT_EQ(SessionCriticalSectionDepth(), 0);
}

[[noreturn]] void ThrowViolation(const std::string& Message) { throw std::runtime_error(Message); }

TEST_F(ComponentTest, EnteringTheSectionUnderAStorageLockIsReported) {
  if (!LockOrderChecked)
    GTEST_SKIP() << "the checker is compiled out";
  const TLockOrderViolationHandler Previous = SetLockOrderViolationHandler(ThrowViolation);
  TTolvanSession* S = DefaultSession();
  {
    std::lock_guard Guard(DatabaseRegistry().Lock());
    EXPECT_EQ(LockOrderEngineLocksHeld(), 1);
    EXPECT_THROW(S->Lock(), std::runtime_error);
    EXPECT_THROW(S->EnterGlobalLock(), std::runtime_error);
    EXPECT_THROW(S->SetActive(true), std::runtime_error);
    EXPECT_EQ(SessionCriticalSectionDepth(), 0);
  }
  // Inside the section the storage locks may be taken, and the section re-entered.
  S->Lock();
  {
    std::lock_guard Guard(DatabaseRegistry().Lock());
    S->Lock();
    S->Unlock();
  }
  S->Unlock();
  SetLockOrderViolationHandler(Previous);
}

} // namespace
