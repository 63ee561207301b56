#include "classlib/DBFields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "StandInDataSet.h"
#include "classlib/ByteOrder.h"
#include "classlib/DataSet.h"

using namespace tolvan;
using tolvan::test::TStandInDataSet;

namespace {

std::vector<uint8_t> Hex(std::string_view Text) {
  std::vector<uint8_t> Bytes;
  for (size_t I = 0; I + 1 < Text.size(); I += 2)
    Bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(Text.substr(I, 2)), nullptr, 16)));
  return Bytes;
}

class FieldsTest : public ::testing::Test {
protected:
  TComponentPtr<TStandInDataSet> DS = MakeComponent<TStandInDataSet>();

  TField& Make(TFieldType Type, int32_t Size = -1, std::string_view Name = "F") {
    TField* F = NewFieldOfType(Type, DS.get());
    EXPECT_NE(F, nullptr);
    F->SetFieldName(Name);
    if (Size >= 0)
      F->SetSize(Size);
    F->SetDataSet(DS.get());
    return *F;
  }
};

using TAction = std::function<void(TField&)>;

// One value of a class: the native bytes it must have, the writes that must give exactly
// those bytes, and what every accessor reads back from them.
struct TGolden {
  const char* What;
  TFieldType Type;
  int32_t Size;
  std::vector<uint8_t> Native;
  std::vector<TAction> Writes;
  TAction Check;
};

