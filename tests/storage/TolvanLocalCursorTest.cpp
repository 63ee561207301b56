#include "storage/local/TolvanLocalCursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/TolvanMessages.h"
#include "schema/expr/TolvanExpression.h"
#include "storage/TolvanConstraintManager.h"
#include "tests/schema/support/FakeExprServices.h"
#include "tests/storage/FakeIndex.h"
#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

constexpr int32_t IDField = 0;
constexpr int32_t NameField = 1;
constexpr int32_t DataField = 2;

// Table T: ID Integer, Name Varchar(10), Data BLOB; unique index IX on ID with its constraint.
struct TTableDefs {
  TTableDefs() {
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Name", tftVarchar, 10);
    AddField(Fields, "Data", tftBLOB);
    AddIndexDef(Indexes, "IX", {"ID"}, true);
    auto& Unique = Constraints.AddUnique();
    Unique.SetName("IX");
    Unique.Index().SetName("IX");
    Unique.Columns().emplace_back("ID", 0);
  }
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
};

class LocalCursor : public ::testing::Test {
protected:
  // Opens a cursor of Session on T, creating the table.
  std::unique_ptr<TOpenCursor> OpenT(TTolvanLocalSession& On, bool InMemory = true,
                                     bool Temporary = false) {
    auto C = std::make_unique<TOpenCursor>(On, "T", InMemory, Temporary);
    TTableDefs Defs;
    C->Open(&Defs.Fields, &Defs.Indexes, &Defs.Constraints);
    return C;
  }

  TLocalStorage Storage;
  std::unique_ptr<TTolvanLocalSession> Session = TLocalStorage::Connected("MEMORY");
};

TEST_F(LocalCursor, OpenCreatesOnlyInMemoryTablesAndLeavesNothingWhenCreationFails) {
  auto C = OpenT(*Session);
  EXPECT_TRUE(C->Cursor.Opened());
  EXPECT_TRUE(C->Cursor.IsMemoryTable());
  EXPECT_FALSE(C->Cursor.IsTemporaryTable());
  EXPECT_FALSE(C->Cursor.DirectTableData());
  EXPECT_TRUE(Session->TableExists("T"));
  EXPECT_EQ(C->Cursor.FieldDefs().Count(), 3);
  EXPECT_EQ(C->Cursor.IndexDefs().Count(), 1);
  EXPECT_EQ(C->Cursor.RecordSize(), C->Cursor.RecordIDOffset() + 7);

  auto Temp = TLocalStorage::Connected("TEMP", false, true);
  struct TCase {
    const char* What;
    TTolvanLocalSession* On;
    bool InMemory;
    bool Temporary;
    bool Duplicate;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {"not in memory", Session.get(), false, false, false, 10028,
       "Table not found, table name = Missing"},
      {"temporary", Temp.get(), false, true, false, 10028, "Table not found, table name = Missing"},
      {"refused definitions", Session.get(), true, false, true, 11430,
       "Cannot create table 'Missing'. Duplicate field name 'ID'"},
  };
  for (const TCase& Case : Cases) {
    TOpenCursor Other(*Case.On, "Missing", Case.InMemory, Case.Temporary);
    TTableDefs Defs;
    if (Case.Duplicate)
      AddField(Defs.Fields, "id", tftInteger);
    const TRaised R = RaisedBy([&] { Other.Open(&Defs.Fields, &Defs.Indexes, &Defs.Constraints); });
    EXPECT_EQ(R.Code, Case.Code) << Case.What;
    EXPECT_EQ(R.Message, EngineMessage(Case.Text, Case.Code)) << Case.What;
    EXPECT_FALSE(Other.Cursor.Opened()) << Case.What;
    EXPECT_FALSE(Case.On->TableExists("Missing")) << Case.What;
  }
}

