#include "foundation/TolvanVariantOps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Collation.h"
#include "foundation/TolvanConst.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanValueConvert.h"

using namespace tolvan;

namespace {

constexpr TTolvanValueType NONE = tvtNone, CHR = tvtChar, WCHR = tvtWideChar, STR = tvtString,
                           WSTR = tvtWideString, I8 = tvtSignedInt8, I16 = tvtSignedInt16,
                           INT = tvtInteger, I64 = tvtSignedInt64, U8 = tvtUnsignedInt8,
                           U16 = tvtUnsignedInt16, U32 = tvtUnsignedInt32, SGL = tvtSingle,
                           FLT = tvtFloat, EXT = tvtExtended, DATE = tvtDate, TIME = tvtTime,
                           DT = tvtDateTime, BLOB = tvtBLOB, MEMO = tvtMemo, WMEMO = tvtWideMemo,
                           LOG = tvtLogical, CUR = tvtCurrency, BYTES = tvtBytes,
                           VBYTES = tvtVarBytes;

// Class-library failures in the tables, beside the engine's native codes.
constexpr int32_t ERange = -1, EIntOvf = -2, EInvalid = -3, EZeroDiv = -4, EFloatOvf = -5,
                  EConvert = -6, EDivZero = -7;

int32_t CodeOf(const std::function<void()>& F) {
  try {
    F();
  } catch (const ETolvanException& E) {
    return E.NativeError();
  } catch (const ERangeError&) {
    return ERange;
  } catch (const EIntOverflow&) {
    return EIntOvf;
  } catch (const EDivByZero&) {
    return EDivZero;
  } catch (const EInvalidOp&) {
    return EInvalid;
  } catch (const EZeroDivide&) {
    return EZeroDiv;
  } catch (const EOverflow&) {
    return EFloatOvf;
  } catch (const EConvertError&) {
    return EConvert;
  }
  return 0;
}

using PVariant = std::unique_ptr<TTolvanVariant>;

// A value from its text: nullptr is a null of the type; DATE and TIME take their stored number,
// DATETIME "date:time", LOGICAL "T" or "F"; BLOB types and BYTES take the bytes of the text.
PVariant Make(TTolvanValueType T, const char* Text) {
  auto V = std::make_unique<TTolvanVariant>(T);
  if (!Text)
    return V;
  std::string S = Text;
  switch (T) {
  case DATE:
    V->SetAsStoredDate(std::stoi(S));
    break;
  case TIME:
    V->SetAsStoredTime(std::stoi(S));
    break;
  case DT: {
    size_t Colon = S.find(':');
    V->SetAsStoredDateTime({std::stoi(S.substr(0, Colon)), std::stoi(S.substr(Colon + 1))});
    break;
  }
  case LOG:
    V->SetAsBoolean(S == "T");
    break;
  case BLOB:
  case MEMO:
  case BYTES:
  case VBYTES:
    V->SetBuffer(S.data(), int32_t(S.size()), T, true, true);
    break;
  case WMEMO: {
    WideString W = AnsiToWide(S);
    V->SetBuffer(W.data(), int32_t(W.size() * 2), T, true, true);
    break;
  }
  default:
    V->SetAsString(S);
    break;
  }
  return V;
}

std::string Render(const TTolvanVariant& V) {
  if (V.IsNull())
    return "null";
  switch (V.DataType()) {
  case DATE:
    return std::to_string(V.GetAsStoredDate());
  case TIME:
    return std::to_string(V.GetAsStoredTime());
  case DT: {
    TTolvanStoredDateTime D = V.GetAsStoredDateTime();
    return std::to_string(D.Date) + ":" + std::to_string(D.Time);
  }
  case LOG:
    return V.GetAsBoolean() ? "T" : "F";
  case WCHR:
  case WSTR:
  case WMEMO:
    return WideToAnsi(V.GetAsWideString());
  default:
    return V.GetAsString();
  }
}

// The promotion table of numbers, row = first operand, as the engine defines it.
const TTolvanValueType NumericTable[10][10] = {
    /* I8  */ {I8, I16, INT, I64, I16, U16, U32, SGL, FLT, EXT},
    /* I16 */ {I16, I16, INT, I64, I16, U16, U32, SGL, FLT, EXT},
    /* INT */ {INT, INT, INT, I64, INT, INT, I64, SGL, FLT, EXT},
    /* I64 */ {I64, I64, I64, I64, I64, I64, I64, SGL, FLT, EXT},
    /* U8  */ {I16, I16, INT, I64, U8, U16, U32, SGL, FLT, EXT},
    /* U16 */ {INT, INT, INT, I64, U16, U16, U32, SGL, FLT, EXT},
    /* U32 */ {I64, I64, I64, I64, U32, U32, U32, SGL, FLT, EXT},
    /* SGL */ {SGL, SGL, SGL, SGL, SGL, SGL, SGL, SGL, FLT, EXT},
    /* FLT */ {FLT, FLT, FLT, FLT, FLT, FLT, FLT, FLT, FLT, EXT},
    /* EXT */ {EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT, EXT},
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Common type
// ---------------------------------------------------------------------------------------------

TEST(TolvanVariantOps, CommonValueTypeOfNumbers) {
  for (int F = I8; F <= EXT; ++F)
    for (int S = I8; S <= EXT; ++S)
      EXPECT_EQ(CommonValueType(TTolvanValueType(F), TTolvanValueType(S)),
                NumericTable[F - I8][S - I8])
          << F << " with " << S;
}

TEST(TolvanVariantOps, CommonValueTypeRulesAndAsymmetry) {
  struct Row {
    TTolvanValueType F, S, E;
  };
  const Row Rows[] = {
      // CHAR
      {CHR, WSTR, WSTR},
      {CHR, STR, STR},
      {CHR, INT, CHR},
      {CHR, LOG, CHR},
      {CHR, CUR, CHR},
      {CHR, MEMO, CHR},
      {CHR, WMEMO, WCHR},
      {CHR, DATE, DATE},
      {CHR, BLOB, NONE},
      {CHR, BYTES, NONE},
      // WIDECHAR
      {WCHR, WSTR, WSTR},
      {WCHR, MEMO, CHR},
      {WCHR, STR, WCHR},
      {WCHR, CHR, WCHR},
      {WCHR, FLT, WCHR},
      {WCHR, LOG, WCHR},
      {WCHR, WMEMO, WCHR},
      {WCHR, TIME, TIME},
      {WCHR, VBYTES, NONE},
      // STRING
      {STR, CHR, STR},
      {STR, I64, STR},
      {STR, CUR, STR},
      {STR, LOG, STR},
      {STR, WCHR, WCHR},
      {STR, WSTR, WSTR},
      {STR, MEMO, CHR},
      {STR, WMEMO, WCHR},
      {STR, DT, DT},
      // WIDESTRING
      {WSTR, MEMO, CHR},
      {WSTR, WMEMO, WCHR},
      {WSTR, DATE, DATE},
      {WSTR, CHR, WSTR},
      {WSTR, U8, WSTR},
      {WSTR, CUR, WSTR},
      // numeric
      {INT, STR, STR},
      {INT, WCHR, WCHR},
      {INT, MEMO, NONE},
      {INT, WMEMO, NONE},
      {INT, TIME, TIME},
      {INT, LOG, INT},
      {SGL, LOG, SGL},
      {INT, CUR, CUR},
      {EXT, CUR, CUR},
      {I8, U16, U16},
      {U16, I8, INT},
      // DATE, TIME, DATETIME
      {DATE, TIME, DT},
      {DATE, DATE, DATE},
      {DATE, DT, DATE},
      {DATE, STR, DATE},
      {DATE, FLT, DATE},
      {DATE, MEMO, NONE},
      {DATE, LOG, NONE},
      {DATE, CUR, NONE},
      {TIME, DATE, DT},
      {TIME, TIME, TIME},
      {TIME, DT, TIME},
      {TIME, CHR, TIME},
      {TIME, INT, TIME},
      {TIME, LOG, NONE},
      {DT, DATE, DATE},
      {DT, TIME, TIME},
      {DT, DT, DT},
      {DT, WSTR, DT},
      {DT, U8, DT},
      {DT, CUR, NONE},
      // MEMO, WIDEMEMO
      {MEMO, CHR, CHR},
      {MEMO, WSTR, WSTR},
      {MEMO, MEMO, MEMO},
      {MEMO, WMEMO, WMEMO},
      {MEMO, INT, NONE},
      {WMEMO, CHR, WCHR},
      {WMEMO, WCHR, WCHR},
      {WMEMO, STR, WSTR},
      {WMEMO, WSTR, WSTR},
      {WMEMO, MEMO, WMEMO},
      {WMEMO, WMEMO, WMEMO},
      {WMEMO, DATE, NONE},
      // LOGICAL, CURRENCY
      {LOG, STR, STR},
      {LOG, I16, I16},
      {LOG, LOG, LOG},
      {LOG, CUR, NONE},
      {LOG, DATE, NONE},
      {CUR, INT, INT},
      {CUR, WSTR, WSTR},
      {CUR, CUR, CUR},
      {CUR, LOG, NONE},
      {CUR, DT, NONE},
      // never
      {BLOB, BLOB, NONE},
      {BLOB, STR, NONE},
      {STR, BLOB, NONE},
      {BYTES, BYTES, NONE},
      {VBYTES, STR, NONE},
      {NONE, INT, NONE},
      {INT, NONE, NONE},
      {INT, VBYTES, NONE},
      {TTolvanValueType(200), INT, NONE},
      {INT, TTolvanValueType(25), NONE},
  };
  for (const Row& R : Rows)
    EXPECT_EQ(CommonValueType(R.F, R.S), R.E) << int(R.F) << " with " << int(R.S);
}

TEST(TolvanVariantOps, CommonFieldTypeAndStringFamily) {
  EXPECT_EQ(CommonFieldType(tftSmallInt, tftInteger), tftInteger);
  EXPECT_EQ(CommonFieldType(tftAutoInc, tftSmallInt), tftAutoInc); // the first keeps its own
  EXPECT_EQ(CommonFieldType(tftSmallInt, tftAutoInc), tftAutoInc); // the second keeps its own
  EXPECT_EQ(CommonFieldType(tftShortInt, tftByte), FieldTypeOfValueType(I16));
  EXPECT_EQ(CommonFieldType(tftDate, tftTime), FieldTypeOfValueType(DT));
  EXPECT_EQ(CommonFieldType(tftBLOB, tftInteger), FieldTypeOfValueType(NONE));

  EXPECT_TRUE(SameStringFamily(CHR, MEMO));
  EXPECT_TRUE(SameStringFamily(WSTR, WMEMO));
  EXPECT_FALSE(SameStringFamily(STR, WSTR));
  EXPECT_FALSE(SameStringFamily(STR, INT));
  EXPECT_FALSE(SameStringFamily(BLOB, BLOB));
}

// ---------------------------------------------------------------------------------------------
// Operators: one table of operator x operands -> result type and value, or error
// ---------------------------------------------------------------------------------------------

namespace {

struct TOpCase {
  std::string Op;
  TTolvanValueType LT;
  const char* L;
  TTolvanValueType RT; // NONE: no operand (unary operators, Round / Trunc without digits)
  const char* R;
  TTolvanValueType ResT; // self's type afterwards, on failure too
  const char* Res;       // Render of the result, when no error
  int32_t Err = 0;
};

void Apply(const std::string& Op, TTolvanVariant& Self, TTolvanVariant* Other) {
  static const std::map<std::string, std::function<void(TTolvanVariant&, TTolvanVariant*)>> Ops = {
      {"+", [](TTolvanVariant& S, TTolvanVariant* O) { S.Add(*O); }},
      {"*", [](TTolvanVariant& S, TTolvanVariant* O) { S.Multiply(*O); }},
      {"/", [](TTolvanVariant& S, TTolvanVariant* O) { S.Divide(*O); }},
      {"mod", [](TTolvanVariant& S, TTolvanVariant* O) { S.Modulo(*O); }},
      {"pow", [](TTolvanVariant& S, TTolvanVariant* O) { S.Power(*O); }},
      {"&", [](TTolvanVariant& S, TTolvanVariant* O) { S.BitAnd(*O); }},
      {"|", [](TTolvanVariant& S, TTolvanVariant* O) { S.BitOr(*O); }},
      {"^", [](TTolvanVariant& S, TTolvanVariant* O) { S.BitXor(*O); }},
      {"<<", [](TTolvanVariant& S, TTolvanVariant* O) { S.ShiftLeft(*O); }},
      {">>", [](TTolvanVariant& S, TTolvanVariant* O) { S.ShiftRight(*O); }},
      {"neg", [](TTolvanVariant& S, TTolvanVariant*) { S.Negate(); }},
      {"abs", [](TTolvanVariant& S, TTolvanVariant*) { S.Abs(); }},
      {"sign", [](TTolvanVariant& S, TTolvanVariant*) { S.Sign(); }},
      {"ceil", [](TTolvanVariant& S, TTolvanVariant*) { S.Ceil(); }},
      {"floor", [](TTolvanVariant& S, TTolvanVariant*) { S.Floor(); }},
      {"~", [](TTolvanVariant& S, TTolvanVariant*) { S.BitNot(); }},
      {"round", [](TTolvanVariant& S, TTolvanVariant* O) { S.Round(O); }},
      {"trunc", [](TTolvanVariant& S, TTolvanVariant* O) { S.Trunc(O); }},
      {"hex", [](TTolvanVariant& S,
                 TTolvanVariant* O) { S.ConvertToHexString(O ? O->GetAsInteger() : 0); }},
  };
  Ops.at(Op)(Self, Other);
}

const char* const I64Min = "-9223372036854775808";
const char* const I64Max = "9223372036854775807";

std::vector<TOpCase> OperatorCases() {
  std::vector<TOpCase> C = {
      // Add: ranges, wrapping, nulls, concatenation
      {"+", I16, "30000", I16, "30000", I16, nullptr, ERange},
      {"+", I8, "-100", I8, "-29", I8, nullptr, ERange},
      {"+", U8, "200", U8, "55", U8, "255"},
      {"+", U8, "200", U8, "56", U8, nullptr, ERange},
      {"+", U16, "65535", U16, "1", U16, nullptr, ERange},
      {"+", INT, "2147483647", INT, "1", INT, "-2147483648"},
      {"+", U32, "4294967295", U32, "1", U32, "0"},
      {"+", I64, I64Max, I64, "1", I64, I64Min},
      {"+", INT, nullptr, INT, "5", INT, "5"},
      {"+", INT, nullptr, I16, "5", I16, "5"}, // a null self becomes a copy, type included
      {"+", INT, "5", INT, nullptr, INT, "null"},
      {"+", STR, "a", STR, nullptr, STR, "a"},
      {"+", STR, nullptr, STR, "b", STR, "b"},
      {"+", INT, "1", STR, "2", INT, "12"},
      {"+", STR, "1", INT, "2", STR, "12"},
      {"+", CHR, "a", INT, "5", CHR, "a5"},
      {"+", WSTR, "a", STR, "b", WSTR, "ab"},
      {"+", STR, "a", WCHR, "b", STR, "ab"},
      {"+", MEMO, "ab", STR, "c", STR, "abc"},
      {"+", INT, "1", STR, "x", INT, nullptr, 30051},
      {"+", FLT, "1.5", FLT, "2.25", FLT, "3.75"},
      {"+", FLT, "1.7976931348623157E308", FLT, "1.7976931348623157E308", FLT, nullptr, EFloatOvf},
      {"+", SGL, "3E38", SGL, "3E38", SGL, nullptr, EFloatOvf},
      {"+", EXT, "0.1", INT, "1", EXT, "1.1"},
      {"+", CUR, "1.5", CUR, "2.25", CUR, "3.75"},
      {"+", CUR, "900000000000000", CUR, "900000000000000", CUR, nullptr, EConvert},
      {"+", INT, "1", CUR, "2", CUR, "3"},
      {"+", CUR, "1", INT, "2", INT, "3"},
      {"+", INT, "1", LOG, "T", INT, "2"},
      {"+", LOG, "T", INT, "1", INT, "2"},
      {"+", LOG, "T", LOG, "F", LOG, "T"},
      {"+", DATE, "10", INT, "5", DATE, "15"},
      {"+", DATE, "10", TIME, "1000", DT, "10:1000"}, // a date and a time make their date-time
      {"+", TIME, "86399999", TIME, "1", TIME, "0"},  // back into the day
      {"+", DT, "1:50000000", DT, "2:50000000", DT, "4:13600000"},
      {"+", DT, "5:1000", INT, "1", DT, "6:1000"}, // the integer's "no time" adds nothing
      {"+", DT, "5:-1", INT, "1", DT, "6:-1"},
      {"+", DATE, "1", CUR, "1", DATE, nullptr, 30052},
      {"+", INT, "1", BYTES, "ab", INT, nullptr, 30052},
      {"+", BLOB, "ab", INT, "1", BLOB, nullptr, 30052},
      // Multiply
      {"*", INT, "65536", INT, "65536", INT, "0"},
      {"*", U32, "65536", U32, "65537", U32, "65536"},
      {"*", I64, "4294967296", I64, "4294967297", I64, "4294967296"},
      {"*", I8, "16", I8, "8", I8, nullptr, ERange},
      {"*", U16, "256", U16, "256", U16, nullptr, ERange},
      {"*", I16, "-181", I16, "181", I16, "-32761"},
      {"*", FLT, "1.5", INT, "2", FLT, "3"},
      {"*", INT, "3", FLT, "1.5", FLT, "4.5"},
      {"*", CUR, "1.5", CUR, "1.5", CUR, "2.25"},
      {"*", DATE, "3", DATE, "4", DATE, "12"},
      {"*", DT, "1:50000000", DT, "2:2", DT, "3:13600000"},
      {"*", LOG, "F", LOG, "T", LOG, "T"},
      {"*", INT, nullptr, INT, "3", INT, "null"},
      {"*", INT, "3", INT, nullptr, INT, "null"},
      {"*", STR, "2", INT, "3", STR, nullptr, 30126},
      // Divide
      {"/", INT, "7", INT, "0", INT, nullptr, 30128},
      {"/", INT, "7", INT, "2", INT, "3"},
      {"/", INT, "-7", INT, "2", INT, "-3"},
      {"/", FLT, "7", INT, "2", FLT, "3.5"},
      {"/", U32, "4294967295", U32, "2", U32, "2147483647"},
      {"/", INT, "-2147483648", INT, "-1", INT, nullptr, 30128},
      {"/", I64, I64Min, I64, "-1", I64, nullptr, 30128},
      {"/", I8, "-128", I8, "-1", I8, nullptr, 30128},
      {"/", FLT, "1", FLT, "0", FLT, nullptr, 30128},
      {"/", EXT, "0", EXT, "0", EXT, nullptr, 30128},
      {"/", CUR, "10", CUR, "4", CUR, "2.5"},
      {"/", CUR, "1", CUR, "0", CUR, nullptr, 30128},
      {"/", DATE, "10", DATE, "0", DATE, nullptr, 30128},
      {"/", LOG, "T", LOG, "F", LOG, "T"},
      {"/", INT, "7", STR, "2", STR, nullptr, 30127}, // cast to STRING, then refused
      {"/", INT, "7", BYTES, "ab", INT, nullptr, 30052},
      {"/", INT, "7", INT, nullptr, INT, "null"},
      // Modulo
      {"mod", INT, "7", INT, "3", I64, "1"},
      {"mod", INT, "-7", INT, "3", I64, "-1"},
      {"mod", FLT, "7.9", INT, "3", I64, "1"},
      {"mod", I64, I64Min, I64, "-1", I64, "0"},
      {"mod", INT, "7", INT, "0", I64, nullptr, 30128},
      {"mod", INT, "7", INT, nullptr, I64, nullptr, 30016},
      {"mod", INT, nullptr, INT, "3", INT, "null"},
      {"mod", STR, "7", INT, "3", STR, "null"},
      {"mod", INT, "7", STR, "3", INT, "null"},
      // Power
      {"pow", INT, "2", INT, "10", I64, "1024"},
      {"pow", INT, "3", INT, "0", I64, "1"},
      {"pow", INT, "2", INT, "63", I64, nullptr, EInvalid},
      {"pow", INT, "-2", INT, "63", I64, I64Min},
      {"pow", INT, "2", INT, "-1", I64, "0"},
      {"pow", INT, "-1", INT, "-3", I64, "-1"},
      {"pow", INT, "0", INT, "-1", I64, nullptr, EZeroDiv},
      {"pow", FLT, "4", FLT, "0.5", EXT, "2"},
      {"pow", INT, "4", FLT, "0.5", EXT, "2"},
      {"pow", FLT, "-8", FLT, "0.5", EXT, nullptr, EInvalid},
      {"pow", EXT, "10", EXT, "5000", EXT, nullptr, EFloatOvf},
      {"pow", INT, "2", INT, nullptr, I64, nullptr, 30016},
      {"pow", INT, nullptr, INT, "2", INT, "null"},
      // Bits
      {"&", INT, "12", INT, "10", INT, "8"},
      {"|", INT, "12", INT, "10", INT, "14"},
      {"^", INT, "12", INT, "10", INT, "6"},
      {"&", I8, "-1", U8, "15", I16, "15"},
      {"|", I64, I64Min, I64, "1", I64, "-9223372036854775807"},
      {"^", U32, "4294967295", U32, "1", U32, "4294967294"},
      {"&", LOG, "T", LOG, "F", LOG, "F"},
      {"|", LOG, "T", LOG, "F", LOG, "T"},
      {"^", LOG, "T", LOG, "T", LOG, "F"},
      {"&", FLT, "1", INT, "1", FLT, nullptr, 11645},
      {"|", FLT, "1", INT, "1", FLT, nullptr, 11646},
      {"^", FLT, "1", INT, "1", FLT, nullptr, 11650},
      {"&", INT, "1", INT, nullptr, INT, "null"},
      {"&", INT, nullptr, INT, "1", INT, "null"},
      {"~", INT, "0", NONE, nullptr, INT, "-1"},
      {"~", U8, "5", NONE, nullptr, U8, "250"},
      {"~", I8, "5", NONE, nullptr, I8, "-6"},
      {"~", U32, "0", NONE, nullptr, U32, "4294967295"},
      {"~", I64, "0", NONE, nullptr, I64, "-1"},
      {"~", LOG, "T", NONE, nullptr, LOG, "F"},
      {"~", FLT, "1", NONE, nullptr, FLT, nullptr, 11647},
      {"~", INT, nullptr, NONE, nullptr, INT, "null"},
      // Shifts: 8-, 16- and 32-bit counts mod 32, right shifts logical, 64-bit counts past 63
      {"<<", INT, "1", INT, "31", INT, "-2147483648"},
      {"<<", INT, "1", INT, "32", INT, "1"},
      {"<<", INT, "1", INT, "-1", INT, "-2147483648"},
      {">>", INT, "-1", INT, "1", INT, "2147483647"},
      {">>", U32, "4294967295", U32, "36", U32, "268435455"},
      {"<<", U32, "1", U32, "31", U32, "2147483648"},
      {"<<", U16, "1", U16, "15", U16, "32768"},
      {"<<", I8, "-1", I8, "1", I8, "-2"},
      {"<<", I8, "1", I8, "7", I8, nullptr, ERange},
      {">>", I8, "-1", I8, "1", I8, nullptr, ERange},
      {"<<", U8, "128", U8, "1", U8, nullptr, ERange},
      {"<<", I8, "1", INT, "3", INT, "8"},
      {"<<", I64, "1", I64, "63", I64, I64Min},
      {"<<", I64, "1", I64, "64", I64, "0"},
      {">>", I64, "-1", I64, "1", I64, I64Max},
      {">>", I64, "-1", I64, "-1", I64, "0"},
      {"<<", FLT, "1", INT, "1", FLT, nullptr, 11648},
      {">>", FLT, "1", INT, "1", FLT, nullptr, 11649},
      {"<<", LOG, "T", LOG, "T", LOG, nullptr, 11648},
      {"<<", INT, "1", INT, nullptr, INT, "null"},
      // Negate
      {"neg", U8, "1", NONE, nullptr, U8, "255"},
      {"neg", U8, "0", NONE, nullptr, U8, "0"},
      {"neg", U8, "128", NONE, nullptr, U8, "128"},
      {"neg", U8, "129", NONE, nullptr, U8, nullptr, ERange},
      {"neg", U16, "32768", NONE, nullptr, U16, "32768"},
      {"neg", U16, "32769", NONE, nullptr, U16, nullptr, ERange},
      {"neg", U32, "1", NONE, nullptr, U32, "4294967295"},
      {"neg", U32, "2147483649", NONE, nullptr, U32, nullptr, ERange},
      {"neg", I8, "-128", NONE, nullptr, I8, nullptr, ERange},
      {"neg", I16, "-32768", NONE, nullptr, I16, nullptr, ERange},
      {"neg", INT, "-2147483648", NONE, nullptr, INT, nullptr, EIntOvf},
      {"neg", I64, I64Min, NONE, nullptr, I64, nullptr, EIntOvf},
      {"neg", INT, "5", NONE, nullptr, INT, "-5"},
      {"neg", FLT, "2.5", NONE, nullptr, FLT, "-2.5"},
      {"neg", CUR, "2.5", NONE, nullptr, CUR, "-2.5"},
      {"neg", DATE, "5", NONE, nullptr, DATE, "-5"},
      {"neg", DATE, "-2147483648", NONE, nullptr, DATE, nullptr, EIntOvf},
      {"neg", LOG, "T", NONE, nullptr, LOG, "F"},
      {"neg", TIME, "5", NONE, nullptr, TIME, nullptr, 30123},
      {"neg", STR, "5", NONE, nullptr, STR, nullptr, 30123},
      {"neg", INT, nullptr, NONE, nullptr, INT, "null"},
      // Abs, Sign
      {"abs", INT, "-5", NONE, nullptr, INT, "5"},
      {"abs", I8, "-128", NONE, nullptr, I8, nullptr, ERange},
      {"abs", I16, "-32768", NONE, nullptr, I16, nullptr, ERange},
      {"abs", INT, "-2147483648", NONE, nullptr, INT, nullptr, EIntOvf},
      {"abs", I64, I64Min, NONE, nullptr, I64, nullptr, EIntOvf},
      {"abs", U32, "4294967295", NONE, nullptr, U32, "4294967295"},
      {"abs", FLT, "-2.5", NONE, nullptr, FLT, "2.5"},
      {"abs", CUR, "-1.5", NONE, nullptr, CUR, "1.5"},
      {"abs", STR, "-1", NONE, nullptr, STR, nullptr, 11651},
      {"abs", INT, nullptr, NONE, nullptr, INT, "null"},
      {"sign", INT, "-5", NONE, nullptr, INT, "-1"},
      {"sign", I64, I64Max, NONE, nullptr, I64, "1"},
      {"sign", U8, "5", NONE, nullptr, U8, "1"},
      {"sign", U8, "0", NONE, nullptr, U8, "0"},
      {"sign", FLT, "-0.5", NONE, nullptr, FLT, "-1"},
      {"sign", EXT, "0", NONE, nullptr, EXT, "0"},
      {"sign", CUR, "2", NONE, nullptr, CUR, "1"},
      {"sign", DATE, "5", NONE, nullptr, DATE, nullptr, 11652},
      {"sign", INT, nullptr, NONE, nullptr, INT, "null"},
      // Ceil, Floor
      {"ceil", FLT, "2.1", NONE, nullptr, INT, "3"},
      {"floor", FLT, "-2.1", NONE, nullptr, INT, "-3"},
      {"ceil", CUR, "-2.5", NONE, nullptr, INT, "-2"},
      {"ceil", I8, "5", NONE, nullptr, INT, "5"},
      {"floor", I64, I64Max, NONE, nullptr, I64, nullptr, 30051},
      {"ceil", FLT, "1E10", NONE, nullptr, FLT, nullptr, EInvalid},
      {"ceil", STR, "5", NONE, nullptr, STR, "null"},
      {"floor", INT, nullptr, NONE, nullptr, INT, "null"},
      // Round, Trunc: symmetric, negative digits round to tens, hundreds, ...
      {"round", EXT, "2.567", INT, "2", EXT, "2.57"},
      {"round", FLT, "-2.567", INT, "2", EXT, "-2.57"},
      {"round", FLT, "2.5", NONE, nullptr, I64, "2"},
      {"round", FLT, "3.5", NONE, nullptr, I64, "4"},
      {"round", FLT, "-2.5", NONE, nullptr, I64, "-2"},
      {"round", INT, "1234", INT, "-2", EXT, "1200"},
      {"round", INT, "1250", INT, "-2", EXT, "1300"},
      {"round", FLT, "-1250", INT, "-2", EXT, "-1300"},
      {"round", INT, "5", INT, "10", EXT, nullptr, EIntOvf},
      {"round", INT, "5", I64, "4294967296", EXT, nullptr, ERange},
      {"round", INT, nullptr, NONE, nullptr, EXT, nullptr, 30016},
      {"round", INT, nullptr, INT, "2", EXT, nullptr, 30016},
      {"round", FLT, "2.5", INT, nullptr, EXT, nullptr, 30016},
      {"round", FLT, "1E30", NONE, nullptr, EXT, nullptr, EInvalid},
      {"trunc", FLT, "-2.7", NONE, nullptr, I64, "-2"},
      {"trunc", FLT, "2.567", INT, "2", EXT, "2.56"},
      {"trunc", FLT, "-2.567", INT, "2", EXT, "-2.56"},
      {"trunc", INT, "1299", INT, "-2", EXT, "1200"},
      {"trunc", INT, nullptr, NONE, nullptr, EXT, nullptr, 30016},
      {"trunc", STR, "x", NONE, nullptr, STR, nullptr, 30051},
      // Hexadecimal
      {"hex", I8, "-1", NONE, nullptr, CHR, "FFFFFFFF"},
      {"hex", I8, "5", NONE, nullptr, CHR, "05"},
      {"hex", U8, "255", NONE, nullptr, CHR, "FF"},
      {"hex", I16, "255", NONE, nullptr, CHR, "00FF"},
      {"hex", INT, "-1", NONE, nullptr, CHR, "FFFFFFFF"},
      {"hex", U32, "4294967295", NONE, nullptr, CHR, "FFFFFFFF"},
      {"hex", I64, "-1", NONE, nullptr, CHR, "FFFFFFFFFFFFFFFF"},
      {"hex", INT, "255", INT, "1", CHR, "$000000FF"},
      {"hex", INT, "255", INT, "2", CHR, "0x000000ff"},
      {"hex", STR, "AB", NONE, nullptr, CHR, "4142"},
      {"hex", STR, "AB", INT, "2", CHR, "0x4142"},
      {"hex", WSTR, "A", NONE, nullptr, CHR, "4100"},
      {"hex", FLT, "1", NONE, nullptr, CHR, "null"},
      {"hex", INT, nullptr, NONE, nullptr, INT, "null"},
  };
  // Every promotion pair of two numbers: the sum lands in the table's type.
  for (int F = I8; F <= EXT; ++F)
    for (int S = I8; S <= EXT; ++S)
      C.push_back({"+", TTolvanValueType(F), "1", TTolvanValueType(S), "2",
                   NumericTable[F - I8][S - I8], "3"});
  return C;
}

} // namespace

namespace {

void CheckOperatorCases(const std::vector<TOpCase>& Cases) {
  for (const TOpCase& K : Cases) {
    SCOPED_TRACE(K.Op + " " + std::string(ValueTypeToSQLName(K.LT)) + " " + (K.L ? K.L : "null") +
                 ", " + std::string(ValueTypeToSQLName(K.RT)) + " " + (K.R ? K.R : "null"));
    PVariant Self = Make(K.LT, K.L);
    PVariant Other = K.RT == NONE ? nullptr : Make(K.RT, K.R);
    int32_t Err = CodeOf([&] { Apply(K.Op, *Self, Other.get()); });
    EXPECT_EQ(Err, K.Err);
    EXPECT_EQ(Self->DataType(), K.ResT);
    if (K.Err == 0 && Err == 0) {
      EXPECT_EQ(Render(*Self), K.Res);
    }
  }
}

} // namespace

TEST(TolvanVariantOps, OperatorTable) { CheckOperatorCases(OperatorCases()); }

// A fraction of a day taken from a number counts from the floor: -0.5 is noon of the day before,
// so date-time arithmetic with a negative number moves back, never forward.
TEST(TolvanVariantOps, DateTimePlusNegativeFractionsOfADay) {
  CheckOperatorCases({
      {"+", DT, "738000:0", FLT, "-0.5", DT, "737999:43200000"},
      {"+", DT, "738000:1000", FLT, "-1.5", DT, "737998:43201000"},
      {"+", DT, "738000:0", FLT, "-0.0000001", DT, "737999:86399991"},
      {"+", DT, "738000:0", FLT, "-1E-9", DT, "738000:0"}, // rounds to the day
      {"+", DT, "738000:0", FLT, "0.5", DT, "738000:43200000"},
      {"+", DT, "738000:50000000", FLT, "0.5", DT, "738001:6800000"},
      {"+", DT, "738000:-1", FLT, "-0.25", DT, "737999:64800000"},
      {"+", DT, "738000:0", SGL, "-0.5", DT, "737999:43200000"},
      {"+", DT, "738000:0", EXT, "-2.75", DT, "737997:21600000"},
      {"+", FLT, "-0.5", DT, "738000:0", DT, "737999:43200000"}, // a number first, too
      {"+", DT, "738000:0", INT, "-1", DT, "737999:0"},
      // A DATE moves to the day the sum falls on.
      {"+", DATE, "738000", FLT, "-0.5", DATE, "737999"},
      {"+", DATE, "738000", FLT, "-1.5", DATE, "737998"},
      {"+", DATE, "738000", EXT, "1.5", DATE, "738001"},
      {"+", DATE, "738000", FLT, "-1E-9", DATE, "738000"},
      {"+", SGL, "-0.5", DATE, "738000", DATE, "737999"},
      {"+", DATE, "738000", INT, "-1", DATE, "737999"},
  });
}

// The "no time" marker -1 belongs to TIME and DATETIME operands; a number cast to TIME is a count
// of milliseconds, -1 included.
TEST(TolvanVariantOps, TimePlusOrMinusOneMillisecond) {
  CheckOperatorCases({
      {"+", TIME, "5000", INT, "-1", TIME, "4999"},
      {"+", TIME, "5000", INT, "-2", TIME, "4998"},
      {"+", INT, "-1", TIME, "5000", TIME, "4999"},
      {"+", TIME, "5000", I64, "-1", TIME, "4999"},
      {"+", TIME, "5000", I8, "-1", TIME, "4999"},
      {"+", TIME, "0", INT, "-1", TIME, "86399999"},
      {"+", TIME, "0", INT, "1", TIME, "1"},
      {"+", TIME, "86399999", INT, "1", TIME, "0"},
      {"+", TIME, "86399999", INT, "-1", TIME, "86399998"},
      {"+", TIME, "0", FLT, "-1", TIME, "86399999"},
      // The marker itself still adds nothing.
      {"+", TIME, "-1", INT, "5", TIME, "5"},
      {"+", TIME, "5", TIME, "-1", TIME, "5"},
      {"+", TIME, "-1", TIME, "-1", TIME, "-1"},
      {"+", TIME, "5", DT, "7:-1", TIME, "5"},
  });
  // Subtraction is the sum with the negated number.
  PVariant T = Make(TIME, "0"), One = Make(INT, "1");
  One->Negate();
  T->Add(*One);
  EXPECT_EQ(Render(*T), "86399999");
}

// A signed and an unsigned integer whose common type is unsigned: the result keeps that type but
// is the exact one, and must lie in the type.
TEST(TolvanVariantOps, SignedWithUnsignedArithmeticIsExact) {
  CheckOperatorCases({
      {"+", I8, "-1", U16, "5", U16, "4"},
      {"+", I8, "-128", U16, "128", U16, "0"},
      {"+", I8, "-1", U16, "0", U16, nullptr, ERange},
      {"+", I8, "127", U16, "65408", U16, "65535"},
      {"+", I8, "127", U16, "65409", U16, nullptr, ERange},
      {"+", I16, "-1", U32, "5", U32, "4"},
      {"+", I16, "-32768", U32, "4294967295", U32, "4294934527"},
      {"+", I16, "1", U32, "4294967295", U32, nullptr, ERange},
      {"+", I16, "-6", U32, "5", U32, nullptr, ERange},
      {"*", I8, "-1", U16, "5", U16, nullptr, ERange},
      {"*", I8, "-1", U16, "0", U16, "0"},
      {"*", I16, "2", U32, "2147483647", U32, "4294967294"},
      {"*", I16, "-32768", U32, "4294967295", U32, nullptr, ERange},
      {"/", I8, "-10", U16, "5", U16, nullptr, 30128},
      {"/", I16, "10", U32, "3", U32, "3"},
      {"/", I8, "-1", U16, "0", U16, nullptr, 30128},
      // Pairs of one signedness keep their rules: unsigned 32-bit sums wrap.
      {"+", U16, "65535", U8, "1", U16, nullptr, ERange},
      {"+", U8, "1", U32, "4294967295", U32, "0"},
      // The common type is signed: nothing changes.
      {"+", U16, "5", I8, "-1", INT, "4"},
      {"+", U32, "0", I16, "-1", I64, "-1"},
  });
}

TEST(TolvanVariantOps, DivisionErrorCarriesTheClassLibraryText) {
  PVariant A = Make(INT, "7"), B = Make(INT, "0");
  try {
    A->Divide(*B);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_EQ(E.NativeError(), 30128);
    EXPECT_NE(std::string(E.what()).find("Division error: Division by zero"), std::string::npos);
  }
  PVariant C = Make(FLT, "7"), D = Make(FLT, "0");
  try {
    C->Divide(*D);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_NE(std::string(E.what()).find("Division error: Floating point division by zero"),
              std::string::npos);
  }
  PVariant M = Make(INT, "-2147483648"), N = Make(INT, "-1");
  try {
    M->Divide(*N);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_NE(std::string(E.what()).find("Division error: Integer overflow"), std::string::npos);
  }
  PVariant S = Make(STR, "7");
  try {
    S->Multiply(*A);
    FAIL();
  } catch (const ETolvanException& E) {
    EXPECT_NE(std::string(E.what()).find("Not numeric argument in numeric operator '*'"),
              std::string::npos);
  }
}

TEST(TolvanVariantOps, ModuloPowerAndRandomCastTheirOperandInPlace) {
  PVariant A = Make(INT, "7"), B = Make(FLT, "3.9");
  A->Modulo(*B);
  EXPECT_EQ(B->DataType(), I64);
  EXPECT_EQ(Render(*A), "1");

  PVariant P = Make(FLT, "2"), Q = Make(INT, "3");
  P->Power(*Q);
  EXPECT_EQ(Q->DataType(), EXT);
  EXPECT_EQ(Render(*P), "8");

  PVariant Bound = Make(STR, "10");
  TTolvanVariant R;
  R.Random(Bound.get());
  EXPECT_EQ(Bound->DataType(), INT);
  EXPECT_EQ(R.DataType(), INT);
}

TEST(TolvanVariantOps, RandomDrawsTheLinearCongruentialSequence) {
  TTolvanVariant V;
  V.Random(nullptr);
  ASSERT_EQ(V.DataType(), EXT);
  long double X1 = V.GetAsExtended();
  V.Random(nullptr);
  long double X2 = V.GetAsExtended();
  ASSERT_GE(X1, 0);
  ASSERT_LT(X1, 1);
  uint32_t S1 = uint32_t(X1 * 4294967296.0L), S2 = uint32_t(X2 * 4294967296.0L);
  EXPECT_EQ(S2, S1 * 134775813u + 1u);

  // With a bound: an INTEGER from 0 to bound - 1, whatever self held before.
  PVariant Ten = Make(INT, "10");
  bool Seen[10] = {};
  for (int I = 0; I < 500; ++I) {
    TTolvanVariant R(STR);
    R.Random(Ten.get());
    ASSERT_EQ(R.DataType(), INT);
    int32_t N = R.GetAsInteger();
    ASSERT_GE(N, 0);
    ASSERT_LT(N, 10);
    Seen[N] = true;
  }
  for (bool S : Seen)
    EXPECT_TRUE(S);

  PVariant NullBound = Make(INT, nullptr);
  EXPECT_EQ(CodeOf([&] { V.Random(NullBound.get()); }), 30016);
}

TEST(TolvanVariantOps, OperatorsOnABorrowedValueLeaveTheLenderAlone) {
  int32_t Field = 41;
  TTolvanVariant V;
  V.SetBuffer(&Field, 4, INT, false, false);
  PVariant One = Make(INT, "1");
  V.Add(*One);
  EXPECT_EQ(V.GetAsInteger(), 42);
  EXPECT_FALSE(V.IsBorrowed());
  EXPECT_EQ(Field, 41);
}

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------

TEST(TolvanVariantOps, CompareIsAnOrderOnMixedNumbers) {
  // Groups in ascending order; values within a group are equal. Types whose common type would
  // truncate a fraction keep to values where the promotion loses nothing.
  struct Item {
    int Group;
    TTolvanValueType T;
    const char* V;
  };
  const Item Items[] = {
      {0, INT, "-1000"},      {0, I64, "-1000"},      {0, FLT, "-1000"}, {1, EXT, "-2.5"},
      {1, SGL, "-2.5"},       {1, FLT, "-2.5"},       {2, INT, "-1"},    {2, I16, "-1"},
      {3, I8, "0"},           {3, U32, "0"},          {3, FLT, "0"},     {4, FLT, "0.5"},
      {4, EXT, "0.5"},        {5, U8, "1"},           {5, I16, "1"},     {5, CUR, "1"},
      {6, U16, "300"},        {6, EXT, "300"},        {6, INT, "300"},   {7, U32, "4000000000"},
      {7, I64, "4000000000"}, {7, SGL, "4000000000"},
  };
  for (const Item& A : Items)
    for (const Item& B : Items) {
      PVariant X = Make(A.T, A.V), Y = Make(B.T, B.V);
      TTolvanCompareResult Want = A.Group < B.Group   ? tcrLess
                                  : A.Group > B.Group ? tcrGreater
                                                      : tcrEqual;
      EXPECT_EQ(X->Compare(*Y, true, false, false), Want)
          << ValueTypeToSQLName(A.T) << " " << A.V << " vs " << ValueTypeToSQLName(B.T) << " "
          << B.V;
    }
}

TEST(TolvanVariantOps, CompareFollowsThePromotionOfItsOperands) {
  // Integers compare by value, also where the common type is unsigned.
  PVariant A = Make(I8, "-1"), B = Make(U16, "65535");
  EXPECT_EQ(A->Compare(*B, true, false, false), tcrLess);
  // A number against text compares as text.
  PVariant N = Make(INT, "10"), S = Make(STR, "9");
  EXPECT_EQ(N->Compare(*S, true, false, false), tcrLess);
  // CURRENCY against an integer is read as that integer.
  PVariant C = Make(CUR, "2.5"), I = Make(INT, "2");
  EXPECT_EQ(C->Compare(*I, true, false, false), tcrEqual);
  EXPECT_EQ(I->Compare(*C, true, false, false), tcrLess);
  // Dates and times.
  PVariant D1 = Make(DT, "5:1000"), D2 = Make(DT, "5:2000"), D3 = Make(DATE, "6");
  EXPECT_EQ(D1->Compare(*D2, true, false, false), tcrLess);
  EXPECT_EQ(D2->Compare(*D3, true, false, false), tcrLess); // in DATE
  PVariant L1 = Make(LOG, "F"), L2 = Make(LOG, "T");
  EXPECT_EQ(L1->Compare(*L2, true, false, false), tcrLess);
}

TEST(TolvanVariantOps, CompareTextWithAndWithoutCase) {
  struct Item {
    TTolvanValueType T;
    const char* V;
  };
  const Item Items[] = {{STR, "abc"},   {CHR, "ABC"},  {WSTR, "abd"},      {MEMO, "ab"},
                        {WMEMO, "Abc"}, {WCHR, "b"},   {STR, "a"},         {CHR, "aBc"},
                        {MEMO, "ABD"},  {WSTR, "a b"}, {STR, "\xE9t\xE9"}, {WSTR, "Et\xE9"}};
  for (bool IgnoreCase : {false, true})
    for (const Item& A : Items)
      for (const Item& B : Items) {
        PVariant X = Make(A.T, A.V), Y = Make(B.T, B.V);
        int Ref = CompareWide(AnsiToWide(A.V), AnsiToWide(B.V), IgnoreCase);
        TTolvanCompareResult Want = Ref < 0 ? tcrLess : Ref > 0 ? tcrGreater : tcrEqual;
        EXPECT_EQ(X->Compare(*Y, true, IgnoreCase, false), Want)
            << A.V << " vs " << B.V << (IgnoreCase ? " ignoring case" : "");
      }
  PVariant A = Make(STR, "abc"), B = Make(STR, "ABC");
  EXPECT_NE(A->Compare(*B, true, false, false), tcrEqual);
  EXPECT_EQ(A->Compare(*B, true, true, false), tcrEqual);
}

TEST(TolvanVariantOps, PrefixComparisonTakesTheOtherLengthAndNeverReadsPast) {
  auto Exact = [](TTolvanValueType T, const char* S, int32_t Size) {
    // A buffer of exactly Size bytes: a shorter side gives the sanitizer something to catch.
    auto V = std::make_unique<TTolvanVariant>(T);
    V->SetBuffer(const_cast<char*>(S), Size, T, true, true);
    return V;
  };
  PVariant Long = Make(STR, "abcdef"), Short = Make(STR, "abc");
  EXPECT_EQ(Long->Compare(*Short, true, false, true), tcrEqual);
  EXPECT_EQ(Short->Compare(*Long, true, false, true), tcrLess);
  PVariant Ab = Exact(CHR, "ab", 3);
  EXPECT_EQ(Ab->Compare(*Long, true, false, true), tcrLess);
  // No terminator at all: the buffer size bounds the text.
  PVariant Unterminated = Exact(CHR, "abc", 3);
  EXPECT_EQ(Unterminated->Compare(*Short, true, false, false), tcrEqual);
  EXPECT_EQ(Long->Compare(*Unterminated, true, false, true), tcrEqual);
  // Case and prefix together.
  PVariant Upper = Make(STR, "ABCDEF");
  EXPECT_EQ(Upper->Compare(*Short, true, true, true), tcrEqual);
  EXPECT_NE(Upper->Compare(*Short, true, false, true), tcrEqual);
  // Wide text, and memos on either side (the memo's length counts characters).
  PVariant WLong = Make(WSTR, "abcdef"), WShort = Make(WMEMO, "abc"),
           WMemoLong = Make(WMEMO, "abcdef");
  EXPECT_EQ(WLong->Compare(*WShort, true, false, true), tcrEqual);
  EXPECT_EQ(WMemoLong->Compare(*WShort, true, false, true), tcrEqual);
  EXPECT_EQ(WMemoLong->Compare(*Make(WSTR, "abd"), true, false, true), tcrLess);
  PVariant Memo = Make(MEMO, "abc"), MemoLong = Make(MEMO, "abcdef");
  EXPECT_EQ(Long->Compare(*Memo, true, false, true), tcrEqual);
  EXPECT_EQ(MemoLong->Compare(*Short, true, false, true), tcrEqual);
  EXPECT_EQ(Memo->Compare(*Long, true, false, true), tcrLess);
  // A number against a text prefix compares its text.
  PVariant N = Make(INT, "12345"), P = Make(STR, "123");
  EXPECT_EQ(N->Compare(*P, true, false, true), tcrEqual);
}

TEST(TolvanVariantOps, MemoAgainstTextOfTheOtherWidth) {
  PVariant Memo = Make(MEMO, "abc"), Wide = Make(WSTR, "abc"), WMemo = Make(WMEMO, "abc"),
           Narrow = Make(STR, "abc");
  EXPECT_EQ(Memo->Compare(*Wide, true, false, false), tcrEqual);
  EXPECT_EQ(Wide->Compare(*Memo, true, false, false), tcrEqual);
  EXPECT_EQ(WMemo->Compare(*Narrow, true, false, false), tcrEqual);
  EXPECT_EQ(Narrow->Compare(*WMemo, true, false, false), tcrEqual);
  PVariant Blob = Make(BLOB, "abd");
  EXPECT_EQ(Blob->Compare(*Narrow, true, false, false), tcrGreater);
  EXPECT_EQ(Narrow->Compare(*Blob, true, false, false), tcrLess);
  EXPECT_EQ(TTolvanVariant::CompareBlobWithString(*Blob, false, *Narrow, false, false), tcrGreater);
  EXPECT_EQ(TTolvanVariant::CompareBlobWithString(*Blob, true, *Narrow, false, false), tcrLess);
}

TEST(TolvanVariantOps, NullCodes) {
  PVariant N1 = Make(INT, nullptr), N2 = Make(STR, nullptr), One = Make(INT, "1"),
           Two = Make(INT, "2");
  struct Row {
    const TTolvanVariant *A, *B;
    TTolvanCompareResult Kept, Folded;
  };
  const Row Rows[] = {{One.get(), One.get(), tcrEqual, tcrEqual},
                      {One.get(), Two.get(), tcrLess, tcrLess},
                      {Two.get(), One.get(), tcrGreater, tcrGreater},
                      {N1.get(), One.get(), tcrFirstNull, tcrLess},
                      {One.get(), N1.get(), tcrSecondNull, tcrGreater},
                      {N1.get(), N2.get(), tcrBothNull, tcrEqual}};
  for (const Row& R : Rows) {
    EXPECT_EQ(R.A->Compare(*R.B, true, false, false), R.Kept);
    EXPECT_EQ(R.A->Compare(*R.B, false, false, false), R.Folded);
    int Sign =
        CompareValueBuffersSign(R.A->Data(), R.B->Data(), R.A->DataType(), R.B->DataType(),
                                R.A->IsNull(), R.B->IsNull(), -1, false, DefaultCompareLocale);
    EXPECT_EQ(Sign, R.Folded == tcrLess ? -1 : R.Folded == tcrGreater ? 1 : 0);
  }
  // Nulls decide before types: even types that never compare give null codes.
  EXPECT_EQ(CompareValueBuffers(nullptr, nullptr, BLOB, INT, true, false, -1, false, 1024),
            tcrFirstNull);
}

TEST(TolvanVariantOps, CompareValueBuffersErrors) {
  int32_t I = 1;
  char Bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&I, Bytes, INT, BLOB, false, false, -1, false, 1024); }),
      30044);
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(Bytes, Bytes, BLOB, BLOB, false, false, -1, false, 1024); }),
      30047);
  EXPECT_EQ(CodeOf([&] {
              CompareValueBuffers(Bytes, Bytes, BYTES, BYTES, false, false, -1, false, 1024);
            }),
            30047);
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&I, nullptr, INT, INT, false, false, -1, false, 1024); }),
      30140);
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&I, nullptr, INT, I64, false, false, -1, false, 1024); }),
      30140);
  // A side that does not convert to the common type.
  int32_t Day = 5;
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&Day, "x", DATE, STR, false, false, -1, false, 1024); }),
      30051);
  double Big = 1e30;
  int8_t Small = 1;
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&Big, &Small, CUR, I8, false, false, -1, false, 1024); }),
      30051);
  // A known size too small for the type is refused, not read past.
  EXPECT_EQ(
      CodeOf([&] { CompareValueBuffers(&I, &I, I64, I64, false, false, -1, false, 1024, 4, 4); }),
      ERange);
  try {
    CompareValueBuffers(&I, Bytes, INT, BLOB, false, false, -1, false, 1024);
  } catch (const ETolvanException& E) {
    EXPECT_NE(
        std::string(E.what()).find("Cannot compare Incompatible DataTypes: 'INTEGER' and 'BLOB'"),
        std::string::npos)
        << E.what();
  }
}

