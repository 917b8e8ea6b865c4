#include "monitoring/CCatalogueFlush.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "monitoring/CIndexingEngine.h"
#include "monitoring/MonitorListener.h"

namespace {

// A parked thread looks up this often all the same, so that no wait is without a deadline.
constexpr std::int64_t kParkRecheckMilliseconds = 600000;
// While a reconciliation holds the catalogue, its end is looked for this often (Wake ends the
// wait sooner).
constexpr int kBusyRecheckMilliseconds = 500;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::chrono::steady_clock::time_point TimePointOf(std::int64_t milliseconds) {
  return std::chrono::steady_clock::time_point(std::chrono::milliseconds(milliseconds));
}

std::string KeyOf(const FileChange& change) { return (change.bDirectory ? "d:" : "f:") + change.strPath; }

bool IsIndexing(int action) {
  return action == kActionAdded || action == kActionModified || action == kActionRenamedNew;
}

}  // namespace

CCatalogueFlush::CCatalogueFlush(std::string catalogue, const SSettings& settings, SendStatus sendStatus,
                                 RequestReconcile reconcile)
    : m_strCatalogue(std::move(catalogue)),
      m_Settings(settings),
      m_SendStatus(std::move(sendStatus)),
      m_Reconcile(std::move(reconcile)),
      m_pApplier(std::make_unique<CChangeApplier>(m_strCatalogue, settings.bDebug, m_SendStatus)) {}

CCatalogueFlush::~CCatalogueFlush() { Stop(); }

void CCatalogueFlush::Start() {
  platform::CLockGuard lock(m_ThreadMutex);
  if (!m_Thread.joinable()) m_Thread = std::thread([this] { Run(); });
}

void CCatalogueFlush::Run() {
  for (;;) {
    try {
      if (!FlushOnce()) break;
    } catch (const std::exception& error) {
      // Nothing escapes the thread: its catalogue would no longer be kept up to date.
      m_SendStatus(kMessageLine, ":error: Catalogue " + m_strCatalogue + ": unexpected failure applying changes: " +
                                     error.what());
      PauseFor(1000);
    }
  }
  platform::CLockGuard inUse(m_InUseMutex);
  CommitApplied(true, false);
  m_pApplier->ReleasePdfTool();
}

void CCatalogueFlush::Enqueue(FileChange change, bool wake) {
  if (change.nQueuedAt == 0) change.nQueuedAt = NowMs();
  STask task;
  task.Key = KeyOf(change);
  task.Change = std::move(change);
  {
    platform::CLockGuard lock(m_QueueMutex);
    if (m_bStopped) return;
    ++m_QueuedPerKey[task.Key];
    m_Queue.push_back(std::move(task));
    if (wake) m_bParked = false;
  }
  if (wake) m_Signal.NotifyAll();
}

void CCatalogueFlush::Wake() {
  {
    platform::CLockGuard lock(m_QueueMutex);
    if (m_Queue.empty()) return;
    m_bParked = false;
  }
  m_Signal.NotifyAll();
}

void CCatalogueFlush::RequestStop() {
  {
    platform::CLockGuard lock(m_QueueMutex);
    m_bStopped = true;
    m_Queue.clear();
    m_QueuedPerKey.clear();
    m_Retries.clear();
  }
  m_Signal.NotifyAll();
}

void CCatalogueFlush::Stop() {
  RequestStop();
  platform::CLockGuard lock(m_ThreadMutex);
  if (m_Thread.joinable()) m_Thread.join();
}

size_t CCatalogueFlush::Pending() {
  platform::CLockGuard lock(m_QueueMutex);
  return m_Queue.size() + m_Retries.size() + m_nInFlight;
}

std::int64_t CCatalogueFlush::ReadyAt(const FileChange& change) const {
  if (!IsIndexing(change.nAction)) return change.nQueuedAt;
  // A file is read only once it has been left alone for a while: it may still be being written.
  const bool xml = boost::algorithm::iends_with(change.strPath, ".xml");
  return change.nQueuedAt + (xml ? m_Settings.nXmlSettleMilliseconds : m_Settings.nOtherSettleMilliseconds);
}

