// The storage engine under release 3.90: memory streams and record stores without spare room,
// table streams read and written across the releases, shared session numbers, how a session
// finds its database, the refused database streams and the design-state close.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanRelease.h"
#include "foundation/TolvanStreams.h"
#include "release390/TolvanRelease390.h"
#include "tests/release390/support/ReleaseScope.h"
#include "tests/storage/LocalStorageTestSupport.h"
#include "tests/storage/MemoryModelTestSupport.h"
#include "tests/storage/MemoryThreadsTestSupport.h"
#include "tests/storage/StreamTableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr TTolvanReleaseId R390 = TTolvanReleaseId::tr390;

// Fixtures that must be made under 3.90 (their sessions attach when they are made) derive from
// this first, so the scope outlives them.
struct TRelease390First {
  TReleaseScope Scope{R390, false};
};

// --- memory streams ----------------------------------------------------------------------------

TEST(MemoryStream390, TheBlockIsExactlyTheSizeAfterEveryWrite) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    SCOPED_TRACE(Release().Name);
    TTolvanMemoryStream S;
    std::set<int64_t> Capacities;
    for (int32_t I = 0; I < 3000; ++I) {
      const uint8_t Byte = uint8_t(I * 7);
      ASSERT_EQ(S.Write(&Byte, 1), 1);
      Capacities.insert(S.Capacity());
      if (Id == R390) {
        ASSERT_EQ(S.Capacity(), S.GetSize()) << I;
        ASSERT_EQ(TTolvanMemoryManager::GetMemSize(S.Memory()), I + 1) << I;
      }
    }
    if (Id == R390)
      EXPECT_EQ(Capacities.size(), 3000u);
    else
      EXPECT_EQ(Capacities, (std::set<int64_t>{1024, 2048, 3072}));
    // What the stream gains without a write reads zero: a seek gap, and a shrink then a growth
    // over bytes that held data.
    S.Seek(5000, soBeginning);
    const uint8_t One = 1;
    S.Write(&One, 1);
    S.SetSize(100);
    S.SetSize(6000);
    for (int64_t I = 0; I < 6000; ++I) {
      const uint8_t Want = I < 100 ? uint8_t(I * 7) : 0;
      ASSERT_EQ(S.Memory()[I], Want) << I;
    }
    // Reserve keeps no room under 3.90.
    S.Reserve(10000);
    EXPECT_EQ(S.Capacity(), Id == R390 ? 6000 : 10000);
    S.SetSize(0);
    EXPECT_EQ(S.Memory(), nullptr);
    EXPECT_EQ(S.Position(), 0);
  }
}

TEST(MemoryStream390, ASizeBeyondInt32IsARangeErrorThatChangesNothing) {
  TReleaseScope Scope(R390, false);
  TTolvanMemoryStream S;
  S.Write("abc", 3);
  S.Seek(1, soBeginning);
  EXPECT_THROW(S.SetSize(int64_t(INT32_MAX) + 1), ERangeError);
  S.Seek(int64_t(INT32_MAX), soBeginning);
  EXPECT_THROW(S.Write("x", 1), ERangeError);
  EXPECT_EQ(S.GetSize(), 3);
  EXPECT_EQ(S.Capacity(), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(S.Memory()), 3), "abc");
}

// --- memory record stores ----------------------------------------------------------------------

TEST(RecordStore390, GrowsByAllocBySlotsAndAlwaysHoldsTheNewRecord) {
  struct TCase {
    int32_t AllocBy;
    int32_t Inserts;
  };
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    SCOPED_TRACE(Release().Name);
    {
      TStreamTable T(false, 1000);
      for (int32_t I = 0; I < 1000; ++I)
        T.Insert(I, "n");
      EXPECT_EQ(T.Records->Capacity(), 1000);
      T.Insert(1000, "n");
      if (Id == R390)
        EXPECT_EQ(T.Records->Capacity(), 2000);
      else
        EXPECT_NE(T.Records->Capacity(), 2000);
    }
    // A step that cannot hold the new record still makes room for it; the records read back.
    for (const TCase& C : {TCase{0, 100}, TCase{-5, 100}, TCase{1, 40}}) {
      SCOPED_TRACE(C.AllocBy);
      TStreamTable T(false, C.AllocBy);
      for (int32_t I = 0; I < C.Inserts; ++I)
        ASSERT_EQ(T.Insert(I, "n"), I);
      EXPECT_EQ(T.Records->RecordCount(), C.Inserts);
      EXPECT_GE(T.Records->Capacity(), C.Inserts);
      for (int32_t I = 0; I < C.Inserts; ++I) {
        int32_t Stored = -1;
        GetFieldData(0, T.F.Fields(), &Stored,
                     T.Records->RecordBlock() + int64_t(I) * T.Records->RecordSize());
        ASSERT_EQ(Stored, I);
      }
    }
    // A store the memory manager cannot give refuses the insert, as in 4.00.
    TStreamTable Huge(false, INT32_MAX);
    Huge.F.ClearRecord(*Huge.F.Cursor);
    TTolvanRecordID RID{};
    EXPECT_FALSE(Huge.Records->InsertRecord(Huge.F.Cursor->Record(), RID, -1));
    EXPECT_EQ(Huge.Records->Capacity(), 0);
  }
}

