#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/CMutex.h"
#include "tools/ServiceStatus.h"

// The service's status as it runs: the rooms note their facts here (at each change of phase,
// never once per document but through the atomic counter), the service's publisher takes a
// copy when it writes. Any thread.
class CStatusBoard {
 public:
  // Fills the live figures the board does not hold itself (queued changes, watches) into a
  // copy; called by Snapshot without the board's lock.
  using Sampler = std::function<void(ServiceStatus&)>;

  // Before other threads use the board: the service's own fields (pid, version, mode...).
  void SetService(const ServiceStatus& service);
  void SetSampler(Sampler sampler);
  void SetPhase(const std::string& phase);
  // The folder list as taken: known folders keep their figures, others leave the board.
  void SetFolders(const std::vector<ServiceStatus::Folder>& folders);

  // Worker thread: a folder's pass begins, walks a directory, ends.
  void PassStarted(const std::string& reference, std::int64_t now);
  void Reconciling(const std::string& reference, const std::string& directory);
  void DocumentDone() { m_nDocumentsDone.fetch_add(1, std::memory_order_relaxed); }
  void PassEnded(const std::string& reference, std::int64_t now, const std::string& outcome,
                 std::int64_t documentsInCatalogue);
  // A folder kept by a pass in every cycle (reason), or watched (reason "").
  void KeptBy(const std::string& reference, const std::string& polledReason);
  void Failed(const std::string& reference, const std::string& reason);
  // Worker thread: what the last verification of a watched folder mended (the watch missed).
  void Verified(const std::string& reference, std::int64_t time, std::int64_t added, std::int64_t replaced,
                std::int64_t removed, std::int64_t mendedInAll);
  // Where nothing happens to it: "watching" or "waiting".
  void SetFolderPhase(const std::string& reference, const std::string& phase);

  // Any thread: an error line of the activity log, on the folder it names (its reference, or
  // a catalogue or document under its directories), else on the folder at hand.
  void NoteError(const std::string& line, std::int64_t now);
  // Any thread: a document kept in its catalogue without its text.
  void NoteWithoutText(const std::string& path);

  // A copy with the live figures; generation changes with every note.
  ServiceStatus Snapshot();
  std::uint64_t Generation() const { return m_nGeneration.load() + m_nDocumentsDone.load(); }

 private:
  ServiceStatus::Folder* Find(const std::string& reference) REQUIRES(m_Mutex);
  ServiceStatus::Folder* FolderOfText(const std::string& text) REQUIRES(m_Mutex);
  void Changed() { m_nGeneration.fetch_add(1); }

  platform::CMutex m_Mutex;
  ServiceStatus m_Status GUARDED_BY(m_Mutex);
  std::string m_strCurrent GUARDED_BY(m_Mutex);  // the folder a pass is on, "" between passes
  Sampler m_Sampler GUARDED_BY(m_Mutex);
  std::atomic<std::int64_t> m_nDocumentsDone{0};  // ever; a pass's own from its start
  std::int64_t m_nDocumentsAtStart GUARDED_BY(m_Mutex) = 0;
  std::atomic<std::uint64_t> m_nGeneration{0};
};
