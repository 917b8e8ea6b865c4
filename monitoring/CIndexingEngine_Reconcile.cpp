#include "monitoring/CIndexingEngine.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "catalogue/LIndexer.h"
#include "errors/CFKException.h"
#include "folders/CFolder.h"
#include "monitoring/MonitorListener.h"
#include "monitoring/ReconcilePatterns.h"
#include "pdf/CTool_QuickPDFLib.h"
#include "platform/ErrnoText.h"
#include "platform/FileTimes.h"

namespace fs = boost::filesystem;

namespace {

const boost::regex kSkippedDirectoryPattern("Originals(W|$)|Catalogue_IS(W|$)", boost::regex::icase);

const std::string kVanishedText = platform::ErrnoText(ENOENT);

using EntryKind = platform::CDirectoryListing::Kind;
using Entries = std::vector<platform::CDirectoryListing::Entry>;

}  // namespace

bool CIndexingEngine::IsExcludedDirectory(const FK::CFolder& folder, const std::string& directory,
                                          const std::string& catalogue) const {
  const std::string unc = GetUncPath(directory);
  return unc == GetUncPath(folder.GetScanningPath()) || unc == GetUncPath(folder.GetEInvoicesPath()) ||
         unc == GetUncPath(folder.GetOriginalPath()) || unc == GetUncPath(catalogue);
}

void CIndexingEngine::ReconcileDirectory(const std::string& directory, const std::string& catalogue,
                                         const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                         platform::CStopLatch* stop, int* indexed) {
  if (IsExcludedDirectory(folder, directory, catalogue)) return;
  std::int64_t start = Now();
  LevelEntries entries;
  LevelFiles files;
  std::multimap<std::int64_t, std::string> subDirectories;
  {
    platform::CDirectoryListing listing(directory);
    std::string errorText;
    if (!listing.Read(entries, errorText)) {
      SendStatusMessage(kMessageLine, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
      m_bWalkIncomplete = true;
      return;
    }
    SortLevel(directory, listing, entries, catalogue, folder, stop, files, subDirectories);
  }
  // Newest first. The order of files of the same second does not matter: the level only ends
  // at a file that arrived before the last complete walk, so every file of its second is
  // checked before it (see MayEndLevelAt).
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  start = Now();
  bool written = ReconcileFiles(directory, entries, files, catalogue, folder, snapshot, stop, indexed, start);
  LevelEntries().swap(entries);
  if (IsSliceUsedUp(start)) {
    KeepAlive();
    if (written) m_pIndexer->ReopenWriter(catalogue);
    written = false;
    ReportWaiting();
    Pause(stop, m_nPauseMilliseconds);
  }
  if (written) m_pIndexer->ReopenWriter(catalogue);
  for (auto it = subDirectories.rbegin(); it != subDirectories.rend() && CanWalk(); ++it) {
    ReconcileDirectory(it->second + "/", catalogue, folder, snapshot, stop, indexed);
  }
}

// The candidate files of one level with their arrival times, and its sub-directories by
// last-write time.
void CIndexingEngine::SortLevel(const std::string& directory, const platform::CDirectoryListing& listing,
                                const LevelEntries& entries, const std::string& catalogue,
                                const FK::CFolder& folder, platform::CStopLatch* stop, LevelFiles& files,
                                std::multimap<std::int64_t, std::string>& subDirectories) {
  std::int64_t start = Now();
  std::string errorText;
  std::string path;  // one buffer for the level: no allocation per entry
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!CanWalk()) break;
    const auto& [name, kind] = entries[i];
    path.assign(directory).append(name);
    std::int64_t time = 0;
    if (kind == EntryKind::File && ReconcilePatterns::IsCandidate(path) && !ReconcilePatterns::IsCompanion(path)) {
      if (listing.GetArrivalTime(name, time, errorText)) {
        files.emplace_back(time, i);
      } else if (errorText != kVanishedText) {
        m_bWalkIncomplete = true;  // a file that is there but cannot be looked at
      }
    } else if (kind == EntryKind::Directory && !boost::regex_search(path, kSkippedDirectoryPattern) &&
               !IsExcludedDirectory(folder, path, catalogue)) {
      boost::system::error_code ec;
      const std::time_t written = fs::last_write_time(path, ec);
      subDirectories.emplace(ec ? 0 : static_cast<std::int64_t>(written), path);
    }
    PauseWhenSliceUsedUp(start, stop, false);
  }
}