// --- table streams across the releases ---------------------------------------------------------

TBytes StorageFixture(const char* Name) {
  const std::string Path = std::string(TOLVAN_STORAGE_FIXTURES) + "/" + Name;
  std::ifstream In(Path, std::ios::binary);
  EXPECT_TRUE(In) << Path;
  return TBytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

const TBytes Version390 = {0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x0F, 0x40};

// The fixture was saved by 4.00 from a store grown to 36 slots; a 3.90 store that starts with 36
// slots and holds fewer records writes the same bytes but for the version.
TEST(TableStream390, A390SaveDiffersFromTheFixtureOnlyInItsVersion) {
  const TBytes Fixture = StorageFixture("small_table.acs");
  ASSERT_GT(Fixture.size(), 12u);
  TBytes Saved;
  {
    TReleaseScope Scope(R390, false);
    TStreamTable T(true, 36);
    T.Fill();
    Saved = T.Save(caNone, 0, 77);
  }
  ASSERT_EQ(Saved.size(), Fixture.size());
  EXPECT_EQ(TBytes(Saved.begin() + 4, Saved.begin() + 12), Version390);
  TBytes Patched = Saved;
  std::copy(Fixture.begin() + 4, Fixture.begin() + 12, Patched.begin() + 4);
  EXPECT_EQ(Patched, Fixture);
  // 4.00 reads it.
  TStreamTable T;
  auto L = Load(T.F.Table, Saved);
  ExpectConsistent(*L);
  EXPECT_EQ(L->Records->RecordCount(), 6);
}

TEST(TableStream390, VersionsAReleaseOf390Reads) {
  TReleaseScope Scope(R390, false);
  TStreamTable T(false);
  T.Insert(1, "a");
  const TBytes Good = T.Save();
  struct TCase {
    const char* Name;
    double Version;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"3.9001", 3.9001, 0},
      {"1.020001", 1.020001, 0},
      {"4.0", 4.0, ErrTableVersionTooHigh},
      {"3.90011", 3.90011, ErrTableVersionTooHigh},
      {"NaN", std::numeric_limits<double>::quiet_NaN(), ErrTableVersionTooHigh},
      {"1.0", 1.0, ErrTableVersionBelow10001},
      {"1.01", 1.01, ErrTableVersionBelow101},
      {"1.02", 1.02, ErrTableVersionBelow102},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBytes B = Good;
    StoreLE<double>(B.data() + 4, C.Version);
    const TRaised R = RaisedBy([&] { Load(T.F.Table, B); });
    EXPECT_EQ(R.Code, C.Code);
    if (C.Code) {
      EXPECT_NE(R.Message.find(". Should be 3.900000"), std::string::npos) << R.Message;
    }
  }
}

// A memory table with five indexes and BLOB values saved by one release and loaded by the other.
class CrossReleaseStreams : public MemoryStreams {};

