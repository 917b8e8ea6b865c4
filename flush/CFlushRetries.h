#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flush/FlushTask.h"

// The changes of one catalogue that must be tried again, each at growing intervals and never
// given up, with the reminder of its trouble. A plain object: its owner's lock guards it.
class CFlushRetries {
 public:
  CFlushRetries(int firstMilliseconds, int longestMilliseconds, int reminderMilliseconds);

  // Counts a failed attempt of the task, for the reason; true when its trouble is due to be
  // said again (ReminderLine).
  bool CountFailure(FlushTask& task, FlushTask::EReason reason, std::int64_t now) const;
  // Keeps the task (in place of any of its path) until its next try is due.
  void Add(FlushTask task, std::int64_t now);
  void Drop(const std::string& key);
  // The retry due first, when one is due by now.
  bool TakeDue(std::int64_t now, FlushTask& task);
  std::int64_t NextDue(std::int64_t never) const;
  std::string ReminderLine(const FlushTask& task, std::int64_t now) const;
  bool Empty() const { return m_Tasks.empty(); }
  std::size_t Size() const { return m_Tasks.size(); }
  void Clear() { m_Tasks.clear(); }

 private:
  std::int64_t Interval(int attempts) const;

  const int m_nFirstMilliseconds;
  const int m_nLongestMilliseconds;
  const int m_nReminderMilliseconds;
  std::vector<FlushTask> m_Tasks;
};