TEST(TolvanVariantOps, RawBuffersAtAnyAlignment) {
  // Keys inside records sit at odd offsets.
  alignas(8) unsigned char Rec[64] = {};
  const char16_t W1[] = u"abc", W2[] = u"abd";
  std::memcpy(Rec + 1, W1, sizeof W1);
  std::memcpy(Rec + 17, W2, sizeof W2);
  EXPECT_EQ(CompareValueBuffers(Rec + 1, Rec + 17, WSTR, WSTR, false, false, -1, false, 1024),
            tcrLess);
  EXPECT_EQ(CompareValueBuffers(Rec + 1, Rec + 17, WSTR, WSTR, false, false, 2, false, 1024),
            tcrEqual);
  int64_t A = -5, B = 7;
  std::memcpy(Rec + 33, &A, 8);
  std::memcpy(Rec + 43, &B, 8);
  EXPECT_EQ(CompareValueBuffersSign(Rec + 33, Rec + 43, I64, I64, false, false, -1, false, 1024),
            -1);
  EXPECT_EQ(
      CompareValueBuffersSign(Rec + 43, Rec + 33, I64, INT, false, false, -1, false, 1024, 8, 4),
      1);
  // NaN sorts first and equals itself.
  double Nan = std::numeric_limits<double>::quiet_NaN(), Neg = -1e300;
  EXPECT_EQ(CompareValueBuffers(&Nan, &Neg, FLT, FLT, false, false, -1, false, 1024), tcrLess);
  EXPECT_EQ(CompareValueBuffers(&Neg, &Nan, FLT, FLT, false, false, -1, false, 1024), tcrGreater);
  EXPECT_EQ(CompareValueBuffers(&Nan, &Nan, FLT, FLT, false, false, -1, false, 1024), tcrEqual);
}