TEST_F(FieldsTest, NativeBytesAgainstEveryAccessor) {
  const double Mar7 = EncodeDate(2004, 3, 7);
  const double Mar7Time = EncodeDateTime(2004, 3, 7, 10, 20, 30, 400);
  const double LastMoment = 86399999.6 / MSecsPerDay; // 23:59:59.9996
  const TSQLTimeStamp Stamp{2004, 3, 7, 10, 20, 30, 400};
  const TGolden Cases[] = {
      {"integer",
       ftInteger,
       -1,
       Hex("87d61200"),
       {[](TField& F) { F.SetAsInteger(1234567); }, [](TField& F) { F.SetAsLargeInt(1234567); },
        [](TField& F) { F.SetAsFloat(1234567.4); }, [](TField& F) { F.SetAsString(" 1234567"); },
        [](TField& F) { F.SetAsWideString(u"1234567"); },
        [](TField& F) { F.SetAsCurrency(Currency::FromScaled(12345670000)); },
        [](TField& F) { F.SetValue(Variant(1234567.0)); },
        [](TField& F) { F.SetValue(Variant("1234567")); }},
       [](TField& F) {
         EXPECT_EQ(F.AsString(), "1234567");
         EXPECT_EQ(F.AsWideString(), u"1234567");
         EXPECT_EQ(F.AsInteger(), 1234567);
         EXPECT_EQ(F.AsLargeInt(), 1234567);
         EXPECT_EQ(F.AsFloat(), 1234567.0);
         EXPECT_EQ(F.AsCurrency().Scaled, 12345670000);
         EXPECT_EQ(F.AsDateTime(), 1234567.0);
         EXPECT_TRUE(F.AsBoolean());
         EXPECT_EQ(F.Value().VarType(), varInteger);
       }},
      {"smallint",
       ftSmallint,
       -1,
       Hex("feff"),
       {[](TField& F) { F.SetAsInteger(-2); }, [](TField& F) { F.SetAsFloat(-2.5); },
        [](TField& F) { F.SetAsString("-2"); },
        [](TField& F) { F.SetValue(Variant(int64_t(-2))); }},
       [](TField& F) {
         EXPECT_EQ(F.AsInteger(), -2);
         EXPECT_EQ(F.AsString(), "-2");
         EXPECT_EQ(F.AsFloat(), -2.0);
       }},
      {"word",
       ftWord,
       -1,
       Hex("ffff"),
       {[](TField& F) { F.SetAsInteger(65535); }, [](TField& F) { F.SetAsLargeInt(65535); },
        [](TField& F) { F.SetAsString("65535"); }},
       [](TField& F) {
         EXPECT_EQ(F.AsInteger(), 65535);
         EXPECT_EQ(F.AsString(), "65535");
       }},
      {"autoinc",
       ftAutoInc,
       -1,
       Hex("07000000"),
       {[](TField& F) { F.SetAsInteger(7); }},
       [](TField& F) { EXPECT_EQ(F.AsLargeInt(), 7); }},
      {"largeint",
       ftLargeint,
       -1,
       Hex("0000000000ffffff"),
       {[](TField& F) { F.SetAsLargeInt(-1099511627776); },
        [](TField& F) { F.SetAsString("-1099511627776"); },
        [](TField& F) { F.SetAsFloat(-1099511627776.0); },
        [](TField& F) { F.SetValue(Variant(int64_t(-1099511627776))); }},
       [](TField& F) {
         EXPECT_EQ(F.AsLargeInt(), -1099511627776);
         EXPECT_EQ(F.AsString(), "-1099511627776");
         EXPECT_EQ(F.AsFloat(), -1099511627776.0);
         EXPECT_EQ(F.Value().VarType(), varInt64);
       }},
      {"true is -1",
       ftBoolean,
       -1,
       Hex("ffff"),
       {[](TField& F) { F.SetAsBoolean(true); }, [](TField& F) { F.SetAsString("TRUE"); },
        [](TField& F) { F.SetAsInteger(5); }, [](TField& F) { F.SetValue(Variant(true)); }},
       [](TField& F) {
         EXPECT_TRUE(F.AsBoolean());
         EXPECT_EQ(F.AsString(), "True");
         EXPECT_EQ(F.AsInteger(), -1);
         EXPECT_EQ(F.Value().VarType(), varBoolean);
       }},
      {"false",
       ftBoolean,
       -1,
       Hex("0000"),
       {[](TField& F) { F.SetAsBoolean(false); }, [](TField& F) { F.SetAsString("false"); },
        [](TField& F) { F.SetAsInteger(0); }},
       [](TField& F) {
         EXPECT_FALSE(F.AsBoolean());
         EXPECT_EQ(F.AsString(), "False");
       }},
      {"any non-zero is true",
       ftBoolean,
       -1,
       Hex("0100"),
       {},
       [](TField& F) { EXPECT_TRUE(F.AsBoolean()); }},
      {"float",
       ftFloat,
       -1,
       Hex("9a9999999999b93f"),
       {[](TField& F) { F.SetAsFloat(0.1); }, [](TField& F) { F.SetAsString("0.1"); },
        [](TField& F) { F.SetAsCurrency(Currency::FromScaled(1000)); },
        [](TField& F) { F.SetValue(Variant(0.1)); }},
       [](TField& F) {
         EXPECT_EQ(F.AsFloat(), 0.1);
         EXPECT_EQ(F.AsString(), "0.1");
         EXPECT_EQ(F.AsInteger(), 0);
         EXPECT_EQ(F.AsCurrency().Scaled, 1000);
         EXPECT_EQ(F.Value().VarType(), varDouble);
       }},
      {"currency is an unscaled double",
       ftCurrency,
       -1,
       Hex("ae47e17a14ae2840"),
       {[](TField& F) { F.SetAsCurrency(Currency::FromScaled(123400)); },
        [](TField& F) { F.SetAsFloat(12.34); }, [](TField& F) { F.SetAsString("12.34"); }},
       [](TField& F) {
         EXPECT_EQ(F.AsCurrency().Scaled, 123400);
         EXPECT_EQ(F.AsString(), "12.34");
       }},
      {"date",
       ftDate,
       -1,
       Hex("ff290b00"),
       {[=](TField& F) { F.SetAsDateTime(Mar7); }, [=](TField& F) { F.SetAsDateTime(Mar7 + 0.75); },
        [](TField& F) { F.SetAsString("3/7/2004"); }, [](TField& F) { F.SetAsFloat(38053); },
        [=](TField& F) { F.SetValue(VarFromDateTime(Mar7)); }},
       [=](TField& F) {
         EXPECT_EQ(F.AsDateTime(), Mar7);
         EXPECT_EQ(F.AsFloat(), 38053.0);
         EXPECT_EQ(F.AsString(), "3/7/2004");
         EXPECT_EQ(F.Value().VarType(), varDate);
         EXPECT_EQ(F.AsInteger(), 38053);
       }},
      {"date 0 is day 693594",
       ftDate,
       -1,
       Hex("5a950a00"),
       {[](TField& F) { F.SetAsDateTime(0); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), 0); }},
      {"date 0001-01-01 is day 1",
       ftDate,
       -1,
       Hex("01000000"),
       {[](TField& F) { F.SetAsDateTime(-693593.0); }},
       [](TField& F) { EXPECT_EQ(F.AsString(), "1/1/0001"); }},
      {"date -1.25",
       ftDate,
       -1,
       Hex("59950a00"),
       {[](TField& F) { F.SetAsDateTime(-1.25); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), -1.0); }},
      {"time 12:00",
       ftTime,
       -1,
       Hex("002e9302"),
       {[](TField& F) { F.SetAsDateTime(0.5); }, [=](TField& F) { F.SetAsDateTime(Mar7 + 0.5); },
        [](TField& F) { F.SetAsString("12:00:00 PM"); }},
       [](TField& F) {
         EXPECT_EQ(F.AsDateTime(), 0.5);
         EXPECT_EQ(F.AsString(), "12:00:00 PM");
       }},
      {"time 23:59:59.9996 wraps to 0",
       ftTime,
       -1,
       Hex("00000000"),
       {[=](TField& F) { F.SetAsDateTime(LastMoment); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), 0); }},
      {"time -1.25 is 06:00",
       ftTime,
       -1,
       Hex("00974901"),
       {[](TField& F) { F.SetAsDateTime(-1.25); }},
       [](TField& F) { EXPECT_EQ(F.AsString(), "6:00:00 AM"); }},
      {"datetime 0",
       ftDateTime,
       -1,
       Hex("00002c845d40cb42"),
       {[](TField& F) { F.SetAsDateTime(0); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), 0); }},
      {"datetime -1.25",
       ftDateTime,
       -1,
       Hex("0080c9955b40cb42"),
       {[](TField& F) { F.SetAsDateTime(-1.25); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), -1.25); }},
      {"datetime",
       ftDateTime,
       -1,
       Hex("00a0dd141ebfcc42"),
       {[=](TField& F) { F.SetAsDateTime(Mar7Time); },
        [](TField& F) { F.SetAsString("3/7/2004 10:20:30.400 AM"); }},
       [=](TField& F) {
         EXPECT_NEAR(F.AsDateTime(), Mar7Time, 1e-9);
         EXPECT_EQ(F.AsString(), "3/7/2004 10:20:30 AM");
       }},
      {"datetime 23:59:59.9996 is the next midnight",
       ftDateTime,
       -1,
       Hex("00005a176040cb42"),
       {[=](TField& F) { F.SetAsDateTime(LastMoment); }},
       [](TField& F) { EXPECT_EQ(F.AsDateTime(), 1.0); }},
      {"time stamp",
       ftTimeStamp,
       -1,
       Hex("d407030007000a0014001e0090010000"),
       {[=](TField& F) { static_cast<TSQLTimeStampField&>(F).SetAsSQLTimeStamp(Stamp); },
        [=](TField& F) { F.SetAsDateTime(Mar7Time); },
        [](TField& F) { F.SetAsString("3/7/2004 10:20:30.400"); }},
       [=](TField& F) {
         EXPECT_EQ(static_cast<TSQLTimeStampField&>(F).AsSQLTimeStamp(), Stamp);
         EXPECT_EQ(F.AsDateTime(), Mar7Time);
         EXPECT_EQ(F.AsString(), "3/7/2004 10:20:30 AM");
         EXPECT_EQ(F.Value().VarType(), varDate);
       }},
      {"bytes are zero-padded",
       ftBytes,
       4,
       Hex("01020000"),
       {[](TField& F) { static_cast<TBinaryField&>(F).SetAsBytes(Hex("0102")); },
        [](TField& F) { F.SetAsString(std::string("\x01\x02", 2)); },
        [](TField& F) {
          Variant A = VarArrayCreate({0, 1}, varByte);
          VarArrayPut(A, Variant(1), {0});
          VarArrayPut(A, Variant(2), {1});
          F.SetValue(A);
        }},
       [](TField& F) {
         EXPECT_EQ(static_cast<TBinaryField&>(F).AsBytes(), Hex("01020000"));
         EXPECT_EQ(F.AsString(), std::string("\x01\x02\0\0", 4));
         EXPECT_EQ(F.Value().VarType(), varArray | varByte);
         EXPECT_EQ(VarArrayHighBound(F.Value(), 1), 3);
       }},
      {"var bytes have no prefix",
       ftVarBytes,
       3,
       Hex("090807"),
       {[](TField& F) { static_cast<TBinaryField&>(F).SetAsBytes(Hex("090807")); }},
       [](TField& F) { EXPECT_EQ(F.AsString(), "\x09\x08\x07"); }},
      {"strings keep Size bytes",
       ftString,
       5,
       Hex("616263646500"),
       {[](TField& F) { F.SetAsString("abcdefg"); }, [](TField& F) { F.SetAsString("abcde"); },
        [](TField& F) { F.SetAsWideString(u"abcdefgh"); },
        [](TField& F) { F.SetValue(Variant("abcdefgh")); }},
       [](TField& F) {
         EXPECT_EQ(F.AsString(), "abcde");
         EXPECT_EQ(F.Value().VarType(), varString);
       }},
      {"21 characters stored as 20",
       ftString,
       20,
       Hex("6162636465666768696a6b6c6d6e6f707172737400"),
       {[](TField& F) { F.SetAsString("abcdefghijklmnopqrstu"); }},
       [](TField& F) { EXPECT_EQ(F.AsString(), "abcdefghijklmnopqrst"); }},
      {"numbers as text",
       ftString,
       4,
       Hex("3132000000"),
       {[](TField& F) { F.SetAsInteger(12); }, [](TField& F) { F.SetAsFloat(12.0); },
        [](TField& F) { F.SetValue(Variant(12)); }, [](TField& F) { F.SetAsString("12\0zz"); }},
       [](TField& F) {
         EXPECT_EQ(F.AsInteger(), 12);
         EXPECT_EQ(F.AsFloat(), 12.0);
         EXPECT_TRUE(F.AsBoolean());
       }},
      {"fixed char, Windows-1252",
       ftFixedChar,
       3,
       Hex("e974e900"),
       {[](TField& F) { F.SetAsWideString(u"\u00e9t\u00e9"); }},
       [](TField& F) { EXPECT_EQ(F.AsWideString(), u"\u00e9t\u00e9"); }},
  };
  for (const TGolden& C : Cases) {
    SCOPED_TRACE(C.What);
    TField& F = Make(C.Type, C.Size);
    DS->Enter(dsEdit);
    for (size_t I = 0; I < C.Writes.size(); ++I) {
      SCOPED_TRACE(I);
      DS->Slot(F) = {};
      C.Writes[I](F);
      EXPECT_EQ(DS->Native(F), C.Native);
    }
    DS->Put(F, C.Native);
    C.Check(F);
    EXPECT_FALSE(F.IsNull());
    // Native form in, same bytes out.
    std::vector<uint8_t> Back(C.Native.size());
    EXPECT_TRUE(F.GetData(Back.data()));
    EXPECT_EQ(Back, C.Native);
    DS->Slot(F) = {};
    F.SetData(C.Native.data());
    EXPECT_EQ(DS->Native(F), C.Native);
    DS->Enter(dsInactive);
    F.Free();
  }
}

