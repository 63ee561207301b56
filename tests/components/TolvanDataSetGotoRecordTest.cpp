// The dataset's direct positioning by record id, as a join's hash path uses it, and the probe
// filter set through the dataset.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "components/TolvanDataSet.h"
#include "schema/TolvanRecordBuffer.h"
#include "schema/expr/TolvanExpression.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

const char* const Names[] = {"alpha", "Beta", "gamma", "Delta", "beta two"};

class GotoRecordTest : public ComponentTest {
protected:
  // D over rows ID 1..5 named as Names; IDs[n] is the record id of ID n+1.
  void SetUp() override {
    MakeSimpleTable("MEMORY", "T");
    D = Own(NewComponent<TTestDataSet>(nullptr));
    D->TableName = "T";
    D->Open();
    for (int32_t K = 0; K < 5; ++K)
      InsertRow(*D->Database(), "T", Names[K], K + 1);
    for (D->First(); !D->Eof(); D->Next())
      IDs.push_back(LoadRecordID(D->ActiveBuffer(), D->Cursor()->RecordIDOffset()));
    ASSERT_EQ(IDs.size(), 5u);
  }

  int32_t Id() { return D->FieldByName("ID").AsInteger(); }
  AnsiString Name() { return D->FieldByName("Name").AsString(); }

  TComponentPtr<TTestDataSet> D;
  std::vector<TTolvanRecordID> IDs;
};

TEST_F(GotoRecordTest, ShowsTheRecordAndNavigationGoesOnFromIt) {
  // From the end, from the middle, backwards and onto the shown record itself.
  ASSERT_TRUE(D->Eof());
  for (const int32_t N : {3, 1, 4, 0, 2, 2}) {
    ASSERT_TRUE(D->GotoRecordID(IDs[size_t(N)])) << N;
    EXPECT_EQ(Id(), N + 1);
    EXPECT_EQ(Name(), Names[N]);
    EXPECT_FALSE(D->Eof());
    EXPECT_FALSE(D->Bof());
    EXPECT_EQ(D->State(), dsBrowse);
    EXPECT_TRUE(D->GetCurrentRecordID() == IDs[size_t(N)]);
  }
  D->Next();
  EXPECT_EQ(Id(), 4);
  D->Prior();
  D->Prior();
  EXPECT_EQ(Id(), 2);
  // A pending edit is posted first, as any move does.
  ASSERT_TRUE(D->GotoRecordID(IDs[0]));
  D->Edit();
  D->FieldByName("Name").SetAsString("changed");
  ASSERT_TRUE(D->GotoRecordID(IDs[4]));
  EXPECT_EQ(D->State(), dsBrowse);
  ASSERT_TRUE(D->GotoRecordID(IDs[0]));
  EXPECT_EQ(Name(), "changed");
}

TEST_F(GotoRecordTest, ARecordTheCursorDoesNotSeeLeavesThePositionAlone) {
  ASSERT_TRUE(D->GotoRecordID(IDs[1]));
  D->Delete(); // shows ID 3 afterwards
  ASSERT_EQ(Id(), 3);
  EXPECT_FALSE(D->GotoRecordID(IDs[1]));
  EXPECT_EQ(Id(), 3);
  D->Next();
  EXPECT_EQ(Id(), 4);

  // Filtered out: before and after the result set is built, in store and in index order.
  for (const bool InIndexOrder : {false, true}) {
    D->SwitchIndex(InIndexOrder ? "PK" : "");
    D->SetFilter("ID > 2");
    D->SetFiltered(true);
    D->Cursor()->ResetResultBitmap();
    EXPECT_FALSE(D->GotoRecordID(IDs[0]));
    ASSERT_TRUE(D->GotoRecordID(IDs[4]));
    EXPECT_EQ(Name(), Names[4]);
    EXPECT_FALSE(D->GotoRecordID(IDs[0]));
    EXPECT_EQ(Id(), 5);
    D->Prior();
    EXPECT_EQ(Id(), 4);
    D->SetFiltered(false);
  }
  // The cursor keeps its own record buffer after a refusal.
  uint8_t* const Held = D->Cursor()->RecordBuffer();
  EXPECT_FALSE(D->GotoRecordID(IDs[1]));
  EXPECT_EQ(D->Cursor()->RecordBuffer(), Held);
}

TEST_F(GotoRecordTest, TheProbeFilterNarrowsTheDatasetUntilRemoved) {
  auto Probe = std::make_unique<TTolvanExpression>();
  Probe->ParseFilter(D->Cursor(), "Name = 'Beta'", false, false);
  D->SetProbeFilter(Probe.get());
  D->First();
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(D->RecordCount(), 1);
  D->Next();
  EXPECT_TRUE(D->Eof());
  // Records outside the probe cannot be reached directly either.
  EXPECT_FALSE(D->GotoRecordID(IDs[0]));
  D->SetProbeFilter(nullptr);
  D->First();
  EXPECT_EQ(D->RecordCount(), 5);
  EXPECT_EQ(Id(), 1);
}

// The result set of a filtered cursor follows its own deletes only: a record another cursor
// deleted (as a cascade within the table does) is refused, not shown.
TEST_F(GotoRecordTest, ARecordDeletedElsewhereIsRefusedByAFilteredCursor) {
  D->SetFilter("ID > 1");
  D->SetFiltered(true);
  D->First();
  ASSERT_EQ(D->RecordCount(), 4);
  auto Other = Own(NewComponent<TTestDataSet>(nullptr));
  Other->TableName = "T";
  Other->Open();
  ASSERT_TRUE(Other->GotoRecordID(IDs[3]));
  Other->Delete();
  Other->Close();
  EXPECT_FALSE(D->GotoRecordID(IDs[3]));
  EXPECT_EQ(Id(), 2);
  ASSERT_TRUE(D->GotoRecordID(IDs[4]));
  EXPECT_EQ(Id(), 5);
}

} // namespace
