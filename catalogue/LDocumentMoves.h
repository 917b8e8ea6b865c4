#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/LFileIdentity.h"

class LDatabase;

// Moves of documents inside one open catalogue database: an entry takes a new path and keeps
// its row id, so its text, stored time and file identity stay as they are. Inside the
// caller's write transaction; the caller serialises calls on one database.
class LDocumentMoves {
 public:
  // A catalogued document found by its file's identity.
  struct Entry {
    std::string Path;
    LFileIdentity Identity;
  };

  explicit LDocumentMoves(LDatabase& db) : m_Db(db) {}

  // The entry of `from` takes the path `to` (an entry already at `to` goes); identity (when
  // given) replaces the file's identity kept with it. moved: whether `from` had an entry.
  bool Move(const std::string& from, const std::string& to, const LFileIdentity* identity, bool& moved);
  // Every entry under fromPrefix takes toPrefix instead (entries already at the new paths go).
  bool MoveUnder(const std::string& fromPrefix, const std::string& toPrefix, std::int64_t& moved);
  // The documents whose file had this device, inode and size and this stored time.
  bool FindByIdentity(const LFileIdentity& identity, const std::string& modified, std::vector<Entry>& entries);

 private:
  bool SetPath(std::int64_t id, const std::string& to);

  LDatabase& m_Db;
};
