// TolvanCriticalSection.h: the engine's read/write locks.
//
// TTolvanReadWriteThreadSyncByCriticalSections lets many threads read at once or one thread
// write. Every entry is re-entrant per thread and must be matched by one EndAccess on the same
// thread; a thread that reads may ask to write and gets the lock as soon as it is the only
// holder. Readers do not wait for waiting writers. When two reading threads both ask to write,
// neither could ever proceed: the later one is refused with an ETolvanException (11637) instead
// of waiting for ever, and keeps its read access.
//
// TTolvanReadWriteThreadSyncBySingleCriticalSection gives mutual exclusion only (readers exclude
// each other), re-entrant for its holder.
//
// Waiting blocks on a condition variable; the internal guard is held only for the bookkeeping
// of each call, never while the caller works under the lock.
//
// A lock given a level (SetLockLevel, TolvanLockOrder.h) reports its entries and exits to the
// debug-build lock-order checker; the owner sets the level before the lock is first used.
//
// Threads: a lock is shared by the threads that synchronise on it; it must be free when it is
// destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/TolvanLockOrder.h"
#include "platform/TolvanPlatform.h"

namespace tolvan {

class TTolvanReadWriteThreadSync {
public:
  virtual ~TTolvanReadWriteThreadSync() = default;
  virtual void BeginRead() = 0;
  virtual void BeginWrite() = 0;
  virtual void EndAccess() = 0;

  // The object the lock protects (not owned) and its class name, for diagnostics.
  void SetOwner(const void* Owner, std::string_view OwnerClassName);
  const void* Owner() const { return FOwner; }
  const std::string& OwnerName() const { return FOwnerName; }
  TTolvanLockLevel LockLevel() const noexcept { return FLevel; }
  void SetLockLevel(TTolvanLockLevel Value) noexcept { FLevel = Value; }
  // The write gate of the database the lock belongs to, for the checker (nil: none).
  void SetLockGate(const void* Gate) noexcept { FGate = Gate; }

protected:
  TTolvanReadWriteThreadSync() = default;
  void OrderAcquire() {
    if (LockOrderChecked && FLevel != tllNone)
      LockOrderAcquire(this, FLevel, FGate);
  }
  void OrderRelease() noexcept {
    if (LockOrderChecked && FLevel != tllNone)
      LockOrderRelease(this);
  }

private:
  const void* FOwner = nullptr;
  std::string FOwnerName = "NULL Pointer";
  TTolvanLockLevel FLevel = tllNone;
  const void* FGate = nullptr;
};

class TTolvanReadWriteThreadSyncByCriticalSections : public TTolvanReadWriteThreadSync {
public:
  TTolvanReadWriteThreadSyncByCriticalSections() = default;
  void BeginRead() override;
  void BeginWrite() override;
  void EndAccess() override;

  // 0 free, n > 0 held for reading by n threads, -1 held for writing.
  int32_t State() const;
  int HolderCount() const;

private:
  struct THolder {
    uint32_t Thread;
    int64_t Count;
  };
  void EnterWrite();
  int FindHolder(uint32_t Thread) const; // index or -1; guard held

  mutable std::mutex FGuard;
  std::condition_variable FChanged;
  int32_t FState = 0;
  std::vector<THolder> FHolders;
  uint32_t FUpgrading = 0; // a reading thread waiting to write, 0 for none
};

class TTolvanReadWriteThreadSyncBySingleCriticalSection : public TTolvanReadWriteThreadSync {
public:
  void BeginRead() override { Enter(); }
  void BeginWrite() override { Enter(); }
  // Raises 11638 when the calling thread does not hold the lock.
  void EndAccess() override;

private:
  void Enter() {
    OrderAcquire();
    FLock.Enter();
    FHolder.store(GetCurrentThreadId(), std::memory_order_relaxed);
    ++FDepth;
  }

  TPlatformLock FLock;
  std::atomic<uint32_t> FHolder{0}; // the holding thread, 0 when free
  int32_t FDepth = 0;               // entries of the holder; read only by the holder
};

// A database's write gate: a re-entrant mutex that writers of one database take before its lock,
// so that operations locking two tables, or a table and then the database, take turns.
class TTolvanWriteGate {
public:
  TTolvanWriteGate() = default;
  TTolvanWriteGate(const TTolvanWriteGate&) = delete;
  TTolvanWriteGate& operator=(const TTolvanWriteGate&) = delete;

  void Enter() {
    if (LockOrderChecked)
      LockOrderAcquire(this, tllWriteGate);
    FLock.Enter();
  }
  void Leave() noexcept {
    FLock.Leave();
    if (LockOrderChecked)
      LockOrderRelease(this);
  }

private:
  TPlatformLock FLock;
};

// A re-entrant mutex at a fixed level of the lock order, reporting to the checker like the
// leveled read/write locks; usable with std::lock_guard.
class TTolvanLeveledLock {
public:
  explicit TTolvanLeveledLock(TTolvanLockLevel Level) noexcept : FLevel(Level) {}
  TTolvanLeveledLock(const TTolvanLeveledLock&) = delete;
  TTolvanLeveledLock& operator=(const TTolvanLeveledLock&) = delete;

  void Enter() {
    if (LockOrderChecked)
      LockOrderAcquire(this, FLevel);
    FLock.Enter();
  }
  void Leave() noexcept {
    FLock.Leave();
    if (LockOrderChecked)
      LockOrderRelease(this);
  }
  void lock() { Enter(); }
  void unlock() noexcept { Leave(); }

private:
  TPlatformLock FLock;
  const TTolvanLockLevel FLevel;
};

// Holds a write gate for the life of the scope.
class TWriteGateHold {
public:
  explicit TWriteGateHold(TTolvanWriteGate& Gate) : FGate(Gate) { FGate.Enter(); }
  ~TWriteGateHold() { FGate.Leave(); }
  TWriteGateHold(const TWriteGateHold&) = delete;
  TWriteGateHold& operator=(const TWriteGateHold&) = delete;

private:
  TTolvanWriteGate& FGate;
};

// Holds a lock for reading or writing for the life of the scope.
class TReadAccess {
public:
  explicit TReadAccess(TTolvanReadWriteThreadSync& Lock) : FLock(Lock) { FLock.BeginRead(); }
  ~TReadAccess() { FLock.EndAccess(); }
  TReadAccess(const TReadAccess&) = delete;
  TReadAccess& operator=(const TReadAccess&) = delete;

private:
  TTolvanReadWriteThreadSync& FLock;
};

class TWriteAccess {
public:
  explicit TWriteAccess(TTolvanReadWriteThreadSync& Lock) : FLock(Lock) { FLock.BeginWrite(); }
  ~TWriteAccess() { FLock.EndAccess(); }
  TWriteAccess(const TWriteAccess&) = delete;
  TWriteAccess& operator=(const TWriteAccess&) = delete;

private:
  TTolvanReadWriteThreadSync& FLock;
};

} // namespace tolvan
