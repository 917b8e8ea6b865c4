#include "catalogue/LDocumentMoves.h"

#include <optional>
#include <utility>

#include "catalogue/LDatabase.h"
#include "catalogue/LDocuments.h"
#include "catalogue/LFileIdentities.h"

namespace {

const char* const kIdOfPath = "SELECT id FROM documents WHERE path = ?1";
const char* const kSetPath = "UPDATE documents SET path = ?2 WHERE id = ?1";
const char* const kUnderFrom = "SELECT id, path FROM documents WHERE path >= ?1 ORDER BY path";
const char* const kUnderRange = "SELECT id, path FROM documents WHERE path >= ?1 AND path < ?2 ORDER BY path";
const char* const kByIdentity =
    "SELECT d.path, f.changed_ns FROM file_identities f JOIN documents d ON d.id = f.id"
    " WHERE f.inode = ?1 AND f.device = ?2 AND f.size = ?3 AND d.modified = ?4";

}  // namespace

bool LDocumentMoves::SetPath(std::int64_t id, const std::string& to) {
  // A stale entry at the new path would break the path's uniqueness: the moved one replaces it.
  std::optional<std::int64_t> existing;
  {
    LDatabase::Query find(m_Db, kIdOfPath);
    find.Bind(1, to);
    if (find.Next()) existing = find.Int64(0);
    if (find.Failed()) return false;
  }
  if (existing && *existing != id && !LDocuments(m_Db).DeleteById(*existing)) return false;
  LDatabase::Query update(m_Db, kSetPath);
  update.Bind(1, id);
  update.Bind(2, to);
  update.Next();
  return !update.Failed();
}

bool LDocumentMoves::Move(const std::string& from, const std::string& to, const LFileIdentity* identity,
                          bool& moved) {
  moved = false;
  std::optional<std::int64_t> id;
  {
    LDatabase::Query find(m_Db, kIdOfPath);
    find.Bind(1, from);
    if (find.Next()) id = find.Int64(0);
    if (find.Failed()) return false;
  }
  if (!id) return true;
  if (!SetPath(*id, to)) return false;
  if (identity && !LFileIdentities(m_Db).Write(*id, *identity)) return false;
  moved = true;
  return true;
}

bool LDocumentMoves::MoveUnder(const std::string& fromPrefix, const std::string& toPrefix, std::int64_t& moved) {
  moved = 0;
  if (fromPrefix.empty() || toPrefix.empty()) return false;
  std::vector<std::pair<std::int64_t, std::string>> rows;
  {
    const std::string upper = LDocuments::PrefixUpperBound(fromPrefix);
    LDatabase::Query query(m_Db, upper.empty() ? kUnderFrom : kUnderRange);
    query.Bind(1, fromPrefix);
    if (!upper.empty()) query.Bind(2, upper);
    while (query.Next()) rows.emplace_back(query.Int64(0), query.Text(1));
    if (query.Failed()) return false;
  }
  for (const auto& [id, path] : rows) {
    if (!SetPath(id, toPrefix + path.substr(fromPrefix.size()))) return false;
    ++moved;
  }
  return true;
}

bool LDocumentMoves::FindByIdentity(const LFileIdentity& identity, const std::string& modified,
                                    std::vector<Entry>& entries) {
  LDatabase::Query query(m_Db, kByIdentity);
  LFileIdentities::BindLookUp(query, identity, modified);
  while (query.Next()) {
    LFileIdentity found = identity;
    found.ChangedNs = query.Int64(1);
    entries.push_back(Entry{query.Text(0), found});
  }
  return !query.Failed();
}