TEST_F(LocalCursor, RecordWritesReportThroughTheLastErrorAndNeverRaise) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  ASSERT_EQ(C->Insert(1, "a"), 0);
  EXPECT_EQ(LoadBookmarkFlag(C->Buffer, K.RecordIDOffset()), bfInserted);
  EXPECT_TRUE(LoadRecordID(C->Buffer, K.RecordIDOffset()) == K.Position());
  ASSERT_EQ(C->Insert(2, "b"), 0);

  // A key taken: the constraint's message, no exception, nothing stored.
  EXPECT_EQ(C->Insert(1, "dup"), -8);
  ASSERT_EQ(K.ConstraintDefs().Count(), 1);
  const std::string Violated =
      EngineMessage("Constraint unique 'IX' violated. Duplicate found.", 30320);
  EXPECT_EQ(K.LastErrorText(), Violated);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 2}));

  // An update to a taken key is refused the same way; one to a free key goes through.
  K.SetRecNo(2);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  C->Edit();
  EXPECT_EQ(K.LastErrorCode(), 0);
  C->SetInteger(IDField, 1);
  K.PostRecord(false);
  EXPECT_EQ(K.LastErrorCode(), -8);
  EXPECT_EQ(K.LastErrorText(), Violated);
  C->SetInteger(IDField, 3);
  K.PostRecord(false);
  EXPECT_EQ(K.LastErrorCode(), 0) << K.LastErrorText();
  EXPECT_EQ(K.LastErrorText(), "");
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 3}));

  // A record that has gone: delete -3 with no text, update -2 with the fixed text.
  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  const TTolvanRecordID Gone = LoadRecordID(C->Buffer, K.RecordIDOffset());
  K.DeleteRecord();
  ASSERT_EQ(K.LastErrorCode(), 0);
  StoreRecordID(C->Buffer, K.RecordIDOffset(), Gone);
  K.DeleteRecord();
  EXPECT_EQ(K.LastErrorCode(), -3);
  EXPECT_EQ(K.LastErrorText(), "");
  K.PostRecord(false);
  EXPECT_EQ(K.LastErrorCode(), -2);
  EXPECT_EQ(K.LastErrorText(), "Error updating record: ");
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{3}));
}

TEST_F(LocalCursor, AFailingInsertRaisesWhileUpdateAndDeleteReport) {
  auto Hooks = std::make_shared<TFakeIndexHooks>();
  bool Armed = false;
  Hooks->BeforeOperation = [&](std::string_view Operation, int32_t) {
    if (Armed && Operation != "CompareRecordKeys")
      throw ETolvanException(12345, "index failed");
  };
  auto OnF = TLocalStorage::Connected("F");
  static_cast<TTolvanMemoryDatabaseData*>(OnF->Database())
      ->SetIndexFactory(FakeIndexFactory(Hooks));
  TOpenCursor C(*OnF, "T");
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "ByID", {"ID"});
  C.Open(&Fields, &Indexes);
  ASSERT_EQ(C.Insert(1), 0);
  TTolvanLocalCursor& K = C.Cursor;
  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);

  Armed = true;
  C.Edit();
  C.SetInteger(IDField, 2);
  K.PostRecord(false);
  EXPECT_EQ(K.LastErrorCode(), -2);
  EXPECT_EQ(K.LastErrorText(), "Error updating record: index failed - Native error: 12345");
  K.DeleteRecord();
  EXPECT_EQ(K.LastErrorCode(), -3);
  EXPECT_EQ(K.LastErrorText(), "index failed - Native error: 12345");
  const TRaised Insert = RaisedBy([&] { C.Insert(3); });
  EXPECT_EQ(Insert.Code, 12345);
  Armed = false;
  EXPECT_EQ(C.Walk(), (std::vector<int32_t>{1}));
}

TEST_F(LocalCursor, WritesOnATemporaryTableAreRefusedByCode) {
  auto Temp = TLocalStorage::Connected("TEMP", false, true);
  // Made through an in-memory cursor: a temporary cursor does not create its table.
  auto C = OpenT(*Temp);
  ASSERT_TRUE(C->Cursor.IsTemporaryTable());
  ASSERT_EQ(C->Insert(1, "a"), 0);
  TTolvanLocalCursor& K = C->Cursor;
  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  struct TCase {
    const char* What;
    std::function<void()> Call;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"edit", [&] { K.EditRecord(); }, -9},
      {"delete", [&] { K.DeleteRecord(); }, -10},
      {"cancel", [&] { K.CancelRecord(false); }, -11},
  };
  for (const TCase& Case : Cases) {
    K.SetLastErrorText("stale");
    Case.Call();
    EXPECT_EQ(K.LastErrorCode(), Case.Code) << Case.What;
  }
  EXPECT_EQ(K.GetRecordCount(), 1);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1}));
}

