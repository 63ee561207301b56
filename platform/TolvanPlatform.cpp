#include "platform/TolvanPlatform.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tolvan {

uint32_t GetCurrentThreadId() {
  // Numbered on first use: unlike the OS id, it is small, never 0, and never reused while the
  // process runs, which is what names built from it need.
  static std::atomic<uint32_t> NextId{1};
  thread_local uint32_t Id = NextId.fetch_add(1, std::memory_order_relaxed);
  return Id;
}

uint32_t GetTickCount() {
  using namespace std::chrono;
  auto Ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(Ms));
}

void YieldProcessor() { std::this_thread::yield(); }

void Sleep(uint32_t Milliseconds) {
  if (Milliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

} // namespace tolvan