bool CCatalogueFlush::FlushOnce() {
  switch (WaitForWork()) {
    case EWait::Stopped:
      return false;
    case EWait::Idle:
      EndBurst();
      return true;
    case EWait::Work:
      break;
  }
  // A reconciliation of this process holds the catalogue: it drains the queue itself when done.
  if (CIndexingEngine::LockCatalogue(m_strCatalogue, 0) == 0) {
    WaitForCatalogue();
    return true;
  }
  platform::CLockGuard inUse(m_InUseMutex);
  STask task;
  const bool took = TakeNext(task, false);
  const bool retried = took && task.bRetry;
  if (took) ApplyTask(task);
  CommitApplied(false, false);
  // A retry applied while parked ends no burst: its PDF helper is let go here.
  if (retried && IsParked()) m_pApplier->ReleasePdfTool();
  return true;
}

bool CCatalogueFlush::IsParked() {
  platform::CLockGuard lock(m_QueueMutex);
  return m_bParked;
}

CCatalogueFlush::EWait CCatalogueFlush::WaitForWork() {
  platform::CLockGuard lock(m_QueueMutex);
  for (;;) {
    if (m_bStopped) return EWait::Stopped;
    const std::int64_t now = NowMs();
    std::int64_t wakeAt = now + kParkRecheckMilliseconds;
    if (!m_bParked) {
      if (m_Queue.empty()) return EWait::Idle;
      const std::int64_t ready = ReadyAt(m_Queue.front().Change);
      if (ready <= now) return EWait::Work;
      wakeAt = std::min(wakeAt, ready);
    }
    for (const STask& retry : m_Retries) {
      if (retry.nDueAt <= now) return EWait::Work;
      wakeAt = std::min(wakeAt, retry.nDueAt);
    }
    // The queue is looked at and the wait begun under one lock: an unpark cannot slip between.
    m_Signal.WaitUntil(lock, TimePointOf(wakeAt));
  }
}

void CCatalogueFlush::WaitForCatalogue() {
  platform::CLockGuard lock(m_QueueMutex);
  if (!m_bStopped) m_Signal.WaitUntil(lock, TimePointOf(NowMs() + kBusyRecheckMilliseconds));
}

void CCatalogueFlush::PauseFor(int milliseconds) {
  const auto deadline = TimePointOf(NowMs() + milliseconds);
  platform::CLockGuard lock(m_QueueMutex);
  while (!m_bStopped && m_Signal.WaitUntil(lock, deadline)) {
  }
}

void CCatalogueFlush::EndBurst() {
  {
    platform::CLockGuard inUse(m_InUseMutex);
    CommitApplied(true, false);
    // An idle catalogue keeps no PDF helper process.
    m_pApplier->ReleasePdfTool();
  }
  bool refilled = false;
  {
    platform::CLockGuard lock(m_QueueMutex);
    if (m_Queue.empty()) {
      m_bParked = true;
    } else {
      refilled = m_bBurst;
    }
    m_bBurst = false;
  }
  // Changes that arrived while the burst was committed wait a pause: the service stays in the
  // background during long runs of changes.
  if (refilled) PauseFor(m_Settings.nPauseMilliseconds);
}

