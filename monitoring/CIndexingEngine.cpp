#include "monitoring/CIndexingEngine.h"

#include <chrono>
#include <ctime>
#include <thread>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "monitoring/EngineGlobals.h"
#include "monitoring/MonitorListener.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "service/CServiceParameters.h"

namespace fs = boost::filesystem;

namespace {

const char kStopMarker[] = "_stop_";

// A find on the exact path: any entry of that name counts, a directory or a dangling link too.
bool EntryExists(const std::string& path) {
  boost::system::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_not_found && !ec;
}

bool IsExistingDirectory(const std::string& path) {
  boost::system::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

}  // namespace

CIndexingEngine::CIndexingEngine(CServiceParameters* parameters)
    : m_pIndexer(std::make_unique<CCatalogueIndexer>()),
      m_pParameters(parameters),
      m_pPdfTool(std::make_unique<CTool_QuickPDFLib>()),
      m_nPauseMilliseconds(g_nPauseMilliseconds.load()),
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
}

CIndexingEngine::~CIndexingEngine() {
  m_pPdfTool.reset();
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
  g_nWorkSliceSeconds = m_nWorkSliceSeconds;
}

int CIndexingEngine::CanContinue() {
  if (m_pParameters == nullptr) return 1;
  if (m_bStopRequested) return 0;
  return LookForStopMarker() ? 0 : 1;
}

int CIndexingEngine::CanContinueWalk() {
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
  if (!m_pListeners) return;
  for (MonitorListener* listener : *m_pListeners) listener->OnStatusMessage(kind, std::string(text));
}

void CIndexingEngine::ReportFolderCheck(const FK::CFolder& folder) {
  SendStatusMessage(0, "Checking Folder " + folder.GetReference());
  for (const std::string& path : {folder.GetArchivePath(), folder.GetProcessingPath()}) {
    SendStatusMessage(0, (IsExistingDirectory(path) ? ":sub: " : ":sub: :error: ") + path);
  }
}

void CIndexingEngine::KeepAlive() { SendStatusMessage(3, ""); }

void CIndexingEngine::ReportIndexingFolder(const std::string& reference) {
  SendStatusMessage(2, "Indexing Folder " + reference + "...");
}

void CIndexingEngine::ReportWaiting() { SendStatusMessage(1, "Waiting for file to index..."); }

void CIndexingEngine::StopMonitoring() {
  // The walks see a stop only through CanContinue; without this flag a service stop would
  // wait for the whole folder being walked.
  m_bStopRequested = true;
}

void CIndexingEngine::SetClock(std::function<std::int64_t()> clock) { m_Clock = std::move(clock); }

std::int64_t CIndexingEngine::Now() const { return m_Clock(); }

bool CIndexingEngine::IsSliceUsedUp(std::int64_t start) const {
  return Now() - start > m_nWorkSliceSeconds;
}

void CIndexingEngine::PauseWhenSliceUsedUp(std::int64_t& start, platform::CEvent* stopEvent, bool reportWaiting) {
  if (!IsSliceUsedUp(start)) return;
  KeepAlive();
  if (reportWaiting) ReportWaiting();
  Pause(stopEvent, m_nPauseMilliseconds);
  start = Now();
}

void CIndexingEngine::Pause(platform::CEvent* stopEvent, int milliseconds) {
  if (stopEvent == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  // The stop event resets itself when a wait takes it: hand the signal on so that the
  // next pause and the service's own wait end early too.
  if (stopEvent->Wait(milliseconds)) stopEvent->Set();
}

bool CIndexingEngine::IsDebug() const {
  return m_pParameters != nullptr && m_pParameters->IsDebugAction != 0;
}

bool CIndexingEngine::CanWalk() {
  const bool can = CanContinueWalk() == 1 && !m_pIndexer->CorruptionSeen() && !m_pIndexer->WriteFailureSeen();
  // A walk that ends here has not looked at everything.
  if (!can) m_bWalkIncomplete = true;
  return can;
}

void CIndexingEngine::IndexAllFolders(platform::CEvent* stopEvent) {
  if (!m_pFolderList) return;
  const std::vector<std::string> references = m_pFolderList->GetFolderReferences();
  size_t notUsing = 0;
  for (const std::string& reference : references) {
    if (CanContinue() == 0) return;
    FK::CFolder folder = m_pFolderList->GetFolder(reference);
    if (folder.GetUseMIS() == 1) {
      ProcessFolder(folder, 1, stopEvent);
      // A folder whose pass failed is taken again by the next pass.
      const bool monitoring = m_pParameters == nullptr || m_pParameters->DisableMonitoring == 0;
      if (monitoring && !m_bFolderPassFailed) folder.SetMonitoringStarted(1);
      m_pFolderList->UpdateFolder(folder);
    } else {
      ++notUsing;
    }
  }
  if (notUsing == references.size()) SendStatusMessage(0, ":error: No folder use Indexing Service");
}

void CIndexingEngine::ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList,
                                      platform::CEvent* stopEvent) {
  std::int64_t start = Now();
  if (folderList) {
    // Vanished folders and folders switched off would be stopped in the directory watcher here.
    for (const std::string& reference : folderList->GetFolderReferences()) {
      if (CanContinue() == 0) break;
      FK::CFolder folder = folderList->GetFolder(reference);
      if (folder.GetUseMIS() == 1) ApplyNewFolder(*folderList, folder, start, stopEvent);
    }
  }
  m_pFolderList = std::move(folderList);
}

void CIndexingEngine::ApplyNewFolder(Dom_FolderList& newList, const FK::CFolder& folder,
                                     std::int64_t& start, platform::CEvent* stopEvent) {
  const std::string catalogue = GetCataloguePath(folder);
  if (catalogue.empty()) return;
  ReportFolderCheck(folder);
  const std::vector<std::string> directories = GetFolderDirectories(folder);
  if (!FolderChanged(folder, directories)) {
    // The folder keeps its state: one whose last pass failed (not started) is taken again.
    newList.UpdateFolder(m_pFolderList->GetFolder(folder.GetReference()));
  } else {
    DiscardForeignCatalogue(directories, catalogue);
  }
  PauseWhenSliceUsedUp(start, stopEvent, false);
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
