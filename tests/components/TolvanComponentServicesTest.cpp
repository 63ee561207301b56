#include "components/TolvanComponentServices.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/foundation/TestSupport.h"
#include "tests/schema/support/DistinctSetContract.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanTableData.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Sub-queries run through the query component, whose processor the SQL layer provides.
TEST_F(ComponentTest, SubQueriesNeedTheSQLLayer) {
  try {
    ExprServices().PrepareSubQuery("SELECT 1", nullptr, true, "MEMORY", "");
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Error - SQL processor is switched off by compiler directives");
  }
}

// --- DISTINCT sets
// ----------------------------------------------------------------------------------

TEST(ComponentServices, DistinctSetContract) { ExpectDistinctSetContract(ComponentServices()); }

TEST(ComponentServices, DistinctSetStoresValuesAsTheColumnWould) {
  TTolvanVariant V;
  // Text is cut to the column; an empty text is stored as null.
  std::unique_ptr<IExprDistinctSet> Set = ComponentServices().CreateDistinctSet(tftVarchar, 3);
  V.SetAsString("abcX");
  EXPECT_TRUE(Set->InsertIfNew(V));
  V.SetAsString("abcY");
  EXPECT_FALSE(Set->InsertIfNew(V));
  V.SetAsString("");
  EXPECT_TRUE(Set->InsertIfNew(V));
  V.Clear(tvtString);
  EXPECT_FALSE(Set->InsertIfNew(V));
  // Numbers take the column's type: 2.4 and 2 are one INTEGER.
  std::unique_ptr<IExprDistinctSet> Ints = ComponentServices().CreateDistinctSet(tftInteger, 0);
  V.Clear();
  V.SetAsDouble(2.0);
  EXPECT_TRUE(Ints->InsertIfNew(V));
  V.Clear();
  V.SetAsInteger(2);
  EXPECT_FALSE(Ints->InsertIfNew(V));
  // MEMO values compare whole, however long.
  std::unique_ptr<IExprDistinctSet> Memos = ComponentServices().CreateDistinctSet(tftMemo, 0);
  const std::string Long(100000, 'x');
  V.Clear();
  V.SetAsString(Long);
  EXPECT_TRUE(Memos->InsertIfNew(V));
  V.Clear();
  V.SetAsString(Long + "y");
  EXPECT_TRUE(Memos->InsertIfNew(V));
  V.Clear();
  V.SetAsString(Long);
  EXPECT_FALSE(Memos->InsertIfNew(V));
  // A column type without values is refused as a definition refuses it.
  EXPECT_EQ(NativeCodeOf([] { ComponentServices().CreateDistinctSet(tftNone, 0); }), 30007);
}

TEST(ComponentServices, DistinctSetAgainstAModel) {
  std::mt19937 Random(31);
  std::unique_ptr<IExprDistinctSet> Text = ComponentServices().CreateDistinctSet(tftVarchar, 6);
  std::unique_ptr<IExprDistinctSet> Numbers = ComponentServices().CreateDistinctSet(tftLargeInt, 0);
  std::set<std::string> TextModel;
  std::set<int64_t> NumberModel;
  bool NullSeen = false;
  TTolvanVariant V;
  for (int I = 0; I < 20000; ++I) {
    std::string S(Random() % 9, ' ');
    for (char& C : S)
      C = "aAbB c"[Random() % 6];
    V.Clear();
    V.SetAsString(S);
    const std::string Stored = S.substr(0, 6);
    bool Expected;
    if (Stored.empty()) {
      Expected = !NullSeen;
      NullSeen = true;
    } else {
      Expected = TextModel.insert(Stored).second;
    }
    ASSERT_EQ(Text->InsertIfNew(V), Expected) << "'" << S << "'";
    const int64_t N = int64_t(Random() % 5000) - 2500;
    V.Clear();
    V.SetAsLargeInt(N * 1000003);
    ASSERT_EQ(Numbers->InsertIfNew(V), NumberModel.insert(N).second) << N;
  }
  EXPECT_GT(TextModel.size(), 1000u);
}

// --- LASTAUTOINC
// ------------------------------------------------------------------------------------

