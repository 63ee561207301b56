// Stand-ins for the cascade operation until it is built: no record is ever planned for deletion,
// and the actions refuse.
#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"
#include "storage/TolvanForeignKeys.h"

namespace tolvan {

namespace {

[[noreturn]] void NotSupported() { throw ETolvanException::Create(11394, SOperationNotSupported); }

} // namespace

bool RecordPlannedForDeletion(const TTolvanTableData&, const TTolvanRecordID&) { return false; }

bool KeyChanged(TTolvanTableData&, const uint8_t*, const uint8_t*) { NotSupported(); }

bool FindChildRecords(TTolvanCursor&, TTolvanTableData&,
                      const TTolvanConstraintDefForeignKeyAction&, const uint8_t*) {
  NotSupported();
}

void SetChildKeys(TTolvanTableData&, TTolvanTableData&, const TTolvanConstraintDefForeignKeyAction&,
                  TTolvanForeignKeyAction, const uint8_t*, uint8_t*) {
  NotSupported();
}

void ApplyForeignKeyActions(TTolvanTableData&, TTolvanCursor&, int32_t, bool) { NotSupported(); }

} // namespace tolvan
