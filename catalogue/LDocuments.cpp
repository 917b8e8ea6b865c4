#include "catalogue/LDocuments.h"

#include "catalogue/LDatabase.h"
#include "catalogue/LFileIdentities.h"

namespace {

// Every "under a directory" query is a range on the unique path index, so that % and _
// in paths mean nothing and no query ever scans the table.
const char* const kCountAll = "SELECT count(*) FROM documents";
const char* const kCountFrom = "SELECT count(*) FROM documents WHERE path >= ?1";
const char* const kCountRange = "SELECT count(*) FROM documents WHERE path >= ?1 AND path < ?2";
const char* const kListFrom = "SELECT path, modified FROM documents WHERE path >= ?1 ORDER BY path";
const char* const kListRange = "SELECT path, modified FROM documents WHERE path >= ?1 AND path < ?2 ORDER BY path";
const char* const kIdsFrom = "SELECT id FROM documents WHERE path >= ?1 ORDER BY path";
const char* const kIdsRange = "SELECT id FROM documents WHERE path >= ?1 AND path < ?2 ORDER BY path";
const char* const kEntriesFrom = "SELECT id, path FROM documents WHERE path >= ?1 ORDER BY path";
const char* const kEntriesRange = "SELECT id, path FROM documents WHERE path >= ?1 AND path < ?2 ORDER BY path";
const char* const kPathsFrom = "SELECT id, path FROM documents WHERE path >= ?3 ORDER BY path LIMIT ?4";
const char* const kPathsRange =
    "SELECT id, path FROM documents WHERE path >= ?3 AND path < ?2 ORDER BY path LIMIT ?4";

// Plain single-row statements on purpose: an upsert or RETURNING clause makes SQLite open a
// statement savepoint, on which FTS5 flushes its pending terms, so that every document became
// an index segment of its own.
const char* const kInsertDocument = "INSERT INTO documents(path, modified) VALUES(?1, ?2)";
const char* const kUpdateModified = "UPDATE documents SET modified = ?2 WHERE id = ?1";
const char* const kReplaceText = "INSERT OR REPLACE INTO document_text(rowid, text) VALUES(?1, ?2)";
const char* const kIdOfPath = "SELECT id FROM documents WHERE path = ?1";
const char* const kDeleteText = "DELETE FROM document_text WHERE rowid = ?1";
const char* const kDeleteDocument = "DELETE FROM documents WHERE id = ?1";
const char* const kPathOfId = "SELECT path FROM documents WHERE id = ?1";
const char* const kModifiedOfPath = "SELECT modified FROM documents WHERE path = ?1";
const char* const kChangeTestOfPath =
    "SELECT d.modified, f.size, f.changed_ns, f.inode, f.device"
    " FROM documents d LEFT JOIN file_identities f ON f.id = d.id WHERE d.path = ?1";
const char* const kIdentitiesFrom =
    "SELECT d.path, d.modified, f.size, f.changed_ns, f.inode, f.device"
    " FROM documents d LEFT JOIN file_identities f ON f.id = d.id WHERE d.path >= ?1 ORDER BY d.path";
const char* const kIdentitiesRange =
    "SELECT d.path, d.modified, f.size, f.changed_ns, f.inode, f.device"
    " FROM documents d LEFT JOIN file_identities f ON f.id = d.id WHERE d.path >= ?1 AND d.path < ?2"
    " ORDER BY d.path";
// A pass over the table's rows reads each once; the path index would cost a row look-up per
// entry to read its time. Few documents are ever stored without one.
const char* const kUnreadFrom = "SELECT path, modified FROM documents NOT INDEXED WHERE modified = '' AND path >= ?1";
const char* const kUnreadRange =
    "SELECT path, modified FROM documents NOT INDEXED WHERE modified = '' AND path >= ?1 AND path < ?2";
// The excerpt is built from a bounded part of each hit's text (LExcerpt): FTS5's snippet()
// reads all of a long document's text for every hit.
const char* const kSearch =
    "SELECT d.path, d.modified, fk_excerpt(document_text)"
    " FROM document_text JOIN documents d ON d.id = document_text.rowid"
    " WHERE document_text MATCH ?1 ORDER BY rank LIMIT ?2";
const char* const kSearchRanked =
    "SELECT d.path, d.modified, fk_excerpt(document_text), rank"
    " FROM document_text JOIN documents d ON d.id = document_text.rowid"
    " WHERE document_text MATCH ?1 ORDER BY rank LIMIT ?2";
const char* const kCountMatches = "SELECT count(*) FROM document_text WHERE document_text MATCH ?1";

// Binds the prefix range and picks the statement with or without an upper bound.
const char* RangeSql(const std::string& prefix, const char* from, const char* range) {
  return LDocuments::PrefixUpperBound(prefix).empty() ? from : range;
}

// The identity in the columns from `first` on; nullopt when the document has none.
std::optional<LFileIdentity> IdentityAt(const LDatabase::Query& query, int first) {
  if (query.IsNull(first)) return std::nullopt;
  return LFileIdentity{query.Int64(first), query.Int64(first + 1), static_cast<std::uint64_t>(query.Int64(first + 2)),
                       static_cast<std::uint64_t>(query.Int64(first + 3))};
}

void BindRange(LDatabase::Query& query, const std::string& prefix) {
  query.Bind(1, prefix);
  const std::string upper = LDocuments::PrefixUpperBound(prefix);
  if (!upper.empty()) query.Bind(2, upper);
}

}  // namespace

