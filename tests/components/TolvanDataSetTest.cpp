// The dataset's connection: use reasons, open and close through sessions and databases, the
// failures of an open at every step, key buffers, the external cursor and the definitions a
// dataset takes from its cursor.
#include "components/TolvanDataSet.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "components/TolvanComponentStartup.h"
#include "components/TolvanDefs.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

int32_t MemorySessions() { return FindDatabaseData(true, false, "MEMORY", u"")->SessionCount(); }

class DataSetTest : public ComponentTest {
protected:
  void SetUp() override {
    MakeSimpleTable("MEMORY", "T");
    // A database on disk that has no files: it cannot open.
    Disk = Own(TTolvanSession::Create(nullptr));
    Disk->SetSessionName("Disk");
    TTolvanDatabase* Db = TTolvanDatabase::Create(Disk.get());
    Db->SetDatabaseName("OnDisk");
    Db->SetInMemory(false);
  }

  static void UseDisk(TTestDataSet& D) {
    D.SetSessionName("Disk");
    D.SetDatabaseName("OnDisk");
  }

  // A dataset on "T" in the default session, freed with the test.
  TTestDataSet& NewDataSet(TComponent* Owner = nullptr) {
    TTestDataSet* D = NewComponent<TTestDataSet>(Owner);
    if (!Owner)
      Owned.emplace_back(D);
    D->TableName = "T";
    return *D;
  }

  // Nothing of an open is left: no cursor, no database, no temporary database, no engine
  // session on "MEMORY".
  void ExpectNothingHeld(TTestDataSet& D, int32_t SessionsBefore) {
    EXPECT_FALSE(D.Active());
    EXPECT_EQ(D.Cursor(), nullptr);
    EXPECT_EQ(D.Database(), nullptr);
    EXPECT_EQ(D.DatabaseUse(), 0);
    for (int32_t K = 0; K < KeyBufferCount; ++K)
      EXPECT_EQ(D.KeyBuffer(K), nullptr);
    EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
    EXPECT_EQ(MemorySessions(), SessionsBefore);
  }

  TComponentPtr<TTolvanSession> Disk;
  std::vector<TComponentPtr<TTestDataSet>> Owned;
};

// --- properties and registry ---------------------------------------------------------------------

TEST_F(DataSetTest, DefaultsNamesAndRegistry) {
  const int32_t Before = DataSetRegistry()->Count();
  auto D = MakeComponent<TTolvanDataSet>();
  EXPECT_EQ(DataSetRegistry()->Count(), Before + 1);
  EXPECT_EQ(D->DatabaseName(), "MEMORY");
  EXPECT_TRUE(D->InMemory());
  EXPECT_TRUE(D->SessionName().empty());
  EXPECT_EQ(D->EventSender(), D.get());

  // The version is the engine's, whatever was stored.
  D->SetCurrentVersion("1.23 ");
  EXPECT_EQ(D->CurrentVersion(), GetEngineVersion());

  // Names compare case-sensitively; the flag follows the registered in-memory databases.
  struct {
    const char* Name;
    bool InMemory;
  } const Cases[] = {{"memory", true}, {"TEMP", false}, {"Nowhere", false}, {"MEMORY", true}};
  for (const auto& C : Cases) {
    D->SetDatabaseName(C.Name);
    EXPECT_EQ(D->DatabaseName(), C.Name);
    EXPECT_EQ(D->InMemory(), C.InMemory) << C.Name;
  }
  D->SetDatabaseName("Nowhere");
  D->SetInMemory(true);
  EXPECT_EQ(D->DatabaseName(), "MEMORY");

  D.reset();
  EXPECT_EQ(DataSetRegistry()->Count(), Before);
}

// Shutdown closes an open dataset through its database; freed afterwards, it touches nothing.
TEST_F(DataSetTest, DataSetFreedAfterShutdownSkipsTheRegistry) {
  auto D = MakeComponent<TTestDataSet>();
  D->TableName = "T";
  D->Open();
  FreeComponentRegistries();
  EXPECT_FALSE(D->Active());
  EXPECT_EQ(D->Database(), nullptr);
  D.reset();
  InitComponentRegistries();
  EXPECT_EQ(DataSetRegistry()->Count(), 0);
}

// --- use reasons -------------------------------------------------------------------------------

