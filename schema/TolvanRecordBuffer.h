// TolvanRecordBuffer.h: the record buffer every cursor, table and dataset shares, and the one
// bounded writer and reader of its columns.
//
// A record buffer of n columns, laid out by TTolvanFieldDefs::CalcLayout:
//
//   offset              width          content
//   0                   B = ceil(n/8)  null bitmap: bit i in byte i div 8, least significant
//                                      bit first; a set bit marks column i null
//   BufferOffset        DataSize       each column in its value type's native form, no
//                                      padding; text inline and zero-terminated (UTF-16 for
//                                      the wide types)
//   E = RecordIDOffset  6              TTolvanRecordID; {-1, -1} for a record not yet stored
//   E + 6               1              bookmark flag (TBookmarkFlag)
//   E + 7 = RecordSize  any            the dataset's calculated fields
//
// E is B plus the sum of the DataSizes. For Char(10), Varchar(10), Integer: B = 1, the columns
// at 1, 12 and 23 (sizes 11, 11, 4), E = 27, the flag at 33, RecordSize 34. The cursor's bookmark
// record is the first E + 6 bytes; the dataset's bookmark is the 7-byte trailer at E.
//
// A BLOB, MEMO or WIDEMEMO column holds an 8-byte reference to a value kept by the table:
//
//   offset  width  content
//   0       4      handle into the table's block table, unsigned; 0 for none
//   4       2      the handle's generation, so a reused handle is not mistaken for an old one
//   6       2      marker: 0x0F0F written in the current edit, 0xF0F0 owned by the stored record
//
// Temporary tables keep their value's Int64 offset in the same 8 bytes instead. A pointer does
// not fit: the table stream writes a position in this place when it saves the record.
//
// Columns move between a record buffer and a caller's native buffer only through GetFieldData,
// SetFieldData and WriteFieldData, which never read a source past its size or terminator and
// never write outside the column and its null bit. An empty text is stored as NULL. Text that
// does not fit is cut to whole characters, terminated and zero-filled to the column's end, so
// the same value always gives the same bytes.
//
// Threads: pure functions over buffers the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "classlib/ByteOrder.h"
#include "classlib/DB.h"
#include "classlib/Strings.h"
#include "foundation/TolvanArrays.h"
#include "foundation/TolvanTypes.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

inline constexpr int32_t RecordIDSize = 6;
// Record id and bookmark flag behind the columns.
inline constexpr int32_t RecordTrailerSize = 7;
// The dataset's bookmark: the trailer.
inline constexpr int32_t DataSetBookmarkSize = RecordTrailerSize;
inline constexpr int32_t BlobReferenceSize = 8;
inline constexpr uint16_t BlobWrittenMarker = 0x0F0F;
inline constexpr uint16_t BlobStoredMarker = 0xF0F0;
// The id a new record carries until it is stored.
inline constexpr TTolvanRecordID NewRecordID{-1, 0xFFFF};

// Native codes of the field copies.
inline constexpr int32_t ErrGetFieldDataFieldNo = 10000;
inline constexpr int32_t ErrGetFieldDataCopy = 10002;
inline constexpr int32_t ErrGetFieldDataTextCopy = 10733;
inline constexpr int32_t ErrSetFieldDataFieldNo = 10004;
inline constexpr int32_t ErrSetFieldDataCopy = 10732;
inline constexpr int32_t ErrSetFieldDataTextCopy = 10734;

// The 7 bytes at E.
//
//   offset  width  content
//   0       6      record id
//   6       1      bookmark flag
struct __attribute__((packed)) TTolvanRecordTrailer {
  TTolvanRecordID RecordID;
  uint8_t BookmarkFlag;
};
static_assert(sizeof(TTolvanRecordTrailer) == 7 && alignof(TTolvanRecordTrailer) == 1);

// A saved cursor position.
//
//   offset  width  content
//   0       1      before the first record (0 or 1)
//   1       1      after the last record (0 or 1)
//   2       6      record id of the current record
struct __attribute__((packed)) TTolvanCursorPosition {
  uint8_t Bof;
  uint8_t Eof;
  TTolvanRecordID Position;
};
static_assert(sizeof(TTolvanCursorPosition) == 8 && alignof(TTolvanCursorPosition) == 1);

// A BLOB column's 8 bytes, unpacked.
struct TTolvanBlobReference {
  uint32_t Handle = 0;
  uint16_t Generation = 0;
  uint16_t Marker = 0;
};

// --- null bitmap and trailer ------------------------------------------------------------------

// Sets every bit of the bitmap of FieldCount columns, the unused high bits of its last byte too.
void SetAllNull(uint8_t* Buffer, int32_t FieldCount) noexcept;

// FieldNo is a table field number below the layout's column count.
inline bool IsFieldNull(const uint8_t* Buffer, int32_t FieldNo) noexcept {
  return GetBit(FieldNo, Buffer);
}
inline void SetFieldNull(uint8_t* Buffer, int32_t FieldNo, bool Null) noexcept {
  SetBit(Null, FieldNo, Buffer);
}

