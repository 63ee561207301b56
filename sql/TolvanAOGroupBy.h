// TolvanAOGroupBy.h: TTolvanAOGroupBy, grouping and aggregation over one operator.
//
// The child delivers its rows ordered on the group fields; the group-by streams over them and
// makes one row per run of equal keys (nulls equal, case kept), or one row for the whole input
// without GROUP BY. The aggregates are the computed select items and the HAVING filter that hold
// one. SELECT COUNT(*) alone answers the child's record count without reading its rows.
//
// The aggregates are reset at the start of each group and fed once per row of it, with the child
// standing on that row; the child then stands on the group's last row while the output row is
// read, so group fields and other plain references read that row. When every aggregate of the
// one select item and of HAVING is COUNT(*), the whole input is fed once at First with the
// child's record count as weight, and no row is read. An empty input with aggregates gives one
// row of their initial values, the other fields null. DISTINCT, TOP and ORDER BY apply to the
// grouped rows, as to any operator's.
//
// Ownership: the group-by owns its child (base) and copies of the previous group's key values
// (a read borrows the record buffer); the copies live in buffers kept between groups, so a run
// allocates nothing per row once they have grown to the widest key.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

private:
  // The key of the child's current row, read into FReadKeys; true when it differs from the
  // previous key, which then becomes a copy of it.
  bool ReadKey();
  // Takes the group of the child's current row: the aggregates over all its rows, the child
  // left on its last row.
  void NextGroup();
  void CollectAggregates();
  void ResetAggregates();
  void Feed(int64_t Weight);
  void CheckPlainItem(const TTolvanSelectListItem& Item, TTolvanIntegerArray& Found);

  bool FWholeInput = true;
  TTolvanIntegerArray FGroupFields;
  // Per group field: the child's field it reads, the previous key (borrowing its buffer) and
  // the scratch a read fills.
  std::vector<int32_t> FChildKeyFields;
  std::unique_ptr<TTolvanVariant[]> FPreviousKeys;
  std::vector<std::vector<uint8_t>> FKeyBuffers;
  std::unique_ptr<TTolvanVariant[]> FReadKeys;
  bool FHasPreviousKey = false;
  bool FEndReached = false;
  // The select list is one item whose aggregates are all COUNT(*); single-count also asks that
  // of HAVING, which may come later.
  bool FSingleCountItem = false;
  bool FCountStar = false;
  // The expressions holding aggregates, for the run under way.
  std::vector<TTolvanExpression*> FAggregates;
};

} // namespace tolvan
