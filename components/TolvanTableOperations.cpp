// The table component's operations on the stored table: create, delete, rename, save, load,
// indexes, foreign keys and restructure.
#include "components/TolvanTable.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

namespace {
[[noreturn]] void NotYet() {
  throw ETolvanException::Create(ErrProviderNotSupported, SOperationNotSupported);
}
} // namespace

void TTolvanTable::CreateTable() { NotYet(); }
void TTolvanTable::DeleteTable(bool) { NotYet(); }
void TTolvanTable::RenameTable(std::string_view) { NotYet(); }
void TTolvanTable::RenameField(std::string_view, std::string_view) { NotYet(); }
void TTolvanTable::AddForeignKey(const TTolvanForeignKeyDef&) { NotYet(); }
void TTolvanTable::DropConstraint(std::string_view, bool) { NotYet(); }
void TTolvanTable::LoadFromStream(TStream&) { NotYet(); }
void TTolvanTable::SaveToStream(TStream&, uint8_t, uint8_t, int32_t) { NotYet(); }
void TTolvanTable::AddIndex(std::string_view, std::string_view, TIndexOptions, std::string_view,
                            std::string_view) {
  NotYet();
}
void TTolvanTable::DeleteIndex(std::string_view) { NotYet(); }
bool TTolvanTable::RestructureTable(std::string& Log) { return RebuildTable(Log); }
bool TTolvanTable::RebuildTable(std::string&) { NotYet(); }
void TTolvanTable::SetRestructureFaultHook(TRestructureFaultHook) {}

} // namespace tolvan
