// TolvanRecordBudget.h: a per-thread allowance of records that local cursors may read or post,
// so that a test can bound every loop a script drives (scans, joins, copies, DML, index builds)
// and make an operation fail part-way through.
//
// The budget is unlimited unless a test sets one. Each record a local cursor reads (GetRecord)
// or posts (PostRecord, DeleteRecord) spends one unit, and a bulk delete or update spends one
// before it starts; the first charge after the budget is spent raises 30404 "Error - record budget
// of the test spent", and so does every later one until the budget is set again or lifted.
//
// Threads: the budget belongs to the calling thread; nothing is shared.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvan {

inline constexpr int32_t ErrRecordBudgetSpent = 30404;
inline constexpr std::string_view SRecordBudgetSpent = "Error - record budget of the test spent";

// Records left on this thread, or nothing when unlimited.
std::optional<int64_t> RecordBudget() noexcept;
// Records may be read or posted Records more times on this thread (a negative value counts as 0);
// nothing lifts the limit.
void SetRecordBudget(std::optional<int64_t> Records) noexcept;
// Spends one unit; raises 30404 when none is left.
void ChargeRecordBudget();

// Sets a budget for the life of the scope and restores the one before.
class TTolvanRecordBudgetScope {
public:
  explicit TTolvanRecordBudgetScope(std::optional<int64_t> Records) noexcept
      : FPrevious(RecordBudget()) {
    SetRecordBudget(Records);
  }
  ~TTolvanRecordBudgetScope() { SetRecordBudget(FPrevious); }
  TTolvanRecordBudgetScope(const TTolvanRecordBudgetScope&) = delete;
  TTolvanRecordBudgetScope& operator=(const TTolvanRecordBudgetScope&) = delete;

private:
  std::optional<int64_t> FPrevious;
};

} // namespace tolvan
