// Copying table data: refused records and fields, auto-increment values, progress and abort, and
// the source's position.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "components/TolvanTable.h"
#include "components/TolvanTableCopy.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/TestDataSet.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// A table whose count answers 0, as the count does on an engine error.
class TCountlessTable : public TTolvanTable {
public:
  int32_t RecordCount() override { return 0; }
};

class TableCopyTest : public ComponentTest {
protected:
  // An open in-memory table "Name" made from its definitions: ID of IdType and Text string(20).
  template <class T = TTolvanTable>
  TComponentPtr<T> MakeTable(std::string_view Name, TFieldType IdType = ftInteger) {
    auto Table = Own(NewComponent<T>(nullptr));
    Table->SetTableName(Name);
    Table->FieldDefs().Add("ID", IdType, IdType == ftString ? 10 : 0, false);
    Table->FieldDefs().Add("Text", ftString, 20);
    Table->Open();
    return Table;
  }

  // An open table "Name" made by the engine with its primary key enforced: ID (auto-increment
  // when AutoInc, else integer) and Text varchar(20).
  static TComponentPtr<TTolvanTable> MakeKeyedTable(std::string_view Name, bool AutoInc) {
    TTolvanFieldDefs Fields;
    TTolvanFieldDef& Id = Fields.AddNew();
    Id.SetName("ID");
    Id.SetType(AutoInc ? tftAutoInc : tftInteger, 0);
    TTolvanFieldDef& Text = Fields.AddNew();
    Text.SetName("Text");
    Text.SetType(tftVarchar, 20);
    TTolvanIndexDefs Indexes;
    TTolvanIndexDef& Pk = Indexes.AddNew();
    Pk.SetName("PK");
    Pk.SetPrimary(1);
    Pk.SetUnique(1);
    Pk.SetColumnCount(1);
    Pk.Columns(0).SetName("ID");
    TTolvanConstraintDefs Constraints;
    TTolvanConstraintDefUnique& Key = Constraints.AddPrimary();
    Key.SetName("PK");
    Key.Index().SetName("PK");
    Key.Columns().emplace_back("ID", 0);
    MakeEngineTable("MEMORY", Name, Fields, Indexes, Constraints);
    auto Table = Own(NewComponent<TTolvanTable>(nullptr));
    Table->SetTableName(Name);
    Table->Open();
    return Table;
  }

  static void AddRows(TTolvanTable& Table,
                      const std::vector<std::pair<int32_t, std::string>>& Rows) {
    for (const auto& [Id, Text] : Rows) {
      Table.Append();
      Table.FieldByName("ID").SetAsInteger(Id);
      Table.FieldByName("Text").SetAsString(Text);
      Table.Post();
    }
  }

  static void AddNumbered(TTolvanTable& Table, int32_t Count) {
    for (int32_t I = 1; I <= Count; ++I) {
      Table.Append();
      Table.FieldByName("ID").SetAsInteger(I);
      Table.FieldByName("Text").SetAsString(std::to_string(I));
      Table.Post();
    }
  }

  static std::vector<int32_t> Ids(TTolvanTable& Table) {
    std::vector<int32_t> Out;
    for (Table.First(); !Table.Eof(); Table.Next())
      Out.push_back(Table.FieldByName("ID").AsInteger());
    return Out;
  }

  static int32_t CountOf(const std::string& Text, std::string_view Part) {
    int32_t N = 0;
    for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1))
      ++N;
    return N;
  }
};

