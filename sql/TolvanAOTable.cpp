// Placeholder until the table leaf is built.
#include "sql/TolvanAOTable.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

TTolvanAOTable::TTolvanAOTable(std::string_view, std::string_view, std::string_view TableName,
                               std::string_view Alias, std::string_view SubQuery, const TParams*,
                               bool, bool, std::string_view)
    : TTolvanAO(nullptr, nullptr, SubQuery, Alias, TableName) {
  FIsTableLeaf = true;
  throw ETolvanException::Create(ErrAODerivedTableUnsupported, SOperationNotSupported);
}
TTolvanAOTable::~TTolvanAOTable() = default;
void TTolvanAOTable::LiveFirst() {}
void TTolvanAOTable::LiveNext() {}
bool TTolvanAOTable::LiveEof() { return true; }
int64_t TTolvanAOTable::LiveRecordCount() { return 0; }
void TTolvanAOTable::CreateResultTable() { TTolvanAO::CreateResultTable(); }
void TTolvanAOTable::Execute() { TTolvanAO::Execute(); }
void TTolvanAOTable::LockSources() {}
void TTolvanAOTable::UnlockSources() {}
void TTolvanAOTable::CollectParams(std::vector<TTolvanExprNodeConst*>& List) {
  TTolvanAO::CollectParams(List);
}
void TTolvanAOTable::SaveFieldLinks() { TTolvanAO::SaveFieldLinks(); }
void TTolvanAOTable::ResetForReexecution() { TTolvanAO::ResetForReexecution(); }
const TTolvanFieldDefs* TTolvanAOTable::TableFieldDefs() { return nullptr; }
TTolvanCursor* TTolvanAOTable::TableCursor() { return nullptr; }
TTolvanDataSet* TTolvanAOTable::SourceDataSet() const noexcept { return nullptr; }
bool TTolvanAOTable::ResultIsSource() const noexcept { return false; }
bool TTolvanAOTable::TableUseStarted() const noexcept { return false; }

} // namespace tolvan