TEST_F(CrossReleaseStreams, ReleaseFourReadsThreeNineAndThreeNineRefusesFour) {
  const TBytes Saved400 = Save(caNone);
  TBytes Saved390;
  std::vector<std::string> Walks390;
  {
    TReleaseScope Scope(R390, false);
    // The table as 3.90 leaves it: one more record, and an empty table refuses nothing.
    F.Table->AttachCursor(*F.Cursor);
    TRow Row(500, 3, "late", 7);
    Row.B[0] = std::string(300, 'z');
    Fill(*F.Cursor, Row);
    ASSERT_TRUE(Post(*F.Cursor, true));
    F.Table->SetBlobMarks(false, *F.Cursor);
    F.Table->DetachCursor(*F.Cursor);
    Walks390 = Walks();
    TTolvanMemoryStream S;
    F.Table->SaveToStream(S, caNone, 6, 0, false);
    EXPECT_EQ(S.Capacity(), S.GetSize());
    Saved390.assign(S.Memory(), S.Memory() + S.GetSize());
    ASSERT_GT(Saved390.size(), 12u);
    EXPECT_EQ(TBytes(Saved390.begin() + 4, Saved390.begin() + 12), Version390);

    const TRaised R = RaisedBy([&] { Load(Saved400); });
    EXPECT_EQ(R.Code, ErrTableVersionTooHigh);
    EXPECT_EQ(R.Message, EngineMessage("Invalid version number = 4.000000. Should be 3.900000",
                                       ErrTableVersionTooHigh));
    EXPECT_EQ(Walks(), Walks390) << "the refused load changed the table";
    EXPECT_EQ(F.TableFaults(), "");
  }
  Load(Saved400);
  ASSERT_NE(Walks(), Walks390);
  Load(Saved390); // checks every index against the records on the way in
  EXPECT_EQ(Walks(), Walks390);
  EXPECT_EQ(F.TableFaults(), "");
  EXPECT_EQ(F.Table->GetTotalRecordCount(), 33);
}

// --- the memory engine's runs under shared session numbers ------------------------------------

class MemoryModel390 : public TRelease390First, public MemoryModel {};

TEST_F(MemoryModel390, RandomWritesOfTwoSessionsNumberedZero) {
  EXPECT_EQ(F.Session.SessionID(), 0);
  EXPECT_EQ(F.Session2.SessionID(), 0);
  Run(300);
  EXPECT_GT(Model.size(), 10u);
}

TEST(MemoryTableThreads390, WritersOfDistinctKeysAndReadersAgreeAtTheEnd) {
  TReleaseScope Scope(R390, false);
  RunMemoryTableThreads();
}

// --- sessions and their databases --------------------------------------------------------------

TEST(Session390, EverySessionOfAMemoryDatabaseIsNumberedZero) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    TLocalStorage Storage;
    auto A = TLocalStorage::Connected("MEMORY");
    auto B = TLocalStorage::Connected("MEMORY");
    if (Id == R390) {
      EXPECT_EQ(A->SessionID(), 0);
      EXPECT_EQ(B->SessionID(), 0);
    } else {
      EXPECT_NE(A->SessionID(), B->SessionID());
    }
    // Writes of both sessions to one table keep store and indexes in step.
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Name", tftVarchar, 10);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByName", {"Name"});
    TOpenCursor CA(*A, "T");
    CA.Open(&Fields, &Indexes);
    TOpenCursor CB(*B, "T");
    CB.Open();
    for (int32_t I = 0; I < 20; ++I)
      ASSERT_EQ((I % 2 ? CA : CB).Insert(I, std::string(1, char('a' + (I * 7) % 26))), 0);
    EXPECT_EQ(CA.Walk().size(), 20u);
    EXPECT_EQ(MemoryTableFaults(*static_cast<TTolvanMemoryTableData*>(CA.Cursor.TableData()), 0),
              "");
  }
}

TEST(Session390, FindsOnlyTheStandingDatabasesAndThoseNamedLikeItsFile) {
  TReleaseScope Scope(R390, false);
  TLocalStorage Storage;
  struct TCase {
    const char* DatabaseName;
    const char* FileName;
    const char* Found; // nil: none, the connection raises and registers nothing
  };
  const TCase Cases[] = {
      {"MEMORY", "", "MEMORY"}, {"memory", "", nullptr},        {"TEMP", "", "TEMP"},
      {"Temp", "", nullptr},    {"memory", "memory", "MEMORY"}, {"x", "Temp", "TEMP"},
      {"Other", "", nullptr},   {"Other", "nowhere", nullptr},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::string(C.DatabaseName) + "/" + C.FileName);
    TTolvanLocalSession S;
    S.SetDatabaseName(C.DatabaseName);
    S.SetFileName(C.FileName);
    S.SetInMemory(true); // 3.90 has no in-memory flag on the session: it changes nothing
    const int32_t Before = DatabaseRegistry().Count();
    if (C.Found) {
      S.SetConnected(true);
      ASSERT_TRUE(S.Database());
      EXPECT_EQ(S.Database()->DatabaseName(), C.Found);
      S.SetConnected(false);
    } else {
      const TRaised R = RaisedBy([&] { S.SetConnected(true); });
      EXPECT_EQ(R.Code, ErrDatabaseNotFound) << R.Message;
      EXPECT_FALSE(S.IsConnected());
      EXPECT_EQ(RaisedBy([&] { S.CreateDatabase(); }).Code, ErrDatabaseNotFound);
      EXPECT_EQ(RaisedBy([&] { S.TableExists("T"); }).Code, ErrDatabaseNotFound);
    }
    EXPECT_EQ(DatabaseRegistry().Count(), Before);
  }
}