TEST_F(FieldsTest, NullReadsAsZeroValues) {
  for (TFieldType T : {ftString, ftWideString, ftSmallint, ftInteger, ftWord, ftAutoInc, ftLargeint,
                       ftBoolean, ftFloat, ftCurrency, ftDate, ftTime, ftDateTime, ftTimeStamp,
                       ftBytes, ftVarBytes, ftBlob, ftMemo}) {
    SCOPED_TRACE(int(T));
    TField& F = Make(T);
    EXPECT_TRUE(F.IsNull());
    EXPECT_TRUE(F.Value().IsNull());
    EXPECT_EQ(F.AsString(), "");
    EXPECT_EQ(F.AsWideString(), u"");
    EXPECT_EQ(F.AsInteger(), 0);
    EXPECT_EQ(F.AsLargeInt(), 0);
    EXPECT_EQ(F.AsFloat(), 0);
    EXPECT_EQ(F.AsCurrency().Scaled, 0);
    EXPECT_EQ(F.AsDateTime(), 0);
    EXPECT_FALSE(F.AsBoolean());
    F.Free();
  }
  // Writing null.
  TField& F = Make(ftInteger);
  DS->Enter(dsEdit);
  F.SetAsInteger(3);
  F.SetValue(Null());
  EXPECT_TRUE(F.IsNull());
  F.SetAsInteger(3);
  F.Clear();
  EXPECT_TRUE(F.IsNull());
}

