#include "storage/memory/TolvanMemoryEngine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanBlobBlocks.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/FakeIndex.h"
#include "tests/storage/MemoryEngineTestSupport.h"
#include "tests/storage/MemoryModelTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

int32_t CodeOf(const std::function<void()>& Run) {
  try {
    Run();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  }
  return 0;
}

// --- the database --------------------------------------------------------------------------

TEST(MemoryDatabase, SessionsAreNumberedFromZeroAndNeverReused) {
  TTolvanMemoryDatabaseData Db;
  EXPECT_TRUE(Db.InMemory());
  EXPECT_FALSE(Db.Temporary());
  EXPECT_EQ(Db.LastSessionID(), -1);
  TTestSession A(-7), B(-7), C(-7);
  Db.AttachSession(A);
  Db.AttachSession(B);
  EXPECT_EQ(A.SessionID(), 0);
  EXPECT_EQ(B.SessionID(), 1);
  Db.AttachSession(A); // attached already: keeps its number
  EXPECT_EQ(A.SessionID(), 0);
  Db.DetachSession(B);
  Db.AttachSession(C);
  EXPECT_EQ(C.SessionID(), 2);
  EXPECT_EQ(Db.SessionCount(), 2);
  Db.DetachSession(A);
  Db.DetachSession(C);
}

TEST(MemoryDatabase, StartupMakesTheStandingMemoryDatabase) {
  ASSERT_FALSE(StorageStarted());
  StorageStartup();
  TTolvanDatabaseData* M = FindDatabaseData(true, false, "MEMORY", u"");
  ASSERT_NE(M, nullptr);
  EXPECT_NE(dynamic_cast<TTolvanMemoryDatabaseData*>(M), nullptr);
  // Further in-memory databases come from the same engine.
  TTolvanDatabaseData* Other =
      DatabaseRegistry().FindOrCreate(MemoryDatabaseName, true, false, "Other", u"");
  EXPECT_NE(dynamic_cast<TTolvanMemoryDatabaseData*>(Other), nullptr);
  StorageShutdown();
}

class MemoryTables : public ::testing::Test {
protected:
  // Creates a table of one Integer column "ID" (or none) under Name; the code it raised, 0 if
  // none.
  int32_t
  CreateTable(std::string_view Name, bool WithFields = true,
              std::function<void(TTolvanFieldDefs&, TTolvanIndexDefs&, TTolvanConstraintDefs&)>
                  Adjust = {}) {
    TTolvanFieldDefs Fields;
    if (WithFields)
      AddField(Fields, "ID", tftInteger);
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    if (Adjust)
      Adjust(Fields, Indexes, Constraints);
    TTestCursor Maker(&Session, 0);
    Maker.SetTableName(Name);
    return CodeOf([&] {
      Db.GetTableData(
          Maker, [&](TTolvanTableData& T) { T.CreateTable(Maker, Fields, Indexes, Constraints); });
    });
  }

  void SetUp() override { Db.AttachSession(Session); }
  void TearDown() override { Db.DetachSession(Session); }

  TTolvanMemoryDatabaseData Db;
  TTestSession Session{-1};
};

TEST_F(MemoryTables, CreationChecksTheDefinitionsAndRegistersNothingOnFailure) {
  using TAdjust = std::function<void(TTolvanFieldDefs&, TTolvanIndexDefs&, TTolvanConstraintDefs&)>;
  struct TCase {
    const char* What;
    bool WithFields;
    TAdjust Adjust;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"no fields", false, {}, ErrCreateTableNoFields},
      {"unnamed field", true, [](auto& F, auto&, auto&) { AddField(F, "", tftInteger); },
       ErrCreateTableUnnamedField},
      {"duplicate field", true, [](auto& F, auto&, auto&) { AddField(F, "id", tftInteger); },
       ErrCreateTableDuplicateField},
      {"unnamed index", true, [](auto&, auto& I, auto&) { AddIndexDef(I, "", {"ID"}); },
       ErrCreateTableUnnamedIndex},
      {"index without columns", true, [](auto&, auto& I, auto&) { AddIndexDef(I, "X", {}); },
       ErrCreateTableIndexWithoutFields},
      {"duplicate index", true,
       [](auto&, auto& I, auto&) {
         AddIndexDef(I, "X", {"ID"});
         AddIndexDef(I, "x", {"ID"});
       },
       ErrCreateTableDuplicateIndex},
      {"two primary indexes", true,
       [](auto&, auto& I, auto&) {
         AddIndexDef(I, "X", {"ID"}).SetPrimary(1);
         AddIndexDef(I, "Y", {"ID"}).SetPrimary(1);
       },
       ErrCreateTableMultiplePrimary},
      {"duplicate constraint", true,
       [](auto&, auto&, auto& C) {
         C.AddNotNull().SetName("N");
         C.AddNotNull().SetName("n");
       },
       ErrCreateTableDuplicateConstraint},
  };
  for (const TCase& Case : Cases) {
    EXPECT_EQ(CreateTable("T", Case.WithFields, Case.Adjust), Case.Code) << Case.What;
    EXPECT_EQ(Db.TableCount(), 0) << Case.What;
  }
  EXPECT_EQ(CreateTable("T"), 0);
  EXPECT_EQ(Db.TableCount(), 1);
  EXPECT_TRUE(Db.TableExists("t"));
}