namespace {

// Numbers of every numeric type over a range of awkward values (those a type cannot hold are
// left out).
std::vector<PVariant> NumericSamples() {
  const TTolvanValueType Types[] = {I8, I16, INT, I64, U8, U16, U32, SGL, FLT, EXT, CUR};
  const char* const Values[] = {"0",
                                "1",
                                "-1",
                                "127",
                                "-128",
                                "255",
                                "-2.5",
                                "0.5",
                                "32767",
                                "65535",
                                "-32768",
                                "2147483647",
                                "-2147483648",
                                "4294967295",
                                "9223372036854775807",
                                I64Min,
                                "16777217",
                                "9007199254740993",
                                "1E20",
                                "3.4E38",
                                "1E300",
                                "-922337203685477"};
  std::vector<PVariant> Out;
  for (TTolvanValueType T : Types)
    for (const char* V : Values) {
      auto P = std::make_unique<TTolvanVariant>(T);
      if (CodeOf([&] { P->SetAsString(V); }) == 0 && !P->IsNull())
        Out.push_back(std::move(P));
    }
  return Out;
}

} // namespace

TEST(TolvanVariantOps, MixedNumbersCompareAsIfConverted) {
  // Reference: each side converted to the common type with ConvertValueBuffer, then compared as
  // two values of that one type; two integers, by their values as 64-bit integers.
  std::vector<PVariant> S = NumericSamples();
  for (const PVariant& A : S)
    for (const PVariant& B : S) {
      TTolvanValueType E = CommonValueType(A->DataType(), B->DataType());
      int32_t RefErr = 0;
      TTolvanCompareResult Ref = tcrEqual;
      RefErr = CodeOf([&] {
        if (A->IsInteger() && B->IsInteger()) {
          const int64_t X = A->GetAsLargeInt(), Y = B->GetAsLargeInt();
          Ref = X < Y ? tcrLess : X > Y ? tcrGreater : tcrEqual;
          return;
        }
        int32_t SA = A->DataSize(), SB = B->DataSize();
        std::unique_ptr<void, TTolvanMemDeleter> CA, CB;
        const void* PA = A->Data();
        const void* PB = B->Data();
        if (A->DataType() != E) {
          CA.reset(ConvertValueBuffer(PA, SA, A->DataType(), E, SA));
          PA = CA.get();
        }
        if (B->DataType() != E) {
          CB.reset(ConvertValueBuffer(PB, SB, B->DataType(), E, SB));
          PB = CB.get();
        }
        Ref = CompareValueBuffers(PA, PB, E, E, false, false, -1, false, 1024, SA, SB);
      });
      TTolvanCompareResult Got = tcrEqual;
      int32_t Err = CodeOf([&] { Got = A->Compare(*B, true, false, false); });
      SCOPED_TRACE(std::string(ValueTypeToSQLName(A->DataType())) + " " + A->GetAsString() +
                   " vs " + std::string(ValueTypeToSQLName(B->DataType())) + " " +
                   B->GetAsString());
      EXPECT_EQ(Err, RefErr);
      if (Err == 0 && RefErr == 0) {
        EXPECT_EQ(Got, Ref);
      }
    }
}

