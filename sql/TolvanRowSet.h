// TolvanRowSet.h: TTolvanRecordComparison, the set of rows already written by SELECT DISTINCT and
// the set operations.
//
// An operator hands each value of a row to SetColumnHash, then asks IsNewRow. A row is new when
// no earlier row holds the same values in every column; the 32-bit row hash only finds the
// candidates. Each value is first brought to its result column's stored form (TTolvanStoredValue:
// type, size, an empty text as null), so a SMALLINT 1 and an INTEGER 1 of the same column are
// one value, and so are two texts that the column cuts to the same prefix. Values compare
// case-sensitively over their whole length; null equals null; a column the row never set equals
// only another unset column.
//
// Row hash: each column's hash is TTolvanVariant::Hash of its stored form (zero while unset);
// the row hash is UpdateCrc32 from RowHashSeed over the column hashes as consecutive 32-bit
// little-endian words.
//
// The rows live in open addressing on the row hash: slots for at most 65 536 rows at first, fewer
// when fewer are expected, doubling whenever half of them are taken. A row's stored forms are
// copied once into an arena, laid out per column as
//
//   offset  width  content
//   0       1      0 unset, 1 null, 2 value
//   1       4      size n of the stored form, native order   (value only)
//   5       n      the stored form                           (value only)
//
// Ownership: the set owns its slots, its arena and one stored-form scratch per column; the values
// handed to SetColumnHash are only read, and must stay unchanged until IsNewRow.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "foundation/TolvanMemory.h"
#include "foundation/TolvanTypesRoutines.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanStoredValue.h"

namespace tolvan {

// The type and size of a result column.
struct TTolvanRowColumn {
  TTolvanFieldType FieldType = tftNone;
  int32_t Size = 0;
};

inline constexpr int32_t ErrInvalidItemNumber = 11661;

class TTolvanRecordComparison {
public:
  // One column per entry of Columns; an auto-increment type counts as its plain type. A column's
  // type is checked when its first value arrives (30007 for a type no column can have).
  // ExpectedRows only sizes the first slots.
  TTolvanRecordComparison(std::span<const TTolvanRowColumn> Columns, int64_t ExpectedRows);
  ~TTolvanRecordComparison();
  TTolvanRecordComparison(const TTolvanRecordComparison&) = delete;
  TTolvanRecordComparison& operator=(const TTolvanRecordComparison&) = delete;

  int32_t ColumnCount() const noexcept { return int32_t(FColumns.size()); }

  // The current row's value of Column. A column outside 0 .. ColumnCount - 1 raises 11661
  // "Invalid item number - ItemNo = %d, ItemCount = %d"; a value that does not convert to the
  // column's type raises as the conversion does.
  void SetColumnHash(const TTolvanVariant& Value, int32_t Column);
  // The row hash of the current row (see the header comment).
  uint32_t ComputeRowHash();
  uint32_t RowHash() const noexcept { return FRowHash; }
  // Adds the current row when no equal row is in the set and answers whether it was added.
  // Afterwards every column is unset again for the next row.
  bool IsNewRow();
  // Whether a row equal to the current row is in the set, without adding it. Afterwards every
  // column is unset again, as after IsNewRow.
  bool ContainsRow();

  // The rows in the set.
  int64_t Count() const noexcept { return FCount; }

  // The row hash function; tests replace it to make every row collide.
  using THashHook = uint32_t (*)(uint32_t RowHash);
  void SetHashHookForTesting(THashHook Hook) noexcept { FHook = Hook; }

private:
  enum : uint8_t { csUnset = 0, csNull = 1, csValue = 2 };

  struct TColumn {
    TTolvanRowColumn Type;
    std::unique_ptr<TTolvanStoredValue> Value; // made at the first value
    uint8_t State = csUnset;
    uint32_t Hash = 0;
  };
  struct TSlot {
    const uint8_t* Row; // nil: free
    uint32_t Hash;
  };

  bool SameRow(const uint8_t* Row) const;
  bool Find(uint32_t Hash) const;
  const uint8_t* KeepRow();
  void Insert(const uint8_t* Row, uint32_t Hash) noexcept;
  void Grow();
  void ResetRow() noexcept;

  std::vector<TColumn> FColumns;
  uint32_t FRowHash = 0;
  bool FHashed = false;
  THashHook FHook = nullptr;
  TSlot* FSlots = nullptr;
  int64_t FCapacity = 0;
  uint64_t FMask = 0;
  int64_t FCount = 0;
  TTolvanByteArena FArena;
  // The column hashes as the row hash reads them.
  std::vector<uint8_t> FHashWords;
};

} // namespace tolvan
