#pragma once

#include <string>
#include <unordered_map>

#include "catalogue/LSearcher.h"

// The stored modification times of one directory's documents in a catalogue, read once per
// directory pass so that the walks need no look-up per file. Worker thread only.
class CCatalogueSnapshot {
 public:
  // Loads nothing for a directory inside an "/ORIGINALS/" directory (any case).
  void Load(const std::string& directory, const std::string& catalogue);
  // found: the path is catalogued; modified: its file's time differs from the stored one.
  int IsModified(const std::string& path, int& modified) const;

  int GetDocumentCount() const { return m_nDocumentCount; }
  // The search failed because the catalogue is damaged.
  bool IsCorrupt() const { return m_bCorrupt; }
  const LCatalogueError& GetError() const { return m_Searcher.LastError(); }

 private:
  int m_nDocumentCount = 0;
  LSearcher m_Searcher;
  std::unordered_map<std::string, std::string> m_StoredTimes;  // path (exact) -> 14-digit time
  bool m_bCorrupt = false;
};
