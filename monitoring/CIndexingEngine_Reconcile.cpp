#include "monitoring/CIndexingEngine.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/CCatalogueSnapshot.h"
#include "folders/CFolder.h"
#include "monitoring/ReconcilePatterns.h"
#include "platform/FileTimes.h"
#include "service/CServiceParameters.h"

namespace fs = boost::filesystem;

namespace {

const boost::regex kSkippedDirectoryPattern("Originals(W|$)|Catalogue_IS(W|$)", boost::regex::icase);

using EntryKind = CIndexingEngine::EntryKind;

// A linked directory is not entered: a link back up the tree would make the walk endless.
EntryKind KindOf(const fs::directory_entry& entry) {
  boost::system::error_code ec;
  const fs::file_status own = entry.symlink_status(ec);
  if (ec) return EntryKind::Other;
  if (fs::is_directory(own)) return EntryKind::Directory;
  // The listing gave the type: a plain file needs no second status call.
  if (fs::is_regular_file(own)) return EntryKind::File;
  return fs::is_regular_file(entry.status(ec)) && !ec ? EntryKind::File : EntryKind::Other;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// The names of a directory's entries with their kinds, in the order the system lists them;
// false (errorText set) when the directory cannot be listed to its end.
bool ListDirectory(const std::string& directory, std::vector<std::pair<std::string, EntryKind>>& entries,
                   std::string& errorText) {
  boost::system::error_code ec;
  fs::directory_iterator it(directory, ec);
  for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    entries.emplace_back(it->path().filename().string(), KindOf(*it));
  }
  if (ec) errorText = ec.message();
  return !ec;
}

}  // namespace

bool CIndexingEngine::IsExcludedDirectory(const FK::CFolder& folder, const std::string& directory,
                                          const std::string& catalogue) const {
  const std::string unc = GetUncPath(directory);
  return unc == GetUncPath(folder.GetScanningPath()) || unc == GetUncPath(folder.GetEInvoicesPath()) ||
         unc == GetUncPath(folder.GetOriginalPath()) || unc == GetUncPath(catalogue);
}

void CIndexingEngine::ReconcileDirectory(const std::string& directory, const std::string& catalogue,
                                         const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                         platform::CEvent* stopEvent, int* indexed) {
  if (IsExcludedDirectory(folder, directory, catalogue)) return;
  std::int64_t start = Now();
  std::vector<std::pair<std::string, EntryKind>> entries;
  std::string errorText;
  if (!ListDirectory(directory, entries, errorText)) {
    SendStatusMessage(0, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
    return;
  }
  std::multimap<std::int64_t, std::string> files;
  std::multimap<std::int64_t, std::string> subDirectories;
  SortLevel(directory, entries, catalogue, folder, stopEvent, files, subDirectories);
  start = Now();
  bool written = ReconcileFiles(files, catalogue, folder, snapshot, stopEvent, indexed, start);
  if (IsSliceUsedUp(start)) {
    KeepAlive();
    if (written) m_pIndexer->ReopenWriter(catalogue);
    written = false;
    ReportWaiting();
    Pause(stopEvent, m_nPauseMilliseconds);
  }
  if (written) m_pIndexer->ReopenWriter(catalogue);
  for (auto it = subDirectories.rbegin(); it != subDirectories.rend() && CanWalk(); ++it) {
    ReconcileDirectory(it->second + "/", catalogue, folder, snapshot, stopEvent, indexed);
  }
}

// The candidate files of one level by arrival time and its sub-directories by last-write time.
void CIndexingEngine::SortLevel(const std::string& directory,
                                const std::vector<std::pair<std::string, EntryKind>>& entries,
                                const std::string& catalogue, const FK::CFolder& folder,
                                platform::CEvent* stopEvent, std::multimap<std::int64_t, std::string>& files,
                                std::multimap<std::int64_t, std::string>& subDirectories) {
  std::int64_t start = Now();
  std::string errorText;
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    const std::string path = directory + name;
    std::int64_t time = 0;
    if (kind == EntryKind::File && ReconcilePatterns::IsCandidate(path) && !ReconcilePatterns::IsCompanion(path)) {
      if (platform::GetArrivalTime(path, time, errorText)) files.emplace(time, path);
    } else if (kind == EntryKind::Directory && !boost::regex_search(path, kSkippedDirectoryPattern) &&
               !IsExcludedDirectory(folder, path, catalogue)) {
      boost::system::error_code ec;
      const std::time_t written = fs::last_write_time(path, ec);
      subDirectories.emplace(ec ? 0 : static_cast<std::int64_t>(written), path);
    }
    if (IsSliceUsedUp(start)) {
      KeepAlive();
      Pause(stopEvent, m_nPauseMilliseconds);
      start = Now();
    }
  }
}