TEST_F(FieldsTest, RefusalsNameTheFieldAndWriteNothing) {
  const double NaN = std::numeric_limits<double>::quiet_NaN();
  const double Inf = std::numeric_limits<double>::infinity();
  const struct {
    TFieldType Type;
    int32_t Size;
    TAction Do;
    const char* Message; // exact text, or only the field's name must appear
  } Cases[] = {
      {ftSmallint, -1, [](TField& F) { F.SetAsInteger(32768); },
       "32768 is not a valid value for field 'F'. The allowed range is -32768 to 32767"},
      {ftSmallint, -1, [](TField& F) { F.SetAsInteger(-32769); }, nullptr},
      {ftSmallint, -1, [](TField& F) { F.SetAsFloat(32767.5); },
       "32767.5 is not a valid value for field 'F'. The allowed range is -32768 to 32767"},
      {ftSmallint, -1, [](TField& F) { F.SetAsString("40000"); }, nullptr},
      {ftSmallint, -1, [](TField& F) { F.SetAsString("abc"); },
       "'abc' is not a valid value for field 'F'"},
      {ftWord, -1, [](TField& F) { F.SetAsInteger(-1); }, nullptr},
      {ftWord, -1, [](TField& F) { F.SetAsLargeInt(65536); }, nullptr},
      {ftWord, -1, [](TField& F) { F.SetAsBoolean(true); }, nullptr},
      {ftInteger, -1, [](TField& F) { F.SetAsLargeInt(2147483648LL); }, nullptr},
      {ftInteger, -1, [](TField& F) { F.SetAsFloat(2147483647.5); }, nullptr},
      {ftInteger, -1, [=](TField& F) { F.SetAsFloat(NaN); }, nullptr},
      {ftInteger, -1, [](TField& F) { F.SetValue(Variant(uint64_t(1) << 63)); }, nullptr},
      {ftAutoInc, -1, [](TField& F) { F.SetAsString("1e10"); }, nullptr},
      {ftLargeint, -1, [](TField& F) { F.SetAsFloat(1e19); }, nullptr},
      {ftLargeint, -1, [=](TField& F) { F.SetAsFloat(-Inf); }, nullptr},
      {ftFloat, -1, [](TField& F) { F.SetAsString("x"); }, nullptr},
      {ftBoolean, -1, [](TField& F) { F.SetAsString("maybe"); }, nullptr},
      {ftDate, -1, [=](TField& F) { F.SetAsDateTime(NaN); }, nullptr},
      {ftTime, -1, [=](TField& F) { F.SetAsDateTime(Inf); }, nullptr},
      {ftDateTime, -1, [](TField& F) { F.SetAsDateTime(3e9); }, nullptr},
      {ftDateTime, -1, [](TField& F) { F.SetAsString("13/45/2004"); }, nullptr},
      {ftTimeStamp, -1, [](TField& F) { F.SetAsDateTime(-700000); }, nullptr},
      {ftTimeStamp, -1,
       [](TField& F) {
         static_cast<TSQLTimeStampField&>(F).SetAsSQLTimeStamp({2004, 2, 30, 0, 0, 0, 0});
       },
       nullptr},
      {ftBytes, 2, [](TField& F) { F.SetAsString("abc"); },
       "3 bytes do not fit field 'F' of 2 bytes"},
      {ftBytes, 2, [](TField& F) { F.SetValue(VarArrayOf({Variant(1)})); }, nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(int(C.Type));
    TField& F = Make(C.Type, C.Size);
    DS->Enter(dsEdit);
    const int Writes = DS->Writes;
    try {
      C.Do(F);
      ADD_FAILURE() << "no refusal";
    } catch (const EDatabaseError& E) {
      if (C.Message)
        EXPECT_EQ(E.Message(), C.Message);
      else
        EXPECT_NE(E.Message().find("field 'F'"), std::string::npos) << E.Message();
    }
    EXPECT_EQ(DS->Writes, Writes);
    EXPECT_TRUE(F.IsNull());
    DS->Enter(dsInactive);
    F.Free();
  }
}

TEST_F(FieldsTest, ReadRefusalsNameTheField) {
  const struct {
    TFieldType Type;
    std::vector<uint8_t> Native;
    std::string Blob;
    TAction Do;
    const char* Message;
  } Cases[] = {
      {ftLargeint, Hex("0000000000010000"), "", [](TField& F) { (void)F.AsInteger(); },
       "Cannot access field 'F' as type Integer"},
      {ftString, Hex("61626300"), "", [](TField& F) { (void)F.AsInteger(); },
       "Cannot access field 'F' as type Integer"},
      {ftMemo,
       {},
       "x",
       [](TField& F) { (void)F.AsDateTime(); },
       "Cannot access field 'F' as type DateTime"},
      {ftDate, Hex("ffffff7f"), "", [](TField& F) { (void)F.AsString(); },
       "Cannot access field 'F' as type String"},
      {ftDateTime, Hex("000000000000f87f"), "", [](TField& F) { (void)F.AsDateTime(); },
       "Cannot access field 'F' as type DateTime"},
      {ftTimeStamp, Hex("d4070d0007000a0014001e0090010000"), "", [](TField& F) { (void)F.Value(); },
       "Cannot access field 'F' as type DateTime"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Message);
    TField& F = Make(C.Type, C.Type == ftString ? 3 : -1);
    DS->Put(F, C.Native);
    DS->Slot(F).Blob = C.Blob;
    try {
      C.Do(F);
      ADD_FAILURE() << "no refusal";
    } catch (const EDatabaseError& E) {
      EXPECT_EQ(E.Message(), C.Message);
    }
    F.Free();
  }
}

TEST(FieldDates, NativeFormsBothWays) {
  const double LastMoment = 86399999.6 / MSecsPerDay;
  const struct {
    TDateTime Value;
    int32_t Date, Time;
    double DateTime;
    TDateTime DateBack, DateTimeBack;
  } Cases[] = {
      {0, 693594, 0, 693594.0 * MSecsPerDay, 0, 0},
      {-693593, 1, 0, 86400000.0, -693593, -693593},
      {0.5, 693594, 43200000, 693594.0 * MSecsPerDay + 43200000, 0, 0.5},
      {LastMoment, 693594, 0, 693595.0 * MSecsPerDay, 0, 1},
      {-1.25, 693593, 21600000, 693593.0 * MSecsPerDay + 21600000, -1, -1.25},
      {2958465.75, 3652059, 64800000, 3652059.0 * MSecsPerDay + 64800000, 2958465, 2958465.75},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Value);
    uint8_t N[8];
    DateTimeToNative(ftDate, C.Value, N);
    EXPECT_EQ(LoadLE<int32_t>(N), C.Date);
    EXPECT_EQ(NativeToDateTime(ftDate, N), C.DateBack);
    DateTimeToNative(ftTime, C.Value, N);
    EXPECT_EQ(LoadLE<int32_t>(N), C.Time);
    EXPECT_EQ(NativeToDateTime(ftTime, N), C.Time / double(MSecsPerDay));
    DateTimeToNative(ftDateTime, C.Value, N);
    EXPECT_EQ(LoadLE<double>(N), C.DateTime);
    EXPECT_EQ(NativeToDateTime(ftDateTime, N), C.DateTimeBack);
  }
  const double Bad[] = {std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), 2147483648.0, -2148177243.0};
  for (double X : Bad)
    for (TFieldType T : {ftDate, ftTime, ftDateTime}) {
      uint8_t N[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      EXPECT_FALSE(TryDateTimeToNative(T, X, N));
      EXPECT_EQ(N[0], 1); // nothing written
      EXPECT_THROW(DateTimeToNative(T, X, N), EConvertError);
    }
  uint8_t N[8];
  EXPECT_THROW(DateTimeToNative(ftInteger, 1, N), EConvertError);
  StoreLE(N, std::numeric_limits<double>::quiet_NaN());
  EXPECT_THROW(NativeToDateTime(ftDateTime, N), EConvertError);
  StoreLE(N, 1e300);
  EXPECT_THROW(NativeToDateTime(ftDateTime, N), EConvertError);
}

