// The dataset's navigation over an engine table: moves, record numbers and counts, bookmarks,
// filters and searches, the calculated-field handler's view of the record, and every nil-cursor
// code.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "components/TolvanDataSet.h"
#include "foundation/TolvanExcept.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"
#include "tests/foundation/TestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// The protected hooks, reachable for tests.
class TNavDataSet : public TTestDataSet {
public:
  using TTolvanDataSet::ClearCalculatedFields;
  using TTolvanDataSet::CompareBookmarkIDs;
  using TTolvanDataSet::CurrentRecNo;
  using TTolvanDataSet::FetchRecord;
  using TTolvanDataSet::GotoBookmarkPosition;
  using TTolvanDataSet::IsBookmarkValid;
  using TTolvanDataSet::LocateInCursor;
  using TTolvanDataSet::MoveToBegin;
  using TTolvanDataSet::MoveToEnd;
  using TTolvanDataSet::PositionOnRecord;
  using TTolvanDataSet::ReadBookmark;
  using TTolvanDataSet::ReadBookmarkFlag;
  using TTolvanDataSet::ReadCurrentRecord;
  using TTolvanDataSet::SearchRecord;
  using TTolvanDataSet::WriteBookmark;
  using TTolvanDataSet::WriteBookmarkFlag;
};

const char* const Names[] = {"alpha", "Beta", "gamma", "Delta", "beta two"};

class NavigationTest : public ComponentTest {
protected:
  void SetUp() override {
    MakeSimpleTable("MEMORY", "T");
    D = Own(NewComponent<TNavDataSet>(nullptr));
    D->TableName = "T";
  }

  // Opens D over rows ID 1..5 named as Names.
  void OpenWithRows() {
    D->Open();
    for (int32_t K = 0; K < 5; ++K)
      InsertRow(*D->Database(), "T", Names[K], K + 1);
    D->First();
  }

  // The ID column of Buffer (the shown record by default), -1 for null.
  int32_t Id(const uint8_t* Buffer = nullptr) {
    int32_t Value = -1;
    if (!D->Cursor()->GetFieldNative(0, Buffer ? Buffer : D->ActiveBuffer(), &Value))
      return -1;
    return Value;
  }

  TComponentPtr<TNavDataSet> D;
};

TEST_F(NavigationTest, MovesRecordNumbersAndCounts) {
  OpenWithRows();
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_TRUE(D->Bof());
  EXPECT_EQ(Id(), 1);
  EXPECT_EQ(D->RecNo(), 1);
  D->Next();
  D->Next();
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(D->RecNo(), 3);
  EXPECT_EQ(D->MoveBy(10), 2);
  EXPECT_TRUE(D->Eof());
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(D->MoveBy(-10), -4);
  EXPECT_TRUE(D->Bof());
  EXPECT_EQ(Id(), 1);
  D->Last();
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(D->RecNo(), 5);

  D->SetRecNo(3);
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(D->RecNo(), 3);
  D->Next();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(NativeCodeOf([&] { D->SetRecNo(0); }), 11622);
  EXPECT_EQ(NativeCodeOf([&] { D->SetRecNo(-5); }), 11622);
  EXPECT_EQ(Id(), 4);

  D->Insert();
  EXPECT_EQ(D->RecNo(), -1);
  D->Cancel();
  EXPECT_EQ(Id(), 4);

  // A key buffer's trailer is no record id: set key answers -1 and leaves the cursor alone.
  const TTolvanCursorPosition Before = D->Cursor()->SavePosition();
  D->SetEditedKeyBuffer(D->KeyBuffer(kiSearchKey));
  StoreLE<int32_t>(D->KeyBuffer(kiSearchKey) + D->Cursor()->RecordIDOffset() + 2, 2);
  const TDataSetState Saved = D->SetTempState(dsSetKey);
  EXPECT_EQ(D->RecNo(), -1);
  D->RestoreState(Saved);
  EXPECT_TRUE(D->Cursor()->Position() == Before.Position);

  D->Close();
  EXPECT_EQ(D->RecordCount(), 0);
}

