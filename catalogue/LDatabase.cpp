#include "catalogue/LDatabase.h"

#include <atomic>
#include <mutex>

#include <boost/filesystem.hpp>

#include "catalogue/LExcerpt.h"
#include "platform/CFileSystemType.h"
#include "platform/FileOps.h"
#include "platform/FileTimes.h"

namespace {

// The catalogue schema; other programs of the suite read it (see the README).
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS documents("
    " id INTEGER PRIMARY KEY,"
    " path TEXT NOT NULL UNIQUE COLLATE BINARY,"
    " modified TEXT NOT NULL);"
    "CREATE VIRTUAL TABLE IF NOT EXISTS document_text USING fts5("
    " text, tokenize = 'unicode61 remove_diacritics 2');"
    // Not part of the documents' layout: the service's own record of its complete walks.
    "CREATE TABLE IF NOT EXISTS complete_walks("
    " directory TEXT PRIMARY KEY COLLATE BINARY,"
    " started INTEGER NOT NULL);"
    // The service's own too: what tells each document's file apart besides its time.
    "CREATE TABLE IF NOT EXISTS file_identities("
    " id INTEGER PRIMARY KEY,"
    " size INTEGER NOT NULL,"
    " changed_ns INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " device INTEGER NOT NULL);"
    // Finds the entry of a file that was moved while the service did not watch (by its inode).
    "CREATE INDEX IF NOT EXISTS file_identities_inode ON file_identities(inode);"
    // The service's own too: PDFs whose file left the folder, kept a while for a move into another folder.
    "CREATE TABLE IF NOT EXISTS departed_documents("
    " path TEXT NOT NULL COLLATE BINARY,"
    " modified TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " changed_ns INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " device INTEGER NOT NULL,"
    " departed INTEGER NOT NULL,"
    " text TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS departed_documents_inode ON departed_documents(inode);"
    "CREATE INDEX IF NOT EXISTS departed_documents_time ON departed_documents(departed);"
    "PRAGMA user_version = 1;";

std::atomic<int> g_BusyTimeoutForTests{0};

}  // namespace

void LDatabase::SetBusyTimeoutForTests(int milliseconds) { g_BusyTimeoutForTests = milliseconds; }

LDatabase::~LDatabase() { Close(); }

void LDatabase::ConfigureLibrary() {
  // Memory statistics take a global mutex on every allocation, and nothing here reads them.
  static std::once_flag once;
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

std::string LDatabase::FilePath(const std::string& catalogue) {
  return platform::WithoutTrailingSlash(catalogue) + "/" + kFileName;
}

bool LDatabase::OpenFile(const std::string& file, int flags) {
  Close();
  ClearError();
  ConfigureLibrary();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    SetError(rc, std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ": " + file);
    sqlite3_close(db);
    return false;
  }
  m_pDb = db;
  sqlite3_extended_result_codes(m_pDb, 1);
  const int forTests = g_BusyTimeoutForTests;
  sqlite3_busy_timeout(m_pDb, forTests > 0 ? forTests : kBusyTimeoutMs);
  LExcerpt::Register(m_pDb);
  return true;
}

