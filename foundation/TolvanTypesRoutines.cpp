#include "foundation/TolvanTypesRoutines.h"

#include <cstring>
#include <string>

#include "classlib/Strings.h"

#include "classlib/Format.h"
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMemory.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

const TSQLFieldType TSQLFieldTypes[SQLFieldTypeCount] = {
    {"CHAR", tftChar, tvtChar, ftFixedChar},
    {"FIXEDCHAR", tftChar, tvtChar, ftFixedChar},
    {"STRING", tftVarchar, tvtString, ftString},
    {"VARCHAR", tftVarchar, tvtString, ftString},
    {"VARCHAR2", tftVarchar, tvtString, ftString},
    {"WIDECHAR", tftWideChar, tvtWideChar, ftWideString},
    {"FIXEDWIDECHAR", tftWideChar, tvtWideChar, ftWideString},
    {"WIDESTRING", tftWideVarchar, tvtWideString, ftWideString},
    {"WIDEVARCHAR", tftWideVarchar, tvtWideString, ftWideString},
    {"SIGNEDINT16", tftSmallInt, tvtSignedInt16, ftSmallint},
    {"SMALLINT", tftSmallInt, tvtSignedInt16, ftSmallint},
    {"INTEGER", tftInteger, tvtInteger, ftInteger},
    {"SIGNEDINT32", tftInteger, tvtInteger, ftInteger},
    {"SIGNEDINT64", tftLargeInt, tvtSignedInt64, ftLargeint},
    {"LARGEINT", tftLargeInt, tvtSignedInt64, ftLargeint},
    {"INT64", tftLargeInt, tvtSignedInt64, ftLargeint},
    {"UNSIGNEDINT16", tftWord, tvtUnsignedInt16, ftWord},
    {"WORD", tftWord, tvtUnsignedInt16, ftWord},
    {"SIGNEDINT8", tftShortInt, tvtSignedInt8, ftInteger},
    {"SHORTINT", tftShortInt, tvtSignedInt8, ftInteger},
    {"UNSIGNEDINT8", tftByte, tvtUnsignedInt8, ftWord},
    {"BYTE", tftByte, tvtUnsignedInt8, ftWord},
    {"UNSIGNEDINT32", tftCardinal, tvtUnsignedInt32, ftLargeint},
    {"CARDINAL", tftCardinal, tvtUnsignedInt32, ftLargeint},
    {"AUTOINC", tftAutoInc, tvtInteger, ftAutoInc},
    {"AUTOINCSHORTINT", tftAutoIncShortInt, tvtSignedInt8, ftAutoInc},
    {"AUTOINCSMALLINT", tftAutoIncSmallInt, tvtSignedInt16, ftAutoInc},
    {"AUTOINCINTEGER", tftAutoIncInteger, tvtInteger, ftAutoInc},
    {"AUTOINCLARGEINT", tftAutoIncLargeInt, tvtSignedInt64, ftLargeint},
    {"AUTOINCBYTE", tftAutoIncByte, tvtUnsignedInt8, ftAutoInc},
    {"AUTOINCWORD", tftAutoIncWord, tvtUnsignedInt16, ftAutoInc},
    {"AUTOINCCARDINAL", tftAutoIncCardinal, tvtUnsignedInt32, ftAutoInc},
    {"FLOAT", tftDouble, tvtFloat, ftFloat},
    {"SINGLE", tftSingle, tvtSingle, ftFloat},
    {"DOUBLE", tftDouble, tvtFloat, ftFloat},
    {"EXTENDED", tftExtended, tvtExtended, ftFloat},
    {"LOGICAL", tftBoolean, tvtLogical, ftBoolean},
    {"BOOLEAN", tftBoolean, tvtLogical, ftBoolean},
    {"BOOL", tftBoolean, tvtLogical, ftBoolean},
    {"BIT", tftBoolean, tvtLogical, ftBoolean},
    {"CURRENCY", tftCurrency, tvtCurrency, ftCurrency},
    {"MONEY", tftCurrency, tvtCurrency, ftCurrency},
    {"DATE", tftDate, tvtDate, ftDate},
    {"TIME", tftTime, tvtTime, ftTime},
    {"DATETIME", tftDateTime, tvtDateTime, ftDateTime},
    {"TIMESTAMP", tftTimeStamp, tvtDateTime, ftTimeStamp},
    {"BYTES", tftBytes, tvtBytes, ftBytes},
    {"VARBYTES", tftVarBytes, tvtVarBytes, ftVarBytes},
    {"BLOB", tftBLOB, tvtBLOB, ftBlob},
    {"BLOB", tftBLOB, tvtBLOB, ftParadoxOle},
    {"BLOB", tftBLOB, tvtBLOB, ftTypedBinary},
    {"BLOB", tftBLOB, tvtBLOB, ftDBaseOle},
    {"GRAPHIC", tftGraphic, tvtBLOB, ftGraphic},
    {"MEMO", tftMemo, tvtMemo, ftMemo},
    {"CLOB", tftMemo, tvtMemo, ftMemo},
    {"FORMATTEDMEMO", tftFormattedMemo, tvtMemo, ftFmtMemo},
    {"WIDEMEMO", tftWideMemo, tvtWideMemo, ftMemo},
    {"WIDECLOB", tftWideMemo, tvtWideMemo, ftMemo},
};