TEST_F(MemoryTables, NamesRenamesAndLetterCase) {
  ASSERT_EQ(CreateTable("Alpha"), 0);
  ASSERT_EQ(CreateTable("Beta"), 0);
  TTolvanTableData* Alpha = Db.FindTableData("ALPHA");
  ASSERT_NE(Alpha, nullptr);
  // Another table's name is refused, whatever its letter case; the table's own in another case
  // is taken.
  EXPECT_EQ(CodeOf([&] { Alpha->RenameTable(nullptr, "BETA"); }), ErrRenameTableExists);
  EXPECT_EQ(Alpha->TableName(), "Alpha");
  Alpha->RenameTable(nullptr, "ALPHA");
  EXPECT_EQ(Alpha->TableName(), "ALPHA");
  Alpha->RenameTable(nullptr, "Gamma");
  EXPECT_EQ(Db.FindTableData("gamma"), Alpha);
  EXPECT_FALSE(Db.TableExists("Alpha"));
  // The latest cursor's letter case.
  TTestCursor C(&Session, Alpha->RecordSize() + RecordTrailerSize);
  C.SetTableName("gAMMA");
  Alpha->AttachCursor(C);
  EXPECT_EQ(Alpha->TableName(), "gAMMA");
  Alpha->DetachCursor(C);
}

TEST_F(MemoryTables, AutoIncValuesCheckTheFieldNumber) {
  ASSERT_EQ(CreateTable("A", true, [](auto& F, auto&, auto&) { AddField(F, "N", tftAutoInc); }), 0);
  TTolvanTableData& T = *Db.FindTableData("A");
  TTestCursor C(&Session, T.RecordSize() + RecordTrailerSize);
  EXPECT_EQ(CodeOf([&] { T.GetAutoIncValue(2, &Session); }), ErrGetAutoIncFieldNo);
  EXPECT_EQ(CodeOf([&] { T.SetAutoIncValue(2, C, 5); }), ErrSetAutoIncFieldNo);
  T.SetAutoIncValue(1, C, 41);
  EXPECT_EQ(T.SequenceManager()->GetSequence(T.FieldDefs()->Items(1).SequenceID()).CurrentValue(),
            41);
}

TEST_F(MemoryTables, RecordIdsAndCounts) {
  ASSERT_EQ(CreateTable("A"), 0);
  auto& T = static_cast<TTolvanMemoryTableData&>(*Db.FindTableData("A"));
  EXPECT_EQ(T.RecordIDToInt64({-5, 3}), -5);
  EXPECT_EQ(T.Int64ToRecordID(7).PageNo, 7);
  EXPECT_THROW(T.Int64ToRecordID(int64_t(1) << 31), ERangeError);
  EXPECT_EQ(T.CompareRecordIDs({3, 1}, {3, 9}), 0);
  EXPECT_EQ(T.CompareRecordIDs({4, 0}, {3, 9}), 1);
  EXPECT_EQ(T.CompareRecordIDs({2, 0}, {3, 0}), -1);
  EXPECT_EQ(T.GetTotalRecordCount(), 0);
}

// --- records ---------------------------------------------------------------------------------

