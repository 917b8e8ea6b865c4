#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalogue/PdfTextReader.h"
#include "engine/CCatalogueLayout.h"
#include "engine/CEnginePacing.h"
#include "engine/CEngineParameters.h"
#include "engine/CEngineWalkHost.h"
#include "engine/CStatusLines.h"
#include "flush/CDocumentRetries.h"
#include "flush/FileChange.h"
#include "platform/CDirectoryListing.h"
#include "platform/CMutex.h"
#include "platform/CStopLatch.h"
#include "walk/CFolderPassHost.h"

class CCatalogueIndexer;
class CCatalogueSnapshot;
class CFolderSessions;
class CFolderVerification;
class CPdfReaderQueue;
class CStatusBoard;
class Dom_FolderList;
class MonitorListener;
namespace FK {
class CFolder;
}

// The indexing engine: one per service run, owned by the service and driven by its worker
// thread (ApplyFolderList, IndexAllFolders). Keeps every folder's catalogue in step with
// the documents on disk and sends every status line to its listeners.
// The parameters record and the listeners are not owned and must outlive the engine.
class CIndexingEngine {
 public:
  explicit CIndexingEngine(const CEngineParameters* parameters);
  ~CIndexingEngine();
  CIndexingEngine(const CIndexingEngine&) = delete;
  CIndexingEngine& operator=(const CIndexingEngine&) = delete;

  // Before the worker starts: the board the engine notes its folders and passes on (not
  // owned; null: none). Its sampler reads the engine's queues until the engine ends.
  void SetStatusBoard(CStatusBoard* board);
  // Cycle (worker thread). AddListener is called before the worker starts.
  void AddListener(MonitorListener* listener) { m_Status.AddListener(listener); }
  // The clock, the work slices, the stop and "_stop_"; the wait between passes ends early when
  // a watched folder must be reconciled again.
  CEnginePacing& Pacing() { return m_Pacing; }
  // Any thread: ends a wait between passes now (the folder list is to be read again).
  void EndWaitBetweenPasses() { m_Pacing.WakeForReconcile(); }
  int CanContinue() { return m_Pacing.CanContinue(); }
  int CanContinueWalk() { return m_Pacing.CanContinueWalk(); }
  void SendStatusMessage(int kind, const std::string& text) { m_Status.Send(kind, text); }
  // What the walks of a folder directory get of the engine.
  CFolderPassHost& WalkHost() { return *m_pWalkHost; }
  // Takes over the new folder table (null: keeps none) and stops changed or vanished folders.
  void ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList, platform::CStopLatch* stop);
  void IndexAllFolders(platform::CStopLatch* stop);
  // Any thread (the service's stop path): ends the walks at their next check, every directory
  // watch and every flush worker.
  void StopMonitoring();
  // True when the folders' directories are watched (monitoring mode), false when polled.
  bool IsWatching() const { return m_pSessions != nullptr; }
  // The verification pass of the watched folders and what it mended (null when not watching).
  const CFolderVerification* Verification() const { return m_pVerification.get(); }

  // Where catalogues lie and which are refused.
  const CCatalogueLayout& Layout() const { return m_Layout; }
  // Deletes the plain files of the catalogue directory after closing the process's connections.
  void EmptyCatalogue(const std::string& catalogue);
  void DiscardForeignCatalogue(const std::vector<std::string>& directories, const std::string& catalogue);


  // The per-folder step of a pass; may clear the record's MonitoringStarted flag.
  void ProcessFolder(FK::CFolder& folder, int cleaner, platform::CStopLatch* stop);

  const Dom_FolderList* GetFolderList() const { return m_pFolderList.get(); }

  CCatalogueIndexer* GetIndexer() { return m_pIndexer.get(); }

 private:
  // When the slice is used up: keeps alive, pauses and begins a new one.
  void PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop) {
    m_pWalkHost->PauseWhenSliceUsedUp(start, stop, false);
  }
  bool FolderChanged(const FK::CFolder& folder, const std::vector<std::string>& directories) const;
  void ApplyNewFolder(Dom_FolderList& newList, const FK::CFolder& folder, std::int64_t& start,
                      platform::CStopLatch* stop);
  std::string CatalogueToPass(FK::CFolder& folder);
  bool PrepareCatalogue(FK::CFolder& folder, const std::string& catalogue, bool& fresh);
  CFolderPassHost::PassResult RunFolderPass(const FK::CFolder& folder, const std::string& catalogue, bool fresh,
                           int cleaner, platform::CStopLatch* stop);
  void GuardedFolderPass(const FK::CFolder& folder, const std::string& catalogue, bool fresh,
                         int cleaner, platform::CStopLatch* stop);
  void RebuildDamagedCatalogue(const FK::CFolder& folder, const std::string& catalogue, int cleaner,
                               platform::CStopLatch* stop);
  // Moves the catalogue's own files into a new "damaged-" directory beside them; its path, "" on
  // failure, or (unless always) the catalogue itself when there was nothing to move.
  std::string MoveDamagedCatalogueAside(const std::string& catalogue, bool always = true);
  // A catalogue whose file was removed or replaced while open: says so and clears the way for
  // a fresh walk; false (said) when what was left could not be moved aside.
  bool StartCatalogueAgain(const std::string& catalogue);
  void ReportWriteFailure(const std::string& catalogue);
  // True when a folder directory must not be walked ("/", a system tree); with say, a line why.
  bool IsRefusedDirectory(const FK::CFolder& folder, const std::string& directory, bool say);

  // The status board's notes (nothing without a board).
  void PublishFolders();
  // Tells the walks which catalogues a document moved in from another folder may come from.
  void TakeMoveSources(const Dom_FolderList& folderList);
  void FolderFailed(const FK::CFolder& folder, const std::string& reason);
  void FolderPassStarted(const FK::CFolder& folder);
  void FolderPassEnded(const FK::CFolder& folder, const std::string& catalogue, const std::string& polledReason);

  // Stops the folders of the old list that left the new one, were switched off or changed.
  void StopVanishedFolders(const Dom_FolderList& newList);

  CStatusLines m_Status;
  std::unique_ptr<CCatalogueIndexer> m_pIndexer;
  std::unique_ptr<Dom_FolderList> m_pFolderList;  // worker thread only
  const CEngineParameters* m_pParameters;         // not owned
  // The process's PDF readers, shared with the flush threads; aborted by StopMonitoring.
  std::shared_ptr<CPdfReaderQueue> m_pPdfReaders;
  CEnginePacing m_Pacing;
  CCatalogueLayout m_Layout;
  bool m_bFolderPassFailed = false;  // worker thread only: the last ProcessFolder did not complete
  std::string m_strReadingMarkerError;             // worker thread only: said once, then ""

  // The watched folders' sessions: made in monitoring mode, kept until the engine ends.
  std::unique_ptr<CFolderSessions> m_pSessions;
  std::unique_ptr<CEngineWalkHost> m_pWalkHost;
  CStatusBoard* m_pBoard = nullptr;  // not owned
  std::unique_ptr<CFolderVerification> m_pVerification;
  bool m_bFolderPolled = false;  // worker thread only: the last ProcessFolder left a directory unwatched
};
