#pragma once

#include <cstdint>
#include <optional>
#include <string>

class LDatabase;

// The table "complete_walks" of a catalogue: for each folder directory, when (seconds since
// 1970, the service's clock) the last walk of it that ended normally started. The reconciling
// walk may only skip files that arrived before that moment.
class LWalks {
 public:
  explicit LWalks(LDatabase& db) : m_Db(db) {}

  // Inside the caller's write transaction.
  bool Record(const std::string& directory, std::int64_t started);
  // Nullopt when none is recorded (or the catalogue predates the table); failed is set on a
  // read failure other than a missing table.
  std::optional<std::int64_t> LastStarted(const std::string& directory, bool& failed);

 private:
  LDatabase& m_Db;
};
