#include "flush/CFlushPool.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "status/MonitorListener.h"

namespace {

constexpr int kLargestPool = 4;
// An idle worker looks up this often all the same, so that no wait is without a deadline.
constexpr std::int64_t kIdleRecheckMilliseconds = 600000;
// A job that failed unexpectedly is run again after this pause.
constexpr std::int64_t kFailedJobPauseMilliseconds = 1000;

std::chrono::steady_clock::time_point TimePointOf(std::int64_t milliseconds) {
  return std::chrono::steady_clock::time_point(std::chrono::milliseconds(milliseconds));
}

}  // namespace

std::int64_t CFlushPool::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int CFlushPool::WorkersFor(int processors) { return std::clamp(processors, 2, kLargestPool); }

CFlushPool::CFlushPool(SSettings settings, SendStatus sendStatus) : m_Settings(settings), m_SendStatus(std::move(sendStatus)) {
  if (!m_SendStatus) m_SendStatus = [](int, const std::string&) {};
}

CFlushPool::~CFlushPool() { Stop(); }

void CFlushPool::Schedule(const std::shared_ptr<IJob>& job, std::int64_t dueAt) {
  if (!job || dueAt == kNever) return;
  platform::CLockGuard lock(m_Mutex);
  if (m_bStopped) return;
  StartMissingWorkers();
  SEntry& entry = m_Entries[job.get()];
  if (!entry.Job) entry.Job = job;
  if (entry.bRunning) {
    entry.nDueAfterRun = std::min(entry.nDueAfterRun, dueAt);
    return;
  }
  if (dueAt >= entry.nDueAt) return;
  Insert(entry, dueAt);
}

void CFlushPool::Insert(SEntry& entry, std::int64_t dueAt) {
  if (entry.nDueAt != kNever) m_Due.erase(SDueKey(entry.nDueAt, entry.nOrder, entry.Job.get()));
  entry.nDueAt = dueAt;
  entry.nOrder = m_nNextOrder++;
  const SDueKey key(dueAt, entry.nOrder, entry.Job.get());
  m_Due.insert(key);
  // Only a job that is now the first due can shorten a worker's wait.
  if (*m_Due.begin() == key) m_Signal.NotifyOne();
}

void CFlushPool::Cancel(const std::shared_ptr<IJob>& job) {
  platform::CLockGuard lock(m_Mutex);
  for (;;) {
    const auto found = m_Entries.find(job.get());
    if (found == m_Entries.end()) return;
    if (!found->second.bRunning) {
      if (found->second.nDueAt != kNever) {
        m_Due.erase(SDueKey(found->second.nDueAt, found->second.nOrder, job.get()));
      }
      m_Entries.erase(found);
      return;
    }
    // The slice ends after the change it applies: a write is never cut.
    found->second.bCancelled = true;
    m_Finished.WaitUntil(lock, TimePointOf(NowMs() + 1000));
  }
}

void CFlushPool::StartWorkers() {
  platform::CLockGuard lock(m_Mutex);
  // Workers are started for work: a service with nothing to apply keeps none.
  if (!m_bStopped && !m_Entries.empty()) StartMissingWorkers();
}

void CFlushPool::StartMissingWorkers() {
  const std::int64_t now = NowMs();
  while (static_cast<int>(m_Workers.size()) < std::max(1, m_Settings.nWorkers) && now >= m_nNextStartAt) {
    try {
      m_Workers.emplace_back([this] { Run(); });
    } catch (const std::system_error& error) {
      // A limit on processes or threads (a pids cgroup, RLIMIT_NPROC): the changes wait in
      // their queues and are taken once a worker runs.
      if (m_nFailedStarts++ == 0) {
        m_SendStatus(kMessageLine, std::string(":error: Cannot start a thread to apply watched changes (") +
                                       error.what() + "): the changes wait in their queues, and it is tried again");
        m_nStartInterval = std::max(1, m_Settings.nStartRetryFirstMilliseconds);
      } else {
        m_nStartInterval = std::min<std::int64_t>(m_nStartInterval * 2,
                                                  std::max(m_Settings.nStartRetryFirstMilliseconds,
                                                           m_Settings.nStartRetryLongestMilliseconds));
      }
      m_nNextStartAt = now + m_nStartInterval;
      return;
    }
    if (m_nFailedStarts > 0) {
      m_SendStatus(kMessageLine, "A thread to apply watched changes started after " + std::to_string(m_nFailedStarts) +
                                     " failed attempts");
      m_nFailedStarts = 0;
    }
  }
}

