#include "foundation/TolvanValueConvert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <vector>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "classlib/SysUtils.h"

using namespace tolvan;

namespace {

std::vector<uint8_t> Bytes(const void* P, size_t N) {
  auto B = static_cast<const uint8_t*>(P);
  return std::vector<uint8_t>(B, B + N);
}

template <class T>
std::vector<uint8_t> Of(T V) {
  return Bytes(&V, sizeof V);
}

std::vector<uint8_t> Text(const char* S) { return Bytes(S, std::strlen(S) + 1); }

std::vector<uint8_t> Pair(int32_t D, int32_t T) {
  std::vector<uint8_t> B = Of(D), C = Of(T);
  B.insert(B.end(), C.begin(), C.end());
  return B;
}

// Converts and returns the bytes, or the native code of the failure as a one-element marker.
struct TResult {
  std::vector<uint8_t> Bytes;
  int32_t Size = 0;
  int32_t Error = 0;
};

TResult Convert(const std::vector<uint8_t>& Src, TTolvanValueType From, TTolvanValueType To) {
  TResult R;
  try {
    void* P = ConvertValueBuffer(Src.data(), static_cast<int32_t>(Src.size()), From, To, R.Size);
    R.Bytes = Bytes(P, MemoryManager.GetMemSize(P));
    MemoryManager.FreeAndNillMem(P);
  } catch (const ETolvanException& E) {
    R.Error = E.NativeError();
  }
  return R;
}

} // namespace

