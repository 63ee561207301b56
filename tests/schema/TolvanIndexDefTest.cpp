#include "schema/TolvanIndexDef.h"
#include "tests/schema/SchemaTestSupport.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

TEST(IndexDef, PrimaryIndexWithoutColumns) {
  TTolvanIndexDef D;
  EXPECT_EQ(D.ObjectID(), -1);
  EXPECT_EQ(D.RootPageNo(), -1);
  D.SetName("PK");
  D.SetObjectID(4);
  D.SetUnique(1);
  D.SetPrimary(1);
  const TBytes Want = Hex("02 50 4B 04 00 00 00 00 01 01 00 00 00 00 FF FF FF FF");
  EXPECT_EQ(ToHex(Saved(D)), ToHex(Want));
  TTolvanIndexDef Back;
  Back.SetColumnCount(3);
  LoadAll(Back, Want);
  ExpectSameDef(D, Back);
  EXPECT_EQ(ToHex(Saved(Back)), ToHex(Want));
}

TEST(IndexDef, ColumnsKeepTheirFlagBytes) {
  TTolvanIndexDef D;
  D.SetName("I");
  D.SetObjectID(1);
  D.SetRootPageNo(7);
  D.SetColumnCount(2);
  D.Columns(0).SetName("A");
  D.Columns(1).SetName("BC");
  D.Columns(1).SetDescending(0xFF);
  D.Columns(1).SetCaseInsensitive(1);
  const TBytes Want = Hex("01 49 01 00 00 00 00 00 00 02 00 00 00 07 00 00 00"
                          "01 41 00 00  02 42 43 FF 01");
  EXPECT_EQ(ToHex(Saved(D)), ToHex(Want));
  TTolvanIndexDef Back;
  LoadAll(Back, Want);
  EXPECT_EQ(Back.Columns(1).Descending(), 0xFF);
  EXPECT_EQ(ToHex(Saved(Back)), ToHex(Want));
}

TEST(IndexDef, ColumnCountGrowsWithEmptyColumnsAndShrinks) {
  TTolvanIndexDef D;
  D.SetColumnCount(2);
  D.Columns(1).SetName("X");
  D.Columns(1).SetDescending(1);
  D.SetColumnCount(1);
  D.SetColumnCount(3);
  EXPECT_EQ(D.ColumnCount(), 3);
  EXPECT_EQ(D.Columns(1), TTolvanIndexColumn());
  EXPECT_THROW(D.Columns(3), ERangeError);
  EXPECT_THROW(D.Columns(-1), ERangeError);
  EXPECT_THROW(D.SetColumnCount(-1), ERangeError);
}

// A column name must fit its length byte: 1 to 255 bytes. Nothing is written for a column that
// does not fit.
TEST(IndexDef, ColumnNamesOutsideOneTo255Bytes) {
  for (size_t Length : {size_t(0), size_t(256)}) {
    TTolvanIndexDef D;
    D.SetColumnCount(1);
    D.Columns(0).SetName(std::string(Length, 'c'));
    TVectorStream S;
    EXPECT_THROW(D.SaveToStream(S), ERangeError) << Length;
    EXPECT_EQ(S.Data.size(), 5u + 3 + 8) << Length;
  }
  TTolvanIndexDef Longest;
  Longest.SetColumnCount(1);
  Longest.Columns(0).SetName(std::string(255, 'c'));
  TTolvanIndexDef Back;
  LoadAll(Back, Saved(Longest));
  EXPECT_EQ(Back.Columns(0).Name(), std::string(255, 'c'));

  TVectorStream S(Hex("00 01 00 00 00 00 00 00 01 00 00 00 FF FF FF FF  00 41 00 00"));
  EXPECT_THROW(Back.LoadFromStream(S), ERangeError);
}

TEST(IndexDef, ColumnCountsTheStreamCannotHoldAreRefusedBeforeColumnsAreMade) {
  struct TCase {
    const char* Count;
    size_t Tail; // bytes after the root page number
  };
  const TCase Cases[] = {{"FF FF FF FF", 100},
                         {"00 00 00 80", 100},
                         {"FF FF FF 7F", 100},
                         {"03 00 00 00", 11},
                         {"01 00 00 00", 3}};
  for (const TCase& C : Cases) {
    TBytes Form = Hex(std::string("00 01 00 00 00 00 00 00") + C.Count + "FF FF FF FF");
    Form.resize(Form.size() + C.Tail, 0x41);
    TTolvanIndexDef D;
    TVectorStream S(Form);
    EXPECT_EQ(NativeCodeOf([&] { D.LoadFromStream(S); }), 10352) << C.Count;
    EXPECT_EQ(D.ColumnCount(), 0) << C.Count;
  }
}

TEST(IndexDef, AssignCopiesColumnsAndRefusesOtherClasses) {
  TRandomDefs R(11);
  for (int I = 0; I < 20; ++I) {
    auto Source = R.Index();
    TTolvanIndexDef Copy;
    Copy.SetColumnCount(9);
    Copy.Assign(*Source);
    ExpectSameDef(*Source, Copy);
  }
  TTolvanIndexDef D;
  TTolvanFieldDef F;
  EXPECT_THROW(D.Assign(F), EInvalidCast);
}

} // namespace