// Integers compare by their values whatever the common type, at the limits of every width.
TEST(TolvanVariantOps, SignedAgainstUnsignedComparesByValue) {
  struct Case {
    TTolvanValueType AT;
    const char* A;
    TTolvanValueType BT;
    const char* B;
    TTolvanCompareResult Want;
  };
  const Case Cases[] = {
      {I8, "-1", U16, "5", tcrLess},          {I8, "-128", U16, "0", tcrLess},
      {I8, "-1", U16, "65535", tcrLess},      {I8, "127", U16, "127", tcrEqual},
      {I16, "-1", U32, "5", tcrLess},         {I16, "-32768", U32, "4294967295", tcrLess},
      {I16, "32767", U32, "32767", tcrEqual}, {I16, "-1", U16, "0", tcrLess},
      {I8, "-128", U8, "255", tcrLess},       {INT, "-2147483648", U32, "4294967295", tcrLess},
      {I64, I64Min, U32, "0", tcrLess},       {I64, I64Max, U32, "4294967295", tcrGreater},
      {U16, "0", I8, "-1", tcrGreater},       {U32, "2147483648", INT, "-2147483648", tcrGreater},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(std::string(ValueTypeToSQLName(C.AT)) + " " + C.A + " vs " +
                 std::string(ValueTypeToSQLName(C.BT)) + " " + C.B);
    PVariant A = Make(C.AT, C.A), B = Make(C.BT, C.B);
    const TTolvanCompareResult Swapped = C.Want == tcrLess      ? tcrGreater
                                         : C.Want == tcrGreater ? tcrLess
                                                                : tcrEqual;
    EXPECT_EQ(A->Compare(*B, true, false, false), C.Want);
    EXPECT_EQ(B->Compare(*A, true, false, false), Swapped);
    EXPECT_EQ(CompareValueBuffersSign(A->Data(), B->Data(), C.AT, C.BT, false, false, -1, false,
                                      1024, A->DataSize(), B->DataSize()),
              C.Want == tcrLess      ? -1
              : C.Want == tcrGreater ? 1
                                     : 0);
  }
}

