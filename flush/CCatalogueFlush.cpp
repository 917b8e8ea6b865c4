#include "flush/CCatalogueFlush.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>

#include "catalogue/CCatalogueLock.h"
#include "status/MonitorListener.h"

namespace {

std::string KeyOf(const FileChange& change) { return (change.bDirectory ? "d:" : "f:") + change.strPath; }

}  // namespace

CCatalogueFlush::CCatalogueFlush(std::string catalogue, const SSettings& settings, SendStatus sendStatus,
                                 RequestReconcile reconcile, OnIdle onIdle)
    : m_strCatalogue(std::move(catalogue)),
      m_Settings(settings),
      m_OnIdle(std::move(onIdle)),
      m_Outbox(sendStatus, std::move(reconcile)),
      m_Retries(settings.nRetryFirstMilliseconds, settings.nRetryLongestMilliseconds,
                settings.nRetryReminderMilliseconds),
      // The applier's lines say what is being read as it starts: they go out at once.
      m_pApplier(std::make_unique<CChangeApplier>(m_strCatalogue, settings.bDebug, std::move(sendStatus),
                                                  settings.pPdfReaders.get())) {}

CCatalogueFlush::~CCatalogueFlush() {
  RequestStop();
  {
    platform::CLockGuard inUse(m_InUseMutex);
    CommitApplied(true, false);
  }
  m_Outbox.Deliver();
}

bool CCatalogueFlush::Enqueue(FileChange& change, bool wake, std::int64_t& dueAt) {
  dueAt = kNever;
  const std::int64_t now = CFlushPool::NowMs();
  std::vector<std::string> dropped;
  {
    platform::CLockGuard lock(m_QueueMutex);
    if (m_bStopped || m_bRetired) return false;
    if (m_Queue.size() >= std::max<std::size_t>(1, m_Settings.nQueueBound)) {
      DropOverflow(dropped);
      dropped.push_back(change.strReference);
    } else {
      if (change.nQueuedAt == 0) change.nQueuedAt = now;
      STask task;
      task.Key = KeyOf(change);
      task.Change = std::move(change);
      ++m_QueuedPerKey[task.Key];
      m_Queue.push_back(std::move(task));
      if (wake) m_bParked = false;
      dueAt = NextDueLocked(now);
    }
  }
  if (!dropped.empty()) {
    RequestReconciles(dropped, change.strPath);
    m_Outbox.Deliver();
  }
  return true;
}

bool CCatalogueFlush::EnqueueRetry(FileChange& change, std::int64_t& dueAt) {
  const std::int64_t now = CFlushPool::NowMs();
  platform::CLockGuard lock(m_QueueMutex);
  dueAt = kNever;
  if (m_bStopped || m_bRetired) return false;
  STask task;
  task.Key = KeyOf(change);
  if (m_QueuedPerKey.count(task.Key) != 0) return true;  // the queued change reads it anyway
  task.Change = std::move(change);
  task.bRetry = true;
  task.nAttempts = 1;
  task.nFirstFailedAt = now;
  task.nSaidAt = now;
  task.Reason = EReason::ReadLater;
  m_Retries.Add(std::move(task), now);
  dueAt = NextDueLocked(now);
  return true;
}

void CCatalogueFlush::DropOverflow(std::vector<std::string>& references) {
  std::set<std::string> folders;
  for (const STask& task : m_Queue) folders.insert(task.Change.strReference);
  m_Queue.clear();
  m_QueuedPerKey.clear();
  references.assign(folders.begin(), folders.end());
  if (m_bOverflowSaid) references.insert(references.begin(), std::string());  // said already
  m_bOverflowSaid = true;
}

void CCatalogueFlush::RequestReconciles(const std::vector<std::string>& references, const std::string& path) {
  const bool say = !references.front().empty();
  std::set<std::string> asked;
  for (const std::string& reference : references) {
    if (reference.empty() || !asked.insert(reference).second) continue;
    if (say) {
      m_Outbox.Say(kMessageLine, ":error: Folder " + reference + ": more than " +
                                     std::to_string(m_Settings.nQueueBound) + " changes waited for catalogue " +
                                     m_strCatalogue + " (the latest " + path +
                                     "): they are dropped, and the folder is reconciled again");
    }
    m_Outbox.Reconcile(reference);
  }
}

std::int64_t CCatalogueFlush::Wake() {
  platform::CLockGuard lock(m_QueueMutex);
  if (!m_Queue.empty()) m_bParked = false;
  return NextDueLocked(CFlushPool::NowMs());
}

void CCatalogueFlush::RequestStop() {
  {
    platform::CLockGuard lock(m_QueueMutex);
    m_bStopped = true;
    m_Queue.clear();
    m_QueuedPerKey.clear();
    m_Retries.Clear();
  }
  m_Signal.NotifyAll();
}

bool CCatalogueFlush::TryRetire() {
  platform::CLockGuard lock(m_QueueMutex);
  if (m_bStopped || !m_Queue.empty() || !m_Retries.Empty() || m_nInFlight != 0) return false;
  m_bRetired = true;
  return true;
}

size_t CCatalogueFlush::Pending() {
  platform::CLockGuard lock(m_QueueMutex);
  return m_Queue.size() + m_Retries.Size() + m_nInFlight;
}

