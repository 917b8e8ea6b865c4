#include "platform/CStopLatch.h"

#include <chrono>

namespace platform {

void CStopLatch::Stop() {
  {
    CLockGuard lock(m_Mutex);
    m_bStopped = true;
    m_bStoppedFlag.store(true, std::memory_order_release);
  }
  m_StoppedSignal.NotifyAll();
}

bool CStopLatch::WaitFor(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
  CLockGuard lock(m_Mutex);
  while (!m_bStopped) {
    if (!m_StoppedSignal.WaitUntil(lock, deadline)) return m_bStopped;
  }
  return true;
}

}  // namespace platform
