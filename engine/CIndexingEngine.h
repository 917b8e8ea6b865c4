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
#include "engine/CEngineParameters.h"
#include "flush/CDocumentRetries.h"
#include "flush/FileChange.h"
#include "platform/CDirectoryListing.h"
#include "platform/CMutex.h"
#include "platform/CStopLatch.h"

class CCatalogueIndexer;
class CCatalogueSnapshot;
class CChangeFlusher;
class CDirectoriesWatcher;
class CPdfReaderQueue;
class Dom_FolderList;
class MonitorListener;
namespace platform {
class CMarkerWatch;
}
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

  // Cycle (worker thread). AddListener is called before the worker starts.
  void AddListener(MonitorListener* listener);
  void SetWorkSlice(int milliseconds);
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
  // As WaitUnlessStopped, and ends early when a watched folder must be reconciled again.
  bool WaitBetweenPasses(platform::CStopLatch* stop, int milliseconds);
  static constexpr int kStopMarkerPollMilliseconds = 500;
  void SendStatusMessage(int kind, const std::string& text);
  void ReportFolderCheck(const FK::CFolder& folder);
  void KeepAlive();
  void ReportIndexingFolder(const std::string& reference);
  void ReportWaiting();
  // Takes over the new folder table (null: keeps none) and stops changed or vanished folders.
  void ApplyFolderList(std::unique_ptr<Dom_FolderList> folderList, platform::CStopLatch* stop);
  void IndexAllFolders(platform::CStopLatch* stop);
  // Any thread (the service's stop path): ends the walks at their next check, every directory
  // watch and every flush worker.
  void StopMonitoring();
  // True when the folders' directories are watched (monitoring mode), false when polled.
  bool IsWatching() const { return m_pWatcher != nullptr; }

  // Catalogue layout.
  // False for a reference that cannot name a catalogue directory ("", ".", "..", one with a '/').
  static bool IsUsableReference(const std::string& reference);
  std::string GetCataloguePath(const FK::CFolder& folder) const;
  bool IsCatalogueMarkedForDeletion(const std::string& catalogue) const;
  std::vector<std::string> GetFolderDirectories(const FK::CFolder& folder) const;
  static std::string GetUncPath(const std::string& directory);
  // Deletes the plain files of the catalogue directory after closing the process's connections.
  void EmptyCatalogue(const std::string& catalogue);
  void DiscardForeignCatalogue(const std::vector<std::string>& directories, const std::string& catalogue);
  // Why the folder's catalogue directory is refused ("" when it is not): it is, or lies inside,
  // a folder directory of a folder of the list, where emptying it could touch documents.
  std::string RefusedCatalogueReason(const FK::CFolder& folder, const std::string& catalogue) const;
  // The same for the catalogue as it stands at path (its written or its resolved form).
  std::string RefusedCatalogueReasonAt(const FK::CFolder& folder, const std::string& catalogue,
                                       std::string path) const;

  // The catalogue locks of the process, one per catalogue, shared with other processes by
  // name. Any thread; a thread may hold the locks of several catalogues. acquire 0 only asks:
  // 0 when another thread of this process holds that catalogue.
  static int LockCatalogue(const std::string& catalogue, int acquire);
  // Releases the calling thread's catalogue locks.
  static void UnlockCatalogue();
  // Why the last LockCatalogue that tried to take a lock did not get it.
  static std::string GetCatalogueLockError();

  // One document changed on disk (the thread that delivers the change).
  void AddFile(std::string path, FK::CFolder folder);
  void RemoveFile(std::string path, FK::CFolder folder);

  // The per-folder step of a pass; may clear the record's MonitoringStarted flag.
  void ProcessFolder(FK::CFolder& folder, int cleaner, platform::CStopLatch* stop);

  // How a walk of a folder directory (CFolderDirectoryPass) ended.
  enum class PassResult { Done, Damaged };

  // The early stop of the reconciling walk. It takes a level's files newest first (by arrival
  // time, the later of modification and status-change time) and may end the level at a
  // catalogued, unchanged file only when that file arrived more than kStopMarginSeconds before
  // the last complete walk of the folder directory started: every file listed after it arrived
  // earlier still, so it was there, unchanged, during that whole walk, which left it catalogued
  // with its current text. With no complete walk recorded the level is walked in full.
  static constexpr std::int64_t kStopMarginSeconds = 1;
  static bool MayEndLevelAt(std::int64_t arrival, std::optional<std::int64_t> lastCompleteWalkStarted) {
    return lastCompleteWalkStarted && arrival + kStopMarginSeconds < *lastCompleteWalkStarted;
  }

  // Tests: the clock (whole seconds), the marker's clock (steady milliseconds) and the
  // throttling pause.
  void SetClock(std::function<std::int64_t()> clock);
  void SetMarkerClock(std::function<std::int64_t()> clock) { m_MarkerClock = std::move(clock); }
  void SetPauseMilliseconds(int milliseconds) { m_nPauseMilliseconds = milliseconds; }
  const Dom_FolderList* GetFolderList() const { return m_pFolderList.get(); }

  CCatalogueIndexer* GetIndexer() { return m_pIndexer.get(); }

 private:
  // The walks of a folder directory use the engine's pacing and its per-document bookkeeping.
  friend class CFolderDirectoryPass;

  std::int64_t Now() const;
  // Pacing: true when the work slice begun at start is used up.
  bool IsSliceUsedUp(std::int64_t start) const;
  // When the slice is used up: feeds the watchdog, notes the wait when asked, pauses and
  // begins a new slice.
  void PauseWhenSliceUsedUp(std::int64_t& start, platform::CStopLatch* stop, bool reportWaiting);
  void Pause(platform::CStopLatch* stop, int milliseconds);
  bool IsDebug() const;
  bool LookForStopMarker();
  void IndexFolderDirectories(const Dom_FolderList& folderList);
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
  void ReportCatalogueFileSystem(const std::string& catalogue);
  void ReportUnreadable(const std::string& path, const std::string& reason);
  // Indexes one document of a walk with its retry bookkeeping; true when it was stored.
  bool IndexCounted(const std::string& path, const std::string& catalogue, const FK::CFolder& folder);
  void ReportWriteFailure(const std::string& catalogue);
  void ReportDocumentNote(const std::string& path);
  // True when a folder directory must not be walked ("/", a system tree); with say, a line why.
  bool IsRefusedDirectory(const FK::CFolder& folder, const std::string& directory, bool say);
  bool WaitUntil(platform::CStopLatch* stop, int milliseconds, bool endOnReconcileRequest);

  // Monitoring.
  // A status line from a thread other than the worker (it shows no progress of the worker).
  void SendStatusFromAnyThread(int kind, const std::string& text);
  // Watches the folder's directories; sets m_bFolderPolled when one of them is not watched.
  void WatchFolderDirectories(const FK::CFolder& folder, const std::string& catalogue);
  // Ends the watches and the flush queue of a folder (its queued changes are dropped).
  void StopFolder(const FK::CFolder& folder);
  // Stops the folders of the old list that left the new one, were switched off or changed.
  void StopVanishedFolders(const Dom_FolderList& newList);
  // The watcher's hooks (its thread).
  void OnWatchedChange(FileChange change);
  void RequestReconcile(const std::string& reference, bool everyPass);
  // Worker: folders the watcher asked to reconcile are taken again by this pass.
  void TakeReconcileRequests();

  std::unique_ptr<std::vector<MonitorListener*>> m_pListeners;  // filled before other threads start
  std::unique_ptr<CCatalogueIndexer> m_pIndexer;
  std::unique_ptr<Dom_FolderList> m_pFolderList;  // worker thread only
  const CEngineParameters* m_pParameters;         // not owned
  // The process's PDF readers, shared with the flush threads; aborted by StopMonitoring.
  std::shared_ptr<CPdfReaderQueue> m_pPdfReaders;
  bool m_bPdfQuiet = false;  // worker only: a retry's failure is not recorded again
  PdfTextReader m_ReadPdf;  // on m_pPdfReaders
  int m_nWorkSliceSeconds = 1;
  int m_nPauseMilliseconds;
  int m_nFolderPauseMilliseconds;
  std::function<std::int64_t()> m_Clock;  // set before the worker starts
  std::function<std::int64_t()> m_MarkerClock;  // set before the worker starts
  // Worker thread only: the last look for the stop marker.
  bool m_bMarkerKnown = false;
  bool m_bMarkerSeen = false;
  std::int64_t m_nMarkerCheckedAt = 0;
  std::atomic<bool> m_bStopRequested{false};
  bool m_bFolderPassFailed = false;  // worker thread only: the last ProcessFolder did not complete
  bool m_bFullReconcile = false;     // worker thread only: no early stop (the last walk was cut short)
  CDocumentRetries m_Retries;  // worker thread only
  std::unordered_set<std::string> m_ReportedFileSystems;  // worker thread only
  std::string m_strReadingMarkerError;             // worker thread only: said once, then ""
  static constexpr size_t kMaxUnreadableReported = 10000;
  std::unordered_set<std::string> m_UnreadableReported;  // worker thread only
  // Worker thread only: every folder directory of the folder list (normal form) and its folder.
  std::unordered_map<std::string, std::string> m_FolderDirectories;

  // Monitoring: both made with the engine in monitoring mode, kept until it ends.
  std::unique_ptr<CChangeFlusher> m_pFlusher;
  std::unique_ptr<CDirectoriesWatcher> m_pWatcher;
  // Wakes the worker's waits when "_stop_" appears, a stop is asked or a folder must be
  // reconciled, so that a wait needs no periodic look. Null without parameters.
  std::unique_ptr<platform::CMarkerWatch> m_pMarkerWatch;
  platform::CMutex m_WatchMutex;
  // The folders the watcher asked to reconcile again, by reference.
  std::set<std::string> m_ReconcileRequests GUARDED_BY(m_WatchMutex);
  std::atomic<bool> m_bReconcileRequested{false};
  bool m_bFolderPolled = false;  // worker thread only: the last ProcessFolder left a directory unwatched
};
