#include <algorithm>
#include <set>
#include <utility>

#include "engine/CIndexingEngine.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "platform/CMarkerWatch.h"
#include "status/MonitorListener.h"
#include "watch/CDirectoriesWatcher.h"

void CIndexingEngine::SendStatusFromAnyThread(int kind, const std::string& text) {
  // A keep-alive from another thread would feed the watchdog for a stuck worker.
  if (kind == kMessageKeepAlive || !m_pListeners) return;
  for (MonitorListener* listener : *m_pListeners) listener->OnStatusMessage(kind, text);
}

void CIndexingEngine::WatchFolderDirectories(const FK::CFolder& folder, const std::string& catalogue) {
  const std::vector<std::string> directories = GetFolderDirectories(folder);
  for (const std::string& directory : directories) {
    if (directory.empty()) {
      // No processing directory is an ordinary folder; no archive directory leaves nothing to watch.
      if (&directory == &directories.front()) m_bFolderPolled = true;
      continue;
    }
    if (IsRefusedDirectory(folder, directory, false)) continue;
    if (m_pWatcher->WatchFolder(GetUncPath(directory), folder, catalogue) != CDirectoriesWatcher::EWatch::Watched) {
      // Missing, on a network share, past a watch limit or with directories that cannot be
      // watched: the folder is reconciled in every pass until all its directories are watched.
      m_bFolderPolled = true;
    }
  }
}

void CIndexingEngine::StopFolder(const FK::CFolder& folder) {
  if (!m_pWatcher) return;
  m_pWatcher->StopWatchingFolder(folder);
  const std::string catalogue = GetCataloguePath(folder);
  if (!catalogue.empty()) m_pFlusher->Remove(catalogue);
}

void CIndexingEngine::StopVanishedFolders(const Dom_FolderList& newList) {
  if (!m_pWatcher || !m_pFolderList) return;
  const std::vector<std::string> listed = newList.GetFolderReferences();
  for (const std::string& reference : m_pFolderList->GetFolderReferences()) {
    const FK::CFolder old = m_pFolderList->GetFolder(reference);
    if (old.GetUseMIS() != 1) continue;
    if (std::find(listed.begin(), listed.end(), reference) != listed.end()) {
      const FK::CFolder now = newList.GetFolder(reference);
      if (now.GetUseMIS() == 1 && !FolderChanged(now, GetFolderDirectories(now))) continue;
    }
    StopFolder(old);
  }
}

void CIndexingEngine::OnWatchedChange(FileChange change) {
  // A catalogue being reconciled keeps its changes queued until the end of the pass, which
  // applies them and wakes the flush workers. Asked again after queueing: a pass that ended
  // in between may have looked at the queue before this change was in it.
  const std::string catalogue = change.strCatalogue;
  const bool free = LockCatalogue(catalogue, 0) != 0;
  m_pFlusher->EnqueueChange(std::move(change), free);
  if (!free && LockCatalogue(catalogue, 0) != 0) m_pFlusher->Wake(catalogue);
}

// A folder that lost a watch to the kernel's limit, or has a directory that cannot be watched,
// needs no mark of its own: its pass watches it again, and while that fails the folder is
// reconciled in every pass.
void CIndexingEngine::RequestReconcile(const std::string& reference, bool /*everyPass*/) {
  {
    platform::CLockGuard lock(m_WatchMutex);
    m_ReconcileRequests.insert(reference);
  }
  m_bReconcileRequested = true;
  if (m_pMarkerWatch) m_pMarkerWatch->Interrupt();
}

void CIndexingEngine::TakeReconcileRequests() {
  std::set<std::string> requests;
  {
    platform::CLockGuard lock(m_WatchMutex);
    requests.swap(m_ReconcileRequests);
    m_bReconcileRequested = false;
  }
  const std::vector<std::string> references = m_pFolderList->GetFolderReferences();
  for (const std::string& reference : requests) {
    if (std::find(references.begin(), references.end(), reference) == references.end()) continue;
    FK::CFolder folder = m_pFolderList->GetFolder(reference);
    folder.SetMonitoringStarted(0);
    m_pFolderList->UpdateFolder(folder);
  }
}