TEST_F(ComponentTest, AutoIncFollowsInsertsOfTheSameDatabase) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->Open();
  MakeTable(*D, "Orders", true);
  std::unique_ptr<IExprAutoInc> A = ExprServices().OpenAutoInc("orders", "id", true, "", "");
  EXPECT_EQ(A->FieldType(), tftAutoInc);
  EXPECT_EQ(D->UseCount(), 2) << "the database is opened through its session";
  const ETolvanException Before = Raised([&] { A->CurrentValue(); });
  EXPECT_EQ(Before.NativeError(), 30012);
  InsertRow(*D, "Orders", "a");
  EXPECT_EQ(A->CurrentValue(), 1);
  InsertRow(*D, "Orders", "b");
  EXPECT_EQ(A->CurrentValue(), 2);

  // A read takes no table lock: it answers while another thread holds the table.
  TTolvanTableData* Table = FindDatabaseData(true, false, "MEMORY", u"")->FindTableData("Orders");
  ASSERT_NE(Table, nullptr);
  std::atomic<bool> Held{false}, Done{false};
  std::thread Holder([&] {
    TTolvanTableLock Lock(*Table);
    Held = true;
    while (!Done)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!Held)
    std::this_thread::yield();
  EXPECT_EQ(A->CurrentValue(), 2);
  Done = true;
  Holder.join();

  // A column without a sequence answers as the cursor would.
  std::unique_ptr<IExprAutoInc> Plain = ExprServices().OpenAutoInc("Orders", "NAME", true, "", "");
  EXPECT_EQ(NativeCodeOf([&] { Plain->CurrentValue(); }), 30011);
  Plain.reset();
  A.reset();
  EXPECT_EQ(D->UseCount(), 1) << "freeing the handle releases the database";
}

TEST_F(ComponentTest, AutoIncOutlivesTheDatabaseClosing) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->Open();
  MakeTable(*D, "Orders", true);
  InsertRow(*D, "Orders", "a");
  std::unique_ptr<IExprAutoInc> A = ExprServices().OpenAutoInc("Orders", "ID", true, "", "");
  EXPECT_EQ(A->CurrentValue(), 1);
  TTolvanDatabaseData* Data = FindDatabaseData(true, false, "MEMORY", u"");
  D->Close();
  EXPECT_EQ(Data->SessionCount(), 1) << "the handle still holds the engine session";
  EXPECT_EQ(A->CurrentValue(), 1);
  A.reset();
  EXPECT_EQ(Data->SessionCount(), 0) << "its last holder detached it";
  EXPECT_EQ(D->UseCount(), 0);
}

TEST_F(ComponentTest, AutoIncRefusals) {
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->Open();
  MakeTable(*D, "Orders", true);
  const ETolvanException Field =
      Raised([] { ExprServices().OpenAutoInc("Orders", "Nope", true, "", ""); });
  EXPECT_EQ(Field.Message(), "Field 'Nope' not found - Native error: 30337");
  EXPECT_EQ(D->UseCount(), 1) << "a failed open releases the database";
  const ETolvanException Session =
      Raised([] { ExprServices().OpenAutoInc("Orders", "ID", true, "Nope", ""); });
  EXPECT_EQ(Session.Message(), "Invalid session name 'Nope' - Native error: 20002");
  auto Disk = Own(TTolvanDatabase::Create(nullptr));
  Disk->SetDatabaseName("Disk");
  Disk->SetInMemory(false);
  const ETolvanException Open =
      Raised([] { ExprServices().OpenAutoInc("Orders", "ID", false, "", "Disk"); });
  EXPECT_EQ(Open.Message(), "Cannot open database 'Disk' - Native error: 11245");
  EXPECT_EQ(NativeCodeOf([] { ExprServices().OpenAutoInc("Missing", "ID", true, "", ""); }), 10028);
  EXPECT_EQ(DefaultSession()->DatabaseCount(), 2) << "no temporary database is left";
}

TEST_F(ComponentTest, AutoIncOfAnotherEngineSessionStartsUnread) {
  auto S = Own(TTolvanSession::Create(nullptr));
  S->SetSessionName("S");
  auto D = Own(TTolvanDatabase::Create(nullptr));
  D->Open();
  MakeTable(*D, "Orders", true);
  InsertRow(*D, "Orders", "a");
  // Session S opens "MEMORY" with an engine session of its own: no value drawn there yet.
  std::unique_ptr<IExprAutoInc> A = ExprServices().OpenAutoInc("Orders", "ID", true, "S", "");
  EXPECT_EQ(NativeCodeOf([&] { A->CurrentValue(); }), 30012);
  EXPECT_EQ(S->DatabaseCount(), 1);
  A.reset();
  EXPECT_EQ(S->DatabaseCount(), 0) << "the temporary database goes at its last release";
}

} // namespace
