#include "engine/CIndexingEngine.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "engine/CWorkerProgress.h"
#include "flush/CChangeFlusher.h"
#include "flush/PdfTextOfQueue.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "pdf/CPdfReaderQueue.h"
#include "platform/CMarkerWatch.h"
#include "status/MonitorListener.h"
#include "watch/CDirectoriesWatcher.h"

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
// Names the document being read, so that a hang or crash in it is not repeated at the next start.
const char kReadingMarker[] = "_reading_";

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

bool IsExistingDirectory(const std::string& path) {
  boost::system::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

}  // namespace

CIndexingEngine::CIndexingEngine(const CEngineParameters* parameters)
    : m_pIndexer(std::make_unique<CCatalogueIndexer>()),
      m_pParameters(parameters),
      m_pPdfReaders(std::make_shared<CPdfReaderQueue>(CPdfReaderQueue::ReadersFromEnvironment())),
      m_ReadPdf(PdfTextOfQueue(m_pPdfReaders.get(), &m_bPdfQuiet)),
      m_nPauseMilliseconds(ParametersOrDefaults(parameters).PauseMilliseconds),
      m_nFolderPauseMilliseconds(ParametersOrDefaults(parameters).FolderPauseMilliseconds),
      m_Clock([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      m_MarkerClock([] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
      }) {
  if (m_pParameters == nullptr) return;
  if (m_pParameters->DisableMonitoring == 0) {
    CChangeFlusher::SSettings settings;
    settings.nXmlSettleMilliseconds = m_pParameters->XmlSettleMilliseconds;
    settings.nOtherSettleMilliseconds = m_pParameters->OtherSettleMilliseconds;
    settings.nPauseMilliseconds = m_pParameters->PauseMilliseconds;
    settings.nRetryFirstMilliseconds = m_pParameters->RetryFirstMilliseconds;
    settings.nRetryLongestMilliseconds = m_pParameters->RetryLongestMilliseconds;
    settings.bDebug = m_pParameters->IsDebugAction != 0;
    settings.pPdfReaders = m_pPdfReaders;
    m_pFlusher = std::make_unique<CChangeFlusher>(
        settings, [this](int kind, const std::string& text) { SendStatusFromAnyThread(kind, text); });
    // Changes dropped past the queue's bound are caught up by a reconciliation.
    m_pFlusher->SetReconcileRequest([this](const std::string& reference) { RequestReconcile(reference, false); });
    CDirectoriesWatcher::SHooks hooks;
    hooks.Enqueue = [this](FileChange change) { OnWatchedChange(std::move(change)); };
    hooks.NeedsReconcile = [this](const std::string& reference, bool everyPass) {
      RequestReconcile(reference, everyPass);
    };
    hooks.SendStatus = [this](int kind, const std::string& text) { SendStatusFromAnyThread(kind, text); };
    m_pWatcher = std::make_unique<CDirectoriesWatcher>(std::move(hooks));
  }
  const std::string marker = m_pParameters->ProgramDirectory + kStopMarker;
  boost::system::error_code ec;
  if (!fs::is_directory(marker, ec)) fs::remove(marker, ec);
  m_pMarkerWatch = std::make_unique<platform::CMarkerWatch>(m_pParameters->ProgramDirectory, kStopMarker);
  std::string why;
  if (!m_pIndexer->UseReadingMarker(m_pParameters->ProgramDirectory + kReadingMarker, why)) {
    m_strReadingMarkerError = ":error: Cannot use " + m_pParameters->ProgramDirectory + kReadingMarker + ": " + why +
                              " (a document that hangs the service will be read again after a restart)";
  }
}

CIndexingEngine::~CIndexingEngine() {
  // The watcher feeds the flush workers, and both send lines to the listeners.
  if (m_pWatcher) m_pWatcher->StopAll();
  if (m_pFlusher) m_pFlusher->StopAll();
  m_pWatcher.reset();
  m_pFlusher.reset();
  m_ReadPdf = nullptr;
  m_pPdfReaders.reset();
  m_pListeners.reset();
  m_pFolderList.reset();
  if (m_pIndexer) m_pIndexer->Shutdown();
  m_pIndexer.reset();
}

void CIndexingEngine::AddListener(MonitorListener* listener) {
  if (!m_pListeners) m_pListeners = std::make_unique<std::vector<MonitorListener*>>();
  m_pListeners->push_back(listener);
}

void CIndexingEngine::SetWorkSlice(int milliseconds) {
  m_nWorkSliceSeconds = milliseconds / 1000;
}

int CIndexingEngine::CanContinue() {
  g_WorkerProgress.Step();
  if (m_pParameters == nullptr) return 1;
  if (m_bStopRequested) return 0;
  return LookForStopMarker() ? 0 : 1;
}

int CIndexingEngine::CanContinueWalk() {
  g_WorkerProgress.Step();
  if (m_pParameters == nullptr) return 1;
  if (m_bStopRequested) return 0;
  // A status call per entry was a third of the walk's system calls on an unchanged tree.
  if (m_bMarkerKnown && m_MarkerClock() - m_nMarkerCheckedAt < kStopMarkerRecheckMilliseconds) {
    return m_bMarkerSeen ? 0 : 1;
  }
  return LookForStopMarker() ? 0 : 1;
}

bool CIndexingEngine::LookForStopMarker() {
  m_bMarkerSeen = EntryExists(m_pParameters->ProgramDirectory + kStopMarker);
  m_nMarkerCheckedAt = m_MarkerClock();
  m_bMarkerKnown = true;
  return m_bMarkerSeen;
}

void CIndexingEngine::SendStatusMessage(int kind, const std::string& text) {
  g_WorkerProgress.Step();
  if (!m_pListeners) return;
  for (MonitorListener* listener : *m_pListeners) listener->OnStatusMessage(kind, std::string(text));
}

void CIndexingEngine::ReportFolderCheck(const FK::CFolder& folder) {
  SendStatusMessage(kMessageLine, "Checking Folder " + folder.GetReference());
  SendStatusMessage(kMessageLine, (IsExistingDirectory(folder.GetArchivePath()) ? ":sub: " : ":sub: :error: ") +
                    folder.GetArchivePath());
  // A folder without a processing directory lacks nothing.
  if (!folder.GetProcessingPath().empty()) {
    SendStatusMessage(kMessageLine, (IsExistingDirectory(folder.GetProcessingPath()) ? ":sub: " : ":sub: :error: ") +
                      folder.GetProcessingPath());
  }
}

void CIndexingEngine::KeepAlive() { SendStatusMessage(kMessageKeepAlive, ""); }

void CIndexingEngine::ReportIndexingFolder(const std::string& reference) {
  SendStatusMessage(kMessageProgress, "Indexing Folder " + reference + "...");
}

void CIndexingEngine::ReportWaiting() { SendStatusMessage(kMessageIdle, "Waiting for file to index..."); }

void CIndexingEngine::StopMonitoring() {
  // The walks see a stop only through CanContinue; without this flag a service stop would
  // wait for the whole folder being walked.
  m_bStopRequested = true;
  // A PDF read on the worker or a flush thread would hold the stop up for as long as its
  // document may take; the document is left as it was, for the next start.
  if (m_pPdfReaders) m_pPdfReaders->Abort();
  if (m_pMarkerWatch) m_pMarkerWatch->Interrupt();
  if (m_pWatcher) m_pWatcher->StopAll();
  if (m_pFlusher) m_pFlusher->StopAll();
}

void CIndexingEngine::SetClock(std::function<std::int64_t()> clock) { m_Clock = std::move(clock); }

std::int64_t CIndexingEngine::Now() const { return m_Clock(); }

bool CIndexingEngine::IsSliceUsedUp(std::int64_t start) const {
  return Now() - start > m_nWorkSliceSeconds;
}

void CIndexingEngine::PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting) {
  if (!IsSliceUsedUp(start)) return;
  KeepAlive();
  if (reportWaiting) ReportWaiting();
  Pause(stop, m_nPauseMilliseconds);
  start = Now();
}

