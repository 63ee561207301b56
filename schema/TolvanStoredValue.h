// TolvanStoredValue.h: values in the form a column stores them, and an arena to keep such forms.
//
// Sets of distinct values (a DISTINCT aggregate's values, the rows of SELECT DISTINCT and of the
// set operations) must call two values the same exactly when storing them in their column would
// make them the same. TTolvanStoredValue gives that form: the value is converted to the
// column's type and written as a record would hold it, so text is cut to the column and
// zero-filled, an empty text is null, numbers take the column's type. BLOB-kind columns keep the
// converted content itself; an empty one is null too.
//
// SameValue and Hash go together: two stored forms of one column that SameValue calls equal hash
// equal. Equality is CompareValueBuffers' case-sensitive comparison of whole values (both zeros
// and all NaNs of a float type are one value); types that have no order (BLOB, BYTES,
// VARBYTES) compare byte by byte.
//
// TTolvanByteArena keeps copies of byte runs until it is freed; its blocks come from the engine's
// allocator, and what it hands out stays where it is.
//
// Threads: each object serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TolvanMemory.h"
#include "foundation/TolvanVariant.h"
#include "schema/TolvanMetaObjectDefs.h"

namespace tolvan {

class TTolvanStoredValue {
public:
  // A column of FieldType and Size; a type a column cannot have raises as the field definition
  // does (30007).
  TTolvanStoredValue(TTolvanFieldType FieldType, int32_t Size);
  TTolvanStoredValue(const TTolvanStoredValue&) = delete;
  TTolvanStoredValue& operator=(const TTolvanStoredValue&) = delete;

  // Brings Value to the stored form; false when the column would hold null. A value that does
  // not convert to the column's type raises as the conversion does. Data() and DataSize() are
  // valid until the next Store.
  bool Store(const TTolvanVariant& Value);
  const uint8_t* Data() const noexcept { return FData; }
  int32_t DataSize() const noexcept { return FDataSize; }

  // The value type of the stored forms.
  TTolvanValueType ValueType() const noexcept { return FValueType; }
  // The hash of the last stored form; NullValueHash after a Store that gave null.
  uint32_t Hash() const;
  // Whether two stored forms of this column hold the same value.
  bool SameValue(const uint8_t* A, int32_t SizeA, const uint8_t* B, int32_t SizeB) const;

private:
  TTolvanFieldDefs FDefs;
  TTolvanValueType FValueType = tvtNone;
  bool FBlob = false;
  bool FByteEquality = false;
  std::unique_ptr<uint8_t, TTolvanMemDeleter> FRecord;
  TTolvanVariant FScratch;
  const uint8_t* FData = nullptr;
  int32_t FDataSize = 0;
};

class TTolvanByteArena {
public:
  TTolvanByteArena() = default;
  TTolvanByteArena(const TTolvanByteArena&) = delete;
  TTolvanByteArena& operator=(const TTolvanByteArena&) = delete;
  ~TTolvanByteArena();

  // Room for Size bytes (Size >= 0), valid until the arena is freed or cleared.
  uint8_t* Allocate(int32_t Size);
  // A copy of Size bytes at Source.
  const uint8_t* Keep(const void* Source, int32_t Size);
  // Frees every block.
  void Clear() noexcept;

private:
  static constexpr int64_t BlockSize = 64 * 1024;
  static constexpr int64_t BlockHeader = int64_t(sizeof(void*));

  // Blocks chained through their first bytes, newest first.
  void* FBlocks = nullptr;
  int64_t FUsed = 0;
  int64_t FBlockEnd = 0;
};

} // namespace tolvan
