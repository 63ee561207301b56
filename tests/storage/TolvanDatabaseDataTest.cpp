#include "storage/TolvanDatabaseData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "classlib/DB.h"
#include "classlib/SysUtils.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanStrUtils.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/StorageTestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Two names with one NameHash, found once by solving the hash's linear equations over the
// letters A and Q.
constexpr std::string_view CollidingA = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
constexpr std::string_view CollidingB = "QAAAAAQAAQQAAAAAQAAAQQQAQQAQQAQQQAAAAAAA";

// A database whose tables are test tables; counts what it makes and closes.
class TTestDatabase : public TTolvanDatabaseData {
public:
  TTestDatabase(bool InMemory = true, bool Temporary = false) {
    SetInMemory(InMemory);
    SetTemporary(Temporary);
  }
  ~TTestDatabase() override { FreeAllTables(); }

  void LoadDatabaseFromStream(TTolvanBaseSession&, TStream&) override {}
  void SaveDatabaseToStream(TTolvanBaseSession&, TStream&, TTolvanCompressionAlgorithm, uint8_t,
                            int32_t) override {}
  std::unique_ptr<TTolvanTableData> CreateTableData(TTolvanCursor& Cursor) override {
    ++Made;
    auto Table = std::make_unique<TTestTableData>(*this, FakeIndexFactory());
    Table->SetName(Cursor.TableName());
    return Table;
  }
  TTolvanPageManager* PageManager() override { return Pages; }

  std::atomic<int> Made{0};
  std::vector<std::string> ClosedNames;
  bool FailClose = false;
  TTolvanPageManager* Pages = nullptr;

protected:
  void CloseTableData(TTolvanTableData& Table) override {
    ClosedNames.push_back(Table.TableName());
    static_cast<TTestTableData&>(Table).DropIndexesAndClose();
    if (FailClose)
      throw ETolvanException::Create(20097, "close failed");
  }
};

// A cursor naming a table.
struct TNamedCursor {
  explicit TNamedCursor(std::string_view Name) { Cursor.SetTableName(Name); }
  TTestCursor Cursor{nullptr, 0};
};

// Sets up a table the way a create does: one Integer column, no index.
void CreateIntegerTable(TTolvanTableData& Table) {
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
  AddField(Fields, "I", tftInteger);
  TTestCursor Maker(nullptr, 0);
  Maker.SetTableName(Table.TableName());
  Table.CreateTable(Maker, Fields, Indexes, Constraints);
}

TEST(DatabaseData, ObjectIDsRunOnAndMergeUpwards) {
  TTestDatabase D;
  EXPECT_EQ(D.NextObjectID(), 1);
  EXPECT_EQ(D.NextObjectID(), 2);
  D.MergeObjectIDValue(10);
  EXPECT_EQ(D.NextObjectID(), 11);
  D.MergeObjectIDValue(5);
  EXPECT_EQ(D.ObjectIDValue(), 11);
  // Beyond Int32: a range error that uses nothing up.
  D.MergeObjectIDValue(INT32_MAX);
  EXPECT_THROW(D.NextObjectID(), ERangeError);
  EXPECT_THROW(D.NextObjectID(), ERangeError);
  EXPECT_EQ(D.ObjectIDValue(), INT32_MAX);

  // Drawn from many threads, every id once.
  TTestDatabase Shared;
  std::vector<std::vector<int32_t>> Drawn(8);
  std::vector<std::thread> Threads;
  for (auto& Mine : Drawn)
    Threads.emplace_back([&Shared, &Mine] {
      for (int I = 0; I < 2000; ++I)
        Mine.push_back(Shared.NextObjectID());
    });
  for (auto& T : Threads)
    T.join();
  std::set<int32_t> All;
  for (const auto& Mine : Drawn)
    All.insert(Mine.begin(), Mine.end());
  EXPECT_EQ(All.size(), 16000u);
  EXPECT_EQ(*All.begin(), 1);
  EXPECT_EQ(*All.rbegin(), 16000);
}

