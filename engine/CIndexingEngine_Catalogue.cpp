#include "engine/CIndexingEngine.h"

#include <algorithm>
#include <ctime>

#include <boost/filesystem.hpp>

#include "catalogue/CCatalogueIndexer.h"
#include "catalogue/LIndexer.h"
#include "engine/CFolderSessions.h"
#include "engine/CatalogueMarkers.h"
#include "flush/CChangeFlusher.h"
#include "folders/CFolder.h"
#include "folders/CFolderLayout.h"
#include "folders/Dom_FolderList.h"
#include "platform/CFileSystemType.h"
#include "platform/FileOps.h"
#include "platform/PathChecks.h"
#include "platform/SystemInfo.h"
#include "status/MonitorListener.h"

namespace fs = boost::filesystem;

namespace {

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

std::string TimeStamp() { return platform::FormatLocalTime(std::time(nullptr), "%Y%m%d-%H%M%S"); }

}  // namespace

void CIndexingEngine::EmptyCatalogue(const std::string& catalogue) {
  // A flush worker must not write into the files being deleted; what it had queued is on disk.
  if (m_pSessions) m_pSessions->Flusher().Remove(catalogue);
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

void CIndexingEngine::DiscardForeignCatalogue(const std::vector<std::string>& directories,
                                              const std::string& catalogue) {
  if (m_pIndexer->CountDocuments(catalogue) <= 0) return;
  int sum = 0;
  for (const std::string& directory : directories) {
    // An empty directory (a folder without a processing directory) names no documents; as a
    // path prefix it would count every document of the catalogue.
    if (directory.empty()) continue;
    const int count = m_pIndexer->CountDocumentsUnder(CCatalogueLayout::GetUncPath(directory), catalogue);
    if (count > 0) sum += count;
  }
  if (sum == 0) EmptyCatalogue(catalogue);
}

std::string CIndexingEngine::MoveDamagedCatalogueAside(const std::string& catalogue, bool always) {
  if (m_pSessions) m_pSessions->Flusher().Remove(catalogue);
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
