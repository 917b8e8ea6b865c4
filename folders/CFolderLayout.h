#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "folders/CFolder.h"

namespace FK {

// What below one folder directory is a document of the folder: the one answer of the walks, the
// watcher, the snapshot and the cleaner, so that a document is never taken by one and left by
// another. Left out: every directory named "Originals" or "Catalogue_IS" (the whole name, any
// case) at any depth, and the folder's scanning, originals and e-invoices directories and its
// catalogue when they lie below the folder directory (one that is a folder directory itself is
// walked), each with everything below it. A document is a file whose name ends in ".xml" or ".pdf"
// (any case) and is no ".FK$" companion. Immutable; any thread.
class CFolderLayout {
 public:
  // root: the folder directory, in any spelling; catalogue: the folder's catalogue ("" none).
  CFolderLayout(const CFolder& folder, const std::string& catalogue, const std::string& root);

  static bool IsLeftOutName(std::string_view directoryName);
  static bool IsDocumentName(std::string_view fileName);
  // A directory of a left-out name lies between root and path (path starts with root as written).
  static bool HasLeftOutNameBelow(std::string_view root, std::string_view path);

  // relative: '/'-separated, below the root, without a leading '/' (a trailing one is ignored).
  bool IsLeftOutDirectory(std::string_view relative) const;
  // A document of the folder: in no left-out directory, and named as a document.
  bool IsDocument(std::string_view relative) const;
  // The part of a path below the root as given to the constructor ("" when it is not below it).
  std::string_view RelativeOf(std::string_view path) const;

 private:
  std::string m_strRoot;                    // as given, ending in '/'
  std::vector<std::string> m_LeftOutBelow;  // normal, relative to the root
};

}  // namespace FK