TEST_F(DataSetTest, UseReasons) {
  struct TStep {
    TTolvanDataSetUseReason Reason;
    bool On;
    bool HeldAfter;
  };
  struct {
    const char* Name;
    std::vector<TStep> Steps;
  } const Cases[] = {
      {"set twice, cleared once", {{3, true, true}, {3, true, true}, {3, false, false}}},
      {"cleared without being set",
       {{5, false, false}, {10, true, true}, {5, false, true}, {10, false, false}}},
      {"two reasons on one database",
       {{3, true, true}, {5, true, true}, {3, false, true}, {5, false, false}}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTestDataSet& D = NewDataSet();
    TTolvanDatabase* First = nullptr;
    for (const TStep& S : C.Steps) {
      D.SetDatabaseUse(S.Reason, S.On);
      EXPECT_EQ(D.Database() != nullptr, S.HeldAfter);
      EXPECT_EQ(D.DatabaseUse() != 0, S.HeldAfter);
      if (D.Database()) {
        // One database for every reason, with the dataset listed once.
        if (!First)
          First = D.Database();
        EXPECT_EQ(D.Database(), First);
        EXPECT_EQ(D.Database()->DataSetCount(), 1);
        EXPECT_TRUE(D.Database()->Temporary());
      }
    }
    EXPECT_EQ(DefaultSession()->DatabaseCount(), 0) << "the temporary database is gone";
    EXPECT_EQ(MemorySessions(), 0);
  }
}

TEST_F(DataSetTest, HeldDatabaseRefusesANewName) {
  TTestDataSet& D = NewDataSet();
  D.SetName("Orders");
  D.SetDatabaseUse(durTableOperation, true);
  try {
    D.SetDatabaseName("Other");
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_STREQ(E.what(), "Orders: Cannot perform this operation on an open database");
  }
  // Names compare with case: "memory" is a change too.
  EXPECT_THROW(D.SetDatabaseName("memory"), EDatabaseError);
  D.SetDatabaseName("MEMORY"); // no change: allowed
  D.SetDatabaseUse(durTableOperation, false);
  D.SetDatabaseName("Other");
  EXPECT_EQ(D.DatabaseName(), "Other");
}

// --- open and close ------------------------------------------------------------------------------

TEST_F(DataSetTest, OpenAndCloseThroughEachKindOfDatabase) {
  struct {
    const char* Name;
    bool Client;
  } const Cases[] = {{"temporary MEMORY", false}, {"client MEMORY", true}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTolvanDatabase* Client = nullptr;
    if (C.Client) {
      Client = TTolvanDatabase::Create(DefaultSession());
      Client->SetDatabaseName("MEMORY");
      Client->Open();
    }
    TTestDataSet& D = NewDataSet();
    std::vector<int32_t> Ids;
    for (int Round = 0; Round < 2; ++Round) {
      D.Open();
      ASSERT_TRUE(D.Active());
      ASSERT_NE(D.Cursor(), nullptr);
      EXPECT_EQ(D.DatabaseUse(), 1);
      EXPECT_EQ(D.Database()->Temporary(), !C.Client);
      EXPECT_EQ(D.Database()->DataSetCount(), 1);
      Ids.push_back(D.Database()->EngineSession()->SessionID());
      EXPECT_EQ(D.FieldDefs().Count(), 2);
      EXPECT_EQ(D.Fields().Count(), 2);
      EXPECT_TRUE(D.IsEmpty()) << "the neutral fetch shows no records yet";
      D.Close();
      EXPECT_EQ(D.Database(), nullptr);
      EXPECT_EQ(D.DatabaseUse(), 0);
      EXPECT_EQ(D.Fields().Count(), 0);
    }
    if (C.Client) {
      // The kept client database serves both opens with one engine session.
      EXPECT_EQ(Ids[0], Ids[1]);
      EXPECT_TRUE(Client->Connected());
      EXPECT_EQ(Client->DataSetCount(), 0);
      Client->Free();
    } else {
      // Each open makes a new temporary database with an engine session of its own.
      EXPECT_NE(Ids[0], Ids[1]);
    }
    EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
    EXPECT_EQ(MemorySessions(), 0);
  }
}

TEST_F(DataSetTest, OpenFailuresAndTheOwnerBeingCreated) {
  struct {
    const char* Name;
    std::function<void(TTestDataSet&)> Arrange;
    int32_t Code;
  } const Cases[] = {
      {"unknown session", [](TTestDataSet& D) { D.SetSessionName("Nope"); }, 20002},
      {"database that cannot open", UseDisk, 11245},
      {"no cursor", [](TTestDataSet& D) { D.NilCursor = true; }, 20001},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const int32_t Sessions = MemorySessions();
    TTestDataSet& D = NewDataSet();
    C.Arrange(D);
    const int32_t Code = NativeCodeOf([&] { D.Open(); });
    EXPECT_EQ(Code, C.Code);
    ExpectNothingHeld(D, Sessions);

    // The same while the owner is being created: silent, and nothing is held.
    auto Form = MakeComponent<TComponent>();
    Form->BeginLoading();
    TTestDataSet& Loading = NewDataSet(Form.get());
    C.Arrange(Loading);
    EXPECT_NO_THROW(Loading.Open());
    ExpectNothingHeld(Loading, Sessions);
    Form->EndLoading();
  }
}

TEST_F(DataSetTest, DatabaseThatCannotOpenRaises11245) {
  TTestDataSet& D = NewDataSet();
  UseDisk(D);
  try {
    D.Open();
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 11245);
    EXPECT_NE(std::string(E.what()).find("Cannot open database 'OnDisk'"), std::string::npos);
  }
  EXPECT_EQ(D.DatabaseUse(), 0);
  EXPECT_EQ(Disk->Databases(0)->UseCount(), 0);
}