TEST(Session390, DatabaseExistsAsksForTheFile) {
  const std::string Real = ::testing::TempDir() + "tolvan_session390_exists.dat";
  std::ofstream(Real) << "x";
  const std::string Missing = ::testing::TempDir() + "tolvan_session390_missing.dat";
  std::remove(Missing.c_str());
  const auto Wide = [](const std::string& Narrow) {
    return WideString(Narrow.begin(), Narrow.end());
  };
  struct TCase {
    const char* Name;
    std::string Narrow;
    WideString WideName;
    bool Exists;
  };
  const TCase Cases[] = {
      {"narrow real", Real, {}, true},
      {"narrow missing", Missing, {}, false},
      {"wide real", Missing, Wide(Real), true},
      {"wide missing", Real, Wide(Missing), false},
      {"no file", "", {}, false},
  };
  TReleaseScope Scope(R390, false);
  TLocalStorage Storage;
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTolvanLocalSession S;
    S.SetDatabaseName("MEMORY"); // the in-memory answer of 4.00 does not occur
    S.SetInMemory(true);
    S.SetFileName(C.Narrow);
    S.SetWideFileName(C.WideName);
    EXPECT_EQ(S.DatabaseExists(), C.Exists);
  }
  std::remove(Real.c_str());
}

TEST(Session390, DatabaseStreamsAreRefused) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    TLocalStorage Storage;
    auto S = TLocalStorage::Connected("MEMORY");
    TTolvanMemoryStream Stream;
    const TRaised Save = RaisedBy([&] { S->SaveDatabaseToStream(Stream); });
    Stream.Seek(0, soBeginning);
    const TRaised Load = RaisedBy([&] { S->LoadDatabaseFromStream(Stream); });
    if (Id == R390) {
      EXPECT_EQ(Save.Message,
                EngineMessage("Operation 'SaveDatabaseToStream' is not available in release 3.90",
                              ErrNotInRelease));
      EXPECT_EQ(Load.Message,
                EngineMessage("Operation 'LoadDatabaseFromStream' is not available in release 3.90",
                              ErrNotInRelease));
      EXPECT_EQ(Stream.GetSize(), 0);
    } else {
      EXPECT_EQ(Save.Code, 0) << Save.Message;
      EXPECT_EQ(Load.Code, 0) << Load.Message;
    }
  }
}

TEST(Session390, AMissingInstallRaisesAndNeverFallsBack) {
  TReleaseScope Scope(R390, false);
  struct TReinstall {
    ~TReinstall() { InstallRelease390(); }
  } Reinstall;
  UninstallRelease390();
  TLocalStorage Storage;
  auto S = TLocalStorage::Session("MEMORY");
  const TRaised R = RaisedBy([&] { S->SetConnected(true); });
  EXPECT_EQ(R.Code, ErrReleaseSlotEmpty);
  EXPECT_NE(R.Message.find("'SessionDatabases'"), std::string::npos) << R.Message;
  EXPECT_FALSE(S->IsConnected());
  InstallRelease390();
  S->SetConnected(true);
  EXPECT_EQ(S->SessionID(), 0);
}

// --- tables: destruction, failed creation, the design-state close ------------------------------

void DefineIDTable(TTolvanFieldDefs& Fields, TTolvanIndexDefs& Indexes,
                   TTolvanConstraintDefs& Constraints) {
  AddField(Fields, "ID", tftInteger);
  AddField(Fields, "PID", tftInteger);
  AddIndexDef(Indexes, "PK", {"ID"}, true).SetPrimary(1);
  auto& Primary = Constraints.AddPrimary();
  Primary.SetName("PK");
  Primary.Index().SetName("PK");
  Primary.Columns().emplace_back("ID", 0);
}

