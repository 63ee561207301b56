// Editing through the dataset: posts, cancels, deletes and complete-record inserts carried to the
// cursor, the database component's record events around them, the refusals of the engine and the
// checks of a dataset without a cursor.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "classlib/DBFields.h"
#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/BrowseDataSet.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class TEditDataSet : public TBrowseDataSet {
public:
  using TTolvanDataSet::AddRecord;
  using TTolvanDataSet::CancelRecord;
  using TTolvanDataSet::DeleteRecord;
  using TTolvanDataSet::DisposeRecordBuffer;
  using TTolvanDataSet::EditRecord;
  using TTolvanDataSet::InitRecordBuffer;
  using TTolvanDataSet::NewRecordBuffer;
  using TTolvanDataSet::PostRecord;
  using TTolvanDataSet::RecordBufferSize;
  using TTolvanDataSet::ReleaseBlobField;
};

std::string MessageOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const std::exception& E) {
    return E.what();
  }
  return "";
}

class EditTest : public ComponentTest {
protected:
  void SetUp() override {
    MakeSimpleTable("MEMORY", "E", true);
    D = Own(NewComponent<TEditDataSet>(nullptr));
    D->TableName = "E";
    D->Open();
  }

  void Add(int32_t Id, std::string_view Name) {
    D->Append();
    D->FieldByName("ID").SetAsInteger(Id);
    D->FieldByName("Name").SetAsString(Name);
    D->Post();
  }

  int64_t Stored() { return D->Cursor()->GetRecordCount(); }
  TTolvanDatabase& Db() { return *D->Database(); }

  TComponentPtr<TEditDataSet> D;
};

bool AllNull(TTolvanArrayOfTTolvanVariant Values) {
  for (TTolvanVariant* V : Values)
    if (!V->IsNull())
      return false;
  return true;
}

TEST_F(EditTest, ValuesAreCapturedOnlyForAssignedEvents) {
  Add(1, "one");
  D->Edit();
  EXPECT_TRUE(AllNull(D->OldValues()));
  D->Cancel();

  std::string SeenOld, SeenNew;
  Db().SetBeforeUpdateRecord([&](TTolvanDataSet*, const AnsiString& Table,
                                 TTolvanArrayOfTTolvanVariant Old, TTolvanArrayOfTTolvanVariant New,
                                 bool&) {
    EXPECT_EQ(Table, "E");
    SeenOld = Old[1]->GetAsString();
    SeenNew = New[1]->GetAsString();
  });
  D->Edit();
  EXPECT_EQ(D->OldValues()[1]->GetAsString(), "one");
  D->FieldByName("Name").SetAsString("uno");
  D->Post();
  EXPECT_EQ(SeenOld, "one");
  EXPECT_EQ(SeenNew, "uno");
  // Cleared after the event pair.
  EXPECT_TRUE(AllNull(D->OldValues()));
  EXPECT_TRUE(AllNull(D->NewValues()));
}

TEST_F(EditTest, BlockedInsertKeepsTheRecordForACorrectedPost) {
  Db().SetBeforeInsertRecord([](TTolvanDataSet*, const AnsiString&,
                                TTolvanArrayOfTTolvanVariant New,
                                bool& Abort) { Abort = New[1]->GetAsString() == "bad"; });
  D->Append();
  D->FieldByName("ID").SetAsInteger(1);
  D->FieldByName("Name").SetAsString("bad");
  EXPECT_NE(MessageOf([&] { D->Post(); }).find("Insert record is blocked by database event"),
            std::string::npos);
  EXPECT_EQ(D->State(), dsInsert);
  EXPECT_EQ(Stored(), 0);
  D->FieldByName("Name").SetAsString("good");
  D->Post();
  EXPECT_EQ(D->State(), dsBrowse);
  EXPECT_EQ(Stored(), 1);
}

