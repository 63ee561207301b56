// Placeholder until grouping is built.
#include "sql/TolvanAOGroupBy.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
const TTolvanIntegerArray& NoFields() {
  static const TTolvanIntegerArray Empty(0, 4, 64);
  return Empty;
}
} // namespace

TTolvanAOGroupBy::TTolvanAOGroupBy(std::unique_ptr<TTolvanAO> Child, const TTolvanFields*)
    : TTolvanAO(std::move(Child), nullptr, "", "", "") {
  throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
}
TTolvanAOGroupBy::~TTolvanAOGroupBy() = default;
void TTolvanAOGroupBy::SetSelectList(std::span<TTolvanSelectListItem> Items, int32_t Highest,
                                     bool Distinct) {
  TTolvanAO::SetSelectList(Items, Highest, Distinct);
}
void TTolvanAOGroupBy::GetFieldValue(TTolvanVariant& Value, int32_t FieldNo, bool ReadOption,
                                     bool AllowHidden) {
  TTolvanAO::GetFieldValue(Value, FieldNo, ReadOption, AllowHidden);
}
void TTolvanAOGroupBy::LiveFirst() {}
void TTolvanAOGroupBy::LiveNext() {}
bool TTolvanAOGroupBy::LiveEof() { return true; }
int64_t TTolvanAOGroupBy::LiveRecordCount() { return 0; }
bool TTolvanAOGroupBy::WholeInput() const noexcept { return true; }
bool TTolvanAOGroupBy::SingleCount() const noexcept { return false; }
bool TTolvanAOGroupBy::CountStar() const noexcept { return false; }
const TTolvanIntegerArray& TTolvanAOGroupBy::GroupFields() const noexcept { return NoFields(); }

} // namespace tolvan