TEST_F(DataSetTest, HookOrder) {
  TTestDataSet& D = NewDataSet();
  D.Open();
  EXPECT_EQ(D.Joined(), "OpenEngineCursor CreateCursor OpenData LoadFieldDefs PrepareCursor "
                        "RecordBufferSize NewRecordBuffer NewRecordBuffer NewRecordBuffer "
                        "MoveToBegin FetchRecord");
  D.ClearLog();
  D.Close();
  EXPECT_EQ(D.Joined(), "CloseEngineCursor CloseData DisposeRecordBuffer DisposeRecordBuffer "
                        "DisposeRecordBuffer DestroyCursor");

  // A pending insert is cancelled while the cursor is still there.
  D.Open();
  D.Insert();
  D.ClearLog();
  D.Close();
  EXPECT_EQ(D.Joined(), "CancelRecord CloseEngineCursor CloseData DisposeRecordBuffer "
                        "DisposeRecordBuffer DisposeRecordBuffer DestroyCursor");
  EXPECT_EQ(D.DatabaseUse(), 0);
}

// Every step of an open fails in turn; each time the dataset ends closed and holds nothing.
TEST_F(DataSetTest, FaultInjection) {
  struct TFault {
    std::string Name;
    std::function<void(TTestDataSet&)> Arrange;
  };
  std::vector<TFault> Faults = {
      {"unknown session", [](TTestDataSet& D) { D.SetSessionName("Nope"); }},
      {"database open", UseDisk},
      {"missing table", [](TTestDataSet& D) { D.TableName = "Missing"; }},
      {"CreateCursor", [](TTestDataSet& D) { D.FailAt = "CreateCursor"; }},
      {"nil cursor", [](TTestDataSet& D) { D.NilCursor = true; }},
      {"OpenData", [](TTestDataSet& D) { D.FailAt = "OpenData"; }},
      {"LoadFieldDefs", [](TTestDataSet& D) { D.FailAt = "LoadFieldDefs"; }},
      {"bad filter",
       [](TTestDataSet& D) {
         D.SetFilter("Name = = 'x'");
         D.SetFiltered(true);
       }},
      {"PrepareCursor", [](TTestDataSet& D) { D.FailAt = "PrepareCursor"; }},
      {"RecordBufferSize", [](TTestDataSet& D) { D.FailAt = "RecordBufferSize"; }},
      {"NewRecordBuffer", [](TTestDataSet& D) { D.FailAt = "NewRecordBuffer"; }},
      {"FetchRecord", [](TTestDataSet& D) { D.FailAt = "FetchRecord"; }},
  };
  for (int32_t K = 1; K <= KeyBufferCount; ++K)
    Faults.push_back({"key buffer " + std::to_string(K), [K](TTestDataSet& D) {
                        D.FailAt = "InitKeyBuffer";
                        D.FailCount = K;
                      }});
  for (const TFault& F : Faults) {
    SCOPED_TRACE(F.Name);
    const int32_t Sessions = MemorySessions();
    TTestDataSet& D = NewDataSet();
    F.Arrange(D);
    EXPECT_ANY_THROW(D.Open());
    ExpectNothingHeld(D, Sessions);
    // The same dataset opens once the fault is gone.
    D.FailAt.clear();
    D.NilCursor = false;
    D.TableName = "T";
    D.SetFiltered(false);
    D.SetSessionName("");
    D.SetDatabaseName("MEMORY");
    D.Open();
    EXPECT_TRUE(D.Active());
    D.Close();
    ExpectNothingHeld(D, Sessions);
  }
}

