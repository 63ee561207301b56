// TolvanMetaObjectDef.h: the definitions a table's schema is made of.
//
// TTolvanMetaObjectDef is the base of every definition: a name and an object id, with a copy
// operation and a stream form. Index and constraint definitions derive from it in their own
// units; here are the sequence that feeds an auto-increment column (TTolvanSequenceDef) and the
// column definition (TTolvanFieldDef).
//
// Names are short strings: a setter cuts a longer text to 255 bytes, so every name fits the one
// length byte of its stored form.
//
// Stream forms, little-endian, each element written and read through the checked stream I/O
// under its own native code (write / read):
//
//   Base form (every definition begins with it)
//   offset  width  content                                      codes
//   0       1      name length n                                10164 / 10166
//   1       n      name bytes (absent when n = 0)               10165 / 10167
//   1+n     4      ObjectID                                     10168 / 10169
//
//   Sequence: the base form, then
//   0       1      DataType                                     10206 / 10212
//   1       8      MinValue                                     10207 / 10213
//   9       8      MaxValue                                     10208 / 10214
//   17      8      CurrentValue                                 10209 / 10215
//   25      8      Increment                                    10210 / 10216
//   33      1      Cycled                                       10211 / 10217
//
//   Field: the base form, then
//   width   content                            present when          codes
//   1       BaseType                           always                10170 / 10187
//   1       FieldType                          always                10171 / 10188
//   4       Size                               always                10172 / 10189
//   1       BlobCompressionAlgorithm           BLOB base type        10175 / 10192
//   1       BlobCompressionMode                BLOB base type        10176 / 10193
//   4       BlobBlockSize                      BLOB base type        10177 / 10194
//   4       SequenceID                         auto-increment        10178 / 10195
//   8       AutoincIncrement                   auto-increment        10685 / 10690
//   8       AutoincInitialValue                auto-increment        10686 / 10691
//   8       AutoincMinValue                    auto-increment        10687 / 10692
//   8       AutoincMaxValue                    auto-increment        10688 / 10693
//   1       AutoincCycled                      auto-increment        10689 / 10694
//   var     DefaultValue, value stream form    not auto-increment    (the value's own)
//
// The BLOB base types are BLOB, MEMO and WIDEMEMO; the auto-increment field types AutoInc to
// AutoIncCardinal. Sizes, offsets and TableFieldNo are derived or local and never stored. A
// stored BaseType, FieldType or Size that no writer produces is refused with its read code
// before it is kept. Boolean bytes keep the byte that was read (0xFF stays 0xFF).
//
// Ownership: a field definition owns its DefaultValue. Definitions belong to their collection
// (TolvanMetaObjectDefs.h).
//
// Threads: a definition is not synchronised; its owner serialises access.
#pragma once

#include <cstdint>
#include <string_view>

#include "classlib/Classes.h"
#include "classlib/Strings.h"
#include "foundation/TolvanCompression.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"

namespace tolvan {

inline constexpr int32_t MaxShortStringLength = 255;
// The block size a new BLOB column's values get.
inline constexpr int32_t DefaultFieldBlobBlockSize = 102400;

class TTolvanMetaObjectDef {
public:
  TTolvanMetaObjectDef() = default;
  virtual ~TTolvanMetaObjectDef() = default;
  TTolvanMetaObjectDef(const TTolvanMetaObjectDef&) = delete;
  TTolvanMetaObjectDef& operator=(const TTolvanMetaObjectDef&) = delete;

  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value); // cut to 255 bytes
  // -1 until the table gives the definition an id.
  int32_t ObjectID() const noexcept { return FObjectID; }
  void SetObjectID(int32_t Value) noexcept { FObjectID = Value; }

  // Copies the fields of Source; a subclass refuses a source of another class with
  // EInvalidCast before it changes anything.
  virtual void Assign(const TTolvanMetaObjectDef& Source);
  virtual void LoadFromStream(TStream& Stream);
  virtual void SaveToStream(TStream& Stream) const;