TEST(DatabaseData, NamesThatShareAHashAreTwoTables) {
  ASSERT_EQ(NameHash(CollidingA), NameHash(CollidingB));
  TTestDatabase D;
  TNamedCursor A(CollidingA), B(CollidingB);
  bool Created = false;
  TTolvanTableData* TableA = D.GetTableData(A.Cursor, CreateIntegerTable, &Created);
  EXPECT_TRUE(Created);
  EXPECT_TRUE(D.TableExists(CollidingA));
  EXPECT_TRUE(D.TableExists(AnsiLowerCase(CollidingA)));
  EXPECT_FALSE(D.TableExists(CollidingB));
  EXPECT_EQ(D.FindTableData(B.Cursor), nullptr);
  TTolvanTableData* TableB = D.GetTableData(B.Cursor, CreateIntegerTable, &Created);
  EXPECT_TRUE(Created);
  EXPECT_NE(TableA, TableB);
  EXPECT_EQ(D.FindTableData(A.Cursor), TableA);
  EXPECT_EQ(D.FindTableData(B.Cursor), TableB);
  EXPECT_EQ(D.FindTableData(AnsiLowerCase(CollidingB)), TableB);
  EXPECT_EQ(D.GetTableData(B.Cursor, CreateIntegerTable, &Created), TableB);
  EXPECT_FALSE(Created);
  EXPECT_EQ(D.Made, 2);

  // Rename: onto the other name refused, onto its own in other letter case taken.
  const ETolvanException E = Raised([&] { D.RenameTableData(*TableA, CollidingB); });
  EXPECT_EQ(E.NativeError(), 11491);
  EXPECT_NE(std::string(E.what()).find("Cannot rename table '" + std::string(CollidingA) +
                                       "' to '" + std::string(CollidingB) + "'"),
            std::string::npos);
  EXPECT_EQ(TableA->TableName(), CollidingA);
  D.RenameTableData(*TableA, AnsiLowerCase(CollidingA));
  EXPECT_EQ(TableA->TableName(), AnsiLowerCase(CollidingA));
  D.RenameTableData(*TableA, "C");
  EXPECT_FALSE(D.TableExists(CollidingA));
  EXPECT_EQ(D.FindTableData("c"), TableA);
  EXPECT_EQ(D.FindTableData(CollidingB), TableB);

  TStringList Names;
  D.GetTableNames(Names);
  ASSERT_EQ(Names.Count(), 2);
  EXPECT_EQ(Names.Strings(0), "C");
  EXPECT_EQ(Names.Strings(1), CollidingB);
  EXPECT_FALSE(D.TableExists(""));
}

TEST(DatabaseData, AFailedCreationLeavesNothingRegistered) {
  TTestDatabase D;
  TNamedCursor T("T");
  bool Created = true;
  auto Failing = [](TTolvanTableData& Table) {
    CreateIntegerTable(Table);
    throw ETolvanException::Create(10025, "setup failed");
  };
  EXPECT_EQ(NativeCodeOf([&] { D.GetTableData(T.Cursor, Failing, &Created); }), 10025);
  EXPECT_FALSE(Created);
  EXPECT_EQ(D.TableCount(), 0);
  EXPECT_FALSE(D.TableExists("T"));
  // Registering a second table of one name is refused, and the newcomer destroyed.
  TTolvanTableData* First = D.GetTableData(T.Cursor, CreateIntegerTable);
  auto Second = std::make_unique<TTestTableData>(D, FakeIndexFactory());
  Second->SetName("t");
  EXPECT_EQ(NativeCodeOf([&] { D.AddTable(std::move(Second)); }), 30247);
  EXPECT_EQ(D.TableCount(), 1);
  // Removal hands the table back.
  std::unique_ptr<TTolvanTableData> Removed = D.RemoveTable(*First);
  EXPECT_EQ(Removed.get(), First);
  EXPECT_EQ(D.RemoveTable(*First), nullptr);
  EXPECT_EQ(D.TableCount(), 0);
  static_cast<TTestTableData&>(*Removed).DropIndexesAndClose();
}