namespace {

PVariant FromBytes(TTolvanValueType T, const void* P, int32_t Size) {
  auto V = std::make_unique<TTolvanVariant>(T);
  V->SetBuffer(const_cast<void*>(P), Size, T, true, true);
  return V;
}

// NaNs of every floating type, each with two different bit patterns.
std::vector<PVariant> NaNValues() {
  std::vector<PVariant> V;
  const uint32_t S1 = 0x7FC00000u, S2 = 0xFFC00123u;
  V.push_back(FromBytes(SGL, &S1, 4));
  V.push_back(FromBytes(SGL, &S2, 4));
  const uint64_t D1 = 0x7FF8000000000000ull, D2 = 0xFFF8000000000456ull;
  for (TTolvanValueType T : {FLT, CUR}) {
    V.push_back(FromBytes(T, &D1, 8));
    V.push_back(FromBytes(T, &D2, 8));
  }
  const uint8_t E1[10] = {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x7F};
  const uint8_t E2[10] = {7, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xFF};
  V.push_back(FromBytes(EXT, E1, 10));
  V.push_back(FromBytes(EXT, E2, 10));
  return V;
}

} // namespace

// Within a float type NaN sorts below every number and equals itself; the same holds across the
// float types and CURRENCY, and against integers, dates and times, without any exception.
TEST(TolvanVariantOps, NaNOfEveryFloatTypeSortsLowest) {
  std::vector<PVariant> Numbers;
  Numbers.push_back(Make(SGL, "-3.4E38"));
  Numbers.push_back(Make(FLT, "-1E300"));
  Numbers.push_back(Make(EXT, "-1E4000"));
  Numbers.push_back(Make(CUR, "-922337203685477"));
  Numbers.push_back(Make(I64, I64Min));
  Numbers.push_back(Make(INT, "-2147483648"));
  Numbers.push_back(Make(U32, "0"));
  Numbers.push_back(Make(I8, "1"));
  Numbers.push_back(Make(LOG, "F"));
  Numbers.push_back(Make(DATE, "-2147483647"));
  Numbers.push_back(Make(TIME, "0"));
  Numbers.push_back(Make(DT, "-2147483647:0"));
  const double Inf = -std::numeric_limits<double>::infinity();
  Numbers.push_back(FromBytes(FLT, &Inf, 8));
  std::vector<PVariant> NaNs = NaNValues();
  for (const PVariant& N : NaNs) {
    for (const PVariant& X : Numbers) {
      if (CommonValueType(N->DataType(), X->DataType()) == NONE)
        continue; // CURRENCY and the date types do not meet at all
      SCOPED_TRACE(std::string(ValueTypeToSQLName(N->DataType())) + " NaN vs " +
                   std::string(ValueTypeToSQLName(X->DataType())) + " " + Render(*X));
      int32_t Err = CodeOf([&] {
        EXPECT_EQ(N->Compare(*X, true, false, false), tcrLess);
        EXPECT_EQ(X->Compare(*N, true, false, false), tcrGreater);
        EXPECT_EQ(CompareValueBuffersSign(N->Data(), X->Data(), N->DataType(), X->DataType(), false,
                                          false, -1, false, 1024),
                  -1);
      });
      EXPECT_EQ(Err, 0);
    }
    for (const PVariant& M : NaNs) {
      SCOPED_TRACE(std::string(ValueTypeToSQLName(N->DataType())) + " NaN vs " +
                   std::string(ValueTypeToSQLName(M->DataType())) + " NaN");
      EXPECT_EQ(CodeOf([&] { EXPECT_EQ(N->Compare(*M, true, false, false), tcrEqual); }), 0);
    }
  }
  // NaNs of one type compare equal, so they hash alike whatever their bits.
  for (size_t I = 0; I < NaNs.size(); I += 2)
    EXPECT_EQ(NaNs[I]->Hash(), NaNs[I + 1]->Hash()) << ValueTypeToSQLName(NaNs[I]->DataType());
  EXPECT_NE(NaNs[0]->Hash(), Make(SGL, "0")->Hash());
}

