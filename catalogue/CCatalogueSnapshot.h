#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/LCatalogueError.h"

// The stored modification times of one directory's documents in a catalogue, read once per
// directory pass so that the walks need no look-up per file. Worker thread only.
class CCatalogueSnapshot {
 public:
  // Loads nothing for a directory inside an "/ORIGINALS/" directory (any case).
  void Load(const std::string& directory, const std::string& catalogue);
  // found: the path is catalogued; modified: its file's time differs from the stored one.
  int IsModified(const std::string& path, int& modified) const;

  // True when a document directly in the directory (ending in '/') is stored without a time:
  // its file could not be read, and a walk must not pass it by.
  bool HasUnreadIn(const std::string& directory) const;

  int GetDocumentCount() const { return m_nDocumentCount; }
  // When the last complete walk of the loaded directory started (table complete_walks);
  // nullopt when none is recorded.
  std::optional<std::int64_t> GetLastCompleteWalk() const { return m_LastCompleteWalk; }
  // The catalogued documents of one directory level (its path, ending with '/') stored with an
  // empty time, whose content could not be read in full: the walks take them again whatever
  // their place in the level.
  std::vector<std::string> GetRetriesIn(const std::string& level) const;
  // IsModified calls so far: what the walks asked of the catalogue.
  int GetLookUpCount() const { return m_nLookUps; }
  // The search failed because the catalogue is damaged.
  bool IsCorrupt() const { return m_bCorrupt; }
  const LCatalogueError& GetError() const { return m_Error; }

 private:
  // One catalogued document: its path and then its 14-digit time, back to back in m_Text.
  struct Entry {
    size_t Offset;
    std::uint32_t PathLength;
    std::uint32_t TimeLength;
  };
  void Keep(std::string_view path, std::string_view time);
  void SortIfNeeded();
  std::string_view PathOf(const Entry& entry) const;
  const Entry* Find(const std::string& path) const;

  int m_nDocumentCount = 0;
  mutable int m_nLookUps = 0;
  LCatalogueError m_Error;
  // One block of text and a table in path order: a map of 20,000 small strings cost more to
  // build and free than the whole walk of an unchanged tree.
  std::string m_Text;
  std::vector<Entry> m_Entries;
  std::vector<std::string> m_Unread;  // the paths stored without a time, in order
  bool m_bCorrupt = false;
  std::optional<std::int64_t> m_LastCompleteWalk;
};
