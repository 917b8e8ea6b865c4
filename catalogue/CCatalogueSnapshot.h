#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/LCatalogueError.h"
#include "catalogue/LFileIdentity.h"

class LDatabase;

// The stored modification times of one directory's documents in a catalogue, for one directory
// pass: read once (Load), or asked of the catalogue path by path (Open). Worker thread only.
class CCatalogueSnapshot {
 public:
  CCatalogueSnapshot();
  ~CCatalogueSnapshot();
  CCatalogueSnapshot(const CCatalogueSnapshot&) = delete;
  CCatalogueSnapshot& operator=(const CCatalogueSnapshot&) = delete;

  // Reads every entry under the directory, for a walk that asks about each of its files.
  // Leaves out the entries below a directory the walks leave out by name (FK::CFolderLayout).
  void Load(const std::string& directory, const std::string& catalogue);
  // For a walk that asks about few of its files (the reconciling walk stops at the first
  // unchanged one of a level): reads only the entries stored without a time and the record of
  // the last complete walk, and keeps the catalogue open for IsModified to look each path up.
  // Reading every entry cost more than the whole walk of an unchanged tree.
  void Open(const std::string& directory, const std::string& catalogue);
  // found: the path is catalogued; modified: its file's time differs from the stored one, or
  // its size, status-change time or inode from those kept when it was read.
  int IsModified(const std::string& path, int& modified) const;

  // True when a document directly in the directory (ending in '/') is stored without a time:
  // its file could not be read, and a walk must not pass it by.
  bool HasUnreadIn(const std::string& directory) const;

  // The entries read by Load (Open reads only those without a time).
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
  // One catalogued document: its path and then its 14-digit time, back to back in m_Text, and
  // the identity of its file when one is kept.
  struct Entry {
    size_t Offset;
    std::uint32_t PathLength;
    std::uint32_t TimeLength;
    bool HasIdentity;
    LFileIdentity Identity;
  };
  void Keep(std::string_view path, std::string_view time, const LFileIdentity* identity);
  // Whether the catalogue keeps file identities; false when damaged (failed set).
  bool ReadIdentitiesKept(LDatabase& db);
  // Reads the record of the last complete walk; false when the catalogue is damaged.
  bool ReadLastCompleteWalk(LDatabase& db, const std::string& directory);
  void Forget(const LCatalogueError& error);
  int LookUp(const std::string& path, int& modified) const;
  void SortIfNeeded();
  std::string_view PathOf(const Entry& entry) const;
  const Entry* Find(const std::string& path) const;

  int m_nDocumentCount = 0;
  mutable int m_nLookUps = 0;
  mutable LCatalogueError m_Error;
  std::unique_ptr<LDatabase> m_pDb;  // after Open: the catalogue, read-only
  std::string m_strDirectory;        // after Open: only paths under it are looked up
  // One block of text and a table in path order: a map of 20,000 small strings cost more to
  // build and free than the whole walk of an unchanged tree.
  std::string m_Text;
  std::vector<Entry> m_Entries;
  std::vector<std::string> m_Unread;  // the paths stored without a time, in order
  mutable bool m_bCorrupt = false;
  std::optional<std::int64_t> m_LastCompleteWalk;
  bool m_bIdentitiesKept = false;  // after Open: the catalogue has the table of file identities
};
