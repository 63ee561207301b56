#include "foundation/TolvanCriticalSection.h"

#include "foundation/TolvanExcept.h"
#include "foundation/TolvanMessages.h"

namespace tolvan {

void TTolvanReadWriteThreadSync::SetOwner(const void* Owner, std::string_view OwnerClassName) {
  FOwner = Owner;
  FOwnerName = Owner ? std::string(OwnerClassName) : std::string("NULL Pointer");
}

int TTolvanReadWriteThreadSyncByCriticalSections::FindHolder(uint32_t Thread) const {
  for (size_t I = 0; I < FHolders.size(); ++I)
    if (FHolders[I].Thread == Thread)
      return static_cast<int>(I);
  return -1;
}

void TTolvanReadWriteThreadSyncByCriticalSections::BeginRead() {
  OrderAcquire();
  uint32_t T = GetCurrentThreadId();
  std::unique_lock G(FGuard);
  int H = FindHolder(T);
  if (H >= 0) {
    ++FHolders[H].Count;
    return;
  }
  FChanged.wait(G, [&] { return FState >= 0; });
  FHolders.push_back({T, 1});
  ++FState;
}

void TTolvanReadWriteThreadSyncByCriticalSections::BeginWrite() {
  OrderAcquire();
  try {
    EnterWrite();
  } catch (...) {
    OrderRelease();
    throw;
  }
}

void TTolvanReadWriteThreadSyncByCriticalSections::EnterWrite() {
  uint32_t T = GetCurrentThreadId();
  std::unique_lock G(FGuard);
  int H = FindHolder(T);
  if (H >= 0) {
    if (FHolders.size() > 1) {
      // A reader that must wait for the others to leave. If another reader already waits for
      // the same, each would wait for the other for ever.
      if (FUpgrading != 0 && FUpgrading != T)
        throw ETolvanException::CreateFmt(11637, SLockUpgradeDeadlock, OwnerName());
      FUpgrading = T;
      FChanged.wait(G, [&] { return FHolders.size() == 1; });
      FUpgrading = 0;
      H = FindHolder(T);
    }
    FState = -1;
    ++FHolders[H].Count;
    return;
  }
  FChanged.wait(G, [&] { return FState == 0; });
  FState = -1;
  FHolders.push_back({T, 1});
}

void TTolvanReadWriteThreadSyncByCriticalSections::EndAccess() {
  uint32_t T = GetCurrentThreadId();
  std::unique_lock G(FGuard);
  int H = FindHolder(T);
  if (H < 0)
    throw ETolvanException::CreateFmt(11638, SInvalidItemNumber, T, static_cast<int32_t>(FHolders.size()));
  if (--FHolders[H].Count > 0) {
    OrderRelease();
    return;
  }
  FHolders.erase(FHolders.begin() + H);
  if (FState <= 0)
    FState = 0;
  else
    --FState;
  G.unlock();
  FChanged.notify_all();
  OrderRelease();
}

int32_t TTolvanReadWriteThreadSyncByCriticalSections::State() const {
  std::lock_guard G(FGuard);
  return FState;
}

int TTolvanReadWriteThreadSyncByCriticalSections::HolderCount() const {
  std::lock_guard G(FGuard);
  return static_cast<int>(FHolders.size());
}

void TTolvanReadWriteThreadSyncBySingleCriticalSection::EndAccess() {
  if (FHolder.load(std::memory_order_relaxed) != GetCurrentThreadId())
    throw ETolvanException::CreateFmt(11638, SInvalidItemNumber, GetCurrentThreadId(), 0);
  if (--FDepth == 0)
    FHolder.store(0, std::memory_order_relaxed);
  FLock.Leave();
  OrderRelease();
}

} // namespace tolvan