TEST(ConvertValueBuffer, Matrix) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Source;
    TTolvanValueType From, To;
    std::vector<uint8_t> Want; // empty when Error is set
    int32_t Error;
  };
  const Case Cases[] = {
      // text to numbers, with each type's own range
      {"str 300 -> u8", Text("300"), tvtString, tvtUnsignedInt8, {}, 30051},
      {"str 255 -> u8", Text("255"), tvtString, tvtUnsignedInt8, Of<uint8_t>(255), 0},
      {"str -1 -> u8", Text("-1"), tvtString, tvtUnsignedInt8, {}, 30051},
      {"str 4294967295 -> u32", Text("4294967295"), tvtString, tvtUnsignedInt32, Of<uint32_t>(4294967295u), 0},
      {"str 4294967296 -> u32", Text("4294967296"), tvtString, tvtUnsignedInt32, {}, 30051},
      {"str x -> int", Text("x"), tvtString, tvtInteger, {}, 30051},
      {"str 12 -> int", Text(" 12"), tvtString, tvtInteger, Of<int32_t>(12), 0},
      {"str -> i64", Text("-9223372036854775808"), tvtString, tvtSignedInt64, Of<int64_t>(INT64_MIN), 0},
      {"str 1.5 -> float", Text("1.5"), tvtString, tvtFloat, Of<double>(1.5), 0},
      {"str 1,5 -> float", Text("1,5"), tvtString, tvtFloat, {}, 30051},
      {"str 1e39 -> single", Text("1e39"), tvtString, tvtSingle, {}, 30051},
      {"str 2.5 -> currency", Text("2.5"), tvtString, tvtCurrency, Of<double>(2.5), 0},
      {"str true -> logical", Text("tRuE"), tvtString, tvtLogical, Of<int16_t>(-1), 0},
      {"str 1 -> logical", Text("1"), tvtString, tvtLogical, Of<int16_t>(-1), 0},
      {"str yes -> logical", Text("yes"), tvtString, tvtLogical, Of<int16_t>(0), 0},
      {"str -> string", Text("abc"), tvtString, tvtString, Text("abc"), 0},
      {"str -> memo", Text("abc"), tvtString, tvtMemo, Text("abc"), 0},
      {"str -> blob", Text("abc"), tvtChar, tvtBLOB, Text("abc"), 0},
      {"str -> widestring", Text("a\xE9"), tvtString, tvtWideString, {'a', 0, 0xE9, 0, 0, 0}, 0},
      {"str 2/3/2004 -> date", Text("2/3/2004"), tvtString, tvtDate, Of<int32_t>(731614), 0},
      {"str 12:30:00 PM -> time", Text("12:30:00 PM"), tvtString, tvtTime, Of<int32_t>(45000000), 0},
      // integers: a signed source may use the whole width either way
      {"int -1 -> u8", Of<int32_t>(-1), tvtInteger, tvtUnsignedInt8, Of<uint8_t>(255), 0},
      {"int 300 -> u8", Of<int32_t>(300), tvtInteger, tvtUnsignedInt8, {}, 30051},
      {"int -129 -> u8", Of<int32_t>(-129), tvtInteger, tvtUnsignedInt8, {}, 30051},
      {"int 70000 -> i16", Of<int32_t>(70000), tvtInteger, tvtSignedInt16, {}, 30051},
      {"int -1 -> u32", Of<int32_t>(-1), tvtInteger, tvtUnsignedInt32, Of<uint32_t>(4294967295u), 0},
      {"i64 5e9 -> int", Of<int64_t>(5000000000), tvtSignedInt64, tvtInteger, {}, 30051},
      {"u16 300 -> u8", Of<uint16_t>(300), tvtUnsignedInt16, tvtUnsignedInt8, {}, 30051},
      {"u8 200 -> i8", Of<uint8_t>(200), tvtUnsignedInt8, tvtSignedInt8, {}, 30051},
      {"u32 max -> i64", Of<uint32_t>(4294967295u), tvtUnsignedInt32, tvtSignedInt64, Of<int64_t>(4294967295), 0},
      {"u32 max -> int", Of<uint32_t>(4294967295u), tvtUnsignedInt32, tvtInteger, {}, 30051},
      {"int -> text", Of<int32_t>(-42), tvtInteger, tvtString, Text("-42"), 0},
      {"int -> float", Of<int32_t>(7), tvtInteger, tvtFloat, Of<double>(7), 0},
      {"int 5 -> time", Of<int32_t>(5), tvtInteger, tvtTime, Of<int32_t>(5), 0},
      {"int 5 -> datetime", Of<int32_t>(5), tvtInteger, tvtDateTime, Pair(5, -1), 0},
      {"u32 big -> date", Of<uint32_t>(3000000000u), tvtUnsignedInt32, tvtDate, {}, 30051},
      {"int 0 -> logical", Of<int32_t>(0), tvtInteger, tvtLogical, Of<int16_t>(0), 0},
      {"int -> blob", Of<int32_t>(1), tvtInteger, tvtBLOB, {}, 30052},
      // floats
      {"float 2.9 -> int", Of<double>(2.9), tvtFloat, tvtInteger, Of<int32_t>(2), 0},
      {"float -2.9 -> int", Of<double>(-2.9), tvtFloat, tvtInteger, Of<int32_t>(-2), 0},
      {"float 3e9 -> int", Of<double>(3e9), tvtFloat, tvtInteger, {}, 30051},
      {"float 1e30 -> i64", Of<double>(1e30), tvtFloat, tvtSignedInt64, {}, 30051},
      {"float 693594.5 -> datetime", Of<double>(693594.5), tvtFloat, tvtDateTime, Pair(693594, 43200000), 0},
      {"single 0.1 -> text", Of<float>(0.1f), tvtSingle, tvtString, Text("0.100000001490116"), 0},
      {"float 1e300 -> single", Of<double>(1e300), tvtFloat, tvtSingle, {}, 30051},
      {"float -> logical", Of<double>(0.5), tvtFloat, tvtLogical, Of<int16_t>(-1), 0},
      {"currency -> text", Of<double>(2.5), tvtCurrency, tvtString, Text("2.5"), 0},
      {"currency -> date", Of<double>(2.5), tvtCurrency, tvtDate, {}, 30052},
      {"float 1e20 -> currency", Of<double>(1e20), tvtFloat, tvtCurrency, {}, 30051},
      // dates and times
      {"datetime -> float", Pair(693594, 43200000), tvtDateTime, tvtFloat, Of<double>(693594.5), 0},
      {"datetime no time -> float", Pair(693594, -1), tvtDateTime, tvtFloat, Of<double>(693594), 0},
      {"empty date -> text", Of<int32_t>(EmptyDateValue), tvtDate, tvtString, Text(""), 0},
      {"empty datetime -> text", Pair(EmptyDateValue, -1), tvtDateTime, tvtString, Text(""), 0},
      {"date -> text", Of<int32_t>(731614), tvtDate, tvtString, Text("2/3/2004"), 0},
      {"time -> text", Of<int32_t>(45000000), tvtTime, tvtString, Text("12:30:00 PM"), 0},
      {"date -> datetime", Of<int32_t>(731614), tvtDate, tvtDateTime, Pair(731614, -1), 0},
      {"time -> datetime", Of<int32_t>(1000), tvtTime, tvtDateTime, Pair(EmptyDateValue, 1000), 0},
      {"datetime -> time", Pair(731614, 1000), tvtDateTime, tvtTime, Of<int32_t>(1000), 0},
      {"date -> int", Of<int32_t>(731614), tvtDate, tvtInteger, Of<int32_t>(731614), 0},
      {"date -> i8", Of<int32_t>(731614), tvtDate, tvtSignedInt8, {}, 30051},
      {"empty date -> logical", Of<int32_t>(EmptyDateValue), tvtDate, tvtLogical, Of<int16_t>(0), 0},
      {"date -> memo", Of<int32_t>(1), tvtDate, tvtMemo, {}, 30052},
      // logical
      {"logical -> text", Of<int16_t>(-1), tvtLogical, tvtString, Text("True"), 0},
      {"logical -> int", Of<int16_t>(5), tvtLogical, tvtInteger, Of<int32_t>(1), 0},
      {"logical -> currency", Of<int16_t>(-1), tvtLogical, tvtCurrency, {}, 30052},
      {"logical -> date", Of<int16_t>(-1), tvtLogical, tvtDate, {}, 30052},
      // pairs without a conversion
      {"bytes -> string", {1, 2}, tvtBytes, tvtString, {}, 30052},
      {"string -> varbytes", Text("a"), tvtString, tvtVarBytes, {}, 30052},
      {"none -> int", Of<int32_t>(1), tvtNone, tvtInteger, {}, 30052},
      // damaged sources: too few bytes for the type
      {"short int", {1, 2}, tvtInteger, tvtString, {}, 30051},
  };
  for (const Case& C : Cases) {
    TResult R = Convert(C.Source, C.From, C.To);
    EXPECT_EQ(R.Error, C.Error) << C.Name;
    if (!C.Error) {
      size_t N = std::min(R.Bytes.size(), C.Want.size());
      EXPECT_EQ(std::vector<uint8_t>(R.Bytes.begin(), R.Bytes.begin() + N), C.Want) << C.Name;
    }
  }
}

