// TolvanTypesRoutines.h: the engine's column and value types and the table that ties them to
// SQL type names and to the dataset framework's field types.
//
// TTolvanFieldType is the declared type of a column; TTolvanValueType is how a value is stored.
// TSQLFieldTypes is a fixed 58-row table; every lookup scans it from the first row and takes
// the first match, so the row order decides each mapping (INTEGER maps to Integer, not AutoInc).
// The lookups run per statement or definition, never per record.
//
// Threads: constant data and pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/DB.h"

namespace tolvan {

enum TTolvanFieldType : uint8_t {
  tftNone = 0,
  tftChar = 1,
  tftVarchar = 2,
  tftWideChar = 3,
  tftWideVarchar = 4,
  tftShortInt = 5,
  tftSmallInt = 6,
  tftInteger = 7,
  tftLargeInt = 8,
  tftByte = 9,
  tftWord = 10,
  tftCardinal = 11,
  tftAutoInc = 12,
  tftAutoIncShortInt = 13,
  tftAutoIncSmallInt = 14,
  tftAutoIncInteger = 15,
  tftAutoIncLargeInt = 16,
  tftAutoIncByte = 17,
  tftAutoIncWord = 18,
  tftAutoIncCardinal = 19,
  tftSingle = 20,
  tftDouble = 21,
  tftExtended = 22,
  tftBoolean = 23,
  tftCurrency = 24,
  tftDate = 25,
  tftTime = 26,
  tftDateTime = 27,
  tftTimeStamp = 28,
  tftBytes = 29,
  tftVarBytes = 30,
  tftBLOB = 31,
  tftGraphic = 32,
  tftMemo = 33,
  tftFormattedMemo = 34,
  tftWideMemo = 35
};
inline constexpr int TolvanFieldTypeCount = 35;

// Storage types. Sizes for a text or byte length n (ValueTypeDataSize):
//   CHAR, STRING n + 1 (zero-terminated cp1252); WIDECHAR, WIDESTRING 2(n + 1) (zero-terminated
//   UTF-16); integers 1/2/4/8; SINGLE 4; FLOAT 8; EXTENDED 10 (x87); DATE, TIME 4; DATETIME 8
//   (date, then time); BLOB, MEMO, WIDEMEMO 8 (the record's BLOB reference); LOGICAL 2;
//   CURRENCY 8 (an IEEE double); BYTES, VARBYTES n.
enum TTolvanValueType : uint8_t {
  tvtNone = 0,
  tvtChar = 1,
  tvtWideChar = 2,
  tvtString = 3,
  tvtWideString = 4,
  tvtSignedInt8 = 5,
  tvtSignedInt16 = 6,
  tvtInteger = 7,
  tvtSignedInt64 = 8,
  tvtUnsignedInt8 = 9,
  tvtUnsignedInt16 = 10,
  tvtUnsignedInt32 = 11,
  tvtSingle = 12,
  tvtFloat = 13,
  tvtExtended = 14,
  tvtDate = 15,
  tvtTime = 16,
  tvtDateTime = 17,
  tvtBLOB = 18,
  tvtMemo = 19,
  tvtWideMemo = 20,
  tvtLogical = 21,
  tvtCurrency = 22,
  tvtBytes = 23,
  tvtVarBytes = 24
};
inline constexpr int TolvanValueTypeCount = 24;

struct TSQLFieldType {
  std::string_view SQLName;
  TTolvanFieldType FieldType;
  TTolvanValueType ValueType;
  TFieldType DataSetType;
};

inline constexpr int SQLFieldTypeCount = 58;
extern const TSQLFieldType TSQLFieldTypes[SQLFieldTypeCount];

// Lookups; each takes the first matching row.
TTolvanValueType ValueTypeOfFieldType(TTolvanFieldType FieldType); // tvtNone if none
TTolvanFieldType FieldTypeOfValueType(TTolvanValueType ValueType); // tftNone if none
TTolvanFieldType FieldTypeOfDataSetType(TFieldType DataSetType);   // raises 30289 if none
TFieldType DataSetTypeOfFieldType(TTolvanFieldType FieldType);     // ftUnknown if none
std::string_view FieldTypeToSQLName(TTolvanFieldType FieldType);   // "Unknown" if none
std::string_view ValueTypeToSQLName(TTolvanValueType ValueType);   // "Unknown" if none
TTolvanFieldType FieldTypeOfSQLName(std::string_view UpperName);   // tftNone if none

// Bytes a value of the type takes for a text or byte length; raises 30050 for an unknown type
// and ERangeError for a negative length or a size beyond 32 bits.
int32_t ValueTypeDataSize(TTolvanValueType ValueType, int32_t Length);

// Value-type predicates.
constexpr bool IsBlobValueType(TTolvanValueType T) { return T >= tvtBLOB && T <= tvtWideMemo; }
constexpr bool IsVarStringValueType(TTolvanValueType T) {
  return T == tvtString || T == tvtWideString;
}
constexpr bool IsWideStringValueType(TTolvanValueType T) {
  return T == tvtWideChar || T == tvtWideString;
}
constexpr bool IsPlainStringValueType(TTolvanValueType T) {
  return T >= tvtChar && T <= tvtWideString;
}
constexpr bool IsStringValueType(TTolvanValueType T) {
  return IsPlainStringValueType(T) || T == tvtMemo || T == tvtWideMemo;
}
constexpr bool IsWideValueType(TTolvanValueType T) {
  return T == tvtWideChar || T == tvtWideString || T == tvtWideMemo;
}
constexpr bool IsIntegerValueType(TTolvanValueType T) {
  return T >= tvtSignedInt8 && T <= tvtUnsignedInt32;
}
constexpr bool IsNumericValueType(TTolvanValueType T) {
  return (T >= tvtSignedInt8 && T <= tvtExtended) || T == tvtCurrency;
}
constexpr bool IsDateTimeValueType(TTolvanValueType T) { return T >= tvtDate && T <= tvtDateTime; }

// Field-type predicates.
constexpr bool IsBlobFieldType(TTolvanFieldType T) { return T >= tftBLOB && T <= tftWideMemo; }
constexpr bool IsWideFieldType(TTolvanFieldType T) {
  return T == tftWideChar || T == tftWideVarchar || T == tftWideMemo;
}
constexpr bool IsBytesFieldType(TTolvanFieldType T) { return T == tftBytes || T == tftVarBytes; }
// The types whose definition carries a size: the text and byte columns of fixed or bounded
// length.
constexpr bool IsSizedFieldType(TTolvanFieldType T) {
  return T == tftChar || T == tftVarchar || T == tftWideChar || T == tftWideVarchar ||
         IsBytesFieldType(T);
}
constexpr bool IsAutoIncFieldType(TTolvanFieldType T) {
  return T >= tftAutoInc && T <= tftAutoIncCardinal;
}
constexpr bool IsScalarFieldType(TTolvanFieldType T) { return T >= tftChar && T <= tftTimeStamp; }

// Copies a typed value into a new MemoryManager buffer, which the caller then owns. For CHAR and
// STRING, Source points at an AnsiString; for WIDECHAR and WIDESTRING at a WideString: the
// buffer holds the characters and a terminator (an empty string gives no buffer and size 0).
// Other types copy ValueTypeDataSize(type, 0) bytes from Source. An unknown type, and BYTES and
// VARBYTES (whose size needs a length), give no buffer and raise nothing.
void CopyTypedValue(TTolvanValueType ValueType, const void* Source, void*& Buffer, int32_t& Size);

// Byte length of a zero-terminated text inside Buffer (at most BufferSize bytes are looked at):
// up to the first 16-bit zero for a wide field type, up to the first zero byte otherwise.
int32_t ValueByteLength(const void* Buffer, int32_t BufferSize, TTolvanFieldType FieldType);

} // namespace tolvan
