// TolvanBTreeKey.h: the key of a B-tree index, how it is made from a record and how keys order.
//
// A key is the concatenation, in index-column order, of one part per column:
//
//   offset          width      content
//   KeyOffset       1          1 when the field is NULL, 0 when it has a value
//   KeyOffset + 1   Size - 1   the field's DataSize bytes as they stand in the record buffer;
//                              zero for a NULL field
//
// Keys compare column by column over the first ColumnCount columns; the first difference
// decides. NULL sorts before every value and equals NULL; a descending column negates its result,
// NULL included. Two values compare as CompareValueBuffersSign does for two values of the
// column's type with buffer sizes DataSize, whole strings, the column's case mode: text by the
// engine's collation up to its terminator or DataSize, numbers by value (NaN below all and equal
// to itself, -0 equal to 0), DATE and TIME as Int32, DATETIME by date then time, LOGICAL false
// below true. Build picks one comparator per column that reads the key bytes in place, so a
// comparison neither allocates nor decodes; a damaged key never makes a read leave its column.
//
// Columns whose values have no order (BLOB, MEMO, WIDEMEMO, BYTES, VARBYTES) cannot be key
// columns, and a key is at most MaxIndexKeySize bytes: three entries must fit in every page.
//
// Ownership: a key layout owns its columns; key buffers come from the memory manager and belong
// to whoever asked for them (TTolvanKeyBuffer frees one on every exit).
//
// Threads: a built layout is read-only except ColumnCount, which partial-key operations change
// for their duration; the owner serialises those.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/TolvanConst.h"
#include "foundation/TolvanTypesRoutines.h"

namespace tolvan {

class TTolvanIndexDef;
class TTolvanFieldDefs;

// Bytes of a leaf entry's data: the record id.
inline constexpr int16_t BTreeLeafDataSize = 6;

// Compares two value parts (the bytes after the null byte) of one column: -1, 0 or 1.
using TTolvanKeyValueCompare = int (*)(const uint8_t* A, const uint8_t* B, int32_t Size);

// One key column; a plain record.
struct TTolvanBTreeKeyColumn {
  int32_t KeyOffset = 0;    // of the column's null byte in the key
  int32_t BufferOffset = 0; // of the field in a record buffer
  int32_t FieldNo = 0;      // the field's position, its bit in the null bitmap
  int32_t Size = 0;         // DataSize + 1
  TTolvanValueType DataType = tvtNone;
  bool Descending = false;
  bool CaseInsensitive = false;
  TTolvanKeyValueCompare Compare = nullptr; // chosen by Build for DataType and the case mode
};

class TTolvanBTreeKeyRef {
public:
  TTolvanBTreeKeyRef() = default;
  TTolvanBTreeKeyRef(const TTolvanBTreeKeyRef&) = delete;
  TTolvanBTreeKeyRef& operator=(const TTolvanBTreeKeyRef&) = delete;

  int32_t KeySize() const noexcept { return FKeySize; }
  int16_t LeafDataSize() const noexcept { return FLeafDataSize; }
  void SetLeafDataSize(int16_t Value) noexcept { FLeafDataSize = Value; }
  // The leading columns comparisons use; all of them except during a partial-key operation.
  int32_t ColumnCount() const noexcept { return FColumnCount; }
  // Clamped to 0 .. the number of columns.
  void SetColumnCount(int32_t Value) noexcept;
  int32_t ColumnTotal() const noexcept { return int32_t(FColumns.size()); }
  const TTolvanBTreeKeyColumn& Columns(int32_t Index) const { return FColumns.at(size_t(Index)); }

  // Lays the key out for the index over the table's fields. FieldDefs nil raises 20045; a
  // column naming no field 20043; a column whose type has no order 20042; a key beyond
  // MaxIndexKeySize 20041. A failure leaves the layout as it was.
  void Build(const TTolvanIndexDef& Def, const TTolvanFieldDefs* FieldDefs);

  // A zero-filled buffer of KeySize bytes (at least one) from the memory manager.
  uint8_t* AllocKey() const;
  static void FreeKey(uint8_t*& Key) noexcept;

  // Writes the key of RecordBuffer (null bitmap first, fields at their buffer offsets) into Key,
  // always for every column.
  void MakeKey(const uint8_t* RecordBuffer, uint8_t* Key) const noexcept;

  // -1, 0 or 1 over the first ColumnCount columns.
  int CompareKeys(const uint8_t* A, const uint8_t* B) const noexcept {
    for (int32_t I = 0; I < FColumnCount; ++I) {
      const TTolvanBTreeKeyColumn& C = FColumns[size_t(I)];
      const uint8_t* PA = A + C.KeyOffset;
      const uint8_t* PB = B + C.KeyOffset;
      int R;
      if ((PA[0] | PB[0]) == 0)
        R = C.Compare(PA + 1, PB + 1, C.Size - 1);
      else
        R = PA[0] == 0 ? 1 : PB[0] == 0 ? -1 : 0;
      if (R != 0)
        return C.Descending ? -R : R;
    }
    return 0;
  }

private:
  std::vector<TTolvanBTreeKeyColumn> FColumns;
  int32_t FKeySize = 0;
  int32_t FColumnCount = 0;
  int16_t FLeafDataSize = BTreeLeafDataSize;
};

// The in-place comparator of a column type and case mode; nil for a type without an order.
TTolvanKeyValueCompare KeyValueComparator(TTolvanValueType DataType, bool CaseInsensitive) noexcept;

inline bool BytesEqual(const void* A, const void* B, int32_t N) noexcept {
  return N <= 0 || std::memcmp(A, B, size_t(N)) == 0;
}

// A key buffer of a layout, freed when the scope ends.
class TTolvanKeyBuffer {
public:
  explicit TTolvanKeyBuffer(const TTolvanBTreeKeyRef& KeyRef) : FKey(KeyRef.AllocKey()) {}
  ~TTolvanKeyBuffer() { TTolvanBTreeKeyRef::FreeKey(FKey); }
  TTolvanKeyBuffer(const TTolvanKeyBuffer&) = delete;
  TTolvanKeyBuffer& operator=(const TTolvanKeyBuffer&) = delete;

  uint8_t* Data() const noexcept { return FKey; }

private:
  uint8_t* FKey;
};

// Sets the layout's ColumnCount for a partial-key operation and restores every column when the
// scope ends, also on failure.
class TTolvanKeyColumnScope {
public:
  TTolvanKeyColumnScope(TTolvanBTreeKeyRef& KeyRef, int32_t Columns) noexcept : FKeyRef(KeyRef) {
    FKeyRef.SetColumnCount(Columns);
  }
  ~TTolvanKeyColumnScope() { FKeyRef.SetColumnCount(FKeyRef.ColumnTotal()); }
  TTolvanKeyColumnScope(const TTolvanKeyColumnScope&) = delete;
  TTolvanKeyColumnScope& operator=(const TTolvanKeyColumnScope&) = delete;

private:
  TTolvanBTreeKeyRef& FKeyRef;
};

} // namespace tolvan