TEST_F(DataSetTest, ClientDatabaseCloseDisconnectsTheDataSet) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("Work");
  TTolvanDatabase* Db = TTolvanDatabase::Create(S.get());
  Db->SetDatabaseName("MEMORY");
  TTestDataSet& D = NewDataSet();
  D.SetSessionName("Work");
  D.Open();
  D.SetDatabaseUse(durProviderTransaction, true);
  ASSERT_EQ(D.Database(), Db);
  Db->Close();
  EXPECT_FALSE(D.Active());
  EXPECT_EQ(D.Database(), nullptr);
  EXPECT_EQ(D.DatabaseUse(), 0);
  EXPECT_EQ(Db->DataSetCount(), 0);
  EXPECT_EQ(MemorySessions(), 0);
}

// A dataset freed while it still holds a reason other than the cursor's leaves no trace in its
// database.
TEST_F(DataSetTest, FreeingReleasesEveryReason) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("Work");
  TTolvanDatabase* Db = TTolvanDatabase::Create(S.get());
  Db->SetDatabaseName("MEMORY");
  auto D = MakeComponent<TTestDataSet>();
  D->TableName = "T";
  D->SetSessionName("Work");
  D->Open();
  D->SetDatabaseUse(durProviderTransaction, true);
  D.reset();
  EXPECT_EQ(Db->DataSetCount(), 0);
  EXPECT_EQ(Db->UseCount(), 0);
}

TEST_F(DataSetTest, RelinkMovesADatabaseBackToItsSession) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("Work");
  // A database naming a session that did not exist yet lands in the default session.
  TTolvanDatabase* Db = TTolvanDatabase::Create(nullptr);
  Db->SetSessionName("Work");
  Db->SetDatabaseName("MEMORY");
  auto Guard = Own(Db);
  if (Db->Session() == S.get())
    GTEST_SKIP() << "the database joined its session at once";
  TTestDataSet& D = NewDataSet();
  D.SetSessionName("Work");
  D.Open();
  EXPECT_EQ(D.Database(), Db);
  EXPECT_EQ(Db->Session(), S.get());
  D.Close();
}

// --- buffers -------------------------------------------------------------------------------------

TEST_F(DataSetTest, CurrentRecordBufferInEachState) {
  TTestDataSet& D = NewDataSet();
  EXPECT_EQ(D.CurrentRecordBuffer(), nullptr) << "inactive";
  D.Open();
  EXPECT_EQ(D.CurrentRecordBuffer(), nullptr) << "browsing an empty dataset";
  uint8_t Filter[8] = {};
  D.SetFilterBuffer(Filter);
  D.SetEditedKeyBuffer(D.KeyBuffer(kiRangeStart));
  struct {
    TDataSetState State;
    uint8_t* Expected;
  } const Cases[] = {
      {dsEdit, D.ActiveBuffer()},     {dsInsert, D.ActiveBuffer()}, {dsSetKey, D.KeyBuffer(1)},
      {dsCalcFields, D.CalcBuffer()}, {dsFilter, Filter},           {dsNewValue, nullptr},
      {dsInternalCalc, nullptr},
  };
  for (const auto& C : Cases) {
    const TDataSetState Saved = D.SetTempState(C.State);
    EXPECT_EQ(D.CurrentRecordBuffer(), C.Expected) << int(C.State);
    D.RestoreState(Saved);
  }
  D.Insert();
  EXPECT_EQ(D.CurrentRecordBuffer(), D.ActiveBuffer());
  D.Cancel();
  D.SetFilterBuffer(nullptr);
  D.Close();
}