TEST(ConvertValueBuffer, SizesAndMessages) {
  int32_t Size = -1;
  const char Abc[] = "abc";
  void* P = ConvertValueBuffer(Abc, 4, tvtString, tvtString, Size);
  EXPECT_EQ(Size, 4); // text counts its terminator
  MemoryManager.FreeAndNillMem(P);
  P = ConvertValueBuffer(Abc, 4, tvtString, tvtMemo, Size);
  EXPECT_EQ(Size, 3); // BLOB content does not, though the block holds it
  EXPECT_EQ(std::memcmp(P, "abc", 4), 0);
  MemoryManager.FreeAndNillMem(P);
  // A MEMO source is its size in bytes, never read past.
  P = ConvertValueBuffer("abcdef", 2, tvtMemo, tvtString, Size);
  EXPECT_EQ(Size, 3);
  EXPECT_EQ(std::memcmp(P, "ab", 3), 0);
  MemoryManager.FreeAndNillMem(P);
  // WIDEMEMO sources are UTF-16.
  P = ConvertValueBuffer(u"\u00E9x", 4, tvtWideMemo, tvtString, Size);
  EXPECT_EQ(std::memcmp(P, "\xE9x", 3), 0);
  MemoryManager.FreeAndNillMem(P);
  try {
    ConvertValueBuffer("x", 2, tvtString, tvtInteger, Size);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.Message(), "Cannot cast from 'STRING' to 'INTEGER' - Native error: 30051");
  }
  try {
    int16_t L = -1;
    ConvertValueBuffer(&L, 2, tvtLogical, tvtCurrency, Size);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.Message(), "Cannot cast from 'LOGICAL' to 'CURRENCY' - Native error: 30052");
  }
}