bool CIndexingEngine::ReconcileFiles(const std::string& directory, const LevelEntries& entries,
                                     const LevelFiles& files, const std::string& catalogue,
                                     const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                     platform::CStopLatch* stop, int* indexed, std::int64_t& start) {
  bool written = false;
  const std::optional<std::int64_t> lastWalk =
      m_bFullReconcile ? std::nullopt : snapshot.GetLastCompleteWalk();
  // Documents stored with an empty time are taken again wherever they stand in the level.
  const std::vector<std::string> retries = snapshot.GetRetriesIn(directory);
  bool ended = false;
  for (auto it = files.rbegin(); it != files.rend() && CanWalk(); ++it) {
    const std::string path = directory + entries[it->second].Name;
    if (ended && std::find(retries.begin(), retries.end(), path) == retries.end()) continue;
    int modified = 0;
    const int found = snapshot.IsModified(path, modified);
    if (found != 0 && modified == 0) {
      if (!ended && MayEndLevelAt(it->first, lastWalk)) {
        ended = true;
        if (retries.empty()) break;
      }
      continue;
    }
    if (!IsRetryDue(path)) continue;
    // The new version replaces the old one in the same transaction: readers never miss it.
    if (found != 0 && IsDebug()) SendStatusMessage(kMessageIndexDocument, "remove file " + path);
    written = IndexCounted(path, catalogue, folder, indexed) || written;
    PauseWhenSliceUsedUp(start, stop, true);
  }
  return written;
}

void CIndexingEngine::IndexDirectoryFresh(const std::string& directory, const std::string& catalogue,
                                          const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                          platform::CStopLatch* stop, int* indexed) {
  if (IsExcludedDirectory(folder, directory, catalogue) || directory == GetUncPath(catalogue)) return;
  Entries entries;
  std::string errorText;
  if (!platform::CDirectoryListing(directory).Read(entries, errorText)) {
    SendStatusMessage(kMessageLine, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
    m_bWalkIncomplete = true;
    return;
  }
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    if (kind == EntryKind::Directory && !boost::algorithm::iequals(name, "ORIGINALS")) {
      IndexDirectoryFresh(directory + name + "/", catalogue, folder, snapshot, stop, indexed);
    }
  }
  bool written = false;
  std::int64_t start = Now();
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    if (kind == EntryKind::Directory) continue;
    if (kind == EntryKind::File && CCatalogueIndexer::IsIndexableDocument(name)) {
      IndexFreshFile(directory + name, catalogue, folder, snapshot, written, indexed);
    }
    if (IsSliceUsedUp(start)) {
      if (written) m_pIndexer->ReopenWriter(catalogue);
      written = false;
      KeepAlive();
      Pause(stop, m_nPauseMilliseconds);
      start = Now();
    }
  }
  if (written) m_pIndexer->ReopenWriter(catalogue);
}

void CIndexingEngine::IndexFreshFile(const std::string& path, const std::string& catalogue,
                                     const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                     bool& written, int* indexed) {
  int modified = 0;
  const int found = snapshot.IsModified(path, modified);
  if (found != 0 && modified == 0) {
    ReportWaiting();
    return;
  }
  if (!IsRetryDue(path)) return;
  if (found != 0 && IsDebug()) SendStatusMessage(kMessageRemoveDocument, "remove file " + path);
  written = IndexCounted(path, catalogue, folder, indexed) || written;
}

