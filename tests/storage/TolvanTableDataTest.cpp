#include "storage/TolvanTableData.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/TolvanStrUtils.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class TableData : public ::testing::Test {
protected:
  TTestOwner Owner;
  TTestTableData Table{Owner, FakeIndexFactory()};
};

TEST_F(TableData, RecordSizeIsTheNullBitmapAndTheColumns) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "C", tftChar, 10);
  AddField(Fields, "V", tftVarchar, 10);
  AddField(Fields, "I", tftInteger);
  Table.SetFieldDefs(Fields);
  EXPECT_EQ(Table.RecordSize(), 27);
  int32_t FieldsOffset = 0, Size = 0;
  EXPECT_EQ(Table.GetRecordLayout(FieldsOffset, Size), 27);
  EXPECT_EQ(FieldsOffset, 1);
  EXPECT_EQ(Size, 27);
  EXPECT_FALSE(Table.HasBlobs());
}

TEST_F(TableData, ATableWithoutColumnsHasNoRecordSize) {
  const ETolvanException E = Raised([&] { Table.RecordSize(); });
  EXPECT_EQ(E.NativeError(), 10131);
  EXPECT_NE(std::string(E.what()).find("no fields were specified"), std::string::npos);
  TTolvanFieldDefs None;
  Table.SetFieldDefs(None);
  EXPECT_EQ(NativeCodeOf([&] { Table.RecordSize(); }), 10131);
  EXPECT_EQ(NativeCodeOf([&] { Table.CreateRecordManager(); }), 10131);
  EXPECT_EQ(Table.RecordManager(), nullptr);
}

TEST_F(TableData, ABlobColumnNeedsABlockSize) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "I", tftInteger);
  AddField(Fields, "Picture", tftBLOB).SetBlobBlockSize(0);
  const ETolvanException E = Raised([&] { Table.SetFieldDefs(Fields); });
  EXPECT_EQ(E.NativeError(), 10421);
  EXPECT_NE(std::string(E.what()).find("for field Picture"), std::string::npos);
  EXPECT_EQ(Table.FieldManager(), nullptr);
  EXPECT_EQ(Owner.LastID, 0);
  EXPECT_EQ(Fields.Items(0).ObjectID(), -1);

  Fields.Items(1).SetBlobBlockSize(4096);
  Table.SetFieldDefs(Fields);
  EXPECT_TRUE(Table.HasBlobs());
}

TEST_F(TableData, DefinitionsGetNewObjectIDs) {
  TTolvanFieldDefs Fields;
  AddField(Fields, "A", tftInteger);
  AddField(Fields, "B", tftInteger);
  Table.CreateSequenceManager();
  Table.SetFieldDefs(Fields);
  EXPECT_EQ(Fields.Items(0).ObjectID(), 1);
  EXPECT_EQ(Fields.Items(1).ObjectID(), 2);
  EXPECT_EQ(Table.FieldDefs()->Items(1).ObjectID(), 2);

  TTolvanIndexDefs Indexes;
  AddIndexDef(Indexes, "ByA", {"A"});
  AddIndexDef(Indexes, "ByB", {"B"});
  Table.SetIndexDefs(Indexes);
  EXPECT_EQ(Indexes.Items(0).ObjectID(), 3);
  EXPECT_EQ(Table.IndexManager()->IndexDefs().Items(1).ObjectID(), 4);

  // Setting them again makes new ones.
  Table.SetFieldDefs(Fields);
  EXPECT_EQ(Table.FieldDefs()->Items(0).ObjectID(), 5);
  Table.SetIndexDefs(Indexes);
  EXPECT_EQ(Table.IndexManager()->IndexDefs().Items(0).ObjectID(), 7);
  EXPECT_EQ(Table.FieldManager()->SequenceManager(), Table.SequenceManager());
  // A new sequence manager is the field manager's from then on.
  Table.CreateSequenceManager();
  EXPECT_EQ(Table.FieldManager()->SequenceManager(), Table.SequenceManager());
}

TEST_F(TableData, BaseSlots) {
  TTestSession Session(3);
  TTestCursor Cursor(&Session, 8);
  // A table without records answers end reached whatever the move.
  for (const TTolvanGetRecordMode Mode : {rmCurrent, rmNext, rmPrior})
    EXPECT_EQ(Table.GetRecord(Cursor, Mode), rrEndReached);
  // Attaching needs the record size, which a table without columns has not.
  EXPECT_EQ(NativeCodeOf([&] { Table.AttachCursor(Cursor); }), 10131);
  EXPECT_EQ(Table.GetAutoIncValue(0, &Session), 0);
  EXPECT_FALSE(Table.PageNeedsReload(5));
  Table.BeginTableUse();
  Table.BeginTableUse();
  Table.EndTableUse();
  EXPECT_EQ(Table.UseCount(), 1);
  // Reader and writer share one re-entrant section.
  Table.Lock(true);
  Table.Lock(false);
  Table.Unlock();
  Table.Unlock();
  // Without cursors, loading and saving pass the base's guard; without indexes emptying them
  // does nothing.
  TTolvanMemoryStream S;
  Table.LoadFromStream(&Cursor, S);
  Table.SaveToStream(S, caNone, 0, 0, false);
  Table.EmptyAllIndexes(3);
  Table.SetName("Orders");
  EXPECT_EQ(Table.TableName(), "Orders");
  EXPECT_EQ(Table.TableNameHash(), NameHash("ORDERS"));
}

} // namespace