TEST(ConvertValueBuffer, EveryPairConvertsOrIsRefusedAsNoConversion) {
  // One representative source per type; for every target the pair either has no conversion
  // (30052) or converts (this value converts for every pair that has one, but text to BYTES).
  std::vector<std::vector<uint8_t>> Source(25);
  Source[tvtChar] = Text("1");
  Source[tvtString] = Text("1");
  Source[tvtWideChar] = {'1', 0, 0, 0};
  Source[tvtWideString] = {'1', 0, 0, 0};
  Source[tvtSignedInt8] = Of<int8_t>(1);
  Source[tvtSignedInt16] = Of<int16_t>(1);
  Source[tvtInteger] = Of<int32_t>(1);
  Source[tvtSignedInt64] = Of<int64_t>(1);
  Source[tvtUnsignedInt8] = Of<uint8_t>(1);
  Source[tvtUnsignedInt16] = Of<uint16_t>(1);
  Source[tvtUnsignedInt32] = Of<uint32_t>(1);
  Source[tvtSingle] = Of<float>(1);
  Source[tvtFloat] = Of<double>(1);
  Source[tvtExtended] = Bytes("\x00\x00\x00\x00\x00\x00\x00\x80\xFF\x3F", 10); // 1.0
  Source[tvtDate] = Of<int32_t>(1);
  Source[tvtTime] = Of<int32_t>(1);
  Source[tvtDateTime] = Pair(1, 1);
  Source[tvtBLOB] = {'1'};
  Source[tvtMemo] = {'1'};
  Source[tvtWideMemo] = {'1', 0};
  Source[tvtLogical] = Of<int16_t>(-1);
  Source[tvtCurrency] = Of<double>(1);
  Source[tvtBytes] = {1};
  Source[tvtVarBytes] = {1};
  auto NoConversion = [](int F, int T) {
    auto Blob = [](int X) { return X >= tvtBLOB && X <= tvtWideMemo; };
    auto DateType = [](int X) { return X >= tvtDate && X <= tvtDateTime; };
    auto Numeric = [](int X) { return (X >= tvtSignedInt8 && X <= tvtExtended) || X == tvtCurrency; };
    if (F == tvtBytes || F == tvtVarBytes || T == tvtBytes || T == tvtVarBytes)
      return true;
    if ((Numeric(F) || DateType(F)) && Blob(T))
      return true;
    if (F == tvtLogical && (DateType(T) || Blob(T) || T == tvtCurrency))
      return true;
    if (F == tvtCurrency && (DateType(T) || Blob(T)))
      return true;
    return false;
  };
  for (int F = 1; F <= 24; ++F)
    for (int T = 1; T <= 24; ++T) {
      TResult R = Convert(Source[F], TTolvanValueType(F), TTolvanValueType(T));
      bool DateFromText = F <= tvtWideString || (F >= tvtBLOB && F <= tvtWideMemo);
      DateFromText = DateFromText && T >= tvtDate && T <= tvtDateTime; // "1" is no date
      if (NoConversion(F, T)) {
        EXPECT_EQ(R.Error, 30052) << ValueTypeToSQLName(TTolvanValueType(F)) << " -> " << T;
      } else if (!DateFromText) {
        EXPECT_EQ(R.Error, 0) << ValueTypeToSQLName(TTolvanValueType(F)) << " -> " << T;
      }
    }
}

