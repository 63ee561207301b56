#include "storage/TolvanFieldManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "classlib/Strings.h"
#include "tests/foundation/TestSupport.h"
#include "tests/storage/TableTestSupport.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

using TBuffer = std::vector<uint8_t>;

// One ApplyDefaults run: the code it raises (0 for none) and the record it leaves.
struct TRun {
  int32_t Code;
  TBuffer Record;
};

struct TCase {
  const char* Name;
  std::function<void(TTolvanFieldDefs&)> Columns;
  bool ApplyAutoInc;
  int Runs;
  std::function<void(TTableFixture&, const std::vector<TRun>&)> Check;
};

int64_t Number(TTableFixture& F, const TBuffer& Record, int32_t FieldNo) {
  int64_t Value = 0;
  if (!GetFieldData(FieldNo, F.Fields(), &Value, Record.data()))
    return -999;
  // The column's own width, sign-extended for the signed types.
  switch (F.Fields().Items(FieldNo).DataSize()) {
  case 1:
    return F.Fields().Items(FieldNo).BaseType() == tvtUnsignedInt8 ? uint8_t(Value) : int8_t(Value);
  case 4:
    return int32_t(Value);
  default:
    return Value;
  }
}

bool Null(const TBuffer& Record, int32_t FieldNo) { return IsFieldNull(Record.data(), FieldNo); }

int64_t SessionValue(TTableFixture& F, int32_t FieldNo) {
  int64_t Value = -1;
  const int32_t Code = NativeCodeOf([&] {
    Value =
        F.Table.SequenceManager()->CurrentValue(&F.Session, F.Fields().Items(FieldNo).SequenceID());
  });
  return Code ? -Code : Value;
}

