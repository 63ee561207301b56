// TolvanComponentStartup.h: the component layer's process-wide objects, made at start-up and
// freed at shutdown, and the engine version text.
//
// InitComponentRegistries makes, in this order: the dataset registry; the database-data
// registry with "MEMORY" and "TEMP" (the storage layer's StorageStartup); the session list; the
// default session, "Default"; then it registers the component services for expressions.
// FreeComponentRegistries withdraws the services first, then closes the session list (every
// session deactivated, every database detached, the default session freed; client sessions and
// databases stay with their holders and no longer reach any registry), frees every database with
// its tables (StorageShutdown) and the dataset registry. Init, free and init again works.
//
// Ownership: the routines own the objects they make. Components made by client code belong to
// it; freed after shutdown they touch nothing that is gone.
//
// Threads: start-up and shutdown run while no other thread uses the engine. The dataset
// registry may be used from any thread; its lock is a leaf.
#pragma once

#include <cstdint>
#include <unordered_set>

#include "classlib/Strings.h"
#include "platform/TolvanPlatform.h"

namespace tolvan {

class TTolvanDatabaseClient;

// Every dataset in existence; nothing reads it but its count. Adding and removing are O(1), so
// datasets made and freed by the thousand cost nothing here.
class TTolvanDataSetRegistry {
public:
  void Add(TTolvanDatabaseClient* DataSet);
  // One not registered is ignored.
  void Remove(TTolvanDatabaseClient* DataSet) noexcept;
  int32_t Count();

private:
  TPlatformLock FLock;
  std::unordered_set<TTolvanDatabaseClient*> FDataSets;
};

// The registry between start-up and shutdown, else nil.
TTolvanDataSetRegistry* DataSetRegistry() noexcept;
// Registration of a dataset; nothing outside start-up and shutdown.
void RegisterDataSet(TTolvanDatabaseClient* DataSet);
void UnregisterDataSet(TTolvanDatabaseClient* DataSet) noexcept;

// Nothing when the registries exist.
void InitComponentRegistries();
// Every step runs; the first failure is rethrown at the end. Nothing when they do not exist.
void FreeComponentRegistries();
bool ComponentRegistriesExist() noexcept;

// The registries for the life of a scope (tests, main). A failure of the freeing goes to the
// application exception handler.
class TComponentRegistriesScope {
public:
  TComponentRegistriesScope() { InitComponentRegistries(); }
  ~TComponentRegistriesScope();
  TComponentRegistriesScope(const TComponentRegistriesScope&) = delete;
  TComponentRegistriesScope& operator=(const TComponentRegistriesScope&) = delete;
};

// The engine version in fixed notation with two decimals and '.' whatever the process's
// settings say, followed by one blank: "4.00 " (release 3.90: "3.90 ").
AnsiString GetEngineVersion();

} // namespace tolvan