int CFlushPool::RunningWorkers() {
  platform::CLockGuard lock(m_Mutex);
  return static_cast<int>(m_Workers.size());
}

void CFlushPool::Stop() {
  std::vector<std::thread> workers;
  {
    platform::CLockGuard lock(m_Mutex);
    m_bStopped = true;
    workers.swap(m_Workers);
  }
  m_Signal.NotifyAll();
  for (std::thread& worker : workers) worker.join();
  std::unordered_map<IJob*, SEntry> entries;
  {
    platform::CLockGuard lock(m_Mutex);
    entries.swap(m_Entries);
    m_Due.clear();
  }
  m_Finished.NotifyAll();
}

void CFlushPool::Run() {
  while (const std::shared_ptr<IJob> job = Take()) Finish(job.get(), RunGuarded(*job));
}

std::int64_t CFlushPool::RunGuarded(IJob& job) {
  try {
    return job.RunSlice();
  } catch (const std::exception& error) {
    // Nothing escapes a worker: the other jobs would no longer be run.
    m_SendStatus(kMessageLine, std::string(":error: Unexpected failure applying watched changes: ") + error.what());
  }
  return NowMs() + kFailedJobPauseMilliseconds;
}

std::shared_ptr<CFlushPool::IJob> CFlushPool::Take() {
  platform::CLockGuard lock(m_Mutex);
  for (;;) {
    if (m_bStopped) return nullptr;
    const std::int64_t now = NowMs();
    std::int64_t wakeAt = now + kIdleRecheckMilliseconds;
    if (static_cast<int>(m_Workers.size()) < m_Settings.nWorkers) {
      // The workers that run start the missing ones when their retry is due.
      if (now >= m_nNextStartAt) StartMissingWorkers();
      wakeAt = std::min(wakeAt, std::max(now + 1, m_nNextStartAt));
    }
    if (!m_Due.empty()) {
      const SDueKey first = *m_Due.begin();
      if (std::get<0>(first) <= now) {
        m_Due.erase(m_Due.begin());
        SEntry& entry = m_Entries[std::get<2>(first)];
        entry.nDueAt = kNever;
        entry.bRunning = true;
        entry.nDueAfterRun = kNever;
        // Another worker may take the next due job at once.
        if (!m_Due.empty() && std::get<0>(*m_Due.begin()) <= now) m_Signal.NotifyOne();
        return entry.Job;
      }
      wakeAt = std::min(wakeAt, std::get<0>(first));
    }
    m_Signal.WaitUntil(lock, TimePointOf(wakeAt));
  }
}

void CFlushPool::Finish(IJob* job, std::int64_t next) {
  std::shared_ptr<IJob> forgotten;  // let go after the lock: its end may take a while
  platform::CLockGuard lock(m_Mutex);
  const auto found = m_Entries.find(job);
  if (found == m_Entries.end()) return;
  SEntry& entry = found->second;
  entry.bRunning = false;
  const std::int64_t dueAt = std::min(next, entry.nDueAfterRun);
  if (entry.bCancelled || m_bStopped || dueAt == kNever) {
    forgotten = std::move(entry.Job);
    m_Entries.erase(found);
    m_Finished.NotifyAll();
    return;
  }
  Insert(entry, dueAt);
}