TEST_F(FieldsTest, WideStringsPointToTheirText) {
  TField& F = Make(ftWideString, 4);
  EXPECT_EQ(F.DataSize(), int32_t(sizeof(void*)));
  // The native pointer would outlive its text in a calculated buffer.
  EXPECT_THROW(F.SetFieldKind(fkCalculated), EDatabaseError);
  EXPECT_EQ(F.FieldKind(), fkData);
  DS->Enter(dsEdit);
  F.SetAsWideString(u"h\u00e9llo");
  EXPECT_EQ(DS->Slot(F).Wide, u"h\u00e9ll");
  EXPECT_EQ(F.AsWideString(), u"h\u00e9ll");
  EXPECT_EQ(F.AsString(), "h\xe9ll");
  EXPECT_EQ(F.Value().VarType(), varOleStr);
  F.SetAsString("ab");
  EXPECT_EQ(DS->Slot(F).Wide, u"ab");
  F.SetValue(Variant(42));
  EXPECT_EQ(F.AsInteger(), 42);
}

TEST_F(FieldsTest, BlobsGoThroughClosedStreams) {
  auto& B = static_cast<TBlobField&>(Make(ftBlob, -1, "B"));
  auto& M = static_cast<TMemoField&>(Make(ftMemo, -1, "M"));
  EXPECT_EQ(B.DataSize(), 0);
  DS->Enter(dsEdit);
  const std::string Data("a\0b\xff", 4);
  B.SetAsString(Data);
  EXPECT_EQ(DS->Slot(B).Blob, Data);
  EXPECT_EQ(B.AsString(), Data);
  EXPECT_EQ(B.AsBytes(), Hex("610062ff"));
  Variant V = B.Value();
  EXPECT_EQ(V.VarType(), varArray | varByte);
  B.SetAsBytes(Hex("0102"));
  EXPECT_EQ(DS->Slot(B).Blob, "\x01\x02");
  B.SetValue(V);
  EXPECT_EQ(DS->Slot(B).Blob, Data);
  EXPECT_EQ(DS->BlobCloses, 6);

  // A memo over a wide column hands out the stored UTF-16 bytes as they are.
  DS->Slot(M).Blob = std::string("h\0i\0", 4);
  DS->Slot(M).Null = false;
  EXPECT_EQ(M.AsString(), std::string("h\0i\0", 4));
  EXPECT_EQ(M.Value().VarType(), varString);
  M.SetValue(Variant(12));
  EXPECT_EQ(M.AsInteger(), 12);

  std::string Outside = "streamed";
  int Closes = 0;
  test::TStringStream Source(Outside, Closes);
  B.LoadFromStream(Source);
  EXPECT_EQ(B.AsString(), "streamed");
  std::string Copy;
  test::TStringStream Dest(Copy, Closes);
  B.SaveToStream(Dest);
  EXPECT_EQ(Copy, "streamed");
}