TEST_F(LocalCursor, BlobStreams) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  C->NewRecord();
  C->SetInteger(IDField, 1);
  TTolvanStream* W = K.OpenBlob(true, DataField, tbmWrite);
  W->WriteBuffer("blob", 4);
  struct TCase {
    const char* What;
    std::function<void()> Call;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {"second writer", [&] { K.OpenBlob(true, DataField, tbmWrite); }, 10115,
       "BLOB field already opened. FieldNo = 2, FieldName = Data"},
      {"read/write beside a writer", [&] { K.OpenBlob(true, DataField, tbmReadWrite); }, 10115,
       "BLOB field already opened. FieldNo = 2, FieldName = Data"},
      {"open past the fields", [&] { K.OpenBlob(true, 3, tbmRead); }, 10110,
       "Invalid field number - FieldNo = 3, FieldCount = 3"},
      {"open below the fields", [&] { K.OpenBlob(true, -1, tbmRead); }, 10110,
       "Invalid field number - FieldNo = -1, FieldCount = 3"},
      {"close past the fields", [&] { K.CloseBlob(7); }, 10118,
       "Invalid field number - FieldNo = 7, FieldCount = 3"},
  };
  for (const TCase& Case : Cases) {
    const TRaised R = RaisedBy(Case.Call);
    EXPECT_EQ(R.Code, Case.Code) << Case.What;
    EXPECT_EQ(R.Message, EngineMessage(Case.Text, Case.Code)) << Case.What;
  }
  EXPECT_EQ(K.OpenBlobCount(), 1);
  K.CloseBlob(DataField);
  K.PostRecord(true);
  ASSERT_EQ(K.LastErrorCode(), 0) << K.LastErrorText();
  // A writer left open without a dataset stream over it is dropped by the post, unstored.
  C->NewRecord();
  C->SetInteger(IDField, 2);
  K.OpenBlob(true, DataField, tbmWrite)->WriteBuffer("lost", 4);
  K.PostRecord(true);
  ASSERT_EQ(K.LastErrorCode(), 0) << K.LastErrorText();
  EXPECT_EQ(K.OpenBlobCount(), 0);
  EXPECT_TRUE(IsFieldNull(C->Buffer, DataField));

  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  TTolvanStream* R1 = K.OpenBlob(false, DataField, tbmRead);
  TTolvanStream* R2 = K.OpenBlob(false, DataField, tbmRead);
  ASSERT_NE(R1, R2);
  char Bytes[4] = {};
  EXPECT_EQ(R2->Read(Bytes, 4), 4);
  EXPECT_EQ(std::string(Bytes, 4), "blob");
  EXPECT_EQ(RaisedBy([&] { R1->WriteBuffer("x", 1); }).Code, 10115);
  K.CloseBlob(DataField);
  EXPECT_EQ(K.OpenBlobCount(), 0);

  // A closed cursor has no stream list (a projection keeps its visible fields).
  K.SetProjectionSet(true);
  K.CloseTable();
  const TRaised Open = RaisedBy([&] { K.OpenBlob(false, DataField, tbmRead); });
  EXPECT_EQ(Open.Code, 10113);
  EXPECT_EQ(Open.Message, EngineMessage("Nil pointer occured", 10113));
  EXPECT_EQ(RaisedBy([&] { K.CloseBlob(DataField); }).Code, 10119);
  K.SetProjectionSet(false);
}

