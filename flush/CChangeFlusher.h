#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "flush/FileChange.h"

class CPdfReaderQueue;

// The live half of the writer registry: per catalogue, the queue of pending changes of its
// watched folders, applied (settled, one by one, committed at once) by a small pool of flush
// workers that take the catalogues with due changes in turn, one worker per catalogue at a
// time. A catalogue with nothing queued holds no thread and is forgotten; a wake-up is never
// lost. Any thread may call any member.
class CChangeFlusher {
 public:
  struct SSettings {
    int nXmlSettleMilliseconds = 2000;    // an XML document is indexed this long after its change
    int nOtherSettleMilliseconds = 10000;  // any other document (PDF)
    int nPauseMilliseconds = 5000;         // between bursts, and the throttled drain's pause
    int nWorkSliceSeconds = 1;             // a burst commits at least this often
    bool bDebug = false;                   // "index file " / "remove file " lines
    // A change that must wait (a file locked by another program, a document not read in full,
    // a catalogue that cannot be written) is tried again after growing intervals, from the
    // first, doubling up to the longest, for as long as it takes; its trouble is said at the
    // first try and again after each reminder interval while it lasts.
    int nRetryFirstMilliseconds = 5000;
    int nRetryLongestMilliseconds = 120000;
    int nRetryReminderMilliseconds = 3600000;
    // Past this many changes queued for one catalogue, its queue is dropped and its folders
    // are reconciled instead.
    std::size_t nQueueBound = 100000;
    // Flush workers: 0 sizes the pool from the processors the process may run on. A worker
    // that cannot be started is tried again after growing intervals.
    int nWorkers = 0;
    int nWorkerRetryFirstMilliseconds = 1000;
    int nWorkerRetryLongestMilliseconds = 60000;
    // The process's PDF readers, shared with the worker's walks; null: the flusher makes its own.
    // StopAll aborts the reads in progress on it.
    std::shared_ptr<CPdfReaderQueue> pPdfReaders;
  };
  // sendStatus: a status line for the activity log (kind, text); called from flush workers.
  CChangeFlusher(SSettings settings, std::function<void(int kind, const std::string& text)> sendStatus);
  ~CChangeFlusher();  // StopAll
  CChangeFlusher(const CChangeFlusher&) = delete;
  CChangeFlusher& operator=(const CChangeFlusher&) = delete;

  // Queues the change for its catalogue; with wake the catalogue's queue is unparked
  // (without: the catalogue is being reconciled, and its queue waits for Refresh).
  void EnqueueChange(FileChange change, bool wake);
  // A document found not readable yet by a reconciliation: read again after the retry
  // intervals, quietly (its trouble was said), until it can be read or changes.
  void EnqueueRetry(FileChange change);
  // On the worker at the end of a folder pass, with the catalogue lock held: applies the queued
  // changes of the catalogue on the calling thread (throttled: a pause after each work slice),
  // in bounded time (changes that must wait, such as a locked file, are left to the flush
  // workers), then unparks the queue. Nonzero when the catalogue was altered.
  int Refresh(const std::string& catalogue, bool throttle);
  // Unparks the catalogue's queue when changes wait in it (after the catalogue lock is let go:
  // a change queued between Refresh and the unlock must not wait for the next one).
  void Wake(const std::string& catalogue);
  // Forgets the catalogue's queue, once a worker applying one of its changes has committed it
  // (a write is never cut): the folder's next reconciliation catches up what was queued.
  void Remove(const std::string& catalogue);
  // Ends every flush worker, as Remove, abandoning a PDF read in progress (its document is left
  // as it was, for the next start); later calls to EnqueueChange are ignored.
  void StopAll();
  // Starts the flush workers that could not be started before, when their retry is due (the
  // engine calls it in every pass, so that queued changes never wait for a further change).
  void StartWorkers();

  // Optional, before the first change: called with a folder's reference when changes of it
  // were dropped past the queue's bound, so that the folder is reconciled again.
  void SetReconcileRequest(std::function<void(const std::string& reference)> request);

  // The changes queued for the catalogue and not yet applied and committed (those waiting for
  // a retry included): the published status, and tests.
  size_t QueuedCount(const std::string& catalogue);
  // Tests: catalogues with a record (queued, waiting or being applied), and workers running.
  size_t RecordCount();
  int RunningWorkers();

 private:
  struct SImpl;
  std::unique_ptr<SImpl> m_pImpl;
};
