// TolvanAOGroupBy.h: TTolvanAOGroupBy, grouping and aggregation over one operator.
//
// The child delivers its rows ordered on the group fields; the group-by streams over them and
// makes one row per run of equal keys (nulls equal, case kept), or one row for the whole input
// without GROUP BY. The aggregates are the computed select items and the HAVING filter that hold
// one. SELECT COUNT(*) alone answers the child's record count without reading its rows.
//
// Ownership: the group-by owns its child (base) and copies of the previous group's key values
// (a read borrows the record buffer).
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "sql/TolvanAO.h"

namespace tolvan {

inline constexpr int32_t ErrAOGroupFieldNotFound = 10341;
inline constexpr int32_t ErrAOFieldNotInGroupBy = 10342;
inline constexpr int32_t ErrAOInvalidGroupField = 10343;

class TTolvanAOGroupBy : public TTolvanAO {
public:
  // GroupFields nil or empty: the whole input is one group.
  TTolvanAOGroupBy(std::unique_ptr<TTolvanAO> Child, const TTolvanFields* GroupFields);
  ~TTolvanAOGroupBy() override;

  void SetSelectList(std::span<TTolvanSelectListItem> Items, int32_t Highest,
                     bool Distinct) override;
  void GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                     bool AllowHidden) override;

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;

  bool WholeInput() const noexcept;
  bool SingleCount() const noexcept;
  bool CountStar() const noexcept;
  const TTolvanIntegerArray& GroupFields() const noexcept;

protected:
  bool IsGroupBy() const override { return true; }
};

} // namespace tolvan
