#pragma once

#include <atomic>

#include "platform/CMutex.h"

namespace platform {

// A stop that, once given, stays given: any number of threads may wait on it with a
// deadline; Stop wakes all of them at once, and a wait begun after the stop ends at once.
// Never reset: a new run gets a new latch. Any thread.
class CStopLatch {
 public:
  void Stop();
  // Cheap enough for a check per entry of a walk.
  bool IsStopped() const { return m_bStoppedFlag.load(std::memory_order_acquire); }
  // Waits up to milliseconds (none when negative); true when the latch is stopped.
  bool WaitFor(int milliseconds);

 private:
  CMutex m_Mutex;
  CConditionVariable m_StoppedSignal;
  bool m_bStopped GUARDED_BY(m_Mutex) = false;
  std::atomic<bool> m_bStoppedFlag{false};  // the same, for the lock-free IsStopped
};

}  // namespace platform
