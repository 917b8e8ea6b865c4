#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/LFileIdentity.h"

class LDatabase;

// The table "departed_documents" of a catalogue: the text of PDF documents whose file left the
// folder (moved away while watched, or found gone by the cleaner), kept a while so that another
// folder's catalogue the file was moved into takes the text instead of reading it again.
// Bounded by age and count, purged as rows are added. The caller serialises calls on one database.
class LDepartedDocuments {
 public:
  static constexpr std::int64_t kKeptSeconds = 3 * 24 * 3600;
  static constexpr std::int64_t kKeptRows = 50000;

  // A catalogued document found by its file's identity, with what it holds.
  struct Found {
    std::string Path;
    std::string Modified;
    LFileIdentity Identity;  // as kept when the file was read
    std::string Text;
  };

  explicit LDepartedDocuments(LDatabase& db) : m_Db(db) {}

  // Inside the caller's write transaction: keeps the PDF entries (read in full, with an
  // identity) of path, or of every path under the directory prefix, or of the row ids, then purges.
  bool KeepPath(const std::string& path, bool below, std::int64_t now);
  bool KeepIds(const std::vector<std::int64_t>& ids, std::int64_t now);
  // The entries and departed rows whose file had the identity's device, inode and size and the
  // stored time `modified`. A catalogue written before the departed rows existed gives its entries.
  bool Find(const LFileIdentity& identity, const std::string& modified, std::vector<Found>& found);

 private:
  bool Purge(std::int64_t now);
  bool FindIn(const char* sql, const LFileIdentity& identity, const std::string& modified,
              std::vector<Found>& found);

  LDatabase& m_Db;
};