std::string LDocuments::PrefixUpperBound(const std::string& prefix) {
  std::string upper = prefix;
  while (!upper.empty() && static_cast<unsigned char>(upper.back()) == 0xFF) upper.pop_back();
  if (upper.empty()) return upper;
  upper.back() = static_cast<char>(static_cast<unsigned char>(upper.back()) + 1);
  return upper;
}

bool LDocuments::Upsert(const std::string& path, const std::string& modified, const std::string& text,
                        const LFileIdentity* identity) {
  std::optional<std::int64_t> id;
  if (!IdOf(path, id)) return false;
  if (id) {
    LDatabase::Query update(m_Db, kUpdateModified);
    update.Bind(1, *id);
    update.Bind(2, modified);
    update.Next();
    if (update.Failed()) return false;
  } else {
    LDatabase::Query insert(m_Db, kInsertDocument);
    insert.Bind(1, path);
    insert.Bind(2, modified);
    insert.Next();
    if (insert.Failed()) return false;
    id = m_Db.LastInsertRowId();
  }
  // An identity of an earlier version of the file must not outlive its content.
  LFileIdentities identities(m_Db);
  if (!(identity ? identities.Write(*id, *identity) : identities.Forget(*id))) return false;
  // A new row id may still carry text left by an older catalogue's failed removal: REPLACE
  // keeps one text per document either way, and costs a look-up only.
  LDatabase::Query replace(m_Db, kReplaceText);
  replace.Bind(1, *id);
  replace.Bind(2, text);
  replace.Next();
  return !replace.Failed();
}

bool LDocuments::IdOf(const std::string& path, std::optional<std::int64_t>& id) {
  LDatabase::Query find(m_Db, kIdOfPath);
  find.Bind(1, path);
  id.reset();
  if (find.Next()) id = find.Int64(0);
  return !find.Failed();
}

bool LDocuments::Delete(const std::string& path) {
  std::optional<std::int64_t> id;
  if (!IdOf(path, id)) return false;
  return !id || DeleteById(*id);
}

bool LDocuments::Delete(const std::string& path, bool& removed) {
  std::optional<std::int64_t> id;
  removed = false;
  if (!IdOf(path, id)) return false;
  if (!id) return true;
  removed = DeleteById(*id);
  return removed;
}

bool LDocuments::DeleteUnder(const std::string& prefix, std::int64_t& removed) {
  removed = 0;
  std::vector<std::int64_t> ids;
  if (prefix.empty() || !IdsUnder(prefix, ids)) return false;
  for (std::int64_t id : ids) {
    if (!DeleteById(id)) return false;
    ++removed;
  }
  return true;
}

bool LDocuments::DeleteById(std::int64_t id) {
  if (!LFileIdentities(m_Db).Forget(id)) return false;
  {
    LDatabase::Query text(m_Db, kDeleteText);
    text.Bind(1, id);
    text.Next();
    if (text.Failed()) return false;
  }
  LDatabase::Query document(m_Db, kDeleteDocument);
  document.Bind(1, id);
  document.Next();
  return !document.Failed();
}

std::optional<std::string> LDocuments::PathById(std::int64_t id) {
  LDatabase::Query query(m_Db, kPathOfId);
  query.Bind(1, id);
  if (!query.Next()) return std::nullopt;
  return query.Text(0);
}

int LDocuments::Exists(const std::string& path) {
  LDatabase::Query query(m_Db, kIdOfPath);
  query.Bind(1, path);
  if (query.Next()) return 1;
  return query.Failed() ? -1 : 0;
}

