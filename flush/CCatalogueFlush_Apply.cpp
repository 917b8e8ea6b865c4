#include "flush/CCatalogueFlush.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "status/MonitorListener.h"

// Taking, applying and committing changes, and trying again those that must wait.

namespace {

bool IsIndexing(int action) {
  return action == kActionAdded || action == kActionModified || action == kActionRenamedNew;
}

std::string Seconds(std::int64_t milliseconds) { return std::to_string(milliseconds / 1000) + " s"; }

// The path lies below the directory.
bool IsBelow(const std::string& path, const std::string& directory) {
  if (directory.empty() || path.size() <= directory.size() || path.compare(0, directory.size(), directory) != 0) {
    return false;
  }
  return directory.back() == '/' || path[directory.size()] == '/';
}

// Two changes that concern one document (a path of either, or a directory holding it): applied
// out of their order, the earlier would undo the later.
bool Overlap(const FileChange& a, const FileChange& b) {
  for (const std::string* p : {&a.strPath, &a.strFromPath}) {
    for (const std::string* q : {&b.strPath, &b.strFromPath}) {
      if (p->empty() || q->empty()) continue;
      if (*p == *q || (a.bDirectory && IsBelow(*q, *p)) || (b.bDirectory && IsBelow(*p, *q))) return true;
    }
  }
  return false;
}

// A change whose document is read as a PDF, which may take up to the reader's deadline.
bool ReadsPdf(const FileChange& change) {
  if (change.bDirectory || change.nAction == kActionRemoved || change.nAction == kActionRenamedOld) return false;
  return boost::algorithm::iends_with(change.strPath, ".pdf");
}

}  // namespace

std::int64_t CCatalogueFlush::ReadyAt(const FileChange& change) const {
  // A directory renamed moves entries and reads nothing: nothing to let settle.
  if (!IsIndexing(change.nAction) || change.bDirectory) return change.nQueuedAt;
  // A file is read only once it has been left alone for a while: it may still be being written.
  const bool xml = boost::algorithm::iends_with(change.strPath, ".xml");
  return change.nQueuedAt + (xml ? m_Settings.nXmlSettleMilliseconds : m_Settings.nOtherSettleMilliseconds);
}

bool CCatalogueFlush::IsBlocked(const FileChange& change) const {
  return std::any_of(m_Taken.begin(), m_Taken.end(), [&](const FileChange* taken) { return Overlap(*taken, change); });
}

bool CCatalogueFlush::TakeNext(STask& task, bool drain) {
  platform::CLockGuard lock(m_QueueMutex);
  if (m_bStopped) return false;
  const std::int64_t now = CFlushPool::NowMs();
  if ((drain || !m_bParked) && !m_Queue.empty() && ReadyAt(m_Queue.front().Change) <= now &&
      !IsBlocked(m_Queue.front().Change)) {
    task = std::move(m_Queue.front());
    m_Queue.pop_front();
    const auto counted = m_QueuedPerKey.find(task.Key);
    if (counted != m_QueuedPerKey.end() && --counted->second == 0) m_QueuedPerKey.erase(counted);
    // Applying a change reads the file as it is now, so the last change of a path decides its
    // entry: an earlier one is passed over, and a retry of the path is no longer needed.
    task.bSkip = m_QueuedPerKey.count(task.Key) != 0;
    m_Retries.Drop(task.Key);
    if (!drain) m_bBurst = true;
  } else if (drain || !m_Retries.TakeDue(now, task)) {
    return false;
  } else if (IsBlocked(task.Change)) {
    // Its document is being read for another change: the retry waits its next turn.
    m_Retries.Add(std::move(task), now);
    return false;
  } else {
    task.bSkip = m_QueuedPerKey.count(task.Key) != 0;
  }
  ++m_nInFlight;
  m_Taken.push_back(&task.Change);
  return true;
}

void CCatalogueFlush::EndTaken(const STask& task) {
  platform::CLockGuard lock(m_QueueMutex);
  m_Taken.erase(std::remove(m_Taken.begin(), m_Taken.end(), &task.Change), m_Taken.end());
}

void CCatalogueFlush::Settled(size_t count) {
  platform::CLockGuard lock(m_QueueMutex);
  m_nInFlight -= std::min(count, m_nInFlight);
}

bool CCatalogueFlush::ApplyNext(bool drain, bool& altered) {
  STask task;
  {
    platform::CLockGuard inUse(m_InUseMutex);
    if (!TakeNext(task, drain)) return false;
    if (!StartTask(task, altered)) return true;
  }
  // The document is read with the catalogue's record let go of: a drain or a change of
  // another document does not wait for a PDF's deadline.
  CChangeApplier::SDocument document = ReadTask(task);
  platform::CLockGuard inUse(m_InUseMutex);
  altered = WriteTask(task, document);
  return true;
}