TEST_F(LocalCursor, ProjectionChecksTheListsAndKeepsTheFieldsOnFailure) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  const auto Lists = [](std::initializer_list<const char*> Items) {
    auto L = std::make_unique<TStringList>();
    for (const char* I : Items)
      L->Add(I);
    return L;
  };
  K.SetProjection(*Lists({"Name", "ID"}), *Lists({"", "Key"}));
  ASSERT_EQ(K.VisibleFieldDefs().Count(), 2);
  EXPECT_EQ(K.VisibleFieldDefs().Items(0).Name(), "Name");
  EXPECT_EQ(K.VisibleFieldDefs().Items(0).TableFieldNo(), 1);
  EXPECT_EQ(K.VisibleFieldDefs().Items(1).Name(), "Key");
  EXPECT_EQ(K.VisibleFieldDefs().Items(1).TableFieldNo(), 0);
  EXPECT_FALSE(K.ProjectionSet()); // the dataset sets it

  struct TCase {
    std::initializer_list<const char*> Names;
    std::initializer_list<const char*> Aliases;
    int32_t Code;
    std::string Text;
  };
  const TCase Cases[] = {
      {{"ID", "Name"}, {""}, 10321, "Error - different lists length. L1 = 2, L2 = 1"},
      {{}, {}, 10322, "No fields were specified while setting projection"},
      {{"ID", "Nope"}, {"", ""}, 10323, "Cannot find field Nope"},
  };
  for (const TCase& Case : Cases) {
    const TRaised R = RaisedBy([&] { K.SetProjection(*Lists(Case.Names), *Lists(Case.Aliases)); });
    EXPECT_EQ(R.Code, Case.Code) << Case.Text;
    EXPECT_EQ(R.Message, EngineMessage(Case.Text, Case.Code));
    EXPECT_EQ(K.VisibleFieldDefs().Count(), 2);
  }
}

// A filter's sub-queries run when the filter is set, not at the first record a scan tests while
// it holds the table's lock. A failure waits for that record, so a scan that tests none passes.
TEST_F(LocalCursor, AFiltersSubQueriesRunWhenItIsSet) {
  TFakeExprServices Services;
  TScopedExprServices Scope(&Services);
  const char* const Text = " SELECT X FROM Q"; // as the parser rebuilds the sub-query
  for (int32_t X : {2, 4}) {
    TTolvanVariant V(tvtInteger);
    V.SetAsInteger(X);
    Services.AddSubQueryRow(Text, V);
  }
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;

  Services.Fail(TFakeExprServices::fpOpen, 556);
  EXPECT_EQ(RaisedBy([&] { K.SetFilter("EXISTS (SELECT X FROM Q)", false, false); }).Code, 0);
  Services.Fail(TFakeExprServices::fpOpen, 0);
  EXPECT_EQ(RaisedBy([&] { EXPECT_TRUE(C->Walk().empty()); }).Code, 0);
  K.ClearFilter();
  for (int32_t I = 1; I <= 5; ++I)
    ASSERT_EQ(C->Insert(I), 0);
  Services.Fail(TFakeExprServices::fpOpen, 557);
  K.SetFilter("EXISTS (SELECT X FROM Q)", false, false);
  Services.Fail(TFakeExprServices::fpOpen, 0);
  EXPECT_EQ(RaisedBy([&] { C->Walk(); }).Code, 557);

  TTolvanVariant Four(tvtInteger);
  Four.SetAsInteger(4);
  Services.AddSubQueryRow(" SELECT X FROM Q WHERE X > 3", Four);
  const int32_t Opens = Services.OpenCount();
  K.SetFilter("ID IN (SELECT X FROM Q) OR ID = (SELECT X FROM Q WHERE X > 3) + 1", false, false);
  EXPECT_EQ(Services.OpenCount(), Opens + 2);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{2, 4, 5}));
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{2, 4, 5}));
  EXPECT_EQ(Services.OpenCount(), Opens + 2);
  K.ClearFilter();
  EXPECT_EQ(Services.OpenHandleCount(), 0);
}

