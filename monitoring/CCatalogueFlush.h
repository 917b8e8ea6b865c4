#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "monitoring/CChangeApplier.h"
#include "monitoring/CChangeFlusher.h"
#include "monitoring/FileChange.h"
#include "platform/CMutex.h"

// One catalogue's queue of changes and its flush thread, which applies them in arrival order
// once settled and commits at once. The thread parks while its queue is empty and no unpark is
// ever lost. A drain on another thread takes changes only between the flush thread's (each
// change is taken, applied and committed under m_InUseMutex), so each is applied once. Owned
// by CChangeFlusher, which stops it; any thread may call the public members.
class CCatalogueFlush {
 public:
  using SSettings = CChangeFlusher::SSettings;
  using SendStatus = std::function<void(int kind, const std::string& text)>;
  using RequestReconcile = std::function<void(const std::string& reference)>;

  CCatalogueFlush(std::string catalogue, const SSettings& settings, SendStatus sendStatus,
                  RequestReconcile reconcile);
  ~CCatalogueFlush();  // Stop
  CCatalogueFlush(const CCatalogueFlush&) = delete;
  CCatalogueFlush& operator=(const CCatalogueFlush&) = delete;

  // Starts the flush thread, parked. Once.
  void Start();
  void Enqueue(FileChange change, bool wake) EXCLUDES(m_QueueMutex);
  // Unparks the thread when changes are queued.
  void Wake() EXCLUDES(m_QueueMutex);
  // Applies the settled changes queued now on the calling thread (leaving any that must wait
  // to the flush thread), commits, then unparks the flush thread; 1 when the catalogue changed.
  int Drain(bool throttle) EXCLUDES(m_QueueMutex, m_InUseMutex);
  // Forgets the queue and wakes every wait; the thread ends after the change it applies.
  void RequestStop() EXCLUDES(m_QueueMutex);
  // RequestStop, then waits for the thread, which commits what it applied before it ends.
  void Stop() EXCLUDES(m_QueueMutex);
  // Changes queued, being applied or waiting for a retry.
  size_t Pending() EXCLUDES(m_QueueMutex);

  // One step of the flush thread; false once stopped.
  bool FlushOnce() EXCLUDES(m_QueueMutex, m_InUseMutex);

 private:
  enum class EReason { Locked, ReadLater, WriteFailed };
  struct STask {
    FileChange Change;
    std::string Key;  // the path (a directory's marked as such): a later change of it decides
    bool bSkip = false;  // a later change of the same path is queued
    bool bRetry = false;
    int nAttempts = 0;  // failed attempts so far
    std::int64_t nFirstFailedAt = 0;
    std::int64_t nDueAt = 0;
    EReason Reason = EReason::Locked;
  };
  enum class EWait { Stopped, Work, Idle };

  std::int64_t ReadyAt(const FileChange& change) const;
  EWait WaitForWork() EXCLUDES(m_QueueMutex);
  // The next change to apply: the settled head of the queue (only while unparked, unless
  // drain) or else a retry that is due (never for a drain).
  bool TakeNext(STask& task, bool drain) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void DropRetriesOf(const std::string& key) REQUIRES(m_QueueMutex);
  bool ApplyTask(STask& task) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  // Commits when forced, when no further change is ready or when the work slice is used up.
  void CommitApplied(bool force, bool drain) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void Retry(STask task, EReason reason, const std::string& cause) REQUIRES(m_InUseMutex) EXCLUDES(m_QueueMutex);
  void GiveUp(const STask& task, const std::string& cause);
  void ReportWriteFailure(const std::string& cause) REQUIRES(m_InUseMutex);
  void Settled(size_t count) EXCLUDES(m_QueueMutex);
  void EndBurst() EXCLUDES(m_QueueMutex, m_InUseMutex);
  void PauseFor(int milliseconds) EXCLUDES(m_QueueMutex);
  void WaitForCatalogue() EXCLUDES(m_QueueMutex);
  bool IsParked() EXCLUDES(m_QueueMutex);
  void Run();

  const std::string m_strCatalogue;
  const SSettings m_Settings;
  SendStatus m_SendStatus;
  RequestReconcile m_Reconcile;

  platform::CMutex m_QueueMutex;  // never held while a change is applied
  platform::CConditionVariable m_Signal;  // a change queued with wake, an unpark, a stop
  std::deque<STask> m_Queue GUARDED_BY(m_QueueMutex);
  std::unordered_map<std::string, int> m_QueuedPerKey GUARDED_BY(m_QueueMutex);
  std::vector<STask> m_Retries GUARDED_BY(m_QueueMutex);
  size_t m_nInFlight GUARDED_BY(m_QueueMutex) = 0;  // taken, not yet committed or put back
  bool m_bParked GUARDED_BY(m_QueueMutex) = true;
  bool m_bBurst GUARDED_BY(m_QueueMutex) = false;  // the thread applied changes since it last parked
  bool m_bStopped GUARDED_BY(m_QueueMutex) = false;

  platform::CMutex m_InUseMutex;  // lock order: m_InUseMutex before m_QueueMutex
  std::unique_ptr<CChangeApplier> m_pApplier PT_GUARDED_BY(m_InUseMutex);
  std::vector<STask> m_Uncommitted GUARDED_BY(m_InUseMutex);  // applied, to redo if the commit fails
  bool m_bDirty GUARDED_BY(m_InUseMutex) = false;
  // The folder of the last change applied: reconciled when the catalogue's file is found replaced.
  std::string m_strLastReference GUARDED_BY(m_InUseMutex);
  std::int64_t m_nLastCommitAt GUARDED_BY(m_InUseMutex) = 0;
  bool m_bWriteFailureSaid GUARDED_BY(m_InUseMutex) = false;

  platform::CMutex m_ThreadMutex;
  std::thread m_Thread GUARDED_BY(m_ThreadMutex);
};