bool CCatalogueFlush::StartTask(STask& task, bool& altered) {
  altered = false;
  if (task.bSkip) {
    EndTaken(task);
    Settled(1);
    return false;
  }
  CChangeApplier::EResult result = CChangeApplier::EResult::Done;
  try {
    if (!m_pApplier->ApplyWithoutRead(task.Change, result, altered)) return true;
  } catch (const std::exception& error) {
    FailedUnexpectedly(task, error.what());
    return false;
  }
  Conclude(task, result, altered);
  return false;
}

CChangeApplier::SDocument CCatalogueFlush::ReadTask(const STask& task) {
  CChangeApplier::SDocument document;
  try {
    document = CChangeApplier::ReadDocument(task.Change, task.bRetry, m_Settings.pPdfReaders.get());
  } catch (const std::exception& error) {
    document.strFailure = error.what();
  }
  return document;
}

bool CCatalogueFlush::WriteTask(STask& task, CChangeApplier::SDocument& document) {
  bool superseded;
  {
    platform::CLockGuard lock(m_QueueMutex);
    superseded = m_QueuedPerKey.count(task.Key) != 0;
  }
  // A later change of the path came while it was read: that one reads it again and decides
  // (a rename's old path still leaves the catalogue: nothing else takes it out).
  superseded = superseded && !CChangeApplier::IsMoveWithin(task.Change);
  if (superseded) {
    EndTaken(task);
    Settled(1);
    return false;
  }
  if (!document.strFailure.empty()) {
    FailedUnexpectedly(task, document.strFailure.c_str());
    return false;
  }
  bool altered = false;
  CChangeApplier::EResult result;
  try {
    result = m_pApplier->WriteRead(task.Change, task.bRetry, document, altered);
  } catch (const std::exception& error) {
    FailedUnexpectedly(task, error.what());
    return false;
  }
  Conclude(task, result, altered);
  return altered;
}

void CCatalogueFlush::FailedUnexpectedly(STask& task, const char* what) {
  EndTaken(task);
  m_Outbox.Say(kMessageLine, ":error: Document " + task.Change.strPath +
                                 ": unexpected failure applying its change: " + what + "; tried again later");
  Retry(std::move(task), EReason::ReadLater);
}

void CCatalogueFlush::Conclude(STask& task, CChangeApplier::EResult result, bool altered) {
  EndTaken(task);
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
      if (m_pApplier->CatalogueReplaced()) m_Outbox.Reconcile(m_strLastReference);
      Retry(std::move(task), EReason::WriteFailed);
      // What was applied before it may have gone with the failed write: the commit tells.
      CommitApplied(true, false);
      break;
    }
  }
}

void CCatalogueFlush::CommitApplied(bool force, bool drain) {
  if (!m_bDirty && m_Uncommitted.empty()) return;
  const std::int64_t now = CFlushPool::NowMs();
  if (!force && now - m_nLastCommitAt < static_cast<std::int64_t>(m_Settings.nWorkSliceSeconds) * 1000) {
    // A burst commits once per work slice; a change with none ready after it, at once. A PDF
    // next is read with this batch committed, so the catalogue is not held open meanwhile.
    platform::CLockGuard lock(m_QueueMutex);
    const bool nextReady = (drain || !m_bParked) && !m_Queue.empty() && ReadyAt(m_Queue.front().Change) <= now;
    if (nextReady && !ReadsPdf(m_Queue.front().Change)) return;
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
  if (m_pApplier->CatalogueReplaced()) m_Outbox.Reconcile(m_strLastReference);
  for (STask& task : applied) Retry(std::move(task), EReason::WriteFailed);
}

void CCatalogueFlush::ReportWriteFailure(const std::string& cause) {
  const std::int64_t now = CFlushPool::NowMs();
  if (m_nWriteFailureSaidAt < 0) {
    m_Outbox.Say(kMessageLine, ":error: Catalogue " + m_strCatalogue + " cannot be written: " + cause +
                                   "; its changes are tried again later");
  } else if (now - m_nWriteFailureSaidAt >= m_Settings.nRetryReminderMilliseconds) {
    m_Outbox.Say(kMessageLine, ":error: Catalogue " + m_strCatalogue + " still cannot be written: " + cause +
                                   "; its changes are tried again every " +
                                   Seconds(m_Settings.nRetryLongestMilliseconds) + " at most");
  } else {
    return;
  }
  m_nWriteFailureSaidAt = now;
}

// A change that must wait is never given up: its tries only grow apart.
void CCatalogueFlush::Retry(STask task, EReason reason) {
  const std::int64_t now = CFlushPool::NowMs();
  std::string reminder;
  {
    platform::CLockGuard lock(m_QueueMutex);
    const bool remind = m_Retries.CountFailure(task, reason, now);
    m_nInFlight -= std::min<size_t>(1, m_nInFlight);
    // Stopped: dropped with the queue. A later change of the path queued: it decides.
    if (m_bStopped || m_QueuedPerKey.count(task.Key) != 0) return;
    if (remind) reminder = m_Retries.ReminderLine(task, now);
    m_Retries.Add(std::move(task), now);
  }
  if (!reminder.empty()) m_Outbox.Say(kMessageLine, reminder);
}