TEST(FieldManager, ApplyDefaults) {
  const TCase Cases[] = {
      {"nothing to apply leaves the buffer as it was",
       [](TTolvanFieldDefs& D) {
         AddField(D, "A", tftInteger);
         AddField(D, "B", tftChar, 5);
       },
       true, 1,
       [](TTableFixture&, const std::vector<TRun>& R) {
         EXPECT_EQ(R[0].Code, 0);
         TBuffer Expected(R[0].Record.size(), 0xAB);
         Expected[0] = 0xFF;
         EXPECT_EQ(R[0].Record, Expected);
       }},
      {"an auto-increment value replaces the default",
       [](TTolvanFieldDefs& D) {
         AddField(D, "ID", tftAutoIncInteger).DefaultValue().SetAsInteger(99);
       },
       true, 2,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 0), 1);
         EXPECT_EQ(Number(F, R[1].Record, 0), 2);
         EXPECT_EQ(SessionValue(F, 0), 2);
       }},
      {"without auto-increment the default stays and nothing is drawn",
       [](TTolvanFieldDefs& D) {
         AddField(D, "ID", tftAutoIncInteger).DefaultValue().SetAsInteger(99);
       },
       false, 1,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 0), 99);
         EXPECT_EQ(SessionValue(F, 0), -30012);
         EXPECT_EQ(F.Table.SequenceManager()->SequenceDefs().Items(0).CurrentValue(), 0);
       }},
      {"an over-long text default is cut and terminated",
       [](TTolvanFieldDefs& D) {
         AddField(D, "A", tftInteger);
         AddField(D, "T", tftChar, 5).DefaultValue().SetAsString("abcdefghij");
       },
       true, 1,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         ASSERT_EQ(R[0].Code, 0);
         const int32_t At = F.Fields().Items(1).BufferOffset();
         EXPECT_EQ(std::memcmp(R[0].Record.data() + At, "abcde", 6), 0);
         EXPECT_EQ(int64_t(R[0].Record.size()), At + 6);
         EXPECT_TRUE(Null(R[0].Record, 0));
         EXPECT_FALSE(Null(R[0].Record, 1));
       }},
      {"an over-long wide default is cut on a code unit",
       [](TTolvanFieldDefs& D) {
         AddField(D, "W", tftWideChar, 3).DefaultValue().SetAsWideString(u"wxyzv");
       },
       true, 1,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         ASSERT_EQ(R[0].Code, 0);
         WideString Text;
         ASSERT_TRUE(GetFieldData(0, F.Fields(), Text, R[0].Record.data()));
         EXPECT_EQ(Text, u"wxy");
         EXPECT_EQ(R[0].Record.size(), size_t(1 + 8));
       }},
      {"a byte counter reaches 255, then overflows without writing",
       [](TTolvanFieldDefs& D) {
         AddField(D, "A", tftInteger).DefaultValue().SetAsInteger(7);
         AddField(D, "B", tftAutoIncByte).SetAutoincInitialValue(253);
       },
       true, 3,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 1), 254);
         EXPECT_EQ(Number(F, R[1].Record, 1), 255);
         EXPECT_EQ(R[2].Code, 30009);
         EXPECT_TRUE(Null(R[2].Record, 1));
         EXPECT_EQ(R[2].Record[size_t(F.Fields().Items(1).BufferOffset())], 0xAB);
         // The column before the failing one keeps its default.
         EXPECT_EQ(Number(F, R[2].Record, 0), 7);
         EXPECT_EQ(SessionValue(F, 1), 255);
       }},
      {"a cycled byte counter restarts at its minimum",
       [](TTolvanFieldDefs& D) {
         TTolvanFieldDef& B = AddField(D, "B", tftAutoIncByte);
         B.SetAutoincCycled(1);
         B.SetAutoincMinValue(3);
         B.SetAutoincMaxValue(255);
         B.SetAutoincInitialValue(254);
       },
       true, 2,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 0), 255);
         EXPECT_EQ(Number(F, R[1].Record, 0), 3);
       }},
      {"a signed counter stops at its column's range",
       [](TTolvanFieldDefs& D) {
         AddField(D, "S", tftAutoIncShortInt).SetAutoincInitialValue(126);
       },
       true, 2,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 0), 127);
         EXPECT_EQ(R[1].Code, 30009);
       }},
      {"a default of another type is converted",
       [](TTolvanFieldDefs& D) {
         AddField(D, "I", tftInteger).DefaultValue().SetAsString("42");
         AddField(D, "C", tftVarchar, 4).DefaultValue().SetAsInteger(12345);
       },
       true, 1,
       [](TTableFixture& F, const std::vector<TRun>& R) {
         EXPECT_EQ(Number(F, R[0].Record, 0), 42);
         char Text[8] = {};
         ASSERT_TRUE(GetFieldData(1, F.Fields(), Text, R[0].Record.data()));
         EXPECT_STREQ(Text, "1234");
       }},
      {"a default that does not convert raises 30051",
       [](TTolvanFieldDefs& D) {
         AddField(D, "S", tftSmallInt).DefaultValue().SetAsInteger(70000);
       },
       true, 1,
       [](TTableFixture&, const std::vector<TRun>& R) {
         EXPECT_EQ(R[0].Code, 30051);
         EXPECT_TRUE(Null(R[0].Record, 0));
       }},
      {"a BLOB column takes no default",
       [](TTolvanFieldDefs& D) { AddField(D, "M", tftMemo).DefaultValue().SetAsString("x"); }, true,
       1,
       [](TTableFixture&, const std::vector<TRun>& R) {
         EXPECT_EQ(R[0].Code, 0);
         EXPECT_TRUE(Null(R[0].Record, 0));
       }},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTableFixture F;
    TTolvanFieldDefs Fields;
    C.Columns(Fields);
    TTolvanIndexDefs Indexes;
    F.Create(Fields, Indexes);
    std::vector<TRun> Runs;
    for (int I = 0; I < C.Runs; ++I) {
      // Exactly the table's record, so that a write past it is caught.
      TBuffer Record(size_t(F.Table.RecordSize()), 0xAB);
      SetAllNull(Record.data(), F.Fields().Count());
      const int32_t Code =
          NativeCodeOf([&] { F.Table.ApplyDefaults(*F.Cursor, Record.data(), C.ApplyAutoInc); });
      Runs.push_back({Code, Record});
    }
    C.Check(F, Runs);
  }
}

} // namespace
