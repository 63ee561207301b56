#include "storage/local/TolvanRecordBudget.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/storage/LocalStorageTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

class RecordBudget : public ::testing::Test {
protected:
  RecordBudget() {
    TTolvanFieldDefs Fields;
    AddField(Fields, "ID", tftInteger);
    C.Open(&Fields);
  }

  TLocalStorage Storage;
  std::unique_ptr<TTolvanLocalSession> Session = TLocalStorage::Connected("MEMORY");
  TOpenCursor C{*Session, "T"};
};

const std::string SpentText = EngineMessage("Error - record budget of the test spent", 30404);

TEST_F(RecordBudget, StopsAnInsertLoopAndAScan) {
  EXPECT_FALSE(tolvan::RecordBudget().has_value()) << "unlimited unless a test sets it";
  {
    TTolvanRecordBudgetScope Budget(5);
    int32_t Posted = 0;
    const TRaised Spent = RaisedBy([&] {
      for (;;) {
        ASSERT_EQ(C.Insert(Posted), 0);
        ++Posted;
      }
    });
    EXPECT_EQ(Spent.Code, ErrRecordBudgetSpent);
    EXPECT_EQ(Spent.Message, SpentText);
    EXPECT_EQ(Posted, 5);
    // Spent stays spent: a read raises too.
    EXPECT_EQ(RaisedBy([&] { C.Cursor.GetRecord(rmNext); }).Code, ErrRecordBudgetSpent);
  }
  EXPECT_FALSE(tolvan::RecordBudget().has_value());
  EXPECT_EQ(C.Cursor.GetRecordCount(), 5);

  // A scan that would never end (it restarts at the end) is cut off after its allowance.
  TTolvanRecordBudgetScope Budget(12);
  int32_t Reads = 0;
  const TRaised Spent = RaisedBy([&] {
    C.Cursor.SetToBegin();
    for (;;) {
      if (C.Cursor.GetRecord(rmNext) != rrOK)
        C.Cursor.SetToBegin();
      ++Reads;
    }
  });
  EXPECT_EQ(Spent.Code, ErrRecordBudgetSpent);
  EXPECT_EQ(Reads, 12);
  // Deletes and bulk operations are charged as well.
  EXPECT_EQ(RaisedBy([&] { C.Cursor.DeleteRecord(); }).Code, ErrRecordBudgetSpent);
  EXPECT_EQ(RaisedBy([&] { C.Cursor.DeleteAllRecords(); }).Code, ErrRecordBudgetSpent);
  EXPECT_EQ(C.Cursor.GetRecordCount(), 5);
}

TEST_F(RecordBudget, BelongsToTheThreadThatSetIt) {
  TTolvanRecordBudgetScope Budget(0);
  bool OtherLimited = true;
  std::thread([&] { OtherLimited = tolvan::RecordBudget().has_value(); }).join();
  EXPECT_FALSE(OtherLimited);
  EXPECT_EQ(tolvan::RecordBudget(), 0);
  SetRecordBudget(-3);
  EXPECT_EQ(tolvan::RecordBudget(), 0);
}

} // namespace
