#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/CMutex.h"

namespace platform {

// The file naming, for every thread of the process that reads a document now, that document
// and how many runs in a row were reading it when they ended: one slot per reading thread,
// rewritten in place. A run that hangs or crashes in a read leaves the names behind, so the
// next start reads such a document once more, then no more. Also tells the host whether every
// read moves on (for systemd's watchdog). One per process (Process()); any thread.
class CReadingMarker {
 public:
  static CReadingMarker& Process();

  // Opens (creates) the file, notes the documents the last run was reading when it ended, and
  // empties it; false with errorText set when the file cannot be used (nothing is named then).
  bool Open(const std::string& path, std::string& errorText) EXCLUDES(m_Mutex);
  // The runs in a row that ended while reading the document, as the file said at Open (0:
  // none). Given once: a later call for the same document gives 0.
  int TakeUnfinished(const std::string& document) EXCLUDES(m_Mutex);

  // Calling thread: it reads the document now, the attempt-th run in a row (1 normally).
  void Begin(const std::string& document, int attempt);
  // Calling thread: its read moved on (bytes came), though it has not ended yet.
  void Touch();
  void End();
  // Calling thread: the attempt of the read it is in (1 when in none).
  static int CurrentAttempt();
  // How long the read that moved on least recently has gone without progress; 0 when no
  // thread reads.
  std::int64_t LongestStallMs() const;

 private:
  CReadingMarker() = default;
  int SlotOfThisThread();
  void Write(int slot, const std::string& bytes, std::int64_t offset) const;

  // Replaced in place (dup2) on a new Open, so a write racing the reopen never lands elsewhere.
  std::atomic<int> m_nFd{-1};
  std::atomic<bool> m_bAnyUnfinished{false};  // a cheap look before m_Unfinished is searched
  CMutex m_Mutex;
  std::unordered_map<std::string, int> m_Unfinished GUARDED_BY(m_Mutex);
};

}  // namespace platform