TEST_F(MemoryRecords, InsertUpdateAndTheStoresAnswers) {
  TTestCursor& C = *F.Cursor;
  Fill(C, {1, 10, "one", 5});
  ASSERT_TRUE(Post(C, true));
  EXPECT_EQ(C.Position().PageNo, 0);
  EXPECT_FALSE(C.Bof() || C.Eof());
  Fill(C, {2, 10, "", 6}); // an empty string is stored as NULL
  ASSERT_TRUE(Post(C, true));
  const auto Rows = F.StoreRows();
  ASSERT_EQ(Rows.size(), 2u);
  EXPECT_TRUE(IsFieldNull(Rows.at(1).data(), 2));
  EXPECT_EQ(F.TableFaults(), "");
  // A duplicate unique key is refused by the check and changes nothing.
  Fill(C, {1, 0, "x", 0});
  EXPECT_THROW(Post(C, true), ETolvanException);
  EXPECT_EQ(F.StoreRows(), Rows);
  // An update of a record that is not stored answers false and touches nothing.
  Fill(C, {7, 7, "seven", 7});
  C.SetPosition({5, 0});
  EXPECT_FALSE(F.Table->UpdateRecord(C));
  EXPECT_EQ(F.StoreRows(), Rows);
  C.SetPosition({1, 0});
  ASSERT_TRUE(Post(C, false));
  EXPECT_EQ(Read(F.StoreRows().at(1).data()).S, "seven");
  EXPECT_EQ(F.TableFaults(), "");
}

TEST_F(MemoryRecords, UpdateOfAnEmptyStoreAnswersFalse) {
  TTestCursor& C = *F.Cursor;
  Fill(C, {1, 1, "a", 1});
  C.SetPosition({0, 0});
  EXPECT_FALSE(F.Table->UpdateRecord(C));
  EXPECT_EQ(F.Table->GetTotalRecordCount(), 0);
  EXPECT_EQ(F.TableFaults(), "");
}

TEST_F(MemoryRecords, StorePositionsAgreeWithTheDeletedMap) {
  std::mt19937 Random(7);
  TTestCursor& C = *F.Cursor;
  for (int32_t I = 0; I < 200; ++I) {
    Fill(C, {I, I % 7, "r", I});
    ASSERT_TRUE(F.Table->InsertRecord(C));
  }
  // Deleted straight from the store: the positions are the store's alone.
  for (int32_t I = 0; I < 120; ++I)
    F.Table->Records()->DeleteRecord({int32_t(Random() % 200), 0}, -1);
  const auto Rows = F.StoreRows();
  int64_t RecNo = 0;
  for (const auto& [Slot, Bytes] : Rows) {
    ++RecNo;
    C.SetPosition({Slot, 0});
    EXPECT_EQ(F.Table->GetRecNoPhysical(C), RecNo);
    C.SetPosition({-1, 0});
    F.Table->SetRecNoPhysical(C, RecNo);
    EXPECT_EQ(C.Position().PageNo, Slot);
  }
  C.SetPosition({3, 0});
  F.Table->SetRecNoPhysical(C, RecNo + 1); // outside: the cursor stays
  F.Table->SetRecNoPhysical(C, 0);
  EXPECT_EQ(C.Position().PageNo, 3);
}

// An index of the fake kind that fails at its k-th key change.
class FaultyRecords : public MemoryRecords {
protected:
  FaultyRecords() : MemoryRecords(FakeIndexFactory(Hooks())) {}
  static std::shared_ptr<TFakeIndexHooks> Hooks() {
    static auto H = std::make_shared<TFakeIndexHooks>();
    return H;
  }
  void FailAt(int32_t Change) {
    Countdown = Change;
    Hooks()->BeforeOperation = [this](std::string_view Operation, int32_t) {
      if (Operation == "CompareRecordKeys" || Operation == "BuildKey" || Countdown <= 0)
        return;
      if (--Countdown == 0)
        throw ETolvanException::Create(1, "injected");
    };
  }
  void TearDown() override { Hooks()->BeforeOperation = nullptr; }
  int32_t Countdown = 0;
};

