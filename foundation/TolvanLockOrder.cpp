#include "foundation/TolvanLockOrder.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tolvan {

namespace {

struct THeldLock {
  const void* Lock;
  TTolvanLockLevel Level;
  int64_t Count;
  const void* Gate; // the write gate that guards it, nil when none was named
};

void DefaultViolation(const std::string& Message) {
  std::fprintf(stderr, "lock order violated: %s\n", Message.c_str());
  std::abort();
}

std::atomic<TLockOrderViolationHandler> Handler{nullptr};

// A thread holds a handful of locks at most; a vector scan beats any map here.
thread_local std::vector<THeldLock> Held;

const char* LevelName(TTolvanLockLevel Level) {
  static const char* const Names[] = {"none",  "registry",    "write gate", "database",
                                      "table", "cursor list", "use count",  "leaf"};
  return Level <= tllLeaf ? Names[Level] : "unknown";
}

void Report(TTolvanLockLevel Wanted, TTolvanLockLevel HeldLevel) {
  std::string Message = "taking a ";
  Message += LevelName(Wanted);
  Message += " lock while holding a ";
  Message += LevelName(HeldLevel);
  Message += " lock";
  TLockOrderViolationHandler H = Handler.load(std::memory_order_acquire);
  (H ? H : DefaultViolation)(Message);
}

} // namespace

TLockOrderViolationHandler SetLockOrderViolationHandler(TLockOrderViolationHandler Value) noexcept {
  return Handler.exchange(Value, std::memory_order_acq_rel);
}

void LockOrderAcquire(const void* Lock, TTolvanLockLevel Level, const void* Gate) {
  if constexpr (!LockOrderChecked)
    return;
  bool GateHeld = false;
  // A falling step is safe only when the locks already held belong to the database whose gate
  // excuses it: a table of another database, taken under this gate, is not guarded by it.
  bool SameDatabase = true;
  const THeldLock* Highest = nullptr;
  for (THeldLock& H : Held) {
    if (H.Lock == Lock) {
      ++H.Count;
      return;
    }
    if (H.Level == tllWriteGate && (!Gate || H.Lock == Gate))
      GateHeld = true;
    if ((H.Level == tllDatabase || H.Level == tllTable) && Gate && H.Gate && H.Gate != Gate)
      SameDatabase = false;
    if (!Highest || H.Level > Highest->Level)
      Highest = &H;
  }
  if (Highest && Highest->Level >= Level) {
    const bool Excused = GateHeld && SameDatabase && (Level == tllDatabase || Level == tllTable) &&
                         Highest->Level <= tllTable;
    if (!Excused)
      Report(Level, Highest->Level);
  }
  Held.push_back({Lock, Level, 1, Gate});
}

void LockOrderRelease(const void* Lock) noexcept {
  if constexpr (!LockOrderChecked)
    return;
  for (size_t I = Held.size(); I-- > 0;) {
    if (Held[I].Lock != Lock)
      continue;
    if (--Held[I].Count == 0)
      Held.erase(Held.begin() + std::ptrdiff_t(I));
    return;
  }
}

int32_t LockOrderHeldCount() noexcept { return int32_t(Held.size()); }

int32_t LockOrderEngineLocksHeld() noexcept {
  int32_t Count = 0;
  for (const THeldLock& H : Held)
    if (H.Level >= tllRegistry && H.Level <= tllUseCount)
      ++Count;
  return Count;
}

void LockOrderCheckOuter(const char* Name) {
  if constexpr (!LockOrderChecked)
    return;
  TTolvanLockLevel Highest = tllNone;
  for (const THeldLock& H : Held)
    if (H.Level >= tllRegistry && H.Level <= tllUseCount && H.Level > Highest)
      Highest = H.Level;
  if (Highest == tllNone)
    return;
  std::string Message = "entering the ";
  Message += Name;
  Message += " while holding a ";
  Message += LevelName(Highest);
  Message += " lock";
  TLockOrderViolationHandler H = Handler.load(std::memory_order_acquire);
  (H ? H : DefaultViolation)(Message);
}

} // namespace tolvan