TEST_F(LocalCursor, FiltersRangesAndTheUnsupportedSlots) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  for (int32_t I = 1; I <= 5; ++I)
    ASSERT_EQ(C->Insert(I), 0);

  K.SetFilter("ID > 2", false, false);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{3, 4, 5}));
  // An external filter holds the filter in force against ClearFilter.
  auto External = std::make_unique<TTolvanExpression>();
  External->ParseFilter(&K, "ID < 5", false, false);
  K.SetExternalFilter(std::move(External));
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{3, 4}));
  K.ClearFilter();
  EXPECT_NE(K.Filter(), nullptr);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{3, 4}));
  ASSERT_NE(K.ReleaseExternalFilter(), nullptr);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{3, 4, 5}));
  K.ClearFilter();
  EXPECT_EQ(K.Filter(), nullptr);
  EXPECT_EQ(K.GetRecordCount(), 5);

  // The range keys are the cursor's own copies: the caller's buffers may change or go.
  K.SetIndexName("IX");
  uint8_t* Low = K.AllocRecordBuffer();
  uint8_t* High = K.AllocRecordBuffer();
  for (auto [Key, Value] : {std::pair{Low, 2}, std::pair{High, 4}}) {
    TTolvanVariant V;
    V.SetAsInteger(Value);
    K.SetCursorFieldValue(V, IDField, Key, true);
  }
  K.SetRange(Low, High, 1, 1, false, true);
  std::memset(Low, 0xFF, size_t(K.RecordSize()));
  TTolvanCursor::FreeRecordBuffer(Low);
  TTolvanCursor::FreeRecordBuffer(High);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{2, 3}));
  K.CancelRange();
  EXPECT_EQ(K.RangeStartKey(), nullptr);
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 2, 3, 4, 5}));

  AnsiString Name;
  for (bool Open : {true, false}) {
    if (!Open)
      K.CloseTable();
    const TRaised Master = RaisedBy([&] { K.SetMasterFields(nullptr, 1); });
    EXPECT_EQ(Master.Code, 11393);
    EXPECT_EQ(Master.Message, EngineMessage("Error - operation is not supported", 11393));
    const TRaised Create = RaisedBy([&] { K.CreateIndexForFields(nullptr, Name); });
    EXPECT_EQ(Create.Code, 11394);
    EXPECT_EQ(Create.Message, EngineMessage("Error - operation is not supported", 11394));
  }
}

TEST_F(LocalCursor, IndexesThroughTheCursor) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  ASSERT_EQ(C->Insert(2, "b"), 0);
  ASSERT_EQ(C->Insert(1, "a"), 0);
  TTolvanIndexDefs Defs;
  TTolvanIndexDef& ByName = AddIndexDef(Defs, "ByName", {"Name"});
  K.AddIndex(ByName);
  EXPECT_EQ(K.IndexDefs().Count(), 2);

  const auto Names = [](std::initializer_list<const char*> Items) {
    TStringList L;
    for (const char* I : Items)
      L.Add(I);
    return L;
  };
  const TStringList Fields = Names({"name"}), Orders = Names({""}), Cases = Names({""});
  AnsiString Found;
  K.FindIndexForFields(&Fields, &Orders, &Cases, Found);
  EXPECT_EQ(Found, "ByName");
  const TStringList None = Names({"Data"});
  K.FindIndexForFields(&None, &Orders, &Cases, Found);
  EXPECT_EQ(Found, "");

  const TRaised Twice = RaisedBy([&] { K.AddIndex(ByName); });
  EXPECT_EQ(Twice.Code, 20022);
  EXPECT_EQ(Twice.Message,
            EngineMessage("Cannot create index 'ByName'. Index already exists", 20022));
  K.SetIndexName("ByName");
  EXPECT_EQ(C->Walk(), (std::vector<int32_t>{1, 2}));
  K.DeleteIndex("ByName");
  EXPECT_EQ(K.IndexDefs().Count(), 1);
  EXPECT_EQ(K.IndexID(), -1); // the current index has gone
  const TRaised Missing = RaisedBy([&] { K.DeleteIndex("ByName"); });
  EXPECT_EQ(Missing.Code, 20021);
  EXPECT_EQ(Missing.Message, EngineMessage("Cannot delete index 'ByName'. Index not found", 20021));
  K.DeleteAllIndexes();
  EXPECT_EQ(K.IndexDefs().Count(), 0);
  // The unique constraint went with its index.
  EXPECT_EQ(C->Insert(1, "again"), 0);
}