TEST_F(FaultyRecords, AFailingIndexLeavesStoreAndIndexesAsTheyWere) {
  TTestCursor& C = *F.Cursor;
  for (int32_t I = 0; I < 4; ++I) {
    Fill(C, {I, I, "v" + std::to_string(I), I});
    ASSERT_TRUE(Post(C, true));
  }
  const auto Rows = F.StoreRows();
  for (int32_t K = 1; K <= 5; ++K) {
    FailAt(K);
    C.SetPosition({1, 0});
    Fill(C, {9, 9, "new", 9});
    EXPECT_THROW(Post(C, true), ETolvanException) << "insert, change " << K;
    EXPECT_EQ(C.Position().PageNo, 1) << K;
    EXPECT_EQ(F.StoreRows(), Rows) << K;
    EXPECT_EQ(F.TableFaults(), "") << K;
    FailAt(K);
    C.SetPosition({2, 0});
    Fill(C, {2, 20, "changed", 20});
    EXPECT_THROW(Post(C, false), ETolvanException) << "update, change " << K;
    EXPECT_EQ(F.StoreRows(), Rows) << K;
    EXPECT_EQ(F.TableFaults(), "") << K;
  }
}

} // namespace

// --- the model-based random test -------------------------------------------------------------

TEST_F(MemoryModel, RandomWritesKeepStoreAndBTreeIndexesInStep) {
  Run(300);
  EXPECT_GT(Model.size(), 10u);
}

class MemoryModelSlow : public MemoryModel {};

TEST_F(MemoryModelSlow, ThousandsOfRandomWritesKeepStoreAndBTreeIndexesInStep) {
  Run(2500);
  EXPECT_GT(Refused, 0); // duplicate keys were met and refused
  EXPECT_GT(Model.size(), 10u);
}

class FaultyMemoryModel : public MemoryModel {
protected:
  FaultyMemoryModel() : MemoryModel(FakeIndexFactory(Hooks())) {}
  static std::shared_ptr<TFakeIndexHooks> Hooks() {
    static auto H = std::make_shared<TFakeIndexHooks>();
    return H;
  }
  void TearDown() override { Hooks()->BeforeOperation = nullptr; }
};

class FaultyMemoryModelSlow : public FaultyMemoryModel {};

TEST_F(FaultyMemoryModelSlow, InjectedIndexFailuresLeaveTheTableAsItWas) {
  int32_t Countdown = 0;
  Hooks()->BeforeOperation = [&](std::string_view Operation, int32_t) {
    if (Operation == "CompareRecordKeys" || Operation == "BuildKey" || Countdown <= 0)
      return;
    if (--Countdown == 0)
      throw ETolvanException::Create(1, "injected");
  };
  Run(800, [&] {
    Countdown = Random() % 4 == 0 ? int32_t(1 + Random() % 8) : 0;
    return false; // a fault past the step's last change never fires
  });
  EXPECT_GT(Refused, 50);
}

