#include "engine/CCatalogueLayout.h"

#include <algorithm>

#include <boost/filesystem.hpp>

#include "engine/CatalogueMarkers.h"
#include "folders/CFolder.h"
#include "folders/CFolderLayout.h"
#include "folders/Dom_FolderList.h"
#include "folders/FolderCatalogue.h"
#include "platform/CFileSystemType.h"
#include "platform/FileOps.h"
#include "platform/PathChecks.h"

namespace fs = boost::filesystem;

namespace {

// A folder directory that is refused ("/", a system tree) is never walked: a catalogue below
// it holds no documents of it.
bool IsWalkedDirectory(const std::string& directory) {
  return !directory.empty() && platform::CFileSystemType::WhyRefusedAsFolderDirectory(directory).empty();
}

}  // namespace

bool CCatalogueLayout::IsUsableReference(const std::string& reference) { return FK::IsUsableReference(reference); }

std::string CCatalogueLayout::GetCataloguePath(const FK::CFolder& folder) const {
  return m_pParameters == nullptr ? "" : FK::CataloguePathOf(folder, m_pParameters->PathCatalogues);
}

bool CCatalogueLayout::IsCatalogueMarkedForDeletion(const std::string& catalogue) const {
  boost::system::error_code ec;
  const fs::path marker = fs::path(catalogue) / CatalogueMarkers::kDeletion;
  return fs::symlink_status(marker, ec).type() != fs::file_not_found && !ec;
}

std::vector<std::string> CCatalogueLayout::GetFolderDirectories(const FK::CFolder& folder) const {
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

std::string CCatalogueLayout::GetUncPath(const std::string& directory) { return platform::WithTrailingSlash(directory); }

void CCatalogueLayout::TakeFolderDirectories(const Dom_FolderList& folderList) {
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

std::string CCatalogueLayout::RefusedCatalogueReason(const FK::CFolder& folder, const std::string& catalogue) const {
  // A PathCatalogues that is a symbolic link into an archive overlaps it as much as a plain path.
  for (const std::string& path : {platform::NormalPath(catalogue), platform::ResolvedPath(catalogue)}) {
    const std::string reason = RefusedCatalogueReasonAt(folder, catalogue, path);
    if (!reason.empty()) return reason;
  }
  return "";
}

std::string CCatalogueLayout::RefusedCatalogueReasonAt(const FK::CFolder& folder, const std::string& catalogue,
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