TEST(MemoryTables390, AForcedDeleteOfATableReferencedOnDeleteCascadeCompletes) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    SCOPED_TRACE(Release().Name);
    TLocalStorage Storage;
    auto S = TLocalStorage::Connected("MEMORY");
    TTolvanDatabaseData& Db = *S->Database();
    {
      TTolvanFieldDefs Fields;
      TTolvanIndexDefs Indexes;
      TTolvanConstraintDefs Constraints;
      DefineIDTable(Fields, Indexes, Constraints);
      TOpenCursor Parent(*S, "P");
      Parent.Open(&Fields, &Indexes, &Constraints);
      for (int32_t I = 1; I <= 3; ++I)
        ASSERT_EQ(Parent.Insert(I), 0);
    }
    {
      TTolvanFieldDefs Fields;
      TTolvanIndexDefs Indexes;
      TTolvanConstraintDefs Constraints;
      DefineIDTable(Fields, Indexes, Constraints);
      auto& Key = Constraints.AddForeignKey();
      Key.SetName("FK_P");
      Key.Table().SetName("P");
      Key.Columns().emplace_back("PID", 0);
      Key.SetOnDelete(tfaCascade);
      TOpenCursor Child(*S, "C");
      Child.Open(&Fields, &Indexes, &Constraints);
      for (int32_t I = 1; I <= 3; ++I) {
        Child.NewRecord();
        Child.SetInteger(0, 10 + I);
        Child.SetInteger(1, I);
        Child.Cursor.PostRecord(true);
        ASSERT_EQ(Child.Cursor.LastErrorCode(), 0);
      }
    }
    ASSERT_TRUE(Db.FindTableData("P"));
    TTolvanLocalCursor Deleter;
    Deleter.SetSession(S.get());
    Deleter.SetTableName("P");
    Deleter.SetInMemory(true);
    Deleter.DeleteTable(true);
    EXPECT_FALSE(Db.FindTableData("P"));
    TOpenCursor Child(*S, "C");
    Child.Open();
    EXPECT_EQ(Child.Walk().size(), 3u);
  }
}

TEST(MemoryTables390, AFailedAutomaticCreationLeavesNothingAndAValidOpenCreates) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    SCOPED_TRACE(Release().Name);
    TLocalStorage Storage;
    auto S = TLocalStorage::Connected("MEMORY");
    {
      TOpenCursor Bad(*S, "N");
      EXPECT_EQ(RaisedBy([&] { Bad.Open(); }).Code, ErrCreateTableNoFields);
    }
    EXPECT_FALSE(S->Database()->FindTableData("N"));
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    TOpenCursor Good(*S, "N");
    Good.Open(&Fields);
    ASSERT_EQ(Good.Insert(7), 0);
    EXPECT_EQ(Good.Walk(), std::vector<int32_t>{7});
  }
}

TEST(MemoryTables390, ClosingTheLastDesignStateCursorDeletesItsTableUnder390Only) {
  for (TTolvanReleaseId Id : BothReleases) {
    TReleaseScope Scope(Id, false);
    SCOPED_TRACE(Release().Name);
    TLocalStorage Storage;
    auto S = TLocalStorage::Connected("MEMORY");
    TTolvanDatabaseData& Db = *S->Database();
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    TOpenCursor Design(*S, "D");
    Design.Cursor.SetDesignState(true);
    Design.Open(&Fields);
    ASSERT_EQ(Design.Insert(1), 0);
    TOpenCursor Plain(*S, "D");
    Plain.Open();
    TOpenCursor Other(*S, "Kept");
    Other.Cursor.SetDesignState(true);
    Other.Cursor.SetInMemory(false); // found, not made: the close leaves it
    {
      TOpenCursor Maker(*S, "Kept");
      Maker.Open(&Fields);
    }
    Other.Open();

    // Another cursor remains: never deleted.
    EXPECT_NO_THROW(Design.Cursor.CloseTable());
    EXPECT_TRUE(Db.FindTableData("D"));
    Design.Cursor.OpenTable(nullptr, nullptr, nullptr);
    Plain.Cursor.CloseTable();
    EXPECT_NO_THROW(Design.Cursor.CloseTable());
    EXPECT_EQ(Db.FindTableData("D") == nullptr, Id == R390);
    Other.Cursor.CloseTable();
    EXPECT_TRUE(Db.FindTableData("Kept"));
  }
}

} // namespace
