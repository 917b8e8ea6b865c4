#include "catalogue/LConnectionRegistry.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "catalogue/LDatabase.h"
#include "platform/CMutex.h"

namespace {

std::atomic<int> g_CommitAttempts{LConnectionRegistry::kCommitAttempts};
std::atomic<int> g_CommitRetryPauseMs{LConnectionRegistry::kCommitRetryPauseMs};

struct Connection {
  platform::CMutex Mutex;
  LDatabase Db GUARDED_BY(Mutex);
};

struct Registry {
  platform::CMutex Mutex;
  std::map<std::string, std::shared_ptr<Connection>> Connections GUARDED_BY(Mutex);
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: connections may be used until exit
  return *registry;
}

std::string KeyOf(const std::string& catalogue) {
  std::string key = catalogue;
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

std::shared_ptr<Connection> Acquire(const std::string& catalogue, LCatalogueError& error) {
  Registry& registry = TheRegistry();
  platform::CLockGuard lock(registry.Mutex);
  auto& slot = registry.Connections[KeyOf(catalogue)];
  if (slot) return slot;
  auto connection = std::make_shared<Connection>();
  platform::CLockGuard connectionLock(connection->Mutex);  // not shared yet: for the analysis
  if (!connection->Db.OpenForWriting(KeyOf(catalogue))) {
    error = connection->Db.Error();
    registry.Connections.erase(KeyOf(catalogue));
    return nullptr;
  }
  slot = connection;
  return slot;
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
    platform::CLockGuard lock(connection->Mutex);
    if (!connection->Db.IsOpen()) continue;
    connection->Db.ClearError();
    const bool ok = work(connection->Db);
    if (!ok) error = connection->Db.Error();
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
  platform::CLockGuard lock(connection->Mutex);
  if (!connection->Db.IsOpen()) return true;
  connection->Db.ClearError();
  if (Commit(connection->Db)) return true;
  error = connection->Db.Error();
  return false;
}

void LConnectionRegistry::Close(const std::string& catalogue) {
  std::shared_ptr<Connection> connection;
  {
    Registry& registry = TheRegistry();
    platform::CLockGuard lock(registry.Mutex);
    const auto found = registry.Connections.find(KeyOf(catalogue));
    if (found == registry.Connections.end()) return;
    connection = found->second;
    registry.Connections.erase(found);
  }
  CommitAndClose(connection);
}

void LConnectionRegistry::CloseAll() {
  std::vector<std::shared_ptr<Connection>> connections;
  {
    Registry& registry = TheRegistry();
    platform::CLockGuard lock(registry.Mutex);
    for (auto& entry : registry.Connections) connections.push_back(entry.second);
    registry.Connections.clear();
  }
  for (const auto& connection : connections) CommitAndClose(connection);
}

bool LConnectionRegistry::Begin(LDatabase& db) {
  return db.InTransaction() || db.Exec("BEGIN IMMEDIATE");
}

bool LConnectionRegistry::Commit(LDatabase& db) {
  if (!db.InTransaction()) return true;
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
