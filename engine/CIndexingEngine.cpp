#include "engine/CIndexingEngine.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CDocumentReader.h"
#include "catalogue/CMovesAcrossCatalogues.h"
#include "engine/CFolderSessions.h"
#include "engine/CFolderVerification.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/Dom_FolderList.h"
#include "pdf/CPdfReaderQueue.h"
#include "platform/CMarkerWatch.h"
#include "platform/FileTimes.h"
#include "status/CStatusBoard.h"
#include "status/MonitorListener.h"

namespace fs = boost::filesystem;

namespace {

// Names the document being read, so that a hang or crash in it is not repeated at the next start.
const char kReadingMarker[] = "_reading_";

}  // namespace

CIndexingEngine::CIndexingEngine(const CEngineParameters* parameters)
    : m_pIndexer(std::make_unique<CCatalogueIndexer>()),
      m_pParameters(parameters),
      m_pPdfReaders(std::make_shared<CPdfReaderQueue>(CPdfReaderQueue::ReadersFromEnvironment())),
      m_Pacing(parameters),
      m_Layout(parameters),
      m_pWalkHost(std::make_unique<CEngineWalkHost>(parameters, *m_pIndexer, m_Pacing, m_Status, m_pPdfReaders.get())) {
  if (m_pParameters == nullptr) return;
  if (m_pParameters->DisableMonitoring == 0) {
    m_pSessions = std::make_unique<CFolderSessions>(*m_pParameters, m_pPdfReaders, m_Status, m_Pacing, m_Layout);
    m_pWalkHost->SetSessions(m_pSessions.get());
    m_pVerification =
        std::make_unique<CFolderVerification>(*m_pParameters, *m_pWalkHost, m_Pacing, m_Status, m_Layout, *m_pSessions);
  }
  std::string why;
  if (!CDocumentReader::UseReadingMarker(m_pParameters->ProgramDirectory + kReadingMarker, why)) {
    m_strReadingMarkerError = ":error: Cannot use " + m_pParameters->ProgramDirectory + kReadingMarker + ": " + why +
                              " (a document that hangs the service will be read again after a restart)";
  }
}

CIndexingEngine::~CIndexingEngine() {
  // The watcher and the flush workers send lines to the listeners and read through the indexer.
  m_pVerification.reset();
  m_pSessions.reset();
  m_pWalkHost.reset();
  m_pPdfReaders.reset();
  m_pFolderList.reset();
  if (m_pIndexer) m_pIndexer->Shutdown();
  m_pIndexer.reset();
}

void CIndexingEngine::StopMonitoring() {
  m_Pacing.RequestStop();
  // A PDF read on the worker or a flush thread would hold the stop up for as long as its
  // document may take; the document is left as it was, for the next start.
  if (m_pPdfReaders) m_pPdfReaders->Abort();
  if (m_pSessions) m_pSessions->StopAll();
}

void CIndexingEngine::IndexAllFolders(platform::CStopLatch* stop) {
  if (!m_strReadingMarkerError.empty()) SendStatusMessage(kMessageLine, m_strReadingMarkerError);
  m_strReadingMarkerError.clear();
  if (!m_pFolderList) return;
  if (m_pSessions) {
    m_pSessions->TakeReconcileRequests(*m_pFolderList);
  } else {
    m_Pacing.TakeReconcileWake();  // a reload's wake, taken by this pass
  }
  // A flush worker refused by a thread limit is tried again here too: queued changes never
  // depend on a further change to be taken.
  if (m_pSessions) m_pSessions->Flusher().StartWorkers();
  TakeMoveSources(*m_pFolderList);
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
  if (m_pVerification) {
    m_pVerification->RunWhenDue(*m_pFolderList, stop);
    if (m_pBoard) {
      for (const auto& [reference, result] : m_pVerification->Results()) {
        m_pBoard->Verified(reference, result.LastTime, result.Added, result.Replaced, result.Removed,
                           result.MendedInAll);
      }
    }
  }
}

void CIndexingEngine::ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList,
                                      platform::CStopLatch* stop) {
  std::int64_t start = m_Pacing.Now();
  if (folderList) {
    m_Layout.TakeFolderDirectories(*folderList);
    TakeMoveSources(*folderList);
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
  PublishFolders();
}

void CIndexingEngine::TakeMoveSources(const Dom_FolderList& folderList) {
  std::vector<CMovesAcrossCatalogues::Source> sources;
  for (const std::string& reference : folderList.GetFolderReferences()) {
    const FK::CFolder folder = folderList.GetFolder(reference);
    const std::string catalogue = m_Layout.GetCataloguePath(folder);
    if (folder.GetUseMIS() != 1 || catalogue.empty()) continue;
    // Looked at in every pass: a share mounted since has another device.
    for (const std::string& directory : m_Layout.GetFolderDirectories(folder)) {
      const platform::FileStamp stamp = platform::StampOf(directory);
      if (stamp.Ok) sources.push_back(CMovesAcrossCatalogues::Source{catalogue, stamp.Device});
    }
  }
  if (auto* across = m_pWalkHost->MovesAcross()) across->SetSources(std::move(sources));
}

void CIndexingEngine::ApplyNewFolder(Dom_FolderList& newList, const FK::CFolder& folder,
                                     std::int64_t& start, platform::CStopLatch* stop) {
  const std::string catalogue = m_Layout.GetCataloguePath(folder);
  if (catalogue.empty()) return;
  m_Status.FolderCheck(folder);
  const std::vector<std::string> directories = m_Layout.GetFolderDirectories(folder);
  if (!FolderChanged(folder, directories)) {
    // The folder keeps its state: one whose last pass failed (not started) is taken again.
    newList.UpdateFolder(m_pFolderList->GetFolder(folder.GetReference()));
  } else if (m_Layout.RefusedCatalogueReason(folder, catalogue).empty()) {
    DiscardForeignCatalogue(directories, catalogue);
  }
  PauseWhenSliceUsedUp(start, stop);
}

bool CIndexingEngine::FolderChanged(const FK::CFolder& folder,
                                    const std::vector<std::string>& directories) const {
  if (!m_pFolderList) return true;
  const FK::CFolder old = m_pFolderList->GetFolder(folder.GetReference());
  if (old.GetUseMIS() == 0) return true;
  const std::vector<std::string> oldDirectories = m_Layout.GetFolderDirectories(old);
  if (oldDirectories.size() != directories.size()) return true;
  // Linux paths are case-sensitive: a directory whose name changed in case is another one.
  for (const std::string& directory : directories) {
    bool found = false;
    for (const std::string& oldDirectory : oldDirectories) {
      found = found || CCatalogueLayout::GetUncPath(oldDirectory) == CCatalogueLayout::GetUncPath(directory);
    }
    if (!found) return true;
  }
  return false;
}