TEST(DatabaseData, OneTableForManyThreadsOpeningOneName) {
  TTestDatabase D;
  std::atomic<int> SetUps{0};
  std::atomic<int> IncompleteSeen{0};
  std::vector<TTolvanTableData*> Got(8, nullptr);
  std::vector<std::thread> Threads;
  for (int I = 0; I < 8; ++I)
    Threads.emplace_back([&, I] {
      TNamedCursor C(I % 2 ? "Orders" : "ORDERS");
      for (int Round = 0; Round < 50; ++Round) {
        if (TTolvanTableData* Seen = D.FindTableData(C.Cursor))
          if (!Seen->RecordManager())
            ++IncompleteSeen;
      }
      Got[size_t(I)] = D.GetTableData(C.Cursor, [&](TTolvanTableData& Table) {
        ++SetUps;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        CreateIntegerTable(Table);
      });
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(SetUps, 1);
  EXPECT_EQ(D.Made, 1);
  EXPECT_EQ(IncompleteSeen, 0);
  for (TTolvanTableData* T : Got) {
    EXPECT_EQ(T, Got[0]);
    EXPECT_NE(T->RecordManager(), nullptr);
  }
  EXPECT_EQ(D.TableCount(), 1);
}

TEST(DatabaseData, SessionsAndTheGrantingDefaults) {
  TTestDatabase D;
  TTestSession S1(1), S2(2);
  D.AttachSession(S1);
  D.AttachSession(S1);
  D.AttachSession(S2);
  EXPECT_EQ(D.SessionCount(), 2);
  D.DetachSession(S1);
  D.DetachSession(S1);
  EXPECT_EQ(D.SessionCount(), 1);
  EXPECT_EQ(D.Sessions().front(), &S2);
  D.DetachSession(S2);
  EXPECT_EQ(D.SessionCount(), 0);

  std::vector<TTolvanTableLockRecord> Locks;
  D.GetSessionTableLocks(1, Locks);
  EXPECT_TRUE(Locks.empty());
  TTolvanTableLockCounters Counters;
  Counters.Counters[3] = 4;
  EXPECT_TRUE(D.LockTable("T", 1, tlmExclusive, Counters));
  EXPECT_TRUE(D.UnlockTable("T", 1, Counters));
  EXPECT_EQ(Counters.Counters[3], 4);
  EXPECT_FALSE(Counters.Flag);
}

TEST(DatabaseData, FreeAllTablesClosesEachAndDropsFailures) {
  TTestDatabase D;
  for (const char* Name : {"A", "B", "C"}) {
    TNamedCursor C(Name);
    D.GetTableData(C.Cursor, CreateIntegerTable);
  }
  D.FailClose = true;
  D.FreeAllTables();
  EXPECT_EQ(D.TableCount(), 0);
  EXPECT_EQ(D.ClosedNames, (std::vector<std::string>{"C", "B", "A"}));
}

TEST(DatabaseData, ClearingThePageCacheReachesTheDatabasesPageManager) {
  TTestDatabase D;
  ClearDatabasePageCache(D); // none: nothing to do
  TTolvanMemoryPageManager Store;
  NewFilledPage(Store, 1, 7);
  Store.Commit(1);
  ASSERT_EQ(Store.Cache().Count(), 1);
  D.Pages = &Store;
  ClearDatabasePageCache(D);
  EXPECT_EQ(Store.Cache().Count(), 0);
}

// --- the registry -------------------------------------------------------------------------------

// Registers an engine for the life of the scope, then restores what was there.
class TScopedEngine {
public:
  TScopedEngine(std::string_view Name, bool InMemory, bool Temporary) : FName(Name) {
    FPrevious = RegisterDatabaseEngine(Name, [InMemory, Temporary] {
      return std::make_unique<TTestDatabase>(InMemory, Temporary);
    });
  }
  ~TScopedEngine() { RegisterDatabaseEngine(FName, std::move(FPrevious)); }

private:
  std::string FName;
  TTolvanDatabaseFactory FPrevious;
};

TEST(DatabaseRegistry, LookupsByKindNameAndFile) {
  TScopedEngine Memory("TESTMEMORY", true, false);
  TScopedEngine Temp("TESTTEMP", false, true);
  TScopedEngine Disk("TESTDISK", false, false);
  TTolvanDatabaseRegistry R;
  TTolvanDatabaseData* M = R.Create("testmemory", "Shop");
  TTolvanDatabaseData* T = R.Create("TESTTEMP", "Shop");
  TTolvanDatabaseData* F = R.Create("TESTDISK", "Files");
  F->SetFileName(u"/data/shop.db");
  TTolvanDatabaseData* CA = R.Create("TESTMEMORY", CollidingA);
  TTolvanDatabaseData* CB = R.Create("TESTMEMORY", CollidingB);
  EXPECT_EQ(M->DatabaseName(), "Shop");
  EXPECT_EQ(M->FileName(), u"Shop");

  struct TCase {
    bool InMemory, Temporary;
    std::string_view Name;
    std::u16string_view File;
    TTolvanDatabaseData* Expected;
  };
  const TCase Cases[] = {
      {true, false, "shop", u"", M},      // in-memory name ignores the temporary one
      {false, true, "SHOP", u"", T},      // and the other way round
      {true, true, "Shop", u"", nullptr}, // both flags: nothing
      {false, false, "Shop", u"", M},     // neither, no file: the first by name
      {false, false, "x", u"/DATA/SHOP.DB", F},
      {false, false, "Shop", u"/data/other.db", nullptr},
      {true, false, "Files", u"", nullptr}, // not in memory
      {false, false, "files", u"", F},
      {true, false, CollidingA, u"", CA},
      {true, false, CollidingB, u"", CB},
      {true, false, "Nope", u"", nullptr},
  };
  for (const TCase& C : Cases)
    EXPECT_EQ(R.Find(C.InMemory, C.Temporary, C.Name, C.File), C.Expected)
        << C.Name << " " << C.InMemory << C.Temporary;

  EXPECT_THROW(R.Create("NOSUCHENGINE", "X"), EDatabaseError);
  EXPECT_EQ(R.Count(), 5);
  EXPECT_EQ(R.Items(1), T);
  EXPECT_THROW(R.Items(5), EListError);
}

TEST(DatabaseRegistry, FindOrCreateMakesOneDatabaseForManyThreads) {
  TScopedEngine Memory("TESTMEMORY", true, false);
  TTolvanDatabaseRegistry R;
  std::atomic<int> Made{0};
  std::vector<TTolvanDatabaseData*> Got(8, nullptr);
  std::vector<std::thread> Threads;
  for (int I = 0; I < 8; ++I)
    Threads.emplace_back([&, I] {
      bool Created = false;
      Got[size_t(I)] =
          R.FindOrCreate("TESTMEMORY", true, false, I % 2 ? "shared" : "SHARED", u"", &Created);
      if (Created)
        ++Made;
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Made, 1);
  EXPECT_EQ(R.Count(), 1);
  for (TTolvanDatabaseData* D : Got)
    EXPECT_EQ(D, Got[0]);
}

TEST(DatabaseRegistry, AttachedSessionsKeepADatabase) {
  TScopedEngine Memory("TESTMEMORY", true, false);
  TTolvanDatabaseRegistry R;
  TTolvanDatabaseData* D = R.Create("TESTMEMORY", "Busy");
  TNamedCursor C("T");
  D->GetTableData(C.Cursor, CreateIntegerTable);
  TTestSession S(0);
  D->AttachSession(S);
  const ETolvanException E = Raised([&] { R.Free(*D); });
  EXPECT_EQ(E.NativeError(), 11747);
  EXPECT_NE(std::string(E.what()).find("Error - database 'Busy' is used by other sessions"),
            std::string::npos);
  EXPECT_EQ(R.Count(), 1);
  D->DetachSession(S);
  R.Free(*D);
  EXPECT_EQ(R.Count(), 0);
}

TEST(DatabaseRegistry, StartupMakesTheStandingDatabasesOfRegisteredEngines) {
  ASSERT_FALSE(StorageStarted());
  EXPECT_EQ(FindDatabaseData(true, false, "MEMORY", u""), nullptr);
  EXPECT_THROW(DatabaseRegistry(), EDatabaseError);
  {
    TScopedEngine Memory(MemoryDatabaseName, true, false);
    StorageStartup();
    StorageStartup(); // once only
    ASSERT_TRUE(StorageStarted());
    EXPECT_EQ(DatabaseRegistry().Count(), 2); // and the built-in "TEMP"
    EXPECT_NE(FindDatabaseData(false, true, "temp", u""), nullptr);
    TTolvanDatabaseData* M = FindDatabaseData(true, false, "memory", u"");
    ASSERT_NE(M, nullptr);
    EXPECT_EQ(M->DatabaseName(), "MEMORY");
    EXPECT_EQ(FindDatabaseData(false, true, "MEMORY", u""), nullptr);
    // Another in-memory database, made by the same engine and found by its name.
    TTolvanDatabaseData* Other =
        DatabaseRegistry().FindOrCreate(MemoryDatabaseName, true, false, "Scratch", u"");
    EXPECT_NE(Other, M);
    EXPECT_EQ(FindDatabaseData(true, false, "scratch", u""), Other);
    StorageShutdown();
  }
  EXPECT_FALSE(StorageStarted());
  EXPECT_EQ(FindDatabaseData(true, false, "MEMORY", u""), nullptr);
  StorageShutdown(); // nothing to free
}

} // namespace
