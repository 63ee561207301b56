#include "tests/components/TempEngineStandIn.h"

#include <memory>

#include "storage/TolvanDatabaseData.h"
#include "storage/memory/TolvanMemoryEngine.h"

namespace tolvan::test {

namespace {

class TStandInTempDatabase : public TTolvanMemoryDatabaseData {
public:
  TStandInTempDatabase() {
    SetInMemory(false);
    SetTemporary(true);
  }
};

bool Install() {
  if (StorageStarted())
    return false;
  StorageStartup();
  const bool HasTemp = FindDatabaseData(false, true, TemporaryDatabaseName, u"") != nullptr;
  StorageShutdown();
  if (HasTemp)
    return false;
  RegisterDatabaseEngine(TemporaryDatabaseName, [] {
    return std::unique_ptr<TTolvanDatabaseData>(std::make_unique<TStandInTempDatabase>());
  });
  return true;
}

} // namespace

bool EnsureTempEngine() {
  static const bool Installed = Install();
  return Installed;
}

} // namespace tolvan::test
