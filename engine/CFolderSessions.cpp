#include "engine/CFolderSessions.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "catalogue/CCatalogueLock.h"
#include "engine/CCatalogueLayout.h"
#include "engine/CEnginePacing.h"
#include "engine/CEngineParameters.h"
#include "engine/CStatusLines.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "platform/CFileSystemType.h"
#include "watch/CDirectoriesWatcher.h"

CFolderSessions::CFolderSessions(const CEngineParameters& parameters, std::shared_ptr<CPdfReaderQueue> pdfReaders,
                                 CStatusLines& status, CEnginePacing& pacing, const CCatalogueLayout& layout)
    : m_Pacing(pacing), m_Layout(layout) {
  CChangeFlusher::SSettings settings;
  settings.nXmlSettleMilliseconds = parameters.XmlSettleMilliseconds;
  settings.nOtherSettleMilliseconds = parameters.OtherSettleMilliseconds;
  settings.nPauseMilliseconds = parameters.PauseMilliseconds;
  settings.nRetryFirstMilliseconds = parameters.RetryFirstMilliseconds;
  settings.nRetryLongestMilliseconds = parameters.RetryLongestMilliseconds;
  settings.bDebug = parameters.IsDebugAction != 0;
  settings.pPdfReaders = std::move(pdfReaders);
  m_pFlusher = std::make_unique<CChangeFlusher>(
      settings, [&status](int kind, const std::string& text) { status.SendFromAnyThread(kind, text); });
  // Changes dropped past the queue's bound are caught up by a reconciliation.
  m_pFlusher->SetReconcileRequest([this](const std::string& reference) { RequestReconcile(reference); });
  CDirectoriesWatcher::SHooks hooks;
  hooks.Enqueue = [this](FileChange change) { OnWatchedChange(std::move(change)); };
  // A folder that lost a watch to the kernel's limit, or has a directory that cannot be
  // watched, needs no mark of its own: its pass watches it again, and while that fails the
  // folder is reconciled in every pass.
  hooks.NeedsReconcile = [this](const std::string& reference, bool) { RequestReconcile(reference); };
  hooks.SendStatus = [&status](int kind, const std::string& text) { status.SendFromAnyThread(kind, text); };
  m_pWatcher = std::make_unique<CDirectoriesWatcher>(std::move(hooks));
}

CFolderSessions::~CFolderSessions() {
  // The watcher feeds the flush workers, and both send lines to the listeners.
  StopAll();
  m_pWatcher.reset();
  m_pFlusher.reset();
}

void CFolderSessions::StopAll() {
  m_pWatcher->StopAll();
  m_pFlusher->StopAll();
}

bool CFolderSessions::Watch(const FK::CFolder& folder, const std::string& catalogue, std::string* polledReason) {
  const std::vector<std::string> directories = m_Layout.GetFolderDirectories(folder);
  bool all = true;
  for (const std::string& directory : directories) {
    if (directory.empty()) {
      // No processing directory is an ordinary folder; no archive directory leaves nothing to watch.
      if (&directory == &directories.front()) all = false;
      continue;
    }
    if (!platform::CFileSystemType::WhyRefusedAsFolderDirectory(directory).empty()) continue;
    const std::string path = CCatalogueLayout::GetUncPath(directory);
    const CDirectoriesWatcher::EWatch watch = m_pWatcher->WatchFolder(path, folder, catalogue);
    if (watch != CDirectoriesWatcher::EWatch::Watched) {
      // Missing, on a network share, past a watch limit or with directories that cannot be
      // watched: the folder is reconciled in every pass until all its directories are watched.
      all = false;
      if (polledReason != nullptr && polledReason->empty()) *polledReason = PolledReason(static_cast<int>(watch), path);
    }
  }
  return all;
}

std::string CFolderSessions::PolledReason(int watch, const std::string& directory) {
  if (watch == static_cast<int>(CDirectoriesWatcher::EWatch::Missing)) return "directory missing";
  if (platform::CFileSystemType::IsNetwork(directory)) return "network file system";
  return "watch limit";
}

std::int64_t CFolderSessions::QueuedCount(const std::string& catalogue) {
  return static_cast<std::int64_t>(m_pFlusher->QueuedCount(catalogue));
}

std::map<std::string, std::int64_t> CFolderSessions::WatchesByFolder() { return m_pWatcher->WatchesByFolder(); }

void CFolderSessions::StopFolder(const FK::CFolder& folder) {
  m_pWatcher->StopWatchingFolder(folder);
  const std::string catalogue = m_Layout.GetCataloguePath(folder);
  if (!catalogue.empty()) m_pFlusher->Remove(catalogue);
}

void CFolderSessions::OnWatchedChange(FileChange change) {
  // A catalogue being reconciled keeps its changes queued until the end of the pass, which
  // applies them and wakes the flush workers. Asked again after queueing: a pass that ended
  // in between may have looked at the queue before this change was in it.
  const std::string catalogue = change.strCatalogue;
  const bool free = CCatalogueLock::IsFreeForCaller(catalogue);
  m_pFlusher->EnqueueChange(std::move(change), free);
  if (!free && CCatalogueLock::IsFreeForCaller(catalogue)) m_pFlusher->Wake(catalogue);
}

void CFolderSessions::RequestReconcile(const std::string& reference) {
  {
    platform::CLockGuard lock(m_Mutex);
    m_ReconcileRequests.insert(reference);
  }
  m_Pacing.WakeForReconcile();
}

void CFolderSessions::TakeReconcileRequests(Dom_FolderList& folderList) {
  std::set<std::string> requests;
  {
    platform::CLockGuard lock(m_Mutex);
    requests.swap(m_ReconcileRequests);
    m_Pacing.TakeReconcileWake();
  }
  const std::vector<std::string> references = folderList.GetFolderReferences();
  for (const std::string& reference : requests) {
    if (std::find(references.begin(), references.end(), reference) == references.end()) continue;
    FK::CFolder folder = folderList.GetFolder(reference);
    folder.SetMonitoringStarted(0);
    folderList.UpdateFolder(folder);
  }
}
