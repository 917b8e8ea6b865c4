#pragma once

#include <string>

// The name tests of the reconciling walk, as plain comparisons on the path's tail. Each one
// gives exactly what its case-insensitive regular expression gives with regex_search:
// candidate ".(xml|pdf)$", companion ".(FK\$.xml|fk2.xml)$" ('.' is any character, '$' any
// line end), skipped directory "Originals(W|$)|Catalogue_IS(W|$)". Stateless; any thread.
class ReconcilePatterns {
 public:
  static bool IsCandidate(const std::string& path);
  static bool IsCompanion(const std::string& path);
  // A directory the walks and the watcher leave out, by its own name: "Originals(W|$)|Catalogue_IS(W|$)",
  // case-insensitive, W being the plain letter. Matched against the name alone, so that the
  // path an archive lies in (say /srv/OriginalsWork/) cannot leave out its whole tree.
  static bool IsSkippedDirectoryName(const std::string& name);
};