TEST_F(NavigationTest, EmptyTable) {
  D->Open();
  EXPECT_TRUE(D->Bof());
  EXPECT_TRUE(D->Eof());
  EXPECT_TRUE(D->IsEmpty());
  EXPECT_EQ(D->RecordCount(), 0);
  EXPECT_EQ(D->RecNo(), -1);
  EXPECT_EQ(D->MoveBy(3), 0);
  EXPECT_FALSE(D->ReadCurrentRecord(D->TempBuffer()));
  EXPECT_FALSE(D->FindFirst());
  EXPECT_FALSE(D->Locate("ID", Variant(1), 0));
  EXPECT_TRUE(D->GetBookmark().empty());
}

TEST_F(NavigationTest, Bookmarks) {
  OpenWithRows();
  D->Next();
  const TBookmark Two = D->GetBookmark();
  ASSERT_EQ(Two.size(), size_t(DataSetBookmarkSize));
  // The first six bytes are the record id.
  const TTolvanRecordID ID = LoadLE<TTolvanRecordID>(Two.data());
  EXPECT_TRUE(ID == LoadRecordID(D->ActiveBuffer(), D->Cursor()->RecordIDOffset()));
  D->Next();
  D->Next();
  const TBookmark Four = D->GetBookmark();
  EXPECT_EQ(D->CompareBookmarks(Two, D->GetBookmark()), -1);
  EXPECT_EQ(D->CompareBookmarks(Four, Two), 1);
  EXPECT_EQ(D->CompareBookmarks(Four, D->GetBookmark()), 0);
  // An empty bookmark sorts after any other.
  EXPECT_EQ(D->CompareBookmarks({}, Two), 1);
  EXPECT_EQ(D->CompareBookmarks(Two, {}), -1);
  EXPECT_EQ(D->CompareBookmarks({}, {}), 0);
  // Comparing leaves the cursor and its buffer where they were.
  const TTolvanCursorPosition Before = D->Cursor()->SavePosition();
  uint8_t* const Held = D->Cursor()->RecordBuffer();
  D->CompareBookmarks(Two, Four);
  EXPECT_TRUE(D->Cursor()->Position() == Before.Position);
  EXPECT_EQ(D->Cursor()->RecordBuffer(), Held);

  D->GotoBookmark(Two);
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(D->RecNo(), 2);
  EXPECT_TRUE(D->BookmarkValid(Four));

  // Record 4 deleted behind the dataset's back.
  D->GotoBookmark(Four);
  D->Cursor()->SetRecordBuffer(D->ActiveBuffer());
  D->Cursor()->DeleteRecord();
  ASSERT_EQ(D->Cursor()->LastErrorCode(), 0);
  D->First();
  EXPECT_FALSE(D->BookmarkValid(Four));
  EXPECT_TRUE(D->BookmarkValid(Two));
  EXPECT_EQ(D->CompareBookmarks(Four, Two), -1);
  EXPECT_THROW(D->GotoBookmark(Four), Exception);
  EXPECT_EQ(D->RecordCount(), 4);

  // Flags: values above 3 read as current, writes outside 0..3 are ignored.
  uint8_t* Buffer = D->TempBuffer();
  D->WriteBookmarkFlag(Buffer, bfEOF);
  EXPECT_EQ(D->ReadBookmarkFlag(Buffer), bfEOF);
  D->WriteBookmarkFlag(Buffer, TBookmarkFlag(7));
  EXPECT_EQ(D->ReadBookmarkFlag(Buffer), bfEOF);
  Buffer[D->Cursor()->RecordIDOffset() + RecordIDSize] = 9;
  EXPECT_EQ(D->ReadBookmarkFlag(Buffer), bfCurrent);
  D->WriteBookmark(Buffer, Two.data());
  EXPECT_TRUE(LoadRecordID(Buffer, D->Cursor()->RecordIDOffset()) == ID);
}

