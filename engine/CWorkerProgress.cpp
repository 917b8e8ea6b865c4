#include "engine/CWorkerProgress.h"

#include "platform/CReadingMarker.h"

CWorkerProgress g_WorkerProgress;

void CWorkerProgress::SetWaiting(bool waiting) {
  m_bWaiting = waiting;
  Step();
}

bool CWorkerProgress::ShowsLife(std::int64_t stallLimitMs) {
  const std::uint64_t steps = m_nSteps.load(std::memory_order_relaxed);
  const bool moved = steps != m_nSeenSteps;
  m_nSeenSteps = steps;
  return (moved || m_bWaiting) && ReadsMoveOn(stallLimitMs);
}

bool CWorkerProgress::ReadsMoveOn(std::int64_t stallLimitMs) {
  return platform::CReadingMarker::Process().LongestStallMs() < stallLimitMs;
}
