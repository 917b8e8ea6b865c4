#include "catalogue/LConnectionRegistry.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "catalogue/LDatabase.h"
#include "platform/CMutex.h"
#include "platform/FileOps.h"
#include "platform/FileTimes.h"
#include "platform/SystemInfo.h"

namespace {

std::atomic<int> g_CommitAttempts{LConnectionRegistry::kCommitAttempts};
std::atomic<int> g_CommitRetryPauseMs{LConnectionRegistry::kCommitRetryPauseMs};

struct Connection {
  platform::CMutex Mutex;
  LDatabase Db GUARDED_BY(Mutex);
  std::uint64_t LastUse = 0;  // guarded by the registry's mutex
};

struct Registry {
  platform::CMutex Mutex;
  std::map<std::string, std::shared_ptr<Connection>> Connections GUARDED_BY(Mutex);
  std::uint64_t Clock GUARDED_BY(Mutex) = 0;
  size_t MaxOpen GUARDED_BY(Mutex) = 0;  // 0 until first needed
  // Catalogues opened for writing and not closed on purpose since (Close): one whose database
  // is missing at its next open was deleted under the process, not new.
  std::set<std::string> Opened GUARDED_BY(Mutex);
  // Catalogues found removed or replaced, until TakeReplaced.
  std::set<std::string> Replaced GUARDED_BY(Mutex);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: connections may be used until exit
  return *registry;
}

std::string KeyOf(const std::string& catalogue) { return platform::WithoutTrailingSlash(catalogue); }

// A write connection holds three descriptors (database, -wal, -shm); the rest of the process
// (logs, locks, readers, the PDF helper, directory listings) is left well over 40.
size_t MaxOpenFor(std::int64_t descriptorLimit) {
  const std::int64_t byLimit = (descriptorLimit - 48) / 6;
  return static_cast<size_t>(std::max<std::int64_t>(2, std::min<std::int64_t>(LConnectionRegistry::kMaxOpen, byLimit)));
}

// Commits and closes the least recently used connection that no thread is using and whose
// commit succeeds (a busy one keeps its work open); false when there is none. Only a try
// under the registry's lock: a connection in use is passed over, never waited for.
bool CloseLeastRecentlyUsed(Registry& registry) REQUIRES(registry.Mutex) {
  std::vector<std::pair<std::uint64_t, std::string>> byAge;
  for (const auto& entry : registry.Connections) byAge.emplace_back(entry.second->LastUse, entry.first);
  std::sort(byAge.begin(), byAge.end());
  for (const auto& candidate : byAge) {
    const std::shared_ptr<Connection> connection = registry.Connections[candidate.second];
    if (!connection->Mutex.TryLock()) continue;
    const bool committed = !connection->Db.IsOpen() || LConnectionRegistry::Commit(connection->Db);
    if (committed) connection->Db.Close();
    connection->Mutex.Unlock();
    if (!committed) continue;
    registry.Connections.erase(candidate.second);
    return true;
  }
  return false;
}

std::shared_ptr<Connection> Acquire(const std::string& catalogue, LCatalogueError& error) {
  Registry& registry = TheRegistry();
  platform::CLockGuard lock(registry.Mutex);
  const std::string key = KeyOf(catalogue);
  const auto found = registry.Connections.find(key);
  if (found != registry.Connections.end()) {
    found->second->LastUse = ++registry.Clock;
    return found->second;
  }
  if (registry.Opened.count(key) != 0 && !platform::StampOf(LDatabase::FilePath(key)).Ok) {
    // Created again here, it would hold only what comes next: the caller builds it again whole.
    LDatabase refused;
    refused.SetReplacedError();
    error = refused.Error();
    registry.Replaced.insert(key);
    return nullptr;
  }
  if (registry.MaxOpen == 0) registry.MaxOpen = MaxOpenFor(platform::OpenFileLimit());
  while (registry.Connections.size() >= registry.MaxOpen && CloseLeastRecentlyUsed(registry)) {
  }
  auto connection = std::make_shared<Connection>();
  platform::CLockGuard connectionLock(connection->Mutex);  // not shared yet: for the analysis
  if (!connection->Db.OpenForWriting(key)) {
    error = connection->Db.Error();
    return nullptr;
  }
  connection->LastUse = ++registry.Clock;
  registry.Connections[key] = connection;
  registry.Opened.insert(key);
  return connection;
}

// After a write found the database removed or replaced: the connection to the unlinked files
// goes, and the catalogue is marked for TakeReplaced.
void DropReplaced(const std::string& catalogue, const std::shared_ptr<Connection>& connection) {
  Registry& registry = TheRegistry();
  platform::CLockGuard lock(registry.Mutex);
  const std::string key = KeyOf(catalogue);
  const auto found = registry.Connections.find(key);
  if (found != registry.Connections.end() && found->second == connection) registry.Connections.erase(found);
  registry.Replaced.insert(key);
}

void CommitAndClose(const std::shared_ptr<Connection>& connection) {
  platform::CLockGuard lock(connection->Mutex);
  LConnectionRegistry::Commit(connection->Db);
  connection->Db.Close();
}

}  // namespace

bool LConnectionRegistry::Open(const std::string& catalogue, LCatalogueError& error) {
  return Acquire(catalogue, error) != nullptr;
}

