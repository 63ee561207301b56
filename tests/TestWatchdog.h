// TestWatchdog.h: a guard for thread tests.
//
// While a TWatchdog lives, a thread of its own waits for it to go; if it has not gone within the
// limit, the process aborts with a message. A deadlock then fails the test at once, with a
// message, instead of hanging until ctest's timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tolvan::test {

class TWatchdog {
public:
  explicit TWatchdog(int Seconds)
      : FThread([this, Seconds] {
          std::unique_lock Lock(FMutex);
          if (!FChanged.wait_for(Lock, std::chrono::seconds(Seconds), [this] { return FDone; })) {
            std::fprintf(stderr, "watchdog: the threads did not finish within %d s\n", Seconds);
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard Lock(FMutex);
      FDone = true;
    }
    FChanged.notify_all();
    FThread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDone = false;
  std::thread FThread;
};

} // namespace tolvan::test
