// Field data of the dataset: one column of each engine type written through the framework's
// fields, posted, read back after a reopen and checked against the engine's own value; refused
// narrowing; values the native form cannot hold; BLOB values through the record values. Each
// test runs on a dataset that fetches straight through its cursor and on a table component.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "components/TolvanDataSet.h"
#include "components/TolvanTable.h"
#include "foundation/TolvanConverts.h"
#include "foundation/TolvanExcept.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/components/support/BrowseDataSet.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

struct TColumn {
  const char* Name;
  TTolvanFieldType Type;
  int32_t Size;
};

// One column of each of the engine's types.
const TColumn Columns[] = {
    {"S1", tftChar, 5},
    {"S2", tftVarchar, 5},
    {"W1", tftWideChar, 5},
    {"W2", tftWideVarchar, 5},
    {"I8", tftShortInt, 0},
    {"I16", tftSmallInt, 0},
    {"I32", tftInteger, 0},
    {"I64", tftLargeInt, 0},
    {"U8", tftByte, 0},
    {"U16", tftWord, 0},
    {"U32", tftCardinal, 0},
    {"A", tftAutoInc, 0},
    {"A8", tftAutoIncShortInt, 0},
    {"A16", tftAutoIncSmallInt, 0},
    {"A32", tftAutoIncInteger, 0},
    {"A64", tftAutoIncLargeInt, 0},
    {"AU8", tftAutoIncByte, 0},
    {"AU16", tftAutoIncWord, 0},
    {"AU32", tftAutoIncCardinal, 0},
    {"F4", tftSingle, 0},
    {"F8", tftDouble, 0},
    {"F10", tftExtended, 0},
    {"B", tftBoolean, 0},
    {"CU", tftCurrency, 0},
    {"D", tftDate, 0},
    {"T", tftTime, 0},
    {"DT", tftDateTime, 0},
    {"TS", tftTimeStamp, 0},
    {"BY", tftBytes, 4},
    {"VB", tftVarBytes, 4},
    {"BL", tftBLOB, 0},
    {"G", tftGraphic, 0},
    {"M", tftMemo, 0},
    {"FM", tftFormattedMemo, 0},
    {"WM", tftWideMemo, 0},
};
static_assert(std::size(Columns) == TolvanFieldTypeCount);

int32_t ColumnNo(std::string_view Name) {
  for (size_t I = 0; I < std::size(Columns); ++I)
    if (Name == Columns[I].Name)
      return int32_t(I);
  throw std::logic_error("no column " + std::string(Name));
}

// The parameter: on a table component (else on the browse dataset).
class FieldDataTest : public ComponentTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override {
    TTolvanFieldDefs Fields;
    for (const TColumn& C : Columns) {
      TTolvanFieldDef& Def = Fields.AddNew();
      Def.SetName(C.Name);
      Def.SetType(C.Type, C.Size);
    }
    TTolvanIndexDefs Indexes;
    TTolvanConstraintDefs Constraints;
    MakeEngineTable("MEMORY", "N", Fields, Indexes, Constraints);
    if (GetParam()) {
      auto* Table = NewComponent<TTolvanTable>(nullptr);
      Table->SetTableName("N");
      D = Own<TTolvanDataSet>(Table);
    } else {
      auto* Browse = NewComponent<TBrowseDataSet>(nullptr);
      Browse->TableName = "N";
      D = Own<TTolvanDataSet>(Browse);
    }
    D->Open();
  }

  TField& F(std::string_view Name) { return D->FieldByName(Name); }

  // The engine's value of a column of the shown record.
  TTolvanVariant& Engine(std::string_view Name) {
    Value.Clear();
    D->GetFieldValue(Value, ColumnNo(Name), false, true);
    return Value;
  }

  // One record written by Fill, posted, and shown again after a reopen.
  void InsertAndReopen(const std::function<void()>& Fill) {
    D->Append();
    Fill();
    D->Post();
    D->Close();
    D->Open();
    ASSERT_FALSE(D->IsEmpty());
  }

  TComponentPtr<TTolvanDataSet> D;
  TTolvanVariant Value;
};

TEST_P(FieldDataTest, IntegersKeepTheirSignAndLimits) {
  struct TCase {
    const char* Name;
    int64_t Value;
  };
  const TCase Cases[] = {
      {"I8", -1},   {"I16", INT16_MIN}, {"I32", INT32_MIN},  {"I64", INT64_MIN},
      {"U8", 255},  {"U16", 65535},     {"U32", UINT32_MAX}, {"A", INT32_MAX},
      {"A8", -128}, {"A16", -2},        {"A32", -7},         {"A64", INT64_MAX},
      {"AU8", 200}, {"AU16", 65000},    {"AU32", INT32_MAX},
  };
  InsertAndReopen([&] {
    for (const TCase& C : Cases)
      F(C.Name).SetAsLargeInt(C.Value);
  });
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(F(C.Name).AsLargeInt(), C.Value);
    TTolvanVariant& V = Engine(C.Name);
    V.CastTo(tvtSignedInt64);
    EXPECT_EQ(V.GetAsLargeInt(), C.Value);
  }
}