TEST_F(DataSetTest, KeyBuffers) {
  TTestDataSet& D = NewDataSet();
  D.Open();
  TTolvanCursor& C = *D.Cursor();
  const int32_t E = C.RecordIDOffset();
  for (int32_t K = 0; K < KeyBufferCount; ++K) {
    const uint8_t* Key = D.KeyBuffer(K);
    ASSERT_NE(Key, nullptr);
    // Both columns null, their bytes and the trailer zero.
    EXPECT_EQ(Key[0] & 0x03, 0x03);
    for (int32_t I = C.FieldsOffset(); I < E + KeyTrailerSize; ++I)
      EXPECT_EQ(Key[I], 0) << "key " << K << " byte " << I;
  }
  EXPECT_EQ(E + KeyTrailerSize, C.BookmarkRecordSize());

  // A modified applied range is cleared by CancelRangeKeys, once.
  uint8_t* Start = D.KeyBuffer(kiCurRangeStart);
  StoreLE<uint8_t>(Start + E + KeyModifiedOffset, 1);
  StoreLE<int32_t>(Start + E + KeyFieldCountOffset, 2);
  EXPECT_TRUE(D.CancelRangeKeys());
  EXPECT_EQ(LoadLE<uint8_t>(Start + E + KeyModifiedOffset), 0);
  EXPECT_EQ(LoadLE<int32_t>(Start + E + KeyFieldCountOffset), 0);
  EXPECT_FALSE(D.CancelRangeKeys());
  D.Close();

  // Without a cursor.
  uint8_t Scratch[64] = {};
  EXPECT_EQ(NativeCodeOf([&] { D.InitKeyBuffer(Scratch); }), 10280);
  EXPECT_EQ(NativeCodeOf([&] { D.AllocKeyBuffers(); }), 10281);
  EXPECT_EQ(NativeCodeOf([&] { D.CancelRangeKeys(); }), 10287);
  try {
    D.AllocKeyBuffers();
  } catch (const ETolvanException& Ex) {
    EXPECT_NE(std::string(Ex.what()).find("Nil pointer occured"), std::string::npos);
  }
  EXPECT_NO_THROW(D.BuildIndexFieldMap()) << "no cursor: an empty map";
  EXPECT_EQ(D.IndexFieldCount(), 0);
}

TEST_F(DataSetTest, IndexFieldMapFollowsTheCursorsIndex) {
  TTestDataSet& D = NewDataSet();
  D.Open();
  D.Cursor()->SetIndexName("PK");
  D.BuildIndexFieldMap();
  EXPECT_EQ(D.IndexFieldCount(), 1);
  EXPECT_EQ(D.IndexFieldNumbers(), std::vector<uint16_t>{1});
  EXPECT_EQ(D.IndexKeySize(), 4);
  D.Cursor()->SetIndexName("Gone");
  EXPECT_EQ(NativeCodeOf([&] { D.BuildIndexFieldMap(); }), 10325);
  D.Close();
  EXPECT_EQ(D.IndexFieldCount(), 0);
}

// --- the external cursor -------------------------------------------------------------------------

TEST_F(DataSetTest, ExternalCursorSurvivesAndForgetsTheDataSet) {
  auto Db = Own(TTolvanDatabase::Create(nullptr));
  Db->SetDatabaseName("MEMORY");
  Db->Open();
  TTolvanLocalCursor Lent;
  Lent.SetSession(Db->EngineSession());
  Lent.SetTableName("T");
  Lent.OpenTable(nullptr, nullptr, nullptr);
  {
    auto D = MakeComponent<TTestDataSet>();
    D->SetExternalCursor(&Lent);
    D->SetOnFilterRecord([](TDataSet&, bool& Accept) { Accept = true; });
    D->SetFiltered(true);
    D->Open();
    EXPECT_EQ(D->Cursor(), &Lent);
    EXPECT_TRUE(bool(Lent.OnFilterRecord()));
    D->Close();
    EXPECT_EQ(D->Cursor(), nullptr);
    EXPECT_FALSE(bool(Lent.OnFilterRecord()));
    EXPECT_TRUE(Lent.Opened());
    // Opened again on the same cursor, then freed while open.
    D->Open();
  }
  EXPECT_FALSE(bool(Lent.OnFilterRecord()));
  EXPECT_TRUE(Lent.Opened());
  Lent.CloseTable();
  Db->Close();
}

