#include "components/TolvanComponentStartup.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

#include "classlib/Components.h"
#include "classlib/Format.h"
#include "classlib/SysUtils.h"
#include "components/TolvanComponentServices.h"
#include "components/TolvanSession.h"
#include "foundation/TolvanRelease.h"
#include "storage/TolvanDatabaseData.h"

namespace tolvan {

namespace {

std::atomic<TTolvanDataSetRegistry*> DataSets{nullptr};

} // namespace

void TTolvanDataSetRegistry::Add(TTolvanDatabaseClient* DataSet) {
  std::lock_guard Guard(FLock);
  FDataSets.insert(DataSet);
}

void TTolvanDataSetRegistry::Remove(TTolvanDatabaseClient* DataSet) noexcept {
  std::lock_guard Guard(FLock);
  FDataSets.erase(DataSet);
}

int32_t TTolvanDataSetRegistry::Count() {
  std::lock_guard Guard(FLock);
  return int32_t(FDataSets.size());
}

TTolvanDataSetRegistry* DataSetRegistry() noexcept {
  return DataSets.load(std::memory_order_acquire);
}

void RegisterDataSet(TTolvanDatabaseClient* DataSet) {
  if (TTolvanDataSetRegistry* R = DataSetRegistry())
    R->Add(DataSet);
}

void UnregisterDataSet(TTolvanDatabaseClient* DataSet) noexcept {
  if (TTolvanDataSetRegistry* R = DataSetRegistry())
    R->Remove(DataSet);
}

bool ComponentRegistriesExist() noexcept { return SessionListExists(); }

void InitComponentRegistries() {
  if (ComponentRegistriesExist())
    return;
  auto Registry = std::make_unique<TTolvanDataSetRegistry>();
  StorageStartup();
  auto List = std::make_unique<TTolvanSessionList>();
  InstallSessionList(List.get());
  try {
    TTolvanSession* Default = TTolvanSession::Create(nullptr);
    Default->SetSessionName(DefaultSessionName);
  } catch (...) {
    if (TTolvanSession* Made = List->DefaultSession())
      Made->Free();
    InstallSessionList(nullptr);
    StorageShutdown();
    throw;
  }
  List.release();
  DataSets.store(Registry.release(), std::memory_order_release);
  RegisterExprServices(&ComponentServices());
}

void FreeComponentRegistries() {
  if (!ComponentRegistriesExist())
    return;
  // Expressions made later find no services rather than services over freed sessions.
  if (IExprServices* Previous = RegisterExprServices(nullptr);
      Previous && Previous != &ComponentServices())
    RegisterExprServices(Previous);
  std::exception_ptr Failure;
  TTolvanSessionList* List = &SessionList();
  KeepFirstFailure(Failure, [&] { List->CloseAll(); });
  InstallSessionList(nullptr);
  delete List;
  {
    TSessionCriticalSectionHold Hold;
    FreeGlobalEngineContext();
  }
  StorageShutdown();
  delete DataSets.exchange(nullptr, std::memory_order_acq_rel);
  if (Failure)
    std::rethrow_exception(Failure);
}

TComponentRegistriesScope::~TComponentRegistriesScope() {
  try {
    FreeComponentRegistries();
  } catch (...) {
    ApplicationHandleException(std::current_exception());
  }
}

AnsiString GetEngineVersion() {
  TFormatSettings Settings = FormatSettings();
  Settings.DecimalSeparator = '.';
  return FloatToStrF(Release().EngineVersion, TFloatFormat::ffFixed, 3, 2, Settings) + " ";
}

} // namespace tolvan