bool CIndexingEngine::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder, int* indexed) {
  if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "index file " + path);
  // A retry of a document whose failure is already reported is not reported again.
  const bool retried = m_Retries.count(path) != 0;
  if (retried) {
    m_pPdfTool->SetQuiet(true);
    m_pIndexer->SetQuiet(true);
  }
  const int result = m_pIndexer->IndexDocument(path, catalogue, m_ReadPdf);
  if (retried) {
    m_pPdfTool->SetQuiet(false);
    m_pIndexer->SetQuiet(false);
  } else {
    ReportDocumentNote(path);
  }
  NoteOutcome(path);
  if (m_pIndexer->GetLastOutcome() == CCatalogueIndexer::Outcome::NotADocument) {
    // A file swapped for a FIFO, a device or a link leaves the catalogue.
    m_pIndexer->ReleaseWriter();
    m_pIndexer->RemoveDocument(path, catalogue);
    return false;
  }
  if (!m_pIndexer->UnreadableReason().empty()) ReportUnreadable(path, m_pIndexer->UnreadableReason());
  if (result == 0) return false;
  if (indexed != nullptr) ++*indexed;
  ReportIndexingFolder(folder.GetReference());
  return true;
}

bool CIndexingEngine::IsRetryDue(const std::string& path) {
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
  return Now() >= found->second.Due;
}

void CIndexingEngine::NoteOutcome(const std::string& path) {
  using Outcome = CCatalogueIndexer::Outcome;
  const Outcome outcome = m_pIndexer->GetLastOutcome();
  if (outcome == Outcome::WriteFailed) return;
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
    state.Due = Now();
    return;
  }
  if (outcome == Outcome::RetryAtRestart) {
    // The plug-in is loaded once per run: only the next start can read the document.
    state.Due = std::numeric_limits<std::int64_t>::max();
    return;
  }
  ++state.Failures;
  const int doublings = std::min(state.Failures - 1, 20);
  state.Due = Now() + std::min(kFirstRetrySeconds << doublings, kLongestRetrySeconds);
}

// Once per document and run: the document is taken again at every pass until it can be read.
void CIndexingEngine::ReportUnreadable(const std::string& path, const std::string& reason) {
  if (m_UnreadableReported.size() >= kMaxUnreadableReported) m_UnreadableReported.clear();
  if (!m_UnreadableReported.insert(path).second) return;
  SendStatusMessage(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + reason);
  FKEXCEPTION::CFKException(FKEXCEPTION::kErrorLoadFile, 0, __LINE__, "CIndexingEngine", "IndexDocument",
                            path + " (" + reason + ")", path, true, false);
}

void CIndexingEngine::ReportDocumentNote(const std::string& path) {
  const std::string& note = m_pIndexer->DocumentNote();
  if (!note.empty()) SendStatusMessage(kMessageLine, ":error: Document " + path + ": " + note);
}

void CIndexingEngine::CleanCatalogue(const std::string& directory, const std::string& catalogue,
                                     platform::CStopLatch* stop) {
  std::int64_t start = Now();
  LCleaner* cleaner = m_pIndexer->InitCleaner(directory, catalogue);
  const int count = m_pIndexer->GetCleanCount();
  // The entries come in path order, so a duplicate follows its original: remembering every
  // path of a large catalogue would cost more memory than the rest of the pass.
  std::string previous;
  bool anyName = false;
  for (int i = 0; i < count && CanWalk(); ++i) {
    int duplicate = 0;
    std::optional<std::string> name = m_pIndexer->GetCleanerFileName(i);
    if (name) {
      duplicate = anyName && *name == previous ? 1 : 0;
      previous.swap(*name);
      anyName = true;
      m_pIndexer->DeleteFileName(name);
    }
    m_pIndexer->Clean(i, duplicate);
    if (i % 500 == 0) m_pIndexer->FlushDeleter(cleaner);
    // A long pass must keep the service's watchdog fed as the walks do.
    PauseWhenSliceUsedUp(start, stop, true);
  }
  m_pIndexer->ReleaseCleaner();
  if (count > 0 && m_pIndexer->CleanerSkippedPurge()) {
    SendStatusMessage(kMessageLine, ":sub: :error: Directory " + directory +
                      " is missing or empty: its catalogue entries are kept");
  }
}
