#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "engine/CEngineParameters.h"

class Dom_FolderList;
namespace FK {
class CFolder;
}

// Where a folder's catalogue lies and which catalogue directories are refused: the catalogue
// path of a folder, its folder directories, the deletion marker, and the rule that a catalogue
// never is, nor lies inside, a folder directory of the list. Worker thread only. The
// parameters record (null: no catalogues) must outlive it.
class CCatalogueLayout {
 public:
  explicit CCatalogueLayout(const CEngineParameters* parameters) : m_pParameters(parameters) {}

  // False for a reference that cannot name a catalogue directory ("", ".", "..", one with a '/').
  static bool IsUsableReference(const std::string& reference);
  // The directory with a trailing '/' ("" stays "").
  static std::string GetUncPath(const std::string& directory);
  // "" when the folder has no catalogue.
  std::string GetCataloguePath(const FK::CFolder& folder) const;
  bool IsCatalogueMarkedForDeletion(const std::string& catalogue) const;
  // The archive directory, and the processing directory unless it lies inside the archive;
  // "/" and the system trees are left out.
  std::vector<std::string> GetFolderDirectories(const FK::CFolder& folder) const;
  // Takes the folder directories of the list the refusal rule compares with.
  void TakeFolderDirectories(const Dom_FolderList& folderList);
  // Why the folder's catalogue directory is refused ("" when it is not): it is, or lies inside,
  // a folder directory of a folder of the list, where emptying it could touch documents.
  std::string RefusedCatalogueReason(const FK::CFolder& folder, const std::string& catalogue) const;

 private:
  // The same for the catalogue as it stands at path (its written or its resolved form).
  std::string RefusedCatalogueReasonAt(const FK::CFolder& folder, const std::string& catalogue,
                                       std::string path) const;

  const CEngineParameters* m_pParameters;  // not owned
  // Every folder directory of the folder list (normal and resolved form) and its folder.
  std::unordered_map<std::string, std::string> m_FolderDirectories;
};