TEST_F(NavigationTest, FilterTextOptionsAndEvent) {
  OpenWithRows();
  D->Last();
  D->SetFilter("ID > 2");
  // Not filtered yet: nothing changes.
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_EQ(Id(), 5);
  D->SetFiltered(true);
  EXPECT_EQ(D->RecordCount(), 3);
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(D->Bof());

  // The handler takes effect at once; it sees the candidate record.
  int32_t Calls = 0;
  D->SetOnFilterRecord([&](TDataSet&, bool& Accept) {
    ++Calls;
    Accept = Id(D->CurrentRecordBuffer()) != 4;
  });
  EXPECT_GT(Calls, 0);
  EXPECT_EQ(D->RecordCount(), 2);
  D->Next();
  EXPECT_EQ(Id(), 5);
  // Removing it shows every record that passes the text.
  D->SetOnFilterRecord(nullptr);
  EXPECT_EQ(D->RecordCount(), 3);
  EXPECT_EQ(Id(), 3);

  // A handler that raises: the application's handler gets it, the record keeps its accept.
  D->SetOnFilterRecord([&](TDataSet&, bool& Accept) {
    if (Id(D->CurrentRecordBuffer()) == 5) {
      Accept = false;
      throw std::runtime_error("handler");
    }
  });
  EXPECT_EQ(D->RecordCount(), 2);
  D->SetOnFilterRecord(nullptr);

  // Case-insensitive option on a text filter.
  D->SetFilter("Name = 'BETA'");
  EXPECT_EQ(D->RecordCount(), 0);
  D->SetFilterOptions(foCaseInsensitive);
  EXPECT_EQ(D->RecordCount(), 1);
  EXPECT_EQ(Id(), 2);

  D->SetFiltered(false);
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_EQ(Id(), 1);

  // Switching the filter off keeps the event's callback on the cursor; it accepts everything
  // while the dataset is unfiltered.
  D->SetOnFilterRecord([](TDataSet&, bool& Accept) { Accept = false; });
  D->SetFiltered(true);
  EXPECT_EQ(D->RecordCount(), 0);
  D->SetFiltered(false);
  EXPECT_TRUE(D->Cursor()->CursorIsFiltered());
  EXPECT_EQ(D->RecordCount(), 5);
}

// A post that takes its record out of the filter does not leave it on show: the next record
// shows, else the prior.
TEST_F(NavigationTest, PostLeavingTheFilterShowsTheNeighbour) {
  OpenWithRows();
  D->SetFilter("ID > 2");
  D->SetFiltered(true);
  ASSERT_EQ(Id(), 3);
  D->Edit();
  D->FieldByName("ID").SetValue(Variant(0));
  D->Post();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(D->RecordCount(), 2);
  D->Last();
  D->Edit();
  D->FieldByName("ID").SetValue(Variant(-5));
  D->Post();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(D->RecNo(), 1);
  // An edit that stays in the filter keeps its record.
  D->Edit();
  D->FieldByName("Name").SetValue(Variant("kept"));
  D->Post();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(std::string(D->FieldByName("Name").AsString()), "kept");
}

TEST_F(NavigationTest, FindUsesTheFilterTextOnlyForTheSearch) {
  OpenWithRows();
  D->SetFilter("ID >= 2 and ID <= 3");
  ASSERT_FALSE(D->Filtered());
  EXPECT_TRUE(D->FindFirst());
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_TRUE(D->FindNext());
  EXPECT_EQ(Id(), 3);
  EXPECT_FALSE(D->FindNext());
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(D->FindLast());
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(D->FindPrior());
  EXPECT_EQ(Id(), 2);
  // Still unfiltered, the cursor back on the shown record.
  D->Next();
  EXPECT_EQ(Id(), 3);
  D->Next();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(D->RecordCount(), 5);
}