bool LConnectionRegistry::With(const std::string& catalogue, const Work& work, LCatalogueError& error) {
  // A connection closed by Close between the look-up and the lock is looked up again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto connection = Acquire(catalogue, error);
    if (!connection) return false;
    bool ok = false;
    {
      platform::CLockGuard lock(connection->Mutex);
      if (!connection->Db.IsOpen()) continue;
      connection->Db.ClearError();
      ok = work(connection->Db);
      if (!ok) error = connection->Db.Error();
      if (!ok && error.Replaced) connection->Db.Close();
    }
    if (!ok && error.Replaced) DropReplaced(catalogue, connection);
    return ok;
  }
  error = LCatalogueError{0, false, "catalogue connection closed repeatedly: " + catalogue};
  return false;
}

bool LConnectionRegistry::CommitIfOpen(const std::string& catalogue, LCatalogueError& error) {
  std::shared_ptr<Connection> connection;
  {
    Registry& registry = TheRegistry();
    platform::CLockGuard lock(registry.Mutex);
    const auto found = registry.Connections.find(KeyOf(catalogue));
    if (found == registry.Connections.end()) return true;
    connection = found->second;
  }
  {
    platform::CLockGuard lock(connection->Mutex);
    if (!connection->Db.IsOpen()) return true;
    connection->Db.ClearError();
    if (Commit(connection->Db)) return true;
    error = connection->Db.Error();
    if (!error.Replaced) return false;
    connection->Db.Close();
  }
  DropReplaced(catalogue, connection);
  return false;
}

bool LConnectionRegistry::TakeReplaced(const std::string& catalogue) {
  Registry& registry = TheRegistry();
  const std::string key = KeyOf(catalogue);
  std::shared_ptr<Connection> connection;
  {
    platform::CLockGuard lock(registry.Mutex);
    const auto found = registry.Connections.find(key);
    if (found != registry.Connections.end()) connection = found->second;
  }
  bool moved = false;
  if (connection) {
    platform::CLockGuard lock(connection->Mutex);
    moved = connection->Db.IsOpen() && connection->Db.FileReplaced();
    if (moved) connection->Db.Close();
  }
  if (moved) DropReplaced(catalogue, connection);
  platform::CLockGuard lock(registry.Mutex);
  bool replaced = registry.Replaced.erase(key) != 0;
  if (!replaced && registry.Connections.count(key) == 0 && registry.Opened.count(key) != 0) {
    replaced = !platform::StampOf(LDatabase::FilePath(key)).Ok;
  }
  // What is built next at the path is new, not a replacement.
  if (replaced) registry.Opened.erase(key);
  return replaced;
}

void LConnectionRegistry::Close(const std::string& catalogue) {
  std::shared_ptr<Connection> connection;
  {
    Registry& registry = TheRegistry();
    platform::CLockGuard lock(registry.Mutex);
    const auto found = registry.Connections.find(KeyOf(catalogue));
    // Closed on purpose (before its files are deleted or moved): a new database may follow.
    registry.Opened.erase(found == registry.Connections.end() ? KeyOf(catalogue) : found->first);
    if (found == registry.Connections.end()) return;
    connection = found->second;
    registry.Connections.erase(found);
  }
  CommitAndClose(connection);
}

size_t LConnectionRegistry::CountOpen() {
  Registry& registry = TheRegistry();
  platform::CLockGuard lock(registry.Mutex);
  return registry.Connections.size();
}

void LConnectionRegistry::SetMaxOpen(size_t maxOpen) {
  Registry& registry = TheRegistry();
  platform::CLockGuard lock(registry.Mutex);
  registry.MaxOpen = maxOpen;
}

void LConnectionRegistry::CloseAll() {
  std::vector<std::shared_ptr<Connection>> connections;
  {
    Registry& registry = TheRegistry();
    platform::CLockGuard lock(registry.Mutex);
    for (auto& entry : registry.Connections) connections.push_back(entry.second);
    registry.Connections.clear();
    registry.Opened.clear();
    registry.Replaced.clear();
  }
  for (const auto& connection : connections) CommitAndClose(connection);
}

bool LConnectionRegistry::Begin(LDatabase& db) {
  return db.InTransaction() || db.Exec("BEGIN IMMEDIATE");
}

bool LConnectionRegistry::Commit(LDatabase& db) {
  if (!db.InTransaction()) return true;
  // Committed into an unlinked file, the work would be lost to every reader, unseen.
  if (db.FileReplaced()) {
    db.Exec("ROLLBACK");
    db.SetReplacedError();
    return false;
  }
  // A busy COMMIT (readers holding the lock of a rollback journal longer than the busy
  // timeout) is tried again: the readers end their reads sooner or later.
  for (int attempt = 0;; ++attempt) {
    if (db.Exec("COMMIT")) return true;
    const int primary = db.Error().SqliteCode & 0xFF;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || attempt + 1 >= g_CommitAttempts) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(g_CommitRetryPauseMs));
  }
  // A transaction left open would be rolled back unseen when the connection closes, after its
  // documents were counted as indexed: it is rolled back now, and the caller reports it, so
  // that the walk takes its documents again at the next pass.
  const LCatalogueError error = db.Error();
  if (db.InTransaction()) db.Exec("ROLLBACK");
  db.SetError(error.SqliteCode, error.Message);
  return false;
}

void LConnectionRegistry::SetCommitRetries(int attempts, int pauseMilliseconds) {
  g_CommitAttempts = attempts < 1 ? 1 : attempts;
  g_CommitRetryPauseMs = pauseMilliseconds < 0 ? 0 : pauseMilliseconds;
}
