#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/LFileIdentity.h"

class LDatabase;

// The document operations on one open catalogue database (see the README). Each call is
// one or two indexed statements; failures give false / -1 / nullopt with the error kept
// in the database's Error(). The caller serialises calls on one database.
class LDocuments {
 public:
  using Row = std::function<void(const std::string& path, const std::string& modified)>;
  using Hit = std::function<void(const std::string& path, const std::string& modified, const std::string& snippet)>;
  using RowView = std::function<void(std::string_view path, std::string_view modified)>;

  explicit LDocuments(LDatabase& db) : m_Db(db) {}

  // The least string greater than every string that starts with prefix; "" when none
  // (empty prefix, or only 0xFF bytes).
  static std::string PrefixUpperBound(const std::string& prefix);

  // Adds the document or replaces the entry of the same path (keeping its row id), with the
  // identity of the file read (null: none known, the document is compared by its time only).
  bool Upsert(const std::string& path, const std::string& modified, const std::string& text,
              const LFileIdentity* identity = nullptr);
  // Removes the entry of path; true also when there was none.
  bool Delete(const std::string& path);
  // As Delete; removed tells whether there was an entry.
  bool Delete(const std::string& path, bool& removed);
  // Removes every entry whose path starts with prefix; removed counts them.
  bool DeleteUnder(const std::string& prefix, std::int64_t& removed);
  bool DeleteById(std::int64_t id);
  // Nullopt when no such entry, or on failure (Error() tells).
  std::optional<std::string> PathById(std::int64_t id);
  // 1 present, 0 absent, -1 failure.
  int Exists(const std::string& path);
  // As Exists, with the entry's stored modification time.
  int ModifiedOf(const std::string& path, std::string& modified);
  // As ModifiedOf, with the file's identity when one is kept (withIdentities: the catalogue has
  // the table, see LFileIdentities::TableExists).
  int ChangeTestOf(const std::string& path, bool withIdentities, std::string& modified,
                   std::optional<LFileIdentity>& identity);
  // As ScanUnder, with each document's identity (null when none is kept).
  using IdentityRowView =
      std::function<void(std::string_view path, std::string_view modified, const LFileIdentity* identity)>;
  bool ScanWithIdentitiesUnder(const std::string& prefix, bool withIdentities, const IdentityRowView& row);
  // The paths under prefix stored without a time, in no particular order.
  bool UnreadUnder(const std::string& prefix, const RowView& row);
  // Documents whose path starts with prefix ("" = all); -1 on failure.
  std::int64_t CountUnder(const std::string& prefix);
  bool ListUnder(const std::string& prefix, const Row& row);
  // As ListUnder, handing the bytes without a copy; they are valid during the call only.
  bool ScanUnder(const std::string& prefix, const RowView& row);
  bool IdsUnder(const std::string& prefix, std::vector<std::int64_t>& ids);
  using IdRow = std::function<void(std::int64_t id, std::string_view path)>;  // path: valid during the call
  // Every entry under prefix with its id, in path order, in one pass over the path index.
  bool EntriesUnder(const std::string& prefix, const IdRow& row);
  // At most limit entries under prefix whose path is from `from` on, in path order.
  bool PathsFrom(const std::string& prefix, const std::string& from, int limit, const IdRow& row);
  // Full-text search with an FTS5 MATCH expression, best first (bm25), at most limit hits.
  bool Search(const std::string& match, int limit, const Hit& hit);
  // As Search, with each hit's rank (bm25: lower is better).
  using RankedHit = std::function<void(const std::string& path, const std::string& modified,
                                       const std::string& snippet, double rank)>;
  bool SearchRanked(const std::string& match, std::int64_t limit, const RankedHit& hit);
  // The number of documents that match; -1 on failure.
  std::int64_t CountMatches(const std::string& match);

 private:
  // The row id of path's entry in id (none when absent); false on failure.
  bool IdOf(const std::string& path, std::optional<std::int64_t>& id);

  LDatabase& m_Db;
};
