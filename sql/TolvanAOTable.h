// TolvanAOTable.h: TTolvanAOTable, the leaf of an operator tree.
//
// A leaf opens a table (through a TTolvanTable) or a derived table (through the dataset the
// derived-table factory makes for its sub-query) and shows every column as a hidden output
// field read straight from that source dataset. The conditions of the operator's filter that
// name only this table become the source cursor's external filter, so the storage engine
// answers them, with an index where it can. Execute then either hands the source itself on as
// the result (projected to the select list, with an index for ORDER BY) or copies the rows into
// a result table like any operator.
//
// Ownership: the base owns the result dataset, which at creation is also the source (borrowed
// here). Before a copy replaces the result, the leaf takes the source over and frees it after
// the copy. A filter handed to the source cursor belongs to the cursor; a leaf kept for re-runs
// lends it instead and takes it back before the source closes; such a leaf also keeps a copied
// source open for its next run.
//
// Table use: LockSources begins a use on the source table (never on a temporary table) and
// UnlockSources ends it; a copying run ends it as soon as the rows are copied.
//
// Threads: a tree serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "classlib/Components.h"
#include "classlib/DBParams.h"
#include "sql/TolvanAO.h"

namespace tolvan {

inline constexpr int32_t ErrAOTableOpen = 10303;
inline constexpr int32_t ErrAOHiddenVisibleField = 11498;
inline constexpr int32_t ErrAOEmptyDisplayName = 11500;
inline constexpr int32_t ErrAOTableDoesNotExist = 11505;
inline constexpr int32_t ErrAOOrderIndexMissing = 11667;

class TTolvanAOTable : public TTolvanAO {
public:
  // Opens the table (or runs the sub-query); see the source for the steps. Params, when given,
  // is copied into a derived table's parameters. The password is accepted and not used.
  TTolvanAOTable(std::string_view DatabaseName, std::string_view SessionName,
                 std::string_view TableName, std::string_view Alias, std::string_view SubQuery,
                 const TParams* Params, bool InMemory, bool RequestLive, std::string_view Password);
  ~TTolvanAOTable() override;

  void LiveFirst() override;
  void LiveNext() override;
  bool LiveEof() override;
  int64_t LiveRecordCount() override;
  void CreateResultTable() override;
  void Execute() override;
  void LockSources() override;
  void UnlockSources() override;
  void CollectParams(std::vector<TTolvanExprNodeConst*>& List) override;
  void SaveFieldLinks() override;
  void ResetForReexecution() override;

  // The source's definitions and cursor, for expressions bound to this leaf.
  const TTolvanFieldDefs* TableFieldDefs() override;
  TTolvanCursor* TableCursor() override;

  // The table or derived table the leaf reads; nil once a copy freed it.
  TTolvanDataSet* SourceDataSet() const noexcept;
  // The result handed on is the source itself (no copy).
  bool ResultIsSource() const noexcept;
  // Conditions holding sub-queries go into the source's scan too, so that a statement that
  // changes the table's records gets the table itself rather than a copy.
  void SetSubQueryConditionsToSource(bool Value) noexcept { FSubQueryConditionsToSource = Value; }
  bool TableUseStarted() const noexcept;

protected:
  // Construction steps 2-3: names the source dataset's table (or sub-query), checks that a
  // table of an in-memory database exists. The names go through TargetBinding.
  void BindSource(std::string_view DatabaseName, std::string_view SessionName,
                  std::string_view TableName, bool InMemory, bool RequestLive,
                  const TParams* Params);

  // The sub-queries of the conditions handed to the source cursor.
  void ResetOwnSubQueries(const TParams* Params) override;
  void RunOwnSubQueries() override;

private:
  void OpenSource(std::string_view DatabaseName, std::string_view SessionName,
                  std::string_view SubQuery, bool InMemory);
  void AddSourceLinks();
  // Execute steps.
  void SelectOrderIndex();
  bool MustCopy();
  void CopyRows();
  void HandOnSource();
  // After a copy: the source takes the result's place again, as before the run.
  void RestoreSourceAsResult() noexcept;
  // Moves the filter's conjuncts that name only this table to the source cursor's external
  // filter, once per source; a leaf kept for re-runs keeps track of it to take it back.
  void PushTableConditions();
  // Takes a lent filter back from the source cursor (kept leaves), before the source closes.
  void TakeBackFilter() noexcept;
  void EndNotedTableUse() noexcept;
  // The dataset the leaf reads: the source while it lives, else the result.
  TTolvanDataSet& ReadDataSet() const;

  // The source: borrowed from the base while it is the result; owned here after a copy took
  // the result's place.
  TTolvanDataSet* FSource = nullptr;
  TComponentPtr<TTolvanDataSet> FOwnedSource;
  // The dataset a table use was begun on, until it is ended.
  TTolvanDataSet* FTableUseDataSet = nullptr;
  // The table's columns; the source's definitions shrink to the select list once projected.
  int32_t FSourceFieldCount = 0;
  bool FResultIsSource = false;
  bool FConditionsPushed = false;
  bool FSubQueryConditionsToSource = false;
  // A kept leaf's pushed filter: attached to the source cursor (which holds it meanwhile) and
  // taken back into FLentFilterStore before the source closes.
  TTolvanExpression* FLentFilter = nullptr;
  std::unique_ptr<TTolvanExpression> FLentFilterStore;
  // The source cursor's external filter when the links were saved.
  TTolvanExpression* FSavedExternalFilter = nullptr;
};

} // namespace tolvan
