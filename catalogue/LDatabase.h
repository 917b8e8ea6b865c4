#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "catalogue/LCatalogueError.h"

// One SQLite connection to a catalogue's database ("catalogue.sqlite" in the catalogue
// directory), with its prepared statements cached. Not thread-safe: its owner serialises
// the calls (the write registry's lock, or one LSearcher per query).
class LDatabase {
 public:
  static constexpr const char* kFileName = "catalogue.sqlite";
  static constexpr int kBusyTimeoutMs = 10000;
  // Tests: the busy timeout of connections opened from now on (0: kBusyTimeoutMs).
  static void SetBusyTimeoutForTests(int milliseconds);

  // A cached statement in use: bound, stepped, then reset when it goes out of scope.
  class Query {
   public:
    Query(LDatabase& db, const char* sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    bool Ok() const { return m_pStmt != nullptr; }
    void Bind(int index, const std::string& text);
    void Bind(int index, std::int64_t value);
    // true on a row; false when done or failed (then Failed() tells which).
    bool Next();
    bool Failed() const { return m_bFailed; }
    std::string Text(int column) const;
    // The column's bytes, valid until the next step of the query.
    std::string_view TextView(int column) const;
    std::int64_t Int64(int column) const;
    double Double(int column) const;
    bool IsNull(int column) const;

   private:
    LDatabase& m_Db;
    sqlite3_stmt* m_pStmt = nullptr;
    bool m_bFailed = false;
  };

  LDatabase() = default;
  ~LDatabase();
  LDatabase(const LDatabase&) = delete;
  LDatabase& operator=(const LDatabase&) = delete;

  static std::string FilePath(const std::string& catalogue);
  // Settings of the SQLite library, before its first use in the process (the first open
  // calls it; a program that uses SQLite elsewhere first calls it itself).
  static void ConfigureLibrary();

  // Opens read-write, creating the database file and its tables when missing.
  bool OpenForWriting(const std::string& catalogue);
  // Opens read-only; never creates anything. False (no error) when the file is missing.
  bool OpenForReading(const std::string& catalogue);
  void Close();
  bool IsOpen() const { return m_pDb != nullptr; }
  bool UsesRollbackJournal() const { return m_bRollbackJournal; }

  // Runs SQL without results; false and the error kept on failure.
  bool Exec(const char* sql);
  bool InTransaction() const;
  // Copies the write-ahead log into the database without waiting for readers; nothing to do
  // with a rollback journal or inside a transaction. False (and why) when it failed.
  bool CheckpointLog();
  // The row id of the last successful INSERT on this connection.
  std::int64_t LastInsertRowId() const { return m_pDb ? sqlite3_last_insert_rowid(m_pDb) : 0; }
  // Rows changed by the last INSERT, UPDATE or DELETE of this connection.
  int Changes() const { return m_pDb ? sqlite3_changes(m_pDb) : 0; }

  // True when a file of the database open for writing (the database, its -wal or -shm) is no
  // longer the one at its path: removed or replaced since the open, so what is written goes
  // into an unlinked file that no reader sees.
  bool FileReplaced() const;
  // Keeps the error that says so.
  void SetReplacedError();

  const LCatalogueError& Error() const { return m_Error; }
  void ClearError() { m_Error = LCatalogueError(); }
  void SetError(int code, const std::string& message);

 private:
  bool OpenFile(const std::string& file, int flags);
  bool ConfigureForWriting(const std::string& catalogue);
  void KeepWalFiles();
  void NoteOpenedFiles(const std::string& file);
  sqlite3_stmt* Prepare(const char* sql);
  void Fail(int code);

  sqlite3* m_pDb = nullptr;                      // owned
  std::map<const char*, sqlite3_stmt*> m_Cache;  // owned; keyed by the SQL literal
  bool m_bRollbackJournal = false;
  LCatalogueError m_Error;
  // The database's files as they were when it was opened for writing.
  struct OpenedFile {
    std::string Path;
    std::uint64_t Device;
    std::uint64_t Inode;
  };
  std::vector<OpenedFile> m_OpenedFiles;
};
