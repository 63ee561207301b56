// TolvanIndexDef.h: the definition of an index and of its key columns.
//
// An index definition names the columns of its key, most significant first, each with its
// order and case mode, and records the B-tree root page the storage gives it.
//
// Stream form: the definition's base form (TolvanMetaObjectDef.h), then, little-endian, with
// the native codes (write / read):
//
//   width  content                                 codes
//   1      IndexKind                               10344 / 10349
//   1      Unique                                  10345 / 10350
//   1      Primary                                 10346 / 10351
//   4      column count c                          10347 / 10352
//   4      RootPageNo                              10348 / 10353
//   c times an index column:
//   1      name length n (1-255)                   10354 / 10358
//   n      name bytes                              10355 / 10359
//   1      Descending                              10356 / 10360
//   1      CaseInsensitive                         10357 / 10361
//
// A column name that is empty or longer than 255 bytes cannot be written and a stored length 0
// cannot be read: both raise ERangeError, and nothing is written for that column. A count that
// is negative or larger than the bytes left can hold (4 per column at least) raises 10352
// before a column is made.
//
// Ownership: an index definition owns its columns.
//
// Threads: not synchronised; the owner serialises access.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "schema/TolvanMetaObjectDef.h"

namespace tolvan {

// One key column.
class TTolvanIndexColumn {
public:
  const AnsiString& Name() const noexcept { return FName; }
  void SetName(std::string_view Value) { FName.assign(Value); }
  uint8_t Descending() const noexcept { return FDescending; }
  void SetDescending(uint8_t Value) noexcept { FDescending = Value; }
  uint8_t CaseInsensitive() const noexcept { return FCaseInsensitive; }
  void SetCaseInsensitive(uint8_t Value) noexcept { FCaseInsensitive = Value; }

  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;

  friend bool operator==(const TTolvanIndexColumn&, const TTolvanIndexColumn&) = default;

private:
  AnsiString FName;
  uint8_t FDescending = 0;
  uint8_t FCaseInsensitive = 0;
};

class TTolvanIndexDef : public TTolvanMetaObjectDef {
public:
  // 0 for every index the engine makes; kept, never interpreted.
  uint8_t IndexKind() const noexcept { return FIndexKind; }
  void SetIndexKind(uint8_t Value) noexcept { FIndexKind = Value; }
  uint8_t Unique() const noexcept { return FUnique; }
  void SetUnique(uint8_t Value) noexcept { FUnique = Value; }
  uint8_t Primary() const noexcept { return FPrimary; }
  void SetPrimary(uint8_t Value) noexcept { FPrimary = Value; }
  // The B-tree's root page; -1 before the index has pages.
  int32_t RootPageNo() const noexcept { return FRootPageNo; }
  void SetRootPageNo(int32_t Value) noexcept { FRootPageNo = Value; }

  // Column i; an index outside 0 .. ColumnCount - 1 raises ERangeError. A reference stays valid
  // until the column count changes.
  TTolvanIndexColumn& Columns(int32_t Index);
  const TTolvanIndexColumn& Columns(int32_t Index) const;
  int32_t ColumnCount() const noexcept { return static_cast<int32_t>(FColumns.size()); }
  // Grows with empty columns or drops the columns past Value; a negative Value raises
  // ERangeError.
  void SetColumnCount(int32_t Value);

  void Assign(const TTolvanMetaObjectDef& Source) override;
  void LoadFromStream(TStream& Stream) override;
  void SaveToStream(TStream& Stream) const override;
  std::string_view ClassName() const override { return "TTolvanIndexDef"; }

private:
  uint8_t FIndexKind = 0;
  std::vector<TTolvanIndexColumn> FColumns;
  uint8_t FUnique = 0;
  uint8_t FPrimary = 0;
  int32_t FRootPageNo = -1;
};

} // namespace tolvan