inline TTolvanRecordTrailer LoadRecordTrailer(const uint8_t* Buffer,
                                              int32_t RecordIDOffset) noexcept {
  return LoadLE<TTolvanRecordTrailer>(Buffer + RecordIDOffset);
}
inline void StoreRecordTrailer(uint8_t* Buffer, int32_t RecordIDOffset,
                               const TTolvanRecordTrailer& Trailer) noexcept {
  StoreLE(Buffer + RecordIDOffset, Trailer);
}
inline TTolvanRecordID LoadRecordID(const uint8_t* Buffer, int32_t RecordIDOffset) noexcept {
  return LoadLE<TTolvanRecordID>(Buffer + RecordIDOffset);
}
inline void StoreRecordID(uint8_t* Buffer, int32_t RecordIDOffset,
                          const TTolvanRecordID& ID) noexcept {
  StoreLE(Buffer + RecordIDOffset, ID);
}
inline uint8_t LoadBookmarkFlag(const uint8_t* Buffer, int32_t RecordIDOffset) noexcept {
  return Buffer[RecordIDOffset + RecordIDSize];
}
inline void StoreBookmarkFlag(uint8_t* Buffer, int32_t RecordIDOffset, uint8_t Flag) noexcept {
  Buffer[RecordIDOffset + RecordIDSize] = Flag;
}

// --- BLOB references --------------------------------------------------------------------------

// Def is a BLOB, MEMO or WIDEMEMO column of the buffer's layout.
inline TTolvanBlobReference LoadBlobReference(const uint8_t* Buffer,
                                              const TTolvanFieldDef& Def) noexcept {
  const uint8_t* P = Buffer + Def.BufferOffset();
  return {LoadLE<uint32_t>(P), LoadLE<uint16_t>(P + 4), LoadLE<uint16_t>(P + 6)};
}
inline void StoreBlobReference(uint8_t* Buffer, const TTolvanFieldDef& Def,
                               const TTolvanBlobReference& Ref) noexcept {
  uint8_t* P = Buffer + Def.BufferOffset();
  StoreLE(P, Ref.Handle);
  StoreLE(P + 4, Ref.Generation);
  StoreLE(P + 6, Ref.Marker);
}
// The value was written in the current edit (marker 0x0F0F).
inline bool IsBlobWritten(const uint8_t* Buffer, const TTolvanFieldDef& Def) noexcept {
  return LoadLE<uint16_t>(Buffer + Def.BufferOffset() + 6) == BlobWrittenMarker;
}
inline void SetBlobWritten(bool Written, uint8_t* Buffer, const TTolvanFieldDef& Def) noexcept {
  StoreLE<uint16_t>(Buffer + Def.BufferOffset() + 6,
                    Written ? BlobWrittenMarker : BlobStoredMarker);
}

// --- field data -------------------------------------------------------------------------------
//
// FieldNo is a position in Defs, whose layout (CalcLayout) describes Buffer. A number outside
// 0 .. Count - 1 raises 10000 (reading) or 10004 (writing) "Invalid field number - FieldNo = %d,
// FieldCount = %d". A column outside the layout (one added after CalcLayout) and a column given
// to a form that does not fit its type raise, before any byte moves, "Error getting field data
// - FieldNo = %d, MemoryOffset = %d, MemoryDataSize = %d": reading 10733 for narrow text and
// 10002 otherwise, writing 10734 for text and 10732 otherwise.

// False, copying nothing, when the column is null. Otherwise true, and with a Destination:
// narrow text copies at most DataSize bytes, always terminated (a stored text without its
// terminator is cut); BLOB columns copy nothing; other columns copy DataSize bytes. Wide text
// needs the typed form.
bool GetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, void* Destination,
                  const uint8_t* Buffer);
// Wide text (WideChar, WideVarchar): the characters up to the terminator, at most the field's
// less one. Destination is assigned only when the column is not null.
bool GetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, WideString& Destination,
                  const uint8_t* Buffer);

// A nil Source makes the column null. Otherwise narrow text is read up to its terminator and
// other columns DataSize bytes from Source. A BLOB column takes no bytes (its value goes through
// the table's streams) and raises 10732; wide text needs the typed form.
void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, const void* Source,
                  uint8_t* Buffer);
// Wide text: the view's characters up to the first zero, if any.
void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, std::u16string_view Source,
                  uint8_t* Buffer);
// Wide text goes through the view; a bare pointer would pick the untyped form.
void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, const char16_t* Source,
                  uint8_t* Buffer) = delete;
inline void SetFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, std::nullptr_t,
                         uint8_t* Buffer) {
  SetFieldData(FieldNo, Defs, static_cast<const void*>(nullptr), Buffer);
}

// The bounded column writer that SetFieldData and the cursor's value writes share. At most
// SourceSize bytes of Source are read: text stops at its first terminator (a 16-bit zero for
// wide text), other columns copy min(SourceSize, DataSize) bytes and zero the rest. Text of
// length 0 makes the column null; otherwise the null bit is cleared. A nil Source makes the
// column null. Errors as SetFieldData, raised before anything changes.
void WriteFieldData(int32_t FieldNo, const TTolvanFieldDefs& Defs, const void* Source,
                    int32_t SourceSize, uint8_t* Buffer);
// The same for a column its caller has resolved: Def is column FieldNo of a layout whose
// columns lie between FieldsBegin (the bitmap's size) and FieldsEnd (RecordIDOffset).
void WriteFieldData(const TTolvanFieldDef& Def, int32_t FieldNo, int32_t FieldsBegin,
                    int32_t FieldsEnd, const void* Source, int32_t SourceSize, uint8_t* Buffer);

} // namespace tolvan