TEST(TableCopyProgressTest, WholePercentCappedAndSafeForAnyCounts) {
  struct {
    int64_t Done, Total;
    int32_t Want;
  } const Cases[] = {
      {0, 10, 0},
      {1, 3, 33},
      {2, 3, 66},
      {3, 3, 100},
      {4, 3, 100}, // the source grew
      {5, 0, 0},   // no total
      {5, -1, 0},
      {-1, 10, 0},
      {21474837, 21474837 * 2, 50}, // Done * 100 beyond Int32
      {int64_t(1) << 40, int64_t(1) << 41, 50},
      {(int64_t(1) << 32) - 1, int64_t(1) << 32, 99},
      {INT64_MAX - 1, INT64_MAX, 99}, // Done * 100 beyond Int64
      {INT64_MAX / 100 * 37, INT64_MAX, 36},
      {INT64_MAX, INT64_MAX, 100},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(TableCopyProgress(C.Done, C.Total), C.Want) << C.Done << " of " << C.Total;
}

TEST_F(TableCopyTest, RefusedRecordIsLeftOutAndTheRestCopiedWithSourceRestored) {
  auto Source = MakeTable("Src");
  AddRows(*Source, {{1, "a"}, {1, "dup"}, {2, "b"}, {3, "c"}});
  auto Target = MakeKeyedTable("Dst", false);
  Source->First();
  Source->Next();
  Source->Next();
  ASSERT_EQ(Source->FieldByName("Text").AsString(), "b");

  std::string Errors = "stale";
  CopyTableData(*Source, *Target, false, tbopCopy, Errors);

  EXPECT_EQ(Ids(*Target), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(CountOf(Errors, "was not imported"), 1) << Errors;
  EXPECT_EQ(Errors.rfind("Error copying table. Record #2 was not imported due to error: ", 0), 0u)
      << Errors;
  EXPECT_EQ(Errors.substr(Errors.size() - 2), "\r\n");
  EXPECT_EQ(Target->State(), dsBrowse);
  EXPECT_EQ(Source->FieldByName("Text").AsString(), "b");
  EXPECT_EQ(Source->RecNo(), 3);
}

TEST_F(TableCopyTest, UnconvertibleFieldIsCopiedAsNullWithItsLine) {
  auto Source = MakeTable("Src", ftString);
  for (const char* Id : {"7", "seven", "9"}) {
    Source->Append();
    Source->FieldByName("ID").SetAsString(Id);
    Source->FieldByName("Text").SetAsString(Id);
    Source->Post();
  }
  auto Target = MakeTable("Dst");

  std::string Errors;
  CopyTableData(*Source, *Target, false, tbopCopy, Errors);

  ASSERT_EQ(Target->RecordCount(), 3);
  std::vector<std::string> Got;
  for (Target->First(); !Target->Eof(); Target->Next())
    Got.push_back(Target->FieldByName("ID").IsNull()
                      ? "null:" + Target->FieldByName("Text").AsString()
                      : Target->FieldByName("ID").AsString());
  EXPECT_EQ(Got, (std::vector<std::string>{"7", "null:seven", "9"}));
  EXPECT_EQ(CountOf(Errors, "\r\n"), 1) << Errors;
  EXPECT_EQ(Errors.rfind("Error copying table. Record #2, field 'ID' was copied with Null value "
                         "due to error: ",
                         0),
            0u)
      << Errors;
}

TEST_F(TableCopyTest, ProgressRisesThroughEachPercentOnceAndEndsAtHundred) {
  auto Source = MakeTable("Src");
  AddNumbered(*Source, 250);
  auto Target = MakeTable("Dst");
  std::vector<int32_t> OnSource, OnTarget;
  Source->SetOnProgress([&](TTolvanTable& Sender, int32_t P, TTolvanTableOperation Op, bool&) {
    EXPECT_EQ(&Sender, Source.get());
    EXPECT_EQ(Op, tbopRestructure);
    OnSource.push_back(P);
  });
  Target->SetOnProgress(
      [&](TTolvanTable&, int32_t P, TTolvanTableOperation, bool&) { OnTarget.push_back(P); });

  std::string Errors;
  CopyTableData(*Source, *Target, true, tbopRestructure, Errors);

  EXPECT_EQ(Errors, "");
  EXPECT_EQ(Target->RecordCount(), 250);
  EXPECT_TRUE(OnTarget.empty());
  std::vector<int32_t> Every;
  for (int32_t P = 0; P <= 100; ++P)
    Every.push_back(P);
  EXPECT_EQ(OnSource, Every);
}

TEST_F(TableCopyTest, AbortStopsTheCopyAtTheChosenPercent) {
  auto Source = MakeTable("Src");
  AddNumbered(*Source, 250);
  auto Target = MakeTable("Dst");
  std::vector<int32_t> Trace;
  Target->SetOnProgress([&](TTolvanTable&, int32_t P, TTolvanTableOperation, bool& Abort) {
    Trace.push_back(P);
    Abort = P == 37;
  });

  std::string Errors;
  CopyTableData(*Source, *Target, false, tbopCopy, Errors);

  EXPECT_EQ(Errors, "\r\nOperation aborted");
  // 37% of 250 is first reached after record 93.
  EXPECT_EQ(Target->RecordCount(), 93);
  ASSERT_GE(Trace.size(), 2u);
  EXPECT_EQ(Trace[Trace.size() - 2], 37);
  EXPECT_EQ(Trace.back(), 100);

  // An abort at the start copies nothing.
  auto Untouched = MakeTable("Dst2");
  Untouched->SetOnProgress(
      [](TTolvanTable&, int32_t, TTolvanTableOperation, bool& Abort) { Abort = true; });
  CopyTableData(*Source, *Untouched, false, tbopCopy, Errors);
  EXPECT_EQ(Errors, "Operation aborted");
  EXPECT_EQ(Untouched->RecordCount(), 0);
}

TEST_F(TableCopyTest, NoTotalReportsOnlyStartAndEnd) {
  auto Empty = MakeTable("Empty");
  auto Countless = MakeTable<TCountlessTable>("Countless");
  AddNumbered(*Countless, 20);
  for (TTolvanTable* Source :
       {static_cast<TTolvanTable*>(Empty.get()), static_cast<TTolvanTable*>(Countless.get())}) {
    auto Target = MakeTable(Source == Empty.get() ? "Dst1" : "Dst2");
    std::vector<int32_t> Trace;
    Target->SetOnProgress(
        [&](TTolvanTable&, int32_t P, TTolvanTableOperation, bool&) { Trace.push_back(P); });
    std::string Errors;
    CopyTableData(*Source, *Target, false, tbopCopy, Errors);
    EXPECT_EQ(Errors, "");
    EXPECT_EQ(Trace, (std::vector<int32_t>{0, 100}));
    EXPECT_EQ(Ids(*Target).size(), Source == Empty.get() ? 0u : 20u);
  }
}

} // namespace
