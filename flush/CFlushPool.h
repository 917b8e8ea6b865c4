#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/CMutex.h"

// A few worker threads that run jobs when they are due: each job on one worker at a time, the
// one due first taken first, so that any number of jobs costs a bounded number of threads and
// an idle job none. A worker that cannot be started (a thread limit) is tried again after
// growing intervals, and said once; its jobs wait meanwhile. Any thread may call any member.
class CFlushPool {
 public:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  // Work that a worker runs in slices.
  class IJob {
   public:
    virtual ~IJob() = default;
    // Runs the work that is due now, for a bounded time; returns when the job wants to run
    // next (steady clock, milliseconds), kNever when not until it is scheduled again.
    virtual std::int64_t RunSlice() = 0;
  };

  struct SSettings {
    int nWorkers = 2;
    int nStartRetryFirstMilliseconds = 1000;  // after a worker could not be started, doubling
    int nStartRetryLongestMilliseconds = 60000;
  };
  using SendStatus = std::function<void(int kind, const std::string& text)>;

  CFlushPool(SSettings settings, SendStatus sendStatus);
  ~CFlushPool();  // Stop
  CFlushPool(const CFlushPool&) = delete;
  CFlushPool& operator=(const CFlushPool&) = delete;

  // The job runs at dueAt or sooner (the earliest of the times asked for wins); a job being run
  // now runs again by then once its slice ends. Starts the workers that are missing.
  void Schedule(const std::shared_ptr<IJob>& job, std::int64_t dueAt) EXCLUDES(m_Mutex);
  // Forgets the job; when a worker runs it now, waits for the end of its slice.
  void Cancel(const std::shared_ptr<IJob>& job) EXCLUDES(m_Mutex);
  // Starts the workers that are missing, when jobs wait and the retry of a failed start is due.
  void StartWorkers() EXCLUDES(m_Mutex);
  // Ends every worker after the slice it runs; later jobs are not run.
  void Stop() EXCLUDES(m_Mutex);
  int RunningWorkers() EXCLUDES(m_Mutex);

  // The number of workers for a process that may run on `processors` processors.
  static int WorkersFor(int processors);
  static std::int64_t NowMs();

 private:
  struct SEntry {
    std::shared_ptr<IJob> Job;
    std::int64_t nDueAt = kNever;
    std::uint64_t nOrder = 0;  // ties between equal due times go to the job scheduled first
    bool bRunning = false;
    std::int64_t nDueAfterRun = kNever;  // asked for while it ran
    bool bCancelled = false;
  };
  using SDueKey = std::tuple<std::int64_t, std::uint64_t, IJob*>;

  void Insert(SEntry& entry, std::int64_t dueAt) REQUIRES(m_Mutex);
  void StartMissingWorkers() REQUIRES(m_Mutex);
  void Run();
  // Waits for the next due job; null once stopped.
  std::shared_ptr<IJob> Take() EXCLUDES(m_Mutex);
  void Finish(IJob* job, std::int64_t next) EXCLUDES(m_Mutex);
  std::int64_t RunGuarded(IJob& job);

  const SSettings m_Settings;
  SendStatus m_SendStatus;

  platform::CMutex m_Mutex;
  platform::CConditionVariable m_Signal;    // workers: a job due sooner, a stop
  platform::CConditionVariable m_Finished;  // Cancel: a slice ended
  std::unordered_map<IJob*, SEntry> m_Entries GUARDED_BY(m_Mutex);  // scheduled or running
  std::set<SDueKey> m_Due GUARDED_BY(m_Mutex);  // the scheduled jobs that are not running
  std::uint64_t m_nNextOrder GUARDED_BY(m_Mutex) = 0;
  bool m_bStopped GUARDED_BY(m_Mutex) = false;
  std::vector<std::thread> m_Workers GUARDED_BY(m_Mutex);
  int m_nFailedStarts GUARDED_BY(m_Mutex) = 0;
  std::int64_t m_nNextStartAt GUARDED_BY(m_Mutex) = 0;
  std::int64_t m_nStartInterval GUARDED_BY(m_Mutex) = 0;
};