TEST_F(NavigationTest, LocateAndLookup) {
  OpenWithRows();
  EXPECT_TRUE(D->Locate("Name", Variant("GAMMA"), loCaseInsensitive));
  EXPECT_EQ(Id(), 3);
  EXPECT_FALSE(D->Locate("Name", Variant("GAMMA"), 0));
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(D->Locate("Name", Variant("bet"), loPartialKey));
  EXPECT_EQ(Id(), 5);
  EXPECT_TRUE(D->Locate("Name", Variant("bet"), loPartialKey | loCaseInsensitive));
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(D->RecNo(), 2);
  D->Next();
  EXPECT_EQ(Id(), 3);

  // Lookup never moves the shown record nor the cursor.
  const TTolvanCursorPosition Before = D->Cursor()->SavePosition();
  uint8_t* const Held = D->Cursor()->RecordBuffer();
  EXPECT_TRUE(D->Lookup("ID", Variant(42), "Name").IsNull());
  EXPECT_EQ(Id(), 3);
  D->Lookup("ID", Variant(4), "Name");
  EXPECT_EQ(Id(), 3);
  EXPECT_TRUE(D->Cursor()->Position() == Before.Position);
  EXPECT_EQ(D->Cursor()->RecordBuffer(), Held);
  D->Next();
  EXPECT_EQ(Id(), 4);
}

TEST_F(NavigationTest, ReadCurrentRecordRestoresTheCursorBuffer) {
  OpenWithRows();
  D->Next();
  uint8_t* const Held = D->Cursor()->RecordBuffer();
  std::memset(D->TempBuffer(), 0, size_t(D->Cursor()->RecordSize()));
  EXPECT_TRUE(D->ReadCurrentRecord(D->TempBuffer()));
  EXPECT_EQ(Id(D->TempBuffer()), 2);
  EXPECT_EQ(D->Cursor()->RecordBuffer(), Held);
  D->Close();
  EXPECT_FALSE(D->ReadCurrentRecord(D->TempBuffer()));
}

// A calculated field's handler that reads RecNo sees the record being fetched, and its own
// record id, not the one the buffer held before.
TEST_F(NavigationTest, CalculatedFieldHandlerSeesTheFetchedRecord) {
  D->FieldDefs().Update();
  for (int32_t K = 0; K < D->FieldDefs().Count(); ++K)
    D->FieldDefs().Items(K).CreateField(D.get());
  TField* Calc = NewComponent<TIntegerField>(D.get());
  Calc->SetFieldName("Number");
  Calc->SetFieldKind(fkCalculated);
  Calc->SetDataSet(D.get());
  std::vector<std::pair<int32_t, int32_t>> Seen;
  D->SetOnCalcFields([&](TDataSet&) {
    const int32_t Number = D->RecNo();
    // A lookup inside the handler leaves the fetch's cursor alone.
    D->Lookup("ID", Variant(1), "Name");
    Seen.emplace_back(Id(D->CurrentRecordBuffer()), Number);
  });
  OpenWithRows();
  Seen.clear();
  for (int32_t K = 0; K < 4; ++K)
    D->Next();
  D->Prior();
  // Each fetch runs the handler, and its lookup once more over the record found (id 1).
  ASSERT_EQ(Seen.size(), 10u);
  for (const auto& [Row, Number] : Seen)
    EXPECT_EQ(Row, Number);
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(D->RecNo(), 4);
  D->Next();
  EXPECT_EQ(Id(), 5);
  // Every post, with the handler moving the cursor in between, changes only its own record.
  D->First();
  while (!D->Eof()) {
    D->Edit();
    D->FieldByName("Name").SetValue(Variant(("n" + std::to_string(Id())).c_str()));
    D->Post();
    D->Next();
  }
  Seen.clear();
  D->First();
  for (int32_t K = 1; K <= 5; ++K, D->Next()) {
    EXPECT_EQ(Id(), K);
    EXPECT_EQ(std::string(D->FieldByName("Name").AsString()), "n" + std::to_string(K));
  }
  EXPECT_EQ(D->RecordCount(), 5);
  // In set key and in the filter event the buffer carries no calculated fields.
  EXPECT_TRUE(D->StateBufferHasCalcArea());
  const TDataSetState Saved = D->SetTempState(dsSetKey);
  EXPECT_FALSE(D->StateBufferHasCalcArea());
  D->RestoreState(Saved);
}

