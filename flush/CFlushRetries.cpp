#include "flush/CFlushRetries.h"

#include <algorithm>
#include <utility>

#include "tools/CRetryInterval.h"

namespace {

std::string Seconds(std::int64_t milliseconds) { return std::to_string(milliseconds / 1000) + " s"; }

}  // namespace

CFlushRetries::CFlushRetries(int firstMilliseconds, int longestMilliseconds, int reminderMilliseconds)
    : m_nFirstMilliseconds(firstMilliseconds),
      m_nLongestMilliseconds(longestMilliseconds),
      m_nReminderMilliseconds(reminderMilliseconds) {}

std::int64_t CFlushRetries::Interval(int attempts) const {
  return CRetryInterval{m_nFirstMilliseconds, m_nLongestMilliseconds}.After(attempts);
}

// Its trouble was said at the first try; it is said again after each reminder interval while
// it lasts (a write failure has reminders of its own).
bool CFlushRetries::CountFailure(FlushTask& task, FlushTask::EReason reason, std::int64_t now) const {
  if (task.nAttempts == 0) {
    task.nFirstFailedAt = now;
    task.nSaidAt = now;
  }
  ++task.nAttempts;
  task.bRetry = true;
  task.bSkip = false;
  task.Reason = reason;
  const bool remind = reason != FlushTask::EReason::WriteFailed && now - task.nSaidAt >= m_nReminderMilliseconds;
  if (remind) task.nSaidAt = now;
  return remind;
}

void CFlushRetries::Add(FlushTask task, std::int64_t now) {
  task.nDueAt = now + Interval(task.nAttempts);
  Drop(task.Key);
  m_Tasks.push_back(std::move(task));
}

void CFlushRetries::Drop(const std::string& key) {
  m_Tasks.erase(std::remove_if(m_Tasks.begin(), m_Tasks.end(), [&](const FlushTask& retry) { return retry.Key == key; }),
                m_Tasks.end());
}

bool CFlushRetries::TakeDue(std::int64_t now, FlushTask& task) {
  auto due = m_Tasks.end();
  for (auto it = m_Tasks.begin(); it != m_Tasks.end(); ++it) {
    if (it->nDueAt <= now && (due == m_Tasks.end() || it->nDueAt < due->nDueAt)) due = it;
  }
  if (due == m_Tasks.end()) return false;
  task = std::move(*due);
  m_Tasks.erase(due);
  return true;
}

std::int64_t CFlushRetries::NextDue(std::int64_t never) const {
  std::int64_t due = never;
  for (const FlushTask& retry : m_Tasks) due = std::min(due, retry.nDueAt);
  return due;
}

std::string CFlushRetries::ReminderLine(const FlushTask& task, std::int64_t now) const {
  const std::string trouble = task.Reason == FlushTask::EReason::Locked ? " is still locked by another program after "
                                                                        : " still cannot be read in full after ";
  return ":error: Document " + task.Change.strPath + trouble + Seconds(now - task.nFirstFailedAt) +
         ": it is tried again every " + Seconds(Interval(task.nAttempts));
}
