#include "engine/CEnginePacing.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include "engine/CWorkerProgress.h"
#include "platform/CMarkerWatch.h"
#include "platform/CStopLatch.h"

namespace fs = boost::filesystem;

namespace {

const char kStopMarker[] = "_stop_";

// A wait of the worker's own, for as long as it lives: the worker is not stuck meanwhile.
struct WaitingMark {
  WaitingMark() { g_WorkerProgress.SetWaiting(true); }
  ~WaitingMark() { g_WorkerProgress.SetWaiting(false); }
  WaitingMark(const WaitingMark&) = delete;
  WaitingMark& operator=(const WaitingMark&) = delete;
};

// A find on the exact path: any entry of that name counts, a directory or a dangling link too.
bool EntryExists(const std::string& path) {
  boost::system::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_not_found && !ec;
}

// Without a parameters record the engine paces itself with the service's defaults.
const CEngineParameters& ParametersOrDefaults(const CEngineParameters* parameters) {
  static const CEngineParameters defaults;
  return parameters != nullptr ? *parameters : defaults;
}

}  // namespace

CEnginePacing::CEnginePacing(const CEngineParameters* parameters)
    : m_pParameters(parameters),
      m_nPauseMilliseconds(ParametersOrDefaults(parameters).PauseMilliseconds),
      m_nFolderPauseMilliseconds(ParametersOrDefaults(parameters).FolderPauseMilliseconds),
      m_Clock([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      m_MarkerClock([] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
      }) {
  if (m_pParameters == nullptr) return;
  const std::string marker = m_pParameters->ProgramDirectory + kStopMarker;
  boost::system::error_code ec;
  if (!fs::is_directory(marker, ec)) fs::remove(marker, ec);
  m_pMarkerWatch = std::make_unique<platform::CMarkerWatch>(m_pParameters->ProgramDirectory, kStopMarker);
}

CEnginePacing::~CEnginePacing() = default;

int CEnginePacing::CanContinue() {
  g_WorkerProgress.Step();
  if (m_pParameters == nullptr) return 1;
  if (m_bStopRequested) return 0;
  return LookForStopMarker() ? 0 : 1;
}

int CEnginePacing::CanContinueWalk() {
  g_WorkerProgress.Step();
  if (m_pParameters == nullptr) return 1;
  if (m_bStopRequested) return 0;
  // A status call per entry was a third of the walk's system calls on an unchanged tree.
  if (m_bMarkerKnown && m_MarkerClock() - m_nMarkerCheckedAt < kStopMarkerRecheckMilliseconds) {
    return m_bMarkerSeen ? 0 : 1;
  }
  return LookForStopMarker() ? 0 : 1;
}

bool CEnginePacing::LookForStopMarker() {
  m_bMarkerSeen = EntryExists(m_pParameters->ProgramDirectory + kStopMarker);
  m_nMarkerCheckedAt = m_MarkerClock();
  m_bMarkerKnown = true;
  return m_bMarkerSeen;
}

void CEnginePacing::RequestStop() {
  // The walks see a stop only through CanContinue; without this flag a service stop would
  // wait for the whole folder being walked.
  m_bStopRequested = true;
  if (m_pMarkerWatch) m_pMarkerWatch->Interrupt();
}

void CEnginePacing::WakeForReconcile() {
  m_bReconcileRequested = true;
  if (m_pMarkerWatch) m_pMarkerWatch->Interrupt();
}

bool CEnginePacing::WaitUnlessStopped(platform::CStopLatch* stop, int milliseconds) {
  return WaitUntil(stop, milliseconds, false);
}

bool CEnginePacing::WaitBetweenPasses(platform::CStopLatch* stop, int milliseconds) {
  return WaitUntil(stop, milliseconds, true);
}

bool CEnginePacing::WaitUntil(platform::CStopLatch* stop, int milliseconds, bool endOnReconcileRequest) {
  // An operator's "_stop_" must not wait out a pass's minute-long wait: the wait ends when the
  // file appears, or, where it cannot be watched, at the next of its looks in steps.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, milliseconds));
  const WaitingMark waiting;
  if (m_pParameters != nullptr && LookForStopMarker()) return true;
  for (;;) {
    if (m_bStopRequested || (stop != nullptr && stop->IsStopped())) return true;
    if (endOnReconcileRequest && m_bReconcileRequested) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (m_pMarkerWatch && m_pMarkerWatch->IsWatching()) {
      // Every stop of the service comes through RequestStop, which interrupts this wait.
      if (m_pMarkerWatch->Wait(static_cast<int>(std::min<std::int64_t>(left.count(), 24LL * 3600 * 1000))) &&
          LookForStopMarker()) {
        return true;
      }
      continue;
    }
    const int step = static_cast<int>(std::min<std::int64_t>(left.count(), kStopMarkerPollMilliseconds));
    if (stop == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
    } else if (stop->WaitFor(step)) {
      return true;
    }
    if (m_pParameters != nullptr && LookForStopMarker()) return true;
  }
}