TEST_F(NavigationTest, ProjectionReopensOnTheSameCursor) {
  OpenWithRows();
  TTolvanCursor* const Cursor = D->Cursor();
  TStringList Names, Aliases;
  Names.Add("Name");
  Aliases.Add("Label");
  D->SetProjection(Names, Aliases);
  ASSERT_TRUE(D->Active());
  EXPECT_EQ(D->Cursor(), Cursor);
  EXPECT_TRUE(D->ProjectionApplied());
  EXPECT_TRUE(Cursor->ProjectionSet());
  EXPECT_EQ(D->ExternalCursor(), nullptr);
  ASSERT_EQ(D->FieldDefs().Count(), 1);
  EXPECT_EQ(D->FieldDefs().Items(0).Name(), "Label");
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_TRUE(D->Locate("Label", Variant("gamma"), 0));
  EXPECT_EQ(D->RecNo(), 3);
  // The same list again changes nothing.
  D->SetProjection(Names, Aliases);
  EXPECT_EQ(D->RecNo(), 3);
  D->Close();
  EXPECT_EQ(D->Cursor(), nullptr);
  EXPECT_EQ(NativeCodeOf([&] { D->SetProjection(Names, Aliases); }), 10320);
}

// A calculated field: Lookup computes it for the record found. In set key and in the filter
// event the buffer has no calculated-field area: the field reads null and refuses a write.
TEST_F(NavigationTest, CalculatedFieldsInLookupSetKeyAndFilterEvent) {
  D->FieldDefs().Update();
  for (int32_t K = 0; K < D->FieldDefs().Count(); ++K)
    D->FieldDefs().Items(K).CreateField(D.get());
  TField* Twice = NewComponent<TIntegerField>(D.get());
  Twice->SetFieldName("Twice");
  Twice->SetFieldKind(fkCalculated);
  Twice->SetDataSet(D.get());
  D->SetOnCalcFields(
      [&](TDataSet&) { Twice->SetValue(Variant(D->FieldByName("ID").Value().AsInteger() * 2)); });
  OpenWithRows();
  EXPECT_EQ(Twice->Value().AsInteger(), 2);
  const Variant Found = D->Lookup("ID", Variant(3), "Name;Twice");
  ASSERT_TRUE(Found.IsArray());
  EXPECT_EQ(std::string(VarToStr(VarArrayGet(Found, {0}))), "gamma");
  EXPECT_EQ(VarArrayGet(Found, {1}).AsInteger(), 6);
  EXPECT_EQ(D->Lookup("ID", Variant(4), "Twice").AsInteger(), 8);
  EXPECT_EQ(Id(), 1);

  bool SawNull = false;
  int32_t WriteCode = 0;
  D->SetOnFilterRecord([&](TDataSet&, bool&) {
    SawNull = Twice->IsNull();
    WriteCode = NativeCodeOf([&] { Twice->SetValue(Variant(1)); });
  });
  D->SetFiltered(true);
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_TRUE(SawNull);
  EXPECT_EQ(WriteCode, 10007);
  D->SetFiltered(false);

  D->SetEditedKeyBuffer(D->KeyBuffer(kiSearchKey));
  const TDataSetState Saved = D->SetTempState(dsSetKey);
  EXPECT_TRUE(Twice->IsNull());
  EXPECT_EQ(NativeCodeOf([&] { Twice->SetValue(Variant(1)); }), 20019);
  D->RestoreState(Saved);
}