TEST_F(LocalCursor, SavedRecordAndDirectAttachment) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  ASSERT_EQ(C->Insert(1, "a"), 0);
  ASSERT_EQ(C->Insert(2, "b"), 0);
  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  K.SaveCurrentRecord();
  ASSERT_EQ(K.GetRecord(rmNext), rrOK);
  EXPECT_EQ(C->Integer(IDField), 2);
  K.RestoreCurrentRecord();
  EXPECT_EQ(C->Integer(IDField), 1);
  EXPECT_FALSE(K.Bof());
  ASSERT_EQ(K.GetRecord(rmNext), rrOK); // back at record 1, so next is 2
  EXPECT_EQ(C->Integer(IDField), 2);
  K.RestoreCurrentRecord(); // nothing saved any more: nothing
  EXPECT_EQ(C->Integer(IDField), 2);

  // Saved without a buffer, restored as none.
  K.SetRecordBuffer(nullptr);
  K.SaveCurrentRecord();
  K.SetRecordBuffer(C->Buffer);
  K.RestoreCurrentRecord();
  EXPECT_EQ(K.RecordBuffer(), nullptr);
  K.SetRecordBuffer(C->Buffer);

  // A cursor attached directly reads the table without being listed there.
  TTolvanLocalCursor Direct;
  Direct.SetSession(Session.get());
  Direct.AttachToTableData(*K.TableData());
  EXPECT_TRUE(Direct.Opened());
  EXPECT_TRUE(Direct.DirectTableData());
  EXPECT_EQ(K.TableData()->Cursors().size(), 1u);
  EXPECT_EQ(Direct.GetRecordCount(), 2);
  EXPECT_EQ(Direct.FieldDefs().Count(), 3);
  Direct.CloseTable();
  EXPECT_EQ(K.TableData()->Cursors().size(), 1u);
}

TEST_F(LocalCursor, LocateGotoKeyAutoIncrementAndTableUse) {
  TOpenCursor C(*Session, "A");
  TTolvanFieldDefs Fields;
  AddField(Fields, "ID", tftInteger);
  AddField(Fields, "N", tftAutoIncInteger);
  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "ByID", {"ID"});
  C.Open(&Fields, &Indexes);
  TTolvanLocalCursor& K = C.Cursor;
  for (int32_t ID : {30, 10, 20})
    ASSERT_EQ(C.Insert(ID), 0);
  EXPECT_EQ(K.GetAutoIncValue(1), 3);
  K.SetAutoIncValue(1, 100);
  ASSERT_EQ(C.Insert(40), 0);
  EXPECT_EQ(C.Integer(1), 101);

  EXPECT_TRUE(K.Locate("ID", Variant(20), false, false));
  EXPECT_EQ(C.Integer(1), 3);
  EXPECT_FALSE(K.Locate("ID", Variant(25), false, false));
  EXPECT_EQ(C.Integer(IDField), 20); // a failed search keeps the record
  // The buffer names the located record: a delete right after removes it, not the one read before.
  K.SetRecNo(1);
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  ASSERT_NE(C.Integer(IDField), 40);
  ASSERT_TRUE(K.Locate("ID", Variant(40), false, false));
  K.DeleteRecord();
  EXPECT_FALSE(K.Locate("ID", Variant(40), false, false));
  EXPECT_TRUE(K.Locate("ID", Variant(30), false, false));
  EXPECT_TRUE(K.Locate("ID", Variant(20), false, false));

  K.SetIndexName("ByID");
  uint8_t* Key = K.AllocRecordBuffer();
  TTolvanVariant V;
  V.SetAsInteger(15);
  K.SetCursorFieldValue(V, IDField, Key, true);
  K.SetSearchKey(Key);
  K.SetSearchKeyFieldCount(1);
  EXPECT_TRUE(K.GotoKey(5)); // first key >= 15
  ASSERT_EQ(K.GetRecord(rmCurrent), rrOK);
  EXPECT_EQ(C.Integer(IDField), 20);
  EXPECT_FALSE(K.GotoKey(1)); // none equals 15
  K.SetSearchKey(nullptr);
  TTolvanCursor::FreeRecordBuffer(Key);

  const int32_t Uses = K.TableData()->UseCount();
  K.BeginTableUse();
  EXPECT_EQ(K.TableData()->UseCount(), Uses + 1);
  K.EndTableUse();
  EXPECT_EQ(K.TableData()->UseCount(), Uses);
}