TEST_F(FieldsTest, AssignAcrossTypes) {
  TField& S = Make(ftString, 8, "S");
  TField& I = Make(ftInteger, -1, "I");
  TField& D = Make(ftDate, -1, "D");
  TField& L = Make(ftLargeint, -1, "L");
  TField& B = Make(ftBlob, -1, "B");
  TField& M = Make(ftMemo, -1, "M");
  TField& Y = Make(ftBytes, 3, "Y");
  DS->Enter(dsEdit);
  S.SetAsString("12");
  I.Assign(S);
  EXPECT_EQ(I.AsInteger(), 12);
  I.SetAsInteger(-7);
  S.Assign(I);
  EXPECT_EQ(S.AsString(), "-7");
  D.SetAsDateTime(EncodeDate(2004, 3, 7));
  S.Assign(D);
  EXPECT_EQ(S.AsString(), "3/7/2004");
  L.SetAsLargeInt(int64_t(1) << 40);
  EXPECT_THROW(I.Assign(L), EDatabaseError);
  EXPECT_EQ(I.AsInteger(), -7);
  I.Clear();
  S.Assign(I);
  EXPECT_TRUE(S.IsNull());
  // BLOBs and bytes give their whole content.
  B.SetAsString(std::string("x\0y", 3));
  M.Assign(B);
  EXPECT_EQ(M.AsString(), std::string("x\0y", 3));
  S.Assign(M);
  EXPECT_EQ(S.AsString(), "x");
  Y.Assign(B);
  EXPECT_EQ(static_cast<TBinaryField&>(Y).AsBytes(), Hex("780079"));
  B.Assign(Y);
  EXPECT_EQ(B.AsString(), std::string("x\0y", 3));
  B.Clear();
  M.Assign(B);
  EXPECT_TRUE(M.IsNull());
  TComponentPtr<TComponent> C = MakeComponent<TComponent>();
  EXPECT_THROW(I.Assign(*C), EConvertError);
}