  virtual std::string_view ClassName() const { return "TTolvanMetaObjectDef"; }

private:
  AnsiString FName;
  int32_t FObjectID = -1;
};

// The sequence of an auto-increment column.
class TTolvanSequenceDef : public TTolvanMetaObjectDef {
public:
  TTolvanValueType DataType() const noexcept { return FDataType; }
  void SetDataType(TTolvanValueType Value) noexcept { FDataType = Value; }
  int64_t MinValue() const noexcept { return FMinValue; }
  void SetMinValue(int64_t Value) noexcept { FMinValue = Value; }
  int64_t MaxValue() const noexcept { return FMaxValue; }
  void SetMaxValue(int64_t Value) noexcept { FMaxValue = Value; }
  int64_t CurrentValue() const noexcept { return FCurrentValue; }
  void SetCurrentValue(int64_t Value) noexcept { FCurrentValue = Value; }
  int64_t Increment() const noexcept { return FIncrement; }
  void SetIncrement(int64_t Value) noexcept { FIncrement = Value; }
  uint8_t Cycled() const noexcept { return FCycled; }
  void SetCycled(uint8_t Value) noexcept { FCycled = Value; }

  // Adds Increment to CurrentValue and returns the new value. Past MaxValue a cycled sequence
  // restarts at MinValue itself; one that does not cycle keeps the value past the maximum and
  // raises 30009, so every later call fails the same way. An overflowing addition raises
  // EIntOverflow and stores nothing.
  virtual int64_t NextValue();

  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanSequenceDef"; }

private:
  TTolvanValueType FDataType = tvtUnsignedInt32;
  int64_t FMinValue = 0;
  int64_t FMaxValue = 4294967295;
  int64_t FCurrentValue = 0;
  int64_t FIncrement = 1;
  uint8_t FCycled = 1;
};

// One column.
class TTolvanFieldDef : public TTolvanMetaObjectDef {
public:
  TTolvanFieldDef() = default;

  TTolvanValueType BaseType() const noexcept { return FBaseType; }
  void SetBaseType(TTolvanValueType Value) noexcept { FBaseType = Value; }
  TTolvanFieldType FieldType() const noexcept { return FFieldType; }
  void SetFieldType(TTolvanFieldType Value) noexcept { FFieldType = Value; }
  // Characters for the text types, bytes for the byte types, 0 otherwise.
  int32_t Size() const noexcept { return FSize; }
  void SetSize(int32_t Value) noexcept { FSize = Value; }
  // Width in the stored record; a value kept outside the record leaves a 6-byte reference.
  int32_t StoredSize() const noexcept { return FStoredSize; }
  // Width in a record buffer: the whole value, text inline with its terminator.
  int32_t DataSize() const noexcept { return FDataSize; }
  int32_t StoredOffset() const noexcept { return FStoredOffset; }
  void SetStoredOffset(int32_t Value) noexcept { FStoredOffset = Value; }
  int32_t BufferOffset() const noexcept { return FBufferOffset; }
  void SetBufferOffset(int32_t Value) noexcept { FBufferOffset = Value; }
  // For a cursor's visible fields: the column's position among the table's fields.
  int32_t TableFieldNo() const noexcept { return FTableFieldNo; }
  void SetTableFieldNo(int32_t Value) noexcept { FTableFieldNo = Value; }
  int32_t SequenceID() const noexcept { return FSequenceID; }
  void SetSequenceID(int32_t Value) noexcept { FSequenceID = Value; }
  // The column's default; null means none.
  TTolvanVariant& DefaultValue() noexcept { return FDefaultValue; }
  const TTolvanVariant& DefaultValue() const noexcept { return FDefaultValue; }
  TTolvanCompressionAlgorithm BlobCompressionAlgorithm() const noexcept {
    return FBlobCompressionAlgorithm;
  }
  void SetBlobCompressionAlgorithm(TTolvanCompressionAlgorithm Value) noexcept {
    FBlobCompressionAlgorithm = Value;
  }
  uint8_t BlobCompressionMode() const noexcept { return FBlobCompressionMode; }
  void SetBlobCompressionMode(uint8_t Value) noexcept { FBlobCompressionMode = Value; }
  int32_t BlobBlockSize() const noexcept { return FBlobBlockSize; }
  void SetBlobBlockSize(int32_t Value) noexcept { FBlobBlockSize = Value; }
  int64_t AutoincIncrement() const noexcept { return FAutoincIncrement; }
  void SetAutoincIncrement(int64_t Value) noexcept { FAutoincIncrement = Value; }
  int64_t AutoincInitialValue() const noexcept { return FAutoincInitialValue; }
  void SetAutoincInitialValue(int64_t Value) noexcept { FAutoincInitialValue = Value; }
  int64_t AutoincMinValue() const noexcept { return FAutoincMinValue; }
  void SetAutoincMinValue(int64_t Value) noexcept { FAutoincMinValue = Value; }
  int64_t AutoincMaxValue() const noexcept { return FAutoincMaxValue; }
  void SetAutoincMaxValue(int64_t Value) noexcept { FAutoincMaxValue = Value; }
  uint8_t AutoincCycled() const noexcept { return FAutoincCycled; }
  void SetAutoincCycled(uint8_t Value) noexcept { FAutoincCycled = Value; }

