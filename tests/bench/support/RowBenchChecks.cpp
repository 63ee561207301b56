#include "tests/bench/support/RowBenchChecks.h"

#include <gtest/gtest.h>

#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "components/TolvanTable.h"

#include <cstdio>

namespace tolvan::test {

std::string Hex(const std::string& Bytes, size_t From, size_t Count) {
  std::string Text;
  char Item[4];
  for (size_t I = From; I < From + Count && I < Bytes.size(); ++I) {
    std::snprintf(Item, sizeof Item, "%02X ", static_cast<unsigned char>(Bytes[I]));
    Text += Item;
  }
  if (!Text.empty())
    Text.pop_back();
  return Text;
}

std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find("\r\n", Start);
    End = End == std::string::npos ? Text.size() : End + 2;
    Lines.push_back(Text.substr(Start, End - Start));
    Start = End;
  }
  return Lines;
}

void CheckRowBenchTable(TTolvanTable& Table, TDateTime RunStart, TDateTime RunEnd,
                        const TRowBenchFirstRow& First) {
  EXPECT_EQ(Table.TableName(), "test");
  Table.Open();

  ASSERT_EQ(Table.Fields().Count(), 15);
  const char* NotNull[] = {"int1", "int3", "str1", "str2", "dt1"};
  for (int32_t F = 0; F < Table.Fields().Count(); ++F) {
    const TField& Field = Table.Fields()[F];
    bool Required = false;
    for (const char* Name : NotNull)
      Required = Required || Field.FieldName() == Name;
    EXPECT_EQ(Field.Required(), Required) << Field.FieldName();
  }

  Table.IndexDefs().Update();
  struct TIndex {
    const char* Name;
    const char* Fields;
    TIndexOptions Options;
  };
  const TIndex Indexes[] = {{"PK", "id", ixPrimary},
                            {"i1", "int1", ixUnique},
                            {"i2", "m1", 0},
                            {"i3", "dt1", 0},
                            {"i4", "str2", ixUnique}};
  ASSERT_EQ(Table.IndexDefs().Count(), 5);
  for (const TIndex& Expected : Indexes) {
    const int32_t At = Table.IndexDefs().IndexOf(Expected.Name);
    ASSERT_GE(At, 0) << Expected.Name;
    const TIndexDef& Def = Table.IndexDefs().Items(At);
    EXPECT_EQ(Def.Fields(), Expected.Fields) << Expected.Name;
    EXPECT_EQ(Def.Options() & (ixPrimary | ixUnique), Expected.Options) << Expected.Name;
  }

  EXPECT_EQ(Table.RecordCount(), 20000);
  Table.SetIndexName("PK");
  Table.First();
  int32_t Id = 0;
  for (; !Table.Eof(); Table.Next()) {
    ++Id;
    ASSERT_EQ(Table.FieldByName("id").AsInteger(), Id);
    for (const char* Name : {"int1", "int2", "int3", "int4"})
      ASSERT_EQ(Table.FieldByName(Name).AsInteger(), Id) << Name;
    for (const char* Name : {"str1", "str2", "str3", "str4", "str5"}) {
      const AnsiString Text = Table.FieldByName(Name).AsString();
      ASSERT_EQ(Text.rfind("Test_", 0), 0u) << Name << " " << Text;
      ASSERT_LE(Text.size(), 20u) << Name << " " << Text;
    }
    for (const char* Name : {"dt1", "dt2", "dt3"}) {
      const TDateTime When = Table.FieldByName(Name).AsDateTime();
      // Stored to the millisecond; the run's bounds by the same clock.
      ASSERT_GE(When, RunStart - 1.0 / 86400000) << Name;
      ASSERT_LE(When, RunEnd + 1.0 / 86400000) << Name;
    }
    for (const char* Name : {"m1", "m2"})
      ASSERT_FALSE(Table.FieldByName(Name).IsNull()) << Name;
    if (Id == 1) {
      const char* Names[] = {"str1", "str2", "str3", "str4", "str5"};
      for (int F = 0; F < 5; ++F)
        EXPECT_EQ(Table.FieldByName(Names[F]).AsString(), First.Texts[F]) << Names[F];
      EXPECT_EQ(Table.FieldByName("m1").AsCurrency(), Currency::FromScaled(First.M1Scaled));
      EXPECT_EQ(Table.FieldByName("m2").AsCurrency(), Currency::FromScaled(First.M2Scaled));
    }
  }
  EXPECT_EQ(Id, 20000);
  Table.Close();
}

} // namespace tolvan::test