TEST_F(FieldsTest, ValidateSeesTheNewValue) {
  TField& I = Make(ftInteger, -1, "I");
  TField& D = Make(ftDate, -1, "D");
  DS->Enter(dsEdit);
  I.SetAsInteger(5);
  std::vector<std::string> Seen;
  I.SetOnValidate([&](TField& F) {
    Seen.push_back(F.IsNull() ? "null" : F.AsString());
    Seen.push_back(F.Value().IsNull() ? "null" : VarToStr(F.Value()));
    if (F.AsInteger() == 13)
      throw EDatabaseError("unlucky");
  });
  I.SetAsInteger(7);
  EXPECT_EQ(Seen, (std::vector<std::string>{"7", "7"}));
  EXPECT_THROW(I.SetAsInteger(13), EDatabaseError);
  EXPECT_EQ(I.AsInteger(), 7); // refused by the handler, nothing written
  I.Clear();
  EXPECT_EQ(Seen.back(), "null");
  D.SetOnValidate([&](TField& F) { Seen.push_back(F.AsString()); });
  D.SetAsDateTime(EncodeDate(2004, 3, 7));
  EXPECT_EQ(Seen.back(), "3/7/2004");
}

TEST_F(FieldsTest, WritesByStateAndChangeEvents) {
  TField& F = Make(ftInteger);
  int Changes = 0;
  F.SetOnChange([&](TField&) { ++Changes; });
  const struct {
    TDataSetState State;
    bool Writes, Changes;
  } Cases[] = {
      {dsInactive, false, false}, {dsBrowse, false, false},  {dsEdit, true, true},
      {dsInsert, true, true},     {dsSetKey, true, true},    {dsCalcFields, true, false},
      {dsFilter, true, false},    {dsNewValue, true, false}, {dsInternalCalc, true, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(int(C.State));
    DS->Enter(C.State);
    Changes = 0;
    if (C.Writes) {
      F.SetAsInteger(int(C.State));
      EXPECT_EQ(F.AsInteger(), int(C.State));
    } else {
      try {
        F.SetAsInteger(1);
        ADD_FAILURE();
      } catch (const EDatabaseError& E) {
        EXPECT_EQ(E.Message(), "Dataset not in edit or insert mode");
      }
    }
    EXPECT_EQ(Changes, C.Changes ? 1 : 0);
    EXPECT_EQ(CanWriteFields(C.State), C.Writes);
  }
}

// A dataset that stores a time stamp as the 8-byte date and time pair of its columns.
class TPairDataSet : public TStandInDataSet {
public:
  void ConvertFieldData(const TField& F, const void* Source, void* Dest, bool ToNative) override {
    if (F.DataType() == ftTimeStamp && ToNative) {
      uint8_t N[8];
      DateTimeToNative(ftDateTime, SQLTimeStampToDateTime(LoadSQLTimeStamp(Source)), N);
      StoreLE(Dest, static_cast<int32_t>(LoadLE<double>(N) / MSecsPerDay));
      StoreLE(static_cast<uint8_t*>(Dest) + 4,
              static_cast<int32_t>(std::fmod(LoadLE<double>(N), MSecsPerDay)));
      return;
    }
    TStandInDataSet::ConvertFieldData(F, Source, Dest, ToNative);
  }
};

TEST(FieldTimeStamps, ReadAsSixteenBytesWrittenAsTheStoredPair) {
  auto DS = MakeComponent<TPairDataSet>();
  auto* F = NewComponent<TSQLTimeStampField>(DS.get());
  F->SetDataSet(DS.get());
  DS->Enter(dsEdit);
  F->SetAsDateTime(EncodeDateTime(2004, 3, 7, 10, 20, 30, 400));
  // The pair {731647, 37230400}, then the rest of the zeroed scratch.
  EXPECT_EQ(DS->Native(*F), Hex("ff290b0040173802"
                                "0000000000000000"));
  DS->Put(*F, Hex("d407030007000a0014001e0090010000"));
  EXPECT_EQ(F->AsString(), "3/7/2004 10:20:30 AM");
}

TEST_F(FieldsTest, FieldListAndProperties) {
  DS->SetName("Orders");
  TField& A = Make(ftInteger, -1, "Id");
  TField& B = Make(ftString, 10, "Name");
  A.SetFieldNo(1);
  B.SetFieldNo(2);
  TFields& L = DS->Fields();
  EXPECT_EQ(L.Count(), 2);
  EXPECT_EQ(&L[1], &B);
  EXPECT_EQ(L.FindField("NAME"), &B);
  EXPECT_EQ(L.FindField("x"), nullptr);
  EXPECT_EQ(L.FieldByNumber(1), &A);
  EXPECT_EQ(L.FieldByNumber(3), nullptr);
  EXPECT_EQ(L.IndexOf(&B), 1);
  EXPECT_EQ(&DS->FieldByName("id"), &A);
  try {
    (void)DS->FieldByName("Missing");
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Orders: Field 'Missing' not found");
  }
  EXPECT_THROW((void)L[2], EListError);
  EXPECT_FALSE(A.IsIndexField());

  // Sizes: checked where they matter, ignored by fixed-size types.
  EXPECT_EQ(B.DataSize(), 11);
  EXPECT_THROW(B.SetSize(-1), EDatabaseError);
  EXPECT_THROW(B.SetSize(65536), EDatabaseError);
  A.SetSize(99);
  EXPECT_EQ(A.Size(), 0);
  EXPECT_EQ(A.DataSize(), 4);
  B.SetDisplayLabel("Customer");
  EXPECT_EQ(B.DisplayName(), "Customer");

  // An open dataset keeps its fields as they are.
  DS->Enter(dsBrowse);
  EXPECT_THROW(B.SetSize(5), EDatabaseError);
  EXPECT_THROW(B.SetDataSet(nullptr), EDatabaseError);
  EXPECT_THROW(B.SetFieldName("x"), EDatabaseError);
  DS->Enter(dsInactive);

  // A freed field leaves the list.
  A.Free();
  EXPECT_EQ(L.Count(), 1);
  EXPECT_EQ(L.IndexOf(&B), 0);
}

TEST(FieldOwnership, FreedDataSetLeavesFieldsWithoutIt) {
  TComponentPtr<TComponent> Form = MakeComponent<TComponent>();
  auto* DS = NewComponent<TStandInDataSet>(Form.get());
  TField* F = NewFieldOfType(ftInteger, Form.get());
  F->SetFieldName("F");
  F->SetDataSet(DS);
  DS->Free();
  EXPECT_EQ(F->DataSet(), nullptr);
  try {
    (void)F->AsInteger();
    FAIL();
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Field 'F' has no dataset");
  }
  // The dataset's own fields go with it; the sanitizer checks nothing is left behind.
  auto* DS2 = NewComponent<TStandInDataSet>(Form.get());
  for (TFieldType T : {ftInteger, ftString, ftBlob})
    NewFieldOfType(T, DS2)->SetDataSet(DS2);
  EXPECT_EQ(DS2->Fields().Count(), 3);
}

TEST(DatabaseError, NamesTheComponent) {
  auto C = MakeComponent<TComponent>();
  try {
    DatabaseError("text", C.get());
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "text");
  }
  C->SetName("Table1");
  try {
    DatabaseError("text", C.get());
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(E.Message(), "Table1: text");
  }
}

} // namespace