namespace {

TEST_F(MemoryRecords, DeleteMovesToTheNextThePriorOrTheBeginning) {
  TTestCursor& C = *F.Cursor;
  for (int32_t K : {1, 2, 3}) {
    Fill(C, TRow(K, K, "t", K));
    ASSERT_TRUE(Post(C, true));
  }
  C.SetPosition({1, 0});
  ASSERT_TRUE(F.Table->DeleteRecord(C));
  EXPECT_EQ(C.Position().PageNo, 2); // the middle one: on to the next
  EXPECT_FALSE(C.Bof() || C.Eof());
  ASSERT_TRUE(F.Table->DeleteRecord(C));
  EXPECT_EQ(C.Position().PageNo, 0); // the last one: back to the prior
  EXPECT_FALSE(F.Table->DeleteRecord(*[&] {
    F.Cursor2->SetPosition({2, 0}); // gone already
    return F.Cursor2.get();
  }()));
  ASSERT_TRUE(F.Table->DeleteRecord(C));
  EXPECT_TRUE(C.Bof());
  EXPECT_FALSE(C.Eof());
  // The emptied indexes are walked to their ends, and numbering starts again.
  EXPECT_EQ(F.TableFaults(), "");
  Fill(C, TRow(4, 4, "t", 4));
  ASSERT_TRUE(Post(C, true));
  EXPECT_EQ(C.Position().PageNo, 0);
}

// The storage tests' cursor with a result set of its own.
class TResultSetCursor : public TTestCursor {
public:
  TResultSetCursor(TTolvanTableData* Table, TTolvanBaseSession* Session, int32_t Size)
      : TTestCursor(Session, Size), FResultSet(Table) {}
  TTolvanRecordBitmap* ResultBitmap() const override { return &FResultSet; }

private:
  mutable TTolvanRecordBitmap FResultSet;
};

TEST_F(MemoryRecords, DeleteAllDropsTheStoreOrOnlyWhatAFilteredCursorSees) {
  TTestCursor& C = *F.Cursor;
  for (int32_t K = 0; K < 6; ++K) {
    TRow Row(K, K % 2, "t", K);
    Row.B[0] = "blob" + std::to_string(K);
    Fill(C, Row);
    ASSERT_TRUE(Post(C, true));
  }
  // A cursor that sees only the odd A values, through a result set not built yet.
  TResultSetCursor Filtered(F.Table, &F.Session, F.Table->RecordSize() + RecordTrailerSize);
  Filtered.SetTableName("M");
  F.Table->AttachCursor(Filtered);
  Filtered.SetOnFilterRecord([&](uint8_t* Buffer) { return Read(Buffer).A == 1; });
  F.Table->DeleteAllRecords(Filtered);
  EXPECT_TRUE(Filtered.Bof());
  F.Table->DetachCursor(Filtered);
  auto Rows = F.StoreRows();
  ASSERT_EQ(Rows.size(), 3u);
  for (const auto& [Slot, Bytes] : Rows)
    EXPECT_EQ(Read(Bytes.data()).A, 0);
  EXPECT_EQ(F.Table->BlobBlocks().LiveCount(), 3);
  EXPECT_EQ(F.TableFaults(), "");
  // Unfiltered: the store goes at once, with its blocks, and ids start again at 0.
  F.Table->DeleteAllRecords(C);
  EXPECT_EQ(F.Table->GetTotalRecordCount(), 0);
  EXPECT_EQ(F.Table->BlobBlocks().LiveCount(), 0);
  EXPECT_EQ(F.TableFaults(), "");
  Fill(C, TRow(9, 9, "t", 9));
  ASSERT_TRUE(Post(C, true));
  EXPECT_EQ(C.Position().PageNo, 0);
}

TEST_F(MemoryRecords, EmptyTableRefusesWhileReferencedWithADeleteAction) {
  TTestCursor& C = *F.Cursor;
  Fill(C, TRow(1, 1, "t", 1));
  ASSERT_TRUE(Post(C, true));
  auto& Action = F.Table->ConstraintManager()->ConstraintDefs().AddForeignKeyAction();
  Action.SetName("FKA");
  Action.SetOnDelete(tfaCascade);
  F.Table->DetachCursor(*F.Cursor);
  F.Table->DetachCursor(*F.Cursor2);
  EXPECT_EQ(CodeOf([&] { F.Table->EmptyTable(nullptr, false); }), ErrEmptyTableReferenced);
  EXPECT_EQ(F.Table->GetTotalRecordCount(), 1);
  F.Table->EmptyTable(nullptr, true);
  EXPECT_EQ(F.Table->GetTotalRecordCount(), 0);
  EXPECT_EQ(F.TableFaults(), "");
  F.Table->AttachCursor(*F.Cursor);
  F.Table->AttachCursor(*F.Cursor2);
}

// --- table streams ---------------------------------------------------------------------------

TEST_F(MemoryStreams, SaveLoadSaveGivesTheSameBytesAndTheSameSearches) {
  const auto Before = Walks();
  for (TTolvanCompressionAlgorithm Algorithm : {caNone, caZlib, caBZip, caPPM}) {
    SCOPED_TRACE(int(Algorithm));
    const TBytes First = Save(Algorithm);
    Load(First);
    EXPECT_EQ(F.TableFaults(), "");
    EXPECT_EQ(F.Table->TableName(), "M");
    EXPECT_EQ(F.Table->GetTotalRecordCount(), 32);
    EXPECT_EQ(Walks(), Before);
    EXPECT_EQ(Save(Algorithm), First);
  }
  // The loaded table takes writes: its indexes and store stay in step.
  F.Table->AttachCursor(*F.Cursor);
  Fill(*F.Cursor, TRow(99, 1, "new", 1));
  ASSERT_TRUE(Post(*F.Cursor, true));
  EXPECT_EQ(F.TableFaults(), "");
  F.Table->DetachCursor(*F.Cursor);
}

TEST_F(MemoryStreams, CursorsRefuseAndTheCounterIsMergedOnlyOnSuccess) {
  TBytes Good = Save(caNone);
  F.Table->AttachCursor(*F.Cursor);
  EXPECT_EQ(CodeOf([&] { Load(Good); }), ErrLoadTableWithCursors);
  EXPECT_EQ(CodeOf([&] { Save(caNone); }), ErrSaveTableWithCursors);
  TVectorStream S;
  F.Table->SaveToStream(S, caNone, 6, 0, true);
  EXPECT_EQ(S.Data, Good);
  F.Table->DetachCursor(*F.Cursor);
  // The counter follows the one-byte name "M" at offset 44.
  const int64_t Counter = F.Db.ObjectIDValue();
  TBytes Higher = Good;
  StoreLE<int64_t>(Higher.data() + 44, Counter + 100);
  EXPECT_NE(CodeOf([&] { Load(TBytes(Higher.begin(), Higher.end() - 1)); }), 0);
  EXPECT_EQ(F.Db.ObjectIDValue(), Counter);
  Load(Higher);
  EXPECT_EQ(F.Db.ObjectIDValue(), Counter + 100);
}

// A stream whose record no longer has the key its index entries hold, or whose index misses a
// record, is refused: the pages alone are sound.
TEST_F(MemoryStreams, AnIndexThatDisagreesWithTheRecordsIsRefused) {
  const TBytes Good = Save(caNone);
  const int32_t Size = F.Table->RecordSize();
  uint8_t* Slot1 = const_cast<uint8_t*>(F.Table->Records()->RecordBlock()) + Size;
  const std::vector<uint8_t> Kept(Slot1, Slot1 + Size);
  for (int32_t K : {2, 1000}) { // another record's key, and a key of none
    SetFieldData(0, F.Fields(), &K, Slot1);
    const TBytes Damaged = Save(caZlib);
    std::copy(Kept.begin(), Kept.end(), Slot1);
    EXPECT_EQ(CodeOf([&] { Load(Damaged); }), ErrTableStreamIndexEntry);
    EXPECT_EQ(Save(caNone), Good);
  }
  // A record whose index entries are gone.
  F.Table->AttachCursor(*F.Cursor);
  F.Cursor->SetPosition({1, 0});
  {
    TTolvanTableLock Lock(*F.Table);
    F.Table->IndexManager()->DeleteKeys(*F.Cursor);
  }
  F.Table->DetachCursor(*F.Cursor);
  const TBytes Missing = Save(caNone);
  Load(Good);
  EXPECT_EQ(CodeOf([&] { Load(Missing); }), ErrTableStreamIndexEntry);
  EXPECT_EQ(Save(caNone), Good);
  EXPECT_EQ(F.TableFaults(), "");
}

TEST_F(MemoryStreams, ADamagedStreamIsRefusedOrLoadsATableThatAgreesWithItself) {
  // A damaged counter that loads raises the database's counter, which later saves carry (after
  // the one-byte name, at offset 44); the rest of the bytes must stay.
  auto WithoutCounter = [](TBytes Bytes) {
    std::fill(Bytes.begin() + 44, Bytes.begin() + 52, uint8_t(0));
    return Bytes;
  };
  for (TTolvanCompressionAlgorithm Algorithm : {caNone, caZlib}) {
    SCOPED_TRACE(int(Algorithm));
    const TBytes Good = Save(Algorithm);
    auto Try = [&](const TBytes& Bytes) {
      try {
        Load(Bytes);
      } catch (const ETolvanException& E) {
        ASSERT_EQ(F.Table->TableName(), "M");
        ASSERT_EQ(WithoutCounter(Save(Algorithm)), WithoutCounter(Good));
        return;
      } catch (const Exception& E) {
        FAIL() << "not an engine error: " << E.Message();
      }
      ASSERT_EQ(F.TableFaults(), "");
      Load(Good);
    };
    std::mt19937 Random(26);
    const size_t Step = Good.size() / 25 + 1;
    for (size_t N = 0; N < Good.size(); N += 1 + Random() % Step)
      Try(TBytes(Good.begin(), Good.begin() + int64_t(N)));
    for (int32_t I = 0; I < 90; ++I) {
      TBytes Bytes = Good;
      // The header and name first, then anywhere.
      const size_t At = I < 45 ? size_t(I) : Random() % Bytes.size();
      Bytes[At] ^= uint8_t(1u << (Random() % 8));
      Try(Bytes);
    }
    EXPECT_EQ(WithoutCounter(Save(Algorithm)), WithoutCounter(Good));
  }
}

} // namespace
