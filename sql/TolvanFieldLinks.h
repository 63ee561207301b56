// TolvanFieldLinks.h: what the relational operators say about their fields.
//
//   TTolvanSelectListItem     one entry of a select list or field list (declared with the
//                             expressions, which read select lists when they resolve aliases)
//   TTolvanFields             the lists the parser hands to the operators: select lists, join,
//                             set-operation and group field lists
//   TTolvanFieldLink          one output field of an operator and where its value comes from
//   TTolvanSortSpecification  one ORDER BY item as the parser read it
//   OrderByStringsToLists,    the two forms of an ORDER BY: three ';'-separated texts (fields,
//   OrderByListsToStrings     descending fields, case-insensitive fields) and three parallel
//                             lists (field, "ASC"/"DESC", "CASE"/"NO_CASE")
//
// Ownership: a TTolvanFields owns its items and each item its expression; Add stores a deep copy
// of what it is given, so the caller keeps its own item. A field link owns nothing: its
// expression belongs to the operator's store of computed expressions, its source operator and
// dataset to the tree. Copying a link therefore never frees anything twice.
//
// Threads: these are plain values; one thread at a time uses a list or a link.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "classlib/StringList.h"
#include "classlib/Strings.h"
#include "foundation/TolvanTypesRoutines.h"
#include "schema/expr/TolvanExprServices.h"

namespace tolvan {

class TTolvanAO;
class TTolvanDataSet;
class TTolvanExpression;

// A copy of Item with its expression cloned.
TTolvanSelectListItem CopySelectListItem(const TTolvanSelectListItem& Item);

// A growable list of select-list items.
class TTolvanFields {
public:
  TTolvanFields() = default;
  TTolvanFields(const TTolvanFields&) = delete;
  TTolvanFields& operator=(const TTolvanFields&) = delete;
  TTolvanFields(TTolvanFields&&) noexcept = default;
  TTolvanFields& operator=(TTolvanFields&&) noexcept = default;
  ~TTolvanFields();

  // Appends a copy of Item, its expression cloned. A list already holding INT32_MAX items raises
  // EIntOverflow.
  void Add(const TTolvanSelectListItem& Item);
  // Appends Item itself, taking its expression; the same limit.
  void Add(TTolvanSelectListItem&& Item);

  int32_t Count() const noexcept { return int32_t(FItems.size()); }
  // The highest index, -1 for an empty list: what the operators take with the items.
  int32_t Highest() const noexcept { return Count() - 1; }
  TTolvanSelectListItem& Items(int32_t Index) { return FItems.at(size_t(Index)); }
  const TTolvanSelectListItem& Items(int32_t Index) const { return FItems.at(size_t(Index)); }
  // All items; an operator may move the expressions out of them.
  std::span<TTolvanSelectListItem> All() noexcept { return FItems; }
  std::span<const TTolvanSelectListItem> All() const noexcept { return FItems; }
  void Clear() noexcept;

private:
  void CheckRoom() const;

  std::vector<TTolvanSelectListItem> FItems;
};

// One output field of an operator. The members keep the order in which the operators describe a
// field: names, type, BLOB storage, then the source.
struct TTolvanFieldLink {
  AnsiString Name;
  AnsiString DisplayName;
  AnsiString SourceFieldName;
  AnsiString TableName;
  AnsiString TableAlias;
  TTolvanFieldType FieldType = tftNone;
  int32_t Precision = 0;
  int32_t Size = 0;
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionLevel = 0;
  int32_t BlobBlockSize = 0;
  // Where the value comes from: an operator's output field or a dataset's field, numbered by
  // SourceFieldNo among that source's own fields. Neither for a link whose source has gone.
  TTolvanAO* SourceOperator = nullptr;
  TTolvanDataSet* SourceDataSet = nullptr;
  bool Hidden = false;
  int32_t SourceFieldNo = -1;
  bool Computed = false;
  bool HasAggregate = false;
  // The value of a computed link; borrowed from the operator's expression store.
  TTolvanExpression* Expression = nullptr;
};

// One ORDER BY item. ColumnNumber counts the visible fields from 1; -1 when the item names a
// column.
struct TTolvanSortSpecification {
  AnsiString TableName;
  AnsiString FieldName;
  int32_t ColumnNumber = -1;
  bool Descending = false;
  bool CaseInsensitive = false;
};

inline constexpr std::string_view OrderByAscending = "ASC";
inline constexpr std::string_view OrderByDescending = "DESC";
inline constexpr std::string_view OrderByCase = "CASE";
inline constexpr std::string_view OrderByNoCase = "NO_CASE";

// Fills the three lists from the three ';' texts. The field names come out trimmed and
// upper-cased; each field is "DESC" when it is among DescendingFields (without regard to case),
// else "ASC", and "NO_CASE" when it is among CaseInsensitiveFields, else "CASE". The lists are
// cleared first.
void OrderByStringsToLists(std::string_view Fields, std::string_view DescendingFields,
                           std::string_view CaseInsensitiveFields, TStringList& FieldList,
                           TStringList& DirectionList, TStringList& CaseList);
// The inverse: all fields ';'-joined, the fields whose direction is exactly "DESC", and those
// whose case entry is exactly "NO_CASE". A direction or case list shorter than the field list
// counts as "ASC" / "CASE" for the fields it lacks.
void OrderByListsToStrings(const TStringList& FieldList, const TStringList& DirectionList,
                           const TStringList& CaseList, AnsiString& Fields,
                           AnsiString& DescendingFields, AnsiString& CaseInsensitiveFields);

} // namespace tolvan
