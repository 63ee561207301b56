#include "schema/TolvanMetaObjectDef.h"
#include "tests/schema/SchemaTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "foundation/TolvanExcept.h"

using namespace tolvan;
using namespace tolvan::test;

namespace {

// Writes D, reads the bytes into a fresh definition of its class and writes that again.
template <class T> void ExpectStable(const T& D, const TBytes& Want) {
  const TBytes Got = Saved(D);
  EXPECT_EQ(ToHex(Got), ToHex(Want));
  T Back;
  LoadAll(Back, Got);
  EXPECT_EQ(ToHex(Saved(Back)), ToHex(Want));
  ExpectSameDef(D, Back);
}

TEST(MetaObjectDef, NamesAreCutTo255Bytes) {
  TTolvanMetaObjectDef D;
  EXPECT_EQ(D.Name(), "");
  EXPECT_EQ(D.ObjectID(), -1);
  D.SetName(std::string(300, 'x'));
  EXPECT_EQ(D.Name(), std::string(255, 'x'));
  const TBytes Form = Saved(D);
  ASSERT_EQ(Form.size(), 1u + 255 + 4);
  EXPECT_EQ(Form[0], 255);

  // An empty name is a single 0 byte, then the id.
  TTolvanMetaObjectDef E;
  E.SetObjectID(9);
  EXPECT_EQ(ToHex(Saved(E)), "00 09 00 00 00");
  TTolvanMetaObjectDef Back;
  Back.SetName("old");
  LoadAll(Back, Saved(E));
  EXPECT_EQ(Back.Name(), "");
  EXPECT_EQ(Back.ObjectID(), 9);
}

// --- sequences ----------------------------------------------------------------------------------

TEST(SequenceDef, CreationValuesFormIs39Bytes) {
  TTolvanSequenceDef S;
  ExpectStable(S, Hex("00 FF FF FF FF  0B"
                      "00 00 00 00 00 00 00 00  FF FF FF FF 00 00 00 00"
                      "00 00 00 00 00 00 00 00  01 00 00 00 00 00 00 00  01"));
  EXPECT_EQ(Saved(S).size(), 39u);
}

TEST(SequenceDef, CycledSequenceRestartsAtMinValueItself) {
  TTolvanSequenceDef S;
  EXPECT_EQ(S.NextValue(), 1);
  EXPECT_EQ(S.NextValue(), 2);
  S.SetCurrentValue(4294967293);
  EXPECT_EQ(S.NextValue(), 4294967294);
  EXPECT_EQ(S.NextValue(), 4294967295);
  EXPECT_EQ(S.NextValue(), 0);
  EXPECT_EQ(S.NextValue(), 1);

  TTolvanSequenceDef T;
  T.SetMinValue(10);
  T.SetMaxValue(20);
  T.SetCurrentValue(18);
  T.SetIncrement(3);
  EXPECT_EQ(T.NextValue(), 10); // not 10 + 3
  EXPECT_EQ(T.NextValue(), 13);
}

TEST(SequenceDef, UncycledSequenceKeepsFailingPastItsMaximum) {
  TTolvanSequenceDef S;
  S.SetName("S1");
  S.SetCycled(0);
  S.SetMaxValue(5);
  S.SetCurrentValue(5);
  for (int I = 0; I < 3; ++I) {
    const ETolvanException E = Raised([&] { S.NextValue(); });
    EXPECT_EQ(E.NativeError(), 30009);
    EXPECT_EQ(E.Message(), "Sequence 'S1' overflow - Native error: 30009");
  }
  EXPECT_EQ(S.CurrentValue(), 8); // the values past the maximum stay stored
}

TEST(SequenceDef, OverflowingAdditionStoresNothing) {
  TTolvanSequenceDef S;
  S.SetMaxValue(INT64_MAX);
  S.SetCurrentValue(INT64_MAX - 1);
  S.SetIncrement(2);
  EXPECT_THROW(S.NextValue(), EIntOverflow);
  EXPECT_EQ(S.CurrentValue(), INT64_MAX - 1);
  S.SetCurrentValue(INT64_MIN + 1);
  S.SetIncrement(-2);
  EXPECT_THROW(S.NextValue(), EIntOverflow);
  EXPECT_EQ(S.CurrentValue(), INT64_MIN + 1);
}

TEST(SequenceDef, AssignCopiesEverythingAndRefusesOtherClasses) {
  TRandomDefs R(7);
  auto Source = R.Sequence();
  TTolvanSequenceDef Copy;
  Copy.Assign(*Source);
  ExpectSameDef(*Source, Copy);
  TTolvanFieldDef F;
  EXPECT_THROW(Copy.Assign(F), EInvalidCast);
}

// --- fields -------------------------------------------------------------------------------------

TEST(FieldDef, CreationValues) {
  TTolvanFieldDef F;
  EXPECT_EQ(F.ObjectID(), -1);
  EXPECT_EQ(F.BaseType(), tvtNone);
  EXPECT_EQ(F.FieldType(), tftNone);
  EXPECT_EQ(F.SequenceID(), -1);
  EXPECT_TRUE(F.DefaultValue().IsNull());
  EXPECT_EQ(F.DefaultValue().DataType(), tvtNone);
  EXPECT_EQ(F.BlobBlockSize(), 102400);
  EXPECT_EQ(F.AutoincIncrement(), 1);
  EXPECT_EQ(F.AutoincMaxValue(), INT64_MAX);
  EXPECT_EQ(F.AutoincCycled(), 0);
}

TEST(FieldDef, GoldenForms) {
  TTolvanFieldDef Id;
  Id.SetName("ID");
  Id.SetObjectID(5);
  Id.SetType(tftInteger, 0);
  EXPECT_EQ(Id.DefaultValue().DataType(), tvtNone); // SetType leaves the default alone
  ExpectStable(Id, Hex("02 49 44 05 00 00 00 07 07 00 00 00 00 00 FF"));

  TTolvanFieldDef Blob;
  Blob.SetName("B");
  Blob.SetObjectID(7);
  Blob.SetType(tftBLOB, 0);
  ExpectStable(Blob, Hex("01 42 07 00 00 00 12 1F 00 00 00 00 00 00 00 90 01 00 00 FF"));

  TTolvanFieldDef Auto;
  Auto.SetName("N");
  Auto.SetObjectID(2);
  Auto.SetType(tftAutoIncInteger, 0);
  ExpectStable(Auto, Hex("01 4E 02 00 00 00 07 0F 00 00 00 00  FF FF FF FF"
                         "01 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00"
                         "00 00 00 00 00 00 00 00  FF FF FF FF FF FF FF 7F  00"));
  EXPECT_EQ(Saved(Auto).size(), 49u);

  // A default is stored in the value's form; a Varchar has no BLOB settings.
  TTolvanFieldDef Name;
  Name.SetName("NM");
  Name.SetObjectID(1);
  Name.SetType(tftVarchar, 3);
  Name.DefaultValue().SetAsString("ab");
  ExpectStable(Name, Hex("02 4E 4D 01 00 00 00 03 02 03 00 00 00  03 00 03 00 00 00 61 62 00"));
}

TEST(FieldDef, EveryBlobTypeWritesBlobSettings) {
  for (TTolvanFieldType T : {tftBLOB, tftMemo, tftFormattedMemo, tftGraphic, tftWideMemo}) {
    TTolvanFieldDef F;
    F.SetType(T, 0);
    F.SetBlobCompressionAlgorithm(caZlib);
    F.SetBlobCompressionMode(6);
    const TBytes Form = Saved(F);
    ASSERT_EQ(Form.size(), 5u + 6 + 6 + 2) << int(T);
    EXPECT_EQ(ToHex(TBytes(Form.begin() + 11, Form.begin() + 17)), "01 06 00 90 01 00");
  }
}

TEST(FieldDef, Widths) {
  struct TCase {
    TTolvanFieldType Type;
    int32_t Size, DataSize, StoredSize;
  };
  const TCase Cases[] = {
      {tftVarchar, 20, 21, 6},   {tftChar, 20, 21, 21},  {tftWideVarchar, 20, 42, 6},
      {tftWideChar, 20, 42, 42}, {tftInteger, 0, 4, 4},  {tftLargeInt, 0, 8, 8},
      {tftExtended, 0, 10, 10},  {tftBoolean, 0, 2, 2},  {tftBytes, 16, 16, 16},
      {tftVarBytes, 16, 16, 16}, {tftBLOB, 0, 8, 6},     {tftWideMemo, 0, 8, 6},
      {tftAutoIncByte, 0, 1, 1}, {tftDateTime, 0, 8, 8},
  };
  for (const TCase& C : Cases) {
    TTolvanFieldDef F;
    F.SetType(C.Type, C.Size);
    EXPECT_EQ(F.DataSize(), C.DataSize) << int(C.Type);
    EXPECT_EQ(F.StoredSize(), C.StoredSize) << int(C.Type);
  }
}

TEST(FieldDef, WidthsBeyond32BitsOverflow) {
  TTolvanFieldDef F;
  F.SetType(tftChar, 10);
  EXPECT_THROW(F.SetType(tftChar, INT32_MAX), EIntOverflow);
  EXPECT_THROW(F.SetType(tftWideChar, INT32_MAX / 2), EIntOverflow);
  EXPECT_EQ(F.DataSize(), 11); // the widths stay as they were
  EXPECT_THROW(F.SetType(tftChar, -1), ERangeError);
  F.SetType(tftBytes, INT32_MAX);
  EXPECT_EQ(F.DataSize(), INT32_MAX);
  F.SetType(tftWideChar, INT32_MAX / 2 - 1);
  EXPECT_EQ(F.DataSize(), INT32_MAX - 1);
}

TEST(FieldDef, RefusedTypeStaysWithBaseTypeZero) {
  TTolvanFieldDef F;
  F.SetType(tftInteger, 0);
  for (int T : {0, 36, 200}) {
    const ETolvanException E = Raised([&] { F.SetType(TTolvanFieldType(T), 5); });
    EXPECT_EQ(E.NativeError(), 30007);
    EXPECT_EQ(E.Message(), "Unsuported data type 'Unknown' - Native error: 30007");
    EXPECT_EQ(F.FieldType(), T);
    EXPECT_EQ(F.BaseType(), tvtNone);
    EXPECT_EQ(F.Size(), 0);
  }
}

TEST(FieldDef, AssignCopiesAllButTableFieldNoAndOwnsItsDefault) {
  TTolvanFieldDef Source;
  Source.SetName("PRICE");
  Source.SetObjectID(4);
  Source.SetType(tftVarchar, 12);
  Source.SetStoredOffset(3);
  Source.SetBufferOffset(9);
  Source.SetTableFieldNo(6);
  Source.SetSequenceID(8);
  Source.SetAutoincCycled(0xFF);
  Source.DefaultValue().SetAsString("abc");

  TTolvanFieldDef Copy;
  Copy.SetTableFieldNo(2);
  Copy.Assign(Source);
  ExpectSameDef(Source, Copy);
  EXPECT_EQ(Copy.StoredOffset(), 3);
  EXPECT_EQ(Copy.BufferOffset(), 9);
  EXPECT_EQ(Copy.SequenceID(), 8);
  EXPECT_EQ(Copy.AutoincCycled(), 0xFF);
  EXPECT_EQ(Copy.TableFieldNo(), 2);
  EXPECT_NE(Copy.DefaultValue().Data(), Source.DefaultValue().Data());
  Source.DefaultValue().SetAsString("changed");
  EXPECT_EQ(Copy.DefaultValue().GetAsString(), "abc");

  Copy.Assign(Copy);
  EXPECT_EQ(Copy.DefaultValue().GetAsString(), "abc");
  TTolvanSequenceDef Other;
  EXPECT_THROW(Copy.Assign(Other), EInvalidCast);
  EXPECT_EQ(Copy.Name(), "PRICE");
}

TEST(FieldDef, ReadingRecomputesWidthsAndKeepsStoredBaseType) {
  // A Char(5) column whose stored base type says STRING: the base type is not derived again.
  TTolvanFieldDef F;
  LoadAll(F, Hex("01 43 01 00 00 00  03 01 05 00 00 00  00 FF"));
  EXPECT_EQ(F.BaseType(), tvtString);
  EXPECT_EQ(F.FieldType(), tftChar);
  EXPECT_EQ(F.DataSize(), 6);
  EXPECT_EQ(F.StoredSize(), 6);
  EXPECT_EQ(F.StoredOffset(), 0);
}

// Stored values no writer produces are refused with the element's read code, before they are
// kept.
TEST(FieldDef, ImpossibleStoredValuesAreRefused) {
  struct TCase {
    const char* Form;
    int32_t Code;
  };
  const TCase Cases[] = {
      {"00 01 00 00 00  00 07 00 00 00 00  00 FF", 10187}, // value type 0
      {"00 01 00 00 00  19 07 00 00 00 00  00 FF", 10187}, // value type 25
      {"00 01 00 00 00  07 00 00 00 00 00  00 FF", 10188}, // field type 0
      {"00 01 00 00 00  07 24 00 00 00 00  00 FF", 10188}, // field type 36
      {"00 01 00 00 00  01 01 FF FF FF FF  00 FF", 10189}, // negative size
      {"00 01 00 00 00  07 07 00 00 00 80  00 FF", 10189}, // negative size, fixed type
      {"00 01 00 00 00  01 01 FF FF FF 7F  00 FF", 10189}, // CHAR width past 32 bits
      {"00 01 00 00 00  02 03 FF FF FF 3F  00 FF", 10189}, // WIDECHAR width past 32 bits
  };
  for (const TCase& C : Cases) {
    TTolvanFieldDef F;
    F.SetType(tftInteger, 0);
    TVectorStream S(Hex(C.Form));
    const ETolvanException E = Raised([&] { F.LoadFromStream(S); });
    EXPECT_EQ(E.NativeError(), C.Code) << C.Form;
    EXPECT_EQ(E.Message().rfind("Cannot read from stream.", 0), 0u) << E.Message();
    EXPECT_EQ(F.Size(), 0) << C.Form;
    EXPECT_EQ(F.DataSize(), 4) << C.Form;
  }
}

} // namespace
