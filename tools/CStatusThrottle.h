#pragma once

#include <cstdint>
#include <string>

// Decides when the status file is written again: at once when the phase changed, otherwise at
// most once per interval. Used by the one thread that writes the status.
class CStatusThrottle {
 public:
  explicit CStatusThrottle(std::int64_t intervalMilliseconds = 1000) : m_nInterval(intervalMilliseconds) {}

  // True when a write is due now (and counts it as done); phase is whatever the caller takes
  // as one (the service's phase with its folders' phases).
  bool Due(std::int64_t nowMilliseconds, const std::string& phase);

 private:
  std::int64_t m_nInterval;
  std::int64_t m_nLastWrite = 0;
  bool m_bWritten = false;
  std::string m_LastPhase;
};
