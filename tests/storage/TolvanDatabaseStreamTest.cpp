// The memory database's stream: a table count and one table stream per table, read whole
// before any registered table is replaced.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "classlib/ByteOrder.h"
#include "schema/TolvanRecordBuffer.h"
#include "storage/TolvanBlobBlocks.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {
namespace {

using TBytes = std::vector<uint8_t>;

class DatabaseStream : public ::testing::Test {
protected:
  void SetUp() override {
    Db.AttachSession(Session);
    Other.AttachSession(OtherSession);
  }
  void TearDown() override {
    Db.DetachSession(Session);
    Other.DetachSession(OtherSession);
  }

  // A table of K (unique), S and a BLOB B with Rows records: K = Base + i, every third
  // record's BLOB NULL, record 1 deleted again when there are more than two.
  static void MakeTable(TTolvanMemoryDatabaseData& Database, TTolvanBaseSession& S,
                        std::string_view Name, int32_t Rows, int32_t Base) {
    TTolvanFieldDefs Fields;
    AddField(Fields, "K", tftInteger);
    AddField(Fields, "S", tftVarchar, 12);
    AddField(Fields, "B", tftBLOB).SetBlobBlockSize(64);
    TTolvanIndexDefs Indexes;
    AddIndexDef(Indexes, "ByK", {"K"}, true);
    TTolvanConstraintDefs Constraints;
    TTestCursor Maker(&S, 0);
    Maker.SetTableName(Name);
    auto& T = static_cast<TTolvanMemoryTableData&>(
        *Database.GetTableData(Maker, [&](TTolvanTableData& Table) {
          Table.CreateTable(Maker, Fields, Indexes, Constraints);
        }));
    TTestCursor C(&S, T.RecordSize() + RecordTrailerSize);
    C.SetTableName(Name);
    T.AttachCursor(C);
    const TTolvanFieldDefs& Defs = *T.FieldDefs();
    for (int32_t I = 0; I < Rows; ++I) {
      std::fill(C.RecordBytes().begin(), C.RecordBytes().end(), 0);
      SetAllNull(C.Record(), Defs.Count());
      const int32_t K = Base + I;
      const std::string Text = "row " + std::to_string(K);
      SetFieldData(0, Defs, &K, C.Record());
      SetFieldData(1, Defs, Text.c_str(), C.Record());
      if (I % 3 != 0) {
        const std::string Blob(size_t(10 + I * 7), char('a' + I % 26));
        auto Stream = OpenBlobValue(T.BlobBlocks(), nullptr, C.Record(), Defs, 2, tbmWrite);
        Stream->WriteBuffer(Blob.data(), int64_t(Blob.size()));
        WriteBlobValue(T.BlobBlocks(), C.Record(), Defs, 2, *Stream);
      }
      TTolvanTableLock Lock(T);
      T.CheckConstraints(C, S.SessionID(), C.Record(), nullptr, true, C.Position(), false);
      ASSERT_TRUE(T.InsertRecord(C));
      T.SetBlobMarks(false, C);
    }
    if (Rows > 2) {
      C.SetPosition({1, 0});
      ASSERT_TRUE(T.DeleteRecord(C));
    }
    T.DetachCursor(C);
  }

  // Every table by name with its table stream, the database's object-id counter in it zeroed
  // (a load may raise it): equal maps, equal databases.
  static std::map<std::string, TBytes> Contents(TTolvanMemoryDatabaseData& Database) {
    std::map<std::string, TBytes> Result;
    TStringList Names;
    Database.GetTableNames(Names);
    for (int32_t I = 0; I < Names.Count(); ++I) {
      TVectorStream S;
      Database.FindTableData(Names.Strings(I))->SaveToStream(S, caNone, 0, 0, true);
      const size_t Counter = 43 + S.Data[42];
      std::fill(S.Data.begin() + int64_t(Counter), S.Data.begin() + int64_t(Counter + 8), 0);
      Result[Names.Strings(I)] = S.Data;
    }
    return Result;
  }

  TBytes Save(TTolvanMemoryDatabaseData& Database, TTolvanBaseSession& S,
              TTolvanCompressionAlgorithm Algorithm = caNone) {
    TVectorStream Stream;
    Database.SaveDatabaseToStream(S, Stream, Algorithm, 6, 0);
    return Stream.Data;
  }
  static void Load(TTolvanMemoryDatabaseData& Database, TTolvanBaseSession& S,
                   const TBytes& Bytes) {
    TVectorStream Stream(Bytes);
    Database.LoadDatabaseFromStream(S, Stream);
  }

