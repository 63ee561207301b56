// Index selection, key search, key ranges, master/detail and auto-increment values of the table
// component.
#include "components/TolvanTable.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
[[noreturn]] void NotYet() {
  throw ETolvanException::Create(ErrProviderNotSupported, SOperationNotSupported);
}
} // namespace

TField& TTolvanTable::GetIndexField(int32_t) { NotYet(); }
void TTolvanTable::SetIndexField(int32_t, TField*) { NotYet(); }
AnsiString TTolvanTable::ResolveIndexName(std::string_view Selector, bool ByFields) {
  if (Selector.empty())
    return AnsiString();
  if (ByFields)
    NotYet();
  return AnsiString(Selector);
}
void TTolvanTable::SelectIndex(std::string_view Selector, bool ByFields) {
  FIndexSelector = Selector;
  FIndexByFields = ByFields;
}
bool TTolvanTable::GotoKey() { NotYet(); }
void TTolvanTable::ApplyRange() { NotYet(); }
void TTolvanTable::CancelRange() { NotYet(); }
void TTolvanTable::EditKeyBuffer(int32_t, bool) { NotYet(); }
void TTolvanTable::PostKeyBuffer(bool) { NotYet(); }
bool TTolvanTable::ApplyRangeKeys() { NotYet(); }
void TTolvanTable::SetRangeFromFields(const std::vector<TField*>&) { NotYet(); }
void TTolvanTable::ApplyMasterRange() {}
void TTolvanTable::MasterChanged() { NotYet(); }
void TTolvanTable::MasterDisabled() { NotYet(); }
int64_t TTolvanTable::GetAutoIncValue(int32_t) { NotYet(); }
int64_t TTolvanTable::GetAutoIncValueByName(std::string_view) { NotYet(); }
void TTolvanTable::SetAutoIncValue(int32_t, int64_t) { NotYet(); }

} // namespace tolvan
