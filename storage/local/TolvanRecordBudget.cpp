#include "storage/local/TolvanRecordBudget.h"

#include "foundation/TolvanExcept.h"

namespace tolvan {

namespace {

thread_local std::optional<int64_t> Budget;

} // namespace

std::optional<int64_t> RecordBudget() noexcept { return Budget; }

void SetRecordBudget(std::optional<int64_t> Records) noexcept {
  if (Records && *Records < 0)
    Records = 0;
  Budget = Records;
}

void ChargeRecordBudget() {
  if (!Budget)
    return;
  if (*Budget == 0)
    throw ETolvanException::Create(ErrRecordBudgetSpent, SRecordBudgetSpent);
  --*Budget;
}

} // namespace tolvan
