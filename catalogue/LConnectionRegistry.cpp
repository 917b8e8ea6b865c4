#include "catalogue/LConnectionRegistry.h"

#include <map>
#include <vector>

#include "catalogue/LDatabase.h"
#include "platform/CMutex.h"

namespace {

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
  // A failed COMMIT (a reader holding the lock in rollback-journal mode) keeps the
  // transaction open, so nothing written is lost: the next release commits it.
  return !db.InTransaction() || db.Exec("COMMIT");
}