bool CCatalogueFlush::TakeNext(STask& task, bool drain) {
  platform::CLockGuard lock(m_QueueMutex);
  if (m_bStopped) return false;
  const std::int64_t now = NowMs();
  if ((drain || !m_bParked) && !m_Queue.empty() && ReadyAt(m_Queue.front().Change) <= now) {
    task = std::move(m_Queue.front());
    m_Queue.pop_front();
    const auto counted = m_QueuedPerKey.find(task.Key);
    if (counted != m_QueuedPerKey.end() && --counted->second == 0) m_QueuedPerKey.erase(counted);
    // Applying a change reads the file as it is now, so the last change of a path decides its
    // entry: an earlier one is passed over, and a retry of the path is no longer needed.
    task.bSkip = m_QueuedPerKey.count(task.Key) != 0;
    DropRetriesOf(task.Key);
    ++m_nInFlight;
    if (!drain) m_bBurst = true;
    return true;
  }
  if (drain) return false;
  auto due = m_Retries.end();
  for (auto it = m_Retries.begin(); it != m_Retries.end(); ++it) {
    if (it->nDueAt <= now && (due == m_Retries.end() || it->nDueAt < due->nDueAt)) due = it;
  }
  if (due == m_Retries.end()) return false;
  task = std::move(*due);
  m_Retries.erase(due);
  task.bSkip = m_QueuedPerKey.count(task.Key) != 0;
  ++m_nInFlight;
  return true;
}

void CCatalogueFlush::DropRetriesOf(const std::string& key) {
  m_Retries.erase(std::remove_if(m_Retries.begin(), m_Retries.end(), [&](const STask& retry) { return retry.Key == key; }),
                  m_Retries.end());
}

void CCatalogueFlush::Settled(size_t count) {
  platform::CLockGuard lock(m_QueueMutex);
  m_nInFlight -= std::min(count, m_nInFlight);
}

bool CCatalogueFlush::ApplyTask(STask& task) {
  if (task.bSkip) {
    Settled(1);
    return false;
  }
  bool altered = false;
  CChangeApplier::EResult result;
  try {
    result = m_pApplier->Apply(task.Change, task.bRetry, altered);
  } catch (const std::exception& error) {
    m_SendStatus(kMessageLine, ":error: Document " + task.Change.strPath +
                                   ": unexpected failure applying its change: " + error.what() + "; tried again later");
    Retry(std::move(task), EReason::ReadLater, error.what());
    return false;
  }
  if (altered) m_bDirty = true;
  m_strLastReference = task.Change.strReference;
  switch (result) {
    case CChangeApplier::EResult::Done:
      if (altered) {
        m_Uncommitted.push_back(std::move(task));
      } else {
        Settled(1);
      }
      break;
    case CChangeApplier::EResult::Locked:
      Retry(std::move(task), EReason::Locked, std::string());
      break;
    case CChangeApplier::EResult::ReadLater:
      Retry(std::move(task), EReason::ReadLater, std::string());
      break;
    case CChangeApplier::EResult::WriteFailed: {
      const std::string cause = m_pApplier->WriteFailure();
      ReportWriteFailure(cause);
      // Its reconciliation builds the catalogue again: no change is lost with the unlinked file.
      if (m_pApplier->CatalogueReplaced() && m_Reconcile) m_Reconcile(m_strLastReference);
      Retry(std::move(task), EReason::WriteFailed, cause);
      // What was applied before it may have gone with the failed write: the commit tells.
      CommitApplied(true, false);
      break;
    }
  }
  return altered;
}

void CCatalogueFlush::CommitApplied(bool force, bool drain) {
  if (!m_bDirty && m_Uncommitted.empty()) return;
  const std::int64_t now = NowMs();
  if (!force && now - m_nLastCommitAt < static_cast<std::int64_t>(m_Settings.nWorkSliceSeconds) * 1000) {
    // A burst commits once per work slice; a change with none ready after it, at once.
    platform::CLockGuard lock(m_QueueMutex);
    const bool nextReady = (drain || !m_bParked) && !m_Queue.empty() && ReadyAt(m_Queue.front().Change) <= now;
    if (nextReady) return;
  }
  const bool committed = m_pApplier->Commit();
  m_nLastCommitAt = now;
  m_bDirty = false;
  std::vector<STask> applied;
  applied.swap(m_Uncommitted);
  if (committed) {
    m_bWriteFailureSaid = false;
    Settled(applied.size());
    return;
  }
  const std::string cause = m_pApplier->WriteFailure();
  ReportWriteFailure(cause);
  if (m_pApplier->CatalogueReplaced() && m_Reconcile) m_Reconcile(m_strLastReference);
  for (STask& task : applied) Retry(std::move(task), EReason::WriteFailed, cause);
}

