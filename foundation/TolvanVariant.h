// TolvanVariant.h: TTolvanVariant, the engine's one representation of a single value.
//
// A value holds a value type, the bytes of the value in that type's storage form and a null
// flag. It either owns its buffer (a MemoryManager block it frees) or borrows one (usually a
// field inside a record buffer), which it never frees or resizes; a borrowed value must not
// outlive what it borrows from. Text values are zero-terminated in their buffer and their size
// counts the terminator; for BLOB, MEMO and WIDEMEMO the size is the content length and the
// block may be larger (values read from records carry a terminator after the content).
//
// The value is null when its flag is raised or it has no buffer; SetNull raises the flag and
// keeps the buffer.
//
// Stream form (little-endian):
//   offset  width     content
//   0       1         value type
//   1       1         null flag, 0 or 0xFF
//   2       4         data size, signed        (only when the null flag is 0)
//   6       size      the data bytes           (only when the null flag is 0)
//
// Threads: a value is not synchronised; its owner serialises access.
#pragma once

#include <cstdint>
#include <string>

#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "classlib/Variants.h"
#include "foundation/TolvanConverts.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

class TStream;

// 0 equal, 1 less, 2 greater, 3 first null, 4 second null, 5 both null (TolvanVariantOps.h).
enum TTolvanCompareResult : uint8_t;

class TTolvanVariant {
public:
  explicit TTolvanVariant(TTolvanValueType DataType = tvtNone) : FDataType(DataType) {}
  virtual ~TTolvanVariant();
  TTolvanVariant(const TTolvanVariant&) = delete;
  TTolvanVariant& operator=(const TTolvanVariant&) = delete;

