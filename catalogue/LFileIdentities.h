#pragma once

#include <cstdint>

#include <string>

#include "catalogue/LDatabase.h"
#include "catalogue/LFileIdentity.h"

// The table "file_identities" of a catalogue: for each document (by its row id in documents),
// the identity of the file whose content it holds. A document without a row (stored before the
// table existed, or without having been read) is compared by its time only.
class LFileIdentities {
 public:
  explicit LFileIdentities(LDatabase& db) : m_Db(db) {}

  // Inside the caller's write transaction.
  bool Write(std::int64_t id, const LFileIdentity& identity);
  bool Forget(std::int64_t id);
  // True when the catalogue has the table (one written by an older service may not).
  static bool TableExists(LDatabase& db, bool& failed);
  // Binds a look-up by file identity: ?1 inode, ?2 device, ?3 size, ?4 the stored time.
  static void BindLookUp(LDatabase::Query& query, const LFileIdentity& identity, const std::string& modified);

 private:
  LDatabase& m_Db;
};
