#include "catalogue/LWalks.h"

#include "catalogue/LDatabase.h"

namespace {

const char* const kRecord = "INSERT OR REPLACE INTO complete_walks(directory, started) VALUES(?1, ?2)";
const char* const kLastStarted = "SELECT started FROM complete_walks WHERE directory = ?1";
const char* const kTableExists = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'complete_walks'";

}  // namespace

bool LWalks::Record(const std::string& directory, std::int64_t started) {
  LDatabase::Query query(m_Db, kRecord);
  query.Bind(1, directory);
  query.Bind(2, started);
  query.Next();
  return !query.Failed();
}

std::optional<std::int64_t> LWalks::LastStarted(const std::string& directory, bool& failed) {
  failed = false;
  {
    // A catalogue written before the table existed (or read-only, never opened for writing since)
    // simply has no record.
    LDatabase::Query exists(m_Db, kTableExists);
    if (!exists.Next()) {
      failed = exists.Failed();
      return std::nullopt;
    }
  }
  LDatabase::Query query(m_Db, kLastStarted);
  query.Bind(1, directory);
  if (!query.Next()) {
    failed = query.Failed();
    return std::nullopt;
  }
  return query.Int64(0);
}
