#include "flush/CCatalogueFlush.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "status/MonitorListener.h"
#include "tools/CRetryInterval.h"

// Taking, applying and committing changes, and trying again those that must wait.

namespace {

std::int64_t NowMs() { return CFlushPool::NowMs(); }

std::string Seconds(std::int64_t milliseconds) { return std::to_string(milliseconds / 1000) + " s"; }

}  // namespace

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
    Retry(std::move(task), EReason::ReadLater);
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
      Retry(std::move(task), EReason::Locked);
      break;
    case CChangeApplier::EResult::ReadLater:
      Retry(std::move(task), EReason::ReadLater);
      break;
    case CChangeApplier::EResult::WriteFailed: {
      const std::string cause = m_pApplier->WriteFailure();
      ReportWriteFailure(cause);
      // Its reconciliation builds the catalogue again: no change is lost with the unlinked file.
      if (m_pApplier->CatalogueReplaced() && m_Reconcile) m_Reconcile(m_strLastReference);
      Retry(std::move(task), EReason::WriteFailed);
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
    m_nWriteFailureSaidAt = -1;
    Settled(applied.size());
    return;
  }
  const std::string cause = m_pApplier->WriteFailure();
  ReportWriteFailure(cause);
  if (m_pApplier->CatalogueReplaced() && m_Reconcile) m_Reconcile(m_strLastReference);
  for (STask& task : applied) Retry(std::move(task), EReason::WriteFailed);
}

void CCatalogueFlush::ReportWriteFailure(const std::string& cause) {
  const std::int64_t now = NowMs();
  if (m_nWriteFailureSaidAt < 0) {
    m_SendStatus(kMessageLine, ":error: Catalogue " + m_strCatalogue + " cannot be written: " + cause +
                                   "; its changes are tried again later");
  } else if (now - m_nWriteFailureSaidAt >= m_Settings.nRetryReminderMilliseconds) {
    m_SendStatus(kMessageLine, ":error: Catalogue " + m_strCatalogue + " still cannot be written: " + cause +
                                   "; its changes are tried again every " +
                                   Seconds(m_Settings.nRetryLongestMilliseconds) + " at most");
  } else {
    return;
  }
  m_nWriteFailureSaidAt = now;
}

std::int64_t CCatalogueFlush::RetryInterval(int attempts) const {
  return CRetryInterval{m_Settings.nRetryFirstMilliseconds, m_Settings.nRetryLongestMilliseconds}.After(attempts);
}

// A change that must wait is never given up: its tries only grow apart. Its trouble was said
// at the first try; it is said again after each reminder interval while it lasts.
void CCatalogueFlush::Retry(STask task, EReason reason) {
  const std::int64_t now = NowMs();
  if (task.nAttempts == 0) {
    task.nFirstFailedAt = now;
    task.nSaidAt = now;
  }
  ++task.nAttempts;
  task.bRetry = true;
  task.bSkip = false;
  task.Reason = reason;
  const bool remind = reason != EReason::WriteFailed && now - task.nSaidAt >= m_Settings.nRetryReminderMilliseconds;
  if (remind) task.nSaidAt = now;
  const STask said = remind ? task : STask();
  {
    platform::CLockGuard lock(m_QueueMutex);
    m_nInFlight -= std::min<size_t>(1, m_nInFlight);
    // Stopped: dropped with the queue. A later change of the path queued: it decides.
    if (m_bStopped || m_QueuedPerKey.count(task.Key) != 0) return;
    task.nDueAt = now + RetryInterval(task.nAttempts);
    DropRetriesOf(task.Key);
    m_Retries.push_back(std::move(task));
  }
  if (remind) Remind(said, now);
}

void CCatalogueFlush::Remind(const STask& task, std::int64_t now) {
  const std::string& path = task.Change.strPath;
  const std::string waited = Seconds(now - task.nFirstFailedAt);
  const std::string every = Seconds(RetryInterval(task.nAttempts));
  if (task.Reason == EReason::Locked) {
    m_SendStatus(kMessageLine, ":error: Document " + path + " is still locked by another program after " + waited +
                                   ": it is tried again every " + every);
  } else {
    m_SendStatus(kMessageLine, ":error: Document " + path + " still cannot be read in full after " + waited +
                                   ": it is tried again every " + every);
  }
}