  // The saving database with three tables, the loading one with other contents under two of
  // the names (one in other letter case) and a table of its own.
  void ThreeAndThree() {
    MakeTable(Db, Session, "Alpha", 12, 0);
    MakeTable(Db, Session, "Beta", 0, 0);
    MakeTable(Db, Session, "Gamma", 5, 100);
    MakeTable(Other, OtherSession, "ALPHA", 3, 50);
    MakeTable(Other, OtherSession, "Gamma", 7, 7);
    MakeTable(Other, OtherSession, "Delta", 2, 0);
  }

  TTolvanMemoryDatabaseData Db;
  TTolvanMemoryDatabaseData Other;
  TTestSession Session{-1};
  TTestSession OtherSession{-1};
};

TEST_F(DatabaseStream, AnEmptyDatabaseWritesOnlyTheCountZero) {
  EXPECT_EQ(Save(Db, Session), TBytes(4, 0));
  MakeTable(Other, OtherSession, "Kept", 2, 0);
  const auto Before = Contents(Other);
  Load(Other, OtherSession, TBytes(4, 0));
  EXPECT_EQ(Contents(Other), Before);
}

TEST_F(DatabaseStream, ThreeTablesRoundTripAndReplaceTablesOfTheStoredNames) {
  ThreeAndThree();
  const auto Saved = Contents(Db);
  for (TTolvanCompressionAlgorithm Algorithm : {caNone, caZlib}) {
    SCOPED_TRACE(int(Algorithm));
    const TBytes Bytes = Save(Db, Session, Algorithm);
    EXPECT_EQ(LoadLE<int32_t>(Bytes.data()), 3);
    // Into a fresh database: the same three tables.
    TTolvanMemoryDatabaseData Fresh;
    TTestSession FreshSession(-1);
    Fresh.AttachSession(FreshSession);
    Load(Fresh, FreshSession, Bytes);
    EXPECT_EQ(Contents(Fresh), Saved);
    Fresh.DetachSession(FreshSession);
    // Over the other database: "ALPHA" and "Gamma" replaced, "Delta" kept, "Beta" added.
    Load(Other, OtherSession, Bytes);
    auto Loaded = Contents(Other);
    EXPECT_EQ(Loaded.size(), 4u);
    EXPECT_EQ(Loaded.count("ALPHA"), 0u);
    ASSERT_EQ(Loaded.count("Delta"), 1u);
    Loaded.erase("Delta");
    EXPECT_EQ(Loaded, Saved);
  }
  // Loading the database's own stream over itself changes nothing.
  const TBytes Own = Save(Db, Session);
  Load(Db, Session, Own);
  EXPECT_EQ(Contents(Db), Saved);
}

// Two tables of one name in a stream: the later one stays, as loading them in turn would leave.
TEST_F(DatabaseStream, ALaterTableOfTheSameNameWins) {
  ThreeAndThree();
  // BLOB values are placed by their absolute stream position: both tables go into one stream.
  TVectorStream S;
  WriteStreamValue<int32_t>(S, 2, 0);
  for (TTolvanTableData* Table : {Db.FindTableData("Alpha"), Other.FindTableData("alpha")})
    Table->SaveToStream(S, caNone, 0, 0, true);
  const TBytes Bytes = S.Data;
  TTolvanMemoryDatabaseData Fresh;
  TTestSession FreshSession(-1);
  Fresh.AttachSession(FreshSession);
  Load(Fresh, FreshSession, Bytes);
  const auto Loaded = Contents(Fresh);
  ASSERT_EQ(Loaded.size(), 1u);
  EXPECT_EQ(Loaded.begin()->first, "ALPHA");
  EXPECT_EQ(Loaded.begin()->second, Contents(Other)["ALPHA"]);
  Fresh.DetachSession(FreshSession);
}

// Cut at every length, or with a count the bytes cannot hold, the stream is refused and every
// table of the loading database is as it was.
TEST_F(DatabaseStream, ADamagedStreamChangesNoTable) {
  ThreeAndThree();
  const TBytes Bytes = Save(Db, Session);
  const auto Before = Contents(Other);
  // Every length in the count and the first table's header, a few hundred lengths spread over
  // the rest, and the lengths around each table stream's end.
  std::vector<size_t> Lengths;
  for (size_t Length = 0; Length < 64; ++Length)
    Lengths.push_back(Length);
  for (size_t Length = 64; Length < Bytes.size(); Length += Bytes.size() / 300 + 1)
    Lengths.push_back(Length);
  size_t End = 4;
  for (const char* Name : {"Alpha", "Beta", "Gamma"}) {
    End += Contents(Db)[Name].size();
    for (size_t Length = End - 3; Length <= End + 3 && Length < Bytes.size(); ++Length)
      Lengths.push_back(Length);
  }
  for (size_t Length : Lengths) {
    const TBytes Cut(Bytes.begin(), Bytes.begin() + int64_t(Length));
    EXPECT_NE(NativeCodeOf([&] { Load(Other, OtherSession, Cut); }), 0) << Length;
  }
  EXPECT_EQ(Contents(Other), Before);

  struct TCase {
    const char* What;
    int32_t Count;
    int32_t Code;
  };
  const int32_t Fits = int32_t((Bytes.size() - 4) / 51);
  for (const TCase& Case : {TCase{"negative", -1, ErrDatabaseStreamCountRead},
                            TCase{"beyond the bytes", Fits + 1, ErrDatabaseStreamCountRead},
                            TCase{"one table more", 4, 0}}) {
    TBytes Damaged = Bytes;
    StoreLE<int32_t>(Damaged.data(), Case.Count);
    const ETolvanException E = Raised([&] { Load(Other, OtherSession, Damaged); });
    if (Case.Code != 0) {
      EXPECT_EQ(E.NativeError(), Case.Code) << Case.What;
      EXPECT_EQ(E.Message(), "Invalid table stream field table count = " +
                                 std::to_string(Case.Count) + " - Native error: 11760")
          << Case.What;
    } else {
      EXPECT_NE(E.NativeError(), 0) << Case.What;
    }
    EXPECT_EQ(Contents(Other), Before) << Case.What;
  }
  // The last table's signature damaged: the two before it are not installed either.
  TBytes Damaged = Bytes;
  const size_t Last = Bytes.size() - Contents(Db)["Gamma"].size();
  ASSERT_EQ(Damaged[Last], 'A');
  Damaged[Last] = 'a';
  EXPECT_EQ(NativeCodeOf([&] { Load(Other, OtherSession, Damaged); }), 10161);
  EXPECT_EQ(Contents(Other), Before);
}

class DatabaseStreamSlow : public DatabaseStream {};

// A byte flipped anywhere either loads or is refused with every table as it was.
TEST_F(DatabaseStreamSlow, AFlippedByteLoadsOrChangesNoTable) {
  ThreeAndThree();
  const TBytes Bytes = Save(Db, Session);
  const TBytes Start = Save(Other, OtherSession);
  const auto Before = Contents(Other);
  int32_t Refused = 0;
  for (size_t At = 0; At < Bytes.size(); At += Bytes.size() / 150 + 1) {
    TTolvanMemoryDatabaseData Target;
    TTestSession TargetSession(-1);
    Target.AttachSession(TargetSession);
    Load(Target, TargetSession, Start);
    TBytes Damaged = Bytes;
    Damaged[At] ^= 0x5A;
    if (NativeCodeOf([&] { Load(Target, TargetSession, Damaged); }) != 0) {
      ++Refused;
      EXPECT_EQ(Contents(Target), Before) << At;
    }
    Target.DetachSession(TargetSession);
  }
  EXPECT_GT(Refused, 0);
}

// A table to be replaced that has a cursor attached refuses the whole load, whichever position
// it has in the stream.
TEST_F(DatabaseStream, ACursorOnATableToBeReplacedRefusesTheLoad) {
  ThreeAndThree();
  const TBytes Bytes = Save(Db, Session);
  const auto Before = Contents(Other);
  TTolvanTableData& Gamma = *Other.FindTableData("gamma");
  TTestCursor C(&OtherSession, Gamma.RecordSize() + RecordTrailerSize);
  C.SetTableName("Gamma");
  Gamma.AttachCursor(C);
  EXPECT_EQ(NativeCodeOf([&] { Load(Other, OtherSession, Bytes); }), ErrLoadTableWithCursors);
  Gamma.DetachCursor(C);
  EXPECT_EQ(Contents(Other), Before);
  // A cursor on a table the stream does not name is no obstacle.
  TTolvanTableData& Delta = *Other.FindTableData("Delta");
  TTestCursor D(&OtherSession, Delta.RecordSize() + RecordTrailerSize);
  D.SetTableName("Delta");
  Delta.AttachCursor(D);
  Load(Other, OtherSession, Bytes);
  Delta.DetachCursor(D);
  EXPECT_EQ(Other.TableCount(), 4);
}

} // namespace
} // namespace tolvan::test
