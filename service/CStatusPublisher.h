#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/CStopLatch.h"
#include "status/CStatusBoard.h"
#include "tools/CStatusThrottle.h"

// Writes the board to the status file and its summary to systemd (STATUS=) from a thread of
// its own: at once when a phase changed, otherwise at most once per interval while the board
// changes. Stop writes the last state ("stopped") and joins. Owned by the service.
class CStatusPublisher {
 public:
  // report: where a failed write is said (once, until a write succeeds again).
  CStatusPublisher(CStatusBoard& board, std::string path, std::function<void(const std::string&)> report,
                   int tickMilliseconds = 200, int intervalMilliseconds = 1000);
  ~CStatusPublisher();
  CStatusPublisher(const CStatusPublisher&) = delete;
  CStatusPublisher& operator=(const CStatusPublisher&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  void Publish(bool force);
  // The service's phase with every folder's: a change of it is written at once.
  static std::string PhaseKey(const ServiceStatus& status);

  CStatusBoard& m_Board;
  const std::string m_strPath;
  const std::function<void(const std::string&)> m_Report;
  const int m_nTick;
  const int m_nInterval;
  CStatusThrottle m_Throttle;  // publisher thread only (and Stop after the join)
  // Publisher thread only (and Stop after the join).
  std::uint64_t m_nSeen = 0;  // the board's generation last written
  std::int64_t m_nLastSample = 0;
  std::string m_strLastContent;  // the last file written, without its time
  bool m_bFailSaid = false;
  std::string m_strLastSummary;
  platform::CStopLatch m_Stop;
  std::thread m_Thread;
};
