// The local cursor's table operations over a memory database: create, delete, empty, rename,
// foreign-key and constraint refusals, streams (a table replaced only by a stream that loaded),
// repair and the SQL export.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/TolvanExcept.h"
#include "storage/TolvanDatabaseData.h"
#include "storage/TolvanForeignKeys.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"
#include "storage/local/TolvanTableSQL.h"
#include "storage/memory/TolvanMemoryEngine.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/DatabaseTestSupport.h"
#include "tests/storage/TableTestSupport.h"

namespace tolvan::test {
namespace {

using TBytes = std::vector<uint8_t>;

// A connected in-memory session on a database of its own name.
class TSession {
public:
  // Startup: the caller is the only thread using the registry.
  explicit TSession(const std::string& DatabaseName, bool Startup = true) {
    if (Startup)
      StorageStartup();
    S.SetInMemory(true);
    S.SetDatabaseName(DatabaseName);
    S.SetConnected(true);
  }
  ~TSession() {
    TTolvanDatabaseData* Database = S.Database();
    S.SetConnected(false);
    if (Database && Database->SessionCount() == 0)
      DatabaseRegistry().Free(*Database);
  }
  TTolvanDatabaseData& Database() { return *S.Database(); }

  TTolvanLocalSession S;
};

// A cursor of the session on Name; in memory unless told.
std::unique_ptr<TTolvanLocalCursor> NewCursor(TSession& Session, std::string_view Name,
                                              bool InMemory = true, bool Exclusive = false) {
  auto C = std::make_unique<TTolvanLocalCursor>();
  C->SetSession(&Session.S);
  C->SetTableName(Name);
  C->SetInMemory(InMemory);
  C->SetExclusive(Exclusive);
  return C;
}

// An open cursor with a record buffer of its own.
class TOpen {
public:
  TOpen(TSession& Session, std::string_view Name, bool InMemory = true)
      : C(NewCursor(Session, Name, InMemory)) {
    C->OpenTable(nullptr, nullptr, nullptr);
    Buffer = C->AllocRecordBuffer();
    C->SetRecordBuffer(Buffer);
  }
  ~TOpen() {
    C->CloseTable();
    TTolvanCursor::FreeRecordBuffer(Buffer);
  }

  // Posts a record of the given column values (null pointers leave a column NULL or its
  // default); BLOB columns take text through a stream.
  void Insert(std::initializer_list<std::pair<int32_t, std::string>> Values) {
    C->InitRecord(Buffer, true);
    TTolvanVariant V;
    for (const auto& [FieldNo, Text] : Values) {
      if (C->FieldDefs().Items(FieldNo).IsBlob()) {
        TTolvanStream* S = C->OpenBlob(true, FieldNo, tbmWrite);
        S->WriteBuffer(Text.data(), int64_t(Text.size()));
        C->CloseBlob(FieldNo);
        continue;
      }
      V.Clear();
      V.SetAsString(Text);
      C->SetCursorFieldValue(V, FieldNo, nullptr, true);
    }
    C->PostRecord(true);
    ASSERT_EQ(C->LastErrorCode(), 0) << C->LastErrorText();
  }
  // Every record as its columns' text joined by '|', in the cursor's order.
  std::vector<std::string> Rows() {
    std::vector<std::string> Result;
    C->SetToBegin();
    TTolvanVariant V;
    while (C->GetRecord(rmNext) == rrOK) {
      std::string Row;
      for (int32_t I = 0; I < C->FieldDefs().Count(); ++I) {
        C->GetFieldValue(V, I, true, true);
        Row += (I ? "|" : "") + (V.IsNull() ? std::string("-") : std::string(V.GetAsString()));
      }
      Result.push_back(Row);
    }
    return Result;
  }