TEST(ConvertValueBuffer, IntegerBoundariesOfEveryWidth) {
  struct Case {
    const char* Text;
    TTolvanValueType To;
    bool Ok;
  };
  const Case Cases[] = {
      {"-128", tvtSignedInt8, true},      {"127", tvtSignedInt8, true},
      {"-129", tvtSignedInt8, false},     {"128", tvtSignedInt8, false},
      {"0", tvtUnsignedInt8, true},       {"255", tvtUnsignedInt8, true},
      {"256", tvtUnsignedInt8, false},    {"-32768", tvtSignedInt16, true},
      {"32767", tvtSignedInt16, true},    {"32768", tvtSignedInt16, false},
      {"65535", tvtUnsignedInt16, true},  {"65536", tvtUnsignedInt16, false},
      {"-1", tvtUnsignedInt16, false},    {"-2147483648", tvtInteger, true},
      {"2147483647", tvtInteger, true},   {"2147483648", tvtInteger, false},
      {"0", tvtUnsignedInt32, true},      {"-1", tvtUnsignedInt32, false},
      {"9223372036854775807", tvtSignedInt64, true},
      {"9223372036854775808", tvtSignedInt64, false},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Convert(Text(C.Text), tvtString, C.To).Error, C.Ok ? 0 : 30051) << C.Text << " " << C.To;
}

TEST(ConvertValueBuffer, TextFollowsTheFormatSettings) {
  TFormatSettings Saved = FormatSettings();
  FormatSettings().DecimalSeparator = ',';
  TResult A = Convert(Text("1,5"), tvtString, tvtFloat);
  TResult B = Convert(Of<double>(2.25), tvtFloat, tvtString);
  FormatSettings() = Saved;
  EXPECT_EQ(A.Bytes, Of<double>(1.5));
  EXPECT_EQ(B.Bytes, Text("2,25"));
}

TEST(ConvertValueBuffer, DatesAroundMidnightAndBefore1899) {
  // 23:59:59.999 stays on its day; a stored DATETIME before 1899-12-30 prints its own day.
  EXPECT_EQ(Convert(Of<double>(693594 + 86399999.0 / 86400000), tvtFloat, tvtDateTime).Bytes,
            Pair(693594, 86399999));
  EXPECT_EQ(Convert(Pair(693593, 21600000), tvtDateTime, tvtString).Bytes, Text("12/29/1899 6:00:00 AM"));
  EXPECT_EQ(Convert(Text("12/29/1899 6:00:00 AM"), tvtString, tvtDateTime).Bytes, Pair(693593, 21600000));
  EXPECT_EQ(Convert(Pair(693594, 0), tvtDateTime, tvtString).Bytes, Text("12/30/1899"));
}

TEST(ConvertValueBuffer, FloatsWithoutADayAreRefused) {
  // NaN and the infinities have no day and no time of day: every date target refuses them
  // before any part of them is taken apart.
  const double Bad[] = {std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), 1e300};
  for (double V : Bad)
    for (TTolvanValueType To : {tvtDate, tvtTime, tvtDateTime})
      EXPECT_EQ(Convert(Of<double>(V), tvtFloat, To).Error, 30051) << V << " -> " << int(To);
}

TEST(ConvertValueBuffer, FloatToDateTimeSplitsByTheFloor) {
  // The day is the floor and the time of day the rest, rounded to the millisecond: a negative
  // fraction lies before the day's end, not after its start, and a rest that rounds to a whole
  // day is midnight of the next one.
  const double Ms = 1.0 / 86400000;
  struct Case {
    double From;
    int32_t Date, Time;
  };
  const Case Cases[] = {
      {-0.5, -1, 43200000},
      {-1.5, -2, 43200000},
      {-1.25, -2, 64800000},
      {-0.0000001, -1, 86399991},
      {-1e-9, 0, 0},
      {738000 - 0.5, 737999, 43200000},
      {738000 - 1e-9, 738000, 0},
      {738000 - 0.4 * Ms, 738000, 0},
      {738000 - 0.6 * Ms, 737999, 86399999},
      {738000 + 1e-9, 738000, 0},
      {738000 + 0.6 * Ms, 738000, 1},
      {738001 - 0.4 * Ms, 738001, 0},
      {738001 - 1.4 * Ms, 738000, 86399999},
      {693594.5, 693594, 43200000},
      {0, 0, 0},
      {-2147483648.0, INT32_MIN, 0},
      {2147483647.75, 2147483647, 64800000},
  };
  for (const Case& C : Cases)
    EXPECT_EQ(Convert(Of<double>(C.From), tvtFloat, tvtDateTime).Bytes, Pair(C.Date, C.Time))
        << std::setprecision(17) << C.From;
  // SINGLE and EXTENDED sources split alike; a day that carries past the range is refused.
  EXPECT_EQ(Convert(Of<float>(-0.5f), tvtSingle, tvtDateTime).Bytes, Pair(-1, 43200000));
  long double X = -2.75L;
  EXPECT_EQ(Convert(Bytes(&X, 10), tvtExtended, tvtDateTime).Bytes, Pair(-3, 21600000));
  long double Last = 2147483647.999999999L; // its rest rounds to the next day, past 32 bits
  EXPECT_EQ(Convert(Bytes(&Last, 10), tvtExtended, tvtDateTime).Error, 30051);
  EXPECT_EQ(Convert(Of<double>(-2147483648.5), tvtFloat, tvtDateTime).Error, 30051);
  // And back: -1.25 is -1.25 again.
  TResult R = Convert(Of<double>(-1.25), tvtFloat, tvtDateTime);
  EXPECT_EQ(Convert(R.Bytes, tvtDateTime, tvtFloat).Bytes, Of<double>(-1.25));
}

