#include "storage/TolvanRecordManager.h"

namespace tolvan {

bool TTolvanBaseRecordManager::UpdateRecord(const uint8_t*, const TTolvanRecordID&, int32_t) {
  return false;
}

bool TTolvanBaseRecordManager::DeleteRecord(const TTolvanRecordID&, int32_t) { return false; }

void TTolvanBaseRecordManager::LoadFromStream(TStream&) {}

void TTolvanBaseRecordManager::SaveToStream(TStream&) {}

void TTolvanBaseRecordManager::AppendLoadedRecord(const uint8_t*, int32_t&) {}

} // namespace tolvan