namespace {
constexpr std::string_view UnknownName = "Unknown";
}

TTolvanValueType ValueTypeOfFieldType(TTolvanFieldType FieldType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.FieldType == FieldType)
      return R.ValueType;
  return tvtNone;
}

TTolvanFieldType FieldTypeOfValueType(TTolvanValueType ValueType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.ValueType == ValueType)
      return R.FieldType;
  return tftNone;
}

TTolvanFieldType FieldTypeOfDataSetType(TFieldType DataSetType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.DataSetType == DataSetType)
      return R.FieldType;
  throw ETolvanException::CreateFmt(30289, SUnknownDataType, std::to_string(DataSetType));
}

TFieldType DataSetTypeOfFieldType(TTolvanFieldType FieldType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.FieldType == FieldType)
      return R.DataSetType;
  return ftUnknown;
}

std::string_view FieldTypeToSQLName(TTolvanFieldType FieldType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.FieldType == FieldType)
      return R.SQLName;
  return UnknownName;
}

std::string_view ValueTypeToSQLName(TTolvanValueType ValueType) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.ValueType == ValueType)
      return R.SQLName;
  return UnknownName;
}

TTolvanFieldType FieldTypeOfSQLName(std::string_view UpperName) {
  for (const TSQLFieldType& R : TSQLFieldTypes)
    if (R.SQLName == UpperName)
      return R.FieldType;
  return tftNone;
}

int32_t ValueTypeDataSize(TTolvanValueType ValueType, int32_t Length) {
  int64_t N = Length;
  int64_t Size;
  switch (ValueType) {
  case tvtChar:
  case tvtString:
    Size = N + 1;
    break;
  case tvtWideChar:
  case tvtWideString:
    Size = 2 * (N + 1);
    break;
  case tvtSignedInt8:
  case tvtUnsignedInt8:
    return 1;
  case tvtSignedInt16:
  case tvtUnsignedInt16:
  case tvtLogical:
    return 2;
  case tvtInteger:
  case tvtUnsignedInt32:
  case tvtSingle:
  case tvtDate:
  case tvtTime:
    return 4;
  case tvtSignedInt64:
  case tvtFloat:
  case tvtDateTime:
  case tvtBLOB:
  case tvtMemo:
  case tvtWideMemo:
  case tvtCurrency:
    return 8;
  case tvtExtended:
    return 10;
  case tvtBytes:
  case tvtVarBytes:
    Size = N;
    break;
  default:
    throw ETolvanException::CreateFmt(30050, SUnknownDataType, ValueTypeToSQLName(ValueType));
  }
  if (Length < 0 || Size > INT32_MAX)
    throw ERangeError(std::string(SysConst::SRangeError));
  return static_cast<int32_t>(Size);
}

namespace {

void CopyBytes(const void* Source, size_t Bytes, int32_t BufferSize, void*& Buffer, int32_t& Size) {
  // Zero-filled, so a text's terminator is in place.
  Buffer = MemoryManager.AllocMem(BufferSize);
  std::memcpy(Buffer, Source, Bytes);
  Size = BufferSize;
}

} // namespace

void CopyTypedValue(TTolvanValueType ValueType, const void* Source, void*& Buffer, int32_t& Size) {
  Buffer = nullptr;
  Size = 0;
  if (IsPlainStringValueType(ValueType)) {
    if (IsWideStringValueType(ValueType)) {
      const WideString& S = *static_cast<const WideString*>(Source);
      if (!S.empty())
        CopyBytes(S.data(), S.size() * 2, ValueTypeDataSize(ValueType, static_cast<int32_t>(S.size())),
                  Buffer, Size);
    } else {
      const AnsiString& S = *static_cast<const AnsiString*>(Source);
      if (!S.empty())
        CopyBytes(S.data(), S.size(), ValueTypeDataSize(ValueType, static_cast<int32_t>(S.size())),
                  Buffer, Size);
    }
    return;
  }
  if (ValueType < tvtChar || ValueType > tvtVarBytes || ValueType == tvtBytes || ValueType == tvtVarBytes)
    return;
  int32_t N = ValueTypeDataSize(ValueType, 0);
  CopyBytes(Source, N, N, Buffer, Size);
}

int32_t ValueByteLength(const void* Buffer, int32_t BufferSize, TTolvanFieldType FieldType) {
  if (!Buffer || BufferSize <= 0)
    return 0;
  const unsigned char* P = static_cast<const unsigned char*>(Buffer);
  if (IsWideFieldType(FieldType)) {
    int32_t I = 0;
    for (; I + 1 < BufferSize; I += 2)
      if (P[I] == 0 && P[I + 1] == 0)
        return I;
    return I;
  }
  const void* Z = std::memchr(P, 0, static_cast<size_t>(BufferSize));
  return Z ? static_cast<int32_t>(static_cast<const unsigned char*>(Z) - P) : BufferSize;
}

} // namespace tolvan