  std::unique_ptr<TTolvanLocalCursor> C;
  uint8_t* Buffer = nullptr;
};

// ID (auto-increment), NAME (VARCHAR 12, unique index unless left out) and DATA (BLOB).
void Definitions(TTolvanFieldDefs& F, TTolvanIndexDefs& I, TTolvanConstraintDefs&,
                 bool Indexed = true) {
  AddField(F, "ID", tftAutoInc);
  AddField(F, "NAME", tftVarchar, 12);
  AddField(F, "DATA", tftBLOB).SetBlobBlockSize(64);
  if (Indexed)
    AddIndexDef(I, "BYNAME", {"NAME"}, true);
}

void Create(TSession& Session, std::string_view Name, bool Indexed = true) {
  TTolvanFieldDefs F;
  TTolvanIndexDefs I;
  TTolvanConstraintDefs C;
  Definitions(F, I, C, Indexed);
  NewCursor(Session, Name)->CreateTable(F, I, C);
}

// Creates Name and posts Count records "n<i>" with BLOB "blob <i>" (every third NULL).
void Fill(TSession& Session, std::string_view Name, int32_t Count, int32_t From = 0,
          bool Indexed = true) {
  Create(Session, Name, Indexed);
  TOpen T(Session, Name);
  for (int32_t I = From; I < From + Count; ++I) {
    if (I % 3 == 0)
      T.Insert({{1, "n" + std::to_string(I)}});
    else
      T.Insert({{1, "n" + std::to_string(I)}, {2, "blob " + std::to_string(I)}});
  }
}

// The table stream of the table, with the database's object-id counter in it zeroed: other
// tables made meanwhile raise the counter.
TBytes Saved(TSession& Session, std::string_view Name) {
  TVectorStream S;
  NewCursor(Session, Name)->WriteTableToStream(S, caNone, 0, 0, false, false);
  const size_t Counter = 43 + S.Data.at(42);
  std::fill(S.Data.begin() + int64_t(Counter), S.Data.begin() + int64_t(Counter + 8), 0);
  return S.Data;
}

std::string MessageOf(const std::function<void()>& Run) {
  try {
    Run();
  } catch (const Exception& E) {
    return E.Message();
  }
  return "no exception";
}

class LocalCursorTables : public ::testing::Test {
protected:
  LocalCursorTables()
      : Session(std::string("LCT_") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  TSession Session;
};

// --- refusals ---------------------------------------------------------------------------------

TEST_F(LocalCursorTables, RefusalsWithTheirCodesAndMessages) {
  Fill(Session, "t", 1);
  TTolvanConstraintDefForeignKey Key;
  TVectorStream Stream;
  AnsiString Log;
  struct TCase {
    const char* What;
    std::function<void()> Run;
    std::string Message;
  };
  auto Closed = [&](std::string_view Name, bool InMemory = true, bool Exclusive = false) {
    return std::shared_ptr<TTolvanLocalCursor>(NewCursor(Session, Name, InMemory, Exclusive));
  };
  TOpen Shared(Session, "t");
  const TCase Cases[] = {
      {"delete", [&] { Closed("nope")->DeleteTable(false); },
       "Table not found, table name = nope - Native error: 10027"},
      {"empty", [&] { Closed("nope")->EmptyTable(); },
       "Table not found, table name = nope - Native error: 10073"},
      {"rename", [&] { Closed("nope")->RenameTable("x"); },
       "Table not found, table name = nope - Native error: 10151"},
      {"rename field", [&] { Closed("nope")->RenameField("a", "b"); },
       "Table not found, table name = nope - Native error: 11166"},
      {"write", [&] { Closed("nope")->WriteTableToStream(Stream, caNone, 0, 0, true, true); },
       "Table not found, table name = nope - Native error: 10154"},
      {"foreign key, closed", [&] { Closed("t")->AddForeignKey(Key); },
       "Table not found, table name = t - Native error: 11582"},
      {"foreign key, shared", [&] { Shared.C->AddForeignKey(Key); },
       "Error - table 't' is not opened in exclusive mode - Native error: 11583"},
      {"constraint, closed", [&] { Closed("t")->DeleteConstraint("c", false, false); },
       "Table not found, table name = t - Native error: 11484"},
      {"constraint, shared", [&] { Shared.C->DeleteConstraint("c", false, false); },
       "Error - table 't' is not opened in exclusive mode - Native error: 11486"},
      {"repair, shared", [&] { Closed("t", false)->RepairTable(Log, nullptr); },
       "Error - table 't' is not opened in exclusive mode - Native error: 11165"},
      {"rename onto another table",
       [&] {
         Fill(Session, "u", 0);
         Closed("t")->RenameTable("U");
       },
       "Cannot rename table 't' to 'U' - table with such name already exists - Native error: "
       "11491"},
  };
  for (const TCase& Case : Cases)
    EXPECT_EQ(MessageOf(Case.Run), Case.Message) << Case.What;
  EXPECT_EQ(Shared.Rows().size(), 1u);
}

// --- create
// ---------------------------------------------------------------------------------------

TEST_F(LocalCursorTables, CreateReplacesOnlyWithDefinitionsThatPassTheChecks) {
  Fill(Session, "t", 3);
  const TBytes Before = Saved(Session, "t");
  struct TCase {
    const char* What;
    std::function<void(TTolvanFieldDefs&, TTolvanIndexDefs&, TTolvanConstraintDefs&)> Adjust;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"no fields", [](auto& F, auto&, auto&) { F.Clear(); }, ErrCreateTableNoFields},
      {"duplicate field", [](auto& F, auto&, auto&) { AddField(F, "name", tftInteger); },
       ErrCreateTableDuplicateField},
      {"index without fields", [](auto&, auto& I, auto&) { I.AddNew().SetName("EMPTY"); },
       ErrCreateTableIndexWithoutFields},
      {"duplicate constraint",
       [](auto&, auto&, auto& C) {
         C.AddNotNull().SetName("N");
         C.AddNotNull().SetName("n");
       },
       ErrCreateTableDuplicateConstraint},
      {"foreign key to a missing table",
       [](auto&, auto&, auto& C) {
         auto& Key = C.AddForeignKey();
         Key.SetName("FK");
         Key.Table().SetName("Nowhere");
         Key.Columns().emplace_back("name", 0);
       },
       -1},
      {"foreign key to itself without a primary key",
       [](auto&, auto& I, auto& C) {
         I.Clear();
         auto& Key = C.AddForeignKey();
         Key.SetName("FK");
         Key.Table().SetName("t");
         Key.Columns().emplace_back("name", 0);
       },
       ErrForeignKeyNoPrimaryKey},
  };
  for (const TCase& Case : Cases) {
    TTolvanFieldDefs F;
    TTolvanIndexDefs I;
    TTolvanConstraintDefs C;
    Definitions(F, I, C);
    Case.Adjust(F, I, C);
    const int32_t Code = NativeCodeOf([&] { NewCursor(Session, "T")->CreateTable(F, I, C); });
    if (Case.Code < 0)
      EXPECT_NE(Code, 0) << Case.What;
    else
      EXPECT_EQ(Code, Case.Code) << Case.What;
    EXPECT_EQ(Saved(Session, "t"), Before) << Case.What;
  }
  // Good definitions replace the table: empty, and under the cursor's letter case.
  Create(Session, "T");
  EXPECT_EQ(Session.Database().TableCount(), 1);
  EXPECT_EQ(TOpen(Session, "t").Rows().size(), 0u);
}

// A table referenced by another table's foreign key stops the creation over its name with the
// delete's 11481 and stays as it was.
TEST_F(LocalCursorTables, CreateOverAReferencedTableFails) {
  TFakeForeignKeys Keys;
  TTolvanFieldDefs F;
  TTolvanIndexDefs I;
  TTolvanConstraintDefs C;
  AddField(F, "ID", tftInteger);
  AddIndexDef(I, "PK", {"ID"}, true).SetPrimary(1);
  NewCursor(Session, "P")->CreateTable(F, I, C);
  TTolvanFieldDefs CF;
  TTolvanIndexDefs CI;
  TTolvanConstraintDefs CC;
  AddField(CF, "PID", tftInteger);
  auto& Key = CC.AddForeignKey();
  Key.SetName("FK");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("PID", 0);
  NewCursor(Session, "C")->CreateTable(CF, CI, CC);
  const TBytes Before = Saved(Session, "P");
  TTolvanFieldDefs NF;
  TTolvanIndexDefs NI;
  TTolvanConstraintDefs NC;
  AddField(NF, "X", tftInteger);
  EXPECT_EQ(NativeCodeOf([&] { NewCursor(Session, "P")->CreateTable(NF, NI, NC); }),
            ErrDeleteTableReferenced);
  EXPECT_EQ(Saved(Session, "P"), Before);
  EXPECT_EQ(Session.Database().TableCount(), 2);
}

// Deleting a referencing table with its foreign keys ignored drops the parent's half too.
TEST_F(LocalCursorTables, DeleteIgnoringForeignKeysDropsTheParentsHalf) {
  TFakeForeignKeys Keys;
  TTolvanFieldDefs F;
  TTolvanIndexDefs I;
  TTolvanConstraintDefs C;
  AddField(F, "ID", tftInteger);
  AddIndexDef(I, "PK", {"ID"}, true).SetPrimary(1);
  NewCursor(Session, "P")->CreateTable(F, I, C);
  TTolvanFieldDefs CF;
  TTolvanIndexDefs CI;
  TTolvanConstraintDefs CC;
  AddField(CF, "PID", tftInteger);
  auto& Key = CC.AddForeignKey();
  Key.SetName("FK");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("PID", 0);
  NewCursor(Session, "C")->CreateTable(CF, CI, CC);
  TTolvanTableData& Parent = *Session.Database().FindTableData("P");
  ASSERT_TRUE(Parent.ConstraintManager()->ConstraintDefs().HasActions());
  EXPECT_EQ(NativeCodeOf([&] { NewCursor(Session, "C")->DeleteTable(false); }),
            ErrDeleteTableReferenced);
  NewCursor(Session, "C")->DeleteTable(true);
  EXPECT_FALSE(Session.S.TableExists("C"));
  EXPECT_FALSE(Parent.ConstraintManager()->ConstraintDefs().HasActions());
  NewCursor(Session, "P")->DeleteTable(false);
  EXPECT_EQ(Session.Database().TableCount(), 0);
}

// --- rename, empty, delete
// ------------------------------------------------------------------------

TEST_F(LocalCursorTables, RenameEmptyAndDelete) {
  Fill(Session, "t", 4);
  // A new letter case of its own name.
  auto C = NewCursor(Session, "t");
  C->RenameTable("T");
  EXPECT_EQ(C->TableName(), "T");
  EXPECT_EQ(Session.Database().FindTableData("t")->TableName(), "T");
  C->RenameTable("renamed");
  EXPECT_FALSE(Session.S.TableExists("T"));
  C->RenameField("DATA", "CONTENT");
  {
    TOpen T(Session, "renamed");
    EXPECT_EQ(T.C->FieldDefs().Items(2).Name(), "CONTENT");
    EXPECT_EQ(T.Rows().size(), 4u);
    // Open cursors refuse emptying and deleting.
    EXPECT_EQ(NativeCodeOf([&] { NewCursor(Session, "renamed")->EmptyTable(); }),
              ErrEmptyTableWithCursors);
    EXPECT_EQ(NativeCodeOf([&] { NewCursor(Session, "renamed")->DeleteTable(false); }),
              ErrDeleteTableWithCursors);
  }
  // A refused rename leaves the cursor closed.
  EXPECT_EQ(NativeCodeOf([&] { C->RenameField("NONE", "X"); }), ErrRenameFieldOldMissing);
  EXPECT_EQ(NativeCodeOf([&] { C->RenameField("NAME", "X"); }), ErrRenameFieldIndexed);
  EXPECT_FALSE(C->Opened());
  EXPECT_TRUE(Session.Database().FindTableData("renamed")->Cursors().empty());
  C->EmptyTable();
  EXPECT_EQ(TOpen(Session, "renamed").Rows().size(), 0u);
  C->DeleteTable(false);
  EXPECT_EQ(Session.Database().TableCount(), 0);
}

// --- streams
// ---------------------------------------------------------------------------------------

TEST_F(LocalCursorTables, WriteClosesTheCursorUnlessKeptOpen) {
  Fill(Session, "t", 2);
  TOpen T(Session, "t");
  TVectorStream S;
  T.C->WriteTableToStream(S, caNone, 0, 0, true, true);
  EXPECT_TRUE(T.C->Opened());
  EXPECT_EQ(NativeCodeOf([&] { T.C->WriteTableToStream(S, caNone, 0, 0, false, true); }),
            ErrSaveTableWithCursors);
  T.C->WriteTableToStream(S, caNone, 0, 0, true, false);
  EXPECT_FALSE(T.C->Opened());
  EXPECT_TRUE(Session.Database().FindTableData("t")->Cursors().empty());
}

// A valid stream replaces the table of its stored name, whatever the letter case, and the
// cursor takes the stored name.
TEST_F(LocalCursorTables, LoadReplacesTheTableOfTheStoredName) {
  Fill(Session, "TAB", 5, 100);
  const TBytes Stream = Saved(Session, "TAB");
  const std::vector<std::string> Rows = TOpen(Session, "TAB").Rows();
  NewCursor(Session, "TAB")->DeleteTable(false);
  Fill(Session, "tab", 2);
  auto C = NewCursor(Session, "something else");
  TVectorStream S(Stream);
  C->LoadTableFromStream(S);
  EXPECT_EQ(C->TableName(), "TAB");
  EXPECT_FALSE(C->KeepTemporaryTable());
  EXPECT_EQ(Session.Database().TableCount(), 1);
  EXPECT_EQ(Session.Database().FindTableData("tab")->TableName(), "TAB");
  EXPECT_EQ(TOpen(Session, "TAB").Rows(), Rows);
  // Into a database without the table: added.
  TSession Other(std::string("LCT_Other_") +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
  TVectorStream S2(Stream);
  NewCursor(Other, "x")->LoadTableFromStream(S2);
  EXPECT_EQ(TOpen(Other, "TAB").Rows(), Rows);
  // A table with a cursor open is not replaced.
  TOpen Holding(Session, "TAB");
  TVectorStream S3(Stream);
  EXPECT_EQ(NativeCodeOf([&] { NewCursor(Session, "x")->LoadTableFromStream(S3); }),
            ErrDeleteTableWithCursors);
  EXPECT_EQ(Session.Database().TableCount(), 1);
}

// A stream cut at any length is refused and the table of that name stays as it was, usable.
void CutLoop(TSession& Session, size_t Step, bool Indexed) {
  Fill(Session, "t", 6, 0, Indexed);
  const TBytes Good = Saved(Session, "t");
  NewCursor(Session, "t")->DeleteTable(false);
  Fill(Session, "t", 3, 50);
  const TBytes Before = Saved(Session, "t");
  for (size_t Length = 0; Length < Good.size(); Length += Length < 256 ? 1 : Step) {
    TVectorStream S(TBytes(Good.begin(), Good.begin() + int64_t(Length)));
    auto C = NewCursor(Session, "t");
    ASSERT_NE(NativeCodeOf([&] { C->LoadTableFromStream(S); }), 0) << Length;
  }
  EXPECT_EQ(Saved(Session, "t"), Before);
  EXPECT_EQ(Session.Database().TableCount(), 1);
  TOpen T(Session, "t");
  T.Insert({{1, "after"}});
  EXPECT_EQ(T.Rows().size(), 4u);
}

// Every length of a table without indexes (whose stream holds no index pages).
TEST_F(LocalCursorTables, ACutStreamLeavesTheTableAsItWas) { CutLoop(Session, 1, false); }

class LocalCursorTablesSlow : public LocalCursorTables {};

// Every length of the first 256 bytes (header, name, counter, definitions), every 61st beyond
// (a prime, so the cuts fall at every offset within the pages): whole index pages make up most
// of the table stream's 200 KB, and the table stream's own tests cut it at every length.
TEST_F(LocalCursorTablesSlow, ACutStreamAtAnyLengthLeavesTheTableAsItWas) {
  CutLoop(Session, 61, true);
}

// --- repair
// ----------------------------------------------------------------------------------------

// Through a cursor that is neither in-memory nor temporary: records, BLOB values and the
// auto-increment values reach the new table, which takes the old name.
TEST_F(LocalCursorTables, RepairCopiesIntoANewTableUnderTheOldName) {
  Fill(Session, "r", 7);
  {
    TOpen T(Session, "r");
    T.C->SetToBegin();
    ASSERT_EQ(T.C->GetRecord(rmNext), rrOK);
    T.C->DeleteRecord(); // ID 1 goes
    ASSERT_EQ(T.C->LastErrorCode(), 0);
  }
  const std::vector<std::string> Rows = TOpen(Session, "r").Rows();
  ASSERT_EQ(Rows.size(), 6u);
  EXPECT_EQ(Rows[0], "2|n1|blob 1");
  auto C = NewCursor(Session, "r", false, true);
  AnsiString Log;
  EXPECT_TRUE(C->RepairTable(Log, nullptr));
  EXPECT_EQ(Log, "");
  EXPECT_EQ(Session.Database().TableCount(), 1);
  TOpen T(Session, "r");
  EXPECT_EQ(T.Rows(), Rows);
  // The sequence goes on from the highest value copied.
  T.Insert({{1, "next"}});
  EXPECT_EQ(T.Rows().back(), "8|next|-");
}

// A record the new table refuses is logged (the log keeps its wording) and left out. A table
// with a foreign key cannot be deleted without dropping the key, so this repair then stops at
// the delete (11481) and the old table stays.
TEST_F(LocalCursorTables, RepairLogsTheRecordsTheNewTableRefuses) {
  TFakeForeignKeys Keys;
  TTolvanFieldDefs PF;
  TTolvanIndexDefs PI;
  TTolvanConstraintDefs PC;
  AddField(PF, "ID", tftInteger);
  AddIndexDef(PI, "PK", {"ID"}, true).SetPrimary(1);
  NewCursor(Session, "P")->CreateTable(PF, PI, PC);
  TTolvanFieldDefs F;
  TTolvanIndexDefs I;
  TTolvanConstraintDefs C;
  AddField(F, "PID", tftInteger);
  auto& Key = C.AddForeignKey();
  Key.SetName("FK");
  Key.Table().SetName("P");
  Key.Columns().emplace_back("PID", 0);
  NewCursor(Session, "C")->CreateTable(F, I, C);
  {
    TOpen T(Session, "C");
    for (const char* PID : {"1", "2", "3"})
      T.Insert({{0, PID}});
  }
  Keys.ParentMissing = [&](const TTolvanConstraintDefForeignKey&, const uint8_t* Buffer) {
    int32_t PID = 0;
    TTolvanFieldDefs Layout;
    Layout.Assign(*Session.Database().FindTableData("C")->FieldDefs());
    Layout.CalcLayout();
    GetFieldData(0, Layout, &PID, Buffer);
    return PID == 2;
  };
  const std::vector<std::string> Rows = TOpen(Session, "C").Rows();
  auto R = NewCursor(Session, "C", false, true);
  AnsiString Log;
  EXPECT_EQ(NativeCodeOf([&] { R->RepairTable(Log, nullptr); }), ErrDeleteTableReferenced);
  const std::string Line = "Error during table repairing. Cannot insert recird, table:C\r\n";
  ASSERT_EQ(Log.substr(0, Line.size()), Line);
  EXPECT_EQ(Log.find(Line, 1), std::string::npos) << Log;
  EXPECT_EQ(Log.substr(Log.size() - 2), "\r\n");
  Keys.ParentMissing = {};
  EXPECT_EQ(TOpen(Session, "C").Rows(), Rows);
}

TEST_F(LocalCursorTables, RepairOfAnInMemoryOrTemporaryCursorDoesNothing) {
  Fill(Session, "r", 3);
  const TBytes Before = Saved(Session, "r");
  for (bool Temporary : {false, true}) {
    auto C = NewCursor(Session, "r", !Temporary, false);
    C->SetTemporary(Temporary);
    AnsiString Log = "kept";
    EXPECT_TRUE(C->RepairTable(Log, nullptr));
    EXPECT_EQ(Log, "kept");
    EXPECT_FALSE(C->Opened());
  }
  EXPECT_EQ(Saved(Session, "r"), Before);
  EXPECT_EQ(Session.Database().TableCount(), 1);
}

// --- SQL export
// -------------------------------------------------------------------------------------

TEST_F(LocalCursorTables, ExportOpensAClosedCursorForTheScriptAndClosesIt) {
  Fill(Session, "t", 2);
  AnsiString Closed;
  auto C = NewCursor(Session, "t");
  C->GenerateTableSQL(true, false, true, false, true, false, true, Closed);
  EXPECT_FALSE(C->Opened());
  EXPECT_EQ(Closed, "CREATE TABLE MEMORY [t] (\r\n"
                    "\t[ID]  AUTOINC (AUTOINC INITIALVALUE 0 INCREMENT 1 NOMINVALUE NOMAXVALUE "
                    "NOCYCLED),\r\n"
                    "\t[NAME] STRING (12),\r\n"
                    "\t[DATA] BLOB BLOBBLOCKSIZE 64 BLOBCOMPRESSIONALGORITHM NONE "
                    "BLOBCOMPRESSIONMODE 0\r\n"
                    ");\r\n"
                    "CREATE UNIQUE INDEX [BYNAME] ON MEMORY [t] (\r\n"
                    "\t[NAME]\r\n"
                    ");\r\n"
                    "INSERT INTO MEMORY [t] ([ID], [NAME]) VALUES (\r\n\t1,\r\n\t'n0'\r\n);\r\n"
                    "INSERT INTO MEMORY [t] ([ID], [NAME]) VALUES (\r\n\t2,\r\n\t'n1'\r\n);\r\n");
  TOpen T(Session, "t");
  AnsiString Open;
  T.C->GenerateTableSQL(true, false, true, false, true, false, true, Open);
  EXPECT_EQ(Open, Closed);
}

// --- threads
// ----------------------------------------------------------------------------------------

// Four threads, each with a session of its own on one database, create, fill, save, delete,
// load and check a table of their own.
TEST_F(LocalCursorTables, ThreadsSaveAndLoadTablesOfTheirOwn) {
  const std::string Name = Session.S.DatabaseName();
  std::atomic<int32_t> Failures{0};
  std::vector<std::thread> Threads;
  for (int32_t N = 0; N < 4; ++N)
    Threads.emplace_back([&, N] {
      try {
        TSession Mine(Name, false);
        const std::string Table = "thread" + std::to_string(N);
        for (int32_t Round = 0; Round < 3; ++Round) {
          Fill(Mine, Table, 20, N * 100);
          const std::vector<std::string> Rows = TOpen(Mine, Table).Rows();
          const TBytes Stream = Saved(Mine, Table);
          NewCursor(Mine, Table)->DeleteTable(false);
          if (Mine.S.TableExists(Table)) {
            ADD_FAILURE() << Table << " still exists";
            ++Failures;
          }
          TVectorStream S(Stream);
          NewCursor(Mine, "x")->LoadTableFromStream(S);
          const std::vector<std::string> Loaded = TOpen(Mine, Table).Rows();
          if (Loaded != Rows) {
            ADD_FAILURE() << Table << " rows differ";
            ++Failures;
          }
          NewCursor(Mine, Table)->DeleteTable(false);
        }
      } catch (const std::exception& E) {
        ADD_FAILURE() << E.what();
        ++Failures;
      }
    });
  for (auto& T : Threads)
    T.join();
  EXPECT_EQ(Failures.load(), 0);
  EXPECT_EQ(Session.Database().TableCount(), 0);
}

} // namespace
} // namespace tolvan::test
