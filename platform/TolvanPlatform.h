// TolvanPlatform.h: the operating-system services the engine stands on.
//
// The engine's critical sections are re-entrant: the thread that holds one may enter it again
// and must leave it as often as it entered. TPlatformLock is that lock; the engine's own lock
// classes wrap it. The tick counter is monotonic and wraps after about 49.7 days, as a 32-bit
// millisecond count does.
//
// Threads: every function here may be called from any thread. A TPlatformLock is shared by
// the threads that synchronise on it.
#pragma once

#include <cstdint>
#include <mutex>

namespace tolvan {

// A re-entrant mutual-exclusion lock with explicit enter and leave.
class TPlatformLock {
public:
  TPlatformLock() = default;
  TPlatformLock(const TPlatformLock&) = delete;
  TPlatformLock& operator=(const TPlatformLock&) = delete;

  void Enter() { FMutex.lock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  void Leave() { FMutex.unlock(); }

  // For std::lock_guard / std::unique_lock.
  void lock() { Enter(); }
  bool try_lock() { return TryEnter(); }
  void unlock() { Leave(); }

private:
  std::recursive_mutex FMutex;
};

// The calling thread's id: a small non-zero number, unique among the live threads of the process
// and stable for the thread's life.
uint32_t GetCurrentThreadId();

// Milliseconds since an arbitrary fixed point, from a monotonic clock, wrapping at 2^32.
uint32_t GetTickCount();

// Gives up the rest of the calling thread's time slice.
void YieldProcessor();

// Suspends the calling thread for at least Milliseconds (0 only yields).
void Sleep(uint32_t Milliseconds);

} // namespace tolvan