// ---------------------------------------------------------------------------------------------
// Hash
// ---------------------------------------------------------------------------------------------

namespace {

// Bitwise reflected CRC-32, polynomial 0xEDB88320, no inversions.
uint32_t RefCrc(uint32_t Crc, const void* P, size_t N) {
  const unsigned char* B = static_cast<const unsigned char*>(P);
  for (size_t I = 0; I < N; ++I) {
    Crc ^= B[I];
    for (int K = 0; K < 8; ++K)
      Crc = (Crc >> 1) ^ (0xEDB88320u & (0u - (Crc & 1u)));
  }
  return Crc;
}

} // namespace

TEST(TolvanVariantOps, Hash) {
  EXPECT_EQ(Make(INT, nullptr)->Hash(), 0x73B58EAFu);
  EXPECT_EQ(Make(STR, nullptr)->Hash(), 0x73B58EAFu);

  EXPECT_EQ(Make(STR, "abc")->Hash(), RefCrc(0xDE3C6A08u, "abc", 3));
  int32_t Five = 5;
  EXPECT_EQ(Make(INT, "5")->Hash(), RefCrc(0xDE3C6A08u, &Five, 4));
  const char16_t W[] = u"ab";
  EXPECT_EQ(Make(WSTR, "ab")->Hash(), RefCrc(0xDE3C6A08u, W, 4));

  // Text of one width hashes alike whatever its type, and whatever follows its terminator.
  uint32_t H = Make(STR, "abc")->Hash();
  EXPECT_EQ(Make(CHR, "abc")->Hash(), H);
  EXPECT_EQ(Make(MEMO, "abc")->Hash(), H);
  TTolvanVariant Padded;
  Padded.SetBuffer(const_cast<char*>("abc\0zz"), 6, CHR, true, true);
  EXPECT_EQ(Padded.Hash(), H);
  EXPECT_EQ(Make(WMEMO, "abc")->Hash(), Make(WSTR, "abc")->Hash());
  EXPECT_EQ(Make(WCHR, "abc")->Hash(), Make(WSTR, "abc")->Hash());

  // Equal values of one type hash equal, different ones (almost always) differ.
  EXPECT_EQ(Make(FLT, "2.5")->Hash(), Make(FLT, "2.5")->Hash());
  EXPECT_NE(Make(WSTR, "abcd")->Hash(), Make(WSTR, "abxy")->Hash());
  EXPECT_NE(Make(INT, "1")->Hash(), Make(INT, "2")->Hash());
  // Different widths are different bytes, although the values compare equal.
  EXPECT_EQ(Make(INT, "1")->Compare(*Make(I64, "1"), true, false, false), tcrEqual);
  EXPECT_NE(Make(INT, "1")->Hash(), Make(I64, "1")->Hash());
}

