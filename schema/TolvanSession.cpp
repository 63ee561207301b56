#include "schema/TolvanSession.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

TTolvanBaseSession::~TTolvanBaseSession() = default;

void TTolvanBaseSession::CreateDatabase() {
  throw ETolvanException::Create(10888, SOperationNotSupported);
}

int32_t TTolvanBaseSession::NamedObjectCount() const {
  std::lock_guard<TPlatformLock> Guard(FNamedObjectsLock);
  return static_cast<int32_t>(FNamedObjects.size());
}

TTolvanSessionNamedObjectSequenceValue* FindSessionNamedObject(const TTolvanBaseSession& Session,
                                                               std::string_view Name) {
  std::lock_guard<TPlatformLock> Guard(Session.FNamedObjectsLock);
  auto It = Session.FNamedObjects.find(Name);
  return It == Session.FNamedObjects.end() ? nullptr : It->second.get();
}

void SetSessionSequenceValue(TTolvanBaseSession& Session, std::string_view Name, int64_t Value) {
  std::lock_guard<TPlatformLock> Guard(Session.FNamedObjectsLock);
  auto It = Session.FNamedObjects.find(Name);
  if (It != Session.FNamedObjects.end()) {
    It->second->SetValue(Value);
    return;
  }
  Session.FNamedObjects.emplace(
      AnsiString(Name), std::make_unique<TTolvanSessionNamedObjectSequenceValue>(Name, Value));
}

} // namespace tolvan
