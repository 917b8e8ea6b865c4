#include "monitoring/CIndexingEngine.h"

#include <algorithm>

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

namespace fs = boost::filesystem;

namespace {

const boost::regex kSkippedDirectoryPattern("Originals(W|$)|Catalogue_IS(W|$)", boost::regex::icase);

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
      return;
    }
    SortLevel(directory, listing, entries, catalogue, folder, stop, files, subDirectories);
  }
  // Newest first; files of the same second are taken last-listed first.
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
      if (listing.GetArrivalTime(name, time, errorText)) files.emplace_back(time, i);
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
  // A document that could not be read is taken again even when it is older than the stop.
  const bool wholeLevel = m_bFullReconcile || snapshot.HasUnreadIn(directory);
  for (auto it = files.rbegin(); it != files.rend() && CanWalk(); ++it) {
    const std::string path = directory + entries[it->second].Name;
    int modified = 0;
    const int found = snapshot.IsModified(path, modified);
    if (found != 0 && modified == 0 && !wholeLevel) break;
    if (found != 0 && modified == 0) continue;
    if (found != 0) {
      if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "remove file " + path);
      m_pIndexer->CloseWriter(catalogue);
      m_pIndexer->RemoveDocument(path, catalogue);
      m_pIndexer->GetWriter(catalogue);
    }
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
  if (found != 0) {
    if (IsDebug()) SendStatusMessage(kMessageRemoveDocument, "remove file " + path);
    m_pIndexer->ReleaseWriter();
    m_pIndexer->RemoveDocument(path, catalogue);
  }
  written = IndexCounted(path, catalogue, folder, indexed) || written;
}

bool CIndexingEngine::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder, int* indexed) {
  if (IsDebug()) SendStatusMessage(kMessageIndexDocument, "index file " + path);
  const int result = m_pIndexer->IndexDocument(path, catalogue, m_pPdfTool.get());
  ReportDocumentNote(path);
  if (result == 0) {
    if (m_pIndexer->LastError().Unreadable) ReportUnreadable(path, m_pIndexer->LastError().Message);
    return false;
  }
  if (indexed != nullptr) ++*indexed;
  ReportIndexingFolder(folder.GetReference());
  return true;
}

// Once per document and run: the document is taken again at every pass until it can be read.
void CIndexingEngine::ReportUnreadable(const std::string& path, const std::string& reason) {
  if (m_UnreadableReported.size() >= kMaxUnreadableReported) m_UnreadableReported.clear();
  if (!m_UnreadableReported.insert(path).second) return;
  SendStatusMessage(kMessageLine, ":sub: :error: Cannot read document " + path + ": " + reason);
  FKEXCEPTION::CFKException(4003, 0, __LINE__, "CIndexingEngine", "IndexDocument", path + " (" + reason + ")", path,
                            true, false);
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