bool LDatabase::OpenForWriting(const std::string& catalogue) {
  const std::string file = FilePath(catalogue);
  if (!OpenFile(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) return false;
  if (ConfigureForWriting(catalogue)) {
    NoteOpenedFiles(file);
    return true;
  }
  const LCatalogueError error = m_Error;
  Close();
  m_Error = error;
  return false;
}

bool LDatabase::ConfigureForWriting(const std::string& catalogue) {
  // WAL needs shared memory between the processes, which network file systems do not give.
  m_bRollbackJournal = platform::CFileSystemType::IsNetwork(catalogue);
  // The first read of the header tells a garbage file apart (SQLITE_NOTADB).
  if (!Exec("SELECT count(*) FROM sqlite_master")) return false;
  // A write transaction (the documents between two pauses of a walk) should fit the page cache:
  // pages spilled before the commit are written twice, and with a rollback journal a spill
  // takes the exclusive lock early and shuts readers out until the commit. The cache only
  // grows as far as a transaction needs.
  const char* journal = m_bRollbackJournal
                            ? "PRAGMA journal_mode = DELETE; PRAGMA synchronous = FULL; PRAGMA cache_size = -32768;"
                            : "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -32768;";
  if (!Exec(journal)) return false;
  if (!m_bRollbackJournal) KeepWalFiles();
  return Exec("BEGIN IMMEDIATE") && Exec(kSchema) && Exec("COMMIT");
}

void LDatabase::KeepWalFiles() {
  // The -wal and -shm files stay (the -wal emptied) when the last writer closes, so that people
  // without write access to the catalogue directory can still read it: a read-only connection
  // cannot create them.
  int persist = 1;
  sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  Exec("PRAGMA journal_size_limit = 67108864");
  // A checkpoint syncs the log and the database to disk: one per 64 MiB of log instead of one
  // per 4 MiB (nearly every commit of a walk) took half the disk waits out of a fresh walk.
  Exec("PRAGMA wal_autocheckpoint = 16384");
}

void LDatabase::NoteOpenedFiles(const std::string& file) {
  m_OpenedFiles.clear();
  // The write-ahead log and its index exist from the first transaction on and stay while open.
  const std::vector<std::string> paths =
      m_bRollbackJournal ? std::vector<std::string>{file} : std::vector<std::string>{file, file + "-wal", file + "-shm"};
  for (const std::string& path : paths) {
    const platform::FileStamp stamp = platform::StampOf(path);
    if (stamp.Ok) m_OpenedFiles.push_back(OpenedFile{path, stamp.Device, stamp.Inode});
  }
}

bool LDatabase::FileReplaced() const {
  if (!m_pDb) return false;
  for (const OpenedFile& opened : m_OpenedFiles) {
    const platform::FileStamp stamp = platform::StampOf(opened.Path);
    if (!stamp.Ok || stamp.Device != opened.Device || stamp.Inode != opened.Inode) return true;
  }
  return false;
}

void LDatabase::SetReplacedError() {
  SetError(SQLITE_READONLY_DBMOVED, "its file was removed or replaced while the service ran");
  m_Error.Corrupt = true;
  m_Error.Replaced = true;
}

bool LDatabase::OpenForReading(const std::string& catalogue) {
  const std::string file = FilePath(catalogue);
  boost::system::error_code ec;
  if (!boost::filesystem::is_regular_file(file, ec)) {
    Close();
    ClearError();
    return false;
  }
  return OpenFile(file, SQLITE_OPEN_READONLY);
}

void LDatabase::Close() {
  for (auto& entry : m_Cache) sqlite3_finalize(entry.second);
  m_Cache.clear();
  if (m_pDb) sqlite3_close_v2(m_pDb);
  m_pDb = nullptr;
  m_OpenedFiles.clear();
}

bool LDatabase::Exec(const char* sql) {
  if (!m_pDb) {
    SetError(SQLITE_MISUSE, "catalogue database not open");
    return false;
  }
  const int rc = sqlite3_exec(m_pDb, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  Fail(rc);
  return false;
}

bool LDatabase::InTransaction() const { return m_pDb && !sqlite3_get_autocommit(m_pDb); }

bool LDatabase::CheckpointLog() {
  if (!m_pDb || m_bRollbackJournal || InTransaction()) return true;
  const int rc = sqlite3_wal_checkpoint_v2(m_pDb, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  Fail(rc);
  return false;
}

void LDatabase::SetError(int code, const std::string& message) {
  m_Error.SqliteCode = code;
  const int primary = code & 0xFF;
  m_Error.Corrupt = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
  m_Error.Replaced = false;
  m_Error.Message = message;
}

void LDatabase::Fail(int code) { SetError(code, m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(code)); }

sqlite3_stmt* LDatabase::Prepare(const char* sql) {
  if (!m_pDb) {
    SetError(SQLITE_MISUSE, "catalogue database not open");
    return nullptr;
  }
  const auto found = m_Cache.find(sql);
  if (found != m_Cache.end()) return found->second;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(m_pDb, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    Fail(rc);
    sqlite3_finalize(stmt);
    return nullptr;
  }
  m_Cache[sql] = stmt;
  return stmt;
}

LDatabase::Query::Query(LDatabase& db, const char* sql) : m_Db(db), m_pStmt(db.Prepare(sql)) {
  m_bFailed = m_pStmt == nullptr;
}

LDatabase::Query::~Query() {
  if (!m_pStmt) return;
  sqlite3_reset(m_pStmt);
  sqlite3_clear_bindings(m_pStmt);
}

void LDatabase::Query::Bind(int index, const std::string& text) {
  // Paths are bound as their bytes: BINARY collation compares them byte for byte.
  if (m_pStmt) sqlite3_bind_text(m_pStmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void LDatabase::Query::Bind(int index, std::int64_t value) {
  if (m_pStmt) sqlite3_bind_int64(m_pStmt, index, value);
}

bool LDatabase::Query::Next() {
  if (!m_pStmt || m_bFailed) return false;
  const int rc = sqlite3_step(m_pStmt);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    m_bFailed = true;
    m_Db.Fail(rc);
  }
  return false;
}

std::string LDatabase::Query::Text(int column) const {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(m_pStmt, column));
  const int size = sqlite3_column_bytes(m_pStmt, column);
  return data ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string_view LDatabase::Query::TextView(int column) const {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(m_pStmt, column));
  const int size = sqlite3_column_bytes(m_pStmt, column);
  return data ? std::string_view(data, static_cast<size_t>(size)) : std::string_view();
}

std::int64_t LDatabase::Query::Int64(int column) const { return sqlite3_column_int64(m_pStmt, column); }

double LDatabase::Query::Double(int column) const { return sqlite3_column_double(m_pStmt, column); }

bool LDatabase::Query::IsNull(int column) const { return sqlite3_column_type(m_pStmt, column) == SQLITE_NULL; }