// ---------------------------------------------------------------------------------------------
// Every operator over extreme values: clean results or class-library / engine exceptions only,
// and nothing the undefined-behaviour sanitizer objects to.
// ---------------------------------------------------------------------------------------------

namespace {

std::vector<PVariant> ExtremeValues() {
  std::vector<PVariant> V;
  auto Add = [&](TTolvanValueType T, const char* S) { V.push_back(Make(T, S)); };
  for (const char* S : {"-128", "127", "0", "-1", "1"})
    Add(I8, S);
  for (const char* S : {"-32768", "32767", "-1"})
    Add(I16, S);
  for (const char* S : {"-2147483648", "2147483647", "-1", "0"})
    Add(INT, S);
  for (const char* S : {I64Min, I64Max, "-1", "63", "64"})
    Add(I64, S);
  for (const char* S : {"0", "255", "128"})
    Add(U8, S);
  for (const char* S : {"65535", "32768"})
    Add(U16, S);
  for (const char* S : {"4294967295", "2147483648", "0"})
    Add(U32, S);
  for (const char* S : {"3.4E38", "-3.4E38", "1E-45", "0"})
    Add(SGL, S);
  for (const char* S : {"1.7976931348623157E308", "-1.7976931348623157E308", "5E-324", "0", "-0.5"})
    Add(FLT, S);
  for (const char* S : {"1E4000", "-1E4000", "1E-4000", "9.3E18"})
    Add(EXT, S);
  for (const char* S : {"922337203685477", "-922337203685477", "0.0001"})
    Add(CUR, S);
  for (const char* S : {"-2147483648", "2147483647", "0"})
    Add(DATE, S);
  for (const char* S : {"-1", "86399999", "0"})
    Add(TIME, S);
  for (const char* S : {"-2147483648:-1", "2147483647:86399999", "0:-1", "-1:2147483647"})
    Add(DT, S);
  Add(LOG, "T");
  Add(LOG, "F");
  for (const char* S : {"", "abc", "12", "-9223372036854775809", "1E400"})
    Add(STR, S);
  Add(CHR, "x");
  Add(WSTR, "\xFF\xFF");
  Add(WCHR, "7");
  Add(MEMO, "memo");
  Add(WMEMO, "wide");
  Add(BLOB, "\x01\x02\x03");
  Add(BYTES, "ab");
  Add(VBYTES, "abc");
  Add(INT, nullptr);
  Add(STR, nullptr);
  Add(NONE, nullptr);
  for (double D :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    auto P = std::make_unique<TTolvanVariant>(FLT);
    P->SetTypedValue(&D, FLT);
    V.push_back(std::move(P));
  }
  return V;
}

void Survives(const std::function<void()>& F, const std::string& What) {
  try {
    F();
  } catch (const Exception&) {
  } catch (const std::exception& E) {
    ADD_FAILURE() << What << ": " << E.what();
  }
}

} // namespace

