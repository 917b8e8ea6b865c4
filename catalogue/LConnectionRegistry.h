#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "catalogue/LCatalogueError.h"

class LDatabase;

// The process's one write connection per catalogue, shared by every LIndexer and handle
// of the process; each use runs under the connection's lock. Any thread.
// At most MaxOpen connections stay open (fewer under a low descriptor limit): opening one
// more commits and closes the least recently used; a closed one reopens at its next use.
class LConnectionRegistry {
 public:
  using Work = std::function<bool(LDatabase& db)>;
  static constexpr size_t kMaxOpen = 32;

  // Opens the catalogue's write connection (creating the database) when it has none.
  static bool Open(const std::string& catalogue, LCatalogueError& error);
  // Runs work on the catalogue's connection under its lock, opening it when needed.
  // The work's result; on failure the connection's error is copied into error.
  static bool With(const std::string& catalogue, const Work& work, LCatalogueError& error);
  // Commits the catalogue's open transaction; a closed catalogue has nothing to commit and
  // is not reopened (its files may have just been deleted).
  static bool CommitIfOpen(const std::string& catalogue, LCatalogueError& error);
  // Commits what is pending and closes the catalogue's connection; the next use reopens it.
  static void Close(const std::string& catalogue);
  static void CloseAll();
  static size_t CountOpen();
  // True once after the catalogue's database was found removed or replaced at its path while
  // this process had it open (at a commit, at a reopen, or now, by its open connection): the
  // caller builds it again. The connection is closed; the next use opens what lies at the path.
  static bool TakeReplaced(const std::string& catalogue);
  // How many times a transaction of the catalogue that held other writers' work was rolled back
  // (a failed commit, or SQLite's own rollback after a failed write) since the process began.
  // A writer reads it when it opens and again after its commit: a change means what it wrote
  // may have gone with that transaction, and it writes it again. why: the last such failure.
  static std::uint64_t RolledBack(const std::string& catalogue, std::string* why = nullptr);
  // Tests: the bound (0: the default for the process's descriptor limit, taken at the next open).
  static void SetMaxOpen(size_t maxOpen);

  // Starts the write transaction unless one is open.
  static bool Begin(LDatabase& db);
  // Commits the open transaction, trying a busy commit again (kCommitAttempts in all, each
  // after the connection's busy timeout); a commit that still fails rolls the transaction back
  // and keeps its error in the connection. True when nothing was open. A database whose file
  // was removed or replaced is not committed to (error Replaced).
  static bool Commit(LDatabase& db);
  static constexpr int kCommitAttempts = 3;
  static constexpr int kCommitRetryPauseMs = 200;
  // Tests: fewer or quicker attempts.
  static void SetCommitRetries(int attempts, int pauseMilliseconds);
  // Tests: the next count commits of the process fail as a disk error would (and roll back).
  static void FailNextCommitsForTests(int count);
};
