#pragma once

#include <string>
#include <vector>

// Which paths below one watched folder directory are changes of the folder's documents. Left
// out: whatever lies in a directory the walks leave out by
// its name ("Originals", "Catalogue_IS", at any depth and in any case); the folder's catalogue
// and its other directories the walks skip.
// Immutable once made; any thread.
class CWatchRules {
 public:
  // directory: the watched directory; archive: it is the folder's archive directory;
  // excludedDirectories: absolute paths never watched (those outside directory are ignored).
  CWatchRules(const std::string& directory, bool archive, const std::vector<std::string>& excludedDirectories);

  // relativePath is below the watched directory, '/'-separated, with no leading '/'.
  bool IsExcluded(const std::string& relativePath, bool isDirectory) const;
  bool IsArchive() const { return m_bArchive; }

  // A first-level directory of an archive that is not watched: its name holds "Originals" or
  // "Catalogue_IS" followed by the letter W or by nothing, in any case.
  static bool IsSkippedFirstLevel(const std::string& name);
  // The path with "." and ".." resolved lexically, no doubled and no trailing '/': two
  // spellings of one directory compare equal.
  static std::string NormalPath(const std::string& path);
  // True when path is dir or lies below it (whole components; both normal).
  static bool IsUnder(const std::string& path, const std::string& dir);

 private:
  bool m_bArchive;
  std::vector<std::string> m_ExcludedRelative;  // normal, relative to the watched directory
};