TEST_P(FieldDataTest, NarrowingIsRefusedAndChangesNothing) {
  InsertAndReopen([&] {
    F("I8").SetAsInteger(5);
    F("U8").SetAsInteger(6);
    F("U32").SetAsLargeInt(7);
    F("A16").SetAsInteger(8);
    F("F4").SetAsFloat(9);
  });
  D->Edit();
  struct TCase {
    const char* Name;
    std::function<void(TField&)> Write;
    const char* Text;
  };
  const TCase Cases[] = {
      {"I8", [](TField& X) { X.SetAsInteger(128); }, "128"},
      {"I8", [](TField& X) { X.SetAsInteger(-129); }, "-129"},
      {"U8", [](TField& X) { X.SetAsInteger(300); }, "300"},
      {"U8", [](TField& X) { X.SetAsInteger(-1); }, "-1"},
      {"U32", [](TField& X) { X.SetAsLargeInt(-1); }, "-1"},
      {"U32", [](TField& X) { X.SetAsLargeInt(int64_t(UINT32_MAX) + 1); }, "4294967296"},
      {"A16", [](TField& X) { X.SetAsInteger(40000); }, "40000"},
      {"F4", [](TField& X) { X.SetAsFloat(1e39); }, "1E39"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::string(C.Name) + " " + C.Text);
    try {
      C.Write(F(C.Name));
      ADD_FAILURE() << "accepted";
    } catch (const EDatabaseError& E) {
      EXPECT_NE(E.Message().find(C.Name), std::string::npos) << E.Message();
      EXPECT_NE(E.Message().find(C.Text), std::string::npos) << E.Message();
    }
  }
  D->Post();
  D->Close();
  D->Open();
  EXPECT_EQ(F("I8").AsInteger(), 5);
  EXPECT_EQ(F("U8").AsInteger(), 6);
  EXPECT_EQ(F("U32").AsLargeInt(), 7);
  EXPECT_EQ(F("A16").AsInteger(), 8);
  EXPECT_EQ(F("F4").AsFloat(), 9.0);
}

TEST_P(FieldDataTest, ValuesTheNativeFormCannotHoldRaiseOnRead) {
  InsertAndReopen([&] {
    TTolvanVariant Big;
    Big.SetAsCardinal(3000000000u);
    D->SetFieldValue(Big, ColumnNo("AU32"), false);
    TTolvanVariant Huge;
    Huge.SetAsExtended(1e400L);
    D->SetFieldValue(Huge, ColumnNo("F10"), false);
  });
  EXPECT_EQ(Engine("AU32").GetAsCardinal(), 3000000000u);
  EXPECT_THROW(F("AU32").AsLargeInt(), EDatabaseError);
  EXPECT_THROW(F("F10").AsFloat(), EDatabaseError);
  // Within double an Extended reads as the double.
  D->Edit();
  F("F10").SetAsFloat(-2.5e300);
  D->Post();
  EXPECT_EQ(F("F10").AsFloat(), -2.5e300);
}

TEST_P(FieldDataTest, FloatsAndDates) {
  const TDateTime Noon = 0.5;
  const TDateTime AlmostMidnight = EncodeDate(2020, 2, 28) + 86399999.6 / 86400000.0;
  const TDateTime NextMidnight = EncodeDate(2020, 2, 29);
  InsertAndReopen([&] {
    F("F4").SetAsFloat(0.1);
    F("F8").SetAsFloat(0.1);
    F("F10").SetAsFloat(1.0 / 3.0);
    F("CU").SetAsFloat(12.34);
    F("B").SetAsString("True");
    F("D").SetAsDateTime(EncodeDate(1, 1, 1));
    F("T").SetAsDateTime(Noon);
    F("DT").SetAsDateTime(-1.25);
  });
  EXPECT_EQ(F("F4").AsFloat(), double(0.1f));
  EXPECT_EQ(Engine("F4").GetAsSingle(), 0.1f);
  EXPECT_EQ(F("F8").AsFloat(), 0.1);
  EXPECT_EQ(F("F10").AsFloat(), 1.0 / 3.0);
  EXPECT_EQ(F("CU").AsFloat(), 12.34);
  EXPECT_EQ(F("B").AsInteger(), -1);
  int32_t Native = 0;
  ASSERT_TRUE(F("D").GetData(&Native, true));
  EXPECT_EQ(Native, 1);
  EXPECT_EQ(Engine("D").GetAsStoredDate(), 1);
  ASSERT_TRUE(F("T").GetData(&Native, true));
  EXPECT_EQ(Native, 43200000);
  EXPECT_EQ(Engine("T").GetAsStoredTime(), 43200000);
  EXPECT_EQ(F("DT").AsDateTime(), -1.25);
  EXPECT_EQ(Engine("DT").GetAsDateTime(), -1.25);

  // A time that rounds to 24:00: the time alone is midnight, the others carry into the date.
  D->Edit();
  F("T").SetAsDateTime(AlmostMidnight);
  F("DT").SetAsDateTime(AlmostMidnight);
  F("TS").SetAsDateTime(AlmostMidnight);
  F("D").SetAsDateTime(-1.25);
  D->Post();
  D->Close();
  D->Open();
  EXPECT_EQ(Engine("T").GetAsStoredTime(), 0);
  EXPECT_EQ(F("T").AsDateTime(), 0.0);
  EXPECT_EQ(F("DT").AsDateTime(), NextMidnight);
  EXPECT_EQ(Engine("DT").GetAsDateTime(), NextMidnight);
  EXPECT_EQ(F("TS").AsDateTime(), NextMidnight);
  EXPECT_EQ(Engine("TS").GetAsDateTime(), NextMidnight);
  const TSQLTimeStamp Stamp = static_cast<TSQLTimeStampField&>(F("TS")).AsSQLTimeStamp();
  EXPECT_EQ(Stamp.Year, 2020);
  EXPECT_EQ(Stamp.Month, 2);
  EXPECT_EQ(Stamp.Day, 29);
  EXPECT_EQ(Stamp.Hour, 0);
  EXPECT_EQ(F("D").AsDateTime(), -1.0);
}

