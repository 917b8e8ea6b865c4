#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "flush/CChangeApplier.h"
#include "flush/CChangeFlusher.h"
#include "flush/CFlushPool.h"
#include "flush/CFlushRetries.h"
#include "flush/CStatusOutbox.h"
#include "flush/FileChange.h"
#include "flush/FlushTask.h"
#include "platform/CMutex.h"

// One catalogue's queue of changes, applied in arrival order once settled and committed at
// once, by a worker of the flush pool (RunSlice) or by a drain on the engine's worker. Each
// change is taken and written under m_InUseMutex, so each is applied once; a document is read
// in between with m_InUseMutex let go of, and while it is read no change that concerns the
// same document is taken, so the last change of a path decides its entry. Status lines and
// reconciliations are passed on after m_InUseMutex is let go of. Owned by CChangeFlusher, which schedules it
// with the times returned here; any thread may call the public members.
class CCatalogueFlush : public CFlushPool::IJob {
 public:
  using SSettings = CChangeFlusher::SSettings;
  using SendStatus = std::function<void(int kind, const std::string& text)>;
  using RequestReconcile = std::function<void(const std::string& reference)>;
  // Called on a pool worker, with no lock of the record held, when its queue and retries are
  // empty: the owner may retire it.
  using OnIdle = std::function<void(CCatalogueFlush& record)>;
  static constexpr std::int64_t kNever = CFlushPool::kNever;

  CCatalogueFlush(std::string catalogue, const SSettings& settings, SendStatus sendStatus,
                  RequestReconcile reconcile, OnIdle onIdle);
  ~CCatalogueFlush() override;
  CCatalogueFlush(const CCatalogueFlush&) = delete;
  CCatalogueFlush& operator=(const CCatalogueFlush&) = delete;

  const std::string& Catalogue() const { return m_strCatalogue; }
  // Queues the change (moved from only when taken); false when the record is retired or
  // stopped. dueAt: when it next wants a worker.
  bool Enqueue(FileChange& change, bool wake, std::int64_t& dueAt) EXCLUDES(m_QueueMutex);
  // A document to be read again later, its trouble reported already (quiet).
  bool EnqueueRetry(FileChange& change, std::int64_t& dueAt) EXCLUDES(m_QueueMutex);
  // Unparks the queue when changes are queued; when it next wants a worker.
  std::int64_t Wake() EXCLUDES(m_QueueMutex);
  // Applies the settled changes queued now on the calling thread (leaving any that must wait,
  // and from a change whose document a worker is reading on, to the workers), commits, then
  // unparks the queue; 1 when the catalogue changed.
  int Drain(bool throttle, std::int64_t& dueAt) EXCLUDES(m_QueueMutex, m_InUseMutex);
  // Forgets the queue and wakes every wait; a slice ends after the change it applies.
  void RequestStop() EXCLUDES(m_QueueMutex);
  // Retires the record when nothing is queued, waiting or being applied: later changes go to
  // a new one. True when retired.
  bool TryRetire() EXCLUDES(m_QueueMutex);
  // Changes queued, being applied or waiting for a retry.
  size_t Pending() EXCLUDES(m_QueueMutex);

  // On a pool worker: applies what is due for about a work slice and commits it.
  std::int64_t RunSlice() EXCLUDES(m_QueueMutex, m_InUseMutex) override;

 private:
  using STask = FlushTask;
  using EReason = FlushTask::EReason;