bool CIndexingEngine::ReconcileFiles(const std::multimap<std::int64_t, std::string>& files,
                                     const std::string& catalogue, const FK::CFolder& folder,
                                     CCatalogueSnapshot& snapshot, platform::CEvent* stopEvent,
                                     int* indexed, std::int64_t& start) {
  bool written = false;
  for (auto it = files.rbegin(); it != files.rend() && CanWalk(); ++it) {
    const std::string& path = it->second;
    int modified = 0;
    const int found = snapshot.IsModified(path, modified);
    if (found != 0 && modified == 0 && !m_bFullReconcile) break;
    if (found != 0 && modified == 0) continue;
    if (found != 0) {
      if (IsDebug()) SendStatusMessage(5, "remove file " + path);
      m_pIndexer->CloseWriter(catalogue);
      m_pIndexer->RemoveDocument(path, catalogue);
      m_pIndexer->GetWriter(catalogue);
    }
    written = IndexCounted(path, catalogue, folder, indexed) || written;
    if (IsSliceUsedUp(start)) {
      KeepAlive();
      ReportWaiting();
      Pause(stopEvent, m_nPauseMilliseconds);
      start = Now();
    }
  }
  return written;
}

void CIndexingEngine::IndexDirectoryFresh(const std::string& directory, const std::string& catalogue,
                                          const FK::CFolder& folder, CCatalogueSnapshot& snapshot,
                                          platform::CEvent* stopEvent, int* indexed) {
  if (IsExcludedDirectory(folder, directory, catalogue) || directory == GetUncPath(catalogue)) return;
  std::vector<std::pair<std::string, EntryKind>> entries;
  std::string errorText;
  if (!ListDirectory(directory, entries, errorText)) {
    SendStatusMessage(0, ":sub: :error: Cannot list directory " + directory + ": " + errorText);
    return;
  }
  for (const auto& [name, kind] : entries) {
    if (!CanWalk()) break;
    if (kind == EntryKind::Directory && Upper(name) != "ORIGINALS") {
      IndexDirectoryFresh(directory + name + "/", catalogue, folder, snapshot, stopEvent, indexed);
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
      Pause(stopEvent, m_nPauseMilliseconds);
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
    if (IsDebug()) SendStatusMessage(6, "remove file " + path);
    m_pIndexer->ReleaseWriter();
    m_pIndexer->RemoveDocument(path, catalogue);
  }
  written = IndexCounted(path, catalogue, folder, indexed) || written;
}

bool CIndexingEngine::IndexCounted(const std::string& path, const std::string& catalogue,
                                   const FK::CFolder& folder, int* indexed) {
  if (IsDebug()) SendStatusMessage(5, "index file " + path);
  // Writing a document costs far more than a look for the marker: the next step looks again.
  m_bMarkerKnown = false;
  if (m_pIndexer->IndexDocument(path, catalogue, m_pPdfTool.get()) == 0) return false;
  if (indexed != nullptr) ++*indexed;
  ReportIndexingFolder(folder.GetReference());
  return true;
}

void CIndexingEngine::CleanCatalogue(const std::string& directory, const std::string& catalogue,
                                     platform::CEvent* stopEvent) {
  std::int64_t start = Now();
  LCleaner* cleaner = m_pIndexer->InitCleaner(directory, catalogue);
  const int count = m_pIndexer->GetCleanCount();
  std::unordered_set<std::string> seen;
  for (int i = 0; i < count && CanWalk(); ++i) {
    int duplicate = 0;
    std::optional<std::string> name = m_pIndexer->GetCleanerFileName(i);
    if (name) {
      duplicate = seen.insert(*name).second ? 0 : 1;
      m_pIndexer->DeleteFileName(name);
    }
    m_pIndexer->Clean(i, duplicate);
    if (i % 500 == 0) m_pIndexer->FlushDeleter(cleaner);
    if (IsSliceUsedUp(start)) {
      // A long pass must keep the service's watchdog fed as the walks do.
      KeepAlive();
      ReportWaiting();
      Pause(stopEvent, m_nPauseMilliseconds);
      start = Now();
    }
  }
  m_pIndexer->ReleaseCleaner();
  if (count > 0 && m_pIndexer->CleanerSkippedPurge()) {
    SendStatusMessage(0, ":sub: :error: Directory " + directory +
                             " is missing or empty: its catalogue entries are kept");
  }
}
