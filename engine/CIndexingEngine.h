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
class CPdfReaderQueue;
class Dom_FolderList;
class MonitorListener;
namespace FK {
class CFolder;
}

// The indexing engine: one per service run, owned by the service and driven by its worker
// thread (ApplyFolderList, IndexAllFolders). Keeps every folder's catalogue in step with
// the documents on disk and sends every status line to its listeners.
// The parameters record and the listeners are not owned and must outlive the engine.
class CIndexingEngine : public CFolderPassHost {
 public:
  explicit CIndexingEngine(const CEngineParameters* parameters);
  ~CIndexingEngine();
  CIndexingEngine(const CIndexingEngine&) = delete;
  CIndexingEngine& operator=(const CIndexingEngine&) = delete;

  // Cycle (worker thread). AddListener is called before the worker starts.
  void AddListener(MonitorListener* listener) { m_Status.AddListener(listener); }
  // The clock, the work slices, the stop and "_stop_"; the wait between passes ends early when
  // a watched folder must be reconciled again.
  CEnginePacing& Pacing() { return m_Pacing; }
  int CanContinue() { return m_Pacing.CanContinue(); }
  int CanContinueWalk() override { return m_Pacing.CanContinueWalk(); }
  void SendStatusMessage(int kind, const std::string& text) override;
  void KeepAlive() override { m_Status.KeepAlive(); }
  void ReportWaiting() override { m_Status.Waiting(); }
  // Takes over the new folder table (null: keeps none) and stops changed or vanished folders.
  void ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList, platform::CStopLatch* stop);
  void IndexAllFolders(platform::CStopLatch* stop);
  // Any thread (the service's stop path): ends the walks at their next check, every directory
  // watch and every flush worker.
  void StopMonitoring();
  // True when the folders' directories are watched (monitoring mode), false when polled.
  bool IsWatching() const { return m_pSessions != nullptr; }

  // Where catalogues lie and which are refused.
  const CCatalogueLayout& Layout() const { return m_Layout; }
  // Deletes the plain files of the catalogue directory after closing the process's connections.
  void EmptyCatalogue(const std::string& catalogue);
  void DiscardForeignCatalogue(const std::vector<std::string>& directories, const std::string& catalogue);

  // The catalogue locks of the process, one per catalogue, shared with other processes by
  // name. Any thread; a thread may hold the locks of several catalogues. acquire 0 only asks:
  // 0 when another thread of this process holds that catalogue.
  static int LockCatalogue(const std::string& catalogue, int acquire);
  // Releases the calling thread's catalogue locks.
  static void UnlockCatalogue();
  // Why the last LockCatalogue that tried to take a lock did not get it.
  static std::string GetCatalogueLockError();

  // A directory the walks of the folder leave out (its scanning, e-invoices or originals
  // directory, the catalogue itself).
  bool IsExcludedDirectory(const FK::CFolder& folder, const std::string& directory,
                           const std::string& catalogue) const override;

  // The per-folder step of a pass; may clear the record's MonitoringStarted flag.
  void ProcessFolder(FK::CFolder& folder, int cleaner, platform::CStopLatch* stop);

  const Dom_FolderList* GetFolderList() const { return m_pFolderList.get(); }

  CCatalogueIndexer* GetIndexer() { return m_pIndexer.get(); }

 private:
  // What the walks of a folder directory use.
  CCatalogueIndexer& Indexer() override { return *m_pIndexer; }
  std::int64_t Now() const override { return m_Pacing.Now(); }
  bool IsSliceUsedUp(std::int64_t start) const override { return m_Pacing.IsSliceUsedUp(start); }
  void PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting) override;
  void PauseBetweenSlices(platform::CStopLatch* stop) override;
  bool IsDebug() const override;
  bool IsFullReconcile() const override { return m_bFullReconcile; }
  bool IsDueForRetry(const std::string& path) override { return m_Retries.IsDue(path, Now()); }
  bool IndexCounted(const std::string& path, const std::string& catalogue, const FK::CFolder& folder) override;
  bool FolderChanged(const FK::CFolder& folder, const std::vector<std::string>& directories) const;
  void ApplyNewFolder(Dom_FolderList& newList, const FK::CFolder& folder, std::int64_t& start,
                      platform::CStopLatch* stop);
  bool PrepareCatalogue(FK::CFolder& folder, const std::string& catalogue, bool& fresh);
  PassResult RunFolderPass(const FK::CFolder& folder, const std::string& catalogue, bool fresh,
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
  void ReportDocumentNote(const std::string& path);
  // True when a folder directory must not be walked ("/", a system tree); with say, a line why.
  bool IsRefusedDirectory(const FK::CFolder& folder, const std::string& directory, bool say);

  // Stops the folders of the old list that left the new one, were switched off or changed.
  void StopVanishedFolders(const Dom_FolderList& newList);

  CStatusLines m_Status;
  std::unique_ptr<CCatalogueIndexer> m_pIndexer;
  std::unique_ptr<Dom_FolderList> m_pFolderList;  // worker thread only
  const CEngineParameters* m_pParameters;         // not owned
  // The process's PDF readers, shared with the flush threads; aborted by StopMonitoring.
  std::shared_ptr<CPdfReaderQueue> m_pPdfReaders;
  bool m_bPdfQuiet = false;  // worker only: a retry's failure is not recorded again
  PdfTextReader m_ReadPdf;  // on m_pPdfReaders
  CEnginePacing m_Pacing;
  CCatalogueLayout m_Layout;
  bool m_bFolderPassFailed = false;  // worker thread only: the last ProcessFolder did not complete
  bool m_bFullReconcile = false;     // worker thread only: no early stop (the last walk was cut short)
  CDocumentRetries m_Retries;  // worker thread only
  std::string m_strReadingMarkerError;             // worker thread only: said once, then ""

  // The watched folders' sessions: made in monitoring mode, kept until the engine ends.
  std::unique_ptr<CFolderSessions> m_pSessions;
  bool m_bFolderPolled = false;  // worker thread only: the last ProcessFolder left a directory unwatched
};
