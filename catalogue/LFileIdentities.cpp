#include "catalogue/LFileIdentities.h"

#include "catalogue/LDatabase.h"

namespace {

// An update, then an insert where there was no row: INSERT OR REPLACE would open a statement
// savepoint (it may delete index entries), and a savepoint makes FTS5 write its pending terms
// as a segment of their own for every document.
const char* const kUpdate =
    "UPDATE file_identities SET size = ?2, changed_ns = ?3, inode = ?4, device = ?5 WHERE id = ?1";
const char* const kInsert = "INSERT INTO file_identities(id, size, changed_ns, inode, device) VALUES(?1, ?2, ?3, ?4, ?5)";
const char* const kForget = "DELETE FROM file_identities WHERE id = ?1";
const char* const kTableExists = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'file_identities'";

}  // namespace

bool LFileIdentities::Write(std::int64_t id, const LFileIdentity& identity) {
  for (const char* statement : {kUpdate, kInsert}) {
    LDatabase::Query query(m_Db, statement);
    query.Bind(1, id);
    query.Bind(2, identity.Size);
    query.Bind(3, identity.ChangedNs);
    // SQLite integers are signed: the bits are kept as they are.
    query.Bind(4, static_cast<std::int64_t>(identity.Inode));
    query.Bind(5, static_cast<std::int64_t>(identity.Device));
    query.Next();
    if (query.Failed()) return false;
    if (m_Db.Changes() > 0) return true;
  }
  return false;
}

bool LFileIdentities::Forget(std::int64_t id) {
  LDatabase::Query query(m_Db, kForget);
  query.Bind(1, id);
  query.Next();
  return !query.Failed();
}

bool LFileIdentities::TableExists(LDatabase& db, bool& failed) {
  LDatabase::Query query(db, kTableExists);
  const bool exists = query.Next();
  failed = query.Failed();
  return exists;
}

void LFileIdentities::BindLookUp(LDatabase::Query& query, const LFileIdentity& identity, const std::string& modified) {
  query.Bind(1, static_cast<std::int64_t>(identity.Inode));
  query.Bind(2, static_cast<std::int64_t>(identity.Device));
  query.Bind(3, identity.Size);
  query.Bind(4, modified);
}