// The dataset's stream over a cursor's BLOB stream: let go by the engine, it closes the field
// through the cursor, which stores what was written.
class TOwnerStream : public ITolvanBlobStreamOwner {
public:
  TOwnerStream(TTolvanCursor& Cursor, int32_t FieldNo, int32_t& Freed)
      : FCursor(Cursor), FFieldNo(FieldNo), FFreed(Freed) {}
  void CloseFromEngine() noexcept override {
    ++FFreed;
    FCursor.CloseBlob(FFieldNo);
  }

private:
  TTolvanCursor& FCursor;
  int32_t FFieldNo;
  int32_t& FFreed;
};

TEST_F(LocalCursor, APostClosesOwnedWritersThroughTheirOwnersAndCloseFreesTheRest) {
  auto C = OpenT(*Session);
  TTolvanLocalCursor& K = C->Cursor;
  int32_t Freed = 0;
  C->NewRecord();
  C->SetInteger(IDField, 1);
  auto* Writer = static_cast<TTolvanLocalBLOBStream*>(K.OpenBlob(true, DataField, tbmWrite));
  Writer->WriteBuffer("kept", 4);
  TOwnerStream WriterOwner(K, DataField, Freed);
  Writer->SetOwner(&WriterOwner);
  K.PostRecord(true);
  ASSERT_EQ(K.LastErrorCode(), 0) << K.LastErrorText();
  EXPECT_EQ(Freed, 1);
  EXPECT_EQ(K.OpenBlobCount(), 0);
  TTolvanVariant V;
  K.GetFieldValue(V, DataField, true, false);
  ASSERT_FALSE(V.IsNull());
  EXPECT_EQ(std::string(static_cast<const char*>(V.Data()), size_t(V.DataSize())), "kept");
  // A reader stays open across a post and goes with its owner when the cursor closes.
  auto* Reader = static_cast<TTolvanLocalBLOBStream*>(K.OpenBlob(false, DataField, tbmRead));
  TOwnerStream ReaderOwner(K, DataField, Freed);
  Reader->SetOwner(&ReaderOwner);
  ASSERT_EQ(C->Insert(2), 0);
  EXPECT_EQ(K.OpenBlobCount(), 1);
  EXPECT_EQ(Freed, 1);
  K.CloseTable();
  EXPECT_EQ(Freed, 2);
  EXPECT_EQ(K.OpenBlobCount(), 0);
}

TEST_F(LocalCursor, ClosingATemporaryCursorFreesTheSessionItOwns) {
  auto Temp = TLocalStorage::Connected("TEMP", false, true);
  auto Maker = OpenT(*Temp); // an in-memory cursor makes the temporary table
  for (bool Temporary : {false, true}) {
    TTolvanLocalCursor K;
    K.AdoptSession(TLocalStorage::Connected("TEMP", false, true));
    K.SetTableName("T");
    K.SetTemporary(Temporary);
    K.OpenTable(nullptr, nullptr, nullptr);
    EXPECT_TRUE(K.IsTemporaryTable());
    K.CloseTable();
    EXPECT_EQ(K.OwnsSession(), !Temporary) << Temporary;
    EXPECT_EQ(K.Session() == nullptr, Temporary) << Temporary;
  }
}

TEST_F(LocalCursor, SideCursorsAreLocalCursors) {
  auto C = OpenT(*Session);
  ASSERT_EQ(C->Insert(7), 0);
  std::unique_ptr<TTolvanSideCursor> Side = OpenSideCursor(Session.get(), true, "t", true);
  ASSERT_NE(dynamic_cast<TTolvanLocalCursor*>(&Side->Cursor()), nullptr);
  EXPECT_EQ(&Side->TableData(), C->Cursor.TableData());
  EXPECT_TRUE(Side->Cursor().Bof());
  ASSERT_EQ(Side->Cursor().GetRecord(rmNext), rrOK);
  EXPECT_EQ(C->Cursor.TableData()->Cursors().size(), 2u);
  Side->Close();
  EXPECT_EQ(C->Cursor.TableData()->Cursors().size(), 1u);
  // A side cursor never creates its table.
  EXPECT_EQ(RaisedBy([&] { OpenSideCursor(Session.get(), true, "Nope", false); }).Code, 10028);
  EXPECT_FALSE(Session->TableExists("Nope"));
}

} // namespace
