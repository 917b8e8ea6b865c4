#include "platform/CEvent.h"

#include <chrono>

namespace platform {

void CEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bSignalled = true;
  }
  m_Signal.notify_one();
}

bool CEvent::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  if (!m_Signal.wait_until(lock, deadline, [this] { return m_bSignalled; })) return false;
  m_bSignalled = false;
  return true;
}

}  // namespace platform