void CIndexingEngine::Pause(platform::CStopLatch* stop, int milliseconds) {
  WaitUnlessStopped(stop, milliseconds);
}

bool CIndexingEngine::WaitUnlessStopped(platform::CStopLatch* stop, int milliseconds) {
  return WaitUntil(stop, milliseconds, false);
}

bool CIndexingEngine::WaitBetweenPasses(platform::CStopLatch* stop, int milliseconds) {
  return WaitUntil(stop, milliseconds, true);
}

bool CIndexingEngine::WaitUntil(platform::CStopLatch* stop, int milliseconds, bool endOnReconcileRequest) {
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
      // Every stop of the service comes through StopMonitoring, which interrupts this wait.
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

bool CIndexingEngine::IsDebug() const {
  return m_pParameters != nullptr && m_pParameters->IsDebugAction != 0;
}

void CIndexingEngine::IndexAllFolders(platform::CStopLatch* stop) {
  if (!m_strReadingMarkerError.empty()) SendStatusMessage(kMessageLine, m_strReadingMarkerError);
  m_strReadingMarkerError.clear();
  if (!m_pFolderList) return;
  TakeReconcileRequests();
  // A flush worker refused by a thread limit is tried again here too: queued changes never
  // depend on a further change to be taken.
  if (m_pFlusher) m_pFlusher->StartWorkers();
  const std::vector<std::string> references = m_pFolderList->GetFolderReferences();
  size_t notUsing = 0;
  for (const std::string& reference : references) {
    if (CanContinue() == 0) return;
    FK::CFolder folder = m_pFolderList->GetFolder(reference);
    if (folder.GetUseMIS() == 1) {
      ProcessFolder(folder, 1, stop);
      // A folder whose pass failed is taken again by the next pass, and so is one whose
      // directories are not all watched.
      const bool monitoring = m_pParameters == nullptr || m_pParameters->DisableMonitoring == 0;
      if (monitoring && !m_bFolderPassFailed && !m_bFolderPolled) folder.SetMonitoringStarted(1);
      m_pFolderList->UpdateFolder(folder);
    } else {
      ++notUsing;
    }
  }
  if (notUsing == references.size()) SendStatusMessage(kMessageLine, ":error: No folder use Indexing Service");
}

void CIndexingEngine::ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList,
                                      platform::CStopLatch* stop) {
  std::int64_t start = Now();
  if (folderList) {
    IndexFolderDirectories(*folderList);
    for (const std::string& name : folderList->GetFoldersWithoutReference()) {
      SendStatusMessage(kMessageLine,
                        ":sub: :error: Reference \"\" of folder " + name + " is unusable as a catalogue name");
    }
    StopVanishedFolders(*folderList);
    for (const std::string& reference : folderList->GetFolderReferences()) {
      if (CanContinue() == 0) break;
      FK::CFolder folder = folderList->GetFolder(reference);
      if (folder.GetUseMIS() == 1) ApplyNewFolder(*folderList, folder, start, stop);
    }
  }
  m_pFolderList = std::move(folderList);
}

