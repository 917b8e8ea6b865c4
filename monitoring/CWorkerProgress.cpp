#include "monitoring/CWorkerProgress.h"

CWorkerProgress g_WorkerProgress;

void CWorkerProgress::SetWaiting(bool waiting) {
  m_bWaiting = waiting;
  Step();
}

bool CWorkerProgress::ShowsLife() {
  const std::uint64_t steps = m_nSteps.load(std::memory_order_relaxed);
  const bool moved = steps != m_nSeenSteps;
  m_nSeenSteps = steps;
  return moved || m_bWaiting;
}
