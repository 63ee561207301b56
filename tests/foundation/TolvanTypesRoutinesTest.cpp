#include "foundation/TolvanTypesRoutines.h"

#include <gtest/gtest.h>

#include <cstring>

#include "foundation/TolvanExcept.h"
#include "classlib/Strings.h"
#include "foundation/TolvanMemory.h"

using namespace tolvan;

TEST(TypeTables, FirstMatchingRowDecides) {
  EXPECT_EQ(ValueTypeOfFieldType(tftTimeStamp), tvtDateTime);
  EXPECT_EQ(ValueTypeOfFieldType(tftAutoIncCardinal), tvtUnsignedInt32);
  EXPECT_EQ(ValueTypeOfFieldType(tftNone), tvtNone);
  EXPECT_EQ(DataSetTypeOfFieldType(tftTimeStamp), ftTimeStamp);
  EXPECT_EQ(DataSetTypeOfFieldType(tftAutoIncLargeInt), ftLargeint);
  EXPECT_EQ(DataSetTypeOfFieldType(tftWideMemo), ftMemo);
  EXPECT_EQ(DataSetTypeOfFieldType(tftBLOB), ftBlob);
  EXPECT_EQ(FieldTypeToSQLName(tftBLOB), "BLOB");
  EXPECT_EQ(FieldTypeToSQLName(tftNone), "Unknown");
  EXPECT_EQ(ValueTypeToSQLName(tvtFloat), "FLOAT");
  EXPECT_EQ(ValueTypeToSQLName(tvtNone), "Unknown");
  EXPECT_EQ(ValueTypeToSQLName(tvtBLOB), "BLOB");
  EXPECT_EQ(FieldTypeOfSQLName("VARCHAR2"), tftVarchar);
  EXPECT_EQ(FieldTypeOfSQLName("NUMBER"), tftNone);
}

TEST(TypeTables, FieldTypeOfEveryValueType) {
  const TTolvanFieldType Want[] = {
      tftChar,   tftWideChar, tftVarchar, tftWideVarchar, tftShortInt, tftSmallInt,
      tftInteger, tftLargeInt, tftByte,   tftWord,        tftCardinal, tftSingle,
      tftDouble, tftExtended, tftDate,    tftTime,        tftDateTime, tftBLOB,
      tftMemo,   tftWideMemo, tftBoolean, tftCurrency,    tftBytes,    tftVarBytes};
  for (int V = 1; V <= TolvanValueTypeCount; ++V)
    EXPECT_EQ(FieldTypeOfValueType(static_cast<TTolvanValueType>(V)), Want[V - 1]) << V;
  EXPECT_EQ(FieldTypeOfValueType(tvtNone), tftNone);
  // And every field type has a value type whose own field type shares it.
  for (int F = 1; F <= TolvanFieldTypeCount; ++F)
    EXPECT_NE(ValueTypeOfFieldType(static_cast<TTolvanFieldType>(F)), tvtNone) << F;
}

TEST(TypeTables, DataSetTypes) {
  struct Case {
    TFieldType In;
    TTolvanFieldType Out;
  };
  const Case Cases[] = {{ftWideString, tftWideChar}, {ftInteger, tftInteger}, {ftWord, tftWord},
                        {ftLargeint, tftLargeInt},   {ftAutoInc, tftAutoInc},  {ftFloat, tftDouble},
                        {ftMemo, tftMemo},           {ftBlob, tftBLOB},        {ftParadoxOle, tftBLOB},
                        {ftTypedBinary, tftBLOB},    {ftDBaseOle, tftBLOB},    {ftFixedChar, tftChar}};
  for (const Case& C : Cases)
    EXPECT_EQ(FieldTypeOfDataSetType(C.In), C.Out) << int(C.In);
  for (TFieldType Missing : {ftBCD, ftGuid, ftVariant, ftUnknown}) {
    try {
      FieldTypeOfDataSetType(Missing);
      ADD_FAILURE() << int(Missing);
    } catch (const ETolvanException& E) {
      EXPECT_EQ(E.NativeError(), 30289);
      if (Missing == ftBCD) {
        EXPECT_EQ(E.Message(), "Unknown DataType: '8' - Native error: 30289");
      }
    }
  }
}

