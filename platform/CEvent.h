#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

// An auto-reset event: Set releases one waiter (or the next Wait), then it is clear again.
// Used as the service's stop event; any thread may Set or Wait.
class CEvent {
 public:
  void Set();
  // Waits up to timeoutMs for the event; true when it was set (and is now consumed).
  bool Wait(int timeoutMs);

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Signal;
  bool m_bSignalled = false;  // guarded by m_Mutex
};

}  // namespace platform