  bool IsAutoinc() const noexcept { return IsAutoIncFieldType(FFieldType); }
  bool IsBlob() const noexcept { return IsBlobValueType(FBaseType); }

  // Stores the declared type, derives BaseType and, when the type has one, stores Size and
  // recomputes the widths. A type without a value type raises 30007 and leaves FieldType set
  // to it and BaseType 0.
  void SetType(TTolvanFieldType FieldType, int32_t Size);
  // DataSize and StoredSize from BaseType and Size. A negative Size raises ERangeError, a width
  // beyond 32 bits EIntOverflow, an unknown BaseType 30050; the widths then stay as they were.
  void CalcSizes();

  // Copies every field but TableFieldNo; the default by value.
  void Assign(const TTolvanMetaObjectDef& Source) override;
  // Reads the form and recomputes the widths. The stored BaseType is kept, not derived again.
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanFieldDef"; }

private:
  TTolvanValueType FBaseType = tvtNone;
  TTolvanFieldType FFieldType = tftNone;
  int32_t FSize = 0;
  int32_t FStoredSize = 0;
  int32_t FDataSize = 0;
  int32_t FStoredOffset = 0;
  int32_t FBufferOffset = 0;
  int32_t FTableFieldNo = 0;
  int32_t FSequenceID = -1;
  TTolvanVariant FDefaultValue;
  TTolvanCompressionAlgorithm FBlobCompressionAlgorithm = caNone;
  uint8_t FBlobCompressionMode = 0;
  int32_t FBlobBlockSize = DefaultFieldBlobBlockSize;
  int64_t FAutoincIncrement = 1;
  int64_t FAutoincInitialValue = 0;
  int64_t FAutoincMinValue = 0;
  int64_t FAutoincMaxValue = INT64_MAX;
  uint8_t FAutoincCycled = 0;
};

// Helpers of the definitions' stream forms.

// A stored length, count or code no writer produces: raised as a read of Value bytes that took
// none, under the element's read code.
[[noreturn]] void RaiseStoredValueError(TStream& Stream, int64_t Value, int32_t ReadCode);
// A name as one length byte and its bytes; the bytes are neither written nor read when the
// length is 0. The caller keeps Name within 255 bytes.
void WriteShortString(TStream& Stream, std::string_view Name, int32_t LengthCode,
                      int32_t BytesCode);
AnsiString ReadShortString(TStream& Stream, int32_t LengthCode, int32_t BytesCode);
// The first 255 bytes of S: what a short-string name keeps.
inline std::string_view CutShortString(std::string_view S) noexcept {
  return S.substr(0, MaxShortStringLength);
}

} // namespace tolvan
