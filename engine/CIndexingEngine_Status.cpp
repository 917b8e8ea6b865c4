#include <map>

#include "catalogue/CCatalogueIndexer.h"
#include "engine/CEngineWalkHost.h"
#include "engine/CFolderSessions.h"
#include "engine/CIndexingEngine.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "status/CStatusBoard.h"

// What the engine tells the service's status board: the folders it keeps, how, and their passes.

void CIndexingEngine::SetStatusBoard(CStatusBoard* board) {
  m_pBoard = board;
  m_pWalkHost->SetStatusBoard(board);
  if (m_pBoard == nullptr || !m_pSessions) return;
  // The publisher's thread reads the live figures under the locks the queues and watches have.
  CFolderSessions* sessions = m_pSessions.get();
  m_pBoard->SetSampler([sessions](ServiceStatus& status) {
    const std::map<std::string, std::int64_t> watches = sessions->WatchesByFolder();
    for (ServiceStatus::Folder& folder : status.Folders) {
      folder.ChangesQueued = sessions->QueuedCount(folder.CatalogueDirectory);
      const auto it = watches.find(folder.Reference);
      folder.InotifyWatches = it == watches.end() ? 0 : it->second;
    }
  });
}

void CIndexingEngine::PublishFolders() {
  if (m_pBoard == nullptr || !m_pFolderList) return;
  std::vector<ServiceStatus::Folder> folders;
  for (const std::string& reference : m_pFolderList->GetFolderReferences()) {
    const FK::CFolder folder = m_pFolderList->GetFolder(reference);
    if (folder.GetUseMIS() != 1) continue;
    ServiceStatus::Folder entry;
    entry.Reference = reference;
    entry.Name = folder.GetName();
    entry.CatalogueDirectory = m_Layout.GetCataloguePath(folder);
    if (!m_pSessions) {
      entry.KeptBy = "polled";
      entry.PolledReason = "monitoring off";
    }
    folders.push_back(std::move(entry));
  }
  m_pBoard->SetFolders(folders);
}

void CIndexingEngine::FolderFailed(const FK::CFolder& folder, const std::string& reason) {
  if (m_pBoard != nullptr) m_pBoard->Failed(folder.GetReference(), reason);
}

void CIndexingEngine::FolderPassStarted(const FK::CFolder& folder) {
  if (m_pBoard == nullptr) return;
  m_pBoard->SetPhase(m_pSessions ? "reconciling" : "polling");
  m_pBoard->PassStarted(folder.GetReference(), m_Pacing.Now());
}

void CIndexingEngine::FolderPassEnded(const FK::CFolder& folder, const std::string& catalogue,
                                      const std::string& polledReason) {
  if (m_pBoard == nullptr) return;
  const std::string& reference = folder.GetReference();
  const bool stopped = CanContinue() == 0;
  const std::string outcome = m_bFolderPassFailed ? "failed" : stopped ? "stopped" : "done";
  const std::int64_t documents = m_bFolderPassFailed ? -1 : m_pIndexer->CountDocuments(catalogue);
  m_pBoard->PassEnded(reference, m_Pacing.Now(), outcome, documents);
  if (m_pSessions) m_pBoard->KeptBy(reference, polledReason);
  if (m_bFolderPassFailed) {
    m_pBoard->Failed(reference, "its last pass failed; it is taken again at the next pass");
  } else {
    m_pBoard->SetFolderPhase(reference, m_pSessions && polledReason.empty() ? "watching" : "waiting");
  }
}
