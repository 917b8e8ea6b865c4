#include "flush/CDocumentRetries.h"

#include <limits>

#include "platform/FileTimes.h"
#include "tools/CRetryInterval.h"

bool CDocumentRetries::IsDue(const std::string& path, std::int64_t now) {
  if (m_Retries.empty()) return true;
  const auto found = m_Retries.find(path);
  if (found == m_Retries.end()) return true;
  const platform::FileStamp stamp = platform::StampOf(path);
  // A document that changed since it failed is taken again at once.
  if (!stamp.Ok || stamp.ModifiedSeconds != found->second.ModifiedSeconds ||
      stamp.ModifiedNanoseconds != found->second.ModifiedNanoseconds) {
    m_Retries.erase(found);
    return true;
  }
  return now >= found->second.Due;
}

void CDocumentRetries::Note(const std::string& path, CCatalogueIndexer::Outcome outcome, std::int64_t now) {
  using Outcome = CCatalogueIndexer::Outcome;
  if (outcome == Outcome::WriteFailed || outcome == Outcome::Abandoned) return;
  if (outcome != Outcome::Retry && outcome != Outcome::RetryLater && outcome != Outcome::RetryAtRestart) {
    if (!m_Retries.empty()) m_Retries.erase(path);
    return;
  }
  RetryState& state = m_Retries[path];
  const platform::FileStamp stamp = platform::StampOf(path);
  state.ModifiedSeconds = stamp.ModifiedSeconds;
  state.ModifiedNanoseconds = stamp.ModifiedNanoseconds;
  if (outcome == Outcome::Retry) {
    // Read again at the next pass; its failure is not reported again while it lasts.
    state.Due = now;
    return;
  }
  if (outcome == Outcome::RetryAtRestart) {
    // The plug-in is loaded once per run: only the next start can read the document.
    state.Due = std::numeric_limits<std::int64_t>::max();
    return;
  }
  ++state.Failures;
  state.Due = now + CRetryInterval{kFirstRetrySeconds, kLongestRetrySeconds}.After(state.Failures);
}
