#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "monitoring/FileChange.h"

class CPdfReaderQueue;

// The live half of the writer registry: per catalogue, the queue of pending changes of its
// watched folders and the flush thread that applies them (settled, one by one, committed at
// once). A flush thread is made, parked, when its catalogue's first change is queued; it parks
// again when its queue is empty, and an unpark is never lost. Any thread may call any member.
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
    // first, doubling up to the longest, and given up, with an ":error: " line, once it has
    // waited this long.
    int nRetryFirstMilliseconds = 5000;
    int nRetryLongestMilliseconds = 120000;
    int nRetryGiveUpMilliseconds = 600000;
    // The process's PDF readers, shared with the worker's walks; null: the flusher makes its own.
    // StopAll aborts the reads in progress on it.
    std::shared_ptr<CPdfReaderQueue> pPdfReaders;
  };
  // sendStatus: a status line for the activity log (kind, text); called from flush threads.
  CChangeFlusher(SSettings settings, std::function<void(int kind, const std::string& text)> sendStatus);
  ~CChangeFlusher();  // StopAll
  CChangeFlusher(const CChangeFlusher&) = delete;
  CChangeFlusher& operator=(const CChangeFlusher&) = delete;

  // Queues the change for its catalogue; with wake the catalogue's flush thread is unparked
  // (without: the catalogue is being reconciled, and its queue waits for Refresh).
  void EnqueueChange(FileChange change, bool wake);
  // On the worker at the end of a folder pass, with the catalogue lock held: applies the queued
  // changes of the catalogue on the calling thread (throttled: a pause after each work slice),
  // in bounded time (changes that must wait, such as a locked file, are left to the flush
  // thread), then unparks the flush thread. Nonzero when the catalogue was altered.
  int Refresh(const std::string& catalogue, bool throttle);
  // Unparks the catalogue's flush thread when changes wait for it (after the catalogue lock is
  // let go: a change queued between Refresh and the unlock must not wait for the next one).
  void Wake(const std::string& catalogue);
  // Ends the catalogue's flush thread (never in the middle of a write) and forgets its queue:
  // the folder's next reconciliation catches up what was queued.
  void Remove(const std::string& catalogue);
  // Ends every flush thread, as Remove, abandoning a PDF read in progress (its document is left
  // as it was, for the next start); later calls to EnqueueChange are ignored.
  void StopAll();

  // Optional, before the first change: called (on a flush thread) with a folder's reference
  // when a change of it had to be given up because the catalogue could not be written, so that
  // the folder is reconciled again.
  void SetReconcileRequest(std::function<void(const std::string& reference)> request);

  // Tests: the changes queued for the catalogue and not yet applied and committed (those
  // waiting for a retry included).
  size_t QueuedCount(const std::string& catalogue);

 private:
  struct SImpl;
  std::unique_ptr<SImpl> m_pImpl;
};
