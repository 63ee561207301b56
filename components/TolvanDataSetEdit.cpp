#include "components/TolvanDataSet.h"

#include "foundation/TolvanExcept.h"

namespace tolvan {

namespace {
[[noreturn]] void NotYet() {
  throw ETolvanException::Create(11394, "Error - operation is not supported");
}
} // namespace

bool TTolvanDataSet::HasBeforeInsertRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasAfterInsertRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasBeforeUpdateRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasAfterUpdateRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasBeforeDeleteRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasAfterDeleteRecordEvent() const noexcept { return false; }
bool TTolvanDataSet::HasBeforeExecuteSQLEvent() const noexcept { return false; }
bool TTolvanDataSet::HasAfterExecuteSQLEvent() const noexcept { return false; }
void TTolvanDataSet::EmptyTable() { NotYet(); }
void TTolvanDataSet::UpdateAllRecords(const TStringList&, std::span<TTolvanVariant* const>) {
  NotYet();
}
void TTolvanDataSet::BeginTableUse() { NotYet(); }
void TTolvanDataSet::EndTableUse() { NotYet(); }
void TTolvanDataSet::InitNewRecord(uint8_t* Buffer) { TDataSet::InitNewRecord(Buffer); }
void TTolvanDataSet::BeginInsertRecord() {}
void TTolvanDataSet::EditRecord() {}
void TTolvanDataSet::PostRecord() {}
void TTolvanDataSet::CancelRecord() {}
void TTolvanDataSet::DeleteRecord() {}
void TTolvanDataSet::AddRecord(uint8_t*) {}
void TTolvanDataSet::PostRecordAndKey() { TDataSet::PostRecordAndKey(); }

} // namespace tolvan
