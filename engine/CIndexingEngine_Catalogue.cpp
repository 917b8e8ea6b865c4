#include "engine/CIndexingEngine.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LIndexer.h"
#include "engine/CatalogueMarkers.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/CFolderLayout.h"
#include "folders/Dom_FolderList.h"
#include "platform/CFileSystemType.h"
#include "platform/CMutex.h"
#include "platform/CNamedFileLock.h"
#include "platform/FileOps.h"
#include "platform/PathChecks.h"
#include "platform/SystemInfo.h"
#include "status/MonitorListener.h"

namespace fs = boost::filesystem;

namespace {

const char kLockNamePrefix[] = "FKIndexingService lock catalog ";
const char* const kDeletionMarker = CatalogueMarkers::kDeletion;

std::string LockNameFor(const std::string& catalogue) {
  std::string name = kLockNamePrefix + catalogue;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// The process's catalogue locks, one per catalogue. The worker and the watch threads ask
// them at once, and an flock taken through another open of the same file would shut out this
// very process, so the state says which thread holds which catalogue.
struct CatalogueLockState {
  struct Held {
    std::unique_ptr<platform::CNamedFileLock> Lock;
    std::thread::id Owner;
  };
  platform::CMutex Mutex;
  std::map<std::string, Held> Locks GUARDED_BY(Mutex);  // by lock name
  // Why each thread's last attempt failed.
  std::map<std::thread::id, std::string> LastErrors GUARDED_BY(Mutex);
};

CatalogueLockState& LockState() {
  static CatalogueLockState state;
  return state;
}

// Emptying or setting aside a catalogue touches these only: the directory may hold other files.
bool IsCatalogueOwnFile(const fs::directory_entry& entry) {
  boost::system::error_code ec;
  if (!fs::is_regular_file(entry.symlink_status(ec))) return false;
  const std::string name = entry.path().filename().string();
  if (LIndexer::IsDatabaseFile(name)) return true;
  for (const char* marker : CatalogueMarkers::kAll) {
    if (name == marker) return true;
  }
  return false;
}

// A folder directory that is refused ("/", a system tree) is never walked: a catalogue below
// it holds no documents of it.
bool IsWalkedDirectory(const std::string& directory) {
  return !directory.empty() && platform::CFileSystemType::WhyRefusedAsFolderDirectory(directory).empty();
}

std::string TimeStamp() { return platform::FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S"); }

}  // namespace

// A reference names a directory of its own: one that would climb out of the catalogue
// root, or name the root itself, gets no catalogue (emptying it would delete others' files).
bool CIndexingEngine::IsUsableReference(const std::string& reference) {
  return !reference.empty() && reference != "." && reference != ".." &&
         reference.find('/') == std::string::npos;
}

std::string CIndexingEngine::GetCataloguePath(const FK::CFolder& folder) const {
  if (m_pParameters == nullptr || !IsUsableReference(folder.GetReference())) return "";
  if (m_pParameters->IsFolderArchivePath()) {
    const std::string archive = folder.GetArchivePath();
    if (archive.empty()) return "";
    return platform::WithTrailingSlash(archive) + "Catalogue_IS/" + folder.GetReference();
  }
  return m_pParameters->PathCatalogues + folder.GetReference();
}

bool CIndexingEngine::IsCatalogueMarkedForDeletion(const std::string& catalogue) const {
  boost::system::error_code ec;
  const fs::path marker = fs::path(catalogue) / kDeletionMarker;
  return fs::symlink_status(marker, ec).type() != fs::file_not_found && !ec;
}

std::vector<std::string> CIndexingEngine::GetFolderDirectories(const FK::CFolder& folder) const {
  const std::string archive = folder.GetArchivePath();
  const std::string processing = folder.GetProcessingPath();
  std::vector<std::string> directories;
  // "/" and the system trees are never walked nor cleaned (ProcessFolder says why).
  const auto refused = [](const std::string& directory) {
    return !platform::CFileSystemType::WhyRefusedAsFolderDirectory(directory).empty();
  };
  if (!refused(archive)) directories.push_back(archive);
  // Inside the archive only by whole path components: /srv/arch2/in is not in /srv/arch.
  const std::string archiveUnc = GetUncPath(archive);
  if (GetUncPath(processing).compare(0, archiveUnc.size(), archiveUnc) != 0 && !refused(processing)) {
    directories.push_back(processing);
  }
  return directories;
}

std::string CIndexingEngine::GetUncPath(const std::string& directory) { return platform::WithTrailingSlash(directory); }

void CIndexingEngine::EmptyCatalogue(const std::string& catalogue) {
  // A flush worker must not write into the files being deleted; what it had queued is on disk.
  if (m_pFlusher) m_pFlusher->Remove(catalogue);
  LIndexer::CloseCatalogue(catalogue);
  boost::system::error_code ec;
  for (fs::directory_iterator it(catalogue, ec), end; !ec && it != end; it.increment(ec)) {
    if (!IsCatalogueOwnFile(*it)) continue;
    boost::system::error_code removeError;
    fs::remove(it->path(), removeError);
    if (removeError) {
      SendStatusMessage(kMessageLine, ":sub: :error: " + it->path().string() + ": " + removeError.message());
    }
  }
}

void CIndexingEngine::IndexFolderDirectories(const Dom_FolderList& folderList) {
  m_FolderDirectories.clear();
  for (const std::string& reference : folderList.GetFolderReferences()) {
    const FK::CFolder folder = folderList.GetFolder(reference);
    for (const std::string& directory : {folder.GetArchivePath(), folder.GetProcessingPath()}) {
      if (!IsWalkedDirectory(directory)) continue;
      m_FolderDirectories.emplace(platform::NormalPath(directory), reference);
      // A catalogue reached through a symbolic link is compared where the link leads.
      m_FolderDirectories.emplace(platform::ResolvedPath(directory), reference);
    }
  }
}

std::string CIndexingEngine::RefusedCatalogueReason(const FK::CFolder& folder, const std::string& catalogue) const {
  // A PathCatalogues that is a symbolic link into an archive overlaps it as much as a plain path.
  for (const std::string& path : {platform::NormalPath(catalogue), platform::ResolvedPath(catalogue)}) {
    const std::string reason = RefusedCatalogueReasonAt(folder, catalogue, path);
    if (!reason.empty()) return reason;
  }
  return "";
}

std::string CIndexingEngine::RefusedCatalogueReasonAt(const FK::CFolder& folder, const std::string& catalogue,
                                                      std::string path) const {
  const std::string catalogueAt = path;
  std::vector<std::string> own;
  for (const std::string& directory : {folder.GetArchivePath(), folder.GetProcessingPath()}) {
    if (!IsWalkedDirectory(directory)) continue;
    own.push_back(platform::NormalPath(directory));
    own.push_back(platform::ResolvedPath(directory));
  }
  // A catalogue inside a directory the walks leave out by name is never walked as documents:
  // the default layout keeps it in "Catalogue_IS", inside the archive.
  bool belowCatalogueDirectory = false;
  while (!belowCatalogueDirectory && !path.empty()) {
    std::string owner;
    const auto found = m_FolderDirectories.find(path);
    if (found != m_FolderDirectories.end()) owner = found->second;
    if (owner.empty() && std::find(own.begin(), own.end(), path) != own.end()) owner = folder.GetReference();
    if (!owner.empty()) {
      return "Catalogue directory " + catalogue + (path == catalogueAt ? " is" : " lies inside") +
             " the folder directory " + path + " of folder " + owner;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || path == "/") break;
    belowCatalogueDirectory = FK::CFolderLayout::IsLeftOutName(path.substr(slash + 1));
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return "";
}

void CIndexingEngine::DiscardForeignCatalogue(const std::vector<std::string>& directories,
                                              const std::string& catalogue) {
  if (m_pIndexer->CountDocuments(catalogue) <= 0) return;
  int sum = 0;
  for (const std::string& directory : directories) {
    // An empty directory (a folder without a processing directory) names no documents; as a
    // path prefix it would count every document of the catalogue.
    if (directory.empty()) continue;
    const int count = m_pIndexer->CountDocumentsUnder(GetUncPath(directory), catalogue);
    if (count > 0) sum += count;
  }
  if (sum == 0) EmptyCatalogue(catalogue);
}

int CIndexingEngine::LockCatalogue(const std::string& catalogue, int acquire) {
  CatalogueLockState& state = LockState();
  platform::CLockGuard guard(state.Mutex);
  // Catalogue paths are case-sensitive here, so the names are compared exactly.
  const std::string name = LockNameFor(catalogue);
  const std::thread::id self = std::this_thread::get_id();
  const auto held = state.Locks.find(name);
  if (held != state.Locks.end()) {
    return held->second.Owner == self ? 1 : 0;
  }
  if (acquire == 0) return 1;
  auto lock = std::make_unique<platform::CNamedFileLock>(name);
  if (!lock->TryLock()) {
    state.LastErrors[self] = lock->LastError();
    return 0;
  }
  state.LastErrors.erase(self);
  state.Locks[name] = CatalogueLockState::Held{std::move(lock), self};
  return 1;
}

std::string CIndexingEngine::GetCatalogueLockError() {
  CatalogueLockState& state = LockState();
  platform::CLockGuard guard(state.Mutex);
  const auto found = state.LastErrors.find(std::this_thread::get_id());
  return found == state.LastErrors.end() ? std::string() : found->second;
}

void CIndexingEngine::UnlockCatalogue() {
  CatalogueLockState& state = LockState();
  platform::CLockGuard guard(state.Mutex);
  // Only its holder releases a lock: the calling thread's locks go, other threads' stay.
  const std::thread::id self = std::this_thread::get_id();
  for (auto it = state.Locks.begin(); it != state.Locks.end();) {
    it = it->second.Owner == self ? state.Locks.erase(it) : std::next(it);
  }
}

void CIndexingEngine::AddFile(std::string path, FK::CFolder folder) {
  if (!m_pIndexer || !CCatalogueIndexer::IsIndexableDocument(path)) return;
  const std::string catalogue = GetCataloguePath(folder);
  if (catalogue.empty()) return;
  m_pIndexer->IndexDocument(path, catalogue, m_ReadPdf);
  ReportDocumentNote(path);
}

void CIndexingEngine::RemoveFile(std::string path, FK::CFolder folder) {
  if (!m_pIndexer || !CCatalogueIndexer::IsIndexableDocument(path)) return;
  const std::string catalogue = GetCataloguePath(folder);
  if (catalogue.empty()) return;
  m_pIndexer->RemoveDocument(path, catalogue);
}

std::string CIndexingEngine::MoveDamagedCatalogueAside(const std::string& catalogue, bool always) {
  if (m_pFlusher) m_pFlusher->Remove(catalogue);
  m_pIndexer->ReleaseWriter();
  LIndexer::CloseCatalogue(catalogue);
  boost::system::error_code listError;
  bool anyDatabaseFile = false;
  for (fs::directory_iterator it(catalogue, listError), end; !listError && it != end; it.increment(listError)) {
    anyDatabaseFile = anyDatabaseFile || (IsCatalogueOwnFile(*it) && LIndexer::IsDatabaseFile(it->path().filename().string()));
  }
  if (!always && !listError && !anyDatabaseFile) return catalogue;
  fs::path aside = fs::path(catalogue) / ("damaged-" + TimeStamp());
  boost::system::error_code ec;
  for (int n = 1; fs::exists(aside, ec); ++n) {
    aside = fs::path(catalogue) / ("damaged-" + TimeStamp() + "-" + std::to_string(n));
  }
  if (!fs::create_directory(aside, ec)) return "";
  for (fs::directory_iterator it(catalogue, ec), end; !ec && it != end; it.increment(ec)) {
    if (!IsCatalogueOwnFile(*it)) continue;
    boost::system::error_code renameError;
    fs::rename(it->path(), aside / it->path().filename(), renameError);
    if (renameError) return "";
  }
  return ec ? "" : aside.string();
}
