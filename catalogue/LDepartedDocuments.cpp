#include "catalogue/LDepartedDocuments.h"

#include "catalogue/LDatabase.h"
#include "catalogue/LDocuments.h"
#include "catalogue/LFileIdentities.h"

namespace {

// Only PDFs: an XML document is read again as cheaply as it would be looked up.
const char* const kKeepColumns =
    "INSERT INTO departed_documents(path, modified, size, changed_ns, inode, device, departed, text)"
    " SELECT d.path, d.modified, f.size, f.changed_ns, f.inode, f.device, ?9, t.text"
    " FROM documents d JOIN file_identities f ON f.id = d.id JOIN document_text t ON t.rowid = d.id";
// A directory of more PDFs than are kept copies no more than are kept.
const std::string kKeepFilter = " AND d.modified <> '' AND lower(substr(d.path, -4)) = '.pdf' LIMIT ?8";
const std::string kKeepPath = std::string(kKeepColumns) + " WHERE d.path = ?1" + kKeepFilter;
const std::string kKeepFrom = std::string(kKeepColumns) + " WHERE d.path >= ?1" + kKeepFilter;
const std::string kKeepRange = std::string(kKeepColumns) + " WHERE d.path >= ?1 AND d.path < ?2" + kKeepFilter;
const std::string kKeepId = std::string(kKeepColumns) + " WHERE d.id = ?1" + kKeepFilter;
const char* const kPurgeOld = "DELETE FROM departed_documents WHERE departed < ?1";
const char* const kPurgeMany =
    "DELETE FROM departed_documents WHERE rowid <= (SELECT max(rowid) FROM departed_documents) - ?1";
const char* const kFindEntries =
    "SELECT d.path, d.modified, f.changed_ns, t.text FROM file_identities f JOIN documents d ON d.id = f.id"
    " JOIN document_text t ON t.rowid = d.id"
    " WHERE f.inode = ?1 AND f.device = ?2 AND f.size = ?3 AND d.modified = ?4";
const char* const kFindDeparted =
    "SELECT path, modified, changed_ns, text FROM departed_documents"
    " WHERE inode = ?1 AND device = ?2 AND size = ?3 AND modified = ?4 ORDER BY rowid DESC";

}  // namespace

bool LDepartedDocuments::KeepPath(const std::string& path, bool below, std::int64_t now) {
  const std::string upper = below ? LDocuments::PrefixUpperBound(path) : std::string();
  LDatabase::Query keep(m_Db, !below ? kKeepPath.c_str() : upper.empty() ? kKeepFrom.c_str() : kKeepRange.c_str());
  keep.Bind(1, path);
  if (!upper.empty()) keep.Bind(2, upper);
  keep.Bind(8, kKeptRows);
  keep.Bind(9, now);
  keep.Next();
  if (keep.Failed()) return false;
  return m_Db.Changes() == 0 || Purge(now);
}

bool LDepartedDocuments::KeepIds(const std::vector<std::int64_t>& ids, std::int64_t now) {
  bool kept = false;
  for (const std::int64_t id : ids) {
    LDatabase::Query keep(m_Db, kKeepId.c_str());
    keep.Bind(1, id);
    keep.Bind(8, kKeptRows);
    keep.Bind(9, now);
    keep.Next();
    if (keep.Failed()) return false;
    kept = kept || m_Db.Changes() > 0;
  }
  return !kept || Purge(now);
}

bool LDepartedDocuments::Purge(std::int64_t now) {
  LDatabase::Query old(m_Db, kPurgeOld);
  old.Bind(1, now - kKeptSeconds);
  old.Next();
  if (old.Failed()) return false;
  LDatabase::Query many(m_Db, kPurgeMany);
  many.Bind(1, kKeptRows);
  many.Next();
  return !many.Failed();
}

bool LDepartedDocuments::FindIn(const char* sql, const LFileIdentity& identity, const std::string& modified,
                                std::vector<Found>& found) {
  LDatabase::Query query(m_Db, sql);
  if (!query.Ok()) return false;
  LFileIdentities::BindLookUp(query, identity, modified);
  while (query.Next()) {
    LFileIdentity kept = identity;
    kept.ChangedNs = query.Int64(2);
    found.push_back(Found{query.Text(0), query.Text(1), kept, query.Text(3)});
  }
  return !query.Failed();
}

bool LDepartedDocuments::Find(const LFileIdentity& identity, const std::string& modified, std::vector<Found>& found) {
  if (!FindIn(kFindEntries, identity, modified, found)) return false;
  // A catalogue of an older service has no departed rows to look at.
  FindIn(kFindDeparted, identity, modified, found);
  return true;
}