void CCatalogueFlush::ReportWriteFailure(const std::string& cause) {
  if (m_bWriteFailureSaid) return;
  m_bWriteFailureSaid = true;
  m_SendStatus(kMessageLine, ":error: Catalogue " + m_strCatalogue + " cannot be written: " + cause +
                                 "; its changes are tried again later");
}

void CCatalogueFlush::Retry(STask task, EReason reason, const std::string& cause) {
  const std::int64_t now = NowMs();
  if (task.nAttempts == 0) task.nFirstFailedAt = now;
  ++task.nAttempts;
  task.bRetry = true;
  task.bSkip = false;
  task.Reason = reason;
  std::int64_t interval = std::max(1, m_Settings.nRetryFirstMilliseconds);
  for (int i = 1; i < task.nAttempts && interval < m_Settings.nRetryLongestMilliseconds; ++i) interval *= 2;
  interval = std::min<std::int64_t>(interval, std::max(1, m_Settings.nRetryLongestMilliseconds));
  const bool giveUp = now - task.nFirstFailedAt >= m_Settings.nRetryGiveUpMilliseconds;
  {
    platform::CLockGuard lock(m_QueueMutex);
    m_nInFlight -= std::min<size_t>(1, m_nInFlight);
    // Stopped: dropped with the queue. A later change of the path queued: it decides.
    if (m_bStopped || m_QueuedPerKey.count(task.Key) != 0) return;
    if (!giveUp) {
      task.nDueAt = now + interval;
      DropRetriesOf(task.Key);
      m_Retries.push_back(std::move(task));
      return;
    }
  }
  GiveUp(task, cause);
}

void CCatalogueFlush::GiveUp(const STask& task, const std::string& cause) {
  const std::string& path = task.Change.strPath;
  const std::string waited = std::to_string((NowMs() - task.nFirstFailedAt) / 1000) + " s";
  switch (task.Reason) {
    case EReason::Locked:
      m_SendStatus(kMessageLine, ":error: Document " + path + " stayed locked by another program for " + waited +
                                     ": it is not indexed until it changes or its folder is reconciled again");
      break;
    case EReason::ReadLater:
      m_SendStatus(kMessageLine, ":error: Document " + path + " could not be read in full for " + waited +
                                     ": it stays catalogued as last read until it changes or its folder is "
                                     "reconciled again");
      break;
    case EReason::WriteFailed:
      m_SendStatus(kMessageLine, ":error: Catalogue " + m_strCatalogue + " cannot be written: " + cause +
                                     "; the change of " + path + " is given up until its folder is reconciled again");
      if (m_Reconcile) m_Reconcile(task.Change.strReference);
      break;
  }
}

int CCatalogueFlush::Drain(bool throttle) {
  int altered = 0;
  size_t budget;
  {
    platform::CLockGuard lock(m_QueueMutex);
    budget = m_Queue.size();
  }
  std::int64_t sliceStart = NowMs();
  const std::int64_t slice = static_cast<std::int64_t>(m_Settings.nWorkSliceSeconds) * 1000;
  // Only the changes queued now, and none that must wait: the worker is back in bounded time.
  for (; budget > 0; --budget) {
    bool sliceUsed = false;
    {
      platform::CLockGuard inUse(m_InUseMutex);
      STask task;
      if (!TakeNext(task, true)) break;
      if (ApplyTask(task)) altered = 1;
      sliceUsed = throttle && NowMs() - sliceStart > slice;
      CommitApplied(sliceUsed, true);
    }
    if (sliceUsed) {
      PauseFor(m_Settings.nPauseMilliseconds);
      sliceStart = NowMs();
    }
  }
  {
    platform::CLockGuard inUse(m_InUseMutex);
    CommitApplied(true, true);
  }
  {
    platform::CLockGuard lock(m_QueueMutex);
    m_bParked = false;
  }
  m_Signal.NotifyAll();
  return altered;
}
