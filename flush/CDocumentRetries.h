#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "catalogue/CCatalogueIndexer.h"

// The documents stored for a later read (empty time) and when each is due again, kept across
// passes (worker thread only). Times are the engine's clock, in whole seconds.
class CDocumentRetries {
 public:
  // A PDF the helper could not read for a passing reason (deadline, crash, memory cap) is taken
  // again after these growing intervals (doubling from the first), or as soon as it changes.
  static constexpr std::int64_t kFirstRetrySeconds = 60;
  static constexpr std::int64_t kLongestRetrySeconds = 24 * 3600;

  // True when the document is not waiting, has changed since it failed, or is due.
  bool IsDue(const std::string& path, std::int64_t now);
  // True while the document waits for a retry (its failure was reported already).
  bool IsWaiting(const std::string& path) const { return m_Retries.count(path) != 0; }
  // Notes how the document's last indexing went: a retry outcome makes it wait, others end its wait.
  void Note(const std::string& path, CCatalogueIndexer::Outcome outcome, std::int64_t now);

 private:
  struct RetryState {
    int Failures = 0;
    std::int64_t Due = 0;
    std::int64_t ModifiedSeconds = 0;  // the file's modification time at the failure
    std::int64_t ModifiedNanoseconds = 0;
  };
  std::map<std::string, RetryState> m_Retries;
};