TEST_F(EditTest, FailedPostKeepsItsState) {
  Add(1, "one");
  Add(2, "two");
  // A NOT NULL refusal on insert.
  D->Append();
  D->FieldByName("ID").SetAsInteger(3);
  EXPECT_THROW(D->Post(), EDatabaseError);
  EXPECT_EQ(D->State(), dsInsert);
  D->FieldByName("Name").SetAsString("three");
  D->Post();
  EXPECT_EQ(Stored(), 3);
  // A NOT NULL refusal on edit keeps the edit copy; the corrected post stores it once.
  D->First();
  D->Edit();
  D->FieldByName("Name").Clear();
  EXPECT_THROW(D->Post(), EDatabaseError);
  EXPECT_EQ(D->State(), dsEdit);
  D->FieldByName("Name").SetAsString("first");
  D->Post();
  EXPECT_EQ(Stored(), 3);
  EXPECT_EQ(D->FieldByName("Name").AsString(), "first");
  // Cancel after a failed post returns the edit copy.
  D->Edit();
  D->FieldByName("Name").Clear();
  EXPECT_THROW(D->Post(), EDatabaseError);
  D->Cancel();
  EXPECT_EQ(D->State(), dsBrowse);
  EXPECT_EQ(D->FieldByName("Name").AsString(), "first");
}

TEST_F(EditTest, AfterEventThatRaisesLeavesOneStoredRecord) {
  Db().SetAfterInsertRecord([](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant) {
    throw std::runtime_error("after insert");
  });
  Db().SetAfterUpdateRecord(
      [](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant,
         TTolvanArrayOfTTolvanVariant) { throw std::runtime_error("after update"); });
  D->Append();
  D->FieldByName("ID").SetAsInteger(1);
  D->FieldByName("Name").SetAsString("one");
  EXPECT_EQ(MessageOf([&] { D->Post(); }), "after insert");
  EXPECT_EQ(D->State(), dsBrowse);
  // Nothing is left to post.
  EXPECT_THROW(D->Post(), EDatabaseError);
  EXPECT_EQ(Stored(), 1);

  D->Edit();
  D->FieldByName("Name").SetAsString("uno");
  EXPECT_EQ(MessageOf([&] { D->Post(); }), "after update");
  EXPECT_EQ(D->State(), dsBrowse);
  EXPECT_EQ(Stored(), 1);
  D->Close();
  D->Open();
  EXPECT_EQ(D->FieldByName("Name").AsString(), "uno");
}

TEST_F(EditTest, DeleteAndItsEvents) {
  Add(1, "one");
  Add(2, "two");
  int32_t AfterCount = 0;
  std::string Blocked;
  Db().SetBeforeDeleteRecord([&](TTolvanDataSet*, const AnsiString&,
                                 TTolvanArrayOfTTolvanVariant Old,
                                 bool& Abort) { Abort = Old[1]->GetAsString() == Blocked; });
  Db().SetAfterDeleteRecord(
      [&](TTolvanDataSet*, const AnsiString&, TTolvanArrayOfTTolvanVariant Old) {
        ++AfterCount;
        EXPECT_EQ(Old[0]->GetAsInteger(), 1);
      });
  D->First();
  Blocked = "one";
  EXPECT_NE(MessageOf([&] { D->Delete(); }).find("Delete record is blocked by database event"),
            std::string::npos);
  EXPECT_EQ(Stored(), 2);
  Blocked.clear();
  D->Delete();
  EXPECT_EQ(Stored(), 1);
  EXPECT_EQ(AfterCount, 1);
}

TEST_F(EditTest, AddRecordReportsEveryRefusal) {
  Add(1, "one");
  D->Append();
  // A NOT NULL refusal (-8) is reported with the cursor's text, never dropped.
  D->FieldByName("ID").SetAsInteger(2);
  D->FieldByName("Name").Clear();
  try {
    D->AddRecord(D->ActiveBuffer());
    ADD_FAILURE() << "accepted";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(D->Cursor()->LastErrorCode(), -8);
    EXPECT_EQ(E.Message(), D->Cursor()->LastErrorText());
  }
  EXPECT_EQ(Stored(), 1);
  D->FieldByName("Name").SetAsString("two");
  D->AddRecord(D->ActiveBuffer());
  EXPECT_EQ(Stored(), 2);
  D->Cancel();
}

