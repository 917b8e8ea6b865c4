#pragma once

#include <atomic>
#include <cstdint>

// Shows the service host that the worker thread is not stuck: the worker counts its steps and
// says when it only waits; the host feeds systemd's watchdog only when either shows life, so
// a worker hung in one read gets the service restarted.
class CWorkerProgress {
 public:
  // Worker thread: one more step done (cheap enough for every entry of a walk).
  void Step() { m_nSteps.fetch_add(1, std::memory_order_relaxed); }
  // Worker thread: it is in a wait of its own (a pause, the wait between cycles), or no longer.
  void SetWaiting(bool waiting);
  // Host thread: true when the worker waits now or made a step since the last call.
  bool ShowsLife();

 private:
  std::atomic<std::uint64_t> m_nSteps{0};
  std::atomic<bool> m_bWaiting{false};
  std::uint64_t m_nSeenSteps = 0;  // host thread only
};

// The worker thread's progress, for the host's watchdog.
extern CWorkerProgress g_WorkerProgress;