  std::int64_t ReadyAt(const FileChange& change) const;
  std::int64_t NextDueLocked(std::int64_t now) const REQUIRES(m_QueueMutex);
  std::int64_t NextDue() EXCLUDES(m_QueueMutex);
  bool HasQueued() EXCLUDES(m_QueueMutex);  // a change waits in the queue (due or not)
  // Past the bound the queue goes, and the folders it held are reconciled instead.
  void DropOverflow(std::vector<std::string>& references) REQUIRES(m_QueueMutex);
  void RequestReconciles(const std::vector<std::string>& references, const std::string& path);
  // The next change to apply: the settled head of the queue (only while unparked, unless
  // drain) or else a retry that is due (never for a drain); none that concerns a document
  // being read. The task is noted in m_Taken until Conclude.
  bool TakeNext(STask& task, bool drain) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  bool IsBlocked(const FileChange& change) const REQUIRES(m_QueueMutex);
  // Takes and applies the next change; false when none was ready. altered: the catalogue was written.
  bool ApplyNext(bool drain, bool& altered) EXCLUDES(m_QueueMutex, m_InUseMutex);
  // Applies what needs no document read; true when the task's document is to be read.
  bool StartTask(STask& task, bool& altered) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  CChangeApplier::SDocument ReadTask(const STask& task) EXCLUDES(m_QueueMutex, m_InUseMutex);
  bool WriteTask(STask& task, CChangeApplier::SDocument& document) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  // Ends the task's turn by its result: kept for the commit, settled or tried again later.
  void Conclude(STask& task, CChangeApplier::EResult result, bool altered) REQUIRES(m_InUseMutex)
      EXCLUDES(m_QueueMutex);
  void FailedUnexpectedly(STask& task, const char* what) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void EndTaken(const STask& task) EXCLUDES(m_QueueMutex);
  // Commits when forced, when no further change is ready or when the work slice is used up.
  void CommitApplied(bool force, bool drain) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void Retry(STask task, EReason reason) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void ReportWriteFailure(const std::string& cause) REQUIRES(m_InUseMutex);
  void Settled(size_t count) EXCLUDES(m_QueueMutex);
  // Applies what is due for about a work slice from start; idle: nothing is left to do.
  std::int64_t ApplySlice(std::int64_t start, bool& idle) EXCLUDES(m_QueueMutex, m_InUseMutex);
  // At the end of a slice with nothing ready: commits, parks an empty queue; when it wants a worker next.
  std::int64_t EndSlice(bool& idle) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void PauseFor(int milliseconds) EXCLUDES(m_QueueMutex);

  const std::string m_strCatalogue;
  const SSettings m_Settings;
  OnIdle m_OnIdle;
  CStatusOutbox m_Outbox;  // status lines and reconciliations, passed on with m_InUseMutex let go of

  platform::CMutex m_QueueMutex;  // never held while a change is applied
  platform::CConditionVariable m_Signal;  // a stop (a drain's pause waits on it)
  std::deque<STask> m_Queue GUARDED_BY(m_QueueMutex);
  std::unordered_map<std::string, int> m_QueuedPerKey GUARDED_BY(m_QueueMutex);
  CFlushRetries m_Retries GUARDED_BY(m_QueueMutex);
  size_t m_nInFlight GUARDED_BY(m_QueueMutex) = 0;  // taken, not yet committed or put back
  // The changes taken and not yet concluded (owned by the applying threads): at most one per
  // thread, whose document may be being read.
  std::vector<const FileChange*> m_Taken GUARDED_BY(m_QueueMutex);
  bool m_bParked GUARDED_BY(m_QueueMutex) = true;
  bool m_bBurst GUARDED_BY(m_QueueMutex) = false;  // a worker applied changes since the queue last parked
  std::int64_t m_nPausedUntil GUARDED_BY(m_QueueMutex) = 0;
  bool m_bOverflowSaid GUARDED_BY(m_QueueMutex) = false;  // until a drain takes the queue again
  bool m_bStopped GUARDED_BY(m_QueueMutex) = false;
  bool m_bRetired GUARDED_BY(m_QueueMutex) = false;

  platform::CMutex m_InUseMutex;  // lock order: m_InUseMutex before m_QueueMutex; no callback runs under it
  std::unique_ptr<CChangeApplier> m_pApplier PT_GUARDED_BY(m_InUseMutex);
  std::vector<STask> m_Uncommitted GUARDED_BY(m_InUseMutex);  // applied, to redo if the commit fails
  bool m_bDirty GUARDED_BY(m_InUseMutex) = false;
  // The folder of the last change applied: reconciled when the catalogue's file is found replaced.
  std::string m_strLastReference GUARDED_BY(m_InUseMutex);
  std::int64_t m_nLastCommitAt GUARDED_BY(m_InUseMutex) = 0;
  std::int64_t m_nWriteFailureSaidAt GUARDED_BY(m_InUseMutex) = -1;  // -1: none since the last commit
};