int LDocuments::ModifiedOf(const std::string& path, std::string& modified) {
  LDatabase::Query query(m_Db, kModifiedOfPath);
  query.Bind(1, path);
  modified.clear();
  if (query.Next()) {
    modified = query.Text(0);
    return 1;
  }
  return query.Failed() ? -1 : 0;
}

int LDocuments::ChangeTestOf(const std::string& path, bool withIdentities, std::string& modified,
                             std::optional<LFileIdentity>& identity) {
  identity.reset();
  if (!withIdentities) return ModifiedOf(path, modified);
  LDatabase::Query query(m_Db, kChangeTestOfPath);
  query.Bind(1, path);
  modified.clear();
  if (query.Next()) {
    modified = query.Text(0);
    identity = IdentityAt(query, 1);
    return 1;
  }
  return query.Failed() ? -1 : 0;
}

bool LDocuments::ScanWithIdentitiesUnder(const std::string& prefix, bool withIdentities, const IdentityRowView& row) {
  if (!withIdentities) {
    return ScanUnder(prefix, [&](std::string_view path, std::string_view modified) { row(path, modified, nullptr); });
  }
  LDatabase::Query query(m_Db, RangeSql(prefix, kIdentitiesFrom, kIdentitiesRange));
  BindRange(query, prefix);
  while (query.Next()) {
    const std::optional<LFileIdentity> identity = IdentityAt(query, 2);
    row(query.TextView(0), query.TextView(1), identity ? &*identity : nullptr);
  }
  return !query.Failed();
}

bool LDocuments::UnreadUnder(const std::string& prefix, const RowView& row) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kUnreadFrom, kUnreadRange));
  BindRange(query, prefix);
  while (query.Next()) row(query.TextView(0), query.TextView(1));
  return !query.Failed();
}

std::int64_t LDocuments::CountUnder(const std::string& prefix) {
  LDatabase::Query query(m_Db, prefix.empty() ? kCountAll : RangeSql(prefix, kCountFrom, kCountRange));
  if (!prefix.empty()) BindRange(query, prefix);
  if (!query.Next()) return -1;
  return query.Int64(0);
}

bool LDocuments::ListUnder(const std::string& prefix, const Row& row) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kListFrom, kListRange));
  BindRange(query, prefix);
  while (query.Next()) row(query.Text(0), query.Text(1));
  return !query.Failed();
}

bool LDocuments::ScanUnder(const std::string& prefix, const RowView& row) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kListFrom, kListRange));
  BindRange(query, prefix);
  while (query.Next()) row(query.TextView(0), query.TextView(1));
  return !query.Failed();
}

bool LDocuments::IdsUnder(const std::string& prefix, std::vector<std::int64_t>& ids) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kIdsFrom, kIdsRange));
  BindRange(query, prefix);
  while (query.Next()) ids.push_back(query.Int64(0));
  return !query.Failed();
}

bool LDocuments::EntriesUnder(const std::string& prefix, const IdRow& row) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kEntriesFrom, kEntriesRange));
  BindRange(query, prefix);
  while (query.Next()) row(query.Int64(0), query.TextView(1));
  return !query.Failed();
}

bool LDocuments::PathsFrom(const std::string& prefix, const std::string& from, int limit, const IdRow& row) {
  LDatabase::Query query(m_Db, RangeSql(prefix, kPathsFrom, kPathsRange));
  BindRange(query, prefix);
  query.Bind(3, from < prefix ? prefix : from);
  query.Bind(4, static_cast<std::int64_t>(limit));
  while (query.Next()) row(query.Int64(0), query.TextView(1));
  return !query.Failed();
}

bool LDocuments::Search(const std::string& match, int limit, const Hit& hit) {
  LDatabase::Query query(m_Db, kSearch);
  query.Bind(1, match);
  query.Bind(2, static_cast<std::int64_t>(limit));
  while (query.Next()) hit(query.Text(0), query.Text(1), query.Text(2));
  return !query.Failed();
}

bool LDocuments::SearchRanked(const std::string& match, std::int64_t limit, const RankedHit& hit) {
  LDatabase::Query query(m_Db, kSearchRanked);
  query.Bind(1, match);
  query.Bind(2, limit);
  while (query.Next()) hit(query.Text(0), query.Text(1), query.Text(2), query.Double(3));
  return !query.Failed();
}

std::int64_t LDocuments::CountMatches(const std::string& match) {
  LDatabase::Query query(m_Db, kCountMatches);
  query.Bind(1, match);
  if (!query.Next()) return -1;
  return query.Int64(0);
}