// --- definitions ---------------------------------------------------------------------------------

TEST_F(DataSetTest, ExchangeDefs) {
  TTolvanFieldDefs F;
  auto Add = [&](const char* Name, TTolvanFieldType Type, int32_t Size = 0) -> TTolvanFieldDef& {
    TTolvanFieldDef& Def = F.AddNew();
    Def.SetName(Name);
    Def.SetType(Type, Size);
    return Def;
  };
  TTolvanFieldDef& Id = Add("Id", tftAutoInc);
  Id.SetAutoincInitialValue(10);
  Id.SetAutoincIncrement(5);
  Id.SetAutoincMinValue(10);
  Id.SetAutoincMaxValue(1000);
  Id.SetAutoincCycled(1);
  Add("Code", tftVarchar, 12);
  Add("Qty", tftInteger);
  TTolvanFieldDef& Pic = Add("Pic", tftBLOB);
  Pic.SetBlobCompressionAlgorithm(caZlib);
  Pic.SetBlobCompressionMode(6);
  Pic.SetBlobBlockSize(8192);
  Add("Note", tftVarchar, 20);

  TTolvanConstraintDefs C;
  C.AddNotNull().Column().SetName("Code");
  TTolvanConstraintDefCheck& Check = C.AddCheck();
  Check.Column().SetName("Qty");
  Check.CheckMinValue().SetAsInteger(1);
  Check.CheckMaxValue().SetAsInteger(99);

  TTolvanIndexDefs I;
  auto AddIndex = [&](const char* Name, std::vector<TTolvanIndexColumn> Columns, bool Unique,
                      bool Primary) {
    TTolvanIndexDef& Def = I.AddNew();
    Def.SetName(Name);
    Def.SetUnique(Unique);
    Def.SetPrimary(Primary);
    Def.SetColumnCount(int32_t(Columns.size()));
    for (size_t K = 0; K < Columns.size(); ++K)
      Def.Columns(int32_t(K)) = Columns[K];
  };
  auto Col = [](const char* Name, bool Desc = false, bool NoCase = false) {
    TTolvanIndexColumn Column;
    Column.SetName(Name);
    Column.SetDescending(Desc);
    Column.SetCaseInsensitive(NoCase);
    return Column;
  };
  AddIndex("PK", {Col("Id")}, true, true);
  AddIndex("ByCode", {Col("Code")}, true, false);
  AddIndex("ByNote", {Col("Note", true, true), Col("Qty")}, false, false);
  MakeEngineTable("MEMORY", "Rich", F, I, C);

  TTestDataSet& D = NewDataSet();
  D.TableName = "Rich";
  D.Open();

  // Framework definitions: names, types, NOT NULL as required.
  TFieldDefs& Defs = D.FieldDefs();
  ASSERT_EQ(Defs.Count(), 5);
  EXPECT_EQ(Defs.Items(0).DataType(), ftAutoInc);
  EXPECT_EQ(Defs.Items(1).DataType(), ftString);
  EXPECT_EQ(Defs.Items(1).Size(), 12);
  EXPECT_TRUE(Defs.Items(1).Required());
  EXPECT_FALSE(Defs.Items(2).Required());
  EXPECT_EQ(Defs.Items(3).DataType(), ftBlob);

  // Extended definitions: settings, limits, required flags.
  TTolvanAdvFieldDefs& Adv = D.AdvFieldDefs();
  ASSERT_EQ(Adv.Count(), 5);
  EXPECT_EQ(Adv.Items(0).FieldType(), tftAutoInc);
  EXPECT_EQ(Adv.Items(0).AutoincInitialValue(), 10);
  EXPECT_EQ(Adv.Items(0).AutoincIncrement(), 5);
  EXPECT_EQ(Adv.Items(0).AutoincMinValue(), 10);
  EXPECT_EQ(Adv.Items(0).AutoincMaxValue(), 1000);
  EXPECT_TRUE(Adv.Items(0).AutoincCycled());
  EXPECT_TRUE(Adv.Items(1).Required());
  EXPECT_EQ(Adv.Items(2).MinValue().GetAsInteger(), 1);
  EXPECT_EQ(Adv.Items(2).MaxValue().GetAsInteger(), 99);
  EXPECT_EQ(Adv.Items(3).BlobCompressionAlgorithm(), 1);
  EXPECT_EQ(Adv.Items(3).BlobCompressionLevel(), 6);
  EXPECT_EQ(Adv.Items(3).BlobBlockSize(), 8192);

  // Index definitions: lists and options, and the stored copy.
  TIndexDefs& Idx = D.IndexDefs();
  ASSERT_EQ(Idx.Count(), 3);
  EXPECT_EQ(Idx.Items(0).Options(), ixPrimary | ixUnique);
  EXPECT_EQ(Idx.Items(1).Options(), ixUnique);
  EXPECT_EQ(Idx.Items(2).Fields(), "Note;Qty");
  EXPECT_EQ(Idx.Items(2).DescFields(), "Note");
  EXPECT_EQ(Idx.Items(2).CaseInsFields(), "Note");
  EXPECT_EQ(Idx.Items(2).Options(), 0);
  TIndexDefs& Stored = D.StoredIndexDefs();
  ASSERT_EQ(Stored.Count(), 3);
  for (int32_t K = 0; K < 3; ++K) {
    EXPECT_EQ(Stored.Items(K).Name(), Idx.Items(K).Name());
    EXPECT_EQ(Stored.Items(K).Fields(), Idx.Items(K).Fields());
    EXPECT_EQ(Stored.Items(K).Options(), Idx.Items(K).Options());
    EXPECT_EQ(Stored.Items(K).DescFields(), Idx.Items(K).DescFields());
    EXPECT_EQ(Stored.Items(K).CaseInsFields(), Idx.Items(K).CaseInsFields());
  }
  ASSERT_EQ(D.StoredAdvFieldDefs().Count(), 5);
  EXPECT_TRUE(D.StoredAdvFieldDefs().Items(1).Required());
  EXPECT_EQ(D.StoredForeignKeyDefs().Count(), 0);
  EXPECT_EQ(D.EngineFieldDefs().Count(), 5);
  EXPECT_EQ(D.EngineIndexDefs().Count(), 3);
  EXPECT_EQ(D.OldValues().size(), 5u);
  EXPECT_EQ(D.NewValues().size(), 5u);
  EXPECT_TRUE(D.FieldDefs().Updated());
  EXPECT_TRUE(D.IndexDefs().Updated());

  D.Close();
  EXPECT_EQ(D.AdvFieldDefs().Count(), 0);
  EXPECT_EQ(D.EngineIndexDefs().Count(), 0);
  EXPECT_EQ(D.OldValues().size(), 0u);
  EXPECT_EQ(D.StoredIndexDefs().Count(), 3) << "the stored copies stay";
}

