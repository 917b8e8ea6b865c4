#pragma once

#include <string>

// The name tests of the reconciling walk, as plain comparisons on the path's tail. Each one
// gives exactly what its case-insensitive regular expression gives with regex_search:
// candidate ".(xml|pdf)$", companion ".(FK\$.xml|fk2.xml)$" ('.' is any character, '$' any
// line end). Stateless; any thread.
class ReconcilePatterns {
 public:
  static bool IsCandidate(const std::string& path);
  static bool IsCompanion(const std::string& path);
};
