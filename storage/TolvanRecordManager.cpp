#include "storage/TolvanRecordManager.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

bool TTolvanBaseRecordManager::UpdateRecord(const uint8_t*, const TTolvanRecordID&, int32_t) {
  return false;
}

bool TTolvanBaseRecordManager::DeleteRecord(const TTolvanRecordID&, int32_t) { return false; }

void TTolvanBaseRecordManager::LoadFromStream(TStream&) {}

void TTolvanBaseRecordManager::SaveToStream(TStream&) {}

void TTolvanBaseRecordManager::AppendLoadedRecord(const uint8_t*, int32_t&) {}

void RaiseRecordStoreField(int32_t Code, std::string_view Field, int64_t Value) {
  throw ETolvanException::CreateFmt(Code, SInvalidRecordStoreField, Field, Value);
}

} // namespace tolvan