TEST_F(EditTest, WritesOutsideTheEditStatesRaise10007) {
  Add(1, "one");
  EXPECT_EQ(NativeCodeOf([&] { D->FieldByName("Name").SetAsString("x"); }), 10007);
  TField& Name = D->FieldByName("Name");
  D->Close();
  EXPECT_FALSE(D->ReadFieldData(Name, nullptr));
  EXPECT_EQ(NativeCodeOf([&] { D->WriteFieldData(Name, nullptr); }), 10007);
}

TEST_F(EditTest, ChecksOfAClosedDataSetWithoutCursor) {
  D->Close();
  TComponentPtr<TIntegerField> Field = Own(NewComponent<TIntegerField>(nullptr));
  TTolvanVariant V;
  uint8_t Byte = 0;
  const std::pair<int32_t, std::function<void()>> Cases[] = {
      {10052, [&] { D->NewRecordBuffer(); }},
      {10053, [&] { D->DisposeRecordBuffer(nullptr); }},
      {10054, [&] { D->InitRecordBuffer(&Byte); }},
      {10055, [&] { D->RecordBufferSize(); }},
      {10065, [&] { D->EditRecord(); }},
      {10066, [&] { D->CancelRecord(); }},
      {10108, [&] { D->OpenCursorBlob(*Field, bmRead); }},
      {10108, [&] { D->ReleaseBlobField(*Field); }},
      {10315, [&] { D->GetFieldValue(V, 0, false, false); }},
      {10316, [&] { D->SetFieldValue(V, 0, false); }},
      {10029, [&] { D->PostRecord(); }},
      {10075, [&] { D->AddRecord(&Byte); }},
      {10068, [&] { D->DeleteRecord(); }},
      {11304, [&] { D->EmptyTable(); }},
  };
  for (const auto& [Code, Call] : Cases)
    EXPECT_EQ(NativeCodeOf(Call), Code) << Code;
}

TEST_F(EditTest, ReadOnlyRefusals) {
  Add(1, "one");
  D->Close();
  D->SetReadOnly(true);
  D->Open();
  EXPECT_FALSE(D->CanModify());
  EXPECT_EQ(NativeCodeOf([&] { D->OpenBlobStream(D->FieldByName("Name"), bmWrite); }), 10107);
  EXPECT_EQ(NativeCodeOf([&] { D->EmptyTable(); }), 11305);
  EXPECT_EQ(NativeCodeOf([&] { D->DeleteRecord(); }), 10069);
}

TEST_F(EditTest, EmptyTableDeletesEveryRecord) {
  Add(1, "one");
  Add(2, "two");
  D->EmptyTable();
  EXPECT_EQ(Stored(), 0);
}

TEST_F(EditTest, CalculatedFieldsOutsideARecordReadNullAndRefuseWrites) {
  D->Close();
  D->FieldDefs().Update();
  for (int32_t K = 0; K < D->FieldDefs().Count(); ++K)
    D->FieldDefs().Items(K).CreateField(D.get());
  TField* Calc = NewComponent<TIntegerField>(D.get());
  Calc->SetFieldName("Calc");
  Calc->SetFieldKind(fkCalculated);
  Calc->SetDataSet(D.get());
  D->Open();
  // A key buffer ends at E + 6; a record under the filter event may end at E + 7.
  uint8_t* Key = D->Cursor()->AllocBookmarkBuffer();
  D->SetEditedKeyBuffer(Key);
  TDataSetState Saved = D->SetTempState(dsSetKey);
  EXPECT_TRUE(Calc->IsNull());
  EXPECT_EQ(NativeCodeOf([&] { Calc->SetAsInteger(1); }), 20019);
  D->FieldByName("ID").SetAsInteger(4);
  D->RestoreState(Saved);
  D->SetEditedKeyBuffer(nullptr);
  D->SetFilterBuffer(Key);
  Saved = D->SetTempState(dsFilter);
  EXPECT_TRUE(Calc->IsNull());
  EXPECT_EQ(NativeCodeOf([&] { Calc->SetAsInteger(1); }), 10007);
  D->RestoreState(Saved);
  D->SetFilterBuffer(nullptr);
  TTolvanCursor::FreeRecordBuffer(Key);
  D->Close();
}

} // namespace