TEST(TolvanVariantOps, EveryOperatorOnExtremeValues) {
  std::vector<PVariant> X = ExtremeValues();
  auto Copy = [](const TTolvanVariant& S) {
    auto P = std::make_unique<TTolvanVariant>();
    P->Assign(S, true);
    return P;
  };
  const char* const Binary[] = {"+", "*",  "/",  "mod",   "pow",   "&",  "|",
                                "^", "<<", ">>", "round", "trunc", "hex"};
  const char* const Unary[] = {"neg", "abs", "sign", "ceil", "floor", "~", "round", "trunc", "hex"};
  for (const PVariant& A : X) {
    for (const char* Op : Unary) {
      PVariant S = Copy(*A);
      Survives([&] { Apply(Op, *S, nullptr); },
               std::string(Op) + " " + std::string(ValueTypeToSQLName(A->DataType())));
      Survives([&] { S->Hash(); }, "hash");
    }
    Survives([&] { A->Hash(); }, "hash");
    for (const PVariant& B : X) {
      for (const char* Op : Binary) {
        PVariant S = Copy(*A), O = Copy(*B);
        Survives([&] { Apply(Op, *S, O.get()); }, std::string(Op));
      }
      PVariant S = Copy(*A), O = Copy(*B);
      Survives([&] { S->Random(O.get()); }, "random");
      for (int Flags = 0; Flags < 8; ++Flags)
        Survives([&] { A->Compare(*B, Flags & 1, Flags & 2, Flags & 4); }, "compare");
      Survives(
          [&] {
            CompareValueBuffers(A->Data(), B->Data(), A->DataType(), B->DataType(), A->IsNull(),
                                B->IsNull(), 3, true, 1024, A->DataSize(), B->DataSize());
          },
          "compare buffers");
    }
  }
}

TEST(VariantHash, EqualValuesWithDifferentBytesHashEqually) {
  TTolvanVariant A(tvtFloat), B(tvtFloat);
  A.SetAsDouble(0.0);
  B.SetAsDouble(-0.0);
  EXPECT_EQ(A.Hash(), B.Hash());
  TTolvanVariant T1(tvtLogical), T2(tvtLogical);
  T1.SetAsBoolean(true);
  int16_t One = 1;
  T2.SetBuffer(&One, 2, tvtLogical, true, true);
  EXPECT_EQ(T1.Hash(), T2.Hash());
  TTolvanVariant S1(tvtSingle), S2(tvtSingle);
  S1.SetAsSingle(0.0f);
  S2.SetAsSingle(-0.0f);
  EXPECT_EQ(S1.Hash(), S2.Hash());
  EXPECT_NE(A.Hash(), TTolvanVariant(tvtFloat).Hash());
}