// The field definitions can be read without opening: the cursor comes and goes again.
TEST_F(DataSetTest, FieldDefsOfAClosedDataSet) {
  TTestDataSet& D = NewDataSet();
  D.FieldDefs().Update();
  EXPECT_EQ(D.FieldDefs().Count(), 2);
  EXPECT_FALSE(D.Active());
  EXPECT_EQ(D.Cursor(), nullptr);
  EXPECT_EQ(D.DatabaseUse(), 0);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 0);
}

// Calculated fields widen the cursor's record buffers past the flag byte.
TEST_F(DataSetTest, CalculatedFieldsWidenTheRecordBuffers) {
  TTestDataSet& D = NewDataSet();
  D.FieldDefs().Update();
  for (int32_t K = 0; K < D.FieldDefs().Count(); ++K)
    D.FieldDefs().Items(K).CreateField(&D);
  TField* Calc = NewComponent<TIntegerField>(&D);
  Calc->SetFieldName("Twice");
  Calc->SetFieldKind(fkCalculated);
  Calc->SetDataSet(&D);
  D.Open();
  EXPECT_GT(D.CalcFieldsSize(), 0);
  EXPECT_EQ(D.Cursor()->RecordSize(), D.Cursor()->CalcFieldsOffset() + D.CalcFieldsSize());
  D.Close();
}

} // namespace
