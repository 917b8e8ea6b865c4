#include "folders/FolderCatalogue.h"

#include "platform/FileOps.h"

namespace FK {

bool IsFolderArchivePath(const std::string& pathCatalogues) {
  return pathCatalogues.empty() || pathCatalogues == kFolderArchivePath;
}

// A reference names a directory of its own: one that would climb out of the catalogue
// root, or name the root itself, gets no catalogue (emptying it would delete others' files).
bool IsUsableReference(const std::string& reference) {
  return !reference.empty() && reference != "." && reference != ".." && reference.find('/') == std::string::npos;
}

std::string CataloguePathOf(const CFolder& folder, const std::string& pathCatalogues) {
  if (!IsUsableReference(folder.GetReference())) return "";
  if (IsFolderArchivePath(pathCatalogues)) {
    const std::string archive = folder.GetArchivePath();
    if (archive.empty()) return "";
    return platform::WithTrailingSlash(archive) + "Catalogue_IS/" + folder.GetReference();
  }
  return pathCatalogues + folder.GetReference();
}

}  // namespace FK
