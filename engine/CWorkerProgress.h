#pragma once

#include <atomic>
#include <cstdint>

// Shows the service host that no thread is stuck: the worker counts its steps and says when it
// only waits, and every thread that reads a document (the worker, the flush workers, the
// readers) names its read in the process's reading marker, which knows how long each read went
// without progress. The host feeds systemd's watchdog only while all of them show life, so a
// thread hung in one read gets the service restarted.
class CWorkerProgress {
 public:
  // Worker thread: one more step done (cheap enough for every entry of a walk).
  void Step() { m_nSteps.fetch_add(1, std::memory_order_relaxed); }
  // Worker thread: it is in a wait of its own (a pause, the wait between cycles), or no longer.
  void SetWaiting(bool waiting);
  // Host thread: true when the worker waits now or made a step since the last call, and
  // ReadsMoveOn.
  bool ShowsLife(std::int64_t stallLimitMs);
  // Any thread: true when no read went stallLimitMs without progress.
  static bool ReadsMoveOn(std::int64_t stallLimitMs);

 private:
  std::atomic<std::uint64_t> m_nSteps{0};
  std::atomic<bool> m_bWaiting{false};
  std::uint64_t m_nSeenSteps = 0;  // host thread only
};

// The worker thread's progress, for the host's watchdog.
extern CWorkerProgress g_WorkerProgress;