TEST(ConvertValueBuffer, FloatToDateTimeAndBackIsTheMillisecond) {
  // For random numbers of days, negative ones included, the pair holds a time of day and reads
  // back as the number rounded to the millisecond.
  std::mt19937_64 Rng(20240613);
  std::uniform_real_distribution<double> Wide(-3652059.0, 3652059.0), Near(-3.0, 3.0);
  for (int I = 0; I < 20000; ++I) {
    const double D = I % 4 == 0 ? Near(Rng) : Wide(Rng);
    TResult R = Convert(Of<double>(D), tvtFloat, tvtDateTime);
    ASSERT_EQ(R.Error, 0) << D;
    int32_t Date, Time;
    std::memcpy(&Date, R.Bytes.data(), 4);
    std::memcpy(&Time, R.Bytes.data() + 4, 4);
    ASSERT_GE(Time, 0) << D;
    ASSERT_LT(Time, 86400000) << D;
    const long double Floor = std::floor(static_cast<long double>(D));
    const long double Rounded = Floor + std::nearbyint((D - Floor) * 86400000.0L) / 86400000.0L;
    double Back;
    TResult B = Convert(R.Bytes, tvtDateTime, tvtFloat);
    std::memcpy(&Back, B.Bytes.data(), 8);
    ASSERT_EQ(Back, static_cast<double>(Rounded)) << std::setprecision(17) << D;
    ASSERT_LE(std::fabs(Back - D), 0.5 / 86400000 + 1e-9) << std::setprecision(17) << D;
  }
}

TEST(ConvertValueBuffer, TextToFloatRoundsOnce) {
  // Read through an extended value first, these texts fall on a tie of the narrower type and
  // round to even; read directly they round up.
  EXPECT_EQ(Convert(Text("9007199254740993.0000001"), tvtString, tvtFloat).Bytes,
            Of<double>(9007199254740994.0));
  EXPECT_EQ(Convert(Text("16777217.0000000000001"), tvtString, tvtSingle).Bytes,
            Of<float>(16777218.0f));
  EXPECT_EQ(Convert(Text("-9007199254740993.0000001"), tvtString, tvtFloat).Bytes,
            Of<double>(-9007199254740994.0));
  // Exact ties still go to even; the extended target keeps its own precision.
  EXPECT_EQ(Convert(Text("9007199254740993"), tvtString, tvtFloat).Bytes,
            Of<double>(9007199254740992.0));
  long double E = 9007199254740993.0L;
  TResult R = Convert(Text("9007199254740993"), tvtString, tvtExtended);
  EXPECT_EQ(std::memcmp(R.Bytes.data(), &E, 10), 0);
  // Wide text reads the same way.
  EXPECT_EQ(Convert({'1', 0, '.', 0, '5', 0, 0, 0}, tvtWideString, tvtFloat).Bytes,
            Of<double>(1.5));
}
