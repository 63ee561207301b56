// Temporary tables of the "TEMP" engine through local cursors: the table a cursor creates lives
// while cursors are attached, only appends, and goes with its last cursor.
#include <gtest/gtest.h>

#include <memory>

#include "storage/TolvanDatabaseData.h"
#include "storage/local/TolvanLocalCursor.h"
#include "storage/local/TolvanLocalSession.h"
#include "tests/storage/LocalStorageTestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class LocalTempTables : public ::testing::Test {
protected:
  LocalTempTables() {
    StorageStartup();
    Session = TLocalStorage::Connected("TEMP", false, true);
    AddField(Fields, "ID", tftInteger);
    AddField(Fields, "Name", tftVarchar, 10);
    AddIndexDef(Indexes, "IX", {"ID"}, false);
  }
  ~LocalTempTables() override {
    Session->SetConnected(false);
    Session.reset();
    StorageShutdown();
  }

  // Creates a temporary table as the table component does; the name it was given.
  AnsiString Create() {
    TTolvanLocalCursor Maker;
    Maker.SetSession(Session.get());
    Maker.SetTableName("T");
    Maker.SetTemporary(true);
    Maker.SetKeepTemporaryTable(true);
    Maker.CreateTable(Fields, Indexes, Constraints);
    EXPECT_EQ(Maker.TableName().rfind("TEMPORARY_TABLE_", 0), 0u) << Maker.TableName();
    return Maker.TableName();
  }

  std::unique_ptr<TTolvanLocalSession> Session;
  TTolvanFieldDefs Fields;
  TTolvanIndexDefs Indexes;
  TTolvanConstraintDefs Constraints;
};

TEST_F(LocalTempTables, TheLastCursorToCloseDropsTheTable) {
  ASSERT_NE(Session->Database(), nullptr);
  EXPECT_TRUE(Session->Database()->Temporary());
  const AnsiString T1 = Create();
  EXPECT_TRUE(Session->TableExists(T1));
  {
    TOpenCursor First(*Session, T1, false, true);
    First.Open();
    EXPECT_TRUE(First.Cursor.IsTemporaryTable());
    for (int32_t I = 1; I <= 50; ++I)
      EXPECT_EQ(First.Insert(I, "n"), 0);
    {
      TOpenCursor Second(*Session, T1, false, true);
      Second.Open();
      EXPECT_EQ(Second.Cursor.GetRecordCount(), 50);
      // Temporary tables only append.
      Second.Cursor.SetToBegin();
      ASSERT_EQ(Second.Cursor.GetRecord(rmNext), rrOK);
      Second.Cursor.DeleteRecord();
      EXPECT_EQ(Second.Cursor.LastErrorCode(), -10);
    }
    // One cursor left: the table stays.
    EXPECT_TRUE(Session->TableExists(T1));
    EXPECT_EQ(First.Walk().size(), 50u);
  }
  EXPECT_FALSE(Session->TableExists(T1));
  const AnsiString T2 = Create();
  EXPECT_NE(T2, T1);
  TOpenCursor Again(*Session, T2, false, true);
  Again.Open();
  EXPECT_EQ(Again.Cursor.GetRecordCount(), 0);
}

} // namespace