void CIndexingEngine::ApplyNewFolder(Dom_FolderList& newList, const FK::CFolder& folder,
                                     std::int64_t& start, platform::CStopLatch* stop) {
  const std::string catalogue = GetCataloguePath(folder);
  if (catalogue.empty()) return;
  ReportFolderCheck(folder);
  const std::vector<std::string> directories = GetFolderDirectories(folder);
  if (!FolderChanged(folder, directories)) {
    // The folder keeps its state: one whose last pass failed (not started) is taken again.
    newList.UpdateFolder(m_pFolderList->GetFolder(folder.GetReference()));
  } else if (RefusedCatalogueReason(folder, catalogue).empty()) {
    DiscardForeignCatalogue(directories, catalogue);
  }
  PauseWhenSliceUsedUp(start, stop, false);
}

bool CIndexingEngine::FolderChanged(const FK::CFolder& folder,
                                    const std::vector<std::string>& directories) const {
  if (!m_pFolderList) return true;
  const FK::CFolder old = m_pFolderList->GetFolder(folder.GetReference());
  if (old.GetUseMIS() == 0) return true;
  const std::vector<std::string> oldDirectories = GetFolderDirectories(old);
  if (oldDirectories.size() != directories.size()) return true;
  // Linux paths are case-sensitive: a directory whose name changed in case is another one.
  for (const std::string& directory : directories) {
    bool found = false;
    for (const std::string& oldDirectory : oldDirectories) {
      found = found || GetUncPath(oldDirectory) == GetUncPath(directory);
    }
    if (!found) return true;
  }
  return false;
}