TEST(TypeSizes, ValueTypeDataSize) {
  EXPECT_EQ(ValueTypeDataSize(tvtWideString, 5), 12);
  EXPECT_EQ(ValueTypeDataSize(tvtString, 5), 6);
  EXPECT_EQ(ValueTypeDataSize(tvtExtended, 0), 10);
  EXPECT_EQ(ValueTypeDataSize(tvtLogical, 0), 2);
  EXPECT_EQ(ValueTypeDataSize(tvtCurrency, 0), 8);
  EXPECT_EQ(ValueTypeDataSize(tvtVarBytes, 7), 7);
  try {
    ValueTypeDataSize(static_cast<TTolvanValueType>(25), 0);
    ADD_FAILURE();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.Message(), "Unknown DataType: 'Unknown' - Native error: 30050");
  }
  EXPECT_THROW(ValueTypeDataSize(tvtWideString, INT32_MAX / 2), ERangeError);
  EXPECT_THROW(ValueTypeDataSize(tvtBytes, -1), ERangeError);
}

TEST(TypeSizes, ValueByteLengthStopsAtTheTerminatorOrTheBuffer) {
  const char Narrow[] = "abc\0def";
  EXPECT_EQ(ValueByteLength(Narrow, sizeof Narrow, tftVarchar), 3);
  EXPECT_EQ(ValueByteLength(Narrow, 2, tftVarchar), 2);
  const char16_t Wide[] = u"\u0100b\0x";
  EXPECT_EQ(ValueByteLength(Wide, sizeof Wide, tftWideVarchar), 4); // 0x00 0x01 is no terminator
  EXPECT_EQ(ValueByteLength(nullptr, 10, tftChar), 0);
}

TEST(TypePredicates, Ranges) {
  int Blob = 0, Numeric = 0, Integer = 0, String = 0;
  for (int V = 0; V <= 25; ++V) {
    auto T = static_cast<TTolvanValueType>(V);
    Blob += IsBlobValueType(T);
    Numeric += IsNumericValueType(T);
    Integer += IsIntegerValueType(T);
    String += IsStringValueType(T);
  }
  EXPECT_EQ(Blob, 3);
  EXPECT_EQ(Numeric, 11);
  EXPECT_EQ(Integer, 7);
  EXPECT_EQ(String, 6);
  EXPECT_TRUE(IsWideValueType(tvtWideMemo));
  EXPECT_FALSE(IsWideStringValueType(tvtWideMemo));
  EXPECT_TRUE(IsAutoIncFieldType(tftAutoIncCardinal));
  EXPECT_FALSE(IsAutoIncFieldType(tftSingle));
  EXPECT_TRUE(IsScalarFieldType(tftTimeStamp));
  EXPECT_FALSE(IsScalarFieldType(tftBytes));
  EXPECT_TRUE(IsBlobFieldType(tftGraphic));
}

TEST(TypeCopies, CopyTypedValueMakesTerminatedOwnedBuffers) {
  void* B = nullptr;
  int32_t Size = -1;
  AnsiString A = "abc";
  CopyTypedValue(tvtString, &A, B, Size);
  ASSERT_NE(B, nullptr);
  EXPECT_EQ(Size, 4);
  EXPECT_EQ(std::memcmp(B, "abc", 4), 0);
  MemoryManager.FreeAndNillMem(B);

  WideString W = u"\u00E9z";
  CopyTypedValue(tvtWideChar, &W, B, Size);
  EXPECT_EQ(Size, 6);
  EXPECT_EQ(std::memcmp(B, u"\u00E9z", 6), 0);
  MemoryManager.FreeAndNillMem(B);

  AnsiString Empty;
  CopyTypedValue(tvtChar, &Empty, B, Size);
  EXPECT_EQ(B, nullptr);
  EXPECT_EQ(Size, 0);

  int64_t I = -5;
  CopyTypedValue(tvtSignedInt64, &I, B, Size);
  EXPECT_EQ(Size, 8);
  EXPECT_EQ(std::memcmp(B, &I, 8), 0);
  MemoryManager.FreeAndNillMem(B);

  for (TTolvanValueType T : {tvtBytes, tvtVarBytes, tvtNone, static_cast<TTolvanValueType>(30)}) {
    CopyTypedValue(T, &I, B, Size);
    EXPECT_EQ(B, nullptr);
    EXPECT_EQ(Size, 0);
  }
}