TEST_F(NavigationTest, EveryHookWithoutCursorRaisesItsCode) {
  uint8_t Buffer[64] = {};
  uint8_t Data[8] = {};
  const std::pair<const char*, std::function<void()>> Cases[] = {
      {"FetchRecord 10041", [&] { D->FetchRecord(Buffer, gmNext, true); }},
      {"SetRecNo 10042", [&] { D->SetRecNo(1); }},
      {"CurrentRecNo 10043", [&] { D->CurrentRecNo(); }},
      {"MoveToBegin 10044", [&] { D->MoveToBegin(); }},
      {"MoveToEnd 10045", [&] { D->MoveToEnd(); }},
      {"PositionOnRecord 10046", [&] { D->PositionOnRecord(Buffer); }},
      {"WriteBookmarkFlag 10057", [&] { D->WriteBookmarkFlag(Buffer, bfCurrent); }},
      {"WriteBookmark 10058", [&] { D->WriteBookmark(Buffer, Data); }},
      {"ReadBookmarkFlag 10060", [&] { D->ReadBookmarkFlag(Buffer); }},
      {"ReadBookmark 10036", [&] { D->ReadBookmark(Buffer, Data); }},
      {"GotoBookmarkPosition 10038", [&] { D->GotoBookmarkPosition(Data); }},
      {"CompareBookmarkIDs 10063", [&] { D->CompareBookmarkIDs(Data, Data); }},
      {"IsBookmarkValid 10064", [&] { D->IsBookmarkValid(Data); }},
      {"ClearCalculatedFields 10040", [&] { D->ClearCalculatedFields(Buffer); }},
      {"GetCurrentRecordID 11352", [&] { D->GetCurrentRecordID(); }},
      {"SearchRecord 10268", [&] { D->SearchRecord(true, true); }},
      {"LocateInCursor 10271", [&] { D->LocateInCursor("ID", Variant(1), 0); }},
      {"SetExternalFilter 10300", [&] { D->SetExternalFilter(nullptr); }},
      {"CancelRangeKeys 10287", [&] { D->CancelRangeKeys(); }},
  };
  for (const auto& [Name, Run] : Cases) {
    const std::string Text = Name;
    EXPECT_EQ(NativeCodeOf(Run), std::stoi(Text.substr(Text.size() - 5))) << Name;
  }
  // Nil buffers and bookmarks, with a cursor.
  D->Open();
  const std::pair<const char*, std::function<void()>> Nils[] = {
      {"PositionOnRecord 10047", [&] { D->PositionOnRecord(nullptr); }},
      {"WriteBookmark 10061", [&] { D->WriteBookmark(nullptr, Data); }},
      {"ReadBookmarkFlag 10059", [&] { D->ReadBookmarkFlag(nullptr); }},
      {"ReadBookmark 10034", [&] { D->ReadBookmark(nullptr, Data); }},
      {"ReadBookmark 10035", [&] { D->ReadBookmark(D->ActiveBuffer(), nullptr); }},
      {"GotoBookmarkPosition 10037", [&] { D->GotoBookmarkPosition(nullptr); }},
      {"ClearCalculatedFields 10039", [&] { D->ClearCalculatedFields(nullptr); }},
  };
  for (const auto& [Name, Run] : Nils) {
    const std::string Text = Name;
    EXPECT_EQ(NativeCodeOf(Run), std::stoi(Text.substr(Text.size() - 5))) << Name;
  }
  // Neutral answers and nil tolerance.
  EXPECT_FALSE(D->IsBookmarkValid(nullptr));
  EXPECT_EQ(D->CompareBookmarkIDs(nullptr, nullptr), 0);
  EXPECT_EQ(D->CompareBookmarkIDs(nullptr, Data), 1);
  EXPECT_EQ(D->CompareBookmarkIDs(Data, nullptr), -1);
  EXPECT_NO_THROW(D->WriteBookmark(D->ActiveBuffer(), nullptr));
  D->Close();
  EXPECT_EQ(D->RecordCount(), 0);
}

} // namespace