TEST_P(FieldDataTest, TextBytesAndNulls) {
  const std::u16string Greek = u"\u03a9\u03bb\u20ac\u4e2d\u0416";
  const std::vector<uint8_t> Two = {1, 2}, Four = {1, 2, 3, 4}, Five = {1, 2, 3, 4, 5};
  InsertAndReopen([&] {
    F("S1").SetAsString("abc");
    F("S2").SetAsString("");
    F("W1").SetAsWideString(Greek);
    F("W2").SetAsWideString(u"ab");
    static_cast<TBinaryField&>(F("BY")).SetAsBytes(Two);
    static_cast<TBinaryField&>(F("VB")).SetAsBytes(Four);
  });
  EXPECT_EQ(F("S1").AsString(), "abc");
  // An empty string is stored as NULL.
  EXPECT_TRUE(F("S2").IsNull());
  EXPECT_TRUE(Engine("S2").IsNull());
  EXPECT_EQ(F("W1").AsWideString(), Greek);
  EXPECT_EQ(Engine("W1").GetAsWideString(), Greek);
  EXPECT_EQ(F("W2").AsWideString(), u"ab");
  const std::vector<uint8_t> Padded = {1, 2, 0, 0};
  EXPECT_EQ(static_cast<TBinaryField&>(F("BY")).AsBytes(), Padded);
  EXPECT_EQ(static_cast<TBinaryField&>(F("VB")).AsBytes(), Four);
  EXPECT_EQ(std::memcmp(Engine("VB").Data(), Four.data(), 4), 0);
  EXPECT_TRUE(F("I32").IsNull());

  D->Edit();
  EXPECT_THROW(static_cast<TBinaryField&>(F("BY")).SetAsBytes(Five), EDatabaseError);
  F("W1").SetAsWideString(u"");
  F("S1").Clear();
  D->Post();
  EXPECT_TRUE(F("W1").IsNull());
  EXPECT_TRUE(F("S1").IsNull());
  EXPECT_EQ(static_cast<TBinaryField&>(F("BY")).AsBytes(), Padded);
}

TEST_P(FieldDataTest, BlobValuesOfEachType) {
  std::string Mib(1 << 20, '\0');
  for (size_t I = 0; I < Mib.size(); ++I)
    Mib[I] = char('a' + I % 26);
  const char* const Blobs[] = {"BL", "G", "M", "FM", "WM"};
  for (const std::string& Content : {std::string("hello"), Mib, std::string()}) {
    SCOPED_TRACE(Content.size());
    D->Close();
    D->Open();
    if (D->IsEmpty())
      D->Append();
    else
      D->Edit();
    for (const char* Name : Blobs) {
      TTolvanVariant V;
      V.SetAsString(Content);
      D->SetFieldValue(V, ColumnNo(Name), false);
    }
    D->Post();
    D->Close();
    D->Open();
    for (const char* Name : Blobs) {
      SCOPED_TRACE(Name);
      TTolvanVariant& V = Engine(Name);
      if (Content.empty()) {
        EXPECT_TRUE(V.IsNull());
        EXPECT_TRUE(F(Name).IsNull());
        continue;
      }
      ASSERT_EQ(V.DataSize(), int32_t(Content.size()));
      EXPECT_EQ(std::memcmp(V.Data(), Content.data(), Content.size()), 0);
    }
  }
  // Five wide characters in a memo store ten bytes.
  D->Edit();
  TTolvanVariant Wide;
  Wide.SetAsWideString(u"abcde");
  D->SetFieldValue(Wide, ColumnNo("M"), false);
  D->Post();
  EXPECT_EQ(Engine("M").DataSize(), 10);
}

INSTANTIATE_TEST_SUITE_P(OnDataSetAndTable, FieldDataTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                           return Info.param ? "Table" : "BrowseDataSet";
                         });

} // namespace