std::int64_t CCatalogueFlush::NextDueLocked(std::int64_t now) const {
  if (m_bStopped || m_bRetired) return kNever;
  std::int64_t due = kNever;
  // A head that waits for a document being read is taken by the reading thread when it is
  // done, or by the slice its end schedules.
  if (!m_bParked && !m_Queue.empty() && !IsBlocked(m_Queue.front().Change)) due = ReadyAt(m_Queue.front().Change);
  due = std::min(due, m_Retries.NextDue(kNever));
  if (due != kNever) due = std::max({due, m_nPausedUntil, now});
  return due;
}

std::int64_t CCatalogueFlush::NextDue() {
  platform::CLockGuard lock(m_QueueMutex);
  return NextDueLocked(CFlushPool::NowMs());
}

bool CCatalogueFlush::HasQueued() {
  platform::CLockGuard lock(m_QueueMutex);
  return !m_Queue.empty();
}

std::int64_t CCatalogueFlush::RunSlice() {
  const std::int64_t start = CFlushPool::NowMs();
  {
    platform::CLockGuard lock(m_QueueMutex);
    if (m_bStopped) return kNever;
    if (start < m_nPausedUntil) return NextDueLocked(start);
  }
  bool idle = false;
  const std::int64_t due = ApplySlice(start, idle);
  // What the slice has to say goes out with the catalogue let go of.
  m_Outbox.Deliver();
  if (idle && m_OnIdle) m_OnIdle(*this);
  return due;
}

std::int64_t CCatalogueFlush::ApplySlice(std::int64_t start, bool& idle) {
  const std::int64_t slice = static_cast<std::int64_t>(m_Settings.nWorkSliceSeconds) * 1000;
  for (;;) {
    // A reconciliation of this process holds the catalogue: it drains the queue itself when
    // done, and wakes the record after it gives the catalogue back.
    if (!CCatalogueLock::IsFreeForCaller(m_strCatalogue)) {
      platform::CLockGuard inUse(m_InUseMutex);
      CommitApplied(true, false);
      return kNever;
    }
    bool altered = false;
    if (!ApplyNext(false, altered)) break;
    platform::CLockGuard inUse(m_InUseMutex);
    CommitApplied(false, false);
    if (CFlushPool::NowMs() - start >= slice && HasQueued()) {
      // The rest of a long burst waits behind the other catalogues that are due.
      CommitApplied(true, false);
      return NextDue();
    }
  }
  platform::CLockGuard inUse(m_InUseMutex);
  return EndSlice(idle);
}

std::int64_t CCatalogueFlush::EndSlice(bool& idle) {
  bool emptied;
  {
    platform::CLockGuard lock(m_QueueMutex);
    emptied = m_Queue.empty();
  }
  CommitApplied(true, false);
  bool parked = false;
  std::int64_t due;
  {
    platform::CLockGuard lock(m_QueueMutex);
    const std::int64_t now = CFlushPool::NowMs();
    if (m_Queue.empty()) {
      parked = true;
      m_bParked = true;
      m_bBurst = false;
      idle = m_Retries.Empty() && m_nInFlight == 0;
    } else if (emptied && m_bBurst && !m_bParked) {
      // Changes that came while the burst was committed wait a pause: the service stays in
      // the background during long runs of changes.
      m_bBurst = false;
      m_nPausedUntil = now + m_Settings.nPauseMilliseconds;
    }
    due = NextDueLocked(now);
  }
  // An idle catalogue keeps no PDF helper process.
  if (parked) m_pApplier->ReleasePdfTool();
  return due;
}

void CCatalogueFlush::PauseFor(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  platform::CLockGuard lock(m_QueueMutex);
  while (!m_bStopped && m_Signal.WaitUntil(lock, deadline)) {
  }
}

int CCatalogueFlush::Drain(bool throttle, std::int64_t& dueAt) {
  int altered = 0;
  size_t budget;
  {
    platform::CLockGuard lock(m_QueueMutex);
    budget = m_Queue.size();
  }
  std::int64_t sliceStart = CFlushPool::NowMs();
  const std::int64_t slice = static_cast<std::int64_t>(m_Settings.nWorkSliceSeconds) * 1000;
  // Only the changes queued now, and none that must wait: the worker is back in bounded time.
  for (; budget > 0; --budget) {
    bool written = false;
    if (!ApplyNext(true, written)) break;
    if (written) altered = 1;
    const bool sliceUsed = throttle && CFlushPool::NowMs() - sliceStart > slice;
    {
      platform::CLockGuard inUse(m_InUseMutex);
      CommitApplied(sliceUsed, true);
    }
    m_Outbox.Deliver();
    if (sliceUsed) {
      PauseFor(m_Settings.nPauseMilliseconds);
      sliceStart = CFlushPool::NowMs();
    }
  }
  {
    platform::CLockGuard inUse(m_InUseMutex);
    CommitApplied(true, true);
  }
  m_Outbox.Deliver();
  platform::CLockGuard lock(m_QueueMutex);
  m_bParked = false;
  m_bOverflowSaid = false;
  const std::int64_t now = CFlushPool::NowMs();
  dueAt = NextDueLocked(now);
  // With nothing left, a worker's slice retires the record.
  if (dueAt == kNever && !m_bStopped && !m_bRetired) dueAt = now;
  return altered;
}
