#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/CEngineParameters.h"

namespace platform {
class CMarkerWatch;
class CStopLatch;
}  // namespace platform

// The worker's pacing and its stop: the clock, the work slices and the pauses between them,
// the operator's "_stop_" marker in the program directory and the waits that end on it. Owned
// by the engine; the worker thread calls it, any thread may RequestStop or WakeForReconcile.
// The parameters record (null: the service's defaults, no marker) must outlive it.
class CEnginePacing {
 public:
  explicit CEnginePacing(const CEngineParameters* parameters);
  ~CEnginePacing();
  CEnginePacing(const CEnginePacing&) = delete;
  CEnginePacing& operator=(const CEnginePacing&) = delete;

  // 1 unless "_stop_" exists in the program directory or a stop was requested.
  int CanContinue();
  // As CanContinue for the walks, which ask once per entry: the marker's answer is kept for
  // kStopMarkerRecheckMilliseconds.
  int CanContinueWalk();
  static constexpr int kStopMarkerRecheckMilliseconds = 250;
  // Waits up to milliseconds on the stop latch (a plain wait when null), ending at once on a
  // stop and soon when "_stop_" appears (looked for every kStopMarkerPollMilliseconds).
  // True when it ended for a stop.
  bool WaitUnlessStopped(platform::CStopLatch* stop, int milliseconds);
  // As WaitUnlessStopped, and ends early once WakeForReconcile was called (until TakeReconcileWake).
  bool WaitBetweenPasses(platform::CStopLatch* stop, int milliseconds);
  static constexpr int kStopMarkerPollMilliseconds = 500;
  // Any thread: ends the worker's waits and walks at their next check.
  void RequestStop();
  // Any thread: a folder must be reconciled again; the wait between passes ends.
  void WakeForReconcile();
  // Worker: true when WakeForReconcile was called since the last call.
  bool TakeReconcileWake() { return m_bReconcileRequested.exchange(false); }

  // Whole seconds.
  std::int64_t Now() const { return m_Clock(); }
  // True when the work slice begun at start is used up.
  bool IsSliceUsedUp(std::int64_t start) const { return Now() - start > m_nWorkSliceSeconds; }
  void SetWorkSlice(int milliseconds) { m_nWorkSliceSeconds = milliseconds / 1000; }
  int WorkSliceMilliseconds() const { return m_nWorkSliceSeconds * 1000; }
  int PauseMilliseconds() const { return m_nPauseMilliseconds; }
  int FolderPauseMilliseconds() const { return m_nFolderPauseMilliseconds; }

  // Tests: the clock (whole seconds), the marker's clock (steady milliseconds) and the
  // throttling pause. Set before the worker starts.
  void SetClock(std::function<std::int64_t()> clock) { m_Clock = std::move(clock); }
  void SetMarkerClock(std::function<std::int64_t()> clock) { m_MarkerClock = std::move(clock); }
  void SetPauseMilliseconds(int milliseconds) { m_nPauseMilliseconds = milliseconds; }

 private:
  bool LookForStopMarker();
  bool WaitUntil(platform::CStopLatch* stop, int milliseconds, bool endOnReconcileRequest);

  const CEngineParameters* m_pParameters;  // not owned; null: no marker
  int m_nWorkSliceSeconds = 1;
  int m_nPauseMilliseconds;
  int m_nFolderPauseMilliseconds;
  std::function<std::int64_t()> m_Clock;
  std::function<std::int64_t()> m_MarkerClock;
  // Worker thread only: the last look for the stop marker.
  bool m_bMarkerKnown = false;
  bool m_bMarkerSeen = false;
  std::int64_t m_nMarkerCheckedAt = 0;
  std::atomic<bool> m_bStopRequested{false};
  std::atomic<bool> m_bReconcileRequested{false};
  // Wakes the worker's waits when "_stop_" appears, a stop is asked or a folder must be
  // reconciled, so that a wait needs no periodic look. Null without parameters.
  std::unique_ptr<platform::CMarkerWatch> m_pMarkerWatch;
};
