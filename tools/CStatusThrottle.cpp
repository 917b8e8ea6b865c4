#include "tools/CStatusThrottle.h"

bool CStatusThrottle::Due(std::int64_t nowMilliseconds, const std::string& phase) {
  // A clock that went back counts as time passed, so a write is never held up for good.
  const bool intervalPassed = nowMilliseconds - m_nLastWrite >= m_nInterval || nowMilliseconds < m_nLastWrite;
  if (m_bWritten && phase == m_LastPhase && !intervalPassed) return false;
  m_bWritten = true;
  m_nLastWrite = nowMilliseconds;
  m_LastPhase = phase;
  return true;
}
