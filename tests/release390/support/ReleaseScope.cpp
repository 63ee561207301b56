#include "tests/release390/support/ReleaseScope.h"

#include "components/TolvanComponentStartup.h"
#include "release390/TolvanRelease390.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan::test {

namespace {

void StopAll() noexcept {
  try {
    FreeComponentRegistries();
  } catch (...) {
  }
  StorageShutdown();
}

} // namespace

TReleaseScope::TReleaseScope(TTolvanReleaseId Id, bool StartComponents)
    : FComponentsBefore(ComponentRegistriesExist()), FStorageBefore(StorageStarted()) {
  StopAll();
  InstallRelease390();
  SelectRelease(Id);
  if (StartComponents) {
    try {
      InitComponentRegistries();
    } catch (...) {
      SelectRelease(TTolvanReleaseId::tr400);
      throw;
    }
  }
}

TReleaseScope::~TReleaseScope() {
  StopAll();
  SelectRelease(TTolvanReleaseId::tr400);
  try {
    if (FComponentsBefore)
      InitComponentRegistries();
    else if (FStorageBefore)
      StorageStartup();
  } catch (...) {
  }
}

} // namespace tolvan::test