  TTolvanValueType DataType() const { return FDataType; }
  int32_t DataSize() const { return FDataSize; }
  void* Data() const { return FData; }
  bool IsBorrowed() const { return FIsBorrowed != 0; }
  uint8_t NullFlag() const { return FNullFlag; }

  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream) const;
  // Copy: an owned copy of the source's bytes (for BLOB types the whole block); otherwise the
  // value borrows the source's buffer.
  virtual void Assign(const TTolvanVariant& Source, bool Copy);

  // Releases an owned buffer; the value becomes a null of the given type.
  void Clear(TTolvanValueType DataType = tvtNone);
  void SetNull() { FNullFlag = 0xFF; }
  // Adopts a MemoryManager buffer of Size bytes (the caller cleared the value before); a nil
  // buffer or a size below 1 clears the value instead.
  void AttachBuffer(void* Buffer, int32_t Size);
  // Resizes an owned buffer (new bytes undefined); 0 only sets null.
  void SetDataSize(int32_t Size);
  // Copy: the bytes are copied into an owned buffer. Otherwise the value points at Buffer and
  // owns it when Own is set (a MemoryManager block), borrows it when not.
  void SetBuffer(void* Buffer, int32_t Size, TTolvanValueType DataType, bool Copy, bool Own);
  // Copies min(size, Length) bytes (all with Length -1); false for a null value.
  bool CopyDataTo(void* Buffer, int32_t Length) const;

  bool IsNull() const { return FNullFlag != 0 || FData == nullptr; }
  void CheckNotNull() const; // 30016 "Value is Null"

  // To another type; a failed conversion leaves a null of the new type.
  void ChangeDataType(TTolvanValueType DataType);
  // To another type; a failed conversion raises and leaves the value as it was.
  void CastTo(TTolvanValueType DataType);

  // The value given in the storage form of type T (for the text types P points at an AnsiString
  // or WideString) is stored in the value's own type.
  void SetTypedValue(const void* P, TTolvanValueType T);
  // The value in the storage form of type T (text types into an AnsiString or WideString).
  void GetTypedValue(void* Out, TTolvanValueType T) const;

  void SetAsShortInt(int8_t V) { SetTypedValue(&V, tvtSignedInt8); }
  void SetAsSmallInt(int16_t V) { SetTypedValue(&V, tvtSignedInt16); }
  void SetAsInteger(int32_t V) { SetTypedValue(&V, tvtInteger); }
  void SetAsLargeInt(int64_t V) { SetTypedValue(&V, tvtSignedInt64); }
  void SetAsByte(uint8_t V) { SetTypedValue(&V, tvtUnsignedInt8); }
  void SetAsWord(uint16_t V) { SetTypedValue(&V, tvtUnsignedInt16); }
  void SetAsCardinal(uint32_t V) { SetTypedValue(&V, tvtUnsignedInt32); }
  void SetAsSingle(float V) { SetTypedValue(&V, tvtSingle); }
  void SetAsDouble(double V) { SetTypedValue(&V, tvtFloat); }
  void SetAsExtended(long double V);
  void SetAsStoredDate(int32_t V) { SetTypedValue(&V, tvtDate); }
  void SetAsStoredTime(int32_t V) { SetTypedValue(&V, tvtTime); }
  void SetAsStoredDateTime(TTolvanStoredDateTime V);
  void SetAsBoolean(bool V);
  void SetAsCurrency(double V) { SetTypedValue(&V, tvtCurrency); }
  void SetAsString(const AnsiString& V) { SetTypedValue(&V, tvtString); }
  void SetAsWideString(const WideString& V) { SetTypedValue(&V, tvtWideString); }
  void SetAsDate(TDateTime V) { SetAsStoredDate(DateTimeToStoredDate(V)); }
  void SetAsTime(TDateTime V) { SetAsStoredTime(DateTimeToStoredTime(V)); }
  void SetAsDateTime(TDateTime V) { SetAsStoredDateTime(DateTimeToStoredDateTime(V)); }

  int8_t GetAsShortInt() const { return Get<int8_t>(tvtSignedInt8); }
  int16_t GetAsSmallInt() const { return Get<int16_t>(tvtSignedInt16); }
  int32_t GetAsInteger() const { return Get<int32_t>(tvtInteger); }
  int64_t GetAsLargeInt() const { return Get<int64_t>(tvtSignedInt64); }
  uint8_t GetAsByte() const { return Get<uint8_t>(tvtUnsignedInt8); }
  uint16_t GetAsWord() const { return Get<uint16_t>(tvtUnsignedInt16); }
  uint32_t GetAsCardinal() const { return Get<uint32_t>(tvtUnsignedInt32); }
  float GetAsSingle() const { return Get<float>(tvtSingle); }
  double GetAsDouble() const { return Get<double>(tvtFloat); }
  long double GetAsExtended() const;
  int32_t GetAsStoredDate() const { return Get<int32_t>(tvtDate); }
  int32_t GetAsStoredTime() const { return Get<int32_t>(tvtTime); }
  TTolvanStoredDateTime GetAsStoredDateTime() const;
  bool GetAsBoolean() const { return Get<int16_t>(tvtLogical) != 0; }
  double GetAsCurrency() const { return Get<double>(tvtCurrency); }
  AnsiString GetAsString() const;       // "" for a null value
  WideString GetAsWideString() const;   // u"" for a null value
  TDateTime GetAsDate() const { return StoredDateToDateTime(GetAsStoredDate()); }
  TDateTime GetAsTime() const { return StoredTimeToDateTime(GetAsStoredTime()); }
  TDateTime GetAsDateTime() const { return StoredDateTimeToDateTime(GetAsStoredDateTime()); }

  // Exchange with the class library's variants. SetAsVariant raises 30113 and GetAsVariant
  // 30114 for a type they do not carry.
  void SetAsVariant(const Variant& V);
  Variant GetAsVariant() const;

  bool IsNumeric() const { return IsNumericValueType(FDataType); }
  bool IsInteger() const { return IsIntegerValueType(FDataType); }
  bool IsString() const { return IsStringValueType(FDataType); }
  bool IsWide() const { return IsWideValueType(FDataType); }
  bool IsBlob() const { return IsBlobValueType(FDataType); }
  bool IsDateTime() const { return IsDateTimeValueType(FDataType); }

  // Characters of text (BLOB types: bytes of content); -1 for null or a type that is not text.
  int32_t GetLength() const;

  // Operators, comparison and hash; TolvanVariantOps.h tells their rules. Self is the left
  // operand and receives the result. Modulo, Power and Random cast their other operand in place.
  void Negate();
  void Add(const TTolvanVariant& Other);
  void Multiply(const TTolvanVariant& Other);
  void Divide(const TTolvanVariant& Other);
  void Abs();
  void Ceil();
  void Floor();
  void Modulo(TTolvanVariant& Other);
  void Power(TTolvanVariant& Other);
  void Random(TTolvanVariant* Bound);
  void Round(const TTolvanVariant* Digits);
  void Trunc(const TTolvanVariant* Digits);
  void Sign();
  void BitAnd(const TTolvanVariant& Other);
  void BitOr(const TTolvanVariant& Other);
  void BitXor(const TTolvanVariant& Other);
  void BitNot();
  void ShiftLeft(const TTolvanVariant& Other);
  void ShiftRight(const TTolvanVariant& Other);
  void ConvertToHexString(int32_t PrefixKind);
  TTolvanCompareResult Compare(const TTolvanVariant& Other, bool KeepNullCodes, bool IgnoreCase,
                               bool PrefixOnly) const;
  static TTolvanCompareResult CompareBlobWithString(const TTolvanVariant& Blob, bool Swapped,
                                                    const TTolvanVariant& Text, bool IgnoreCase,
                                                    bool PrefixOnly);
  uint32_t Hash() const;

private:
  template <class T>
  T Get(TTolvanValueType Type) const {
    T V{};
    GetTypedValue(&V, Type);
    return V;
  }
  void FreeOwned();

  TTolvanValueType FDataType = tvtNone;
  int32_t FDataSize = 0;
  void* FData = nullptr;
  uint8_t FIsBorrowed = 0;
  uint8_t FNullFlag = 0xFF;
};

} // namespace tolvan
