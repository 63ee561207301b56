#include "classlib/Variants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace tolvan;

namespace {

TFormatSettings CommaDecimal() {
  TFormatSettings FS;
  FS.DecimalSeparator = ',';
  FS.ThousandSeparator = '.';
  return FS;
}

template <class F> std::string MessageOf(F&& Fn) {
  try {
    Fn();
  } catch (const EVariantError& E) {
    return E.Message();
  }
  return "(no exception)";
}

} // namespace

TEST(Variants, TypeCodes) {
  struct Case {
    Variant V;
    TVarType Type;
  };
  const Case Cases[] = {
      {Variant(), 0},
      {Null(), 1},
      {Variant(int16_t(1)), 2},
      {Variant(1), 3},
      {Variant(1.5f), 4},
      {Variant(1.5), 5},
      {Variant(Currency::FromScaled(1)), 6},
      {VarFromDateTime(1.5), 7},
      {Variant(u"w"), 8},
      {Variant(true), 11},
      {Variant(int8_t(1)), 16},
      {Variant(uint8_t(1)), 17},
      {Variant(uint16_t(1)), 18},
      {Variant(uint32_t(1)), 19},
      {Variant(int64_t(1)), 20},
      {Variant(uint64_t(1)), 21},
      {Variant("a"), 256},
      {Variant(std::string("a")), 256},
      {VarArrayCreate({0, 2}, varByte), 8209},
      {VarArrayOf({1, 2}), varArray | varVariant},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(C.V.VarType(), C.Type) << VarTypeAsText(C.Type);
  EXPECT_EQ(VarTypeAsText(varInteger), "Integer");
  EXPECT_EQ(VarTypeAsText(varArray | varByte), "Array Byte");
  EXPECT_TRUE(VarIsStr(Variant(u"x")) && VarIsStr(Variant("x")) && !VarIsStr(Variant(1)));
  EXPECT_TRUE(VarIsOrdinal(Variant(true)) && !VarIsOrdinal(Variant(1.0)));
  EXPECT_TRUE(VarIsFloat(VarFromDateTime(0)) && VarIsNumeric(Variant(uint8_t(1))));
}

TEST(Variants, ToText) {
  const TDateTime When = EncodeDateTime(2024, 3, 5, 14, 7, 9, 0);
  struct Case {
    Variant V;
    const char* Want;
  };
  const Case Cases[] = {
      {Variant(-5), "-5"},
      {Variant(uint64_t(18446744073709551615ULL)), "18446744073709551615"},
      {Variant(0.1f), "0.100000001490116"},
      {Variant(1e20), "1E20"},
      {Variant(Currency::FromScaled(15000)), "1.5"},
      {VarFromDateTime(When), "3/5/2024 2:07:09 PM"},
      {Variant(true), "True"},
      {Variant(false), "False"},
      {Variant(u"w\u20AC"), "w\x80"},
      {Variant(), ""},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(C.V.AsString(), C.Want);
    EXPECT_EQ(VarToStr(C.V), C.Want);
  }
  EXPECT_EQ(Variant("w\x80").AsWideString(), u"w\u20AC");
  EXPECT_EQ(VarToStr(Null()), "");
  EXPECT_EQ(VarToWideStr(Null()), u"");
  EXPECT_THROW(Null().AsString(), EVariantTypeCastError);
  EXPECT_EQ(MessageOf([] {
              VarToStr(VarArrayCreate({0, 1}, varByte));
            }),
            "Could not convert variant of type (Array Byte) into type (String)");
  EXPECT_THROW(VarToStr(VarFromDateTime(1e12)), EVariantTypeCastError); // no calendar date

  TFormatSettings FS = CommaDecimal();
  EXPECT_EQ(Variant(1.5).AsString(FS), "1,5");
  EXPECT_EQ(VarToStr(Variant(Currency::FromScaled(15000)), FS), "1,5");
}

TEST(Variants, FromText) {
  EXPECT_EQ(Variant("42").AsInteger(), 42);
  EXPECT_EQ(Variant(u" -7").AsInt64(), -7);
  EXPECT_EQ(Variant("2.5").AsInteger(), 2); // rounds to even
  EXPECT_EQ(Variant("3.5").AsInteger(), 4);
  EXPECT_EQ(Variant("2.5").AsDouble(), 2.5);
  EXPECT_EQ(Variant("0.1").AsSingle(), 0.1f);
  EXPECT_EQ(Variant("1.23456").AsCurrency().Scaled, 12346);
  EXPECT_EQ(Variant("18446744073709551615").AsUInt64(), UINT64_MAX);
  EXPECT_EQ(Variant("3/5/2024 14:07").AsDateTime(), EncodeDateTime(2024, 3, 5, 14, 7, 0, 0));
  EXPECT_EQ(MessageOf([] { Variant("abc").AsInteger(); }),
            "Could not convert variant of type (String) into type (Integer)");
  EXPECT_EQ(MessageOf([] { Variant(u"abc").AsDouble(); }),
            "Could not convert variant of type (OleStr) into type (Double)");
  EXPECT_THROW(Variant("3/5/x").AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(Variant("1e39").AsSingle(), EVariantTypeCastError);

  struct BoolCase {
    const char* Text;
    int Want; // -1: refused
  };
  const BoolCase Bools[] = {{"true", 1}, {"TRUE", 1}, {"False", 0}, {"0", 0},
                            {"2", 1},    {"-0.5", 1}, {"yes", -1},  {"", -1}};
  for (const BoolCase& C : Bools) {
    if (C.Want < 0)
      EXPECT_THROW(Variant(C.Text).AsBoolean(), EVariantTypeCastError) << C.Text;
    else
      EXPECT_EQ(Variant(C.Text).AsBoolean(), C.Want == 1) << C.Text;
  }

  TFormatSettings FS = CommaDecimal();
  EXPECT_EQ(Variant("1,5").AsDouble(FS), 1.5);
  EXPECT_THROW(Variant("1.5").AsDouble(FS), EVariantTypeCastError);
  EXPECT_EQ(VarAsType(Variant("1,5"), varCurrency, FS).AsCurrency().Scaled, 15000);
}

TEST(Variants, NumbersBooleansAndEmpty) {
  EXPECT_EQ(Variant(2.5).AsInteger(), 2);
  EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
  EXPECT_EQ(Variant(-2.6).AsInteger(), -3);
  EXPECT_EQ(Variant(Currency::FromScaled(25000)).AsInteger(), 2);
  EXPECT_EQ(Variant(Currency::FromScaled(15000)).AsInteger(), 2);
  EXPECT_EQ(Variant(Currency::FromScaled(15000)).AsDouble(), 1.5);
  EXPECT_EQ(Variant(true).AsInteger(), -1);
  EXPECT_EQ(Variant(true).AsDouble(), -1);
  EXPECT_TRUE(Variant(0.25).AsBoolean());
  EXPECT_FALSE(Variant(Currency()).AsBoolean());
  EXPECT_EQ(Variant(5).AsCurrency().Scaled, 50000);
  EXPECT_EQ(Variant(1.5f).AsDouble(), 1.5);
  EXPECT_EQ(VarAsType(Variant(45356.5), varDate).AsDateTime(), 45356.5);
  EXPECT_EQ(VarAsType(Variant(45356.5), varDate).VarType(), varDate);

  EXPECT_EQ(Variant().AsInteger(), 0);
  EXPECT_EQ(Variant().AsDouble(), 0);
  EXPECT_FALSE(Variant().AsBoolean());
  EXPECT_EQ(VarAsType(Variant(), varString).AsString(), "");

  EXPECT_THROW(Null().AsInteger(), EVariantTypeCastError);
  EXPECT_THROW(Null().AsBoolean(), EVariantTypeCastError);
  EXPECT_THROW(Null().AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(VarAsType(Null(), varInteger), EVariantTypeCastError);
  EXPECT_TRUE(VarAsType(Null(), varNull).IsNull());
  EXPECT_TRUE(VarAsType(Variant(5), varNull).IsNull());
  EXPECT_TRUE(VarAsType(Variant(5), varEmpty).IsEmpty());
  EXPECT_THROW(VarAsType(Variant(5), 9), EVariantError);

  EXPECT_THROW(Variant(1e300).AsSingle(), EVariantOverflowError);
  EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant(INT64_MAX).AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant(1e10).AsInteger(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::nan("")).AsInt64(), EVariantOverflowError);
  EXPECT_EQ(MessageOf([] { VarAsType(Variant(300), varByte); }),
            "Overflow while converting variant of type (Integer) into type (Byte)");
}

// Every integer width takes exactly its own range.
TEST(Variants, IntegerBoundaries) {
  struct Case {
    Variant V;
    TVarType Target;
    bool Ok;
  };
  const Case Cases[] = {
      {Variant(127), varShortInt, true},
      {Variant(128), varShortInt, false},
      {Variant(-128), varShortInt, true},
      {Variant(-129), varShortInt, false},
      {Variant(255), varByte, true},
      {Variant(256), varByte, false},
      {Variant(-1), varByte, false},
      {Variant(true), varByte, false},
      {Variant(32767), varSmallint, true},
      {Variant(32768), varSmallint, false},
      {Variant(-32768), varSmallint, true},
      {Variant(65535), varWord, true},
      {Variant(65536), varWord, false},
      {Variant(int64_t(2147483647)), varInteger, true},
      {Variant(int64_t(2147483648)), varInteger, false},
      {Variant(int64_t(-2147483648LL)), varInteger, true},
      {Variant(int64_t(4294967295LL)), varLongWord, true},
      {Variant(int64_t(4294967296LL)), varLongWord, false},
      {Variant(INT64_MAX), varUInt64, true},
      {Variant(-1), varUInt64, false},
      {Variant(uint64_t(UINT64_MAX)), varInt64, false},
      {Variant(uint64_t(INT64_MAX)), varInt64, true},
      {Variant(9.2233720368547758e18), varInt64, false}, // 2^63
      {Variant(-9.2233720368547758e18), varInt64, true},
      {Variant(1.8e19), varUInt64, true},
      {Variant(1.9e19), varUInt64, false},
      {Variant("255"), varByte, true},
      {Variant("256"), varByte, false},
      {Variant("4294967295"), varLongWord, true},
  };
  for (const Case& C : Cases) {
    std::string What = VarToStr(C.V) + " as " + VarTypeAsText(C.Target);
    if (C.Ok) {
      Variant R = VarAsType(C.V, C.Target);
      EXPECT_EQ(R.VarType(), C.Target) << What;
      EXPECT_EQ(R.AsDouble(), C.V.AsDouble()) << What;
    } else {
      EXPECT_THROW(VarAsType(C.V, C.Target), EVariantOverflowError) << What;
    }
  }
}

TEST(Variants, CopiesAndMoves) {
  Variant A = VarArrayCreate({0, 2}, varByte);
  Variant B = A;
  VarArrayPut(B, 7, {1});
  EXPECT_EQ(VarArrayGet(A, {1}).AsInteger(), 0); // the copy has its own elements
  EXPECT_EQ(VarArrayGet(B, {1}).AsInteger(), 7);
  Variant C = std::move(B);
  EXPECT_TRUE(B.IsEmpty());
  EXPECT_EQ(VarArrayGet(C, {1}).AsInteger(), 7);
  C = Variant(u"text");
  EXPECT_EQ(C.AsString(), "text");
  Variant& Self = C;
  C = Self;
  EXPECT_EQ(C.AsString(), "text");
  Variant S("abc");
  Variant T(S);
  S = Variant(1);
  EXPECT_EQ(T.AsString(), "abc");
}

TEST(Variants, ByteArrays) {
  Variant A = VarArrayCreate({0, 2}, varByte);
  EXPECT_EQ(VarArrayDimCount(A), 1);
  EXPECT_EQ(VarArrayLowBound(A, 1), 0);
  EXPECT_EQ(VarArrayHighBound(A, 1), 2);
  uint8_t* P = static_cast<uint8_t*>(VarArrayLock(A));
  EXPECT_EQ(P[0] | P[1] | P[2], 0);
  const uint8_t Bytes[3] = {1, 0xFF, 0x80};
  std::memcpy(P, Bytes, 3);
  VarArrayUnlock(A);
  EXPECT_EQ(VarArrayGet(A, {1}).VarType(), varByte);
  EXPECT_EQ(VarArrayGet(A, {1}).AsInteger(), 255);
  VarArrayPut(A, "17", {2});
  EXPECT_EQ(static_cast<uint8_t*>(VarArrayLock(A))[2], 17);
  EXPECT_THROW(VarArrayPut(A, 300, {0}), EVariantOverflowError);
  EXPECT_THROW(VarArrayGet(A, {3}), EVariantBadIndexError);
  EXPECT_THROW(VarArrayGet(A, {-1}), EVariantBadIndexError);
  EXPECT_THROW(VarArrayGet(A, {0, 0}), EVariantBadIndexError);

  Variant Empty = VarArrayCreate({0, -1}, varByte);
  EXPECT_EQ(VarArrayHighBound(Empty, 1), -1);
  EXPECT_NO_THROW(VarArrayLock(Empty));
  EXPECT_THROW(VarArrayGet(Empty, {0}), EVariantBadIndexError);
}

TEST(Variants, ArraysOfOtherElements) {
  // Two dimensions, the first index fastest in memory.
  Variant M = VarArrayCreate({1, 2, 0, 2}, varInteger);
  EXPECT_EQ(VarArrayDimCount(M), 2);
  EXPECT_EQ(VarArrayLowBound(M, 2), 0);
  EXPECT_EQ(VarArrayHighBound(M, 2), 2);
  for (int32_t I = 1; I <= 2; ++I)
    for (int32_t J = 0; J <= 2; ++J)
      VarArrayPut(M, I * 10 + J, {I, J});
  const int32_t* Cells = static_cast<const int32_t*>(VarArrayLock(M));
  const int32_t Want[6] = {10, 20, 11, 21, 12, 22};
  EXPECT_EQ(std::memcmp(Cells, Want, sizeof Want), 0);
  EXPECT_EQ(VarArrayGet(M, {2, 1}).AsInteger(), 21);

  Variant Keys = VarArrayOf({Variant(1), Variant("a"), Null()});
  EXPECT_EQ(VarArrayHighBound(Keys, 1), 2);
  EXPECT_EQ(VarArrayGet(Keys, {0}).VarType(), varInteger);
  EXPECT_EQ(VarArrayGet(Keys, {1}).AsString(), "a");
  EXPECT_TRUE(VarArrayGet(Keys, {2}).IsNull());
  VarArrayPut(Keys, VarArrayOf({true}), {2}); // an array may hold an array
  EXPECT_TRUE(VarArrayGet(Keys, {2}).IsArray());
  EXPECT_THROW(VarArrayLock(Keys), EVariantError);

  Variant Words = VarArrayCreate({0, 1}, varOleStr);
  EXPECT_EQ(VarArrayGet(Words, {0}).VarType(), varOleStr);
  VarArrayPut(Words, 5, {1});
  EXPECT_EQ(VarArrayGet(Words, {1}).AsWideString(), u"5");

  Variant Flags = VarArrayCreate({0, 0}, varBoolean);
  VarArrayPut(Flags, "true", {0});
  int16_t Stored;
  std::memcpy(&Stored, VarArrayLock(Flags), 2);
  EXPECT_EQ(Stored, -1);
  EXPECT_TRUE(VarArrayGet(Flags, {0}).AsBoolean());
}

TEST(Variants, ArrayMisuseRaises) {
  EXPECT_THROW(VarArrayCreate({0}, varByte), EVariantError);
  EXPECT_THROW(VarArrayCreate({5, 3}, varByte), EVariantError);
  EXPECT_THROW(VarArrayCreate({0, 1}, varNull), EVariantError);
  EXPECT_THROW(VarArrayCreate({0, 1}, varArray | varByte), EVariantError);
  // Sizes beyond reason are refused before anything is allocated.
  EXPECT_THROW(VarArrayCreate({0, INT32_MAX}, varInt64), EVariantError);
  EXPECT_THROW(VarArrayCreate({INT32_MIN, INT32_MAX}, varByte), EVariantError);
  EXPECT_THROW(VarArrayCreate({0, 65535, 0, 65535}, varByte), EVariantError);

  Variant Scalar(5);
  EXPECT_EQ(VarArrayDimCount(Scalar), 0);
  EXPECT_THROW(VarArrayLowBound(Scalar, 1), EVariantError);
  EXPECT_THROW(VarArrayGet(Scalar, {0}), EVariantError);
  Variant A = VarArrayCreate({0, 1}, varByte);
  EXPECT_THROW(VarArrayLowBound(A, 0), EVariantBadIndexError);
  EXPECT_THROW(VarArrayHighBound(A, 2), EVariantBadIndexError);
  EXPECT_THROW(A.AsInteger(), EVariantTypeCastError);
  EXPECT_THROW(VarAsType(A, varString), EVariantTypeCastError);
  EXPECT_EQ(VarAsType(A, A.VarType()).VarType(), A.VarType());
}
